// The engine against the reference forest recursion of test_support.h.

#include <gtest/gtest.h>

#include "test_support.h"

namespace grix {
namespace {

using grix_test::Tree;

int32_t engine_general(const Tree& a, const Tree& b, const IntMatrix& costs, int32_t threads = 1) {
  return compute_tree_edit_distance(a.labels, a.parents, b.labels, b.parents, costs, threads);
}

TEST(Differential, RandomTreesUniformCosts) {
  std::mt19937 rng(20261207);
  for (int round = 0; round < 3000; ++round) {
    const Tree a = grix_test::random_tree(rng, grix_test::random_int(rng, 1, 16), grix_test::random_int(rng, 1, 3));
    const Tree b = grix_test::random_tree(rng, grix_test::random_int(rng, 1, 16), grix_test::random_int(rng, 1, 3));
    const IntMatrix costs = grix_test::label_costs(a, b);
    const int32_t expected = grix_test::reference_distance(a, b, costs);
    ASSERT_EQ(compute_tree_edit_distance_uniform(a.labels, a.parents, b.labels, b.parents, 1),
              expected) << "round " << round;
    ASSERT_EQ(engine_general(a, b, costs), expected) << "round " << round;
  }
}

TEST(Differential, RandomTreesRandomCostsIncludingZeroAndNegative) {
  std::mt19937 rng(4242);
  for (int round = 0; round < 3000; ++round) {
    const Tree a = grix_test::random_tree(rng, grix_test::random_int(rng, 1, 16), 2);
    const Tree b = grix_test::random_tree(rng, grix_test::random_int(rng, 1, 16), 2);
    const IntMatrix costs = grix_test::random_costs(rng, a.size(), b.size(), -3, 6);
    ASSERT_EQ(engine_general(a, b, costs), grix_test::reference_distance(a, b, costs))
        << "round " << round;
  }
}

TEST(Differential, SwappingTreesAndTransposingCostsKeepsTheDistance) {
  std::mt19937 rng(99);
  for (int round = 0; round < 500; ++round) {
    const Tree a = grix_test::random_tree(rng, grix_test::random_int(rng, 1, 15), 3);
    const Tree b = grix_test::random_tree(rng, grix_test::random_int(rng, 1, 15), 3);
    const IntMatrix costs = grix_test::random_costs(rng, a.size(), b.size(), -2, 4);
    IntMatrix transposed(b.size(), std::vector<int32_t>(a.size()));
    for (int32_t i = 0; i < a.size(); ++i)
      for (int32_t j = 0; j < b.size(); ++j) transposed[j][i] = costs[i][j];
    ASSERT_EQ(engine_general(a, b, costs), engine_general(b, a, transposed));
  }
}

TEST(Differential, RandomForestsUseOnlyTheTreeAtNodeZero) {
  std::mt19937 rng(5);
  for (int round = 0; round < 500; ++round) {
    Tree a = grix_test::random_tree(rng, grix_test::random_int(rng, 1, 8), 2);
    const Tree tail = grix_test::random_tree(rng, grix_test::random_int(rng, 1, 8), 2);
    const Tree b = grix_test::random_tree(rng, grix_test::random_int(rng, 1, 10), 2);
    const int32_t expected = grix_test::reference_distance(a, b, grix_test::label_costs(a, b));
    const int32_t offset = a.size();
    for (int32_t i = 0; i < tail.size(); ++i) {
      a.labels.push_back(tail.labels[i]);
      a.parents.push_back(tail.parents[i] < 0 ? -1 : tail.parents[i] + offset);
    }
    ASSERT_EQ(compute_tree_edit_distance_uniform(a.labels, a.parents, b.labels, b.parents, 1),
              expected);
  }
}

// Every pre-order shape with up to `max_nodes` nodes: node i's parent is any
// node on the path from the root to node i-1.
void all_shapes(std::vector<int32_t>& parents, std::vector<int32_t>& path, size_t max_nodes,
                std::vector<std::vector<int32_t>>& out) {
  out.push_back(parents);
  if (parents.size() == max_nodes) return;
  const int32_t next = static_cast<int32_t>(parents.size());
  const std::vector<int32_t> saved = path;
  for (size_t depth = 0; depth < saved.size(); ++depth) {
    path.assign(saved.begin(), saved.begin() + static_cast<std::ptrdiff_t>(depth) + 1);
    parents.push_back(path.back());
    path.push_back(next);
    all_shapes(parents, path, max_nodes, out);
    parents.pop_back();
  }
  path = saved;
}

TEST(Differential, ExhaustiveSmallTreesOverTwoLabels) {
  std::vector<std::vector<int32_t>> shapes;
  std::vector<int32_t> parents{-1}, path{0};
  all_shapes(parents, path, 5, shapes);
  ASSERT_EQ(shapes.size(), 1u + 1 + 2 + 5 + 14);
  std::vector<Tree> trees;
  for (const auto& shape : shapes) {
    for (uint32_t mask = 0; mask < (1u << shape.size()); ++mask) {
      Tree t;
      t.parents = shape;
      for (size_t i = 0; i < shape.size(); ++i) t.labels.push_back((mask >> i) & 1 ? "b" : "a");
      trees.push_back(t);
    }
  }
  ASSERT_EQ(trees.size(), 2u + 4 + 16 + 80 + 448);
  for (const Tree& a : trees) {
    for (const Tree& b : trees) {
      const int32_t expected = grix_test::reference_distance(a, b, grix_test::label_costs(a, b));
      ASSERT_EQ(compute_tree_edit_distance_uniform(a.labels, a.parents, b.labels, b.parents, 1),
                expected);
    }
  }
}

}  // namespace
}  // namespace grix
