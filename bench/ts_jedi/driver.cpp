// Runs tree-similarity's JEDI (baseline) and QuickJEDI on tree pairs, for
// bench/bench_json.py. Its code is not part of grix: build this driver in a
// folder of its own next to the tree-similarity sources (see README.md).
//
// Input (stdin): the number of pairs, then each tree as its node count and
// one line per node in left-to-right postorder: type (0 object, 1 array,
// 2 key, 3 literal), label id, child count and the children's postorder ids.
// Output: one line per pair: JEDI's distance, QuickJEDI's distance, and the
// median seconds of each over `repeats` runs (argv[1], default 3). With
// "quick" as argv[2] only QuickJEDI runs (JEDI's columns are -1 and 0): the
// baseline takes minutes a pair on documents of thousands of nodes.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <utility>
#include <vector>

#include "classes.h"

namespace json {
#define JEDI_CLASS JEDIBaselineTreeIndex
#include "munkres_steps.inc"
#undef JEDI_CLASS
#define JEDI_CLASS QuickJEDITreeIndex
#include "munkres_steps.inc"
#undef JEDI_CLASS
#include "baseline_jedi.inc"
#include "quick_jedi.inc"
}  // namespace json

struct UnitCosts {
  double del(int) const { return 1; }
  double ins(int) const { return 1; }
  double ren(int a, int b) const { return a == b ? 0 : 1; }
};

node::TreeIndexJSON read_tree() {
  node::TreeIndexJSON t;
  std::cin >> t.tree_size_;
  const auto n = static_cast<size_t>(t.tree_size_);
  t.postl_to_children_.resize(n);
  t.postl_to_label_id_.resize(n);
  t.postl_to_type_.resize(n);
  t.postl_to_size_.assign(n, 1);
  t.postl_to_ordered_child_size_.resize(n);
  for (size_t v = 0; v < n; ++v) {
    size_t count = 0;
    std::cin >> t.postl_to_type_[v] >> t.postl_to_label_id_[v] >> count;
    t.postl_to_children_[v].resize(count);
    std::vector<int> sizes;
    for (int& child : t.postl_to_children_[v]) {
      std::cin >> child;
      t.postl_to_size_[v] += t.postl_to_size_[static_cast<size_t>(child)];
      sizes.push_back(t.postl_to_size_[static_cast<size_t>(child)]);
    }
    // The children's subtree sizes, smallest first, summed up.
    std::sort(sizes.begin(), sizes.end());
    for (size_t k = 1; k < sizes.size(); ++k) sizes[k] += sizes[k - 1];
    t.postl_to_ordered_child_size_[v] = sizes;
  }
  return t;
}

template <typename Algorithm>
std::pair<double, double> timed(Algorithm& algorithm, const node::TreeIndexJSON& a, const node::TreeIndexJSON& b,
                                int repeats) {
  std::vector<double> seconds;
  double d = 0;
  for (int r = 0; r < repeats; ++r) {
    const auto start = std::chrono::steady_clock::now();
    d = algorithm.jedi(a, b);
    seconds.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  std::sort(seconds.begin(), seconds.end());
  return {d, seconds[seconds.size() / 2]};
}

int main(int argc, char** argv) {
  const int repeats = argc > 1 ? std::atoi(argv[1]) : 3;
  const bool quick_only = argc > 2 && std::string(argv[2]) == "quick";
  UnitCosts costs;
  json::JEDIBaselineTreeIndex<UnitCosts> baseline(costs);
  json::QuickJEDITreeIndex<UnitCosts> quick(costs);
  int pairs = 0;
  std::cin >> pairs;
  for (int p = 0; p < pairs; ++p) {
    const node::TreeIndexJSON a = read_tree(), b = read_tree();
    const auto [d_base, t_base] = quick_only ? std::make_pair(-1.0, 0.0) : timed(baseline, a, b, repeats);
    const auto [d_quick, t_quick] = timed(quick, a, b, repeats);
    std::printf("%.0f %.0f %.9f %.9f\n", d_base, d_quick, t_base, t_quick);
  }
  return 0;
}
