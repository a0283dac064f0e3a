// Running one level of keyroot pairs on worker threads.
//
// Thread safety
// -------------
// The pairs of one level write disjoint tree_dist cells and read only cells
// written at lower levels, which were all finished before the level started.
// Worker t writes only forest_dists[t] and its pairs' tree_dist cells; all
// other inputs are read-only while workers run. Thread start and join are the
// only synchronisation: a worker sees everything written before it started,
// and the caller sees everything a worker wrote once its join has returned.
// There is no lock and no pool; no worker outlives its level. The only
// atomic is the optional stop flag, which workers only read.

#pragma once

#include <cstdint>
#include <functional>
#include <thread>
#include <vector>

#include "keyroot_kernel.h"
#include "tree_edit_distance.h"

namespace grix {

// Starts the thread for worker number t running `body`. The default is a plain
// std::thread; tests pass one that fails on purpose.
using WorkerStarter = std::thread (*)(int32_t worker_number, std::function<void()> body);

std::thread start_worker_thread(int32_t worker_number, std::function<void()> body);

// Body of worker t: computes bucket positions t, t + W, t + 2W, ... below S
// with forest_dists[t], and returns early once `stop` is set. Written for any
// cost model of the kernel (see keyroot_kernel.h).
template <typename Cost, typename Indel, typename Costs, typename Matrix>
void keyroot_worker(int32_t worker_number, int32_t bucket_size, int32_t worker_count,
                    const std::vector<int32_t>& bucket, int32_t keyroot_count2,
                    const std::vector<int32_t>& rightmost_leaf1,
                    const std::vector<int32_t>& keyroots1,
                    const std::vector<int32_t>& rightmost_leaf2,
                    const std::vector<int32_t>& keyroots2, const Costs& cost_matrix,
                    const Indel& indel, std::vector<Matrix>& forest_dists, Matrix& tree_dist,
                    const StopFlag* stop) {
  int32_t i = 0, row_start = 0;
  for (int32_t q = worker_number; q < bucket_size; q += worker_count) {
    if (stop != nullptr && stop->load(std::memory_order_relaxed)) return;
    const int32_t j = advance_to_pair(bucket[q], keyroot_count2, i, row_start);
    compute_subtree_pair<Cost>(keyroots1[i], keyroots2[j], rightmost_leaf1, rightmost_leaf2,
                               cost_matrix, indel, forest_dists[worker_number], tree_dist, stop);
  }
}

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

// Starts worker_count threads over `bucket` (which holds at least that many
// pairs) and returns when all have been joined. If a thread cannot be started,
// the ones already running are joined before the error propagates.
template <typename Cost, typename Indel, typename Costs, typename Matrix>
void run_level_on_workers(const std::vector<int32_t>& bucket, int32_t worker_count,
                          int32_t keyroot_count2, const std::vector<int32_t>& rightmost_leaf1,
                          const std::vector<int32_t>& keyroots1,
                          const std::vector<int32_t>& rightmost_leaf2,
                          const std::vector<int32_t>& keyroots2, const Costs& cost_matrix,
                          const Indel& indel, std::vector<Matrix>& forest_dists, Matrix& tree_dist,
                          WorkerStarter start_worker, const StopFlag* stop) {
  const int32_t bucket_size = static_cast<int32_t>(bucket.size());
  std::vector<std::thread> threads;
  threads.reserve(static_cast<size_t>(worker_count));
  JoinAll join_all{threads};
  for (int32_t t = 0; t < worker_count; ++t) {
    threads.push_back(start_worker(t, [&, t] {
      keyroot_worker<Cost>(t, bucket_size, worker_count, bucket, keyroot_count2, rightmost_leaf1,
                           keyroots1, rightmost_leaf2, keyroots2, cost_matrix, indel, forest_dists,
                           tree_dist, stop);
    }));
  }
  for (std::thread& thread : threads) thread.join();
}

// The two above for GRIX_CPU's matrices and unit costs.
void keyroot_worker(int32_t worker_number, int32_t bucket_size, int32_t worker_count,
                    const std::vector<int32_t>& bucket, int32_t keyroot_count2,
                    const std::vector<int32_t>& rightmost_leaf1,
                    const std::vector<int32_t>& keyroots1,
                    const std::vector<int32_t>& rightmost_leaf2,
                    const std::vector<int32_t>& keyroots2,
                    const IntMatrix& cost_matrix,
                    std::vector<IntMatrix>& forest_dists,
                    IntMatrix& tree_dist, const StopFlag* stop = nullptr);

void run_level_on_workers(const std::vector<int32_t>& bucket, int32_t worker_count,
                          int32_t keyroot_count2,
                          const std::vector<int32_t>& rightmost_leaf1,
                          const std::vector<int32_t>& keyroots1,
                          const std::vector<int32_t>& rightmost_leaf2,
                          const std::vector<int32_t>& keyroots2,
                          const IntMatrix& cost_matrix,
                          std::vector<IntMatrix>& forest_dists,
                          IntMatrix& tree_dist,
                          WorkerStarter start_worker = start_worker_thread,
                          const StopFlag* stop = nullptr);

}  // namespace grix
