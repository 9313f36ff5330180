// Text shown to the user inside error messages.
#pragma once

#include <string>
#include <string_view>

namespace quorvin {

// text in double quotes, cut at max_length bytes (then followed by "..."),
// with quotes, backslashes and unprintable bytes written as \xNN.
std::string quoted_for_message(std::string_view text, size_t max_length = 40);

}  // namespace quorvin
