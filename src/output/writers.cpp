#include "output/writers.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <exception>

#include "common/kept_controls.h"
#include "common/number_format.h"

namespace quorvin {

namespace {

// Strict test: a magnitude equal to the critical value, or NaN on either
// side, is not significant.
bool significant(double r, double critical) { return std::fabs(r) > critical; }

}  // namespace

void write_matrix_header(int32_t V, const std::vector<std::string>& var_names, ResultFile& out) {
  out.buffer += "COMBINED SECOND ORDER SPEARMAN CORRELATION MATRIX";
  end_line(out);
  end_line(out);
  out.buffer += '\t';
  for (int32_t k = 0; k < V; ++k) {
    out.buffer += var_names[k];
    out.buffer += '\t';
  }
  end_line(out);
}

size_t format_matrix_rows(int32_t V, int32_t first, int32_t last,
                          const std::vector<std::string>& var_names, MatrixView combined,
                          const ResultFile& out, std::string& text) {
  // Room for the longest text of every number; filled in place, as the
  // numbers are most of what the program writes.
  const size_t line_end_size = std::strlen(out.line_end);
  size_t room = 0;
  for (int32_t i = first; i < last; ++i)
    room +=
        var_names[i].size() + static_cast<size_t>(V) * (max_double_text + 1) + 1 + line_end_size;
  if (text.size() < room) text.resize(room);
  // The rows' beginnings once, for the cells read down columns.
  std::vector<const double*> rows(static_cast<size_t>(std::max(last - 1, 0)));
  for (int32_t j = 0; j + 1 < last; ++j) rows[j] = combined[j];
  char* const start = text.data();
  char* p = start;
  for (int32_t i = first; i < last; ++i) {
    std::memcpy(p, var_names[i].data(), var_names[i].size());
    p += var_names[i].size();
    *p++ = '\t';
    const double* row = combined[i];
    for (int32_t j = 0; j < V; ++j) {
      if (j == i)
        *p++ = '1';
      else
        p += format_double(j > i ? row[j] : rows[j][i], p);
      *p++ = '\t';
    }
    std::memcpy(p, out.line_end, line_end_size);
    p += line_end_size;
  }
  return static_cast<size_t>(p - start);
}

void write_combined_matrix(int32_t V, const std::vector<std::string>& var_names,
                           MatrixView combined, ResultFile& out) {
  write_matrix_header(V, var_names, out);
  std::string text;
  for (int32_t i = 0; i < V; ++i) {
    // Formatted first: it may move text.
    const size_t length = format_matrix_rows(V, i, i + 1, var_names, combined, out, text);
    append_result_text(out, text.data(), length);
  }
}

int64_t write_interaction_list(int32_t V, double critical, MatrixView combined, ResultFile& out,
                               const std::vector<std::string>& var_names) {
  int64_t listed = 0;
  for (int32_t i = 0; i < V; ++i) {
    for (int32_t j = i + 1; j < V; ++j) {
      const double r = combined[i][j];
      if (!significant(r, critical)) continue;
      out.buffer += var_names[i];
      out.buffer += r > 0 ? " r2pos " : " r2neg ";
      out.buffer += var_names[j];
      end_line(out);
      ++listed;
    }
  }
  return listed;
}

void write_pajek_network(int32_t V, double critical, MatrixView combined, ResultFile& out,
                         const std::vector<std::string>& var_names) {
  out.buffer += "*Vertices ";
  append_integer(out.buffer, V);
  end_line(out);
  for (int32_t k = 0; k < V; ++k) {
    append_integer(out.buffer, k + 1);
    out.buffer += " \"";
    out.buffer += var_names[k];
    out.buffer += '"';
    end_line(out);
  }
  out.buffer += "*Edges";
  end_line(out);
  for (int32_t i = 0; i < V; ++i) {
    for (int32_t j = i + 1; j < V; ++j) {
      const double r = combined[i][j];
      if (!significant(r, critical)) continue;
      append_integer(out.buffer, i + 1);
      out.buffer += ' ';
      append_integer(out.buffer, j + 1);
      out.buffer += ' ';
      append_double(out.buffer, r);
      out.buffer += r > 0 ? " c Red" : " c Blue";
      end_line(out);
    }
  }
}

void write_edge_table_header(ResultFile& out) {
  out.buffer += "variable_1\tvariable_2\tspearman\tcombined\torder\tcontrol_1\tcontrol_2\tlevel";
  end_line(out);
}

int strictest_level(double combined, const double (&critical)[level_count]) {
  int strictest = -1;
  for (int level = 0; level < level_count; ++level)
    if (significant(combined, critical[level])) strictest = level;
  return strictest;
}

int64_t format_edge_table_rows(int32_t V, int32_t first, int32_t last,
                               const double (&critical)[level_count], MatrixView spearman,
                               MatrixView combined, const int32_t* kept_controls,
                               const std::vector<std::string>& var_names, const ResultFile& out,
                               std::string& text, size_t& length) {
  // Room for the longest row of every pair; filled in place, as the table
  // can hold millions of rows.
  size_t longest_name = 0;
  for (const std::string& name : var_names) longest_name = std::max(longest_name, name.size());
  const size_t line_end_size = std::strlen(out.line_end);
  const size_t longest_row = 4 * longest_name + 2 * max_double_text + 16 + line_end_size;
  size_t pairs = 0;
  for (int32_t i = first; i < last; ++i) pairs += static_cast<size_t>(V - i - 1);
  if (text.size() < pairs * longest_row) text.resize(pairs * longest_row);
  char* const start = text.data();
  char* p = start;
  const auto put = [&p](const std::string& name) {
    std::memcpy(p, name.data(), name.size());
    p += name.size();
  };
  int64_t listed = 0;
  for (int32_t i = first; i < last; ++i) {
    for (int32_t j = i + 1; j < V; ++j) {
      const double zero_order = spearman[j][i], kept = combined[i][j];
      if (!edge_table_lists(zero_order, kept, critical[0])) continue;
      const int32_t controls[2] = {first_control(kept_controls, V, i, j),
                                   second_control(kept_controls, V, i, j)};
      put(var_names[i]);
      *p++ = '\t';
      put(var_names[j]);
      *p++ = '\t';
      p = write_shortest_double(p, zero_order);
      *p++ = '\t';
      p = write_shortest_double(p, kept);
      *p++ = '\t';
      *p++ = static_cast<char>('0' + (controls[0] >= 0) + (controls[1] >= 0));
      for (int32_t control : controls) {
        *p++ = '\t';
        if (control >= 0) put(var_names[control]);
      }
      *p++ = '\t';
      const int strictest = strictest_level(kept, critical);
      if (strictest >= 0) {
        const size_t size = std::strlen(level_names[strictest]);
        std::memcpy(p, level_names[strictest], size);
        p += size;
      }
      std::memcpy(p, out.line_end, line_end_size);
      p += line_end_size;
      ++listed;
    }
  }
  length = static_cast<size_t>(p - start);
  return listed;
}

int64_t write_edge_table(int32_t V, const double (&critical)[level_count], MatrixView spearman,
                         MatrixView combined, const int32_t* kept_controls,
                         const std::vector<std::string>& var_names, ResultFile& out) {
  write_edge_table_header(out);
  int64_t listed = 0;
  std::string text;
  for (int32_t i = 0; i < V; ++i) {
    size_t length = 0;
    listed += format_edge_table_rows(V, i, i + 1, critical, spearman, combined, kept_controls,
                                     var_names, out, text, length);
    append_result_text(out, text.data(), length);
  }
  return listed;
}

void write_result_files(int32_t V, const double (&critical)[level_count],
                        const std::vector<std::string>& var_names, MatrixView spearman,
                        MatrixView combined, const int32_t* kept_controls,
                        ResultFiles& results, ListedPairs& listed) {
  const bool edge_table = results.count > result_file_count;
  // Each small file is written by one thread, while the matrix and the edge
  // table, most of what is written, have their rows formatted by every
  // thread, a block of rows at a time, and written in order. Then all files
  // are synced together, so that the disk's waits overlap. Job i writes
  // results.files[i], 1 <= i < 7.
  const auto write_small_file = [&](int i) {
    const int level = (i - 1) % level_count;
    if (i <= level_count)
      listed.edges[level] = write_interaction_list(V, critical[level], combined,
                                                   interaction_list_file(results, level), var_names);
    else
      write_pajek_network(V, critical[level], combined, network_file(results, level), var_names);
    start_result_file_sync(results.files[i], results.mode);
  };
  std::exception_ptr failure;
  const auto guarded = [&failure](const auto& job) {
    try {
      job();
    } catch (...) {
#pragma omp critical(writing_failure)
      failure = std::current_exception();
    }
  };
  ResultFile& matrix = matrix_file(results);
  write_matrix_header(V, var_names, matrix);
  if (edge_table) write_edge_table_header(edge_table_file(results));
  // Blocks of about 64 KiB of matrix text, a number taking some 12 chars, and
  // of at least 8 rows: the cells below the diagonal are read down columns,
  // 8 of which share each cache line.
  const int32_t rows_per_block = std::max(8, (64 << 10) / (12 * V + 1));
  const int32_t blocks = (V + rows_per_block - 1) / rows_per_block;
  const int32_t edge_blocks = edge_table ? blocks : 0;
#pragma omp parallel
  {
#pragma omp for schedule(dynamic, 1) nowait
    for (int i = 1; i < result_file_count; ++i) guarded([&] { write_small_file(i); });
    std::string text;
#pragma omp for ordered schedule(dynamic, 1) nowait
    for (int32_t b = 0; b < edge_blocks; ++b) {
      const int32_t first = b * rows_per_block, last = std::min(V, first + rows_per_block);
      int64_t rows = 0;
      size_t length = 0;
      guarded([&] {
        rows = format_edge_table_rows(V, first, last, critical, spearman, combined, kept_controls,
                                      var_names, edge_table_file(results), text, length);
      });
#pragma omp ordered
      guarded([&] {
        append_result_text(edge_table_file(results), text.data(), length);
        listed.edge_table_rows += rows;
        if (b == edge_blocks - 1) start_result_file_sync(edge_table_file(results), results.mode);
      });
    }
#pragma omp for ordered schedule(dynamic, 1)
    for (int32_t b = 0; b < blocks; ++b) {
      const int32_t first = b * rows_per_block, last = std::min(V, first + rows_per_block);
      size_t length = 0;
      guarded([&] {
        length = format_matrix_rows(V, first, last, var_names, combined, matrix, text);
      });
#pragma omp ordered
      guarded([&] { append_result_text(matrix, text.data(), length); });
    }
#pragma omp single
    guarded([&] { start_result_file_sync(matrix, results.mode); });
#pragma omp for schedule(dynamic, 1)
    for (int i = 0; i < results.count; ++i)
      guarded([&] { sync_result_file(results.files[i], results.mode); });
  }
  if (failure) std::rethrow_exception(failure);
}

}  // namespace quorvin
