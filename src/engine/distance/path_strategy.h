// Path strategies: a root-to-leaf path chosen for every pair of subtrees.
//
// The keyroot schedule decomposes every subtree of both trees along the same
// side. A tree whose spine turns from side to side is bad for either side,
// and the work then grows like n^4. Choosing, for each pair of subtrees
// (v, w), a path in the subtree of v or in the subtree of w (its leftmost,
// rightmost or heavy path), and computing the pair from the distances of the
// subtrees that hang off that path, bounds the work by O(n^3) and is never
// worse than either fixed side in the number of subproblems.
//
// The distance then runs in two steps:
//   1. plan_paths: for every pair, the path whose whole decomposition costs
//      least, by the recurrence
//        cost(v, w) = min over paths P of
//                       sum of cost(u, w) over subtrees u hanging off P in v
//                       + the cost of the single-path function along P
//      (and likewise for paths in w). Time and memory O(n1 * n2).
//   2. The pairs in the order that recurrence implies: a pair runs once the
//      subtrees hanging off its path are done. The single-path functions:
//      - rightmost path: the keyroot kernel with one keyroot on the path side
//        and every keyroot of the other subtree;
//      - leftmost path: the same kernel in the mirrored trees' ids;
//      - heavy path: the forests of the path side grow one node at a time
//        from the bottom of the path, against every forest of the other
//        subtree that removing leftmost and rightmost roots can give.
//
// Every subtree distance lands in one n1 x n2 matrix in the trees' given ids.

#pragma once

#include <cstdint>
#include <vector>

#include "tree_edit_distance.h"

namespace grix {

// The measured cost of one unit of each kind of work, in seconds on the
// machine the engine was tuned on. Only their ratios steer choices.
struct StrategyWeights {
  double keyroot_cell;     // one cell of the keyroot schedule
  double keyroot_pair;     // one pair of inner keyroots (a kernel call)
  double leaf_group_cell;  // one cell, as the kernel counts them, of a leaf keyroot against a subtree
  double leaf_pair;        // one pair of leaf keyroots (one rename)
  double right_path_cell;  // one kernel cell along a rightmost path
  double left_path_cell;   // one kernel cell in mirrored ids (scattered reads)
  double heavy_path_cell;  // one cell of the heavy-path function
  double kernel_call;      // one kernel call along a leftmost or rightmost path
  double plan_pair;        // one subtree pair of plan_paths, with the strategy's matrices
};
extern const StrategyWeights STRATEGY_WEIGHTS;

// Per-tree facts that plans and single-path functions read, in given ids.
struct PathShape {
  int32_t n = 0;
  std::vector<int32_t> size;
  std::vector<int32_t> parent;          // -1 for the root
  std::vector<int32_t> first_child_at;  // children of v: child_list[first_child_at[v] .. first_child_at[v+1])
  std::vector<int32_t> child_list;
  std::vector<int32_t> heavy_child;     // the child with the largest subtree (the first of equals); -1 for leaves
  std::vector<int32_t> heavy_length;    // nodes on the heavy path down from v
  std::vector<int32_t> mirror_id;       // v's id in the mirrored tree
  std::vector<int32_t> from_mirror_id;  // the node whose mirrored id is k
  std::vector<double> left_cells;       // sum over the left keyroots k of subtree(v) of size(k) + 1
  std::vector<double> right_cells;      // the same for right keyroots
  std::vector<int32_t> left_keyroots;   // the number of left keyroots of subtree(v)
  std::vector<int32_t> right_keyroots;  // and of right keyroots
  int32_t first_child(int32_t v) const { return child_list[first_child_at[v]]; }
  int32_t last_child(int32_t v) const { return child_list[first_child_at[v + 1] - 1]; }
  bool is_leaf(int32_t v) const { return first_child_at[v] == first_child_at[v + 1]; }
};

PathShape build_path_shape(const OrientedTree& tree);

// A path kind, and the tree that holds the path: choice = side * 3 + kind.
enum PathKind : uint8_t { LEFT_PATH = 0, RIGHT_PATH = 1, HEAVY_PATH = 2 };
enum PathSide : uint8_t { PATH_IN_FIRST = 0, PATH_IN_SECOND = 1 };

struct PathPlan {
  std::vector<uint8_t> choice;  // n1 x n2, row-major
  double cost = 0;              // the weighted cost of the whole pair, in seconds
};

// The predicted seconds of the single-path function for the path `choice`
// (side * 3 + kind) of the pair (v, w), without the subtrees hanging off it.
double single_path_seconds(const PathShape& shape1, const PathShape& shape2, int32_t v, int32_t w, int32_t choice);

// The cheapest path for every pair of subtrees. Reads `stop` every row.
PathPlan plan_paths(const PathShape& shape1, const PathShape& shape2, const StopFlag* stop);

// Prices a pair; when a plan is made, it lands in `plan` and the shapes it
// was made from in shape1 and shape2.
AlgorithmPrices price_algorithms(const OrientedTree& tree1, const OrientedTree& tree2, Algorithm algorithm,
                                 PathShape& shape1, PathShape& shape2, PathPlan& plan, const StopFlag* stop);

// The distance of a pair by a plan: fills `tree_dist` (n1 x n2, given ids).
// `rename` is n1 x n2 in given ids; delete_costs and insert_costs are per node
// in given ids, or both empty for unit costs. Uses up to num_threads threads
// for the heavy-path functions.
template <typename Cost>
void run_path_plan(const OrientedTree& tree1, const OrientedTree& tree2, const PathShape& shape1,
                   const PathShape& shape2, const PathPlan& plan, const MatrixView<Cost>& rename,
                   const std::vector<Cost>& delete_costs, const std::vector<Cost>& insert_costs,
                   int32_t num_threads, FlatMatrix<Cost>& tree_dist, const StopFlag* stop,
                   std::atomic<int64_t>* cells_done);

// Bytes a strategy run takes beyond the trees: for the memory check.
double estimate_strategy_bytes(int32_t n1, int32_t n2, int32_t worker_count, double cost_bytes);

}  // namespace grix
