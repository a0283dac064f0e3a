"""grix: exact tree edit distance for the trees Python users have.

Build a :class:`Tree` from what you have (a syntax tree, XML or HTML, JSON,
nested data, bracket text, a parent list or a networkx graph), then compare:

>>> import grix
>>> a = grix.Tree.from_bracket("{a{b}{c}}")
>>> b = grix.Tree.from_bracket("{a{c}}")
>>> grix.distance(a, b)
1
>>> grix.mapping(a, b).deleted
[1]

Many trees at once: :func:`pdist`, :func:`cdist`, :func:`paired`, :func:`join` and
:func:`nearest`; on a
Dask cluster: ``grix.dask``. Every call can be stopped with Ctrl-C and takes a
``timeout``. The readers of every format are plain functions in
``grix.readers``, and ``grix.diff`` shows a mapping as text, JSON or a page.
HTML tables: :func:`teds` and :func:`teds_paired` (TEDS under each benchmark's
definition), :func:`teds_match` and :func:`grits_match` (the tables of a page
paired), :func:`grits` and :func:`grits_paired` (GriTS-Top, -Con and -Loc,
the grid similarity).
Code in any language tree-sitter parses: :meth:`Tree.from_tree_sitter`, and
the TSED code-similarity score, :func:`tsed` and its batch forms.
RNA secondary structures: ``Tree.from_dot_bracket`` and ``grix.rna``.
"""

from importlib.metadata import PackageNotFoundError, version as _version

from .tree import Tree, load
from .costs import LabelClasses
from .tree import load_all
from .distance import distance, normalized_distance
from .edits import Edit, Mapping, apply
from .mapping import mapping
from .batch import cdist, paired, pdist
from .join import join, nearest
from .join_results import JoinResult, NearestResult
from . import diff, readers
from . import rna
from .tables import teds, teds_paired
from .tables import TableMatch, grits_match, teds_match
from .tables import grits, grits_paired
from .code import tsed, tsed_cdist, tsed_paired, tsed_pdist, tsed_tree
from .json_distance import JSONMapping, json_cdist, json_distance, json_join, json_mapping, json_paired, json_pdist

try:
    __version__ = _version("grix")
except PackageNotFoundError:  # running from a source checkout
    __version__ = "0.0.0"

__all__ = ["Edit", "JoinResult", "LabelClasses", "Mapping", "NearestResult", "Tree", "apply", "cdist", "diff", "distance",
           "join", "load", "mapping", "nearest", "normalized_distance", "paired", "pdist", "readers", "teds",
           "teds_paired",
           "TableMatch", "teds_match", "grits_match", "grits", "grits_paired",
           "rna",
           "JSONMapping", "json_cdist", "json_distance", "json_join", "json_mapping", "json_paired", "json_pdist",
           "__version__"]
__all__ += ["load_all"]
__all__ += ["tsed", "tsed_cdist", "tsed_paired", "tsed_pdist", "tsed_tree"]
