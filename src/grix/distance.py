"""The tree edit distance of two trees, in the cheaper of two orientations."""

from __future__ import annotations

import numbers
import os
import sys
from typing import Any, Literal, overload

from . import _core, progress as progress_bar
from .costs import (EngineCosts, IntNodeCost, IntRename, NodeCost, Rename, check_metric_costs, class_weight_costs,
                    pair_costs, whole_cost)
from .tree import Tree

#: Time-outs of this many seconds (31 years) or more mean no limit: a
#: deadline in clock nanoseconds overflows not far above (at 9.2e9 s).
NO_LIMIT_SECONDS = 1e9


def check_tree(tree: object, name: str) -> Tree:
    if not isinstance(tree, Tree):
        raise TypeError(f"{name} must be a grix.Tree, not {type(tree).__name__}; "
                        "build one with a Tree.from_... constructor or grix.load")
    return tree


def all_cores() -> int:
    """The cores this process may run on."""
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # not on Linux
        return os.cpu_count() or 1


def check_count(count: object, name: str) -> int:
    """A positive int of at most 1024 (a thread or block count)."""
    if isinstance(count, bool) or not isinstance(count, numbers.Integral):
        raise TypeError(f"{name} must be an int, not {type(count).__name__}")
    number = int(count)
    if not 1 <= number <= 1024:
        raise ValueError(f"{name} must be between 1 and 1024, not {number}")
    return number


def check_workers(workers: object) -> int:
    """Threads for one call: None or -1 mean all the cores the process may
    use, otherwise 1 to 1024."""
    if type(workers) is int and 1 <= workers <= 1024:  # the common case, without the ABC checks below
        return workers
    if workers is None or (isinstance(workers, numbers.Integral) and not isinstance(workers, bool)
                           and int(workers) == -1):
        return all_cores()
    if isinstance(workers, bool) or not isinstance(workers, numbers.Integral):
        raise TypeError(f"workers must be an int or None, not {type(workers).__name__}")
    if not 1 <= int(workers) <= 1024:
        raise ValueError(f"workers must be between 1 and 1024, or -1 or None for all cores, "
                         f"not {int(workers)}")
    return int(workers)


Algorithm = Literal["auto", "keyroot", "strategy"]
ALGORITHMS = ("auto", "keyroot", "strategy")


def check_algorithm(algorithm: object) -> str:
    if algorithm not in ALGORITHMS:
        raise ValueError(f'algorithm must be "auto", "keyroot" or "strategy", not {algorithm!r}')
    return str(algorithm)


def check_max_distance(max_distance: object) -> int:
    """A bound as grix._core takes it: -1 for None, else an int of at least 0."""
    if max_distance is None:
        return -1
    if isinstance(max_distance, bool) or not isinstance(max_distance, numbers.Integral):
        raise TypeError(f"max_distance must be an int or None, not {type(max_distance).__name__}")
    if int(max_distance) < 0:
        raise ValueError(f"max_distance must be at least 0, not {int(max_distance)}")
    return int(max_distance)


def check_timeout(timeout: object) -> float | None:
    if timeout is None:
        return None
    if isinstance(timeout, bool) or not isinstance(timeout, numbers.Real):
        raise TypeError(f"timeout must be a number of seconds or None, not {type(timeout).__name__}")
    seconds = float(timeout)
    if not seconds >= 0:
        raise ValueError(f"timeout must be at least 0 seconds, not {seconds}")
    return None if seconds >= NO_LIMIT_SECONDS else seconds


@overload
def distance(t1: Tree, t2: Tree, *, rename: IntRename = None, delete: IntNodeCost = None,
             insert: IntNodeCost = None, workers: int | None = 1, timeout: float | None = None,
             progress: bool | None = None, algorithm: Algorithm = "auto",
             max_distance: int | None = None) -> int: ...
@overload
def distance(t1: Tree, t2: Tree, *, rename: Rename = None, delete: NodeCost = None,
             insert: NodeCost = None, workers: int | None = 1, timeout: float | None = None,
             progress: bool | None = None, algorithm: Algorithm = "auto",
             max_distance: int | None = None) -> float: ...
def distance(t1: Tree, t2: Tree, *, rename: Rename = None, delete: NodeCost = None,
             insert: NodeCost = None, workers: int | None = 1, timeout: float | None = None,
             progress: bool | None = None, algorithm: Algorithm = "auto",
             max_distance: int | None = None) -> int | float:
    """The tree edit distance between `t1` and `t2`: the least total cost of
    deleting nodes of t1, inserting nodes of t2 and renaming nodes that turns
    `t1` into `t2`. Exact, with any costs.

    rename: None (label equality: 0 for equal labels, 1 otherwise); a callable
        ``(label1, label2) -> number``, called once per distinct label pair,
        not per node pair; :class:`grix.LabelClasses`, costs between classes
        of labels; or an n1 x n2 array of numbers (int or float) whose
        [i, j] renames node i of t1 into node j of t2. Renames may be
        negative. A rename dearer than deleting the one node and inserting
        the other acts as that sum.
    delete, insert: None (1 each); one number for every node; a callable
        ``label -> number``, called once per distinct label; or one number per
        node of t1 (delete) or t2 (insert), as a sequence or array. At least 0.
    Every cost is finite or ``math.inf``, which means "never": that node may
    not be deleted, inserted or renamed that way (the distance is inf when
    nothing else is left). NaN and -inf are refused.
    workers: threads for large levels of subproblems; None or -1 means all the
        cores the process may use. Each costs an (n1+1) x (n2+1) scratch
        matrix; more workers than cores only cost.
    timeout: seconds, or None for no limit (as are 1e9 s and more, infinity too).
    progress: True shows a tqdm bar in percent of the work; None shows one when
        stderr is a terminal and the call is estimated at over 2 s.

    Returns an int when every cost is an integer and a float otherwise.
    Integer costs run in 32-bit integers, or exactly in doubles where a sum
    could leave that range (refused only past 2**53); fractional costs run in
    doubles, at most twice the memory.

    algorithm: how to compute the pair. "keyroot" decomposes every subtree
        along the same side: both trees are priced as given and mirrored
        (every node's children reversed) in time linear in their sizes, and
        the cheaper orientation runs; mirroring both leaves the distance
        unchanged, and the two can differ in time by orders of magnitude.
        "strategy" chooses a path (leftmost, rightmost or heavy, in either
        tree) for every pair of subtrees, which bounds the work by O(n^3)
        where every fixed side costs about n^4: trees whose spine turns from
        side to side, or that hold both a first-child and a last-child spine.
        Planning it takes a few nanoseconds per pair of subtrees. "auto" (the
        default) predicts both and runs the faster; it plans only where the
        keyroot schedule would cost far more than planning.
    max_distance: None, or an int bound: the distance when it is at most the
        bound, otherwise ``max_distance + 1`` (a marker, not a distance).
        Where the costs allow a band (below), the answer costs at most a
        band of width 2 * max_distance + 1; otherwise the full computation
        runs and its result is capped.

    Large, close pairs (a file against its next version) run in a band of
    pre-order ids under "auto": from a cheap lower bound K, doubled until
    the band's computation certifies the distance, in memory n1 * (2K + 1)
    instead of n1 * n2, with the same exact result. This needs integer
    costs with every delete and insert at least 1 and no negative rename
    (unit costs, say); other costs (fractions, free deletes or inserts,
    negative renames), "keyroot" and "strategy" run the full computation,
    as does a pair whose band would cost more than it.

    Memory: one n1 x n2 matrix (two when rename is an array or the strategy
    runs) plus one (n1+1) x (n2+1) per worker, of 4-byte ints or 8-byte
    doubles; the strategy adds one byte per pair of subtrees and four
    (n+1) x (n+1) matrices of the larger tree.

    Raises TypeError or ValueError for bad arguments, TimeoutError after
    `timeout` seconds, KeyboardInterrupt on Ctrl-C (the computation is stopped
    and its threads joined within a fraction of a second), and MemoryError when
    the matrices cannot fit.
    """
    if progress is False or progress is None and not sys.stderr.isatty():
        # No bar: for unit costs the engine numbers the labels itself, and
        # for costs by class and weight (grix.rna's) reads them too, which
        # keeps a loop over many small pairs close to the engine's own speed.
        unit = rename is None and delete is None and insert is None
        if unit:
            check_tree(t1, "t1")
            check_tree(t2, "t2")
            return int(_core.distance_of_labels(t1.parents, t1.labels, t2.parents, t2.labels,
                                                check_workers(workers), check_timeout(timeout),
                                                check_algorithm(algorithm), check_max_distance(max_distance)))
        form = class_weight_costs(rename, delete, insert)
        if form is not None:
            found = _core.class_weight_distance(
                check_tree(t1, "t1").parents, t1.labels, check_tree(t2, "t2").parents, t2.labels, form.model,
                check_workers(workers), check_timeout(timeout), check_algorithm(algorithm),
                check_max_distance(max_distance))
            if found is not None:  # else a label the engine cannot read: the callables report it
                return found
    bound = check_max_distance(max_distance)
    call = PairCall(t1, t2, rename, delete, insert, workers, timeout, progress, algorithm)
    with call.bar() as report:
        return call.costs.result(_core.distance(*call.trees, **call.arguments(report), max_distance=bound))


class PairCall:
    """The checked arguments of one pair as grix._core takes them."""

    def __init__(self, t1: Tree, t2: Tree, rename: Rename, delete: NodeCost, insert: NodeCost,
                 workers: int | None, timeout: float | None, progress: bool | None,
                 algorithm: Algorithm = "auto") -> None:
        self.t1, self.t2 = check_tree(t1, "t1"), check_tree(t2, "t2")
        self.algorithm = check_algorithm(algorithm)
        self.workers = check_workers(workers)
        self.timeout = check_timeout(timeout)
        if progress is not None and not isinstance(progress, bool):
            raise TypeError(f"progress must be True, False or None, not {type(progress).__name__}")
        self.progress = progress
        self.costs, codes1, codes2 = pair_costs(t1, t2, rename, delete, insert)
        self.trees = (t1.parents, codes1, t2.parents, codes2)

    def bar(self) -> progress_bar.WorkBar:
        cells = 0

        def seconds() -> float:
            nonlocal cells
            if self.algorithm != "keyroot":
                price = _core.price(self.t1.parents, self.t2.parents, self.algorithm)
                if price["chosen"] == "strategy":
                    # Its progress counts keyroot-cell equivalents too.
                    cells = max(1, int(price["strategy_cells"]))
                    return float(price["strategy"])
            cells = min(schedule_cells(self.t1, self.t2))
            return cells * progress_bar.SECONDS_PER_CELL / min(self.workers, 2)

        show = progress_bar.wanted(self.progress, seconds)
        if show and not cells:
            seconds()
        return progress_bar.WorkBar(show, cells)

    def arguments(self, report: Any) -> dict[str, Any]:
        return {**self.costs.pair_arguments(), "workers": self.workers, "timeout": self.timeout,
                "progress": report, "algorithm": self.algorithm}


def normalized_distance(t1: Tree, t2: Tree, *, method: Literal["metric", "max"] = "metric",
                        rename: Rename = None, delete: NodeCost = None, insert: NodeCost = None,
                        workers: int | None = 1, timeout: float | None = None,
                        progress: bool | None = None, algorithm: Algorithm = "auto") -> float:
    """The distance scaled to compare trees of different sizes, as a float.

    method "metric" (the default): 2d / (D1 + I2 + d), where d is the
        distance, D1 the cost of deleting all of t1 and I2 the cost of
        inserting all of t2. With unit costs this is 2d / (n1 + n2 + d), Li and
        Chen's normalisation: a metric with values in [0, 1]. It stays in
        [0, 1] whenever renames are not negative. A node whose delete (of t1)
        or insert (of t2) cost is inf leaves no finite D1 + I2 to scale by,
        and the scaled values would say 0 for trees that differ: such costs
        are refused (ValueError) before anything is computed.
    method "max": d / max(n1, n2), the normalisation of TEDS. It exceeds 1
        when costs above 1 make d larger than the larger tree (inf when d is).
    Two empty trees are at 0.0. The other arguments are those of
    :func:`distance`.
    """
    if method not in ("metric", "max"):
        raise ValueError(f'method must be "metric" or "max", not {method!r}')
    call = PairCall(t1, t2, rename, delete, insert, workers, timeout, progress, algorithm)
    if method == "metric":
        check_metric_costs(call.costs.delete, call.costs.insert)
    with call.bar() as report:
        d = float(_core.distance(*call.trees, **call.arguments(report)))
    return normalize(d, call.costs, len(t1), len(t2), method)


def normalize(d: float, costs: EngineCosts, n1: int, n2: int, method: str) -> float:
    if method == "max":
        largest = max(n1, n2)
        return d / largest if largest else 0.0
    whole = whole_cost(costs.delete, n1) + whole_cost(costs.insert, n2) + d
    return 2 * d / whole if whole else 0.0


def schedule_cells(t1: Tree, t2: Tree) -> tuple[int, int]:
    """The dynamic-programming cells of the pair as given and mirrored; the
    distance computes the smaller."""
    given1, mirrored1 = _core.cell_factors(check_tree(t1, "t1").parents)
    given2, mirrored2 = _core.cell_factors(check_tree(t2, "t2").parents)
    return given1 * given2, mirrored1 * mirrored2
