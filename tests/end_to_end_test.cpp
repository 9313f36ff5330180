// The built program run in scratch folders with typed answers: the dialogue,
// the seven result files, and every refusal.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "support/program_runner.h"
#include "support/test_values.h"

using namespace quorvin_test;

namespace {

const std::string example_data = read_file(QUORVIN_EXAMPLES "/mtcars/data.txt");
const char* const example_names[] = {"mpg",  "cyl", "disp", "hp", "drat", "wt",
                                     "qsec", "vs",  "am",   "gear", "carb"};
const std::string stamp = "[A-Z][a-z]{2} [A-Z][a-z]{2} [0-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-5][0-9] [0-9]{4}";
const std::string old_content = "results of an earlier run\r\n";

std::string folder_with_data(const std::string& data) {
  const std::string dir = make_temp_dir();
  write_file(dir + "/data.txt", data);
  return dir;
}

std::string result(const std::string& dir, int index) {
  return read_file(dir + "/" + result_file_names[index]);
}

std::vector<std::string> split(const std::string& text, const std::string& separator) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (size_t end; (end = text.find(separator, start)) != std::string::npos;
       start = end + separator.size())
    parts.push_back(text.substr(start, end - start));
  parts.push_back(text.substr(start));
  return parts;
}

// The lines of a result file; each must end with CR LF, the last one too.
std::vector<std::string> crlf_lines(const std::string& text) {
  std::vector<std::string> lines = split(text, "\r\n");
  EXPECT_EQ(lines.back(), "") << "last line not ended by CR LF";
  lines.pop_back();
  for (const std::string& line : lines)
    EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos) << "bare CR or LF in " << line;
  return lines;
}

// The whole console text of a successful run with V variables: both prompts,
// each followed by an empty line, the start line, one progress line per pair
// of control variables in order, and the end line.
void expect_dialogue(const std::string& out, int V) {
  std::string pattern = "How many variables\\?\n\nHow many observations\\?\n\nStart time: " + stamp + "\n";
  for (int s = 1; s <= V; ++s)
    for (int t = s + 1; t <= V; ++t)
      pattern += "Controlled for " + std::to_string(s) + " and " + std::to_string(t) + " Time: " +
                 stamp + "\n";
  pattern += "End time: " + stamp + "\n";
  EXPECT_TRUE(std::regex_match(out, std::regex(pattern))) << out;
}

void fill_with_old_results(const std::string& dir) {
  for (const char* name : result_file_names) write_file(dir + "/" + name, old_content);
}

// A run refused with exactly one line on standard error and status 1.
void expect_refusal(const ProgramRun& run, const std::string& message) {
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_EQ(run.err, "quorvin: " + message + "\n");
  EXPECT_EQ(run.out.find("End time"), std::string::npos) << run.out;
}

}  // namespace

TEST(EndToEnd, DialogueAndSevenFilesOnTheBundledExample) {
  for (const char* answers : {"11\n32\n", "11 32\n", "  11\r\n\n32"}) {
    const std::string dir = folder_with_data(example_data);
    fill_with_old_results(dir);
    const ProgramRun run = run_program(dir, answers);
    EXPECT_EQ(run.exit_status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    expect_dialogue(run.out, 11);
    for (int f = 0; f < 7; ++f) {
      const std::string text = result(dir, f);
      EXPECT_EQ(text.find(old_content), std::string::npos) << result_file_names[f];
      if (f == 0 || f >= 4) {
        EXPECT_FALSE(text.empty()) << result_file_names[f];
      }
    }
  }
}

TEST(EndToEnd, NoVariables) {
  const std::string dir = folder_with_data("corner t1 t2\n");
  const ProgramRun run = run_program(dir, "0\n2\n");
  EXPECT_EQ(run.exit_status, 0) << run.err;
  expect_dialogue(run.out, 0);
  EXPECT_EQ(result(dir, 0), "COMBINED SECOND ORDER SPEARMAN CORRELATION MATRIX\r\n\r\n\t\r\n");
  for (int f = 1; f <= 3; ++f) EXPECT_EQ(result(dir, f), "");
  for (int f = 4; f <= 6; ++f) EXPECT_EQ(result(dir, f), "*Vertices 0\r\n*Edges\r\n");
}

// With five observations no pair can be significant, however strong.
TEST(EndToEnd, FiveObservationsListNoPair) {
  const std::string dir = folder_with_data("c a b c d e\nx 1 2 3 4 5\ny 2 4 6 8 10\nz-1 5 4 3 2 1\n");
  const ProgramRun run = run_program(dir, "3\n5\n");
  EXPECT_EQ(run.exit_status, 0) << run.err;
  expect_dialogue(run.out, 3);
  EXPECT_EQ(result(dir, 0), "COMBINED SECOND ORDER SPEARMAN CORRELATION MATRIX\r\n\r\n"
                            "\tx\ty\tz1\t\r\nx\t1\t1\t-1\t\r\ny\t1\t1\t-1\t\r\nz1\t-1\t-1\t1\t\r\n");
  for (int f = 1; f <= 3; ++f) EXPECT_EQ(result(dir, f), "");
  for (int f = 4; f <= 6; ++f)
    EXPECT_EQ(result(dir, f), "*Vertices 3\r\n1 \"x\"\r\n2 \"y\"\r\n3 \"z1\"\r\n*Edges\r\n");
}

// A refused answer stops the run before data.txt is even looked for, and the
// results of an earlier run stay as they were.
TEST(EndToEnd, RefusedAnswersTouchNoFile) {
  struct Case {
    const char* input;
    std::string message;
  };
  const std::string variables = "the answer to \"How many variables?\" ";
  const std::string observations = "the answer to \"How many observations?\" ";
  for (const Case& c : {
           Case{"eleven\n32\n", variables + "is not a whole number: \"eleven\""},
           Case{"", "no answer to \"How many variables?\": standard input ended"},
           Case{"-4\n32\n", variables + "is negative: \"-4\""},
           Case{"3000000000\n32\n", variables + "is out of range (at most 2147483647): \"3000000000\""},
           Case{"12abc\n", observations + "is not a whole number: \"abc\" (the answer to \"How "
                                           "many variables?\" was read as 12 and the rest of it "
                                           "left for this question)"},
           Case{"4.0\n9\n", observations + "is not a whole number: \".0\" (the answer to \"How "
                                            "many variables?\" was read as 4 and the rest of it "
                                            "left for this question)"},
           Case{"4 x\n", observations + "is not a whole number: \"x\""},
           Case{"11\n", "no answer to \"How many observations?\": standard input ended"},
           Case{"11\n-1\n", observations + "is negative: \"-1\""},
           Case{"11 99999999999\n", observations + "is out of range (at most 2147483647): "
                                                   "\"99999999999\""},
       }) {
    const std::string dir = make_temp_dir();
    write_file(dir + "/" + result_file_names[0], old_content);
    const ProgramRun run = run_program(dir, c.input);
    expect_refusal(run, c.message);
    EXPECT_EQ(run.out.find("Start time"), std::string::npos) << run.out;
    EXPECT_EQ(result(dir, 0), old_content) << c.input;
    for (int f = 1; f < 7; ++f) EXPECT_FALSE(file_exists(dir + "/" + result_file_names[f]));
  }
}

TEST(EndToEnd, MissingDataFileKeepsEarlierResults) {
  const std::string dir = make_temp_dir();
  fill_with_old_results(dir);
  const ProgramRun run = run_program(dir, "11\n32\n");
  expect_refusal(run, "cannot open data.txt: No such file or directory");
  for (int f = 0; f < 7; ++f) EXPECT_EQ(result(dir, f), old_content) << result_file_names[f];
}

// A data file that does not match the counts: the result files, emptied at
// the start of the run, stay empty.
TEST(EndToEnd, UnreadableDataLeavesEmptyResults) {
  std::string with_placeholder = example_data;
  with_placeholder.replace(with_placeholder.find("\t110\t"), 5, "\tNA\t");
  struct Case {
    std::string data, answers, message;
  };
  for (const Case& c : {
           Case{example_data, "12\n32\n",
                "data.txt ends at line 12 before the name of variable 12 of 12; check the typed "
                "counts (12 variables, 32 observations)"},
           Case{example_data, "11\n33\n",
                "data.txt line 4: variable 1 (\"cyl\"), observation 33: \"disp\" is not a number; "
                "check the typed counts (11 variables, 33 observations); the header line holds "
                "32 observation labels"},
           Case{with_placeholder, "11\n32\n",
                "data.txt line 5: variable 4 (\"hp\"), observation 1: \"NA\" is not a number; "
                "check the typed counts (11 variables, 32 observations)"},
       }) {
    const std::string dir = folder_with_data(c.data);
    fill_with_old_results(dir);
    const ProgramRun run = run_program(dir, c.answers);
    expect_refusal(run, c.message);
    for (int f = 0; f < 7; ++f) EXPECT_EQ(result(dir, f), "") << result_file_names[f];
  }
}

TEST(EndToEnd, ResultFileThatCannotBeOpened) {
  const std::string dir = folder_with_data(example_data);
  ASSERT_EQ(mkdir((dir + "/Quorvin_network_0.01.sif").c_str(), 0755), 0);
  const ProgramRun run = run_program(dir, "11\n32\n");
  expect_refusal(run, "cannot open Quorvin_network_0.01.sif for writing: Is a directory");
  EXPECT_EQ(run.out.find("Start time"), std::string::npos) << run.out;
  EXPECT_EQ(result(dir, 0), "");
}

// Quorvin_matrix.xls leads to a device that is always full.
TEST(EndToEnd, FailedWriteIsReportedAndEmptiesTheResults) {
  const std::string dir = folder_with_data(example_data);
  ASSERT_EQ(symlink("/dev/full", (dir + "/" + result_file_names[0]).c_str()), 0);
  const ProgramRun run = run_program(dir, "11\n32\n");
  expect_refusal(run, "cannot write Quorvin_matrix.xls: No space left on device");
  for (int f = 1; f < 7; ++f) EXPECT_EQ(result(dir, f), "") << result_file_names[f];
}

// Counts whose arrays cannot fit are refused with the memory they need,
// before any result file is touched.
TEST(EndToEnd, CountsTooLargeForMemory) {
  struct Case {
    const char* answers;
    const char* counts;
    double at_least;  // bytes of the two largest arrays alone
  };
  for (const Case& c : {Case{"2000000000\n1\n", "2000000000 variables and 1 observations",
                             8 * 2e9 * 2e9},
                        Case{"100\n2147483647\n", "100 variables and 2147483647 observations",
                             2 * 8 * 2147483647.0 * 100}}) {
    const std::string dir = folder_with_data(example_data);
    fill_with_old_results(dir);
    const ProgramRun run = run_program(dir, c.answers);
    EXPECT_EQ(run.exit_status, 1);
    std::smatch parts;
    ASSERT_TRUE(std::regex_match(run.err, parts,
                                 std::regex(std::string("quorvin: ") + c.counts +
                                            " need ([0-9]+\\.[0-9]) GiB of memory, more than the "
                                            "(machine's|container's memory limit of) [0-9.]+ "
                                            "[KMGT]?i?B( of memory)?\n")))
        << run.err;
    EXPECT_GE(std::stod(parts[1]) + 0.05, c.at_least / (1 << 30)) << run.err;
    for (int f = 0; f < 7; ++f) EXPECT_EQ(result(dir, f), old_content);
  }
}

namespace {

// Spearman's rho of two columns, from the definition of averaged ranks.
double spearman(const std::vector<double>& a, const std::vector<double>& b) {
  auto ranks = [](const std::vector<double>& v) {
    std::vector<double> r(v.size());
    for (size_t k = 0; k < v.size(); ++k) {
      double less = 0, equal = 0;
      for (double other : v) {
        less += other < v[k];
        equal += other == v[k];
      }
      r[k] = less + (equal + 1) / 2;
    }
    return r;
  };
  const std::vector<double> ra = ranks(a), rb = ranks(b);
  const double mean = (a.size() + 1) / 2.0;
  double ab = 0, aa = 0, bb = 0;
  for (size_t k = 0; k < a.size(); ++k) {
    ab += (ra[k] - mean) * (rb[k] - mean);
    aa += (ra[k] - mean) * (ra[k] - mean);
    bb += (rb[k] - mean) * (rb[k] - mean);
  }
  return ab / std::sqrt(aa * bb);
}

}  // namespace

// Facts about the bundled example that follow from the file formats and the
// significance rule alone, checked without the program's own arithmetic.
TEST(EndToEnd, BundledExampleResultsAreConsistent) {
  const int V = 11, N = 32;
  const std::string dir = folder_with_data(example_data);
  const ProgramRun run = run_program(dir, "11\n32\n");
  ASSERT_EQ(run.exit_status, 0) << run.err;

  // The data, read independently: one row per variable after the header.
  std::vector<std::vector<double>> data;
  std::istringstream file(example_data);
  std::string row, name;
  std::getline(file, row);
  while (std::getline(file, row)) {
    std::istringstream fields(row);
    fields >> name;
    data.emplace_back();
    for (double value; fields >> value;) data.back().push_back(value);
    ASSERT_EQ(data.back().size(), static_cast<size_t>(N)) << name;
  }
  ASSERT_EQ(data.size(), static_cast<size_t>(V));

  // The matrix file: title, empty line, header, one tab-terminated row per
  // variable with 1 on the diagonal, symmetric, no larger than rho.
  const std::vector<std::string> lines = crlf_lines(result(dir, 0));
  ASSERT_EQ(lines.size(), static_cast<size_t>(V + 3));
  EXPECT_EQ(lines[0], "COMBINED SECOND ORDER SPEARMAN CORRELATION MATRIX");
  EXPECT_EQ(lines[1], "");
  std::string header = "\t";
  for (const char* name : example_names) header += std::string(name) + "\t";
  EXPECT_EQ(lines[2], header);
  std::vector<std::vector<std::string>> cells;
  for (int i = 0; i < V; ++i) {
    std::vector<std::string> fields = split(lines[i + 3], "\t");
    ASSERT_EQ(fields.size(), static_cast<size_t>(V + 2)) << lines[i + 3];
    EXPECT_EQ(fields[0], example_names[i]);
    EXPECT_EQ(fields[V + 1], "");
    cells.emplace_back(fields.begin() + 1, fields.end() - 1);
  }
  std::vector<std::vector<double>> value(V, std::vector<double>(V));
  for (int i = 0; i < V; ++i) {
    EXPECT_EQ(cells[i][i], "1");
    for (int j = 0; j < V; ++j) {
      EXPECT_EQ(cells[i][j], cells[j][i]) << i << "," << j;
      value[i][j] = std::strtod(cells[i][j].c_str(), nullptr);
      if (i == j) continue;
      // Rounding to six digits keeps order, so the bound holds for the texts.
      const double rho = std::strtod(text_of(std::fabs(spearman(data[i], data[j]))).c_str(), nullptr);
      EXPECT_LE(std::fabs(value[i][j]), rho) << example_names[i] << " " << example_names[j];
    }
  }

  // Each level lists exactly the pairs above tanh(z / sqrt(N - 5)), in pair
  // order, with the sign of the matrix value; its network has the same pairs.
  const double level_z[3] = {2.5758, 3.2905, 3.8906};
  std::vector<std::string> previous;
  for (int level = 0; level < 3; ++level) {
    const double critical = std::tanh(level_z[level] / std::sqrt(N - 5.0));
    std::vector<std::string> expected_list, expected_edges;
    for (int i = 0; i < V; ++i) {
      for (int j = i + 1; j < V; ++j) {
        // Six printed digits decide the test only away from the threshold.
        ASSERT_GT(std::fabs(std::fabs(value[i][j]) - critical), 1e-6);
        if (!(std::fabs(value[i][j]) > critical)) continue;
        const bool positive = value[i][j] > 0;
        expected_list.push_back(std::string(example_names[i]) + (positive ? " r2pos " : " r2neg ") +
                                example_names[j]);
        expected_edges.push_back(std::to_string(i + 1) + " " + std::to_string(j + 1) + " " +
                                 cells[i][j] + (positive ? " c Red" : " c Blue"));
      }
    }
    if (level == 0) {
      EXPECT_FALSE(expected_list.empty());
    }
    EXPECT_EQ(crlf_lines(result(dir, 1 + level)), expected_list) << result_file_names[1 + level];
    std::vector<std::string> network = {"*Vertices 11"};
    for (int k = 0; k < V; ++k)
      network.push_back(std::to_string(k + 1) + " \"" + example_names[k] + "\"");
    network.push_back("*Edges");
    network.insert(network.end(), expected_edges.begin(), expected_edges.end());
    EXPECT_EQ(crlf_lines(result(dir, 4 + level)), network) << result_file_names[4 + level];
    for (const std::string& line : expected_list)
      EXPECT_TRUE(level == 0 || std::find(previous.begin(), previous.end(), line) != previous.end())
          << line << " is not in the lower level";
    previous = expected_list;
  }
}
