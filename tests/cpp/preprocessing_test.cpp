#include <gtest/gtest.h>

#include "distance/tree_preprocessing.h"

namespace grix {
namespace {

using Ids = std::vector<int32_t>;

struct Expected {
  Ids parents;
  Ids rightmost_leaf;
  Ids keyroots;
};

TEST(Preprocessing, KnownTrees) {
  const std::vector<Expected> cases = {
      {{-1}, {0}, {0}},
      {{-1, 0, 1, 2, 3}, {4, 4, 4, 4, 4}, {0}},                   // a path
      {{-1, 0, 0, 0, 0}, {4, 1, 2, 3, 4}, {3, 2, 1, 0}},          // a root with four leaves
      {{-1, 0, 1, 1, 0, 4, 4}, {6, 3, 2, 3, 6, 5, 6}, {5, 2, 1, 0}},
      {{-1, 0, -1, 2}, {1, 1, 3, 3}, {2, 0}},                     // two trees
      {{-1, 0, 0, 2, 2}, {4, 1, 4, 3, 4}, {3, 1, 0}},
      {{-1, 0, -5, 2}, {1, 1, 3, 3}, {2, 0}},                     // any negative parent is a root
      {{}, {}, {}},
  };
  for (const Expected& c : cases) {
    const Ids rightmost_leaf = compute_rightmost_leaves(build_children(c.parents));
    EXPECT_EQ(rightmost_leaf, c.rightmost_leaf);
    EXPECT_EQ(compute_keyroots(rightmost_leaf), c.keyroots);
  }
}

TEST(Preprocessing, ChildrenInAscendingOrder) {
  const auto children = build_children({-1, 0, 0, 2, 2});
  EXPECT_EQ(children, (std::vector<Ids>{{1, 2}, {}, {3, 4}, {}, {}}));
}

TEST(Preprocessing, LargePathAndStarAreLinear) {
  // A quadratic walk or sort would take minutes here.
  const int32_t n = 200000;
  Ids path(n), star(n, 0);
  for (int32_t i = 0; i < n; ++i) path[i] = i - 1;
  star[0] = -1;
  const Ids path_leaves = compute_rightmost_leaves(build_children(path));
  EXPECT_EQ(path_leaves.front(), n - 1);
  EXPECT_EQ(compute_keyroots(path_leaves), Ids{0});
  const Ids star_keyroots = compute_keyroots(compute_rightmost_leaves(build_children(star)));
  ASSERT_EQ(star_keyroots.size(), static_cast<size_t>(n - 1));
  EXPECT_EQ(star_keyroots.front(), n - 2);
  EXPECT_EQ(star_keyroots.back(), 0);
}

TEST(TreeInputCheck, AcceptsPreorderTreesAndForests) {
  const std::vector<std::string> five(5, "a");
  EXPECT_NO_THROW(check_tree_input(five, {-1, 0, 0, 2, 2}, "labels1", "parents1"));
  EXPECT_NO_THROW(check_tree_input(five, {-1, 0, 1, 0, -1}, "labels1", "parents1"));
  EXPECT_NO_THROW(check_tree_input({}, {}, "labels1", "parents1"));
}

TEST(TreeInputCheck, RejectsWithArgumentIndexAndValue) {
  const std::vector<std::pair<Ids, std::string>> bad = {
      {{-1, 0, 5}, "parents2[2] = 5"},          // out of range
      {{-1, 1}, "parents2[1] = 1"},             // its own parent
      {{1, 0}, "parents2[0] = 1"},              // a cycle
      {{0}, "parents2[0] = 0"},                 // the first node cannot have a parent
      {{-1, 0, 1, 0, 2}, "parents2[4] = 2"},    // not contiguous: 2's subtree was closed
      {{-1, 0, 0, 1}, "parents2[3] = 1"},       // a later sibling's child under an earlier one
  };
  for (const auto& [parents, message] : bad) {
    const std::vector<std::string> labels(parents.size(), "x");
    try {
      check_tree_input(labels, parents, "labels2", "parents2");
      ADD_FAILURE() << "accepted " << message;
    } catch (const std::invalid_argument& e) {
      EXPECT_NE(std::string(e.what()).find(message), std::string::npos) << e.what();
    }
  }
}

TEST(TreeInputCheck, RejectsLengthMismatch) {
  try {
    check_tree_input({"a", "b"}, {-1}, "labels1", "parents1");
    ADD_FAILURE();
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "labels1 has 2 entries but parents1 has 1");
  }
}

}  // namespace
}  // namespace grix
