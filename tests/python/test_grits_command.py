"""GriTS in the same pass as TEDS (``grix teds --grits``) and the tables of a
page paired on GriTS (grix.grits_match): the command's columns against
grix.grits pair by pair on real pairs, its summary against the means of its
rows, the output without --grits against the columns it always had, and the
matching against all assignments tried one by one."""

import csv
import itertools
import json
import pathlib
import random
import subprocess
import sys

import numpy as np
import pytest

pytest.importorskip("lxml.html")
pytest.importorskip("scipy")
pytest.importorskip("rapidfuzz")

import grix  # noqa: E402

ROOT = pathlib.Path(__file__).resolve().parents[2]
PAIRS = [json.loads(line) for line in
         (ROOT / "data" / "tables" / "teds_pairs.jsonl").read_text(encoding="utf-8").splitlines()]
KEYS = [f"grits_{metric}{part}" for metric in ("top", "con") for part in ("", "_precision", "_recall")]
TEDS_COLUMNS = ["name", "teds", "teds_struct", "complex", "status"]


def run(tmp_path, *arguments):
    return subprocess.run([sys.executable, "-m", "grix", "teds", *arguments],
                          check=False, capture_output=True, text=True, cwd=tmp_path, timeout=300)


@pytest.fixture
def benchmark(tmp_path):
    """More pairs than one batch of the command (96), in the true file's
    record form, with one prediction missing and one without a table."""
    chosen = PAIRS[:130]
    trues = [{"filename": pair["id"], "html": pair["true"]} for pair in chosen]
    preds = {pair["id"]: pair["pred"] for pair in chosen}
    del preds[chosen[3]["id"]]
    preds[chosen[100]["id"]] = "<p>the table was not recognised</p>"
    (tmp_path / "true.json").write_text(json.dumps(trues))
    (tmp_path / "pred.json").write_text(json.dumps(preds))
    return {pair["id"]: pair for pair in chosen}, preds


def read_csv(path):
    with open(path, encoding="utf-8", newline="") as file:
        reader = csv.DictReader(file)
        return reader.fieldnames, list(reader)


def test_grits_columns_equal_grits_pair_by_pair(tmp_path, benchmark):
    pairs, preds = benchmark
    done = run(tmp_path, "pred.json", "true.json", "--grits", "top,con", "--output", "rows.jsonl", "--json",
               "--workers", "2")
    assert done.returncode == 0, done.stderr
    rows = [json.loads(line) for line in (tmp_path / "rows.jsonl").read_text().splitlines()]
    assert [row["name"] for row in rows] == list(pairs)
    statuses = {row["name"]: row["status"] for row in rows}
    assert statuses[PAIRS[3]["id"]] == "missing prediction"
    assert statuses[PAIRS[100]["id"]] == "no table in the prediction"
    for row in rows:
        assert list(row) == ["name", "teds", "teds_struct", *KEYS, "complex", "status"]
        if row["status"] == "ok":
            expected = grix.grits(preds[row["name"]], pairs[row["name"]]["true"])
            assert {key: row[key] for key in KEYS} == pytest.approx(expected, abs=1e-12), row["name"]
        else:
            # Scored as TEDS scores the pair.
            assert {key: row[key] for key in KEYS} == {key: row["teds"] for key in KEYS} == \
                {key: 0.0 for key in KEYS}
    summary = json.loads(done.stdout)["summary"]
    assert summary["grits_not_read"] == 2 and summary["grits_failed"] == 0
    complex_rows = [row for row in rows if row["complex"]]
    simple_rows = [row for row in rows if not row["complex"]]
    assert complex_rows and simple_rows
    for key in ["teds", "teds_struct", *KEYS]:
        assert summary[key] == pytest.approx(np.mean([row[key] for row in rows]), abs=1e-12)
        assert summary[f"{key}_simple"] == pytest.approx(np.mean([row[key] for row in simple_rows]), abs=1e-12)
        assert summary[f"{key}_complex"] == pytest.approx(np.mean([row[key] for row in complex_rows]), abs=1e-12)
    # The CSV holds the same columns and values; a bare --grits is top,con.
    assert run(tmp_path, "pred.json", "true.json", "--output", "rows.csv", "--grits").returncode == 0
    header, csv_rows = read_csv(tmp_path / "rows.csv")
    assert header == ["name", "teds", "teds_struct", *KEYS, "complex", "status"]
    for row, csv_row in zip(rows, csv_rows, strict=True):
        for key in ["teds", "teds_struct", *KEYS]:
            assert float(csv_row[key]) == pytest.approx(row[key], abs=1e-12)
    # The text summary names every mean and the pairs GriTS could not read.
    text = run(tmp_path, "pred.json", "true.json", "--grits=con", "--output", "rows2.csv")
    lines = text.stdout.splitlines()
    assert lines[0].split() == ["teds", "teds_struct", "grits_con", "grits_con_precision", "grits_con_recall"]
    assert [float(value) for value in lines[1].split()[1:6]] == pytest.approx(
        [summary[key] for key in ["teds", "teds_struct", "grits_con", "grits_con_precision", "grits_con_recall"]],
        abs=1e-6)
    assert "GriTS: 2 tables without a pair to read" in text.stdout


def test_without_grits_the_output_is_what_it_was(tmp_path, benchmark):
    plain = run(tmp_path, "pred.json", "true.json", "--output", "plain.csv", "--json")
    with_grits = run(tmp_path, "pred.json", "true.json", "--output", "grits.csv", "--json", "--grits")
    assert plain.returncode == with_grits.returncode == 0
    header, rows = read_csv(tmp_path / "plain.csv")
    assert header == TEDS_COLUMNS
    _, rows_grits = read_csv(tmp_path / "grits.csv")
    assert rows == [{key: row[key] for key in TEDS_COLUMNS} for row in rows_grits]
    summary = json.loads(plain.stdout)["summary"]
    assert not [key for key in summary if "grits" in key]
    assert summary == {key: value for key, value in json.loads(with_grits.stdout)["summary"].items()
                       if "grits" not in key}
    text = run(tmp_path, "pred.json", "true.json", "--output", "plain2.csv").stdout
    assert "GriTS" not in text and "grits" not in text
    assert text.splitlines()[0].split() == ["teds", "teds_struct"]


@pytest.mark.parametrize("value", ["--grits=bogus", "--grits=top,teds", "--grits=", "--grits=,"])
def test_a_bad_grits_value_is_a_usage_error(tmp_path, benchmark, value):
    done = run(tmp_path, "pred.json", "true.json", value)
    assert done.returncode == 2
    assert "--grits" in done.stderr and done.stdout == ""


def record(name, boxes):
    structure = ["<thead>", "<tr>", "<td>", "</td>", "<td", ' colspan="2"', ">", "</td>", "</tr>", "</thead>",
                 "<tbody>", "<tr>", "<td>", "</td>", "<td>", "</td>", "<td>", "</td>", "</tr>", "</tbody>"]
    cells = [{"tokens": list("ab")} if box is None else {"tokens": list("ab"), "bbox": box} for box in boxes]
    return {"filename": name, "html": {"structure": {"tokens": structure}, "cells": cells}}


def test_grits_loc_reads_the_boxes_of_pubtabnet_records(tmp_path):
    boxes = [[0, 0, 10, 5], [10, 0, 30, 5], [0, 5, 10, 10], [10, 5, 20, 10], [20, 5, 30, 10]]
    moved = [[0, 0, 10, 5], [12, 0, 30, 6], None, [10, 5, 20, 10], [21, 5, 30, 11]]
    trues = [record(name, boxes) for name in ("a", "b", "c")]
    preds = [record("a", boxes), record("b", moved), record("c", [[0, 0, 1], *boxes[1:]])]  # c: a bad box
    (tmp_path / "true.jsonl").write_text("".join(json.dumps(item) + "\n" for item in trues))
    (tmp_path / "pred.jsonl").write_text("".join(json.dumps(item) + "\n" for item in preds))
    done = run(tmp_path, "pred.jsonl", "true.jsonl", "--grits", "loc,top", "--output", "rows.jsonl", "--json")
    assert done.returncode == 0, done.stderr
    rows = {row["name"]: row for row in map(json.loads, (tmp_path / "rows.jsonl").read_text().splitlines())}
    for name, pred, true in zip("ab", preds, trues):
        expected = grix.grits(pred, true, metrics=("loc", "top"))
        assert {key: rows[name][key] for key in expected} == pytest.approx(expected, abs=1e-12)
    assert rows["b"]["grits_loc"] < 1.0 and rows["b"]["grits_top"] == 1.0
    # TEDS reads c; GriTS cannot (its box has three numbers): no GriTS score.
    assert rows["c"]["teds"] == 1.0 and rows["c"]["status"].startswith("grits error")
    assert rows["c"]["grits_loc"] is None and rows["c"]["grits_top"] is None
    summary = json.loads(done.stdout)["summary"]
    assert (summary["grits_failed"], summary["grits_not_read"], summary["failed_to_parse"]) == (1, 0, 0)
    assert summary["grits_loc"] == pytest.approx((rows["a"]["grits_loc"] + rows["b"]["grits_loc"]) / 2)
    # Tables as HTML text carry no boxes.
    (tmp_path / "html.json").write_text(json.dumps({"a": "<table><tr><td>x</td></tr></table>"}))
    unboxed = run(tmp_path, "html.json", "true.jsonl", "--grits", "loc")
    assert unboxed.returncode == 1 and "html.json: a: --grits loc needs the cells' boxes" in unboxed.stderr


# -- pages of several tables ---------------------------------------------------------

@pytest.mark.parametrize("metric", ["top", "con"])
def test_grits_match_finds_the_best_assignment(metric):
    small = [pair for pair in PAIRS if pair["cells_true"] <= 20]
    rng = random.Random(7)
    for _ in range(25):
        trues = [pair["true"] for pair in rng.sample(small, rng.randint(0, 4))]
        preds = [pair["pred"] for pair in rng.sample(small, rng.randint(0, 4))]
        if preds and rng.random() < 0.3:
            preds[rng.randrange(len(preds))] = "<p>no table</p>"
        match = grix.grits_match(trues, preds, metric=metric, workers=2)
        expected = np.array([[grix.grits(pred, true, metrics=metric)[f"grits_{metric}"] for pred in preds]
                             for true in trues]).reshape(len(trues), len(preds))
        np.testing.assert_allclose(match.matrix, expected, rtol=0, atol=1e-12)
        matched = min(len(trues), len(preds))
        best = max((sum(expected[row, column] for row, column in zip(rows, columns))
                    for rows in itertools.permutations(range(len(trues)), matched)
                    for columns in itertools.combinations(range(len(preds)), matched)), default=0.0)
        assert match.scores.sum() == pytest.approx(best, abs=1e-12)
        assert len(match.pairs) == matched
        assert sorted(match.missed + [row for row, _ in match.pairs]) == list(range(len(trues)))
        assert sorted(match.spurious + [column for _, column in match.pairs]) == list(range(len(preds)))
        union = len(trues) + len(preds) - matched
        assert match.score == pytest.approx(best / union if union else 1.0, abs=1e-12)
        over_true = best / len(trues) if trues else 0.0 if preds else 1.0
        assert match.score_over_true == pytest.approx(over_true, abs=1e-12)
    empty = grix.grits_match([], [])
    assert (empty.score, empty.score_over_true) == (1.0, 1.0)


def test_grits_match_names_the_bad_table_and_metric():
    good = "<table><tr><td>a</td></tr></table>"
    with pytest.raises(ValueError, match="metric must be one of"):
        grix.grits_match([good], [good], metric="teds")
    with pytest.raises(ValueError, match="predicted table 1: GriTS-Loc needs the cells' boxes"):
        grix.grits_match([record("a", [[0, 0, 1, 1]] * 5)], [record("a", [[0, 0, 1, 1]] * 5), good], metric="loc")
    with pytest.raises(TypeError, match="sequences of tables"):
        grix.grits_match(good, [good])
    # A true table without a table is missed at 0, as under teds_match.
    match = grix.grits_match([good, "<p>no table</p>"], [good])
    assert match.pairs == [(0, 0)] and match.missed == [1] and match.score == 0.5
