// Running a pair in bands: what decides whether a band pays, the search
// over doubling bands, and the pair's costs in the orientation that runs.
// Shared by the banded distance (banded_exact.cpp) and the banded mapping
// (mapping/banded_mapping.cpp).

#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "distance/band_kernel.h"
#include "shared/memory_budget.h"
#include "tree_edit_distance.h"

namespace grix {

// A band cell costs about this many full-schedule cells (the band's index
// arithmetic and the reads outside it). An estimate, not yet fitted: it only
// decides which exact computation runs, never the result.
constexpr double BAND_CELL_PRICE = 2.0;

inline double band_bytes(int32_t n1, int32_t n2, int32_t k) {
  const double width = 2.0 * k + 1;
  return heap_block_bytes((n1 + 2.0) * width * 4) + heap_block_bytes(n1 * width * 4) +
         heap_block_bytes((n1 + n2 + 2.0) * 8) + heap_block_bytes(n2 * 4.0);
}

// Bands K = start, 2 start, ... until one certifies the distance (result <=
// K), reaches `upper` (a known upper bound, which certifies) or max_distance
// (whose refusal is the answer). Returns -1 when the bands run so far and the
// next one would together cost more than the full schedule (`full_cells`)
// and the full schedule fits: a pair that is not close then costs at most
// about twice the full schedule, however many bands it doubled through.
// `band` is the last K run: scratch holds its tables.
template <typename Rename, typename Indel>
int32_t search_bands(const PreparedTree& tree1, const PreparedTree& tree2, const Rename& rename,
                     const Indel& indel, int32_t start, int32_t upper, int32_t max_distance, double full_cells,
                     bool full_fits, BandScratch& scratch, const StopFlag* stop, std::atomic<int64_t>* cells_done,
                     int32_t& band) {
  const int32_t n1 = static_cast<int32_t>(tree1.codes.size());
  const int32_t n2 = static_cast<int32_t>(tree2.codes.size());
  fill_keyroot_above(tree2, scratch.keyroot_above);
  int32_t k = std::max(start, 0);
  if (upper <= 2 * std::max(k, 1)) k = upper;
  double spent = 0;  // band cells run so far, in full-schedule cells
  for (;;) {
    bool last = k >= upper;
    if (max_distance >= 0 && k >= max_distance) {
      k = max_distance;
      last = true;
    }
    const double cells = band_cell_count(tree1, tree2, k, scratch.keyroot_above, full_cells / BAND_CELL_PRICE, stop);
    if (full_fits && spent + cells * BAND_CELL_PRICE > full_cells) return -1;
    spent += cells * BAND_CELL_PRICE;
    const double needed = band_bytes(n1, n2, k);
    if (needed >= UNCHECKED_BYTES) {
      if (full_fits && needed > available_memory_bytes()) return -1;
      check_memory_budget(needed, 1, "a band between trees of " + std::to_string(n1) + " and " +
                                         std::to_string(n2) + " nodes (band " + std::to_string(2 * k + 1) + ")");
    }
    band = k;
    const int32_t result = band_kernel(tree1, tree2, k, rename, indel, scratch, stop, cells_done);
    if (result <= k || last) return result;
    k = static_cast<int32_t>(std::min<int64_t>(2 * static_cast<int64_t>(std::max(k, 1)), upper));
    if (upper <= 2 * static_cast<int64_t>(k)) k = upper;
  }
}

// What decides whether and how a pair runs in bands, found before any band
// runs. A forced first band (the caller's) skips the pricing and the
// bounds: the bands start there and double until one certifies.
struct BandPlan {
  bool use_band = false;
  bool mirror = false;
  double full_cells = 0;
  bool full_fits = true;
  int32_t lower = 0;  // a lower bound on the distance (0 when none is known)
  int32_t start = 0;
  int32_t upper = std::numeric_limits<int32_t>::max() / 4;  // a known upper bound, or far above any
};

// The plan for a pair whose costs allow a band (costs_allow_band) and whose
// trees are not empty; `refused` is max_distance + 1, or -1 for no bound.
BandPlan plan_band(const OrientedTree& tree1, const OrientedTree& tree2, const PairCosts<int32_t>& costs,
                   int32_t refused, int32_t num_threads, int32_t forced_band);

// Calls body(tree1, tree2, rename, indel) with the pair in the plan's
// orientation and its costs in that orientation's numbering.
template <typename Body>
auto with_band_costs(const OrientedTree& tree1, const OrientedTree& tree2, const PairCosts<int32_t>& costs,
                     bool mirror, Body&& body) {
  const PreparedTree& t1 = mirror ? tree1.mirrored : tree1.given;
  const PreparedTree& t2 = mirror ? tree2.mirrored : tree2.given;
  std::vector<int32_t> deletes, inserts;
  auto with_rename = [&](const auto& indel) {
    if (costs.rename_by_node.given()) {
      if (!mirror) return body(t1, t2, costs.rename_by_node, indel);
      const PermutedMatrix<const int32_t> permuted{costs.rename_by_node.values, costs.rename_by_node.columns,
                                                   tree1.mirrored_to_given.data(), tree2.mirrored_to_given.data()};
      return body(t1, t2, permuted, indel);
    }
    if (costs.rename_by_label.given()) {
      return body(t1, t2,
                  CodeTableRename<int32_t>{t1.codes.data(), t2.codes.data(), costs.rename_by_label.values,
                                           costs.rename_by_label.columns},
                  indel);
    }
    return body(t1, t2, CodeEqualityRename<int32_t>{t1.codes.data(), t2.codes.data()}, indel);
  };
  if (costs.delete_costs.empty() && costs.insert_costs.empty()) return with_rename(UnitIndel{});
  auto oriented = [&](const std::vector<int32_t>& given, const OrientedTree& tree, std::vector<int32_t>& out) {
    out.assign(static_cast<size_t>(tree.size()), 1);
    if (given.empty()) return;
    for (int32_t v = 0; v < tree.size(); ++v) out[v] = given[mirror ? tree.mirrored_to_given[v] : v];
  };
  oriented(costs.delete_costs, tree1, deletes);
  oriented(costs.insert_costs, tree2, inserts);
  return with_rename(NodeIndel<int32_t>{deletes.data(), inserts.data()});
}

}  // namespace grix
