"""The path strategy (algorithm="strategy"), forced, against the reference
recursion and the keyroot schedule: random trees and the shapes where every
fixed side costs about n^4, with unit, integer, fractional and per-node
costs, in both orientations, on 1 and 2 threads; and the automatic choice."""

import math
import random

import numpy as np
import pytest

import grix
from grix import _core
from grix_helpers import check_valid_mapping, random_grix_tree
from test_grix_costs import random_costs, weighted_reference
from tree_helpers import apted_distance


def build(children, labels):
    """A grix tree from child lists over node numbers (node 0 the root)."""
    order, stack = [], [0]
    while stack:
        node = stack.pop()
        order.append(node)
        stack.extend(reversed(children[node]))
    number = {node: k for k, node in enumerate(order)}
    parents = [None] * len(order)
    for node in order:
        for child in children[node]:
            parents[number[child]] = number[node]
    return grix.Tree.from_parents([labels[node] for node in order], parents)


def side_turning_spine(n, rng, alphabet="abcd"):
    """A spine whose every node carries one leaf, alternately after and
    before the spine child."""
    children = [[] for _ in range(n)]
    spine, node, after = 0, 1, True
    while node < n:
        leaf = [node + 1] if node + 1 < n else []
        children[spine] = [node] + leaf if after else leaf + [node]
        spine, node, after = node, node + 2, not after
    return build(children, [rng.choice(alphabet) for _ in range(n)])


def opposed_caterpillars(n, rng, alphabet="abcd"):
    """A root over a caterpillar whose spine runs through first children and
    one whose spine runs through last children."""
    children, half = [[]], (n - 1) // 2
    for spine_first in (True, False):
        spine = []
        for k in range(max(1, half // 3)):
            children.append([])
            spine.append(len(children) - 1)
            children[0 if k == 0 else spine[-2]].append(spine[-1])
        for _ in range(half - len(spine)):
            children.append([])
            host = children[rng.choice(spine)]
            # A spine node's spine child stays first (or last).
            host.insert(len(host) if spine_first else 0, len(children) - 1)
    return build(children, [rng.choice(alphabet) for _ in range(len(children))])


SHAPES = {"spine": side_turning_spine, "caterpillars": opposed_caterpillars,
          "random": lambda n, rng: random_grix_tree(rng, n, "abcd")}


def assert_same(got, expected):
    if math.isinf(expected):
        assert got == expected
    else:
        assert got == pytest.approx(expected, abs=1e-9)


class TestAgainstReference:
    """Small trees, where the reference recursion is cheap: every path kind
    gets chosen somewhere among them."""

    @pytest.mark.parametrize("kind", ["unit", "integer", "fractional", "infinite"])
    def test_random_trees_with_costs(self, kind):
        rng = random.Random(f"strategy/{kind}")
        for _ in range(120):
            t1 = random_grix_tree(rng, rng.randint(1, 9))
            t2 = random_grix_tree(rng, rng.randint(1, 9))
            if kind == "unit":
                costs = {}
                expected = weighted_reference(t1.parents.tolist(), t2.parents.tolist(),
                                              lambda i, j: int(t1.labels[i] != t2.labels[j]),
                                              [1] * len(t1), [1] * len(t2))
            else:
                rename, delete, insert = random_costs(rng, t1, t2, kind != "integer", kind == "infinite")
                costs = {"rename": rename, "delete": delete, "insert": insert}
                expected = weighted_reference(t1.parents.tolist(), t2.parents.tolist(),
                                              lambda i, j: min(rename[i][j], delete[i] + insert[j]),
                                              delete, insert)
            for workers in (1, 2):
                assert_same(grix.distance(t1, t2, algorithm="strategy", workers=workers, **costs), expected)

    @pytest.mark.parametrize("shape", ["spine", "caterpillars"])
    def test_adversarial_shapes(self, shape):
        rng = random.Random(f"strategy/{shape}")
        for n in (2, 7, 16, 23):
            t1, t2 = SHAPES[shape](n, rng), SHAPES[shape](n + rng.randint(-2, 2), rng)
            delete = [rng.randint(1, 3) for _ in range(len(t1))]
            insert = [rng.uniform(0.5, 2) for _ in range(len(t2))]
            expected = weighted_reference(t1.parents.tolist(), t2.parents.tolist(),
                                          lambda i, j: min(float(t1.labels[i] != t2.labels[j]) * 1.5,
                                                           delete[i] + insert[j]), delete, insert)
            rename = lambda a, b: 0.0 if a == b else 1.5  # noqa: E731
            got = grix.distance(t1, t2, rename=rename, delete=delete, insert=insert, algorithm="strategy")
            assert_same(got, expected)

    def test_unit_costs_against_apted(self):
        pytest.importorskip("apted")
        rng = random.Random("strategy/apted")
        for _ in range(60):
            shape = rng.choice(list(SHAPES))
            t1, t2 = SHAPES[shape](rng.randint(1, 30), rng), SHAPES[shape](rng.randint(1, 30), rng)
            lists1, lists2 = (list(t1.labels), t1.parents.tolist()), (list(t2.labels), t2.parents.tolist())
            expected = apted_distance(lists1, lists2, lambda i, j: int(lists1[0][i] != lists2[0][j]))
            assert grix.distance(t1, t2, algorithm="strategy") == expected


class TestAgainstKeyroot:
    """Larger trees, where the keyroot schedule is the oracle: the heavy-path
    function's grids then split across threads."""

    @pytest.mark.parametrize("shape", ["spine", "caterpillars", "random"])
    def test_costs_orientations_and_threads(self, shape):
        rng = random.Random(f"strategy/keyroot/{shape}")
        for n in (60, 250):
            t1, t2 = SHAPES[shape](n, rng), SHAPES[shape](n + rng.randint(-9, 9), rng)
            delete = [rng.uniform(0.2, 2) for _ in range(len(t1))]
            insert = [rng.randint(1, 3) for _ in range(len(t2))]
            renames = {"ab": 0.5, "ba": 2.5}
            rename = lambda a, b: 0.0 if a == b else renames.get(a + b, 1.0)  # noqa: E731
            for costs, mirrored in [
                ({}, {}),
                ({"rename": lambda a, b: 0 if a == b else 3}, {"rename": lambda a, b: 0 if a == b else 3}),
                ({"rename": rename, "delete": delete, "insert": insert},
                 {"rename": lambda a, b: rename(b, a), "delete": insert, "insert": delete}),
            ]:
                expected = grix.distance(t1, t2, algorithm="keyroot", **costs)
                for workers in (1, 2):
                    assert_same(grix.distance(t1, t2, algorithm="strategy", workers=workers, **costs), expected)
                    assert_same(grix.distance(t2, t1, algorithm="strategy", workers=workers, **mirrored),
                                expected)

    def test_large_grids_on_two_threads(self):
        # Subtrees of 600 nodes give heavy-path grids large enough to split.
        rng = random.Random("strategy/threads")
        t1, t2 = side_turning_spine(600, rng), side_turning_spine(590, rng)
        expected = grix.distance(t1, t2, algorithm="keyroot", delete=0.5)
        assert grix.distance(t1, t2, algorithm="strategy", workers=2, delete=0.5) == expected

    def test_mapping_walks_the_strategy_results(self):
        rng = random.Random("strategy/mapping")
        for shape in ("spine", "caterpillars"):
            t1, t2 = SHAPES[shape](150, rng), SHAPES[shape](140, rng)
            m = grix.mapping(t1, t2, algorithm="strategy", delete=0.75)
            assert m.distance == grix.distance(t1, t2, algorithm="keyroot", delete=0.75)
            check_valid_mapping(t1, t2, m.pairs)
            assert sum(edit.cost for edit in m.edit_script()) == pytest.approx(m.distance)
            assert grix.apply(t1, m.edit_script()) == t2


class TestChoice:
    def price(self, t1, t2):
        return _core.price(np.asarray(t1.parents, dtype=np.int32), np.asarray(t2.parents, dtype=np.int32))

    def test_auto_plans_for_turning_spines_only(self):
        rng = random.Random("strategy/choice")
        spine = self.price(side_turning_spine(600, rng), side_turning_spine(600, rng))
        assert spine["chosen"] == "strategy"
        assert spine["strategy"] < min(spine["keyroot"], spine["keyroot_mirrored"])
        bushy = self.price(random_grix_tree(rng, 600), random_grix_tree(rng, 600))
        assert bushy["chosen"] == "keyroot" and bushy["strategy"] is None

    def test_auto_plans_for_opposed_caterpillars_of_500_nodes(self):
        # Planning costs about 5 % of the keyroot schedule here, and the
        # strategy a fifth of its time: a gate at 3 % kept the keyroot schedule.
        rng = random.Random("strategy/caterpillars/500")
        caterpillars = self.price(opposed_caterpillars(500, rng), opposed_caterpillars(497, rng))
        assert caterpillars["chosen"] == "strategy"
        assert caterpillars["plan"] < 0.1 * min(caterpillars["keyroot"], caterpillars["keyroot_mirrored"])

    def test_auto_gives_the_forced_results(self):
        rng = random.Random("strategy/auto")
        t1, t2 = side_turning_spine(400, rng), side_turning_spine(410, rng)
        assert grix.distance(t1, t2) == grix.distance(t1, t2, algorithm="keyroot")

    @pytest.mark.parametrize("bad", ["fast", None, 1])
    def test_unknown_algorithms_are_refused(self, bad):
        t = grix.Tree.from_parents(["a"], [None])
        with pytest.raises(ValueError, match="algorithm must be"):
            grix.distance(t, t, algorithm=bad)
        with pytest.raises(ValueError, match="algorithm must be"):
            grix.mapping(t, t, algorithm=bad)


def star(n, rng, alphabet="abcd"):
    return build([list(range(1, n))] + [[] for _ in range(n - 1)], [rng.choice(alphabet) for _ in range(n)])


def broom(n, rng, alphabet="abcd"):
    """A handle (a path) of a third of the nodes, ending in a star."""
    handle = max(1, n // 3)
    children = [[k + 1] for k in range(handle - 1)] + [list(range(handle, n))] + [[] for _ in range(n - handle)]
    return build(children, [rng.choice(alphabet) for _ in range(n)])


def records(n, rng, alphabet="abcd"):
    """A JSON array of records of a few fields each."""
    children, fields = [[]], rng.randint(2, 5)
    while len(children) < n:
        record = len(children)
        children[0].append(record)
        children.append([])
        for _ in range(min(fields, n - len(children))):
            children[record].append(len(children))
            children.append([])
    return build(children, [rng.choice(alphabet) for _ in range(len(children))])


def table(n, rng, alphabet="abcd"):
    """table -> rows -> cells -> one text node each."""
    children, columns = [[]], rng.randint(2, 6)
    while len(children) < n:
        row = len(children)
        children[0].append(row)
        children.append([])
        for _ in range(columns):
            if len(children) + 2 > n:
                break
            cell = len(children)
            children[row].append(cell)
            children.append([cell + 1])
            children.append([])
    return build(children, [rng.choice(alphabet) for _ in range(len(children))])


WIDE = {"star": star, "broom": broom, "records": records, "table": table}


class TestWideShapes:
    """Wide, shallow trees, where most keyroots are leaves and the keyroot
    schedule runs their pairs in groups: against the reference recursion on
    small trees, against the path strategy (which shares no code with the
    groups) and apted on larger ones, and the mapping walked back through
    the groups, on 1 and 2 workers."""

    @pytest.mark.parametrize("kind", ["unit", "integer", "fractional", "infinite"])
    def test_small_wide_trees_against_the_reference(self, kind):
        rng = random.Random(f"wide/{kind}")
        for _ in range(80):
            t1 = WIDE[rng.choice(list(WIDE))](rng.randint(1, 10), rng)
            t2 = WIDE[rng.choice(list(WIDE))](rng.randint(1, 10), rng)
            if kind == "unit":
                costs = {}
                expected = weighted_reference(t1.parents.tolist(), t2.parents.tolist(),
                                              lambda i, j: int(t1.labels[i] != t2.labels[j]),
                                              [1] * len(t1), [1] * len(t2))
            else:
                rename, delete, insert = random_costs(rng, t1, t2, kind != "integer", kind == "infinite")
                costs = {"rename": rename, "delete": delete, "insert": insert}
                expected = weighted_reference(t1.parents.tolist(), t2.parents.tolist(),
                                              lambda i, j: min(rename[i][j], delete[i] + insert[j]),
                                              delete, insert)
            for algorithm in ("keyroot", "auto"):
                assert_same(grix.distance(t1, t2, algorithm=algorithm, **costs), expected)

    @pytest.mark.parametrize("shape", sorted(WIDE))
    def test_large_wide_trees_against_the_strategy(self, shape):
        rng = random.Random(f"wide/large/{shape}")
        t1, t2 = WIDE[shape](rng.randint(250, 400), rng), WIDE[shape](rng.randint(250, 400), rng)
        delete = [rng.uniform(0.2, 2) for _ in range(len(t1))]
        insert = [rng.randint(1, 3) for _ in range(len(t2))]
        rename = lambda a, b: 0.0 if a == b else (0.5 if a + b == "ab" else 1.25)  # noqa: E731
        for costs in ({}, {"rename": lambda a, b: 0 if a == b else 3, "delete": 2},
                      {"rename": rename, "delete": delete, "insert": insert}):
            expected = grix.distance(t1, t2, algorithm="strategy", **costs)
            for workers in (1, 2):
                # Sums in another order: fractional costs agree to rounding.
                assert_same(grix.distance(t1, t2, algorithm="keyroot", workers=workers, **costs), expected)

    def test_unit_costs_against_apted(self):
        pytest.importorskip("apted")
        rng = random.Random("wide/apted")
        for _ in range(30):
            t1 = WIDE[rng.choice(list(WIDE))](rng.randint(1, 60), rng)
            t2 = WIDE[rng.choice(list(WIDE))](rng.randint(1, 60), rng)
            lists1, lists2 = (list(t1.labels), t1.parents.tolist()), (list(t2.labels), t2.parents.tolist())
            expected = apted_distance(lists1, lists2, lambda i, j: int(lists1[0][i] != lists2[0][j]))
            assert grix.distance(t1, t2, algorithm="keyroot") == expected

    @pytest.mark.parametrize("shape", sorted(WIDE))
    def test_mapping_walks_back_through_the_groups(self, shape):
        rng = random.Random(f"wide/mapping/{shape}")
        t1, t2 = WIDE[shape](rng.randint(150, 300), rng), WIDE[shape](rng.randint(150, 300), rng)
        delete = [rng.choice([0.25, 0.75, 1.5]) for _ in range(len(t1))]
        for costs in ({}, {"delete": delete, "insert": 0.6, "rename": lambda a, b: 0.0 if a == b else 1.1}):
            for workers in (1, 2):
                m = grix.mapping(t1, t2, algorithm="keyroot", workers=workers, **costs)
                assert m.distance == grix.distance(t1, t2, algorithm="keyroot", **costs)
                assert_same(m.distance, grix.distance(t1, t2, algorithm="strategy", **costs))
                check_valid_mapping(t1, t2, m.pairs)
                assert sum(edit.cost for edit in m.edit_script()) == pytest.approx(m.distance)
                assert grix.apply(t1, m.edit_script()) == t2


class TestRenamesReadByLabel:
    """A distance whose renames depend on labels only reads them through the
    label codes; a rename given node by node, and the mapping, go through an
    n1 x n2 matrix. Both must agree on every shape, in both orientations, for
    label equality, asymmetric integer and fractional tables, and classes."""

    ALPHABET = "abcdef"

    @staticmethod
    def node_matrix(t1, t2, rename):
        return np.array([[rename(a, b) for b in t2.labels] for a in t1.labels])

    @pytest.mark.parametrize("shape", ["random", *sorted(WIDE)])
    def test_by_label_equals_by_node(self, shape):
        rng = random.Random(f"by-label/{shape}")
        weights = {(a, b): rng.randint(0, 5) for a in self.ALPHABET for b in self.ALPHABET}
        integer = lambda a, b: 0 if a == b else weights[a, b]  # noqa: E731
        fractional = lambda a, b: 0.0 if a == b else weights[a, b] / 3 + 0.1  # noqa: E731
        for _ in range(6):
            if shape == "random":
                t1 = random_grix_tree(rng, rng.randint(1, 300), self.ALPHABET)
                t2 = random_grix_tree(rng, rng.randint(1, 300), self.ALPHABET)
            else:
                t1 = WIDE[shape](rng.randint(1, 300), rng, self.ALPHABET)
                t2 = WIDE[shape](rng.randint(1, 300), rng, self.ALPHABET)
            negative = lambda a, b: weights[a, b] - 2  # noqa: E731  (renames may be negative)
            by_label_delete = lambda label: 1 + "abcdef".index(label) % 3  # noqa: E731
            for rename, delete in ((None, None), (integer, 2), (fractional, 0.75), (negative, by_label_delete)):
                by_node = {} if rename is None else {"rename": self.node_matrix(t1, t2, rename)}
                by_label = {} if rename is None else {"rename": rename}
                expected = grix.distance(t1, t2, algorithm="keyroot", delete=delete, **by_node)
                for workers in (1, 2):
                    got = grix.distance(t1, t2, algorithm="keyroot", workers=workers, delete=delete, **by_label)
                    assert got == expected and type(got) is type(expected)
                assert grix.mapping(t1, t2, algorithm="keyroot", delete=delete, **by_label).distance == expected
                assert grix.paired([t1], [t2], delete=delete, **by_label)[0] == expected

    @pytest.mark.parametrize("shape", ["random", *sorted(WIDE)])
    def test_large_bushy_pairs_on_two_workers(self, shape):
        # A distance alone never stores the subtree distance of two leaves:
        # the kernel and the leaf groups form it where they read it. Pairs
        # with thousands of leaves split into several groups per level and
        # run their levels on two workers; the node-by-node rename stores
        # every pair and is the reference.
        rng = random.Random(f"by-label/large/{shape}")
        make = WIDE.get(shape, lambda n, rng, alphabet: random_grix_tree(rng, n, alphabet))
        t1, t2 = make(rng.randint(2200, 2600), rng, self.ALPHABET), make(rng.randint(1300, 1600), rng, self.ALPHABET)
        # Some renames cost more than deleting and inserting: the cap matters.
        weights = {(a, b): rng.randint(1, 6) for a in self.ALPHABET for b in self.ALPHABET}
        integer = lambda a, b: 0 if a == b else weights[a, b]  # noqa: E731
        fractional = lambda a, b: 0.0 if a == b else weights[a, b] / 2 + 0.3  # noqa: E731
        for rename, indel in ((None, None), (integer, 2), (fractional, 0.9)):
            for a, b in ((t1, t2), (t2, t1)):
                by_node = {} if rename is None else {"rename": self.node_matrix(a, b, rename)}
                by_label = {} if rename is None else {"rename": rename}
                expected = grix.distance(a, b, algorithm="keyroot", delete=indel, insert=indel, **by_node)
                for workers in (1, 2):
                    got = grix.distance(a, b, algorithm="keyroot", workers=workers, delete=indel, insert=indel,
                                        **by_label)
                    assert got == expected and type(got) is type(expected)

    def test_single_nodes_against_single_nodes_and_stars(self):
        # Two single nodes have one cell, a pair of leaves: it is the answer.
        rng = random.Random("by-label/single")
        fractional = lambda a, b: 0.0 if a == b else 0.4 + "abcdef".index(a) * 0.3  # noqa: E731
        trees = [grix.Tree.from_parents([label], [-1]) for label in "ab"]
        trees += [star(n, rng, "ab") for n in (2, 3, 40)]
        for t1 in trees:
            for t2 in trees:
                for rename in (None, fractional, lambda a, b: 0 if a == b else 5):
                    costs = {} if rename is None else {"rename": rename}
                    expected = weighted_reference(t1.parents.tolist(), t2.parents.tolist(),
                                                  lambda i, j: min(fractional(t1.labels[i], t2.labels[j])
                                                                   if rename is fractional else
                                                                   (0 if t1.labels[i] == t2.labels[j] else
                                                                    (1 if rename is None else 5)), 2),
                                                  [1] * len(t1), [1] * len(t2))
                    assert_same(grix.distance(t1, t2, algorithm="keyroot", **costs), expected)
                    assert_same(grix.paired([t1], [t2], **costs)[0], expected)

    def test_label_classes_equal_their_matrix(self):
        rng = random.Random("by-label/classes")
        kind = {"a": "vowel", "e": "vowel", "b": "stop", "d": "stop", "c": "other", "f": "other"}
        price = {("vowel", "stop"): 2, ("stop", "vowel"): 3}
        classes = grix.LabelClasses(kind.__getitem__, lambda c1, c2: price.get((c1, c2), 1), same=0)
        by_node = lambda a, b: 0 if a == b else price.get((kind[a], kind[b]), 1)  # noqa: E731
        for _ in range(10):
            t1 = random_grix_tree(rng, rng.randint(1, 200), self.ALPHABET)
            t2 = WIDE["star"](rng.randint(1, 200), rng, self.ALPHABET)
            expected = grix.distance(t1, t2, rename=self.node_matrix(t1, t2, by_node))
            assert grix.distance(t1, t2, rename=classes, workers=2) == expected
            assert grix.pdist([t1, t2], rename=classes)[0] == expected
