"""HTML text parsed by lxml the way the table readers and TEDS need it:
lxml imported on first use (with advice when it is missing), one parser per
thread, and ``lxml.html.fromstring``'s answer for text, documents and
fragments alike."""

from __future__ import annotations

import threading
from typing import Any

__all__ = ["html_parser", "lxml_modules", "parse_html"]

_local = threading.local()


def lxml_modules() -> tuple[Any, Any]:
    """``lxml.etree`` and ``lxml.html``; ImportError saying what to install
    without them."""
    try:
        import lxml.etree
        import lxml.html
    except ImportError:
        raise ImportError("grix.teds needs lxml to parse HTML tables: "
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
    a fragment the element it stands for."""
    _, lxml_html = lxml_modules()
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
