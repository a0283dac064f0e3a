// What every way of computing an edit mapping ends with.

#pragma once

#include "tree_edit_distance.h"

namespace grix {

// Puts the matched pairs, found in the orientation that ran (`mirrored` or
// as given), into the trees' given ids in ascending order, and lists the
// nodes outside them as deleted (tree 1) and inserted (tree 2).
template <typename Cost>
void list_unmatched_nodes(EditMapping<Cost>& mapping, const OrientedTree& tree1, const OrientedTree& tree2,
                          bool mirrored);

}  // namespace grix
