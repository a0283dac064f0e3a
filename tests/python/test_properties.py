"""Random trees against the reference recursion and the peer libraries, and
the metric properties of unit costs."""

import random

from hypothesis import given, settings, strategies as st

import GRIX_CPU
from tree_helpers import apted_distance, reference_distance, trees, zss_distance

uniform = GRIX_CPU.compute_tree_edit_distance_uniform
general = GRIX_CPU.compute_tree_edit_distance


def label_cost(t1, t2):
    return lambda i, j: int(t1[0][i] != t2[0][j])


@settings(max_examples=300, deadline=None)
@given(trees(), trees())
def test_uniform_matches_reference_and_peers(t1, t2):
    expected = reference_distance(t1[1], t2[1], label_cost(t1, t2))
    assert uniform(*t1, *t2, 1) == expected
    assert zss_distance(t1, t2, label_cost(t1, t2)) == expected
    assert apted_distance(t1, t2, label_cost(t1, t2)) == expected


@settings(max_examples=300, deadline=None)
@given(trees(), trees(), st.integers(0, 2**32 - 1))
def test_general_matches_reference_and_peers(t1, t2, seed):
    rng = random.Random(seed)
    matrix = [[rng.choice([0, 0, 1, 2, 3, 7]) for _ in t2[0]] for _ in t1[0]]
    cost = lambda i, j: matrix[i][j]  # noqa: E731
    expected = reference_distance(t1[1], t2[1], cost)
    assert general(*t1, *t2, matrix, 1) == expected
    assert zss_distance(t1, t2, cost) == expected
    # apted is left out here: on rename costs that do not come from comparing
    # labels it is sometimes one too high, even with every cost capped at 2
    # (9 where the reference gives 8). It is checked on unit costs above.


@settings(max_examples=300, deadline=None)
@given(trees(), trees(), st.integers(0, 2**32 - 1))
def test_negative_costs_match_reference(t1, t2, seed):
    rng = random.Random(seed)
    matrix = [[rng.randint(-5, 4) for _ in t2[0]] for _ in t1[0]]
    assert general(*t1, *t2, matrix, 1) == reference_distance(t1[1], t2[1], lambda i, j: matrix[i][j])


@settings(max_examples=200, deadline=None)
@given(trees(max_nodes=15), trees(max_nodes=15), trees(max_nodes=15))
def test_unit_costs_form_a_metric(t1, t2, t3):
    d12, d21 = uniform(*t1, *t2, 1), uniform(*t2, *t1, 1)
    assert uniform(*t1, *t1, 1) == 0
    assert d12 == d21
    assert uniform(*t1, *t3, 1) <= d12 + uniform(*t2, *t3, 1)
    n1, n2 = len(t1[0]), len(t2[0])
    assert abs(n1 - n2) <= d12 <= n1 + n2
    assert (d12 == 0) == (t1 == t2)


@settings(max_examples=30, deadline=None)
@given(trees(min_nodes=150, max_nodes=400, alphabet="abcd"), trees(min_nodes=150, max_nodes=400, alphabet="abcd"))
def test_worker_count_never_changes_the_result(t1, t2):
    one = uniform(*t1, *t2, 1)
    assert all(uniform(*t1, *t2, threads) == one for threads in (0, 2, 3, 4, -1))
