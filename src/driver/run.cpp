#include "driver/run.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <fcntl.h>
#include <sys/resource.h>
#include <omp.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "common/matrix.h"
#include "common/number_format.h"
#include "common/timestamp.h"
#include "driver/command_line.h"
#include "driver/dialogue.h"
#include "driver/progress.h"
#include "input/data_reader.h"
#include "input/table_reader.h"
#include "input/table_text.h"
#include "output/result_files.h"
#include "output/writers.h"
#include "stats/combine.h"
#include "stats/correlation.h"
#include "stats/critical_value.h"
#include "stats/ranks.h"

namespace quorvin {

namespace {

int fail(const std::string& message) {
  std::fprintf(stderr, "quorvin: %s\n", message.c_str());
  return 1;
}

// Gives up the result files as their mode says, then reports message.
int fail_after_opening(ResultFiles& results, const std::string& message) {
  discard_result_files(results);
  return fail(message);
}

void write_console(const std::string& text, bool flush) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  if (flush) std::fflush(stdout);
}

// Asks question and reads its count. A refusal ends with note, which says
// what an earlier answer left for this one.
bool ask_count(const char* question, int32_t& count, const std::string& note) {
  write_console(std::string(question) + "\n", true);
  std::string typed;
  CountAnswer answer = read_count(stdin, count, typed);
  if (answer != CountAnswer::ok) {
    fail(count_answer_message(question, answer, typed) + note);
    return false;
  }
  write_console("\n", true);
  return true;
}

// Text glued to an answer ("4.0" is read as 4) is left for the next one.
std::string leftover_note(const char* question, int32_t count) {
  const int c = std::getc(stdin);
  if (c == EOF) return "";
  std::ungetc(c, stdin);
  if (std::isspace(c)) return "";
  return std::string(" (the answer to \"") + question + "\" was read as " + std::to_string(count) +
         " and the rest of it left for this question)";
}

// Memory for the arrays: values and ranks (N x V each), correlation and
// combined (V x V each), the kept controls for an edge table (two 32-bit
// indices per pair), the names, and the combined search's working memory.
double bytes_needed(int32_t V, int32_t N, bool edge_table) {
  const double v = V, n = N;
  return 8.0 * (2 * n * v + 2 * v * v) + (edge_table ? 4.0 * v * (v - 1) : 0.0) +
         combine_working_bytes(V) + 32.0 * v + 8.0 * n;
}

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

bool memory_suffices(int32_t V, int32_t N, bool edge_table) {
  const double limit = memory_limit().bytes;
  return !(limit > 0 && bytes_needed(V, N, edge_table) > limit);
}

// Names the limit that the arrays exceed: the machine's memory, the
// container's, or, when they fit in both, the address space allowed to the
// process (ulimit -v) or what the system would give.
std::string memory_message(int32_t V, int32_t N, bool edge_table) {
  const double needed = bytes_needed(V, N, edge_table);
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

std::string ran_out_message(int32_t V, int32_t N, bool edge_table) {
  return "the memory ran out while reading and computing (" + std::to_string(V) +
         " variables and " + std::to_string(N) + " observations, whose arrays take " +
         format_bytes(bytes_needed(V, N, edge_table)) + ")";
}

// The arrays that the stages share besides the values.
struct Arrays {
  std::vector<double> means;
  Matrix ranks, correlation, combined;
  // For an edge table only; filled by the search, which first touches its pages.
  std::vector<int32_t, LargeBlockAllocator<int32_t>> kept_controls;
};

// False when the memory cannot be had.
bool allocate_arrays(int32_t V, int32_t N, bool edge_table, Arrays& arrays) {
  try {
    arrays.means.assign(static_cast<size_t>(V), 0.0);
    if (edge_table) arrays.kept_controls.resize(kept_controls_size(V));
  } catch (const std::bad_alloc&) {
    return false;
  }
  return allocate_matrix(arrays.ranks, N, V) && allocate_matrix(arrays.correlation, V, V) &&
         allocate_matrix(arrays.combined, V, V);
}

// What a run wrote: the pairs listed at each level and in the edge table.
struct Listed {
  int64_t edges[level_count];
  int64_t edge_table_rows = 0;
};

// Ranks, correlates and searches, then writes the result files (the edge
// table when results has one) and counts what they list. Throws
// std::bad_alloc when working memory cannot be had.
void compute_and_write(int32_t V, int32_t N, const Matrix& raw_values,
                       const std::vector<std::string>& var_names, Arrays& arrays,
                       ResultFiles& results, const ControlDone& control_done,
                       const WorkDone& work_done, Listed& listed) {
  const bool edge_table = results.count > result_file_count;
  rank_transform(V, N, arrays.ranks, raw_values);
  // The correlation is computed in the covariance's own storage.
  rank_covariance(V, N, arrays.correlation, arrays.ranks, arrays.means);
  correlation_from_covariance(V, arrays.correlation, arrays.correlation);
  combine_partial_correlations(V, N, arrays.combined, arrays.correlation, control_done,
                               edge_table ? arrays.kept_controls.data() : nullptr, work_done);
  Matrix().data.swap(arrays.correlation.data);

  double critical[level_count];
  for (int level = 0; level < level_count; ++level)
    critical[level] = critical_value(N, level_z[level]);
  // Each small file is written by one thread, while the matrix and the edge
  // table, most of what is written, have their rows formatted by every
  // thread, a block of rows at a time, and written in order. Then all files
  // are synced together, so that the disk's waits overlap. No file depends on
  // the thread count. Job i writes results.files[i], 1 <= i < 7.
  const auto write_small_file = [&](int i) {
    const int level = (i - 1) % level_count;
    if (i <= level_count)
      listed.edges[level] = write_interaction_list(V, critical[level], arrays.combined,
                                                   interaction_list_file(results, level), var_names);
    else
      write_pajek_network(V, critical[level], arrays.combined, network_file(results, level),
                          var_names);
    start_result_file_sync(results.files[i], results.mode);
  };
  std::exception_ptr failure;
  const auto guarded = [&failure](const auto& job) {
    try {
      job();
    } catch (...) {
#pragma omp critical(writing_failure)
      failure = std::current_exception();
    }
  };
  ResultFile& matrix = matrix_file(results);
  write_matrix_header(V, var_names, matrix);
  if (edge_table) write_edge_table_header(edge_table_file(results));
  // Blocks of about 64 KiB of matrix text, a number taking some 12 chars, and
  // of at least 8 rows: the cells below the diagonal are read down columns,
  // 8 of which share each cache line.
  const int32_t rows_per_block = std::max(8, (64 << 10) / (12 * V + 1));
  const int32_t blocks = (V + rows_per_block - 1) / rows_per_block;
  const int32_t edge_blocks = edge_table ? blocks : 0;
#pragma omp parallel
  {
#pragma omp for schedule(dynamic, 1) nowait
    for (int i = 1; i < result_file_count; ++i) guarded([&] { write_small_file(i); });
    std::string text;
#pragma omp for ordered schedule(dynamic, 1) nowait
    for (int32_t b = 0; b < edge_blocks; ++b) {
      const int32_t first = b * rows_per_block, last = std::min(V, first + rows_per_block);
      int64_t rows = 0;
      size_t length = 0;
      guarded([&] {
        rows = format_edge_table_rows(V, first, last, critical, arrays.combined,
                                      arrays.kept_controls.data(), var_names,
                                      edge_table_file(results), text, length);
      });
#pragma omp ordered
      guarded([&] {
        append_result_text(edge_table_file(results), text.data(), length);
        listed.edge_table_rows += rows;
        if (b == edge_blocks - 1) start_result_file_sync(edge_table_file(results), results.mode);
      });
    }
#pragma omp for ordered schedule(dynamic, 1)
    for (int32_t b = 0; b < blocks; ++b) {
      const int32_t first = b * rows_per_block, last = std::min(V, first + rows_per_block);
      size_t length = 0;
      guarded([&] {
        length = format_matrix_rows(V, first, last, var_names, arrays.combined, matrix, text);
      });
#pragma omp ordered
      guarded([&] { append_result_text(matrix, text.data(), length); });
    }
#pragma omp single
    guarded([&] { start_result_file_sync(matrix, results.mode); });
#pragma omp for schedule(dynamic, 1)
    for (int i = 0; i < results.count; ++i)
      guarded([&] { sync_result_file(results.files[i], results.mode); });
  }
  if (failure) std::rethrow_exception(failure);
}

// Prints the progress lines of control variable s; the clock is read once
// per control, as all of its lines are printed together.
void print_progress(int32_t s, int32_t V) {
  std::string lines;
  std::string stamp;
  append_timestamp(stamp, std::time(nullptr));
  for (int32_t t = s + 1; t < V; ++t) {
    lines += "Controlled for ";
    append_integer(lines, s + 1);
    lines += " and ";
    append_integer(lines, t + 1);
    lines += " Time: ";
    lines += stamp;
    if (lines.size() >= (1 << 16)) {
      write_console(lines, false);
      lines.clear();
    }
  }
  write_console(lines, true);
}

// The names of the first few variables, so that a table read in the wrong
// orientation shows at once.
std::string first_names(const std::vector<std::string>& var_names) {
  constexpr size_t shown = 3;
  std::string text;
  for (size_t i = 0; i < std::min(shown, var_names.size()); ++i)
    text += (i > 0 ? ", " : "") + var_names[i];
  return var_names.size() > shown ? text + ", ..." : text;
}

// The summary of a command-line run, on to (standard output, or standard
// error when the edge table goes to standard output). False when it could
// not be written, as a full disk or a closed output loses it.
bool print_summary(const Table& table, const Listed& listed, const Options& options,
                   double seconds, FILE* to) {
  std::string text = "Variables:     " + std::to_string(table.V);
  if (table.V > 0) text += " (" + first_names(table.var_names) + ")";
  if (table.dropped > 0)
    text += ", " + std::to_string(table.dropped) + " more left out for missing values";
  text += "\nObservations:  " + std::to_string(table.N);
  text += "\nPairs:         " + std::to_string(int64_t{table.V} * (table.V - 1) / 2);
  text += "\nEdges:        ";
  for (int level = 0; level < level_count; ++level)
    text += std::string(level > 0 ? "," : "") + " " + std::to_string(listed.edges[level]) +
            " at " + level_names[level];
  text += "\nFiles:        ";
  for (int i = 0; i < result_file_count; ++i)
    text += std::string(i > 0 ? "," : "") + " " + result_file_names[i];
  char absolute[PATH_MAX];
  const std::string where = options.folder.empty() ? "." : options.folder;
  text += "\nFolder:        " +
          std::string(realpath(where.c_str(), absolute) != nullptr ? absolute : where.c_str());
  char run_time[32];
  std::snprintf(run_time, sizeof run_time, "%.1f s", seconds);
  if (!options.edge_table.empty())
    text += "\nEdge table:    " +
            (options.edge_table == "-" ? std::string("standard output") : options.edge_table) +
            " (" + std::to_string(listed.edge_table_rows) + " pairs)";
  text += "\nRun time:      " + (seconds < 60 ? std::string(run_time) : clock_text(seconds)) + "\n";
  std::fwrite(text.data(), 1, text.size(), to);
  return std::fflush(to) == 0 && !std::ferror(to);
}

// A standard stream closed when the program starts would be taken by the
// first file it opens, and the summary or progress written into a result
// file: each closed one is held by /dev/null opened for reading, so that a
// write to it still fails and is reported.
void hold_closed_standard_streams() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
    const int held = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (held >= 0 && held != fd) {
      ::dup2(held, fd);
      ::close(held);
    }
  }
}

// False, with message, when a result file would overwrite the table: the
// file at path, or what standard input reads when path is "-".
bool results_spare_table(const std::string& path, const std::string& shown,
                         const std::string& folder, const std::string& edge_table,
                         std::string& message) {
  FileIdentity table;
  if (path == "-" ? !identify_descriptor(STDIN_FILENO, table, true) : !identify_file(path, table))
    return true;
  return results_spare_input(folder, edge_table, table,
                             path == "-" ? "the table on standard input" : "the table " + shown,
                             message);
}

}  // namespace

int run_dialogue() {
  int32_t V = 0, N = 0;
  if (!ask_count("How many variables?", V, "")) return 1;
  if (!ask_count("How many observations?", N, leftover_note("How many variables?", V))) return 1;

  int data_fd = -1;
  std::string message;
  if (!open_for_reading("data.txt", "data.txt", data_fd, message)) return fail(message);
  if (!results_spare_table("data.txt", "data.txt", "", "", message)) return fail(message);

  // Refuse counts that cannot fit before emptying the results of an earlier run.
  if (!memory_suffices(V, N, false)) return fail(memory_message(V, N, false));

  ResultFiles results;
  if (!open_result_files(results, "", "", ResultMode::in_place, message)) return fail(message);

  std::string line = "Start time: ";
  append_timestamp(line, std::time(nullptr));
  write_console(line, false);

  std::vector<std::string> var_names;
  Matrix raw_values;
  Arrays arrays;
  try {
    var_names.reserve(static_cast<size_t>(V));
  } catch (const std::bad_alloc&) {
    return fail_after_opening(results, memory_message(V, N, false));
  }
  if (!allocate_matrix(raw_values, N, V) || !allocate_arrays(V, N, false, arrays))
    return fail_after_opening(results, memory_message(V, N, false));

  // Beyond these arrays the stages obtain working memory of their own; when
  // that cannot be had either, the run stops as for the arrays.
  try {
    std::string text;
    if (!read_whole_file(data_fd, "data.txt", text, message))
      return fail_after_opening(results, message);
    ::close(data_fd);
    if (!read_data_file(V, N, raw_values, var_names, text, message))
      return fail_after_opening(results, message);
    std::string().swap(text);
    Listed listed;
    compute_and_write(
        V, N, raw_values, var_names, arrays, results, [V](int32_t s) { print_progress(s, V); },
        nullptr, listed);
  } catch (const std::bad_alloc&) {
    return fail_after_opening(results, ran_out_message(V, N, false));
  }
  if (!finish_result_files(results, message)) return fail(message);

  line = "End time: ";
  append_timestamp(line, std::time(nullptr));
  write_console(line, false);
  std::fflush(stdout);
  return 0;
}

int run_command_line(int argc, char** argv) {
  const auto started = std::chrono::steady_clock::now();
  Options options;
  std::string message;
  if (!parse_command_line(argc, argv, options, message)) {
    std::fprintf(stderr, "quorvin: %s (quorvin --help shows the usage)\n", message.c_str());
    return 2;
  }
  if (options.help || options.version) {
    write_console(options.help ? help_text() : version_text(), true);
    return 0;
  }
  if (options.threads > 0) omp_set_num_threads(options.threads);
  hold_closed_standard_streams();

  const bool from_stdin = options.table == "-";
  const std::string shown = from_stdin ? "standard input" : options.table;
  if (!results_spare_table(options.table, shown, options.folder, options.edge_table, message))
    return fail(message);
  int fd = STDIN_FILENO;
  if (!from_stdin && !open_for_reading(options.table, shown, fd, message)) return fail(message);
  Table table;
  try {
    std::string text;
    if (!read_whole_file(fd, shown, text, message)) return fail(message);
    if (!from_stdin) ::close(fd);
    if (!read_table(text, shown, options.layout, table, message)) return fail(message);
  } catch (const std::bad_alloc&) {
    return fail("cannot read " + shown + ": its values do not fit in memory");
  }
  const int32_t V = table.V, N = table.N;
  const bool edge_table = !options.edge_table.empty();
  if (!memory_suffices(V, N, edge_table)) return fail(memory_message(V, N, edge_table));

  ResultFiles results;
  if (!open_result_files(results, options.folder, options.edge_table, ResultMode::staged, message))
    return fail(message);
  Arrays arrays;
  if (!allocate_arrays(V, N, edge_table, arrays))
    return fail_after_opening(results, memory_message(V, N, edge_table));

  Progress progress;
  start_progress(progress, options.quiet);
  Listed listed;
  try {
    compute_and_write(
        V, N, table.raw_values, table.var_names, arrays, results, nullptr,
        [&progress](const SearchWork& work) { report_progress(progress, work); }, listed);
  } catch (const std::bad_alloc&) {
    end_progress(progress);
    return fail_after_opening(results, ran_out_message(V, N, edge_table));
  }
  end_progress(progress);
  if (!finish_result_files(results, message)) return fail(message);

  FILE* const summary = options.edge_table == "-" ? stderr : stdout;
  if (!print_summary(table, listed, options,
                     std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count(),
                     summary))
    return fail(std::string("the results were written, but not the summary: cannot write to ") +
                (summary == stdout ? "standard output: " : "standard error: ") +
                std::strerror(errno));
  return 0;
}

}  // namespace quorvin
