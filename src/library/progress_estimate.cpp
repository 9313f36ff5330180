#include "library/progress_estimate.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace quorvin {

void estimate_progress(ProgressEstimate& estimate, double elapsed, const SearchWork& work) {
  if (work.finished) {
    estimate.share = 1;
    estimate.seconds_left = 0;
    return;
  }
  if (!(work.done > 0)) return;
  if (!estimate.counting) {
    estimate.counting = true;
    estimate.first_elapsed = elapsed;
    estimate.first_done = work.done;
  }
  if (!work.left_known) return;
  const double share = work.done / (work.done + work.left);
  // An estimate of the work left that rises holds the share where it was; it
  // stays below what shows as 100.0% until the search ends.
  estimate.share = std::max(estimate.share, std::min(share, 0.999));
  // Below a hundredth the search has met too few pairs for a rate that holds.
  const double counted = work.done - estimate.first_done;
  estimate.seconds_left =
      share >= 0.01 && counted > 0 ? (elapsed - estimate.first_elapsed) * work.left / counted : -1;
}

std::string clock_text(double seconds) {
  const long long whole = std::llround(std::max(seconds, 0.0));
  char text[64];
  if (whole >= 3600)
    std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", whole / 3600, whole / 60 % 60, whole % 60);
  else
    std::snprintf(text, sizeof text, "%lld:%02lld", whole / 60, whole % 60);
  return text;
}

std::string progress_line(double share, double elapsed_seconds, double seconds_left) {
  char percent[32];
  std::snprintf(percent, sizeof percent, "%.1f%%", 100 * share);
  std::string line = std::string("Search: ") + percent + " done, " + clock_text(elapsed_seconds) +
                     " elapsed";
  if (seconds_left >= 0) line += ", about " + clock_text(seconds_left) + " left";
  return line;
}

bool progress_poll_due(ProgressPoll& poll, const SearchWork& work, double every_seconds) {
  const auto now = std::chrono::steady_clock::now();
  poll.elapsed = std::chrono::duration<double>(now - poll.start).count();
  estimate_progress(poll.estimate, poll.elapsed, work);
  if (!work.finished && std::chrono::duration<double>(now - poll.last).count() < every_seconds)
    return false;
  poll.last = now;
  return true;
}

}  // namespace quorvin
