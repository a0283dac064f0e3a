// The bounds and the bounded distance behind the similarity join.
//
// Every function here costs label-equality rename costs (0 for equal codes,
// 1 otherwise; deleting or inserting a node costs 1), except full_distance,
// which also takes a table of costs between codes. Each lower bound states
// why it holds beside its definition; the tests check each against exact
// distances.

#pragma once

#include <cstdint>
#include <vector>

#include "distance/band_kernel.h"
#include "distance/leaf_keyroots.h"
#include "tree_edit_distance.h"

namespace grix {

// The codes of a tree in post-order (pre-order is `codes` itself).
std::vector<int32_t> postorder_codes(const PreparedTree& tree);

// Lower bound: max(n1, n2) - |codes1 ∩ codes2| (multisets). Both inputs must
// be sorted ascending; returns the size of the multiset intersection.
int32_t common_count(const std::vector<int32_t>& sorted1, const std::vector<int32_t>& sorted2);

// Lower bound: the unit-cost string edit distance of two label sequences, when
// it is at most `bound`; bound + 1 otherwise. Time O((n + m) * bound). `row`
// is scratch.
int32_t bounded_sequence_distance(const int32_t* a, int32_t n, const int32_t* b, int32_t m,
                                  int32_t bound, std::vector<int32_t>& row);

// Upper bound: the cost of a greedy top-down mapping (each matched pair's
// children aligned by a sequence alignment on labels and subtree sizes).
// Time O(sum over matched pairs of degree1 * degree2).
struct UpperBoundScratch {
  std::vector<int32_t> table, children1, children2;
  std::vector<std::pair<int32_t, int32_t>> stack;
};
int32_t top_down_upper_bound(const PreparedTree& tree1, const PreparedTree& tree2,
                             UpperBoundScratch& scratch);

// Scratch of the distances below, grown to the largest pair and reused.
struct DistanceScratch {
  BandScratch band;
  FlatMatrix<int32_t> rename, tree_dist, forest_dist;
  KeyrootSplit split1, split2;
  LeafGroupScratch<int32_t> leaf_groups;
};

// The distance when it is at most k, else k + 1, in the cheaper orientation.
// Reads `stop` between keyroots and throws OperationStopped once it is set.
int32_t bounded_tree_distance(const OrientedTree& tree1, const OrientedTree& tree2, int32_t k,
                              DistanceScratch& scratch, const StopFlag* stop);

// The banded kernel alone, on one orientation (for tests and measurements).
int32_t banded_distance(const PreparedTree& tree1, const PreparedTree& tree2, int32_t k,
                        DistanceScratch& scratch, const StopFlag* stop);

// The exact distance in the cheaper orientation, deleting and inserting at 1;
// `label_costs` null or without renames: label equality.
int32_t full_distance(const OrientedTree& tree1, const OrientedTree& tree2,
                      const LabelCosts<int32_t>* label_costs, DistanceScratch& scratch, const StopFlag* stop);

}  // namespace grix
