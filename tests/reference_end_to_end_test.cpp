// The program and the reference build (the same driver and writers over the
// plain reference engine) write the same seven files, byte for byte.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/wait.h>

#include "support/program_runner.h"
#include "support/random_data.h"

using namespace quorvin_test;

namespace {

// Runs the reference build in dir with answers on standard input; returns its
// exit status.
int run_reference(const std::string& dir, const std::string& answers) {
  write_file(dir + "/answers.txt", answers);
  const std::string command =
      "cd '" + dir + "' && '" QUORVIN_REFERENCE_BINARY "' < answers.txt > /dev/null";
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

TEST(ReferenceEndToEnd, ResultFilesMatchTheReferenceBuild) {
  constexpr int32_t V = 72, N = 40;
  quorvin::Matrix raw = gene_modules(V, N, 5);
  // A constant variable (NaN cells in the matrix file) and a mirror image of
  // another (coefficients of exactly -1, zero denominators).
  for (int32_t k = 0; k < N; ++k) {
    raw[k][17] = 4.5;
    raw[k][V - 1] = -raw[k][3];
  }
  const std::string data = data_file_text(raw);
  const std::string answers = std::to_string(V) + "\n" + std::to_string(N) + "\n";
  const std::string program_dir = make_temp_dir(), reference_dir = make_temp_dir();
  write_file(program_dir + "/data.txt", data);
  write_file(reference_dir + "/data.txt", data);

  const ProgramRun run = run_program(program_dir, answers);
  ASSERT_EQ(run.exit_status, 0) << run.err;
  ASSERT_EQ(run_reference(reference_dir, answers), 0);
  for (const char* name : result_file_names) {
    const std::string produced = read_file(program_dir + "/" + name);
    EXPECT_TRUE(produced == read_file(reference_dir + "/" + name)) << name << " differs";
  }

  // The comparison proves something only if the files hold edges and NaN cells.
  EXPECT_NE(read_file(program_dir + "/Quorvin_network_0.0001.sif"), "");
  EXPECT_NE(read_file(program_dir + "/Quorvin_matrix.xls").find("-1.#IND"), std::string::npos);
  std::filesystem::remove_all(program_dir);
  std::filesystem::remove_all(reference_dir);
}
