#include "stats/ranks.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "support/test_values.h"

namespace {

// The ranks of each column, as rank_transform gives them.
std::vector<std::vector<double>> ranks_of(const std::vector<std::vector<double>>& columns) {
  const int32_t V = static_cast<int32_t>(columns.size());
  const int32_t N = V == 0 ? 0 : static_cast<int32_t>(columns[0].size());
  quorvin::Matrix raw = quorvin_test::filled_matrix(N, V, 0.0);
  for (int32_t i = 0; i < V; ++i)
    for (int32_t k = 0; k < N; ++k) raw[k][i] = columns[i][k];
  quorvin::Matrix ranks = quorvin_test::filled_matrix(N, V, -1.0);
  quorvin::rank_transform(V, N, ranks, raw);
  std::vector<std::vector<double>> result(V, std::vector<double>(N));
  for (int32_t i = 0; i < V; ++i)
    for (int32_t k = 0; k < N; ++k) {
      result[i][k] = ranks[k][i];
      EXPECT_EQ(std::memcmp(&raw[k][i], &columns[i][k], sizeof(double)), 0) << "raw value changed";
    }
  return result;
}

}  // namespace

TEST(Ranks, KnownAnswers) {
  struct Case {
    std::vector<double> values, ranks;
  };
  for (const Case& c : {
           Case{{1, 2, 2, 3}, {1, 2.5, 2.5, 4}},
           Case{{5, 5, 5}, {2, 2, 2}},
           Case{{30, 10, 20, 10}, {4, 1.5, 3, 1.5}},
           Case{{7, 7, 1, 1, 1, 9}, {4.5, 4.5, 2, 2, 2, 6}},
           Case{{3, 3, 1, 2, 2, 2}, {5.5, 5.5, 1, 3, 3, 3}},
           Case{{42}, {1}},
           Case{{2, 1}, {2, 1}},
           Case{{2, 2.0, 0, -0.0}, {3.5, 3.5, 1.5, 1.5}},
           Case{{1.0, std::nextafter(1.0, 2.0), 1.0}, {1.5, 3, 1.5}},
           Case{{-1e300, 1e-300, -1e-300, 1e300}, {1, 3, 2, 4}},
       }) {
    EXPECT_EQ(ranks_of({c.values})[0], c.ranks);
  }
}

TEST(Ranks, EachVariableIsRankedOnItsOwn) {
  const auto ranks = ranks_of({{1, 2, 2, 3}, {10, 40, 30, 20}, {0, 0, 0, 0}});
  EXPECT_EQ(ranks[0], (std::vector<double>{1, 2.5, 2.5, 4}));
  EXPECT_EQ(ranks[1], (std::vector<double>{1, 4, 3, 2}));
  EXPECT_EQ(ranks[2], (std::vector<double>{2.5, 2.5, 2.5, 2.5}));
}

TEST(Ranks, NothingToRank) {
  quorvin::Matrix raw = quorvin_test::filled_matrix(3, 2, 1.0);
  quorvin::Matrix ranks = quorvin_test::filled_matrix(3, 2, -1.0);
  quorvin::rank_transform(0, 3, ranks, raw);
  quorvin::rank_transform(2, 0, ranks, raw);
  for (int k = 0; k < 3; ++k)
    for (int i = 0; i < 2; ++i) EXPECT_EQ(ranks[k][i], -1.0);
}

// Against the definition: a value's rank is the number of smaller values plus
// the mean of the positions its tie group covers, over columns with many ties.
TEST(Ranks, SweepAgreesWithTheDefinition) {
  std::mt19937_64 random(20261207);
  for (int32_t N : {1, 2, 3, 7, 16, 100, 513}) {
    for (int distinct : {1, 2, 5, 1000000}) {
      std::vector<double> column(N);
      for (double& v : column) v = static_cast<double>(random() % distinct) * 0.1 - 3;
      const std::vector<double> ranks = ranks_of({column})[0];
      double sum = 0;
      for (int32_t k = 0; k < N; ++k) {
        int less = 0, equal = 0;
        for (double other : column) {
          less += other < column[k];
          equal += other == column[k];
        }
        ASSERT_EQ(ranks[k], less + (equal + 1) / 2.0) << "N " << N << " k " << k;
        sum += ranks[k];
      }
      EXPECT_EQ(sum, N * (N + 1) / 2.0);
    }
  }
}

TEST(Ranks, SortAscending) {
  std::vector<double> values = {3, -1, 2, 2, -0.0, 1e-300, -7};
  quorvin::sort_ascending(values.data(), static_cast<int32_t>(values.size()));
  EXPECT_EQ(values, (std::vector<double>{-7, -1, -0.0, 1e-300, 2, 2, 3}));
  double one = 5;
  quorvin::sort_ascending(&one, 1);
  quorvin::sort_ascending(nullptr, 0);
  EXPECT_EQ(one, 5);
}
