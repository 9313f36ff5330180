#include "driver/dialogue.h"

#include <cctype>
#include <limits>

#include "common/message_text.h"

namespace quorvin {

namespace {

void take_rest_of_line(std::FILE* in, std::string& typed) {
  for (int c = std::getc(in); c != EOF && c != '\n' && typed.size() < 60; c = std::getc(in))
    typed += static_cast<char>(c);
}

}  // namespace

CountAnswer read_count(std::FILE* in, int32_t& count, std::string& typed) {
  count = 0;
  typed.clear();
  int c = std::getc(in);
  while (c != EOF && std::isspace(c)) c = std::getc(in);
  if (c == EOF) return CountAnswer::no_answer;
  bool negative = false;
  if (c == '+' || c == '-') {
    negative = c == '-';
    typed += static_cast<char>(c);
    c = std::getc(in);
  }
  int64_t value = 0;
  bool digits = false, overflow = false;
  for (; c != EOF && std::isdigit(c); c = std::getc(in)) {
    digits = true;
    typed += static_cast<char>(c);
    if (!overflow) value = value * 10 + (c - '0');
    if (value > std::numeric_limits<int32_t>::max() + int64_t{1}) overflow = true;
  }
  if (c != EOF) std::ungetc(c, in);
  if (!digits) {
    take_rest_of_line(in, typed);
    return CountAnswer::not_a_number;
  }
  if (negative) value = -value;
  if (overflow || value > std::numeric_limits<int32_t>::max() ||
      value < std::numeric_limits<int32_t>::min())
    return CountAnswer::too_large;
  if (value < 0) return CountAnswer::negative;
  count = static_cast<int32_t>(value);
  return CountAnswer::ok;
}

std::string count_answer_message(const char* question, CountAnswer answer,
                                 const std::string& typed) {
  const std::string asked = std::string("the answer to \"") + question + "\"";
  switch (answer) {
    case CountAnswer::no_answer:
      return std::string("no answer to \"") + question + "\": standard input ended";
    case CountAnswer::not_a_number:
      return asked + " is not a whole number: " + quoted_for_message(typed);
    case CountAnswer::negative:
      return asked + " is negative: " + quoted_for_message(typed);
    case CountAnswer::too_large:
      return asked + " is out of range (at most 2147483647): " + quoted_for_message(typed);
    case CountAnswer::ok:
      break;
  }
  return {};
}

}  // namespace quorvin
