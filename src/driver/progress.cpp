#include "driver/progress.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <unistd.h>

namespace quorvin {

double search_share_done(int32_t V, int32_t s) {
  const double v = V, done = s + 1.0;
  // First order: the pairs without the control; second order: the pairs
  // without either control, once for each later control.
  const double first = (v - 1) * (v - 2) / 2, second = (v - 2) * (v - 3) / 2;
  const double later_controls_done = done * (v - 1) - done * (done - 1) / 2;
  const double later_controls_all = v * (v - 1) / 2;
  const double total = v * first + later_controls_all * second;
  if (!(total > 0)) return 1.0;
  return (done * first + later_controls_done * second) / total;
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

std::string progress_line(double share, double elapsed_seconds) {
  char percent[32];
  std::snprintf(percent, sizeof percent, "%.1f%%", 100 * share);
  std::string line = std::string("Search: ") + percent + " done, " + clock_text(elapsed_seconds) +
                     " elapsed";
  // Below 1 % the share is too rough a guide (the first controls carry the
  // most work, and how much depends on the data) for a time left.
  if (share >= 0.01)
    line += ", about " + clock_text(elapsed_seconds * (1 - share) / share) + " left";
  return line;
}

namespace {

void show_progress(Progress& progress, double share, std::chrono::steady_clock::time_point now) {
  progress.last_shown = now;
  progress.shown = true;
  const std::string line =
      progress_line(share, std::chrono::duration<double>(now - progress.start).count());
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
  // Shown at once: the first controls, which carry the most work, may take
  // minutes on a large table, and the search must be seen to run.
  if (!quiet) show_progress(progress, 0, progress.start);
}

void report_progress(Progress& progress, int32_t V, int32_t s) {
  if (progress.quiet) return;
  const auto now = std::chrono::steady_clock::now();
  const double since_shown = std::chrono::duration<double>(now - progress.last_shown).count();
  if (s + 1 < V && since_shown < (progress.terminal ? 0.25 : 5.0)) return;
  show_progress(progress, search_share_done(V, s), now);
}

void end_progress(Progress& progress) {
  if (progress.terminal && progress.shown) std::fputc('\n', stderr);
}

}  // namespace quorvin
