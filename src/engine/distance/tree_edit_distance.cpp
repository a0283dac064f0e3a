#include "tree_edit_distance.h"

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "distance/keyroot_schedule.h"
#include "distance/tree_preprocessing.h"
#include "shared/entry_checks.h"
#include "shared/memory_budget.h"

namespace grix {

namespace {

constexpr int64_t INT32_MIN_64 = std::numeric_limits<int32_t>::min();

// Only the two structures that the schedule reads.
PreparedTree prepare_tree(const std::vector<int32_t>& parents) {
  PreparedTree tree;
  tree.rightmost_leaf = compute_rightmost_leaves(build_children(parents));
  tree.keyroots = compute_keyroots(tree.rightmost_leaf);
  return tree;
}

}  // namespace

// Numbering each distinct label once lets the n1 * n2 comparisons compare
// ints instead of strings.
std::pair<std::vector<int32_t>, std::vector<int32_t>> number_labels(
    const std::vector<std::string>& labels1, const std::vector<std::string>& labels2) {
  std::unordered_map<std::string_view, int32_t> number_of;
  number_of.reserve(labels1.size() + labels2.size());
  auto numbered = [&number_of](const std::vector<std::string>& labels) {
    std::vector<int32_t> numbers;
    numbers.reserve(labels.size());
    for (const std::string& label : labels) {
      numbers.push_back(
          number_of.emplace(label, static_cast<int32_t>(number_of.size())).first->second);
    }
    return numbers;
  };
  std::vector<int32_t> numbers1 = numbered(labels1);
  return {std::move(numbers1), numbered(labels2)};
}

void check_cost_matrix(const IntMatrix& cost_matrix, int32_t n1, int32_t n2) {
  if (cost_matrix.size() < static_cast<size_t>(n1)) {
    throw std::invalid_argument("cost_matrix has " + std::to_string(cost_matrix.size()) +
                                " rows but labels1 has " + std::to_string(n1) + " entries");
  }
  // Every partial distance is at least (number of renames) * (lowest cost),
  // and no forest pair allows more than min(n1, n2) renames. Keeping that
  // bound inside the 32-bit range rules out overflow in every sum.
  const int64_t max_renames = std::min(n1, n2) + 1;
  for (int32_t i = 0; i < n1; ++i) {
    const std::vector<int32_t>& row = cost_matrix[i];
    if (row.size() < static_cast<size_t>(n2)) {
      throw std::invalid_argument("cost_matrix[" + std::to_string(i) + "] has " +
                                  std::to_string(row.size()) + " entries but labels2 has " +
                                  std::to_string(n2) + " entries");
    }
    for (int32_t j = 0; j < n2; ++j) {
      if (row[j] < 0 && max_renames * row[j] < INT32_MIN_64) {
        throw std::invalid_argument("cost_matrix[" + std::to_string(i) + "][" + std::to_string(j) +
                                    "] = " + std::to_string(row[j]) +
                                    " is too negative: a distance between trees of " +
                                    std::to_string(n1) + " and " + std::to_string(n2) +
                                    " nodes could leave the 32-bit range");
      }
    }
  }
}

// Keyroot pairs are numbered with 32-bit ints, and there is one keyroot per leaf.
void check_pair_count(int64_t leaves1, int64_t leaves2) {
  const int64_t pair_count = leaves1 * leaves2;
  if (pair_count > std::numeric_limits<int32_t>::max()) {
    throw std::invalid_argument("the trees have " + std::to_string(leaves1) + " and " +
                                std::to_string(leaves2) + " leaves, " + std::to_string(pair_count) +
                                " keyroot pairs: trees this wide are beyond the 32-bit pair numbering (" +
                                std::to_string(std::numeric_limits<int32_t>::max()) + " pairs at most)");
  }
}

namespace {

IntMatrix build_uniform_costs(const std::vector<std::string>& labels1,
                              const std::vector<std::string>& labels2) {
  const auto [numbers1, numbers2] = number_labels(labels1, labels2);
  return build_code_equality_costs(numbers1, numbers2);
}

}  // namespace

IntMatrix build_code_equality_costs(const std::vector<int32_t>& codes1,
                                    const std::vector<int32_t>& codes2, const StopFlag* stop) {
  IntMatrix cost_matrix = filled_matrix(static_cast<int32_t>(codes1.size()),
                                        static_cast<int32_t>(codes2.size()), 0, stop);
  for (size_t i = 0; i < codes1.size(); ++i) {
    int32_t* const row = cost_matrix[i].data();
    const int32_t code = codes1[i];
    for (size_t j = 0; j < codes2.size(); ++j) row[j] = codes2[j] != code;
  }
  return cost_matrix;
}

namespace {

int32_t run_distance(const PreparedTree& tree1, const PreparedTree& tree2,
                     const IntMatrix& cost_matrix, int32_t n1, int32_t n2, int32_t num_threads) {
  IntMatrix tree_dist(static_cast<size_t>(n1), std::vector<int32_t>(static_cast<size_t>(n2), -1));
  run_keyroot_schedule(tree1.rightmost_leaf, tree1.keyroots, tree2.rightmost_leaf, tree2.keyroots,
                       cost_matrix, tree_dist, n1, n2, num_threads);
  return tree_dist[0][0];
}

// Both entry functions: every check first, then the computation. The uniform
// variant passes no cost matrix and has one built from the labels.
int32_t checked_distance(const std::vector<std::string>& labels1,
                         const std::vector<int32_t>& parents1,
                         const std::vector<std::string>& labels2,
                         const std::vector<int32_t>& parents2,
                         const IntMatrix* caller_costs, int32_t num_threads) {
  check_tree_input(labels1, parents1, "labels1", "parents1");
  check_tree_input(labels2, parents2, "labels2", "parents2");
  const int32_t n1 = static_cast<int32_t>(labels1.size());
  const int32_t n2 = static_cast<int32_t>(labels2.size());
  if (caller_costs != nullptr) check_cost_matrix(*caller_costs, n1, n2);

  if (n1 == 0 || n2 == 0) return first_tree_size(parents1) + first_tree_size(parents2);
  const int64_t leaves1 = count_leaves(parents1);
  const int64_t leaves2 = count_leaves(parents2);
  check_pair_count(leaves1, leaves2);
  const int32_t worker_count = effective_worker_count(num_threads, n1, n2);
  const double needed_bytes =
      estimate_distance_bytes(n1, n2, leaves1, leaves2, worker_count, caller_costs == nullptr);
  if (needed_bytes >= UNCHECKED_BYTES) {  // small calls skip building the message, too
    check_memory_budget(needed_bytes, worker_count,
                        "a distance between trees of " + std::to_string(n1) + " and " +
                            std::to_string(n2) + " nodes");
  }

  const PreparedTree tree1 = prepare_tree(parents1);
  const PreparedTree tree2 = prepare_tree(parents2);
  if (caller_costs != nullptr) return run_distance(tree1, tree2, *caller_costs, n1, n2, num_threads);
  return run_distance(tree1, tree2, build_uniform_costs(labels1, labels2), n1, n2, num_threads);
}

}  // namespace

int32_t compute_tree_edit_distance(const std::vector<std::string>& labels1,
                                   const std::vector<int32_t>& parents1,
                                   const std::vector<std::string>& labels2,
                                   const std::vector<int32_t>& parents2,
                                   const IntMatrix& cost_matrix,
                                   int32_t num_threads) {
  return checked_distance(labels1, parents1, labels2, parents2, &cost_matrix, num_threads);
}

int32_t compute_tree_edit_distance_uniform(const std::vector<std::string>& labels1,
                                           const std::vector<int32_t>& parents1,
                                           const std::vector<std::string>& labels2,
                                           const std::vector<int32_t>& parents2,
                                           int32_t num_threads) {
  return checked_distance(labels1, parents1, labels2, parents2, nullptr, num_threads);
}

}  // namespace grix
