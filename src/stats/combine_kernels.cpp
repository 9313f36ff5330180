#include "stats/combine_kernels.h"

#include <cmath>

#include "stats/combine.h"

namespace quorvin {

namespace {

constexpr int lanes = 8;
// A filter skips a coefficient only when its square exceeds c^2 * (1 + margin)
// times its denominator's square: far beyond the few roundings that separate
// the filter's value from the coefficient itself.
constexpr double margin = 1e-6;
// Below these the squares could lose precision to underflow; such cases go
// through the exact path.
constexpr double smallest_square = 1e-280;
constexpr double smallest_bound = 1e-290;
// The second-order filter works from approximate first-order coefficients;
// it trusts them only well inside (-1, 1).
constexpr double smallest_one_minus_square = 1e-3;

}  // namespace

__attribute__((target_clones("avx512f", "avx2", "default")))
double merge_first_order(const double* cx, const double* cy, double cxy, int32_t x, int32_t y,
                         int32_t s0, int32_t s1, double c) {
  // A stored zero or NaN can never be replaced.
  if (!(std::fabs(c) > 0)) return c;
  double bound = c * c * (1 + margin);
  for (int32_t s = s0; s < s1;) {
    const int32_t n = s1 - s < lanes ? s1 - s : lanes;
    int maybe = 0;
    if (n == lanes && bound >= smallest_bound) {
      for (int l = 0; l < lanes; ++l) {
        const double xs = cx[s + l], ys = cy[s + l];
        const double num = cxy - xs * ys;
        const double den = (1 - ys * ys) * (1 - xs * xs);
        const double square = num * num;
        maybe |= !(square > bound * den && square > smallest_square);
      }
    } else {
      maybe = 1;
    }
    if (maybe) {
      for (int32_t t = s; t < s + n; ++t) {
        if (t == x || t == y) continue;
        const double f = partial_coefficient(cxy, cx[t], cy[t]);
        if (std::fabs(c) > std::fabs(f)) {
          c = f;
          bound = c * c * (1 + margin);
          if (!(std::fabs(c) > 0)) return c;
        }
      }
    }
    s += n;
  }
  return c;
}

__attribute__((target_clones("avx512f", "avx2", "default")))
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
  for (int32_t t = in.s + 1; t < in.V;) {
    const int32_t n = in.V - t < lanes ? in.V - t : lanes;
    int maybe = 0;
    if (n == lanes && bound >= smallest_bound) {
      for (int l = 0; l < lanes; ++l) {
        // Approximate first-order coefficients of x, t and y, t given s.
        const double fx = (cx[t + l] - cxs * cs[t + l]) * iax * ia[t + l];
        const double fy = (cy[t + l] - cys * cs[t + l]) * iay * ia[t + l];
        const double one_minus_fx2 = 1 - fx * fx;
        const double one_minus_fy2 = 1 - fy * fy;
        const double num = fxy - fx * fy;
        const double square = num * num;
        maybe |= !(one_minus_fx2 > smallest_one_minus_square &&
                   one_minus_fy2 > smallest_one_minus_square &&
                   square > bound * (one_minus_fy2 * one_minus_fx2) && square > smallest_square);
      }
    } else {
      maybe = 1;
    }
    if (maybe) {
      for (int32_t u = t; u < t + n; ++u) {
        if (u == in.x || u == in.y) continue;
        const double fxt = partial_coefficient(cx[u], cxs, cs[u]);
        const double fyt = partial_coefficient(cy[u], cys, cs[u]);
        const double g = partial_coefficient(fxy, fxt, fyt);
        if (std::fabs(c) > std::fabs(g)) {
          c = g;
          if (!(std::fabs(c) >= in.threshold)) return c;
          bound = c * c * (1 + margin);
        }
      }
    }
    t += n;
  }
  return c;
}

}  // namespace quorvin
