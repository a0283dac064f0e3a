"""Writes the RNA parity fixture: structures folded by ViennaRNA from seeded
random sequences, and ViennaRNA's own tree edit distances between them.

    .venv/bin/python scripts/make_rna_parity.py

writes tests/python/rna_parity.db (one record per structure: ``>name`` and
the dot-bracket line; the sequences are left out to keep the file small, the
seed remakes them) and tests/python/rna_parity.json (for every pair (i, i+1)
of the file, ViennaRNA's distance in each representation and cost model). The
tests compare grix with these figures always, and recompute the smaller ones
with the installed ViennaRNA where it is present. Folding the long sequences
takes most of the time (minutes).
"""

from __future__ import annotations

import json
import random
import sys
import time
from pathlib import Path

import RNA

SEED = 20251208
HERE = Path(__file__).resolve().parent.parent / "tests" / "python"
# Lengths: most structures small (ViennaRNA's distance is slow on big pairs),
# a tail up to 1,500 nucleotides.
LENGTH_GROUPS = ((460, 50, 250), (30, 250, 700), (12, 700, 1500))

# How ViennaRNA's own tools build each tree (RNAdistance -D f, h, c, w).
VIENNA_TREES = {
    "full": lambda s: RNA.expand_Full(s),
    "hit": lambda s: RNA.b2HIT(s),
    "coarse": lambda s: RNA.expand_Shapiro(RNA.b2C(s)),
    "weighted": lambda s: RNA.b2Shapiro(s),
}
COST_MODELS = {"usual": 0, "shapiro": 1}


def vienna_distance(a: str, b: str, representation: str, model: str) -> int:
    RNA.cvar.cost_matrix = COST_MODELS[model]
    tree_a = RNA.make_tree(VIENNA_TREES[representation](a))
    tree_b = RNA.make_tree(VIENNA_TREES[representation](b))
    return int(RNA.tree_edit_distance(tree_a, tree_b))


def main() -> int:
    rng = random.Random(SEED)
    structures: list[str] = []
    started = time.perf_counter()
    for count, low, high in LENGTH_GROUPS:
        for _ in range(count):
            sequence = "".join(rng.choice("ACGU") for _ in range(rng.randint(low, high)))
            structure, _energy = RNA.fold(sequence)
            structures.append(structure)
        print(f"folded {len(structures)} after {time.perf_counter() - started:.0f} s", file=sys.stderr)
    pairs = [(i, i + 1) for i in range(len(structures) - 1)]
    figures: dict[str, list[int]] = {}
    for representation in VIENNA_TREES:
        for model in COST_MODELS:
            figures[f"{representation}/{model}"] = [
                vienna_distance(structures[i], structures[j], representation, model) for i, j in pairs]
            print(f"{representation}/{model} after {time.perf_counter() - started:.0f} s", file=sys.stderr)
    names = [f"s{k:03d}_{len(s)}nt" for k, s in enumerate(structures)]
    (HERE / "rna_parity.db").write_text(
        "".join(f">{name}\n{structure}\n" for name, structure in zip(names, structures)), encoding="ascii")
    (HERE / "rna_parity.json").write_text(json.dumps({
        "made_by": f"scripts/make_rna_parity.py with ViennaRNA {RNA.__version__}, seed {SEED}",
        "pairs": pairs, "distances": figures}, separators=(",", ":")) + "\n", encoding="ascii")
    return 0


if __name__ == "__main__":
    sys.exit(main())
