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
#include <cmath>
#include <exception>
#include <limits>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

#include "keyroot_schedule.h"
#include "memory_budget.h"
#include "tree_edit_distance.h"

namespace grix {

namespace {

// Pairs per block: enough to make handing out blocks cheap, few enough to
// balance the load and to answer a stop quickly.
constexpr int32_t BLOCK_COLUMNS = 64;

struct Scratch {
  IntMatrix costs, tree_dist, forest_dist;
};

// Grows `matrix` to at least rows x columns; never shrinks, since the kernel
// only touches the rectangle of the pair at hand.
void ensure_size(IntMatrix& matrix, int32_t rows, int32_t columns) {
  if (matrix.size() < static_cast<size_t>(rows)) matrix.resize(static_cast<size_t>(rows));
  for (int32_t r = 0; r < rows; ++r) {
    if (matrix[r].size() < static_cast<size_t>(columns)) matrix[r].resize(static_cast<size_t>(columns));
  }
}

int32_t pair_distance(const OrientedTree& a, const OrientedTree& b, const LabelCosts* label_costs,
                      Scratch& scratch, const StopFlag* stop, double* cells) {
  const int32_t n1 = a.size();
  const int32_t n2 = b.size();
  *cells = 0;
  if (n1 == 0 || n2 == 0) return n1 + n2;
  const bool mirror = mirrored_is_cheaper(a, b, cells);
  const PreparedTree& tree1 = mirror ? a.mirrored : a.given;
  const PreparedTree& tree2 = mirror ? b.mirrored : b.given;
  ensure_size(scratch.costs, n1, n2);
  ensure_size(scratch.tree_dist, n1, n2);
  ensure_size(scratch.forest_dist, n1 + 1, n2 + 1);
  const int32_t* const codes2 = tree2.codes.data();
  const bool by_equality = label_costs == nullptr || label_costs->values.empty();
  for (int32_t i = 0; i < n1; ++i) {
    int32_t* const row = scratch.costs[i].data();
    const int32_t code = tree1.codes[i];
    if (by_equality) {
      for (int32_t j = 0; j < n2; ++j) row[j] = codes2[j] != code;
    } else {
      const int32_t* const label_row =
          label_costs->values.data() + static_cast<size_t>(code) * label_costs->columns;
      for (int32_t j = 0; j < n2; ++j) row[j] = label_row[codes2[j]];
    }
  }
  run_keyroot_pairs_in_order(tree1.rightmost_leaf, tree1.keyroots, tree2.rightmost_leaf,
                             tree2.keyroots, scratch.costs, scratch.forest_dist, scratch.tree_dist,
                             stop);
  return scratch.tree_dist[0][0];
}

int32_t largest_tree(const std::vector<OrientedTree>& trees) {
  int32_t largest = 0;
  for (const OrientedTree& tree : trees) largest = std::max(largest, tree.size());
  return largest;
}

void check_codes(const std::vector<OrientedTree>& trees, int32_t code_count, const char* side) {
  for (size_t t = 0; t < trees.size(); ++t) {
    for (int32_t code : trees[t].given.codes) {
      if (code >= code_count) {
        throw std::invalid_argument(std::string(side) + " tree " + std::to_string(t) +
                                    " has label code " + std::to_string(code) +
                                    " but the label cost table has " + std::to_string(code_count));
      }
    }
  }
}

void check_batch(const PairBatch& batch) {
  if (batch.trees_a == nullptr || batch.trees_b == nullptr) {
    throw std::invalid_argument("a batch needs both lists of trees");
  }
  if (batch.layout == PairLayout::listed) {
    if (batch.first.size() != batch.second.size()) {
      throw std::invalid_argument("the listed pairs have " + std::to_string(batch.first.size()) +
                                  " first and " + std::to_string(batch.second.size()) +
                                  " second entries");
    }
    for (size_t k = 0; k < batch.first.size(); ++k) {
      if (batch.first[k] < 0 || static_cast<size_t>(batch.first[k]) >= batch.trees_a->size() ||
          batch.second[k] < 0 || static_cast<size_t>(batch.second[k]) >= batch.trees_b->size()) {
        throw std::invalid_argument("listed pair " + std::to_string(k) + " = (" +
                                    std::to_string(batch.first[k]) + ", " +
                                    std::to_string(batch.second[k]) + ") is out of range");
      }
    }
  }
  const LabelCosts* costs = batch.label_costs;
  if (costs == nullptr || costs->values.empty()) return;
  if (costs->rows < 0 || costs->columns < 0 ||
      costs->values.size() != static_cast<size_t>(costs->rows) * static_cast<size_t>(costs->columns)) {
    throw std::invalid_argument("the label cost table holds " + std::to_string(costs->values.size()) +
                                " values, not rows x columns");
  }
  check_codes(*batch.trees_a, costs->rows, "first");
  check_codes(*batch.trees_b, costs->columns, "second");
  // As for one cost matrix: no pair allows more than min(n1, n2) renames.
  const int64_t lowest = *std::min_element(costs->values.begin(), costs->values.end());
  const int64_t max_renames =
      std::min(largest_tree(*batch.trees_a), largest_tree(*batch.trees_b)) + int64_t{1};
  if (lowest < 0 && lowest * max_renames < std::numeric_limits<int32_t>::min()) {
    throw std::invalid_argument("a label cost of " + std::to_string(lowest) +
                                " is too negative: a distance between these trees could leave "
                                "the 32-bit range");
  }
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

}  // namespace

int64_t batch_result_count(const PairBatch& batch) {
  check_batch(batch);
  const int64_t a = static_cast<int64_t>(batch.trees_a->size());
  switch (batch.layout) {
    case PairLayout::all_pairs_of_a: return a * (a - 1) / 2;
    case PairLayout::a_by_b: return a * static_cast<int64_t>(batch.trees_b->size());
    case PairLayout::listed: break;
  }
  return static_cast<int64_t>(batch.first.size());
}

double batch_cell_count(const PairBatch& batch) {
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

void compute_pair_batch(const PairBatch& batch, int32_t workers, int32_t* out,
                        const StopFlag* stop, std::atomic<int64_t>* cells_done) {
  check_batch(batch);
  const BlockGrid grid = block_grid(batch);
  const int64_t thread_count = std::min<int64_t>(std::max(workers, 1), std::max<int64_t>(grid.count(), 1));
  // Each worker's scratch grows to the largest pair: three matrices.
  const double largest = std::max(largest_tree(*batch.trees_a), largest_tree(*batch.trees_b)) + 1.0;
  const double needed = static_cast<double>(thread_count) * 3 * int_matrix_bytes(largest, largest);
  if (needed >= UNCHECKED_BYTES) {
    check_memory_budget(needed, static_cast<int32_t>(thread_count),
                        "a batch whose largest tree has " + std::to_string(static_cast<int64_t>(largest) - 1) +
                            " nodes");
  }
  std::atomic<int64_t> next_block{0};
  std::atomic<bool> failed{false};
  std::exception_ptr first_failure;
  std::mutex failure_mutex;

  auto work = [&] {
    try {
      Scratch scratch;
      for (int64_t block = next_block++; block < grid.count(); block = next_block++) {
        if (failed.load(std::memory_order_relaxed)) return;
        throw_if_stopped(stop);
        double block_cells = 0;
        for_each_pair_in_block(batch, grid, block, [&](int64_t i, int64_t j, int64_t slot) {
          double cells = 0;
          out[slot] = pair_distance((*batch.trees_a)[i], (*batch.trees_b)[j], batch.label_costs,
                                    scratch, stop, &cells);
          block_cells += cells;
        });
        if (cells_done != nullptr) *cells_done += static_cast<int64_t>(block_cells);
      }
    } catch (...) {
      const std::lock_guard<std::mutex> lock(failure_mutex);
      if (!first_failure) first_failure = std::current_exception();
      failed = true;
    }
  };

  if (thread_count == 1) {
    work();
  } else {
    std::vector<std::thread> threads;
    threads.reserve(static_cast<size_t>(thread_count));
    try {
      for (int64_t t = 0; t < thread_count; ++t) threads.emplace_back(work);
    } catch (...) {
      failed = true;  // the started workers see this and return
      for (std::thread& thread : threads) thread.join();
      throw;
    }
    for (std::thread& thread : threads) thread.join();
  }
  throw_if_stopped(stop);
  if (first_failure) std::rethrow_exception(first_failure);
}

}  // namespace grix
