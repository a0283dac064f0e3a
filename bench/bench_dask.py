"""grix.dask against the local functions on this machine, side by side in one run.

    python bench/bench_dask.py                    # all parts, results in bench/results/grix-dask.md
    python bench/bench_dask.py --large 30000      # the pdist(out=) run over that many statement trees

Parts: (1) sending 20,000 and 60,000 trees to 2 workers, the old way (one
scatter of every tree's own arrays, broadcast) against packed ranges carried
by tasks; (2) pdist, cdist, paired and join on 2 worker processes of one
thread each against the local call on 2 threads, on function trees from the
standard library's syntax trees; (3) pdist written by the workers to a .npy
file, with the client's peak memory, run in a process of its own.
"""

import argparse
import ast
import json
import os
import pathlib
import platform
import statistics
import subprocess
import sys
import sysconfig
import time

import numpy as np

import grix
import grix.dask
from grix.dask.blocks import block_count, split
from grix.dask.transfer import carry, pack, pack_range

RESULTS = pathlib.Path(__file__).resolve().parent / "results"
STDLIB = pathlib.Path(sysconfig.get_paths()["stdlib"])


def syntax_trees(kind, limit, with_tests=False):
    """Function trees (30-400 nodes) or statement trees (5-40 nodes) of the
    standard library, in file order (its test suite last, when asked)."""
    found = []
    paths = sorted(STDLIB.rglob("*.py"), key=lambda path: ("test" in path.parts, str(path)))
    for path in paths:
        if "idlelib" in path.parts or "test" in path.parts and not with_tests:
            continue
        try:
            module = ast.parse(path.read_text(encoding="utf-8"))
        except (SyntaxError, UnicodeDecodeError, ValueError):
            continue
        for node in ast.walk(module):
            if kind == "function" and isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
                tree = grix.Tree.from_ast(node)
                if 30 <= len(tree) <= 400:
                    found.append(tree)
            elif kind == "statement" and isinstance(node, ast.stmt) and not isinstance(
                    node, (ast.ClassDef, ast.FunctionDef, ast.AsyncFunctionDef)):
                tree = grix.Tree.from_ast(node)
                if 5 <= len(tree) <= 40:
                    found.append(tree)
            if len(found) >= limit:
                return found
    return found


def interleaved_medians(calls, repeats):
    """Median seconds of each call, the calls taking turns so that a slow
    spell of the shared machine hits them alike."""
    times = [[] for _ in calls]
    for _ in range(repeats):
        for call, record in zip(calls, times):
            start = time.perf_counter()
            call()
            record.append(time.perf_counter() - start)
    return [statistics.median(record) for record in times]


def touch(*ranges):
    """A task that needs the given data on its worker."""
    return len(ranges)


def transfer_rows(client, trees, repeats):
    """Seconds until both workers hold every tree: the old broadcast scatter
    of per-tree arrays against packed ranges carried by tasks."""
    (encoded,) = grix.batch.encode(trees, rename=None)
    addresses = list(client.nthreads())
    ranges = split(len(trees), block_count(len(trees), client, None))

    def old():
        payload = (encoded.parents, encoded.codes, encoded.costs.batch_arguments())
        future = client.scatter(payload, broadcast=True, hash=False)
        client.gather([client.submit(touch, future, workers=[a], pure=False) for a in addresses])
        del future

    def packed():
        whole = pack(encoded.parents, encoded.codes)
        carried = [carry(client, pack_range(whole, *r)) for r in ranges]
        client.gather([client.submit(touch, *carried, workers=[a], pure=False) for a in addresses])
        del carried

    old_seconds, packed_seconds = interleaved_medians([old, packed], repeats)
    return (f"| {len(trees):,} | {sum(map(len, trees)):,} | {len(ranges)} | {old_seconds:.2f} s | "
            f"{packed_seconds:.3f} s | {old_seconds / packed_seconds:.0f}× |")


def function_rows(client, functions, repeats):
    half = len(functions) // 2
    pdist_trees = functions[:args_global.pdist_trees]
    cdist_a, cdist_b = functions[:args_global.cdist_trees], functions[half:half + args_global.cdist_trees]
    paired_a, paired_b = functions[:half], functions[half:2 * half]
    join_trees = functions[:args_global.join_trees]
    threshold = 10
    cases = [
        (f"pdist, {len(pdist_trees):,} trees", lambda: grix.pdist(pdist_trees, workers=2),
         lambda: grix.dask.pdist(pdist_trees, client=client)),
        (f"cdist, {len(cdist_a):,} × {len(cdist_b):,}", lambda: grix.cdist(cdist_a, cdist_b, workers=2),
         lambda: grix.dask.cdist(cdist_a, cdist_b, client=client)),
        (f"paired, {len(paired_a):,} pairs", lambda: grix.paired(paired_a, paired_b, workers=2),
         lambda: grix.dask.paired(paired_a, paired_b, client=client)),
        (f"join, {len(join_trees):,} trees, τ = {threshold}", lambda: grix.join(join_trees, threshold, workers=2),
         lambda: grix.dask.join(join_trees, threshold, client=client)),
    ]
    rows = []
    for name, local, remote in cases:
        assert np.array_equal(np.asarray(list(local()) if "join" in name else local()),
                              np.asarray(list(remote()) if "join" in name else remote())), name
        local_seconds, dask_seconds = interleaved_medians([local, remote], repeats)
        row = f"| {name} | {local_seconds:.3f} s | {dask_seconds:.3f} s | {dask_seconds / local_seconds:.2f}× |"
        print(row, flush=True)
        rows.append(row)
    return rows


LARGE_PROBE = """
import gc, json, os, sys, time
sys.path.insert(0, {here!r})
from bench_dask import syntax_trees
import grix.dask
from dask.distributed import Client, LocalCluster

def status_kib(field):
    with open("/proc/self/status") as lines:
        return next(int(line.split()[1]) for line in lines if line.startswith(field))

if __name__ == "__main__":
    trees = syntax_trees("statement", {count})
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0") as cluster, \\
            Client(cluster) as client:
        gc.collect()
        with open("/proc/self/clear_refs", "w") as clear:
            clear.write("5")  # the peak (VmHWM) from here on
        before_kib = status_kib("VmRSS")
        start = time.perf_counter()
        result = grix.dask.pdist(trees, client=client, out={path!r}, progress={progress})
        seconds = time.perf_counter() - start
        peak_kib = status_kib("VmHWM")
    print(json.dumps(dict(trees=len(trees), pairs=len(result), seconds=seconds, before_kib=before_kib,
                          peak_kib=peak_kib, file_bytes=os.path.getsize({path!r}))))
"""


def large_row(count, path, progress):
    probe = LARGE_PROBE.format(here=str(pathlib.Path(__file__).resolve().parent), count=count, path=path,
                               progress=progress)
    out = subprocess.run([sys.executable, "-c", probe], check=True, capture_output=True, text=True).stdout
    figures = json.loads(out.strip().splitlines()[-1])
    os.remove(path)
    return (f"| {figures['trees']:,} | {figures['pairs']:,} | {figures['seconds']:.0f} s | "
            f"{figures['pairs'] / figures['seconds']:,.0f}/s | {figures['file_bytes'] / 2**20:,.0f} MiB | "
            f"{figures['before_kib'] / 1024:.0f} MiB | {figures['peak_kib'] / 1024:.0f} MiB |")


def main():
    global args_global
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--transfer", type=int, nargs="*", default=[20000, 60000])
    parser.add_argument("--functions", type=int, default=14000, help="function trees (paired: half of them)")
    parser.add_argument("--pdist-trees", type=int, default=600)
    parser.add_argument("--cdist-trees", type=int, default=400)
    parser.add_argument("--join-trees", type=int, default=3000)
    parser.add_argument("--large", type=int, default=20000, help="statement trees of the pdist(out=) run")
    parser.add_argument("--out", default="/tmp/grix-dask-condensed.npy")
    parser.add_argument("--results", default=str(RESULTS / "grix-dask.md"))
    args_global = args = parser.parse_args()
    from dask.distributed import Client, LocalCluster

    setup = (f"{platform.machine()}, {os.cpu_count()} cores (load average {os.getloadavg()[0]:.1f} at the start), "
             f"Python {platform.python_version()}; a LocalCluster of 2 worker processes with 1 thread each "
             f"against the local call on 2 threads; medians of {args.repeats} runs taken in turns.")
    rows = []
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0") as cluster, \
            Client(cluster) as client:
        statements = syntax_trees("statement", max(args.transfer, default=0)) if args.transfer else []
        rows += ["## Sending trees to 2 workers", "",
                 "| trees | nodes | ranges | one broadcast scatter of per-tree arrays | packed ranges carried by "
                 "tasks | speed-up |", "|---|---|---|---|---|---|"]
        for count in args.transfer:
            trees = (statements * (count // max(1, len(statements)) + 1))[:count]
            rows.append(transfer_rows(client, trees, args.repeats))
            print(rows[-1], flush=True)
        functions = syntax_trees("function", args.functions, with_tests=True)
        rows += ["", f"## Each function, local against Dask ({len(functions):,} function trees)", "",
                 "| call | local, 2 threads | Dask, 2 workers | Dask / local |", "|---|---|---|---|"]
        rows += function_rows(client, functions, args.repeats)
    if args.large:
        rows += ["", "## pdist written by the workers to a .npy file (`out=`), statement trees", "",
                 "| trees | pairs | time | pairs per second | file | client before the call (trees, "
                 "cluster) | client peak during the call |", "|---|---|---|---|---|---|---|"]
        rows.append(large_row(args.large, args.out, False))
        print(rows[-1], flush=True)
    text = "# grix.dask against the local functions\n\n" + setup + "\n\n" + "\n".join(rows) + "\n"
    pathlib.Path(args.results).write_text(text)
    print(f"wrote {args.results}")


args_global = None

if __name__ == "__main__":
    main()
