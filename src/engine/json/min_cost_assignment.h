// Minimum-cost assignment of every row of a rows x columns matrix (rows <=
// columns) to a distinct column: the shortest augmenting path method with
// dual potentials (Jonker and Volgenant's form of the Hungarian algorithm,
// without their initialisation heuristics), O(rows^2 * columns).
//
// It is written here rather than taken from a library because the engine has
// no dependencies beyond the standard library, the matrices are small (the
// children of one node pair) and integral, and the solver must run with
// scratch owned by the caller, no allocation per call once warmed up.

#pragma once

#include <cstdint>
#include <limits>
#include <vector>

namespace grix {

struct AssignmentScratch {
  std::vector<int64_t> row_potential, column_potential, shortest;
  std::vector<int32_t> column_row, previous_column;
  std::vector<char> used;
};

// Returns the least total cost; row_to_column[r] receives the column of row r.
// `cost` is row-major with `columns` entries a row; rows <= columns.
inline int64_t min_cost_assignment(const int32_t* cost, int32_t rows, int32_t columns,
                                   std::vector<int32_t>& row_to_column, AssignmentScratch& s) {
  row_to_column.assign(static_cast<size_t>(rows), -1);
  if (rows == 0) return 0;
  constexpr int64_t INF = std::numeric_limits<int64_t>::max() / 4;
  // Columns are numbered from 1; column 0 is the virtual start of each search.
  s.row_potential.assign(static_cast<size_t>(rows) + 1, 0);
  s.column_potential.assign(static_cast<size_t>(columns) + 1, 0);
  s.column_row.assign(static_cast<size_t>(columns) + 1, 0);  // row + 1, 0 for free
  s.previous_column.assign(static_cast<size_t>(columns) + 1, 0);
  for (int32_t r = 1; r <= rows; ++r) {
    s.column_row[0] = r;
    int32_t column = 0;
    s.shortest.assign(static_cast<size_t>(columns) + 1, INF);
    s.used.assign(static_cast<size_t>(columns) + 1, 0);
    // Grow a shortest-path tree of alternating paths from row r until it
    // reaches a free column, keeping reduced costs non-negative.
    do {
      s.used[column] = 1;
      const int32_t row = s.column_row[column];
      int64_t delta = INF;
      int32_t next = 0;
      const int32_t* cost_row = cost + static_cast<int64_t>(row - 1) * columns;
      for (int32_t c = 1; c <= columns; ++c) {
        if (s.used[c]) continue;
        const int64_t reduced = cost_row[c - 1] - s.row_potential[row] - s.column_potential[c];
        if (reduced < s.shortest[c]) {
          s.shortest[c] = reduced;
          s.previous_column[c] = column;
        }
        if (s.shortest[c] < delta) {
          delta = s.shortest[c];
          next = c;
        }
      }
      for (int32_t c = 0; c <= columns; ++c) {
        if (s.used[c]) {
          s.row_potential[s.column_row[c]] += delta;
          s.column_potential[c] -= delta;
        } else {
          s.shortest[c] -= delta;
        }
      }
      column = next;
    } while (s.column_row[column] != 0);
    // Flip the path back to the start.
    do {
      const int32_t previous = s.previous_column[column];
      s.column_row[column] = s.column_row[previous];
      column = previous;
    } while (column != 0);
  }
  int64_t total = 0;
  for (int32_t c = 1; c <= columns; ++c) {
    const int32_t row = s.column_row[c];
    if (row != 0) {
      row_to_column[row - 1] = c - 1;
      total += cost[static_cast<int64_t>(row - 1) * columns + (c - 1)];
    }
  }
  return total;
}

}  // namespace grix
