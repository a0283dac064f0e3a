#include "parallel_levels.h"

#include <utility>

#include "keyroot_schedule.h"

namespace grix {

std::thread start_worker_thread(int32_t /*worker_number*/, std::function<void()> body) {
  return std::thread(std::move(body));
}

void keyroot_worker(int32_t worker_number, int32_t bucket_size, int32_t worker_count,
                    const std::vector<int32_t>& bucket, int32_t keyroot_count2,
                    const std::vector<int32_t>& rightmost_leaf1,
                    const std::vector<int32_t>& keyroots1,
                    const std::vector<int32_t>& rightmost_leaf2,
                    const std::vector<int32_t>& keyroots2,
                    const IntMatrix& cost_matrix,
                    std::vector<IntMatrix>& forest_dists,
                    IntMatrix& tree_dist, const StopFlag* stop) {
  keyroot_worker<int32_t>(worker_number, bucket_size, worker_count, bucket, keyroot_count2,
                          rightmost_leaf1, keyroots1, rightmost_leaf2, keyroots2, cost_matrix,
                          UnitIndel{}, forest_dists, tree_dist, stop);
}

void run_level_on_workers(const std::vector<int32_t>& bucket, int32_t worker_count,
                          int32_t keyroot_count2,
                          const std::vector<int32_t>& rightmost_leaf1,
                          const std::vector<int32_t>& keyroots1,
                          const std::vector<int32_t>& rightmost_leaf2,
                          const std::vector<int32_t>& keyroots2,
                          const IntMatrix& cost_matrix,
                          std::vector<IntMatrix>& forest_dists,
                          IntMatrix& tree_dist,
                          WorkerStarter start_worker, const StopFlag* stop) {
  run_level_on_workers<int32_t>(bucket, worker_count, keyroot_count2, rightmost_leaf1, keyroots1,
                                rightmost_leaf2, keyroots2, cost_matrix, UnitIndel{}, forest_dists,
                                tree_dist, start_worker, stop);
}

}  // namespace grix
