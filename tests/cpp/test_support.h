// Helpers shared by the engine tests: random trees and an independent
// reference distance that shares nothing with the keyroot code.

#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "tree_edit_distance.h"

namespace grix_test {

using grix::IntMatrix;

struct Tree {
  std::vector<std::string> labels;
  std::vector<int32_t> parents;
  int32_t size() const { return static_cast<int32_t>(parents.size()); }
};

// A uniformly drawn int in [low, high].
inline int32_t random_int(std::mt19937& rng, int32_t low, int32_t high) {
  return std::uniform_int_distribution<int32_t>(low, high)(rng);
}

// A random tree in pre-order: the parent of node i is a random node on the
// path from the root to node i-1.
inline Tree random_tree(std::mt19937& rng, int32_t n, int32_t alphabet) {
  Tree tree;
  std::vector<int32_t> path;
  for (int32_t i = 0; i < n; ++i) {
    int32_t parent = -1;
    if (i > 0) {
      std::uniform_int_distribution<size_t> pick(0, path.size() - 1);
      path.resize(pick(rng) + 1);
      parent = path.back();
    }
    tree.parents.push_back(parent);
    tree.labels.push_back(std::string(1, static_cast<char>('a' + random_int(rng, 0, alphabet - 1))));
    path.push_back(i);
  }
  return tree;
}

inline IntMatrix random_costs(std::mt19937& rng, int32_t n1, int32_t n2, int32_t low, int32_t high) {
  std::uniform_int_distribution<int32_t> cost(low, high);
  IntMatrix matrix(n1, std::vector<int32_t>(n2));
  for (auto& row : matrix)
    for (auto& cell : row) cell = cost(rng);
  return matrix;
}

inline IntMatrix label_costs(const Tree& t1, const Tree& t2) {
  IntMatrix matrix(t1.size(), std::vector<int32_t>(t2.size()));
  for (int32_t i = 0; i < t1.size(); ++i)
    for (int32_t j = 0; j < t2.size(); ++j) matrix[i][j] = t1.labels[i] == t2.labels[j] ? 0 : 1;
  return matrix;
}

// Textbook forest recursion on pre-order ranges, memoised. A forest is a
// half-open range [begin, end) of ids made of whole subtrees; its leftmost
// root is `begin`. Subtree ends come from counting descendants along the
// parent links, not from any engine structure.
class ReferenceDistance {
 public:
  ReferenceDistance(const std::vector<int32_t>& parents1, const std::vector<int32_t>& parents2,
                    const IntMatrix& costs)
      : end1_(subtree_ends(parents1)), end2_(subtree_ends(parents2)), costs_(costs) {}

  int32_t trees_at_root() { return forest(0, end1_.empty() ? 0 : end1_[0], 0, end2_.empty() ? 0 : end2_[0]); }

 private:
  static std::vector<int32_t> subtree_ends(const std::vector<int32_t>& parents) {
    const int32_t n = static_cast<int32_t>(parents.size());
    std::vector<int32_t> size(n, 1);
    for (int32_t v = 0; v < n; ++v)
      for (int32_t a = parents[v]; a >= 0; a = parents[a]) ++size[a];
    std::vector<int32_t> end(n);
    for (int32_t v = 0; v < n; ++v) end[v] = v + size[v];
    return end;
  }

  int32_t forest(int32_t b1, int32_t e1, int32_t b2, int32_t e2) {
    if (b1 == e1) return e2 - b2;
    if (b2 == e2) return e1 - b1;
    const auto key = std::make_tuple(b1, e1, b2, e2);
    const auto found = memo_.find(key);
    if (found != memo_.end()) return found->second;
    const int32_t del = forest(b1 + 1, e1, b2, e2) + 1;
    const int32_t ins = forest(b1, e1, b2 + 1, e2) + 1;
    const int32_t match = costs_[b1][b2] + forest(b1 + 1, end1_[b1], b2 + 1, end2_[b2]) +
                          forest(end1_[b1], e1, end2_[b2], e2);
    const int32_t best = std::min({del, ins, match});
    memo_[key] = best;
    return best;
  }

  std::vector<int32_t> end1_, end2_;
  const IntMatrix& costs_;
  std::map<std::tuple<int32_t, int32_t, int32_t, int32_t>, int32_t> memo_;
};

inline int32_t reference_distance(const Tree& t1, const Tree& t2, const IntMatrix& costs) {
  return ReferenceDistance(t1.parents, t2.parents, costs).trees_at_root();
}

}  // namespace grix_test
