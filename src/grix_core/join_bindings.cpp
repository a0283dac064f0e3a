// grix._core's similarity join and nearest neighbours: argument conversion
// and waiting, as for the rest of the module. The index is a Python object so
// that a join can be split into tasks (grix.dask.join) over one index; it
// pickles as a few flat arrays (its trees and its label index) and is
// restored from them on arrival, without tokenising the corpus again.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "similarity_join.h"
#include "stoppable.h"
#include "tree_arguments.h"

namespace py = pybind11;

namespace {

using grix_core::IntArray;
using grix_core::prepare_trees;
using grix_core::to_vector;

py::array_t<int32_t> to_array(const std::vector<int32_t>& values) {
  return py::array_t<int32_t>(static_cast<py::ssize_t>(values.size()), values.data());
}

using grix_core::run_stoppable;

// Indexes built from trees in this process (restoring a pickled one is not a
// build): lets a test see that a join sent to a cluster is built once.
std::atomic<int64_t> index_builds{0};

struct PyJoinIndex {
  std::shared_ptr<const grix::JoinIndex> index;
  int32_t threshold = 0;
  std::optional<IntArray> label_costs;
  std::optional<IntArray> label_class;
  int32_t same_label = 0;
};

grix::LabelCosts<int32_t> index_costs(const std::optional<IntArray>& label_costs,
                                      const std::optional<IntArray>& label_class, int32_t same_label) {
  grix::LabelCosts<int32_t> costs;
  if (label_class) {
    if (!label_costs) throw py::value_error("label classes need a table of rename costs between classes");
    costs.label_class = to_vector(*label_class, "label_class");
    costs.same_label = same_label;
  }
  if (label_costs) {
    if (label_costs->ndim() != 2) throw py::value_error("label costs must be a matrix");
    costs.rows = static_cast<int32_t>(label_costs->shape(0));
    costs.columns = static_cast<int32_t>(label_costs->shape(1));
    costs.rename.assign(label_costs->data(), label_costs->data() + label_costs->size());
  }
  return costs;
}

PyJoinIndex make_index(const std::vector<IntArray>& parents, const std::vector<IntArray>& codes,
                       int32_t threshold, const std::optional<IntArray>& label_costs, int32_t workers,
                       const std::optional<IntArray>& label_class, int32_t same_label) {
  const grix::LabelCosts<int32_t> costs = index_costs(label_costs, label_class, same_label);
  // The index mirrors a tree only once one of its pairs needs a distance.
  std::vector<grix::OrientedTree> trees = prepare_trees(parents, codes, workers, /*mirrored=*/false);
  PyJoinIndex result{nullptr, threshold, label_costs, label_class, same_label};
  py::gil_scoped_release release;
  result.index = grix::build_join_index(std::move(trees), threshold, label_costs ? &costs : nullptr);
  ++index_builds;
  return result;
}

py::dict counts_dict(const grix::JoinCounts& counts) {
  py::dict d;
  d["pairs"] = counts.pairs;
  d["pruned_by_size"] = counts.pruned_by_size;
  d["pruned_by_labels"] = counts.pruned_by_labels;
  d["pruned_by_preorder"] = counts.pruned_by_preorder;
  d["pruned_by_postorder"] = counts.pruned_by_postorder;
  d["accepted_by_upper_bound"] = counts.accepted_by_upper_bound;
  d["exact_by_bounds"] = counts.exact_by_bounds;
  d["verified"] = counts.verified;
  d["failed_verification"] = counts.failed_verification;
  return d;
}

py::tuple join(const PyJoinIndex& index, int64_t begin, std::optional<int64_t> end, bool distances,
               int32_t workers, std::optional<double> timeout, const std::optional<py::function>& progress) {
  const int64_t stop_at = end.value_or(static_cast<int64_t>(grix::join_index_trees(*index.index).size()));
  std::atomic<int64_t> done{0};
  std::function<void()> report;
  if (progress) report = [&] { (*progress)(done.load()); };
  grix::JoinMatches found = run_stoppable<grix::JoinMatches>(
      [&](const grix::StopFlag* stop) {
        return grix::run_join(*index.index, begin, stop_at, distances, workers, stop, &done);
      },
      timeout, report);
  if (progress) (*progress)(done.load());
  return py::make_tuple(to_array(found.first), to_array(found.second), to_array(found.distance),
                        counts_dict(found.counts));
}

py::tuple nearest(const std::vector<IntArray>& query_parents, const std::vector<IntArray>& query_codes,
                  const std::vector<IntArray>& corpus_parents, const std::vector<IntArray>& corpus_codes,
                  int32_t k, int32_t max_distance, int32_t workers, std::optional<double> timeout,
                  const std::optional<py::function>& progress) {
  const std::vector<grix::OrientedTree> queries = prepare_trees(query_parents, query_codes, workers);
  const std::vector<grix::OrientedTree> corpus = prepare_trees(corpus_parents, corpus_codes, workers);
  std::atomic<int64_t> done{0};
  std::function<void()> report;
  if (progress) report = [&] { (*progress)(done.load()); };
  grix::NearestMatches found = run_stoppable<grix::NearestMatches>(
      [&](const grix::StopFlag* stop) {
        return grix::find_nearest(queries, corpus, k, max_distance, workers, stop, &done);
      },
      timeout, report);
  if (progress) (*progress)(done.load());
  const py::ssize_t rows = static_cast<py::ssize_t>(queries.size());
  py::array_t<int32_t> index({rows, static_cast<py::ssize_t>(k)}, found.index.data());
  py::array_t<int32_t> distance({rows, static_cast<py::ssize_t>(k)}, found.distance.data());
  return py::make_tuple(index, distance, counts_dict(found.counts));
}

template <typename Value>
py::array_t<Value> flat_array(const std::vector<Value>& values) {
  return py::array_t<Value>(static_cast<py::ssize_t>(values.size()), values.data());
}

template <typename Value>
std::vector<Value> flat_vector(const py::handle& item, const char* name) {
  const auto array = item.cast<py::array_t<Value, py::array::c_style | py::array::forcecast>>();
  if (array.ndim() != 1) throw py::value_error(std::string("not a JoinIndex state: ") + name + " is not flat");
  return std::vector<Value>(array.data(), array.data() + array.size());
}

// (parents, codes, offsets, threshold, label_costs, label_class, same_label,
//  tokens, list_start, entry_position, entry_offset): the trees one after the
// other, offsets[t] where tree t starts; then the label index.
py::tuple index_state(const PyJoinIndex& index) {
  std::vector<int32_t> parents, codes;
  std::vector<int64_t> offsets{0};
  for (const grix::OrientedTree& tree : grix::join_index_trees(*index.index)) {
    parents.insert(parents.end(), tree.given.parents.begin(), tree.given.parents.end());
    codes.insert(codes.end(), tree.given.codes.begin(), tree.given.codes.end());
    offsets.push_back(static_cast<int64_t>(parents.size()));
  }
  const grix::JoinLabelIndex labels = grix::join_label_index(*index.index);
  return py::make_tuple(flat_array(parents), flat_array(codes), flat_array(offsets), index.threshold,
                        index.label_costs ? py::object(*index.label_costs) : py::object(py::none()),
                        index.label_class ? py::object(*index.label_class) : py::object(py::none()),
                        index.same_label, flat_array(labels.tokens), flat_array(labels.list_start),
                        flat_array(labels.entry_position), flat_array(labels.entry_offset));
}

PyJoinIndex index_from_state(const py::tuple& state) {
  if (state.size() != 11) throw py::value_error("not a JoinIndex state");
  const std::vector<int32_t> parents = flat_vector<int32_t>(state[0], "parents");
  const std::vector<int32_t> codes = flat_vector<int32_t>(state[1], "codes");
  const std::vector<int64_t> offsets = flat_vector<int64_t>(state[2], "offsets");
  const auto label_costs = state[4].cast<std::optional<IntArray>>();
  const auto label_class = state[5].cast<std::optional<IntArray>>();
  PyJoinIndex result{nullptr, state[3].cast<int32_t>(), label_costs, label_class, state[6].cast<int32_t>()};
  grix::JoinLabelIndex labels{flat_vector<int32_t>(state[7], "tokens"), flat_vector<int64_t>(state[8], "list_start"),
                              flat_vector<int32_t>(state[9], "entry_position"),
                              flat_vector<int32_t>(state[10], "entry_offset")};
  const grix::LabelCosts<int32_t> costs = index_costs(label_costs, label_class, result.same_label);
  if (parents.size() != codes.size() || offsets.empty() || offsets.front() != 0 ||
      !std::is_sorted(offsets.begin(), offsets.end()) || static_cast<size_t>(offsets.back()) != parents.size()) {
    throw py::value_error("not a JoinIndex state: tree offsets out of order");
  }
  py::gil_scoped_release release;
  // Checked again, as any trees: the engine relies on well-formed ones.
  std::vector<grix::OrientedTree> trees(offsets.size() - 1);
  for (size_t t = 0; t + 1 < offsets.size(); ++t) {
    const auto begin = static_cast<std::ptrdiff_t>(offsets[t]), end = static_cast<std::ptrdiff_t>(offsets[t + 1]);
    const std::string name = "tree " + std::to_string(t);
    trees[t] = grix::prepare_given_tree(std::vector<int32_t>(parents.begin() + begin, parents.begin() + end),
                                        std::vector<int32_t>(codes.begin() + begin, codes.begin() + end),
                                        name.c_str());
  }
  result.index = grix::restore_join_index(std::move(trees), result.threshold, label_costs ? &costs : nullptr,
                                          std::move(labels));
  return result;
}

}  // namespace

void register_join(py::module_& m) {
  py::class_<PyJoinIndex>(m, "JoinIndex", "Trees sorted by size with their label index, for one threshold.")
      .def(py::init(&make_index), py::arg("parents"), py::arg("codes"), py::arg("threshold"),
           py::arg("label_costs") = py::none(), py::arg("workers") = 1, py::arg("label_class") = py::none(),
           py::arg("same_label") = 0)
      .def("__len__", [](const PyJoinIndex& i) { return grix::join_index_trees(*i.index).size(); })
      .def(py::pickle(&index_state, &index_from_state));
  m.def("join_index_builds", [] { return index_builds.load(); },
        "How many JoinIndex objects this process built from trees (restoring a pickled one is no build).");
  m.def("join", &join, py::arg("index"), py::arg("begin") = 0, py::arg("end") = py::none(),
        py::arg("distances") = true, py::arg("workers") = 1, py::arg("timeout") = py::none(),
        py::arg("progress") = py::none(),
        "(first, second, distance, counts) of the pairs within the index's threshold whose larger "
        "tree lies at size positions [begin, end).");
  m.def("nearest", &nearest, py::arg("query_parents"), py::arg("query_codes"), py::arg("corpus_parents"),
        py::arg("corpus_codes"), py::arg("k"), py::arg("max_distance") = -1, py::arg("workers") = 1,
        py::arg("timeout") = py::none(), py::arg("progress") = py::none(),
        "(index, distance, counts): the k nearest corpus trees of each query.");
}
