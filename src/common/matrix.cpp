#include "common/matrix.h"

#include <new>

namespace quorvin {

bool allocate_matrix(Matrix& m, int64_t rows, int64_t cols) {
  m = Matrix{};
  if (rows < 0 || cols < 0) return false;
  if (cols != 0 && rows > INT64_MAX / 8 / cols) return false;
  const int64_t count = rows * cols;
  m.data.reset(new (std::nothrow) double[count > 0 ? count : 1]);
  if (!m.data) return false;
  m.rows = rows;
  m.cols = cols;
  return true;
}

}  // namespace quorvin
