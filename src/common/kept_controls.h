// Where each pair's combined coefficient came from: the search records, and
// the edge table reads, the controls of every pair's kept coefficient, two
// variable indices per pair x < y, the pairs in the order (0, 1), (0, 2) ..
// (0, V-1), (1, 2) .., so that the pairs of one x lie side by side.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quorvin {

// The entries that the controls of V variables take: two per pair.
inline size_t kept_controls_size(int32_t V) {
  return V > 1 ? static_cast<size_t>(V) * static_cast<size_t>(V - 1) : 0;
}

// Where the two controls of pair x < y begin.
inline size_t kept_controls_slot(int32_t V, int32_t x, int32_t y) {
  const size_t before_x = static_cast<size_t>(x) * (2 * static_cast<size_t>(V) - x - 1) / 2;
  return 2 * (before_x + static_cast<size_t>(y - x - 1));
}

// The first and the second control of pair x < y's kept coefficient, -1 where
// the coefficient has none (a zero-order one has neither, a first-order one
// no second).
inline int32_t first_control(const int32_t* kept_controls, int32_t V, int32_t x, int32_t y) {
  return kept_controls[kept_controls_slot(V, x, y)];
}
inline int32_t second_control(const int32_t* kept_controls, int32_t V, int32_t x, int32_t y) {
  return kept_controls[kept_controls_slot(V, x, y) + 1];
}

// Records s and t (-1 for none) as the controls of pair x < y.
inline void set_kept_controls(int32_t* kept_controls, int32_t V, int32_t x, int32_t y, int32_t s,
                              int32_t t) {
  const size_t slot = kept_controls_slot(V, x, y);
  kept_controls[slot] = s;
  kept_controls[slot + 1] = t;
}

}  // namespace quorvin
