// Text forms of numbers shared by every writer and by the console.
#pragma once

#include <cstdint>
#include <string>

namespace quorvin {

// Longest text append_double can produce ("-1.23457e-308" and the like).
constexpr int max_double_text = 32;

// Writes value in the general form with six significant digits and a
// three-digit exponent (1e-005, 1.23457e+006); every NaN as -1.#IND and the
// infinities as 1.#INF and -1.#INF. out must hold max_double_text chars,
// which it may use past the text. Returns the text's length (no terminating
// NUL).
int format_double(double value, char* out);

// Appends format_double's text of value to out.
void append_double(std::string& out, double value);

// Writes at out, which must hold max_double_text chars, the shortest text
// that reads back to the same double (as std::to_chars writes it: 0.46303711,
// -1e-05), NaN as NaN, the infinities as inf and -inf. Returns the end of the
// text.
char* write_shortest_double(char* out, double value);

// Appends value in plain decimal, with a minus sign when negative.
void append_integer(std::string& out, int64_t value);

// A size for messages, to a tenth of a MiB or GiB: "3.5 MiB", "12.0 GiB".
std::string format_bytes(double bytes);

}  // namespace quorvin
