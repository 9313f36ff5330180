#include "driver/progress.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <unistd.h>

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

namespace {

void show_progress(Progress& progress, std::chrono::steady_clock::time_point now) {
  progress.last_shown = now;
  progress.shown = true;
  const std::string line = progress_line(
      progress.estimate.share, std::chrono::duration<double>(now - progress.start).count(),
      progress.estimate.seconds_left);
  // The line is rewritten from its start; trailing blanks cover a longer one before.
  if (progress.terminal)
    std::fprintf(stderr, "\r%s   ", line.c_str());
  else
    std::fprintf(stderr, "%s\n", line.c_str());
  std::fflush(stderr);
}

}  // namespace

void start_progress(Progress& progress, bool quiet) {
  progress.quiet = quiet;
  progress.terminal = isatty(STDERR_FILENO) == 1;
  progress.start = std::chrono::steady_clock::now();
  progress.shown = false;
  progress.estimate = {};
  // Shown at once: the search must be seen to run before it can tell how
  // long it takes.
  if (!quiet) show_progress(progress, progress.start);
}

void report_progress(Progress& progress, const SearchWork& work) {
  if (progress.quiet) return;
  const auto now = std::chrono::steady_clock::now();
  estimate_progress(progress.estimate, std::chrono::duration<double>(now - progress.start).count(),
                    work);
  const double since_shown = std::chrono::duration<double>(now - progress.last_shown).count();
  if (!work.finished && since_shown < (progress.terminal ? 0.25 : 5.0)) return;
  show_progress(progress, now);
}

void end_progress(Progress& progress) {
  if (progress.terminal && progress.shown) std::fputc('\n', stderr);
}

}  // namespace quorvin
