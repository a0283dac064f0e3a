"""``definition="docling-metrics"``: the docling-metrics-table package
(``TableMetric`` with ``TableMetricKind.TEDS``).

Parsed and built as docling-eval does (the whole parsed element, comments
kept, th as td, ``"<tag"`` openings), without its stopwords and rounding;
a rename costs 0 between equal labels and 1 otherwise, a cell's label
holding its spans and its whole content. The denominator is the larger
tree, root included. Text lxml cannot parse raises ValueError, as there.
"""

from __future__ import annotations

from .rules import Rules

__all__ = ["DOCLING_METRICS"]

DOCLING_METRICS = Rules("root", False, True, "<%s", "exact", "tree", unparsable=None)
