// Critical values of a second-order partial correlation coefficient.
#pragma once

#include <cstdint>

namespace quorvin {

// The magnitude a coefficient with two control variables must exceed to be
// significant at the two-sided normal quantile z with N observations:
// tanh(z / sqrt(N - 5)) through Fisher's z; NaN when N is 5 or less.
double critical_value(int32_t N, double z);

}  // namespace quorvin
