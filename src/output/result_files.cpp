#include "output/result_files.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <sys/file.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>
#include <vector>

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
    interrupt_paths[i] =
        open && !results.files[i].path.empty() ? results.files[i].path.c_str() : nullptr;
  }
  interrupt_mode = results.mode == ResultMode::in_place ? 1 : 2;
  if (results.take_signals)
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

// The hidden names of a set being put in place, beside each file's own name:
// the staged file, the earlier file kept under a hard link until the last
// rename is done, and the note that there was no earlier file. Only a run
// that holds the folder's lock makes them, so any that a lock holder finds
// were left by a run killed on the way.
constexpr const char* staged_prefix = ".quorvin-new.";
constexpr const char* kept_prefix = ".quorvin-old.";
constexpr const char* absent_prefix = ".quorvin-none.";

std::string folder_of(const std::string& name) {
  const size_t slash = name.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : name.substr(0, slash);
}

std::string base_of(const std::string& name) {
  const size_t slash = name.rfind('/');
  return slash == std::string::npos ? name : name.substr(slash + 1);
}

int rename_in_folder(int folder_fd, const char* from, const char* to) {
  return ::renameat(folder_fd, from, folder_fd, to);
}

RenameFunction rename_function = rename_in_folder;

bool starts_with(const std::string& text, const char* prefix) {
  return text.rfind(prefix, 0) == 0;
}

// Staged files of earlier versions, named .NAME.PID.tmp beside the seven.
bool is_old_temporary(const std::string& entry) {
  for (const char* name : result_file_names) {
    const std::string start = std::string(".") + name + ".";
    if (!starts_with(entry, start.c_str()) || entry.size() <= start.size() + 4 ||
        entry.compare(entry.size() - 4, 4, ".tmp") != 0)
      continue;
    const std::string pid = entry.substr(start.size(), entry.size() - 4 - start.size());
    if (pid.find_first_not_of("0123456789") == std::string::npos) return true;
  }
  return false;
}

// Opens the folder of each file that goes to disk, once per folder however
// it is named.
bool open_folders(ResultFiles& results, std::string& message) {
  for (int i = 0; i < results.count; ++i) {
    ResultFile& file = results.files[i];
    if (file.to_stdout) continue;
    const int fd = ::open(folder_of(file.name).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    FileIdentity identity;
    if (fd < 0 || !identify_descriptor(fd, identity)) {
      message = "cannot open " + file.name + " for writing: " + std::strerror(errno);
      if (fd >= 0) ::close(fd);
      return false;
    }
    const FileIdentity* const seen = results.folder_identities;
    const FileIdentity* const known = std::find(seen, seen + results.folder_count, identity);
    if (known != seen + results.folder_count) {
      ::close(fd);
      file.folder = static_cast<int>(known - seen);
      continue;
    }
    file.folder = results.folder_count;
    results.folders[results.folder_count] = fd;
    results.folder_identities[results.folder_count++] = identity;
  }
  return true;
}

// Locks every folder of the set, in the order of their identities so that
// two runs never wait for each other, then clears away what killed runs left.
// A folder whose file system has no locks is used unlocked.
void lock_folders(ResultFiles& results) {
  if (results.folders_locked) return;
  results.folders_locked = true;
  static_assert(max_locked_folders == 2, "the order below is of two folders");
  const int count = results.folder_count;
  const int first =
      count == 2 && results.folder_identities[1] < results.folder_identities[0] ? 1 : 0;
  for (int i = 0; i < count; ++i) {
    const int fd = results.folders[(first + i) % count];
    while (::flock(fd, LOCK_EX) != 0 && errno == EINTR) {
    }
    recover_result_set(fd);
  }
}

void unlock_folders(ResultFiles& results) {
  for (int f = 0; f < results.folder_count; ++f) ::close(results.folders[f]);
  results.folder_count = 0;
  results.folders_locked = false;
}

// False, with message, when a folder stands where file would be put.
bool replaceable(const ResultFile& file, std::string& message) {
  struct stat info {};
  if (file.to_stdout || lstat(file.name.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) return true;
  message = "cannot replace " + file.name + ": a folder stands there";
  return false;
}

bool staged_under_names = false;

// Links /proc/self/fd/N to a name: linkat's AT_EMPTY_PATH would need a privilege.
bool unnamed_files_can_be_named() {
  static const bool can = ::access("/proc/self/fd", X_OK) == 0;
  return can && !staged_under_names;
}

// Opens file staged: unnamed in its folder, or where the file system cannot
// (or /proc is missing), under its hidden staged name with the folders locked
// from now on.
bool open_staged(ResultFiles& results, ResultFile& file, std::string& message) {
  const int folder_fd = results.folders[file.folder];
  if (unnamed_files_can_be_named()) {
    file.fd = ::openat(folder_fd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
    if (file.fd >= 0) return true;
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
      message = "cannot open " + file.name + " for writing: " + std::strerror(errno);
      return false;
    }
  }
  lock_folders(results);
  file.path = folder_of(file.name) + "/" + staged_prefix + base_of(file.name);
  return open_path(file, O_EXCL, message);
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
  if (mode != ResultMode::staged || file.to_stdout || file.error != 0 || file.synced) return;
  // Only a hint: where the system cannot, sync_result_file still syncs.
  (void)::sync_file_range(file.fd, 0, 0, SYNC_FILE_RANGE_WRITE);
}

void sync_result_file(ResultFile& file, ResultMode mode) {
  flush_result_file(file);
  // Staged files must be on disk before they replace the earlier results;
  // one already there is not synced again.
  if (mode != ResultMode::staged || file.to_stdout || file.error != 0 || file.synced) return;
  if (::fsync(file.fd) != 0)
    file.error = errno;
  else
    file.synced = true;
}

bool close_result_file(ResultFile& file, std::string& message) {
  if (file.fd < 0) return true;
  flush_result_file(file);
  if (!file.to_stdout && ::close(file.fd) != 0 && file.error == 0) file.error = errno;
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
      std::error_code no_target;
      const auto target = std::filesystem::read_symlink(folder, no_target);
      message = "cannot create the folder " + folder + ": " +
                (no_target ? error.message()
                           : "it is a symbolic link to " + target.string() + ", which is missing");
      return false;
    }
    prefix = folder.back() == '/' ? folder : folder + "/";
  }
  const bool edge_table_to_stdout = edge_table_path == "-";
  if (!edge_table_path.empty() && !edge_table_to_stdout &&
      !edge_table_fits(edge_table_path, prefix, message))
    return false;
  for (ResultFile& file : results.files) file = ResultFile();
  for (int i = 0; i < results.count; ++i) {
    ResultFile& file = results.files[i];
    file.name = i < result_file_count ? prefix + result_file_names[i] : edge_table_path;
    file.line_end = i < result_file_count ? "\r\n" : "\n";
    file.to_stdout = i == result_file_count && edge_table_to_stdout;
    file.write_behind = mode == ResultMode::staged && !file.to_stdout;
    if (mode == ResultMode::staged && !replaceable(file, message)) return false;
  }
  if (mode == ResultMode::staged && !open_folders(results, message)) {
    unlock_folders(results);
    return false;
  }
  for (int i = 0; i < results.count; ++i) {
    ResultFile& file = results.files[i];
    bool opened = true;
    if (file.to_stdout) {
      file.fd = STDOUT_FILENO;
    } else if (mode == ResultMode::staged) {
      opened = open_staged(results, file, message);
    } else {
      file.path = file.name;
      opened = open_path(file, 0, message);
    }
    if (!opened) {
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
    if (!file.to_stdout) {
      if (results.mode == ResultMode::in_place) (void)!ftruncate(file.fd, 0);
      ::close(file.fd);
    }
    file.fd = -1;
  }
  // Staged, every path still set is a file of this run.
  for (ResultFile& file : results.files) {
    if (results.mode == ResultMode::staged && !file.path.empty()) ::unlink(file.path.c_str());
    file.path.clear();
  }
  unlock_folders(results);
}

void recover_result_set(int folder_fd) {
  const int listing_fd = ::dup(folder_fd);
  DIR* listing = listing_fd < 0 ? nullptr : ::fdopendir(listing_fd);
  if (listing == nullptr) {
    if (listing_fd >= 0) ::close(listing_fd);
    return;
  }
  ::rewinddir(listing);  // the descriptor's offset is shared with folder_fd's
  std::vector<std::string> entries;
  while (const dirent* entry = ::readdir(listing)) entries.emplace_back(entry->d_name);
  ::closedir(listing);
  // The earlier files back first, then what the cut-short run staged.
  for (const std::string& entry : entries) {
    if (starts_with(entry, kept_prefix)) {
      const std::string name = entry.substr(std::strlen(kept_prefix));
      (void)::renameat(folder_fd, entry.c_str(), folder_fd, name.c_str());
      (void)::unlinkat(folder_fd, entry.c_str(), 0);  // if both were one file
    } else if (starts_with(entry, absent_prefix)) {
      (void)::unlinkat(folder_fd, entry.substr(std::strlen(absent_prefix)).c_str(), 0);
      (void)::unlinkat(folder_fd, entry.c_str(), 0);
    }
  }
  for (const std::string& entry : entries)
    if (starts_with(entry, staged_prefix) || is_old_temporary(entry))
      (void)::unlinkat(folder_fd, entry.c_str(), 0);
}

RenameFunction set_rename_function(RenameFunction rename) {
  const RenameFunction before = rename_function;
  rename_function = rename != nullptr ? rename : rename_in_folder;
  return before;
}

bool stage_under_names(bool named) {
  const bool before = staged_under_names;
  staged_under_names = named;
  return before;
}

namespace {

FileIdentity identity_of(const struct stat& info) {
  return {static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino)};
}

}  // namespace

bool identify_file(const std::string& path, FileIdentity& identity) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return false;
  identity = identity_of(info);
  return true;
}

bool identify_descriptor(int fd, FileIdentity& identity, bool regular_only) {
  struct stat info {};
  if (::fstat(fd, &info) != 0 || (regular_only && !S_ISREG(info.st_mode))) return false;
  identity = identity_of(info);
  return true;
}

bool results_spare_input(const std::string& folder, const std::string& edge_table_path,
                         const FileIdentity& input, const std::string& input_label,
                         std::string& message) {
  const std::string prefix = folder.empty() || folder.back() == '/' ? folder : folder + "/";
  const auto is_input = [&](const std::string& path) {
    FileIdentity identity;
    return identify_file(path, identity) && identity == input;
  };
  if (!edge_table_path.empty() && edge_table_path != "-" && is_input(edge_table_path)) {
    message = "the edge table " + edge_table_path + " is " + input_label +
              ", which it would overwrite; name another file";
    return false;
  }
  for (const char* name : result_file_names) {
    if (!is_input(prefix + name)) continue;
    message = "the result file " + prefix + name + " is " + input_label +
              ", which the run would overwrite; move the table or write the results elsewhere";
    return false;
  }
  return true;
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

namespace {

// Names each unnamed staged file by its staged name, beside its final one.
bool name_staged_files(ResultFiles& results, std::string& message) {
  for (int i = 0; i < results.count; ++i) {
    ResultFile& file = results.files[i];
    if (file.to_stdout || !file.path.empty()) continue;
    const std::string staged = staged_prefix + base_of(file.name);
    const std::string handle = "/proc/self/fd/" + std::to_string(file.fd);
    if (::linkat(AT_FDCWD, handle.c_str(), results.folders[file.folder], staged.c_str(),
                 AT_SYMLINK_FOLLOW) != 0) {
      message = "cannot write " + file.name + ": " + std::strerror(errno);
      return false;
    }
    file.path = folder_of(file.name) + "/" + staged;
  }
  return true;
}

// Keeps each earlier file under a hard link, or notes that there was none.
bool keep_earlier_files(ResultFiles& results, std::string& message) {
  for (int i = 0; i < results.count; ++i) {
    const ResultFile& file = results.files[i];
    if (file.to_stdout) continue;
    const int folder_fd = results.folders[file.folder];
    const std::string base = base_of(file.name);
    struct stat info {};
    bool kept;
    if (::fstatat(folder_fd, base.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0) {
      kept = ::linkat(folder_fd, base.c_str(), folder_fd, (kept_prefix + base).c_str(), 0) == 0;
    } else {
      const int note = ::openat(folder_fd, (absent_prefix + base).c_str(),
                                O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
      kept = note >= 0 && ::close(note) == 0;
    }
    if (!kept) {
      message = "cannot keep the earlier " + file.name + " while replacing it: " +
                std::strerror(errno);
      return false;
    }
  }
  return true;
}

// Renames every staged file over its final name; on a failure puts back
// every earlier file and returns false with message.
bool rename_into_place(ResultFiles& results, std::string& message) {
  for (int i = 0; i < results.count; ++i) {
    ResultFile& file = results.files[i];
    if (file.to_stdout) continue;
    const std::string staged = staged_prefix + base_of(file.name);
    if (rename_function(results.folders[file.folder], staged.c_str(), base_of(file.name).c_str()) !=
        0) {
      message = "cannot rename " + file.path + " to " + file.name + ": " + std::strerror(errno) +
                "; the earlier results are put back";
      return false;
    }
    file.path.clear();
  }
  return true;
}

void forget_earlier_files(ResultFiles& results) {
  for (int f = 0; f < results.folder_count; ++f) (void)::fsync(results.folders[f]);
  for (int i = 0; i < results.count; ++i) {
    const ResultFile& file = results.files[i];
    if (file.to_stdout) continue;
    const int folder_fd = results.folders[file.folder];
    (void)::unlinkat(folder_fd, (kept_prefix + base_of(file.name)).c_str(), 0);
    (void)::unlinkat(folder_fd, (absent_prefix + base_of(file.name)).c_str(), 0);
  }
}

}  // namespace

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
  if (results.mode == ResultMode::in_place) {
    disarm_interrupt();
    for (int i = results.count - 1; i >= 0; --i) {
      if (!close_result_file(results.files[i], message)) {
        discard_result_files(results);
        return false;
      }
    }
    return true;
  }
  // A signal while the set is put in place would leave some files renamed
  // and others not: it waits until the set is in place, or the earlier one
  // back, then ends the process as it would have.
  lock_folders(results);
  if (results.take_signals) hold_interruptions();
  bool done = true;
  for (int i = 0; i < results.count && done; ++i) done = replaceable(results.files[i], message);
  done = done && name_staged_files(results, message);
  for (int i = results.count - 1; i >= 0 && done; --i)
    done = close_result_file(results.files[i], message);
  done = done && keep_earlier_files(results, message) && rename_into_place(results, message);
  if (done) {
    forget_earlier_files(results);
    unlock_folders(results);
  } else {
    for (int f = 0; f < results.folder_count; ++f) recover_result_set(results.folders[f]);
    discard_result_files(results);
  }
  if (results.take_signals) release_interruptions();
  return done;
}

}  // namespace quorvin
