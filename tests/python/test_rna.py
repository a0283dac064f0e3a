"""RNA secondary structures: the four trees against ViennaRNA's own tree
strings, the readers' errors, the cost models against an independent
recursion on small cuts, the batch functions with the costs, and the two
engines against each other past ViennaRNA's 4,000-node limit."""

import functools
import math
import pickle
import random
import warnings
from pathlib import Path

import pytest

import grix
from conftest import vienna_rna
from grix.readers.rna import parse_dot_bracket_records, read_dot_bracket

HERE = Path(__file__).resolve().parent
REPRESENTATIONS = ("full", "hit", "coarse", "weighted")
MODELS = ("usual", "shapiro")


def fixture_structures():
    return [record.structure for record in grix.rna.load_structures(HERE / "rna_parity.db")]


def parse_tree_string(text):
    """A ViennaRNA tree string such as ``((U1)((U2)P3)R)`` as pre-order
    labels and parents: every node is ``(`` children label ``)``."""
    labels, parents, open_nodes, label = [], [], [], ""
    for char in text:
        if char == "(":
            parents.append(open_nodes[-1] if open_nodes else -1)
            open_nodes.append(len(labels))
            labels.append(None)
        elif char == ")":
            labels[open_nodes.pop()] = label
            label = ""
        else:
            label += char
    assert not open_nodes
    return labels, parents


# ViennaRNA's own strings for the structure its documentation draws.
DOCUMENTED = ".((..(((...)))..((..))))."
KNOWN_TREES = [
    (DOCUMENTED, "full", "((U)(((U)(U)((((U)(U)(U)P)P)P)(U)(U)(((U)(U)P)P)P)P)(U)R)"),
    (DOCUMENTED, "hit", "((U1)((U2)((U3)P3)(U2)((U2)P2)P2)(U1)R)"),
    (DOCUMENTED, "coarse", "(((((H)S)((H)S)M)S)R)"),
    (DOCUMENTED, "weighted", "((((((H3)S3)((H2)S2)M4)S2)E2)R)"),
    # b2C misses the empty 5' side of a loop closed by a lone pair; b2Shapiro does not.
    ("(((...)).)", "coarse", "(((((H)S)I)S)R)"),
    ("(((...)).)", "weighted", "(((((H3)S2)B1)S1)R)"),
    ("((.(...)))", "coarse", "(((((H)S)B)S)R)"),
    ("((...).)", "coarse", "(((((H)S)I)S)R)"),
    ("((...).)", "weighted", "(((((H3)S1)B1)S1)R)"),
    ("", "full", "(R)"), ("", "hit", "(R)"), ("", "coarse", "(R)"), ("", "weighted", "(R)"),
    ("...", "hit", "((U3)R)"), ("...", "coarse", "(R)"), ("...", "weighted", "((E3)R)"),
    ("((..)(..))", "weighted", "(((((H2)S1)((H2)S1)M0)S1)R)"),
]


@pytest.mark.parametrize("structure, representation, expected", KNOWN_TREES)
def test_known_trees(structure, representation, expected):
    labels, parents, _ = read_dot_bracket(structure, representation)
    assert (labels, parents) == parse_tree_string(expected)


@pytest.mark.parametrize("representation", REPRESENTATIONS)
def test_trees_equal_viennarna_node_for_node(representation):
    RNA = vienna_rna()
    build = {"full": RNA.expand_Full, "hit": RNA.b2HIT, "coarse": lambda s: RNA.expand_Shapiro(RNA.b2C(s)),
             "weighted": RNA.b2Shapiro}[representation]
    rng = random.Random(7)
    extra = ["." * rng.randint(0, 3) + s + "." * rng.randint(0, 2) for s in fixture_structures()[:100]]
    # Shapes folding rarely gives: empty hairpins, lone pairs, bulges on either side.
    extra += [random_structure(rng, rng.randint(0, 40)) for _ in range(600)]
    mismatches = [s for s in fixture_structures() + extra
                  if read_dot_bracket(s, representation)[:2] != parse_tree_string(build(s))]
    assert mismatches == []


def random_structure(rng, length):
    """A balanced dot-bracket string of about `length` positions."""
    out, depth = [], 0
    for k in range(length):
        draw = rng.random()
        if depth and (draw < 0.35 or depth >= length - k):
            out.append(")")
            depth -= 1
        elif draw < 0.7 and depth + 1 < length - k:
            out.append("(")
            depth += 1
        else:
            out.append(".")
    return "".join(out) + ")" * depth


def test_sources_are_spans():
    labels, _, source = read_dot_bracket(".((..)).", "hit")
    assert list(zip(labels, source)) == [("R", (0, 8)), ("U1", (0, 1)), ("P2", (1, 7)), ("U2", (3, 5)),
                                         ("U1", (7, 8))]
    labels, _, source = read_dot_bracket(".((..)).", "weighted")
    assert list(zip(labels, source)) == [("R", (0, 8)), ("E2", (0, 8)), ("S2", (1, 7)), ("H2", (2, 6))]
    tree = grix.Tree.from_dot_bracket(" (.) ")
    assert tree.labels == ("R", "P", "U") and tree.source == ((0, 3), (0, 3), (1, 2))


@pytest.mark.parametrize("structure, message", [
    ("(()", "'(' at position 1 is never closed"),
    ("(.))", "')' at position 4 closes no '('"),
    ("((.x))", "unknown character 'x' at position 4"),
    ("((.[.)).]", "pseudoknot bracket '[' at position 4"),
    ("(( ))", "unknown character ' ' at position 3"),
])
def test_bad_structures_name_the_position(structure, message):
    with pytest.raises(ValueError, match="^dot-bracket: " + message.replace("(", r"\(").replace(")", r"\)")
                       .replace("[", r"\[")):
        grix.Tree.from_dot_bracket(structure)


def test_pseudoknots_as_unpaired_and_bad_arguments():
    assert grix.Tree.from_dot_bracket("((.[.)).]", pseudoknots="unpaired") == \
        grix.Tree.from_dot_bracket("((...))..")
    with pytest.raises(TypeError, match="must be a str"):
        grix.Tree.from_dot_bracket(b"(..)")
    with pytest.raises(ValueError, match="representation must be one of"):
        grix.Tree.from_dot_bracket("(..)", "shapiro")
    with pytest.raises(ValueError, match="pseudoknots must be"):
        grix.Tree.from_dot_bracket("(..)", pseudoknots="ignore")


SUBOPT_OUTPUT = """\
# RNAsubopt output: one sequence, several structures with energies
GGGGAAAACCCCAUCCGAAAGGAU  -9.40   2.00
((((....))))((((....)))) -9.40
((((....))))............ -5.90
"""


def test_records_of_a_file(tmp_path):
    path = tmp_path / "two.dbn"
    path.write_text(">first\nGGGAAACCC\n(((...))) (-1.20)\n\n>second\n.((...)).\n")
    records = grix.rna.load_structures(path)
    assert [(r.name, r.sequence, r.structure, r.line) for r in records] == [
        ("first", "GGGAAACCC", "(((...)))", 3), ("second", None, ".((...)).", 6)]
    with pytest.warns(UserWarning, match="holds 2 structures; this is the first"):
        assert grix.load(path) == grix.Tree.from_dot_bracket("(((...)))")
    with pytest.warns(UserWarning):
        assert grix.load(path, representation="hit").labels == ("R", "P3", "U3")
    subopt = parse_dot_bracket_records(SUBOPT_OUTPUT)
    assert [r.structure[:12] for r in subopt] == ["((((....))))"] * 2
    assert {r.sequence for r in subopt} == {"GGGGAAAACCCCAUCCGAAAGGAU"}
    single = tmp_path / "one.db"
    single.write_text(".((...)).\n")
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert len(grix.load(single)) == 8


@pytest.mark.parametrize("text, message", [
    (">a\nGGGAAACC\n(((...)))\n", "line 3: the structure has 9 positions but the sequence has 8; "
                                  "they part at position 9"),
    (">a\n(((...)))\n>b\n((..)\n", "line 4: '(' at position 1 is never closed"),
    ("(((...)))\n((.-.))\n", "line 2: unknown character '-' at position 4"),
    ("# only a comment\n", "no structure in the file"),
])
def test_bad_files_name_the_line(tmp_path, text, message):
    path = tmp_path / "bad.db"
    path.write_text(text)
    with pytest.raises(ValueError, match=message.replace("(", r"\(").replace(")", r"\)")):
        grix.load(path)
    with pytest.raises(ValueError, match="bad.db: "):
        grix.rna.load_structures(path)


# --- the cost models against an independent recursion ---------------------------

CODING = "Null:U:P:H:B:I:M:S:E:R".split(":")


def vienna_node(label):
    letters = label.rstrip("0123456789")
    return CODING.index(letters), int(label[len(letters):] or 1)


def reference_distance(tree1, tree2, model):
    """The forest recursion (delete the rightmost root, insert it, or match
    the two rightmost trees), memoised, with ViennaRNA's edit_cost read off
    its matrix; the 'no node' is class Null of weight 0."""
    matrix = grix.rna.COST_MODELS[model]
    matrix = [[10_000 if value < 0 else value for value in row] for row in matrix]

    def cost(a, b):
        (type_a, weight_a), (type_b, weight_b) = a, b
        lighter = min(weight_a, weight_b)
        indel = matrix[0][type_b] if lighter == weight_a else matrix[0][type_a]
        return matrix[type_a][type_b] * lighter + indel * abs(weight_a - weight_b)

    null = (0, 0)

    def postorder(tree):
        nodes, ends = [], []
        sizes = tree.subtree_sizes

        def visit(v):
            for child in tree.children(v):
                visit(child)
            nodes.append(vienna_node(tree.labels[v]))
            ends.append(int(sizes[v]))
        visit(0)
        return nodes, ends  # ends[k]: the size of the subtree rooted at postorder node k

    nodes1, size1 = postorder(tree1)
    nodes2, size2 = postorder(tree2)

    @functools.lru_cache(maxsize=None)
    def forest(i0, i1, j0, j1):  # postorder ranges [i0, i1) and [j0, j1)
        if i1 == i0:
            return sum(cost(null, nodes2[j]) for j in range(j0, j1))
        if j1 == j0:
            return sum(cost(nodes1[i], null) for i in range(i0, i1))
        i, j = i1 - 1, j1 - 1
        li, lj = i1 - size1[i], j1 - size2[j]
        return min(forest(i0, i, j0, j1) + cost(nodes1[i], null),
                   forest(i0, i1, j0, j) + cost(null, nodes2[j]),
                   forest(i0, li, j0, lj) + forest(li, i, lj, j) + cost(nodes1[i], nodes2[j]))

    return forest(0, len(nodes1), 0, len(nodes2))


def cuts(structure, rng, count, longest):
    """Balanced windows of a structure, of at most `longest` positions: from
    a random position, whole elements (a base, or a pair with all it
    encloses) of the same loop."""
    partner = grix.readers.rna.pair_table(structure)
    found = []
    for _ in range(count * 50):
        start = stop = rng.randrange(len(structure))
        while stop < len(structure) and (partner[stop] < 0 or partner[stop] > stop):
            following = stop + 1 if partner[stop] < 0 else partner[stop] + 1
            if following - start > longest:
                break
            stop = following
        if stop > start:
            found.append(structure[start:stop])
        if len(found) == count:
            break
    return found


@pytest.mark.parametrize("model", MODELS)
@pytest.mark.parametrize("representation", REPRESENTATIONS)
def test_costs_equal_the_reference_on_cuts(representation, model):
    rng = random.Random(hash((representation, model)) % 1000)
    structures = fixture_structures()
    longest = 16 if representation == "full" else 40
    windows = [w for s in rng.sample(structures[-40:], 12) for w in cuts(s, rng, 2, longest)]
    windows += ["", "....", "(....)", "((((...))))" + "." * 30]
    assert len(windows) > 20
    costs = grix.rna.costs(model)
    for a, b in zip(windows, windows[1:] + windows[:1]):
        t1, t2 = grix.Tree.from_dot_bracket(a, representation), grix.Tree.from_dot_bracket(b, representation)
        assert grix.distance(t1, t2, **costs) == reference_distance(t1, t2, model), (a, b)


def test_cost_model_values_and_errors():
    usual, shapiro = grix.rna.costs("usual"), grix.rna.costs("shapiro")
    assert usual.rename("P3", "U1") == 1 * 1 + 2 * 2  # relabel one unit, delete two of P
    assert shapiro.rename("H2", "M7") == 8 * 2 + 75 * 5
    assert shapiro.delete("H4") == 400 and usual.insert("R") == 10_000 and usual.delete("M0") == 0
    assert usual.rename("S3", "H3") == 30_000
    assert grix.rna.costs("usual", forbidden=math.inf).rename("S3", "H3") == math.inf
    assert grix.rna.costs("usual", forbidden=math.inf).rename("S3", "M0") == 3
    assert dict(usual).keys() == {"rename", "delete", "insert"} and repr(shapiro) == "grix.rna.costs('shapiro')"
    sent = pickle.loads(pickle.dumps(shapiro))  # as Dask sends it to its workers
    t1, t2 = grix.Tree.from_dot_bracket("((..).)", "weighted"), grix.Tree.from_dot_bracket("(...)", "weighted")
    assert sent["rename"].class_weight_costs is not None and repr(sent) == repr(shapiro)
    assert grix.distance(t1, t2, **sent) == grix.distance(t1, t2, **per_pair(shapiro)) > 0
    assert grix.rna.node_class("P12") == "P" and grix.rna.node_weight("P12") == 12 and grix.rna.node_weight("U") == 1
    with pytest.raises(ValueError, match="model must be one of"):
        grix.rna.costs("ribosum")
    with pytest.raises(ValueError, match="forbidden must be"):
        grix.rna.costs("usual", forbidden=0)
    with pytest.raises(ValueError, match="'x1' is not an RNA node label"):
        grix.distance(grix.Tree.from_bracket("{x1}"), grix.Tree.from_dot_bracket(""), **usual)
    with pytest.raises(ValueError, match="'Null2' is not an RNA node label"):
        grix.pdist([grix.Tree.from_bracket("{R{Null2}}"), grix.Tree.from_dot_bracket("")], **usual)


def per_pair(model):
    """The model's costs with its rename as a plain callable, asked pair by pair."""
    return {"rename": lambda a, b: model.rename(a, b), "delete": model.delete, "insert": model.insert}


@pytest.mark.parametrize("forbidden", [10_000, math.inf, 7, 2.5])
def test_tabulated_renames_equal_the_call_per_pair(forbidden):
    # The models give grix their renames as one array per call; every cell
    # must equal the model's own rename, and so must every distance.
    rng = random.Random(11)
    structures = [random_structure(rng, rng.randint(0, 60)) for _ in range(24)]
    for model in ("usual", "shapiro"):
        costs = grix.rna.costs(model, forbidden=forbidden)
        for representation in grix.rna.REPRESENTATIONS:
            trees = grix.rna.trees(structures, representation)
            labels = sorted({label for tree in trees for label in tree.labels} | {"R0", "M0", "P9", "H1"})
            table = costs["rename"].table(labels, labels)
            assert table.tolist() == [[costs.rename(a, b) for b in labels] for a in labels]
            tabulated = [grix.distance(a, b, **costs) for a, b in zip(trees, trees[1:])]
            assert tabulated == [grix.distance(a, b, **per_pair(costs)) for a, b in zip(trees, trees[1:])]
            assert grix.pdist(trees, **costs).tolist() == grix.pdist(trees, **per_pair(costs)).tolist()


def weighted_extremes():
    """Trees of labels folding never gives: weight 0 everywhere, weights up
    to 2**31 (past 32-bit sums), labels without weights, and a weight in
    non-ASCII digits, which the engine leaves to the Python definition; and
    the empty tree."""
    return [grix.Tree.from_parents([], [])] + [grix.Tree.from_bracket(text) for text in (
        "{R0{S0{H0}}{E0}}", "{R{S3{H0}{M0{S1{H2}}}}{E2147483648}}", "{R{S2147483648{H7}}}",
        "{R{U}{P{U}{U}}}", "{R{S\u0663{H3}}}", "{R1{E5}}")]


@pytest.mark.parametrize("forbidden", [10_000, math.inf, 7, 2.5])
def test_engine_costs_equal_the_definition_pair_by_pair(forbidden, monkeypatch):
    # The models' costs run in the engine, from each label's class and
    # weight; the same costs as plain callables run through the generic
    # conversion, label pair by label pair. Values, result types and
    # mappings must agree everywhere, the extremes of weight included.
    rng = random.Random(5)
    structures = [random_structure(rng, rng.randint(0, 50)) for _ in range(10)] + [""]
    for model in MODELS:
        costs = grix.rna.costs(model, forbidden=forbidden)
        assert costs["rename"].class_weight_costs is costs["delete"].class_weight_costs is not None
        definition = per_pair(costs)
        for representation in REPRESENTATIONS:
            trees = grix.rna.trees(structures, representation) + weighted_extremes()
            pairs = list(zip(trees, trees[2:] + trees[:2]))
            expected = [grix.distance(a, b, **definition) for a, b in pairs]
            found = [grix.distance(a, b, **costs) for a, b in pairs]
            assert found == expected and list(map(type, found)) == list(map(type, expected)), representation
            bounded = [grix.distance(a, b, **costs, max_distance=40) for a, b in pairs]
            assert bounded == [grix.distance(a, b, **definition, max_distance=40) for a, b in pairs]
            for method in ("metric", "max"):
                if method == "metric" and not math.isfinite(forbidden):
                    continue  # the roots cannot be deleted: refused either way
                assert [grix.normalized_distance(a, b, **costs, method=method) for a, b in pairs] == \
                    [grix.normalized_distance(a, b, **definition, method=method) for a, b in pairs]
            a, b = pairs[3]
            mine, theirs = grix.mapping(a, b, **costs), grix.mapping(a, b, **definition)
            assert (mine.distance, mine.pairs) == (theirs.distance, theirs.pairs)
            for run in (lambda c: grix.pdist(trees, **c), lambda c: grix.cdist(trees[:4], trees, **c),
                        lambda c: grix.paired(trees, trees[::-1], **c)):
                native, generic = run(costs), run(definition)
                assert native.tolist() == generic.tolist() and native.dtype == generic.dtype, representation
        # With the definition unavailable, every function still runs: nothing
        # in Python is asked per label or per pair (the extremes aside, whose
        # non-ASCII digits the engine leaves to the definition).
        trees = grix.rna.trees(structures, "weighted")
        with monkeypatch.context() as patch:
            for name in ("rename", "delete", "rename_table"):
                patch.setattr(grix.rna.CostModel, name, None)
            grix.distance(trees[0], trees[1], **costs)
            grix.mapping(trees[0], trees[1], **costs)
            grix.pdist(trees, **costs)
            grix.cdist(trees, trees[:2], **costs)
            grix.rna.pdist(structures, costs=costs)


def test_forbidden_inf_prices_equal_weights_of_an_undeletable_class_at_zero():
    # Renaming the root R into R leaves no unit to delete: 0, not inf * 0.
    costs = grix.rna.costs("usual", forbidden=math.inf)
    assert costs.rename("R", "R") == 0 and costs.rename("R2", "R5") == math.inf
    t1, t2 = grix.Tree.from_dot_bracket("((..))"), grix.Tree.from_dot_bracket("(...)")
    assert grix.distance(t1, t2, **costs) == grix.distance(t1, t2, **grix.rna.costs("usual"))


def test_weights_beyond_64_bit_arithmetic_get_one_line():
    big = grix.Tree.from_bracket("{R{U" + "9" * 30 + "}}")
    with pytest.raises(ValueError, match="RNA node weights above 2\\*\\*31 are not supported"):
        grix.distance(big, grix.Tree.from_bracket("{R{U1}}"), **grix.rna.costs("usual"))


# --- many structures and every function that takes costs ---------------------------

def test_batches_with_rna_costs_agree_with_distance(tmp_path):
    structures = fixture_structures()[:14]
    path = tmp_path / "some.db"
    path.write_text("".join(f">s{k}\n{s}\n" for k, s in enumerate(structures)))
    for representation in ("hit", "weighted"):
        costs = grix.rna.costs("shapiro")
        trees = grix.rna.trees(structures, representation)
        one_by_one = [grix.distance(trees[i], trees[j], **costs)
                      for i in range(len(trees)) for j in range(i + 1, len(trees))]
        assert grix.rna.pdist(path, representation=representation, costs="shapiro", workers=2).tolist() == one_by_one
        assert grix.pdist(trees, **costs).tolist() == one_by_one
        assert grix.cdist(trees[:3], trees, **costs)[2, 5] == grix.distance(trees[2], trees[5], **costs)
        assert grix.paired(trees[:-1], trees[1:], **costs).tolist() == [
            grix.distance(a, b, **costs) for a, b in zip(trees[:-1], trees[1:])]
        limit = sorted(one_by_one)[10]
        assert len(grix.join(trees, limit, **costs)) == sum(d <= limit for d in one_by_one)
        found = grix.mapping(trees[0], trees[1], **costs)
        assert found.distance == one_by_one[0]
    with pytest.raises(TypeError):
        grix.nearest(trees[:1], trees, **grix.rna.costs("usual"))  # takes no costs
    with pytest.raises(ValueError, match=r"structures\[1\]: dot-bracket: '\(' at position 1 is never closed"):
        grix.rna.trees(["..", "(."])


def nested_concatenation(structures, target_length):
    """A structure past ViennaRNA's node limit: folded structures end to end,
    in groups closed by a helix, so that the tree is deep as well as wide."""
    pieces, length = [], 0
    for k, structure in enumerate(structures):
        pieces.append("((" + structure + "))" if k % 3 == 0 else structure)
        length += len(pieces[-1])
        if length >= target_length:
            break
    return "(((" + "".join(pieces) + ")))"


@pytest.mark.parametrize("representation", REPRESENTATIONS)
def test_keyroot_and_strategy_agree_past_the_node_limit(representation):
    structures = fixture_structures()
    big1 = nested_concatenation(structures[100:], 5600)
    big2 = nested_concatenation(structures[300:], 5600)
    t1, t2 = grix.Tree.from_dot_bracket(big1, representation), grix.Tree.from_dot_bracket(big2, representation)
    if representation == "full":
        assert len(t1) > 4000 and len(t2) > 4000
    costs = grix.rna.costs("usual" if representation in ("full", "coarse") else "shapiro")
    keyroot = grix.distance(t1, t2, **costs, algorithm="keyroot", workers=2)
    assert keyroot == grix.distance(t1, t2, **costs, algorithm="strategy", workers=2)
    assert 0 < keyroot < sum(costs.delete(label) for label in t1.labels + t2.labels)


def test_command_line(tmp_path, capsys):
    from grix.cli import main

    a, b = tmp_path / "a.db", tmp_path / "b.dbn"
    a.write_text(">a\nGGGAAACCCA\n(((...))).\n")
    b.write_text("((.....)).\n")
    t1, t2 = grix.Tree.from_dot_bracket("(((...))).", "weighted"), grix.Tree.from_dot_bracket("((.....)).", "weighted")
    expected = grix.distance(t1, t2, **grix.rna.costs("shapiro"))
    assert main(["distance", str(a), str(b), "--representation", "weighted", "--rna-costs", "shapiro"]) == 0
    assert capsys.readouterr().out == f"{expected}\n"
    assert main(["distance", "--format", "dot-bracket", "(((...))).", "((.....)).", "--rna-costs", "usual"]) == 0
    assert capsys.readouterr().out == f"{grix.rna.pdist(['(((...))).', '((.....)).'])[0]}\n"
    assert main(["pdist", str(a), str(b), "--rna-costs", "usual"]) == 0
    assert capsys.readouterr().out.splitlines()[1].endswith(",0,4")
    assert main(["distance", "--format", "dot-bracket", "((.x))", "(...)"]) == 1
    assert capsys.readouterr().err == ("grix: ((.x)): dot-bracket: unknown character 'x' at position 4; "
                                       "a structure holds '.', '(' and ')'\n")
    with pytest.raises(SystemExit) as stop:
        main(["nearest", str(a), "--corpus", str(b), "--rna-costs", "usual"])
    assert stop.value.code == 2 and "nearest takes no costs" in capsys.readouterr().err


def test_command_line_notes_a_file_of_several_structures(tmp_path, capsys):
    from grix.cli import main

    path = tmp_path / "two.db"
    path.write_text("(((...)))\n((.....))\n")
    assert main(["distance", str(path), str(path)]) == 0
    assert capsys.readouterr().err == (f"grix: note: {path} holds 2 structures; this is the first "
                                       "(grix.rna.load_structures reads them all)\n") * 2
