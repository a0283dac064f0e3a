"""The JSON edit distance against references written here: a search over
every valid JSON edit mapping of small documents, and a slow transcription of
the recurrences (with scipy's assignment solver) on real package metadata."""

from __future__ import annotations

import importlib.metadata
import itertools
import json
import random
from functools import lru_cache

import numpy as np
import pytest

import grix
from grix import _core
from grix.json_distance import ARRAY, KEY, LITERAL, OBJECT, Encoded, json_kinds

# -- random documents --------------------------------------------------------

KEYS = ["a", "b", "c"]
LITERALS = [1, 2, "x", True, None]


def random_document(rng: random.Random, budget: int, top: bool = True) -> object:
    """A JSON value of at most `budget` nodes (>= 1), from small alphabets so
    that equal keys and literals are common; a container at the top when
    the budget allows."""
    kind = rng.random() * (0.75 if top else 1.0) + (0.25 if top else 0.0)
    if budget < 2 or kind < 0.3:
        return rng.choice(LITERALS)
    budget -= 1
    if kind < 0.62:
        value = []
        while budget >= 1 and (not value or rng.random() < 0.85):
            size = rng.randint(1, budget)
            element = random_document(rng, size, top=False)
            budget -= node_count(element)
            value.append(element)
        return value
    members = {}
    for key in rng.sample(KEYS, rng.randint(1, len(KEYS))):
        if budget < 2:
            break
        member = random_document(rng, rng.randint(1, budget - 1), top=False)
        budget -= 1 + node_count(member)
        members[key] = member
    return members


def node_count(value: object) -> int:
    if isinstance(value, dict):
        return 1 + sum(1 + node_count(v) for v in value.values())
    if isinstance(value, list):
        return 1 + sum(node_count(v) for v in value)
    return 1


def mutated(rng: random.Random, value: object) -> object:
    """A copy of `value` with its members in another order and, here and
    there, a literal changed, an element dropped, or a value wrapped in an
    array or unwrapped from one."""
    edit = rng.random()
    if edit < 0.08:
        return [mutated(rng, value)]
    if edit < 0.16 and isinstance(value, list) and value:
        return mutated(rng, value[0])
    if isinstance(value, dict):
        items = [(k, mutated(rng, v)) for k, v in value.items()]
        rng.shuffle(items)
        return dict(items)
    if isinstance(value, list):
        elements = [mutated(rng, v) for v in value]
        if elements and rng.random() < 0.2:
            del elements[rng.randrange(len(elements))]
        return elements
    return rng.choice(LITERALS) if edit < 0.3 else value


def random_pairs(seed: int, count: int, largest: int) -> list[tuple[str, str]]:
    """Pairs of documents as JSON text (a str is always read as text): half
    drawn independently, half a document and a mutated copy of it (which
    is where the order of members and elements matters), each tree of at
    most `largest` nodes."""
    rng = random.Random(seed)
    pairs: list[tuple[str, str]] = []
    while len(pairs) < count:
        first = random_document(rng, rng.randint(1, largest))
        second = mutated(rng, first) if len(pairs) % 2 else random_document(rng, rng.randint(1, largest))
        if node_count(second) <= largest:
            pairs.append((json.dumps(first), json.dumps(second)))
    return pairs


# -- the brute-force reference -------------------------------------------------

class Nodes:
    """A document's JSON tree with kinds, ancestors and lowest common ancestors."""

    def __init__(self, doc: object) -> None:
        tree = grix.Tree.from_json(doc)
        self.labels = tree.labels
        self.parents = tree.parents.tolist()
        self.kinds = json_kinds(tree, "doc").tolist()
        n = len(self.labels)
        self.ancestors = [set() for _ in range(n)]  # proper ancestors
        for v in range(1, n):
            self.ancestors[v] = self.ancestors[self.parents[v]] | {self.parents[v]}
        self.lca = [[self._lca(x, y) for y in range(n)] for x in range(n)]

    def _lca(self, x: int, y: int) -> int:
        up = self.ancestors[x] | {x}
        while y not in up:
            y = self.parents[y]
        return y


def compatible(a: Nodes, b: Nodes, pairs: list[tuple[int, int]], new: tuple[int, int]) -> bool:
    """Whether `new` can join `pairs` in a JSON edit mapping: one to one, one
    kind, ancestors kept, disjoint subtrees to disjoint subtrees (for any
    three pairs, lca(v1, v2) is a proper ancestor of v3 exactly when
    lca(w1, w2) is one of w3), and the elements under two arrays in order."""
    v, w = new
    if a.kinds[v] != b.kinds[w]:
        return False
    every = pairs + [new]
    for x, y in pairs:
        if x == v or y == w:
            return False
        if (x in a.ancestors[v]) != (y in b.ancestors[w]) or (v in a.ancestors[x]) != (w in b.ancestors[y]):
            return False
        below_v, below_w = a.lca[x][v], b.lca[y][w]
        if (below_v not in (x, v) and a.kinds[below_v] == ARRAY and below_w not in (y, w)
                and b.kinds[below_w] == ARRAY and (x < v) != (y < w)):
            return False
    for (v1, w1), (v2, w2), (v3, w3) in itertools.product(every, repeat=3):
        if new not in ((v1, w1), (v2, w2), (v3, w3)):
            continue
        if (a.lca[v1][v2] in a.ancestors[v3]) != (b.lca[w1][w2] in b.ancestors[w3]):
            return False
    return True


def mapping_cost(a: Nodes, b: Nodes, pairs: list[tuple[int, int]]) -> int:
    renamed = sum(a.labels[v] != b.labels[w] for v, w in pairs)
    return len(a.labels) + len(b.labels) - 2 * len(pairs) + renamed


def brute_force_distance(doc1: object, doc2: object) -> int:
    """The least cost over all JSON edit mappings, by branch and bound over
    the nodes of the first tree in pre-order (each deleted, or mapped to a
    node of the second that fits the pairs so far)."""
    a, b = Nodes(doc1), Nodes(doc2)
    n1, n2 = len(a.labels), len(b.labels)
    best = n1 + n2
    pairs: list[tuple[int, int]] = []

    def search(v: int, spent: int) -> None:
        nonlocal best
        # Every node of the second tree left over beyond the remaining first
        # nodes will be inserted.
        if spent + max(0, n2 - len(pairs) - (n1 - v)) >= best:
            return
        if v == n1:
            best = spent + n2 - len(pairs)
            return
        for w in sorted(range(n2), key=lambda w: a.labels[v] != b.labels[w]):
            if compatible(a, b, pairs, (v, w)):
                pairs.append((v, w))
                search(v + 1, spent + (a.labels[v] != b.labels[w]))
                pairs.pop()
        search(v + 1, spent + 1)

    search(0, 0)
    return best


@pytest.mark.parametrize("seed, count, largest", [(1, 800, 8), (2, 700, 12)])
def test_distance_equals_the_best_of_all_mappings(seed, count, largest):
    docs = random_pairs(seed, count, largest)
    got = grix.json_paired([d for d, _ in docs], [e for _, e in docs], workers=2)
    for k, (doc1, doc2) in enumerate(docs):
        assert got[k] == brute_force_distance(doc1, doc2), (doc1, doc2)


@pytest.mark.parametrize("seed", [3, 4])
def test_mapping_is_a_valid_mapping_of_the_distance(seed):
    for doc1, doc2 in random_pairs(seed, 150, 12):
        found = grix.json_mapping(doc1, doc2)
        a, b = Nodes(doc1), Nodes(doc2)
        accepted: list[tuple[int, int]] = []
        for pair in found.pairs:
            assert compatible(a, b, accepted, tuple(pair)), (doc1, doc2, found.pairs)
            accepted.append(tuple(pair))
        assert mapping_cost(a, b, accepted) == found.distance == grix.json_distance(doc1, doc2)
        assert sorted(found.deleted + [i for i, _ in found.pairs]) == list(range(len(a.labels)))


# -- a slow transcription of the recurrences ----------------------------------

class Shape:
    """Labels, kinds, children and subtree sizes of a document's JSON tree."""

    def __init__(self, doc: object) -> None:
        tree = grix.Tree.from_json(doc)
        self.labels = tree.labels
        self.kinds = json_kinds(tree, "doc").tolist()
        parents = tree.parents.tolist()
        self.kids: list[list[int]] = [[] for _ in parents]
        self.sizes = [1] * len(parents)
        for v in range(1, len(parents)):
            self.kids[parents[v]].append(v)
        for v in reversed(range(1, len(parents))):
            self.sizes[parents[v]] += self.sizes[v]


def recurrence_distance(doc1: object, doc2: object) -> int:
    """dt and df over subtree and children-forest pairs, with the children of
    two arrays aligned in order and any other children matched by
    scipy.optimize.linear_sum_assignment on the (k1 + k2)-square matrix with
    deletion and insertion columns."""
    from scipy.optimize import linear_sum_assignment

    a, b = Shape(doc1), Shape(doc2)
    kids1, kids2, size1, size2 = a.kids, b.kids, a.sizes, b.sizes

    @lru_cache(maxsize=None)
    def dt(v: int, w: int) -> int:
        rename = 2 if a.kinds[v] != b.kinds[w] else int(a.labels[v] != b.labels[w])
        options = [df(v, w) + rename]
        options += [size2[w] - size2[t] + dt(v, t) for t in kids2[w]]
        options += [size1[v] - size1[s] + dt(s, w) for s in kids1[v]]
        return min(options)

    @lru_cache(maxsize=None)
    def df(v: int, w: int) -> int:
        options = [size2[w] - size2[t] + df(v, t) for t in kids2[w]]
        options += [size1[v] - size1[s] + df(s, w) for s in kids1[v]]
        x, y = kids1[v], kids2[w]
        if not x or not y:
            options.append(size1[v] + size2[w] - 2)
        elif a.kinds[v] == KEY and b.kinds[w] == KEY:
            options.append(dt(x[0], y[0]))
        elif a.kinds[v] == ARRAY and b.kinds[w] == ARRAY:
            e = [[0] * (len(y) + 1) for _ in range(len(x) + 1)]
            for s in range(len(x) + 1):
                for t in range(len(y) + 1):
                    if s or t:
                        e[s][t] = min(e[s - 1][t] + size1[x[s - 1]] if s else 1 << 30,
                                      e[s][t - 1] + size2[y[t - 1]] if t else 1 << 30,
                                      e[s - 1][t - 1] + dt(x[s - 1], y[t - 1]) if s and t else 1 << 30)
            options.append(e[len(x)][len(y)])
        else:
            k = len(x) + len(y)
            cost = np.zeros((k, k), dtype=np.int64)
            for s in range(len(x)):
                cost[s, :] = size1[x[s]]
                for t in range(len(y)):
                    cost[s, t] = dt(x[s], y[t])
            for t in range(len(y)):
                cost[len(x):, t] = size2[y[t]]
            rows, columns = linear_sum_assignment(cost)
            options.append(int(cost[rows, columns].sum()))
        return min(options)

    return dt(0, 0)


def metadata_documents() -> list[object]:
    """Real documents: for each installed distribution, in a fixed order,
    its metadata as JSON (PEP 566, without the long description), the short
    record of its name, version and requirements, its entry points and the
    first entries of its file list."""
    docs: list[object] = []
    for dist in sorted(importlib.metadata.distributions(), key=lambda d: (d.metadata["Name"] or "").lower()):
        meta = dist.metadata.json
        meta.pop("description", None)
        docs.append(meta)
        docs.append({k: v for k, v in meta.items() if k in ("name", "version", "requires_dist", "classifier")})
        docs.append([{"name": e.name, "group": e.group, "value": e.value} for e in dist.entry_points])
        docs.append([{"path": str(f), "size": f.size, "hash": f.hash.value if f.hash else None}
                     for f in (dist.files or [])[:12]])
    return docs


def test_distance_equals_the_recurrences_on_real_documents():
    pytest.importorskip("scipy")
    docs = [d for d in metadata_documents() if 2 <= node_count(d) <= 100]
    assert len(docs) >= 40
    rng = random.Random(5)
    pairs = [tuple(rng.sample(docs, 2)) for _ in range(200)]
    got = grix.json_paired([p for p, _ in pairs], [q for _, q in pairs], workers=2)
    for k, (doc1, doc2) in enumerate(pairs):
        assert got[k] == recurrence_distance(doc1, doc2)


# -- properties, batches, bounds and joins ------------------------------------

@pytest.mark.parametrize("doc1, doc2, expected", [
    ('{"a": 1, "b": 2}', '{"b": 2, "a": 1}', 0),
    ('{"a": {"x": [1, 2]}, "b": null}', '{"b": null, "a": {"x": [1, 2]}}', 0),
    ("[1, 2]", "[2, 1]", 2),                    # elements keep their order
    ('{"a": 1}', '{"b": 1}', 1),                # a key renamed
    ('{"a": 1}', '{"a": "1"}', 1),              # the number and the string differ
    ("{}", "[]", 2),                            # an object never maps onto an array
    ('{"a": 1}', "[1]", 3),
    ("[[1, 2], 3]", "[1, 2, 3]", 3),            # disjoint subtrees stay disjoint: no flattening
    ('{"a": {"b": 1, "c": 2}}', '{"b": 1, "c": 2}', 2),
    ("1", '{"a": [1, {"b": 2}]}', 6),
    ("1", "{}", 2),                             # a literal never maps onto an object
    # An array against an object: the two nodes are deleted and inserted,
    # and their children still map (the inner {} to the value of "b"); a
    # rule that mapped nothing below two nodes of different kinds gives 6.
    ("[null, {}]", '{"c": 2, "b": {}}', 5),
])
def test_known_distances(doc1, doc2, expected):
    assert grix.json_distance(doc1, doc2) == expected
    assert grix.json_distance(json.loads(doc2), grix.Tree.from_json(doc1)) == expected


def test_children_of_an_array_and_an_object_still_map():
    found = grix.json_mapping("[null, {}]", '{"c": 2, "b": {}}')
    assert found.distance == 5
    labels = [(found.t1.labels[i], found.t2.labels[j]) for i, j in found.pairs]
    assert ("{}", "{}") in labels and ("[]", "{}") not in labels


def test_batches_agree_with_single_pairs():
    docs = [d for pair in random_pairs(6, 30, 12) for d in pair]
    single = np.array([[grix.json_distance(x, y) for y in docs] for x in docs])
    assert (grix.json_cdist(docs, docs, workers=3) == single).all()
    first, second = np.triu_indices(len(docs), 1)
    assert (grix.json_pdist(docs, workers=2) == single[first, second]).all()
    assert (single == single.T).all() and (np.diag(single) == 0).all()
    # The triangle inequality holds: the distance is a metric.
    assert (single[:, :, None] <= single[:, None, :] + single.T[None, :, :]).all()


def test_bounds_enclose_the_distance():
    for doc1, doc2 in random_pairs(7, 400, 14):
        encoded = Encoded(("t1", (doc1,)), ("t2", (doc2,)))
        lower, upper = _core.json_bounds(*encoded.pair())
        assert lower <= grix.json_distance(doc1, doc2) <= upper


@pytest.mark.parametrize("threshold", [0, 1, 2, 3, 5, 8])
@pytest.mark.parametrize("distances", [True, False])
def test_join_finds_every_pair_within_the_threshold(threshold, distances):
    rng = random.Random(8)
    base = [random_document(rng, rng.randint(1, 14)) for _ in range(60)]
    base = [d if not isinstance(d, str) else [d] for d in base]
    # Near-duplicates: reordered and slightly edited copies.
    docs = base + [json.loads(json.dumps(d)) for d in base[:30]]
    for d in docs[60:]:
        if isinstance(d, dict) and d:
            d[rng.choice(KEYS)] = rng.choice(LITERALS)
    all_pairs = grix.json_pdist(docs, workers=2)
    first, second = np.triu_indices(len(docs), 1)
    within = all_pairs <= threshold
    found = grix.json_join(docs, threshold, distances=distances, workers=2)
    assert list(zip(found.i.tolist(), found.j.tolist())) == list(zip(first[within].tolist(),
                                                                  second[within].tolist()))
    exact = found.distance >= 0
    assert (found.distance[exact] == all_pairs[within][exact]).all()
    assert distances is False or exact.all()
    counts = found.counts
    assert counts["pairs"] == len(all_pairs)
    assert (counts["pruned_by_size"] + counts["pruned_by_labels"] + counts["accepted_by_upper_bound"]
            + counts["exact_by_bounds"] + counts["verified"]) == counts["pairs"]


def test_kinds_of_a_json_tree():
    tree = grix.Tree.from_json('{"{}": [1, "[]"], "b": {}}', key_order="given")
    assert json_kinds(tree, "t").tolist() == [OBJECT, KEY, ARRAY, LITERAL, LITERAL, KEY, OBJECT]


@pytest.mark.parametrize("doc, error, message", [
    (grix.Tree.from_bracket("{a{b}}"), ValueError, "not a JSON tree"),
    (grix.Tree.from_bracket("{[]{x{y}}}"), ValueError, "node 1 is a literal with children"),
    (grix.Tree.from_parents(["{}", "a"], [-1, 0]), ValueError, "node 1 is a key with 0 children"),
    (grix.Tree.from_parents(["{}", "a", "1", "2"], [-1, 0, 1, 1]), ValueError, "node 1 is a key with 2"),
    ('{"a": ', ValueError, "Expecting value"),
    ({"a": {1, 2}}, TypeError, "set"),
])
def test_bad_documents_raise_one_line(doc, error, message):
    with pytest.raises(error, match=message):
        grix.json_distance(doc, "1")


def test_bad_arguments():
    with pytest.raises(TypeError, match="docs must be a sequence"):
        grix.json_pdist('[1, 2]')
    with pytest.raises(ValueError, match="differ in length"):
        grix.json_paired(["1"], ["1", "2"])
    with pytest.raises(TypeError, match="threshold must be an int"):
        grix.json_join(["1"], 1.5)
    with pytest.raises(ValueError, match="edit script needs an ordered mapping"):
        grix.json_mapping("[1]", "[2]").edit_script()


def test_semantics_json_on_the_batch_join_and_mapping_calls():
    docs = ['{"a": 1, "b": [1, 2]}', '{"b": [1, 2], "a": 1}', "[1, 2]"]
    trees = [grix.Tree.from_json(d) for d in docs]
    assert grix.pdist(trees, semantics="json").tolist() == [0, 4, 4]
    # Ordered, members count in the order given (sorted keys make these equal).
    given = [grix.Tree.from_json(d, key_order="given") for d in docs]
    assert grix.pdist(given).tolist()[0] > 0 and grix.pdist(given, semantics="json").tolist()[0] == 0
    assert (grix.cdist(trees, docs, semantics="json") == grix.json_cdist(docs, docs)).all()
    assert grix.paired(trees, trees[::-1], semantics="json").tolist() == [4, 0, 4]
    assert grix.join(trees, 0, semantics="json").matches == [(0, 1, 0)]
    found = grix.mapping(trees[0], trees[1], semantics="json")
    assert isinstance(found, grix.JSONMapping) and found.distance == 0
    with pytest.raises(ValueError, match='takes no rename'):
        grix.pdist(trees, semantics="json", rename=lambda x, y: 1)
    with pytest.raises(ValueError, match='semantics must be "ordered" or "json"'):
        grix.join(trees, 0, semantics="unordered")
