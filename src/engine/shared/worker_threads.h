// The engine's worker threads, apart from the level threads of the keyroot
// schedule (distance/parallel_levels.h).
//
// A WorkerTeam keeps its threads for many short rounds of work: the
// heavy-path function runs a few rounds per node of a path, each far too
// short to pay for starting threads (tens of microseconds) but long enough to
// split. run_on_workers runs one long piece of work (a batch, a join, the
// shares of a distance) once, on a team started for it and joined before it
// returns or throws.
//
// Thread safety
// -------------
// One thread (the owner) calls run(); the helpers sleep on a condition
// variable between rounds. A round's body must only share what it guards
// itself (an atomic counter handing out blocks, say). The first exception of
// a round is kept under a mutex and rethrown by run() once every member has
// finished the round; the others see `failed` and may return early. Whatever
// a member wrote in a round is visible to the owner once run() has returned
// (the count of unfinished members is kept under the team's mutex). The
// destructor wakes and joins every helper, so none outlives the team.

#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "shared/stopping.h"
#include "tree_edit_distance.h"

namespace grix {

class WorkerTeam {
 public:
  // `size` members: the owner and size - 1 helpers, started here. If one
  // cannot be started, the started ones are joined and the error rethrown.
  explicit WorkerTeam(int32_t size) {
    helpers_.reserve(static_cast<size_t>(size > 1 ? size - 1 : 0));
    try {
      for (int32_t member = 1; member < size; ++member) helpers_.emplace_back([this, member] { serve(member); });
    } catch (...) {
      stop_helpers();
      throw;
    }
  }
  ~WorkerTeam() { stop_helpers(); }
  WorkerTeam(const WorkerTeam&) = delete;
  WorkerTeam& operator=(const WorkerTeam&) = delete;

  int32_t size() const { return static_cast<int32_t>(helpers_.size()) + 1; }

  // Runs body(member, failed) on every member, the owner as member 0, and
  // returns when all have finished; rethrows the round's first exception.
  void run(const std::function<void(int32_t, const std::atomic<bool>&)>& body) {
    failed_ = false;
    first_failure_ = nullptr;
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      body_ = &body;
      unfinished_ = static_cast<int32_t>(helpers_.size());
      ++round_;
    }
    wake_.notify_all();
    attempt(0);
    std::unique_lock<std::mutex> lock(mutex_);
    done_.wait(lock, [this] { return unfinished_ == 0; });
    body_ = nullptr;
    if (first_failure_) std::rethrow_exception(first_failure_);
  }

 private:
  void attempt(int32_t member) {
    try {
      (*body_)(member, failed_);
    } catch (...) {
      const std::lock_guard<std::mutex> lock(failure_mutex_);
      if (!first_failure_) first_failure_ = std::current_exception();
      failed_ = true;
    }
  }

  void serve(int32_t member) {
    uint64_t seen = 0;
    for (;;) {
      {
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait(lock, [&] { return closing_ || round_ != seen; });
        if (closing_) return;
        seen = round_;
      }
      attempt(member);
      {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (--unfinished_ == 0) done_.notify_one();
      }
    }
  }

  void stop_helpers() {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      closing_ = true;
    }
    wake_.notify_all();
    for (std::thread& helper : helpers_) helper.join();
    helpers_.clear();
  }

  std::vector<std::thread> helpers_;
  std::mutex mutex_;
  std::condition_variable wake_, done_;
  uint64_t round_ = 0;
  int32_t unfinished_ = 0;
  bool closing_ = false;
  const std::function<void(int32_t, const std::atomic<bool>&)>* body_ = nullptr;
  std::atomic<bool> failed_{false};
  std::mutex failure_mutex_;
  std::exception_ptr first_failure_;
};

// Runs work(worker, failed) for worker = 0 .. workers - 1, each on a thread
// of its own while the calling thread waits (one worker runs on the calling
// thread), and returns once all have finished and been joined. Then a stop
// wins: OperationStopped if `stop` was set, else the first failure rethrown.
// If a thread cannot be started, no work runs and that error propagates.
template <typename Work>
void run_on_workers(int32_t workers, const StopFlag* stop, Work&& work) {
  const bool alone = workers <= 1;
  std::exception_ptr failure;
  {
    // The workers are the helpers, members 1 .. workers; the owner only waits.
    WorkerTeam team(alone ? 1 : workers + 1);
    try {
      team.run([&](int32_t member, const std::atomic<bool>& failed) {
        if (alone) work(0, failed);
        else if (member > 0) work(member - 1, failed);
      });
    } catch (...) {
      failure = std::current_exception();
    }
  }
  throw_if_stopped(stop);
  if (failure) std::rethrow_exception(failure);
}

}  // namespace grix
