#include "keyroot_schedule.h"

#include <algorithm>
#include <utility>

namespace grix {

int32_t effective_worker_count(int32_t num_threads, int32_t n1, int32_t n2) {
  if (num_threads < 2) return 1;
  if (static_cast<int64_t>(n1) + n2 < PARALLEL_MIN_NODES) return 1;
  return num_threads;
}

std::vector<int32_t> compute_keyroot_levels(const std::vector<int32_t>& rightmost_leaf,
                                            const std::vector<int32_t>& keyroots) {
  // Keyroots come in descending id order, so the keyroots inside the subtree
  // of x (ids x+1..rightmost_leaf[x]) are the ones seen most recently. A stack
  // of finished subtrees, popped as their enclosing keyroot arrives, gives
  // each level in amortised constant time. Only the top-most keyroot of a
  // popped group stays relevant, and its level is the group's maximum.
  std::vector<int32_t> levels(keyroots.size(), 0);
  std::vector<std::pair<int32_t, int32_t>> finished;  // (keyroot id, level)
  const int32_t count = static_cast<int32_t>(keyroots.size());
  for (int32_t pos = 0; pos < count; ++pos) {
    const int32_t x = keyroots[pos];
    const int32_t last = rightmost_leaf[x];
    int32_t level = 0;
    while (!finished.empty() && finished.back().first <= last) {
      level = std::max(level, finished.back().second + 1);
      finished.pop_back();
    }
    levels[pos] = level;
    finished.emplace_back(x, level);
  }
  return levels;
}

std::vector<int32_t> compute_pair_levels(const std::vector<int32_t>& levels1,
                                         const std::vector<int32_t>& levels2) {
  std::vector<int32_t> pair_level;
  pair_level.reserve(levels1.size() * levels2.size());
  for (int32_t level1 : levels1) {
    for (int32_t level2 : levels2) pair_level.push_back(level1 + level2);
  }
  return pair_level;
}

std::vector<std::vector<int32_t>> build_level_buckets(const std::vector<int32_t>& pair_level) {
  int32_t max_level = 0;
  for (int32_t level : pair_level) max_level = std::max(max_level, level);
  std::vector<std::vector<int32_t>> level_buckets(static_cast<size_t>(max_level) + 1);
  const int32_t pair_count = static_cast<int32_t>(pair_level.size());
  for (int32_t p = 0; p < pair_count; ++p) level_buckets[pair_level[p]].push_back(p);
  return level_buckets;
}

void compute_keyroot_pair(int32_t i, int32_t j,
                          const std::vector<int32_t>& rightmost_leaf1,
                          const std::vector<int32_t>& keyroots1,
                          const std::vector<int32_t>& rightmost_leaf2,
                          const std::vector<int32_t>& keyroots2,
                          const IntMatrix& cost_matrix,
                          IntMatrix& forest_dist,
                          IntMatrix& tree_dist) {
  const int32_t x = keyroots1[i];
  const int32_t y = keyroots2[j];
  const int32_t rx = rightmost_leaf1[x];
  const int32_t ry = rightmost_leaf2[y];

  // forest_dist[l][k] is the distance between the forests l..rx and k..ry;
  // row rx+1 and column ry+1 stand for the empty forest.
  forest_dist[rx + 1][ry + 1] = 0;
  for (int32_t l = rx; l >= x; --l) forest_dist[l][ry + 1] = forest_dist[l + 1][ry + 1] + 1;
  for (int32_t k = ry; k >= y; --k) forest_dist[rx + 1][k] = forest_dist[rx + 1][k + 1] + 1;

  for (int32_t l = rx; l >= x; --l) {
    for (int32_t k = ry; k >= y; --k) {
      const int32_t del = forest_dist[l + 1][k] + 1;
      const int32_t ins = forest_dist[l][k + 1] + 1;
      if (rightmost_leaf1[l] == rx && rightmost_leaf2[k] == ry) {
        // Both forests are whole subtrees: their roots may be renamed. A cost
        // above 2 is never better than deleting one node and inserting the other.
        const int32_t rename = std::min(cost_matrix[l][k], 2) + forest_dist[l + 1][k + 1];
        forest_dist[l][k] = std::min({rename, del, ins});
        tree_dist[l][k] = forest_dist[l][k];
      } else {
        // Map the subtree of l onto the subtree of k as a whole (its distance
        // is final from a lower level), then the rest of both forests.
        const int32_t match =
            forest_dist[rightmost_leaf1[l] + 1][rightmost_leaf2[k] + 1] + tree_dist[l][k];
        forest_dist[l][k] = std::min({match, del, ins});
      }
    }
  }
}

void run_keyroot_schedule(const std::vector<int32_t>& rightmost_leaf1,
                          const std::vector<int32_t>& keyroots1,
                          const std::vector<int32_t>& rightmost_leaf2,
                          const std::vector<int32_t>& keyroots2,
                          const IntMatrix& cost_matrix,
                          IntMatrix& tree_dist,
                          int32_t n1, int32_t n2, int32_t num_threads,
                          WorkerStarter start_worker) {
  const int32_t worker_count = effective_worker_count(num_threads, n1, n2);
  const std::vector<int32_t> fill_row(static_cast<size_t>(n2) + 1, -1);
  std::vector<IntMatrix> forest_dists(
      static_cast<size_t>(worker_count), IntMatrix(static_cast<size_t>(n1) + 1, fill_row));

  const std::vector<int32_t> pair_level =
      compute_pair_levels(compute_keyroot_levels(rightmost_leaf1, keyroots1),
                          compute_keyroot_levels(rightmost_leaf2, keyroots2));
  const std::vector<std::vector<int32_t>> level_buckets = build_level_buckets(pair_level);
  const int32_t keyroot_count2 = static_cast<int32_t>(keyroots2.size());

  for (const std::vector<int32_t>& bucket : level_buckets) {
    if (worker_count >= 2 && static_cast<int64_t>(bucket.size()) >= worker_count) {
      run_level_on_workers(bucket, worker_count, keyroot_count2, rightmost_leaf1, keyroots1,
                           rightmost_leaf2, keyroots2, cost_matrix, forest_dists, tree_dist,
                           start_worker);
      continue;
    }
    for (int32_t p : bucket) {
      compute_keyroot_pair(p / keyroot_count2, p % keyroot_count2, rightmost_leaf1, keyroots1,
                           rightmost_leaf2, keyroots2, cost_matrix, forest_dists[0], tree_dist);
    }
  }
}

}  // namespace grix
