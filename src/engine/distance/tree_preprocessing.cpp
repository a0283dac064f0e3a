#include "distance/tree_preprocessing.h"

#include <limits>
#include <stdexcept>

namespace grix {

namespace {

// Every id, count and distance is a 32-bit int; a quarter of the range leaves
// room for n1 + n2 and the sums of the kernel.
constexpr size_t MAX_NODES = std::numeric_limits<int32_t>::max() / 4;

}  // namespace

void check_tree_input(const std::vector<std::string>& labels,
                      const std::vector<int32_t>& parents,
                      const char* labels_name, const char* parents_name) {
  if (labels.size() != parents.size()) {
    throw std::invalid_argument(std::string(labels_name) + " has " + std::to_string(labels.size()) +
                                " entries but " + parents_name + " has " +
                                std::to_string(parents.size()));
  }
  check_parents(parents, parents_name);
}

void check_parents(const std::vector<int32_t>& parents, const char* parents_name) {
  if (parents.size() > MAX_NODES) {
    throw std::invalid_argument(std::string(parents_name) + " has " + std::to_string(parents.size()) +
                                " entries, more than the " + std::to_string(MAX_NODES) +
                                " nodes a tree may have");
  }
  // The path from the current root down to node i-1. In pre-order the parent
  // of node i is on that path, so popping until its top is the parent checks
  // range, self-parenting, cycles and ordering in one pass.
  std::vector<int32_t> path;
  const int32_t n = static_cast<int32_t>(parents.size());
  for (int32_t i = 0; i < n; ++i) {
    const int32_t p = parents[i];
    if (p < 0) {
      path.clear();
    } else if (i == 0) {
      throw std::invalid_argument(std::string(parents_name) + "[0] = " + std::to_string(p) +
                                  " is not a valid parent: node 0 must be the root, with a negative parent");
    } else {
      while (!path.empty() && path.back() != p) path.pop_back();
      if (path.empty()) {
        throw std::invalid_argument(
            std::string(parents_name) + "[" + std::to_string(i) + "] = " + std::to_string(p) +
            " is not a valid parent: in pre-order it must be node " + std::to_string(i - 1) +
            " or one of its ancestors, or negative for a root");
      }
    }
    path.push_back(i);
  }
}

int64_t count_leaves(const std::vector<int32_t>& parents) {
  const size_t n = parents.size();
  int64_t leaves = 0;
  for (size_t i = 0; i < n; ++i) leaves += i + 1 == n || parents[i + 1] != static_cast<int32_t>(i);
  return leaves;
}

int32_t first_tree_size(const std::vector<int32_t>& parents) {
  const int32_t n = static_cast<int32_t>(parents.size());
  for (int32_t i = 1; i < n; ++i) {
    if (parents[i] < 0) return i;
  }
  return n;
}

std::vector<std::vector<int32_t>> build_children(const std::vector<int32_t>& parents) {
  const int32_t n = static_cast<int32_t>(parents.size());
  std::vector<std::vector<int32_t>> children(parents.size());
  for (int32_t i = 0; i < n; ++i) {
    if (parents[i] >= 0) children[parents[i]].push_back(i);
  }
  return children;
}

std::vector<int32_t> compute_rightmost_leaves(const std::vector<std::vector<int32_t>>& children) {
  // In pre-order a child has a larger id than its parent, so walking the ids
  // downwards finds the last child's answer ready: linear even for a path.
  const int32_t n = static_cast<int32_t>(children.size());
  std::vector<int32_t> rightmost_leaf(children.size(), -1);
  for (int32_t i = n - 1; i >= 0; --i) {
    rightmost_leaf[i] = children[i].empty() ? i : rightmost_leaf[children[i].back()];
  }
  return rightmost_leaf;
}

std::vector<int32_t> compute_keyroots(const std::vector<int32_t>& rightmost_leaf) {
  const int32_t n = static_cast<int32_t>(rightmost_leaf.size());
  // leaf_keyroot[L]: the smallest id whose rightmost leaf is L.
  std::vector<int32_t> leaf_keyroot(rightmost_leaf.size(), -1);
  for (int32_t j = 0; j < n; ++j) {
    if (leaf_keyroot[rightmost_leaf[j]] < 0) leaf_keyroot[rightmost_leaf[j]] = j;
  }
  // Scanning the ids downwards yields the keyroots already in descending order.
  std::vector<int32_t> keyroots;
  for (int32_t j = n - 1; j >= 0; --j) {
    if (leaf_keyroot[rightmost_leaf[j]] == j) keyroots.push_back(j);
  }
  return keyroots;
}

}  // namespace grix
