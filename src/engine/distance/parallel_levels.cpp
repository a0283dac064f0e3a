#include "distance/parallel_levels.h"

#include <utility>

#include "distance/keyroot_schedule.h"

namespace grix {

std::thread start_worker_thread(int32_t /*worker_number*/, std::function<void()> body) {
  return std::thread(std::move(body));
}

}  // namespace grix
