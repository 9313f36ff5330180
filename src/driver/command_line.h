// The command line: quorvin [OPTION]... TABLE.
#pragma once

#include <cstdint>
#include <string>

#include "input/table_reader.h"

namespace quorvin {

struct Options {
  std::string table;        // path of the table, "-" for standard input
  std::string folder;       // where the results go; "" for the working directory
  std::string edge_table;   // path of the edge table; "" for none
  int32_t threads = 0;      // 0: OpenMP's own choice (every core, or OMP_NUM_THREADS)
  bool quiet = false;       // no progress report
  TableLayout layout;
  bool help = false;        // print the help and stop
  bool version = false;     // print the version and stop
};

// Reads the arguments after the program's name (argc >= 2). Returns false
// with one line in message, without the "quorvin: " prefix, for a usage error.
bool parse_command_line(int argc, char** argv, Options& options, std::string& message);

// The text of --help and of --version.
const char* help_text();
std::string version_text();

}  // namespace quorvin
