#include "stats/combine_kernels.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "stats/combine_filters.h"

namespace quorvin {

// The AVX-512 and AVX2 kernels, each in its own file compiled for that
// instruction set.
namespace avx512 {
extern const SearchKernels kernels;
}  // namespace avx512
namespace avx2 {
extern const SearchKernels kernels;
}  // namespace avx2

// The same kernels with plain filters, for every CPU.
namespace plain {
namespace {

uint64_t first_order_mask(const FirstOrderLanes& lanes, float xs, float x_root, const float* ys,
                          const float* ay_root) {
  uint64_t mask = 0;
  for (int32_t j = 0; j < first_order_lanes; ++j)
    if (first_order_float_may_replace(lanes.cxy_f[j], xs, ys[j], x_root, ay_root[j],
                                      lanes.bound_f[j]))
      mask |= uint64_t{1} << j;
  return mask;
}

// For t in [t0, t1), t1 - t0 <= second_order_run, and the stored value c.
uint64_t second_order_mask(const SecondOrderInputs& in, double fxy, double cxs, double cys,
                           double iax, double iay, double c, int32_t t0, int32_t t1,
                           const double* xt, const double* yt) {
  const double bound = c * c * (1 + margin);
  uint64_t mask = 0;
  for (int32_t t = t0; t < t1; ++t)
    if (second_order_may_replace(fxy, xt[t - t0], yt[t - t0], in.cs[t], inverse_root(in.cs[t]),
                                 cxs, cys, iax, iay, bound))
      mask |= uint64_t{1} << (t - t0);
  return mask;
}

bool product_masks(const SecondOrderInputs& in, int16_t cxs, int16_t cys, int16_t limit,
                   int32_t t0, int32_t t1, uint64_t* masks) {
  uint64_t any = 0;
  for (int32_t k = 0; 64 * k < t1 - t0; ++k) {
    masks[k] = 0;
    for (int32_t t = t0 + 64 * k; t < smaller(t1, t0 + 64 * (k + 1)); ++t)
      if (product_may_replace(in.cx_q[t], in.cy_q[t], in.cs_q[t], in.a_q[t], cxs, cys, limit))
        masks[k] |= uint64_t{1} << (t - t0 - 64 * k);
    any |= masks[k];
  }
  return any != 0;
}

uint64_t block_mask(const double* bx, const double* by, const double* bs, const double* ibs,
                    double axs, double ays, double iax, double iay, double limit, int32_t n) {
  uint64_t mask = 0;
  for (int32_t j = 0; j < n; ++j)
    if (block_may_replace(bx[j], by[j], bs[j], ibs[j], axs, ays, iax, iay, limit))
      mask |= uint64_t{1} << j;
  return mask;
}

int16_t largest_numerator(const int16_t* cv_q, const int16_t* cs_q, const int16_t* inverse_root_q,
                          int16_t vs, int32_t t0, int32_t t1) {
  int16_t largest = 0;
  for (int32_t t = t0; t < t1; ++t) {
    const int16_t w = scaled_numerator(cv_q[t], cs_q[t], inverse_root_q[t], vs);
    if (w > largest) largest = w;
  }
  return largest;
}

}  // namespace

#include "stats/combine_kernel_body.inc"

}  // namespace plain

bool cpu_runs(FilterSet set) {
  switch (set) {
    case FilterSet::avx512:
      return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw");
    case FilterSet::avx2: return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    case FilterSet::plain: return true;
  }
  return false;
}

const char* filter_set_name(FilterSet set) {
  switch (set) {
    case FilterSet::avx512: return "avx512";
    case FilterSet::avx2: return "avx2";
    case FilterSet::plain: break;
  }
  return "plain";
}

FilterSet best_filter_set() {
  static const FilterSet best = [] {
    const FilterSet fastest_first[] = {FilterSet::avx512, FilterSet::avx2, FilterSet::plain};
    const char* chosen = std::getenv("QUORVIN_FILTERS");
    for (FilterSet set : fastest_first)
      if (chosen != nullptr && std::strcmp(chosen, filter_set_name(set)) == 0 && cpu_runs(set))
        return set;
    for (FilterSet set : fastest_first)
      if (cpu_runs(set)) return set;
    return FilterSet::plain;
  }();
  return best;
}

namespace {
FilterSet filter_set = best_filter_set();
}  // namespace

FilterSet use_filter_set(FilterSet set) {
  const FilterSet before = filter_set;
  filter_set = set;
  return before;
}

const SearchKernels& search_kernels(FilterSet set) {
  switch (set) {
    case FilterSet::avx512: return avx512::kernels;
    case FilterSet::avx2: return avx2::kernels;
    case FilterSet::plain: break;
  }
  return plain::kernels;
}

const SearchKernels& current_kernels() { return search_kernels(filter_set); }

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

}  // namespace quorvin
