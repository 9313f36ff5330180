#include "support/program_runner.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sstream>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace quorvin_test {

namespace {

// The folders made for the tests, removed when the test program ends.
std::vector<std::string>& temp_dirs() {
  static std::vector<std::string> dirs;
  return dirs;
}

void remove_temp_dirs() {
  for (const std::string& dir : temp_dirs()) {
    std::error_code ignored;
    // Some tests take the write permission away to make writing fail.
    std::filesystem::permissions(dir, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(dir, ignored);
  }
}

}  // namespace

std::string make_temp_dir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/quorvin-test.XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (mkdtemp(buffer.data()) == nullptr) std::abort();
  if (temp_dirs().empty()) std::atexit(remove_temp_dirs);
  temp_dirs().push_back(buffer.data());
  return buffer.data();
}

ProgramRun run_program(const std::string& dir, const std::string& input,
                       const std::string& extra_env) {
  RunOptions options;
  options.extra_env = extra_env;
  return run_program(dir, input, options);
}

unsigned program_user_id() { return geteuid() == 0 ? 65534 : geteuid(); }

void hand_to_program_user(const std::string& path, unsigned mode) {
  if (lchown(path.c_str(), program_user_id(), program_user_id()) != 0 ||
      chmod(path.c_str(), mode) != 0)
    std::abort();
}

ProgramRun run_program(const std::string& dir, const std::string& input, const RunOptions& options) {
  int in_pipe[2], out_pipe[2], err_pipe[2];
  if (pipe(in_pipe) != 0 || pipe(out_pipe) != 0 || pipe(err_pipe) != 0) std::abort();
  pid_t pid = fork();
  if (pid < 0) std::abort();
  if (pid == 0) {
    dup2(in_pipe[0], 0);
    if (!options.stdin_path.empty()) {
      const int in = open(options.stdin_path.c_str(), O_RDONLY);
      if (in < 0 || dup2(in, 0) != 0) _exit(126);
      close(in);
    }
    if (options.stdout_closed) {
      close(1);
    } else if (!options.stdout_path.empty()) {
      const int out = open(options.stdout_path.c_str(), O_WRONLY);
      if (out < 0 || dup2(out, 1) != 1) _exit(126);
      close(out);
    } else {
      dup2(out_pipe[1], 1);
    }
    dup2(err_pipe[1], 2);
    for (int fd : {in_pipe[0], in_pipe[1], out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1]})
      close(fd);
    if (options.unprivileged && geteuid() == 0) {
      const gid_t id = program_user_id();
      if (setgroups(0, nullptr) != 0 || setgid(id) != 0 || setuid(id) != 0) _exit(126);
    }
    if (chdir(dir.c_str()) != 0) _exit(126);
    const rlimit limit{static_cast<rlim_t>(options.address_space),
                       static_cast<rlim_t>(options.address_space)};
    if (options.address_space > 0 && setrlimit(RLIMIT_AS, &limit) != 0) _exit(126);
    // A write beyond the limit then fails with EFBIG, as on a full disk, instead of killing.
    const rlimit size_limit{static_cast<rlim_t>(options.file_size),
                            static_cast<rlim_t>(options.file_size)};
    if (options.file_size > 0 &&
        (signal(SIGXFSZ, SIG_IGN) == SIG_ERR || setrlimit(RLIMIT_FSIZE, &size_limit) != 0))
      _exit(126);
    if (!options.extra_env.empty()) putenv(const_cast<char*>(options.extra_env.c_str()));
    std::vector<char*> argv{const_cast<char*>(QUORVIN_BINARY)};
    for (const std::string& arg : options.args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    execv(QUORVIN_BINARY, argv.data());
    _exit(127);
  }
  close(in_pipe[0]);
  close(out_pipe[1]);
  close(err_pipe[1]);
  signal(SIGPIPE, SIG_IGN);
  // Feed the input and drain both outputs together, so that no pipe fills up.
  ProgramRun run;
  size_t fed = 0;
  bool signal_sent = false;
  // When the signal is due, once signal_after has been seen.
  std::chrono::steady_clock::time_point signal_due{};
  bool signal_pending = false;
  if (input.empty()) close(in_pipe[1]);
  bool in_open = !input.empty(), out_open = true, err_open = true;
  while (out_open || err_open) {
    pollfd fds[3];
    int n = 0;
    if (out_open) fds[n++] = {out_pipe[0], POLLIN, 0};
    if (err_open) fds[n++] = {err_pipe[0], POLLIN, 0};
    if (in_open) fds[n++] = {in_pipe[1], POLLOUT, 0};
    int timeout = -1;
    if (signal_pending) {
      const auto now = std::chrono::steady_clock::now();
      if (now >= signal_due) {
        kill(pid, options.signal);
        signal_pending = false;
        signal_sent = true;
      } else {
        timeout = static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(signal_due - now).count() + 1);
      }
    }
    if (poll(fds, n, timeout) <= 0) continue;
    for (int i = 0; i < n; ++i) {
      if (fds[i].revents == 0) continue;
      if (fds[i].fd == in_pipe[1]) {
        ssize_t wrote = write(in_pipe[1], input.data() + fed, input.size() - fed);
        if (wrote > 0) fed += static_cast<size_t>(wrote);
        if (wrote <= 0 || fed == input.size()) {
          close(in_pipe[1]);
          in_open = false;
        }
        continue;
      }
      char chunk[65536];
      ssize_t got = read(fds[i].fd, chunk, sizeof chunk);
      std::string& target = fds[i].fd == out_pipe[0] ? run.out : run.err;
      if (got > 0) {
        target.append(chunk, static_cast<size_t>(got));
        if (options.signal != 0 && !signal_sent && !signal_pending &&
            (run.out.find(options.signal_after) != std::string::npos ||
             run.err.find(options.signal_after) != std::string::npos)) {
          signal_due = std::chrono::steady_clock::now() +
                       std::chrono::milliseconds(options.signal_delay_ms);
          signal_pending = true;
        }
      } else {
        close(fds[i].fd);
        (fds[i].fd == out_pipe[0] ? out_open : err_open) = false;
      }
    }
  }
  if (in_open) close(in_pipe[1]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (WIFEXITED(status)) run.exit_status = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) run.signal = WTERMSIG(status);
  return run;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

void write_file(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

std::vector<std::string> folder_entries(const std::string& folder) {
  std::vector<std::string> names;
  DIR* dir = opendir(folder.c_str());
  for (dirent* entry; dir != nullptr && (entry = readdir(dir)) != nullptr;) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  if (dir != nullptr) closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

bool file_exists(const std::string& path) {
  struct stat info {};
  return lstat(path.c_str(), &info) == 0;
}

}  // namespace quorvin_test
