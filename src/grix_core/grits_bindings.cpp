// grix._core's GriTS: grids of value numbers and the reward tables between
// distinct values arrive from grix.tables.grits, which builds them; the
// engine matches the grids of many pairs on its threads, waiting as the rest
// of the module does (Ctrl-C, time-out).

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <atomic>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "grid_similarity.h"
#include "stoppable.h"

namespace py = pybind11;

namespace {

using GridArray = py::array_t<int32_t, py::array::c_style | py::array::forcecast>;
using RewardArray = py::array_t<double, py::array::c_style | py::array::forcecast>;

grix::CellGrid cell_grid(const GridArray& array, const std::string& name) {
  if (array.ndim() != 2) {
    throw py::value_error(name + " must be two-dimensional, not " + std::to_string(array.ndim()) + "-dimensional");
  }
  grix::CellGrid grid;
  grid.rows = static_cast<int32_t>(array.shape(0));
  grid.columns = static_cast<int32_t>(array.shape(1));
  grid.values.assign(array.data(), array.data() + array.size());
  return grid;
}

py::array_t<double> grid_match_scores(const std::vector<GridArray>& truths, const std::vector<GridArray>& predictions,
                                      const std::vector<RewardArray>& rewards, int32_t workers,
                                      std::optional<double> timeout, const std::optional<py::function>& progress) {
  if (truths.size() != predictions.size() || truths.size() != rewards.size()) {
    throw py::value_error("truths, predictions and rewards differ in count");
  }
  std::vector<grix::GridPair> pairs(truths.size());
  for (size_t k = 0; k < pairs.size(); ++k) {
    const std::string name = "pair " + std::to_string(k);
    grix::GridPair& pair = pairs[k];
    pair.truth = cell_grid(truths[k], name + " truth");
    pair.prediction = cell_grid(predictions[k], name + " prediction");
    if (rewards[k].ndim() != 2) throw py::value_error(name + ": rewards must be two-dimensional");
    pair.truth_values = static_cast<int32_t>(rewards[k].shape(0));
    pair.prediction_values = static_cast<int32_t>(rewards[k].shape(1));
    pair.rewards.assign(rewards[k].data(), rewards[k].data() + rewards[k].size());
    try {
      grix::check_grid_pair(pair, name.c_str());
    } catch (const std::invalid_argument& error) {
      throw py::value_error(error.what());
    }
  }
  std::atomic<int64_t> done{0};
  std::vector<double> scores = grix_core::run_stoppable<std::vector<double>>(
      [&](const grix::StopFlag* stop) { return grix::grid_match_scores(pairs, workers, stop, &done); }, timeout,
      progress ? std::function<void()>([&] { (*progress)(done.load()); }) : std::function<void()>());
  if (progress) (*progress)(done.load());
  return py::array_t<double>(static_cast<py::ssize_t>(scores.size()), scores.data());
}

}  // namespace

void register_grits(py::module_& m) {
  m.def("grid_match_scores", &grid_match_scores, py::arg("truths"), py::arg("predictions"), py::arg("rewards"),
        py::arg("workers") = 1, py::arg("timeout") = py::none(), py::arg("progress") = py::none(),
        "GriTS's true-positive scores: per pair, the rewards (true values x predicted values) summed over the "
        "grid cells the factored 2D-MSS matches.");
}
