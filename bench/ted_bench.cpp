// ted_bench: times the uniform entry function on seeded tree pairs of a few
// shapes, each pair a tree and a copy of it with n/50 labels changed, with
// several worker counts. Prints one line per shape, size and worker count
// (median of the repeats) and fails if two worker counts disagree.
//
//   ted_bench [--nodes 1000,2000] [--threads 1,2] [--repeats 3] [--shapes random,path]

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "tree_edit_distance.h"

namespace {

struct Tree {
  std::vector<std::string> labels;
  std::vector<int32_t> parents;
};

// Children lists with node 0 as the root, numbered in pre-order.
Tree preorder(const std::vector<std::vector<int32_t>>& children, std::mt19937& rng) {
  Tree tree;
  std::vector<std::pair<int32_t, int32_t>> stack{{0, -1}};  // (node, parent's new id)
  while (!stack.empty()) {
    const auto [node, parent] = stack.back();
    stack.pop_back();
    const int32_t id = static_cast<int32_t>(tree.parents.size());
    tree.parents.push_back(parent);
    tree.labels.push_back(std::string(1, static_cast<char>('a' + rng() % 16)));
    for (auto child = children[node].rbegin(); child != children[node].rend(); ++child) {
      stack.push_back({*child, id});
    }
  }
  return tree;
}

// Node i > 0 gets its parent from `choose(i)`, a node below i.
Tree from_parents(int32_t n, std::mt19937& rng, const std::function<int32_t(int32_t)>& choose) {
  std::vector<std::vector<int32_t>> children(static_cast<size_t>(n));
  for (int32_t i = 1; i < n; ++i) children[choose(i)].push_back(i);
  return preorder(children, rng);
}

Tree make_tree(const std::string& shape, int32_t n, std::mt19937& rng) {
  if (shape == "random") {  // each node below a uniformly drawn earlier one
    return from_parents(n, rng, [&](int32_t i) { return static_cast<int32_t>(rng() % i); });
  }
  if (shape == "fanout4") {  // as random, among the nodes with fewer than 4 children
    std::vector<int32_t> open{0}, child_count(static_cast<size_t>(n), 0);
    return from_parents(n, rng, [&](int32_t i) {
      const size_t k = rng() % open.size();
      const int32_t parent = open[k];
      if (++child_count[parent] == 4) {
        open[k] = open.back();
        open.pop_back();
      }
      open.push_back(i);
      return parent;
    });
  }
  if (shape == "binary") return from_parents(n, rng, [](int32_t i) { return (i - 1) / 2; });
  if (shape == "path") return from_parents(n, rng, [](int32_t i) { return i - 1; });
  if (shape == "star") return from_parents(n, rng, [](int32_t) { return 0; });
  std::fprintf(stderr, "ted_bench: unknown shape %s\n", shape.c_str());
  std::exit(2);
}

std::vector<std::string> split(const char* text) {
  std::vector<std::string> parts;
  std::string part;
  for (const char* c = text;; ++c) {
    if (*c == ',' || *c == '\0') {
      if (!part.empty()) parts.push_back(part);
      part.clear();
      if (*c == '\0') break;
    } else {
      part.push_back(*c);
    }
  }
  return parts;
}

std::vector<int32_t> split_ints(const char* text) {
  std::vector<int32_t> values;
  for (const std::string& part : split(text)) values.push_back(std::atoi(part.c_str()));
  return values;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<int32_t> sizes{1000, 2000}, thread_counts{1, 2};
  std::vector<std::string> shapes{"random", "fanout4", "binary", "path", "star"};
  int32_t repeats = 3;
  for (int a = 1; a + 1 < argc; a += 2) {
    if (!std::strcmp(argv[a], "--nodes")) sizes = split_ints(argv[a + 1]);
    else if (!std::strcmp(argv[a], "--threads")) thread_counts = split_ints(argv[a + 1]);
    else if (!std::strcmp(argv[a], "--repeats")) repeats = std::max(1, std::atoi(argv[a + 1]));
    else if (!std::strcmp(argv[a], "--shapes")) shapes = split(argv[a + 1]);
    else {
      std::fprintf(stderr, "usage: ted_bench [--nodes N,..] [--threads T,..] [--repeats R] [--shapes S,..]\n");
      return 2;
    }
  }

  std::printf("%-8s %7s %7s %10s %9s\n", "shape", "nodes", "workers", "seconds", "distance");
  bool agreed = true;
  for (const std::string& shape : shapes) {
    for (int32_t n : sizes) {
      std::mt19937 rng(static_cast<uint32_t>(n) * 7919u + static_cast<uint32_t>(shape.size()));
      const Tree tree = make_tree(shape, n, rng);
      Tree edited = tree;
      for (int32_t e = 0; e < std::max(1, n / 50); ++e) edited.labels[rng() % n] = "edited";
      std::map<int32_t, int32_t> distance_by_workers;
      for (int32_t threads : thread_counts) {
        std::vector<double> seconds;
        int32_t distance = -1;
        for (int32_t r = 0; r < repeats; ++r) {
          const auto start = std::chrono::steady_clock::now();
          distance = grix::compute_tree_edit_distance_uniform(tree.labels, tree.parents, edited.labels,
                                                              edited.parents, threads);
          seconds.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        }
        std::sort(seconds.begin(), seconds.end());
        std::printf("%-8s %7d %7d %10.4f %9d\n", shape.c_str(), n, threads, seconds[seconds.size() / 2],
                    distance);
        distance_by_workers[threads] = distance;
      }
      for (const auto& [threads, distance] : distance_by_workers) {
        if (distance != distance_by_workers.begin()->second) {
          std::fprintf(stderr, "ted_bench: %s %d: %d workers give %d, %d give %d\n", shape.c_str(), n,
                       threads, distance, distance_by_workers.begin()->first,
                       distance_by_workers.begin()->second);
          agreed = false;
        }
      }
    }
  }
  return agreed ? 0 : 1;
}
