#include "common/matrix.h"

#include <sys/mman.h>

#include <cstdlib>

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
