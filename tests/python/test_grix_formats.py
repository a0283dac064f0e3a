"""XML, HTML, JSON and networkx input, and load()."""

import json
import math
import re
import subprocess
import sys
import xml.etree.ElementTree as ET
from pathlib import Path

import pytest
from hypothesis import given, settings, strategies as st

from grix import Tree, load
from grix.readers import JSONPath, UnknownFormatError, parse_json, source_line

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

    @pytest.mark.parametrize("lxml", [True, False])
    def test_labels_text_and_attributes(self, lxml, request):
        if not lxml:
            request.getfixturevalue("no_lxml")
        assert Tree.from_xml(self.DOC, text=False, attributes=False).labels == ("r", "x", "{urn:n}y")
        t = Tree.from_xml(self.DOC)  # text and attributes by default
        assert shape(t) == "{r{@a=1}{@\\{urn:n\\}b=2}{head}{x}{middle}{\\{urn:n\\}y{in}}{tail}}"
        root = t.source[0]
        assert t.source[1] == (root, "@a") and t.source[3] == (root, "text")
        assert t.source[5] == (root[0], "tail") and t.source[8] == (root[1], "tail")

    def test_every_kind_of_input_agrees(self, tmp_path):
        lxml_etree = pytest.importorskip("lxml.etree")
        path = tmp_path / "doc.xml"
        path.write_text(self.DOC)
        expected = Tree.from_xml(self.DOC, text=True, attributes=True)
        for src in (self.DOC.encode(), path, ET.fromstring(self.DOC), ET.parse(path),
                    lxml_etree.fromstring(self.DOC), lxml_etree.parse(str(path))):
            assert Tree.from_xml(src, text=True, attributes=True) == expected, type(src)
            only = Tree.from_xml(src, text=False, attributes=False)
            assert labels_and_parents(only) == elements_only(expected), type(src)
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
        # A declared encoding is read from bytes, and ignored in a str.
        assert Tree.from_xml('<?xml version="1.0" encoding="latin-1"?><r>é</r>').labels == ("r", "é")
        assert Tree.from_xml('<?xml version="1.0" encoding="latin-1"?><r>é</r>'.encode("latin-1")).labels[1] == "é"

    def test_lines_of_lxml_elements_and_their_leaves(self, request):
        pytest.importorskip("lxml.etree")
        doc = '<r>\n  <a x="1">one</a>\n\n  <b/>\n</r>'
        t = Tree.from_xml(doc)
        assert [source_line(s) for s in t.source] == [1, 2, 2, 2, 4]
        request.getfixturevalue("no_lxml")
        assert Tree.from_xml(doc) == t and {source_line(s) for s in Tree.from_xml(doc).source} == {None}

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
            assert len(Tree.from_xml(path, text=False, attributes=False)) == elements, path
            assert Tree.from_xml(path) == Tree.from_xml(root), path  # lxml and the standard library


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

    @pytest.mark.parametrize("lxml", [True, False])
    def test_defaults_text_as_a_browser_shows_it_without_attributes(self, lxml, request):
        if not lxml:
            request.getfixturevalue("no_lxml")
        page = Tree.from_html('<p class="x">one\n   two <b>three</b>\tfour</p>')
        assert page.labels[2:] == ("p", "one two", "b", "three", "four")
        assert Tree.from_html('<p class="y">one two <b>three</b> four</p>') == page
        assert Tree.from_html('<p class="x">one two <b>three</b> five</p>') != page
        # XML keeps its attributes and the text as written (less the ends).
        assert Tree.from_xml('<p a="1">one\n two </p>').labels == ("p", "@a=1", "one\n two")

    def test_lines_with_lxml(self):
        pytest.importorskip("lxml.html")
        t = Tree.from_html("<html><body>\n<p>one</p>\n<p class=x>two</p></body></html>", attributes=True)
        assert [(label, source_line(s)) for label, s in zip(t.labels, t.source)][2:] == [
            ("p", 2), ("one", 2), ("p", 3), ("@class=x", 3), ("two", 3)]

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
            full = Tree.from_html(path, attributes=True)
            sizes.append(len(full))
            # lxml's elements alone are read by a path of their own
            only = Tree.from_html(full.source[0], text=False, attributes=False)
            assert labels_and_parents(only) == elements_only(full), path
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
        assert JSONPath(JSONPath(), "x")[-1] == "x" and repr(t.source[7]) == "('a', 3, 'b')"
        assert shape(Tree.from_json("2.5")) == "{2.5}" and shape(Tree.from_json({1: (True,)})) == "{\\{\\}{1{[]{true}}}}"
        # Keys that are not strings are written as json.dumps writes them.
        assert (Tree.from_json({True: 0, None: 0, 2.5: 0, False: 0}, key_order="given").labels[1::2]
                == ("true", "null", "2.5", "false"))
        assert json.loads(json.dumps({True: 0, None: 0})) == {"true": 0, "null": 0}

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
            assert len(repr(t.source[-1])) < 80 and len(repr(t)) < 80  # reprs stay short

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


class TestTextOrPath:
    """str and bytes are the document; only an os.PathLike is a file."""

    @pytest.mark.parametrize("read", [Tree.from_xml, Tree.from_html], ids=["xml", "html"])
    @pytest.mark.parametrize("src, words", [
        ("", "text is empty; expected a document such as '<a>...</a>'"),
        (b" \n\t", "text is empty"),
        ("just text", "markup starting with '<', got 'just text'; to read a file, pass a pathlib.Path"),
        ("page.html", "got 'page.html'"),
        (b"\xef\xbb\xbfno markup", "markup starting with '<'"),
    ])
    def test_text_that_is_not_markup_gets_one_line_saying_what_was_expected(self, read, src, words):
        with pytest.raises(ValueError, match=re.escape(words)) as info:
            read(src)
        assert "\n" not in str(info.value)

    @pytest.mark.parametrize("src", ["  <r/>", "\ufeff<r/>", b"\xef\xbb\xbf <r/>",
                                     "<r/>".encode("utf-16")])
    def test_markup_after_whitespace_or_a_byte_order_mark(self, src):
        assert Tree.from_xml(src).labels == ("r",)

    def test_paths(self, tmp_path):
        (tmp_path / "doc.xml").write_text("<r>t</r>")
        assert Tree.from_xml(tmp_path / "doc.xml") == Tree.from_bracket("{r{t}}")
        with pytest.raises(FileNotFoundError):
            Tree.from_html(tmp_path / "missing.html")
        with pytest.raises(IsADirectoryError):
            Tree.from_xml(tmp_path)
        (tmp_path / "empty.html").write_text("")
        with pytest.raises(ValueError, match="HTML text is empty"):
            load(tmp_path / "empty.html")


class TestEncodings:
    """Text files are UTF-8, or UTF-16 and UTF-32 by their byte-order mark;
    other bytes get one line naming the first bad byte and its offset."""

    @pytest.mark.parametrize("name, text, labels", [
        ("t.tree", "{a{b}}", ("a", "b")),
        ("t.json", '{"k": [1]}', ("{}", "k", "[]", "1")),
        ("t.mrg", "(S (NP x))", ("S", "NP", "x")),
    ])
    @pytest.mark.parametrize("encoding", ["utf-8", "utf-8-sig", "utf-16", "utf-32"])
    def test_byte_order_marks_are_read(self, tmp_path, name, text, labels, encoding):
        (tmp_path / name).write_bytes(text.encode(encoding))
        assert load(tmp_path / name).labels == labels

    @pytest.mark.parametrize("name, data, message", [
        ("latin.py", b'x = "sch\xf6n"\n', "the source is not UTF-8 text (byte 0xf6 at offset 8)"),
        ("a.json", b'["sch\xf6n"]', "the JSON text is not UTF-8 text (byte 0xf6 at offset 5)"),
        ("a.tree", b"{sch\xf6n}", "the file is not UTF-8 text (byte 0xf6 at offset 4)"),
        ("a.mrg", b"(S \xf6)", "the file is not UTF-8 text (byte 0xf6 at offset 3)"),
        ("program", b"\x7fELF\x02\x01\x01\x00\xff\xfe", "the file is not UTF-8 text (byte 0xff at offset 8)"),
    ])
    def test_bytes_that_are_not_text_get_one_line(self, tmp_path, name, data, message):
        (tmp_path / name).write_bytes(data)
        with pytest.raises(ValueError, match=re.escape(message)):
            load(tmp_path / name)
        run = subprocess.run([sys.executable, "-m", "grix", "distance", name, name], cwd=tmp_path,
                             capture_output=True, text=True, timeout=120)
        assert run.returncode == 1 and run.stderr == f"grix: {name}: {message}\n"

    def test_python_source_in_its_declared_encoding(self, tmp_path):
        (tmp_path / "bom.py").write_bytes(b"\xef\xbb\xbfx = 1\n")
        assert load(tmp_path / "bom.py") == Tree.from_ast("x = 1")
        (tmp_path / "a.py").write_bytes(b'# -*- coding: latin-1 -*-\nx = "sch\xf6n"\n')
        assert "Constant:'sch\xf6n'" in load(tmp_path / "a.py").labels
        (tmp_path / "b.py").write_bytes(b"# -*- coding: nonsense -*-\n")
        with pytest.raises(ValueError, match="declares an unknown encoding: nonsense"):
            load(tmp_path / "b.py")


class TestEmptyInput:
    """Empty text is the empty tree where the format has an empty document,
    and one line of ValueError where it has none; data is never empty."""

    @pytest.mark.parametrize("read", [Tree.from_bracket, Tree.from_ptb, Tree.from_conllu],
                             ids=["bracket", "ptb", "conllu"])
    @pytest.mark.parametrize("text", ["", " \n\t"])
    def test_lists_of_trees_give_the_empty_tree(self, read, text):
        assert len(read(text)) == 0

    @pytest.mark.parametrize("read, message", [
        (Tree.from_xml, "XML text is empty"), (Tree.from_html, "HTML text is empty"),
        (Tree.from_json, "JSON text is empty; expected a value such as {} or []"),
    ], ids=["xml", "html", "json"])
    @pytest.mark.parametrize("text", ["", " \n", b"", "\ufeff"])
    def test_documents_refuse_empty_text(self, read, message, text):
        with pytest.raises(ValueError, match=re.escape(message)):
            read(text)

    def test_parsed_and_data_inputs_are_never_empty(self):
        assert Tree.from_ast("").labels == ("Module",)
        assert Tree.from_dot_bracket("").labels == ("R",)
        assert Tree.from_nested(None).labels == ("None",) and Tree.from_json(None).labels == ("null",)


class TestLoad:
    FILES = {
        "a.py": ("x = 1\n", "Module"),
        "a.xml": ("<r><c/></r>", "r"),
        "a.HTM": ("<html><body></body></html>", "html"),
        "a.json": ("[1]", "[]"),
        "a.tree": ("{t{u}}", "t"),
        "a.txt": ("\n {t{u}}", "t"),  # any other suffix: bracket text when it starts with '{'
        "a.bracket": ("\ufeff{t{u}}", "t"),  # a byte order mark is skipped
    }

    def test_by_suffix_and_by_name(self, tmp_path):
        for name, (content, root) in self.FILES.items():
            (tmp_path / name).write_text(content, encoding="utf-8")
            assert load(tmp_path / name).labels[0] == root
            assert load(str(tmp_path / name)) == load(tmp_path / name)
        (tmp_path / "x.txt").write_text("<r><c/></r>")
        assert load(str(tmp_path / "x.txt"), format="xml") == Tree.from_bracket("{r{c}}")
        assert load(tmp_path / "a.xml", text=False, attributes=False) == Tree.from_bracket("{r{c}}")
        assert load(tmp_path / "a.py", context=True).labels[-2:] == ("Store", "Constant:1")

    def test_errors(self, tmp_path):
        with pytest.raises(ValueError, match="unknown format 'yaml'; use one of 'python', 'xml'"):
            load(tmp_path / "a.py", format="yaml")
        with pytest.raises(FileNotFoundError, match="missing.json"):
            load(tmp_path / "missing.json")
        (tmp_path / "bad.json").write_text("[1,")
        with pytest.raises(ValueError, match=r"bad\.json: Expecting value"):
            load(tmp_path / "bad.json")

    @pytest.mark.parametrize("name, words", [(".conf", "a name without a suffix"),
                                             ("app.conf", "the suffix '.conf'")])
    def test_an_unknown_suffix_asks_for_the_format(self, tmp_path, name, words):
        (tmp_path / name).write_text("<config><port>80</port></config>")
        with pytest.raises(UnknownFormatError, match=f"{re.escape(name)}: {words} selects no reader") as info:
            load(tmp_path / name)
        assert "format= one of 'python', 'xml'" in str(info.value) and info.value.path.endswith(name)
        assert load(tmp_path / name, format="xml").labels == ("config", "port", "80")
