#include "common/number_format.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace quorvin {

int format_double(double value, char* out) {
  if (std::isnan(value)) {
    std::memcpy(out, "-1.#IND", 7);
    return 7;
  }
  if (std::isinf(value)) {
    if (value < 0) {
      std::memcpy(out, "-1.#INF", 7);
      return 7;
    }
    std::memcpy(out, "1.#INF", 6);
    return 6;
  }
  // to_chars with precision 6 gives exactly printf's %.6g, whose exponent has
  // at least two digits; the exponent is widened to three below.
  char* end = std::to_chars(out, out + max_double_text, value, std::chars_format::general, 6).ptr;
  int length = static_cast<int>(end - out);
  char* e = static_cast<char*>(std::memchr(out, 'e', length));
  if (e == nullptr) return length;
  char* digits = e + 2;  // past the exponent's sign
  int digit_count = static_cast<int>(end - digits);
  if (digit_count >= 3) return length;
  int pad = 3 - digit_count;
  std::memmove(digits + pad, digits, digit_count);
  std::memset(digits, '0', pad);
  return length + pad;
}

void append_double(std::string& out, double value) {
  char text[max_double_text];
  out.append(text, format_double(value, text));
}

void append_shortest_double(std::string& out, double value) {
  if (std::isnan(value)) {
    out += "NaN";
    return;
  }
  char text[max_double_text];
  out.append(text, std::to_chars(text, text + sizeof text, value).ptr - text);
}

void append_integer(std::string& out, int64_t value) {
  char text[24];
  out.append(text, std::to_chars(text, text + sizeof text, value).ptr - text);
}

std::string format_bytes(double bytes) {
  char text[64];
  if (bytes >= 1024.0 * 1024 * 1024)
    std::snprintf(text, sizeof text, "%.1f GiB", bytes / (1024.0 * 1024 * 1024));
  else
    std::snprintf(text, sizeof text, "%.1f MiB", bytes / (1024.0 * 1024));
  return text;
}

}  // namespace quorvin
