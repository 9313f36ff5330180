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
  // 10^(e - 16), correctly rounded, for e = 0 .. 32.
  static constexpr auto decades = [] {
    std::array<double, 33> p{};
    for (int e = 0; e <= 32; ++e) p[e] = e >= 16 ? powers[e - 16] : 1 / powers[16 - e];
    return p;
  }();
  const uint64_t bits = std::bit_cast<uint64_t>(magnitude);
  const int biased = static_cast<int>(bits >> 52);  // a normal number: no sign bit
  // floor(log10(2^(biased - 1023))), the decimal exponent or one below it;
  // the comparison mends all but values within rounding of a power of ten.
  exponent = ((biased - 1023) * 78913) >> 18;
  exponent += magnitude >= decades[exponent + 17];
  for (;;) {
    const int k = 5 - exponent;  // digits = round(magnitude 10^k)
    const double scaled = k >= 0 ? magnitude * powers[k] : magnitude / powers[-k];
    uint64_t rounded = static_cast<uint64_t>(scaled);
    const double fraction = scaled - static_cast<double>(rounded);
    if (std::fabs(fraction - 0.5) < 1e-9 || scaled >= 1e7) {
      const uint64_t m = (bits & ((uint64_t{1} << 52) - 1)) | (uint64_t{1} << 52);
      rounded = exact_rounding(m, 1075 - biased, k);
    } else {
      rounded += fraction > 0.5;  // without a branch: half the numbers round up
    }
    // An exponent one off is mended; rounding up to 10^6 carries into the
    // next exponent, as in printf.
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

// Three decimal digits of each number below 1000, then the count of its
// trailing zeros (3 for 0) as the fourth char.
constexpr auto digit_triples = [] {
  std::array<std::array<char, 4>, 1000> t{};
  for (int i = 0; i < 1000; ++i) {
    t[i] = {static_cast<char>('0' + i / 100), static_cast<char>('0' + i / 10 % 10),
            static_cast<char>('0' + i % 10),
            static_cast<char>(i == 0         ? 3
                              : i % 100 == 0 ? 2
                              : i % 10 == 0  ? 1
                                             : 0)};
  }
  return t;
}();

// printf's %.6g of a magnitude that six_digits takes, exponent widened to
// three digits. Writes up to 16 chars, some past the returned length.
int format_six_digits(double magnitude, char* out) {
  uint32_t digits;
  int exponent;
  six_digits(magnitude, digits, exponent);
  // The six digits in the first bytes of d, put together in a register: a
  // load of stores that overlap it would wait for them to reach memory.
  const uint32_t high = digits / 1000, low = digits % 1000;
  uint32_t first, last;
  std::memcpy(&first, digit_triples[high].data(), 4);
  std::memcpy(&last, digit_triples[low].data(), 4);
  uint64_t word;
  if constexpr (std::endian::native == std::endian::little)
    word = (first & 0xffffff) | uint64_t{last} << 24;
  else
    word = uint64_t{first & 0xffffff00} << 32 | uint64_t{last} << 8;
  char d[8];
  std::memcpy(d, &word, 8);
  // All digits but the trailing zeros.
  const int significant = low != 0 ? 6 - digit_triples[low][3] : 3 - digit_triples[high][3];
  char* p = out;
  if (exponent >= -4 && exponent < 0) {
    // "0.", the zeros after the point, the digits: fixed-size copies, the
    // most common form in the matrix.
    std::memcpy(p, "0.000000", 8);
    const int zeros = -exponent - 1;
    std::memcpy(p + 2 + zeros, d, 8);
    return 2 + zeros + significant;
  }
  if (exponent >= 0 && exponent < 6) {
    std::memcpy(p, d, exponent + 1);
    p += exponent + 1;
    if (significant > exponent + 1) {
      *p++ = '.';
      std::memcpy(p, d + exponent + 1, significant - exponent - 1);
      p += significant - exponent - 1;
    }
    return static_cast<int>(p - out);
  }
  *p++ = d[0];
  if (significant > 1) {
    *p++ = '.';
    std::memcpy(p, d + 1, significant - 1);
    p += significant - 1;
  }
  *p++ = 'e';
  *p++ = exponent < 0 ? '-' : '+';
  std::memcpy(p, digit_triples[exponent < 0 ? -exponent : exponent].data(), 3);
  return static_cast<int>(p + 3 - out);
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
    // The sign written either way, and passed over unless negative: a
    // branch on it would be mispredicted every other number.
    const int negative = std::signbit(value);
    *out = '-';
    return negative + format_six_digits(magnitude, out + negative);
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

char* write_shortest_double(char* out, double value) {
  if (std::isnan(value)) {
    std::memcpy(out, "NaN", 3);
    return out + 3;
  }
  return std::to_chars(out, out + max_double_text, value).ptr;
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
