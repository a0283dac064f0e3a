// Similarity joins and nearest-neighbour search over prepared trees.
//
// A join finds every pair of trees at distance at most a threshold tau, each
// with its exact distance; nearest finds the k closest corpus trees of each
// query. Neither walks all pairs when the costs allow better:
//
//   1. Trees are sorted by size, and a tree is paired only with trees whose
//      size differs by at most tau (when no rename cost is negative).
//   2. With label-equality costs, an inverted index over the trees' label
//      multisets (prefix filtering) touches only pairs that share enough
//      labels; the rest are never looked at.
//   3. Cheap lower bounds rule out more pairs: the label multiset bound and the
//      string edit distances of the pre-order and post-order label sequences.
//   4. A greedy top-down mapping gives an upper bound. When it equals a lower
//      bound, it is the distance; otherwise, when it is within tau, the pair
//      is accepted (or, for exact distances, verified in a narrower band).
//   5. The rest are verified by a distance restricted to the band
//      |i - j| <= tau of pre-order ids, which is exact when the distance is at
//      most tau and reports "more than tau" otherwise.
//
// With rename costs between labels (LabelCosts with renames), the label bounds
// are off, every candidate's distance is computed in full, and the size bound
// holds only when no cost is negative (otherwise every pair is a candidate).
//
// Threads: every call runs on `workers` threads, each with scratch of its own,
// all joined before it returns or throws. The stop flag is read between trees
// and inside each distance; once set, the call throws OperationStopped.

#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "tree_edit_distance.h"

namespace grix {

// How many pairs each stage removed or decided. A pair of the join (or a
// query-corpus pair of nearest) is counted by exactly one of the entries from
// pruned_by_size to verified; `pairs` is their sum.
struct JoinCounts {
  int64_t pairs = 0;
  int64_t pruned_by_size = 0;       // size difference above the threshold
  int64_t pruned_by_labels = 0;     // too few common labels (most never touched)
  int64_t pruned_by_preorder = 0;   // pre-order label sequences too far apart
  int64_t pruned_by_postorder = 0;  // post-order label sequences too far apart
  int64_t accepted_by_upper_bound = 0;  // within tau by a greedy mapping, not verified
  int64_t exact_by_bounds = 0;       // the greedy mapping costs a lower bound: exact
  int64_t verified = 0;              // distance computed (bounded or in full)
  int64_t failed_verification = 0;   // of those, the ones above the threshold
};

// Matches (first[k], second[k]) with first < second (indices as given) at
// distance[k], sorted by (first, second). distance is -1 for pairs accepted by
// the upper bound without computing their distance.
struct JoinMatches {
  std::vector<int32_t> first, second, distance;
  JoinCounts counts;
};

// The trees sorted by size with their label index, built once for one
// threshold and any number of probes (shared read-only by all workers).
struct JoinIndex;

// Builds the index. `label_costs` null or without renames: label equality
// (the label index and bounds are on); its delete and insert costs are not
// read (each costs 1). A negative threshold matches nothing
// unless rename costs are negative. Throws std::invalid_argument for a cost
// table that does not cover the label codes or whose costs are so negative
// that a distance could leave the 32-bit range.
std::shared_ptr<const JoinIndex> build_join_index(std::vector<OrientedTree> trees, int32_t threshold,
                                                  const LabelCosts<int32_t>* label_costs);

// The trees of an index, as given.
const std::vector<OrientedTree>& join_index_trees(const JoinIndex& index);

// The label index of an index built under label equality (empty otherwise),
// flat: what the build derives from the trees at a cost that grows with the
// corpus (tokenising and ranking every label), so that another process can
// restore the index from its trees and these without building it again.
struct JoinLabelIndex {
  std::vector<int32_t> tokens;      // by size position, one token rank per node, ascending
  std::vector<int64_t> list_start;  // inverted lists: one more than there are token ranks
  std::vector<int32_t> entry_position, entry_offset;
};

JoinLabelIndex join_label_index(const JoinIndex& index);

// The index that build_join_index(trees, threshold, label_costs) built, with
// its label index taken from `labels` instead of computed. Throws
// std::invalid_argument for label parts that do not fit the trees (a count,
// a token rank or a position out of range), and whatever build_join_index
// throws for the costs.
std::shared_ptr<const JoinIndex> restore_join_index(std::vector<OrientedTree> trees, int32_t threshold,
                                                    const LabelCosts<int32_t>* label_costs,
                                                    JoinLabelIndex labels);

// Joins the trees at sorted positions [begin, end) with every tree before
// them in size order: over begin = 0, end = size, that is every pair once.
// Splitting [0, size) into ranges splits the join into independent tasks.
// `exact_distances` false accepts pairs whose upper bound is within the
// threshold without computing their distance. `probes_done` (may be null)
// counts finished positions, for progress reports.
JoinMatches run_join(const JoinIndex& index, int64_t begin, int64_t end, bool exact_distances,
                     int32_t workers, const StopFlag* stop, std::atomic<int64_t>* probes_done);

// The k nearest corpus trees of each query under label-equality costs,
// ordered by (distance, corpus index); index and distance are
// queries x k, row-major, with -1 in both where fewer than k corpus trees lie
// within max_distance (negative: no limit). Every distance is exact.
struct NearestMatches {
  std::vector<int32_t> index, distance;
  JoinCounts counts;
};

NearestMatches find_nearest(const std::vector<OrientedTree>& queries,
                            const std::vector<OrientedTree>& corpus, int32_t k,
                            int32_t max_distance, int32_t workers, const StopFlag* stop,
                            std::atomic<int64_t>* queries_done);

}  // namespace grix
