"""Tables in the forms table-recognition benchmarks hold them, each turned
into the HTML that :func:`grix.teds` scores: Markdown pipe tables,
PubTabNet's annotation records, OTSL token sequences, and HTML pages holding
several tables.

Every function is plain: text or records in, HTML text out (a list of them
for pages holding several tables). Bad input raises ValueError with one
line naming the table and what is wrong; nothing is silently read as an
empty table. None of them needs lxml except :func:`html_tables`.
"""

from __future__ import annotations

import html
import re
from collections.abc import Iterable, Mapping, Sequence
from typing import Any

from .html_parsing import lxml_modules, parse_html

__all__ = ["html_tables", "markdown_table", "markdown_tables", "otsl_table", "pubtabnet_table"]

# The separator row under a pipe table's header: cells of dashes with
# optional colons for the alignment.
_SEPARATOR_CELL = re.compile(r"^\s*:?-+:?\s*$")
# A pipe not escaped by a backslash.
_PIPE = re.compile(r"(?<!\\)\|")

OTSL_CELLS = ("fcel", "ecel", "lcel", "ucel", "xcel")
OTSL_TOKENS = frozenset(OTSL_CELLS + ("nl", "ched", "rhed", "srow"))


def _document(rows: Iterable[str]) -> str:
    """A whole page around the rows, so that every definition, PubTabNet's
    ``body/table`` included, finds the table."""
    return "<html><body><table>" + "".join(rows) + "</table></body></html>"


def _split_row(line: str) -> list[str]:
    """A pipe-table row's cells: outer pipes optional, ``\\|`` a pipe in
    the text."""
    text = line.strip()
    if text.startswith("|"):
        text = text[1:]
    if text.endswith("|") and not text.endswith("\\|"):
        text = text[:-1]
    return [cell.strip().replace("\\|", "|") for cell in _PIPE.split(text)]


def _is_table_line(line: str) -> bool:
    return bool(_PIPE.search(line))


def markdown_table(text: str, *, name: str = "the table") -> str:
    """The HTML of one Markdown pipe table as PubTabNet writes its tables:
    the header row (the row above the separator of dashes) in ``thead``,
    the rows below it in ``tbody``, every cell a ``td``; cells split at
    every ``|`` not escaped as ``\\|``, outer pipes optional, cell text
    HTML-escaped. Markdown marks its header row, so a table read from it
    scores 1.0 against the same table in PubTabNet's HTML.

    Raises ValueError naming ``name`` when the text holds no row with a
    pipe, or when the second row is not a separator. Rows may have
    different numbers of cells, as a recogniser writes them. Cost: linear
    in the text.
    """
    lines = [line for line in text.splitlines() if line.strip()]
    if not lines or not all(_is_table_line(line) for line in lines):
        raise ValueError(f"{name}: not a Markdown pipe table (every line needs a '|')")
    if len(lines) < 2 or not all(_SEPARATOR_CELL.match(cell) for cell in _split_row(lines[1])):
        raise ValueError(f"{name}: the second line of a Markdown table must be its separator row "
                         "(|---|---|)")
    rows = []
    for line in lines[:1] + lines[2:]:
        cells = "".join(f"<td>{html.escape(cell, quote=False)}</td>" for cell in _split_row(line))
        rows.append(f"<tr>{cells}</tr>")
    body = ["<tbody>", *rows[1:], "</tbody>"] if len(rows) > 1 else []
    return _document(["<thead>", rows[0], "</thead>", *body])


def markdown_tables(text: str) -> list[str]:
    """The HTML of every pipe table in a page of Markdown, in order: each
    run of consecutive lines holding a pipe whose second line is a
    separator row. Lines with pipes that do not form a table are left
    alone. Cost: linear in the text."""
    tables: list[str] = []
    run: list[str] = []
    for line in text.splitlines() + [""]:
        if _is_table_line(line):
            run.append(line)
            continue
        if len(run) >= 2 and all(_SEPARATOR_CELL.match(cell) for cell in _split_row(run[1])):
            tables.append(markdown_table("\n".join(run), name=f"table {len(tables)}"))
        run = []
    return tables


# html.escape of the characters it changes.
_ESCAPED_CHARACTER = {character: html.escape(character) for character in "&<>\"'"}


def pubtabnet_table(record: Mapping[str, Any], *, name: str | None = None) -> str:
    """The HTML of a PubTabNet annotation record (a line of its jsonl
    files): ``record["html"]["structure"]["tokens"]`` with the tokens of
    ``record["html"]["cells"][k]["tokens"]`` written after the k-th cell
    opening (a ``<td>`` token, or the ``>`` that closes ``<td`` with its
    span attributes), single-character tokens HTML-escaped, as PubTabNet
    writes its ground truth for scoring, in a whole page.

    Raises ValueError naming the record (``name``, else its ``filename``)
    when a field is missing or of the wrong type, or when the number of
    cells is not the number of cell openings (a cell short would leave the
    last cells empty, or shift the text). Cost: linear in the tokens.
    """
    label = name or (record.get("filename") if isinstance(record, Mapping) else None) or "the record"
    try:
        structure = record["html"]["structure"]["tokens"]
        cells = record["html"]["cells"]
    except (KeyError, TypeError):
        raise ValueError(f"{label}: expected a PubTabNet record with html.structure.tokens "
                         "and html.cells") from None
    if not isinstance(structure, list) or not all(isinstance(token, str) for token in structure):
        raise ValueError(f"{label}: html.structure.tokens must be a list of str")
    if not isinstance(cells, list):
        raise ValueError(f"{label}: html.cells must be a list")
    openings = [place for place, token in enumerate(structure) if token in ("<td>", ">")]
    if len(cells) != len(openings):
        raise ValueError(f"{label}: {len(cells)} cells but {len(openings)} cell openings in the structure")
    pieces = list(structure)
    for place, cell in zip(reversed(openings), reversed(cells)):
        tokens = cell.get("tokens") if type(cell) is dict or isinstance(cell, Mapping) else None
        if not isinstance(tokens, list):
            raise ValueError(f"{label}: every cell needs a list of tokens")
        if tokens:
            # map() over a dict lookup, not a Python call per token: only
            # single characters are keys, so longer tokens pass unchanged.
            pieces.insert(place + 1, "".join(map(_ESCAPED_CHARACTER.get, tokens, tokens)))
    return "<html><body><table>" + "".join(pieces) + "</table></body></html>"


def _otsl_tokens(sequence: str | Sequence[str]) -> list[str]:
    if isinstance(sequence, str):
        # "<fcel>text<ecel><nl>": tokens in angle brackets, text between.
        return [piece for piece in re.split(r"(<[a-z]+>)", sequence) if piece]
    return list(sequence)


def otsl_table(sequence: str | Sequence[str], *, name: str = "the table") -> str:
    """The HTML of a table in OTSL, the structure language docling's models
    write: ``fcel`` (a cell with text, the text following it), ``ecel`` (an
    empty cell), ``lcel`` (merged with the cell to its left), ``ucel``
    (merged with the cell above), ``xcel`` (both), ``nl`` (end of row);
    ``ched``, ``rhed`` and ``srow`` are read as ``fcel``. A cell's colspan
    is 1 plus the ``lcel`` to its right, its rowspan 1 plus the ``ucel``
    below it.

    sequence: a str (``"<fcel>Name<fcel>Age<nl><fcel>Ann<fcel>3<nl>"``) or
        a list of tokens (``"fcel"`` or ``"<fcel>"``; any other item is the
        text of the cell before it).

    Raises ValueError naming the table for text before the first cell, a
    merge with no cell to merge into, or an unknown token in angle
    brackets. Cost: linear in the tokens.
    """
    grid: list[list[str]] = [[]]
    texts: dict[tuple[int, int], list[str]] = {}
    for token in _otsl_tokens(sequence):
        bare = token[1:-1] if token.startswith("<") and token.endswith(">") else token
        if bare in OTSL_TOKENS:
            if bare == "nl":
                grid.append([])
                continue
            grid[-1].append("fcel" if bare in ("ched", "rhed", "srow") else bare)
        elif token.startswith("<") and token.endswith(">") and re.fullmatch(r"<[a-z_]+>", token):
            raise ValueError(f"{name}: unknown OTSL token {token}")
        else:
            if not grid[-1]:
                raise ValueError(f"{name}: text {token[:20]!r} before any cell of its row")
            texts.setdefault((len(grid) - 1, len(grid[-1]) - 1), []).append(token)
    if not grid[-1]:
        grid.pop()
    rows = []
    for row_number, row in enumerate(grid):
        cells = []
        for column, kind in enumerate(row):
            if kind in ("lcel", "xcel") and (column == 0):
                raise ValueError(f"{name}: row {row_number} starts with {kind}, which merges with a cell to its left")
            if kind in ("ucel", "xcel") and row_number == 0:
                raise ValueError(f"{name}: {kind} in the first row merges with a cell above it")
            if kind not in ("fcel", "ecel"):
                continue
            colspan = 1
            while column + colspan < len(row) and row[column + colspan] == "lcel":
                colspan += 1
            rowspan = 1
            while (row_number + rowspan < len(grid) and column < len(grid[row_number + rowspan])
                   and grid[row_number + rowspan][column] == "ucel"):
                rowspan += 1
            spans = (f' colspan="{colspan}"' if colspan > 1 else "") + (f' rowspan="{rowspan}"' if rowspan > 1 else "")
            text = html.escape("".join(texts.get((row_number, column), ())).strip(), quote=False)
            cells.append(f"<td{spans}>{text}</td>")
        rows.append("<tr>" + "".join(cells) + "</tr>")
    if not rows:
        raise ValueError(f"{name}: no OTSL cells")
    return _document(rows)


def html_tables(page: str | bytes) -> list[str]:
    """Every ``<table>`` of an HTML page, in document order, each as HTML
    text of its own in a whole page; a table nested in another's cell is
    listed too (after the table holding it), and stays inside it as well.

    Raises ImportError without lxml. A page with no table gives an empty
    list. Cost: one parse and one serialisation per table.
    """
    etree, _ = lxml_modules()
    text = page.strip() if isinstance(page, (str, bytes)) else page
    if not text:
        return []
    try:
        root = parse_html(text)
    except etree.ParserError:
        return []
    return ["<html><body>" + etree.tostring(table, encoding="unicode", with_tail=False) + "</body></html>"
            for table in root.iter("table")]
