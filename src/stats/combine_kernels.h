// The hot loops of the combined search, each a plain function compiled for
// several instruction sets and chosen at run time. Every clone gives the same
// bits: the coefficients use only correctly rounded IEEE operations (no fused
// multiply-add), and the filters around them only decide which coefficients
// cannot replace the stored value, with a wide safety margin.
#pragma once

#include <cstdint>

namespace quorvin {

// Controls per block of the bound table.
constexpr int32_t bound_block = 8;

// What a pair of variables x < y needs for its first-order coefficients.
struct FirstOrderInputs {
  const double* cx;  // rows x and y of the correlation matrix
  const double* cy;
  const double* ax;  // 1 - cx[s]^2 and 1 - cy[s]^2, valid for the controls merged
  const double* ay;
  double cxy;        // correlation[x][y]
  int32_t x, y;
};

// Merges into c the first-order coefficients of the pair controlled for
// s = s0 .. s1-1 in ascending order, s not x or y. Returns the new c.
double merge_first_order(const FirstOrderInputs& in, int32_t s0, int32_t s1, double c);

// bounds[b] = the largest |row[t]| over t in block b (t = b*bound_block ..,
// t != self); NaN entries are passed over, as a NaN correlation can only give
// NaN coefficients. bounds holds (V + bound_block - 1) / bound_block entries.
void block_bounds(const double* row, int32_t self, int32_t V, double* bounds);

// What a pair of variables needs for its second-order coefficients controlled
// for s and each t > s.
struct SecondOrderInputs {
  const double* cx;  // rows x, y and s of the correlation matrix
  const double* cy;
  const double* cs;
  const double* bx;  // block_bounds of rows x, y and s
  const double* by;
  const double* bs;
  const double* inverse_root_a;   // ~ 1 / sqrt(1 - r_vs^2) for every v
  const double* inverse_root_bs;  // ~ 1 / sqrt(1 - bs[b]^2) for every block b
  int32_t x, y, s, V;
  double threshold;  // the pruning threshold
};

// Merges into c the second-order coefficients of pair x < y controlled for s
// and t = s+1 .. V-1 (t not x or y), in ascending t, while |c| >= threshold.
// fxy is the pair's first-order coefficient controlled for s. Returns the new c.
double merge_second_order(const SecondOrderInputs& in, double fxy, double c);

}  // namespace quorvin
