"""Planning the blocks: how the trees are split into ranges, how many, and
the submission of one task per block of the matrix."""

from __future__ import annotations

# Some of Dask's API carries no annotations.
# mypy: disable-error-code="no-untyped-call"

import math
from collections.abc import Callable
from typing import TYPE_CHECKING, Any, cast

import numpy as np

from ..batch import Encoded
from ..distance import check_count, check_workers
from .cluster import cluster_threads
from .tasks import block_distances, block_into_file
from .transfer import Block, Packed, carry, pack_range

if TYPE_CHECKING:
    from dask.distributed import Client, Future

# Most pairs in one off-diagonal block (the block's result travels whole):
# 4 Mi pairs are 16 MiB of int32.
MOST_BLOCK_PAIRS = 4 << 20


def task_workers(workers: int | None) -> int | None:
    """`workers` checked here, for the tasks: None (all cores) stays None, as
    the cores are counted on each worker."""
    if workers is None or isinstance(workers, int) and not isinstance(workers, bool) and workers == -1:
        return None
    return check_workers(workers)


def result_type(encoded: Encoded) -> type:
    """What the blocks hold, as the local functions return it: int32, int64
    for integer costs computed in doubles, float64 for fractional costs."""
    if not encoded.costs.floating:
        return np.int32
    return np.int64 if encoded.costs.integral else np.float64


def split(count: int, parts: int) -> list[Block]:
    """`count` trees as `parts` ranges of near-equal length (fewer if there
    are fewer trees), in order."""
    parts = max(1, min(parts, count))
    bounds = [round(k * count / parts) for k in range(parts + 1)]
    return [(bounds[k], bounds[k + 1]) for k in range(parts)]


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
    """The pairs in block (r, c) of pdist: a diagonal block holds only its
    pairs i < j."""
    def pairs(r: int, c: int) -> int:
        (r0, r1), (c0, c1) = ranges[r], ranges[c]
        return (r1 - r0) * (r1 - r0 - 1) // 2 if r == c else (r1 - r0) * (c1 - c0)
    return pairs
