// grix._core's JSON edit distance: trees arrive as parent, kind and label
// arrays (grix.json_distance builds them), are checked by the engine, and
// every call waits as the rest of the module does (Ctrl-C, time-out).

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "json_edit_distance.h"
#include "stoppable.h"
#include "tree_arguments.h"

namespace py = pybind11;

namespace {

using grix_core::IntArray;
using grix_core::run_stoppable;
using grix_core::to_vector;

grix::JsonTree json_tree(const IntArray& parents, const IntArray& kinds, const IntArray& labels,
                         const std::string& name) {
  std::vector<int32_t> wide_kinds = to_vector(kinds, name + " kinds");
  std::vector<int8_t> narrow(wide_kinds.size());
  for (size_t v = 0; v < wide_kinds.size(); ++v) {
    if (wide_kinds[v] < 0 || wide_kinds[v] > 3) {
      throw py::value_error(name + ": node " + std::to_string(v) + " has kind " + std::to_string(wide_kinds[v]) +
                            ", not 0-3");
    }
    narrow[v] = static_cast<int8_t>(wide_kinds[v]);
  }
  return grix::prepare_json_tree(to_vector(parents, name + " parents"), std::move(narrow),
                                 to_vector(labels, name + " labels"), name.c_str());
}

std::vector<grix::JsonTree> json_trees(const std::vector<IntArray>& parents, const std::vector<IntArray>& kinds,
                                       const std::vector<IntArray>& labels, const std::string& name) {
  if (parents.size() != kinds.size() || parents.size() != labels.size()) {
    throw py::value_error(name + ": parents, kinds and labels differ in count");
  }
  std::vector<grix::JsonTree> trees;
  trees.reserve(parents.size());
  for (size_t t = 0; t < parents.size(); ++t) {
    trees.push_back(json_tree(parents[t], kinds[t], labels[t], name + "[" + std::to_string(t) + "]"));
  }
  return trees;
}

py::array_t<int32_t> to_array(const std::vector<int32_t>& values) {
  return py::array_t<int32_t>(static_cast<py::ssize_t>(values.size()), values.data());
}

std::function<void()> reporter(const std::optional<py::function>& progress, const std::atomic<int64_t>& done) {
  if (!progress) return {};
  return [&progress, &done] { (*progress)(done.load()); };
}

int32_t json_distance(const IntArray& parents1, const IntArray& kinds1, const IntArray& labels1,
                      const IntArray& parents2, const IntArray& kinds2, const IntArray& labels2,
                      std::optional<double> timeout) {
  const grix::JsonTree a = json_tree(parents1, kinds1, labels1, "t1");
  const grix::JsonTree b = json_tree(parents2, kinds2, labels2, "t2");
  return run_stoppable<int32_t>([&](const grix::StopFlag* stop) { return grix::json_edit_distance(a, b, stop); },
                                timeout, {});
}

py::tuple json_mapping(const IntArray& parents1, const IntArray& kinds1, const IntArray& labels1,
                       const IntArray& parents2, const IntArray& kinds2, const IntArray& labels2,
                       std::optional<double> timeout) {
  const grix::JsonTree a = json_tree(parents1, kinds1, labels1, "t1");
  const grix::JsonTree b = json_tree(parents2, kinds2, labels2, "t2");
  grix::JsonMapping found = run_stoppable<grix::JsonMapping>(
      [&](const grix::StopFlag* stop) { return grix::json_edit_mapping(a, b, stop); }, timeout, {});
  py::array_t<int32_t> pairs({static_cast<py::ssize_t>(found.pairs.size()), py::ssize_t{2}});
  auto view = pairs.mutable_unchecked<2>();
  for (size_t k = 0; k < found.pairs.size(); ++k) {
    view(static_cast<py::ssize_t>(k), 0) = found.pairs[k].first;
    view(static_cast<py::ssize_t>(k), 1) = found.pairs[k].second;
  }
  return py::make_tuple(found.distance, pairs);
}

py::tuple json_bounds(const IntArray& parents1, const IntArray& kinds1, const IntArray& labels1,
                      const IntArray& parents2, const IntArray& kinds2, const IntArray& labels2) {
  const grix::JsonTree a = json_tree(parents1, kinds1, labels1, "t1");
  const grix::JsonTree b = json_tree(parents2, kinds2, labels2, "t2");
  return py::make_tuple(grix::json_label_lower_bound(a, b), grix::json_greedy_upper_bound(a, b));
}

py::array_t<int32_t> json_batch(const std::vector<IntArray>& parents_a, const std::vector<IntArray>& kinds_a,
                                const std::vector<IntArray>& labels_a,
                                const std::optional<std::vector<IntArray>>& parents_b,
                                const std::optional<std::vector<IntArray>>& kinds_b,
                                const std::optional<std::vector<IntArray>>& labels_b,
                                const std::optional<IntArray>& first, const std::optional<IntArray>& second,
                                int32_t workers, std::optional<double> timeout,
                                const std::optional<py::function>& progress) {
  const std::vector<grix::JsonTree> a = json_trees(parents_a, kinds_a, labels_a, "docs_a");
  std::vector<grix::JsonTree> b;
  grix::PairLayout layout = grix::PairLayout::all_pairs_of_a;
  std::vector<int32_t> first_ids, second_ids;
  if (parents_b) {
    if (!kinds_b || !labels_b) throw py::value_error("trees_b needs parents, kinds and labels");
    b = json_trees(*parents_b, *kinds_b, *labels_b, "docs_b");
    layout = grix::PairLayout::a_by_b;
    if (first || second) {
      if (!first || !second) throw py::value_error("first and second go together");
      first_ids = to_vector(*first, "first");
      second_ids = to_vector(*second, "second");
      layout = grix::PairLayout::listed;
    }
  }
  int64_t slots = 0;
  const auto count_a = static_cast<int64_t>(a.size());
  if (layout == grix::PairLayout::all_pairs_of_a) slots = count_a * (count_a - 1) / 2;
  if (layout == grix::PairLayout::a_by_b) slots = count_a * static_cast<int64_t>(b.size());
  if (layout == grix::PairLayout::listed) slots = static_cast<int64_t>(first_ids.size());
  std::vector<int32_t> out(static_cast<size_t>(slots));
  std::atomic<int64_t> done{0};
  run_stoppable<bool>(
      [&](const grix::StopFlag* stop) {
        grix::compute_json_batch(a, b, layout, first_ids, second_ids, workers, out.data(), stop, &done);
        return true;
      },
      timeout, reporter(progress, done));
  if (progress) (*progress)(done.load());
  return to_array(out);
}

py::dict counts_dict(const grix::JsonJoinCounts& counts) {
  py::dict d;
  d["pairs"] = counts.pairs;
  d["pruned_by_size"] = counts.pruned_by_size;
  d["pruned_by_labels"] = counts.pruned_by_labels;
  d["accepted_by_upper_bound"] = counts.accepted_by_upper_bound;
  d["exact_by_bounds"] = counts.exact_by_bounds;
  d["verified"] = counts.verified;
  d["failed_verification"] = counts.failed_verification;
  return d;
}

py::tuple json_join(const std::vector<IntArray>& parents, const std::vector<IntArray>& kinds,
                    const std::vector<IntArray>& labels, int32_t threshold, bool distances, int32_t workers,
                    std::optional<double> timeout, const std::optional<py::function>& progress) {
  const std::vector<grix::JsonTree> trees = json_trees(parents, kinds, labels, "docs");
  std::atomic<int64_t> done{0};
  grix::JsonJoinMatches found = run_stoppable<grix::JsonJoinMatches>(
      [&](const grix::StopFlag* stop) {
        return grix::json_join(trees, threshold, distances, workers, stop, &done);
      },
      timeout, reporter(progress, done));
  if (progress) (*progress)(done.load());
  return py::make_tuple(to_array(found.first), to_array(found.second), to_array(found.distance),
                        counts_dict(found.counts));
}

}  // namespace

void register_json(py::module_& m) {
  const auto pair_args = [] {
    return std::make_tuple(py::arg("parents1"), py::arg("kinds1"), py::arg("labels1"), py::arg("parents2"),
                           py::arg("kinds2"), py::arg("labels2"));
  };
  const auto [p1, k1, l1, p2, k2, l2] = pair_args();
  m.def("json_distance", &json_distance, p1, k1, l1, p2, k2, l2, py::arg("timeout") = py::none(),
        "The JSON edit distance between two JSON trees (kinds: 0 object, 1 array, 2 key, 3 literal).");
  m.def("json_mapping", &json_mapping, p1, k1, l1, p2, k2, l2, py::arg("timeout") = py::none(),
        "(distance, pairs): a least-cost JSON edit mapping, pairs an (m, 2) int32 array.");
  m.def("json_bounds", &json_bounds, p1, k1, l1, p2, k2, l2,
        "(lower, upper): the label multiset bound and the greedy top-down mapping's cost.");
  m.def("json_batch", &json_batch, py::arg("parents_a"), py::arg("kinds_a"), py::arg("labels_a"),
        py::arg("parents_b") = py::none(), py::arg("kinds_b") = py::none(), py::arg("labels_b") = py::none(),
        py::arg("first") = py::none(), py::arg("second") = py::none(), py::arg("workers") = 1,
        py::arg("timeout") = py::none(), py::arg("progress") = py::none(),
        "JSON distances: condensed pairs of trees_a, trees_a x trees_b, or the listed pairs.");
  m.def("json_join", &json_join, py::arg("parents"), py::arg("kinds"), py::arg("labels"), py::arg("threshold"),
        py::arg("distances") = true, py::arg("workers") = 1, py::arg("timeout") = py::none(),
        py::arg("progress") = py::none(),
        "(first, second, distance, counts): every pair of trees within the threshold.");
}
