// The distance in the cheaper orientation, and an optimal edit mapping.

#include <algorithm>
#include <string>
#include <utility>

#include "entry_checks.h"
#include "keyroot_schedule.h"
#include "memory_budget.h"
#include "tree_edit_distance.h"

namespace grix {

namespace {

// The pair in the orientation that the schedule will run, with its rename
// costs: the caller's matrix as it is when the trees stay as given, otherwise
// a matrix built for the orientation (label equality, or the caller's costs
// with rows and columns permuted into mirrored ids).
struct OrientedPair {
  const PreparedTree* tree1;
  const PreparedTree* tree2;
  bool mirrored;
  IntMatrix own_costs;
  const IntMatrix* cost_matrix;
};

OrientedPair orient(const OrientedTree& tree1, const OrientedTree& tree2,
                    const IntMatrix* cost_matrix, int32_t num_threads, const StopFlag* stop) {
  const int32_t n1 = tree1.size();
  const int32_t n2 = tree2.size();
  if (cost_matrix != nullptr) check_cost_matrix(*cost_matrix, n1, n2);
  OrientedPair pair;
  pair.mirrored = mirrored_is_cheaper(tree1, tree2, nullptr);
  pair.tree1 = pair.mirrored ? &tree1.mirrored : &tree1.given;
  pair.tree2 = pair.mirrored ? &tree2.mirrored : &tree2.given;
  const int64_t leaves1 = static_cast<int64_t>(pair.tree1->keyroots.size());
  const int64_t leaves2 = static_cast<int64_t>(pair.tree2->keyroots.size());
  check_pair_count(leaves1, leaves2);
  // The mapping's walk back reuses the memory of the schedule's scratch, so
  // both calls peak like a distance.
  const int32_t workers = effective_worker_count(num_threads, n1, n2);
  const double needed = estimate_distance_bytes(n1, n2, leaves1, leaves2, workers,
                                                cost_matrix == nullptr || pair.mirrored);
  if (needed >= UNCHECKED_BYTES) {
    check_memory_budget(needed, workers, "a distance between trees of " + std::to_string(n1) +
                                             " and " + std::to_string(n2) + " nodes");
  }
  if (cost_matrix == nullptr) {
    pair.own_costs = build_code_equality_costs(pair.tree1->codes, pair.tree2->codes, stop);
  } else if (pair.mirrored) {
    pair.own_costs = filled_matrix(n1, n2, 0, stop);
    for (int32_t i = 0; i < n1; ++i) {
      const std::vector<int32_t>& given_row = (*cost_matrix)[tree1.mirrored_to_given[i]];
      int32_t* const row = pair.own_costs[i].data();
      for (int32_t j = 0; j < n2; ++j) row[j] = given_row[tree2.mirrored_to_given[j]];
    }
  }
  pair.cost_matrix = pair.own_costs.empty() ? cost_matrix : &pair.own_costs;
  return pair;
}

IntMatrix fill_tree_dist(const OrientedPair& pair, int32_t num_threads, const StopFlag* stop) {
  const int32_t n1 = static_cast<int32_t>(pair.tree1->parents.size());
  const int32_t n2 = static_cast<int32_t>(pair.tree2->parents.size());
  IntMatrix tree_dist = filled_matrix(n1, n2, -1, stop);
  run_keyroot_schedule(pair.tree1->rightmost_leaf, pair.tree1->keyroots,
                       pair.tree2->rightmost_leaf, pair.tree2->keyroots, *pair.cost_matrix,
                       tree_dist, n1, n2, num_threads, start_worker_thread, stop);
  return tree_dist;
}

// Walks back from the two roots. For a subtree pair (a, b) the kernel refills
// its forest table from the finished tree_dist; the walk then follows one
// optimal choice per cell from the corner. Matching two whole subtrees off
// the rightmost paths defers that pair to the stack; matching the roots of
// two whole forests on the paths is a rename, recorded at once. Deletion and
// insertion are tried before a match, so a rename whose capped cost is 2
// (never cheaper than deleting and inserting) is never chosen.
std::vector<std::pair<int32_t, int32_t>> walk_back(const OrientedPair& pair, IntMatrix& tree_dist,
                                                   const StopFlag* stop) {
  const std::vector<int32_t>& leaf1 = pair.tree1->rightmost_leaf;
  const std::vector<int32_t>& leaf2 = pair.tree2->rightmost_leaf;
  const IntMatrix& costs = *pair.cost_matrix;
  IntMatrix forest_dist(leaf1.size() + 1, std::vector<int32_t>(leaf2.size() + 1));
  std::vector<std::pair<int32_t, int32_t>> pairs;
  std::vector<std::pair<int32_t, int32_t>> pending{{0, 0}};
  while (!pending.empty()) {
    throw_if_stopped(stop);
    const auto [a, b] = pending.back();
    pending.pop_back();
    const int32_t last1 = leaf1[a];
    const int32_t last2 = leaf2[b];
    if (a == last1 && b == last2) {
      // Two leaves: the kernel keeps no table for them.
      if (std::min(costs[a][b], 2) < 2) pairs.emplace_back(a, b);
      continue;
    }
    compute_subtree_pair(a, b, leaf1, leaf2, costs, forest_dist, tree_dist, stop);
    throw_if_stopped(stop);  // an unfinished table must not be walked
    int32_t l = a, k = b;
    while (l <= last1 && k <= last2) {
      const int32_t here = forest_dist[l][k];
      if (forest_dist[l + 1][k] + 1 == here) {
        ++l;  // delete l
      } else if (forest_dist[l][k + 1] + 1 == here) {
        ++k;  // insert k
      } else if (leaf1[l] == last1 && leaf2[k] == last2) {
        pairs.emplace_back(l, k);  // rename the roots of two whole forests
        ++l;
        ++k;
      } else {
        pending.emplace_back(l, k);  // match the two subtrees as a whole
        l = leaf1[l] + 1;
        k = leaf2[k] + 1;
      }
    }
  }
  return pairs;
}

}  // namespace

int32_t compute_oriented_distance(const OrientedTree& tree1, const OrientedTree& tree2,
                                  const IntMatrix* cost_matrix, int32_t num_threads,
                                  const StopFlag* stop) {
  if (tree1.size() == 0 || tree2.size() == 0) {
    if (cost_matrix != nullptr) check_cost_matrix(*cost_matrix, tree1.size(), tree2.size());
    return tree1.size() + tree2.size();
  }
  const OrientedPair pair = orient(tree1, tree2, cost_matrix, num_threads, stop);
  return fill_tree_dist(pair, num_threads, stop)[0][0];
}

EditMapping compute_edit_mapping(const OrientedTree& tree1, const OrientedTree& tree2,
                                 const IntMatrix* cost_matrix, int32_t num_threads,
                                 const StopFlag* stop) {
  const int32_t n1 = tree1.size();
  const int32_t n2 = tree2.size();
  EditMapping mapping;
  if (n1 > 0 && n2 > 0) {
    const OrientedPair pair = orient(tree1, tree2, cost_matrix, num_threads, stop);
    IntMatrix tree_dist = fill_tree_dist(pair, num_threads, stop);
    mapping.distance = tree_dist[0][0];
    mapping.pairs = walk_back(pair, tree_dist, stop);
    if (pair.mirrored) {
      for (auto& [i, j] : mapping.pairs) {
        i = tree1.mirrored_to_given[i];
        j = tree2.mirrored_to_given[j];
      }
    }
    std::sort(mapping.pairs.begin(), mapping.pairs.end());
  } else {
    if (cost_matrix != nullptr) check_cost_matrix(*cost_matrix, n1, n2);
    mapping.distance = n1 + n2;
  }
  std::vector<char> matched1(static_cast<size_t>(n1), 0), matched2(static_cast<size_t>(n2), 0);
  for (const auto& [i, j] : mapping.pairs) {
    matched1[i] = 1;
    matched2[j] = 1;
  }
  for (int32_t i = 0; i < n1; ++i) {
    if (!matched1[i]) mapping.deleted.push_back(i);
  }
  for (int32_t j = 0; j < n2; ++j) {
    if (!matched2[j]) mapping.inserted.push_back(j);
  }
  return mapping;
}

}  // namespace grix
