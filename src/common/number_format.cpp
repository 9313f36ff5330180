#include "common/number_format.h"

#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace quorvin {

namespace {

__extension__ using uint128 = unsigned __int128;

// round(m 2^-shift 10^k), m < 2^53, ties to even, exactly in 128-bit
// integers: with 0 < shift <= 106 and -9 <= k <= 22 nothing overflows.
uint64_t exact_rounding(uint64_t m, int shift, int k) {
  static constexpr auto powers = [] {
    std::array<uint128, 23> p{};
    p[0] = 1;
    for (size_t i = 1; i < p.size(); ++i) p[i] = p[i - 1] * 10;
    return p;
  }();
  uint128 quotient, remainder, denominator;
  if (k >= 0) {
    const uint128 numerator = m * powers[k];
    denominator = uint128{1} << shift;
    quotient = numerator >> shift;
    remainder = numerator & (denominator - 1);
  } else {
    denominator = powers[-k] << shift;
    quotient = m / denominator;
    remainder = m % denominator;
  }
  if (remainder * 2 > denominator || (remainder * 2 == denominator && (quotient & 1) != 0))
    ++quotient;
  return static_cast<uint64_t>(quotient);
}

// The six significant digits of a magnitude from 1e-16 up to 1e15, rounded
// as printf rounds (to nearest, ties to even, from the exact binary value),
// with the decimal exponent of the first: magnitude ~ digits 10^(exponent - 5).
// magnitude 10^k is taken in double precision, within 1e-9 of the exact
// product below 10^7; only where that leaves the rounding in doubt is it
// computed exactly.
void six_digits(double magnitude, uint32_t& digits, int& exponent) {
  static constexpr auto powers = [] {
    std::array<double, 23> p{};
    p[0] = 1;
    for (size_t i = 1; i < p.size(); ++i) p[i] = p[i - 1] * 10;  // exact up to 10^22
    return p;
  }();
  const uint64_t bits = std::bit_cast<uint64_t>(magnitude);
  const int biased = static_cast<int>(bits >> 52);  // a normal number: no sign bit
  // floor(log10(2^(biased - 1023))), within one of the decimal exponent.
  exponent = ((biased - 1023) * 78913) >> 18;
  for (;;) {
    const int k = 5 - exponent;  // digits = round(magnitude 10^k)
    const double scaled = k >= 0 ? magnitude * powers[k] : magnitude / powers[-k];
    uint64_t rounded = static_cast<uint64_t>(scaled);
    const double fraction = scaled - static_cast<double>(rounded);
    if (std::fabs(fraction - 0.5) < 1e-9 || scaled >= 1e7) {
      const uint64_t m = (bits & ((uint64_t{1} << 52) - 1)) | (uint64_t{1} << 52);
      rounded = exact_rounding(m, 1075 - biased, k);
    } else if (fraction > 0.5) {
      ++rounded;
    }
    // A first guess of the exponent one off is mended; rounding up to 10^6
    // carries into the next exponent, as in printf.
    if (rounded > 1000000) {
      ++exponent;
    } else if (rounded < 100000) {
      --exponent;
    } else {
      digits = static_cast<uint32_t>(rounded);
      if (digits == 1000000) {
        digits = 100000;
        ++exponent;
      }
      return;
    }
  }
}

// printf's %.6g of a magnitude that six_digits takes, exponent widened to
// three digits. Returns the length.
int format_six_digits(double magnitude, char* out) {
  uint32_t digits;
  int exponent;
  six_digits(magnitude, digits, exponent);
  char d[6];
  for (int i = 5; i >= 0; --i, digits /= 10) d[i] = static_cast<char>('0' + digits % 10);
  int last = 5;  // trailing zeros are not written
  char* p = out;
  if (exponent >= -4 && exponent < 6) {
    const int point = exponent >= 0 ? exponent : -1;  // digits d[0..point] before it
    while (last > point && d[last] == '0') --last;
    if (exponent < 0) {
      *p++ = '0';
      *p++ = '.';
      for (int i = exponent + 1; i < 0; ++i) *p++ = '0';
      for (int i = 0; i <= last; ++i) *p++ = d[i];
    } else {
      for (int i = 0; i <= point; ++i) *p++ = d[i];
      if (last > point) *p++ = '.';
      for (int i = point + 1; i <= last; ++i) *p++ = d[i];
    }
    return static_cast<int>(p - out);
  }
  while (last > 0 && d[last] == '0') --last;
  *p++ = d[0];
  if (last > 0) *p++ = '.';
  for (int i = 1; i <= last; ++i) *p++ = d[i];
  *p++ = 'e';
  *p++ = exponent < 0 ? '-' : '+';
  const int magnitude_of_exponent = exponent < 0 ? -exponent : exponent;
  *p++ = static_cast<char>('0' + magnitude_of_exponent / 100);
  *p++ = static_cast<char>('0' + magnitude_of_exponent / 10 % 10);
  *p++ = static_cast<char>('0' + magnitude_of_exponent % 10);
  return static_cast<int>(p - out);
}

}  // namespace

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
  // The correlations and their like are written by the integer arithmetic
  // above, several times faster than to_chars.
  const double magnitude = std::fabs(value);
  if (magnitude >= 1e-16 && magnitude < 1e15) {
    if (value < 0) *out = '-';
    return (value < 0) + format_six_digits(magnitude, out + (value < 0));
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
