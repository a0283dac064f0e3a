"""Benchmark: Mapping.edit_script and grix.apply where a node has tens of
thousands of children, beside the mapping they start from.

Seeded pairs whose mapping is cheap (one tree is small) but whose script
edits one long child list:
  insert:  t1 is a root alone, t2 a root over n leaves (26 labels);
  delete:  the other way round;
  random:  two random trees of 3,000 nodes (a script of ordinary shape).

Prints a Markdown table of median seconds. Usage:
  python bench/bench_edit_script.py [--sizes 5000 10000 20000] [--repeats 3]
"""

from __future__ import annotations

import argparse
import pathlib
import random
import statistics
import sys
import time

import grix

sys.path.insert(0, str(pathlib.Path(__file__).parent))
from tree_shapes import random_recursive  # noqa: E402


def wide(labels: list[str]) -> grix.Tree:
    return grix.Tree.from_parents(["r", *labels], [-1] + [0] * len(labels))


def pairs(n: int, rng: random.Random) -> dict[str, tuple[grix.Tree, grix.Tree]]:
    leaves = wide([rng.choice("abcdefghijklmnopqrstuvwxyz") for _ in range(n)])
    return {"insert": (wide([]), leaves), "delete": (leaves, wide([]))}


def median_seconds(call: object, repeats: int) -> tuple[float, object]:
    times, result = [], None
    for _ in range(repeats):
        start = time.perf_counter()
        result = call()  # type: ignore[operator]
        times.append(time.perf_counter() - start)
    return statistics.median(times), result


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sizes", type=int, nargs="+", default=[5000, 10000, 20000])
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()
    print("| shape | nodes | script length | mapping | edit_script | apply |")
    print("|---|---|---|---|---|---|")
    cases = [(n, shape, pair) for n in args.sizes for shape, pair in pairs(n, random.Random(n)).items()]
    rng = random.Random(1)
    cases.append((3000, "random", tuple(grix.Tree.from_parents(*random_recursive(3000, rng)) for _ in range(2))))
    for n, shape, (t1, t2) in cases:
        found_seconds, found = median_seconds(lambda: grix.mapping(t1, t2), args.repeats)
        script_seconds, script = median_seconds(found.edit_script, args.repeats)  # type: ignore[attr-defined]
        apply_seconds, rebuilt = median_seconds(lambda: grix.apply(t1, script), args.repeats)
        assert rebuilt == t2
        print(f"| {shape} | {n:,} | {len(script):,} | {found_seconds:.3f} s | {script_seconds:.3f} s "  # type: ignore[arg-type]
              f"| {apply_seconds:.3f} s |", flush=True)


if __name__ == "__main__":
    main()
