// Path strategies: the plan, and the distance that follows it (see
// path_strategy.h for the outline).
//
// Forests of the subtree of w in the second tree (or the first, when the
// path is in the second) are named by two counts (a, b): the forest G(a, b)
// holds the nodes whose pre-order position within the subtree is at least a
// and whose mirrored pre-order position is at least b. Removing the leftmost
// root of a forest removes nodes in pre-order, removing the rightmost root
// removes them in mirrored pre-order, so every forest that a sequence of such
// removals gives is a G(a, b); some forests have several names, and each
// name's cell is computed by the same recurrence, so they agree.
//   - The leftmost root of G(a, b) is node a when its mirrored position is at
//     least b; otherwise G(a, b) = G(a + 1, b). Its subtree is whole in the
//     forest, and removing it gives G(a + size, b).
//   - Likewise the rightmost root is the node at mirrored position b when its
//     pre-order position is at least a; removing its subtree gives
//     G(a, b + size).
//   - The children of node y form G(pre(y) + 1, mirror(y) + 1): the nodes
//     after y in both orders are its descendants.

#include "distance/path_strategy.h"

#include <algorithm>
#include <functional>
#include <memory>

#include "distance/keyroot_kernel.h"
#include "distance/keyroot_schedule.h"
#include "shared/worker_threads.h"

namespace grix {

// Fitted to times measured on the 2-core development machine;
// bench/bench_strategy.py prints measured against predicted times, to refit
// them elsewhere. The strategy's kernel cells cost more than the keyroot
// schedule's: its calls are many and small.
const StrategyWeights STRATEGY_WEIGHTS = {
    /*keyroot_cell=*/1.1e-9,
    /*keyroot_pair=*/150e-9,
    /*leaf_group_cell=*/0.5e-9,
    /*leaf_pair=*/0.4e-9,
    /*right_path_cell=*/2.2e-9,
    /*left_path_cell=*/3.2e-9,
    /*heavy_path_cell=*/0.3e-9,
    /*kernel_call=*/300e-9,
    /*plan_pair=*/20e-9,
};

PathShape build_path_shape(const OrientedTree& tree) {
  const PreparedTree& given = tree.given;
  PathShape shape;
  const int32_t n = tree.size();
  shape.n = n;
  shape.size.resize(static_cast<size_t>(n));
  shape.heavy_child.assign(static_cast<size_t>(n), -1);
  shape.heavy_length.assign(static_cast<size_t>(n), 1);
  shape.first_child_at.assign(static_cast<size_t>(n) + 1, 0);
  for (int32_t v = 0; v < n; ++v) {
    shape.size[v] = given.rightmost_leaf[v] - v + 1;
    if (given.parents[v] >= 0) ++shape.first_child_at[given.parents[v] + 1];
  }
  for (int32_t v = 0; v < n; ++v) shape.first_child_at[v + 1] += shape.first_child_at[v];
  shape.child_list.resize(static_cast<size_t>(std::max(n - 1, 0)));
  std::vector<int32_t> filled(shape.first_child_at.begin(), shape.first_child_at.end() - 1);
  for (int32_t v = 1; v < n; ++v) shape.child_list[filled[given.parents[v]]++] = v;
  shape.parent = given.parents;
  shape.from_mirror_id = tree.mirrored_to_given;
  shape.mirror_id.resize(static_cast<size_t>(n));
  for (int32_t k = 0; k < n; ++k) shape.mirror_id[tree.mirrored_to_given[k]] = k;

  // Children have larger ids than their parent, so one pass from the last
  // node up sees every child before its parent.
  shape.left_cells.resize(static_cast<size_t>(n));
  shape.right_cells.resize(static_cast<size_t>(n));
  shape.left_keyroots.resize(static_cast<size_t>(n));
  shape.right_keyroots.resize(static_cast<size_t>(n));
  for (int32_t v = n - 1; v >= 0; --v) {
    const double own = shape.size[v] + 1.0;
    double left = own, right = own;
    int32_t left_keyroots = 1, right_keyroots = 1;
    int32_t heavy = -1;
    for (int32_t at = shape.first_child_at[v]; at < shape.first_child_at[v + 1]; ++at) {
      const int32_t c = shape.child_list[at];
      left += shape.left_cells[c];
      right += shape.right_cells[c];
      left_keyroots += shape.left_keyroots[c];
      right_keyroots += shape.right_keyroots[c];
      if (heavy < 0 || shape.size[c] > shape.size[heavy]) heavy = c;
    }
    if (heavy >= 0) {
      // The first child continues v's leftmost path, so it is no keyroot of
      // the subtree of v; likewise the last child for rightmost paths.
      left -= shape.size[shape.first_child(v)] + 1.0;
      right -= shape.size[shape.last_child(v)] + 1.0;
      --left_keyroots;
      --right_keyroots;
      shape.heavy_child[v] = heavy;
      shape.heavy_length[v] = shape.heavy_length[heavy] + 1;
    }
    shape.left_cells[v] = left;
    shape.right_cells[v] = right;
    shape.left_keyroots[v] = left_keyroots;
    shape.right_keyroots[v] = right_keyroots;
  }
  return shape;
}

namespace {

int32_t path_child(const PathShape& shape, int32_t v, int32_t kind) {
  if (shape.is_leaf(v)) return -1;
  if (kind == LEFT_PATH) return shape.first_child(v);
  if (kind == RIGHT_PATH) return shape.last_child(v);
  return shape.heavy_child[v];
}

}  // namespace

namespace {

// The predicted seconds of the six single-path functions of the pair (v, w),
// indexed by choice: the kernel's cells and calls along leftmost and
// rightmost paths, the grid cells along heavy paths. Inline: the plan calls
// it for every pair of subtrees.
inline void single_path_options(const PathShape& f, const PathShape& g, int32_t v, int32_t w, double (&out)[6]) {
  const StrategyWeights& weight = STRATEGY_WEIGHTS;
  const double size1 = f.size[v] + 1.0, size2 = g.size[w] + 1.0;
  out[LEFT_PATH] = weight.left_path_cell * size1 * g.left_cells[w] + weight.kernel_call * g.left_keyroots[w];
  out[RIGHT_PATH] = weight.right_path_cell * size1 * g.right_cells[w] + weight.kernel_call * g.right_keyroots[w];
  out[HEAVY_PATH] = weight.heavy_path_cell * (f.size[v] + 3.0 * f.heavy_length[v]) * size2 * size2;
  out[3 + LEFT_PATH] = weight.left_path_cell * f.left_cells[v] * size2 + weight.kernel_call * f.left_keyroots[v];
  out[3 + RIGHT_PATH] = weight.right_path_cell * f.right_cells[v] * size2 + weight.kernel_call * f.right_keyroots[v];
  out[3 + HEAVY_PATH] = weight.heavy_path_cell * (g.size[w] + 3.0 * g.heavy_length[w]) * size1 * size1;
}

}  // namespace

double single_path_seconds(const PathShape& f, const PathShape& g, int32_t v, int32_t w, int32_t choice) {
  double options[6];
  single_path_options(f, g, v, w, options);
  return options[choice];
}

PathPlan plan_paths(const PathShape& f, const PathShape& g, const StopFlag* stop) {
  const int32_t n1 = f.n;
  const int32_t n2 = g.n;
  PathPlan plan;
  plan.choice.resize(static_cast<size_t>(n1) * static_cast<size_t>(n2));
  // cost(v, w) of the row at hand, and for each path kind in the second tree
  // the sum of cost(v, x) over the subtrees x hanging off that path of w.
  std::vector<double> cost_row(static_cast<size_t>(n2));
  std::vector<double> left_in_second(static_cast<size_t>(n2)), right_in_second(static_cast<size_t>(n2)),
      heavy_in_second(static_cast<size_t>(n2));
  // The same sums for paths in the first tree, sum of cost(u, w) over the
  // subtrees u hanging off the path of v: children hand their rows to their
  // parent as they finish, so only parents with a finished child hold a row.
  std::vector<std::vector<double>> rows;
  std::vector<int32_t> free_rows, row_of_node(static_cast<size_t>(n1), -1);
  const std::vector<double> leaf_row(3 * static_cast<size_t>(n2), 0.0);

  // This loop runs once per pair of subtrees: every option is a local, and
  // the cheapest is found by a chain of comparisons the compiler keeps in
  // registers.
  for (int32_t v = n1 - 1; v >= 0; --v) {
    throw_if_stopped(stop);
    const double* const hanging_in_first = row_of_node[v] >= 0 ? rows[row_of_node[v]].data() : leaf_row.data();
    const double* const left_in_first = hanging_in_first;
    const double* const right_in_first = hanging_in_first + n2;
    const double* const heavy_in_first = hanging_in_first + 2 * static_cast<size_t>(n2);
    uint8_t* const choice_row = plan.choice.data() + static_cast<size_t>(v) * static_cast<size_t>(n2);
    for (int32_t w = n2 - 1; w >= 0; --w) {
      double left = 0, right = 0, heavy = 0;
      const int32_t children_end = g.first_child_at[w + 1];
      if (g.first_child_at[w] < children_end) {
        const int32_t first = g.child_list[g.first_child_at[w]], last = g.child_list[children_end - 1];
        const int32_t heavy_child = g.heavy_child[w];
        for (int32_t at = g.first_child_at[w]; at < children_end; ++at) {
          const int32_t x = g.child_list[at];
          const double whole = cost_row[x];
          left += x == first ? left_in_second[x] : whole;
          right += x == last ? right_in_second[x] : whole;
          heavy += x == heavy_child ? heavy_in_second[x] : whole;
        }
      }
      left_in_second[w] = left;
      right_in_second[w] = right;
      heavy_in_second[w] = heavy;
      double options[6];
      single_path_options(f, g, v, w, options);
      double best_cost = options[LEFT_PATH] + left_in_first[w];
      uint8_t best = LEFT_PATH;
      auto consider = [&](double cost, uint8_t choice) {
        if (cost < best_cost) {
          best_cost = cost;
          best = choice;
        }
      };
      consider(options[RIGHT_PATH] + right_in_first[w], RIGHT_PATH);
      consider(options[HEAVY_PATH] + heavy_in_first[w], HEAVY_PATH);
      consider(options[3 + LEFT_PATH] + left, 3 + LEFT_PATH);
      consider(options[3 + RIGHT_PATH] + right, 3 + RIGHT_PATH);
      consider(options[3 + HEAVY_PATH] + heavy, 3 + HEAVY_PATH);
      cost_row[w] = best_cost;
      choice_row[w] = best;
    }

    const int32_t p = f.parent[v];
    if (p >= 0) {
      if (row_of_node[p] < 0) {
        if (free_rows.empty()) {
          free_rows.push_back(static_cast<int32_t>(rows.size()));
          rows.emplace_back();
        }
        row_of_node[p] = free_rows.back();
        free_rows.pop_back();
        rows[row_of_node[p]].assign(3 * static_cast<size_t>(n2), 0.0);
      }
      double* const into = rows[row_of_node[p]].data();
      for (int32_t kind = 0; kind < 3; ++kind) {
        const double* const from = v == path_child(f, p, kind) ? hanging_in_first + kind * n2 : cost_row.data();
        double* const to = into + kind * n2;
        for (int32_t w = 0; w < n2; ++w) to[w] += from[w];
      }
    }
    if (row_of_node[v] >= 0) {
      free_rows.push_back(row_of_node[v]);
      row_of_node[v] = -1;
    }
  }
  plan.cost = n1 > 0 && n2 > 0 ? cost_row[0] : 0;
  return plan;
}

AlgorithmPrices price_algorithms(const OrientedTree& tree1, const OrientedTree& tree2, Algorithm algorithm,
                                 PathShape& shape1, PathShape& shape2, PathPlan& plan, const StopFlag* stop) {
  const StrategyWeights& weight = STRATEGY_WEIGHTS;
  AlgorithmPrices prices;
  prices.seconds_per_cell = weight.keyroot_cell;
  // Pairs of inner keyroots are kernel calls; a leaf keyroot against an
  // inner one is a row or column of a group, two leaves one rename (each
  // leaf counts 2 in the cell factor: itself and the empty forest).
  auto keyroot_seconds = [&](const PreparedTree& first, const PreparedTree& second) {
    const double leaves1 = static_cast<double>(first.leaf_keyroots);
    const double leaves2 = static_cast<double>(second.leaf_keyroots);
    const double inner_cells1 = static_cast<double>(first.cell_factor) - 2 * leaves1;
    const double inner_cells2 = static_cast<double>(second.cell_factor) - 2 * leaves2;
    const double inner1 = static_cast<double>(first.keyroots.size()) - leaves1;
    const double inner2 = static_cast<double>(second.keyroots.size()) - leaves2;
    return weight.keyroot_cell * inner_cells1 * inner_cells2 + weight.keyroot_pair * inner1 * inner2 +
           weight.leaf_group_cell * 2 * (inner_cells1 * leaves2 + leaves1 * inner_cells2) +
           weight.leaf_pair * leaves1 * leaves2;
  };
  prices.keyroot_given = keyroot_seconds(tree1.given, tree2.given);
  prices.keyroot_mirrored = keyroot_seconds(tree1.mirrored, tree2.mirrored);
  if (algorithm == Algorithm::keyroot || tree1.size() == 0 || tree2.size() == 0) return prices;
  prices.plan = weight.plan_pair * static_cast<double>(tree1.size()) * static_cast<double>(tree2.size());
  // Planning costs a few times one keyroot cell per subtree pair, and the
  // keyroot schedule computes at least one cell per pair: only where it
  // computes far more can a plan pay. Where planning would take more than
  // this share of the keyroot schedule's time, the plan is not made at all,
  // so a plan made in vain costs at most this share. At 3 % the plan was
  // skipped on opposed caterpillars of 500 nodes (planning 4.9 % of the
  // keyroot schedule), where the strategy takes a fifth of its time.
  constexpr double PLAN_SHARE = 0.10;
  const double keyroot = std::min(prices.keyroot_given, prices.keyroot_mirrored);
  if (algorithm == Algorithm::automatic && prices.plan > PLAN_SHARE * keyroot) return prices;
  shape1 = build_path_shape(tree1);
  shape2 = build_path_shape(tree2);
  plan = plan_paths(shape1, shape2, stop);
  prices.strategy = prices.plan + plan.cost;
  prices.use_strategy = algorithm == Algorithm::strategy || prices.strategy < keyroot;
  return prices;
}

AlgorithmPrices price_pair(const OrientedTree& tree1, const OrientedTree& tree2, Algorithm algorithm,
                           const StopFlag* stop) {
  PathShape shape1, shape2;
  PathPlan plan;
  return price_algorithms(tree1, tree2, algorithm, shape1, shape2, plan, stop);
}

double estimate_strategy_bytes(int32_t n1, int32_t n2, int32_t worker_count, double cost_bytes) {
  const double cells = static_cast<double>(n1) * n2;
  const double larger = std::max(n1, n2) + 1.0;
  // The subtree distances, the plan's choices, the kernel's scratch, three
  // forest grids of the larger tree and a growth table per worker, and the
  // plan's rows (at most one per node with a finished child, three sums each).
  return cells * (cost_bytes + 1) + (n1 + 1.0) * (n2 + 1.0) * cost_bytes +
         4 * larger * larger * cost_bytes + (worker_count + 1.0) * (n1 + 1.0) * (n2 + 1.0) * cost_bytes +
         12.0 * cells;
}

namespace {

// Gives fn(k) for the keyroots of one subtree, in the descending id order of
// `keyroots` (the inner ones before the ones that hold them) and the root last.
template <typename Visit>
void for_each_keyroot_within(const std::vector<int32_t>& keyroots, int32_t root, int32_t last, Visit&& visit) {
  auto it = std::lower_bound(keyroots.begin(), keyroots.end(), last, std::greater<int32_t>());
  for (; it != keyroots.end() && *it > root; ++it) visit(*it);
  visit(root);
}

// Grid work below this many cells runs on the calling thread. The sweeps
// stream whole grids and are bound by memory bandwidth, so a second thread
// gains little (1.0-1.2x measured on 2 cores) and loses its wake-up cost on
// smaller grids.
constexpr int64_t THREADED_GRID_CELLS = int64_t{1} << 20;

template <typename Cost>
void transpose(const FlatMatrix<Cost>& from, FlatMatrix<Cost>& to, int32_t size) {
  constexpr int32_t BLOCK = 32;
  to.reshape(size, size);
  for (int32_t r0 = 0; r0 < size; r0 += BLOCK) {
    for (int32_t c0 = 0; c0 < size; c0 += BLOCK) {
      const int32_t r1 = std::min(size, r0 + BLOCK), c1 = std::min(size, c0 + BLOCK);
      for (int32_t r = r0; r < r1; ++r) {
        const Cost* const row = from.row(r);
        for (int32_t c = c0; c < c1; ++c) to.at(c, r) = row[c];
      }
    }
  }
}

// The heavy-path function: for every node p on the heavy path of v in tree A
// (the path side) and every node y of the subtree of w in tree B, the
// distance between the subtrees of p and y, given those of every subtree
// hanging off the path against every subtree of w. A is the first tree when
// path_in_first, else the second, and the matrices stay in (first, second)
// order either way.
template <typename Cost, bool path_in_first, typename Indel>
class HeavyPathFunction {
 public:
  // `team` (null for one thread) runs large grid steps split by rows or columns.
  HeavyPathFunction(const PathShape& a, const PathShape& b, const MatrixView<Cost>& rename, const Indel& indel,
                    FlatMatrix<Cost>& tree_dist, WorkerTeam* team, const StopFlag* stop)
      : a_(a), b_(b), rename_(rename), indel_(indel), tree_dist_(tree_dist), team_(team), stop_(stop),
        tables_(static_cast<size_t>(team != nullptr ? team->size() : 1)) {}

  void run(int32_t v, int32_t w) {
    describe_subtree(w);
    const int32_t m = m_;
    // empty_[a][b]: inserting (or deleting, on the B side) all of G(a, b).
    empty_.reshape(m + 1, m + 1);
    std::fill(empty_.row(m), empty_.row(m) + m + 1, Cost{0});
    for (int32_t a = m - 1; a >= 0; --a) {
      const Cost* const below = empty_.row(a + 1);
      Cost* const row = empty_.row(a);
      const int32_t lm = mirror_of_pre_[a];
      for (int32_t b = 0; b <= m; ++b) row[b] = b <= lm ? below[b] + remove_by_pre_[a] : below[b];
    }
    current_.reshape(m + 1, m + 1);
    std::copy(empty_.row(0), empty_.row(0) + static_cast<size_t>(m + 1) * (m + 1), current_.row(0));

    std::vector<int32_t> path{v};
    while (a_.heavy_child[path.back()] >= 0) path.push_back(a_.heavy_child[path.back()]);
    for (size_t at = path.size(); at-- > 0;) {
      throw_if_stopped(stop_);
      const int32_t p = path[at];
      if (at + 1 < path.size()) {
        const int32_t c = path[at + 1];
        // current_ holds the subtree of c; first add the subtrees right of c,
        // then those left of it, one node at a time.
        const int32_t right_count = (p + a_.size[p]) - (c + a_.size[c]);
        if (right_count > 0) {
          added_.clear();
          for (int32_t f = right_count; f >= 1; --f) added_.push_back(a_.from_mirror_id[a_.mirror_id[p] + f]);
          grow(current_, next_, /*by_mirror=*/true);
          std::swap(current_, next_);
        }
        const int32_t left_count = c - p - 1;
        if (left_count == 1) {
          add_left_leaf(p + 1);
          std::swap(current_, next_);
        } else if (left_count > 1) {
          added_.clear();
          for (int32_t f = 1; f <= left_count; ++f) added_.push_back(c - f);
          transpose(current_, transposed_, m + 1);
          grow(transposed_, next_, /*by_mirror=*/false);
          transpose(next_, current_, m + 1);
        }
      }
      add_root(p);
      std::swap(current_, next_);
    }
  }

 private:
  Cost remove_a(int32_t x) const {
    if constexpr (path_in_first) return indel_.deletion(x);
    else return indel_.insertion(x);
  }
  Cost remove_b(int32_t y) const {
    if constexpr (path_in_first) return indel_.insertion(y);
    else return indel_.deletion(y);
  }
  Cost rename(int32_t x, int32_t y) const {
    const Cost cost = path_in_first ? rename_.row(x)[y] : rename_.row(y)[x];
    return std::min<Cost>(cost, remove_a(x) + remove_b(y));
  }
  Cost& tree(int32_t x, int32_t y) { return path_in_first ? tree_dist_.at(x, y) : tree_dist_.at(y, x); }

  // The subtree of w, in positions within it: pre-order position a is node
  // w + a; mirrored position b is node b_.from_mirror_id[mirror(w) + b].
  void describe_subtree(int32_t w) {
    w_ = w;
    m_ = b_.size[w];
    const int32_t mw = b_.mirror_id[w];
    mirror_of_pre_.resize(m_);
    pre_of_mirror_.resize(m_);
    size_by_pre_.resize(m_ + 1);
    size_by_mirror_.resize(m_ + 1);
    node_by_mirror_.resize(m_);
    remove_by_pre_.resize(m_);
    remove_by_mirror_.resize(m_);
    for (int32_t a = 0; a < m_; ++a) {
      const int32_t y = w + a;
      const int32_t b = b_.mirror_id[y] - mw;
      mirror_of_pre_[a] = b;
      pre_of_mirror_[b] = a;
      node_by_mirror_[b] = y;
      size_by_pre_[a] = size_by_mirror_[b] = b_.size[y];
      remove_by_pre_[a] = remove_by_mirror_[b] = remove_b(y);
    }
  }

  // Adds the nodes of added_ one at a time to the path-side forest whose
  // distances to every G(a, b) are in `from`, leaving those of the grown
  // forest in `to`. Each added node becomes the new rightmost root
  // (by_mirror: the forests of B then lose rightmost roots too, and the rows
  // of from and to are indexed [a][b]) or leftmost root (rows [b][a]).
  // added_[f - 1] is the node added in step f; its subtree was added in the
  // steps before, so the forest without that subtree is the one of step
  // f - size.
  void grow(const FlatMatrix<Cost>& from, FlatMatrix<Cost>& to, bool by_mirror) {
    const int32_t m = m_;
    const int32_t count = static_cast<int32_t>(added_.size());
    const std::vector<int32_t>& key = by_mirror ? pre_of_mirror_ : mirror_of_pre_;
    const std::vector<int32_t>& size_at = by_mirror ? size_by_mirror_ : size_by_pre_;
    const std::vector<Cost>& remove_at = by_mirror ? remove_by_mirror_ : remove_by_pre_;
    // The subtree distances each step reads, gathered into rows first (read
    // from the matrix they would be scattered across it).
    gathered_.reshape(count + 1, m + 1);
    added_size_.resize(static_cast<size_t>(count) + 1);
    added_cost_.resize(static_cast<size_t>(count) + 1);
    for (int32_t f = 1; f <= count; ++f) {
      const int32_t x = added_[f - 1];
      added_size_[f] = a_.size[x];
      added_cost_[f] = remove_a(x);
      Cost* const row = gathered_.row(f);
      for (int32_t i = 0; i < m; ++i) row[i] = tree(x, by_mirror ? node_by_mirror_[i] : w_ + i);
    }
    to.reshape(m + 1, m + 1);
    auto grow_rows = [&](int32_t worker, int32_t first, int32_t last, const std::atomic<bool>& failed) {
      FlatMatrix<Cost>& table = tables_[worker];
      table.reshape(count + 1, m + 1);
      // One added node (a leaf, the common case) needs no table: the step
      // reads the row of `from` and writes the row of `to`.
      const bool direct = count == 1;
      for (int32_t o = first; o < last; ++o) {
        if ((o & 63) == 0 && (failed.load(std::memory_order_relaxed) ||
                              (stop_ != nullptr && stop_->load(std::memory_order_relaxed)))) {
          return;
        }
        if (!direct) std::copy(from.row(o), from.row(o) + m + 1, table.row(0));
        for (int32_t f = 1; f <= count; ++f) {
          Cost* const d = direct ? to.row(o) : table.row(f);
          const Cost* const previous = direct ? from.row(o) : table.row(f - 1);
          const Cost* const without_subtree = direct ? from.row(o) : table.row(f - added_size_[f]);
          const Cost* const matched = gathered_.row(f);
          const Cost removed = added_cost_[f];
          d[m] = previous[m] + removed;
          for (int32_t i = m - 1; i >= 0; --i) {
            if (key[i] < o) {
              d[i] = d[i + 1];  // node i is not in this forest
              continue;
            }
            d[i] = std::min(std::min<Cost>(previous[i] + removed, d[i + 1] + remove_at[i]),
                            without_subtree[i + size_at[i]] + matched[i]);
          }
        }
        if (!direct) std::copy(table.row(count), table.row(count) + m + 1, to.row(o));
      }
    };
    split_rows(static_cast<int64_t>(count) * (m + 1) * (m + 1), m + 1, grow_rows);
  }

  // A single leaf x added left of the forest in current_ (into next_), in
  // the [a][b] layout, with no transposes: matching x with node a leaves the
  // forest without x and G(a + size, b).
  void add_left_leaf(int32_t x) {
    matched_.resize(m_);
    for (int32_t a = 0; a < m_; ++a) matched_[a] = tree(x, w_ + a);
    add_leftmost(remove_a(x), current_);
  }

  // The path node p added over its children forest (current_), into next_,
  // and the subtree distances of p against every node of the subtree of w.
  // Matching p with node a matches p's children with a's children, and
  // leaves nothing of the path side for G(a + size, b).
  void add_root(int32_t p) {
    matched_.resize(m_);
    for (int32_t a = 0; a < m_; ++a) matched_[a] = current_.row(a + 1)[mirror_of_pre_[a] + 1] + rename(p, w_ + a);
    add_leftmost(remove_a(p), empty_);
    for (int32_t a = 0; a < m_; ++a) tree(p, w_ + a) = next_.at(a, mirror_of_pre_[a]);
  }

  // The step both share: a node added as the leftmost root of the path-side
  // forest whose distances are in current_, into next_. With leftmost roots
  // removed on the other side too, G(a, b) loses node a (when present):
  // next[a][b] = min(current[a][b] + removed, next[a + 1][b] + insert(a),
  // after_match[a + size(a)][b] + matched_[a]). Row a needs row a + 1 of
  // next_, so the work splits by columns.
  void add_leftmost(Cost removed, const FlatMatrix<Cost>& after_match) {
    const int32_t m = m_;
    next_.reshape(m + 1, m + 1);
    auto columns = [&](int32_t, int32_t first, int32_t last, const std::atomic<bool>&) {
      {
        const Cost* const before = current_.row(m);
        Cost* const out = next_.row(m);
        for (int32_t b = first; b < last; ++b) out[b] = before[b] + removed;
      }
      for (int32_t a = m - 1; a >= 0; --a) {
        const Cost* const before = current_.row(a);
        const Cost* const rest = after_match.row(a + size_by_pre_[a]);
        const Cost* const below = next_.row(a + 1);
        Cost* const out = next_.row(a);
        const Cost match = matched_[a];
        const Cost insert_a = remove_by_pre_[a];
        const int32_t end = std::min(last, mirror_of_pre_[a] + 1);  // b > mirror(a): node a is not in G(a, b)
        int32_t b = first;
        for (; b < end; ++b) out[b] = std::min(std::min<Cost>(before[b] + removed, below[b] + insert_a), rest[b] + match);
        for (; b < last; ++b) out[b] = below[b];
      }
    };
    split_rows(static_cast<int64_t>(m + 1) * (m + 1), m + 1, columns);
  }

  // Runs body(member, first, last, failed) over [0, count) split among the
  // team when the work is large enough to pay for waking it.
  template <typename Body>
  void split_rows(int64_t cells, int32_t count, Body&& body) {
    const int32_t members = team_ != nullptr && cells >= THREADED_GRID_CELLS ? std::min(team_->size(), count) : 1;
    if (members <= 1) {
      const std::atomic<bool> never{false};
      body(0, 0, count, never);
    } else {
      team_->run([&](int32_t member, const std::atomic<bool>& failed) {
        if (member >= members) return;
        const int32_t first = static_cast<int32_t>(static_cast<int64_t>(count) * member / members);
        const int32_t last = static_cast<int32_t>(static_cast<int64_t>(count) * (member + 1) / members);
        body(member, first, last, failed);
      });
    }
    throw_if_stopped(stop_);
  }

  const PathShape& a_;
  const PathShape& b_;
  const MatrixView<Cost>& rename_;
  const Indel& indel_;
  FlatMatrix<Cost>& tree_dist_;
  WorkerTeam* const team_;
  const StopFlag* stop_;
  int32_t w_ = 0, m_ = 0;
  std::vector<int32_t> mirror_of_pre_, pre_of_mirror_, size_by_pre_, size_by_mirror_, node_by_mirror_;
  std::vector<Cost> remove_by_pre_, remove_by_mirror_, matched_;
  std::vector<int32_t> added_, added_size_;
  std::vector<Cost> added_cost_;
  FlatMatrix<Cost> empty_, current_, next_, transposed_, gathered_;
  std::vector<FlatMatrix<Cost>> tables_;
};

template <typename Cost, typename Indel>
void run_plan_with(const OrientedTree& tree1, const OrientedTree& tree2, const PathShape& f, const PathShape& g,
                   const PathPlan& plan, const MatrixView<Cost>& rename, const Indel& indel,
                   const Indel& mirrored_indel, int32_t workers, FlatMatrix<Cost>& tree_dist,
                   const StopFlag* stop, std::atomic<int64_t>* cells_done) {
  const int32_t n1 = f.n, n2 = g.n;
  FlatMatrix<Cost> forest_dist(n1 + 1, n2 + 1);
  // The kernel in mirrored ids reads and writes the given-id matrices.
  const PermutedMatrix<const Cost> mirrored_rename{rename.values, rename.columns, f.from_mirror_id.data(),
                                                   g.from_mirror_id.data()};
  const PermutedMatrix<Cost> mirrored_tree_dist{tree_dist.row(0), n2, f.from_mirror_id.data(),
                                                g.from_mirror_id.data()};
  std::unique_ptr<WorkerTeam> team;
  if (workers >= 2) team = std::make_unique<WorkerTeam>(workers);
  HeavyPathFunction<Cost, true, Indel> heavy_in_first(f, g, rename, indel, tree_dist, team.get(), stop);
  HeavyPathFunction<Cost, false, Indel> heavy_in_second(g, f, rename, indel, tree_dist, team.get(), stop);
  const std::vector<int32_t>& leaf1 = tree1.given.rightmost_leaf;
  const std::vector<int32_t>& leaf2 = tree2.given.rightmost_leaf;
  const std::vector<int32_t>& mirrored_leaf1 = tree1.mirrored.rightmost_leaf;
  const std::vector<int32_t>& mirrored_leaf2 = tree2.mirrored.rightmost_leaf;
  int64_t unreported = 0;

  struct Task {
    int32_t v, w;
    bool hanging_done;
  };
  std::vector<Task> tasks{{0, 0, false}};
  while (!tasks.empty()) {
    throw_if_stopped(stop);
    const Task task = tasks.back();
    tasks.pop_back();
    const int32_t v = task.v, w = task.w;
    if (f.size[v] == 1 && g.size[w] == 1) {
      tree_dist.at(v, w) = std::min<Cost>(rename.row(v)[w], indel.deletion(v) + indel.insertion(w));
      continue;
    }
    const uint8_t choice = plan.choice[static_cast<size_t>(v) * n2 + w];
    const int32_t kind = choice % 3;
    const bool in_first = choice / 3 == PATH_IN_FIRST;
    if (!task.hanging_done) {
      // First every subtree hanging off the path against the other subtree.
      tasks.push_back({v, w, true});
      const PathShape& side = in_first ? f : g;
      for (int32_t p = in_first ? v : w; p >= 0;) {
        const int32_t next = path_child(side, p, kind);
        for (int32_t at = side.first_child_at[p]; at < side.first_child_at[p + 1]; ++at) {
          const int32_t u = side.child_list[at];
          if (u != next) tasks.push_back(in_first ? Task{u, w, false} : Task{v, u, false});
        }
        p = next;
      }
      continue;
    }
    if (kind == RIGHT_PATH) {
      if (in_first) {
        for_each_keyroot_within(tree2.given.keyroots, w, leaf2[w], [&](int32_t k) {
          compute_subtree_pair<Cost>(v, k, leaf1, leaf2, rename, indel, forest_dist, tree_dist, stop);
        });
      } else {
        for_each_keyroot_within(tree1.given.keyroots, v, leaf1[v], [&](int32_t k) {
          compute_subtree_pair<Cost>(k, w, leaf1, leaf2, rename, indel, forest_dist, tree_dist, stop);
        });
      }
    } else if (kind == LEFT_PATH) {
      const int32_t mv = f.mirror_id[v], mw = g.mirror_id[w];
      if (in_first) {
        for_each_keyroot_within(tree2.mirrored.keyroots, mw, mw + g.size[w] - 1, [&](int32_t k) {
          compute_subtree_pair<Cost>(mv, k, mirrored_leaf1, mirrored_leaf2, mirrored_rename, mirrored_indel,
                                     forest_dist, mirrored_tree_dist, stop);
        });
      } else {
        for_each_keyroot_within(tree1.mirrored.keyroots, mv, mv + f.size[v] - 1, [&](int32_t k) {
          compute_subtree_pair<Cost>(k, mw, mirrored_leaf1, mirrored_leaf2, mirrored_rename, mirrored_indel,
                                     forest_dist, mirrored_tree_dist, stop);
        });
      }
    } else if (in_first) {
      heavy_in_first.run(v, w);
    } else {
      heavy_in_second.run(w, v);
    }
    throw_if_stopped(stop);  // the kernel may have left a large pair unfinished
    // Progress counts keyroot-cell equivalents, as strategy_cells totals them.
    const double cells = single_path_seconds(f, g, v, w, choice) / STRATEGY_WEIGHTS.keyroot_cell;
    if (cells_done != nullptr && (unreported += static_cast<int64_t>(cells)) >= PROGRESS_CELLS) {
      *cells_done += unreported;
      unreported = 0;
    }
  }
  if (cells_done != nullptr) *cells_done += unreported;
}

}  // namespace

template <typename Cost>
void run_path_plan(const OrientedTree& tree1, const OrientedTree& tree2, const PathShape& shape1,
                   const PathShape& shape2, const PathPlan& plan, const MatrixView<Cost>& rename,
                   const std::vector<Cost>& delete_costs, const std::vector<Cost>& insert_costs,
                   int32_t num_threads, FlatMatrix<Cost>& tree_dist, const StopFlag* stop,
                   std::atomic<int64_t>* cells_done) {
  const int32_t n1 = tree1.size(), n2 = tree2.size();
  const int32_t workers = effective_worker_count(num_threads, n1, n2);
  tree_dist.reshape(n1, n2);
  if (delete_costs.empty() && insert_costs.empty()) {
    run_plan_with<Cost>(tree1, tree2, shape1, shape2, plan, rename, UnitIndel{}, UnitIndel{}, workers, tree_dist,
                        stop, cells_done);
    return;
  }
  std::vector<Cost> mirrored_delete(delete_costs.size()), mirrored_insert(insert_costs.size());
  for (int32_t k = 0; k < n1; ++k) mirrored_delete[k] = delete_costs[tree1.mirrored_to_given[k]];
  for (int32_t k = 0; k < n2; ++k) mirrored_insert[k] = insert_costs[tree2.mirrored_to_given[k]];
  run_plan_with<Cost>(tree1, tree2, shape1, shape2, plan, rename,
                      NodeIndel<Cost>{delete_costs.data(), insert_costs.data()},
                      NodeIndel<Cost>{mirrored_delete.data(), mirrored_insert.data()}, workers, tree_dist, stop,
                      cells_done);
}

template void run_path_plan<int32_t>(const OrientedTree&, const OrientedTree&, const PathShape&, const PathShape&,
                                     const PathPlan&, const MatrixView<int32_t>&, const std::vector<int32_t>&,
                                     const std::vector<int32_t>&, int32_t, FlatMatrix<int32_t>&, const StopFlag*,
                                     std::atomic<int64_t>*);
template void run_path_plan<double>(const OrientedTree&, const OrientedTree&, const PathShape&, const PathShape&,
                                    const PathPlan&, const MatrixView<double>&, const std::vector<double>&,
                                    const std::vector<double>&, int32_t, FlatMatrix<double>&, const StopFlag*,
                                    std::atomic<int64_t>*);

}  // namespace grix
