"""Random trees, an independent reference distance, and adapters for the
peer libraries zss and apted."""

import functools
import random

from hypothesis import strategies as st


def random_parents(rng, n):
    """Parents of a random pre-order tree: node i hangs below a random node
    on the path from the root to node i-1."""
    parents, path = [], []
    for i in range(n):
        if i == 0:
            parents.append(-1)
        else:
            del path[rng.randrange(len(path)) + 1:]
            parents.append(path[-1])
        path.append(i)
    return parents


def random_tree(rng, n, alphabet="ab"):
    return [rng.choice(alphabet) for _ in range(n)], random_parents(rng, n)


@st.composite
def trees(draw, min_nodes=1, max_nodes=12, alphabet="abc"):
    """(labels, parents) of a random pre-order tree."""
    n = draw(st.integers(min_nodes, max_nodes))
    seed = draw(st.integers(0, 2**32 - 1))
    labels = draw(st.lists(st.sampled_from(alphabet), min_size=n, max_size=n))
    return labels, random_parents(random.Random(seed), n)


def subtree_ends(parents):
    """end[v]: one past the last id of the subtree of v, by counting each
    node's ancestors along the parent links."""
    size = [1] * len(parents)
    for v in range(len(parents)):
        a = parents[v]
        while a >= 0:
            size[a] += 1
            a = parents[a]
    return [v + size[v] for v in range(len(parents))]


def reference_distance(parents1, parents2, cost):
    """Memoised forest recursion on pre-order ranges: delete the leftmost
    root, insert it, or match the two leftmost trees. `cost(i, j)` renames."""
    end1, end2 = subtree_ends(parents1), subtree_ends(parents2)

    @functools.lru_cache(maxsize=None)
    def forest(b1, e1, b2, e2):
        if b1 == e1:
            return e2 - b2
        if b2 == e2:
            return e1 - b1
        return min(
            forest(b1 + 1, e1, b2, e2) + 1,
            forest(b1, e1, b2 + 1, e2) + 1,
            cost(b1, b2) + forest(b1 + 1, end1[b1], b2 + 1, end2[b2])
            + forest(end1[b1], e1, end2[b2], e2),
        )

    return forest(0, end1[0] if parents1 else 0, 0, end2[0] if parents2 else 0)


class Node:
    """A tree node as the peer libraries want it."""

    def __init__(self, index, label):
        self.index = index
        self.name = label
        self.children = []


def to_nodes(labels, parents):
    nodes = [Node(i, label) for i, label in enumerate(labels)]
    for i, p in enumerate(parents):
        if p >= 0:
            nodes[p].children.append(nodes[i])
    return nodes[0]


def zss_distance(tree1, tree2, cost):
    import zss

    return zss.distance(
        to_nodes(*tree1), to_nodes(*tree2), lambda node: node.children,
        lambda node: 1, lambda node: 1, lambda a, b: cost(a.index, b.index))


def apted_distance(tree1, tree2, cost):
    from apted import APTED, Config

    class MatrixConfig(Config):
        def rename(self, node1, node2):
            return cost(node1.index, node2.index)

    return APTED(to_nodes(*tree1), to_nodes(*tree2), MatrixConfig()).compute_edit_distance()
