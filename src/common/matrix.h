// The dense matrices that the stages share, and the large blocks behind them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <utility>

namespace quorvin {

// A block of at least bytes (> 0) bytes, aligned to 64, and laid out on huge
// pages where the system allows it when it is large; null when the memory
// cannot be had. Given back with std::free.
void* allocate_large_block(size_t bytes);

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

// Rows of cols doubles, row-major, that another owner holds (a Matrix, or an
// array of R or numpy); read only.
struct MatrixView {
  const double* data = nullptr;
  int64_t cols = 0;
  MatrixView() = default;
  MatrixView(const double* data, int64_t cols) : data(data), cols(cols) {}
  MatrixView(const Matrix& m) : data(m.data.get()), cols(m.cols) {}  // NOLINT: a view of any matrix
  const double* operator[](int64_t row) const { return data + row * cols; }
};

// Obtains rows x cols uninitialised doubles. Returns false, leaving m empty,
// when the memory cannot be had. Requires rows >= 0 and cols >= 0.
bool allocate_matrix(Matrix& m, int64_t rows, int64_t cols);

// An allocator of large blocks, for std::vector; throws std::bad_alloc when
// the memory cannot be had. Elements that a vector adds without a value are
// left uninitialised, so that their pages are first touched where they are
// filled, on the threads that fill them.
template <typename T>
struct LargeBlockAllocator {
  using value_type = T;
  LargeBlockAllocator() = default;
  template <typename U>
  LargeBlockAllocator(const LargeBlockAllocator<U>&) {}
  T* allocate(size_t n) {
    if (n > SIZE_MAX / 2 / sizeof(T)) throw std::bad_alloc();
    void* block = allocate_large_block(n > 0 ? n * sizeof(T) : 1);
    if (block == nullptr) throw std::bad_alloc();
    return static_cast<T*>(block);
  }
  void deallocate(T* block, size_t) { std::free(block); }
  template <typename U>
  void construct(U* element) {
    ::new (static_cast<void*>(element)) U;
  }
  template <typename U, typename... Args>
  void construct(U* element, Args&&... args) {
    ::new (static_cast<void*>(element)) U(std::forward<Args>(args)...);
  }
  friend bool operator==(const LargeBlockAllocator&, const LargeBlockAllocator&) { return true; }
};

}  // namespace quorvin
