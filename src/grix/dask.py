"""grix on a Dask cluster, for collections too large for one machine.

The matrix is split into blocks; each block is a task that runs the native
batch (:func:`grix.cdist`'s engine) on a worker, and the encoded trees reach
every worker once, by scatter. Needs the optional extra: ``pip install
grix[dask]``.

>>> from dask.distributed import Client, LocalCluster
>>> client = Client(LocalCluster(n_workers=2, threads_per_worker=1))  # doctest: +SKIP
>>> grix.dask.pdist(trees, client=client)                             # doctest: +SKIP
"""

from __future__ import annotations

import asyncio

# Parts of Dask's API carry no annotations.
# mypy: disable-error-code="no-untyped-call"

import math
import sys
import time
from collections.abc import Callable, Iterator, Sequence
from contextlib import ExitStack, contextmanager
from typing import TYPE_CHECKING, Any, Union, cast

import numpy as np
import numpy.typing as npt

from . import _core
from .batch import Distances, Encoded, LabelRename, check_paired_trees, check_trees, encode, square_matrix
from .costs import NodeCost
from .distance import check_count, check_timeout, check_workers
from .join import dask_join as join  # noqa: F401  (grix.dask.join)
from .tree import Tree

if TYPE_CHECKING:
    from typing import TypeAlias

    import dask.array
    from dask.distributed import Client, Future

Payload: TypeAlias = tuple[list[npt.NDArray[np.int32]], list[npt.NDArray[np.int32]], "dict[str, Any]"]
Block = tuple[int, int]


def block_distances(rows_payload: Payload, columns_payload: Payload, rows: Block, columns: Block,
                    diagonal: bool, workers: int | None, deadline: float | None) -> npt.NDArray[np.int32]:
    """One task: the distances of trees rows[0]:rows[1] of the first payload
    against columns[0]:columns[1] of the second, as a matrix. Runs on a worker.

    diagonal: the block pairs a range of trees with itself (rows == columns of
        one payload): its pairs i < j are computed once and mirrored, and its
        diagonal is 0, as in scipy's ``squareform``. (The payloads reach the
        worker as copies, so the task cannot tell by looking.)
    workers: threads; None means all the cores of the worker's process.
    deadline: ``time.time()`` at which the call that submitted the task gives
        up; the engine stops there rather than run on after a time-out.
    """
    threads = check_workers(workers)
    seconds = None
    if deadline is not None:
        seconds = deadline - time.time()
        if seconds <= 0:
            raise TimeoutError("the deadline passed before the block started")
    parents_a, codes_a, arguments = rows_payload
    parents_b, codes_b, _ = columns_payload
    corpus_a = _core.Corpus(parents_a[rows[0]:rows[1]], codes_a[rows[0]:rows[1]])
    shape = (rows[1] - rows[0], columns[1] - columns[0])
    if diagonal:
        condensed = _core.batch(corpus_a, None, None, None, **arguments, workers=threads, timeout=seconds)
        return square_matrix(condensed, shape[0])
    corpus_b = _core.Corpus(parents_b[columns[0]:columns[1]], codes_b[columns[0]:columns[1]])
    return _core.batch(corpus_a, corpus_b, None, None, **arguments, workers=threads,
                       timeout=seconds).reshape(shape)


def split(count: int, parts: int) -> list[Block]:
    parts = max(1, min(parts, count))
    bounds = [round(k * count / parts) for k in range(parts + 1)]
    return [(bounds[k], bounds[k + 1]) for k in range(parts)]


def payload(encoded: Encoded) -> Payload:
    return encoded.parents, encoded.codes, encoded.costs.batch_arguments()


def result_type(encoded: Encoded) -> type:
    """What the blocks hold, as the local functions return it: int32, int64
    for integer costs computed in doubles, float64 for fractional costs."""
    if not encoded.costs.floating:
        return np.int32
    return np.int64 if encoded.costs.integral else np.float64


def paired_block(payload1: Payload, payload2: Payload, rows: Block, workers: int | None,
                 deadline: float | None) -> npt.NDArray[Any]:
    """One task of :func:`paired`: the distances of pairs rows[0]:rows[1]."""
    threads = check_workers(workers)
    seconds = None if deadline is None else deadline - time.time()
    if seconds is not None and seconds <= 0:
        raise TimeoutError("the deadline passed before the block started")
    (parents1, codes1, arguments), (parents2, codes2, _) = payload1, payload2
    corpus1 = _core.Corpus(parents1[rows[0]:rows[1]], codes1[rows[0]:rows[1]])
    corpus2 = _core.Corpus(parents2[rows[0]:rows[1]], codes2[rows[0]:rows[1]])
    index = np.arange(rows[1] - rows[0], dtype=np.int32)
    return _core.batch(corpus1, corpus2, index, index, **arguments, workers=threads, timeout=seconds)


def connect(client: Client | None, stack: ExitStack) -> Client:
    """The given client, or a client of a new LocalCluster of worker
    processes (one per core, one thread each) that closes with `stack`."""
    if client is not None:
        return client
    from dask.distributed import Client, LocalCluster

    cluster = stack.enter_context(LocalCluster(threads_per_worker=1, processes=True))
    connected: Client = stack.enter_context(Client(cluster))
    return connected


def task_workers(workers: int | None) -> int | None:
    """`workers` checked here, for the tasks: None (all cores) stays None, as
    the cores are counted on each worker."""
    checked = check_workers(workers)
    return None if workers is None or workers == -1 else checked


def submit_blocks(client: Client, rows_payload: Payload, columns_payload: Payload | None,
                  row_blocks: list[Block], column_blocks: list[Block], workers: int | None,
                  timeout: float | None) -> dict[Block, Future[npt.NDArray[np.int32]]]:
    """One task per block; for all pairs of one list (no columns payload),
    only the blocks on and above the diagonal. Every task stops at the
    deadline `timeout` seconds from now."""
    deadline = None if timeout is None else time.time() + timeout
    same = columns_payload is None
    # Unhashed: a second call on the same trees would otherwise get the keys
    # of the first, whose data the scheduler may be releasing just then.
    scattered_rows = client.scatter(rows_payload, broadcast=True, hash=False)
    scattered_columns = scattered_rows if same else client.scatter(columns_payload, broadcast=True, hash=False)
    tasks: dict[Block, Future[npt.NDArray[np.int32]]] = {}
    for r, rows in enumerate(row_blocks):
        for c, columns in enumerate(column_blocks):
            if same and c < r:
                continue  # the transpose of block (c, r)
            tasks[r, c] = client.submit(block_distances, scattered_rows, scattered_columns, rows,
                                        columns, same and r == c, workers, deadline, pure=False)
    return tasks


@contextmanager
def pair_bar(progress: bool | None, pairs: int) -> Iterator[Callable[[int], object]]:
    """A tqdm bar over pairs (True: shown; None: shown when stderr is a
    terminal) as a function that advances it."""
    if progress is False or pairs == 0 or progress is None and not sys.stderr.isatty():
        yield lambda done: None
        return
    from tqdm.auto import tqdm

    with tqdm(total=pairs, unit="pair", unit_scale=True, dynamic_ncols=True) as bar:
        yield bar.update


def gather_blocks(client: Client, tasks: dict[Block, Future[npt.NDArray[np.int32]]],
                  timeout: float | None, progress: bool | None, pairs: Callable[[int, int], int],
                  place: Callable[[int, int, npt.NDArray[np.int32]], None]) -> None:
    """Hands each block to `place` as it arrives, so that copying results
    overlaps the computing, and advances the bar by the block's `pairs`; on
    a time-out or Ctrl-C the tasks are cancelled."""
    from dask.distributed import as_completed

    block_of = {future.key: block for block, future in tasks.items()}
    total = sum(pairs(r, c) for r, c in tasks)
    try:
        with pair_bar(progress, total) as advance:
            for future in as_completed(list(tasks.values()), timeout=timeout):
                r, c = block_of[future.key]
                place(r, c, future.result())
                future.release()
                advance(pairs(r, c))
    except asyncio.TimeoutError as error:
        # The builtin TimeoutError from Python 3.11 on, but not on 3.10,
        # where callers catching TimeoutError would miss it.
        client.cancel(list(tasks.values()))
        raise TimeoutError(f"the computation did not finish within {timeout!r} s") from error
    except BaseException:
        client.cancel(list(tasks.values()))
        raise


def cluster_threads(client: Client) -> int:
    nthreads = cast("dict[str, int]", client.nthreads())  # a dict on a synchronous client
    return max(1, sum(nthreads.values()))


def block_count(count: int, client: Client, blocks: int | None) -> int:
    if blocks is not None:
        return check_count(blocks, "blocks")
    # Some 16 tasks per worker thread balance the load (blocks on the
    # diagonal are half the work of the others) at little cost per task.
    return max(1, min(count, math.ceil(math.sqrt(32 * cluster_threads(client)))))


def pdist(trees: Sequence[Tree], *, rename: LabelRename = None, delete: NodeCost = None,
          insert: NodeCost = None, client: Client | None = None, blocks: int | None = None,
          workers: int | None = 1, progress: bool | None = None,
          timeout: float | None = None) -> Distances:
    """:func:`grix.pdist` on a Dask cluster: the condensed vector, pair
    (i, j), i < j, in row-major order, of the type the local function
    returns for these costs (rename, delete and insert as there).

    client: a ``dask.distributed.Client``; None starts a LocalCluster of worker
        processes for this call and closes it afterwards.
    blocks: the trees are split into this many ranges, and each pair of ranges
        (on or above the diagonal) is one task (default: a few tasks per
        worker thread).
    workers: threads each task uses on its Dask worker (default 1, as Dask
        already runs one task per worker thread); None or -1 means all the
        cores of the worker's process.
    progress: True shows a tqdm bar over pairs, advanced as blocks finish;
        None shows one when stderr is a terminal.
    timeout: seconds for the whole call. Each task gets the deadline and stops
        its engine there; on a time-out (TimeoutError) or Ctrl-C the waiting
        tasks are cancelled as well.
    """
    listed = check_trees(trees, "trees")
    per_task, seconds = task_workers(workers), check_timeout(timeout)
    (encoded,) = encode(listed, rename=rename, delete=delete, insert=insert)
    count = len(listed)
    condensed = np.empty(count * (count - 1) // 2, dtype=result_type(encoded))
    with ExitStack() as stack:
        connected = connect(client, stack)
        ranges = split(count, block_count(count, connected, blocks))
        tasks = submit_blocks(connected, payload(encoded), None, ranges, ranges, per_task, seconds)

        def pairs(r: int, c: int) -> int:
            (r0, r1), (c0, c1) = ranges[r], ranges[c]
            return (r1 - r0) * (r1 - r0 - 1) // 2 if r == c else (r1 - r0) * (c1 - c0)

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

        gather_blocks(connected, tasks, seconds, progress, pairs, place)
    return condensed


def cdist(trees_a: Sequence[Tree], trees_b: Sequence[Tree], *, rename: LabelRename = None,
          delete: NodeCost = None, insert: NodeCost = None, client: Client | None = None,
          blocks: int | None = None, workers: int | None = 1, progress: bool | None = None,
          timeout: float | None = None) -> Distances:
    """:func:`grix.cdist` on a Dask cluster: the (len(trees_a), len(trees_b))
    matrix. Arguments as for :func:`pdist`."""
    listed_a, listed_b = check_trees(trees_a, "trees_a"), check_trees(trees_b, "trees_b")
    per_task, seconds = task_workers(workers), check_timeout(timeout)
    encoded_a, encoded_b = encode(listed_a, listed_b, rename=rename, delete=delete, insert=insert)
    matrix = np.empty((len(listed_a), len(listed_b)), dtype=result_type(encoded_a))
    with ExitStack() as stack:
        connected = connect(client, stack)
        count = block_count(max(len(listed_a), len(listed_b)), connected, blocks)
        row_blocks, column_blocks = split(len(listed_a), count), split(len(listed_b), count)
        tasks = submit_blocks(connected, payload(encoded_a), payload(encoded_b), row_blocks,
                              column_blocks, per_task, seconds)

        def pairs(r: int, c: int) -> int:
            (r0, r1), (c0, c1) = row_blocks[r], column_blocks[c]
            return (r1 - r0) * (c1 - c0)

        def place(r: int, c: int, block: npt.NDArray[np.int32]) -> None:
            (r0, r1), (c0, c1) = row_blocks[r], column_blocks[c]
            matrix[r0:r1, c0:c1] = block

        gather_blocks(connected, tasks, seconds, progress, pairs, place)
    return matrix


def paired(trees1: Sequence[Tree], trees2: Sequence[Tree], *, rename: LabelRename = None,
           delete: NodeCost = None, insert: NodeCost = None, client: Client | None = None,
           blocks: int | None = None, workers: int | None = 1, progress: bool | None = None,
           timeout: float | None = None) -> Distances:
    """:func:`grix.paired` on a Dask cluster: the distance from trees1[k] to
    trees2[k] for every k, the pairs split into `blocks` ranges, one task
    each. Arguments as for :func:`pdist`."""
    listed1, listed2 = check_paired_trees(trees1, trees2)
    per_task, seconds = task_workers(workers), check_timeout(timeout)
    encoded1, encoded2 = encode(listed1, listed2, rename=rename, delete=delete, insert=insert)
    result = np.empty(len(listed1), dtype=result_type(encoded1))
    with ExitStack() as stack:
        connected = connect(client, stack)
        count = len(listed1)
        ranges = split(count, 16 * cluster_threads(connected) if blocks is None else check_count(blocks, "blocks"))
        deadline = None if seconds is None else time.time() + seconds
        scattered1 = connected.scatter(payload(encoded1), broadcast=True, hash=False)
        scattered2 = connected.scatter(payload(encoded2), broadcast=True, hash=False)
        tasks = {(r, 0): connected.submit(paired_block, scattered1, scattered2, rows, per_task, deadline,
                                          pure=False) for r, rows in enumerate(ranges)}

        def place(r: int, c: int, block: npt.NDArray[Any]) -> None:
            result[ranges[r][0]:ranges[r][1]] = block

        gather_blocks(connected, tasks, seconds, progress, lambda r, c: ranges[r][1] - ranges[r][0], place)
    return result


def square_array(trees: Sequence[Tree], *, client: Client, rename: LabelRename = None,
                 delete: NodeCost = None, insert: NodeCost = None, blocks: int | None = None,
                 workers: int | None = 1) -> dask.array.Array:
    """The symmetric (n, n) int32 matrix of :func:`pdist` (scipy's
    ``squareform`` of it: zero diagonal, entry [j, i] = entry [i, j]) as a
    lazy dask array whose blocks are tasks already running on `client`, for
    results to be reduced on the cluster. The client must outlive the array.
    Arguments as for :func:`pdist`."""
    import dask.array as da
    from dask.delayed import delayed

    listed = check_trees(trees, "trees")
    per_task = task_workers(workers)
    (encoded,) = encode(listed, rename=rename, delete=delete, insert=insert)
    dtype = result_type(encoded)
    ranges = split(len(listed), block_count(len(listed), client, blocks))
    tasks = submit_blocks(client, payload(encoded), None, ranges, ranges, per_task, None)

    def lazy(r: int, c: int) -> Any:
        shape = (ranges[r][1] - ranges[r][0], ranges[c][1] - ranges[c][0])
        if c < r:
            return da.from_delayed(delayed(np.transpose)(tasks[c, r]), shape, dtype=dtype)
        return da.from_delayed(delayed(tasks[r, c]), shape, dtype=dtype)

    array: dask.array.Array = da.block([[lazy(r, c) for c in range(len(ranges))]
                                        for r in range(len(ranges))])
    return array
