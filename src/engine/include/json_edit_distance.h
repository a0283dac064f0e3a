// The JSON edit distance: JSON documents as trees whose objects are unordered.
//
// A JSON tree has four kinds of node. An object's children are its members,
// one key node each (in any order: the order does not count); a key has
// exactly one child, the member's value; an array's children are its elements
// in order; a literal (string, number, true, false, null) is a leaf. The root
// is a value (object, array or literal), never a key.
//
// The distance is the least cost of a constrained edit mapping (disjoint
// subtrees map to disjoint subtrees) in which deleting or inserting a node
// costs 1, mapping two nodes of one kind costs 0 for equal labels and 1
// otherwise, and nodes of different kinds are never mapped (a pair of them
// costs a delete and an insert). When the children of node v all fall into
// the children of node w, they are matched one to one: in order (a sequence
// edit distance) when both are arrays, and as a minimum-cost bipartite
// matching otherwise. So equal documents whose members are written in another
// order are at distance 0, and the distance is a metric.
//
// Input contract
// --------------
// A tree of n nodes is three sequences of length n, in pre-order: `parents`
// (-1 for node 0, the only root; every other parent is the previous node or
// one of its ancestors), `kinds` (JsonKind values) and `labels` (codes: two
// nodes of one kind have equal codes exactly when their labels are equal; the
// codes of the two trees of a call must come from one numbering). A tree that
// breaks the contract (a parent out of pre-order, a kind out of range, a key
// without exactly one child or outside an object, a literal with children, an
// object child that is not a key, a key at the root) is rejected with
// std::invalid_argument naming the node. The empty tree (n = 0) is allowed.
//
// Exceptions that can escape: std::invalid_argument (above), std::bad_alloc
// (a call whose matrices would not fit the memory the process can still take
// is refused before they are allocated, see memory_budget.h),
// std::system_error (a thread could not start) and OperationStopped (the stop
// flag was set). No thread outlives a call.
//
// Cost: time O(n1 * n2 * d) for d the larger number of children of a node,
// memory two n1 x n2 int matrices per pair being computed. The bounds cost
// O(n1 + n2) (after prepare_json_tree) and never allocate per pair beyond the
// caller's scratch.

#pragma once

#include <atomic>
#include <cstdint>
#include <utility>
#include <vector>

#include "tree_edit_distance.h"

namespace grix {

enum class JsonKind : int8_t { object = 0, array = 1, key = 2, literal = 3 };

// A checked JSON tree with what the distance reads again and again.
struct JsonTree {
  std::vector<int32_t> parents;
  std::vector<int8_t> kinds;
  std::vector<int32_t> labels;
  std::vector<int32_t> sizes;           // nodes in each subtree
  std::vector<int32_t> child_begin;     // children of v: children[child_begin[v] .. child_begin[v+1])
  std::vector<int32_t> children;        // in document order
  std::vector<int32_t> children_by_label;      // the same, each node's children sorted by label code
  std::vector<int32_t> smallest_children_sum;  // per child slot k of v: the k+1 smallest child sizes of v, summed
  std::vector<int64_t> sorted_labels;   // every node's label * 4 + kind, ascending

  int32_t size() const { return static_cast<int32_t>(parents.size()); }
  int32_t child_count(int32_t v) const { return child_begin[v + 1] - child_begin[v]; }
};

// Checks a tree against the contract above and prepares it; O(n log n).
// `what` names the tree in messages ("t1", "trees[3]").
JsonTree prepare_json_tree(std::vector<int32_t> parents, std::vector<int8_t> kinds, std::vector<int32_t> labels,
                           const char* what = "tree");

// The exact JSON edit distance between a and b (the root of each).
int32_t json_edit_distance(const JsonTree& a, const JsonTree& b, const StopFlag* stop = nullptr);

// A mapping of least cost: the distance and the mapped pairs (node of a, node
// of b), sorted by the node of a. Mapped pairs are of one kind; the rest of
// each tree is deleted or inserted.
struct JsonMapping {
  int32_t distance = 0;
  std::vector<std::pair<int32_t, int32_t>> pairs;
};
JsonMapping json_edit_mapping(const JsonTree& a, const JsonTree& b, const StopFlag* stop = nullptr);

// Lower bound: max(n1, n2) less the common part of the two label multisets
// (each zero-cost pair is one shared label; it is never below |n1 - n2|).
int32_t json_label_lower_bound(const JsonTree& a, const JsonTree& b);

// Upper bound: the cost of a top-down mapping that maps the roots when their
// kinds agree, an object's members to the other object's members with equal
// keys, and array elements at equal positions; everything else is deleted or
// inserted. Equal to the distance for equal documents (0), O(n1 + n2).
int32_t json_greedy_upper_bound(const JsonTree& a, const JsonTree& b);

// Every pair of a batch, as PairLayout describes it (tree_edit_distance.h),
// on `workers` threads. Adds finished pairs to `pairs_done` (may be null).
void compute_json_batch(const std::vector<JsonTree>& trees_a, const std::vector<JsonTree>& trees_b,
                        PairLayout layout, const std::vector<int32_t>& first, const std::vector<int32_t>& second,
                        int32_t workers, int32_t* out, const StopFlag* stop, std::atomic<int64_t>* pairs_done);

// The similarity join: every pair i < j of `trees` at distance <= threshold,
// sorted by (i, j). Candidates come from the size difference and a prefix
// index over the label multisets; the label bound prunes, the greedy upper
// bound decides a pair when it meets the lower bound (or, without
// exact_distances, when it is within the threshold: distance -1), and the
// rest are computed. `trees_done` counts finished trees for progress reports.
struct JsonJoinCounts {
  int64_t pairs = 0;                 // all pairs i < j
  int64_t pruned_by_size = 0;        // not paired: size difference above the threshold
  int64_t pruned_by_labels = 0;      // label bound above the threshold (most never touched)
  int64_t accepted_by_upper_bound = 0;
  int64_t exact_by_bounds = 0;
  int64_t verified = 0;
  int64_t failed_verification = 0;
};
struct JsonJoinMatches {
  std::vector<int32_t> first, second, distance;
  JsonJoinCounts counts;
};
JsonJoinMatches json_join(const std::vector<JsonTree>& trees, int32_t threshold, bool exact_distances,
                          int32_t workers, const StopFlag* stop, std::atomic<int64_t>* trees_done);

}  // namespace grix
