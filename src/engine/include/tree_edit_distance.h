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

#include <cstdint>
#include <string>
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

}  // namespace grix
