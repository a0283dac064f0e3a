"""grix on a Dask cluster of worker processes: the syntax trees of every
function in a few standard-library modules, compared pairwise in blocks.

The same code runs on a real cluster: give grix.dask a Client connected to
its scheduler (Client("tcp://scheduler:8786")) instead of the local one.
Run with `python examples/dask_cluster.py` (needs `pip install ".[dask]"`).
"""

import ast
import pathlib
import sysconfig
import time

import numpy as np
from dask.distributed import Client, LocalCluster

import grix
import grix.dask

STDLIB = pathlib.Path(sysconfig.get_paths()["stdlib"])


def function_trees(modules):
    names, trees = [], []
    for module in modules:
        tree = ast.parse((STDLIB / module).read_text(encoding="utf-8"))
        for node in ast.walk(tree):
            if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
                names.append(f"{module}:{node.name}")
                trees.append(grix.Tree.from_ast(node))
    return names, trees


def main():
    names, trees = function_trees(["json/decoder.py", "json/encoder.py", "shlex.py", "textwrap.py",
                                   "fnmatch.py", "glob.py", "string.py", "colorsys.py"])
    # Two worker processes with one thread each; each task is a block of pairs
    # computed natively, and the trees reach each worker once.
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0") as cluster, \
            Client(cluster) as client:
        start = time.perf_counter()
        condensed = grix.dask.pdist(trees, client=client)
        seconds = time.perf_counter() - start
        print(f"{len(condensed):,} pairs of {len(trees)} functions on {len(client.nthreads())} workers "
              f"in {seconds:.2f} s")
        assert np.array_equal(condensed, grix.pdist(trees)), "the cluster and one machine agree"

        # A lazy dask array of the square matrix, for further dask work.
        square = grix.dask.square_array(trees, client=client)
        nearest = square + np.eye(len(trees), dtype=np.int32) * 10**6
        closest = nearest.argmin(axis=1).compute()
    for i in range(5):
        print(f"  {names[i]} is closest to {names[closest[i]]}")


if __name__ == "__main__":
    main()
