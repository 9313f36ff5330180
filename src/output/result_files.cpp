#include "output/result_files.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <system_error>
#include <unistd.h>

namespace quorvin {

const char* const level_names[level_count] = {"0.01", "0.001", "0.0001"};
const double level_z[level_count] = {2.5758, 3.2905, 3.8906};
const char* const result_file_names[result_file_count] = {
    "Quorvin_matrix.xls",        "Quorvin_network_0.01.sif", "Quorvin_network_0.001.sif",
    "Quorvin_network_0.0001.sif", "Quorvin_network_0.01.net", "Quorvin_network_0.001.net",
    "Quorvin_network_0.0001.net"};

namespace {

constexpr size_t flush_threshold = 1 << 20;
// Text at least this large is written without copying it to the buffer.
constexpr size_t direct_write_size = 16 << 10;
// A staged file is handed to the disk in steps of this many bytes, so that
// the disk writes it while the rest is formatted and the final sync has
// little left to wait for (half a millisecond of a 1.6 MB matrix).
constexpr int64_t write_behind_size = 512 << 10;

// What the signal handler clears away: the descriptors to empty (in place)
// or the temporary paths to remove (staged). Set only while no signal is
// handled; the paths point into the open ResultFiles. The mode is atomic, as
// the signal may come on any of the threads.
constexpr int interrupt_holds = 3;
std::atomic<int> interrupt_mode = 0;  // 0 nothing, 1 empty, 2 remove, or holds
std::atomic<int> held_signal = 0;     // the first signal that came while held
static_assert(std::atomic<int>::is_always_lock_free, "used in a signal handler");
int interrupt_fds[max_result_files];
const char* interrupt_paths[max_result_files];

// An interrupted run must not leave a file that looks complete.
extern "C" void clear_results_and_die(int sig) {
  if (interrupt_mode == interrupt_holds) {
    int none = 0;
    held_signal.compare_exchange_strong(none, sig);
    return;
  }
  for (int i = 0; i < max_result_files; ++i) {
    if (interrupt_mode == 1 && interrupt_fds[i] >= 0) (void)!ftruncate(interrupt_fds[i], 0);
    if (interrupt_mode == 2 && interrupt_paths[i] != nullptr) ::unlink(interrupt_paths[i]);
  }
  std::signal(sig, SIG_DFL);
  std::raise(sig);
}

void arm_interrupt(ResultFiles& results) {
  interrupt_mode = 0;
  for (int i = 0; i < max_result_files; ++i) {
    const bool open = i < results.count && results.files[i].fd >= 0;
    interrupt_fds[i] = open ? results.files[i].fd : -1;
    interrupt_paths[i] = open ? results.files[i].path.c_str() : nullptr;
  }
  interrupt_mode = results.mode == ResultMode::in_place ? 1 : 2;
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) std::signal(sig, clear_results_and_die);
}

void disarm_interrupt() { interrupt_mode = 0; }

bool open_path(ResultFile& file, int extra_flags, std::string& message) {
  file.buffer.clear();
  file.error = 0;
  file.written = 0;
  file.handed_over = 0;
  file.fd = ::open(file.path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | extra_flags, 0666);
  if (file.fd < 0) {
    message = "cannot open " + file.name + " for writing: " + std::strerror(errno);
    return false;
  }
  return true;
}

// False, with message, when the edge table's path names a folder or one of
// the seven files in the folder prefix: found now, not after the computation.
bool edge_table_fits(const std::string& path, const std::string& prefix, std::string& message) {
  namespace fs = std::filesystem;
  std::error_code error;
  if (path.back() == '/' || fs::is_directory(path, error)) {
    message = "cannot write the edge table to " + path + ": it is a folder";
    return false;
  }
  const fs::path table = fs::weakly_canonical(path, error);
  for (const char* name : result_file_names) {
    if (error || fs::weakly_canonical(prefix + name, error) != table) continue;
    message = "the edge table " + path + " would replace the result file " + prefix + name;
    return false;
  }
  return true;
}

// Writes size bytes of data, as flush_result_file writes the buffer.
void write_all(ResultFile& file, const char* data, size_t size) {
  if (size > 0) file.synced = false;
  while (size > 0 && file.error == 0) {
    ssize_t written = ::write(file.fd, data, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      file.error = errno;
    } else if (written == 0) {
      file.error = EIO;
    } else {
      data += written;
      size -= static_cast<size_t>(written);
      file.written += written;
    }
  }
  // Only a hint: the sync at the end still waits for every byte.
  if (file.write_behind && file.written - file.handed_over >= write_behind_size) {
    (void)::sync_file_range(file.fd, file.handed_over, file.written - file.handed_over,
                            SYNC_FILE_RANGE_WRITE);
    file.handed_over = file.written;
  }
}

}  // namespace

bool open_result_file(ResultFile& file, const std::string& path, std::string& message) {
  file.name = path;
  file.path = path;
  return open_path(file, 0, message);
}

void end_line(ResultFile& file) {
  file.buffer += file.line_end;
  if (file.buffer.size() >= flush_threshold) flush_result_file(file);
}

void flush_result_file(ResultFile& file) {
  write_all(file, file.buffer.data(), file.buffer.size());
  file.buffer.clear();
}

void append_result_text(ResultFile& file, const char* text, size_t size) {
  if (size < direct_write_size) {
    file.buffer.append(text, size);
    if (file.buffer.size() >= flush_threshold) flush_result_file(file);
    return;
  }
  flush_result_file(file);
  write_all(file, text, size);
}

void start_result_file_sync(ResultFile& file, ResultMode mode) {
  flush_result_file(file);
  if (mode != ResultMode::staged || file.error != 0 || file.synced) return;
  // Only a hint: where the system cannot, sync_result_file still syncs.
  (void)::sync_file_range(file.fd, 0, 0, SYNC_FILE_RANGE_WRITE);
}

void sync_result_file(ResultFile& file, ResultMode mode) {
  flush_result_file(file);
  // Staged files must be on disk before they replace the earlier results;
  // one already there is not synced again.
  if (mode != ResultMode::staged || file.error != 0 || file.synced) return;
  if (::fsync(file.fd) != 0)
    file.error = errno;
  else
    file.synced = true;
}

bool close_result_file(ResultFile& file, std::string& message) {
  if (file.fd < 0) return true;
  flush_result_file(file);
  if (::close(file.fd) != 0 && file.error == 0) file.error = errno;
  file.fd = -1;
  if (file.error != 0) {
    message = "cannot write " + file.name + ": " + std::strerror(file.error);
    return false;
  }
  return true;
}

ResultFile& matrix_file(ResultFiles& results) { return results.files[0]; }
ResultFile& interaction_list_file(ResultFiles& results, int level) {
  return results.files[1 + level];
}
ResultFile& network_file(ResultFiles& results, int level) {
  return results.files[1 + level_count + level];
}
ResultFile& edge_table_file(ResultFiles& results) { return results.files[result_file_count]; }

bool open_result_files(ResultFiles& results, const std::string& folder,
                       const std::string& edge_table_path, ResultMode mode, std::string& message) {
  results.mode = mode;
  results.count = edge_table_path.empty() ? result_file_count : max_result_files;
  std::string prefix;
  if (!folder.empty()) {
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    if (error) {
      message = "cannot create the folder " + folder + ": " + error.message();
      return false;
    }
    prefix = folder.back() == '/' ? folder : folder + "/";
  }
  if (!edge_table_path.empty() && !edge_table_fits(edge_table_path, prefix, message)) return false;
  const std::string temporary_suffix = std::string(".") += std::to_string(::getpid()) + ".tmp";
  for (ResultFile& file : results.files) file.path.clear();
  for (int i = 0; i < results.count; ++i) {
    ResultFile& file = results.files[i];
    file.name = i < result_file_count ? prefix + result_file_names[i] : edge_table_path;
    file.line_end = i < result_file_count ? "\r\n" : "\n";
    file.write_behind = mode == ResultMode::staged;
    // A hidden name beside the final one, so that the rename stays in one folder.
    const size_t slash = file.name.rfind('/');
    const size_t base = slash == std::string::npos ? 0 : slash + 1;
    file.path = mode == ResultMode::in_place
                    ? file.name
                    : file.name.substr(0, base) + "." + file.name.substr(base) + temporary_suffix;
    if (!open_path(file, mode == ResultMode::staged ? O_EXCL : 0, message)) {
      file.path.clear();  // not ours to remove
      discard_result_files(results);
      return false;
    }
    arm_interrupt(results);
  }
  return true;
}

void discard_result_files(ResultFiles& results) {
  disarm_interrupt();
  for (ResultFile& file : results.files) {
    if (file.fd < 0) continue;
    file.buffer.clear();
    if (results.mode == ResultMode::in_place) (void)!ftruncate(file.fd, 0);
    ::close(file.fd);
    file.fd = -1;
  }
  // Staged, every path still set is a temporary file of this run.
  for (ResultFile& file : results.files) {
    if (results.mode == ResultMode::staged && !file.path.empty()) ::unlink(file.path.c_str());
    file.path.clear();
  }
}

void hold_interruptions() {
  held_signal = 0;
  interrupt_mode = interrupt_holds;
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) std::signal(sig, clear_results_and_die);
}

bool interruption_held() { return held_signal != 0; }

void release_interruptions() {
  disarm_interrupt();
  const int sig = held_signal.exchange(0);
  if (sig == 0) return;
  std::signal(sig, SIG_DFL);
  std::raise(sig);
}

bool finish_result_files(ResultFiles& results, std::string& message) {
  for (int i = results.count - 1; i >= 0; --i) {
    ResultFile& file = results.files[i];
    sync_result_file(file, results.mode);
    if (file.error != 0) {
      message = "cannot write " + file.name + ": " + std::strerror(file.error);
      discard_result_files(results);
      return false;
    }
  }
  if (results.mode == ResultMode::in_place) disarm_interrupt();
  for (int i = results.count - 1; i >= 0; --i) {
    if (!close_result_file(results.files[i], message)) {
      discard_result_files(results);
      return false;
    }
  }
  if (results.mode == ResultMode::in_place) return true;
  // A signal now would leave some files renamed and others not: it waits
  // until all are in place, then ends the process as it would have.
  hold_interruptions();
  bool renamed = true;
  for (int i = 0; i < results.count; ++i) {
    ResultFile& file = results.files[i];
    if (::rename(file.path.c_str(), file.name.c_str()) != 0) {
      message = "cannot rename " + file.path + " to " + file.name + ": " + std::strerror(errno);
      renamed = false;
      break;
    }
    file.path.clear();
  }
  if (!renamed) discard_result_files(results);
  release_interruptions();
  return renamed;
}

}  // namespace quorvin
