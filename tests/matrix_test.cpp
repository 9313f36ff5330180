#include "common/matrix.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "support/test_values.h"

namespace {

// Each pair of V variables has an element of its own, and together they
// fill the block past its first element.
TEST(PairMatrix, HoldsEachPairOnce) {
  for (const int64_t V : {0, 1, 2, 3, 4, 5, 64, 65, 1000}) {
    std::vector<int> uses(static_cast<size_t>(quorvin::pair_matrix_size(V)), 0);
    for (int64_t x = 0; x < V; ++x)
      for (int64_t y = x + 1; y < V; ++y) ++uses.at(quorvin::pair_row_offset(V, x) + y);
    EXPECT_EQ(uses[0], 0) << V;
    EXPECT_EQ(std::count(uses.begin() + 1, uses.end(), 1), quorvin::pair_matrix_size(V) - 1) << V;
  }
  EXPECT_EQ(quorvin::pair_row_offset(65536, 65535) + 65535, quorvin::pair_matrix_size(65536) - 1);
}

// The lower triangle of a square, packed in its own block, reads as the
// square from either side, at sizes below a page, around one and beyond.
TEST(LowerMatrix, PackedSquareReadsAsTheSquare) {
  for (const int64_t V : {0, 1, 2, 3, 31, 64, 300, 1100}) {
    quorvin::Matrix square = quorvin_test::filled_matrix(V, V, 0.0);
    for (int64_t a = 0; a < V; ++a)
      for (int64_t b = 0; b <= a; ++b) square[a][b] = square[b][a] = std::ldexp(a * 4096 + b, -12);
    const std::vector<double> copy(square.data.get(), square.data.get() + V * V);
    const quorvin::LowerMatrix lower = quorvin::lower_of_square(std::move(square));
    EXPECT_TRUE(square.data == nullptr);
    ASSERT_EQ(lower.V, V);
    const quorvin::MatrixView view(lower);
    for (int64_t a = 0; a < V; ++a)
      for (int64_t b = 0; b < V; ++b) {
        ASSERT_EQ(lower(a, b), copy[a * V + b]) << V << ": " << a << "," << b;
        if (b <= a) {
          ASSERT_EQ(view[a][b], copy[a * V + b]) << V << ": " << a << "," << b;
        }
      }
  }
}

}  // namespace
