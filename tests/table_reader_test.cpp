#include "input/table_reader.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using namespace std::string_literals;

using Names = std::vector<std::string>;
using Values = std::vector<std::vector<double>>;  // [variable][observation]

struct Reading {
  bool ok = false;
  quorvin::Table table;
  std::string message;
};

Reading read(const std::string& text, bool in_columns = false, bool drop = false,
             bool no_labels = false) {
  Reading reading;
  quorvin::TableLayout layout;
  layout.variables_in_columns = in_columns;
  layout.drop_missing = drop;
  layout.no_labels = no_labels;
  reading.ok = quorvin::read_table(text, "t.csv", layout, reading.table, reading.message);
  return reading;
}

Values values_of(const quorvin::Table& table) {
  Values values(static_cast<size_t>(table.V), std::vector<double>(static_cast<size_t>(table.N)));
  for (int32_t i = 0; i < table.V; ++i)
    for (int32_t k = 0; k < table.N; ++k) values[i][k] = table.raw_values[k][i];
  return values;
}

// The values as their bits: a sign of zero or the last bit of a subnormal counts.
std::vector<uint64_t> bits_of(const quorvin::Table& table) {
  std::vector<uint64_t> bits;
  for (int32_t k = 0; k < table.N; ++k)
    for (int32_t i = 0; i < table.V; ++i)
      bits.push_back(std::bit_cast<uint64_t>(table.raw_values[k][i]));
  return bits;
}

// Every form in which R, pandas and data.txt write the same two variables
// (A with 1, 2.5, -3 and B-2 with 4e-1, 5, 6) reads the same.
TEST(TableReader, WrittenFormsOfOneTableReadAlike) {
  struct Form {
    const char* what;
    std::string text;
    bool in_columns;
    bool no_labels = false;
  };
  const std::vector<Form> forms = {
      {"data.txt", "probe t1 t2 t3\nA 1 2.5 -3\nB-2 4e-1 5 6\n", false},
      {"tabs, CR LF", "probe\tt1\tt2\tt3\r\nA\t1\t2.5\t-3\r\nB-2\t4e-1\t5\t6\r\n", false},
      {"no final line end", "probe t1 t2 t3\nA 1 2.5 -3\nB-2 4e-1 5 6", false},
      {"blank lines", "\n probe t1 t2 t3\n\nA 1 2.5 -3\n  \nB-2 4e-1 5 6\n\n", false},
      {"pandas TSV, empty corner", "\tt1\tt2\tt3\nA\t1\t2.5\t-3\nB-2\t4e-1\t5\t6\n", false},
      {"R write.csv", "\"\",\"A\",\"B-2\"\r\n\"t1\",1,4e-1\r\n\"t2\",2.5,5\r\n\"t3\",-3,6\r\n", true},
      {"R write.table, no corner", "\"A\" \"B-2\"\n\"t1\" 1 4e-1\n\"t2\" 2.5 5\n\"t3\" -3 6\n", true},
      {"pandas to_csv with BOM", "\xEF\xBB\xBF,A,B-2\nt1,1,4e-1\nt2,2.5,5\nt3,-3,6\n", true},
      {"CSV without corner", "A,B-2\nt1,1,4e-1\nt2 , 2.5 ,5\nt3,-3,6\n", true},
      {"old Mac CR", "probe t1 t2 t3\rA 1 2.5 -3\r\rB-2 4e-1 5 6\r", false},
      {"R write.csv2", "\"\";\"A\";\"B-2\"\r\n\"t1\";1;0,4\r\n\"t2\";2,5;5\r\n\"t3\";-3;6\r\n",
       true},
      {"semicolons, decimal points", "probe;t1;t2;t3\nA;1;2.5;-3\nB-2;4e-1;5;6\n", false},
      {"no header line", "A 1 2.5 -3\nB-2 4e-1 5 6\n", false, true},
      {"write.csv without row names", "\"A\",\"B-2\"\n1,4e-1\n2.5,5\n-3,6\n", true, true},
  };
  for (const Form& form : forms) {
    SCOPED_TRACE(form.what);
    const Reading reading = read(form.text, form.in_columns, false, form.no_labels);
    ASSERT_TRUE(reading.ok) << reading.message;
    EXPECT_EQ(reading.table.var_names, (Names{"A", "B2"}));
    EXPECT_EQ(values_of(reading.table), (Values{{1, 2.5, -3}, {0.4, 5, 6}}));
    EXPECT_EQ(reading.table.dropped, 0);
  }
}

TEST(TableReader, NamesLoseTheFirstHyphenAndBlanksInside) {
  const Reading reading =
      read("x,\"body mass\",\"a-b-c\",\"it's\",\"two\nlines\"\n1,1,2,3,4\n", true);
  ASSERT_TRUE(reading.ok) << reading.message;
  EXPECT_EQ(reading.table.var_names, (Names{"body_mass", "ab-c", "it's", "two_lines"}));
}

TEST(TableReader, RefusalsNameTheLineAndTheCause) {
  struct Case {
    const char* what;
    std::string text;
    bool in_columns;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"short row", "c,t1,t2\nA,1,2\nB,3\n", false,
       "t.csv line 3 (\"B\") has 1 values where the header (line 1) has 2 labels"},
      {"long row", "c t1 t2\nA 1 2\nB 3 4 5\n", false,
       "t.csv line 3 (\"B\") has 3 values where the header (line 1) has 2 labels"},
      {"empty cell of a TSV", "c\tt1\tt2\nA\t1\t\nB\t3\t4\n", false,
       "t.csv line 2 (\"A\"), column 3 (\"t2\"): a missing value (\"\"); fill it in, or give "
       "--drop-missing to leave out the variables that have one"},
      {"NA", ",A,B\nr1,1,NA\nr2,2,3\n", true,
       "t.csv line 2 (\"r1\"), column 3 (\"B\"): a missing value (\"NA\"); fill it in, or give "
       "--drop-missing to leave out the variables that have one"},
      {"NaN", "c t1\nA nan\n", false,
       "t.csv line 2 (\"A\"), column 2 (\"t1\"): a missing value (\"nan\"); fill it in, or give "
       "--drop-missing to leave out the variables that have one"},
      {"decimal comma", "c\tt1\nA\t1,5\n", false,
       "t.csv line 2 (\"A\"), column 2 (\"t1\"): \"1,5\" is not a number"},
      {"unit", "c t1\nA 12mg\n", false, "t.csv line 2 (\"A\"), column 2 (\"t1\"): \"12mg\" is not a number"},
      {"huge", "c t1\nA 1e400\n", false,
       "t.csv line 2 (\"A\"), column 2 (\"t1\"): \"1e400\" is beyond the range of a double"},
      {"duplicate", "c t1\nA-1 1\nA-1 2\n", false,
       "t.csv line 3: the variable name \"A1\" is already that of line 2; names must differ"},
      {"duplicate of a hyphenated name", "c t1\nA-1 1\nB 2\nA1 3\n", false,
       "t.csv line 4: the variable name \"A1\" is already that of line 2 (from \"A-1\"; the first "
       "hyphen of a name is dropped); names must differ"},
      {"hyphenated duplicate", "c t1\nA1 1\nA-1 2\n", false,
       "t.csv line 3: the variable name \"A1\" (from \"A-1\"; the first hyphen of a name is "
       "dropped) is already that of line 2; names must differ"},
      {"duplicate of a blank", "r,\"a b\",a_b\n1,1,2\n", true,
       "t.csv line 1, column 3: the variable name \"a_b\" is already that of line 1, column 2 "
       "(from \"a b\"; a blank in a name becomes an underscore); names must differ"},
      {"double quote", "r,\"say \"\"hi\"\"\"\n1,1\n", true,
       "t.csv line 1, column 2: the variable name \"say_\\x22hi\\x22\" holds a double quote, which "
       "would end the name early in the Pajek networks (.net), where each name stands between "
       "double quotes; rename the variable"},
      {"backslash", "c t1\nA\\ 1\n", false,
       "t.csv line 2: the variable name \"A\\x5c\" holds a backslash, which readers of the Pajek "
       "networks (.net) take as an escape, changing or breaking the name; rename the variable"},
      {"duplicate column", "r,x,y,x\n1,1,2,3\n", true,
       "t.csv line 1, column 4: the variable name \"x\" is already that of line 1, column 2; "
       "names must differ"},
      {"no name", "c\tt1\n\t1\n", false, "t.csv line 2: a variable without a name"},
      {"open quote", "c,t1\n\"A,1\n", false, "t.csv line 2: a quoted field is never closed"},
      {"after quote", "c,t1\n\"A\"x,1\n", false, "t.csv line 2: text after the closing quote of \"A\""},
      {"empty", " \n\n", false, "t.csv holds no table"},
      {"header only", "c t1 t2\n", false, "t.csv holds a header line but no rows"},
      {"CR line ends", "c t1 t2\rA 1 2\r\rB 3\r", false,
       "t.csv line 4 (\"B\") has 1 values where the header (line 1) has 2 labels"},
      {"CR inside a quoted name", "c,t1\r\"A\rB\",1\rC,x\r", false,
       "t.csv line 4 (\"C\"), column 2 (\"t1\"): \"x\" is not a number"},
      {"UTF-16 LE", "\xFF\xFE" "c\0 \0t\0\n\0"s, false, "t.csv is UTF-16; save the table as UTF-8"},
      {"UTF-16 BE", "\xFE\xFF\0c"s, false, "t.csv is UTF-16; save the table as UTF-8"},
      {"UTF-16 without a mark", "\0c\0 \0t\0\n"s, true, "t.csv is UTF-16; save the table as UTF-8"},
      {"a single field", "A\nB\nC\n", false,
       "t.csv has no observations: its header (line 1, \"A\") is a single field; fields are "
       "separated by tabs, semicolons, commas or blanks, and that line has none"},
      {"another separator", "\nprobe|t1|t2\nA|1|2\n", false,
       "t.csv has no observations: its header (line 2, \"probe|t1|t2\") is a single field; fields "
       "are separated by tabs, semicolons, commas or blanks, and that line has none"},
      {"only a corner", "\"\"\n\"1\"\n\"2\"\n", true,
       "t.csv has no variables: its header (line 1, \"\") is a single field; fields are separated "
       "by tabs, semicolons, commas or blanks, and that line has none"},
      {"separators in quotes", "\"t1,t2\"\nA\n", false,
       "t.csv has no observations: its header (line 1, \"t1,t2\") is a single field; fields are "
       "separated by tabs, semicolons, commas or blanks, and that line has none outside quotes"},
      {"two decimal marks", "c;t1\nA;1.234,5\n", false,
       "t.csv line 2 (\"A\"), column 2 (\"t1\"): \"1.234,5\" is not a number"},
      {"thousands separators", "c;t1\nA;1,234,5\n", false,
       "t.csv line 2 (\"A\"), column 2 (\"t1\"): \"1,234,5\" is not a number"},
      {"row names dropped, a fraction", "mpg,cyl\n21,6\n22.8,4\n21,6\n", true,
       "t.csv column 1 (\"mpg\"): the observation labels are all numbers, and line 3 (\"22.8\") is "
       "not a whole number; if that column is a variable (a table written without row names), "
       "give --no-labels"},
      {"row names dropped, a repeat", "cyl,hp\n6,110\n4,93\n6,110\n", true,
       "t.csv column 1 (\"cyl\"): the observation labels are all numbers, and line 4 (\"6\") "
       "repeats the label of line 2; if that column is a variable (a table written without row "
       "names), give --no-labels"},
      {"labels of a corner-less header repeat", "x,y\n2,1,2\n2.0,3,4\n", true,
       "t.csv column 1: the observation labels are all numbers, and line 3 (\"2.0\") repeats the "
       "label of line 2; if that column is a variable (a table written without row names), give "
       "--no-labels"},
      {"header line dropped, a fraction", "A 1.5 2 3\nB 4 5 6\n", false,
       "t.csv line 1: the observation labels are all numbers, and column 2 (\"1.5\") is not a "
       "whole number; if that line is a variable's row (a table without a header line), give "
       "--no-labels"},
      {"header line dropped, a repeat", "1;2;1\nB;4;5;6\n", false,
       "t.csv line 1: the observation labels are all numbers, and column 3 (\"1\") repeats the "
       "label of column 1; if that line is a variable's row (a table without a header line), give "
       "--no-labels"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Reading reading = read(c.text, c.in_columns);
    EXPECT_FALSE(reading.ok);
    EXPECT_EQ(reading.message, c.message);
  }
}

TEST(TableReader, DropMissingLeavesOutOnlyTheVariablesWithAGap) {
  const Reading rows = read("c,t1,t2\nA,1,NA\nB,3,4\nC,,6\nD,7,8\n", false, true);
  ASSERT_TRUE(rows.ok) << rows.message;
  EXPECT_EQ(rows.table.var_names, (Names{"B", "D"}));
  EXPECT_EQ(values_of(rows.table), (Values{{3, 4}, {7, 8}}));
  EXPECT_EQ(rows.table.dropped, 2);

  const Reading columns = read(",A,B,C\nr1,1,2,3\nr2,4,NaN,6\n", true, true);
  ASSERT_TRUE(columns.ok) << columns.message;
  EXPECT_EQ(columns.table.var_names, (Names{"A", "C"}));
  EXPECT_EQ(values_of(columns.table), (Values{{1, 4}, {3, 6}}));
  EXPECT_EQ(columns.table.dropped, 1);

  // A dropped variable's name may repeat a kept one; text is still refused.
  EXPECT_TRUE(read("c t1\nA 1\nA NA\n", false, true).ok);
  EXPECT_FALSE(read("c t1 t2\nA NA x\n", false, true).ok);
  const Reading none = read("c t1\nA NA\n", false, true);
  EXPECT_FALSE(none.ok);
  EXPECT_EQ(none.message, "t.csv has a missing value in every variable");
}

// R's write.csv2 (as spreadsheets in many locales) separates fields with
// semicolons and writes decimal commas; a decimal point is taken as well.
TEST(TableReader, SemicolonTableReadsAsItsCommaForm) {
  const Reading comma = read(
      "\"\",\"mpg\",\"cyl\",\"disp\",\"drat\",\"wt\",\"qsec\"\r\n"
      "\"Mazda RX4\",21,6,160,3.9,2.62,16.46\r\n"
      "\"Mazda RX4 Wag\",21,6,160,3.9,2.875,17.02\r\n"
      "\"Datsun 710\",22.8,4,108,3.85,2.32,18.61\r\n"
      "\"Hornet 4 Drive\",21.4,6,258,3.08,3.215,19.44\r\n",
      true);
  const Reading semicolon = read(
      "\"\";\"mpg\";\"cyl\";\"disp\";\"drat\";\"wt\";\"qsec\"\r\n"
      "\"Mazda RX4\";21;6;160;3,9;2,62;16,46\r\n"
      "\"Mazda RX4 Wag\";21;6;160;3,9;2.875;17,02\r\n"
      "\"Datsun 710\";22,8;4;108;3,85;2,32;18.61\r\n"
      "\"Hornet 4 Drive\";21,4;6;258;3,08;3,215;19,44\r\n",
      true);
  ASSERT_TRUE(comma.ok) << comma.message;
  ASSERT_TRUE(semicolon.ok) << semicolon.message;
  EXPECT_EQ(semicolon.table.var_names, comma.table.var_names);
  EXPECT_EQ(semicolon.table.V, 6);
  EXPECT_EQ(semicolon.table.N, 4);
  EXPECT_EQ(bits_of(semicolon.table), bits_of(comma.table));
}

// As strtod: an underflow is its nearest double, a zero that keeps its sign
// or a subnormal; an overflow stays refused.
TEST(TableReader, UnderflowReadsAsTheNearestDouble) {
  const std::vector<std::string> texts = {"1e-400", "-1e-400", "1e-310", "2.5e-324", "3e-324",
                                          "0.000001e-319"};
  std::string table = "c";
  for (size_t k = 0; k < texts.size(); ++k) table += " t" + std::to_string(k);
  table += "\nA";
  std::vector<uint64_t> expected;
  for (const std::string& text : texts) {
    table += " " + text;
    expected.push_back(std::bit_cast<uint64_t>(std::strtod(text.c_str(), nullptr)));
  }
  const Reading reading = read(table + "\n");
  ASSERT_TRUE(reading.ok) << reading.message;
  EXPECT_EQ(bits_of(reading.table), expected);
  EXPECT_EQ(read("c t1\nA -1e400\n").message,
            "t.csv line 2 (\"A\"), column 2 (\"t1\"): \"-1e400\" is beyond the range of a double");
}

// Distinct whole numbers are ids, and labels that are not all numbers are
// labels whatever they hold; both stay accepted.
TEST(TableReader, NumericLabelsThatAreIds) {
  EXPECT_TRUE(read("\"\",\"x\",\"y\"\n\"3\",1,2\n\"1\",3,5\n\"2\",4,4\n", true).ok);
  EXPECT_TRUE(read("probe 0 24 48 1e2\nA 1 2 3 4\nB 4 5 6 7\n").ok);
  EXPECT_TRUE(read("r,x,y\n1.5,1,2\nNA,3,5\n1.5,4,4\n", true).ok);
  EXPECT_TRUE(read("c t1 t1.5 t1\nA 1 2 3\n").ok);
}

}  // namespace
