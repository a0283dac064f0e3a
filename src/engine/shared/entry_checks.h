// Checks and rename costs shared by every entry point of the engine.

#pragma once

#include <cstdint>
#include <vector>

#include "tree_edit_distance.h"

namespace grix {

// Throws std::invalid_argument unless cost_matrix has at least n1 rows of at
// least n2 entries, none so negative that a distance could leave the 32-bit
// range.
void check_cost_matrix(const IntMatrix& cost_matrix, int32_t n1, int32_t n2);

// Throws std::invalid_argument when the keyroot pairs of two trees with these
// many leaves (one keyroot per leaf) cannot be numbered by a 32-bit int.
void check_pair_count(int64_t leaves1, int64_t leaves2);

// Rename costs 0 for equal codes and 1 otherwise, n1 x n2. A set `stop`
// (may be null) ends the allocation with OperationStopped.
IntMatrix build_code_equality_costs(const std::vector<int32_t>& codes1,
                                    const std::vector<int32_t>& codes2,
                                    const StopFlag* stop = nullptr);

}  // namespace grix
