"""The readers: every format grix reads, as plain functions.

Each reader walks its input with an explicit stack (nesting depth is limited
by memory, not by the interpreter's recursion limit) and returns the nodes in
pre-order as a :data:`Preorder` triple: labels, parents, and the object each
node came from. ``grix.Tree``'s constructors and :func:`grix.load` wrap them;
this module knows nothing of the tree type, so the arrow points one way.

Text or path: ``str`` and ``bytes`` are always the document itself, and only
an ``os.PathLike`` is read from a file (:func:`read_file` and ``grix.load``
take ``str`` paths too). Markup text must start with ``<`` after whitespace.
"""

from __future__ import annotations

import ast
import codecs
import hashlib
import json
import operator
import os
import re
import warnings
import xml.etree.ElementTree as ET
from collections.abc import Callable, Hashable, Iterable, Iterator, Sequence
from html.parser import HTMLParser
from itertools import repeat
from pathlib import Path
from typing import Any, TypeVar

__all__ = ["FORMATS", "HTMLTreeBuilder", "JSONPath", "Preorder", "UnknownFormatError", "ast_label",
           "format_of", "parse_json", "read_file", "read_html", "read_json", "read_nested", "read_networkx",
           "read_python", "read_xml", "source_line"]

_T = TypeVar("_T")
_S = TypeVar("_S")

#: A tree in pre-order: labels, parent ids (-1 for the root, every other
#: parent is the previous node or one of its ancestors) and sources.
Preorder = tuple[list[str], list[int], list[_S]]


def short(obj: object, limit: int = 40) -> str:
    """``repr(obj)``, cut to ``limit`` characters for messages."""
    text = repr(obj)
    return text if len(text) <= limit else text[: limit - 3] + "..."


class AncestorPath:
    """The objects on the path from the root to the node being expanded in a
    pre-order walk, to refuse an object found inside itself: the tree would
    be infinite. The path is trimmed back to each node's parent, which
    pre-order makes O(1) amortised. Only nodes with children need to enter.
    """

    __slots__ = ("_what", "_path", "_on_path")

    def __init__(self, what: str) -> None:
        self._what = what
        self._path: list[tuple[int, object]] = []
        self._on_path: dict[int, int] = {}

    def enter(self, obj: object, node: int, parent: int) -> None:
        """Record that node ``node`` (child of ``parent``) is ``obj``; None
        is never checked. Raises ValueError if ``obj`` is an ancestor."""
        path, on_path = self._path, self._on_path
        while path and path[-1][0] != parent:
            on_path.pop(id(path.pop()[1]), None)
        if obj is not None:
            if id(obj) in on_path:
                raise ValueError(
                    f"{self._what}: node {node} is the same object as its ancestor node "
                    f"{on_path[id(obj)]}, so the tree would be infinite"
                )
            on_path[id(obj)] = node
        path.append((node, obj))


def walk(root: _T, expand: Callable[[_T], tuple[str, Any, Sequence[_T], object]], what: str) -> Preorder[Any]:
    """Depth-first walk from ``root``: ``expand(item)`` gives the node's
    label, source, child items and an identity (or None).

    An identity met again among a node's ancestors would make the tree
    infinite, so it raises ValueError (see AncestorPath).
    """
    labels: list[str] = []
    parents: list[int] = []
    source: list[Any] = []
    stack: list[tuple[_T, int]] = [(root, -1)]
    ancestors = AncestorPath(what)
    while stack:
        item, parent = stack.pop()
        label, src, kids, ident = expand(item)
        node = len(labels)
        labels.append(label)
        parents.append(parent)
        source.append(src)
        if not kids:
            continue
        ancestors.enter(ident, node, parent)
        stack.extend(zip(reversed(kids), repeat(node)))
    return labels, parents, source


# -- files -----------------------------------------------------------------

#: Format names accepted by :func:`read_file`, and the suffixes that select them.
FORMATS: dict[str, tuple[str, ...]] = {
    "python": (".py", ".pyi"),
    "xml": (".xml",),
    "html": (".html", ".htm"),
    "json": (".json",),
    "bracket": (".tree", ".bracket"),
}


class UnknownFormatError(ValueError):
    """A file whose suffix names no format and whose text is not bracket text."""

    def __init__(self, path: str, suffix: str) -> None:
        self.path = path
        named = f"the suffix {suffix!r}" if suffix else "a name without a suffix"
        self.reason = (f"{named} selects no reader and the text is not bracket text "
                       "(it does not start with '{')")
        super().__init__(f"{path}: {self.reason}; pass format= one of {', '.join(map(repr, FORMATS))}")


def format_of(path: str | os.PathLike[str]) -> str | None:
    """The format a file's suffix selects, or None."""
    suffix = Path(path).suffix.lower()
    return next((name for name, suffixes in FORMATS.items() if suffix in suffixes), None)


def read_file(path: str | os.PathLike[str], format: str | None = None, **options: Any) -> Preorder[Any]:
    """Read a tree from a file, choosing the reader by the file's suffix.

    ``.py`` and ``.pyi`` go to :func:`read_python`, ``.xml`` to
    :func:`read_xml`, ``.html`` and ``.htm`` to :func:`read_html`, ``.json``
    to :func:`read_json`; ``.tree``, ``.bracket`` and any other suffix are
    bracket text (UTF-8, a byte order mark is skipped), but a file with
    another suffix must start with ``{``, or :class:`UnknownFormatError`
    asks for the format. ``format`` (one of :data:`FORMATS`) overrides the
    suffix; ``options`` go to the reader (e.g. ``text=False`` for markup).

    Raises FileNotFoundError or IsADirectoryError for a bad path,
    ValueError for an unknown format or content the reader rejects.
    """
    path = Path(path)
    if format is None:
        format = format_of(path)
        if format is None:
            text = path.read_text(encoding="utf-8-sig")
            if not text.lstrip().startswith("{"):
                raise UnknownFormatError(os.fspath(path), path.suffix)
            return read_bracket(text, **options)
    elif format not in FORMATS:
        raise ValueError(f"unknown format {format!r}; use one of {', '.join(map(repr, FORMATS))}")
    if format == "python":
        return read_python(path.read_bytes(), **options)
    if format == "xml":
        return read_xml(path, **options)
    if format == "html":
        return read_html(path, **options)
    if format == "json":
        return read_json(path.read_bytes(), **options)
    return read_bracket(path.read_text(encoding="utf-8-sig"), **options)


# -- bracket text ----------------------------------------------------------

# A bracket token: a brace, or a run of label text in which a backslash always
# takes the next character with it (so "\}" never ends a node).
_BRACKET_TOKEN = re.compile(r"[{}]|(?:[^{}\\]+|\\[\s\S]?)+")
_BRACKET_UNESCAPE = re.compile(r"\\([{}\\])")


def read_bracket(text: str) -> Preorder[int]:
    """Parse bracket notation such as ``{a{b}{c}}`` (see ``Tree.from_bracket``);
    the source of a node is the offset of its ``{``."""
    if not isinstance(text, str):
        raise TypeError(f"bracket text must be a str, not {type(text).__name__}")
    labels: list[str] = []
    parents: list[int] = []
    source: list[int] = []
    open_nodes: list[int] = []
    start = len(text) - len(text.lstrip())
    if start == len(text):
        return labels, parents, source
    closed = False
    expect_label = False
    for token in _BRACKET_TOKEN.finditer(text, start):
        value, offset = token.group(), token.start()
        # Point at the first character that matters, not at leading blanks.
        offset += len(value) - len(value.lstrip())
        if closed:
            if value.strip():
                raise ValueError(f"bracket text: text after the tree at offset {offset}")
        elif value == "{":
            parents.append(open_nodes[-1] if open_nodes else -1)
            open_nodes.append(len(labels))
            labels.append("")
            source.append(offset)
            expect_label = True
            continue
        elif value == "}":
            if not open_nodes:
                raise ValueError(f"bracket text: unexpected '}}' at offset {offset}")
            open_nodes.pop()
            closed = not open_nodes
        elif expect_label:
            labels[-1] = _BRACKET_UNESCAPE.sub(r"\1", value)
        elif not open_nodes:
            raise ValueError(f"bracket text: expected '{{' at offset {offset}")
        elif value.strip():
            raise ValueError(
                f"bracket text: text between nodes at offset {offset}; "
                "a label must follow its '{' directly"
            )
        expect_label = False
    if open_nodes:
        raise ValueError(f"bracket text: unclosed '{{' opened at offset {source[open_nodes[-1]]}")
    return labels, parents, source


# -- nested data -----------------------------------------------------------

def read_nested(
    obj: object,
    children: str | Callable[[Any], Iterable[Any]] | None = None,
    label: str | Callable[[Any], object] | None = None,
) -> Preorder[Any]:
    """Nested Python objects (see ``Tree.from_nested``); sources are the objects."""
    get_children = _accessor(children, lambda o: _nested_parts(o)[1])
    get_label = _accessor(label, lambda o: _nested_parts(o)[0])

    def expand(o: object) -> tuple[str, object, Sequence[object], object]:
        kids = get_children(o)
        if kids is None:
            kids = ()
        elif not isinstance(kids, (list, tuple)):
            try:
                kids = list(kids)
            except TypeError:
                raise TypeError(
                    f"nested data: the children of {short(o)} are {type(kids).__name__}, "
                    "not an iterable; check the children accessor"
                ) from None
        text = get_label(o)
        return text if type(text) is str else str(text), o, kids, o

    return walk(obj, expand, "nested data")


def _nested_parts(obj: Any) -> tuple[object, Sequence[object]]:
    if isinstance(obj, (tuple, list)) and len(obj) == 2 and isinstance(obj[1], (list, tuple)):
        return obj[0], obj[1]
    kids = getattr(obj, "children", None)
    if kids is not None:
        for name in ("label", "name"):
            if hasattr(obj, name):
                return getattr(obj, name), kids
    return obj, ()


def _accessor(how: str | Callable[[Any], _T] | None, default: Callable[[Any], _T]) -> Callable[[Any], _T]:
    if how is None:
        return default
    if isinstance(how, str):
        return operator.attrgetter(how)
    if callable(how):
        return how
    raise TypeError(f"expected an attribute name or a callable, not {type(how).__name__}")


# -- Python syntax trees ---------------------------------------------------

_AST_FIELDS = ("id", "name", "arg", "attr", "module")
# For each node type met so far: its name, and the field whose text joins the
# name in the label (None for none), or _CONSTANT for constants.
_AST_LABEL_OF: dict[type[ast.AST], tuple[str, str | None]] = {}
_CONSTANT = "<constant>"
# A constant whose repr is longer than this is shown cut, with a digest of its
# whole repr, so that labels stay short yet differ whenever the values do.
CONSTANT_SHOWN = 40


def _ast_label_parts(kind: type[ast.AST]) -> tuple[str, str | None]:
    if issubclass(kind, ast.Constant):
        return kind.__name__, _CONSTANT
    return kind.__name__, next((f for f in _AST_FIELDS if f in kind._fields), None)


def _constant_label(name: str, value: object) -> str:
    if isinstance(value, int) and value.bit_length() > 10_000:
        # repr would refuse so many digits; hexadecimal has no limit.
        shown, whole = f"<int of {value.bit_length()} bits>", format(value, "x")
    else:
        whole = repr(value)
        if len(whole) <= CONSTANT_SHOWN:
            return f"{name}:{whole}"
        shown = whole[: CONSTANT_SHOWN - 1] + "…"
    digest = hashlib.blake2b(whole.encode("utf-8", "surrogatepass"), digest_size=8).hexdigest()
    return f"{name}:{shown} #{digest}"


def ast_label(node: ast.AST) -> str:
    """Type name, plus ``:`` and the identifier or constant the node carries.

    A constant whose ``repr`` is longer than 40 characters is shown by its
    first 39 and ``…``, followed by ``#`` and 16 hexadecimal digits of a
    digest of the whole ``repr``: two such labels are equal exactly when the
    values are (but for a 1 in 2**64 chance).
    """
    kind = type(node)
    parts = _AST_LABEL_OF.get(kind) or _AST_LABEL_OF.setdefault(kind, _ast_label_parts(kind))
    name, field = parts
    if field is None:
        return name
    if field is _CONSTANT:
        return _constant_label(name, getattr(node, "value", None))
    value = getattr(node, field, None)
    return f"{name}:{value}" if isinstance(value, str) else name


def read_python(
    node_or_source: ast.AST | str | bytes,
    label: Callable[[ast.AST], object] | None = None,
    *,
    context: bool = False,
) -> Preorder[ast.AST]:
    """A Python syntax tree, or source text parsed first (see ``Tree.from_ast``)."""
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
    return _walk_ast(node_or_source, label, context)


def _walk_ast(root: ast.AST, label: Callable[[ast.AST], object] | None, context: bool) -> Preorder[ast.AST]:
    """Pre-order walk with children in the order of ast.iter_child_nodes,
    less the expression contexts unless ``context``.

    Syntax trees are the largest input most users have, so this is walk()
    written out for them, with the children found inline rather than by
    ast.iter_child_nodes' generators: twice as fast. Nodes with children go
    through the same ancestor check (a hand-built tree may be cyclic).
    """
    AST = ast.AST
    # isinstance(x, ()) is always false: nothing is left out.
    left_out: type[ast.AST] | tuple[()] = () if context else ast.expr_context
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
                if not isinstance(value, left_out):
                    kids.append(value)
            elif isinstance(value, list):
                kids += [item for item in value if isinstance(item, AST)]
        if not kids:
            continue
        ancestors.enter(node, index, parent)
        kids.reverse()
        stack += [(kid, index) for kid in kids]
    return labels, parents, source


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
            raise ValueError("HTML text has no elements; expected markup such as '<p>...</p>'")
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


def _starts_with_markup(data: str | bytes) -> bool:
    """Whether the text starts with ``<`` after whitespace and a byte order mark."""
    if isinstance(data, bytes):
        for bom, encoding in ((codecs.BOM_UTF16_LE, "utf-16-le"), (codecs.BOM_UTF16_BE, "utf-16-be")):
            if data.startswith(bom):
                data = data[2:400].decode(encoding, errors="ignore")
                break
        else:
            data = data[:400].removeprefix(codecs.BOM_UTF8).decode("latin-1")
    return data.lstrip().lstrip("\ufeff").lstrip()[:1] == "<"


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


def _markup_root(src: Any, parse: Callable[[str | bytes], Any], what: str) -> Any:
    """The root element of ``src``: markup text, a file, or an element (tree)."""
    from_file = isinstance(src, os.PathLike)
    if from_file:
        src = Path(src).read_bytes()
    if isinstance(src, (str, bytes, bytearray)):
        data = bytes(src) if isinstance(src, bytearray) else src
        if not data.strip():
            raise ValueError(f"{what} text is empty; expected a document such as '<a>...</a>'")
        if not from_file and not _starts_with_markup(data):
            raise ValueError(
                f"expected {what} markup starting with '<', got {short(data)}; "
                "to read a file, pass a pathlib.Path or use grix.load"
            )
        return parse(data)
    if hasattr(src, "getroot"):
        root = src.getroot()
        if root is None:
            raise ValueError("the element tree has no root element")
        return root
    if isinstance(getattr(src, "tag", None), str):
        return src
    raise TypeError(
        f"expected markup text (str or bytes), a path (os.PathLike) or an element (tree), "
        f"not {type(src).__name__}"
    )


def _parse_xml(src: str | bytes) -> Any:
    """lxml when installed, for its line numbers; the standard library when
    not, or when lxml refuses: for its messages, and for depths beyond
    libxml2's limit."""
    try:
        import lxml.etree
    except ImportError:
        return _parse_xml_stdlib(src)
    options = dict(remove_comments=True, remove_pis=True, huge_tree=True)
    if isinstance(src, str):
        # lxml refuses str input with an encoding declaration; hand it UTF-8.
        parser = lxml.etree.XMLParser(encoding="utf-8", **options)
        data = src.encode("utf-8", "surrogatepass")
    else:
        parser = lxml.etree.XMLParser(**options)
        data = src
    try:
        return lxml.etree.fromstring(data, parser=parser)
    except lxml.etree.XMLSyntaxError:
        return _parse_xml_stdlib(src)


def _parse_xml_stdlib(src: str | bytes) -> ET.Element:
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
        raise ValueError(f"HTML text has no elements ({exc}); expected markup such as '<p>...</p>'") from exc
    # libxml2 stops at a fixed depth and drops what lies deeper.
    if any(error.level == lxml.etree.ErrorLevels.FATAL for error in parser.error_log):
        return _parse_html_stdlib(src)
    return root


def _parse_html_stdlib(src: str | bytes) -> ET.Element:
    return HTMLTreeBuilder().parse(src if isinstance(src, str) else _decode_html(src))


def _markup_tree(root: Any, text: bool, attributes: bool, html: bool, what: str) -> Preorder[Any]:
    """Walk an ElementTree or lxml element in pre-order. Comments, processing
    instructions and entities (whose tag is not a string) are left out; text
    runs and attributes become leaves when asked for. HTML tags are lower
    case, and whitespace in HTML text counts as a browser shows it: a run of
    it is one space."""
    if not text and not attributes:
        elements = _lxml_elements(root)
        if elements is not None:
            return _tree_of_lxml_elements(elements, html)
    labels: list[str] = []
    parents: list[int] = []
    source: list[Any] = []
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
        labels.append(element.tag.lower() if html else element.tag)
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
                    _add_text(kids, run, run_source, html)
                    kids.append(child)
                    run, run_source = [], (child, "tail")
                run.append(child.tail or "")
            _add_text(kids, run, run_source, html)
        else:
            kids += [child for child in element if isinstance(child.tag, str)]
        if not kids:
            continue
        ancestors.enter(element, index, parent)  # a hand-built ElementTree may contain itself
        kids.reverse()
        stack += [(kid, index) for kid in kids]
    return labels, parents, source


def _add_text(kids: list[Any], run: list[str], source: object, collapse: bool) -> None:
    stripped = " ".join("".join(run).split()) if collapse else "".join(run).strip()
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


def _tree_of_lxml_elements(elements: list[Any], lower: bool) -> Preorder[Any]:
    position = {element: i for i, element in enumerate(elements)}
    parents = [-1] + [position[element.getparent()] for element in elements[1:]]
    labels = [element.tag.lower() if lower else element.tag for element in elements]
    return labels, parents, elements


def read_xml(src: Any, *, text: bool = True, attributes: bool = True) -> Preorder[Any]:
    """An XML document (see ``Tree.from_xml``)."""
    root = _markup_root(src, _parse_xml, "XML")
    return _markup_tree(root, text, attributes, html=False, what="XML")


def read_html(src: Any, *, text: bool = True, attributes: bool = False) -> Preorder[Any]:
    """An HTML document (see ``Tree.from_html``)."""
    root = _markup_root(src, _parse_html, "HTML")
    return _markup_tree(root, text, attributes, html=True, what="HTML")


def source_line(source: object) -> int | None:
    """The line a node's source starts on, where its reader knows it: syntax
    tree nodes, lxml elements, and text and attribute leaves of lxml
    elements (the element's line). None elsewhere."""
    if type(source) is tuple and len(source) == 2 and isinstance(source[1], str):
        source = source[0]
    line = getattr(source, "lineno", None)
    if line is None:
        line = getattr(source, "sourceline", None)
    return line if type(line) is int and line > 0 else None


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
        if len(self) <= 8:
            return repr(tuple(self))
        keys = list(self)
        return f"({', '.join(map(repr, keys[:3]))}, ... {len(self) - 6} more ..., {', '.join(map(repr, keys[-3:]))})"


def read_json(obj_or_text: Any) -> Preorder[JSONPath]:
    """JSON text (str or bytes) or decoded data (see ``Tree.from_json``)."""
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
            f"JSON data at path {short(path)} is {type(value).__name__}; "
            "JSON holds only dict, list, tuple, str, int, float, bool and None"
        )

    return walk(("value", data, JSONPath()), expand, "JSON data")


def _json_key(key: Any, path: JSONPath) -> str:
    if isinstance(key, str):
        return key
    if key is None or isinstance(key, (int, float)):
        return json.dumps(key)  # as json.dumps would write it: 1, true, null
    raise TypeError(f"JSON data at path {short(path)} has a {type(key).__name__} key; keys must be str")


# -- networkx --------------------------------------------------------------

def read_networkx(graph: Any, root: Hashable, label: str | None = "label") -> Preorder[Hashable]:
    """A tree in a networkx graph, from ``root`` (see ``Tree.from_networkx``)."""
    if not hasattr(graph, "is_directed") or not hasattr(graph, "nodes"):
        raise TypeError(f"from_networkx takes a networkx graph, not {type(graph).__name__}")
    if root not in graph:
        raise ValueError(f"graph: root {short(root)} is not a node of the graph")
    directed = graph.is_directed()
    next_nodes = graph.successors if directed else graph.neighbors
    attrs = graph.nodes
    reached_from: dict[Hashable, Hashable] = {}

    def expand(item: tuple[Hashable, Hashable]) -> tuple[str, object, Sequence[Any], object]:
        node, parent = item
        if node in reached_from:
            first = reached_from[node]
            how = "as the root" if first is None else f"from {short(first)}"
            raise ValueError(
                f"graph is not a tree: node {short(node)} is reached twice "
                f"({how} and from {short(parent)}); remove the extra edge"
            )
        reached_from[node] = parent
        kids = [(kid, node) for kid in next_nodes(node) if directed or kid != parent]
        data = attrs[node]
        text = data[label] if label is not None and label in data else node
        return text if type(text) is str else str(text), node, kids, None

    tree = walk((root, None), expand, "graph")
    missing = len(graph) - len(tree[0])
    if missing:
        example = next(node for node in graph if node not in reached_from)
        raise ValueError(
            f"graph: {missing} node{'s are' if missing > 1 else ' is'} not reachable from root "
            f"{short(root)} (e.g. {short(example)}); a tree's nodes all hang below its root"
        )
    return tree
