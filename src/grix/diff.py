"""Show an edit mapping to people and machines.

:func:`render_text` prints one indented tree that merges both trees,
:func:`mapping_to_json` gives a plain document for other programs, and
:func:`render_html` builds one self-contained page with both trees side by
side (its HTML, CSS and JavaScript are the package files in ``diff_page``).
Where the sources of the nodes know their line (Python syntax trees, XML
or HTML read by lxml, and JSON read from text), the text marks each change with its line and the
JSON document lists every node's line.

The text layout follows the second tree: kept, renamed and inserted nodes
stand where the second tree has them, indented two spaces per level. A
deleted node stands where it stood in the first tree, among the children of
the image of its nearest kept ancestor, ordered by its first-tree position
(or below its parent, when that parent was deleted too). The kept nodes that
follow a deleted node and were its descendants are indented below it, so
unwrapping ``a(w(p, q))`` into ``a(p, q)`` reads::

      a
      - w
          p
          q

A kept node moves below a deleted node only when all the kept nodes of its
second-tree subtree lie inside the deleted node; when the two trees group
nodes across each other, the second tree's grouping wins.
"""

from __future__ import annotations

import ast
import html
import json
import numbers
import os
import re
from collections import defaultdict
from collections.abc import Sequence
from functools import lru_cache
from importlib import resources
from typing import TYPE_CHECKING, Any

from .readers import source_line

if TYPE_CHECKING:
    from .edits import Mapping
    from .tree import Tree

__all__ = ["mapping_to_json", "render_html", "render_text", "write_html"]

#: Labels longer than this are cut in the text and on the page (the page
#: shows the whole label on hover).
LABEL_WIDTH = 80


# A node of the merged tree: (1, i) is deleted node i of t1, (2, j) is node j
# of t2 (kept, renamed or inserted); _TOP holds the merged roots.
Item = tuple[int, int]
_TOP: Item = (0, 0)

_ANSI = {"-": "\x1b[31m", "+": "\x1b[32m", "~": "\x1b[33m", "…": "\x1b[2m"}
_MARKS = ("- ", "+ ", "~ ", "… ")


def _show(label: str) -> str:
    """The label as printed; quoted when it could be misread as a mark, an
    arrow or whitespace, or when it holds control characters."""
    plain = (
        label.strip() == label != ""
        and label.isprintable()
        and not label.startswith(_MARKS)
        and " → " not in label
        and "  (line" not in label
    )
    if plain:
        return label
    # JSON escapes the control characters; the other unprintable ones (lone
    # surrogates, separators) are escaped here, and the rest stays readable.
    quoted = json.dumps(label, ensure_ascii=False)
    return "".join(c if c.isprintable() else f"\\u{ord(c):04x}" for c in quoted)


def _clip(label: str, start: int = 0) -> str:
    """``LABEL_WIDTH`` characters of ``label`` from ``start``, with ``…``
    where something was cut."""
    end = start + LABEL_WIDTH
    if start == 0 and len(label) <= end:
        return label
    return ("…" if start else "") + label[start:end] + ("…" if end < len(label) else "")


def _clip_pair(old: str, new: str) -> tuple[str, str]:
    """Two long labels cut alike, from a little before their first difference."""
    if max(len(old), len(new)) <= LABEL_WIDTH:
        return old, new
    start = max(0, len(os.path.commonprefix([old, new])) - LABEL_WIDTH // 4)
    return _clip(old, start), _clip(new, start)


_DIGEST = re.compile(r"… #[0-9a-f]{16}$")


def _whole(label: str, source: object) -> str:
    """The label, or for a Python constant cut in its label the whole
    constant, so that a rename can be shown where the two values differ."""
    if isinstance(source, ast.Constant) and _DIGEST.search(label):
        try:
            return f"{type(source).__name__}:{source.value!r}"
        except ValueError:  # an int with more digits than str() allows
            pass
    return label


def _lines(tree: Tree) -> list[int | None]:
    return [source_line(source) for source in tree.source]


def _merged_tree(m: Mapping) -> dict[Item, list[Item]]:
    """Children of each merged node, laid out as the module docstring says."""
    parents1 = [int(p) for p in m.t1.parents]
    parents2 = [int(p) for p in m.t2.parents]
    n1, n2 = len(parents1), len(parents2)
    partner1, partner2 = [-1] * n1, [-1] * n2
    for i, j in m.pairs:
        partner1[i], partner2[j] = j, i
    end1 = [v + int(size) for v, size in enumerate(m.t1.subtree_sizes)]

    # Span of the kept t1 ids inside each t2 subtree; hi < 0 when it has none.
    lo = [partner2[j] if partner2[j] >= 0 else n1 for j in range(n2)]
    hi = partner2[:]
    for j in range(n2 - 1, 0, -1):
        p = parents2[j]
        lo[p], hi[p] = min(lo[p], lo[j]), max(hi[p], hi[j])

    # Deleted nodes grouped by the t2 image of their nearest kept ancestor.
    deleted = set(m.deleted)
    anchor: dict[int, int] = {}
    by_anchor: dict[int, list[int]] = defaultdict(list)
    for d in sorted(deleted):
        p = parents1[d]
        anchor[d] = -1 if p < 0 else anchor[p] if p in deleted else partner1[p]
        by_anchor[anchor[d]].append(d)

    kids: dict[Item, list[Item]] = defaultdict(list)

    def arrange(owner: Item, t2_kids: Sequence[int], dels: list[int]) -> None:
        # Merge the two orders: a deleted node goes before the first t2 child
        # whose kept nodes all come after it in t1.
        seq: list[Item] = []
        k = 0
        for c in t2_kids:
            while hi[c] >= 0 and k < len(dels) and dels[k] < lo[c]:
                seq.append((1, dels[k]))
                k += 1
            seq.append((2, c))
        seq += [(1, d) for d in dels[k:]]

        open_dels: list[int] = []  # deleted nodes that may take the next items
        waiting: list[Item] = []  # inserted subtrees without kept nodes
        for side, x in seq:
            if side == 2 and hi[x] < 0:
                waiting.append((2, x))  # they go wherever their next sibling goes
                continue
            first, last = (x, x) if side == 1 else (lo[x], hi[x])
            while open_dels and not (open_dels[-1] < first and last < end1[open_dels[-1]]):
                open_dels.pop()
            here = (1, open_dels[-1]) if open_dels else owner
            kids[here] += waiting
            waiting.clear()
            if side == 1:
                p = parents1[x]
                kids[(1, p) if p in deleted else here].append((1, x))
                open_dels.append(x)
            else:
                kids[here].append((2, x))
        kids[owner] += waiting

    arrange(_TOP, [0] if n2 else [], by_anchor.get(-1, []))
    for j in range(n2):
        arrange((2, j), m.t2.children(j), by_anchor.get(j, []))
    return kids


def render_text(m: Mapping, *, fold: int | None = 3, colour: bool = False) -> str:
    """One indented tree merging both trees of the mapping ``m``.

    Each line is two spaces per depth, a two-character mark, then the label:
    ``"  "`` kept, ``"- "`` deleted from ``t1``, ``"+ "`` inserted from
    ``t2``, ``"~ "`` renamed (``old → new``). Labels that could be misread
    are printed as JSON strings, and labels longer than 80 characters are
    cut (a renamed pair from a little before its first difference). A
    change whose node's source knows its line ends in ``(line N)``, or
    ``(line N → M)`` for a rename that moved. Sibling runs of unchanged subtrees holding
    more than ``fold`` nodes become one line ``… N unchanged``
    (``fold=None`` prints everything). ``colour`` adds ANSI colours.
    """
    if fold is not None and fold < 0:
        raise ValueError(f"fold must be >= 0 or None, got {fold}")
    kids = _merged_tree(m)
    labels1, labels2 = m.t1.labels, m.t2.labels
    lines1, lines2 = _lines(m.t1), _lines(m.t2)
    renamed = dict((j, i) for i, j in m.renamed)
    inserted = set(m.inserted)

    def mark(item: Item) -> str:
        side, x = item
        return "-" if side == 1 else "+" if x in inserted else "~" if x in renamed else " "

    def where(line: int | None, new_line: int | None = None) -> str:
        if line is None:
            line, new_line = new_line, None
        if line is None:
            return ""
        return f"  (line {line})" if new_line in (None, line) else f"  (line {line} → {new_line})"

    def text(item: Item) -> str:
        x, tag = item[1], mark(item)
        if tag == "-":
            return "- " + _show(_clip(labels1[x])) + where(lines1[x])
        if tag == "~":
            i = renamed[x]
            old, new = _clip_pair(_whole(labels1[i], m.t1.source[i]), _whole(labels2[x], m.t2.source[x]))
            return f"~ {_show(old)} → {_show(new)}" + where(lines1[renamed[x]], lines2[x])
        return f"{tag} {_show(_clip(labels2[x]))}" + (where(lines2[x]) if tag == "+" else "")

    # Size and cleanliness of every merged subtree, children before parents.
    order, stack = [], [_TOP]
    while stack:
        order.append(stack.pop())
        stack += kids.get(order[-1], ())
    size: dict[Item, int] = {}
    clean: dict[Item, bool] = {}
    for item in reversed(order):
        below = kids.get(item, ())
        size[item] = 1 + sum(size[c] for c in below)
        clean[item] = (item == _TOP or mark(item) == " ") and all(clean[c] for c in below)

    def entries(item: Item, depth: int) -> list[tuple[Item | int, int]]:
        """The children of `item` to print: a node, or the size of a folded run."""
        out: list[tuple[Item | int, int]] = []
        run: list[Item] = []
        for c in [*kids.get(item, ()), None]:
            if c is not None and clean[c]:
                run.append(c)
                continue
            folded = sum(size[r] for r in run)
            if run and fold is not None and folded > fold:
                out.append((folded, depth))
            else:
                out += [(r, depth) for r in run]
            run = []
            if c is not None:
                out.append((c, depth))
        return out

    lines = []
    todo = entries(_TOP, 0)[::-1]
    while todo:
        entry, depth = todo.pop()
        body = f"… {entry} unchanged" if isinstance(entry, int) else text(entry)
        if colour and body[0] in _ANSI:
            body = f"{_ANSI[body[0]]}{body}\x1b[0m"
        lines.append("  " * depth + body)
        if not isinstance(entry, int):
            todo += entries(entry, depth + 1)[::-1]
    return "\n".join(lines) + "\n" if lines else ""


def mapping_to_json(m: Mapping) -> dict[str, Any]:
    """The mapping as plain ints, strings and lists, ready for ``json.dumps``.

    ``lines1`` and ``lines2`` give each node's line in its file, or None
    where its source does not know it."""
    return {
        # An int, or a float under fractional costs (inf where they allow it).
        "distance": int(m.distance) if isinstance(m.distance, numbers.Integral) else float(m.distance),
        "nodes1": len(m.t1),
        "nodes2": len(m.t2),
        "pairs": [[int(i), int(j)] for i, j in m.pairs],
        "renamed": [[int(i), int(j)] for i, j in m.renamed],
        "deleted": [int(i) for i in m.deleted],
        "inserted": [int(j) for j in m.inserted],
        "labels1": [str(s) for s in m.t1.labels],
        "labels2": [str(s) for s in m.t2.labels],
        "parents1": [int(p) for p in m.t1.parents],
        "parents2": [int(p) for p in m.t2.parents],
        "lines1": _lines(m.t1),
        "lines2": _lines(m.t2),
    }


def render_html(m: Mapping, *, title: str = "grix diff") -> str:
    """One self-contained HTML page showing both trees side by side.

    The page embeds :func:`mapping_to_json` and builds the trees in the
    browser, lazily: subtrees without changes start folded, so even trees of
    thousands of nodes open quickly. Opening the page with ``#expand-all``
    unfolds everything. Labels longer than 80 characters are cut, and the
    whole label shows on hover with the node's line.
    """
    # "<", ">" and "&" as JSON escapes: the data can never close its <script>.
    data = json.dumps(mapping_to_json(m), separators=(",", ":"))
    data = data.replace("<", "\\u003c").replace(">", "\\u003e").replace("&", "\\u0026")
    fields = {"title": html.escape(title), "data": data, "css": _page_file("page.css"),
              "js": _page_file("page.js"), "width": str(LABEL_WIDTH)}
    # One pass, so nothing substituted is scanned again.
    return re.sub(r"\{\{(\w+)\}\}", lambda g: fields[g[1]], _page_file("page.html"))


@lru_cache(maxsize=None)
def _page_file(name: str) -> str:
    return resources.files(__package__ or "grix").joinpath("diff_page", name).read_text(encoding="utf-8")


def write_html(m: Mapping, path: str | os.PathLike[str], **kw: Any) -> None:
    """Write :func:`render_html` of ``m`` to ``path`` (UTF-8)."""
    with open(path, "w", encoding="utf-8") as f:
        f.write(render_html(m, **kw))
