// The JSON edit distance against a memoized transcription of its recurrences
// that matches children by trying every assignment (no solver, no skipping),
// the assignment solver against every permutation, and the batch and join
// against single pairs.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <numeric>
#include <random>
#include <stdexcept>
#include <vector>

#include "json/min_cost_assignment.h"
#include "json_edit_distance.h"

namespace {

using grix::JsonKind;
using grix::JsonTree;

int32_t random_int(std::mt19937& rng, int32_t low, int32_t high) {
  return std::uniform_int_distribution<int32_t>(low, high)(rng);
}

struct RawTree {
  std::vector<int32_t> parents, labels;
  std::vector<int8_t> kinds;
};

// Appends a random value of at most `budget` nodes under `parent`; labels
// come from small alphabets (keys 0-2, literals 0-3) so that equal ones meet.
void add_value(std::mt19937& rng, RawTree& t, int32_t parent, int32_t budget) {
  const int32_t node = static_cast<int32_t>(t.parents.size());
  const int32_t choice = budget < 2 ? 0 : random_int(rng, 0, 2);
  t.parents.push_back(parent);
  t.kinds.push_back(static_cast<int8_t>(choice == 0 ? JsonKind::literal : choice == 1 ? JsonKind::array
                                                                                     : JsonKind::object));
  t.labels.push_back(choice == 0 ? random_int(rng, 0, 3) : 0);
  int32_t left = budget - 1;
  if (choice == 1) {
    while (left >= 1 && random_int(rng, 0, 5) > 0) {
      const int32_t before = static_cast<int32_t>(t.parents.size());
      add_value(rng, t, node, random_int(rng, 1, left));
      left -= static_cast<int32_t>(t.parents.size()) - before;
    }
  } else if (choice == 2) {
    for (int32_t key = 0; key < 3 && left >= 2; ++key) {
      if (random_int(rng, 0, 2) == 0) continue;
      const int32_t key_node = static_cast<int32_t>(t.parents.size());
      t.parents.push_back(node);
      t.kinds.push_back(static_cast<int8_t>(JsonKind::key));
      t.labels.push_back(key);
      const int32_t before = static_cast<int32_t>(t.parents.size());
      add_value(rng, t, key_node, random_int(rng, 1, left - 1));
      left -= 1 + static_cast<int32_t>(t.parents.size()) - before;
    }
  }
}

JsonTree random_json(std::mt19937& rng, int32_t budget) {
  RawTree t;
  add_value(rng, t, -1, budget);
  return grix::prepare_json_tree(t.parents, t.kinds, t.labels);
}

// The recurrences, memoized, with every injective assignment of the smaller
// children list tried.
class Reference {
 public:
  Reference(const JsonTree& a, const JsonTree& b) : a_(a), b_(b) {}

  int32_t distance() { return a_.size() == 0 || b_.size() == 0 ? a_.size() + b_.size() : dt(0, 0); }

 private:
  std::vector<int32_t> kids(const JsonTree& t, int32_t v) const {
    return {t.children.begin() + t.child_begin[v], t.children.begin() + t.child_begin[v + 1]};
  }

  int32_t dt(int32_t v, int32_t w) {
    const auto key = std::make_pair(v, w);
    if (const auto it = tree_.find(key); it != tree_.end()) return it->second;
    const int32_t rename = a_.kinds[v] != b_.kinds[w] ? 2 : a_.labels[v] != b_.labels[w] ? 1 : 0;
    int32_t best = df(v, w) + rename;
    for (int32_t t : kids(b_, w)) best = std::min(best, b_.sizes[w] - b_.sizes[t] + dt(v, t));
    for (int32_t s : kids(a_, v)) best = std::min(best, a_.sizes[v] - a_.sizes[s] + dt(s, w));
    return tree_[key] = best;
  }

  int32_t df(int32_t v, int32_t w) {
    const auto key = std::make_pair(v, w);
    if (const auto it = forest_.find(key); it != forest_.end()) return it->second;
    const std::vector<int32_t> x = kids(a_, v), y = kids(b_, w);
    int32_t best = std::numeric_limits<int32_t>::max();
    for (int32_t t : y) best = std::min(best, b_.sizes[w] - b_.sizes[t] + df(v, t));
    for (int32_t s : x) best = std::min(best, a_.sizes[v] - a_.sizes[s] + df(s, w));
    const bool arrays = a_.kinds[v] == static_cast<int8_t>(JsonKind::array) &&
                        b_.kinds[w] == static_cast<int8_t>(JsonKind::array);
    // Each child of v goes to a distinct child of w or nowhere; arrays in order.
    std::vector<int32_t> target(x.size(), -1);
    std::vector<char> used(y.size(), 0);
    std::function<void(size_t, int32_t)> assign = [&](size_t s, int32_t cost) {
      if (s == x.size()) {
        for (size_t t = 0; t < y.size(); ++t) cost += used[t] ? 0 : b_.sizes[y[t]];
        best = std::min(best, cost);
        return;
      }
      assign(s + 1, cost + a_.sizes[x[s]]);
      int32_t after = -1;
      for (size_t r = 0; r < s; ++r) after = std::max(after, target[r]);
      for (size_t t = 0; t < y.size(); ++t) {
        if (used[t] || (arrays && static_cast<int32_t>(t) <= after)) continue;
        used[t] = 1, target[s] = static_cast<int32_t>(t);
        assign(s + 1, cost + dt(x[s], y[t]));
        used[t] = 0, target[s] = -1;
      }
    };
    assign(0, 0);
    return forest_[key] = best;
  }

  const JsonTree& a_;
  const JsonTree& b_;
  std::map<std::pair<int32_t, int32_t>, int32_t> tree_, forest_;
};

TEST(MinCostAssignment, EqualsTheBestPermutation) {
  std::mt19937 rng(11);
  grix::AssignmentScratch scratch;
  std::vector<int32_t> row_to_column;
  for (int round = 0; round < 2000; ++round) {
    const int32_t rows = random_int(rng, 0, 5), columns = random_int(rng, rows, 6);
    std::vector<int32_t> cost(static_cast<size_t>(rows * columns));
    for (int32_t& c : cost) c = random_int(rng, -9, 9);
    std::vector<int32_t> pick(static_cast<size_t>(columns));
    std::iota(pick.begin(), pick.end(), 0);
    int64_t best = std::numeric_limits<int64_t>::max();
    do {
      int64_t total = 0;
      for (int32_t r = 0; r < rows; ++r) total += cost[static_cast<size_t>(r * columns + pick[r])];
      best = std::min(best, total);
    } while (std::next_permutation(pick.begin(), pick.end()));
    if (rows == 0) best = 0;
    const int64_t got = grix::min_cost_assignment(cost.data(), rows, columns, row_to_column, scratch);
    ASSERT_EQ(got, best) << "round " << round;
    int64_t total = 0;
    std::vector<char> seen(static_cast<size_t>(columns), 0);
    for (int32_t r = 0; r < rows; ++r) {
      ASSERT_FALSE(seen[row_to_column[r]]);
      seen[row_to_column[r]] = 1;
      total += cost[static_cast<size_t>(r * columns + row_to_column[r])];
    }
    EXPECT_EQ(total, got);
  }
}

TEST(JsonEditDistance, EqualsTheReferenceAndTheBoundsEncloseIt) {
  std::mt19937 rng(12);
  for (int round = 0; round < 1500; ++round) {
    const JsonTree a = random_json(rng, random_int(rng, 1, 14));
    const JsonTree b = random_json(rng, random_int(rng, 1, 14));
    const int32_t d = grix::json_edit_distance(a, b);
    ASSERT_EQ(d, Reference(a, b).distance()) << "round " << round;
    EXPECT_EQ(d, grix::json_edit_distance(b, a));
    EXPECT_LE(grix::json_label_lower_bound(a, b), d);
    EXPECT_GE(grix::json_greedy_upper_bound(a, b), d);
    const grix::JsonMapping m = grix::json_edit_mapping(a, b);
    EXPECT_EQ(m.distance, d);
    int32_t cost = a.size() + b.size() - 2 * static_cast<int32_t>(m.pairs.size());
    for (const auto& [v, w] : m.pairs) {
      ASSERT_EQ(a.kinds[v], b.kinds[w]);
      cost += a.labels[v] != b.labels[w] ? 1 : 0;
    }
    EXPECT_EQ(cost, d) << "round " << round;
  }
}

TEST(JsonEditDistance, ReorderedMembersAndEmptyTrees) {
  // {"a": 1, "b": [2, 3]} and the same with the members swapped.
  const JsonTree a = grix::prepare_json_tree({-1, 0, 1, 0, 3, 4, 4}, {0, 2, 3, 2, 1, 3, 3}, {0, 0, 1, 1, 0, 2, 3});
  const JsonTree b = grix::prepare_json_tree({-1, 0, 1, 2, 2, 0, 5}, {0, 2, 1, 3, 3, 2, 3}, {0, 1, 0, 2, 3, 0, 1});
  EXPECT_EQ(grix::json_edit_distance(a, b), 0);
  EXPECT_EQ(grix::json_greedy_upper_bound(a, b), 0);
  const JsonTree empty = grix::prepare_json_tree({}, {}, {});
  EXPECT_EQ(grix::json_edit_distance(a, empty), 7);
  EXPECT_EQ(grix::json_edit_mapping(empty, b).distance, 7);
}

TEST(JsonEditDistance, RejectsTreesThatAreNotJson) {
  using V = std::vector<int32_t>;
  using K = std::vector<int8_t>;
  const auto rejects = [](V parents, K kinds, const char* message) {
    const V labels(parents.size(), 0);
    try {
      grix::prepare_json_tree(parents, kinds, labels, "t1");
      ADD_FAILURE() << "accepted: " << message;
    } catch (const std::invalid_argument& e) {
      EXPECT_NE(std::string(e.what()).find(message), std::string::npos) << e.what();
    }
  };
  rejects({-1, 0}, {3, 3}, "node 0 is a literal with children");
  rejects({-1, 0}, {0, 3}, "node 1 is a child of an object but not a key");
  rejects({-1, 0}, {1, 2}, "node 1 is a key outside an object");
  rejects({-1, 0}, {0, 2}, "node 1 is a key with 0 children");
  rejects({-1}, {2}, "node 0 is a key at the root");
  rejects({-1, 0, 0}, {1, 3, 4}, "node 2 has kind 4");
  rejects({-1, -1}, {3, 3}, "node 1 is a second root");
  rejects({-1, 0, 2}, {1, 1, 3}, "node 2 has parent 2");
  EXPECT_THROW(grix::prepare_json_tree({-1}, {3}, {}), std::invalid_argument);
}

TEST(JsonEditDistance, StopsWhenAsked) {
  std::mt19937 rng(13);
  const JsonTree a = random_json(rng, 200), b = random_json(rng, 200);
  grix::StopFlag stop{true};
  EXPECT_THROW(grix::json_edit_distance(a, b, &stop), grix::OperationStopped);
  std::vector<int32_t> out(1);
  EXPECT_THROW(grix::compute_json_batch({a, b}, {}, grix::PairLayout::all_pairs_of_a, {}, {}, 2, out.data(), &stop,
                                        nullptr),
               grix::OperationStopped);
  EXPECT_THROW(grix::json_join({a, b}, 5, true, 2, &stop, nullptr), grix::OperationStopped);
}

TEST(ParallelJsonBatch, EveryLayoutEqualsSinglePairs) {
  std::mt19937 rng(14);
  std::vector<JsonTree> a, b;
  for (int k = 0; k < 23; ++k) a.push_back(random_json(rng, random_int(rng, 1, 40)));
  for (int k = 0; k < 9; ++k) b.push_back(random_json(rng, random_int(rng, 1, 40)));
  for (int32_t workers : {1, 3}) {
    std::vector<int32_t> condensed(a.size() * (a.size() - 1) / 2), square(a.size() * b.size());
    grix::compute_json_batch(a, {}, grix::PairLayout::all_pairs_of_a, {}, {}, workers, condensed.data(), nullptr,
                             nullptr);
    grix::compute_json_batch(a, b, grix::PairLayout::a_by_b, {}, {}, workers, square.data(), nullptr, nullptr);
    size_t slot = 0;
    for (size_t i = 0; i < a.size(); ++i) {
      for (size_t j = i + 1; j < a.size(); ++j) EXPECT_EQ(condensed[slot++], grix::json_edit_distance(a[i], a[j]));
      for (size_t j = 0; j < b.size(); ++j) EXPECT_EQ(square[i * b.size() + j], grix::json_edit_distance(a[i], b[j]));
    }
    std::vector<int32_t> listed(2);
    grix::compute_json_batch(a, b, grix::PairLayout::listed, {4, 22}, {8, 0}, workers, listed.data(), nullptr,
                             nullptr);
    EXPECT_EQ(listed[1], grix::json_edit_distance(a[22], b[0]));
    EXPECT_THROW(grix::compute_json_batch(a, b, grix::PairLayout::listed, {23}, {0}, workers, listed.data(),
                                          nullptr, nullptr),
                 std::invalid_argument);
  }
}

TEST(ParallelJsonJoin, EqualsAllPairsAtEveryThreshold) {
  std::mt19937 rng(15);
  std::vector<JsonTree> trees;
  for (int k = 0; k < 70; ++k) trees.push_back(random_json(rng, random_int(rng, 1, 16)));
  for (int k = 0; k < 20; ++k) trees.push_back(trees[static_cast<size_t>(k)]);
  for (int32_t threshold : {-1, 0, 1, 2, 4, 7, 30}) {
    for (int32_t workers : {1, 3}) {
      for (bool exact : {true, false}) {
        const grix::JsonJoinMatches found = grix::json_join(trees, threshold, exact, workers, nullptr, nullptr);
        size_t m = 0;
        for (int32_t i = 0; i < static_cast<int32_t>(trees.size()); ++i) {
          for (int32_t j = i + 1; j < static_cast<int32_t>(trees.size()); ++j) {
            const int32_t d = grix::json_edit_distance(trees[i], trees[j]);
            if (d > threshold) continue;
            ASSERT_LT(m, found.first.size()) << "threshold " << threshold;
            ASSERT_EQ(found.first[m], i);
            ASSERT_EQ(found.second[m], j);
            if (exact || found.distance[m] >= 0) {
              EXPECT_EQ(found.distance[m], d);
            }
            ++m;
          }
        }
        EXPECT_EQ(m, found.first.size()) << "threshold " << threshold;
      }
    }
  }
}

}  // namespace
