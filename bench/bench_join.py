"""Benchmark of grix.join against the join of an earlier grix, on two seeded
corpora of this machine:

  syntax  3,000 FunctionDef syntax trees of the standard library (10-2,000
          nodes), from ~/.pyenv/versions/3.12*/lib/python3.12/*.py;
  html    1,000 DOM trees of HTML files found here (10-2,000 nodes), from
          /usr/share/doc and the like.

Thresholds 1, 2, 3, 5, 8 and 12 on one worker, the two joins taking turns
(each in a process of its own that keeps its trees), medians of --repeats;
then the counts of each stage and the 2-worker speedup. The earlier grix is a
package folder given with --baseline, for example built from another commit:

  git archive <commit> | tar -x -C /tmp/old && \\
    .venv/bin/pip install --no-build-isolation --no-deps --target /tmp/old-pkg /tmp/old
  .venv/bin/python bench/bench_join.py --baseline /tmp/old-pkg

Writes bench/results/grix-join.md.
"""

import argparse
import ast
import glob
import json
import os
import pathlib
import pickle
import platform
import random
import statistics
import subprocess
import sys
import tempfile
import warnings

HERE = pathlib.Path(__file__).parent
RESULTS = HERE / "results"
THRESHOLDS = (1, 2, 3, 5, 8, 12)
HTML_PATTERNS = ("/usr/share/doc/**/*.html", "/usr/share/**/*.html", "/usr/share/**/*.htm",
                 "/usr/lib/node_modules/**/*.html", "/usr/lib/google-cloud-sdk/**/*.html",
                 os.path.expanduser("~/.rustup/toolchains/*/share/doc/**/*.html"))
# Larger files hold more than 2,000 nodes; not parsing them saves most of the time.
MAX_HTML_BYTES = 150_000


def syntax_corpus(count, seed):
    import grix

    files = []
    for pattern in sorted(glob.glob(os.path.expanduser("~/.pyenv/versions/3.12*/lib/python3.12"))):
        files += sorted(glob.glob(os.path.join(pattern, "*.py")))
    trees = []
    for path in files:
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                module = ast.parse(pathlib.Path(path).read_text(encoding="utf-8"))
        except (SyntaxError, UnicodeDecodeError, ValueError):
            continue
        for node in ast.walk(module):
            if isinstance(node, ast.FunctionDef):
                tree = grix.Tree.from_ast(node)
                if 10 <= len(tree) <= 2000:
                    trees.append(tree)
    return random.Random(seed).sample(trees, min(count, len(trees)))


def html_corpus(count, seed):
    """Files in a seeded order, pattern by pattern (the large documentation
    folders last), until `count` trees of 10-2,000 nodes are found."""
    import grix

    rng, trees, seen = random.Random(seed), [], set()
    for pattern in HTML_PATTERNS:
        files = sorted(set(glob.glob(pattern, recursive=True)) - seen)
        seen.update(files)
        rng.shuffle(files)
        for path in files:
            try:
                if os.path.getsize(path) > MAX_HTML_BYTES:
                    continue
                tree = grix.Tree.from_html(pathlib.Path(path))
            except (OSError, ValueError, UnicodeDecodeError):
                continue
            if 10 <= len(tree) <= 2000:
                trees.append(tree)
                if len(trees) == count:
                    return trees
    return trees


WORKER = """
import json, pickle, sys, time
import grix
with open(sys.argv[1], "rb") as handle:
    trees = [grix.Tree.from_parents(labels, parents) for labels, parents in pickle.load(handle)]
for line in sys.stdin:
    threshold, workers = map(int, line.split())
    start = time.perf_counter()
    found = grix.join(trees, threshold, workers=workers)
    seconds = time.perf_counter() - start
    counts = getattr(found, "counts", None) or {"pruned_by_size": found.pruned_by_size,
                                                 "pruned_by_labels": found.pruned_by_labels}
    print(json.dumps({"seconds": seconds, "pairs": len(found), "counts": counts}), flush=True)
"""


class Joiner:
    """A process holding the corpus, joining on request with the grix found
    on `path` (None: this one)."""

    def __init__(self, corpus_file, path):
        env = dict(os.environ)
        if path:
            env["PYTHONPATH"] = path
        self.process = subprocess.Popen([sys.executable, "-c", WORKER, corpus_file], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, text=True, env=env)

    def join(self, threshold, workers=1):
        self.process.stdin.write(f"{threshold} {workers}\n")
        self.process.stdin.flush()
        return json.loads(self.process.stdout.readline())

    def close(self):
        self.process.stdin.close()
        self.process.wait()


def bench_corpus(name, trees, args, rows):
    with tempfile.NamedTemporaryFile(suffix=".pickle", delete=False) as handle:
        pickle.dump([(list(tree.labels), tree.parents.tolist()) for tree in trees], handle)
    new, old = Joiner(handle.name, None), Joiner(handle.name, args.baseline) if args.baseline else None
    sizes = sorted(len(tree) for tree in trees)
    rows += ["", f"## {name}: {len(trees):,} trees, {sizes[0]}-{sizes[-1]} nodes (median {sizes[len(sizes) // 2]})",
             "", "| tau | matches | earlier join | this join | speedup | size | labels | pre-order | post-order "
             "| bounds meet | verified | failed |", "|---|---|---|---|---|---|---|---|---|---|---|---|"]
    try:
        for threshold in args.thresholds:
            times_new, times_old = [], []
            for _ in range(args.repeats):
                result = new.join(threshold)
                times_new.append(result["seconds"])
                if old is not None:
                    before = old.join(threshold)
                    times_old.append(before["seconds"])
                    assert before["pairs"] == result["pairs"], (before["pairs"], result["pairs"])
            c, t_new = result["counts"], statistics.median(times_new)
            t_old = statistics.median(times_old) if times_old else float("nan")
            row = (f"| {threshold} | {result['pairs']:,} | {t_old:.3f} s | {t_new:.3f} s | {t_old / t_new:.1f}× | "
                   f"{c['pruned_by_size']:,} | {c['pruned_by_labels']:,} | {c['pruned_by_preorder']:,} | "
                   f"{c['pruned_by_postorder']:,} | {c['exact_by_bounds']:,} | {c['verified']:,} | "
                   f"{c['failed_verification']:,} |")
            print(row, flush=True)
            rows.append(row)
        threshold = args.speedup_threshold
        one = statistics.median(new.join(threshold, 1)["seconds"] for _ in range(args.repeats))
        two = statistics.median(new.join(threshold, 2)["seconds"] for _ in range(args.repeats))
        rows += ["", f"Two workers at tau = {threshold}: {one:.3f} s on one, {two:.3f} s on two ({one / two:.2f}×)."]
        print(rows[-1], flush=True)
    finally:
        new.close()
        if old is not None:
            old.close()
        os.unlink(handle.name)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("corpora", nargs="*", help="syntax, html or both (the default)")
    parser.add_argument("--baseline", help="folder holding the earlier grix package")
    parser.add_argument("--thresholds", type=lambda s: [int(x) for x in s.split(",")], default=THRESHOLDS)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--speedup-threshold", type=int, default=12)
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--syntax-trees", type=int, default=3000)
    parser.add_argument("--html-trees", type=int, default=1000)
    parser.add_argument("--out", default=str(RESULTS / "grix-join.md"))
    args = parser.parse_args()
    rows = ["# Similarity join", "",
            f"{platform.machine()}, {os.cpu_count()} cores, Python {platform.python_version()}; one worker "
            f"unless said; medians of {args.repeats} runs, the two joins taking turns. Stages: pairs ruled "
            "out by size, by labels (mostly never touched: prefix filter), by the pre-order and post-order "
            "sequence bounds, decided exactly because the greedy mapping's cost meets a lower bound, "
            "verified by the bounded distance, and of those the ones above the threshold."]
    corpora = args.corpora or ["syntax", "html"]
    unknown = set(corpora) - {"syntax", "html"}
    if unknown:
        parser.error(f"unknown corpus {sorted(unknown)[0]!r}: choose syntax or html")
    for name in corpora:
        trees = syntax_corpus(args.syntax_trees, args.seed) if name == "syntax" else \
            html_corpus(args.html_trees, args.seed)
        bench_corpus(name, trees, args, rows)
    pathlib.Path(args.out).write_text("\n".join(rows) + "\n")


if __name__ == "__main__":
    main()
