#include "stats/combine.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "stats/correlation.h"
#include "stats/critical_value.h"
#include "stats/ranks.h"
#include "support/reference.h"
#include "support/test_values.h"

using quorvin::Matrix;
using quorvin_test::filled_matrix;
using quorvin_test::text_of;

namespace {

// The plain search of the test support, with, when asked, the history per
// pair x < y of every coefficient met: "0.42" for the zero-order one,
// "2:0.317923" controlled for 2, "1,3:0.359585" controlled for 1 and 3
// (0-based variables).
struct Reference {
  Matrix combined;
  std::map<std::pair<int32_t, int32_t>, std::vector<std::string>> history;
  int second_order_count = 0;
};

Reference reference_search(int32_t V, int32_t N, const Matrix& correlation,
                           bool keep_history = true) {
  Reference ref;
  ref.combined = filled_matrix(V, V, 0.0);
  quorvin::reference::combine_partial_correlations(
      V, N, ref.combined, correlation, nullptr,
      [&](int32_t x, int32_t y, int32_t s, int32_t t, double value) {
        if (t >= 0) ++ref.second_order_count;
        if (!keep_history) return;
        char controls[32] = "";
        if (t >= 0)
          std::snprintf(controls, sizeof controls, "%d,%d:", s, t);
        else if (s >= 0)
          std::snprintf(controls, sizeof controls, "%d:", s);
        ref.history[{x, y}].push_back(controls + text_of(value));
      });
  return ref;
}

struct Combined {
  Matrix combined;
  std::vector<int32_t> controls_done;
};

Combined combine(int32_t V, int32_t N, const Matrix& correlation) {
  Combined result;
  // Filled with a value the search never produces, to see every entry written.
  result.combined = filled_matrix(V, V, 12345.0);
  quorvin::combine_partial_correlations(
      V, N, result.combined, correlation,
      [&result](int32_t s) { result.controls_done.push_back(s); });
  return result;
}

bool same_value(double a, double b) {
  return (std::isnan(a) && std::isnan(b)) || (a == b && std::signbit(a) == std::signbit(b));
}

// The program's result must equal the reference bit for bit in the upper
// triangle, equal correlation elsewhere, and report every control in order.
void expect_matches_reference(int32_t V, int32_t N, const Matrix& correlation,
                              const std::string& context) {
  const Combined got = combine(V, N, correlation);
  const Reference ref = reference_search(V, N, correlation, false);
  for (int32_t i = 0; i < V; ++i) {
    for (int32_t j = 0; j < V; ++j) {
      const double expected = i < j ? ref.combined[i][j] : correlation[i][j];
      ASSERT_TRUE(same_value(got.combined[i][j], expected))
          << context << " V " << V << " N " << N << " entry " << i << "," << j << ": got "
          << std::hexfloat << got.combined[i][j] << " expected " << expected;
    }
  }
  std::vector<int32_t> controls(V);
  for (int32_t s = 0; s < V; ++s) controls[s] = s;
  EXPECT_EQ(got.controls_done, controls) << context;
}

// A symmetric correlation matrix with 1 on the diagonal from its upper triangle, row by row.
Matrix correlation_of(int32_t V, const std::vector<double>& upper) {
  Matrix c = filled_matrix(V, V, 1.0);
  size_t n = 0;
  for (int32_t i = 0; i < V; ++i)
    for (int32_t j = i + 1; j < V; ++j) c[i][j] = c[j][i] = upper.at(n++);
  return c;
}

const std::vector<double> worked_example = {0.42, 0.47, 0.46, 0.33, 0.63, 0.33};

}  // namespace

TEST(Combine, WorkedExampleWithThirtyObservations) {
  const Matrix correlation = correlation_of(4, worked_example);
  const Reference ref = reference_search(4, 30, correlation);
  // The history of every pair, which shows where pruning skips a control pair.
  using History = std::vector<std::string>;
  EXPECT_EQ(ref.history.at({0, 1}), (History{"0.42", "2:0.317923", "3:0.188818"}));
  EXPECT_EQ(ref.history.at({0, 2}), (History{"0.47", "1:0.38684", "1,3:0.359585", "3:0.379633"}));
  EXPECT_EQ(ref.history.at({0, 3}), (History{"0.46", "1:0.27725", "2:0.36593"}));
  EXPECT_EQ(ref.history.at({1, 2}), (History{"0.33", "0:0.165535", "3:0.166555"}));
  EXPECT_EQ(ref.history.at({1, 3}), (History{"0.63", "0:0.542065", "0,2:0.530902", "2:0.584783"}));
  EXPECT_EQ(ref.history.at({2, 3}), (History{"0.33", "0:0.145202", "1:0.166555"}));
  EXPECT_EQ(ref.second_order_count, 2);

  const Combined got = combine(4, 30, correlation);
  const char* final_values[4][4] = {{"", "0.188818", "0.359585", "0.27725"},
                                    {"", "", "0.165535", "0.530902"},
                                    {"", "", "", "0.145202"}};
  for (int i = 0; i < 4; ++i)
    for (int j = i + 1; j < 4; ++j) EXPECT_EQ(text_of(got.combined[i][j]), final_values[i][j]);
  expect_matches_reference(4, 30, correlation, "worked example");
}

TEST(Combine, WorkedExampleWithFiveObservationsHasNoSecondOrder) {
  const Matrix correlation = correlation_of(4, worked_example);
  EXPECT_EQ(reference_search(4, 5, correlation).second_order_count, 0);
  const Combined got = combine(4, 5, correlation);
  const char* final_values[4][4] = {{"", "0.188818", "0.379633", "0.27725"},
                                    {"", "", "0.165535", "0.542065"},
                                    {"", "", "", "0.145202"}};
  for (int i = 0; i < 4; ++i)
    for (int j = i + 1; j < 4; ++j) EXPECT_EQ(text_of(got.combined[i][j]), final_values[i][j]);
  EXPECT_EQ(got.controls_done, (std::vector<int32_t>{0, 1, 2, 3}));
  for (int32_t N : {4, 0, -1}) expect_matches_reference(4, N, correlation, "few observations");
}

TEST(Combine, FewVariables) {
  const Combined none = combine(0, 30, filled_matrix(0, 0, 0.0));
  EXPECT_TRUE(none.controls_done.empty());

  const Matrix one = correlation_of(1, {});
  EXPECT_EQ(combine(1, 30, one).combined[0][0], 1.0);
  EXPECT_EQ(combine(1, 30, one).controls_done, (std::vector<int32_t>{0}));

  const Matrix two = correlation_of(2, {-0.9});
  const Combined pair = combine(2, 30, two);
  EXPECT_EQ(pair.combined[0][1], -0.9);
  EXPECT_EQ(pair.controls_done, (std::vector<int32_t>{0, 1}));

  // Three variables: each pair keeps the smaller of its zero-order coefficient
  // and its single first-order one.
  const Matrix three = correlation_of(3, {0.8, 0.5, 0.5});
  const Combined trio = combine(3, 30, three);
  EXPECT_EQ(trio.combined[0][1], (0.8 - 0.5 * 0.5) / std::sqrt((1 - 0.5 * 0.5) * (1 - 0.5 * 0.5)));
  EXPECT_EQ(trio.combined[0][2], (0.5 - 0.8 * 0.5) / std::sqrt((1 - 0.5 * 0.5) * (1 - 0.8 * 0.8)));
  EXPECT_EQ(trio.combined[1][2], (0.5 - 0.8 * 0.5) / std::sqrt((1 - 0.5 * 0.5) * (1 - 0.8 * 0.8)));
  EXPECT_EQ(trio.controls_done, (std::vector<int32_t>{0, 1, 2}));
  expect_matches_reference(3, 30, three, "three variables");
}

// A variable whose row is NaN keeps NaN in its pairs and, as a control,
// changes no other pair: the others end as in the matrix without it.
TEST(Combine, NanRowChangesNoOtherPair) {
  const double nan = std::nan("");
  Matrix row = correlation_of(4, {0.7, nan, 0.6, nan, 0.65, nan});
  row[2][2] = nan;
  const Combined got = combine(4, 30, row);
  const Combined without = combine(3, 30, correlation_of(3, {0.7, 0.6, 0.65}));
  EXPECT_TRUE(std::isnan(got.combined[0][2]));
  EXPECT_TRUE(std::isnan(got.combined[1][2]));
  EXPECT_TRUE(std::isnan(got.combined[2][3]));
  EXPECT_EQ(got.combined[0][1], without.combined[0][1]);
  EXPECT_EQ(got.combined[0][3], without.combined[0][2]);
  EXPECT_EQ(got.combined[1][3], without.combined[1][2]);
  expect_matches_reference(4, 30, row, "NaN row");
}

// With c02 = c12 = 0.25 this a makes the coefficient controlled for 2
// exactly -a: the value met first keeps its sign, for either sign of a.
TEST(Combine, EqualMagnitudeOfOppositeSignDoesNotReplace) {
  const double a = 0x1.0842108421084p-5;
  for (double sign : {1.0, -1.0}) {
    const Matrix correlation = correlation_of(3, {sign * a, 0.25, sign * 0.25});
    const Reference ref = reference_search(3, 30, correlation);
    ASSERT_EQ(ref.history.at({0, 1}).size(), 2u);
    ASSERT_EQ((sign * a - 0.25 * (sign * 0.25)) /
                  std::sqrt((1 - 0.25 * 0.25) * (1 - 0.25 * 0.25)),
              -sign * a);
    EXPECT_EQ(combine(3, 30, correlation).combined[0][1], sign * a);
  }
}

// Pair 0,1 whose magnitude equals the pruning threshold passes the test and
// gets its coefficient controlled for 2 and 3; one just below it does not.
TEST(Combine, MagnitudeExactlyAtThresholdPassesPruning) {
  const double T = quorvin::critical_value(30, 1.96);
  for (double sign : {1.0, -1.0}) {
    const Matrix at = correlation_of(4, {sign * T, 0, 0.5, 0, sign * 0.5, 0.6});
    const Matrix below =
        correlation_of(4, {sign * std::nextafter(T, 0.0), 0, 0.5, 0, sign * 0.5, 0.6});
    const Reference ref_at = reference_search(4, 30, at);
    const Reference ref_below = reference_search(4, 30, below);
    ASSERT_EQ(ref_at.history.at({0, 1}).size(), 4u);     // zero, 2, (2, 3), 3
    ASSERT_EQ(ref_below.history.at({0, 1}).size(), 3u);  // zero, 2, 3
    const double with_second = combine(4, 30, at).combined[0][1];
    const double without_second = combine(4, 30, below).combined[0][1];
    EXPECT_EQ(with_second, ref_at.combined[0][1]);
    EXPECT_EQ(without_second, ref_below.combined[0][1]);
    EXPECT_NE(text_of(with_second), text_of(without_second));
    expect_matches_reference(4, 30, at, "at threshold");
    expect_matches_reference(4, 30, below, "below threshold");
  }
}

TEST(Combine, PerfectCorrelationWithAControlNeverEntersTheResult) {
  // 0 and 2 move together: every coefficient controlled for one of them
  // divides by zero, giving NaN or (as 2,3 does not quite match 0,3) an
  // infinity, and none may be stored.
  const Matrix correlation = correlation_of(4, {0.5, 1.0, 0.4, 0.5, 0.45, 0.3});
  const Combined got = combine(4, 30, correlation);
  for (int i = 0; i < 4; ++i)
    for (int j = i + 1; j < 4; ++j) EXPECT_TRUE(std::isfinite(got.combined[i][j])) << i << "," << j;
  expect_matches_reference(4, 30, correlation, "perfect correlation");
}

namespace {

// Correlation matrices of several kinds for the sweep.
enum class Kind { factor_data, noise_data, arbitrary, special_values, tiny };

Matrix sweep_matrix(Kind kind, int32_t V, int32_t N, std::mt19937_64& random) {
  std::uniform_real_distribution<double> uniform(-1.0, 1.0);
  if (kind == Kind::factor_data || kind == Kind::noise_data) {
    // Ranked and correlated as a run does; factor data keep many pairs above
    // the threshold through several controls.
    Matrix raw = filled_matrix(N, V, 0.0);
    std::vector<double> loading(V);
    for (double& l : loading) l = kind == Kind::factor_data ? uniform(random) * 3 : 0;
    for (int32_t k = 0; k < N; ++k) {
      const double factor = uniform(random), second = uniform(random);
      for (int32_t i = 0; i < V; ++i)
        raw[k][i] = loading[i] * (i % 3 ? factor : second) + uniform(random);
    }
    Matrix ranks = filled_matrix(N, V, 0.0), correlation = filled_matrix(V, V, 0.0);
    std::vector<double> means(V, 0.0);
    quorvin::rank_transform(V, N, ranks, raw);
    quorvin::rank_covariance(V, N, correlation, ranks, means);
    quorvin::correlation_from_covariance(V, correlation, correlation);
    return correlation;
  }
  const double T = quorvin::critical_value(N, 1.96);
  const double special[] = {0.0, -0.0, 1.0, -1.0, 0.5, -0.5, std::nan(""), 1e-160, T, -T,
                            std::nextafter(T, 0.0), 0.99, -0.99};
  std::vector<double> upper;
  for (int32_t n = 0; n < V * (V - 1) / 2; ++n) {
    double value = uniform(random);
    if (kind == Kind::special_values && random() % 3 == 0) value = special[random() % 13];
    if (kind == Kind::tiny) value *= random() % 2 ? 1e-150 : 1e-3;
    upper.push_back(value);
  }
  return correlation_of(V, upper);
}

}  // namespace

// The search that the program runs, whatever its own organisation, must give
// the reference's result bit for bit on matrices of every kind and size.
TEST(Combine, SweepAgreesWithTheLoopByLoopSearch) {
  std::mt19937_64 random(42);
  const char* kind_names[] = {"factor data", "noise data", "arbitrary", "special values", "tiny"};
  for (int kind = 0; kind < 5; ++kind) {
    for (int32_t V : {4, 5, 6, 9, 12, 17, 24, 40}) {
      for (int32_t N : {6, 9, 14, 30, 200}) {
        const Matrix correlation = sweep_matrix(static_cast<Kind>(kind), V, N, random);
        expect_matches_reference(V, N, correlation, kind_names[kind]);
        if (HasFatalFailure()) return;
      }
    }
  }
}
