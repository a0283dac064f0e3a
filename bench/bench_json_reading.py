"""Benchmark of reading JSON text: Tree.from_json beside json.loads on the
same text, and json_join over records given as text, end to end.

  documents  the largest JSON files under --root (site-packages here), each
             timed as the median of --repeats runs of json.loads and of
             Tree.from_json on its text (str, read beforehand);
  records    10,000 records as JSON text: the members of "properties",
             "definitions" and "$defs" objects of every JSON file under
             --root (schemas: 5-300 nodes each), topped up with generated
             records that share fields, sampled with a fixed seed; json_join
             at threshold 3, median of --repeats, from the texts.

Appends a section to --out (bench/results/grix-json-reading.md by default)
headed by --title, with the machine's load average, so that a run of the
code before a change and one after sit side by side:

  PYTHONPATH=src .venv/bin/python bench/bench_json_reading.py --title after
"""

import argparse
import json
import os
import pathlib
import platform
import random
import statistics
import sys
import time

import grix
from grix import Tree

HERE = pathlib.Path(__file__).parent
RECORDS = 10_000
SEED = 26


def median_time(fn, repeats):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def json_files(root):
    found = []
    for path in sorted(pathlib.Path(root).rglob("*.json")):
        try:
            text = path.read_text(encoding="utf-8")
            json.loads(text)
        except (OSError, ValueError):
            continue
        found.append((path, text))
    return found


def count_nodes(value):
    if isinstance(value, dict):
        return 1 + sum(1 + count_nodes(v) for v in value.values())
    if isinstance(value, list):
        return 1 + sum(count_nodes(v) for v in value)
    return 1


def records(files, rng):
    real = []
    for _, text in files:
        stack = [json.loads(text)]
        while stack:
            value = stack.pop()
            if isinstance(value, dict):
                for key, inner in value.items():
                    if key in ("properties", "definitions", "$defs") and isinstance(inner, dict):
                        real += [v for v in inner.values() if isinstance(v, dict) and 5 <= count_nodes(v) <= 300]
                stack += value.values()
            elif isinstance(value, list):
                stack += value
    real = [json.dumps(r) for r in real]
    rng.shuffle(real)
    chosen = real[:RECORDS]
    words = [f"{a}{b}" for a in ("al", "be", "ga", "de", "ep", "ze", "et", "th") for b in ("", "x", "yo", "za", "n")]
    while len(chosen) < RECORDS:  # records of one shape, their fields drawn apart
        chosen.append(json.dumps({
            "id": rng.randrange(10**6), "name": rng.choice(words), "tags": rng.sample(words, rng.randrange(5)),
            "score": round(rng.random() * 100, 2), "active": rng.random() < 0.5,
            "owner": {"name": rng.choice(words), "level": rng.randrange(10)},
            "history": [rng.randrange(1000) for _ in range(rng.randrange(6))],
        }, ensure_ascii=False))
    return chosen, min(len(real), RECORDS)


def main():
    parser = argparse.ArgumentParser()
    version = f"python{sys.version_info[0]}.{sys.version_info[1]}"
    parser.add_argument("--root", default=os.path.join(sys.prefix, "lib", version, "site-packages"))
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--title", required=True)
    parser.add_argument("--out", default=str(HERE / "results" / "grix-json-reading.md"))
    args = parser.parse_args()
    files = json_files(args.root)
    largest = sorted(files, key=lambda f: -len(f[1]))[:4]
    load = os.getloadavg()
    lines = [f"## {args.title}", "",
             f"{platform.machine()}, {os.cpu_count()} cores shared with other jobs, Python "
             f"{platform.python_version()}, grix from {pathlib.Path(grix.__file__).parent}; load average "
             f"{load[0]:.1f} / {load[1]:.1f} / {load[2]:.1f} (1 / 5 / 15 min) at the start. "
             f"{len(files)} JSON files under {args.root}. Medians of {args.repeats} runs.", "",
             "| document | kB | nodes | json.loads | Tree.from_json | ratio |", "|---|---|---|---|---|---|"]
    for path, text in largest:
        loads = median_time(lambda: json.loads(text), args.repeats)
        tree_time = median_time(lambda: Tree.from_json(text), args.repeats)
        lines.append(f"| {path.relative_to(args.root)} | {len(text.encode()) / 1000:.0f} | "
                     f"{len(Tree.from_json(text)):,} | {loads * 1e3:.2f} ms | {tree_time * 1e3:.2f} ms | "
                     f"{tree_time / loads:.1f} |")
        print(lines[-1], flush=True)
    texts, real = records(files, random.Random(SEED))
    nodes = sum(len(Tree.from_json(t)) for t in texts)
    found = []
    join = median_time(lambda: found.append(grix.json_join(texts, 3)), args.repeats)
    lines += ["", f"json_join at threshold 3 over {RECORDS:,} records given as text ({real:,} from schemas "
              f"under the root, the rest generated; {nodes:,} nodes): {join:.2f} s end to end, "
              f"{len(found[-1]):,} pairs found.", ""]
    print(lines[-2], flush=True)
    with open(args.out, "a", encoding="utf-8") as out:
        out.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
