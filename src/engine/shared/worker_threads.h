// Running one piece of work on several threads, for the engine's batches:
// every thread is joined before the call returns or throws.
//
// Thread safety
// -------------
// The caller's work must only share what it guards itself (an atomic
// counter handing out blocks, say). The first failure is kept under a mutex;
// the others see `failed` and return early.

#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#include "shared/stopping.h"
#include "tree_edit_distance.h"

namespace grix {

// Runs work(worker) on `workers` threads (the calling thread alone for one),
// joins them all, and rethrows the first failure; a stop wins over failures.
template <typename Work>
void run_on_workers(int32_t workers, const StopFlag* stop, Work&& work) {
  std::atomic<bool> failed{false};
  std::exception_ptr first_failure;
  std::mutex failure_mutex;
  auto guarded = [&](int32_t worker) {
    try {
      work(worker, failed);
    } catch (...) {
      const std::lock_guard<std::mutex> lock(failure_mutex);
      if (!first_failure) first_failure = std::current_exception();
      failed = true;
    }
  };
  if (workers <= 1) {
    guarded(0);
  } else {
    std::vector<std::thread> threads;
    threads.reserve(static_cast<size_t>(workers));
    try {
      for (int32_t t = 0; t < workers; ++t) threads.emplace_back(guarded, t);
    } catch (...) {
      failed = true;  // the started workers see this and return
      for (std::thread& thread : threads) thread.join();
      throw;
    }
    for (std::thread& thread : threads) thread.join();
  }
  throw_if_stopped(stop);
  if (first_failure) std::rethrow_exception(first_failure);
}

}  // namespace grix
