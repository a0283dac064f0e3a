"""The scikit-learn recipes of the README: the estimators take grix's
matrices with metric="precomputed", and the sparse join gives DBSCAN the
same clusters as the dense matrix."""

import pathlib
import random
import subprocess
import sys

import numpy as np
import pytest

import grix
from grix_helpers import random_grix_tree

sklearn_cluster = pytest.importorskip("sklearn.cluster")
scipy_sparse = pytest.importorskip("scipy.sparse")
squareform = pytest.importorskip("scipy.spatial.distance").squareform


def test_the_example_runs():
    example = pathlib.Path(__file__).parents[2] / "examples" / "clustering.py"
    run = subprocess.run([sys.executable, "-W", "error", str(example)], capture_output=True, text=True,
                         timeout=300)
    assert run.returncode == 0, run.stderr
    assert "DBSCAN:" in run.stdout and "nearest to shlex.quote" in run.stdout


def test_dbscan_on_the_join_equals_dbscan_on_the_square_matrix():
    rng = random.Random(4)
    seeds = [random_grix_tree(rng, 12, "abc") for _ in range(6)]
    trees = []
    for seed in seeds:  # families of close trees, some identical
        trees += [seed] * 2 + [random_grix_tree(rng, 12, "abc") for _ in range(3)]
    eps = 3
    dense = sklearn_cluster.DBSCAN(eps=eps, min_samples=2, metric="precomputed").fit(
        squareform(grix.pdist(trees, dtype=np.float64)))
    found = grix.join(trees, eps)
    i, j, d = (np.array(column) for column in zip(*found)) if len(found) else ([], [], [])
    n = len(trees)
    # Both triangles, and the diagonal: stored zeros are neighbours, absent entries are not.
    rows = np.concatenate([i, j, np.arange(n)])
    columns = np.concatenate([j, i, np.arange(n)])
    values = np.concatenate([d, d, np.zeros(n)]).astype(np.float64)
    sparse = scipy_sparse.csr_matrix((values, (rows, columns)), shape=(n, n))
    from_join = sklearn_cluster.DBSCAN(eps=eps, min_samples=2, metric="precomputed").fit(sparse)
    assert (dense.labels_ >= 0).sum() > 2
    assert dense.labels_.tolist() == from_join.labels_.tolist()
