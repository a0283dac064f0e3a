"""Benchmark of the grix package on this machine:

  distance  grix.distance against GRIX_CPU as given, for every shape of the
            GRIX_CPU benchmark, and the share of a call spent converting;
  mapping   grix.mapping against grix.distance: time and peak memory;
  batch     pairs per second on standard-library syntax trees: a Python loop
            of GRIX_CPU calls, grix.pdist on 1 and 2 workers, and
            grix.dask.pdist on two single-threaded worker processes; the
            share of pairs that join's lower bounds prune; memory;
  stop      how long grix.distance and grix.mapping take to raise
            TimeoutError once their time is up, at stops spread over the call
            (setting up included).

Writes bench/results/grix-<part>.md. Run with `make bench-grix` (all parts)
or `python bench/bench_grix.py distance mapping batch`.
"""

import argparse
import ast
import os
import pathlib
import platform
import statistics
import subprocess
import sys
import sysconfig
import textwrap
import time

HERE = pathlib.Path(__file__).parent
sys.path[:0] = [str(HERE), str(HERE.parent / "tests" / "python")]

import GRIX_CPU  # noqa: E402
import grix  # noqa: E402
import tree_shapes  # noqa: E402
from grix.distance import schedule_cells  # noqa: E402

RESULTS = HERE / "results"
STDLIB = pathlib.Path(sysconfig.get_paths()["stdlib"])


def median_time(call, repeats):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        call()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def interleaved_medians(calls, repeats):
    """Median time of each call, the calls taking turns so that a slow spell
    of the shared machine hits them alike."""
    times = [[] for _ in calls]
    for _ in range(repeats):
        for call, record in zip(calls, times):
            start = time.perf_counter()
            call()
            record.append(time.perf_counter() - start)
    return [statistics.median(record) for record in times]


def as_tree(pair):
    return grix.Tree.from_parents(*pair)


def as_lists(tree):
    return list(tree.labels), tree.parents.tolist()


def setup_line(extra=""):
    return (f"{platform.machine()}, {os.cpu_count()} cores, Python {platform.python_version()}; "
            f"median of repeated runs; {extra}")


def write(name, title, setup, rows):
    RESULTS.mkdir(exist_ok=True)
    text = f"# {title}\n\n{setup}\n\n" + "\n".join(rows) + "\n"
    (RESULTS / f"grix-{name}.md").write_text(text)
    print(f"wrote {RESULTS / f'grix-{name}.md'}")


def bench_distance(args):
    corpora = {"python-ast": tree_shapes.python_ast_trees(), "xml-html": tree_shapes.markup_trees()}
    header = ("| shape | tree | n1 | n2 | cells as given | cells mirrored | GRIX_CPU as given (s) "
              "| GRIX_CPU cheaper orientation (s) | grix.distance (s) | speed-up | grix / same orientation |")
    rows = [header, "|" + "---|" * (header.count("|") - 1)]
    print(header, flush=True)
    for shape in list(tree_shapes.GENERATED) + ["python-ast", "xml-html"]:
        for n in args.sizes:
            pair = tree_shapes.tree_pair(shape, n, seed=1, corpus=corpora.get(shape))
            if pair is None:
                continue
            name, a, b = pair
            t1, t2 = as_tree(a), as_tree(b)
            given, mirrored = schedule_cells(t1, t2)
            if min(given, mirrored) > args.max_cells:
                continue
            # GRIX_CPU on the orientation grix chooses, taking turns with grix.
            o1, o2 = (t1.mirror()[0], t2.mirror()[0]) if mirrored < given else (t1, t2)
            lists1, lists2 = as_lists(o1), as_lists(o2)
            grix_time, same = interleaved_medians(
                [lambda: grix.distance(t1, t2),
                 lambda: GRIX_CPU.compute_tree_edit_distance_uniform(*lists1, *lists2, 1)],
                args.repeats)
            if given <= args.max_cells:
                as_given = median_time(lambda: GRIX_CPU.compute_tree_edit_distance_uniform(*a, *b, 1),
                                       args.repeats)
                shown, speedup = f"{as_given:.3f}", f"{as_given / grix_time:.2f}×"
            else:
                shown, speedup = f"not run ({given:.1e} cells)", "–"
            row = (f"| {shape} | {name} | {len(t1)} | {len(t2)} | {given:.3g} | {mirrored:.3g} | {shown} | "
                   f"{same:.3f} | {grix_time:.3f} | {speedup} | {grix_time / same:.3f} |")
            print(row, flush=True)
            rows.append(row)
    rows += ["", conversion_share(args)]
    write("distance", "grix.distance against GRIX_CPU", setup_line(
        "one worker, label-equality costs; each pair is a tree and a copy with n/50 random edits. "
        "'grix / same orientation' compares grix.distance (conversion, orientation, stop check) "
        "with GRIX_CPU run on the orientation grix chose, the two taking turns."), rows)


def conversion_share(args):
    """Time to build both trees from what the user has (a parsed module, an
    HTML file) and grix's own work around the engine, as a share of a whole
    grix.distance call that starts from those objects."""
    from grix.distance import label_codes

    lines = ["| input | nodes | building both Trees (s) | label codes (s) | grix.distance (s) | "
             "share converting |", "|---|---|---|---|---|---|"]
    modules = sorted(((len(list(ast.walk(ast.parse(p.read_text(encoding='utf-8'))))), p)
                      for p in STDLIB.glob("*.py") if p.stat().st_size < 400_000), key=lambda x: x[0])
    pages = []
    for path in sorted(pathlib.Path("/usr/share/doc").rglob("*.htm*"))[:3000]:
        try:
            pages.append((len(grix.Tree.from_html(path)), path))
        except Exception:  # noqa: BLE001 - documents the parser refuses are skipped
            continue
    for kind, found in (("syntax tree", modules), ("HTML", pages)):
        for n in (1000, 2000, 4000):
            near = sorted(found, key=lambda item: abs(item[0] - n))[:2]
            if len(near) < 2:
                continue
            (_, first), (_, second) = near
            if kind == "syntax tree":
                objects = [ast.parse(p.read_text(encoding="utf-8")) for p in (first, second)]
                build = lambda: [grix.Tree.from_ast(o) for o in objects]  # noqa: E731
            else:
                build = lambda: [grix.Tree.from_html(p) for p in (first, second)]  # noqa: E731
            t1, t2 = build()
            building = median_time(build, args.repeats)
            coding = median_time(lambda: label_codes(t1.labels, t2.labels), args.repeats)
            computing = median_time(lambda: grix.distance(t1, t2), args.repeats)
            share = (building + coding) / (building + computing)
            lines.append(f"| {kind}: {first.name} / {second.name} | {len(t1)} / {len(t2)} | {building:.4f} | "
                         f"{coding:.4f} | {computing:.3f} | {share:.1%} |")
            print(lines[-1], flush=True)
    return "\n".join(lines)


MEMORY_PROBE = textwrap.dedent("""
    import random, sys
    sys.path[:0] = {paths!r}
    import grix, tree_shapes
    corpus = tree_shapes.python_ast_trees() if sys.argv[1] == "python-ast" else None
    name, a, b = tree_shapes.tree_pair(sys.argv[1], int(sys.argv[2]), seed=1, corpus=corpus)
    t1, t2 = grix.Tree.from_parents(*a), grix.Tree.from_parents(*b)
    def status(field):
        with open("/proc/self/status") as lines:
            return next(int(l.split()[1]) for l in lines if l.startswith(field))
    with open("/proc/self/clear_refs", "w") as clear:
        clear.write("5")
    base = status("VmRSS")
    getattr(grix, sys.argv[3])(t1, t2)
    print(status("VmHWM") - base)
""")


def peak_kib(shape, n, call):
    probe = MEMORY_PROBE.format(paths=sys.path)
    out = subprocess.run([sys.executable, "-c", probe, shape, str(n), call], capture_output=True,
                         text=True, check=True)
    return int(out.stdout.split()[-1])


def bench_mapping(args):
    corpus = tree_shapes.python_ast_trees()
    header = ("| shape | n1 | n2 | distance (s) | mapping (s) | time ratio | distance peak MiB | "
              "mapping peak MiB | memory ratio |")
    rows = [header, "|" + "---|" * (header.count("|") - 1)]
    print(header, flush=True)
    for shape in ("random", "python-ast"):
        for n in (2000, 4000):
            _, a, b = tree_shapes.tree_pair(shape, n, seed=1, corpus=corpus if shape == "python-ast" else None)
            t1, t2 = as_tree(a), as_tree(b)
            d = median_time(lambda: grix.distance(t1, t2), args.repeats)
            m = median_time(lambda: grix.mapping(t1, t2), args.repeats)
            pd, pm = peak_kib(shape, n, "distance"), peak_kib(shape, n, "mapping")
            row = (f"| {shape} | {len(t1)} | {len(t2)} | {d:.3f} | {m:.3f} | {m / d:.2f}× | {pd / 1024:.0f} | "
                   f"{pm / 1024:.0f} | {pm / pd:.2f}× |")
            print(row, flush=True)
            rows.append(row)
    write("mapping", "grix.mapping against grix.distance", setup_line(
        "one worker; peak resident memory above the baseline, in a fresh process each."), rows)


def syntax_corpora():
    """(i) statement-level trees of 5-40 nodes, (ii) function-level trees of
    30-400 nodes, from the standard library in file order."""
    statements, functions = [], []
    for path in sorted(STDLIB.glob("*.py")):
        try:
            module = ast.parse(path.read_text(encoding="utf-8"))
        except (SyntaxError, UnicodeDecodeError, ValueError):
            continue
        for node in ast.walk(module):
            if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
                if len(functions) < 1000:
                    tree = grix.Tree.from_ast(node)
                    if 30 <= len(tree) <= 400:
                        functions.append(tree)
            elif isinstance(node, ast.stmt) and not isinstance(node, ast.ClassDef) and len(statements) < 5000:
                tree = grix.Tree.from_ast(node)
                if 5 <= len(tree) <= 40:
                    statements.append(tree)
    return statements, functions


def python_loop_rate(trees, max_pairs):
    lists = [as_lists(t) for t in trees]
    pairs = [(i, j) for i in range(len(trees)) for j in range(i + 1, len(trees))][:max_pairs]
    uniform = GRIX_CPU.compute_tree_edit_distance_uniform
    start = time.perf_counter()
    for i, j in pairs:
        uniform(*lists[i], *lists[j], 1)
    return len(pairs) / (time.perf_counter() - start)


def rate(call, pairs, repeats):
    return pairs / median_time(call, repeats)


def bench_batch(args):
    from dask.distributed import Client, LocalCluster

    import grix.dask

    statements, functions = syntax_corpora()
    header = ("| corpus | trees | pairs | (a) loop of GRIX_CPU | (b) pdist, 1 worker | (c) 2 workers | "
              "(d) Dask, 2 processes | b / a | c / b | c / d |")
    rows = [header, "|" + "---|" * (header.count("|") - 1)]
    print(header, flush=True)
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0") as cluster, \
            Client(cluster) as client:
        for name, trees in (("(i) statements, 5-40 nodes", statements[:args.statements]),
                            ("(ii) functions, 30-400 nodes", functions[:args.functions])):
            pairs = len(trees) * (len(trees) - 1) // 2
            a = python_loop_rate(trees, args.loop_pairs)
            b = rate(lambda: grix.pdist(trees, workers=1), pairs, args.repeats)
            c = rate(lambda: grix.pdist(trees, workers=2), pairs, args.repeats)
            grix.dask.pdist(trees[:50], client=client)  # warm the workers
            d = rate(lambda: grix.dask.pdist(trees, client=client), pairs, args.repeats)
            row = (f"| {name} | {len(trees)} | {pairs:,} | {a:,.0f}/s | {b:,.0f}/s | {c:,.0f}/s | {d:,.0f}/s | "
                   f"{b / a:.2f}× | {c / b:.2f}× | {c / d:.2f}× |")
            print(row, flush=True)
            rows.append(row)
    threshold = max(1, round(0.05 * statistics.median(len(t) for t in functions)))
    found = grix.join(functions, threshold)
    total = len(functions) * (len(functions) - 1) // 2
    pruned = found.pruned_by_size + found.pruned_by_labels
    rows += ["", f"join of the {len(functions)} function trees at threshold {threshold} (5 % of the median "
             f"size): {pruned:,} of {total:,} pairs pruned before any dynamic programming ({pruned / total:.1%}: "
             f"{found.pruned_by_size:,} by size, {found.pruned_by_labels:,} by labels); {len(found)} matches."]
    rows += ["", memory_line(args.memory_trees)]
    print("\n".join(rows[-3:]))
    write("batch", "Many trees: pairs per second", setup_line(
        f"label-equality costs; (a) measured on the first {args.loop_pairs:,} pairs; (b)-(d) on all pairs."),
        rows)


BATCH_MEMORY_PROBE = textwrap.dedent("""
    import random, sys
    sys.path[:0] = {paths!r}
    import grix
    from grix_helpers import random_grix_tree
    rng = random.Random(0)
    trees = [random_grix_tree(rng, rng.randint(3, 14), "abcdef") for _ in range(int(sys.argv[1]))]
    def status(field):
        with open("/proc/self/status") as lines:
            return next(int(l.split()[1]) for l in lines if l.startswith(field))
    with open("/proc/self/clear_refs", "w") as clear:
        clear.write("5")
    base = status("VmRSS")
    result = grix.pdist(trees, workers=2)
    print(result.nbytes // 1024, status("VmHWM") - base)
""")


def stop_latencies(call, t1, t2, full_seconds, repeats):
    """Seconds from the deadline to the TimeoutError, for deadlines at 0 %,
    20 %, ... 80 % of the full call."""
    latencies = []
    for _ in range(repeats):
        for fraction in (0.0, 0.2, 0.4, 0.6, 0.8):
            timeout = fraction * full_seconds
            start = time.perf_counter()
            try:
                call(t1, t2, workers=2, timeout=timeout)
            except TimeoutError:
                latencies.append(time.perf_counter() - start - timeout)
    return latencies


def bench_stop(args):
    header = "| call | nodes | full call (s) | stops | median latency (s) | largest latency (s) |"
    rows = [header, "|---|---|---|---|---|---|"]
    print(header, flush=True)
    for n in args.stop_sizes:
        _, a, b = tree_shapes.tree_pair("random", n, seed=1)
        t1, t2 = as_tree(a), as_tree(b)
        for name, call in (("distance", grix.distance), ("mapping", grix.mapping)):
            full = median_time(lambda: call(t1, t2, workers=2), 1)
            latencies = stop_latencies(call, t1, t2, full, args.repeats)
            row = (f"| {name} | {n} | {full:.2f} | {len(latencies)} | {statistics.median(latencies):.3f} | "
                   f"{max(latencies):.3f} |")
            print(row, flush=True)
            rows.append(row)
    write("stop", "How soon a timeout stops grix.distance and grix.mapping", setup_line(
        "two workers; random trees; the deadline falls at 0, 20, 40, 60 and 80 % of the full call, "
        "so the setting up (rename costs, matrices, levels) is covered as well as the keyroot pairs. "
        "Ctrl-C is answered by the same wait, which wakes every 50 ms."), rows)


def memory_line(count):
    probe = BATCH_MEMORY_PROBE.format(paths=sys.path)
    out = subprocess.run([sys.executable, "-c", probe, str(count)], capture_output=True, text=True, check=True)
    result_kib, peak_kib_ = map(int, out.stdout.split())
    return (f"Memory: pdist over {count:,} small trees (3-14 nodes) on 2 workers: the result is "
            f"{result_kib / 1024:.1f} MiB, the call's peak above the baseline {peak_kib_ / 1024:.1f} MiB "
            f"(so {max(0, peak_kib_ - result_kib) / 1024:.1f} MiB besides the result).")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("parts", nargs="*", default=["distance", "mapping", "batch", "stop"])
    parser.add_argument("--sizes", default="1000,2000,4000")
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--max-cells", type=float, default=4e9)
    parser.add_argument("--statements", type=int, default=5000)
    parser.add_argument("--functions", type=int, default=1000)
    parser.add_argument("--loop-pairs", type=int, default=200_000)
    parser.add_argument("--memory-trees", type=int, default=20_000)
    parser.add_argument("--stop-sizes", default="4000,9000,16000")
    args = parser.parse_args()
    args.sizes = [int(s) for s in args.sizes.split(",")]
    args.stop_sizes = [int(s) for s in args.stop_sizes.split(",")]
    parts = {"distance": bench_distance, "mapping": bench_mapping, "batch": bench_batch, "stop": bench_stop}
    for part in args.parts:
        parts[part](args)


if __name__ == "__main__":
    main()
