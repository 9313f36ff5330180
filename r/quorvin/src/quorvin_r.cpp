// The R face of the engine: R's matrices in without a copy (a V x N matrix,
// column-major, is the row-major N x V array of the engine's variables in
// columns), the results copied into R's own matrices, and the work done with
// R's interrupt polled from R's thread only. The R code turns data frames
// into matrices and results into data frames; everything else is the
// library's.
#include <Rcpp.h>

#include <R_ext/Print.h>

#include <string>
#include <vector>

#include "library/progress_estimate.h"
#include "library/network.h"

namespace {

// What the poll of R's events caught: an interrupt (Ctrl-C) or an error
// (a time limit from setTimeLimit), with its message.
struct Caught {
  bool interrupt = false, error = false;
  std::string message;
};

SEXP process_events(void*) {
  R_CheckUserInterrupt();
  return R_NilValue;
}

SEXP catch_condition(SEXP condition, void* data) {
  Caught& caught = *static_cast<Caught*>(data);
  if (Rf_inherits(condition, "interrupt")) {
    caught.interrupt = true;
  } else {
    caught.error = true;
    SEXP message = PROTECT(Rf_eval(PROTECT(Rf_lang2(Rf_install("conditionMessage"), condition)),
                                   R_GlobalEnv));
    if (TYPEOF(message) == STRSXP && XLENGTH(message) > 0)
      caught.message = CHAR(STRING_ELT(message, 0));
    UNPROTECT(2);
  }
  return R_NilValue;
}

// Lets R handle its events; false, with caught set, when that raised an
// interrupt or an error, which R would otherwise unwind past C++ frames.
bool poll_r(Caught& caught) {
  SEXP classes = PROTECT(Rf_allocVector(STRSXP, 2));
  SET_STRING_ELT(classes, 0, Rf_mkChar("interrupt"));
  SET_STRING_ELT(classes, 1, Rf_mkChar("error"));
  R_tryCatch(process_events, nullptr, classes, catch_condition, &caught, nullptr, nullptr);
  UNPROTECT(1);
  return !caught.interrupt && !caught.error;
}

[[noreturn]] void raise(const quorvin::Error& error) {
  Rcpp::stop(error.message);
}

// The polls of R's events, and the progress line's updates, this often.
constexpr double poll_seconds = 0.1;

int level_index(double level) {
  int index = 0;
  if (const quorvin::Error error = quorvin::level_index(level, index)) raise(error);
  return index;
}

quorvin::NetworkView view_of(const Rcpp::NumericMatrix& spearman,
                             const Rcpp::NumericMatrix& combined,
                             const Rcpp::IntegerVector& controls, int N,
                             const std::vector<std::string>* names) {
  quorvin::NetworkView view;
  view.V = spearman.nrow();
  view.N = N;
  view.spearman = quorvin::MatrixView(spearman.begin(), view.V);
  view.combined = quorvin::MatrixView(combined.begin(), view.V);
  view.kept_controls = controls.size() > 0 ? reinterpret_cast<const int32_t*>(controls.begin())
                                           : nullptr;
  view.names = names;
  return view;
}

}  // namespace

// The network of values (rows x cols, column-major): a variable per row
// when variables_in_rows. Returns list(spearman, combined, controls).
// [[Rcpp::export]]
Rcpp::List engine_compute(Rcpp::NumericMatrix values, bool variables_in_rows,
                          std::vector<std::string> names, int threads, bool keep_controls,
                          bool progress) {
  // Column-major rows x cols is row-major cols x rows.
  const quorvin::NetworkInput input{.values = values.begin(),
                                    .rows = values.ncol(),
                                    .cols = values.nrow(),
                                    .variables_in_columns = variables_in_rows,
                                    .names = &names};
  quorvin::NetworkOptions options;
  options.threads = threads;
  options.keep_controls = keep_controls;
  quorvin::ProgressPoll poll;
  bool shown = false;
  Caught caught;
  options.progress = [&](const quorvin::SearchWork& work) {
    if (!quorvin::progress_poll_due(poll, work, poll_seconds)) return true;
    if (!poll_r(caught)) return false;
    if (progress) {
      shown = true;
      const quorvin::ProgressEstimate& estimate = poll.estimate;
      REprintf("\r%s   ",
               quorvin::progress_line(estimate.share, poll.elapsed, estimate.seconds_left).c_str());
    }
    return true;
  };
  quorvin::Network network;
  const quorvin::Error error = quorvin::compute_network(input, options, network);
  if (shown) REprintf("\n");
  if (caught.interrupt) throw Rcpp::internal::InterruptedException();
  if (caught.error) Rcpp::stop(caught.message);
  if (error) raise(error);
  const int32_t V = network.V;
  Rcpp::IntegerVector controls(network.kept_controls.begin(), network.kept_controls.end());
  decltype(network.kept_controls)().swap(network.kept_controls);
  Rcpp::NumericMatrix spearman(V, V);
  quorvin::fill_spearman_square(network, spearman.begin());
  quorvin::LowerMatrix().data.swap(network.spearman.data);
  Rcpp::NumericMatrix combined(V, V);
  quorvin::fill_combined_square(network, combined.begin());
  quorvin::PairMatrix().data.swap(network.combined.data);
  return Rcpp::List::create(Rcpp::Named("spearman") = spearman,
                            Rcpp::Named("combined") = combined,
                            Rcpp::Named("controls") = controls);
}

// The critical value of level for N observations.
// [[Rcpp::export]]
double engine_critical(int N, double level) {
  quorvin::NetworkView view;
  view.N = N;
  return quorvin::network_critical_value(view, level_index(level));
}

// The pairs of the edge table at level, as 0-based indices (-1 for none).
// [[Rcpp::export]]
Rcpp::List engine_edges(Rcpp::NumericMatrix spearman, Rcpp::NumericMatrix combined,
                        Rcpp::IntegerVector controls, int N, double level) {
  const int index = level_index(level);
  if (controls.size() == 0 && spearman.nrow() > 1)
    Rcpp::stop("the edges need the controls of each result; compute the network with edges = TRUE");
  const std::vector<quorvin::Edge> found =
      quorvin::network_edges(view_of(spearman, combined, controls, N, nullptr), index);
  const R_xlen_t count = static_cast<R_xlen_t>(found.size());
  Rcpp::IntegerVector x(count), y(count), control_1(count), control_2(count), order(count),
      strictest(count);
  for (R_xlen_t i = 0; i < count; ++i) {
    const quorvin::Edge& e = found[static_cast<size_t>(i)];
    x[i] = e.x;
    y[i] = e.y;
    control_1[i] = e.control_1;
    control_2[i] = e.control_2;
    order[i] = e.order;
    strictest[i] = e.level;
  }
  return Rcpp::List::create(Rcpp::Named("x") = x, Rcpp::Named("y") = y,
                            Rcpp::Named("control_1") = control_1,
                            Rcpp::Named("control_2") = control_2, Rcpp::Named("order") = order,
                            Rcpp::Named("level") = strictest);
}

// Writes the result files; returns the pairs listed at each level, then in
// the edge table.
// [[Rcpp::export]]
Rcpp::NumericVector engine_save(Rcpp::NumericMatrix spearman, Rcpp::NumericMatrix combined,
                                Rcpp::IntegerVector controls, int N,
                                std::vector<std::string> names, std::string folder,
                                std::string edge_table) {
  quorvin::ListedPairs listed;
  const quorvin::Error error = quorvin::save_network(
      view_of(spearman, combined, controls, N, &names), folder, edge_table, listed);
  if (error) raise(error);
  return Rcpp::NumericVector::create(static_cast<double>(listed.edges[0]),
                                     static_cast<double>(listed.edges[1]),
                                     static_cast<double>(listed.edges[2]),
                                     static_cast<double>(listed.edge_table_rows));
}
