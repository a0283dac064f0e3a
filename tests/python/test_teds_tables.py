"""Tables in the forms benchmarks hold them (grix.readers.tables) and pages
of several tables (grix.teds_match), checked against tables written here
plainly: random grids with spans written once as HTML and once in each
format, which must score 1.0 against each other; the matching against all
assignments tried one by one."""

import html
import itertools
import json
import pathlib
import random

import numpy as np
import pytest

pytest.importorskip("lxml.html")
pytest.importorskip("scipy")

import grix  # noqa: E402
from grix.readers import html_tables, markdown_table, markdown_tables, otsl_table, pubtabnet_table  # noqa: E402

ROOT = pathlib.Path(__file__).resolve().parents[2]


def random_grid(rng, spans=True):
    """Rows of cells (text, colspan, rowspan) that tile a rectangle."""
    rows, columns = rng.randint(1, 5), rng.randint(1, 5)
    taken = [[False] * columns for _ in range(rows)]
    grid = []
    for row in range(rows):
        cells = []
        for column in range(columns):
            if taken[row][column]:
                continue
            colspan = rowspan = 1
            if spans and rng.random() < 0.25:
                while column + colspan < columns and not taken[row][column + colspan] and rng.random() < 0.5:
                    colspan += 1
                while row + rowspan < rows and rng.random() < 0.4:
                    rowspan += 1
            for r in range(row, row + rowspan):
                for c in range(column, column + colspan):
                    taken[r][c] = True
            text = "".join(rng.choice("ab <&|é1") for _ in range(rng.randint(0, 5))).strip()
            cells.append((text, colspan, rowspan))
        grid.append(cells)
    return grid


def grid_html(grid):
    rows = []
    for cells in grid:
        out = []
        for text, colspan, rowspan in cells:
            spans = (f' colspan="{colspan}"' if colspan > 1 else "") + (f' rowspan="{rowspan}"' if rowspan > 1 else "")
            out.append(f"<td{spans}>{html.escape(text)}</td>")
        rows.append("<tr>" + "".join(out) + "</tr>")
    return "<table>" + "".join(rows) + "</table>"


def grid_otsl(grid):
    """OTSL written from the grid's occupancy, independently of the reader."""
    rows, columns = len(grid), max(sum(c for _, c, _ in cells) for cells in grid) if grid else 0
    occupancy = {}
    for row, cells in enumerate(grid):
        column = 0
        for text, colspan, rowspan in cells:
            while (row, column) in occupancy:
                column += 1
            for r in range(row, row + rowspan):
                for c in range(column, column + colspan):
                    occupancy[r, c] = (row, column, text)
            column += colspan
    tokens = []
    for row in range(rows):
        for column in range(max(c for _, c in occupancy) + 1):
            if (row, column) not in occupancy:
                continue
            origin_row, origin_column, text = occupancy[row, column]
            if (origin_row, origin_column) == (row, column):
                tokens += ["fcel", text] if text else ["ecel"]
            else:
                tokens.append({(True, False): "lcel", (False, True): "ucel", (True, True): "xcel"}[
                    (column > origin_column, row > origin_row)])
        tokens.append("nl")
    return tokens


@pytest.mark.parametrize("seed", range(4))
def test_otsl_and_pubtabnet_records_read_as_the_html_they_encode(seed):
    rng = random.Random(seed)
    for _ in range(40):
        grid = random_grid(rng)
        written = grid_html(grid)
        tokens = grid_otsl(grid)
        assert grix.teds(otsl_table(tokens), written) == 1.0, (grid, tokens)
        as_text = "".join(f"<{token}>" if token in ("fcel", "ecel", "lcel", "ucel", "xcel", "nl") else token
                          for token in tokens)
        assert grix.teds(otsl_table(as_text), written) == 1.0
        # A PubTabNet record: the structure's tokens, the cells' characters.
        structure, cells = [], []
        for row in grid:
            structure.append("<tr>")
            for text, colspan, rowspan in row:
                if colspan == rowspan == 1:
                    structure.append("<td>")
                else:
                    structure.append("<td")
                    structure += [f' colspan="{colspan}"'] * (colspan > 1) + [f' rowspan="{rowspan}"'] * (rowspan > 1)
                    structure.append(">")
                structure.append("</td>")
                cells.append({"tokens": list(text)})
            structure.append("</tr>")
        record = {"filename": "x.png", "html": {"structure": {"tokens": ["<tbody>", *structure, "</tbody>"]},
                                                "cells": cells}}
        assert grix.teds(pubtabnet_table(record), written.replace("<table>", "<table><tbody>")
                         .replace("</table>", "</tbody></table>")) == 1.0


def test_pubtabnet_cells_escape_their_characters_but_not_their_tags():
    record = {"html": {"structure": {"tokens": ["<tr>", "<td>", "</td>", "</tr>"]},
                       "cells": [{"tokens": ["<b>", "a", "&", "<", "'", '"', ">", "</b>", "&amp;"]}]}}
    assert pubtabnet_table(record) == ("<html><body><table><tr><td><b>a&amp;&lt;&#x27;&quot;&gt;</b>&amp;</td>"
                                       "</tr></table></body></html>")


@pytest.mark.parametrize("seed", range(3))
def test_markdown_tables_read_as_their_cells(seed):
    rng = random.Random(seed)
    for _ in range(40):
        grid = random_grid(rng, spans=False)
        lines = ["| " + " | ".join(text.replace("|", "\\|") for text, _, _ in row) + " |" for row in grid]
        lines.insert(1, "|" + "---|" * len(grid[0]))
        written = pubtabnet_html(grid)
        for structure_only in (False, True):
            assert grix.teds(markdown_table("\n".join(lines)), written, structure_only=structure_only) == 1.0
        page = "Intro with a | pipe\n\n" + "\n".join(lines) + "\n\ntext\n\n" + "\n".join(lines) + "\n"
        assert [grix.teds(table, written) for table in markdown_tables(page)] == [1.0, 1.0]


def pubtabnet_html(grid):
    """The grid as PubTabNet writes a table: the first row in thead, the
    others in tbody, in a whole page."""
    rows = grid_html(grid)[len("<table>"):-len("</table>")].split("</tr>")[:-1]
    body = "<tbody>" + "</tr>".join(rows[1:]) + "</tr></tbody>" if len(rows) > 1 else ""
    return f"<html><body><table><thead>{rows[0]}</tr></thead>{body}</table></body></html>"


def test_markdown_header_row_is_pubtabnets_thead():
    markdown = "| Name | Age |\n|---|---|\n| Ann | 3 |\n| Bob | 40 |"
    written = pubtabnet_html([[("Name", 1, 1), ("Age", 1, 1)], [("Ann", 1, 1), ("3", 1, 1)],
                              [("Bob", 1, 1), ("40", 1, 1)]])
    # Read as rows of one body, the table lost 2 of 11 nodes' worth (0.82).
    assert grix.teds(markdown_table(markdown), written, structure_only=True) == 1.0
    assert grix.teds(markdown_table(markdown), written, definition="pubtabnet") == 1.0


ENCODED = ('<html><head><meta charset="iso-8859-1"></head><body><table><tr><td>café</td><td>naïve</td></tr>'
           '</table></body></html>')


@pytest.mark.parametrize("data", [ENCODED.encode("utf-16"), ENCODED.encode("utf-16-be").join([b"\xfe\xff", b""]),
                                  ENCODED.encode("utf-8-sig"), ENCODED.encode("latin-1"),
                                  ENCODED.replace("<html><head>", '<?xml version="1.0" encoding="cp1252"?><html><head>')
                                  .encode("cp1252")])
def test_bytes_are_read_in_their_declared_encoding(data):
    for definition in (None, "pubtabnet", "docling-metrics"):
        assert grix.teds(data, ENCODED, definition=definition) == 1.0
    assert len(html_tables(data)) == 1
    assert grix.teds(html_tables(data)[0], ENCODED) == 1.0


def test_bytes_in_an_encoding_that_cannot_be_honoured_are_refused():
    table = "<table><tr><td>a</td></tr></table>"
    with pytest.raises(ValueError, match="'klingon', which Python does not know") as error:
        grix.teds(b'<meta charset="klingon">' + table.encode(), table)
    assert "\n" not in str(error.value)
    with pytest.raises(ValueError, match="not valid utf-8"):
        grix.teds(b"\xef\xbb\xbf<table><tr><td>\xff</td></tr></table>", table)


def test_pubtabnet_record_with_a_cell_missing_is_refused():
    record = {"filename": "PMC1.png", "html": {"structure": {"tokens": ["<tr>", "<td>", "</td>", "<td>", "</td>",
                                                                         "</tr>"]},
                                              "cells": [{"tokens": ["a"]}]}}
    with pytest.raises(ValueError, match="PMC1.png: 1 cells but 2 cell openings") as error:
        pubtabnet_table(record)
    assert "\n" not in str(error.value)
    record["html"]["cells"].append({"tokens": ["b"]})
    assert grix.teds(pubtabnet_table(record), "<table><tr><td>a</td><td>b</td></tr></table>") == 1.0


@pytest.mark.parametrize("bad, message", [
    (lambda: markdown_table("no pipes here"), "not a Markdown pipe table"),
    (lambda: markdown_table("| a |\n| b |", name="page 3"), "page 3: the second line"),
    (lambda: otsl_table(["lcel", "nl"]), "row 0 starts with lcel"),
    (lambda: otsl_table(["ucel", "nl"], name="t7"), "t7: ucel in the first row"),
    (lambda: otsl_table("<fcel>a<zcel><nl>"), "unknown OTSL token <zcel>"),
    (lambda: otsl_table(["text", "fcel"]), "before any cell"),
    (lambda: pubtabnet_table({"filename": "f.png", "html": {}}), "f.png: expected a PubTabNet record"),
    (lambda: pubtabnet_table({"html": {"structure": {"tokens": ["<td>"]}, "cells": [{"tokens": []}] * 2}}),
     "2 cells but 1 cell openings"),
])
def test_bad_tables_are_named_in_one_line(bad, message):
    with pytest.raises(ValueError, match=message) as error:
        bad()
    assert "\n" not in str(error.value)


def test_html_pages_give_every_table():
    page = ("<p>x</p><table><tr><td>1<table><tr><td>in</td></tr></table></td></tr></table>"
            "<div><table><tr><th>2</th></tr></table></div>")
    tables = html_tables(page)
    assert len(tables) == 3
    assert grix.teds(tables[1], "<table><tr><td>in</td></tr></table>") == 1.0
    assert grix.teds(tables[2], "<html><body><table><tr><th>2</th></tr></table></body></html>",
                     definition="pubtabnet") == 1.0
    assert html_tables("<p>none</p>") == html_tables("") == []


# -- pages of several tables ---------------------------------------------------------

def test_teds_match_finds_the_best_assignment():
    lines = (ROOT / "data" / "tables" / "teds_pairs.jsonl").read_text(encoding="utf-8").splitlines()
    pairs = [json.loads(line) for line in lines]
    small = [pair for pair in pairs if pair["cells_true"] <= 20]
    rng = random.Random(5)
    for _ in range(25):
        trues = [pair["true"] for pair in rng.sample(small, rng.randint(0, 4))]
        preds = [pair["pred"] for pair in rng.sample(small, rng.randint(0, 4))]
        match = grix.teds_match(trues, preds, workers=2)
        expected = np.array([[grix.teds(pred, true) for pred in preds] for true in trues]).reshape(len(trues),
                                                                                                   len(preds))
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
    # No table on either side: a perfect page under both scores.
    empty = grix.teds_match([], [])
    assert (empty.score, empty.score_over_true) == (1.0, 1.0)
    nothing_true = grix.teds_match([], [small[0]["pred"]])
    assert (nothing_true.score, nothing_true.score_over_true) == (0.0, 0.0)


def test_teds_match_names_the_bad_table():
    good = "<table><tr><td>a</td></tr></table>"
    with pytest.raises(ValueError, match="predicted table 1: .*colspan='x'"):
        grix.teds_match([good], [good, '<table><tr><td colspan="x">a</td></tr></table>'])
    with pytest.raises(TypeError, match="sequences of tables"):
        grix.teds_match(good, [good])
    match = grix.teds_match([good, "<p>no table</p>"], [good], definition="docling-metrics")
    assert match.pairs == [(0, 0)] and match.missed == [1] and match.score == 0.5
