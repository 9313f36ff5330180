#include "stats/combine_kernels.h"

#include <algorithm>

#include "stats/combine_filters.h"

namespace quorvin {

// The AVX-512 and AVX2 kernels, each in its own file compiled for that
// instruction set.
namespace avx512 {
void merge_first_order_lanes(FirstOrderLanes& lanes, const double* cx, const double* ys,
                             const float* ys_f, const float* ay_f, int32_t x, int32_t y0,
                             int32_t s0, int32_t s1);
double merge_second_order(const SecondOrderInputs& in, double fxy, double c);
}  // namespace avx512
namespace avx2 {
void merge_first_order_lanes(FirstOrderLanes& lanes, const double* cx, const double* ys,
                             const float* ys_f, const float* ay_f, int32_t x, int32_t y0,
                             int32_t s0, int32_t s1);
double merge_second_order(const SecondOrderInputs& in, double fxy, double c);
}  // namespace avx2

// The same kernels with plain filters, for every CPU.
namespace plain {
namespace {

uint64_t first_order_mask(const FirstOrderLanes& lanes, float xs, float ax, const float* ys,
                          const float* ay) {
  uint64_t mask = 0;
  for (int32_t j = 0; j < first_order_lanes; ++j)
    if (first_order_float_may_replace(lanes.cxy_f[j], xs, ys[j], ax, ay[j], lanes.bound_f[j]))
      mask |= uint64_t{1} << j;
  return mask;
}

// For t in [t0, t1), t1 - t0 <= 32, and the stored value c.
uint32_t second_order_mask(const SecondOrderInputs& in, double fxy, double cxs, double cys,
                           double iax, double iay, double c, int32_t t0, int32_t t1) {
  const double bound = c * c * (1 + margin);
  uint32_t mask = 0;
  for (int32_t t = t0; t < t1; ++t)
    if (second_order_may_replace(fxy, in.cx[t], in.cy[t], in.cs[t], in.inverse_root_a[t], cxs, cys,
                                 iax, iay, bound))
      mask |= uint32_t{1} << (t - t0);
  return mask;
}

uint64_t block_mask(const double* bx, const double* by, const double* bs, const double* ibs,
                    double axs, double ays, double iax, double iay, double limit, int32_t n) {
  uint64_t mask = 0;
  for (int32_t j = 0; j < n; ++j)
    if (block_may_replace(bx[j], by[j], bs[j], ibs[j], axs, ays, iax, iay, limit))
      mask |= uint64_t{1} << j;
  return mask;
}

}  // namespace

#include "stats/combine_kernel_body.inc"

}  // namespace plain

FilterSet best_filter_set() {
  if (__builtin_cpu_supports("avx512f")) return FilterSet::avx512;
  if (__builtin_cpu_supports("avx2")) return FilterSet::avx2;
  return FilterSet::plain;
}

namespace {
FilterSet filter_set = best_filter_set();
}  // namespace

FilterSet use_filter_set(FilterSet set) {
  const FilterSet before = filter_set;
  filter_set = set;
  return before;
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

void merge_first_order_lanes(FirstOrderLanes& lanes, const double* cx, const double* ys,
                             const float* ys_f, const float* ay_f, int32_t x, int32_t y0,
                             int32_t s0, int32_t s1) {
  switch (filter_set) {
    case FilterSet::avx512:
      return avx512::merge_first_order_lanes(lanes, cx, ys, ys_f, ay_f, x, y0, s0, s1);
    case FilterSet::avx2:
      return avx2::merge_first_order_lanes(lanes, cx, ys, ys_f, ay_f, x, y0, s0, s1);
    case FilterSet::plain:
      break;
  }
  plain::merge_first_order_lanes(lanes, cx, ys, ys_f, ay_f, x, y0, s0, s1);
}

double merge_second_order(const SecondOrderInputs& in, double fxy, double c) {
  switch (filter_set) {
    case FilterSet::avx512:
      return avx512::merge_second_order(in, fxy, c);
    case FilterSet::avx2:
      return avx2::merge_second_order(in, fxy, c);
    case FilterSet::plain:
      break;
  }
  return plain::merge_second_order(in, fxy, c);
}

}  // namespace quorvin
