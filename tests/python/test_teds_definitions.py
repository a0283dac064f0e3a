"""Each named TEDS definition against its source, on the real table pairs of
data/tables: live against the installed peer where it installs
(table-recognition-metric for "pubtabnet" with the tree denominator,
docling-metrics-table for "docling-metrics"), else against the figures its
own code produced, kept beside the pairs (teds_docling_eval.json; how they
were made is in teds_docling_eval.md). Every pair must agree to 1e-12, or
the test names it. Also: tables written as fragments, as a browser finds
them, and the command line's options."""

import json
import math
import pathlib
import subprocess
import sys
import time

import numpy as np
import pytest

pytest.importorskip("lxml.html")

import grix  # noqa: E402

ROOT = pathlib.Path(__file__).resolve().parents[2]
PAIRS_FILE = ROOT / "data" / "tables" / "teds_pairs.jsonl"
DOCLING_EVAL = pathlib.Path(__file__).with_name("teds_docling_eval.json")


def load_pairs():
    with open(PAIRS_FILE, encoding="utf-8") as lines:
        return [json.loads(line) for line in lines]


def disagreements(pairs, ours, theirs):
    """The pairs whose scores differ by more than 1e-12 (NaN equals NaN:
    a table its source drops)."""
    wrong = []
    for pair, mine, source in zip(pairs, ours, theirs):
        source = math.nan if source is None else source
        if not (math.isnan(mine) and math.isnan(source)) and not abs(mine - source) <= 1e-12:
            wrong.append((pair["id"], mine, source))
    return wrong


def paired(pairs, **options):
    return grix.teds_paired([pair["pred"] for pair in pairs], [pair["true"] for pair in pairs],
                            workers=2, **options)


@pytest.mark.parametrize("structure_only", [False, True])
def test_docling_metrics_equals_the_package(structure_only):
    module = pytest.importorskip("docling_metrics_table.docling_metrics_table")
    metric = module.TableMetric(metrics=[module.TableMetricKind.TEDS])
    pairs = load_pairs()
    theirs = []
    for pair in pairs:
        sample = module.TableMetricHTMLInputSample(id=pair["id"], html_a=pair["true"], html_b=pair["pred"],
                                                   structure_only=structure_only)
        theirs.append(metric.evaluate_sample(sample).teds.teds)
    ours = paired(pairs, structure_only=structure_only, definition="docling-metrics")
    assert len(pairs) >= 100
    assert disagreements(pairs, ours, theirs) == []
    # Against PubTabNet's definition the two differ on most pairs: the test
    # is not passing by accident.
    assert sum(abs(a - b) > 1e-6 for a, b in zip(ours, paired(pairs, structure_only=structure_only))) > 50


@pytest.mark.parametrize("structure_only", [False, True])
def test_docling_eval_equals_its_stored_figures(structure_only):
    stored = json.loads(DOCLING_EVAL.read_text())
    pairs = [pair for pair in load_pairs() if pair["id"] in stored]
    assert len(pairs) == len(stored) >= 100
    key = "structure" if structure_only else "full"
    ours = paired(pairs, structure_only=structure_only, definition="docling-eval")
    assert disagreements(pairs, ours, [stored[pair["id"]][key] for pair in pairs]) == []


@pytest.mark.parametrize("structure_only", [False, True])
def test_pubtabnet_with_the_tree_denominator_equals_table_recognition_metric(structure_only):
    metric = pytest.importorskip("table_recognition_metric")
    pairs = [pair for pair in load_pairs() if max(pair["cells_true"], pair["cells_pred"]) <= 50]
    assert len(pairs) >= 100
    theirs = metric.TEDS(structure_only=structure_only)
    expected = [theirs(pair["pred"], pair["true"]) for pair in pairs]
    ours = paired(pairs, structure_only=structure_only, definition="pubtabnet", denominator="tree")
    assert disagreements(pairs, ours, expected) == []


# -- fragments -------------------------------------------------------------------

TABLE = "<table><tr><td>a</td><td>b</td></tr></table>"
OTHER = "<table><tr><td>a</td><td>c</td></tr></table>"


@pytest.mark.parametrize("wrap", ["{}", "<body>{}</body>", "<div>{}</div>", "<p>x</p><div><div>{}</div></div>",
                                  "<html><body>{}</body></html>", "  {}\n", "<!-- c -->{}"])
def test_fragments_are_found_as_a_browser_finds_them(wrap):
    table, other = wrap.format(TABLE), wrap.format(OTHER)
    assert grix.teds(table, table) == 1.0
    assert grix.teds(other, table) == pytest.approx(1 - 1 / 3)  # one rename over tr, td, td
    assert grix.teds(table.encode(), TABLE) == 1.0
    assert grix.teds_paired([other, table], [TABLE, table]).tolist() == [pytest.approx(2 / 3), 1.0]
    # PubTabNet's exact definition scores a table only as body/table of
    # what fromstring returns, which is a whole page here only.
    exact = grix.teds(table, table, definition="pubtabnet")
    assert exact == (1.0 if wrap.startswith("<html>") else 0.0)


def test_only_text_without_a_table_scores_zero():
    for missing in ("", "<p>no table</p>", "<div><tr><td>a</td></tr></div>", "   ", "plain"):
        assert grix.teds(missing, TABLE) == grix.teds(TABLE, missing) == 0.0
    # The first table in document order: the outer one of nested tables.
    nested = "<div><table><tr><td>x<table><tr><td>in</td></tr></table></td></tr></table></div>"
    assert grix.teds(nested, nested[5:-6]) == 1.0
    assert grix.teds(nested, "<table><tr><td>in</td></tr></table>") < 1.0
    assert grix.teds("<div>" + TABLE + OTHER + "</div>", TABLE) == 1.0


def test_definition_options_are_checked():
    with pytest.raises(ValueError, match="definition must be None or one of 'pubtabnet'"):
        grix.teds(TABLE, TABLE, definition="paddle")
    with pytest.raises(ValueError, match="'docling-metrics' divides by 'tree'"):
        grix.teds(TABLE, TABLE, definition="docling-metrics", denominator="elements")
    with pytest.raises(ValueError, match="pair 0: lxml cannot parse"):
        grix.teds_paired([""], [TABLE], definition="docling-metrics")
    assert math.isnan(grix.teds("", TABLE, definition="docling-eval"))
    # docling-eval rounds to 3 decimals and strips <b>, <i>, <u> first.
    assert grix.teds("<table><tr><td><b>a</b></td><td>b</td></tr></table>", TABLE,
                     definition="docling-eval") == 1.0
    three = "<table><tr><td>abc</td><td>b</td><td>b</td></tr></table>"
    assert grix.teds(three.replace("abc", "abd"), three, definition="docling-eval") == 0.917


# -- the command line ------------------------------------------------------------

def run_grix(*args, cwd):
    return subprocess.run([sys.executable, "-m", "grix", "teds", *args], capture_output=True, text=True,
                          cwd=cwd, timeout=300)


def test_command_takes_the_definition_and_denominator(tmp_path):
    pytest.importorskip("table_recognition_metric")
    from table_recognition_metric import TEDS

    pairs = [pair for pair in load_pairs() if max(pair["cells_true"], pair["cells_pred"]) <= 25]
    (tmp_path / "pred.json").write_text(json.dumps({pair["id"]: pair["pred"] for pair in pairs}))
    (tmp_path / "true.json").write_text(json.dumps({pair["id"]: {"html": pair["true"]} for pair in pairs}))
    theirs = TEDS()
    expected = float(np.mean([theirs(pair["pred"], pair["true"]) for pair in pairs]))
    run = run_grix("pred.json", "true.json", "--json", "--denominator", "tree", cwd=tmp_path)
    assert run.returncode == 0, run.stderr
    assert json.loads(run.stdout)["mean"] == pytest.approx(expected, abs=1e-12)
    default = json.loads(run_grix("pred.json", "true.json", "--json", cwd=tmp_path).stdout)["mean"]
    assert abs(default - expected) > 1e-4
    docling = run_grix("pred.json", "true.json", "--json", "--definition", "docling-eval", cwd=tmp_path)
    scores = json.loads(docling.stdout)["scores"]
    assert all(round(value, 3) == value for value in scores.values())
    bad = run_grix("pred.json", "true.json", "--definition", "nope", cwd=tmp_path)
    assert bad.returncode == 2 and "invalid choice: 'nope'" in bad.stderr
    refused = run_grix("pred.json", "true.json", "--definition", "docling-metrics", "--denominator", "elements",
                       cwd=tmp_path)
    assert refused.returncode == 2 and "'docling-metrics' divides by 'tree'" in refused.stderr
    late = run_grix("pred.json", "true.json", "--timeout", "0.000001", cwd=tmp_path)
    assert late.returncode == 1 and "gave up after the time-out" in late.stderr


def test_command_stops_on_ctrl_c_with_what_is_done(tmp_path):
    import re
    import signal

    pairs = load_pairs()
    copies = 20
    (tmp_path / "true.jsonl").write_text("".join(
        json.dumps({"filename": f"{pair['id']}-{copy}", "html": pair["true"]}) + "\n"
        for copy in range(copies) for pair in pairs))
    (tmp_path / "pred.json").write_text(json.dumps({f"{pair['id']}-{copy}": pair["pred"]
                                                    for copy in range(copies) for pair in pairs}))
    process = subprocess.Popen([sys.executable, "-m", "grix", "teds", "pred.json", "true.jsonl", "--progress",
                                "--output", "out.jsonl", "--workers", "2"], cwd=tmp_path,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    process.stderr.read(1)  # the bar: the files are read, the scoring has begun
    time.sleep(0.5)
    process.send_signal(signal.SIGINT)
    _, errors = process.communicate(timeout=60)
    assert process.returncode == 130, errors
    done = int(re.search(r"stopped after (\d+) of 3460 tables", errors).group(1))
    rows = [json.loads(line) for line in (tmp_path / "out.jsonl").read_text().splitlines()]
    assert len(rows) == done < 3460
    assert all(row["status"] == "ok" and 0 <= row["teds"] <= 1 for row in rows)


def test_command_reads_pubtabnet_records_and_omnidocbench_pages(tmp_path):
    record = {"filename": "a.png", "split": "val",
              "html": {"structure": {"tokens": ["<tr>", "<td", ' colspan="2"', ">", "</td>", "</tr>",
                                                "<tr>", "<td>", "</td>", "<td>", "</td>", "</tr>"]},
                       "cells": [{"tokens": list("ab")}, {"tokens": ["<b>", "c", "</b>"]}, {"tokens": []}]}}
    (tmp_path / "gt.jsonl").write_text(json.dumps(record) + "\n")
    pred = "<table><tr><td colspan=2>ab</td></tr><tr><td><b>c</b></td><td></td></tr></table>"
    (tmp_path / "pred.json").write_text(json.dumps({"a.png": pred}))
    run = run_grix("pred.json", "gt.jsonl", "--json", cwd=tmp_path)
    assert run.returncode == 0, run.stderr
    result = json.loads(run.stdout)
    assert result["scores"] == {"a.png": 1.0}
    assert result["summary"]["complex"] == 1 and result["summary"]["teds_struct"] == 1.0
    pages = [{"page_info": {"image_path": "p1.jpg"},
              "layout_dets": [{"category_type": "text", "text": "x"},
                              {"category_type": "table", "html": pred},
                              {"category_type": "table", "html": "<p>lost</p>"}]}]
    (tmp_path / "pages.json").write_text(json.dumps(pages))
    (tmp_path / "pages_pred.json").write_text(json.dumps({"p1.jpg#0": pred, "p1.jpg#1": pred}))
    run = run_grix("pages_pred.json", "pages.json", "--json", "--output", "out.csv", cwd=tmp_path)
    result = json.loads(run.stdout)
    assert result["scores"] == {"p1.jpg#0": 1.0, "p1.jpg#1": 0.0}
    assert result["summary"]["no_true_table"] == 1
    assert (tmp_path / "out.csv").read_text().splitlines()[0] == "name,teds,teds_struct,complex,status"
    (tmp_path / "broken.jsonl").write_text(json.dumps({"filename": "b.png", "html": {"cells": []}}) + "\n")
    broken = run_grix("pred.json", "broken.jsonl", cwd=tmp_path)
    assert broken.returncode == 1
    assert broken.stderr.strip() == "grix: broken.jsonl: b.png: expected a PubTabNet record with " \
        "html.structure.tokens and html.cells"
