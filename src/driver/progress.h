// The progress report of the command line: the share of the combined
// search's work that is done, on standard error, rewritten in place on a
// terminal.
#pragma once

#include <chrono>
#include <string>

#include "library/progress_estimate.h"

namespace quorvin {

struct Progress {
  bool quiet = false;
  bool terminal = false;  // rewrite one line in place; else a line now and then
  std::chrono::steady_clock::time_point start, last_shown;
  bool shown = false;
  ProgressEstimate estimate;
};

// Starts the clock and, unless quiet, shows that nothing is done yet; a
// terminal on standard error gets a line rewritten in place.
void start_progress(Progress& progress, bool quiet);

// Takes in a report of the search's work; shows the line at most every
// 0.25 s on a terminal and every 5 s elsewhere, and at the last report.
void report_progress(Progress& progress, const SearchWork& work);

// Ends the line rewritten in place, if one was shown.
void end_progress(Progress& progress);

}  // namespace quorvin
