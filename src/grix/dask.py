"""grix on a Dask cluster, for collections too large for one machine.

The matrix is split into blocks; each block is a task that runs the native
batch (:func:`grix.cdist`'s engine) on a worker, and the encoded trees reach
every worker once, by scatter. Needs the optional extra: ``pip install
grix[dask]``.

>>> from dask.distributed import Client, LocalCluster
>>> client = Client(LocalCluster(n_workers=2, threads_per_worker=1))  # doctest: +SKIP
>>> grix.dask.pairwise(trees, client=client)                          # doctest: +SKIP
"""

from __future__ import annotations

import math
from collections.abc import Callable, Sequence
from contextlib import ExitStack
from typing import Any

import numpy as np
import numpy.typing as npt

from . import _core
from .batch import Encoded, check_trees, encode
from .distance import check_threads, check_timeout
from .join import dask_join as join  # noqa: F401  (grix.dask.join)
from .tree import Tree

Payload = tuple[list[npt.NDArray[np.int32]], list[npt.NDArray[np.int32]], "npt.NDArray[np.int32] | None"]


def block_distances(rows_payload: Payload, columns_payload: Payload, rows: tuple[int, int],
                    columns: tuple[int, int], threads: int) -> npt.NDArray[np.int32]:
    """One task: the distances of trees rows[0]:rows[1] of the first payload
    against columns[0]:columns[1] of the second, as a matrix. Runs on a worker."""
    parents_a, codes_a, label_costs = rows_payload
    parents_b, codes_b, _ = columns_payload
    corpus_a = _core.Corpus(parents_a[rows[0]:rows[1]], codes_a[rows[0]:rows[1]])
    shape = (rows[1] - rows[0], columns[1] - columns[0])
    if rows_payload is columns_payload and rows == columns:
        condensed = _core.batch(corpus_a, None, None, None, label_costs, threads)
        block = np.zeros(shape, dtype=np.int32)
        upper = np.triu_indices(shape[0], 1)
        block[upper] = condensed
        block.T[upper] = condensed
        return block
    corpus_b = _core.Corpus(parents_b[columns[0]:columns[1]], codes_b[columns[0]:columns[1]])
    return _core.batch(corpus_a, corpus_b, None, None, label_costs, threads).reshape(shape)


def split(count: int, parts: int) -> list[tuple[int, int]]:
    parts = max(1, min(parts, count))
    bounds = [round(k * count / parts) for k in range(parts + 1)]
    return [(bounds[k], bounds[k + 1]) for k in range(parts)]


def payload(encoded: Encoded) -> Payload:
    return encoded.parents, encoded.codes, encoded.label_costs


def connect(client: Any, stack: ExitStack) -> Any:
    """The given client, or a client of a new LocalCluster of worker
    processes (one per core, one thread each) that closes with `stack`."""
    if client is not None:
        return client
    from dask.distributed import Client, LocalCluster

    cluster = stack.enter_context(LocalCluster(threads_per_worker=1, processes=True))
    return stack.enter_context(Client(cluster))


def submit_blocks(client: Any, rows_payload: Payload, columns_payload: Payload | None,
                  row_blocks: list[tuple[int, int]], column_blocks: list[tuple[int, int]],
                  threads: int) -> dict[tuple[int, int], Any]:
    """One task per block; for all pairs of one list (no columns payload),
    only the blocks on and above the diagonal."""
    same = columns_payload is None
    scattered_rows = client.scatter(rows_payload, broadcast=True)
    scattered_columns = scattered_rows if same else client.scatter(columns_payload, broadcast=True)
    tasks: dict[tuple[int, int], Any] = {}
    for r, rows in enumerate(row_blocks):
        for c, columns in enumerate(column_blocks):
            if same and c < r:
                continue  # the transpose of block (c, r)
            tasks[r, c] = client.submit(block_distances, scattered_rows, scattered_columns, rows,
                                        columns, threads, pure=False)
    return tasks


def gather_blocks(client: Any, tasks: dict[tuple[int, int], Any], timeout: float | None,
                  place: Callable[[int, int, npt.NDArray[np.int32]], None]) -> None:
    """Hands each block to `place` as it arrives, so that copying results
    overlaps the computing; on a time-out or Ctrl-C the tasks are cancelled."""
    from dask.distributed import as_completed

    block_of = {future.key: block for block, future in tasks.items()}
    try:
        for future in as_completed(list(tasks.values()), timeout=timeout):
            place(*block_of[future.key], future.result())
            future.release()
    except BaseException:
        client.cancel(list(tasks.values()))
        raise


def dask_matrix(tasks: dict[tuple[int, int], Any], row_blocks: list[tuple[int, int]],
                column_blocks: list[tuple[int, int]], same: bool) -> Any:
    import dask
    import dask.array as da

    def lazy(r: int, c: int) -> Any:
        shape = (row_blocks[r][1] - row_blocks[r][0], column_blocks[c][1] - column_blocks[c][0])
        if same and c < r:
            return da.from_delayed(dask.delayed(np.transpose)(tasks[c, r]), shape, dtype=np.int32)
        return da.from_delayed(dask.delayed(tasks[r, c]), shape, dtype=np.int32)

    return da.block([[lazy(r, c) for c in range(len(column_blocks))] for r in range(len(row_blocks))])


def block_count(count: int, client: Any, blocks: int | None) -> int:
    if blocks is not None:
        return check_threads(blocks, "blocks")
    # Some 16 tasks per worker thread balance the load (blocks on the
    # diagonal are half the work of the others) at little cost per task.
    threads = sum(client.nthreads().values()) or 1
    return max(1, min(count, math.ceil(math.sqrt(32 * threads))))


def pairwise(trees: Sequence[Tree], *, rename: Callable[[str, str], int] | None = None,
             client: Any = None, blocks: int | None = None, threads: int = 1,
             as_dask: bool = False, timeout: float | None = None) -> Any:
    """:func:`grix.pairwise` on a Dask cluster: the condensed vector (numpy
    int32), or with ``as_dask=True`` the square (n, n) matrix as a lazy dask
    array (the condensed layout does not split into blocks).

    client: a ``dask.distributed.Client``; None starts a LocalCluster of worker
        processes for this call and closes it afterwards.
    blocks: the trees are split into this many ranges, and each pair of ranges
        is one task (default: a few tasks per worker thread).
    threads: threads each task uses on its worker.
    timeout: seconds to wait for the tasks (not with as_dask); on a time-out or
        Ctrl-C the tasks are cancelled.
    """
    listed = check_trees(trees, "trees")
    threads, seconds = check_threads(threads), check_timeout(timeout)
    (encoded,) = encode(listed, rename=rename)
    count = len(listed)
    with ExitStack() as stack:
        if as_dask and client is None:
            raise ValueError("as_dask=True needs a client that outlives the call")
        connected = connect(client, stack)
        ranges = split(count, block_count(count, connected, blocks))
        tasks = submit_blocks(connected, payload(encoded), None, ranges, ranges, threads)
        if as_dask:
            return dask_matrix(tasks, ranges, ranges, True)
        condensed = np.empty(count * (count - 1) // 2, dtype=np.int32)

        def place(r: int, c: int, block: npt.NDArray[np.int32]) -> None:
            # Row i of the block holds pairs (i, j) for j in the block's
            # columns; only j > i belong to the condensed vector, where row i
            # starts at i * count - i * (i + 1) / 2.
            (r0, r1), (c0, c1) = ranges[r], ranges[c]
            for i in range(r0, r1):
                j0 = max(c0, i + 1)
                if j0 < c1:
                    start = i * count - i * (i + 1) // 2 + j0 - i - 1
                    condensed[start:start + c1 - j0] = block[i - r0, j0 - c0:]

        gather_blocks(connected, tasks, seconds, place)
    return condensed


def cdist(trees_a: Sequence[Tree], trees_b: Sequence[Tree], *,
          rename: Callable[[str, str], int] | None = None, client: Any = None,
          blocks: int | None = None, threads: int = 1, as_dask: bool = False,
          timeout: float | None = None) -> Any:
    """:func:`grix.cdist` on a Dask cluster: the (len(a), len(b)) int32 matrix,
    as numpy or (``as_dask=True``) as a lazy dask array. Arguments as for
    :func:`pairwise`."""
    listed_a, listed_b = check_trees(trees_a, "trees_a"), check_trees(trees_b, "trees_b")
    threads, seconds = check_threads(threads), check_timeout(timeout)
    encoded_a, encoded_b = encode(listed_a, listed_b, rename=rename)
    with ExitStack() as stack:
        if as_dask and client is None:
            raise ValueError("as_dask=True needs a client that outlives the call")
        connected = connect(client, stack)
        count = block_count(max(len(listed_a), len(listed_b)), connected, blocks)
        row_blocks, column_blocks = split(len(listed_a), count), split(len(listed_b), count)
        tasks = submit_blocks(connected, payload(encoded_a), payload(encoded_b), row_blocks,
                              column_blocks, threads)
        if as_dask:
            return dask_matrix(tasks, row_blocks, column_blocks, False)
        matrix = np.empty((len(listed_a), len(listed_b)), dtype=np.int32)

        def place(r: int, c: int, block: npt.NDArray[np.int32]) -> None:
            (r0, r1), (c0, c1) = row_blocks[r], column_blocks[c]
            matrix[r0:r1, c0:c1] = block

        gather_blocks(connected, tasks, seconds, place)
    return matrix
