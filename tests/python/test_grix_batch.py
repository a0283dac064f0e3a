"""Many trees: pdist, cdist and join against per-pair distances, the Dask
path against the local one, progress, stopping and memory."""

import random
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import grix
from grix.batch import square_matrix
from grix.join import STAGES
from grix_helpers import random_grix_tree, syntax_trees


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


def test_progress_bar_reaches_the_total(trees200, capsys):
    grix.pdist(trees200, progress=True)
    err = capsys.readouterr().err
    assert "100%" in err and "cell" not in err  # percent of the work, not engine cells
    grix.pdist(trees200)  # not a terminal: no bar by default
    assert capsys.readouterr().err == ""


PROBE = textwrap.dedent("""
    import os, random, sys, time
    sys.path[:0] = {paths!r}
    import grix
    from grix_helpers import random_grix_tree

    def threads():
        return len(os.listdir("/proc/self/task"))

    def rss_kib(field="VmRSS"):
        with open("/proc/self/status") as status:
            return next(int(line.split()[1]) for line in status if line.startswith(field))

    rng = random.Random(0)
    trees = [random_grix_tree(rng, rng.randint(3, 14), "abcdef") for _ in range(int(sys.argv[2]))]
    before, threads_before = rss_kib(), threads()
    start = time.monotonic()
    try:
        result = grix.pdist(trees, workers=2, timeout=float(sys.argv[1]) or None)
        print("done", result.nbytes // 1024, rss_kib("VmHWM") - before)
    except TimeoutError:
        print("TimeoutError", round(time.monotonic() - start, 2), threads() - threads_before)
""")


def run_probe(timeout, count):
    result = subprocess.run([sys.executable, "-c", PROBE.format(paths=sys.path), str(timeout), str(count)],
                            capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr[-2000:]
    return result.stdout.split()


def test_timeout_stops_a_large_pdist_leaving_no_thread():
    # The whole call would take minutes; the bound leaves room for a loaded machine.
    name, seconds, extra_threads = run_probe(0.5, 20000)
    assert name == "TimeoutError" and float(seconds) < 3.0 and int(extra_threads) <= 0


def test_memory_is_the_result_and_a_small_scratch_per_worker():
    name, result_kib, growth_kib = run_probe(0, 3000)
    assert name == "done"
    assert int(growth_kib) <= int(result_kib) + 16 * 1024


def test_dask_matches_local_results():
    pytest.importorskip("dask.distributed")
    from dask.distributed import Client, LocalCluster

    import grix.dask

    trees = random_trees(90, seed=4, max_nodes=25)
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \
            Client(cluster) as client:
        assert np.array_equal(grix.dask.pdist(trees, client=client, timeout=120), grix.pdist(trees))
        assert np.array_equal(grix.dask.pdist(trees, client=client, blocks=7, rename=label_cost, timeout=120),
                              grix.pdist(trees, rename=label_cost))
        assert np.array_equal(grix.dask.cdist(trees[:30], trees[30:], client=client, rename=label_cost, timeout=120),
                              grix.cdist(trees[:30], trees[30:], rename=label_cost))
        assert np.array_equal(grix.dask.cdist(trees[:30], trees[30:], client=client, timeout=120),
                              grix.cdist(trees[:30], trees[30:]))
        lazy = grix.dask.square_array(trees, client=client)
        assert np.array_equal(lazy.compute(), square_matrix(grix.pdist(trees), 90))
