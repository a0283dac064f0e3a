// Exact tree edit distance between two ordered, labelled trees.
//
// This is the engine's only public header. The Python module, the tests, the
// benchmarks and the fuzzer all call the two entry functions declared here.
//
// Input contract
// --------------
// A tree of n nodes is two sequences of length n: `labels` (byte strings) and
// `parents` (ints). Node ids are the positions 0..n-1 in pre-order: node 0 is
// the root, every node comes before its descendants and siblings are ordered
// by ascending id. `parents[i]` is the parent of node i; any negative value
// marks a root. In pre-order a non-negative `parents[i]` must be node i-1 or
// an ancestor of node i-1. Several trees one after the other (a forest in
// pre-order) are accepted: the result is the distance between the trees rooted
// at node 0 of the two inputs.
//
// Every input is checked before anything large is allocated. A violation
// throws std::invalid_argument whose message names the argument, the index
// and the value:
//   - `labels` and `parents` of one tree differ in length;
//   - a parent that does not fit pre-order (out of range, a node that is its
//     own parent, a cycle, or a tree that is not numbered in pre-order);
//   - a cost matrix with fewer than n1 rows or a row with fewer than n2
//     entries (longer rows and extra rows are ignored);
//   - trees so wide that leaves1 * leaves2 (the keyroot pairs) exceeds the
//     32-bit pair numbering;
//   - a rename cost so negative that a distance could leave the 32-bit range.
// An empty tree is no error: the result is the size of the other input's tree
// at node 0 (0 when both are empty).
//
// Costs
// -----
// Deleting or inserting a node costs 1. Renaming node i of tree 1 into node j
// of tree 2 costs cost_matrix[i][j]; any cost of 2 or more acts like 2, since
// deleting one node and inserting the other is never dearer. Negative costs
// are allowed and used as they are.
//
// Exceptions that can escape
// --------------------------
// std::invalid_argument (rejected input, see above), std::bad_alloc (memory;
// a call whose estimated peak exceeds what the process can still take, the
// least of MemAvailable, its cgroups' limits less their usage and RLIMIT_AS,
// is refused before anything large is allocated, with a message saying what
// it needs and what is available), std::length_error ("vector too long") and
// std::system_error (a worker thread could not be started). When one escapes,
// every allocation of the call has been released and no thread is left running.
//
// Cost
// ----
// Time O(n1 * n2 * min(depth1, leaves1) * min(depth2, leaves2)); memory
// n1*n2 ints for the subtree distances (twice that for the uniform variant,
// which builds its own cost matrix) plus one (n1+1) x (n2+1) scratch matrix
// per worker.
//
// Threads
// -------
// Each call owns all of its data and the engine has no global state, so any
// number of calls may run at once on different threads. When num_threads >= 2
// and n1 + n2 >= 300, large groups of independent subproblems run on
// num_threads worker threads, all joined before the call returns.

#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace grix {

// A matrix of 32-bit ints, stored as a vector of rows and indexed [row][column].
using IntMatrix = std::vector<std::vector<int32_t>>;

// The distance between the trees at node 0 of the two inputs, renaming node i
// of tree 1 into node j of tree 2 at cost_matrix[i][j]. The label texts are not
// read: only the number of labels counts.
int32_t compute_tree_edit_distance(const std::vector<std::string>& labels1,
                                   const std::vector<int32_t>& parents1,
                                   const std::vector<std::string>& labels2,
                                   const std::vector<int32_t>& parents2,
                                   const IntMatrix& cost_matrix,
                                   int32_t num_threads);

// The same with a rename cost of 0 for byte-equal labels and 1 otherwise.
int32_t compute_tree_edit_distance_uniform(const std::vector<std::string>& labels1,
                                           const std::vector<int32_t>& parents1,
                                           const std::vector<std::string>& labels2,
                                           const std::vector<int32_t>& parents2,
                                           int32_t num_threads);


// ---------------------------------------------------------------------------
// Stoppable calls, costs, orientation, edit mappings and batches of pairs.
//
// These serve the grix package. They take trees as parents in pre-order and
// label codes (equal labels, equal codes), check them as the entry functions
// do, and accept only single trees (parents[0] < 0 and no other root). Each
// takes an optional stop flag: once another thread sets it, the call joins its
// workers, releases everything and throws OperationStopped. The two entry
// functions above never read one.
// ---------------------------------------------------------------------------

using StopFlag = std::atomic<bool>;

// How a pair is computed: the keyroot schedule in the cheaper orientation, a
// path chosen for every pair of subtrees (the path strategy), or whichever of
// the two is predicted to be faster (automatic, the default).
enum class Algorithm : int32_t { automatic, keyroot, strategy };

class OperationStopped : public std::runtime_error {
 public:
  OperationStopped() : std::runtime_error("the computation was stopped") {}
};

// A rows x columns matrix in one row-major allocation. The cells are not
// initialised (every reader of the engine's matrices writes a cell before it
// reads it), so allocating costs no time and no page is touched before it is
// used; debug builds fill them with a poison value instead.
template <typename T>
class FlatMatrix {
 public:
  FlatMatrix() = default;
  FlatMatrix(int32_t rows, int32_t columns) { reshape(rows, columns); }

  // Makes the matrix rows x columns, reallocating only when it holds fewer
  // cells than that; the values are unspecified afterwards.
  void reshape(int32_t rows, int32_t columns) {
    const size_t cells = static_cast<size_t>(rows) * static_cast<size_t>(columns);
    if (cells > capacity_) {
      values_.reset();  // release the old block before taking the new one
      values_.reset(new T[cells]);
      capacity_ = cells;
#ifndef NDEBUG
      std::fill(values_.get(), values_.get() + cells, poison());
#endif
    }
    rows_ = rows;
    columns_ = columns;
  }

  T* row(int32_t r) { return values_.get() + static_cast<size_t>(r) * static_cast<size_t>(columns_); }
  const T* row(int32_t r) const {
    return values_.get() + static_cast<size_t>(r) * static_cast<size_t>(columns_);
  }
  T& at(int32_t r, int32_t c) { return row(r)[c]; }
  const T& at(int32_t r, int32_t c) const { return row(r)[c]; }
  int32_t rows() const { return rows_; }
  int32_t columns() const { return columns_; }

 private:
  static T poison() {
    if constexpr (std::numeric_limits<T>::has_quiet_NaN) return std::numeric_limits<T>::quiet_NaN();
    return std::numeric_limits<T>::min();
  }
  std::unique_ptr<T[]> values_;
  size_t capacity_ = 0;
  int32_t rows_ = 0, columns_ = 0;
};

// A borrowed row-major matrix (a numpy array, say): `values` null means none.
template <typename T>
struct MatrixView {
  const T* values = nullptr;
  int32_t rows = 0;
  int32_t columns = 0;
  const T* row(int32_t r) const { return values + static_cast<size_t>(r) * static_cast<size_t>(columns); }
  bool given() const { return values != nullptr; }
};

// The costs of one pair of trees, for the trees as given; the engine permutes
// them itself when it runs the pair mirrored.
//   Rename node i of tree 1 into node j of tree 2: rename_by_node.row(i)[j]
//     (n1 x n2) if given, else rename_by_label.row(code1[i])[code2[j]] if
//     given (label codes index it), else 0 for equal codes and 1 otherwise.
//   Delete node i of tree 1: delete_costs[i] (one per node), or 1 each when
//     empty; insert node j of tree 2: insert_costs[j], or 1 each.
// A rename dearer than deleting the one node and inserting the other acts as
// that sum. Costs are finite or, for doubles, +infinity ("never": that node
// may not be deleted, inserted or renamed that way); delete and insert costs
// are at least 0 and renames may be negative. check_pair_costs refuses
// everything else, and int32 costs whose sums could leave the 32-bit range.
template <typename Cost>
struct PairCosts {
  MatrixView<Cost> rename_by_node;
  MatrixView<Cost> rename_by_label;
  std::vector<Cost> delete_costs;
  std::vector<Cost> insert_costs;
};

// One orientation of a tree, ready for the schedule.
struct PreparedTree {
  std::vector<int32_t> parents;
  std::vector<int32_t> codes;
  std::vector<int32_t> rightmost_leaf;
  std::vector<int32_t> keyroots;
  // Sum over keyroots x of (|subtree(x)| + 1). The schedule computes
  // factor1 * factor2 cells for a pair of trees, so both orientations of a
  // pair can be priced before any work.
  int64_t cell_factor = 0;
  // Keyroots that are leaves: the schedule runs their pairs in groups
  // (leaf_keyroots.h), at a lower price than the kernel's cells.
  int64_t leaf_keyroots = 0;
};

// A tree as given and mirrored (every node's children reversed, renumbered in
// pre-order). Mirroring both trees leaves the distance unchanged and swaps
// rightmost-path decomposition for leftmost-path decomposition, which can be
// cheaper by orders of magnitude.
struct OrientedTree {
  PreparedTree given;
  PreparedTree mirrored;
  std::vector<int32_t> mirrored_to_given;  // node k of `mirrored` is node [k] as given
  int32_t size() const { return static_cast<int32_t>(given.parents.size()); }
};

// Label codes for two lists of labels: equal labels (byte for byte) get
// equal codes, numbered in order of first appearance.
std::pair<std::vector<int32_t>, std::vector<int32_t>> number_labels(const std::vector<std::string>& labels1,
                                                                    const std::vector<std::string>& labels2);

// Checks and prepares one tree. `codes` holds one non-negative label code per
// node. Throws std::invalid_argument naming `name` on a malformed tree.
OrientedTree prepare_oriented_tree(const std::vector<int32_t>& parents,
                                   const std::vector<int32_t>& codes, const char* name);

// The same in two steps, for indexes over many trees that need the mirror of
// only a few: the checks and the tree as given (`mirrored` left empty), then
// the mirror, which every distance and mapping function needs.
OrientedTree prepare_given_tree(const std::vector<int32_t>& parents, const std::vector<int32_t>& codes,
                                const char* name);
void add_mirrored_orientation(OrientedTree& tree);

// Whether a pair is cheaper mirrored: strictly fewer cells (a tie keeps the
// trees as given). Returns the cells of the chosen orientation in `cells`.
bool mirrored_is_cheaper(const OrientedTree& tree1, const OrientedTree& tree2, double* cells);

// Throws std::invalid_argument, naming "rename", "delete" or "insert" and the
// index, unless `costs` fits trees of n1 and n2 nodes whose largest label
// codes are below code_count1 and code_count2 (see PairCosts).
template <typename Cost>
void check_pair_costs(const PairCosts<Cost>& costs, const OrientedTree& tree1, const OrientedTree& tree2);

// The distance between two prepared trees: by the keyroot schedule in the
// cheaper orientation, or by a path strategy (see Algorithm). With
// `cells_done` (may be null), the cells computed so far are added to it as
// the work goes, for a progress report.
template <typename Cost>
Cost compute_oriented_distance(const OrientedTree& tree1, const OrientedTree& tree2,
                               const PairCosts<Cost>& costs, int32_t num_threads,
                               const StopFlag* stop, std::atomic<int64_t>* cells_done = nullptr,
                               Algorithm algorithm = Algorithm::automatic);

// The distance with int32 costs when it is at most max_distance (negative:
// no bound), else max_distance + 1. Under Algorithm::automatic, a pair whose
// costs allow it (every delete and insert at least 1, no negative rename)
// is decided in bands of pre-order ids of width 2K + 1 for K = a lower bound,
// doubled until the band certifies the distance (distance/band_kernel.h):
// memory O(n1 * K) instead of n1 * n2, the same result. A band dearer than
// the full schedule gives way to compute_oriented_distance, unless only the
// band fits in memory; other costs and algorithms run it always.
bool costs_allow_band(const PairCosts<int32_t>& costs);
int32_t compute_distance_within(const OrientedTree& tree1, const OrientedTree& tree2,
                                const PairCosts<int32_t>& costs, int32_t max_distance, int32_t num_threads,
                                const StopFlag* stop, std::atomic<int64_t>* cells_done = nullptr,
                                Algorithm algorithm = Algorithm::automatic);

// Predicted seconds for the three ways to compute a pair, before any work.
// A path strategy must first be planned, at a few nanoseconds per pair of
// subtrees; that plan is only made when the keyroot schedule is dear enough
// that planning cannot cost more than a small share of it, or when forced.
struct AlgorithmPrices {
  double keyroot_given = 0;     // the keyroot schedule, trees as given
  double keyroot_mirrored = 0;  // both trees mirrored
  double strategy = -1;         // the plan and the pairs it runs; -1 when not planned
  double plan = 0;              // the plan's share of `strategy`
  double seconds_per_cell = 0;  // of the keyroot schedule: progress reports count such cells
  bool use_strategy = false;    // what compute_oriented_distance runs
};
AlgorithmPrices price_pair(const OrientedTree& tree1, const OrientedTree& tree2, Algorithm algorithm,
                           const StopFlag* stop = nullptr);

// An optimal edit mapping, in node ids of the trees as given. `pairs` are the
// matched nodes (i, j) in ascending order; a rename whose capped cost equals
// a deletion plus an insertion is never among them, so the cost of the
// mapping (each deleted and inserted node's cost, and each pair's rename cost
// capped at its delete plus insert cost) equals `distance`.
template <typename Cost>
struct EditMapping {
  Cost distance = 0;
  std::vector<std::pair<int32_t, int32_t>> pairs;
  std::vector<int32_t> deleted;   // nodes of tree 1, ascending
  std::vector<int32_t> inserted;  // nodes of tree 2, ascending
};

// Fills the subtree distances as the distance does (keyroot schedule or path
// strategy), then walks back from the two roots with one extra forest table:
// time at most about that of the distance, memory the same.
template <typename Cost>
EditMapping<Cost> compute_edit_mapping(const OrientedTree& tree1, const OrientedTree& tree2,
                                       const PairCosts<Cost>& costs, int32_t num_threads,
                                       const StopFlag* stop, std::atomic<int64_t>* cells_done = nullptr,
                                       Algorithm algorithm = Algorithm::automatic);

// The same mapping with int32 costs, for large, close pairs in band memory.
// Under Algorithm::automatic, a pair whose costs allow a band (those of
// compute_distance_within) and where it pays first certifies the distance d
// in bands of width 2K + 1 as compute_distance_within does, then walks back
// through the band's subtree distances, refilling one pair of subtrees'
// forest table at a time inside the band (band_walk_back): memory
// O(n1 * K), time at most about twice the distance's in the band; the
// mapping is optimal, as any mapping this function returns. Otherwise (and
// where the band would cost more than the full computation and that fits)
// it is compute_edit_mapping. `first_band` >= 0 forces the band, starting
// at K = first_band with no bound or pricing (for tests).
EditMapping<int32_t> compute_banded_edit_mapping(const OrientedTree& tree1, const OrientedTree& tree2,
                                                 const PairCosts<int32_t>& costs, int32_t num_threads,
                                                 const StopFlag* stop, std::atomic<int64_t>* cells_done = nullptr,
                                                 Algorithm algorithm = Algorithm::automatic,
                                                 int32_t first_band = -1);

// Costs between label codes, for batches: rename code a into code b at
// rename[a * columns + b] (empty: 0 for equal codes, 1 otherwise); delete a
// node of code a of the first trees at delete_costs[a] and insert a node of
// code b of the second trees at insert_costs[b] (empty: 1 each).
//
// With label classes (label_class not empty), rename is a table between
// classes instead: code a renamed into a different code b costs
// rename[label_class[a] * columns + label_class[b]], and into itself
// same_label. A collection of many thousands of labels then needs a table
// the size of its few classes, not of its labels squared.
template <typename Cost>
struct LabelCosts {
  int32_t rows = 0;
  int32_t columns = 0;
  std::vector<Cost> rename;
  std::vector<Cost> delete_costs;
  std::vector<Cost> insert_costs;
  std::vector<int32_t> label_class;
  Cost same_label = 0;
};

// Costs by class and weight, those of RNA structure comparison: each label
// code has a class, 1 .. classes - 1, and a weight of at least 0.
// unit_costs[a * classes + b] prices one unit of weight of class a renamed
// into class b; class 0 stands for no node, so unit_costs[a] (row 0) prices
// deleting or inserting one unit of class a. Then
//   delete or insert (a, w):      unit_costs[0][a] * w, 0 when w is 0;
//   rename (a, w1) into (b, w2):  unit_costs[a][b] * min(w1, w2), 0 when the
//     lighter node weighs 0, plus unit_costs[0][h] * |w1 - w2|, 0 when the
//     weights are equal, h the class of the heavier node.
// The zero cases keep a forbidden (infinite) unit cost times no weight from
// becoming NaN. Unit costs are at least 0, finite or +infinity.
struct WeightedClasses {
  int32_t classes = 0;
  std::vector<double> unit_costs;
};

// The label costs of `model` between codes of classes class1 and weights
// weight1 (the first trees') and codes of class2 and weight2 (the second
// trees'): rename[code1 * columns + code2], delete_costs[code1] and
// insert_costs[code2], in doubles. Each product and sum is formed in
// doubles, exact up to 2**53, in the order the definition above gives.
// Throws std::invalid_argument for a class outside 1 .. classes - 1, a
// negative weight, class and weight lists of different lengths, or unit
// costs that are not classes x classes numbers of at least 0 (NaN neither).
// Time and memory: one entry per pair of codes.
LabelCosts<double> weighted_class_label_costs(const WeightedClasses& model, const std::vector<int32_t>& class1,
                                              const std::vector<int64_t>& weight1,
                                              const std::vector<int32_t>& class2,
                                              const std::vector<int64_t>& weight2);

// Which pairs a batch computes and where each result goes:
//   all_pairs_of_a: every i < j of trees_a, at the condensed index of (i, j)
//                   (row-major upper triangle, as scipy's pdist);
//   a_by_b:         every (i, j) of trees_a x trees_b, at i * |b| + j;
//   listed:         (first[k], second[k]) of trees_a x trees_b, at k.
enum class PairLayout { all_pairs_of_a, a_by_b, listed };

struct PairBatch {
  const std::vector<OrientedTree>* trees_a = nullptr;
  const std::vector<OrientedTree>* trees_b = nullptr;
  PairLayout layout = PairLayout::all_pairs_of_a;
  std::vector<int32_t> first, second;  // the listed layout only
  Algorithm algorithm = Algorithm::automatic;  // chosen for each pair
  // Negative: none. Otherwise each result is the distance when at most this,
  // else max_distance + 1; int32 pairs run in a band where it is cheaper.
  int32_t max_distance = -1;
};

// The costs of a batch: one table for every pair (label_costs; null: label
// equality and 1 per delete and insert), or, in the listed layout, one table
// per listed pair (pair_costs[k], whose codes are those of the two trees of
// pair k: trees of different pairs may number their labels independently).
template <typename Cost>
struct BatchCosts {
  const LabelCosts<Cost>* label_costs = nullptr;
  const std::vector<LabelCosts<Cost>>* pair_costs = nullptr;
};

// Number of results of a batch; checks the listed pairs.
int64_t batch_result_count(const PairBatch& batch);

// Computes every pair of the batch into out[0 .. batch_result_count), each
// pair in its cheaper orientation, on `workers` threads (one pair per thread
// at a time, each thread with its own scratch). Adds each finished pair's
// cell count to `cells_done` (may be null) for progress reports. Throws
// OperationStopped once `stop` is set, after joining every thread.
template <typename Cost>
void compute_pair_batch(const PairBatch& batch, const BatchCosts<Cost>& costs, int32_t workers,
                        Cost* out, const StopFlag* stop, std::atomic<int64_t>* cells_done);

// The cells a batch computes, summed over its pairs in their cheaper
// orientations: the total for a progress bar.
double batch_cell_count(const PairBatch& batch);

// A limit on this process's resident memory that no file states (a cluster
// worker's, say), which every memory check from then on counts beside the
// machine's, the cgroups' and the rlimits: what a call may still take is at
// most `bytes` less the resident memory. 0 removes it. (memory_budget.h)
void set_resident_memory_limit(double bytes);
double resident_memory_limit();

}  // namespace grix
