// Costs of the grix entry points: checking what the caller gave, and turning
// it into the rename matrix and per-node delete and insert costs of the
// orientation that the schedule runs.

#pragma once

#include <cstdint>
#include <vector>

#include "tree_edit_distance.h"

namespace grix {

// Rename costs for codes1 x codes2 into `rename` (reshaped to that size):
// table[code1 * table_columns + code2], or with a null table 0 for equal
// codes and 1 otherwise. Reads `stop` (may be null) every few hundred rows.
template <typename Cost>
void fill_rename_from_codes(const std::vector<int32_t>& codes1, const std::vector<int32_t>& codes2,
                            const Cost* table, int32_t table_columns, FlatMatrix<Cost>& rename,
                            const StopFlag* stop);

// The same from a batch's label costs (null: label equality), by their
// table between codes or between label classes.
template <typename Cost>
void fill_rename_from_label_costs(const std::vector<int32_t>& codes1, const std::vector<int32_t>& codes2,
                                  const LabelCosts<Cost>* costs, FlatMatrix<Cost>& rename, const StopFlag* stop);

// Throws std::invalid_argument unless every code below `code_count` has a
// class and every class lies inside the rows x columns table of `costs`.
template <typename Cost>
void check_label_classes(const LabelCosts<Cost>& costs, int32_t code_count);

// The lowest rename cost that `costs` can give (0 for label equality).
template <typename Cost>
Cost lowest_label_rename(const LabelCosts<Cost>& costs);

// Per-node costs from per-code costs: out[i] = by_code[codes[i]], or 1 for
// every node when by_code is empty.
template <typename Cost>
void fill_node_costs(const std::vector<int32_t>& codes, const std::vector<Cost>& by_code,
                     std::vector<Cost>& out);

// Throws std::invalid_argument naming `what` and the index ([k], or [row][column]
// when `columns` is positive) unless every cost is a number, and at least 0
// when `non_negative`. NaN and -infinity are never allowed; +infinity is.
template <typename Cost>
void check_cost_values(const Cost* values, size_t count, int32_t columns, const char* what,
                       bool non_negative);

// For int32 costs: throws std::invalid_argument unless every sum the kernel
// forms stays in the 32-bit range. A distance is at most the cost of deleting
// every node of one tree and inserting every node of the other
// (`indel_total`), and at least (min(n1, n2) + 1) times the lowest rename
// when that is negative. Doubles need no such check.
void check_int32_sums(int64_t indel_total, int64_t lowest_rename, int64_t max_renames);

}  // namespace grix
