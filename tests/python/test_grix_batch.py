"""Many trees: pdist, cdist and join against per-pair distances, progress, stopping and memory."""

import random
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import grix
from grix.join import STAGES
from grix_helpers import CpuAfter, random_grix_tree, syntax_trees


def random_trees(count, seed, max_nodes=14):
    rng = random.Random(seed)
    return [random_grix_tree(rng, rng.randint(0, max_nodes), "abcd") for _ in range(count)]


def label_cost(x, y):
    """Random-looking costs with zero and negative entries."""
    return 0 if x == y else (ord(x) * 7 + ord(y) * 3) % 5 - 1


@pytest.fixture(scope="module")
def trees200():
    return random_trees(200, seed=1)


@pytest.mark.parametrize("rename", [None, label_cost], ids=["unit", "random"])
def test_pdist_and_cdist_equal_per_pair_distances(trees200, rename):
    expected = np.array([[grix.distance(a, b, rename=rename) for b in trees200] for a in trees200])
    condensed = grix.pdist(trees200, rename=rename, workers=2)
    assert condensed.dtype == np.int32
    # Asymmetric costs: the condensed vector holds trees[i] into trees[j], i < j.
    assert np.array_equal(condensed, expected[np.triu_indices(200, 1)])
    matrix = grix.cdist(trees200[:70], trees200[70:], rename=rename, workers=3)
    assert matrix.dtype == np.int32 and np.array_equal(matrix, expected[:70, 70:])


def test_condensed_layout_is_scipys(trees200):
    distance = pytest.importorskip("scipy.spatial.distance")
    condensed = grix.pdist(trees200[:40])
    square = distance.squareform(condensed)
    assert square[3, 17] == grix.distance(trees200[3], trees200[17])
    assert np.array_equal(distance.squareform(square), condensed)


def test_small_and_degenerate_inputs():
    assert grix.pdist([]).shape == (0,)
    assert grix.pdist(random_trees(1, 0)).shape == (0,)
    assert grix.cdist([], random_trees(3, 0)).shape == (0, 3)
    with pytest.raises(TypeError, match="trees\\[1\\]"):
        grix.pdist([random_trees(1, 0)[0], "{a}"])
    with pytest.raises(TypeError, match="per-node matrix"):
        grix.pdist(random_trees(3, 0), rename=np.zeros((2, 2)))


@pytest.mark.parametrize("costs", [{"rename": label_cost}, {"delete": {"a": 2, "b": 1, "c": 3, "d": 1}.get},
                                   {"insert": {"a": 2, "b": 1, "c": 3, "d": 1}.get}],
                         ids=["rename", "delete", "insert"])
def test_trees_without_nodes_on_one_side_with_label_costs(costs):
    # A side with no node has no label codes, which no cost table must cover.
    empty, others = grix.Tree.from_parents([], []), random_trees(4, 2)
    delete = costs.get("delete") or (lambda label: 1)
    insert = costs.get("insert") or (lambda label: 1)
    inserting = np.array([sum(insert(label) for label in tree.labels) for tree in others])
    deleting = np.array([sum(delete(label) for label in tree.labels) for tree in others])
    assert np.array_equal(grix.cdist([empty, empty], others, **costs), np.tile(inserting, (2, 1)))
    assert np.array_equal(grix.cdist(others, [empty], **costs)[:, 0], deleting)
    assert np.array_equal(grix.paired([empty] * 4, others, **costs), inserting)
    assert np.array_equal(grix.pdist([empty] * 3, **costs), np.zeros(3))


@pytest.mark.parametrize("workers, error", [(0, ValueError), (-2, ValueError), (True, TypeError),
                                            (2.0, TypeError), ("all", TypeError)])
def test_bad_workers_are_refused_before_any_work(workers, error):
    import grix.dask

    trees = random_trees(3, 0)
    for call in (grix.pdist, grix.dask.pdist, lambda t, **kw: grix.cdist(t, t, **kw),
                 lambda t, **kw: grix.dask.cdist(t, t, **kw), lambda t, **kw: grix.join(t, 1, **kw)):
        with pytest.raises(error, match="workers"):
            call(trees, workers=workers)


@pytest.fixture(scope="module")
def join_corpus():
    return random_trees(250, seed=2, max_nodes=20) + syntax_trees(250, seed=3, max_nodes=120)


@pytest.mark.parametrize("threshold", [0, 3, 8, 20])
def test_join_finds_exactly_the_pairs_within_the_threshold(join_corpus, threshold):
    condensed = grix.pdist(join_corpus)
    i, j = np.triu_indices(len(join_corpus), 1)
    keep = condensed <= threshold
    brute = list(zip(i[keep].tolist(), j[keep].tolist(), condensed[keep].tolist()))
    found = grix.join(join_corpus, threshold)
    assert list(found) == brute
    assert sum(found.counts[stage] for stage in STAGES[:-1]) == len(condensed)
    assert found.pruned_by_size > 0 and found.pruned_by_labels > 0


def test_join_with_negative_costs_does_not_prune_by_size(join_corpus):
    trees = join_corpus[:120]

    def rename(x, y):
        return -1 if x == y else 1

    condensed = grix.pdist(trees, rename=rename)
    found = grix.join(trees, 2, rename=rename)
    assert found.pruned_by_size == 0 and found.pruned_by_labels == 0
    assert [d for _, _, d in found] == condensed[condensed <= 2].tolist()


def test_progress_bar_counts_pairs_weighted_by_cells(trees200, capsys):
    from grix.progress import WorkBar

    grix.pdist(trees200, progress=True)
    err = capsys.readouterr().err
    assert "19.9k/19.9k" in err and "pair" in err and "cell" not in err
    grix.pdist(trees200)  # not a terminal: no bar by default
    assert capsys.readouterr().err == ""
    # Half the cells done shows half the pairs, however the cells fall on them.
    with WorkBar(True, 4e9, pairs=1000) as update:
        update(int(1e9))
        assert update.__self__.bar.n == 250
    assert "1.00k/1.00k" in capsys.readouterr().err
    # Fewer than a thousand pairs count in whole pairs, never "53.0/351".
    grix.pdist(trees200[:27], progress=True)
    err = capsys.readouterr().err
    assert "351/351" in err and ".0/351" not in err


PROBE = textwrap.dedent("""
    import os, random, sys, time
    sys.path[:0] = {paths!r}
    import grix
    from grix_helpers import CpuAfter, random_grix_tree

    def threads():
        return len(os.listdir("/proc/self/task"))

    def rss_kib(field="VmRSS"):
        with open("/proc/self/status") as status:
            return next(int(line.split()[1]) for line in status if line.startswith(field))

    rng = random.Random(0)
    trees = [random_grix_tree(rng, rng.randint(3, 14), "abcdef") for _ in range(int(sys.argv[2]))]
    before, threads_before = rss_kib(), threads()
    if float(sys.argv[1]) == 0:  # no timeout: the whole call, for its memory
        result = grix.pdist(trees, workers=2)
        print("done", result.nbytes // 1024, rss_kib("VmHWM") - before)
    else:  # the CPU time spent after the deadline passed
        with CpuAfter(float(sys.argv[1])) as after:
            try:
                grix.pdist(trees, workers=2, timeout=float(sys.argv[1]))
                name = "finished"
            except TimeoutError:
                name = "TimeoutError"
        print(name, round(after.seconds, 3), threads() - threads_before)
""")


def run_probe(timeout, count):
    result = subprocess.run([sys.executable, "-c", PROBE.format(paths=sys.path), str(timeout), str(count)],
                            capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr[-2000:]
    return result.stdout.split()


def test_timeout_stops_a_large_pdist_leaving_no_thread():
    # The whole call would take minutes of CPU time on two workers. The probe
    # reports the CPU time the process spent after the deadline passed, the
    # workers' and the freeing of their work included (0.07 to 0.11 s here,
    # 0.16 s at load 13): a loaded machine stretches the wall time of the
    # stop, not that work, and a pdist that ran on would spend minutes.
    name, cpu_after, extra_threads = run_probe(0.5, 20000)
    assert name == "TimeoutError" and float(cpu_after) < 1.0 and int(extra_threads) <= 0


def zigzag(spine):
    """A spine whose every node has a leaf before the next spine node and one
    after it: every spine node is a keyroot in either orientation, so the
    keyroot subtrees add up to some 1.5 spine^2 nodes."""
    labels, parents, stack = [], [], [(0, -1)]
    while stack:
        step, parent = stack.pop()
        node = len(labels)
        labels.append("s" if step >= 0 else "l")
        parents.append(parent)
        if 0 <= step < spine - 1:
            stack += [(-1, node), (step + 1, node), (-1, node)]
        elif step == spine - 1:
            stack += [(-1, node), (-1, node)]
    return grix.Tree.from_parents(labels, parents)


def test_a_pair_stops_within_its_keyroot_pairs():
    """A path (one keyroot) against a zigzag: one pair of trees, computed as
    2,000 keyroot pairs in a row with no flag read between them; about a
    billion cells (some 0.7 s of CPU time here) in 25 MiB. Only the kernel,
    reading the flag before each row of a large keyroot pair, can stop it
    early. Five deadlines spread over the call's wall time: the median of
    the CPU time each call spends after its deadline must be under a
    quarter of the whole call's (0.03 s at most here, against 0.7 to 1.0 s
    for the whole call); a kernel that does not read the flag computes until
    the pair ends, some 0.6 of the call's CPU time at the median (0.43 s of
    0.72 s here). CPU time, not the clock: a loaded machine stretches the
    wait for an answer but not the work done after the deadline."""
    import statistics
    import time

    from conftest import under_asan

    trees = [grix.Tree.from_parents(["a"] * 600, range(-1, 599)), zigzag(1000)]
    start, cpu_start = time.perf_counter(), time.process_time()
    expected = grix.pdist(trees, workers=1)
    full, full_cpu = time.perf_counter() - start, time.process_time() - cpu_start
    latencies = []
    for fraction in (0.1, 0.25, 0.4, 0.55, 0.7):
        # Zero when the call ends before a late deadline on a faster run.
        with CpuAfter(fraction * full) as after:
            try:
                assert np.array_equal(grix.pdist(trees, workers=1, timeout=fraction * full), expected)
            except TimeoutError:
                pass
        latencies.append(after.seconds)
    bound = 0.25 * full_cpu if under_asan else min(0.5, 0.25 * full_cpu)
    assert statistics.median(latencies) < bound, (full_cpu, latencies)


def test_a_big_tree_among_small_ones_needs_the_memory_of_its_own_pairs():
    # Scratch sized for the largest tree paired with itself would be 40 GiB
    # here, and refused; a 60,000-node path against 3-node trees needs little.
    path = grix.Tree.from_parents(["p"] * 60000, range(-1, 59999))
    tiny = grix.Tree.from_bracket("{p{q}{r}}")
    alone = grix.distance(path, tiny)
    assert grix.cdist([path], [tiny, tiny]).tolist() == [[alone, alone]]
    assert grix.pdist([path, tiny, tiny]).tolist() == [alone, alone, 0]
    assert grix.paired([tiny, path], [path, tiny]).tolist() == [grix.distance(tiny, path), alone]


@pytest.mark.parametrize("call", ["cdist", "pdist", "paired"])
def test_batches_of_large_pairs_stop_soon(call):
    # Each 9,000-node pair takes some 4.5 s of CPU time and its scratch a
    # gigabyte: setting it up and filling its costs must not delay a stop
    # either.
    from conftest import under_asan

    rng = random.Random(3)
    big = [random_grix_tree(rng, 9000) for _ in range(2)]
    with CpuAfter(0.05) as after, pytest.raises(TimeoutError):
        if call == "pdist":
            grix.pdist(big + big, workers=2, timeout=0.05, delete=0.5)
        else:
            getattr(grix, call)(big, big[::-1], workers=2, timeout=0.05)
    # The CPU time of the process after the deadline, its two workers'
    # included: up to 0.09 s here with deadlines anywhere in the first
    # second, 0.26 s at most at load 13. A loaded machine stretches the wall
    # time of the stop (0.06 s idle, past 0.9 s under load), not this work; a
    # batch that set up its scratch and costs unwatched took a second of
    # wall time on both workers, and one that ran on would spend seconds.
    # Under AddressSanitizer, allocating and releasing the gigabyte of
    # scratch alone took 3.1-3.2 s of CPU time in CI, while a pair that ran
    # on would spend several times the release build's 4.5 s.
    assert after.seconds < (8.0 if under_asan else 0.75), after.seconds


def test_memory_is_the_result_and_a_small_scratch_per_worker():
    name, result_kib, growth_kib = run_probe(0, 3000)
    assert name == "done"
    assert int(growth_kib) <= int(result_kib) + 16 * 1024


def test_dtype_casts_only_what_it_can_hold():
    trees = [grix.Tree.from_bracket(text) for text in ("{a}", "{a{b}{c}}", "{x{y{z}}}", "{a{b{c{d{e}}}}}")]
    natural = grix.pdist(trees)
    for call in (lambda **kw: grix.pdist(trees, **kw), lambda **kw: grix.cdist(trees, trees[::-1], **kw),
                 lambda **kw: grix.paired(trees, trees[::-1], **kw)):
        expected = call()
        for dtype in (np.uint8, np.int16, np.int64, np.float32, "float64"):
            got = call(dtype=dtype)
            assert got.dtype == np.dtype(dtype) and np.array_equal(got, expected)
        assert call(dtype=None).dtype == expected.dtype
    # Fractional and normalised distances take float dtypes only.
    assert grix.pdist(trees, delete=0.5, dtype=np.float32).tolist() == grix.pdist(trees, delete=0.5).tolist()
    with pytest.raises(ValueError, match="fractional; pass a float dtype"):
        grix.pdist(trees, normalize="max", dtype=np.uint8)
    # Values out of range are refused, never wrapped.
    with pytest.raises(ValueError, match=r"do not fit its range -128 to 127"):
        grix.pdist(trees, delete=100, insert=100, dtype=np.int8)
    with pytest.raises(ValueError, match="do not fit its range 0 to 255"):
        grix.pdist(trees, rename=lambda a, b: -1, dtype=np.uint8)
    for bad in (bool, "U3", object, "not a dtype"):
        with pytest.raises(TypeError, match="dtype must be a numpy integer or float dtype"):
            grix.pdist(trees, dtype=bad)
    assert grix.pdist(["[1]", "{}", "[2, 3]"], semantics="json", dtype=np.uint16).tolist() == [3, 2, 4]
    assert np.array_equal(natural, grix.pdist(trees, dtype=np.uint8))

