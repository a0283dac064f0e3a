// The dynamic programme: keyroot pairs grouped into levels, and the kernel
// that computes one pair.
//
// A keyroot pair (x, y) is one keyroot of each tree. compute_keyroot_pair runs
// the forest-distance recurrence over the subtree of x against the subtree of
// y and writes tree_dist[l][k] for l on the rightmost path of x and k on the
// rightmost path of y. Each tree_dist cell is written by exactly one pair, and
// a pair reads only cells written by pairs of a strictly lower level, so the
// pairs of one level are independent of each other.

#pragma once

#include <cstdint>
#include <vector>

#include "parallel_levels.h"
#include "tree_edit_distance.h"

namespace grix {

// Below this many nodes in both trees together, every pair runs on the
// calling thread: starting threads would cost more than it saves.
constexpr int32_t PARALLEL_MIN_NODES = 300;

// num_threads, or 1 when fewer than two are requested or the trees are small.
int32_t effective_worker_count(int32_t num_threads, int32_t n1, int32_t n2);

// For each position of `keyroots`: one more than the largest level of the
// keyroots strictly inside its subtree, 0 when there are none.
std::vector<int32_t> compute_keyroot_levels(const std::vector<int32_t>& rightmost_leaf,
                                            const std::vector<int32_t>& keyroots);

// pair_level[i * K2 + j] = levels1[i] + levels2[j]. This and the buckets
// take about a second for trees of 16,000 nodes, so both read `stop` (may be
// null) as they go and throw OperationStopped once it is set.
std::vector<int32_t> compute_pair_levels(const std::vector<int32_t>& levels1,
                                         const std::vector<int32_t>& levels2,
                                         const StopFlag* stop = nullptr);

// One list of pair indices per level 0..max_level, each in ascending order.
std::vector<std::vector<int32_t>> build_level_buckets(const std::vector<int32_t>& pair_level,
                                                      const StopFlag* stop = nullptr);

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

// The kernel. Runs the forest-distance recurrence over the subtree of x
// against the subtree of y in `forest_dist`, a scratch matrix of at least
// (n1+1) x (n2+1) indexed by absolute node ids, and writes tree_dist[l][k] for
// l on the rightmost path of x and k on the rightmost path of y. It reads the
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
void compute_subtree_pair(int32_t x, int32_t y,
                          const std::vector<int32_t>& rightmost_leaf1,
                          const std::vector<int32_t>& rightmost_leaf2,
                          const IntMatrix& cost_matrix,
                          IntMatrix& forest_dist,
                          IntMatrix& tree_dist,
                          const StopFlag* stop);

// The pair of keyroots1[i] and keyroots2[j].
inline void compute_keyroot_pair(int32_t i, int32_t j,
                                 const std::vector<int32_t>& rightmost_leaf1,
                                 const std::vector<int32_t>& keyroots1,
                                 const std::vector<int32_t>& rightmost_leaf2,
                                 const std::vector<int32_t>& keyroots2,
                                 const IntMatrix& cost_matrix,
                                 IntMatrix& forest_dist,
                                 IntMatrix& tree_dist,
                                 const StopFlag* stop) {
  compute_subtree_pair(keyroots1[i], keyroots2[j], rightmost_leaf1, rightmost_leaf2, cost_matrix,
                       forest_dist, tree_dist, stop);
}

// Throws OperationStopped once `stop` (which may be null) has been set.
inline void throw_if_stopped(const StopFlag* stop) {
  if (stop != nullptr && stop->load(std::memory_order_relaxed)) throw OperationStopped();
}

// A rows x columns matrix of `value`, reading `stop` (may be null) every few
// hundred rows: the page faults of a large matrix take about half a second a
// gigabyte, and a stop must not wait for several of them.
IntMatrix filled_matrix(int32_t rows, int32_t columns, int32_t value, const StopFlag* stop);

// Fills every cell of tree_dist (n1 x n2) by running all keyroot pairs level
// by level. Levels with at least worker_count pairs run on worker threads,
// started through `start_worker`. With a `stop` flag, the flag is read between
// the steps of setting up, between pairs and within them; once it is set, the
// workers leave the pair at hand and the schedule throws OperationStopped
// after joining them. Without one (the GRIX_CPU functions), nothing is read.
void run_keyroot_schedule(const std::vector<int32_t>& rightmost_leaf1,
                          const std::vector<int32_t>& keyroots1,
                          const std::vector<int32_t>& rightmost_leaf2,
                          const std::vector<int32_t>& keyroots2,
                          const IntMatrix& cost_matrix,
                          IntMatrix& tree_dist,
                          int32_t n1, int32_t n2, int32_t num_threads,
                          WorkerStarter start_worker = start_worker_thread,
                          const StopFlag* stop = nullptr);

// The same on the calling thread alone, without levels: the pairs in
// row-major order, which needs no allocation at all. For many small pairs,
// where building levels would cost more than the pairs themselves.
void run_keyroot_pairs_in_order(const std::vector<int32_t>& rightmost_leaf1,
                                const std::vector<int32_t>& keyroots1,
                                const std::vector<int32_t>& rightmost_leaf2,
                                const std::vector<int32_t>& keyroots2,
                                const IntMatrix& cost_matrix,
                                IntMatrix& forest_dist,
                                IntMatrix& tree_dist, const StopFlag* stop);

}  // namespace grix
