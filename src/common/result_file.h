// Result files: text written through a large buffer, lines ended by CR LF,
// every write checked.
#pragma once

#include <string>

namespace quorvin {

struct ResultFile {
  std::string name;
  int fd = -1;
  std::string buffer;  // text not yet handed to the system
  int error = 0;       // errno of the first failed write; 0 while all went well
};

// Opens (creating or emptying) name in the working directory for writing.
// On failure returns false and sets message to one line naming the file and
// the system's reason.
bool open_result_file(ResultFile& file, const std::string& name, std::string& message);

// Ends the current line with carriage return and line feed. The bytes reach
// the file when the buffer grows large and at the latest in close_result_file.
void end_line(ResultFile& file);

// Writes out what the buffer holds; remembers the first failure in file.error.
void flush_result_file(ResultFile& file);

// Flushes and closes. Returns false with a message naming the file and the
// reason if any write since opening failed or the close itself failed.
bool close_result_file(ResultFile& file, std::string& message);

}  // namespace quorvin
