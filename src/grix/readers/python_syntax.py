"""Python syntax trees, from :mod:`ast`."""

from __future__ import annotations

import ast
import warnings
from collections.abc import Callable

from .common import AncestorPath, Preorder, decode_python, label_with_text

_AST_FIELDS = ("id", "name", "arg", "attr", "module")
# For each node type met so far: its name, and the field whose text joins the
# name in the label (None for none), or _CONSTANT for constants.
_AST_LABEL_OF: dict[type[ast.AST], tuple[str, str | None]] = {}
_CONSTANT = "<constant>"


def _ast_label_parts(kind: type[ast.AST]) -> tuple[str, str | None]:
    if issubclass(kind, ast.Constant):
        return kind.__name__, _CONSTANT
    return kind.__name__, next((f for f in _AST_FIELDS if f in kind._fields), None)


def _constant_label(name: str, value: object) -> str:
    if isinstance(value, int) and value.bit_length() > 10_000:
        # repr would refuse so many digits; hexadecimal has no limit.
        return label_with_text(name, format(value, "x"), shown=f"<int of {value.bit_length()} bits>")
    return label_with_text(name, repr(value))


def ast_label(node: ast.AST) -> str:
    """Type name, plus ``:`` and the identifier or constant the node carries.

    A constant whose ``repr`` is longer than 40 characters is shown by its
    first 39 and ``…``, followed by ``#`` and 16 hexadecimal digits of a
    digest of the whole ``repr``: two such labels are equal exactly when the
    values are (but for a 1 in 2**64 chance).
    """
    kind = type(node)
    parts = _AST_LABEL_OF.get(kind) or _AST_LABEL_OF.setdefault(kind, _ast_label_parts(kind))
    name, field = parts
    if field is None:
        return name
    if field is _CONSTANT:
        return _constant_label(name, getattr(node, "value", None))
    value = getattr(node, field, None)
    return f"{name}:{value}" if isinstance(value, str) else name


def read_python(
    node_or_source: ast.AST | str | bytes,
    label: Callable[[ast.AST], object] | None = None,
    *,
    context: bool = False,
) -> Preorder[ast.AST]:
    """A Python syntax tree, or source text parsed first (see ``Tree.from_ast``)."""
    if isinstance(node_or_source, (str, bytes)):
        if isinstance(node_or_source, bytes):
            node_or_source = decode_python(node_or_source)
        try:
            with warnings.catch_warnings():
                # Invalid escapes and the like are the compared code's business.
                warnings.simplefilter("ignore", SyntaxWarning)
                warnings.simplefilter("ignore", DeprecationWarning)
                node_or_source = ast.parse(node_or_source)
        except SyntaxError as exc:
            where = f" at line {exc.lineno}, column {exc.offset}" if exc.lineno else ""
            raise ValueError(f"Python source does not parse{where}: {exc.msg}") from exc
    elif not isinstance(node_or_source, ast.AST):
        raise TypeError(f"from_ast takes an ast.AST, str or bytes, not {type(node_or_source).__name__}")
    return _walk_ast(node_or_source, label, context)


def _walk_ast(root: ast.AST, label: Callable[[ast.AST], object] | None, context: bool) -> Preorder[ast.AST]:
    """Pre-order walk with children in the order of ast.iter_child_nodes,
    less the expression contexts unless ``context``.

    Syntax trees are the largest input most users have, so this is walk()
    written out for them, with the children found inline rather than by
    ast.iter_child_nodes' generators: twice as fast. Nodes with children go
    through the same ancestor check (a hand-built tree may be cyclic).
    """
    AST = ast.AST
    # isinstance(x, ()) is always false: nothing is left out.
    left_out: type[ast.AST] | tuple[()] = () if context else ast.expr_context
    get_label = label or ast_label
    labels: list[str] = []
    parents: list[int] = []
    source: list[ast.AST] = []
    stack: list[tuple[ast.AST, int]] = [(root, -1)]
    ancestors = AncestorPath("Python syntax tree")
    while stack:
        node, parent = stack.pop()
        index = len(labels)
        text = get_label(node)
        labels.append(text if type(text) is str else str(text))
        parents.append(parent)
        source.append(node)
        kids: list[ast.AST] = []
        for field_name in node._fields:
            value = getattr(node, field_name, None)
            if isinstance(value, AST):
                if not isinstance(value, left_out):
                    kids.append(value)
            elif isinstance(value, list):
                kids += [item for item in value if isinstance(item, AST)]
        if not kids:
            continue
        ancestors.enter(node, index, parent)
        kids.reverse()
        stack += [(kid, index) for kid in kids]
    return labels, parents, source
