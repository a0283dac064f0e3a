"""The tasks that run on the workers.

Each task computes one block of pairs (or one range of a join) with the
native engine, under the worker's memory limit, and stops when its time is
up or it is cancelled. An expected stop comes back as a :class:`Stopped`
value rather than an exception, so it leaves no traceback in the worker's
log; the client turns it into the error. Also here: placing a block into
the condensed vector, on the client or into a .npy file on the worker.
"""

from __future__ import annotations

# Some of Dask's API carries no annotations.
# mypy: disable-error-code="no-untyped-call"

import time
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt
from numpy.lib.format import open_memmap

from .. import _core
from ..distance import check_workers
from .transfer import Block, Packed, corpus, json_trees, unpack


@dataclass(frozen=True)
class Stopped:
    """What a task returns instead of raising when it stops early, so that
    an expected end (a time-out, a cancel, a refusal for memory) leaves no
    error traceback in the worker's log; the client raises it."""

    reason: str  # "timeout", "cancelled" or "memory"
    message: str
    seconds: float


class TaskCancelled(Exception):
    """Raised inside a task's native call to stop it once the task is cancelled."""


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


def nearest_block(queries: Packed, corpus_packed: Packed, k: int, limit: int, workers: int | None,
                  seconds: float | None) -> Any:
    """One task of :func:`nearest`: the k nearest corpus trees of a range of
    queries. Runs on a worker."""
    threads = check_workers(workers)
    query_parents, query_codes = unpack(queries)
    corpus_parents, corpus_codes = unpack(corpus_packed)

    def call(stop: Callable[[int], None], seconds: float | None) -> Any:
        return _core.nearest(query_parents, query_codes, corpus_parents, corpus_codes, k, limit, threads, seconds,
                             stop)

    return run_task(f"the nearest neighbours of {len(query_parents)} queries", seconds, call)


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
    stored = open_memmap(path, mode="r+")
    if stored.ndim == 2:  # cdist's matrix
        stored[rows[0]:rows[1], columns[0]:columns[1]] = block
    else:
        place_in_condensed(stored, count, rows, columns, block, rows == columns)
    stored.flush()
    del stored
    return None
