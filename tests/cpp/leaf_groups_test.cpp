// Keyroot pairs with a leaf on one side, run in groups (leaf_keyroots.h),
// against every keyroot pair run through the kernel one at a time: the whole
// subtree-distance matrix must agree cell for cell, bit for bit with
// fractional costs, on wide and shallow shapes (stars, brooms, records,
// tables) and random trees, with 1 to 3 workers. Suites named Parallel* make
// up the ThreadSanitizer run.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "distance/keyroot_schedule.h"
#include "distance/subtree_shares.h"
#include "distance/tree_preprocessing.h"
#include "test_support.h"

namespace grix {
namespace {

using Ids = std::vector<int32_t>;

Ids star(int32_t children) {
  Ids parents{-1};
  for (int32_t i = 0; i < children; ++i) parents.push_back(0);
  return parents;
}

// A handle (a path) ending in a star of `bristles` leaves.
Ids broom(int32_t handle, int32_t bristles) {
  Ids parents;
  for (int32_t i = 0; i < handle; ++i) parents.push_back(i - 1);
  for (int32_t i = 0; i < bristles; ++i) parents.push_back(handle - 1);
  return parents;
}

// A list of records of `fields` leaves each, as JSON arrays of objects give.
Ids records(int32_t count, int32_t fields) {
  Ids parents{-1};
  for (int32_t r = 0; r < count; ++r) {
    const int32_t record = static_cast<int32_t>(parents.size());
    parents.push_back(0);
    for (int32_t f = 0; f < fields; ++f) parents.push_back(record);
  }
  return parents;
}

// table -> rows -> cells -> one text node each, as HTML tables give.
Ids table(int32_t rows, int32_t columns) {
  Ids parents{-1};
  for (int32_t r = 0; r < rows; ++r) {
    const int32_t row = static_cast<int32_t>(parents.size());
    parents.push_back(0);
    for (int32_t c = 0; c < columns; ++c) {
      const int32_t cell = static_cast<int32_t>(parents.size());
      parents.push_back(row);
      parents.push_back(cell);
    }
  }
  return parents;
}

struct Shape {
  const char* name;
  Ids first, second;
};

std::vector<Shape> wide_shapes(std::mt19937& rng) {
  return {
      {"star x star", star(200), star(170)},
      {"star x single node", star(300), {-1}},
      {"single node x star", {-1}, star(300)},
      {"broom x broom", broom(40, 160), broom(25, 190)},
      {"star x broom", star(180), broom(60, 140)},
      {"records x records", records(40, 6), records(35, 7)},
      {"table x table", table(12, 8), table(10, 9)},
      {"table x records", table(9, 7), records(30, 5)},
      {"random x star", grix_test::random_tree(rng, 260, 3).parents, star(150)},
      {"random x random", grix_test::random_tree(rng, 320, 3).parents,
       grix_test::random_tree(rng, 290, 3).parents},
  };
}

struct Prepared {
  Ids parents, rightmost_leaf, keyroots;
  int32_t size() const { return static_cast<int32_t>(rightmost_leaf.size()); }
};

Prepared prepare(const Ids& parents) {
  Prepared p;
  p.parents = parents;
  p.rightmost_leaf = compute_rightmost_leaves(build_children(parents));
  p.keyroots = compute_keyroots(p.rightmost_leaf);
  return p;
}

// Fractional costs with some renames forbidden (+inf) and some free.
struct DoubleCosts {
  FlatMatrix<double> rename;
  std::vector<double> deletion, insertion;
};

DoubleCosts double_costs(std::mt19937& rng, int32_t n1, int32_t n2) {
  std::uniform_real_distribution<double> fraction(0.1, 2.3);
  DoubleCosts c;
  c.rename.reshape(n1, n2);
  for (int32_t i = 0; i < n1; ++i) {
    for (int32_t j = 0; j < n2; ++j) {
      const int32_t kind = grix_test::random_int(rng, 0, 9);
      c.rename.at(i, j) = kind == 0 ? std::numeric_limits<double>::infinity() : kind == 1 ? 0.0 : fraction(rng);
    }
  }
  for (int32_t i = 0; i < n1; ++i) c.deletion.push_back(fraction(rng));
  for (int32_t j = 0; j < n2; ++j) c.insertion.push_back(fraction(rng));
  return c;
}

// Every keyroot pair through the kernel, in row-major order.
template <typename Cost, typename Indel, typename Costs>
FlatMatrix<Cost> pair_by_pair(const Prepared& a, const Prepared& b, const Costs& costs, const Indel& indel) {
  FlatMatrix<Cost> tree_dist(a.size(), b.size()), forest_dist(a.size() + 1, b.size() + 1);
  for (int32_t x : a.keyroots)
    for (int32_t y : b.keyroots)
      compute_subtree_pair<Cost>(x, y, a.rightmost_leaf, b.rightmost_leaf, costs, indel, forest_dist, tree_dist,
                                 nullptr);
  return tree_dist;
}

// Whether the schedules store cell (i, j): with LeafPairsOnRead renames no
// cell of a leaf keyroot against a leaf keyroot is, save (0, 0) of two
// single-node trees; every other cell is.
struct StoredCells {
  std::vector<char> leaf_keyroot1, leaf_keyroot2;
  bool all = true;
  bool operator()(int32_t i, int32_t j) const {
    return all || !(leaf_keyroot1[i] && leaf_keyroot2[j]) || (leaf_keyroot1.size() == 1 && leaf_keyroot2.size() == 1);
  }
};

StoredCells every_cell() { return {}; }

StoredCells all_but_leaf_pairs(const Prepared& a, const Prepared& b) {
  StoredCells stored;
  stored.all = false;
  stored.leaf_keyroot1.assign(a.size(), 0);
  stored.leaf_keyroot2.assign(b.size(), 0);
  for (int32_t x : a.keyroots) stored.leaf_keyroot1[x] = a.rightmost_leaf[x] == x;
  for (int32_t y : b.keyroots) stored.leaf_keyroot2[y] = b.rightmost_leaf[y] == y;
  return stored;
}

template <typename Cost>
void expect_same_bits(const FlatMatrix<Cost>& got, const FlatMatrix<Cost>& expected, const std::string& what,
                      const StoredCells& stored = every_cell()) {
  for (int32_t i = 0; i < expected.rows(); ++i) {
    if (stored.all &&
        std::memcmp(got.row(i), expected.row(i), sizeof(Cost) * static_cast<size_t>(expected.columns())) == 0) {
      continue;
    }
    for (int32_t j = 0; j < expected.columns(); ++j) {
      if (!stored(i, j)) continue;
      ASSERT_EQ(std::memcmp(&got.at(i, j), &expected.at(i, j), sizeof(Cost)), 0)
          << what << ", cell (" << i << ", " << j << "): " << got.at(i, j) << " instead of " << expected.at(i, j);
    }
  }
}

// Runs every schedule (levels on 1 to 3 workers, pairs in order, shares of 2
// and 3 workers) with `costs` and compares the cells it stores with
// `expected`.
template <typename Cost, typename Indel, typename Costs>
void check_every_path_against(const Prepared& a, const Prepared& b, const Costs& costs, const Indel& indel,
                              const FlatMatrix<Cost>& expected, const std::string& name,
                              const StoredCells& stored = every_cell()) {
  for (int32_t threads : {1, 2, 3}) {
    FlatMatrix<Cost> tree_dist(a.size(), b.size());
    run_keyroot_schedule<Cost>(a.rightmost_leaf, a.keyroots, b.rightmost_leaf, b.keyroots, costs, indel, tree_dist,
                               a.size(), b.size(), threads, start_worker_thread, nullptr);
    expect_same_bits(tree_dist, expected, name + ", schedule on " + std::to_string(threads) + " workers", stored);
  }
  FlatMatrix<Cost> tree_dist(a.size(), b.size()), forest_dist(a.size() + 1, b.size() + 1);
  KeyrootSplit split1, split2;
  LeafGroupScratch<Cost> scratch;
  run_keyroot_pairs_in_order<Cost>(a.rightmost_leaf, a.keyroots, b.rightmost_leaf, b.keyroots, costs, indel,
                                   forest_dist, tree_dist, split1, split2, scratch, nullptr);
  expect_same_bits(tree_dist, expected, name + ", pairs in order", stored);
  PreparedTree tree1, tree2;
  tree1.parents = a.parents, tree1.rightmost_leaf = a.rightmost_leaf, tree1.keyroots = a.keyroots;
  tree2.parents = b.parents, tree2.rightmost_leaf = b.rightmost_leaf, tree2.keyroots = b.keyroots;
  for (int32_t workers : {2, 3}) {
    FlatMatrix<Cost> shared(a.size(), b.size());
    run_keyroot_pairs_in_shares<Cost>(tree1, tree2, costs, indel, shared, workers, nullptr, nullptr);
    expect_same_bits(shared, expected, name + ", shares of " + std::to_string(workers) + " workers", stored);
  }
}

template <typename Cost, typename Indel, typename Costs>
void check_every_path(const Prepared& a, const Prepared& b, const Costs& costs, const Indel& indel,
                      const std::string& name) {
  check_every_path_against<Cost>(a, b, costs, indel, pair_by_pair<Cost>(a, b, costs, indel), name);
}

// Each keyroot in one share or the rest, each share closed under subtrees
// (so that workers never read each other's rows), ids descending throughout.
TEST(SubtreeShares, DealEveryKeyrootOnceInWholeSubtrees) {
  std::mt19937 rng(2915);
  std::vector<Ids> trees = {star(1), star(40), broom(30, 50), records(20, 4), table(6, 5), broom(200, 1)};
  for (int round = 0; round < 20; ++round) trees.push_back(grix_test::random_tree(rng, 1 + round * 37, 3).parents);
  for (const Ids& parents : trees) {
    const Prepared p = prepare(parents);
    for (int32_t workers : {2, 3}) {
      const KeyrootShares dealt = share_keyroots(p.parents, p.rightmost_leaf, p.keyroots, workers);
      ASSERT_EQ(dealt.shares.size(), static_cast<size_t>(workers));
      std::vector<int32_t> owner(p.size(), -2);
      auto check_descending = [](const Ids& ids) { return std::is_sorted(ids.rbegin(), ids.rend()); };
      ASSERT_TRUE(check_descending(dealt.rest));
      for (int32_t x : dealt.rest) owner[x] = -1;
      for (int32_t w = 0; w < workers; ++w) {
        ASSERT_TRUE(check_descending(dealt.shares[w]));
        for (int32_t x : dealt.shares[w]) {
          ASSERT_EQ(owner[x], -2) << "keyroot " << x << " dealt twice";
          owner[x] = w;
        }
      }
      for (int32_t x : p.keyroots) {
        ASSERT_NE(owner[x], -2) << "keyroot " << x << " not dealt";
        if (owner[x] < 0) continue;
        for (int32_t inside : p.keyroots) {
          if (inside > x && inside <= p.rightmost_leaf[x]) ASSERT_EQ(owner[inside], owner[x]);
        }
      }
      if (p.size() > 0) ASSERT_EQ(owner[0], -1);  // the root comes last
    }
  }
}

TEST(SubtreeShares, PayOnlyWhereTheKernelPairsCanBeSharedOut) {
  auto worth = [](const Ids& first, const Ids& second, int32_t workers) {
    const Prepared a = prepare(first), b = prepare(second);
    return worth_sharing(a.rightmost_leaf, a.keyroots, share_keyroots(a.parents, a.rightmost_leaf, a.keyroots, workers),
                         b.rightmost_leaf, b.keyroots, share_keyroots(b.parents, b.rightmost_leaf, b.keyroots, workers));
  };
  // A star's only kernel pair is root against root, which no share holds.
  EXPECT_FALSE(worth(star(2000), star(1500), 2));
  EXPECT_FALSE(worth(broom(300, 40), star(500), 2));
  // Nor has a single node: its distances are leaf groups alone.
  std::mt19937 rng(2917);
  const Ids random1 = grix_test::random_tree(rng, 2000, 3).parents;
  const Ids random2 = grix_test::random_tree(rng, 2000, 3).parents;
  EXPECT_FALSE(worth({-1}, {-1}, 2));
  EXPECT_FALSE(worth({-1}, random2, 2));
  EXPECT_FALSE(worth(random1, {-1}, 3));
  // Random trees hang many subtrees of similar weight below the root.
  EXPECT_TRUE(worth(random1, random2, 2));
  EXPECT_TRUE(worth(random1, random2, 3));
}

TEST(ParallelLeafGroups, IntegerCostsMatchThePairByPairKernel) {
  std::mt19937 rng(2911);
  for (const Shape& shape : wide_shapes(rng)) {
    const Prepared a = prepare(shape.first), b = prepare(shape.second);
    FlatMatrix<int32_t> rename(a.size(), b.size());
    for (int32_t i = 0; i < a.size(); ++i)
      for (int32_t j = 0; j < b.size(); ++j) rename.at(i, j) = grix_test::random_int(rng, -1, 3);
    const MatrixView<int32_t> view{rename.row(0), a.size(), b.size()};
    check_every_path<int32_t>(a, b, view, UnitIndel{}, std::string(shape.name) + ", unit indel");
    std::vector<int32_t> deletion(a.size()), insertion(b.size());
    for (int32_t& cost : deletion) cost = grix_test::random_int(rng, 1, 4);
    for (int32_t& cost : insertion) cost = grix_test::random_int(rng, 1, 4);
    check_every_path<int32_t>(a, b, view, NodeIndel<int32_t>{deletion.data(), insertion.data()},
                              std::string(shape.name) + ", per-node indel");
  }
}

TEST(ParallelLeafGroups, FractionalCostsMatchThePairByPairKernelBitForBit) {
  std::mt19937 rng(2912);
  for (const Shape& shape : wide_shapes(rng)) {
    const Prepared a = prepare(shape.first), b = prepare(shape.second);
    const DoubleCosts costs = double_costs(rng, a.size(), b.size());
    const MatrixView<double> view{costs.rename.row(0), a.size(), b.size()};
    check_every_path<double>(a, b, view, NodeIndel<double>{costs.deletion.data(), costs.insertion.data()},
                             std::string(shape.name) + ", fractional");
    check_every_path<double>(a, b, view, UnitIndel{}, std::string(shape.name) + ", fractional renames");
  }
}

// GRIX_CPU's matrices: rows as separate vectors, unit indel.
TEST(ParallelLeafGroups, GrixCpuMatricesMatchThePairByPairKernel) {
  std::mt19937 rng(2913);
  for (const Shape& shape : wide_shapes(rng)) {
    const Prepared a = prepare(shape.first), b = prepare(shape.second);
    const IntMatrix costs = grix_test::random_costs(rng, a.size(), b.size(), 0, 2);
    IntMatrix expected(a.size(), Ids(b.size(), -1)), forest_dist(a.size() + 1, Ids(b.size() + 1, -1));
    for (int32_t x : a.keyroots)
      for (int32_t y : b.keyroots)
        compute_subtree_pair(x, y, a.rightmost_leaf, b.rightmost_leaf, costs, forest_dist, expected, nullptr);
    for (int32_t threads : {1, 2}) {
      IntMatrix tree_dist(a.size(), Ids(b.size(), -1));
      run_keyroot_schedule(a.rightmost_leaf, a.keyroots, b.rightmost_leaf, b.keyroots, costs, tree_dist, a.size(),
                           b.size(), threads);
      ASSERT_EQ(tree_dist, expected) << shape.name << ", " << threads << " workers";
    }
  }
}

// A shallow, bushy tree of n nodes in pre-order: each node hangs below one
// of the first `depth` nodes of the path to the node before it, so most
// nodes are leaves and many subtrees hold dozens of them.
Ids bushy(std::mt19937& rng, int32_t n, int32_t depth) {
  Ids parents, path;
  for (int32_t i = 0; i < n; ++i) {
    if (i > 0) path.resize(static_cast<size_t>(grix_test::random_int(rng, 1, std::min(depth, static_cast<int32_t>(path.size())))));
    parents.push_back(i == 0 ? -1 : path.back());
    path.push_back(i);
  }
  return parents;
}

std::vector<Shape> bushy_shapes(std::mt19937& rng) {
  return {
      {"star x star", star(160), star(140)},
      {"star x single node", star(120), {-1}},
      {"single node x star", {-1}, star(120)},
      {"single node x single node", {-1}, {-1}},
      {"broom x star", broom(20, 120), star(130)},
      {"bushy x star", bushy(rng, 220, 3), star(150)},
      {"star x bushy", star(150), bushy(rng, 220, 3)},
      {"bushy x bushy", bushy(rng, 260, 3), bushy(rng, 240, 4)},
      {"records x bushy", records(25, 6), bushy(rng, 200, 2)},
      {"random x bushy", grix_test::random_tree(rng, 200, 3).parents, bushy(rng, 210, 3)},
  };
}

Ids random_codes(std::mt19937& rng, int32_t n, int32_t labels) {
  Ids codes(static_cast<size_t>(n));
  for (int32_t& code : codes) code = grix_test::random_int(rng, 0, labels - 1);
  return codes;
}

// Renames read through label codes, as the batches and the mapping run
// them: the subtree-distance matrix of every schedule against the kernel
// pair by pair, once with the leaf pairs stored and once formed on read
// (whose leaf-keyroot pairs are not stored). With integer costs a subtree
// against many leaves is computed by the closed form over the leaves'
// labels, which only these renames reach.
template <typename Cost, typename Indel, typename Costs>
void check_code_renames(const Prepared& a, const Prepared& b, const Costs& costs, const Indel& indel,
                        const std::string& name) {
  const FlatMatrix<Cost> expected = pair_by_pair<Cost>(a, b, costs, indel);
  check_every_path_against<Cost>(a, b, costs, indel, expected, name + ", leaf pairs stored");
  check_every_path_against<Cost>(a, b, LeafPairsOnRead<Costs>{costs}, indel, expected, name + ", leaf pairs on read",
                                 all_but_leaf_pairs(a, b));
}

TEST(ParallelLeafGroups, IntegerRenamesByLabelCodeMatchThePairByPairKernel) {
  std::mt19937 rng(2918);
  constexpr int32_t LABELS = 4;
  for (const Shape& shape : bushy_shapes(rng)) {
    const Prepared a = prepare(shape.first), b = prepare(shape.second);
    const Ids codes1 = random_codes(rng, a.size(), LABELS), codes2 = random_codes(rng, b.size(), LABELS);
    std::vector<int32_t> table(LABELS * LABELS);
    for (int32_t& cost : table) cost = grix_test::random_int(rng, -2, 4);
    std::vector<int32_t> deletion(a.size()), insertion(b.size());
    for (int32_t& cost : deletion) cost = grix_test::random_int(rng, 0, 4);
    for (int32_t& cost : insertion) cost = grix_test::random_int(rng, 0, 4);
    const NodeIndel<int32_t> per_node{deletion.data(), insertion.data()};
    const CodeTableRename<int32_t> by_table{codes1.data(), codes2.data(), table.data(), LABELS};
    const CodeEqualityRename<int32_t> by_equality{codes1.data(), codes2.data()};
    const std::string name(shape.name);
    check_code_renames<int32_t>(a, b, by_table, UnitIndel{}, name + ", label table, unit indel");
    check_code_renames<int32_t>(a, b, by_table, per_node, name + ", label table, per-node indel");
    check_code_renames<int32_t>(a, b, by_equality, UnitIndel{}, name + ", label equality, unit indel");
    check_code_renames<int32_t>(a, b, by_equality, per_node, name + ", label equality, per-node indel");
  }
}

TEST(ParallelLeafGroups, FractionalRenamesByLabelCodeMatchThePairByPairKernelBitForBit) {
  std::mt19937 rng(2919);
  constexpr int32_t LABELS = 4;
  for (const Shape& shape : bushy_shapes(rng)) {
    const Prepared a = prepare(shape.first), b = prepare(shape.second);
    const Ids codes1 = random_codes(rng, a.size(), LABELS), codes2 = random_codes(rng, b.size(), LABELS);
    const DoubleCosts costs = double_costs(rng, LABELS, LABELS);  // its renames are the label table
    const DoubleCosts per_node = double_costs(rng, a.size(), b.size());
    const CodeTableRename<double> by_table{codes1.data(), codes2.data(), costs.rename.row(0), LABELS};
    const CodeEqualityRename<double> by_equality{codes1.data(), codes2.data()};
    const NodeIndel<double> indel{per_node.deletion.data(), per_node.insertion.data()};
    const std::string name(shape.name);
    check_code_renames<double>(a, b, by_table, indel, name + ", fractional label table");
    check_code_renames<double>(a, b, by_equality, indel, name + ", label equality, fractional indel");
    // Renames dearer than any delete and insert (some forbidden): every
    // cell is a sum of delete and insert costs, and the kernel's order of
    // adding them decides its last bit.
    std::vector<double> dear(LABELS * LABELS);
    for (double& cost : dear) cost = grix_test::random_int(rng, 0, 3) == 0 ? INFINITY : 4.7 + 0.1 * (rng() % 9);
    const CodeTableRename<double> dear_table{codes1.data(), codes2.data(), dear.data(), LABELS};
    check_code_renames<double>(a, b, dear_table, indel, name + ", dear renames");
  }
}

// The shapes above do reach the closed form: a star against its own leaves
// with few labels.
TEST(LeafGroups, TheClosedFormPaysForAStarAgainstManyLeaves) {
  const Prepared a = prepare(star(160)), b = prepare(star(140));
  KeyrootSplit split;
  split_keyroots(b.rightmost_leaf, b.keyroots, split);
  Ids codes;
  for (int32_t j = 0; j < b.size(); ++j) codes.push_back(j % 4);
  LeafGroupScratch<int32_t> scratch;
  EXPECT_EQ(closed_form_labels(split.leaves.data(), static_cast<int32_t>(split.leaves.size()), codes.data(), 0,
                               a.rightmost_leaf, scratch),
            4);
}

// The distance of wide shapes against the reference forest recursion, whose
// code shares nothing with either the kernel or the groups.
TEST(LeafGroups, SmallWideShapesAgreeWithTheReference) {
  std::mt19937 rng(2914);
  const std::vector<Ids> shapes = {star(1), star(5), broom(3, 4), records(3, 2), table(2, 2), broom(1, 6)};
  for (const Ids& first : shapes) {
    for (const Ids& second : shapes) {
      for (int round = 0; round < 4; ++round) {
        grix_test::Tree a, b;
        a.parents = first;
        b.parents = second;
        for (size_t i = 0; i < first.size(); ++i) a.labels.push_back(std::string(1, static_cast<char>('a' + rng() % 3)));
        for (size_t i = 0; i < second.size(); ++i) b.labels.push_back(std::string(1, static_cast<char>('a' + rng() % 3)));
        const IntMatrix costs = grix_test::random_costs(rng, a.size(), b.size(), 0, 3);
        ASSERT_EQ(compute_tree_edit_distance(a.labels, a.parents, b.labels, b.parents, costs, 1),
                  grix_test::reference_distance(a, b, costs));
      }
    }
  }
}

}  // namespace
}  // namespace grix
