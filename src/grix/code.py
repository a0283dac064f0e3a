"""Code similarity: TSED, the tree similarity of edit distance (Song et al.,
ACL 2024), on tree-sitter syntax trees.

TSED compares two programs by the edit distance of their syntax trees, with
deletes costing 1.0, inserts 0.8 and renames 1.0, scaled by the larger tree:
``max(1 - d / max(n1, n2), 0)``, 1.0 for identical trees. The trees are the
ones its reference package (``tsed`` on the package index) reads from
tree-sitter's S-expressions (:func:`grix.readers.treesitter.read_tsed`), so
the scores here are that package's scores, computed exactly by grix's engine
instead of by a pure-Python APTED.

Code is given as source text (``str`` or UTF-8 ``bytes``) with
``language=`` (a name such as ``"javascript"``, a ``tree_sitter.Language``
or ``Parser``), as ``tree_sitter`` trees or nodes, or as grix trees made by
:func:`tsed_tree`. The scores are not symmetric: inserts cost less than
deletes, so ``tsed(a, b)`` turns ``a`` into ``b``.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

from .batch import cdist, paired, pdist
from .distance import distance
from .readers.treesitter import read_tsed
from .tree import Tree

__all__ = ["tsed", "tsed_cdist", "tsed_paired", "tsed_pdist", "tsed_tree"]

#: The costs of the TSED paper and package: delete, insert, rename.
TSED_COSTS = (1.0, 0.8, 1.0)


def _tsed_input(code: Any, language: Any) -> tuple[Tree, int]:
    """A TSED tree and the count the score divides by."""
    if isinstance(code, Tree):
        return code, len(code)
    preorder, count = read_tsed(code, language)
    return Tree._of(preorder), count


def tsed_tree(code: Any, language: Any = None) -> Tree:
    """The tree TSED compares: the nodes of tree-sitter's S-expression of the
    code (named nodes and missing tokens), each labelled with its type, or
    with the last field name written before one of its children, as the
    ``tsed`` package reads it. Build it once to score one program against
    many. Raises as :meth:`grix.Tree.from_tree_sitter`. Costs O(n)."""
    return _tsed_input(code, language)[0]


def _rename(weight: float) -> Any:
    return None if weight == 1 else (lambda a, b: 0.0 if a == b else weight)


def _score(d: float, n1: int, n2: int) -> float:
    largest = max(n1, n2)
    if largest <= 0:
        return 1.0
    # Written as the package writes it, so that the floats agree to the last bit.
    return 0.0 if d > largest else (largest - d) / largest


def tsed(a: Any, b: Any, *, language: Any = None, delete: float = 1.0, insert: float = 0.8,
         rename: float = 1.0, workers: int | None = 1, timeout: float | None = None) -> float:
    """The TSED score of turning program ``a`` into program ``b``: 1.0 for
    equal trees, 0.0 when the distance reaches the larger tree's size.

    ``a`` and ``b`` are source text with ``language``, tree-sitter trees or
    nodes, or trees from :func:`tsed_tree`. ``delete``, ``insert`` and
    ``rename`` are the package's three weights. A ``str`` is always source
    text, never a file name. Raises TypeError for other input, ValueError for bytes that are not
    UTF-8 text, :class:`grix.readers.treesitter.MissingGrammarError` for a
    grammar that is not installed, TimeoutError after ``timeout`` seconds.
    Costs one exact tree edit distance.
    """
    t1, n1 = _tsed_input(a, language)
    t2, n2 = _tsed_input(b, language)
    d = distance(t1, t2, delete=float(delete), insert=float(insert), rename=_rename(rename),
                 workers=workers, timeout=timeout)
    return _score(float(d), n1, n2)


def _inputs(codes: Sequence[Any], language: Any, name: str) -> tuple[list[Tree], npt.NDArray[np.int64]]:
    if isinstance(codes, (str, bytes)) or not isinstance(codes, Sequence):
        raise TypeError(f"{name} must be a sequence of programs, not {type(codes).__name__}")
    pairs = [_tsed_input(code, language) for code in codes]
    return [tree for tree, _ in pairs], np.array([count for _, count in pairs], dtype=np.int64)


def _scores(d: npt.NDArray[Any], n1: npt.NDArray[np.int64], n2: npt.NDArray[np.int64]) -> npt.NDArray[np.float64]:
    largest = np.maximum(n1, n2).astype(np.float64)
    d = np.asarray(d, dtype=np.float64)
    with np.errstate(divide="ignore", invalid="ignore"):
        score = np.where(d > largest, 0.0, (largest - d) / largest)
    return np.where(largest > 0, score, 1.0)


def tsed_pdist(codes: Sequence[Any], *, language: Any = None, delete: float = 1.0, insert: float = 0.8,
               rename: float = 1.0, workers: int | None = None, progress: bool | None = None,
               timeout: float | None = None, square: bool = False) -> npt.NDArray[np.float64]:
    """TSED of every pair (i, j), i < j, of ``codes`` as a condensed float64
    vector in the layout of ``scipy.spatial.distance.pdist``; entry (i, j)
    turns ``codes[i]`` into ``codes[j]``. Each program is parsed once;
    ``workers`` threads as in :func:`grix.pdist`. Raises as :func:`tsed`.

    These are similarities, so ``scipy.spatial.distance.squareform`` of the
    vector puts 0 on the diagonal where a program's similarity to itself is
    1. ``square=True`` returns the (n, n) matrix instead, with 1.0 on the
    diagonal and both directions of every pair (TSED is not symmetric when
    ``delete`` and ``insert`` differ): :func:`tsed_cdist` of ``codes``
    against themselves, each parsed once. For clustering, which wants
    distances, use ``1 - tsed_pdist(codes)``."""
    trees, counts = _inputs(codes, language, "codes")
    if not isinstance(square, bool):
        raise TypeError(f"square must be a bool, not {type(square).__name__}")
    if square:
        both = cdist(trees, trees, delete=float(delete), insert=float(insert), rename=_rename(rename),
                     workers=workers, progress=progress, timeout=timeout)
        return _scores(both, counts[:, None], counts[None, :])
    d = pdist(trees, delete=float(delete), insert=float(insert), rename=_rename(rename), workers=workers,
              progress=progress, timeout=timeout)
    first, second = np.triu_indices(len(trees), 1)
    return _scores(d, counts[first], counts[second])


def tsed_cdist(codes_a: Sequence[Any], codes_b: Sequence[Any], *, language: Any = None, delete: float = 1.0,
               insert: float = 0.8, rename: float = 1.0, workers: int | None = None,
               progress: bool | None = None, timeout: float | None = None) -> npt.NDArray[np.float64]:
    """The (len(codes_a), len(codes_b)) float64 matrix of TSED from each of
    ``codes_a`` to each of ``codes_b``. Raises as :func:`tsed`."""
    trees_a, counts_a = _inputs(codes_a, language, "codes_a")
    trees_b, counts_b = _inputs(codes_b, language, "codes_b")
    d = cdist(trees_a, trees_b, delete=float(delete), insert=float(insert), rename=_rename(rename),
              workers=workers, progress=progress, timeout=timeout)
    return _scores(d, counts_a[:, None], counts_b[None, :])


def tsed_paired(codes1: Sequence[Any], codes2: Sequence[Any], *, language: Any = None, delete: float = 1.0,
                insert: float = 0.8, rename: float = 1.0, workers: int | None = None,
                progress: bool | None = None, timeout: float | None = None) -> npt.NDArray[np.float64]:
    """TSED of ``codes1[k]`` into ``codes2[k]`` for every k (generated code
    against its reference, say), as float64. Raises as :func:`tsed`, and
    ValueError when the lengths differ."""
    trees1, counts1 = _inputs(codes1, language, "codes1")
    trees2, counts2 = _inputs(codes2, language, "codes2")
    d = paired(trees1, trees2, delete=float(delete), insert=float(insert), rename=_rename(rename),
               workers=workers, progress=progress, timeout=timeout)
    return _scores(d, counts1, counts2)
