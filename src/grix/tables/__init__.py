"""TEDS, the tree-edit-distance similarity of HTML tables used to score table
recognition, computed exactly by the grix engine under the definition of
each benchmark's code (PubTabNet, table-recognition-metric, docling-eval,
docling-metrics-table, OmniDocBench, ParseBench; see :func:`teds`).

A table becomes a tree of its elements, each labelled by its tag; a ``td``
carries its colspan, rowspan and content and ends the recursion. Renaming
costs 1 between different tags or spans, and between two cells the
normalized Levenshtein distance of their contents (or, under
docling-metrics, 0 or 1); deleting and inserting cost 1. TEDS is
``1 - distance / max(size of pred, size of true)``.

Everything per node pair runs natively: the rename costs of a pair are one
``rapidfuzz.process.cdist`` over the distinct cell contents of the two tables,
and the distances of many pairs come from engine batches on all workers.
:func:`teds_match` pairs the tables of a page by the Hungarian algorithm
(:func:`grits_match` likewise on a GriTS F-score).

The modules, each importing only those listed before it: :mod:`.definitions`
(the named definitions, one module each), :mod:`.cells` (an HTML table as a
cell tree), :mod:`.pairs` (a pair ready for the engine, and chunks of pairs
computed), :mod:`.scores` (:func:`teds`, :func:`teds_paired`),
:mod:`.grits` (GriTS: :func:`grits`, :func:`grits_paired`, the grid
similarity beside TEDS), :mod:`.matching` (:func:`teds_match`,
:func:`grits_match`) and :mod:`.command` (``grix teds``, GriTS too with
``--grits``).
HTML is parsed by :mod:`grix.readers.html_parsing`.
"""

from __future__ import annotations

from .definitions import DEFINITIONS, Definition
from .grits import grits, grits_paired
from .matching import TableMatch, grits_match, teds_match
from .pairs import Denominator, TableInput
from .scores import teds, teds_paired

__all__ = ["DEFINITIONS", "Definition", "Denominator", "TableInput", "TableMatch", "grits", "grits_match", "grits_paired",
           "teds", "teds_match", "teds_paired"]
