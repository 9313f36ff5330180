// The timestamp text of the console lines.
#pragma once

#include <ctime>
#include <string>

namespace quorvin {

// Appends the local time of when as exactly 24 characters and a newline, with
// English day and month names whatever the locale: "Sun Dec 06 16:47:49 2026\n".
void append_timestamp(std::string& out, std::time_t when);

}  // namespace quorvin
