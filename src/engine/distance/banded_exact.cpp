// Exact distances of large, close pairs in band memory (band_kernel.h), with
// the full schedule where a band would cost more or the costs allow none.

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "distance/band_search.h"
#include "distance/keyroot_schedule.h"
#include "join/join_bounds.h"
#include "shared/entry_checks.h"
#include "shared/memory_budget.h"

namespace grix {

namespace {

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

bool costs_allow_band(const PairCosts<int32_t>& costs) {
  return indel_allows_band(costs.delete_costs) && indel_allows_band(costs.insert_costs) &&
         renames_allow_band(costs.rename_by_node) && renames_allow_band(costs.rename_by_label);
}

BandPlan plan_band(const OrientedTree& tree1, const OrientedTree& tree2, const PairCosts<int32_t>& costs,
                   int32_t refused, int32_t num_threads, int32_t forced_band) {
  BandPlan plan;
  const int32_t n1 = tree1.size();
  const int32_t n2 = tree2.size();
  plan.mirror = mirrored_is_cheaper(tree1, tree2, &plan.full_cells);
  if (forced_band >= 0) {
    plan.use_band = true;
    plan.full_fits = false;
    plan.start = forced_band;
    return plan;
  }
  // The band pays for itself only where the full schedule is large.
  if (plan.full_cells < 1e6) return plan;
  plan.use_band = true;
  const PreparedTree& t1 = plan.mirror ? tree1.mirrored : tree1.given;
  const PreparedTree& t2 = plan.mirror ? tree2.mirrored : tree2.given;
  const bool per_node_indel = !costs.delete_costs.empty() || !costs.insert_costs.empty();
  const double full_bytes = estimate_pair_bytes(n1, n2, static_cast<int64_t>(t1.keyroots.size()),
                                                static_cast<int64_t>(t2.keyroots.size()),
                                                effective_worker_count(num_threads, n1, n2), 4, true, per_node_indel);
  plan.full_fits = full_bytes < UNCHECKED_BYTES || full_bytes <= available_memory_bytes();
  // Bounds from label equality hold for unit costs only.
  const bool unit = !per_node_indel && !costs.rename_by_node.given() && !costs.rename_by_label.given();
  plan.start = std::max(std::abs(n1 - n2), FIRST_BAND);
  // Without a bound the bands double until one certifies (the memory check
  // and the full schedule's price end the doubling first).
  if (!unit && refused < 0) {
    // Other costs give no bound to start the bands from, and doubling them
    // blindly over a pair that is not close costs more than the full
    // schedule (4 times, on RNA pairs of 200 nodes). Label sequences far
    // apart say it is not, at a small share of the price; they choose the
    // computation only, never the result.
    const int32_t ceiling = std::max(FIRST_BAND, std::min(n1, n2) / 8);
    if (sequence_lower_bound(t1, t2, ceiling) >= ceiling) {
      plan.use_band = false;
      return plan;
    }
  }
  if (unit) {
    UpperBoundScratch bound_scratch;
    plan.upper = top_down_upper_bound(t1, t2, bound_scratch);
    const int32_t ceiling = refused >= 0 ? std::min(plan.upper, refused) : plan.upper;
    plan.lower = sequence_lower_bound(t1, t2, ceiling);
    plan.start = std::max(plan.lower, 1);
  }
  plan.start = std::min(plan.start, plan.upper);
  return plan;
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
  const BandPlan plan = plan_band(tree1, tree2, costs, refused, num_threads, -1);
  if (!plan.use_band) return full();
  if (refused >= 0 && plan.lower > max_distance) return refused;
  BandScratch scratch;
  const int32_t result = with_band_costs(tree1, tree2, costs, plan.mirror, [&](const PreparedTree& t1,
                                                                               const PreparedTree& t2,
                                                                               const auto& rename,
                                                                               const auto& indel) {
    int32_t band = 0;
    return search_bands(t1, t2, rename, indel, plan.start, plan.upper, max_distance, plan.full_cells,
                        plan.full_fits, scratch, stop, cells_done, band);
  });
  if (result < 0) return full();
  return result;
}

}  // namespace grix
