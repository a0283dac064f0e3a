"""Many trees at once: condensed distance vectors, distance matrices and
element-wise distances, computed natively on all cores (threshold joins and
nearest neighbours: join.py)."""

from __future__ import annotations

from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from typing import Any, Literal, Union, overload

import numpy as np
import numpy.typing as npt

from . import _core, progress as progress_bar
from .costs import (EngineCosts, LabelClasses, checked_array, Number, NodeCost, check_metric_costs, corpus_costs,
                    label_codes, numbered_labels)
from .distance import check_max_distance, check_timeout, check_tree, check_workers
from .json_distance import json_cdist, json_paired, json_pdist
from .semantics import Semantics, wants_json
from .tree import Tree

# A label cost table larger than this would take more memory than it saves.
MAX_LABEL_TABLE = 50_000_000

#: Distances of many pairs: int32 for integer costs within 32 bits, int64 for
#: larger integer costs, float64 for fractional costs or a normalisation.
Distances = Union[npt.NDArray[np.int32], npt.NDArray[np.int64], npt.NDArray[np.float64]]
LabelRename = Union[None, Callable[[str, str], Number], LabelClasses]
Normalize = Literal[None, "metric", "max"]
# The costs whose distances are integers, for the overloads' result types.
IntLabelRename = Union[None, Callable[[str, str], int]]
IntLabelCost = Union[None, int, Callable[[str], int]]
IntDistances = Union[npt.NDArray[np.int32], npt.NDArray[np.int64]]


def check_dtype(dtype: object) -> np.dtype[Any] | None:
    """The numeric dtype the caller asked the distances in, or None for the
    natural one; refused before any work."""
    if dtype is None:
        return None
    try:
        checked = np.dtype(dtype)  # type: ignore[call-overload]
    except TypeError:
        raise TypeError(f"dtype must be a numpy integer or float dtype, not {dtype!r}") from None
    if checked.kind not in "iuf":
        raise TypeError(f"dtype must be a numpy integer or float dtype, not {checked}")
    return checked


def as_dtype(d: npt.NDArray[Any], dtype: np.dtype[Any] | None) -> npt.NDArray[Any]:
    """The distances `d` in `dtype`: a float dtype takes any values (rounded
    to its precision); an integer dtype takes integer distances within its
    range, and anything else is refused rather than wrapped or truncated."""
    if dtype is None or d.dtype == dtype:
        return d
    if dtype.kind in "iu":
        if d.dtype.kind == "f":
            raise ValueError(f"dtype={dtype}: these distances are fractional; pass a float dtype")
        limits = np.iinfo(dtype)
        if d.size and (int(d.min()) < limits.min or int(d.max()) > limits.max):
            raise ValueError(f"dtype={dtype}: distances from {int(d.min())} to {int(d.max())} do not fit "
                             f"its range {limits.min} to {limits.max}; pass a wider dtype")
    return d.astype(dtype)


def check_trees(trees: object, name: str) -> list[Tree]:
    if isinstance(trees, Tree) or not isinstance(trees, Sequence) and not hasattr(trees, "__iter__"):
        raise TypeError(f"{name} must be a sequence of grix.Tree")
    listed = list(trees)  # type: ignore[call-overload]
    for number, tree in enumerate(listed):
        check_tree(tree, f"{name}[{number}]")
    return listed


def check_paired_trees(trees1: object, trees2: object) -> tuple[list[Tree], list[Tree]]:
    """Two lists of trees of equal length, for element-wise distances."""
    listed1, listed2 = check_trees(trees1, "trees1"), check_trees(trees2, "trees2")
    if len(listed1) != len(listed2):
        raise ValueError(f"trees1 has {len(listed1)} trees but trees2 has {len(listed2)}; "
                         "paired distances need lists of equal length")
    return listed1, listed2


@dataclass
class Encoded:
    """Trees as the engine takes them: parents and label codes per tree, with
    codes shared by all trees given together, and the costs between codes."""

    parents: list[npt.NDArray[np.int32]]
    codes: list[npt.NDArray[np.int32]]
    costs: EngineCosts = field(default_factory=EngineCosts)

    def corpus(self, start: int = 0, stop: int | None = None) -> _core.Corpus:
        return _core.Corpus(self.parents[start:stop], self.codes[start:stop])


def encode(*groups: list[Tree], rename: LabelRename, delete: NodeCost = None,
           insert: NodeCost = None) -> list[Encoded]:
    """Encodes groups of trees with one code per distinct label across all of
    them, and evaluates the cost callables once per distinct label or label
    pair. Deletions apply to the first group, insertions to the last."""
    codes, labels = numbered_labels([tree.labels for trees in groups for tree in trees])
    encoded, start = [], 0
    for trees in groups:
        encoded.append(Encoded([tree.parents for tree in trees], codes[start:start + len(trees)]))
        start += len(trees)
    if rename is not None and callable(rename) and len(labels) ** 2 > MAX_LABEL_TABLE:
        raise ValueError(f"the trees hold {len(labels)} distinct labels: a rename table of "
                         f"{len(labels)}^2 entries is too large for a rename callable; give the costs "
                         "by label class with grix.LabelClasses, which scales to any number of labels")
    costs = corpus_costs(labels, rename, delete, insert, largest(encoded[0].codes), largest(encoded[-1].codes))
    for group in encoded:
        group.costs = costs
    return encoded


def largest(codes: Sequence[npt.NDArray[np.int32]]) -> int:
    """The most nodes of the encoded trees (their code arrays)."""
    return max(map(len, codes), default=0)


def run_batch(a: Encoded, b: Encoded | None, *, first: npt.NDArray[np.int32] | None = None,
              second: npt.NDArray[np.int32] | None = None, workers: int, progress: bool | None,
              timeout: float | None, pairs: int, pair_rename: list[npt.NDArray[Any]] | None = None,
              max_distance: int = -1) -> Distances:
    """The engine's batch over the encoded trees, with a progress bar in percent
    of the work; integer costs computed in doubles come back as int64."""
    corpus_a = a.corpus()
    corpus_b = b.corpus() if b is not None else None
    costs = a.costs
    show = progress_bar.wanted(progress, lambda: (
        _core.batch_cells(corpus_a, corpus_b, first, second) * progress_bar.SECONDS_PER_CELL
        + pairs * progress_bar.SECONDS_PER_PAIR) / workers) and pairs > 0
    total = _core.batch_cells(corpus_a, corpus_b, first, second) if show else 0
    arguments = costs.batch_arguments()
    if pair_rename is not None:
        arguments.update(rename=None, pair_rename=pair_rename, floating=True)
    with progress_bar.WorkBar(show, total, pairs) as report:
        result = _core.batch(corpus_a, corpus_b, first, second, **arguments, workers=workers,
                             timeout=timeout, progress=report, max_distance=max_distance)
    if costs.floating and costs.integral and pair_rename is None:
        return result.astype(np.int64)
    return result  # type: ignore[no-any-return]


def check_bound(max_distance: object, normalize: object, semantics: object) -> int:
    """max_distance as grix._core takes it (-1: none); it bounds raw distances of ordered trees only."""
    bound = check_max_distance(max_distance)
    if bound >= 0 and (normalize is not None or semantics != "ordered"):
        raise ValueError("max_distance bounds the distances of ordered trees: give it without normalize "
                         "and with semantics=\"ordered\"")
    return bound


def batch_sizes(trees: Sequence[Tree]) -> npt.NDArray[np.int64]:
    return np.fromiter((len(tree) for tree in trees), dtype=np.int64, count=len(trees))


def normalized(d: Distances, costs: EngineCosts, sizes1: npt.NDArray[np.int64], sizes2: npt.NDArray[np.int64],
               codes1: list[npt.NDArray[np.int32]], codes2: list[npt.NDArray[np.int32]],
               method: Normalize) -> Distances:
    """Distances normalised element-wise (see grix.normalized_distance), for
    pairs whose first trees have sizes1 and codes1, second trees sizes2 and codes2."""
    if method is None:
        return d
    if method not in ("metric", "max"):
        raise ValueError(f'normalize must be None, "metric" or "max", not {method!r}')
    values = d.astype(np.float64)
    if method == "max":
        largest_size = np.maximum(sizes1, sizes2).astype(np.float64)
        return np.divide(values, largest_size, out=np.zeros_like(values), where=largest_size > 0)

    def whole(costs_by_code: npt.NDArray[Any] | None, codes: list[npt.NDArray[np.int32]],
              sizes: npt.NDArray[np.int64]) -> npt.NDArray[np.float64]:
        if costs_by_code is None:
            return sizes.astype(np.float64)
        return np.array([float(costs_by_code[c].sum()) for c in codes])

    total = whole(costs.delete, codes1, sizes1) + whole(costs.insert, codes2, sizes2) + values
    return np.divide(2 * values, total, out=np.zeros_like(values), where=total > 0)


def metric_costs_used(costs: EngineCosts, codes1: Sequence[npt.NDArray[np.int32]],
                      codes2: Sequence[npt.NDArray[np.int32]]) -> tuple[npt.NDArray[Any] | None,
                                                                        npt.NDArray[Any] | None]:
    """The delete costs of the labels of the first trees and the insert costs
    of the labels of the second trees: what the metric normalisation sums."""
    def used(costs_by_code: npt.NDArray[Any] | None,
             codes: Sequence[npt.NDArray[np.int32]]) -> npt.NDArray[Any] | None:
        if costs_by_code is None or not np.isinf(costs_by_code).any():
            return costs_by_code
        present = np.unique(np.concatenate([np.asarray(c) for c in codes] or [np.empty(0, np.int32)]))
        return costs_by_code[present]

    return used(costs.delete, codes1), used(costs.insert, codes2)


@overload
def pdist(trees: Sequence[Tree], *, rename: LabelRename = None, delete: NodeCost = None,
          insert: NodeCost = None, normalize: Normalize = None, workers: int | None = None,
          progress: bool | None = None, timeout: float | None = None,
          max_distance: int | None = None, semantics: Semantics = "ordered", dtype: npt.DTypeLike) -> npt.NDArray[Any]: ...
@overload
def pdist(trees: Sequence[Tree], *, rename: None = None, delete: None = None, insert: None = None,
          normalize: None = None, workers: int | None = None,
          progress: bool | None = None, timeout: float | None = None,
          max_distance: int | None = None, semantics: Semantics = "ordered", dtype: None = None) -> npt.NDArray[np.int32]: ...
@overload
def pdist(trees: Sequence[Tree], *, rename: IntLabelRename = None, delete: IntLabelCost = None,
          insert: IntLabelCost = None, normalize: None = None, workers: int | None = None,
          progress: bool | None = None, timeout: float | None = None,
          max_distance: int | None = None, semantics: Semantics = "ordered", dtype: None = None) -> IntDistances: ...
@overload
def pdist(trees: Sequence[Tree], *, rename: LabelRename = None, delete: NodeCost = None,
          insert: NodeCost = None, normalize: Literal["metric", "max"],
          workers: int | None = None,
          progress: bool | None = None, timeout: float | None = None,
          max_distance: int | None = None, semantics: Semantics = "ordered", dtype: None = None) -> npt.NDArray[np.float64]: ...
@overload
def pdist(trees: Sequence[Tree], *, rename: LabelRename = None, delete: NodeCost = None,
          insert: NodeCost = None, normalize: Normalize = None, workers: int | None = None,
          progress: bool | None = None, timeout: float | None = None,
          max_distance: int | None = None, semantics: Semantics = "ordered", dtype: None = None) -> Distances: ...
def pdist(trees: Sequence[Tree], *, rename: LabelRename = None, delete: NodeCost = None,
          insert: NodeCost = None, normalize: Normalize = None, workers: int | None = None,
          progress: bool | None = None, timeout: float | None = None,
          max_distance: int | None = None, semantics: Semantics = "ordered", dtype: npt.DTypeLike = None) -> Distances:
    """The distances of all pairs of `trees` as a condensed vector, in the
    layout of ``scipy.spatial.distance.pdist``: pair (i, j), i < j, in
    row-major order. ``squareform`` and ``linkage`` take it as it is. Each
    entry turns trees[i] into trees[j]; with costs that are not symmetric,
    the other direction can differ (use :func:`cdist` for both).

    rename: None (label equality); a callable ``(label1, label2) ->
        number``, called once per distinct label pair of all the trees, so
        for a few thousand distinct labels at most (it is refused above
        about 7,000: a table of their square); or :class:`grix.LabelClasses`,
        one call per label and per class pair, for any number of labels.
    delete, insert: None (1 each), a number, or a callable ``label -> number``
        called once per distinct label (see :func:`grix.distance`).
    normalize: None, "metric" or "max" (see :func:`grix.normalized_distance`):
        float64 values. "metric" refuses (ValueError, before any pair runs)
        an inf delete cost on a label of a first tree or an inf insert cost
        on a label of a second tree.
    workers: threads, each computing one pair at a time; None or -1 means all
        the cores the process may use.
    progress: True shows a tqdm bar over pairs that advances by work done
        (each pair weighted by its dynamic-programming cells, so that the time
        left holds); None shows one when stderr is a terminal and the work is
        estimated at over 2 s.
    timeout: seconds, or None.
    semantics: "ordered" (the tree edit distance) or "json": the JSON edit
        distance of :func:`grix.json_pdist` (objects unordered; trees from
        ``Tree.from_json`` or JSON documents; no costs or normalize).
    max_distance: None, or an int bound: each entry is the distance when it
        is at most the bound, otherwise ``max_distance + 1`` (a marker, as
        rapidfuzz's ``score_cutoff``). Large, close pairs run in a band of
        pre-order ids at that price (see :func:`grix.distance`).
    dtype: None for the types below, or a numpy integer or float dtype for
        the result, as rapidfuzz's ``process.cdist`` takes it: ``np.uint8``
        or ``np.int16`` hold small distances in less memory, ``np.float32``
        suits scikit-learn. An integer dtype that cannot hold every distance
        exactly (fractional distances, or values outside its range) raises
        ValueError after the distances are computed; nothing is wrapped or
        truncated.

    Returns int32 values for integer costs (int64 where sums pass 32 bits)
    and float64 for fractional costs. Each tree is converted and prepared
    once; each pair runs in its cheaper orientation. Memory: the result plus
    three scratch matrices per worker, sized for the largest pair it runs.
    Raises TimeoutError, KeyboardInterrupt (Ctrl-C; threads joined first),
    TypeError or ValueError for bad arguments.
    """
    wanted = check_dtype(dtype)
    bound = check_bound(max_distance, normalize, semantics)
    if wants_json(semantics, rename=rename, delete=delete, insert=insert, normalize=normalize):
        return as_dtype(json_pdist(trees, workers=workers, timeout=timeout), wanted)
    listed = check_trees(trees, "trees")
    workers, seconds = check_workers(workers), check_timeout(timeout)
    (encoded,) = encode(listed, rename=rename, delete=delete, insert=insert)
    if normalize == "metric":
        check_metric_costs(*metric_costs_used(encoded.costs, encoded.codes[:-1], encoded.codes[1:]))
    count = len(listed) * (len(listed) - 1) // 2
    d = run_batch(encoded, None, workers=workers, progress=progress, timeout=seconds, pairs=count,
                  max_distance=bound)
    if normalize is not None:
        first, second = np.triu_indices(len(listed), 1)
        sizes = batch_sizes(listed)
        d = normalized(d, encoded.costs, sizes[first], sizes[second], [encoded.codes[i] for i in first],
                       [encoded.codes[j] for j in second], normalize)
    return as_dtype(d, wanted)


def square_matrix(condensed: Distances, count: int) -> Distances:
    """The symmetric (count, count) matrix of a condensed vector, as scipy's
    ``squareform`` makes it."""
    matrix = np.zeros((count, count), dtype=condensed.dtype)
    upper = np.triu_indices(count, 1)
    matrix[upper] = condensed
    matrix.T[upper] = condensed
    return matrix


@overload
def cdist(trees_a: Sequence[Tree], trees_b: Sequence[Tree], *, rename: LabelRename = None, delete: NodeCost = None,
          insert: NodeCost = None, normalize: Normalize = None, workers: int | None = None,
          progress: bool | None = None, timeout: float | None = None,
          max_distance: int | None = None, semantics: Semantics = "ordered", dtype: npt.DTypeLike) -> npt.NDArray[Any]: ...
@overload
def cdist(trees_a: Sequence[Tree], trees_b: Sequence[Tree], *, rename: None = None, delete: None = None, insert: None = None,
          normalize: None = None, workers: int | None = None,
          progress: bool | None = None, timeout: float | None = None,
          max_distance: int | None = None, semantics: Semantics = "ordered", dtype: None = None) -> npt.NDArray[np.int32]: ...
@overload
def cdist(trees_a: Sequence[Tree], trees_b: Sequence[Tree], *, rename: IntLabelRename = None, delete: IntLabelCost = None,
          insert: IntLabelCost = None, normalize: None = None, workers: int | None = None,
          progress: bool | None = None, timeout: float | None = None,
          max_distance: int | None = None, semantics: Semantics = "ordered", dtype: None = None) -> IntDistances: ...
@overload
def cdist(trees_a: Sequence[Tree], trees_b: Sequence[Tree], *, rename: LabelRename = None, delete: NodeCost = None,
          insert: NodeCost = None, normalize: Literal["metric", "max"],
          workers: int | None = None,
          progress: bool | None = None, timeout: float | None = None,
          max_distance: int | None = None, semantics: Semantics = "ordered", dtype: None = None) -> npt.NDArray[np.float64]: ...
@overload
def cdist(trees_a: Sequence[Tree], trees_b: Sequence[Tree], *, rename: LabelRename = None, delete: NodeCost = None,
          insert: NodeCost = None, normalize: Normalize = None, workers: int | None = None,
          progress: bool | None = None, timeout: float | None = None,
          max_distance: int | None = None, semantics: Semantics = "ordered", dtype: None = None) -> Distances: ...
def cdist(trees_a: Sequence[Tree], trees_b: Sequence[Tree], *, rename: LabelRename = None,
          delete: NodeCost = None, insert: NodeCost = None, normalize: Normalize = None,
          workers: int | None = None, progress: bool | None = None,
          timeout: float | None = None, max_distance: int | None = None, semantics: Semantics = "ordered",
          dtype: npt.DTypeLike = None) -> Distances:
    """The (len(trees_a), len(trees_b)) matrix of distances from each tree of
    trees_a to each of trees_b, with the arguments of :func:`pdist`."""
    wanted = check_dtype(dtype)
    bound = check_bound(max_distance, normalize, semantics)
    if wants_json(semantics, rename=rename, delete=delete, insert=insert, normalize=normalize):
        return as_dtype(json_cdist(trees_a, trees_b, workers=workers, timeout=timeout), wanted)
    listed_a, listed_b = check_trees(trees_a, "trees_a"), check_trees(trees_b, "trees_b")
    workers, seconds = check_workers(workers), check_timeout(timeout)
    encoded_a, encoded_b = encode(listed_a, listed_b, rename=rename, delete=delete, insert=insert)
    if normalize == "metric":
        check_metric_costs(*metric_costs_used(encoded_a.costs, encoded_a.codes, encoded_b.codes))
    d = run_batch(encoded_a, encoded_b, workers=workers, progress=progress, timeout=seconds, max_distance=bound,
                  pairs=len(listed_a) * len(listed_b))
    if normalize is not None:
        rows = np.repeat(np.arange(len(listed_a)), len(listed_b))
        columns = np.tile(np.arange(len(listed_b)), len(listed_a))
        d = normalized(d, encoded_a.costs, batch_sizes(listed_a)[rows], batch_sizes(listed_b)[columns],
                       [encoded_a.codes[i] for i in rows], [encoded_b.codes[j] for j in columns], normalize)
    return as_dtype(d.reshape(len(listed_a), len(listed_b)), wanted)


@overload
def paired(trees1: Sequence[Tree], trees2: Sequence[Tree], *, rename: LabelRename = None, delete: NodeCost = None,
          insert: NodeCost = None, normalize: Normalize = None, workers: int | None = None,
          progress: bool | None = None, timeout: float | None = None,
          max_distance: int | None = None, semantics: Semantics = "ordered", dtype: npt.DTypeLike) -> npt.NDArray[Any]: ...
@overload
def paired(trees1: Sequence[Tree], trees2: Sequence[Tree], *, rename: None = None, delete: None = None, insert: None = None,
           normalize: None = None, workers: int | None = None,
           progress: bool | None = None, timeout: float | None = None,
          max_distance: int | None = None, semantics: Semantics = "ordered", dtype: None = None) -> npt.NDArray[np.int32]: ...
@overload
def paired(trees1: Sequence[Tree], trees2: Sequence[Tree], *, rename: IntLabelRename = None, delete: IntLabelCost = None,
           insert: IntLabelCost = None, normalize: None = None, workers: int | None = None,
           progress: bool | None = None, timeout: float | None = None,
          max_distance: int | None = None, semantics: Semantics = "ordered", dtype: None = None) -> IntDistances: ...
@overload
def paired(trees1: Sequence[Tree], trees2: Sequence[Tree], *, rename: LabelRename = None, delete: NodeCost = None,
           insert: NodeCost = None, normalize: Literal["metric", "max"],
           workers: int | None = None,
           progress: bool | None = None, timeout: float | None = None,
          max_distance: int | None = None, semantics: Semantics = "ordered", dtype: None = None) -> npt.NDArray[np.float64]: ...
@overload
def paired(trees1: Sequence[Tree], trees2: Sequence[Tree], *, rename: LabelRename = None, delete: NodeCost = None,
           insert: NodeCost = None, normalize: Normalize = None, workers: int | None = None,
           progress: bool | None = None, timeout: float | None = None,
          max_distance: int | None = None, semantics: Semantics = "ordered", dtype: None = None) -> Distances: ...
def paired(trees1: Sequence[Tree], trees2: Sequence[Tree], *, rename: LabelRename = None,
           delete: NodeCost = None, insert: NodeCost = None, normalize: Normalize = None,
           workers: int | None = None, progress: bool | None = None,
           timeout: float | None = None, max_distance: int | None = None, semantics: Semantics = "ordered",
          dtype: npt.DTypeLike = None) -> Distances:
    """The distance from trees1[k] to trees2[k] for every k, as a vector
    (element-wise, as scikit-learn's ``paired_distances``), with the
    arguments of :func:`pdist`. The lists must be of equal length."""
    wanted = check_dtype(dtype)
    bound = check_bound(max_distance, normalize, semantics)
    if wants_json(semantics, rename=rename, delete=delete, insert=insert, normalize=normalize):
        return as_dtype(json_paired(trees1, trees2, workers=workers, timeout=timeout), wanted)
    listed1, listed2 = check_paired_trees(trees1, trees2)
    workers, seconds = check_workers(workers), check_timeout(timeout)
    encoded1, encoded2 = encode(listed1, listed2, rename=rename, delete=delete, insert=insert)
    if normalize == "metric":
        check_metric_costs(*metric_costs_used(encoded1.costs, encoded1.codes, encoded2.codes))
    index = np.arange(len(listed1), dtype=np.int32)
    d = run_batch(encoded1, encoded2, first=index, second=index, workers=workers, progress=progress, max_distance=bound,
                  timeout=seconds, pairs=len(listed1))
    return as_dtype(normalized(d, encoded1.costs, batch_sizes(listed1), batch_sizes(listed2), encoded1.codes,
                               encoded2.codes, normalize), wanted)


def paired_label_tables(trees1: Sequence[Tree], trees2: Sequence[Tree], tables: Sequence[npt.ArrayLike], *,
                        workers: int | None = None, progress: bool | None = None,
                        timeout: float | None = None) -> npt.NDArray[np.float64]:
    """Element-wise distances of (trees1[k], trees2[k]) with a rename table of
    their own for each pair: tables[k][a, b] renames the a-th distinct label
    of trees1[k] (in order of first appearance) into the b-th of trees2[k].
    Deleting and inserting cost 1. Float64 results; the tables are checked
    as any rename costs (numbers, no NaN, no -inf)."""
    listed1, listed2 = check_trees(trees1, "trees1"), check_trees(trees2, "trees2")
    if not len(listed1) == len(listed2) == len(tables):
        raise ValueError(f"{len(listed1)} first trees, {len(listed2)} second trees and {len(tables)} "
                         "tables: paired distances need one of each per pair")
    workers, seconds = check_workers(workers), check_timeout(timeout)
    codes1 = [label_codes(tree.labels)[0] for tree in listed1]
    codes2 = [label_codes(tree.labels)[0] for tree in listed2]
    checked = []
    for k, table in enumerate(tables):
        shape = (int(codes1[k].max(initial=-1)) + 1, int(codes2[k].max(initial=-1)) + 1)
        checked.append(np.ascontiguousarray(checked_array(table, f"tables[{k}]", shape), dtype=np.float64))
    index = np.arange(len(listed1), dtype=np.int32)
    return run_batch(Encoded([t.parents for t in listed1], codes1), Encoded([t.parents for t in listed2], codes2),
                     first=index, second=index, workers=workers, progress=progress, timeout=seconds,
                     pairs=len(listed1), pair_rename=checked)  # type: ignore[return-value]
