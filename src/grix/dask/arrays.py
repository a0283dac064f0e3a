"""The matrices of pdist and cdist as lazy dask arrays (``square_array``,
``cdist_array``), whose blocks stay on the workers until reduced or
stored."""

from __future__ import annotations

# Some of Dask's API carries no annotations.
# mypy: disable-error-code="no-untyped-call"

from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

import numpy as np

from ..batch import LabelRename, check_trees, encode
from ..costs import NodeCost
from ..tree import Tree
from .blocks import block_count, result_type, split, submit_blocks, task_workers
from .cluster import ClientLike, lasting_client
from .tasks import square_block
from .transfer import carry, pack

if TYPE_CHECKING:
    import dask.array


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
