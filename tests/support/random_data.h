// Seeded synthetic data sets for the exactness tests and the benchmark. The
// generator is a fixed algorithm (splitmix64, Box-Muller), so a seed gives the
// same values on every machine, up to an ulp of the library's log and cos.
#pragma once

#include <cstdint>
#include <string>

#include "common/matrix.h"

namespace quorvin_test {

struct Random {
  uint64_t state;
  uint64_t next();
  double uniform();          // in [0, 1)
  double normal();           // standard normal
  int32_t below(int32_t n);  // in [0, n), n > 0
};

// Kinds of small data sets, each stressing a different path of the engine.
enum class DataKind {
  normal,        // independent normal values: most pairs pruned at once
  factors,       // a few strongly loaded latent factors: many pairs stay above the threshold
  chain,         // each variable driven by the one before: partials vanish given the link
  ties,          // small integers (both signed zeros among them): many tie groups
  near_perfect,  // small perturbations and exact copies of a few base variables
};

// An N x V observation-by-variable matrix of the given kind.
quorvin::Matrix synthetic_data(DataKind kind, int32_t V, int32_t N, uint64_t seed);

// Gene-expression-like data: modules of 10 to 50 variables, each driven by one
// factor with varied loadings and signs, some variables loading on a second
// module's factor, a quarter noise only; variables in shuffled order.
quorvin::Matrix gene_modules(int32_t V, int32_t N, uint64_t seed);

// Dense expression-like data: every variable loads on all of 6 shared factors
// with loadings uniform in (-1, 1), plus independent noise of standard
// deviation 0.8, so that most pairs stay above the pruning threshold long.
quorvin::Matrix dense_factors(int32_t V, int32_t N, uint64_t seed);

// The text of a data.txt holding raw (N x V) with names g1 .. gV and values
// to six significant digits.
std::string data_file_text(const quorvin::Matrix& raw);

}  // namespace quorvin_test
