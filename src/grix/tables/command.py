"""``grix teds``: a whole table-recognition benchmark from the command line.

Ground truth and predictions are read in the forms benchmarks ship them,
each pair is parsed once and scored for TEDS and TEDS-S (the structure
trees are built from the same parse), the distances come from engine
batches on all workers, and the per-table scores and a summary are written.
With ``--grits`` the same pass scores GriTS (:func:`grits_paired`) of the
same pairs, batch by batch beside TEDS.
Ctrl-C stops between batches of pairs (well within a second) and writes
what is done.
"""

from __future__ import annotations

import argparse
import csv
import io
import json
import math
import sys
import time
from collections.abc import Iterator
from dataclasses import dataclass, field
from typing import Any

import numpy as np

from ..distance import check_timeout, check_workers
from ..errors import InputError
from ..readers.html_parsing import lxml_modules
from ..readers.tables import pubtabnet_table
from .cells import BadSpan, TagCodes, Unparsable, find_table, table_tree
from .definitions import DEFAULT_RULES, DEFINITIONS, Rules
from .grits import METRICS, grits_paired
from .pairs import Pair, check_options, compute, progress_bar, rename_table, time_left

# Pairs per engine batch: large enough for both workers, small enough that
# Ctrl-C and the progress bar see the work move several times a second.
BATCH_PAIRS = 96
NAME_KEYS = ("filename", "name", "id", "image_name", "image_path", "file")
HTML_KEYS = ("html", "gt", "true", "pred")
# What a bare --grits scores.
GRITS_DEFAULT = ("top", "con")


def add_command(commands: Any) -> None:
    """Adds ``grix teds PRED TRUE`` to the command line's subparsers."""
    command = commands.add_parser(
        "teds", help="TEDS and TEDS-S of predicted HTML tables against the true ones",
        description="Scores each table of TRUE against the prediction of the same name in PRED "
        "(a missing one scores 0), TEDS and TEDS-S in one pass (and GriTS with --grits), then prints one line per table "
        "(or writes them with --output) and a summary: means, simple and complex tables "
        "(complex: a true cell spanning more than one row or column), tables that failed to parse. "
        "TRUE: a JSON object {name: html} or {name: {\"html\": html}}; PubTabNet's jsonl "
        "(records with filename and html.structure/html.cells); or a JSON list of records "
        "with a name (filename, name, id, image_name, image_path) and html, or OmniDocBench pages "
        "(layout_dets with category_type \"table\" and html, named image_path#k). PRED: the same forms.")
    command.add_argument("pred", metavar="PRED")
    command.add_argument("true", metavar="TRUE")
    command.add_argument("--definition", choices=sorted(DEFINITIONS),
                         help="reproduce a benchmark's code exactly (see grix.teds); default: "
                         "PubTabNet's costs, tables found as a browser finds them")
    command.add_argument("--denominator", choices=("elements", "tree"),
                         help="elements below the table (PubTabNet, default) or tree nodes "
                         "(table-recognition-metric, PaddleOCR)")
    command.add_argument("--ignore-nodes", metavar="TAGS",
                         help="comma-separated tags removed before scoring, their text kept")
    command.add_argument("--structure-only", action="store_true",
                         help="TEDS-S only (the cells' contents ignored)")
    command.add_argument("--grits", nargs="?", const=",".join(GRITS_DEFAULT), metavar="METRICS",
                         help="also GriTS of every pair in the same pass: comma-separated among top, con, "
                         "loc (bare --grits: top,con; loc needs cell boxes: PubTabNet records with bbox "
                         "on both sides); adds grits_<metric>, grits_<metric>_precision and "
                         "grits_<metric>_recall to the per-table output and their means to the summary; "
                         "write it after PRED TRUE, or as --grits=con")
    command.add_argument("--output", metavar="FILE",
                         help="write per-table scores to FILE: CSV when it ends in .csv, else JSON lines")
    command.add_argument("--workers", type=int, help="threads (default: all cores)")
    command.add_argument("--timeout", type=float, metavar="SECONDS",
                         help="give up after this many seconds (exit 1, nothing written)")
    command.add_argument("--progress", action=argparse.BooleanOptionalAction, default=None,
                         help="a progress bar (default: on a terminal, for runs of a few seconds)")
    command.add_argument("--json", action="store_true",
                         help="print {\"scores\": {name: score}, \"mean\": mean, \"summary\": {...}}")


# -- reading -------------------------------------------------------------------

def _input_error(message: str) -> Exception:
    return InputError(message)


def _load(path: str) -> Any:
    """A JSON document, or for .jsonl a list of its lines' objects."""
    try:
        with open(path, encoding="utf-8") as file:
            if path.endswith(".jsonl"):
                return [json.loads(line) for line in file if line.strip()]
            return json.load(file)
    except FileNotFoundError:
        raise _input_error(f"{path}: no such file") from None
    except (OSError, ValueError) as error:
        raise _input_error(f"{path}: {error}") from None


def _record_name(record: dict[str, Any]) -> str | None:
    for key in NAME_KEYS:
        if isinstance(record.get(key), str):
            return str(record[key])
    return None


def _record_html(path: str, name: str, value: Any) -> str:
    if isinstance(value, str):
        return value
    if isinstance(value, dict):
        inner = value.get("html")
        if isinstance(inner, str):
            return inner
        if isinstance(inner, dict):
            try:
                return pubtabnet_table(value, name=f"{path}: {name}")
            except ValueError as error:
                raise _input_error(str(error)) from None
        for key in HTML_KEYS[1:]:
            if isinstance(value.get(key), str):
                return str(value[key])
    raise _input_error(f"{path}: {name}: expected HTML text, {{\"html\": text}} or a PubTabNet record")


def read_tables(path: str) -> dict[str, str]:
    """The tables of a file by name, in the file's order."""
    return {name: _record_html(path, name, value) for name, value in _read_values(path).items()}


def read_boxed_tables(path: str) -> tuple[dict[str, str], dict[str, Any]]:
    """The tables of a file by name, and the PubTabNet records among them
    (those whose cells may carry boxes, for GriTS-Loc) by name."""
    values = _read_values(path)
    records = {name: value for name, value in values.items()
               if isinstance(value, dict) and isinstance(value.get("html"), dict)}
    return {name: _record_html(path, name, value) for name, value in values.items()}, records


def _read_values(path: str) -> dict[str, Any]:
    """The tables of a file by name as the file holds them (text or record)."""
    data = _load(path)
    tables: dict[str, Any] = {}
    if isinstance(data, dict):
        return dict(data)
    if not isinstance(data, list):
        raise _input_error(f"{path}: expected a JSON object or list of tables, not {type(data).__name__}")
    for number, record in enumerate(data):
        if not isinstance(record, dict):
            raise _input_error(f"{path}: item {number}: expected an object, not {type(record).__name__}")
        if isinstance(record.get("layout_dets"), list):  # an OmniDocBench page
            page = ((record.get("page_info") or {}).get("image_path") if isinstance(record.get("page_info"), dict)
                    else None) or _record_name(record) or f"page{number}"
            found = [det for det in record["layout_dets"]
                     if isinstance(det, dict) and det.get("category_type") == "table"]
            for index, det in enumerate(found):
                tables[f"{page}#{index}"] = det
            continue
        name = _record_name(record)
        if name is None:
            raise _input_error(f"{path}: item {number}: no name ({', '.join(NAME_KEYS)})")
        if name in tables:
            raise _input_error(f"{path}: {name}: appears twice")
        tables[name] = record
    return tables


# -- scoring -------------------------------------------------------------------

@dataclass
class Scores:
    """Per-table results, in the order of the true tables."""

    names: list[str]
    teds: np.ndarray
    teds_struct: np.ndarray
    complex: np.ndarray
    status: list[str]
    done: int = 0
    interrupted: bool = False
    measures: tuple[str, ...] = ("teds", "teds_struct")
    extra: dict[str, Any] = field(default_factory=dict)
    # GriTS columns by key (grits_con, grits_con_precision, ...), when asked,
    # and the pairs TEDS read but GriTS could not (scored NaN).
    grits: dict[str, np.ndarray] = field(default_factory=dict)
    grits_failed: int = 0

    def column(self, measure: str) -> np.ndarray:
        """The per-table scores of a measure (TEDS, TEDS-S or a GriTS key)."""
        return self.grits[measure] if measure in self.grits else getattr(self, measure)


def grits_keys(metrics: tuple[str, ...]) -> tuple[str, ...]:
    """The GriTS columns of the metrics asked, as grits_paired keys them."""
    return tuple(f"grits_{metric}{part}" for metric in metrics for part in ("", "_precision", "_recall"))


def parse_grits(value: str | None) -> tuple[str, ...]:
    """The metrics of ``--grits``: () when absent; ValueError on a bad one."""
    if value is None:
        return ()
    chosen = tuple(dict.fromkeys(name.strip().lower() for name in value.split(",") if name.strip()))
    if not chosen or any(name not in METRICS for name in chosen):
        raise ValueError(f"--grits: expected metrics among {', '.join(METRICS)} separated by commas, "
                         f"not {value!r}")
    return chosen


def _is_complex(table: Any) -> bool:
    """Whether a cell of the table spans more than one row or column
    (an attribute int() refuses counts as no span here)."""
    for cell in table.iter("td", "th"):
        for name in ("colspan", "rowspan"):
            try:
                if int(cell.get(name) or 1) > 1:
                    return True
            except ValueError:
                pass
    return False


def _no_table(side: str, text: Any, ignore: tuple[str, ...], rules: Rules) -> str:
    """The status of a side without a table to score: none at all, or one
    that the definition's rule of where the table must be (PubTabNet's
    ``body/table``: a whole page) does not find."""
    if rules.find != "browser" and find_table(text, ignore, DEFAULT_RULES) is not None:
        return f"table in the {side} not at {rules.find}"
    return f"no table in the {side}"


def _prepare_both(pred: Any, true: Any, ignore: tuple[str, ...], rules: Rules, threads: int,
                  structure: bool, content: bool) -> tuple[Pair | None, Pair | None, bool, str]:
    """Both pairs (TEDS, TEDS-S) of one prediction from one parse: the
    pairs or None, whether the true table is complex, and the status."""
    try:
        table1 = find_table(pred, ignore, rules)
        table2 = find_table(true, ignore, rules)
    except Unparsable as error:
        return None, None, False, f"unparsable: {error}"
    if table2 is None:
        return None, None, False, _no_table("truth", true, ignore, rules)
    complex_table = _is_complex(table2)
    if table1 is None:
        return None, None, complex_table, _no_table("prediction", pred, ignore, rules) if pred \
            else "missing prediction"
    pairs: list[Pair | None] = []
    for structure_only, wanted in ((False, content), (True, structure)):
        if not wanted:
            pairs.append(None)
            continue
        codes = TagCodes()
        first = table_tree(table1, structure_only, codes, rules)
        second = table_tree(table2, structure_only, codes, rules)
        pairs.append(Pair(first.tree(), second.tree(),
                          rename_table(first, second, threads, rules.rename),
                          max(first.elements, second.elements), max(len(first.labels), len(second.labels))))
    return pairs[0], pairs[1], complex_table, "ok"


def _grits_batch(result: Scores, numbers: list[int], preds: list[Any], trues: list[Any],
                 metrics: tuple[str, ...], threads: int, deadline: float | None, timeout: float | None) -> None:
    """GriTS of a batch of pairs written at their places; when a table of
    the batch cannot be read for GriTS, the pairs are scored one by one and
    those that fail score NaN (status "grits error: ...")."""
    try:
        found = grits_paired(preds, trues, metrics=metrics, workers=threads,
                             timeout=time_left(deadline, timeout), progress=False)
    except TimeoutError:
        raise TimeoutError(f"the computation did not finish within {timeout} s") from None
    except (ValueError, TypeError):
        if len(numbers) == 1:
            raise
        for number, pred, true in zip(numbers, preds, trues):
            try:
                _grits_batch(result, [number], [pred], [true], metrics, threads, deadline, timeout)
            except (ValueError, TypeError) as error:
                for values in result.grits.values():
                    values[number] = math.nan
                result.status[number] = f"grits error: {error}"
                result.grits_failed += 1
        return
    for key, values in found.items():
        result.grits[key][numbers] = values


def score_tables(preds: dict[str, str], trues: dict[str, str], *, rules: Rules, denominator: str,
                 ignore: tuple[str, ...], structure_only: bool, threads: int,
                 progress: bool | None, timeout: float | None = None, grits: tuple[str, ...] = (),
                 grits_preds: dict[str, Any] | None = None, grits_trues: dict[str, Any] | None = None) -> Scores:
    """TEDS and TEDS-S of every true table against its prediction, and the
    GriTS metrics asked of the same pairs (of ``grits_preds`` and
    ``grits_trues`` where given, e.g. records with boxes, else of the same
    texts); a pair TEDS cannot score takes the same score for GriTS. Stops
    cleanly on Ctrl-C with the tables done so far."""
    names = list(trues)
    count = len(names)
    deadline = None if timeout is None else time.monotonic() + timeout
    measures = ("teds_struct",) if structure_only else ("teds", "teds_struct")
    result = Scores(names, np.full(count, np.nan), np.full(count, np.nan), np.zeros(count, dtype=bool),
                    [""] * count, measures=measures + grits_keys(grits),
                    grits={key: np.full(count, np.nan) for key in grits_keys(grits)})
    grits_preds, grits_trues = grits_preds or {}, grits_trues or {}
    bar = progress_bar(progress, count)
    batch: list[tuple[int, Pair]] = []
    batch_struct: list[tuple[int, Pair]] = []

    def flush() -> None:
        if batch:
            compute(batch, result.teds, [denominator], [rules], threads, deadline, timeout)
        if batch_struct:
            compute(batch_struct, result.teds_struct, [denominator], [rules], threads, deadline, timeout)
        ready = [number for number in pending if result.status[number] == "ok"]
        if grits and ready:
            _grits_batch(result, ready,
                         [grits_preds.get(names[number], preds.get(names[number], "")) for number in ready],
                         [grits_trues.get(names[number], trues[names[number]]) for number in ready],
                         grits, threads, deadline, timeout)
        if bar is not None:
            bar.update(len(pending))
        result.done += len(pending)
        pending.clear()
        batch.clear()
        batch_struct.clear()

    pending: list[int] = []
    try:
        for number, name in enumerate(names):
            time_left(deadline, timeout)
            caught: float | None = None
            try:
                full, struct, complex_table, status = _prepare_both(
                    preds.get(name, ""), trues[name], ignore, rules, threads, True, not structure_only)
            except (ValueError, TypeError) as error:
                full, struct, complex_table, status = None, None, False, f"error: {error}"
                # A definition whose evaluator catches the failure scores it.
                caught = rules.failure if isinstance(error, BadSpan) else None
            result.complex[number], result.status[number] = complex_table, status
            if status != "ok":
                failed = rules.unparsable if status.startswith("unparsable") and rules.unparsable is not None \
                    else (math.nan if status.startswith("error") else 0.0)
                if status.startswith("error") and caught is not None:
                    failed = caught
                result.teds[number] = result.teds_struct[number] = failed
                for values in result.grits.values():
                    values[number] = failed
            else:
                if full is not None:
                    batch.append((number, full))
                if struct is not None:
                    batch_struct.append((number, struct))
            pending.append(number)
            if len(pending) >= BATCH_PAIRS:
                flush()
        flush()
    except KeyboardInterrupt:
        result.interrupted = True
    finally:
        if bar is not None:
            bar.close()
    return result


# -- writing -------------------------------------------------------------------

def _mean(values: np.ndarray) -> float | None:
    kept = values[~np.isnan(values)]
    return float(kept.mean()) if len(kept) else None


def summary(scores: Scores) -> dict[str, Any]:
    """Means over the tables done (a NaN, a table its definition drops, left
    out), split by simple and complex true tables, and the failures."""
    done = slice(0, scores.done)
    complex_mask = scores.complex[done]
    status = scores.status[:scores.done]
    out: dict[str, Any] = {"tables": len(scores.names), "scored": scores.done}
    for measure in scores.measures:
        values = scores.column(measure)[done]
        out[measure] = _mean(values)
        out[f"{measure}_simple"] = _mean(values[~complex_mask])
        out[f"{measure}_complex"] = _mean(values[complex_mask])
    out["simple"] = int((~complex_mask).sum())
    out["complex"] = int(complex_mask.sum())
    out["failed_to_parse"] = sum(1 for text in status if text.startswith(("no table in the prediction",
                                                                            "unparsable", "error")))
    out["missing_predictions"] = status.count("missing prediction")
    out["no_true_table"] = status.count("no table in the truth")
    # Tables there, but not where the definition looks (scored 0.0, as by it).
    out["misplaced_true"] = sum(1 for text in status if text.startswith("table in the truth not at"))
    out["misplaced_pred"] = sum(1 for text in status if text.startswith("table in the prediction not at"))
    if scores.grits:
        # Pairs GriTS did not score: those TEDS could not read (scored as
        # TEDS scores them), and those only GriTS could not read (NaN).
        out["grits_not_read"] = sum(1 for text in status if text not in ("ok",) and not text.startswith("grits"))
        out["grits_failed"] = sum(1 for text in status if text.startswith("grits error"))
    if scores.interrupted:
        out["interrupted"] = True
    return out


def _rows(scores: Scores) -> Iterator[dict[str, Any]]:
    for number in range(scores.done):
        row: dict[str, Any] = {"name": scores.names[number]}
        for measure in scores.measures:
            value = float(scores.column(measure)[number])
            row[measure] = None if math.isnan(value) else value
        row["complex"] = bool(scores.complex[number])
        row["status"] = scores.status[number]
        yield row


def write_output(path: str, scores: Scores) -> None:
    try:
        with open(path, "w", encoding="utf-8", newline="") as file:
            if path.endswith(".csv"):
                writer = csv.DictWriter(file, ["name", *scores.measures, "complex", "status"])
                writer.writeheader()
                writer.writerows(_rows(scores))
            else:
                for row in _rows(scores):
                    file.write(json.dumps(row) + "\n")
    except OSError as error:
        raise _input_error(f"{path}: {error.strerror or error}") from None


def _format(value: float | None) -> str:
    return "-" if value is None else f"{value:.6f}"


def run(args: argparse.Namespace) -> None:
    """Runs ``grix teds``: exits 2 on a bad option, raises the command
    line's InputError on a bad file, KeyboardInterrupt (after writing what
    is done) on Ctrl-C."""
    rules = DEFINITIONS[args.definition] if args.definition else DEFAULT_RULES
    ignore = tuple(name.strip() for name in args.ignore_nodes.split(",") if name.strip()) \
        if args.ignore_nodes else ()
    try:
        _, rules, denominator = check_options(args.structure_only, ignore or None,
                                              args.denominator, args.definition)
        threads = check_workers(args.workers)
        timeout = check_timeout(args.timeout)
        grits = parse_grits(args.grits)
    except ValueError as error:
        print(f"grix teds: error: {error}", file=sys.stderr)
        raise SystemExit(2) from None
    try:
        lxml_modules()
    except ImportError as error:
        raise _input_error(str(error)) from None
    grits_trues: dict[str, Any] = {}
    grits_preds: dict[str, Any] = {}
    if "loc" in grits:  # the records, whose cells carry the boxes
        trues, grits_trues = read_boxed_tables(args.true)
        preds, grits_preds = read_boxed_tables(args.pred)
        for path, tables, records in ((args.true, trues, grits_trues), (args.pred, preds, grits_preds)):
            unboxed = next((name for name, text in tables.items() if text and name not in records), None)
            if unboxed is not None:
                raise _input_error(f"{path}: {unboxed}: --grits loc needs the cells' boxes "
                                   "(PubTabNet records with html.cells[].bbox), not HTML text")
    else:
        trues = read_tables(args.true)
        preds = read_tables(args.pred)
    start = time.perf_counter()
    scores = score_tables(preds, trues, rules=rules, denominator=denominator, ignore=ignore,
                          structure_only=args.structure_only, threads=threads, progress=args.progress,
                          timeout=timeout, grits=grits, grits_preds=grits_preds, grits_trues=grits_trues)
    seconds = time.perf_counter() - start
    totals = summary(scores)
    main = scores.measures[0]
    if args.output:
        write_output(args.output, scores)
    if args.json:
        values = scores.column(main)[:scores.done].tolist()
        print(json.dumps({"scores": {name: (None if math.isnan(value) else value)
                                     for name, value in zip(scores.names, values)},
                          "mean": totals[main], "summary": totals}))
    else:
        out = io.StringIO()
        width = max(7, max(map(len, scores.names), default=0))
        widths = {measure: max(11, len(measure)) for measure in scores.measures}
        if not args.output:
            for row in _rows(scores):
                values = "  ".join(f"{_format(row[m]):>{widths[m]}}" for m in scores.measures)
                note = "" if row["status"] == "ok" else f"  ({row['status']})"
                out.write(f"{row['name']:<{width}}  {values}{note}\n")
        header = "  ".join(f"{m:>{widths[m]}}" for m in scores.measures)
        out.write(f"{'':<{width}}  {header}\n")
        out.write(f"{'mean':<{width}}  " + "  ".join(f"{_format(totals[m]):>{widths[m]}}" for m in scores.measures)
                  + f"  ({scores.done} tables)\n")
        for part in ("simple", "complex"):
            out.write(f"{part:<{width}}  "
                      + "  ".join(f"{_format(totals[f'{m}_{part}']):>{widths[m]}}" for m in scores.measures)
                      + f"  ({totals[part]} tables)\n")
        misplaced = ""
        if totals["misplaced_true"] or totals["misplaced_pred"]:
            misplaced = (f", tables not at {rules.find} as definition {args.definition!r} requires (scored 0): "
                         f"{totals['misplaced_true']} true, {totals['misplaced_pred']} predicted")
        out.write(f"failed to parse: {totals['failed_to_parse']}, missing predictions: "
                  f"{totals['missing_predictions']}, true tables without a table: {totals['no_true_table']}"
                  f"{misplaced}; {seconds:.2f} s\n")
        if scores.grits:
            out.write(f"GriTS: {totals['grits_not_read']} tables without a pair to read (scored as for TEDS), "
                      f"{totals['grits_failed']} read for TEDS but not for GriTS (no score)\n")
        sys.stdout.write(out.getvalue())
    if scores.interrupted:
        sys.stdout.flush()
        print(f"grix teds: stopped after {scores.done} of {len(scores.names)} tables; "
              "what was done is written", file=sys.stderr)
        raise KeyboardInterrupt
