// The engine behind one interface for every face (the command line, the
// dialogue, the Python and R packages): values and names in, the Spearman
// and combined matrices out, and the result files written from them. No
// function prints or exits; each failure comes back as one Error.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/matrix.h"
#include "output/result_files.h"
#include "output/writers.h"
#include "stats/combine.h"

namespace quorvin {

enum class ErrorKind {
  none,
  invalid_input,  // the values, names or options cannot be taken
  out_of_memory,  // the arrays, or the working memory, cannot be had
  stopped,        // the progress callback asked to stop
  failed,         // the result files could not be written
};

// What went wrong, if anything, in one line without the program's prefix.
struct Error {
  ErrorKind kind = ErrorKind::none;
  std::string message;
  explicit operator bool() const { return kind != ErrorKind::none; }
};

// rows x cols doubles, row-major (C order): a variable per row, or per column
// when variables_in_columns. Neither values nor names are copied or kept.
struct NetworkInput {
  const double* values = nullptr;
  int64_t rows = 0, cols = 0;
  bool variables_in_columns = false;
  const std::vector<std::string>* names = nullptr;  // one per variable, or none
};

struct NetworkOptions {
  int threads = 0;             // 0: OpenMP's count, every core unless told otherwise
  bool keep_controls = false;  // record each result's controls, for the edge table
  // Asked by the calling thread between stretches of the work, at least a
  // few times a second; false stops the computation. Its reports of the
  // search's work are those of WorkDone; before the search it gets an empty
  // SearchWork.
  WorkDone progress;
  ControlDone control_done;  // after each control variable, as the search calls it
  // The pairs to search, for one of several processes; the others keep their
  // zero-order coefficient until merged in with unpack_share.
  PairShare share;
};

// The result: the lower triangle of the Spearman matrix, with 1 on the
// diagonal, and the combined coefficient of each pair.
struct Network {
  int32_t V = 0, N = 0;
  std::vector<std::string> names;  // as given; empty when none were
  LowerMatrix spearman;  // from allocate_network until computed, a square's block
  PairMatrix combined;
  // kept_controls_size(V) entries when asked for, else none.
  std::vector<int32_t, LargeBlockAllocator<int32_t>> kept_controls;
};

// A network's results wherever they are held: a Network, or the arrays of a
// face that copied them into its own language's objects. What network_edges
// and the writers read.
struct NetworkView {
  int32_t V = 0, N = 0;
  MatrixView spearman;                     // V x V and symmetric, or the lower rows
  MatrixView combined;                     // V x V and symmetric, or the pairs
  const int32_t* kept_controls = nullptr;  // kept_controls_size(V) entries, or none
  const std::vector<std::string>* names = nullptr;  // V names, or none
  NetworkView() = default;
  NetworkView(const Network& network);  // NOLINT: every Network can be read as a view
};

// The memory, in bytes, that the arrays of V variables and N observations
// take: values, ranks, both matrices, the kept controls when asked for, and
// the search's working memory with the current thread count.
double network_bytes(int32_t V, int32_t N, bool keep_controls);

// False when network_bytes exceeds the memory of the machine or of its
// container.
bool network_fits_in_memory(int32_t V, int32_t N, bool keep_controls);

// One line for a data set whose arrays do not fit: the size, and the limit
// that it exceeds (the machine's memory, the container's limit, ulimit -v).
std::string memory_message(int32_t V, int32_t N, bool keep_controls);

// One line for memory that ran out after the arrays were had: the counts and
// what their arrays take.
std::string ran_out_message(int32_t V, int32_t N, bool keep_controls);

// Obtains the arrays of a network of V variables and N observations, for a
// caller that must know they can be had before it reads its values: the
// Spearman matrix, the combined pairs and, when asked, the kept controls.
Error allocate_network(int32_t V, int32_t N, bool keep_controls, Network& network);

// Checks input (at least one variable and one observation, counts within
// 32 bits, finite values, one name per variable and no name twice), then
// ranks, correlates and searches into network's arrays, obtained here unless
// allocate_network obtained them for these counts. On any error network is
// left empty.
Error compute_network(const NetworkInput& input, const NetworkOptions& options, Network& network);

// compute_network without the checks of counts, values and names: the
// dialogue's data file, where every count and name is taken as it stands
// and a run of no variable or no observation writes NaN results. Requires
// the counts within 32 bits and values without NaN.
Error compute_network_as_given(const NetworkInput& input, const NetworkOptions& options,
                               Network& network);

// The names as the result files write them, from names as given: the first
// hyphen removed, blanks turned to underscores. Refuses an empty name, a
// name that holds a double quote or a backslash, and two names that become
// one.
Error names_for_files(const std::vector<std::string>& names, std::vector<std::string>& file_names);

// The index in level_names of a significance level given as a number
// (0.01, 0.001 or 0.0001); an error naming the three for any other.
Error level_index(double level, int& index);

// The critical value of level (0 .. level_count - 1, as level_names) for
// the network's observations: NaN for 5 or fewer.
double network_critical_value(const NetworkView& network, int level);

// A pair of the edge table: its variables x < y, the controls of its kept
// coefficient (-1 where it has fewer), their count (the order) and the
// strictest level that its combined coefficient passes (-1 for none).
struct Edge {
  int32_t x, y;
  int32_t control_1, control_2;
  int32_t order;
  int32_t level;
};

// The pairs whose Spearman or combined coefficient passes level, in the
// order of the interaction lists; at level 0 the rows of the edge table.
// Requires the kept controls and 0 <= level < level_count.
std::vector<Edge> network_edges(const NetworkView& network, int level);

// The results of the pairs in share, for another process to merge in: for
// each y of the share in ascending order, the combined coefficient of each
// pair x < y, x ascending, and, when the controls were kept, their two
// controls likewise.
void pack_share(const Network& network, PairShare share, std::vector<double>& values,
                std::vector<int32_t>& controls);

// Merges in the results that pack_share packed for share.
// Requires arrays of the sizes that pack_share gives for network's counts.
void unpack_share(Network& network, PairShare share, const double* values,
                  const int32_t* controls);

// Fill square (V x V, row-major) with the Spearman or the combined
// coefficients, symmetric with 1 on the diagonal, for a face that hands out
// whole matrices.
void fill_spearman_square(const NetworkView& network, double* square);
void fill_combined_square(const NetworkView& network, double* square);

// Writes the seven files and the edge table (when results holds one) into
// files already open, under file_names (one per variable). Throws
// std::bad_alloc when memory runs out.
void write_network(const NetworkView& network, const std::vector<std::string>& file_names,
                   ResultFiles& results, ListedPairs& listed);

// Writes the result set of network into folder (and the edge table at
// edge_table unless "", "-" for standard output) as the command line does:
// staged, then put in place as one set, earlier results left as they were
// on failure. Names are made by names_for_files. Signals keep the handlers
// that the caller gave them. The edge table needs the kept controls.
Error save_network(const NetworkView& network, const std::string& folder,
                   const std::string& edge_table, ListedPairs& listed);

}  // namespace quorvin
