// Per-tree structures that the keyroot schedule runs on.
//
// All three functions are pure: they read their argument and return a new
// container. They expect a tree (or a forest) in pre-order whose parents have
// already been checked by check_tree_input; on such input they run in time
// linear in the number of nodes.

#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace grix {

// Throws std::invalid_argument unless `labels` and `parents` have the same
// length and every non-negative parents[i] is node i-1 or one of its
// ancestors. `labels_name` and `parents_name` name the arguments in messages.
void check_tree_input(const std::vector<std::string>& labels,
                      const std::vector<int32_t>& parents,
                      const char* labels_name, const char* parents_name);

// The parents part of that check alone, for callers without label strings.
void check_parents(const std::vector<int32_t>& parents, const char* parents_name);

// The number of leaves (nodes without children) of a checked input: in
// pre-order node i has children exactly when node i+1 is its child. Each leaf
// has one keyroot, so this is also the number of keyroots.
int64_t count_leaves(const std::vector<int32_t>& parents);

// The number of nodes of the tree at node 0: the nodes before the second root.
int32_t first_tree_size(const std::vector<int32_t>& parents);

// children[p] lists the nodes whose parent is p, in ascending order.
std::vector<std::vector<int32_t>> build_children(const std::vector<int32_t>& parents);

// rightmost_leaf[i] is the last id of the subtree of node i, so that subtree
// is exactly the id range i..rightmost_leaf[i].
std::vector<int32_t> compute_rightmost_leaves(const std::vector<std::vector<int32_t>>& children);

// For every leaf, the smallest node id that has it as rightmost leaf, in
// descending order. These are the nodes that have no parent or are not the
// last child of their parent; node 0 is always last.
std::vector<int32_t> compute_keyroots(const std::vector<int32_t>& rightmost_leaf);

}  // namespace grix
