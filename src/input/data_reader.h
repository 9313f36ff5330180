// The data file reader: a header line, then one row per variable.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/matrix.h"

namespace quorvin {

// Reads the text of data.txt: a corner token and N observation labels (the
// rest of that line is discarded), then V rows, each a name (its first hyphen
// removed) and N values (the rest of the row's line is discarded). Rows may
// wrap over several lines; anything after the V-th row is never read.
// Fills var_names (resized to V) and raw_values[k][i], which must have N rows
// of V entries. Returns false, with one line in message that names data.txt,
// the line, the variable and the observation and shows the offending text,
// when a name or a value cannot be read. Requires V >= 0 and N >= 0.
bool read_data_file(int32_t V, int32_t N, Matrix& raw_values, std::vector<std::string>& var_names,
                    std::string_view text, std::string& message);

}  // namespace quorvin
