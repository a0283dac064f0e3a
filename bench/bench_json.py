"""Benchmark of the JSON edit distance on real JSON found on this machine.

  documents  whole JSON files (*.json, *.json.gz) under the --roots, by size
             band (10-100, 100-1,000 and 1,000-4,000 nodes), pairs of files
             of one band drawn with a fixed seed; each pair timed as the
             median of --repeats runs of the engine call (trees converted
             beforehand), beside the ordered tree edit distance of the same
             pair (grix.distance) for scale;
  records    10,000 records: the members of the "shapes", "definitions" and
             "properties" objects of those files (API shapes of botocore's
             service descriptions, CloudFormation resource schemas of
             cfn-lint), 5-300 nodes each, sampled with a fixed seed; the
             join at several thresholds, medians of --repeats, with the
             counts of each stage.

The roots default to the site-packages of every Python under ~/.pyenv (where
botocore and cfn-lint live here). Writes bench/results/grix-json.md.

  .venv/bin/python bench/bench_json.py [--peer /path/to/ts_jedi]

With --peer (tree-similarity's JEDI and QuickJEDI built as bench/ts_jedi
describes), the documents are also timed there and 200 real documents are
compared with it.
"""

import argparse
import glob
import gzip
import json
import os
import pathlib
import platform
import random
import statistics
import sys
import time

import numpy as np

import grix
from grix import _core
from grix.json_distance import Encoded

HERE = pathlib.Path(__file__).parent
RESULTS = HERE / "results"
BANDS = ((10, 100), (100, 1_000), (1_000, 4_000))
PAIRS_PER_BAND = (40, 30, 8)
THRESHOLDS = (0, 1, 2, 3, 5)
MAX_BYTES = 4_000_000


OUT = [str(RESULTS / "grix-json.md")]


def save(lines):
    """Writes what is measured so far, so that a long run leaves its figures."""
    pathlib.Path(OUT[0]).write_text("\n".join(lines) + "\n")


def default_roots():
    return sorted(glob.glob(os.path.expanduser("~/.pyenv/versions/*/lib/python*/site-packages")))


def json_files(roots):
    seen, files = set(), []
    for root in roots:
        for pattern in ("**/*.json", "**/*.json.gz"):
            for path in sorted(glob.glob(os.path.join(root, pattern), recursive=True)):
                key = os.path.relpath(path, root)
                if key in seen or os.path.getsize(path) > MAX_BYTES:
                    continue
                seen.add(key)
                files.append(path)
    return files


def load(path):
    try:
        raw = gzip.open(path).read() if path.endswith(".gz") else pathlib.Path(path).read_bytes()
        return json.loads(raw)
    except (OSError, ValueError, UnicodeDecodeError, RecursionError):
        return None


def node_count(value):
    count, stack = 0, [value]
    while stack:
        item = stack.pop()
        count += 1
        if isinstance(item, dict):
            count += len(item)
            stack.extend(item.values())
        elif isinstance(item, list):
            stack.extend(item)
    return count


def engine_time(arguments, repeats):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        result = _core.json_distance(*arguments)
        times.append(time.perf_counter() - start)
    return statistics.median(times), result


def ordered_time(t1, t2, repeats):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        result = grix.distance(t1, t2)
        times.append(time.perf_counter() - start)
    return statistics.median(times), result


def documents_section(docs, repeats, seed, peer, lines):
    rng = random.Random(seed)
    lines += ["## Documents by size band", "",
              "Pairs of whole files of one band; time per pair (median of the pairs, each pair the median of "
              f"{repeats} runs; grix through its Python call, the peers inside their driver); the ordered tree "
              "edit distance of the same trees for scale." + (
                  " JEDI and QuickJEDI: tree-similarity's, run by bench/ts_jedi/driver.cpp (g++ -O3)."
                  if peer else ""), ""]
    header = "| nodes | files | pairs | median nodes | grix JSON distance | ordered distance |"
    rule = "|---|---|---|---|---|---|"
    if peer:
        header += " JEDI | QuickJEDI | QuickJEDI / grix | equal distances |"
        rule += "---|---|---|---|"
    lines += [header + " mean JSON distance |", rule + "---|"]
    for (low, high), wanted in zip(BANDS, PAIRS_PER_BAND):
        band = [d for d, n in docs if low <= n < high]
        if len(band) < 2:
            continue
        pairs = [tuple(rng.sample(band, 2)) for _ in range(wanted)]
        json_times, ordered_times, json_d, sizes, encoded_pairs = [], [], [], [], []
        for doc1, doc2 in pairs:
            encoded = Encoded(("t1", (doc1,)), ("t2", (doc2,)))
            encoded_pairs.append(encoded.pair())
            seconds, d = engine_time(encoded.pair(), repeats)
            json_times.append(seconds)
            json_d.append(d)
            t1, t2 = encoded.groups[0][0][0], encoded.groups[1][0][0]
            seconds, _ = ordered_time(t1, t2, repeats)
            ordered_times.append(seconds)
            sizes += [len(t1), len(t2)]
        j, o = statistics.median(json_times), statistics.median(ordered_times)
        row = (f"| {low:,}-{high:,} | {len(band):,} | {len(pairs)} | {int(statistics.median(sizes)):,} | "
               f"{j * 1e3:.2f} ms | {o * 1e3:.2f} ms |")
        if peer:
            # tree-similarity's baseline (its Munkres steps rescan the whole
            # matrix) takes minutes a pair beyond 100 nodes on this shared
            # machine: QuickJEDI alone there, and one run on the largest band.
            quick_only = high > 100
            found = run_peer(peer, encoded_pairs, repeats if high <= 1_000 else 1, quick_only)
            base = "not run" if quick_only else f"{statistics.median(r[2] for r in found) * 1e3:.2f} ms"
            quick = statistics.median(r[3] for r in found)
            equal = sum(r[1] == d and r[0] in (d, -1) for r, d in zip(found, json_d))
            row += f" {base} | {quick * 1e3:.2f} ms | {quick / j:.2f} | {equal}/{len(found)} |"
        lines.append(row + f" {statistics.mean(json_d):.1f} |")
        print(lines[-1], flush=True)
        save(lines)
    lines.append("")


def parity_section(docs, seed, peer, lines):
    """200 real documents of 10-150 nodes, each paired with another one."""
    rng = random.Random(seed + 1)
    pool = [d for d, n in docs if 10 <= n <= 150]
    picked = rng.sample(pool, min(200, len(pool)))
    pairs = [(picked[k], rng.choice(picked)) for k in range(len(picked))]
    encoded_pairs = [Encoded(("t1", (a,)), ("t2", (b,))).pair() for a, b in pairs]
    mine = [_core.json_distance(*e) for e in encoded_pairs]
    found = run_peer(peer, encoded_pairs, 1)
    same_base = sum(r[0] == d for r, d in zip(found, mine))
    same_quick = sum(r[1] == d for r, d in zip(found, mine))
    lines += ["## Parity with tree-similarity's JEDI", "",
              f"{len(picked)} real documents of 10-150 nodes, each paired with another drawn from them: grix "
              f"equals JEDI on {same_base}/{len(pairs)} pairs and QuickJEDI on {same_quick}/{len(pairs)} "
              f"(distances {min(mine)}-{max(mine)}, median {int(statistics.median(mine))}).", ""]
    print(lines[-2], flush=True)


def postorder_lines(parents, kinds, labels):
    """A tree in the peer driver's input format (bench/ts_jedi/driver.cpp)."""
    n = len(parents)
    children = [[] for _ in range(n)]
    for v in range(1, n):
        children[parents[v]].append(v)
    post, order, stack = [0] * n, [], [(0, False)]
    while stack:
        v, done = stack.pop()
        if done:
            post[v] = len(order)
            order.append(v)
        else:
            stack.append((v, True))
            stack.extend((c, False) for c in reversed(children[v]))
    lines = [str(n)]
    for v in order:
        kids = [post[c] for c in children[v]]
        lines.append(" ".join(map(str, [kinds[v], labels[v], len(kids), *kids])))
    return lines


def run_peer(peer, encoded_pairs, repeats, quick_only=False):
    """(JEDI, QuickJEDI, JEDI seconds, QuickJEDI seconds) of each pair, from
    tree-similarity's algorithms run by the driver at `peer`."""
    import subprocess

    lines = [str(len(encoded_pairs))]
    for p1, k1, l1, p2, k2, l2 in encoded_pairs:
        lines += postorder_lines(p1.tolist(), k1.tolist(), l1.tolist())
        lines += postorder_lines(p2.tolist(), k2.tolist(), l2.tolist())
    command = [peer, str(repeats)] + (["quick"] if quick_only else [])
    out = subprocess.run(command, input="\n".join(lines) + "\n", capture_output=True, text=True, check=True).stdout
    rows = [line.split() for line in out.splitlines()]
    return [(int(a), int(b), float(c), float(d)) for a, b, c, d in rows]


def records_of(doc):
    for name in ("shapes", "definitions", "properties"):
        members = doc.get(name) if isinstance(doc, dict) else None
        if isinstance(members, dict):
            yield from members.values()


def join_section(loaded, count, repeats, seed, workers, lines):
    records = [r for doc in loaded for r in records_of(doc) if 5 <= node_count(r) <= 300]
    rng = random.Random(seed)
    records = rng.sample(records, min(count, len(records)))
    sizes = [node_count(r) for r in records]
    lines += [f"## Join over {len(records):,} records", "",
              f"{len(records):,} records of {min(sizes)}-{max(sizes)} nodes (median "
              f"{int(statistics.median(sizes))}), {workers} worker(s), medians of {repeats} runs. Stages: pairs "
              "ruled out by size, by the label multiset bound (mostly never touched: prefix filter), decided "
              "because the greedy mapping meets the lower bound, computed, and of those the ones above the "
              "threshold.", "",
              "| tau | matches | time | size | labels | bounds meet | computed | failed |",
              "|---|---|---|---|---|---|---|---|"]
    trees = [grix.Tree.from_json(r) for r in records]
    for tau in THRESHOLDS:
        times = []
        # The largest threshold takes about a minute a run: once.
        for _ in range(repeats if tau < 5 else 1):
            start = time.perf_counter()
            found = grix.json_join(trees, tau, workers=workers)
            times.append(time.perf_counter() - start)
        c = found.counts
        save(lines)
        lines.append(f"| {tau} | {len(found):,} | {statistics.median(times):.2f} s | {c['pruned_by_size']:,} | "
                     f"{c['pruned_by_labels']:,} | {c['exact_by_bounds']:,} | {c['verified']:,} | "
                     f"{c['failed_verification']:,} |")
        print(lines[-1], flush=True)
    # The same records under the ordered distance's join, for scale.
    start = time.perf_counter()
    ordered = grix.join(trees, 3, workers=workers)
    lines += ["", f"The ordered tree edit distance's join at tau = 3 on the same trees: {len(ordered):,} matches "
              f"in {time.perf_counter() - start:.2f} s (key order counts there).", ""]


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--roots", nargs="*", default=None, help="folders searched for JSON files")
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--records", type=int, default=10_000)
    parser.add_argument("--workers", type=int, default=1)
    parser.add_argument("--seed", type=int, default=26)
    parser.add_argument("--out", default=str(RESULTS / "grix-json.md"))
    parser.add_argument("--peer", default=None, help="tree-similarity's JEDI driver (bench/ts_jedi/README.md)")
    args = parser.parse_args(argv)
    OUT[0] = args.out
    roots = args.roots if args.roots is not None else default_roots()
    files = json_files(roots)
    loaded = [doc for doc in map(load, files) if doc is not None]
    docs = [(d, node_count(d)) for d in loaded if isinstance(d, (dict, list))]
    lines = ["# JSON edit distance", "",
             f"{platform.machine()}, {os.cpu_count()} cores shared with other jobs, Python "
             f"{platform.python_version()}; {len(files):,} JSON files found under {len(roots)} folders "
             "(site-packages: botocore, cfn-lint and others). Seed "
             f"{args.seed}. Command: `.venv/bin/python bench/bench_json.py"
             + (" --peer <tree-similarity JEDI driver>" if args.peer else "") + "`.", ""]
    if args.peer:
        parity_section(docs, args.seed, args.peer, lines)
    documents_section(docs, args.repeats, args.seed, args.peer, lines)
    join_section(loaded, args.records, args.repeats, args.seed, args.workers, lines)
    save(lines)
    print(f"wrote {args.out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
