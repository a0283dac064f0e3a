"""RNA secondary structures: grix against ViennaRNA's tree_edit_distance.

  pair   one pair of full trees of about 2,000 nodes (folded sequences of
         2,900 nucleotides), usual costs: grix on one worker (and on two)
         against RNA.tree_edit_distance, taking turns, the median of 3 each;
         with the dynamic-programming cells both compute.
  pdist  200 structures folded from sequences of 300 nucleotides, full trees,
         usual costs: grix.rna.pdist on 2 workers over all 19,900 pairs
         (median of 3) against a loop of RNA.tree_edit_distance calls over a
         seeded sample of the pairs (trees made once), scaled to all pairs.
  small  80 structures folded from seeded random sequences of 40 to 150
         nucleotides, in each representation (full, HIT, coarse, weighted),
         usual costs, one worker: grix.rna.pdist over all 3,160 pairs against
         a loop of RNA.tree_edit_distance calls over trees made once, taking
         turns, the median of several runs each; and one weighted pair of
         about 52 and 28 nodes (from the pdist structures) through
         grix.distance against one RNA.tree_edit_distance call.
  big    one pair of full trees of 20,000 nodes (ViennaRNA refuses more than
         4,000): time and peak memory of grix.distance on 2 workers in a
         process of its own. Folding 28,000 nucleotides at once is out of
         reach here, so each structure joins folded 300-nucleotide structures
         end to end, every third closed by two stacked pairs, all inside
         three: deep and wide like a long RNA's.

The folded structures are kept in bench/rna_structures.db (seeded; --refold
folds them again, which takes minutes). Writes bench/results/grix-rna.md.

    python bench/bench_rna.py [--refold] [--skip-big] [--sample 300] [--only small]
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import random
import statistics
import subprocess
import sys
import textwrap
import time
from pathlib import Path

import grix
import grix._core as core
from grix.rna import REPRESENTATIONS

HERE = Path(__file__).resolve().parent
STRUCTURES = HERE / "rna_structures.db"
RESULTS = HERE / "results" / "grix-rna.md"
SEED = 2026


def fold_structures() -> None:
    import RNA

    rng = random.Random(SEED)
    lines = []
    started = time.perf_counter()
    for name, count, length in (("pair", 2, 2900), ("pdist", 200, 300)):
        for k in range(count):
            sequence = "".join(rng.choice("ACGU") for _ in range(length))
            structure, energy = RNA.fold(sequence)
            lines.append(f">{name}{k} mfe {energy:.2f}\n{sequence}\n{structure}\n")
        print(f"folded the {name} structures after {time.perf_counter() - started:.0f} s", file=sys.stderr)
    STRUCTURES.write_text("".join(lines), encoding="ascii")


def zhang_shasha_cells(tree: grix.Tree) -> int:
    """The sum of subtree sizes over the keyroots (the root and every node
    that is not a first child): ViennaRNA's cells are the product of the two
    trees' sums."""
    sizes = tree.subtree_sizes
    total = 0
    for node in range(len(tree)):
        parent = int(tree.parents[node])
        if parent < 0 or tree.children(parent)[0] != node:
            total += int(sizes[node])
    return total


def median_time(run, repeats: int) -> tuple[float, object, float]:
    """The median wall-clock time of `repeats` runs, the last result, and the
    median CPU time of the process (all its threads): on a shared, loaded
    machine the CPU time is what the run itself cost."""
    times, cpu, result = [], [], None
    for _ in range(repeats):
        start, start_cpu = time.perf_counter(), time.process_time()
        result = run()
        times.append(time.perf_counter() - start)
        cpu.append(time.process_time() - start_cpu)
    return statistics.median(times), result, statistics.median(cpu)


def bench_pair(records, lines: list[str]) -> None:
    import RNA

    a, b = (r.structure for r in records if r.name.startswith("pair"))
    t1, t2 = grix.Tree.from_dot_bracket(a), grix.Tree.from_dot_bracket(b)
    costs = grix.rna.costs("usual")
    vienna_trees = RNA.make_tree(RNA.expand_Full(a)), RNA.make_tree(RNA.expand_Full(b))
    RNA.cvar.cost_matrix = 0
    times: dict[str, list[float]] = {"grix1": [], "grix2": [], "vienna": []}
    for _ in range(3):  # taking turns, so that a slow spell of the shared machine hits all
        for key, run in (("grix1", lambda: grix.distance(t1, t2, **costs, workers=1)),
                         ("grix2", lambda: grix.distance(t1, t2, **costs, workers=2)),
                         ("vienna", lambda: RNA.tree_edit_distance(*vienna_trees))):
            start = time.perf_counter()
            value = run()
            times[key].append(time.perf_counter() - start)
            if key == "grix1":
                mine = value
            elif key == "vienna":
                assert int(value) == mine, (value, mine)
    median = {key: statistics.median(values) for key, values in times.items()}
    given, mirrored = core.cell_factors(t1.parents), core.cell_factors(t2.parents)
    grix_cells = min(given[0] * mirrored[0], given[1] * mirrored[1])
    vienna_cells = zhang_shasha_cells(t1) * zhang_shasha_cells(t2)
    lines += [
        f"## One pair of full trees ({len(t1):,} and {len(t2):,} nodes)", "",
        f"Folded random sequences of {len(a):,} and {len(b):,} nucleotides; usual costs; distance {mine}, "
        "equal in both. Median of 3 runs each, taking turns.", "",
        "| tool | time | ViennaRNA / grix |", "|---|---|---|",
        f"| RNA.tree_edit_distance | {median['vienna']:.2f} s | |",
        f"| grix.distance, 1 worker | {median['grix1']:.2f} s | {median['vienna'] / median['grix1']:.1f}× |",
        f"| grix.distance, 2 workers | {median['grix2']:.2f} s | {median['vienna'] / median['grix2']:.1f}× |",
        "",
        f"Cells of the dynamic programme: ViennaRNA's Zhang–Shasha {vienna_cells / 1e9:.2f} billion, grix's "
        f"cheaper keyroot orientation {grix_cells / 1e9:.2f} billion. Both fill about the same cells here "
        f"(grix's path strategy plans {core.price(t1.parents, t2.parents, 'strategy')['strategy_cells'] / 1e9:.2f} "
        "billion, more), so the ratio is that of the time per cell: "
        f"{median['vienna'] / vienna_cells * 1e9:.2f} ns for ViennaRNA against "
        f"{median['grix1'] / grix_cells * 1e9:.2f} ns for grix on one worker.", "",
        f"Raw times (s): {json.dumps({k: [round(t, 3) for t in v] for k, v in times.items()})}", ""]


def bench_pdist(records, lines: list[str], sample: int) -> None:
    import RNA

    structures = [r.structure for r in records if r.name.startswith("pdist")]
    trees = grix.rna.trees(structures)
    pairs = [(i, j) for i in range(len(trees)) for j in range(i + 1, len(trees))]
    grix_time, grix_values, grix_cpu = median_time(lambda: grix.rna.pdist(structures, costs="usual", workers=2,
                                                                          progress=False), 3)
    chosen = random.Random(SEED).sample(range(len(pairs)), sample)
    RNA.cvar.cost_matrix = 0
    vienna_trees = [RNA.make_tree(RNA.expand_Full(s)) for s in structures]
    vienna_time, vienna, vienna_cpu = median_time(lambda: [
        int(RNA.tree_edit_distance(vienna_trees[pairs[k][0]], vienna_trees[pairs[k][1]])) for k in chosen], 1)
    assert vienna == [int(grix_values[k]) for k in chosen]  # type: ignore[index]
    per_pair = vienna_time / sample
    scaled, scaled_cpu = per_pair * len(pairs), vienna_cpu / sample * len(pairs)
    grix_one, _, grix_one_cpu = median_time(lambda: grix.rna.pdist(structures, costs="usual", workers=1,
                                                                   progress=False), 1)
    nodes = [len(t) for t in trees]
    lines += [
        f"## pdist over {len(trees)} structures of 300 nucleotides", "",
        f"Full trees of {min(nodes)} to {max(nodes)} nodes (mean {statistics.mean(nodes):.0f}), usual costs, "
        f"{len(pairs):,} pairs. ViennaRNA ran {sample} of them, drawn with a fixed seed, in a loop over trees "
        f"made once ({per_pair * 1e3:.1f} ms a pair); its time for all pairs is that mean times "
        f"{len(pairs):,}. grix's values equal ViennaRNA's on every sampled pair. CPU time is the process's, "
        "all threads.", "",
        "| tool | time for all pairs | ViennaRNA / grix | CPU time | ViennaRNA / grix |", "|---|---|---|---|---|",
        f"| loop of RNA.tree_edit_distance (scaled from {sample} pairs) | {scaled:.1f} s | | {scaled_cpu:.1f} s | |",
        f"| grix.rna.pdist, 2 workers (median of 3) | {grix_time:.2f} s | {scaled / grix_time:.1f}× | "
        f"{grix_cpu:.2f} s | |",
        f"| grix.rna.pdist, 1 worker (one run) | {grix_one:.2f} s | {scaled / grix_one:.1f}× | {grix_one_cpu:.2f} s | "
        f"{scaled_cpu / grix_one_cpu:.1f}× |", ""]


VIENNA_TREES = {
    "full": lambda RNA, s: RNA.expand_Full(s),
    "hit": lambda RNA, s: RNA.b2HIT(s),
    "coarse": lambda RNA, s: RNA.expand_Shapiro(RNA.b2C(s)),
    "weighted": lambda RNA, s: RNA.b2Shapiro(s),
}


def taking_turns(runs: dict[str, object], repeats: int) -> tuple[dict[str, float], dict[str, object],
                                                                 dict[str, float]]:
    """The median wall-clock time of each run over `repeats` rounds, one run
    of each per round, so that a slow spell of the shared machine hits them
    all; the last results; and the median CPU times."""
    times: dict[str, list[float]] = {key: [] for key in runs}
    cpu: dict[str, list[float]] = {key: [] for key in runs}
    results: dict[str, object] = {}
    for _ in range(repeats):
        for key, run in runs.items():
            start, start_cpu = time.perf_counter(), time.process_time()
            results[key] = run()  # type: ignore[operator]
            times[key].append(time.perf_counter() - start)
            cpu[key].append(time.process_time() - start_cpu)
    return ({key: statistics.median(values) for key, values in times.items()}, results,
            {key: statistics.median(values) for key, values in cpu.items()})


def bench_small(records, lines: list[str]) -> None:
    import RNA

    rng = random.Random(SEED)
    sequences = ["".join(rng.choice("ACGU") for _ in range(rng.randint(40, 150))) for _ in range(80)]
    structures = [RNA.fold(sequence)[0] for sequence in sequences]
    pairs = [(i, j) for i in range(len(structures)) for j in range(i + 1, len(structures))]
    costs = grix.rna.costs("usual")
    RNA.cvar.cost_matrix = 0
    lines += [f"## pdist over {len(structures)} small structures, every representation", "",
              f"Folded random sequences of 40 to 150 nucleotides (seed {SEED}), usual costs, one worker, all "
              f"{len(pairs):,} pairs; trees made once for both. Medians of runs taking turns; the values are "
              "equal in both. Wall-clock times, and the ratio of CPU times beside them.", "",
              "| representation | nodes | RNA.tree_edit_distance loop | grix.rna.pdist, 1 worker | ViennaRNA / grix "
              "| in CPU time |",
              "|---|---|---|---|---|---|"]
    for representation in REPRESENTATIONS:
        trees = grix.rna.trees(structures, representation)
        vienna_trees = [RNA.make_tree(VIENNA_TREES[representation](RNA, s)) for s in structures]
        median, results, cpu = taking_turns({
            "vienna": lambda: [int(RNA.tree_edit_distance(vienna_trees[i], vienna_trees[j])) for i, j in pairs],
            "grix": lambda: grix.rna.pdist(trees, costs=costs, workers=1, progress=False)},
            5 if representation == "full" else 15)
        assert results["vienna"] == results["grix"].tolist()  # type: ignore[attr-defined]
        nodes = [len(tree) for tree in trees]
        lines.append(f"| {representation} | {min(nodes)} to {max(nodes)} | {median['vienna'] * 1e3:.1f} ms | "
                     f"{median['grix'] * 1e3:.1f} ms | {median['vienna'] / median['grix']:.1f}× | "
                     f"{cpu['vienna'] / cpu['grix']:.1f}× |")

    larger = [r.structure for r in records if r.name.startswith("pdist")]
    weighted = grix.rna.trees(larger, "weighted")
    first = min(range(len(weighted)), key=lambda k: abs(len(weighted[k]) - 52))
    second = min(range(len(weighted)), key=lambda k: abs(len(weighted[k]) - 28))
    t1, t2 = weighted[first], weighted[second]
    v1, v2 = (RNA.make_tree(RNA.b2Shapiro(larger[k])) for k in (first, second))
    calls = 2000
    median, results, cpu = taking_turns({
        "vienna": lambda: [RNA.tree_edit_distance(v1, v2) for _ in range(calls)][0],
        "grix": lambda: [grix.distance(t1, t2, **costs) for _ in range(calls)][0]}, 9)
    assert int(results["vienna"]) == results["grix"]  # type: ignore[call-overload]
    lines += ["", f"One weighted pair of {len(t1)} and {len(t2)} nodes, usual costs, distance {results['grix']}: "
              f"median of 9 runs of {calls:,} calls each, taking turns.", "",
              "| tool | time per call | ViennaRNA / grix | in CPU time |", "|---|---|---|---|",
              f"| RNA.tree_edit_distance | {median['vienna'] / calls * 1e6:.1f} µs | | |",
              f"| grix.distance | {median['grix'] / calls * 1e6:.1f} µs | "
              f"{median['vienna'] / median['grix']:.1f}× | {cpu['vienna'] / cpu['grix']:.1f}× |", ""]


BIG_SCRIPT = textwrap.dedent("""
    import json, resource, sys, time
    import grix
    a, b = open(sys.argv[1]).read().split()
    t1, t2 = grix.Tree.from_dot_bracket(a), grix.Tree.from_dot_bracket(b)
    start = time.perf_counter()
    d = grix.distance(t1, t2, **grix.rna.costs("usual"), workers=2)
    seconds = time.perf_counter() - start
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    print(json.dumps({"nodes": [len(t1), len(t2)], "length": [len(a), len(b)], "distance": d,
                      "seconds": seconds, "peak": peak}))
""")


def joined(structures: list[str], nodes: int) -> str:
    pieces: list[str] = []
    total = 1
    for k, structure in enumerate(structures):
        piece = "((" + structure + "))" if k % 3 == 0 else structure
        pieces.append(piece)
        total += len(grix.Tree.from_dot_bracket(piece)) - 1
        if total >= nodes - 3:
            break
    return "(((" + "".join(pieces) + ")))"


def bench_big(records, lines: list[str]) -> None:
    structures = [r.structure for r in records if r.name.startswith("pdist")]
    rng = random.Random(SEED)
    a = joined(rng.sample(structures, len(structures)), 20_000)
    b = joined(rng.sample(structures, len(structures)), 20_000)
    path = HERE.parent / "build" / "rna_big_pair.txt"
    path.parent.mkdir(exist_ok=True)
    path.write_text(a + "\n" + b + "\n")
    output = subprocess.run([sys.executable, "-c", BIG_SCRIPT, str(path)], capture_output=True, text=True,
                            check=True).stdout
    found = json.loads(output)
    n1, n2 = found["nodes"]
    lines += [
        f"## A pair of full trees of {n1:,} and {n2:,} nodes", "",
        f"{found['length'][0]:,} and {found['length'][1]:,} nucleotides (folded 300-nucleotide structures joined; "
        "see the top of bench/bench_rna.py). ViennaRNA refuses trees of more than 4,000 nodes.", "",
        "| grix.distance, usual costs, 2 workers | |", "|---|---|",
        f"| time (one run) | {found['seconds']:.1f} s |",
        f"| peak memory of the process | {found['peak'] / 2**30:.2f} GiB |",
        f"| distance | {found['distance']} |", ""]


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--refold", action="store_true", help="fold the structures again")
    parser.add_argument("--skip-big", action="store_true", help="leave out the 20,000-node pair")
    parser.add_argument("--sample", type=int, default=300, help="pairs ViennaRNA runs in the pdist part")
    parser.add_argument("--only", choices=("pair", "pdist", "small", "big"), action="append",
                        help="run only these parts (repeatable); the results go to stdout, not the file")
    args = parser.parse_args()
    if args.refold or not STRUCTURES.exists():
        fold_structures()
    import RNA

    records = grix.rna.load_structures(STRUCTURES)
    lines = ["# RNA secondary structures: grix and ViennaRNA", "",
             f"{platform.machine()}, {os.cpu_count()} cores (load average {os.getloadavg()[0]:.1f} at the start), "
             f"Python {platform.python_version()}, ViennaRNA {RNA.__version__}; times are wall-clock.", ""]
    parts = args.only or ["pair", "pdist", "small"] + ([] if args.skip_big else ["big"])
    if "pair" in parts:
        bench_pair(records, lines)
    if "pdist" in parts:
        bench_pdist(records, lines, args.sample)
    if "small" in parts:
        bench_small(records, lines)
    if "big" in parts:
        bench_big(records, lines)
    lines.append(f"Load average {os.getloadavg()[0]:.1f} at the end.")
    if not args.only:
        RESULTS.write_text("\n".join(lines) + "\n", encoding="utf-8")
    print("\n".join(lines))
    return 0


if __name__ == "__main__":
    sys.exit(main())
