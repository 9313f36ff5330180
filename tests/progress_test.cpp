#include "driver/progress.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/matrix.h"
#include "stats/combine.h"
#include "stats/correlation.h"
#include "stats/ranks.h"
#include "support/engine_check.h"
#include "support/random_data.h"

namespace {

using quorvin::ProgressEstimate;
using quorvin::SearchWork;

SearchWork known(double done, double left) {
  return {.done = done, .left = left, .left_known = true};
}

TEST(ProgressEstimate, NoTimeLeftBeforeAHundredthOfTheWorkIsKnownDone) {
  ProgressEstimate estimate;
  quorvin::estimate_progress(estimate, 0.5, {});
  EXPECT_EQ(estimate.share, 0);
  EXPECT_LT(estimate.seconds_left, 0);
  // Work done, but nothing known yet of what is left.
  quorvin::estimate_progress(estimate, 1, {.done = 10});
  EXPECT_EQ(estimate.share, 0);
  EXPECT_LT(estimate.seconds_left, 0);
  quorvin::estimate_progress(estimate, 2, known(50, 9950));
  EXPECT_DOUBLE_EQ(estimate.share, 0.005);
  EXPECT_LT(estimate.seconds_left, 0);
  quorvin::estimate_progress(estimate, 3, known(110, 9890));
  EXPECT_DOUBLE_EQ(estimate.seconds_left, 2 * 9890.0 / 100);
}

// The rate comes from the work since the first report of some: the time
// before it set the search up and does not recur.
TEST(ProgressEstimate, RateLeavesOutTheSetUp) {
  ProgressEstimate estimate;
  quorvin::estimate_progress(estimate, 0, {});
  quorvin::estimate_progress(estimate, 30, known(100, 1900));
  quorvin::estimate_progress(estimate, 40, known(600, 1400));
  EXPECT_DOUBLE_EQ(estimate.seconds_left, 10 * 1400.0 / 500);
}

TEST(ProgressEstimate, ShareNeverFallsAndEndsAtOne) {
  ProgressEstimate estimate;
  quorvin::estimate_progress(estimate, 1, known(100, 300));
  EXPECT_DOUBLE_EQ(estimate.share, 0.25);
  // More work found left: the share holds, the time left grows.
  quorvin::estimate_progress(estimate, 2, known(200, 1800));
  EXPECT_DOUBLE_EQ(estimate.share, 0.25);
  EXPECT_DOUBLE_EQ(estimate.seconds_left, 18);
  quorvin::estimate_progress(estimate, 3, known(1500, 500));
  EXPECT_DOUBLE_EQ(estimate.share, 0.75);
  // Nothing left but not yet the end: short of what shows as 100.0%.
  quorvin::estimate_progress(estimate, 4, known(2000, 0));
  EXPECT_EQ(quorvin::progress_line(estimate.share, 4, estimate.seconds_left),
            "Search: 99.9% done, 0:04 elapsed, about 0:00 left");
  quorvin::estimate_progress(estimate, 5, {.done = 2000, .left_known = true, .finished = true});
  EXPECT_EQ(estimate.share, 1);
  EXPECT_EQ(estimate.seconds_left, 0);
}

TEST(ProgressLine, ShowsShareElapsedAndTimeLeft) {
  EXPECT_EQ(quorvin::progress_line(0.25, 72, 216),
            "Search: 25.0% done, 1:12 elapsed, about 3:36 left");
  EXPECT_EQ(quorvin::progress_line(0, 3, -1), "Search: 0.0% done, 0:03 elapsed");
  EXPECT_EQ(quorvin::progress_line(0.01, 60, 5940),
            "Search: 1.0% done, 1:00 elapsed, about 1:39:00 left");
  EXPECT_EQ(quorvin::progress_line(1, 4000, 0),
            "Search: 100.0% done, 1:06:40 elapsed, about 0:00 left");
}

// A run's reports as recorded: one line per report, seconds elapsed, work
// done and work left ("unknown" before the search knows, "finished" at its end).
struct Report {
  double elapsed;
  SearchWork work;
};

std::vector<Report> recorded_run(const std::string& name) {
  const auto path = std::filesystem::path(__FILE__).parent_path() / "data" / name;
  std::ifstream file(path);
  std::vector<Report> reports;
  std::string line;
  while (std::getline(file, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    Report report{};
    std::string left;
    fields >> report.elapsed >> report.work.done >> left;
    report.work.finished = left == "finished";
    report.work.left_known = left != "unknown";
    if (left != "unknown" && !report.work.finished) report.work.left = std::stod(left);
    reports.push_back(report);
  }
  return reports;
}

// Replayed through the estimator, each recorded run has its time left within
// a quarter of the truth at the first report past a tenth of its time, and
// its share never falls and ends at 1.
TEST(ProgressEstimate, RecordedRunsKnowTheirTimeLeftAtATenth) {
  for (const char* name : {"progress_dense_2000x200.txt", "progress_modules_2000x100.txt",
                           "progress_all_3000x128.txt"}) {
    SCOPED_TRACE(name);
    const std::vector<Report> reports = recorded_run(name);
    ASSERT_GE(reports.size(), 10u);
    ASSERT_TRUE(reports.back().work.finished);
    const double total = reports.back().elapsed;
    ProgressEstimate estimate;
    double share = 0;
    bool checked = false;  // the report past a tenth
    for (const Report& report : reports) {
      quorvin::estimate_progress(estimate, report.elapsed, report.work);
      EXPECT_GE(estimate.share, share) << report.elapsed;
      share = estimate.share;
      if (!checked && report.elapsed >= 0.1 * total) {
        checked = true;
        const double truth = total - report.elapsed;
        EXPECT_NEAR(estimate.seconds_left, truth, 0.25 * truth) << report.elapsed;
      }
    }
    EXPECT_EQ(estimate.share, 1);
  }
}

// The engine's reports: from the calling thread alone, also within the
// first block of controls, the work done never falling, the work left known
// once the first pairs are done, and one last report; the results are those
// of a search that reports nothing.
TEST(SearchWork, EngineReportsFromItsThreadAsItGoes) {
  const int32_t V = 300, N = 40;
  const quorvin::Matrix raw = quorvin_test::dense_factors(V, N, 7);
  quorvin::Matrix ranks, covariance, correlation, quiet, reported;
  quorvin::allocate_matrix(ranks, N, V);
  quorvin::allocate_matrix(covariance, V, V);
  quorvin::allocate_matrix(correlation, V, V);
  quorvin::allocate_matrix(quiet, V, V);
  quorvin::allocate_matrix(reported, V, V);
  std::vector<double> means(V);
  quorvin::rank_transform(V, N, ranks, raw);
  quorvin::rank_covariance(V, N, covariance, ranks, means);
  quorvin::correlation_from_covariance(V, correlation, covariance);
  quorvin_test::engine_search(V, N, quiet, correlation, nullptr);

  const std::thread::id caller = std::this_thread::get_id();
  std::vector<SearchWork> reports;
  bool other_thread = false;
  quorvin_test::engine_search(V, N, reported, correlation, nullptr, nullptr,
                                        [&](const SearchWork& work) {
                                          other_thread |= std::this_thread::get_id() != caller;
                                          reports.push_back(work);
                                          return true;
                                        });
  EXPECT_FALSE(other_thread);
  ASSERT_GE(reports.size(), 3u);
  EXPECT_FALSE(reports.front().left_known);
  EXPECT_TRUE(reports.back().finished);
  EXPECT_EQ(reports.back().left, 0);
  EXPECT_GT(reports.back().done, 0);
  size_t before_end = 0;  // reports with work done and some left
  for (size_t i = 1; i < reports.size(); ++i) {
    EXPECT_GE(reports[i].done, reports[i - 1].done) << i;
    EXPECT_TRUE(reports[i].left_known || !reports[i - 1].left_known) << i;
    EXPECT_EQ(reports[i].finished, i + 1 == reports.size()) << i;
    before_end += reports[i].done > 0 && reports[i].left > 0;
  }
  // V = 300 is a single block of controls.
  EXPECT_GE(before_end, 10u);
  for (int32_t i = 0; i < V; ++i)
    for (int32_t j = 0; j < V; ++j)
      ASSERT_EQ(std::memcmp(&quiet[i][j], &reported[i][j], sizeof(double)), 0) << i << " " << j;
}

}  // namespace
