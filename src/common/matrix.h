// The dense matrices that the stages share.
#pragma once

#include <cstdint>
#include <memory>

namespace quorvin {

// Gives back a matrix's block.
struct FreeMatrixBlock {
  void operator()(double* block) const;
};

// rows x cols doubles in one row-major block; m[r][c] is row r, column c.
struct Matrix {
  int64_t rows = 0;
  int64_t cols = 0;
  std::unique_ptr<double[], FreeMatrixBlock> data;
  double* operator[](int64_t row) { return data.get() + row * cols; }
  const double* operator[](int64_t row) const { return data.get() + row * cols; }
};

// Obtains rows x cols uninitialised doubles. Returns false, leaving m empty,
// when the memory cannot be had. Requires rows >= 0 and cols >= 0.
bool allocate_matrix(Matrix& m, int64_t rows, int64_t cols);

}  // namespace quorvin
