"""A benchmark-sized corpus of (prediction, truth) table pairs, built from the
real HTML tables found on this machine and perturbed as table recognisers
err, with a fixed seed.

    python bench/make_teds_corpus.py [--pairs 9115] [--seed 23] [--out build/teds_corpus.jsonl] [ROOT ...]

ROOT: folders searched for *.html and *.htm (default: /usr/share/doc,
/usr/share/gtk-doc, /usr/share/javascript, /usr/lib/python3); the true
tables of data/tables/teds_pairs.jsonl are added to them. Every table of
every page (nested ones too) is rewritten plainly: its rows, each cell a
td or th with its spans and its text (white space collapsed, at most 200
characters; bold text kept as <b>), thead for a first row of th. Tables of
6-2,000 cells (smaller ones are mostly navigation bars), each once. The pairs cycle through the tables in a seeded
order, so that 9,115 pairs (PubTabNet's validation set) reuse each table a
few times, each time with other errors: 1-3 of character errors as OCR
makes them, a row dropped or repeated, neighbouring cells merged by a
colspan, a spanning cell split, th and td swapped, a column added, a cell's
text lost. Writes one JSON object a line in the form of teds_pairs.jsonl
(id, source, cells_true, cells_pred, perturbations, true, pred).
"""

import argparse
import hashlib
import html
import json
import pathlib
import random
import re
import sys

import lxml.etree
import lxml.html

ROOT = pathlib.Path(__file__).resolve().parents[1]
DEFAULT_ROOTS = ["/usr/share/doc", "/usr/share/gtk-doc", "/usr/share/javascript", "/usr/lib/python3"]
SPACE = re.compile(r"\s+")
MIN_CELLS, MAX_CELLS = 6, 2000


def page_files(roots):
    for root in roots:
        path = pathlib.Path(root)
        if path.is_dir():
            yield from sorted(p for p in path.rglob("*") if p.suffix in (".html", ".htm") and p.is_file())


def span(cell, name):
    try:
        return min(max(int(cell.get(name, "1")), 1), 50)
    except ValueError:
        return 1


def table_rows(table):
    """The rows of this table (not of the tables nested in it): each row a
    list of [tag, colspan, rowspan, text, bold]."""
    rows = []
    for row in table.iter("tr"):
        owner = next((a for a in row.iterancestors("table")), None)
        if owner is not table:
            continue
        cells = []
        for cell in row:
            if cell.tag not in ("td", "th"):
                continue
            text = SPACE.sub(" ", cell.text_content()).strip()[:200]
            bold = any(True for _ in cell.iter("b", "strong"))
            cells.append([cell.tag, span(cell, "colspan"), span(cell, "rowspan"), text, bold])
        if cells:
            rows.append(cells)
    return rows


def write_table(rows):
    out = []
    for number, cells in enumerate(rows):
        parts = []
        for tag, colspan, rowspan, text, bold in cells:
            spans = (f' colspan="{colspan}"' if colspan > 1 else "") + (f' rowspan="{rowspan}"' if rowspan > 1 else "")
            body = html.escape(text, quote=False)
            if bold and body:
                body = f"<b>{body}</b>"
            parts.append(f"<{tag}{spans}>{body}</{tag}>")
        row = "<tr>" + "".join(parts) + "</tr>"
        if number == 0 and all(cell[0] == "th" for cell in cells) and len(rows) > 1:
            row = f"<thead>{row}</thead><tbody>"
        out.append(row)
    body = "".join(out)
    if "<tbody>" in body:
        body += "</tbody>"
    return f"<html><body><table>{body}</table></body></html>"


def cells_of(rows):
    return sum(len(cells) for cells in rows)


def collect(roots):
    tables, seen = [], set()

    def add(rows, source):
        count = cells_of(rows)
        if not MIN_CELLS <= count <= MAX_CELLS:
            return
        text = write_table(rows)
        digest = hashlib.sha256(text.encode()).digest()
        if digest not in seen:
            seen.add(digest)
            tables.append((source, rows))

    for path in page_files(roots):
        try:
            document = lxml.html.fromstring(path.read_bytes())
        except (lxml.etree.ParserError, ValueError):
            continue
        for table in document.iter("table"):
            add(table_rows(table), str(path))
    pairs_file = ROOT / "data" / "tables" / "teds_pairs.jsonl"
    for line in pairs_file.read_text(encoding="utf-8").splitlines():
        pair = json.loads(line)
        table = lxml.html.fromstring(pair["true"]).find("body/table")
        if table is not None:
            add(table_rows(table), "data/tables/teds_pairs.jsonl:" + pair["id"])
    return tables


# -- errors as recognisers make them ---------------------------------------------

def ocr(rows, rng):
    cells = [cell for row in rows for cell in row if cell[3]]
    edits = 0
    for cell in rng.sample(cells, min(len(cells), rng.randint(1, 4))):
        text = list(cell[3])
        for _ in range(rng.randint(1, 2)):
            place = rng.randrange(len(text) + 1)
            kind = rng.random()
            if kind < 0.35 and text:
                text[min(place, len(text) - 1)] = rng.choice("lI1oO0rnm.,'")
            elif kind < 0.6 and place < len(text):
                del text[place]
            elif kind < 0.8:
                text.insert(place, rng.choice("il.,' "))
            elif place < len(text) and text[place] == " ":
                del text[place]  # words run together
            edits += 1
        cell[3] = "".join(text)
    return f"ocr:{edits}"


def drop_row(rows, rng):
    if len(rows) > 1:
        del rows[rng.randrange(len(rows))]
    return "drop_row"


def repeat_row(rows, rng):
    row = rng.randrange(len(rows))
    rows.insert(row, [list(cell) for cell in rows[row]])
    return "repeat_row"


def merge_cells(rows, rng):
    row = rows[rng.randrange(len(rows))]
    if len(row) > 1:
        place = rng.randrange(len(row) - 1)
        first, second = row[place], row.pop(place + 1)
        first[1] += second[1]
        first[3] = (first[3] + " " + second[3]).strip()[:200]
    return "merge_cells"


def split_cell(rows, rng):
    spanning = [(r, c) for r, row in enumerate(rows) for c, cell in enumerate(row) if cell[1] > 1]
    if spanning:
        r, c = rng.choice(spanning)
        cell = rows[r][c]
        cell[1] -= 1
        rows[r].insert(c + 1, [cell[0], 1, 1, "", False])
    return "split_cell"


def swap_th_td(rows, rng):
    row = rows[rng.randrange(len(rows))]
    for cell in row:
        cell[0] = "td" if cell[0] == "th" else "th"
    return "swap_th_td"


def extra_column(rows, rng):
    place = rng.randint(0, 3)
    for row in rows:
        row.insert(min(place, len(row)), ["td", 1, 1, "", False])
    return "extra_column"


def lose_text(rows, rng):
    cells = [cell for row in rows for cell in row if cell[3]]
    if cells:
        rng.choice(cells)[3] = ""
    return "lose_text"


ERRORS = [(ocr, 0.5), (drop_row, 0.12), (repeat_row, 0.06), (merge_cells, 0.1), (split_cell, 0.04),
          (swap_th_td, 0.06), (extra_column, 0.04), (lose_text, 0.08)]


def perturb(rows, rng):
    rows = [[list(cell) for cell in row] for row in rows]
    names = []
    for _ in range(rng.choice((1, 1, 2, 2, 3))):
        error = rng.choices([e for e, _ in ERRORS], weights=[w for _, w in ERRORS])[0]
        names.append(error(rows, rng))
    return rows, names


def main():
    options = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    options.add_argument("roots", nargs="*", default=DEFAULT_ROOTS)
    options.add_argument("--pairs", type=int, default=9115)
    options.add_argument("--seed", type=int, default=23)
    options.add_argument("--out", type=pathlib.Path, default=ROOT / "build" / "teds_corpus.jsonl")
    args = options.parse_args()
    tables = collect(args.roots)
    if not tables:
        sys.exit("make_teds_corpus: no tables found under " + ", ".join(args.roots))
    rng = random.Random(args.seed)
    order = list(range(len(tables)))
    args.out.parent.mkdir(parents=True, exist_ok=True)
    with open(args.out, "w", encoding="utf-8") as out:
        for number in range(args.pairs):
            if number % len(order) == 0:
                rng.shuffle(order)
            source, rows = tables[order[number % len(order)]]
            pred_rows, names = perturb(rows, rng)
            out.write(json.dumps({"id": f"c{number:05d}", "source": source, "cells_true": cells_of(rows),
                                  "cells_pred": cells_of(pred_rows), "perturbations": names,
                                  "true": write_table(rows), "pred": write_table(pred_rows)}) + "\n")
    sizes = sorted(cells_of(rows) for _, rows in tables)
    print(f"{len(tables)} distinct tables (median {sizes[len(sizes) // 2]} cells, largest {sizes[-1]}); "
          f"{args.pairs} pairs written to {args.out}")


if __name__ == "__main__":
    main()
