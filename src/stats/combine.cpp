#include "stats/combine.h"

#include <omp.h>

#include <algorithm>
#include <atomic>
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

namespace {

constexpr double pruning_z = 1.96;
// Controls merged per sweep over the pairs.
int32_t control_block = 512;
// Active pairs that go through a block of controls together, sharing each
// control's rows.
constexpr size_t active_group = 32;
static_assert(active_group <= 32, "a group's pairs that left are held in 32 bits");
// Where most coefficients are correlated, the block bounds let nearly every
// block through and cost more than the product filter that they would spare.
// A pair whose bounds let more than three quarters of the blocks through
// makes this many visits without them before it tries them again.
constexpr int32_t visits_unbounded = 64;
// Controls that the active pairs go through between two findings of the
// visit bound's numerators, for the pairs still active.
constexpr int32_t controls_per_visit_bound = 64;
// A largest scaled numerator beyond the fixed point, or not found.
constexpr int16_t numerator_unknown = -1;

// What the search's work costs, in nanoseconds of one thread with the AVX-512
// filters; whoever reads its reports learns the actual rate, so that only the
// ratios matter. A visit, and each second control it scanned, coefficient it
// computed and block it bounded; a variable's largest numerator, per later
// control; a row of 64 pairs of the first-order sweep, per control, and a
// coefficient that replaces a stored value there.
constexpr double visit_cost = 25;
constexpr double scanned_control_cost = 0.116;
constexpr double computed_coefficient_cost = 82;
constexpr double bounded_block_cost = 3.4;
constexpr double numerator_cost = 0.052;
constexpr double sweep_row_cost = 8.8;
constexpr double sweep_replacement_cost = 7.6;
// How the active pairs' work declines after a stretch whose second half was
// measured around control s0 (as found on dense, module and expression data):
// the pairs as (s0 / s)^pairs_decline, and what a visit costs beyond
// visit_cost as (s0 / s)^visit_decline * (V - s) / (V - s0), fewer second
// controls being left and more visits passed over at once.
constexpr double pairs_decline = 0.3;
constexpr double visit_decline = 0.25;

struct ActivePair {
  int32_t x, y;
};

// The active pairs of one x among the window of y = y0 .. y0 + 31 (y0 a
// multiple of 32): bit j of mask set while pair (x, y0 + j) is active. On
// dense data nearly every pair starts active, so that a list of pairs would
// take half the size of a matrix; a window takes 12 bytes for up to 32.
struct ActiveWindow {
  int32_t x, y0;
  uint32_t mask;
};
constexpr int32_t window_width = 32;
static_assert(window_width <= 32, "a window's pairs are held in 32 bits");

// What the search has done, for its reports, added up a group of pairs at a
// time by the thread that did it.
struct WorkAccount {
  const WorkDone* report = nullptr;  // null when nobody asks
  std::atomic<bool> stopping{false};  // asked to stop: the groups not begun are passed over
  double sweeps = 0;                 // the first-order sweep's work, all blocks
  std::atomic<double> sweep_done{0}, active_done{0};
  // The stretch that the active pairs go through now: its pairs; of the
  // groups done, the pairs, those still active at its end, their cost, and
  // the visits of those still active from late_begin on, its second half.
  double stretch_pairs = 0;
  int32_t late_begin = 0;
  std::atomic<int64_t> pairs_done{0}, pairs_staying{0}, late_visits{0};
  std::atomic<double> stretch_cost{0}, late_cost{0};
  // For the work after the stretch (later_work): the sums of the pairs'
  // decline, and of its product with a visit's, over the later controls, and
  // the later numerators' work.
  double later_visits = 0, later_excess = 0, later_numerators = 0;
  // The active pairs' work after the stretch before this one, as estimated
  // at its end; negative before there is an estimate.
  double later_left = -1;
};

// The sweep start of a pair that is still active.
constexpr uint16_t still_active = 0xFFFF;

struct Search {
  int32_t V;
  // Controls per block, fewer than control_block where there are fewer
  // variables: the rows of the per-block tables.
  int32_t block_width;
  double threshold;
  // Each pair's stored value, read along a row by the first-order sweep.
  PairMatrix& combined;
  const LowerMatrix& correlation;
  const SearchKernels& kernels;
  int32_t* kept_controls;  // null when they are not wanted
  PairShare share;
  std::vector<ActiveWindow> active{};  // ascending in x, then y0; none empty
  size_t active_pairs = 0;             // the bits set in active
  // For each pair that started at or above the threshold, as the pairs of a
  // PairMatrix: still_active while it is, then the first control, counted
  // from the first of its block, that the sweep must merge into it; 0 once
  // that block's sweep has read it, for the first control of every later one.
  std::vector<uint16_t, LargeBlockAllocator<uint16_t>> sweep_from{};
  uint16_t& sweep_from_of(int32_t x, int32_t y) {
    return sweep_from[static_cast<size_t>(pair_row_offset(V, x) + y)];
  }
  // The rows of the current block's controls, every t of each: what the
  // lower rows hold of them and, beyond, their column in later rows.
  int32_t block_begin = 0;
  Matrix control_rows{};
  const double* control_row(int32_t s) const { return control_rows[s - block_begin]; }
  // Largest correlation magnitude of each variable within each block of
  // variables, for bounding whole blocks of second-order coefficients.
  Matrix bounds{};
  // For each control of a block: ~ 1 / sqrt(1 - bounds[s][b]^2) for every
  // block b.
  Matrix inverse_root_bs{};
  // Quantized and single-precision copies for the filters.
  std::vector<int16_t, LargeBlockAllocator<int16_t>> correlation_q{};
  // For each control of a block and every v: quantized 1 - r_vs^2, and
  // 1 / sqrt(1 - r_vs^2) in single precision. The double roots are computed
  // where they are needed: a table of them would be the largest of a block,
  // and memory first touched is costly.
  std::vector<int16_t, LargeBlockAllocator<int16_t>> a_q{};
  std::vector<float, LargeBlockAllocator<float>> inverse_root_a_f{};
  // For the visit bound, per control of the stretch that the pairs go
  // through now, from stretch_begin: quantized_inverse_root of
  // 1 / sqrt(1 - r_ts^2) for every t, and whether every later t's is below
  // largest_inverse_root. Then the largest scaled numerator of each variable
  // v of an active pair, at [v * controls_per_visit_bound + s - stretch_begin],
  // so that a pair's are read in order as it goes through the controls.
  int32_t stretch_begin = 0;
  bool numerators_found = false;
  std::vector<int16_t> inverse_root_q{};
  std::vector<char> numerators_bounded{};
  std::vector<int16_t> largest_numerators{};
  // Variables with a correlation beyond 1 in magnitude, which the fixed
  // point would hold as 1: they have no visit bound.
  std::vector<char> beyond_one{};
  // For the first-order sweep: first_order_root of every single-precision
  // r_vs, at [v * block_width + s - s_begin] for the controls of a block.
  std::vector<float, LargeBlockAllocator<float>> first_order_roots{};
  // The same controls' correlations, at the same places, for the sweep to
  // read those of one x side by side.
  std::vector<double, LargeBlockAllocator<double>> control_columns{};
  WorkAccount work{};
  const int16_t* row_q(int32_t v) const {
    return correlation_q.data() + static_cast<size_t>(v) * V;
  }
};

int32_t bound_blocks(int32_t V) { return (V + bound_block - 1) / bound_block; }

// The integral of s^-a, and of s^-a (V - s), over s from e to V.
double power_integral(double a, double e, double V) {
  return (std::pow(V, 1 - a) - std::pow(e, 1 - a)) / (1 - a);
}
double weighted_power_integral(double a, double e, double V) {
  return V * power_integral(a, e, V) - (std::pow(V, 2 - a) - std::pow(e, 2 - a)) / (2 - a);
}

// Rows of the first-order sweep per control: for each group of 64 y in the
// share, the x before its last.
double sweep_rows(int32_t V, PairShare share) {
  static_assert(first_order_lanes == 64, "the sweep's groups are the shares' runs of y");
  double rows = 0;
  for (int32_t y_end = V; y_end > 0; y_end -= first_order_lanes)
    if (in_share(V, y_end - 1, share)) rows += y_end - 1;
  return rows;
}

// The first-order sweep's work for the controls [s_begin, s_end): its rows,
// and the coefficients that replace a stored value, about H(s_end) - H(s_begin)
// per pair (H the harmonic numbers), as the smallest of n coefficients
// changes about H(n) times.
double sweep_work(int32_t V, int32_t s_begin, int32_t s_end, PairShare share) {
  const auto harmonic = [](double n) { return n > 0 ? std::log(n) + 0.5772 + 0.5 / n : 0.0; };
  const double rows = sweep_rows(V, share), all_rows = sweep_rows(V, {});
  const double pairs = all_rows > 0 ? 0.5 * V * (V - 1.0) * rows / all_rows : 0.0;
  return rows * (s_end - s_begin) * sweep_row_cost +
         pairs * (harmonic(s_end) - harmonic(s_begin)) * sweep_replacement_cost;
}

// The active pairs' work after the current stretch, for `staying` pairs
// whose visits in its second half cost `late` each.
double later_work(const WorkAccount& work, double staying, double late) {
  if (!(staying > 0)) return 0;
  return staying * (visit_cost * work.later_visits + (late - visit_cost) * work.later_excess) +
         work.later_numerators;
}

// The active pairs' work left: the rest of the stretch at the cost per pair
// of its groups done, and the later stretches from the pairs of those groups
// that stay; negative while nothing is known.
double active_work_left(const WorkAccount& work) {
  const double done = static_cast<double>(work.pairs_done.load(std::memory_order_relaxed));
  if (done == 0) return work.later_left;
  const double staying = work.stretch_pairs *
                         static_cast<double>(work.pairs_staying.load(std::memory_order_relaxed)) /
                         done;
  const int64_t late_visits = work.late_visits.load(std::memory_order_relaxed);
  const double late = late_visits > 0 ? work.late_cost.load(std::memory_order_relaxed) /
                                            static_cast<double>(late_visits)
                                      : visit_cost;
  return (work.stretch_pairs - done) * work.stretch_cost.load(std::memory_order_relaxed) / done +
         later_work(work, staying, late);
}

// Starts the account of the stretch [s_begin, s_end), for which the visit
// bound found the numerators of `variables` variables (0 for none).
void begin_stretch(Search& search, int32_t s_begin, int32_t s_end, size_t variables) {
  WorkAccount& work = search.work;
  const double V = search.V, e = s_end;
  // Numerators are found for each control and every later one.
  const auto numerator_work = [&](double from) {
    return static_cast<double>(variables) * numerator_cost * (V - from) * (V - from - 1) / 2;
  };
  const double numerators = numerator_work(s_begin) - numerator_work(e);
  work.active_done.fetch_add(numerators, std::memory_order_relaxed);
  // They were part of the estimate made at the end of the stretch before.
  if (work.later_left >= 0) work.later_left = std::max(0.0, work.later_left - numerators);
  work.stretch_pairs = static_cast<double>(search.active_pairs);
  work.late_begin = s_begin + (s_end - s_begin) / 2;
  work.pairs_done = work.pairs_staying = work.late_visits = 0;
  work.stretch_cost = work.late_cost = 0;
  const double s0 = 0.5 * (work.late_begin + s_end - 1.0), excess = pairs_decline + visit_decline;
  work.later_visits = std::pow(s0, pairs_decline) * power_integral(pairs_decline, e, V);
  work.later_excess = std::pow(s0, excess) / (V - s0) * weighted_power_integral(excess, e, V);
  work.later_numerators = numerator_work(e);
}

// Ends the account of a stretch once all its groups are done.
void end_stretch(WorkAccount& work) { work.later_left = active_work_left(work); }

bool stopping(const Search& search) { return search.work.stopping.load(std::memory_order_relaxed); }

// Reports the work, when asked for, from the thread that called the search:
// between groups of pairs, where the search could also stop on request.
void report_work(Search& search) {
  WorkAccount& work = search.work;
  if (work.report == nullptr || omp_get_thread_num() != 0 || stopping(search)) return;
  const double sweep_done = work.sweep_done.load(std::memory_order_relaxed);
  const double active_left = active_work_left(work);
  const bool go_on =
      (*work.report)({.done = sweep_done + work.active_done.load(std::memory_order_relaxed),
                      .left = std::max(0.0, work.sweeps - sweep_done) + std::max(0.0, active_left),
                      .left_known = active_left >= 0});
  if (!go_on) work.stopping.store(true, std::memory_order_relaxed);
}

// Rows v0 .. v0 + count - 1 of the correlations in full, row k at
// out + k * stride: the lower rows' own part, then the rows' column in each
// later row, where count consecutive elements lie side by side.
void full_rows(const LowerMatrix& correlation, int32_t v0, int32_t count, double* out,
               int64_t stride) {
  const int64_t V = correlation.V;
  for (int32_t k = 0; k < count; ++k)
    std::copy(correlation[v0 + k], correlation[v0 + k] + v0 + k + 1, out + k * stride);
  for (int64_t t = v0 + 1; t < V; ++t) {
    const double* row = correlation[t] + v0;
    const int64_t later = std::min<int64_t>(count, t - v0);
    for (int64_t k = 0; k < later; ++k) out[k * stride + t] = row[k];
  }
}

// Rows of the correlations that one call of full_rows gives.
constexpr int32_t rows_at_once = 32;

// Fills the rows of the controls [s_begin, s_end).
void load_control_rows(Search& search, int32_t s_begin, int32_t s_end) {
  search.block_begin = s_begin;
  const int32_t count = s_end - s_begin;
#pragma omp parallel for schedule(dynamic, 1)
  for (int32_t k = 0; k < count; k += rows_at_once)
    full_rows(search.correlation, s_begin + k, std::min(rows_at_once, count - k),
              search.control_rows[k], search.control_rows.cols);
}

// Copies correlation into combined and lists the pairs at or above the
// threshold, each row's windows in a stretch of the list of their own.
void start_search(Search& search) {
  const int32_t V = search.V;
  const LowerMatrix& correlation = search.correlation;
  // Rows x0 .. x0 + 31 of the pairs at once, from the side-by-side columns
  // of the later lower rows.
#pragma omp parallel for schedule(dynamic, 1)
  for (int32_t x0 = 0; x0 < V; x0 += rows_at_once)
    for (int32_t y = x0 + 1; y < V; ++y) {
      const double* row = correlation[y];
      for (int32_t x = x0; x < std::min(y, x0 + rows_at_once); ++x) search.combined[x][y] = row[x];
    }
  const auto starts_active = [&](int32_t x, int32_t y) {
    return std::fabs(search.combined[x][y]) >= search.threshold && in_share(V, y, search.share);
  };
  // The mask of the window from y0 of row x.
  const auto window_mask = [&](int32_t x, int32_t y0) {
    uint32_t mask = 0;
    for (int32_t y = std::max(x + 1, y0); y < std::min(V, y0 + window_width); ++y)
      if (starts_active(x, y)) mask |= uint32_t{1} << (y - y0);
    return mask;
  };
  const auto first_window = [](int32_t x) { return (x + 1) / window_width * window_width; };
  std::vector<size_t> row_start(static_cast<size_t>(V) + 1, 0);
  std::vector<size_t> row_pairs(static_cast<size_t>(V), 0);
#pragma omp parallel for schedule(static)
  for (int32_t i = 0; i < V; ++i) {
    if (search.kept_controls != nullptr)
      for (int32_t y = i + 1; y < V; ++y) set_kept_controls(search.kept_controls, V, i, y, -1, -1);
    size_t windows = 0;
    for (int32_t y0 = first_window(i); y0 < V; y0 += window_width) {
      const uint32_t mask = window_mask(i, y0);
      windows += mask != 0;
      row_pairs[i] += __builtin_popcount(mask);
    }
    row_start[i + 1] = windows;
  }
  for (int32_t i = 0; i < V; ++i) {
    row_start[i + 1] += row_start[i];
    search.active_pairs += row_pairs[i];
  }
  // Outside the parallel loop, where running out of memory can be reported.
  search.active.resize(row_start[V]);
  if (search.active_pairs > 0) search.sweep_from.resize(static_cast<size_t>(pair_matrix_size(V)));
#pragma omp parallel for schedule(dynamic, 16)
  for (int32_t x = 0; x < V; ++x) {
    ActiveWindow* next = search.active.data() + row_start[x];
    for (int32_t y0 = first_window(x); y0 < V; y0 += window_width) {
      const uint32_t mask = window_mask(x, y0);
      if (mask == 0) continue;
      *next++ = {x, y0, mask};
      for (uint32_t rest = mask; rest != 0; rest &= rest - 1)
        search.sweep_from_of(x, y0 + __builtin_ctz(rest)) = still_active;
    }
  }
}

// The working arrays of the second-order search. Working memory that cannot
// be had ends the search as any allocation does, with std::bad_alloc, which
// the driver reports.
void obtain_second_order_arrays(Search& search) {
  const int32_t V = search.V, blocks = bound_blocks(V);
  // Rows of zeros past the block bounds, and room past their roots and the
  // quantized and single-precision rows, for the filters' reads past their
  // last element.
  if (!allocate_matrix(search.bounds, V + block_over_read, blocks) ||
      !allocate_matrix(search.inverse_root_bs, search.block_width + block_over_read, blocks))
    throw std::bad_alloc();
  std::fill_n(search.bounds[V], block_over_read * blocks, 0.0);
  // Left uninitialised, to be filled by every thread: all but the zeros past
  // the end, which prepare_controls puts past each block's last row.
  search.correlation_q.resize(static_cast<size_t>(V) * V + second_order_over_read);
  std::fill_n(search.correlation_q.end() - second_order_over_read, second_order_over_read, 0);
  search.a_q.resize(static_cast<size_t>(search.block_width) * V + second_order_over_read);
  search.inverse_root_a_f.resize(static_cast<size_t>(search.block_width) * V +
                                 second_order_over_read);
  search.inverse_root_q.resize(static_cast<size_t>(controls_per_visit_bound) * V +
                               second_order_over_read);
  search.numerators_bounded.resize(static_cast<size_t>(controls_per_visit_bound));
  search.largest_numerators.resize(static_cast<size_t>(V) * controls_per_visit_bound);
  search.beyond_one.resize(static_cast<size_t>(V));
  const size_t tile = static_cast<size_t>(rows_at_once) * V;
  std::vector<double, LargeBlockAllocator<double>> rows(
      static_cast<size_t>(omp_get_max_threads()) * tile);
#pragma omp parallel
  {
    double* mine = rows.data() + static_cast<size_t>(omp_get_thread_num()) * tile;
#pragma omp for schedule(dynamic, 1)
    for (int32_t v0 = 0; v0 < V; v0 += rows_at_once) {
      const int32_t count = std::min(rows_at_once, V - v0);
      full_rows(search.correlation, v0, count, mine, V);
      for (int32_t k = 0; k < count; ++k) {
        const int32_t v = v0 + k;
        const double* row = mine + static_cast<size_t>(k) * V;
        block_bounds(row, v, V, search.bounds[v]);
        std::transform(row, row + V, search.correlation_q.data() + static_cast<size_t>(v) * V,
                       quantized_correlation);
        search.beyond_one[v] = std::any_of(row, row + V, [](double r) { return std::fabs(r) > 1; });
      }
    }
  }
}

// The inverse square roots of the controls [s_begin, s_end).
void prepare_controls(Search& search, int32_t s_begin, int32_t s_end) {
  const int32_t V = search.V, blocks = bound_blocks(V);
#pragma omp parallel for schedule(static)
  for (int32_t s = s_begin; s < s_end; ++s) {
    const double* cs = search.control_row(s);
    float* ia_f = search.inverse_root_a_f.data() + static_cast<size_t>(s - s_begin) * V;
    int16_t* a_q = search.a_q.data() + static_cast<size_t>(s - s_begin) * V;
    // Loops of their own, so that the compiler computes the roots side by side.
    for (int32_t v = 0; v < V; ++v) ia_f[v] = static_cast<float>(inverse_root(cs[v]));
    for (int32_t v = 0; v < V; ++v) a_q[v] = quantized_one_minus_square(cs[v]);
    const double* bs = search.bounds[s];
    double* ibs = search.inverse_root_bs[s - s_begin];
    for (int32_t b = 0; b < blocks; ++b) ibs[b] = inverse_root(bs[b]);
  }
  // Zeros past the last row, for the filters' reads past its end.
  const size_t rows = static_cast<size_t>(s_end - s_begin);
  std::fill_n(search.inverse_root_bs[static_cast<int64_t>(rows)], block_over_read * blocks, 0.0);
  std::fill_n(search.a_q.data() + rows * search.V, second_order_over_read, 0);
  std::fill_n(search.inverse_root_a_f.data() + rows * search.V, second_order_over_read, 0.0f);
}

// The largest scaled first-order numerator of variable v, one of an active
// pair, for control s of the stretch; numerator_unknown where it was not
// found.
int16_t largest_numerator_of(const Search& search, int32_t v, int32_t s) {
  if (!search.numerators_found) return numerator_unknown;
  return search.largest_numerators[static_cast<size_t>(v) * controls_per_visit_bound +
                                   (s - search.stretch_begin)];
}

// Finds, for the visit bound, the largest scaled first-order numerator of
// every variable of an active pair for each control of the stretch
// [s_begin, s_end), where that is worth its cost: a variable's cost about
// half of what one visit's product filter costs, so the active pairs must at
// least outnumber their variables. Returns for how many variables it did.
size_t bound_first_order(Search& search, int32_t s_begin, int32_t s_end) {
  const int32_t V = search.V;
  std::vector<int32_t> variables;  // those of the active pairs, ascending
  {
    std::vector<char> in_pair(static_cast<size_t>(V), 0);
    for (const ActiveWindow& w : search.active) {
      in_pair[w.x] = 1;
      for (uint32_t rest = w.mask; rest != 0; rest &= rest - 1)
        in_pair[w.y0 + __builtin_ctz(rest)] = 1;
    }
    for (int32_t v = 0; v < V; ++v)
      if (in_pair[v]) variables.push_back(v);
  }
  search.stretch_begin = s_begin;
  search.numerators_found = search.active_pairs >= variables.size();
  if (!search.numerators_found) return 0;
#pragma omp parallel
  {
#pragma omp for schedule(static)
    for (int32_t s = s_begin; s < s_end; ++s) {
      const double* cs = search.control_row(s);
      int16_t* ia_q = search.inverse_root_q.data() + static_cast<size_t>(s - s_begin) * V;
      bool bounded = true;
      for (int32_t t = 0; t < V; ++t) {
        const double ia = inverse_root(cs[t]);
        ia_q[t] = quantized_inverse_root(ia);
        if (t > s && ia >= largest_inverse_root) bounded = false;
      }
      search.numerators_bounded[s - s_begin] = bounded;
    }
#pragma omp single
    std::fill_n(search.inverse_root_q.data() + static_cast<size_t>(s_end - s_begin) * V,
                second_order_over_read, 0);
    // The rows of a tile of variables stay in cache while the controls pass
    // them.
    constexpr size_t tile = 16;
    const size_t tiles = (variables.size() + tile - 1) / tile;
#pragma omp for schedule(dynamic, 1)
    for (size_t k = 0; k < tiles; ++k) {
      const size_t tile_end = std::min(variables.size(), (k + 1) * tile);
      for (int32_t s = s_begin; s < s_end; ++s) {
        const int16_t* cs_q = search.row_q(s);
        const int16_t* ia_q = search.inverse_root_q.data() + static_cast<size_t>(s - s_begin) * V;
        for (size_t i = k * tile; i < tile_end; ++i) {
          const int32_t v = variables[i];
          const double r_vs = search.control_row(s)[v];
          int16_t& largest =
              search.largest_numerators[static_cast<size_t>(v) * controls_per_visit_bound +
                                        (s - s_begin)];
          if (!search.numerators_bounded[s - s_begin] || !(std::fabs(r_vs) < 0.9999) ||
              search.beyond_one[v]) {
            largest = numerator_unknown;  // beyond the fixed point
            continue;
          }
          largest = later_largest_numerator(search.kernels.largest_numerator, search.row_q(v), cs_q,
                                            ia_q, r_vs, v, s, V);
        }
      }
    }
  }
  return variables.size();
}

// Follows every active pair through the controls [s_begin, s_end) of the
// block from block_begin: its first-order coefficient, then its second-order
// ones, for each control. A pair that ends below the threshold is handed to
// the sweep from the next control on.
void follow_active_pairs(Search& search, int32_t block_begin, int32_t s_begin, int32_t s_end) {
  PairMatrix& combined = search.combined;
  const LowerMatrix& correlation = search.correlation;
  const std::vector<ActiveWindow>& windows = search.active;
  // The active pairs before each window, for a group to find its first one.
  std::vector<size_t> pairs_before(windows.size());
  for (size_t w = 0, pairs = 0; w < windows.size(); ++w) {
    pairs_before[w] = pairs;
    pairs += __builtin_popcount(windows[w].mask);
  }
  const size_t pair_count = search.active_pairs;
  // Each group of pairs goes through the controls on its own, in order; the
  // pairs of a group share each control's rows.
  // Smaller groups where there are few pairs, so that every thread has some.
  const size_t group_size = std::clamp<size_t>(
      pair_count / (16 * static_cast<size_t>(omp_get_max_threads())), 1, active_group);
  const size_t groups = (pair_count + group_size - 1) / group_size;
#pragma omp parallel for schedule(dynamic, 1)
  for (size_t g = 0; g < groups; ++g) {
    if (stopping(search)) continue;
    const size_t first = g * group_size, last = std::min(pair_count, first + group_size);
    // The group's pairs, the active ones first .. last - 1 in order.
    ActivePair pairs[active_group];
    {
      size_t w = static_cast<size_t>(
          std::upper_bound(pairs_before.begin(), pairs_before.end(), first) - pairs_before.begin() -
          1);
      uint32_t rest = windows[w].mask;
      for (size_t skip = first - pairs_before[w]; skip > 0; --skip) rest &= rest - 1;
      for (size_t n = 0; n < last - first; ++n) {
        while (rest == 0) rest = windows[++w].mask;
        pairs[n] = {windows[w].x, windows[w].y0 + __builtin_ctz(rest)};
        rest &= rest - 1;
      }
    }
    // The group's stored values, and which of its pairs have left the search,
    // kept here while it goes through the controls.
    double stored[active_group];
    // Visits left that each pair makes without block bounds.
    int32_t unbounded_visits[active_group] = {};
    // Pairs that have not yet, in these controls, made a visit and stayed at
    // or above the threshold: they look for the crossing first.
    uint32_t crossing_first = ~uint32_t{0};
    const uint32_t group = static_cast<uint32_t>(first_bits(static_cast<int32_t>(last - first)));
    uint32_t left = 0;
    // The group's work, and that of each pair in the second half of the stretch.
    double cost = 0;
    double late_cost[active_group] = {};
    int32_t late_visits[active_group] = {};
    // The pairs' correlations, read once from the lower rows.
    double cxy[active_group];
    for (size_t n = first; n < last; ++n) {
      stored[n - first] = combined[pairs[n - first].x][pairs[n - first].y];
      cxy[n - first] = correlation[pairs[n - first].y][pairs[n - first].x];
    }
    for (int32_t s = s_begin; s < s_end && left != group; ++s) {
      const double* cs = search.control_row(s);
      for (uint32_t staying = group & ~left; staying != 0; staying &= staying - 1) {
        const int32_t j = __builtin_ctz(staying);
        const int32_t x = pairs[j].x, y = pairs[j].y;
        if (s == x || s == y) continue;
        double c = stored[j];
        const double fxy = partial_coefficient(cxy[j], cs[x], cs[y]);
        const bool first_order_kept = std::fabs(c) > std::fabs(fxy);
        if (first_order_kept) c = fxy;
        const SecondOrderInputs in{
            .lower = correlation.data.get(),
            .cs = cs,
            .cxs = cs[x],
            .cys = cs[y],
            .cx_q = search.row_q(x),
            .cy_q = search.row_q(y),
            .cs_q = search.row_q(s),
            .a_q = search.a_q.data() + static_cast<size_t>(s - block_begin) * search.V,
            .inverse_root_a_f =
                search.inverse_root_a_f.data() + static_cast<size_t>(s - block_begin) * search.V,
            .bx = search.bounds[x],
            .by = search.bounds[y],
            .bs = search.bounds[s],
            .inverse_root_bs = search.inverse_root_bs[s - block_begin],
            .x = x,
            .y = y,
            .s = s,
            .V = search.V,
            .threshold = search.threshold,
            .bound_blocks = unbounded_visits[j] == 0,
            .largest_x = largest_numerator_of(search, x, s),
            .largest_y = largest_numerator_of(search, y, s),
            .crossing_first = (crossing_first >> j & 1) != 0};
        SecondOrderOutcome outcome;
        c = search.kernels.merge_second_order(in, fxy, c, outcome);
        stored[j] = c;
        const double visit = visit_cost + outcome.controls_scanned * scanned_control_cost +
                             outcome.coefficients_computed * computed_coefficient_cost +
                             outcome.blocks_bounded * bounded_block_cost;
        cost += visit;
        if (s >= search.work.late_begin) {
          late_cost[j] += visit;
          ++late_visits[j];
        }
        if (search.kept_controls != nullptr && (first_order_kept || outcome.kept_t >= 0))
          set_kept_controls(search.kept_controls, search.V, x, y, s, outcome.kept_t);
        if (unbounded_visits[j] > 0)
          --unbounded_visits[j];
        else if (outcome.blocks_let_through * 4 > outcome.blocks_bounded * 3)
          unbounded_visits[j] = visits_unbounded;
        if (!(std::fabs(c) >= search.threshold)) {
          left |= uint32_t{1} << j;
          search.sweep_from_of(x, y) = static_cast<uint16_t>(s + 1 - block_begin);
        } else {
          crossing_first &= ~(uint32_t{1} << j);
        }
      }
    }
    for (size_t n = first; n < last; ++n)
      combined[pairs[n - first].x][pairs[n - first].y] = stored[n - first];
    double staying_cost = 0;
    int64_t staying_visits = 0;
    const uint32_t staying = group & ~left;
    for (uint32_t rest = staying; rest != 0; rest &= rest - 1) {
      staying_cost += late_cost[__builtin_ctz(rest)];
      staying_visits += late_visits[__builtin_ctz(rest)];
    }
    WorkAccount& work = search.work;
    work.active_done.fetch_add(cost, std::memory_order_relaxed);
    work.stretch_cost.fetch_add(cost, std::memory_order_relaxed);
    work.late_cost.fetch_add(staying_cost, std::memory_order_relaxed);
    work.late_visits.fetch_add(staying_visits, std::memory_order_relaxed);
    work.pairs_staying.fetch_add(__builtin_popcount(staying), std::memory_order_relaxed);
    work.pairs_done.fetch_add(static_cast<int64_t>(last - first), std::memory_order_relaxed);
    report_work(search);
  }
}

// Drops the pairs that left the second-order search.
void retire_pairs(Search& search) {
  search.active_pairs = 0;
  for (ActiveWindow& w : search.active) {
    for (uint32_t rest = w.mask; rest != 0; rest &= rest - 1) {
      const int32_t j = __builtin_ctz(rest);
      if (search.sweep_from_of(w.x, w.y0 + j) != still_active) w.mask &= ~(uint32_t{1} << j);
    }
    search.active_pairs += __builtin_popcount(w.mask);
  }
  std::erase_if(search.active, [](const ActiveWindow& w) { return w.mask == 0; });
}

// Sets lane j of a group to merge the stored value c.
void set_first_order_lane(FirstOrderLanes& lanes, int32_t j, double cxy, double c) {
  lanes.cxy[j] = cxy;
  lanes.c[j] = c;
  lanes.cxy_f[j] = static_cast<float>(cxy);
  lanes.bound_f[j] = first_order_float_bound(c);
  lanes.kept_control[j] = -1;
  // A stored zero or NaN is never replaced.
  if (std::fabs(c) > 0) lanes.merging |= uint64_t{1} << j;
}

// Leaves lane j of a group out of merging.
void skip_first_order_lane(FirstOrderLanes& lanes, int32_t j) {
  lanes.cxy[j] = 0;
  lanes.c[j] = 0;
  lanes.cxy_f[j] = 0;
  lanes.bound_f[j] = -HUGE_VALF;
}

// Lane j, set to merge, joins the merging only from control s on.
void delay_first_order_lane(FirstOrderLanes& lanes, int32_t j, int32_t s) {
  lanes.merging &= ~(uint64_t{1} << j);
  int32_t k = lanes.waiting_count++;
  for (; k > 0 && lanes.waiting_from[k - 1] > s; --k) {
    lanes.waiting_from[k] = lanes.waiting_from[k - 1];
    lanes.waiting_lane[k] = lanes.waiting_lane[k - 1];
  }
  lanes.waiting_from[k] = s;
  lanes.waiting_lane[k] = j;
}

// The first control of the block from s_begin that the sweep merges into a
// pair that started at or above the threshold (V while it is still active),
// read once.
int32_t sweep_start(Search& search, int32_t x, int32_t y, int32_t s_begin) {
  uint16_t& from = search.sweep_from_of(x, y);
  if (from == still_active) return search.V;
  const int32_t start = s_begin + from;
  from = 0;
  return start;
}

// Merges controls [s_begin, s_end) into every pair that is below the
// threshold for them, each from its sweep start on. The pairs (x, y) of a
// group of consecutive y go through the controls together, the group's
// correlations with the controls copied side by side so that a control's
// lanes are one contiguous load.
void sweep_first_order(Search& search, int32_t s_begin, int32_t s_end) {
  const int32_t V = search.V;
  const LowerMatrix& correlation = search.correlation;
  PairMatrix& combined = search.combined;
  constexpr int32_t n = first_order_lanes;
  const int32_t groups = (V + n - 1) / n;
  const size_t width = static_cast<size_t>(s_end - s_begin);
  // Each thread's copies of its group's correlations, obtained here, where
  // running out of memory can still be reported.
  const size_t copy = width * n;
  const size_t threads = static_cast<size_t>(omp_get_max_threads());
  std::vector<double, LargeBlockAllocator<double>> all_ys(threads * copy);
  std::vector<float, LargeBlockAllocator<float>> all_ys_f(threads * copy),
      all_ay_root(threads * copy);
  float* roots = search.first_order_roots.data();
  double* columns = search.control_columns.data();
  // Each group's share of the block's work, by its rows.
  const double rows = sweep_rows(V, search.share);
  const double work_per_row = rows > 0 ? sweep_work(V, s_begin, s_end, search.share) / rows : 0;
#pragma omp parallel
  {
    // Each variable's roots once, for the groups in which it is x and the
    // one in which it is y.
#pragma omp for schedule(static)
    for (int32_t v = 0; v < V; ++v)
      for (int32_t s = s_begin; s < s_end; ++s) {
        const size_t at = static_cast<size_t>(v) * search.block_width + (s - s_begin);
        columns[at] = search.control_row(s)[v];
        roots[at] = first_order_root(static_cast<float>(columns[at]));
      }
    const size_t mine = static_cast<size_t>(omp_get_thread_num()) * copy;
    double* ys = all_ys.data() + mine;
    float* ys_f = all_ys_f.data() + mine;
    float* ay_root = all_ay_root.data() + mine;
    FirstOrderLanes lanes{};
#pragma omp for schedule(dynamic, 1)
    // Groups end at V, V - n, ...: the last one, which may be partly empty,
    // is then the one with the fewest x, and the first ones, the most work,
    // are handed out first.
    for (int32_t g = 0; g < groups; ++g) {
      if (g % search.share.parts != search.share.part || stopping(search)) continue;
      const int32_t y0 = V - n * (g + 1), y_end = y0 + n;
      for (int32_t s = s_begin; s < s_end; ++s) {
        for (int32_t j = 0; j < n; ++j) {
          // Lanes before the first variable hold 0, whose pairs are skipped
          // anyway. The roots are those of the table, the matrix being
          // symmetric.
          const bool valid = y0 + j >= 0;
          const double r = valid ? search.control_row(s)[y0 + j] : 0.0;
          ys[(s - s_begin) * n + j] = r;
          ys_f[(s - s_begin) * n + j] = static_cast<float>(r);
          ay_root[(s - s_begin) * n + j] =
              valid ? roots[static_cast<size_t>(y0 + j) * search.block_width + (s - s_begin)] : 1;
        }
      }
      for (int32_t x = 0; x < y_end - 1; ++x) {
        lanes.merging = 0;
        lanes.waiting_count = 0;
        uint64_t merged = 0;
        for (int32_t j = 0; j < n; ++j) {
          const int32_t y = y0 + j;
          // Only pairs x < y: lanes before the first variable are passed over too.
          const double cxy = y > x ? correlation[y][x] : 0.0;
          const int32_t first = y <= x ? V
                                : std::fabs(cxy) >= search.threshold
                                    ? sweep_start(search, x, y, s_begin)
                                    : s_begin;
          if (first >= s_end) {
            skip_first_order_lane(lanes, j);
            continue;
          }
          set_first_order_lane(lanes, j, cxy, combined[x][y]);
          merged |= uint64_t{1} << j;
          if (first > s_begin && (lanes.merging >> j & 1) != 0)
            delay_first_order_lane(lanes, j, first);
        }
        if (lanes.merging == 0 && lanes.waiting_count == 0) continue;
        search.kernels.merge_first_order_lanes(lanes,
                                               columns + static_cast<size_t>(x) * search.block_width,
                                               roots + static_cast<size_t>(x) * search.block_width,
                                               ys, ys_f, ay_root, x, y0, s_begin, s_end);
        for (; merged != 0; merged &= merged - 1) {
          const int32_t j = __builtin_ctzll(merged);
          combined[x][y0 + j] = lanes.c[j];
          if (search.kept_controls != nullptr && lanes.kept_control[j] >= 0)
            set_kept_controls(search.kept_controls, V, x, y0 + j, lanes.kept_control[j], -1);
        }
      }
      search.work.sweep_done.fetch_add((y_end - 1) * work_per_row, std::memory_order_relaxed);
      report_work(search);
    }
  }
}

}  // namespace

int32_t set_controls_per_sweep(int32_t controls) {
  const int32_t before = control_block;
  control_block = controls;
  return before;
}

double combine_working_bytes(int32_t V) {
  const double v = V, blocks = bound_blocks(V), controls = std::min(V, control_block);
  const double threads = omp_get_max_threads();
  // The active windows and their pair counts when every pair is active, and a
  // window of each row that holds only some, and the sweep starts; the
  // bounds and the quantized copy of the correlations; each block's control
  // rows, inverse roots and quantized 1 - r^2; each stretch's quantized
  // inverse roots and largest numerators; the first-order roots of a block
  // and the correlations they come from;
  // each thread's full rows while the tables are made, and its copies for the
  // first-order sweep.
  const double active =
      (sizeof(ActiveWindow) + sizeof(size_t)) * (v * (v - 1) / 2 / window_width + 2 * v) +
      sizeof(uint16_t) * static_cast<double>(pair_matrix_size(V));
  const double tables = 8 * (v + block_over_read) * blocks + 2 * v * v + 2 * second_order_over_read;
  const double per_block =
      controls * (14 * v + 8 * blocks) + 8 * block_over_read * blocks + 6 * second_order_over_read;
  const double per_stretch =
      controls_per_visit_bound * (4 * v + 1) + 2 * second_order_over_read + v;
  const double first_order_roots = (4 + 8) * v * controls;
  const double per_thread =
      threads * std::max(8.0 * rows_at_once * v, controls * first_order_lanes * (8 + 4 + 4));
  return active + tables + per_block + per_stretch + first_order_roots + per_thread;
}

bool combine_partial_correlations(int32_t V, int32_t N, PairMatrix& combined,
                                  const LowerMatrix& correlation,
                                  const ControlDone& control_done, int32_t* kept_controls,
                                  const WorkDone& work_done, PairShare share) {
  Search search{.V = V,
                .block_width = std::min(V, control_block),
                .threshold = critical_value(N, pruning_z),
                .combined = combined,
                .correlation = correlation,
                .kernels = current_kernels(),
                .kept_controls = kept_controls,
                .share = share};
  search.work.report = work_done ? &work_done : nullptr;
  report_work(search);
  if (stopping(search)) return false;
  start_search(search);
  for (int32_t block = 0; block < V; block += control_block)
    search.work.sweeps += sweep_work(V, block, std::min(V, block + control_block), share);
  if (search.active.empty()) search.work.later_left = 0;
  search.first_order_roots.resize(static_cast<size_t>(V) * search.block_width);
  search.control_columns.resize(static_cast<size_t>(V) * search.block_width);
  if (!allocate_matrix(search.control_rows, search.block_width, V)) throw std::bad_alloc();
  if (!search.active.empty()) obtain_second_order_arrays(search);
  for (int32_t block = 0; block < V; block += control_block) {
    const int32_t block_end = std::min(V, block + control_block);
    load_control_rows(search, block, block_end);
    if (!search.active.empty()) {
      prepare_controls(search, block, block_end);
      for (int32_t s = block; s < block_end && !search.active.empty();
           s += controls_per_visit_bound) {
        const int32_t stretch_end = std::min(block_end, s + controls_per_visit_bound);
        begin_stretch(search, s, stretch_end, bound_first_order(search, s, stretch_end));
        follow_active_pairs(search, block, s, stretch_end);
        end_stretch(search.work);
        retire_pairs(search);
        report_work(search);
        if (stopping(search)) return false;
      }
    }
    sweep_first_order(search, block, block_end);
    if (stopping(search)) return false;
    if (control_done)
      for (int32_t s = block; s < block_end; ++s) control_done(s);
  }
  if (work_done)
    work_done({.done = search.work.sweep_done + search.work.active_done,
               .left = 0,
               .left_known = true,
               .finished = true});
  return true;
}

}  // namespace quorvin
