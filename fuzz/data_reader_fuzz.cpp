// Fuzzes the data file reader. The low four bits of the first two bytes are
// the counts V and N (so a seed file that starts with "23" reads 2 variables
// of 3 observations), the rest is the text of data.txt.
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "input/data_reader.h"

using quorvin_fuzz::require;

namespace {

struct Reading {
  bool ok = false;
  std::vector<std::string> names;
  std::vector<double> values;  // observation by variable, NaN where nothing was read
  std::string message;

  bool operator==(const Reading& other) const {
    if (ok != other.ok || names != other.names || message != other.message) return false;
    for (size_t i = 0; i < values.size(); ++i)
      if (!(values[i] == other.values[i] || (std::isnan(values[i]) && std::isnan(other.values[i]))))
        return false;
    return true;
  }
};

Reading read(int32_t V, int32_t N, std::string_view text) {
  quorvin::Matrix raw;
  require(quorvin::allocate_matrix(raw, N, V), "cannot allocate the values");
  for (int64_t k = 0; k < N; ++k)
    for (int64_t i = 0; i < V; ++i) raw[k][i] = std::numeric_limits<double>::quiet_NaN();
  Reading reading;
  reading.ok = quorvin::read_data_file(V, N, raw, reading.names, text, reading.message);
  reading.values.assign(raw.data.get(), raw.data.get() + static_cast<int64_t>(N) * V);
  return reading;
}

std::string replaced(std::string_view text, char from, std::string_view to) {
  std::string out;
  for (char c : text) {
    if (c == from)
      out += to;
    else
      out += c;
  }
  return out;
}

bool is_blank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool holds_lone_hyphen(std::string_view text) {
  for (size_t i = 0; i < text.size(); ++i)
    if (text[i] == '-' && (i == 0 || is_blank(text[i - 1])) &&
        (i + 1 == text.size() || is_blank(text[i + 1])))
      return true;
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const int32_t V = data[0] & 15, N = data[1] & 15;
  const std::string_view text(reinterpret_cast<const char*>(data) + 2, size - 2);
  const Reading reading = read(V, N, text);

  if (reading.ok) {
    require(reading.message.empty(), "a message although the file was read");
    require(reading.names.size() == static_cast<size_t>(V), "not one name per variable");
    for (const std::string& name : reading.names) {
      for (char c : name) require(!is_blank(c), "a name holds a blank");
      require(!name.empty() || holds_lone_hyphen(text), "an empty name without a lone hyphen");
    }
    for (double value : reading.values) require(std::isfinite(value), "a value is not finite");
  } else {
    require(quorvin_fuzz::is_one_short_line(reading.message), "the message is not one short line");
    require(reading.message.rfind("data.txt ", 0) == 0, "the message does not start with data.txt");
  }

  // Line ends and blanks are only layout: CR LF for LF, or tabs for spaces,
  // read the same names and values and give the same message.
  require(read(V, N, replaced(text, '\n', "\r\n")) == reading, "CR LF line ends read differently");
  require(read(V, N, replaced(text, ' ', "\t")) == reading, "tabs read differently from spaces");
  return 0;
}
