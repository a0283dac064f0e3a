"""``definition="parsebench"`` and ``"parsebench-struct-bool"``: ParseBench's
``teds_metric.py`` (``TEDS.evaluate`` with ``ContentConfig``, as its
``TEDSMetric`` calls it for each pair of tables), and its
``teds_struct_bool`` variant ("TEDS-Struct+BoolContent").

Tables are found as a browser finds them. th is a cell of its own: a th
against a td costs 1, and th contents are never compared. A td's content is
its tokens joined into text (inline tags written out, ``<b>``) and rewritten
by its ``normalize_cell_text`` (:func:`parsebench_cell`), then compared by
characters: the normalized Levenshtein distance, or under struct-bool 1 when
exactly one of the two contents is empty, else 0. The denominator is the
larger number of elements below the table plus 1 (the table itself); scores
below 0 become 0. Text lxml refuses (empty, white space, a str with an XML
encoding declaration) and text without a table score 0.0; a colspan or
rowspan ``int()`` refuses raises ValueError, as there.

Each step of the cell rewriting mirrors one of theirs, in their order.
"""

from __future__ import annotations

import re

from .rules import Rules

__all__ = ["PARSEBENCH", "PARSEBENCH_STRUCT_BOOL", "parsebench_cell"]

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


PARSEBENCH = Rules("browser", True, False, "<%s>", "levenshtein", "elements", th_cell=True,
                   cell_text=parsebench_cell, root_counted=True, clip=True, declared_encoding=False)
PARSEBENCH_STRUCT_BOOL = Rules("browser", True, False, "<%s>", "emptiness", "elements", th_cell=True,
                               cell_text=parsebench_cell, root_counted=True, clip=True,
                               declared_encoding=False)
