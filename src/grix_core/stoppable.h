// Waiting for the engine in a way that Ctrl-C and time-outs can stop, for
// every function of grix._core.
//
// The computation runs on a thread of its own while the calling thread waits
// without the interpreter lock, returning to the interpreter every
// WAIT_SLICE to run signal handlers (Ctrl-C), check the time-out and report
// progress. To stop, it sets the engine's stop flag and joins the thread, so
// no thread and no matrix outlives the call, whichever way it ends.

#pragma once

#include <pybind11/pybind11.h>

#include <chrono>
#include <condition_variable>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>

#include "tree_edit_distance.h"

namespace grix_core {

namespace py = pybind11;

constexpr std::chrono::milliseconds WAIT_SLICE{50};

[[noreturn]] inline void raise_python(PyObject* type, const std::string& message) {
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

  // A time-out beyond the clock's range from now (some 292 years of
  // nanoseconds) means no limit; half the range keeps the conversion clear of
  // rounding at its edge.
  const auto now = std::chrono::steady_clock::now();
  const double room = std::chrono::duration<double>(std::chrono::steady_clock::time_point::max() - now).count();
  const bool limited = timeout && *timeout < room / 2;
  const auto deadline =
      limited ? now + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                          std::chrono::duration<double>(*timeout))
              : std::chrono::steady_clock::time_point::max();
  for (;;) {
    bool ended;
    {
      py::gil_scoped_release release;
      std::unique_lock<std::mutex> lock(mutex);
      ended = finished.wait_for(lock, WAIT_SLICE, [&] { return done; });
    }
    if (ended) break;
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();
    if (limited && std::chrono::steady_clock::now() >= deadline) {
      raise_python(PyExc_TimeoutError,
                   "the computation did not finish within " + py::repr(py::float_(*timeout)).cast<std::string>() +
                       " s");
    }
    if (report) report();
  }
  if (failure) std::rethrow_exception(failure);
  return std::move(*result);
}

}  // namespace grix_core
