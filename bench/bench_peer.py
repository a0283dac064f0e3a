"""grix against the best C++ peer, and its keyroot kernel against a plain
rendering of the same recurrence, side by side on the same tree pairs.

  peers   grix.distance (workers=1) against tree-similarity's APTED and
          Zhang-Shasha (bench/ts_ted, built outside this repository as its
          README says; --peer names the binary) on every shape of
          bench/tree_shapes.py, Python syntax trees, XML/HTML documents, JSON
          records (a root over many small record objects) and HTML tables
          (the largest pairs of data/tables/teds_pairs.jsonl); then stars of
          20,000 x 10,000 children, grix alone and the peers when they finish
          within --big-timeout seconds.
  plain   grix.distance(algorithm="keyroot", workers=1) against
          bench/plain_zhang_shasha (the textbook recurrence; --plain names the
          binary) on the same pairs.

Each time is the median of --repeats runs (at least 3) measured pair by pair,
grix first and the other program right after it. grix's times include its
own preprocessing and the Python call; the peer's include its tree indexing
(see bench/ts_ted/README.md) and the plain program's its postorder numbering,
keyroots and choice of orientation. Every distance is checked against grix's.
Writes bench/results/grix-peer.md.

  make install cpp-build   # builds build/rel/bench/plain_zhang_shasha too
  .venv/bin/python bench/bench_peer.py --peer /work/scratch-ts/ts_ted \\
      --plain build/rel/bench/plain_zhang_shasha

A full run (sizes 1,000 and 2,000, the big stars with both peers) takes
several minutes; --no-big-peer, --shapes and --sizes make it shorter.
"""

import argparse
import json
import os
import pathlib
import platform
import random
import statistics
import subprocess
import sys
import time

HERE = pathlib.Path(__file__).parent
sys.path.insert(0, str(HERE))

import grix  # noqa: E402
import tree_shapes  # noqa: E402

RESULTS = HERE / "results"
TABLE_PAIRS = HERE.parent / "data" / "tables" / "teds_pairs.jsonl"
SHAPES = list(tree_shapes.GENERATED) + ["python-ast", "xml-html", "json-records", "tables"]
# The targets for grix's time over the best peer's.
STAR_TARGET, OTHER_TARGET, PLAIN_TARGET = 0.35, 0.5, 0.55

OUT = [RESULTS / "grix-peer.md"]


def save(lines):
    """Writes what is measured so far, so that a long run leaves its figures."""
    OUT[0].write_text("\n".join(lines) + "\n")


# -- tree pairs -------------------------------------------------------------

def as_tree(labels_parents):
    labels, parents = labels_parents
    return grix.Tree.from_parents(labels, parents)


def json_records_pair(n, seed=1):
    """A list of about n/10 small record objects, and a copy with a few
    values changed, one record dropped and one key added."""
    rng = random.Random(f"json-records/{n}/{seed}")
    words = ["alpha", "beta", "gamma", "delta", "eps", "zeta", "eta", "theta"]
    records = [{"id": k, "name": rng.choice(words), "tags": rng.sample(words, 2),
                "score": rng.randrange(100)} for k in range(max(1, n // 10))]
    edited = json.loads(json.dumps(records))
    for record in rng.sample(edited, max(1, len(edited) // 20)):
        record["score"] = rng.randrange(100)
        record["name"] = rng.choice(words)
    if len(edited) > 1:
        del edited[rng.randrange(len(edited))]
    edited[rng.randrange(len(edited))]["note"] = "added"
    return f"json-records-{n}", grix.Tree.from_json(records), grix.Tree.from_json(edited)


def table_pairs(count=4):
    """The `count` largest table pairs (ground truth, prediction) of the
    project's TEDS data, as HTML trees with their cell text."""
    records = [json.loads(line) for line in TABLE_PAIRS.read_text().splitlines() if line.strip()]
    pairs = [(r["id"], grix.Tree.from_html(r["true"]), grix.Tree.from_html(r["pred"])) for r in records]
    pairs.sort(key=lambda p: -(len(p[1].labels) + len(p[2].labels)))
    return [(f"table-{name}", a, b) for name, a, b in pairs[:count]]


def shape_pairs(shapes, sizes):
    """(shape, name, t1, t2) for every shape and size; a star of size n has
    n children, so that "star 2,000 children" is the pair at 2,000."""
    corpora = {}
    if "python-ast" in shapes:
        corpora["python-ast"] = tree_shapes.python_ast_trees()
    if "xml-html" in shapes:
        corpora["xml-html"] = tree_shapes.markup_trees()
    for shape in shapes:
        if shape == "tables":
            for name, a, b in table_pairs():
                yield shape, name, a, b
            continue
        for n in sizes:
            if shape == "json-records":
                name, a, b = json_records_pair(n)
                yield shape, name, a, b
                continue
            found = tree_shapes.tree_pair(shape, n + 1 if shape == "star" else n, seed=1,
                                          corpus=corpora.get(shape))
            if found is None:
                print(f"{shape}: no tree of about {n} nodes", file=sys.stderr)
                continue
            name, a, b = found
            yield shape, name, as_tree(a), as_tree(b)


def big_star_pair(children1, children2):
    rng = random.Random("big-star")
    return (f"star-{children1}x{children2}", as_tree(tree_shapes.star(children1 + 1, rng)),
            as_tree(tree_shapes.star(children2 + 1, rng)))


# -- running ----------------------------------------------------------------

def encode(t1, t2):
    """One pair in the drivers' input: node count, label ids, parents."""
    codes = {}
    lines = ["1"]
    for tree in (t1, t2):
        lines.append(str(len(tree.labels)))
        lines.append(" ".join(str(codes.setdefault(label, len(codes))) for label in tree.labels))
        lines.append(" ".join(str(int(p)) for p in tree.parents))
    return "\n".join(lines) + "\n"


def run_tool(argv, text, timeout):
    """The tool's output fields, or None when it ran past `timeout` seconds."""
    try:
        done = subprocess.run(argv, input=text, capture_output=True, text=True, timeout=timeout, check=True)
    except subprocess.TimeoutExpired:
        return None
    return done.stdout.split()


def grix_time(t1, t2, repeats, algorithm="auto"):
    seconds, d = [], None
    for _ in range(repeats):
        start = time.perf_counter()
        d = grix.distance(t1, t2, workers=1, algorithm=algorithm)
        seconds.append(time.perf_counter() - start)
    return d, statistics.median(seconds)


def leftmost_cells(tree):
    """Forest cells of Zhang-Shasha's leftmost-path keyroots for one side:
    the sum over keyroots (the root and every node that is not a first child)
    of the subtree size."""
    parents = [int(p) for p in tree.parents]
    size = [1] * len(parents)
    for i in range(len(parents) - 1, 0, -1):
        size[parents[i]] += size[i]
    return sum(size[i] for i in range(len(parents)) if i == 0 or parents[i] != i - 1)


def peer_run(peer, algorithm, t1, t2, repeats, timeout):
    """(distance, total seconds, ted seconds) of one peer algorithm, or None."""
    fields = run_tool([peer, str(repeats), algorithm], encode(t1, t2), timeout)
    if fields is None:
        return None
    at = 0 if algorithm == "apted" else 3
    return int(float(fields[at])), float(fields[at + 1]), float(fields[at + 2])


def check(name, what, expected, got):
    if got != expected:
        raise AssertionError(f"{name}: {what} gives {got}, grix {expected}")


def fmt(seconds):
    return "-" if seconds is None else f"{seconds:.4g}"


def ratio(a, b):
    return "-" if a is None or not b else f"{a / b:.2f}"


def peer_section(args, pairs, lines):
    lines += ["## grix against tree-similarity (APTED, Zhang-Shasha)", "",
              "Seconds, medians of the repeats. \"total\" is the peer's tree indexing plus "
              "the distance call (what grix's time also includes: its preprocessing and the "
              "Python call); \"ted\" the distance call alone. Ratios are grix over the peer's "
              "total; lower is better. Zhang-Shasha is skipped above "
              f"{args.zs_cells:.0e} forest cells (its fixed leftmost paths).", "",
              "| shape | pair | n1 | n2 | distance | grix | APTED total | APTED ted | ZS total | ZS ted "
              "| grix/APTED | grix/ZS | grix/best | target | met |",
              "|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---|"]
    for shape, name, t1, t2 in pairs:
        n1, n2 = len(t1.labels), len(t2.labels)
        d, grix_s = grix_time(t1, t2, args.repeats)
        apted = peer_run(args.peer, "apted", t1, t2, args.repeats, args.timeout)
        cells = leftmost_cells(t1) * leftmost_cells(t2)
        zs = peer_run(args.peer, "zs", t1, t2, args.repeats, args.timeout) if cells <= args.zs_cells else None
        if apted is not None:
            check(name, "APTED", d, apted[0])
        if zs is not None:
            check(name, "Zhang-Shasha", d, zs[0])
        totals = [r[1] for r in (apted, zs) if r is not None]
        best = min(totals) if totals else None
        target = STAR_TARGET if shape == "star" else OTHER_TARGET
        met = "-" if best is None else ("yes" if grix_s / best <= target else "no")
        zs_note = f"skipped ({cells:.1e} cells)" if cells > args.zs_cells else ("timeout" if zs is None else fmt(zs[1]))
        lines.append(f"| {shape} | {name} | {n1} | {n2} | {d} | {fmt(grix_s)} | "
                     f"{fmt(apted[1]) if apted else 'timeout'} | {fmt(apted[2]) if apted else '-'} | "
                     f"{zs_note} | {fmt(zs[2]) if zs else '-'} | "
                     f"{ratio(grix_s, apted[1] if apted else None)} | {ratio(grix_s, zs[1] if zs else None)} | "
                     f"{ratio(grix_s, best)} | {target} | {met} |")
        print(lines[-1], flush=True)
        save(lines)
    lines.append("")


def big_star_section(args, lines):
    children1, children2 = (int(c) for c in args.big_star.split(","))
    name, t1, t2 = big_star_pair(children1, children2)
    d, grix_s = grix_time(t1, t2, args.repeats)
    lines += [f"## Stars of {children1:,} x {children2:,} children", "",
              f"grix: distance {d}, {grix_s:.3f} s (target under 1 s: "
              f"{'met' if grix_s < 1 else 'not met'}).", ""]
    save(lines)
    if args.peer and not args.no_big_peer:
        lines += [f"The peers once each (a run takes long enough to be steady), each given "
                  f"{args.big_timeout:.0f} s.", "",
                  "| peer | total (s) | ted (s) | grix/peer |", "|---|---:|---:|---:|"]
        # One run each: a single one takes long enough that its time is stable.
        for algorithm, label in (("apted", "APTED"), ("zs", "Zhang-Shasha")):
            result = peer_run(args.peer, algorithm, t1, t2, 1, args.big_timeout)
            if result is None:
                lines.append(f"| {label} | over {args.big_timeout:.0f} s | - | - |")
            else:
                check(name, label, d, result[0])
                lines.append(f"| {label} | {result[1]:.3f} | {result[2]:.3f} | {grix_s / result[1]:.3f} |")
            print(lines[-1], flush=True)
            save(lines)
        lines.append("")


def plain_section(args, pairs, lines):
    lines += ["## The keyroot kernel against a plain rendering of the same recurrence", "",
              "grix.distance(algorithm=\"keyroot\", workers=1) against bench/plain_zhang_shasha "
              "(textbook Zhang-Shasha, int unit costs, (n1+1) x (n2+1) forest and tree "
              "matrices, the cheaper of the two orientations as grix picks it; built with the "
              f"engine's flags). Target: grix/plain at most {PLAIN_TARGET}.", "",
              "| shape | pair | n1 | n2 | distance | plain cells | grix keyroot (s) | plain (s) "
              "| grix/plain | met |", "|---|---|---:|---:|---:|---:|---:|---:|---:|---|"]
    ratios = []
    for shape, name, t1, t2 in pairs:
        d, grix_s = grix_time(t1, t2, args.repeats, algorithm="keyroot")
        fields = run_tool([args.plain, str(args.repeats)], encode(t1, t2), args.timeout)
        if fields is None:
            lines.append(f"| {shape} | {name} | {len(t1.labels)} | {len(t2.labels)} | {d} | - | "
                         f"{fmt(grix_s)} | timeout | - | - |")
        else:
            check(name, "plain Zhang-Shasha", d, int(fields[0]))
            plain_s = float(fields[1])
            ratios.append(grix_s / plain_s)
            lines.append(f"| {shape} | {name} | {len(t1.labels)} | {len(t2.labels)} | {d} | {int(fields[2]):.3g} | "
                         f"{fmt(grix_s)} | {fmt(plain_s)} | {grix_s / plain_s:.2f} | "
                         f"{'yes' if grix_s / plain_s <= PLAIN_TARGET else 'no'} |")
        print(lines[-1], flush=True)
        save(lines)
    if ratios:
        lines += ["", f"Median grix/plain over these pairs: {statistics.median(ratios):.2f}."]
    lines.append("")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--peer", help="the ts_ted binary (bench/ts_ted/README.md)")
    parser.add_argument("--plain", help="the plain_zhang_shasha binary")
    parser.add_argument("--sizes", default="1000,2000")
    parser.add_argument("--shapes", default=",".join(SHAPES))
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--timeout", type=float, default=120, help="seconds per peer call on the shapes")
    parser.add_argument("--zs-cells", type=float, default=2e9,
                        help="skip tree-similarity's Zhang-Shasha above this many forest cells")
    parser.add_argument("--big-timeout", type=float, default=300, help="seconds per peer call on the big stars")
    parser.add_argument("--big-star", default="20000,10000", help="children of the two big stars")
    parser.add_argument("--no-big-star", action="store_true", help="leave out the big stars")
    parser.add_argument("--no-big-peer", action="store_true", help="the big stars with grix alone")
    parser.add_argument("--out", default=str(OUT[0]))
    args = parser.parse_args()
    if args.repeats < 3:
        parser.error("--repeats must be at least 3 (medians of at least three runs)")
    if not args.peer and not args.plain:
        parser.error("give --peer, --plain or both")
    for tool in (args.peer, args.plain):
        if tool and not os.access(tool, os.X_OK):
            parser.error(f"{tool} is not an executable file")
    OUT[0] = pathlib.Path(args.out)
    shapes = args.shapes.split(",")
    unknown = sorted(set(shapes) - set(SHAPES))
    if unknown:
        parser.error(f"unknown shapes: {', '.join(unknown)} (known: {', '.join(SHAPES)})")
    sizes = [int(s) for s in args.sizes.split(",")]

    lines = ["# grix against tree-similarity and a plain Zhang-Shasha", "",
             f"Machine: {platform.processor() or platform.machine()}, {os.cpu_count()} cores, "
             f"Python {platform.python_version()}, {time.strftime('%Y-%m-%d %H:%M')}. "
             f"Medians of {args.repeats} runs, each pair timed side by side. "
             f"Load average at the start: {os.getloadavg()[0]:.2f}. "
             f"Command: `{' '.join([pathlib.Path(sys.argv[0]).name] + sys.argv[1:])}`.", ""]
    save(lines)
    pairs = list(shape_pairs(shapes, sizes))
    if args.peer:
        peer_section(args, pairs, lines)
        save(lines)
    if not args.no_big_star:
        big_star_section(args, lines)
        save(lines)
    if args.plain:
        plain_section(args, pairs, lines)
        save(lines)
    print(f"wrote {OUT[0]}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
