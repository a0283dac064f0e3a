"""The Dask twins of :func:`grix.join` and :func:`grix.nearest`: one index
built on the client, ranges of trees joined as tasks (JSON trees joined in
one task); the corpus sent once, ranges of queries searched as tasks."""

from __future__ import annotations

# Some of Dask's API carries no annotations.
# mypy: disable-error-code="no-untyped-call"

from collections.abc import Sequence
from contextlib import ExitStack
from typing import Any

import numpy as np

from ..batch import LabelRename, check_trees, encode
from ..costs import NodeCost
from ..distance import check_count, check_timeout
from ..join import check_nearest_arguments, join_index, nearest as nearest_here
from ..join_results import (STAGES, JoinResult, NearestResult, check_number_threshold, check_threshold,
                            integer_threshold)
from ..json_distance import check_documents
from ..semantics import Semantics, wants_json
from ..tree import Tree
from .blocks import task_workers
from .cluster import ClientLike, cluster_threads, connect, gather_blocks
from .matrices import pdist
from .tasks import join_block, json_join_block, nearest_block
from .transfer import carry, json_packed, pack, pack_range


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
    """join(semantics="json"): the documents encoded on the client, joined in
    one task (the JSON join's index is not split into ranges)."""
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


def nearest(queries: Sequence[Tree], corpus: Sequence[Tree], k: int = 1, *, max_distance: int | None = None,
            client: ClientLike = None, blocks: int | None = None, workers: int | None = 1,
            progress: bool | None = None, timeout: float | None = None) -> NearestResult:
    """:func:`grix.nearest` on a Dask cluster, with its arguments and
    results: the corpus travels once to each worker that needs it, and each
    task searches it for one range of the queries.

    blocks: number of tasks (default: 4 per worker thread, at most one per
        query).
    client, workers, progress, timeout: as for :func:`pdist` (the bar counts
        queries).
    """
    listed_queries, listed_corpus = check_trees(queries, "queries"), check_trees(corpus, "corpus")
    k, limit = check_nearest_arguments(k, max_distance, len(listed_corpus))
    per_task, seconds = task_workers(workers), check_timeout(timeout)
    if not listed_queries:  # nothing to send: the local call's empty result
        return nearest_here(listed_queries, listed_corpus, k, max_distance=max_distance)
    encoded_queries, encoded_corpus = encode(listed_queries, listed_corpus, rename=None)
    packed_queries = pack(encoded_queries.parents, encoded_queries.codes)
    parts: dict[int, Any] = {}
    with ExitStack() as stack:
        connected = connect(client, stack)
        wanted = check_count(blocks, "blocks") if blocks is not None else 4 * cluster_threads(connected)
        count = len(listed_queries)
        task_count = max(1, min(wanted, count))
        bounds = sorted({round(count * part / task_count) for part in range(task_count + 1)})
        ranges = list(zip(bounds, bounds[1:]))
        carried_corpus = carry(connected, pack(encoded_corpus.parents, encoded_corpus.codes))
        tasks = {(r, 0): connected.submit(nearest_block, pack_range(packed_queries, begin, end), carried_corpus,
                                          k, limit, per_task, seconds, pure=False)
                 for r, (begin, end) in enumerate(ranges)}

        def place(r: int, c: int, part: Any) -> None:
            parts[r] = part

        gather_blocks(connected, "grix.dask.nearest", tasks, seconds, progress,
                      lambda r, c: ranges[r][1] - ranges[r][0], place)
    ordered = [parts[r] for r in range(len(ranges))]
    counts = {key: sum(part[2][key] for part in ordered) for key in ordered[0][2]}
    return NearestResult(np.concatenate([part[0] for part in ordered]),
                         np.concatenate([part[1] for part in ordered]), counts)

