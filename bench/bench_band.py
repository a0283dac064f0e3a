"""Large, close pairs: grix.distance in a band against the full computation.

Each case runs in a fresh subprocess, which reports its time and peak
resident memory (ru_maxrss); figures go to bench/results/grix-band.md.

    PYTHONPATH=src python bench/bench_band.py
"""

import json
import os
import pathlib
import subprocess
import sys

CASE = r'''
import ast, json, random, resource, sys, time
import grix

def pydecimal(version):
    import glob
    path = glob.glob(f"/root/.pyenv/versions/{version}.*/lib/python{version}/_pydecimal.py")[0]
    return grix.Tree.from_ast(ast.parse(open(path).read()))

def synthetic(n, k, seed):
    # A shallow random tree (depth at most 12, like a parsed file), then k
    # renames to fresh labels and k inserted leaves: distance exactly 2k.
    rng = random.Random(seed)
    labels, parents, path = [], [], []
    for i in range(n):
        if i:
            del path[rng.randrange(len(path)) + 1:]
            if len(path) >= 12:
                del path[11:]
        parents.append(path[-1] if i else -1)
        labels.append(rng.choice("abcdefgh"))
        path.append(i)
    t1 = grix.Tree.from_parents(labels, parents)
    labels2, parents2 = list(labels), list(parents)
    for v in rng.sample(range(n), k):
        labels2[v] = f"fresh{v}"
    for j in range(k):  # a new first child of a random node: a leaf right after it
        p = rng.randrange(len(labels2))
        labels2.insert(p + 1, f"new{j}")
        parents2 = [q + 1 if q > p else q for q in parents2]
        parents2.insert(p + 1, p)
    return t1, grix.Tree.from_parents(labels2, parents2)

name, algorithm, workers = sys.argv[1], sys.argv[2], int(sys.argv[3])
if name == "pydecimal":
    t1, t2 = pydecimal("3.10"), pydecimal("3.12")
else:
    t1, t2 = synthetic(int(sys.argv[4]), int(sys.argv[5]), 1)
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
start = time.perf_counter()
try:
    d = grix.distance(t1, t2, algorithm=algorithm, workers=workers)
except (MemoryError, ValueError) as error:  # refused before any work
    d = f"{type(error).__name__}: {error}"
seconds = time.perf_counter() - start
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(json.dumps({"n1": len(t1), "n2": len(t2), "distance": d, "seconds": seconds,
                  "peak_mib": peak / 1024, "inputs_mib": before / 1024}))
'''


def run(*args):
    out = subprocess.run([sys.executable, "-c", CASE, *map(str, args)], capture_output=True, text=True,
                         env=os.environ, check=True)
    return json.loads(out.stdout.strip().splitlines()[-1])


def main() -> None:
    cases = [
        ("_pydecimal.py 3.10 vs 3.12, before (full, keyroot)", ("pydecimal", "keyroot", 2)),
        ("_pydecimal.py 3.10 vs 3.12, after (auto: band)", ("pydecimal", "auto", 2)),
        ("100,000 nodes, 2k = 100 edits, before (full)", ("synthetic", "keyroot", 1, 100_000, 50)),
        ("100,000 nodes, 2k = 100 edits, after (band)", ("synthetic", "auto", 1, 100_000, 50)),
    ]
    lines = ["# grix: large, close pairs in a band", "",
             f"Load average at start: {' '.join(f'{x:.2f}' for x in os.getloadavg())} "
             f"(2 cores shared with other work; times are wall-clock).", "",
             "Peak is ru_maxrss of a fresh process per case (the interpreter, grix and both trees included; "
             "'inputs' is the peak before the call).", "",
             "| case | nodes | distance | seconds | peak MiB | inputs MiB |", "|---|---|---|---|---|---|"]
    for title, args in cases:
        r = run(*args)
        print(title, r, flush=True)
        lines.append(f"| {title} | {r['n1']:,} / {r['n2']:,} | {r['distance']} | {r['seconds']:.2f} | "
                     f"{r['peak_mib']:.0f} | {r['inputs_mib']:.0f} |")
    lines.append("")
    lines.append(f"Load average at end: {' '.join(f'{x:.2f}' for x in os.getloadavg())}.")
    out = pathlib.Path(__file__).parent / "results" / "grix-band.md"
    out.write_text("\n".join(lines) + "\n")
    print(out)


if __name__ == "__main__":
    main()
