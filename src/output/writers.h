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
                           MatrixView combined, ResultFile& out);

// The parts of write_combined_matrix, for writers that format its rows on
// several threads: the title, empty line and header; and rows first .. last-1,
// each ended by out's line end, at the start of text, which is enlarged as
// needed and may hold more. Returns the rows' length.
void write_matrix_header(int32_t V, const std::vector<std::string>& var_names, ResultFile& out);
size_t format_matrix_rows(int32_t V, int32_t first, int32_t last,
                          const std::vector<std::string>& var_names, MatrixView combined,
                          const ResultFile& out, std::string& text);

// One line "name_i r2pos name_j" (r2neg when the coefficient is not positive)
// for each pair i < j whose |combined[i][j]| exceeds critical (a NaN critical
// value lists none). Returns the number of pairs listed.
int64_t write_interaction_list(int32_t V, double critical, MatrixView combined, ResultFile& out,
                            const std::vector<std::string>& var_names);

// A Pajek network: every variable as a numbered, quoted vertex, then one edge
// "i j weight c Red|Blue" for each pair listed by write_interaction_list.
void write_pajek_network(int32_t V, double critical, MatrixView combined, ResultFile& out,
                         const std::vector<std::string>& var_names);

// Whether the edge table lists a pair: when its zero-order coefficient or its
// combined one exceeds critical in magnitude (never for NaN).
inline bool edge_table_lists(double spearman, double combined, double critical) {
  return __builtin_fabs(spearman) > critical || __builtin_fabs(combined) > critical;
}

// The strictest of level_names whose critical value (critical, strictest
// last) |combined| exceeds; -1 for none.
int strictest_level(double combined, const double (&critical)[level_count]);

// The edge table, tab-separated with a header line: for each pair i < j that
// edge_table_lists at critical[0], in the order of the interaction lists,
// the two names, the zero-order coefficient (spearman[j][i]) and the combined
// one (combined[i][j]), both with write_shortest_double, the order of the
// kept coefficient (0, 1 or 2), the names of its controls (empty where it has
// fewer) and the strictest_level's name (empty for none). spearman is read
// below its diagonal and combined above it, so that they may be one matrix
// that holds the zero-order coefficients below the diagonal and the combined
// ones above it. kept_controls holds the search's
// controls of every pair. Returns the number of pairs listed.
int64_t write_edge_table(int32_t V, const double (&critical)[level_count], MatrixView spearman,
                         MatrixView combined, const int32_t* kept_controls,
                         const std::vector<std::string>& var_names, ResultFile& out);

// The parts of write_edge_table, for writers that format its rows on several
// threads: the header line; and the rows of pairs (i, j), first <= i < last,
// each ended by out's line end, at the start of text, which is enlarged as
// needed and may hold more; their length goes to length. Returns the number
// of rows.
void write_edge_table_header(ResultFile& out);
int64_t format_edge_table_rows(int32_t V, int32_t first, int32_t last,
                               const double (&critical)[level_count], MatrixView spearman,
                               MatrixView combined, const int32_t* kept_controls,
                               const std::vector<std::string>& var_names, const ResultFile& out,
                               std::string& text, size_t& length);

// What a set of result files lists: the pairs at each level, and the rows of
// the edge table.
struct ListedPairs {
  int64_t edges[level_count] = {};
  int64_t edge_table_rows = 0;
};

// Writes the seven result files, and the edge table when results holds one
// (then kept_controls must be given), from the upper triangle of combined
// and, for the edge table, spearman as write_edge_table reads it. Every
// thread formats, the files are written in a fixed order, and none depends
// on the thread count. Then every file is synced, ready for
// finish_result_files. Throws std::bad_alloc when memory runs out.
void write_result_files(int32_t V, const double (&critical)[level_count],
                        const std::vector<std::string>& var_names, MatrixView spearman,
                        MatrixView combined, const int32_t* kept_controls,
                        ResultFiles& results, ListedPairs& listed);

}  // namespace quorvin
