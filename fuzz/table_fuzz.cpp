// Fuzzes the command line's table reader. The low three bits of the first
// byte choose variables in columns, dropping missing values and no labels;
// the rest is the table's text.
#include <cmath>
#include <cstdint>
#include <set>
#include <string>
#include <string_view>

#include "fuzz/fuzz_check.h"
#include "input/table_reader.h"
#include "input/table_text.h"

using quorvin_fuzz::require;

namespace {

struct Reading {
  bool ok = false;
  quorvin::Table table;
  std::string message;
};

Reading read(std::string_view text, const quorvin::TableLayout& layout) {
  Reading reading;
  reading.ok = quorvin::read_table(text, "t.csv", layout, reading.table, reading.message);
  return reading;
}

bool same(const Reading& a, const Reading& b) {
  if (a.ok != b.ok || a.message != b.message || a.table.var_names != b.table.var_names ||
      a.table.N != b.table.N || a.table.V != b.table.V || a.table.dropped != b.table.dropped)
    return false;
  for (int64_t k = 0; k < a.table.N; ++k)
    for (int32_t i = 0; i < a.table.V; ++i)
      if (a.table.raw_values[k][i] != b.table.raw_values[k][i]) return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  quorvin::TableLayout layout;
  layout.variables_in_columns = (data[0] & 1) != 0;
  layout.drop_missing = (data[0] & 2) != 0;
  layout.no_labels = (data[0] & 4) != 0;
  const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
  const Reading reading = read(text, layout);

  if (reading.ok) {
    const quorvin::Table& table = reading.table;
    require(reading.message.empty(), "a message although the table was read");
    require(table.V > 0 && table.N > 0, "no variable or no observation");
    require(table.var_names.size() == static_cast<size_t>(table.V), "not one name per variable");
    require(table.raw_values.rows == table.N && table.raw_values.cols == table.V, "matrix shape");
    const std::set<std::string> distinct(table.var_names.begin(), table.var_names.end());
    require(distinct.size() == table.var_names.size(), "a name repeats");
    for (const std::string& name : table.var_names)
      for (char c : name)
        require(!quorvin::is_blank(c) && c != '"' && c != '\\',
                "a name holds a blank, or what the Pajek networks cannot hold");
    for (int64_t k = 0; k < table.N; ++k)
      for (int32_t i = 0; i < table.V; ++i)
        require(std::isfinite(table.raw_values[k][i]), "a value is not finite");
    require(layout.drop_missing || table.dropped == 0, "dropped without being asked");
  } else {
    require(quorvin_fuzz::is_one_short_line(reading.message), "the message is not one short line");
    require(reading.message.rfind("t.csv ", 0) == 0, "the message does not start with t.csv");
  }

  // Outside quoted fields, CR LF line ends read as LF alone.
  if (text.find('"') == std::string_view::npos) {
    std::string crlf;
    for (char c : text) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    require(same(read(crlf, layout), reading), "CR LF line ends read differently");
  }
  return 0;
}
