#include "stats/critical_value.h"

#include <cmath>

namespace quorvin {

double critical_value(int32_t N, double z) {
  // Written through exp rather than tanh: at N = 5 this form gives NaN, where
  // tanh would give 1 and let every pair through.
  const double d = static_cast<double>(static_cast<int64_t>(N) - 5);
  const double q = std::sqrt(1.0 / d) * z;
  const double e = std::exp(2.0 * q);
  return (e - 1.0) / (e + 1.0);
}

}  // namespace quorvin
