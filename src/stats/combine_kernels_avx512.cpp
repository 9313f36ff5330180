// The combined search's hot loops with AVX-512 filters. This file is
// compiled for AVX-512 and only called where the CPU has it.
#include <immintrin.h>

#include <algorithm>

#include "stats/combine_filters.h"

namespace quorvin {
namespace avx512 {
namespace {

// Each operation is the one of the plain filter, in the same order; a
// comparison with NaN is false.

__m512d broadcast(double v) { return _mm512_set1_pd(v); }

uint32_t first_order_mask(const FirstOrderLanes& lanes, double xs, double ax, const double* ys,
                          const double* ay) {
  const __m512d vxs = broadcast(xs), vax = broadcast(ax), small = broadcast(smallest_square);
  uint32_t mask = 0;
  for (int32_t q = 0; q < first_order_lanes; q += 8) {
    const __m512d num = _mm512_sub_pd(_mm512_loadu_pd(lanes.cxy + q),
                                      _mm512_mul_pd(vxs, _mm512_loadu_pd(ys + q)));
    const __m512d square = _mm512_mul_pd(num, num);
    const __m512d limit = _mm512_mul_pd(_mm512_loadu_pd(lanes.bound + q),
                                        _mm512_mul_pd(_mm512_loadu_pd(ay + q), vax));
    const __mmask8 skip = _mm512_cmp_pd_mask(square, limit, _CMP_GT_OQ) &
                          _mm512_cmp_pd_mask(square, small, _CMP_GT_OQ);
    mask |= uint32_t{static_cast<uint8_t>(~skip)} << q;
  }
  return mask;
}

// n <= 8 elements from the given starts.
uint32_t second_order_mask(double fxy, const double* cx, const double* cy, const double* cs,
                           const double* ia, double cxs, double cys, double iax, double iay,
                           double bound, int32_t n) {
  const __mmask8 valid = static_cast<__mmask8>((1u << n) - 1);
  const __m512d one = broadcast(1.0), trusted = broadcast(smallest_one_minus_square),
                small = broadcast(smallest_square);
  const __m512d cst = _mm512_maskz_loadu_pd(valid, cs), iat = _mm512_maskz_loadu_pd(valid, ia);
  const __m512d fx = _mm512_mul_pd(
      _mm512_mul_pd(
          _mm512_sub_pd(_mm512_maskz_loadu_pd(valid, cx), _mm512_mul_pd(broadcast(cxs), cst)),
          broadcast(iax)),
      iat);
  const __m512d fy = _mm512_mul_pd(
      _mm512_mul_pd(
          _mm512_sub_pd(_mm512_maskz_loadu_pd(valid, cy), _mm512_mul_pd(broadcast(cys), cst)),
          broadcast(iay)),
      iat);
  const __m512d one_minus_fx2 = _mm512_sub_pd(one, _mm512_mul_pd(fx, fx));
  const __m512d one_minus_fy2 = _mm512_sub_pd(one, _mm512_mul_pd(fy, fy));
  const __m512d num = _mm512_sub_pd(broadcast(fxy), _mm512_mul_pd(fx, fy));
  const __m512d square = _mm512_mul_pd(num, num);
  const __m512d limit =
      _mm512_mul_pd(broadcast(bound), _mm512_mul_pd(one_minus_fy2, one_minus_fx2));
  const __mmask8 skip = _mm512_cmp_pd_mask(one_minus_fx2, trusted, _CMP_GT_OQ) &
                        _mm512_cmp_pd_mask(one_minus_fy2, trusted, _CMP_GT_OQ) &
                        _mm512_cmp_pd_mask(square, limit, _CMP_GT_OQ) &
                        _mm512_cmp_pd_mask(square, small, _CMP_GT_OQ);
  return static_cast<uint8_t>(~skip & valid);
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
