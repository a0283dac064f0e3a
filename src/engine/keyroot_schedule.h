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

// pair_level[i * K2 + j] = levels1[i] + levels2[j].
std::vector<int32_t> compute_pair_levels(const std::vector<int32_t>& levels1,
                                         const std::vector<int32_t>& levels2);

// One list of pair indices per level 0..max_level, each in ascending order.
std::vector<std::vector<int32_t>> build_level_buckets(const std::vector<int32_t>& pair_level);

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

// Computes the pair of keyroots1[i] and keyroots2[j] in `forest_dist`, a
// (n1+1) x (n2+1) scratch matrix indexed by absolute node ids, and writes the
// pair's tree_dist cells. Only the pair's own rectangle of forest_dist is
// written and read, so the matrix is never cleared between pairs. Allocates
// nothing and throws nothing.
void compute_keyroot_pair(int32_t i, int32_t j,
                          const std::vector<int32_t>& rightmost_leaf1,
                          const std::vector<int32_t>& keyroots1,
                          const std::vector<int32_t>& rightmost_leaf2,
                          const std::vector<int32_t>& keyroots2,
                          const IntMatrix& cost_matrix,
                          IntMatrix& forest_dist,
                          IntMatrix& tree_dist);

// Fills every cell of tree_dist (n1 x n2) by running all keyroot pairs level
// by level. Levels with at least worker_count pairs run on worker threads,
// started through `start_worker`.
void run_keyroot_schedule(const std::vector<int32_t>& rightmost_leaf1,
                          const std::vector<int32_t>& keyroots1,
                          const std::vector<int32_t>& rightmost_leaf2,
                          const std::vector<int32_t>& keyroots2,
                          const IntMatrix& cost_matrix,
                          IntMatrix& tree_dist,
                          int32_t n1, int32_t n2, int32_t num_threads,
                          WorkerStarter start_worker = start_worker_thread);

}  // namespace grix
