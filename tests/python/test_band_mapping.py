"""Mappings of large, close pairs in a band: always as cheap as the full
computation's mapping (algorithm="keyroot" never runs a band) and the exact
distance, and valid by a check of their own; on random close pairs with the
first band forced below, at and above the distance, and on large pairs
where "auto" chooses the band itself."""

import json
import random

import pytest

import grix
from grix import _core
from grix.cli import main
from grix.distance import PairCall
from grix.edits import Mapping
from grix_helpers import STDLIB, random_grix_tree
from test_band import caterpillar, close_pairs, edited


def postorder_ranks(parents):
    """Each node's rank in post-order: the nodes before it in pre-order
    that are not its ancestors, then its descendants."""
    n = len(parents)
    size, depth = [1] * n, [0] * n
    for v in range(1, n):
        depth[v] = depth[parents[v]] + 1
    for v in range(n - 1, 0, -1):
        size[parents[v]] += size[v]
    return [v - depth[v] + size[v] - 1 for v in range(n)]


def check_valid(t1, t2, m):
    """One-to-one and keeping ancestry and sibling order, which together are
    keeping both pre-order (the ids) and post-order: u is left of v when it
    comes first in both, and v's ancestor when it comes first in pre-order
    and last in post-order. The deleted and inserted nodes are the rest."""
    pairs = sorted(m.pairs)
    assert all(0 <= i < len(t1) and 0 <= j < len(t2) for i, j in pairs)
    assert all(a[0] < b[0] and a[1] < b[1] for a, b in zip(pairs, pairs[1:]))
    post1, post2 = postorder_ranks(t1.parents.tolist()), postorder_ranks(t2.parents.tolist())
    by_post = sorted((post1[i], post2[j]) for i, j in pairs)
    assert all(a[1] < b[1] for a, b in zip(by_post, by_post[1:]))
    assert sorted(m.deleted) == sorted(set(range(len(t1))) - {i for i, _ in pairs})
    assert sorted(m.inserted) == sorted(set(range(len(t2))) - {j for _, j in pairs})


def cost_of(m):
    """The mapping's cost from its costs, each pair renamed below deleting
    and inserting its two nodes."""
    total = sum(m.delete_cost(i) for i in m.deleted) + sum(m.insert_cost(j) for j in m.inserted)
    for i, j in m.pairs:
        rename = m.rename_cost(i, j)
        assert rename < m.delete_cost(i) + m.insert_cost(j)
        total += rename
    return total


def banded_mapping(t1, t2, first_band, workers=1, rename=None, delete=None, insert=None):
    """grix.mapping with the band forced from K = first_band."""
    call = PairCall(t1, t2, rename, delete, insert, workers, None, False)
    distance, pairs, deleted, inserted = _core.mapping(*call.trees, **call.arguments(None), first_band=first_band)
    return Mapping(t1, t2, call.costs.result(distance), pairs.tolist(), deleted.tolist(), inserted.tolist(),
                   costs=call.costs)


def cost_models(rng, t1, t2):
    yield {}
    yield {"rename": lambda a, b: 0 if a == b else 2, "insert": 2}
    yield {"delete": [rng.randint(1, 3) for _ in range(len(t1))],
           "insert": [rng.randint(1, 3) for _ in range(len(t2))],
           "rename": lambda a, b: 0 if a == b else 1 + (a < b)}


@pytest.mark.parametrize("workers", [1, 2])
def test_forced_bands_below_at_and_above_the_distance(workers):
    rng = random.Random(20 + workers)
    pairs = 0
    for index in range(300):
        n = rng.randint(1, 50)
        t1 = caterpillar(rng, n) if index % 3 == 2 else random_grix_tree(rng, n, "abcd")
        t2 = random_grix_tree(rng, rng.randint(1, 50), "abcd") if index % 10 == 9 else \
            edited(t1, rng, rng.randint(0, 10))
        for costs in cost_models(rng, t1, t2):
            full = grix.mapping(t1, t2, algorithm="keyroot", **costs)
            d = grix.distance(t1, t2, algorithm="keyroot", **costs)
            assert full.distance == d
            for first in {d + 1, d, d - 1, d // 2} - {-1}:
                m = banded_mapping(t1, t2, first, workers, **costs)
                assert m.distance == d, (index, first)
                check_valid(t1, t2, m)
                assert cost_of(m) == d, (index, first)
                pairs += 1
    assert pairs > 3000


@pytest.mark.parametrize("workers", [1, 2])
def test_large_close_pairs_choose_the_band_and_match_the_full_mapping(workers):
    rng = random.Random(30 + workers)
    for index, (t1, t2) in enumerate(close_pairs(31 + workers, 6, 1100, 2200)):
        costs = list(cost_models(rng, t1, t2))[index % 3]
        d = grix.distance(t1, t2, algorithm="keyroot", **costs)
        m = grix.mapping(t1, t2, workers=workers, **costs)
        assert m.distance == d
        check_valid(t1, t2, m)
        assert cost_of(m) == d
        assert grix.apply(t1, m.edit_script()) == t2


def test_the_band_is_chosen_where_the_full_computation_is_refused():
    """Two wide trees whose keyroot pairs pass the 32-bit numbering: the
    full computation refuses them, the band maps them."""
    rng = random.Random(40)
    labels = [rng.choice("abcdefgh") for _ in range(50001)]
    t1 = grix.Tree.from_parents(labels, [-1] + [0] * 50000)
    labels2 = list(labels)
    for v in rng.sample(range(1, 50001), 5):
        labels2[v] = f"fresh{v}"
    t2 = grix.Tree.from_parents(labels2 + ["new"], [-1] + [0] * 50001)
    with pytest.raises(ValueError, match="keyroot pairs"):
        grix.mapping(t1, t2, algorithm="keyroot")
    m = grix.mapping(t1, t2)
    assert m.distance == 6
    check_valid(t1, t2, m)
    assert len(m.renamed) == 5 and m.inserted == [50001] and m.deleted == []


def test_costs_below_one_and_free_deletes_run_the_full_mapping():
    t1, t2 = next(close_pairs(41, 1, 1200, 1200))
    for costs in ({"delete": 0.5}, {"delete": 0}, {"rename": lambda a, b: -1 if a == b else 1}):
        full = grix.mapping(t1, t2, algorithm="keyroot", **costs)
        m = grix.mapping(t1, t2, **costs)
        assert m.distance == full.distance
        check_valid(t1, t2, m)
        # A forced band gives way to the full computation as well.
        assert banded_mapping(t1, t2, 3, **costs).distance == full.distance


def test_grix_diff_of_two_versions_of_a_module(tmp_path, capsys):
    """`grix diff` of a standard-library module and an edited copy, both
    about 9,000 nodes: a band, the text, the JSON and the page agree."""
    source = (STDLIB / "argparse.py").read_text(encoding="utf-8")
    old, new = tmp_path / "old.py", tmp_path / "new.py"
    old.write_text(source, encoding="utf-8")
    new.write_text(source.replace("usage: ", "Usage: ").replace("prefix_chars", "prefixes")
                   .replace("    def _get_values(self, action, arg_strings):",
                            "    def _get_values(self, action, arg_strings):\n        pass"), encoding="utf-8")
    t1, t2 = grix.load(old), grix.load(new)
    page = tmp_path / "diff.html"
    assert main(["diff", str(old), str(new), "--json", "--html", str(page)]) == 0
    found = json.loads(capsys.readouterr().out)
    assert found["distance"] == grix.distance(t1, t2) > 0
    m = Mapping(t1, t2, found["distance"], found["pairs"], found["deleted"], found["inserted"])
    check_valid(t1, t2, m)
    assert cost_of(m) == found["distance"]
    assert grix.apply(t1, m.edit_script()) == t2
    assert '"distance":%d' % found["distance"] in page.read_text(encoding="utf-8")
