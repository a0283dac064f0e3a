// GriTS, the grid table similarity of Smock et al. (arXiv 2203.12555): two
// tables as grids of cells, matched by the factored two-dimensional
// most-similar substructures (2D-MSS) as the grits-metric package computes
// them, its shortcuts, sums and ties included, so that its scores reproduce
// to the last bit.
//
// A grid cell holds the number of its value among its table's distinct
// values (cell texts for GriTS-Con, relative spans for GriTS-Top, boxes for
// GriTS-Loc); the caller gives the reward between every distinct true value
// and every distinct predicted one. The engine finds the matched rows and
// columns and sums the rewards of the grid cells they pair: GriTS's
// true-positive score, from which precision, recall and F follow.

#pragma once

#include <cstdint>
#include <vector>

#include "tree_edit_distance.h"

namespace grix {

// rows x columns grid cells, row-major, each the number of a distinct value.
// An empty table is 1 x 0, as grits-metric writes it ([[]]).
struct CellGrid {
  int32_t rows = 0;
  int32_t columns = 0;
  std::vector<int32_t> values;
};

// The two grids of a pair and the reward between their distinct values:
// rewards[t * prediction_values + p] for true value t and predicted value p.
struct GridPair {
  CellGrid truth;
  CellGrid prediction;
  int32_t truth_values = 0;
  int32_t prediction_values = 0;
  std::vector<double> rewards;
};

// Throws std::invalid_argument when the grids and rewards do not fit.
void check_grid_pair(const GridPair& pair, const char* name);

// The true-positive score of the pair: the rewards summed over the grid
// cells that the factored 2D-MSS matches. Cost: O(R1 R2 C1 C2) time for
// grids of R1 x C1 and R2 x C2 cells, O(R1 R2 + C1 C2) memory.
double grid_match_score(const GridPair& pair, const StopFlag* stop = nullptr);

// The scores of many pairs on `workers` threads; throws OperationStopped
// once `stop` is set. `done` (optional) counts the pairs finished.
std::vector<double> grid_match_scores(const std::vector<GridPair>& pairs, int32_t workers, const StopFlag* stop,
                                      std::atomic<int64_t>* done = nullptr);

}  // namespace grix
