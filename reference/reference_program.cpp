// The engine's entry points answered by the reference transcription, so that
// the unchanged driver and writers produce the reference's result files.
#include <algorithm>
#include <new>

#include "stats/combine.h"
#include "stats/correlation.h"
#include "stats/critical_value.h"
#include "stats/ranks.h"
#include "reference/reference.h"

namespace quorvin {

// The reference reads a variable per column.
void rank_transform(int32_t V, int32_t N, Matrix& ranks, const double* values,
                    int64_t observation_stride, int64_t variable_stride) {
  Matrix raw_values;
  allocate_matrix(raw_values, N, V);
  for (int32_t k = 0; k < N; ++k)
    for (int32_t i = 0; i < V; ++i)
      raw_values[k][i] = values[k * observation_stride + i * variable_stride];
  reference::rank_transform(V, N, ranks, raw_values);
}

bool rank_covariance(int32_t V, int32_t N, Matrix& covariance, Matrix& ranks,
                     std::vector<double>& means, const std::function<bool()>&) {
  reference::rank_covariance(V, N, covariance, ranks, means);
  return true;
}

// The driver passes the same matrix twice; the reference reads the diagonal
// after overwriting it, so it gets a copy of the covariance.
void correlation_from_covariance(int32_t V, Matrix& correlation, const Matrix& covariance) {
  Matrix copy;
  allocate_matrix(copy, covariance.rows, covariance.cols);
  std::copy(covariance.data.get(), covariance.data.get() + covariance.rows * covariance.cols,
            copy.data.get());
  reference::correlation_from_covariance(V, correlation, copy);
}

double critical_value(int32_t N, double z) { return reference::critical_value(N, z); }

// The reference's own first_order matrix, the square it fills and the
// square of the correlation it reads.
double combine_working_bytes(int32_t V) { return 24.0 * V * V; }

bool combine_partial_correlations(int32_t V, int32_t N, PairMatrix& combined,
                                  const LowerMatrix& correlation, const ControlDone& control_done,
                                  int32_t* kept_controls, const WorkDone& work_done, PairShare) {
  Matrix square, correlation_square;
  if (!allocate_matrix(square, V, V) || !allocate_matrix(correlation_square, V, V))
    throw std::bad_alloc();
  for (int32_t x = 0; x < V; ++x)
    for (int32_t y = 0; y < V; ++y) correlation_square[x][y] = correlation(x, y);
  reference::combine_partial_correlations(V, N, square, correlation_square, control_done,
                                          kept_controls);
  for (int32_t x = 0; x < V; ++x) std::copy(square[x] + x + 1, square[x] + V, combined[x] + x + 1);
  // The reference keeps no account of its work: it only says when it is done.
  if (work_done) work_done({.left_known = true, .finished = true});
  return true;
}

}  // namespace quorvin
