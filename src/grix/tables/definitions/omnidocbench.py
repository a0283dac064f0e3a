"""``definition="omnidocbench"``: OmniDocBench v1.5's table evaluation: its
``normalized_html_table`` rewrites each table's text, then ``TEDS.evaluate``
of its ``metrics/table_metric.py`` (PubTabNet's) scores it, as its page
evaluator calls it.

After the rewriting (:func:`omnidocbench_table`; text without ``<table`` is
scored as it is, as the evaluator falls back to it), PubTabNet's rules:
``body/table``, elements below the table as denominator. Where that
evaluation raises, the evaluator's try/except scores 0.0: two tables with
nothing below them (0 / 0), a colspan or rowspan ``int()`` refuses, a str
with an XML encoding declaration.

Each step of the rewriting mirrors one of theirs, in their order, including
where the result looks unintended (a ``style="..."`` attribute removed up to
the first quote that follows it, a stray ``<p>`` deleted but ``<p class=x>``
kept): published numbers depend on every one of them.
"""

from __future__ import annotations

import html
import re
import unicodedata
import warnings
from typing import Any

from ...readers.html_parsing import lxml_modules
from .rules import Rules

__all__ = ["OMNIDOCBENCH", "omnidocbench_table", "rewrite_table"]

_OMNI_TABLE_BODY = re.compile(r"<table\b[^>]*>(.*)</table>", re.DOTALL | re.IGNORECASE)
# Each attribute to a lazy closing quote, one pattern after another, as there.
_OMNI_ATTRIBUTES = [re.compile(f'( {name}=".*?")') for name in ("style", "height", "width", "align", "class")]
_OMNI_TBODY = re.compile("</?tbody>")
_OMNI_SPACES = re.compile(r"\s+")
_OMNI_COLGROUP = re.compile("<colgroup>.*?</colgroup>")
# Only these exact spellings go; a tag with attributes stays.
_OMNI_REMOVED = ("<sup>", "</sup>", "<sub>", "</sub>", "<span>", "</span>", "<div>", "</div>",
                 "<p>", "</p>", '<spandata-span-identity="">')


def _beautiful_soup(text: str) -> Any:
    try:
        from bs4 import BeautifulSoup
    except ImportError:
        raise ImportError("definition='omnidocbench' needs beautifulsoup4, whose HTML rewriting "
                          "OmniDocBench's normalization is: pip install 'grix[xml]' "
                          "(or pip install beautifulsoup4)") from None
    with warnings.catch_warnings():
        # Text that looks like a file name or XML draws advice, not errors.
        warnings.simplefilter("ignore")
        return BeautifulSoup(text, "html.parser")


def omnidocbench_table(text: str) -> str:
    """OmniDocBench's ``normalized_html_table``: the text as the whole page
    ``<html><body><table border="1" >...</table></body></html>`` it scores,
    or "" when the text holds no ``<table`` (spaces and quotes aside).

    Through BeautifulSoup's own parser: th renamed td, thead and span
    unwrapped, math replaced by ``$alttext$``, the tree written out again;
    then as text: entities unescaped, newlines dropped, NFKC, everything
    from the first ``<table ...>`` to the last ``</table>`` kept, the style,
    height, width, align and class attributes and tbody tags removed, white
    space runs made one space, and sup, sub, span, div, p and colgroup tags
    deleted. Costs linear time in the text; needs beautifulsoup4.
    """
    if "<table" not in text.replace(" ", "").replace("'", '"'):
        return ""
    soup = _beautiful_soup(text)
    for cell in soup.find_all("th"):
        cell.name = "td"
    for head in soup.find_all("thead"):
        head.unwrap()
    for math in soup.find_all("math"):
        math.replace_with(f"${math.get('alttext', '')}$")
    for span in soup.find_all("span"):
        span.unwrap()
    table = html.unescape(str(soup)).replace("\n", "")
    table = unicodedata.normalize("NFKC", table).strip()
    table = "".join(_OMNI_TABLE_BODY.findall(table))
    for attribute in _OMNI_ATTRIBUTES:
        table = attribute.sub("", table)
    table = _OMNI_TBODY.sub("", table)
    table = _OMNI_SPACES.sub(" ", table)
    table = '<html><body><table border="1" >' + table + "</table></body></html>"
    for tag in _OMNI_REMOVED:
        table = table.replace(tag, "")
    return _OMNI_COLGROUP.sub("", table)


def rewrite_table(src: Any) -> Any:
    """The text OmniDocBench scores: its normalization of the table's text
    (an element written out first), or, where that finds no ``<table``, the
    text itself, as its evaluator falls back to the raw text."""
    etree, _ = lxml_modules()
    if isinstance(src, bytes):
        text = src.decode("utf-8")
    elif isinstance(src, (etree._Element, etree._ElementTree)):
        text = etree.tostring(src, encoding="unicode", method="html")
    else:
        text = src
    if not isinstance(text, str):
        return text  # refused where the table is found, with the other wrong types
    return omnidocbench_table(text) or text


OMNIDOCBENCH = Rules("body/table", True, False, "<%s>", "levenshtein", "elements", rewrite=rewrite_table,
                     failure=0.0, empty_pair=0.0, declared_encoding=False)
