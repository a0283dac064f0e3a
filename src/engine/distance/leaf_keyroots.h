// Keyroot pairs with a leaf on one side, in bulk.
//
// In bushy trees most keyroots are leaves: a star of c children has c - 1
// leaf keyroots and one other, so c1 * c2 of its keyroot pairs are two leaves
// (one rename each) and the rest a leaf against a subtree (one row, or one
// column). Through the kernel every such pair pays a call, its empty-forest
// row and its place in a level bucket, several times the work of its cells.
// Here they are computed as groups that share that set-up:
//   - a subtree x against many leaf keyroots y: the columns of the pairs side
//     by side, one pass over the rows of x for all of them;
//   - many leaf keyroots x against a subtree y: the rows of the pairs, over
//     one empty-forest row of y;
//   - leaves against leaves: tree_dist[x][y] = min(rename, delete + insert).
// Each cell is formed from the same operands, added in the same order, as in
// compute_subtree_pair (keyroot_kernel.h), so tree_dist gets the very values
// the kernel would write, with fractional costs too: the edit mapping's walk
// back finds the kernel's sums in them again bit for bit. Only tree_dist and
// the scratch passed in are written; nothing is allocated or thrown.

#pragma once

#include <algorithm>
#include <cstdint>
#include <type_traits>
#include <vector>

#include "distance/keyroot_kernel.h"

namespace grix {

// The keyroots of one tree split into leaves and the others (inner
// keyroots), each list in the keyroots' descending id order.
struct KeyrootSplit {
  std::vector<int32_t> leaves;
  std::vector<int32_t> inner;
};

inline void split_keyroots(const std::vector<int32_t>& rightmost_leaf, const std::vector<int32_t>& keyroots,
                           KeyrootSplit& split) {
  split.leaves.clear();
  split.inner.clear();
  for (int32_t x : keyroots) (rightmost_leaf[x] == x ? split.leaves : split.inner).push_back(x);
}

// Leaves x of tree 1 against leaves y of tree 2: tree_dist[x][y] is their
// rename, capped at deleting one and inserting the other.
template <typename Cost, typename Indel, typename Costs, typename Matrix>
void leaves_against_leaves(const int32_t* leaves1, int32_t count1, const int32_t* leaves2, int32_t count2,
                           const Costs& cost_matrix, const Indel& indel, Matrix& tree_dist) {
  for (int32_t a = 0; a < count1; ++a) {
    const int32_t x = leaves1[a];
    const auto cost_row = row_of(cost_matrix, x);
    auto tree_row = row_of(tree_dist, x);
    const Cost delete_x = indel.deletion(x);
    for (int32_t b = 0; b < count2; ++b) {
      const int32_t y = leaves2[b];
      tree_row[y] = std::min<Cost>(cost_row[y], delete_x + indel.insertion(y));
    }
  }
}

// Scratch for the groups below; each worker holds its own.
template <typename Cost>
struct LeafGroupScratch {
  std::vector<Cost> deleted;   // subtree against leaves: the cost of deleting l..rx, by l
  std::vector<Cost> column;    // and each leaf's column, as the rows go up
  std::vector<Cost> inserted;  // leaves against subtree: the cost of inserting k..ry, by k
  std::vector<Cost> after;     // and inserted[leaf2[k] + 1], the forest right of k's subtree
  // The closed form below: for each label of the leaves, its best match
  // in the subtree by path node, and each code's slot among those labels.
  std::vector<Cost> best;
  std::vector<int32_t> slot_of_code;
  std::vector<int32_t> label_codes;
};

// A subtree against a single node: the node is matched with at most one
// node v of the subtree and everything else deleted (or inserted), so
//   tree_dist(subtree of l, leaf y) = D(l) + min(insert(y), min over v in
//                                     the subtree of l of (rename(v, y) - delete(v)))
// with D(l) the cost of deleting the whole subtree. Where renames depend on
// labels only, the inner minimum depends on y's label alone: one scan of the
// subtree per distinct label of the leaves replaces one per leaf. Integer
// costs only: those sums come out equal in any order, while with doubles the
// mapping's walk back needs the kernel's very sums.
template <typename Costs>
struct ReadsRenamesByLabel : std::false_type {};
template <typename Cost>
struct ReadsRenamesByLabel<CodeTableRename<Cost>> : std::true_type {};
template <typename Cost>
struct ReadsRenamesByLabel<CodeEqualityRename<Cost>> : std::true_type {};
template <typename Costs>
struct ReadsRenamesByLabel<LeafPairsOnRead<Costs>> : ReadsRenamesByLabel<Costs> {};

template <typename Cost>
Cost label_rename(const CodeTableRename<Cost>& costs, int32_t code1, int32_t code2) {
  return costs.table[static_cast<size_t>(code1) * static_cast<size_t>(costs.columns) + static_cast<size_t>(code2)];
}
template <typename Cost>
Cost label_rename(const CodeEqualityRename<Cost>&, int32_t code1, int32_t code2) {
  return static_cast<Cost>(code1 != code2);
}

// Numbers the distinct codes of `nodes` into scratch.label_codes (each
// node's slot is scratch.slot_of_code[code]); returns how many there are.
template <typename Cost>
int32_t number_leaf_labels(const int32_t* nodes, int32_t count, const int32_t* codes,
                           LeafGroupScratch<Cost>& scratch) {
  std::vector<int32_t>& slot = scratch.slot_of_code;
  for (int32_t code : scratch.label_codes) slot[code] = -1;  // clear the previous group's
  scratch.label_codes.clear();
  for (int32_t a = 0; a < count; ++a) {
    const int32_t code = codes[nodes[a]];
    if (code >= static_cast<int32_t>(slot.size())) slot.resize(static_cast<size_t>(code) + 1, -1);
    if (slot[code] < 0) {
      slot[code] = static_cast<int32_t>(scratch.label_codes.size());
      scratch.label_codes.push_back(code);
    }
  }
  return static_cast<int32_t>(scratch.label_codes.size());
}

// The number of distinct labels of the `count` single nodes (numbered into
// scratch) when the closed form pays for them against the subtree of `root`,
// else 0: its scans (subtree size x labels, plus rightmost path x count)
// against the kernel's subtree size x count cells.
template <typename Cost>
int32_t closed_form_labels(const int32_t* nodes, int32_t count, const int32_t* codes, int32_t root,
                           const std::vector<int32_t>& rightmost_leaf, LeafGroupScratch<Cost>& scratch) {
  if (count <= 2) return 0;
  const int32_t last = rightmost_leaf[root];
  const int64_t labels = number_leaf_labels(nodes, count, codes, scratch);
  int64_t path = 0;
  for (int32_t v = root; v <= last; ++v) path += rightmost_leaf[v] == last;
  const int64_t size = last - root + 1;
  return 2 * (size * labels + path * count) < size * count ? static_cast<int32_t>(labels) : 0;
}

// subtree_against_leaves by the closed form, with the leaves' labels
// numbered: for each label c, best = min over v in l..rx of
// (rename(v, c) - delete(v)), taken as l goes up from rx; at each l on the
// rightmost path of x the leaves' cells follow.
template <typename Cost, typename Indel, typename Costs, typename Matrix>
void subtree_against_leaves_by_label(int32_t x, const int32_t* leaves2, int32_t count, int32_t labels,
                                     const std::vector<int32_t>& rightmost_leaf1, const Costs& costs,
                                     const Indel& indel, Matrix& tree_dist, LeafGroupScratch<Cost>& scratch) {
  const int32_t rx = rightmost_leaf1[x];
  std::vector<Cost>& best = scratch.best;
  best.resize(static_cast<size_t>(labels));
  const int32_t* const label_codes = scratch.label_codes.data();
  const int32_t* const slot = scratch.slot_of_code.data();
  Cost deleted = 0;  // deleting l..rx
  for (int32_t l = rx; l >= x; --l) {
    const Cost delete_l = indel.deletion(l);
    deleted += delete_l;
    const int32_t code1 = costs.codes1[l];
    for (int32_t c = 0; c < labels; ++c) {
      const Cost here = label_rename(costs, code1, label_codes[c]) - delete_l;
      best[c] = l == rx ? here : std::min(best[c], here);
    }
    if (rightmost_leaf1[l] != rx) continue;
    auto tree_row = row_of(tree_dist, l);
    for (int32_t b = 0; b < count; ++b) {
      const int32_t y = leaves2[b];
      tree_row[y] = deleted + std::min<Cost>(indel.insertion(y), best[slot[costs.codes2[y]]]);
    }
  }
}

// The subtree of x (not a leaf) against the leaves y = leaves2[0..count):
// writes tree_dist[l][y] for l on the rightmost path of x. Column y holds
// the forest distances between l..rx and the single node y: it starts at
// inserting y, and row l either deletes l, or inserts y and deletes all of
// l..rx, or matches l's subtree with y and deletes the rest.
template <typename Cost, typename Indel, typename Costs, typename Matrix>
void subtree_against_leaves(int32_t x, const int32_t* leaves2, int32_t count,
                            const std::vector<int32_t>& rightmost_leaf1, const Costs& cost_matrix,
                            const Indel& indel, Matrix& tree_dist, LeafGroupScratch<Cost>& scratch) {
  const int32_t rx = rightmost_leaf1[x];
  if (x == rx) {
    leaves_against_leaves<Cost>(&x, 1, leaves2, count, cost_matrix, indel, tree_dist);
    return;
  }
  if constexpr (std::is_integral_v<Cost> && ReadsRenamesByLabel<Costs>::value) {
    if (const int32_t labels = closed_form_labels(leaves2, count, cost_matrix.codes2, x, rightmost_leaf1, scratch)) {
      subtree_against_leaves_by_label<Cost>(x, leaves2, count, labels, rightmost_leaf1, cost_matrix, indel,
                                            tree_dist, scratch);
      return;
    }
  }
  // deleted[l - x] is the cost of deleting l..rx, summed from rx up as the
  // kernel sums it.
  std::vector<Cost>& deleted = scratch.deleted;
  deleted.resize(static_cast<size_t>(rx - x) + 2);
  deleted[rx - x + 1] = 0;
  for (int32_t l = rx; l >= x; --l) deleted[l - x] = deleted[l - x + 1] + indel.deletion(l);
  std::vector<Cost>& column = scratch.column;
  column.resize(static_cast<size_t>(count));
  for (int32_t b = 0; b < count; ++b) column[b] = Cost{0} + indel.insertion(leaves2[b]);

  for (int32_t l = rx; l >= x; --l) {
    const Cost delete_l = indel.deletion(l);
    const Cost deleted_l = deleted[l - x];  // l..rx deleted, y inserted: + insert(y)
    auto tree_row = row_of(tree_dist, l);
    Cost* const c = column.data();
    if (rightmost_leaf1[l] != rx) {
      // The subtree of l matched with y leaves the forest right of it deleted.
      const Cost after_subtree = deleted[rightmost_leaf1[l] + 1 - x];
      if constexpr (ComputesLeafPairsOnRead<Costs>::value) {
        if (rightmost_leaf1[l] == l) {  // two leaves: their rename, capped, is not stored
          const auto cost_row = row_of(cost_matrix, l);
          for (int32_t b = 0; b < count; ++b) {
            const int32_t y = leaves2[b];
            const Cost insert_y = indel.insertion(y);
            const Cost rename = std::min<Cost>(cost_row[y], delete_l + insert_y);
            c[b] = std::min(std::min<Cost>(c[b] + delete_l, after_subtree + rename), deleted_l + insert_y);
          }
          continue;
        }
      }
      for (int32_t b = 0; b < count; ++b) {
        const int32_t y = leaves2[b];
        c[b] = std::min(std::min<Cost>(c[b] + delete_l, after_subtree + tree_row[y]),
                        deleted_l + indel.insertion(y));
      }
      continue;
    }
    const auto cost_row = row_of(cost_matrix, l);
    const Cost deleted_below = deleted[l + 1 - x];
    for (int32_t b = 0; b < count; ++b) {
      const int32_t y = leaves2[b];
      const Cost insert_y = indel.insertion(y);
      const Cost rename = std::min<Cost>(cost_row[y], delete_l + insert_y);
      c[b] = std::min({rename + deleted_below, c[b] + delete_l, deleted_l + insert_y});
      tree_row[y] = c[b];
    }
  }
}

// leaves_against_subtree by the closed form, mirrored: for each label c of
// the leaves, best = min over w in k..ry of (rename(c, w) - insert(w)).
// The leaves' rows are written one path node (column) at a time.
template <typename Cost, typename Indel, typename Costs, typename Matrix>
void leaves_against_subtree_by_label(const int32_t* leaves1, int32_t count, int32_t labels, int32_t y,
                                     const std::vector<int32_t>& rightmost_leaf2, const Costs& costs,
                                     const Indel& indel, Matrix& tree_dist, LeafGroupScratch<Cost>& scratch) {
  const int32_t ry = rightmost_leaf2[y];
  std::vector<Cost>& best = scratch.best;
  best.resize(static_cast<size_t>(labels));
  const int32_t* const label_codes = scratch.label_codes.data();
  const int32_t* const slot = scratch.slot_of_code.data();
  Cost inserted = 0;  // inserting k..ry
  for (int32_t k = ry; k >= y; --k) {
    const Cost insert_k = indel.insertion(k);
    inserted += insert_k;
    const int32_t code2 = costs.codes2[k];
    for (int32_t c = 0; c < labels; ++c) {
      const Cost here = label_rename(costs, label_codes[c], code2) - insert_k;
      best[c] = k == ry ? here : std::min(best[c], here);
    }
    if (rightmost_leaf2[k] != ry) continue;
    for (int32_t a = 0; a < count; ++a) {
      const int32_t x = leaves1[a];
      row_of(tree_dist, x)[k] = inserted + std::min<Cost>(indel.deletion(x), best[slot[costs.codes1[x]]]);
    }
  }
}

// The leaves x = leaves1[0..count) against the subtree of y (not a leaf):
// writes tree_dist[x][k] for k on the rightmost path of y. Each leaf is one
// row of the kernel over the empty-forest row of y, which the leaves share.
template <typename Cost, typename Indel, typename Costs, typename Matrix>
void leaves_against_subtree(const int32_t* leaves1, int32_t count, int32_t y,
                            const std::vector<int32_t>& rightmost_leaf2, const Costs& cost_matrix,
                            const Indel& indel, Matrix& tree_dist, LeafGroupScratch<Cost>& scratch) {
  const int32_t ry = rightmost_leaf2[y];
  if constexpr (std::is_integral_v<Cost> && ReadsRenamesByLabel<Costs>::value) {
    if (const int32_t labels = closed_form_labels(leaves1, count, cost_matrix.codes1, y, rightmost_leaf2, scratch)) {
      leaves_against_subtree_by_label<Cost>(leaves1, count, labels, y, rightmost_leaf2, cost_matrix, indel,
                                            tree_dist, scratch);
      return;
    }
  }
  // inserted[k - y] is the cost of inserting k..ry, as the kernel's empty row.
  std::vector<Cost>& inserted = scratch.inserted;
  inserted.resize(static_cast<size_t>(ry - y) + 2);
  inserted[ry - y + 1] = 0;
  Cost sum = 0;
  for (int32_t k = ry; k >= y; --k) {
    sum += indel.insertion(k);
    inserted[k - y] = sum;
  }
  std::vector<Cost>& after = scratch.after;
  after.resize(static_cast<size_t>(ry - y) + 1);
  for (int32_t k = y; k <= ry; ++k) after[k - y] = inserted[rightmost_leaf2[k] + 1 - y];

  const Cost* const empty = inserted.data() - y;  // indexed by node id
  const Cost* const after_subtree = after.data() - y;
  const int32_t* const leaf2 = rightmost_leaf2.data();
  for (int32_t a = 0; a < count; ++a) {
    const int32_t x = leaves1[a];
    const auto cost_row = row_of(cost_matrix, x);
    auto tree_row = row_of(tree_dist, x);
    const Cost delete_x = indel.deletion(x);
    Cost left = Cost{0} + delete_x;
    for (int32_t k = ry; k >= y; --k) {
      const Cost insert_k = indel.insertion(k);
      // Against a leaf k off the path the match is x renamed into k, as on
      // the path, when leaf pairs are not stored.
      if (leaf2[k] == ry || (ComputesLeafPairsOnRead<Costs>::value && leaf2[k] == k)) {
        const Cost rename = std::min<Cost>(cost_row[k], delete_x + insert_k);
        left = std::min({rename + empty[k + 1], empty[k] + delete_x, left + insert_k});
        if (leaf2[k] == ry) tree_row[k] = left;
      } else {
        left = std::min({after_subtree[k] + tree_row[k], empty[k] + delete_x, left + insert_k});
      }
    }
  }
}

}  // namespace grix
