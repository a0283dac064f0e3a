"""How close algorithm="auto" comes to the better of the keyroot schedule and
the path strategy, on every shape of the benchmark at 500-2,000 nodes.

For each pair (a tree and a copy with n/50 edits), the three are run in
turns on one worker and the median of --repeats is kept; the time is the
process's CPU time, which a shared machine disturbs less than the wall
clock. "auto ÷ best" is the figure to keep within 1.2. Where the forced
strategy is predicted at more than --skip-factor times the keyroot schedule
it is not run (shown as "-"), and the keyroot schedule counts as the better;
likewise the keyroot schedule where it is predicted at more than that factor
times the strategy.

Also prints the leaf-group figures: stars of 2,000 x 2,000 and of
20,000 x 10,000 children.

Writes bench/results/grix-auto.md.
"""

import argparse
import pathlib
import platform
import statistics
import sys
import time

import numpy as np

HERE = pathlib.Path(__file__).parent
sys.path.insert(0, str(HERE))
from bench_strategy import make_pair, parents  # noqa: E402
from tree_shapes import ADVERSARIAL, GENERATED, markup_trees, python_ast_trees  # noqa: E402

import grix  # noqa: E402
from grix import _core  # noqa: E402

SHAPES = list(GENERATED) + list(ADVERSARIAL) + ["syntax", "html"]
SIZES = (500, 1000, 2000)


def cpu_seconds(call):
    start = time.process_time()
    result = call()
    return time.process_time() - start, result


def measure(t1, t2, algorithms, repeats):
    times = {algorithm: [] for algorithm in algorithms}
    results = set()
    for _ in range(repeats):
        for algorithm in algorithms:
            seconds, result = cpu_seconds(lambda: grix.distance(t1, t2, algorithm=algorithm))
            times[algorithm].append(seconds)
            results.add(result)
    assert len(results) == 1, results
    return {algorithm: statistics.median(values) for algorithm, values in times.items()}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--sizes", default=",".join(map(str, SIZES)))
    parser.add_argument("--shapes", default=",".join(SHAPES))
    parser.add_argument("--skip-factor", type=float, default=8.0)
    parser.add_argument("--output", default=str(HERE / "results" / "grix-auto.md"))
    args = parser.parse_args()
    corpora = {"syntax": python_ast_trees(), "html": markup_trees()}
    lines = ["# auto against the better algorithm", "",
             f"grix {grix.__version__}, {platform.python_implementation()} {platform.python_version()}, "
             f"one worker, CPU seconds, medians of {args.repeats} runs taken in turns (machine shared with "
             "other jobs).", "",
             "| pair | nodes | keyroot | strategy | auto | auto chose | auto ÷ best |",
             "|---|---|---|---|---|---|---|"]
    worst = 0.0
    for shape in args.shapes.split(","):
        for n in map(int, args.sizes.split(",")):
            made = make_pair(shape, n, corpora)
            if made is None:
                continue
            name, t1, t2 = made
            auto_price = _core.price(parents(t1), parents(t2))
            forced = _core.price(parents(t1), parents(t2), "strategy")
            keyroot_predicted = min(auto_price["keyroot"], auto_price["keyroot_mirrored"])
            algorithms = ["auto"]
            if keyroot_predicted <= args.skip_factor * forced["strategy"]:
                algorithms.insert(0, "keyroot")
            if forced["strategy"] <= args.skip_factor * keyroot_predicted:
                algorithms.insert(-1, "strategy")
            measured = measure(t1, t2, algorithms, args.repeats)
            best = min(measured[a] for a in ("keyroot", "strategy") if a in measured)
            ratio = measured["auto"] / best
            worst = max(worst, ratio)
            strategy = measured.get("strategy")
            keyroot = measured.get("keyroot")
            lines.append(f"| {name} | {len(t1):,} x {len(t2):,} | {'-' if keyroot is None else f'{keyroot:.4f} s'} | "
                         f"{'-' if strategy is None else f'{strategy:.4f} s'} | {measured['auto']:.4f} s | "
                         f"{auto_price['chosen']} | {ratio:.2f}x |")
            print(lines[-1], flush=True)
    lines += ["", f"Largest auto ÷ best: {worst:.2f}x.", ""]
    pathlib.Path(args.output).write_text("\n".join(lines))


if __name__ == "__main__":
    main()
