// The two ways to run: the dialogue and the command line.
#pragma once

namespace quorvin {

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
int run_command_line(int argc, char** argv);

}  // namespace quorvin
