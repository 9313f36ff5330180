// The pieces of a table's text that both readers share: blanks, numbers,
// names and line numbers.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace quorvin {

// Space, tab, line feed, vertical tab, form feed or carriage return.
bool is_blank(unsigned char c);

enum class NumberText { ok, not_a_number, out_of_range, underflow };

// Reads the longest beginning of text that fits
// [+-]digits[.digits][(e|E)[+-]digits], with at least one mantissa digit, as
// the nearest double into value and its length into length. A number too
// large for a double is out_of_range; one non-zero but so small that it
// reads as zero is underflow, with value that zero (signed, as strtod reads
// it), so that each caller decides whether to take it. value and length are
// set only when the result is ok or underflow.
NumberText parse_number(std::string_view text, double& value, size_t& length);

// A variable name as the results show it: the first hyphen, if any, removed.
void remove_first_hyphen(std::string& name);

// A name as the command line's results show it: each blank an underscore, as
// a blank would split the interaction lists' fields, and the first hyphen
// removed.
std::string name_for_files(std::string_view name);

// Why name, as given, reads as name_for_files(name) in the results:
// " (from "a-b c"; the first hyphen of a name is dropped and a blank in a
// name becomes an underscore)".
std::string name_origin(std::string_view name);

// Why the result files cannot hold name as it stands ("holds a double quote,
// which ..."), or null when they can.
const char* unwritable_name_reason(std::string_view name);

// The 1-based number of the line that holds byte pos of text.
int64_t line_number_at(std::string_view text, size_t pos);

// Opens path for reading, refusing a folder. On failure returns false with
// one line in message naming the file as shown.
bool open_for_reading(const std::string& path, const std::string& shown, int& fd,
                      std::string& message);

// Reads everything from descriptor fd into text. On failure returns false
// with one line in message naming the source as shown (e.g. "data.txt").
bool read_whole_file(int fd, const std::string& shown, std::string& text, std::string& message);

}  // namespace quorvin
