"""RNA secondary structures: their trees, ViennaRNA's cost models, and
distances between many structures.

From ViennaRNA to grix::

    # RNA.tree_edit_distance(RNA.make_tree(RNA.expand_Full(a)), RNA.make_tree(RNA.expand_Full(b)))
    grix.distance(grix.Tree.from_dot_bracket(a), grix.Tree.from_dot_bracket(b), **grix.rna.costs("usual"))

The trees (full, HIT, coarse, weighted coarse) are those of ViennaRNA's
``RNAdistance -D f``, ``h``, ``c`` and ``w``, node for node (see
:mod:`grix.readers.rna`); :func:`costs` gives its two cost models, and with
them every distance equals ViennaRNA's ``tree_edit_distance``. The labels
carry each node's class and weight (``P3``), and the engine computes the
costs from them itself (:class:`grix.costs.ClassWeightCosts`): no Python runs
per label pair or per pair, and ``grix.distance`` over a small pair is one
native call.
"""

from __future__ import annotations

import math
import os
import re
from collections.abc import Mapping, Sequence
from typing import Any, Union

import numpy as np
import numpy.typing as npt

from .batch import Distances, pdist as batch_pdist
from .costs import ClassWeightCosts
from .readers.rna import (REPRESENTATIONS, DotBracketRecord, Pseudoknots, Representation,
                          check_representation, read_dot_bracket, read_dot_bracket_records)
from .tree import Tree

__all__ = ["COST_MODELS", "CLASSES", "CostModel", "DotBracketRecord", "REPRESENTATIONS", "costs",
           "load_structures", "node_class", "node_weight", "pdist", "trees"]

#: The node classes in ViennaRNA's order (its ``edit_cost.h`` coding string);
#: "Null" stands for no node, so its row and column price deleting and
#: inserting one unit of weight.
CLASSES = ("Null", "U", "P", "H", "B", "I", "M", "S", "E", "R")
#: What ViennaRNA charges for a relabelling it forbids (its DIST_INF), per
#: unit of weight.
FORBIDDEN = 10_000
_X = -1  # a forbidden entry, replaced by the model's `forbidden` value

#: The relabelling costs of the two models, [from][to] over CLASSES.
COST_MODELS: dict[str, tuple[tuple[int, ...], ...]] = {
    "usual": (
        (0, 1, 2, 2, 2, 2, 2, 1, 1, _X),
        (1, 0, 1, _X, _X, _X, _X, _X, _X, _X),
        (2, 1, 0, _X, _X, _X, _X, _X, _X, _X),
        (2, _X, _X, 0, 2, 2, 2, _X, _X, _X),
        (2, _X, _X, 2, 0, 1, 2, _X, _X, _X),
        (2, _X, _X, 2, 1, 0, 2, _X, _X, _X),
        (2, _X, _X, 2, 2, 2, 0, _X, _X, _X),
        (1, _X, _X, _X, _X, _X, _X, 0, _X, _X),
        (1, _X, _X, _X, _X, _X, _X, _X, 0, _X),
        (_X, _X, _X, _X, _X, _X, _X, _X, _X, 0),
    ),
    "shapiro": (
        (0, 1, 2, 100, 5, 5, 75, 5, 5, _X),
        (1, 0, 1, _X, _X, _X, _X, _X, _X, _X),
        (2, 1, 0, _X, _X, _X, _X, _X, _X, _X),
        (100, _X, _X, 0, 8, 8, 8, _X, _X, _X),
        (5, _X, _X, 8, 0, 3, 8, _X, _X, _X),
        (5, _X, _X, 8, 3, 0, 8, _X, _X, _X),
        (75, _X, _X, 8, 8, 8, 0, _X, _X, _X),
        (5, _X, _X, _X, _X, _X, _X, 0, _X, _X),
        (5, _X, _X, _X, _X, _X, _X, _X, 0, _X),
        (_X, _X, _X, _X, _X, _X, _X, _X, _X, 0),
    ),
}

_LABEL = re.compile(r"([A-Za-z]+)(\d*)")
_CLASS_INDEX = {name: index for index, name in enumerate(CLASSES) if index}


def parse_label(label: str) -> tuple[int, int]:
    """The class index and weight of an RNA node label (``P3``: P, weight 3;
    a label without digits weighs 1, as ViennaRNA reads it)."""
    match = _LABEL.fullmatch(label)
    if match is None or match.group(1) not in _CLASS_INDEX:
        raise ValueError(f"{label[:30]!r} is not an RNA node label: a class letter "
                         f"({', '.join(CLASSES[1:])}) followed by an optional weight")
    return _CLASS_INDEX[match.group(1)], int(match.group(2)) if match.group(2) else 1


def node_class(label: str) -> str:
    """The class letter of an RNA node label: ``node_class("P3") == "P"``."""
    return CLASSES[parse_label(label)[0]]


def node_weight(label: str) -> int:
    """The weight of an RNA node label: ``node_weight("P3") == 3``, 1 without digits."""
    return parse_label(label)[1]


Number = Union[int, float]


# A dict whose values are typed Any: type checkers then accept
# ``grix.distance(t1, t2, **model)``, which they would refuse for callable
# values, since they cannot tell that its only keys are rename, delete and
# insert and try the values against every keyword argument. A dict rather
# than another Mapping, since ``**`` copies a dict's items at C speed but asks
# any other mapping for keys() and each item in Python: microseconds a call,
# as much as a small pair's distance.
class CostModel(dict[str, Any]):
    """ViennaRNA's weighted edit costs over RNA node labels, as the keyword
    arguments ``rename``, ``delete`` and ``insert`` of every grix distance
    function: ``grix.distance(t1, t2, **model)``.

    With ``c[a][b]`` the model's relabelling cost between classes and ``c[Null][a]``
    its cost of deleting or inserting a unit of class a, a node of class a and
    weight w costs ``c[Null][a] * w`` to delete or insert, and relabelling
    (a, w1) into (b, w2) costs ``c[a][b] * min(w1, w2) + c[Null][h] * |w1 -
    w2|``, h the class of the heavier node: ViennaRNA's ``edit_cost``.
    Relabellings it forbids cost ``forbidden`` per unit (10,000, its value, by
    default, which keeps the distances equal to ViennaRNA's; ``math.inf``
    makes them impossible, which changes a distance only where a weight is so
    large that ViennaRNA takes the forbidden relabelling as the cheaper path).
    The root R cannot be deleted or inserted at a finite cost below
    ``forbidden``, so roots always match.
    """

    def __init__(self, name: str, matrix: Sequence[Sequence[int]], forbidden: Number = FORBIDDEN) -> None:
        self.name = name
        self.forbidden = forbidden
        self.matrix: tuple[tuple[Number, ...], ...] = tuple(
            tuple(forbidden if value == _X else value for value in row) for row in matrix)
        # The engine computes the costs from each label's class and weight
        # itself, in doubles: the same values as rename and delete wherever
        # each product of a unit cost and a weight stays exact there.
        self.class_weight_costs = ClassWeightCosts(CLASSES, self.matrix) if _engine_exact(self.matrix) else None
        node_cost = _NodeCost(self)
        super().__init__(rename=_TabulatedRename(self), delete=node_cost, insert=node_cost)

    def rename(self, label1: str, label2: str) -> Number:
        class1, weight1 = parse_label(label1)
        class2, weight2 = parse_label(label2)
        lighter = min(weight1, weight2)
        heavier_class = class2 if weight1 == lighter else class1
        relabel = self.matrix[class1][class2]
        # A weight-0 node (a loop without unpaired bases) costs nothing to
        # relabel, even where relabelling is forbidden, and equal weights
        # leave no unit to delete, even of a class that cannot be deleted
        # (0 * inf is no cost, where floats would make it NaN).
        shared = relabel * lighter if lighter else 0
        rest = abs(weight1 - weight2)
        return shared + (self.matrix[0][heavier_class] * rest if rest else 0)

    def rename_table(self, labels1: Sequence[str], labels2: Sequence[str]) -> npt.NDArray[Any]:
        """:meth:`rename` of every label of `labels1` into every label of
        `labels2`, computed as arrays: the same values, with no Python call
        per pair. ValueError for a label that is not an RNA node label or
        whose weight passes 2**31."""
        class1, weight1 = _classes_and_weights(labels1)
        class2, weight2 = _classes_and_weights(labels2)
        matrix = np.array(self.matrix, dtype=np.float64 if isinstance(self.forbidden, float) else np.int64)
        w1, w2 = weight1[:, None], weight2[None, :]
        lighter = np.minimum(w1, w2)
        heavier_class = np.where(w1 == lighter, class2[None, :], class1[:, None])
        rest = np.abs(w1 - w2)
        with np.errstate(invalid="ignore"):  # inf * 0, discarded by the where
            shared = np.where(lighter != 0, matrix[class1[:, None], class2[None, :]] * lighter, 0)
            extra = np.where(rest != 0, matrix[0][heavier_class] * rest, 0)
        return shared + extra

    def delete(self, label: str) -> Number:
        kind, weight = parse_label(label)
        return self.matrix[0][kind] * weight if weight else 0

    insert = delete

    def __repr__(self) -> str:
        extra = "" if self.forbidden == FORBIDDEN else f", forbidden={self.forbidden}"
        return f"grix.rna.costs({self.name!r}{extra})"


# Weights up to this keep every product and sum of a rename exact in int64
# and float64 alike (forbidden costs 10,000 per unit).
_EXACT_WEIGHT = 2**31
# Unit costs up to this, times weights up to _EXACT_WEIGHT, add up exactly in doubles.
_EXACT_UNIT_COST = 2**21


def _engine_exact(matrix: Sequence[Sequence[Number]]) -> bool:
    """Whether the engine's doubles give a model's costs exactly: unit costs
    that are numbers of at least 0, and finite ones small enough."""
    return all(isinstance(value, (int, float)) and not isinstance(value, bool) and value >= 0
               and (value == math.inf or value <= _EXACT_UNIT_COST) for row in matrix for value in row)


def _classes_and_weights(labels: Sequence[str]) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.int64]]:
    parsed = [parse_label(label) for label in labels]
    for label, (_, weight) in zip(labels, parsed):
        if weight > _EXACT_WEIGHT:
            raise ValueError(f"{label[:30]!r}: RNA node weights above 2**31 are not supported")
    classes = np.fromiter((kind for kind, _ in parsed), dtype=np.int64, count=len(parsed))
    weights = np.fromiter((weight for _, weight in parsed), dtype=np.int64, count=len(parsed))
    return classes, weights


class _TabulatedRename:
    """A model's rename as the distance functions take it: a callable, and
    a ``table`` of many labels at once that grix's cost conversion uses
    instead of a Python call per label pair."""

    def __init__(self, model: CostModel) -> None:
        self.model = model
        self.class_weight_costs = model.class_weight_costs

    def __call__(self, label1: str, label2: str) -> Number:
        return self.model.rename(label1, label2)

    def table(self, labels1: Sequence[str], labels2: Sequence[str]) -> npt.NDArray[Any]:
        return self.model.rename_table(labels1, labels2)


class _NodeCost:
    """A model's delete (and insert) as the distance functions take it."""

    def __init__(self, model: CostModel) -> None:
        self.model = model
        self.class_weight_costs = model.class_weight_costs

    def __call__(self, label: str) -> Number:
        return self.model.delete(label)


def costs(model: str = "usual", *, forbidden: Number = FORBIDDEN) -> CostModel:
    """ViennaRNA's cost model `model`, "usual" (its default) or "shapiro"
    (``RNAdistance -S``, Shapiro's costs), as the keyword arguments of grix's
    distance functions::

        grix.distance(t1, t2, **grix.rna.costs("shapiro"))
        grix.pdist(trees, **grix.rna.costs("usual"), workers=-1)

    They plug into :func:`grix.distance`, :func:`grix.normalized_distance`,
    :func:`grix.mapping`, :func:`grix.pdist`, :func:`grix.cdist`,
    :func:`grix.paired` and :func:`grix.join`. ``join`` cannot use its
    pruning bounds with per-label delete and insert costs and computes every
    pair (its documented fall-back); :func:`grix.nearest` takes no costs (its
    bounds hold for unit costs only), so it does not accept these.
    ``forbidden``: see :class:`CostModel`. Raises ValueError for an unknown
    model or a forbidden cost that is not a positive number.
    """
    if model not in COST_MODELS:
        raise ValueError(f"model must be one of {', '.join(map(repr, COST_MODELS))}, not {model!r}")
    if isinstance(forbidden, bool) or not isinstance(forbidden, (int, float)) or not forbidden > 0:
        raise ValueError(f"forbidden must be a positive number or math.inf, not {forbidden!r}")
    return CostModel(model, COST_MODELS[model], forbidden)


named_costs = costs  # for functions whose `costs` argument hides this one


# --- many structures ------------------------------------------------------------

StructureLike = Union[str, DotBracketRecord, Tree]


def load_structures(path: str | os.PathLike[str], *,
                    pseudoknots: Pseudoknots = "refuse") -> list[DotBracketRecord]:
    """Every structure of a dot-bracket file (``.db``, ``.dbn``), with its
    name and sequence where the file gives them; ``grix.load`` reads the
    first alone. See :func:`grix.readers.rna.parse_dot_bracket_records` for
    the format. Raises FileNotFoundError and the like for a bad path, and
    ValueError naming the line and position for a bad structure."""
    try:
        return read_dot_bracket_records(path, pseudoknots=pseudoknots)
    except ValueError as error:
        raise ValueError(f"{os.fspath(path)}: {error}") from None


def trees(structures: Sequence[StructureLike] | str | os.PathLike[str],
          representation: Representation = "full", *,
          pseudoknots: Pseudoknots = "refuse") -> list[Tree]:
    """The trees of many structures: dot-bracket strings, records of
    :func:`load_structures`, trees (kept as they are), or an ``os.PathLike``
    to a dot-bracket file (a ``str`` is always one structure). Raises
    ValueError naming the structure's index and position for a bad one."""
    check_representation(representation)
    if isinstance(structures, os.PathLike):
        structures = load_structures(structures, pseudoknots=pseudoknots)
    elif isinstance(structures, str):
        structures = [structures]
    built: list[Tree] = []
    for index, item in enumerate(structures):
        if isinstance(item, Tree):
            built.append(item)
            continue
        text = item.structure if isinstance(item, DotBracketRecord) else item
        try:
            tree = Tree._of(read_dot_bracket(text, representation, pseudoknots=pseudoknots))
        except (TypeError, ValueError) as error:
            raise type(error)(f"structures[{index}]: {error}") from None
        built.append(tree)
    return built


def pdist(structures: Sequence[StructureLike] | str | os.PathLike[str], *,
          representation: Representation = "full", costs: str | CostModel | None = "usual",
          workers: int | None = None, progress: bool | None = None,
          timeout: float | None = None) -> Distances:
    """The distances of all pairs of structures (strings, records, trees, or
    a dot-bracket file as an ``os.PathLike``) as a condensed vector, the
    layout of ``scipy.spatial.distance.pdist``, on all cores by default and
    with a progress bar on a terminal for long runs (see :func:`grix.pdist`).

    costs: a model name ("usual", "shapiro"), a :class:`CostModel`, or None
    for unit costs over the labels. The values equal ViennaRNA's
    ``tree_edit_distance`` pair by pair (int32). Raises ValueError for a bad
    structure (naming it), model or argument; TimeoutError; KeyboardInterrupt.
    """
    model: Mapping[str, Any] = {} if costs is None else \
        named_costs(costs) if isinstance(costs, str) else costs
    if not isinstance(model, Mapping):
        raise TypeError(f"costs must be a model name, a grix.rna.CostModel or None, not {type(costs).__name__}")
    return batch_pdist(trees(structures, representation), **model, workers=workers, progress=progress,
                       timeout=timeout)

