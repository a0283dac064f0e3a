// Decoding arbitrary bytes into a call of the engine, and the checks every
// call must pass. Shared by the libFuzzer targets and the regression test that
// replays the seed corpus, so that all check exactly the same things.
//
// The same bytes decode at one of two scales. Small cases (up to 30 nodes a
// tree) run thousands of times a second and reach every shape and kind of bad
// input; threaded cases (120 to 180 nodes a tree) straddle the size from which
// worker threads run, and compare one, two and the requested worker counts.

#pragma once

#include <climits>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "distance/keyroot_schedule.h"
#include "test_support.h"
#include "tree_edit_distance.h"

namespace grix_fuzz {

using grix::IntMatrix;

// Reads bytes in order; past the end every byte reads as 0.
class ByteReader {
 public:
  ByteReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  // A value in [low, high], for spans below 65,536.
  int32_t int_in(int32_t low, int32_t high) {
    const uint32_t span = static_cast<uint32_t>(high - low) + 1;
    const uint32_t raw = static_cast<uint32_t>(byte()) | static_cast<uint32_t>(byte()) << 8;
    return low + static_cast<int32_t>(raw % span);
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

enum class FuzzScale { small, threaded };

struct FuzzCase {
  bool general = false;
  int32_t num_threads = 1;
  std::vector<std::string> labels1, labels2;
  std::vector<int32_t> parents1, parents2;
  IntMatrix cost_matrix;
  bool small_costs = true;  // every cost in [-5, 5]
};

// Parents that are mostly well formed (a node on the path to the previous
// node), with every kind of damage the engine must reject mixed in, or one of
// the extreme shapes: a path, a star or a list of records (mostly leaf
// keyroots, whose pairs run in groups), and caterpillars whose spine runs
// through the first children (the worst case of the keyroot decomposition,
// left to small trees, where it stays cheap) or through the last ones.
inline std::vector<int32_t> read_parents(ByteReader& in, int32_t n, bool worst_case_allowed) {
  uint8_t mode = in.byte() % 8;
  if (mode == 6 && !worst_case_allowed) mode = 4;
  std::vector<int32_t> parents, path;
  const int32_t spine = n / 2 + 1;
  for (int32_t i = 0; i < n; ++i) {
    int32_t parent = -1;
    if (mode == 0) {
      parent = in.int_in(-3, n + 2);  // raw values: mostly invalid
    } else if (i == 0) {
    } else if (mode == 4) {
      parent = i - 1;
    } else if (mode == 5) {  // records of `fields` leaves under the root; no fields: a star
      const int32_t fields = (n / 3) % 4;
      parent = (i - 1) % (fields + 1) == 0 ? 0 : i - (i - 1) % (fields + 1);
    } else if (mode == 6) {  // spine 0..spine-1 first, then one leaf per spine node, deepest first
      parent = i < spine ? i - 1 : std::max(0, 2 * spine - 2 - i);
    } else if (mode == 7) {  // each spine node: a leaf, then the next spine node
      parent = i % 2 ? i - 1 : i - 2;
    } else {
      const uint8_t choice = in.byte();
      if (mode == 3 && choice >= 250) {
        parent = choice == 255 ? INT_MAX : choice == 254 ? INT_MIN : in.int_in(-2, n + 2);
      } else if (choice == 249) {
        parent = -1;  // a new tree of a forest
      } else {
        path.resize(static_cast<size_t>(choice) % path.size() + 1);
        parent = path.back();
      }
    }
    if (parent < 0) path.clear();
    parents.push_back(parent);
    path.push_back(i);
  }
  return parents;
}

inline int32_t read_cost(ByteReader& in, bool extreme) {
  static const int32_t extremes[] = {INT_MIN, INT_MIN + 1, INT_MIN / 3, -(1 << 20), -1000, 0, 1, 2, 3,
                                     1000, INT_MAX / 2, INT_MAX};
  if (extreme && in.byte() % 2) return extremes[in.byte() % (sizeof(extremes) / sizeof(extremes[0]))];
  return in.int_in(-5, 5);
}

inline FuzzCase decode_fuzz_case(const uint8_t* data, size_t size, FuzzScale scale) {
  ByteReader in(data, size);
  FuzzCase c;
  const uint8_t flags = in.byte();
  c.general = flags & 1;
  const bool extreme_costs = flags & 4;
  const bool ragged = flags & 8;
  c.num_threads = in.int_in(-2, 4);
  const bool threaded = scale == FuzzScale::threaded;
  const int32_t n1 = threaded ? in.int_in(120, 180) : in.int_in(0, 30);
  const int32_t n2 = threaded ? in.int_in(120, 180) : in.int_in(0, 30);
  c.parents1 = read_parents(in, n1, !threaded);
  c.parents2 = read_parents(in, n2, !threaded);
  const uint8_t alphabet = static_cast<uint8_t>(in.byte() % 4 + 1);
  const int32_t label_count1 = ragged && (in.byte() & 1) ? n1 + in.int_in(-1, 1) : n1;
  const int32_t label_count2 = ragged && (in.byte() & 1) ? n2 + in.int_in(-1, 1) : n2;
  for (int32_t i = 0; i < label_count1; ++i) c.labels1.push_back(std::string(1, static_cast<char>('a' + in.byte() % alphabet)));
  for (int32_t i = 0; i < label_count2; ++i) c.labels2.push_back(std::string(1, static_cast<char>('a' + in.byte() % alphabet)));
  if (c.general) {
    const int32_t rows = ragged && (in.byte() & 1) ? label_count1 - 1 : label_count1;
    for (int32_t i = 0; i < rows; ++i) {
      const int32_t columns = ragged && in.byte() == 0 ? label_count2 - 1 : label_count2;
      std::vector<int32_t> row;
      for (int32_t j = 0; j < columns; ++j) {
        row.push_back(read_cost(in, extreme_costs));
        c.small_costs = c.small_costs && row.back() >= -5 && row.back() <= 5;
      }
      c.cost_matrix.push_back(std::move(row));
    }
  }
  return c;
}

inline int32_t run_case(const FuzzCase& c, int32_t num_threads) {
  return c.general ? grix::compute_tree_edit_distance(c.labels1, c.parents1, c.labels2, c.parents2,
                                                      c.cost_matrix, num_threads)
                   : grix::compute_tree_edit_distance_uniform(c.labels1, c.parents1, c.labels2,
                                                              c.parents2, num_threads);
}

// The size of the tree at node 0 of a valid input.
inline int32_t first_tree_nodes(const std::vector<int32_t>& parents) {
  int32_t n = parents.empty() ? 0 : 1;
  while (n < static_cast<int32_t>(parents.size()) && parents[n] >= 0) ++n;
  return n;
}

// The grix entry points on the same case, where it is two single trees: the
// oriented distance and the mapping in ints (also in a band), and in doubles with every
// delete and insert cost given node by node, by the keyroot schedule and by
// the path strategy, must all give `result`.
inline std::string check_grix_paths(const FuzzCase& c, int32_t result) {
  const size_t n1 = c.parents1.size(), n2 = c.parents2.size();
  if (n1 == 0 || n2 == 0 || c.labels1.size() != n1 || c.labels2.size() != n2) return "";
  const auto codes = grix::number_labels(c.labels1, c.labels2);
  grix::OrientedTree tree1, tree2;
  try {
    tree1 = grix::prepare_oriented_tree(c.parents1, codes.first, "tree 1");
    tree2 = grix::prepare_oriented_tree(c.parents2, codes.second, "tree 2");
  } catch (const std::invalid_argument&) {
    return "";  // forests are GRIX_CPU's alone
  }
  std::vector<int32_t> flat;
  std::vector<double> flat_doubles;
  grix::PairCosts<int32_t> ints;
  grix::PairCosts<double> doubles;
  if (c.general) {
    for (size_t i = 0; i < n1; ++i) flat.insert(flat.end(), c.cost_matrix[i].begin(), c.cost_matrix[i].begin() + n2);
    flat_doubles.assign(flat.begin(), flat.end());
    ints.rename_by_node = {flat.data(), static_cast<int32_t>(n1), static_cast<int32_t>(n2)};
    doubles.rename_by_node = {flat_doubles.data(), static_cast<int32_t>(n1), static_cast<int32_t>(n2)};
  }
  doubles.delete_costs.assign(n1, 1.0);
  doubles.insert_costs.assign(n2, 1.0);
  try {
    if (grix::compute_oriented_distance(tree1, tree2, ints, c.num_threads, nullptr) != result) {
      return "the oriented distance disagrees";
    }
    if (grix::compute_edit_mapping(tree1, tree2, ints, c.num_threads, nullptr).distance != result) {
      return "the edit mapping disagrees";
    }
    if (grix::compute_oriented_distance(tree1, tree2, doubles, c.num_threads, nullptr) != result) {
      return "the distance in doubles with per-node costs disagrees";
    }
    using grix::Algorithm;
    if (grix::compute_oriented_distance(tree1, tree2, ints, c.num_threads, nullptr, nullptr, Algorithm::strategy) !=
        result) {
      return "the path strategy disagrees";
    }
    if (grix::compute_oriented_distance(tree1, tree2, doubles, c.num_threads, nullptr, nullptr,
                                        Algorithm::strategy) != result) {
      return "the path strategy in doubles with per-node costs disagrees";
    }
    if (grix::compute_edit_mapping(tree1, tree2, ints, c.num_threads, nullptr, nullptr, Algorithm::strategy)
            .distance != result) {
      return "the edit mapping by the path strategy disagrees";
    }
    // A band forced to start at half the distance, so that it doubles at
    // least once before it certifies (costs that allow no band fall back).
    if (grix::compute_banded_edit_mapping(tree1, tree2, ints, c.num_threads, nullptr, nullptr,
                                          Algorithm::automatic, result / 2)
            .distance != result) {
      return "the banded edit mapping disagrees";
    }
  } catch (const std::exception& e) {
    return std::string("grix path: ") + e.what();
  }
  return "";
}

// Empty when the case behaves: it gives a result or is rejected with
// std::invalid_argument; the result is at most deleting one tree and
// inserting the other; the uniform distance is symmetric; where worker
// threads can run, one and two workers agree with the requested count; and a
// valid case of up to 9 nodes a tree agrees with the reference. Otherwise
// what went wrong.
inline std::string check_fuzz_case(const FuzzCase& c) {
  int32_t result = 0;
  try {
    result = run_case(c, c.num_threads);
  } catch (const std::invalid_argument&) {
    return "";
  } catch (const std::exception& e) {
    return std::string("unexpected exception: ") + e.what();
  }
  const int32_t size1 = first_tree_nodes(c.parents1), size2 = first_tree_nodes(c.parents2);
  if (result > size1 + size2) return "more than deleting and inserting every node";
  const int32_t n1 = static_cast<int32_t>(c.parents1.size()), n2 = static_cast<int32_t>(c.parents2.size());
  const int32_t requested = grix::effective_worker_count(c.num_threads, n1, n2);
  const int32_t other = grix::effective_worker_count(2, n1, n2);  // 1 where threads never run
  if (!c.general && grix::compute_tree_edit_distance_uniform(c.labels2, c.parents2, c.labels1, c.parents1,
                                                             other) != result) {
    return "swapping the trees changes the distance";
  }
  for (int32_t workers : {1, 2}) {
    if (other == 2 && requested != workers && run_case(c, workers) != result) {
      return std::to_string(workers) + (workers == 1 ? " worker disagrees" : " workers disagree");
    }
  }
  const std::string grix_failure = check_grix_paths(c, result);
  if (!grix_failure.empty()) return grix_failure;
  if (c.parents1.size() <= 9 && c.parents2.size() <= 9 && c.small_costs) {
    grix_test::Tree t1{c.labels1, c.parents1}, t2{c.labels2, c.parents2};
    const IntMatrix costs = c.general ? c.cost_matrix : grix_test::label_costs(t1, t2);
    if (grix_test::reference_distance(t1, t2, costs) != result) return "reference disagrees";
  }
  return "";
}

}  // namespace grix_fuzz
