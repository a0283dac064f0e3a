// The factored 2D-MSS of grits-metric (grits/grits.py, factored_2dmss),
// written so that every sum and comparison happens on the same doubles in the
// same order: the alignments and their ties, hence the scores, are its own.

#include "grid_similarity.h"

#include <algorithm>
#include <atomic>
#include <stdexcept>
#include <string>
#include <utility>

#include "shared/stopping.h"
#include "shared/worker_threads.h"

namespace grix {

namespace {

// Traceback moves, as grits-metric's pointers: 0 diagonal (a matched pair),
// -1 up (skip an item of the true sequence), 1 left (skip a predicted one).
enum Move : int8_t { diagonal = 0, up = -1, left = 1 };

class Matcher {
 public:
  explicit Matcher(const GridPair& pair) : pair_(pair) {}

  // Reward between true grid cell (i, j) and predicted grid cell (k, l).
  double reward(int32_t i, int32_t j, int32_t k, int32_t l) const {
    const int32_t t = pair_.truth.values[static_cast<size_t>(i) * pair_.truth.columns + j];
    const int32_t p = pair_.prediction.values[static_cast<size_t>(k) * pair_.prediction.columns + l];
    return pair_.rewards[static_cast<size_t>(t) * pair_.prediction_values + p];
  }

  double score(const StopFlag* stop) {
    const int32_t rows1 = pair_.truth.rows, columns1 = pair_.truth.columns;
    const int32_t rows2 = pair_.prediction.rows, columns2 = pair_.prediction.columns;
    // Same shape, and the grid cells paired in place already score more than
    // any smaller substructure could: that pairing is the answer.
    if (rows1 == rows2 && columns1 == columns2) {
      double identity = 0.0;
      for (int32_t i = 0; i < rows1; ++i)
        for (int32_t j = 0; j < columns1; ++j) identity += reward(i, j, i, j);
      if (identity >= static_cast<double>((std::max(rows1, columns1) - 1) * std::min(rows1, columns1))) {
        return identity;
      }
    }
    const auto [true_rows, predicted_rows] = align_outer(
        rows1, rows2, columns1, columns2, [this](int32_t i, int32_t j, int32_t k, int32_t l) { return reward(i, j, k, l); },
        stop);
    // Same number of columns, matched rows scoring within 1 of perfect:
    // dropping a column could not do better.
    if (columns1 == columns2) {
      double total = 0.0;
      for (size_t r = 0; r < true_rows.size(); ++r)
        for (int32_t j = 0; j < columns1; ++j) total += reward(true_rows[r], j, predicted_rows[r], j);
      if (total >= static_cast<double>(static_cast<int64_t>(true_rows.size()) * columns1 - 1)) return total;
    }
    const auto [true_columns, predicted_columns] = align_outer(
        columns1, columns2, rows1, rows2,
        [this](int32_t j, int32_t i, int32_t l, int32_t k) { return reward(i, j, k, l); }, stop);
    double total = 0.0;
    for (size_t r = 0; r < true_rows.size(); ++r)
      for (size_t c = 0; c < true_columns.size(); ++c)
        total += reward(true_rows[r], true_columns[c], predicted_rows[r], predicted_columns[c]);
    return total;
  }

 private:
  // The best alignment score of true line `a` against predicted line `b`
  // (each of `inner1`, `inner2` items), one DP row at a time.
  template <typename Reward>
  double align_inner(int32_t a, int32_t b, int32_t inner1, int32_t inner2, const Reward& reward) {
    previous_.assign(static_cast<size_t>(inner2) + 1, 0.0);
    current_.assign(static_cast<size_t>(inner2) + 1, 0.0);
    for (int32_t i = 1; i <= inner1; ++i) {
      current_[0] = 0.0;
      for (int32_t j = 1; j <= inner2; ++j) {
        const double diag = previous_[j - 1] + reward(a, i - 1, b, j - 1);
        current_[j] = std::max(diag, std::max(previous_[j], current_[j - 1]));
      }
      std::swap(previous_, current_);
    }
    return previous_[inner2];
  }

  // grits-metric's _align_2d_outer: lines (rows, or columns with the reward
  // transposed) aligned by the scores of their inner alignments; the matched
  // true and predicted lines in order, ties broken as there.
  template <typename Reward>
  std::pair<std::vector<int32_t>, std::vector<int32_t>> align_outer(int32_t outer1, int32_t outer2, int32_t inner1,
                                                                    int32_t inner2, const Reward& reward,
                                                                    const StopFlag* stop) {
    const size_t width = static_cast<size_t>(outer2) + 1;
    std::vector<double> scores((static_cast<size_t>(outer1) + 1) * width, 0.0);
    std::vector<int8_t> moves(scores.size(), diagonal);
    for (int32_t i = 1; i <= outer1; ++i) moves[i * width] = up;
    for (int32_t j = 1; j <= outer2; ++j) moves[j] = left;
    for (int32_t i = 1; i <= outer1; ++i) {
      throw_if_stopped(stop);
      for (int32_t j = 1; j <= outer2; ++j) {
        const double diag = scores[(i - 1) * width + j - 1] + align_inner(i - 1, j - 1, inner1, inner2, reward);
        const double skip_predicted = scores[i * width + j - 1];
        const double skip_true = scores[(i - 1) * width + j];
        const double best = std::max(diag, std::max(skip_true, skip_predicted));
        scores[i * width + j] = best;
        moves[i * width + j] = diag == best ? diagonal : skip_true == best ? up : left;
      }
    }
    std::vector<int32_t> first, second;
    for (int32_t i = outer1, j = outer2; i != 0 || j != 0;) {
      const int8_t move = moves[i * width + j];
      if (move == up) {
        --i;
      } else if (move == left) {
        --j;
      } else {
        first.push_back(--i);
        second.push_back(--j);
      }
    }
    std::reverse(first.begin(), first.end());
    std::reverse(second.begin(), second.end());
    return {std::move(first), std::move(second)};
  }

  const GridPair& pair_;
  std::vector<double> previous_, current_;
};

void check_grid(const CellGrid& grid, int32_t values, const std::string& name) {
  if (grid.rows < 0 || grid.columns < 0 ||
      static_cast<int64_t>(grid.rows) * grid.columns != static_cast<int64_t>(grid.values.size())) {
    throw std::invalid_argument(name + ": " + std::to_string(grid.values.size()) + " grid cells for " +
                                std::to_string(grid.rows) + " x " + std::to_string(grid.columns));
  }
  for (const int32_t value : grid.values) {
    if (value < 0 || value >= values) {
      throw std::invalid_argument(name + ": grid cell value " + std::to_string(value) + " outside 0.." +
                                  std::to_string(values - 1));
    }
  }
}

}  // namespace

void check_grid_pair(const GridPair& pair, const char* name) {
  const std::string prefix(name);
  check_grid(pair.truth, pair.truth_values, prefix + " true grid");
  check_grid(pair.prediction, pair.prediction_values, prefix + " predicted grid");
  if (static_cast<int64_t>(pair.truth_values) * pair.prediction_values != static_cast<int64_t>(pair.rewards.size())) {
    throw std::invalid_argument(prefix + ": " + std::to_string(pair.rewards.size()) + " rewards for " +
                                std::to_string(pair.truth_values) + " x " + std::to_string(pair.prediction_values) +
                                " distinct values");
  }
}

double grid_match_score(const GridPair& pair, const StopFlag* stop) { return Matcher(pair).score(stop); }

std::vector<double> grid_match_scores(const std::vector<GridPair>& pairs, int32_t workers, const StopFlag* stop,
                                      std::atomic<int64_t>* done) {
  std::vector<double> scores(pairs.size(), 0.0);
  std::atomic<size_t> next{0};
  const auto threads = static_cast<int32_t>(std::min<size_t>(static_cast<size_t>(std::max(workers, 1)), pairs.size()));
  run_on_workers(threads, stop, [&](int32_t, const std::atomic<bool>& failed) {
    for (size_t k = next++; k < pairs.size() && !failed; k = next++) {
      throw_if_stopped(stop);
      scores[k] = grid_match_score(pairs[k], stop);
      if (done != nullptr) ++*done;
    }
  });
  return scores;
}

}  // namespace grix
