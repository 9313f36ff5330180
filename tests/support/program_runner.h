// Running the built program end to end, and the files around it.
#pragma once

#include <string>

namespace quorvin_test {

// What a finished run of the program left behind.
struct ProgramRun {
  int exit_status = -1;  // exit status, or -1 when killed by a signal
  int signal = 0;        // the signal that ended it, 0 if it exited
  std::string out;       // standard output
  std::string err;       // standard error
};

// A fresh empty folder under the system's temporary folder.
std::string make_temp_dir();

// Runs the program built with the tests in folder dir, feeding input to its
// standard input; extra_env entries ("NAME=value") are added to its
// environment. Waits for it to end.
ProgramRun run_program(const std::string& dir, const std::string& input,
                       const std::string& extra_env = "");

// The whole content of path; empty if it cannot be read.
std::string read_file(const std::string& path);

// Creates or replaces path with content.
void write_file(const std::string& path, const std::string& content);

// True when path exists (as any kind of file).
bool file_exists(const std::string& path);

// The seven result file names, in the order the program opens them.
extern const char* const result_file_names[7];

}  // namespace quorvin_test
