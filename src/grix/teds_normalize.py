"""The text rewriting two benchmarks apply before TEDS, as their code does it:
OmniDocBench rewrites a table's whole HTML text (``omnidocbench_table``), and
ParseBench a cell's content (``parsebench_cell``). Each step below mirrors
one of theirs, in their order, including where the result looks unintended
(a ``style="..."`` attribute removed up to the first quote that follows it,
a stray ``<p>`` deleted but ``<p class=x>`` kept): published numbers depend
on every one of them.
"""

from __future__ import annotations

import html
import re
import unicodedata
import warnings
from typing import Any

# -- OmniDocBench ----------------------------------------------------------------

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


# -- ParseBench ------------------------------------------------------------------

_QUOTES = str.maketrans({
    **dict.fromkeys("‘’‚‛`´ʼʹ＇′‵ʻˊˋ", "'"),
    **dict.fromkeys("“”„‟〝〞＂″‶ˮ", '"'),
    "\uff0c": ",", "\uff0e": ".", "\uff1a": ":", "\uff1b": ";", "\uff01": "!", "\uff1f": "?",
    "\uff08": "(", "\uff09": ")", "\u3001": ",", "\u3002": ".",
})
_DASHES = str.maketrans(dict.fromkeys("–—‑‒−", "-"))
_SYMBOLS = str.maketrans({**dict.fromkeys("●○◦∙⦁·", "•"), **dict.fromkeys("⮾ⓧ⨂", "⊗")})
_SUPERSCRIPTS = str.maketrans("⁰¹²³⁴⁵⁶⁷⁸⁹⁺⁻⁼⁽⁾ⁿⁱ", "0123456789+-=()ni")
_SUBSCRIPTS = str.maketrans("₀₁₂₃₄₅₆₇₈₉₊₋₌₍₎ₐₑₕᵢⱼₖₗₘₙₒₚᵣₛₜᵤᵥₓ", "0123456789+-=()aehijklmnoprstuvx")
_TRUE_GLYPHS = frozenset("☑▣✓✔◉●•⦿")
_FALSE_GLYPHS = frozenset("☐□○◯✗✘✕✖×")

_SUP = re.compile(r"<sup[^>]*>(.*?)</sup>", re.IGNORECASE)
_SUB = re.compile(r"<sub[^>]*>(.*?)</sub>", re.IGNORECASE)
_FORMATTING = re.compile(r"</?(?:b|i|u|s|em|strong|del|strike|mark|ins)>", re.IGNORECASE)
_SPAN = re.compile(r"</?span\b[^>]*>", re.IGNORECASE)
_MD_BOLD = re.compile(r"\*\*(.*?)\*\*|__(.*?)__")
_MD_ITALIC = re.compile(r"(?<!\*)\*(?!\*)(.*?)(?<!\*)\*(?!\*)|(?<!_)_(?!_)(.*?)(?<!_)_(?!_)")
_MD_STRIKE = re.compile(r"~~(.*?)~~")
_BRACKETED = re.compile(r"\[\s*(.*?)\s*\]")
_WHITE = re.compile(r"\s+")
_DOT = r"[.…]"
_DOT_RUN = rf"(?:{_DOT}(?:[^\S\n]*{_DOT})+|…)"
_NUMBER_LEADER = re.compile(rf"(?<!\S)(?P<label>\S*\d)\.(?:[^\S\n]*{_DOT})+(?=\s|$)")
_WORD_LEADER = re.compile(rf"(?<!\S)(?P<label>[^\s.…]+)\.(?:[^\S\n]*{_DOT})+(?=\s|$)")
_LEADER = re.compile(rf"(?:(?<=\s)|^){_DOT_RUN}|(?<=\S)(?:\.{{2,}}|…+)(?=\s|$)")
_DASHES_ONLY = re.compile(r"^[\s\-–—‑‒−]+$")


def _boolean_marker(text: str) -> str:
    """A whole cell that is a check mark, a cross, yes/no or x, bracketed or
    not, becomes "yes" or "no"; other text is returned as it came."""
    stripped = _WHITE.sub(" ", text).strip()
    if not stripped:
        return text
    token = stripped.lower()
    bracketed = _BRACKETED.fullmatch(stripped)
    if bracketed:
        stripped = bracketed.group(1).strip()
        token = stripped.lower()
    if stripped in _TRUE_GLYPHS or token in ("yes", "x"):
        return "yes"
    if stripped in _FALSE_GLYPHS or token == "no" or (bracketed and token == ""):
        return "no"
    return text


def parsebench_cell(text: str) -> str:
    """ParseBench's ``normalize_cell_text``: the cell's text (its tag tokens
    written out, ``<b>``) with sup and sub unwrapped and super/subscript
    digits made plain, formatting tags and spans and markdown emphasis
    removed, whole-cell check marks made yes/no, bullets, quotes, full-width
    punctuation and dashes folded, dot leaders removed, white space
    collapsed, and a cell of dashes made "-". Linear time."""
    text = _SUP.sub(r"\1", text)
    text = _SUB.sub(r"\1", text)
    text = text.translate(_SUPERSCRIPTS).translate(_SUBSCRIPTS)
    text = _FORMATTING.sub("", text)
    text = _SPAN.sub("", text)
    text = _MD_BOLD.sub(r"\1\2", text)
    text = _MD_ITALIC.sub(r"\1\2", text)
    text = _MD_STRIKE.sub(r"\1", text)
    text = _boolean_marker(text)
    text = text.translate(_SYMBOLS).translate(_QUOTES).translate(_DASHES)
    text = _NUMBER_LEADER.sub(r"\g<label>", text)
    text = _WORD_LEADER.sub(r"\g<label>", text)
    text = _LEADER.sub("", text)
    text = _WHITE.sub(" ", text).strip()
    return "-" if _DASHES_ONLY.match(text) else text
