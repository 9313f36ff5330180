#include "common/number_format.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <regex>

#include "support/test_values.h"

using quorvin_test::text_of;

namespace {

struct Case {
  double value;
  const char* text;
};

void expect_texts(const std::vector<Case>& cases) {
  for (const Case& c : cases) EXPECT_EQ(text_of(c.value), c.text) << std::hexfloat << c.value;
}

std::string integer_text(int64_t value) {
  std::string text;
  quorvin::append_integer(text, value);
  return text;
}

}  // namespace

TEST(NumberFormat, FixedFormWithSixSignificantDigits) {
  expect_texts({{0.0, "0"},
                {1.0, "1"},
                {-1.0, "-1"},
                {0.5, "0.5"},
                {-0.25, "-0.25"},
                {1.0 / 3, "0.333333"},
                {2.0 / 3, "0.666667"},
                {0.1 + 0.2, "0.3"},
                {123.456789, "123.457"},
                {-123456.7, "-123457"},
                {123456.0, "123456"},
                {999999.0, "999999"},
                {0.000123456789, "0.000123457"},
                {0.0001, "0.0001"},
                {100.0, "100"},
                {0.42, "0.42"}});
}

TEST(NumberFormat, RoundsToSixSignificantDigits) {
  expect_texts({{2.5000049, "2.5"},
                {2.5000051, "2.50001"},
                {0.99999949, "0.999999"},
                {0.99999951, "1"},
                {999999.49, "999999"},
                {-0.99999951, "-1"}});
}

TEST(NumberFormat, SwitchesToExponentBelowOneHundredThousandthAndFromAMillion) {
  expect_texts({{0.00001, "1e-005"},
                {0.000099999949, "9.99999e-005"},
                // Rounding carries this one up to 0.0001, which is fixed form again.
                {0.000099999996, "0.0001"},
                {-0.0000123456789, "-1.23457e-005"},
                {1e6, "1e+006"},
                {1234567.0, "1.23457e+006"},
                // Rounding carries this one up to a million.
                {999999.51, "1e+006"},
                {-2e7, "-2e+007"},
                {1e21, "1e+021"}});
}

TEST(NumberFormat, ExponentHasExactlyThreeDigits) {
  expect_texts({{1e-5, "1e-005"},
                {1.5e-10, "1.5e-010"},
                {1e100, "1e+100"},
                {1.5e-300, "1.5e-300"},
                {DBL_MAX, "1.79769e+308"},
                {DBL_MIN, "2.22507e-308"},
                {std::numeric_limits<double>::denorm_min(), "4.94066e-324"}});
}

TEST(NumberFormat, EveryNanIsWrittenAsIndefinite) {
  const double quiet = std::numeric_limits<double>::quiet_NaN();
  volatile double zero = 0.0;
  volatile double minus_one = -1.0;
  for (double nan : {quiet, -quiet, std::numeric_limits<double>::signaling_NaN(), std::nan("42"),
                     -std::nan("7"), zero / zero, std::sqrt(minus_one)}) {
    ASSERT_TRUE(std::isnan(nan));
    EXPECT_EQ(text_of(nan), "-1.#IND");
  }
}

TEST(NumberFormat, InfinitiesHaveTheirOwnText) {
  EXPECT_EQ(text_of(HUGE_VAL), "1.#INF");
  EXPECT_EQ(text_of(-HUGE_VAL), "-1.#INF");
}

TEST(NumberFormat, FormatDoubleReturnsTheLengthWithoutTerminator) {
  char out[quorvin::max_double_text];
  std::memset(out, 'x', sizeof out);
  ASSERT_EQ(quorvin::format_double(1e-5, out), 6);
  EXPECT_EQ(std::string(out, 6), "1e-005");
  EXPECT_EQ(out[6], 'x');
  EXPECT_EQ(quorvin::format_double(-DBL_MIN, out), 13);
}

TEST(NumberFormat, IntegersArePlainDecimal) {
  EXPECT_EQ(integer_text(0), "0");
  EXPECT_EQ(integer_text(7), "7");
  EXPECT_EQ(integer_text(-5), "-5");
  EXPECT_EQ(integer_text(1000000), "1000000");
  EXPECT_EQ(integer_text(2147483647), "2147483647");
  EXPECT_EQ(integer_text(std::numeric_limits<int64_t>::min()), "-9223372036854775808");
}

TEST(NumberFormat, AppendsWithoutDisturbingWhatIsThere) {
  std::string line = "1 3 ";
  quorvin::append_double(line, -0.734);
  line += " c Blue";
  EXPECT_EQ(line, "1 3 -0.734 c Blue");
}

// Over powers of ten and their neighbours, the text must have the shape of
// the general form, read back as the six-digit rounding of the value, and
// use exponent form exactly when the rounded decimal exponent is below -4 or
// 6 or more.
TEST(NumberFormat, SweepOfMagnitudesKeepsTheGeneralForm) {
  const std::regex fixed(R"(-?[0-9]+(\.[0-9]*[1-9])?)");
  const std::regex exponent(R"(-?[1-9](\.[0-9]*[1-9])?e[-+][0-9]{3})");
  int checked = 0;
  for (int power = -323; power <= 308; ++power) {
    const double base = std::pow(10.0, power);
    for (double value : {base, std::nextafter(base, 0.0), std::nextafter(base, HUGE_VAL),
                         base * 0.9999995, base * 1.2345678, -base * 7.7777777}) {
      if (!std::isfinite(value) || value == 0.0) continue;
      const std::string text = text_of(value);
      ASSERT_LE(text.size(), static_cast<size_t>(quorvin::max_double_text));
      char rounded[64];
      std::snprintf(rounded, sizeof rounded, "%.5e", value);
      const int decimal_exponent = std::atoi(std::strchr(rounded, 'e') + 1);
      const bool exponent_form = decimal_exponent < -4 || decimal_exponent >= 6;
      EXPECT_TRUE(std::regex_match(text, exponent_form ? exponent : fixed))
          << text << " for " << rounded;
      EXPECT_EQ(std::strtod(text.c_str(), nullptr), std::strtod(rounded, nullptr)) << text;
      std::string digits;
      for (char c : text.substr(0, text.find('e')))
        if (c >= '0' && c <= '9' && !(digits.empty() && c == '0')) digits += c;
      EXPECT_LE(digits.size(), 6u) << text;
      ++checked;
    }
  }
  EXPECT_GT(checked, 3000);
}

namespace {

// printf's %.6g with the exponent widened to three digits: the text that
// format_double must write.
std::string printf_text(double value) {
  char text[64];
  std::snprintf(text, sizeof text, "%.6g", value);
  const std::string result = text;
  const size_t e = result.find('e');
  if (e == std::string::npos || result.size() - e - 2 >= 3) return result;
  return result.substr(0, e + 2) + "0" + result.substr(e + 2);
}

}  // namespace

// Random magnitudes over the whole range, and values whose seventh digit is
// exactly a half (ties, rounded to even) or just beside it.
TEST(NumberFormat, AgreesWithPrintfOnRandomValuesAndTies) {
  uint64_t state = 2026;
  const auto next = [&state] {
    state = state * 6364136223846793005u + 1442695040888963407u;
    return state >> 11;
  };
  for (int i = 0; i < 400000; ++i) {
    const double exponent = static_cast<double>(next() % 1000000) / 1000000 * 44 - 22;
    const double value = (next() % 2 ? -1 : 1) * std::pow(10.0, exponent);
    ASSERT_EQ(text_of(value), printf_text(value)) << std::hexfloat << value;
  }
  for (int64_t digits = 1000005; digits < 10000000; digits += 10 * 9973) {
    for (int power = -12; power <= 12; ++power) {
      const double tie = std::ldexp(static_cast<double>(digits), power);
      for (double value : {tie, std::nextafter(tie, 0.0), std::nextafter(tie, HUGE_VAL)})
        ASSERT_EQ(text_of(value), printf_text(value)) << std::hexfloat << value;
    }
    const double decimal_tie = static_cast<double>(digits) / 10;  // d.ddddd5 x 10^5, exact
    ASSERT_EQ(text_of(decimal_tie), printf_text(decimal_tie)) << decimal_tie;
  }
}

// Correlations, most of the matrix, take their own path: values spread over
// (-1, 1), and values beside each power of ten and beside the halfway points
// that round up to one.
TEST(NumberFormat, AgreesWithPrintfOnCorrelationsAndDecadeEdges) {
  uint64_t state = 7;
  for (int i = 0; i < 200000; ++i) {
    state = state * 6364136223846793005u + 1442695040888963407u;
    const double value = static_cast<double>(state >> 11) / 0x1p53 * 2 - 1;
    ASSERT_EQ(text_of(value), printf_text(value)) << std::hexfloat << value;
  }
  for (int power = -17; power <= 16; ++power) {
    const double decade = std::pow(10.0, power);
    for (double edge : {decade, decade * (1 - 5e-7), decade * 0.99999949, decade * 0.99999951}) {
      double value = edge;
      for (int step = 0; step < 8; ++step) value = std::nextafter(value, 0.0);
      for (int step = 0; step < 16; ++step, value = std::nextafter(value, HUGE_VAL)) {
        ASSERT_EQ(text_of(value), printf_text(value)) << std::hexfloat << value;
        ASSERT_EQ(text_of(-value), printf_text(-value)) << std::hexfloat << value;
      }
    }
  }
}
