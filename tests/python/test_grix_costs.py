"""Costs as users give them: fractional and per-node costs, infinity, the
number type of the result, normalisation and element-wise batches, against a
reference with explicit delete and insert costs that is itself checked by
brute force over all mappings."""

import functools
import itertools
import math
import random
import threading

import numpy as np
import pytest

import grix
from grix_helpers import CpuAfter, check_valid_mapping, random_grix_tree
from tree_helpers import subtree_ends

INF = math.inf


def weighted_reference(parents1, parents2, rename, delete, insert):
    """The forest recursion with a delete cost per node of tree 1, an insert
    cost per node of tree 2 and rename(i, j); no cap, since a rename dearer
    than deleting and inserting never belongs to a minimum."""
    end1, end2 = subtree_ends(parents1), subtree_ends(parents2)

    @functools.lru_cache(maxsize=None)
    def forest(b1, e1, b2, e2):
        if b1 == e1:
            return sum(insert[b2:e2])
        if b2 == e2:
            return sum(delete[b1:e1])
        return min(forest(b1 + 1, e1, b2, e2) + delete[b1],
                   forest(b1, e1, b2 + 1, e2) + insert[b2],
                   rename(b1, b2) + forest(b1 + 1, end1[b1], b2 + 1, end2[b2])
                   + forest(end1[b1], e1, end2[b2], e2))

    return forest(0, len(parents1), 0, len(parents2))


def brute_force(parents1, parents2, rename, delete, insert):
    """The least cost over every edit mapping: one-to-one pairs that keep
    pre-order and ancestry on both sides."""
    end1, end2 = subtree_ends(parents1), subtree_ends(parents2)
    n1, n2 = len(parents1), len(parents2)
    best = sum(delete) + sum(insert)

    def fits(pairs, i, j):
        return all((i1 < i) == (j1 < j) and (i1 < i < end1[i1]) == (j1 < j < end2[j1]) for i1, j1 in pairs)

    def extend(i, pairs, used, cost):
        nonlocal best
        if i == n1:
            best = min(best, cost + sum(insert[j] for j in range(n2) if j not in used))
            return
        extend(i + 1, pairs, used, cost + delete[i])
        for j in range(n2):
            if j not in used and fits(pairs, i, j):
                extend(i + 1, pairs + [(i, j)], used | {j}, cost + rename(i, j))

    extend(0, [], frozenset(), 0)
    return best


def random_costs(rng, t1, t2, fractional, infinite=False):
    def value(low, high):
        return rng.uniform(low, high) if fractional else rng.randint(int(low), int(high))

    rename = np.array([[value(-1, 4) for _ in range(len(t2))] for _ in range(len(t1))],
                      dtype=float if fractional or infinite else int)
    delete = [value(0, 3) for _ in range(len(t1))]
    insert = [value(0, 3) for _ in range(len(t2))]
    if infinite:
        delete[0] = INF  # a root that must never be deleted
        rename[rng.randrange(len(t1)), rng.randrange(len(t2))] = INF
    return rename, delete, insert


def reference_of(t1, t2, rename, delete, insert):
    return weighted_reference(t1.parents.tolist(), t2.parents.tolist(), lambda i, j: rename[i][j],
                              delete, insert)


class TestReference:
    def test_agrees_with_brute_force_on_small_trees(self):
        rng = random.Random(1)
        for round_number in range(150):
            t1, t2 = random_grix_tree(rng, rng.randint(1, 5)), random_grix_tree(rng, rng.randint(1, 5))
            rename, delete, insert = random_costs(rng, t1, t2, fractional=round_number % 2 == 0,
                                                  infinite=round_number % 5 == 0)
            assert reference_of(t1, t2, rename, delete, insert) == pytest.approx(
                brute_force(t1.parents.tolist(), t2.parents.tolist(), lambda i, j: rename[i][j], delete,
                            insert), abs=1e-9)


class TestDistance:
    @pytest.mark.parametrize("fractional", [False, True])
    @pytest.mark.parametrize("infinite", [False, True])
    def test_matches_the_reference_and_the_mapping_costs_add_up(self, fractional, infinite):
        rng = random.Random(2 + fractional + 2 * infinite)
        for _ in range(120):
            t1, t2 = random_grix_tree(rng, rng.randint(1, 9)), random_grix_tree(rng, rng.randint(1, 9))
            rename, delete, insert = random_costs(rng, t1, t2, fractional, infinite)
            expected = reference_of(t1, t2, rename, delete, insert)
            d = grix.distance(t1, t2, rename=rename, delete=delete, insert=insert)
            assert d == pytest.approx(expected, abs=1e-9)
            assert isinstance(d, float) == (fractional or infinite)
            m = grix.mapping(t1, t2, rename=rename, delete=delete, insert=insert)
            assert m.distance == d
            check_valid_mapping(t1, t2, m.pairs)
            if math.isfinite(d):
                total = sum(m.delete_cost(i) for i in m.deleted) + sum(m.insert_cost(j) for j in m.inserted) \
                    + sum(m.rename_cost(i, j) for i, j in m.pairs)
                assert total == pytest.approx(d, abs=1e-9)
                script = m.edit_script()
                assert sum(edit.cost for edit in script) == pytest.approx(d, abs=1e-9)
                assert grix.apply(t1, script) == t2

    def test_callables_scalars_and_arrays_say_the_same(self):
        rng = random.Random(3)
        rename = {(a, b): rng.choice([0, 0.25, 0.5, 1.5, -0.5]) for a in "abc" for b in "abc"}
        cost_of = {"a": 0.5, "b": 2.0, "c": 1.0}
        for _ in range(60):
            t1, t2 = random_grix_tree(rng, rng.randint(1, 12)), random_grix_tree(rng, rng.randint(1, 12))
            matrix = [[rename[x, y] for y in t2.labels] for x in t1.labels]
            by_callable = grix.distance(t1, t2, rename=lambda x, y: rename[x, y],
                                        delete=cost_of.get, insert=0.75)
            by_arrays = grix.distance(t1, t2, rename=matrix, delete=[cost_of[x] for x in t1.labels],
                                      insert=np.full(len(t2), 0.75))
            assert by_callable == by_arrays == pytest.approx(
                reference_of(t1, t2, matrix, [cost_of[x] for x in t1.labels], [0.75] * len(t2)), abs=1e-9)

    @pytest.mark.parametrize("workers", [1, 2])
    def test_both_orientations_and_threads_on_larger_trees(self, workers):
        # Trees of 150-200 nodes start workers; a spine through first
        # children runs mirrored, a random tree as given.
        rng = random.Random(4)
        spine = grix.Tree.from_parents(["s"] * 80 + ["l"] * 80, list(range(-1, 79)) + list(range(80)))
        for t1, t2 in [(random_grix_tree(rng, 200), random_grix_tree(rng, 180)), (spine, spine)]:
            rename = rng.random() * np.ones((len(t1), len(t2))) + np.array(
                [[0 if a == b else 1.1 for b in t2.labels] for a in t1.labels])
            delete = [rng.uniform(0.5, 1.5) for _ in range(len(t1))]
            insert = [rng.uniform(0.5, 1.5) for _ in range(len(t2))]
            got = grix.distance(t1, t2, rename=rename, delete=delete, insert=insert, workers=workers)
            (m1, back1), (m2, back2) = t1.mirror(), t2.mirror()
            flipped = grix.distance(m1, m2, rename=rename[np.ix_(back1, back2)], delete=np.array(delete)[back1],
                                    insert=np.array(insert)[back2], workers=workers)
            assert got == pytest.approx(flipped, abs=1e-9)
            m = grix.mapping(t1, t2, rename=rename, delete=delete, insert=insert, workers=workers)
            assert m.distance == pytest.approx(got, abs=1e-9)

    def test_infinity_means_never(self):
        t1, t2 = grix.Tree.from_bracket("{r{a}{b}}"), grix.Tree.from_bracket("{q{a}}")
        # Neither r nor b may be deleted, and only one of them can map onto q.
        assert grix.distance(t1, grix.Tree.from_bracket("{q}"), delete=[INF, 1, INF]) == INF
        assert grix.distance(t1, t2, delete=[INF, 1, INF]) == 3
        assert grix.distance(t1, t2, delete=[INF, 1, 1]) == 2.0
        m = grix.mapping(t1, t2, delete=[INF, 1, 1], rename=lambda x, y: INF if x == "b" else float(x != y))
        assert (0, 0) in m.pairs and 2 in m.deleted

    def test_integer_results_stay_ints(self):
        t1, t2 = grix.Tree.from_bracket("{a{b}{c}}"), grix.Tree.from_bracket("{a{c}}")
        assert type(grix.distance(t1, t2, delete=2)) is int
        assert grix.distance(t1, t2, delete=2.0) == 2 and type(grix.distance(t1, t2, delete=2.0)) is int
        assert type(grix.distance(t1, t2, delete=0.5)) is float
        assert grix.pdist([t1, t2], delete=3).dtype == np.int32
        assert grix.pdist([t1, t2], delete=2**30).dtype == np.int64
        assert grix.pdist([t1, t2], delete=0.5).dtype == np.float64


class TestNormalized:
    def test_metric_and_max(self):
        t1, t2 = grix.Tree.from_bracket("{a{b}{c}}"), grix.Tree.from_bracket("{a{c}{d}{e}}")
        d = grix.distance(t1, t2)
        assert grix.normalized_distance(t1, t2) == pytest.approx(2 * d / (3 + 4 + d))
        assert grix.normalized_distance(t1, t2, method="max") == pytest.approx(d / 4)
        assert grix.normalized_distance(t1, t2, delete=2) == pytest.approx(
            2 * grix.distance(t1, t2, delete=2) / (6 + 4 + grix.distance(t1, t2, delete=2)))
        empty = grix.Tree.from_parents([], [])
        assert grix.normalized_distance(empty, empty) == 0.0
        with pytest.raises(ValueError, match="method"):
            grix.normalized_distance(t1, t2, method="min")

    def test_metric_satisfies_the_triangle_inequality(self):
        rng = random.Random(5)
        trees = [random_grix_tree(rng, rng.randint(1, 8)) for _ in range(12)]
        square = np.array([[grix.normalized_distance(a, b) for b in trees] for a in trees])
        assert ((0 <= square) & (square <= 1)).all()
        for i, j, k in itertools.permutations(range(len(trees)), 3):
            assert square[i, k] <= square[i, j] + square[j, k] + 1e-12

    def test_batches_normalise_as_single_pairs(self):
        rng = random.Random(6)
        trees = [random_grix_tree(rng, rng.randint(1, 10)) for _ in range(9)]
        others = [random_grix_tree(rng, rng.randint(1, 10)) for _ in range(9)]
        for method in ("metric", "max"):
            single = [[grix.normalized_distance(a, b, method=method, delete=0.5) for b in others] for a in trees]
            assert np.allclose(grix.cdist(trees, others, normalize=method, delete=0.5), single)
            assert np.allclose(grix.paired(trees, others, normalize=method, delete=0.5),
                               [single[k][k] for k in range(len(trees))])
            condensed = grix.pdist(trees, normalize=method, delete=0.5)
            upper = [grix.normalized_distance(trees[i], trees[j], method=method, delete=0.5)
                     for i in range(len(trees)) for j in range(i + 1, len(trees))]
            assert np.allclose(condensed, upper)

    @pytest.mark.parametrize("delete, insert", [([math.inf, 1], None), ([1, 1], [math.inf]),
                                                ([math.inf, math.inf], [math.inf])])
    def test_metric_refuses_costs_that_never_delete_or_insert(self, delete, insert):
        # With delete=[inf, 1], 2d / (D1 + I2 + d) said 0.0 at a distance of
        # 1, and NaN where the distance is inf.
        t1, t2 = grix.Tree.from_bracket("{a{x}}"), grix.Tree.from_bracket("{a}")
        with pytest.raises(ValueError, match='^normalize="metric" needs finite delete and insert costs'):
            grix.normalized_distance(t1, t2, method="metric", delete=delete, insert=insert)
        d = grix.distance(t1, t2, delete=delete, insert=insert)
        assert grix.normalized_distance(t1, t2, method="max", delete=delete, insert=insert) == d / 2

    def test_batches_refuse_metric_only_where_an_infinite_cost_is_summed(self):
        trees = [grix.Tree.from_bracket(text) for text in ("{a{x}}", "{a}", "{b{y}}")]
        never_x = {"delete": lambda label: math.inf if label == "x" else 1}
        never_y = {"insert": lambda label: math.inf if label == "y" else 1}
        for call in (lambda **costs: grix.pdist(trees, normalize="metric", **costs),
                     lambda **costs: grix.cdist(trees, trees, normalize="metric", **costs),
                     lambda **costs: grix.paired(trees, trees, normalize="metric", **costs)):
            for costs in (never_x, never_y):
                with pytest.raises(ValueError, match='normalize="metric" needs finite'):
                    call(**costs)
        # pdist never deletes its last tree nor inserts its first.
        for costs, kept in ((never_y, [trees[2], trees[1]]), (never_x, [trees[1], trees[0]])):
            values = grix.pdist(kept, normalize="metric", **costs)
            assert ((0 < values) & (values <= 1)).all()
        assert grix.pdist(trees, normalize="max", **never_x).tolist() == [1.0, 1.0, 1.0]


class TestBatches:
    @pytest.mark.parametrize("workers", [1, 2])
    def test_pdist_cdist_and_paired_equal_single_distances(self, workers):
        rng = random.Random(7)
        trees = [random_grix_tree(rng, rng.randint(0, 10)) for _ in range(14)]
        others = [random_grix_tree(rng, rng.randint(0, 10)) for _ in range(14)]
        costs = {"rename": lambda a, b: 0.0 if a == b else 0.3 + 0.2 * (a < b),
                 "delete": {"a": 1.0, "b": 0.5, "c": INF}.get, "insert": 0.8}
        single = np.array([[grix.distance(a, b, **costs) for b in others] for a in trees])
        assert np.array_equal(grix.cdist(trees, others, workers=workers, **costs), single)
        assert np.array_equal(grix.paired(trees, others, workers=workers, **costs), np.diag(single))
        within = [grix.distance(trees[i], trees[j], **costs) for i in range(14) for j in range(i + 1, 14)]
        assert np.array_equal(grix.pdist(trees, workers=workers, **costs), within)

    def test_join_with_costs_the_bounds_do_not_cover_keeps_exact_pairs(self):
        rng = random.Random(10)
        trees = [random_grix_tree(rng, rng.randint(1, 10)) for _ in range(25)]
        for costs, threshold in (({"delete": 0.5}, 2.5), ({"insert": {"a": 1, "b": 3, "c": 2}.get}, 4),
                                 ({"rename": lambda a, b: 0.0 if a == b else 0.4}, 1.2)):
            d = grix.pdist(trees, **costs)
            pairs = [(i, j) for i in range(25) for j in range(i + 1, 25)]
            expected = [(i, j, d[k]) for k, (i, j) in enumerate(pairs) if d[k] <= threshold]
            found = grix.join(trees, threshold, **costs)
            assert found.matches == expected and len(found) == len(expected)

    def test_paired_refuses_lists_of_unequal_length_and_per_node_costs(self):
        t = grix.Tree.from_bracket("{a}")
        with pytest.raises(ValueError, match="equal length"):
            grix.paired([t, t], [t])
        with pytest.raises(TypeError, match="one pair"):
            grix.paired([t], [t], delete=[1])

    def test_paired_label_tables_rename_within_each_pair(self):
        from grix.batch import paired_label_tables

        rng = random.Random(8)
        trees1 = [random_grix_tree(rng, rng.randint(1, 9)) for _ in range(20)]
        trees2 = [random_grix_tree(rng, rng.randint(1, 9)) for _ in range(20)]
        tables, expected = [], []
        for t1, t2 in zip(trees1, trees2):
            labels1, labels2 = list(dict.fromkeys(t1.labels)), list(dict.fromkeys(t2.labels))
            table = np.array([[rng.random() for _ in labels2] for _ in labels1])
            tables.append(table)
            expected.append(grix.distance(t1, t2, rename=lambda a, b: table[labels1.index(a), labels2.index(b)]))
        assert np.allclose(paired_label_tables(trees1, trees2, tables, workers=2), expected)
        with pytest.raises(ValueError, match=r"tables\[0\]"):
            paired_label_tables(trees1[:1], trees2[:1], [np.zeros((9, 9))])

    def test_paired_stops_on_timeout_without_leaving_threads(self):
        # The whole call takes some 0.6 s of CPU time. Measured is the CPU
        # time the process spends after the deadline (under 0.01 s here): a
        # loaded machine stretches the wall time of the stop, not this work,
        # while a call that ran on would spend 0.5 s or more after it.
        rng = random.Random(9)
        big = [random_grix_tree(rng, 2500) for _ in range(4)]
        before = threading.active_count()
        with CpuAfter(0.1) as after, pytest.raises(TimeoutError):
            grix.paired(big, big[::-1], delete=0.5, workers=2, timeout=0.1)
        assert after.seconds < 0.15, after.seconds
        assert threading.active_count() == before



PTY_PROBE = """
import random, sys
sys.path[:0] = {paths!r}
import grix
from grix_helpers import random_grix_tree

from test_grix_batch import zigzag

rng = random.Random(4)
small = random_grix_tree(rng, 50), random_grix_tree(rng, 50)
# A path against a zigzag: over a billion cells in a few MiB, estimated at
# more than two seconds by the keyroot schedule (auto plans the strategy,
# predicted at about one).
big = grix.Tree.from_parents(["a"] * 700, range(-1, 699)), zigzag(1100)
grix.distance(*small)                      # short: no bar on a terminal
sys.stderr.write("SMALL DONE\\n")
grix.distance(*big, delete=0.5, algorithm="keyroot")  # long: a bar in percent
sys.stderr.write("PAIR DONE\\n")
grix.pdist(big, workers=1)                 # a long batch: a bar over pairs
"""


def test_progress_bars_show_on_a_terminal_for_long_calls_only():
    """Run in a pseudo-terminal, as a person would see it."""
    import os
    import pty
    import subprocess
    import sys

    import fcntl
    import struct
    import termios

    main, child = pty.openpty()
    fcntl.ioctl(child, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 100, 0, 0))  # 100 columns, as a window has
    run = subprocess.Popen([sys.executable, "-c", PTY_PROBE.format(paths=sys.path)], stdin=child,
                           stdout=child, stderr=child, close_fds=True)
    os.close(child)
    output = b""
    while True:
        try:
            chunk = os.read(main, 4096)
        except OSError:  # the child closed the terminal
            break
        if not chunk:
            break
        output += chunk
    os.close(main)
    assert run.wait(timeout=120) == 0, output[-2000:]
    text = output.decode("utf-8", "replace")
    before, after = text.split("SMALL DONE", 1)
    one, batch = after.split("PAIR DONE", 1)
    assert "%" not in before                       # the short call drew nothing
    assert "100%" in one and "pair" not in one     # one pair: percent of the work
    assert "100%" in batch and "pair" in batch     # a batch: pairs


# -- costs by label class ---------------------------------------------------------

def labelled_tree(rng, n, alphabet):
    """A random tree whose labels are "class:name", drawn from `alphabet`."""
    tree = random_grix_tree(rng, n)
    return grix.Tree.from_parents([rng.choice(alphabet) for _ in range(n)], list(tree.parents))


CLASS_ALPHABET = ["Name:x", "Name:y", "Name:z", "Call:f", "Call:g", "Const:1", "Const:2", "Op"]


def class_of(label):
    return label.split(":")[0]


@pytest.mark.parametrize("same, within, across", [(0, 1, 3), (0, 0.5, 1), (0.25, 2.5, 0.75), (-1, 0, 2)])
def test_label_classes_equal_the_callable_they_stand_for(same, within, across):
    """Every function that takes rename= gives the same with the class form
    as with the callable that prices the same pairs the same way."""
    rng = random.Random(41)
    classes = grix.LabelClasses(class_of, lambda a, b: within if a == b else across, same=same)

    def rename(a, b):
        return same if a == b else within if class_of(a) == class_of(b) else across

    trees = [labelled_tree(rng, rng.randint(0, 9), CLASS_ALPHABET) for _ in range(14)]
    for t1, t2 in zip(trees, trees[1:]):
        expected = grix.distance(t1, t2, rename=rename)
        assert grix.distance(t1, t2, rename=classes) == expected
        for algorithm in ("keyroot", "strategy"):
            m = grix.mapping(t1, t2, rename=classes, algorithm=algorithm)
            assert m.distance == pytest.approx(expected)
            check_valid_mapping(t1, t2, m.pairs)
    np.testing.assert_array_equal(grix.pdist(trees, rename=classes), grix.pdist(trees, rename=rename))
    np.testing.assert_array_equal(grix.cdist(trees[:5], trees[5:], rename=classes, delete=2),
                                  grix.cdist(trees[:5], trees[5:], rename=rename, delete=2))
    np.testing.assert_array_equal(grix.paired(trees[:7], trees[7:], rename=classes, workers=2),
                                  grix.paired(trees[:7], trees[7:], rename=rename))
    for threshold in (1, 3, 4):
        assert sorted(grix.join(trees, threshold, rename=classes)) == \
            sorted(grix.join(trees, threshold, rename=rename))


def test_label_classes_scale_past_a_table_of_labels_squared():
    """A batch over more distinct labels than a callable's table allows: the
    callable is refused with a pointer to the class form, which computes it,
    asking for each label's class once."""
    rng = random.Random(5)
    alphabet = [f"Name:v{k}" for k in range(20000)] + [f"Call:c{k}" for k in range(20000)]
    trees = [labelled_tree(rng, 60, alphabet) for _ in range(150)]
    with pytest.raises(ValueError, match="grix.LabelClasses"):
        grix.pdist(trees, rename=lambda a, b: int(a != b))
    asked = []

    def counted_class(label):
        asked.append(label)
        return class_of(label)

    classes = grix.LabelClasses(counted_class, lambda a, b: 1 if a == b else 2)
    d = grix.pdist(trees, rename=classes, workers=2)
    assert len(asked) == len(set(asked))
    # Spot checks against the callable on single pairs, where it is cheap.
    rename = lambda a, b: 0 if a == b else 1 if class_of(a) == class_of(b) else 2  # noqa: E731
    for i, j in [(0, 1), (3, 140), (77, 78)]:
        k = len(trees) * i - i * (i + 1) // 2 + (j - i - 1)
        assert d[k] == grix.distance(trees[i], trees[j], rename=rename)
    assert len(grix.join(trees, 40, rename=classes)) >= 0


@pytest.mark.parametrize("classes, costs, message", [
    ({"a": 1}, lambda x, y: 1, "label 'b' has no class"),
    (lambda label: [label], lambda x, y: 1, "not hashable"),
    (lambda label: label, {("a", "a"): 0}, r"no cost for the classes \('a', 'b'\)"),
    (lambda label: label, lambda x, y: math.nan, "returned nan"),
    (lambda label: label, lambda x, y: "1", "must return a number"),
])
def test_label_classes_refuse_bad_costs_in_one_line(classes, costs, message):
    t1 = grix.Tree.from_bracket("{a{b}}")
    t2 = grix.Tree.from_bracket("{b}")
    with pytest.raises((ValueError, TypeError), match=message):
        grix.distance(t1, t2, rename=grix.LabelClasses(classes, costs))
