// The hot loops of the combined search. Each exists three times, the same
// source compiled with three sets of filters (which decide which coefficients
// need computing): AVX-512 or AVX2 intrinsics, the best the CPU has chosen at
// run time, and plain C++ for every other CPU.
// All three give the same results, and so does any thread count: the coefficients
// themselves are computed by one scalar expression of correctly rounded IEEE
// operations (no fused multiply-add), and a filter only passes over a
// coefficient that it proves, with a wide margin, cannot replace the stored
// value.
#pragma once

#include <cstdint>

namespace quorvin {

// Controls per block of the bound table: the larger, the fewer filter calls
// per pair, the weaker the bounds (32 is fastest on dense data).
constexpr int32_t bound_block = 32;
// The most second controls that one call of the second-order filter takes:
// neighbouring blocks that the bounds let through are filtered together.
constexpr int32_t second_order_run = 64;
static_assert(second_order_run % bound_block == 0 && second_order_run <= 64,
              "a run's mask is held in 64 bits");

enum class FilterSet { plain, avx2, avx512 };

// Whether this CPU can run the given set.
bool cpu_runs(FilterSet set);

// The fastest set of filters this CPU can run, unless the environment
// variable QUORVIN_FILTERS names another that it can run (plain, avx2 or
// avx512; read once, so that a benchmark can measure AVX2 on an AVX-512 CPU).
// The one in use unless changed.
FilterSet best_filter_set();

// The name of a set, as QUORVIN_FILTERS takes it.
const char* filter_set_name(FilterSet set);

// Uses the given set of filters from the next search on (for tests; it must
// be one the CPU can run). Returns the set used before.
FilterSet use_filter_set(FilterSet set);

// bounds[b] = the largest |row[t]| over t in block b (t = b*bound_block ..,
// t != self); NaN entries are passed over, as a NaN correlation can only give
// NaN coefficients. bounds holds (V + bound_block - 1) / bound_block entries.
void block_bounds(const double* row, int32_t self, int32_t V, double* bounds);

// Pairs (x, y0 + j), j < first_order_lanes, merged together control by control.
constexpr int32_t first_order_lanes = 64;

// What merge_first_order_lanes keeps of each pair of a group.
struct FirstOrderLanes {
  double cxy[first_order_lanes];  // r_xy
  double c[first_order_lanes];    // the stored value
  // For the filter, which works in single precision: cxy, and a bound from c
  // (-infinity for a pair that is not to be merged, +infinity for one whose c
  // is too small to filter).
  float cxy_f[first_order_lanes];
  float bound_f[first_order_lanes];
  // The control of the coefficient that last replaced c; -1 while none has.
  int32_t kept_control[first_order_lanes];
  uint64_t merging;  // bit j set while lane j is merged
  // Lanes that join later (pairs that left the second-order search within the
  // controls merged now): lane waiting_lane[k] from control waiting_from[k]
  // on, in ascending order of control.
  int32_t waiting_count;
  int32_t waiting_from[first_order_lanes];
  int32_t waiting_lane[first_order_lanes];
};

// Merges into every lane of the group the first-order coefficients of pair
// (x, y0 + j) controlled for s = s0 .. s1-1, s not x, in ascending order.
// xs[s - s0] holds r_xs and x_roots[s - s0] first_order_root of it in single
// precision; ys[(s - s0) * first_order_lanes + j] holds
// r_s(y0 + j), ys_f the same in single precision and ay_root
// first_order_root of ys_f.
using MergeFirstOrderLanes = void (*)(FirstOrderLanes& lanes, const double* xs,
                                      const float* x_roots, const double* ys, const float* ys_f,
                                      const float* ay_root, int32_t x, int32_t y0, int32_t s0,
                                      int32_t s1);

// r_vt from the rows of a LowerMatrix that begins at lower: row v's own for
// t <= v, row t's beyond. Static, as partial_coefficient is.
static inline double lower_at(const double* lower, int64_t v, int64_t t) {
  return v >= t ? lower[v * (v + 1) / 2 + t] : lower[t * (t + 1) / 2 + v];
}

// What a pair of variables needs for its second-order coefficients controlled
// for s and each t > s.
struct SecondOrderInputs {
  const double* lower;  // the correlations, as the rows of a LowerMatrix
  const double* cs;     // row s of the correlations, every t
  double cxs, cys;      // r_xs and r_ys
  const int16_t* cx_q;  // the same quantized, for the product filter
  const int16_t* cy_q;
  const int16_t* cs_q;
  const int16_t* a_q;             // quantized_one_minus_square of row s
  const float* inverse_root_a_f;  // ~ 1 / sqrt(1 - r_ts^2) for every t, in single precision
  const double* bx;  // block_bounds of rows x, y and s
  const double* by;
  const double* bs;
  const double* inverse_root_bs;  // ~ 1 / sqrt(1 - bs[b]^2) for every block b
  int32_t x, y, s, V;
  double threshold;  // the pruning threshold
  // Whether blocks of t are bounded before the product filter sees them. The
  // bounds always apply where the product filter does not.
  bool bound_blocks;
  // The largest scaled numerators of x and of y for control s, whose
  // first_order_bound is at least every |f_xt| and |f_yt|, t > s (-1 where
  // unknown).
  int16_t largest_x, largest_y;
  // Whether to look first for the first coefficient below the threshold
  // alone, for a pair that will likely fall below it in this visit.
  bool crossing_first;
};

// What a pair's second-order coefficients for one control did.
struct SecondOrderOutcome {
  int32_t kept_t = -1;  // t of the coefficient that last replaced c; -1 if none did
  // Blocks of t whose bounds were computed, and how many of them were let through.
  int32_t blocks_bounded = 0;
  int32_t blocks_let_through = 0;
  // Second controls that went to the product filter (or past it where it
  // does not apply), and coefficients computed: for the search's account of
  // its work.
  int32_t controls_scanned = 0;
  int32_t coefficients_computed = 0;
};

// Merges into c the second-order coefficients of pair x < y controlled for s
// and t = s+1 .. V-1 (t not x or y), in ascending t, while |c| >= threshold.
// fxy is the pair's first-order coefficient controlled for s. Returns the new c;
// outcome starts as default-constructed.
using MergeSecondOrder = double (*)(const SecondOrderInputs& in, double fxy, double c,
                                    SecondOrderOutcome& outcome);

// Bit j set when the first-order filter lets lane j through at a control with
// single-precision r_xs = xs, x_root = first_order_root(xs), and the lanes' ys
// and ay_root: every lane where first_order_float_may_replace holds.
using FirstOrderMask = uint64_t (*)(const FirstOrderLanes& lanes, float xs, float x_root,
                                    const float* ys, const float* ay_root);

// How many elements past their last the filters may read: masked loads are
// slow on some CPUs, so the AVX2 filters read whole vectors of the search's
// own tables and clear the bits of the elements past the end (only the rows
// of the correlation matrix, which may end there, are read with masks). The
// search pads its tables to allow it.
constexpr int32_t second_order_over_read = 16;  // of the quantized and float rows
constexpr int32_t block_over_read = 4;          // of the block bounds and their roots

// Bit t - t0 set, for t in [t0, t1), t1 - t0 <= second_order_run, when the
// second-order filter lets the coefficient of pair in.x, in.y controlled for
// in.s and t through; fxy = f(x, y | s), cxs = r_xs, cys = r_ys,
// iax = inverse_root(r_xs), iay likewise, c the stored value, and
// xt[t - t0] = r_xt, yt[t - t0] = r_yt.
using SecondOrderMask = uint64_t (*)(const SecondOrderInputs& in, double fxy, double cxs,
                                     double cys, double iax, double iay, double c, int32_t t0,
                                     int32_t t1, const double* xt, const double* yt);

// The most second controls that one call of the product filter takes.
constexpr int32_t product_stretch = 512;

// For t in [t0, t1), t1 - t0 <= product_stretch: bit (t - t0) % 64 of
// masks[(t - t0) / 64] set when the product filter lets the coefficient of
// pair in.x, in.y controlled for in.s and t through: product_may_replace with
// cxs = quantized_control(r_xs), cys likewise and limit = product_limit(...)
// >= 0, which requires |r_xs| and |r_ys| below 0.9999. Returns whether any bit
// is set; masks are left undefined when none is.
using ProductMasks = bool (*)(const SecondOrderInputs& in, int16_t cxs, int16_t cys,
                              int16_t limit, int32_t t0, int32_t t1, uint64_t* masks);

// Bit j set, j < n <= 64, for every block of t that block_may_replace lets
// through, from the blocks' bounds bx[j], by[j], bs[j] and ibs[j], each
// readable block_over_read elements past n.
using BlockMask = uint64_t (*)(const double* bx, const double* by, const double* bs,
                               const double* ibs, double axs, double ays, double iax, double iay,
                               double limit, int32_t n);

// The largest scaled_numerator(cv_q[t], cs_q[t], inverse_root_q[t], vs) over
// t in [t0, t1), 0 for none: of variable v and control s, with cv_q and cs_q
// their rows of quantized correlations, inverse_root_q that of s and vs =
// quantized_control(r_vs). Each row readable second_order_over_read elements
// past t1.
using LargestNumerator = int16_t (*)(const int16_t* cv_q, const int16_t* cs_q,
                                     const int16_t* inverse_root_q, int16_t vs, int32_t t0,
                                     int32_t t1);

// The kernels of one set of filters, and the filters themselves (for tests).
struct SearchKernels {
  MergeFirstOrderLanes merge_first_order_lanes;
  MergeSecondOrder merge_second_order;
  FirstOrderMask first_order_mask;
  SecondOrderMask second_order_mask;
  ProductMasks product_masks;
  BlockMask block_mask;
  LargestNumerator largest_numerator;
};

// The kernels of the given set; requires cpu_runs(set).
const SearchKernels& search_kernels(FilterSet set);

// The kernels of the set in use.
const SearchKernels& current_kernels();

}  // namespace quorvin
