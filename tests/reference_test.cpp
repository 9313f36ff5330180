// The reference engine on the documented worked examples: the exactness tests
// are only as good as the reference they compare with.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "reference/reference.h"

using quorvin::Matrix;
namespace reference = quorvin::reference;

namespace {

// columns[i] holds the N values of variable i; returns the N x V matrix.
Matrix observations(const std::vector<std::vector<double>>& columns) {
  Matrix m;
  quorvin::allocate_matrix(m, static_cast<int64_t>(columns.at(0).size()),
                           static_cast<int64_t>(columns.size()));
  for (size_t i = 0; i < columns.size(); ++i)
    for (size_t k = 0; k < columns[i].size(); ++k) m[k][i] = columns[i][k];
  return m;
}

std::vector<double> column(const Matrix& m, int64_t i) {
  std::vector<double> values;
  for (int64_t k = 0; k < m.rows; ++k) values.push_back(m[k][i]);
  return values;
}

std::string six_digits(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", value);
  return text;
}

std::vector<double> ranks_of(const std::vector<std::vector<double>>& columns, int64_t i) {
  const Matrix raw = observations(columns);
  Matrix ranks;
  quorvin::allocate_matrix(ranks, raw.rows, raw.cols);
  reference::rank_transform(static_cast<int32_t>(raw.cols), static_cast<int32_t>(raw.rows), ranks,
                            raw);
  return column(ranks, i);
}

// The four-variable example: its upper triangle, mirrored.
Matrix example_correlation() {
  const double upper[4][4] = {{1, 0.42, 0.47, 0.46}, {0, 1, 0.33, 0.63}, {0, 0, 1, 0.33}, {}};
  Matrix c;
  quorvin::allocate_matrix(c, 4, 4);
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) c[i][j] = i == j ? 1.0 : i < j ? upper[i][j] : upper[j][i];
  return c;
}

}  // namespace

TEST(Reference, RanksAverageTieGroups) {
  EXPECT_EQ(ranks_of({{1, 2, 2, 3}}, 0), (std::vector<double>{1, 2.5, 2.5, 4}));
  EXPECT_EQ(ranks_of({{5, 5, 5}}, 0), (std::vector<double>{2, 2, 2}));
  EXPECT_EQ(ranks_of({{30, 10, 20, 10}}, 0), (std::vector<double>{4, 1.5, 3, 1.5}));
  EXPECT_EQ(ranks_of({{2, 1}}, 0), (std::vector<double>{2, 1}));
  EXPECT_EQ(ranks_of({{-0.0, 0.0, 1}}, 0), (std::vector<double>{1.5, 1.5, 3}));
  // Two variables in one call: the sweep state must not leak from one to the next.
  const std::vector<std::vector<double>> two = {{7, 7, 1, 1, 1, 9}, {3, 3, 1, 2, 2, 2}};
  EXPECT_EQ(ranks_of(two, 0), (std::vector<double>{4.5, 4.5, 2, 2, 2, 6}));
  EXPECT_EQ(ranks_of(two, 1), (std::vector<double>{5.5, 5.5, 1, 3, 3, 3}));
}

TEST(Reference, CovarianceAndCorrelationOfTheTwoVariableExample) {
  const Matrix raw = observations({{1, 2, 2, 3}, {10, 40, 30, 20}});
  Matrix ranks, covariance, correlation;
  quorvin::allocate_matrix(ranks, 4, 2);
  quorvin::allocate_matrix(covariance, 2, 2);
  quorvin::allocate_matrix(correlation, 2, 2);
  std::vector<double> means(2, 0.0);
  reference::rank_transform(2, 4, ranks, raw);
  reference::rank_covariance(2, 4, covariance, ranks, means);
  reference::correlation_from_covariance(2, correlation, covariance);

  EXPECT_EQ(means, (std::vector<double>{2.5, 2.5}));
  EXPECT_EQ(column(ranks, 0), (std::vector<double>{-1.5, 0, 0, 1.5}));
  EXPECT_EQ(column(ranks, 1), (std::vector<double>{-1.5, 1.5, 0.5, -0.5}));
  EXPECT_EQ(covariance[0][0], 1.5);
  EXPECT_EQ(covariance[0][1], 0.5);
  EXPECT_EQ(covariance[1][0], 0.5);
  EXPECT_EQ(covariance[1][1], 5.0 / 3.0);
  EXPECT_EQ(correlation[0][0], 1.0);
  EXPECT_EQ(correlation[1][1], 1.0);
  EXPECT_EQ(correlation[0][1], 0.5 / std::sqrt(5.0 / 3.0 * 1.5));
  EXPECT_EQ(correlation[1][0], correlation[0][1]);
}

TEST(Reference, CriticalValues) {
  EXPECT_EQ(six_digits(reference::critical_value(30, 1.96)), "0.373083");
  EXPECT_EQ(six_digits(reference::critical_value(20, 1.96)), "0.466877");
  EXPECT_EQ(six_digits(reference::critical_value(20, 2.5758)), "0.581727");
  EXPECT_EQ(six_digits(reference::critical_value(20, 3.2905)), "0.690862");
  EXPECT_EQ(six_digits(reference::critical_value(20, 3.8906)), "0.763498");
  EXPECT_EQ(six_digits(reference::critical_value(6, 1.96)), "0.96109");
  EXPECT_EQ(six_digits(reference::critical_value(6, 3.8906)), "0.999165");
  for (int32_t N : {5, 0, -1}) EXPECT_TRUE(std::isnan(reference::critical_value(N, 1.96))) << N;
}

// The worked example's histories include a pair pruned before a second-order
// coefficient that would have been smaller (0.137674 for [0][1]).
TEST(Reference, CombinedSearchOfTheFourVariableExample) {
  const Matrix correlation = example_correlation();
  Matrix combined;
  quorvin::allocate_matrix(combined, 4, 4);
  std::vector<int32_t> controls;
  std::vector<int32_t> kept(quorvin::kept_controls_size(4), 99);
  reference::combine_partial_correlations(
      4, 30, combined, correlation, [&controls](int32_t s) { controls.push_back(s); }, kept.data());
  EXPECT_EQ(controls, (std::vector<int32_t>{0, 1, 2, 3}));
  // The controls of each result by pair, (0, 1) to (2, 3), -1 for none.
  EXPECT_EQ(kept, (std::vector<int32_t>{3, -1, 1, 3, 1, -1,  //
                                        0, -1, 0, 2,         //
                                        0, -1}));
  EXPECT_EQ(six_digits(combined[0][1]), "0.188818");
  EXPECT_EQ(six_digits(combined[0][2]), "0.359585");
  EXPECT_EQ(six_digits(combined[0][3]), "0.27725");
  EXPECT_EQ(six_digits(combined[1][2]), "0.165535");
  EXPECT_EQ(six_digits(combined[1][3]), "0.530902");
  EXPECT_EQ(six_digits(combined[2][3]), "0.145202");
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j <= i; ++j) EXPECT_EQ(combined[i][j], correlation[i][j]) << i << "," << j;

  // Without a threshold (N = 5) only zero- and first-order coefficients count.
  reference::combine_partial_correlations(4, 5, combined, correlation, nullptr);
  EXPECT_EQ(six_digits(combined[0][2]), "0.379633");
  EXPECT_EQ(six_digits(combined[1][3]), "0.542065");
  EXPECT_EQ(six_digits(combined[0][1]), "0.188818");
  EXPECT_EQ(six_digits(combined[2][3]), "0.145202");
}
