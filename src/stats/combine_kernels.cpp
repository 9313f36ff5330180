#include "stats/combine_kernels.h"

#include <algorithm>
#include <cmath>
#include <cstring>

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
// Coefficients filtered per pass; the flag loops are written so that the
// compiler vectorises them (bitwise & rather than &&, no early exit).
constexpr int32_t chunk = 64;

// False when the first-order coefficient of pair x, y for a control s (with
// xs = r_xs, ys = r_ys, ax = 1 - r_xs^2, ay = 1 - r_ys^2) cannot replace a
// stored value c, where bound = c^2 (1 + margin).
inline int first_order_may_replace(double cxy, double xs, double ys, double ax, double ay,
                                   double bound) {
  const double num = cxy - xs * ys;
  const double square = num * num;
  return !((square > bound * (ay * ax)) & (square > smallest_square));
}

// Whether any of n controls may give a replacement: one vectorised pass,
// since nearly every chunk of controls gives none.
inline bool any_first_order_may_replace(double cxy, const double* xs, const double* ys,
                                        const double* ax, const double* ay, double bound,
                                        int32_t n) {
  int any = 0;
  for (int32_t j = 0; j < n; ++j) any |= first_order_may_replace(cxy, xs[j], ys[j], ax[j], ay[j], bound);
  return any != 0;
}

// The same for a second-order coefficient of pair x, y controlled for s and
// t, from approximations of the first-order coefficients of x, t and y, t:
// (r_xt - r_xs r_ts) / sqrt(a_x a_t) with the square roots taken apart
// (iax ~ 1 / sqrt(a_x), iat ~ 1 / sqrt(a_t)).
inline int second_order_may_replace(double fxy, double cxt, double cyt, double cst, double iat,
                                    double cxs, double cys, double iax, double iay,
                                    double bound) {
  const double fx = (cxt - cxs * cst) * iax * iat;
  const double fy = (cyt - cys * cst) * iay * iat;
  const double one_minus_fx2 = 1 - fx * fx;
  const double one_minus_fy2 = 1 - fy * fy;
  const double num = fxy - fx * fy;
  const double square = num * num;
  return !((one_minus_fx2 > smallest_one_minus_square) &
           (one_minus_fy2 > smallest_one_minus_square) &
           (square > bound * (one_minus_fy2 * one_minus_fx2)) & (square > smallest_square));
}

// Index of the next set flag at or after j, or n.
inline int32_t next_flag(const char* flags, int32_t j, int32_t n) {
  while (j < n) {
    if (j % 8 == 0 && j + 8 <= n) {
      uint64_t word;
      std::memcpy(&word, flags + j, sizeof word);
      if (word == 0) {
        j += 8;
        continue;
      }
    }
    if (flags[j]) return j;
    ++j;
  }
  return n;
}

}  // namespace

__attribute__((target_clones("avx512f", "avx2", "default")))
double merge_first_order(const FirstOrderInputs& in, int32_t s0, int32_t s1, double c) {
  // A stored zero or NaN can never be replaced.
  if (!(std::fabs(c) > 0)) return c;
  double bound = c * c * (1 + margin);
  // Controls x and y give no coefficient; leaving them out of the filtered
  // ranges spares the filter two certain false alarms.
  const int32_t cuts[3] = {in.x, in.y, s1};
  for (int32_t part = 0, begin = s0; part < 3; begin = std::max(begin, cuts[part] + 1), ++part) {
    const int32_t end = std::min(s1, cuts[part]);
    for (int32_t s = begin; s < end; s += chunk) {
      const int32_t n = std::min(chunk, end - s);
      const bool filter = bound >= smallest_bound;
      if (filter &&
          !any_first_order_may_replace(in.cxy, in.cx + s, in.cy + s, in.ax + s, in.ay + s, bound, n))
        continue;
      for (int32_t t = s; t < s + n; ++t) {
        if (filter && !first_order_may_replace(in.cxy, in.cx[t], in.cy[t], in.ax[t], in.ay[t], bound))
          continue;
        const double f = partial_coefficient(in.cxy, in.cx[t], in.cy[t]);
        if (std::fabs(c) > std::fabs(f)) {
          c = f;
          if (!(std::fabs(c) > 0)) return c;
          bound = c * c * (1 + margin);
        }
      }
    }
  }
  return c;
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
  const double axs = std::fabs(cxs), ays = std::fabs(cys);
  double bound = c * c * (1 + margin);

  // Merges t in [begin, end) in order; false once the pair falls below the
  // pruning threshold.
  auto merge_range = [&](int32_t begin, int32_t end) {
    for (int32_t t0 = begin; t0 < end; t0 += chunk) {
      const int32_t t1 = std::min(end, t0 + chunk);
      const bool filter = bound >= smallest_bound;
      if (filter) {
        int any = 0;
        for (int32_t t = t0; t < t1; ++t)
          any |= second_order_may_replace(fxy, cx[t], cy[t], cs[t], ia[t], cxs, cys, iax, iay,
                                          bound);
        if (!any) continue;
      }
      for (int32_t t = t0; t < t1; ++t) {
        if (t == in.x || t == in.y) continue;
        if (filter &&
            !second_order_may_replace(fxy, cx[t], cy[t], cs[t], ia[t], cxs, cys, iax, iay, bound))
          continue;
        const double fxt = partial_coefficient(cx[t], cxs, cs[t]);
        const double fyt = partial_coefficient(cy[t], cys, cs[t]);
        const double g = partial_coefficient(fxy, fxt, fyt);
        if (std::fabs(c) > std::fabs(g)) {
          c = g;
          if (!(std::fabs(c) >= in.threshold)) return false;
          bound = c * c * (1 + margin);
        }
      }
    }
    return true;
  };

  // Blocks of t are passed over whole when |fxy| - max|f_xt| max|f_yt|, a
  // lower bound of every coefficient's magnitude there (the denominators are
  // at most 1), exceeds |c| with the margin. The first-order coefficients are
  // bounded from the correlations: |f_xt| <= (|r_xt| + |r_xs| |r_ts|) /
  // sqrt((1 - r_ts^2)(1 - r_xs^2)). Runs of blocks that are not passed over
  // are merged together.
  char candidate[chunk];
  const int32_t blocks = (in.V + bound_block - 1) / bound_block;
  for (int32_t b0 = (in.s + 1) / bound_block; b0 < blocks; b0 += chunk) {
    const int32_t n = std::min(chunk, blocks - b0);
    const double limit = std::fabs(fxy) - std::fabs(c) * (1 + margin);
    for (int32_t j = 0; j < n; ++j) {
      const double bs = in.bs[b0 + j], ibs = in.inverse_root_bs[b0 + j];
      const double bx = (in.bx[b0 + j] + axs * bs) * iax * ibs;
      const double by = (in.by[b0 + j] + ays * bs) * iay * ibs;
      candidate[j] = !((bx < 1) & (by < 1) & (bx * by < limit));
    }
    for (int32_t j = next_flag(candidate, 0, n); j < n; j = next_flag(candidate, j, n)) {
      int32_t run_end = j + 1;
      while (run_end < n && candidate[run_end]) ++run_end;
      const int32_t begin = std::max((b0 + j) * bound_block, in.s + 1);
      const int32_t end = std::min((b0 + run_end) * bound_block, in.V);
      if (!merge_range(begin, end)) return c;
      j = run_end;
    }
  }
  return c;
}

}  // namespace quorvin
