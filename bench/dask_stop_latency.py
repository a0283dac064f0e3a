"""Seconds from a cancel (dropping a running lazy result) or a time-out
until each Dask worker runs a new task: the Stopping figures of
bench/results/grix-dask.md. Run as `python bench/dask_stop_latency.py`."""

import gc
import pathlib
import random
import statistics
import sys
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests" / "python"))

import grix.dask  # noqa: E402
from dask.distributed import Client, LocalCluster, wait  # noqa: E402
from grix_helpers import random_grix_tree  # noqa: E402


def free_after(client, start):
    probes = [client.submit(sum, [k], workers=[address], pure=False) for k, address in enumerate(client.nthreads())]
    wait(probes)
    return time.perf_counter() - start


def main(repeats=3):
    rng = random.Random(7)
    trees = [random_grix_tree(rng, 1500, "abcd") for _ in range(30)]  # 3 blocks of about a minute
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0") as cluster, \
            Client(cluster) as client:
        drops, timeouts = [], []
        for _ in range(repeats):
            lazy = grix.dask.square_array(trees, client=client, blocks=2)
            time.sleep(1.5)  # the blocks are running
            start = time.perf_counter()
            del lazy
            gc.collect()
            drops.append(free_after(client, start))
            try:
                grix.dask.pdist(trees, client=client, blocks=2, timeout=1.0)
            except TimeoutError:
                timeouts.append(free_after(client, time.perf_counter()))
    print(f"dropping a running square_array -> both workers free: median {statistics.median(drops):.3f} s "
          f"({min(drops):.2f}-{max(drops):.2f})")
    print(f"TimeoutError -> both workers free: median {statistics.median(timeouts):.3f} s "
          f"({min(timeouts):.2f}-{max(timeouts):.2f})")


if __name__ == "__main__":
    main()
