// The similarity join's pieces against exact distances: every lower bound at
// most the distance, the upper bound at least it, the bounded distance exact
// up to its bound and a refusal beyond, and join and nearest against all
// pairs. Suites whose names start with Parallel run threads.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <numeric>
#include <random>
#include <stdexcept>
#include <thread>
#include <tuple>

#include "join/join_bounds.h"
#include "similarity_join.h"
#include "test_support.h"

namespace grix {
namespace {

using grix_test::Tree;

OrientedTree oriented(const Tree& tree) {
  std::vector<int32_t> codes;
  for (const std::string& label : tree.labels) codes.push_back(label[0] - 'a');
  return prepare_oriented_tree(tree.parents, codes, "tree");
}

// One random edit: rename a node, delete one (its children move up to its
// parent, which keeps pre-order), or insert a leaf as some node's last child.
Tree edited(const Tree& tree, std::mt19937& rng, int32_t alphabet) {
  Tree out = tree;
  const int32_t n = tree.size();
  const int32_t kind = n <= 1 ? 2 : grix_test::random_int(rng, 0, 2);
  if (kind == 0) {
    out.labels[grix_test::random_int(rng, 0, n - 1)] =
        std::string(1, static_cast<char>('a' + grix_test::random_int(rng, 0, alphabet - 1)));
  } else if (kind == 1) {
    const int32_t v = grix_test::random_int(rng, 1, n - 1);
    out.labels.erase(out.labels.begin() + v);
    out.parents.erase(out.parents.begin() + v);
    for (int32_t& p : out.parents) {
      if (p == v) p = tree.parents[v];
      if (p > v) --p;
    }
  } else {
    const int32_t u = n == 0 ? -1 : grix_test::random_int(rng, 0, n - 1);
    int32_t end = u + 1;  // one past the subtree of u
    while (u >= 0 && end < n) {
      int32_t a = tree.parents[end];
      while (a > u) a = tree.parents[a];
      if (a != u) break;
      ++end;
    }
    if (u < 0) end = 0;
    for (int32_t& p : out.parents) {
      if (p >= end) ++p;
    }
    out.parents.insert(out.parents.begin() + end, u);
    out.labels.insert(out.labels.begin() + end, "a");
  }
  return out;
}

// Pairs near and far: a random tree and a copy with a few random edits, and
// two unrelated trees.
std::vector<std::pair<Tree, Tree>> test_pairs(uint32_t seed, int32_t count) {
  std::mt19937 rng(seed);
  std::vector<std::pair<Tree, Tree>> pairs;
  for (int32_t c = 0; c < count; ++c) {
    const int32_t alphabet = grix_test::random_int(rng, 1, 4);
    Tree a = grix_test::random_tree(rng, grix_test::random_int(rng, 1, 30), alphabet);
    Tree b = a;
    if (c % 4 == 3) {
      b = grix_test::random_tree(rng, grix_test::random_int(rng, 1, 30), alphabet);
    } else {
      for (int32_t e = grix_test::random_int(rng, 0, 8); e > 0; --e) b = edited(b, rng, alphabet);
    }
    pairs.emplace_back(std::move(a), std::move(b));
  }
  return pairs;
}

int32_t exact(const Tree& a, const Tree& b) {
  return grix_test::reference_distance(a, b, grix_test::label_costs(a, b));
}

int32_t plain_sequence_distance(const std::vector<int32_t>& a, const std::vector<int32_t>& b) {
  std::vector<std::vector<int32_t>> d(a.size() + 1, std::vector<int32_t>(b.size() + 1));
  for (size_t i = 0; i <= a.size(); ++i) d[i][0] = static_cast<int32_t>(i);
  for (size_t j = 0; j <= b.size(); ++j) d[0][j] = static_cast<int32_t>(j);
  for (size_t i = 1; i <= a.size(); ++i)
    for (size_t j = 1; j <= b.size(); ++j)
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] != b[j - 1])});
  return d[a.size()][b.size()];
}

TEST(JoinBounds, LowerBoundsNeverExceedAndUpperBoundNeverUndercutsTheDistance) {
  int32_t label_hits = 0, sequence_hits = 0, upper_hits = 0;
  for (const auto& [ta, tb] : test_pairs(21, 600)) {
    const OrientedTree a = oriented(ta), b = oriented(tb);
    const int32_t d = exact(ta, tb);
    std::vector<int32_t> sorted1 = a.given.codes, sorted2 = b.given.codes, row;
    std::sort(sorted1.begin(), sorted1.end());
    std::sort(sorted2.begin(), sorted2.end());
    const int32_t labels = std::max(a.size(), b.size()) - common_count(sorted1, sorted2);
    const std::vector<int32_t> post1 = postorder_codes(a.given), post2 = postorder_codes(b.given);
    const int32_t pre = plain_sequence_distance(a.given.codes, b.given.codes);
    const int32_t post = plain_sequence_distance(post1, post2);
    UpperBoundScratch scratch;
    const int32_t upper = top_down_upper_bound(a.given, b.given, scratch);
    ASSERT_LE(labels, d);
    ASSERT_LE(pre, d);
    ASSERT_LE(post, d);
    ASSERT_GE(upper, d);
    label_hits += labels == d;
    sequence_hits += std::max(pre, post) == d;
    upper_hits += upper == d;
    // The banded sequence distance is the plain one, capped at bound + 1.
    for (int32_t bound : {0, 1, 2, 5, 40}) {
      EXPECT_EQ(bounded_sequence_distance(a.given.codes.data(), a.size(), b.given.codes.data(), b.size(), bound, row),
                std::min(pre, bound + 1));
      EXPECT_EQ(bounded_sequence_distance(post1.data(), a.size(), post2.data(), b.size(), bound, row),
                std::min(post, bound + 1));
    }
  }
  // The bounds are tight often enough to be worth their time.
  EXPECT_GT(label_hits, 100);
  EXPECT_GT(sequence_hits, 200);
  EXPECT_GT(upper_hits, 200);
}

TEST(JoinBounds, PostorderListsChildrenBeforeTheirParent) {
  // a(b(c, d), e) in post-order: c d b e a.
  const OrientedTree tree = prepare_oriented_tree({-1, 0, 1, 1, 0}, {0, 1, 2, 3, 4}, "tree");
  EXPECT_EQ(postorder_codes(tree.given), (std::vector<int32_t>{2, 3, 1, 4, 0}));
}

TEST(BoundedDistance, ExactUpToTheBoundAndARefusalBeyond) {
  DistanceScratch scratch;
  for (const auto& [ta, tb] : test_pairs(22, 500)) {
    const OrientedTree a = oriented(ta), b = oriented(tb);
    const int32_t d = exact(ta, tb);
    for (int32_t k = 0; k <= d + 3; ++k) {
      const int32_t expected = d <= k ? d : k + 1;
      ASSERT_EQ(bounded_tree_distance(a, b, k, scratch, nullptr), expected) << "k = " << k;
      // The banded kernel itself, in both orientations, even where a band
      // this wide would go to the plain kernel.
      ASSERT_EQ(banded_distance(a.given, b.given, k, scratch, nullptr), expected) << "k = " << k;
      ASSERT_EQ(banded_distance(a.mirrored, b.mirrored, k, scratch, nullptr), expected) << "k = " << k;
    }
  }
}

TEST(BoundedDistance, LargeNearCopiesMatchTheFullDistance) {
  std::mt19937 rng(23);
  DistanceScratch scratch;
  for (int32_t round = 0; round < 12; ++round) {
    const Tree ta = grix_test::random_tree(rng, grix_test::random_int(rng, 100, 400), 3);
    Tree tb = ta;
    for (int32_t e = grix_test::random_int(rng, 1, 10); e > 0; --e) tb = edited(tb, rng, 3);
    const OrientedTree a = oriented(ta), b = oriented(tb);
    const int32_t d = compute_oriented_distance(a, b, PairCosts<int32_t>{}, 1, nullptr);
    EXPECT_EQ(bounded_tree_distance(a, b, d, scratch, nullptr), d);
    if (d > 0) {
      EXPECT_EQ(bounded_tree_distance(a, b, d - 1, scratch, nullptr), d);  // a refusal: d - 1 + 1
    }
    EXPECT_EQ(bounded_tree_distance(a, b, d + 4, scratch, nullptr), d);
  }
}

std::vector<Tree> join_corpus(uint32_t seed) {
  // Clusters of near copies, so that every threshold has matches.
  std::mt19937 rng(seed);
  std::vector<Tree> trees;
  for (int32_t cluster = 0; cluster < 30; ++cluster) {
    const Tree base = grix_test::random_tree(rng, grix_test::random_int(rng, 0, 25), 3);
    trees.push_back(base);
    for (int32_t copy = grix_test::random_int(rng, 0, 4); copy > 0; --copy) {
      Tree t = base;
      for (int32_t e = grix_test::random_int(rng, 0, 5); e > 0; --e) t = edited(t, rng, 3);
      trees.push_back(t);
    }
  }
  std::shuffle(trees.begin(), trees.end(), rng);
  return trees;
}

TEST(ParallelJoin, EqualsAllPairsAtEveryThresholdOnAnyWorkersAndRanges) {
  const std::vector<Tree> plain = join_corpus(24);
  std::vector<OrientedTree> trees;
  for (const Tree& t : plain) trees.push_back(oriented(t));
  const int32_t count = static_cast<int32_t>(trees.size());
  std::vector<std::vector<int32_t>> d(count, std::vector<int32_t>(count));
  for (int32_t i = 0; i < count; ++i)
    for (int32_t j = i + 1; j < count; ++j) d[i][j] = compute_oriented_distance(trees[i], trees[j], PairCosts<int32_t>{}, 1, nullptr);
  for (int32_t tau : {0, 1, 2, 4, 7, 60}) {
    std::vector<std::tuple<int32_t, int32_t, int32_t>> expected;
    for (int32_t i = 0; i < count; ++i)
      for (int32_t j = i + 1; j < count; ++j)
        if (d[i][j] <= tau) expected.emplace_back(i, j, d[i][j]);
    const auto index = build_join_index(trees, tau, nullptr);
    for (int32_t workers : {1, 3}) {
      const JoinMatches found = run_join(*index, 0, count, true, workers, nullptr, nullptr);
      std::vector<std::tuple<int32_t, int32_t, int32_t>> got;
      for (size_t m = 0; m < found.first.size(); ++m) got.emplace_back(found.first[m], found.second[m], found.distance[m]);
      EXPECT_EQ(got, expected) << "tau " << tau << ", " << workers << " workers";
      const JoinCounts& c = found.counts;
      EXPECT_EQ(c.pairs, int64_t{count} * (count - 1) / 2);
      EXPECT_EQ(c.pruned_by_size + c.pruned_by_labels + c.pruned_by_preorder + c.pruned_by_postorder +
                    c.accepted_by_upper_bound + c.exact_by_bounds + c.verified,
                c.pairs);
      EXPECT_EQ(c.verified - c.failed_verification + c.exact_by_bounds, static_cast<int64_t>(expected.size()));
    }
    // Ranges of probe positions split the join into parts that add up.
    size_t parts = 0;
    for (int32_t begin = 0; begin < count; begin += 17) {
      parts += run_join(*index, begin, std::min(count, begin + 17), true, 1, nullptr, nullptr).first.size();
    }
    EXPECT_EQ(parts, expected.size());
    // Unverified accepts: the same pairs, each distance exact or -1.
    const JoinMatches loose = run_join(*index, 0, count, false, 2, nullptr, nullptr);
    ASSERT_EQ(loose.first.size(), expected.size());
    for (size_t m = 0; m < expected.size(); ++m) {
      EXPECT_EQ(loose.first[m], std::get<0>(expected[m]));
      EXPECT_EQ(loose.second[m], std::get<1>(expected[m]));
      EXPECT_TRUE(loose.distance[m] == -1 || loose.distance[m] == std::get<2>(expected[m]));
    }
  }
}

TEST(ParallelJoin, ARestoredIndexJoinsAsTheBuiltOne) {
  const std::vector<Tree> plain = join_corpus(27);
  std::vector<OrientedTree> trees;
  for (const Tree& t : plain) trees.push_back(oriented(t));
  const int32_t count = static_cast<int32_t>(trees.size());
  auto as_tuples = [](const JoinMatches& found) {
    std::vector<std::tuple<int32_t, int32_t, int32_t>> got;
    for (size_t m = 0; m < found.first.size(); ++m) got.emplace_back(found.first[m], found.second[m], found.distance[m]);
    return got;
  };
  for (int32_t tau : {0, 2, 5}) {
    const auto built = build_join_index(trees, tau, nullptr);
    const auto restored = restore_join_index(trees, tau, nullptr, join_label_index(*built));
    for (const auto& [begin, end] : {std::pair{0, count}, {0, count / 2}, {count / 3, count}}) {
      const JoinMatches a = run_join(*built, begin, end, true, 2, nullptr, nullptr);
      const JoinMatches b = run_join(*restored, begin, end, true, 1, nullptr, nullptr);
      EXPECT_EQ(as_tuples(a), as_tuples(b)) << "tau " << tau;
      EXPECT_EQ(a.counts.pruned_by_labels, b.counts.pruned_by_labels) << "tau " << tau;
      EXPECT_EQ(a.counts.verified, b.counts.verified) << "tau " << tau;
    }
    // Parts that do not fit the trees are refused, not read out of range.
    JoinLabelIndex short_tokens = join_label_index(*built);
    short_tokens.tokens.pop_back();
    EXPECT_THROW(restore_join_index(trees, tau, nullptr, short_tokens), std::invalid_argument);
    JoinLabelIndex far_entry = join_label_index(*built);
    far_entry.entry_position.back() = count;
    EXPECT_THROW(restore_join_index(trees, tau, nullptr, far_entry), std::invalid_argument);
  }
  // With rename costs there is no label index to restore.
  LabelCosts<int32_t> costs;
  costs.rows = costs.columns = 3;
  costs.rename = {0, 1, 2, 1, 0, 1, 2, 1, 0};
  const auto built = build_join_index(trees, 2, &costs);
  EXPECT_TRUE(join_label_index(*built).tokens.empty());
  const auto restored = restore_join_index(trees, 2, &costs, join_label_index(*built));
  EXPECT_EQ(as_tuples(run_join(*built, 0, count, true, 1, nullptr, nullptr)),
            as_tuples(run_join(*restored, 0, count, true, 1, nullptr, nullptr)));
  EXPECT_THROW(restore_join_index(trees, 2, &costs, join_label_index(*build_join_index(trees, 2, nullptr))),
               std::invalid_argument);
}

TEST(ParallelJoin, NearestEqualsSortingAllDistances) {
  const std::vector<Tree> plain = join_corpus(25);
  std::vector<OrientedTree> corpus, queries;
  for (size_t t = 0; t < plain.size(); ++t) (t % 5 == 0 ? queries : corpus).push_back(oriented(plain[t]));
  for (const auto& [k, limit] : {std::pair{1, -1}, {3, -1}, {4, 3}, {200, 6}, {2, 0}}) {
    const NearestMatches found = find_nearest(queries, corpus, k, limit, 2, nullptr, nullptr);
    for (size_t q = 0; q < queries.size(); ++q) {
      std::vector<std::pair<int32_t, int32_t>> all;
      for (size_t c = 0; c < corpus.size(); ++c) {
        const int32_t d = compute_oriented_distance(queries[q], corpus[c], PairCosts<int32_t>{}, 1, nullptr);
        if (limit < 0 || d <= limit) all.emplace_back(d, static_cast<int32_t>(c));
      }
      std::sort(all.begin(), all.end());
      for (int32_t r = 0; r < k; ++r) {
        const bool present = r < static_cast<int32_t>(all.size());
        EXPECT_EQ(found.index[q * k + r], present ? all[r].second : -1) << "query " << q << " rank " << r;
        EXPECT_EQ(found.distance[q * k + r], present ? all[r].first : -1) << "query " << q << " rank " << r;
      }
    }
  }
}

TEST(ParallelJoin, RenameCostsComputeEveryCandidateInFull) {
  const std::vector<Tree> plain = join_corpus(26);
  std::vector<OrientedTree> trees;
  for (const Tree& t : plain) trees.push_back(oriented(t));
  // Asymmetric costs with a negative entry: no size bound, distances from
  // the smaller index into the larger.
  LabelCosts<int32_t> costs{3, 3, {0, 1, 2, 1, -1, 1, 2, 1, 0}, {}, {}};
  const int32_t count = static_cast<int32_t>(trees.size());
  const auto index = build_join_index(trees, 2, &costs);
  const JoinMatches found = run_join(*index, 0, count, true, 2, nullptr, nullptr);
  EXPECT_EQ(found.counts.pruned_by_size, 0);
  size_t m = 0;
  for (int32_t i = 0; i < count; ++i) {
    for (int32_t j = i + 1; j < count; ++j) {
      PairCosts<int32_t> pair;
      pair.rename_by_label = {costs.rename.data(), 3, 3};
      const int32_t d = compute_oriented_distance(trees[i], trees[j], pair, 1, nullptr);
      if (d > 2) continue;
      ASSERT_LT(m, found.first.size());
      EXPECT_EQ(std::make_tuple(found.first[m], found.second[m], found.distance[m]), std::make_tuple(i, j, d));
      ++m;
    }
  }
  EXPECT_EQ(m, found.first.size());
}

TEST(ParallelStop, ASetFlagStopsJoinAndNearest) {
  const std::vector<Tree> plain = join_corpus(27);
  std::vector<OrientedTree> trees;
  for (const Tree& t : plain) trees.push_back(oriented(t));
  StopFlag stop{true};
  const auto index = build_join_index(trees, 3, nullptr);
  EXPECT_THROW(run_join(*index, 0, static_cast<int64_t>(trees.size()), true, 2, &stop, nullptr), OperationStopped);
  EXPECT_THROW(find_nearest(trees, trees, 2, -1, 2, &stop, nullptr), OperationStopped);
  std::mt19937 rng(28);
  const OrientedTree big1 = oriented(grix_test::random_tree(rng, 3000, 2));
  const OrientedTree big2 = oriented(grix_test::random_tree(rng, 3000, 2));
  DistanceScratch scratch;
  EXPECT_THROW(bounded_tree_distance(big1, big2, 200, scratch, &stop), OperationStopped);
}

// 6,000 stars of 40 nodes whose leaves hold one label set in shuffled
// orders: every pair shares its labels and is ruled out by the pre-order
// bound, so no distance runs and the flag is read only by the join's loops.
// Stopped after a few trees, the join must not go on to the end.
TEST(ParallelStop, AJoinDecidedByBoundsStopsBetweenTrees) {
  std::mt19937 rng(19);
  std::vector<int32_t> parents(40, 0), codes(40);
  parents[0] = -1;
  std::iota(codes.begin(), codes.end(), 0);
  std::vector<OrientedTree> stars;
  for (int32_t t = 0; t < 6000; ++t) {
    std::shuffle(codes.begin() + 1, codes.end(), rng);
    stars.push_back(prepare_oriented_tree(parents, codes, "star"));
  }
  const auto index = build_join_index(stars, 4, nullptr);
  for (int32_t workers : {1, 2}) {
    StopFlag stop{false};
    std::atomic<int64_t> probed{0};
    std::thread stopper([&] {
      while (probed.load() < 2) std::this_thread::yield();
      stop = true;
    });
    EXPECT_THROW(run_join(*index, 0, static_cast<int64_t>(stars.size()), true, workers, &stop, &probed),
                 OperationStopped);
    stopper.join();
    EXPECT_LT(probed.load(), 3000) << workers << " workers";
  }
}

}  // namespace
}  // namespace grix
