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

from collections.abc import Sequence

import numpy as np
import numpy.typing as npt

from . import _core
from .batch import Encoded, LabelRename, check_trees, encode, run_batch
from .costs import NodeCost
from .distance import check_timeout, check_workers
from .join_results import (STAGES, JoinResult, NearestResult, check_number_threshold, check_threshold,
                           integer_threshold)
from .json_distance import json_join
from .progress import Bar
from .semantics import Semantics, wants_json
from .tree import Tree

Ints = npt.NDArray[np.int32]

def join_index(trees: list[Tree], threshold: int, rename: LabelRename,
               workers: int = 1, encoded: Encoded | None = None) -> _core.JoinIndex:
    """The engine's index of `trees`, from `encoded` when the caller has
    encoded them already (each rename callable runs once per label pair)."""
    if encoded is None:
        (encoded,) = encode(trees, rename=rename)
    costs = encoded.costs
    table = costs.rename_by_label
    if table is not None:
        if costs.floating or not costs.integral:
            raise ValueError("join takes integer rename costs within 32 bits")
        table = np.ascontiguousarray(table, dtype=np.int32)
    return _core.JoinIndex(encoded.parents, encoded.codes, threshold, table, workers,
                           label_class=costs.label_class, same_label=int(costs.same_label))


def join(trees: Sequence[Tree], threshold: float, *, rename: LabelRename = None, delete: NodeCost = None,
         insert: NodeCost = None, workers: int | None = None, distances: bool = True,
         progress: bool | None = None, timeout: float | None = None,
         semantics: Semantics = "ordered") -> JoinResult:
    """Every pair of `trees` at distance at most `threshold`, each with its
    exact distance.

    threshold: any number (NaN aside); with integer costs, a fractional
        threshold keeps what its floor keeps.
    rename: None (label equality), a callable ``(label1, label2) -> int``,
        called once per distinct label pair, as by :func:`grix.pdist`, or
        :class:`grix.LabelClasses` (for many distinct labels). With either,
        the label bounds
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
        return json_join(trees, threshold, workers=workers, distances=distances,
                         progress=progress, timeout=timeout)
    listed = check_trees(trees, "trees")
    given = check_number_threshold(threshold)
    count, seconds = check_workers(workers), check_timeout(timeout)
    (encoded,) = encode(listed, rename=rename, delete=delete, insert=insert)
    if delete is not None or insert is not None or encoded.costs.floating or not encoded.costs.integral:
        return join_of_all_pairs(encoded, given, count, progress, seconds)
    limit = integer_threshold(given)
    index = join_index(listed, limit, rename, count, encoded)
    with Bar(progress, len(listed), "tree") as report:
        first, second, found, counts = _core.join(index, 0, None, bool(distances), count, seconds, report)
    return JoinResult(first, second, found, limit if isinstance(given, int) else given, counts)


def join_of_all_pairs(encoded: Encoded, threshold: int | float, workers: int, progress: bool | None,
                      seconds: float | None) -> JoinResult:
    """The join for costs the bounds do not cover: every pair's distance."""
    trees = len(encoded.parents)
    d = run_batch(encoded, None, workers=workers, progress=progress, timeout=seconds,
                  pairs=trees * (trees - 1) // 2)
    first, second = np.triu_indices(trees, 1)
    keep = d <= threshold
    counts = dict.fromkeys(STAGES, 0)
    counts.update(verified=len(d), failed_verification=int(len(d) - keep.sum()), pairs=len(d))
    return JoinResult(first[keep].astype(np.int32), second[keep].astype(np.int32), d[keep],
                      threshold, counts)


def check_nearest_arguments(k: object, max_distance: object, corpus_size: int) -> tuple[int, int]:
    """k, at most the corpus size (no row can hold more neighbours than the
    corpus has trees), and the distance limit the engine takes (-1: none)."""
    if isinstance(k, bool) or not isinstance(k, (int, np.integer)):
        raise TypeError(f"k must be an int, not {type(k).__name__}")
    if k < 1:
        raise ValueError(f"k must be at least 1, not {k}")
    limit = -1 if max_distance is None else check_threshold(max_distance, "max_distance")
    if limit < -1 or (max_distance is not None and limit < 0):
        raise ValueError(f"max_distance must not be negative, not {max_distance}")
    return min(int(k), max(1, corpus_size)), limit


def nearest(queries: Sequence[Tree], corpus: Sequence[Tree], k: int = 1, *,
            max_distance: int | None = None, workers: int | None = None,
            progress: bool | None = None, timeout: float | None = None) -> NearestResult:
    """The k nearest trees of `corpus` to each query, with exact distances,
    under label equality costs; ties go to the smaller corpus index.

    k: at least 1; a k beyond the corpus size gives rows as long as the
        corpus (16 bytes per query and column are checked against the
        memory the process can take: MemoryError with the figure).
    max_distance: only corpus trees within this distance count (None: any).
    workers: threads, one query at a time each; None or -1: all cores.
    progress, timeout: as for :func:`join` (the bar counts queries).

    Each query looks at corpus trees in order of size difference and stops
    once that alone exceeds the k-th best distance found so far; every tree
    it looks at passes the bounds of :func:`join` at that distance first.
    """
    listed_queries, listed_corpus = check_trees(queries, "queries"), check_trees(corpus, "corpus")
    k, limit = check_nearest_arguments(k, max_distance, len(listed_corpus))
    count, seconds = check_workers(workers), check_timeout(timeout)
    encoded_queries, encoded_corpus = encode(listed_queries, listed_corpus, rename=None)
    with Bar(progress, len(listed_queries), "query") as report:
        index, found, counts = _core.nearest(encoded_queries.parents, encoded_queries.codes,
                                             encoded_corpus.parents, encoded_corpus.codes, int(k), limit,
                                             count, seconds, report)
    return NearestResult(index, found, counts)
