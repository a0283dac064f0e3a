"""The Dask twins of :func:`grix.pdist`, :func:`grix.cdist` and
:func:`grix.paired`, whose results come back to the client (or, with
``out=``, into a .npy file the workers write)."""

from __future__ import annotations

# Some of Dask's API carries no annotations.
# mypy: disable-error-code="no-untyped-call"

from collections.abc import Sequence
from contextlib import ExitStack
from typing import Any, cast

import numpy as np
import numpy.typing as npt
from numpy.lib.format import open_memmap

from ..batch import (Distances, LabelRename, Normalize, as_dtype, batch_sizes, check_bound, check_dtype,
                     check_paired_trees, check_trees, encode, normalized)
from ..costs import NodeCost
from ..distance import check_count, check_timeout
from ..json_distance import check_documents
from ..semantics import Semantics, wants_json
from ..tree import Tree
from .blocks import block_count, condensed_pairs, result_type, split, submit_blocks, task_workers
from .cluster import ClientLike, cluster_threads, connect, gather_blocks
from .tasks import paired_block, place_in_condensed
from .transfer import carry, json_packed, pack, pack_range


def pdist(trees: Sequence[Tree], *, rename: LabelRename = None, delete: NodeCost = None,
          insert: NodeCost = None, normalize: Normalize = None, client: ClientLike = None,
          blocks: int | None = None, workers: int | None = 1, progress: bool | None = None,
          timeout: float | None = None, out: str | None = None, max_distance: int | None = None,
          semantics: Semantics = "ordered", dtype: npt.DTypeLike = None) -> Distances:
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
    max_distance: as locally: each entry the distance when it is at most the
        bound, otherwise ``max_distance + 1``; large, close pairs run in a
        band on the workers.
    dtype: the result's numpy dtype, as locally; not with out=, which writes
        the distances as computed.

    A lost worker costs only its blocks: they run again on the others, and
    the trees they need are sent again. Raises TimeoutError, MemoryError
    (a block that does not fit the worker's memory_limit, with the figures),
    RuntimeError (no worker left), KeyboardInterrupt (tasks cancelled
    first), TypeError or ValueError for bad arguments (on the client, before
    any task).
    """
    as_json = wants_json(semantics, rename=rename, delete=delete, insert=insert, normalize=normalize)
    per_task, seconds = task_workers(workers), check_timeout(timeout)
    wanted = check_dtype(dtype)
    bound = check_bound(max_distance, normalize, semantics)
    if out is not None and normalize is not None:
        raise ValueError("pdist(out=...) writes raw distances; normalize is for results held in memory")
    if out is not None and wanted is not None:
        raise ValueError("pdist(out=...) writes the distances as computed; dtype is for results held in memory")
    if as_json:
        (packed,), batch_arguments = json_packed(("docs", check_documents(trees, "docs")))
        dtype: type = np.int32
    else:
        listed = check_trees(trees, "trees")
        (encoded,) = encode(listed, rename=rename, delete=delete, insert=insert)
        packed, dtype = pack(encoded.parents, encoded.codes), result_type(encoded)
        batch_arguments = {**encoded.costs.batch_arguments(), "max_distance": bound}
    count = len(packed[2]) - 1
    with ExitStack() as stack:
        connected = connect(client, stack)
        if out is not None:
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
        return as_dtype(condensed, wanted)
    first, second = np.triu_indices(count, 1)
    sizes = batch_sizes(listed)
    return as_dtype(normalized(condensed, encoded.costs, sizes[first], sizes[second],
                               [encoded.codes[i] for i in first], [encoded.codes[j] for j in second], normalize),
                    wanted)


def cdist(trees_a: Sequence[Tree], trees_b: Sequence[Tree], *, rename: LabelRename = None,
          delete: NodeCost = None, insert: NodeCost = None, normalize: Normalize = None,
          client: ClientLike = None, blocks: int | None = None, workers: int | None = 1,
          progress: bool | None = None, timeout: float | None = None, out: str | None = None,
          max_distance: int | None = None, semantics: Semantics = "ordered",
          dtype: npt.DTypeLike = None) -> Distances:
    """:func:`grix.cdist` on a Dask cluster: the (len(trees_a), len(trees_b))
    matrix. Arguments as for :func:`pdist`; ``out=`` writes the matrix to a
    .npy file block by block, as there."""
    as_json = wants_json(semantics, rename=rename, delete=delete, insert=insert, normalize=normalize)
    per_task, seconds = task_workers(workers), check_timeout(timeout)
    wanted = check_dtype(dtype)
    bound = check_bound(max_distance, normalize, semantics)
    if out is not None and normalize is not None:
        raise ValueError("cdist(out=...) writes raw distances; normalize is for results held in memory")
    if out is not None and wanted is not None:
        raise ValueError("cdist(out=...) writes the distances as computed; dtype is for results held in memory")
    if as_json:
        (packed_a, packed_b), batch_arguments = json_packed(("docs_a", check_documents(trees_a, "docs_a")),
                                                            ("docs_b", check_documents(trees_b, "docs_b")))
        dtype: type = np.int32
    else:
        listed_a, listed_b = check_trees(trees_a, "trees_a"), check_trees(trees_b, "trees_b")
        encoded_a, encoded_b = encode(listed_a, listed_b, rename=rename, delete=delete, insert=insert)
        packed_a, packed_b = pack(encoded_a.parents, encoded_a.codes), pack(encoded_b.parents, encoded_b.codes)
        batch_arguments = {**encoded_a.costs.batch_arguments(), "max_distance": bound}
        dtype = result_type(encoded_a)
    shape = (len(packed_a[2]) - 1, len(packed_b[2]) - 1)
    matrix: npt.NDArray[Any] = np.empty((0, 0) if out is not None else shape, dtype=dtype)
    with ExitStack() as stack:
        connected = connect(client, stack)
        if out is not None:
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
        return as_dtype(matrix, wanted)
    rows = np.repeat(np.arange(len(listed_a)), len(listed_b))
    columns = np.tile(np.arange(len(listed_b)), len(listed_a))
    flat = normalized(matrix.reshape(-1), encoded_a.costs, batch_sizes(listed_a)[rows],
                      batch_sizes(listed_b)[columns], [encoded_a.codes[i] for i in rows],
                      [encoded_b.codes[j] for j in columns], normalize)
    return as_dtype(flat.reshape(len(listed_a), len(listed_b)), wanted)


def paired(trees1: Sequence[Tree], trees2: Sequence[Tree], *, rename: LabelRename = None,
           delete: NodeCost = None, insert: NodeCost = None, normalize: Normalize = None,
           client: ClientLike = None, blocks: int | None = None, workers: int | None = 1,
           progress: bool | None = None, timeout: float | None = None,
           max_distance: int | None = None, semantics: Semantics = "ordered",
          dtype: npt.DTypeLike = None) -> Distances:
    """:func:`grix.paired` on a Dask cluster: the distance from trees1[k] to
    trees2[k] for every k, the pairs split into `blocks` ranges (default: 4
    per worker thread), one task each. Arguments as for :func:`pdist`."""
    as_json = wants_json(semantics, rename=rename, delete=delete, insert=insert, normalize=normalize)
    per_task, seconds = task_workers(workers), check_timeout(timeout)
    wanted = check_dtype(dtype)
    bound = check_bound(max_distance, normalize, semantics)
    if as_json:
        docs1, docs2 = check_documents(trees1, "docs1"), check_documents(trees2, "docs2")
        if len(docs1) != len(docs2):
            raise ValueError(f"docs1 and docs2 differ in length ({len(docs1)} and {len(docs2)})")
        (packed1, packed2), batch_arguments = json_packed(("docs1", docs1), ("docs2", docs2))
        dtype: type = np.int32
    else:
        listed1, listed2 = check_paired_trees(trees1, trees2)
        encoded1, encoded2 = encode(listed1, listed2, rename=rename, delete=delete, insert=insert)
        packed1, packed2 = pack(encoded1.parents, encoded1.codes), pack(encoded2.parents, encoded2.codes)
        batch_arguments = {**encoded1.costs.batch_arguments(), "max_distance": bound}
        dtype = result_type(encoded1)
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
        return as_dtype(result, wanted)
    return as_dtype(normalized(result, encoded1.costs, batch_sizes(listed1), batch_sizes(listed2), encoded1.codes,
                               encoded2.codes, normalize), wanted)
