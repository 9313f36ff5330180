#include "driver/run.h"

// Command-line arguments are ignored: the program's whole interface is the
// dialogue and its fixed file names.
int main() { return quorvin::run_quorvin(); }
