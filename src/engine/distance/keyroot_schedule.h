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
#include <type_traits>
#include <vector>

#include "distance/keyroot_kernel.h"
#include "distance/leaf_keyroots.h"
#include "distance/level_tasks.h"
#include "distance/parallel_levels.h"
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

// Whether a tree has a keyroot that is not a leaf: only pairs of two such
// keyroots run the kernel and need a forest matrix.
inline bool has_inner_keyroot(const PreparedTree& tree) {
  for (int32_t x : tree.keyroots) {
    if (tree.rightmost_leaf[x] != x) return true;
  }
  return false;
}

// Whether a distance alone should form the leaf pairs' subtree distances
// where it reads them (LeafPairsOnRead) rather than store them: it saves
// leaves1 x leaves2 writes, and costs a test per cell in the kernel's rows of
// leaves. Bushy pairs have as many leaf pairs as kernel cells (a star pair
// about as many); a random pair has a thousandth as many, and there the
// tests cost more than the writes save.
inline bool forms_leaf_pairs_on_read(const std::vector<int32_t>& rightmost_leaf1,
                                     const std::vector<int32_t>& keyroots1,
                                     const std::vector<int32_t>& rightmost_leaf2,
                                     const std::vector<int32_t>& keyroots2) {
  auto count = [](const std::vector<int32_t>& rightmost_leaf, const std::vector<int32_t>& keyroots,
                  double& leaves, double& kernel_cells) {
    for (int32_t x : keyroots) {
      if (rightmost_leaf[x] == x) {
        leaves += 1;
      } else {
        kernel_cells += static_cast<double>(KeyrootLevels::span(rightmost_leaf, x));
      }
    }
  };
  double leaves1 = 0, cells1 = 0, leaves2 = 0, cells2 = 0;
  count(rightmost_leaf1, keyroots1, leaves1, cells1);
  count(rightmost_leaf2, keyroots2, leaves2, cells2);
  constexpr double SHARE_OF_KERNEL_CELLS = 0.125;
  return leaves1 * leaves2 >= SHARE_OF_KERNEL_CELLS * cells1 * cells2;
}

// Where leaf pairs are not stored (LeafPairsOnRead), two single-node trees
// would leave their distance, cell (0, 0), unwritten: it is written here.
template <typename Cost, typename Indel, typename Costs, typename Matrix>
void store_single_node_pair(const std::vector<int32_t>& rightmost_leaf1, const std::vector<int32_t>& rightmost_leaf2,
                            const Costs& cost_matrix, const Indel& indel, Matrix& tree_dist) {
  if (rightmost_leaf1.empty() || rightmost_leaf2.empty()) return;
  if (rightmost_leaf1[0] != 0 || rightmost_leaf2[0] != 0) return;
  row_of(tree_dist, 0)[0] = std::min<Cost>(row_of(cost_matrix, 0)[0], indel.deletion(0) + indel.insertion(0));
}

// Cells the schedule reports to a progress counter at a time, at least.
constexpr int64_t PROGRESS_CELLS = int64_t{1} << 22;

// A level with fewer cells than this runs on the calling thread: starting
// the workers would cost more than they save.
constexpr int64_t PARALLEL_LEVEL_CELLS = int64_t{1} << 17;

// The keyroots of both trees grouped for the schedule (see level_tasks.h).
inline KeyrootLevels group_keyroots(const std::vector<int32_t>& rightmost_leaf1,
                                    const std::vector<int32_t>& keyroots1,
                                    const std::vector<int32_t>& rightmost_leaf2,
                                    const std::vector<int32_t>& keyroots2) {
  KeyrootLevels k;
  split_keyroots(rightmost_leaf1, keyroots1, k.split1);
  split_keyroots(rightmost_leaf2, keyroots2, k.split2);
  int32_t top1 = 0, top2 = 0;
  k.inner1 = inner_keyroots_by_level(rightmost_leaf1, keyroots1, compute_keyroot_levels(rightmost_leaf1, keyroots1),
                                     top1);
  k.inner2 = inner_keyroots_by_level(rightmost_leaf2, keyroots2, compute_keyroot_levels(rightmost_leaf2, keyroots2),
                                     top2);
  k.max_level = top1 + top2;
  return k;
}

// Fills every cell of tree_dist (n1 x n2) by running all keyroot pairs level
// by level (level_tasks.h): pairs with a leaf keyroot in groups, the others
// one kernel call each. Levels of at least PARALLEL_LEVEL_CELLS cells and
// two pairs or tasks run on worker_count threads, started through
// `start_worker`, which take the level's pairs and tasks in turn.
// With a `stop` flag, the flag is read between the steps of setting up,
// between tasks and within large pairs; once it is set, the workers leave the
// task at hand and the schedule throws OperationStopped after joining them.
// Without one (the GRIX_CPU functions), nothing is read. With `cells_done`
// (may be null), the cells of finished pairs (as the kernel counts them) are
// added to it every PROGRESS_CELLS or so, and at the end of each level.
template <typename Cost, typename Indel, typename Costs, typename Matrix>
void run_keyroot_schedule(const std::vector<int32_t>& rightmost_leaf1,
                          const std::vector<int32_t>& keyroots1,
                          const std::vector<int32_t>& rightmost_leaf2,
                          const std::vector<int32_t>& keyroots2, const Costs& cost_matrix,
                          const Indel& indel, Matrix& tree_dist, int32_t n1, int32_t n2,
                          int32_t num_threads, WorkerStarter start_worker, const StopFlag* stop,
                          std::atomic<int64_t>* cells_done = nullptr) {
  const int32_t worker_count = effective_worker_count(num_threads, n1, n2);
  const KeyrootLevels keyroots = group_keyroots(rightmost_leaf1, keyroots1, rightmost_leaf2, keyroots2);
  throw_if_stopped(stop);
  // Scratch matrices only where a pair of inner keyroots needs one.
  const bool kernel_pairs = !keyroots.split1.inner.empty() && !keyroots.split2.inner.empty();
  std::vector<Matrix> forest_dists;
  forest_dists.reserve(static_cast<size_t>(worker_count));
  for (int32_t t = 0; t < worker_count; ++t) {
    forest_dists.push_back(kernel_pairs ? scratch_matrix(tree_dist, n1 + 1, n2 + 1, stop)
                                        : scratch_matrix(tree_dist, 0, 0, stop));
  }
  std::vector<LeafGroupScratch<Cost>> leaf_scratch(static_cast<size_t>(worker_count));

  const std::vector<int64_t> spans1 = spans_by_level(keyroots.inner1, rightmost_leaf1);
  const std::vector<int64_t> spans2 = spans_by_level(keyroots.inner2, rightmost_leaf2);
  LevelProducts products;
  std::vector<LevelTask> tasks;
  for (int32_t level = 0; level <= keyroots.max_level; ++level) {
    throw_if_stopped(stop);
    build_level_products(keyroots, spans1, spans2, level, products);
    build_level_tasks(keyroots, rightmost_leaf1, rightmost_leaf2, level, tasks);
    int64_t level_cells = products.cells;
    for (const LevelTask& task : tasks) level_cells += task.cells;
    const int64_t work_items = products.pair_count() + static_cast<int64_t>(tasks.size());
    if (worker_count >= 2 && work_items >= 2 && level_cells >= PARALLEL_LEVEL_CELLS) {
      run_level_on_workers<Cost>(products, tasks, level,
                                 static_cast<int32_t>(std::min<int64_t>(worker_count, work_items)), keyroots,
                                 rightmost_leaf1, rightmost_leaf2, cost_matrix, indel, forest_dists, leaf_scratch,
                                 tree_dist, start_worker, stop);
      throw_if_stopped(stop);
      if (cells_done != nullptr) *cells_done += level_cells;
      continue;
    }
    // On the calling thread, the progress counter gets the products' cells
    // in steps of about PROGRESS_CELLS, reckoned by pairs.
    const int64_t pair_count = products.pair_count();
    const int64_t pairs_per_report =
        products.cells > 0 ? std::max<int64_t>(1, pair_count * PROGRESS_CELLS / products.cells) : pair_count;
    int64_t reported = 0;
    for (int64_t first = 0; first < pair_count; first += pairs_per_report) {
      throw_if_stopped(stop);
      const int64_t last = std::min(pair_count, first + pairs_per_report);
      run_product_pairs<Cost>(products, level, first, last, keyroots, rightmost_leaf1, rightmost_leaf2,
                              cost_matrix, indel, forest_dists[0], tree_dist, stop);
      if (cells_done != nullptr) {
        const int64_t done = static_cast<int64_t>(static_cast<double>(products.cells) * static_cast<double>(last) /
                                                  static_cast<double>(pair_count));
        *cells_done += done - reported;
        reported = done;
      }
    }
    int64_t unreported = 0;
    for (const LevelTask& task : tasks) {
      throw_if_stopped(stop);
      run_level_task<Cost>(task, keyroots, rightmost_leaf1, rightmost_leaf2, cost_matrix, indel, leaf_scratch[0],
                           tree_dist);
      if (cells_done != nullptr && (unreported += task.cells) >= PROGRESS_CELLS) {
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

// The same on the calling thread alone, without levels, in an order that
// keeps each pair close in time to the pairs it reads:
//   - first the leaf keyroots of tree 1 against all of tree 2: against its
//     leaves (unless leaf pairs are formed on read), then against each inner
//     keyroot y in descending id order, in groups (leaves_against_subtree);
//   - then each inner keyroot x of tree 1 in descending id order, against the
//     leaves of tree 2 in groups (subtree_against_leaves) and against each
//     inner y in descending id order, one kernel call each.
// Keyroots are in descending id order, so every keyroot strictly inside the
// subtree of x comes before x (likewise in tree 2): a pair reads only cells
// of pairs inside it, and all of those are done. Level by level, a pair's
// inner pairs are computed a whole level of the matrix earlier and have left
// the caches: on one worker this order takes about 0.6x the time on random
// trees of 2,000 nodes. It allocates nothing once the scratch and the splits
// have grown to the pair's size. With `cells_done` (may be null), each row of
// pairs adds its cells as the level schedule counts them.
template <typename Cost, typename Indel, typename Costs, typename Matrix>
void run_keyroot_pairs_in_order(const std::vector<int32_t>& rightmost_leaf1,
                                const std::vector<int32_t>& keyroots1,
                                const std::vector<int32_t>& rightmost_leaf2,
                                const std::vector<int32_t>& keyroots2, const Costs& cost_matrix,
                                const Indel& indel, Matrix& forest_dist, Matrix& tree_dist,
                                KeyrootSplit& split1, KeyrootSplit& split2, LeafGroupScratch<Cost>& leaf_scratch,
                                const StopFlag* stop, std::atomic<int64_t>* cells_done = nullptr) {
  constexpr bool stores_leaf_pairs = !ComputesLeafPairsOnRead<Costs>::value;
  split_keyroots(rightmost_leaf1, keyroots1, split1);
  split_keyroots(rightmost_leaf2, keyroots2, split2);
  const int32_t leaf_count1 = static_cast<int32_t>(split1.leaves.size());
  const int32_t leaf_count2 = static_cast<int32_t>(split2.leaves.size());
  int64_t spans2 = 2 * static_cast<int64_t>(leaf_count2);  // the kernel's cells of a row, per cell of x
  for (int32_t y : split2.inner) spans2 += KeyrootLevels::span(rightmost_leaf2, y);

  // In chunks of leaves, so that a stop is read every few milliseconds.
  for (int32_t first = 0; first < leaf_count1; first += LEAF_CHUNK) {
    const int32_t* const leaves = split1.leaves.data() + first;
    const int32_t count = std::min(LEAF_CHUNK, leaf_count1 - first);
    throw_if_stopped(stop);
    if (stores_leaf_pairs && leaf_count2 > 0) {
      leaves_against_leaves<Cost>(leaves, count, split2.leaves.data(), leaf_count2, cost_matrix, indel, tree_dist);
    }
    for (int32_t y : split2.inner) {
      throw_if_stopped(stop);
      leaves_against_subtree<Cost>(leaves, count, y, rightmost_leaf2, cost_matrix, indel, tree_dist, leaf_scratch);
    }
    if (cells_done != nullptr) *cells_done += 2 * count * spans2;
  }
  for (int32_t x : split1.inner) {
    throw_if_stopped(stop);
    for (int32_t first = 0; first < leaf_count2; first += LEAF_CHUNK) {
      throw_if_stopped(stop);
      subtree_against_leaves<Cost>(x, split2.leaves.data() + first, std::min(LEAF_CHUNK, leaf_count2 - first),
                                   rightmost_leaf1, cost_matrix, indel, tree_dist, leaf_scratch);
    }
    // A large pair returns early once stopped, and a row of many smaller
    // pairs can take a second: the flag is read before each pair.
    for (int32_t y : split2.inner) {
      throw_if_stopped(stop);
      decltype(auto) scratch = pair_scratch(forest_dist, x, y, rightmost_leaf2[y]);
      compute_subtree_pair<Cost>(x, y, rightmost_leaf1, rightmost_leaf2, cost_matrix, indel, scratch, tree_dist,
                                 stop);
    }
    if (cells_done != nullptr) *cells_done += KeyrootLevels::span(rightmost_leaf1, x) * spans2;
  }
  throw_if_stopped(stop);  // the last pair may have been left unfinished
  if constexpr (!stores_leaf_pairs) store_single_node_pair<Cost>(rightmost_leaf1, rightmost_leaf2, cost_matrix, indel,
                                                                 tree_dist);
}

}  // namespace grix
