// grix._core: the grix package's view of the engine. Everything here is
// argument conversion and waiting; the computing is the engine's.
//
// Every computation runs on a thread of its own while the calling thread
// waits without the interpreter lock, returning to the interpreter every
// WAIT_SLICE to run signal handlers (Ctrl-C), check the time-out and report
// progress. To stop, it sets the engine's stop flag and joins the thread, so
// no thread and no matrix outlives the call, whichever way it ends.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <exception>
#include <functional>
#include <limits>
#include <type_traits>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "stoppable.h"
#include "tree_arguments.h"
#include "tree_edit_distance.h"

namespace py = pybind11;

namespace {

using grix_core::run_stoppable;

using grix_core::IntArray;
using grix_core::to_vector;
using FloatArray = py::array_t<double, py::array::c_style | py::array::forcecast>;
template <typename Cost>
using CostArray = py::array_t<Cost, py::array::c_style | py::array::forcecast>;
// Pairs estimated below this many dynamic-programming cells (well under a
// millisecond) run on the calling thread: starting and joining a thread to
// keep them stoppable would cost more than they do.
constexpr double INLINE_CELLS = 1 << 18;
// Trees prepared on the calling thread to price a pair before choosing.
constexpr int64_t INLINE_PREPARED_NODES = 4096;

// A borrowed view of a two-dimensional cost array; `array` must outlive it.
template <typename Cost>
grix::MatrixView<Cost> matrix_view(const std::optional<CostArray<Cost>>& array, const char* name) {
  if (!array) return {};
  if (array->ndim() != 2) throw py::value_error(std::string(name) + " must be a matrix");
  return {array->data(), static_cast<int32_t>(array->shape(0)), static_cast<int32_t>(array->shape(1))};
}

template <typename Cost>
std::vector<Cost> cost_vector(const std::optional<CostArray<Cost>>& array, const char* name) {
  if (!array) return {};
  if (array->ndim() != 1) throw py::value_error(std::string(name) + " must be one-dimensional");
  return std::vector<Cost>(array->data(), array->data() + array->size());
}

// Runs body(Cost{}) with the engine's cost type: doubles for fractional or
// infinite costs (and integers past 32 bits), 32-bit ints otherwise.
template <typename Body>
auto with_cost_type(bool floating, Body&& body) {
  if (floating) return body(double{});
  return body(int32_t{});
}

// The costs of one pair, as the Python layer hands them over: a per-node or
// a per-label rename matrix (or neither: label equality), and per-node
// delete and insert costs (or none: 1 each).
struct PairCostArgs {
  std::optional<py::array> rename_by_node, rename_by_label, delete_costs, insert_costs;
};

template <typename Cost>
struct ConvertedCosts {
  std::optional<CostArray<Cost>> by_node, by_label;  // keep the buffers alive
  grix::PairCosts<Cost> costs;
};

// The array as `Cost` values: itself when it already is one, else a copy.
template <typename Cost>
CostArray<Cost> as_cost_array(const py::array& array) {
  CostArray<Cost> converted = CostArray<Cost>::ensure(array);
  if (!converted) throw py::type_error("costs must be numeric arrays");
  return converted;
}

template <typename Cost>
ConvertedCosts<Cost> convert_costs(const PairCostArgs& args) {
  ConvertedCosts<Cost> converted;
  auto as_array = [](const std::optional<py::array>& array) -> std::optional<CostArray<Cost>> {
    if (!array) return std::nullopt;
    return as_cost_array<Cost>(*array);
  };
  converted.by_node = as_array(args.rename_by_node);
  converted.by_label = as_array(args.rename_by_label);
  converted.costs.rename_by_node = matrix_view<Cost>(converted.by_node, "rename");
  converted.costs.rename_by_label = matrix_view<Cost>(converted.by_label, "rename");
  converted.costs.delete_costs = cost_vector<Cost>(as_array(args.delete_costs), "delete");
  converted.costs.insert_costs = cost_vector<Cost>(as_array(args.insert_costs), "insert");
  return converted;
}

// Prepares both trees and runs `work(tree1, tree2, stop)`: on the calling
// thread when the pair is small (then a Ctrl-C is seen right after), else on
// a thread of its own through run_stoppable.
template <typename Result, typename Work>
Result run_pair(std::vector<int32_t> p1, std::vector<int32_t> c1, std::vector<int32_t> p2, std::vector<int32_t> c2,
                Work work, std::optional<double> timeout, const std::function<void()>& report) {
  if (static_cast<int64_t>(p1.size() + p2.size()) <= INLINE_PREPARED_NODES) {
    std::optional<Result> result;
    {
      py::gil_scoped_release release;
      const grix::OrientedTree tree1 = grix::prepare_oriented_tree(p1, c1, "tree 1");
      const grix::OrientedTree tree2 = grix::prepare_oriented_tree(p2, c2, "tree 2");
      double cells = 0;
      grix::mirrored_is_cheaper(tree1, tree2, &cells);
      if (cells < INLINE_CELLS) result.emplace(work(tree1, tree2, nullptr));
    }
    if (result) {
      if (PyErr_CheckSignals() != 0) throw py::error_already_set();
      return std::move(*result);
    }
  }
  return run_stoppable<Result>(
      [&](const grix::StopFlag* stop) {
        const grix::OrientedTree tree1 = grix::prepare_oriented_tree(p1, c1, "tree 1");
        const grix::OrientedTree tree2 = grix::prepare_oriented_tree(p2, c2, "tree 2");
        return work(tree1, tree2, stop);
      },
      timeout, report);
}

template <typename Result, typename Work>
Result run_pair(const IntArray& parents1, const IntArray& codes1, const IntArray& parents2,
                const IntArray& codes2, Work work, std::optional<double> timeout,
                const std::function<void()>& report) {
  return run_pair<Result>(to_vector(parents1, "tree 1"), to_vector(codes1, "tree 1"), to_vector(parents2, "tree 2"),
                          to_vector(codes2, "tree 2"), std::move(work), timeout, report);
}

std::function<void()> progress_report(const std::optional<py::function>& progress,
                                      const std::atomic<int64_t>& cells_done) {
  if (!progress) return nullptr;
  return [&progress, &cells_done] { (*progress)(cells_done.load()); };
}

grix::Algorithm parse_algorithm(const std::string& name) {
  if (name == "auto") return grix::Algorithm::automatic;
  if (name == "keyroot") return grix::Algorithm::keyroot;
  if (name == "strategy") return grix::Algorithm::strategy;
  throw py::value_error("algorithm must be 'auto', 'keyroot' or 'strategy', not '" + name + "'");
}

// A bound as the engine takes it: -1 for none, and bounds past the 32-bit
// range (where no int32 distance reaches) as the largest it can refuse at.
int32_t bounded_int32(int64_t max_distance) {
  if (max_distance < 0) return -1;
  return static_cast<int32_t>(std::min<int64_t>(max_distance, std::numeric_limits<int32_t>::max() - 1));
}

template <typename Cost>
py::object typed_distance(const IntArray& parents1, const IntArray& codes1, const IntArray& parents2,
                          const IntArray& codes2, const PairCostArgs& args, int32_t workers,
                          std::optional<double> timeout, const std::optional<py::function>& progress,
                          grix::Algorithm algorithm, int64_t max_distance) {
  const ConvertedCosts<Cost> converted = convert_costs<Cost>(args);
  std::atomic<int64_t> cells_done{0};
  const Cost result = run_pair<Cost>(
      parents1, codes1, parents2, codes2,
      [&](const grix::OrientedTree& tree1, const grix::OrientedTree& tree2, const grix::StopFlag* stop) -> Cost {
        if constexpr (std::is_same_v<Cost, int32_t>) {
          return grix::compute_distance_within(tree1, tree2, converted.costs, bounded_int32(max_distance), workers,
                                               stop, &cells_done, algorithm);
        } else {
          const Cost d = grix::compute_oriented_distance<Cost>(tree1, tree2, converted.costs, workers, stop,
                                                               &cells_done, algorithm);
          return max_distance >= 0 ? std::min(d, static_cast<Cost>(max_distance) + 1) : d;
        }
      },
      timeout, progress_report(progress, cells_done));
  return py::cast(result);
}

py::object distance(const IntArray& parents1, const IntArray& codes1, const IntArray& parents2,
                    const IntArray& codes2, std::optional<py::array> rename_by_node,
                    std::optional<py::array> rename_by_label, std::optional<py::array> delete_costs,
                    std::optional<py::array> insert_costs, bool floating, int32_t workers,
                    std::optional<double> timeout, const std::optional<py::function>& progress,
                    const std::string& algorithm, int64_t max_distance) {
  const PairCostArgs args{std::move(rename_by_node), std::move(rename_by_label), std::move(delete_costs),
                          std::move(insert_costs)};
  const grix::Algorithm chosen = parse_algorithm(algorithm);
  return with_cost_type(floating, [&](auto cost) {
    return typed_distance<decltype(cost)>(parents1, codes1, parents2, codes2, args, workers, timeout, progress,
                                          chosen, max_distance);
  });
}

// What each way to compute a pair is predicted to cost, in seconds, and
// which one a call with `algorithm` runs: for benchmarks and tests.
py::dict price(const IntArray& parents1, const IntArray& parents2, const std::string& algorithm) {
  const grix::Algorithm requested = parse_algorithm(algorithm);
  const std::vector<int32_t> p1 = to_vector(parents1, "parents1"), p2 = to_vector(parents2, "parents2");
  grix::AlgorithmPrices prices;
  {
    py::gil_scoped_release release;
    const grix::OrientedTree tree1 = grix::prepare_oriented_tree(p1, std::vector<int32_t>(p1.size(), 0), "tree 1");
    const grix::OrientedTree tree2 = grix::prepare_oriented_tree(p2, std::vector<int32_t>(p2.size(), 0), "tree 2");
    prices = grix::price_pair(tree1, tree2, requested);
  }
  py::dict out;
  out["keyroot"] = prices.keyroot_given;
  out["keyroot_mirrored"] = prices.keyroot_mirrored;
  out["strategy"] = prices.strategy < 0 ? py::object(py::none()) : py::object(py::float_(prices.strategy));
  out["plan"] = prices.plan;
  // The strategy's work in the units its progress reports count.
  out["strategy_cells"] = prices.strategy < 0 ? 0.0 : (prices.strategy - prices.plan) / prices.seconds_per_cell;
  out["chosen"] = prices.use_strategy ? "strategy" : "keyroot";
  return out;
}

// Codes for lists of labels, one list per tree: equal labels get equal
// codes, numbered in order of first appearance. A str keeps its hash, so a
// dict lookup per label costs little here; the same loop in Python costs
// about a microsecond a label, most of a join over many small trees.
py::tuple number_label_lists(const py::sequence& label_lists) {
  py::dict code_of;
  py::list distinct;
  py::list all_codes;
  for (const py::handle labels : label_lists) {
    const py::object fast =
        py::reinterpret_steal<py::object>(PySequence_Fast(labels.ptr(), "each tree's labels must be a sequence"));
    if (!fast) throw py::error_already_set();
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(fast.ptr());
    PyObject** const items = PySequence_Fast_ITEMS(fast.ptr());
    py::array_t<int32_t> codes(n);
    int32_t* const out = codes.mutable_data();
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject* const known = PyDict_GetItemWithError(code_of.ptr(), items[i]);  // borrowed
      if (known != nullptr) {
        out[i] = static_cast<int32_t>(PyLong_AsLong(known));
        continue;
      }
      if (PyErr_Occurred() != nullptr) throw py::error_already_set();
      const auto code = static_cast<int32_t>(PyList_GET_SIZE(distinct.ptr()));
      const py::int_ number(code);
      if (PyDict_SetItem(code_of.ptr(), items[i], number.ptr()) != 0) throw py::error_already_set();
      distinct.append(py::reinterpret_borrow<py::object>(items[i]));
      out[i] = code;
    }
    all_codes.append(std::move(codes));
  }
  return py::make_tuple(all_codes, distinct);
}

// The distance with unit costs straight from the label strings, numbered
// here: the short way for the many small pairs of a loop of calls.
int32_t distance_of_labels(const IntArray& parents1, const std::vector<std::string>& labels1,
                           const IntArray& parents2, const std::vector<std::string>& labels2, int32_t workers,
                           std::optional<double> timeout, const std::string& algorithm, int64_t max_distance) {
  std::pair<std::vector<int32_t>, std::vector<int32_t>> codes;
  {
    py::gil_scoped_release release;
    codes = grix::number_labels(labels1, labels2);
  }
  const grix::PairCosts<int32_t> unit;
  const grix::Algorithm chosen = parse_algorithm(algorithm);
  return run_pair<int32_t>(
      to_vector(parents1, "tree 1"), std::move(codes.first), to_vector(parents2, "tree 2"), std::move(codes.second),
      [&](const grix::OrientedTree& tree1, const grix::OrientedTree& tree2, const grix::StopFlag* stop) {
        return grix::compute_distance_within(tree1, tree2, unit, bounded_int32(max_distance), workers, stop,
                                             nullptr, chosen);
      },
      timeout, nullptr);
}

// --- costs by class and weight (grix.rna's cost models) ----------------------

// A model of costs by class and weight with the class names its labels are
// written in: made once per model, so that a call pays nothing to convert it.
struct ClassWeightModel {
  grix::WeightedClasses costs;
  std::vector<std::string> class_names;  // [0] stands for no node and names no label
  std::array<int32_t, 128> letter_class;  // the class named by one ASCII letter, or -1
  bool integral = true;                   // every unit cost a finite integer
};

ClassWeightModel make_class_weight_model(std::vector<std::string> class_names, const FloatArray& unit_costs) {
  const auto k = static_cast<py::ssize_t>(class_names.size());
  if (unit_costs.ndim() != 2 || unit_costs.shape(0) != k || unit_costs.shape(1) != k) {
    throw py::value_error("unit_costs must be a square matrix with a row per class");
  }
  ClassWeightModel model;
  model.costs.classes = static_cast<int32_t>(k);
  model.costs.unit_costs.assign(unit_costs.data(), unit_costs.data() + unit_costs.size());
  grix::weighted_class_label_costs(model.costs, {}, {}, {}, {});  // checks the unit costs
  for (double value : model.costs.unit_costs) {
    model.integral = model.integral && std::isfinite(value) && std::floor(value) == value;
  }
  model.letter_class.fill(-1);
  for (size_t c = 1; c < class_names.size(); ++c) {
    const std::string& name = class_names[c];
    if (name.size() == 1 && static_cast<unsigned char>(name[0]) < 128) {
      model.letter_class[static_cast<size_t>(name[0])] = static_cast<int32_t>(c);
    }
  }
  model.class_names = std::move(class_names);
  return model;
}

// Labels heavier than this are left to the Python definition, which refuses
// them: every product of a unit cost and a weight stays exact.
constexpr int64_t MAX_LABEL_WEIGHT = int64_t{1} << 31;

// The class and weight of a label written as a class name and an optional
// weight in ASCII digits ("P3"; "R" weighs 1). False for any other label (or
// one heavier than MAX_LABEL_WEIGHT): the caller then leaves the labels to
// the Python definition, whose error names the label.
bool parse_class_label(PyObject* label, const ClassWeightModel& model, int32_t& label_class, int64_t& weight) {
  Py_ssize_t size = 0;
  const char* const text = PyUnicode_Check(label) ? PyUnicode_AsUTF8AndSize(label, &size) : nullptr;
  if (text == nullptr) {
    PyErr_Clear();
    return false;
  }
  Py_ssize_t letters = 0;
  auto is_letter = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); };
  while (letters < size && is_letter(text[letters])) ++letters;
  label_class = letters == 1 ? model.letter_class[static_cast<size_t>(text[0])] : -1;
  for (size_t c = 1; c < model.class_names.size() && letters != 1; ++c) {
    if (model.class_names[c].size() == static_cast<size_t>(letters) &&
        model.class_names[c].compare(0, std::string::npos, text, static_cast<size_t>(letters)) == 0) {
      label_class = static_cast<int32_t>(c);
    }
  }
  if (label_class < 0) return false;
  weight = letters == size ? 1 : 0;
  for (Py_ssize_t k = letters; k < size; ++k) {
    if (text[k] < '0' || text[k] > '9') return false;
    weight = weight * 10 + (text[k] - '0');
    if (weight > MAX_LABEL_WEIGHT) return false;
  }
  return true;
}

// Classes and weights of labels numbered by (class, weight): codes[i] for
// label i, and the class and weight of each code. False as parse_class_label.
struct ClassWeightLabels {
  std::vector<int32_t> codes, classes;
  std::vector<int64_t> weights;
};

bool number_class_labels(const py::sequence& labels, const ClassWeightModel& model, bool distinct,
                         ClassWeightLabels& out) {
  const py::object fast =
      py::reinterpret_steal<py::object>(PySequence_Fast(labels.ptr(), "labels must be a sequence"));
  if (!fast) throw py::error_already_set();
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(fast.ptr());
  PyObject** const items = PySequence_Fast_ITEMS(fast.ptr());
  out.codes.resize(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    int32_t label_class = 0;
    int64_t weight = 0;
    if (!parse_class_label(items[i], model, label_class, weight)) return false;
    // A tree has a few dozen distinct (class, weight) at most: a scan of them
    // costs less than a hash.
    size_t code = out.classes.size();
    if (!distinct) {
      for (size_t k = 0; k < out.classes.size(); ++k) {
        if (out.classes[k] == label_class && out.weights[k] == weight) {
          code = k;
          break;
        }
      }
    }
    if (code == out.classes.size()) {
      out.classes.push_back(label_class);
      out.weights.push_back(weight);
    }
    out.codes[static_cast<size_t>(i)] = static_cast<int32_t>(code);
  }
  return true;
}

// The label costs of `model` from each of labels1 to each of labels2 (lists
// without repeats, as the batch and pair conversions number them), in
// doubles: (rename, delete, insert), or None for a label the model cannot
// read, which the Python definition then reports.
py::object class_weight_table(const py::sequence& labels1, const py::sequence& labels2,
                              const ClassWeightModel& model) {
  ClassWeightLabels first, second;
  if (!number_class_labels(labels1, model, true, first) || !number_class_labels(labels2, model, true, second)) {
    return py::none();
  }
  const grix::LabelCosts<double> costs =
      grix::weighted_class_label_costs(model.costs, first.classes, first.weights, second.classes, second.weights);
  FloatArray rename({static_cast<py::ssize_t>(costs.rows), static_cast<py::ssize_t>(costs.columns)});
  std::copy(costs.rename.begin(), costs.rename.end(), rename.mutable_data());
  return py::make_tuple(rename, FloatArray(static_cast<py::ssize_t>(costs.delete_costs.size()), costs.delete_costs.data()),
                        FloatArray(static_cast<py::ssize_t>(costs.insert_costs.size()), costs.insert_costs.data()));
}

// The distance of one pair under `model`, labels read and costs computed
// here: the short way for a loop over many small pairs. Runs in int32 when
// every cost is an integer and no sum can leave 32 bits, else in doubles,
// exactly as grix.costs picks for the same values; an int result for
// integer costs, a float otherwise. None for a label the model cannot read.
py::object class_weight_distance(const IntArray& parents1, const py::sequence& labels1, const IntArray& parents2,
                                 const py::sequence& labels2, const ClassWeightModel& model, int32_t workers,
                                 std::optional<double> timeout, const std::string& algorithm,
                                 int64_t max_distance) {
  ClassWeightLabels first, second;
  if (!number_class_labels(labels1, model, false, first) || !number_class_labels(labels2, model, false, second)) {
    return py::none();
  }
  const grix::Algorithm chosen = parse_algorithm(algorithm);
  const grix::LabelCosts<double> costs =
      grix::weighted_class_label_costs(model.costs, first.classes, first.weights, second.classes, second.weights);
  // What grix.costs.choose_number_type decides from the same values.
  auto integral = [](const std::vector<double>& values) {
    return std::all_of(values.begin(), values.end(),
                       [](double value) { return std::isfinite(value) && std::floor(value) == value; });
  };
  const bool integer_costs =
      model.integral || (integral(costs.rename) && integral(costs.delete_costs) && integral(costs.insert_costs));
  double indel_total = 0;
  for (int32_t code : first.codes) indel_total += costs.delete_costs[static_cast<size_t>(code)];
  for (int32_t code : second.codes) indel_total += costs.insert_costs[static_cast<size_t>(code)];
  constexpr double INT32_HIGHEST = std::numeric_limits<int32_t>::max();
  constexpr double EXACT_DOUBLE = 9007199254740992.0;  // 2**53
  if (integer_costs && indel_total > EXACT_DOUBLE) {
    throw py::value_error("the costs are too large to add up exactly: a distance could pass 2**53");
  }
  auto run = [&](auto cost) -> double {
    using Cost = decltype(cost);
    grix::PairCosts<Cost> pair;
    std::vector<Cost> table(costs.rename.size());
    // An int32 rename dearer than deleting and inserting everything acts as
    // that sum, so capping it there changes nothing and keeps it in range.
    const double cap = std::is_integral_v<Cost> ? std::min(indel_total + 1, INT32_HIGHEST) : HUGE_VAL;
    for (size_t k = 0; k < table.size(); ++k) table[k] = static_cast<Cost>(std::min(costs.rename[k], cap));
    pair.rename_by_label = {table.data(), costs.rows, costs.columns};
    pair.delete_costs.reserve(first.codes.size());
    pair.insert_costs.reserve(second.codes.size());
    for (int32_t code : first.codes) pair.delete_costs.push_back(static_cast<Cost>(costs.delete_costs[static_cast<size_t>(code)]));
    for (int32_t code : second.codes) pair.insert_costs.push_back(static_cast<Cost>(costs.insert_costs[static_cast<size_t>(code)]));
    return static_cast<double>(run_pair<Cost>(
        to_vector(parents1, "tree 1"), first.codes, to_vector(parents2, "tree 2"), second.codes,
        [&](const grix::OrientedTree& tree1, const grix::OrientedTree& tree2, const grix::StopFlag* stop) -> Cost {
          if constexpr (std::is_same_v<Cost, int32_t>) {
            return grix::compute_distance_within(tree1, tree2, pair, bounded_int32(max_distance), workers, stop,
                                                 nullptr, chosen);
          } else {
            const Cost d = grix::compute_oriented_distance<Cost>(tree1, tree2, pair, workers, stop, nullptr, chosen);
            return max_distance >= 0 ? std::min(d, static_cast<Cost>(max_distance) + 1) : d;
          }
        },
        timeout, nullptr));
  };
  const double d = integer_costs && indel_total <= INT32_HIGHEST ? run(int32_t{}) : run(double{});
  if (integer_costs && std::isfinite(d)) return py::int_(static_cast<int64_t>(d));
  return py::float_(d);
}

template <typename Cost>
py::tuple typed_mapping(const IntArray& parents1, const IntArray& codes1, const IntArray& parents2,
                        const IntArray& codes2, const PairCostArgs& args, int32_t workers,
                        std::optional<double> timeout, const std::optional<py::function>& progress,
                        grix::Algorithm algorithm, int32_t first_band) {
  const ConvertedCosts<Cost> converted = convert_costs<Cost>(args);
  std::atomic<int64_t> cells_done{0};
  grix::EditMapping<Cost> result = run_pair<grix::EditMapping<Cost>>(
      parents1, codes1, parents2, codes2,
      [&](const grix::OrientedTree& tree1, const grix::OrientedTree& tree2, const grix::StopFlag* stop) {
        if constexpr (std::is_same_v<Cost, int32_t>) {
          return grix::compute_banded_edit_mapping(tree1, tree2, converted.costs, workers, stop, &cells_done,
                                                   algorithm, first_band);
        } else {
          return grix::compute_edit_mapping<Cost>(tree1, tree2, converted.costs, workers, stop, &cells_done,
                                                  algorithm);
        }
      },
      timeout, progress_report(progress, cells_done));
  py::array_t<int32_t> pairs({static_cast<py::ssize_t>(result.pairs.size()), py::ssize_t{2}});
  auto view = pairs.mutable_unchecked<2>();
  for (size_t k = 0; k < result.pairs.size(); ++k) {
    view(k, 0) = result.pairs[k].first;
    view(k, 1) = result.pairs[k].second;
  }
  return py::make_tuple(result.distance, pairs, py::array_t<int32_t>(result.deleted.size(), result.deleted.data()),
                        py::array_t<int32_t>(result.inserted.size(), result.inserted.data()));
}

py::tuple mapping(const IntArray& parents1, const IntArray& codes1, const IntArray& parents2,
                  const IntArray& codes2, std::optional<py::array> rename_by_node,
                  std::optional<py::array> rename_by_label, std::optional<py::array> delete_costs,
                  std::optional<py::array> insert_costs, bool floating, int32_t workers,
                  std::optional<double> timeout, const std::optional<py::function>& progress,
                  const std::string& algorithm, int32_t first_band) {
  const PairCostArgs args{std::move(rename_by_node), std::move(rename_by_label), std::move(delete_costs),
                          std::move(insert_costs)};
  const grix::Algorithm chosen = parse_algorithm(algorithm);
  return with_cost_type(floating, [&](auto cost) {
    return typed_mapping<decltype(cost)>(parents1, codes1, parents2, codes2, args, workers, timeout, progress,
                                         chosen, first_band);
  });
}

py::tuple cell_factors(const IntArray& parents) {
  const std::vector<int32_t> p = to_vector(parents, "tree");
  const grix::OrientedTree tree = grix::prepare_oriented_tree(p, std::vector<int32_t>(p.size(), 0), "tree");
  return py::make_tuple(tree.given.cell_factor, tree.mirrored.cell_factor);
}

// Trees prepared once for any number of batches.
struct Corpus {
  std::vector<grix::OrientedTree> trees;
};

Corpus make_corpus(const std::vector<IntArray>& parents, const std::vector<IntArray>& codes) {
  return Corpus{grix_core::prepare_trees(parents, codes, 1)};
}

grix::PairBatch make_batch(const Corpus& a, const Corpus* b, const std::optional<IntArray>& first,
                           const std::optional<IntArray>& second) {
  grix::PairBatch batch;
  batch.trees_a = &a.trees;
  batch.trees_b = b != nullptr ? &b->trees : &a.trees;
  if (first || second) {
    if (!first || !second) throw py::value_error("give both first and second, or neither");
    batch.layout = grix::PairLayout::listed;
    batch.first = to_vector(*first, "first");
    batch.second = to_vector(*second, "second");
  } else {
    batch.layout = b != nullptr ? grix::PairLayout::a_by_b : grix::PairLayout::all_pairs_of_a;
  }
  return batch;
}

template <typename Cost>
grix::LabelCosts<Cost> label_costs(const std::optional<py::array>& rename, const std::optional<py::array>& deletes,
                                   const std::optional<py::array>& inserts, int32_t rows, int32_t columns,
                                   const std::optional<IntArray>& label_class = std::nullopt,
                                   double same_label = 0) {
  grix::LabelCosts<Cost> costs;
  if (label_class) {
    if (!rename) throw py::value_error("label classes need a table of rename costs between classes");
    costs.label_class = to_vector(*label_class, "label_class");
    costs.same_label = static_cast<Cost>(same_label);
  }
  costs.rows = rows;
  costs.columns = columns;
  if (rename) {
    const CostArray<Cost> table = as_cost_array<Cost>(*rename);
    if (table.ndim() != 2) throw py::value_error("rename must be a matrix of label costs");
    costs.rows = static_cast<int32_t>(table.shape(0));
    costs.columns = static_cast<int32_t>(table.shape(1));
    costs.rename.assign(table.data(), table.data() + table.size());
  }
  if (deletes) costs.delete_costs = cost_vector<Cost>(as_cost_array<Cost>(*deletes), "delete");
  if (inserts) costs.insert_costs = cost_vector<Cost>(as_cost_array<Cost>(*inserts), "insert");
  if (!rename) {
    costs.rows = static_cast<int32_t>(costs.delete_costs.size());
    costs.columns = static_cast<int32_t>(costs.insert_costs.size());
  }
  return costs;
}

template <typename Cost>
py::array typed_batch(const grix::PairBatch& pairs, const std::optional<py::array>& rename,
                      const std::optional<py::array>& deletes, const std::optional<py::array>& inserts,
                      const std::optional<std::vector<py::array>>& pair_rename,
                      const std::optional<IntArray>& label_class, double same_label, int32_t workers,
                      std::optional<double> timeout, const std::optional<py::function>& progress) {
  grix::LabelCosts<Cost> shared;
  std::vector<grix::LabelCosts<Cost>> per_pair;
  grix::BatchCosts<Cost> costs;
  if (pair_rename) {
    per_pair.reserve(pair_rename->size());
    for (const py::array& table : *pair_rename) per_pair.push_back(label_costs<Cost>(table, std::nullopt, std::nullopt, 0, 0));
    costs.pair_costs = &per_pair;
  } else if (rename || deletes || inserts) {
    shared = label_costs<Cost>(rename, deletes, inserts, 0, 0, label_class, same_label);
    costs.label_costs = &shared;
  }
  py::array_t<Cost> out(static_cast<py::ssize_t>(grix::batch_result_count(pairs)));
  Cost* const results = out.mutable_data();
  std::atomic<int64_t> cells_done{0};
  run_stoppable<bool>(
      [&](const grix::StopFlag* stop) {
        grix::compute_pair_batch<Cost>(pairs, costs, workers, results, stop, &cells_done);
        return true;
      },
      timeout, progress_report(progress, cells_done));
  if (progress) (*progress)(cells_done.load());
  return std::move(out);
}

py::array batch(const Corpus& a, const Corpus* b, const std::optional<IntArray>& first,
                const std::optional<IntArray>& second, const std::optional<py::array>& rename,
                const std::optional<py::array>& deletes, const std::optional<py::array>& inserts,
                const std::optional<std::vector<py::array>>& pair_rename,
                const std::optional<IntArray>& label_class, double same_label, bool floating, int32_t workers,
                std::optional<double> timeout, const std::optional<py::function>& progress, int64_t max_distance) {
  grix::PairBatch pairs = make_batch(a, b, first, second);
  pairs.max_distance = bounded_int32(max_distance);
  return with_cost_type(floating, [&](auto cost) {
    return typed_batch<decltype(cost)>(pairs, rename, deletes, inserts, pair_rename, label_class, same_label,
                                       workers, timeout, progress);
  });
}

double batch_cells(const Corpus& a, const Corpus* b, const std::optional<IntArray>& first,
                   const std::optional<IntArray>& second) {
  const grix::PairBatch pairs = make_batch(a, b, first, second);
  grix::batch_result_count(pairs);  // checks the listed pairs
  py::gil_scoped_release release;
  return grix::batch_cell_count(pairs);
}

}  // namespace

void register_join(py::module_& m);  // join_bindings.cpp
void register_json(py::module_& m);  // json_bindings.cpp
void register_grits(py::module_& m);  // grits_bindings.cpp
void register_json_reader(py::module_& m);  // json_reader.cpp

PYBIND11_MODULE(_core, m) {
  m.doc() = "The engine behind grix: use the functions of the grix package instead.";
  m.def("distance", &distance, py::arg("parents1"), py::arg("codes1"), py::arg("parents2"),
        py::arg("codes2"), py::kw_only(), py::arg("rename_by_node") = py::none(),
        py::arg("rename_by_label") = py::none(), py::arg("delete") = py::none(),
        py::arg("insert") = py::none(), py::arg("floating") = false, py::arg("workers") = 1,
        py::arg("timeout") = py::none(), py::arg("progress") = py::none(), py::arg("algorithm") = "auto",
        py::arg("max_distance") = -1,
        "Tree edit distance by the cheaper algorithm (max_distance + 1 past a bound >= 0); stoppable by Ctrl-C "
        "and timeout.");
  m.def("distance_of_labels", &distance_of_labels, py::arg("parents1"), py::arg("labels1"),
        py::arg("parents2"), py::arg("labels2"), py::arg("workers") = 1, py::arg("timeout") = py::none(),
        py::arg("algorithm") = "auto", py::arg("max_distance") = -1,
        "Tree edit distance with unit costs, numbering the labels itself.");
  m.def("number_label_lists", &number_label_lists, py::arg("label_lists"),
        "(codes per list, distinct labels in code order): equal labels get equal codes.");
  m.def("price", &price, py::arg("parents1"), py::arg("parents2"), py::arg("algorithm") = "auto",
        "Predicted seconds of each algorithm for a pair of tree shapes, and the one that would run.");
  m.def("mapping", &mapping, py::arg("parents1"), py::arg("codes1"), py::arg("parents2"),
        py::arg("codes2"), py::kw_only(), py::arg("rename_by_node") = py::none(),
        py::arg("rename_by_label") = py::none(), py::arg("delete") = py::none(),
        py::arg("insert") = py::none(), py::arg("floating") = false, py::arg("workers") = 1,
        py::arg("timeout") = py::none(), py::arg("progress") = py::none(), py::arg("algorithm") = "auto",
        py::arg("first_band") = -1,
        "(distance, pairs, deleted, inserted) of an optimal edit mapping. Integer costs that allow it run "
        "in a band where that pays; first_band >= 0 forces the band from K = first_band (for tests).");
  py::class_<ClassWeightModel>(m, "ClassWeightModel",
                               "Costs by class and weight over labels written as a class name and a weight.")
      .def(py::init(&make_class_weight_model), py::arg("class_names"), py::arg("unit_costs"));
  m.def("class_weight_table", &class_weight_table, py::arg("labels1"), py::arg("labels2"), py::arg("model"),
        "(rename, delete, insert) of the model between two lists of distinct labels, or None for an unreadable label.");
  m.def("class_weight_distance", &class_weight_distance, py::arg("parents1"), py::arg("labels1"),
        py::arg("parents2"), py::arg("labels2"), py::arg("model"), py::arg("workers") = 1,
        py::arg("timeout") = py::none(), py::arg("algorithm") = "auto", py::arg("max_distance") = -1,
        "Tree edit distance under a class-and-weight model, or None for an unreadable label.");
  m.def("cell_factors", &cell_factors, py::arg("parents"),
        "(as given, mirrored): a pair of trees costs factor1 * factor2 cells in one orientation.");
  py::class_<Corpus>(m, "Corpus", "Trees prepared once for many pairs.")
      .def(py::init(&make_corpus), py::arg("parents"), py::arg("codes"))
      .def("__len__", [](const Corpus& c) { return c.trees.size(); });
  m.def("batch", &batch, py::arg("a"), py::arg("b") = nullptr, py::arg("first") = py::none(),
        py::arg("second") = py::none(), py::kw_only(), py::arg("rename") = py::none(),
        py::arg("delete") = py::none(), py::arg("insert") = py::none(),
        py::arg("pair_rename") = py::none(), py::arg("label_class") = py::none(),
        py::arg("same_label") = 0.0, py::arg("floating") = false, py::arg("workers") = 1,
        py::arg("timeout") = py::none(), py::arg("progress") = py::none(), py::arg("max_distance") = -1,
        "Distances of many pairs: all pairs of a (condensed), a x b, or the listed pairs.");
  m.def("batch_cells", &batch_cells, py::arg("a"), py::arg("b") = nullptr,
        py::arg("first") = py::none(), py::arg("second") = py::none(),
        "Cells a batch computes, for progress and time estimates.");
  register_join(m);
  m.def("set_memory_limit", &grix::set_resident_memory_limit, py::arg("bytes"),
        "Counts a limit on this process's resident memory in every memory check from now on (0: none).");
  m.def("memory_limit", &grix::resident_memory_limit, "The limit set by set_memory_limit (0: none).");
  register_json(m);
  register_grits(m);
  register_json_reader(m);
}
