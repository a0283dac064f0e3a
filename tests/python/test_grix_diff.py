"""The merged text tree, the JSON document and the HTML page of grix.diff;
the page also in a real headless browser (Debian's chromium)."""

import json
import os
import random
import re
import shutil
import subprocess
import time
from dataclasses import dataclass
from html.parser import HTMLParser

import numpy as np
import pytest
from apted import APTED
from hypothesis import given, settings

import grix
from grix.diff import mapping_to_json, render_html, render_text, write_html
from tree_helpers import random_parents, subtree_ends, to_nodes, trees

SETTINGS = settings(max_examples=150, deadline=None, database=None, derandomize=True)


class StandInTree:
    """The tree attributes the renderers read."""

    def __init__(self, labels, parents):
        self.labels = tuple(labels)
        self.parents = np.asarray(parents, dtype=np.int32)
        self.source = (None,) * len(labels)
        self.subtree_sizes = [end - v for v, end in enumerate(subtree_ends(list(parents)))]

    def __len__(self):
        return len(self.labels)

    def children(self, i):
        return tuple(np.flatnonzero(self.parents == i).tolist())


@dataclass
class StandInMapping:
    t1: StandInTree
    t2: StandInTree
    distance: int
    pairs: list
    renamed: list
    deleted: list
    inserted: list


def bracket(text):
    """StandInTree from bracket text such as {a{b}{c}}."""
    labels, parents, open_ = [], [], []
    for token in re.findall(r"\{[^{}]*|\}", text):
        if token == "}":
            open_.pop()
        else:
            labels.append(token[1:])
            parents.append(open_[-1] if open_ else -1)
            open_.append(len(labels) - 1)
    return StandInTree(labels, parents)


def mapping(t1, t2, pairs):
    pairs = sorted(pairs)
    renamed = [(i, j) for i, j in pairs if t1.labels[i] != t2.labels[j]]
    deleted = sorted(set(range(len(t1))) - {i for i, _ in pairs})
    inserted = sorted(set(range(len(t2))) - {j for _, j in pairs})
    distance = len(renamed) + len(deleted) + len(inserted)
    return StandInMapping(t1, t2, distance, pairs, renamed, deleted, inserted)


def apted_mapping(tree1, tree2):
    """An optimal mapping found by the apted package (independent of grix)."""
    found = APTED(to_nodes(*tree1), to_nodes(*tree2)).compute_edit_mapping()
    pairs = [(a.index, b.index) for a, b in found if a is not None and b is not None]
    return mapping(StandInTree(*tree1), StandInTree(*tree2), pairs)


def edited_copies(n, removed1, removed2, renamed, seed=0):
    """Two trees cut from one random tree: t1 lacks the nodes `removed1`, t2
    lacks `removed2` and renames `renamed`; the kept nodes are the pairs."""
    rng = random.Random(seed)
    labels, parents = [rng.choice("abcdefgh") for _ in range(n)], random_parents(rng, n)

    def without(removed):
        keep = [v for v in range(n) if v not in removed]
        new = {v: k for k, v in enumerate(keep)}

        def up(v):
            while v in removed:
                v = parents[v]
            return v
        return [labels[v] for v in keep], [new[up(parents[v])] if v else -1 for v in keep], new

    l1, p1, new1 = without(set(removed1))
    l2, p2, new2 = without(set(removed2))
    for v in renamed:
        l2[new2[v]] += "'"
    pairs = [(new1[v], new2[v]) for v in range(n) if v in new1 and v in new2]
    return mapping(StandInTree(l1, p1), StandInTree(l2, p2), pairs)


# ---------------------------------------------------------------- text


@pytest.mark.parametrize("t1, t2, pairs, expected", [
    ("{a{b}{c}{d}}", "{a{b}{x}{d}{e}}", [(0, 0), (1, 1), (2, 2), (3, 3)],
     "  a\n    b\n  ~ c → x\n    d\n  + e\n"),
    # an unwrapped node keeps the nodes that were inside it below it
    ("{a{w{p}{q}}{r}}", "{a{p}{q}{r}}", [(0, 0), (2, 1), (3, 2), (4, 3)],
     "  a\n  - w\n      p\n      q\n    r\n"),
    # deleted below deleted, and a deletion after the last kept child
    ("{a{b}{d{e}}}", "{a{b}}", [(0, 0), (1, 1)], "  a\n    b\n  - d\n    - e\n"),
    # groups that cross: the second tree's grouping wins
    ("{a{d{x}{y}}{z}}", "{a{x}{i{y}{z}}}", [(0, 0), (2, 1), (3, 3), (4, 4)],
     "  a\n  - d\n      x\n  + i\n      y\n      z\n"),
    # a deleted node stays below its deleted parent across such a group
    ("{a{d{x}{e}}{y}}", "{a{i{x}{y}}}", [(0, 0), (2, 2), (4, 3)],
     "  a\n  - d\n    - e\n  + i\n      x\n      y\n"),
    ("{r{a}}", "{a}", [(1, 0)], "- r\n    a\n"),
    ("{a}", "{r{a}}", [(0, 1)], "+ r\n    a\n"),
])
def test_text_layout_of_hand_made_cases(t1, t2, pairs, expected):
    assert render_text(mapping(bracket(t1), bracket(t2), pairs)) == expected


def test_text_folds_unchanged_runs_and_keeps_the_path_to_a_change():
    # root, 11 children of 17 leaves each, one more leaf: 200 nodes
    text = "{r" + "".join("{c" + "{l}" * 17 + "}" for _ in range(11)) + "{l}}"
    t1 = bracket(text)
    labels = list(t1.labels)
    renamed = 1 + 5 * 18 + 9  # 9th leaf of the 6th child
    labels[renamed] = "x"
    m = mapping(t1, StandInTree(labels, t1.parents), [(i, i) for i in range(200)])
    assert render_text(m) == (
        "  r\n  … 90 unchanged\n    c\n    … 8 unchanged\n    ~ l → x\n"
        "    … 8 unchanged\n  … 91 unchanged\n")
    assert render_text(m, fold=90).count("\n") == 1 + 90 + 1 + 17 + 1  # 91 nodes still folded
    assert render_text(m, fold=None).count("\n") == 200


def parse_lines(text):
    """(depth, mark, body) per line: marks sit just before the label."""
    out = []
    for line in text.splitlines():
        body = line.lstrip(" ")
        indent = len(line) - len(body)
        mark = body[0] if body[:2] in ("- ", "+ ", "~ ", "… ") else " "
        out.append((indent // 2 if mark != " " else indent // 2 - 1, mark, body if mark == " " else body[2:]))
    return out


@SETTINGS
@given(trees(max_nodes=14), trees(max_nodes=14))
def test_text_accounts_for_every_node_and_follows_the_second_tree(tree1, tree2):
    m = apted_mapping(tree1, tree2)
    lines = parse_lines(render_text(m))
    marks = [mark for _, mark, _ in lines]
    assert marks.count("-") == len(m.deleted)
    assert marks.count("+") == len(m.inserted)
    assert marks.count("~") == len(m.renamed)
    shown = sum(int(body.split()[0]) for _, mark, body in lines if mark == "…")
    assert len(lines) - marks.count("…") + shown == len(m.pairs) + len(m.deleted) + len(m.inserted)

    # Unfolded, with labels naming their node ("a.3" in t1, "a:5" in t2).
    m.t1 = StandInTree([f"{s}.{i}" for i, s in enumerate(tree1[0])], tree1[1])
    m.t2 = StandInTree([f"{s}:{j}" for j, s in enumerate(tree2[0])], tree2[1])
    node = {"-": lambda b: (1, int(b.split(".")[1]))}
    node.update(dict.fromkeys("+~ ", lambda b: (2, int(b.split(":")[-1]))))
    path, parent, order = [], {}, []
    for depth, mark, body in parse_lines(render_text(m, fold=None)):
        del path[depth:]
        parent[node[mark](body)] = path[-1] if path else None
        path.append(node[mark](body))
        order.append(path[-1])
    assert {x for s, x in order if s == 1} == set(m.deleted)
    assert [x for s, x in order if s == 2] == list(range(len(m.t2)))
    partner, end1, end2 = dict(m.pairs), subtree_ends(tree1[1]), subtree_ends(tree2[1])

    def kept_above(item):
        item = parent[item]
        while item is not None and item[0] == 1:
            item = parent[item]
        return item

    for s, x in order:
        if s == 2:  # t2's shape, with deleted nodes that held its kept nodes between
            assert kept_above((2, x)) == (None if x == 0 else (2, tree2[1][x]))
            if parent[(2, x)] and parent[(2, x)][0] == 1:
                d = parent[(2, x)][1]
                assert all(d < i < end1[d] for i, j in m.pairs if x <= j < end2[x])
        else:  # in place: below its deleted parent, or its kept parent's image
            p = tree1[1][x]
            assert parent[(1, x)] == (None if p < 0 else (1, p) if p in m.deleted else (2, partner[p]))


def test_text_quotes_misleading_labels_and_colours_marks():
    labels = ["- x", "", " pad", "a\nb", "x → y", "plain"]
    t = StandInTree(labels, [-1, 0, 0, 0, 0, 0])
    text = render_text(mapping(t, t, [(i, i) for i in range(6)]), fold=None)
    assert text.splitlines() == [
        '  "- x"', '    ""', '    " pad"', '    "a\\nb"', '    "x → y"', "    plain"]

    m = mapping(bracket("{a{b}{c}}"), bracket("{a{x}{d}}"), [(0, 0), (1, 1)])
    coloured = render_text(m, colour=True)
    assert "\x1b[31m- c\x1b[0m" in coloured and "\x1b[32m+ d\x1b[0m" in coloured
    assert "\x1b[33m~ b → x\x1b[0m" in coloured
    assert re.sub(r"\x1b\[\d+m", "", coloured) == render_text(m)


def test_text_marks_changes_with_their_lines():
    t1 = grix.Tree.from_ast("def f(a):\n    return a\n\nx = 1\n")
    t2 = grix.Tree.from_ast("def f(b):\n    return b\n\n\ny = 1\nz = 2\n")
    text = render_text(grix.mapping(t1, t2), fold=None)
    assert "~ arg:a → arg:b  (line 1)\n" in text and "~ Name:a → Name:b  (line 2)\n" in text
    assert "~ Name:x → Name:y  (line 4 → 5)\n" in text and "+ Assign  (line 6)\n" in text
    assert "  Module\n" in text and "FunctionDef:f\n" in text  # kept nodes carry no line
    # A label that looks like a line mark is quoted.
    m = mapping(bracket("{a{b  (line 3)}}"), bracket("{a}"), [(0, 0)])
    assert render_text(m) == '  a\n  - "b  (line 3)"\n'


def test_text_cuts_long_labels_and_shows_a_rename_where_it_differs():
    start, end = "x" * 150, "y" * 150
    t1 = StandInTree(["r", start + "old" + end, "z" * 500], [-1, 0, 0])
    t2 = StandInTree(["r", start + "new" + end, "q"], [-1, 0, 0])
    text = render_text(mapping(t1, t2, [(0, 0), (1, 1)]))
    assert text.splitlines()[1:] == [f"  ~ …{'x' * 20}old{'y' * 57}… → …{'x' * 20}new{'y' * 57}…",
                                     "  + q", "  - " + "z" * 80 + "…"]
    # A long Python constant: the digest tells the values apart, the text
    # shows where they differ.
    doc = '"""' + "word " * 20 + "{} " + "more " * 20 + '"""'
    m = grix.mapping(grix.Tree.from_ast(doc.format("old")), grix.Tree.from_ast(doc.format("new")))
    line = render_text(m).splitlines()[-1]
    assert " old more" in line and " new more" in line and "#" not in line


# ---------------------------------------------------------------- JSON


def test_json_is_plain_and_agrees_with_the_mapping():
    m = apted_mapping((list("abcab"), [-1, 0, 0, 2, 2]), (list("acbb"), [-1, 0, 1, 1]))
    m.pairs = [(np.int64(i), np.int64(j)) for i, j in m.pairs]  # numpy ids must not leak
    doc = json.loads(json.dumps(mapping_to_json(m)))
    assert doc == mapping_to_json(m)
    assert doc["pairs"] == [[int(i), int(j)] for i, j in m.pairs]
    assert doc["renamed"] == [list(p) for p in m.renamed]
    assert (doc["deleted"], doc["inserted"], doc["distance"]) == (m.deleted, m.inserted, m.distance)
    assert (doc["nodes1"], doc["labels1"], doc["parents1"]) == (5, list("abcab"), [-1, 0, 0, 2, 2])
    assert (doc["nodes2"], doc["labels2"], doc["parents2"]) == (4, list("acbb"), [-1, 0, 1, 1])
    assert doc["lines1"] == [None] * 5 and doc["lines2"] == [None] * 4
    m.distance = 2.5  # fractional costs
    assert mapping_to_json(m)["distance"] == 2.5


def test_json_lines_come_from_the_sources():
    source = "import os\n\ndef f():\n    return os.sep\n"
    t = grix.Tree.from_ast(source)
    doc = mapping_to_json(grix.mapping(t, t))
    assert doc["lines1"] == [getattr(node, "lineno", None) for node in t.source] == doc["lines2"]
    assert doc["lines1"][:3] == [None, 1, 1]


# ---------------------------------------------------------------- HTML

NASTY = '</script><b>&"\'x'


class PageParser(HTMLParser):
    """Tags, script bodies, and the drawn tree rows with their labels."""

    def __init__(self, text):
        super().__init__()
        self.tags, self.scripts, self.rows, self.body = [], [], [], {}
        self._row, self._in = None, None
        self.feed(text)

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        self.tags.append(tag)
        if tag == "body":
            self.body = attrs
        if tag == "div":
            self._row = None
            if "data-side" in attrs:
                depth = int(re.search(r"--d:\s*(\d+)", attrs["style"])[1])
                self._row = {"side": int(attrs["data-side"]), "id": int(attrs["data-id"]),
                             "status": attrs["data-status"], "label": "", "depth": depth}
                self.rows.append(self._row)
        if tag == "span" and attrs.get("class", "").startswith("box") and self._row is not None:
            self._row["title"] = attrs.get("title", "")
        self._in = tag if tag == "script" else "label" if attrs.get("class") == "label" else None
        if tag == "script":
            self.scripts.append("")

    def handle_endtag(self, tag):
        self._in = None

    def handle_data(self, data):
        if self._in == "script":
            self.scripts[-1] += data
        elif self._in == "label" and self._row is not None:
            self._row["label"] += data


def nasty_mapping():
    """Labels that would break out of the page if not escaped."""
    t1 = bracket("{a{" + NASTY + "}{c{q}}{d}}")
    t2 = bracket("{a{" + NASTY + "}{<i>x</i>{q}}{e{d}}}")
    return mapping(t1, t2, [(0, 0), (1, 1), (2, 2), (3, 3), (4, 5)])


def test_html_is_self_contained_and_escapes_labels():
    m = nasty_mapping()
    page = render_html(m, title="x <y> & z")
    for needle in ("http://", "https://", "src=", "<link", "@import", "url("):
        assert needle not in page
    parsed = PageParser(page)
    assert not {"b", "i"} & set(parsed.tags) and parsed.tags.count("script") == 2
    assert json.loads(parsed.scripts[0]) == mapping_to_json(m)
    assert "<title>x &lt;y&gt; &amp; z</title>" in page


# ------------------------------------------------------- headless browser


@pytest.fixture(scope="module")
def chromium():
    path = shutil.which("chromium")
    if path is None:
        if os.environ.get("CI"):
            pytest.fail("chromium is not installed (scripts/install_system_deps.sh installs it)")
        pytest.skip("chromium is not installed")
    return path


def dump_dom(chromium, tmp_path, m, fragment="", probe=""):
    """The page's DOM after its scripts ran, and how long chromium took."""
    page = tmp_path / "page.html"
    write_html(m, page)
    if probe:
        text = page.read_text(encoding="utf-8")
        page.write_text(text.replace("</body>", f"<script>{probe}</script></body>"), encoding="utf-8")
    start = time.perf_counter()
    done = subprocess.run(
        [chromium, "--headless=new", "--no-sandbox", "--disable-gpu",
         f"--user-data-dir={tmp_path / 'profile'}", "--dump-dom", page.as_uri() + fragment],
        capture_output=True, text=True, timeout=120, check=True,
        # A sanitizer runtime preloaded for the test run must not reach the browser.
        env={key: value for key, value in os.environ.items() if key != "LD_PRELOAD"})
    parsed = PageParser(done.stdout)
    assert parsed.body.get("data-ready") == "1", done.stderr[-2000:]
    return parsed, time.perf_counter() - start


def status_counts(m):
    kept = len(m.pairs) - len(m.renamed)
    return {(1, "kept"): kept, (1, "renamed"): len(m.renamed), (1, "deleted"): len(m.deleted),
            (2, "kept"): kept, (2, "renamed"): len(m.renamed), (2, "inserted"): len(m.inserted)}


def expected_rows(m):
    status = {(1, i): "deleted" for i in m.deleted} | {(2, j): "inserted" for j in m.inserted}
    for i, j in m.pairs:
        status[(1, i)] = status[(2, j)] = "renamed" if (i, j) in m.renamed else "kept"
    return sorted((s, x, st, (m.t1 if s == 1 else m.t2).labels[x]) for (s, x), st in status.items())


@pytest.mark.parametrize("make", [
    nasty_mapping,
    lambda: apted_mapping((list("abcabcab"), random_parents(random.Random(1), 8)),
                          (list("bcaacbba"), random_parents(random.Random(2), 8))),
    lambda: edited_copies(300, range(40, 60, 3), range(100, 130, 2), range(5, 300, 29)),
])
def test_browser_draws_every_node_with_its_status(chromium, tmp_path, make):
    m = make()
    parsed, _ = dump_dom(chromium, tmp_path, m, "#expand-all")
    rows = [(r["side"], r["id"], r["status"], r["label"]) for r in parsed.rows]
    assert rows == expected_rows(m)  # also in pre-order, t1 first
    for r in parsed.rows:  # the hover text holds the whole label
        assert (m.t1 if r["side"] == 1 else m.t2).labels[r["id"]] in r["title"]
    for t, side in ((m.t1, 1), (m.t2, 2)):
        depth = [0] * len(t)
        for v in range(1, len(t)):
            depth[v] = depth[t.parents[v]] + 1
        assert [r["depth"] for r in parsed.rows if r["side"] == side] == depth
    assert not {"b", "i"} & set(parsed.tags)


def test_browser_opens_5000_nodes_quickly_showing_only_the_changes(chromium, tmp_path):
    m = edited_copies(5100, range(7, 5100, 997), range(11, 5100, 1009), range(13, 5100, 1013), seed=3)
    assert min(len(m.t1), len(m.t2)) >= 5000
    parsed, seconds = dump_dom(chromium, tmp_path, m)
    assert seconds < 30
    shown = {(r["side"], r["id"]) for r in parsed.rows}
    assert len(shown) < 300
    # every change is shown, with its ancestors and their partners
    partner = {(1, i): (2, j) for i, j in m.pairs} | {(2, j): (1, i) for i, j in m.pairs}
    changes = {(1, i) for i in m.deleted} | {(2, j) for j in m.inserted} | {(1, i) for i, _ in m.renamed}
    for side, x in changes:
        parents = (m.t1 if side == 1 else m.t2).parents
        while x >= 0:
            assert (side, x) in shown and partner.get((side, x), (side, x)) in shown
            x = parents[x]

    parsed, seconds = dump_dom(chromium, tmp_path, m, "#expand-all")
    assert seconds < 30
    counts = {}
    for r in parsed.rows:
        counts[(r["side"], r["status"])] = counts.get((r["side"], r["status"]), 0) + 1
    assert counts == {k: v for k, v in status_counts(m).items() if v}


# Hover, open a folded run, jump to a hidden partner, fold a subtree, in the
# real page; each step writes what it saw.
PROBE = """
const d = JSON.parse(document.getElementById("grix-data").textContent), out = {};
const row = (s, i) => document.querySelector(`[data-side="${s}"][data-id="${i}"]`);
const shown = (s) => [...document.querySelectorAll(`#tree${s} .node`)].map((e) => e.first);
const fire = (el, type) => el.dispatchEvent(new MouseEvent(type, {bubbles: true}));
const partner = new Map(d.pairs);

const [ri, rj] = d.renamed[0];
fire(row(1, ri).firstChild, "mouseover");
out.hover = row(2, rj).firstChild.classList.contains("hl");
fire(row(1, ri).firstChild, "mouseout");
out.unhover = !document.querySelector(".hl");

const gap = document.querySelector("#tree1 .gap"), first = gap.first;
const gaps = document.querySelectorAll("#tree1 .gap").length;
gap.querySelector(".label").click();
out.gap = [gaps - document.querySelectorAll("#tree1 .gap").length, row(1, first) !== null];
out.hidden = row(2, partner.get(first)) === null;
row(1, first).querySelector(".label").click();
out.jumped = row(2, partner.get(first)).firstChild.classList.contains("hl");

const size = d.parents1.map(() => 1);
for (let i = size.length - 1; i > 0; i--) size[d.parents1[i]] += size[i];
const v = shown(1).find((i) => i > 0 && row(1, i) && row(1, i).classList.contains("open"));
const before = shown(1);
row(1, v).querySelector(".tog").click();
out.folded = JSON.stringify(shown(1)) === JSON.stringify(before.filter((i) => i <= v || i >= v + size[v]));

row(2, 0).querySelector(".tog").click();
out.collapsed = shown(2).length;
const [ki, kj] = d.pairs.filter(([i]) => i > 0 && row(1, i)).pop();
row(1, ki).querySelector(".label").click();
out.revealed = row(2, kj) !== null;
document.body.dataset.probe = JSON.stringify(out);
"""


def test_browser_cuts_long_labels_and_shows_lines(chromium, tmp_path):
    long = "word " * 40
    m = grix.mapping(grix.Tree.from_ast(f"x = '{long}'\n"), grix.Tree.from_ast(f"\ny = '{long}'\n"))
    parsed, _ = dump_dom(chromium, tmp_path, m, "#expand-all")
    row = next(r for r in parsed.rows if r["side"] == 1 and r["label"].startswith("Name"))
    assert row["label"] == "Name:x" and row["title"] == "before #2 (line 1): renamed\nName:x\n→ Name:y"
    constants = [r for r in parsed.rows if r["label"].startswith("Constant")]
    assert len(constants) == 2 and all(len(r["label"]) < 80 for r in constants)
    text = "A paragraph of text " * 10
    m = grix.mapping(grix.Tree.from_html(f"<p>{text}</p>"), grix.Tree.from_html(f"<p>{text}!</p>"))
    parsed, _ = dump_dom(chromium, tmp_path, m, "#expand-all")
    leaves = [r for r in parsed.rows if r["status"] == "renamed"]
    assert [len(r["label"]) for r in leaves] == [80, 80] and text + "!" in leaves[1]["title"]


def test_browser_hover_jump_and_fold(chromium, tmp_path):
    m = edited_copies(400, [50], [300], [120], seed=4)
    parsed, _ = dump_dom(chromium, tmp_path, m, probe=PROBE)
    assert json.loads(parsed.body["data-probe"]) == {
        "hover": True, "unhover": True, "gap": [1, True], "hidden": True, "jumped": True,
        "folded": True, "collapsed": 1, "revealed": True}
