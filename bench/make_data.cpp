// Writes a deterministic gene-module data set to standard output:
//   quorvin_make_data VARIABLES OBSERVATIONS [SEED]
#include <cstdio>
#include <cstdlib>
#include <string>

#include "support/random_data.h"

int main(int argc, char** argv) {
  if (argc < 3 || argc > 4) {
    std::fprintf(stderr, "usage: %s VARIABLES OBSERVATIONS [SEED]\n", argv[0]);
    return 2;
  }
  const int32_t V = std::atoi(argv[1]), N = std::atoi(argv[2]);
  const uint64_t seed = argc == 4 ? std::strtoull(argv[3], nullptr, 10) : 2024;
  const std::string text = quorvin_test::data_file_text(quorvin_test::gene_modules(V, N, seed));
  return std::fwrite(text.data(), 1, text.size(), stdout) == text.size() ? 0 : 1;
}
