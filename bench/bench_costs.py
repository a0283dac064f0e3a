"""Costs: fractional against integer costs on the same pairs (time and peak
memory), and the per-call overhead of grix.distance on small pairs against
GRIX_CPU. Writes bench/results/grix-costs.md.

    python bench/bench_costs.py [--repeats N]
"""

import argparse
import json
import os
import random
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import GRIX_CPU  # noqa: E402
import grix  # noqa: E402
import tree_shapes  # noqa: E402

RESULTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "results", "grix-costs.md")


def pairs():
    """Seeded pairs of 2,000-4,000 nodes: random trees, syntax trees, HTML."""
    found = []
    asts, pages = tree_shapes.python_ast_trees(), tree_shapes.markup_trees()
    for shape, n, corpus in [("random", 2000, None), ("random", 3000, None), ("ast", 2000, asts),
                             ("ast", 4000, asts), ("html", 2000, pages)]:
        pair = tree_shapes.tree_pair(shape, n, 1, corpus)
        if pair is not None:
            name, one, other = pair
            found.append((f"{shape} ({name})" if corpus else name, one, other))
    return found


def costs_for(kind, t1, t2):
    """Integer costs and the same costs as fractions, with per-node deletes
    and inserts, so that both runs take the same path through the kernel."""
    if kind == "int":
        return {"rename": lambda a, b: 0 if a == b else 2, "delete": 1, "insert": lambda label: 1}
    return {"rename": lambda a, b: 0.0 if a == b else 1.5, "delete": 1.25, "insert": lambda label: 0.75}


def measure_memory(kind, labels1, parents1, labels2, parents2):
    """Peak resident memory of one distance, in a fresh process."""
    code = f"""
import resource, grix, json, sys
sys.path.insert(0, {os.path.dirname(os.path.abspath(__file__))!r})
from bench_costs import costs_for
t1 = grix.Tree.from_parents(*json.loads(sys.argv[1])); t2 = grix.Tree.from_parents(*json.loads(sys.argv[2]))
def high_water():  # VmHWM: this process's own peak (ru_maxrss carries the parent's over exec)
    return next(int(line.split()[1]) for line in open("/proc/self/status") if line.startswith("VmHWM"))
before = high_water()
grix.distance(t1, t2, **costs_for({kind!r}, t1, t2))
print(high_water() - before)
"""
    out = subprocess.check_output([sys.executable, "-c", code, json.dumps([labels1, parents1]),
                                   json.dumps([labels2, parents2])])
    return int(out) / 1024  # MiB


def timed(function, repeats):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        function()
        times.append(time.perf_counter() - start)
    return times


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args()
    lines = ["# Costs", "", f"grix {grix.__version__}, one worker, medians of {args.repeats} runs taken in "
             "turns (integer, fractional, integer, ...). Both runs use per-node delete and insert "
             "costs and a callable rename; the integer costs run in 32-bit ints, the fractional "
             "ones in doubles.", "",
             "| pair | nodes | integer | fractional | ratio | peak memory, integer | fractional | ratio |",
             "|---|---|---|---|---|---|---|---|"]
    for name, (l1, p1), (l2, p2) in pairs():
        t1, t2 = grix.Tree.from_parents(l1, p1), grix.Tree.from_parents(l2, p2)
        calls = {kind: (lambda kind=kind: grix.distance(t1, t2, **costs_for(kind, t1, t2))) for kind in ("int", "float")}
        samples = {"int": [], "float": []}
        for _ in range(args.repeats):
            for kind in ("int", "float"):
                samples[kind] += timed(calls[kind], 1)
        t_int, t_float = (statistics.median(samples[k]) for k in ("int", "float"))
        m_int, m_float = (measure_memory(k, l1, p1, l2, p2) for k in ("int", "float"))
        lines.append(f"| {name} | {len(t1):,} x {len(t2):,} | {t_int:.3f} s | {t_float:.3f} s | "
                     f"{t_float / t_int:.2f}x | {m_int:.0f} MiB | {m_float:.0f} MiB | {m_float / m_int:.2f}x |")
        print(lines[-1], flush=True)

    lines += ["", "## Small pairs", "",
              "Per call, on random trees of 10-50 nodes (the same lists for both): GRIX_CPU's uniform "
              "function against grix.distance on prepared grix trees, medians of 2,000 calls.", "",
              "| nodes | GRIX_CPU | grix.distance | ratio |", "|---|---|---|---|"]
    rng = random.Random(5)
    for n in (10, 20, 50):
        l1, p1 = tree_shapes.preorder(*_random_children(rng, n))
        l2, p2 = tree_shapes.preorder(*_random_children(rng, n))
        t1, t2 = grix.Tree.from_parents(l1, p1), grix.Tree.from_parents(l2, p2)
        cpu = statistics.median(timed(lambda: GRIX_CPU.compute_tree_edit_distance_uniform(l1, p1, l2, p2, 1), 2000))
        ours = statistics.median(timed(lambda: grix.distance(t1, t2), 2000))
        lines.append(f"| {n} | {cpu * 1e6:.1f} µs | {ours * 1e6:.1f} µs | {ours / cpu:.2f}x |")
        print(lines[-1], flush=True)
    os.makedirs(os.path.dirname(RESULTS), exist_ok=True)
    with open(RESULTS, "w", encoding="utf-8") as out:
        out.write("\n".join(lines) + "\n")


def _random_children(rng, n):
    children = [[] for _ in range(n)]
    for i in range(1, n):
        children[rng.randrange(i)].append(i)
    return children, [rng.choice("abcd") for _ in range(n)]


if __name__ == "__main__":
    main()
