// Writes a deterministic data set to standard output:
//   quorvin_make_data KIND VARIABLES OBSERVATIONS [SEED]
// KIND is modules (sparse gene modules) or dense (dense factor data).
#include <cstdio>
#include <cstdlib>
#include <string>

#include "support/random_data.h"

int main(int argc, char** argv) {
  const std::string kind = argc > 1 ? argv[1] : "";
  if (argc < 4 || argc > 5 || (kind != "modules" && kind != "dense")) {
    std::fprintf(stderr, "usage: %s modules|dense VARIABLES OBSERVATIONS [SEED]\n", argv[0]);
    return 2;
  }
  const int32_t V = std::atoi(argv[2]), N = std::atoi(argv[3]);
  const uint64_t seed = argc == 5 ? std::strtoull(argv[4], nullptr, 10) : 2024;
  const quorvin::Matrix raw = kind == "dense" ? quorvin_test::dense_factors(V, N, seed)
                                              : quorvin_test::gene_modules(V, N, seed);
  const std::string text = quorvin_test::data_file_text(raw);
  return std::fwrite(text.data(), 1, text.size(), stdout) == text.size() ? 0 : 1;
}
