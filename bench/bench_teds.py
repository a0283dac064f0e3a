"""TEDS on pairs of real HTML tables: grix against the metric packages.

  grix                      grix.teds_paired on 2 workers, full and structure-only;
  docling-metrics-table     TableMetric (TEDS only) sample by sample;
  table-recognition-metric  TEDS() pair by pair (apted in Python).

Total times over all pairs: grix and docling-metrics-table take turns, the
median of 5 runs each (the machine is shared, so a slow spell hits both);
table-recognition-metric runs once. Per-pair medians by table size (cells of
the true table: < 20, 20-100, > 100; grix.teds per pair), and where grix's
time goes. The peers may live in other
virtual environments: --docling-python and --trm-python name their
interpreters; a peer importable here runs here.

    python bench/bench_teds.py [PAIRS.jsonl] [--docling-python P] [--trm-python P]

Writes bench/results/grix-teds.md.
"""

import argparse
import importlib
import json
import pathlib
import platform
import statistics
import subprocess
import sys
import textwrap
import time

import numpy as np

import grix
from grix.readers.html_parsing import parse_html
from grix.tables import pairs as table_pairs

HERE = pathlib.Path(__file__).parent
RESULTS = HERE / "results"
ROOT = HERE.parent

# Times each pair with a peer and prints one JSON list of seconds; run in
# the peer's own interpreter. argv: pairs file, peer name.
PEER_SCRIPT = textwrap.dedent("""
    import json, sys, time
    pairs = [json.loads(line) for line in open(sys.argv[1], encoding="utf-8")]
    if sys.argv[2] == "docling":
        from docling_metrics_table.docling_metrics_table import (
            TableMetric, TableMetricHTMLInputSample, TableMetricKind)
        metric = TableMetric(metrics=[TableMetricKind.TEDS])
        def score(pair):
            sample = TableMetricHTMLInputSample(id=pair["id"], html_a=pair["true"], html_b=pair["pred"])
            return metric.evaluate_sample(sample).teds.teds
    else:
        from table_recognition_metric import TEDS
        metric = TEDS()
        def score(pair):
            return metric(pair["pred"], pair["true"])
    times, scores = [], []
    cpu = time.process_time()
    for pair in pairs:
        start = time.perf_counter()
        scores.append(score(pair))
        times.append(time.perf_counter() - start)
    print(json.dumps({"times": times, "scores": scores, "cpu": time.process_time() - cpu}))
""")

SIZES = (("< 20 cells", 0, 19), ("20-100 cells", 20, 100), ("> 100 cells", 101, 10**9))


def default_pairs():
    return ROOT / "data" / "tables" / "teds_pairs.jsonl"


def run_peer(name, python, pairs_file):
    """Per-pair seconds and scores of a peer, or None when it is not installed."""
    module = {"docling": "docling_metrics_table", "trm": "table_recognition_metric"}[name]
    interpreter = python or sys.executable
    if python is None:
        try:
            importlib.import_module(module)
        except ImportError:
            return None
    done = subprocess.run([interpreter, "-c", PEER_SCRIPT, str(pairs_file), name],
                          capture_output=True, text=True, check=True)
    return json.loads(done.stdout)


def timed(call):
    start = time.perf_counter()
    result = call()
    return result, time.perf_counter() - start


def median_of(call, repeats):
    return statistics.median(timed(call)[1] for _ in range(repeats))


def stages(preds, trues):
    """Seconds of each stage of grix.teds_paired over all pairs, run one after
    another on one thread (the engine on 2 workers)."""
    from rapidfuzz.distance import Levenshtein
    from rapidfuzz.process import cdist

    from grix.batch import paired_label_tables
    from grix.costs import label_codes

    parse = median_of(lambda: [parse_html(html) for html in preds + trues], 3)
    prepared = [table_pairs.prepare(p, t, False, ()) for p, t in zip(preds, trues)]
    prepare = median_of(lambda: [table_pairs.prepare(p, t, False, ()) for p, t in zip(preds, trues)], 3)
    tables = [table_pairs.rename_table(a, b) for a, b in prepared]
    costs = median_of(lambda: [table_pairs.rename_table(a, b) for a, b in prepared], 3)
    trees1 = [a.tree() for a, _ in prepared]
    trees2 = [b.tree() for _, b in prepared]
    build = median_of(lambda: ([a.tree() for a, _ in prepared], [b.tree() for _, b in prepared]), 3)
    engine = median_of(lambda: paired_label_tables(trees1, trees2, tables, workers=2, progress=False), 3)
    codes = median_of(lambda: [label_codes(tree.labels) for tree in trees1 + trees2], 3)
    contents = [([label.partition("\n")[2] for label in dict.fromkeys(a.labels)],
                 [label.partition("\n")[2] for label in dict.fromkeys(b.labels)]) for a, b in prepared]
    cdist_only = median_of(lambda: [cdist(first, second, scorer=Levenshtein.normalized_distance,
                                          dtype=np.float64) for first, second in contents], 3)
    return {"HTML parsing (lxml)": parse, "walking the tables into labels": prepare - parse,
            "rename costs: rapidfuzz cdist": cdist_only, "rename costs: the rest (numpy, Python)": costs - cdist_only,
            "grix Trees": build, "paired_label_tables: label codes (Python)": codes,
            "paired_label_tables: checks and the native batch, 2 workers": engine - codes}


def size_medians(pairs, seconds):
    row = []
    for _, low, high in SIZES:
        chosen = [s for pair, s in zip(pairs, seconds) if low <= pair["cells_true"] <= high]
        row.append(f"{statistics.median(chosen) * 1e3:.2f} ms" if chosen else "–")
    return row


def main():
    options = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    options.add_argument("pairs", nargs="?", type=pathlib.Path, default=default_pairs())
    options.add_argument("--docling-python", help="interpreter with docling-metrics-table")
    options.add_argument("--trm-python", help="interpreter with table-recognition-metric")
    args = options.parse_args()
    pairs = [json.loads(line) for line in args.pairs.read_text(encoding="utf-8").splitlines() if line.strip()]
    preds, trues = [pair["pred"] for pair in pairs], [pair["true"] for pair in pairs]

    grix.teds_paired(preds[:5], trues[:5])  # imports and first calls
    grix_runs, docling_runs, grix_cpu, docling_cpu = [], [], [], []
    peers = {}
    for _ in range(5):
        cpu = time.process_time()
        grix_runs.append(timed(lambda: grix.teds_paired(preds, trues, workers=2))[1])
        grix_cpu.append(time.process_time() - cpu)
        peers["docling"] = run_peer("docling", args.docling_python, args.pairs)
        if peers["docling"]:
            docling_runs.append(sum(peers["docling"]["times"]))
            docling_cpu.append(peers["docling"]["cpu"])
    full = statistics.median(grix_runs)
    structure = median_of(lambda: grix.teds_paired(preds, trues, structure_only=True, workers=2), 3)
    per_pair = [timed(lambda: grix.teds(p, t))[1] for p, t in zip(preds, trues)]
    parts = stages(preds, trues)
    print(f"grix: {grix_runs} s full ({grix_cpu} CPU), {structure:.3f} s structure-only; "
          f"docling {docling_runs} ({docling_cpu} CPU)", flush=True)
    peers["trm"] = run_peer("trm", args.trm_python, args.pairs)
    ours = grix.teds_paired(preds, trues, workers=2)

    lines = [
        "# TEDS on real HTML tables",
        "",
        f"{platform.machine()}, 2 cores shared with other work, Python {platform.python_version()}; "
        f"{len(pairs)} (prediction, truth) pairs of `{args.pairs.name}` "
        f"({sum(p['cells_true'] for p in pairs):,} true cells; largest table "
        f"{max(p['cells_true'] for p in pairs)} cells). Full TEDS unless said.",
        "",
        "## Total time over all pairs",
        "",
        "| tool | time | grix is faster by | CPU time (all threads) | grix uses less by |",
        "|---|---|---|---|---|",
        f"| grix.teds_paired, 2 workers (median of 5) | {full:.3f} s | | "
        f"{statistics.median(grix_cpu):.3f} s | |",
        f"| grix.teds_paired, structure only (median of 3) | {structure:.3f} s | | | |",
    ]
    names = {"docling": "docling-metrics-table TableMetric (TEDS only), median of 5",
             "trm": "table-recognition-metric TEDS, one run"}
    for name, result in peers.items():
        if result is None:
            lines.append(f"| {names[name]} | not installed | | | |")
            continue
        total = statistics.median(docling_runs) if name == "docling" else sum(result["times"])
        cpu = statistics.median(docling_cpu) if name == "docling" else result["cpu"]
        mine = statistics.median(grix_cpu)
        lines.append(f"| {names[name]} | {total:.2f} s | {total / full:,.1f}× | {cpu:.2f} s | {cpu / mine:,.1f}× |")
    share = statistics.median(grix_cpu) / full
    if share < 1.2:
        lines += ["", f"grix's CPU time was {share:.0%} of its wall time: the engine's second worker "
                  "(and rapidfuzz's threads on large tables) found no free core on this shared "
                  "machine during these runs, so the ratios are those of the work done."]
    lines += ["", "## Per pair: median by size of the true table", "",
              "| tool | " + " | ".join(label for label, _, _ in SIZES) + " |",
              "|---|" + "---|" * len(SIZES),
              "| pairs | " + " | ".join(str(sum(low <= p["cells_true"] <= high for p in pairs))
                                       for _, low, high in SIZES) + " |",
              "| grix.teds, one call a pair | " + " | ".join(size_medians(pairs, per_pair)) + " |"]
    for name, result in peers.items():
        if result is not None:
            lines.append(f"| {name} | " + " | ".join(size_medians(pairs, result["times"])) + " |")
    if peers.get("trm"):
        gap = float(np.max(np.abs(np.array(peers["trm"]["scores"]) - grix.teds_paired(
            preds, trues, denominator="tree", workers=2))))
        lines += ["", f"table-recognition-metric divides by tree sizes; grix with `denominator=\"tree\"` "
                  f"gives its scores to within {gap:.1e} on every pair."]
    if peers.get("docling"):
        gap = float(np.max(np.abs(np.array(peers["docling"]["scores"]) - ours)))
        lines += ["", "docling-metrics-table scores the whole parsed fragment rather than `body/table` "
                  f"and renames th to td, so its scores differ (by up to {gap:.2f} here); only its "
                  "time compares."]
    total = sum(parts.values())
    lines += ["", "## Where grix's time goes", "",
              "Each stage over all pairs on its own (median of 3), full TEDS, as teds_paired runs "
              "them: one after another on the calling thread, the engine on 2 workers.", "",
              "| stage | time | share |", "|---|---|---|"]
    lines += [f"| {stage} | {seconds * 1e3:.1f} ms | {seconds / total:.0%} |" for stage, seconds in parts.items()]
    lines += [f"| sum | {total * 1e3:.1f} ms | |", ""]
    RESULTS.joinpath("grix-teds.md").write_text("\n".join(lines))
    print("\n".join(lines))


if __name__ == "__main__":
    main()
