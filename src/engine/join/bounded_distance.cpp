// Cheap bounds on the tree edit distance, and the distance decided against a
// threshold k in a band of pre-order ids.
//
// Costs are label equality: renaming costs 0 between equal codes and 1
// otherwise, deleting or inserting a node costs 1 (full_distance also takes
// a table of costs between codes).

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <utility>

#include "distance/band_kernel.h"
#include "distance/keyroot_schedule.h"
#include "join/join_bounds.h"
#include "shared/pair_costs.h"

namespace grix {

std::vector<int32_t> postorder_codes(const PreparedTree& tree) {
  // In pre-order, a node is finished (all of its subtree seen) once the walk
  // passes its rightmost leaf; finished nodes leave the stack in post-order.
  const int32_t n = static_cast<int32_t>(tree.codes.size());
  std::vector<int32_t> order, open;
  order.reserve(static_cast<size_t>(n));
  for (int32_t i = 0; i < n; ++i) {
    while (!open.empty() && tree.rightmost_leaf[open.back()] < i) {
      order.push_back(tree.codes[open.back()]);
      open.pop_back();
    }
    open.push_back(i);
  }
  while (!open.empty()) {
    order.push_back(tree.codes[open.back()]);
    open.pop_back();
  }
  return order;
}

// Why max(n1, n2) - |codes1 ∩ codes2| is a lower bound: a mapping M costs
// (n1 - |M|) deletions + (n2 - |M|) insertions + its renames of unequal
// labels. Let m0 be its pairs with equal labels; each such pair uses one
// label of each multiset, so m0 <= |codes1 ∩ codes2|. The cost is then
// n1 + n2 - |M| - m0 >= max(n1, n2) - m0, as |M| <= min(n1, n2).
int32_t common_count(const std::vector<int32_t>& sorted1, const std::vector<int32_t>& sorted2) {
  int32_t common = 0;
  size_t p = 0, q = 0;
  while (p < sorted1.size() && q < sorted2.size()) {
    if (sorted1[p] < sorted2[q]) {
      ++p;
    } else if (sorted2[q] < sorted1[p]) {
      ++q;
    } else {
      ++common;
      ++p;
      ++q;
    }
  }
  return common;
}

// Why the string edit distance of the pre-order label sequences is a lower
// bound (and of the post-order ones): an edit mapping keeps the order of its
// pairs in pre-order and in post-order (it keeps ancestors above and
// left-to-right order). So its pairs align the two sequences, and that
// alignment costs the same as the mapping: unequal pairs cost 1, and unpaired
// positions are the deleted and inserted nodes.
//
// Ukkonen's band: a cell (i, j) with |i - j| > bound costs more than bound
// on every path through it, so only the band is computed, and the rows stop
// as soon as every cell of one exceeds the bound (values never decrease along
// a path).
int32_t bounded_sequence_distance(const int32_t* a, int32_t n, const int32_t* b, int32_t m,
                                  int32_t bound, std::vector<int32_t>& row) {
  const int32_t over = bound + 1;
  if (std::abs(n - m) > bound) return over;
  if (n == 0 || m == 0) return std::max(n, m);
  // row[j] is D[i][j]; cells beyond the band read as `over`.
  row.assign(static_cast<size_t>(m) + 2, over);
  for (int32_t j = 0; j <= std::min(m, bound); ++j) row[j] = j;
  for (int32_t i = 1; i <= n; ++i) {
    const int32_t lo = std::max(1, i - bound);
    const int32_t hi = std::min(m, i + bound);
    int32_t diagonal = row[lo - 1];  // D[i-1][lo-1]
    row[lo - 1] = lo == 1 ? std::min(i, over) : over;
    int32_t row_min = row[lo - 1];
    const int32_t code = a[i - 1];
    for (int32_t j = lo; j <= hi; ++j) {
      const int32_t up = row[j];
      const int32_t value = std::min({up + 1, row[j - 1] + 1, diagonal + (b[j - 1] != code), over});
      diagonal = up;
      row[j] = value;
      row_min = std::min(row_min, value);
    }
    if (row_min >= over) return over;
  }
  return std::min(row[m], over);
}

namespace {

void collect_children(const PreparedTree& tree, int32_t node, std::vector<int32_t>& out) {
  out.clear();
  const int32_t last = tree.rightmost_leaf[node];
  for (int32_t child = node + 1; child <= last; child = tree.rightmost_leaf[child] + 1) out.push_back(child);
}

int32_t subtree_size(const PreparedTree& tree, int32_t node) {
  return tree.rightmost_leaf[node] - node + 1;
}

// Larger child alignments are matched position by position instead: still a
// valid mapping, only a looser bound.
constexpr int64_t MAX_ALIGNMENT_CELLS = int64_t{1} << 22;

}  // namespace

// The mapping built here is top-down: the roots are paired, and the children
// of a paired node are paired, in order, with children of its partner. Such a
// set of pairs keeps ancestors (a pair's parents are paired) and
// left-to-right order (children are aligned in order), so it is an edit
// mapping, and its cost, counted exactly at the end, bounds the distance from
// above. The alignment guesses what matching two subtrees costs from their
// root labels and sizes; a bad guess only loosens the bound.
int32_t top_down_upper_bound(const PreparedTree& tree1, const PreparedTree& tree2,
                             UpperBoundScratch& scratch) {
  const int32_t n1 = static_cast<int32_t>(tree1.codes.size());
  const int32_t n2 = static_cast<int32_t>(tree2.codes.size());
  if (n1 == 0 || n2 == 0) return n1 + n2;
  int32_t paired = 0, renamed = 0;
  std::vector<int32_t>& c1 = scratch.children1;
  std::vector<int32_t>& c2 = scratch.children2;
  std::vector<int32_t>& table = scratch.table;
  auto& stack = scratch.stack;
  stack.assign(1, {0, 0});
  while (!stack.empty()) {
    const auto [u, v] = stack.back();
    stack.pop_back();
    ++paired;
    renamed += tree1.codes[u] != tree2.codes[v];
    collect_children(tree1, u, c1);
    collect_children(tree2, v, c2);
    const int32_t p = static_cast<int32_t>(c1.size());
    const int32_t q = static_cast<int32_t>(c2.size());
    if (p == 0 || q == 0) continue;
    if (static_cast<int64_t>(p + 1) * (q + 1) > MAX_ALIGNMENT_CELLS) {
      for (int32_t t = 0; t < std::min(p, q); ++t) stack.emplace_back(c1[t], c2[t]);
      continue;
    }
    // table[s * (q + 1) + t]: cost of aligning children s.. with t.., where
    // leaving a child out costs its subtree.
    const int32_t width = q + 1;
    table.assign(static_cast<size_t>(p + 1) * width, 0);
    for (int32_t t = q - 1; t >= 0; --t) table[p * width + t] = table[p * width + t + 1] + subtree_size(tree2, c2[t]);
    for (int32_t s = p - 1; s >= 0; --s) {
      const int32_t size1 = subtree_size(tree1, c1[s]);
      table[s * width + q] = table[(s + 1) * width + q] + size1;
      for (int32_t t = q - 1; t >= 0; --t) {
        const int32_t size2 = subtree_size(tree2, c2[t]);
        const int32_t pair = table[(s + 1) * width + t + 1] + std::abs(size1 - size2) +
                             (tree1.codes[c1[s]] != tree2.codes[c2[t]]);
        table[s * width + t] =
            std::min({pair, table[(s + 1) * width + t] + size1, table[s * width + t + 1] + size2});
      }
    }
    for (int32_t s = 0, t = 0; s < p && t < q;) {
      const int32_t size1 = subtree_size(tree1, c1[s]);
      const int32_t size2 = subtree_size(tree2, c2[t]);
      const int32_t here = table[s * width + t];
      if (here == table[(s + 1) * width + t + 1] + std::abs(size1 - size2) +
                     (tree1.codes[c1[s]] != tree2.codes[c2[t]])) {
        stack.emplace_back(c1[s], c2[t]);
        ++s;
        ++t;
      } else if (here == table[(s + 1) * width + t] + size1) {
        ++s;
      } else {
        ++t;
      }
    }
  }
  return renamed + (n1 - paired) + (n2 - paired);
}

// The banded kernel with unit costs (band_kernel.h argues why it is exact).
int32_t banded_distance(const PreparedTree& tree1, const PreparedTree& tree2, int32_t k,
                        DistanceScratch& scratch, const StopFlag* stop) {
  const int32_t n1 = static_cast<int32_t>(tree1.codes.size());
  const int32_t n2 = static_cast<int32_t>(tree2.codes.size());
  if (std::abs(n1 - n2) > k) return k + 1;
  if (n1 == 0 || n2 == 0) return std::max(n1, n2);
  fill_keyroot_above(tree2, scratch.band.keyroot_above);
  return band_kernel(tree1, tree2, k, CodeEqualityRename<int32_t>{tree1.codes.data(), tree2.codes.data()},
                     UnitIndel{}, scratch.band, stop, nullptr);
}

int32_t full_distance(const OrientedTree& a, const OrientedTree& b, const LabelCosts<int32_t>* label_costs,
                      DistanceScratch& scratch, const StopFlag* stop) {
  const int32_t n1 = a.size();
  const int32_t n2 = b.size();
  if (n1 == 0 || n2 == 0) return n1 + n2;
  const bool mirror = mirrored_is_cheaper(a, b, nullptr);
  const PreparedTree& tree1 = mirror ? a.mirrored : a.given;
  const PreparedTree& tree2 = mirror ? b.mirrored : b.given;
  fill_rename_from_label_costs<int32_t>(tree1.codes, tree2.codes, label_costs, scratch.rename, stop);
  scratch.tree_dist.reshape(n1, n2);
  scratch.forest_dist.reshape(n1 + 1, n2 + 1);
  run_keyroot_pairs_in_order<int32_t>(tree1.rightmost_leaf, tree1.keyroots, tree2.rightmost_leaf, tree2.keyroots,
                                      scratch.rename, UnitIndel{}, scratch.forest_dist, scratch.tree_dist,
                                      scratch.split1, scratch.split2, scratch.leaf_groups, stop);
  return scratch.tree_dist.at(0, 0);
}

int32_t bounded_tree_distance(const OrientedTree& a, const OrientedTree& b, int32_t k,
                              DistanceScratch& scratch, const StopFlag* stop) {
  const int32_t n1 = a.size();
  const int32_t n2 = b.size();
  if (std::abs(n1 - n2) > k) return k + 1;
  // A band as wide as the smaller tree covers nearly every cell: the plain
  // kernel is faster there.
  if (2 * static_cast<int64_t>(k) + 1 >= std::min(n1, n2)) {
    return std::min(full_distance(a, b, nullptr, scratch, stop), k + 1);
  }
  const bool mirror = mirrored_is_cheaper(a, b, nullptr);
  return banded_distance(mirror ? a.mirrored : a.given, mirror ? b.mirrored : b.given, k, scratch, stop);
}

}  // namespace grix
