// Stopping a long call: the caller sets its StopFlag (declared in
// tree_edit_distance.h) from another thread, and the engine checks it between
// pieces of work and leaves by throwing OperationStopped.

#pragma once

#include <atomic>

#include "tree_edit_distance.h"

namespace grix {

// Throws OperationStopped once `stop` (which may be null) has been set.
inline void throw_if_stopped(const StopFlag* stop) {
  if (stop != nullptr && stop->load(std::memory_order_relaxed)) throw OperationStopped();
}

}  // namespace grix
