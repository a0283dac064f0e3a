// The path strategy forced, against the keyroot schedule (itself checked
// against the reference recursion elsewhere): random trees and the shapes
// where every fixed side costs about n^4, int and double costs, per-node
// delete and insert costs, both orientations, one and two threads, the
// mapping, batches and the stop flag. Suites named Parallel* run threads.

#include <gtest/gtest.h>

#include <malloc.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <limits>
#include <random>
#include <thread>

#include "distance/path_strategy.h"
#include "shared/memory_budget.h"
#include "test_support.h"
#include "tree_edit_distance.h"

namespace grix {
namespace {

using grix_test::Tree;

// A tree from child lists (node 0 the root), renumbered in pre-order, with
// labels drawn from `alphabet` letters.
Tree from_children(const std::vector<std::vector<int32_t>>& children, std::mt19937& rng, int32_t alphabet) {
  Tree tree;
  std::vector<std::pair<int32_t, int32_t>> stack{{0, -1}};
  while (!stack.empty()) {
    const auto [node, parent] = stack.back();
    stack.pop_back();
    const int32_t id = tree.size();
    tree.parents.push_back(parent);
    tree.labels.push_back(std::string(1, static_cast<char>('a' + grix_test::random_int(rng, 0, alphabet - 1))));
    for (auto child = children[node].rbegin(); child != children[node].rend(); ++child) stack.push_back({*child, id});
  }
  return tree;
}

// A spine whose every node carries a leaf, alternately after and before the
// spine child.
Tree side_turning_spine(int32_t n, std::mt19937& rng) {
  std::vector<std::vector<int32_t>> children(static_cast<size_t>(n));
  bool after = true;
  for (int32_t spine = 0, node = 1; node < n; spine = node, node += 2, after = !after) {
    if (node + 1 < n) children[spine] = after ? std::vector<int32_t>{node, node + 1} : std::vector<int32_t>{node + 1, node};
    else children[spine] = {node};
  }
  return from_children(children, rng, 4);
}

// A root over a spine-first and a spine-last caterpillar.
Tree opposed_caterpillars(int32_t n, std::mt19937& rng) {
  std::vector<std::vector<int32_t>> children(1);
  const int32_t half = (n - 1) / 2;
  for (bool spine_first : {true, false}) {
    std::vector<int32_t> spine;
    for (int32_t k = 0; k < std::max(1, half / 3); ++k) {
      children.emplace_back();
      spine.push_back(static_cast<int32_t>(children.size()) - 1);
      children[k == 0 ? 0 : spine[spine.size() - 2]].push_back(spine.back());
    }
    for (int32_t k = static_cast<int32_t>(spine.size()); k < half; ++k) {
      children.emplace_back();
      std::vector<int32_t>& host = children[spine[grix_test::random_int(rng, 0, static_cast<int32_t>(spine.size()) - 1)]];
      host.insert(spine_first ? host.end() : host.begin(), static_cast<int32_t>(children.size()) - 1);
    }
  }
  return from_children(children, rng, 4);
}

OrientedTree oriented(const Tree& tree) {
  std::vector<int32_t> codes;
  for (const std::string& label : tree.labels) codes.push_back(label[0] - 'a');
  return prepare_oriented_tree(tree.parents, codes, "tree");
}

Tree shaped(int32_t shape, int32_t n, std::mt19937& rng) {
  if (shape == 0) return side_turning_spine(n, rng);
  if (shape == 1) return opposed_caterpillars(n, rng);
  return grix_test::random_tree(rng, n, 3);
}

// Label-table renames and per-node costs of either cost type.
template <typename Cost>
struct RandomCosts {
  std::vector<Cost> table;
  PairCosts<Cost> costs;
  RandomCosts(std::mt19937& rng, int32_t n1, int32_t n2, bool per_node) {
    for (int32_t k = 0; k < 16; ++k) {
      table.push_back(static_cast<Cost>(k % 5 == 0 ? 0 : grix_test::random_int(rng, 1, 6)) / Cost{2});
    }
    costs.rename_by_label = {table.data(), 4, 4};
    if (per_node) {
      for (int32_t i = 0; i < n1; ++i) costs.delete_costs.push_back(static_cast<Cost>(grix_test::random_int(rng, 1, 4)));
      for (int32_t j = 0; j < n2; ++j) costs.insert_costs.push_back(static_cast<Cost>(grix_test::random_int(rng, 1, 4)));
    }
  }
};

template <typename Cost>
void expect_strategy_matches_keyroot(int32_t shape, int32_t low, int32_t high, int32_t rounds, uint32_t seed) {
  std::mt19937 rng(seed);
  for (int32_t round = 0; round < rounds; ++round) {
    const Tree t1 = shaped(shape, grix_test::random_int(rng, low, high), rng);
    const Tree t2 = shaped(shape, grix_test::random_int(rng, low, high), rng);
    const OrientedTree a = oriented(t1), b = oriented(t2);
    const RandomCosts<Cost> random(rng, t1.size(), t2.size(), round % 2 == 1);
    const Cost expected = compute_oriented_distance(a, b, random.costs, 1, nullptr, nullptr, Algorithm::keyroot);
    // The pair swapped: renames transposed, deletes and inserts exchanged.
    std::vector<Cost> transposed(16);
    for (int32_t r = 0; r < 4; ++r)
      for (int32_t c = 0; c < 4; ++c) transposed[c * 4 + r] = random.table[r * 4 + c];
    PairCosts<Cost> swapped;
    swapped.rename_by_label = {transposed.data(), 4, 4};
    swapped.delete_costs = random.costs.insert_costs;
    swapped.insert_costs = random.costs.delete_costs;
    for (int32_t threads : {1, 2}) {
      EXPECT_EQ(compute_oriented_distance(a, b, random.costs, threads, nullptr, nullptr, Algorithm::strategy), expected)
          << "shape " << shape << " round " << round << " threads " << threads;
      EXPECT_EQ(compute_oriented_distance(b, a, swapped, threads, nullptr, nullptr, Algorithm::strategy), expected)
          << "shape " << shape << " round " << round << " swapped, threads " << threads;
    }
  }
}

TEST(ParallelStrategy, SmallTreesOfEveryShapeMatchTheKeyrootSchedule) {
  for (int32_t shape = 0; shape < 3; ++shape) {
    expect_strategy_matches_keyroot<int32_t>(shape, 1, 30, 150, 100 + shape);
    expect_strategy_matches_keyroot<double>(shape, 1, 30, 150, 200 + shape);
  }
}

TEST(ParallelStrategy, LargeTreesSplitTheirGridsAcrossThreads) {
  // 300 nodes and more: the workers start (heavy-path grids split only from
  // 2^20 cells: GridsAboveTheSplitSizeGiveTheOneWorkerResult).
  for (int32_t shape = 0; shape < 3; ++shape) {
    expect_strategy_matches_keyroot<int32_t>(shape, 300, 420, 2, 300 + shape);
    expect_strategy_matches_keyroot<double>(shape, 300, 420, 2, 400 + shape);
  }
}

TEST(ParallelStrategy, TheMappingWalksTheStrategyResults) {
  std::mt19937 rng(7);
  for (int32_t shape = 0; shape < 2; ++shape) {
    const Tree t1 = shaped(shape, 160, rng), t2 = shaped(shape, 150, rng);
    const RandomCosts<double> random(rng, t1.size(), t2.size(), true);
    const OrientedTree a = oriented(t1), b = oriented(t2);
    const EditMapping<double> mapping =
        compute_edit_mapping(a, b, random.costs, 2, nullptr, nullptr, Algorithm::strategy);
    EXPECT_EQ(mapping.distance, compute_oriented_distance(a, b, random.costs, 1, nullptr, nullptr, Algorithm::keyroot));
    double cost = 0;
    for (int32_t i : mapping.deleted) cost += random.costs.delete_costs[i];
    for (int32_t j : mapping.inserted) cost += random.costs.insert_costs[j];
    for (const auto& [i, j] : mapping.pairs) {
      cost += std::min(random.table[a.given.codes[i] * 4 + b.given.codes[j]],
                       random.costs.delete_costs[i] + random.costs.insert_costs[j]);
    }
    EXPECT_NEAR(cost, mapping.distance, 1e-9);
  }
}

TEST(Strategy, AutomaticChoiceFollowsTheShape) {
  std::mt19937 rng(8);
  const OrientedTree spine1 = oriented(side_turning_spine(500, rng)), spine2 = oriented(side_turning_spine(500, rng));
  const AlgorithmPrices spine = price_pair(spine1, spine2, Algorithm::automatic);
  EXPECT_TRUE(spine.use_strategy);
  EXPECT_LT(spine.strategy, std::min(spine.keyroot_given, spine.keyroot_mirrored));
  const OrientedTree bushy1 = oriented(grix_test::random_tree(rng, 500, 3));
  const OrientedTree bushy2 = oriented(grix_test::random_tree(rng, 500, 3));
  const AlgorithmPrices bushy = price_pair(bushy1, bushy2, Algorithm::automatic);
  EXPECT_FALSE(bushy.use_strategy);
  EXPECT_LT(bushy.strategy, 0);  // not even planned
  EXPECT_FALSE(price_pair(spine1, spine2, Algorithm::keyroot).use_strategy);
  EXPECT_TRUE(price_pair(bushy1, bushy2, Algorithm::strategy).use_strategy);
}

TEST(ParallelStrategy, BatchesChooseTheStrategyForEachPair) {
  std::mt19937 rng(9);
  std::vector<OrientedTree> trees;
  for (int32_t k = 0; k < 3; ++k) trees.push_back(oriented(side_turning_spine(250 + 10 * k, rng)));
  trees.push_back(oriented(grix_test::random_tree(rng, 50, 3)));
  ASSERT_TRUE(price_pair(trees[0], trees[1], Algorithm::automatic).use_strategy);
  ASSERT_FALSE(price_pair(trees[0], trees[3], Algorithm::automatic).use_strategy);
  std::vector<int32_t> out(6);
  compute_pair_batch<int32_t>({&trees, &trees, PairLayout::all_pairs_of_a, {}, {}}, {}, 2, out.data(), nullptr, nullptr);
  const PairCosts<int32_t> unit;
  int32_t slot = 0;
  for (size_t i = 0; i < trees.size(); ++i) {
    for (size_t j = i + 1; j < trees.size(); ++j) {
      EXPECT_EQ(out[slot++], compute_oriented_distance(trees[i], trees[j], unit, 1, nullptr, nullptr, Algorithm::keyroot));
    }
  }
}

TEST(ParallelStrategy, AFlagSetMidwayStopsTheStrategy) {
  std::mt19937 rng(10);
  const OrientedTree t1 = oriented(side_turning_spine(2400, rng)), t2 = oriented(side_turning_spine(2400, rng));
  const PairCosts<int32_t> unit;
  StopFlag stop{false};
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    stop = true;
  });
  const auto start = std::chrono::steady_clock::now();
  EXPECT_THROW(compute_oriented_distance(t1, t2, unit, 2, &stop, nullptr, Algorithm::strategy), OperationStopped);
  stopper.join();
  // Whole, the call takes several seconds.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

// Heavy-path grids split across workers from 2^20 cells, where the other
// subtree has 1,023 nodes or more. The plan is steered to heavy paths in the
// small tree for every pair whose subtree of the large one is that big (only
// its root's here), so that its grids (1,025 rows or columns, split in two
// with a remainder row) are split while the whole run stays short. Every
// subtree distance must be the one-worker value.
TEST(ParallelStrategy, GridsAboveTheSplitSizeGiveTheOneWorkerResult) {
  constexpr int32_t SPLIT_NODES = 1023;
  std::mt19937 rng(19);
  const Tree small = side_turning_spine(9, rng), large = side_turning_spine(1024, rng);
  for (bool large_second : {true, false}) {
    const OrientedTree a = oriented(large_second ? small : large), b = oriented(large_second ? large : small);
    const PathShape f = build_path_shape(a), g = build_path_shape(b);
    PathPlan plan = plan_paths(f, g, nullptr);
    int32_t steered = 0;
    for (int32_t v = 0; v < f.n; ++v) {
      for (int32_t w = 0; w < g.n; ++w) {
        if ((large_second ? g.size[w] : f.size[v]) < SPLIT_NODES) continue;
        plan.choice[static_cast<size_t>(v) * g.n + w] = large_second ? PATH_IN_FIRST * 3 + HEAVY_PATH
                                                                     : PATH_IN_SECOND * 3 + HEAVY_PATH;
        ++steered;
      }
    }
    ASSERT_GT(steered, 0);
    FlatMatrix<int32_t> rename(f.n, g.n);
    for (int32_t v = 0; v < f.n; ++v)
      for (int32_t w = 0; w < g.n; ++w) rename.at(v, w) = a.given.codes[v] != b.given.codes[w];
    const MatrixView<int32_t> costs{rename.row(0), f.n, g.n};
    FlatMatrix<int32_t> one, two;
    run_path_plan<int32_t>(a, b, f, g, plan, costs, {}, {}, 1, one, nullptr, nullptr);
    run_path_plan<int32_t>(a, b, f, g, plan, costs, {}, {}, 2, two, nullptr, nullptr);
    int32_t differing = 0;
    for (int32_t v = 0; v < f.n; ++v)
      for (int32_t w = 0; w < g.n; ++w) differing += one.at(v, w) != two.at(v, w);
    EXPECT_EQ(differing, 0) << "large tree second: " << large_second;
    EXPECT_EQ(two.at(0, 0), compute_oriented_distance(a, b, PairCosts<int32_t>{}, 1, nullptr, nullptr, Algorithm::keyroot));
  }
}

// The child that continues the path `kind` below v, or -1 at its end.
int32_t next_on_path(const PathShape& shape, int32_t v, int32_t kind) {
  if (shape.is_leaf(v)) return -1;
  return kind == LEFT_PATH ? shape.first_child(v) : kind == RIGHT_PATH ? shape.last_child(v) : shape.heavy_child[v];
}

// What the plan's choices cost when followed from (v, w): the chosen
// single-path function, plus the same for every subtree hanging off its path
// against the other subtree.
double followed_cost(const PathShape& f, const PathShape& g, const PathPlan& plan, int32_t v, int32_t w) {
  const int32_t choice = plan.choice[static_cast<size_t>(v) * static_cast<size_t>(g.n) + static_cast<size_t>(w)];
  double total = single_path_seconds(f, g, v, w, choice);
  const bool in_first = choice / 3 == PATH_IN_FIRST;
  const PathShape& path_side = in_first ? f : g;
  for (int32_t p = in_first ? v : w; p >= 0;) {
    const int32_t next = next_on_path(path_side, p, choice % 3);
    for (int32_t at = path_side.first_child_at[p]; at < path_side.first_child_at[p + 1]; ++at) {
      const int32_t child = path_side.child_list[at];
      if (child != next) total += in_first ? followed_cost(f, g, plan, child, w) : followed_cost(f, g, plan, v, child);
    }
    p = next;
  }
  return total;
}

TEST(Strategy, APlanCostsTheSumOfTheOptionsItChose) {
  std::mt19937 rng(20);
  for (int32_t round = 0; round < 60; ++round) {
    const int32_t shape = round % 3;
    const OrientedTree a = oriented(shaped(shape, grix_test::random_int(rng, 1, 120), rng));
    const OrientedTree b = oriented(shaped((shape + round / 3) % 3, grix_test::random_int(rng, 1, 120), rng));
    const PathShape f = build_path_shape(a), g = build_path_shape(b);
    const PathPlan plan = plan_paths(f, g, nullptr);
    const double followed = followed_cost(f, g, plan, 0, 0);
    EXPECT_NEAR(plan.cost, followed, 1e-12 * followed) << "round " << round;
    EXPECT_GT(plan.cost, 0);
  }
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define GRIX_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define GRIX_SANITIZED 1
#endif
#endif

double status_bytes(const char* key) {
  std::ifstream status("/proc/self/status");
  std::string word;
  while (status >> word) {
    if (word == key) {
      double kib = 0;
      status >> kib;
      return kib * 1024;
    }
  }
  return -1;
}

// Strategy pairs of a batch, one per worker, each checked alone against an
// address-space limit whose room holds the estimate of one pair's strategy
// but not of three. Before the workers ran them together: each passed its
// check, and the batch held three pairs' memory (each peaks at about half its
// estimate), more than the room. They must run in turn, and none be refused
// while another holds its memory.
TEST(ParallelStrategy, BatchStrategyPairsThatFitOnlyOneAtATimeRunInTurn) {
#ifdef GRIX_SANITIZED
  GTEST_SKIP() << "sanitizer runtimes reserve address space of their own";
#endif
  std::mt19937 rng(21);
  std::vector<OrientedTree> firsts, second{oriented(side_turning_spine(700, rng))};
  for (int32_t n : {690, 695, 700}) firsts.push_back(oriented(side_turning_spine(n, rng)));
  PairBatch batch{&firsts, &second, PairLayout::a_by_b, {}, {}};  // a block per row: a pair per worker
  batch.algorithm = Algorithm::strategy;
  LabelCosts<double> costs;
  costs.rows = costs.columns = 4;
  for (int32_t k = 0; k < 16; ++k) costs.rename.push_back(k % 5 == 0 ? 0.0 : 0.75);
  std::vector<double> expected(3), out(3, -1);
  // Unlimited first, on all workers: the threads' heaps exist from here on.
  compute_pair_batch<double>(batch, {&costs, nullptr}, 3, expected.data(), nullptr, nullptr);
  const double needed = estimate_strategy_bytes(700, 700, 1, sizeof(double)) + 700.0 * 700 * sizeof(double);
  ASSERT_GE(needed, UNCHECKED_BYTES);
  malloc_trim(0);
  if (!(std::ofstream("/proc/self/clear_refs") << "5")) GTEST_SKIP() << "the peak resident size cannot be reset here";
  const double resident = status_bytes("VmRSS:");
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_AS, &saved), 0);
  // Room for one pair, and for the three worker stacks.
  const double room = 1.1 * needed;
  const rlim_t limit = static_cast<rlim_t>(status_bytes("VmSize:") + room + 3 * 8.5 * 1024 * 1024);
  rlimit tight{limit, saved.rlim_max};
  ASSERT_EQ(setrlimit(RLIMIT_AS, &tight), 0);
  std::string failure;
  try {
    compute_pair_batch<double>(batch, {&costs, nullptr}, 3, out.data(), nullptr, nullptr);
  } catch (const std::exception& error) {
    failure = error.what();
  }
  setrlimit(RLIMIT_AS, &saved);
  const double peak = status_bytes("VmHWM:") - resident;
  std::printf("batch peak %.1f MiB, room %.1f MiB\n", peak / 1048576.0, room / 1048576.0);
  EXPECT_EQ(failure, "");
  EXPECT_EQ(out, expected);
  EXPECT_LE(peak, room);
}

}  // namespace
}  // namespace grix
