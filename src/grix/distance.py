"""The tree edit distance of two trees, in the cheaper of two orientations."""

from __future__ import annotations

import numbers
import os
from collections.abc import Callable, Hashable
from typing import TYPE_CHECKING, Any, Union

import numpy as np
import numpy.typing as npt

from . import _core
from .tree import Tree

if TYPE_CHECKING:
    from typing import TypeAlias

#: Rename costs: ``None`` for label equality (0 for equal labels, 1 otherwise),
#: a callable ``(label1, label2) -> int``, or an n1 x n2 integer matrix.
Rename: TypeAlias = Union[None, Callable[[str, str], int], npt.ArrayLike]

INT32_MIN, INT32_MAX = -(2**31), 2**31 - 1
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
    if workers is None or (isinstance(workers, numbers.Integral) and not isinstance(workers, bool)
                           and int(workers) == -1):
        return all_cores()
    if isinstance(workers, bool) or not isinstance(workers, numbers.Integral):
        raise TypeError(f"workers must be an int or None, not {type(workers).__name__}")
    if not 1 <= int(workers) <= 1024:
        raise ValueError(f"workers must be between 1 and 1024, or -1 or None for all cores, "
                         f"not {int(workers)}")
    return int(workers)


def check_timeout(timeout: object) -> float | None:
    if timeout is None:
        return None
    if isinstance(timeout, bool) or not isinstance(timeout, numbers.Real):
        raise TypeError(f"timeout must be a number of seconds or None, not {type(timeout).__name__}")
    seconds = float(timeout)
    if not seconds >= 0:
        raise ValueError(f"timeout must be at least 0 seconds, not {seconds}")
    return None if seconds >= NO_LIMIT_SECONDS else seconds


def label_codes(*label_lists: tuple[str, ...]) -> list[npt.NDArray[np.int32]]:
    """Numbers the distinct labels of all lists together: equal labels, equal codes."""
    code_of: dict[Hashable, int] = {}
    return [np.fromiter((code_of.setdefault(label, len(code_of)) for label in labels),
                        dtype=np.int32, count=len(labels))
            for labels in label_lists]


def checked_int32(value: Any, what: str) -> int:
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise TypeError(f"{what} must be an int, not {type(value).__name__}")
    number = int(value)
    if not INT32_MIN <= number <= INT32_MAX:
        raise ValueError(f"{what} = {number} is outside the 32-bit range")
    return number


def label_table(rename: Callable[[str, str], int], labels1: list[str],
                labels2: list[str]) -> npt.NDArray[np.int32]:
    """rename(a, b) for every distinct a of labels1 and b of labels2, called
    once per pair."""
    table = np.empty((len(labels1), len(labels2)), dtype=np.int32)
    for a, first in enumerate(labels1):
        for b, second in enumerate(labels2):
            table[a, b] = checked_int32(rename(first, second),
                                        f"rename({first[:30]!r}, {second[:30]!r})")
    return table


def cost_matrix(rename: Rename, t1: Tree, t2: Tree) -> npt.NDArray[np.int32] | None:
    """The n1 x n2 int32 rename costs that `rename` stands for, or None for
    label equality."""
    if rename is None:
        return None
    if callable(rename):
        # Codes number each tree's labels by first appearance, which is the
        # order of its distinct labels.
        rows, columns = label_codes(t1.labels), label_codes(t2.labels)
        table = label_table(rename, list(dict.fromkeys(t1.labels)), list(dict.fromkeys(t2.labels)))
        return np.ascontiguousarray(table[np.ix_(rows[0], columns[0])])
    return checked_matrix(rename, (len(t1), len(t2)))


def checked_matrix(rename: npt.ArrayLike, shape: tuple[int, int]) -> npt.NDArray[np.int32]:
    if isinstance(rename, (str, bytes)):
        raise TypeError("rename must be None, a callable or an integer matrix, not a string")
    try:
        matrix = np.asarray(rename)
    except (ValueError, TypeError):  # ragged rows and the like
        raise TypeError("rename must be None, a callable or an integer matrix "
                        "with rows of equal length") from None
    if matrix.dtype == object or not (np.issubdtype(matrix.dtype, np.integer) or matrix.dtype == bool):
        raise TypeError(f"rename must hold integers, not {matrix.dtype}")
    if matrix.shape != shape:
        raise ValueError(f"rename has shape {matrix.shape}; the trees need {shape} (n1 x n2)")
    if matrix.size and (matrix.min() < INT32_MIN or matrix.max() > INT32_MAX):
        raise ValueError("rename holds costs outside the 32-bit range")
    return np.ascontiguousarray(matrix, dtype=np.int32)


def distance(t1: Tree, t2: Tree, *, rename: Rename = None, workers: int | None = 1,
             timeout: float | None = None) -> int:
    """The tree edit distance between `t1` and `t2`: the least total cost of
    deleting nodes (1 each), inserting nodes (1 each) and renaming nodes that
    turns `t1` into `t2`. Exact.

    rename: None (label equality: 0 for equal labels, 1 otherwise); a callable
        ``(label1, label2) -> int``, called once per distinct label pair, not
        per node pair; or an n1 x n2 integer matrix (a numpy array is fine)
        whose [i, j] renames node i of t1 into node j of t2. A cost above 2 is
        never used: deleting and inserting is as cheap. Negative costs are
        allowed.
    workers: threads for large levels of subproblems; None or -1 means all the
        cores the process may use. Each costs an (n1+1) x (n2+1) scratch
        matrix; more workers than cores only cost.
    timeout: seconds, or None for no limit (as are 1e9 s and more, infinity too).

    Both trees are priced as given and mirrored (every node's children
    reversed) in time linear in their sizes, and the cheaper orientation is
    computed; mirroring both leaves the distance unchanged, and the two can
    differ in time by orders of magnitude. Memory: about three n1 x n2 int32
    matrices.

    Raises TypeError or ValueError for bad arguments, TimeoutError after
    `timeout` seconds, KeyboardInterrupt on Ctrl-C (the computation is stopped
    and its threads joined within a fraction of a second), and MemoryError when
    the matrices cannot fit.
    """
    return int(_core.distance(*engine_arguments(t1, t2, rename, workers, timeout)))


def engine_arguments(t1: Tree, t2: Tree, rename: Rename, workers: int | None,
                     timeout: float | None) -> tuple[Any, ...]:
    """The checked arguments of one pair as grix._core takes them: parents and
    label codes of both trees, rename costs, threads and timeout."""
    check_tree(t1, "t1")
    check_tree(t2, "t2")
    threads = check_workers(workers)
    seconds = check_timeout(timeout)
    costs = cost_matrix(rename, t1, t2)
    codes1, codes2 = label_codes(t1.labels, t2.labels)
    return t1.parents, codes1, t2.parents, codes2, costs, threads, seconds


def schedule_cells(t1: Tree, t2: Tree) -> tuple[int, int]:
    """The dynamic-programming cells of the pair as given and mirrored; the
    distance computes the smaller."""
    given1, mirrored1 = _core.cell_factors(check_tree(t1, "t1").parents)
    given2, mirrored2 = _core.cell_factors(check_tree(t2, "t2").parents)
    return given1 * given2, mirrored1 * mirrored2
