#include "input/table_reader.h"

#include <algorithm>
#include <cmath>
#include <deque>
#include <limits>
#include <new>
#include <unordered_map>

#include "common/message_text.h"
#include "input/table_text.h"

namespace quorvin {

namespace {

enum class Separator { blanks, tab, comma, semicolon };

struct Lexer {
  std::string_view text;
  Separator separator = Separator::blanks;
  char line_end = '\n';  // a carriage return in old Mac text
  size_t pos = 0;
  int64_t line = 1;  // the line that holds pos
};

// Blanks that may surround a field without being part of it.
bool is_padding(const Lexer& in, char c) {
  return c == ' ' || c == '\v' || c == '\f' || (c == '\r' && in.line_end != '\r') ||
         (c == '\t' && in.separator != Separator::tab);
}

bool ends_field(const Lexer& in, char c) {
  switch (in.separator) {
    case Separator::tab: return c == '\t' || c == in.line_end;
    case Separator::comma: return c == ',' || c == in.line_end;
    case Separator::semicolon: return c == ';' || c == in.line_end;
    case Separator::blanks: return is_blank(c);
  }
  return true;
}

void skip_padding(Lexer& in) {
  while (in.pos < in.text.size() && is_padding(in, in.text[in.pos])) ++in.pos;
}

// A tab on the first line makes a tab-separated table; else more semicolons
// than commas a semicolon-separated one, as where the comma is the decimal
// mark; else a comma a comma-separated one. Quoted text does not count.
Separator find_separator(const Lexer& in) {
  bool quoted = false;
  int64_t commas = 0, semicolons = 0;
  for (size_t i = in.pos; i < in.text.size() && (quoted || in.text[i] != in.line_end); ++i) {
    if (in.text[i] == '"') quoted = !quoted;
    if (quoted) continue;
    if (in.text[i] == '\t') return Separator::tab;
    commas += in.text[i] == ',';
    semicolons += in.text[i] == ';';
  }
  if (semicolons > commas) return Separator::semicolon;
  return commas > 0 ? Separator::comma : Separator::blanks;
}

// Passes over lines that hold nothing but blanks.
void skip_blank_lines(Lexer& in) {
  for (size_t i = in.pos; i < in.text.size(); ++i) {
    if (in.text[i] == in.line_end) {
      in.pos = i + 1;
      ++in.line;
    } else if (!is_blank(in.text[i])) {
      return;
    }
  }
  in.pos = in.text.size();
}

enum class Record { row, end, broken };

// A record's cells: views of the text, or of the unquoted copies of its
// quoted fields.
struct Cells {
  std::vector<std::string_view> fields;
  std::deque<std::string> unquoted;  // a deque, so that the views stay valid
};

// Reads the next line that is not blank into cells (a quoted field may span
// lines), and the line it starts on into line.
Record next_record(Lexer& in, Cells& cells, int64_t& line, std::string& message) {
  cells.fields.clear();
  cells.unquoted.clear();
  skip_blank_lines(in);
  if (in.pos == in.text.size()) return Record::end;
  line = in.line;
  const std::string_view t = in.text;
  for (;;) {
    skip_padding(in);
    if (in.pos < t.size() && t[in.pos] == '"') {
      std::string& cell = cells.unquoted.emplace_back();
      const int64_t opened = in.line;
      bool closed = false;
      for (++in.pos; in.pos < t.size() && !closed; ++in.pos) {
        if (t[in.pos] != '"') {
          in.line += t[in.pos] == in.line_end;
          cell += t[in.pos];
        } else if (in.pos + 1 < t.size() && t[in.pos + 1] == '"') {
          cell += '"';
          ++in.pos;
        } else {
          closed = true;
        }
      }
      if (!closed) {
        message = "line " + std::to_string(opened) + ": a quoted field is never closed";
        return Record::broken;
      }
      if (in.separator != Separator::blanks) skip_padding(in);
      if (in.pos < t.size() && !ends_field(in, t[in.pos])) {
        message = "line " + std::to_string(in.line) + ": text after the closing quote of " +
                  quoted_for_message(cell);
        return Record::broken;
      }
      cells.fields.push_back(cell);
    } else {
      const size_t start = in.pos;
      while (in.pos < t.size() && !ends_field(in, t[in.pos])) ++in.pos;
      size_t end = in.pos;
      while (end > start && is_padding(in, t[end - 1])) --end;
      cells.fields.push_back(t.substr(start, end - start));
    }
    if (in.separator == Separator::blanks) skip_padding(in);
    if (in.pos == t.size()) return Record::row;
    if (t[in.pos] == in.line_end) {
      ++in.pos;
      ++in.line;
      return Record::row;
    }
    if (in.separator != Separator::blanks) ++in.pos;  // the separator
  }
}

bool is_missing(std::string_view cell) {
  const auto lower = [](char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  };
  const bool na = cell.size() >= 2 && lower(cell[0]) == 'n' && lower(cell[1]) == 'a';
  return cell.empty() || (cell.size() == 2 && na) ||
         (cell.size() == 3 && na && lower(cell[2]) == 'n');
}

// UTF-16 text starts with a byte-order mark, or has a NUL byte beside each
// ASCII character, which no table of ours holds in its first line.
bool is_utf16(std::string_view text) {
  const std::string_view mark = text.substr(0, 2);
  return mark == "\xFF\xFE" || mark == "\xFE\xFF" ||
         text.substr(0, text.find('\n')).find('\0') != std::string_view::npos;
}

// A number that is the whole cell. In a semicolon-separated table one comma
// may stand for the decimal point, but not beside a point or another comma:
// thousands separators stay refused.
NumberText read_number(const Lexer& in, std::string_view cell, double& value) {
  std::string pointed;
  if (in.separator == Separator::semicolon) {
    const size_t comma = cell.find(',');
    if (comma != std::string_view::npos && cell.find(',', comma + 1) == std::string_view::npos &&
        cell.find('.') == std::string_view::npos) {
      pointed = cell;
      pointed[comma] = '.';
      cell = pointed;
    }
  }
  size_t length = 0;
  const NumberText number = parse_number(cell, value, length);
  if (number != NumberText::out_of_range && length != cell.size()) return NumberText::not_a_number;
  return number;
}

// Observation labels that are all numbers, with a repeat or one that is not
// whole among them, are more likely a variable's values than labels: a table
// written without row names, or without a header line. Distinct whole
// numbers are ids.
struct NumericLabels {
  bool all_numbers = true;
  std::unordered_map<double, int64_t> first_at;  // label -> its line or column
  std::string evidence;                          // the first repeat or fraction
};

void add_label(const Lexer& in, std::string_view label, const char* unit, int64_t place,
               NumericLabels& labels) {
  if (!labels.all_numbers) return;
  double value = 0;
  const NumberText number = read_number(in, label, value);
  if (number != NumberText::ok && number != NumberText::underflow) {
    labels.all_numbers = false;
    labels.first_at = {};
    return;
  }
  if (!labels.evidence.empty()) return;
  const auto [first, is_new] = labels.first_at.emplace(value, place);
  if (is_new && value == std::floor(value)) return;
  labels.evidence = std::string(unit) + " " + std::to_string(place) + " (" +
                    quoted_for_message(label) + ") " +
                    (is_new ? "is not a whole number"
                            : "repeats the label of " + std::string(unit) + " " +
                                  std::to_string(first->second));
  labels.first_at = {};
}

}  // namespace

bool read_table(std::string_view text, const std::string& shown, const TableLayout& layout,
                Table& table, std::string& message) {
  table = Table();
  const auto refuse = [&](const std::string& why) {
    message = shown + " " + why;
    return false;
  };
  if (is_utf16(text)) return refuse("is UTF-16; save the table as UTF-8");
  Lexer in{text};
  if (text.substr(0, 3) == "\xEF\xBB\xBF") in.pos = 3;  // UTF-8 byte-order mark
  // Old Mac text ends its lines with a carriage return alone.
  if (text.find('\n') == std::string_view::npos) in.line_end = '\r';
  skip_blank_lines(in);
  in.separator = find_separator(in);

  // Without labels, variables in rows have no header line to name the
  // observations, and variables in columns no field before a row's values.
  const bool has_header = layout.variables_in_columns || !layout.no_labels;
  const size_t lead = layout.variables_in_columns && layout.no_labels ? 0 : 1;
  Cells cells;
  int64_t header_line = 0, line = 0;
  std::vector<std::string> header;
  if (has_header) {
    const Record record = next_record(in, cells, header_line, message);
    if (record == Record::broken) return refuse(message);
    if (record == Record::end) return refuse("holds no table");
    header.assign(cells.fields.begin(), cells.fields.end());
  }

  // Each row is a label and one value per header label; the header may or
  // may not have a cell above the row labels. Without a header, the first
  // row stands for it.
  size_t first_label = 0;
  int64_t L = 0;
  std::vector<std::string> row_names;   // variables in rows: one per row
  std::vector<int64_t> row_lines;       // the line of each row
  std::vector<char> missing;            // per variable, as read
  std::vector<double> values;           // as read: row after row
  NumericLabels labels;
  int64_t rows = 0;
  for (;;) {
    const Record record = next_record(in, cells, line, message);
    if (record == Record::broken) return refuse(message);
    if (record == Record::end) break;
    const std::vector<std::string_view>& fields = cells.fields;
    if (rows == 0) {
      if (has_header) {
        first_label = lead == 0 || fields.size() == header.size() + 1 ? 0 : 1;
        L = static_cast<int64_t>(header.size() - first_label);
      } else {
        header_line = line;
        L = static_cast<int64_t>(fields.size()) - 1;
      }
      // A first line of one field leaves nothing to correlate; its separator
      // is likely not one that the header shows.
      if (L == 0 && fields.size() == lead) {
        const std::string field = has_header ? header[0] : std::string(fields[0]);
        return refuse(std::string("has no ") +
                      (layout.variables_in_columns ? "variables" : "observations") + ": its " +
                      (has_header ? "header" : "first row") + " (line " +
                      std::to_string(header_line) + ", " + quoted_for_message(field) +
                      ") is a single field; fields are separated by tabs, semicolons, commas or "
                      "blanks, and that line has none" +
                      (field.find_first_of("\t;, ") == std::string::npos ? "" : " outside quotes"));
      }
      if (layout.variables_in_columns) missing.assign(static_cast<size_t>(L), 0);
    }
    // Built only for a refusal, as where below: a table may have millions of cells.
    const auto row = [&] {
      const std::string at = "line " + std::to_string(line);
      return lead == 0 ? at : at + " (" + quoted_for_message(fields[0]) + ")";
    };
    if (static_cast<int64_t>(fields.size() - lead) != L) {
      return refuse(row() + " has " + std::to_string(fields.size() - lead) + " values where " +
                    (has_header ? "the header (line " + std::to_string(header_line) + ") has " +
                                      std::to_string(L) + " labels"
                                : "the first row (line " + std::to_string(header_line) + ") has " +
                                      std::to_string(L)));
    }
    if (!layout.variables_in_columns) {
      row_names.emplace_back(fields[0]);
      row_lines.push_back(line);
      missing.push_back(0);
    } else if (lead == 1) {
      add_label(in, fields[0], "line", line, labels);
    }
    for (int64_t j = 0; j < L; ++j) {
      const std::string_view cell = fields[static_cast<size_t>(j) + lead];
      const auto where = [&] {
        const std::string at =
            row() + ", column " + std::to_string(j + 1 + static_cast<int64_t>(lead));
        if (!has_header) return at;
        return at + " (" + quoted_for_message(header[static_cast<size_t>(j) + first_label]) + ")";
      };
      double value = std::numeric_limits<double>::quiet_NaN();
      if (is_missing(cell)) {
        if (!layout.drop_missing)
          return refuse(where() + ": a missing value (" + quoted_for_message(cell) +
                        "); fill it in, or give --drop-missing to leave out the variables that "
                        "have one");
        missing[layout.variables_in_columns ? static_cast<size_t>(j) : missing.size() - 1] = 1;
      } else {
        const NumberText number = read_number(in, cell, value);
        if (number == NumberText::out_of_range)
          return refuse(where() + ": " + quoted_for_message(cell) + " is beyond the range of a double");
        if (number == NumberText::not_a_number)
          return refuse(where() + ": " + quoted_for_message(cell) + " is not a number");
      }
      values.push_back(value);
    }
    ++rows;
  }
  if (rows == 0) return refuse(has_header ? "holds a header line but no rows" : "holds no table");
  if (!layout.variables_in_columns && has_header)
    for (size_t c = first_label; c < header.size(); ++c)
      add_label(in, header[c], "column", static_cast<int64_t>(c) + 1, labels);
  if (labels.all_numbers && !labels.evidence.empty()) {
    const std::string place =
        layout.variables_in_columns
            ? "column 1" + (first_label == 1 ? " (" + quoted_for_message(header[0]) + ")" : "")
            : "line " + std::to_string(header_line);
    return refuse(place + ": the observation labels are all numbers, and " + labels.evidence +
                  "; if that " +
                  (layout.variables_in_columns
                       ? "column is a variable (a table written without row names)"
                       : "line is a variable's row (a table without a header line)") +
                  ", give --no-labels");
  }
  const int64_t all_variables = layout.variables_in_columns ? L : rows;
  const int64_t N = layout.variables_in_columns ? rows : L;
  if (all_variables > std::numeric_limits<int32_t>::max() || N > std::numeric_limits<int32_t>::max())
    return refuse("holds more than 2147483647 variables or observations");

  // The names of the variables kept, each checked against the others.
  const auto cell_of = [&](int64_t v) -> const std::string& {
    return layout.variables_in_columns ? header[static_cast<size_t>(v) + first_label]
                                       : row_names[static_cast<size_t>(v)];
  };
  const auto place_of = [&](int64_t v) {
    return layout.variables_in_columns
               ? "line " + std::to_string(header_line) + ", column " +
                     std::to_string(v + 1 + static_cast<int64_t>(first_label))
               : "line " + std::to_string(row_lines[static_cast<size_t>(v)]);
  };
  std::vector<int64_t> kept;
  std::unordered_map<std::string, int64_t> seen;  // name -> variable
  for (int64_t v = 0; v < all_variables; ++v) {
    if (missing[static_cast<size_t>(v)]) continue;
    const std::string& cell = cell_of(v);
    if (cell.empty()) return refuse(place_of(v) + ": a variable without a name");
    std::string name = name_for_files(cell);
    if (const char* reason = unwritable_name_reason(name))
      return refuse(place_of(v) + ": the variable name " + quoted_for_message(name) + " " + reason +
                    "; rename the variable");
    const auto [earlier, is_new] = seen.emplace(name, v);
    if (!is_new) {
      const std::string& earlier_cell = cell_of(earlier->second);
      const bool differ = cell != earlier_cell;
      return refuse(place_of(v) + ": the variable name " + quoted_for_message(name) +
                    (differ && cell != name ? name_origin(cell) : "") + " is already that of " +
                    place_of(earlier->second) +
                    (differ && earlier_cell != name ? name_origin(earlier_cell) : "") +
                    "; names must differ");
    }
    table.var_names.push_back(std::move(name));
    kept.push_back(v);
  }
  if (kept.empty()) return refuse("has a missing value in every variable");

  table.V = static_cast<int32_t>(kept.size());
  table.N = static_cast<int32_t>(N);
  table.dropped = static_cast<int32_t>(all_variables - table.V);
  if (!allocate_matrix(table.raw_values, N, table.V)) throw std::bad_alloc();
  for (int64_t k = 0; k < N; ++k)
    for (int32_t i = 0; i < table.V; ++i)
      table.raw_values[k][i] = layout.variables_in_columns ? values[static_cast<size_t>(k * L + kept[i])]
                                                           : values[static_cast<size_t>(kept[i] * L + k)];
  return true;
}

}  // namespace quorvin
