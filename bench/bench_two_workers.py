"""Two workers against one, on every path, side by side in one run:

  pair      one pair, grix.distance (keyroot pairs in order, shared out
            to the workers by subtrees) and GRIX_CPU (keyroot levels):
            random trees and fan-out-4 trees (a tree and a copy with n/50
            labels changed, as the GRIX_CPU benchmark makes them);
  ceiling   the same pairs as two independent processes at once, one
            worker each: what two cores give when nothing is shared but
            the memory system;
  strategy  the path strategy forced, on the two shapes where it is chosen
            (a spine that turns side to side, opposed caterpillars), below
            1,500 nodes;
  batch     grix.pdist over standard-library function trees;
  join      grix.join at thresholds 1, 2, 3, 5 and 8 on the 3,000 function
            trees and 1,000 HTML pages of bench_join.py.

Each figure is the median of --repeats runs, one worker and two taking turns.

    python bench/bench_two_workers.py [--repeats 3] [--parts pair strategy batch join]

Writes bench/results/grix-two-workers.md.
"""

import argparse
import os
import pathlib
import platform
import random
import statistics
import sys
import time

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import GRIX_CPU  # noqa: E402
import grix  # noqa: E402
import tree_shapes  # noqa: E402
from bench_join import html_corpus, syntax_corpus  # noqa: E402

RESULTS = HERE / "results" / "grix-two-workers.md"


def turns(calls, repeats):
    """Median seconds of each call, the calls taking turns; and the results
    of the last round, which must all be equal."""
    times = [[] for _ in calls]
    results = []
    for _ in range(repeats):
        results = []
        for k, call in enumerate(calls):
            start = time.perf_counter()
            results.append(call())
            times[k].append(time.perf_counter() - start)
    return [statistics.median(t) for t in times], results


def check_equal(results, what):
    first = results[0]
    for other in results[1:]:
        if isinstance(first, (list, tuple)) or hasattr(first, "__len__"):
            assert list(first) == list(other), what
        else:
            assert first == other, (what, results)


def pair_rows(args):
    rows = ["## One pair: grix (pairs in order, subtrees shared out) and GRIX_CPU (keyroot levels)", "",
            "| shape | nodes | distance | grix 1 worker | grix 2 workers | speed-up | GRIX_CPU 1 | GRIX_CPU 2 "
            "| speed-up |", "|---|---|---|---|---|---|---|---|---|"]
    for shape, n in args.pairs:
        _, a, b = tree_shapes.tree_pair(shape, n, seed=1)
        t1, t2 = grix.Tree.from_parents(*a), grix.Tree.from_parents(*b)
        (g1, g2, c1, c2), results = turns(
            [lambda: grix.distance(t1, t2, workers=1), lambda: grix.distance(t1, t2, workers=2),
             lambda: GRIX_CPU.compute_tree_edit_distance_uniform(*a, *b, 1),
             lambda: GRIX_CPU.compute_tree_edit_distance_uniform(*a, *b, 2)], args.repeats)
        check_equal(results, f"{shape} {n}")
        rows.append(f"| {shape} | {len(t1):,} / {len(t2):,} | {results[0]} | {g1:.3f} s | {g2:.3f} s | "
                    f"{g1 / g2:.2f}× | {c1:.3f} s | {c2:.3f} s | {c1 / c2:.2f}× |")
        print(rows[-1], flush=True)
    return rows


CEILING_PROBE = """
import sys, time
sys.path.insert(0, {here!r})
import grix, tree_shapes
_, a, b = tree_shapes.tree_pair({shape!r}, {n}, seed=1)
t1, t2 = grix.Tree.from_parents(*a), grix.Tree.from_parents(*b)
grix.distance(t1, t2)
start = time.perf_counter()
for _ in range({repeats}):
    grix.distance(t1, t2)
print((time.perf_counter() - start) / {repeats})
"""


def ceiling_rows(args):
    """The same pair in one process, then in two processes at once (one
    worker each): if two at once take longer each, the cores share something
    (memory bandwidth, cache) that no schedule of one pair can get round."""
    import subprocess

    rows = ["", "## What two cores give two independent copies of the same pair", "",
            "One worker each; seconds per pair, the mean of --repeats after a first call.", "",
            "| shape | nodes | one process alone | two processes at once (each) | throughput of two |",
            "|---|---|---|---|---|"]
    for shape, n in args.pairs:
        probe = CEILING_PROBE.format(here=str(HERE), shape=shape, n=n, repeats=args.repeats)

        def run(copies):
            procs = [subprocess.Popen([sys.executable, "-c", probe], stdout=subprocess.PIPE, text=True)
                     for _ in range(copies)]
            return [float(p.communicate()[0]) for p in procs]

        alone = run(1)[0]
        together = statistics.mean(run(2))
        rows.append(f"| {shape} | {n:,} | {alone:.3f} s | {together:.3f} s | {2 * alone / together:.2f}× |")
        print(rows[-1], flush=True)
    return rows


def keyroot_levels(parents):
    """Subtree sizes, and for each keyroot (the root and every node that is
    not a first child) its level: one more than the largest level of the
    keyroots strictly inside its subtree, 0 when there are none."""
    n = len(parents)
    size, first_child = [1] * n, {}
    for v in range(1, n):
        first_child.setdefault(parents[v], v)
    inside = [-1] * n  # the largest level of a keyroot strictly inside each subtree
    level_of = {}
    for v in range(n - 1, -1, -1):  # children before their parents
        if v == 0 or first_child[parents[v]] != v:
            level_of[v] = inside[v] + 1
        if v > 0:
            size[parents[v]] += size[v]
            inside[parents[v]] = max(inside[parents[v]], inside[v], level_of.get(v, -1))
    return size, level_of


def level_sums(size, level_of):
    """Per keyroot level: the sum and the largest of |x| + 1."""
    sums, largest = {}, {}
    for x, level in level_of.items():
        sums[level] = sums.get(level, 0) + size[x] + 1
        largest[level] = max(largest.get(level, 0), size[x] + 1)
    return sums, largest


def level_rows(args):
    """The level structure's own bound on two workers: a level of work W
    whose largest pair is M takes at least max(W / 2, M) on two."""
    rows = ["", "## The bound that the levels set (GRIX_CPU)", "",
            "Work counted as the kernel's cells, (|x| + 1)(|y| + 1) a keyroot pair; a level's time on two "
            "workers is at least max(W / 2, largest pair).", "",
            "| shape | nodes | levels | bound on two workers | work in levels whose largest pair exceeds W / 2 |",
            "|---|---|---|---|---|"]
    for shape, n in args.pairs:
        _, a, b = tree_shapes.tree_pair(shape, n, seed=1)
        sums1, largest1 = level_sums(*keyroot_levels(a[1]))
        sums2, largest2 = level_sums(*keyroot_levels(b[1]))
        by_level = {}
        for l1 in sums1:
            for l2 in sums2:
                work, largest = by_level.get(l1 + l2, (0, 0))
                by_level[l1 + l2] = (work + sums1[l1] * sums2[l2], max(largest, largest1[l1] * largest2[l2]))
        total = sum(w for w, _ in by_level.values())
        two = sum(max(w / 2, m) for w, m in by_level.values())
        lopsided = sum(w for w, m in by_level.values() if m > w / 2)
        rows.append(f"| {shape} | {n:,} | {len(by_level)} | {total / two:.2f}× | {lopsided / total:.1%} |")
        print(rows[-1], flush=True)
    return rows


def strategy_rows(args):
    rows = ["", "## The path strategy, forced", "",
            "| shape | nodes | 1 worker | 2 workers | speed-up |", "|---|---|---|---|---|"]
    for shape in ("side-turning", "opposed-caterpillars"):
        make = tree_shapes.side_turning_spine if shape == "side-turning" else tree_shapes.opposed_caterpillars
        for n in args.strategy_sizes:
            rng = random.Random(f"{shape}/{n}")
            t1, t2 = grix.Tree.from_parents(*make(n, rng)), grix.Tree.from_parents(*make(n, rng))
            (one, two), results = turns([lambda: grix.distance(t1, t2, algorithm="strategy", workers=1),
                                         lambda: grix.distance(t1, t2, algorithm="strategy", workers=2)],
                                        args.repeats)
            check_equal(results, f"{shape} {n}")
            rows.append(f"| {shape} | {n:,} | {one:.3f} s | {two:.3f} s | {one / two:.2f}× |")
            print(rows[-1], flush=True)
    return rows


def batch_rows(args, functions):
    trees = functions[:args.batch_trees]
    (one, two), results = turns([lambda: grix.pdist(trees, workers=1), lambda: grix.pdist(trees, workers=2)],
                                args.repeats)
    check_equal(results, "pdist")
    pairs = len(results[0])
    rows = ["", "## A batch", "", "| call | pairs | 1 worker | 2 workers | speed-up |", "|---|---|---|---|---|",
            f"| pdist, {len(trees)} function trees | {pairs:,} | {one:.3f} s | {two:.3f} s | {one / two:.2f}× |"]
    print(rows[-1], flush=True)
    return rows


def join_rows(args, corpora):
    rows = ["", "## Joins", "", "| corpus | τ | matches | 1 worker | 2 workers | speed-up |",
            "|---|---|---|---|---|---|"]
    for name, trees in corpora:
        for threshold in args.thresholds:
            (one, two), results = turns([lambda: grix.join(trees, threshold, workers=1),
                                         lambda: grix.join(trees, threshold, workers=2)], args.repeats)
            check_equal([sorted(r) for r in results], f"join {name} {threshold}")
            rows.append(f"| {name} | {threshold} | {len(results[0]):,} | {one:.3f} s | {two:.3f} s | "
                        f"{one / two:.2f}× |")
            print(rows[-1], flush=True)
    return rows


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--parts", nargs="*", default=["pair", "levels", "ceiling", "strategy", "batch", "join"])
    parser.add_argument("--pair", action="append", default=None, metavar="SHAPE:NODES",
                        help="pairs of the first part (default random:4000 and fanout4:4000, fanout4:8000)")
    parser.add_argument("--strategy-sizes", type=int, nargs="*", default=[500, 1000, 1500])
    parser.add_argument("--batch-trees", type=int, default=300)
    parser.add_argument("--thresholds", type=int, nargs="*", default=[1, 2, 3, 5, 8])
    parser.add_argument("--results", type=pathlib.Path, default=RESULTS)
    args = parser.parse_args()
    args.pairs = [(spec.split(":")[0], int(spec.split(":")[1]))
                  for spec in (args.pair or ["random:4000", "fanout4:4000", "fanout4:8000"])]
    rows = ["# Two workers against one on every path", "",
            f"{platform.machine()}, {os.cpu_count()} cores (load average {os.getloadavg()[0]:.1f} at the start), "
            f"Python {platform.python_version()}; medians of {args.repeats} runs, one worker and two taking "
            f"turns. Reproduce: `python bench/bench_two_workers.py --repeats {args.repeats}`.", ""]
    functions = syntax_corpus(3000, seed=0) if {"batch", "join"} & set(args.parts) else []
    if "pair" in args.parts:
        rows += pair_rows(args)
    if "levels" in args.parts:
        rows += level_rows(args)
    if "ceiling" in args.parts:
        rows += ceiling_rows(args)
    if "strategy" in args.parts:
        rows += strategy_rows(args)
    if "batch" in args.parts:
        rows += batch_rows(args, functions)
    if "join" in args.parts:
        rows += join_rows(args, [("3,000 function trees", functions), ("1,000 HTML pages", html_corpus(1000, 0))])
    args.results.write_text("\n".join(rows) + "\n", encoding="utf-8")
    print(f"wrote {args.results}", file=sys.stderr)


if __name__ == "__main__":
    main()
