// The progress report of the command line: the share of the combined
// search's work that is done, on standard error.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace quorvin {

// The share (0 to 1) of the search's work done once controls 0 .. s are.
// Control s is met by every pair without s, alone and with each later
// control t, so early controls carry far more work than late ones.
// Requires 0 <= s < V.
double search_share_done(int32_t V, int32_t s);

// "Search: 37.2% done, 1:12 elapsed, about 2:03 left"; no estimate before
// 1 % of the work is done.
std::string progress_line(double share, double elapsed_seconds);

// Seconds as [H:]MM:SS, or M:SS under an hour.
std::string clock_text(double seconds);

struct Progress {
  bool quiet = false;
  bool terminal = false;  // rewrite one line in place; else a line now and then
  std::chrono::steady_clock::time_point start, last_shown;
  bool shown = false;
};

// Starts the clock and, unless quiet, shows that nothing is done yet; a
// terminal on standard error gets a line rewritten in place.
void start_progress(Progress& progress, bool quiet);

// Reports control s of V done: at most every 0.25 s on a terminal and every
// 5 s elsewhere, and at the last control.
void report_progress(Progress& progress, int32_t V, int32_t s);

// Ends the line rewritten in place, if one was shown.
void end_progress(Progress& progress);

}  // namespace quorvin
