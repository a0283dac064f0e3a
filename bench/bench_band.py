"""Large, close pairs: grix.distance, grix.mapping and `grix diff` in a band
against the full computation.

Each case runs in a fresh subprocess, which reports its time and peak
resident memory (ru_maxrss); figures go to bench/results/grix-band.md.

    PYTHONPATH=src python bench/bench_band.py
"""

import json
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile
import time

# A real file of about 100,000 syntax-tree nodes, edited k = 50 times each
# way by edited_source (distance exactly 100).
BIG_FILE = "/usr/lib/google-cloud-sdk/lib/googlecloudsdk/generated_clients/apis/compute/v1/compute_v1_messages.py"

CASE = r'''
import ast, json, random, resource, sys, time
import grix

def pydecimal_path(version):
    import glob
    return glob.glob(f"/root/.pyenv/versions/{version}.*/lib/python{version}/_pydecimal.py")[0]

def pydecimal(version):
    return grix.Tree.from_ast(ast.parse(open(pydecimal_path(version)).read()))

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

# what: distance, mapping (grix.mapping) or diff (the command, text and
# HTML page written, in this process); pair: pydecimal, synthetic N K, or
# file A B.
what, name, algorithm, workers = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
if name == "pydecimal":
    files = pydecimal_path("3.10"), pydecimal_path("3.12")
elif name == "file":
    files = sys.argv[5], sys.argv[6]
if what == "diff":
    import contextlib, io, os
    from grix.cli import main
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    start = time.perf_counter()
    out, err = io.StringIO(), io.StringIO()
    # The page stays in BENCH_PAGES, for the browser.
    page = os.path.join(os.environ["BENCH_PAGES"], f"diff-{name}-{algorithm}.html")
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        status = main(["diff", *files, "--algorithm", algorithm, "--workers", str(workers), "--html", page])
    d = f"{len(out.getvalue().splitlines())} lines, page {os.path.getsize(page) / 2**20:.1f} MiB" \
        if status == 0 else f"exit {status}: {err.getvalue().strip().splitlines()[-1]}"
    n1 = n2 = "-"
else:
    if name == "synthetic":
        t1, t2 = synthetic(int(sys.argv[5]), int(sys.argv[6]), 1)
    elif name == "pydecimal":
        t1, t2 = pydecimal("3.10"), pydecimal("3.12")
    else:
        t1, t2 = grix.load(files[0]), grix.load(files[1])
    n1, n2 = len(t1), len(t2)
    call = grix.mapping if what == "mapping" else grix.distance
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    start = time.perf_counter()
    try:
        found = call(t1, t2, algorithm=algorithm, workers=workers)
        d = found if what == "distance" else found.distance
    except (MemoryError, ValueError) as error:  # refused before any work
        d = f"{type(error).__name__}: {error}"
seconds = time.perf_counter() - start
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(json.dumps({"n1": n1, "n2": n2, "distance": d, "seconds": seconds,
                  "peak_mib": peak / 1024, "inputs_mib": before / 1024}))
'''


def run(*args, pages):
    out = subprocess.run([sys.executable, "-c", CASE, *map(str, args)], capture_output=True, text=True,
                         env={**os.environ, "BENCH_PAGES": pages}, check=True, cwd=pathlib.Path(__file__).parent)
    return json.loads(out.stdout.strip().splitlines()[-1])


def browser_seconds(chromium, page, folder):
    """Headless chromium on the page: the wall time of the whole run, and
    the page's own time from navigation to the end of its script (read back
    from the DOM, which a probe appended to a copy of the page writes)."""
    probe = os.path.join(folder, "probe.html")
    with open(page, encoding="utf-8") as f:
        text = f.read()
    with open(probe, "w", encoding="utf-8") as f:
        f.write(text.replace("</body>", "<script>document.body.dataset.loadMs = performance.now()</script></body>"))
    start = time.perf_counter()
    done = subprocess.run([chromium, "--headless", "--no-sandbox", "--disable-gpu", "--enable-logging=stderr",
                           f"--user-data-dir={os.path.join(folder, 'profile')}", "--dump-dom",
                           pathlib.Path(probe).as_uri()], capture_output=True, text=True, timeout=600, check=True)
    wall = time.perf_counter() - start
    ready = 'data-ready="1"' in done.stdout
    console = [line for line in done.stderr.splitlines() if ":CONSOLE" in line]
    loaded = re.search(r'data-load-ms="([0-9.]+)"', done.stdout)
    return wall, float(loaded[1]) / 1000 if loaded else None, ready, console


def main() -> None:
    folder = tempfile.mkdtemp(prefix="grix-band-")
    big = os.path.join(folder, "compute_v1_messages.py")
    big_edited = os.path.join(folder, "compute_v1_messages_edited.py")
    shutil.copyfile(BIG_FILE, big)
    # In a process of its own: parsing the file takes some 100 MiB, which a
    # process forked from this one would start its ru_maxrss with.
    subprocess.run([sys.executable, "edited_source.py", big, big_edited, "50"], check=True,
                   cwd=pathlib.Path(__file__).parent)
    synthetic = ("synthetic", "-", 1, 100_000, 50)
    file_pair = ("file", "-", 1, big, big_edited)

    def case(what, pair, algorithm):
        return (what, pair[0], algorithm, *pair[2:])

    cases = [
        ("distance: _pydecimal.py 3.10 vs 3.12, before (full, keyroot)", ("distance", "pydecimal", "keyroot", 2)),
        ("distance: _pydecimal.py 3.10 vs 3.12, after (auto: band)", ("distance", "pydecimal", "auto", 2)),
        ("distance: 100,000 nodes, 2k = 100 edits, before (full)", case("distance", synthetic, "keyroot")),
        ("distance: 100,000 nodes, 2k = 100 edits, after (band)", case("distance", synthetic, "auto")),
        ("mapping: _pydecimal.py 3.10 vs 3.12, before (full, keyroot)", ("mapping", "pydecimal", "keyroot", 2)),
        ("mapping: _pydecimal.py 3.10 vs 3.12, after (auto: band)", ("mapping", "pydecimal", "auto", 2)),
        ("mapping: 100,000 nodes, 2k = 100 edits, before (full)", case("mapping", synthetic, "keyroot")),
        ("mapping: 100,000 nodes, 2k = 100 edits, after (band)", case("mapping", synthetic, "auto")),
        ("mapping: compute_v1_messages.py, 2k = 100 edits, before (full)", case("mapping", file_pair, "keyroot")),
        ("mapping: compute_v1_messages.py, 2k = 100 edits, after (band)", case("mapping", file_pair, "auto")),
        ("grix diff --html: _pydecimal.py 3.10 vs 3.12, before (full, keyroot)", ("diff", "pydecimal", "keyroot", 2)),
        ("grix diff --html: _pydecimal.py 3.10 vs 3.12, after (auto: band)", ("diff", "pydecimal", "auto", 2)),
        ("grix diff --html: compute_v1_messages.py, 2k = 100 edits, before (full)", case("diff", file_pair, "keyroot")),
        ("grix diff --html: compute_v1_messages.py, 2k = 100 edits, after (band)", case("diff", file_pair, "auto")),
    ]
    lines = ["# grix: large, close pairs in a band", "",
             f"Load average at start: {' '.join(f'{x:.2f}' for x in os.getloadavg())} "
             f"(2 cores shared with other work; times are wall-clock).", "",
             "Peak is ru_maxrss of a fresh process per case (the interpreter, grix and both trees included; "
             "'inputs' is the peak before the call). A `grix diff` row is the whole command in one process "
             "(reading both files, the mapping, the text on stdout and the HTML page), and its 'distance' "
             "column says what it wrote.", "",
             "The 100,000-node pairs: a random shallow tree with k = 50 renames to fresh labels and 50 "
             "inserted leaves; and compute_v1_messages.py of the Google Cloud SDK (101,391 nodes), with 50 "
             "string constants renamed and 50 call arguments added by bench/edited_source.py. Both are at "
             "distance exactly 100.", "",
             "| case | nodes | distance | seconds | peak MiB | inputs MiB |", "|---|---|---|---|---|---|"]
    for title, args in cases:
        r = run(*args, pages=folder)
        print(title, r, flush=True)
        nodes = f"{r['n1']:,} / {r['n2']:,}" if isinstance(r["n1"], int) else "-"
        lines.append(f"| {title} | {nodes} | {r['distance']} | {r['seconds']:.2f} | "
                     f"{r['peak_mib']:.0f} | {r['inputs_mib']:.0f} |")
    chromium = shutil.which("chromium")
    if chromium:
        lines += ["", "The HTML page of `grix diff` in headless chromium (`--dump-dom`, three runs each): the wall "
                  "time of the whole browser run, and the page's own time from navigation to the end of its "
                  "script (`performance.now()`); errors are the console messages chromium logged.", "",
                  "| page | MiB | browser run, s | page ready, s | drawn | console messages |",
                  "|---|---|---|---|---|---|"]
        for title, page in (("_pydecimal.py 3.10 vs 3.12", "diff-pydecimal-auto.html"),
                            ("compute_v1_messages.py, 2k = 100 edits (101,391 nodes)", "diff-file-auto.html")):
            path = os.path.join(folder, page)
            runs = [browser_seconds(chromium, path, folder) for _ in range(3)]
            print(title, runs, flush=True)
            walls = ", ".join(f"{wall:.1f}" for wall, *_ in runs)
            loads = ", ".join(f"{load:.1f}" if load is not None else "-" for _, load, *_ in runs)
            drawn = "yes" if all(ready for *_, ready, _ in runs) else "NO"
            lines.append(f"| {title} | {os.path.getsize(path) / 2**20:.1f} | {walls} | {loads} | {drawn} | "
                         f"{sum(len(console) for *_, console in runs)} |")
    lines.append("")
    lines.append(f"Load average at end: {' '.join(f'{x:.2f}' for x in os.getloadavg())}.")
    out = pathlib.Path(__file__).parent / "results" / "grix-band.md"
    out.write_text("\n".join(lines) + "\n")
    print(out)


if __name__ == "__main__":
    main()
