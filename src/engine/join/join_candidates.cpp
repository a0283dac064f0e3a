// Similarity join and nearest neighbours: which pairs to look at, which
// bounds rule them out, and the bounded verification of the rest.
//
// Prefix filtering over label multisets
// -------------------------------------
// Each tree's label multiset becomes a set of tokens (label, occurrence):
// the second "a" of a tree is the token (a, 1), so the multiset intersection
// of two trees is the intersection of their token sets. Tokens are ranked
// rarest first across the corpus, and each tree's tokens sorted by rank.
// A pair within tau needs at least t = max(n1, n2) - tau common tokens (the
// label bound in join_bounds.h). If two sets of sizes n1 and n2 (n2 <= n1)
// share t tokens, their first n1 - t + 1 and n2 - t + 1 tokens in any one
// global order share a token: otherwise the t common tokens would all lie in
// the last t - 1 positions of one of the two sets. With t = n1 - tau, the
// larger tree's prefix has tau + 1 tokens and the smaller one's
// n2 - n1 + tau + 1 <= tau + 1. So each tree puts its first tau + 1 tokens
// into inverted lists, and a tree probes the lists of its own first tau + 1
// tokens, keeping only entries within the smaller tree's shorter prefix.
// Trees of at most tau nodes need no common label and pair with every tree
// of their size window.
//
// Thread safety
// -------------
// The index is read-only once built. Workers take probe positions from one
// atomic counter and write only their own scratch, matches and counts, which
// are merged after every worker has been joined.

#include <algorithm>
#include <exception>
#include <limits>
#include <memory>
#include <mutex>
#include <numeric>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>

#include "distance/keyroot_schedule.h"
#include "join/join_bounds.h"
#include "shared/memory_budget.h"
#include "shared/pair_costs.h"
#include "shared/worker_threads.h"
#include "similarity_join.h"

namespace grix {

struct JoinIndex {
  // The trees may come without their mirror: with_mirror adds it the first
  // time a pair of the tree needs a distance (at small thresholds most trees
  // never do). Each tree's once-flag orders that write before every read.
  mutable std::vector<OrientedTree> trees;
  std::unique_ptr<std::once_flag[]> mirror_once;
  int32_t threshold = 0;
  bool label_equality = true;
  bool costs_non_negative = true;
  LabelCosts<int32_t> label_costs;
  std::vector<int32_t> order;  // size order: position -> tree index
  std::vector<int32_t> sizes;  // by position, ascending
  // By position, label equality only: token ranks ascending, and the codes in
  // post-order.
  std::vector<std::vector<int32_t>> tokens, postorder;
  // Inverted lists over token ranks, compressed: entries list_start[r] ..
  // list_start[r + 1] of `entry_position` / `entry_offset` are the positions
  // (ascending) whose prefix holds token r, and where in that prefix.
  std::vector<int64_t> list_start;
  std::vector<int32_t> entry_position, entry_offset;
};

namespace {

const OrientedTree& with_mirror(const JoinIndex& index, int32_t t) {
  std::call_once(index.mirror_once[t], [&] {
    OrientedTree& tree = index.trees[t];
    if (tree.size() > 0 && tree.mirrored.parents.empty()) add_mirrored_orientation(tree);
  });
  return index.trees[t];
}

int32_t largest_size(const std::vector<OrientedTree>& trees) {
  int32_t largest = 0;
  for (const OrientedTree& tree : trees) largest = std::max(largest, tree.size());
  return largest;
}

// Token ids of every tree (unsorted), and how often each token occurs.
std::vector<std::vector<int32_t>> assign_tokens(const std::vector<OrientedTree>& trees,
                                                const std::vector<int32_t>& order,
                                                std::vector<int32_t>& frequency) {
  std::vector<std::vector<int32_t>> token_of;  // [code][occurrence] -> token id
  std::vector<std::vector<int32_t>> tokens(order.size());
  std::vector<int32_t> sorted;
  for (size_t p = 0; p < order.size(); ++p) {
    sorted = trees[order[p]].given.codes;
    std::sort(sorted.begin(), sorted.end());
    tokens[p].reserve(sorted.size());
    for (size_t s = 0; s < sorted.size();) {
      const int32_t code = sorted[s];
      if (token_of.size() <= static_cast<size_t>(code)) token_of.resize(static_cast<size_t>(code) + 1);
      for (size_t occurrence = 0; s < sorted.size() && sorted[s] == code; ++s, ++occurrence) {
        std::vector<int32_t>& ids = token_of[code];
        if (ids.size() <= occurrence) {
          ids.push_back(static_cast<int32_t>(frequency.size()));
          frequency.push_back(0);
        }
        ++frequency[ids[occurrence]];
        tokens[p].push_back(ids[occurrence]);
      }
    }
  }
  return tokens;
}

void build_label_index(JoinIndex& index) {
  std::vector<int32_t> frequency;
  index.tokens = assign_tokens(index.trees, index.order, frequency);
  // Rarest first: rare tokens make short lists and selective prefixes.
  std::vector<int32_t> by_rank(frequency.size());
  std::iota(by_rank.begin(), by_rank.end(), 0);
  std::sort(by_rank.begin(), by_rank.end(), [&](int32_t a, int32_t b) {
    return frequency[a] != frequency[b] ? frequency[a] < frequency[b] : a < b;
  });
  std::vector<int32_t> rank_of(frequency.size());
  for (size_t r = 0; r < by_rank.size(); ++r) rank_of[by_rank[r]] = static_cast<int32_t>(r);
  const int64_t prefix = static_cast<int64_t>(index.threshold) + 1;
  index.list_start.assign(frequency.size() + 1, 0);
  index.postorder.resize(index.order.size());
  for (size_t p = 0; p < index.order.size(); ++p) {
    std::vector<int32_t>& tokens = index.tokens[p];
    for (int32_t& token : tokens) token = rank_of[token];
    std::sort(tokens.begin(), tokens.end());
    const int64_t indexed = std::min<int64_t>(prefix, static_cast<int64_t>(tokens.size()));
    for (int64_t q = 0; q < indexed; ++q) ++index.list_start[tokens[q] + 1];
    index.postorder[p] = postorder_codes(index.trees[index.order[p]].given);
  }
  for (size_t r = 1; r < index.list_start.size(); ++r) index.list_start[r] += index.list_start[r - 1];
  index.entry_position.resize(static_cast<size_t>(index.list_start.back()));
  index.entry_offset.resize(static_cast<size_t>(index.list_start.back()));
  std::vector<int64_t> fill(index.list_start.begin(), index.list_start.end() - 1);
  for (size_t p = 0; p < index.order.size(); ++p) {
    const std::vector<int32_t>& tokens = index.tokens[p];
    const int64_t indexed = std::min<int64_t>(prefix, static_cast<int64_t>(tokens.size()));
    for (int64_t q = 0; q < indexed; ++q) {
      const int64_t slot = fill[tokens[q]]++;
      index.entry_position[slot] = static_cast<int32_t>(p);
      index.entry_offset[slot] = static_cast<int32_t>(q);
    }
  }
}

void add_counts(JoinCounts& total, const JoinCounts& part) {
  total.pairs += part.pairs;
  total.pruned_by_size += part.pruned_by_size;
  total.pruned_by_labels += part.pruned_by_labels;
  total.pruned_by_preorder += part.pruned_by_preorder;
  total.pruned_by_postorder += part.pruned_by_postorder;
  total.accepted_by_upper_bound += part.accepted_by_upper_bound;
  total.exact_by_bounds += part.exact_by_bounds;
  total.verified += part.verified;
  total.failed_verification += part.failed_verification;
}

struct WorkerState {
  DistanceScratch distance;
  UpperBoundScratch upper;
  std::vector<int32_t> row, stamp, candidates;
  JoinMatches found;
};

// The bounds and the verification of one pair under label equality, at
// threshold tau, given the label bound. Returns the distance, -1 for a pair
// accepted unverified, or tau + 1 for a pair ruled out; counts the stage that
// decided.
// mirrored(true) and mirrored(false) give a and b with their mirrors, for the
// bounded distance.
template <typename Mirrored>
int32_t decide_pair(const OrientedTree& a, const OrientedTree& b, const std::vector<int32_t>& post_a,
                    const std::vector<int32_t>& post_b, int32_t label_bound, int32_t tau, bool exact,
                    WorkerState& state, JoinCounts& counts, const StopFlag* stop, Mirrored&& mirrored) {
  const int32_t over = tau + 1;
  const int32_t pre = bounded_sequence_distance(a.given.codes.data(), a.size(), b.given.codes.data(),
                                                b.size(), tau, state.row);
  if (pre > tau) {
    ++counts.pruned_by_preorder;
    return over;
  }
  const int32_t post = bounded_sequence_distance(post_a.data(), a.size(), post_b.data(), b.size(), tau, state.row);
  if (post > tau) {
    ++counts.pruned_by_postorder;
    return over;
  }
  const int32_t upper = top_down_upper_bound(a.given, b.given, state.upper);
  // A mapping that costs no more than a lower bound is optimal: its cost is
  // the distance.
  if (upper <= tau && upper == std::max({label_bound, pre, post})) {
    ++counts.exact_by_bounds;
    return upper;
  }
  if (upper <= tau && !exact) {
    ++counts.accepted_by_upper_bound;
    return -1;
  }
  // The distance is at most the upper bound, so a band that wide suffices.
  const int32_t band = std::min(tau, upper);
  ++counts.verified;
  const int32_t d = bounded_tree_distance(mirrored(true), mirrored(false), band, state.distance, stop);
  if (d > band) {
    ++counts.failed_verification;
    return over;
  }
  return d;
}

void probe_position(const JoinIndex& index, int32_t p, bool exact, WorkerState& state,
                    const StopFlag* stop) {
  JoinCounts& counts = state.found.counts;
  const int32_t tau = index.threshold;
  const int32_t n = index.sizes[p];
  // The size window: an edit script turning n1 nodes into n2 deletes or
  // inserts at least |n1 - n2| nodes at 1 each, and with no negative rename
  // the rest costs at least 0, so d >= |n1 - n2|.
  const int32_t begin = index.costs_non_negative
                            ? static_cast<int32_t>(std::lower_bound(index.sizes.begin(), index.sizes.begin() + p,
                                                                    n - tau) -
                                                   index.sizes.begin())
                            : 0;
  counts.pairs += p;
  counts.pruned_by_size += begin;
  std::vector<int32_t>& candidates = state.candidates;
  candidates.clear();
  if (!index.label_equality || n - tau <= 0) {
    for (int32_t q = begin; q < p; ++q) candidates.push_back(q);
  } else {
    const std::vector<int32_t>& tokens = index.tokens[p];
    const int32_t probed = std::min(n, tau + 1);
    for (int32_t q = 0; q < probed; ++q) {
      const int64_t list_end = index.list_start[tokens[q] + 1];
      const int32_t* const positions = index.entry_position.data();
      int64_t e = std::lower_bound(positions + index.list_start[tokens[q]], positions + list_end, begin) -
                  positions;
      for (; e < list_end && positions[e] < p; ++e) {
        const int32_t other = positions[e];
        // Within the smaller tree's prefix of n_other - n + tau + 1 tokens.
        if (index.entry_offset[e] > index.sizes[other] - n + tau || state.stamp[other] == p) continue;
        state.stamp[other] = p;
        candidates.push_back(other);
      }
    }
  }
  counts.pruned_by_labels += (p - begin) - static_cast<int64_t>(candidates.size());
  int32_t looked_at = 0;
  for (int32_t other : candidates) {
    // Where bounds decide every pair, no distance reads the flag, and one
    // tree can have thousands of candidates: read it between them too.
    if (++looked_at % 64 == 0) throw_if_stopped(stop);
    // Pairs are reported with the smaller tree index first, and with rename
    // costs the distance turns that tree into the other.
    const int32_t i = std::min(index.order[other], index.order[p]);
    const int32_t j = std::max(index.order[other], index.order[p]);
    int32_t d;
    if (index.label_equality) {
      // n >= the other's size: the label bound is n - common.
      const int32_t label_bound = n - common_count(index.tokens[p], index.tokens[other]);
      if (label_bound > tau) {
        ++counts.pruned_by_labels;
        continue;
      }
      const int32_t tree_p = index.order[p], tree_other = index.order[other];
      d = decide_pair(index.trees[tree_p], index.trees[tree_other], index.postorder[p], index.postorder[other],
                      label_bound, tau, exact, state, counts, stop, [&](bool first) -> const OrientedTree& {
                        return with_mirror(index, first ? tree_p : tree_other);
                      });
      if (d > tau) continue;
    } else {
      ++counts.verified;
      d = full_distance(with_mirror(index, i), with_mirror(index, j), &index.label_costs, state.distance, stop);
      if (d > tau) {
        ++counts.failed_verification;
        continue;
      }
    }
    state.found.first.push_back(i);
    state.found.second.push_back(j);
    state.found.distance.push_back(d);
  }
}

}  // namespace

namespace {

// Everything of an index but its label index: the trees, the checked costs
// and the size order.
std::shared_ptr<JoinIndex> index_without_labels(std::vector<OrientedTree> trees, int32_t threshold,
                                                const LabelCosts<int32_t>* label_costs) {
  auto index = std::make_shared<JoinIndex>();
  index->trees = std::move(trees);
  index->mirror_once = std::make_unique<std::once_flag[]>(index->trees.size());
  const int32_t largest = largest_size(index->trees);
  // No distance exceeds n1 + n2, so a larger threshold changes nothing; a
  // negative one (only rename costs can reach it) is kept away from overflow.
  index->threshold = static_cast<int32_t>(
      std::clamp<int64_t>(threshold, -(int64_t{1} << 30), 2 * static_cast<int64_t>(largest)));
  index->label_equality = label_costs == nullptr || label_costs->rename.empty();
  if (!index->label_equality) {
    const LabelCosts<int32_t>& costs = *label_costs;
    if (costs.rows < 0 || costs.columns < 0 ||
        costs.rename.size() != static_cast<size_t>(costs.rows) * static_cast<size_t>(costs.columns)) {
      throw std::invalid_argument("the label cost table holds " + std::to_string(costs.rename.size()) +
                                  " values, not rows x columns");
    }
    check_label_classes(costs, 0);
    const int32_t code_count = costs.label_class.empty() ? std::min(costs.rows, costs.columns)
                                                         : static_cast<int32_t>(costs.label_class.size());
    for (size_t t = 0; t < index->trees.size(); ++t) {
      for (int32_t code : index->trees[t].given.codes) {
        if (code >= code_count) {
          throw std::invalid_argument("tree " + std::to_string(t) + " has label code " + std::to_string(code) +
                                      " outside the label cost table");
        }
      }
    }
    const int64_t lowest = lowest_label_rename(costs);
    if (lowest < 0 && lowest * (largest + int64_t{1}) < std::numeric_limits<int32_t>::min()) {
      throw std::invalid_argument("a label cost of " + std::to_string(lowest) +
                                  " is too negative: a distance between these trees could leave the 32-bit range");
    }
    index->costs_non_negative = lowest >= 0;
    index->label_costs.rows = costs.rows;
    index->label_costs.columns = costs.columns;
    index->label_costs.rename = costs.rename;  // deleting and inserting cost 1
    index->label_costs.label_class = costs.label_class;
    index->label_costs.same_label = costs.same_label;
  }
  index->order.resize(index->trees.size());
  std::iota(index->order.begin(), index->order.end(), 0);
  std::stable_sort(index->order.begin(), index->order.end(), [&](int32_t a, int32_t b) {
    return index->trees[a].size() < index->trees[b].size();
  });
  index->sizes.reserve(index->order.size());
  for (int32_t t : index->order) index->sizes.push_back(index->trees[t].size());
  return index;
}

void check_label_part(bool holds, const std::string& what) {
  if (!holds) throw std::invalid_argument("the join's label index does not fit its trees: " + what);
}

}  // namespace

std::shared_ptr<const JoinIndex> build_join_index(std::vector<OrientedTree> trees, int32_t threshold,
                                                  const LabelCosts<int32_t>* label_costs) {
  std::shared_ptr<JoinIndex> index = index_without_labels(std::move(trees), threshold, label_costs);
  if (index->label_equality) build_label_index(*index);
  return index;
}

JoinLabelIndex join_label_index(const JoinIndex& index) {
  JoinLabelIndex labels;
  for (const std::vector<int32_t>& tokens : index.tokens) {
    labels.tokens.insert(labels.tokens.end(), tokens.begin(), tokens.end());
  }
  labels.list_start = index.list_start;
  labels.entry_position = index.entry_position;
  labels.entry_offset = index.entry_offset;
  return labels;
}

std::shared_ptr<const JoinIndex> restore_join_index(std::vector<OrientedTree> trees, int32_t threshold,
                                                    const LabelCosts<int32_t>* label_costs,
                                                    JoinLabelIndex labels) {
  std::shared_ptr<JoinIndex> index = index_without_labels(std::move(trees), threshold, label_costs);
  if (!index->label_equality) {
    check_label_part(labels.tokens.empty() && labels.list_start.empty() && labels.entry_position.empty() &&
                         labels.entry_offset.empty(),
                     "label parts for an index with rename costs");
    return index;
  }
  // Checked as far as every read of the probes stays in range.
  const int64_t nodes = std::accumulate(index->sizes.begin(), index->sizes.end(), int64_t{0});
  check_label_part(static_cast<int64_t>(labels.tokens.size()) == nodes,
                   std::to_string(labels.tokens.size()) + " tokens for " + std::to_string(nodes) + " nodes");
  const std::vector<int64_t>& starts = labels.list_start;
  check_label_part(!starts.empty() && starts.front() == 0 &&
                       std::is_sorted(starts.begin(), starts.end()) &&
                       static_cast<size_t>(starts.back()) == labels.entry_position.size() &&
                       labels.entry_offset.size() == labels.entry_position.size(),
                   "inverted lists out of order");
  const int64_t ranks = static_cast<int64_t>(starts.size()) - 1;
  check_label_part(std::all_of(labels.tokens.begin(), labels.tokens.end(),
                               [&](int32_t token) { return token >= 0 && token < ranks; }),
                   "a token rank out of range");
  const int64_t positions = static_cast<int64_t>(index->order.size());
  check_label_part(std::all_of(labels.entry_position.begin(), labels.entry_position.end(),
                               [&](int32_t p) { return p >= 0 && p < positions; }),
                   "a list entry out of range");
  index->tokens.resize(index->order.size());
  index->postorder.resize(index->order.size());
  size_t next = 0;
  for (size_t p = 0; p < index->order.size(); ++p) {
    const size_t size = static_cast<size_t>(index->sizes[p]);
    index->tokens[p].assign(labels.tokens.begin() + static_cast<std::ptrdiff_t>(next),
                            labels.tokens.begin() + static_cast<std::ptrdiff_t>(next + size));
    next += size;
    index->postorder[p] = postorder_codes(index->trees[index->order[p]].given);
  }
  index->list_start = std::move(labels.list_start);
  index->entry_position = std::move(labels.entry_position);
  index->entry_offset = std::move(labels.entry_offset);
  return index;
}

const std::vector<OrientedTree>& join_index_trees(const JoinIndex& index) { return index.trees; }

JoinMatches run_join(const JoinIndex& index, int64_t begin, int64_t end, bool exact_distances,
                     int32_t workers, const StopFlag* stop, std::atomic<int64_t>* probes_done) {
  const int64_t count = static_cast<int64_t>(index.order.size());
  if (begin < 0 || end > count || begin > end) {
    throw std::invalid_argument("probe range [" + std::to_string(begin) + ", " + std::to_string(end) +
                                ") is outside the " + std::to_string(count) + " trees");
  }
  const int32_t thread_count = static_cast<int32_t>(std::clamp<int64_t>(end - begin, 1, std::max(workers, 1)));
  std::vector<WorkerState> states(static_cast<size_t>(thread_count));
  // Largest trees first: they take longest, and the small ones left at the
  // end balance the workers.
  std::atomic<int64_t> next{end - 1};
  run_on_workers(thread_count, stop, [&](int32_t worker, const std::atomic<bool>& failed) {
    WorkerState& state = states[worker];
    state.stamp.assign(static_cast<size_t>(count), -1);
    for (int64_t p = next--; p >= begin; p = next--) {
      if (failed.load(std::memory_order_relaxed)) return;
      throw_if_stopped(stop);
      probe_position(index, static_cast<int32_t>(p), exact_distances, state, stop);
      if (probes_done != nullptr) ++*probes_done;
    }
  });
  JoinMatches merged;
  std::vector<std::tuple<int32_t, int32_t, int32_t>> all;
  for (const WorkerState& state : states) {
    add_counts(merged.counts, state.found.counts);
    for (size_t m = 0; m < state.found.first.size(); ++m) {
      all.emplace_back(state.found.first[m], state.found.second[m], state.found.distance[m]);
    }
  }
  std::sort(all.begin(), all.end());
  for (const auto& [i, j, d] : all) {
    merged.first.push_back(i);
    merged.second.push_back(j);
    merged.distance.push_back(d);
  }
  return merged;
}

namespace {

// Nearest neighbours of one query: corpus trees in order of size difference,
// each against the current threshold: max_distance until k are found, then
// the k-th best distance so far. Once the size difference alone exceeds it,
// no later tree can enter.
struct Corpus {
  const std::vector<OrientedTree>* trees;
  std::vector<int32_t> order, sizes;  // size order
  std::vector<std::vector<int32_t>> sorted_codes, postorder;  // by tree index
};

void nearest_of(const OrientedTree& query, const Corpus& corpus, int32_t k, int32_t limit,
                WorkerState& state, const StopFlag* stop, int32_t* index_out, int32_t* distance_out) {
  JoinCounts& counts = state.found.counts;
  const int32_t n = query.size();
  std::vector<int32_t> sorted = query.given.codes;
  std::sort(sorted.begin(), sorted.end());
  const std::vector<int32_t> post = postorder_codes(query.given);
  std::vector<std::pair<int32_t, int32_t>> best;  // a max-heap of (distance, index)
  const int32_t total = static_cast<int32_t>(corpus.order.size());
  int32_t right = static_cast<int32_t>(std::lower_bound(corpus.sizes.begin(), corpus.sizes.end(), n) -
                                       corpus.sizes.begin());
  int32_t left = right - 1;
  int32_t visited = 0;
  counts.pairs += total;
  while (left >= 0 || right < total) {
    const bool take_left =
        right >= total || (left >= 0 && n - corpus.sizes[left] <= corpus.sizes[right] - n);
    const int32_t position = take_left ? left-- : right++;
    const int32_t size_difference = std::abs(corpus.sizes[position] - n);
    const int32_t c = corpus.order[position];
    const bool full = static_cast<int32_t>(best.size()) == k;
    const int32_t worst = full ? best.front().first : limit;
    if (size_difference > std::min(worst, limit)) break;  // so does every later tree
    ++visited;
    if (visited % 64 == 0) throw_if_stopped(stop);
    // Equal distances are ordered by index: a later index must be strictly closer.
    const int32_t tau = std::min(limit, full && c > best.front().second ? worst - 1 : worst);
    if (size_difference > tau) {
      ++counts.pruned_by_size;
      continue;
    }
    const OrientedTree& candidate = (*corpus.trees)[c];
    int32_t d;
    if (tau >= n + candidate.size()) {  // nothing to bound yet
      ++counts.verified;
      d = full_distance(query, candidate, nullptr, state.distance, stop);
    } else {
      const int32_t label_bound = std::max(n, candidate.size()) - common_count(sorted, corpus.sorted_codes[c]);
      if (label_bound > tau) {
        ++counts.pruned_by_labels;
        continue;
      }
      d = decide_pair(query, candidate, post, corpus.postorder[c], label_bound, tau, true, state, counts, stop,
                      [&](bool first) -> const OrientedTree& { return first ? query : candidate; });
      if (d > tau) continue;
    }
    if (full) {
      std::pop_heap(best.begin(), best.end());
      best.pop_back();
    }
    best.emplace_back(d, c);
    std::push_heap(best.begin(), best.end());
  }
  counts.pruned_by_size += total - visited;
  std::sort_heap(best.begin(), best.end());
  for (int32_t r = 0; r < k; ++r) {
    const bool found = r < static_cast<int32_t>(best.size());
    index_out[r] = found ? best[r].second : -1;
    distance_out[r] = found ? best[r].first : -1;
  }
}

}  // namespace

NearestMatches find_nearest(const std::vector<OrientedTree>& queries,
                            const std::vector<OrientedTree>& corpus_trees, int32_t k,
                            int32_t max_distance, int32_t workers, const StopFlag* stop,
                            std::atomic<int64_t>* queries_done) {
  if (k < 1) throw std::invalid_argument("k must be at least 1, not " + std::to_string(k));
  NearestMatches result;
  const size_t cells = queries.size() * static_cast<size_t>(k);
  // Both result tables are k wide for every query, whatever the corpus
  // holds, and the caller copies them once more: 16 bytes a cell in all.
  check_memory_budget(16.0 * static_cast<double>(cells), 1,
                      "the " + std::to_string(k) + " nearest trees of " + std::to_string(queries.size()) +
                          " queries");
  result.index.assign(cells, -1);
  result.distance.assign(cells, -1);
  // No distance exceeds n1 + n2; a limit of that much limits nothing.
  const int64_t largest = std::max(largest_size(queries), largest_size(corpus_trees));
  const int32_t limit = static_cast<int32_t>(
      max_distance < 0 ? 2 * largest : std::min<int64_t>(max_distance, 2 * largest));
  Corpus corpus;
  corpus.trees = &corpus_trees;
  corpus.order.resize(corpus_trees.size());
  std::iota(corpus.order.begin(), corpus.order.end(), 0);
  std::stable_sort(corpus.order.begin(), corpus.order.end(),
                   [&](int32_t a, int32_t b) { return corpus_trees[a].size() < corpus_trees[b].size(); });
  for (int32_t t : corpus.order) corpus.sizes.push_back(corpus_trees[t].size());
  for (const OrientedTree& tree : corpus_trees) {
    corpus.sorted_codes.push_back(tree.given.codes);
    std::sort(corpus.sorted_codes.back().begin(), corpus.sorted_codes.back().end());
    corpus.postorder.push_back(postorder_codes(tree.given));
  }
  const int64_t count = static_cast<int64_t>(queries.size());
  const int32_t thread_count = static_cast<int32_t>(std::clamp<int64_t>(count, 1, std::max(workers, 1)));
  std::vector<WorkerState> states(static_cast<size_t>(thread_count));
  std::atomic<int64_t> next{0};
  run_on_workers(thread_count, stop, [&](int32_t worker, const std::atomic<bool>& failed) {
    for (int64_t q = next++; q < count; q = next++) {
      if (failed.load(std::memory_order_relaxed)) return;
      throw_if_stopped(stop);
      nearest_of(queries[q], corpus, k, limit, states[worker], stop, result.index.data() + q * k,
                 result.distance.data() + q * k);
      if (queries_done != nullptr) ++*queries_done;
    }
  });
  for (const WorkerState& state : states) add_counts(result.counts, state.found.counts);
  return result;
}

}  // namespace grix
