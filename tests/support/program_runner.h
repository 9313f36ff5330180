// Running the built program end to end, and the files around it.
#pragma once

#include <string>
#include <vector>

#include "output/result_files.h"

namespace quorvin_test {

// Built with AddressSanitizer or ThreadSanitizer, whose own memory clashes
// with limits on the address space, and with ThreadSanitizer's with limits
// on file sizes.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool sanitized = true;
#elif defined(__has_feature)
constexpr bool sanitized = __has_feature(address_sanitizer) || __has_feature(thread_sanitizer);
#else
constexpr bool sanitized = false;
#endif

// What a finished run of the program left behind.
struct ProgramRun {
  int exit_status = -1;  // exit status, or -1 when killed by a signal
  int signal = 0;        // the signal that ended it, 0 if it exited
  std::string out;       // standard output
  std::string err;       // standard error
};

// A fresh empty folder under the system's temporary folder, removed with
// everything in it when the test program ends.
std::string make_temp_dir();

// Runs the program built with the tests in folder dir, feeding input to its
// standard input; extra_env entries ("NAME=value") are added to its
// environment. Waits for it to end.
ProgramRun run_program(const std::string& dir, const std::string& input,
                       const std::string& extra_env = "");

// Ways to disturb a run; the default disturbs nothing.
struct RunOptions {
  std::string extra_env;      // "NAME=value" added to its environment
  std::vector<std::string> args;  // the command line after the program's name
  int signal = 0;             // sent once its standard output or error holds signal_after
  std::string signal_after;
  int signal_delay_ms = 0;    // and this much later
  // Its standard output: a pipe read into ProgramRun::out unless closed, or
  // the file at stdout_path ("/dev/full").
  bool stdout_closed = false;
  std::string stdin_path;  // its standard input: this file instead of the input given
  std::string stdout_path;
  long long file_size = 0;    // limit in bytes on the files it writes (EFBIG beyond); 0 for none
  bool unprivileged = false;  // run it as program_user_id(), whom file permissions stop
  long long address_space = 0;  // limit in bytes on its address space; 0 for none
};

// run_program with options. An unprivileged run that cannot reach dir or the
// program ends with exit status 126 or 127.
ProgramRun run_program(const std::string& dir, const std::string& input, const RunOptions& options);

// The user an unprivileged run runs as: nobody when the tests run as root,
// for whom permission bits do not stop a write, else the tests' own user.
unsigned program_user_id();

// Makes path belong to program_user_id(), with the permission bits mode.
void hand_to_program_user(const std::string& path, unsigned mode);

// The whole content of path; empty if it cannot be read.
std::string read_file(const std::string& path);

// Creates or replaces path with content.
void write_file(const std::string& path, const std::string& content);

// The names in folder, "." and ".." left out, sorted.
std::vector<std::string> folder_entries(const std::string& folder);

// True when path exists (as any kind of file).
bool file_exists(const std::string& path);

// The seven result file names, in the order the program opens them.
using quorvin::result_file_names;

}  // namespace quorvin_test
