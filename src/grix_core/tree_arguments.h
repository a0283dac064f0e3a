// Trees from Python, as every function of grix._core takes them: parent and
// label-code arrays, checked and prepared for the engine.

#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cstdint>
#include <exception>
#include <string>
#include <thread>
#include <vector>

#include "tree_edit_distance.h"

namespace grix_core {

namespace py = pybind11;

using IntArray = py::array_t<int32_t, py::array::c_style | py::array::forcecast>;

inline std::vector<int32_t> to_vector(const IntArray& array, const std::string& name) {
  if (array.ndim() != 1) {
    throw py::value_error(name + " must be one-dimensional, not " + std::to_string(array.ndim()) +
                          "-dimensional");
  }
  return std::vector<int32_t>(array.data(), array.data() + array.size());
}

// Checks and prepares the trees on `workers` threads; a malformed tree
// raises for the lowest index at fault, whichever thread met it.
inline std::vector<grix::OrientedTree> prepare_trees(const std::vector<IntArray>& parents,
                                              const std::vector<IntArray>& codes, int32_t workers,
                                              bool mirrored = true) {
  if (parents.size() != codes.size()) {
    throw py::value_error(std::to_string(parents.size()) + " parent arrays but " +
                          std::to_string(codes.size()) + " code arrays");
  }
  std::vector<std::vector<int32_t>> p, c;
  for (size_t t = 0; t < parents.size(); ++t) {
    const std::string name = "tree " + std::to_string(t);
    p.push_back(to_vector(parents[t], name));
    c.push_back(to_vector(codes[t], name));
  }
  py::gil_scoped_release release;
  const size_t count = p.size();
  std::vector<grix::OrientedTree> trees(count);
  std::vector<std::exception_ptr> failures(count);
  auto prepare_share = [&](size_t first, size_t step) {
    for (size_t t = first; t < count; t += step) {
      try {
        const std::string name = "tree " + std::to_string(t);
        trees[t] = mirrored ? grix::prepare_oriented_tree(p[t], c[t], name.c_str())
                            : grix::prepare_given_tree(p[t], c[t], name.c_str());
      } catch (...) {
        failures[t] = std::current_exception();
      }
      std::vector<int32_t>().swap(p[t]);
      std::vector<int32_t>().swap(c[t]);
    }
  };
  const size_t threads = std::min<size_t>(static_cast<size_t>(std::max(workers, 1)), std::max<size_t>(count / 64, 1));
  std::vector<std::thread> helpers;
  try {
    for (size_t w = 1; w < threads; ++w) helpers.emplace_back(prepare_share, w, threads);
  } catch (...) {  // a thread that cannot start: the started ones finish first
    for (std::thread& helper : helpers) helper.join();
    throw;
  }
  prepare_share(0, threads);
  for (std::thread& helper : helpers) helper.join();
  for (const std::exception_ptr& failure : failures) {
    if (failure) std::rethrow_exception(failure);
  }
  return trees;
}

}  // namespace grix_core
