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

// Where row x of a PairMatrix of V variables begins: pair (x, y), y > x, is
// element pair_row_offset(V, x) + y. Requires 0 <= x < V.
inline int64_t pair_row_offset(int64_t V, int64_t x) { return x * (2 * V - x - 3) / 2; }

// The elements of a PairMatrix of V variables: one per pair, and a first one
// that belongs to no pair, so that no row begins before the block.
inline int64_t pair_matrix_size(int64_t V) { return V * (V - 1) / 2 + 1; }

// A value for each pair x < y of V variables, m[x][y], row by row in half the
// room of a V x V matrix: what a symmetric matrix needs beside its diagonal.
struct PairMatrix {
  int64_t V = 0;
  std::unique_ptr<double[], FreeMatrixBlock> data;
  double* operator[](int64_t x) { return data.get() + pair_row_offset(V, x); }
  const double* operator[](int64_t x) const { return data.get() + pair_row_offset(V, x); }
};

// Where row v of a LowerMatrix begins: element (v, t), t <= v, is
// lower_row_offset(v) + t.
inline int64_t lower_row_offset(int64_t v) { return v * (v + 1) / 2; }

// The lower triangle of a symmetric V x V matrix, diagonal included, row by
// row: m[v][t] for t <= v, and m(a, b) for any two. The block keeps the room
// of the square whose lower triangle it took over, of which it holds only
// the pages of its own elements.
struct LowerMatrix {
  int64_t V = 0;
  std::unique_ptr<double[], FreeMatrixBlock> data;
  double* operator[](int64_t v) { return data.get() + lower_row_offset(v); }
  const double* operator[](int64_t v) const { return data.get() + lower_row_offset(v); }
  double operator()(int64_t a, int64_t b) const { return a >= b ? (*this)[a][b] : (*this)[b][a]; }
};

// Takes over the block of a square (V x V) and packs its lower triangle into
// a LowerMatrix, giving the pages past it back to the system.
LowerMatrix lower_of_square(Matrix&& square);

// Rows of cols doubles, row-major, that another owner holds (a Matrix, or an
// array of R or numpy); or the pairs of a PairMatrix of cols variables, of
// which only m[x][y], y > x, may be read; or the rows of a LowerMatrix, of
// which only m[v][t], t <= v. Read only.
struct MatrixView {
  enum Layout { square, pairs, lower };
  const double* data = nullptr;
  int64_t cols = 0;
  Layout layout = square;
  MatrixView() = default;
  MatrixView(const double* data, int64_t cols) : data(data), cols(cols) {}
  MatrixView(const Matrix& m) : data(m.data.get()), cols(m.cols) {}  // NOLINT: a view of any matrix
  MatrixView(const PairMatrix& m) : data(m.data.get()), cols(m.V), layout(pairs) {}  // NOLINT
  MatrixView(const LowerMatrix& m) : data(m.data.get()), cols(m.V), layout(lower) {}  // NOLINT
  const double* operator[](int64_t row) const {
    return data + (layout == pairs   ? pair_row_offset(cols, row)
                   : layout == lower ? lower_row_offset(row)
                                     : row * cols);
  }
};

// Obtains rows x cols uninitialised doubles. Returns false, leaving m empty,
// when the memory cannot be had. Requires rows >= 0 and cols >= 0.
bool allocate_matrix(Matrix& m, int64_t rows, int64_t cols);

// Obtains the uninitialised pairs of V variables. Returns false, leaving m
// empty, when the memory cannot be had. Requires V >= 0.
bool allocate_pairs(PairMatrix& m, int64_t V);

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
