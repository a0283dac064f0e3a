"""grix on a Dask cluster, for collections too large for one machine.

The matrix is split into blocks; each block is a task that runs the native
batch (:func:`grix.cdist`'s engine) on a worker. The trees travel packed
(three flat arrays per range of trees) and the cost tables once per call,
each as the result of a task that carries them, so that a worker lost
mid-run costs only its blocks: the scheduler recomputes whatever it held on
the workers that remain. Needs the optional extra: ``pip install grix[dask]``.

>>> from dask.distributed import Client, LocalCluster
>>> client = Client(LocalCluster(n_workers=2, threads_per_worker=1))  # doctest: +SKIP
>>> grix.dask.pdist(trees, client=client)                             # doctest: +SKIP

What runs where: the arguments are checked and the labels encoded (the cost
callables called) on the client, before any task is sent; the distances are
computed on the workers, in blocks; the blocks are gathered, and normalised
when asked, on the client (or written to a file by the workers, ``out=``).
"""

from __future__ import annotations

# Parts of Dask's API carry no annotations.
# mypy: disable-error-code="no-untyped-call"

import math
import sys
import time
import warnings
from collections.abc import Callable, Iterator, Sequence
from contextlib import ExitStack, contextmanager
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Union, cast

import numpy as np
import numpy.typing as npt

from . import _core
from .batch import (Distances, Encoded, LabelRename, Normalize, batch_sizes, check_paired_trees, check_trees,
                    encode, normalized)
from .costs import NodeCost
from .distance import check_count, check_timeout, check_workers
from .join import STAGES, JoinResult, check_number_threshold, check_threshold, integer_threshold, join_index
from .semantics import Semantics, wants_json
from .tree import Tree

if TYPE_CHECKING:
    from typing import TypeAlias

    import dask.array
    from dask.distributed import Client, Future

__all__ = ["pdist", "cdist", "paired", "square_array", "cdist_array", "join"]

#: Trees packed for travel: every tree's parents one after the other, their
#: label codes likewise, and where each tree starts (n + 1 offsets).
Packed: TypeAlias = tuple[npt.NDArray[np.int32], npt.NDArray[np.int32], npt.NDArray[np.int64]]
Block = tuple[int, int]
ClientLike = Union["Client", str, None]

# The client waits this much beyond `timeout` for the cluster's round trips
# before it gives up on blocks that the workers' own deadlines did not end.
ROUND_TRIP_GRACE = 1.0
# Once a cluster that had workers has had none for this long, the call ends
# (a nanny brings a lost worker back within seconds; a machine under load
# may take tens).
WORKERLESS_SECONDS = 60.0
# Most pairs in one off-diagonal block (the block's result travels whole):
# 4 Mi pairs are 16 MiB of int32.
MOST_BLOCK_PAIRS = 4 << 20


@dataclass(frozen=True)
class Stopped:
    """What a task returns instead of raising when it stops early, so that
    an expected end (a time-out, a cancel, a refusal for memory) leaves no
    error traceback in the worker's log; the client raises it."""

    reason: str  # "timeout", "cancelled" or "memory"
    message: str
    seconds: float


# --- Packing -----------------------------------------------------------------

def pack(parents: Sequence[npt.NDArray[np.int32]], codes: Sequence[npt.NDArray[np.int32]]) -> Packed:
    """Trees as three flat arrays: one frame each on the wire, where a list
    of small arrays costs a frame per array."""
    offsets = np.zeros(len(parents) + 1, dtype=np.int64)
    np.cumsum(np.fromiter(map(len, parents), dtype=np.int64, count=len(parents)), out=offsets[1:])
    empty = np.empty(0, dtype=np.int32)
    flat_parents = np.concatenate(parents).astype(np.int32, copy=False) if len(parents) else empty
    flat_codes = np.concatenate(codes).astype(np.int32, copy=False) if len(codes) else empty
    return flat_parents, flat_codes, offsets


def pack_range(packed: Packed, start: int, stop: int) -> Packed:
    """Trees start:stop of a packed collection, packed on their own (copies,
    so that a task carries only them)."""
    parents, codes, offsets = packed
    low, high = int(offsets[start]), int(offsets[stop])
    return parents[low:high].copy(), codes[low:high].copy(), offsets[start:stop + 1] - low


def unpack(packed: Packed) -> tuple[list[npt.NDArray[np.int32]], list[npt.NDArray[np.int32]]]:
    """The trees' parents and codes as lists of views into the flat arrays."""
    parents, codes, offsets = packed
    cuts = offsets[1:-1]
    if len(offsets) <= 1:
        return [], []
    return np.split(parents, cuts), np.split(codes, cuts)


def corpus(packed: Packed) -> _core.Corpus:
    return _core.Corpus(*unpack(packed))


def json_packed(*groups: tuple[str, list[Any]]) -> tuple[list[Packed], dict[str, Any]]:
    """JSON trees or documents as the workers take them: each group packed
    with its label codes, and as the blocks' arguments the node kind of
    every code (a code numbers one (kind, label) pair), from which the
    workers read the nodes' kinds: no third array per tree on the wire."""
    from .json_distance import Encoded as JSONEncoded

    encoded = JSONEncoded(*groups)
    all_kinds = [kinds for _, _, group_kinds, _ in encoded.groups for kinds in group_kinds]
    all_labels = [labels for _, _, _, group_labels in encoded.groups for labels in group_labels]
    flat_labels = np.concatenate(all_labels) if all_labels else np.empty(0, dtype=np.int32)
    kind_of_code = np.zeros(int(flat_labels.max()) + 1 if len(flat_labels) else 0, dtype=np.int32)
    if len(flat_labels):
        kind_of_code[flat_labels] = np.concatenate(all_kinds)
    packed = [pack(parents, labels) for _, parents, _, labels in encoded.groups]
    return packed, {"json_kinds": kind_of_code}


def json_trees(packed: Packed, kind_of_code: npt.NDArray[np.int32]) -> tuple[
        list[npt.NDArray[np.int32]], list[npt.NDArray[np.int32]], list[npt.NDArray[np.int32]]]:
    """Parents, kinds and label codes of packed JSON trees, for _core.json_batch."""
    parents, labels = unpack(packed)
    kinds, _ = unpack((kind_of_code[packed[1]], packed[1], packed[2]))
    return parents, kinds, labels


def carried(value: Any) -> Any:
    """A task whose result is its argument: data sent this way lives in the
    scheduler's copy of the task, so if the worker holding it is lost, the
    scheduler recomputes it elsewhere, which it cannot do for scattered data."""
    return value


def carry(client: Client, value: Any) -> Future[Any]:
    with warnings.catch_warnings():
        # Dask warns of large graphs; carrying the trees in the graph is the point.
        warnings.filterwarnings("ignore", message=".*[Ll]arge (graph|object)")
        future: Future[Any] = client.submit(carried, value, pure=False)
    return future


# --- On the worker -------------------------------------------------------------

def memory_limit_of(worker: Any) -> float:
    """The resident memory at which the worker's manager ends the process
    (its memory_limit times the terminate fraction), or 0 for none."""
    import dask

    limit = getattr(getattr(worker, "memory_manager", None), "memory_limit", None) or 0
    fraction = dask.config.get("distributed.worker.memory.terminate", default=0.95) or 1.0
    return float(limit) * float(fraction) if limit else 0.0


@contextmanager
def worker_task(what: str) -> Iterator[Callable[[int], None]]:
    """Runs a task's native call with the worker's memory limit counted by
    the engine's memory check, and yields a progress callback that stops the
    call once the task is cancelled or released (the engine calls it every
    50 ms). Outside a worker (a direct call) nothing is stopped."""
    limit = 0.0
    try:
        import distributed.worker
        from distributed import get_worker

        worker = get_worker()
        # The key of the task this thread runs, as the worker records it.
        key = getattr(getattr(distributed.worker, "thread_state", None), "key", None)
    except (ImportError, ValueError):
        worker, key = None, None
    if worker is not None:
        limit = memory_limit_of(worker)

    def stop(done: int) -> None:
        if worker is None or key is None:
            return
        task = worker.state.tasks.get(key)
        if task is None or task.state not in ("executing", "long-running", "resumed"):
            raise TaskCancelled(what)
    if limit:
        # The worker's limit for its whole process: set by every task alike,
        # and left set, as tasks on other threads of the worker count on it.
        _core.set_memory_limit(limit)
    yield stop


class TaskCancelled(Exception):
    """Raised inside a task's native call to stop it once the task is cancelled."""


def run_task(what: str, seconds: float | None, call: Callable[[Callable[[int], None], float | None], Any]) -> Any:
    """call(stop, seconds) in a worker task; a time-out, a cancel or a
    refusal for memory comes back as a :class:`Stopped`. `seconds` is a
    duration, measured here from the task's start on the worker's own
    clock."""
    start = time.monotonic()
    with worker_task(what) as stop:
        try:
            return call(stop, seconds)
        except TimeoutError:
            return Stopped("timeout", what, time.monotonic() - start)
        except TaskCancelled:
            return Stopped("cancelled", what, time.monotonic() - start)
        except MemoryError as error:
            return Stopped("memory", f"{what}: {error}", time.monotonic() - start)


def block_distances(rows: Packed, columns: Packed | None, arguments: dict[str, Any], workers: int | None,
                    seconds: float | None) -> Any:
    """One task: the distances of the trees of `rows` against those of
    `columns`, as a matrix, or with columns None, the pairs i < j of `rows`
    as a condensed vector. Runs on a worker.

    workers: threads; None means all the cores of the worker's process.
    seconds: the time the block may take, from its start on the worker.
    """
    threads = check_workers(workers)
    count_a = len(rows[2]) - 1
    count_b = count_a if columns is None else len(columns[2]) - 1
    what = f"a block of {count_a} x {count_b} trees"
    kind_of_code = arguments.get("json_kinds")

    def call(stop: Callable[[int], None], seconds: float | None) -> Any:
        if kind_of_code is not None:  # JSON trees: the JSON edit distance, unit costs
            trees_a = json_trees(rows, kind_of_code)
            if columns is None:
                return _core.json_batch(*trees_a, workers=threads, timeout=seconds, progress=stop)
            return _core.json_batch(*trees_a, *json_trees(columns, kind_of_code), workers=threads,
                                    timeout=seconds, progress=stop).reshape(count_a, count_b)
        corpus_a = corpus(rows)
        if columns is None:
            return _core.batch(corpus_a, None, None, None, **arguments, workers=threads, timeout=seconds,
                               progress=stop)
        return _core.batch(corpus_a, corpus(columns), None, None, **arguments, workers=threads, timeout=seconds,
                           progress=stop).reshape(count_a, count_b)

    return run_task(what, seconds, call)


def paired_block(rows1: Packed, rows2: Packed, arguments: dict[str, Any], workers: int | None,
                 seconds: float | None) -> Any:
    """One task of :func:`paired`: the distances of pairs (rows1[k], rows2[k])."""
    threads = check_workers(workers)
    count = len(rows1[2]) - 1
    index = np.arange(count, dtype=np.int32)
    kind_of_code = arguments.get("json_kinds")

    def call(stop: Callable[[int], None], seconds: float | None) -> Any:
        if kind_of_code is not None:
            return _core.json_batch(*json_trees(rows1, kind_of_code), *json_trees(rows2, kind_of_code),
                                    first=index, second=index, workers=threads, timeout=seconds, progress=stop)
        return _core.batch(corpus(rows1), corpus(rows2), index, index, **arguments, workers=threads,
                           timeout=seconds, progress=stop)

    return run_task(f"a block of {count} pairs", seconds, call)


def join_block(index: _core.JoinIndex, begin: int, end: int, distances: bool, workers: int | None,
               seconds: float | None) -> Any:
    """One task of :func:`join`: the pairs whose larger tree lies at size
    positions [begin, end) of the index. Runs on a worker."""
    threads = check_workers(workers)

    def call(stop: Callable[[int], None], seconds: float | None) -> Any:
        return _core.join(index, begin, end, distances, threads, seconds, stop)

    return run_task(f"the join of the trees at size positions {begin} to {end}", seconds, call)


def json_join_block(packed: Packed, kind_of_code: npt.NDArray[np.int32], threshold: int, distances: bool,
                    workers: int | None, seconds: float | None) -> Any:
    """The task of join(semantics="json"): the whole JSON join on one worker."""
    threads = check_workers(workers)

    def call(stop: Callable[[int], None], seconds: float | None) -> Any:
        return _core.json_join(*json_trees(packed, kind_of_code), threshold, distances, threads, seconds, stop)

    return run_task(f"the JSON join of {len(packed[2]) - 1} trees", seconds, call)


def square_block(condensed: npt.NDArray[Any], count: int) -> npt.NDArray[Any]:
    """The symmetric (count, count) matrix of a diagonal block's condensed
    vector, row by row: no index arrays of the block's size."""
    matrix = np.zeros((count, count), dtype=condensed.dtype)
    start = 0
    for i in range(count - 1):
        row = condensed[start:start + count - i - 1]
        matrix[i, i + 1:] = row
        matrix[i + 1:, i] = row
        start += count - i - 1
    return matrix


def place_in_condensed(condensed: npt.NDArray[Any], count: int, rows: Block, columns: Block,
                       block: npt.NDArray[Any], diagonal: bool) -> None:
    """Copies a block into the condensed vector of `count` trees, one row
    segment at a time: row i holds pairs (i, j), j > i, from i * count -
    i * (i + 1) / 2 on."""
    (r0, r1), (c0, c1) = rows, columns
    start_in_block = 0
    for i in range(r0, r1):
        j0 = max(c0, i + 1)
        if j0 >= c1:
            continue
        start = i * count - i * (i + 1) // 2 + j0 - i - 1
        if diagonal:
            condensed[start:start + c1 - j0] = block[start_in_block:start_in_block + c1 - j0]
            start_in_block += c1 - j0
        else:
            condensed[start:start + c1 - j0] = block[i - r0, j0 - c0:]


def block_into_file(path: str, count: int, row_block: Block, column_block: Block, rows: Packed,
                    columns: Packed | None, arguments: dict[str, Any], workers: int | None,
                    seconds: float | None) -> Any:
    """One task of pdist(out=...) or cdist(out=...): a block computed and
    written into the .npy file at once. A block handed on to a task of its
    own would wait in the worker's memory: Dask runs the blocks, submitted
    first, before the writes, and at 100,000 trees the waiting blocks
    outgrow any worker."""
    block = block_distances(rows, columns, arguments, workers, seconds)
    return write_block(path, count, row_block, column_block, block)


def write_block(path: str, count: int, rows: Block, columns: Block, block: Any) -> Any:
    """Writes a finished block into the .npy file of the condensed vector,
    or of cdist's matrix (on storage the workers share), and returns nothing
    but a Stopped from the block."""
    if isinstance(block, Stopped):
        return block
    from numpy.lib.format import open_memmap

    stored = open_memmap(path, mode="r+")
    if stored.ndim == 2:  # cdist's matrix
        stored[rows[0]:rows[1], columns[0]:columns[1]] = block
    else:
        place_in_condensed(stored, count, rows, columns, block, rows == columns)
    stored.flush()
    del stored
    return None


# --- On the client -------------------------------------------------------------

def split(count: int, parts: int) -> list[Block]:
    parts = max(1, min(parts, count))
    bounds = [round(k * count / parts) for k in range(parts + 1)]
    return [(bounds[k], bounds[k + 1]) for k in range(parts)]


def result_type(encoded: Encoded) -> type:
    """What the blocks hold, as the local functions return it: int32, int64
    for integer costs computed in doubles, float64 for fractional costs."""
    if not encoded.costs.floating:
        return np.int32
    return np.int64 if encoded.costs.integral else np.float64


def connect(client: ClientLike, stack: ExitStack) -> Client:
    """The given client; a client of the scheduler at the given address; or a
    client of a new LocalCluster of worker processes (one per core, one
    thread each, no dashboard). Those made here close with `stack`."""
    from dask.distributed import Client, LocalCluster

    if isinstance(client, str):
        return cast("Client", stack.enter_context(Client(client)))
    if client is not None:
        if not hasattr(client, "nthreads"):
            raise TypeError(f"client must be a dask.distributed.Client or a scheduler address, "
                            f"not {type(client).__name__}")
        return client
    cluster = stack.enter_context(LocalCluster(threads_per_worker=1, processes=True, dashboard_address=":0"))
    return cast("Client", stack.enter_context(Client(cluster)))


def task_workers(workers: int | None) -> int | None:
    """`workers` checked here, for the tasks: None (all cores) stays None, as
    the cores are counted on each worker."""
    if workers is None or isinstance(workers, int) and not isinstance(workers, bool) and workers == -1:
        return None
    return check_workers(workers)


def cluster_threads(client: Client) -> int:
    nthreads = cast("dict[str, int]", client.nthreads())  # a dict on a synchronous client
    return max(1, sum(nthreads.values()))


def block_count(count: int, client: Client, blocks: int | None, pairs_per_tree: int | None = None) -> int:
    """Ranges per side: some 16 tasks per worker thread balance the load
    (blocks on the diagonal are half the work of the others) at little cost
    per task, and no block holds more than MOST_BLOCK_PAIRS pairs."""
    if blocks is not None:
        return check_count(blocks, "blocks")
    by_threads = math.ceil(math.sqrt(32 * cluster_threads(client)))
    by_size = math.ceil(count / math.sqrt(MOST_BLOCK_PAIRS)) if pairs_per_tree is None else \
        math.ceil(count * pairs_per_tree / MOST_BLOCK_PAIRS)
    return max(1, min(count, max(by_threads, by_size)))


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


def gather_blocks(client: Client, call: str, tasks: dict[Block, Future[Any]], timeout: float | None,
                  progress: bool | None, pairs: Callable[[int, int], int],
                  place: Callable[[int, int, Any], None]) -> None:
    """Hands each block to `place` as it arrives, so that copying results
    overlaps the computing, and advances the bar by the block's `pairs`.
    Raises TimeoutError once a block reports its time out, or `timeout` plus
    a grace for the round trips has passed; MemoryError for a block the
    worker cannot hold; RuntimeError once a cluster that had workers has
    none left. On any way out but success the tasks are cancelled, which
    stops the running ones."""
    from dask.distributed import as_completed

    block_of = {future.key: block for block, future in tasks.items()}
    total = sum(pairs(r, c) for r, c in tasks)
    start = time.monotonic()
    limit = None if timeout is None else start + timeout + ROUND_TRIP_GRACE
    done = 0

    def timed_out(detail: str) -> TimeoutError:
        return TimeoutError(f"{call} did not finish within its timeout of {timeout!r} s: {detail} "
                            f"({done} of {len(tasks)} blocks done in {time.monotonic() - start:.2f} s)")

    try:
        with pair_bar(progress, total) as advance:
            waiting = as_completed(list(tasks.values()))
            had_workers = bool(client.nthreads())
            workerless_since: float | None = None
            checked = start
            while not waiting.is_empty():
                batch = waiting.next_batch(block=False)
                for future in batch:
                    r, c = block_of[future.key]
                    result = future.result()
                    future.release()
                    if isinstance(result, Stopped):
                        raise stopped_error(call, result, timed_out)
                    place(r, c, result)
                    done += 1
                    advance(pairs(r, c))
                now = time.monotonic()
                if limit is not None and now >= limit:
                    raise timed_out("blocks were still waiting or running")
                if batch:
                    continue
                time.sleep(0.01)
                if had_workers and now - checked >= 0.5:
                    # A cluster that lost every worker would leave the call waiting for good.
                    checked = now
                    if client.nthreads():
                        workerless_since = None
                    elif workerless_since is None:
                        workerless_since = now
                    elif now - workerless_since >= WORKERLESS_SECONDS:
                        raise RuntimeError(f"{call}: no Dask worker is left in the cluster "
                                           f"({done} of {len(tasks)} blocks done)")
    except BaseException:
        client.cancel(list(tasks.values()))
        raise


def stopped_error(call: str, stopped: Stopped, timed_out: Callable[[str], TimeoutError]) -> BaseException:
    if stopped.reason == "timeout":
        return timed_out(f"{stopped.message} ran out of time after {stopped.seconds:.2f} s on its worker")
    if stopped.reason == "memory":
        return MemoryError(f"{call} on a Dask worker: {stopped.message}")
    return RuntimeError(f"{call}: {stopped.message} was cancelled on its worker")


def submit_blocks(client: Client, rows_packed: Packed, columns_packed: Packed | None,
                  arguments: Future[Any], row_blocks: list[Block], column_blocks: list[Block],
                  workers: int | None, timeout: float | None,
                  out: tuple[str, int] | None = None) -> dict[Block, Future[Any]]:
    """One task per block; for all pairs of one collection (no columns),
    only the blocks on and above the diagonal. Each range of trees travels
    once, carried by a task of its own. With `out` (the .npy file and the
    number of trees), each task writes its block there and returns None."""
    same = columns_packed is None
    row_data = [carry(client, pack_range(rows_packed, *rows)) for rows in row_blocks]
    column_data = row_data if same else [carry(client, pack_range(cast(Packed, columns_packed), *columns))
                                         for columns in column_blocks]
    tasks: dict[Block, Future[Any]] = {}
    for r in range(len(row_blocks)):
        for c in range(len(column_blocks)):
            if same and c < r:
                continue  # the transpose of block (c, r)
            columns = None if same and r == c else column_data[c]
            if out is not None:
                tasks[r, c] = client.submit(block_into_file, *out, row_blocks[r], column_blocks[c], row_data[r],
                                            columns, arguments, workers, timeout, pure=False)
                continue
            tasks[r, c] = client.submit(block_distances, row_data[r], columns, arguments, workers, timeout,
                                        pure=False)
    return tasks


def condensed_pairs(ranges: list[Block]) -> Callable[[int, int], int]:
    def pairs(r: int, c: int) -> int:
        (r0, r1), (c0, c1) = ranges[r], ranges[c]
        return (r1 - r0) * (r1 - r0 - 1) // 2 if r == c else (r1 - r0) * (c1 - c0)
    return pairs


def pdist(trees: Sequence[Tree], *, rename: LabelRename = None, delete: NodeCost = None,
          insert: NodeCost = None, normalize: Normalize = None, client: ClientLike = None,
          blocks: int | None = None, workers: int | None = 1, progress: bool | None = None,
          timeout: float | None = None, out: str | None = None, semantics: Semantics = "ordered") -> Distances:
    """:func:`grix.pdist` on a Dask cluster: the condensed vector, pair
    (i, j), i < j, in row-major order, of the type the local function
    returns for these costs (rename, delete, insert and normalize as there;
    the cost callables run on the client, normalising too).

    client: a ``dask.distributed.Client`` or a scheduler's address
        ("tcp://host:8786"); None starts a LocalCluster of worker processes
        for this call and closes it afterwards.
    blocks: the trees are split into this many ranges, and each pair of ranges
        (on or above the diagonal) is one task (default: a few tasks per
        worker thread, and at most 4 Mi pairs a task).
    workers: threads each task uses on its Dask worker (default 1, as Dask
        already runs one task per worker thread); None or -1 means all the
        cores of the worker's process, counted there.
    progress: True shows a tqdm bar over pairs, advanced as blocks finish;
        None shows one when stderr is a terminal.
    timeout: seconds. Each task may run this long, measured on its worker's
        clock from its start, and stops its engine there; the client waits
        at most a second more for the round trips. TimeoutError says which
        block ran out of time and how many were done; the other tasks are
        cancelled, which stops them within a tenth of a second.
    out: the path of a .npy file (numpy's format) that the workers write the
        condensed vector to block by block; it must be on storage that the
        client and every worker share. The result is then that file mapped
        read-only (``np.load(out, mmap_mode="r")``), and the client never
        holds the vector. Not with normalize. For a result that stays on
        the workers, see :func:`square_array` (and :func:`cdist_array`).
    semantics: "ordered", or "json": the JSON edit distance of JSON trees
        or documents, as locally (no costs or normalize), on the workers.

    A lost worker costs only its blocks: they run again on the others, and
    the trees they need are sent again. Raises TimeoutError, MemoryError
    (a block that does not fit the worker's memory_limit, with the figures),
    RuntimeError (no worker left), KeyboardInterrupt (tasks cancelled
    first), TypeError or ValueError for bad arguments (on the client, before
    any task).
    """
    as_json = wants_json(semantics, rename=rename, delete=delete, insert=insert, normalize=normalize)
    per_task, seconds = task_workers(workers), check_timeout(timeout)
    if out is not None and normalize is not None:
        raise ValueError("pdist(out=...) writes raw distances; normalize is for results held in memory")
    if as_json:
        from .json_distance import check_documents

        (packed,), batch_arguments = json_packed(("docs", check_documents(trees, "docs")))
        dtype: type = np.int32
    else:
        listed = check_trees(trees, "trees")
        (encoded,) = encode(listed, rename=rename, delete=delete, insert=insert)
        packed, batch_arguments, dtype = pack(encoded.parents, encoded.codes), encoded.costs.batch_arguments(), \
            result_type(encoded)
    count = len(packed[2]) - 1
    with ExitStack() as stack:
        connected = connect(client, stack)
        if out is not None:
            from numpy.lib.format import open_memmap

            # The file at its full size (sparse until written), for the workers to fill.
            open_memmap(out, mode="w+", dtype=dtype, shape=(count * (count - 1) // 2,)).flush()
        condensed: npt.NDArray[Any] = np.empty(0, dtype=dtype) if out is not None else \
            np.empty(count * (count - 1) // 2, dtype=dtype)
        ranges = split(count, block_count(count, connected, blocks))
        arguments = carry(connected, batch_arguments)
        tasks = submit_blocks(connected, packed, None, arguments, ranges, ranges,
                              per_task, seconds, None if out is None else (out, count))

        def place(r: int, c: int, block: Any) -> None:
            if out is None:
                place_in_condensed(condensed, count, ranges[r], ranges[c], block, r == c)

        gather_blocks(connected, "grix.dask.pdist", tasks, seconds, progress, condensed_pairs(ranges), place)
    if out is not None:
        return cast(Distances, np.load(out, mmap_mode="r"))
    if normalize is None:
        return condensed
    first, second = np.triu_indices(count, 1)
    sizes = batch_sizes(listed)
    return normalized(condensed, encoded.costs, sizes[first], sizes[second], [encoded.codes[i] for i in first],
                      [encoded.codes[j] for j in second], normalize)


def cdist(trees_a: Sequence[Tree], trees_b: Sequence[Tree], *, rename: LabelRename = None,
          delete: NodeCost = None, insert: NodeCost = None, normalize: Normalize = None,
          client: ClientLike = None, blocks: int | None = None, workers: int | None = 1,
          progress: bool | None = None, timeout: float | None = None, out: str | None = None,
          semantics: Semantics = "ordered") -> Distances:
    """:func:`grix.cdist` on a Dask cluster: the (len(trees_a), len(trees_b))
    matrix. Arguments as for :func:`pdist`; ``out=`` writes the matrix to a
    .npy file block by block, as there."""
    as_json = wants_json(semantics, rename=rename, delete=delete, insert=insert, normalize=normalize)
    per_task, seconds = task_workers(workers), check_timeout(timeout)
    if out is not None and normalize is not None:
        raise ValueError("cdist(out=...) writes raw distances; normalize is for results held in memory")
    if as_json:
        from .json_distance import check_documents

        (packed_a, packed_b), batch_arguments = json_packed(("docs_a", check_documents(trees_a, "docs_a")),
                                                            ("docs_b", check_documents(trees_b, "docs_b")))
        dtype: type = np.int32
    else:
        listed_a, listed_b = check_trees(trees_a, "trees_a"), check_trees(trees_b, "trees_b")
        encoded_a, encoded_b = encode(listed_a, listed_b, rename=rename, delete=delete, insert=insert)
        packed_a, packed_b = pack(encoded_a.parents, encoded_a.codes), pack(encoded_b.parents, encoded_b.codes)
        batch_arguments, dtype = encoded_a.costs.batch_arguments(), result_type(encoded_a)
    shape = (len(packed_a[2]) - 1, len(packed_b[2]) - 1)
    matrix: npt.NDArray[Any] = np.empty((0, 0) if out is not None else shape, dtype=dtype)
    with ExitStack() as stack:
        connected = connect(client, stack)
        if out is not None:
            from numpy.lib.format import open_memmap

            open_memmap(out, mode="w+", dtype=matrix.dtype, shape=shape).flush()
        count = block_count(max(shape), connected, blocks)
        row_blocks, column_blocks = split(shape[0], count), split(shape[1], count)
        arguments = carry(connected, batch_arguments)
        tasks = submit_blocks(connected, packed_a, packed_b, arguments, row_blocks, column_blocks,
                              per_task, seconds, None if out is None else (out, shape[0]))

        def pairs(r: int, c: int) -> int:
            (r0, r1), (c0, c1) = row_blocks[r], column_blocks[c]
            return (r1 - r0) * (c1 - c0)

        def place(r: int, c: int, block: Any) -> None:
            if out is None:
                (r0, r1), (c0, c1) = row_blocks[r], column_blocks[c]
                matrix[r0:r1, c0:c1] = block

        gather_blocks(connected, "grix.dask.cdist", tasks, seconds, progress, pairs, place)
    if out is not None:
        return cast(Distances, np.load(out, mmap_mode="r"))
    if normalize is None:
        return matrix
    rows = np.repeat(np.arange(len(listed_a)), len(listed_b))
    columns = np.tile(np.arange(len(listed_b)), len(listed_a))
    flat = normalized(matrix.reshape(-1), encoded_a.costs, batch_sizes(listed_a)[rows],
                      batch_sizes(listed_b)[columns], [encoded_a.codes[i] for i in rows],
                      [encoded_b.codes[j] for j in columns], normalize)
    return flat.reshape(len(listed_a), len(listed_b))


def paired(trees1: Sequence[Tree], trees2: Sequence[Tree], *, rename: LabelRename = None,
           delete: NodeCost = None, insert: NodeCost = None, normalize: Normalize = None,
           client: ClientLike = None, blocks: int | None = None, workers: int | None = 1,
           progress: bool | None = None, timeout: float | None = None,
           semantics: Semantics = "ordered") -> Distances:
    """:func:`grix.paired` on a Dask cluster: the distance from trees1[k] to
    trees2[k] for every k, the pairs split into `blocks` ranges (default: 4
    per worker thread), one task each. Arguments as for :func:`pdist`."""
    as_json = wants_json(semantics, rename=rename, delete=delete, insert=insert, normalize=normalize)
    per_task, seconds = task_workers(workers), check_timeout(timeout)
    if as_json:
        from .json_distance import check_documents

        docs1, docs2 = check_documents(trees1, "docs1"), check_documents(trees2, "docs2")
        if len(docs1) != len(docs2):
            raise ValueError(f"docs1 and docs2 differ in length ({len(docs1)} and {len(docs2)})")
        (packed1, packed2), batch_arguments = json_packed(("docs1", docs1), ("docs2", docs2))
        dtype: type = np.int32
    else:
        listed1, listed2 = check_paired_trees(trees1, trees2)
        encoded1, encoded2 = encode(listed1, listed2, rename=rename, delete=delete, insert=insert)
        packed1, packed2 = pack(encoded1.parents, encoded1.codes), pack(encoded2.parents, encoded2.codes)
        batch_arguments, dtype = encoded1.costs.batch_arguments(), result_type(encoded1)
    count = len(packed1[2]) - 1
    result: npt.NDArray[Any] = np.empty(count, dtype=dtype)
    with ExitStack() as stack:
        connected = connect(client, stack)
        ranges = split(count, 4 * cluster_threads(connected) if blocks is None else check_count(blocks, "blocks"))
        arguments = carry(connected, batch_arguments)
        tasks = {(r, 0): connected.submit(paired_block, pack_range(packed1, *rows), pack_range(packed2, *rows),
                                          arguments, per_task, seconds, pure=False)
                 for r, rows in enumerate(ranges)}

        def place(r: int, c: int, block: Any) -> None:
            result[ranges[r][0]:ranges[r][1]] = block

        gather_blocks(connected, "grix.dask.paired", tasks, seconds, progress,
                      lambda r, c: ranges[r][1] - ranges[r][0], place)
    if as_json:
        return result
    return normalized(result, encoded1.costs, batch_sizes(listed1), batch_sizes(listed2), encoded1.codes,
                      encoded2.codes, normalize)


def square_array(trees: Sequence[Tree], *, client: ClientLike, rename: LabelRename = None,
                 delete: NodeCost = None, insert: NodeCost = None, blocks: int | None = None,
                 workers: int | None = 1) -> dask.array.Array:
    """The symmetric (n, n) matrix of :func:`pdist` (scipy's ``squareform``
    of it: zero diagonal, entry [j, i] = entry [i, j]) as a lazy dask array
    whose blocks are tasks already running on `client`, for results to be
    reduced or stored (``dask.array.to_npy_stack``, ``to_zarr``) on the
    cluster without passing through the client. The client must outlive the
    array; dropping the array cancels its tasks, which stops the running
    ones. Arguments as for :func:`pdist`."""
    import dask.array as da
    from dask.delayed import delayed

    listed = check_trees(trees, "trees")
    per_task = task_workers(workers)
    (encoded,) = encode(listed, rename=rename, delete=delete, insert=insert)
    dtype = result_type(encoded)
    connected = lasting_client(client, "square_array")
    ranges = split(len(listed), block_count(len(listed), connected, blocks))
    arguments = carry(connected, encoded.costs.batch_arguments())
    tasks = submit_blocks(connected, pack(encoded.parents, encoded.codes), None, arguments, ranges, ranges,
                          per_task, None)

    def lazy(r: int, c: int) -> Any:
        shape = (ranges[r][1] - ranges[r][0], ranges[c][1] - ranges[c][0])
        if c < r:
            return da.from_delayed(delayed(np.transpose)(tasks[c, r]), shape, dtype=dtype)
        if c == r:
            return da.from_delayed(delayed(square_block)(tasks[r, c], shape[0]), shape, dtype=dtype)
        return da.from_delayed(delayed(tasks[r, c]), shape, dtype=dtype)

    array: dask.array.Array = da.block([[lazy(r, c) for c in range(len(ranges))]
                                        for r in range(len(ranges))])
    return array


def cdist_array(trees_a: Sequence[Tree], trees_b: Sequence[Tree], *, client: ClientLike,
                rename: LabelRename = None, delete: NodeCost = None, insert: NodeCost = None,
                blocks: int | None = None, workers: int | None = 1) -> dask.array.Array:
    """The (len(trees_a), len(trees_b)) matrix of :func:`cdist` as a lazy
    dask array whose blocks are tasks already running on `client`: what
    :func:`square_array` is to :func:`pdist`, with the same arguments, the
    same needs (a client that outlives the array) and the same cancel on
    dropping it."""
    import dask.array as da
    from dask.delayed import delayed

    listed_a, listed_b = check_trees(trees_a, "trees_a"), check_trees(trees_b, "trees_b")
    per_task = task_workers(workers)
    encoded_a, encoded_b = encode(listed_a, listed_b, rename=rename, delete=delete, insert=insert)
    dtype = result_type(encoded_a)
    connected = lasting_client(client, "cdist_array")
    count = block_count(max(len(listed_a), len(listed_b)), connected, blocks)
    row_blocks, column_blocks = split(len(listed_a), count), split(len(listed_b), count)
    arguments = carry(connected, encoded_a.costs.batch_arguments())
    tasks = submit_blocks(connected, pack(encoded_a.parents, encoded_a.codes), pack(encoded_b.parents, encoded_b.codes),
                          arguments, row_blocks, column_blocks, per_task, None)

    def lazy(r: int, c: int) -> Any:
        shape = (row_blocks[r][1] - row_blocks[r][0], column_blocks[c][1] - column_blocks[c][0])
        return da.from_delayed(delayed(tasks[r, c]), shape, dtype=dtype)

    array: dask.array.Array = da.block([[lazy(r, c) for c in range(len(column_blocks))]
                                        for r in range(len(row_blocks))])
    return array


def lasting_client(client: ClientLike, call: str) -> Client:
    """A lazy result's blocks belong to the client that runs them, so the
    client must be one the caller keeps, not one made for the call."""
    if isinstance(client, str) or client is None:
        raise TypeError(f"{call} needs a dask.distributed.Client that outlives the array")
    if not hasattr(client, "nthreads"):
        raise TypeError(f"client must be a dask.distributed.Client, not {type(client).__name__}")
    return client


def join(trees: Sequence[Tree], threshold: float, *, rename: LabelRename = None, delete: NodeCost = None,
         insert: NodeCost = None, client: ClientLike = None, blocks: int | None = None,
         workers: int | None = 1, distances: bool = True, progress: bool | None = None,
         timeout: float | None = None, semantics: Semantics = "ordered") -> JoinResult:
    """:func:`grix.join` on a Dask cluster, with its arguments and results:
    the index is built once on the client and travels once to each worker
    that needs it, as a few flat arrays from which the worker restores it
    without tokenising the trees again; each task joins one range of trees
    in size order with every smaller tree. For costs the join's bounds do not cover (delete,
    insert, fractional renames), every pair's distance is computed by
    :func:`pdist` on the cluster instead, as the local join does.

    blocks: number of tasks (default: 16 per worker thread; the ranges hold
        equal numbers of pairs, so larger trees get shorter ranges).
    client, workers, progress, timeout: as for :func:`pdist` (the bar counts
        trees).
    semantics: "json" joins JSON trees or documents as :func:`grix.json_join`
        does, in one task on one worker (its index is not split into ranges).
    """
    if wants_json(semantics, rename=rename, delete=delete, insert=insert):
        return json_join_on_cluster(trees, threshold, client=client, workers=workers, distances=distances,
                                    progress=progress, timeout=timeout)
    listed = check_trees(trees, "trees")
    given = check_number_threshold(threshold)
    per_task, seconds = task_workers(workers), check_timeout(timeout)
    # Encoded once: a rename callable is asked once per label pair, as locally.
    (encoded,) = encode(listed, rename=rename, delete=delete, insert=insert)
    if delete is not None or insert is not None or encoded.costs.floating or not encoded.costs.integral:
        d = pdist(listed, rename=rename, delete=delete, insert=insert, client=client, blocks=blocks,
                  workers=workers, progress=progress, timeout=timeout)
        first, second = np.triu_indices(len(listed), 1)
        keep = d <= threshold
        counts = dict.fromkeys(STAGES, 0)
        counts.update(verified=len(d), failed_verification=int(len(d) - keep.sum()), pairs=len(d))
        return JoinResult(first[keep].astype(np.int32), second[keep].astype(np.int32), d[keep], threshold, counts)
    limit = integer_threshold(given)
    index = join_index(listed, limit, rename, encoded=encoded)
    parts = []
    with ExitStack() as stack:
        connected = connect(client, stack)
        task_count = check_count(blocks, "blocks") if blocks is not None else 16 * cluster_threads(connected)
        # Position p pairs with the p trees before it: equal shares of pairs.
        count = len(listed)
        bounds = sorted({round(count * (part / task_count) ** 0.5) for part in range(task_count + 1)})
        carried_index = carry(connected, index)
        ranges = list(zip(bounds, bounds[1:]))
        tasks = {(r, 0): connected.submit(join_block, carried_index, begin, end, bool(distances), per_task,
                                          seconds, pure=False) for r, (begin, end) in enumerate(ranges)}
        gather_blocks(connected, "grix.dask.join", tasks, seconds, progress,
                      lambda r, c: ranges[r][1] - ranges[r][0], lambda r, c, part: parts.append(part))
    counts = {key: sum(part[3][key] for part in parts) for key in ("pairs", *STAGES)}
    first = np.concatenate([part[0] for part in parts] or [np.empty(0, np.int32)])
    second = np.concatenate([part[1] for part in parts] or [np.empty(0, np.int32)])
    found = np.concatenate([part[2] for part in parts] or [np.empty(0, np.int32)])
    order = np.lexsort((second, first))
    return JoinResult(first[order], second[order], found[order], limit, counts)


def json_join_on_cluster(docs: Sequence[Any], threshold: float, *, client: ClientLike, workers: int | None,
                         distances: bool, progress: bool | None, timeout: float | None) -> JoinResult:
    from .json_distance import check_documents

    listed = check_documents(docs, "docs")
    per_task, seconds = task_workers(workers), check_timeout(timeout)
    limit = check_threshold(threshold)
    (packed,), arguments = json_packed(("docs", listed))
    parts = []
    with ExitStack() as stack:
        connected = connect(client, stack)
        task = connected.submit(json_join_block, packed, arguments["json_kinds"], limit, bool(distances), per_task,
                                seconds, pure=False)
        gather_blocks(connected, "grix.dask.join", {(0, 0): task}, seconds, progress, lambda r, c: len(listed),
                      lambda r, c, part: parts.append(part))
    first, second, found, counts = parts[0]
    counts.setdefault("pruned_by_preorder", 0)
    counts.setdefault("pruned_by_postorder", 0)
    return JoinResult(first, second, found, limit, counts)
