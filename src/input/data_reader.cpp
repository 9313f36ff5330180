#include "input/data_reader.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

#include "common/message_text.h"

namespace quorvin {

namespace {

bool is_space(unsigned char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}
bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }

// Reading position in the file's text. Once a read fails or reaches the end
// of the text the cursor is spent and every later read fails, as a stream's.
struct Cursor {
  std::string_view text;
  size_t pos = 0;
  bool spent = false;
};

void skip_space(Cursor& in) {
  while (in.pos < in.text.size() && is_space(in.text[in.pos])) ++in.pos;
  if (in.pos == in.text.size()) in.spent = true;
}

bool read_token(Cursor& in, std::string& token) {
  if (in.spent) return false;
  skip_space(in);
  if (in.spent) return false;
  size_t start = in.pos;
  while (in.pos < in.text.size() && !is_space(in.text[in.pos])) ++in.pos;
  token.assign(in.text.substr(start, in.pos - start));
  if (in.pos == in.text.size()) in.spent = true;
  return true;
}

void discard_line(Cursor& in) {
  if (in.spent) return;
  size_t newline = in.text.find('\n', in.pos);
  if (newline == std::string_view::npos) {
    in.pos = in.text.size();
    in.spent = true;
  } else {
    in.pos = newline + 1;
  }
}

enum class ValueRead { ok, end_of_file, not_a_number, out_of_range };

// Takes the longest run that fits [+-]digits[.digits][(e|E)[+-]digits] with
// at least one mantissa digit, and converts it to the nearest double. A value
// too large for a double, or non-zero but too small to be anything but zero,
// is refused.
ValueRead read_value(Cursor& in, double& value) {
  if (in.spent) return ValueRead::end_of_file;
  skip_space(in);
  if (in.spent) return ValueRead::end_of_file;
  const std::string_view t = in.text;
  size_t i = in.pos;
  bool nonzero_digit = false;
  size_t mantissa_digits = 0;
  if (t[i] == '+' || t[i] == '-') ++i;
  for (; i < t.size() && is_digit(t[i]); ++i, ++mantissa_digits) nonzero_digit |= t[i] != '0';
  if (i < t.size() && t[i] == '.') {
    ++i;
    for (; i < t.size() && is_digit(t[i]); ++i, ++mantissa_digits) nonzero_digit |= t[i] != '0';
  }
  if (mantissa_digits == 0) {
    in.spent = true;
    return ValueRead::not_a_number;
  }
  if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
    size_t j = i + 1;
    if (j < t.size() && (t[j] == '+' || t[j] == '-')) ++j;
    if (j < t.size() && is_digit(t[j])) {
      while (j < t.size() && is_digit(t[j])) ++j;
      i = j;
    }
  }
  std::string number(t.substr(in.pos, i - in.pos));
  errno = 0;
  double parsed = std::strtod(number.c_str(), nullptr);
  bool overflow = std::isinf(parsed);
  bool underflow_to_zero = errno == ERANGE && parsed == 0.0 && nonzero_digit;
  if (overflow || underflow_to_zero) {
    in.spent = true;
    return ValueRead::out_of_range;
  }
  value = parsed;
  in.pos = i;
  if (in.pos == t.size()) in.spent = true;
  return ValueRead::ok;
}

int64_t line_number_at(std::string_view text, size_t pos) {
  int64_t line = 1;
  for (size_t i = 0; i < pos && i < text.size(); ++i) line += text[i] == '\n';
  return line;
}

// Where a file that ends too early stops: the line of its last text, not the
// empty line after its final line feed.
int64_t last_line_number(std::string_view text) {
  const size_t last = text.find_last_not_of(" \t\n\v\f\r");
  return line_number_at(text, last == std::string_view::npos ? 0 : last);
}

// The token that starts at pos, for a message.
std::string token_at(std::string_view text, size_t pos) {
  size_t end = pos;
  while (end < text.size() && !is_space(text[end])) ++end;
  return quoted_for_message(text.substr(pos, end - pos));
}

// Why the layout may not match: a header without a corner cell, or counts
// that differ from what the header line shows.
std::string likely_cause(std::string_view text, int32_t V, int32_t N) {
  size_t line_end = text.find('\n');
  std::string_view header = text.substr(0, line_end);
  if (!header.empty() && (header[0] == ' ' || header[0] == '\t'))
    return "the header line starts with a blank: give it a corner cell (any word) before the "
           "observation labels";
  int64_t tokens = 0;
  for (size_t i = 0; i < header.size();) {
    while (i < header.size() && is_space(header[i])) ++i;
    if (i == header.size()) break;
    ++tokens;
    while (i < header.size() && !is_space(header[i])) ++i;
  }
  std::string cause = "check the typed counts (" + std::to_string(V) + " variables, " +
                      std::to_string(N) + " observations)";
  if (tokens > 0 && tokens - 1 != N)
    cause += "; the header line holds " + std::to_string(tokens - 1) + " observation labels";
  return cause;
}

}  // namespace

bool read_data_file(int32_t V, int32_t N, Matrix& raw_values, std::vector<std::string>& var_names,
                    std::string_view text, std::string& message) {
  var_names.assign(static_cast<size_t>(V), std::string());
  Cursor in{text};
  std::string token;
  read_token(in, token);
  for (int32_t k = 0; k < N; ++k) read_token(in, token);
  discard_line(in);

  for (int32_t i = 0; i < V; ++i) {
    const std::string variable = "variable " + std::to_string(i + 1);
    if (!read_token(in, var_names[i])) {
      if (text.find_first_not_of(" \t\n\v\f\r") == std::string_view::npos) {
        message = "data.txt holds no data, but " + std::to_string(V) + " variables were typed";
      } else {
        message = "data.txt ends at line " + std::to_string(last_line_number(text)) +
                  " before the name of " + variable + " of " + std::to_string(V) + "; " +
                  likely_cause(text, V, N);
      }
      return false;
    }
    std::string& name = var_names[i];
    size_t hyphen = name.find('-');
    if (hyphen != std::string::npos) name.erase(hyphen, 1);

    for (int32_t k = 0; k < N; ++k) {
      ValueRead result = read_value(in, raw_values[k][i]);
      if (result == ValueRead::ok) continue;
      const size_t where = in.pos;
      const int64_t line = result == ValueRead::end_of_file ? last_line_number(text)
                                                            : line_number_at(text, where);
      message = "data.txt line " + std::to_string(line) + ": " + variable +
                " (" + quoted_for_message(name) + "), observation " + std::to_string(k + 1) + ": ";
      if (result == ValueRead::end_of_file) {
        message += "the file ends here; ";
      } else if (result == ValueRead::out_of_range) {
        message += token_at(text, where) + " is beyond the range of a double; ";
      } else {
        message += token_at(text, where) + " is not a number; ";
      }
      message += likely_cause(text, V, N);
      return false;
    }
    discard_line(in);
  }
  return true;
}

}  // namespace quorvin
