"""Show an edit mapping to people and machines.

:func:`render_text` prints one indented tree that merges both trees,
:func:`mapping_to_json` gives a plain document for other programs, and
:func:`render_html` builds one self-contained page with both trees side by
side.

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

import html
import json
import os
import re
from collections import defaultdict
from collections.abc import Sequence
from typing import Any, Protocol

__all__ = ["mapping_to_json", "render_html", "render_text", "write_html"]


class TreeLike(Protocol):
    """What the renderers read from a tree: labels and parents in pre-order."""

    @property
    def labels(self) -> Sequence[str]: ...
    @property
    def parents(self) -> Any: ...  # integer sequence, parents[0] == -1
    def __len__(self) -> int: ...
    def children(self, i: int) -> Sequence[int]: ...


class MappingLike(Protocol):
    """What the renderers read from an edit mapping between ``t1`` and ``t2``."""

    @property
    def t1(self) -> TreeLike: ...
    @property
    def t2(self) -> TreeLike: ...
    @property
    def distance(self) -> int: ...
    @property
    def pairs(self) -> Sequence[tuple[int, int]]: ...
    @property
    def renamed(self) -> Sequence[tuple[int, int]]: ...
    @property
    def deleted(self) -> Sequence[int]: ...
    @property
    def inserted(self) -> Sequence[int]: ...


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
    )
    # Escaping everything beyond ASCII only when something is unprintable
    # keeps ordinary text readable and lone surrogates printable.
    return label if plain else json.dumps(label, ensure_ascii=not label.isprintable())


def _subtree_ends(parents: Sequence[int]) -> list[int]:
    """end[v]: one past the last pre-order id of v's subtree."""
    end = list(range(1, len(parents) + 1))
    for v in range(len(parents) - 1, 0, -1):
        p = parents[v]
        end[p] = max(end[p], end[v])
    return end


def _merged_tree(m: MappingLike) -> dict[Item, list[Item]]:
    """Children of each merged node, laid out as the module docstring says."""
    parents1 = [int(p) for p in m.t1.parents]
    parents2 = [int(p) for p in m.t2.parents]
    n1, n2 = len(parents1), len(parents2)
    partner1, partner2 = [-1] * n1, [-1] * n2
    for i, j in m.pairs:
        partner1[i], partner2[j] = j, i
    end1 = _subtree_ends(parents1)

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


def render_text(m: MappingLike, *, fold: int | None = 3, colour: bool = False) -> str:
    """One indented tree merging both trees of the mapping ``m``.

    Each line is two spaces per depth, a two-character mark, then the label:
    ``"  "`` kept, ``"- "`` deleted from ``t1``, ``"+ "`` inserted from
    ``t2``, ``"~ "`` renamed (``old → new``). Labels that could be misread
    are printed as JSON strings. Sibling runs of unchanged subtrees holding
    more than ``fold`` nodes become one line ``… N unchanged``
    (``fold=None`` prints everything). ``colour`` adds ANSI colours.
    """
    if fold is not None and fold < 0:
        raise ValueError(f"fold must be >= 0 or None, got {fold}")
    kids = _merged_tree(m)
    labels1, labels2 = m.t1.labels, m.t2.labels
    renamed = dict((j, i) for i, j in m.renamed)
    inserted = set(m.inserted)

    def mark(item: Item) -> str:
        side, x = item
        return "-" if side == 1 else "+" if x in inserted else "~" if x in renamed else " "

    def text(item: Item) -> str:
        x, tag = item[1], mark(item)
        if tag == "-":
            return "- " + _show(labels1[x])
        if tag == "~":
            return f"~ {_show(labels1[renamed[x]])} → {_show(labels2[x])}"
        return f"{tag} {_show(labels2[x])}"

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


def mapping_to_json(m: MappingLike) -> dict[str, Any]:
    """The mapping as plain ints, strings and lists, ready for ``json.dumps``."""
    return {
        "distance": int(m.distance),
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
    }


def render_html(m: MappingLike, *, title: str = "grix diff") -> str:
    """One self-contained HTML page showing both trees side by side.

    The page embeds :func:`mapping_to_json` and builds the trees in the
    browser, lazily: subtrees without changes start folded, so even trees of
    thousands of nodes open quickly. Opening the page with ``#expand-all``
    unfolds everything.
    """
    # "<", ">" and "&" as JSON escapes: the data can never close its <script>.
    data = json.dumps(mapping_to_json(m), separators=(",", ":"))
    data = data.replace("<", "\\u003c").replace(">", "\\u003e").replace("&", "\\u0026")
    fields = {"title": html.escape(title), "data": data, "css": _CSS, "js": _JS}
    # One pass, so nothing substituted is scanned again.
    return re.sub(r"\{\{(\w+)\}\}", lambda g: fields[g[1]], _PAGE)


def write_html(m: MappingLike, path: str | os.PathLike[str], **kw: Any) -> None:
    """Write :func:`render_html` of ``m`` to ``path`` (UTF-8)."""
    with open(path, "w", encoding="utf-8") as f:
        f.write(render_html(m, **kw))


_PAGE = """<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>{{title}}</title>
<style>{{css}}</style>
</head>
<body>
<header>
  <h1>{{title}}</h1>
  <p id="summary"></p>
  <div class="bar">
    <div id="legend" class="bar"></div>
    <button type="button" id="expand-all">Expand all</button>
    <button type="button" id="fold-unchanged">Fold unchanged</button>
    <span class="hint">▸ opens a subtree · hover a node to see its partner · click it to jump there</span>
  </div>
  <noscript><p>This page draws the trees with JavaScript; please enable it.</p></noscript>
</header>
<main>
  <section class="pane"><h2>Before <span id="info1"></span></h2><div class="tree" id="tree1"></div></section>
  <section class="pane"><h2>After <span id="info2"></span></h2><div class="tree" id="tree2"></div></section>
</main>
<script type="application/json" id="grix-data">{{data}}</script>
<script>{{js}}</script>
</body>
</html>
"""

_CSS = """
:root { --line: #dde1e6; --muted: #656d76; --text: #1f2328; --step: 18px; }
* { box-sizing: border-box; }
html, body { height: 100%; margin: 0; }
body { display: flex; flex-direction: column; color: var(--text); background: #f6f8fa;
  font: 14px/1.45 system-ui, -apple-system, "Segoe UI", Roboto, sans-serif; }
header { padding: 12px 20px; background: #fff; border-bottom: 1px solid var(--line); }
h1 { font-size: 18px; margin: 0 0 2px; }
#summary { margin: 0 0 8px; color: var(--muted); }
.bar { display: flex; flex-wrap: wrap; align-items: center; gap: 6px 14px; }
.key { display: inline-flex; align-items: center; gap: 6px; }
.key .num { font-weight: 600; font-variant-numeric: tabular-nums; }
.swatch { width: 14px; height: 14px; border-radius: 3px; border: 1px solid #0002; }
.swatch.kept { background: #fff; } .swatch.renamed { background: #fff0c2; }
.swatch.deleted { background: #ffdfdc; } .swatch.inserted { background: #d6f4dc; }
button { font: inherit; font-size: 13px; padding: 2px 10px; border: 1px solid #d0d7de;
  border-radius: 6px; background: #f6f8fa; cursor: pointer; }
button:hover { background: #eef1f4; }
.hint { color: var(--muted); font-size: 12px; }
main { flex: 1; min-height: 0; display: grid; grid-template-columns: 1fr 1fr; gap: 12px;
  padding: 12px 20px 16px; }
.pane { display: flex; flex-direction: column; min-height: 0; min-width: 0; background: #fff;
  border: 1px solid var(--line); border-radius: 8px; }
.pane h2 { font-size: 13px; margin: 0; padding: 8px 12px; border-bottom: 1px solid var(--line); }
.pane h2 span { color: var(--muted); font-weight: normal; }
.tree { flex: 1; overflow: auto; padding: 8px 8px 24px;
  font: 13px/1.6 ui-monospace, "SFMono-Regular", Menlo, Consolas, "DejaVu Sans Mono", monospace; }
/* One flat row per shown node, indented by depth, with a guide line per level. */
.node { width: max-content; min-width: 100%; padding-left: calc(var(--d) * var(--step)); white-space: pre;
  background: repeating-linear-gradient(to right, var(--line) 0 1px, transparent 1px var(--step))
    7px 0 / calc(var(--d) * var(--step)) 100% no-repeat; }
.box { display: inline-flex; align-items: baseline; gap: 4px; padding: 0 8px 0 0; border-radius: 4px;
  cursor: default; }
.tog { width: 14px; flex: none; text-align: center; color: var(--muted); cursor: pointer; user-select: none; }
.branch .tog::before { content: "▸"; }
.branch.open .tog::before { content: "▾"; }
.gap .box { color: var(--muted); cursor: pointer; }
.gap .box:hover { background: #eef1f4; }
.label:empty::before { content: "(empty)"; color: var(--muted); font-style: italic; }
.note, .count { color: var(--muted); font-size: 11px; }
.count.changed { color: #9a4d00; }
.open .count { display: none; }
[data-status=renamed] > .box { background: #fff0c2; color: #6b4700; }
[data-status=deleted] > .box { background: #ffdfdc; color: #a0111f; }
[data-status=inserted] > .box { background: #d6f4dc; color: #126329; }
[data-status=renamed] .label::before { content: "~ "; }
[data-status=deleted] .label::before { content: "− "; }
[data-status=inserted] .label::before { content: "+ "; }
.box.hl { outline: 2px solid #2f81f7; background: #dbeafe; }
"""

# The trees are drawn from the embedded data as flat rows in pre-order, one
# per shown node: deep trees then need no deeply nested elements, and a
# subtree's rows are the run of rows after its root whose ids fall inside the
# subtree's id range. Rows exist only for shown nodes.
_JS = r"""
"use strict";
(function () {
  const data = JSON.parse(document.getElementById("grix-data").textContent);
  const FOLD = 3;  // longer runs of unchanged siblings start as one row

  function side(k) {
    const labels = data["labels" + k], parents = data["parents" + k], n = labels.length;
    const s = { k, labels, parents, n, kids: [], el: [], gapOf: [],
      partner: new Int32Array(n).fill(-1), status: new Array(n).fill("kept"),
      size: new Int32Array(n).fill(1), depth: new Int32Array(n), dirty: new Uint8Array(n),
      open: new Uint8Array(n), folded: new Uint8Array(n), root: document.getElementById("tree" + k) };
    for (let i = 0; i < n; i++) s.kids.push([]);
    for (let i = 1; i < n; i++) { s.kids[parents[i]].push(i); s.depth[i] = s.depth[parents[i]] + 1; }
    return s;
  }
  const T1 = side(1), T2 = side(2), sides = { 1: T1, 2: T2 };
  const other = (s) => (s === T1 ? T2 : T1);
  for (const [i, j] of data.pairs) { T1.partner[i] = j; T2.partner[j] = i; }
  for (const [i, j] of data.renamed) { T1.status[i] = "renamed"; T2.status[j] = "renamed"; }
  for (const i of data.deleted) T1.status[i] = "deleted";
  for (const j of data.inserted) T2.status[j] = "inserted";
  for (const s of [T1, T2]) {
    for (let i = s.n - 1; i >= 0; i--) {  // pre-order: children after parents
      if (s.status[i] !== "kept") s.dirty[i] = 1;
      const p = s.parents[i];
      if (p >= 0) { s.size[p] += s.size[i]; s.dirty[p] |= s.dirty[i]; }
    }
  }
  // Open at load: subtrees holding a change on either side.
  const changed = (s, i) => s.dirty[i] || (s.partner[i] >= 0 && other(s).dirty[s.partner[i]]);

  function span(cls, text) {
    const e = document.createElement("span");
    e.className = cls;
    if (text !== undefined) e.textContent = text;
    return e;
  }

  function describe(s, i) {
    const p = s.partner[i], where = (s === T1 ? "before #" : "after #") + i;
    const [i1, i2] = s === T1 ? [i, p] : [p, i];
    switch (s.status[i]) {
      case "deleted": return where + ": deleted";
      case "inserted": return where + ": inserted";
      case "renamed": return where + ": renamed " + T1.labels[i1] + " → " + T2.labels[i2];
      default: return where + ": kept as " + (s === T1 ? "after #" : "before #") + p;
    }
  }

  function row(s, first, depth, parts) {
    const div = document.createElement("div"), box = span("box");
    div.className = "node";
    div.style.setProperty("--d", depth);
    div.first = first;
    box.append(span("tog"), ...parts);
    div.append(box);
    return div;
  }

  function nodeRow(s, i) {
    const parts = [span("label", s.labels[i])];
    if (s.status[i] === "renamed")
      parts.push(span("note", (s === T1 ? "→ " : "← ") + other(s).labels[s.partner[i]]));
    if (s.kids[i].length) {
      const hidden = s.size[i] - 1;
      parts.push(span(s.dirty[i] ? "count changed" : "count",
        "(" + hidden + (hidden === 1 ? " node" : " nodes") + (s.dirty[i] ? ", changed)" : ")")));
    }
    const div = row(s, i, s.depth[i], parts);
    div.dataset.side = s.k; div.dataset.id = i; div.dataset.status = s.status[i];
    div.firstChild.title = describe(s, i);
    if (s.kids[i].length) div.classList.add("branch");
    if (s.open[i]) div.classList.add("open");
    s.el[i] = div;
    return div;
  }

  function gapRow(s, run) {
    let nodes = 0;
    for (const c of run) nodes += s.size[c];
    const div = row(s, run[0], s.depth[run[0]], [span("label", "… " + run.length + " unchanged" +
      (nodes > run.length ? " (" + nodes + " nodes)" : ""))]);
    div.classList.add("gap");
    div.run = run;
    for (const c of run) s.gapOf[c] = div;
    return div;
  }

  // Rows for `items` (node ids, or arrays of folded siblings) and everything
  // shown below them, in pre-order; iterative, as trees may be very deep.
  function rows(s, items) {
    const frag = document.createDocumentFragment(), todo = items.reverse();
    while (todo.length) {
      const it = todo.pop();
      if (Array.isArray(it)) { frag.append(gapRow(s, it)); continue; }
      frag.append(nodeRow(s, it));
      if (s.open[it]) todo.push(...childItems(s, it).reverse());
    }
    return frag;
  }

  function childItems(s, i) {
    const out = [];
    let run = [];
    for (const c of s.kids[i]) {
      if (s.folded[c]) { run.push(c); continue; }
      if (run.length) { out.push(run); run = []; }
      out.push(c);
    }
    if (run.length) out.push(run);
    return out;
  }

  function expand(s, i) {
    if (s.open[i] || !s.kids[i].length) return;
    for (const c of s.kids[i]) s.folded[c] = 0;  // asked for: show every child
    s.open[i] = 1;
    s.el[i].classList.add("open");
    s.el[i].after(rows(s, childItems(s, i)));
  }

  function collapse(s, i) {
    s.open[i] = 0;
    s.el[i].classList.remove("open");
    const end = i + s.size[i];
    for (let r = s.el[i].nextSibling; r && r.first < end;) {
      const next = r.nextSibling;
      if (r.run) for (const c of r.run) s.gapOf[c] = undefined; else s.el[r.first] = undefined;
      r.remove();
      r = next;
    }
  }

  function openGap(s, div) {
    for (const c of div.run) { s.folded[c] = 0; s.gapOf[c] = undefined; }
    div.replaceWith(rows(s, div.run.slice()));
  }

  // (Re)draw a side: everything open, or only the subtrees holding changes.
  function draw(s, all) {
    s.el = new Array(s.n); s.gapOf = new Array(s.n);
    for (let i = 0; i < s.n; i++) {
      s.open[i] = all || changed(s, i) ? 1 : 0;
      s.folded[i] = 0;
    }
    if (!all) {
      for (let i = 0; i < s.n; i++) {
        const kids = s.kids[i];
        for (let a = 0, b = 0; a < kids.length; a = b + 1) {
          for (b = a; b < kids.length && !changed(s, kids[b]); b++);
          if (b - a > FOLD) for (let c = a; c < b; c++) s.folded[kids[c]] = 1;
        }
      }
    }
    s.root.textContent = "";
    if (s.n) s.root.append(rows(s, [0]));
  }

  function reveal(s, i) {
    const path = [i];
    for (let v = s.parents[i]; v >= 0; v = s.parents[v]) path.push(v);
    for (let k = path.length - 1; k >= 0; k--) {
      if (!s.el[path[k]]) openGap(s, s.gapOf[path[k]]);
      if (k) expand(s, path[k]);
    }
    return s.el[i].firstChild;
  }

  function hit(e) {
    const div = e.target.closest(".node");
    return div && div.dataset.side ? [sides[div.dataset.side], Number(div.dataset.id), div.firstChild] : null;
  }

  function highlight(e, on) {
    const h = hit(e);
    if (!h) return;
    h[2].classList.toggle("hl", on);
    const p = h[0].partner[h[1]], pr = p >= 0 && other(h[0]).el[p];
    if (!pr) return;
    pr.firstChild.classList.toggle("hl", on);
    if (on) pr.firstChild.scrollIntoView({ block: "nearest", inline: "nearest" });
  }

  for (const s of [T1, T2]) {
    document.getElementById("info" + s.k).textContent = "· " + s.n + " nodes";
    draw(s, location.hash === "#expand-all");
    s.root.addEventListener("mouseover", (e) => highlight(e, true));
    s.root.addEventListener("mouseout", (e) => highlight(e, false));
    s.root.addEventListener("click", (e) => {
      const gap = e.target.closest(".gap");
      if (gap) { openGap(s, gap); return; }
      const h = hit(e);
      if (!h) return;
      const i = h[1], p = s.partner[i];
      if (e.target.classList.contains("tog") || p < 0) {
        if (s.open[i]) collapse(s, i); else expand(s, i);
        return;
      }
      const pr = reveal(other(s), p);
      pr.classList.add("hl");
      pr.scrollIntoView({ block: "center", inline: "nearest" });
    });
  }
  document.getElementById("expand-all").onclick = () => { draw(T1, true); draw(T2, true); };
  document.getElementById("fold-unchanged").onclick = () => { draw(T1, false); draw(T2, false); };

  const count = (s, st) => s.status.filter((x) => x === st).length;
  const counts = { kept: count(T1, "kept"), renamed: count(T1, "renamed"),
    deleted: count(T1, "deleted"), inserted: count(T2, "inserted") };
  const legend = document.getElementById("legend");
  for (const st of ["kept", "renamed", "deleted", "inserted"]) {
    const key = span("key");
    key.dataset.key = st;
    key.append(span("swatch " + st), st, span("num", counts[st]));
    legend.append(key);
  }
  document.getElementById("summary").textContent = "distance " + data.distance + " · " +
    counts.renamed + " renamed, " + counts.deleted + " deleted, " + counts.inserted + " inserted, " +
    counts.kept + " kept · " + T1.n + " → " + T2.n + " nodes";
  document.body.dataset.ready = "1";
})();
"""
