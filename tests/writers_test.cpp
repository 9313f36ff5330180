#include "output/writers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/kept_controls.h"
#include "output/result_files.h"
#include "stats/critical_value.h"
#include "support/program_runner.h"
#include "support/test_values.h"

using quorvin::Matrix;
using quorvin_test::filled_matrix;

namespace {

using quorvin::level_z;
const std::string title = "COMBINED SECOND ORDER SPEARMAN CORRELATION MATRIX";

using Names = std::vector<std::string>;

std::string matrix_file(int32_t V, const Names& names, quorvin::MatrixView combined) {
  quorvin::ResultFile out;
  quorvin::write_combined_matrix(V, names, combined, out);
  return out.buffer;
}

// The writers are given the critical value of N observations at quantile z,
// as the driver gives it.
std::string interaction_list(int32_t V, int32_t N, double z, quorvin::MatrixView combined,
                             const Names& names) {
  quorvin::ResultFile out;
  quorvin::write_interaction_list(V, quorvin::critical_value(N, z), combined, out, names);
  return out.buffer;
}

std::string network(int32_t V, int32_t N, double z, quorvin::MatrixView combined,
                    const Names& names) {
  quorvin::ResultFile out;
  quorvin::write_pajek_network(V, quorvin::critical_value(N, z), combined, out, names);
  return out.buffer;
}

// A V x V matrix whose lower triangle and diagonal hold decoys that no writer
// may read, with the given upper-triangle entries.
Matrix combined_of(int32_t V, const std::vector<std::pair<std::pair<int, int>, double>>& upper,
                   double elsewhere = 0.1) {
  Matrix m = filled_matrix(V, V, 0.99);
  for (int32_t i = 0; i < V; ++i)
    for (int32_t j = i + 1; j < V; ++j) m[i][j] = elsewhere;
  for (const auto& [pair, value] : upper) m[pair.first][pair.second] = value;
  return m;
}

// What follows the "*Edges" line of a network.
std::string edges_of(const std::string& network_text) {
  const size_t header = network_text.find("*Edges\r\n");
  EXPECT_NE(header, std::string::npos) << network_text;
  return network_text.substr(header + 8);
}

// The lines of a result file, which must each end with CR LF, the last too.
std::vector<std::string> crlf_lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    EXPECT_TRUE(end > start && text[end - 1] == '\r') << "bare line feed in:\n" << text;
    lines.push_back(text.substr(start, end - start - 1));
  }
  EXPECT_EQ(start, text.size()) << "unterminated last line in:\n" << text;
  EXPECT_EQ(text.find('\r'), text.find("\r\n")) << "stray carriage return in:\n" << text;
  return lines;
}

const Names five = {"g1", "g2", "g3", "g4", "g5"};

// prefix1, prefix2, ... prefixV.
Names numbered_names(const std::string& prefix, int32_t V) {
  Names names(V, prefix);
  for (int32_t k = 0; k < V; ++k) names[k].append(std::to_string(k + 1));
  return names;
}

}  // namespace

// The pairs of a PairMatrix write the bytes of the square that holds them
// above its diagonal, at sizes around a row's length and across levels.
TEST(Writers, PairsWriteAsTheirSquare) {
  std::mt19937 random(5);
  std::uniform_real_distribution<double> value(-0.9, 0.9);
  for (const int32_t V : {0, 1, 2, 3, 8, 33}) {
    Names names;
    for (int32_t v = 0; v < V; ++v) names.push_back(std::string("v").append(std::to_string(v)));
    Matrix square = filled_matrix(V, V, 0.5);
    quorvin::PairMatrix pairs;
    ASSERT_TRUE(quorvin::allocate_pairs(pairs, V));
    for (int32_t x = 0; x < V; ++x)
      for (int32_t y = x + 1; y < V; ++y) square[x][y] = pairs[x][y] = value(random);
    // The Spearman coefficients as the search keeps them, in lower rows.
    Matrix spearman = filled_matrix(V, V, 1.0);
    for (int32_t x = 0; x < V; ++x)
      for (int32_t y = x + 1; y < V; ++y) spearman[x][y] = spearman[y][x] = value(random);
    Matrix spearman_copy = filled_matrix(V, V, 1.0);
    std::copy(spearman.data.get(), spearman.data.get() + int64_t{V} * V, spearman_copy.data.get());
    const quorvin::LowerMatrix lower = quorvin::lower_of_square(std::move(spearman_copy));
    SCOPED_TRACE(testing::Message() << "V=" << V);
    EXPECT_EQ(matrix_file(V, names, pairs), matrix_file(V, names, square));
    const std::vector<int32_t> kept(quorvin::kept_controls_size(V), -1);
    double critical[quorvin::level_count];
    for (int level = 0; level < quorvin::level_count; ++level)
      critical[level] = quorvin::critical_value(12, level_z[level]);
    quorvin::ResultFile from_halves, from_squares;
    quorvin::write_edge_table(V, critical, lower, pairs, kept.data(), names, from_halves);
    quorvin::write_edge_table(V, critical, spearman, square, kept.data(), names, from_squares);
    EXPECT_EQ(from_halves.buffer, from_squares.buffer);
    for (const double z : level_z) {
      EXPECT_EQ(interaction_list(V, 12, z, pairs, names),
                interaction_list(V, 12, z, square, names));
      EXPECT_EQ(network(V, 12, z, pairs, names), network(V, 12, z, square, names));
    }
  }
}

TEST(Writers, MatrixWorkedExample) {
  const Matrix combined = combined_of(2, {{{0, 1}, -0.25}});
  EXPECT_EQ(matrix_file(2, {"A", "B"}, combined),
            title + "\r\n\r\n\tA\tB\t\r\nA\t1\t-0.25\t\r\nB\t-0.25\t1\t\r\n");
}

TEST(Writers, MatrixOfNoneAndOneVariable) {
  EXPECT_EQ(matrix_file(0, {}, filled_matrix(0, 0, 0.0)), title + "\r\n\r\n\t\r\n");
  EXPECT_EQ(matrix_file(1, {"A"}, filled_matrix(1, 1, std::nan(""))),
            title + "\r\n\r\n\tA\t\r\nA\t1\t\r\n");
}

TEST(Writers, MatrixCellsUseTheNumberForms) {
  const Matrix combined = combined_of(
      4, {{{0, 1}, std::nan("")}, {{0, 2}, 0.0000123}, {{0, 3}, 0.0001}, {{1, 2}, -0.123456789},
          {{1, 3}, -HUGE_VAL}, {{2, 3}, 0.0}});
  const std::vector<std::string> lines = crlf_lines(matrix_file(4, {"a", "", "a", "q\""}, combined));
  ASSERT_EQ(lines.size(), 7u);
  EXPECT_EQ(lines[2], "\ta\t\ta\tq\"\t");
  EXPECT_EQ(lines[3], "a\t1\t-1.#IND\t1.23e-005\t0.0001\t");
  EXPECT_EQ(lines[4], "\t-1.#IND\t1\t-0.123457\t-1.#INF\t");
  EXPECT_EQ(lines[5], "a\t1.23e-005\t-0.123457\t1\t0\t");
  EXPECT_EQ(lines[6], "q\"\t0.0001\t-1.#INF\t0\t1\t");
}

// Changing combined[i][j] (i < j) changes exactly cells (i, j) and (j, i);
// the lower triangle and the diagonal change nothing.
TEST(Writers, MatrixShowsTheUpperTriangleInBothHalves) {
  const int32_t V = 5;
  Matrix combined = combined_of(V, {});
  const std::string base = matrix_file(V, five, combined);
  for (int32_t i = 0; i < V; ++i) combined[i][i] = std::nan("");
  for (int32_t i = 1; i < V; ++i)
    for (int32_t j = 0; j < i; ++j) combined[i][j] = -0.5;
  EXPECT_EQ(matrix_file(V, five, combined), base);
  const std::vector<std::string> base_lines = crlf_lines(base);
  for (int32_t i = 0; i < V; ++i) {
    for (int32_t j = i + 1; j < V; ++j) {
      combined[i][j] = 0.75;
      const std::vector<std::string> lines = crlf_lines(matrix_file(V, five, combined));
      combined[i][j] = 0.1;
      ASSERT_EQ(lines.size(), static_cast<size_t>(V + 3));
      for (int32_t row = 0; row < V; ++row) {
        std::string expected = five[row] + "\t";
        for (int32_t col = 0; col < V; ++col) {
          const bool changed = (row == i && col == j) || (row == j && col == i);
          expected += row == col ? "1" : changed ? "0.75" : "0.1";
          expected += '\t';
        }
        EXPECT_EQ(lines[row + 3], expected);
      }
      EXPECT_EQ(lines[2], base_lines[2]);
    }
  }
}

// With N = 20 the thresholds of the three levels are 0.581727, 0.690862 and
// 0.763498: -0.7 passes the first two, 0.6 the first only.
TEST(Writers, InteractionListsAtTwentyObservations) {
  const Matrix combined = combined_of(5, {{{0, 2}, 0.6}, {{1, 4}, -0.7}, {{3, 4}, 0.58}});
  EXPECT_EQ(interaction_list(5, 20, 2.5758, combined, five), "g1 r2pos g3\r\ng2 r2neg g5\r\n");
  EXPECT_EQ(interaction_list(5, 20, 3.2905, combined, five), "g2 r2neg g5\r\n");
  EXPECT_EQ(interaction_list(5, 20, 3.8906, combined, five), "");
}

TEST(Writers, NetworksAtTwentyObservations) {
  const Matrix combined = combined_of(5, {{{1, 4}, -0.7}});
  const std::string vertices = "*Vertices 5\r\n1 \"g1\"\r\n2 \"g2\"\r\n3 \"g3\"\r\n4 \"g4\"\r\n"
                               "5 \"g5\"\r\n*Edges\r\n";
  EXPECT_EQ(network(5, 20, 2.5758, combined, five), vertices + "2 5 -0.7 c Blue\r\n");
  EXPECT_EQ(network(5, 20, 3.2905, combined, five), vertices + "2 5 -0.7 c Blue\r\n");
  EXPECT_EQ(network(5, 20, 3.8906, combined, five), vertices);
}

TEST(Writers, NetworkWorkedExample) {
  const Matrix combined = combined_of(3, {{{0, 2}, -0.734}});
  EXPECT_EQ(network(3, 20, 2.5758, combined, {"g1", "g2", "g3"}),
            "*Vertices 3\r\n1 \"g1\"\r\n2 \"g2\"\r\n3 \"g3\"\r\n*Edges\r\n1 3 -0.734 c Blue\r\n");
}

TEST(Writers, NetworkOfNoVariables) {
  EXPECT_EQ(network(0, 20, 2.5758, filled_matrix(0, 0, 0.0), {}), "*Vertices 0\r\n*Edges\r\n");
  EXPECT_EQ(interaction_list(0, 20, 2.5758, filled_matrix(0, 0, 0.0), {}), "");
}

// The threshold is strict, NaN never passes, and with five observations or
// fewer nothing does.
TEST(Writers, OnlyMagnitudesAboveTheCriticalValueAreListed) {
  const double c = quorvin::critical_value(20, 2.5758);
  const double above = std::nextafter(c, 1.0);
  const Matrix combined = combined_of(
      5, {{{0, 1}, c}, {{0, 2}, -c}, {{0, 3}, above}, {{0, 4}, -above}, {{1, 2}, std::nan("")},
          {{1, 3}, -std::nan("")}, {{2, 3}, 1.0}});
  EXPECT_EQ(interaction_list(5, 20, 2.5758, combined, five),
            "g1 r2pos g4\r\ng1 r2neg g5\r\ng3 r2pos g4\r\n");
  EXPECT_EQ(edges_of(network(5, 20, 2.5758, combined, five)),
            "1 4 " + quorvin_test::text_of(above) + " c Red\r\n1 5 " +
                quorvin_test::text_of(-above) + " c Blue\r\n3 4 1 c Red\r\n");
  for (int32_t N : {5, 4, 0, -3}) {
    EXPECT_EQ(interaction_list(5, N, 2.5758, combined, five), "") << N;
    EXPECT_EQ(edges_of(network(5, N, 2.5758, combined, five)), "") << N;
  }
}

TEST(Writers, NamesAreWrittenAsStored) {
  const Matrix combined = combined_of(3, {{{0, 1}, 0.9}, {{1, 2}, -0.9}});
  const Names names = {"", "say \"hi\"", ""};
  EXPECT_EQ(interaction_list(3, 20, 2.5758, combined, names),
            " r2pos say \"hi\"\r\nsay \"hi\" r2neg \r\n");
  EXPECT_EQ(network(3, 20, 2.5758, combined, names),
            "*Vertices 3\r\n1 \"\"\r\n2 \"say \"hi\"\"\r\n3 \"\"\r\n*Edges\r\n1 2 0.9 c Red\r\n"
            "2 3 -0.9 c Blue\r\n");
}

TEST(Writers, WeightsInExponentForm) {
  // With two billion observations the critical value is about 5.8e-5.
  const Matrix combined = combined_of(3, {{{0, 1}, -0.00009}, {{1, 2}, 0.0001}}, 0.00001);
  EXPECT_EQ(edges_of(network(3, 2000000000, 2.5758, combined, {"a", "b", "c"})),
            "1 2 -9e-005 c Blue\r\n2 3 0.0001 c Red\r\n");
}

// Over random matrices with values near the thresholds: each level's edges
// match its interaction list line for line, the levels nest, and a pair is
// listed exactly when its magnitude exceeds the level's critical value.
TEST(Writers, SweepListsAndNetworksAgreeAndLevelsNest) {
  std::mt19937_64 random(5);
  std::uniform_real_distribution<double> uniform(-0.85, 0.85);
  for (int32_t N : {7, 12, 20, 40}) {
    const int32_t V = 14;
    const Names names = numbered_names("v", V);
    Matrix combined = filled_matrix(V, V, 0.0);
    for (int32_t i = 0; i < V; ++i)
      for (int32_t j = 0; j < V; ++j) combined[i][j] = uniform(random);
    std::vector<std::string> previous;
    for (int level = 0; level < 3; ++level) {
      const double z = level_z[level];
      const double c = quorvin::critical_value(N, z);
      const std::vector<std::string> list = crlf_lines(interaction_list(V, N, z, combined, names));
      const std::vector<std::string> net = crlf_lines(network(V, N, z, combined, names));
      ASSERT_EQ(net.size(), V + 2 + list.size());
      ASSERT_EQ(net[V + 1], "*Edges");
      std::vector<std::string> expected;
      for (int32_t i = 0; i < V; ++i) {
        EXPECT_EQ(net[i + 1], std::to_string(i + 1) + " \"" + names[i] + "\"");
        for (int32_t j = i + 1; j < V; ++j) {
          if (!(std::fabs(combined[i][j]) > c)) continue;
          const bool positive = combined[i][j] > 0;
          ASSERT_LT(expected.size(), list.size());
          EXPECT_EQ(list[expected.size()],
                    names[i] + (positive ? " r2pos " : " r2neg ") + names[j]);
          EXPECT_EQ(net[V + 2 + expected.size()],
                    std::to_string(i + 1) + " " + std::to_string(j + 1) + " " +
                        quorvin_test::text_of(combined[i][j]) + (positive ? " c Red" : " c Blue"));
          expected.push_back(list[expected.size()]);
        }
      }
      EXPECT_EQ(expected.size(), list.size());
      // Every line of this level appears, in the same order, in the previous one.
      if (level > 0) {
        size_t at = 0;
        for (const std::string& line : list) {
          while (at < previous.size() && previous[at] != line) ++at;
          ASSERT_LT(at, previous.size()) << line;
          ++at;
        }
      }
      previous = list;
    }
  }
}

// Result files on disk: a file larger than the write buffer arrives whole, and
// a write that fails is reported with the file's name.
TEST(ResultFile, LargeMatrixFileArrivesWhole) {
  const int32_t V = 420;
  const Names names = numbered_names("n", V);
  const Matrix combined = combined_of(V, {}, -0.0123456);
  const std::string path = quorvin_test::make_temp_dir() + "/Quorvin_matrix.xls";
  quorvin::ResultFile file;
  std::string message;
  ASSERT_TRUE(quorvin::open_result_file(file, path, message)) << message;
  quorvin::write_combined_matrix(V, names, combined, file);
  ASSERT_TRUE(quorvin::close_result_file(file, message)) << message;
  const std::string text = quorvin_test::read_file(path);
  ASSERT_GT(text.size(), size_t{1} << 20);
  const std::vector<std::string> lines = crlf_lines(text);
  ASSERT_EQ(lines.size(), static_cast<size_t>(V + 3));
  for (int32_t i = 0; i < V; ++i) {
    std::string row = names[i] + "\t";
    for (int32_t j = 0; j < V; ++j) row += j == i ? "1\t" : "-0.0123456\t";
    ASSERT_TRUE(lines[i + 3] == row) << "row " << i + 1 << " differs";
  }
}

// Blocks formatted elsewhere skip the buffer when large; whichever way each
// text goes, the file holds them in the order they were given.
TEST(ResultFile, TextsArriveInOrderWhetherBufferedOrNot) {
  const std::string path = quorvin_test::make_temp_dir() + "/texts";
  quorvin::ResultFile file;
  std::string message;
  ASSERT_TRUE(quorvin::open_result_file(file, path, message)) << message;
  std::string expected;
  for (size_t size : {size_t{5}, size_t{40000}, size_t{16383}, size_t{16384}, size_t{3},
                      size_t{1} << 20, size_t{70000}}) {
    const std::string text(size, static_cast<char>('a' + expected.size() % 26));
    quorvin::append_result_text(file, text.data(), text.size());
    expected += text;
    file.buffer += "|";
    quorvin::end_line(file);
    expected += "|\r\n";
  }
  ASSERT_TRUE(quorvin::close_result_file(file, message)) << message;
  EXPECT_TRUE(quorvin_test::read_file(path) == expected);
}

// A signal that comes while the results are put in place, on whichever
// thread, is held until they are; then it ends the process as it would have.
TEST(ResultFileDeathTest, SignalWhileHeldEndsTheProcessOnRelease) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        quorvin::hold_interruptions();
        quorvin::release_interruptions();  // nothing held: the process goes on
        quorvin::hold_interruptions();
        // Raised by another thread for itself, so that its handler runs there
        // before the thread ends (a signal sent to the process may reach a
        // handler later, under ThreadSanitizer much later).
        std::thread([] { std::raise(SIGTERM); }).join();
        if (quorvin::interruption_held()) std::fprintf(stderr, "still running\n");
        quorvin::release_interruptions();
        std::fprintf(stderr, "not ended\n");
        std::exit(0);
      },
      testing::KilledBySignal(SIGTERM), "still running\n$");
}

TEST(ResultFile, FailedWriteIsReported) {
  quorvin::ResultFile file;
  std::string message;
  ASSERT_TRUE(quorvin::open_result_file(file, "/dev/full", message)) << message;
  file.buffer = "some text";
  quorvin::end_line(file);
  EXPECT_FALSE(quorvin::close_result_file(file, message));
  EXPECT_EQ(message, "cannot write /dev/full: No space left on device");
}

TEST(ResultFile, OpenFailureNamesTheFileAndReason) {
  const std::string dir = quorvin_test::make_temp_dir();
  quorvin::ResultFile file;
  std::string message;
  EXPECT_FALSE(quorvin::open_result_file(file, dir, message));
  EXPECT_EQ(message, "cannot open " + dir + " for writing: Is a directory");
}
