"""``definition="pubtabnet"``: PubTabNet's ``src/metric.py`` (and unitable's
copy); with ``denominator="tree"``, table-recognition-metric and PaddleOCR.

As the default rules, except that only a table directly in the body
(``body/table`` below what ``lxml.html.fromstring`` returns) is scored: a
bare ``<table>`` fragment and ``<div><table>`` score 0.0, as there. Comments
are removed by the parser, an inline tag opens as ``<tag>``, two cells cost
the normalized Levenshtein distance of their token lists, and the caller
chooses the denominator (elements below the table by default).
"""

from __future__ import annotations

from .rules import Rules

__all__ = ["PUBTABNET"]

PUBTABNET = Rules("body/table", True, False, "<%s>", "levenshtein", None)
