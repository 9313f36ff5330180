// The seven result files: their names and levels, text written through a
// large buffer with lines ended by CR LF, every write checked, and how a run
// that fails or is interrupted leaves them.
#pragma once

#include <compare>
#include <cstdint>
#include <string>

namespace quorvin {

struct ResultFile {
  std::string name;  // the file's path as the user sees it
  // Where the bytes go while staged: "" for an unnamed file (O_TMPFILE),
  // else a hidden name beside name; name itself in place.
  std::string path;
  int fd = -1;
  bool to_stdout = false;  // standard output: neither staged, synced nor closed
  int folder = -1;         // staged: its folder's place in ResultFiles::folders
  std::string buffer;  // text not yet handed to the system
  int error = 0;       // errno of the first failed write; 0 while all went well
  bool synced = false;  // on disk since the last write (staged files only)
  // Staged files are handed to the disk as they grow, so that syncing them
  // at the end waits for less: the bytes written, and those handed over.
  bool write_behind = false;
  int64_t written = 0;
  int64_t handed_over = 0;
  const char* line_end = "\r\n";
};

// Opens (creating or emptying) path for writing under the name path. On
// failure returns false and sets message to one line naming the file and the
// system's reason.
bool open_result_file(ResultFile& file, const std::string& path, std::string& message);

// Ends the current line with file.line_end (carriage return and line feed
// unless changed). The bytes reach the file when the buffer grows large and at
// the latest in close_result_file.
void end_line(ResultFile& file);

// Writes out what the buffer holds; remembers the first failure in file.error.
void flush_result_file(ResultFile& file);

// Appends size bytes of text as end_line appends a line end; large blocks
// formatted elsewhere go straight to the file, after what the buffer holds,
// rather than through it.
void append_result_text(ResultFile& file, const char* text, size_t size);

// Flushes and closes. Returns false with a message naming the file and the
// reason if any write since opening failed or the close itself failed.
bool close_result_file(ResultFile& file, std::string& message);

// The significance levels, strictest last, and the two-sided standard normal
// quantile of each.
constexpr int level_count = 3;
extern const char* const level_names[level_count];  // "0.01", "0.001", "0.0001"
extern const double level_z[level_count];

// The seven names, in the order of opening: the matrix, the interaction lists
// by level, the networks by level.
constexpr int result_file_count = 7;
extern const char* const result_file_names[result_file_count];

// How a run writes its results.
enum class ResultMode {
  // Under their own names, emptied at the start; a failed or interrupted run
  // leaves them empty. The dialogue's way.
  in_place,
  // In unnamed files in their folders (or, where the file system has none,
  // under hidden names beside them), put in place as one set only when all
  // are complete and on disk: a failed, interrupted or killed run leaves an
  // earlier run's results as they were, and runs into one folder at once
  // leave one run's whole set.
  staged,
};

// Writes out what the buffer holds and, staged, has the system start putting
// the file on disk without waiting for it: files started together share the
// disk's waits when sync_result_file then waits for them.
void start_result_file_sync(ResultFile& file, ResultMode mode);

// Writes out what the buffer holds and, staged, has the system put the file
// on disk; remembers the first failure in file.error. Files apart may be
// synced by threads apart.
void sync_result_file(ResultFile& file, ResultMode mode);

// The seven and, when asked for, the edge table.
constexpr int max_result_files = result_file_count + 1;

// The device and inode of a file: two paths name one file when these agree.
struct FileIdentity {
  uint64_t device = 0, inode = 0;
  auto operator<=>(const FileIdentity&) const = default;
};

// Folders whose result sets are being replaced, locked against other runs.
constexpr int max_locked_folders = 2;

struct ResultFiles {
  ResultMode mode = ResultMode::in_place;
  // In the order of result_file_names, then the edge table.
  ResultFile files[max_result_files];
  int count = result_file_count;  // the files in use
  // Descriptors of the folders that hold the files, each locked while the
  // set is put in place (from the opening, where files are staged under names).
  int folders[max_locked_folders] = {-1, -1};
  FileIdentity folder_identities[max_locked_folders];
  int folder_count = 0;
  bool folders_locked = false;
  // Whether SIGINT, SIGTERM and SIGHUP are taken over while the files are
  // open, as open_result_files and finish_result_files say. A library in
  // another program leaves them to it: unnamed staged files vanish with a
  // killed process anyway.
  bool take_signals = true;
};

// The file of each kind; level is 0 .. level_count - 1.
ResultFile& matrix_file(ResultFiles& results);
ResultFile& interaction_list_file(ResultFiles& results, int level);
ResultFile& network_file(ResultFiles& results, int level);
// Requires an edge table among the open files.
ResultFile& edge_table_file(ResultFiles& results);

// Opens the seven files in folder ("" for the working directory, which must
// exist; any other folder is created with its parents when missing), and the
// edge table at edge_table_path unless that is "" (its folder must exist; "-"
// is standard output), after checking that each can replace what stands at its
// name, and
// has SIGINT, SIGTERM and SIGHUP clear them away as mode says before the
// process dies of the signal. The edge table's lines end with a line feed
// alone. Only one set may be open at a time. On failure returns false with one
// line in message, having discarded the files it opened.
bool open_result_files(ResultFiles& results, const std::string& folder,
                       const std::string& edge_table_path, ResultMode mode, std::string& message);

// Gives up the open files of a run that failed: in place they are left
// empty, staged their temporary files are removed.
void discard_result_files(ResultFiles& results);

// While held, SIGINT, SIGTERM and SIGHUP, on whichever thread they come, are
// only noted; release_interruptions then stops holding them and ends the
// process by the first one noted, as it would have ended. finish_result_files
// holds them while it renames the files into place.
void hold_interruptions();
void release_interruptions();

// Whether a signal has been noted since hold_interruptions (for tests).
bool interruption_held();

// Writes out, closes and (staged) puts the files in place as one set: under
// the folders' locks, each earlier file is kept under a hidden hard link until
// the last rename is done, and put back if any fails. Returns false with one
// line in message, having discarded them, when any of that failed.
bool finish_result_files(ResultFiles& results, std::string& message);

// Puts back the earlier files of a set whose replacement was cut short in the
// folder open as folder_fd (a run killed while renaming), and removes the
// staged files that such runs left there. Requires the folder's lock.
void recover_result_set(int folder_fd);

// The rename that puts a staged file in place; tests replace it to fail.
using RenameFunction = int (*)(int folder_fd, const char* from, const char* to);
RenameFunction set_rename_function(RenameFunction rename);

// Stages files under hidden names, with the folders locked from the
// opening, as where the file system has no unnamed files (for tests).
// Returns the choice before.
bool stage_under_names(bool named);

// The identity of the file at path, links followed; false when there is none.
bool identify_file(const std::string& path, FileIdentity& identity);

// The identity of the open file fd; false when it cannot be had, or, with
// regular_only, when fd is not a regular file (a pipe, a terminal).
bool identify_descriptor(int fd, FileIdentity& identity, bool regular_only = false);

// False, with one line in message naming both, when a result file (the seven
// in folder, or the edge table unless "" or "-") is the input file, which
// input_label names ("the table data.txt"): the run would overwrite it.
bool results_spare_input(const std::string& folder, const std::string& edge_table_path,
                         const FileIdentity& input, const std::string& input_label,
                         std::string& message);

}  // namespace quorvin
