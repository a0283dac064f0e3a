// The entry points behind the grix package: the oriented distance, the edit
// mapping, batches of pairs and the stop flag. Suites whose
// names start with Parallel run threads and make up the ThreadSanitizer run.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <map>
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

// A caller's rename matrix, flat, with the costs that view it.
template <typename Cost>
struct OwnedCosts {
  std::vector<Cost> values;
  PairCosts<Cost> costs;
};

OwnedCosts<int32_t> by_node(const IntMatrix& matrix) {
  OwnedCosts<int32_t> owned;
  for (const auto& row : matrix) owned.values.insert(owned.values.end(), row.begin(), row.end());
  owned.costs.rename_by_node = {owned.values.data(), static_cast<int32_t>(matrix.size()),
                                matrix.empty() ? 0 : static_cast<int32_t>(matrix[0].size())};
  return owned;
}

const PairCosts<int32_t> LABEL_EQUALITY;

int32_t mapping_cost(const EditMapping<int32_t>& mapping, const IntMatrix& costs) {
  int32_t cost = static_cast<int32_t>(mapping.deleted.size() + mapping.inserted.size());
  for (const auto& [i, j] : mapping.pairs) cost += costs[i][j];
  return cost;
}

// The forest recursion again, with a delete cost per node of tree 1, an
// insert cost per node of tree 2 and double renames; no cap, since a rename
// dearer than deleting and inserting is never part of a minimum anyway.
class WeightedReference {
 public:
  WeightedReference(const Tree& t1, const Tree& t2, const std::vector<double>& rename,
                    const std::vector<double>& deletes, const std::vector<double>& inserts)
      : end1_(ends(t1.parents)), end2_(ends(t2.parents)), n2_(t2.size()), rename_(rename),
        deletes_(deletes), inserts_(inserts) {}

  double distance() { return forest(0, end1_.empty() ? 0 : end1_[0], 0, end2_.empty() ? 0 : end2_[0]); }

 private:
  static std::vector<int32_t> ends(const std::vector<int32_t>& parents) {
    std::vector<int32_t> end(parents.size());
    for (int32_t v = static_cast<int32_t>(parents.size()) - 1; v >= 0; --v) {
      end[v] = std::max(end[v], v + 1);
      if (parents[v] >= 0) end[parents[v]] = std::max(end[parents[v]], end[v]);
    }
    return end;
  }

  double forest(int32_t b1, int32_t e1, int32_t b2, int32_t e2) {
    if (b1 == e1) return std::accumulate(inserts_.begin() + b2, inserts_.begin() + e2, 0.0);
    if (b2 == e2) return std::accumulate(deletes_.begin() + b1, deletes_.begin() + e1, 0.0);
    const auto key = std::make_tuple(b1, e1, b2, e2);
    const auto found = memo_.find(key);
    if (found != memo_.end()) return found->second;
    const double best = std::min({forest(b1 + 1, e1, b2, e2) + deletes_[b1],
                                  forest(b1, e1, b2 + 1, e2) + inserts_[b2],
                                  rename_[b1 * n2_ + b2] + forest(b1 + 1, end1_[b1], b2 + 1, end2_[b2]) +
                                      forest(end1_[b1], e1, end2_[b2], e2)});
    memo_[key] = best;
    return best;
  }

  std::vector<int32_t> end1_, end2_;
  int32_t n2_;
  const std::vector<double>& rename_;
  const std::vector<double>& deletes_;
  const std::vector<double>& inserts_;
  std::map<std::tuple<int32_t, int32_t, int32_t, int32_t>, double> memo_;
};

std::vector<double> random_doubles(std::mt19937& rng, size_t count, double low, double high) {
  std::uniform_real_distribution<double> value(low, high);
  std::vector<double> values(count);
  for (double& v : values) v = value(rng);
  return values;
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
  EXPECT_EQ(compute_oriented_distance(tree, tree, LABEL_EQUALITY, 1, nullptr), 0);
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
    EXPECT_EQ(compute_oriented_distance(o1, o2, by_node(costs).costs, 1, nullptr),
              grix_test::reference_distance(t1, t2, costs));
    EXPECT_EQ(compute_oriented_distance(o1, o2, LABEL_EQUALITY, 1, nullptr),
              grix_test::reference_distance(t1, t2, grix_test::label_costs(t1, t2)));
  }
}

TEST(EditMapping, CostsTheDistanceAndIsOrdered) {
  std::mt19937 rng(8);
  for (int round = 0; round < 800; ++round) {
    const Tree t1 = grix_test::random_tree(rng, grix_test::random_int(rng, 1, 12), 3);
    const Tree t2 = grix_test::random_tree(rng, grix_test::random_int(rng, 1, 12), 3);
    const IntMatrix costs = grix_test::random_costs(rng, t1.size(), t2.size(), -1, 5);
    const EditMapping<int32_t> mapping = compute_edit_mapping(oriented(t1), oriented(t2), by_node(costs).costs, 1, nullptr);
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
    const EditMapping<int32_t> mapping =
        compute_edit_mapping(oriented(t1), oriented(t2), LABEL_EQUALITY, threads, nullptr);
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
  const LabelCosts<int32_t> table{3, 3, {0, 2, -1, 1, 0, 3, 4, 1, 0}, {}, {}};
  const LabelCosts<int32_t> weighted{3, 3, {0, 2, -1, 1, 0, 3, 4, 1, 0}, {1, 3, 0}, {2, 1, 5}};
  for (const LabelCosts<int32_t>* label_costs : {static_cast<const LabelCosts<int32_t>*>(nullptr), &table, &weighted}) {
    const BatchCosts<int32_t> costs{label_costs, nullptr};
    for (int32_t workers : {1, 2, 3}) {
      PairBatch all{&a, &a, PairLayout::all_pairs_of_a, {}, {}};
      std::vector<int32_t> condensed(static_cast<size_t>(batch_result_count(all)));
      std::atomic<int64_t> cells{0};
      compute_pair_batch(all, costs, workers, condensed.data(), nullptr, &cells);
      EXPECT_DOUBLE_EQ(static_cast<double>(cells.load()), batch_cell_count(all));
      PairBatch cross{&a, &b, PairLayout::a_by_b, {}, {}};
      std::vector<int32_t> matrix(static_cast<size_t>(batch_result_count(cross)));
      compute_pair_batch(cross, costs, workers, matrix.data(), nullptr, nullptr);
      PairBatch listed{&a, &b, PairLayout::listed, {5, 0, 36}, {22, 0, 3}};
      std::vector<int32_t> picked(3);
      compute_pair_batch(listed, costs, workers, picked.data(), nullptr, nullptr);

      auto expected = [&](const OrientedTree& x, const OrientedTree& y) {
        if (label_costs == nullptr) return compute_oriented_distance(x, y, LABEL_EQUALITY, 1, nullptr);
        PairCosts<int32_t> pair;
        pair.rename_by_label = {label_costs->rename.data(), 3, 3};
        for (int32_t code : x.given.codes)
          if (!label_costs->delete_costs.empty()) pair.delete_costs.push_back(label_costs->delete_costs[code]);
        for (int32_t code : y.given.codes)
          if (!label_costs->insert_costs.empty()) pair.insert_costs.push_back(label_costs->insert_costs[code]);
        return compute_oriented_distance(x, y, pair, 1, nullptr);
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

// Trees kept with their oriented form, for the reference below.
struct Corpus {
  std::vector<Tree> trees;
  std::vector<OrientedTree> oriented;
  void add(const Tree& tree) {
    trees.push_back(tree);
    oriented.push_back(grix::prepare_oriented_tree(tree.parents, codes_of(tree), "tree"));
  }
};

Corpus random_trees(std::mt19937& rng, int32_t count, int32_t max_nodes) {
  Corpus corpus;
  for (int32_t t = 0; t < count; ++t) corpus.add(grix_test::random_tree(rng, grix_test::random_int(rng, 1, max_nodes), 3));
  return corpus;
}

// A batch pair by the forest recursion: renames from the label table (or
// label equality), delete and insert costs by code (or 1 each).
double batch_reference(const Tree& x, const Tree& y, const LabelCosts<int32_t>* c) {
  const std::vector<int32_t> codes1 = codes_of(x), codes2 = codes_of(y);
  std::vector<double> rename, deletes, inserts;
  for (int32_t a : codes1) {
    for (int32_t b : codes2) {
      rename.push_back(c == nullptr || c->rename.empty() ? (a != b) : c->rename[static_cast<size_t>(a * c->columns + b)]);
    }
  }
  for (int32_t a : codes1) deletes.push_back(c == nullptr || c->delete_costs.empty() ? 1 : c->delete_costs[a]);
  for (int32_t b : codes2) inserts.push_back(c == nullptr || c->insert_costs.empty() ? 1 : c->insert_costs[b]);
  return WeightedReference(x, y, rename, deletes, inserts).distance();
}

LabelCosts<int32_t> label_costs(std::vector<int32_t> rename, std::vector<int32_t> deletes, std::vector<int32_t> inserts) {
  LabelCosts<int32_t> costs;
  costs.rows = costs.columns = rename.empty() ? 0 : 3;
  costs.rename = std::move(rename);
  costs.delete_costs = std::move(deletes);
  costs.insert_costs = std::move(inserts);
  return costs;
}

// Per-pair tables belong to their listed pair, wherever it is listed: pairs
// out of order, repeated, and over several blocks, each with a table of its
// own, some without renames, deletes or inserts.
TEST(ParallelBatch, PerPairTablesFollowTheirPairsListedOutOfOrder) {
  std::mt19937 rng(15);
  const Corpus a = random_trees(rng, 12, 10), b = random_trees(rng, 9, 10);
  PairBatch listed{&a.oriented, &b.oriented, PairLayout::listed, {}, {}};
  std::vector<LabelCosts<int32_t>> tables;
  for (int32_t k = 0; k < 150; ++k) {
    listed.first.push_back(grix_test::random_int(rng, 0, 11));
    listed.second.push_back(grix_test::random_int(rng, 0, 8));
    std::vector<int32_t> rename(9), deletes(3), inserts(3);
    for (int32_t& cost : rename) cost = grix_test::random_int(rng, -1, 4);
    for (int32_t& cost : deletes) cost = grix_test::random_int(rng, 0, 5);
    for (int32_t& cost : inserts) cost = grix_test::random_int(rng, 0, 5);
    if (k % 5 == 1) rename.clear();
    if (k % 7 == 2) deletes.clear();
    if (k % 4 == 3) inserts.clear();
    tables.push_back(label_costs(rename, deletes, inserts));
  }
  ASSERT_NE(listed.first[0], 0);  // not in order from the first pair on
  for (int32_t workers : {1, 3}) {
    std::vector<int32_t> out(listed.first.size());
    compute_pair_batch<int32_t>(listed, {nullptr, &tables}, workers, out.data(), nullptr, nullptr);
    for (size_t k = 0; k < out.size(); ++k) {
      ASSERT_EQ(out[k], batch_reference(a.trees[listed.first[k]], b.trees[listed.second[k]], &tables[k]))
          << "listed pair " << k << " on " << workers << " workers";
    }
  }
}

// Rows of more than one block of columns (64 pairs), in both layouts; delete
// costs without insert costs and the converse; an empty tree on either side.
TEST(ParallelBatch, WideRowsOneSidedIndelAndEmptyTreesMatchTheReference) {
  std::mt19937 rng(16);
  Corpus a = random_trees(rng, 5, 9), b = random_trees(rng, 140, 7);
  a.add(Tree{});
  b.add(Tree{});
  Corpus all = random_trees(rng, 75, 7);
  all.add(Tree{});
  const LabelCosts<int32_t> deletes_only = label_costs({}, {3, 0, 2}, {});
  const LabelCosts<int32_t> inserts_only = label_costs({0, 2, -1, 1, 0, 3, 4, 1, 0}, {}, {4, 1, 0});
  const LabelCosts<int32_t> both = label_costs({0, 2, -1, 1, 0, 3, 4, 1, 0}, {1, 3, 0}, {2, 0, 5});
  for (const LabelCosts<int32_t>* costs : {static_cast<const LabelCosts<int32_t>*>(nullptr), &deletes_only,
                                           &inserts_only, &both}) {
    for (int32_t workers : {1, 2}) {
      const std::string what = "costs " + std::to_string(costs == nullptr ? 0 : costs - &deletes_only + 1) + ", " +
                               std::to_string(workers) + " workers";
      PairBatch cross{&a.oriented, &b.oriented, PairLayout::a_by_b, {}, {}};
      std::vector<int32_t> matrix(static_cast<size_t>(batch_result_count(cross)));
      compute_pair_batch<int32_t>(cross, {costs, nullptr}, workers, matrix.data(), nullptr, nullptr);
      for (size_t i = 0; i < a.trees.size(); ++i) {
        for (size_t j = 0; j < b.trees.size(); ++j) {
          ASSERT_EQ(matrix[i * b.trees.size() + j], batch_reference(a.trees[i], b.trees[j], costs))
              << "(" << i << ", " << j << "), " << what;
        }
      }
      PairBatch pairs{&all.oriented, &all.oriented, PairLayout::all_pairs_of_a, {}, {}};
      std::vector<int32_t> condensed(static_cast<size_t>(batch_result_count(pairs)));
      compute_pair_batch<int32_t>(pairs, {costs, nullptr}, workers, condensed.data(), nullptr, nullptr);
      size_t k = 0;
      for (size_t i = 0; i < all.trees.size(); ++i) {
        for (size_t j = i + 1; j < all.trees.size(); ++j, ++k) {
          ASSERT_EQ(condensed[k], batch_reference(all.trees[i], all.trees[j], costs))
              << "(" << i << ", " << j << "), " << what;
        }
      }
    }
  }
}

TEST(Batch, RefusesCodesOutsideTheTableAndBadPairs) {
  std::mt19937 rng(11);
  const std::vector<OrientedTree> a = random_corpus(rng, 4, 6);
  const LabelCosts<int32_t> small{2, 2, {0, 1, 1, 0}, {}, {}};  // codes go up to 2
  int32_t out[16];
  EXPECT_THROW(compute_pair_batch<int32_t>({&a, &a, PairLayout::a_by_b, {}, {}}, {&small, nullptr}, 1, out, nullptr, nullptr),
               std::invalid_argument);
  EXPECT_THROW(compute_pair_batch<int32_t>({&a, &a, PairLayout::listed, {0}, {4}}, {}, 1, out, nullptr, nullptr),
               std::invalid_argument);
  const LabelCosts<int32_t> negative{3, 3, std::vector<int32_t>(9, -1000000000), {}, {}};
  EXPECT_THROW(compute_pair_batch<int32_t>({&a, &a, PairLayout::a_by_b, {}, {}}, {&negative, nullptr}, 1, out, nullptr, nullptr),
               std::invalid_argument);
  const LabelCosts<double> nan_delete{3, 3, {}, {1, std::nan(""), 1}, {}};
  double doubles[16];
  EXPECT_THROW(compute_pair_batch<double>({&a, &a, PairLayout::a_by_b, {}, {}}, {&nan_delete, nullptr}, 1, doubles, nullptr, nullptr),
               std::invalid_argument);
}

// Label classes price a batch exactly as the label table they stand for:
// codes 0 and 1 in class 0, code 2 in class 1, equal codes at same_label.
TEST(ParallelBatch, LabelClassesMatchTheExpandedTable) {
  std::mt19937 rng(12);
  const std::vector<OrientedTree> a = random_corpus(rng, 30, 20);
  LabelCosts<int32_t> classes{2, 2, {2, 5, 4, 3}, {}, {}};
  classes.label_class = {0, 0, 1};
  classes.same_label = -1;
  const LabelCosts<int32_t> expanded{3, 3, {-1, 2, 5, 2, -1, 5, 4, 4, -1}, {}, {}};
  for (int32_t workers : {1, 2}) {
    PairBatch all{&a, &a, PairLayout::all_pairs_of_a, {}, {}};
    std::vector<int32_t> by_class(static_cast<size_t>(batch_result_count(all))), by_label(by_class.size());
    compute_pair_batch<int32_t>(all, {&classes, nullptr}, workers, by_class.data(), nullptr, nullptr);
    compute_pair_batch<int32_t>(all, {&expanded, nullptr}, workers, by_label.data(), nullptr, nullptr);
    EXPECT_EQ(by_class, by_label);
  }
  LabelCosts<int32_t> outside = classes;
  outside.label_class = {0, 2, 1};  // class 2 lies outside the 2 x 2 table
  int32_t out[900];
  EXPECT_THROW(compute_pair_batch<int32_t>({&a, &a, PairLayout::a_by_b, {}, {}}, {&outside, nullptr}, 1, out, nullptr, nullptr),
               std::invalid_argument);
  LabelCosts<int32_t> too_few = classes;
  too_few.label_class = {0, 0};  // code 2 has no class
  EXPECT_THROW(compute_pair_batch<int32_t>({&a, &a, PairLayout::a_by_b, {}, {}}, {&too_few, nullptr}, 1, out, nullptr, nullptr),
               std::invalid_argument);
}

TEST(WeightedCosts, DoublesPerNodeCostsAndInfinityMatchTheReference) {
  std::mt19937 rng(21);
  const double inf = std::numeric_limits<double>::infinity();
  for (int round = 0; round < 600; ++round) {
    const Tree t1 = grix_test::random_tree(rng, grix_test::random_int(rng, 1, 9), 3);
    const Tree t2 = grix_test::random_tree(rng, grix_test::random_int(rng, 1, 9), 3);
    OwnedCosts<double> owned;
    owned.values = random_doubles(rng, static_cast<size_t>(t1.size()) * t2.size(), -0.5, 3);
    std::vector<double> deletes = random_doubles(rng, t1.size(), 0, 2);
    std::vector<double> inserts = random_doubles(rng, t2.size(), 0, 2);
    if (round % 3 == 0) deletes[0] = inf;  // the root of tree 1 must be kept
    if (round % 5 == 0) owned.values[rng() % owned.values.size()] = inf;
    owned.costs.rename_by_node = {owned.values.data(), t1.size(), t2.size()};
    owned.costs.delete_costs = deletes;
    owned.costs.insert_costs = inserts;
    const double expected = WeightedReference(t1, t2, owned.values, deletes, inserts).distance();
    for (int32_t threads : {1, 2}) {
      const double got = compute_oriented_distance(oriented(t1), oriented(t2), owned.costs, threads, nullptr);
      ASSERT_NEAR(got, expected, 1e-9) << "round " << round;
      const EditMapping<double> mapping = compute_edit_mapping(oriented(t1), oriented(t2), owned.costs, threads, nullptr);
      ASSERT_EQ(mapping.distance, got);
      double cost = 0;
      for (int32_t i : mapping.deleted) cost += deletes[i];
      for (int32_t j : mapping.inserted) cost += inserts[j];
      for (const auto& [i, j] : mapping.pairs) cost += std::min(owned.values[i * t2.size() + j], deletes[i] + inserts[j]);
      if (std::isfinite(expected)) {
        ASSERT_NEAR(cost, expected, 1e-9) << "round " << round;
      }
    }
  }
}

TEST(WeightedCosts, RefusesNanNegativeIndelAndInt32Overflow) {
  const OrientedTree t = prepare_oriented_tree({-1, 0}, {0, 1}, "t");
  PairCosts<double> nan_rename;
  const std::vector<double> values{0, std::nan(""), 1, 0};
  nan_rename.rename_by_node = {values.data(), 2, 2};
  EXPECT_THROW(compute_oriented_distance(t, t, nan_rename, 1, nullptr), std::invalid_argument);
  PairCosts<double> negative;
  negative.delete_costs = {1, -0.5};
  EXPECT_THROW(compute_oriented_distance(t, t, negative, 1, nullptr), std::invalid_argument);
  PairCosts<double> minus_infinity;
  minus_infinity.insert_costs = {1, -std::numeric_limits<double>::infinity()};
  EXPECT_THROW(compute_oriented_distance(t, t, minus_infinity, 1, nullptr), std::invalid_argument);
  PairCosts<int32_t> huge;
  huge.delete_costs = {1 << 30, 1 << 30};
  EXPECT_THROW(compute_oriented_distance(t, t, huge, 1, nullptr), std::invalid_argument);
  PairCosts<int32_t> short_costs;
  short_costs.insert_costs = {1};
  EXPECT_THROW(compute_oriented_distance(t, t, short_costs, 1, nullptr), std::invalid_argument);
}

// Costs by class and weight, written as their reading goes: the lighter
// node's weight is renamed unit by unit, the heavier one's surplus deleted
// (or inserted) unit by unit, and a term with no units costs nothing.
double class_weight_rename(const std::vector<double>& unit, int32_t classes, int32_t a, int64_t wa, int32_t b,
                           int64_t wb) {
  const int64_t shared = std::min(wa, wb);
  const int64_t surplus = std::max(wa, wb) - shared;
  const int32_t heavier = wa > wb ? a : b;
  return (shared == 0 ? 0 : unit[a * classes + b] * static_cast<double>(shared)) +
         (surplus == 0 ? 0 : unit[heavier] * static_cast<double>(surplus));
}

TEST(ClassWeightCosts, BatchesMatchTheReferenceInIntsAndDoubles) {
  std::mt19937 rng(31);
  const double inf = std::numeric_limits<double>::infinity();
  constexpr int32_t classes = 4;  // class 0: no node
  for (int round = 0; round < 40; ++round) {
    WeightedClasses model{classes, {}};
    for (int32_t k = 0; k < classes * classes; ++k) model.unit_costs.push_back(grix_test::random_int(rng, 0, 5));
    if (round % 2 == 1) model.unit_costs[static_cast<size_t>(grix_test::random_int(rng, 1, classes * classes - 1))] = inf;
    // Codes 0..2 (the test trees' labels a, b, c), each a class and a weight, 0 among them.
    std::vector<int32_t> label_class;
    std::vector<int64_t> weight;
    for (int32_t code = 0; code < 3; ++code) {
      label_class.push_back(grix_test::random_int(rng, 1, classes - 1));
      weight.push_back(grix_test::random_int(rng, 0, 4));
    }
    const LabelCosts<double> costs = weighted_class_label_costs(model, label_class, weight, label_class, weight);
    const Corpus corpus = random_trees(rng, 8, 9);
    PairBatch all{&corpus.oriented, &corpus.oriented, PairLayout::a_by_b, {}, {}};
    std::vector<double> got(static_cast<size_t>(batch_result_count(all)));
    compute_pair_batch<double>(all, {&costs, nullptr}, 2, got.data(), nullptr, nullptr);
    const bool finite = std::all_of(model.unit_costs.begin(), model.unit_costs.end(),
                                    [](double v) { return std::isfinite(v); });
    LabelCosts<int32_t> ints;
    ints.rows = costs.rows;
    ints.columns = costs.columns;
    for (double v : costs.rename) ints.rename.push_back(static_cast<int32_t>(v));
    for (double v : costs.delete_costs) ints.delete_costs.push_back(static_cast<int32_t>(v));
    ints.insert_costs = ints.delete_costs;
    std::vector<int32_t> got_ints(got.size());
    if (finite) compute_pair_batch<int32_t>(all, {&ints, nullptr}, 1, got_ints.data(), nullptr, nullptr);
    for (size_t i = 0; i < corpus.trees.size(); ++i) {
      for (size_t j = 0; j < corpus.trees.size(); ++j) {
        const std::vector<int32_t> codes1 = codes_of(corpus.trees[i]), codes2 = codes_of(corpus.trees[j]);
        std::vector<double> rename, deletes, inserts;
        for (int32_t a : codes1) {
          for (int32_t b : codes2) {
            rename.push_back(class_weight_rename(model.unit_costs, classes, label_class[a], weight[a], label_class[b], weight[b]));
          }
          deletes.push_back(class_weight_rename(model.unit_costs, classes, label_class[a], weight[a], 0, 0));
        }
        for (int32_t b : codes2) inserts.push_back(class_weight_rename(model.unit_costs, classes, 0, 0, label_class[b], weight[b]));
        const double expected = WeightedReference(corpus.trees[i], corpus.trees[j], rename, deletes, inserts).distance();
        const size_t k = i * corpus.trees.size() + j;
        ASSERT_EQ(got[k], expected) << "round " << round << " pair " << i << ", " << j;
        if (finite) {
          ASSERT_EQ(got_ints[k], expected) << "round " << round << " pair " << i << ", " << j;
        }
      }
    }
  }
}

TEST(ClassWeightCosts, ZeroWeightsNeverMultiplyInfinityAndBadInputIsRefused) {
  const double inf = std::numeric_limits<double>::infinity();
  // Class 1 can be neither deleted nor renamed into class 2.
  const WeightedClasses model{3, {0, inf, 1, inf, 0, inf, 1, inf, 0}};
  const LabelCosts<double> costs = weighted_class_label_costs(model, {1, 1, 2}, {0, 3, 3}, {1, 2, 2}, {5, 0, 3});
  // (1, 0) into (1, 5): nothing shared, five units of class 1 inserted.
  EXPECT_EQ(costs.rename[0], inf);
  EXPECT_EQ(costs.rename[1], 0);    // (1, 0) into (2, 0): no unit at all
  EXPECT_EQ(costs.rename[2], 3);    // (1, 0) into (2, 3): three units of 2 inserted
  EXPECT_EQ(costs.rename[7], 3);    // (2, 3) into (2, 0): three units of 2 deleted
  EXPECT_EQ(costs.rename[8], 0);    // equal weights leave no surplus
  EXPECT_EQ(costs.rename[5], inf);  // (1, 3) into (2, 3): a forbidden rename
  EXPECT_EQ(costs.delete_costs, (std::vector<double>{0, inf, 3}));
  EXPECT_EQ(costs.insert_costs, (std::vector<double>{inf, 0, 3}));
  EXPECT_THROW(weighted_class_label_costs(model, {0}, {1}, {}, {}), std::invalid_argument);  // no node
  EXPECT_THROW(weighted_class_label_costs(model, {3}, {1}, {}, {}), std::invalid_argument);
  EXPECT_THROW(weighted_class_label_costs(model, {1}, {-1}, {}, {}), std::invalid_argument);
  EXPECT_THROW(weighted_class_label_costs(model, {1, 2}, {1}, {}, {}), std::invalid_argument);
  EXPECT_THROW(weighted_class_label_costs({3, {0, 1, 2}}, {}, {}, {}, {}), std::invalid_argument);
  EXPECT_THROW(weighted_class_label_costs({2, {0, -1, 1, 0}}, {}, {}, {}, {}), std::invalid_argument);
  EXPECT_THROW(weighted_class_label_costs({2, {0, std::nan(""), 1, 0}}, {}, {}, {}, {}), std::invalid_argument);
}

TEST(ParallelStop, ASetFlagStopsEveryEntryPoint) {
  std::mt19937 rng(13);
  const OrientedTree big1 = oriented(grix_test::random_tree(rng, 500, 3));
  const OrientedTree big2 = oriented(grix_test::random_tree(rng, 500, 3));
  StopFlag stop{true};
  EXPECT_THROW(compute_oriented_distance(big1, big2, LABEL_EQUALITY, 2, &stop), OperationStopped);
  EXPECT_THROW(compute_edit_mapping(big1, big2, LABEL_EQUALITY, 1, &stop), OperationStopped);
  const std::vector<OrientedTree> corpus = random_corpus(rng, 30, 10);
  std::vector<int32_t> out(435);
  EXPECT_THROW(compute_pair_batch<int32_t>({&corpus, &corpus, PairLayout::all_pairs_of_a, {}, {}}, {}, 2,
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
  EXPECT_THROW(compute_oriented_distance(t1, t2, LABEL_EQUALITY, 2, &stop), OperationStopped);
  stopper.join();
}

}  // namespace
}  // namespace grix
