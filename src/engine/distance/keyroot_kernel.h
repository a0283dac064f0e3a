// The kernel: the forest-distance recurrence over one pair of subtrees.
//
// It is written once, as a template, and instantiated for each cost model the
// engine runs:
//   - the cost type: 32-bit ints, or doubles (fractional costs, +infinity);
//   - delete and insert costs: 1 each (UnitIndel, folded into constants), or
//     one per node (NodeIndel);
//   - the matrices: IntMatrix (rows as separate vectors, as GRIX_CPU's entry
//     functions hold them) or FlatMatrix (one row-major allocation), reached
//     through row_of.
// Each combination is the same source compiled with other types, so a fix or
// a speed-up here reaches every caller.

#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <vector>

#include "shared/stopping.h"
#include "tree_edit_distance.h"

namespace grix {

inline int32_t* row_of(IntMatrix& matrix, int32_t r) { return matrix[r].data(); }
inline const int32_t* row_of(const IntMatrix& matrix, int32_t r) { return matrix[r].data(); }
template <typename T>
T* row_of(FlatMatrix<T>& matrix, int32_t r) { return matrix.row(r); }
template <typename T>
const T* row_of(const FlatMatrix<T>& matrix, int32_t r) { return matrix.row(r); }
template <typename T>
const T* row_of(const MatrixView<T>& matrix, int32_t r) { return matrix.row(r); }

// One pair's rectangle of a flat scratch matrix, laid out on its own: row l
// starts (l - x) * stride cells into the block and cell k sits k - y cells
// into the row, so the kernel's absolute ids still index it. A pair of
// subtrees of a few hundred nodes then reads and writes one contiguous block
// instead of a slice of every row of an (n1 + 1) x (n2 + 1) matrix, each row
// on a page of its own.
template <typename T>
struct PairWindow {
  T* values;
  int32_t x;
  int32_t y;
  int32_t stride;
};
template <typename T>
T* row_of(const PairWindow<T>& window, int32_t r) {
  return window.values + static_cast<ptrdiff_t>(r - window.x) * window.stride - window.y;
}

// The scratch the kernel runs the pair (x, y) in: a window of a flat matrix
// (which must hold (rx - x + 2) * (ry - y + 2) cells), or GRIX_CPU's row
// vectors as they are.
template <typename T>
PairWindow<T> pair_scratch(FlatMatrix<T>& matrix, int32_t x, int32_t y, int32_t ry) {
  return {matrix.row(0), x, y, ry - y + 2};
}
inline IntMatrix& pair_scratch(IntMatrix& matrix, int32_t, int32_t, int32_t) { return matrix; }

// A matrix read in another numbering of its rows and columns: cell (r, c)
// is values[rows[r]][columns[c]]. The path strategy runs the kernel in the
// mirrored trees' ids over matrices kept in the given ids.
template <typename T>
struct PermutedRow {
  T* values;
  const int32_t* columns;
  T& operator[](int32_t c) const { return values[columns[c]]; }
};
template <typename T>
struct PermutedMatrix {
  T* values;
  int32_t stride;
  const int32_t* rows;
  const int32_t* columns;
};
template <typename T>
PermutedRow<T> row_of(const PermutedMatrix<T>& matrix, int32_t r) {
  return {matrix.values + static_cast<size_t>(matrix.rows[r]) * static_cast<size_t>(matrix.stride), matrix.columns};
}

// Renames read through the nodes' label codes rather than from an n1 x n2
// matrix: the matrix costs as many writes and as much memory as the subtree
// distances, while most of its cells are read once or never (a star's leaf
// pairs), so a pair whose renames depend on labels only reads them here.
// Cell (i, j) is table[codes1[i] * columns + codes2[j]], or with no table
// 0 for equal codes and 1 otherwise: the values fill_rename_from_codes
// writes, so the kernel forms the same sums.
template <typename Cost>
struct CodeTableRename {
  const int32_t* codes1;
  const int32_t* codes2;
  const Cost* table;
  int32_t columns;
};
template <typename Cost>
struct CodeTableRow {
  const Cost* table_row;
  const int32_t* codes2;
  Cost operator[](int32_t k) const { return table_row[codes2[k]]; }
};
template <typename Cost>
CodeTableRow<Cost> row_of(const CodeTableRename<Cost>& costs, int32_t r) {
  return {costs.table + static_cast<size_t>(costs.codes1[r]) * static_cast<size_t>(costs.columns), costs.codes2};
}

template <typename Cost>
struct CodeEqualityRename {
  const int32_t* codes1;
  const int32_t* codes2;
};
template <typename Cost>
struct CodeEqualityRow {
  int32_t code1;
  const int32_t* codes2;
  Cost operator[](int32_t k) const { return static_cast<Cost>(codes2[k] != code1); }
};
template <typename Cost>
CodeEqualityRow<Cost> row_of(const CodeEqualityRename<Cost>& costs, int32_t r) {
  return {costs.codes1[r], costs.codes2};
}

// Renames read through the codes for a distance alone, where no one reads
// the subtree distance of two leaves but the kernel and the leaf groups: it
// is min(rename, delete + insert), formed from the codes as cheaply as it is
// read from memory, so those cells are never stored. Two bushy trees have
// leaves1 x leaves2 of them (all but n1 + n2 of a star pair's cells), and
// writing them, and faulting in their pages, costs more than the rest of the
// pair. A schedule that runs with these renames writes no leaf pair's cell
// but (0, 0) when both trees are single nodes.
template <typename Costs>
struct LeafPairsOnRead : Costs {};
template <typename Costs>
struct ComputesLeafPairsOnRead : std::false_type {};
template <typename Costs>
struct ComputesLeafPairsOnRead<LeafPairsOnRead<Costs>> : std::true_type {};

// Deleting or inserting any node costs 1.
struct UnitIndel {
  static constexpr int32_t deletion(int32_t) { return 1; }
  static constexpr int32_t insertion(int32_t) { return 1; }
};

// One delete cost per node of tree 1 and one insert cost per node of tree 2,
// in the numbering the schedule runs on (mirrored ids when the pair is).
template <typename Cost>
struct NodeIndel {
  const Cost* delete_costs;
  const Cost* insert_costs;
  Cost deletion(int32_t l) const { return delete_costs[l]; }
  Cost insertion(int32_t k) const { return insert_costs[k]; }
};

// For pair indices visited in ascending order, returns j = p mod K2 and
// advances i to p / K2. `i` and `row_start` (always i * K2) carry over from
// one call to the next, so walking a bucket needs no division per pair.
inline int32_t advance_to_pair(int32_t p, int32_t keyroot_count2, int32_t& i, int32_t& row_start) {
  while (p - row_start >= keyroot_count2) {
    row_start += keyroot_count2;
    ++i;
  }
  return p - row_start;
}

namespace kernel_detail {

// Rows of a narrow rectangle are short, scattered streams that the hardware
// prefetcher does not pick up, so each row would wait on memory for its
// subtree distances and its matched-forest row. Requesting the next row's
// cache lines while this row is computed hides that wait. Wide rows are left
// to the hardware. The stride may skip the row's last line when y is not
// line-aligned; fetching it as well measured slower, so it is left out.
constexpr int32_t CACHE_LINE_BYTES = 64;
constexpr int32_t MAX_PREFETCHED_LINES = 32;

template <typename Cost>
inline void prefetch_next_row(const Cost* tree_row, const Cost* after_subtree, int32_t y, int32_t ry) {
  constexpr int32_t per_line = CACHE_LINE_BYTES / static_cast<int32_t>(sizeof(Cost));
  const int32_t last = std::min(ry + 1, y + 16 * MAX_PREFETCHED_LINES);
  for (int32_t k = y; k <= last; k += per_line) {
    __builtin_prefetch(tree_row + k);
    __builtin_prefetch(after_subtree + k);
  }
}

// Rows reached through a column map (see row_of below) are scattered: the
// next row is left to the hardware.
template <typename Cost, typename T>
inline void prefetch_next_row(const PermutedRow<T>&, const Cost*, int32_t, int32_t) {}

// Reading the stop flag before every row costs 1-2 % where rows are short, so
// the kernel is compiled with and without the read: calls without a flag, and
// pairs too small to delay a stop, get the copy that never reads it.
constexpr int64_t WATCHED_PAIR_CELLS = int64_t{1} << 18;

// The row of a leaf l when leaf pairs are not stored (LeafPairsOnRead): the
// forest right of l's subtree is `below`, and against a leaf k, or against k
// on the rightmost path of y when l is on that of x, the match is l renamed
// into k. On both paths the cell is the subtree distance and is stored.
template <typename Cost, typename Indel, typename CostRow, typename Row, typename TreeRow>
inline void leaf_row(int32_t y, int32_t ry, bool on_path, const int32_t* leaf2, const CostRow& cost_row,
                     const Indel& indel, Cost delete_l, const Cost* below, Row row, TreeRow tree_row, Cost left) {
  for (int32_t k = ry; k >= y; --k) {
    const Cost insert_k = indel.insertion(k);
    const bool both_paths = on_path && leaf2[k] == ry;
    if (leaf2[k] == k || both_paths) {
      const Cost rename = std::min<Cost>(cost_row[k], delete_l + insert_k);
      left = std::min({rename + below[k + 1], below[k] + delete_l, left + insert_k});
      if (both_paths) tree_row[k] = left;
    } else {
      left = std::min({below[leaf2[k] + 1] + tree_row[k], below[k] + delete_l, left + insert_k});
    }
    row[k] = left;
  }
}

template <typename Cost, bool watch_stop, typename Indel, typename Costs, typename Scratch, typename Matrix>
void subtree_pair_rows(int32_t x, int32_t y, const std::vector<int32_t>& rightmost_leaf1,
                       const std::vector<int32_t>& rightmost_leaf2, const Costs& cost_matrix,
                       const Indel& indel, Scratch& forest_dist, Matrix& tree_dist,
                       const StopFlag* stop) {
  const int32_t rx = rightmost_leaf1[x];
  const int32_t ry = rightmost_leaf2[y];
  if (x == rx && y == ry) {
    // Two single nodes, the most common pair in bushy trees: rename them, or
    // delete one and insert the other. No scratch cell is needed.
    row_of(tree_dist, x)[y] =
        std::min<Cost>(row_of(cost_matrix, x)[y], indel.deletion(x) + indel.insertion(y));
    return;
  }
  const int32_t* const leaf2 = rightmost_leaf2.data();

  // forest_dist[l][k] is the distance between the forests l..rx and k..ry;
  // row rx+1 and column ry+1 stand for the empty forest, so the empty row
  // holds the cost of inserting k..ry.
  Cost* const empty_row = row_of(forest_dist, rx + 1);
  Cost inserted = 0;
  empty_row[ry + 1] = 0;
  for (int32_t k = ry; k >= y; --k) {
    inserted += indel.insertion(k);
    empty_row[k] = inserted;
  }

  Cost deleted = 0;  // the cost of deleting l..rx
  for (int32_t l = rx; l >= x; --l) {
    if constexpr (watch_stop) {
      if (stop->load(std::memory_order_relaxed)) return;
    }
    Cost* const row = row_of(forest_dist, l);
    const Cost* const below = row_of(forest_dist, l + 1);  // l deleted
    // The forest that remains once the whole subtree of l has been matched.
    const Cost* const after_subtree = row_of(forest_dist, rightmost_leaf1[l] + 1);
    const auto tree_row = row_of(tree_dist, l);
    if (l > x) {
      prefetch_next_row<Cost>(row_of(tree_dist, l - 1),
                              row_of(forest_dist, rightmost_leaf1[l - 1] + 1), y, ry);
    }
    const Cost delete_l = indel.deletion(l);
    deleted += delete_l;
    // `left` is row[k + 1] (k inserted), carried in a register along the row.
    Cost left = deleted;
    row[ry + 1] = left;

    if constexpr (ComputesLeafPairsOnRead<Costs>::value) {
      if (rightmost_leaf1[l] == l) {
        leaf_row<Cost>(y, ry, l == rx, leaf2, row_of(cost_matrix, l), indel, delete_l, below, row, tree_row,
                       left);
        continue;
      }
    }
    if (rightmost_leaf1[l] != rx) {
      // Off the rightmost path of x: the subtree of l is never the whole
      // forest, so every cell takes the subtree distance from a lower level.
      for (int32_t k = ry; k >= y; --k) {
        const Cost match = after_subtree[leaf2[k] + 1] + tree_row[k];
        left = std::min(std::min<Cost>(below[k] + delete_l, match), left + indel.insertion(k));
        row[k] = left;
      }
      continue;
    }
    // On the rightmost path: where k is on the rightmost path of y as well,
    // both forests are whole subtrees and their roots may be renamed. A
    // rename dearer than deleting one node and inserting the other acts as
    // that sum.
    const auto cost_row = row_of(cost_matrix, l);
    for (int32_t k = ry; k >= y; --k) {
      const Cost insert_k = indel.insertion(k);
      if (leaf2[k] == ry) {
        const Cost rename = std::min<Cost>(cost_row[k], delete_l + insert_k);
        left = std::min({rename + below[k + 1], below[k] + delete_l, left + insert_k});
        tree_row[k] = left;
      } else {
        left = std::min({after_subtree[leaf2[k] + 1] + tree_row[k], below[k] + delete_l, left + insert_k});
      }
      row[k] = left;
    }
  }
}

}  // namespace kernel_detail

// Runs the forest-distance recurrence over the subtree of x against the
// subtree of y in `forest_dist`, a scratch matrix of at least (n1+1) x (n2+1)
// indexed by absolute node ids, and writes tree_dist[l][k] for l on the
// rightmost path of x and k on the rightmost path of y. It reads the
// tree_dist cells of every other node pair of the two subtrees, so those must
// be final. Only the pair's own rectangle x..rx+1 by y..ry+1 of forest_dist is
// written and read, so the matrix is never cleared between pairs; when x and y
// are both leaves no scratch cell is written at all. x and y need not be
// keyroots: for any subtree pair whose cells are final, the cells it writes get
// the values they already hold, and the rectangle holds the pair's forest
// distances (the edit mapping walks it). Allocates nothing and throws nothing.
// With a `stop` flag (may be null), the flag is read before each row of a
// large pair, and once it is set the kernel returns with the pair unfinished:
// one pair of two large trees can take seconds, and a stop must not wait. A
// caller that passes a flag checks it afterwards and discards the results.
template <typename Cost, typename Indel, typename Costs, typename Scratch, typename Matrix>
void compute_subtree_pair(int32_t x, int32_t y, const std::vector<int32_t>& rightmost_leaf1,
                          const std::vector<int32_t>& rightmost_leaf2, const Costs& cost_matrix,
                          const Indel& indel, Scratch& forest_dist, Matrix& tree_dist,
                          const StopFlag* stop) {
  // Small pairs end within a millisecond; the flag is read between them.
  const int64_t cells =
      static_cast<int64_t>(rightmost_leaf1[x] - x + 2) * (rightmost_leaf2[y] - y + 2);
  if (stop == nullptr || cells < kernel_detail::WATCHED_PAIR_CELLS) {
    kernel_detail::subtree_pair_rows<Cost, false>(x, y, rightmost_leaf1, rightmost_leaf2, cost_matrix,
                                                  indel, forest_dist, tree_dist, stop);
  } else {
    kernel_detail::subtree_pair_rows<Cost, true>(x, y, rightmost_leaf1, rightmost_leaf2, cost_matrix,
                                                 indel, forest_dist, tree_dist, stop);
  }
}

}  // namespace grix
