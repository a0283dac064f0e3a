// plain_zhang_shasha: the textbook Zhang-Shasha recurrence with unit costs,
// written the straightforward way, as the yardstick for the engine's keyroot
// kernel (bench/bench_peer.py --plain). It shares no code with the engine.
//
// Nodes are numbered 1..n in left-to-right postorder; l(i) is the leftmost
// leaf below i, and the keyroots are the nodes with no later node of the same
// l(). For every pair of keyroots the forest distances fill an (n1+1) x (n2+1)
// int matrix at absolute indices with the three-way minimum, and the tree
// distances go to another (n1+1) x (n2+1) int matrix. Like the engine's
// keyroot schedule, it runs both trees mirrored when that needs fewer cells
// (leftmost and rightmost paths swap), so both do the same work.
//
// Input (stdin): the number of pairs, then each tree as its node count n, n
// label ids and n parent indices, all in pre-order (the root's parent is -1).
// Output: one line per pair: the distance, the median seconds of `repeats`
// runs (argv[1], default 3) of the whole computation from the parent arrays,
// and the number of forest cells filled.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <vector>

namespace {

struct Tree {
  std::vector<int> labels;   // pre-order
  std::vector<int> parents;  // pre-order, -1 at the root
};

struct PostorderTree {
  std::vector<int> label;     // label[i], i = 1..n in postorder
  std::vector<int> leftmost;  // l(i)
  std::vector<int> keyroots;  // ascending
};

std::vector<std::vector<int>> children_of(const Tree& tree) {
  std::vector<std::vector<int>> children(tree.parents.size());
  for (size_t v = 1; v < tree.parents.size(); ++v) children[tree.parents[v]].push_back(static_cast<int>(v));
  return children;
}

// Postorder numbering, l() and keyroots; `mirrored` visits children right to
// left, which is the postorder of the mirrored tree.
PostorderTree to_postorder(const Tree& tree, bool mirrored) {
  const int n = static_cast<int>(tree.labels.size());
  const std::vector<std::vector<int>> children = children_of(tree);
  PostorderTree out;
  out.label.assign(n + 1, 0);
  out.leftmost.assign(n + 1, 0);
  std::vector<int> number(n, 0);
  int next = 0;
  // Iterative depth-first walk: (node, how many children already visited).
  std::vector<std::pair<int, size_t>> stack{{0, 0}};
  while (!stack.empty()) {
    auto& [v, visited] = stack.back();
    const std::vector<int>& kids = children[v];
    if (visited < kids.size()) {
      const int child = mirrored ? kids[kids.size() - 1 - visited] : kids[visited];
      ++visited;
      stack.push_back({child, 0});
      continue;
    }
    const int i = ++next;
    number[v] = i;
    out.label[i] = tree.labels[v];
    const int first = kids.empty() ? -1 : (mirrored ? kids.back() : kids.front());
    out.leftmost[i] = first < 0 ? i : out.leftmost[number[first]];
    stack.pop_back();
  }
  std::vector<bool> seen(n + 1, false);
  for (int i = n; i >= 1; --i) {
    if (!seen[out.leftmost[i]]) {
      seen[out.leftmost[i]] = true;
      out.keyroots.push_back(i);
    }
  }
  std::reverse(out.keyroots.begin(), out.keyroots.end());
  return out;
}

// Sum over keyroots k of |subtree(k)|: the cells of one tree's side.
int64_t cell_factor(const PostorderTree& t) {
  int64_t sum = 0;
  for (int k : t.keyroots) sum += k - t.leftmost[k] + 1;
  return sum;
}

int distance(const PostorderTree& a, const PostorderTree& b, int64_t* cells) {
  const int n1 = static_cast<int>(a.label.size()) - 1;
  const int n2 = static_cast<int>(b.label.size()) - 1;
  const size_t width = static_cast<size_t>(n2) + 1;
  std::vector<int> treedist((static_cast<size_t>(n1) + 1) * width, 0);
  std::vector<int> forestdist((static_cast<size_t>(n1) + 1) * width, 0);
  auto fd = [&](int i, int j) -> int& { return forestdist[static_cast<size_t>(i) * width + j]; };
  auto td = [&](int i, int j) -> int& { return treedist[static_cast<size_t>(i) * width + j]; };
  *cells = 0;
  for (int i : a.keyroots) {
    for (int j : b.keyroots) {
      const int li = a.leftmost[i], lj = b.leftmost[j];
      fd(li - 1, lj - 1) = 0;
      for (int i1 = li; i1 <= i; ++i1) fd(i1, lj - 1) = fd(i1 - 1, lj - 1) + 1;
      for (int j1 = lj; j1 <= j; ++j1) fd(li - 1, j1) = fd(li - 1, j1 - 1) + 1;
      for (int i1 = li; i1 <= i; ++i1) {
        for (int j1 = lj; j1 <= j; ++j1) {
          const int remove = fd(i1 - 1, j1) + 1;
          const int insert = fd(i1, j1 - 1) + 1;
          if (a.leftmost[i1] == li && b.leftmost[j1] == lj) {
            const int rename = fd(i1 - 1, j1 - 1) + (a.label[i1] == b.label[j1] ? 0 : 1);
            fd(i1, j1) = std::min({remove, insert, rename});
            td(i1, j1) = fd(i1, j1);
          } else {
            const int match = fd(a.leftmost[i1] - 1, b.leftmost[j1] - 1) + td(i1, j1);
            fd(i1, j1) = std::min({remove, insert, match});
          }
        }
      }
      *cells += static_cast<int64_t>(i - li + 1) * (j - lj + 1);
    }
  }
  return td(n1, n2);
}

int timed_distance(const Tree& t1, const Tree& t2, int64_t* cells) {
  PostorderTree a = to_postorder(t1, false), b = to_postorder(t2, false);
  PostorderTree ma = to_postorder(t1, true), mb = to_postorder(t2, true);
  // A tie keeps the trees as given.
  if (cell_factor(ma) * cell_factor(mb) < cell_factor(a) * cell_factor(b)) return distance(ma, mb, cells);
  return distance(a, b, cells);
}

Tree read_tree() {
  Tree t;
  size_t n = 0;
  std::cin >> n;
  t.labels.resize(n);
  t.parents.resize(n);
  for (int& label : t.labels) std::cin >> label;
  for (int& parent : t.parents) std::cin >> parent;
  return t;
}

}  // namespace

int main(int argc, char** argv) {
  const int repeats = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
  int pairs = 0;
  std::cin >> pairs;
  for (int p = 0; p < pairs; ++p) {
    const Tree t1 = read_tree(), t2 = read_tree();
    if (!std::cin || t1.labels.empty() || t2.labels.empty()) {
      std::fprintf(stderr, "plain_zhang_shasha: pair %d is cut short or has an empty tree\n", p);
      return 1;
    }
    std::vector<double> seconds;
    int d = 0;
    int64_t cells = 0;
    for (int r = 0; r < repeats; ++r) {
      const auto start = std::chrono::steady_clock::now();
      d = timed_distance(t1, t2, &cells);
      seconds.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(seconds.begin(), seconds.end());
    std::printf("%d %.9f %lld\n", d, seconds[seconds.size() / 2], static_cast<long long>(cells));
    std::fflush(stdout);
  }
  return 0;
}
