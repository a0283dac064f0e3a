"""Exact distances of large, close pairs in a band, and max_distance's
marker: always the full computation's result (algorithm="keyroot" never
runs a band), on random trees, caterpillars and edited copies."""

import random

import numpy as np
import pytest

import grix
from grix_helpers import random_grix_tree


def edited(tree, rng, edits, alphabet="abcd"):
    """`edits` random renames, leaf deletions and leaf insertions."""
    labels, parents = list(tree.labels), list(tree.parents)
    for _ in range(edits):
        n = len(labels)
        kind = rng.randrange(3) if n > 1 else 2
        if kind == 0:
            labels[rng.randrange(n)] = rng.choice(alphabet)
        elif kind == 1:
            leaves = [v for v in range(1, n) if v + 1 >= n or parents[v + 1] != v]
            v = rng.choice(leaves)
            del labels[v], parents[v]
            parents = [p - 1 if p > v else p for p in parents]
        else:
            p = rng.randrange(n)
            end = p + 1  # after p's subtree
            while end < n:
                a = parents[end]
                while a > p:
                    a = parents[a]
                if a != p:
                    break
                end += 1
            labels.insert(end, rng.choice(alphabet))
            parents = [q + 1 if q >= end else q for q in parents]
            parents.insert(end, p)
    return grix.Tree.from_parents(labels, parents)


def caterpillar(rng, n, alphabet="abcd"):
    labels = [rng.choice(alphabet) for _ in range(n)]
    parents, spine = [], -1
    for i in range(n):
        parents.append(spine)
        if i % 2 == 0:
            spine = i
    return grix.Tree.from_parents(labels, parents)


def close_pairs(seed, count, low, high):
    rng = random.Random(seed)
    for index in range(count):
        n = rng.randint(low, high)
        t1 = caterpillar(rng, n) if index % 3 == 2 else random_grix_tree(rng, n, "abcd")
        yield t1, edited(t1, rng, rng.randint(0, 40))


@pytest.mark.parametrize("workers", [1, 2])
def test_large_close_pairs_match_the_full_computation(workers):
    for t1, t2 in close_pairs(7 + workers, 12, 1100, 2200):
        full = grix.distance(t1, t2, algorithm="keyroot", workers=workers)
        assert grix.distance(t1, t2, workers=workers) == full
        for bound in (full - 1, full, full + 1):
            if bound >= 0:
                assert grix.distance(t1, t2, max_distance=bound, workers=workers) == min(full, bound + 1)


def test_integer_and_per_node_costs_match_the_full_computation():
    rng = random.Random(11)
    for index, (t1, t2) in enumerate(close_pairs(12, 8, 1100, 1800)):
        rename = (lambda a, b: 0 if a == b else 2) if index % 2 else None
        delete = [rng.randint(1, 3) for _ in range(len(t1))]
        insert = 2
        full = grix.distance(t1, t2, rename=rename, delete=delete, insert=insert, algorithm="keyroot")
        got = grix.distance(t1, t2, rename=rename, delete=delete, insert=insert, progress=False)
        assert got == full
        assert grix.distance(t1, t2, rename=rename, delete=delete, insert=insert,
                             max_distance=full - 1) == full


def test_costs_below_one_are_exact_too():
    t1, t2 = next(close_pairs(13, 1, 1200, 1200))
    full = grix.distance(t1, t2, delete=0.5, algorithm="keyroot")
    assert grix.distance(t1, t2, delete=0.5) == full
    assert grix.distance(t1, t2, delete=0.5, max_distance=0) == min(full, 1)


def test_max_distance_marker_in_batches():
    pairs = list(close_pairs(14, 6, 1000, 1500)) + list(close_pairs(15, 10, 5, 60))
    first = [a for a, _ in pairs]
    second = [b for _, b in pairs]
    full = np.array([grix.distance(a, b, algorithm="keyroot") for a, b in pairs])
    for bound in (0, 3, 10, 25):
        expected = np.minimum(full, bound + 1)
        assert list(grix.paired(first, second, max_distance=bound, workers=2)) == list(expected)
    small = second[-5:]
    d = grix.pdist(small)
    assert list(grix.pdist(small, max_distance=4)) == list(np.minimum(d, 5))
    assert grix.cdist(small, small, max_distance=2).tolist() == np.minimum(grix.cdist(small, small), 3).tolist()


def test_max_distance_is_checked():
    t = grix.Tree.from_bracket("{a}")
    with pytest.raises(ValueError):
        grix.distance(t, t, max_distance=-1)
    with pytest.raises(TypeError):
        grix.distance(t, t, max_distance=1.5)
    with pytest.raises(ValueError):
        grix.pdist([t, t], max_distance=1, normalize="max")
