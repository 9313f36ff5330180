// The production engine held to the plain reference, bit for bit: every stage
// on seeded data sets of many shapes and kinds, the combined search on the
// worked examples and on hand-built and extreme correlation matrices, with
// every thread count and set of filters the CPU can run.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <initializer_list>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "reference/reference.h"
#include "stats/combine.h"
#include "stats/combine_kernels.h"
#include "stats/correlation.h"
#include "stats/critical_value.h"
#include "stats/ranks.h"
#include "support/engine_check.h"
#include "support/random_data.h"
#include "support/test_values.h"

using namespace quorvin_test;
using quorvin::Matrix;

namespace {

// Every stage's output, so that a difference is pinned to its stage.
struct StageResults {
  Matrix ranks;
  Matrix centred;  // the ranks after rank_covariance
  std::vector<double> means;
  Matrix covariance;
  Matrix correlation;        // for production, computed in place as the driver does
  Matrix correlation_apart;  // production only: into a matrix of its own
  Matrix combined;
  std::vector<int32_t> kept_controls;
  std::vector<int32_t> controls_done;
};

Matrix copy_of(const Matrix& m) {
  Matrix copy;
  quorvin::allocate_matrix(copy, m.rows, m.cols);
  std::copy(m.data.get(), m.data.get() + m.rows * m.cols, copy.data.get());
  return copy;
}

StageResults run_reference(const Matrix& raw, int32_t V, int32_t N) {
  namespace reference = quorvin::reference;
  StageResults r;
  r.ranks = sentinel_matrix(N, V);
  reference::rank_transform(V, N, r.ranks, raw);
  r.centred = copy_of(r.ranks);
  r.means.assign(static_cast<size_t>(V), 0.0);
  r.covariance = sentinel_matrix(V, V);
  reference::rank_covariance(V, N, r.covariance, r.centred, r.means);
  r.correlation = sentinel_matrix(V, V);
  reference::correlation_from_covariance(V, r.correlation, r.covariance);
  r.combined = sentinel_matrix(V, V);
  r.kept_controls = sentinel_controls(V);
  reference::combine_partial_correlations(
      V, N, r.combined, r.correlation, [&r](int32_t s) { r.controls_done.push_back(s); },
      r.kept_controls.data());
  return r;
}

StageResults run_production(const Matrix& raw, int32_t V, int32_t N) {
  StageResults r;
  r.ranks = sentinel_matrix(N, V);
  quorvin::rank_transform(V, N, r.ranks, raw);
  r.centred = copy_of(r.ranks);
  r.means.assign(static_cast<size_t>(V), 0.0);
  r.covariance = sentinel_matrix(V, V);
  quorvin::rank_covariance(V, N, r.covariance, r.centred, r.means);
  r.correlation_apart = sentinel_matrix(V, V);
  quorvin::correlation_from_covariance(V, r.correlation_apart, r.covariance);
  r.correlation = copy_of(r.covariance);
  quorvin::correlation_from_covariance(V, r.correlation, r.correlation);
  r.combined = sentinel_matrix(V, V);
  r.kept_controls = sentinel_controls(V);
  quorvin_test::engine_search(
      V, N, r.combined, r.correlation, [&r](int32_t s) { r.controls_done.push_back(s); },
      r.kept_controls.data());
  return r;
}

const char* kind_name(DataKind kind) {
  switch (kind) {
    case DataKind::normal:
      return "normal";
    case DataKind::factors:
      return "factors";
    case DataKind::chain:
      return "chain";
    case DataKind::ties:
      return "ties";
    case DataKind::near_perfect:
      return "near_perfect";
  }
  return "?";
}

// Runs both engines on raw (N x V) and expects every stage to agree in every
// engine setting.
void expect_engines_agree(const Matrix& raw, int32_t V, int32_t N, const std::string& label) {
  const StageResults expected = run_reference(raw, V, N);
  for (const EngineSetting& setting : engine_settings()) {
    ScopedEngineSetting scoped(setting);
    const StageResults actual = run_production(raw, V, N);
    const std::string where = label + describe(setting);
    EXPECT_EQ(first_difference(actual.ranks, expected.ranks), "") << where << " ranks";
    EXPECT_EQ(first_difference(actual.centred, expected.centred), "") << where << " centred ranks";
    EXPECT_EQ(first_difference(actual.means.data(), expected.means.data(), 1, V), "")
        << where << " means";
    EXPECT_EQ(first_difference(actual.covariance, expected.covariance), "")
        << where << " covariance";
    EXPECT_EQ(first_difference(actual.correlation_apart, expected.correlation), "")
        << where << " correlation";
    EXPECT_EQ(first_difference(actual.correlation, expected.correlation), "")
        << where << " correlation in place";
    EXPECT_EQ(first_difference(actual.combined, expected.combined), "") << where << " combined";
    EXPECT_EQ(first_control_difference(actual.kept_controls, expected.kept_controls, V), "")
        << where << " kept controls";
    EXPECT_EQ(actual.controls_done, expected.controls_done) << where << " controls done";
  }
}

struct Shape {
  int32_t V, N;
};

// From empty to 60 variables; N of 5 or less (no pruning threshold), N = 6
// (threshold tanh(1.96)) and up to 100 observations.
const Shape shapes[] = {{0, 1},   {0, 10}, {1, 1},    {1, 7},   {2, 3},   {2, 20},  {3, 6},
                        {3, 12},  {4, 5},  {4, 6},    {4, 30},  {5, 2},   {5, 8},   {7, 6},
                        {8, 40},  {12, 5}, {13, 100}, {20, 7},  {21, 25}, {33, 60}, {40, 10},
                        {47, 15}, {60, 4}, {60, 6},   {60, 40}, {60, 100}};

void expect_agreement_on_every_shape(DataKind kind) {
  for (const Shape& shape : shapes)
    for (uint64_t seed = 1; seed <= 2; ++seed) {
      const Matrix raw = synthetic_data(kind, shape.V, shape.N, seed);
      expect_engines_agree(raw, shape.V, shape.N,
                           std::string(kind_name(kind)) + " V=" + std::to_string(shape.V) +
                               " N=" + std::to_string(shape.N) + " seed=" + std::to_string(seed));
    }
}

// The reference search with the history per pair x < y of every coefficient
// met: "0.42" for the zero-order one, "2:0.317923" controlled for 2,
// "1,3:0.359585" controlled for 1 and 3 (0-based variables).
struct History {
  Matrix combined;
  std::map<std::pair<int32_t, int32_t>, std::vector<std::string>> met;
  int second_order_count = 0;
};

History reference_history(int32_t V, int32_t N, const Matrix& correlation) {
  History history;
  history.combined = filled_matrix(V, V, 0.0);
  quorvin::reference::combine_partial_correlations(
      V, N, history.combined, correlation, nullptr, nullptr,
      [&](int32_t x, int32_t y, int32_t s, int32_t t, double value) {
        if (t >= 0) ++history.second_order_count;
        char controls[32] = "";
        if (t >= 0)
          std::snprintf(controls, sizeof controls, "%d,%d:", s, t);
        else if (s >= 0)
          std::snprintf(controls, sizeof controls, "%d:", s);
        history.met[{x, y}].push_back(controls + text_of(value));
      });
  return history;
}

// The production search in the current setting.
Matrix production(int32_t V, int32_t N, const Matrix& correlation) {
  Matrix combined = filled_matrix(V, V, 0.0);
  quorvin_test::engine_search(V, N, combined, correlation, nullptr);
  return combined;
}

const std::vector<double> worked_example = {0.42, 0.47, 0.46, 0.33, 0.63, 0.33};

// Correlation matrices of several kinds for the sweep.
enum class Kind { factor_data, noise_data, arbitrary, special_values, tiny };

Matrix sweep_matrix(Kind kind, int32_t V, int32_t N, Random& random) {
  const auto uniform = [&random] { return 2 * random.uniform() - 1; };
  if (kind == Kind::factor_data || kind == Kind::noise_data) {
    // Ranked and correlated as a run does; factor data keep many pairs above
    // the threshold through several controls.
    Matrix raw = filled_matrix(N, V, 0.0);
    std::vector<double> loading(V);
    for (double& l : loading) l = kind == Kind::factor_data ? uniform() * 3 : 0;
    for (int32_t k = 0; k < N; ++k) {
      const double factor = uniform(), second = uniform();
      for (int32_t i = 0; i < V; ++i)
        raw[k][i] = loading[i] * (i % 3 ? factor : second) + uniform();
    }
    Matrix ranks = filled_matrix(N, V, 0.0), correlation = filled_matrix(V, V, 0.0);
    std::vector<double> means(V, 0.0);
    quorvin::rank_transform(V, N, ranks, raw);
    quorvin::rank_covariance(V, N, correlation, ranks, means);
    quorvin::correlation_from_covariance(V, correlation, correlation);
    return correlation;
  }
  const double T = quorvin::critical_value(N, 1.96);
  const double special[] = {
      0.0,  -0.0, 1.0, -1.0, 0.5, -0.5, std::nan(""), 1e-160, T, -T, std::nextafter(T, 0.0),
      0.99, -0.99};
  std::vector<double> upper;
  for (int32_t n = 0; n < V * (V - 1) / 2; ++n) {
    double value = uniform();
    if (kind == Kind::special_values && random.below(3) == 0) value = special[random.below(13)];
    if (kind == Kind::tiny) value *= random.below(2) ? 1e-150 : 1e-3;
    upper.push_back(value);
  }
  return correlation_of(V, upper);
}

}  // namespace

TEST(EngineExactness, NormalData) { expect_agreement_on_every_shape(DataKind::normal); }

TEST(EngineExactness, FactorDrivenData) { expect_agreement_on_every_shape(DataKind::factors); }

TEST(EngineExactness, CausalChains) { expect_agreement_on_every_shape(DataKind::chain); }

TEST(EngineExactness, HeavyTies) { expect_agreement_on_every_shape(DataKind::ties); }

TEST(EngineExactness, NearPerfectCorrelations) {
  expect_agreement_on_every_shape(DataKind::near_perfect);
}

// A constant variable (NaN row and column of correlation), an exact duplicate
// and a mirror image of another variable (correlation exactly 1 and -1, so
// zero denominators), placed among factor-driven variables.
TEST(EngineExactness, ConstantDuplicatedAndMirroredVariables) {
  for (const Shape& shape : shapes) {
    if (shape.V < 4) continue;
    for (uint64_t seed = 1; seed <= 2; ++seed) {
      Matrix raw = synthetic_data(DataKind::factors, shape.V, shape.N, seed);
      const int32_t constant = shape.V / 3, source = shape.V / 2, duplicate = shape.V - 1,
                    mirror = 0;
      for (int32_t k = 0; k < shape.N; ++k) {
        raw[k][constant] = 2.5;
        raw[k][duplicate] = raw[k][source];
        raw[k][mirror] = -raw[k][source];
      }
      expect_engines_agree(raw, shape.V, shape.N,
                           "constant/duplicate/mirror V=" + std::to_string(shape.V) +
                               " N=" + std::to_string(shape.N) + " seed=" + std::to_string(seed));
    }
  }
}

// Generated raw data of the given shapes, from one seed.
void expect_agreement_on(Matrix (*generate)(int32_t V, int32_t N, uint64_t seed), uint64_t seed,
                         std::initializer_list<Shape> shapes, const std::string& kind) {
  for (const Shape shape : shapes)
    expect_engines_agree(generate(shape.V, shape.N, seed), shape.V, shape.N,
                         kind + " V=" + std::to_string(shape.V) + " N=" + std::to_string(shape.N));
}

TEST(EngineExactness, GeneModules) {
  expect_agreement_on(gene_modules, 7, {{60, 40}, {60, 100}, {45, 20}}, "gene modules");
}

// Dense expression-like data keep most pairs above the pruning threshold for
// many controls, so that the second-order filters do most of the work.
TEST(EngineExactness, DenseFactorData) {
  expect_agreement_on(dense_factors, 5, {{30, 8}, {80, 40}, {150, 100}}, "dense factors");
}

// Pair 0, 1 meets a first-order coefficient (control 2) and a second-order one
// (controls 2 and 3) of exactly its own magnitude and the opposite sign: the
// value met first must stay.
TEST(EngineExactness, EqualMagnitudeNeverReplacesTheStoredValue) {
  const double a = 0.78125, c = 0x1.c1c108d0af958p-2;
  ASSERT_EQ((c - a * a) / std::sqrt((1 - a * a) * (1 - a * a)), -c);
  const Matrix correlation = correlation_of(4, {c, 0, a, 0, a, 0});
  const Matrix expected = expect_combined_agrees(4, 30, correlation, "equal magnitudes");
  EXPECT_EQ(expected[0][1], c);
}

// A pair exactly at the pruning threshold meets its second-order coefficient
// (0.0299 here); one an ulp below it does not and ends at 0.231.
TEST(EngineExactness, PairAtThePruningThresholdIsSearched) {
  const double T = quorvin::reference::critical_value(30, 1.96);
  std::vector<double> results;
  for (double r01 : {T, std::nextafter(T, 0.0)}) {
    const Matrix correlation = correlation_of(4, {r01, 0.125, -0.5, 0, -0.375, 0.625});
    results.push_back(expect_combined_agrees(4, 30, correlation, "threshold")[0][1]);
  }
  EXPECT_LT(std::fabs(results[0]), 0.05);
  EXPECT_GT(std::fabs(results[1]), 0.2);
}

TEST(EngineExactness, CriticalValues) {
  for (int32_t N = -3; N <= 150; ++N)
    for (double z : {1.96, 2.5758, 3.2905, 3.8906}) {
      const double actual = quorvin::critical_value(N, z);
      const double expected = quorvin::reference::critical_value(N, z);
      EXPECT_TRUE(same_double(actual, expected))
          << "N=" << N << " z=" << z << ": " << actual << " vs " << expected;
    }
}

// The order among equal values is free (it never reaches a rank), so the
// sorted values are compared as numbers: -0 and 0 may trade places.
TEST(EngineExactness, SortAscendingGivesTheExchangeSortsValues) {
  Random random{11};
  for (int32_t n : {0, 1, 2, 3, 17, 64}) {
    std::vector<double> values(static_cast<size_t>(n));
    for (double& value : values) value = std::round(2 * random.normal());
    std::vector<double> expected = values;
    quorvin::sort_ascending(values.data(), n);
    quorvin::reference::sort_ascending(expected.data(), n);
    for (int32_t i = 0; i < n; ++i) EXPECT_EQ(values[i], expected[i]) << "n=" << n << " at " << i;
  }
}

// The filters' guards: correlations at and next to +-1, exact zeros and NaN
// rows, in symmetric matrices that need not come from any data, so that
// first-order coefficients far beyond 1, infinite and NaN coefficients and
// near-zero denominators all occur. A large N keeps many pairs above the
// pruning threshold, so the second-order filters see them too.
TEST(EngineExactness, ExtremeCorrelationMatrices) {
  for (uint64_t seed = 1; seed <= 6; ++seed) {
    quorvin_test::Random random{seed};
    const int32_t V = 20 + random.below(12);
    Matrix correlation = sentinel_matrix(V, V);
    const int32_t nan_row = random.below(V);
    for (int32_t i = 0; i < V; ++i) {
      correlation[i][i] = i == nan_row ? NAN : 1.0;
      for (int32_t j = i + 1; j < V; ++j) {
        double r = 0;
        switch (random.below(6)) {
          case 0:
            r = 2 * random.uniform() - 1;
            break;
          case 1:
            r = std::nextafter(1.0, 0.0) * (random.below(2) ? 1 : -1);
            break;
          case 2:
            r = random.below(2) ? 1.0 : -1.0;
            break;
          case 3:
            r = 0.0;
            break;
          case 4:
            r = (0.9 + 0.1 * random.uniform()) * (random.below(2) ? 1 : -1);
            break;
          default:
            r = 0.3 * random.normal();
            break;
        }
        if (i == nan_row || j == nan_row) r = NAN;
        correlation[i][j] = correlation[j][i] = r;
      }
    }
    expect_combined_agrees(V, 1000, correlation, "extreme seed " + std::to_string(seed));
  }
}

// Several sweeps over the pairs, several groups of pairs in the first-order
// sweep, and several passes of block bounds in the second-order search: a
// data set large enough for each, with few controls per sweep.
TEST(EngineExactness, SeveralSweepsGroupsAndPasses) {
  const int32_t V = 300, N = 40;
  const Matrix raw = quorvin_test::gene_modules(V, N, 7);
  const int32_t controls_before = quorvin::set_controls_per_sweep(48);
  expect_engines_agree(raw, V, N, "gene modules 300 x 40, 48 controls per sweep");
  quorvin::set_controls_per_sweep(controls_before);
}

TEST(EngineExactness, WorkedExampleWithThirtyObservations) {
  const Matrix correlation = correlation_of(4, worked_example);
  const History ref = reference_history(4, 30, correlation);
  // The history of every pair, which shows where pruning skips a control pair.
  using History = std::vector<std::string>;
  EXPECT_EQ(ref.met.at({0, 1}), (History{"0.42", "2:0.317923", "3:0.188818"}));
  EXPECT_EQ(ref.met.at({0, 2}), (History{"0.47", "1:0.38684", "1,3:0.359585", "3:0.379633"}));
  EXPECT_EQ(ref.met.at({0, 3}), (History{"0.46", "1:0.27725", "2:0.36593"}));
  EXPECT_EQ(ref.met.at({1, 2}), (History{"0.33", "0:0.165535", "3:0.166555"}));
  EXPECT_EQ(ref.met.at({1, 3}), (History{"0.63", "0:0.542065", "0,2:0.530902", "2:0.584783"}));
  EXPECT_EQ(ref.met.at({2, 3}), (History{"0.33", "0:0.145202", "1:0.166555"}));
  EXPECT_EQ(ref.second_order_count, 2);

  const Matrix got = production(4, 30, correlation);
  const char* final_values[4][4] = {{"", "0.188818", "0.359585", "0.27725"},
                                    {"", "", "0.165535", "0.530902"},
                                    {"", "", "", "0.145202"}};
  for (int i = 0; i < 4; ++i)
    for (int j = i + 1; j < 4; ++j) EXPECT_EQ(text_of(got[i][j]), final_values[i][j]);
  expect_combined_agrees(4, 30, correlation, "worked example");
}

TEST(EngineExactness, WorkedExampleWithFiveObservationsHasNoSecondOrder) {
  const Matrix correlation = correlation_of(4, worked_example);
  EXPECT_EQ(reference_history(4, 5, correlation).second_order_count, 0);
  const Matrix got = production(4, 5, correlation);
  const char* final_values[4][4] = {{"", "0.188818", "0.379633", "0.27725"},
                                    {"", "", "0.165535", "0.542065"},
                                    {"", "", "", "0.145202"}};
  for (int i = 0; i < 4; ++i)
    for (int j = i + 1; j < 4; ++j) EXPECT_EQ(text_of(got[i][j]), final_values[i][j]);
  for (int32_t N : {5, 4, 0, -1}) expect_combined_agrees(4, N, correlation, "few observations");
}

TEST(EngineExactness, FewVariables) {
  expect_combined_agrees(0, 30, filled_matrix(0, 0, 0.0), "no variables");
  EXPECT_EQ(expect_combined_agrees(1, 30, correlation_of(1, {}), "one variable")[0][0], 1.0);
  EXPECT_EQ(expect_combined_agrees(2, 30, correlation_of(2, {-0.9}), "two variables")[0][1], -0.9);

  // Three variables: each pair keeps the smaller of its zero-order coefficient
  // and its single first-order one.
  const Matrix trio = expect_combined_agrees(3, 30, correlation_of(3, {0.8, 0.5, 0.5}), "three");
  EXPECT_EQ(trio[0][1], (0.8 - 0.5 * 0.5) / std::sqrt((1 - 0.5 * 0.5) * (1 - 0.5 * 0.5)));
  EXPECT_EQ(trio[0][2], (0.5 - 0.8 * 0.5) / std::sqrt((1 - 0.5 * 0.5) * (1 - 0.8 * 0.8)));
  EXPECT_EQ(trio[1][2], (0.5 - 0.8 * 0.5) / std::sqrt((1 - 0.5 * 0.5) * (1 - 0.8 * 0.8)));
}

// A variable whose row is NaN keeps NaN in its pairs and, as a control,
// changes no other pair: the others end as in the matrix without it.
TEST(EngineExactness, NanRowChangesNoOtherPair) {
  const double nan = std::nan("");
  Matrix row = correlation_of(4, {0.7, nan, 0.6, nan, 0.65, nan});
  row[2][2] = nan;
  const Matrix got = expect_combined_agrees(4, 30, row, "NaN row");
  const Matrix without = production(3, 30, correlation_of(3, {0.7, 0.6, 0.65}));
  EXPECT_TRUE(std::isnan(got[0][2]));
  EXPECT_TRUE(std::isnan(got[1][2]));
  EXPECT_TRUE(std::isnan(got[2][3]));
  EXPECT_EQ(got[0][1], without[0][1]);
  EXPECT_EQ(got[0][3], without[0][2]);
  EXPECT_EQ(got[1][3], without[1][2]);
}

// With c02 = c12 = 0.25 this a makes the coefficient controlled for 2
// exactly -a: the value met first keeps its sign, for either sign of a.
TEST(EngineExactness, EqualMagnitudeOfOppositeSignDoesNotReplace) {
  const double a = 0x1.0842108421084p-5;
  for (double sign : {1.0, -1.0}) {
    const Matrix correlation = correlation_of(3, {sign * a, 0.25, sign * 0.25});
    const History ref = reference_history(3, 30, correlation);
    ASSERT_EQ(ref.met.at({0, 1}).size(), 2u);
    ASSERT_EQ((sign * a - 0.25 * (sign * 0.25)) / std::sqrt((1 - 0.25 * 0.25) * (1 - 0.25 * 0.25)),
              -sign * a);
    EXPECT_EQ(expect_combined_agrees(3, 30, correlation, "equal magnitudes")[0][1], sign * a);
  }
}

// Pair 0,1 whose magnitude equals the pruning threshold passes the test and
// gets its coefficient controlled for 2 and 3; one just below it does not.
TEST(EngineExactness, MagnitudeExactlyAtThresholdPassesPruning) {
  const double T = quorvin::critical_value(30, 1.96);
  for (double sign : {1.0, -1.0}) {
    const Matrix at = correlation_of(4, {sign * T, 0, 0.5, 0, sign * 0.5, 0.6});
    const Matrix below =
        correlation_of(4, {sign * std::nextafter(T, 0.0), 0, 0.5, 0, sign * 0.5, 0.6});
    const History ref_at = reference_history(4, 30, at);
    const History ref_below = reference_history(4, 30, below);
    ASSERT_EQ(ref_at.met.at({0, 1}).size(), 4u);     // zero, 2, (2, 3), 3
    ASSERT_EQ(ref_below.met.at({0, 1}).size(), 3u);  // zero, 2, 3
    const double with_second = expect_combined_agrees(4, 30, at, "at threshold")[0][1];
    const double without_second = expect_combined_agrees(4, 30, below, "below threshold")[0][1];
    EXPECT_EQ(with_second, ref_at.combined[0][1]);
    EXPECT_EQ(without_second, ref_below.combined[0][1]);
    EXPECT_NE(text_of(with_second), text_of(without_second));
  }
}

TEST(EngineExactness, PerfectCorrelationWithAControlNeverEntersTheResult) {
  // 0 and 2 move together: every coefficient controlled for one of them
  // divides by zero, giving NaN or (as 2,3 does not quite match 0,3) an
  // infinity, and none may be stored.
  const Matrix correlation = correlation_of(4, {0.5, 1.0, 0.4, 0.5, 0.45, 0.3});
  const Matrix got = expect_combined_agrees(4, 30, correlation, "perfect correlation");
  for (int i = 0; i < 4; ++i)
    for (int j = i + 1; j < 4; ++j) EXPECT_TRUE(std::isfinite(got[i][j])) << i << "," << j;
}

// The search that the program runs, whatever its own organisation, must give
// the reference's result bit for bit on matrices of every kind and size.
TEST(EngineExactness, SweepAgreesWithTheLoopByLoopSearch) {
  Random random{42};
  const char* kind_names[] = {"factor data", "noise data", "arbitrary", "special values", "tiny"};
  for (int kind = 0; kind < 5; ++kind) {
    for (int32_t V : {4, 5, 6, 9, 12, 17, 24, 40}) {
      for (int32_t N : {6, 9, 14, 30, 200}) {
        const Matrix correlation = sweep_matrix(static_cast<Kind>(kind), V, N, random);
        expect_combined_agrees(
            V, N, correlation,
            std::string(kind_names[kind]) + " V=" + std::to_string(V) + " N=" + std::to_string(N));
        if (HasFatalFailure()) return;
      }
    }
  }
}
