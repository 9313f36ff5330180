#include "stats/combine.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "stats/combine_kernels.h"
#include "stats/critical_value.h"

namespace quorvin {

// How the search is organised. A pair x < y meets, for each control s in
// ascending order, its first-order coefficient for s and then, while its
// magnitude is at or above the pruning threshold, its second-order ones for
// (s, t), t ascending. Pairs never influence each other, so:
// - pairs still at or above the threshold ("active") are followed control by
//   control, with their second-order coefficients;
// - a pair below the threshold stays below it and only has first-order
//   coefficients left to meet; those are merged in blocks of controls, pair
//   tile by pair tile, for cache locality.
// While working, the result of pair x < y lives in combined[y][x] and the
// first control not yet merged for an active or once-active pair in
// combined[x][y]; the layout of the result is restored at the end.

namespace {

constexpr double pruning_z = 1.96;
constexpr int32_t control_block = 512;  // controls merged per sweep over the pairs
constexpr int32_t tile = 32;            // variables per side of a pair tile

struct ActivePair {
  int32_t x, y;
};

// Merges controls [s_begin, s_end) into every pair that is below the
// threshold for all of them.
void sweep_first_order(int32_t V, double threshold, Matrix& combined, const Matrix& correlation,
                       int32_t s_begin, int32_t s_end) {
  const int32_t tiles = (V + tile - 1) / tile;
#pragma omp parallel for schedule(dynamic, 1) collapse(2)
  for (int32_t tx = 0; tx < tiles; ++tx) {
    for (int32_t ty = 0; ty < tiles; ++ty) {
      if (ty < tx) continue;
      const int32_t x_end = std::min(V, (tx + 1) * tile);
      const int32_t y_end = std::min(V, (ty + 1) * tile);
      for (int32_t x = tx * tile; x < x_end; ++x) {
        for (int32_t y = std::max(x + 1, ty * tile); y < y_end; ++y) {
          const double cxy = correlation[x][y];
          int32_t first = s_begin;
          if (std::fabs(cxy) >= threshold)
            first = std::max(first, static_cast<int32_t>(combined[x][y]));
          if (first >= s_end) continue;
          combined[y][x] = merge_first_order(correlation[x], correlation[y], cxy, x, y, first,
                                             s_end, combined[y][x]);
        }
      }
    }
  }
}

}  // namespace

void combine_partial_correlations(int32_t V, int32_t N, Matrix& combined, const Matrix& correlation,
                                  const ControlDone& control_done) {
  const double threshold = critical_value(N, pruning_z);
  for (int32_t i = 0; i < V; ++i) std::copy(correlation[i], correlation[i] + V, combined[i]);

  std::vector<ActivePair> active;
  for (int32_t x = 0; x < V; ++x)
    for (int32_t y = x + 1; y < V; ++y)
      if (std::fabs(correlation[x][y]) >= threshold) {
        active.push_back({x, y});
        combined[x][y] = V;  // no control left for the sweep yet
      }

  std::vector<double> inverse_root_a(static_cast<size_t>(V));
  std::vector<char> still_active;
  for (int32_t block = 0; block < V; block += control_block) {
    const int32_t block_end = std::min(V, block + control_block);
    // Controls of this block for the active pairs, in order.
    for (int32_t s = block; s < block_end; ++s) {
      if (active.empty()) break;
      const double* cs = correlation[s];
#pragma omp parallel for schedule(static)
      for (int32_t v = 0; v < V; ++v) inverse_root_a[v] = 1 / std::sqrt(1 - cs[v] * cs[v]);
      still_active.assign(active.size(), 1);
#pragma omp parallel for schedule(dynamic, 16)
      for (size_t n = 0; n < active.size(); ++n) {
        const int32_t x = active[n].x, y = active[n].y;
        if (s == x || s == y) continue;
        const double* cx = correlation[x];
        const double* cy = correlation[y];
        double c = combined[y][x];
        const double fxy = partial_coefficient(cx[y], cx[s], cy[s]);
        if (std::fabs(c) > std::fabs(fxy)) c = fxy;
        const SecondOrderInputs in{cx, cy, cs, inverse_root_a.data(), x, y, s, V, threshold};
        c = merge_second_order(in, fxy, c);
        combined[y][x] = c;
        if (!(std::fabs(c) >= threshold)) {
          still_active[n] = 0;
          combined[x][y] = s + 1;  // the sweep takes over from the next control
        }
      }
      size_t kept = 0;
      for (size_t n = 0; n < active.size(); ++n)
        if (still_active[n]) active[kept++] = active[n];
      active.resize(kept);
    }
    sweep_first_order(V, threshold, combined, correlation, block, block_end);
    if (control_done)
      for (int32_t s = block; s < block_end; ++s) control_done(s);
  }

  // Results to the upper triangle, copies of correlation below it.
  for (int32_t x = 0; x < V; ++x)
    for (int32_t y = x + 1; y < V; ++y) {
      combined[x][y] = combined[y][x];
      combined[y][x] = correlation[y][x];
    }
}

}  // namespace quorvin
