"""Trees and cost tables on their way to the workers.

The trees travel packed, three flat arrays per range of trees, and every
piece of data travels as the result of a task that carries it (``carry``),
never scattered: the scheduler keeps such a task, so if the worker holding
the data is lost it recomputes the data elsewhere. The workers unpack the
ranges back into the engine's inputs.
"""

from __future__ import annotations

import warnings
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

from .. import _core
from ..json_distance import Encoded as JSONEncoded

if TYPE_CHECKING:
    from typing import TypeAlias

    from dask.distributed import Client, Future

#: Trees packed for travel: every tree's parents one after the other, their
#: label codes likewise, and where each tree starts (n + 1 offsets).
Packed: TypeAlias = tuple[npt.NDArray[np.int32], npt.NDArray[np.int32], npt.NDArray[np.int64]]

#: A range of trees, start:stop, along one side of the matrix.
Block = tuple[int, int]


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
    """Packed trees as the engine's batch takes them."""
    return _core.Corpus(*unpack(packed))


def json_packed(*groups: tuple[str, list[Any]]) -> tuple[list[Packed], dict[str, Any]]:
    """JSON trees or documents as the workers take them: each group packed
    with its label codes, and as the blocks' arguments the node kind of
    every code (a code numbers one (kind, label) pair), from which the
    workers read the nodes' kinds: no third array per tree on the wire."""
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
    """`value` on the cluster, as the result of a :func:`carried` task."""
    with warnings.catch_warnings():
        # Dask warns of large graphs; carrying the trees in the graph is the point.
        warnings.filterwarnings("ignore", message=".*[Ll]arge (graph|object)")
        future: Future[Any] = client.submit(carried, value, pure=False)
    return future
