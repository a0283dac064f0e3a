"""Bracket text such as ``{a{b}{c}}``."""

from __future__ import annotations

import re

from .common import Preorder

# A bracket token: a brace, or a run of label text in which a backslash always
# takes the next character with it (so "\}" never ends a node).
_BRACKET_TOKEN = re.compile(r"[{}]|(?:[^{}\\]+|\\[\s\S]?)+")
_BRACKET_UNESCAPE = re.compile(r"\\([{}\\])")


def read_bracket(text: str) -> Preorder[int]:
    """Parse bracket notation such as ``{a{b}{c}}`` (see ``Tree.from_bracket``);
    the source of a node is the offset of its ``{``."""
    if not isinstance(text, str):
        raise TypeError(f"bracket text must be a str, not {type(text).__name__}")
    labels: list[str] = []
    parents: list[int] = []
    source: list[int] = []
    open_nodes: list[int] = []
    start = len(text) - len(text.lstrip())
    if start == len(text):
        return labels, parents, source
    closed = False
    expect_label = False
    for token in _BRACKET_TOKEN.finditer(text, start):
        value, offset = token.group(), token.start()
        # Point at the first character that matters, not at leading blanks.
        offset += len(value) - len(value.lstrip())
        if closed:
            if value.strip():
                raise ValueError(f"bracket text: text after the tree at offset {offset}")
        elif value == "{":
            parents.append(open_nodes[-1] if open_nodes else -1)
            open_nodes.append(len(labels))
            labels.append("")
            source.append(offset)
            expect_label = True
            continue
        elif value == "}":
            if not open_nodes:
                raise ValueError(f"bracket text: unexpected '}}' at offset {offset}")
            open_nodes.pop()
            closed = not open_nodes
        elif expect_label:
            labels[-1] = _BRACKET_UNESCAPE.sub(r"\1", value)
        elif not open_nodes:
            raise ValueError(f"bracket text: expected '{{' at offset {offset}")
        elif value.strip():
            raise ValueError(
                f"bracket text: text between nodes at offset {offset}; "
                "a label must follow its '{' directly"
            )
        expect_label = False
    if open_nodes:
        raise ValueError(f"bracket text: unclosed '{{' opened at offset {source[open_nodes[-1]]}")
    return labels, parents, source
