"""The JSON edit distance: JSON documents compared with unordered objects.

A document becomes a tree as :meth:`grix.Tree.from_json` builds it: an
object node (``{}``) with one key node per member, whose only child is the
member's value; an array node (``[]``) with its elements in order; literals as
leaves. The distance is JEDI's (Hütter, Augsten, Kirsch, Carey and Li, 2022):
the least number of node deletions, insertions and renames under a
constrained mapping (disjoint subtrees map to disjoint subtrees) in which
nodes of different kinds never map, array elements keep their order, and the
members of two objects are matched one to one in any order by a minimum-cost
bipartite matching. Reordering an object's members costs nothing::

    >>> import grix
    >>> grix.json_distance('{"a": 1, "b": [1, 2]}', '{"b": [1, 2], "a": 1}')
    0
    >>> grix.json_distance('{"a": 1, "b": [1, 2]}', '{"b": [2, 1], "a": 2}')
    3

The engine fills two n1 x n2 int matrices per pair; time O(n1 * n2 * d) for
d the widest node. Joins use the label multiset bound and a greedy top-down
mapping as lower and upper bounds, so most pairs are never computed.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

from . import _core, readers
from .distance import check_timeout, check_workers
from .edits import Mapping
from .join_results import JoinResult, check_threshold
from .readers.json_data import ARRAY, KEY, LITERAL, OBJECT, json_text
from .progress import Bar
from .tree import Tree

__all__ = ["JSONMapping", "json_cdist", "json_distance", "json_join", "json_mapping", "json_paired",
           "json_pdist", "json_tree"]

_VALUE_KINDS = {"{}": OBJECT, "[]": ARRAY}

Ints = npt.NDArray[np.int32]


def json_tree(doc: Any) -> Tree[Any]:
    """``doc`` as a JSON tree: a :class:`grix.Tree` is returned as it is
    (it must have the shape ``Tree.from_json`` gives), JSON text (str or
    bytes) and decoded data (dict, list, str, numbers, bool, None) are read
    by ``Tree.from_json``. Raises as that does."""
    if isinstance(doc, Tree):
        return doc
    return Tree._of(readers.read_json(doc))


def json_kinds(tree: Tree[Any], name: str) -> Ints:
    """The kind of every node: an object's children are keys, every other
    node is a value whose label says its kind (a literal's label is its JSON
    text, so a string is quoted and never reads as ``{}`` or ``[]``). The
    engine checks the rest of the shape (one value per key, leaves for
    literals) and names the node that breaks it."""
    labels = tree.labels
    parents = tree.parents.tolist()
    kinds = [0] * len(labels)
    for v, label in enumerate(labels):
        p = parents[v]
        kinds[v] = KEY if p >= 0 and kinds[p] == OBJECT else _VALUE_KINDS.get(label, LITERAL)
    if kinds and kinds[0] == LITERAL and len(labels) > 1:
        raise ValueError(f"{name} is not a JSON tree: its root {labels[0]!r} is a literal with children; "
                         "build JSON trees with Tree.from_json")
    return np.asarray(kinds, dtype=np.int32)


class Encoded:
    """Trees as the engine takes them: parents, kinds and label codes from
    one numbering of (kind, label) for all the trees of a call. Documents
    given as text go from grix._core's reader straight to these arrays,
    with no tree in between (their entry in ``trees`` is None)."""

    def __init__(self, *groups: tuple[str, Sequence[Any]]) -> None:
        codes = _core.JsonLabelCodes()
        self.groups: list[tuple[list[Tree[Any] | None], list[Ints], list[Ints], list[Ints]]] = []
        for name, docs in groups:
            trees: list[Tree[Any] | None] = []
            parents, kinds, labels = [], [], []
            for k, doc in enumerate(docs):
                tree = None
                read = None
                if isinstance(doc, (str, bytes, bytearray)):
                    read = codes.read(json_text(doc), True)
                if read is None:  # a tree, data, or text Python's json must read
                    tree = json_tree(doc)
                    node_kinds = json_kinds(tree, name if isinstance(docs, tuple) else f"{name}[{k}]")
                    read = tree.parents, node_kinds, codes.encode(node_kinds, tree.labels)
                trees.append(tree)
                parents.append(read[0])
                kinds.append(read[1])
                labels.append(read[2])
            self.groups.append((trees, parents, kinds, labels))

    def arrays(self, group: int) -> tuple[list[Ints], list[Ints], list[Ints]]:
        _, parents, kinds, labels = self.groups[group]
        return parents, kinds, labels

    def pair(self) -> tuple[Ints, Ints, Ints, Ints, Ints, Ints]:
        (_, p1, k1, l1), (_, p2, k2, l2) = self.groups
        return p1[0], k1[0], l1[0], p2[0], k2[0], l2[0]

def check_documents(docs: object, name: str) -> list[Any]:
    if isinstance(docs, (str, bytes, bytearray, dict, Tree)) or not isinstance(docs, Sequence):
        raise TypeError(f"{name} must be a sequence of JSON documents (text, data or JSON trees), "
                        f"not {type(docs).__name__}")
    return list(docs)


def _pair(t1: Any, t2: Any) -> Encoded:
    return Encoded(("t1", (t1,)), ("t2", (t2,)))


def json_distance(t1: Any, t2: Any, *, timeout: float | None = None) -> int:
    """The JSON edit distance between two documents: JSON text (str or
    bytes), decoded data, or trees from ``Tree.from_json``.

    Unit costs: deleting or inserting a node costs 1, renaming a key or a
    literal 1; nodes of different kinds never map onto each other. An object
    and an array facing each other cost a delete and an insert, and their
    children can still map (as tree-similarity's JEDI prices them), so
    ``json_distance('[null, {}]', '{"c": 2, "b": {}}')`` is 5: the inner
    ``{}`` maps to the value of ``"b"``. A literal never maps to an object
    or array, where the ordered distance renames it, so this distance can
    exceed :func:`grix.distance` of the same trees (``'1'`` against
    ``'{}'``: 2 against 1). The result
    is a metric, 0 exactly for documents equal up to the order of object
    members. Time O(n1 * n2 * d), d the most children of a node; memory two
    n1 x n2 int matrices (refused with MemoryError when they would not fit).
    Raises ValueError for bad JSON text or a tree that is not a JSON tree,
    TypeError for data JSON cannot hold, TimeoutError, KeyboardInterrupt.
    """
    seconds = check_timeout(timeout)
    return int(_core.json_distance(*_pair(t1, t2).pair(), timeout=seconds))


class JSONMapping(Mapping[int]):
    """A least-cost JSON edit mapping (see :class:`grix.Mapping` for the
    fields). Its pairs keep ancestors and the order of array elements, but
    not the order of object members, so it has no ordered edit script."""

    def edit_script(self) -> list[Any]:
        """Not available: raises ValueError (an ordered edit script cannot
        move object members)."""
        raise ValueError("a JSON mapping matches object members in any order; "
                         "an edit script needs an ordered mapping (grix.mapping)")


def json_mapping(t1: Any, t2: Any, *, timeout: float | None = None) -> JSONMapping:
    """A mapping of least cost between two documents, with the arguments and
    errors of :func:`json_distance`: its ``distance``, the matched ``pairs``
    (nodes of the two JSON trees ``t1`` and ``t2``, whose ``source`` are the
    paths in the documents), ``deleted`` and ``inserted``. At most about the
    time of the distance, and the same memory."""
    seconds = check_timeout(timeout)
    tree1, tree2 = json_tree(t1), json_tree(t2)  # the pairs name their nodes
    distance, pairs = _core.json_mapping(*_pair(tree1, tree2).pair(), timeout=seconds)
    matched1, matched2 = set(pairs[:, 0].tolist()), set(pairs[:, 1].tolist())
    return JSONMapping(tree1, tree2, int(distance), pairs.tolist(),
                       [i for i in range(len(tree1)) if i not in matched1],
                       [j for j in range(len(tree2)) if j not in matched2])


def json_pdist(docs: Sequence[Any], *, workers: int | None = None, timeout: float | None = None) -> Ints:
    """JSON edit distances of all pairs i < j of `docs` as a condensed int32
    vector (the layout of ``scipy.spatial.distance.pdist``). workers: threads
    (None or -1: all cores), one pair at a time each; memory two matrices per
    worker for its largest pair. Errors as :func:`json_distance`."""
    listed = check_documents(docs, "docs")
    count, seconds = check_workers(workers), check_timeout(timeout)
    encoded = Encoded(("docs", listed))
    return np.asarray(_core.json_batch(*encoded.arrays(0), workers=count, timeout=seconds))


def json_cdist(docs_a: Sequence[Any], docs_b: Sequence[Any], *, workers: int | None = None,
               timeout: float | None = None) -> Ints:
    """The (len(docs_a), len(docs_b)) int32 matrix of JSON edit distances,
    with the arguments of :func:`json_pdist`."""
    listed_a, listed_b = check_documents(docs_a, "docs_a"), check_documents(docs_b, "docs_b")
    count, seconds = check_workers(workers), check_timeout(timeout)
    encoded = Encoded(("docs_a", listed_a), ("docs_b", listed_b))
    d = _core.json_batch(*encoded.arrays(0), *encoded.arrays(1), workers=count, timeout=seconds)
    return np.asarray(d).reshape(len(listed_a), len(listed_b))


def json_paired(docs1: Sequence[Any], docs2: Sequence[Any], *, workers: int | None = None,
                timeout: float | None = None) -> Ints:
    """The JSON edit distance of (docs1[k], docs2[k]) for every k, as an
    int32 vector; the sequences must be of equal length."""
    listed1, listed2 = check_documents(docs1, "docs1"), check_documents(docs2, "docs2")
    if len(listed1) != len(listed2):
        raise ValueError(f"docs1 and docs2 differ in length ({len(listed1)} and {len(listed2)})")
    count, seconds = check_workers(workers), check_timeout(timeout)
    encoded = Encoded(("docs1", listed1), ("docs2", listed2))
    index = np.arange(len(listed1), dtype=np.int32)
    return np.asarray(_core.json_batch(*encoded.arrays(0), *encoded.arrays(1), first=index, second=index,
                                       workers=count, timeout=seconds))


def json_join(docs: Sequence[Any], threshold: float, *, workers: int | None = None, distances: bool = True,
              progress: bool | None = None, timeout: float | None = None) -> JoinResult:
    """Every pair of `docs` within JSON edit distance `threshold`, with its
    distance (a :class:`grix.JoinResult`).

    Only pairs whose sizes differ by at most the threshold and that share a
    label among the rarest threshold + 1 of each (prefix filtering) are
    looked at; of those, the label multiset bound prunes, a greedy top-down
    mapping (members by equal key, elements by position) decides a pair when
    it costs as much as the lower bound, and the rest are computed.
    distances=False accepts pairs whose greedy mapping is within the
    threshold without computing them (distance -1). No pair within the
    threshold is missed. Errors as :func:`json_pdist`.
    """
    listed = check_documents(docs, "docs")
    count, seconds = check_workers(workers), check_timeout(timeout)
    limit = check_threshold(threshold)
    encoded = Encoded(("docs", listed))
    with Bar(progress, len(listed), "tree") as report:
        first, second, found, counts = _core.json_join(*encoded.arrays(0), limit, bool(distances), count,
                                                       seconds, report)
    counts.setdefault("pruned_by_preorder", 0)
    counts.setdefault("pruned_by_postorder", 0)
    return JoinResult(first, second, found, limit, counts)

