"""Many trees at once: condensed distance vectors and distance matrices,
computed natively on all cores (threshold joins: join.py)."""

from __future__ import annotations

import os
import sys
from collections.abc import Callable, Sequence
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

from . import _core
from .distance import check_threads, check_timeout, check_tree, label_table
from .tree import Tree

# Rough cost model for deciding whether a bar is worth showing by default.
SECONDS_PER_CELL = 2e-9
SECONDS_PER_PAIR = 1e-6
# A label cost table larger than this would take more memory than it saves.
MAX_LABEL_TABLE = 50_000_000


def default_workers() -> int:
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # not on Linux
        return os.cpu_count() or 1


def check_workers(workers: object) -> int:
    return default_workers() if workers is None else check_threads(workers, "workers")


def check_trees(trees: object, name: str) -> list[Tree]:
    if isinstance(trees, Tree) or not isinstance(trees, Sequence) and not hasattr(trees, "__iter__"):
        raise TypeError(f"{name} must be a sequence of grix.Tree")
    listed = list(trees)  # type: ignore[call-overload]
    for number, tree in enumerate(listed):
        check_tree(tree, f"{name}[{number}]")
    return listed


@dataclass
class Encoded:
    """Trees as the engine takes them: parents and label codes per tree, with
    codes shared by all trees given together, and the rename costs between
    codes (None: label equality)."""

    parents: list[npt.NDArray[np.int32]]
    codes: list[npt.NDArray[np.int32]]
    label_costs: npt.NDArray[np.int32] | None = None

    def corpus(self, start: int = 0, stop: int | None = None) -> _core.Corpus:
        return _core.Corpus(self.parents[start:stop], self.codes[start:stop])


def encode(*groups: list[Tree], rename: Callable[[str, str], int] | None) -> list[Encoded]:
    """Encodes groups of trees with one code per distinct label across all of
    them, and evaluates `rename` once per distinct label pair."""
    if rename is not None and not callable(rename):
        raise TypeError("rename must be None or a callable (label1, label2) -> int for many trees; "
                        "a per-node matrix fits only one pair (grix.distance)")
    code_of: dict[str, int] = {}
    encoded = []
    for trees in groups:
        codes = [np.fromiter((code_of.setdefault(label, len(code_of)) for label in tree.labels),
                             dtype=np.int32, count=len(tree)) for tree in trees]
        encoded.append(Encoded([tree.parents for tree in trees], codes))
    labels = list(code_of)
    if rename is not None:
        if len(labels) ** 2 > MAX_LABEL_TABLE:
            raise ValueError(f"the trees hold {len(labels)} distinct labels: a rename table of "
                             f"{len(labels)}^2 entries is too large; use rename=None")
        table = label_table(rename, labels, labels)
        for group in encoded:
            group.label_costs = table
    return encoded


class Progress:
    """A tqdm bar over dynamic-programming cells, or nothing."""

    def __init__(self, progress: bool | None, cells: Callable[[], float], pairs: int,
                 workers: int) -> None:
        self.bar = None
        if progress is False or pairs == 0:
            return
        if progress is None and not sys.stderr.isatty():
            return
        total = cells()
        seconds = (total * SECONDS_PER_CELL + pairs * SECONDS_PER_PAIR) / workers
        if progress is None and seconds <= 2:
            return
        from tqdm.auto import tqdm

        self.bar = tqdm(total=int(total), unit="cell", unit_scale=True, dynamic_ncols=True)

    def update(self, done: int) -> None:
        if self.bar is not None:
            self.bar.update(max(0, min(done, self.bar.total) - self.bar.n))

    def __enter__(self) -> Callable[[int], None] | None:
        return self.update if self.bar is not None else None

    def __exit__(self, *exc: object) -> None:
        if self.bar is not None:
            self.bar.close()


def run_batch(a: Encoded, b: Encoded | None, *, first: npt.NDArray[np.int32] | None = None,
              second: npt.NDArray[np.int32] | None = None, workers: int, progress: bool | None,
              timeout: float | None, pairs: int) -> npt.NDArray[np.int32]:
    corpus_a = a.corpus()
    corpus_b = b.corpus() if b is not None else None
    costs = a.label_costs
    bar = Progress(progress, lambda: _core.batch_cells(corpus_a, corpus_b, first, second), pairs, workers)
    with bar as report:
        return _core.batch(corpus_a, corpus_b, first, second, costs, workers, timeout, report)


def pairwise(trees: Sequence[Tree], *, rename: Callable[[str, str], int] | None = None,
             workers: int | None = None, progress: bool | None = None,
             timeout: float | None = None) -> npt.NDArray[np.int32]:
    """The distances of all pairs of `trees` as a condensed vector, in the
    layout of ``scipy.spatial.distance.pdist``: pair (i, j), i < j, in
    row-major order. ``squareform`` and ``linkage`` take it as it is. Each
    entry turns trees[i] into trees[j]; with a `rename` that is not
    symmetric, the other direction can differ (use :func:`cdist` for both).

    rename: None (label equality) or a callable ``(label1, label2) -> int``,
        called once per distinct label pair of all the trees.
    workers: threads, each computing one pair at a time; None means all cores.
    progress: True shows a tqdm bar that advances by work done; None shows one
        when stderr is a terminal and the work is estimated at over 2 s.
    timeout: seconds, or None.

    Each tree is converted and prepared once; each pair runs in its cheaper
    orientation. Memory: the result plus three small scratch matrices per
    worker. Raises TimeoutError, KeyboardInterrupt (Ctrl-C; threads joined
    first), TypeError or ValueError for bad arguments.
    """
    listed = check_trees(trees, "trees")
    workers, seconds = check_workers(workers), check_timeout(timeout)
    (encoded,) = encode(listed, rename=rename)
    count = len(listed) * (len(listed) - 1) // 2
    return run_batch(encoded, None, workers=workers, progress=progress, timeout=seconds, pairs=count)


def square_matrix(condensed: npt.NDArray[np.int32], count: int) -> npt.NDArray[np.int32]:
    """The symmetric (count, count) matrix of a condensed vector, as scipy's
    ``squareform`` makes it."""
    matrix = np.zeros((count, count), dtype=np.int32)
    upper = np.triu_indices(count, 1)
    matrix[upper] = condensed
    matrix.T[upper] = condensed
    return matrix


def cdist(trees_a: Sequence[Tree], trees_b: Sequence[Tree], *,
          rename: Callable[[str, str], int] | None = None, workers: int | None = None,
          progress: bool | None = None, timeout: float | None = None) -> npt.NDArray[np.int32]:
    """The (len(trees_a), len(trees_b)) int32 matrix of distances, as
    :func:`pairwise` computes them."""
    listed_a, listed_b = check_trees(trees_a, "trees_a"), check_trees(trees_b, "trees_b")
    workers, seconds = check_workers(workers), check_timeout(timeout)
    encoded_a, encoded_b = encode(listed_a, listed_b, rename=rename)
    result = run_batch(encoded_a, encoded_b, workers=workers, progress=progress, timeout=seconds,
                       pairs=len(listed_a) * len(listed_b))
    return result.reshape(len(listed_a), len(listed_b))
