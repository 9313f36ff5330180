// Rank covariance and the Spearman correlation matrix.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "common/matrix.h"

namespace quorvin {

// means[i] += the ranks of variable i, then /= N; ranks are centred in place;
// covariance[i][j] = sum over k of ranks[k][i] * ranks[k][j], observations in
// ascending order, divided by N - 1. Fills the full V x V square, exactly
// symmetric. means must hold V zeros on entry; ranks has N rows of V entries.
// keep_going, when given, is asked by the calling thread between blocks of
// the work; once it says false the rest is passed over and false returned,
// the covariance unfinished.
bool rank_covariance(int32_t V, int32_t N, Matrix& covariance, Matrix& ranks,
                     std::vector<double>& means, const std::function<bool()>& keep_going = nullptr);

// correlation[i][j] = covariance[i][j] / sqrt(covariance[j][j] * covariance[i][i]).
// correlation may be the same matrix as covariance.
void correlation_from_covariance(int32_t V, Matrix& correlation, const Matrix& covariance);

}  // namespace quorvin
