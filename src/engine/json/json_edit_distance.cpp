// The JSON edit distance (see json_edit_distance.h): the constrained edit
// distance recurrences over subtree pairs (dt) and children-forest pairs (df),
// filled bottom-up in reverse pre-order, with the children of a node pair
// matched in order for two arrays and by a minimum-cost assignment otherwise.
//
// The matching of a forest pair is skipped when a lower bound on it already
// reaches the cheapest alternative (the whole forest going into one child's
// forest): the bounds are the size difference, the smallest children that
// must stay unmatched, and the row and column minima of the assignment
// matrix. A skipped matching can never be the minimum, so the result is exact.

#include "json_edit_distance.h"

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <numeric>
#include <stdexcept>
#include <string>
#include <unordered_map>

#include "json/min_cost_assignment.h"
#include "shared/memory_budget.h"
#include "shared/stopping.h"
#include "shared/worker_threads.h"

namespace grix {

namespace {

// Far above any distance, yet INF + INF + n stays inside 32 bits.
constexpr int32_t INF = std::numeric_limits<int32_t>::max() / 4;

[[noreturn]] void reject(const char* what, int32_t node, const std::string& problem) {
  throw std::invalid_argument(std::string(what) + ": node " + std::to_string(node) + " " + problem);
}

bool is_kind(const JsonTree& t, int32_t v, JsonKind kind) { return t.kinds[v] == static_cast<int8_t>(kind); }

}  // namespace

JsonTree prepare_json_tree(std::vector<int32_t> parents, std::vector<int8_t> kinds, std::vector<int32_t> labels,
                           const char* what) {
  if (parents.size() != kinds.size() || parents.size() != labels.size()) {
    throw std::invalid_argument(std::string(what) + ": parents, kinds and labels differ in length (" +
                                std::to_string(parents.size()) + ", " + std::to_string(kinds.size()) + ", " +
                                std::to_string(labels.size()) + ")");
  }
  if (parents.size() > static_cast<size_t>(std::numeric_limits<int32_t>::max() / 4)) {
    throw std::invalid_argument(std::string(what) + ": too many nodes");
  }
  JsonTree t;
  const auto n = static_cast<int32_t>(parents.size());
  t.parents = std::move(parents);
  t.kinds = std::move(kinds);
  t.labels = std::move(labels);
  std::vector<int32_t> open;  // the path from the root to the previous node
  for (int32_t v = 0; v < n; ++v) {
    const int32_t p = t.parents[v];
    if (t.kinds[v] < 0 || t.kinds[v] > 3) reject(what, v, "has kind " + std::to_string(t.kinds[v]) + ", not 0-3");
    if (v == 0) {
      if (p >= 0) reject(what, v, "is the root but has parent " + std::to_string(p));
      if (is_kind(t, v, JsonKind::key)) reject(what, v, "is a key at the root; a document's root is a value");
    } else {
      if (p < 0) reject(what, v, "is a second root; a JSON tree has one");
      while (!open.empty() && open.back() != p) open.pop_back();
      if (open.empty()) reject(what, v, "has parent " + std::to_string(p) + ", which does not fit pre-order");
      const bool object_parent = is_kind(t, p, JsonKind::object);
      if (object_parent != is_kind(t, v, JsonKind::key)) {
        reject(what, v, object_parent ? "is a child of an object but not a key" : "is a key outside an object");
      }
      if (is_kind(t, p, JsonKind::literal)) reject(what, p, "is a literal with children");
    }
    open.push_back(v);
  }
  t.sizes.assign(static_cast<size_t>(n), 1);
  t.child_begin.assign(static_cast<size_t>(n) + 1, 0);
  for (int32_t v = n - 1; v > 0; --v) {
    t.sizes[t.parents[v]] += t.sizes[v];
    ++t.child_begin[t.parents[v] + 1];
  }
  for (int32_t v = 0; v < n; ++v) t.child_begin[v + 1] += t.child_begin[v];
  t.children.resize(static_cast<size_t>(n > 0 ? n - 1 : 0));
  std::vector<int32_t> filled(t.child_begin.begin(), t.child_begin.end() - 1);
  for (int32_t v = 1; v < n; ++v) t.children[filled[t.parents[v]]++] = v;
  for (int32_t v = 0; v < n; ++v) {
    if (is_kind(t, v, JsonKind::key) && t.child_count(v) != 1) {
      reject(what, v, "is a key with " + std::to_string(t.child_count(v)) + " children; a key has one, its value");
    }
  }
  t.children_by_label = t.children;
  t.smallest_children_sum.resize(t.children.size());
  for (int32_t v = 0; v < n; ++v) {
    const auto begin = t.child_begin[v], end = t.child_begin[v + 1];
    std::stable_sort(t.children_by_label.begin() + begin, t.children_by_label.begin() + end,
                     [&](int32_t x, int32_t y) { return t.labels[x] < t.labels[y]; });
    for (int32_t k = begin; k < end; ++k) t.smallest_children_sum[k] = t.sizes[t.children[k]];
    std::sort(t.smallest_children_sum.begin() + begin, t.smallest_children_sum.begin() + end);
    std::partial_sum(t.smallest_children_sum.begin() + begin, t.smallest_children_sum.begin() + end,
                     t.smallest_children_sum.begin() + begin);
  }
  t.sorted_labels.resize(static_cast<size_t>(n));
  for (int32_t v = 0; v < n; ++v) t.sorted_labels[v] = static_cast<int64_t>(t.labels[v]) * 4 + t.kinds[v];
  std::sort(t.sorted_labels.begin(), t.sorted_labels.end());
  return t;
}

namespace {

// The matrices and buffers of one pair, reused by a worker from pair to pair.
struct JsonScratch {
  std::vector<int32_t> dt, df;      // n1 x n2, row-major
  std::vector<int32_t> matrix;      // an assignment matrix or a sequence table
  std::vector<int32_t> row_minimum, column_minimum;
  std::vector<int32_t> row_to_column;
  AssignmentScratch assignment;
};

class JsonPair {
 public:
  JsonPair(const JsonTree& a, const JsonTree& b, JsonScratch& s) : a_(a), b_(b), s_(s), n2_(b.size()) {}

  int32_t dt(int32_t i, int32_t j) const { return s_.dt[static_cast<size_t>(i) * n2_ + j]; }
  int32_t df(int32_t i, int32_t j) const { return s_.df[static_cast<size_t>(i) * n2_ + j]; }

  void fill(const StopFlag* stop) {
    const int32_t n1 = a_.size();
    s_.dt.resize(static_cast<size_t>(n1) * n2_);
    s_.df.resize(static_cast<size_t>(n1) * n2_);
    for (int32_t i = n1 - 1; i >= 0; --i) {
      throw_if_stopped(stop);
      for (int32_t j = n2_ - 1; j >= 0; --j) {
        const Options o = options(i, j);
        const int32_t forest = std::min({o.forest_into_child, o.child_into_forest,
                                         match_children(i, j, std::min(o.forest_into_child, o.child_into_forest))});
        s_.df[static_cast<size_t>(i) * n2_ + j] = forest;
        s_.dt[static_cast<size_t>(i) * n2_ + j] =
            std::min({o.tree_into_child, o.child_into_tree, forest + node_cost(i, j)});
      }
    }
  }

  // Follows the filled matrices back from the roots; a worklist rather than
  // recursion, since documents nest arbitrarily deep.
  std::vector<std::pair<int32_t, int32_t>> mapping(const StopFlag* stop) {
    std::vector<std::pair<int32_t, int32_t>> pairs;
    struct Step {
      bool tree;
      int32_t i, j;
    };
    std::vector<Step> work{{true, 0, 0}};
    while (!work.empty()) {
      throw_if_stopped(stop);
      const Step step = work.back();
      work.pop_back();
      const int32_t i = step.i, j = step.j;
      const Options o = options(i, j);
      if (step.tree) {
        if (dt(i, j) == df(i, j) + node_cost(i, j)) {
          if (a_.kinds[i] == b_.kinds[j]) pairs.emplace_back(i, j);
          work.push_back({false, i, j});
        } else if (dt(i, j) == o.tree_into_child) {
          work.push_back({true, i, o.tree_child});
        } else {
          work.push_back({true, o.tree_child_of_a, j});
        }
        continue;
      }
      if (df(i, j) == o.forest_into_child) {
        work.push_back({false, i, o.forest_child});
      } else if (df(i, j) == o.child_into_forest) {
        work.push_back({false, o.forest_child_of_a, j});
      } else {
        std::vector<std::pair<int32_t, int32_t>> matched;
        match_children(i, j, INF, &matched);
        for (const auto& m : matched) work.push_back({true, m.first, m.second});
      }
    }
    std::sort(pairs.begin(), pairs.end());
    return pairs;
  }

 private:
  // The alternatives to mapping i and j onto each other: tree i (or forest
  // of i) going whole into one child subtree (or its forest) of j, j
  // inserted around it, and the same the other way, with the child chosen.
  struct Options {
    int32_t tree_into_child = INF, child_into_tree = INF, forest_into_child = INF, child_into_forest = INF;
    int32_t tree_child = -1, tree_child_of_a = -1, forest_child = -1, forest_child_of_a = -1;
  };

  Options options(int32_t i, int32_t j) const {
    Options o;
    const int32_t si = a_.sizes[i], sj = b_.sizes[j];
    for (int32_t k = b_.child_begin[j]; k < b_.child_begin[j + 1]; ++k) {
      const int32_t t = b_.children[k], st = b_.sizes[t];
      const int32_t tree = dt(i, t) - st + sj, forest = df(i, t) - st + sj;
      if (tree < o.tree_into_child) o.tree_into_child = tree, o.tree_child = t;
      if (forest < o.forest_into_child) o.forest_into_child = forest, o.forest_child = t;
    }
    for (int32_t k = a_.child_begin[i]; k < a_.child_begin[i + 1]; ++k) {
      const int32_t s = a_.children[k], ss = a_.sizes[s];
      const int32_t tree = dt(s, j) - ss + si, forest = df(s, j) - ss + si;
      if (tree < o.child_into_tree) o.child_into_tree = tree, o.tree_child_of_a = s;
      if (forest < o.child_into_forest) o.child_into_forest = forest, o.forest_child_of_a = s;
    }
    return o;
  }

  // Mapping i onto j: nothing for equal labels, a rename otherwise; nodes of
  // different kinds are a delete and an insert.
  int32_t node_cost(int32_t i, int32_t j) const {
    if (a_.kinds[i] != b_.kinds[j]) return 2;
    return a_.labels[i] != b_.labels[j] ? 1 : 0;
  }

  // The children of i matched one to one with the children of j (subtree
  // pairs at dt, the rest deleted or inserted whole); INF when a lower bound
  // shows that it cannot beat `upper`. `matched` (when given) receives the
  // matched child pairs.
  int32_t match_children(int32_t i, int32_t j, int32_t upper,
                         std::vector<std::pair<int32_t, int32_t>>* matched = nullptr) {
    const int32_t ki = a_.child_count(i), kj = b_.child_count(j);
    const int32_t forests = a_.sizes[i] - 1 + b_.sizes[j] - 1;
    if (ki == 0 || kj == 0) return forests;
    const int32_t* ci = a_.children.data() + a_.child_begin[i];
    const int32_t* cj = b_.children.data() + b_.child_begin[j];
    if (is_kind(a_, i, JsonKind::key) && is_kind(b_, j, JsonKind::key)) {
      if (matched != nullptr) matched->emplace_back(ci[0], cj[0]);
      return dt(ci[0], cj[0]);
    }
    int32_t lower = std::abs(a_.sizes[i] - b_.sizes[j]);
    if (ki > kj) lower = std::max(lower, a_.smallest_children_sum[a_.child_begin[i] + ki - kj - 1]);
    if (kj > ki) lower = std::max(lower, b_.smallest_children_sum[b_.child_begin[j] + kj - ki - 1]);
    if (upper <= lower) return INF;
    if (is_kind(a_, i, JsonKind::array) && is_kind(b_, j, JsonKind::array)) {
      return align_elements(ci, ki, cj, kj, matched);
    }
    return assign_children(ci, ki, cj, kj, upper, matched);
  }

  // The sequence edit distance of two arrays' elements.
  int32_t align_elements(const int32_t* ci, int32_t ki, const int32_t* cj, int32_t kj,
                         std::vector<std::pair<int32_t, int32_t>>* matched) {
    const size_t width = static_cast<size_t>(kj) + 1;
    std::vector<int32_t>& e = s_.matrix;
    e.resize((static_cast<size_t>(ki) + 1) * width);
    e[0] = 0;
    for (int32_t t = 1; t <= kj; ++t) e[t] = e[t - 1] + b_.sizes[cj[t - 1]];
    for (int32_t s = 1; s <= ki; ++s) {
      int32_t* row = e.data() + s * width;
      const int32_t* above = row - width;
      const int32_t x = ci[s - 1], sx = a_.sizes[x];
      row[0] = above[0] + sx;
      for (int32_t t = 1; t <= kj; ++t) {
        row[t] = std::min({row[t - 1] + b_.sizes[cj[t - 1]], above[t] + sx, above[t - 1] + dt(x, cj[t - 1])});
      }
    }
    const int32_t result = e[static_cast<size_t>(ki) * width + kj];
    if (matched != nullptr) {
      int32_t s = ki, t = kj;
      while (s > 0 && t > 0) {
        const int32_t here = e[s * width + t];
        if (here == e[(s - 1) * width + t - 1] + dt(ci[s - 1], cj[t - 1])) {
          matched->emplace_back(ci[s - 1], cj[t - 1]);
          --s, --t;
        } else if (here == e[(s - 1) * width + t] + a_.sizes[ci[s - 1]]) {
          --s;
        } else {
          --t;
        }
      }
    }
    return result;
  }

  // The minimum-cost bipartite matching of the children. Matching x with y
  // saves sizes[x] + sizes[y] - dt(x, y) >= 0 over leaving both unmatched,
  // so the smaller side is matched whole, on the savings matrix.
  int32_t assign_children(const int32_t* ci, int32_t ki, const int32_t* cj, int32_t kj, int32_t upper,
                          std::vector<std::pair<int32_t, int32_t>>* matched) {
    const bool a_rows = ki <= kj;
    const int32_t rows = a_rows ? ki : kj, columns = a_rows ? kj : ki;
    s_.matrix.resize(static_cast<size_t>(rows) * columns);
    // Lower bounds: each child of i costs at least its cheapest option
    // (a subtree of j or deletion), and the same for each child of j.
    s_.row_minimum.assign(static_cast<size_t>(ki), INF);
    s_.column_minimum.assign(static_cast<size_t>(kj), INF);
    int32_t unmatched = 0;
    for (int32_t s = 0; s < ki; ++s) unmatched += a_.sizes[ci[s]];
    for (int32_t t = 0; t < kj; ++t) unmatched += b_.sizes[cj[t]];
    for (int32_t s = 0; s < ki; ++s) {
      const int32_t x = ci[s], sx = a_.sizes[x];
      for (int32_t t = 0; t < kj; ++t) {
        const int32_t y = cj[t], d = dt(x, y);
        s_.row_minimum[s] = std::min(s_.row_minimum[s], d);
        s_.column_minimum[t] = std::min(s_.column_minimum[t], d);
        const size_t cell = a_rows ? static_cast<size_t>(s) * columns + t : static_cast<size_t>(t) * columns + s;
        s_.matrix[cell] = d - sx - b_.sizes[y];
      }
    }
    int64_t row_bound = 0, column_bound = 0;
    for (int32_t s = 0; s < ki; ++s) row_bound += std::min(s_.row_minimum[s], a_.sizes[ci[s]]);
    for (int32_t t = 0; t < kj; ++t) column_bound += std::min(s_.column_minimum[t], b_.sizes[cj[t]]);
    if (upper <= std::max(row_bound, column_bound)) return INF;
    const int64_t savings = min_cost_assignment(s_.matrix.data(), rows, columns, s_.row_to_column, s_.assignment);
    if (matched != nullptr) {
      for (int32_t r = 0; r < rows; ++r) {
        const int32_t c = s_.row_to_column[r];
        matched->emplace_back(a_rows ? ci[r] : ci[c], a_rows ? cj[c] : cj[r]);
      }
    }
    return static_cast<int32_t>(unmatched + savings);
  }

  const JsonTree& a_;
  const JsonTree& b_;
  JsonScratch& s_;
  const int32_t n2_;
};

double pair_bytes(int32_t n1, int32_t n2) {
  return 2 * heap_block_bytes(static_cast<double>(n1) * n2 * sizeof(int32_t));
}

int32_t pair_distance(const JsonTree& a, const JsonTree& b, JsonScratch& scratch, const StopFlag* stop) {
  if (a.size() == 0 || b.size() == 0) return a.size() + b.size();
  JsonPair pair(a, b, scratch);
  pair.fill(stop);
  return pair.dt(0, 0);
}

void check_pair_memory(int32_t n1, int32_t n2, int32_t workers) {
  const double needed = workers * pair_bytes(n1, n2);
  if (needed >= UNCHECKED_BYTES) {
    check_memory_budget(needed, workers,
                        "a JSON distance between trees of " + std::to_string(n1) + " and " + std::to_string(n2) +
                            " nodes");
  }
}

}  // namespace

int32_t json_edit_distance(const JsonTree& a, const JsonTree& b, const StopFlag* stop) {
  check_pair_memory(a.size(), b.size(), 1);
  JsonScratch scratch;
  return pair_distance(a, b, scratch, stop);
}

JsonMapping json_edit_mapping(const JsonTree& a, const JsonTree& b, const StopFlag* stop) {
  check_pair_memory(a.size(), b.size(), 1);
  JsonMapping result;
  if (a.size() == 0 || b.size() == 0) {
    result.distance = a.size() + b.size();
    return result;
  }
  JsonScratch scratch;
  JsonPair pair(a, b, scratch);
  pair.fill(stop);
  result.distance = pair.dt(0, 0);
  result.pairs = pair.mapping(stop);
  return result;
}

int32_t json_label_lower_bound(const JsonTree& a, const JsonTree& b) {
  const std::vector<int64_t>& x = a.sorted_labels;
  const std::vector<int64_t>& y = b.sorted_labels;
  int32_t common = 0;
  size_t p = 0, q = 0;
  while (p < x.size() && q < y.size()) {
    if (x[p] < y[q]) {
      ++p;
    } else if (y[q] < x[p]) {
      ++q;
    } else {
      ++common, ++p, ++q;
    }
  }
  return std::max(a.size(), b.size()) - common;
}

int32_t json_greedy_upper_bound(const JsonTree& a, const JsonTree& b) {
  if (a.size() == 0 || b.size() == 0) return a.size() + b.size();
  int64_t total = 0;
  std::vector<std::pair<int32_t, int32_t>> work{{0, 0}};
  while (!work.empty()) {
    const auto [v, w] = work.back();
    work.pop_back();
    if (a.kinds[v] != b.kinds[w]) {
      total += a.sizes[v] + b.sizes[w];
      continue;
    }
    total += a.labels[v] != b.labels[w] ? 1 : 0;
    const int32_t kv = a.child_count(v), kw = b.child_count(w);
    if (is_kind(a, v, JsonKind::object)) {
      // Members with equal keys, found by merging the children sorted by key.
      const int32_t* x = a.children_by_label.data() + a.child_begin[v];
      const int32_t* y = b.children_by_label.data() + b.child_begin[w];
      int32_t p = 0, q = 0;
      while (p < kv && q < kw) {
        if (a.labels[x[p]] < b.labels[y[q]]) {
          total += a.sizes[x[p++]];
        } else if (b.labels[y[q]] < a.labels[x[p]]) {
          total += b.sizes[y[q++]];
        } else {
          work.emplace_back(x[p++], y[q++]);
        }
      }
      for (; p < kv; ++p) total += a.sizes[x[p]];
      for (; q < kw; ++q) total += b.sizes[y[q]];
    } else {
      // Array elements (and a key's value) at equal positions.
      const int32_t* x = a.children.data() + a.child_begin[v];
      const int32_t* y = b.children.data() + b.child_begin[w];
      for (int32_t k = 0; k < std::min(kv, kw); ++k) work.emplace_back(x[k], y[k]);
      for (int32_t k = kw; k < kv; ++k) total += a.sizes[x[k]];
      for (int32_t k = kv; k < kw; ++k) total += b.sizes[y[k]];
    }
  }
  return static_cast<int32_t>(total);
}

namespace {

// The (i, j) of the result at `slot` of a batch.
std::pair<int64_t, int64_t> pair_at(PairLayout layout, int64_t slot, int64_t count_a, int64_t count_b,
                                    const std::vector<int32_t>& first, const std::vector<int32_t>& second) {
  if (layout == PairLayout::listed) return {first[slot], second[slot]};
  if (layout == PairLayout::a_by_b) return {slot / count_b, slot % count_b};
  // Condensed: row i starts at i * (2n - i - 1) / 2; find it by bisection.
  int64_t low = 0, high = count_a - 1;
  while (low < high) {
    const int64_t mid = (low + high + 1) / 2;
    if (mid * (2 * count_a - mid - 1) / 2 <= slot) {
      low = mid;
    } else {
      high = mid - 1;
    }
  }
  return {low, low + 1 + slot - low * (2 * count_a - low - 1) / 2};
}

int32_t largest_size(const std::vector<JsonTree>& trees) {
  int32_t largest = 0;
  for (const JsonTree& t : trees) largest = std::max(largest, t.size());
  return largest;
}

}  // namespace

void compute_json_batch(const std::vector<JsonTree>& trees_a, const std::vector<JsonTree>& trees_b,
                        PairLayout layout, const std::vector<int32_t>& first, const std::vector<int32_t>& second,
                        int32_t workers, int32_t* out, const StopFlag* stop, std::atomic<int64_t>* pairs_done) {
  const auto count_a = static_cast<int64_t>(trees_a.size()), count_b = static_cast<int64_t>(trees_b.size());
  int64_t slots = 0;
  if (layout == PairLayout::listed) {
    if (first.size() != second.size()) throw std::invalid_argument("first and second differ in length");
    slots = static_cast<int64_t>(first.size());
    for (int64_t k = 0; k < slots; ++k) {
      if (first[k] < 0 || first[k] >= count_a || second[k] < 0 || second[k] >= count_b) {
        throw std::invalid_argument("pair " + std::to_string(k) + " names a tree out of range");
      }
    }
  } else if (layout == PairLayout::a_by_b) {
    slots = count_a * count_b;
  } else {
    slots = count_a * (count_a - 1) / 2;
  }
  if (slots == 0) return;
  // Chunks of pairs handed out in turn keep the threads busy to the end.
  constexpr int64_t CHUNK = 8;
  const int64_t chunks = (slots + CHUNK - 1) / CHUNK;
  const auto threads = static_cast<int32_t>(std::min<int64_t>(std::max(workers, 1), chunks));
  const std::vector<JsonTree>& second_trees = layout == PairLayout::all_pairs_of_a ? trees_a : trees_b;
  check_pair_memory(largest_size(trees_a), largest_size(second_trees), threads);
  std::atomic<int64_t> next_chunk{0};
  run_on_workers(threads, stop, [&](int32_t, const std::atomic<bool>& failed) {
    JsonScratch scratch;
    for (int64_t chunk = next_chunk++; chunk < chunks; chunk = next_chunk++) {
      if (failed.load(std::memory_order_relaxed)) return;
      const int64_t end = std::min(slots, (chunk + 1) * CHUNK);
      for (int64_t slot = chunk * CHUNK; slot < end; ++slot) {
        const auto [i, j] = pair_at(layout, slot, count_a, count_b, first, second);
        out[slot] = pair_distance(trees_a[i], second_trees[j], scratch, stop);
      }
      if (pairs_done != nullptr) *pairs_done += end - chunk * CHUNK;
    }
  });
}

namespace {

struct TokenHash {
  size_t operator()(const std::pair<int64_t, int32_t>& token) const {
    return std::hash<int64_t>()(token.first * 1000003 + token.second);
  }
};

}  // namespace

JsonJoinMatches json_join(const std::vector<JsonTree>& trees, int32_t threshold, bool exact_distances,
                          int32_t workers, const StopFlag* stop, std::atomic<int64_t>* trees_done) {
  JsonJoinMatches result;
  const auto count = static_cast<int64_t>(trees.size());
  result.counts.pairs = count * (count - 1) / 2;
  if (count < 2 || threshold < 0) {
    result.counts.pruned_by_size = result.counts.pairs;
    return result;
  }
  // Trees in size order; a pair is a candidate only within the threshold.
  std::vector<int32_t> order(static_cast<size_t>(count));
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(), [&](int32_t x, int32_t y) { return trees[x].size() < trees[y].size(); });
  std::vector<int64_t> window_start(static_cast<size_t>(count));
  int64_t in_window = 0;
  for (int64_t p = 0, low = 0; p < count; ++p) {
    while (trees[order[p]].size() - trees[order[low]].size() > threshold) ++low;
    window_start[p] = low;
    in_window += p - low;
  }
  result.counts.pruned_by_size = result.counts.pairs - in_window;

  // Prefix filtering: two trees within the threshold share at least
  // max(n1, n2) - threshold labels (counted with multiplicity), so, with each
  // multiset's (label, occurrence) tokens sorted rarest first, their first
  // threshold + 1 tokens meet. Trees of at most threshold nodes need no
  // common label and are paired with every smaller tree instead.
  std::unordered_map<std::pair<int64_t, int32_t>, int32_t, TokenHash> token_ids;
  std::vector<std::vector<int32_t>> tokens(static_cast<size_t>(count));
  std::vector<int64_t> frequency;
  for (int64_t x = 0; x < count; ++x) {
    const std::vector<int64_t>& labels = trees[x].sorted_labels;
    int32_t occurrence = 0;
    for (size_t k = 0; k < labels.size(); ++k) {
      occurrence = k > 0 && labels[k - 1] == labels[k] ? occurrence + 1 : 0;
      const auto inserted = token_ids.emplace(std::make_pair(labels[k], occurrence),
                                              static_cast<int32_t>(token_ids.size()));
      if (inserted.second) frequency.push_back(0);
      ++frequency[inserted.first->second];
      tokens[x].push_back(inserted.first->second);
    }
  }
  std::vector<std::vector<int32_t>> postings(frequency.size());  // sorted positions
  for (int64_t p = 0; p < count; ++p) {
    std::vector<int32_t>& own = tokens[order[p]];
    std::sort(own.begin(), own.end(), [&](int32_t x, int32_t y) {
      return frequency[x] != frequency[y] ? frequency[x] < frequency[y] : x < y;
    });
    own.resize(std::min(own.size(), static_cast<size_t>(threshold) + 1));
    for (int32_t token : own) postings[token].push_back(static_cast<int32_t>(p));
  }

  const auto threads = static_cast<int32_t>(std::min<int64_t>(std::max(workers, 1), count));
  check_pair_memory(largest_size(trees), largest_size(trees), threads);
  std::vector<JsonJoinMatches> found(static_cast<size_t>(threads));
  std::atomic<int64_t> next_probe{1};
  run_on_workers(threads, stop, [&](int32_t worker, const std::atomic<bool>& failed) {
    JsonJoinMatches& mine = found[worker];
    JsonScratch scratch;
    std::vector<int64_t> seen_by(static_cast<size_t>(count), -1);
    std::vector<int32_t> candidates;
    for (int64_t p = next_probe++; p < count; p = next_probe++) {
      if (failed.load(std::memory_order_relaxed)) return;
      throw_if_stopped(stop);
      const JsonTree& probe = trees[order[p]];
      candidates.clear();
      if (probe.size() <= threshold) {
        for (int64_t q = window_start[p]; q < p; ++q) candidates.push_back(static_cast<int32_t>(q));
      } else {
        for (int32_t token : tokens[order[p]]) {
          const std::vector<int32_t>& list = postings[token];
          for (auto it = std::lower_bound(list.begin(), list.end(), static_cast<int32_t>(window_start[p]));
               it != list.end() && *it < p; ++it) {
            if (seen_by[*it] != p) seen_by[*it] = p, candidates.push_back(*it);
          }
        }
      }
      for (int32_t q : candidates) {
        const JsonTree& other = trees[order[q]];
        const int32_t lower = json_label_lower_bound(probe, other);
        if (lower > threshold) continue;
        const int32_t upper = json_greedy_upper_bound(probe, other);
        int32_t d = -1;
        if (upper == lower) {
          ++mine.counts.exact_by_bounds;
          d = upper;
        } else if (upper <= threshold && !exact_distances) {
          ++mine.counts.accepted_by_upper_bound;
        } else {
          ++mine.counts.verified;
          d = pair_distance(other, probe, scratch, stop);
          if (d > threshold) {
            ++mine.counts.failed_verification;
            continue;
          }
        }
        mine.first.push_back(std::min(order[p], order[q]));
        mine.second.push_back(std::max(order[p], order[q]));
        mine.distance.push_back(d);
      }
      if (trees_done != nullptr) ++*trees_done;
    }
  });
  std::vector<std::pair<std::pair<int32_t, int32_t>, int32_t>> all;
  for (const JsonJoinMatches& mine : found) {
    for (size_t k = 0; k < mine.first.size(); ++k) all.push_back({{mine.first[k], mine.second[k]}, mine.distance[k]});
    result.counts.accepted_by_upper_bound += mine.counts.accepted_by_upper_bound;
    result.counts.exact_by_bounds += mine.counts.exact_by_bounds;
    result.counts.verified += mine.counts.verified;
    result.counts.failed_verification += mine.counts.failed_verification;
  }
  std::sort(all.begin(), all.end());
  for (const auto& m : all) {
    result.first.push_back(m.first.first);
    result.second.push_back(m.first.second);
    result.distance.push_back(m.second);
  }
  result.counts.pruned_by_labels =
      in_window - result.counts.accepted_by_upper_bound - result.counts.exact_by_bounds - result.counts.verified;
  if (trees_done != nullptr) ++*trees_done;  // the first tree probes nothing
  return result;
}

}  // namespace grix
