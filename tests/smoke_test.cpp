#include <gtest/gtest.h>

#include "support/program_runner.h"

using namespace quorvin_test;

TEST(EndToEnd, RunsTheBundledExample) {
  const std::string dir = make_temp_dir();
  write_file(dir + "/data.txt", read_file(QUORVIN_EXAMPLES "/mtcars/data.txt"));
  ProgramRun run = run_program(dir, "11\n32\n");
  EXPECT_EQ(run.exit_status, 0) << run.err;
  EXPECT_EQ(run.err, "");
  for (const char* name : result_file_names) EXPECT_TRUE(file_exists(dir + "/" + name)) << name;
}
