// The keyroot kernel restricted to a band of pre-order ids: "is the distance
// at most k", decided in O(n1 * k) memory.
//
// Why restricting the keyroot computation to cells with |l - c| <= K decides
// d <= K exactly, when every delete and insert costs at least 1 and no rename
// is negative (ids are pre-order ids of the whole trees, l of tree 1 and c of
// tree 2):
//
//  (a) Every value computed is either the cap K + 1 or the cost of a real
//      mapping between the two forests of its cell: cells outside the band
//      read as the cap, and the recurrence only ever combines real mappings.
//      So the result is at least min(d, K + 1).
//  (b) Let M be an optimal mapping with d <= K, chosen without a rename
//      dearer than deleting and inserting its two nodes (such a rename can be
//      replaced by the two at no extra cost). An edit mapping keeps
//      pre-order, so the mapped nodes before l are mapped to nodes before c
//      whenever M passes through the cell (l, c) of the recurrence (the nodes
//      before l are those of the forests already consumed and those outside
//      the current subtree on the left, and M maps each group into its
//      counterpart). Then l = (mapped before l) + (deleted before l) and
//      c = (mapped before c) + (inserted before c), with equal mapped
//      counts, so |l - c| <= deletions + insertions <= d <= K, as each of
//      them costs at least 1 and nothing costs less than 0. Every cell on the
//      way of M through the recurrence, and every subtree distance it reads,
//      lies in the band and is computed as in the full kernel, so the result
//      is at most d.
//
// Together: when d <= K the result is d; otherwise it is K + 1. Capping every
// cell (and every cost) at K + 1 changes no value <= K (costs are never
// negative, so a sum <= K has every term <= K) and keeps the sums small.
//
// Layout: forest row r holds the columns r - K .. r + K at forest[r * 2K + K
// + c]: consecutive rows overlap in no cell (row r starts at r * (2K+1)).
//
// Only keyroot pairs (x, y) whose rows and columns hold a cell of the band
// are visited, and each such pair is found without looking at the others:
// tree 2's keyroots y with x - K <= y <= rx + K are a contiguous run of the
// sorted keyroot list, and those with y < x - K <= ry are the keyroots above
// node x - K. Every pair visited holds at least one band cell, so the visit
// costs no more than the cells themselves.

#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <stdexcept>
#include <utility>
#include <vector>

#include "distance/keyroot_kernel.h"
#include "shared/stopping.h"
#include "tree_edit_distance.h"

namespace grix {

struct BandScratch {
  std::vector<int32_t> forest, tree;
  std::vector<int32_t> keyroot_above;  // of tree 2: nearest keyroot strictly above each node, or -1
  std::vector<int64_t> deleted, inserted;  // prefix sums of the capped delete and insert costs
};

// keyroot_above[v]: the nearest proper ancestor of v that is a keyroot (-1
// when none). A pre-order sweep keeps the open keyroots on a stack.
inline void fill_keyroot_above(const PreparedTree& tree, std::vector<int32_t>& out) {
  const int32_t n = static_cast<int32_t>(tree.rightmost_leaf.size());
  std::vector<char> is_keyroot(static_cast<size_t>(n), 0);
  for (int32_t y : tree.keyroots) is_keyroot[y] = 1;
  out.assign(static_cast<size_t>(n), -1);
  std::vector<int32_t> open;
  for (int32_t v = 0; v < n; ++v) {
    while (!open.empty() && tree.rightmost_leaf[open.back()] < v) open.pop_back();
    if (!open.empty()) out[v] = open.back();
    if (is_keyroot[v]) open.push_back(v);
  }
}

// Calls visit(y) for every keyroot y of tree 2 whose pair with keyroot x of
// tree 1 holds a band cell (y <= rx + K and ry >= x - K), in descending id
// order, the order the kernel needs (a pair reads the subtree distances of
// the pairs of keyroots below it).
template <typename Visit>
void for_each_band_keyroot(const PreparedTree& tree2, const std::vector<int32_t>& keyroot_above, int32_t x,
                           int32_t rx, int32_t k, Visit&& visit) {
  const auto& keyroots = tree2.keyroots;  // descending
  auto it = std::lower_bound(keyroots.begin(), keyroots.end(), rx + k, std::greater<int32_t>());
  for (; it != keyroots.end() && *it >= x - k; ++it) visit(*it);
  const int32_t n2 = static_cast<int32_t>(keyroot_above.size());
  const int32_t edge = x - k;
  if (edge <= 0 || edge >= n2) return;
  for (int32_t y = keyroot_above[edge]; y >= 0; y = keyroot_above[y]) visit(y);
}

// The cells the kernel computes for band K: compared with the full
// schedule's before running. Stops counting past `limit`.
inline double band_cell_count(const PreparedTree& tree1, const PreparedTree& tree2, int32_t k,
                              const std::vector<int32_t>& keyroot_above, double limit, const StopFlag* stop) {
  double cells = 0;
  for (int32_t x : tree1.keyroots) {
    throw_if_stopped(stop);
    const int32_t rx = tree1.rightmost_leaf[x];
    for_each_band_keyroot(tree2, keyroot_above, x, rx, k, [&](int32_t y) {
      const int32_t ry = tree2.rightmost_leaf[y];
      const int32_t top = std::min(rx, ry + k + 1), bottom = std::max(x, y - k);
      for (int32_t l = bottom; l <= top; ++l) cells += std::max(0, std::min(ry, l + k) - std::max(y, l - k) + 1);
      cells += 1;  // the pair's own overhead
    });
    if (cells > limit) return cells;
  }
  return cells;
}

namespace band_detail {

// Cell (r, c) of a band table of band K.
inline int64_t band_at(int32_t k, int32_t r, int32_t c) { return r * (2 * static_cast<int64_t>(k)) + k + c; }

// Sizes the scratch for band K and fills the prefix sums of the costs, each
// capped at the cap: a sum reaching the cap is read as the cap anyway.
template <typename Indel>
void prepare_band(int32_t n1, int32_t n2, int32_t k, const Indel& indel, BandScratch& scratch) {
  const int64_t cap = k + 1;
  const int64_t width = 2 * static_cast<int64_t>(k) + 1;
  if (scratch.forest.size() < static_cast<size_t>((n1 + 2) * width)) {
    scratch.forest.resize(static_cast<size_t>((n1 + 2) * width));
  }
  if (scratch.tree.size() < static_cast<size_t>(n1 * width)) scratch.tree.resize(static_cast<size_t>(n1 * width));
  scratch.deleted.assign(static_cast<size_t>(n1) + 1, 0);
  for (int32_t i = 0; i < n1; ++i) scratch.deleted[i + 1] = scratch.deleted[i] + std::min<int64_t>(indel.deletion(i), cap);
  scratch.inserted.assign(static_cast<size_t>(n2) + 1, 0);
  for (int32_t j = 0; j < n2; ++j) scratch.inserted[j + 1] = scratch.inserted[j] + std::min<int64_t>(indel.insertion(j), cap);
}

// The forest distances of the subtree of x against the subtree of y inside
// band K, into scratch.forest, and the subtree distances where both forests
// are whole subtrees into scratch.tree. It reads the subtree distances of
// every other pair of nodes of the two subtrees, which must be final. As in
// the full kernel, x and y need not be keyroots: the cells of any subtree
// pair get the values its keyroot pair gave them (they depend only on cells
// below and right of them, the band is the same, and so is the cap), which
// is what the walk back of a mapping relies on. Returns the cells computed.
template <typename Rename, typename Indel>
int64_t band_subtree_pair(int32_t x, int32_t y, const PreparedTree& tree1, const PreparedTree& tree2, int32_t k,
                          const Rename& rename, const Indel& indel, BandScratch& scratch) {
  const int32_t cap = k + 1;
  const int64_t* const deleted = scratch.deleted.data();
  const int64_t* const inserted = scratch.inserted.data();
  int32_t* const forest = scratch.forest.data();
  int32_t* const tree = scratch.tree.data();
  const int32_t* const leaf1 = tree1.rightmost_leaf.data();
  const int32_t* const leaf2 = tree2.rightmost_leaf.data();
  auto at = [k](int32_t r, int32_t c) { return band_at(k, r, c); };
  auto read = [&](int32_t r, int32_t c) { return std::abs(r - c) <= k ? forest[at(r, c)] : cap; };
  auto capped = [cap](int64_t value) { return static_cast<int32_t>(std::min<int64_t>(value, cap)); };
  const int32_t rx = leaf1[x];
  const int32_t ry = leaf2[y];
  int64_t pair_cells = 0;
  // The empty forest of tree 1 (row rx + 1) against c..ry, and the empty
  // forest of tree 2 (column ry + 1), inside the band.
  {
    const int32_t r = rx + 1;
    const int32_t lo = std::max(y, r - k), hi = std::min(ry + 1, r + k);
    for (int32_t c = lo; c <= hi; ++c) forest[at(r, c)] = capped(inserted[ry + 1] - inserted[c]);
  }
  // Rows below ry + k + 1 hold no cell of the band; that row holds only
  // the empty-forest column, which the row above reads.
  const int32_t first_row = std::min(rx, ry + k + 1);
  for (int32_t l = first_row; l >= x; --l) {
    if (std::abs(l - (ry + 1)) <= k) forest[at(l, ry + 1)] = capped(deleted[rx + 1] - deleted[l]);
    const int32_t lo = std::max(y, l - k);
    const int32_t hi = std::min(ry, l + k);
    if (lo > hi) continue;
    pair_cells += hi - lo + 1;
    int32_t left = read(l, hi + 1);
    const bool on_path1 = leaf1[l] == rx;
    const int32_t after_row = leaf1[l] + 1;
    const int64_t row_base = at(l, 0);
    const int64_t below_base = at(l + 1, 0);
    const int32_t delete_l = static_cast<int32_t>(std::min<int64_t>(indel.deletion(l), cap));
    const auto rename_row = row_of(rename, l);
    for (int32_t c = hi; c >= lo; --c) {
      const int32_t below = c >= l + 1 - k ? forest[below_base + c] : cap;
      const int32_t insert_c = static_cast<int32_t>(std::min<int64_t>(indel.insertion(c), cap));
      int32_t value = std::min({below + delete_l, left + insert_c, cap});
      if (on_path1 && leaf2[c] == ry) {
        const int64_t cost = std::min<int64_t>(rename_row[c], int64_t{delete_l} + insert_c);
        value = std::min<int32_t>(value, capped(cost + read(l + 1, c + 1)));
        tree[row_base + c] = value;
      } else {
        value = std::min(value, read(after_row, leaf2[c] + 1) + tree[row_base + c]);
      }
      forest[row_base + c] = value;
      left = value;
    }
  }
  return pair_cells;
}

}  // namespace band_detail

// The distance when it is at most K, else K + 1, on one orientation. `rename`
// reads as the full kernel's (row_of(rename, l)[c]); `indel` gives delete and
// insert costs, each at least 1; renames are at least 0. The caller has
// filled scratch.keyroot_above for tree 2 and checked n1, n2 > 0. When the
// result is at most K, scratch.tree holds the subtree distances of the band
// (capped at K + 1), which band_walk_back reads.
template <typename Rename, typename Indel>
int32_t band_kernel(const PreparedTree& tree1, const PreparedTree& tree2, int32_t k, const Rename& rename,
                    const Indel& indel, BandScratch& scratch, const StopFlag* stop,
                    std::atomic<int64_t>* cells_done) {
  const int32_t n1 = static_cast<int32_t>(tree1.rightmost_leaf.size());
  const int32_t n2 = static_cast<int32_t>(tree2.rightmost_leaf.size());
  if (std::abs(n1 - n2) > k) return k + 1;  // at least |n1 - n2| deletions or insertions
  band_detail::prepare_band(n1, n2, k, indel, scratch);
  for (int32_t x : tree1.keyroots) {
    const int32_t rx = tree1.rightmost_leaf[x];
    for_each_band_keyroot(tree2, scratch.keyroot_above, x, rx, k, [&](int32_t y) {
      throw_if_stopped(stop);
      const int64_t pair_cells = band_detail::band_subtree_pair(x, y, tree1, tree2, k, rename, indel, scratch);
      if (cells_done != nullptr) *cells_done += pair_cells;
    });
  }
  return scratch.tree[band_detail::band_at(k, 0, 0)];
}

// The matched pairs of an optimal mapping, after band_kernel returned a
// distance d <= K with the same arguments (scratch holds its subtree
// distances). It walks back as the full mapping does (walk_back in
// edit_mapping.cpp): from a pair of subtrees whose distance is known, it
// refills that pair's forest table in the band and follows one optimal
// choice per cell from the corner, deferring subtrees matched as a whole.
// Every cell on the way holds at most d, so lies in the band and is exact
// there (see the top of this file), and a cell outside reads as the cap,
// which no sum on the way can equal. The sums are the kernel's own,
// capped costs included. A rename that costs no less than deleting and
// inserting its two nodes is walked as those two. The pairs come in no
// particular order. Reads `stop` before each subtree pair.
template <typename Rename, typename Indel>
std::vector<std::pair<int32_t, int32_t>> band_walk_back(const PreparedTree& tree1, const PreparedTree& tree2,
                                                        int32_t k, const Rename& rename, const Indel& indel,
                                                        BandScratch& scratch, const StopFlag* stop,
                                                        std::atomic<int64_t>* cells_done) {
  const int32_t cap = k + 1;
  const int32_t* const leaf1 = tree1.rightmost_leaf.data();
  const int32_t* const leaf2 = tree2.rightmost_leaf.data();
  const int32_t* const forest = scratch.forest.data();
  auto read = [&](int32_t r, int32_t c) {
    return std::abs(r - c) <= k ? forest[band_detail::band_at(k, r, c)] : cap;
  };
  auto deletion = [&](int32_t l) { return static_cast<int32_t>(std::min<int64_t>(indel.deletion(l), cap)); };
  auto insertion = [&](int32_t c) { return static_cast<int32_t>(std::min<int64_t>(indel.insertion(c), cap)); };
  auto renamed = [&](int32_t l, int32_t c) { return int64_t{row_of(rename, l)[c]} < int64_t{deletion(l)} + insertion(c); };
  std::vector<std::pair<int32_t, int32_t>> pairs;
  std::vector<std::pair<int32_t, int32_t>> pending{{0, 0}};
  while (!pending.empty()) {
    throw_if_stopped(stop);
    const auto [a, b] = pending.back();
    pending.pop_back();
    const int32_t last1 = leaf1[a];
    const int32_t last2 = leaf2[b];
    if (a == last1 && b == last2) {
      if (renamed(a, b)) pairs.emplace_back(a, b);
      continue;
    }
    const int64_t pair_cells = band_detail::band_subtree_pair(a, b, tree1, tree2, k, rename, indel, scratch);
    if (cells_done != nullptr) *cells_done += pair_cells;
    int32_t l = a, c = b;
    while (l <= last1 && c <= last2) {
      const int32_t here = read(l, c);
      if (here > k) throw std::logic_error("the band's walk back left the band");
      if (read(l + 1, c) + deletion(l) == here) {
        ++l;  // delete l
      } else if (read(l, c + 1) + insertion(c) == here) {
        ++c;  // insert c
      } else if (leaf1[l] == last1 && leaf2[c] == last2) {
        if (renamed(l, c)) pairs.emplace_back(l, c);
        ++l;
        ++c;
      } else {
        pending.emplace_back(l, c);  // match the two subtrees as a whole
        l = leaf1[l] + 1;
        c = leaf2[c] + 1;
      }
    }
  }
  return pairs;
}

}  // namespace grix
