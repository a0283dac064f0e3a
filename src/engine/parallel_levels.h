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

#include "tree_edit_distance.h"

namespace grix {

// Starts the thread for worker number t running `body`. The default is a plain
// std::thread; tests pass one that fails on purpose.
using WorkerStarter = std::thread (*)(int32_t worker_number, std::function<void()> body);

std::thread start_worker_thread(int32_t worker_number, std::function<void()> body);

// Body of worker t: computes bucket positions t, t + W, t + 2W, ... below S
// with forest_dists[t], and returns early once `stop` is set.
void keyroot_worker(int32_t worker_number, int32_t bucket_size, int32_t worker_count,
                    const std::vector<int32_t>& bucket, int32_t keyroot_count2,
                    const std::vector<int32_t>& rightmost_leaf1,
                    const std::vector<int32_t>& keyroots1,
                    const std::vector<int32_t>& rightmost_leaf2,
                    const std::vector<int32_t>& keyroots2,
                    const IntMatrix& cost_matrix,
                    std::vector<IntMatrix>& forest_dists,
                    IntMatrix& tree_dist, const StopFlag* stop = nullptr);

// Starts worker_count threads over `bucket` (which holds at least that many
// pairs) and returns when all have been joined. If a thread cannot be started,
// the ones already running are joined before the error propagates.
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
