// The two ways to run: the dialogue and the command line.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "library/network.h"

namespace quorvin {

// How the processes of a run spread over several (the MPI program) work
// together; a single process has none of these. Each is called by every
// process at the same point of the run.
struct Spread {
  int32_t process = 0, processes = 1;
  // True on every process when ok is true on every one; otherwise false, with
  // the message of the first process that failed in message on process 0.
  std::function<bool(bool ok, std::string& message)> agree;
  // Gives every process process 0's text.
  std::function<void(std::string& text)> share_text;
  // Brings every process's share of the results into network on process 0,
  // and there the search CPU seconds of every process into search_cpu.
  std::function<void(Network& network, double cpu_seconds, std::vector<double>& search_cpu)>
      gather;
};

// Asks for the two counts on standard input, reads data.txt from the working
// directory, computes the combined matrix and writes the seven result files
// there, emptied at the start. Returns 0 when every result file was written
// in full; otherwise prints one line beginning "quorvin: " on standard error,
// leaves the result files empty and returns 1.
int run_dialogue();

// quorvin [OPTION]... TABLE, with argc >= 2: reads the table, computes, and
// renames the seven result files into place once all are written; reports
// progress on standard error and a summary on standard output. Returns 0 on
// success, 2 after one line for a usage error, 1 after the one "quorvin: "
// line for any other failure, which leaves earlier results as they were.
// Spread over processes, process 0 reads, reports and writes.
int run_command_line(int argc, char** argv, const Spread& spread = {});

}  // namespace quorvin
