// Many pairs of small trees: each worker thread takes blocks of pairs and
// computes one pair at a time with scratch matrices of its own, which grow to
// the largest pair it has met and are reused, so a pair allocates nothing.
//
// Thread safety
// -------------
// The trees and costs are read-only while the workers run. A worker writes its
// own scratch and the result cells of its own blocks; blocks are handed out by
// one atomic counter, so no two workers share a cell. Progress is an atomic
// sum, the first failure is kept under a mutex, and every worker is joined
// before the batch returns or throws.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <exception>
#include <functional>
#include <limits>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <type_traits>

#include "distance/keyroot_schedule.h"
#include "distance/path_strategy.h"
#include "shared/memory_budget.h"
#include "shared/pair_costs.h"
#include "shared/worker_threads.h"
#include "tree_edit_distance.h"

namespace grix {

namespace {

// Pairs per block: enough to make handing out blocks cheap, few enough to
// balance the load and to answer a stop quickly.
constexpr int32_t BLOCK_COLUMNS = 64;

// A worker's matrices and per-node costs. The flat matrices keep the largest
// block they were given and are reshaped for each pair, so a pair allocates
// nothing once its worker has met a pair as large.
// Pairs below this many cells run the full schedule in the worker's scratch.
constexpr double BAND_WORTH_CELLS = 1e6;

template <typename Cost>
struct Scratch {
  FlatMatrix<Cost> rename, tree_dist, forest_dist;
  std::vector<Cost> delete_costs, insert_costs;
  KeyrootSplit split1, split2;
  LeafGroupScratch<Cost> leaf_groups;
};

template <typename Cost>
Cost whole_tree_cost(const std::vector<int32_t>& codes, const std::vector<Cost>& by_code) {
  if (by_code.empty()) return static_cast<Cost>(codes.size());
  Cost sum = 0;
  for (int32_t code : codes) sum += by_code[static_cast<size_t>(code)];
  return sum;
}

// A strategy pair allocates beyond its worker's scratch (which the batch
// checks up front), for as long as it runs, and every worker may meet such a
// pair at once. Each large one is therefore checked against what the process
// can take less what the strategy pairs running on other workers were
// granted: workers cannot all pass their checks and then together run out of
// memory. A pair that does not fit beside the others waits for them to end,
// and is refused only when it would not fit alone. Memory the running pairs
// have allocated already counts twice, which can only make a pair wait.
class StrategyMemoryGate {
 public:
  void enter(double needed, const std::string& subject, const StopFlag* stop) {
    std::unique_lock<std::mutex> lock(mutex_);
    while (running_ > 0 && needed + granted_ > available_memory_bytes()) {
      ended_.wait_for(lock, std::chrono::milliseconds(10));
      throw_if_stopped(stop);
    }
    if (running_ == 0) check_memory_budget(needed, 1, subject);
    granted_ += needed;
    ++running_;
  }
  void leave(double needed) {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      granted_ = --running_ == 0 ? 0 : granted_ - needed;
    }
    ended_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable ended_;
  double granted_ = 0;
  int32_t running_ = 0;
};

// A pair whose keyroot schedule would be far dearer than a path strategy
// (trees whose spine turns side to side): on the worker's thread, in the
// trees' given ids, through the batch's memory gate.
template <typename Cost>
Cost strategy_pair_distance(const OrientedTree& a, const OrientedTree& b, const LabelCosts<Cost>& c,
                            const PathShape& shape1, const PathShape& shape2, const PathPlan& plan,
                            Scratch<Cost>& scratch, StrategyMemoryGate& gate, const StopFlag* stop) {
  const int32_t n1 = a.size();
  const int32_t n2 = b.size();
  const double needed = estimate_strategy_bytes(n1, n2, 1, sizeof(Cost)) + static_cast<double>(n1) * n2 * sizeof(Cost);
  struct Pass {
    StrategyMemoryGate* gate;
    double bytes;
    ~Pass() {
      if (gate != nullptr) gate->leave(bytes);
    }
  } pass{nullptr, needed};
  if (needed >= UNCHECKED_BYTES) {
    gate.enter(needed, "a path strategy between trees of " + std::to_string(n1) + " and " + std::to_string(n2) +
                           " nodes", stop);
    pass.gate = &gate;
  }
  fill_rename_from_label_costs(a.given.codes, b.given.codes, &c, scratch.rename, stop);
  scratch.delete_costs.clear();
  scratch.insert_costs.clear();
  if (!c.delete_costs.empty() || !c.insert_costs.empty()) {
    fill_node_costs(a.given.codes, c.delete_costs, scratch.delete_costs);
    fill_node_costs(b.given.codes, c.insert_costs, scratch.insert_costs);
  }
  run_path_plan<Cost>(a, b, shape1, shape2, plan, MatrixView<Cost>{scratch.rename.row(0), n1, n2},
                      scratch.delete_costs, scratch.insert_costs, 1, scratch.tree_dist, stop, nullptr);
  return scratch.tree_dist.at(0, 0);
}

template <typename Cost>
Cost pair_distance(const OrientedTree& a, const OrientedTree& b, const LabelCosts<Cost>* costs,
                   Scratch<Cost>& scratch, StrategyMemoryGate& gate, const StopFlag* stop, double* cells,
                   Algorithm algorithm) {
  static const LabelCosts<Cost> label_equality;
  const LabelCosts<Cost>& c = costs != nullptr ? *costs : label_equality;
  const int32_t n1 = a.size();
  const int32_t n2 = b.size();
  *cells = 0;
  if (n1 == 0 || n2 == 0) {
    return whole_tree_cost(a.given.codes, c.delete_costs) + whole_tree_cost(b.given.codes, c.insert_costs);
  }
  if (algorithm != Algorithm::keyroot) {
    PathShape shape1, shape2;
    PathPlan plan;
    if (price_algorithms(a, b, algorithm, shape1, shape2, plan, stop).use_strategy) {
      mirrored_is_cheaper(a, b, cells);  // progress counts the pair as the keyroot cells it replaces
      return strategy_pair_distance(a, b, c, shape1, shape2, plan, scratch, gate, stop);
    }
  }
  const bool mirror = mirrored_is_cheaper(a, b, cells);
  const PreparedTree& tree1 = mirror ? a.mirrored : a.given;
  const PreparedTree& tree2 = mirror ? b.mirrored : b.given;
  scratch.tree_dist.reshape(n1, n2);
  scratch.forest_dist.reshape(n1 + 1, n2 + 1);
  auto run_with = [&](const auto& rename) {
    auto run = [&](const auto& indel) {
      run_keyroot_pairs_in_order<Cost>(tree1.rightmost_leaf, tree1.keyroots, tree2.rightmost_leaf,
                                       tree2.keyroots, rename, indel, scratch.forest_dist,
                                       scratch.tree_dist, scratch.split1, scratch.split2, scratch.leaf_groups, stop);
      return scratch.tree_dist.at(0, 0);
    };
    if (c.delete_costs.empty() && c.insert_costs.empty()) return run(UnitIndel{});
    fill_node_costs(tree1.codes, c.delete_costs, scratch.delete_costs);
    fill_node_costs(tree2.codes, c.insert_costs, scratch.insert_costs);
    return run(NodeIndel<Cost>{scratch.delete_costs.data(), scratch.insert_costs.data()});
  };
  // The schedule reads each rename once, so renames that depend on labels
  // only are read through the codes rather than written into a matrix first.
  if (c.rename.empty()) return run_with(CodeEqualityRename<Cost>{tree1.codes.data(), tree2.codes.data()});
  if (c.label_class.empty()) {
    return run_with(CodeTableRename<Cost>{tree1.codes.data(), tree2.codes.data(), c.rename.data(), c.columns});
  }
  fill_rename_from_label_costs(tree1.codes, tree2.codes, &c, scratch.rename, stop);
  return run_with(scratch.rename);
}

int32_t largest_tree(const std::vector<OrientedTree>& trees) {
  int32_t largest = 0;
  for (const OrientedTree& tree : trees) largest = std::max(largest, tree.size());
  return largest;
}

int32_t largest_code(const OrientedTree& tree) {
  int32_t largest = -1;
  for (int32_t code : tree.given.codes) largest = std::max(largest, code);
  return largest;
}

// Checks one cost table for trees whose largest codes are code1 and code2
// and whose sizes are at most n1 and n2; `where` names the table in messages.
template <typename Cost>
void check_label_costs(const LabelCosts<Cost>& costs, int32_t code1, int32_t code2, int32_t n1, int32_t n2,
                       const std::string& where) {
  if (costs.rows < 0 || costs.columns < 0) throw std::invalid_argument(where + " has a negative size");
  const size_t cells = static_cast<size_t>(costs.rows) * static_cast<size_t>(costs.columns);
  if (!costs.rename.empty() && costs.rename.size() != cells) {
    throw std::invalid_argument(where + " holds " + std::to_string(costs.rename.size()) +
                                " rename costs, not rows x columns");
  }
  // Each table covers the codes of the trees it applies to: renames both
  // sides, delete costs the first trees' codes, insert costs the second's.
  // A side whose trees have no node at all has largest code -1: nothing to cover.
  auto check_covers = [&](size_t count, int32_t code, const char* what) {
    if (count != 0 && code >= 0 && static_cast<size_t>(code) >= count) {
      throw std::invalid_argument("a tree has label code " + std::to_string(code) + " but " + where +
                                  " has " + what + " for " + std::to_string(count) + " codes");
    }
  };
  if (!costs.rename.empty() && costs.label_class.empty()) {
    check_covers(static_cast<size_t>(costs.rows), code1, "renames");
    check_covers(static_cast<size_t>(costs.columns), code2, "renames");
  }
  if (!costs.rename.empty()) check_label_classes(costs, std::max(code1, code2) + 1);
  check_covers(costs.delete_costs.size(), code1, "delete costs");
  check_covers(costs.insert_costs.size(), code2, "insert costs");
  check_cost_values(costs.rename.data(), costs.rename.size(), costs.columns, "rename", false);
  check_cost_values(costs.delete_costs.data(), costs.delete_costs.size(), 0, "delete", true);
  check_cost_values(costs.insert_costs.data(), costs.insert_costs.size(), 0, "insert", true);
  if constexpr (std::is_integral_v<Cost>) {
    auto highest = [](const std::vector<Cost>& values) {
      return values.empty() ? int64_t{1} : static_cast<int64_t>(*std::max_element(values.begin(), values.end()));
    };
    const int64_t lowest_rename = lowest_label_rename(costs);
    check_int32_sums(highest(costs.delete_costs) * n1 + highest(costs.insert_costs) * n2, lowest_rename,
                     std::min(n1, n2) + int64_t{1});
  }
}

void check_pairs(const PairBatch& batch) {
  if (batch.trees_a == nullptr || batch.trees_b == nullptr) {
    throw std::invalid_argument("a batch needs both lists of trees");
  }
  if (batch.layout != PairLayout::listed) return;
  if (batch.first.size() != batch.second.size()) {
    throw std::invalid_argument("the listed pairs have " + std::to_string(batch.first.size()) +
                                " first and " + std::to_string(batch.second.size()) + " second entries");
  }
  for (size_t k = 0; k < batch.first.size(); ++k) {
    if (batch.first[k] < 0 || static_cast<size_t>(batch.first[k]) >= batch.trees_a->size() ||
        batch.second[k] < 0 || static_cast<size_t>(batch.second[k]) >= batch.trees_b->size()) {
      throw std::invalid_argument("listed pair " + std::to_string(k) + " = (" +
                                  std::to_string(batch.first[k]) + ", " + std::to_string(batch.second[k]) +
                                  ") is out of range");
    }
  }
}

template <typename Cost>
void check_batch_costs(const PairBatch& batch, const BatchCosts<Cost>& costs) {
  if (costs.pair_costs != nullptr) {
    if (batch.layout != PairLayout::listed || costs.pair_costs->size() != batch.first.size()) {
      throw std::invalid_argument("per-pair cost tables need the listed layout, one table per pair");
    }
    for (size_t k = 0; k < batch.first.size(); ++k) {
      const OrientedTree& a = (*batch.trees_a)[batch.first[k]];
      const OrientedTree& b = (*batch.trees_b)[batch.second[k]];
      check_label_costs((*costs.pair_costs)[k], largest_code(a), largest_code(b), a.size(), b.size(),
                        "the cost table of pair " + std::to_string(k));
    }
    return;
  }
  if (costs.label_costs == nullptr) return;
  int32_t code1 = -1, code2 = -1;
  for (const OrientedTree& tree : *batch.trees_a) code1 = std::max(code1, largest_code(tree));
  for (const OrientedTree& tree : *batch.trees_b) code2 = std::max(code2, largest_code(tree));
  check_label_costs(*costs.label_costs, code1, code2, largest_tree(*batch.trees_a),
                    largest_tree(*batch.trees_b), "the label cost table");
}

// Blocks form a grid: row i of trees_a by columns [c * BLOCK_COLUMNS, ...)
// of trees_b (the listed layout: one row of listed pairs). In the all-pairs
// layout, blocks wholly on or below the diagonal are empty and skipped.
struct BlockGrid {
  int64_t rows, blocks_per_row;
  int64_t count() const { return rows * blocks_per_row; }
};

BlockGrid block_grid(const PairBatch& batch) {
  const int64_t columns = batch.layout == PairLayout::listed
                              ? static_cast<int64_t>(batch.first.size())
                              : static_cast<int64_t>(batch.trees_b->size());
  const int64_t rows = batch.layout == PairLayout::listed
                           ? 1
                           : static_cast<int64_t>(batch.trees_a->size());
  return {rows, (columns + BLOCK_COLUMNS - 1) / BLOCK_COLUMNS};
}

template <typename Visit>
void for_each_pair_in_block(const PairBatch& batch, const BlockGrid& grid, int64_t block,
                            Visit&& visit) {
  const int64_t row = block / grid.blocks_per_row;
  const int64_t begin = (block % grid.blocks_per_row) * BLOCK_COLUMNS;
  if (batch.layout == PairLayout::listed) {
    const int64_t end = std::min<int64_t>(begin + BLOCK_COLUMNS, batch.first.size());
    for (int64_t k = begin; k < end; ++k) visit(batch.first[k], batch.second[k], k);
    return;
  }
  const int64_t width = static_cast<int64_t>(batch.trees_b->size());
  const int64_t end = std::min(begin + BLOCK_COLUMNS, width);
  if (batch.layout == PairLayout::a_by_b) {
    for (int64_t j = begin; j < end; ++j) visit(row, j, row * width + j);
    return;
  }
  // Condensed index of (row, j), j > row: the rows above hold
  // row * width - row * (row + 1) / 2 entries.
  const int64_t row_offset = row * width - row * (row + 1) / 2 - row - 1;
  for (int64_t j = std::max(begin, row + 1); j < end; ++j) visit(row, j, row_offset + j);
}

// The W largest cell counts (n1 + 1) * (n2 + 1) among the pairs of a batch,
// largest first. Each worker's scratch grows to the largest pair it has run,
// and no two workers run the same pair, so the scratch of all workers
// together never exceeds what the W largest pairs need. Among all pairs of
// one list, the W largest products lie within its W + 1 largest trees: a
// pair (i, j) with j further down is matched or beaten by the W pairs of i
// with those trees.
std::vector<double> largest_pair_cells(const PairBatch& batch, int32_t workers) {
  const size_t keep = static_cast<size_t>(std::max(workers, 1));
  auto sizes_descending = [](const std::vector<OrientedTree>& trees, size_t count) {
    std::vector<double> sizes;
    sizes.reserve(trees.size());
    for (const OrientedTree& tree : trees) sizes.push_back(tree.size() + 1.0);
    count = std::min(count, sizes.size());
    std::partial_sort(sizes.begin(), sizes.begin() + static_cast<std::ptrdiff_t>(count), sizes.end(),
                      std::greater<double>());
    sizes.resize(count);
    return sizes;
  };
  std::vector<double> products;
  if (batch.layout == PairLayout::listed) {
    for (size_t k = 0; k < batch.first.size(); ++k) {
      products.push_back(((*batch.trees_a)[batch.first[k]].size() + 1.0) *
                         ((*batch.trees_b)[batch.second[k]].size() + 1.0));
    }
  } else if (batch.layout == PairLayout::a_by_b) {
    for (double x : sizes_descending(*batch.trees_a, keep)) {
      for (double y : sizes_descending(*batch.trees_b, keep)) products.push_back(x * y);
    }
  } else {
    const std::vector<double> top = sizes_descending(*batch.trees_a, keep + 1);
    for (size_t i = 0; i < top.size(); ++i) {
      for (size_t j = i + 1; j < top.size(); ++j) products.push_back(top[i] * top[j]);
    }
  }
  const size_t count = std::min(keep, products.size());
  std::partial_sort(products.begin(), products.begin() + static_cast<std::ptrdiff_t>(count), products.end(),
                    std::greater<double>());
  products.resize(count);
  return products;
}

}  // namespace

int64_t batch_result_count(const PairBatch& batch) {
  check_pairs(batch);
  const int64_t a = static_cast<int64_t>(batch.trees_a->size());
  switch (batch.layout) {
    case PairLayout::all_pairs_of_a: return a * (a - 1) / 2;
    case PairLayout::a_by_b: return a * static_cast<int64_t>(batch.trees_b->size());
    case PairLayout::listed: break;
  }
  return static_cast<int64_t>(batch.first.size());
}

double batch_cell_count(const PairBatch& batch) {
  check_pairs(batch);
  const BlockGrid grid = block_grid(batch);
  double total = 0;
  for (int64_t block = 0; block < grid.count(); ++block) {
    for_each_pair_in_block(batch, grid, block, [&](int64_t i, int64_t j, int64_t) {
      double cells = 0;
      mirrored_is_cheaper((*batch.trees_a)[i], (*batch.trees_b)[j], &cells);
      total += cells;
    });
  }
  return total;
}

// A pair under the batch's bound. Large int32 pairs whose costs allow a band
// go through compute_distance_within, which runs a band where that is
// cheaper (with its own memory, checked there); the rest run as before,
// capped at the bound.
template <typename Cost>
Cost bounded_pair_distance(const OrientedTree& a, const OrientedTree& b, const LabelCosts<Cost>* costs,
                           Scratch<Cost>& scratch, StrategyMemoryGate& gate, const StopFlag* stop, double* cells,
                           Algorithm algorithm, int32_t max_distance) {
  if constexpr (std::is_same_v<Cost, int32_t>) {
    double full_cells = 0;
    mirrored_is_cheaper(a, b, &full_cells);
    if (algorithm == Algorithm::automatic && a.size() > 0 && b.size() > 0 && full_cells >= BAND_WORTH_CELLS &&
        (costs == nullptr || costs->label_class.empty())) {
      PairCosts<int32_t> pair;
      if (costs != nullptr && !costs->rename.empty()) pair.rename_by_label = {costs->rename.data(), costs->rows, costs->columns};
      if (costs != nullptr && (!costs->delete_costs.empty() || !costs->insert_costs.empty())) {
        fill_node_costs(a.given.codes, costs->delete_costs, pair.delete_costs);
        fill_node_costs(b.given.codes, costs->insert_costs, pair.insert_costs);
      }
      if (costs_allow_band(pair)) {
        *cells = full_cells;
        return compute_distance_within(a, b, pair, max_distance, 1, stop, nullptr, algorithm);
      }
    }
  }
  const Cost d = pair_distance(a, b, costs, scratch, gate, stop, cells, algorithm);
  return max_distance >= 0 ? std::min(d, static_cast<Cost>(max_distance) + 1) : d;
}

template <typename Cost>
void compute_pair_batch(const PairBatch& batch, const BatchCosts<Cost>& costs, int32_t workers, Cost* out,
                        const StopFlag* stop, std::atomic<int64_t>* cells_done) {
  check_pairs(batch);
  check_batch_costs(batch, costs);
  const BlockGrid grid = block_grid(batch);
  const int64_t thread_count = std::min<int64_t>(std::max(workers, 1), std::max<int64_t>(grid.count(), 1));
  // Each worker's scratch: the rename costs, the subtree distances and the
  // forest table of the largest pair it runs, and its per-node costs.
  double needed = 0;
  double largest = 0;
  for (double cells : largest_pair_cells(batch, static_cast<int32_t>(thread_count))) {
    needed += 3 * heap_block_bytes(cells * sizeof(Cost)) + 2 * heap_block_bytes(std::sqrt(cells) * sizeof(Cost));
    largest = std::max(largest, cells);
  }
  if (needed >= UNCHECKED_BYTES) {
    check_memory_budget(needed, static_cast<int32_t>(thread_count),
                        "a batch whose largest pair has " + std::to_string(static_cast<int64_t>(largest)) +
                            " cells");
  }
  std::atomic<int64_t> next_block{0};
  StrategyMemoryGate strategy_gate;
  run_on_workers(static_cast<int32_t>(thread_count), stop, [&](int32_t, const std::atomic<bool>& failed) {
    Scratch<Cost> scratch;
    for (int64_t block = next_block++; block < grid.count(); block = next_block++) {
      if (failed.load(std::memory_order_relaxed)) return;
      throw_if_stopped(stop);
      double block_cells = 0;
      for_each_pair_in_block(batch, grid, block, [&](int64_t i, int64_t j, int64_t slot) {
        const LabelCosts<Cost>* pair_costs =
            costs.pair_costs != nullptr ? &(*costs.pair_costs)[static_cast<size_t>(slot)] : costs.label_costs;
        double cells = 0;
        out[slot] = bounded_pair_distance((*batch.trees_a)[i], (*batch.trees_b)[j], pair_costs, scratch,
                                          strategy_gate, stop, &cells, batch.algorithm, batch.max_distance);
        block_cells += cells;
      });
      if (cells_done != nullptr) *cells_done += static_cast<int64_t>(block_cells);
    }
  });
}

template void compute_pair_batch<int32_t>(const PairBatch&, const BatchCosts<int32_t>&, int32_t, int32_t*,
                                          const StopFlag*, std::atomic<int64_t>*);
template void compute_pair_batch<double>(const PairBatch&, const BatchCosts<double>&, int32_t, double*,
                                         const StopFlag*, std::atomic<int64_t>*);

}  // namespace grix
