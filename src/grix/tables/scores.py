"""TEDS, the tree-edit-distance similarity of HTML tables used to score table
recognition: :func:`teds` for one pair, :func:`teds_paired` for many pairs
on the engine's threads, under the default or a named definition.
"""

from __future__ import annotations

import time
from collections.abc import Iterable, Sequence

import numpy as np
import numpy.typing as npt

from ..distance import check_timeout, check_workers, distance
from .definitions import Definition
from .pairs import (CHUNK_ENTRIES, Denominator, Pair, TableInput, check_options, compute, prepare_pair,
                    progress_bar, time_left)

__all__ = ["teds", "teds_paired"]


def teds(pred: TableInput, true: TableInput, *, structure_only: bool = False,
         ignore_nodes: str | Iterable[str] | None = None,
         denominator: Denominator | None = None, definition: Definition | None = None) -> float:
    """TEDS (tree-edit-distance-based similarity) of a predicted HTML table
    and the true one: 1.0 for equal tables, 0.0 and below for unrelated ones.
    By default PubTabNet's costs and denominator, with the table found as a
    browser would; ``definition`` names a benchmark's code to reproduce
    exactly instead.

    pred, true: HTML text (str or bytes), or an lxml element or element
        tree. Text is parsed by ``lxml.html.fromstring`` with an HTML parser
        that removes comments (bytes read as UTF-8). By default the table
        scored is what the text stands for when it is a ``<table>``, else
        the first ``<table>`` inside it in document order (a whole page, a
        fragment, ``<div><table>``); text without any table, empty text and
        text that is only white space score 0.0. An lxml element is searched
        the same way. To score another table of a page, name it:
        ``grix.readers.html_tables(page)[k]`` lists every table as text.
    structure_only: ignore the cells' contents (TEDS-Struct).
    ignore_nodes: tag names (a str is one name) whose elements are removed
        before scoring, their text and children kept in their place (lxml's
        ``etree.strip_tags``); the caller's elements are copied first, never
        changed.
    denominator: ``"elements"`` (PubTabNet, the default): the larger number
        of elements below each ``table`` element, which counts the tags
        inside cells (``<b>``, ``<sup>``) although they are not nodes of the
        tree, and not the table element itself. ``"tree"``: the larger node
        count of the two trees compared (table included, nothing inside
        cells), as the ``table-recognition-metric`` package and PaddleOCR's
        copy compute it. The named definitions other than ``"pubtabnet"``
        fix their own, and refuse the other.
    definition: None (above), or the name of a benchmark's code, followed
        exactly, faults included, so that its published numbers reproduce:

        ``"pubtabnet"``: PubTabNet's ``src/metric.py`` (and unitable's copy).
        As the default, except that only a table directly in the body
        (``body/table`` below what fromstring returns) is scored: a bare
        ``<table>`` fragment, which fromstring returns as the table itself,
        and ``<div><table>`` score 0.0, as there. Its predictions are whole
        documents. With ``denominator="tree"``: table-recognition-metric.

        ``"docling-eval"``: docling-eval's table evaluator (its
        ``TEDScorer`` as ``evaluate_tables`` calls it): the substrings
        ``<i> </i> <b> </b> <u> </u>`` are removed from the texts, which are
        parsed by lxml.html's default parser (comments kept, as nodes), and
        the whole parsed element is scored (html and body are nodes of a
        page's tree). ``th`` becomes ``td``, a cell; an inline tag inside a
        cell opens as the token ``"<tag"`` (no ``>``). Denominator: elements
        below the root. The score is rounded to 3 decimals. Where that
        evaluator drops a table (an exception: text lxml cannot parse, 0 / 0),
        the score is NaN.

        ``"docling-metrics"``: the docling-metrics-table package
        (``TableMetric`` with ``TableMetricKind.TEDS``): parsed and built as
        docling-eval does (without the stopwords and the rounding), but a
        rename costs 0 between equal labels and 1 otherwise, a cell's label
        holding its spans and its whole content; the denominator is the
        larger tree, root included. Text lxml cannot parse raises
        ValueError, as there.

        ``"omnidocbench"``: OmniDocBench v1.5's table evaluation (its
        ``normalized_html_table``, then ``TEDS.evaluate`` of its
        ``metrics/table_metric.py``, PubTabNet's, as its page evaluator
        calls it). Each text is first rewritten as OmniDocBench does
        (needs beautifulsoup4, whose parser and writer it goes through):
        th renamed td, thead and span unwrapped, ``<math>`` replaced by
        ``$alttext$``, HTML entities unescaped, newlines dropped, NFKC,
        only what lies between the first ``<table ...>`` and the last
        ``</table>`` kept, the attributes style, height, width, align and
        class removed (each up to the next double quote), tbody removed,
        white space runs made one space, the exact tags ``<sup> <sub>
        <span> <div> <p>`` and their closings deleted (their text kept; the
        same tags with attributes stay), colgroups deleted; the result is
        wrapped as ``<html><body><table border="1" >``. Text without
        ``<table`` (after removing spaces) is scored as it is, as the
        evaluator falls back to it. Then PubTabNet's definition: body/table,
        elements below the table as denominator. Where that evaluation
        raises, the evaluator's try/except scores 0.0: two tables with
        nothing below them (0 / 0), a colspan or rowspan ``int()``
        refuses, a str with an XML encoding declaration. An lxml element is
        written out as HTML and rewritten the same way.

        ``"parsebench"``: ParseBench's ``teds_metric.py`` (``TEDS.evaluate``
        with ``ContentConfig``, as its ``TEDSMetric`` calls it for each pair
        of tables). Tables are found as a browser finds them (the table, or
        the first table inside). ``th`` is a cell of its own: a th against
        a td costs 1, and th contents are never compared (only td's are).
        A td's content is its tokens joined into text (inline tags written
        out, ``<b>``) and rewritten by its ``normalize_cell_text``: sup and
        sub unwrapped, super/subscript digits made plain, formatting tags
        (b i u s em strong del strike mark ins) and spans and markdown
        emphasis removed, a cell that is only a check mark, cross, yes, no
        or x made "yes"/"no", bullets, quotes, full-width punctuation and
        dashes folded to one form, dot leaders removed, white space
        collapsed, a cell of dashes made "-"; two contents cost their
        normalized Levenshtein distance in characters. The denominator is
        the larger number of elements below the table plus 1 (the table
        itself); scores below 0 become 0. Text lxml refuses (empty, white
        space, a str with an XML encoding declaration) and text without a
        table score 0.0; a colspan or rowspan ``int()`` refuses raises
        ValueError, as it does there (its metric does not catch it).

        ``"parsebench-struct-bool"``: ParseBench's ``teds_struct_bool``
        variant ("TEDS-Struct+BoolContent"), which its source names apart
        from its structure-only ``teds_struct``: as ``"parsebench"``, but
        two td cost 1 when exactly one of their normalized contents is
        empty, else 0 (differing texts cost nothing).

        Structure-only under each is its source's: cell contents empty
        (OmniDocBench's ``TEDS(structure_only=True)``; ParseBench's
        ``teds_struct``, tags and spans only, which is also what
        ``structure_only=True`` gives under ``"parsebench-struct-bool"``).

    The tree: every element (every child lxml yields) is a node labelled by
    its tag, down to and including each ``td``, which carries colspan,
    rowspan (``int()`` of the attribute, 1 when missing) and content:
    characters of its text and tails, with every tag inside it a token of its
    own (``<b>`` and ``</b>``; ``<unk>`` has no closing token, and the tail
    of a ``td`` nested in a cell is dropped). Renaming costs 1 between
    different tags or spans; between two ``td`` the normalized Levenshtein
    distance of their token sequences (distance / longer length; 0 when both
    are empty); else 0. Deleting and inserting cost 1.

    Quirks of PubTabNet's definition, kept by the default and "pubtabnet":
    ``th`` is a plain node whose text is ignored (its spans too), while
    elements inside it are nodes; a ``th`` against a ``td`` costs 1. Elements
    inside a ``td`` count in the ``"elements"`` denominator. Where PubTabNet
    fails, grix answers instead: two tables with nothing below them (0 / 0)
    score 1.0, text that is only white space (lxml: "Document is empty")
    scores 0.0, and a str with an XML encoding declaration, which lxml
    refuses, is read as its UTF-8 bytes. PubTabNet's metric.py, in its
    version with these parser options, passes the parser as
    ``fromstring``'s second positional argument, which lxml takes for the
    base URL and rejects (TypeError); grix passes it as the parser, as the
    maintained copies of the metric do. A colspan or rowspan that ``int()``
    refuses raises ValueError, as it does there.

    Raises ImportError without lxml (and under "omnidocbench" without
    beautifulsoup4), TypeError for other inputs, ValueError
    for a bad span or option, and for a pair whose cells hold more than 1,024
    different tag names (each cell token is one code point, and a tag's two
    tokens take two of the 2,048 that no text can hold). Costs the parse,
    one pass over each table, a Levenshtein distance per pair of distinct
    cell contents (natively) and one tree edit distance. Never changes the
    caller's elements.
    """
    names, rules, chosen = check_options(structure_only, ignore_nodes, denominator, definition)
    pair = prepare_pair(pred, true, structure_only, names, 1, rules)
    if not isinstance(pair, Pair):
        return pair
    return pair.score(float(distance(pair.tree1, pair.tree2, rename=pair.node_costs())), chosen, rules)


def teds_paired(preds: Sequence[TableInput], trues: Sequence[TableInput], *,
                structure_only: bool = False, ignore_nodes: str | Iterable[str] | None = None,
                denominator: Denominator | None = None, definition: Definition | None = None,
                workers: int | None = None, progress: bool | None = None,
                timeout: float | None = None) -> npt.NDArray[np.float64]:
    """TEDS of each pair (preds[k], trues[k]) as a float64 vector, with
    the options of :func:`teds` and the same results.

    workers: the engine's threads (None or -1: all cores). The tables are
        parsed, walked and given their rename costs on the calling thread,
        and the distances computed natively in chunks of pairs whose rename
        tables hold some 4 million costs, so memory stays small.
    progress: a tqdm bar over pairs; None shows one on a terminal for more
        than a few thousand pairs.
    timeout: seconds for the whole call, or None.

    Raises ValueError when the sequences differ in length, and for a bad
    span with the pair's index; TimeoutError, and KeyboardInterrupt on
    Ctrl-C.
    """
    names, rules, chosen = check_options(structure_only, ignore_nodes, denominator, definition)
    if isinstance(preds, (str, bytes)) or isinstance(trues, (str, bytes)):
        raise TypeError("preds and trues must be sequences of tables, not a single str or bytes")
    preds, trues = list(preds), list(trues)
    if len(preds) != len(trues):
        raise ValueError(f"preds has {len(preds)} tables but trues has {len(trues)}")
    threads, seconds = check_workers(workers), check_timeout(timeout)
    deadline = None if seconds is None else time.monotonic() + seconds
    scores = np.zeros(len(preds), dtype=np.float64)

    def prepare(number: int) -> Pair | float:
        time_left(deadline, seconds)
        try:
            return prepare_pair(preds[number], trues[number], structure_only, names, threads, rules)
        except (ValueError, TypeError) as error:
            raise type(error)(f"pair {number}: {error}") from None

    bar = progress_bar(progress, len(preds))
    chunk: list[tuple[int, Pair]] = []
    entries = 0
    try:
        for number in range(len(preds)):
            pair = prepare(number)
            if isinstance(pair, Pair):
                chunk.append((number, pair))
                entries += pair.costs.size
            else:
                scores[number] = pair
            if chunk and (entries >= CHUNK_ENTRIES or number == len(preds) - 1):
                compute(chunk, scores, [chosen], [rules], threads, deadline, seconds)
                chunk, entries = [], 0
            if bar is not None:
                bar.update(1)
    finally:
        if bar is not None:
            bar.close()
    return scores
