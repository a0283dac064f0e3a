"""Similarity join and nearest neighbours against all pairs (exact per-pair
distances) on random, syntax and HTML trees; the Dask join, the command line
and stopping."""

import pickle
import random
import re
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import grix
from grix import _core
from grix.join import STAGES, join_index
from conftest import not_under_asan
from grix_helpers import random_grix_tree, syntax_trees


def edited(tree, rng, edits):
    """A copy of `tree` with random renames, deleted nodes and new leaves."""
    labels, parents = list(tree.labels), tree.parents.tolist()
    for _ in range(edits):
        n = len(labels)
        kind = rng.randrange(3) if n > 1 else 2
        if kind == 0:
            labels[rng.randrange(n)] = rng.choice("abcdx")
        elif kind == 1:
            v = rng.randrange(1, n)
            up = parents[v]
            parents = [up if p == v else p for p in parents]
            parents = [p - 1 if p > v else p for k, p in enumerate(parents) if k != v]
            del labels[v]
        else:
            labels.append(rng.choice("abcdx"))
            parents.append(rng.randrange(n) if n else -1)
    return grix.Tree.from_parents(labels, parents)


def clusters(bases, seed, copies=3, max_edits=6):
    """Each base tree and a few near copies, shuffled."""
    rng = random.Random(seed)
    trees = []
    for base in bases:
        trees.append(base)
        trees += [edited(base, rng, rng.randint(0, max_edits)) for _ in range(rng.randint(0, copies))]
    rng.shuffle(trees)
    return trees


PAGE = """<html><head><title>{title}</title></head><body><div class="nav"><ul>{items}</ul></div>
<div class="main"><h1>{title}</h1>{paragraphs}<table>{rows}</table></div></body></html>"""


def html_trees(count, seed):
    """Pages made from one template with varying parts, so that many pairs
    are close."""
    rng = random.Random(seed)
    trees = []
    for _ in range(count):
        items = "".join(f"<li><a href='#{k}'>item</a></li>" for k in range(rng.randint(1, 6)))
        paragraphs = "".join("<p>text <b>bold</b></p>" if rng.random() < 0.5 else "<p>text</p>"
                             for _ in range(rng.randint(0, 5)))
        rows = "".join("<tr>" + "<td>x</td>" * rng.randint(1, 3) + "</tr>" for _ in range(rng.randint(0, 4)))
        trees.append(grix.Tree.from_html(PAGE.format(title="t", items=items, paragraphs=paragraphs, rows=rows)))
    return trees


@pytest.fixture(scope="module")
def corpora():
    rng = random.Random(1)
    return {
        "random": clusters([random_grix_tree(rng, rng.randint(0, 18), "abcd") for _ in range(70)], seed=2),
        "syntax": clusters(syntax_trees(70, seed=3, max_nodes=90), seed=4),
        "html": html_trees(150, seed=5),
    }


def all_pairs(trees, threshold, rename=None):
    condensed = grix.pdist(trees, rename=rename)
    i, j = np.triu_indices(len(trees), 1)
    keep = condensed <= threshold
    return list(zip(i[keep].tolist(), j[keep].tolist(), condensed[keep].tolist()))


@pytest.mark.parametrize("kind", ["random", "syntax", "html"])
def test_join_equals_all_pairs_at_every_threshold(corpora, kind):
    trees = corpora[kind]
    largest = max(len(tree) for tree in trees)
    for threshold in (0, 1, 3, 8, 2 * largest + 1):
        expected = all_pairs(trees, threshold)
        found = grix.join(trees, threshold, workers=2)
        assert list(found) == expected, threshold
        assert found.i.dtype == found.j.dtype == found.distance.dtype == np.int32
        counts = found.counts
        assert counts["pairs"] == len(trees) * (len(trees) - 1) // 2
        assert sum(counts[stage] for stage in STAGES[:-1]) == counts["pairs"]
        assert counts["verified"] - counts["failed_verification"] + counts["exact_by_bounds"] == len(expected)
        # Pairs only: the same pairs, each distance exact or -1 (accepted
        # by the upper bound without computing it).
        loose = grix.join(trees, threshold, distances=False, workers=1)
        assert [(i, j) for i, j, _ in loose] == [(i, j) for i, j, _ in expected]
        assert all(d in (-1, e) for (_, _, d), (_, _, e) in zip(loose, expected))
    # Some stage beyond size prunes at a small threshold on every corpus.
    small = grix.join(trees, 1)
    assert small.pruned_by_size > 0 and small.pruned_by_labels > 0
    assert small.counts["pruned_by_preorder"] + small.counts["pruned_by_postorder"] > 0 or kind == "random"


def test_join_with_rename_costs_computes_every_candidate(corpora):
    trees = corpora["random"][:90]

    def asymmetric(x, y):
        return 0 if x == y else (ord(x) * 7 + ord(y) * 3) % 3 + 1

    def negative(x, y):
        return -1 if x == y else 1

    found = grix.join(trees, 2, rename=asymmetric)
    assert list(found) == all_pairs(trees, 2, rename=asymmetric)
    assert found.pruned_by_size > 0 and found.pruned_by_labels == 0
    found = grix.join(trees, 2, rename=negative)
    assert list(found) == all_pairs(trees, 2, rename=negative)
    assert found.pruned_by_size == 0 and found.pruned_by_labels == 0
    assert list(grix.join(trees, -3, rename=negative)) == all_pairs(trees, -3, rename=negative)


def test_join_result_and_arguments():
    trees = [grix.Tree.from_bracket(text) for text in ("{a{b}{c}}", "{a{b}}", "{x}", "{a{b}{c}}")]
    found = grix.join(trees, 1)
    assert list(found) == [(0, 1, 1), (0, 3, 0), (1, 3, 1)] and len(found) == 3
    text = repr(found)
    assert text.startswith("JoinResult(3 pairs within 1") and len(text) < 200
    assert len(grix.join([], 3)) == 0 and len(grix.join(trees[:1], 3)) == 0
    assert len(grix.join(trees, -1)) == 0
    assert list(grix.join(trees, 1.5)) == list(found)
    with pytest.raises(TypeError, match="threshold"):
        grix.join(trees, "1")
    with pytest.raises(ValueError, match="threshold"):
        grix.join(trees, float("nan"))
    with pytest.raises(TypeError, match="trees\\[1\\]"):
        grix.join([trees[0], "{a}"], 1)
    with pytest.raises(ValueError, match="workers"):
        grix.join(trees, 1, workers=0)
    assert list(grix.join(trees, 1, workers=-1)) == list(found)


@pytest.mark.parametrize("kind", ["random", "syntax", "html"])
def test_nearest_equals_sorting_all_distances(corpora, kind):
    trees = corpora[kind]
    queries, corpus = trees[::6], [tree for k, tree in enumerate(trees) if k % 6]
    matrix = grix.cdist(queries, corpus)
    for k, max_distance in ((1, None), (3, None), (4, 3), (2, 0), (len(corpus) + 2, 5)):
        found = grix.nearest(queries, corpus, k, max_distance=max_distance, workers=2)
        k = min(k, len(corpus))
        assert found.index.shape == found.distance.shape == (len(queries), k)
        for q, row in enumerate(matrix.tolist()):
            ranked = sorted((d, c) for c, d in enumerate(row) if max_distance is None or d <= max_distance)[:k]
            ranked += [(-1, -1)] * (k - len(ranked))
            assert found.index[q].tolist() == [c for _, c in ranked], (k, max_distance, q)
            assert found.distance[q].tolist() == [d for d, _ in ranked], (k, max_distance, q)
    assert repr(grix.nearest(queries, corpus)).startswith(f"NearestResult({len(queries)} queries, k=1")
    with pytest.raises(ValueError, match="k must"):
        grix.nearest(queries, corpus, 0)
    with pytest.raises(ValueError, match="max_distance"):
        grix.nearest(queries, corpus, max_distance=-2)


def test_dask_join_matches_the_local_join(corpora):
    pytest.importorskip("dask.distributed")
    from dask.distributed import Client, LocalCluster

    import grix.dask

    trees = corpora["syntax"]
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0") as cluster, \
            Client(cluster) as client:
        for threshold, blocks in ((2, None), (6, 5)):
            local = grix.join(trees, threshold)
            remote = grix.dask.join(trees, threshold, client=client, blocks=blocks, timeout=120)
            assert list(remote) == list(local)
            assert remote.counts == local.counts


JOIN_INDEX_COSTS = {
    "equality": None,
    "table": lambda x, y: 0 if x == y else (ord(x) * 7 + ord(y) * 3) % 3 + 1,
    "classes": grix.LabelClasses(lambda label: label in "ab", lambda p, q: 1 if p == q else 2),
}


@pytest.mark.parametrize("costs", JOIN_INDEX_COSTS, ids=list(JOIN_INDEX_COSTS))
def test_join_index_travels_as_flat_arrays_and_is_restored_without_a_build(corpora, costs):
    # What a Dask worker receives: the index's state, from which it restores
    # the index with no second tokenising of the corpus.
    trees, rename = corpora["random"], JOIN_INDEX_COSTS[costs]
    for threshold in (0, 2, 6):
        index = join_index(trees, threshold, rename)
        state = index.__getstate__()
        # Some dozen flat arrays and numbers, whatever the number of trees.
        assert len(state) <= 12 and all(item is None or isinstance(item, int) or item.ndim <= 2 for item in state)
        builds = _core.join_index_builds()
        restored = pickle.loads(pickle.dumps(index))
        assert _core.join_index_builds() == builds
        assert len(restored) == len(index) == len(trees)
        for begin, end in ((0, None), (0, 40), (40, len(trees))):
            for distances in (True, False):
                first = _core.join(index, begin, end, distances)
                again = _core.join(restored, begin, end, distances)
                assert all(np.array_equal(a, b) for a, b in zip(first[:3], again[:3])) and first[3] == again[3]
    assert list(grix.join(trees, 3, rename=rename)) == all_pairs(trees, 3, rename=rename)


def test_join_index_state_that_does_not_fit_its_trees_is_refused():
    trees = [grix.Tree.from_bracket(text) for text in ("{a{b}{c}}", "{a{b}}", "{x}", "{a{b}{c}}")]
    state = list(join_index(trees, 2, None).__getstate__())
    tokens, list_start, entry_position = 7, 8, 9

    def altered(position, value):
        changed = list(state)
        changed[position] = value
        index = _core.JoinIndex.__new__(_core.JoinIndex)
        index.__setstate__(tuple(changed))
        return index

    assert len(altered(tokens, state[tokens])) == 4
    for position, value, message in ((tokens, state[tokens][1:], "tokens for"),
                                     (tokens, state[tokens] + 10**6, "token rank out of range"),
                                     (entry_position, state[entry_position] + 99, "list entry out of range"),
                                     (list_start, state[list_start][::-1], "inverted lists"),
                                     (0, np.where(np.arange(9) == 1, 2, state[0]).astype(np.int32), "tree 0"),
                                     (2, np.array([0, 3, 2, 9], np.int64), "offsets")):
        with pytest.raises(ValueError, match=message):
            altered(position, value)
    with pytest.raises(ValueError, match="not a JoinIndex state"):
        _core.JoinIndex.__new__(_core.JoinIndex).__setstate__(tuple(state[:6]))


def test_command_line_nearest(tmp_path, capsys):
    from grix.cli import main

    corpus = []
    for k, text in enumerate(["{a{b}{c}}", "{a{b}}", "{x{y}{z}}"]):
        path = tmp_path / f"c{k}.txt"
        path.write_text(text)
        corpus.append(str(path))
    assert main(["nearest", "{a{b}{c}{d}}", "{x{y}}", "--corpus", *corpus, "-k", "2"]) == 0
    lines = capsys.readouterr().out.splitlines()
    assert lines == ["query,rank,file,distance", f"{{a{{b}}{{c}}{{d}}}},1,{corpus[0]},1",
                     f"{{a{{b}}{{c}}{{d}}}},2,{corpus[1]},2", f"{{x{{y}}}},1,{corpus[2]},1",
                     f"{{x{{y}}}},2,{corpus[1]},2"]
    assert main(["nearest", "{a}", "--corpus", *corpus, "--max-distance", "0"]) == 0
    assert capsys.readouterr().out.splitlines() == ["query,rank,file,distance"]


STOP_PROBE = textwrap.dedent("""
    import os, random, signal, sys, threading, time
    sys.path[:0] = {paths!r}
    import grix
    from grix_helpers import random_grix_tree

    def threads():
        return len(os.listdir("/proc/self/task"))

    # Two labels and a wide threshold: no bound prunes, every pair in full.
    rng = random.Random(0)
    trees = [random_grix_tree(rng, rng.randint(150, 200), "ab") for _ in range(1500)]
    before = threads()
    asked = []  # the process's CPU time (all its threads) when the stop is asked

    def ask():
        asked.append(time.process_time())
        if sys.argv[2] == "sigint":
            os.kill(os.getpid(), signal.SIGINT)

    # The timer asks one second in, by the clock; with a timeout it only
    # notes the CPU time at the moment the deadline passes.
    timer = threading.Timer(1.0, ask)
    timer.start()
    kwargs = {{"workers": 2}} if sys.argv[2] == "sigint" else {{"workers": 2, "timeout": 1.0}}
    try:
        if sys.argv[1] == "join":
            grix.join(trees, 100, **kwargs)
        else:
            grix.nearest(trees, trees, 40, **kwargs)
        print("finished")
    except (KeyboardInterrupt, TimeoutError) as error:
        # Zero if the deadline's exception came before the timer thread ran.
        cpu_after = time.process_time() - asked[0] if asked else 0.0
        timer.cancel()
        timer.join()  # the timer thread ends
        print(type(error).__name__, round(cpu_after, 3), threads() - before)
""")


@pytest.mark.parametrize("how, expected", [("sigint", "KeyboardInterrupt"), ("timeout", "TimeoutError")])
@pytest.mark.parametrize("call", ["join", "nearest"])
def test_a_long_join_stops_soon_after_it_is_asked(call, how, expected):
    result = subprocess.run([sys.executable, "-c", STOP_PROBE.format(paths=sys.path), call, how],
                            capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr[-2000:]
    name, cpu_after, extra_threads = result.stdout.split()
    assert name == expected
    # The flag is read between trees and inside every distance. Measured is
    # the CPU time the process spends after the stop is asked, its two
    # workers included: under 0.1 s here. A loaded machine stretches the wall
    # time of the answer, not this work; a join that ran on would spend
    # minutes of CPU time after it (5 s in its first 3 s of the clock here).
    assert float(cpu_after) < 0.75
    assert int(extra_threads) <= 0


NEAREST_MEMORY_CHILD = textwrap.dedent("""
    import resource, sys
    sys.path[:0] = {paths!r}
    import grix

    def status(key):
        for line in open("/proc/self/status"):
            if line.startswith(key):
                return int(line.split()[1])

    t = grix.Tree.from_bracket("{{a{{b}}}}")
    leaves = [grix.Tree.from_bracket("{{a}}") for _ in range(8000)]
    limit = status("VmSize:") * 1024 + 768 * 2**20
    resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    found = grix.nearest([t], [t], 3 * 10**8)
    print("capped", found.index.shape, found.index.tolist(), found.distance.tolist())
    try:
        grix.nearest(leaves, leaves, 8000)
        print("no error")
    except MemoryError as error:
        print("MemoryError", error)
""")


@not_under_asan
def test_nearest_caps_k_at_the_corpus_and_checks_its_memory():
    result = subprocess.run([sys.executable, "-c", NEAREST_MEMORY_CHILD.format(paths=sys.path)],
                            capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr[-2000:]
    capped, refused = result.stdout.splitlines()
    assert capped == "capped (1, 1) [[0]] [[0]]"
    # 8,000 queries x 8,000 columns x 16 bytes: about 1 GiB against 768 MiB.
    assert re.fullmatch(r"MemoryError the 8000 nearest trees of 8000 queries needs 976\.6 MiB \(1 worker\); "
                        r"[\d.]+ MiB available \(RLIMIT_AS less the address space in use\)", refused), refused


def test_join_calls_a_rename_callable_once_per_label_pair_as_pdist_does():
    rng = random.Random(18)
    trees = [random_grix_tree(rng, rng.randint(1, 12), "abcdef") for _ in range(30)]
    calls = {"join": 0, "pdist": 0}

    def counted(name, cost):
        def rename(a, b):
            calls[name] += 1
            return cost(a, b)
        return rename

    def integer(a, b):
        return 0 if a == b else 2 if {a, b} == {"a", "b"} else 1

    found = grix.join(trees, 3, rename=counted("join", integer))
    d = grix.pdist(trees, rename=counted("pdist", integer))
    assert calls["join"] == calls["pdist"] > 0
    assert list(found) == all_pairs(trees, 3, rename=integer)
    assert len(found) == int((d <= 3).sum())


@pytest.mark.parametrize("threshold", [1.5, 1, 0.75, 2.0, float("inf"), -0.5])
@pytest.mark.parametrize("cost", [lambda a, b: 0.0 if a == b else 1.0, lambda a, b: 0.0 if a == b else 0.75,
                                  lambda a, b: int(a != b), None])
def test_join_takes_a_float_threshold_whatever_the_costs(threshold, cost):
    rng = random.Random(5)
    trees = [random_grix_tree(rng, rng.randint(1, 8), "abc") for _ in range(25)]
    found = grix.join(trees, threshold, rename=cost)
    d = grix.pdist(trees, rename=cost)
    first, second = np.triu_indices(len(trees), 1)
    keep = d <= threshold
    assert list(found) == list(zip(first[keep].tolist(), second[keep].tolist(), d[keep].tolist()))
