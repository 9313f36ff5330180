#include "stats/ranks.h"

#include <omp.h>

#include <algorithm>
#include <utility>
#include <vector>

namespace quorvin {

void sort_ascending(double* values, int32_t n) {
  if (n > 1) std::sort(values, values + n);
}

void rank_transform(int32_t V, int32_t N, Matrix& ranks, const double* values,
                    int64_t observation_stride, int64_t variable_stride) {
  if (V <= 0 || N <= 0) return;
  // (value, observation) so that ties are found after one sort; the order
  // among equal values never reaches a rank. One column per thread, obtained
  // here, where running out of memory can still be reported.
  std::vector<std::pair<double, int32_t>> columns(static_cast<size_t>(omp_get_max_threads()) * N);
#pragma omp parallel
  {
    std::pair<double, int32_t>* column = columns.data() + static_cast<size_t>(omp_get_thread_num()) * N;
#pragma omp for schedule(static)
    for (int32_t i = 0; i < V; ++i) {
      const double* variable = values + i * variable_stride;
      for (int32_t k = 0; k < N; ++k) column[k] = {variable[k * observation_stride], k};
      std::sort(column, column + N, [](const auto& a, const auto& b) { return a.first < b.first; });
      for (int32_t q = 0; q < N;) {
        int32_t m = 1;
        while (q + m < N && column[q + m].first == column[q].first) ++m;
        // Mean of the positions q+1 .. q+m; exact, as it is a whole number or a half.
        const double rank = static_cast<double>(2 * static_cast<int64_t>(q) + m + 1) / 2.0;
        for (int32_t g = q; g < q + m; ++g) ranks[column[g].second][i] = rank;
        q += m;
      }
    }
  }
}

}  // namespace quorvin
