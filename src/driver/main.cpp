#include "driver/run.h"

// Without arguments the program is the dialogue it has always been.
int main(int argc, char** argv) {
  return argc > 1 ? quorvin::run_command_line(argc, argv) : quorvin::run_dialogue();
}
