"""``definition="docling-eval"``: docling-eval's table evaluator (its
``TEDScorer`` as ``evaluate_tables`` calls it).

The substrings ``<i> </i> <b> </b> <u> </u>`` are removed from the texts,
which lxml.html's default parser reads with comments kept (as nodes), and
the whole parsed element is scored: html and body are nodes of a page's
tree. th becomes td; an inline tag in a cell opens as the token ``"<tag"``
(no ``>``). The denominator is the elements below the root, and the score is
rounded to 3 decimals. Where the evaluator drops a table (text lxml cannot
parse, 0 / 0), the score is NaN.
"""

from __future__ import annotations

from .rules import Rules

__all__ = ["DOCLING_EVAL"]

DOCLING_EVAL = Rules("root", False, True, "<%s", "levenshtein", "elements",
                     stopwords=("<i>", "</i>", "<b>", "</b>", "<u>", "</u>"), digits=3,
                     unparsable=float("nan"), empty_pair=float("nan"))
