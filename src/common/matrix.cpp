#include "common/matrix.h"

#include <sys/mman.h>

#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace quorvin {

namespace {
// A block this large is laid out on huge pages where the system allows it:
// far fewer page faults on first use, and far fewer TLB misses where the
// search reads rows all over its matrices.
constexpr size_t huge_page = size_t{2} << 20;
}  // namespace

void* allocate_large_block(size_t bytes) {
  const size_t alignment = bytes >= huge_page / 2 ? huge_page : 64;
  if (bytes > SIZE_MAX - alignment) return nullptr;
  // aligned_alloc takes a multiple of the alignment.
  const size_t rounded = (bytes + alignment - 1) / alignment * alignment;
  void* block = std::aligned_alloc(alignment, rounded);
  if (block != nullptr && alignment == huge_page) (void)madvise(block, rounded, MADV_HUGEPAGE);
  return block;
}

void FreeMatrixBlock::operator()(double* block) const { std::free(block); }

bool allocate_matrix(Matrix& m, int64_t rows, int64_t cols) {
  m = Matrix{};
  if (rows < 0 || cols < 0) return false;
  if (cols != 0 && rows > INT64_MAX / 8 / cols - 1) return false;
  const size_t count = static_cast<size_t>(rows * cols > 0 ? rows * cols : 1);
  m.data.reset(static_cast<double*>(allocate_large_block(count * sizeof(double))));
  if (!m.data) return false;
  m.rows = rows;
  m.cols = cols;
  return true;
}

LowerMatrix lower_of_square(Matrix&& square) {
  LowerMatrix lower;
  lower.V = square.rows;
  lower.data = std::move(square.data);
  square = Matrix{};
  double* block = lower.data.get();
  const int64_t V = lower.V;
  // Each row moves to where it begins or before, behind the rows before it.
  for (int64_t v = 1; v < V; ++v)
    std::memmove(block + lower_row_offset(v), block + v * V, sizeof(double) * (v + 1));
  // Only whole pages of the block's own: a small block shares its first and
  // last pages with others.
  const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  const uintptr_t first_free =
      (reinterpret_cast<uintptr_t>(block + lower_row_offset(V)) + page - 1) / page * page;
  const uintptr_t room_end = reinterpret_cast<uintptr_t>(block + V * V) / page * page;
  if (first_free < room_end)
    (void)madvise(reinterpret_cast<void*>(first_free), room_end - first_free, MADV_DONTNEED);
  return lower;
}

bool allocate_pairs(PairMatrix& m, int64_t V) {
  m = PairMatrix{};
  if (V < 0 || V > 2'000'000'000) return false;
  m.data.reset(static_cast<double*>(
      allocate_large_block(static_cast<size_t>(pair_matrix_size(V)) * sizeof(double))));
  if (!m.data) return false;
  m.V = V;
  return true;
}

}  // namespace quorvin
