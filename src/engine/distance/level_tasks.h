// One level of the keyroot schedule: its pairs of inner keyroots, and its
// groups of pairs with a leaf keyroot as tasks.
//
// A level holds the keyroot pairs (x, y) with level(x) + level(y) equal to
// it. Leaf keyroots are at level 0, so a level is made of:
//   - pairs of inner (non-leaf) keyroots, one kernel call each: the products
//     inner1[level1] x inner2[level - level1], numbered one after the other
//     (row-major within each) and never listed;
//   - tasks: an inner keyroot x of this level against the leaf keyroots of
//     tree 2, in chunks of leaves (subtree_against_leaves), and likewise the
//     leaf keyroots of tree 1 against an inner y of this level; at level 0,
//     the leaves of tree 1 against the leaves of tree 2, in chunks of rows.
// A level costs memory in proportion to its products and tasks. Pairs and
// tasks of a level write disjoint tree_dist cells and read only cells of
// lower levels, so any number of workers may take them in any order.

#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <vector>

#include "distance/keyroot_kernel.h"
#include "distance/leaf_keyroots.h"

namespace grix {

// Cells (as the kernel counts them) of a chunk of leaves against a subtree or
// of leaves against leaves: large enough that taking a task is cheap beside
// it, small enough to balance two workers over a level.
constexpr int64_t TASK_CELLS = int64_t{1} << 16;
// Leaves in one chunk of a subtree-against-leaves task: its columns stay in
// the first-level cache.
constexpr int32_t LEAF_CHUNK = 1024;

enum class LevelTaskKind : uint8_t { subtree_leaves, leaves_subtree, leaves_leaves };

// subtree_leaves: inner keyroot `keyroot` of tree 1 against leaves2[first..last);
// leaves_subtree: leaves1[first..last) against inner keyroot `keyroot` of tree 2;
// leaves_leaves: leaves1[first..last) against every leaf of tree 2.
struct LevelTask {
  LevelTaskKind kind;
  int32_t keyroot;
  int64_t first, last;
  int64_t cells;  // as the kernel would count them (a leaf spans 2), for progress
};

// Keyroots of both trees grouped as the tasks read them.
struct KeyrootLevels {
  KeyrootSplit split1, split2;
  std::vector<std::vector<int32_t>> inner1, inner2;  // inner keyroot ids by level
  int32_t max_level = 0;                             // of a pair

  // The kernel's cells for one keyroot: its subtree and the empty forest.
  static int64_t span(const std::vector<int32_t>& rightmost_leaf, int32_t x) {
    return rightmost_leaf[x] - x + 2;
  }
};

inline std::vector<std::vector<int32_t>> inner_keyroots_by_level(const std::vector<int32_t>& rightmost_leaf,
                                                                 const std::vector<int32_t>& keyroots,
                                                                 const std::vector<int32_t>& levels,
                                                                 int32_t& max_level) {
  max_level = 0;
  for (int32_t level : levels) max_level = std::max(max_level, level);
  std::vector<std::vector<int32_t>> by_level(static_cast<size_t>(max_level) + 1);
  for (size_t pos = 0; pos < keyroots.size(); ++pos) {
    const int32_t x = keyroots[pos];
    if (rightmost_leaf[x] != x) by_level[levels[pos]].push_back(x);
  }
  return by_level;
}

// The products of inner keyroots of one level: product s is
// inner1[level1[s]] x inner2[level - level1[s]], and its pairs are numbered
// from first_pair[s]; first_pair ends with the level's pair count.
struct LevelProducts {
  std::vector<int32_t> level1;
  std::vector<int64_t> first_pair;
  int64_t cells = 0;  // as the kernel counts them
  int64_t pair_count() const { return first_pair.back(); }
};

// Sum over the keyroots of each list of its span, by level.
inline std::vector<int64_t> spans_by_level(const std::vector<std::vector<int32_t>>& by_level,
                                           const std::vector<int32_t>& rightmost_leaf) {
  std::vector<int64_t> spans(by_level.size(), 0);
  for (size_t level = 0; level < by_level.size(); ++level) {
    for (int32_t x : by_level[level]) spans[level] += KeyrootLevels::span(rightmost_leaf, x);
  }
  return spans;
}

inline void build_level_products(const KeyrootLevels& k, const std::vector<int64_t>& spans1,
                                 const std::vector<int64_t>& spans2, int32_t level, LevelProducts& products) {
  products.level1.clear();
  products.first_pair.assign(1, 0);
  products.cells = 0;
  const int32_t top1 = static_cast<int32_t>(k.inner1.size()) - 1;
  const int32_t top2 = static_cast<int32_t>(k.inner2.size()) - 1;
  for (int32_t level1 = std::max(0, level - top2); level1 <= std::min(level, top1); ++level1) {
    const int64_t pairs = static_cast<int64_t>(k.inner1[level1].size()) *
                          static_cast<int64_t>(k.inner2[level - level1].size());
    if (pairs == 0) continue;
    products.level1.push_back(level1);
    products.first_pair.push_back(products.first_pair.back() + pairs);
    products.cells += spans1[level1] * spans2[level - level1];
  }
}

// Runs the pairs first..last of a level's products, reading `stop` before each.
template <typename Cost, typename Indel, typename Costs, typename Matrix>
void run_product_pairs(const LevelProducts& products, int32_t level, int64_t first, int64_t last,
                       const KeyrootLevels& k, const std::vector<int32_t>& rightmost_leaf1,
                       const std::vector<int32_t>& rightmost_leaf2, const Costs& cost_matrix, const Indel& indel,
                       Matrix& forest_dist, Matrix& tree_dist, const StopFlag* stop) {
  size_t s = 0;
  while (products.first_pair[s + 1] <= first) ++s;
  for (int64_t p = first; p < last;) {
    const std::vector<int32_t>& xs = k.inner1[products.level1[s]];
    const std::vector<int32_t>& ys = k.inner2[level - products.level1[s]];
    const int64_t count2 = static_cast<int64_t>(ys.size());
    const int64_t end = std::min(last, products.first_pair[s + 1]);
    int64_t a = (p - products.first_pair[s]) / count2, b = (p - products.first_pair[s]) % count2;
    for (; p < end; ++p) {
      if (stop != nullptr && stop->load(std::memory_order_relaxed)) return;
      compute_subtree_pair<Cost>(xs[a], ys[b], rightmost_leaf1, rightmost_leaf2, cost_matrix, indel, forest_dist,
                                 tree_dist, stop);
      if (++b == count2) {
        b = 0;
        ++a;
      }
    }
    ++s;
  }
}

// The leaf-group tasks of level `level`, in `tasks` (cleared first).
inline void build_level_tasks(const KeyrootLevels& k, const std::vector<int32_t>& rightmost_leaf1,
                              const std::vector<int32_t>& rightmost_leaf2, int32_t level,
                              std::vector<LevelTask>& tasks) {
  tasks.clear();
  const int32_t top1 = static_cast<int32_t>(k.inner1.size()) - 1;
  const int32_t top2 = static_cast<int32_t>(k.inner2.size()) - 1;
  const int64_t leaves1 = static_cast<int64_t>(k.split1.leaves.size());
  const int64_t leaves2 = static_cast<int64_t>(k.split2.leaves.size());
  if (leaves2 > 0 && level <= top1) {
    for (int32_t x : k.inner1[level]) {
      const int64_t span1 = KeyrootLevels::span(rightmost_leaf1, x);
      for (int64_t first = 0; first < leaves2; first += LEAF_CHUNK) {
        const int64_t last = std::min(leaves2, first + LEAF_CHUNK);
        tasks.push_back({LevelTaskKind::subtree_leaves, x, first, last, 2 * span1 * (last - first)});
      }
    }
  }
  if (leaves1 > 0 && level <= top2) {
    for (int32_t y : k.inner2[level]) {
      const int64_t span2 = KeyrootLevels::span(rightmost_leaf2, y);
      const int64_t rows = std::max<int64_t>(1, TASK_CELLS / (2 * span2));
      for (int64_t first = 0; first < leaves1; first += rows) {
        const int64_t last = std::min(leaves1, first + rows);
        tasks.push_back({LevelTaskKind::leaves_subtree, y, first, last, 2 * span2 * (last - first)});
      }
    }
  }
  if (level == 0 && leaves1 > 0 && leaves2 > 0) {
    const int64_t rows = std::max<int64_t>(1, TASK_CELLS / (4 * leaves2));
    for (int64_t first = 0; first < leaves1; first += rows) {
      const int64_t last = std::min(leaves1, first + rows);
      tasks.push_back({LevelTaskKind::leaves_leaves, 0, first, last, 4 * leaves2 * (last - first)});
    }
  }
}

// Runs one leaf-group task with a worker's scratch.
template <typename Cost, typename Indel, typename Costs, typename Matrix>
void run_level_task(const LevelTask& task, const KeyrootLevels& k, const std::vector<int32_t>& rightmost_leaf1,
                    const std::vector<int32_t>& rightmost_leaf2, const Costs& cost_matrix, const Indel& indel,
                    LeafGroupScratch<Cost>& leaf_scratch, Matrix& tree_dist) {
  switch (task.kind) {
    case LevelTaskKind::subtree_leaves:
      subtree_against_leaves<Cost>(task.keyroot, k.split2.leaves.data() + task.first,
                                   static_cast<int32_t>(task.last - task.first), rightmost_leaf1, cost_matrix,
                                   indel, tree_dist, leaf_scratch);
      return;
    case LevelTaskKind::leaves_subtree:
      leaves_against_subtree<Cost>(k.split1.leaves.data() + task.first,
                                   static_cast<int32_t>(task.last - task.first), task.keyroot,
                                   rightmost_leaf2, cost_matrix, indel, tree_dist, leaf_scratch);
      return;
    case LevelTaskKind::leaves_leaves:
      leaves_against_leaves<Cost>(k.split1.leaves.data() + task.first,
                                  static_cast<int32_t>(task.last - task.first), k.split2.leaves.data(),
                                  static_cast<int32_t>(k.split2.leaves.size()), cost_matrix, indel, tree_dist);
      return;
  }
}

}  // namespace grix
