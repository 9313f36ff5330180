// The combined search's hot loops with AVX2 filters, for CPUs that have AVX2
// and FMA but not AVX-512. This file is compiled for them and only called
// where the CPU has both. The filters are those of the AVX-512 file, eight
// floats, sixteen 16-bit integers or four doubles at a time.
#include <immintrin.h>

#include "stats/combine_filters.h"

namespace quorvin {
namespace avx2 {
namespace {

__m256 abs_ps(__m256 v) { return _mm256_andnot_ps(_mm256_set1_ps(-0.0f), v); }

uint64_t first_order_mask(const FirstOrderLanes& lanes, float xs, float x_root, const float* ys,
                          const float* ay_root) {
  if (!(x_root > smallest_first_order_root)) return ~uint64_t{0};
  const __m256 vxs = _mm256_set1_ps(xs), slack = _mm256_set1_ps(float_slack);
  const __m256 ax_root = _mm256_set1_ps(x_root);
  uint64_t mask = 0;
  for (int32_t q = 0; q < first_order_lanes; q += 8) {
    const __m256 low =
        _mm256_sub_ps(abs_ps(_mm256_sub_ps(_mm256_loadu_ps(lanes.cxy_f + q),
                                           _mm256_mul_ps(vxs, _mm256_loadu_ps(ys + q)))),
                      slack);
    const __m256 limit = _mm256_mul_ps(_mm256_loadu_ps(lanes.bound_f + q),
                                       _mm256_mul_ps(_mm256_loadu_ps(ay_root + q), ax_root));
    const __m256 skip = _mm256_cmp_ps(low, limit, _CMP_GT_OQ);
    mask |= uint64_t{static_cast<uint8_t>(~_mm256_movemask_ps(skip))} << q;
  }
  return mask;
}

// Eight correlations of a row from t, as floats; only the first n of them
// when n < 8, as the row may end there.
__m256 floats_of(const double* row, int32_t t, int32_t n) {
  if (n >= 8)
    return _mm256_set_m128(_mm256_cvtpd_ps(_mm256_loadu_pd(row + t + 4)),
                           _mm256_cvtpd_ps(_mm256_loadu_pd(row + t)));
  const __m256i lanes = _mm256_setr_epi64x(0, 1, 2, 3);
  const __m256i low = _mm256_cmpgt_epi64(_mm256_set1_epi64x(n), lanes);
  const __m256i high = _mm256_cmpgt_epi64(_mm256_set1_epi64x(n - 4), lanes);
  return _mm256_set_m128(_mm256_cvtpd_ps(_mm256_maskload_pd(row + t + 4, high)),
                         _mm256_cvtpd_ps(_mm256_maskload_pd(row + t, low)));
}

// For t in [t0, t1), t1 - t0 <= second_order_run, and the stored value c.
uint64_t second_order_mask(const SecondOrderInputs& in, double fxy, double cxs, double cys,
                           double iax, double iay, double c, int32_t t0, int32_t t1,
                           const double* xt, const double* yt) {
  // The slacks assume |fxy| of order 1; a larger one is not filtered.
  if (!(std::fabs(fxy) <= single_largest_coefficient)) return first_bits(t1 - t0);
  const __m256 bound = _mm256_set1_ps(single_bound(c)), one = _mm256_set1_ps(1);
  const __m256 slack = _mm256_set1_ps(single_slack), trusted = _mm256_set1_ps(single_trusted);
  const __m256 vfxy = _mm256_set1_ps(static_cast<float>(fxy));
  const __m256 vcxs = _mm256_set1_ps(static_cast<float>(cxs));
  const __m256 vcys = _mm256_set1_ps(static_cast<float>(cys));
  const __m256 viax = _mm256_set1_ps(static_cast<float>(iax));
  const __m256 viay = _mm256_set1_ps(static_cast<float>(iay));
  const __m256 largest_iat = _mm256_set1_ps(single_largest_iat(iax, iay));
  uint64_t mask = 0;
  for (int32_t t = t0; t < t1; t += 8) {
    const int32_t n = t1 - t;
    const __m256 cst = floats_of(in.cs, t, n);
    const __m256 iat = _mm256_loadu_ps(in.inverse_root_a_f + t);
    const __m256 fx = _mm256_mul_ps(_mm256_fnmadd_ps(vcxs, cst, floats_of(xt, t - t0, n)),
                                    _mm256_mul_ps(viax, iat));
    const __m256 fy = _mm256_mul_ps(_mm256_fnmadd_ps(vcys, cst, floats_of(yt, t - t0, n)),
                                    _mm256_mul_ps(viay, iat));
    const __m256 one_minus_fx2 = _mm256_fnmadd_ps(fx, fx, one);
    const __m256 one_minus_fy2 = _mm256_fnmadd_ps(fy, fy, one);
    // A NaN anywhere makes limit NaN, and the lane is let through.
    const __m256 low = _mm256_max_ps(_mm256_sub_ps(abs_ps(_mm256_fnmadd_ps(fx, fy, vfxy)), slack),
                                     _mm256_setzero_ps());
    const __m256 limit = _mm256_mul_ps(bound, _mm256_mul_ps(one_minus_fx2, one_minus_fy2));
    __m256 skip = _mm256_cmp_ps(iat, largest_iat, _CMP_LE_OQ);
    skip = _mm256_and_ps(
        skip, _mm256_cmp_ps(_mm256_min_ps(one_minus_fx2, one_minus_fy2), trusted, _CMP_GT_OQ));
    skip = _mm256_and_ps(skip, _mm256_cmp_ps(_mm256_mul_ps(low, low), limit, _CMP_GT_OQ));
    mask |= uint64_t{static_cast<uint8_t>(~_mm256_movemask_ps(skip))} << (t - t0);
  }
  return mask & first_bits(t1 - t0);
}

// All ones in the 16-bit lanes of t .. t+15 that the product filter lets
// through.
__m256i product_passes(const SecondOrderInputs& in, __m256i cxs, __m256i cys, __m256i limit,
                       int32_t t) {
  const auto at = [t](const int16_t* row) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(row + t));
  };
  const __m256i cst = at(in.cs_q);
  const __m256i nx = _mm256_subs_epi16(at(in.cx_q), _mm256_mulhrs_epi16(cxs, cst));
  const __m256i ny = _mm256_subs_epi16(at(in.cy_q), _mm256_mulhrs_epi16(cys, cst));
  const __m256i room =
      _mm256_subs_epi16(_mm256_mulhrs_epi16(limit, at(in.a_q)), _mm256_set1_epi16(product_slack));
  return _mm256_cmpgt_epi16(_mm256_abs_epi16(_mm256_mulhrs_epi16(nx, ny)), room);
}

// It nearly always lets nothing through, so it first only asks whether any
// lane of a word passes, and gathers the word's bits only when one does.
bool product_masks(const SecondOrderInputs& in, int16_t cxs, int16_t cys, int16_t limit, int32_t t0,
                   int32_t t1, uint64_t* masks) {
  const __m256i vcxs = _mm256_set1_epi16(cxs), vcys = _mm256_set1_epi16(cys);
  const __m256i vlimit = _mm256_set1_epi16(limit);
  const __m256i lanes = _mm256_setr_epi16(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
  uint64_t found = 0;
  for (int32_t k = 0; 64 * k < t1 - t0; ++k) {
    const int32_t start = t0 + 64 * k, n = smaller(64, t1 - start);
    __m256i any = _mm256_setzero_si256();
    int32_t j = 0;
    for (; j + 16 <= n; j += 16)
      any = _mm256_or_si256(any, product_passes(in, vcxs, vcys, vlimit, start + j));
    if (j < n) {
      const __m256i in_run =
          _mm256_cmpgt_epi16(_mm256_set1_epi16(static_cast<int16_t>(n - j)), lanes);
      any = _mm256_or_si256(
          any, _mm256_and_si256(in_run, product_passes(in, vcxs, vcys, vlimit, start + j)));
    }
    masks[k] = 0;
    if (_mm256_testz_si256(any, any)) continue;
    // Packing two vectors of 16-bit verdicts into bytes interleaves their
    // halves, which the permutation puts back in order.
    for (j = 0; j < n; j += 32) {
      const __m256i second = j + 16 < n ? product_passes(in, vcxs, vcys, vlimit, start + j + 16)
                                        : _mm256_setzero_si256();
      const __m256i bytes = _mm256_permute4x64_epi64(
          _mm256_packs_epi16(product_passes(in, vcxs, vcys, vlimit, start + j), second), 0xD8);
      masks[k] |= uint64_t{static_cast<uint32_t>(_mm256_movemask_epi8(bytes))} << j;
    }
    masks[k] &= first_bits(n);
    found |= masks[k];
  }
  return found != 0;
}

// n <= 64 blocks from the given starts.
uint64_t block_mask(const double* bx, const double* by, const double* bs, const double* ibs,
                    double axs, double ays, double iax, double iay, double limit, int32_t n) {
  const __m256d one = _mm256_set1_pd(1.0), vlimit = _mm256_set1_pd(limit);
  uint64_t mask = 0;
  for (int32_t q = 0; q < n; q += 4) {
    const __m256d vbs = _mm256_loadu_pd(bs + q);
    const __m256d vibs = _mm256_loadu_pd(ibs + q);
    const __m256d x_bound = _mm256_mul_pd(
        _mm256_mul_pd(
            _mm256_add_pd(_mm256_loadu_pd(bx + q), _mm256_mul_pd(_mm256_set1_pd(axs), vbs)),
            _mm256_set1_pd(iax)),
        vibs);
    const __m256d y_bound = _mm256_mul_pd(
        _mm256_mul_pd(
            _mm256_add_pd(_mm256_loadu_pd(by + q), _mm256_mul_pd(_mm256_set1_pd(ays), vbs)),
            _mm256_set1_pd(iay)),
        vibs);
    const __m256d skip =
        _mm256_and_pd(_mm256_and_pd(_mm256_cmp_pd(x_bound, one, _CMP_LT_OQ),
                                    _mm256_cmp_pd(y_bound, one, _CMP_LT_OQ)),
                      _mm256_cmp_pd(_mm256_mul_pd(x_bound, y_bound), vlimit, _CMP_LT_OQ));
    mask |= uint64_t{static_cast<uint8_t>(~_mm256_movemask_pd(skip) & 0xF)} << q;
  }
  return mask & first_bits(n);
}

// Two accumulators, sixteen t each, so that consecutive maxima overlap.
int16_t largest_numerator(const int16_t* cv_q, const int16_t* cs_q, const int16_t* inverse_root_q,
                          int16_t vs, int32_t t0, int32_t t1) {
  const __m256i vvs = _mm256_set1_epi16(vs);
  const auto scaled = [&](int32_t t) {
    const auto at = [t](const int16_t* row) {
      return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(row + t));
    };
    const __m256i n = _mm256_subs_epi16(at(cv_q), _mm256_mulhrs_epi16(vvs, at(cs_q)));
    return _mm256_mulhrs_epi16(_mm256_abs_epi16(n), at(inverse_root_q));
  };
  __m256i largest = _mm256_setzero_si256(), other = _mm256_setzero_si256();
  int32_t t = t0;
  for (; t + 32 <= t1; t += 32) {
    largest = _mm256_max_epi16(largest, scaled(t));
    other = _mm256_max_epi16(other, scaled(t + 16));
  }
  const __m256i lanes = _mm256_setr_epi16(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
  for (; t < t1; t += 16) {
    const __m256i in_run =
        _mm256_cmpgt_epi16(_mm256_set1_epi16(static_cast<int16_t>(smaller(16, t1 - t))), lanes);
    largest = _mm256_max_epi16(largest, _mm256_and_si256(in_run, scaled(t)));
  }
  largest = _mm256_max_epi16(largest, other);
  __m128i m = _mm_max_epi16(_mm256_castsi256_si128(largest), _mm256_extracti128_si256(largest, 1));
  m = _mm_max_epi16(m, _mm_shuffle_epi32(m, 0x4E));
  m = _mm_max_epi16(m, _mm_shuffle_epi32(m, 0xB1));
  m = _mm_max_epi16(m, _mm_shufflelo_epi16(m, 0xB1));
  return static_cast<int16_t>(_mm_extract_epi16(m, 0));
}

}  // namespace

#include "stats/combine_kernel_body.inc"

}  // namespace avx2
}  // namespace quorvin
