// Levels on worker threads. Suites named Parallel* make up the
// ThreadSanitizer run.

#include <gtest/gtest.h>

#include <fstream>
#include <system_error>

#include "distance/keyroot_schedule.h"
#include "distance/parallel_levels.h"
#include "distance/tree_preprocessing.h"
#include "test_support.h"

namespace grix {
namespace {

using Ids = std::vector<int32_t>;
using grix_test::Tree;

// Runs of pairs cover a level once, in order, and shrink towards its end.
TEST(ParallelSplit, RunsOfPairsCoverTheLevelOnceAndShrink) {
  for (const auto& [count, workers] : std::vector<std::pair<int64_t, int32_t>>{{1, 2}, {7, 2}, {1000, 2}, {999, 3}}) {
    std::atomic<int64_t> next{0};
    int64_t first = 0, last = 0, expected_first = 0, previous_run = count;
    while (take_pairs(next, count, workers, first, last)) {
      EXPECT_EQ(first, expected_first);
      EXPECT_GT(last, first);
      EXPECT_LE(last - first, previous_run);
      previous_run = last - first;
      expected_first = last;
    }
    EXPECT_EQ(expected_first, count);
    EXPECT_EQ(previous_run, 1);
  }
}

int32_t started_workers = 0;

std::thread counting_starter(int32_t worker_number, std::function<void()> body) {
  ++started_workers;
  return start_worker_thread(worker_number, std::move(body));
}

Ids star_parents(int32_t children) {
  Ids parents{-1};
  for (int32_t i = 0; i < children; ++i) parents.push_back(0);
  return parents;
}

TEST(ParallelSchedule, OnlyLevelsOfEnoughCellsStartThreads) {
  // A root with 7 leaves against a path of 300 nodes: every level is far
  // below PARALLEL_LEVEL_CELLS and runs on the calling thread.
  const Ids rl1 = compute_rightmost_leaves(build_children(star_parents(7)));
  Ids path(300);
  for (int32_t i = 0; i < 300; ++i) path[i] = i - 1;
  const Ids rl2 = compute_rightmost_leaves(build_children(path));
  const IntMatrix costs(8, Ids(300, 1));
  for (int32_t threads : {1, 2, 8}) {
    started_workers = 0;
    IntMatrix tree_dist(8, Ids(300, -1));
    run_keyroot_schedule(rl1, compute_keyroots(rl1), rl2, compute_keyroots(rl2), costs, tree_dist,
                         8, 300, threads, counting_starter);
    EXPECT_EQ(started_workers, 0) << threads << " threads";
    EXPECT_EQ(tree_dist[0][0], 2 + 6 + 298);  // two renames, six deletions, 298 insertions
  }
  // Stars of 600 leaves: the leaves against the leaves (level 0) and the
  // roots against the leaves (level 1) are large and split into many tasks;
  // the two roots alone (level 2) are one kernel call on the calling thread.
  const Ids rl = compute_rightmost_leaves(build_children(star_parents(600)));
  const IntMatrix star_costs(601, Ids(601, 1));
  for (const auto& [threads, expected_starts] : std::vector<std::pair<int32_t, int32_t>>{{1, 0}, {2, 4}, {3, 6}}) {
    started_workers = 0;
    IntMatrix tree_dist(601, Ids(601, -1));
    run_keyroot_schedule(rl, compute_keyroots(rl), rl, compute_keyroots(rl), star_costs, tree_dist, 601, 601, threads,
                         counting_starter);
    EXPECT_EQ(started_workers, expected_starts) << threads << " threads";
    EXPECT_EQ(tree_dist[0][0], 601);  // every node renamed
  }
}

int32_t live_threads() {
  std::ifstream status("/proc/self/status");
  std::string key;
  while (status >> key) {
    if (key == "Threads:") {
      int32_t count = 0;
      status >> count;
      return count;
    }
  }
  return -1;
}

std::thread fail_third_worker(int32_t worker_number, std::function<void()> body) {
  if (worker_number == 2) throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
  return start_worker_thread(worker_number, std::move(body));
}

TEST(ParallelFailure, WorkerThatCannotStartLeavesNoThreadRunning) {
  const Ids rl = compute_rightmost_leaves(build_children(star_parents(600)));
  const IntMatrix costs(601, Ids(601, 1));
  IntMatrix tree_dist(601, Ids(601, -1));
  std::thread([] {}).join();  // sanitizer runtimes start helper threads on first use
  const int32_t before = live_threads();
  EXPECT_THROW(run_keyroot_schedule(rl, compute_keyroots(rl), rl, compute_keyroots(rl), costs, tree_dist, 601, 601,
                                    4, fail_third_worker),
               std::system_error);
  EXPECT_EQ(live_threads(), before);
}

IntMatrix full_tree_dist(const Tree& a, const Tree& b, const IntMatrix& costs, int32_t threads) {
  const Ids rl1 = compute_rightmost_leaves(build_children(a.parents));
  const Ids rl2 = compute_rightmost_leaves(build_children(b.parents));
  IntMatrix tree_dist(a.size(), Ids(b.size(), -1));
  run_keyroot_schedule(rl1, compute_keyroots(rl1), rl2, compute_keyroots(rl2), costs, tree_dist,
                       a.size(), b.size(), threads);
  return tree_dist;
}

TEST(ParallelSchedule, EveryCellIsTheSameForAnyWorkerCount) {
  std::mt19937 rng(1234);
  for (int round = 0; round < 12; ++round) {
    const int32_t total = grix_test::random_int(rng, 300, 2000);
    const int32_t n1 = grix_test::random_int(rng, 1, total - 1);
    const Tree a = grix_test::random_tree(rng, n1, 4);
    const Tree b = grix_test::random_tree(rng, total - n1, 4);
    const IntMatrix costs = round % 2 ? grix_test::label_costs(a, b)
                                      : grix_test::random_costs(rng, a.size(), b.size(), -1, 3);
    const IntMatrix expected = full_tree_dist(a, b, costs, 1);
    for (int32_t threads : {2, 3, 4, 8}) {
      ASSERT_EQ(full_tree_dist(a, b, costs, threads), expected)
          << "round " << round << " threads " << threads;
    }
  }
}

TEST(ParallelSchedule, AtTheThresholdTheDistanceAgreesWithTheReference) {
  std::mt19937 rng(77);
  const Tree a = grix_test::random_tree(rng, 150, 2);
  for (int32_t n2 : {149, 150}) {
    const Tree b = grix_test::random_tree(rng, n2, 2);
    const int32_t one = compute_tree_edit_distance_uniform(a.labels, a.parents, b.labels, b.parents, 1);
    EXPECT_EQ(compute_tree_edit_distance_uniform(a.labels, a.parents, b.labels, b.parents, 8), one);
  }
}

}  // namespace
}  // namespace grix
