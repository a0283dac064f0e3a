"""TEDS against PubTabNet's definition, written here plainly on apted: every
element a node, cells with spans and token contents, Levenshtein by dynamic
programming. apted is exact, so scores agree to rounding.

Run as a script to rewrite teds_reference.json, the reference's scores of
all pairs of the shared table data (the largest pairs take apted minutes):
    python tests/python/test_teds.py
"""

import functools
import hashlib
import importlib.util
import json
import pathlib
import random
import subprocess
import sys

import numpy as np
import pytest

lxml_html = pytest.importorskip("lxml.html")
lxml_etree = pytest.importorskip("lxml.etree")
from apted import APTED, Config  # noqa: E402

import grix  # noqa: E402

# The reference is PubTabNet's code, so grix is asked for that definition by
# name: the default differs only in finding tables outside body/table
# (tests/python/test_teds_definitions.py).
PUBTABNET = {"definition": "pubtabnet"}

ROOT = pathlib.Path(__file__).resolve().parents[2]
STORED = pathlib.Path(__file__).with_name("teds_reference.json")


# Real table pairs, carried by the project (data/README.md says where they
# come from), so these tests run in every checkout rather than skip.
PAIRS_FILE = ROOT / "data" / "tables" / "teds_pairs.jsonl"


def load_pairs():
    with open(PAIRS_FILE, encoding="utf-8") as lines:
        return [json.loads(line) for line in lines]


# -- the reference -------------------------------------------------------------

class Node:
    def __init__(self, tag, colspan=None, rowspan=None, content=None):
        self.tag, self.colspan, self.rowspan, self.content = tag, colspan, rowspan, content
        self.children = []


@functools.lru_cache(maxsize=None)
def levenshtein(a, b):
    previous = list(range(len(b) + 1))
    for i, x in enumerate(a, 1):
        current = [i]
        for j, y in enumerate(b, 1):
            current.append(min(previous[j] + 1, current[j - 1] + 1, previous[j - 1] + (x != y)))
        previous = current
    return previous[-1]


class CellConfig(Config):
    def rename(self, a, b):
        if a.tag != b.tag or a.colspan != b.colspan or a.rowspan != b.rowspan:
            return 1.0
        if a.tag == "td" and (a.content or b.content):
            return levenshtein(a.content, b.content) / max(len(a.content), len(b.content))
        return 0.0

    def children(self, node):
        return node.children


def tokens(element, out):
    out.append("<%s>" % element.tag)
    if element.text is not None:
        out += list(element.text)
    for child in element.getchildren():
        tokens(child, out)
    if element.tag != "unk":
        out.append("</%s>" % element.tag)
    if element.tag != "td" and element.tail is not None:
        out += list(element.tail)


def table_tree(element, structure_only):
    if element.tag == "td":
        cell = []
        if not structure_only:
            tokens(element, cell)
        return Node("td", int(element.attrib.get("colspan", "1")),
                    int(element.attrib.get("rowspan", "1")), tuple(cell[1:-1]))
    node = Node(element.tag)
    node.children = [table_tree(child, structure_only) for child in element.getchildren()]
    return node


def size(node):
    return 1 + sum(size(child) for child in node.children)


def reference_teds(pred, true, structure_only=False, ignore_nodes=None, denominator="elements"):
    if not pred or not true:
        return 0.0
    parser = lxml_html.HTMLParser(remove_comments=True, encoding="utf-8")
    pred = lxml_html.fromstring(pred, parser=parser)
    true = lxml_html.fromstring(true, parser=parser)
    if not (pred.xpath("body/table") and true.xpath("body/table")):
        return 0.0
    pred, true = pred.xpath("body/table")[0], true.xpath("body/table")[0]
    if ignore_nodes:
        lxml_etree.strip_tags(pred, *ignore_nodes)
        lxml_etree.strip_tags(true, *ignore_nodes)
    tree1, tree2 = table_tree(pred, structure_only), table_tree(true, structure_only)
    if denominator == "tree":
        nodes = max(size(tree1), size(tree2))
    else:
        nodes = max(len(pred.xpath(".//*")), len(true.xpath(".//*")))
    return 1.0 - APTED(tree1, tree2, CellConfig()).compute_edit_distance() / nodes


def page(body):
    return f"<html><body>{body}</body></html>"


# -- the shared pairs ------------------------------------------------------------

def pair_digest(pair):
    return hashlib.sha256((pair["pred"] + "\0" + pair["true"]).encode()).hexdigest()[:16]


@pytest.mark.parametrize("structure_only", [False, True])
def test_small_pairs_match_the_reference(structure_only):
    small = [pair for pair in load_pairs() if max(pair["cells_true"], pair["cells_pred"]) <= 30]
    assert len(small) > 50
    expected = [reference_teds(pair["pred"], pair["true"], structure_only) for pair in small]
    one_by_one = [grix.teds(pair["pred"], pair["true"], structure_only=structure_only, **PUBTABNET) for pair in small]
    paired = grix.teds_paired([pair["pred"] for pair in small], [pair["true"] for pair in small],
                              structure_only=structure_only, workers=2, **PUBTABNET)
    np.testing.assert_allclose(one_by_one, expected, rtol=0, atol=1e-9)
    np.testing.assert_allclose(paired, expected, rtol=0, atol=1e-9)


def test_all_pairs_match_the_stored_reference():
    stored = json.loads(STORED.read_text())
    pairs = load_pairs()
    changed = [pair["id"] for pair in pairs if stored.get(pair["id"], {}).get("digest") != pair_digest(pair)]
    assert not changed, f"pairs changed since {STORED.name} was written; rerun this file as a script"
    for structure_only, key in ((False, "teds"), (True, "teds_struct")):
        scores = grix.teds_paired([pair["pred"] for pair in pairs], [pair["true"] for pair in pairs],
                                  structure_only=structure_only, workers=2, **PUBTABNET)
        expected = [stored[pair["id"]][key] for pair in pairs]
        np.testing.assert_allclose(scores, expected, rtol=0, atol=1e-9)


@pytest.mark.parametrize("structure_only", [False, True])
def test_tree_denominator_matches_table_recognition_metric(structure_only):
    metric = pytest.importorskip("table_recognition_metric")
    small = [pair for pair in load_pairs() if max(pair["cells_true"], pair["cells_pred"]) <= 25]
    theirs = metric.TEDS(structure_only=structure_only)
    expected = [theirs(pair["pred"], pair["true"]) for pair in small]
    ours = grix.teds_paired([pair["pred"] for pair in small], [pair["true"] for pair in small],
                            structure_only=structure_only, denominator="tree", **PUBTABNET)
    np.testing.assert_allclose(ours, expected, rtol=0, atol=1e-9)


# -- tables made here ----------------------------------------------------------

def random_cell(rng):
    text = "".join(rng.choice("ab c1\u00e9\ue000\U0010fffd") for _ in range(rng.randint(0, 6)))
    if rng.random() < 0.3:
        tag = rng.choice(["b", "i", "sup", "unk", "span"])
        text = f"{text[:2]}<{tag}>{text[2:]}</{tag}>{rng.choice(['', 'x'])}"
    if rng.random() < 0.05:
        text += "<table><tr><td>in</td>tail</tr></table>"
    spans = ""
    if rng.random() < 0.2:
        spans += f' colspan="{rng.choice(["1", "2", " 3 "])}"'
    if rng.random() < 0.1:
        spans += f' rowspan="{rng.choice(["1", "2"])}"'
    tag = "th" if rng.random() < 0.1 else "td"
    close = f"</{tag}>" if rng.random() < 0.9 else ""
    return f"<{tag}{spans}>{text}{close}"


def random_table(rng):
    rows = []
    for _ in range(rng.randint(0, 4)):
        cells = "".join(random_cell(rng) for _ in range(rng.randint(0, 4)))
        rows.append(f"<tr>{cells}</tr>" if rng.random() < 0.9 else f"<tr>{cells}")
    body = "".join(rows)
    if rng.random() < 0.3:
        body = f"<thead>{rows[0] if rows else ''}</thead><tbody>{body}</tbody>"
    if rng.random() < 0.1:
        body += "<!-- note --><caption>c<b>d</b></caption>"
    return page(f"<table>{body}</table>")


@pytest.mark.parametrize("structure_only", [False, True])
def test_random_tables_match_the_reference(structure_only):
    rng = random.Random(7)
    preds, trues = [], []
    for _ in range(150):
        true = random_table(rng)
        preds.append(random_table(rng) if rng.random() < 0.5 else true.replace("a", "b", 2))
        trues.append(true)
    expected = [reference_teds(p, t, structure_only) for p, t in zip(preds, trues)]
    ours = grix.teds_paired(preds, trues, structure_only=structure_only, workers=2, **PUBTABNET)
    np.testing.assert_allclose(ours, expected, rtol=0, atol=1e-9)
    tree_expected = [reference_teds(p, t, structure_only, denominator="tree") for p, t in zip(preds, trues)]
    tree_ours = grix.teds_paired(preds, trues, structure_only=structure_only, denominator="tree",
                                 **PUBTABNET)
    np.testing.assert_allclose(tree_ours, tree_expected, rtol=0, atol=1e-9)


SIMPLE = page("<table><tr><td>ab</td><td>c</td></tr><tr><td>d</td><td></td></tr></table>")

# Malformed and unusual tables, each against the simple one and itself.
ODD_TABLES = [
    page("<table><tr><td>ab<td>c<tr><td>d</table>"),                    # unclosed cells and rows
    page("<table><td>ab</td></b><td>c</td></table>"),                     # cells without a row, stray end
    page("<table><tr><td>a<b>b</b>c<sup>2</sup></td></tr></table>"),      # inline tags in a cell
    page("<table><tr><td>a<unk>b</unk></td><td><i><b>x</b>y</i></td></tr></table>"),
    page("<table><tr><td>x<table><tr><td>in</td>tail</tr></table>after</td></tr></table>"),  # nested
    page("<table><tr><th>head <b>x</b></th><td colspan=2>c</td></tr></table>"),
    page('<table><tr><td colspan=" 2 " rowspan="+1">ab</td></tr></table>'),
    page("<table><tr><td>&amp;&lt;&#x263A;\u00e9&#xD800;</td><td>\U0001F600</td></tr></table>"),
    page("<table><!-- c --><tr><td>a<!-- c -->b</td></tr><caption>t</caption></table>"),
    page("<table><tr><td>" + "".join(f"<t{k}>x</t{k}>" for k in range(40)) + "</td></tr></table>"),
    page("<table></table>"),
    page("<table><tr></tr></table>"),
]


@pytest.mark.parametrize("table", ODD_TABLES)
def test_odd_tables_match_the_reference(table):
    for pred, true in ((table, SIMPLE), (SIMPLE, table), (table, table)):
        for structure_only in (False, True):
            for denominator in ("elements", "tree"):
                expected = reference_teds(pred, true, structure_only, denominator=denominator) \
                    if table != page("<table></table>") or pred != true else 1.0
                assert grix.teds(pred, true, structure_only=structure_only,
                                 denominator=denominator, **PUBTABNET) == pytest.approx(expected, abs=1e-9)


def test_tables_that_are_missing_score_zero():
    # Under PubTabNet's definition the body must hold the table: fromstring
    # gives a bare fragment back as the table itself, and a table inside a
    # div is not body/table. By default both are found.
    for missing in ("", b"", "<table><tr><td>a</td></tr></table>", page("<div><table></table></div>"),
                    page("<p>no table</p>"), "   ", "plain text"):
        assert grix.teds(missing, SIMPLE, **PUBTABNET) == 0.0
        assert grix.teds(SIMPLE, missing, **PUBTABNET) == 0.0
        if "<table" in str(missing):
            assert grix.teds(missing, missing) == 1.0
        else:
            assert grix.teds(missing, SIMPLE) == grix.teds(SIMPLE, missing) == 0.0
        if str(missing).strip():
            assert reference_teds(missing, SIMPLE) == 0.0
    # lxml refuses str with an encoding declaration; it is read as its bytes
    # (which fromstring takes for a fragment, so the table stands alone).
    declared = '<?xml version="1.0" encoding="utf-8"?>' + SIMPLE
    assert grix.teds(declared, SIMPLE, **PUBTABNET) == reference_teds(declared.encode(), SIMPLE) == 0.0
    declared = '<?xml version="1.0" encoding="utf-8"?><html><head></head>' + SIMPLE[6:]
    assert grix.teds(declared, SIMPLE) == reference_teds(declared.encode(), SIMPLE) == 1.0
    # An empty table against a full one: everything inserted, nothing left.
    assert grix.teds(page("<table></table>"), SIMPLE) == 0.0
    # Both empty: PubTabNet divides 0 by 0; equal tables score 1.
    assert grix.teds(page("<table></table>"), page("<table> </table>")) == 1.0
    assert grix.teds(SIMPLE, SIMPLE) == 1.0


def test_cells_with_more_tag_names_than_codes_are_refused():
    cell = "".join(f"<t{k}></t{k}>" for k in range(1025))
    crowded = page(f"<table><tr><td>{cell}</td></tr></table>")
    with pytest.raises(ValueError, match="more than 2048 distinct tag tokens"):
        grix.teds(crowded, SIMPLE)
    assert grix.teds(crowded, SIMPLE, structure_only=True) == reference_teds(crowded, SIMPLE, True)


def test_bad_spans_raise_as_in_pubtabnet():
    bad = page('<table><tr><td colspan="two">a</td></tr></table>')
    with pytest.raises(ValueError):
        reference_teds(bad, SIMPLE)
    with pytest.raises(ValueError, match="colspan='two'"):
        grix.teds(bad, SIMPLE)
    with pytest.raises(ValueError, match="pair 1: .*colspan='two'"):
        grix.teds_paired([SIMPLE, bad], [SIMPLE, SIMPLE])
    with pytest.raises(ValueError):  # spans count in both modes
        reference_teds(bad, SIMPLE, structure_only=True)
    with pytest.raises(ValueError, match="colspan='two'"):
        grix.teds(bad, SIMPLE, structure_only=True)


@pytest.mark.parametrize("ignore", [["b"], ["tbody", "thead"], ["b", "i", "sup"], ["tr"], ["td"]])
def test_ignore_nodes_strips_tags_as_pubtabnet(ignore):
    pred = page("<table><thead><tr><td><b>h</b>1</td></tr></thead><tbody><tr><td>a<i>b</i>"
                "<sup>2</sup></td><td><b>c</b></td></tr></tbody></table>")
    true = page("<table><tbody><tr><td>h1</td></tr><tr><td>ab2</td><td>c</td></tr></tbody></table>")
    for structure_only in (False, True):
        expected = reference_teds(pred, true, structure_only, ignore_nodes=ignore)  # pages: both definitions
        assert grix.teds(pred, true, structure_only=structure_only,
                         ignore_nodes=ignore) == pytest.approx(expected, abs=1e-12)
    assert grix.teds(pred, true, ignore_nodes=ignore[0]) == grix.teds(pred, true, ignore_nodes=ignore[:1])


def test_lxml_elements_score_as_their_text_and_stay_unchanged():
    pred = page("<table><tr><td><b>a</b>b</td></tr></table>")
    true = page("<table><tr><td>ab</td></tr></table>")
    document = lxml_html.fromstring(pred)
    table = document.find("body/table")
    before = lxml_etree.tostring(document)
    for given in (document, table, document.getroottree()):
        assert grix.teds(given, true) == grix.teds(pred, true)
        assert grix.teds(given, true, ignore_nodes=["b"]) == grix.teds(pred, true, ignore_nodes=["b"]) == 1.0
    assert lxml_etree.tostring(document) == before
    with pytest.raises(TypeError, match="HTML text or an lxml element"):
        grix.teds(42, true)


def test_paired_arguments():
    assert grix.teds_paired([], []).shape == (0,)
    assert grix.teds_paired([""], [SIMPLE]).tolist() == [0.0]
    with pytest.raises(ValueError, match="1 tables but trues has 2"):
        grix.teds_paired([SIMPLE], [SIMPLE, SIMPLE])
    with pytest.raises(TypeError, match="sequences of tables"):
        grix.teds_paired(SIMPLE, SIMPLE)
    with pytest.raises(ValueError, match="denominator"):
        grix.teds(SIMPLE, SIMPLE, denominator="nodes")
    rng = random.Random(3)
    many = [random_table(rng) for _ in range(400)]
    with pytest.raises(TimeoutError, match="within 0.001 s"):
        grix.teds_paired(many, many[::-1], timeout=0.001)


def test_without_lxml_the_error_says_what_to_install(monkeypatch):
    for name in ("lxml", "lxml.etree", "lxml.html"):
        monkeypatch.setitem(sys.modules, name, None)
    with pytest.raises(ImportError, match=r"grix\[xml\]"):
        grix.teds(SIMPLE, SIMPLE)


def test_command_line(tmp_path):
    cell = "<table><tr><td>{}</td></tr></table>"
    (tmp_path / "pred.json").write_text(json.dumps({"a.png": page(cell.format("ab")),
                                                    "b.png": page(cell.format("x"))}))
    (tmp_path / "true.json").write_text(json.dumps({"a.png": {"html": page(cell.format("ab"))},
                                                    "b.png": page(cell.format("xy")),
                                                    "c.png": {"html": page(cell.format("z"))}}))
    run = subprocess.run([sys.executable, "-m", "grix", "teds", "pred.json", "true.json", "--json"],
                         capture_output=True, text=True, cwd=tmp_path, timeout=120)
    assert run.returncode == 0, run.stderr
    result = json.loads(run.stdout)
    assert result["scores"] == {"a.png": 1.0, "b.png": 0.75, "c.png": 0.0}
    assert result["mean"] == pytest.approx(1.75 / 3)
    text = subprocess.run([sys.executable, "-m", "grix", "teds", "pred.json", "true.json",
                           "--structure-only", "--workers", "1"],
                          capture_output=True, text=True, cwd=tmp_path, timeout=120)
    assert [line.split()[:2] for line in text.stdout.splitlines() if line.startswith("mean")] == \
        [["mean", "0.666667"]]
    (tmp_path / "bad.json").write_text("[1]")
    bad = subprocess.run([sys.executable, "-m", "grix", "teds", "bad.json", "true.json"],
                         capture_output=True, text=True, cwd=tmp_path, timeout=120)
    assert bad.returncode == 1 and "bad.json: item 0: expected an object, not int" in bad.stderr


def test_command_says_when_the_definition_finds_no_table_at_body_table(tmp_path):
    tables = [{"filename": name, "html": f"<table><tr><td>{name}</td></tr></table>"} for name in "ab"]
    (tmp_path / "t2.jsonl").write_text("".join(json.dumps(table) + "\n" for table in tables))
    run = subprocess.run([sys.executable, "-m", "grix", "teds", "t2.jsonl", "t2.jsonl", "--definition", "pubtabnet"],
                         capture_output=True, text=True, cwd=tmp_path, timeout=120)
    assert run.returncode == 0, run.stderr
    last = run.stdout.splitlines()[-1]
    assert "true tables without a table: 0" in last
    assert "tables not at body/table as definition 'pubtabnet' requires (scored 0): 2 true" in last
    summary = json.loads(subprocess.run(
        [sys.executable, "-m", "grix", "teds", "t2.jsonl", "t2.jsonl", "--definition", "pubtabnet", "--json"],
        capture_output=True, text=True, cwd=tmp_path, timeout=120).stdout)["summary"]
    assert (summary["no_true_table"], summary["misplaced_true"], summary["teds"]) == (0, 2, 0.0)


def test_command_without_lxml_says_what_to_install_in_one_line(tmp_path):
    (tmp_path / "t.json").write_text(json.dumps({"a": "<table><tr><td>a</td></tr></table>"}))
    hide = "import sys; sys.modules['lxml'] = None; from grix.cli import main; sys.exit(main(sys.argv[1:]))"
    run = subprocess.run([sys.executable, "-c", hide, "teds", "t.json", "t.json"],
                         capture_output=True, text=True, cwd=tmp_path, timeout=120)
    assert run.returncode == 1
    assert run.stderr.splitlines() == ["grix: grix.teds and grix.grits need lxml to parse HTML tables: "
                                       "pip install 'grix[xml]' (or pip install lxml)"]


def test_scale_bench_gives_the_command_predictions_first(tmp_path):
    spec = importlib.util.spec_from_file_location("bench_teds_scale", ROOT / "bench" / "bench_teds_scale.py")
    bench = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(bench)
    true_file, pred_file = tmp_path / "true.jsonl", tmp_path / "pred.json"
    true_file.write_text("".join(json.dumps({"filename": name, "html": "<table><tr><td>x</td></tr></table>"}) + "\n"
                                 for name in ("a", "b")))
    pred_file.write_text(json.dumps({"a": "<table><tr><td>x</td></tr></table>"}))
    summary, _ = bench.command_run(true_file, pred_file, tmp_path / "out.jsonl")
    assert (summary["tables"], summary["missing_predictions"], summary["teds"]) == (2, 1, 0.5)


def write_reference():
    reference = {}
    for pair in load_pairs():
        reference[pair["id"]] = {
            "digest": pair_digest(pair),
            "teds": reference_teds(pair["pred"], pair["true"]),
            "teds_struct": reference_teds(pair["pred"], pair["true"], structure_only=True),
        }
        print(pair["id"], reference[pair["id"]], flush=True)
    STORED.write_text(json.dumps(reference, indent=1) + "\n")


if __name__ == "__main__":
    write_reference()
