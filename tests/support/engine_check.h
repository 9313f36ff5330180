// Holding the production engine to the reference, bit for bit, in every way
// the engine can run: thread counts and each set of filters the CPU has.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/matrix.h"
#include "stats/combine.h"
#include "stats/combine_kernels.h"

namespace quorvin_test {

// Equal bits; two NaNs count as equal whatever their payload, as every NaN
// is written the same way.
bool same_double(double a, double b);

// Empty when the rows x cols arrays hold the same doubles; otherwise the first
// differing entry with both values.
std::string first_difference(const double* actual, const double* expected, int64_t rows,
                             int64_t cols);
std::string first_difference(const quorvin::Matrix& actual, const quorvin::Matrix& expected);

// Empty when two arrays of kept controls of V variables agree; otherwise the
// first pair whose controls differ, with both.
std::string first_control_difference(const std::vector<int32_t>& actual,
                                     const std::vector<int32_t>& expected, int32_t V);

// Kept controls of V variables filled with a value the search never writes.
std::vector<int32_t> sentinel_controls(int32_t V);

// Filled with a value no stage produces, so that an entry an engine leaves
// unwritten shows as a difference.
quorvin::Matrix sentinel_matrix(int64_t rows, int64_t cols);

// The production search as the reference's is called: into square (V x V),
// each pair's result above the diagonal and copies of correlation on and
// below it. A pair that the search leaves unwritten holds sentinel_matrix's
// value.
bool engine_search(int32_t V, int32_t N, quorvin::Matrix& square,
                   const quorvin::Matrix& correlation, const quorvin::ControlDone& control_done,
                   int32_t* kept_controls = nullptr, const quorvin::WorkDone& work_done = nullptr,
                   quorvin::PairShare share = {});

// A V x V correlation matrix with 1 on the diagonal and upper (row by row)
// above it, mirrored below. Requires V (V - 1) / 2 values.
quorvin::Matrix correlation_of(int32_t V, const std::vector<double>& upper);

// A way the production engine can run.
struct EngineSetting {
  int threads;
  quorvin::FilterSet filters;
};

// 1, 2 and 3 threads with the fastest filters, and 2 threads with every other
// set of filters this CPU can run.
std::vector<EngineSetting> engine_settings();

// " threads=2 filters=avx2", for failure messages.
std::string describe(const EngineSetting& setting);

// Applies a setting for the lifetime of the object.
struct ScopedEngineSetting {
  explicit ScopedEngineSetting(const EngineSetting& setting);
  ~ScopedEngineSetting();
  int threads_before;
  quorvin::FilterSet filters_before;
};

// Runs the combined search of both engines on correlation and expects, in
// every setting, the same bits in combined, the same kept controls and the
// controls reported done in order; and the same combined without kept
// controls. Returns the reference's combined matrix.
quorvin::Matrix expect_combined_agrees(int32_t V, int32_t N, const quorvin::Matrix& correlation,
                                       const std::string& label);

}  // namespace quorvin_test
