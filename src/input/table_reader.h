// The table reader of the command line: a table whose counts come from the
// table itself, separated by blanks (the data.txt layout), tabs, commas or
// semicolons.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/matrix.h"

namespace quorvin {

struct TableLayout {
  bool variables_in_columns = false;  // a variable per column, an observation per row
  bool drop_missing = false;          // leave out variables with a missing value
  bool no_labels = false;             // no observation labels: no labels column with
                                      // variables_in_columns, else no header line
};

struct Table {
  int32_t V = 0;                        // variables kept
  int32_t N = 0;                        // observations
  std::vector<std::string> var_names;   // V names as the results show them
  Matrix raw_values;                    // N rows of V values
  int32_t dropped = 0;                  // variables left out for missing values
};

// Reads text (a whole file; shown names it in messages). The first line that
// is not blank is the header: the observation labels (the variable names with
// variables_in_columns), after a corner cell or without one. Every other
// non-blank line is a row: its label (the variable's name, or the
// observation's) and one value per header label. With no_labels, the header
// holds only names and rows only values (variables_in_columns), or there is
// no header and every line is a variable's row. The separator is found on the
// first line: a tab, else semicolons if more than commas (a comma is then a
// decimal mark too), else a comma, else runs of blanks. Fields may be quoted
// with "" for a quote inside; a byte-order mark and CR LF line ends are taken
// as they come, and so are CR line ends in text without a line feed. A name
// loses its first hyphen and has each blank inside it made an underscore.
// Values are decimal numbers, an underflow read as its nearest double; NA,
// NaN and empty cells are missing. Returns false with one line in message
// (naming shown and the line) for UTF-16 text, a ragged row, a missing value
// (unless layout.drop_missing), text that is not a number, an empty or
// repeated name, a name that the Pajek networks cannot hold, numeric labels
// that look like a variable's values, or a table without rows, variables or
// observations.
bool read_table(std::string_view text, const std::string& shown, const TableLayout& layout,
                Table& table, std::string& message);

}  // namespace quorvin
