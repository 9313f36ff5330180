#include "stats/correlation.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "stats/ranks.h"
#include "support/test_values.h"

using quorvin::Matrix;

namespace {

struct Correlated {
  Matrix centred, covariance, correlation;
  std::vector<double> means;
};

// Ranks, centres and correlates raw (N x V) as a run does.
Correlated correlate(const Matrix& raw, int32_t V, int32_t N) {
  Correlated c;
  c.centred = quorvin_test::filled_matrix(N, V, 0.0);
  quorvin::rank_transform(V, N, c.centred, raw);
  c.covariance = quorvin_test::filled_matrix(V, V, -9.0);
  c.correlation = quorvin_test::filled_matrix(V, V, -9.0);
  c.means.assign(V, 0.0);
  quorvin::rank_covariance(V, N, c.covariance, c.centred, c.means);
  quorvin::correlation_from_covariance(V, c.correlation, c.covariance);
  return c;
}

// Observation-major matrix from variable columns.
Matrix from_columns(const std::vector<std::vector<double>>& columns) {
  const int64_t V = static_cast<int64_t>(columns.size()), N = columns.empty() ? 0 : columns[0].size();
  Matrix raw = quorvin_test::filled_matrix(N, V, 0.0);
  for (int64_t i = 0; i < V; ++i)
    for (int64_t k = 0; k < N; ++k) raw[k][i] = columns[i][k];
  return raw;
}

}  // namespace

TEST(Correlation, WorkedExample) {
  Correlated c = correlate(from_columns({{1, 2, 2, 3}, {10, 40, 30, 20}}), 2, 4);
  EXPECT_EQ(c.means, (std::vector<double>{2.5, 2.5}));
  const double centred[4][2] = {{-1.5, -1.5}, {0, 1.5}, {0, 0.5}, {1.5, -0.5}};
  for (int k = 0; k < 4; ++k)
    for (int i = 0; i < 2; ++i) EXPECT_EQ(c.centred[k][i], centred[k][i]);
  EXPECT_EQ(c.covariance[0][0], 1.5);
  EXPECT_EQ(c.covariance[0][1], 0.5);
  EXPECT_EQ(c.covariance[1][0], 0.5);
  EXPECT_EQ(c.covariance[1][1], 5.0 / 3);
  const double off_diagonal = 0.5 / std::sqrt(5.0 / 3 * 1.5);
  EXPECT_EQ(c.correlation[0][1], off_diagonal);
  EXPECT_EQ(c.correlation[1][0], off_diagonal);
  EXPECT_EQ(c.correlation[0][0], 1.0);
  EXPECT_EQ(c.correlation[1][1], 1.0);
  EXPECT_EQ(quorvin_test::text_of(off_diagonal), quorvin_test::text_of(1 / std::sqrt(10.0)));
}

TEST(Correlation, PerfectAgreementAndOppositeOrder) {
  Correlated c = correlate(from_columns({{1, 5, 2, 9, 3}, {10, 50, 20, 90, 30}, {-1, -5, -2, -9, -3}}),
                           3, 5);
  EXPECT_EQ(c.correlation[0][1], 1.0);
  EXPECT_EQ(c.correlation[0][2], -1.0);
  EXPECT_EQ(c.correlation[1][2], -1.0);
}

TEST(Correlation, ConstantVariableGivesNanRowAndColumn) {
  Correlated c = correlate(from_columns({{1, 2, 3}, {4, 4, 4}, {3, 1, 2}}), 3, 3);
  for (int j = 0; j < 3; ++j) {
    EXPECT_TRUE(std::isnan(c.correlation[1][j])) << j;
    EXPECT_TRUE(std::isnan(c.correlation[j][1])) << j;
  }
  EXPECT_EQ(c.correlation[0][0], 1.0);
  EXPECT_EQ(c.correlation[0][2], -0.5);
}

TEST(Correlation, OneObservationGivesNanEverywhere) {
  Correlated c = correlate(from_columns({{1}, {2}}), 2, 1);
  for (int i = 0; i < 2; ++i)
    for (int j = 0; j < 2; ++j) EXPECT_TRUE(std::isnan(c.correlation[i][j]));
}

TEST(Correlation, MayBeComputedInTheCovarianceStorage) {
  Correlated c = correlate(from_columns({{1, 2, 2, 3}, {10, 40, 30, 20}, {3, 1, 4, 1}}), 3, 4);
  Matrix in_place = quorvin_test::filled_matrix(3, 3, 0.0);
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) in_place[i][j] = c.covariance[i][j];
  quorvin::correlation_from_covariance(3, in_place, in_place);
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) EXPECT_EQ(in_place[i][j], c.correlation[i][j]) << i << "," << j;
}

// Shapes around the blocking of the covariance (blocks of 4 x 8 variables,
// panels of 512 variables and 256 observations): every covariance equals the
// plain sum over observations, both matrices are exactly symmetric, means are
// (N + 1) / 2, centred ranks sum to zero and the diagonal of the correlation is 1.
TEST(Correlation, SweepOfShapesAgreesWithThePlainSums) {
  struct Shape {
    int32_t V, N;
  };
  std::mt19937_64 random(7);
  for (const Shape shape : {Shape{1, 3}, Shape{3, 5}, Shape{8, 4}, Shape{9, 20}, Shape{13, 257},
                            Shape{33, 300}, Shape{520, 6}}) {
    const int32_t V = shape.V, N = shape.N;
    Matrix raw = quorvin_test::filled_matrix(N, V, 0.0);
    for (int32_t k = 0; k < N; ++k)
      for (int32_t i = 0; i < V; ++i) raw[k][i] = static_cast<double>(random() % (3 + i % 50));
    for (int32_t k = 0; k < N; ++k) raw[k][0] = k;  // never constant
    Correlated c = correlate(raw, V, N);
    for (int32_t i = 0; i < V; ++i) {
      ASSERT_EQ(c.means[i], (N + 1) / 2.0);
      double centred_sum = 0;
      for (int32_t k = 0; k < N; ++k) centred_sum += c.centred[k][i];
      ASSERT_EQ(centred_sum, 0.0);
    }
    for (int32_t i = 0; i < V; ++i) {
      for (int32_t j = 0; j < V; ++j) {
        double sum = 0;
        for (int32_t k = 0; k < N; ++k) sum = c.centred[k][i] * c.centred[k][j] + sum;
        ASSERT_EQ(c.covariance[i][j], sum / (N - 1)) << "V " << V << " N " << N << " " << i << "," << j;
        ASSERT_EQ(c.covariance[i][j], c.covariance[j][i]);
        if (std::isnan(c.correlation[i][j])) {
          ASSERT_TRUE(std::isnan(c.correlation[j][i]));
          ASSERT_EQ(c.covariance[i][i] * c.covariance[j][j], 0.0);
        } else {
          ASSERT_EQ(c.correlation[i][j], c.correlation[j][i]);
        }
      }
      if (c.covariance[i][i] != 0) {
        ASSERT_EQ(c.correlation[i][i], 1.0);
      }
    }
  }
}
