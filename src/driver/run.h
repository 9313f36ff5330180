// The whole run: dialogue, files, stages, results.
#pragma once

namespace quorvin {

// Asks for the two counts on standard input, reads data.txt from the working
// directory, computes the combined matrix and writes the seven result files.
// Returns 0 when every result file was written in full; otherwise prints one
// line beginning "quorvin: " on standard error, leaves the result files empty
// and returns 1.
int run_quorvin();

}  // namespace quorvin
