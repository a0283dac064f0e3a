"""HTML text parsed by lxml the way the table readers and TEDS need it:
lxml imported on first use (with advice when it is missing), one parser per
thread, and ``lxml.html.fromstring``'s answer for text, documents and
fragments alike."""

from __future__ import annotations

import codecs
import re
import threading
from typing import Any

__all__ = ["UndecodableHTML", "html_as_utf8", "html_parser", "lxml_modules", "parse_html"]

_local = threading.local()

# Longest first: UTF-32's little-endian mark starts with UTF-16's.
_BYTE_ORDER_MARKS = ((codecs.BOM_UTF32_LE, "utf-32"), (codecs.BOM_UTF32_BE, "utf-32"), (codecs.BOM_UTF8, "utf-8-sig"),
                     (codecs.BOM_UTF16_LE, "utf-16"), (codecs.BOM_UTF16_BE, "utf-16"))
# <meta charset="..."> or <meta http-equiv content="text/html; charset=...">,
# and the XML declaration's encoding, looked for where browsers look: near
# the start.
_DECLARED = re.compile(rb"""<meta[^>]*?charset\s*=\s*["']?([A-Za-z0-9._:-]+)"""
                       rb"""|^\s*<\?xml[^>]*?encoding\s*=\s*["']([A-Za-z0-9._:-]+)""", re.IGNORECASE)


class UndecodableHTML(ValueError):
    """HTML bytes in an encoding that cannot be honoured: refused rather
    than read as UTF-8 and scored wrong."""


def html_as_utf8(data: bytes) -> bytes:
    """HTML bytes as UTF-8, the encoding the parsers here read: decoded by
    their byte-order mark, else by the charset their ``<meta>`` or XML
    declaration names; bytes declaring nothing are taken as UTF-8 already.

    Raises UndecodableHTML (a ValueError) in one line for an encoding Python does not know, or
    bytes that are not in the encoding they declare: read as UTF-8 they
    would score, silently wrong."""
    encoding = next((name for mark, name in _BYTE_ORDER_MARKS if data.startswith(mark)), None)
    if encoding is None:
        declared = _DECLARED.search(data[:4096])
        if declared is None:
            return data
        name = (declared.group(1) or declared.group(2)).decode("ascii")
        try:
            encoding = codecs.lookup(name).name
        except LookupError:
            raise UndecodableHTML(f"the HTML declares the encoding {name!r}, which Python does not know") from None
        # A declaration read as ASCII cannot be in UTF-16 or UTF-32: browsers
        # take such bytes as UTF-8.
        if encoding == "utf-8" or encoding.startswith(("utf-16", "utf-32")):
            return data
    try:
        return data.decode(encoding).encode("utf-8")
    except UnicodeError as error:
        raise UndecodableHTML(f"the HTML bytes are not valid {encoding}: {error.reason} at byte {error.start}") from None


def lxml_modules() -> tuple[Any, Any]:
    """``lxml.etree`` and ``lxml.html``; ImportError saying what to install
    without them."""
    try:
        import lxml.etree
        import lxml.html
    except ImportError:
        raise ImportError("grix.teds and grix.grits need lxml to parse HTML tables: "
                          "pip install 'grix[xml]' (or pip install lxml)") from None
    return lxml.etree, lxml.html


def html_parser(remove_comments: bool = True) -> Any:
    """The HTML parser of this thread (lxml parsers must not be shared
    between threads), bytes read as UTF-8; comments removed as PubTabNet's
    parser does, or kept as lxml.html's default parser keeps them. It makes
    plain elements: lxml.html's parser, which builds the same document,
    looks up a Python class for every element handed out, which took a
    sixth of the time of preparing a pair."""
    name = "parser" if remove_comments else "comment_parser"
    parser = getattr(_local, name, None)
    if parser is None:
        etree, _ = lxml_modules()
        parser = etree.HTMLParser(remove_comments=remove_comments, encoding="utf-8")
        setattr(_local, name, parser)
    return parser


def parse_html(src: str | bytes, remove_comments: bool = True, declared_encoding: bool = True) -> Any:
    """What lxml.html.fromstring returns for the text: the document, or for
    a fragment the element it stands for. Bytes are read in the encoding
    their byte-order mark or declaration gives (see html_as_utf8)."""
    _, lxml_html = lxml_modules()
    if isinstance(src, bytes):
        src = html_as_utf8(src)
    try:
        return lxml_html.fromstring(src, parser=html_parser(remove_comments))
    except ValueError:
        if not isinstance(src, str) or not declared_encoding:
            raise
        # lxml refuses str with an XML encoding declaration; as UTF-8 bytes
        # the parser reads it (where PubTabNet fails).
        return lxml_html.fromstring(src.encode("utf-8"), parser=html_parser(remove_comments))
    except AttributeError:
        # More than one body: fromstring merges them with a method of
        # lxml.html's own elements.
        parser = lxml_html.HTMLParser(remove_comments=remove_comments, encoding="utf-8")
        return lxml_html.fromstring(src, parser=parser)
