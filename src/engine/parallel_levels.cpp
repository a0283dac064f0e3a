#include "parallel_levels.h"

#include <utility>

#include "keyroot_schedule.h"

namespace grix {

namespace {

// Joins every started worker when the level ends, also when starting a later
// worker threw: destroying a joinable std::thread would end the process.
struct JoinAll {
  std::vector<std::thread>& threads;
  ~JoinAll() {
    for (std::thread& thread : threads) {
      if (thread.joinable()) thread.join();
    }
  }
};

}  // namespace

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
  int32_t i = 0, row_start = 0;
  for (int32_t q = worker_number; q < bucket_size; q += worker_count) {
    if (stop != nullptr && stop->load(std::memory_order_relaxed)) return;
    const int32_t j = advance_to_pair(bucket[q], keyroot_count2, i, row_start);
    compute_keyroot_pair(i, j, rightmost_leaf1, keyroots1, rightmost_leaf2, keyroots2,
                         cost_matrix, forest_dists[worker_number], tree_dist, stop);
  }
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
  const int32_t bucket_size = static_cast<int32_t>(bucket.size());
  std::vector<std::thread> threads;
  threads.reserve(static_cast<size_t>(worker_count));
  JoinAll join_all{threads};
  for (int32_t t = 0; t < worker_count; ++t) {
    threads.push_back(start_worker(t, [&, t] {
      keyroot_worker(t, bucket_size, worker_count, bucket, keyroot_count2, rightmost_leaf1,
                     keyroots1, rightmost_leaf2, keyroots2, cost_matrix, forest_dists, tree_dist,
                     stop);
    }));
  }
  for (std::thread& thread : threads) thread.join();
}

}  // namespace grix
