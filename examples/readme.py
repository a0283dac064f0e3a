"""The README's first examples, made concrete, and those of the pages on
trees and on distances, mappings and diffs (docs/trees.md, docs/distances.md):
tests/python/test_typing.py runs this file and checks it with mypy --strict
and pyright; tests/python/test_docs.py runs the pages' blocks as they are
shown. (networkx and Dask are left out: they are optional and come without
type information.)"""

from __future__ import annotations

import ast
import pathlib
import tempfile
from dataclasses import dataclass, field

import numpy as np

import grix


@dataclass
class Node:
    kind: str
    kids: list[Node] = field(default_factory=list)


def first_examples() -> None:
    before, after = grix.Tree.from_ast("x = f(a)"), grix.Tree.from_ast("x = f(a, b)")
    assert grix.distance(before, after) == 1  # Name:b inserted

    assert grix.distance(grix.Tree.from_html("<ul><li>one<li>two</ul>"),
                         grix.Tree.from_html("<ul><li>one</ul>")) == 2  # an item and its text
    assert grix.distance(grix.Tree.from_xml('<port number="80"/>'), grix.Tree.from_xml('<port number="8080"/>')) == 1

    assert grix.distance(grix.Tree.from_json('{"a": 1, "b": [1, 2]}'),
                         grix.Tree.from_json('{"b": [1, 3], "a": 1}')) == 1

    t1, t2 = grix.Tree.from_bracket("{a{b}{c}}"), grix.Tree.from_bracket("{a{c}{d}}")
    assert grix.distance(t1, t2) == 2
    assert grix.diff.render_text(grix.mapping(t1, t2)) == "  a\n  - b\n    c\n  + d\n"

    score: float = grix.teds("<table><tr><td>a</td></tr></table>",
                             "<table><tr><td>a</td><td>b</td></tr></table>")
    assert round(score, 2) == 0.67

    assert grix.distance(grix.Tree.from_dot_bracket("((..))"), grix.Tree.from_dot_bracket("(....)"),
                         **grix.rna.costs("usual")) == 4

    assert grix.distance(grix.Tree.from_ptb("(S (NP (DT the) (NN dog)) (VP (VBZ barks)))"),
                         grix.Tree.from_ptb("(S (NP (NNS dogs)) (VP (VBP bark)))")) == 6

    similarity: float = grix.tsed("function f(a) { return a + 1; }",
                                  "function f(a) { if (a) return 1; return a; }", language="javascript")
    assert similarity == 0.6

    assert grix.pdist([t1, t2, before]).tolist() == [2, 6, 6]
    assert grix.join([t1, t2, before], 2).matches == [(0, 1, 2)]


def trees_from_what_you_have(folder: pathlib.Path) -> None:
    before = grix.Tree.from_ast("x = f(a)")
    after = grix.Tree.from_ast(ast.parse("x = f(a, b)"))
    assert grix.distance(before, after) == 1  # b is inserted
    statement = before.source[1]  # the sources of a syntax tree are ast.AST
    assert isinstance(statement, ast.stmt) and statement.lineno == 1

    page1 = grix.Tree.from_html("<ul><li>one<li>two</ul>")
    page2 = grix.Tree.from_html("<ul><li>one</ul>", text=False)
    assert grix.distance(page1, page2) == 3  # the second item and both texts
    config = folder / "config.xml"
    config.write_text('<config><port number="80"/></config>')
    assert grix.Tree.from_xml(config, attributes=False).labels == ("config", "port")

    document = grix.Tree.from_json('{"name": "grix", "tags": ["a", "b"]}')
    path: grix.readers.JSONPath = document.source[-1]
    assert tuple(path) == ("tags", 1)

    assert grix.Tree.from_nested(("a", [("b", []), ("c", [])])).to_bracket() == "{a{b}{c}}"
    node = Node("f", [Node("x"), Node("y")])
    assert grix.Tree.from_nested(node, children="kids", label=lambda n: n.kind).labels == ("f", "x", "y")

    t = grix.Tree.from_bracket("{a{b}{c}}")
    offset: int = t.source[1]
    assert t.to_bracket() == "{a{b}{c}}" and offset == 2
    assert grix.Tree.from_parents(["b", "a", "c"], [1, -1, 1]).to_bracket() == "{a{b}{c}}"

    module = folder / "module.py"
    module.write_text("def f(x):\n    return x + 1\n")
    assert grix.load(module).labels[:2] == ("Module", "FunctionDef:f")
    assert grix.load(str(module), context=True).labels[-3] == "Load"


def distances_mappings_and_diffs(folder: pathlib.Path) -> None:
    t1, t2 = grix.Tree.from_bracket("{a{b}{c}}"), grix.Tree.from_bracket("{a{c}{d}}")
    assert grix.distance(t1, t2) == 2
    assert grix.distance(t1, t2, rename=lambda a, b: 0 if a == b else 2) == 2
    matrix = np.ones((len(t1), len(t2)), dtype=np.int32)
    assert grix.distance(t1, t2, rename=matrix, workers=2, timeout=10) == 3

    m = grix.mapping(t1, t2)
    assert (m.distance, m.pairs, m.deleted, m.inserted) == (2, [(0, 0), (2, 1)], [1], [2])
    inserted: list[object] = m.inserted_sources
    script = m.edit_script()
    assert grix.apply(t1, script) == t2 and inserted == [5]  # the offset of "{d" in t2

    text: str = grix.diff.render_text(grix.mapping(t1, t2))
    assert text == "  a\n  - b\n    c\n  + d\n"
    assert grix.diff.mapping_to_json(m)["distance"] == 2
    grix.diff.write_html(m, folder / "diff.html")


def many_trees() -> None:
    trees = [grix.Tree.from_bracket(text) for text in ("{a{b}}", "{a{c}}", "{x{y}{z}}")]
    d = grix.pdist(trees)
    assert d.tolist() == [1, 3, 3]
    assert grix.cdist(trees[:1], trees).tolist() == [[0, 1, 3]]
    assert [(i, j, dist) for i, j, dist in grix.join(trees, 1)] == [(0, 1, 1)]


def rna_structures() -> None:
    # From ViennaRNA to grix: the trees RNAdistance builds, its cost models.
    a, b = "((((....))))..((...))", "(((......)))..((...))."
    t1, t2 = grix.Tree.from_dot_bracket(a), grix.Tree.from_dot_bracket(b)
    usual: float = grix.distance(t1, t2, **grix.rna.costs("usual"))
    assert usual > grix.distance(t1, t2) > 0  # a base pair costs 2 to delete in the usual model
    weighted = grix.rna.trees([a, b], "weighted")
    matrix = grix.pdist(weighted, **grix.rna.costs("shapiro"))
    assert matrix.shape == (1,)


def main() -> None:
    first_examples()
    with tempfile.TemporaryDirectory() as name:
        folder = pathlib.Path(name)
        trees_from_what_you_have(folder)
        distances_mappings_and_diffs(folder)
    many_trees()
    rna_structures()
    print("the README's examples hold")


if __name__ == "__main__":
    main()
