"""grix against ViennaRNA's tree edit distance, every representation and both
cost models.

The corpus is 502 structures folded by ViennaRNA from seeded random
sequences of 50 to 1,500 nucleotides (tests/python/rna_parity.db, written by
scripts/make_rna_parity.py with ViennaRNA's figures for the 501 neighbouring
pairs in rna_parity.json). grix is checked against those figures always; with
ViennaRNA installed (``viennarna``, a test tool), the figures of the pairs of
structures under 300 nucleotides are recomputed by the installed version,
fresh sequences are folded and compared, and ``RNAdistance`` is run where the
binary is on the path. A mismatch is reported as the named pairs that differ.
"""

import json
import random
import shutil
import subprocess
from pathlib import Path

import pytest

import grix
from conftest import vienna_rna

HERE = Path(__file__).resolve().parent
REPRESENTATIONS = ("full", "hit", "coarse", "weighted")
MODELS = {"usual": 0, "shapiro": 1}
# ViennaRNA's distance is slow on big trees: the live checks recompute the
# pairs of structures shorter than this, the fixture holds the rest.
LIVE_LENGTH = 300


def corpus():
    records = grix.rna.load_structures(HERE / "rna_parity.db")
    figures = json.loads((HERE / "rna_parity.json").read_text())
    return records, [tuple(pair) for pair in figures["pairs"]], figures["distances"]


def grix_distances(records, pairs, representation, model):
    trees = grix.rna.trees(records, representation)
    return grix.paired([trees[i] for i, _ in pairs], [trees[j] for _, j in pairs],
                       **grix.rna.costs(model)).tolist()


def named_mismatches(records, pairs, expected, found):
    return [f"{records[i].name} ~ {records[j].name}: ViennaRNA {e}, grix {f}"
            for (i, j), e, f in zip(pairs, expected, found) if e != f]


def test_corpus_covers_the_lengths():
    records, pairs, figures = corpus()
    lengths = [len(record.structure) for record in records]
    assert len(records) >= 500 and min(lengths) >= 50 and max(lengths) > 1400
    assert sorted(figures) == sorted(f"{r}/{m}" for r in REPRESENTATIONS for m in MODELS)
    assert all(len(values) == len(pairs) for values in figures.values())


@pytest.mark.parametrize("model", MODELS)
@pytest.mark.parametrize("representation", REPRESENTATIONS)
def test_equal_to_the_recorded_viennarna_figures(representation, model):
    records, pairs, figures = corpus()
    found = grix_distances(records, pairs, representation, model)
    assert named_mismatches(records, pairs, figures[f"{representation}/{model}"], found) == []


VIENNA_TREES = {
    "full": lambda RNA, s: RNA.expand_Full(s),
    "hit": lambda RNA, s: RNA.b2HIT(s),
    "coarse": lambda RNA, s: RNA.expand_Shapiro(RNA.b2C(s)),
    "weighted": lambda RNA, s: RNA.b2Shapiro(s),
}


def vienna_distances(RNA, structures, pairs, representation, model):
    RNA.cvar.cost_matrix = MODELS[model]
    try:
        trees = [RNA.make_tree(VIENNA_TREES[representation](RNA, s)) for s in structures]
        return [int(RNA.tree_edit_distance(trees[i], trees[j])) for i, j in pairs]
    finally:
        RNA.cvar.cost_matrix = 0


@pytest.mark.parametrize("model", MODELS)
@pytest.mark.parametrize("representation", REPRESENTATIONS)
def test_equal_to_installed_viennarna(representation, model):
    RNA = vienna_rna()
    records, pairs, _ = corpus()
    small = [(i, j) for i, j in pairs
             if len(records[i].structure) < LIVE_LENGTH and len(records[j].structure) < LIVE_LENGTH]
    assert len(small) > 400
    expected = vienna_distances(RNA, [r.structure for r in records], small, representation, model)
    found = grix_distances(records, small, representation, model)
    assert named_mismatches(records, small, expected, found) == []


def test_freshly_folded_structures():
    RNA = vienna_rna()
    rng = random.Random(2024)
    sequences = ["".join(rng.choice("ACGU") for _ in range(rng.randint(50, 110))) for _ in range(40)]
    records = [grix.rna.DotBracketRecord(f"fresh{k}", sequence, RNA.fold(sequence)[0], 0)
               for k, sequence in enumerate(sequences)]
    pairs = [(i, (i + 1) % len(records)) for i in range(len(records))]
    some = 12  # all pairs of the first ones, through pdist as well
    all_pairs = [(i, j) for i in range(some) for j in range(i + 1, some)]
    for representation in REPRESENTATIONS:
        for model in MODELS:
            expected = vienna_distances(RNA, [r.structure for r in records], pairs, representation, model)
            found = grix_distances(records, pairs, representation, model)
            assert named_mismatches(records, pairs, expected, found) == [], (representation, model)
            # One pair at a time: the short way of grix.distance.
            trees = grix.rna.trees(records, representation)
            one_by_one = [grix.distance(trees[i], trees[j], **grix.rna.costs(model)) for i, j in pairs]
            assert named_mismatches(records, pairs, expected, one_by_one) == [], (representation, model)
            expected = vienna_distances(RNA, [r.structure for r in records], all_pairs, representation, model)
            found = grix.rna.pdist(records[:some], representation=representation, costs=model).tolist()
            assert named_mismatches(records, all_pairs, expected, found) == [], (representation, model)


def test_rnadistance_binary():
    binary = shutil.which("RNAdistance")
    if binary is None:
        pytest.skip("RNAdistance is not on the path (the viennarna wheel has no binaries)")
    records, pairs, figures = corpus()
    small = [k for k, (i, j) in enumerate(pairs)
             if len(records[i].structure) < LIVE_LENGTH and len(records[j].structure) < LIVE_LENGTH][:60]
    for option, model in (([], "usual"), (["-S"], "shapiro")):
        text = "".join(f"{records[pairs[k][0]].structure}\n{records[pairs[k][1]].structure}\n" for k in small)
        output = subprocess.run([binary, "-Dfhcw", *option], input=text + "@\n", capture_output=True,
                                text=True, check=True).stdout.split()
        values = dict(zip("fhcw", ("full", "hit", "coarse", "weighted")))
        found: dict[str, list[int]] = {name: [] for name in values.values()}
        for key, value in zip(output[::2], output[1::2]):
            found[values[key.rstrip(":")]].append(int(float(value)))
        for representation, numbers in found.items():
            assert numbers == [figures[f"{representation}/{model}"][k] for k in small], (representation, model)
