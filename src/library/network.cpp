#include "library/network.h"

#include <fcntl.h>
#include <omp.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <new>
#include <unordered_map>

#include "common/kept_controls.h"
#include "common/message_text.h"
#include "common/number_format.h"
#include "input/table_text.h"
#include "stats/correlation.h"
#include "stats/critical_value.h"
#include "stats/ranks.h"

namespace quorvin {

namespace {

// The memory the run may use: the machine's, or less when a control group
// (a container's memory.max) limits it, as exceeding that kills the process
// without a word. 0 bytes when unknown.
struct MemoryLimit {
  double bytes = 0;
  bool container = false;  // set by the control group, not the machine
};

MemoryLimit memory_limit() {
  MemoryLimit limit{static_cast<double>(sysconf(_SC_PHYS_PAGES)) * sysconf(_SC_PAGESIZE)};
  for (const char* path : {"/sys/fs/cgroup/memory.max", "/sys/fs/cgroup/memory/memory.limit_in_bytes"}) {
    // Read plainly: the first use of a stream costs a small run 0.2 ms.
    char text[64] = {};
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) continue;
    const ssize_t size = ::read(fd, text, sizeof text - 1);
    ::close(fd);
    double bytes = 0;
    if (size > 0 && std::from_chars(text, text + size, bytes).ec == std::errc() && bytes > 0 &&
        (!(limit.bytes > 0) || bytes < limit.bytes))
      limit = {bytes, true};
  }
  return limit;
}

Error invalid(const std::string& message) { return {ErrorKind::invalid_input, message}; }

// "variable 3 ("b")", or "variable 3" without names.
std::string variable_text(const NetworkInput& input, int64_t v) {
  std::string text = "variable " + std::to_string(v + 1);
  if (input.names != nullptr) text += " (" + quoted_for_message((*input.names)[v]) + ")";
  return text;
}

Error check_input(const NetworkInput& input) {
  const int64_t V = input.variables_in_columns ? input.cols : input.rows;
  const int64_t N = input.variables_in_columns ? input.rows : input.cols;
  if (V < 0 || N < 0 || (V > 0 && N > 0 && input.values == nullptr))
    return invalid("the values are missing");
  if (V == 0) return invalid("the data hold no variable");
  if (N == 0) return invalid("the data hold no observation");
  if (V > std::numeric_limits<int32_t>::max() || N > std::numeric_limits<int32_t>::max())
    return invalid("the data hold " + std::to_string(V) + " variables and " + std::to_string(N) +
                   " observations, more than 2147483647 of either");
  if (input.names != nullptr) {
    const std::vector<std::string>& names = *input.names;
    if (static_cast<int64_t>(names.size()) != V)
      return invalid(std::to_string(names.size()) + " names were given for " + std::to_string(V) +
                     " variables");
    std::unordered_map<std::string_view, int64_t> seen;
    for (int64_t v = 0; v < V; ++v) {
      const auto [earlier, is_new] = seen.emplace(names[v], v);
      if (!is_new)
        return invalid(variable_text(input, v) + " has the name of variable " +
                       std::to_string(earlier->second + 1) + "; names must differ");
    }
  }
  for (int64_t r = 0; r < input.rows; ++r) {
    const double* row = input.values + r * input.cols;
    for (int64_t c = 0; c < input.cols; ++c) {
      if (std::isfinite(row[c])) continue;
      const int64_t v = input.variables_in_columns ? c : r, k = input.variables_in_columns ? r : c;
      return invalid(variable_text(input, v) + ", observation " + std::to_string(k + 1) + ": " +
                     (std::isnan(row[c]) ? "a missing value (NaN); fill it in, or leave out the "
                                           "variable"
                                         : "an infinite value, of which no rank can be had"));
    }
  }
  return {};
}

// Sets the thread count of the calling thread's parallel regions while it lives.
struct ThreadCount {
  int before;
  explicit ThreadCount(int threads) : before(omp_get_max_threads()) {
    if (threads > 0) omp_set_num_threads(threads);
  }
  ~ThreadCount() { omp_set_num_threads(before); }
};

// 1 on the diagonal of the Spearman matrix, a constant variable's included,
// as the files write it.
void set_unit_diagonal(int32_t V, LowerMatrix& spearman) {
  for (int32_t i = 0; i < V; ++i) spearman[i][i] = 1.0;
}

// A matrix's square (V x V, row-major) from its values for x < y, as
// value(x, y), and 1 on the diagonal. Blocks of rows, so that the column walk
// of one stays in cache.
template <typename Value>
void fill_square(int64_t V, double* square, const Value& value) {
  constexpr int64_t block = 64;
#pragma omp parallel for schedule(dynamic, 1)
  for (int64_t x0 = 0; x0 < V; x0 += block) {
    const int64_t x_end = std::min(V, x0 + block);
    for (int64_t y0 = 0; y0 < V; y0 += block)
      for (int64_t x = x0; x < x_end; ++x)
        for (int64_t y = y0; y < std::min(V, y0 + block); ++y)
          square[x * V + y] = x == y ? 1.0 : x < y ? value(x, y) : value(y, x);
  }
}

}  // namespace

double network_bytes(int32_t V, int32_t N, bool keep_controls) {
  const double v = V, n = N;
  // The correlation is computed as a square, beside the ranks; the search
  // then works with its lower triangle.
  const double square = 8.0 * (v * v + n * v);
  const double search = 8.0 * (static_cast<double>(lower_row_offset(V)) +
                               static_cast<double>(pair_matrix_size(V))) +
                        (keep_controls ? 4.0 * v * (v - 1) : 0.0) + combine_working_bytes(V);
  return 8.0 * n * v + std::max(square, search) + 32.0 * v + 8.0 * n;
}

bool network_fits_in_memory(int32_t V, int32_t N, bool keep_controls) {
  const double limit = memory_limit().bytes;
  return !(limit > 0 && network_bytes(V, N, keep_controls) > limit);
}

std::string memory_message(int32_t V, int32_t N, bool keep_controls) {
  const double needed = network_bytes(V, N, keep_controls);
  const MemoryLimit limit = memory_limit();
  std::string beyond;
  rlimit address_space{};
  if (limit.bytes > 0 && needed > limit.bytes)
    beyond = limit.container ? "the container's memory limit of " + format_bytes(limit.bytes)
                             : "the machine's " + format_bytes(limit.bytes) + " of memory";
  else if (getrlimit(RLIMIT_AS, &address_space) == 0 && address_space.rlim_cur != RLIM_INFINITY)
    beyond = "the process may address (ulimit -v: " +
             format_bytes(static_cast<double>(address_space.rlim_cur)) + ")";
  else
    beyond = "the system would give";
  return std::to_string(V) + " variables and " + std::to_string(N) + " observations need " +
         format_bytes(needed) + " of memory, more than " + beyond;
}

std::string ran_out_message(int32_t V, int32_t N, bool keep_controls) {
  return "the memory ran out while reading and computing (" + std::to_string(V) +
         " variables and " + std::to_string(N) + " observations, whose arrays take " +
         format_bytes(network_bytes(V, N, keep_controls)) + ")";
}

Error allocate_network(int32_t V, int32_t N, bool keep_controls, Network& network) {
  network = Network();
  Matrix square;
  network.V = V;
  network.N = N;
  try {
    if (keep_controls) network.kept_controls.resize(kept_controls_size(V));
  } catch (const std::bad_alloc&) {
    network = Network();
  }
  if ((keep_controls && network.kept_controls.size() != kept_controls_size(V)) ||
      !allocate_matrix(square, V, V) || !allocate_pairs(network.combined, V)) {
    network = Network();
    return {ErrorKind::out_of_memory, memory_message(V, N, keep_controls)};
  }
  network.spearman.V = V;
  network.spearman.data = std::move(square.data);
  return {};
}

Error compute_network(const NetworkInput& input, const NetworkOptions& options, Network& network) {
  if (Error error = check_input(input)) {
    network = Network();
    return error;
  }
  return compute_network_as_given(input, options, network);
}

Error compute_network_as_given(const NetworkInput& input, const NetworkOptions& options,
                               Network& network) {
  const ThreadCount thread_count(options.threads);
  const bool in_columns = input.variables_in_columns;
  const int32_t V = static_cast<int32_t>(in_columns ? input.cols : input.rows);
  const int32_t N = static_cast<int32_t>(in_columns ? input.rows : input.cols);
  const bool keep = options.keep_controls;
  Network result = std::move(network);
  network = Network();
  const bool allocated = result.V == V && result.N == N && result.spearman.data &&
                         result.kept_controls.size() == (keep ? kept_controls_size(V) : 0);
  if (!allocated) {
    if (!network_fits_in_memory(V, N, keep))
      return {ErrorKind::out_of_memory, memory_message(V, N, keep)};
    if (Error error = allocate_network(V, N, keep, result)) return error;
  }
  const auto keep_going = [&options] { return !options.progress || options.progress(SearchWork{}); };
  const Error stopped{ErrorKind::stopped, "the computation was stopped on request"};
  try {
    if (input.names != nullptr) result.names = *input.names;
    Matrix ranks;
    std::vector<double> means(static_cast<size_t>(V), 0.0);
    if (!allocate_matrix(ranks, N, V)) return {ErrorKind::out_of_memory, memory_message(V, N, keep)};
    if (!keep_going()) return stopped;
    rank_transform(V, N, ranks, input.values, in_columns ? input.cols : 1,
                   in_columns ? 1 : input.cols);
    // The correlation is computed in the covariance's own storage, the
    // square that allocate_network obtained, of which the search keeps the
    // lower triangle.
    Matrix square{.rows = V, .cols = V, .data = std::move(result.spearman.data)};
    result.spearman = LowerMatrix();
    if (!rank_covariance(V, N, square, ranks, means, keep_going)) return stopped;
    Matrix().data.swap(ranks.data);
    correlation_from_covariance(V, square, square);
    result.spearman = lower_of_square(std::move(square));
    if (!combine_partial_correlations(V, N, result.combined, result.spearman, options.control_done,
                                      keep ? result.kept_controls.data() : nullptr,
                                      options.progress, options.share))
      return stopped;
  } catch (const std::bad_alloc&) {
    return {ErrorKind::out_of_memory, ran_out_message(V, N, keep)};
  }
  set_unit_diagonal(V, result.spearman);
  network = std::move(result);
  return {};
}

Error names_for_files(const std::vector<std::string>& names, std::vector<std::string>& file_names) {
  file_names.clear();
  file_names.reserve(names.size());
  std::unordered_map<std::string, size_t> seen;
  for (size_t v = 0; v < names.size(); ++v) {
    const std::string variable = "variable " + std::to_string(v + 1);
    if (names[v].empty()) return invalid(variable + " has no name, which the result files need");
    std::string name = name_for_files(names[v]);
    if (const char* reason = unwritable_name_reason(name))
      return invalid(variable + ": the name " + quoted_for_message(name) + " " + reason +
                     "; rename the variable");
    const auto [earlier, is_new] = seen.emplace(name, v);
    if (!is_new) {
      const std::string& earlier_name = names[earlier->second];
      return invalid(variable + ": the name " + quoted_for_message(name) +
                     (names[v] != name ? name_origin(names[v]) : "") +
                     " in the result files is already that of variable " +
                     std::to_string(earlier->second + 1) +
                     (earlier_name != name ? name_origin(earlier_name) : "") + "; names must differ");
    }
    file_names.push_back(std::move(name));
  }
  return {};
}

NetworkView::NetworkView(const Network& network)
    : V(network.V),
      N(network.N),
      spearman(network.spearman),
      combined(network.combined),
      kept_controls(network.kept_controls.empty() ? nullptr : network.kept_controls.data()),
      names(&network.names) {}

Error level_index(double level, int& index) {
  for (index = 0; index < level_count; ++index)
    if (std::strtod(level_names[index], nullptr) == level) return {};
  char shown[max_double_text];
  return invalid("the level must be one of 0.01, 0.001 and 0.0001, not " +
                 std::string(shown, write_shortest_double(shown, level)));
}

double network_critical_value(const NetworkView& network, int level) {
  return critical_value(network.N, level_z[level]);
}

std::vector<Edge> network_edges(const NetworkView& network, int level) {
  const int32_t V = network.V;
  double critical[level_count];
  for (int l = 0; l < level_count; ++l) critical[l] = network_critical_value(network, l);
  std::vector<Edge> edges;
  const int32_t* kept = network.kept_controls;
  for (int32_t x = 0; x < V; ++x) {
    const double* combined = network.combined[x];
    for (int32_t y = x + 1; y < V; ++y) {
      if (!edge_table_lists(network.spearman[y][x], combined[y], critical[level])) continue;
      const int32_t c1 = first_control(kept, V, x, y), c2 = second_control(kept, V, x, y);
      edges.push_back({x, y, c1, c2, (c1 >= 0) + (c2 >= 0), strictest_level(combined[y], critical)});
    }
  }
  return edges;
}

void pack_share(const Network& network, PairShare share, std::vector<double>& values,
                std::vector<int32_t>& controls) {
  const int32_t V = network.V;
  const bool kept = !network.kept_controls.empty();
  values.clear();
  controls.clear();
  for (int32_t y = 0; y < V; ++y) {
    if (!in_share(V, y, share)) continue;
    for (int32_t x = 0; x < y; ++x) {
      values.push_back(network.combined[x][y]);
      if (!kept) continue;
      controls.push_back(first_control(network.kept_controls.data(), V, x, y));
      controls.push_back(second_control(network.kept_controls.data(), V, x, y));
    }
  }
}

void unpack_share(Network& network, PairShare share, const double* values,
                  const int32_t* controls) {
  const int32_t V = network.V;
  const bool kept = !network.kept_controls.empty();
  for (int32_t y = 0; y < V; ++y) {
    if (!in_share(V, y, share)) continue;
    for (int32_t x = 0; x < y; ++x) {
      network.combined[x][y] = *values++;
      if (!kept) continue;
      set_kept_controls(network.kept_controls.data(), V, x, y, controls[0], controls[1]);
      controls += 2;
    }
  }
}

void fill_spearman_square(const NetworkView& network, double* square) {
  fill_square(network.V, square, [&](int64_t x, int64_t y) { return network.spearman[y][x]; });
}

void fill_combined_square(const NetworkView& network, double* square) {
  fill_square(network.V, square, [&](int64_t x, int64_t y) { return network.combined[x][y]; });
}

void write_network(const NetworkView& network, const std::vector<std::string>& file_names,
                   ResultFiles& results, ListedPairs& listed) {
  double critical[level_count];
  for (int level = 0; level < level_count; ++level)
    critical[level] = network_critical_value(network, level);
  write_result_files(network.V, critical, file_names, network.spearman, network.combined,
                     network.kept_controls, results, listed);
}

Error save_network(const NetworkView& network, const std::string& folder,
                   const std::string& edge_table, ListedPairs& listed) {
  if (!edge_table.empty() && network.kept_controls == nullptr && network.V > 1)
    return invalid("the edge table needs the controls of each result, which were not kept");
  if (network.names == nullptr || static_cast<int64_t>(network.names->size()) != network.V)
    return invalid("the result files need a name for each variable");
  std::vector<std::string> file_names;
  if (Error error = names_for_files(*network.names, file_names)) return error;
  ResultFiles results;
  results.take_signals = false;
  std::string message;
  if (!open_result_files(results, folder, edge_table, ResultMode::staged, message))
    return {ErrorKind::failed, message};
  try {
    write_network(network, file_names, results, listed);
  } catch (const std::bad_alloc&) {
    discard_result_files(results);
    return {ErrorKind::out_of_memory,
            ran_out_message(network.V, network.N, network.kept_controls != nullptr)};
  }
  if (!finish_result_files(results, message)) return {ErrorKind::failed, message};
  return {};
}

}  // namespace quorvin
