#include <gtest/gtest.h>

#include <climits>
#include <new>
#include <stdexcept>

#include "test_support.h"
#include "tree_edit_distance.h"

namespace grix {
namespace {

using Labels = std::vector<std::string>;
using Ids = std::vector<int32_t>;
using grix_test::Tree;

const Tree A{{"a", "b", "c", "d", "e"}, {-1, 0, 0, 2, 2}};
const Tree B{{"a", "c", "d", "e"}, {-1, 0, 1, 1}};
const Tree C{{"a", "b", "c", "d", "x"}, {-1, 0, 0, 2, 2}};
const Tree D{{"f"}, {-1}};

int32_t uniform(const Tree& t1, const Tree& t2, int32_t threads = 1) {
  return compute_tree_edit_distance_uniform(t1.labels, t1.parents, t2.labels, t2.parents, threads);
}

int32_t general(const Tree& t1, const Tree& t2, const IntMatrix& costs, int32_t threads = 1) {
  return compute_tree_edit_distance(t1.labels, t1.parents, t2.labels, t2.parents, costs, threads);
}

IntMatrix constant_costs(int32_t n1, int32_t n2, int32_t value) {
  return IntMatrix(n1, Ids(n2, value));
}

TEST(UniformVariant, KnownDistances) {
  for (const Tree* t : {&A, &B, &C, &D}) EXPECT_EQ(uniform(*t, *t), 0);
  EXPECT_EQ(uniform(A, B), 1);
  EXPECT_EQ(uniform(B, A), 1);
  EXPECT_EQ(uniform(A, C), 1);
  EXPECT_EQ(uniform(A, D), 5);
  EXPECT_EQ(uniform(D, A), 5);
}

TEST(UniformVariant, LabelsCompareByteForByte) {
  EXPECT_EQ(uniform({{"a"}, {-1}}, {{"A"}, {-1}}), 1);
  EXPECT_EQ(uniform({{""}, {-1}}, {{""}, {-1}}), 0);
  EXPECT_EQ(uniform({{std::string("a\0b", 3)}, {-1}}, {{std::string("a\0c", 3)}, {-1}}), 1);
  EXPECT_EQ(uniform({{std::string("a\0b", 3)}, {-1}}, {{std::string("a\0b", 3)}, {-1}}), 0);
}

TEST(GeneralVariant, KnownDistances) {
  IntMatrix costs(5, Ids(5));
  for (int i = 0; i < 5; ++i)
    for (int j = 0; j < 5; ++j) costs[i][j] = A.labels[i] == C.labels[j] ? 0 : 3;
  EXPECT_EQ(general(A, C, costs), 2);  // delete e and insert x beats renaming at 3
}

TEST(GeneralVariant, OneNodeTreesTakeTheSmallerOfTwoAndTheCost) {
  for (const auto& [cost, expected] : std::vector<std::pair<int32_t, int32_t>>{
           {5, 2}, {2, 2}, {1, 1}, {0, 0}, {-3, -3}, {INT_MAX, 2}}) {
    EXPECT_EQ(general(D, D, {{cost}}), expected) << cost;
  }
}

// Renaming at 2 or more costs 2, also where the rename is inside the kernel's
// rows rather than a pair of single nodes: a cost left uncapped there would
// overflow the sum with the distance below it.
TEST(GeneralVariant, CostsOfTwoOrMoreActLikeTwoInsideLargerTrees) {
  const Tree two{{"a", "b"}, {-1, 0}};
  EXPECT_EQ(general(two, two, constant_costs(2, 2, INT_MAX)), 4);
  EXPECT_EQ(general(two, two, constant_costs(2, 2, 1000)), 4);
  IntMatrix root_dear = constant_costs(2, 2, 0);
  root_dear[0][0] = INT_MAX;
  EXPECT_EQ(general(two, two, root_dear), 2);  // delete one root and insert the other
  const Tree three{{"a", "b", "c"}, {-1, 0, 1}};
  EXPECT_EQ(general(three, three, constant_costs(3, 3, INT_MAX)), 6);
  EXPECT_EQ(general(A, C, constant_costs(5, 5, INT_MAX), 2), 10);
}

TEST(GeneralVariant, LabelTextsAreNotRead) {
  std::mt19937 rng(3);
  const IntMatrix costs = grix_test::random_costs(rng, 5, 5, -1, 3);
  Tree renamed = C;
  renamed.labels = {"q", "q", "q", "q", "q"};
  EXPECT_EQ(general(A, C, costs), general(A, renamed, costs));
}

TEST(GeneralVariant, ExtraRowsAndColumnsAreIgnored) {
  IntMatrix costs = constant_costs(6, 7, 9);
  costs[0][0] = 0;
  EXPECT_EQ(general(D, D, costs), 0);
}

TEST(BothVariants, ThreadCountNeverChangesTheResult) {
  for (int32_t threads : {0, 1, 2, -4, 5}) {
    EXPECT_EQ(uniform(A, D, threads), 5);
    EXPECT_EQ(general(A, C, grix_test::label_costs(A, C), threads), 1);
  }
}

TEST(BothVariants, ForestsCountOnlyTheTreeAtNodeZero) {
  const Tree forest{{"a", "b", "c", "d"}, {-1, 0, -1, 2}};
  EXPECT_EQ(uniform(forest, {{"a", "b"}, {-1, 0}}), 0);
  EXPECT_EQ(uniform(forest, {{"c", "d"}, {-1, 0}}), 2);
  EXPECT_EQ(general(forest, {{"c", "d"}, {-1, 0}}, constant_costs(4, 2, 1)), 2);
}

TEST(BothVariants, EmptyTreeGivesTheOtherTreesSize) {
  const Tree empty;
  EXPECT_EQ(uniform(empty, empty), 0);
  EXPECT_EQ(uniform(empty, A), 5);
  EXPECT_EQ(uniform(A, empty), 5);
  EXPECT_EQ(uniform(empty, {{"a", "b", "c"}, {-1, 0, -1}}), 2);  // only the tree at node 0
  EXPECT_EQ(general(empty, B, {}), 4);
  EXPECT_EQ(general(B, empty, constant_costs(4, 0, 1)), 4);
}

// Runs `call` and checks that it throws std::invalid_argument containing `text`.
template <typename Call>
void expect_rejected(Call call, const std::string& text) {
  try {
    call();
    ADD_FAILURE() << "no error, expected: " << text;
  } catch (const std::invalid_argument& e) {
    EXPECT_NE(std::string(e.what()).find(text), std::string::npos) << e.what();
  }
}

TEST(BadInput, MalformedTreesAreRejected) {
  expect_rejected([] { uniform({{"a", "b"}, {-1}}, A); }, "labels1 has 2 entries but parents1 has 1");
  expect_rejected([] { uniform(A, {{"a"}, {-1, 0}}); }, "labels2 has 1 entries but parents2 has 2");
  expect_rejected([] { uniform({{"a", "b"}, {1, 0}}, A); },
                  "parents1[0] = 1 is not a valid parent: node 0 must be the root, with a negative parent");
  expect_rejected([] { uniform(A, {{"a"}, {0}}); }, "parents2[0] = 0 is not a valid parent: node 0 must be the root");
  expect_rejected([] { uniform(A, {{"a", "b", "c"}, {-1, 0, 7}}); }, "parents2[2] = 7");
  expect_rejected([] { general({{"a", "b"}, {-1, 1}}, A, constant_costs(2, 5, 1)); },
                  "parents1[1] = 1");
}

TEST(BadInput, ShortCostMatrixIsRejected) {
  expect_rejected([] { general(A, C, constant_costs(4, 5, 1)); },
                  "cost_matrix has 4 rows but labels1 has 5 entries");
  IntMatrix ragged = constant_costs(5, 5, 1);
  ragged[3].pop_back();
  expect_rejected([&] { general(A, C, ragged); },
                  "cost_matrix[3] has 4 entries but labels2 has 5 entries");
}

TEST(BadInput, CostsThatCouldOverflowAreRejected) {
  IntMatrix costs = constant_costs(5, 5, 1);
  costs[2][4] = INT_MIN;
  expect_rejected([&] { general(A, C, costs); }, "cost_matrix[2][4] = -2147483648 is too negative");
  // The most negative cost that is still safe is accepted and used unchanged.
  const int32_t safe = INT_MIN / 6;
  EXPECT_EQ(general(D, D, {{safe}}), safe);
  costs = constant_costs(5, 5, safe);
  EXPECT_NO_THROW(general(A, C, costs));
}

// The guard's exact edge: (min(n1, n2) + 1) renames at the lowest cost may
// reach INT_MIN itself, not one below it. Single nodes allow 2 renames,
// trees of 3 and 5 nodes allow 4.
TEST(BadInput, TheOverflowGuardAcceptsExactlyTheLowestSafeCost) {
  EXPECT_EQ(general(D, D, {{-(1 << 30)}}), -(1 << 30));  // 2 * -2^30 == INT_MIN
  expect_rejected([] { general(D, D, {{-(1 << 30) - 1}}); }, "cost_matrix[0][0] = -1073741825 is too negative");
  const Tree three{{"a", "b", "c"}, {-1, 0, 0}};
  IntMatrix costs = constant_costs(3, 5, 1);
  costs[1][2] = -(1 << 29);  // 4 * -2^29 == INT_MIN
  EXPECT_EQ(general(three, A, costs), grix_test::reference_distance(three, A, costs));
  EXPECT_EQ(general(A, three, constant_costs(5, 3, -(1 << 29))), 3 * -(1 << 29) + 2);
  costs[1][2] = -(1 << 29) - 1;
  expect_rejected([&] { general(three, A, costs); }, "cost_matrix[1][2] = -536870913 is too negative");
}

TEST(BadInput, TooManyKeyrootPairsAreRejected) {
  // Two stars with 50,000 leaves each have 49,999 * 49,999 > 2^31 - 1 pairs.
  Tree star;
  for (int32_t i = 0; i < 50001; ++i) {
    star.parents.push_back(i == 0 ? -1 : 0);
    star.labels.push_back("s");
  }
  expect_rejected([&] { uniform(star, star); },
                  "the trees have 50000 and 50000 leaves, 2500000000 keyroot pairs: trees this wide "
                  "are beyond the 32-bit pair numbering (2147483647 pairs at most)");
}

// The refusal comes from the pre-check, before anything large is allocated,
// and says why; a failing allocation would only say "std::bad_alloc". (Here
// the allocation would fail at once: reserving room for 2^31 scratch matrices
// is more than any machine commits.)
TEST(BadInput, RequestsLargerThanMemoryAreRefusedWithWhatTheyNeed) {
  std::mt19937 rng(4);
  const Tree a = grix_test::random_tree(rng, 200, 3), b = grix_test::random_tree(rng, 200, 3);
  try {
    uniform(a, b, INT_MAX);
    FAIL() << "not refused";
  } catch (const std::bad_alloc& refusal) {
    const std::string message = refusal.what();
    EXPECT_EQ(message.rfind("a distance between trees of 200 and 200 nodes needs ", 0), 0u) << message;
    EXPECT_NE(message.find(" TiB (2147483647 workers); "), std::string::npos) << message;
    EXPECT_NE(message.find(" available ("), std::string::npos) << message;
  }
}

Tree path_tree(int32_t n, const std::string& label) {
  Tree t;
  for (int32_t i = 0; i < n; ++i) {
    t.parents.push_back(i - 1);
    t.labels.push_back(label);
  }
  return t;
}

Tree star_tree(int32_t leaves) {
  Tree t{{"r"}, {-1}};
  for (int32_t i = 0; i < leaves; ++i) {
    t.parents.push_back(0);
    t.labels.push_back("l");
  }
  return t;
}

// Nothing in the engine recurses, so depth and width are limited by memory only.
TEST(DeepAndWide, HundredThousandNodePathAndStar) {
  EXPECT_EQ(uniform(path_tree(100000, "a"), path_tree(10, "a")), 99990);
  EXPECT_EQ(uniform(star_tree(99999), star_tree(3), 2), 99996);
  EXPECT_EQ(uniform(star_tree(3), star_tree(99999)), 99996);
}

TEST(DeepAndWide, TwoLongPaths) {
  Tree alternating = path_tree(2000, "a");
  for (int32_t i = 1; i < 2000; i += 2) alternating.labels[i] = "b";
  EXPECT_EQ(uniform(path_tree(2000, "a"), alternating, 2), 1000);
}

}  // namespace
}  // namespace grix
