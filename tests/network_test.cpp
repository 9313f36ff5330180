// The library's interface: values in either orientation, the shape of its
// results, what it refuses, a stop on request, the names and edges it gives
// the files, and result files byte for byte those of the program.
#include "library/network.h"

#include <gtest/gtest.h>
#include <omp.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <iterator>
#include <limits>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "common/kept_controls.h"
#include "support/engine_check.h"
#include "support/program_runner.h"
#include "support/random_data.h"

using namespace quorvin;
using namespace quorvin_test;

namespace {

// raw is N x V; the values V x N with a variable per row, or raw as it is.
std::vector<double> values_of(const Matrix& raw, bool in_columns) {
  std::vector<double> values;
  for (int64_t a = 0; a < (in_columns ? raw.rows : raw.cols); ++a)
    for (int64_t b = 0; b < (in_columns ? raw.cols : raw.rows); ++b)
      values.push_back(in_columns ? raw[a][b] : raw[b][a]);
  return values;
}

std::vector<std::string> numbered_names(int64_t V) {
  std::vector<std::string> names;
  for (int64_t v = 1; v <= V; ++v) names.push_back(std::string(1, 'g').append(std::to_string(v)));
  return names;
}

Network computed(const Matrix& raw, bool in_columns, const NetworkOptions& options,
                 const std::vector<std::string>* names = nullptr) {
  const std::vector<double> values = values_of(raw, in_columns);
  const NetworkInput input{values.data(), in_columns ? raw.rows : raw.cols,
                           in_columns ? raw.cols : raw.rows, in_columns, names};
  Network network;
  const Error error = compute_network(input, options, network);
  EXPECT_FALSE(error) << error.message;
  return network;
}

// The coefficients as a face hands them out.
Matrix combined_square(const Network& n) {
  Matrix square;
  quorvin::allocate_matrix(square, n.V, n.V);
  quorvin::fill_combined_square(n, square.data.get());
  return square;
}
Matrix spearman_square(const Network& n) {
  Matrix square;
  quorvin::allocate_matrix(square, n.V, n.V);
  quorvin::fill_spearman_square(n, square.data.get());
  return square;
}

void expect_same(const Network& a, const Network& b) {
  EXPECT_EQ(first_difference(spearman_square(a), spearman_square(b)), "");
  EXPECT_EQ(first_difference(combined_square(a), combined_square(b)), "");
  EXPECT_TRUE(a.kept_controls == b.kept_controls);
}

void expect_symmetric_with_unit_diagonal(const Network& n) {
  const Matrix combined = combined_square(n), spearman = spearman_square(n);
  for (int32_t x = 0; x < n.V; ++x)
    for (int32_t y = x + 1; y < n.V; ++y) {
      EXPECT_TRUE(same_double(combined[x][y], n.combined[x][y])) << x << "," << y;
      EXPECT_TRUE(same_double(spearman[x][y], n.spearman[y][x])) << x << "," << y;
    }
  for (const Matrix* m : {&spearman, &combined})
    for (int32_t i = 0; i < n.V; ++i) {
      EXPECT_EQ((*m)[i][i], 1.0) << i;
      for (int32_t j = 0; j < i; ++j)
        EXPECT_TRUE(same_double((*m)[i][j], (*m)[j][i])) << i << "," << j;
    }
}

void expect_empty(const Network& n) {
  EXPECT_TRUE(n.V == 0 && n.N == 0 && n.names.empty() && n.kept_controls.empty());
  EXPECT_TRUE(n.spearman.data == nullptr && n.combined.data == nullptr);
}

void expect_refusal(const Error& error, const std::vector<std::string>& parts) {
  EXPECT_EQ(error.kind, ErrorKind::invalid_input) << error.message;
  for (const std::string& part : parts)
    EXPECT_NE(error.message.find(part), std::string::npos) << error.message;
}

void keep_signal(int) {}

}  // namespace

TEST(Network, SameResultsWithVariablesInRowsOrColumns) {
  const struct { DataKind kind; int32_t V, N, constant; } cases[] = {
      {DataKind::normal, 2, 7, -1}, {DataKind::factors, 3, 5, -1},
      {DataKind::ties, 40, 30, -1}, {DataKind::factors, 12, 20, 4}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "V=" << c.V << " N=" << c.N);
    Matrix raw = synthetic_data(c.kind, c.V, c.N, 11);
    for (int32_t k = 0; c.constant >= 0 && k < c.N; ++k) raw[k][c.constant] = 2.5;
    NetworkOptions options;
    options.keep_controls = true;
    const Network rows = computed(raw, false, options), columns = computed(raw, true, options);
    ASSERT_TRUE(columns.V == c.V && columns.N == c.N);
    expect_same(rows, columns);
    expect_symmetric_with_unit_diagonal(columns);
    for (int32_t v = 0; c.constant >= 0 && v < c.V; ++v) {
      if (v == c.constant) continue;
      EXPECT_TRUE(std::isnan(columns.spearman(c.constant, v))) << v;
      EXPECT_TRUE(std::isnan(combined_square(columns)[v][c.constant])) << v;
    }
  }
}

// The caller's thread count is its own again after the call, whatever the call used.
TEST(Network, ResultsIndependentOfThreadsAndKeptControls) {
  const Matrix raw = dense_factors(40, 30, 5);
  const std::vector<std::string> names = numbered_names(40);
  const int caller_threads = omp_get_max_threads();
  omp_set_num_threads(3);
  NetworkOptions one, two, without;
  one.threads = without.threads = 1;
  two.threads = 2;
  one.keep_controls = two.keep_controls = true;
  const Network a = computed(raw, false, one, &names);
  EXPECT_EQ(omp_get_max_threads(), 3);
  const Network b = computed(raw, false, two, &names);
  EXPECT_EQ(omp_get_max_threads(), 3);
  const Network c = computed(raw, false, without, &names);
  omp_set_num_threads(caller_threads);
  EXPECT_EQ(a.names, names);
  EXPECT_EQ(a.kept_controls.size(), kept_controls_size(40));
  EXPECT_TRUE(c.kept_controls.empty());
  expect_same(a, b);
  EXPECT_EQ(first_difference(combined_square(a), combined_square(c)), "");
  expect_symmetric_with_unit_diagonal(a);
}

// The counts are checked before any value is read: the huge ones come with 12 values.
TEST(Network, RefusesInputItCannotTake) {
  const double nan = std::nan(""), inf = std::numeric_limits<double>::infinity();
  const std::vector<std::string> abc = {"a", "b", "c"}, aba = {"a", "b", "a"}, ab = {"a", "b"};
  const std::vector<double> v(12, 1.5);
  std::vector<double> nan_at_6 = v, inf_at_10 = v, minus_inf_at_1 = v;
  nan_at_6[6] = nan, inf_at_10[10] = inf, minus_inf_at_1[1] = -inf;
  const int64_t huge = int64_t{1} << 31;
  const struct {
    const double* values; int64_t rows, cols; bool in_columns;
    const std::vector<std::string>* names; std::vector<std::string> parts;
  } cases[] = {
      {nan_at_6.data(), 3, 4, false, &abc, {"variable 2 (\"b\"), observation 3", "NaN"}},
      {nan_at_6.data(), 4, 3, true, nullptr, {"variable 1, observation 3", "NaN"}},
      {inf_at_10.data(), 4, 3, true, &abc, {"variable 2 (\"b\"), observation 4", "infinite"}},
      {minus_inf_at_1.data(), 3, 4, false, nullptr, {"variable 1, observation 2", "infinite"}},
      {v.data(), 3, 4, false, &aba, {"variable 3 (\"a\") has the name of variable 1"}},
      {v.data(), 4, 3, true, &ab, {"2 names", "3 variables"}},
      {v.data(), 0, 4, false, nullptr, {"no variable"}},
      {v.data(), 4, 0, true, nullptr, {"no variable"}},
      {v.data(), 3, 0, false, nullptr, {"no observation"}},
      {v.data(), huge, 1, false, nullptr, {"2147483648 variables"}},
      {v.data(), 1, huge, false, nullptr, {"2147483648 observations"}},
      {v.data(), 1, huge, true, nullptr, {"2147483648 variables"}},
  };
  const Matrix earlier = synthetic_data(DataKind::normal, 3, 8, 2);
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.rows << " x " << c.cols << (c.in_columns ? " T" : ""));
    Network network = computed(earlier, false, NetworkOptions{}, &abc);
    expect_refusal(compute_network({c.values, c.rows, c.cols, c.in_columns, c.names}, {}, network),
                   c.parts);
    expect_empty(network);
  }
}

// One false, before the ranks, while correlating or within the search, is
// enough to stop. The stops are placed by a run on one thread, whose reports
// come the same every time.
TEST(Network, StopsWhenProgressSaysSo) {
  const Matrix raw = dense_factors(300, 40, 9);
  const std::vector<double> values = values_of(raw, false);
  NetworkOptions one_thread, counted, going;
  one_thread.threads = 1;
  const Network plain = computed(raw, false, one_thread);
  const std::thread::id caller = std::this_thread::get_id();
  bool on_caller = true;
  counted.threads = 2;
  counted.progress = [&](const SearchWork&) {
    return on_caller = on_caller && std::this_thread::get_id() == caller, true;
  };
  Network network = computed(raw, false, counted);
  EXPECT_TRUE(on_caller);
  std::vector<SearchWork> reports;
  counted = one_thread;
  counted.progress = [&](const SearchWork& work) { return reports.push_back(work), true; };
  network = computed(raw, false, counted);
  expect_same(network, plain);
  const size_t search = std::find_if(reports.begin(), reports.end(),
                                     [](const SearchWork& w) { return w.done > 0; }) -
                        reports.begin();
  ASSERT_GT(reports.size(), search + 20) << "too few reports of the search to stop within";
  EXPECT_TRUE(reports[0].done == 0 && reports[0].left == 0 && !reports[0].left_known);
  EXPECT_TRUE(reports.back().finished);
  going.progress = [](const SearchWork&) { return true; };
  for (const size_t k : {size_t{1}, size_t{2}, search, search + 1, (search + reports.size()) / 2,
                         reports.size() - 1}) {
    SCOPED_TRACE(testing::Message() << "stopped at call " << k << " of " << reports.size());
    size_t calls = 0;
    NetworkOptions stopping = one_thread;
    stopping.keep_controls = true;
    stopping.progress = [&calls, k](const SearchWork&) { return ++calls != k; };
    const Error error = compute_network({values.data(), 300, 40}, stopping, network);
    EXPECT_EQ(error.kind, ErrorKind::stopped);
    expect_empty(network);
    ASSERT_FALSE(compute_network({values.data(), 300, 40}, going, network));
    expect_same(network, plain);
  }
}

TEST(Network, NamesForFiles) {
  std::vector<std::string> file_names;
  ASSERT_FALSE(names_for_files({"a-b-c", "x y", "p q-r s"}, file_names));
  EXPECT_EQ(file_names, (std::vector<std::string>{"ab-c", "x_y", "p_qr_s"}));
  const struct { std::vector<std::string> names, parts; } refused[] = {
      {{"a", ""}, {"variable 2", "no name"}},
      {{"a\"b"}, {"variable 1", "double quote"}},
      {{"x", "y", "a\\b"}, {"variable 3", "backslash"}},
      {{"a-b", "ab"}, {"variable 2", "\"ab\"", "variable 1", "\"a-b\""}},
      {{"a b", "c", "a_b"}, {"variable 3", "\"a_b\"", "variable 1", "\"a b\""}},
  };
  for (const auto& c : refused) expect_refusal(names_for_files(c.names, file_names), c.parts);
}

// A chain with a copy and a mirror among its variables, so that the edges
// come with every order and every level.
TEST(Network, EdgesArePairsPassingTheLevel) {
  Matrix raw = synthetic_data(DataKind::chain, 40, 30, 7);
  for (int32_t k = 0; k < 30; ++k) raw[k][39] = raw[k][3], raw[k][20] = -raw[k][30];
  NetworkOptions options;
  options.keep_controls = true;
  const Network n = computed(raw, false, options);
  const int32_t* kept = n.kept_controls.data();
  const auto key = [](const Edge& e) {
    return std::tie(e.x, e.y, e.control_1, e.control_2, e.order, e.level);
  };
  std::vector<Edge> by_level[level_count];
  for (int level = 0; level < level_count; ++level) {
    std::vector<Edge> expected;
    const double critical = network_critical_value(n, level);
    for (int32_t x = 0; x < n.V; ++x)
      for (int32_t y = x + 1; y < n.V; ++y) {
        const double s = std::fabs(n.spearman(x, y)), c = std::fabs(n.combined[x][y]);
        if (!(s > critical || c > critical)) continue;
        Edge e{x, y, first_control(kept, n.V, x, y), second_control(kept, n.V, x, y), 0, -1};
        e.order = (e.control_1 >= 0) + (e.control_2 >= 0);
        for (int l = 0; l < level_count; ++l)
          if (c > network_critical_value(n, l)) e.level = l;
        expected.push_back(e);
      }
    by_level[level] = network_edges(n, level);
    ASSERT_EQ(by_level[level].size(), expected.size()) << level;
    for (size_t i = 0; i < expected.size(); ++i)
      EXPECT_TRUE(key(by_level[level][i]) == key(expected[i])) << level << ": " << i;
  }
  std::set<int> orders, levels;
  for (const Edge& e : by_level[0]) orders.insert(e.order), levels.insert(e.level);
  EXPECT_EQ(orders, (std::set<int>{0, 1, 2}));
  EXPECT_EQ(levels, (std::set<int>{-1, 0, 1, 2}));
  EXPECT_LT(by_level[2].size(), by_level[0].size());
  const auto before = [&key](const Edge& a, const Edge& b) { return key(a) < key(b); };
  EXPECT_TRUE(std::includes(by_level[0].begin(), by_level[0].end(), by_level[2].begin(),
                            by_level[2].end(), before));
}

// The program's run on the same values, written to read back exactly, is the
// reference. The caller's SIGINT handler stays in place throughout.
TEST(Network, SavedFilesAreThoseOfTheProgram) {
  const int32_t V = 24, N = 25;
  const Matrix raw = dense_factors(V, N, 13);
  const std::vector<std::string> names = numbered_names(V);
  NetworkOptions options;
  options.keep_controls = true;
  const Network network = computed(raw, false, options, &names);
  std::string table = "probe";
  for (int32_t k = 1; k <= N; ++k) table += "\ts" + std::to_string(k);
  for (int32_t v = 0; v < V; ++v) {
    table += "\n" + names[v];
    for (int32_t k = 0; k < N; ++k) {
      char cell[40];
      table.append(cell, std::snprintf(cell, sizeof cell, "\t%.17g", raw[k][v]));
    }
  }
  const std::string program_dir = make_temp_dir();
  write_file(program_dir + "/t.txt", table + "\n");
  RunOptions run;
  run.args = {"-q", "-o", "out", "--edges", "edges.tsv", "t.txt"};
  const ProgramRun ran = run_program(program_dir, "", run);
  ASSERT_EQ(ran.exit_status, 0) << ran.err;

  struct sigaction custom {}, before {}, after {};
  custom.sa_handler = keep_signal;
  sigemptyset(&custom.sa_mask);
  ASSERT_EQ(sigaction(SIGINT, &custom, &before), 0);
  const std::string folder = make_temp_dir(), edges = make_temp_dir() + "/edges.tsv";
  ListedPairs listed;
  const Error error = save_network(network, folder, edges, listed);
  sigaction(SIGINT, &before, &after);
  EXPECT_EQ(after.sa_handler, keep_signal);
  ASSERT_FALSE(error) << error.message;
  std::vector<std::string> expected(std::begin(result_file_names), std::end(result_file_names));
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(folder_entries(folder), expected);
  for (const char* name : result_file_names)
    EXPECT_TRUE(read_file(folder + "/" + name) == read_file(program_dir + "/out/" + name)) << name;
  EXPECT_TRUE(read_file(edges) == read_file(program_dir + "/edges.tsv"));
  EXPECT_EQ(listed.edge_table_rows, static_cast<int64_t>(network_edges(network, 0).size()));

  // The edge table of a network without kept controls: refused, nothing written.
  Network without = computed(raw, false, NetworkOptions{}, &names);
  const std::string dir = make_temp_dir();
  expect_refusal(save_network(without, dir + "/out", dir + "/edges.tsv", listed), {"controls"});
  EXPECT_TRUE(folder_entries(dir).empty());
}

// Shares searched apart and merged give the whole search, bit for bit: each
// pair is in exactly one share, and a pair's search does not depend on the
// others'. Shares beyond the runs of 64 variables are empty.
TEST(Network, SharesMergeIntoTheWholeSearch) {
  for (const auto& [V, N, dense] : {std::tuple{300, 40, true}, std::tuple{200, 30, false},
                                    std::tuple{70, 20, true}}) {
    const Matrix raw = dense ? dense_factors(V, N, 7) : gene_modules(V, N, 7);
    NetworkOptions options;
    options.keep_controls = true;
    const Network whole = computed(raw, true, options);
    for (int32_t parts : {1, 2, 3, 7}) {
      options.share = {0, parts};
      Network merged = computed(raw, true, options);
      for (int32_t part = 1; part < parts; ++part) {
        options.share = {part, parts};
        const Network piece = computed(raw, true, options);
        std::vector<double> values;
        std::vector<int32_t> controls;
        pack_share(piece, options.share, values, controls);
        unpack_share(merged, options.share, values.data(), controls.data());
      }
      SCOPED_TRACE(testing::Message() << "V " << V << ", " << parts << " parts");
      expect_same(merged, whole);
    }
  }
}

TEST(Network, LevelsAreNamedByTheirNumbers) {
  for (const auto& [level, expected] : {std::pair{0.01, 0}, {0.001, 1}, {0.0001, 2}}) {
    int index = -1;
    EXPECT_FALSE(level_index(level, index));
    EXPECT_EQ(index, expected);
  }
  int index = 0;
  for (double level : {0.05, 0.0, 0.010000000000000002, std::nan("")})
    expect_refusal(level_index(level, index), {"0.01, 0.001 and 0.0001"});
}
