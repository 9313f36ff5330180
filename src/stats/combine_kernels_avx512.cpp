// The combined search's hot loops with AVX-512 filters. This file is
// compiled for AVX-512 and only called where the CPU has it.
#include <immintrin.h>

#include "stats/combine_filters.h"

namespace quorvin {
namespace avx512 {
namespace {

// Each operation is the one of the plain filter, in the same order; a
// comparison with NaN is false.

__m512d broadcast(double v) { return _mm512_set1_pd(v); }

uint64_t first_order_mask(const FirstOrderLanes& lanes, float xs, float ax, const float* ys,
                          const float* ay) {
  const __m512 vxs = _mm512_set1_ps(xs), vax = _mm512_set1_ps(ax);
  const __m512 slack = _mm512_set1_ps(float_slack), two_slack = _mm512_set1_ps(2 * float_slack);
  const __m512 zero = _mm512_setzero_ps();
  const __mmask16 ax_trusted = _mm512_cmp_ps_mask(vax, two_slack, _CMP_GT_OQ);
  const __m512 ax_high = _mm512_add_ps(vax, slack);
  uint64_t mask = 0;
  for (int32_t q = 0; q < first_order_lanes; q += 16) {
    const __m512 vay = _mm512_loadu_ps(ay + q);
    const __m512 low = _mm512_sub_ps(
        _mm512_abs_ps(_mm512_sub_ps(_mm512_loadu_ps(lanes.cxy_f + q),
                                    _mm512_mul_ps(vxs, _mm512_loadu_ps(ys + q)))),
        slack);
    const __m512 limit = _mm512_mul_ps(_mm512_loadu_ps(lanes.bound_f + q),
                                       _mm512_mul_ps(_mm512_add_ps(vay, slack), ax_high));
    const __mmask16 skip = _mm512_cmp_ps_mask(low, zero, _CMP_GT_OQ) & ax_trusted &
                           _mm512_cmp_ps_mask(vay, two_slack, _CMP_GT_OQ) &
                           _mm512_cmp_ps_mask(_mm512_mul_ps(low, low), limit, _CMP_GT_OQ);
    mask |= uint64_t{static_cast<uint16_t>(~skip)} << q;
  }
  return mask;
}

// n <= 16 elements from the given starts, in single precision;
// bound = c^2 (1 + single_margin).
uint32_t second_order_mask(float fxy, const float* cx, const float* cy, const float* cs,
                           const float* ia, float cxs, float cys, float iax, float iay, float bound,
                           int32_t n) {
  const __mmask16 valid = static_cast<__mmask16>((1u << n) - 1);
  const __m512 one = _mm512_set1_ps(1), slack = _mm512_set1_ps(single_slack);
  const __m512 trusted = _mm512_set1_ps(static_cast<float>(smallest_one_minus_square) + single_slack);
  const __m512 largest_scale = _mm512_set1_ps(single_largest_scale);
  const __m512 cst = _mm512_maskz_loadu_ps(valid, cs), iat = _mm512_maskz_loadu_ps(valid, ia);
  const __m512 x_scale = _mm512_mul_ps(_mm512_set1_ps(iax), iat);
  const __m512 y_scale = _mm512_mul_ps(_mm512_set1_ps(iay), iat);
  const __m512 fx = _mm512_mul_ps(
      _mm512_sub_ps(_mm512_maskz_loadu_ps(valid, cx), _mm512_mul_ps(_mm512_set1_ps(cxs), cst)),
      x_scale);
  const __m512 fy = _mm512_mul_ps(
      _mm512_sub_ps(_mm512_maskz_loadu_ps(valid, cy), _mm512_mul_ps(_mm512_set1_ps(cys), cst)),
      y_scale);
  const __m512 one_minus_fx2 = _mm512_sub_ps(one, _mm512_mul_ps(fx, fx));
  const __m512 one_minus_fy2 = _mm512_sub_ps(one, _mm512_mul_ps(fy, fy));
  const __m512 low = _mm512_sub_ps(
      _mm512_abs_ps(_mm512_sub_ps(_mm512_set1_ps(fxy), _mm512_mul_ps(fx, fy))), slack);
  const __m512 limit =
      _mm512_mul_ps(_mm512_set1_ps(bound), _mm512_mul_ps(_mm512_add_ps(one_minus_fy2, slack),
                                                         _mm512_add_ps(one_minus_fx2, slack)));
  const __mmask16 skip = _mm512_cmp_ps_mask(x_scale, largest_scale, _CMP_LE_OQ) &
                         _mm512_cmp_ps_mask(y_scale, largest_scale, _CMP_LE_OQ) &
                         _mm512_cmp_ps_mask(one_minus_fx2, trusted, _CMP_GT_OQ) &
                         _mm512_cmp_ps_mask(one_minus_fy2, trusted, _CMP_GT_OQ) &
                         _mm512_cmp_ps_mask(low, _mm512_setzero_ps(), _CMP_GT_OQ) &
                         _mm512_cmp_ps_mask(_mm512_mul_ps(low, low), limit, _CMP_GT_OQ);
  return static_cast<uint16_t>(~skip & valid);
}

// For t in [t0, t1), t1 - t0 <= bound_block, and the stored value c.
uint32_t second_order_mask(const SecondOrderInputs& in, double fxy, double cxs, double cys,
                           double iax, double iay, double c, int32_t t0, int32_t t1) {
  // The slacks assume |fxy| of order 1; a larger one is not filtered.
  if (!(std::fabs(fxy) <= single_largest_coefficient)) return first_bits(t1 - t0);
  const float bound = static_cast<float>(c * c * (1 + single_margin));
  uint32_t mask = 0;
  for (int32_t t = t0; t < t1; t += 16)
    mask |= second_order_mask(static_cast<float>(fxy), in.cx_f + t, in.cy_f + t, in.cs_f + t,
                              in.inverse_root_a_f + t, static_cast<float>(cxs),
                              static_cast<float>(cys), static_cast<float>(iax),
                              static_cast<float>(iay), bound, smaller(16, t1 - t))
            << (t - t0);
  return mask;
}

// n <= 64 blocks from the given starts.
uint64_t block_mask(const double* bx, const double* by, const double* bs, const double* ibs,
                    double axs, double ays, double iax, double iay, double limit, int32_t n) {
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

}  // namespace

#include "stats/combine_kernel_body.inc"

}  // namespace avx512
}  // namespace quorvin
