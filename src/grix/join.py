"""Similarity joins and nearest neighbours: every pair of trees within a
distance, or the k closest trees of a corpus, exact, without computing all
pairs.

Trees are sorted by size and paired only within a size window; with label
equality costs, an inverted index over label multisets (prefix filtering)
touches only pairs that share enough labels, the string edit distances of the
pre-order and post-order label sequences rule out more, a greedy top-down
mapping accepts pairs from above, and the rest are decided by a distance
restricted to a band of pre-order ids that is exact whenever it is within the
threshold.
"""

from __future__ import annotations

import numbers
import sys
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

from . import _core
from .batch import LabelRename, check_trees, encode, pdist
from .costs import NodeCost
from .costs import INT32_MAX, INT32_MIN
from .distance import check_count, check_timeout, check_workers
from .semantics import Semantics, wants_json
from .tree import Tree

Ints = npt.NDArray[np.int32]

# Below this many trees no bar is shown unless asked for.
BAR_MIN_TREES = 2000

#: The stages of a join, in the order they decide a pair. Every pair is
#: counted once, by one of the entries up to ``verified``;
#: ``failed_verification`` counts the verified pairs above the threshold.
#: ``exact_by_bounds``: the greedy mapping costs as much as a lower bound, so
#: its cost is the distance.
STAGES = ("pruned_by_size", "pruned_by_labels", "pruned_by_preorder", "pruned_by_postorder",
          "accepted_by_upper_bound", "exact_by_bounds", "verified", "failed_verification")


def check_threshold(threshold: object, name: str = "threshold") -> int:
    if isinstance(threshold, bool) or not isinstance(threshold, (int, np.integer)):
        raise TypeError(f"{name} must be an int, not {type(threshold).__name__}")
    return max(INT32_MIN // 2, min(int(threshold), INT32_MAX))


class Bar:
    """A tqdm bar over trees (join) or queries (nearest), or nothing."""

    def __init__(self, progress: bool | None, total: int, unit: str) -> None:
        self.bar: Any = None
        if progress is False or total == 0:
            return
        if progress is None and (not sys.stderr.isatty() or total < BAR_MIN_TREES):
            return
        from tqdm.auto import tqdm

        self.bar = tqdm(total=total, unit=unit, dynamic_ncols=True)

    def update(self, done: int) -> None:
        if self.bar is not None:
            self.bar.update(max(0, min(done, self.bar.total) - self.bar.n))

    def __enter__(self) -> Callable[[int], None] | None:
        return self.update if self.bar is not None else None

    def __exit__(self, *exc: object) -> None:
        if self.bar is not None:
            self.bar.close()


@dataclass(frozen=True, repr=False)
class JoinResult:
    """The pairs ``(i[m], j[m])``, i < j, at ``distance[m]`` <= threshold,
    sorted by (i, j), and how many of all pairs each stage decided
    (``counts``, keyed by :data:`STAGES`, plus ``pairs``, their total).

    ``distance`` is -1 for pairs accepted by the upper bound without
    computing their distance (``distances=False`` only). Iterating yields
    ``(i, j, distance)`` triples of Python ints.
    """

    i: Ints
    j: Ints
    distance: npt.NDArray[Any]
    threshold: float
    counts: dict[str, int]

    def __len__(self) -> int:
        return len(self.i)

    def __iter__(self) -> Iterator[tuple[int, int, int]]:
        return zip(self.i.tolist(), self.j.tolist(), self.distance.tolist())

    @property
    def matches(self) -> list[tuple[int, int, int]]:
        """The (i, j, distance) triples as a list."""
        return list(self)

    @property
    def pruned_by_size(self) -> int:
        return self.counts["pruned_by_size"]

    @property
    def pruned_by_labels(self) -> int:
        return self.counts["pruned_by_labels"]

    @property
    def computed(self) -> int:
        """Pairs whose distance was computed (bounded or in full)."""
        return self.counts["verified"]

    def __repr__(self) -> str:
        pruned = sum(self.counts[stage] for stage in STAGES[:4])
        decided = self.counts["accepted_by_upper_bound"] + self.counts["exact_by_bounds"]
        noun = "pair" if len(self) == 1 else "pairs"
        return (f"JoinResult({len(self)} {noun} within {self.threshold}; of {self.counts['pairs']:,} pairs "
                f"{pruned:,} ruled out by bounds, {decided:,} decided by them, "
                f"{self.counts['verified']:,} computed)")


@dataclass(frozen=True, repr=False)
class NearestResult:
    """For query q, ``index[q]`` holds its k nearest corpus trees in order of
    (distance, corpus index) and ``distance[q]`` their exact distances, both
    int32 arrays of shape (len(queries), k). Where fewer than k corpus trees
    lie within ``max_distance``, the rest of the row is -1 in both."""

    index: Ints
    distance: Ints
    counts: dict[str, int]

    def __len__(self) -> int:
        return len(self.index)

    def __repr__(self) -> str:
        queries, k = self.index.shape
        found = int((self.index >= 0).sum())
        return (f"NearestResult({queries} queries, k={k}: {found} neighbours found; "
                f"{self.counts['verified']:,} of {self.counts['pairs']:,} pairs computed)")


def join_index(trees: list[Tree], threshold: int, rename: LabelRename,
               workers: int = 1) -> _core.JoinIndex:
    (encoded,) = encode(trees, rename=rename)
    table = encoded.costs.rename_by_label
    if table is not None:
        if encoded.costs.floating or not encoded.costs.integral:
            raise ValueError("join takes integer rename costs within 32 bits")
        table = np.ascontiguousarray(table, dtype=np.int32)
    return _core.JoinIndex(encoded.parents, encoded.codes, threshold, table, workers)


def join(trees: Sequence[Tree], threshold: float, *, rename: LabelRename = None, delete: NodeCost = None,
         insert: NodeCost = None, workers: int | None = None, distances: bool = True,
         progress: bool | None = None, timeout: float | None = None,
         semantics: Semantics = "ordered") -> JoinResult:
    """Every pair of `trees` at distance at most `threshold`, each with its
    exact distance.

    rename: None (label equality) or a callable ``(label1, label2) -> int``,
        called once per distinct label pair. With a callable, the label bounds
        are off and each candidate's distance is computed in full; the size
        bound holds only when no cost is negative (otherwise all pairs are
        candidates).
    delete, insert: as for :func:`grix.pdist`. With these, or with
        fractional renames (and then a threshold of any number), no bound is
        used: every pair's distance is computed, on all workers, and the
        distances are of pdist's type.
    workers: threads for candidates and verification; None or -1: all cores.
    distances: False accepts pairs whose greedy upper bound is within the
        threshold without computing their distance (reported as -1).
    progress: True shows a tqdm bar over trees; None shows one on a terminal
        for 2,000 trees or more.
    timeout: seconds, or None.
    semantics: "ordered" (the tree edit distance) or "json": the JSON edit
        distance, as :func:`grix.json_join` (no costs).

    Each tree is prepared once. No pair within the threshold is missed, and
    no pair with a larger distance is reported. Raises TimeoutError,
    KeyboardInterrupt (Ctrl-C; threads joined first), TypeError or
    ValueError for bad arguments.
    """
    if wants_json(semantics, rename=rename, delete=delete, insert=insert):
        from .json_distance import json_join

        return json_join(trees, threshold, workers=workers, distances=distances,
                         progress=progress, timeout=timeout)
    listed = check_trees(trees, "trees")
    count, seconds = check_workers(workers), check_timeout(timeout)
    if delete is not None or insert is not None or not integer_costs(listed, rename):
        return join_of_all_pairs(listed, threshold, rename, delete, insert, count, progress, seconds)
    limit = check_threshold(threshold)
    index = join_index(listed, limit, rename, count)
    with Bar(progress, len(listed), "tree") as report:
        first, second, found, counts = _core.join(index, 0, None, bool(distances), count, seconds, report)
    return JoinResult(first, second, found, limit, counts)


def integer_costs(trees: list[Tree], rename: LabelRename) -> bool:
    """Whether the join's bounds hold: label equality, or integer renames."""
    if rename is None:
        return True
    (encoded,) = encode(trees, rename=rename)
    return encoded.costs.integral and not encoded.costs.floating


def join_of_all_pairs(trees: list[Tree], threshold: float, rename: LabelRename, delete: NodeCost,
                      insert: NodeCost, workers: int, progress: bool | None,
                      seconds: float | None) -> JoinResult:
    """The join for costs the bounds do not cover: every pair's distance."""
    if isinstance(threshold, bool) or not isinstance(threshold, numbers.Real):
        raise TypeError(f"threshold must be a number, not {type(threshold).__name__}")
    d = pdist(trees, rename=rename, delete=delete, insert=insert, workers=workers, progress=progress,
              timeout=seconds)
    first, second = np.triu_indices(len(trees), 1)
    keep = d <= threshold
    counts = dict.fromkeys(STAGES, 0)
    counts.update(verified=len(d), failed_verification=int(len(d) - keep.sum()), pairs=len(d))
    return JoinResult(first[keep].astype(np.int32), second[keep].astype(np.int32), d[keep],
                      threshold, counts)


def nearest(queries: Sequence[Tree], corpus: Sequence[Tree], k: int = 1, *,
            max_distance: int | None = None, workers: int | None = None,
            progress: bool | None = None, timeout: float | None = None) -> NearestResult:
    """The k nearest trees of `corpus` to each query, with exact distances,
    under label equality costs; ties go to the smaller corpus index.

    max_distance: only corpus trees within this distance count (None: any).
    workers: threads, one query at a time each; None or -1: all cores.
    progress, timeout: as for :func:`join` (the bar counts queries).

    Each query looks at corpus trees in order of size difference and stops
    once that alone exceeds the k-th best distance found so far; every tree
    it looks at passes the bounds of :func:`join` at that distance first.
    """
    listed_queries, listed_corpus = check_trees(queries, "queries"), check_trees(corpus, "corpus")
    if isinstance(k, bool) or not isinstance(k, (int, np.integer)):
        raise TypeError(f"k must be an int, not {type(k).__name__}")
    if not 1 <= k <= INT32_MAX // max(1, len(listed_queries)):
        raise ValueError(f"k must be at least 1 (rows are padded with -1 beyond the corpus), not {k}")
    limit = -1 if max_distance is None else check_threshold(max_distance, "max_distance")
    if limit < -1 or (max_distance is not None and limit < 0):
        raise ValueError(f"max_distance must not be negative, not {max_distance}")
    count, seconds = check_workers(workers), check_timeout(timeout)
    encoded_queries, encoded_corpus = encode(listed_queries, listed_corpus, rename=None)
    with Bar(progress, len(listed_queries), "query") as report:
        index, found, counts = _core.nearest(encoded_queries.parents, encoded_queries.codes,
                                             encoded_corpus.parents, encoded_corpus.codes, int(k), limit,
                                             count, seconds, report)
    return NearestResult(index, found, counts)


# --- Dask -------------------------------------------------------------------

def join_block(index: _core.JoinIndex, begin: int, end: int, distances: bool,
               workers: int) -> tuple[Ints, Ints, Ints, dict[str, int]]:
    """One task: the pairs whose larger tree lies at size positions
    [begin, end) of the index. Runs on a worker."""
    return _core.join(index, begin, end, distances, workers)


def dask_join(trees: Sequence[Tree], threshold: int, *, rename: Callable[[str, str], int] | None = None,
              client: Any = None, blocks: int | None = None, workers: int | None = 1, distances: bool = True,
              timeout: float | None = None) -> JoinResult:
    """:func:`join` on a Dask cluster: the index is built once here and
    scattered (each worker rebuilds it from its trees once), and each task
    joins one range of trees in size order with every smaller tree.

    client: a ``dask.distributed.Client``; None starts a LocalCluster of worker
        processes for this call and closes it afterwards.
    blocks: number of tasks (default: 16 per worker thread; the ranges hold
        equal numbers of pairs, so larger trees get shorter ranges).
    workers: threads each task uses on its worker (None or -1: all its cores).
    timeout: seconds to wait for the tasks; on a time-out or Ctrl-C they are
        cancelled.
    """
    from contextlib import ExitStack

    from dask.distributed import Client, LocalCluster, as_completed

    listed = check_trees(trees, "trees")
    limit, threads, seconds = check_threshold(threshold), check_workers(workers), check_timeout(timeout)
    index = join_index(listed, limit, rename)
    with ExitStack() as stack:
        if client is None:
            cluster = stack.enter_context(LocalCluster(threads_per_worker=1, processes=True))
            client = stack.enter_context(Client(cluster))
        task_count = check_count(blocks, "blocks") if blocks is not None else \
            16 * (sum(client.nthreads().values()) or 1)
        # Position p pairs with the p trees before it: equal shares of pairs.
        count = len(listed)
        bounds = sorted({round(count * (part / task_count) ** 0.5) for part in range(task_count + 1)})
        scattered = client.scatter(index, broadcast=True)
        tasks = [client.submit(join_block, scattered, begin, end, bool(distances), threads, pure=False)
                 for begin, end in zip(bounds, bounds[1:])]
        parts = []
        try:
            for future in as_completed(tasks, timeout=seconds):
                parts.append(future.result())
                future.release()
        except BaseException:
            client.cancel(tasks)
            raise
    counts = {key: sum(part[3][key] for part in parts) for key in ("pairs", *STAGES)}
    first = np.concatenate([part[0] for part in parts] or [np.empty(0, np.int32)])
    second = np.concatenate([part[1] for part in parts] or [np.empty(0, np.int32)])
    found = np.concatenate([part[2] for part in parts] or [np.empty(0, np.int32)])
    order = np.lexsort((second, first))
    return JoinResult(first[order], second[order], found[order], limit, counts)
