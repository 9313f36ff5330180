#include "stats/critical_value.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "support/test_values.h"

using quorvin::critical_value;
using quorvin_test::text_of;

TEST(CriticalValue, KnownValues) {
  struct Case {
    int32_t N;
    double z;
    const char* text;
  };
  for (const Case& c : {Case{30, 1.96, "0.373083"}, Case{20, 1.96, "0.466877"},
                        Case{20, 2.5758, "0.581727"}, Case{20, 3.2905, "0.690862"},
                        Case{20, 3.8906, "0.763498"}, Case{6, 1.96, "0.96109"},
                        Case{6, 3.8906, "0.999165"}, Case{32, 2.5758, "0.458739"}}) {
    EXPECT_EQ(text_of(critical_value(c.N, c.z)), c.text) << "N " << c.N << " z " << c.z;
  }
}

// With one degree of freedom left the value is tanh(z) itself.
TEST(CriticalValue, SixObservationsGiveTanh) {
  for (double z : {1.96, 2.5758, 3.2905, 3.8906})
    EXPECT_EQ(text_of(critical_value(6, z)), text_of(std::tanh(z))) << z;
}

TEST(CriticalValue, FiveObservationsOrFewerGiveNan) {
  for (int32_t N : {5, 4, 1, 0, -1, std::numeric_limits<int32_t>::min()})
    for (double z : {1.96, 2.5758, 3.2905, 3.8906})
      EXPECT_TRUE(std::isnan(critical_value(N, z))) << "N " << N << " z " << z;
}

TEST(CriticalValue, GrowsWithZAndShrinksWithN) {
  const double levels[] = {1.96, 2.5758, 3.2905, 3.8906};
  for (int32_t N : {6, 7, 10, 30, 1000, 1000000, std::numeric_limits<int32_t>::max()}) {
    for (int l = 0; l < 4; ++l) {
      const double value = critical_value(N, levels[l]);
      EXPECT_GT(value, 0.0) << N;
      EXPECT_LT(value, 1.0) << N;
      if (l > 0) {
        EXPECT_GT(value, critical_value(N, levels[l - 1])) << N;
      }
      if (N > 6) {
        EXPECT_LT(value, critical_value(6, levels[l])) << N;
      }
    }
  }
  for (int32_t N = 7; N < 500; ++N) EXPECT_LT(critical_value(N, 2.5758), critical_value(N - 1, 2.5758));
}
