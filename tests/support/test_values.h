// Small builders shared by the unit tests.
#pragma once

#include <cstdint>
#include <new>
#include <string>
#include <vector>

#include "common/matrix.h"
#include "common/number_format.h"

namespace quorvin_test {

// The text that the result files show for value.
inline std::string text_of(double value) {
  std::string text;
  quorvin::append_double(text, value);
  return text;
}

// rows x cols matrix with every entry fill.
inline quorvin::Matrix filled_matrix(int64_t rows, int64_t cols, double fill) {
  quorvin::Matrix m;
  if (!quorvin::allocate_matrix(m, rows, cols)) throw std::bad_alloc();
  for (int64_t r = 0; r < rows; ++r)
    for (int64_t c = 0; c < cols; ++c) m[r][c] = fill;
  return m;
}

// A matrix holding rows, which must all have the same length.
inline quorvin::Matrix matrix_of(const std::vector<std::vector<double>>& rows) {
  const int64_t cols = rows.empty() ? 0 : static_cast<int64_t>(rows[0].size());
  quorvin::Matrix m = filled_matrix(static_cast<int64_t>(rows.size()), cols, 0.0);
  for (size_t r = 0; r < rows.size(); ++r)
    for (int64_t c = 0; c < cols; ++c) m[r][c] = rows[r][c];
  return m;
}

}  // namespace quorvin_test
