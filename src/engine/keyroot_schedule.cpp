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
                                         const std::vector<int32_t>& levels2,
                                         const StopFlag* stop) {
  std::vector<int32_t> pair_level;
  pair_level.reserve(levels1.size() * levels2.size());
  for (int32_t level1 : levels1) {
    throw_if_stopped(stop);
    for (int32_t level2 : levels2) pair_level.push_back(level1 + level2);
  }
  return pair_level;
}

std::vector<std::vector<int32_t>> build_level_buckets(const std::vector<int32_t>& pair_level,
                                                      const StopFlag* stop) {
  constexpr int32_t PAIRS_BETWEEN_CHECKS = 1 << 20;
  int32_t max_level = 0;
  for (int32_t level : pair_level) max_level = std::max(max_level, level);
  // Sizing every bucket first avoids regrowing buckets that can hold
  // millions of pairs.
  std::vector<int32_t> bucket_size(static_cast<size_t>(max_level) + 1, 0);
  for (int32_t level : pair_level) ++bucket_size[level];
  std::vector<std::vector<int32_t>> level_buckets(bucket_size.size());
  for (size_t level = 0; level < bucket_size.size(); ++level) {
    level_buckets[level].reserve(static_cast<size_t>(bucket_size[level]));
  }
  const int32_t pair_count = static_cast<int32_t>(pair_level.size());
  int32_t p = 0;
  while (p < pair_count) {
    throw_if_stopped(stop);
    const int32_t end = p + std::min(PAIRS_BETWEEN_CHECKS, pair_count - p);
    for (; p < end; ++p) level_buckets[pair_level[p]].push_back(p);
  }
  return level_buckets;
}

namespace {

// Rows of a narrow rectangle are short, scattered streams that the hardware
// prefetcher does not pick up, so each row would wait on memory for its
// subtree distances and its matched-forest row. Requesting the next row's
// cache lines while this row is computed hides that wait. Wide rows are left
// to the hardware. The stride may skip the row's last line when y is not
// line-aligned; fetching it as well measured slower, so it is left out.
constexpr int32_t INTS_PER_CACHE_LINE = 16;
constexpr int32_t MAX_PREFETCHED_LINES = 32;

inline void prefetch_next_row(const int32_t* tree_row, const int32_t* after_subtree, int32_t y,
                              int32_t ry) {
  const int32_t last = std::min(ry + 1, y + INTS_PER_CACHE_LINE * MAX_PREFETCHED_LINES);
  for (int32_t k = y; k <= last; k += INTS_PER_CACHE_LINE) {
    __builtin_prefetch(tree_row + k);
    __builtin_prefetch(after_subtree + k);
  }
}

// The kernel, compiled twice: reading the stop flag before every row costs
// 1-2 % where rows are short, so the calls without a flag, and pairs too
// small to delay a stop, get a copy that never reads it.
constexpr int64_t WATCHED_PAIR_CELLS = int64_t{1} << 18;

template <bool watch_stop>
void subtree_pair_rows(int32_t x, int32_t y,
                       const std::vector<int32_t>& rightmost_leaf1,
                       const std::vector<int32_t>& rightmost_leaf2,
                       const IntMatrix& cost_matrix,
                       IntMatrix& forest_dist,
                       IntMatrix& tree_dist,
                       const StopFlag* stop) {
  const int32_t rx = rightmost_leaf1[x];
  const int32_t ry = rightmost_leaf2[y];
  if (x == rx && y == ry) {
    // Two single nodes, the most common pair in bushy trees: rename them, or
    // delete one and insert the other. No scratch cell is needed.
    tree_dist[x][y] = std::min(cost_matrix[x][y], 2);
    return;
  }
  const int32_t* const leaf2 = rightmost_leaf2.data();

  // forest_dist[l][k] is the distance between the forests l..rx and k..ry;
  // row rx+1 and column ry+1 stand for the empty forest, so the empty row
  // holds the cost of inserting k..ry.
  int32_t* const empty_row = forest_dist[rx + 1].data();
  for (int32_t k = ry + 1; k >= y; --k) empty_row[k] = ry + 1 - k;

  for (int32_t l = rx; l >= x; --l) {
    if constexpr (watch_stop) {
      if (stop->load(std::memory_order_relaxed)) return;
    }
    int32_t* const row = forest_dist[l].data();
    const int32_t* const below = forest_dist[l + 1].data();  // l deleted
    // The forest that remains once the whole subtree of l has been matched.
    const int32_t* const after_subtree = forest_dist[rightmost_leaf1[l] + 1].data();
    int32_t* const tree_row = tree_dist[l].data();
    if (l > x) {
      prefetch_next_row(tree_dist[l - 1].data(), forest_dist[rightmost_leaf1[l - 1] + 1].data(), y, ry);
    }
    // `left` is row[k + 1] (k inserted), carried in a register along the row.
    int32_t left = rx + 1 - l;
    row[ry + 1] = left;

    if (rightmost_leaf1[l] != rx) {
      // Off the rightmost path of x: the subtree of l is never the whole
      // forest, so every cell takes the subtree distance from a lower level.
      for (int32_t k = ry; k >= y; --k) {
        const int32_t match = after_subtree[leaf2[k] + 1] + tree_row[k];
        left = std::min(std::min(below[k] + 1, match), left + 1);
        row[k] = left;
      }
      continue;
    }
    // On the rightmost path: where k is on the rightmost path of y as well,
    // both forests are whole subtrees and their roots may be renamed. A cost
    // above 2 is never better than deleting one node and inserting the other.
    const int32_t* const cost_row = cost_matrix[l].data();
    for (int32_t k = ry; k >= y; --k) {
      if (leaf2[k] == ry) {
        left = std::min({std::min(cost_row[k], 2) + below[k + 1], below[k] + 1, left + 1});
        tree_row[k] = left;
      } else {
        left = std::min({after_subtree[leaf2[k] + 1] + tree_row[k], below[k] + 1, left + 1});
      }
      row[k] = left;
    }
  }
}

}  // namespace

void compute_subtree_pair(int32_t x, int32_t y,
                          const std::vector<int32_t>& rightmost_leaf1,
                          const std::vector<int32_t>& rightmost_leaf2,
                          const IntMatrix& cost_matrix,
                          IntMatrix& forest_dist,
                          IntMatrix& tree_dist,
                          const StopFlag* stop) {
  // Small pairs end within a millisecond; the flag is read between them.
  const int64_t cells = static_cast<int64_t>(rightmost_leaf1[x] - x + 2) * (rightmost_leaf2[y] - y + 2);
  if (stop == nullptr || cells < WATCHED_PAIR_CELLS) {
    subtree_pair_rows<false>(x, y, rightmost_leaf1, rightmost_leaf2, cost_matrix, forest_dist, tree_dist, stop);
  } else {
    subtree_pair_rows<true>(x, y, rightmost_leaf1, rightmost_leaf2, cost_matrix, forest_dist, tree_dist, stop);
  }
}

IntMatrix filled_matrix(int32_t rows, int32_t columns, int32_t value, const StopFlag* stop) {
  constexpr int32_t ROWS_BETWEEN_CHECKS = 256;
  const std::vector<int32_t> row(static_cast<size_t>(columns), value);
  IntMatrix matrix;
  matrix.reserve(static_cast<size_t>(rows));
  for (int32_t r = 0; r < rows; ++r) {
    if (r % ROWS_BETWEEN_CHECKS == 0) throw_if_stopped(stop);
    matrix.push_back(row);
  }
  return matrix;
}

void run_keyroot_schedule(const std::vector<int32_t>& rightmost_leaf1,
                          const std::vector<int32_t>& keyroots1,
                          const std::vector<int32_t>& rightmost_leaf2,
                          const std::vector<int32_t>& keyroots2,
                          const IntMatrix& cost_matrix,
                          IntMatrix& tree_dist,
                          int32_t n1, int32_t n2, int32_t num_threads,
                          WorkerStarter start_worker, const StopFlag* stop) {
  const int32_t worker_count = effective_worker_count(num_threads, n1, n2);
  std::vector<IntMatrix> forest_dists;
  forest_dists.reserve(static_cast<size_t>(worker_count));
  for (int32_t t = 0; t < worker_count; ++t) forest_dists.push_back(filled_matrix(n1 + 1, n2 + 1, -1, stop));

  const std::vector<int32_t> pair_level =
      compute_pair_levels(compute_keyroot_levels(rightmost_leaf1, keyroots1),
                          compute_keyroot_levels(rightmost_leaf2, keyroots2), stop);
  const std::vector<std::vector<int32_t>> level_buckets = build_level_buckets(pair_level, stop);
  const int32_t keyroot_count2 = static_cast<int32_t>(keyroots2.size());

  for (const std::vector<int32_t>& bucket : level_buckets) {
    if (worker_count >= 2 && static_cast<int64_t>(bucket.size()) >= worker_count) {
      run_level_on_workers(bucket, worker_count, keyroot_count2, rightmost_leaf1, keyroots1,
                           rightmost_leaf2, keyroots2, cost_matrix, forest_dists, tree_dist,
                           start_worker, stop);
      throw_if_stopped(stop);
      continue;
    }
    int32_t i = 0, row_start = 0;
    for (int32_t p : bucket) {
      throw_if_stopped(stop);
      const int32_t j = advance_to_pair(p, keyroot_count2, i, row_start);
      compute_keyroot_pair(i, j, rightmost_leaf1, keyroots1, rightmost_leaf2, keyroots2,
                           cost_matrix, forest_dists[0], tree_dist, stop);
    }
  }
  throw_if_stopped(stop);  // the last pair may have been left unfinished
}

void run_keyroot_pairs_in_order(const std::vector<int32_t>& rightmost_leaf1,
                                const std::vector<int32_t>& keyroots1,
                                const std::vector<int32_t>& rightmost_leaf2,
                                const std::vector<int32_t>& keyroots2,
                                const IntMatrix& cost_matrix,
                                IntMatrix& forest_dist,
                                IntMatrix& tree_dist, const StopFlag* stop) {
  // Keyroots are in descending id order, so every keyroot strictly inside the
  // subtree of keyroots1[i] sits at a position below i (likewise in tree 2).
  // A pair reads only cells of pairs (i', j) with i' < i or (i, j') with
  // j' < j, and row-major order has computed all of those.
  const int32_t count1 = static_cast<int32_t>(keyroots1.size());
  const int32_t count2 = static_cast<int32_t>(keyroots2.size());
  for (int32_t i = 0; i < count1; ++i) {
    throw_if_stopped(stop);
    for (int32_t j = 0; j < count2; ++j) {
      compute_subtree_pair(keyroots1[i], keyroots2[j], rightmost_leaf1, rightmost_leaf2,
                           cost_matrix, forest_dist, tree_dist, stop);
    }
  }
  throw_if_stopped(stop);  // the last pair may have been left unfinished
}

}  // namespace grix
