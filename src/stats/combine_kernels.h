// The hot loops of the combined search, each a plain function compiled for
// several instruction sets and chosen at run time. Every clone gives the same
// bits: the coefficients use only IEEE operations that are correctly rounded
// (no fused multiply-add), and the vector filters only decide which
// coefficients cannot replace the stored value, with a wide safety margin.
#pragma once

#include <cstdint>

namespace quorvin {

// Merges into c the first-order coefficients of pair x < y controlled for
// s = s0 .. s1-1 in ascending order, s not x or y. cx and cy are rows x and y
// of the correlation matrix and cxy = correlation[x][y]. Returns the new c.
double merge_first_order(const double* cx, const double* cy, double cxy, int32_t x, int32_t y,
                         int32_t s0, int32_t s1, double c);

// What a pair of variables needs for its second-order coefficients controlled
// for s and each t > s: the rows x, y and s of the correlation matrix, and for
// every v an approximation of 1 / sqrt(1 - r_vs^2), used only by the filter.
struct SecondOrderInputs {
  const double* cx;
  const double* cy;
  const double* cs;
  const double* inverse_root_a;
  int32_t x, y, s, V;
  double threshold;  // the pruning threshold
};

// Merges into c the second-order coefficients of pair x < y controlled for s
// and t = s+1 .. V-1 (t not x or y), in ascending t, while |c| >= threshold.
// fxy is the pair's first-order coefficient controlled for s. Returns the new c.
double merge_second_order(const SecondOrderInputs& in, double fxy, double c);

}  // namespace quorvin
