// The factored 2D-MSS of GriTS on grids whose best matching is known: equal
// grids, a row or a column deleted, values found only after the shortcuts
// fail; batches on threads against single pairs, and the stop flag.

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <vector>

#include "grid_similarity.h"

namespace {

// A grid whose cell k holds values[k]; rewards 1 between equal values, else 0.
grix::GridPair identity_pair(int32_t rows1, int32_t columns1, std::vector<int32_t> values1, int32_t rows2,
                             int32_t columns2, std::vector<int32_t> values2, int32_t distinct) {
  grix::GridPair pair;
  pair.truth = {rows1, columns1, std::move(values1)};
  pair.prediction = {rows2, columns2, std::move(values2)};
  pair.truth_values = pair.prediction_values = distinct;
  pair.rewards.assign(static_cast<size_t>(distinct) * distinct, 0.0);
  for (int32_t v = 0; v < distinct; ++v) pair.rewards[static_cast<size_t>(v) * distinct + v] = 1.0;
  return pair;
}

TEST(GridSimilarity, EqualGridsMatchEveryCell) {
  const auto pair = identity_pair(2, 3, {0, 1, 2, 3, 4, 5}, 2, 3, {0, 1, 2, 3, 4, 5}, 6);
  EXPECT_EQ(grix::grid_match_score(pair), 6.0);
}

TEST(GridSimilarity, DeletedRowAndColumnLeaveTheRest) {
  // 3 x 3, values 0..8; the prediction lacks row 1 and column 2.
  const std::vector<int32_t> truth{0, 1, 2, 3, 4, 5, 6, 7, 8};
  EXPECT_EQ(grix::grid_match_score(identity_pair(3, 3, truth, 2, 3, {0, 1, 2, 6, 7, 8}, 9)), 6.0);
  EXPECT_EQ(grix::grid_match_score(identity_pair(3, 3, truth, 3, 2, {0, 1, 3, 4, 6, 7}, 9)), 6.0);
  EXPECT_EQ(grix::grid_match_score(identity_pair(3, 3, truth, 2, 2, {0, 1, 6, 7}, 9)), 4.0);
}

TEST(GridSimilarity, ShiftedGridPassesTheShortcuts) {
  // Same shape, every cell moved one column right: in place nothing
  // matches, the alignment finds the 3 x 2 block.
  const auto pair = identity_pair(3, 3, {0, 1, 2, 3, 4, 5, 6, 7, 8}, 3, 3, {9, 0, 1, 9, 3, 4, 9, 6, 7}, 10);
  EXPECT_EQ(grix::grid_match_score(pair), 6.0);
}

TEST(GridSimilarity, EmptyGridsMatchNothing) {
  EXPECT_EQ(grix::grid_match_score(identity_pair(1, 0, {}, 1, 0, {}, 1)), 0.0);
  EXPECT_EQ(grix::grid_match_score(identity_pair(1, 0, {}, 2, 2, {0, 0, 0, 0}, 1)), 0.0);
}

TEST(GridSimilarity, BadPairsAreRefused) {
  auto pair = identity_pair(2, 2, {0, 1, 2}, 1, 1, {0}, 3);
  EXPECT_THROW(grix::check_grid_pair(pair, "p"), std::invalid_argument);
  pair = identity_pair(1, 1, {3}, 1, 1, {0}, 3);
  EXPECT_THROW(grix::check_grid_pair(pair, "p"), std::invalid_argument);
}

TEST(GridSimilarityParallel, BatchesGiveTheSinglePairScores) {
  std::vector<grix::GridPair> pairs;
  for (int32_t k = 0; k < 40; ++k) {
    std::vector<int32_t> truth, prediction;
    for (int32_t v = 0; v < 12; ++v) truth.push_back((v * 7 + k) % 5);
    for (int32_t v = 0; v < 9; ++v) prediction.push_back((v * 3 + k) % 5);
    pairs.push_back(identity_pair(4, 3, truth, 3, 3, prediction, 5));
  }
  const std::vector<double> scores = grix::grid_match_scores(pairs, 2, nullptr);
  ASSERT_EQ(scores.size(), pairs.size());
  for (size_t k = 0; k < pairs.size(); ++k) EXPECT_EQ(scores[k], grix::grid_match_score(pairs[k])) << k;
  const grix::StopFlag stop{true};
  EXPECT_THROW(grix::grid_match_scores(pairs, 2, &stop), grix::OperationStopped);
}

}  // namespace
