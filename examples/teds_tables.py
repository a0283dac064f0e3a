"""TEDS of predicted HTML tables against the true ones, on pairs of real
tables with recognition-like errors (a JSON object a line with "pred",
"true", "id" and "perturbations").

    python examples/teds_tables.py [PAIRS.jsonl]

The default is data/tables/teds_pairs.jsonl in the project.
"""

import collections
import json
import pathlib
import sys
import time

import grix

DEFAULT = pathlib.Path(__file__).resolve().parents[1] / "data" / "tables" / "teds_pairs.jsonl"


def main(path: pathlib.Path, given: bool) -> None:
    if not path.exists():
        print(f"teds_tables: no pairs at {path}" + ("" if given else "; skipped (pass a .jsonl path)"),
              file=sys.stderr)
        sys.exit(1 if given else 0)
    pairs = [json.loads(line) for line in path.read_text(encoding="utf-8").splitlines() if line.strip()]
    preds, trues = [pair["pred"] for pair in pairs], [pair["true"] for pair in pairs]

    start = time.perf_counter()
    full = grix.teds_paired(preds, trues)
    middle = time.perf_counter()
    structure = grix.teds_paired(preds, trues, structure_only=True)
    end = time.perf_counter()
    print(f"{len(pairs)} table pairs from {path.name}")
    print(f"  TEDS         mean {full.mean():.4f}  ({middle - start:.2f} s)")
    print(f"  TEDS-Struct  mean {structure.mean():.4f}  ({end - middle:.2f} s)")

    # What each kind of error costs: the mean score of the pairs that have it.
    by_kind = collections.defaultdict(list)
    for pair, score, struct in zip(pairs, full.tolist(), structure.tolist()):
        for kind in {change.split(":")[0] for change in pair.get("perturbations", [])}:
            by_kind[kind].append((score, struct))
    print("\n  error kind    pairs  TEDS    TEDS-Struct")
    for kind, scores in sorted(by_kind.items()):
        print(f"  {kind:<12} {len(scores):>6}  {sum(s for s, _ in scores) / len(scores):.4f}"
              f"  {sum(s for _, s in scores) / len(scores):.4f}")

    worst = sorted(range(len(pairs)), key=lambda k: full[k])[:3]
    print("\n  lowest scores:")
    for k in worst:
        print(f"  {pairs[k].get('id', k)}  TEDS {full[k]:.4f}  TEDS-Struct {structure[k]:.4f}  "
              f"{', '.join(pairs[k].get('perturbations', []))}")


if __name__ == "__main__":
    main(pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 else DEFAULT, len(sys.argv) > 1)
