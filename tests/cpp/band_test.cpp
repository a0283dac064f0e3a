// The banded kernel against the full schedule with unit, per-label and
// per-node integer costs, compute_distance_within against the full
// distance with and without a bound, and the banded mapping against the
// full mapping and an independent check of what makes a mapping valid.

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "distance/band_kernel.h"
#include "test_support.h"

namespace {

using grix::OrientedTree;
using grix::PairCosts;
using grix_test::random_int;
using grix_test::Tree;

OrientedTree oriented(const Tree& tree) {
  std::vector<int32_t> codes;
  for (const std::string& label : tree.labels) codes.push_back(label[0] - 'a');
  return grix::prepare_oriented_tree(tree.parents, codes, "tree");
}

// Rename a node, delete one (its children move up), or insert a leaf.
Tree edited(const Tree& tree, std::mt19937& rng, int32_t alphabet) {
  Tree out = tree;
  const int32_t n = tree.size();
  const int32_t kind = n <= 1 ? 2 : random_int(rng, 0, 2);
  if (kind == 0) {
    out.labels[random_int(rng, 0, n - 1)] = std::string(1, static_cast<char>('a' + random_int(rng, 0, alphabet - 1)));
  } else if (kind == 1) {
    const int32_t v = random_int(rng, 1, n - 1);
    out.labels.erase(out.labels.begin() + v);
    out.parents.erase(out.parents.begin() + v);
    for (int32_t& p : out.parents) {
      if (p == v) p = tree.parents[v];
      else if (p > v) --p;
    }
  } else {
    // A new last child of node p goes right after p's subtree.
    const int32_t p = random_int(rng, 0, n - 1);
    int32_t end = p + 1;
    while (end < n) {
      int32_t a = tree.parents[end];
      while (a > p) a = tree.parents[a];
      if (a != p) break;
      ++end;
    }
    out.labels.insert(out.labels.begin() + end, std::string(1, static_cast<char>('a' + random_int(rng, 0, alphabet - 1))));
    out.parents.insert(out.parents.begin() + end, p);
    for (int32_t i = end + 1; i <= n; ++i) {
      if (out.parents[i] >= end) ++out.parents[i];
    }
  }
  return out;
}

// Zigzags and caterpillars beside random trees: the keyroot ancestors of a
// node run long on them.
Tree shaped_tree(std::mt19937& rng, int32_t n, int32_t alphabet, int32_t shape) {
  if (shape == 0) return grix_test::random_tree(rng, n, alphabet);
  Tree tree;
  int32_t spine = -1;
  for (int32_t i = 0; i < n; ++i) {
    tree.labels.push_back(std::string(1, static_cast<char>('a' + random_int(rng, 0, alphabet - 1))));
    if (shape == 1) {  // caterpillar: every other node a leaf hanging off the spine
      tree.parents.push_back(spine);
      if (i % 2 == 0) spine = i;
    } else {  // zigzag: the spine continues at the first or the last child
      tree.parents.push_back(i == 0 ? -1 : spine);
      if (i % 3 == (spine % 2 == 0 ? 1 : 2) || i == 0) spine = i;
    }
  }
  return tree;
}

struct Costs {
  std::vector<int32_t> table, deletes, inserts;  // table 4 x 4 by code
};

Costs random_costs(std::mt19937& rng, int32_t n1, int32_t n2, int32_t kind) {
  Costs c;
  if (kind >= 1) {
    c.table.resize(16);
    for (int32_t a = 0; a < 4; ++a)
      for (int32_t b = 0; b < 4; ++b) c.table[a * 4 + b] = a == b ? 0 : random_int(rng, 0, 3);
  }
  if (kind == 2) {
    for (int32_t i = 0; i < n1; ++i) c.deletes.push_back(random_int(rng, 1, 3));
    for (int32_t j = 0; j < n2; ++j) c.inserts.push_back(random_int(rng, 1, 3));
  }
  return c;
}

PairCosts<int32_t> pair_costs(const Costs& c) {
  PairCosts<int32_t> costs;
  if (!c.table.empty()) costs.rename_by_label = {c.table.data(), 4, 4};
  costs.delete_costs = c.deletes;
  costs.insert_costs = c.inserts;
  return costs;
}

// The kernel on one orientation, with the costs permuted as the engine does.
int32_t banded(const OrientedTree& a, const OrientedTree& b, const Costs& c, int32_t k, bool mirror,
               grix::BandScratch& scratch) {
  const grix::PreparedTree& t1 = mirror ? a.mirrored : a.given;
  const grix::PreparedTree& t2 = mirror ? b.mirrored : b.given;
  grix::fill_keyroot_above(t2, scratch.keyroot_above);
  std::vector<int32_t> deletes(a.size(), 1), inserts(b.size(), 1);
  for (int32_t v = 0; v < a.size() && !c.deletes.empty(); ++v) deletes[v] = c.deletes[mirror ? a.mirrored_to_given[v] : v];
  for (int32_t v = 0; v < b.size() && !c.inserts.empty(); ++v) inserts[v] = c.inserts[mirror ? b.mirrored_to_given[v] : v];
  const grix::NodeIndel<int32_t> indel{deletes.data(), inserts.data()};
  if (c.table.empty()) {
    return grix::band_kernel(t1, t2, k, grix::CodeEqualityRename<int32_t>{t1.codes.data(), t2.codes.data()}, indel,
                             scratch, nullptr, nullptr);
  }
  return grix::band_kernel(t1, t2, k, grix::CodeTableRename<int32_t>{t1.codes.data(), t2.codes.data(), c.table.data(), 4},
                           indel, scratch, nullptr, nullptr);
}

TEST(Band, KernelMatchesTheFullDistanceBelowAtAndAboveEveryBound) {
  std::mt19937 rng(41);
  grix::BandScratch scratch;
  int32_t refusals = 0, answers = 0;
  for (int32_t round = 0; round < 1500; ++round) {
    const int32_t alphabet = random_int(rng, 1, 4);
    const Tree ta = shaped_tree(rng, random_int(rng, 1, 40), alphabet, round % 3);
    Tree tb = ta;
    if (round % 7 == 6) {
      tb = shaped_tree(rng, random_int(rng, 1, 40), alphabet, random_int(rng, 0, 2));
    } else {
      for (int32_t e = random_int(rng, 0, 10); e > 0; --e) tb = edited(tb, rng, alphabet);
    }
    const OrientedTree a = oriented(ta), b = oriented(tb);
    const Costs c = random_costs(rng, a.size(), b.size(), round % 3);
    const int32_t d = grix::compute_oriented_distance(a, b, pair_costs(c), 1, nullptr, nullptr,
                                                      grix::Algorithm::keyroot);
    for (int32_t k : {d - 2, d - 1, d, d + 1, d + 3}) {
      if (k < 0) continue;
      const int32_t expected = d <= k ? d : k + 1;
      (d <= k ? answers : refusals) += 1;
      ASSERT_EQ(banded(a, b, c, k, false, scratch), expected) << "round " << round << " k " << k;
      ASSERT_EQ(banded(a, b, c, k, true, scratch), expected) << "round " << round << " k " << k;
    }
  }
  EXPECT_GT(refusals, 1000);
  EXPECT_GT(answers, 1000);
}

TEST(Band, DistanceWithinAgreesWithTheFullScheduleOnLargeClosePairs) {
  std::mt19937 rng(42);
  int32_t banded_rounds = 0;
  for (int32_t round = 0; round < 24; ++round) {
    const int32_t shape = round % 3;
    const Tree ta = shaped_tree(rng, random_int(rng, 1200, 2500), 4, shape);
    Tree tb = ta;
    for (int32_t e = random_int(rng, 0, 60); e > 0; --e) tb = edited(tb, rng, 4);
    const OrientedTree a = oriented(ta), b = oriented(tb);
    const Costs c = random_costs(rng, a.size(), b.size(), round % 3 == 0 ? 0 : round % 2 + 1);
    const PairCosts<int32_t> costs = pair_costs(c);
    const int32_t d = grix::compute_oriented_distance(a, b, costs, 1, nullptr);
    std::atomic<int64_t> cells{0};
    ASSERT_EQ(grix::compute_distance_within(a, b, costs, -1, round % 2 + 1, nullptr, &cells), d) << "round " << round;
    double full_cells = 0;
    grix::mirrored_is_cheaper(a, b, &full_cells);
    banded_rounds += cells.load() < full_cells / 2;  // the band's cells are reported, not the full schedule's
    for (int32_t bound : {d - 1, d, d + 1}) {
      if (bound < 0) continue;
      ASSERT_EQ(grix::compute_distance_within(a, b, costs, bound, 1, nullptr), std::min(d, bound + 1))
          << "round " << round << " bound " << bound;
    }
  }
  EXPECT_GE(banded_rounds, 12);
}

TEST(Band, CostsBelowOneRunTheFullSchedule) {
  std::mt19937 rng(43);
  const Tree ta = grix_test::random_tree(rng, 1500, 3);
  Tree tb = ta;
  for (int32_t e = 0; e < 20; ++e) tb = edited(tb, rng, 3);
  const OrientedTree a = oriented(ta), b = oriented(tb);
  PairCosts<int32_t> costs;
  costs.delete_costs.assign(a.size(), 0);  // free deletes: no band holds the mapping
  EXPECT_FALSE(grix::costs_allow_band(costs));
  EXPECT_EQ(grix::compute_distance_within(a, b, costs, -1, 1, nullptr), grix::compute_oriented_distance(a, b, costs, 1, nullptr));
}

TEST(Band, StopsBetweenKeyrootPairs) {
  std::mt19937 rng(44);
  const Tree ta = grix_test::random_tree(rng, 3000, 3);
  Tree tb = ta;
  for (int32_t e = 0; e < 40; ++e) tb = edited(tb, rng, 3);
  const OrientedTree a = oriented(ta), b = oriented(tb);
  grix::StopFlag stop{true};
  EXPECT_THROW(grix::compute_distance_within(a, b, PairCosts<int32_t>{}, -1, 1, &stop), grix::OperationStopped);
}

// A mapping is one-to-one and keeps ancestry and sibling order exactly when
// it keeps both pre-order and post-order: u is left of v when it comes
// first in both, and an ancestor of v when it comes first in pre-order and
// last in post-order. Pre-order is the ids; post-order is computed here.
std::vector<int32_t> postorder_ranks(const std::vector<int32_t>& parents) {
  const int32_t n = static_cast<int32_t>(parents.size());
  std::vector<int32_t> size(n, 1), rank(n);
  for (int32_t v = n - 1; v > 0; --v) size[parents[v]] += size[v];
  // A node's rank is the nodes before it in pre-order outside its
  // ancestors, plus its descendants: ids before v less its depth, plus
  // size - 1.
  std::vector<int32_t> depth(n, 0);
  for (int32_t v = 1; v < n; ++v) depth[v] = depth[parents[v]] + 1;
  for (int32_t v = 0; v < n; ++v) rank[v] = v - depth[v] + size[v] - 1;
  return rank;
}

void expect_valid_mapping(const Tree& t1, const Tree& t2, const grix::EditMapping<int32_t>& m, const char* where) {
  const std::vector<int32_t> post1 = postorder_ranks(t1.parents), post2 = postorder_ranks(t2.parents);
  std::vector<std::pair<int32_t, int32_t>> by_pre = m.pairs, by_post;
  for (const auto& [i, j] : m.pairs) {
    ASSERT_TRUE(i >= 0 && i < t1.size() && j >= 0 && j < t2.size()) << where;
  }
  std::sort(by_pre.begin(), by_pre.end());
  for (size_t p = 1; p < by_pre.size(); ++p) {
    ASSERT_LT(by_pre[p - 1].first, by_pre[p].first) << where << ": a node of tree 1 matched twice";
    ASSERT_LT(by_pre[p - 1].second, by_pre[p].second) << where << ": pre-order not kept";
  }
  for (const auto& [i, j] : m.pairs) by_post.emplace_back(post1[i], post2[j]);
  std::sort(by_post.begin(), by_post.end());
  for (size_t p = 1; p < by_post.size(); ++p) ASSERT_LT(by_post[p - 1].second, by_post[p].second) << where << ": post-order not kept";
  ASSERT_EQ(m.pairs.size() + m.deleted.size(), static_cast<size_t>(t1.size())) << where;
  ASSERT_EQ(m.pairs.size() + m.inserted.size(), static_cast<size_t>(t2.size())) << where;
}

// What the mapping costs under `c`, each pair renamed at its own cost, which
// must be below deleting and inserting its two nodes.
int64_t mapping_cost(const Tree& t1, const Tree& t2, const Costs& c, const grix::EditMapping<int32_t>& m) {
  auto deletion = [&](int32_t i) { return c.deletes.empty() ? 1 : c.deletes[i]; };
  auto insertion = [&](int32_t j) { return c.inserts.empty() ? 1 : c.inserts[j]; };
  int64_t cost = 0;
  for (int32_t i : m.deleted) cost += deletion(i);
  for (int32_t j : m.inserted) cost += insertion(j);
  for (const auto& [i, j] : m.pairs) {
    const int32_t a = t1.labels[i][0] - 'a', b = t2.labels[j][0] - 'a';
    const int32_t rename = c.table.empty() ? (a != b) : c.table[a * 4 + b];
    EXPECT_LT(rename, deletion(i) + insertion(j));
    cost += rename;
  }
  return cost;
}

TEST(BandMapping, ForcedBandsBelowAtAndAboveTheDistanceGiveOptimalValidMappings) {
  std::mt19937 rng(45);
  int32_t doubled = 0;
  for (int32_t round = 0; round < 2000; ++round) {
    const int32_t alphabet = random_int(rng, 1, 4);
    const Tree ta = shaped_tree(rng, random_int(rng, 1, 45), alphabet, round % 3);
    Tree tb = ta;
    if (round % 9 == 8) {
      tb = shaped_tree(rng, random_int(rng, 1, 45), alphabet, random_int(rng, 0, 2));
    } else {
      for (int32_t e = random_int(rng, 0, 12); e > 0; --e) tb = edited(tb, rng, alphabet);
    }
    const OrientedTree a = oriented(ta), b = oriented(tb);
    const Costs c = random_costs(rng, a.size(), b.size(), round % 3);
    const PairCosts<int32_t> costs = pair_costs(c);
    const grix::EditMapping<int32_t> full =
        grix::compute_edit_mapping(a, b, costs, 1, nullptr, nullptr, grix::Algorithm::keyroot);
    const int32_t d = full.distance;
    ASSERT_EQ(mapping_cost(ta, tb, c, full), d);
    // The first band just above the distance, at it, and just below it (the
    // search then doubles), and half of it.
    for (int32_t first : {d + 1, d, d - 1, d / 2}) {
      if (first < 0) continue;
      doubled += first < d;
      const std::string where = "round " + std::to_string(round) + " first band " + std::to_string(first);
      const grix::EditMapping<int32_t> banded = grix::compute_banded_edit_mapping(
          a, b, costs, 1 + round % 2, nullptr, nullptr, grix::Algorithm::automatic, first);
      ASSERT_EQ(banded.distance, d) << where;
      expect_valid_mapping(ta, tb, banded, where.c_str());
      ASSERT_EQ(mapping_cost(ta, tb, c, banded), d) << where;
    }
  }
  EXPECT_GT(doubled, 2000);
}

TEST(BandMapping, LargeClosePairsRunInTheBandAndMatchTheFullMapping) {
  std::mt19937 rng(46);
  int32_t banded_rounds = 0;
  for (int32_t round = 0; round < 12; ++round) {
    const Tree ta = shaped_tree(rng, random_int(rng, 1200, 2500), 4, round % 3);
    Tree tb = ta;
    for (int32_t e = random_int(rng, 1, 60); e > 0; --e) tb = edited(tb, rng, 4);
    const OrientedTree a = oriented(ta), b = oriented(tb);
    const Costs c = random_costs(rng, a.size(), b.size(), round % 3);
    const PairCosts<int32_t> costs = pair_costs(c);
    const int32_t d = grix::compute_oriented_distance(a, b, costs, 1, nullptr);
    std::atomic<int64_t> cells{0};
    const grix::EditMapping<int32_t> m = grix::compute_banded_edit_mapping(a, b, costs, round % 2 + 1, nullptr, &cells);
    const std::string where = "round " + std::to_string(round);
    ASSERT_EQ(m.distance, d) << where;
    expect_valid_mapping(ta, tb, m, where.c_str());
    ASSERT_EQ(mapping_cost(ta, tb, c, m), d) << where;
    double full_cells = 0;
    grix::mirrored_is_cheaper(a, b, &full_cells);
    banded_rounds += static_cast<double>(cells.load()) < full_cells / 2;
  }
  EXPECT_GE(banded_rounds, 8);
}

TEST(BandMapping, FarPairsGiveWayToTheFullMapping) {
  std::mt19937 rng(49);
  for (int32_t round = 0; round < 3; ++round) {
    const Tree ta = grix_test::random_tree(rng, 1500, 4), tb = grix_test::random_tree(rng, 1400, 4);
    const OrientedTree a = oriented(ta), b = oriented(tb);
    const Costs c = random_costs(rng, a.size(), b.size(), round);
    const grix::EditMapping<int32_t> m = grix::compute_banded_edit_mapping(a, b, pair_costs(c), 1, nullptr);
    ASSERT_EQ(m.distance, grix::compute_oriented_distance(a, b, pair_costs(c), 1, nullptr)) << "round " << round;
    expect_valid_mapping(ta, tb, m, "far pair");
    ASSERT_EQ(mapping_cost(ta, tb, c, m), m.distance);
  }
}

TEST(BandMapping, CostsThatAllowNoBandRunTheFullMapping) {
  std::mt19937 rng(47);
  const Tree ta = grix_test::random_tree(rng, 1500, 3);
  Tree tb = ta;
  for (int32_t e = 0; e < 20; ++e) tb = edited(tb, rng, 3);
  const OrientedTree a = oriented(ta), b = oriented(tb);
  PairCosts<int32_t> costs;
  costs.delete_costs.assign(a.size(), 0);  // free deletes: no band holds the mapping
  const grix::EditMapping<int32_t> m = grix::compute_banded_edit_mapping(a, b, costs, 1, nullptr, nullptr,
                                                                         grix::Algorithm::automatic, 4);
  EXPECT_EQ(m.distance, grix::compute_oriented_distance(a, b, costs, 1, nullptr));
  expect_valid_mapping(ta, tb, m, "free deletes");
}

TEST(BandMapping, Stops) {
  std::mt19937 rng(48);
  const Tree ta = grix_test::random_tree(rng, 3000, 3);
  Tree tb = ta;
  for (int32_t e = 0; e < 40; ++e) tb = edited(tb, rng, 3);
  const OrientedTree a = oriented(ta), b = oriented(tb);
  grix::StopFlag stop{true};
  EXPECT_THROW(grix::compute_banded_edit_mapping(a, b, PairCosts<int32_t>{}, 1, &stop), grix::OperationStopped);
  EXPECT_THROW(grix::compute_banded_edit_mapping(a, b, PairCosts<int32_t>{}, 1, &stop, nullptr,
                                                 grix::Algorithm::automatic, 100),
               grix::OperationStopped);
}

}  // namespace
