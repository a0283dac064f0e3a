"""Which node became which: an optimal edit mapping between two trees, by
the same algorithms as the distance."""

from __future__ import annotations

from typing import overload

from . import _core
from .costs import IntNodeCost, IntRename, NodeCost, Rename
from .distance import Algorithm, PairCall
from .edits import Mapping
from .json_distance import json_mapping
from .semantics import Semantics, wants_json
from .tree import Tree


@overload
def mapping(t1: Tree, t2: Tree, *, rename: IntRename = None, delete: IntNodeCost = None,
            insert: IntNodeCost = None, workers: int | None = 1, timeout: float | None = None,
            progress: bool | None = None, algorithm: Algorithm = "auto",
            semantics: Semantics = "ordered") -> Mapping[int]: ...
@overload
def mapping(t1: Tree, t2: Tree, *, rename: Rename = None, delete: NodeCost = None,
            insert: NodeCost = None, workers: int | None = 1, timeout: float | None = None,
            progress: bool | None = None, algorithm: Algorithm = "auto",
            semantics: Semantics = "ordered") -> Mapping[float]: ...
def mapping(t1: Tree, t2: Tree, *, rename: Rename = None, delete: NodeCost = None,
            insert: NodeCost = None, workers: int | None = 1, timeout: float | None = None,
            progress: bool | None = None, algorithm: Algorithm = "auto",
            semantics: Semantics = "ordered") -> Mapping[int] | Mapping[float]:
    """An optimal edit mapping between `t1` and `t2` (see :class:`Mapping`),
    with the arguments and errors of :func:`grix.distance`.

    The subtree distances are filled as for the distance, by the same choice
    of algorithm, then one optimal choice is followed back from the two roots:
    at most about the time of the distance, and the same memory. Where
    renaming costs as much as deleting and inserting, the mapping deletes and
    inserts. ``semantics="json"`` gives :func:`grix.json_mapping` instead
    (JSON trees or documents, no costs, workers or algorithm).

    Large, close pairs (a file against its next version) run in a band of
    pre-order ids under "auto", as :func:`grix.distance` does: the band
    certifies the distance d at some K >= d, then the walk back refills one
    pair of subtrees at a time inside the band, in memory n1 * (2K + 1)
    instead of n1 * n2, with a mapping as optimal as the full computation's
    (it may pick another of equal cost). The band needs integer costs with
    every delete and insert at least 1 and no negative rename (unit costs,
    say); fractional costs (deletes or inserts below 1 too), free deletes or
    inserts, negative renames, "keyroot" and "strategy" run the full
    computation, as does a pair whose band would cost more than it. The
    band runs on one thread whatever `workers` says.
    """
    if wants_json(semantics, rename=rename, delete=delete, insert=insert,
                  algorithm=None if algorithm == "auto" else algorithm):
        return json_mapping(t1, t2, timeout=timeout)
    call = PairCall(t1, t2, rename, delete, insert, workers, timeout, progress, algorithm)
    with call.bar() as report:
        distance, pairs, deleted, inserted = _core.mapping(*call.trees, **call.arguments(report))
    return Mapping(t1, t2, call.costs.result(distance), pairs.tolist(), deleted.tolist(), inserted.tolist(),
                   costs=call.costs)
