#include "stats/correlation.h"

#include <omp.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>

namespace quorvin {

namespace {

// Register block of the covariance: 4 variables by 8 variables.
constexpr int64_t block_i = 4;
constexpr int64_t block_j = 8;
constexpr int64_t panel_j = 512;  // columns of the centred ranks kept in cache together
constexpr int64_t panel_k = 256;  // observations per pass over a panel

// Eight doubles, one register on AVX-512 and two or four on narrower units.
typedef double eight_doubles __attribute__((vector_size(64)));

// sums[a][b] (row stride ld) += x[k][i0+a] * x[k][j0+b] for k in [k0, k1), in
// ascending k, each sum kept in one accumulator: the summation order is the
// plain one, so the result is the same whatever the blocking.
__attribute__((target_clones("avx512f", "avx2", "default")))
void accumulate_block(const double* x, int64_t stride, int64_t i0, int64_t j0, int64_t k0,
                      int64_t k1, double* sums, int64_t ld) {
  static_assert(block_j == 8, "one vector of sums per row of the block");
  eight_doubles acc[block_i];
  for (int64_t a = 0; a < block_i; ++a) std::memcpy(&acc[a], sums + a * ld, sizeof acc[a]);
  for (int64_t k = k0; k < k1; ++k) {
    const double* row = x + k * stride;
    eight_doubles xj;
    std::memcpy(&xj, row + j0, sizeof xj);
    for (int64_t a = 0; a < block_i; ++a) acc[a] = row[i0 + a] * xj + acc[a];
  }
  for (int64_t a = 0; a < block_i; ++a) std::memcpy(sums + a * ld, &acc[a], sizeof acc[a]);
}

}  // namespace

bool rank_covariance(int32_t V, int32_t N, Matrix& covariance, Matrix& ranks,
                     std::vector<double>& means, const std::function<bool()>& keep_going) {
  for (int32_t k = 0; k < N; ++k)
    for (int32_t i = 0; i < V; ++i) means[i] = means[i] + ranks[k][i];
  for (int32_t i = 0; i < V; ++i) means[i] = means[i] / static_cast<double>(N);
  for (int32_t k = 0; k < N; ++k)
    for (int32_t i = 0; i < V; ++i) ranks[k][i] = ranks[k][i] - means[i];
  if (V <= 0) return true;

  // Centred ranks padded with zero columns to whole register blocks.
  const int64_t padded = (V + block_j - 1) / block_j * block_j;
  std::vector<double> x(static_cast<size_t>(std::max<int64_t>(N, 0)) * padded, 0.0);
  for (int64_t k = 0; k < N; ++k) std::copy(ranks[k], ranks[k] + V, x.data() + k * padded);

  const double divisor = static_cast<double>(static_cast<int64_t>(N) - 1);
  const int64_t panels = (padded + panel_j - 1) / panel_j;
  const int64_t row_blocks = (padded + block_i - 1) / block_i;
  // Each task owns one block of rows within one panel of columns: threads
  // write disjoint sums, so the result does not depend on the thread count.
  // One block of sums per thread, obtained here, where running out of memory
  // can still be reported.
  std::vector<double> all_sums(static_cast<size_t>(omp_get_max_threads()) * block_i * panel_j);
  std::atomic<bool> stopping{false};
#pragma omp parallel
  {
    double* sums = all_sums.data() + static_cast<size_t>(omp_get_thread_num()) * block_i * panel_j;
#pragma omp for schedule(dynamic, 4) collapse(2)
    for (int64_t panel = 0; panel < panels; ++panel) {
      for (int64_t rb = 0; rb < row_blocks; ++rb) {
        const int64_t j_begin = panel * panel_j;
        const int64_t i0 = rb * block_i;
        // Lower triangle only (j <= i); the upper one is its mirror.
        const int64_t j_end = std::min({j_begin + panel_j, padded, (i0 + block_i + block_j - 1) / block_j * block_j});
        if (i0 >= V || j_end <= j_begin) continue;
        if (stopping.load(std::memory_order_relaxed)) continue;
        if (keep_going && omp_get_thread_num() == 0 && !keep_going()) {
          stopping.store(true, std::memory_order_relaxed);
          continue;
        }
        const int64_t width = j_end - j_begin;
        std::fill(sums, sums + block_i * width, 0.0);
        for (int64_t k0 = 0; k0 < N; k0 += panel_k) {
          const int64_t k1 = std::min<int64_t>(N, k0 + panel_k);
          for (int64_t j0 = j_begin; j0 < j_end; j0 += block_j)
            accumulate_block(x.data(), padded, i0, j0, k0, k1, sums + (j0 - j_begin), width);
        }
        for (int64_t a = 0; a < block_i && i0 + a < V; ++a) {
          const int64_t i = i0 + a;
          for (int64_t j = j_begin; j < std::min<int64_t>(j_end, i + 1); ++j) {
            const double value = sums[a * width + (j - j_begin)] / divisor;
            covariance[i][j] = value;
            covariance[j][i] = value;
          }
        }
      }
    }
  }
  return !stopping.load();
}

void correlation_from_covariance(int32_t V, Matrix& correlation, const Matrix& covariance) {
  if (V <= 0) return;
  std::vector<double> variance(static_cast<size_t>(V));
  for (int32_t i = 0; i < V; ++i) variance[i] = covariance[i][i];
#pragma omp parallel for schedule(static)
  for (int32_t i = 0; i < V; ++i) {
    const double* cov = covariance[i];
    double* out = correlation[i];
    for (int32_t j = 0; j < V; ++j) out[j] = cov[j] / std::sqrt(variance[j] * variance[i]);
  }
}

}  // namespace quorvin
