"""GriTS, the grid table similarity of Smock et al. (arXiv 2203.12555), as
the grits-metric package computes it: each table a grid of cells (a cell
spanning k grid cells fills all k), two grids matched by the factored
two-dimensional most-similar substructures, and precision, recall and F from
the rewards of the matched grid cells.

Three rewards between grid cells, one metric each: ``con`` 2 LCS / (sum of
lengths) of their texts, ``top`` the IoU of their relative spans (the cell
holding the grid cell, placed relative to it), ``loc`` the IoU of their
cells' boxes. The rewards between the distinct values of the two tables are
computed here (rapidfuzz for the LCS, numpy for the IoU), the matching on the
engine's threads.
"""

from __future__ import annotations

import re
from collections import defaultdict
from collections.abc import Iterable, Mapping, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

from .. import _core
from ..distance import check_timeout, check_workers
from ..readers.tables import pubtabnet_table
from .cells import find_table
from .pairs import PARALLEL_CDIST, progress_bar

__all__ = ["METRICS", "grits", "grits_paired", "table_cells"]

METRICS = ("top", "con", "loc")

# Browsers' reading of a span attribute, which grits-metric follows: the
# leading integer, 1 when there is none or it is 0, at most these.
_LEADING_INTEGER = re.compile(r"[\t\n\f\r ]*\+?([0-9]+)")
_MAX_COLSPAN, _MAX_ROWSPAN = 1000, 65534
NO_BOX = (0.0, 0.0, 0.0, 0.0)


@dataclass
class Cell:
    """A table cell: the grid rows and columns it covers (a range, or the
    lists a cell list gives), its text and its box."""

    rows: Sequence[int]
    columns: Sequence[int]
    text: str
    box: tuple[float, float, float, float] | None = None


def _span(value: str | None, maximum: int) -> int:
    match = _LEADING_INTEGER.match(value) if value is not None else None
    if match is None:
        return 1
    return min(int(match.group(1)) or 1, maximum)


def _element_cells(table: Any) -> list[Cell]:
    """The cells of a table element where grits-metric's HTML reading puts
    them: every ``td`` and ``th`` below the table in document order, rows
    counted at each ``tr`` (and for cells outside any ``tr``, one row per
    parent), each cell at the first grid column its row leaves free."""
    cells: list[Cell] = []
    occupied: defaultdict[int, set[int]] = defaultdict(set)
    # The first free column of each row: a row's grid cells only fill up,
    # so it never moves left.
    free: dict[int, int] = {}
    row = -1
    implied_parent = None
    for element in table.iter():
        tag = element.tag
        if tag == "tr":
            row += 1
            implied_parent = None
        elif tag in ("td", "th"):
            parent = element.getparent()
            if parent.tag != "tr" and parent is not implied_parent:
                row += 1
                implied_parent = parent
            colspan = _span(element.get("colspan"), _MAX_COLSPAN)
            rowspan = _span(element.get("rowspan"), _MAX_ROWSPAN)
            taken = occupied[row]
            column = free.get(row, 0)
            while column in taken:
                column += 1
            free[row] = column
            for r in range(row, row + rowspan):
                occupied[r].update(range(column, column + colspan))
            cells.append(Cell(range(row, row + rowspan), range(column, column + colspan),
                              " ".join(element.itertext())))
    return cells


def _box(value: Any, name: str) -> tuple[float, float, float, float]:
    try:
        x0, y0, x1, y1 = map(float, value)
    except (TypeError, ValueError):
        raise ValueError(f"{name}: a cell's bbox must be four numbers [x0, y0, x1, y1], not {value!r}") from None
    if x0 > x1 or y0 > y1:
        raise ValueError(f"{name}: a cell's bbox {list(value)} has x0 > x1 or y0 > y1")
    return x0, y0, x1, y1


def table_cells(table: Any, *, name: str = "the table") -> list[Cell] | None:
    """The cells of a table, or None when it holds no table.

    table: HTML text (str or bytes) or an lxml element, the table found as
        :func:`grix.teds` finds it; a PubTabNet record (its cells' ``bbox``
        the boxes, a cell without one boxed at 0, 0, 0, 0); or a list of
        cells as grits-metric writes them (dicts with ``row_nums``,
        ``column_nums``, ``cell_text`` and optionally ``bbox``). Markdown
        and OTSL: read them with :mod:`grix.readers` first.
    """
    if isinstance(table, Mapping) and isinstance(table.get("html"), str):  # {"html": text}
        table = table["html"]
    if isinstance(table, Mapping):
        boxes = [cell.get("bbox") if type(cell) is dict or isinstance(cell, Mapping) else None
                 for cell in (table.get("html") or {}).get("cells", [])] if isinstance(table.get("html"), Mapping) \
            else []
        cells = table_cells(pubtabnet_table(table, name=name), name=name) or []
        if len(cells) != len(boxes):
            raise ValueError(f"{name}: {len(boxes)} cells in the record but {len(cells)} in its table")
        for cell, box in zip(cells, boxes):
            cell.box = NO_BOX if box is None else _box(box, name)
        return cells
    if isinstance(table, list):
        try:
            return [Cell([int(n) for n in cell["row_nums"]], [int(n) for n in cell["column_nums"]],
                         str(cell.get("cell_text", "")),
                         None if cell.get("bbox") is None else _box(cell["bbox"], name)) for cell in table]
        except (KeyError, TypeError, ValueError) as error:
            raise ValueError(f"{name}: expected cells with row_nums and column_nums ({error})") from None
    found = find_table(table, ())
    return None if found is None else _element_cells(found)


def _grid(cells: list[Cell], metric: str, name: str) -> tuple[npt.NDArray[np.int32], list[Any]]:
    """The grid of value numbers and the distinct values: an empty table is
    one row of no columns, as grits-metric writes it."""
    if not cells:
        return np.zeros((1, 0), dtype=np.int32), []
    spans = [(_first_last(cell.rows), _first_last(cell.columns)) for cell in cells]
    rows = max(last for (_, last), _ in spans) + 1
    columns = max(last for _, (_, last) in spans) + 1
    default = {"con": "", "top": (0, 0, 1, 1), "loc": NO_BOX}[metric]
    if metric == "loc" and all(cell.box is None for cell in cells):
        raise ValueError(f"{name}: GriTS-Loc needs the cells' boxes (a PubTabNet record, or cells with bbox)")
    number: dict[Any, int] = {default: 0}
    grid = np.zeros((rows, columns), dtype=np.int32)
    for cell, ((top, bottom), (left, right)) in zip(cells, spans):
        for r in cell.rows:
            for c in cell.columns:
                if metric == "con":
                    value: Any = cell.text
                elif metric == "top":
                    value = (left - c, top - r, right + 1 - c, bottom + 1 - r)
                else:
                    value = cell.box or NO_BOX
                grid[r, c] = number.setdefault(value, len(number))
    return grid, list(number)


def _first_last(numbers: Sequence[int]) -> tuple[int, int]:
    """The smallest and largest of a cell's rows or columns: the ends of a
    range as they are, without walking it."""
    if type(numbers) is range and numbers.step == 1:
        return numbers.start, numbers.stop - 1
    return min(numbers), max(numbers)


def _lcs_rewards(texts1: list[str], texts2: list[str], workers: int) -> npt.NDArray[np.float64]:
    from rapidfuzz.distance import LCSseq
    from rapidfuzz.process import cdist

    # rapidfuzz's threads pay off on large tables only: starting them costs
    # more than the whole of a small table's matrix.
    threads = workers if len(texts1) * len(texts2) >= PARALLEL_CDIST else 1
    common = np.asarray(cdist(texts1, texts2, scorer=LCSseq.similarity, dtype=np.int64, workers=threads),
                        dtype=np.int64).reshape(len(texts1), len(texts2))
    lengths = np.add.outer(np.fromiter(map(len, texts1), np.int64, len(texts1)),
                           np.fromiter(map(len, texts2), np.int64, len(texts2)))
    with np.errstate(invalid="ignore", divide="ignore"):
        rewards: npt.NDArray[np.float64] = (2 * common) / lengths
    # Equal texts score 1, two empty ones too (not 0 / 0).
    code = {text: number for number, text in enumerate(dict.fromkeys(texts1 + texts2))}
    codes1 = np.fromiter(map(code.__getitem__, texts1), np.int64, len(texts1))
    codes2 = np.fromiter(map(code.__getitem__, texts2), np.int64, len(texts2))
    rewards[codes1[:, None] == codes2[None, :]] = 1.0
    return rewards


# Below this many box pairs, a loop in Python beats numpy's cost per call.
_SMALL_IOU = 256


def _iou(a: Sequence[float], b: Sequence[float]) -> float:
    """One IoU of _iou_rewards, the same operations in the same order."""
    width = min(a[2], b[2]) - max(a[0], b[0]) if a[0] <= b[2] and b[0] <= a[2] else 0.0
    height = min(a[3], b[3]) - max(a[1], b[1]) if a[1] <= b[3] and b[1] <= a[3] else 0.0
    overlap = width * height
    if overlap == 0:
        return 0.0
    union = (a[2] - a[0]) * (a[3] - a[1]) + (b[2] - b[0]) * (b[3] - b[1]) - overlap
    return overlap / union  # type: ignore[no-any-return]


def _iou_rewards(boxes1: list[Any], boxes2: list[Any]) -> npt.NDArray[np.float64]:
    """IoU as grits-metric computes it (overlaps, then areas, then the
    division), so that the doubles are the same."""
    if len(boxes1) * len(boxes2) <= _SMALL_IOU:
        try:
            return np.array([[_iou(a, b) for b in boxes2] for a in boxes1], dtype=np.float64).reshape(
                len(boxes1), len(boxes2))
        except ZeroDivisionError:  # where numpy gives inf or NaN
            pass
    a = np.asarray(boxes1, dtype=np.float64).reshape(-1, 4)[:, None, :]
    b = np.asarray(boxes2, dtype=np.float64).reshape(-1, 4)[None, :, :]
    width = np.where((a[..., 0] <= b[..., 2]) & (b[..., 0] <= a[..., 2]),
                     np.minimum(a[..., 2], b[..., 2]) - np.maximum(a[..., 0], b[..., 0]), 0.0)
    height = np.where((a[..., 1] <= b[..., 3]) & (b[..., 1] <= a[..., 3]),
                      np.minimum(a[..., 3], b[..., 3]) - np.maximum(a[..., 1], b[..., 1]), 0.0)
    overlap = width * height
    areas1 = (a[..., 2] - a[..., 0]) * (a[..., 3] - a[..., 1])
    areas2 = (b[..., 2] - b[..., 0]) * (b[..., 3] - b[..., 1])
    union = areas1 + areas2 - overlap
    with np.errstate(invalid="ignore", divide="ignore"):
        rewards: npt.NDArray[np.float64] = np.where(overlap == 0, 0.0, overlap / np.where(overlap == 0, 1.0, union))
    return rewards


def _fscores(matched: npt.NDArray[np.float64], true_cells: npt.NDArray[np.float64],
             pred_cells: npt.NDArray[np.float64]) -> tuple[npt.NDArray[np.float64], ...]:
    """grits-metric's compute_fscore: precision 1 with no predicted cells,
    recall 1 with no true cells, F 0 when both are 0."""
    with np.errstate(invalid="ignore", divide="ignore"):
        precision = np.where(pred_cells > 0, matched / np.maximum(pred_cells, 1), 1.0)
        recall = np.where(true_cells > 0, matched / np.maximum(true_cells, 1), 1.0)
        total = precision + recall
        f = np.where(total > 0, 2 * precision * recall / np.where(total > 0, total, 1.0), 0.0)
    return f, precision, recall


def _check_metrics(metrics: object) -> tuple[str, ...]:
    chosen = (metrics,) if isinstance(metrics, str) else tuple(metrics)  # type: ignore[arg-type]
    for metric in chosen:
        if metric not in METRICS:
            raise ValueError(f"metrics must be among {', '.join(map(repr, METRICS))}, not {metric!r}")
    if not chosen:
        raise ValueError("metrics must name at least one of 'top', 'con', 'loc'")
    return tuple(dict.fromkeys(chosen))


def grits_paired(preds: Sequence[Any], trues: Sequence[Any], *, metrics: str | Iterable[str] = ("top", "con"),
                 workers: int | None = -1, timeout: float | None = None,
                 progress: bool | None = None) -> dict[str, npt.NDArray[np.float64]]:
    """GriTS of every predicted table against its true table, the matchings
    on ``workers`` threads (-1 or None: all cores).

    preds, trues: tables as :func:`grits` takes them. A prediction without a
        table is an empty grid (precision 1, recall 0, F 0, as grits-metric
        scores a prediction it cannot read); a true table without one raises
        ValueError naming it.
    metrics: any of ``"top"``, ``"con"``, ``"loc"`` (which needs boxes).

    Returns arrays of one score per pair, keyed as grits-metric names them:
    ``grits_top``, ``grits_top_precision``, ``grits_top_recall``, and the
    same for each metric asked. Raises TimeoutError after ``timeout``
    seconds, KeyboardInterrupt on Ctrl-C, both with every thread joined.

    Cost: per pair O(R1 R2 C1 C2) for grids of R1 x C1 and R2 x C2, and the
    rewards between distinct values (O(n m) LCS for Con).
    """
    chosen = _check_metrics(metrics)
    threads = check_workers(workers)
    seconds = check_timeout(timeout)
    if isinstance(preds, (str, bytes)) or isinstance(trues, (str, bytes)):
        raise TypeError("grits_paired takes sequences of tables; for one pair call grix.grits")
    if len(preds) != len(trues):
        raise ValueError(f"{len(preds)} predictions for {len(trues)} true tables")
    grids: dict[str, tuple[list[Any], list[Any], list[Any]]] = {metric: ([], [], []) for metric in chosen}
    for number, (pred, true) in enumerate(zip(preds, trues)):
        true_cells = table_cells(true, name=f"true table {number}")
        if true_cells is None:
            raise ValueError(f"true table {number}: no table")
        pred_cells = table_cells(pred, name=f"predicted table {number}") or []
        for metric in chosen:
            true_grid, true_values = _grid(true_cells, metric, f"true table {number}")
            pred_grid, pred_values = _grid(pred_cells, metric, f"predicted table {number}")
            if metric == "con":
                rewards = _lcs_rewards(true_values, pred_values, threads)
            else:
                rewards = _iou_rewards(true_values, pred_values)
            grids[metric][0].append(true_grid)
            grids[metric][1].append(pred_grid)
            grids[metric][2].append(rewards.reshape(len(true_values), len(pred_values)))
    out: dict[str, npt.NDArray[np.float64]] = {}
    bar = progress_bar(progress, len(trues) * len(chosen))
    try:
        for metric in chosen:
            truths, predictions, rewards_list = grids[metric]
            counted = [0]

            def report(done: int) -> None:
                if bar is not None:
                    bar.update(done - counted[0])
                    counted[0] = done

            matched = _core.grid_match_scores(truths, predictions, rewards_list, workers=threads,
                                              timeout=seconds, progress=report if bar is not None else None)
            true_counts = np.array([grid.size for grid in truths], dtype=np.float64)
            pred_counts = np.array([grid.size for grid in predictions], dtype=np.float64)
            f, precision, recall = _fscores(matched, true_counts, pred_counts)
            out[f"grits_{metric}"] = f
            out[f"grits_{metric}_precision"] = precision
            out[f"grits_{metric}_recall"] = recall
    finally:
        if bar is not None:
            bar.close()
    return out


def grits(pred: Any, true: Any, *, metrics: str | Iterable[str] = ("top", "con")) -> dict[str, float]:
    """GriTS of a predicted table against the true one, for each metric
    asked: ``grits_top``, ``grits_top_precision``, ``grits_top_recall``,
    and likewise ``grits_con`` and ``grits_loc``; 1.0 each for equal tables.

    pred, true: HTML text (str or bytes) or an lxml element, the table found
        as :func:`grix.teds` finds it (the first ``<table>``), its cells laid
        out as grits-metric's HTML reading lays them out (spans fill the grid
        cells they cover; cell text the element's texts joined by spaces); a
        PubTabNet record (with its cells' boxes for ``loc``); or a list of
        cells as grits-metric writes them (``row_nums``, ``column_nums``,
        ``cell_text``, ``bbox``). Markdown and OTSL: read them with
        :func:`grix.readers.markdown_table` and
        :func:`grix.readers.otsl_table`.
    metrics: any of ``"top"``, ``"con"``, ``"loc"``.

    Raises ValueError when the true table holds no table; a prediction
    without one scores as an empty grid (F 0).
    """
    scores = grits_paired([pred], [true], metrics=metrics, workers=1)
    return {key: float(values[0]) for key, values in scores.items()}
