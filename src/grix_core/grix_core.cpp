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

#include <chrono>
#include <condition_variable>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tree_edit_distance.h"

namespace py = pybind11;

namespace {

using IntArray = py::array_t<int32_t, py::array::c_style | py::array::forcecast>;
constexpr std::chrono::milliseconds WAIT_SLICE{50};

std::vector<int32_t> to_vector(const IntArray& array, const char* name) {
  if (array.ndim() != 1) {
    throw py::value_error(std::string(name) + " must be one-dimensional, not " +
                          std::to_string(array.ndim()) + "-dimensional");
  }
  return std::vector<int32_t>(array.data(), array.data() + array.size());
}

std::optional<grix::IntMatrix> to_matrix(const std::optional<IntArray>& array, py::ssize_t rows,
                                         py::ssize_t columns) {
  if (!array) return std::nullopt;
  if (array->ndim() != 2 || array->shape(0) != rows || array->shape(1) != columns) {
    throw py::value_error("rename costs must be a " + std::to_string(rows) + " x " +
                          std::to_string(columns) + " matrix");
  }
  grix::IntMatrix matrix(static_cast<size_t>(rows));
  const int32_t* const values = array->data();
  for (py::ssize_t i = 0; i < rows; ++i) {
    matrix[i].assign(values + i * columns, values + (i + 1) * columns);
  }
  return matrix;
}

void raise_python(PyObject* type, const std::string& message) {
  PyErr_SetString(type, message.c_str());
  throw py::error_already_set();
}

// Runs work(stop) on a new thread and waits for it as described above.
// `report`, when set, is called with the interpreter lock every slice.
template <typename Result>
Result run_stoppable(std::function<Result(const grix::StopFlag*)> work,
                     std::optional<double> timeout, const std::function<void()>& report) {
  if (timeout && !(*timeout >= 0)) raise_python(PyExc_ValueError, "timeout must be a non-negative number of seconds");
  grix::StopFlag stop{false};
  std::optional<Result> result;
  std::exception_ptr failure;
  std::mutex mutex;
  std::condition_variable finished;
  bool done = false;

  std::thread worker([&] {
    try {
      result.emplace(work(&stop));
    } catch (...) {
      failure = std::current_exception();
    }
    const std::lock_guard<std::mutex> lock(mutex);
    done = true;
    finished.notify_one();
  });
  // Joins the worker on every way out, stopping it first unless it is done.
  struct Joiner {
    std::thread& worker;
    grix::StopFlag& stop;
    ~Joiner() {
      stop = true;
      py::gil_scoped_release release;
      worker.join();
    }
  } joiner{worker, stop};

  const auto deadline =
      std::chrono::steady_clock::now() +
      std::chrono::duration_cast<std::chrono::steady_clock::duration>(
          std::chrono::duration<double>(timeout.value_or(0)));
  for (;;) {
    bool ended;
    {
      py::gil_scoped_release release;
      std::unique_lock<std::mutex> lock(mutex);
      ended = finished.wait_for(lock, WAIT_SLICE, [&] { return done; });
    }
    if (ended) break;
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();
    if (timeout && std::chrono::steady_clock::now() >= deadline) {
      raise_python(PyExc_TimeoutError,
                   "the computation did not finish within " + py::repr(py::float_(*timeout)).cast<std::string>() +
                       " s");
    }
    if (report) report();
  }
  if (failure) std::rethrow_exception(failure);
  return std::move(*result);
}

int32_t distance(const IntArray& parents1, const IntArray& codes1, const IntArray& parents2,
                 const IntArray& codes2, const std::optional<IntArray>& costs, int32_t threads,
                 std::optional<double> timeout) {
  const std::optional<grix::IntMatrix> matrix = to_matrix(costs, parents1.size(), parents2.size());
  std::vector<int32_t> p1 = to_vector(parents1, "tree 1"), c1 = to_vector(codes1, "tree 1");
  std::vector<int32_t> p2 = to_vector(parents2, "tree 2"), c2 = to_vector(codes2, "tree 2");
  return run_stoppable<int32_t>(
      [&](const grix::StopFlag* stop) {
        const grix::OrientedTree tree1 = grix::prepare_oriented_tree(p1, c1, "tree 1");
        const grix::OrientedTree tree2 = grix::prepare_oriented_tree(p2, c2, "tree 2");
        return grix::compute_oriented_distance(tree1, tree2, matrix ? &*matrix : nullptr, threads, stop);
      },
      timeout, nullptr);
}

py::tuple mapping(const IntArray& parents1, const IntArray& codes1, const IntArray& parents2,
                  const IntArray& codes2, const std::optional<IntArray>& costs, int32_t threads,
                  std::optional<double> timeout) {
  const std::optional<grix::IntMatrix> matrix = to_matrix(costs, parents1.size(), parents2.size());
  std::vector<int32_t> p1 = to_vector(parents1, "tree 1"), c1 = to_vector(codes1, "tree 1");
  std::vector<int32_t> p2 = to_vector(parents2, "tree 2"), c2 = to_vector(codes2, "tree 2");
  grix::EditMapping result = run_stoppable<grix::EditMapping>(
      [&](const grix::StopFlag* stop) {
        const grix::OrientedTree tree1 = grix::prepare_oriented_tree(p1, c1, "tree 1");
        const grix::OrientedTree tree2 = grix::prepare_oriented_tree(p2, c2, "tree 2");
        return grix::compute_edit_mapping(tree1, tree2, matrix ? &*matrix : nullptr, threads, stop);
      },
      timeout, nullptr);
  py::array_t<int32_t> pairs({static_cast<py::ssize_t>(result.pairs.size()), py::ssize_t{2}});
  auto view = pairs.mutable_unchecked<2>();
  for (size_t k = 0; k < result.pairs.size(); ++k) {
    view(k, 0) = result.pairs[k].first;
    view(k, 1) = result.pairs[k].second;
  }
  return py::make_tuple(result.distance, pairs, py::array_t<int32_t>(result.deleted.size(), result.deleted.data()),
                        py::array_t<int32_t>(result.inserted.size(), result.inserted.data()));
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
  if (parents.size() != codes.size()) {
    throw py::value_error(std::to_string(parents.size()) + " parent arrays but " +
                          std::to_string(codes.size()) + " code arrays");
  }
  std::vector<std::vector<int32_t>> p, c;
  for (size_t t = 0; t < parents.size(); ++t) {
    const std::string name = "tree " + std::to_string(t);
    p.push_back(to_vector(parents[t], name.c_str()));
    c.push_back(to_vector(codes[t], name.c_str()));
  }
  Corpus corpus;
  py::gil_scoped_release release;
  corpus.trees.reserve(p.size());
  for (size_t t = 0; t < p.size(); ++t) {
    const std::string name = "tree " + std::to_string(t);
    corpus.trees.push_back(grix::prepare_oriented_tree(p[t], c[t], name.c_str()));
    std::vector<int32_t>().swap(p[t]);
    std::vector<int32_t>().swap(c[t]);
  }
  return corpus;
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

py::array_t<int32_t> batch(const Corpus& a, const Corpus* b, const std::optional<IntArray>& first,
                           const std::optional<IntArray>& second,
                           const std::optional<IntArray>& label_costs, int32_t workers,
                           std::optional<double> timeout, const std::optional<py::function>& progress) {
  grix::PairBatch pairs = make_batch(a, b, first, second);
  grix::LabelCosts costs;
  if (label_costs) {
    if (label_costs->ndim() != 2) throw py::value_error("label costs must be a matrix");
    costs.rows = static_cast<int32_t>(label_costs->shape(0));
    costs.columns = static_cast<int32_t>(label_costs->shape(1));
    costs.values.assign(label_costs->data(), label_costs->data() + label_costs->size());
    pairs.label_costs = &costs;
  }
  py::array_t<int32_t> out(static_cast<py::ssize_t>(grix::batch_result_count(pairs)));
  int32_t* const cells = out.mutable_data();
  std::atomic<int64_t> cells_done{0};
  std::function<void()> report;
  if (progress) report = [&] { (*progress)(cells_done.load()); };
  run_stoppable<bool>(
      [&](const grix::StopFlag* stop) {
        grix::compute_pair_batch(pairs, workers, cells, stop, &cells_done);
        return true;
      },
      timeout, report);
  if (progress) (*progress)(cells_done.load());
  return out;
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

PYBIND11_MODULE(_core, m) {
  m.doc() = "The engine behind grix: use the functions of the grix package instead.";
  m.def("distance", &distance, py::arg("parents1"), py::arg("codes1"), py::arg("parents2"),
        py::arg("codes2"), py::arg("costs") = py::none(), py::arg("threads") = 1,
        py::arg("timeout") = py::none(),
        "Tree edit distance in the cheaper orientation; stoppable by Ctrl-C and timeout.");
  m.def("mapping", &mapping, py::arg("parents1"), py::arg("codes1"), py::arg("parents2"),
        py::arg("codes2"), py::arg("costs") = py::none(), py::arg("threads") = 1,
        py::arg("timeout") = py::none(),
        "(distance, pairs, deleted, inserted) of an optimal edit mapping.");
  m.def("cell_factors", &cell_factors, py::arg("parents"),
        "(as given, mirrored): a pair of trees costs factor1 * factor2 cells in one orientation.");
  py::class_<Corpus>(m, "Corpus", "Trees prepared once for many pairs.")
      .def(py::init(&make_corpus), py::arg("parents"), py::arg("codes"))
      .def("__len__", [](const Corpus& c) { return c.trees.size(); });
  m.def("batch", &batch, py::arg("a"), py::arg("b") = nullptr, py::arg("first") = py::none(),
        py::arg("second") = py::none(), py::arg("label_costs") = py::none(),
        py::arg("workers") = 1, py::arg("timeout") = py::none(), py::arg("progress") = py::none(),
        "Distances of many pairs: all pairs of a (condensed), a x b, or the listed pairs.");
  m.def("batch_cells", &batch_cells, py::arg("a"), py::arg("b") = nullptr,
        py::arg("first") = py::none(), py::arg("second") = py::none(),
        "Cells a batch computes, for progress and time estimates.");
  register_join(m);
}
