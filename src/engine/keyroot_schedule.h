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

#include "keyroot_kernel.h"
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

// The kernel for GRIX_CPU's matrices and unit costs (keyroot_kernel.h has
// the kernel for every cost model and describes it).
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

// A rows x columns matrix of `value`, reading `stop` (may be null) every few
// hundred rows: the page faults of a large matrix take about half a second a
// gigabyte, and a stop must not wait for several of them.
IntMatrix filled_matrix(int32_t rows, int32_t columns, int32_t value, const StopFlag* stop);

// Scratch matrices for the schedule: GRIX_CPU's are filled with -1; flat ones
// are left uninitialised, since the kernel writes every cell it reads.
inline IntMatrix scratch_matrix(const IntMatrix&, int32_t rows, int32_t columns, const StopFlag* stop) {
  return filled_matrix(rows, columns, -1, stop);
}
template <typename T>
FlatMatrix<T> scratch_matrix(const FlatMatrix<T>&, int32_t rows, int32_t columns, const StopFlag*) {
  return FlatMatrix<T>(rows, columns);
}

// Cells the schedule reports to a progress counter at a time, at least.
constexpr int64_t PROGRESS_CELLS = int64_t{1} << 22;

// Fills every cell of tree_dist (n1 x n2) by running all keyroot pairs level
// by level. Levels with at least worker_count pairs run on worker threads,
// started through `start_worker`. With a `stop` flag, the flag is read between
// the steps of setting up, between pairs and within them; once it is set, the
// workers leave the pair at hand and the schedule throws OperationStopped
// after joining them. Without one (the GRIX_CPU functions), nothing is read.
// With `cells_done` (may be null), the cells of finished pairs are added to it
// every PROGRESS_CELLS or so, and at the end of each level.
template <typename Cost, typename Indel, typename Costs, typename Matrix>
void run_keyroot_schedule(const std::vector<int32_t>& rightmost_leaf1,
                          const std::vector<int32_t>& keyroots1,
                          const std::vector<int32_t>& rightmost_leaf2,
                          const std::vector<int32_t>& keyroots2, const Costs& cost_matrix,
                          const Indel& indel, Matrix& tree_dist, int32_t n1, int32_t n2,
                          int32_t num_threads, WorkerStarter start_worker, const StopFlag* stop,
                          std::atomic<int64_t>* cells_done = nullptr) {
  const int32_t worker_count = effective_worker_count(num_threads, n1, n2);
  std::vector<Matrix> forest_dists;
  forest_dists.reserve(static_cast<size_t>(worker_count));
  for (int32_t t = 0; t < worker_count; ++t) {
    forest_dists.push_back(scratch_matrix(tree_dist, n1 + 1, n2 + 1, stop));
  }

  const std::vector<int32_t> pair_level =
      compute_pair_levels(compute_keyroot_levels(rightmost_leaf1, keyroots1),
                          compute_keyroot_levels(rightmost_leaf2, keyroots2), stop);
  const std::vector<std::vector<int32_t>> level_buckets = build_level_buckets(pair_level, stop);
  const int32_t keyroot_count2 = static_cast<int32_t>(keyroots2.size());
  // The cells of the pair of keyroots1[i] and keyroots2[j], as the kernel counts them.
  auto pair_cells = [&](int32_t i, int32_t j) {
    return static_cast<int64_t>(rightmost_leaf1[keyroots1[i]] - keyroots1[i] + 2) *
           (rightmost_leaf2[keyroots2[j]] - keyroots2[j] + 2);
  };

  for (const std::vector<int32_t>& bucket : level_buckets) {
    if (worker_count >= 2 && static_cast<int64_t>(bucket.size()) >= worker_count) {
      run_level_on_workers<Cost>(bucket, worker_count, keyroot_count2, rightmost_leaf1, keyroots1,
                                 rightmost_leaf2, keyroots2, cost_matrix, indel, forest_dists,
                                 tree_dist, start_worker, stop);
      throw_if_stopped(stop);
      if (cells_done != nullptr) {
        int64_t level_cells = 0;
        int32_t i = 0, row_start = 0;
        for (int32_t p : bucket) level_cells += pair_cells(i, advance_to_pair(p, keyroot_count2, i, row_start));
        *cells_done += level_cells;
      }
      continue;
    }
    int32_t i = 0, row_start = 0;
    int64_t unreported = 0;
    for (int32_t p : bucket) {
      throw_if_stopped(stop);
      const int32_t j = advance_to_pair(p, keyroot_count2, i, row_start);
      compute_subtree_pair<Cost>(keyroots1[i], keyroots2[j], rightmost_leaf1, rightmost_leaf2,
                                 cost_matrix, indel, forest_dists[0], tree_dist, stop);
      if (cells_done != nullptr && (unreported += pair_cells(i, j)) >= PROGRESS_CELLS) {
        *cells_done += unreported;
        unreported = 0;
      }
    }
    if (cells_done != nullptr) *cells_done += unreported;
  }
  throw_if_stopped(stop);  // the last pair may have been left unfinished
}

// The schedule for GRIX_CPU's matrices and unit costs.
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
template <typename Cost, typename Indel, typename Costs, typename Matrix>
void run_keyroot_pairs_in_order(const std::vector<int32_t>& rightmost_leaf1,
                                const std::vector<int32_t>& keyroots1,
                                const std::vector<int32_t>& rightmost_leaf2,
                                const std::vector<int32_t>& keyroots2, const Costs& cost_matrix,
                                const Indel& indel, Matrix& forest_dist, Matrix& tree_dist,
                                const StopFlag* stop) {
  // Keyroots are in descending id order, so every keyroot strictly inside the
  // subtree of keyroots1[i] sits at a position below i (likewise in tree 2).
  // A pair reads only cells of pairs (i', j) with i' < i or (i, j') with
  // j' < j, and row-major order has computed all of those.
  const int32_t count1 = static_cast<int32_t>(keyroots1.size());
  const int32_t count2 = static_cast<int32_t>(keyroots2.size());
  for (int32_t i = 0; i < count1; ++i) {
    throw_if_stopped(stop);
    for (int32_t j = 0; j < count2; ++j) {
      compute_subtree_pair<Cost>(keyroots1[i], keyroots2[j], rightmost_leaf1, rightmost_leaf2,
                                 cost_matrix, indel, forest_dist, tree_dist, stop);
    }
  }
  throw_if_stopped(stop);  // the last pair may have been left unfinished
}

}  // namespace grix
