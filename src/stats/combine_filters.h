// The filters of the combined search and what they share. Included by the
// kernel files, each compiled for its own instruction set: everything here
// has internal linkage, so that no copy compiled for one set can stand in for
// another's.
#pragma once

#include <cmath>
#include <cstdint>

#include "stats/combine.h"
#include "stats/combine_kernels.h"

namespace quorvin {
namespace {

// A filter passes over a coefficient only when it proves its magnitude to be
// at least |c| * (1 + margin): far beyond the few roundings that separate the
// filter's arithmetic from the coefficient's own.
constexpr double margin = 1e-6;
// Below these the squares could lose precision to underflow; such cases go
// through the exact path.
constexpr double smallest_square = 1e-280;
constexpr double smallest_bound = 1e-290;
// The second-order filter works from approximate first-order coefficients;
// it trusts them only well inside (-1, 1).
constexpr double smallest_one_minus_square = 1e-3;
// Blocks of t bounded per pass of the second-order search.
constexpr int32_t blocks_per_pass = 16;
// Coefficients let through by the product filter that are computed without
// the second-order filter's verdict.
constexpr int32_t few_let_through = 2;
static_assert(blocks_per_pass < 64, "a pass's candidates leave the top bit of 64 clear");
static_assert(blocks_per_pass * bound_block <= product_stretch && second_order_run == 64,
              "a pass's run of blocks fits one call of the product filter, a word per run");

// 1 / sqrt(1 - r^2), the scale of the first-order coefficients controlled for
// a variable whose correlation with another is r.
inline double inverse_root(double r) { return 1 / std::sqrt(1 - r * r); }

// Bits [0, n) set, for 0 <= n <= 64.
inline uint64_t first_bits(int32_t n) { return n >= 64 ? ~uint64_t{0} : (uint64_t{1} << n) - 1; }

// The smaller and the larger of two indices (std::min and std::max would be
// shared with files compiled for another instruction set).
inline int32_t smaller(int32_t a, int32_t b) { return a < b ? a : b; }
inline int32_t larger(int32_t a, int32_t b) { return a < b ? b : a; }

// The first-order sweep meets every pair for every control, so its filter
// works in single precision, twice the lanes at a time. Every float there lies
// within float_slack of the double it stands for (correlations are at most 1
// in magnitude, and each float operation adds at most a few 1e-8), so
// |f| = |num| / sqrt(a_x a_y) >= (|num_f| - slack) / sqrt((a_xf + slack)(a_yf + slack)):
// f cannot replace c where |num_f| - slack > |c| sqrt(a_xf + slack) sqrt(a_yf + slack),
// which the filter tests with the square roots (and c) raised by float_margin
// against the roundings of the floats.
constexpr float float_slack = 1e-6f;
constexpr double float_margin = 1e-5;
// Below this |c| the float bound could underflow: such a pair is never
// filtered.
constexpr double float_smallest_c = 1e-10;

// The single-precision filter bound of a stored value c, as kept by
// FirstOrderLanes: |c| (1 + float_margin).
inline float first_order_float_bound(double c) {
  if (!(std::fabs(c) > 0)) return -HUGE_VALF;  // zero or NaN: never replaced
  if (std::fabs(c) < float_smallest_c) return HUGE_VALF;
  return static_cast<float>(std::fabs(c) * (1 + float_margin));
}

// sqrt(1 - r^2 + float_slack) in single precision, at least the square root
// of the double 1 - r^2; 0 where that cannot be positive, and the coefficient
// is then infinite or NaN.
inline float first_order_root(float r) {
  const float high = 1 - r * r + float_slack;
  return high > 0 ? std::sqrt(high) : 0;
}

// The filter trusts r_xs only where 1 - r_xs^2 exceeds twice the slack, that
// is where first_order_root(r_xs) exceeds about sqrt(3 float_slack).
constexpr float smallest_first_order_root = 1.75e-3f;

// False when the first-order coefficient for a control s cannot replace c,
// from the floats of r_xy, r_xs, r_ys, first_order_root(r_xs),
// first_order_root(r_ys) and bound = first_order_float_bound(c).
inline bool first_order_float_may_replace(float cxy, float xs, float ys, float ax_root,
                                          float ay_root, float bound) {
  if (!(ax_root > smallest_first_order_root)) return true;
  const float low = std::fabs(cxy - xs * ys) - float_slack;
  return !(low > bound * (ay_root * ax_root));
}

// False when the second-order coefficient of pair x, y controlled for s and
// t cannot replace a stored value c, where bound = c^2 (1 + margin), from
// approximations of the first-order coefficients of x, t and y, t:
// (r_xt - r_xs r_ts) / sqrt(a_x a_t) with the square roots taken apart
// (iax ~ 1 / sqrt(a_x), iat ~ 1 / sqrt(a_t)).
inline bool second_order_may_replace(double fxy, double cxt, double cyt, double cst, double iat,
                                     double cxs, double cys, double iax, double iay, double bound) {
  const double fx = (cxt - cxs * cst) * iax * iat;
  const double fy = (cyt - cys * cst) * iay * iat;
  const double one_minus_fx2 = 1 - fx * fx;
  const double one_minus_fy2 = 1 - fy * fy;
  const double num = fxy - fx * fy;
  const double square = num * num;
  return !(one_minus_fx2 > smallest_one_minus_square && one_minus_fy2 > smallest_one_minus_square &&
           square > bound * (one_minus_fy2 * one_minus_fx2) && square > smallest_square);
}

// False for a block of t in which no second-order coefficient can replace c.
// With p = |f_xt f_yt| < 1, sqrt((1 - f_xt^2)(1 - f_yt^2)) <= 1 - p, so
// |g| >= (|fxy| - p) / (1 - p), which falls as p grows when |fxy| < 1: no
// coefficient of the block replaces c when max|f_xt| max|f_yt| stays below
// block_limit(fxy, c). The first-order coefficients are bounded from the
// correlations, |f_xt| <= (|r_xt| + |r_xs| |r_ts|) / sqrt((1 - r_ts^2)(1 - r_xs^2)).
// Outside (-1, 1) only |g| >= |fxy| - p holds (the denominators are at most 1),
// and block_may_replace checks that they are.
inline double block_limit(double fxy, double c) {
  const double a = std::fabs(fxy), cm = std::fabs(c) * (1 + margin);
  if (!(a < 1 && cm < 1)) return a - cm;
  return (a - cm) / (1 - cm);
}

inline bool block_may_replace(double bx, double by, double bs, double ibs, double axs, double ays,
                              double iax, double iay, double limit) {
  const double x_bound = (bx + axs * bs) * iax * ibs;
  const double y_bound = (by + ays * bs) * iay * ibs;
  return !(x_bound < 1 && y_bound < 1 && x_bound * y_bound < limit);
}

// The product filter passes over a second-order coefficient when it proves
// |f_xt f_yt| <= block_limit(fxy, c) for the double first-order coefficients
// (so, by the bound above, |g| >= |c| (1 + margin)), which needs |fxy| < 1
// and |c| (1 + margin) < 1. It costs a fifth of the second-order filter, and
// on data where most pairs are correlated it passes over nearly every
// coefficient of the pairs that stay at or above the threshold, whose stored
// values are far below |fxy|.
//
// It works in 16-bit fixed point, sixteen lanes to a 256-bit operation, with
// q(v, k) = v 2^k rounded: the correlations as q(r, 14) (each within 2^-15 of
// r), 1 - r_ts^2 as a_t = q(1 - r_ts^2, 15), r_xs and r_ys as q(r, 15), and
// rounded products mulhrs(a, b) = round(a b 2^-15). With |r_xs|, |r_ys| below
// 0.9999 no operation overflows. n_x = q(r_xt, 14) - mulhrs(q(r_xs, 15),
// q(r_ts, 14)) is 2^14 (r_xt - r_xs r_ts) within 1.1e-4 2^14, so
// p = |mulhrs(n_x, n_y)| is 2^13 |n_x n_y| within 5e-4 2^13, and
// mulhrs(limit, a_t) is at most 2^13 (limit 2^-13 (1 - r_ts^2) + 8e-5).
// product_slack covers both twice over: where the filter passes over t,
// p <= mulhrs(limit, a_t) - product_slack with limit = q(block_limit /
// (iax iay), 13) rounded down, |n_x n_y| <= block_limit (1 - r_ts^2) /
// (iax iay) for the double numerators, that is |f_xt f_yt| <= block_limit.
// With that product below 1 at most one of |f_xt|, |f_yt| exceeds 1, and then
// g is NaN. NaN correlations, whose coefficients never replace a stored
// value, may be held as anything.
constexpr int16_t product_slack = 10;  // 1.2e-3 2^13
// Below this limit the product filter would let most coefficients through.
constexpr double smallest_product_limit = 0.05;
// Above this scale |r| exceeds 0.9999, and the fixed point could overflow.
constexpr double largest_product_scale = 70;

// q(r, 14) of a correlation, clamped to [-1, 1].
inline int16_t quantized_correlation(double r) {
  if (!(std::fabs(r) < 1)) return r < 0 ? -16384 : 16384;  // NaN too: any value
  return static_cast<int16_t>(std::lrint(r * 16384));
}

// q(1 - r^2, 15) of the double 1 - r^2, clamped to [0, 32767].
inline int16_t quantized_one_minus_square(double r) {
  const double a = 1 - r * r;
  if (!(a > 0)) return 0;
  return static_cast<int16_t>(a * 32768 < 32767 ? std::lrint(a * 32768) : 32767);
}

// q(r, 15) of a correlation r_xs, which the product filter uses only below
// 0.9999 in magnitude (clamped there, NaN held as 0).
inline int16_t quantized_control(double r) {
  constexpr int16_t largest = 32765;  // q(0.9999, 15)
  if (!(std::fabs(r) < 0.9999)) return r < 0 ? -largest : largest;
  return static_cast<int16_t>(std::lrint(r * 32768));
}

// The fixed-point operations, as the vector instructions compute them.
inline int16_t mulhrs(int16_t a, int16_t b) {
  return static_cast<int16_t>((int32_t{a} * b + 0x4000) >> 15);
}
inline int16_t saturated_difference(int16_t a, int16_t b) {
  const int32_t d = int32_t{a} - b;
  return static_cast<int16_t>(d > 32767 ? 32767 : d < -32768 ? -32768 : d);
}

// The limit of the product filter for a pair whose scales are iax and iay, or
// -1 (nothing passed over) when the filter does not apply or would let most
// coefficients through.
inline int16_t product_limit(double fxy, double c, double iax, double iay) {
  if (!(std::fabs(fxy) < 1 && std::fabs(c) * (1 + margin) < 1 && iax < largest_product_scale &&
        iay < largest_product_scale))
    return -1;
  const double limit = block_limit(fxy, c);
  if (!(limit >= smallest_product_limit)) return -1;
  return static_cast<int16_t>(limit / (iax * iay) * ((1 - 1e-5) * 8192));
}

// False when the product filter proves that the second-order coefficient for
// t cannot replace c, from the quantized r_xt, r_yt, r_ts, a_t, r_xs and r_ys
// and limit = product_limit(...).
inline bool product_may_replace(int16_t cxt, int16_t cyt, int16_t cst, int16_t at, int16_t cxs,
                                int16_t cys, int16_t limit) {
  const int16_t nx = saturated_difference(cxt, mulhrs(cxs, cst));
  const int16_t ny = saturated_difference(cyt, mulhrs(cys, cst));
  const int16_t p = mulhrs(nx, ny);
  const int16_t room = saturated_difference(mulhrs(limit, at), product_slack);
  return (p < 0 ? -p : p) > room;
}

// The visit bound. Before the active pairs meet a stretch of controls, every
// variable v of theirs gets, for each control s, a bound F_v on its
// first-order coefficients for the later controls: |f_vt| <= F_v for every
// t > s, t != v. A pair x, y then passes over all of its second-order
// coefficients for s at once where F_x and F_y are below 1 and F_x F_y below
// block_limit(fxy, c): the block bound's argument for every t together.
//
// F_v is found in 16-bit fixed point, as the product filter works:
// n = q(r_vt, 14) - mulhrs(q(r_vs, 15), q(r_ts, 14)) is 2^14 (r_vt - r_vs r_ts)
// within 1.1e-4 2^14 (|n| < 32767), and with i_t = q(iat / 8, 15) for
// iat = 1 / sqrt(1 - r_ts^2) below largest_inverse_root,
// w = mulhrs(|n|, i_t) >= |n| i_t 2^-15 - 1/2. Then
// |r_vt - r_vs r_ts| iat <= (|n| 2^-14 + 1.1e-4)(i_t + 1/2) 2^-12
//                         <= (w + 1/2 + 1/2 + 1.8) 2^-11,
// and with W the largest w and iav = 1 / sqrt(1 - r_vs^2),
// |f_vt| <= (W + numerator_slack) 2^-11 iav, raised by margin against the
// roundings of the double coefficients. Where some t > s has an iat of
// largest_inverse_root or more, or |r_vs| reaches 0.9999, or a correlation of
// v exceeds 1 in magnitude (all beyond the fixed point), F_v is infinite.
// NaN correlations, whose coefficients never replace a stored value, may give
// any w.
constexpr int16_t numerator_slack = 4;
constexpr double largest_inverse_root = 32767.0 / 4096;

// q(iat / 8, 15) of an inverse root iat = 1 / sqrt(1 - r_ts^2) below
// largest_inverse_root (0 for NaN, 32767 at or above it).
inline int16_t quantized_inverse_root(double iat) {
  if (!(iat < largest_inverse_root)) return iat >= largest_inverse_root ? 32767 : 0;
  return static_cast<int16_t>(std::lrint(iat * 4096));
}

// w for one t, from q(r_vt, 14), q(r_ts, 14), q(iat / 8, 15) and
// vs = quantized_control(r_vs), as the vector instructions compute it.
inline int16_t scaled_numerator(int16_t cvt, int16_t cst, int16_t inverse_root_q, int16_t vs) {
  const int16_t n = saturated_difference(cvt, mulhrs(vs, cst));
  return mulhrs(static_cast<int16_t>(n < 0 ? -n : n), inverse_root_q);
}

// The largest w of variable v for control s over every t > s, t != v, by a
// set's kernel, from v's row of quantized correlations, s's row and inverse
// roots, and r_vs, which must be below 0.9999 in magnitude.
inline int16_t later_largest_numerator(LargestNumerator largest_numerator, const int16_t* cv_q,
                                       const int16_t* cs_q, const int16_t* inverse_root_q,
                                       double r_vs, int32_t v, int32_t s, int32_t V) {
  const int16_t vs = quantized_control(r_vs);
  const int16_t before_v =
      largest_numerator(cv_q, cs_q, inverse_root_q, vs, s + 1, larger(s + 1, v));
  const int16_t after_v =
      largest_numerator(cv_q, cs_q, inverse_root_q, vs, larger(s + 1, v + 1), V);
  return before_v > after_v ? before_v : after_v;
}

// F_v from the largest w of variable v and iav = 1 / sqrt(1 - r_vs^2).
inline double first_order_bound(int16_t largest, double iav) {
  return (largest + numerator_slack) * 0x1p-11 * iav * (1 + margin);
}

// False when no second-order coefficient of pair x, y for control s can
// replace c, from fxy = f(x, y | s) and the first-order bounds fx and fy of x
// and y, by the argument of block_may_replace.
inline bool visit_may_replace(double fxy, double c, double fx, double fy) {
  return !(fx < 1 && fy < 1 && fx * fy < block_limit(fxy, c));
}

// The second-order filter in single precision, for the AVX-512 and AVX2
// kernels. It trusts a lane only where 1 / sqrt(a_x a_t) <= single_largest_scale,
// so that each approximate first-order coefficient lies within 1e-5 of the
// double one (and only for |f_xy| <= single_largest_coefficient), and then
// argues with slacks that cover that and its own roundings (fused
// multiply-adds only round less):
// |g| >= (|num_f| - single_slack) / sqrt((a_yf + single_slack)(a_xf + single_slack)).
// It only trusts a_xf and a_yf above single_trusted, where a + single_slack
// <= a * single_widen, so the slacks of the denominator are one factor of the
// bound: |g| >= max(|num_f| - single_slack, 0) / sqrt(a_yf a_xf single_widen^2).
constexpr float single_largest_scale = 8;
constexpr double single_largest_coefficient = 4;
constexpr float single_slack = 3e-5f;
constexpr double single_margin = 1e-4;
constexpr float single_trusted = static_cast<float>(smallest_one_minus_square) + single_slack;
constexpr float single_widen = 1 + single_slack / single_trusted;

// The bound of the single-precision filter for a stored value c, its
// denominators' slacks included.
inline float single_bound(double c) {
  return static_cast<float>(c * c * (1 + single_margin)) * (single_widen * single_widen);
}

// The largest 1 / sqrt(a_t) that the single-precision filter trusts for a pair
// whose scales are iax and iay: 1 / sqrt(a_x a_t) and 1 / sqrt(a_y a_t) at most
// single_largest_scale.
inline float single_largest_iat(double iax, double iay) {
  return single_largest_scale / static_cast<float>(iax > iay ? iax : iay);
}

}  // namespace
}  // namespace quorvin
