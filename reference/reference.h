// The correlation engine written the slow, obvious way: every loop, operand
// order and intermediate state as the algorithms are defined, nothing tuned.
// Tests and the benchmark hold the production engine to these results bit
// for bit. Same signatures as the production functions.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "common/matrix.h"
#include "stats/combine.h"

namespace quorvin::reference {

// Exchange sort: all n-1 passes, a swap only when v[j] > v[j+1].
void sort_ascending(double* values, int32_t n);

// Position pass (last sorted position of each value), then tie sweep with a
// running sum and count of the rank numbers that no entry holds.
void rank_transform(int32_t V, int32_t N, Matrix& ranks, const Matrix& raw_values);

// Sums, means, centring in place, then every covariance[i][j] with its own sum.
void rank_covariance(int32_t V, int32_t N, Matrix& covariance, Matrix& ranks,
                     std::vector<double>& means);

// Not alias-safe: correlation must not be covariance, as the diagonal is
// read after rows above it are written.
void correlation_from_covariance(int32_t V, Matrix& correlation, const Matrix& covariance);

double critical_value(int32_t N, double z);

// Called for every coefficient the search meets, in the order it meets
// them: the pair x < y, the controls (-1 where there is none) and the value.
using CoefficientMet = std::function<void(int32_t x, int32_t y, int32_t s, int32_t t, double value)>;

// The s, t, x, y loop nest with its own first_order matrix; control_done(s)
// is called after the second-order passes of s. kept_controls, when not null,
// receives the controls of each stored value whenever it is replaced.
void combine_partial_correlations(int32_t V, int32_t N, Matrix& combined, const Matrix& correlation,
                                  const ControlDone& control_done,
                                  int32_t* kept_controls = nullptr,
                                  const CoefficientMet& met = nullptr);

}  // namespace quorvin::reference
