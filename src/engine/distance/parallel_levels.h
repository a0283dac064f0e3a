// Running one level of keyroot pairs on worker threads.
//
// Thread safety
// -------------
// The pairs and tasks of one level write disjoint tree_dist cells and read
// only cells written at lower levels, which were all finished before the
// level started. Worker t writes only forest_dists[t], leaf_scratch[t] and
// the tree_dist cells of the pairs and tasks it took; all other inputs are
// read-only while workers run. Thread start and join are the only
// synchronisation of data: a worker sees everything written before it
// started, and the caller sees everything a worker wrote once its join has
// returned. There is no lock and no pool; no worker outlives its level. The
// atomics are the two counters that hand out pairs and tasks (each value is
// taken by one worker) and the optional stop flag, which workers only read.

#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <thread>
#include <vector>

#include "distance/keyroot_kernel.h"
#include "distance/level_tasks.h"
#include "tree_edit_distance.h"

namespace grix {

// Starts the thread for worker number t running `body`. The default is a plain
// std::thread; tests pass one that fails on purpose.
using WorkerStarter = std::thread (*)(int32_t worker_number, std::function<void()> body);

std::thread start_worker_thread(int32_t worker_number, std::function<void()> body);

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

// Hands out the pairs 0..count of a level in runs that shrink as the level
// empties (a quarter of the rest per worker, at least one): long runs while
// much is left make handing out cheap, short ones at the end keep the
// workers finishing together. Returns false once nothing is left.
inline bool take_pairs(std::atomic<int64_t>& next, int64_t count, int32_t workers, int64_t& first, int64_t& last) {
  first = next.load(std::memory_order_relaxed);
  for (;;) {
    if (first >= count) return false;
    const int64_t run = std::max<int64_t>(1, (count - first) / (4 * static_cast<int64_t>(workers)));
    last = first + run;
    if (next.compare_exchange_weak(first, last, std::memory_order_relaxed)) return true;
  }
}

// Runs one level on `workers` threads started through `start_worker`: the
// pairs of its products, taken in runs (take_pairs), then its leaf-group
// tasks, taken one at a time; an uneven level stays balanced either way.
// Worker t uses forest_dists[t] and leaf_scratch[t]. Returns when all have
// been joined; if a thread cannot be started, the ones already running are
// told to take nothing more and are joined before the error propagates.
template <typename Cost, typename Indel, typename Costs, typename Matrix>
void run_level_on_workers(const LevelProducts& products, const std::vector<LevelTask>& tasks, int32_t level,
                          int32_t workers, const KeyrootLevels& keyroots,
                          const std::vector<int32_t>& rightmost_leaf1, const std::vector<int32_t>& rightmost_leaf2,
                          const Costs& cost_matrix, const Indel& indel, std::vector<Matrix>& forest_dists,
                          std::vector<LeafGroupScratch<Cost>>& leaf_scratch, Matrix& tree_dist,
                          WorkerStarter start_worker, const StopFlag* stop) {
  const int64_t pair_count = products.pair_count();
  const int64_t task_count = static_cast<int64_t>(tasks.size());
  std::atomic<int64_t> next_pair{0}, next_task{0};
  std::vector<std::thread> threads;
  threads.reserve(static_cast<size_t>(workers));
  JoinAll join_all{threads};
  try {
    for (int32_t t = 0; t < workers; ++t) {
      threads.push_back(start_worker(t, [&, t] {
        int64_t first = 0, last = 0;
        while (take_pairs(next_pair, pair_count, workers, first, last)) {
          run_product_pairs<Cost>(products, level, first, last, keyroots, rightmost_leaf1, rightmost_leaf2,
                                  cost_matrix, indel, forest_dists[t], tree_dist, stop);
          if (stop != nullptr && stop->load(std::memory_order_relaxed)) return;
        }
        for (int64_t q = next_task.fetch_add(1, std::memory_order_relaxed); q < task_count;
             q = next_task.fetch_add(1, std::memory_order_relaxed)) {
          if (stop != nullptr && stop->load(std::memory_order_relaxed)) return;
          run_level_task<Cost>(tasks[q], keyroots, rightmost_leaf1, rightmost_leaf2, cost_matrix, indel,
                               leaf_scratch[t], tree_dist);
        }
      }));
    }
  } catch (...) {
    // The running workers take nothing more.
    next_pair.store(pair_count, std::memory_order_relaxed);
    next_task.store(task_count, std::memory_order_relaxed);
    throw;
  }
  for (std::thread& thread : threads) thread.join();
}

}  // namespace grix
