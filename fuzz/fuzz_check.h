// What the fuzz targets share: a check that stops the run, so that libFuzzer
// (or the corpus replay in the test suite) keeps and reports the input.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace quorvin_fuzz {

inline void require(bool holds, const char* what) {
  if (holds) return;
  std::fprintf(stderr, "fuzz check failed: %s\n", what);
  std::abort();
}

// A message for standard error: one line of printable text, short enough to
// read whatever the input was.
inline bool is_one_short_line(std::string_view message) {
  if (message.empty() || message.size() > 1000) return false;
  for (unsigned char c : message)
    if (c < 0x20 || c >= 0x7f) return false;
  return true;
}

}  // namespace quorvin_fuzz
