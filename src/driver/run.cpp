#include "driver/run.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <numeric>
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
#include "library/network.h"
#include "input/data_reader.h"
#include "input/table_reader.h"
#include "input/table_text.h"
#include "output/result_files.h"
#include "output/writers.h"

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
bool print_summary(const Table& table, const ListedPairs& listed, const Options& options,
                   double seconds, const std::vector<double>& search_cpu, FILE* to) {
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
  text += "\nRun time:      " + (seconds < 60 ? std::string(run_time) : clock_text(seconds));
  if (search_cpu.size() > 1) {
    // How evenly the processes shared the search: their CPU time against the mean.
    const double mean =
        std::accumulate(search_cpu.begin(), search_cpu.end(), 0.0) / search_cpu.size();
    const auto [least, most] = std::minmax_element(search_cpu.begin(), search_cpu.end());
    char line[160];
    std::snprintf(line, sizeof line,
                  "\nSearch CPU:    %.1f s a process on average over %zu, from %+.0f%% to %+.0f%%",
                  mean, search_cpu.size(), mean > 0 ? 100 * (*least / mean - 1) : 0.0,
                  mean > 0 ? 100 * (*most / mean - 1) : 0.0);
    text += line;
  }
  text += "\n";
  std::fwrite(text.data(), 1, text.size(), to);
  return std::fflush(to) == 0 && !std::ferror(to);
}

// The CPU time of the whole process so far, every thread's.
double cpu_seconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
         1e-6 * (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
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
  if (!network_fits_in_memory(V, N, false)) return fail(memory_message(V, N, false));

  ResultFiles results;
  if (!open_result_files(results, "", "", ResultMode::in_place, message)) return fail(message);

  std::string line = "Start time: ";
  append_timestamp(line, std::time(nullptr));
  write_console(line, false);

  std::vector<std::string> var_names;
  Matrix raw_values;
  try {
    var_names.reserve(static_cast<size_t>(V));
  } catch (const std::bad_alloc&) {
    return fail_after_opening(results, memory_message(V, N, false));
  }
  Network network;
  if (!allocate_matrix(raw_values, N, V) || allocate_network(V, N, false, network))
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
    // Every count and name is taken as the dialogue was given it.
    NetworkOptions options;
    options.control_done = [V](int32_t s) { print_progress(s, V); };
    const Error error = compute_network_as_given(
        {.values = raw_values.data.get(), .rows = N, .cols = V, .variables_in_columns = true},
        options, network);
    if (error) return fail_after_opening(results, error.message);
    Matrix().data.swap(raw_values.data);
    ListedPairs listed;
    write_network(network, var_names, results, listed);
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

int run_command_line(int argc, char** argv, const Spread& spread) {
  const auto started = std::chrono::steady_clock::now();
  // Process 0 reads the table, writes the results and reports; every
  // process searches its share of the pairs. A failure anywhere ends every
  // process, with the one line from process 0.
  const bool writer = spread.process == 0;
  std::string message;
  const auto agreed = [&](bool ok) { return spread.agree ? spread.agree(ok, message) : ok; };
  const auto failed = [&]() { return writer ? fail(message) : 1; };
  Options options;
  if (!parse_command_line(argc, argv, options, message)) {
    if (writer)
      std::fprintf(stderr, "quorvin: %s (quorvin --help shows the usage)\n", message.c_str());
    return 2;
  }
  if (options.help || options.version) {
    if (writer) write_console(options.help ? help_text() : version_text(), true);
    return 0;
  }
  if (options.threads > 0) omp_set_num_threads(options.threads);
  hold_closed_standard_streams();

  const bool from_stdin = options.table == "-";
  const std::string shown = from_stdin ? "standard input" : options.table;
  std::string text;
  if (writer) {
    int fd = STDIN_FILENO;
    try {
      if (results_spare_table(options.table, shown, options.folder, options.edge_table, message) &&
          (from_stdin || open_for_reading(options.table, shown, fd, message)) &&
          read_whole_file(fd, shown, text, message) && !from_stdin)
        ::close(fd);
    } catch (const std::bad_alloc&) {
      message = "cannot read " + shown + ": its values do not fit in memory";
    }
  }
  if (!agreed(message.empty())) return failed();
  Table table;
  try {
    if (spread.share_text) spread.share_text(text);
    if (!read_table(text, shown, options.layout, table, message)) return failed();
  } catch (const std::bad_alloc&) {
    message = "cannot read " + shown + ": its values do not fit in memory";
    return failed();
  }
  std::string().swap(text);
  const int32_t V = table.V, N = table.N;
  const bool edge_table = !options.edge_table.empty();
  if (!network_fits_in_memory(V, N, edge_table)) message = memory_message(V, N, edge_table);
  if (!agreed(message.empty())) return failed();

  ResultFiles results;
  if (writer)
    open_result_files(results, options.folder, options.edge_table, ResultMode::staged, message);
  // Only process 0 opens them, and a failure there leaves none open.
  if (!agreed(message.empty())) return failed();

  Progress progress;
  start_progress(progress, options.quiet || !writer);
  NetworkOptions engine_options;
  engine_options.keep_controls = edge_table;
  engine_options.share = {spread.process, spread.processes};
  engine_options.progress = [&progress](const SearchWork& work) {
    report_progress(progress, work);
    return true;
  };
  Network network;
  const double cpu_before = cpu_seconds();
  const Error error = compute_network(
      {.values = table.raw_values.data.get(),
       .rows = N,
       .cols = V,
       .variables_in_columns = true,
       .names = &table.var_names},
      engine_options, network);
  const double search_cpu = cpu_seconds() - cpu_before;
  end_progress(progress);
  if (error) message = error.message;
  if (!agreed(!error)) {
    if (writer) return fail_after_opening(results, message);
    return 1;
  }
  Matrix().data.swap(table.raw_values.data);
  std::vector<double> balance;
  try {
    if (spread.gather) spread.gather(network, search_cpu, balance);
  } catch (const std::bad_alloc&) {
    if (writer) return fail_after_opening(results, ran_out_message(V, N, edge_table));
    return 1;
  }
  if (!writer) return 0;
  ListedPairs listed;
  try {
    write_network(network, table.var_names, results, listed);
  } catch (const std::bad_alloc&) {
    return fail_after_opening(results, ran_out_message(V, N, edge_table));
  }
  if (!finish_result_files(results, message)) return fail(message);

  FILE* const summary = options.edge_table == "-" ? stderr : stdout;
  if (!print_summary(table, listed, options,
                     std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count(),
                     balance, summary))
    return fail(std::string("the results were written, but not the summary: cannot write to ") +
                (summary == stdout ? "standard output: " : "standard error: ") +
                std::strerror(errno));
  return 0;
}

}  // namespace quorvin
