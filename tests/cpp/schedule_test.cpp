#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <utility>

#include "distance/keyroot_schedule.h"
#include "distance/tree_preprocessing.h"
#include "test_support.h"

namespace grix {
namespace {

using Ids = std::vector<int32_t>;
using Cells = std::set<std::pair<int32_t, int32_t>>;

struct Prepared {
  Ids rightmost_leaf, keyroots;
};

Prepared prepare(const Ids& parents) {
  Prepared p;
  p.rightmost_leaf = compute_rightmost_leaves(build_children(parents));
  p.keyroots = compute_keyroots(p.rightmost_leaf);
  return p;
}

// Tree 1: 0 -> (1 -> (2, 3), 4 -> 5); tree 2: 0 -> (1, 2 -> 3).
class WorkedExample : public ::testing::Test {
 protected:
  Prepared t1 = prepare({-1, 0, 1, 1, 0, 4});
  Prepared t2 = prepare({-1, 0, 0, 2});
};

TEST_F(WorkedExample, LevelsProductsAndTasks) {
  EXPECT_EQ(t1.rightmost_leaf, (Ids{5, 3, 2, 3, 5, 5}));
  EXPECT_EQ(t1.keyroots, (Ids{2, 1, 0}));
  EXPECT_EQ(t2.rightmost_leaf, (Ids{3, 1, 3, 3}));
  EXPECT_EQ(t2.keyroots, (Ids{1, 0}));
  const Ids levels1 = compute_keyroot_levels(t1.rightmost_leaf, t1.keyroots);
  const Ids levels2 = compute_keyroot_levels(t2.rightmost_leaf, t2.keyroots);
  EXPECT_EQ(levels1, (Ids{0, 1, 2}));
  EXPECT_EQ(levels2, (Ids{0, 1}));
  // Keyroots 2 (tree 1) and 1 (tree 2) are leaves; the others are inner.
  const KeyrootLevels k = group_keyroots(t1.rightmost_leaf, t1.keyroots, t2.rightmost_leaf, t2.keyroots);
  EXPECT_EQ(k.split1.leaves, (Ids{2}));
  EXPECT_EQ(k.split2.leaves, (Ids{1}));
  EXPECT_EQ(k.inner1, (std::vector<Ids>{{}, {1}, {0}}));
  EXPECT_EQ(k.inner2, (std::vector<Ids>{{}, {0}}));
  EXPECT_EQ(k.max_level, 3);
  // Pair levels (2,1):0 (2,0):1 (1,1):1 (1,0):2 (0,1):2 (0,0):3, as the
  // products (inner pairs) and tasks (pairs with a leaf) of each level.
  const std::vector<int64_t> spans1 = spans_by_level(k.inner1, t1.rightmost_leaf);
  const std::vector<int64_t> spans2 = spans_by_level(k.inner2, t2.rightmost_leaf);
  const std::vector<std::vector<std::pair<int32_t, int32_t>>> expected_pairs = {{}, {}, {{1, 0}}, {{0, 0}}};
  using Kind = LevelTaskKind;
  const std::vector<std::vector<std::pair<Kind, int32_t>>> expected_tasks = {
      {{Kind::leaves_leaves, 0}},
      {{Kind::subtree_leaves, 1}, {Kind::leaves_subtree, 0}},
      {{Kind::subtree_leaves, 0}},
      {}};
  LevelProducts products;
  std::vector<LevelTask> tasks;
  for (int32_t level = 0; level <= k.max_level; ++level) {
    build_level_products(k, spans1, spans2, level, products);
    std::vector<std::pair<int32_t, int32_t>> pairs;
    for (size_t s = 0; s < products.level1.size(); ++s)
      for (int32_t x : k.inner1[products.level1[s]])
        for (int32_t y : k.inner2[level - products.level1[s]]) pairs.emplace_back(x, y);
    EXPECT_EQ(pairs, expected_pairs[level]) << "level " << level;
    EXPECT_EQ(products.pair_count(), static_cast<int64_t>(pairs.size()));
    build_level_tasks(k, t1.rightmost_leaf, t2.rightmost_leaf, level, tasks);
    std::vector<std::pair<Kind, int32_t>> got;
    for (const LevelTask& task : tasks) got.emplace_back(task.kind, task.keyroot);
    EXPECT_EQ(got, expected_tasks[level]) << "level " << level;
  }
}

TEST_F(WorkedExample, EachPairWritesItsRightmostPathCells) {
  const std::vector<Cells> expected = {
      {{2, 1}},
      {{2, 0}, {2, 2}, {2, 3}},
      {{1, 1}, {3, 1}},
      {{1, 0}, {1, 2}, {1, 3}, {3, 0}, {3, 2}, {3, 3}},
      {{0, 1}, {4, 1}, {5, 1}},
      {{0, 0}, {0, 2}, {0, 3}, {4, 0}, {4, 2}, {4, 3}, {5, 0}, {5, 2}, {5, 3}},
  };
  std::mt19937 rng(7);
  const IntMatrix costs = grix_test::random_costs(rng, 6, 4, 0, 3);
  IntMatrix tree_dist(6, Ids(4, -1));
  IntMatrix forest_dist(7, Ids(5, -1));
  for (int32_t p = 0; p < 6; ++p) {  // ascending p is also ascending level here
    const IntMatrix before = tree_dist;
    compute_keyroot_pair(p / 2, p % 2, t1.rightmost_leaf, t1.keyroots, t2.rightmost_leaf,
                         t2.keyroots, costs, forest_dist, tree_dist, nullptr);
    Cells written;
    for (int32_t l = 0; l < 6; ++l)
      for (int32_t k = 0; k < 4; ++k)
        if (tree_dist[l][k] != before[l][k]) {
          EXPECT_EQ(before[l][k], -1) << "cell written twice";
          written.insert({l, k});
        }
    EXPECT_EQ(written, expected[p]) << "pair " << p;
  }
}

TEST(Schedule, KeyrootLevelsOfNestedAndSiblingSubtrees) {
  // 0 -> (1 -> (2 -> (3, 4), 5), 6 -> (7, 8)).
  const Prepared t = prepare({-1, 0, 1, 2, 2, 1, 0, 6, 6});
  // Keyroots: 7, 3, 2, 1, 0 (8, 6, 5, 4 are last children).
  EXPECT_EQ(t.keyroots, (Ids{7, 3, 2, 1, 0}));
  EXPECT_EQ(compute_keyroot_levels(t.rightmost_leaf, t.keyroots), (Ids{0, 0, 1, 2, 3}));
}

// A level only has to come after the levels it reads, so a keyroot placed too
// high still gives the right distance, one pair group later: only the levels
// themselves show it.
TEST(Schedule, KeyrootWithoutKeyrootsInsideIsAtLevelZero) {
  // 0 -> (1 -> 2, 3): keyroot 1 spans two nodes and holds no other keyroot.
  const Prepared two_nodes = prepare({-1, 0, 1, 0});
  ASSERT_EQ(two_nodes.keyroots, (Ids{1, 0}));
  EXPECT_EQ(compute_keyroot_levels(two_nodes.rightmost_leaf, two_nodes.keyroots), (Ids{0, 1}));
  // 0 -> (1 -> 2 -> 3, 4): a path of three below keyroot 1.
  const Prepared path_below = prepare({-1, 0, 1, 2, 0});
  ASSERT_EQ(path_below.keyroots, (Ids{1, 0}));
  EXPECT_EQ(compute_keyroot_levels(path_below.rightmost_leaf, path_below.keyroots), (Ids{0, 1}));
}

TEST(Schedule, KeyrootLevelsFollowTheirDefinitionOnRandomTrees) {
  std::mt19937 rng(21);
  for (int round = 0; round < 300; ++round) {
    const auto tree = grix_test::random_tree(rng, grix_test::random_int(rng, 1, 40), 2);
    const Prepared p = prepare(tree.parents);
    // Level of x: 0 without keyroots strictly inside its subtree, else one
    // more than the highest of theirs. Inner keyroots have larger ids and come
    // earlier in the descending list, so their levels are known by then.
    Ids expected(p.keyroots.size(), 0);
    for (size_t a = 0; a < p.keyroots.size(); ++a) {
      const int32_t x = p.keyroots[a];
      for (size_t b = 0; b < a; ++b) {
        const int32_t y = p.keyroots[b];
        if (y > x && y <= p.rightmost_leaf[x]) expected[a] = std::max(expected[a], expected[b] + 1);
      }
    }
    ASSERT_EQ(compute_keyroot_levels(p.rightmost_leaf, p.keyroots), expected) << "round " << round;
  }
}

TEST(Schedule, WorkerCount) {
  EXPECT_EQ(effective_worker_count(8, 150, 149), 1);
  EXPECT_EQ(effective_worker_count(8, 150, 150), 8);
  EXPECT_EQ(effective_worker_count(1, 500, 500), 1);
  EXPECT_EQ(effective_worker_count(0, 500, 500), 1);
  EXPECT_EQ(effective_worker_count(-3, 500, 500), 1);
}

TEST(Schedule, NoCellLeftUnwrittenOnRandomTrees) {
  std::mt19937 rng(11);
  for (int round = 0; round < 200; ++round) {
    const auto a = grix_test::random_tree(rng, grix_test::random_int(rng, 1, 30), 3);
    const auto b = grix_test::random_tree(rng, grix_test::random_int(rng, 1, 30), 3);
    const Prepared p1 = prepare(a.parents), p2 = prepare(b.parents);
    const IntMatrix costs = grix_test::label_costs(a, b);
    IntMatrix tree_dist(a.size(), Ids(b.size(), -1));
    run_keyroot_schedule(p1.rightmost_leaf, p1.keyroots, p2.rightmost_leaf, p2.keyroots, costs,
                         tree_dist, a.size(), b.size(), 1);
    for (const Ids& row : tree_dist)
      for (int32_t cell : row) ASSERT_GE(cell, 0);
  }
}

TEST(Kernel, LeavesAPairOnceTheStopFlagIsSet) {
  // One pair of two paths is the whole distance; a stop must not wait for it.
  const Ids path_leaf(600, 599);  // a path: every subtree ends at the last node
  const IntMatrix costs(600, std::vector<int32_t>(600, 1));
  IntMatrix forest_dist(601, std::vector<int32_t>(601, -1));
  IntMatrix tree_dist(600, std::vector<int32_t>(600, -1));
  StopFlag stop{true};
  compute_subtree_pair(0, 0, path_leaf, path_leaf, costs, forest_dist, tree_dist, &stop);
  for (const std::vector<int32_t>& row : tree_dist) {
    EXPECT_EQ(std::count(row.begin(), row.end(), -1), 600);
  }
  stop = false;
  compute_subtree_pair(0, 0, path_leaf, path_leaf, costs, forest_dist, tree_dist, &stop);
  EXPECT_EQ(tree_dist[0][0], 600);
}

}  // namespace
}  // namespace grix
