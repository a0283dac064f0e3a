"""Reading trees from files and from the formats behind Tree's constructors.

The parsers here are iterative: JSON text too deeply nested for
:func:`json.loads` goes through :func:`parse_json`, and HTML goes through
:class:`HTMLTreeBuilder` when lxml is missing or gives up on depth.
"""

from __future__ import annotations

import ast
import codecs
import json
import os
import re
import warnings
import xml.etree.ElementTree as ET
from collections.abc import Callable, Hashable, Iterator, Sequence
from html.parser import HTMLParser
from pathlib import Path
from typing import Any

from .tree import AncestorPath, Tree, _short

__all__ = ["load", "parse_json", "JSONPath", "HTMLTreeBuilder", "FORMATS"]

#: Format names accepted by :func:`load`, and the suffixes that select them.
FORMATS: dict[str, tuple[str, ...]] = {
    "python": (".py",),
    "xml": (".xml",),
    "html": (".html", ".htm"),
    "json": (".json",),
    "bracket": (),
}


def load(path: str | os.PathLike[str], format: str | None = None, **options: Any) -> Tree:
    """Read a tree from a file, choosing the reader by the file's suffix.

    ``.py`` is read with :meth:`Tree.from_ast`, ``.xml`` with
    :meth:`Tree.from_xml`, ``.html`` and ``.htm`` with :meth:`Tree.from_html`,
    ``.json`` with :meth:`Tree.from_json` and anything else as bracket text
    (UTF-8). ``format`` ("python", "xml", "html", "json" or "bracket")
    overrides the suffix; ``options`` go to the reader (e.g. ``text=True``
    for XML and HTML).

    Raises FileNotFoundError for a missing file, ValueError for an unknown
    format or for content the reader rejects (the message starts with the
    path).
    """
    path = Path(path)
    if format is None:
        suffix = path.suffix.lower()
        format = next((name for name, suffixes in FORMATS.items() if suffix in suffixes), "bracket")
    elif format not in FORMATS:
        raise ValueError(f"unknown format {format!r}; use one of {', '.join(map(repr, FORMATS))}")
    try:
        if format == "python":
            return Tree.from_ast(path.read_bytes(), **options)
        if format == "xml":
            return Tree.from_xml(path, **options)
        if format == "html":
            return Tree.from_html(path, **options)
        if format == "json":
            return Tree.from_json(path.read_bytes(), **options)
        return Tree.from_bracket(path.read_text(encoding="utf-8"), **options)
    except ValueError as exc:
        raise ValueError(f"{path}: {exc}") from exc


# -- Python syntax trees ---------------------------------------------------

_AST_FIELDS = ("id", "name", "arg", "attr", "module")
# For each node type met so far: its name, and the field whose text joins the
# name in the label (None for none), or _CONSTANT for constants.
_AST_LABEL_OF: dict[type[ast.AST], tuple[str, str | None]] = {}
_CONSTANT = "<constant>"


def _ast_label_parts(kind: type[ast.AST]) -> tuple[str, str | None]:
    if issubclass(kind, ast.Constant):
        return kind.__name__, _CONSTANT
    return kind.__name__, next((f for f in _AST_FIELDS if f in kind._fields), None)


def _constant_label(name: str, value: object) -> str:
    if isinstance(value, int) and value.bit_length() > 10_000:
        return f"{name}:<int of {value.bit_length()} bits>"  # str() would refuse it
    return f"{name}:{repr(value)[:40]}"


def ast_label(node: ast.AST) -> str:
    """Type name, plus ``:`` and the identifier or constant the node carries."""
    kind = type(node)
    parts = _AST_LABEL_OF.get(kind) or _AST_LABEL_OF.setdefault(kind, _ast_label_parts(kind))
    name, field = parts
    if field is None:
        return name
    if field is _CONSTANT:
        return _constant_label(name, getattr(node, "value", None))
    value = getattr(node, field, None)
    return f"{name}:{value}" if isinstance(value, str) else name


def ast_tree(node_or_source: ast.AST | str | bytes, label: Callable[[ast.AST], object] | None = None) -> Tree:
    if isinstance(node_or_source, (str, bytes)):
        try:
            with warnings.catch_warnings():
                # Invalid escapes and the like are the compared code's business.
                warnings.simplefilter("ignore", SyntaxWarning)
                warnings.simplefilter("ignore", DeprecationWarning)
                node_or_source = ast.parse(node_or_source)
        except SyntaxError as exc:
            where = f" at line {exc.lineno}, column {exc.offset}" if exc.lineno else ""
            raise ValueError(f"Python source does not parse{where}: {exc.msg}") from exc
    elif not isinstance(node_or_source, ast.AST):
        raise TypeError(f"from_ast takes an ast.AST, str or bytes, not {type(node_or_source).__name__}")
    return _walk_ast(node_or_source, label)


def _walk_ast(root: ast.AST, label: Callable[[ast.AST], object] | None) -> Tree:
    """Pre-order walk with children in the order of ast.iter_child_nodes.

    Syntax trees are the largest input most users have, so this is
    Tree._from_walk written out for them, with the children found inline
    rather than by ast.iter_child_nodes' generators: twice as fast. Nodes
    with children go through the same ancestor check (a hand-built tree may
    be cyclic).
    """
    AST = ast.AST
    get_label = label or ast_label
    labels: list[str] = []
    parents: list[int] = []
    source: list[ast.AST] = []
    stack: list[tuple[ast.AST, int]] = [(root, -1)]
    ancestors = AncestorPath("Python syntax tree")
    while stack:
        node, parent = stack.pop()
        index = len(labels)
        text = get_label(node)
        labels.append(text if type(text) is str else str(text))
        parents.append(parent)
        source.append(node)
        kids: list[ast.AST] = []
        for field_name in node._fields:
            value = getattr(node, field_name, None)
            if isinstance(value, AST):
                kids.append(value)
            elif isinstance(value, list):
                kids += [item for item in value if isinstance(item, AST)]
        if not kids:
            continue
        ancestors.enter(node, index, parent)
        kids.reverse()
        stack += [(kid, index) for kid in kids]
    return Tree._from_preorder(labels, parents, source)


# -- XML and HTML ----------------------------------------------------------

_VOID = frozenset(
    "area base br col embed hr img input link meta source track wbr".split()
)
# Starting one of these closes an open <p>, as browsers do.
_CLOSES_P = frozenset(
    "address article aside blockquote details dialog div dl dd dt fieldset figcaption figure "
    "footer form h1 h2 h3 h4 h5 h6 header hgroup hr li main menu nav ol p pre section table ul".split()
)
# Bare attributes that lxml (libxml2) gives their own name as value; it
# gives the others an empty value.
_NAMED_BOOLEAN = frozenset(
    "checked compact declare defer disabled ismap multiple nohref noresize noshade nowrap readonly selected".split()
)
_P_SCOPE = frozenset("html body table td th caption button object template marquee applet".split())
# tag: (open elements it closes, elements that stop the search for them)
_CLOSES_SAME: dict[str, tuple[frozenset[str], frozenset[str]]] = {
    "li": (frozenset({"li"}), frozenset({"ul", "ol", "menu"})),
    "dt": (frozenset({"dt", "dd"}), frozenset({"dl"})),
    "dd": (frozenset({"dt", "dd"}), frozenset({"dl"})),
    "td": (frozenset({"td", "th"}), frozenset({"tr", "table"})),
    "th": (frozenset({"td", "th"}), frozenset({"tr", "table"})),
    "tr": (frozenset({"tr"}), frozenset({"table", "thead", "tbody", "tfoot"})),
    "option": (frozenset({"option"}), frozenset({"select", "datalist", "optgroup"})),
}


class HTMLTreeBuilder(HTMLParser):
    """Builds an :mod:`xml.etree.ElementTree` element tree from HTML, with the
    standard library only.

    It copes with void elements, unclosed tags (an end tag closes every
    element opened inside it; an end tag matching no open element is
    ignored) and the simple implied end tags of ``p``, ``li``, ``dt``/``dd``,
    ``td``/``th``, ``tr`` and ``option``. Comments, declarations and
    processing instructions are dropped. :meth:`parse` returns the root
    element of a document.
    """

    def __init__(self) -> None:
        super().__init__(convert_charrefs=True)
        self._document = ET.Element("html")
        self._open = [self._document]
        # How many of each tag are open: most searches end here at once,
        # which keeps deep documents linear.
        self._open_count: dict[str, int] = {}

    def handle_starttag(self, tag: str, attrs: list[tuple[str, str | None]]) -> None:
        self._start(tag, attrs, void=tag in _VOID)

    def handle_startendtag(self, tag: str, attrs: list[tuple[str, str | None]]) -> None:
        self._start(tag, attrs, void=True)

    def _start(self, tag: str, attrs: list[tuple[str, str | None]], void: bool) -> None:
        if tag in _CLOSES_P:
            self._close_nearest(frozenset({"p"}), _P_SCOPE)
        if tag in _CLOSES_SAME:
            self._close_nearest(*_CLOSES_SAME[tag])
        values = {k: (k if k in _NAMED_BOOLEAN else "") if v is None else v for k, v in attrs}
        element = ET.SubElement(self._open[-1], tag, values)
        if not void:
            self._open.append(element)
            self._open_count[tag] = self._open_count.get(tag, 0) + 1

    def handle_endtag(self, tag: str) -> None:
        self._close_nearest(frozenset({tag}), frozenset())

    def _close_nearest(self, tags: frozenset[str], stops: frozenset[str]) -> None:
        if not any(self._open_count.get(tag) for tag in tags):
            return
        for i in range(len(self._open) - 1, 0, -1):
            if self._open[i].tag in tags:
                for element in self._open[i:]:
                    self._open_count[element.tag] -= 1
                del self._open[i:]
                return
            if self._open[i].tag in stops:
                return

    def handle_data(self, data: str) -> None:
        parent = self._open[-1]
        if len(parent):
            parent[-1].tail = (parent[-1].tail or "") + data
        else:
            parent.text = (parent.text or "") + data

    def parse(self, text: str) -> ET.Element:
        """Parse a whole document and return its ``html`` root element.

        As lxml does, a fragment is placed in a document: elements outside
        ``html``, ``head`` and ``body`` go into a ``body`` under an ``html``
        root, so that a tree never depends on which parser read it. Raises
        ValueError when there is no element at all.
        """
        self.feed(text)
        self.close()
        document = self._document
        if len(document) == 0:
            raise ValueError("HTML text has no elements")
        stray_text = (document.text or "").strip() or any((e.tail or "").strip() for e in document)
        tags = [element.tag for element in document]
        if tags == ["html"] and not stray_text:
            return document[0]
        if not stray_text and set(tags) <= {"head", "body"}:
            return document
        body = ET.Element("body")
        body.text, document.text = document.text, None
        body.extend(list(document))
        document[:] = [body]
        return document


def _is_markup(src: str) -> bool:
    return src.lstrip().lstrip("\ufeff")[:1] == "<"


def _decode_html(data: bytes) -> str:
    """Decode HTML bytes by BOM, then a declared charset, then UTF-8."""
    for bom, encoding in ((codecs.BOM_UTF8, "utf-8-sig"), (codecs.BOM_UTF16_LE, "utf-16"), (codecs.BOM_UTF16_BE, "utf-16")):
        if data.startswith(bom):
            return data.decode(encoding, errors="replace")
    declared = re.search(rb"""charset\s*=\s*["']?([A-Za-z0-9._:-]+)""", data[:4096])
    encoding = "utf-8"
    if declared:
        try:
            encoding = codecs.lookup(declared.group(1).decode("ascii")).name
        except LookupError:
            pass
    return data.decode(encoding, errors="replace")


def _element_root(src: Any, parse: Callable[[str | bytes], Any]) -> Any:
    """Find the root element of ``src``, parsing text, bytes or a file."""
    if isinstance(src, str) and not _is_markup(src):
        src = Path(src)
    if isinstance(src, os.PathLike):
        src = Path(src).read_bytes()
    if isinstance(src, (str, bytes, bytearray)):
        return parse(bytes(src) if isinstance(src, bytearray) else src)
    if hasattr(src, "getroot"):
        root = src.getroot()
        if root is None:
            raise ValueError("the element tree has no root element")
        return root
    if isinstance(getattr(src, "tag", None), str):
        return src
    raise TypeError(
        f"expected markup text, bytes, a path or an element (tree), not {type(src).__name__}"
    )


def _parse_xml(src: str | bytes) -> ET.Element:
    try:
        return ET.fromstring(src)
    except ET.ParseError as exc:
        raise ValueError(f"XML text is not well-formed: {exc}") from exc


def _parse_html(src: str | bytes) -> Any:
    try:
        import lxml.etree
        import lxml.html
    except ImportError:
        return _parse_html_stdlib(src)
    if isinstance(src, str):
        # lxml refuses str input with an encoding declaration; hand it UTF-8.
        parser = lxml.html.HTMLParser(encoding="utf-8", remove_comments=True, remove_pis=True)
        data = src.encode("utf-8")
    else:
        parser = lxml.html.HTMLParser(remove_comments=True, remove_pis=True)
        data = src
    try:
        root = lxml.html.document_fromstring(data, parser=parser)
    except lxml.etree.ParserError as exc:
        raise ValueError(f"HTML text has no elements ({exc})") from exc
    # libxml2 stops at a fixed depth and drops what lies deeper.
    if any(error.level == lxml.etree.ErrorLevels.FATAL for error in parser.error_log):
        return _parse_html_stdlib(src)
    return root


def _parse_html_stdlib(src: str | bytes) -> ET.Element:
    return HTMLTreeBuilder().parse(src if isinstance(src, str) else _decode_html(src))


def _markup_tree(root: Any, text: bool, attributes: bool, lower: bool, what: str) -> Tree:
    """Walk an ElementTree or lxml element in pre-order. Comments, processing
    instructions and entities (whose tag is not a string) are left out; text
    runs and attributes become leaves when asked for."""
    if not text and not attributes:
        elements = _lxml_elements(root)
        if elements is not None:
            return _tree_of_lxml_elements(elements, lower)
    labels: list[str] = []
    parents: list[int] = []
    source: list[object] = []
    # Items are elements, or (label, source) pairs for text and attribute leaves.
    stack: list[tuple[Any, int]] = [(root, -1)]
    ancestors = AncestorPath(what)
    while stack:
        item, parent = stack.pop()
        index = len(labels)
        parents.append(parent)
        if type(item) is tuple:
            labels.append(item[0])
            source.append(item[1])
            continue
        element = item
        labels.append(element.tag.lower() if lower else element.tag)
        source.append(element)
        kids: list[Any] = []
        if attributes:
            kids += [(f"@{k}={v}", (element, f"@{k}")) for k, v in element.attrib.items()]
        if text:
            # Text runs on across skipped comments, so a document reads the same
            # whether its parser kept them or not; a run's source is its first piece.
            run, run_source = [element.text or ""], (element, "text")
            for child in element:
                if isinstance(child.tag, str):
                    _add_text(kids, run, run_source)
                    kids.append(child)
                    run, run_source = [], (child, "tail")
                run.append(child.tail or "")
            _add_text(kids, run, run_source)
        else:
            kids += [child for child in element if isinstance(child.tag, str)]
        if not kids:
            continue
        ancestors.enter(element, index, parent)  # a hand-built ElementTree may contain itself
        kids.reverse()
        stack += [(kid, index) for kid in kids]
    return Tree._from_preorder(labels, parents, source)


def _add_text(kids: list[Any], run: list[str], source: object) -> None:
    stripped = "".join(run).strip()
    if stripped:
        kids.append((stripped, source))


def _lxml_elements(root: Any) -> list[Any] | None:
    """The elements under an lxml element, in pre-order; None for others.

    lxml makes a Python object for every element it hands out, so its own
    iterator and parent links, which stay in C, convert a page two to three
    times faster than a walk that asks each element for its children.
    """
    try:
        import lxml.etree
    except ImportError:
        return None
    if not isinstance(root, lxml.etree._Element):
        return None
    return list(root.iter(lxml.etree.Element))


def _tree_of_lxml_elements(elements: list[Any], lower: bool) -> Tree:
    position = {element: i for i, element in enumerate(elements)}
    parents = [-1] + [position[element.getparent()] for element in elements[1:]]
    labels = [element.tag.lower() if lower else element.tag for element in elements]
    return Tree._from_preorder(labels, parents, elements)


def xml_tree(src: Any, *, text: bool = False, attributes: bool = False) -> Tree:
    root = _element_root(src, _parse_xml)
    return _markup_tree(root, text, attributes, lower=False, what="XML")


def html_tree(src: Any, *, text: bool = False, attributes: bool = False) -> Tree:
    root = _element_root(src, _parse_html)
    return _markup_tree(root, text, attributes, lower=True, what="HTML")


# -- JSON ------------------------------------------------------------------

_JSON_SPACE = re.compile(r"[ \t\n\r]*")


def parse_json(text: str | bytes) -> Any:
    """Decode JSON text like :func:`json.loads`, without recursion.

    Used for text nested too deeply for the standard decoder; scalars still
    go through :meth:`json.JSONDecoder.raw_decode`, so both decode alike.
    Raises :class:`json.JSONDecodeError` with the offset of the error.
    """
    s = text if isinstance(text, str) else text.decode(json.detect_encoding(text), "surrogatepass")
    decoder = json.JSONDecoder()
    Error = json.JSONDecodeError
    containers: list[Any] = []  # open lists and dicts
    keys: list[str | None] = []  # pending key of each open dict

    def skip(i: int) -> int:
        return _JSON_SPACE.match(s, i).end()  # type: ignore[union-attr]

    def key_at(i: int) -> tuple[str, int]:
        if s[i:i + 1] != '"':
            raise Error("Expecting property name enclosed in double quotes", s, i)
        key, i = decoder.raw_decode(s, i)
        i = skip(i)
        if s[i:i + 1] != ":":
            raise Error("Expecting ':' delimiter", s, i)
        return key, skip(i + 1)

    if s.startswith("\ufeff"):
        raise Error("Unexpected UTF-8 BOM (decode using utf-8-sig)", s, 0)
    i = skip(0)
    while True:
        # Read one value at i; containers are opened rather than recursed into.
        char = s[i:i + 1]
        if char in ("[", "{"):
            j = skip(i + 1)
            if s[j:j + 1] == ("]" if char == "[" else "}"):
                value: Any = [] if char == "[" else {}
                i = j + 1
            elif char == "[":
                containers.append([])
                keys.append(None)
                i = j
                continue
            else:
                key, i = key_at(j)
                containers.append({})
                keys.append(key)
                continue
        else:
            value, i = decoder.raw_decode(s, i)
        # Store the value, closing every container that ends here.
        while True:
            if not containers:
                i = skip(i)
                if i != len(s):
                    raise Error("Extra data", s, i)
                return value
            top = containers[-1]
            if keys[-1] is None:
                top.append(value)
            else:
                top[keys[-1]] = value
            i = skip(i)
            char = s[i:i + 1]
            if char == ",":
                i = skip(i + 1)
                if keys[-1] is not None:
                    keys[-1], i = key_at(i)
                break
            if char != ("]" if keys[-1] is None else "}"):
                raise Error("Expecting ',' delimiter", s, i)
            value = containers.pop()
            keys.pop()
            i += 1


class JSONPath(Sequence[str | int]):
    """The keys and indices leading to a JSON value, e.g. ``("a", 0, "b")``.

    It behaves as that tuple (equality and hash included) but shares its
    prefix with the parent's path, so a deeply nested document needs O(1)
    memory per node rather than O(depth). ``tuple(path)`` copies it out.
    """

    __slots__ = ("parent", "key", "_len")

    def __init__(self, parent: JSONPath | None = None, key: str | int | None = None) -> None:
        self.parent = parent
        self.key = key
        self._len = 0 if parent is None else len(parent) + 1

    def __len__(self) -> int:
        return self._len

    def __iter__(self) -> Iterator[str | int]:
        keys: list[str | int] = []
        path: JSONPath | None = self
        while path is not None and path.parent is not None:
            keys.append(path.key)  # type: ignore[arg-type]
            path = path.parent
        return reversed(keys)

    def __getitem__(self, index: Any) -> Any:
        return tuple(self)[index]

    def __eq__(self, other: object) -> bool:
        if isinstance(other, (JSONPath, tuple)):
            return len(self) == len(other) and tuple(self) == tuple(other)
        return NotImplemented

    def __hash__(self) -> int:
        return hash(tuple(self))

    def __repr__(self) -> str:
        return repr(tuple(self))


def json_tree(obj_or_text: Any) -> Tree:
    data = obj_or_text
    if isinstance(data, (str, bytes, bytearray)):
        try:
            data = json.loads(data)
        except RecursionError:
            data = parse_json(bytes(data) if isinstance(data, bytearray) else data)

    def expand(item: tuple[Any, ...]) -> tuple[str, object, Sequence[Any], object]:
        if item[0] == "member":
            _, key, value, path = item
            return key, path, [("value", value, path)], None
        _, value, path = item
        if isinstance(value, dict):
            members = [("member", _json_key(k, path), v, JSONPath(path, k)) for k, v in value.items()]
            return "{}", path, members, value
        if isinstance(value, (list, tuple)):
            return "[]", path, [("value", v, JSONPath(path, i)) for i, v in enumerate(value)], value
        if value is None or isinstance(value, (str, int, float)):
            return json.dumps(value, ensure_ascii=False), path, (), None
        raise TypeError(
            f"JSON data at path {_short(path)} is {type(value).__name__}; "
            "JSON holds only dict, list, tuple, str, int, float, bool and None"
        )

    return Tree._from_walk(("value", data, JSONPath()), expand, "JSON data")


def _json_key(key: Any, path: JSONPath) -> str:
    if isinstance(key, str):
        return key
    if key is None or isinstance(key, (int, float)):
        return json.dumps(key)  # as json.dumps would write it: 1, true, null
    raise TypeError(f"JSON data at path {_short(path)} has a {type(key).__name__} key; keys must be str")


# -- networkx --------------------------------------------------------------

def networkx_tree(graph: Any, root: Hashable, label: str | None) -> Tree:
    if not hasattr(graph, "is_directed") or not hasattr(graph, "nodes"):
        raise TypeError(f"from_networkx takes a networkx graph, not {type(graph).__name__}")
    if root not in graph:
        raise ValueError(f"graph: root {_short(root)} is not a node of the graph")
    directed = graph.is_directed()
    next_nodes = graph.successors if directed else graph.neighbors
    attrs = graph.nodes
    reached_from: dict[Hashable, Hashable] = {}

    def expand(item: tuple[Hashable, Hashable]) -> tuple[str, object, Sequence[Any], object]:
        node, parent = item
        if node in reached_from:
            first = reached_from[node]
            how = "as the root" if first is None else f"from {_short(first)}"
            raise ValueError(
                f"graph is not a tree: node {_short(node)} is reached twice "
                f"({how} and from {_short(parent)}); remove the extra edge"
            )
        reached_from[node] = parent
        kids = [(kid, node) for kid in next_nodes(node) if directed or kid != parent]
        data = attrs[node]
        text = data[label] if label is not None and label in data else node
        return text if type(text) is str else str(text), node, kids, None

    tree = Tree._from_walk((root, None), expand, "graph")
    missing = len(graph) - len(tree)
    if missing:
        example = next(node for node in graph if node not in reached_from)
        raise ValueError(
            f"graph: {missing} node{'s are' if missing > 1 else ' is'} not reachable from root "
            f"{_short(root)} (e.g. {_short(example)}); a tree's nodes all hang below its root"
        )
    return tree
