"""Tree: its invariants, bracket text, parent lists, nested objects, Python
syntax trees and deep nesting."""

import ast
import pickle
import random
import re
import sysconfig
import warnings
from pathlib import Path

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

from grix import Tree
from tree_helpers import random_tree, subtree_ends, trees

fixed = settings(derandomize=True, database=None, deadline=None, max_examples=200)
DEEP = 100_000
tricky_labels = st.text(alphabet="ab{}\\ é木\n", max_size=4)


@st.composite
def labelled_trees(draw):
    _, parents = draw(trees(min_nodes=1, max_nodes=15))
    labels = draw(st.lists(tricky_labels, min_size=len(parents), max_size=len(parents)))
    return Tree.from_parents(labels, parents)


class TestInvariants:
    def test_arrays_are_read_only_int32_and_consistent(self):
        labels, parents = random_tree(random.Random(3), 40)
        t = Tree.from_parents(labels, parents)
        assert t.parents.dtype == np.int32 and t.subtree_sizes.dtype == np.int32
        for array in (t.parents, t.subtree_sizes):
            with pytest.raises(ValueError):
                array[0] = 5
        ends = subtree_ends(parents)
        assert t.subtree_sizes.tolist() == [ends[v] - v for v in range(40)]
        assert [c for v in range(40) for c in t.children(v)] == sorted(range(1, 40), key=lambda c: parents[c])
        assert len(t) == t.size == 40
        for bad in (40, -1):
            with pytest.raises(IndexError, match=f"node {bad} is not in a tree of 40 nodes"):
                t.children(bad)

    def test_equality_hash_repr_pickle(self):
        a = Tree.from_bracket("{a{b}{c}}")
        b = Tree.from_parents(["a", "b", "c"], [-1, 0, 0])
        assert a == b and hash(a) == hash(b) and a.source != b.source
        assert a != Tree.from_bracket("{a{b{c}}}") and a != Tree.from_bracket("{a{b}{d}}")
        assert repr(a) == "Tree(3 nodes: {a{b}{c}})"
        assert repr(Tree.from_bracket("{" + "x" * 100 + "}")).endswith('...)')
        copy = pickle.loads(pickle.dumps(a))
        assert copy == a and copy.source == a.source and not copy.parents.flags.writeable

    def test_empty_tree_and_direct_construction(self):
        empty = Tree.from_parents([], [])
        assert len(empty) == 0 and empty.to_bracket() == "" and empty.depth == -1
        assert empty.mirror()[0] == empty
        with pytest.raises(TypeError, match="constructor"):
            Tree()


class TestBracket:
    @fixed
    @given(labelled_trees())
    def test_round_trip_with_escapes_and_non_ascii(self, t):
        assert Tree.from_bracket(t.to_bracket()) == t

    def test_escapes_whitespace_and_source(self):
        t = Tree.from_bracket("  \n{a\\{\\}\\\\ {b c}\n {\\d}}\t ")
        assert t.labels == ("a{}\\ ", "b c", "\\d")  # unknown escapes stay as written
        assert t.source == (3, 12, 19)
        assert t.to_bracket() == "{a\\{\\}\\\\ {b c}{\\\\d}}"
        assert Tree.from_bracket("{}").labels == ("",)
        assert len(Tree.from_bracket(" \n")) == 0
        with pytest.raises(TypeError):
            Tree.from_bracket(b"{a}")

    @pytest.mark.parametrize("text, message", [
        ("{a}}", "text after the tree at offset 3"),
        ("{a} {b}", "text after the tree at offset 4"),
        ("{a", "unclosed '{' opened at offset 0"),
        ("{a{b}{c", "unclosed '{' opened at offset 5"),
        ("{a\\}", "unclosed '{' opened at offset 0"),
        (" }", "unexpected '}' at offset 1"),
        ("a{b}", "expected '{' at offset 0"),
        ("{a{b} x{c}}", "text between nodes at offset 6"),
    ])
    def test_syntax_errors_name_the_offset(self, text, message):
        with pytest.raises(ValueError, match=f"^bracket text: {message}"):
            Tree.from_bracket(text)


class TestFromParents:
    @pytest.mark.parametrize("seed", range(20))
    def test_any_node_order_gives_the_pre_order_tree(self, seed):
        rng = random.Random(seed)
        labels, parents = random_tree(rng, rng.randrange(1, 60), "abcd")
        n = len(parents)
        depth = [0] * n
        for v in range(1, n):
            depth[v] = depth[parents[v]] + 1
        # Two orders that keep siblings in order: level by level, and a random
        # interleaving of the sibling groups.
        groups = [[v for v in range(n) if parents[v] == p] for p in range(-1, n)]
        interleaved = []
        while any(groups):
            interleaved.append(rng.choice([g for g in groups if g]).pop(0))
        for order in (sorted(range(n), key=lambda v: (depth[v], v)), interleaved):
            position = {v: k for k, v in enumerate(order)}
            t = Tree.from_parents([labels[v] for v in order],
                                  [position[parents[v]] if v else -1 for v in order])
            assert t == Tree._from_preorder(labels, parents)
            assert t.source == tuple(position[v] for v in range(n))

    def test_children_keep_index_order_and_roots_may_be_none(self):
        t = Tree.from_parents(["c2", "r", "c1", "g"], [1, None, 1, 0])
        assert t.to_bracket() == "{r{c2{g}}{c1}}" and t.source == (1, 0, 3, 2)
        assert Tree.from_parents(np.array(["c2", "r", "c1", "g"]), np.array([1, -7, 1, 0], np.int16)) == t
        assert Tree.from_parents([1, 2], np.array([-1, 0], np.int8)).labels == ("1", "2")

    def test_forest(self):
        t = Tree.from_parents("a b c".split(), [-1, -1, 1], forest=True, forest_label="*")
        assert t.to_bracket() == "{*{a}{b{c}}}" and t.source == (None, 0, 1, 2)
        assert Tree.from_parents(["a"], [-1], forest=True).to_bracket() == "{{a}}"

    @pytest.mark.parametrize("labels, parents, error, message", [
        ("ab", [-1, 0], TypeError, "not a single str"),
        (["a", "b"], [-1], ValueError, "labels has 2 items but parents has 1"),
        (["a", "b"], [-1, 2], ValueError, r"parents\[1\] = 2 is out of range for 2 nodes"),
        (["a", "b"], np.array([-1, 9]), ValueError, r"parents\[1\] = 9 is out of range"),
        (["a", "b"], [-1, 1], ValueError, "node 1 is its own parent"),
        (["a", "b", "c"], [-1, 2, 1], ValueError, "nodes 1 -> 2 -> 1 form a cycle"),
        (["a", "b"], [1, 0], ValueError, "nodes 0 -> 1 -> 0 form a cycle"),
        (list("abcde"), [-1, 0, 0, None, 3], ValueError,
         r"2 roots \(nodes 0 and 3\); pass forest=True to join them"),
        (["a"], [-1.0], TypeError, r"parents\[0\] is -1.0"),
        (["a"], ["0"], TypeError, "parents must hold integers"),
        (["a"], [True], TypeError, "parents must hold integers"),
        (["a"], np.array([-1.0]), TypeError, "not float64"),
    ])
    def test_errors(self, labels, parents, error, message):
        with pytest.raises(error, match=message):
            Tree.from_parents(labels, parents)


class TestMirror:
    @fixed
    @given(labelled_trees())
    def test_mirror_reverses_children_and_maps_back(self, t):
        m, back = t.mirror()
        assert back.dtype == np.int32 and sorted(back.tolist()) == list(range(len(t)))
        assert m.mirror()[0] == t
        for k in range(len(m)):
            v = back[k]
            assert m.labels[k] == t.labels[v] and m.source[k] == t.source[v]
            assert [back[c] for c in m.children(k)] == list(reversed(t.children(v)))


class Node:
    def __init__(self, name, *children):
        self.name, self.children = name, list(children)


class TestFromNested:
    def test_default_readings(self):
        data = ("root", [("a", ["leaf", 3]), Node("n", Node("m")), ("x", "not children")])
        t = Tree.from_nested(data)
        assert t.to_bracket() == "{root{a{leaf}{3}}{n{m}}{('x', 'not children')}}"
        assert t.source[0] is data and t.source[2] == "leaf"

    def test_attribute_names_and_callables(self):
        tree = {"id": 1, "kids": [{"id": 2, "kids": []}, {"id": 3, "kids": [{"id": 4, "kids": []}]}]}
        t = Tree.from_nested(tree, children=lambda d: d["kids"], label=lambda d: d["id"])
        assert t.to_bracket() == "{1{2}{3{4}}}"
        node = Node("a", Node("b"))
        assert Tree.from_nested(node, children="children", label="name") == Tree.from_bracket("{a{b}}")

    def test_errors(self):
        loop = ["a", []]
        loop[1].append(loop)
        with pytest.raises(ValueError, match="node 1 is the same object as its ancestor node 0"):
            Tree.from_nested(loop)
        with pytest.raises(TypeError, match="not an iterable"):
            Tree.from_nested(1, children=lambda x: 5)
        with pytest.raises(TypeError, match="attribute name or a callable"):
            Tree.from_nested(1, children=5)

    def test_shared_subtrees_are_not_cycles(self):
        shared = ("s", [("t", [])])
        assert Tree.from_nested(("r", [shared, shared])).to_bracket() == "{r{s{t}}{s{t}}}"


class TestDeepNesting:
    def test_nested_bracket_and_parents(self):
        data = ("leaf", [])
        for _ in range(DEEP - 1):
            data = ("n", [data])
        chain = Tree.from_nested(data)
        assert len(chain) == DEEP and chain.depth == DEEP - 1
        text = chain.to_bracket()
        assert Tree.from_bracket(text) == chain
        assert Tree.from_parents(chain.labels, np.arange(-1, DEEP - 1)) == chain
        assert chain.mirror()[0] == chain and chain.subtree_sizes[0] == DEEP


def stdlib_files():
    return sorted(Path(sysconfig.get_paths()["stdlib"]).rglob("*.py"))


class TestFromAst:
    def test_labels_make_a_rename_one_label(self):
        a = Tree.from_ast("def f(x):\n    return g(x.attr, 'text', 1)\n")
        b = Tree.from_ast("def f(y):\n    return g(y.attr, 'text', 1)\n")
        assert "FunctionDef:f" in a.labels and "Attribute:attr" in a.labels
        assert "Constant:'text'" in a.labels and "Constant:1" in a.labels
        assert len(a) == len(b) and sum(x != y for x, y in zip(a.labels, b.labels)) == 2  # arg, Name
        assert Tree.from_ast("import os.path as p").labels == ("Module", "Import", "alias:os.path")

    def test_long_constants_compare_by_their_whole_value(self):
        doc = '"""' + "Return the sum of the values; " * 3 + '"""'
        label = Tree.from_ast(doc).labels[-1]
        assert label.startswith("Constant:'Return the sum of the values; Return") and len(label) < 70
        # An edit past the shown part still changes the label; equal values keep it.
        assert Tree.from_ast(doc.replace("values; \"\"\"", "items; \"\"\"")).labels[-1] != label
        assert Tree.from_ast(doc).labels[-1] == label
        texts = {Tree.from_ast(repr("x" * 50 + str(k))).labels[-1] for k in range(1000)}
        assert len(texts) == 1000
        assert Tree.from_ast(repr("x" * 38)).labels[-1] == "Constant:'" + "x" * 38 + "'"
        huge = ast.Constant(1 << 40_000)  # beyond str()'s digit limit
        assert Tree.from_ast(huge).labels[0].startswith("Constant:<int of 40001 bits> #")
        assert Tree.from_ast(ast.Constant((1 << 40_000) + 1)).labels[0] != Tree.from_ast(huge).labels[0]

    def test_expression_contexts_only_when_asked(self):
        code = "x = y\ndel z\n"
        assert Tree.from_ast(code).labels == ("Module", "Assign", "Name:x", "Name:y", "Delete", "Name:z")
        kept = Tree.from_ast(code, context=True)
        assert kept.labels == ("Module", "Assign", "Name:x", "Store", "Name:y", "Load", "Delete",
                               "Name:z", "Del")
        # Renaming a variable that is assigned and read is two renames, not
        # a Store turned into a Load as well.
        a, b = Tree.from_ast("a = 1\nb = a\n"), Tree.from_ast("b = 1\na = b\n")
        assert sum(x != y for x, y in zip(a.labels, b.labels)) == 3 and len(a) == len(b)

    def test_custom_label_sources_and_errors(self):
        module = ast.parse("a + b")
        t = Tree.from_ast(module, label=lambda n: type(n).__name__)
        assert t.labels == ("Module", "Expr", "BinOp", "Name", "Add", "Name")
        assert t.source[0] is module and [type(s).__name__ for s in t.source] == list(t.labels)
        with pytest.raises(ValueError, match="line 1, column"):
            Tree.from_ast("def (")
        with pytest.raises(TypeError):
            Tree.from_ast(3)
        assert Tree.from_ast(b"x = '\\d'\n").labels[-1] == "Constant:'\\\\d'"  # no SyntaxWarning raised

    @pytest.mark.parametrize("context", [False, True])
    def test_sample_matches_a_recursive_walk(self, context):
        def preorder(node, parent, out):
            out.append((node, parent))
            here = len(out) - 1
            for child in ast.iter_child_nodes(node):
                if context or not isinstance(child, ast.expr_context):
                    preorder(child, here, out)
            return out

        def reference_label(node):
            name = type(node).__name__
            if isinstance(node, ast.Constant):
                text = repr(node.value)
                return f"{name}:{text}" if len(text) <= 40 else f"{name}:{text[:39]}…"
            for field in ("id", "name", "arg", "attr", "module"):
                if field in node._fields:
                    value = getattr(node, field, None)
                    return f"{name}:{value}" if isinstance(value, str) else name
            return name

        for path in stdlib_files()[::97]:
            module = parse_quietly(path.read_bytes())
            expected = preorder(module, -1, [])
            t = Tree.from_ast(module, context=context)
            assert list(t.parents) == [parent for _, parent in expected], path
            assert all(a is b for a, (b, _) in zip(t.source, expected)), path
            # Long constants: the shown part, then a digest.
            assert [re.sub("… #[0-9a-f]{16}$", "…", label) for label in t.labels] == [reference_label(node) for node, _ in expected], path

    def test_a_hand_built_cycle_is_refused(self):
        call = ast.Call(func=ast.Name("f", ast.Load()), args=[], keywords=[])
        call.args.append(ast.Expr(call))
        with pytest.raises(ValueError, match="node 3 is the same object as its ancestor node 0"):
            Tree.from_ast(call)
        shared = ast.Name("x", ast.Load())  # shared, not cyclic: appears twice
        assert len(Tree.from_ast(ast.Tuple([shared, shared], ast.Load()), context=True)) == 6

    def test_every_stdlib_file_converts(self):
        converted = 0
        for path in stdlib_files():
            source = path.read_bytes()
            try:
                assert Tree.from_ast(source).labels[0] == "Module", path
                converted += 1
            except ValueError:
                with pytest.raises(SyntaxError):
                    parse_quietly(source)
        assert converted > 1000


def parse_quietly(source):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return ast.parse(source)
