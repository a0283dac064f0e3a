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
HTML tables: :func:`teds` and :func:`teds_paired` (PubTabNet's TEDS).
"""

from importlib.metadata import PackageNotFoundError, version as _version

from .tree import Tree, load
from .distance import distance, normalized_distance
from .mapping import Edit, Mapping, apply, mapping
from .batch import cdist, paired, pdist
from .join import JoinResult, NearestResult, join, nearest
from . import diff, readers
from .teds import teds, teds_paired
from .json_distance import JSONMapping, json_cdist, json_distance, json_join, json_mapping, json_paired, json_pdist

try:
    __version__ = _version("grix")
except PackageNotFoundError:  # running from a source checkout
    __version__ = "0.0.0"

__all__ = ["Edit", "JoinResult", "Mapping", "NearestResult", "Tree", "apply", "cdist", "diff", "distance",
           "join", "load", "mapping", "nearest", "normalized_distance", "paired", "pdist", "readers", "teds",
           "teds_paired",
           "JSONMapping", "json_cdist", "json_distance", "json_join", "json_mapping", "json_paired", "json_pdist",
           "__version__"]
