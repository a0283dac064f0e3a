"""GriTS-Con and GriTS-Top of one 100 x 12 table pair: grix.grits on one
worker against grits-metric 0.7.0 (the reference, pure Python), and a batch
of pairs on 1 and 2 workers.

The pair: a random 100 x 12 table (seed 7; cells of 1-3 words, some spans)
and a prediction with one row and one column deleted, a cell merged and a
tenth of the texts changed, as a recogniser errs; the two scores must agree.

    python bench/bench_grits.py [--repeats 5]

Writes bench/results/grix-grits.md.
"""

import argparse
import html
import os
import pathlib
import platform
import random
import statistics
import time

import grits as reference

import grix

ROOT = pathlib.Path(__file__).resolve().parents[1]
WORDS = "total net gross revenue cost 2019 2020 12.5 n/a -- margin tax".split()


def table(rng, rows, columns, deleted_row=None, deleted_column=None, noise=0.0):
    out = []
    for row in range(rows):
        if row == deleted_row:
            continue
        cells = []
        column = 0
        while column < columns:
            span = 2 if row == 3 and column == 4 else 1
            if column != deleted_column:
                text = " ".join(WORDS[(row * 7 + column * 3 + k) % len(WORDS)] for k in range(1 + (row + column) % 3))
                if rng.random() < noise:
                    text = text[::-1]
                cells.append(f'<td{" colspan=2" if span > 1 else ""}>{html.escape(text)}</td>')
            column += span
        out.append("<tr>" + "".join(cells) + "</tr>")
    return "<table>" + "".join(out) + "</table>"


def timed(call, repeats):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        result = call()
        times.append(time.perf_counter() - start)
    return result, statistics.median(times)


def main():
    options = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    options.add_argument("--repeats", type=int, default=5)
    args = options.parse_args()
    rng = random.Random(7)
    true = table(rng, 100, 12)
    pred = table(rng, 100, 12, deleted_row=40, deleted_column=5, noise=0.1)
    lines = ["# GriTS: grix against grits-metric", "",
             f"{platform.machine()}, {os.cpu_count()} cores (load average {os.getloadavg()[0]:.1f} at the start), "
             f"Python {platform.python_version()}, grits-metric {reference.__version__ if hasattr(reference, '__version__') else '0.7.0'}. "
             "One 100 x 12 pair (a row and a column deleted, a tenth of the texts changed); "
             f"median of {args.repeats} runs for grix, one run for grits-metric.", "",
             "| metric | grix, 1 worker | grits-metric | speed-up | target | F (grix) | F (grits-metric) |",
             "|---|---|---|---|---|---|---|"]
    true_grids, pred_grids = reference.html_to_grids(true), reference.html_to_grids(pred)
    for metric in ("con", "top"):
        mine, seconds = timed(lambda: grix.grits(pred, true, metrics=metric), args.repeats)
        start = time.perf_counter()
        theirs = getattr(reference, f"grits_{metric}")(true_grids[metric], pred_grids[metric])
        their_seconds = time.perf_counter() - start
        assert abs(mine[f"grits_{metric}"] - theirs[0]) <= 1e-9, (mine, theirs)
        lines.append(f"| GriTS-{metric.capitalize()} | {seconds * 1000:.1f} ms | {their_seconds:.2f} s | "
                     f"{their_seconds / seconds:,.0f}x | <= 100 ms | {mine[f'grits_{metric}']:.6f} | {theirs[0]:.6f} |")
        print(lines[-1], flush=True)
    lines += ["", "grix's time includes reading both tables from HTML; grits-metric's is the metric alone, on the "
              "grids it read beforehand.", "",
              "## A batch: 64 such pairs, GriTS-Top and -Con together", "", "| workers | time | pairs / s |",
              "|---|---|---|"]
    preds, trues = [pred] * 64, [true] * 64
    for workers in (1, 2):
        _, seconds = timed(lambda: grix.grits_paired(preds, trues, workers=workers), max(1, args.repeats // 2))
        lines.append(f"| {workers} | {seconds:.2f} s | {64 / seconds:.0f} |")
        print(lines[-1], flush=True)
    (ROOT / "bench" / "results" / "grix-grits.md").write_text("\n".join(lines) + "\n", encoding="utf-8")


if __name__ == "__main__":
    main()
