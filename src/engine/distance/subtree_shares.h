// A distance's keyroot pairs on several workers, each worker keeping the
// cache-friendly order of run_keyroot_pairs_in_order.
//
// The keyroots inside disjoint subtrees of tree 1 depend only on each other:
// a pair (x, y) reads the cells of pairs (x', y') with x' inside the subtree
// of x. So the subtrees hanging below a few nodes near the root are dealt out
// to the workers in shares of about equal work, and the keyroots above them
// (the rest: the root, and the nodes whose subtrees were too heavy to give
// out whole) come after. The work runs in three steps:
//   1. each worker: the keyroots of its share of tree 1 against all of tree 2;
//   2. each worker: the rest of tree 1 against its share of tree 2 (tree 2
//      dealt out the same way), which reads only cells of steps 1 and 2 in
//      its own columns;
//   3. one worker: the rest against the rest.
// Workers write disjoint rows in step 1 and disjoint columns in step 2, so
// they share nothing but the finished cells of earlier steps. Compared with
// the level schedule, each worker computes a pair soon after the pairs it
// reads, while they are still cached.

#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <queue>
#include <utility>
#include <vector>

#include "distance/keyroot_schedule.h"
#include "shared/worker_threads.h"

namespace grix {

struct KeyrootShares {
  std::vector<std::vector<int32_t>> shares;  // by worker, in the keyroots' descending id order
  std::vector<int32_t> rest;                 // likewise
};

// Deals out the keyroots of one tree (`keyroots` in descending id order) to
// `workers` shares. A keyroot's work is its span, as the kernel counts it.
// Starting from the root's children, the heaviest subtree is split into its
// children (its root joins the rest if a keyroot) as long as it holds more
// than a worker's share of the subtrees given out; the subtrees are then
// dealt out heaviest first, each to the lightest share.
inline KeyrootShares share_keyroots(const std::vector<int32_t>& parents, const std::vector<int32_t>& rightmost_leaf,
                                    const std::vector<int32_t>& keyroots, int32_t workers) {
  const auto n = static_cast<int32_t>(parents.size());
  KeyrootShares out;
  out.shares.resize(static_cast<size_t>(workers));
  if (n == 0) return out;
  std::vector<int64_t> work(static_cast<size_t>(n), 0);
  for (int32_t x : keyroots) work[x] = KeyrootLevels::span(rightmost_leaf, x);
  for (int32_t v = n - 1; v > 0; --v) work[parents[v]] += work[v];
  // In pre-order the children of v are v + 1, then each one past the
  // previous child's rightmost leaf.
  auto for_each_child = [&](int32_t v, auto&& visit) {
    for (int32_t c = v + 1; c <= rightmost_leaf[v]; c = rightmost_leaf[c] + 1) visit(c);
  };

  std::priority_queue<std::pair<int64_t, int32_t>> heaviest;
  int64_t given = 0;
  auto offer = [&](int32_t c) {
    heaviest.emplace(work[c], c);
    given += work[c];
  };
  for_each_child(0, offer);
  while (!heaviest.empty()) {
    const auto [heavy, v] = heaviest.top();
    if (heavy * workers <= given || rightmost_leaf[v] == v) break;
    heaviest.pop();
    given -= heavy;
    for_each_child(v, offer);
  }

  std::vector<std::pair<int64_t, int32_t>> subtrees;
  for (; !heaviest.empty(); heaviest.pop()) subtrees.push_back(heaviest.top());  // heaviest first
  std::vector<int64_t> load(static_cast<size_t>(workers), 0);
  std::vector<int32_t> share_of(static_cast<size_t>(n), -1);
  for (const auto& [weight, root] : subtrees) {
    const auto lightest = static_cast<int32_t>(std::min_element(load.begin(), load.end()) - load.begin());
    load[lightest] += weight;
    std::fill(share_of.begin() + root, share_of.begin() + rightmost_leaf[root] + 1, lightest);
  }
  for (int32_t x : keyroots) (share_of[x] < 0 ? out.rest : out.shares[share_of[x]]).push_back(x);
  return out;
}

// The kernel cells of a tree's inner keyroots in `keyroots`, per cell of the
// other tree: the work that sharing out speeds up. Leaf groups and leaf pairs
// cost a small part of a kernel cell each and are left out.
inline int64_t inner_keyroot_work(const std::vector<int32_t>& rightmost_leaf, const std::vector<int32_t>& keyroots) {
  int64_t work = 0;
  for (int32_t x : keyroots) {
    if (rightmost_leaf[x] != x) work += KeyrootLevels::span(rightmost_leaf, x);
  }
  return work;
}

// Whether the three steps below are worth their threads: the kernel cells of
// the largest share in steps 1 and 2, plus step 3, at most SHARED_SHARE of
// the whole. A star shares out only its leaves, and its one kernel pair (root
// against root) is step 3: on two workers it took 2.5x the time of one.
constexpr double SHARED_SHARE = 0.8;
inline bool worth_sharing(const std::vector<int32_t>& rightmost_leaf1, const std::vector<int32_t>& keyroots1,
                          const KeyrootShares& shares1, const std::vector<int32_t>& rightmost_leaf2,
                          const std::vector<int32_t>& keyroots2, const KeyrootShares& shares2) {
  auto largest = [](const std::vector<int32_t>& rightmost_leaf, const KeyrootShares& shares) {
    int64_t most = 0;
    for (const auto& share : shares.shares) most = std::max(most, inner_keyroot_work(rightmost_leaf, share));
    return static_cast<double>(most);
  };
  const double whole1 = static_cast<double>(inner_keyroot_work(rightmost_leaf1, keyroots1));
  const double whole2 = static_cast<double>(inner_keyroot_work(rightmost_leaf2, keyroots2));
  const double rest1 = static_cast<double>(inner_keyroot_work(rightmost_leaf1, shares1.rest));
  const double rest2 = static_cast<double>(inner_keyroot_work(rightmost_leaf2, shares2.rest));
  const double shared = largest(rightmost_leaf1, shares1) * whole2 + rest1 * largest(rightmost_leaf2, shares2) +
                        rest1 * rest2;
  // Without a kernel pair (a single node on either side) there is nothing
  // to share, and 0 <= 0 would start workers for empty shares.
  return whole1 > 0 && whole2 > 0 && shared <= SHARED_SHARE * whole1 * whole2;
}

// Fills every cell of tree_dist as run_keyroot_schedule does, in the three
// steps above on `workers` threads, or in order on the calling thread for
// one worker and where the shares would not pay (worth_sharing). Each worker
// holds its own forest matrix and scratch. Stops, failures and progress as in
// run_keyroot_pairs_in_order; a stop or failure in one worker's step ends
// the call once the step's workers have been joined.
template <typename Cost, typename Indel, typename Costs, typename Matrix>
void run_keyroot_pairs_in_shares(const PreparedTree& tree1, const PreparedTree& tree2, const Costs& cost_matrix,
                                 const Indel& indel, Matrix& tree_dist, int32_t workers, const StopFlag* stop,
                                 std::atomic<int64_t>* cells_done) {
  const auto n1 = static_cast<int32_t>(tree1.parents.size());
  const auto n2 = static_cast<int32_t>(tree2.parents.size());
  KeyrootShares shares1, shares2;
  if (workers >= 2) {
    shares1 = share_keyroots(tree1.parents, tree1.rightmost_leaf, tree1.keyroots, workers);
    shares2 = share_keyroots(tree2.parents, tree2.rightmost_leaf, tree2.keyroots, workers);
    if (!worth_sharing(tree1.rightmost_leaf, tree1.keyroots, shares1, tree2.rightmost_leaf, tree2.keyroots,
                       shares2)) {
      workers = 1;
    }
  }
  throw_if_stopped(stop);

  // Scratch matrices only where a pair of inner keyroots needs one.
  const bool kernel_pairs = has_inner_keyroot(tree1) && has_inner_keyroot(tree2);
  std::vector<Matrix> forest_dists;
  forest_dists.reserve(static_cast<size_t>(workers));
  for (int32_t t = 0; t < workers; ++t) {
    forest_dists.push_back(kernel_pairs ? scratch_matrix(tree_dist, n1 + 1, n2 + 1, stop)
                                        : scratch_matrix(tree_dist, 0, 0, stop));
  }
  std::vector<KeyrootSplit> splits1(static_cast<size_t>(workers)), splits2(static_cast<size_t>(workers));
  std::vector<LeafGroupScratch<Cost>> leaf_scratch(static_cast<size_t>(workers));
  auto run = [&](int32_t t, const std::vector<int32_t>& rows, const std::vector<int32_t>& columns) {
    if (rows.empty() || columns.empty()) return;
    run_keyroot_pairs_in_order<Cost>(tree1.rightmost_leaf, rows, tree2.rightmost_leaf, columns, cost_matrix, indel,
                                     forest_dists[t], tree_dist, splits1[t], splits2[t], leaf_scratch[t], stop,
                                     cells_done);
  };
  if (workers == 1) {
    run(0, tree1.keyroots, tree2.keyroots);
    return;
  }
  run_on_workers(workers, stop, [&](int32_t t, const std::atomic<bool>&) { run(t, shares1.shares[t], tree2.keyroots); });
  run_on_workers(workers, stop, [&](int32_t t, const std::atomic<bool>&) { run(t, shares1.rest, shares2.shares[t]); });
  run(0, shares1.rest, shares2.rest);
}

}  // namespace grix
