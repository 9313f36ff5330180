// Where each pair's combined coefficient came from: the search records, and
// the edge table reads, the controls of every pair's kept coefficient in one
// V x V array of variable indices.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quorvin {

// For a pair x < y, [x][y] holds the first control of its kept coefficient
// and [y][x] the second, -1 where the coefficient has none (a zero-order one
// has neither, a first-order one no second).
inline int32_t first_control(const int32_t* kept_controls, int32_t V, int32_t x, int32_t y) {
  return kept_controls[static_cast<size_t>(x) * V + y];
}
inline int32_t second_control(const int32_t* kept_controls, int32_t V, int32_t x, int32_t y) {
  return kept_controls[static_cast<size_t>(y) * V + x];
}

// Records s and t (-1 for none) as the controls of pair x < y.
inline void set_kept_controls(int32_t* kept_controls, int32_t V, int32_t x, int32_t y, int32_t s,
                              int32_t t) {
  kept_controls[static_cast<size_t>(x) * V + y] = s;
  kept_controls[static_cast<size_t>(y) * V + x] = t;
}

}  // namespace quorvin
