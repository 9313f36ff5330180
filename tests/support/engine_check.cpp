#include "support/engine_check.h"

#include <gtest/gtest.h>
#include <omp.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>

#include "reference/reference.h"
#include "stats/combine.h"
#include "support/test_values.h"

namespace quorvin_test {

bool same_double(double a, double b) {
  return std::bit_cast<uint64_t>(a) == std::bit_cast<uint64_t>(b) ||
         (std::isnan(a) && std::isnan(b));
}

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

std::string first_difference(const quorvin::Matrix& actual, const quorvin::Matrix& expected) {
  return first_difference(actual.data.get(), expected.data.get(), expected.rows, expected.cols);
}

std::string first_control_difference(const std::vector<int32_t>& actual,
                                     const std::vector<int32_t>& expected, int32_t V) {
  if (actual.size() != expected.size()) return "different sizes";
  for (int32_t x = 0; x < V; ++x)
    for (int32_t y = x + 1; y < V; ++y) {
      const int32_t got[2] = {quorvin::first_control(actual.data(), V, x, y),
                              quorvin::second_control(actual.data(), V, x, y)};
      const int32_t want[2] = {quorvin::first_control(expected.data(), V, x, y),
                               quorvin::second_control(expected.data(), V, x, y)};
      if (got[0] == want[0] && got[1] == want[1]) continue;
      return "pair " + std::to_string(x) + "," + std::to_string(y) + ": production controls " +
             std::to_string(got[0]) + "," + std::to_string(got[1]) + ", reference " +
             std::to_string(want[0]) + "," + std::to_string(want[1]);
    }
  return "";
}

std::vector<int32_t> sentinel_controls(int32_t V) {
  return std::vector<int32_t>(quorvin::kept_controls_size(V), -77);
}

quorvin::Matrix sentinel_matrix(int64_t rows, int64_t cols) {
  return filled_matrix(rows, cols, -7777.25);
}

bool engine_search(int32_t V, int32_t N, quorvin::Matrix& square,
                   const quorvin::Matrix& correlation, const quorvin::ControlDone& control_done,
                   int32_t* kept_controls, const quorvin::WorkDone& work_done,
                   quorvin::PairShare share) {
  quorvin::PairMatrix pairs;
  quorvin::allocate_pairs(pairs, V);
  std::fill_n(pairs.data.get(), quorvin::pair_matrix_size(V), sentinel_matrix(1, 1)[0][0]);
  quorvin::Matrix copy = filled_matrix(V, V, 0.0);
  std::copy(correlation.data.get(), correlation.data.get() + int64_t{V} * V, copy.data.get());
  const quorvin::LowerMatrix lower = quorvin::lower_of_square(std::move(copy));
  const bool done = quorvin::combine_partial_correlations(V, N, pairs, lower, control_done,
                                                          kept_controls, work_done, share);
  if (!quorvin::allocate_matrix(square, V, V)) throw std::bad_alloc();
  for (int32_t x = 0; x < V; ++x)
    for (int32_t y = 0; y < V; ++y) square[x][y] = y > x ? pairs[x][y] : correlation[x][y];
  return done;
}

quorvin::Matrix correlation_of(int32_t V, const std::vector<double>& upper) {
  quorvin::Matrix c = filled_matrix(V, V, 1.0);
  size_t n = 0;
  for (int32_t i = 0; i < V; ++i)
    for (int32_t j = i + 1; j < V; ++j) c[i][j] = c[j][i] = upper.at(n++);
  return c;
}

std::vector<EngineSetting> engine_settings() {
  using quorvin::FilterSet;
  const FilterSet best = quorvin::best_filter_set();
  std::vector<EngineSetting> settings = {{1, best}, {2, best}, {3, best}};
  for (FilterSet other : {FilterSet::avx512, FilterSet::avx2, FilterSet::plain})
    if (other != best && quorvin::cpu_runs(other)) settings.push_back({2, other});
  return settings;
}

std::string describe(const EngineSetting& setting) {
  return " threads=" + std::to_string(setting.threads) +
         " filters=" + quorvin::filter_set_name(setting.filters);
}

ScopedEngineSetting::ScopedEngineSetting(const EngineSetting& setting)
    : threads_before(omp_get_max_threads()),
      filters_before(quorvin::use_filter_set(setting.filters)) {
  omp_set_num_threads(setting.threads);
}

ScopedEngineSetting::~ScopedEngineSetting() {
  omp_set_num_threads(threads_before);
  quorvin::use_filter_set(filters_before);
}

quorvin::Matrix expect_combined_agrees(int32_t V, int32_t N, const quorvin::Matrix& correlation,
                                       const std::string& label) {
  quorvin::Matrix expected = sentinel_matrix(V, V);
  std::vector<int32_t> expected_kept = sentinel_controls(V);
  quorvin::reference::combine_partial_correlations(V, N, expected, correlation, nullptr,
                                                   expected_kept.data());
  std::vector<int32_t> every_control(static_cast<size_t>(std::max(V, 0)));
  for (int32_t s = 0; s < V; ++s) every_control[s] = s;
  for (const EngineSetting& setting : engine_settings()) {
    ScopedEngineSetting scoped(setting);
    quorvin::Matrix actual = sentinel_matrix(V, V);
    std::vector<int32_t> controls_done, kept = sentinel_controls(V);
    engine_search(
        V, N, actual, correlation, [&](int32_t s) { controls_done.push_back(s); }, kept.data());
    EXPECT_EQ(first_difference(actual, expected), "") << label << describe(setting);
    EXPECT_EQ(first_control_difference(kept, expected_kept, V), "") << label << describe(setting);
    EXPECT_EQ(controls_done, every_control) << label << describe(setting);
  }
  quorvin::Matrix without_kept = sentinel_matrix(V, V);
  engine_search(V, N, without_kept, correlation, nullptr);
  EXPECT_EQ(first_difference(without_kept, expected), "") << label << " without kept controls";
  return expected;
}

}  // namespace quorvin_test
