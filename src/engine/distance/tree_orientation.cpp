// A tree in both orientations, and the price of each.

#include <algorithm>
#include <stdexcept>
#include <string>

#include "distance/tree_preprocessing.h"
#include "tree_edit_distance.h"

namespace grix {

namespace {

void check_single_tree(const std::vector<int32_t>& parents, const std::vector<int32_t>& codes,
                       const char* name) {
  const std::string where(name);
  if (codes.size() != parents.size()) {
    throw std::invalid_argument(where + ": " + std::to_string(codes.size()) + " label codes for " +
                                std::to_string(parents.size()) + " nodes");
  }
  for (size_t i = 0; i < parents.size(); ++i) {
    if (codes[i] < 0) {
      throw std::invalid_argument(where + ": label code " + std::to_string(i) + " is negative");
    }
    if ((i == 0) != (parents[i] < 0)) {
      throw std::invalid_argument(where + ": node " + std::to_string(i) +
                                  (i == 0 ? " must be the root (parent -1)"
                                          : " is a second root; a tree has exactly one"));
    }
  }
  check_parents(parents, name);
}

// Children as one list ordered by parent, then by id (a counting sort):
// children of v are child_list[first_child_at[v] .. first_child_at[v + 1]).
// One allocation each instead of one per node, which matters for the many
// small trees of a batch or a join.
struct ChildLists {
  std::vector<int32_t> first_child_at, child_list;
};

ChildLists child_lists(const std::vector<int32_t>& parents) {
  const int32_t n = static_cast<int32_t>(parents.size());
  ChildLists lists;
  lists.first_child_at.assign(static_cast<size_t>(n) + 1, 0);
  for (int32_t v = 1; v < n; ++v) ++lists.first_child_at[parents[v] + 1];
  for (int32_t v = 0; v < n; ++v) lists.first_child_at[v + 1] += lists.first_child_at[v];
  lists.child_list.resize(static_cast<size_t>(std::max(n - 1, 0)));
  std::vector<int32_t> next(lists.first_child_at.begin(), lists.first_child_at.end() - 1);
  for (int32_t v = 1; v < n; ++v) lists.child_list[next[parents[v]]++] = v;
  return lists;
}

PreparedTree prepare(std::vector<int32_t> parents, std::vector<int32_t> codes) {
  PreparedTree tree;
  // A subtree is the id range v .. v + size - 1; children have larger ids,
  // so one pass from the last id up sums the sizes.
  const int32_t n = static_cast<int32_t>(parents.size());
  std::vector<int32_t> size(parents.size(), 1);
  for (int32_t v = n - 1; v > 0; --v) size[parents[v]] += size[v];
  tree.rightmost_leaf.resize(parents.size());
  for (int32_t v = 0; v < n; ++v) tree.rightmost_leaf[v] = v + size[v] - 1;
  tree.keyroots = compute_keyroots(tree.rightmost_leaf);
  for (int32_t x : tree.keyroots) {
    tree.cell_factor += tree.rightmost_leaf[x] - x + 2;
    tree.leaf_keyroots += tree.rightmost_leaf[x] == x;
  }
  tree.parents = std::move(parents);
  tree.codes = std::move(codes);
  return tree;
}

}  // namespace

OrientedTree prepare_given_tree(const std::vector<int32_t>& parents, const std::vector<int32_t>& codes,
                                const char* name) {
  check_single_tree(parents, codes, name);
  OrientedTree tree;
  tree.given = prepare(parents, codes);
  return tree;
}

void add_mirrored_orientation(OrientedTree& tree) {
  const std::vector<int32_t>& parents = tree.given.parents;
  const std::vector<int32_t>& codes = tree.given.codes;
  const int32_t n = static_cast<int32_t>(parents.size());
  // Pre-order of the mirror: a depth-first walk that visits each node's
  // children last to first. Pushing them first to last onto a stack does it.
  const ChildLists children = child_lists(parents);
  std::vector<int32_t> new_id(parents.size(), -1);
  std::vector<int32_t> mirrored_parents, mirrored_codes, mirrored_to_given;
  mirrored_parents.reserve(parents.size());
  mirrored_codes.reserve(parents.size());
  mirrored_to_given.reserve(parents.size());
  std::vector<int32_t> stack;
  if (n > 0) stack.push_back(0);
  while (!stack.empty()) {
    const int32_t v = stack.back();
    stack.pop_back();
    new_id[v] = static_cast<int32_t>(mirrored_to_given.size());
    mirrored_to_given.push_back(v);
    mirrored_parents.push_back(parents[v] < 0 ? -1 : new_id[parents[v]]);
    mirrored_codes.push_back(codes[v]);
    for (int32_t at = children.first_child_at[v]; at < children.first_child_at[v + 1]; ++at) {
      stack.push_back(children.child_list[at]);
    }
  }
  tree.mirrored = prepare(std::move(mirrored_parents), std::move(mirrored_codes));
  tree.mirrored_to_given = std::move(mirrored_to_given);
}

OrientedTree prepare_oriented_tree(const std::vector<int32_t>& parents,
                                   const std::vector<int32_t>& codes, const char* name) {
  OrientedTree tree = prepare_given_tree(parents, codes, name);
  add_mirrored_orientation(tree);
  return tree;
}

bool mirrored_is_cheaper(const OrientedTree& tree1, const OrientedTree& tree2, double* cells) {
  // Products of two factors can pass 2^63; doubles order them well enough,
  // and a near-tie may go either way without changing the result.
  const double given = static_cast<double>(tree1.given.cell_factor) *
                       static_cast<double>(tree2.given.cell_factor);
  const double mirrored = static_cast<double>(tree1.mirrored.cell_factor) *
                          static_cast<double>(tree2.mirrored.cell_factor);
  const bool mirror = mirrored < given;
  if (cells != nullptr) *cells = mirror ? mirrored : given;
  return mirror;
}

}  // namespace grix
