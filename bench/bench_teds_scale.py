"""TEDS at benchmark scale: the 9,115-pair corpus of make_teds_corpus.py
(PubTabNet's validation set has 9,115 tables).

  1. `grix teds PRED.json TRUE.jsonl --workers 2`: TEDS and TEDS-S of every
     pair, the whole command (start-up, reading, parsing, scoring, writing
     the per-table file), median of 3;
  2. grix.teds_paired(definition="docling-metrics", workers=2) against
     docling-metrics-table's TableMetric (TEDS), which compute the same
     number, on the same pairs of each size band (cells of the true table:
     < 20, 20-100, > 100), taking turns, median of 3 each; the scores are
     compared too;
  3. grix.teds_paired(definition="pubtabnet", denominator="tree") against
     table-recognition-metric on a seeded sample of the pairs (it takes
     about a second a large pair), one run of the peer, median of 3 for
     grix.

    python bench/make_teds_corpus.py            # writes build/teds_corpus.jsonl
    python bench/bench_teds_scale.py [CORPUS] [--sample 300]

Writes bench/results/grix-teds-scale.md.
"""

import argparse
import json
import os
import pathlib
import platform
import random
import statistics
import subprocess
import sys
import time

import numpy as np

import grix

HERE = pathlib.Path(__file__).parent
ROOT = HERE.parent
BANDS = (("< 20 cells", 0, 19), ("20-100 cells", 20, 100), ("> 100 cells", 101, 10**9))


def timed(call):
    start = time.perf_counter()
    result = call()
    return result, time.perf_counter() - start


def command_run(true_file, pred_file, out_file, *extra):
    start = time.perf_counter()
    run = subprocess.run([sys.executable, "-m", "grix", "teds", str(pred_file), str(true_file), *extra, "--workers", "2",
                          "--output", str(out_file), "--json"], capture_output=True, text=True, check=True)
    return json.loads(run.stdout)["summary"], time.perf_counter() - start


def boxed_record(name, html, rng, jitter):
    """A PubTabNet record of the first table of `html`: structure tokens,
    cell texts as characters, and a box for every cell laid out on a grid of
    40 x 12 units (spans widen it), each corner moved by up to `jitter`
    units, as a recogniser's boxes are off by a little."""
    import lxml.html

    table = next(lxml.html.fromstring(html).iter("table"))
    sections = [child for child in table if child.tag in ("thead", "tbody")] or [table]
    structure, cells, taken = [], [], set()
    row = 0
    for section in sections:
        if section.tag != "table":
            structure.append(f"<{section.tag}>")
        for tr in section.iter("tr"):
            structure.append("<tr>")
            column = 0
            for cell in tr:
                if cell.tag not in ("td", "th"):
                    continue
                while (row, column) in taken:
                    column += 1
                spans = {a: int(cell.get(a)) for a in ("rowspan", "colspan")
                         if (cell.get(a) or "").isdigit() and int(cell.get(a)) > 1}
                if spans:
                    structure += ["<td", *(f' {a}="{v}"' for a, v in spans.items()), ">", "</td>"]
                else:
                    structure += ["<td>", "</td>"]
                rows, columns = spans.get("rowspan", 1), spans.get("colspan", 1)
                taken.update((row + r, column + c) for r in range(rows) for c in range(columns))
                box = [column * 40, row * 12, (column + columns) * 40, (row + rows) * 12]
                box = [v + rng.uniform(-jitter, jitter) for v in box]
                cells.append({"tokens": list(cell.text_content()), "bbox": box})
                column += columns
            structure.append("</tr>")
            row += 1
        if section.tag != "table":
            structure.append(f"</{section.tag}>")
    return {"filename": name, "html": {"structure": {"tokens": structure}, "cells": cells}}


def docling_scores(pairs):
    from docling_metrics_table.docling_metrics_table import (TableMetric, TableMetricHTMLInputSample,
                                                             TableMetricKind)

    metric = TableMetric(metrics=[TableMetricKind.TEDS])
    return [metric.evaluate_sample(TableMetricHTMLInputSample(id=pair["id"], html_a=pair["true"],
                                                              html_b=pair["pred"])).teds.teds for pair in pairs]


def main():
    options = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    options.add_argument("corpus", nargs="?", type=pathlib.Path, default=ROOT / "build" / "teds_corpus.jsonl")
    options.add_argument("--sample", type=int, default=300, help="pairs for table-recognition-metric")
    options.add_argument("--repeats", type=int, default=3)
    args = options.parse_args()
    pairs = [json.loads(line) for line in args.corpus.read_text(encoding="utf-8").splitlines()]
    preds, trues = [pair["pred"] for pair in pairs], [pair["true"] for pair in pairs]
    lines = [f"# TEDS at benchmark scale: {len(pairs):,} pairs", "",
             f"{platform.machine()}, {os.cpu_count()} cores (load average "
             f"{os.getloadavg()[0]:.1f} at the start), Python {platform.python_version()}. Corpus: "
             f"`bench/make_teds_corpus.py` (real tables from the HTML documentation on the machine, "
             f"perturbed as recognisers err, seed 23): {sum(p['cells_true'] for p in pairs):,} true cells, "
             f"largest table {max(p['cells_true'] for p in pairs)} cells.", ""]

    # 1. the command
    build = ROOT / "build"
    build.mkdir(exist_ok=True)
    true_file, pred_file, out_file = build / "teds_true.jsonl", build / "teds_pred.json", build / "teds_scores.jsonl"
    with open(true_file, "w", encoding="utf-8") as out:
        for pair in pairs:
            out.write(json.dumps({"filename": pair["id"], "html": pair["true"]}) + "\n")
    pred_file.write_text(json.dumps({pair["id"]: pair["pred"] for pair in pairs}))
    runs = [command_run(true_file, pred_file, out_file) for _ in range(args.repeats)]
    summary = runs[0][0]
    seconds = statistics.median(t for _, t in runs)
    lines += ["## `grix teds` over the whole corpus, TEDS and TEDS-S, 2 workers", "",
              "| runs (s) | median | target | TEDS | TEDS-S | simple / complex tables |", "|---|---|---|---|---|---|",
              f"| {', '.join(f'{t:.1f}' for _, t in runs)} | {seconds:.1f} s | < 60 s | {summary['teds']:.4f} | "
              f"{summary['teds_struct']:.4f} | {summary['simple']} / {summary['complex']} |", "",
              f"    grix teds {pred_file.relative_to(ROOT)} {true_file.relative_to(ROOT)} --workers 2 "
              f"--output {out_file.relative_to(ROOT)}", ""]
    print("\n".join(lines[-8:]), flush=True)

    # 1b. the one pass: TEDS, TEDS-S and the three GriTS, boxes for GriTS-Loc
    rng = random.Random(5)
    boxed_true, boxed_pred = build / "tables_true.jsonl", build / "tables_pred.jsonl"
    for path, side, jitter in ((boxed_true, "true", 0), (boxed_pred, "pred", 3)):
        with open(path, "w", encoding="utf-8") as out:
            for pair in pairs:
                out.write(json.dumps(boxed_record(pair["id"], pair[side], rng, jitter)) + "\n")
    runs = [command_run(boxed_true, boxed_pred, out_file, "--grits", "top,con,loc") for _ in range(args.repeats)]
    summary = runs[0][0]
    lines += ["## One pass: TEDS, TEDS-S, GriTS-Top, -Con and -Loc, 2 workers", "",
              "The same pairs as PubTabNet records, each cell with a box laid out on a grid (the predicted "
              "boxes moved by up to 3 units of 40 x 12, seeded), so that GriTS-Loc has boxes to compare.", "",
              "| runs (s) | median | target | TEDS | TEDS-S | GriTS-Top | GriTS-Con | GriTS-Loc |",
              "|---|---|---|---|---|---|---|---|",
              f"| {', '.join(f'{t:.1f}' for _, t in runs)} | {statistics.median(t for _, t in runs):.1f} s | "
              f"≤ 30 s | {summary['teds']:.4f} | {summary['teds_struct']:.4f} | {summary['grits_top']:.4f} | "
              f"{summary['grits_con']:.4f} | {summary['grits_loc']:.4f} |", "",
              f"    grix teds {boxed_pred.relative_to(ROOT)} {boxed_true.relative_to(ROOT)} --grits top,con,loc "
              f"--workers 2 --output {out_file.relative_to(ROOT)}", ""]
    print("\n".join(lines[-9:]), flush=True)

    # 2. docling-metrics-table, band by band
    try:
        import docling_metrics_table  # noqa: F401
        have_docling = True
    except ImportError:
        have_docling = False
    if have_docling:
        lines += ["## teds_paired (definition=\"docling-metrics\", 2 workers) against docling-metrics-table", "",
                  "Each band: grix and the package take turns, median of "
                  f"{args.repeats} runs each; the package is a C++ tree edit distance behind Python "
                  "HTML-to-bracket conversion, on one thread.", "",
                  "| band | pairs | grix | docling-metrics-table | grix is faster by | largest score difference |",
                  "|---|---|---|---|---|---|"]
        for name, low, high in BANDS:
            band = [pair for pair in pairs if low <= pair["cells_true"] <= high]
            if not band:
                continue
            band_preds, band_trues = [p["pred"] for p in band], [p["true"] for p in band]
            ours, theirs = [], []
            for _ in range(args.repeats):
                mine, spent = timed(lambda: grix.teds_paired(band_preds, band_trues, definition="docling-metrics",
                                                             workers=2))
                ours.append(spent)
                peer, spent = timed(lambda: docling_scores(band))
                theirs.append(spent)
            difference = float(np.max(np.abs(mine - np.array(peer))))
            grix_s, peer_s = statistics.median(ours), statistics.median(theirs)
            lines.append(f"| {name} | {len(band)} | {grix_s:.2f} s | {peer_s:.2f} s | {peer_s / grix_s:.1f}× | "
                         f"{difference:.1e} |")
            print(lines[-1], flush=True)
        lines.append("")

    # 3. table-recognition-metric on a sample
    try:
        from table_recognition_metric import TEDS
    except ImportError:
        TEDS = None
    if TEDS is not None:
        sample = random.Random(1).sample(pairs, min(args.sample, len(pairs)))
        metric = TEDS()
        expected, peer_seconds = timed(lambda: [metric(pair["pred"], pair["true"]) for pair in sample])
        runs = []
        for _ in range(args.repeats):
            mine, spent = timed(lambda: grix.teds_paired([p["pred"] for p in sample], [p["true"] for p in sample],
                                                         definition="pubtabnet", denominator="tree", workers=2))
            runs.append(spent)
        grix_s = statistics.median(runs)
        difference = float(np.max(np.abs(mine - np.array(expected))))
        lines += ["## teds_paired (definition=\"pubtabnet\", denominator=\"tree\") against table-recognition-metric",
                  "", f"A seeded sample of {len(sample)} pairs ({sum(p['cells_true'] for p in sample):,} true cells); "
                  "the peer once, grix median of 3 on 2 workers.", "",
                  "| grix | table-recognition-metric | grix is faster by | target | largest score difference |",
                  "|---|---|---|---|---|",
                  f"| {grix_s:.3f} s | {peer_seconds:.1f} s | {peer_seconds / grix_s:.0f}× | ≥ 500× | {difference:.1e} |",
                  ""]
        print("\n".join(lines[-3:]), flush=True)
    results = HERE / "results" / "grix-teds-scale.md"
    results.write_text("\n".join(lines) + "\n")
    print(f"wrote {results}")


if __name__ == "__main__":
    main()
