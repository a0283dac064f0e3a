"""The tables of a page paired with the true ones: :func:`teds_match` scores
every (true, predicted) pair in one batch and pairs them by the Hungarian
algorithm, :func:`grits_match` likewise on a GriTS F-score;
:class:`TableMatch` holds the result.
"""

from __future__ import annotations

import time
from collections.abc import Iterable, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

from ..distance import check_timeout, check_workers
from .cells import BadSpan, Table, TagCodes, Unparsable, find_table, table_tree
from .definitions import Definition
from .grits import METRICS, grits_paired, table_cells
from .pairs import Denominator, Pair, TableInput, check_options, compute, rename_table

__all__ = ["TableMatch", "grits_match", "teds_match"]


@dataclass(frozen=True)
class TableMatch:
    """Tables of a page paired by :func:`teds_match` (or :func:`grits_match`,
    its GriTS F-score where TEDS is written below).

    matrix: TEDS of every (true, predicted) table, shape (true, pred).
    pairs: the (true index, predicted index) pairs the assignment chose,
        by true index.
    scores: TEDS of each pair, in the order of ``pairs``.
    missed: true tables left without a prediction (each scores 0).
    spurious: predicted tables left without a true one (each scores 0).
    score: the page's score, the mean over the union: the pairs' scores
        and a 0 for every missed and every spurious table.
    score_over_true: the mean over the true tables only, spurious tables
        not counted, as ParseBench's TEDSMetric computes it.

    A page where neither side has a table scores 1.0 under both: nothing
    was to be found and nothing was made up. A page with predicted tables
    but no true one scores 0.0 under both.
    """

    matrix: npt.NDArray[np.float64]
    pairs: list[tuple[int, int]]
    scores: npt.NDArray[np.float64]
    missed: list[int]
    spurious: list[int]
    score: float
    score_over_true: float


def teds_match(true_tables: Sequence[TableInput], pred_tables: Sequence[TableInput], *,
               structure_only: bool = False, ignore_nodes: str | Iterable[str] | None = None,
               denominator: Denominator | None = None, definition: Definition | None = None,
               workers: int | None = None, timeout: float | None = None) -> TableMatch:
    """Pairs the predicted tables of a page with the true ones so that the
    sum of TEDS is largest (the Hungarian algorithm,
    ``scipy.optimize.linear_sum_assignment``), as ParseBench and
    grits-metric pair tables; a missed or spurious table scores 0.

    The TEDS of every (true, predicted) table comes from one native batch,
    like ``cdist``; each table is parsed once. Options as in :func:`teds`;
    ``workers`` and ``timeout`` as in :func:`teds_paired`. Returns a
    :class:`TableMatch`. With fewer predictions than true tables (or more),
    every table of the smaller side is paired, even at a TEDS of 0.

    Raises ImportError without scipy or lxml, ValueError and TypeError as
    :func:`teds` does, naming the table ("true table 2: ..."). Costs
    n_true x n_pred tree edit distances and one assignment, O(n^3) in the
    number of tables.
    """
    try:
        from scipy.optimize import linear_sum_assignment
    except ImportError:
        raise ImportError("grix.teds_match needs scipy: pip install scipy") from None
    names, rules, chosen = check_options(structure_only, ignore_nodes, denominator, definition)
    if isinstance(true_tables, (str, bytes)) or isinstance(pred_tables, (str, bytes)):
        raise TypeError("true_tables and pred_tables must be sequences of tables, not a single str or bytes")
    trues, preds = list(true_tables), list(pred_tables)
    threads, seconds = check_workers(workers), check_timeout(timeout)
    deadline = None if seconds is None else time.monotonic() + seconds
    codes = TagCodes()

    def trees(tables: list[Any], side: str) -> list[Table | None | float]:
        found: list[Table | None | float] = []
        for number, table in enumerate(tables):
            try:
                element = find_table(table, names, rules)
                found.append(None if element is None else table_tree(element, structure_only, codes, rules))
            except Unparsable as error:
                if rules.unparsable is None:
                    raise ValueError(f"{side} table {number}: lxml cannot parse it: {error}") from None
                found.append(rules.unparsable)
            except BadSpan as error:
                if rules.failure is None:
                    raise ValueError(f"{side} table {number}: {error}") from None
                found.append(rules.failure)
            except (ValueError, TypeError) as error:
                raise type(error)(f"{side} table {number}: {error}") from None
        return found

    true_trees, pred_trees = trees(trues, "true"), trees(preds, "predicted")
    matrix = np.zeros((len(trues), len(preds)), dtype=np.float64)
    batch: list[tuple[int, Pair]] = []
    for row, true in enumerate(true_trees):
        for column, pred in enumerate(pred_trees):
            place = row * len(preds) + column
            if isinstance(true, Table) and isinstance(pred, Table):
                batch.append((place, Pair(pred.tree(), true.tree(), rename_table(pred, true, threads, rules.rename),
                                          max(pred.elements, true.elements),
                                          max(len(pred.labels), len(true.labels)))))
            else:
                matrix.flat[place] = next((side for side in (true, pred) if isinstance(side, float)), 0.0)
    if batch:
        compute(batch, matrix.reshape(-1), [chosen], [rules], threads, deadline, seconds)
    return _assign(matrix, linear_sum_assignment)


def _assign(matrix: npt.NDArray[np.float64], linear_sum_assignment: Any) -> TableMatch:
    """The pairs of largest sum of a (true, predicted) score matrix, and the
    page's scores."""
    trues, preds = range(matrix.shape[0]), range(matrix.shape[1])
    # A NaN (a pair its source drops) is paired only when nothing else is
    # left, and counts 0 in the page's score.
    rows, columns = linear_sum_assignment(-np.where(np.isnan(matrix), -1e9, matrix))
    pairs = sorted(zip(rows.tolist(), columns.tolist()))
    scores = np.array([matrix[row, column] for row, column in pairs], dtype=np.float64)
    total = float(np.nansum(scores))
    missed = sorted(set(range(len(trues))) - {row for row, _ in pairs})
    spurious = sorted(set(range(len(preds))) - {column for _, column in pairs})
    union = len(pairs) + len(missed) + len(spurious)
    score = total / union if union else 1.0
    # A page with no tables on either side is a perfect page under both
    # scores; predictions without a true table score 0 under both.
    score_over_true = total / len(trues) if trues else (0.0 if preds else 1.0)
    return TableMatch(matrix, pairs, scores, missed, spurious, score, score_over_true)


def grits_match(true_tables: Sequence[Any], pred_tables: Sequence[Any], *, metric: str = "con",
                workers: int | None = None, timeout: float | None = None) -> TableMatch:
    """Pairs the predicted tables of a page with the true ones so that the
    sum of a GriTS F-score (``grits_<metric>``) is largest (the Hungarian
    algorithm, ``scipy.optimize.linear_sum_assignment``), as
    :func:`teds_match` does on TEDS; a missed or spurious table scores 0.

    The GriTS of every (true, predicted) table comes from one
    :func:`grits_paired` batch; each table is read once. Tables as
    :func:`grits` takes them; ``metric`` one of ``"top"``, ``"con"``
    (default), ``"loc"`` (which needs the cells' boxes); ``workers`` and
    ``timeout`` as in :func:`grits_paired`. Returns a :class:`TableMatch`
    whose ``matrix`` and ``scores`` are the F-scores. A true table without a
    table scores 0 against every prediction, and a prediction without one 0
    against every true table. With fewer predictions than true tables (or
    more), every table of the smaller side is paired, even at 0.

    Raises ImportError without scipy or lxml, ValueError on a metric not
    among them or a table that cannot be read, naming the table ("true
    table 2: ..."). Costs n_true x n_pred GriTS matchings and one
    assignment, O(n^3) in the number of tables.
    """
    try:
        from scipy.optimize import linear_sum_assignment
    except ImportError:
        raise ImportError("grix.grits_match needs scipy: pip install scipy") from None
    if metric not in METRICS:
        raise ValueError(f"metric must be one of {', '.join(map(repr, METRICS))}, not {metric!r}")
    if isinstance(true_tables, (str, bytes)) or isinstance(pred_tables, (str, bytes)):
        raise TypeError("true_tables and pred_tables must be sequences of tables, not a single str or bytes")
    threads, seconds = check_workers(workers), check_timeout(timeout)

    def read(tables: Sequence[Any], side: str) -> list[list[dict[str, Any]] | None]:
        """Each table's cells in the form grits_paired reads back without
        parsing again; None for no table."""
        found: list[list[dict[str, Any]] | None] = []
        for number, table in enumerate(tables):
            name = f"{side} table {number}"
            try:
                cells = table_cells(table, name=name)
            except (ValueError, TypeError) as error:
                message = str(error)
                raise type(error)(message if message.startswith(name) else f"{name}: {message}") from None
            if cells is not None and metric == "loc" and cells and all(cell.box is None for cell in cells):
                raise ValueError(f"{name}: GriTS-Loc needs the cells' boxes (a PubTabNet record, or cells with bbox)")
            found.append(None if cells is None else
                         [{"row_nums": list(cell.rows), "column_nums": list(cell.columns), "cell_text": cell.text,
                           "bbox": None if cell.box is None else list(cell.box)} for cell in cells])
        return found

    trues, preds = read(true_tables, "true"), read(pred_tables, "predicted")
    matrix = np.zeros((len(trues), len(preds)), dtype=np.float64)
    places = [(row, column) for row, true in enumerate(trues) for column, pred in enumerate(preds)
              if true is not None and pred is not None]
    if places:
        scores = grits_paired([preds[column] for _, column in places], [trues[row] for row, _ in places],
                               metrics=metric, workers=threads, timeout=seconds)[f"grits_{metric}"]
        for (row, column), value in zip(places, scores.tolist()):
            matrix[row, column] = value
    return _assign(matrix, linear_sum_assignment)
