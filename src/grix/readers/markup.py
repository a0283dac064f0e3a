"""XML and HTML: lxml when installed, the standard library when not."""

from __future__ import annotations

import codecs
import os
import re
import xml.etree.ElementTree as ET
from collections.abc import Callable
from html.parser import HTMLParser
from pathlib import Path
from typing import Any

from .common import AncestorPath, Preorder, short

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
        blank = data.removeprefix(codecs.BOM_UTF8) if isinstance(data, bytes) else data.removeprefix("\ufeff")
        if not blank.strip():
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
