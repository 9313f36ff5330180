#include "driver/progress.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <unistd.h>

namespace quorvin {

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
