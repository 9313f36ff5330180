// The console dialogue: the two counts the user types.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace quorvin {

enum class CountAnswer { ok, no_answer, not_a_number, negative, too_large };

// Reads one count as typed: leading whitespace (line ends included) skipped,
// an optional sign and the digits that follow taken; the character after them
// stays unread for the next answer. On anything but ok, typed holds what was
// found (up to the end of its line) for the message.
CountAnswer read_count(std::FILE* in, int32_t& count, std::string& typed);

// One line for standard error, without the "quorvin: " prefix, saying why the
// answer to question was refused.
std::string count_answer_message(const char* question, CountAnswer answer,
                                 const std::string& typed);

}  // namespace quorvin
