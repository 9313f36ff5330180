// Times whole runs of the program against the reference build on generated
// gene-module data sets, checks that both write the same seven files, and
// prints wall time, speed-up and peak memory per size:
//   quorvin_bench PROGRAM REFERENCE MAKE_DATA WORK_DIR SIZE...   (SIZE as 400x50)
// Each run gets a folder of its own, the two answers on standard input and
// standard output sent to /dev/null.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

// The reference's search grows as V^4: about 5 s at 400 variables, an hour at 2,000.
constexpr int reference_limit = 400;

const char* const result_names[] = {
    "Quorvin_matrix.xls",        "Quorvin_network_0.01.sif", "Quorvin_network_0.001.sif",
    "Quorvin_network_0.0001.sif", "Quorvin_network_0.01.net", "Quorvin_network_0.001.net",
    "Quorvin_network_0.0001.net"};

// The goals for the sizes that have one; 0 means no goal of that kind.
struct Target {
  int V, N;
  double min_speedup, max_seconds, max_peak_per_v2, max_peak_bytes;
};
const Target targets[] = {{400, 50, 100, 0, 0, 0},
                          {2000, 100, 0, 3, 0, 0},
                          {5000, 100, 0, 30, 3, 0},
                          {20000, 100, 0, 1800, 0, 10e9}};

struct Measurement {
  bool ok = false;  // exited with status 0
  double seconds = 0;
  double peak_bytes = 0;
};

// Runs program with args in dir, standard input from in_path and standard
// output to out_path; the peak memory is the child's own, from wait4.
Measurement run(const std::string& program, const std::vector<std::string>& args,
                const fs::path& dir, const std::string& in_path, const std::string& out_path) {
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    const int in = open(in_path.c_str(), O_RDONLY);
    const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || chdir(dir.c_str()) != 0)
      _exit(126);
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  Measurement m;
  int status = 0;
  rusage usage{};
  if (pid < 0 || wait4(pid, &status, 0, &usage) != pid) return m;
  m.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  m.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  m.peak_bytes = usage.ru_maxrss * 1024.0;  // ru_maxrss is in KiB
  return m;
}

std::string contents(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Names the first result file that differs between the two folders; empty
// when all seven are identical.
std::string first_different_file(const fs::path& a, const fs::path& b) {
  for (const char* name : result_names)
    if (contents(a / name) != contents(b / name)) return name;
  return "";
}

// One table row: measures the program (and the reference when affordable)
// on one size. Returns false when a run failed or the files differ.
bool bench_size(const std::string& program, const std::string& reference,
                const std::string& make_data, const fs::path& work, int V, int N) {
  const std::string size = std::to_string(V) + "x" + std::to_string(N);
  const fs::path dir = work / size;
  fs::remove_all(dir);
  fs::create_directories(dir / "program");
  std::ofstream(dir / "answers.txt") << V << "\n" << N << "\n";
  const std::string answers = (dir / "answers.txt").string();
  if (!run(make_data, {std::to_string(V), std::to_string(N)}, dir, "/dev/null",
           (dir / "program" / "data.txt").string())
           .ok) {
    std::printf("%-10s data generation failed\n", size.c_str());
    return false;
  }

  const Measurement production = run(program, {}, dir / "program", answers, "/dev/null");
  Measurement slow;
  std::string files = "(reference skipped)";
  if (production.ok && V <= reference_limit) {
    fs::create_directories(dir / "reference");
    fs::copy_file(dir / "program" / "data.txt", dir / "reference" / "data.txt");
    slow = run(reference, {}, dir / "reference", answers, "/dev/null");
    const std::string differing = slow.ok ? first_different_file(dir / "program", dir / "reference") : "";
    files = !slow.ok ? "reference run FAILED" : differing.empty() ? "identical" : differing + " DIFFERS";
  }
  if (!production.ok) files = "program run FAILED";

  const double v2_bytes = 8.0 * V * V;
  const double per_v2 = production.peak_bytes / v2_bytes;
  char slow_time[32] = "-", speedup[32] = "-";
  if (slow.ok) {
    std::snprintf(slow_time, sizeof slow_time, "%.2f s", slow.seconds);
    std::snprintf(speedup, sizeof speedup, "%.1fx", slow.seconds / production.seconds);
  }
  std::printf("%-10s %9.2f s %11s %9s %9.1f MiB %10.2f   %s\n", size.c_str(), production.seconds,
              slow_time, speedup, production.peak_bytes / (1024.0 * 1024.0), per_v2, files.c_str());

  for (const Target& target : targets) {
    if (target.V != V || target.N != N || !production.ok) continue;
    if (target.min_speedup > 0 && slow.ok)
      std::printf("%-10s   goal: at least %.0fx faster than the reference: %s\n", "",
                  target.min_speedup,
                  slow.seconds / production.seconds >= target.min_speedup ? "met" : "MISSED");
    if (target.max_seconds > 0)
      std::printf("%-10s   goal: at most %.0f s: %s\n", "", target.max_seconds,
                  production.seconds <= target.max_seconds ? "met" : "MISSED");
    if (target.max_peak_per_v2 > 0)
      std::printf("%-10s   goal: peak memory at most %.0f x 8 V^2 bytes: %s\n", "",
                  target.max_peak_per_v2, per_v2 <= target.max_peak_per_v2 ? "met" : "MISSED");
    if (target.max_peak_bytes > 0)
      std::printf("%-10s   goal: peak memory at most %.0f GB: %s\n", "", target.max_peak_bytes / 1e9,
                  production.peak_bytes <= target.max_peak_bytes ? "met" : "MISSED");
  }
  std::fflush(stdout);
  fs::remove_all(dir);  // the matrix file alone is 8 V^2 bytes or more
  return production.ok && (V > reference_limit || files == "identical");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 6) {
    std::fprintf(stderr, "usage: %s PROGRAM REFERENCE MAKE_DATA WORK_DIR SIZE...\n", argv[0]);
    return 2;
  }
  const std::string program = fs::absolute(argv[1]).string();
  const std::string reference = fs::absolute(argv[2]).string();
  const std::string make_data = fs::absolute(argv[3]).string();
  const fs::path work = fs::absolute(argv[4]);

  std::printf("Whole runs, standard output to /dev/null; the reference runs up to %d variables.\n",
              reference_limit);
  std::printf("%-10s %11s %11s %9s %13s %10s   %s\n", "size", "program", "reference", "speed-up",
              "peak memory", "peak/8V^2", "result files");
  bool all_ok = true;
  for (int a = 5; a < argc; ++a) {
    int V = 0, N = 0;
    if (std::sscanf(argv[a], "%dx%d", &V, &N) != 2 || V < 0 || N < 0) {
      std::fprintf(stderr, "bad size %s: expected VARIABLESxOBSERVATIONS\n", argv[a]);
      return 2;
    }
    all_ok = bench_size(program, reference, make_data, work, V, N) && all_ok;
  }
  return all_ok ? 0 : 1;
}
