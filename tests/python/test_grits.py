"""GriTS (grix.grits, grix.grits_paired) against grits-metric, the
community's reference: real tables of the test corpus read from HTML, and
seeded random tables with their edits (rows and columns deleted, cells
merged, split and emptied, texts and boxes changed), given to both as the
same cell lists. The reference's sums and ties are followed, so the scores
must agree to 1e-9."""

import html
import json
import pathlib
import random

import numpy as np
import pytest

pytest.importorskip("lxml.html")
G = pytest.importorskip("grits")

import grix  # noqa: E402
from grix.readers import markdown_table, otsl_table, pubtabnet_table  # noqa: E402

ROOT = pathlib.Path(__file__).resolve().parents[2]
KEYS = ("", "_precision", "_recall")


def reference(true_grids, pred_grids, metric):
    """grits-metric's (f, precision, recall) for grids it made."""
    return getattr(G, f"grits_{metric}")(true_grids, pred_grids)


def assert_agrees(mine, number, expected, metric):
    got = tuple(mine[f"grits_{metric}{key}"][number] for key in KEYS)
    np.testing.assert_allclose(got, expected, rtol=0, atol=1e-9, err_msg=f"pair {number}, {metric}")


def random_cells(rng, rows, columns):
    """A cell list tiling rows x columns, spans at random, boxes from the
    grid lines with some noise, texts from a small alphabet (often equal or
    empty, so that ties and early exits are met)."""
    taken = set()
    cells = []
    for row in range(rows):
        for column in range(columns):
            if (row, column) in taken:
                continue
            colspan = rowspan = 1
            if rng.random() < 0.2:
                while column + colspan < columns and (row, column + colspan) not in taken and rng.random() < 0.5:
                    colspan += 1
                while row + rowspan < rows and rng.random() < 0.4:
                    rowspan += 1
            taken |= {(r, c) for r in range(row, row + rowspan) for c in range(column, column + colspan)}
            x0, y0 = column * 10 + rng.uniform(0, 2), row * 8 + rng.uniform(0, 2)
            cells.append({"row_nums": list(range(row, row + rowspan)),
                          "column_nums": list(range(column, column + colspan)),
                          "cell_text": "".join(rng.choice("aab é1") for _ in range(rng.randint(0, 4))),
                          "bbox": [x0, y0, x0 + colspan * 10 - rng.uniform(0, 3), y0 + rowspan * 8 - rng.uniform(0, 3)]})
    return cells


def delete_line(cells, axis, line):
    """The cells without grid row (axis "row_nums") or column `line`."""
    out = []
    for cell in cells:
        kept = [n - (n > line) for n in cell[axis] if n != line]
        if kept:
            out.append({**cell, axis: kept})
    return out


def edited(rng, cells):
    cells = [dict(cell) for cell in cells]
    for _ in range(rng.randint(0, 3)):
        kind = rng.choice(["row", "column", "empty", "text", "merge", "split", "box"])
        if not cells:
            break
        cell = rng.randrange(len(cells))
        if kind in ("row", "column"):
            axis = f"{kind}_nums"
            lines = sorted({n for c in cells for n in c[axis]})
            cells = delete_line(cells, axis, rng.choice(lines))
        elif kind == "empty":
            cells[cell]["cell_text"] = ""
        elif kind == "text":
            cells[cell]["cell_text"] += rng.choice("ab")
        elif kind == "merge":  # the cell takes the column to its right
            cells[cell]["column_nums"] = cells[cell]["column_nums"] + [max(cells[cell]["column_nums"]) + 1]
        elif kind == "split" and len(cells[cell]["row_nums"]) > 1:
            cells[cell]["row_nums"] = cells[cell]["row_nums"][:1]
        elif kind == "box":
            x0, y0, x1, y1 = cells[cell]["bbox"]
            cells[cell]["bbox"] = [x0 + 3, y0, x1 + 3, y1 + 1]
    return cells


@pytest.mark.parametrize("seed", range(4))
def test_random_tables_and_their_edits_score_as_grits_metric(seed):
    rng = random.Random(seed)
    trues = [random_cells(rng, rng.randint(1, 6), rng.randint(1, 6)) for _ in range(60)]
    preds = [edited(rng, cells) for cells in trues]
    mine = grix.grits_paired(preds, trues, metrics=("top", "con", "loc"), workers=2)
    for number, (pred, true) in enumerate(zip(preds, trues)):
        true_cells = [G.TableCell.from_dict(cell) for cell in true]
        pred_cells = [G.TableCell.from_dict(cell) for cell in pred]
        for metric in ("top", "con", "loc"):
            convert = getattr(G, f"cell_list_to_grid_{metric}")
            assert_agrees(mine, number, reference(convert(true_cells), convert(pred_cells), metric), metric)


def random_html(rng):
    """HTML as recognisers write it: spans browsers read leniently
    ("2px", "0"), cells outside rows, th, inline tags, rows left short."""
    rows = []
    for _ in range(rng.randint(1, 6)):
        cells = []
        for _ in range(rng.randint(0, 5)):
            spans = ""
            if rng.random() < 0.2:
                spans += f' colspan="{rng.choice(["2", "3", "2px", "0", "x", " +2"])}"'
            if rng.random() < 0.2:
                spans += f' rowspan="{rng.choice(["2", "3", "0"])}"'
            text = html.escape("".join(rng.choice("ab é") for _ in range(rng.randint(0, 4))))
            if rng.random() < 0.1:
                text = f"<b>{text}</b> x"
            tag = rng.choice(["td", "td", "td", "th"])
            cells.append(f"<{tag}{spans}>{text}</{tag}>")
        rows.append("<tr>" + "".join(cells) + "</tr>" if rng.random() < 0.9 else "".join(cells))
    head = "<thead>" + rows[0] + "</thead>" if rng.random() < 0.5 else rows[0]
    return "<table>" + head + "".join(rows[1:]) + "</table>"


@pytest.mark.parametrize("seed", range(3))
def test_random_html_reads_as_grits_metric_reads_it(seed):
    rng = random.Random(100 + seed)
    trues = [random_html(rng) for _ in range(50)]
    preds = [random_html(rng) if rng.random() < 0.5 else true.replace("<tr>", "", 1) for true in trues]
    mine = grix.grits_paired(preds, trues, workers=2)
    for number, (pred, true) in enumerate(zip(preds, trues)):
        true_grids, pred_grids = G.html_to_grids(true), G.html_to_grids(pred)
        for metric in ("top", "con"):
            assert_agrees(mine, number, reference(true_grids[metric], pred_grids[metric], metric), metric)


def test_corpus_tables_score_as_grits_metric():
    pairs = [json.loads(line) for line in (ROOT / "data" / "tables" / "teds_pairs.jsonl").read_text(
        encoding="utf-8").splitlines()]
    # The reference takes seconds on the larger tables: the small ones.
    small = [pair for pair in pairs if pair["cells_true"] <= 60][:40]
    mine = grix.grits_paired([pair["pred"] for pair in small], [pair["true"] for pair in small], workers=2)
    for number, pair in enumerate(small):
        true_grids, pred_grids = G.html_to_grids(pair["true"]), G.html_to_grids(pair["pred"])
        for metric in ("top", "con"):
            assert_agrees(mine, number, reference(true_grids[metric], pred_grids[metric], metric), metric)


def test_pubtabnet_records_carry_their_boxes_for_loc():
    structure = ["<thead>", "<tr>", "<td>", "</td>", "<td", ' colspan="2"', ">", "</td>", "</tr>", "</thead>",
                 "<tbody>", "<tr>", "<td>", "</td>", "<td>", "</td>", "<td>", "</td>", "</tr>", "</tbody>"]
    boxes = [[0, 0, 10, 5], [10, 0, 30, 5], [0, 5, 10, 10], [10, 5, 20, 10], [20, 5, 30, 10]]
    record = {"filename": "PMC9.png", "html": {"structure": {"tokens": structure},
                                                "cells": [{"tokens": list("ab"), "bbox": box} for box in boxes]}}
    assert grix.grits(record, record, metrics=("top", "con", "loc")) == {
        f"grits_{metric}{key}": 1.0 for metric in ("top", "con", "loc") for key in KEYS}
    moved = json.loads(json.dumps(record))
    moved["html"]["cells"][1]["bbox"] = [12, 0, 30, 6]
    del moved["html"]["cells"][2]["bbox"]  # an empty cell, unboxed as in PubTabNet: 0, 0, 0, 0
    cells = [G.TableCell(row_nums=[0], column_nums=[0], bbox=[0, 0, 10, 5]),
             G.TableCell(row_nums=[0], column_nums=[1, 2], bbox=[10, 0, 30, 5]),
             G.TableCell(row_nums=[1], column_nums=[0], bbox=[0, 5, 10, 10]),
             G.TableCell(row_nums=[1], column_nums=[1], bbox=[10, 5, 20, 10]),
             G.TableCell(row_nums=[1], column_nums=[2], bbox=[20, 5, 30, 10])]
    moved_cells = list(cells)
    moved_cells[1] = G.TableCell(row_nums=[0], column_nums=[1, 2], bbox=[12, 0, 30, 6])
    moved_cells[2] = G.TableCell(row_nums=[1], column_nums=[0], bbox=[0, 0, 0, 0])
    expected = G.grits_loc(G.cell_list_to_grid_loc(cells), G.cell_list_to_grid_loc(moved_cells))
    assert expected[0] < 1
    assert_agrees(grix.grits_paired([moved], [record], metrics="loc"), 0, expected, "loc")
    assert grix.grits(pubtabnet_table(record), record)["grits_con"] == 1.0


def test_every_reader_gives_the_same_grid():
    written = ("<table><tr><td>Name</td><td>Age</td></tr><tr><td>Ann</td><td>3</td></tr>"
               "<tr><td colspan=\"2\">total</td></tr></table>")
    otsl = otsl_table("<fcel>Name<fcel>Age<nl><fcel>Ann<fcel>3<nl><fcel>total<lcel><nl>")
    markdown = markdown_table("| Name | Age |\n|---|---|\n| Ann | 3 |")
    for table in (otsl, written.encode("utf-16")):
        assert set(grix.grits(table, written).values()) == {1.0}
    scores = grix.grits(markdown, written)
    assert scores["grits_con_precision"] == scores["grits_top_precision"] == 1.0
    assert scores["grits_con_recall"] == pytest.approx(4 / 6)


def test_a_missing_prediction_and_bad_input():
    true = "<table><tr><td>a</td></tr></table>"
    scores = grix.grits("<p>no table</p>", true)
    assert (scores["grits_con"], scores["grits_con_precision"], scores["grits_con_recall"]) == (0.0, 1.0, 0.0)
    with pytest.raises(ValueError, match="true table 1: no table"):
        grix.grits_paired([true, true], [true, "<p>none</p>"])
    with pytest.raises(ValueError, match="GriTS-Loc needs the cells' boxes"):
        grix.grits(true, true, metrics="loc")
    with pytest.raises(ValueError, match="metrics must be among"):
        grix.grits(true, true, metrics="teds")
    with pytest.raises(ValueError, match="2 predictions for 1 true tables"):
        grix.grits_paired([true, true], [true])


def test_many_workers_give_one_worker_s_scores():
    rng = random.Random(9)
    trues = [random_cells(rng, rng.randint(1, 8), rng.randint(1, 8)) for _ in range(80)]
    preds = [edited(rng, cells) for cells in trues]
    one = grix.grits_paired(preds, trues, metrics=("top", "con", "loc"), workers=1)
    many = grix.grits_paired(preds, trues, metrics=("top", "con", "loc"), workers=2)
    assert one.keys() == many.keys()
    for key in one:
        np.testing.assert_array_equal(one[key], many[key])


def test_small_iou_tables_are_numpys_bit_for_bit():
    # Small tables take a loop in Python; it must give numpy's doubles, on
    # boxes that touch, nest, have no area, or hold ints (GriTS-Top's spans).
    import sys
    grits_module = sys.modules["grix.tables.grits"]
    rng = random.Random(7)
    corners = [0, 0.5, 1, 2.25, 3, 1e-300, 7.1]
    for _ in range(300):
        boxes = []
        for _ in range(rng.randint(1, 9)):
            x0, x1 = sorted(rng.choice(corners) for _ in range(2))
            y0, y1 = sorted(rng.choice(corners) for _ in range(2))
            boxes.append((x0, y0, x1, y1) if rng.random() < 0.7 else tuple(int(v) for v in (x0, y0, x1, y1)))
        small = grits_module._iou_rewards(boxes[:4], boxes[4:])
        threshold, grits_module._SMALL_IOU = grits_module._SMALL_IOU, -1
        try:
            large = grits_module._iou_rewards(boxes[:4], boxes[4:])
        finally:
            grits_module._SMALL_IOU = threshold
        assert small.shape == large.shape and small.tobytes() == large.tobytes(), boxes
