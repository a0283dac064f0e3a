// The distance in the cheaper orientation, and an optimal edit mapping, for
// any cost model of the kernel.

#include <algorithm>
#include <string>
#include <type_traits>
#include <utility>

#include "distance/keyroot_schedule.h"
#include "distance/path_strategy.h"
#include "distance/subtree_shares.h"
#include "mapping/edit_mapping.h"
#include "shared/entry_checks.h"
#include "shared/memory_budget.h"
#include "shared/pair_costs.h"
#include "tree_edit_distance.h"

namespace grix {

template <typename Cost>
void check_pair_costs(const PairCosts<Cost>& costs, const OrientedTree& tree1, const OrientedTree& tree2) {
  const int32_t n1 = tree1.size();
  const int32_t n2 = tree2.size();
  int64_t lowest_rename = 0;
  auto lowest = [](const Cost* values, size_t count) {
    return count == 0 ? Cost{0} : *std::min_element(values, values + count);
  };
  if (costs.rename_by_node.given()) {
    const MatrixView<Cost>& matrix = costs.rename_by_node;
    if (matrix.rows != n1 || matrix.columns != n2) {
      throw std::invalid_argument("rename has " + std::to_string(matrix.rows) + " x " +
                                  std::to_string(matrix.columns) + " costs but the trees have " +
                                  std::to_string(n1) + " x " + std::to_string(n2) + " nodes");
    }
    const size_t count = static_cast<size_t>(n1) * static_cast<size_t>(n2);
    check_cost_values(matrix.values, count, n2, "rename", false);
    if constexpr (std::is_integral_v<Cost>) lowest_rename = lowest(matrix.values, count);
  } else if (costs.rename_by_label.given()) {
    const MatrixView<Cost>& table = costs.rename_by_label;
    auto check_codes = [](const OrientedTree& tree, int32_t count, const char* side) {
      for (int32_t code : tree.given.codes) {
        if (code >= count) {
          throw std::invalid_argument("the rename table has " + std::to_string(count) + " " + side +
                                      " but tree " + (side[0] == 'r' ? "1" : "2") + " has label code " +
                                      std::to_string(code));
        }
      }
    };
    check_codes(tree1, table.rows, "rows");
    check_codes(tree2, table.columns, "columns");
    const size_t count = static_cast<size_t>(table.rows) * static_cast<size_t>(table.columns);
    check_cost_values(table.values, count, table.columns, "rename", false);
    if constexpr (std::is_integral_v<Cost>) lowest_rename = lowest(table.values, count);
  }
  auto check_indel = [](const std::vector<Cost>& values, int32_t n, const char* what) {
    if (!values.empty() && values.size() != static_cast<size_t>(n)) {
      throw std::invalid_argument(std::string(what) + " has " + std::to_string(values.size()) +
                                  " costs but the tree has " + std::to_string(n) + " nodes");
    }
    check_cost_values(values.data(), values.size(), 0, what, true);
  };
  check_indel(costs.delete_costs, n1, "delete");
  check_indel(costs.insert_costs, n2, "insert");
  if constexpr (std::is_integral_v<Cost>) {
    auto total = [](const std::vector<Cost>& values, int32_t n) {
      if (values.empty()) return static_cast<int64_t>(n);
      int64_t sum = 0;
      for (Cost value : values) sum += value;
      return sum;
    };
    check_int32_sums(total(costs.delete_costs, n1) + total(costs.insert_costs, n2), lowest_rename,
                     std::min(n1, n2) + int64_t{1});
  }
}

namespace {

// The pair in the orientation that the schedule will run, with its costs in
// that orientation's numbering: the caller's rename matrix as it is when the
// trees stay as given, otherwise one built here (label equality, a label
// table, or the caller's matrix with rows and columns permuted into mirrored
// ids); delete and insert costs likewise, empty for unit costs.
template <typename Cost>
struct OrientedPair {
  const PreparedTree* tree1 = nullptr;
  const PreparedTree* tree2 = nullptr;
  bool mirrored = false;
  FlatMatrix<Cost> own_rename;
  MatrixView<Cost> rename;
  std::vector<Cost> delete_costs, insert_costs;
  int32_t n1() const { return static_cast<int32_t>(tree1->parents.size()); }
  int32_t n2() const { return static_cast<int32_t>(tree2->parents.size()); }
};

template <typename Cost>
std::vector<Cost> oriented_costs(const std::vector<Cost>& given, const OrientedTree& tree, bool mirrored,
                                 bool needed) {
  if (!needed) return {};
  if (given.empty()) return std::vector<Cost>(static_cast<size_t>(tree.size()), Cost{1});
  if (!mirrored) return given;
  std::vector<Cost> costs(given.size());
  for (size_t k = 0; k < costs.size(); ++k) costs[k] = given[tree.mirrored_to_given[k]];
  return costs;
}

// With `for_strategy`, the pair stays as given (the path strategy reads both
// orientations itself) and the memory check counts the strategy's matrices.
// With `renames_by_code`, renames by label are left to the kernel to read
// through the codes (see CodeTableRename), and no rename matrix is built.
template <typename Cost>
OrientedPair<Cost> orient(const OrientedTree& tree1, const OrientedTree& tree2, const PairCosts<Cost>& costs,
                          int32_t num_threads, const StopFlag* stop, bool for_strategy = false,
                          bool renames_by_code = false) {
  const int32_t n1 = tree1.size();
  const int32_t n2 = tree2.size();
  OrientedPair<Cost> pair;
  pair.mirrored = !for_strategy && mirrored_is_cheaper(tree1, tree2, nullptr);
  pair.tree1 = pair.mirrored ? &tree1.mirrored : &tree1.given;
  pair.tree2 = pair.mirrored ? &tree2.mirrored : &tree2.given;
  const int64_t leaves1 = static_cast<int64_t>(pair.tree1->keyroots.size());
  const int64_t leaves2 = static_cast<int64_t>(pair.tree2->keyroots.size());
  check_pair_count(leaves1, leaves2);
  // The mapping's walk back reuses the memory of the schedule's scratch, so
  // both calls peak like a distance.
  const bool per_node_indel = !costs.delete_costs.empty() || !costs.insert_costs.empty();
  const bool builds_rename = costs.rename_by_node.given() ? pair.mirrored : !renames_by_code;
  const int32_t workers = effective_worker_count(num_threads, n1, n2);
  double needed =
      estimate_pair_bytes(n1, n2, leaves1, leaves2, workers, sizeof(Cost), builds_rename, per_node_indel);
  if (for_strategy) {
    needed = std::max(needed, estimate_strategy_bytes(n1, n2, workers, sizeof(Cost)) +
                                  (builds_rename ? static_cast<double>(n1) * n2 * sizeof(Cost) : 0.0));
  }
  if (needed >= UNCHECKED_BYTES) {
    check_memory_budget(needed, workers, "a distance between trees of " + std::to_string(n1) +
                                             " and " + std::to_string(n2) + " nodes");
  }
  pair.delete_costs = oriented_costs(costs.delete_costs, tree1, pair.mirrored, per_node_indel);
  pair.insert_costs = oriented_costs(costs.insert_costs, tree2, pair.mirrored, per_node_indel);
  if (costs.rename_by_node.given() && !pair.mirrored) {
    pair.rename = costs.rename_by_node;
    return pair;
  }
  if (renames_by_code && !costs.rename_by_node.given()) return pair;
  if (costs.rename_by_node.given()) {
    constexpr int32_t ROWS_BETWEEN_CHECKS = 256;
    pair.own_rename.reshape(n1, n2);
    for (int32_t i = 0; i < n1; ++i) {
      if (i % ROWS_BETWEEN_CHECKS == 0) throw_if_stopped(stop);
      const Cost* const given_row = costs.rename_by_node.row(tree1.mirrored_to_given[i]);
      Cost* const row = pair.own_rename.row(i);
      for (int32_t j = 0; j < n2; ++j) row[j] = given_row[tree2.mirrored_to_given[j]];
    }
  } else {
    const MatrixView<Cost>& table = costs.rename_by_label;
    fill_rename_from_codes(pair.tree1->codes, pair.tree2->codes, table.values, table.columns,
                           pair.own_rename, stop);
  }
  pair.rename = MatrixView<Cost>{pair.own_rename.row(0), n1, n2};
  return pair;
}

// Calls body(indel) with the kernel's delete and insert model for the pair:
// constants for unit costs, per-node arrays otherwise.
template <typename Cost, typename Body>
auto with_indel(const OrientedPair<Cost>& pair, Body&& body) {
  if (pair.delete_costs.empty()) return body(UnitIndel{});
  return body(NodeIndel<Cost>{pair.delete_costs.data(), pair.insert_costs.data()});
}

// Fills the subtree distances of the pair. Each worker runs its keyroot
// pairs in an order that reads cells while they are still cached (see
// run_keyroot_pairs_in_order and subtree_shares.h); the level schedule would
// take about 1.5x the time on one worker for random trees of 2,000 nodes.
template <typename Cost, typename Indel, typename Rename>
FlatMatrix<Cost> fill_tree_dist(const OrientedPair<Cost>& pair, const Rename& rename, const Indel& indel,
                                int32_t num_threads, const StopFlag* stop, std::atomic<int64_t>* cells_done) {
  FlatMatrix<Cost> tree_dist(pair.n1(), pair.n2());
  run_keyroot_pairs_in_shares<Cost>(*pair.tree1, *pair.tree2, rename, indel, tree_dist,
                                    effective_worker_count(num_threads, pair.n1(), pair.n2()), stop, cells_done);
  return tree_dist;
}

// Calls body(rename) with the pair's renames: the matrix that orient built
// or was given, or, when it built none (a distance alone), the label table
// (or label equality) read through the codes of the orientation that runs;
// for bushy pairs, with the leaf pairs' subtree distances formed where they
// are read.
template <typename Cost, typename Body>
auto with_rename(const OrientedPair<Cost>& pair, const PairCosts<Cost>& costs, Body&& body) {
  if (pair.rename.given()) return body(pair.rename);
  const int32_t* const codes1 = pair.tree1->codes.data();
  const int32_t* const codes2 = pair.tree2->codes.data();
  const bool on_read = forms_leaf_pairs_on_read(pair.tree1->rightmost_leaf, pair.tree1->keyroots,
                                                pair.tree2->rightmost_leaf, pair.tree2->keyroots);
  const MatrixView<Cost>& table = costs.rename_by_label;
  if (table.given()) {
    const CodeTableRename<Cost> by_table{codes1, codes2, table.values, table.columns};
    return on_read ? body(LeafPairsOnRead<CodeTableRename<Cost>>{by_table}) : body(by_table);
  }
  const CodeEqualityRename<Cost> by_equality{codes1, codes2};
  return on_read ? body(LeafPairsOnRead<CodeEqualityRename<Cost>>{by_equality}) : body(by_equality);
}

// Walks back from the two roots. For a subtree pair (a, b) the kernel refills
// its forest table from the finished tree_dist; the walk then follows one
// optimal choice per cell from the corner, comparing with the very sums the
// kernel formed, so that it finds them again bit for bit with fractional
// costs too. Matching two whole subtrees off the rightmost paths defers that
// pair to the stack; matching the roots of two whole forests on the paths is
// a rename, recorded at once. Deletion and insertion are tried before a
// match, and a rename that costs no less than deleting and inserting its two
// nodes is walked as that deletion and insertion, so no mapping holds a rename
// the caller priced above (or at) removing both nodes, nor an infinite one.
template <typename Cost, typename Indel>
std::vector<std::pair<int32_t, int32_t>> walk_back(const OrientedPair<Cost>& pair, const Indel& indel,
                                                   FlatMatrix<Cost>& tree_dist, const StopFlag* stop) {
  const std::vector<int32_t>& leaf1 = pair.tree1->rightmost_leaf;
  const std::vector<int32_t>& leaf2 = pair.tree2->rightmost_leaf;
  FlatMatrix<Cost> forest_dist(pair.n1() + 1, pair.n2() + 1);
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
      if (pair.rename.row(a)[b] < indel.deletion(a) + indel.insertion(b)) pairs.emplace_back(a, b);
      continue;
    }
    compute_subtree_pair<Cost>(a, b, leaf1, leaf2, pair.rename, indel, forest_dist, tree_dist, stop);
    throw_if_stopped(stop);  // an unfinished table must not be walked
    int32_t l = a, k = b;
    while (l <= last1 && k <= last2) {
      const Cost here = forest_dist.at(l, k);
      if (forest_dist.at(l + 1, k) + indel.deletion(l) == here) {
        ++l;  // delete l
      } else if (forest_dist.at(l, k + 1) + indel.insertion(k) == here) {
        ++k;  // insert k
      } else if (leaf1[l] == last1 && leaf2[k] == last2) {
        // The roots of two whole forests: renamed, unless the kernel capped
        // the rename at deleting l and inserting k. The delete route's sum
        // can differ from the capped one in the last bit, so the test above
        // may miss it; a rename that is not cheaper is never recorded.
        if (pair.rename.row(l)[k] < indel.deletion(l) + indel.insertion(k)) pairs.emplace_back(l, k);
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

// The distance between a tree and an empty one: deleting or inserting it all.
template <typename Cost>
Cost whole_tree_cost(const std::vector<Cost>& costs, int32_t n) {
  if (costs.empty()) return static_cast<Cost>(n);
  Cost sum = 0;
  for (Cost cost : costs) sum += cost;
  return sum;
}

// A pair with every subtree distance filled, by the algorithm that
// price_algorithms chooses: the keyroot schedule in the cheaper orientation,
// or the path strategy in the trees' given ids.
template <typename Cost>
struct FilledPair {
  OrientedPair<Cost> pair;
  FlatMatrix<Cost> tree_dist;
};

// A distance alone (`for_mapping` false) lets the keyroot schedule read
// renames by label through the codes; the mapping's walk back reads the
// rename matrix.
template <typename Cost>
FilledPair<Cost> fill_pair(const OrientedTree& tree1, const OrientedTree& tree2, const PairCosts<Cost>& costs,
                           int32_t num_threads, const StopFlag* stop, std::atomic<int64_t>* cells_done,
                           Algorithm algorithm, bool for_mapping) {
  PathShape shape1, shape2;
  PathPlan plan;
  const bool strategy = algorithm != Algorithm::keyroot &&
                        price_algorithms(tree1, tree2, algorithm, shape1, shape2, plan, stop).use_strategy;
  FilledPair<Cost> filled{orient(tree1, tree2, costs, num_threads, stop, strategy, !strategy && !for_mapping), {}};
  if (strategy) {
    run_path_plan<Cost>(tree1, tree2, shape1, shape2, plan, filled.pair.rename, filled.pair.delete_costs,
                        filled.pair.insert_costs, num_threads, filled.tree_dist, stop, cells_done);
  } else {
    filled.tree_dist = with_indel(filled.pair, [&](const auto& indel) {
      return with_rename(filled.pair, costs, [&](const auto& rename) {
        return fill_tree_dist(filled.pair, rename, indel, num_threads, stop, cells_done);
      });
    });
  }
  return filled;
}

}  // namespace

template <typename Cost>
Cost compute_oriented_distance(const OrientedTree& tree1, const OrientedTree& tree2,
                               const PairCosts<Cost>& costs, int32_t num_threads, const StopFlag* stop,
                               std::atomic<int64_t>* cells_done, Algorithm algorithm) {
  check_pair_costs(costs, tree1, tree2);
  if (tree1.size() == 0 || tree2.size() == 0) {
    return whole_tree_cost(costs.delete_costs, tree1.size()) + whole_tree_cost(costs.insert_costs, tree2.size());
  }
  return fill_pair(tree1, tree2, costs, num_threads, stop, cells_done, algorithm, false).tree_dist.at(0, 0);
}

template <typename Cost>
EditMapping<Cost> compute_edit_mapping(const OrientedTree& tree1, const OrientedTree& tree2,
                                       const PairCosts<Cost>& costs, int32_t num_threads,
                                       const StopFlag* stop, std::atomic<int64_t>* cells_done,
                                       Algorithm algorithm) {
  check_pair_costs(costs, tree1, tree2);
  const int32_t n1 = tree1.size();
  const int32_t n2 = tree2.size();
  EditMapping<Cost> mapping;
  if (n1 > 0 && n2 > 0) {
    // The walk back needs every subtree distance, which the path strategy
    // fills as well (in the trees' given ids).
    FilledPair<Cost> filled = fill_pair(tree1, tree2, costs, num_threads, stop, cells_done, algorithm, true);
    const OrientedPair<Cost>& pair = filled.pair;
    mapping.distance = filled.tree_dist.at(0, 0);
    mapping.pairs = with_indel(pair, [&](const auto& indel) { return walk_back(pair, indel, filled.tree_dist, stop); });
    list_unmatched_nodes(mapping, tree1, tree2, pair.mirrored);
  } else {
    mapping.distance = whole_tree_cost(costs.delete_costs, n1) + whole_tree_cost(costs.insert_costs, n2);
    list_unmatched_nodes(mapping, tree1, tree2, false);
  }
  return mapping;
}

template <typename Cost>
void list_unmatched_nodes(EditMapping<Cost>& mapping, const OrientedTree& tree1, const OrientedTree& tree2,
                          bool mirrored) {
  if (mirrored) {
    for (auto& [i, j] : mapping.pairs) {
      i = tree1.mirrored_to_given[i];
      j = tree2.mirrored_to_given[j];
    }
  }
  std::sort(mapping.pairs.begin(), mapping.pairs.end());
  const int32_t n1 = tree1.size();
  const int32_t n2 = tree2.size();
  std::vector<char> matched1(static_cast<size_t>(n1), 0), matched2(static_cast<size_t>(n2), 0);
  for (const auto& [i, j] : mapping.pairs) {
    matched1[i] = 1;
    matched2[j] = 1;
  }
  mapping.deleted.clear();
  mapping.inserted.clear();
  for (int32_t i = 0; i < n1; ++i) {
    if (!matched1[i]) mapping.deleted.push_back(i);
  }
  for (int32_t j = 0; j < n2; ++j) {
    if (!matched2[j]) mapping.inserted.push_back(j);
  }
}

#define GRIX_INSTANTIATE_PAIR_FUNCTIONS(Cost)                                                          \
  template void check_pair_costs<Cost>(const PairCosts<Cost>&, const OrientedTree&, const OrientedTree&); \
  template Cost compute_oriented_distance<Cost>(const OrientedTree&, const OrientedTree&,               \
                                                const PairCosts<Cost>&, int32_t, const StopFlag*,      \
                                                std::atomic<int64_t>*, Algorithm);                     \
  template EditMapping<Cost> compute_edit_mapping<Cost>(const OrientedTree&, const OrientedTree&,       \
                                                        const PairCosts<Cost>&, int32_t,                \
                                                        const StopFlag*, std::atomic<int64_t>*, Algorithm); \
  template void list_unmatched_nodes<Cost>(EditMapping<Cost>&, const OrientedTree&, const OrientedTree&, bool);

GRIX_INSTANTIATE_PAIR_FUNCTIONS(int32_t)
GRIX_INSTANTIATE_PAIR_FUNCTIONS(double)

}  // namespace grix
