"""Benchmark of the path strategy: for each pair, the three options' predicted
times (the keyroot schedule as given, mirrored, and the planned strategy)
beside the measured times of the keyroot schedule and the strategy, each
forced, and of algorithm="auto", on one worker, taken in turns, medians of
--repeats. The forced keyroot schedule runs the instructions of the release
before the strategy (callgrind counts them equal), so "auto / keyroot" is
the change a user sees.

Shapes: the two where every fixed side costs about n^4 (a spine that turns
from side to side, opposed caterpillars) and the shapes where the keyroot
schedule must stay the choice (random, fan-out, full binary, star, path,
caterpillars, syntax trees and HTML of 2,000-4,000 nodes).

Then the peak memory of each algorithm on the adversarial pairs (each call
in a process of its own) and the 2-worker speedup of the strategy. The
seconds per unit that the engine's weights hold are printed from the
measured times, so they can be set again on another machine.

Writes bench/results/grix-strategy.md.
"""

import argparse
import pathlib
import platform
import random
import resource
import statistics
import subprocess
import sys
import time

import numpy as np

HERE = pathlib.Path(__file__).parent
sys.path.insert(0, str(HERE))
from tree_shapes import ADVERSARIAL, GENERATED, markup_trees, python_ast_trees, tree_pair  # noqa: E402

import grix  # noqa: E402
from grix import _core  # noqa: E402

ADVERSARIAL_PAIRS = [("side-turning-spine", 600), ("side-turning-spine", 1000), ("opposed-caterpillars", 800)]
REGULAR_PAIRS = [(shape, n) for shape in GENERATED for n in (2000, 4000)] + [
    (corpus, n) for corpus in ("syntax", "html") for n in (2000, 4000)]


def as_tree(labels_parents):
    labels, parents = labels_parents
    return grix.Tree.from_parents(labels, [None if p < 0 else p for p in parents])


def make_pair(shape, n, corpora):
    if shape in ADVERSARIAL:
        rng = random.Random(f"{shape}/{n}")
        first = ADVERSARIAL[shape](n, rng)
        from tree_shapes import edit
        return f"{shape}-{n}", as_tree(first), as_tree(edit(first, max(1, n // 50), rng))
    found = tree_pair(shape, n, 0, corpora.get(shape))
    if found is None:
        return None
    name, first, second = found
    return name, as_tree(first), as_tree(second)


def timed(call):
    start = time.perf_counter()
    result = call()
    return time.perf_counter() - start, result


def measure(t1, t2, algorithms, repeats):
    times = {algorithm: [] for algorithm in algorithms}
    results = {}
    for _ in range(repeats):
        for algorithm in algorithms:
            seconds, results[algorithm] = timed(lambda: grix.distance(t1, t2, algorithm=algorithm))
            times[algorithm].append(seconds)
    assert len(set(results.values())) == 1, results
    return {algorithm: statistics.median(values) for algorithm, values in times.items()}


PEAK_PROBE = """
import sys, pickle
import grix
t1, t2, algorithm = pickle.loads(sys.stdin.buffer.read())

def status(field):
    with open("/proc/self/status") as lines:
        return next(int(line.split()[1]) for line in lines if line.startswith(field))

with open("/proc/self/clear_refs", "w") as clear:
    clear.write("5")  # the peak resident size starts again from the current one
resident = status("VmRSS:")
grix.distance(t1, t2, algorithm=algorithm)
print(status("VmHWM:") - resident)
"""


def peak_memory_mib(t1, t2, algorithm):
    """Growth of the peak resident size over a call, in a fresh process."""
    import pickle

    run = subprocess.run([sys.executable, "-c", PEAK_PROBE], input=pickle.dumps((t1, t2, algorithm)),
                         capture_output=True, check=True)
    return int(run.stdout) / 1024


def parents(tree):
    return np.asarray(tree.parents, dtype=np.int32)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--quick", action="store_true", help="adversarial pairs and 2,000-node pairs only")
    args = parser.parse_args()
    corpora = {"syntax": python_ast_trees(), "html": markup_trees()}
    pairs = ADVERSARIAL_PAIRS + [(s, n) for s, n in REGULAR_PAIRS if not (args.quick and n > 2000)]

    lines = ["# Path strategy", "",
             f"grix {grix.__version__}, {platform.python_implementation()} {platform.python_version()}, "
             f"one worker, medians of {args.repeats} runs taken in turns. Predicted: what the engine "
             "expects before any work (the strategy's time includes its plan; \"-\" where auto does not "
             "plan). Measured: each algorithm forced, and auto.", "",
             "| pair | nodes | predicted keyroot | mirrored | strategy | measured keyroot | strategy | auto "
             "| auto ÷ keyroot | auto chose |",
             "|---|---|---|---|---|---|---|---|---|---|"]
    keyroot_per_cell, strategy_ratio = [], []
    adversarial = []
    for shape, n in pairs:
        made = make_pair(shape, n, corpora)
        if made is None:
            continue
        name, t1, t2 = made
        auto_price = _core.price(parents(t1), parents(t2))
        forced_price = _core.price(parents(t1), parents(t2), "strategy")
        keyroot = min(auto_price["keyroot"], auto_price["keyroot_mirrored"])
        # The strategy forced on a bushy pair can take far longer than the
        # keyroot schedule; it is measured where predicted to be near.
        algorithms = ["keyroot", "auto"]
        if forced_price["strategy"] < 4 * keyroot + 1:
            algorithms.insert(1, "strategy")
        measured = measure(t1, t2, algorithms, args.repeats)
        keyroot_per_cell.append(measured["keyroot"] / keyroot)
        if "strategy" in measured:
            strategy_ratio.append(measured["strategy"] / forced_price["strategy"])
        if shape in ADVERSARIAL:
            adversarial.append((name, t1, t2))
        strategy = measured.get("strategy")
        planned = auto_price["strategy"]
        lines.append(
            f"| {name} | {len(t1):,} x {len(t2):,} | {auto_price['keyroot']:.3f} s | "
            f"{auto_price['keyroot_mirrored']:.3f} s | {'-' if planned is None else f'{planned:.3f} s'} | "
            f"{measured['keyroot']:.3f} s | {'-' if strategy is None else f'{strategy:.3f} s'} | "
            f"{measured['auto']:.3f} s | {measured['auto'] / measured['keyroot']:.2f}x | {auto_price['chosen']} |")
        print(lines[-1], flush=True)

    lines += ["", "Measured ÷ predicted (1.00 means the weights fit this run): keyroot "
              f"{statistics.median(keyroot_per_cell):.2f} (range {min(keyroot_per_cell):.2f}-"
              f"{max(keyroot_per_cell):.2f}), strategy {statistics.median(strategy_ratio):.2f} "
              f"(range {min(strategy_ratio):.2f}-{max(strategy_ratio):.2f}).", ""]

    lines += ["## Peak memory", "", "Growth of the peak resident size over one call, each in a fresh process.", "",
              "| pair | keyroot | strategy | ratio |", "|---|---|---|---|"]
    for name, t1, t2 in adversarial:
        keyroot, strategy = peak_memory_mib(t1, t2, "keyroot"), peak_memory_mib(t1, t2, "strategy")
        lines.append(f"| {name} | {keyroot:.0f} MiB | {strategy:.0f} MiB | {strategy / keyroot:.2f}x |")
        print(lines[-1], flush=True)

    lines += ["", "## Two workers", "", "The strategy forced; its heavy-path grids split by rows across "
              "the workers. Medians of the same repeats, one and two workers in turns.", "",
              "| pair | 1 worker | 2 workers | speedup |", "|---|---|---|---|"]
    for name, t1, t2 in adversarial:
        times = {1: [], 2: []}
        for _ in range(args.repeats):
            for workers in (1, 2):
                times[workers].append(timed(lambda: grix.distance(t1, t2, algorithm="strategy",
                                                                   workers=workers))[0])
        one, two = statistics.median(times[1]), statistics.median(times[2])
        lines.append(f"| {name} | {one:.3f} s | {two:.3f} s | {one / two:.2f}x |")
        print(lines[-1], flush=True)

    lines.append("")
    (HERE / "results" / "grix-strategy.md").write_text("\n".join(lines))
    print(f"peak RSS of this process {resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024:.0f} MiB",
          file=sys.stderr)


if __name__ == "__main__":
    main()
