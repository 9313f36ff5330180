#include "driver/run.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "common/matrix.h"
#include "common/number_format.h"
#include "common/result_file.h"
#include "common/timestamp.h"
#include "driver/dialogue.h"
#include "input/data_reader.h"
#include "output/writers.h"
#include "stats/combine.h"
#include "stats/correlation.h"
#include "stats/ranks.h"

namespace quorvin {

namespace {

constexpr int result_count = 7;
// In order of opening; the matrix file is written last.
const char* const result_names[result_count] = {
    "Quorvin_matrix.xls",        "Quorvin_network_0.01.sif", "Quorvin_network_0.001.sif",
    "Quorvin_network_0.0001.sif", "Quorvin_network_0.01.net", "Quorvin_network_0.001.net",
    "Quorvin_network_0.0001.net"};
const double level_z[3] = {2.5758, 3.2905, 3.8906};

// Descriptors of the open result files, for the signal handler.
volatile int interrupt_fds[result_count] = {-1, -1, -1, -1, -1, -1, -1};

// An interrupted run must not leave a file that looks complete: empty every
// result file, then die of the same signal.
extern "C" void empty_results_and_die(int sig) {
  for (int i = 0; i < result_count; ++i)
    if (interrupt_fds[i] >= 0) (void)!ftruncate(interrupt_fds[i], 0);
  std::signal(sig, SIG_DFL);
  std::raise(sig);
}

int fail(const std::string& message) {
  std::fprintf(stderr, "quorvin: %s\n", message.c_str());
  return 1;
}

// Closes and empties every result file, then reports message.
int fail_after_opening(std::vector<ResultFile>& files, const std::string& message) {
  for (int i = 0; i < result_count; ++i) interrupt_fds[i] = -1;
  for (ResultFile& file : files) {
    if (file.fd < 0) continue;
    file.buffer.clear();
    (void)!ftruncate(file.fd, 0);
    ::close(file.fd);
    file.fd = -1;
  }
  return fail(message);
}

void write_console(const std::string& text, bool flush) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  if (flush) std::fflush(stdout);
}

bool ask_count(const char* question, int32_t& count) {
  write_console(std::string(question) + "\n", true);
  std::string typed;
  CountAnswer answer = read_count(stdin, count, typed);
  if (answer != CountAnswer::ok) {
    fail(count_answer_message(question, answer, typed));
    return false;
  }
  write_console("\n", true);
  return true;
}

std::string format_bytes(double bytes) {
  char text[64];
  if (bytes >= 1024.0 * 1024 * 1024)
    std::snprintf(text, sizeof text, "%.1f GiB", bytes / (1024.0 * 1024 * 1024));
  else
    std::snprintf(text, sizeof text, "%.1f MiB", bytes / (1024.0 * 1024));
  return text;
}

// Memory for the arrays: values and ranks (N x V each), correlation and
// combined (V x V each), the names, and the combined search's single-precision
// copy of the correlations and its table of bounds (V x V floats and V x V/16
// doubles).
double bytes_needed(int32_t V, int32_t N) {
  const double v = V, n = N;
  return 8.0 * (2 * n * v + 2 * v * v) + 4.5 * v * v + 32.0 * v + 8.0 * n;
}

std::string memory_message(int32_t V, int32_t N) {
  return std::to_string(V) + " variables and " + std::to_string(N) + " observations need " +
         format_bytes(bytes_needed(V, N)) + " of memory, more than can be had";
}

bool read_whole_file(int fd, std::string& text, std::string& message) {
  struct stat info {};
  const bool sized = fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0;
  char chunk[1 << 16];
  try {
    if (sized) text.reserve(static_cast<size_t>(info.st_size));
    for (;;) {
      ssize_t got = ::read(fd, chunk, sizeof chunk);
      if (got == 0) return true;
      if (got < 0) {
        if (errno == EINTR) continue;
        message = std::string("cannot read data.txt: ") + std::strerror(errno);
        return false;
      }
      text.append(chunk, static_cast<size_t>(got));
    }
  } catch (const std::bad_alloc&) {
    const double size = sized ? static_cast<double>(info.st_size) : static_cast<double>(text.size());
    std::string().swap(text);  // room for the message
    message = "cannot read data.txt: its " + format_bytes(size) + (sized ? "" : " or more") +
              " do not fit in memory";
    return false;
  }
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

}  // namespace

int run_quorvin() {
  int32_t V = 0, N = 0;
  if (!ask_count("How many variables?", V)) return 1;
  if (!ask_count("How many observations?", N)) return 1;

  const int data_fd = ::open("data.txt", O_RDONLY | O_CLOEXEC);
  if (data_fd < 0) return fail(std::string("cannot open data.txt: ") + std::strerror(errno));
  struct stat data_info {};
  if (fstat(data_fd, &data_info) == 0 && S_ISDIR(data_info.st_mode))
    return fail("cannot read data.txt: " + std::string(std::strerror(EISDIR)));

  // Refuse counts that cannot fit before emptying the results of an earlier run.
  const double physical = static_cast<double>(sysconf(_SC_PHYS_PAGES)) * sysconf(_SC_PAGESIZE);
  if (physical > 0 && bytes_needed(V, N) > physical) return fail(memory_message(V, N));

  std::vector<ResultFile> files(result_count);
  for (int i = 0; i < result_count; ++i) {
    std::string message;
    if (!open_result_file(files[i], result_names[i], message))
      return fail_after_opening(files, message);
    interrupt_fds[i] = files[i].fd;
  }
  std::signal(SIGINT, empty_results_and_die);
  std::signal(SIGTERM, empty_results_and_die);
  std::signal(SIGHUP, empty_results_and_die);

  std::string line = "Start time: ";
  append_timestamp(line, std::time(nullptr));
  write_console(line, false);

  std::vector<std::string> var_names;
  Matrix raw_values, ranks, correlation, combined;
  std::vector<double> means;
  try {
    var_names.reserve(static_cast<size_t>(V));
    means.assign(static_cast<size_t>(V), 0.0);
  } catch (const std::bad_alloc&) {
    return fail_after_opening(files, memory_message(V, N));
  }
  if (!allocate_matrix(raw_values, N, V) || !allocate_matrix(ranks, N, V) ||
      !allocate_matrix(correlation, V, V) || !allocate_matrix(combined, V, V))
    return fail_after_opening(files, memory_message(V, N));

  std::string message;
  // Beyond these arrays the stages obtain working memory of their own; when
  // that cannot be had either, the run stops as for the arrays.
  try {
    std::string text;
    if (!read_whole_file(data_fd, text, message)) return fail_after_opening(files, message);
    ::close(data_fd);
    if (!read_data_file(V, N, raw_values, var_names, text, message))
      return fail_after_opening(files, message);
    std::string().swap(text);

    rank_transform(V, N, ranks, raw_values);
    // The correlation is computed in the covariance's own storage.
    rank_covariance(V, N, correlation, ranks, means);
    correlation_from_covariance(V, correlation, correlation);
    combine_partial_correlations(V, N, combined, correlation,
                                 [V](int32_t s) { print_progress(s, V); });
    Matrix().data.swap(correlation.data);

    for (int level = 0; level < 3; ++level)
      write_interaction_list(V, N, level_z[level], combined, files[1 + level], var_names);
    for (int level = 0; level < 3; ++level)
      write_pajek_network(V, N, level_z[level], combined, files[4 + level], var_names);
    write_combined_matrix(V, var_names, combined, files[0]);
  } catch (const std::bad_alloc&) {
    return fail_after_opening(files, "the memory ran out while reading and computing (" +
                                         std::to_string(V) + " variables and " +
                                         std::to_string(N) + " observations, whose arrays take " +
                                         format_bytes(bytes_needed(V, N)) + ")");
  }

  for (int i = result_count - 1; i >= 0; --i) {
    flush_result_file(files[i]);
    if (files[i].error != 0) {
      return fail_after_opening(
          files, "cannot write " + files[i].name + ": " + std::strerror(files[i].error));
    }
  }
  for (int i = result_count - 1; i >= 0; --i) {
    interrupt_fds[i] = -1;
    if (!close_result_file(files[i], message)) return fail_after_opening(files, message);
  }

  line = "End time: ";
  append_timestamp(line, std::time(nullptr));
  write_console(line, false);
  std::fflush(stdout);
  return 0;
}

}  // namespace quorvin
