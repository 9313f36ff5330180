// The edge table: which pairs it lists and how, written from known arrays;
// and end to end, every row held to the reference's search and recomputed
// from the correlations with the controls it names, in every way the engine
// runs, with the earlier table kept by a run that fails.
#include <dirent.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/number_format.h"
#include "input/table_reader.h"
#include "output/writers.h"
#include "reference/reference.h"
#include "stats/combine.h"
#include "stats/combine_kernels.h"
#include "stats/critical_value.h"
#include "support/engine_check.h"
#include "support/program_runner.h"
#include "support/random_data.h"
#include "support/test_values.h"

using namespace quorvin_test;
using quorvin::Matrix;

namespace {

const std::string header =
    "variable_1\tvariable_2\tspearman\tcombined\torder\tcontrol_1\tcontrol_"
    "2\tlevel";

std::vector<std::string> split(const std::string &text, char separator) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (size_t end; (end = text.find(separator, start)) != std::string::npos; start = end + 1)
    parts.push_back(text.substr(start, end - start));
  parts.push_back(text.substr(start));
  return parts;
}

// The table's lines, which must each end with a line feed alone.
std::vector<std::string> table_lines(const std::string &text) {
  EXPECT_EQ(text.find('\r'), std::string::npos);
  EXPECT_TRUE(!text.empty() && text.back() == '\n');
  std::vector<std::string> lines = split(text, '\n');
  lines.pop_back();
  return lines;
}

std::string shortest(double value) {
  char text[quorvin::max_double_text];
  return std::string(text, quorvin::write_shortest_double(text, value));
}

// Names in folder that begin with a dot, . and .. aside: temporary files.
std::vector<std::string> hidden_files(const std::string &folder) {
  std::vector<std::string> hidden;
  DIR *dir = opendir(folder.c_str());
  for (dirent *entry; dir != nullptr && (entry = readdir(dir)) != nullptr;) {
    const std::string name = entry->d_name;
    if (name[0] == '.' && name != "." && name != "..") hidden.push_back(name);
  }
  if (dir != nullptr) closedir(dir);
  return hidden;
}

std::string edge_table(int32_t V, int32_t N, const Matrix &combined,
                       const std::vector<int32_t> &kept, const std::vector<std::string> &names,
                       int64_t expected_rows) {
  double critical[quorvin::level_count];
  for (int level = 0; level < quorvin::level_count; ++level)
    critical[level] = quorvin::critical_value(N, quorvin::level_z[level]);
  quorvin::ResultFile out;
  out.line_end = "\n";
  EXPECT_EQ(quorvin::write_edge_table(V, critical, combined, combined, kept.data(), names, out),
            expected_rows);
  return out.buffer;
}

}  // namespace

// Four variables, 30 observations (critical values 0.4629 at 0.01, 0.5703 at
// 0.001 and 0.6548 at 0.0001). Combined in the upper triangle, spearman below.
TEST(EdgeTable, ListsThePairsSignificantBeforeOrAfterTheControls) {
  const double nan = std::nan("");
  const double at_critical = quorvin::critical_value(30, quorvin::level_z[0]);
  const Matrix combined = matrix_of({
      {1, -0.1, 0.6, 0.7},
      {0.9, 1, at_critical, 1e-5},
      {0.3, 0.5, 1, nan},
      {0.5, -0.2, nan, 1},
  });
  std::vector<int32_t> kept(quorvin::kept_controls_size(4), 99);
  quorvin::set_kept_controls(kept.data(), 4, 0, 1, 2, 3);
  quorvin::set_kept_controls(kept.data(), 4, 0, 2, 1, -1);
  quorvin::set_kept_controls(kept.data(), 4, 0, 3, -1, -1);
  quorvin::set_kept_controls(kept.data(), 4, 1, 2, 3, -1);
  quorvin::set_kept_controls(kept.data(), 4, 1, 3, 0, 2);
  quorvin::set_kept_controls(kept.data(), 4, 2, 3, -1, -1);
  const std::string text = edge_table(4, 30, combined, kept, {"a", "b", "NA", "d"}, 4);
  EXPECT_EQ(table_lines(text), (std::vector<std::string>{
                                   header,
                                   // explained away by b and NA: no level
                                   "a\tb\t0.9\t-0.1\t2\tNA\td\t",
                                   // significant only after the control
                                   "a\tNA\t0.3\t0.6\t1\tb\t\t0.001",
                                   "a\td\t0.5\t0.7\t0\t\t\t0.0001",
                                   // a combined value at the critical value is not significant
                                   "b\tNA\t0.5\t" + shortest(at_critical) + "\t1\td\t\t",
                               }));
  // b, d (0.2 and 1e-5) and NA, d (NaN) pass no level and are left out.
}

TEST(EdgeTable, NumbersInTheShortestFormThatReadsBack) {
  const double values[] = {-0.9108013108624787, 1e-300, -0.5, 0.1 + 0.2, 5e-324, -1.0};
  for (double value : values) {
    const Matrix combined = matrix_of({{1, 0.99}, {value, 1}});
    const std::vector<int32_t> kept = {-1, -1};
    const std::string text = edge_table(2, 30, combined, kept, {"x", "y"}, 1);
    const std::vector<std::string> fields = split(table_lines(text).at(1), '\t');
    EXPECT_EQ(std::strtod(fields[2].c_str(), nullptr), value) << fields[2];
    EXPECT_EQ(fields[3], "0.99");
    EXPECT_LE(fields[2].size(), 24u);
  }
  EXPECT_EQ(split(table_lines(edge_table(2, 30, matrix_of({{1, 0.3 - 0.1}, {0.7, 1}}),
                                         {-1, -1}, {"x", "y"}, 1))[1],
                  '\t')[3],
            "0.19999999999999998");
}

namespace {

struct Row {
  std::string x, y;
  double spearman, combined;
  int order;
  std::string controls[2], level;
};

std::vector<Row> parse_rows(const std::string &text) {
  const std::vector<std::string> lines = table_lines(text);
  EXPECT_EQ(lines.at(0), header);
  std::vector<Row> rows;
  for (size_t n = 1; n < lines.size(); ++n) {
    const std::vector<std::string> f = split(lines[n], '\t');
    EXPECT_EQ(f.size(), 8u) << lines[n];
    if (f.size() != 8) continue;
    rows.push_back({f[0],
                    f[1],
                    std::strtod(f[2].c_str(), nullptr),
                    std::strtod(f[3].c_str(), nullptr),
                    std::atoi(f[4].c_str()),
                    {f[5], f[6]},
                    f[7]});
  }
  return rows;
}

// The table's names mapped back to their variables.
int32_t index_of(const std::vector<std::string> &names, const std::string &name) {
  for (size_t i = 0; i < names.size(); ++i)
    if (names[i] == name) return static_cast<int32_t>(i);
  return -1;
}

// The kept coefficient recomputed from the correlations by the search's one
// expression, with the row's controls.
double recomputed(const Matrix &r, int32_t x, int32_t y, int32_t s, int32_t t) {
  using quorvin::partial_coefficient;
  if (s < 0) return r[x][y];
  const double fxy = partial_coefficient(r[x][y], r[x][s], r[y][s]);
  if (t < 0) return fxy;
  return partial_coefficient(fxy, partial_coefficient(r[x][t], r[x][s], r[t][s]),
                             partial_coefficient(r[y][t], r[y][s], r[t][s]));
}

// Checks the table of a run on text against the reference's search on the
// same table: the rows, their values bit for bit, controls and levels.
void expect_table_agrees(const std::string &table_text, const std::string &edges,
                         const std::string &sif_001) {
  quorvin::Table table;
  std::string message;
  ASSERT_TRUE(quorvin::read_table(table_text, "t", {}, table, message)) << message;
  const int32_t V = table.V, N = table.N;
  namespace reference = quorvin::reference;
  Matrix ranks = filled_matrix(N, V, 0), covariance = filled_matrix(V, V, 0),
         r = filled_matrix(V, V, 0), combined = filled_matrix(V, V, 0);
  std::vector<double> means(V, 0.0);
  reference::rank_transform(V, N, ranks, table.raw_values);
  reference::rank_covariance(V, N, covariance, ranks, means);
  reference::correlation_from_covariance(V, r, covariance);
  std::vector<int32_t> kept = sentinel_controls(V);
  reference::combine_partial_correlations(V, N, combined, r, nullptr, kept.data());

  const double critical[] = {reference::critical_value(N, quorvin::level_z[0]),
                             reference::critical_value(N, quorvin::level_z[1]),
                             reference::critical_value(N, quorvin::level_z[2])};
  const std::vector<Row> rows = parse_rows(edges);
  size_t next = 0;
  int orders_seen[3] = {0, 0, 0};
  for (int32_t x = 0; x < V; ++x)
    for (int32_t y = x + 1; y < V; ++y) {
      const bool listed =
          std::fabs(r[x][y]) > critical[0] || std::fabs(combined[x][y]) > critical[0];
      if (!listed) continue;
      ASSERT_LT(next, rows.size()) << "pair " << x << "," << y << " is missing";
      const Row &row = rows[next++];
      SCOPED_TRACE(row.x + " " + row.y);
      ASSERT_EQ(index_of(table.var_names, row.x), x);
      ASSERT_EQ(index_of(table.var_names, row.y), y);
      EXPECT_TRUE(same_double(row.spearman, r[x][y]));
      EXPECT_TRUE(same_double(row.combined, combined[x][y]));
      const int32_t s = index_of(table.var_names, row.controls[0]);
      const int32_t t = index_of(table.var_names, row.controls[1]);
      EXPECT_EQ(s, quorvin::first_control(kept.data(), V, x, y));
      EXPECT_EQ(t, quorvin::second_control(kept.data(), V, x, y));
      EXPECT_EQ(row.order, (s >= 0) + (t >= 0));
      ++orders_seen[row.order];
      EXPECT_TRUE(same_double(recomputed(r, x, y, s, t), row.combined));
      std::string level;
      for (int l = 0; l < 3; ++l)
        if (std::fabs(row.combined) > critical[l]) level = quorvin::level_names[l];
      EXPECT_EQ(row.level, level);
      // The 0.01 interaction list holds exactly the rows with a level.
      const std::string sif_line =
          row.x + (row.combined > 0 ? " r2pos " : " r2neg ") + row.y + "\r\n";
      EXPECT_EQ(sif_001.find(sif_line) != std::string::npos, !level.empty()) << sif_line;
    }
  EXPECT_EQ(next, rows.size()) << "rows beyond the significant pairs";
  for (int order = 0; order < 3; ++order)
    EXPECT_GT(orders_seen[order], 0) << "no row of order " << order;
}

}  // namespace

// Dense factor data with a constant variable (whose pairs are all NaN) and
// one that duplicates another, at 1, 2 and 3 threads and with each set of
// filters: the same table every time, and every row as the reference has it.
TEST(EdgeTable, EndToEndRowsAgreeWithTheReferenceInEverySetting) {
  const int32_t V = 45, N = 30;
  Matrix raw = dense_factors(V, N, 3);
  for (int32_t k = 0; k < N; ++k) {
    raw[k][7] = 4.25;
    raw[k][V - 1] = raw[k][2];
  }
  const std::string dir = make_temp_dir();
  const std::string table = data_file_text(raw);
  write_file(dir + "/t.txt", table);
  std::string first;
  for (const EngineSetting &setting : engine_settings()) {
    SCOPED_TRACE(describe(setting));
    RunOptions options;
    options.args = {
        "-q",  "-t",   std::to_string(setting.threads), "--edges", "out/edges.tsv", "-o",
        "out", "t.txt"};
    options.extra_env = std::string("QUORVIN_FILTERS=") + quorvin::filter_set_name(setting.filters);
    const ProgramRun run = run_program(dir, "", options);
    ASSERT_EQ(run.exit_status, 0) << run.err;
    const std::string edges = read_file(dir + "/out/edges.tsv");
    EXPECT_NE(run.out.find("Edge table:    out/edges.tsv (" +
                           std::to_string(table_lines(edges).size() - 1) + " pairs)"),
              std::string::npos)
        << run.out;
    if (first.empty()) {
      first = edges;
      expect_table_agrees(table, edges, read_file(dir + "/out/Quorvin_network_0.01.sif"));
      EXPECT_EQ(edges.find("g8\t"), std::string::npos) << "a constant variable's pair is listed";
    } else {
      EXPECT_TRUE(edges == first) << "the table differs from the first setting's";
    }
  }
}

// The table changes nothing else, and a run that fails leaves an earlier
// table as it was, with no temporary file beside it.
TEST(EdgeTable, OtherFilesUnchangedAndEarlierTableKeptOnFailure) {
  const std::string dir = make_temp_dir();
  write_file(dir + "/mtcars.txt", read_file(QUORVIN_EXAMPLES "/mtcars/data.txt"));
  RunOptions plain, with_table;
  plain.args = {"-q", "-o", "plain", "mtcars.txt"};
  with_table.args = {"-q", "--edges=edges.tsv", "-o", "with", "mtcars.txt"};
  ASSERT_EQ(run_program(dir, "", plain).exit_status, 0);
  ASSERT_EQ(run_program(dir, "", with_table).exit_status, 0);
  for (const char *name : result_file_names)
    EXPECT_TRUE(read_file(dir + "/plain/" + name) == read_file(dir + "/with/" + name)) << name;
  EXPECT_EQ(table_lines(read_file(dir + "/edges.tsv")).size(), 44u);

  write_file(dir + "/edges.tsv", "earlier\n");
  write_file(dir + "/ragged.txt", "c t1 t2\na 1 2\nb 3\n");
  RunOptions refused;
  refused.args = {"-q", "--edges", "edges.tsv", "-o", "with", "ragged.txt"};
  EXPECT_EQ(run_program(dir, "", refused).exit_status, 1);
  RunOptions unwritable;
  unwritable.args = {"-q", "--edges", "absent/edges.tsv", "-o", "with", "mtcars.txt"};
  const ProgramRun failed = run_program(dir, "", unwritable);
  EXPECT_EQ(failed.exit_status, 1);
  EXPECT_EQ(failed.err,
            "quorvin: cannot open absent/edges.tsv for writing: No "
            "such file or directory\n");
  EXPECT_EQ(read_file(dir + "/edges.tsv"), "earlier\n");
  for (const char *name : result_file_names)
    EXPECT_TRUE(read_file(dir + "/plain/" + name) == read_file(dir + "/with/" + name)) << name;
  EXPECT_EQ(hidden_files(dir), std::vector<std::string>{});
  EXPECT_EQ(hidden_files(dir + "/with"), std::vector<std::string>{});

  RunOptions empty;
  empty.args = {"--edges=", "mtcars.txt"};
  const ProgramRun usage = run_program(dir, "", empty);
  EXPECT_EQ(usage.exit_status, 2);
  EXPECT_EQ(usage.err,
            "quorvin: the file of --edges is empty (quorvin --help "
            "shows the usage)\n");
}

// A path that names a folder or one of the seven files is refused before
// the run, leaving the earlier results as they were.
TEST(EdgeTable, PathsThatClashAreRefusedBeforeTheRun) {
  struct Case {
    std::vector<std::string> options;
    std::string message;
  };
  const std::vector<Case> cases = {
      {{"--edges", "out/Quorvin_matrix.xls", "-o", "out/"},
       "the edge table out/Quorvin_matrix.xls would replace the result file out/Quorvin_matrix.xls"},
      {{"--edges", "./out/../out/Quorvin_network_0.01.net", "-o", "out"},
       "the edge table ./out/../out/Quorvin_network_0.01.net would replace the result file "
       "out/Quorvin_network_0.01.net"},
      {{"--edges", "Quorvin_network_0.0001.sif"},
       "the edge table Quorvin_network_0.0001.sif would replace the result file "
       "Quorvin_network_0.0001.sif"},
      {{"--edges", "out", "-o", "out"}, "cannot write the edge table to out: it is a folder"},
      {{"--edges", "elsewhere/", "-o", "out"},
       "cannot write the edge table to elsewhere/: it is a folder"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    const std::string dir = make_temp_dir();
    write_file(dir + "/t.txt", read_file(QUORVIN_EXAMPLES "/mtcars/data.txt"));
    RunOptions options;
    options.args = c.options;
    options.args.push_back("t.txt");
    const ProgramRun run = run_program(dir, "", options);
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(run.err, "quorvin: " + c.message + "\n");
    EXPECT_FALSE(file_exists(dir + "/Quorvin_matrix.xls"));
    EXPECT_FALSE(file_exists(dir + "/out/Quorvin_matrix.xls"));
    EXPECT_EQ(hidden_files(dir), std::vector<std::string>{});
  }
}
