// Combined second-order partial correlation: for every pair, the coefficient of
// smallest magnitude among its zero-, first- and second-order partials, with
// the second-order search pruned at the critical value for z = 1.96.
#pragma once

#include <cstdint>
#include <functional>

#include "common/kept_controls.h"
#include "common/matrix.h"

namespace quorvin {

// The partial correlation of a and b given c, from the correlations r_ab,
// r_ac and r_bc: (r_ab - r_ac * r_bc) / sqrt((1 - r_bc^2) * (1 - r_ac^2)).
// Every coefficient of the search is computed by this one expression. Static,
// so that each kernel file, whatever instruction set it is compiled for, has
// its own copy.
static inline double partial_coefficient(double r_ab, double r_ac, double r_bc) {
  return (r_ab - r_ac * r_bc) / __builtin_sqrt((1 - r_bc * r_bc) * (1 - r_ac * r_ac));
}

// Called after control variable s (0-based) is done: every coefficient that
// controls for s, alone or with a later t, has been met by every pair.
using ControlDone = std::function<void(int32_t s)>;

// The search's account of its work, for a progress report, in units of about
// a nanosecond of one thread's time: what it has done and an estimate of what
// is left, which rises or falls as the search learns how its pairs behave.
struct SearchWork {
  double done = 0;
  double left = 0;
  bool left_known = false;  // false until the first group of pairs is done
  bool finished = false;    // the last report: nothing is left
};

// Called by the thread that called the search, at its start, between groups
// of pairs and once at its end; returns false to ask the search to stop,
// which it then does at the end of the groups under way. Must not throw:
// most calls come from within a parallel region.
using WorkDone = std::function<bool(const SearchWork& work)>;

// A share of the pairs, for a search spread over processes that each search
// one share: the pairs x < y of the y in each run of 64 variables ending at
// V, V - 64, ... belong to the runs' share in turn, so that the costly pairs
// spread evenly. Requires 0 <= part < parts.
struct PairShare {
  int32_t part = 0;
  int32_t parts = 1;
};

// Whether the pairs of variable y (with every x < y) are in share.
inline bool in_share(int32_t V, int32_t y, PairShare share) {
  return (V - 1 - y) / 64 % share.parts == share.part;
}

// Sets how many controls are handled per sweep over the pairs (512 unless
// changed; tests use fewer, to meet several sweeps on small data). Returns
// the number before. Requires 0 < controls < 65535 (a block's controls are
// counted in 16 bits); not while a search runs.
int32_t set_controls_per_sweep(int32_t controls);

// The most working memory, in bytes, that the search obtains for V variables
// with the current thread count, every working array included.
double combine_working_bytes(int32_t V);

// Fills combined, the pairs of V variables, with each pair's result from
// correlation, of V variables. Controls are visited in
// ascending order and a stored value is replaced only by one of strictly
// smaller magnitude, so the result is the same for any thread count. Calls
// control_done for s = 0 .. V-1 in order, and work_done, when given, as
// WorkDone says.
// kept_controls, when not null, holds kept_controls_size(V) entries and
// receives the controls of each result, as first_control and second_control
// read them. Only the pairs in share are searched; the others keep their
// zero-order coefficient and no controls.
// Returns false, leaving combined and kept_controls unfinished, when
// work_done asked it to stop. Throws std::bad_alloc when its working memory
// cannot be had.
bool combine_partial_correlations(int32_t V, int32_t N, PairMatrix& combined,
                                  const LowerMatrix& correlation, const ControlDone& control_done,
                                  int32_t* kept_controls = nullptr,
                                  const WorkDone& work_done = nullptr, PairShare share = {});

}  // namespace quorvin
