// The command line end to end, in scratch folders: the same seven files as
// the dialogue, the options and their errors, the summary and progress, and
// the earlier results that a refused, failed or interrupted run leaves alone.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>

#include <csignal>
#include <set>
#include <string>
#include <vector>

#include "support/program_runner.h"
#include "support/random_data.h"

using namespace quorvin_test;

namespace {

const std::string mtcars = read_file(QUORVIN_EXAMPLES "/mtcars/data.txt");
const std::string earlier = "results of an earlier run\r\n";

std::vector<std::string> lines_of(const std::string& text, char separator = '\n') {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find(separator, start)) != std::string::npos; start = end + 1)
    lines.push_back(text.substr(start, end - start));
  if (start < text.size()) lines.push_back(text.substr(start));
  return lines;
}

// mtcars as R's write.csv writes the data frame: a variable per column, a
// quoted header with an empty corner, quoted row names with blanks, CR LF.
std::string mtcars_as_r_csv(bool corner) {
  std::vector<std::vector<std::string>> rows;
  for (const std::string& line : lines_of(mtcars)) rows.push_back(lines_of(line, '\t'));
  std::string csv = corner ? "\"\"" : "";
  for (size_t i = 1; i < rows.size(); ++i) csv += (i > 1 || corner ? ",\"" : "\"") + rows[i][0] + "\"";
  csv += "\r\n";
  for (size_t k = 1; k < rows[0].size(); ++k) {
    std::string label = rows[0][k];
    for (char& c : label)
      if (c == '_') c = ' ';
    csv += "\"" + label + "\"";
    for (size_t i = 1; i < rows.size(); ++i) csv += "," + rows[i][k];
    csv += "\r\n";
  }
  return csv;
}

// A CSV as R's write.csv2 writes it: semicolons between fields and decimal
// commas (mtcars's names hold neither commas nor points).
std::string as_csv2(std::string csv) {
  for (char& c : csv) c = c == ',' ? ';' : c == '.' ? ',' : c;
  return csv;
}

// A CSV without its row names, as write.csv(..., row.names = FALSE) writes it.
std::string without_row_names(const std::string& csv_without_corner) {
  std::string csv;
  for (const std::string& line : lines_of(csv_without_corner))
    csv += (csv.empty() ? line : line.substr(line.find(',') + 1)) + "\n";
  return csv;
}

// The seven files that the dialogue writes for data with V variables and N
// observations.
std::vector<std::string> dialogue_results(const std::string& data, int V, int N) {
  const std::string dir = make_temp_dir();
  write_file(dir + "/data.txt", data);
  const ProgramRun run = run_program(dir, std::to_string(V) + "\n" + std::to_string(N) + "\n");
  EXPECT_EQ(run.exit_status, 0) << run.err;
  std::vector<std::string> results;
  for (const char* name : result_file_names) results.push_back(read_file(dir + "/" + name));
  return results;
}

ProgramRun run_with(const std::string& dir, const std::vector<std::string>& args,
                    const std::string& input = "") {
  RunOptions options;
  options.args = args;
  return run_program(dir, input, options);
}

void expect_results(const std::string& folder, const std::vector<std::string>& expected) {
  for (int f = 0; f < 7; ++f)
    EXPECT_TRUE(read_file(folder + "/" + result_file_names[f]) == expected[f])
        << result_file_names[f] << " differs in " << folder;
}

void fill_with_earlier_results(const std::string& folder) {
  mkdir(folder.c_str(), 0755);
  for (const char* name : result_file_names) write_file(folder + "/" + name, earlier);
}

// The earlier run's seven files, and nothing else (no temporary file), are
// in folder; other lists the other names that belong there.
testing::AssertionResult earlier_results_kept(const std::string& folder,
                                              std::set<std::string> other = {}) {
  for (const char* name : result_file_names) {
    if (read_file(folder + "/" + name) != earlier)
      return testing::AssertionFailure() << name << " was changed";
    other.insert(name);
  }
  DIR* dir = opendir(folder.c_str());
  for (dirent* entry; (entry = readdir(dir)) != nullptr;) {
    const std::string name = entry->d_name;
    if (name != "." && name != ".." && other.count(name) == 0) {
      closedir(dir);
      return testing::AssertionFailure() << "left behind: " << name;
    }
  }
  closedir(dir);
  return testing::AssertionSuccess();
}

// One line "quorvin: message" on standard error, status 1, nothing on standard output.
void expect_failure(const ProgramRun& run, const std::string& message) {
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_EQ(run.err, "quorvin: " + message + "\n");
  EXPECT_EQ(run.out, "");
}

}  // namespace

// The dialogue's bytes from data.txt itself, from R's CSV with and without a
// corner cell and with semicolons and decimal commas, from standard input,
// with one thread or two, and from tables without labels.
TEST(CommandLine, SameFilesAsTheDialogueOnTheBundledExample) {
  const std::vector<std::string> expected = dialogue_results(mtcars, 11, 32);
  const std::string dir = make_temp_dir();
  write_file(dir + "/data.txt", mtcars);
  write_file(dir + "/mtcars.csv", mtcars_as_r_csv(true));
  write_file(dir + "/no_corner.csv", mtcars_as_r_csv(false));
  write_file(dir + "/mtcars_csv2.csv", as_csv2(mtcars_as_r_csv(true)));
  write_file(dir + "/no_header.txt", mtcars.substr(mtcars.find('\n') + 1));
  write_file(dir + "/no_row_names.csv", without_row_names(mtcars_as_r_csv(false)));
  struct Case {
    std::vector<std::string> args;
    std::string input, folder;
  };
  const std::vector<Case> cases = {
      {{"-o", "a", "data.txt"}, "", "a"},
      {{"--variables-in-columns", "-o", "b", "mtcars.csv"}, "", "b"},
      {{"no_corner.csv", "--output=c", "--variables-in-columns", "-t", "1"}, "", "c"},
      {{"-t2", "-o", "d", "-"}, mtcars, "d"},
      {{"--variables-in-columns", "-o", "e", "mtcars_csv2.csv"}, "", "e"},
      {{"--no-labels", "-o", "f", "no_header.txt"}, "", "f"},
      {{"--variables-in-columns", "--no-labels", "-o", "g", "no_row_names.csv"}, "", "g"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.folder);
    const ProgramRun run = run_with(dir, c.args, c.input);
    ASSERT_EQ(run.exit_status, 0) << run.err;
    expect_results(dir + "/" + c.folder, expected);
  }
}

// A generated mid-sized table, as data.txt and as a tab-separated table with
// an empty corner cell as pandas writes it, variables in rows; and with one
// and three threads, which share the matrix file's rows among them.
TEST(CommandLine, SameFilesAsTheDialogueOnGeneratedData) {
  const int V = 60, N = 25;
  const std::string data = data_file_text(gene_modules(V, N, 7));
  const std::vector<std::string> expected = dialogue_results(data, V, N);
  const std::string dir = make_temp_dir();
  std::string tsv = data.substr(data.find_first_of(" \t"));
  for (char& c : tsv)
    if (c == ' ') c = '\t';
  write_file(dir + "/data.txt", data);
  write_file(dir + "/pandas.tsv", tsv);
  for (const char* table : {"data.txt", "pandas.tsv"}) {
    SCOPED_TRACE(table);
    const ProgramRun run = run_with(dir, {"-q", table});
    ASSERT_EQ(run.exit_status, 0) << run.err;
    expect_results(dir, expected);
  }
  for (const char* threads : {"1", "3"}) {
    SCOPED_TRACE(threads);
    const ProgramRun run = run_with(dir, {"-q", "-t", threads, "-o", threads, "data.txt"});
    ASSERT_EQ(run.exit_status, 0) << run.err;
    expect_results(dir + "/" + threads, expected);
  }
}

// The summary names the counts, the edges at each level, the files and
// their folder; the progress goes to standard error unless -q, and the
// dialogue's per-pair lines are never printed.
TEST(CommandLine, SummaryAndProgress) {
  const std::string dir = make_temp_dir();
  write_file(dir + "/t.tsv", "c\tt1\tt2\tt3\tt4\tt5\tt6\tt7\n"
                             "a\t1\t2\t3\t4\t5\t6\t7\nb\t2\t1\t4\t3\t6\t5\t8\n"
                             "c\t7\t6\t5\t4\t3\t2\t1\nd\tNA\t1\t1\t1\t1\t1\t1\n");
  const ProgramRun run = run_with(dir, {"--drop-missing", "-o", "out/deeper", "t.tsv"});
  ASSERT_EQ(run.exit_status, 0) << run.err;
  const std::vector<std::string> summary = lines_of(run.out);
  ASSERT_EQ(summary.size(), 7u) << run.out;
  EXPECT_EQ(summary[0], "Variables:     3 (a, b, c), 1 more left out for missing values");
  EXPECT_EQ(summary[1], "Observations:  7");
  EXPECT_EQ(summary[2], "Pairs:         3");
  // a and c fall and rise together; b, near a, is explained by it.
  EXPECT_EQ(summary[3], "Edges:         1 at 0.01, 1 at 0.001, 1 at 0.0001");
  EXPECT_EQ(summary[4], "Files:         Quorvin_matrix.xls, Quorvin_network_0.01.sif, "
                        "Quorvin_network_0.001.sif, Quorvin_network_0.0001.sif, "
                        "Quorvin_network_0.01.net, Quorvin_network_0.001.net, "
                        "Quorvin_network_0.0001.net");
  char real[PATH_MAX];
  ASSERT_NE(realpath((dir + "/out/deeper").c_str(), real), nullptr);
  EXPECT_EQ(summary[5], "Folder:        " + std::string(real));
  EXPECT_EQ(summary[6].rfind("Run time:      ", 0), 0u) << summary[6];
  EXPECT_EQ(read_file(dir + "/out/deeper/Quorvin_network_0.01.sif"), "a r2neg c\r\n");
  // Not a terminal: a line when the search starts and one when it ends.
  const std::vector<std::string> progress = lines_of(run.err);
  ASSERT_EQ(progress.size(), 2u) << run.err;
  EXPECT_EQ(progress[0], "Search: 0.0% done, 0:00 elapsed") << run.err;
  EXPECT_EQ(progress[1].rfind("Search: 100.0% done, 0:00 elapsed", 0), 0u) << run.err;

  const ProgramRun quiet = run_with(dir, {"-q", "--drop-missing", "--quiet", "t.tsv"});
  EXPECT_EQ(quiet.exit_status, 0) << quiet.err;
  EXPECT_EQ(quiet.err, "");
  EXPECT_EQ(quiet.out.find("Controlled for"), std::string::npos);
  EXPECT_EQ(lines_of(quiet.out).size(), 7u);
}

TEST(CommandLine, HelpAndVersion) {
  const std::string dir = make_temp_dir();
  for (const char* option : {"--help", "-h"}) {
    const ProgramRun help = run_with(dir, {option});
    EXPECT_EQ(help.exit_status, 0);
    EXPECT_EQ(help.err, "");
    EXPECT_EQ(help.out.rfind("Usage: quorvin [OPTION]... TABLE\n", 0), 0u) << help.out;
    for (const char* mentioned : {"--output=DIR", "--threads=N", "--quiet", "--variables-in-columns",
                                  "--drop-missing", "--no-labels", "semicolons", "with FILE '-'",
                                  "--version", "data.txt", "man quorvin"})
      EXPECT_NE(help.out.find(mentioned), std::string::npos) << mentioned;
  }
  const ProgramRun version = run_with(dir, {"--version"});
  EXPECT_EQ(version.exit_status, 0);
  EXPECT_EQ(version.out, "quorvin 1.0.0\n");
  EXPECT_FALSE(file_exists(dir + "/Quorvin_matrix.xls"));
}

// A usage error is one line and status 2, and touches no file.
TEST(CommandLine, UsageErrors) {
  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  const std::vector<Case> cases = {
      {{"-q"}, "no table given"},
      {{"a.csv", "b.csv"}, "one table only, but 'b.csv' follows 'a.csv'"},
      {{"-x", "a.csv"}, "unknown option -x"},
      {{"--colour", "a.csv"}, "unknown option --colour"},
      {{"a.csv", "-o"}, "option -o needs a value"},
      {{"a.csv", "--threads"}, "option --threads needs a value"},
      {{"-o", "", "a.csv"}, "the folder of -o is empty"},
      {{"-t", "0", "a.csv"}, "the thread count of -t must be a whole number from 1 to 4096, not '0'"},
      {{"-t", "2x", "a.csv"}, "the thread count of -t must be a whole number from 1 to 4096, not '2x'"},
      {{"--quiet=yes", "a.csv"}, "option --quiet takes no value"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    const std::string dir = make_temp_dir();
    fill_with_earlier_results(dir);
    const ProgramRun run = run_with(dir, c.args);
    EXPECT_EQ(run.exit_status, 2);
    EXPECT_EQ(run.err, "quorvin: " + c.message + " (quorvin --help shows the usage)\n");
    EXPECT_EQ(run.out, "");
    EXPECT_TRUE(earlier_results_kept(dir));
  }
}

// A refused table leaves the earlier results in the output folder as they
// were, with one line naming the cause.
TEST(CommandLine, RefusedTablesKeepEarlierResults) {
  struct Case {
    std::string table;
    std::vector<std::string> options;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"c,t1,t2\nA,1,2\nB,3\n", {}, "t.csv line 3 (\"B\") has 1 values where the header (line 1) has 2 labels"},
      {"c,t1,t2\nA,1,2\nB,3,NA\n", {},
       "t.csv line 3 (\"B\"), column 3 (\"t2\"): a missing value (\"NA\"); fill it in, or give "
       "--drop-missing to leave out the variables that have one"},
      {",x,y\n1,,NA\n", {"--variables-in-columns", "--drop-missing"},
       "t.csv has a missing value in every variable"},
      {"c t1 t2\nA 1 2\nA 3 4\n", {}, "t.csv line 3: the variable name \"A\" is already that of line 2; names must differ"},
      {"", {}, "t.csv holds no table"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    const std::string dir = make_temp_dir();
    fill_with_earlier_results(dir);
    write_file(dir + "/t.csv", c.table);
    std::vector<std::string> args = c.options;
    args.push_back("t.csv");
    expect_failure(run_with(dir, args), c.message);
    EXPECT_TRUE(earlier_results_kept(dir, {"t.csv"}));
  }
  const std::string dir = make_temp_dir();
  fill_with_earlier_results(dir);
  expect_failure(run_with(dir, {"absent.csv"}), "cannot open absent.csv: No such file or directory");
  expect_failure(run_with(dir, {"."}), "cannot read .: Is a directory");
  write_file(dir + "/file", "");
  expect_failure(run_with(dir, {"-o", "file/sub", "-"}, "c t\na 1\n"),
                 "cannot create the folder file/sub: Not a directory");
  expect_failure(run_with(dir, {"-o", "o", "-"}, "A\nB\nC\n"),
                 "standard input has no observations: its header (line 1, \"A\") is a single "
                 "field; fields are separated by tabs, semicolons, commas or blanks, and that line "
                 "has none");
  EXPECT_TRUE(earlier_results_kept(dir, {"file"}));
}

// A disk that fills up while the results are written: the write fails,
// the temporary files go, and the earlier results stay.
TEST(CommandLine, FullDiskKeepsEarlierResults) {
  if (sanitized) GTEST_SKIP() << "file size limits do not work with the sanitizers";
  const std::string dir = make_temp_dir();
  fill_with_earlier_results(dir + "/out");
  write_file(dir + "/data.txt", mtcars);
  RunOptions options;
  options.args = {"-q", "-o", "out", "data.txt"};
  options.file_size = 1000;  // the matrix file needs 1294 bytes
  expect_failure(run_program(dir, "", options), "cannot write out/Quorvin_matrix.xls: File too large");
  EXPECT_TRUE(earlier_results_kept(dir + "/out"));
}

// Interrupted while searching, the run dies of the signal and leaves the
// earlier results and no temporary file.
TEST(CommandLine, InterruptedRunKeepsEarlierResults) {
  const std::string dir = make_temp_dir();
  write_file(dir + "/big.txt", data_file_text(gene_modules(600, 20, 3)));
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(signal);
    fill_with_earlier_results(dir + "/out");
    RunOptions options;
    options.args = {"-t", "1", "-o", "out", "big.txt"};
    options.signal = signal;
    options.signal_after = "Search: ";
    const ProgramRun run = run_program(dir, "", options);
    EXPECT_EQ(run.signal, signal) << "exit status " << run.exit_status << ": " << run.err;
    EXPECT_TRUE(earlier_results_kept(dir + "/out"));
  }
}
