// The result writers: the combined matrix, interaction lists (SIF) and Pajek
// networks. Each appends to a file that the driver opened and closes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/matrix.h"
#include "output/result_files.h"

namespace quorvin {

// The combined matrix as tab-separated text: a title line, an empty line, a
// header of names, then one row per variable with 1 on the diagonal and
// combined[min(i,j)][max(i,j)] elsewhere. Every field ends with a tab.
// Reads only the upper triangle of combined.
void write_combined_matrix(int32_t V, const std::vector<std::string>& var_names,
                           const Matrix& combined, ResultFile& out);

// The parts of write_combined_matrix, for writers that format its rows on
// several threads: the title, empty line and header; and rows first .. last-1,
// each ended by out's line end, at the start of text, which is enlarged as
// needed and may hold more. Returns the rows' length.
void write_matrix_header(int32_t V, const std::vector<std::string>& var_names, ResultFile& out);
size_t format_matrix_rows(int32_t V, int32_t first, int32_t last,
                          const std::vector<std::string>& var_names, const Matrix& combined,
                          const ResultFile& out, std::string& text);

// One line "name_i r2pos name_j" (r2neg when the coefficient is not positive)
// for each pair i < j whose |combined[i][j]| exceeds critical (a NaN critical
// value lists none). Returns the number of pairs listed.
int64_t write_interaction_list(int32_t V, double critical, const Matrix& combined, ResultFile& out,
                            const std::vector<std::string>& var_names);

// A Pajek network: every variable as a numbered, quoted vertex, then one edge
// "i j weight c Red|Blue" for each pair listed by write_interaction_list.
void write_pajek_network(int32_t V, double critical, const Matrix& combined, ResultFile& out,
                         const std::vector<std::string>& var_names);

// The edge table, tab-separated with a header line: for each pair i < j whose
// zero-order coefficient (combined[j][i]) or combined coefficient
// (combined[i][j]) exceeds critical[0], in the order of the interaction lists,
// the two names, both coefficients (write_shortest_double), the order of the
// kept coefficient (0, 1 or 2), the names of its controls (empty where it has
// fewer) and the strictest level name whose critical value the combined
// coefficient exceeds (empty for none). critical holds the critical value of
// each of level_names, strictest last; kept_controls holds the search's
// controls of every pair. Returns the number of pairs listed.
int64_t write_edge_table(int32_t V, const double (&critical)[level_count], const Matrix& combined,
                         const int32_t* kept_controls, const std::vector<std::string>& var_names,
                         ResultFile& out);

// The parts of write_edge_table, for writers that format its rows on several
// threads: the header line; and the rows of pairs (i, j), first <= i < last,
// each ended by out's line end, at the start of text, which is enlarged as
// needed and may hold more; their length goes to length. Returns the number
// of rows.
void write_edge_table_header(ResultFile& out);
int64_t format_edge_table_rows(int32_t V, int32_t first, int32_t last,
                               const double (&critical)[level_count], const Matrix& combined,
                               const int32_t* kept_controls,
                               const std::vector<std::string>& var_names, const ResultFile& out,
                               std::string& text, size_t& length);

}  // namespace quorvin
