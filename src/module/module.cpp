// The GRIX_CPU extension module: two functions bound straight to the engine.
// Arguments are converted into fresh containers while the interpreter lock is
// held; the lock is released for the whole engine call. Engine exceptions are
// translated by pybind11's defaults: std::invalid_argument and
// std::length_error become ValueError, std::bad_alloc MemoryError, and
// std::system_error RuntimeError.

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "tree_edit_distance.h"

namespace py = pybind11;

PYBIND11_MODULE(GRIX_CPU, m) {
  m.def("compute_tree_edit_distance", &grix::compute_tree_edit_distance,
        py::call_guard<py::gil_scoped_release>());
  m.def("compute_tree_edit_distance_uniform", &grix::compute_tree_edit_distance_uniform,
        py::call_guard<py::gil_scoped_release>());
}
