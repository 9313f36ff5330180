#include "stats/combine_kernels.h"

#include <immintrin.h>

#include <algorithm>
#include <cmath>

#include "stats/combine.h"

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
constexpr int32_t blocks_per_pass = 64;

bool avx512_filters = __builtin_cpu_supports("avx512f");

// The filter bound of a stored value c, as kept by FirstOrderLanes.
double first_order_bound(double c) {
  if (!(std::fabs(c) > 0)) return -HUGE_VAL;  // zero or NaN: never replaced
  const double bound = c * c * (1 + margin);
  return bound >= smallest_bound ? bound : HUGE_VAL;
}

// False when the first-order coefficient of pair x, y for a control s (with
// xs = r_xs, ys = r_ys, ax = 1 - r_xs^2, ay = 1 - r_ys^2) cannot replace a
// stored value c, where bound = c^2 (1 + margin).
bool first_order_may_replace(double cxy, double xs, double ys, double ax, double ay,
                             double bound) {
  const double num = cxy - xs * ys;
  const double square = num * num;
  return !(square > bound * (ay * ax) && square > smallest_square);
}

// The same for a second-order coefficient of pair x, y controlled for s and
// t, from approximations of the first-order coefficients of x, t and y, t:
// (r_xt - r_xs r_ts) / sqrt(a_x a_t) with the square roots taken apart
// (iax ~ 1 / sqrt(a_x), iat ~ 1 / sqrt(a_t)).
bool second_order_may_replace(double fxy, double cxt, double cyt, double cst, double iat,
                              double cxs, double cys, double iax, double iay, double bound) {
  const double fx = (cxt - cxs * cst) * iax * iat;
  const double fy = (cyt - cys * cst) * iay * iat;
  const double one_minus_fx2 = 1 - fx * fx;
  const double one_minus_fy2 = 1 - fy * fy;
  const double num = fxy - fx * fy;
  const double square = num * num;
  return !(one_minus_fx2 > smallest_one_minus_square &&
           one_minus_fy2 > smallest_one_minus_square &&
           square > bound * (one_minus_fy2 * one_minus_fx2) && square > smallest_square);
}

// False for a block of t in which no second-order coefficient can replace c:
// |g| >= |fxy| - max|f_xt| max|f_yt| there (the denominators are at most 1),
// with the first-order coefficients bounded from the correlations,
// |f_xt| <= (|r_xt| + |r_xs| |r_ts|) / sqrt((1 - r_ts^2)(1 - r_xs^2)).
// limit = |fxy| - |c| (1 + margin).
bool block_may_replace(double bx, double by, double bs, double ibs, double axs, double ays,
                       double iax, double iay, double limit) {
  const double x_bound = (bx + axs * bs) * iax * ibs;
  const double y_bound = (by + ays * bs) * iay * ibs;
  return !(x_bound < 1 && y_bound < 1 && x_bound * y_bound < limit);
}

// The masks below have bit j set when the filter lets element j through.

uint32_t first_order_mask_plain(const FirstOrderLanes& lanes, double xs, double ax,
                                const double* ys, const double* ay) {
  uint32_t mask = 0;
  for (int32_t j = 0; j < first_order_lanes; ++j)
    if (first_order_may_replace(lanes.cxy[j], xs, ys[j], ax, ay[j], lanes.bound[j]))
      mask |= uint32_t{1} << j;
  return mask;
}

uint32_t second_order_mask_plain(double fxy, const double* cx, const double* cy, const double* cs,
                                 const double* ia, double cxs, double cys, double iax, double iay,
                                 double bound, int32_t n) {
  uint32_t mask = 0;
  for (int32_t j = 0; j < n; ++j)
    if (second_order_may_replace(fxy, cx[j], cy[j], cs[j], ia[j], cxs, cys, iax, iay, bound))
      mask |= uint32_t{1} << j;
  return mask;
}

uint64_t block_mask_plain(const double* bx, const double* by, const double* bs, const double* ibs,
                          double axs, double ays, double iax, double iay, double limit,
                          int32_t n) {
  uint64_t mask = 0;
  for (int32_t j = 0; j < n; ++j)
    if (block_may_replace(bx[j], by[j], bs[j], ibs[j], axs, ays, iax, iay, limit))
      mask |= uint64_t{1} << j;
  return mask;
}

// The same three filters, eight lanes at a time. Each operation is the one
// of the plain filter, in the same order; a comparison with NaN is false.

__attribute__((target("avx512f"))) __m512d broadcast(double v) { return _mm512_set1_pd(v); }

__attribute__((target("avx512f"))) uint32_t first_order_mask_avx512(const FirstOrderLanes& lanes,
                                                                     double xs, double ax,
                                                                     const double* ys,
                                                                     const double* ay) {
  const __m512d vxs = broadcast(xs), vax = broadcast(ax), small = broadcast(smallest_square);
  uint32_t mask = 0;
  for (int32_t q = 0; q < first_order_lanes; q += 8) {
    const __m512d num = _mm512_sub_pd(_mm512_loadu_pd(lanes.cxy + q),
                                      _mm512_mul_pd(vxs, _mm512_loadu_pd(ys + q)));
    const __m512d square = _mm512_mul_pd(num, num);
    const __m512d limit =
        _mm512_mul_pd(_mm512_loadu_pd(lanes.bound + q), _mm512_mul_pd(_mm512_loadu_pd(ay + q), vax));
    const __mmask8 skip = _mm512_cmp_pd_mask(square, limit, _CMP_GT_OQ) &
                          _mm512_cmp_pd_mask(square, small, _CMP_GT_OQ);
    mask |= uint32_t{static_cast<uint8_t>(~skip)} << q;
  }
  return mask;
}

__attribute__((target("avx512f"))) uint32_t second_order_mask_avx512(
    double fxy, const double* cx, const double* cy, const double* cs, const double* ia, double cxs,
    double cys, double iax, double iay, double bound, int32_t n) {
  const __mmask8 valid = static_cast<__mmask8>((1u << n) - 1);
  const __m512d one = broadcast(1.0), trusted = broadcast(smallest_one_minus_square),
                small = broadcast(smallest_square);
  const __m512d cst = _mm512_maskz_loadu_pd(valid, cs), iat = _mm512_maskz_loadu_pd(valid, ia);
  const __m512d fx = _mm512_mul_pd(
      _mm512_mul_pd(_mm512_sub_pd(_mm512_maskz_loadu_pd(valid, cx), _mm512_mul_pd(broadcast(cxs), cst)),
                    broadcast(iax)),
      iat);
  const __m512d fy = _mm512_mul_pd(
      _mm512_mul_pd(_mm512_sub_pd(_mm512_maskz_loadu_pd(valid, cy), _mm512_mul_pd(broadcast(cys), cst)),
                    broadcast(iay)),
      iat);
  const __m512d one_minus_fx2 = _mm512_sub_pd(one, _mm512_mul_pd(fx, fx));
  const __m512d one_minus_fy2 = _mm512_sub_pd(one, _mm512_mul_pd(fy, fy));
  const __m512d num = _mm512_sub_pd(broadcast(fxy), _mm512_mul_pd(fx, fy));
  const __m512d square = _mm512_mul_pd(num, num);
  const __m512d limit = _mm512_mul_pd(broadcast(bound), _mm512_mul_pd(one_minus_fy2, one_minus_fx2));
  const __mmask8 skip = _mm512_cmp_pd_mask(one_minus_fx2, trusted, _CMP_GT_OQ) &
                        _mm512_cmp_pd_mask(one_minus_fy2, trusted, _CMP_GT_OQ) &
                        _mm512_cmp_pd_mask(square, limit, _CMP_GT_OQ) &
                        _mm512_cmp_pd_mask(square, small, _CMP_GT_OQ);
  return static_cast<uint8_t>(~skip & valid);
}

__attribute__((target("avx512f"))) uint64_t block_mask_avx512(
    const double* bx, const double* by, const double* bs, const double* ibs, double axs,
    double ays, double iax, double iay, double limit, int32_t n) {
  const __m512d one = broadcast(1.0), vlimit = broadcast(limit);
  uint64_t mask = 0;
  for (int32_t q = 0; q < n; q += 8) {
    const __mmask8 valid = static_cast<__mmask8>(n - q >= 8 ? 0xff : (1u << (n - q)) - 1);
    const __m512d vbs = _mm512_maskz_loadu_pd(valid, bs + q);
    const __m512d vibs = _mm512_maskz_loadu_pd(valid, ibs + q);
    const __m512d x_bound = _mm512_mul_pd(
        _mm512_mul_pd(_mm512_add_pd(_mm512_maskz_loadu_pd(valid, bx + q),
                                    _mm512_mul_pd(broadcast(axs), vbs)),
                      broadcast(iax)),
        vibs);
    const __m512d y_bound = _mm512_mul_pd(
        _mm512_mul_pd(_mm512_add_pd(_mm512_maskz_loadu_pd(valid, by + q),
                                    _mm512_mul_pd(broadcast(ays), vbs)),
                      broadcast(iay)),
        vibs);
    const __mmask8 skip = _mm512_cmp_pd_mask(x_bound, one, _CMP_LT_OQ) &
                          _mm512_cmp_pd_mask(y_bound, one, _CMP_LT_OQ) &
                          _mm512_cmp_pd_mask(_mm512_mul_pd(x_bound, y_bound), vlimit, _CMP_LT_OQ);
    mask |= uint64_t{static_cast<uint8_t>(~skip & valid)} << q;
  }
  return mask;
}

uint32_t first_order_mask(const FirstOrderLanes& lanes, double xs, double ax, const double* ys,
                          const double* ay) {
  return avx512_filters ? first_order_mask_avx512(lanes, xs, ax, ys, ay)
                        : first_order_mask_plain(lanes, xs, ax, ys, ay);
}

// n <= bound_block elements from the given starts.
uint32_t second_order_mask(double fxy, const double* cx, const double* cy, const double* cs,
                           const double* ia, double cxs, double cys, double iax, double iay,
                           double bound, int32_t n) {
  return avx512_filters
             ? second_order_mask_avx512(fxy, cx, cy, cs, ia, cxs, cys, iax, iay, bound, n)
             : second_order_mask_plain(fxy, cx, cy, cs, ia, cxs, cys, iax, iay, bound, n);
}

// n <= 64 blocks from the given starts.
uint64_t block_mask(const double* bx, const double* by, const double* bs, const double* ibs,
                    double axs, double ays, double iax, double iay, double limit, int32_t n) {
  return avx512_filters ? block_mask_avx512(bx, by, bs, ibs, axs, ays, iax, iay, limit, n)
                        : block_mask_plain(bx, by, bs, ibs, axs, ays, iax, iay, limit, n);
}

}  // namespace

bool use_plain_filters(bool plain) {
  const bool was_avx512 = avx512_filters;
  avx512_filters = !plain && __builtin_cpu_supports("avx512f");
  return was_avx512;
}

void block_bounds(const double* row, int32_t self, int32_t V, double* bounds) {
  for (int32_t b = 0; b * bound_block < V; ++b) {
    double largest = 0;
    const int32_t end = std::min(V, (b + 1) * bound_block);
    for (int32_t t = b * bound_block; t < end; ++t) {
      const double magnitude = std::fabs(row[t]);
      if (t != self && magnitude > largest) largest = magnitude;
    }
    bounds[b] = largest;
  }
}

double merge_first_order(const double* cx, const double* cy, double cxy, int32_t x, int32_t y,
                         int32_t s0, int32_t s1, double c) {
  double bound = first_order_bound(c);
  for (int32_t s = s0; s < s1; ++s) {
    if (s == x || s == y || bound == -HUGE_VAL) continue;
    if (!first_order_may_replace(cxy, cx[s], cy[s], 1 - cx[s] * cx[s], 1 - cy[s] * cy[s], bound))
      continue;
    const double f = partial_coefficient(cxy, cx[s], cy[s]);
    if (std::fabs(c) > std::fabs(f)) {
      c = f;
      bound = first_order_bound(c);
    }
  }
  return c;
}

void set_first_order_lane(FirstOrderLanes& lanes, int32_t j, double cxy, double c) {
  lanes.cxy[j] = cxy;
  lanes.c[j] = c;
  lanes.bound[j] = first_order_bound(c);
}

void skip_first_order_lane(FirstOrderLanes& lanes, int32_t j) {
  lanes.cxy[j] = 0;
  lanes.c[j] = 0;
  lanes.bound[j] = -HUGE_VAL;
}

void merge_first_order_lanes(FirstOrderLanes& lanes, const double* cx, const double* ys,
                             const double* ay, int32_t x, int32_t y0, int32_t s0, int32_t s1) {
  constexpr int32_t n = first_order_lanes;
  for (int32_t s = s0; s < s1; ++s) {
    if (s == x) continue;
    const double xs = cx[s];
    const double* ys_s = ys + static_cast<size_t>(s - s0) * n;
    const double* ay_s = ay + static_cast<size_t>(s - s0) * n;
    for (uint32_t mask = first_order_mask(lanes, xs, 1 - xs * xs, ys_s, ay_s); mask != 0;
         mask &= mask - 1) {
      const int32_t j = __builtin_ctz(mask);
      if (lanes.bound[j] == -HUGE_VAL || y0 + j == s) continue;
      const double f = partial_coefficient(lanes.cxy[j], xs, ys_s[j]);
      if (std::fabs(lanes.c[j]) > std::fabs(f)) {
        lanes.c[j] = f;
        lanes.bound[j] = first_order_bound(f);
      }
    }
  }
}

double merge_second_order(const SecondOrderInputs& in, double fxy, double c) {
  // With fxy infinite or NaN every coefficient of this control is too.
  if (!std::isfinite(fxy)) return c;
  if (!(std::fabs(c) >= in.threshold)) return c;
  const double* cx = in.cx;
  const double* cy = in.cy;
  const double* cs = in.cs;
  const double* ia = in.inverse_root_a;
  const double cxs = cx[in.s], cys = cy[in.s];
  const double iax = ia[in.x], iay = ia[in.y];
  double bound = c * c * (1 + margin);

  const int32_t blocks = (in.V + bound_block - 1) / bound_block;
  for (int32_t b0 = (in.s + 1) / bound_block; b0 < blocks; b0 += blocks_per_pass) {
    // A bound or filter from an earlier, larger c only lets more through.
    for (uint64_t candidates = block_mask(in.bx + b0, in.by + b0, in.bs + b0,
                                          in.inverse_root_bs + b0, std::fabs(cxs), std::fabs(cys),
                                          iax, iay, std::fabs(fxy) - std::fabs(c) * (1 + margin),
                                          std::min(blocks_per_pass, blocks - b0));
         candidates != 0; candidates &= candidates - 1) {
      const int32_t block = b0 + __builtin_ctzll(candidates);
      const int32_t t0 = std::max(block * bound_block, in.s + 1);
      const int32_t t1 = std::min((block + 1) * bound_block, in.V);
      uint32_t mask = (uint32_t{1} << (t1 - t0)) - 1;
      if (bound >= smallest_bound)
        mask = second_order_mask(fxy, cx + t0, cy + t0, cs + t0, ia + t0, cxs, cys, iax, iay,
                                 bound, t1 - t0);
      for (; mask != 0; mask &= mask - 1) {
        const int32_t t = t0 + __builtin_ctz(mask);
        if (t == in.x || t == in.y) continue;
        const double fxt = partial_coefficient(cx[t], cxs, cs[t]);
        const double fyt = partial_coefficient(cy[t], cys, cs[t]);
        const double g = partial_coefficient(fxy, fxt, fyt);
        if (std::fabs(c) > std::fabs(g)) {
          c = g;
          if (!(std::fabs(c) >= in.threshold)) return c;
          bound = c * c * (1 + margin);
        }
      }
    }
  }
  return c;
}

}  // namespace quorvin
