#include "reference/reference.h"

#include <cmath>

namespace quorvin::reference {

void sort_ascending(double* values, int32_t n) {
  for (int32_t p = 1; p <= n - 1; ++p)
    for (int32_t j = 0; j <= n - p - 1; ++j)
      if (values[j] > values[j + 1]) {
        const double swap = values[j];
        values[j] = values[j + 1];
        values[j + 1] = swap;
      }
}

void rank_transform(int32_t V, int32_t N, Matrix& ranks, const Matrix& raw_values) {
  std::vector<double> scratch(N > 0 ? static_cast<size_t>(N) : 0);

  for (int32_t i = 0; i < V; ++i) {
    for (int32_t k = 0; k < N; ++k) scratch[k] = raw_values[k][i];
    sort_ascending(scratch.data(), N);
    for (int32_t p = 0; p < N; ++p)
      for (int32_t k = 0; k < N; ++k)
        if (scratch[p] == raw_values[k][i]) ranks[k][i] = p + 1;
  }

  // Kept across variables on purpose: each sweep must end with both cleared.
  double running_sum = 0;
  int32_t running_count = 0;
  for (int32_t i = 0; i < V; ++i) {
    for (int32_t r = 1; r <= N; ++r) {
      int32_t holders = 0;
      for (int32_t k = 0; k < N; ++k)
        if (ranks[k][i] == r) ++holders;
      if (holders == 0) {
        running_sum = running_sum + r;
        running_count = running_count + 1;
      } else if (holders >= 2) {
        running_sum = running_sum + r;
        running_count = running_count + 1;
        for (int32_t k = 0; k < N; ++k)
          if (ranks[k][i] == r) ranks[k][i] = running_sum / running_count;
        running_sum = 0;
        running_count = 0;
      }
    }
  }
}

void rank_covariance(int32_t V, int32_t N, Matrix& covariance, Matrix& ranks,
                     std::vector<double>& means) {
  for (int32_t k = 0; k < N; ++k)
    for (int32_t i = 0; i < V; ++i) means[i] = means[i] + ranks[k][i];
  for (int32_t i = 0; i < V; ++i) means[i] = means[i] / static_cast<double>(N);
  for (int32_t k = 0; k < N; ++k)
    for (int32_t i = 0; i < V; ++i) ranks[k][i] = ranks[k][i] - means[i];
  for (int32_t i = 0; i < V; ++i)
    for (int32_t j = 0; j < V; ++j) {
      double sum = 0;
      for (int32_t k = 0; k < N; ++k) sum = ranks[k][i] * ranks[k][j] + sum;
      covariance[i][j] = sum / static_cast<double>(N - 1);
    }
}

void correlation_from_covariance(int32_t V, Matrix& correlation, const Matrix& covariance) {
  for (int32_t i = 0; i < V; ++i)
    for (int32_t j = 0; j < V; ++j)
      correlation[i][j] = covariance[i][j] / std::sqrt(covariance[j][j] * covariance[i][i]);
}

double critical_value(int32_t N, double z) {
  const double d = N - 5;
  const double q = std::sqrt(1.0 / d) * z;
  const double e = std::exp(2.0 * q);
  return (e - 1.0) / (e + 1.0);
}

void combine_partial_correlations(int32_t V, int32_t N, Matrix& combined, const Matrix& correlation,
                                  const ControlDone& control_done, int32_t* kept_controls,
                                  const CoefficientMet& met) {
  const auto keep = [&](int32_t x, int32_t y, int32_t s, int32_t t) {
    if (kept_controls != nullptr) set_kept_controls(kept_controls, V, x, y, s, t);
  };
  const double T = critical_value(N, 1.96);
  Matrix first_order;
  allocate_matrix(first_order, V, V);
  for (int32_t i = 0; i < V; ++i)
    for (int32_t j = 0; j < V; ++j) {
      first_order[i][j] = correlation[i][j];
      combined[i][j] = correlation[i][j];
      if (i < j) keep(i, j, -1, -1);
    }
  if (met)
    for (int32_t x = 0; x < V; ++x)
      for (int32_t y = x + 1; y < V; ++y) met(x, y, -1, -1, combined[x][y]);

  for (int32_t s = 0; s < V; ++s) {
    for (int32_t r = 0; r < V; ++r) {
      if (r == s) continue;
      for (int32_t p = r + 1; p < V; ++p) {
        if (p == s) continue;
        const double f =
            (correlation[r][p] - correlation[r][s] * correlation[p][s]) /
            std::sqrt((1 - correlation[p][s] * correlation[p][s]) *
                      (1 - correlation[r][s] * correlation[r][s]));
        first_order[r][p] = f;
        first_order[p][r] = f;
        if (met) met(r, p, s, -1, f);
        if (std::fabs(combined[r][p]) > std::fabs(f)) {
          combined[r][p] = f;
          keep(r, p, s, -1);
        }
      }
    }

    for (int32_t t = s + 1; t < V; ++t) {
      for (int32_t x = 0; x < V; ++x) {
        if (x == t || x == s) continue;
        for (int32_t y = x + 1; y < V; ++y) {
          if (y == t || y == s) continue;
          if (!(std::fabs(combined[x][y]) >= T)) continue;
          const double g = (first_order[x][y] - first_order[x][t] * first_order[t][y]) /
                           std::sqrt((1 - first_order[t][y] * first_order[t][y]) *
                                     (1 - first_order[x][t] * first_order[x][t]));
          if (met) met(x, y, s, t, g);
          if (std::fabs(combined[x][y]) > std::fabs(g)) {
            combined[x][y] = g;
            keep(x, y, s, t);
          }
        }
      }
    }
    if (control_done) control_done(s);
  }
}

}  // namespace quorvin::reference
