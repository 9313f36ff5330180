// The program end to end when its input, its answers, its disk, its memory
// or its user go wrong: one line beginning "quorvin: " on standard error and
// exit status 1 (or death by the signal that stopped it), and never a result
// file that looks complete when the run did not end well.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "support/program_runner.h"

using namespace quorvin_test;

namespace {

const std::string earlier_results = "results of an earlier run\r\n";
const std::string mtcars = read_file(QUORVIN_EXAMPLES "/mtcars/data.txt");
const std::string mtcars_answers = "11\n32\n";


// A folder holding data.txt and the result files of an earlier run.
std::string folder_with_data(const std::string& data) {
  const std::string dir = make_temp_dir();
  write_file(dir + "/data.txt", data);
  for (const char* name : result_file_names) write_file(dir + "/" + name, earlier_results);
  return dir;
}

// The run ended with exit status 1 and one line on standard error that
// begins "quorvin: " and holds each of parts.
testing::AssertionResult refused(const ProgramRun& run, const std::vector<std::string>& parts) {
  if (run.signal != 0)
    return testing::AssertionFailure() << "killed by signal " << run.signal << ": " << run.err;
  if (run.exit_status != 1)
    return testing::AssertionFailure() << "exit status " << run.exit_status << ": " << run.err;
  if (run.err.rfind("quorvin: ", 0) != 0 || run.err.find('\n') != run.err.size() - 1)
    return testing::AssertionFailure() << "not one line beginning \"quorvin: \": " << run.err;
  for (const std::string& part : parts)
    if (run.err.find(part) == std::string::npos)
      return testing::AssertionFailure() << "no \"" << part << "\" in: " << run.err;
  return testing::AssertionSuccess();
}

// Every result file in dir exists and is empty.
testing::AssertionResult results_emptied(const std::string& dir) {
  for (const char* name : result_file_names) {
    struct stat info {};
    if (stat((dir + "/" + name).c_str(), &info) != 0)
      return testing::AssertionFailure() << name << " is missing";
    if (info.st_size != 0)
      return testing::AssertionFailure() << name << " holds " << info.st_size << " bytes";
  }
  return testing::AssertionSuccess();
}

// Every result file in dir still holds what the earlier run wrote.
testing::AssertionResult earlier_results_kept(const std::string& dir) {
  for (const char* name : result_file_names)
    if (read_file(dir + "/" + name) != earlier_results)
      return testing::AssertionFailure() << name << " lost the earlier results";
  return testing::AssertionSuccess();
}

std::string replaced(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

// text with each line's whitespace-separated tokens passed through rewrite
// (given the line's number from 0 and its tokens) and the line feeds kept.
template <typename Rewrite>
std::string rewrite_lines(const std::string& text, Rewrite rewrite) {
  std::istringstream lines(text);
  std::string line, out;
  for (int number = 0; std::getline(lines, line); ++number) {
    std::istringstream fields(line);
    std::vector<std::string> tokens;
    for (std::string token; fields >> token;) tokens.push_back(token);
    out += rewrite(number, tokens) + "\n";
  }
  return out;
}

std::string joined(const std::vector<std::string>& tokens, const std::string& separator) {
  std::string out;
  for (size_t i = 0; i < tokens.size(); ++i) out += (i ? separator : "") + tokens[i];
  return out;
}

// V variables of N observations with pseudo-random values.
std::string generated_data(int V, int N) {
  std::string text = "probe";
  for (int k = 0; k < N; ++k) text += " t" + std::to_string(k + 1);
  text += "\n";
  unsigned state = 12345;
  for (int i = 0; i < V; ++i) {
    text += 'v' + std::to_string(i + 1);
    for (int k = 0; k < N; ++k) {
      state = state * 1103515245u + 12345u;
      text += ' ' + std::to_string((state >> 8) % 10000);
    }
    text += "\n";
  }
  return text;
}

struct DataFault {
  const char* what;
  std::string data;
  std::string answers;
  std::vector<std::string> parts;  // of the message
};

}  // namespace

TEST(FaultData, DataFileThatIsADirectoryKeepsEarlierResults) {
  const std::string dir = folder_with_data("");
  ASSERT_EQ(unlink((dir + "/data.txt").c_str()), 0);
  ASSERT_EQ(mkdir((dir + "/data.txt").c_str(), 0755), 0);
  EXPECT_TRUE(refused(run_program(dir, mtcars_answers), {"cannot read data.txt: Is a directory"}));
  EXPECT_TRUE(earlier_results_kept(dir));
}

// The result files were emptied when the run started; a file that cannot be
// read as the answers say leaves them empty.
TEST(FaultData, MalformedFilesLeaveEmptyResults) {
  const std::string header = "probe t1 t2 t3\n";
  const std::string second_row = "CD 4 5 6\n";
  std::string garbage;
  for (unsigned state = 7; garbage.size() < 4000;) {
    state = state * 1103515245u + 12345u;
    garbage += static_cast<char>(state >> 24);
  }
  const std::vector<DataFault> faults = {
      {"empty", "", "2\n3\n", {"data.txt holds no data, but 2 variables were typed"}},
      {"only a header", header, "2\n3\n", {"data.txt ends at line 1 before the name of variable 1"}},
      {"binary garbage", garbage, "2\n3\n", {"data.txt "}},
      {"only NUL bytes", std::string(1000, '\0'), "2\n3\n", {"before the name of variable 1"}},
      {"a NUL byte among the values", header + "AB 1 2" + std::string(1, '\0') + " 3\n" + second_row, "2\n3\n",
       {"line 2: variable 1 (\"AB\"), observation 3: \"\\x00\" is not a number"}},
      {"nan", header + "AB 1 2 3\nCD nan 5 6\n", "2\n3\n",
       {"variable 2 (\"CD\"), observation 1: \"nan\" is not a number"}},
      {"decimal comma inside a row", header + "AB 1,5 2 3\n" + second_row, "2\n3\n",
       {"observation 2: \",5\" is not a number"}},
      {"value too large for a double", header + "AB 1 1e999 3\n" + second_row, "2\n3\n",
       {"\"1e999\" is beyond the range of a double"}},
      {"value too small for a double", header + "AB 1 2 3\nCD 4 1e-999 6\n", "2\n3\n",
       {"\"1e-999\" is beyond the range of a double"}},
      {"header without a corner cell", "\tt1\tt2\tt3\nAB\t1\t2\t3\nCD\t4\t5\t6\n", "2\n3\n",
       {"the header line starts with a blank: give it a corner cell"}},
      {"fewer values than typed", header + "AB 1 2\n" + second_row, "2\n3\n",
       {"observation 3: \"CD\" is not a number; check the typed counts"}},
  };
  for (const DataFault& fault : faults) {
    SCOPED_TRACE(fault.what);
    const std::string dir = folder_with_data(fault.data);
    EXPECT_TRUE(refused(run_program(dir, fault.answers), fault.parts));
    EXPECT_TRUE(results_emptied(dir));
  }
}

// Whatever the size of a line, the message shows a short excerpt.
TEST(FaultData, LinesOfSeveralMegabytesGiveShortMessages) {
  std::string one_line = "probe";
  for (int k = 0; k < 1300000; ++k) one_line += " 1.5";
  const std::string long_value = "probe t1 t2 t3\nAB 1 " + std::string(5000000, '7') + " 3\n";
  const std::vector<DataFault> faults = {
      {"the whole file on one line", one_line, "2\n3\n",
       {"ends at line 1 before the name of variable 1",
        "the header line holds 1300000 observation labels"}},
      {"a value of five million digits", long_value, "2\n3\n",
       {"\"" + std::string(40, '7') + "\"... is beyond the range of a double"}},
  };
  for (const DataFault& fault : faults) {
    SCOPED_TRACE(fault.what);
    const std::string dir = folder_with_data(fault.data);
    const ProgramRun run = run_program(dir, fault.answers);
    EXPECT_TRUE(refused(run, fault.parts));
    EXPECT_LT(run.err.size(), 300u);
    EXPECT_TRUE(results_emptied(dir));
    unlink((dir + "/data.txt").c_str());  // not left to fill the temporary folder
  }
}

// Well-formed layouts other than the plain one give the very same result files.
TEST(WellFormedInput, LayoutsGiveTheResultsOfThePlainFile) {
  const std::string plain_dir = folder_with_data(mtcars);
  const ProgramRun plain = run_program(plain_dir, mtcars_answers);
  ASSERT_EQ(plain.exit_status, 0) << plain.err;
  ASSERT_FALSE(read_file(plain_dir + "/Quorvin_network_0.01.sif").empty());

  const auto values = [](auto rewrite_value) {
    return rewrite_lines(mtcars, [&](int line, std::vector<std::string> tokens) {
      for (size_t i = 1; line > 0 && i < tokens.size(); ++i) tokens[i] = rewrite_value(tokens[i]);
      return joined(tokens, "\t");
    });
  };
  const struct {
    const char* what;
    std::string data;
  } layouts[] = {
      {"CR LF line ends", replaced(mtcars, "\n", "\r\n")},
      {"spaces for tabs", replaced(mtcars, "\t", "   ")},
      {"blank lines and blanks before names", replaced(mtcars, "\n", "\n\n \t")},
      {"rows wrapped over lines",
       rewrite_lines(mtcars,
                     [](int line, std::vector<std::string> tokens) {
                       for (size_t i = 5; line > 0 && i < tokens.size(); i += 6)
                         tokens[i] += "\n";
                       return joined(tokens, " ");
                     })},
      {"extra labels and values",
       rewrite_lines(mtcars,
                     [](int line, const std::vector<std::string>& tokens) {
                       return joined(tokens, "\t") + (line == 0 ? "\tmore labels" : "\t9 NA x");
                     })},
      {"exponents and plus signs", values([](const std::string& value) {
         char text[64];
         std::snprintf(text, sizeof text, "%+.16e", std::stod(value));
         return std::string(text);
       })},
      {"unit or decimal comma after the last value",
       rewrite_lines(mtcars,
                     [](int line, std::vector<std::string> tokens) {
                       if (line > 0) tokens.back() += line % 2 ? "mg" : ",5";
                       return joined(tokens, "\t");
                     })},
      {"no line feed after the last row", mtcars.substr(0, mtcars.size() - 1)},
      {"byte-order mark", "\xEF\xBB\xBF" + mtcars},
      {"rows beyond the typed count", mtcars + "junk \xff NA\n\n"},
  };
  for (const auto& layout : layouts) {
    SCOPED_TRACE(layout.what);
    const std::string dir = folder_with_data(layout.data);
    const ProgramRun run = run_program(dir, mtcars_answers);
    EXPECT_EQ(run.exit_status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    for (const char* name : result_file_names)
      EXPECT_EQ(read_file(dir + "/" + name), read_file(plain_dir + "/" + name)) << name;
  }
}

// Memory that runs out once the run is under way, as under a limit set by a
// batch system, stops it with a message too, never with a crash.
TEST(FaultMemory, DataFileLargerThanMemory) {
  if (sanitized) GTEST_SKIP() << "address space limits do not work with sanitizers";
  const std::string dir = folder_with_data("");
  ASSERT_EQ(truncate((dir + "/data.txt").c_str(), 2LL << 30), 0);  // sparse: takes no disk
  RunOptions options;
  options.address_space = 1LL << 30;
  EXPECT_TRUE(refused(run_program(dir, "2\n3\n", options),
                      {"cannot read data.txt: its 2.0 GiB do not fit in memory"}));
  EXPECT_TRUE(results_emptied(dir));
}

// Arrays that fit in the machine but not in the address space allowed to
// the process are refused naming that limit, not the machine's memory.
TEST(FaultMemory, RefusalNamesTheLimit) {
  if (sanitized) GTEST_SKIP() << "address space limits do not work with sanitizers";
  const std::string dir = folder_with_data("");
  RunOptions options;
  options.address_space = 1LL << 30;
  EXPECT_TRUE(refused(run_program(dir, "20000\n100\n", options),
                      {"20000 variables and 100 observations need ",
                       " of memory, more than the process may address (ulimit -v: 1.0 GiB)"}));
  EXPECT_TRUE(refused(run_program(dir, "2000000000\n1\n"), {"more than the machine's "}));
}

TEST(FaultMemory, WorkingMemoryBeyondTheArrays) {
  if (sanitized) GTEST_SKIP() << "address space limits do not work with sanitizers";
  // The text of data.txt fits in the limit, a copy of its 100 MB name does not.
  const std::string dir = folder_with_data("probe\n" + std::string(100 << 20, 'N') + "\n");
  RunOptions options;
  options.address_space = 200LL << 20;
  EXPECT_TRUE(refused(run_program(dir, "1\n0\n", options),
                      {"the memory ran out while reading and computing (1 variables and 0 "
                       "observations, whose arrays take "}));
  EXPECT_TRUE(results_emptied(dir));
  unlink((dir + "/data.txt").c_str());  // not left to fill the temporary folder
}

// Permission bits do not stop root: these runs are made as another user then.
TEST(FaultResults, ReadOnlyResultFile) {
  const std::string dir = folder_with_data(mtcars);
  hand_to_program_user(dir, 0755);
  hand_to_program_user(dir + "/data.txt", 0644);
  for (const char* name : result_file_names) hand_to_program_user(dir + "/" + name, 0644);
  hand_to_program_user(dir + "/Quorvin_network_0.01.net", 0444);
  RunOptions options;
  options.unprivileged = true;
  const ProgramRun run = run_program(dir, mtcars_answers, options);
  if (run.exit_status == 126 || run.exit_status == 127)
    GTEST_SKIP() << "the program cannot be run as user " << program_user_id() << " from here";
  EXPECT_TRUE(
      refused(run, {"cannot open Quorvin_network_0.01.net for writing: Permission denied"}));
  EXPECT_EQ(read_file(dir + "/Quorvin_network_0.0001.sif"), "");
  EXPECT_EQ(read_file(dir + "/Quorvin_network_0.01.net"), earlier_results);
}

TEST(FaultResults, FolderWithoutWritePermission) {
  const std::string dir = make_temp_dir();
  write_file(dir + "/data.txt", mtcars);
  hand_to_program_user(dir + "/data.txt", 0644);
  hand_to_program_user(dir, 0555);
  RunOptions options;
  options.unprivileged = true;
  const ProgramRun run = run_program(dir, mtcars_answers, options);
  if (run.exit_status == 126 || run.exit_status == 127)
    GTEST_SKIP() << "the program cannot be run as user " << program_user_id() << " from here";
  EXPECT_TRUE(refused(run, {"cannot open Quorvin_matrix.xls for writing: Permission denied"}));
  for (const char* name : result_file_names) EXPECT_FALSE(file_exists(dir + "/" + name)) << name;
}

// A full disk shows only when the results are written: the run fails naming
// the file, and the files already written are emptied again.
TEST(FaultResults, FullDisk) {
  // Two variables in opposite order are significant at every level, so that
  // every result file has something to write.
  std::string data = generated_data(3, 40) + "rising";
  for (int k = 0; k < 40; ++k) data += ' ' + std::to_string(k);
  data += "\nfalling";
  for (int k = 0; k < 40; ++k) data += ' ' + std::to_string(-k);
  for (const char* full : result_file_names) {
    SCOPED_TRACE(full);
    const std::string dir = folder_with_data(data + "\n");
    const std::string path = dir + "/" + full;
    ASSERT_EQ(unlink(path.c_str()), 0);
    ASSERT_EQ(symlink("/dev/full", path.c_str()), 0);
    EXPECT_TRUE(refused(run_program(dir, "5\n40\n"),
                        {"cannot write " + std::string(full) + ": No space left on device"}));
    for (const char* name : result_file_names) {
      if (name == full) continue;
      EXPECT_EQ(read_file(dir + "/" + name), "") << name;
    }
  }
}

// A run stopped during the computation leaves every result file empty and
// dies of the signal, so that the shell and batch systems see it stopped.
// The signal goes at the first progress line: 400 variables have 79800 of
// them, some 4 MB that must pass through a 64 KB pipe, so the program has
// not reached its result files when the signal comes.
TEST(FaultSignals, InterruptedRunLeavesEmptyResults) {
  const std::string data = generated_data(400, 20);
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(signal);
    const std::string dir = folder_with_data(data);
    RunOptions options;
    options.signal = signal;
    options.signal_after = "Controlled for ";
    const ProgramRun run = run_program(dir, "400\n20\n", options);
    EXPECT_EQ(run.signal, signal) << "exit status " << run.exit_status << ": " << run.err;
    EXPECT_TRUE(results_emptied(dir));
  }
}
