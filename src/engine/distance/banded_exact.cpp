// Exact distances of large, close pairs in band memory (band_kernel.h), with
// the full schedule where a band would cost more or the costs allow none.

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "distance/band_kernel.h"
#include "distance/keyroot_schedule.h"
#include "join/join_bounds.h"
#include "shared/entry_checks.h"
#include "shared/memory_budget.h"

namespace grix {

namespace {

// A band cell costs about this many full-schedule cells (the band's index
// arithmetic and the reads outside it). An estimate, not yet fitted: it only
// decides which exact computation runs, never the result.
constexpr double BAND_CELL_PRICE = 2.0;

// The first band tried when no bound says more.
constexpr int32_t FIRST_BAND = 16;

bool indel_allows_band(const std::vector<int32_t>& costs) {
  return std::all_of(costs.begin(), costs.end(), [](int32_t cost) { return cost >= 1; });
}

bool renames_allow_band(const MatrixView<int32_t>& matrix) {
  if (!matrix.given()) return true;
  for (int32_t r = 0; r < matrix.rows; ++r) {
    const int32_t* row = matrix.row(r);
    if (std::any_of(row, row + matrix.columns, [](int32_t cost) { return cost < 0; })) return false;
  }
  return true;
}

double band_bytes(int32_t n1, int32_t n2, int32_t k) {
  const double width = 2.0 * k + 1;
  return heap_block_bytes((n1 + 2.0) * width * 4) + heap_block_bytes(n1 * width * 4) +
         heap_block_bytes((n1 + n2 + 2.0) * 8) + heap_block_bytes(n2 * 4.0);
}

// The unit-cost string distance of the two pre-order (and post-order) label
// sequences, found by doubling its bound up to `ceiling`: a lower bound on
// the tree distance (see bounded_sequence_distance) at O(n * bound) each.
int32_t sequence_lower_bound(const PreparedTree& tree1, const PreparedTree& tree2, int32_t ceiling) {
  std::vector<int32_t> row;
  auto bound_of = [&](const std::vector<int32_t>& a, const std::vector<int32_t>& b) {
    for (int32_t bound = FIRST_BAND;; bound *= 2) {
      bound = std::min(bound, ceiling);
      const int32_t d = bounded_sequence_distance(a.data(), static_cast<int32_t>(a.size()), b.data(),
                                                  static_cast<int32_t>(b.size()), bound, row);
      if (d <= bound || bound >= ceiling) return d;
    }
  };
  const int32_t pre = bound_of(tree1.codes, tree2.codes);
  return std::max(pre, bound_of(postorder_codes(tree1), postorder_codes(tree2)));
}

}  // namespace

// Bands K = start, 2 start, ... until one certifies the distance (result <=
// K), reaches `upper` (a known upper bound, which certifies) or max_distance
// (whose refusal is the answer). Returns -1 when the bands run so far and the
// next one would together cost more than the full schedule (`full_cells`)
// and the full schedule fits: a pair that is not close then costs at most
// about twice the full schedule, however many bands it doubled through
// (weighted costs have no lower bound to start from, and RNA pairs of 200
// nodes ran 4 to 5 times slower when each band was priced alone).
template <typename Rename, typename Indel>
int32_t search_bands(const PreparedTree& tree1, const PreparedTree& tree2, const Rename& rename,
                     const Indel& indel, int32_t start, int32_t upper, int32_t max_distance, double full_cells,
                     bool full_fits, BandScratch& scratch, const StopFlag* stop, std::atomic<int64_t>* cells_done) {
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
      check_memory_budget(needed, 1, "a banded distance between trees of " + std::to_string(n1) + " and " +
                                         std::to_string(n2) + " nodes (band " + std::to_string(2 * k + 1) + ")");
    }
    const int32_t result = band_kernel(tree1, tree2, k, rename, indel, scratch, stop, cells_done);
    if (result <= k || last) return result;
    k = static_cast<int32_t>(std::min<int64_t>(2 * static_cast<int64_t>(std::max(k, 1)), upper));
    if (upper <= 2 * static_cast<int64_t>(k)) k = upper;
  }
}

bool costs_allow_band(const PairCosts<int32_t>& costs) {
  return indel_allows_band(costs.delete_costs) && indel_allows_band(costs.insert_costs) &&
         renames_allow_band(costs.rename_by_node) && renames_allow_band(costs.rename_by_label);
}

int32_t compute_distance_within(const OrientedTree& tree1, const OrientedTree& tree2,
                                const PairCosts<int32_t>& costs, int32_t max_distance, int32_t num_threads,
                                const StopFlag* stop, std::atomic<int64_t>* cells_done, Algorithm algorithm) {
  check_pair_costs(costs, tree1, tree2);
  const int32_t n1 = tree1.size();
  const int32_t n2 = tree2.size();
  const int32_t refused = max_distance >= 0 ? max_distance + 1 : -1;
  auto full = [&] {
    const int32_t d = compute_oriented_distance(tree1, tree2, costs, num_threads, stop, cells_done, algorithm);
    return refused >= 0 ? std::min(d, refused) : d;
  };
  if (n1 == 0 || n2 == 0 || algorithm != Algorithm::automatic || !costs_allow_band(costs)) return full();
  // Every delete and insert costs at least 1: at least |n1 - n2| of them.
  if (refused >= 0 && std::abs(n1 - n2) > max_distance) return refused;

  double full_cells = 0;
  const bool mirror = mirrored_is_cheaper(tree1, tree2, &full_cells);
  const PreparedTree& t1 = mirror ? tree1.mirrored : tree1.given;
  const PreparedTree& t2 = mirror ? tree2.mirrored : tree2.given;
  // The band pays for itself only where the full schedule is large.
  if (full_cells < 1e6) return full();
  const bool per_node_indel = !costs.delete_costs.empty() || !costs.insert_costs.empty();
  const double full_bytes = estimate_pair_bytes(n1, n2, static_cast<int64_t>(t1.keyroots.size()),
                                                static_cast<int64_t>(t2.keyroots.size()),
                                                effective_worker_count(num_threads, n1, n2), 4, true, per_node_indel);
  const bool full_fits = full_bytes < UNCHECKED_BYTES || full_bytes <= available_memory_bytes();

  // Bounds from label equality hold for unit costs only.
  const bool unit = !per_node_indel && !costs.rename_by_node.given() && !costs.rename_by_label.given();
  int32_t start = std::max(std::abs(n1 - n2), FIRST_BAND);
  // Without a bound the bands double until one certifies (the memory check
  // and the full schedule's price end the doubling first).
  int32_t upper = std::numeric_limits<int32_t>::max() / 4;
  if (!unit && refused < 0) {
    // Other costs give no bound to start the bands from, and doubling them
    // blindly over a pair that is not close costs more than the full
    // schedule (4 times, on RNA pairs of 200 nodes). Label sequences far
    // apart say it is not, at a small share of the price; they choose the
    // computation only, never the result.
    const int32_t ceiling = std::max(FIRST_BAND, std::min(n1, n2) / 8);
    if (sequence_lower_bound(t1, t2, ceiling) >= ceiling) return full();
  }
  if (unit) {
    UpperBoundScratch bound_scratch;
    upper = top_down_upper_bound(t1, t2, bound_scratch);
    const int32_t ceiling = refused >= 0 ? std::min(upper, refused) : upper;
    const int32_t lower = sequence_lower_bound(t1, t2, ceiling);
    if (refused >= 0 && lower > max_distance) return refused;
    start = std::max(lower, 1);
  }
  start = std::min(start, upper);

  BandScratch scratch;
  auto search = [&](const auto& rename, const auto& indel) {
    return search_bands(t1, t2, rename, indel, start, upper, max_distance, full_cells, full_fits, scratch, stop,
                        cells_done);
  };
  std::vector<int32_t> deletes, inserts;
  auto with_rename = [&](const auto& indel) {
    if (costs.rename_by_node.given()) {
      if (!mirror) return search(costs.rename_by_node, indel);
      const PermutedMatrix<const int32_t> permuted{costs.rename_by_node.values, costs.rename_by_node.columns,
                                                   tree1.mirrored_to_given.data(), tree2.mirrored_to_given.data()};
      return search(permuted, indel);
    }
    if (costs.rename_by_label.given()) {
      return search(CodeTableRename<int32_t>{t1.codes.data(), t2.codes.data(), costs.rename_by_label.values,
                                             costs.rename_by_label.columns},
                    indel);
    }
    return search(CodeEqualityRename<int32_t>{t1.codes.data(), t2.codes.data()}, indel);
  };
  int32_t result;
  if (per_node_indel) {
    auto oriented = [&](const std::vector<int32_t>& given, const OrientedTree& tree, std::vector<int32_t>& out) {
      out.assign(static_cast<size_t>(tree.size()), 1);
      if (given.empty()) return;
      for (int32_t v = 0; v < tree.size(); ++v) out[v] = given[mirror ? tree.mirrored_to_given[v] : v];
    };
    oriented(costs.delete_costs, tree1, deletes);
    oriented(costs.insert_costs, tree2, inserts);
    result = with_rename(NodeIndel<int32_t>{deletes.data(), inserts.data()});
  } else {
    result = with_rename(UnitIndel{});
  }
  if (result < 0) return full();
  return result;
}

}  // namespace grix
