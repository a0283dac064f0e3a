"""XML, HTML, JSON and networkx input, and load()."""

import json
import math
import sys
import xml.etree.ElementTree as ET
from pathlib import Path

import pytest
from hypothesis import given, settings, strategies as st

from grix import Tree, load
from grix.formats import JSONPath, parse_json

fixed = settings(derandomize=True, database=None, deadline=None, max_examples=150)
DEEP = 100_000


@pytest.fixture
def no_lxml(monkeypatch):
    for name in ("lxml", "lxml.etree", "lxml.html"):
        monkeypatch.setitem(sys.modules, name, None)


def shape(tree):
    return tree.to_bracket()


def elements_only(tree):
    """(labels, parents) of a tree read with text and attributes, without
    those leaves: what reading the same document for elements alone gives."""
    kept = [k for k, src in enumerate(tree.source) if not isinstance(src, tuple)]
    new_id = {old: new for new, old in enumerate(kept)}
    return [tree.labels[k] for k in kept], [new_id.get(int(tree.parents[k]), -1) for k in kept]


def labels_and_parents(tree):
    return list(tree.labels), tree.parents.tolist()


def system_docs(*suffixes):
    roots = [Path(d) for d in ("/usr/share/doc", "/usr/share/xml", "/usr/share/javascript")]
    return sorted(p for r in roots if r.is_dir() for p in r.rglob("*")
                  if p.suffix.lower() in suffixes and p.is_file())


class TestXml:
    DOC = '<r xmlns:n="urn:n" a="1" n:b="2">head<x/>mid<!--c-->dle<?pi?><n:y>in</n:y>tail\n </r>'

    def test_labels_text_and_attributes(self):
        assert Tree.from_xml(self.DOC).labels == ("r", "x", "{urn:n}y")
        t = Tree.from_xml(self.DOC, text=True, attributes=True)
        assert shape(t) == "{r{@a=1}{@\\{urn:n\\}b=2}{head}{x}{middle}{\\{urn:n\\}y{in}}{tail}}"
        root = t.source[0]
        assert t.source[1] == (root, "@a") and t.source[3] == (root, "text")
        assert t.source[5] == (root[0], "tail") and t.source[8] == (root[1], "tail")

    def test_every_kind_of_input_agrees(self, tmp_path):
        lxml_etree = pytest.importorskip("lxml.etree")
        path = tmp_path / "doc.xml"
        path.write_text(self.DOC)
        expected = Tree.from_xml(self.DOC, text=True, attributes=True)
        for src in (self.DOC.encode(), path, str(path), ET.fromstring(self.DOC), ET.parse(path),
                    lxml_etree.fromstring(self.DOC), lxml_etree.parse(str(path))):
            assert Tree.from_xml(src, text=True, attributes=True) == expected, type(src)
            assert labels_and_parents(Tree.from_xml(src)) == elements_only(expected), type(src)
        # A tree that kept its comments reads as one whose parser dropped them.
        builder = ET.XMLParser(target=ET.TreeBuilder(insert_comments=True, insert_pis=True))
        builder.feed(self.DOC)
        assert Tree.from_xml(builder.close(), text=True, attributes=True) == expected

    def test_errors(self, tmp_path):
        with pytest.raises(ValueError, match="mismatched tag: line 2, column 5"):
            Tree.from_xml("<a>\n<b></a>")
        with pytest.raises(FileNotFoundError):
            Tree.from_xml(tmp_path / "missing.xml")
        with pytest.raises(TypeError):
            Tree.from_xml(42)

    def test_deep(self):
        t = Tree.from_xml("<a>" * DEEP + "x" + "</a>" * DEEP, text=True)
        assert len(t) == DEEP + 1 and t.depth == DEEP

    def test_system_files(self):
        files = system_docs(".xml")
        if not files:
            pytest.skip("no XML files installed")
        for path in files:
            try:
                root = ET.parse(path).getroot()
            except ET.ParseError:
                with pytest.raises(ValueError):
                    Tree.from_xml(path)
                continue
            elements = sum(isinstance(e.tag, str) for e in root.iter())
            assert len(Tree.from_xml(path)) == elements, path
            Tree.from_xml(path, text=True, attributes=True)


CLEAN_HTML = [
    "<html><body><p>Hi</p></body></html>",
    # Fragments: both parsers place them in a document.
    "<ul><li>one</li><li>two</li></ul>",
    "<p>a</p><p>b</p>",
    "<body><div>x</div></body>",
    """<!DOCTYPE html>
    <HTML lang="en"><head><meta charset="utf-8"><title>T &amp; t</title>
    <link rel="stylesheet" href="s.css"></head>
    <body class="main"><!-- note --><h1 id="top">Title</h1>
    <p>Text <b>bold</b> <a href="#top">link</a><br>after</p>
    <ul><li>one</li><li>two <i>2</i></li></ul>
    <table><tr><td>a</td><td>b</td></tr></table>
    <form><input type="checkbox" checked><select><option value="1">x</option></select></form>
    <img src="i.png" alt=""><script>if (a < b) { go(); }</script></body></html>""",
]


class TestHtml:
    @pytest.mark.parametrize("doc", CLEAN_HTML)
    def test_lxml_and_the_builder_agree_on_clean_documents(self, doc, request):
        pytest.importorskip("lxml.html")
        with_lxml = Tree.from_html(doc, text=True, attributes=True)
        request.getfixturevalue("no_lxml")
        assert Tree.from_html(doc, text=True, attributes=True) == with_lxml
        assert Tree.from_html(doc.encode()) == Tree.from_html(doc) == Tree.from_html(with_lxml.source[0])

    @pytest.mark.parametrize("doc, expected", [
        ("<div><p>a<p>b<div>c</div></div>", "{html{body{div{p{a}}{p{b}}{div{c}}}}}"),
        ("<ul><li>a<li>b<ul><li>c</ul><li>d</ul>", "{html{body{ul{li{a}}{li{b}{ul{li{c}}}}{li{d}}}}}"),
        ("<table><tr><td>a<td>b<tr><th>c</table>", "{html{body{table{tr{td{a}}{td{b}}}{tr{th{c}}}}}}"),
        ("<dl><dt>a<dd>b<dt>c</dl>", "{html{body{dl{dt{a}}{dd{b}}{dt{c}}}}}"),
        ("<select><option>a<option>b</select>", "{html{body{select{option{a}}{option{b}}}}}"),
        ("<div><br>a<img src=x>b<BR/><span>c</div>d", "{html{body{div{br}{a}{img{@src=x}}{b}{br}{span{c}}}{d}}}"),
        ("<div>a</span></p>b</div>", "{html{body{div{ab}}}}"),
        ("<p><button><p>x</button></p>", "{html{body{p{button{p{x}}}}}}"),
        ("<input disabled autofocus>", "{html{body{input{@disabled=disabled}{@autofocus=}}}}"),
    ])
    def test_builder_repairs(self, no_lxml, doc, expected):
        assert shape(Tree.from_html(doc, text=True, attributes=True)) == expected

    def test_errors(self, no_lxml):
        with pytest.raises(ValueError, match="no elements"):
            Tree.from_html("<!-- only a comment -->")
        with pytest.raises(FileNotFoundError):
            Tree.from_html("no markup, so a path")

    @pytest.mark.parametrize("lxml", [True, False])
    def test_deep(self, lxml, request):
        if not lxml:
            request.getfixturevalue("no_lxml")
        doc = "<html><body>" + "<div>" * DEEP + "x" + "</div>" * DEEP + "</body></html>"
        t = Tree.from_html(doc, text=True)
        assert len(t) == DEEP + 3 and t.depth == DEEP + 2

    def test_system_files(self, request):
        files = system_docs(".html", ".htm")
        if not files:
            pytest.skip("no HTML files installed")
        sizes = []
        for path in files:
            full = Tree.from_html(path, text=True, attributes=True)
            sizes.append(len(full))
            # lxml's elements alone are read by a path of their own
            assert labels_and_parents(Tree.from_html(full.source[0])) == elements_only(full), path
        request.getfixturevalue("no_lxml")
        for path, size in zip(files[::4], sizes[::4]):
            # The two parsers repair broken markup differently, but not wildly so.
            assert 0.5 < len(Tree.from_html(path, text=True, attributes=True)) / size < 2, path


json_values = st.recursive(
    st.none() | st.booleans() | st.integers() | st.floats(allow_nan=False) | st.text(max_size=5),
    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(st.text(max_size=3), inner, max_size=4),
    max_leaves=25,
)


class TestJson:
    def test_labels_and_paths(self):
        t = Tree.from_json('{"a": [1, "1", null, {"b": true}], "c": {}}')
        assert shape(t) == '{\\{\\}{a{[]{1}{"1"}{null}{\\{\\}{b{true}}}}}{c{\\{\\}}}}'
        assert [tuple(p) for p in t.source] == [
            (), ("a",), ("a",), ("a", 0), ("a", 1), ("a", 2), ("a", 3), ("a", 3, "b"),
            ("a", 3, "b"), ("c",), ("c",)]
        assert t.source[7] == ("a", 3, "b") and hash(t.source[7]) == hash(("a", 3, "b"))
        assert JSONPath(JSONPath(), "x")[-1] == "x"
        assert shape(Tree.from_json("2.5")) == "{2.5}" and shape(Tree.from_json({1: (True,)})) == "{\\{\\}{1{[]{true}}}}"

    @fixed
    @given(json_values, st.sampled_from([None, 1, "\t"]))
    def test_text_and_data_agree_and_the_iterative_parser_matches_json(self, data, indent):
        text = json.dumps(data, indent=indent)
        assert parse_json(text) == json.loads(text) and parse_json(text.encode("utf-16")) == json.loads(text)
        # A str argument is always text, so wrap the data to compare it.
        assert Tree.from_json(f"[{text}]") == Tree.from_json([data])

    @pytest.mark.parametrize("text", [
        "", "[1,]", '{"a" 1}', '{"a": 1,}', "[1 2]", '{1: 2}', "[1] x", '"abc', "[", "{", "tru",
        '["\\q"]', "\ufeff[]", "[NaN, -Infinity, 1e400]",
    ])
    def test_iterative_parser_errors_like_json(self, text):
        try:
            expected = json.loads(text)
        except json.JSONDecodeError as exc:
            with pytest.raises(json.JSONDecodeError) as info:
                parse_json(text)
            assert (info.value.msg, info.value.pos) == (exc.msg, exc.pos)
        else:
            assert repr(parse_json(text)) == repr(expected) and math.isinf(expected[2])

    def test_deep_text(self):
        for opener, closer in (("[", "]"), ('{"k":', "}")):
            text = opener * DEEP + "0" + closer * DEEP
            t = Tree.from_json(text)
            assert len(t) == DEEP * (1 + (opener != "[")) + 1 and len(t.source[-1]) == DEEP

    def test_bad_data(self):
        with pytest.raises(TypeError, match=r"path \('a', 0\) is set"):
            Tree.from_json({"a": [{1}]})
        loop = []
        loop.append(loop)
        with pytest.raises(ValueError, match="same object as its ancestor"):
            Tree.from_json(loop)
        with pytest.raises(json.JSONDecodeError, match="char 5"):
            Tree.from_json('[1, 2')


class TestNetworkx:
    nx = pytest.importorskip("networkx")

    def test_child_order_labels_and_source(self):
        g = self.nx.DiGraph()
        g.add_edges_from([("r", "z"), ("r", "a"), ("a", 3)])
        g.nodes["a"]["label"] = "A"
        t = Tree.from_networkx(g, "r")
        assert shape(t) == "{r{z}{A{3}}}" and t.source == ("r", "z", "a", 3)
        assert shape(Tree.from_networkx(g, "r", label=None)) == "{r{z}{a{3}}}"
        u = self.nx.Graph([("a", "r"), ("r", "z"), ("a", 3)])
        assert shape(Tree.from_networkx(u, "r")) == "{r{a{3}}{z}}"
        assert shape(Tree.from_networkx(u, 3)) == "{3{a{r{z}}}}"

    @pytest.mark.parametrize("edges, root, message", [
        ([("r", "a")], "x", "root 'x' is not a node"),
        ([("r", "a"), ("a", "r")], "r", "node 'r' is reached twice"),
        ([("r", "a"), ("r", "b"), ("a", "c"), ("b", "c")], "r", r"node 'c' is reached twice \(from 'a' and from 'b'\)"),
        ([("r", "a"), ("b", "c"), ("b", "d")], "r", "3 nodes are not reachable from root 'r'"),
    ])
    def test_errors(self, edges, root, message):
        with pytest.raises(ValueError, match=message):
            Tree.from_networkx(self.nx.DiGraph(edges), root)
        with pytest.raises(ValueError, match="reached twice"):
            Tree.from_networkx(self.nx.Graph([(1, 2), (2, 3), (3, 1)]), 1)


class TestLoad:
    FILES = {
        "a.py": ("x = 1\n", "Module"),
        "a.xml": ("<r><c/></r>", "r"),
        "a.HTM": ("<html><body></body></html>", "html"),
        "a.json": ("[1]", "[]"),
        "a.tree": ("{t{u}}", "t"),
    }

    def test_by_suffix_and_by_name(self, tmp_path):
        for name, (content, root) in self.FILES.items():
            (tmp_path / name).write_text(content)
            assert load(tmp_path / name).labels[0] == root
        (tmp_path / "x.txt").write_text("<r><c/></r>")
        assert load(str(tmp_path / "x.txt"), format="xml") == Tree.from_bracket("{r{c}}")
        assert load(tmp_path / "a.xml", text=True, attributes=True) == Tree.from_bracket("{r{c}}")

    def test_errors(self, tmp_path):
        with pytest.raises(ValueError, match="unknown format 'yaml'; use one of 'python', 'xml'"):
            load(tmp_path / "a.py", format="yaml")
        with pytest.raises(FileNotFoundError, match="missing.json"):
            load(tmp_path / "missing.json")
        (tmp_path / "bad.json").write_text("[1,")
        with pytest.raises(ValueError, match=r"bad\.json: Expecting value"):
            load(tmp_path / "bad.json")
