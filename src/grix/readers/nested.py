"""Nested Python objects and networkx graphs."""

from __future__ import annotations

import operator
from collections.abc import Callable, Hashable, Iterable, Sequence
from typing import Any, TypeVar

from .common import Preorder, short, walk

_T = TypeVar("_T")


def read_nested(
    obj: object,
    children: str | Callable[[Any], Iterable[Any]] | None = None,
    label: str | Callable[[Any], object] | None = None,
) -> Preorder[Any]:
    """Nested Python objects (see ``Tree.from_nested``); sources are the objects."""
    get_children = _accessor(children, lambda o: _nested_parts(o)[1])
    get_label = _accessor(label, lambda o: _nested_parts(o)[0])

    def expand(o: object) -> tuple[str, object, Sequence[object], object]:
        kids = get_children(o)
        if kids is None:
            kids = ()
        elif not isinstance(kids, (list, tuple)):
            try:
                kids = list(kids)
            except TypeError:
                raise TypeError(
                    f"nested data: the children of {short(o)} are {type(kids).__name__}, "
                    "not an iterable; check the children accessor"
                ) from None
        text = get_label(o)
        return text if type(text) is str else str(text), o, kids, o

    return walk(obj, expand, "nested data")


def _nested_parts(obj: Any) -> tuple[object, Sequence[object]]:
    if isinstance(obj, (tuple, list)) and len(obj) == 2 and isinstance(obj[1], (list, tuple)):
        return obj[0], obj[1]
    kids = getattr(obj, "children", None)
    if kids is not None:
        for name in ("label", "name"):
            if hasattr(obj, name):
                return getattr(obj, name), kids
    return obj, ()


def _accessor(how: str | Callable[[Any], _T] | None, default: Callable[[Any], _T]) -> Callable[[Any], _T]:
    if how is None:
        return default
    if isinstance(how, str):
        return operator.attrgetter(how)
    if callable(how):
        return how
    raise TypeError(f"expected an attribute name or a callable, not {type(how).__name__}")


def read_networkx(graph: Any, root: Hashable, label: str | None = "label") -> Preorder[Hashable]:
    """A tree in a networkx graph, from ``root`` (see ``Tree.from_networkx``)."""
    if not hasattr(graph, "is_directed") or not hasattr(graph, "nodes"):
        raise TypeError(f"from_networkx takes a networkx graph, not {type(graph).__name__}")
    if root not in graph:
        raise ValueError(f"graph: root {short(root)} is not a node of the graph")
    directed = graph.is_directed()
    next_nodes = graph.successors if directed else graph.neighbors
    attrs = graph.nodes
    reached_from: dict[Hashable, Hashable] = {}

    def expand(item: tuple[Hashable, Hashable]) -> tuple[str, object, Sequence[Any], object]:
        node, parent = item
        if node in reached_from:
            first = reached_from[node]
            how = "as the root" if first is None else f"from {short(first)}"
            raise ValueError(
                f"graph is not a tree: node {short(node)} is reached twice "
                f"({how} and from {short(parent)}); remove the extra edge"
            )
        reached_from[node] = parent
        kids = [(kid, node) for kid in next_nodes(node) if directed or kid != parent]
        data = attrs[node]
        text = data[label] if label is not None and label in data else node
        return text if type(text) is str else str(text), node, kids, None

    tree = walk((root, None), expand, "graph")
    missing = len(graph) - len(tree[0])
    if missing:
        example = next(node for node in graph if node not in reached_from)
        raise ValueError(
            f"graph: {missing} node{'s are' if missing > 1 else ' is'} not reachable from root "
            f"{short(root)} (e.g. {short(example)}); a tree's nodes all hang below its root"
        )
    return tree
