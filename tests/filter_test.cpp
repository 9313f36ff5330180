// The combined search's filters, each set the CPU can run, tested directly:
// the first-order and block masks against the scalar predicates they compute,
// bit for bit, and every mask against its contract on adversarial inputs
// (never passing over a coefficient that would replace the stored value)
// and on ordinary ones (passing over most that clearly cannot); and the
// visit bound's numerators against their predicate and the coefficients they
// bound.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "stats/combine.h"
#include "stats/combine_filters.h"
#include "stats/combine_kernels.h"
#include "stats/correlation.h"
#include "stats/ranks.h"
#include "support/random_data.h"

using quorvin::FilterSet;
using quorvin::SearchKernels;
using quorvin_test::Random;

namespace {

std::vector<FilterSet> runnable_sets() {
  std::vector<FilterSet> sets;
  for (FilterSet set : {FilterSet::plain, FilterSet::avx2, FilterSet::avx512})
    if (quorvin::cpu_runs(set)) sets.push_back(set);
  return sets;
}

// Correlations at and beside plus and minus 1, zeros of both signs, NaN, tiny
// and huge magnitudes, and ordinary values.
double adversarial_value(Random& random) {
  const double one_below = std::nextafter(1.0, 0.0);
  const double values[] = {1.0,    -1.0,  one_below, -one_below, 0.0,   -0.0, NAN,
                           1e-300, 1e-20, 1e20,      0.999999,   -1e-8, 0.5,  -0.25};
  return random.below(3) == 0 ? values[random.below(14)] : 2 * random.uniform() - 1;
}

// A stored value: ordinary, tiny, zero, NaN, exactly the magnitude of the
// coefficient it is compared with (which must not replace it), or just above
// it (which it must).
double stored_value_for(double coefficient, Random& random) {
  switch (random.below(7)) {
    case 6:
      return std::nextafter(std::fabs(coefficient), 2.0);
    case 0:
      return coefficient;
    case 1:
      return -coefficient;
    case 2:
      return std::nextafter(std::fabs(coefficient), 0.0);
    case 3:
      return random.below(2) ? 1e-12 : 0.0;
    case 4:
      return random.below(2) ? NAN : 1e-200;
    default:
      return 2 * random.uniform() - 1;
  }
}

// The first-order lanes of a group of pairs x, y0 + j at one control, as the
// sweep sets them up: lanes.cxy, and the correlations with the control in
// double (xs, ys) and single precision.
struct FirstOrderCase {
  quorvin::FirstOrderLanes lanes{};
  double xs = 0;
  std::vector<double> ys = std::vector<double>(quorvin::first_order_lanes);
  std::vector<float> ys_f = std::vector<float>(quorvin::first_order_lanes);
  std::vector<float> ay_root = std::vector<float>(quorvin::first_order_lanes);
};

FirstOrderCase first_order_case(Random& random) {
  FirstOrderCase k;
  k.xs = adversarial_value(random);
  for (int32_t j = 0; j < quorvin::first_order_lanes; ++j) {
    k.ys[j] = adversarial_value(random);
    k.ys_f[j] = static_cast<float>(k.ys[j]);
    k.ay_root[j] = quorvin::first_order_root(k.ys_f[j]);
    k.lanes.cxy[j] = adversarial_value(random);
    k.lanes.cxy_f[j] = static_cast<float>(k.lanes.cxy[j]);
    const double f = quorvin::partial_coefficient(k.lanes.cxy[j], k.xs, k.ys[j]);
    k.lanes.c[j] = stored_value_for(f, random);
    k.lanes.bound_f[j] = quorvin::first_order_float_bound(k.lanes.c[j]);
  }
  return k;
}

}  // namespace

TEST(Filters, FirstOrderMasksComputeTheirPredicateAndNeverDropAReplacingCoefficient) {
  Random random{2026};
  for (int round = 0; round < 3000; ++round) {
    const FirstOrderCase k = first_order_case(random);
    const float xs_f = static_cast<float>(k.xs), x_root = quorvin::first_order_root(xs_f);
    uint64_t expected = 0;
    for (int32_t j = 0; j < quorvin::first_order_lanes; ++j)
      if (quorvin::first_order_float_may_replace(k.lanes.cxy_f[j], xs_f, k.ys_f[j], x_root,
                                                 k.ay_root[j], k.lanes.bound_f[j]))
        expected |= uint64_t{1} << j;
    for (FilterSet set : runnable_sets()) {
      const uint64_t mask = quorvin::search_kernels(set).first_order_mask(
          k.lanes, xs_f, x_root, k.ys_f.data(), k.ay_root.data());
      ASSERT_EQ(mask, expected) << quorvin::filter_set_name(set) << " round " << round;
    }
    for (int32_t j = 0; j < quorvin::first_order_lanes; ++j) {
      if (expected >> j & 1) continue;
      const double f = quorvin::partial_coefficient(k.lanes.cxy[j], k.xs, k.ys[j]);
      ASSERT_FALSE(std::fabs(k.lanes.c[j]) > std::fabs(f))
          << "dropped a replacing coefficient: c " << k.lanes.c[j] << " f " << f;
    }
  }
}

TEST(Filters, BlockMasksComputeTheirPredicate) {
  Random random{7};
  for (int round = 0; round < 2000; ++round) {
    const int32_t n = 1 + random.below(64);
    // NaN past the end, which the filters would let through: their bits must
    // still be clear.
    std::vector<double> bx(n + quorvin::block_over_read, NAN), by(bx), bs(bx), ibs(bx);
    for (int32_t j = 0; j < n; ++j) {
      bx[j] = std::fabs(adversarial_value(random));
      by[j] = std::fabs(adversarial_value(random));
      bs[j] = std::fabs(adversarial_value(random));
      ibs[j] = 1 / std::sqrt(1 - bs[j] * bs[j]);
    }
    const double axs = std::fabs(adversarial_value(random)),
                 ays = std::fabs(adversarial_value(random));
    const double iax = 1 / std::sqrt(1 - axs * axs), iay = 1 / std::sqrt(1 - ays * ays);
    const double limit = adversarial_value(random);
    uint64_t expected = 0;
    for (int32_t j = 0; j < n; ++j)
      if (quorvin::block_may_replace(bx[j], by[j], bs[j], ibs[j], axs, ays, iax, iay, limit))
        expected |= uint64_t{1} << j;
    for (FilterSet set : runnable_sets())
      ASSERT_EQ(quorvin::search_kernels(set).block_mask(bx.data(), by.data(), bs.data(), ibs.data(),
                                                        axs, ays, iax, iay, limit, n),
                expected)
          << quorvin::filter_set_name(set) << " round " << round << " n " << n;
  }
}

namespace {

// A correlation matrix with everything the second-order filters read, laid
// out as the search lays it out for one control s.
struct SecondOrderCase {
  int32_t V;
  std::vector<double> r{};      // V x V
  std::vector<double> lower{};  // the rows of its lower triangle, as the search holds them
  std::vector<int16_t> r_q{};
  std::vector<double> bounds{}, inverse_root_a{}, inverse_root_bs{};
  std::vector<float> inverse_root_a_f{};
  std::vector<int16_t> a_q{};
  const double* row(int32_t v) const { return r.data() + static_cast<size_t>(v) * V; }
};

// Fills in the tables of k, whose correlations are set, for control s.
void derive_tables(SecondOrderCase& k, int32_t s) {
  const int32_t V = k.V;
  const int32_t blocks = (V + quorvin::bound_block - 1) / quorvin::bound_block;
  // Past the ends of the tables that the filters read past their last
  // element, values they would let through (NaN, or a_t = 0 for the product
  // filter): those bits must still be clear.
  for (double r : k.r) k.r_q.push_back(quorvin::quantized_correlation(r));
  for (int32_t v = 0; v < V; ++v) k.lower.insert(k.lower.end(), k.row(v), k.row(v) + v + 1);
  k.r_q.resize(k.r_q.size() + quorvin::second_order_over_read, 16384);
  k.bounds.resize(static_cast<size_t>(V) * blocks + quorvin::block_over_read, NAN);
  for (int32_t v = 0; v < V; ++v)
    quorvin::block_bounds(k.row(v), v, V, k.bounds.data() + v * blocks);
  for (int32_t v = 0; v < V; ++v) {
    const double r = k.row(s)[v];
    k.inverse_root_a.push_back(1 / std::sqrt(1 - r * r));
    k.inverse_root_a_f.push_back(static_cast<float>(k.inverse_root_a.back()));
    k.a_q.push_back(quorvin::quantized_one_minus_square(r));
  }
  for (int32_t b = 0; b < blocks; ++b) {
    const double bs = k.bounds[s * blocks + b];
    k.inverse_root_bs.push_back(1 / std::sqrt(1 - bs * bs));
  }
  k.inverse_root_a_f.resize(V + quorvin::second_order_over_read, NAN);
  // With a_t = 0 past the end the product filter lets every lane through.
  k.a_q.resize(V + quorvin::second_order_over_read, 0);
  k.inverse_root_bs.resize(blocks + quorvin::block_over_read, NAN);
}

SecondOrderCase second_order_case(int32_t V, int32_t s, bool adversarial, Random& random) {
  SecondOrderCase k{.V = V};
  k.r.assign(static_cast<size_t>(V) * V, 1.0);
  for (int32_t i = 0; i < V; ++i)
    for (int32_t j = i + 1; j < V; ++j)
      k.r[i * V + j] = k.r[j * V + i] =
          adversarial ? adversarial_value(random) : 0.7 * (2 * random.uniform() - 1);
  derive_tables(k, s);
  return k;
}

quorvin::SecondOrderInputs inputs_of(const SecondOrderCase& k, int32_t x, int32_t y, int32_t s) {
  const int32_t blocks = (k.V + quorvin::bound_block - 1) / quorvin::bound_block;
  return {.lower = k.lower.data(),
          .cs = k.row(s),
          .cxs = k.row(x)[s],
          .cys = k.row(y)[s],
          .cx_q = k.r_q.data() + x * k.V,
          .cy_q = k.r_q.data() + y * k.V,
          .cs_q = k.r_q.data() + s * k.V,
          .a_q = k.a_q.data(),
          .inverse_root_a_f = k.inverse_root_a_f.data(),
          .bx = k.bounds.data() + x * blocks,
          .by = k.bounds.data() + y * blocks,
          .bs = k.bounds.data() + s * blocks,
          .inverse_root_bs = k.inverse_root_bs.data(),
          .x = x,
          .y = y,
          .s = s,
          .V = k.V,
          .threshold = 0,
          .bound_blocks = true,
          .largest_x = -1,
          .largest_y = -1,
          .crossing_first = false};
}

// The exact second-order coefficient of x, y controlled for s and t.
double exact_coefficient(const SecondOrderCase& k, int32_t x, int32_t y, int32_t s, int32_t t,
                         double fxy) {
  const double fxt = quorvin::partial_coefficient(k.row(x)[t], k.row(x)[s], k.row(s)[t]);
  const double fyt = quorvin::partial_coefficient(k.row(y)[t], k.row(y)[s], k.row(s)[t]);
  return quorvin::partial_coefficient(fxy, fxt, fyt);
}

struct MaskCount {
  int64_t clearly_not_replacing = 0;  // |g| > 1.01 |c|, well inside (-1, 1)
  int64_t of_those_dropped = 0;
  // Where the product filter applies, coefficients whose first-order product
  // is below half its limit.
  int64_t clearly_below_product_limit = 0;
  int64_t of_those_dropped_by_product = 0;
};

// Checks every second-order and product mask of every set on pairs of k
// controlled for s: no bit past the run, and none cleared for a t whose
// coefficient would replace c.
void check_second_order_masks(const SecondOrderCase& k, int32_t s, Random& random, MaskCount& count,
                              const std::string& label) {
  const int32_t V = k.V;
  for (int32_t x = 0; x < V; ++x)
    for (int32_t y = x + 1; y < V; ++y) {
      if (x == s || y == s) continue;
      const double fxy = quorvin::partial_coefficient(k.row(x)[y], k.row(x)[s], k.row(y)[s]);
      const int32_t t_any = s + 1 + random.below(V - s - 1);
      const double c = stored_value_for(
          random.below(2) ? fxy : exact_coefficient(k, x, y, s, t_any, fxy), random);
      const quorvin::SecondOrderInputs in = inputs_of(k, x, y, s);
      const double cxs = k.row(x)[s], cys = k.row(y)[s];
      const double iax = k.inverse_root_a[x], iay = k.inverse_root_a[y];
      const int16_t limit = quorvin::product_limit(fxy, c, iax, iay);
      const int16_t cxs_q = quorvin::quantized_control(cxs),
                    cys_q = quorvin::quantized_control(cys);
      // Runs of every length up to the longest, from any start.
      for (int32_t t0 = s + 1, t1; t0 < V; t0 = t1) {
        t1 = std::min(V, t0 + 1 + random.below(quorvin::product_stretch));
        for (FilterSet set : runnable_sets()) {
          const SearchKernels& kernels = quorvin::search_kernels(set);
          uint64_t products[quorvin::product_stretch / 64];
          const bool any = kernels.product_masks(in, cxs_q, cys_q, limit, t0, t1, products);
          for (int32_t start = t0; start < t1; start += 64) {
            const int32_t end = std::min(t1, start + 64);
            const uint64_t second_order =
                kernels.second_order_mask(in, fxy, cxs, cys, iax, iay, c, start, end,
                                          k.row(x) + start, k.row(y) + start);
            const uint64_t product = any ? products[(start - t0) / 64] : 0;
            // The fixed point is exact: every set computes the predicate bit for bit.
            uint64_t predicate = 0;
            for (int32_t t = start; t < end; ++t)
              if (quorvin::product_may_replace(in.cx_q[t], in.cy_q[t], in.cs_q[t], in.a_q[t], cxs_q,
                                               cys_q, limit))
                predicate |= uint64_t{1} << (t - start);
            ASSERT_EQ(product, predicate) << quorvin::filter_set_name(set) << " " << label;
            if (end - start < 64) {
              ASSERT_EQ(second_order >> (end - start), 0u) << quorvin::filter_set_name(set);
              ASSERT_EQ(product >> (end - start), 0u) << quorvin::filter_set_name(set);
            }
            for (int32_t t = start; t < end; ++t) {
              if (t == x || t == y) continue;
              const double g = exact_coefficient(k, x, y, s, t, fxy);
              const bool dropped = !(second_order >> (t - start) & 1);
              const bool dropped_by_product = !(product >> (t - start) & 1);
              ASSERT_FALSE((dropped || dropped_by_product) && std::fabs(c) > std::fabs(g))
                  << label << " " << quorvin::filter_set_name(set) << ": x " << x << " y " << y
                  << " s " << s << " t " << t << " c " << c << " g " << g << " dropped by "
                  << (dropped ? "second-order" : "product") << " filter";
              if (std::fabs(g) > 1.01 * std::fabs(c) && std::fabs(c) > 0.01 && std::fabs(fxy) < 1) {
                ++count.clearly_not_replacing;
                count.of_those_dropped += dropped;
              }
              const double fxt = quorvin::partial_coefficient(k.row(x)[t], cxs, k.row(s)[t]);
              const double fyt = quorvin::partial_coefficient(k.row(y)[t], cys, k.row(s)[t]);
              if (limit >= 0 && std::fabs(fxt * fyt) < 0.5 * quorvin::block_limit(fxy, c)) {
                ++count.clearly_below_product_limit;
                count.of_those_dropped_by_product += dropped_by_product;
              }
            }
          }
        }
      }
    }
}

}  // namespace

TEST(Filters, SecondOrderAndProductMasksNeverDropAReplacingCoefficient) {
  Random random{99};
  MaskCount count;
  for (int round = 0; round < 12; ++round) {
    // One round long enough for several words of product masks.
    const int32_t V = round == 0 ? 150 : 20 + random.below(30), s = random.below(V - 3);
    check_second_order_masks(second_order_case(V, s, true, random), s, random, count,
                             "adversarial round " + std::to_string(round));
    if (HasFatalFailure()) return;
  }
}

// A filter that lets everything through would pass the test above; on
// ordinary correlations each set must pass over nearly every coefficient
// that clearly cannot replace the stored value, and the product filter over
// every one whose first-order product is well below its limit.
TEST(Filters, SecondOrderAndProductMasksPassOverCoefficientsThatClearlyCannotReplace) {
  Random random{5};
  MaskCount count;
  for (int round = 0; round < 6; ++round) {
    const int32_t V = 40, s = random.below(V - 3);
    check_second_order_masks(second_order_case(V, s, false, random), s, random, count,
                             "ordinary round " + std::to_string(round));
    if (HasFatalFailure()) return;
  }
  ASSERT_GT(count.clearly_not_replacing, 10000);
  EXPECT_GT(count.of_those_dropped, count.clearly_not_replacing * 95 / 100);
  ASSERT_GT(count.clearly_below_product_limit, 10000);
  EXPECT_EQ(count.of_those_dropped_by_product, count.clearly_below_product_limit);
}

// The same for the first-order filter, whose lanes are set up as above but
// with ordinary correlations.
TEST(Filters, FirstOrderMasksPassOverCoefficientsThatClearlyCannotReplace) {
  Random random{11};
  int64_t clearly = 0, dropped = 0;
  for (int round = 0; round < 500; ++round) {
    FirstOrderCase k;
    k.xs = 0.7 * (2 * random.uniform() - 1);
    for (int32_t j = 0; j < quorvin::first_order_lanes; ++j) {
      k.ys[j] = 0.7 * (2 * random.uniform() - 1);
      k.ys_f[j] = static_cast<float>(k.ys[j]);
      k.ay_root[j] = quorvin::first_order_root(k.ys_f[j]);
      k.lanes.cxy[j] = 0.7 * (2 * random.uniform() - 1);
      k.lanes.cxy_f[j] = static_cast<float>(k.lanes.cxy[j]);
      k.lanes.c[j] = 0.02 + 0.5 * random.uniform();
      k.lanes.bound_f[j] = quorvin::first_order_float_bound(k.lanes.c[j]);
    }
    const float xs_f = static_cast<float>(k.xs);
    for (FilterSet set : runnable_sets()) {
      const uint64_t mask = quorvin::search_kernels(set).first_order_mask(
          k.lanes, xs_f, quorvin::first_order_root(xs_f), k.ys_f.data(), k.ay_root.data());
      for (int32_t j = 0; j < quorvin::first_order_lanes; ++j) {
        const double f = quorvin::partial_coefficient(k.lanes.cxy[j], k.xs, k.ys[j]);
        if (std::fabs(f) <= 1.01 * k.lanes.c[j]) continue;
        ++clearly;
        dropped += !(mask >> j & 1);
      }
    }
  }
  ASSERT_GT(clearly, 10000);
  EXPECT_GT(dropped, clearly * 95 / 100);
}

// Where x and y correlate alike with s and with t, f_xt = f_yt and the
// product filter's bound on |g| is exact while g > 0: a stored value just
// above |g| must let t through, one well below it must not.
TEST(Filters, ProductMasksAreTightWhereTheirBoundIsExact) {
  constexpr int32_t x = 0, y = 1, s = 2, t = 3;
  int64_t cases = 0;
  for (double r_xy = 0.40; r_xy < 0.99; r_xy += 0.05)
    for (double r_t = -0.9; r_t < 0.95; r_t += 0.1)
      for (double r_st : {-0.5, 0.0, 0.2}) {
        SecondOrderCase k{.V = 4};
        const double r_s = 0.3;
        k.r = {1, r_xy, r_s, r_t, r_xy, 1, r_s, r_t, r_s, r_s, 1, r_st, r_t, r_t, r_st, 1};
        derive_tables(k, s);
        const double fxy = quorvin::partial_coefficient(r_xy, r_s, r_s);
        const double g = exact_coefficient(k, x, y, s, t, fxy);
        // The bound is exact only while f_xt f_yt < fxy, where g > 0.
        if (!(g > 0 && g < fxy)) continue;
        const quorvin::SecondOrderInputs in = inputs_of(k, x, y, s);
        const double iax = k.inverse_root_a[x], iay = k.inverse_root_a[y];
        for (FilterSet set : runnable_sets()) {
          const auto let_through = [&](double c) {
            const int16_t limit = quorvin::product_limit(fxy, c, iax, iay);
            const int16_t r_s_q = quorvin::quantized_control(r_s);
            uint64_t mask[1];
            return quorvin::search_kernels(set).product_masks(in, r_s_q, r_s_q, limit, t, t + 1,
                                                              mask);
          };
          const double just_above = std::nextafter(std::fabs(g), 2.0);
          ASSERT_TRUE(let_through(just_above))
              << quorvin::filter_set_name(set) << " r_xy " << r_xy << " r_t " << r_t;
          // Well below: the product's limit clear of the fixed point's slack.
          const double fxt = quorvin::partial_coefficient(r_t, r_s, r_st);
          if (g > 0.05 && quorvin::product_limit(fxy, 0.9 * g, iax, iay) >= 0 &&
              quorvin::block_limit(fxy, 0.9 * g) > fxt * fxt + 0.005) {
            ++cases;
            EXPECT_FALSE(let_through(0.9 * g))
                << quorvin::filter_set_name(set) << " r_xy " << r_xy << " r_t " << r_t;
          }
        }
      }
  EXPECT_GT(cases, 100);
}

// The largest scaled numerator, an exact fixed-point computation, equals its
// scalar predicate's maximum in every set: over runs of every length from
// every offset (whole vectors, tails, nothing), with values at the ends of
// their ranges.
TEST(Filters, LargestNumeratorsComputeTheirPredicate) {
  Random random{31};
  const int16_t edges[] = {16384, -16384, 16383, -16383, 0, 1, -1, 32767, 8191, -8192};
  const auto value = [&](int16_t largest) {
    return random.below(3) == 0 ? edges[random.below(10)]
                                : static_cast<int16_t>(random.below(2 * largest + 1) - largest);
  };
  const int32_t n = 300;
  std::vector<int16_t> cv(n + quorvin::second_order_over_read),
      cs(n + quorvin::second_order_over_read), inverse_root_q(n + quorvin::second_order_over_read);
  for (int round = 0; round < 400; ++round) {
    for (int32_t t = 0; t < n + quorvin::second_order_over_read; ++t) {
      cv[t] = value(16384);
      cs[t] = value(16384);
      // Past the run, values that would raise the maximum if they were read.
      inverse_root_q[t] = t < n ? static_cast<int16_t>(4096 + random.below(28672)) : 32767;
    }
    if (round % 4 == 0) inverse_root_q[random.below(n)] = 32767;
    const int16_t vs = random.below(4) == 0 ? (random.below(2) ? 32765 : -32765) : value(32765);
    const int32_t t0 = random.below(n), t1 = t0 + random.below(n - t0 + 1);
    int16_t expected = 0;
    for (int32_t t = t0; t < t1; ++t)
      expected = std::max(expected, quorvin::scaled_numerator(cv[t], cs[t], inverse_root_q[t], vs));
    for (FilterSet set : runnable_sets())
      ASSERT_EQ(quorvin::search_kernels(set).largest_numerator(cv.data(), cs.data(),
                                                               inverse_root_q.data(), vs, t0, t1),
                expected)
          << quorvin::filter_set_name(set) << " round " << round << " [" << t0 << ", " << t1 << ")";
  }
}

namespace {

// Spearman correlations of synthetic data, as the engine computes them.
SecondOrderCase correlation_case(const quorvin::Matrix& raw, int32_t s) {
  const int32_t N = static_cast<int32_t>(raw.rows), V = static_cast<int32_t>(raw.cols);
  quorvin::Matrix ranks, correlation;
  std::vector<double> means(V, 0.0);
  EXPECT_TRUE(quorvin::allocate_matrix(ranks, N, V) && quorvin::allocate_matrix(correlation, V, V));
  quorvin::rank_transform(V, N, ranks, raw);
  quorvin::rank_covariance(V, N, correlation, ranks, means);
  quorvin::correlation_from_covariance(V, correlation, correlation);
  SecondOrderCase k{.V = V};
  k.r.assign(correlation.data.get(), correlation.data.get() + static_cast<size_t>(V) * V);
  derive_tables(k, s);
  return k;
}

// The visit bound of variable v for control s as the search finds it with
// the given set, or infinity where the search has none.
double visit_bound(const SecondOrderCase& k, int32_t v, int32_t s, const SearchKernels& kernels) {
  const int32_t V = k.V;
  const double r_vs = k.row(s)[v];
  std::vector<int16_t> inverse_root_q(V + quorvin::second_order_over_read, 32767);
  for (int32_t t = 0; t < V; ++t) {
    inverse_root_q[t] = quorvin::quantized_inverse_root(k.inverse_root_a[t]);
    if (t > s && k.inverse_root_a[t] >= quorvin::largest_inverse_root) return HUGE_VAL;
  }
  if (!(std::fabs(r_vs) < 0.9999)) return HUGE_VAL;
  for (int32_t t = 0; t < V; ++t)
    if (std::fabs(k.row(v)[t]) > 1) return HUGE_VAL;
  const int16_t largest = quorvin::later_largest_numerator(
      kernels.largest_numerator, k.r_q.data() + static_cast<size_t>(v) * V,
      k.r_q.data() + static_cast<size_t>(s) * V, inverse_root_q.data(), r_vs, v, s, V);
  return quorvin::first_order_bound(largest, 1 / std::sqrt(1 - r_vs * r_vs));
}

// Checks the visit bound of every set on k for control s: each variable's
// bound holds its every later first-order coefficient, and no pair that the
// bound passes over has a second-order coefficient that would replace its
// stored value. The stored values are adversarial, or, with
// stored_at_threshold, those of pairs that stay in the search just above a
// pruning threshold of 0.2. Counts the pairs whose first-order coefficient
// is at least 0.5 in magnitude, as the pairs that stay long in the search
// have, and those of them passed over.
struct VisitCount {
  int64_t strong = 0;
  int64_t strong_passed_over = 0;
};

void check_visit_bounds(const SecondOrderCase& k, int32_t s, Random& random,
                        const std::string& label, VisitCount& count,
                        bool stored_at_threshold = false) {
  const int32_t V = k.V;
  for (FilterSet set : runnable_sets()) {
    std::vector<double> bound(V);
    for (int32_t v = 0; v < V; ++v) {
      if (v == s) continue;
      bound[v] = visit_bound(k, v, s, quorvin::search_kernels(set));
      for (int32_t t = s + 1; t < V; ++t) {
        if (t == v) continue;
        const double f = quorvin::partial_coefficient(k.row(v)[t], k.row(v)[s], k.row(s)[t]);
        EXPECT_FALSE(std::fabs(f) > bound[v])
            << label << " " << quorvin::filter_set_name(set) << ": v " << v << " s " << s
            << " t " << t << " f " << f << " bound " << bound[v];
      }
    }
    for (int32_t x = 0; x < V; ++x)
      for (int32_t y = x + 1; y < V; ++y) {
        if (x == s || y == s) continue;
        const double fxy = quorvin::partial_coefficient(k.row(x)[y], k.row(x)[s], k.row(y)[s]);
        const int32_t t_any = s + 1 + random.below(V - s - 1);
        const double c =
            stored_at_threshold
                ? 0.2 + 0.05 * random.uniform()
                : stored_value_for(
                      random.below(2) ? fxy : exact_coefficient(k, x, y, s, t_any, fxy), random);
        const bool passed_over = !quorvin::visit_may_replace(fxy, c, bound[x], bound[y]);
        if (std::fabs(fxy) >= 0.5) {
          ++count.strong;
          count.strong_passed_over += passed_over;
        }
        if (!passed_over) continue;
        for (int32_t t = s + 1; t < V; ++t) {
          if (t == x || t == y) continue;
          const double g = exact_coefficient(k, x, y, s, t, fxy);
          if (std::fabs(c) > std::fabs(g)) {
            ADD_FAILURE() << label << " " << quorvin::filter_set_name(set) << ": x " << x
                          << " y " << y << " s " << s << " t " << t << " c " << c << " g " << g;
            return;
          }
        }
      }
  }
}

}  // namespace

// On adversarial correlations, and on those of data with exact copies and
// near copies, the bound never holds back a coefficient it should not.
TEST(Filters, VisitBoundNeverPassesOverAReplacingCoefficient) {
  Random random{77};
  VisitCount count;
  for (int round = 0; round < 8; ++round) {
    const int32_t V = 20 + random.below(30), s = random.below(V - 3);
    check_visit_bounds(second_order_case(V, s, true, random), s, random,
                       "adversarial round " + std::to_string(round), count);
    if (HasFailure()) return;
    check_visit_bounds(
        correlation_case(quorvin_test::synthetic_data(quorvin_test::DataKind::near_perfect, V, 30,
                                                      random.next()),
                         s),
        s, random, "near copies round " + std::to_string(round), count);
    if (HasFailure()) return;
  }
}

// An infinite bound would pass the test above; on dense data it must pass
// over a good share of the pairs of the kind that stay long in the search
// (more than half of them, here).
TEST(Filters, VisitBoundPassesOverPairsOfDenseData) {
  Random random{12};
  VisitCount count;
  for (int round = 0; round < 4; ++round) {
    const int32_t V = 60, s = random.below(V / 2);
    check_visit_bounds(correlation_case(quorvin_test::dense_factors(V, 100, random.next()), s), s,
                       random, "dense round " + std::to_string(round), count, true);
    if (HasFailure()) return;
  }
  ASSERT_GT(count.strong, 1000);
  EXPECT_GT(count.strong_passed_over, count.strong * 2 / 5) << "of " << count.strong;
}

namespace {

// A visit by the definition: the coefficients of x, y controlled for s and
// every t > s but x and y, in ascending t, each replacing c where smaller in
// magnitude, until c falls below the threshold. kept_t is the t of the last
// replacement, -1 if none.
double naive_visit(const SecondOrderCase& k, int32_t x, int32_t y, int32_t s, double fxy, double c,
                   double threshold, int32_t& kept_t) {
  kept_t = -1;
  if (!(std::fabs(fxy) < HUGE_VAL)) return c;
  for (int32_t t = s + 1; t < k.V && std::fabs(c) >= threshold; ++t) {
    if (t == x || t == y) continue;
    const double g = exact_coefficient(k, x, y, s, t, fxy);
    if (std::fabs(c) > std::fabs(g)) {
      c = g;
      kept_t = t;
    }
  }
  return c;
}

// Every pair of k visited for control s by every set, looking for the first
// coefficient below the threshold first or not: the value and control kept
// are those of the definition, bit for bit.
void check_visits(const SecondOrderCase& k, int32_t s, Random& random, const std::string& label) {
  for (int32_t x = 0; x < k.V; ++x)
    for (int32_t y = x + 1; y < k.V; ++y) {
      if (x == s || y == s) continue;
      const double fxy = quorvin::partial_coefficient(k.row(x)[y], k.row(x)[s], k.row(y)[s]);
      const int32_t t_any = s + 1 + random.below(k.V - s - 1);
      const double c = stored_value_for(
          random.below(2) ? fxy : exact_coefficient(k, x, y, s, t_any, fxy), random);
      // At or below the stored value, as for a pair still in the search.
      const double threshold =
          random.below(4) == 0 ? std::fabs(c) : std::fabs(c) * random.uniform();
      int32_t expected_t = -1;
      const double expected = naive_visit(k, x, y, s, fxy, c, threshold, expected_t);
      quorvin::SecondOrderInputs in = inputs_of(k, x, y, s);
      in.threshold = threshold;
      for (FilterSet set : runnable_sets())
        for (bool crossing_first : {false, true}) {
          in.crossing_first = crossing_first;
          quorvin::SecondOrderOutcome outcome;
          const double merged =
              quorvin::search_kernels(set).merge_second_order(in, fxy, c, outcome);
          ASSERT_TRUE(std::memcmp(&merged, &expected, sizeof merged) == 0 &&
                      outcome.kept_t == expected_t)
              << label << " " << quorvin::filter_set_name(set) << " crossing first "
              << crossing_first << ": x " << x << " y " << y << " s " << s << " c " << c
              << " threshold " << threshold << ": " << merged << " at t " << outcome.kept_t
              << ", expected " << expected << " at t " << expected_t;
        }
    }
}

}  // namespace

TEST(SecondOrderMerge, KeepsTheValueAndControlOfTheDefinitionWithOrWithoutTheCrossingFirst) {
  Random random{31};
  for (int round = 0; round < 6; ++round) {
    const int32_t V = 20 + random.below(30), s = random.below(V - 3);
    check_visits(second_order_case(V, s, true, random), s, random,
                 "adversarial round " + std::to_string(round));
    if (HasFatalFailure()) return;
    const int32_t dense_s = random.below(V / 2);
    check_visits(correlation_case(quorvin_test::dense_factors(V, 60, random.next()), dense_s),
                 dense_s, random, "dense round " + std::to_string(round));
    if (HasFatalFailure()) return;
  }
}
