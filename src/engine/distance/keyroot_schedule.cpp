#include "distance/keyroot_schedule.h"

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

void compute_subtree_pair(int32_t x, int32_t y,
                          const std::vector<int32_t>& rightmost_leaf1,
                          const std::vector<int32_t>& rightmost_leaf2,
                          const IntMatrix& cost_matrix,
                          IntMatrix& forest_dist,
                          IntMatrix& tree_dist,
                          const StopFlag* stop) {
  compute_subtree_pair<int32_t>(x, y, rightmost_leaf1, rightmost_leaf2, cost_matrix, UnitIndel{},
                                forest_dist, tree_dist, stop);
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
  run_keyroot_schedule<int32_t>(rightmost_leaf1, keyroots1, rightmost_leaf2, keyroots2, cost_matrix,
                                UnitIndel{}, tree_dist, n1, n2, num_threads, start_worker, stop);
}

}  // namespace grix
