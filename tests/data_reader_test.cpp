#include "input/data_reader.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "input/table_text.h"
#include "support/test_values.h"

namespace {

const double unwritten = std::numeric_limits<double>::quiet_NaN();

struct Reading {
  bool ok = false;
  std::vector<std::string> names;
  std::vector<std::vector<double>> values;  // [variable][observation]
  std::string message;
};

Reading read(int32_t V, int32_t N, const std::string& text) {
  quorvin::Matrix raw_values = quorvin_test::filled_matrix(N, V, unwritten);
  Reading reading;
  reading.names.assign(3, "stale");
  reading.ok = quorvin::read_data_file(V, N, raw_values, reading.names, text, reading.message);
  reading.values.assign(static_cast<size_t>(V), std::vector<double>(static_cast<size_t>(N)));
  for (int32_t i = 0; i < V; ++i)
    for (int32_t k = 0; k < N; ++k) reading.values[i][k] = raw_values[k][i];
  return reading;
}

// Reads text with V and N and expects success with exactly these names and
// values, compared bit for bit.
void expect_reads(int32_t V, int32_t N, const std::string& text,
                  const std::vector<std::string>& names,
                  const std::vector<std::vector<double>>& values) {
  const Reading reading = read(V, N, text);
  ASSERT_TRUE(reading.ok) << reading.message << "\nin:\n" << text;
  EXPECT_EQ(reading.names, names) << text;
  ASSERT_EQ(reading.values.size(), values.size());
  for (size_t i = 0; i < values.size(); ++i)
    for (size_t k = 0; k < values[i].size(); ++k) {
      const double got = reading.values[i][k];
      EXPECT_TRUE(got == values[i][k] && std::signbit(got) == std::signbit(values[i][k]))
          << "variable " << i + 1 << " observation " << k + 1 << ": got " << got << " expected "
          << values[i][k] << "\nin:\n" << text;
    }
}

const std::vector<std::string> example_names = {"AB12", "CD7"};
const std::vector<std::vector<double>> example_values = {{1.5, 2, 0.25}, {-3, 0.4, 7}};

}  // namespace

TEST(DataReader, ReadsTheWellFormedExample) {
  expect_reads(2, 3,
               "probe   t1    t2    t3\n"
               "AB-12   1.5   2     0.25\n"
               "CD-7    -3    4e-1  7\n",
               example_names, example_values);
}

// Each of these lays out the same table differently; all read alike.
TEST(DataReader, LayoutsThatReadAsTheExample) {
  for (const std::string text : {
           "probe\tt1\tt2\tt3\nAB-12\t1.5\t2\t0.25\nCD-7\t-3\t4e-1\t7\n",
           "probe t1 t2 t3\r\nAB-12 1.5 2 0.25\r\nCD-7 -3 4e-1 7\r\n",
           "probe t1 t2 t3\nAB-12 1.5 2 0.25\nCD-7 -3 4e-1 7",
           "probe t1 t2 t3\n\n\nAB-12 1.5 2 0.25\n\n  CD-7 -3 4e-1 7\n",
           "probe t1 t2 t3\nAB-12 1.5\n2\n\n0.25\nCD-7\n-3 4e-1\r\n7\n",
           "probe t1 t2 t3 t4 t5 and more\nAB-12 1.5 2 0.25\nCD-7 -3 4e-1 7\n",
           "probe t1 t2 t3\nAB-12 1.5 2 0.25 99 junk\nCD-7 -3 4e-1 7 x\n",
           "\xEF\xBB\xBFprobe t1 t2 t3\nAB-12 1.5 2 0.25\nCD-7 -3 4e-1 7\n",
           "probe t1 t2 t3\nAB-12 1.5 2 0.25\nCD-7 -3 4e-1 7\nnever read\n\xff ,,\n",
           "probe t1 t2 t3\nAB-12 +1.5 2.0 .25\nCD-7 -3. 0.04e1 7E0\n",
           "probe t1 t2 t3\nAB-12 1.5 2 0.25\nCD-7 -3 4e-1 7mg more words\n",
           "probe\vt1\ft2 t3\nAB-12\v1.5\f2 0.25\nCD-7 -3 4e-1 7\n",
       }) {
    expect_reads(2, 3, text, example_names, example_values);
  }
}

TEST(DataReader, ValuesReadAsTheNearestDouble) {
  struct Case {
    const char* text;
    double value;
  };
  for (const Case& c : {Case{"0.1", 0.1}, Case{"-0", -0.0}, Case{"+2", 2.0}, Case{"4E+1", 40.0},
                        Case{"12mg", 12.0}, Case{"1,5", 1.0}, Case{"1e", 1.0}, Case{"1e+", 1.0},
                        Case{"2.5.3", 2.5}, Case{"1e-310", 1e-310}, Case{"0e-400", 0.0},
                        Case{"1.7976931348623157e308", 1.7976931348623157e308},
                        Case{"123456789012345678901234567890", 1.2345678901234568e29},
                        Case{"-0.000001", -1e-6}}) {
    expect_reads(1, 1, std::string("c t\nx ") + c.text + "\n", {"x"}, {{c.value}});
  }
}

// Plain decimals of up to 15 digits take a shorter way than the rest: both
// must give strtod's double, bit for bit, across the digit counts, the places
// of the point and the signs, at and beside the boundary between the two.
TEST(DataReader, DecimalsReadAsStrtodReadsThem) {
  std::mt19937_64 random(15);
  for (int i = 0; i < 200000; ++i) {
    const int digits = 1 + static_cast<int>(random() % 18);
    std::string text = random() % 3 == 0 ? "-" : random() % 5 == 0 ? "+" : "";
    const int point = static_cast<int>(random() % (digits + 2)) - 1;  // -1: none
    for (int d = 0; d < digits; ++d) {
      if (d == point) text += '.';
      text += static_cast<char>('0' + random() % 10);
    }
    if (point == digits) text += '.';
    double value = 0;
    size_t length = 0;
    ASSERT_EQ(quorvin::parse_number(text, value, length), quorvin::NumberText::ok) << text;
    char* end = nullptr;
    const double expected = std::strtod(text.c_str(), &end);
    ASSERT_EQ(length, static_cast<size_t>(end - text.c_str())) << text;
    ASSERT_EQ(std::memcmp(&value, &expected, sizeof value), 0)
        << text << ": " << value << " instead of " << expected;
  }
}

TEST(DataReader, RemovesOnlyTheFirstHyphenOfAName) {
  expect_reads(5, 1, "c t\nX-Y-Z 1\n- 2\n-a 3\nb- 4\nplain 5\n", {"XY-Z", "", "a", "b", "plain"},
               {{1}, {2}, {3}, {4}, {5}});
}

TEST(DataReader, TooFewLabelsShiftEveryRowDown) {
  // The third label is taken from the first row, whose rest is discarded.
  expect_reads(2, 3, "c t1 t2\nA 1 2 3\nB 4 5 6\nC 7 8 9\n", {"B", "C"}, {{4, 5, 6}, {7, 8, 9}});
}

TEST(DataReader, ZeroCounts) {
  expect_reads(0, 3, "c t1 t2 t3 extra\nnot even looked at\n", {}, {});
  expect_reads(0, 0, "", {}, {});
  expect_reads(2, 0, "corner t1 t2\nA 1 2\nB-1 x y\n", {"A", "B1"}, {{}, {}});
}

TEST(DataReader, KeepsTiesAndSignsExactly) {
  expect_reads(1, 4, "c a b c d\nv 2 2.0 0 -0\n", {"v"}, {{2, 2, 0, -0.0}});
}

namespace {

struct Fault {
  const char* what;
  int32_t V, N;
  std::string text;
  std::string message;
};

}  // namespace

// A file that does not hold what the counts promise is refused with one line
// naming data.txt, where reading stopped, the offending text and a likely cause.
TEST(DataReader, RefusesFilesThatDoNotMatchTheCounts) {
  const std::string counts_2_3 = "check the typed counts (2 variables, 3 observations)";
  const std::vector<Fault> faults = {
      {"word where a value belongs", 2, 3, "c t1 t2 t3\nA 1 2 3\nB-2 4 abc 6\n",
       "data.txt line 3: variable 2 (\"B2\"), observation 2: \"abc\" is not a number; " +
           counts_2_3},
      {"unit before the last value", 2, 3, "c t1 t2 t3\nA 12mg 2 3\nB 4 5 6\n",
       "data.txt line 2: variable 1 (\"A\"), observation 2: \"mg\" is not a number; " + counts_2_3},
      {"decimal comma", 2, 3, "c t1 t2 t3\nA 1,5 2 3\nB 4 5 6\n",
       "data.txt line 2: variable 1 (\"A\"), observation 2: \",5\" is not a number; " + counts_2_3},
      {"short row runs into the next name", 2, 3, "c t1 t2 t3\nA 1 2\nB 4 5 6\n",
       "data.txt line 3: variable 1 (\"A\"), observation 3: \"B\" is not a number; " + counts_2_3 +
           "; line 2 (\"A\") holds 3 fields where the other rows hold 4"},
      {"placeholder for a missing value", 2, 3, "c t1 t2 t3\nA 1 NA 3\nB 4 5 6\n",
       "data.txt line 2: variable 1 (\"A\"), observation 2: \"NA\" is not a number; " + counts_2_3},
      {"value too large", 2, 3, "c t1 t2 t3\nA 1 2 3\nB 4 5 1e400\n",
       "data.txt line 3: variable 2 (\"B\"), observation 3: \"1e400\" is beyond the range of a "
       "double; " + counts_2_3},
      {"value too small", 2, 3, "c t1 t2 t3\nA 1 -1e-400 3\nB 4 5 6\n",
       "data.txt line 2: variable 1 (\"A\"), observation 2: \"-1e-400\" is beyond the range of a "
       "double; " + counts_2_3},
      {"file ends inside a row", 2, 3, "c t1 t2 t3\nA 1 2 3\nB 4 5\n",
       "data.txt line 3: variable 2 (\"B\"), observation 3: the file ends here; " + counts_2_3 +
           "; line 3 (\"B\") holds 3 fields where the other rows hold 4"},
      {"file ends inside a row without line feed", 2, 3, "c t1 t2 t3\nA 1 2 3\nB 4 5",
       "data.txt line 3: variable 2 (\"B\"), observation 3: the file ends here; " + counts_2_3 +
           "; line 3 (\"B\") holds 3 fields where the other rows hold 4"},
      {"header without a corner cell, typed counts right", 2, 3, "t1 t2 t3\nA 1 2 3\nB 4 5 6\n",
       "data.txt ends at line 3 before the name of variable 2 of 2; a header without a corner "
       "cell: its 3 labels are as many as the values of a row; put any word before the first "
       "label"},
      {"empty cell of a tab-separated row", 3, 3, "c\tt1\tt2\tt3\nA\t1\t2\t3\nB\t4\t\t6\nC\t7\t8\t9\n",
       "data.txt line 4: variable 2 (\"B\"), observation 3: \"C\" is not a number; check the typed "
       "counts (3 variables, 3 observations); line 3 (\"B\") holds 3 fields where the other rows "
       "hold 4"},
      {"file ends before a row", 2, 3, "c t1 t2 t3\nA 1 2 3\n\n",
       "data.txt ends at line 2 before the name of variable 2 of 2; " + counts_2_3},
      {"too many variables typed", 3, 3, "c t1 t2 t3\nA 1 2 3\nB 4 5 6\n",
       "data.txt ends at line 3 before the name of variable 3 of 3; check the typed counts "
       "(3 variables, 3 observations)"},
      {"too many observations typed", 2, 4, "c t1 t2 t3\nA 1 2 3\nB 4 5 6\n",
       "data.txt line 3: variable 1 (\"B\"), observation 4: the file ends here; check the typed "
       "counts (2 variables, 4 observations); the header line holds 3 observation labels"},
      {"header without a corner cell", 2, 3, "\tt1\tt2\tt3\nA\t1\t2\t3\nB\t4\t5\t6\n",
       "data.txt ends at line 3 before the name of variable 2 of 2; the header line starts with "
       "a blank: give it a corner cell (any word) before the observation labels"},
      {"empty file", 2, 3, "", "data.txt holds no data, but 2 variables were typed"},
      {"blank file", 2, 3, " \r\n\n", "data.txt holds no data, but 2 variables were typed"},
      {"header only", 1, 0, "corner\n",
       "data.txt ends at line 1 before the name of variable 1 of 1; check the typed counts "
       "(1 variables, 0 observations)"},
  };
  for (const Fault& fault : faults) {
    const Reading reading = read(fault.V, fault.N, fault.text);
    EXPECT_FALSE(reading.ok) << fault.what;
    EXPECT_EQ(reading.message, fault.message) << fault.what;
  }
}

TEST(DataReader, MessagesShowOffendingTextSafelyOnOneLine) {
  const std::string long_word(100, 'w');
  const Reading reading = read(1, 2, "c a b\nv 1 \"\x01" + long_word + "\n");
  ASSERT_FALSE(reading.ok);
  EXPECT_EQ(reading.message.find('\n'), std::string::npos);
  EXPECT_NE(reading.message.find("\"\\x22\\x01" + std::string(38, 'w') + "\"..."),
            std::string::npos)
      << reading.message;
}
