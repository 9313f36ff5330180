#include "stats/combine.h"

#include <omp.h>

#include <algorithm>
#include <cmath>
#include <new>
#include <vector>

#include "stats/combine_filters.h"
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
//   coefficients left to meet; those are merged a block of controls at a
//   time, for groups of pairs that share their first variable.
// While working, the result of pair x < y lives in combined[y][x] and the
// first control not yet merged for an active or once-active pair in
// combined[x][y]; the layout of the result is restored at the end.

namespace {

constexpr double pruning_z = 1.96;
// Controls merged per sweep over the pairs.
int32_t control_block = 512;

struct ActivePair {
  int32_t x, y;
};

// Merges controls [s_begin, s_end) into every pair that is below the
// threshold for all of them. The pairs (x, y) of a group of consecutive y go
// through the controls together, the group's correlations with the controls
// copied side by side so that a control's lanes are one contiguous load.
void sweep_first_order(int32_t V, double threshold, Matrix& combined, const Matrix& correlation,
                       int32_t s_begin, int32_t s_end) {
  constexpr int32_t n = first_order_lanes;
  const int32_t groups = (V + n - 1) / n;
  const size_t width = static_cast<size_t>(s_end - s_begin);
  // Each thread's copies of its group's correlations, obtained here, where
  // running out of memory can still be reported.
  const size_t copy = width * n;
  const size_t threads = static_cast<size_t>(omp_get_max_threads());
  std::vector<double> all_ys(threads * copy);
  std::vector<float> all_ys_f(threads * copy), all_ay_f(threads * copy);
#pragma omp parallel
  {
    const size_t mine = static_cast<size_t>(omp_get_thread_num()) * copy;
    double* ys = all_ys.data() + mine;
    float* ys_f = all_ys_f.data() + mine;
    float* ay_f = all_ay_f.data() + mine;
    FirstOrderLanes lanes{};
#pragma omp for schedule(dynamic, 1)
    for (int32_t g = groups - 1; g >= 0; --g) {
      const int32_t y0 = g * n, y_end = std::min(V, y0 + n);
      for (int32_t s = s_begin; s < s_end; ++s) {
        for (int32_t j = 0; j < n; ++j) {
          // Lanes past the last variable hold 0, whose pairs are skipped anyway.
          const double r = y0 + j < V ? correlation[s][y0 + j] : 0.0;
          const float r_f = static_cast<float>(r);
          ys[(s - s_begin) * n + j] = r;
          ys_f[(s - s_begin) * n + j] = r_f;
          ay_f[(s - s_begin) * n + j] = 1 - r_f * r_f;
        }
      }
      for (int32_t x = 0; x < y_end - 1; ++x) {
        bool merged[n] = {};
        bool any_lane = false;
        for (int32_t j = 0; j < n; ++j) {
          const int32_t y = y0 + j;
          if (y <= x || y >= V) {
            skip_first_order_lane(lanes, j);
            continue;
          }
          const double cxy = correlation[x][y];
          // A pair that was ever at or above the threshold keeps in
          // combined[x][y] the first control it still has to meet.
          const int32_t first =
              std::fabs(cxy) >= threshold ? static_cast<int32_t>(combined[x][y]) : s_begin;
          if (first <= s_begin) {
            set_first_order_lane(lanes, j, cxy, combined[y][x]);
            merged[j] = any_lane = true;
          } else {
            skip_first_order_lane(lanes, j);
            if (first < s_end)
              combined[y][x] = merge_first_order(correlation[x], correlation[y], cxy, x, y, first,
                                                 s_end, combined[y][x]);
          }
        }
        if (!any_lane) continue;
        merge_first_order_lanes(lanes, correlation[x], ys, ys_f, ay_f, x, y0, s_begin, s_end);
        for (int32_t j = 0; j < n; ++j)
          if (merged[j]) combined[y0 + j][x] = lanes.c[j];
      }
    }
  }
}

}  // namespace

int32_t set_controls_per_sweep(int32_t controls) {
  const int32_t before = control_block;
  control_block = controls;
  return before;
}

void combine_partial_correlations(int32_t V, int32_t N, Matrix& combined, const Matrix& correlation,
                                  const ControlDone& control_done) {
  const double threshold = critical_value(N, pruning_z);
#pragma omp parallel for schedule(static)
  for (int32_t i = 0; i < V; ++i) std::copy(correlation[i], correlation[i] + V, combined[i]);

  std::vector<ActivePair> active;
  for (int32_t x = 0; x < V; ++x)
    for (int32_t y = x + 1; y < V; ++y)
      if (std::fabs(correlation[x][y]) >= threshold) {
        active.push_back({x, y});
        combined[x][y] = V;  // no control left for the sweep yet
      }

  // Largest correlation magnitude of each variable within each block of
  // variables, for bounding whole blocks of second-order coefficients.
  const int32_t blocks = (V + bound_block - 1) / bound_block;
  Matrix bounds, inverse_root_a, inverse_root_bs;
  // Single-precision copies for the filters.
  std::vector<float> correlation_f, inverse_root_a_f;
  if (!active.empty()) {
    // Working memory that cannot be had ends the search as any allocation
    // does, with std::bad_alloc, which the driver reports.
    if (!allocate_matrix(bounds, V, blocks) || !allocate_matrix(inverse_root_a, control_block, V) ||
        !allocate_matrix(inverse_root_bs, control_block, blocks))
      throw std::bad_alloc();
    correlation_f.resize(static_cast<size_t>(V) * V);
    inverse_root_a_f.resize(static_cast<size_t>(control_block) * V);
#pragma omp parallel for schedule(static)
    for (int32_t v = 0; v < V; ++v) {
      block_bounds(correlation[v], v, V, bounds[v]);
      std::copy(correlation[v], correlation[v] + V, correlation_f.data() + static_cast<size_t>(v) * V);
    }
  }
  auto row_f = [&](int32_t v) { return correlation_f.data() + static_cast<size_t>(v) * V; };

  for (int32_t block = 0; block < V; block += control_block) {
    const int32_t block_end = std::min(V, block + control_block);
    if (!active.empty()) {
#pragma omp parallel for schedule(static)
      for (int32_t s = block; s < block_end; ++s) {
        const double* cs = correlation[s];
        double* ia = inverse_root_a[s - block];
        float* ia_f = inverse_root_a_f.data() + static_cast<size_t>(s - block) * V;
        for (int32_t v = 0; v < V; ++v) {
          ia[v] = 1 / std::sqrt(1 - cs[v] * cs[v]);
          ia_f[v] = static_cast<float>(ia[v]);
        }
        const double* bs = bounds[s];
        double* ibs = inverse_root_bs[s - block];
        for (int32_t b = 0; b < blocks; ++b) ibs[b] = 1 / std::sqrt(1 - bs[b] * bs[b]);
      }
      // Each group of active pairs goes through the controls of the block on
      // its own, in order; the pairs of a group share each control's rows.
      constexpr size_t group = 32;
      const size_t groups = (active.size() + group - 1) / group;
#pragma omp parallel for schedule(dynamic, 1)
      for (size_t g = 0; g < groups; ++g) {
        const size_t first = g * group, last = std::min(active.size(), first + group);
        for (int32_t s = block; s < block_end; ++s) {
          const double* cs = correlation[s];
          for (size_t n = first; n < last; ++n) {
            const int32_t x = active[n].x, y = active[n].y;
            if (s == x || s == y || combined[x][y] <= s) continue;
            const double* cx = correlation[x];
            const double* cy = correlation[y];
            double c = combined[y][x];
            const double fxy = partial_coefficient(cx[y], cx[s], cy[s]);
            if (std::fabs(c) > std::fabs(fxy)) c = fxy;
            const SecondOrderInputs in{
                cx,        cy,        cs,        row_f(x),
                row_f(y),  row_f(s),  inverse_root_a_f.data() + static_cast<size_t>(s - block) * V,
                bounds[x], bounds[y], bounds[s], inverse_root_a[s - block],
                inverse_root_bs[s - block],      x,         y,
                s,         V,         threshold};
            c = merge_second_order(in, fxy, c);
            combined[y][x] = c;
            // Below the threshold for good: the sweep takes over from the next control.
            if (!(std::fabs(c) >= threshold)) combined[x][y] = s + 1;
          }
        }
      }
      active.erase(std::remove_if(active.begin(), active.end(),
                                  [&](const ActivePair& p) { return combined[p.x][p.y] < V; }),
                   active.end());
    }
    sweep_first_order(V, threshold, combined, correlation, block, block_end);
    if (control_done)
      for (int32_t s = block; s < block_end; ++s) control_done(s);
  }

  // Results to the upper triangle, copies of correlation below it.
#pragma omp parallel for schedule(dynamic, 16)
  for (int32_t x = 0; x < V; ++x)
    for (int32_t y = x + 1; y < V; ++y) {
      combined[x][y] = combined[y][x];
      combined[y][x] = correlation[y][x];
    }
}

}  // namespace quorvin
