#include "input/data_reader.h"

#include <algorithm>
#include <map>
#include <vector>

#include "common/message_text.h"
#include "input/table_text.h"

namespace quorvin {

namespace {

// Reading position in the file's text. Once a read fails or reaches the end
// of the text the cursor is spent and every later read fails, as a stream's.
struct Cursor {
  std::string_view text;
  size_t pos = 0;
  bool spent = false;
};

void skip_space(Cursor& in) {
  while (in.pos < in.text.size() && is_blank(in.text[in.pos])) ++in.pos;
  if (in.pos == in.text.size()) in.spent = true;
}

bool read_token(Cursor& in, std::string& token) {
  if (in.spent) return false;
  skip_space(in);
  if (in.spent) return false;
  size_t start = in.pos;
  while (in.pos < in.text.size() && !is_blank(in.text[in.pos])) ++in.pos;
  token.assign(in.text.substr(start, in.pos - start));
  if (in.pos == in.text.size()) in.spent = true;
  return true;
}

void discard_line(Cursor& in) {
  if (in.spent) return;
  size_t newline = in.text.find('\n', in.pos);
  if (newline == std::string_view::npos) {
    in.pos = in.text.size();
    in.spent = true;
  } else {
    in.pos = newline + 1;
  }
}

enum class ValueRead { ok, end_of_file, not_a_number, out_of_range };

// A stream's extraction of a double: blanks skipped, then parse_number; the
// text after the number stays for the next read.
ValueRead read_value(Cursor& in, double& value) {
  if (in.spent) return ValueRead::end_of_file;
  skip_space(in);
  if (in.spent) return ValueRead::end_of_file;
  size_t length = 0;
  const NumberText result = parse_number(in.text.substr(in.pos), value, length);
  if (result != NumberText::ok) {
    in.spent = true;
    // The dialogue has always refused an underflow as beyond the range.
    return result == NumberText::not_a_number ? ValueRead::not_a_number : ValueRead::out_of_range;
  }
  in.pos += length;
  if (in.pos == in.text.size()) in.spent = true;
  return ValueRead::ok;
}

// Where a file that ends too early stops: the line of its last text, not the
// empty line after its final line feed.
int64_t last_line_number(std::string_view text) {
  const size_t last = text.find_last_not_of(" \t\n\v\f\r");
  return line_number_at(text, last == std::string_view::npos ? 0 : last);
}

// The token that starts at pos, for a message.
std::string token_at(std::string_view text, size_t pos) {
  size_t end = pos;
  while (end < text.size() && !is_blank(text[end])) ++end;
  return quoted_for_message(text.substr(pos, end - pos));
}

int64_t count_fields(std::string_view line) {
  int64_t fields = 0;
  for (size_t i = 0; i < line.size();) {
    while (i < line.size() && is_blank(line[i])) ++i;
    if (i == line.size()) break;
    ++fields;
    while (i < line.size() && !is_blank(line[i])) ++i;
  }
  return fields;
}

// Why the layout may not match: a header without a corner cell, counts that
// differ from what the header line shows, or a row whose count of fields
// differs from the others' (an empty cell of a tab-separated row makes it
// short).
std::string likely_cause(std::string_view text, int32_t V, int32_t N) {
  const size_t header_end = std::min(text.find('\n'), text.size());
  const std::string_view header = text.substr(0, header_end);
  const int64_t labels = count_fields(header);

  std::vector<std::pair<size_t, int64_t>> rows;  // start, fields
  std::map<int64_t, int64_t> rows_with;          // fields -> rows
  for (size_t start = header_end + 1; start < text.size();) {
    const size_t end = std::min(text.find('\n', start), text.size());
    const int64_t fields = count_fields(text.substr(start, end - start));
    if (fields > 0) {
      rows.emplace_back(start, fields);
      ++rows_with[fields];
    }
    start = end + 1;
  }
  // The usual count: that of most rows; in a tie, one that fits the header.
  int64_t usual = 0, usual_rows = 0;
  for (const auto& [fields, count] : rows_with) {
    const bool fits = fields == labels || fields == labels + 1;
    if (count > usual_rows || (count == usual_rows && fits)) {
      usual = fields;
      usual_rows = count;
    }
  }

  std::string cause;
  if (!header.empty() && (header[0] == ' ' || header[0] == '\t')) {
    cause = "the header line starts with a blank: give it a corner cell (any word) before the "
            "observation labels";
  } else if (labels > 0 && labels == usual - 1) {
    cause = "a header without a corner cell: its " + std::to_string(labels) +
            " labels are as many as the values of a row; put any word before the first label";
  } else {
    cause = "check the typed counts (" + std::to_string(V) + " variables, " + std::to_string(N) +
            " observations)";
    if (labels > 0 && labels - 1 != N)
      cause += "; the header line holds " + std::to_string(labels - 1) + " observation labels";
  }
  for (const auto& [start, fields] : rows) {
    if (fields == usual) continue;
    size_t name = start;
    while (is_blank(text[name])) ++name;
    cause += "; line " + std::to_string(line_number_at(text, start)) + " (" +
             token_at(text, name) + ") holds " + std::to_string(fields) +
             " fields where the other rows hold " + std::to_string(usual);
    break;
  }
  return cause;
}

}  // namespace

bool read_data_file(int32_t V, int32_t N, Matrix& raw_values, std::vector<std::string>& var_names,
                    std::string_view text, std::string& message) {
  var_names.assign(static_cast<size_t>(V), std::string());
  Cursor in{text};
  std::string token;
  read_token(in, token);
  for (int32_t k = 0; k < N; ++k) read_token(in, token);
  discard_line(in);

  for (int32_t i = 0; i < V; ++i) {
    const std::string variable = "variable " + std::to_string(i + 1);
    if (!read_token(in, var_names[i])) {
      if (text.find_first_not_of(" \t\n\v\f\r") == std::string_view::npos) {
        message = "data.txt holds no data, but " + std::to_string(V) + " variables were typed";
      } else {
        message = "data.txt ends at line " + std::to_string(last_line_number(text)) +
                  " before the name of " + variable + " of " + std::to_string(V) + "; " +
                  likely_cause(text, V, N);
      }
      return false;
    }
    std::string& name = var_names[i];
    remove_first_hyphen(name);

    for (int32_t k = 0; k < N; ++k) {
      ValueRead result = read_value(in, raw_values[k][i]);
      if (result == ValueRead::ok) continue;
      const size_t where = in.pos;
      const int64_t line = result == ValueRead::end_of_file ? last_line_number(text)
                                                            : line_number_at(text, where);
      message = "data.txt line " + std::to_string(line) + ": " + variable +
                " (" + quoted_for_message(name) + "), observation " + std::to_string(k + 1) + ": ";
      if (result == ValueRead::end_of_file) {
        message += "the file ends here; ";
      } else if (result == ValueRead::out_of_range) {
        message += token_at(text, where) + " is beyond the range of a double; ";
      } else {
        message += token_at(text, where) + " is not a number; ";
      }
      message += likely_cause(text, V, N);
      return false;
    }
    discard_line(in);
  }
  return true;
}

}  // namespace quorvin
