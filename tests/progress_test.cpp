#include "driver/progress.h"

#include <gtest/gtest.h>

namespace {

// The share grows with every control, ends at 1, and puts the weight where
// the work is: the first tenth of the controls is far more than a tenth.
TEST(Progress, ShareFollowsTheWorkNotTheControlIndex) {
  for (int32_t V : {3, 4, 10, 1000}) {
    double before = 0;
    for (int32_t s = 0; s < V; ++s) {
      const double share = quorvin::search_share_done(V, s);
      EXPECT_GT(share, before) << V << " " << s;
      before = share;
    }
    EXPECT_DOUBLE_EQ(before, 1.0) << V;
  }
  EXPECT_NEAR(quorvin::search_share_done(1000, 99), 0.19, 0.01);
  EXPECT_NEAR(quorvin::search_share_done(1000, 499), 0.75, 0.01);
  EXPECT_EQ(quorvin::search_share_done(1, 0), 1.0);
  EXPECT_EQ(quorvin::search_share_done(2, 1), 1.0);
}

TEST(Progress, LineShowsShareElapsedAndTimeLeft) {
  EXPECT_EQ(quorvin::progress_line(0.25, 72), "Search: 25.0% done, 1:12 elapsed, about 3:36 left");
  EXPECT_EQ(quorvin::progress_line(0, 3), "Search: 0.0% done, 0:03 elapsed");
  EXPECT_EQ(quorvin::progress_line(0.0099, 1327), "Search: 1.0% done, 22:07 elapsed");
  EXPECT_EQ(quorvin::progress_line(0.01, 60), "Search: 1.0% done, 1:00 elapsed, about 1:39:00 left");
  EXPECT_EQ(quorvin::progress_line(1, 4000), "Search: 100.0% done, 1:06:40 elapsed, about 0:00 left");
}

}  // namespace
