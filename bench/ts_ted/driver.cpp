// Runs tree-similarity's APTED and Zhang-Shasha on tree pairs, for
// bench/bench_peer.py. Their code is not part of grix: build this driver in a
// folder of its own next to the tree-similarity headers (see README.md).
//
// Input (stdin): the number of pairs, then each tree as its node count n, n
// label ids and n parent indices, all in pre-order (the root's parent is -1;
// equal ids mean equal labels, so unit costs are label equality).
//
// Output: one line per pair:
//   apted_distance apted_total apted_ted  zs_distance zs_total zs_ted
// the times being the median seconds of `repeats` runs (argv[1], default 3).
// "total" is what a caller of the library pays: indexing both trees
// (node::index_tree with a fresh label dictionary, as tree-similarity's own
// command line does) plus the distance call; "ted" is the distance call
// alone. Building the input node::Node trees is not timed (it stands for
// the parser). argv[2] picks the algorithms: "apted", "zs" or "apted,zs"
// (the default); a skipped algorithm prints -1 0 0.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "node.h"
#include "string_label.h"
#include "label_dictionary.h"
#include "unit_cost_model.h"
#include "tree_indexer.h"
#include "apted_tree_index.h"
#include "zhang_shasha_tree_index.h"

using Label = label::StringLabel;
using CostModel = cost_model::UnitCostModelLD<Label>;

struct InputTree {
  std::vector<int> labels;
  std::vector<int> parents;
};

InputTree read_tree() {
  InputTree t;
  size_t n = 0;
  std::cin >> n;
  t.labels.resize(n);
  t.parents.resize(n);
  for (int& label : t.labels) std::cin >> label;
  for (int& parent : t.parents) std::cin >> parent;
  return t;
}

// Children are appended in place through get_last_childs_ref(), as
// tree-similarity's bracket notation parser does, so no subtree is copied.
void attach_children(node::Node<Label>& into, int v, const std::vector<std::vector<int>>& children,
                     const InputTree& t) {
  for (int c : children[static_cast<size_t>(v)]) {
    into.add_child(node::Node<Label>(Label(std::to_string(t.labels[static_cast<size_t>(c)]))));
    attach_children(into.get_last_childs_ref(), c, children, t);
  }
}

node::Node<Label> to_node(const InputTree& t) {
  std::vector<std::vector<int>> children(t.labels.size());
  for (size_t v = 1; v < t.parents.size(); ++v) {
    children[static_cast<size_t>(t.parents[v])].push_back(static_cast<int>(v));
  }
  node::Node<Label> root(Label(std::to_string(t.labels[0])));
  attach_children(root, 0, children, t);
  return root;
}

struct Timing {
  double distance = -1;
  double total = 0;
  double ted = 0;
};

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

template <typename Index, typename Algorithm>
Timing timed(const node::Node<Label>& a, const node::Node<Label>& b, int repeats) {
  std::vector<double> totals, teds;
  Timing result;
  for (int r = 0; r < repeats; ++r) {
    const auto start = std::chrono::steady_clock::now();
    label::LabelDictionary<Label> dictionary;
    CostModel costs(dictionary);
    Index index_a, index_b;
    node::index_tree(index_a, a, dictionary, costs);
    node::index_tree(index_b, b, dictionary, costs);
    Algorithm algorithm(costs);
    const auto indexed = std::chrono::steady_clock::now();
    result.distance = algorithm.ted(index_a, index_b);
    const auto end = std::chrono::steady_clock::now();
    totals.push_back(std::chrono::duration<double>(end - start).count());
    teds.push_back(std::chrono::duration<double>(end - indexed).count());
  }
  result.total = median(totals);
  result.ted = median(teds);
  return result;
}

int main(int argc, char** argv) {
  const int repeats = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
  const std::string which = argc > 2 ? argv[2] : "apted,zs";
  const bool run_apted = which.find("apted") != std::string::npos;
  const bool run_zs = which.find("zs") != std::string::npos;
  int pairs = 0;
  std::cin >> pairs;
  for (int p = 0; p < pairs; ++p) {
    const InputTree in_a = read_tree(), in_b = read_tree();
    if (!std::cin) {
      std::fprintf(stderr, "ts_ted: input ends inside pair %d\n", p);
      return 1;
    }
    const node::Node<Label> a = to_node(in_a), b = to_node(in_b);
    using Apted = ted::APTEDTreeIndex<CostModel, node::TreeIndexAPTED>;
    using ZhangShasha = ted::ZhangShashaTreeIndex<CostModel, node::TreeIndexZhangShasha>;
    Timing apted, zs;
    if (run_apted) apted = timed<node::TreeIndexAPTED, Apted>(a, b, repeats);
    if (run_zs) zs = timed<node::TreeIndexZhangShasha, ZhangShasha>(a, b, repeats);
    std::printf("%.0f %.9f %.9f %.0f %.9f %.9f\n", apted.distance, apted.total, apted.ted, zs.distance, zs.total,
                zs.ted);
    std::fflush(stdout);
  }
  return 0;
}
