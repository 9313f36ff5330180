// The production engine against the plain reference, bit for bit, on seeded
// data sets of many shapes and with several thread counts.
#include <gtest/gtest.h>
#include <omp.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <initializer_list>
#include <string>
#include <vector>

#include "stats/combine.h"
#include "stats/combine_kernels.h"
#include "stats/correlation.h"
#include "stats/critical_value.h"
#include "stats/ranks.h"
#include "support/random_data.h"
#include "support/reference.h"

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
  std::vector<int32_t> controls_done;
};

// Filled with a value no stage produces, so that an entry one engine leaves
// unwritten shows as a difference.
Matrix sentinel_matrix(int64_t rows, int64_t cols) {
  Matrix m;
  quorvin::allocate_matrix(m, rows, cols);
  std::fill(m.data.get(), m.data.get() + rows * cols, -7777.25);
  return m;
}

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
  reference::combine_partial_correlations(V, N, r.combined, r.correlation,
                                          [&r](int32_t s) { r.controls_done.push_back(s); });
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
  quorvin::combine_partial_correlations(V, N, r.combined, r.correlation,
                                        [&r](int32_t s) { r.controls_done.push_back(s); });
  return r;
}

// Equal bits; two NaNs count as equal whatever their payload, as every NaN
// is written the same way.
bool same_double(double a, double b) {
  return std::bit_cast<uint64_t>(a) == std::bit_cast<uint64_t>(b) || (std::isnan(a) && std::isnan(b));
}

// Empty when equal; otherwise the first differing entry with both values.
std::string first_difference(const double* actual, const double* expected, int64_t rows,
                             int64_t cols) {
  for (int64_t r = 0; r < rows; ++r)
    for (int64_t c = 0; c < cols; ++c) {
      const double a = actual[r * cols + c], e = expected[r * cols + c];
      if (same_double(a, e)) continue;
      char text[200];
      std::snprintf(text, sizeof text, "[%lld][%lld]: production %.17g (%a), reference %.17g (%a)",
                    static_cast<long long>(r), static_cast<long long>(c), a, a, e, e);
      return text;
    }
  return "";
}

std::string first_difference(const Matrix& actual, const Matrix& expected) {
  return first_difference(actual.data.get(), expected.data.get(), expected.rows, expected.cols);
}

const char* kind_name(DataKind kind) {
  switch (kind) {
    case DataKind::normal: return "normal";
    case DataKind::factors: return "factors";
    case DataKind::chain: return "chain";
    case DataKind::ties: return "ties";
    case DataKind::near_perfect: return "near_perfect";
  }
  return "?";
}

// The ways the production engine can run: thread counts, and each set of
// filters this CPU can run.
struct EngineSetting {
  int threads;
  quorvin::FilterSet filters;
};

std::vector<EngineSetting> engine_settings() {
  using quorvin::FilterSet;
  const FilterSet best = quorvin::best_filter_set();
  std::vector<EngineSetting> settings = {{1, best}, {2, best}, {3, best}, {2, FilterSet::plain}};
  if (best == FilterSet::avx512) settings.push_back({2, FilterSet::avx2});
  return settings;
}

// Applies a setting for its scope.
class ScopedEngineSetting {
 public:
  explicit ScopedEngineSetting(const EngineSetting& setting)
      : threads_(omp_get_max_threads()), filters_(quorvin::use_filter_set(setting.filters)) {
    omp_set_num_threads(setting.threads);
  }
  ~ScopedEngineSetting() {
    omp_set_num_threads(threads_);
    quorvin::use_filter_set(filters_);
  }

 private:
  int threads_;
  quorvin::FilterSet filters_;
};

std::string describe(const EngineSetting& setting) {
  static const char* const names[] = {"plain", "avx2", "avx512"};
  return " threads=" + std::to_string(setting.threads) + " filters=" +
         names[static_cast<int>(setting.filters)];
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
    EXPECT_EQ(first_difference(actual.covariance, expected.covariance), "") << where << " covariance";
    EXPECT_EQ(first_difference(actual.correlation_apart, expected.correlation), "")
        << where << " correlation";
    EXPECT_EQ(first_difference(actual.correlation, expected.correlation), "")
        << where << " correlation in place";
    EXPECT_EQ(first_difference(actual.combined, expected.combined), "") << where << " combined";
    EXPECT_EQ(actual.controls_done, expected.controls_done) << where << " controls done";
  }
}

// A correlation matrix with 1 on the diagonal, the given entries (i < j) and
// their mirrors, and 0 elsewhere.
struct Entry {
  int32_t i, j;
  double value;
};
Matrix correlation_with(int32_t V, std::initializer_list<Entry> entries) {
  Matrix c = sentinel_matrix(V, V);
  for (int32_t i = 0; i < V; ++i)
    for (int32_t j = 0; j < V; ++j) c[i][j] = i == j ? 1.0 : 0.0;
  for (const Entry& e : entries) c[e.i][e.j] = c[e.j][e.i] = e.value;
  return c;
}

// Runs only the combined search of both engines on correlation; expects the
// same bits in every engine setting. Returns the reference's result.
Matrix expect_combined_agrees(int32_t V, int32_t N, const Matrix& correlation,
                              const std::string& label) {
  Matrix expected = sentinel_matrix(V, V);
  quorvin::reference::combine_partial_correlations(V, N, expected, correlation, nullptr);
  for (const EngineSetting& setting : engine_settings()) {
    ScopedEngineSetting scoped(setting);
    Matrix actual = sentinel_matrix(V, V);
    quorvin::combine_partial_correlations(V, N, actual, correlation, nullptr);
    EXPECT_EQ(first_difference(actual, expected), "") << label << describe(setting);
  }
  return expected;
}

struct Shape {
  int32_t V, N;
};

// From empty to 60 variables; N of 5 or less (no pruning threshold), N = 6
// (threshold tanh(1.96)) and up to 100 observations.
const Shape shapes[] = {{0, 1},  {0, 10},  {1, 1},  {1, 7},   {2, 3},   {2, 20},  {3, 6},
                        {3, 12}, {4, 5},   {4, 6},  {4, 30},  {5, 2},   {5, 8},   {7, 6},
                        {8, 40}, {12, 5},  {13, 100}, {20, 7}, {21, 25}, {33, 60}, {40, 10},
                        {47, 15}, {60, 4}, {60, 6}, {60, 40}, {60, 100}};

void expect_agreement_on_every_shape(DataKind kind) {
  for (const Shape& shape : shapes)
    for (uint64_t seed = 1; seed <= 2; ++seed) {
      const Matrix raw = synthetic_data(kind, shape.V, shape.N, seed);
      expect_engines_agree(raw, shape.V, shape.N,
                           std::string(kind_name(kind)) + " V=" + std::to_string(shape.V) +
                               " N=" + std::to_string(shape.N) + " seed=" + std::to_string(seed));
    }
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

TEST(EngineExactness, GeneModules) {
  for (const Shape shape : {Shape{60, 40}, Shape{60, 100}, Shape{45, 20}}) {
    const Matrix raw = gene_modules(shape.V, shape.N, 7);
    expect_engines_agree(raw, shape.V, shape.N,
                         "gene modules V=" + std::to_string(shape.V) + " N=" + std::to_string(shape.N));
  }
}

// Pair 0, 1 meets a first-order coefficient (control 2) and a second-order one
// (controls 2 and 3) of exactly its own magnitude and the opposite sign: the
// value met first must stay.
TEST(EngineExactness, EqualMagnitudeNeverReplacesTheStoredValue) {
  const double a = 0.78125, c = 0x1.c1c108d0af958p-2;
  ASSERT_EQ((c - a * a) / std::sqrt((1 - a * a) * (1 - a * a)), -c);
  const Matrix correlation = correlation_with(4, {{0, 1, c}, {0, 3, a}, {1, 3, a}});
  const Matrix expected = expect_combined_agrees(4, 30, correlation, "equal magnitudes");
  EXPECT_EQ(expected[0][1], c);
}

// A pair exactly at the pruning threshold meets its second-order coefficient
// (0.0299 here); one an ulp below it does not and ends at 0.231.
TEST(EngineExactness, PairAtThePruningThresholdIsSearched) {
  const double T = quorvin::reference::critical_value(30, 1.96);
  std::vector<double> results;
  for (double r01 : {T, std::nextafter(T, 0.0)}) {
    const Matrix correlation = correlation_with(
        4, {{0, 1, r01}, {0, 2, 0.125}, {0, 3, -0.5}, {1, 3, -0.375}, {2, 3, 0.625}});
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
      EXPECT_TRUE(same_double(actual, expected)) << "N=" << N << " z=" << z << ": " << actual
                                                 << " vs " << expected;
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
          case 0: r = 2 * random.uniform() - 1; break;
          case 1: r = std::nextafter(1.0, 0.0) * (random.below(2) ? 1 : -1); break;
          case 2: r = random.below(2) ? 1.0 : -1.0; break;
          case 3: r = 0.0; break;
          case 4: r = (0.9 + 0.1 * random.uniform()) * (random.below(2) ? 1 : -1); break;
          default: r = 0.3 * random.normal(); break;
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
