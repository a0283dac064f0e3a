"""Benchmark: GRIX_CPU with 1 and 2 workers on seeded tree pairs of several
shapes and sizes, against zss and apted where they finish within a minute.

Writes bench/results/bench.md (the table) and bench/results/bench.png (time
against size per shape). Run with `make bench`.
"""

import argparse
import multiprocessing
import os
import pathlib
import platform
import statistics
import sys
import time

sys.path.insert(0, str(pathlib.Path(__file__).parent))
sys.path.insert(0, str(pathlib.Path(__file__).parent.parent / "tests" / "python"))

import GRIX_CPU  # noqa: E402
import tree_shapes  # noqa: E402
from tree_helpers import apted_distance, zss_distance  # noqa: E402

RESULTS = pathlib.Path(__file__).parent / "results"
SHAPES = list(tree_shapes.GENERATED) + ["python-ast", "xml-html"]


def keyroot_sums(parents):
    """Number of keyroots and the sum over keyroots x of (|subtree(x)| + 1)."""
    n = len(parents)
    size = [1] * n
    for i in range(n - 1, 0, -1):
        size[parents[i]] += size[i]
    last_child = {}
    for i in range(1, n):
        last_child[parents[i]] = i
    keyroots = [i for i in range(n) if parents[i] < 0 or last_child[parents[i]] != i]
    return len(keyroots), sum(size[x] + 1 for x in keyroots)


def dp_cells(t1, t2):
    return keyroot_sums(t1[1])[1] * keyroot_sums(t2[1])[1]


def model_bytes(t1, t2, workers):
    n1, n2 = len(t1[0]), len(t2[0])
    k1, k2 = keyroot_sums(t1[1])[0], keyroot_sums(t2[1])[0]
    return 4 * (2 * n1 * n2 + workers * (n1 + 1) * (n2 + 1) + 2 * k1 * k2)


def rss_kib(field):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field):
                return int(line.split()[1])
    return 0


def timed(t1, t2, workers, repeats):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        distance = GRIX_CPU.compute_tree_edit_distance_uniform(*t1, *t2, workers)
        times.append(time.perf_counter() - start)
    return distance, statistics.median(times)


def peak_extra_bytes(t1, t2, workers):
    """Peak resident memory above the baseline during one call."""
    with open("/proc/self/clear_refs", "w") as clear:
        clear.write("5")  # resets the peak resident set size
    base = rss_kib("VmRSS:")
    GRIX_CPU.compute_tree_edit_distance_uniform(*t1, *t2, workers)
    return (rss_kib("VmHWM:") - base) * 1024


def _peer_child(peer, t1, t2, queue):
    cost = lambda i, j: int(t1[0][i] != t2[0][j])  # noqa: E731
    start = time.perf_counter()
    distance = (zss_distance if peer == "zss" else apted_distance)(t1, t2, cost)
    queue.put((distance, time.perf_counter() - start))


def run_peer(peer, t1, t2, timeout):
    context = multiprocessing.get_context("fork")
    queue = context.Queue()
    process = context.Process(target=_peer_child, args=(peer, t1, t2, queue))
    process.start()
    process.join(timeout)
    if process.is_alive():
        process.kill()
        process.join()
        return None
    return queue.get() if not queue.empty() else None


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--sizes", default="500,1000,2000,4000,8000")
    parser.add_argument("--shapes", default=",".join(SHAPES))
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--max-cells", type=float, default=4e9,
                        help="skip pairs whose DP needs more cells than this")
    parser.add_argument("--peer-max-nodes", type=int, default=1000)
    parser.add_argument("--peer-timeout", type=float, default=60)
    parser.add_argument("--no-plot", action="store_true")
    args = parser.parse_args()
    sizes = [int(s) for s in args.sizes.split(",")]
    shapes = args.shapes.split(",")

    corpora = {}
    if "python-ast" in shapes:
        corpora["python-ast"] = tree_shapes.python_ast_trees()
    if "xml-html" in shapes:
        corpora["xml-html"] = tree_shapes.markup_trees()

    header = ("| shape | tree | n1 | n2 | distance | DP cells | 1 worker (s) | ns/cell | 2 workers (s) "
              "| speedup | peak MiB (model) | zss (s) | apted (s) | vs zss | vs apted |")
    rows = [header, "|" + "---|" * (header.count("|") - 1)]
    print(header, flush=True)
    records = []
    for shape in shapes:
        seen = set()
        for n in sizes:
            pair = tree_shapes.tree_pair(shape, n, seed=1, corpus=corpora.get(shape))
            if pair is None:
                continue
            name, t1, t2 = pair
            if name in seen:
                continue
            seen.add(name)
            cells = dp_cells(t1, t2)
            if cells > args.max_cells:
                print(f"| {shape} | {name} | {len(t1[0])} | {len(t2[0])} | skipped: {cells:.2e} cells |",
                      flush=True)
                continue
            d1, time1 = timed(t1, t2, 1, args.repeats)
            d2, time2 = timed(t1, t2, 2, args.repeats)
            assert d1 == d2, (name, d1, d2)
            peak = peak_extra_bytes(t1, t2, 2)
            peers = {}
            if n <= args.peer_max_nodes:
                for peer in ("zss", "apted"):
                    got = run_peer(peer, t1, t2, args.peer_timeout)
                    if got is not None:
                        assert got[0] == d1, (name, peer, got[0], d1)
                        peers[peer] = got[1]
            fmt = lambda peer: f"{peers[peer]:.2f}" if peer in peers else "-"  # noqa: E731
            ratio = lambda peer: f"{peers[peer] / time1:,.0f}×" if peer in peers else "-"  # noqa: E731
            row = (f"| {shape} | {name} | {len(t1[0])} | {len(t2[0])} | {d1} | {cells:.3g} | {time1:.3f} | "
                   f"{time1 / cells * 1e9:.2f} | {time2:.3f} | {time1 / time2:.2f}× | "
                   f"{peak / 2**20:.0f} ({model_bytes(t1, t2, 2) / 2**20:.0f}) | "
                   f"{fmt('zss')} | {fmt('apted')} | {ratio('zss')} | {ratio('apted')} |")
            print(row, flush=True)
            rows.append(row)
            records.append((shape, len(t1[0]), time1, time2))

    # A run over a subset leaves the full results in place.
    full_run = args.sizes == parser.get_default("sizes") and args.shapes == parser.get_default("shapes")
    stem = "bench" if full_run else "bench-subset"
    RESULTS.mkdir(exist_ok=True)
    setup = (f"{platform.processor() or platform.machine()}, {os.cpu_count()} cores, Python "
             f"{platform.python_version()}; uniform costs; median of {args.repeats} runs; "
             f"each pair is a tree and a copy with n/50 random edits.")
    (RESULTS / f"{stem}.md").write_text("# GRIX_CPU benchmark\n\n" + setup + "\n\n" + "\n".join(rows) + "\n")
    if not args.no_plot:
        plot(records, RESULTS / f"{stem}.png")
    print(f"\nwrote {RESULTS / stem}.md" + ("" if args.no_plot else f" and {RESULTS / stem}.png"))


def plot(records, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots(figsize=(8, 5))
    for shape in dict.fromkeys(r[0] for r in records):
        points = sorted((n, t1) for s, n, t1, _ in records if s == shape)
        ax.plot([p[0] for p in points], [p[1] for p in points], marker="o", label=shape)
    ax.set_xscale("log")
    ax.set_yscale("log")
    ax.set_xlabel("nodes in the first tree")
    ax.set_ylabel("seconds, 1 worker")
    ax.set_title("GRIX_CPU: time against size")
    ax.legend(fontsize="small")
    ax.grid(True, which="both", alpha=0.3)
    fig.tight_layout()
    fig.savefig(path, dpi=100)


if __name__ == "__main__":
    main()
