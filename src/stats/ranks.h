// Rank transform: each variable's values replaced by their ranks, ties averaged.
#pragma once

#include <cstdint>

#include "common/matrix.h"

namespace quorvin {

// Sorts values[0 .. n-1] into ascending order. Requires n >= 0.
void sort_ascending(double* values, int32_t n);

// ranks[k][i] = rank of raw_values[k][i] among the N values of variable i:
// 1 for the smallest, N for the largest; a group of m equal values at sorted
// positions q+1 .. q+m all get q + (m+1)/2. Both matrices have N rows of V
// entries; raw_values is not changed. NaN values are not supported.
void rank_transform(int32_t V, int32_t N, Matrix& ranks, const Matrix& raw_values);

}  // namespace quorvin
