// Levels on worker threads. Suites named Parallel* make up the
// ThreadSanitizer run.

#include <gtest/gtest.h>

#include <fstream>
#include <system_error>

#include "keyroot_schedule.h"
#include "parallel_levels.h"
#include "test_support.h"
#include "tree_preprocessing.h"

namespace grix {
namespace {

using Ids = std::vector<int32_t>;
using grix_test::Tree;

// Which worker ran which bucket position shows in the scratch matrices: the
// pair of a two-node subtree x, x+1 against a one-node tree sets the
// empty-forest corner forest_dist[x + 2][1] to 0, only in the matrix of the
// worker that ran it (neighbouring positions always go to other workers).
TEST(ParallelSplit, WorkerTakesEveryWthPosition) {
  // A root with 8 children, each with one child of its own.
  const Ids parents1{-1, 0, 1, 0, 3, 0, 5, 0, 7, 0, 9, 0, 11, 0, 13, 0, 15};
  const Ids rl1 = compute_rightmost_leaves(build_children(parents1));
  const Ids kr1 = compute_keyroots(rl1);  // children 13, 11, ..., 1, then the root
  ASSERT_EQ(kr1, (Ids{13, 11, 9, 7, 5, 3, 1, 0}));
  const Ids rl2{0}, kr2{0};
  const IntMatrix costs(17, Ids(1, 1));
  const Ids bucket{0, 1, 2, 3, 4, 5, 6};  // the seven child pairs, all of level 0
  for (int32_t workers : {2, 3, 7}) {
    IntMatrix tree_dist(17, Ids(1, -1));
    std::vector<IntMatrix> forest_dists(workers, IntMatrix(18, Ids(2, -1)));
    run_level_on_workers(bucket, workers, 1, rl1, kr1, rl2, kr2, costs, forest_dists, tree_dist);
    for (int32_t q = 0; q < 7; ++q) {
      const int32_t x = kr1[q];
      EXPECT_EQ(tree_dist[x][0], 2);
      for (int32_t t = 0; t < workers; ++t) {
        EXPECT_EQ(forest_dists[t][x + 2][1] == 0, q % workers == t)
            << "position " << q << " worker " << t << " of " << workers;
      }
    }
  }
}

int32_t started_workers = 0;

std::thread counting_starter(int32_t worker_number, std::function<void()> body) {
  ++started_workers;
  return start_worker_thread(worker_number, std::move(body));
}

TEST(ParallelSchedule, OnlyLevelsWithAtLeastWPairsStartThreads) {
  // A root with 7 leaves (6 leaf keyroots at level 0, the root at level 1)
  // against a path of 300 nodes (one keyroot): buckets of 6 and 1 pairs.
  const Ids rl1 = compute_rightmost_leaves(build_children({-1, 0, 0, 0, 0, 0, 0, 0}));
  Ids path(300);
  for (int32_t i = 0; i < 300; ++i) path[i] = i - 1;
  const Ids rl2 = compute_rightmost_leaves(build_children(path));
  const IntMatrix costs(8, Ids(300, 1));
  for (const auto& [threads, expected_starts] :
       std::vector<std::pair<int32_t, int32_t>>{{1, 0}, {3, 3}, {6, 6}, {7, 0}, {64, 0}}) {
    started_workers = 0;
    IntMatrix tree_dist(8, Ids(300, -1));
    run_keyroot_schedule(rl1, compute_keyroots(rl1), rl2, compute_keyroots(rl2), costs, tree_dist,
                         8, 300, threads, counting_starter);
    EXPECT_EQ(started_workers, expected_starts) << threads << " threads";
    EXPECT_EQ(tree_dist[0][0], 2 + 6 + 298);  // two renames, six deletions, 298 insertions
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
  std::mt19937 rng(8);
  const Tree a = grix_test::random_tree(rng, 400, 3);
  const Ids rl1 = compute_rightmost_leaves(build_children(a.parents));
  const Ids kr1 = compute_keyroots(rl1);
  const Ids rl2{0}, kr2{0};
  const IntMatrix costs(a.size(), Ids(1, 1));
  // Leaves only: every pair is at level 0 and independent.
  Ids bucket;
  for (int32_t q = 0; q < static_cast<int32_t>(kr1.size()); ++q)
    if (rl1[kr1[q]] == kr1[q]) bucket.push_back(q);
  ASSERT_GE(bucket.size(), 4u);
  IntMatrix tree_dist(a.size(), Ids(1, -1));
  std::vector<IntMatrix> forest_dists(4, IntMatrix(a.size() + 1, Ids(2, -1)));
  std::thread([] {}).join();  // sanitizer runtimes start helper threads on first use
  const int32_t before = live_threads();
  EXPECT_THROW(run_level_on_workers(bucket, 4, 1, rl1, kr1, rl2, kr2, costs, forest_dists,
                                    tree_dist, fail_third_worker),
               std::system_error);
  EXPECT_EQ(live_threads(), before);
  // Workers 0 and 1 started and ran to completion before the error left.
  EXPECT_NE(tree_dist[kr1[bucket[0]]][0], -1);
  EXPECT_NE(tree_dist[kr1[bucket[1]]][0], -1);
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
