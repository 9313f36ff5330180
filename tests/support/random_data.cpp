#include "support/random_data.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numeric>
#include <utility>
#include <vector>

namespace quorvin_test {

uint64_t Random::next() {
  uint64_t z = (state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

double Random::uniform() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }

double Random::normal() {
  const double u = 1.0 - uniform();  // in (0, 1], so the log is finite
  return std::sqrt(-2.0 * std::log(u)) * std::cos(6.283185307179586 * uniform());
}

int32_t Random::below(int32_t n) { return static_cast<int32_t>(next() % static_cast<uint64_t>(n)); }

namespace {

using quorvin::Matrix;
using Factors = std::vector<std::vector<double>>;

Factors make_factors(int32_t count, int32_t N, Random& random) {
  Factors factors(static_cast<size_t>(count), std::vector<double>(static_cast<size_t>(N)));
  for (auto& factor : factors)
    for (double& value : factor) value = random.normal();
  return factors;
}

double random_sign(Random& random) { return random.below(2) == 0 ? 1.0 : -1.0; }

// Column i of raw: loading * factor + noise of the remaining variance.
void load_on_factor(Matrix& raw, int32_t i, const std::vector<double>& factor, double loading,
                    Random& random) {
  const double noise = std::sqrt(1.0 - loading * loading);
  for (int64_t k = 0; k < raw.rows; ++k) raw[k][i] = loading * factor[k] + noise * random.normal();
}

}  // namespace

quorvin::Matrix synthetic_data(DataKind kind, int32_t V, int32_t N, uint64_t seed) {
  Random random{seed};
  Matrix raw;
  allocate_matrix(raw, N, V);
  switch (kind) {
    case DataKind::normal:
      for (int32_t k = 0; k < N; ++k)
        for (int32_t i = 0; i < V; ++i) raw[k][i] = random.normal();
      break;
    case DataKind::factors:
    case DataKind::ties: {
      const Factors factors = make_factors(1 + random.below(3), N, random);
      for (int32_t i = 0; i < V; ++i) {
        const auto& factor = factors[random.below(static_cast<int32_t>(factors.size()))];
        load_on_factor(raw, i, factor, random_sign(random) * (0.6 + 0.38 * random.uniform()),
                       random);
      }
      if (kind == DataKind::ties)
        for (int32_t k = 0; k < N; ++k)
          for (int32_t i = 0; i < V; ++i) raw[k][i] = std::round(1.5 * raw[k][i]);
      break;
    }
    case DataKind::chain:
      for (int32_t i = 0; i < V; ++i) {
        if (i == 0) {
          for (int32_t k = 0; k < N; ++k) raw[k][0] = random.normal();
          continue;
        }
        const double link = random_sign(random) * (0.75 + 0.24 * random.uniform());
        const double noise = std::sqrt(1.0 - link * link);
        for (int32_t k = 0; k < N; ++k) raw[k][i] = link * raw[k][i - 1] + noise * random.normal();
      }
      break;
    case DataKind::near_perfect: {
      const Factors bases = make_factors(1 + random.below(3), N, random);
      for (int32_t i = 0; i < V; ++i) {
        const auto& base = bases[random.below(static_cast<int32_t>(bases.size()))];
        const double sign = random_sign(random);
        // A third are exact copies (correlation exactly 1 or -1), the rest
        // differ in a few ranks only.
        const double scale = random.below(3) == 0 ? 0.0 : 0.1 * random.uniform();
        for (int32_t k = 0; k < N; ++k) raw[k][i] = sign * base[k] + scale * random.normal();
      }
      break;
    }
  }
  return raw;
}

quorvin::Matrix gene_modules(int32_t V, int32_t N, uint64_t seed) {
  Random random{seed};
  // Module sizes until three quarters of the variables belong to one.
  std::vector<int32_t> module_sizes;
  for (int32_t assigned = 0; assigned < V * 3 / 4;) {
    const int32_t size = std::min(10 + random.below(41), V * 3 / 4 - assigned);
    module_sizes.push_back(size);
    assigned += size;
  }
  const Factors factors = make_factors(static_cast<int32_t>(module_sizes.size()), N, random);

  std::vector<int32_t> order(static_cast<size_t>(V));
  std::iota(order.begin(), order.end(), 0);
  for (int32_t i = V - 1; i > 0; --i) std::swap(order[i], order[random.below(i + 1)]);

  Matrix raw;
  allocate_matrix(raw, N, V);
  int32_t next = 0;
  for (size_t m = 0; m < module_sizes.size(); ++m) {
    for (int32_t member = 0; member < module_sizes[m]; ++member) {
      const int32_t i = order[next++];
      load_on_factor(raw, i, factors[m], random_sign(random) * (0.3 + 0.65 * random.uniform()),
                     random);
      if (random.below(10) == 0) {
        const auto& second = factors[random.below(static_cast<int32_t>(factors.size()))];
        const double loading = random_sign(random) * (0.2 + 0.4 * random.uniform());
        for (int32_t k = 0; k < N; ++k) raw[k][i] += loading * second[k];
      }
    }
  }
  for (; next < V; ++next)
    for (int32_t k = 0; k < N; ++k) raw[k][order[next]] = random.normal();

  // On the scale of log expression values.
  for (int32_t k = 0; k < N; ++k)
    for (int32_t i = 0; i < V; ++i) raw[k][i] = 8.0 + 1.5 * raw[k][i];
  return raw;
}

quorvin::Matrix dense_factors(int32_t V, int32_t N, uint64_t seed) {
  Random random{seed};
  const Factors factors = make_factors(6, N, random);
  Matrix raw;
  allocate_matrix(raw, N, V);
  for (int32_t i = 0; i < V; ++i) {
    double loadings[6];
    for (double& loading : loadings) loading = 2 * random.uniform() - 1;
    for (int32_t k = 0; k < N; ++k) {
      double value = 0.8 * random.normal();
      for (size_t f = 0; f < factors.size(); ++f) value += loadings[f] * factors[f][k];
      raw[k][i] = value;
    }
  }
  return raw;
}

std::string data_file_text(const quorvin::Matrix& raw) {
  std::string text = "probe";
  char cell[64];
  for (int64_t k = 0; k < raw.rows; ++k) {
    std::snprintf(cell, sizeof cell, "\ts%lld", static_cast<long long>(k + 1));
    text += cell;
  }
  text += '\n';
  for (int64_t i = 0; i < raw.cols; ++i) {
    std::snprintf(cell, sizeof cell, "g%lld", static_cast<long long>(i + 1));
    text += cell;
    for (int64_t k = 0; k < raw.rows; ++k) {
      std::snprintf(cell, sizeof cell, "\t%.6g", raw[k][i]);
      text += cell;
    }
    text += '\n';
  }
  return text;
}

}  // namespace quorvin_test
