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

uint64_t first_order_mask(const FirstOrderLanes& lanes, float xs, float x_root, const float* ys,
                          const float* ay_root) {
  if (!(x_root > smallest_first_order_root)) return ~uint64_t{0};
  const __m512 vxs = _mm512_set1_ps(xs), slack = _mm512_set1_ps(float_slack);
  const __m512 ax_root = _mm512_set1_ps(x_root);
  uint64_t mask = 0;
  for (int32_t q = 0; q < first_order_lanes; q += 16) {
    const __m512 low =
        _mm512_sub_ps(_mm512_abs_ps(_mm512_sub_ps(_mm512_loadu_ps(lanes.cxy_f + q),
                                                  _mm512_mul_ps(vxs, _mm512_loadu_ps(ys + q)))),
                      slack);
    const __m512 limit = _mm512_mul_ps(_mm512_loadu_ps(lanes.bound_f + q),
                                       _mm512_mul_ps(_mm512_loadu_ps(ay_root + q), ax_root));
    const __mmask16 skip = _mm512_cmp_ps_mask(low, limit, _CMP_GT_OQ);
    mask |= uint64_t{static_cast<uint16_t>(~skip)} << q;
  }
  return mask;
}

// Sixteen correlations of a row from t, as floats, those outside valid 0.
// (The maskz forms keep g++ 12 from warning about the plain ones' undefined
// source.)
__m512 floats_of(const double* row, int32_t t, __mmask16 valid) {
  const __m256 low =
      _mm512_maskz_cvtpd_ps(0xFF, _mm512_maskz_loadu_pd(static_cast<__mmask8>(valid), row + t));
  const __m256 high = _mm512_maskz_cvtpd_ps(
      0xFF, _mm512_maskz_loadu_pd(static_cast<__mmask8>(valid >> 8), row + t + 8));
  const __m512i halves = _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 16, 17, 18, 19, 20, 21, 22, 23);
  return _mm512_permutex2var_ps(_mm512_castps256_ps512(low), halves, _mm512_castps256_ps512(high));
}

// For t in [t0, t1), t1 - t0 <= second_order_run, and the stored value c.
uint64_t second_order_mask(const SecondOrderInputs& in, double fxy, double cxs, double cys,
                           double iax, double iay, double c, int32_t t0, int32_t t1,
                           const double* xt, const double* yt) {
  // The slacks assume |fxy| of order 1; a larger one is not filtered.
  if (!(std::fabs(fxy) <= single_largest_coefficient)) return first_bits(t1 - t0);
  const __m512 bound = _mm512_set1_ps(single_bound(c)), one = _mm512_set1_ps(1);
  const __m512 slack = _mm512_set1_ps(single_slack), trusted = _mm512_set1_ps(single_trusted);
  const __m512 vfxy = _mm512_set1_ps(static_cast<float>(fxy));
  const __m512 vcxs = _mm512_set1_ps(static_cast<float>(cxs));
  const __m512 vcys = _mm512_set1_ps(static_cast<float>(cys));
  const __m512 viax = _mm512_set1_ps(static_cast<float>(iax));
  const __m512 viay = _mm512_set1_ps(static_cast<float>(iay));
  const __m512 largest_iat = _mm512_set1_ps(single_largest_iat(iax, iay));
  uint64_t mask = 0;
  for (int32_t t = t0; t < t1; t += 16) {
    const __mmask16 valid = static_cast<__mmask16>(first_bits(smaller(16, t1 - t)));
    const __m512 cst = floats_of(in.cs, t, valid);
    const __m512 iat = _mm512_maskz_loadu_ps(valid, in.inverse_root_a_f + t);
    const __m512 fx = _mm512_mul_ps(_mm512_fnmadd_ps(vcxs, cst, floats_of(xt, t - t0, valid)),
                                    _mm512_mul_ps(viax, iat));
    const __m512 fy = _mm512_mul_ps(_mm512_fnmadd_ps(vcys, cst, floats_of(yt, t - t0, valid)),
                                    _mm512_mul_ps(viay, iat));
    const __m512 one_minus_fx2 = _mm512_fnmadd_ps(fx, fx, one);
    const __m512 one_minus_fy2 = _mm512_fnmadd_ps(fy, fy, one);
    // A NaN anywhere makes limit NaN, and the lane is let through. (The
    // maskz forms keep g++ 12 from warning about the plain ones' undefined
    // source.)
    const __m512 low = _mm512_maskz_max_ps(
        0xFFFF, _mm512_sub_ps(_mm512_abs_ps(_mm512_fnmadd_ps(fx, fy, vfxy)), slack),
        _mm512_setzero_ps());
    const __m512 limit = _mm512_mul_ps(bound, _mm512_mul_ps(one_minus_fx2, one_minus_fy2));
    const __mmask16 skip =
        _mm512_cmp_ps_mask(iat, largest_iat, _CMP_LE_OQ) &
        _mm512_cmp_ps_mask(_mm512_maskz_min_ps(0xFFFF, one_minus_fx2, one_minus_fy2), trusted,
                           _CMP_GT_OQ) &
        _mm512_cmp_ps_mask(_mm512_mul_ps(low, low), limit, _CMP_GT_OQ);
    mask |= static_cast<uint64_t>(static_cast<uint16_t>(~skip & valid)) << (t - t0);
  }
  return mask;
}

bool product_masks(const SecondOrderInputs& in, int16_t cxs, int16_t cys, int16_t limit, int32_t t0,
                   int32_t t1, uint64_t* masks) {
  const __m512i vcxs = _mm512_set1_epi16(cxs), vcys = _mm512_set1_epi16(cys);
  const __m512i vlimit = _mm512_set1_epi16(limit), slack = _mm512_set1_epi16(product_slack);
  uint64_t any = 0;
  for (int32_t k = 0; 64 * k < t1 - t0; ++k) {
    uint64_t mask = 0;
    for (int32_t j = 0, start = t0 + 64 * k; j < 64 && start + j < t1; j += 32) {
      const int32_t t = start + j;
      const __mmask32 valid = static_cast<__mmask32>(first_bits(smaller(32, t1 - t)));
      const __m512i cst = _mm512_maskz_loadu_epi16(valid, in.cs_q + t);
      const __m512i nx = _mm512_subs_epi16(_mm512_maskz_loadu_epi16(valid, in.cx_q + t),
                                           _mm512_mulhrs_epi16(vcxs, cst));
      const __m512i ny = _mm512_subs_epi16(_mm512_maskz_loadu_epi16(valid, in.cy_q + t),
                                           _mm512_mulhrs_epi16(vcys, cst));
      const __m512i room = _mm512_subs_epi16(
          _mm512_mulhrs_epi16(vlimit, _mm512_maskz_loadu_epi16(valid, in.a_q + t)), slack);
      const __mmask32 pass =
          _mm512_cmpgt_epi16_mask(_mm512_abs_epi16(_mm512_mulhrs_epi16(nx, ny)), room);
      mask |= static_cast<uint64_t>(pass & valid) << j;
    }
    masks[k] = mask;
    any |= mask;
  }
  return any != 0;
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
        _mm512_mul_pd(
            _mm512_add_pd(_mm512_maskz_loadu_pd(valid, bx + q), _mm512_mul_pd(broadcast(axs), vbs)),
            broadcast(iax)),
        vibs);
    const __m512d y_bound = _mm512_mul_pd(
        _mm512_mul_pd(
            _mm512_add_pd(_mm512_maskz_loadu_pd(valid, by + q), _mm512_mul_pd(broadcast(ays), vbs)),
            broadcast(iay)),
        vibs);
    const __mmask8 skip = _mm512_cmp_pd_mask(x_bound, one, _CMP_LT_OQ) &
                          _mm512_cmp_pd_mask(y_bound, one, _CMP_LT_OQ) &
                          _mm512_cmp_pd_mask(_mm512_mul_pd(x_bound, y_bound), vlimit, _CMP_LT_OQ);
    mask |= uint64_t{static_cast<uint8_t>(~skip & valid)} << q;
  }
  return mask;
}

int16_t largest_numerator(const int16_t* cv_q, const int16_t* cs_q, const int16_t* inverse_root_q,
                          int16_t vs, int32_t t0, int32_t t1) {
  const __m512i vvs = _mm512_set1_epi16(vs);
  __m512i largest = _mm512_setzero_si512();
  for (int32_t t = t0; t < t1; t += 32) {
    // Lanes past t1 load zeros, whose w is 0.
    const __mmask32 valid = static_cast<__mmask32>(first_bits(smaller(32, t1 - t)));
    const __m512i n =
        _mm512_subs_epi16(_mm512_maskz_loadu_epi16(valid, cv_q + t),
                          _mm512_mulhrs_epi16(vvs, _mm512_maskz_loadu_epi16(valid, cs_q + t)));
    largest = _mm512_max_epi16(
        largest, _mm512_mulhrs_epi16(_mm512_abs_epi16(n),
                                     _mm512_maskz_loadu_epi16(valid, inverse_root_q + t)));
  }
  alignas(64) int16_t lanes[32];
  _mm512_store_si512(lanes, largest);
  int16_t result = 0;
  for (int16_t lane : lanes) result = lane > result ? lane : result;
  return result;
}

}  // namespace

#include "stats/combine_kernel_body.inc"

}  // namespace avx512
}  // namespace quorvin
