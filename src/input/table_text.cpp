#include "input/table_text.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "common/message_text.h"
#include "common/number_format.h"

namespace quorvin {

namespace {
bool is_digit(char c) { return c >= '0' && c <= '9'; }
}  // namespace

bool is_blank(unsigned char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

NumberText parse_number(std::string_view t, double& value, size_t& length) {
  size_t i = 0;
  size_t mantissa_digits = 0;
  // The digits as one integer, and how many of them follow the point.
  uint64_t mantissa = 0;
  int fraction_digits = 0;
  // from_chars takes no plus sign.
  const size_t sign = !t.empty() && t[0] == '+' ? 1 : 0;
  const bool negative = !t.empty() && t[0] == '-';
  if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
  for (; i < t.size() && is_digit(t[i]); ++i, ++mantissa_digits)
    mantissa = mantissa * 10 + (t[i] - '0');
  if (i < t.size() && t[i] == '.') {
    ++i;
    for (; i < t.size() && is_digit(t[i]); ++i, ++mantissa_digits, ++fraction_digits)
      mantissa = mantissa * 10 + (t[i] - '0');
  }
  if (mantissa_digits == 0) return NumberText::not_a_number;
  bool has_exponent = false;
  if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
    size_t j = i + 1;
    if (j < t.size() && (t[j] == '+' || t[j] == '-')) ++j;
    if (j < t.size() && is_digit(t[j])) {
      while (j < t.size() && is_digit(t[j])) ++j;
      i = j;
      has_exponent = true;
    }
  }
  // Up to 15 digits without an exponent, the value is one correctly rounded
  // division of two exact doubles, mantissa / 10^fraction_digits: the
  // correctly rounded decimal, as from_chars finds it, at a fraction of its
  // cost (most tables hold nothing else).
  static constexpr double powers_of_ten[16] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                               1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
  if (mantissa_digits <= 15 && !has_exponent) {
    const double magnitude = static_cast<double>(mantissa) / powers_of_ten[fraction_digits];
    value = negative ? -magnitude : magnitude;
    length = i;
    return NumberText::ok;
  }
  // Correctly rounded, as strtod.
  double parsed = 0;
  const std::from_chars_result result = std::from_chars(t.data() + sign, t.data() + i, parsed);
  NumberText read = NumberText::ok;
  if (result.ec == std::errc::result_out_of_range) {
    // from_chars leaves parsed as it was, beyond either end of the range;
    // strtod, on the rare text that gets here, tells an overflow (infinity)
    // from an underflow (its nearest double).
    parsed = std::strtod(std::string(t.substr(0, i)).c_str(), nullptr);
    if (std::isinf(parsed)) return NumberText::out_of_range;
    read = NumberText::underflow;
  } else if (result.ec != std::errc() || result.ptr != t.data() + i) {
    return NumberText::not_a_number;
  }
  value = parsed;
  length = i;
  return read;
}

void remove_first_hyphen(std::string& name) {
  const size_t hyphen = name.find('-');
  if (hyphen != std::string::npos) name.erase(hyphen, 1);
}

std::string name_for_files(std::string_view name) {
  std::string written(name);
  for (char& c : written)
    if (is_blank(c)) c = '_';
  remove_first_hyphen(written);
  return written;
}

std::string name_origin(std::string_view name) {
  const bool hyphen = name.find('-') != std::string_view::npos;
  const bool blank = std::any_of(name.begin(), name.end(), [](char c) { return is_blank(c); });
  return " (from " + quoted_for_message(name) + "; " +
         (hyphen ? "the first hyphen of a name is dropped" : "") + (hyphen && blank ? " and " : "") +
         (blank ? "a blank in a name becomes an underscore" : "") + ")";
}

const char* unwritable_name_reason(std::string_view name) {
  // The Pajek networks write each name between double quotes as it is.
  const size_t unwritable = name.find_first_of("\"\\");
  if (unwritable == std::string_view::npos) return nullptr;
  return name[unwritable] == '"'
             ? "holds a double quote, which would end the name early in the Pajek networks "
               "(.net), where each name stands between double quotes"
             : "holds a backslash, which readers of the Pajek networks (.net) take as an escape, "
               "changing or breaking the name";
}

int64_t line_number_at(std::string_view text, size_t pos) {
  int64_t line = 1;
  for (size_t i = 0; i < pos && i < text.size(); ++i) line += text[i] == '\n';
  return line;
}

bool open_for_reading(const std::string& path, const std::string& shown, int& fd,
                      std::string& message) {
  fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    message = "cannot open " + shown + ": " + std::strerror(errno);
    return false;
  }
  struct stat info {};
  if (fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
    ::close(fd);
    fd = -1;
    message = "cannot read " + shown + ": " + std::strerror(EISDIR);
    return false;
  }
  return true;
}

bool read_whole_file(int fd, const std::string& shown, std::string& text, std::string& message) {
  struct stat info {};
  const bool sized = fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0;
  char chunk[1 << 16];
  try {
    if (sized) text.reserve(static_cast<size_t>(info.st_size));
    for (;;) {
      ssize_t got = ::read(fd, chunk, sizeof chunk);
      if (got == 0) return true;
      if (got < 0) {
        if (errno == EINTR) continue;
        message = "cannot read " + shown + ": " + std::strerror(errno);
        return false;
      }
      text.append(chunk, static_cast<size_t>(got));
    }
  } catch (const std::bad_alloc&) {
    const double size = sized ? static_cast<double>(info.st_size) : static_cast<double>(text.size());
    std::string().swap(text);  // room for the message
    message = "cannot read " + shown + ": its " + format_bytes(size) + (sized ? "" : " or more") +
              " do not fit in memory";
    return false;
  }
}

}  // namespace quorvin
