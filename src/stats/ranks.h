// Rank transform: each variable's values replaced by their ranks, ties averaged.
#pragma once

#include <cstdint>

#include "common/matrix.h"

namespace quorvin {

// Sorts values[0 .. n-1] into ascending order. Requires n >= 0.
void sort_ascending(double* values, int32_t n);

// ranks[k][i] = rank of observation k of variable i among the N values of
// variable i, which is values[k * observation_stride + i * variable_stride]:
// 1 for the smallest, N for the largest; a group of m equal values at sorted
// positions q+1 .. q+m all get q + (m+1)/2. ranks has N rows of V entries;
// values is not changed. NaN values are not supported.
void rank_transform(int32_t V, int32_t N, Matrix& ranks, const double* values,
                    int64_t observation_stride, int64_t variable_stride);

// The same for raw_values with N rows of V entries, a variable per column.
inline void rank_transform(int32_t V, int32_t N, Matrix& ranks, const Matrix& raw_values) {
  rank_transform(V, N, ranks, raw_values.data.get(), raw_values.cols, 1);
}

}  // namespace quorvin
