"""grix.distance against GRIX_CPU and the reference recursion, in either
orientation, and its argument checks."""

import math
import random

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import GRIX_CPU
import grix
from grix.distance import schedule_cells
from tree_helpers import reference_distance, trees

SETTINGS = settings(max_examples=200, deadline=None, database=None, derandomize=True)


def grix_tree(pair):
    return grix.Tree.from_parents(*pair)


@SETTINGS
@given(trees(min_nodes=0), trees(min_nodes=0))
def test_unit_costs_match_grix_cpu_and_reference(a, b):
    t1, t2 = grix_tree(a), grix_tree(b)
    expected = reference_distance(a[1], b[1], lambda i, j: int(a[0][i] != b[0][j]))
    assert grix.distance(t1, t2) == expected
    if a[0] and b[0]:
        assert GRIX_CPU.compute_tree_edit_distance_uniform(*a, *b, 1) == expected


@SETTINGS
@given(trees(), trees(), st.integers(0, 2**32 - 1))
def test_random_costs_as_matrix_and_callable(a, b, seed):
    rng = random.Random(seed)
    t1, t2 = grix_tree(a), grix_tree(b)
    matrix = np.array([[rng.choice([-3, -1, 0, 0, 1, 2, 5]) for _ in b[0]] for _ in a[0]], dtype=np.int64)
    expected = reference_distance(a[1], b[1], lambda i, j: int(matrix[i, j]))
    assert grix.distance(t1, t2, rename=matrix) == expected
    assert grix.distance(t1, t2, rename=matrix.tolist(), workers=3) == expected
    table = {(x, y): rng.randint(-2, 3) for x in "abc" for y in "abc"}
    by_label = reference_distance(a[1], b[1], lambda i, j: table[a[0][i], b[0][j]])
    assert grix.distance(t1, t2, rename=lambda x, y: table[x, y]) == by_label


@SETTINGS
@given(trees(max_nodes=15), trees(max_nodes=15), st.integers(0, 2**32 - 1))
def test_orientation_never_changes_the_result(a, b, seed):
    rng = random.Random(seed)
    t1, t2 = grix_tree(a), grix_tree(b)
    (m1, back1), (m2, back2) = t1.mirror(), t2.mirror()
    matrix = np.array([[rng.randint(-2, 3) for _ in b[0]] for _ in a[0]])
    assert grix.distance(m1, m2) == grix.distance(t1, t2)
    assert grix.distance(m1, m2, rename=matrix[np.ix_(back1, back2)]) == grix.distance(t1, t2, rename=matrix)


def caterpillar(n, spine_first):
    """A spine of n/2 nodes, each with one leaf beside the next spine node."""
    labels, parents = [], []
    spine = -1
    while len(labels) < n:
        node = len(labels)
        labels.append("s")
        parents.append(spine)
        if spine_first:  # the next spine node comes first, its leaf last
            spine = node
        else:
            labels.append("l")
            parents.append(node)
            spine = node
    if spine_first:
        return grix.Tree.from_parents(labels + ["l"] * (n // 2), parents + list(range(n // 2)))
    return grix.Tree.from_parents(labels, parents)


def test_caterpillar_takes_the_cheap_orientation():
    t1, t2 = caterpillar(2000, True), caterpillar(2000, True)
    given_cells, mirrored_cells = schedule_cells(t1, t2)
    assert given_cells > 1e10 and mirrored_cells < 1e8
    # Would take hours as given; the timeout only guards the test run.
    assert grix.distance(t1, t2, timeout=60) == 0
    relabelled = grix.Tree.from_parents(["x"] + list(t2.labels[1:]), t2.parents)
    assert grix.distance(t1, relabelled, timeout=60) == 1


def test_callable_runs_once_per_distinct_label_pair():
    calls = []
    t1 = grix.Tree.from_bracket("{a{b}{a}{b{a}}}")
    t2 = grix.Tree.from_bracket("{a{c}{a}}")

    def rename(x, y):
        calls.append((x, y))
        return int(x != y)

    assert grix.distance(t1, t2, rename=rename) == grix.distance(t1, t2)
    assert sorted(calls) == sorted({(x, y) for x in "ab" for y in "ac"})


class TestArgumentErrors:
    t = grix.Tree.from_bracket("{a{b}}")

    @pytest.mark.parametrize("kwargs, error, words", [
        ({"rename": np.zeros((3, 3), dtype=int)}, ValueError, "shape (3, 3)"),
        ({"rename": np.array([["a", "b"], ["c", "d"]])}, TypeError, "rename must hold numbers"),
        ({"rename": [[0, 1], [1]]}, TypeError, "rename"),
        ({"rename": np.full((2, 2), np.nan)}, ValueError, "rename holds NaN"),
        ({"rename": np.full((2, 2), -np.inf)}, ValueError, "rename holds -inf"),
        ({"rename": "ab"}, TypeError, "string"),
        ({"rename": lambda x, y: "0.5"}, TypeError, "rename('a', 'a')"),
        ({"rename": lambda x, y: float("nan")}, ValueError, "rename('a', 'a')"),
        ({"delete": -1}, ValueError, "delete[0] = -1 is negative"),
        ({"delete": float("nan")}, ValueError, "delete holds NaN"),
        ({"insert": -math.inf}, ValueError, "insert holds -inf"),
        ({"insert": [1, 2, 3]}, ValueError, "insert has shape (3,)"),
        ({"insert": "1"}, TypeError, "insert must hold numbers"),
        ({"delete": True}, TypeError, "delete must hold numbers"),
        ({"delete": lambda label: None}, TypeError, "delete('a') must return a number"),
        ({"insert": lambda label: -0.5}, ValueError, "insert[0] = -0.5 is negative"),
        ({"workers": 0}, ValueError, "workers"),
        ({"workers": -2}, ValueError, "workers"),
        ({"workers": 1025}, ValueError, "workers"),
        ({"workers": True}, TypeError, "workers"),
        ({"workers": 1.5}, TypeError, "workers"),
        ({"workers": "2"}, TypeError, "workers"),
        ({"threads": 2}, TypeError, "threads"),
        ({"timeout": -1}, ValueError, "timeout"),
        ({"timeout": "1"}, TypeError, "timeout"),
    ])
    def test_short_message_naming_the_argument(self, kwargs, error, words):
        with pytest.raises(error) as raised:
            grix.distance(self.t, self.t, **kwargs)
        assert words in str(raised.value) and len(str(raised.value)) < 200

    def test_huge_wrong_matrix_gives_a_short_message(self):
        with pytest.raises(ValueError) as raised:
            grix.distance(self.t, self.t, rename=np.zeros((1000, 1000), dtype=np.int32))
        assert len(str(raised.value)) < 200

    def test_not_a_tree(self):
        with pytest.raises(TypeError, match="t2 must be a grix.Tree"):
            grix.distance(self.t, ["a"])

    def test_integer_costs_past_32_bits_stay_exact_or_are_refused(self):
        # Two renames of -2**31 leave the 32-bit range: computed exactly in doubles.
        assert grix.distance(self.t, self.t, rename=np.full((2, 2), -2**31)) == -2**32
        assert grix.distance(self.t, self.t, delete=2**40, insert=2**40,
                             rename=lambda a, b: 2**41 + 1) == 2**42
        with pytest.raises(ValueError, match="2\\*\\*53"):
            grix.distance(self.t, self.t, rename=np.full((2, 2), -2**60))


@pytest.mark.parametrize("workers", [None, -1, 1, 3])
def test_workers_none_and_minus_one_mean_all_cores(workers):
    t1, t2 = grix.Tree.from_bracket("{a{b}{c{d}}}"), grix.Tree.from_bracket("{a{c}{e}}")
    assert grix.distance(t1, t2, workers=workers) == 3
    assert grix.mapping(t1, t2, workers=workers).distance == 3
    assert grix.pdist([t1, t2], workers=workers).tolist() == [3]


@pytest.fixture(scope="module")
def slow_pair():
    """Two random trees whose distance takes some 0.1 to 0.3 s: longer than
    the time-out checks' interval."""
    from tree_helpers import random_tree

    rng = random.Random(5)
    return [grix.Tree.from_parents(*random_tree(rng, 1500, "abcd")) for _ in range(2)]


@pytest.mark.parametrize("seconds", [float("inf"), 1e300, 9.3e9, 2.0**63])
def test_timeouts_beyond_the_clock_mean_no_limit(slow_pair, seconds):
    from grix import _core

    t1, t2 = slow_pair
    expected = grix.distance(t1, t2)
    assert grix.distance(t1, t2, timeout=seconds) == expected
    assert grix.mapping(t1, t2, timeout=seconds).distance == expected
    assert grix.pdist([t1, t2], timeout=seconds).tolist() == [expected]
    # The extension module on its own clamps as well.
    codes1, codes2 = (np.zeros(len(t), dtype=np.int32) for t in slow_pair)
    assert _core.distance(t1.parents, codes1, t2.parents, codes2, timeout=seconds) == \
        grix.distance(grix.Tree.from_parents(["x"] * len(t1), t1.parents),
                      grix.Tree.from_parents(["x"] * len(t2), t2.parents))
