// What every face shows of a search's progress: the share of its work done
// and the time left, estimated from its reports, and the line that says so.
#pragma once

#include <chrono>
#include <string>

#include "stats/combine.h"

namespace quorvin {

// What the progress line makes of the search's reports of its work.
struct ProgressEstimate {
  // The first report with work done, from which the rate is measured: the
  // time before it went to setting up the search, which does not recur.
  bool counting = false;
  double first_elapsed = 0, first_done = 0;
  double share = 0;          // of the work done, as shown; it never falls
  double seconds_left = -1;  // negative while there is no estimate
};

// Takes in a report of the search made `elapsed` seconds after the clock
// started. The work done since the first report of some and the time it
// took give the rate at which the work left will be done. No time left
// before a hundredth of the work is done; the share reaches 1 only with the
// search's last report.
void estimate_progress(ProgressEstimate& estimate, double elapsed, const SearchWork& work);

// "Search: 37.2% done, 1:12 elapsed, about 2:03 left"; the time left only
// when seconds_left is not negative.
std::string progress_line(double share, double elapsed_seconds, double seconds_left);

// Seconds as [H:]MM:SS, or M:SS under an hour.
std::string clock_text(double seconds);

// What the progress callback of a face in another language keeps: its
// clock, the estimate, and when it last turned to its host (to check for an
// interrupt, to show the line), which it does only now and then, as that
// takes the host's lock.
struct ProgressPoll {
  std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now(), last = start;
  double elapsed = 0;  // seconds from start to the latest report
  ProgressEstimate estimate;
};

// Takes in a report of the search; true when the face should turn to its
// host: every_seconds after it last did, and at the search's last report.
bool progress_poll_due(ProgressPoll& poll, const SearchWork& work, double every_seconds);

}  // namespace quorvin
