// The set of result files of the command line replaced as one: never mixed
// with another run's, never left half replaced, never written over the
// table, and nothing left behind by a run that fails or is killed.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "output/result_files.h"
#include "support/program_runner.h"
#include "support/random_data.h"

using namespace quorvin_test;

namespace {

const std::string mtcars = read_file(QUORVIN_EXAMPLES "/mtcars/data.txt");

// The files of a folder by name, hidden ones included.
using Folder = std::map<std::string, std::string>;

Folder folder_content(const std::string& folder) {
  Folder content;
  for (const std::string& name : folder_entries(folder)) content[name] = read_file(folder + "/" + name);
  return content;
}

// An earlier run's set: the seven and an edge table, each with its own text.
Folder earlier_set(bool edge_table) {
  Folder set;
  for (const char* name : result_file_names) set[name] = std::string("earlier ") + name + "\r\n";
  if (edge_table) set["edges.tsv"] = "earlier edges\n";
  return set;
}

void fill(const std::string& folder, const Folder& content) {
  mkdir(folder.c_str(), 0755);
  for (const auto& [name, text] : content) write_file(folder + "/" + name, text);
}

ProgramRun run_with(const std::string& dir, const std::vector<std::string>& args,
                    const std::string& input = "") {
  RunOptions options;
  options.args = args;
  return run_program(dir, input, options);
}

// The set that a run of args writes into a fresh folder "out".
Folder set_of_run(const std::string& table, std::vector<std::string> args) {
  const std::string dir = make_temp_dir();
  write_file(dir + "/t.txt", table);
  args.insert(args.end(), {"-q", "-o", "out", "t.txt"});
  const ProgramRun run = run_with(dir, args);
  EXPECT_EQ(run.exit_status, 0) << run.err;
  return folder_content(dir + "/out");
}

// A table, symlinked or hard linked under one of the output names, or given
// on standard input, is refused before anything is written: the table and
// the earlier results stay as they were.
TEST(ResultSet, NoOutputIsTheTable) {
  struct Case {
    const char* how;            // "copy", "symlink" or "hardlink": how the output name is made
    std::string output;         // the output name that is the table
    std::vector<std::string> args;
    std::string message;
    bool from_stdin = false;
  };
  const std::string seven = "the result file out/Quorvin_network_0.001.sif is the table ";
  const std::vector<Case> cases = {
      {"none", "in.txt", {"--edges", "in.txt", "in.txt"},
       "the edge table in.txt is the table in.txt, which it would overwrite; name another file"},
      {"none", "in.txt", {"--edges", "in.txt", "-"},
       "the edge table in.txt is the table on standard input, which it would overwrite; name "
       "another file",
       true},
      {"symlink", "edges.tsv", {"--edges", "edges.tsv", "in.txt"},
       "the edge table edges.tsv is the table in.txt, which it would overwrite; name another file"},
      {"hardlink", "out/edges.tsv", {"--edges", "out/edges.tsv", "in.txt"},
       "the edge table out/edges.tsv is the table in.txt, which it would overwrite; name another "
       "file"},
      {"none", "out/Quorvin_matrix.xls", {"out/Quorvin_matrix.xls"},
       "the result file out/Quorvin_matrix.xls is the table out/Quorvin_matrix.xls, which the run "
       "would overwrite; move the table or write the results elsewhere"},
      {"symlink", "out/Quorvin_network_0.001.sif", {"in.txt"},
       seven + "in.txt, which the run would overwrite; move the table or write the results elsewhere"},
      {"hardlink", "out/Quorvin_network_0.001.sif", {"in.txt"},
       seven + "in.txt, which the run would overwrite; move the table or write the results elsewhere"},
      {"hardlink", "out/Quorvin_network_0.001.sif", {"-"},
       seven + "on standard input, which the run would overwrite; move the table or write the "
               "results elsewhere",
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    const std::string dir = make_temp_dir();
    mkdir((dir + "/out").c_str(), 0755);
    const std::string table_path = c.args.back() == "-" || c.args.back() == "in.txt"
                                       ? dir + "/in.txt"
                                       : dir + "/" + c.args.back();
    write_file(table_path, mtcars);
    const std::string how = c.how;
    const std::string output = dir + "/" + c.output;
    if (how == "symlink") {
      ASSERT_EQ(symlink(table_path.c_str(), output.c_str()), 0);
    } else if (how == "hardlink") {
      ASSERT_EQ(link(table_path.c_str(), output.c_str()), 0);
    }
    RunOptions options;
    options.args = {"-q", "-o", "out"};
    options.args.insert(options.args.end(), c.args.begin(), c.args.end());
    if (c.from_stdin) options.stdin_path = table_path;
    const ProgramRun run = run_program(dir, "", options);
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(run.err, "quorvin: " + c.message + "\n");
    EXPECT_TRUE(read_file(table_path) == mtcars);
    // Nothing but the table and the link made for the case.
    std::vector<std::string> in_out;
    for (const std::string& path : {table_path.substr(dir.size() + 1), c.output})
      if (path.rfind("out/", 0) == 0 && (in_out.empty() || in_out[0] != path.substr(4)))
        in_out.push_back(path.substr(4));
    EXPECT_EQ(folder_entries(dir + "/out"), in_out);
  }
  // The dialogue would empty data.txt, linked as one of its seven.
  const std::string dir = make_temp_dir();
  write_file(dir + "/data.txt", mtcars);
  ASSERT_EQ(link((dir + "/data.txt").c_str(), (dir + "/Quorvin_network_0.01.net").c_str()), 0);
  const ProgramRun run = run_program(dir, "11\n32\n");
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_NE(run.err.find("quorvin: the result file Quorvin_network_0.01.net is the table data.txt"),
            std::string::npos)
      << run.err;
  EXPECT_TRUE(read_file(dir + "/data.txt") == mtcars);
}

// Two runs into one folder at once leave the whole set of one of them, byte
// for byte, however their renames interleave.
TEST(ResultSet, ConcurrentRunsLeaveOneWholeSet) {
  const std::string first = data_file_text(gene_modules(40, 20, 1));
  const std::string second = data_file_text(gene_modules(40, 20, 2));
  const Folder first_set = set_of_run(first, {}), second_set = set_of_run(second, {});
  const std::string dir = make_temp_dir();
  write_file(dir + "/d1.txt", first);
  write_file(dir + "/d2.txt", second);
  for (int attempt = 0; attempt < 40; ++attempt) {
    pid_t runs[2];
    for (int r = 0; r < 2; ++r) {
      runs[r] = fork();
      ASSERT_GE(runs[r], 0);
      if (runs[r] == 0) {
        const ProgramRun run = run_with(dir, {"-q", "-t1", "-o", "shared", r ? "d2.txt" : "d1.txt"});
        _exit(run.exit_status);
      }
    }
    for (pid_t pid : runs) {
      int status = 0;
      waitpid(pid, &status, 0);
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    const Folder left = folder_content(dir + "/shared");
    ASSERT_TRUE(left == first_set || left == second_set) << "a mixed set after attempt " << attempt;
  }
}

// A folder standing at one of the names is found before the computation,
// and the earlier files stay.
TEST(ResultSet, FolderInTheWayIsFoundBeforeTheRun) {
  const std::string dir = make_temp_dir();
  write_file(dir + "/t.txt", mtcars);
  Folder earlier = earlier_set(false);
  earlier.erase("Quorvin_network_0.0001.net");
  fill(dir + "/out", earlier);
  mkdir((dir + "/out/Quorvin_network_0.0001.net").c_str(), 0755);
  const ProgramRun run = run_with(dir, {"-q", "-o", "out", "t.txt"});
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_EQ(run.err, "quorvin: cannot replace out/Quorvin_network_0.0001.net: a folder stands there\n");
  earlier["Quorvin_network_0.0001.net"] = "";  // the folder reads as empty
  EXPECT_TRUE(folder_content(dir + "/out") == earlier);
}

// An output folder that is a dangling symbolic link is named as such.
TEST(ResultSet, DanglingFolderLinkIsNamed) {
  const std::string dir = make_temp_dir();
  write_file(dir + "/t.txt", mtcars);
  ASSERT_EQ(symlink("gone/away", (dir + "/out").c_str()), 0);
  const ProgramRun run = run_with(dir, {"-q", "-o", "out", "t.txt"});
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_EQ(run.err,
            "quorvin: cannot create the folder out: it is a symbolic link to gone/away, which is "
            "missing\n");
}

// Renames the n-th file of a set (counted from 1) fails.
int failing_rename_at = 0;
int renames_made = 0;
int failing_rename(int folder_fd, const char* from, const char* to) {
  if (++renames_made == failing_rename_at) {
    errno = EIO;
    return -1;
  }
  return renameat(folder_fd, from, folder_fd, to);
}

// Writes a set in process, into folder and edges.tsv beside it, each file
// holding its own name; false when finish_result_files refused.
bool write_set(const std::string& folder, std::string& message) {
  quorvin::ResultFiles results;
  if (!quorvin::open_result_files(results, folder, folder + "/edges.tsv",
                                  quorvin::ResultMode::staged, message))
    return false;
  for (int i = 0; i < results.count; ++i) {
    const std::string text = "new " + results.files[i].name;
    quorvin::append_result_text(results.files[i], text.data(), text.size());
  }
  return quorvin::finish_result_files(results, message);
}

// A rename that fails part-way, at any file of the set, puts back every
// earlier file, the edge table's absence included, and leaves nothing else.
// Files staged under names, as where there are no unnamed files, are put in
// place and put back alike.
TEST(ResultSet, RenameFailingPartWayPutsTheEarlierSetBack) {
  const quorvin::RenameFunction plain = quorvin::set_rename_function(failing_rename);
  for (bool named : {false, true})
  for (bool earlier_edge_table : {true, false}) {
    quorvin::stage_under_names(named);
    for (int fail_at = 1; fail_at <= quorvin::max_result_files; ++fail_at) {
      SCOPED_TRACE(fail_at);
      const std::string folder = make_temp_dir();
      const Folder earlier = earlier_set(earlier_edge_table);
      fill(folder, earlier);
      failing_rename_at = fail_at;
      renames_made = 0;
      std::string message;
      EXPECT_FALSE(write_set(folder, message));
      EXPECT_NE(message.find("Input/output error; the earlier results are put back"),
                std::string::npos)
          << message;
      const Folder left = folder_content(folder);
      EXPECT_TRUE(left == earlier) << testing::PrintToString(left);
    }
  }
  failing_rename_at = 0;
  for (bool named : {false, true}) {
    quorvin::stage_under_names(named);
    const std::string folder = make_temp_dir();
    write_file(folder + "/.quorvin-new.Quorvin_matrix.xls", "left by a killed run");
    std::string message;
    EXPECT_TRUE(write_set(folder, message)) << message;
    EXPECT_EQ(folder_entries(folder).size(), 8u);
    EXPECT_EQ(read_file(folder + "/edges.tsv"), "new " + folder + "/edges.tsv");
    EXPECT_EQ(read_file(folder + "/Quorvin_matrix.xls"), "new " + folder + "/Quorvin_matrix.xls");
  }
  quorvin::stage_under_names(false);
  quorvin::set_rename_function(plain);
}

// What a run killed while renaming leaves (some files replaced, the earlier
// ones under hard links, notes of the files that had none, staged files) is
// put back by the next run that locks the folder; older versions' staged
// files go too.
TEST(ResultSet, SetCutShortIsPutBack) {
  const std::string folder = make_temp_dir();
  Folder earlier = earlier_set(false);
  fill(folder, earlier);
  int replaced = 0;
  for (const char* name : result_file_names) {
    const std::string path = folder + "/" + name;
    ASSERT_EQ(link(path.c_str(), (folder + "/.quorvin-old." + name).c_str()), 0);
    if (replaced++ < 4) {
      write_file(folder + "/.quorvin-new." + name, "new");
      ASSERT_EQ(rename((folder + "/.quorvin-new." + name).c_str(), path.c_str()), 0);
    } else {
      write_file(folder + "/.quorvin-new." + name, "new");
    }
  }
  write_file(folder + "/edges.tsv", "new edges");
  write_file(folder + "/.quorvin-none.edges.tsv", "");
  write_file(folder + "/.Quorvin_matrix.xls.4242.tmp", "an older version's");
  write_file(folder + "/.Quorvin_matrix.xls.backup", "not ours");
  earlier[".Quorvin_matrix.xls.backup"] = "not ours";
  const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY);
  quorvin::recover_result_set(fd);
  close(fd);
  EXPECT_TRUE(folder_content(folder) == earlier);
}

// Killed outright at any moment, a run leaves the earlier set, or its own
// whole set, and nothing else: staged files have no name until the set is
// put in place.
TEST(ResultSet, KilledRunLeavesNoTrace) {
  const std::string dir = make_temp_dir();
  // Some 0.4 s on one thread: the kills land while it reads, searches,
  // writes and puts the set in place.
  const std::string table = data_file_text(dense_factors(1000, 50, 3));
  write_file(dir + "/t.txt", table);
  const Folder finished = set_of_run(table, {"-t", "1", "--edges", "out/edges.tsv"});
  for (int delay_ms : {0, 10, 30, 100, 200, 300, 400, 500}) {
    SCOPED_TRACE(delay_ms);
    const Folder earlier = earlier_set(true);
    fill(dir + "/out", earlier);
    RunOptions options;
    options.args = {"-t", "1", "-o", "out", "--edges", "out/edges.tsv", "t.txt"};
    options.signal = SIGKILL;
    options.signal_after = "Search: ";
    options.signal_delay_ms = delay_ms;
    run_program(dir, "", options);
    const Folder left = folder_content(dir + "/out");
    EXPECT_TRUE(left == earlier || left == finished);
    for (const auto& [name, text] : left) EXPECT_NE(name[0], '.') << name;
  }
}

// A summary that cannot be written fails the run after the results are in
// place; with --edges - the edge table goes to standard output and the
// summary to standard error.
TEST(ResultSet, StandardOutput) {
  const std::string dir = make_temp_dir();
  write_file(dir + "/t.txt", mtcars);
  const Folder expected = set_of_run(mtcars, {"--edges", "out/edges.tsv"});
  for (bool closed : {true, false}) {
    RunOptions options;
    options.args = {"-q", "-o", "out" + std::to_string(closed), "t.txt"};
    options.stdout_closed = closed;
    options.stdout_path = closed ? "" : "/dev/full";
    const ProgramRun run = run_program(dir, "", options);
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(run.err, std::string("quorvin: the results were written, but not the summary: cannot "
                                   "write to standard output: ") +
                           (closed ? "Bad file descriptor" : "No space left on device") + "\n");
    Folder seven = expected;
    seven.erase("edges.tsv");
    EXPECT_TRUE(folder_content(dir + "/out" + std::to_string(closed)) == seven);
  }
  const ProgramRun run = run_with(dir, {"-q", "-o", "piped", "--edges", "-", "t.txt"});
  EXPECT_EQ(run.exit_status, 0) << run.err;
  EXPECT_TRUE(run.out == expected.at("edges.tsv"));
  EXPECT_NE(run.err.find("Edge table:    standard output (43 pairs)\n"), std::string::npos) << run.err;
  EXPECT_EQ(folder_entries(dir + "/piped").size(), 7u);
}

}  // namespace
