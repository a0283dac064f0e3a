// The entry points behind the grix package: the oriented distance, the edit
// mapping, batches of pairs and the stop flag. Suites whose
// names start with Parallel run threads and make up the ThreadSanitizer run.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <numeric>
#include <random>
#include <thread>

#include "test_support.h"
#include "tree_edit_distance.h"

namespace grix {
namespace {

using grix_test::Tree;

std::vector<int32_t> codes_of(const Tree& tree) {
  std::vector<int32_t> codes;
  for (const std::string& label : tree.labels) codes.push_back(label[0] - 'a');
  return codes;
}

OrientedTree oriented(const Tree& tree) {
  return prepare_oriented_tree(tree.parents, codes_of(tree), "tree");
}

// A spine through first children, each spine node with a leaf after it: the
// shape whose rightmost-path decomposition costs the most.
Tree caterpillar(int32_t spine) {
  Tree tree;
  for (int32_t s = 0; s < spine; ++s) tree.parents.push_back(s - 1);
  for (int32_t s = 0; s < spine; ++s) tree.parents.push_back(s);
  // Pre-order: spine node s, then the spine below it, then its leaf.
  Tree ordered;
  std::vector<int32_t> stack{0};
  std::vector<int32_t> new_id(tree.parents.size());
  while (!stack.empty()) {
    const int32_t v = stack.back();
    stack.pop_back();
    new_id[v] = ordered.size();
    ordered.parents.push_back(tree.parents[v] < 0 ? -1 : new_id[tree.parents[v]]);
    ordered.labels.push_back(v < spine ? "a" : "b");
    if (v < spine) {
      stack.push_back(spine + v);              // leaf, visited last
      if (v + 1 < spine) stack.push_back(v + 1);  // next spine node, first
    }
  }
  return ordered;
}

int32_t mapping_cost(const EditMapping& mapping, const IntMatrix& costs) {
  int32_t cost = static_cast<int32_t>(mapping.deleted.size() + mapping.inserted.size());
  for (const auto& [i, j] : mapping.pairs) cost += costs[i][j];
  return cost;
}

TEST(Orientation, MirrorReversesChildrenInPreOrder) {
  // a(b(d, e), c) mirrored is a(c, b(e, d)).
  const OrientedTree tree = prepare_oriented_tree({-1, 0, 1, 1, 0}, {0, 1, 3, 4, 2}, "t");
  EXPECT_EQ(tree.mirrored.parents, (std::vector<int32_t>{-1, 0, 0, 2, 2}));
  EXPECT_EQ(tree.mirrored.codes, (std::vector<int32_t>{0, 2, 1, 4, 3}));
  EXPECT_EQ(tree.mirrored_to_given, (std::vector<int32_t>{0, 4, 1, 3, 2}));
}

TEST(Orientation, CaterpillarIsPricedAndComputedMirrored) {
  const OrientedTree tree = oriented(caterpillar(600));
  double cells = 0;
  EXPECT_TRUE(mirrored_is_cheaper(tree, tree, &cells));
  EXPECT_LT(cells, 1e7);
  EXPECT_GT(static_cast<double>(tree.given.cell_factor) * static_cast<double>(tree.given.cell_factor), 1e10);
  EXPECT_EQ(compute_oriented_distance(tree, tree, nullptr, 1, nullptr), 0);
}

TEST(Orientation, RefusesForestsAndBadCodes) {
  EXPECT_THROW(prepare_oriented_tree({-1, 0, -1}, {0, 0, 0}, "t"), std::invalid_argument);
  EXPECT_THROW(prepare_oriented_tree({0}, {0}, "t"), std::invalid_argument);
  EXPECT_THROW(prepare_oriented_tree({-1, 0}, {0, -4}, "t"), std::invalid_argument);
  EXPECT_THROW(prepare_oriented_tree({-1, 0}, {0}, "t"), std::invalid_argument);
  EXPECT_THROW(prepare_oriented_tree({-1, 2, 0}, {0, 0, 0}, "t"), std::invalid_argument);
}

TEST(OrientedDistance, MatchesTheReferenceWithAnyCosts) {
  std::mt19937 rng(7);
  for (int round = 0; round < 800; ++round) {
    const Tree t1 = grix_test::random_tree(rng, grix_test::random_int(rng, 1, 10), 3);
    const Tree t2 = grix_test::random_tree(rng, grix_test::random_int(rng, 1, 10), 3);
    const IntMatrix costs = grix_test::random_costs(rng, t1.size(), t2.size(), -2, 4);
    const OrientedTree o1 = oriented(t1), o2 = oriented(t2);
    EXPECT_EQ(compute_oriented_distance(o1, o2, &costs, 1, nullptr),
              grix_test::reference_distance(t1, t2, costs));
    EXPECT_EQ(compute_oriented_distance(o1, o2, nullptr, 1, nullptr),
              grix_test::reference_distance(t1, t2, grix_test::label_costs(t1, t2)));
  }
}

TEST(EditMapping, CostsTheDistanceAndIsOrdered) {
  std::mt19937 rng(8);
  for (int round = 0; round < 800; ++round) {
    const Tree t1 = grix_test::random_tree(rng, grix_test::random_int(rng, 1, 12), 3);
    const Tree t2 = grix_test::random_tree(rng, grix_test::random_int(rng, 1, 12), 3);
    const IntMatrix costs = grix_test::random_costs(rng, t1.size(), t2.size(), -1, 5);
    const EditMapping mapping = compute_edit_mapping(oriented(t1), oriented(t2), &costs, 1, nullptr);
    EXPECT_EQ(mapping.distance, grix_test::reference_distance(t1, t2, costs));
    EXPECT_EQ(mapping_cost(mapping, costs), mapping.distance);
    for (const auto& [i, j] : mapping.pairs) EXPECT_LT(costs[i][j], 2);
    // Pairs ascend in both trees: pre-order is kept (the Python tests also
    // check ancestry).
    for (size_t k = 1; k < mapping.pairs.size(); ++k) {
      EXPECT_LT(mapping.pairs[k - 1].first, mapping.pairs[k].first);
      EXPECT_LT(mapping.pairs[k - 1].second, mapping.pairs[k].second);
    }
  }
}

TEST(ParallelEditMapping, ThreadsAndMirroringGiveAnOptimalMapping) {
  std::mt19937 rng(9);
  const Tree t1 = grix_test::random_tree(rng, 400, 4);
  const Tree t2 = grix_test::random_tree(rng, 350, 4);
  const IntMatrix costs = grix_test::label_costs(t1, t2);
  const int32_t expected = compute_tree_edit_distance_uniform(t1.labels, t1.parents, t2.labels, t2.parents, 1);
  for (int32_t threads : {1, 2, 3}) {
    const EditMapping mapping = compute_edit_mapping(oriented(t1), oriented(t2), nullptr, threads, nullptr);
    EXPECT_EQ(mapping.distance, expected);
    EXPECT_EQ(mapping_cost(mapping, costs), expected);
  }
}

std::vector<OrientedTree> random_corpus(std::mt19937& rng, int32_t count, int32_t max_nodes) {
  std::vector<OrientedTree> trees;
  for (int32_t t = 0; t < count; ++t) {
    trees.push_back(oriented(grix_test::random_tree(rng, grix_test::random_int(rng, 1, max_nodes), 3)));
  }
  return trees;
}

TEST(ParallelBatch, EveryLayoutMatchesPairByPair) {
  std::mt19937 rng(10);
  const std::vector<OrientedTree> a = random_corpus(rng, 37, 15), b = random_corpus(rng, 23, 15);
  LabelCosts costs{3, 3, {0, 2, -1, 1, 0, 3, 4, 1, 0}};
  for (const LabelCosts* label_costs : std::vector<const LabelCosts*>{nullptr, &costs}) {
    for (int32_t workers : {1, 2, 3}) {
      PairBatch all{&a, &a, PairLayout::all_pairs_of_a, {}, {}, label_costs};
      std::vector<int32_t> condensed(static_cast<size_t>(batch_result_count(all)));
      std::atomic<int64_t> cells{0};
      compute_pair_batch(all, workers, condensed.data(), nullptr, &cells);
      EXPECT_DOUBLE_EQ(static_cast<double>(cells.load()), batch_cell_count(all));
      PairBatch cross{&a, &b, PairLayout::a_by_b, {}, {}, label_costs};
      std::vector<int32_t> matrix(static_cast<size_t>(batch_result_count(cross)));
      compute_pair_batch(cross, workers, matrix.data(), nullptr, nullptr);
      PairBatch listed{&a, &b, PairLayout::listed, {5, 0, 36}, {22, 0, 3}, label_costs};
      std::vector<int32_t> picked(3);
      compute_pair_batch(listed, workers, picked.data(), nullptr, nullptr);

      auto expected = [&](const OrientedTree& x, const OrientedTree& y) {
        if (label_costs == nullptr) return compute_oriented_distance(x, y, nullptr, 1, nullptr);
        IntMatrix full(x.size(), std::vector<int32_t>(y.size()));
        for (int32_t i = 0; i < x.size(); ++i)
          for (int32_t j = 0; j < y.size(); ++j) full[i][j] = costs.values[x.given.codes[i] * 3 + y.given.codes[j]];
        return compute_oriented_distance(x, y, &full, 1, nullptr);
      };
      size_t k = 0;
      for (size_t i = 0; i < a.size(); ++i)
        for (size_t j = i + 1; j < a.size(); ++j) ASSERT_EQ(condensed[k++], expected(a[i], a[j]));
      for (size_t i = 0; i < a.size(); ++i)
        for (size_t j = 0; j < b.size(); ++j) ASSERT_EQ(matrix[i * b.size() + j], expected(a[i], b[j]));
      EXPECT_EQ(picked, (std::vector<int32_t>{expected(a[5], b[22]), expected(a[0], b[0]), expected(a[36], b[3])}));
    }
  }
}

TEST(Batch, RefusesCodesOutsideTheTableAndBadPairs) {
  std::mt19937 rng(11);
  const std::vector<OrientedTree> a = random_corpus(rng, 4, 6);
  LabelCosts small{2, 2, {0, 1, 1, 0}};  // codes go up to 2
  int32_t out[16];
  EXPECT_THROW(compute_pair_batch({&a, &a, PairLayout::a_by_b, {}, {}, &small}, 1, out, nullptr, nullptr),
               std::invalid_argument);
  EXPECT_THROW(compute_pair_batch({&a, &a, PairLayout::listed, {0}, {4}, nullptr}, 1, out, nullptr, nullptr),
               std::invalid_argument);
  LabelCosts negative{3, 3, std::vector<int32_t>(9, -1000000000)};
  EXPECT_THROW(compute_pair_batch({&a, &a, PairLayout::a_by_b, {}, {}, &negative}, 1, out, nullptr, nullptr),
               std::invalid_argument);
}

TEST(ParallelStop, ASetFlagStopsEveryEntryPoint) {
  std::mt19937 rng(13);
  const OrientedTree big1 = oriented(grix_test::random_tree(rng, 500, 3));
  const OrientedTree big2 = oriented(grix_test::random_tree(rng, 500, 3));
  StopFlag stop{true};
  EXPECT_THROW(compute_oriented_distance(big1, big2, nullptr, 2, &stop), OperationStopped);
  EXPECT_THROW(compute_edit_mapping(big1, big2, nullptr, 1, &stop), OperationStopped);
  const std::vector<OrientedTree> corpus = random_corpus(rng, 30, 10);
  std::vector<int32_t> out(435);
  EXPECT_THROW(compute_pair_batch({&corpus, &corpus, PairLayout::all_pairs_of_a, {}, {}, nullptr}, 2,
                                  out.data(), &stop, nullptr),
               OperationStopped);
}

TEST(ParallelStop, AFlagSetMidwayEndsTheCallEarly) {
  std::mt19937 rng(14);
  const OrientedTree t1 = oriented(grix_test::random_tree(rng, 3000, 3));
  const OrientedTree t2 = oriented(grix_test::random_tree(rng, 3000, 3));
  StopFlag stop{false};
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    stop = true;
  });
  EXPECT_THROW(compute_oriented_distance(t1, t2, nullptr, 2, &stop), OperationStopped);
  stopper.join();
}

}  // namespace
}  // namespace grix
