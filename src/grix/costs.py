"""Costs as users give them, turned into what the engine takes.

A distance runs in 32-bit integers when every cost is an integer and no sum
can leave the 32-bit range, and in doubles otherwise. Doubles are exact for
integers up to 2**53, so integer costs beyond the 32-bit range still give an
exact integer result; beyond 2**53 they are refused.
"""

from __future__ import annotations

import math
import numbers
from collections.abc import Callable, Hashable, Mapping, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Union

import numpy as np
import numpy.typing as npt

from . import _core

if TYPE_CHECKING:
    from typing import TypeAlias

    from .tree import Tree

Number: TypeAlias = Union[int, float]

# A class cost table larger than this would take more memory than it saves.
MAX_CLASS_TABLE = 50_000_000


@dataclass(frozen=True)
class LabelClasses:
    """Rename costs by class of label, for any number of distinct labels.

    ``classes`` puts each label in a class: a callable ``label -> class`` or
    a mapping from label to class, asked once per distinct label (a label a
    mapping lacks is an error). ``costs`` prices renaming a label of one class
    into a different label of another (or the same) class: a callable
    ``(class1, class2) -> number`` called once per pair of classes met, or a
    mapping from ``(class1, class2)`` to a number. Renaming a label into an
    equal label costs ``same`` (0 by default).

    Code comparison, for instance: identifiers renamed into one another cost
    0.5, anything across node types 1::

        by_type = grix.LabelClasses(lambda label: label.split(":")[0],
                                    lambda a, b: 0.5 if a == b else 1)

    Every function that takes ``rename=`` takes this form. Unlike a plain
    callable, which is called on every pair of distinct labels (a batch over
    thousands of labels makes millions of Python calls and a table of their
    square), it costs one call per label and per class pair, and the engine
    looks costs up by class: batches, joins and matrices over any number of
    labels, with a table the size of the classes squared.
    """

    classes: Callable[[str], Hashable] | Mapping[str, Hashable]
    costs: Callable[[Any, Any], Number] | Mapping[tuple[Any, Any], Number]
    same: Number = 0

    def class_codes(self, labels: Sequence[str]) -> tuple[npt.NDArray[np.int32], list[Hashable]]:
        """The class number of each label (numbered in order of first
        appearance), and the classes in number order."""
        numbers_of: dict[Hashable, int] = {}
        get = self.classes.__getitem__ if isinstance(self.classes, Mapping) else self.classes
        if not callable(get):
            raise TypeError(f"LabelClasses.classes must be a callable or a mapping, not "
                            f"{type(self.classes).__name__}")
        codes = np.empty(len(labels), dtype=np.int32)
        for k, label in enumerate(labels):
            try:
                found = get(label)
            except KeyError:
                raise ValueError(f"label {label[:30]!r} has no class in LabelClasses.classes") from None
            try:
                codes[k] = numbers_of.setdefault(found, len(numbers_of))
            except TypeError:
                raise TypeError(f"the class of label {label[:30]!r} is a {type(found).__name__}, "
                                "which is not hashable") from None
        return codes, list(numbers_of)

    def class_table(self, classes: Sequence[Hashable]) -> npt.NDArray[Any]:
        """The costs between every two of `classes`, checked."""
        if len(classes) ** 2 > MAX_CLASS_TABLE:
            raise ValueError(f"the labels fall into {len(classes)} classes: a table of {len(classes)}^2 "
                             "class costs is too large; use fewer classes")
        if isinstance(self.costs, Mapping):
            table: Mapping[tuple[Any, Any], Number] = self.costs

            def cost(a: Any, b: Any) -> object:
                try:
                    return table[a, b]
                except KeyError:
                    raise ValueError(f"LabelClasses.costs has no cost for the classes ({short(a)}, {short(b)})") \
                        from None
        elif callable(self.costs):
            cost = self.costs
        else:
            raise TypeError(f"LabelClasses.costs must be a callable or a mapping, not {type(self.costs).__name__}")
        values = [[checked_number(cost(a, b), f"LabelClasses.costs({short(a)}, {short(b)})") for b in classes]
                  for a in classes]
        return np.array(values).reshape(len(classes), len(classes))

    def same_cost(self) -> int | float:
        return checked_number(self.same, "LabelClasses.same")

    def label_table(self, labels1: Sequence[str], labels2: Sequence[str]) -> npt.NDArray[Any]:
        """The rename costs from each of labels1 to each of labels2 (each list
        without repeats), computed from the classes in bulk."""
        (codes1, codes2), labels = numbered_labels([labels1, labels2])
        label_class, classes = self.class_codes(labels)
        table = self.class_table(classes)[label_class[codes1][:, None], label_class[codes2][None, :]]
        same = self.same_cost()
        if isinstance(same, float) and table.dtype.kind != "f":
            table = table.astype(np.float64)
        table[codes1[:, None] == codes2[None, :]] = same
        return table


class ClassWeightCosts:
    """Costs from each label's class and weight, computed by the engine:
    the form of grix.rna's cost models, which their rename, delete and
    insert callables carry as ``class_weight_costs`` so that grix passes the
    model rather than a table made in Python.

    A label is a class name followed by an optional weight in digits
    (``P3``; ``R`` weighs 1). ``unit_costs[a][b]`` prices one unit of weight
    of class a renamed into class b; class 0 (``class_names[0]``, named by no
    label) is no node, so row 0 prices deleting or inserting one unit. Delete
    and insert (a, w) cost ``unit_costs[0][a] * w``; rename (a, w1) into
    (b, w2) costs ``unit_costs[a][b] * min(w1, w2) + unit_costs[0][h] * |w1 -
    w2|``, h the class of the heavier node, each term 0 when its weight is.
    Labels the engine cannot read (another form, or a weight above 2**31)
    leave the pair or batch to the callables themselves.
    """

    def __init__(self, class_names: Sequence[str], unit_costs: Sequence[Sequence[Number]]) -> None:
        self.class_names = tuple(class_names)
        self.unit_costs = tuple(tuple(row) for row in unit_costs)
        self.model = _core.ClassWeightModel(list(self.class_names), np.array(unit_costs, dtype=np.float64))

    def __reduce__(self) -> tuple[type, tuple[tuple[str, ...], tuple[tuple[Number, ...], ...]]]:
        return ClassWeightCosts, (self.class_names, self.unit_costs)  # the engine's model is made again

    def table(self, labels1: Sequence[str], labels2: Sequence[str]) -> tuple[npt.NDArray[np.float64],
                                                                             npt.NDArray[np.float64],
                                                                             npt.NDArray[np.float64]] | None:
        """(rename, delete, insert) from each of labels1 (without repeats)
        to each of labels2, or None for a label the engine cannot read."""
        return _core.class_weight_table(labels1, labels2, self.model)


def class_weight_costs(rename: object, delete: object, insert: object) -> ClassWeightCosts | None:
    """The engine's form that rename, delete and insert all stand for, or None."""
    form = getattr(rename, "class_weight_costs", None)
    if not isinstance(form, ClassWeightCosts) or getattr(delete, "class_weight_costs", None) is not form \
            or getattr(insert, "class_weight_costs", None) is not form:
        return None
    return form


def short(obj: object, limit: int = 30) -> str:
    text = repr(obj)
    return text if len(text) <= limit else text[: limit - 3] + "..."


#: Rename costs: ``None`` for label equality (0 for equal labels, 1 otherwise),
#: a callable ``(label1, label2) -> number``, :class:`LabelClasses`, or an
#: n1 x n2 array of numbers.
Rename: TypeAlias = Union[None, Callable[[str, str], Number], LabelClasses, npt.ArrayLike]
#: Delete or insert costs: ``None`` (1 each), one number for every node, a
#: callable ``label -> number``, or one number per node (a sequence or array).
NodeCost: TypeAlias = Union[None, Number, Callable[[str], Number], npt.ArrayLike]

#: The same restricted to integers, for which distances are ints.
IntRename: TypeAlias = Union[None, Callable[[str, str], int], "npt.NDArray[np.integer[Any]]",
                             Sequence[Sequence[int]]]
IntNodeCost: TypeAlias = Union[None, int, Callable[[str], int], "npt.NDArray[np.integer[Any]]",
                               Sequence[int]]

INT32_MIN, INT32_MAX = -(2**31), 2**31 - 1
EXACT_DOUBLE = 2**53


def label_codes(*label_lists: Sequence[str]) -> list[npt.NDArray[np.int32]]:
    """Numbers the distinct labels of all lists together, in order of first
    appearance: equal labels, equal codes."""
    return numbered_labels(label_lists)[0]


def numbered_labels(label_lists: Sequence[Sequence[str]]) -> tuple[list[npt.NDArray[np.int32]], list[str]]:
    """The codes of each list of labels (equal labels, equal codes, numbered
    in order of first appearance), and the distinct labels in code order."""
    codes, labels = _core.number_label_lists(label_lists)
    return codes, labels


def checked_number(value: object, what: str) -> float | int:
    """A cost a callable returned: a real number, not NaN, not -inf."""
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{what} must return a number, not {type(value).__name__}")
    if isinstance(value, numbers.Integral):
        return int(value)
    number = float(value)
    if math.isnan(number) or number == -math.inf:
        raise ValueError(f"{what} returned {number}; costs must be numbers, finite or +inf")
    return number


def checked_array(values: Any, name: str, shape: tuple[int, ...]) -> npt.NDArray[Any]:
    """A numeric numpy array of `shape` holding no NaN and no -inf."""
    if isinstance(values, (str, bytes)):
        raise TypeError(f"{name} must hold numbers, not a string")
    try:
        array = np.asarray(values)
    except (ValueError, TypeError):  # ragged rows and the like
        raise TypeError(f"{name} must be an array of numbers with rows of equal length") from None
    if array.dtype == bool or not (np.issubdtype(array.dtype, np.integer)
                                   or np.issubdtype(array.dtype, np.floating)):
        raise TypeError(f"{name} must hold numbers, not {array.dtype}")
    if array.shape != shape:
        raise ValueError(f"{name} has shape {array.shape}; the trees need {shape}")
    if np.issubdtype(array.dtype, np.floating) and array.size:
        if np.isnan(array).any():
            raise ValueError(f"{name} holds NaN at {first_index(np.isnan(array))}; costs must be numbers")
        if (array == -np.inf).any():
            raise ValueError(f"{name} holds -inf at {first_index(array == -np.inf)}; "
                             "costs must be finite or +inf")
    return array


def first_index(mask: npt.NDArray[np.bool_]) -> tuple[int, ...] | int:
    index = tuple(int(k) for k in np.argwhere(mask)[0])
    return index[0] if len(index) == 1 else index


def check_non_negative(array: npt.NDArray[Any], name: str) -> None:
    if array.size and (array < 0).any():
        where = first_index(array < 0)
        raise ValueError(f"{name}[{where}] = {array[where]} is negative; {name} costs must be at least 0")


def is_integral(array: npt.NDArray[Any] | None) -> bool:
    if array is None or np.issubdtype(array.dtype, np.integer):
        return True
    return bool(np.isfinite(array).all() and (np.floor(array) == array).all())


def node_costs(costs: NodeCost, labels: Sequence[str], name: str) -> npt.NDArray[Any] | None:
    """One cost per node of a tree with these labels, or None for 1 each."""
    if costs is None:
        return None
    if isinstance(costs, numbers.Real) and not isinstance(costs, bool):
        array = checked_array(np.full(len(labels), costs), name, (len(labels),))
    elif callable(costs):
        per_label = {label: checked_number(costs(label), f"{name}({label[:30]!r})")
                     for label in dict.fromkeys(labels)}
        array = np.array([per_label[label] for label in labels])
        if not array.size:
            array = np.zeros(0, dtype=np.int64)
    else:
        array = checked_array(costs, name, (len(labels),))
    check_non_negative(array, name)
    return array


def label_table(rename: Callable[[str, str], Number], labels1: Sequence[str],
                labels2: Sequence[str]) -> npt.NDArray[Any]:
    """rename(a, b) for every a of labels1 and b of labels2, called once per
    pair; or, where the callable has a ``table(labels1, labels2)`` method
    that gives them all at once as an array (ViennaRNA's cost models do),
    that table, checked as any costs are. A ``table`` that returns None
    leaves the pairs to the callable."""
    tabulate = getattr(rename, "table", None)
    if callable(tabulate):
        table = tabulate(labels1, labels2)
        if table is not None:
            return checked_array(table, "rename", (len(labels1), len(labels2)))
    values = [[checked_number(rename(first, second), f"rename({first[:30]!r}, {second[:30]!r})")
               for second in labels2] for first in labels1]
    table = np.array(values) if values and labels2 else np.zeros((len(labels1), len(labels2)), dtype=np.int64)
    return table.reshape(len(labels1), len(labels2))


@dataclass
class EngineCosts:
    """The costs of one pair or one batch, as grix._core takes them."""

    rename_by_node: npt.NDArray[Any] | None = None
    rename_by_label: npt.NDArray[Any] | None = None
    delete: npt.NDArray[Any] | None = None
    insert: npt.NDArray[Any] | None = None
    floating: bool = False   # run in doubles
    integral: bool = True    # every cost an integer: the result is an int
    codes1: npt.NDArray[np.int32] | None = None  # label codes of one pair's trees
    codes2: npt.NDArray[np.int32] | None = None
    # With label classes: rename_by_label is between classes, label_class
    # gives each label code's class, and equal labels cost same_label.
    label_class: npt.NDArray[np.int32] | None = None
    same_label: int | float = 0

    def number(self, value: Any) -> int | float:
        return int(value) if self.integral else float(value)

    def delete_cost(self, i: int) -> int | float:
        return 1 if self.delete is None else self.number(self.delete[i])

    def insert_cost(self, j: int) -> int | float:
        return 1 if self.insert is None else self.number(self.insert[j])

    def rename_cost(self, i: int, j: int) -> int | float:
        """What renaming node i of t1 into node j of t2 costs in one pair,
        capped at deleting the one and inserting the other."""
        if self.rename_by_node is not None:
            value = self.rename_by_node[i, j]
        elif self.rename_by_label is not None and self.label_class is not None:
            assert self.codes1 is not None and self.codes2 is not None
            code1, code2 = self.codes1[i], self.codes2[j]
            value = self.same_label if code1 == code2 else \
                self.rename_by_label[self.label_class[code1], self.label_class[code2]]
        elif self.rename_by_label is not None:
            assert self.codes1 is not None and self.codes2 is not None
            value = self.rename_by_label[self.codes1[i], self.codes2[j]]
        else:
            assert self.codes1 is not None and self.codes2 is not None
            value = int(self.codes1[i] != self.codes2[j])
        return min(self.number(value), self.delete_cost(i) + self.insert_cost(j))

    def result(self, value: float | int) -> float | int:
        """The engine's result as the user gets it: an int for integral costs."""
        return int(value) if self.integral and math.isfinite(value) else float(value)

    def pair_arguments(self) -> dict[str, Any]:
        return {"rename_by_node": self.rename_by_node, "rename_by_label": self.rename_by_label,
                "delete": self.delete, "insert": self.insert, "floating": self.floating}

    def batch_arguments(self) -> dict[str, Any]:
        return {"rename": self.rename_by_label, "delete": self.delete, "insert": self.insert,
                "label_class": self.label_class, "same_label": float(self.same_label),
                "floating": self.floating}


def choose_number_type(costs: EngineCosts, indel_total: float, lowest_rename: float,
                       max_renames: int) -> EngineCosts:
    """Picks int32 or doubles for `costs` and converts its arrays.

    indel_total bounds every distance from above (deleting one tree and
    inserting the other), max_renames * lowest_rename from below."""
    arrays = [costs.rename_by_node, costs.rename_by_label, costs.delete, costs.insert,
              np.array([costs.same_label])]
    costs.integral = all(is_integral(array) for array in arrays)
    lowest = min(lowest_rename, 0) * max_renames
    if costs.integral and indel_total <= INT32_MAX and lowest >= INT32_MIN:
        dtype: type = np.int32
    elif costs.integral and indel_total <= EXACT_DOUBLE and lowest >= -EXACT_DOUBLE:
        dtype = np.float64
    elif costs.integral:
        raise ValueError("the costs are too large to add up exactly: a distance could pass 2**53")
    else:
        dtype = np.float64
    costs.floating = dtype is np.float64
    for name in ("rename_by_node", "rename_by_label"):
        array = getattr(costs, name)
        if array is not None:
            if costs.integral:
                # A rename dearer than deleting and inserting acts as that sum,
                # so capping it at the largest such sum changes nothing and
                # keeps it in range.
                array = np.minimum(array, int(indel_total) + 1)
            setattr(costs, name, np.ascontiguousarray(array, dtype=dtype))
    for name in ("delete", "insert"):
        array = getattr(costs, name)
        if array is not None:
            setattr(costs, name, np.ascontiguousarray(array, dtype=dtype))
    if costs.integral:
        costs.same_label = int(min(costs.same_label, int(indel_total) + 1))
    return costs


def pair_costs(t1: Tree, t2: Tree, rename: Rename, delete: NodeCost,
               insert: NodeCost) -> tuple[EngineCosts, npt.NDArray[np.int32], npt.NDArray[np.int32]]:
    """The engine's costs for one pair, with the label codes to pass along:
    codes shared by both trees for label equality, each tree's own for a
    table from a callable."""
    n1, n2 = len(t1), len(t2)
    if rename is None and delete is None and insert is None:  # the common case, kept short
        codes1, codes2 = label_codes(t1.labels, t2.labels)
        return EngineCosts(codes1=codes1, codes2=codes2), codes1, codes2
    form = class_weight_costs(rename, delete, insert)
    tables = form.table(list(dict.fromkeys(t1.labels)), list(dict.fromkeys(t2.labels))) if form else None
    if tables is not None:
        (codes1,), (codes2,) = label_codes(t1.labels), label_codes(t2.labels)
        costs = EngineCosts(rename_by_label=tables[0], delete=tables[1][codes1], insert=tables[2][codes2])
    else:
        costs, codes1, codes2 = given_pair_costs(t1, t2, rename, delete, insert)
    renames = costs.rename_by_node if costs.rename_by_node is not None else costs.rename_by_label
    lowest = float(renames.min()) if renames is not None and renames.size else 0.0
    total = whole_cost(costs.delete, n1) + whole_cost(costs.insert, n2)
    costs.codes1, costs.codes2 = codes1, codes2
    return choose_number_type(costs, total, lowest, min(n1, n2) + 1), codes1, codes2


def given_pair_costs(t1: Tree, t2: Tree, rename: Rename, delete: NodeCost,
                     insert: NodeCost) -> tuple[EngineCosts, npt.NDArray[np.int32], npt.NDArray[np.int32]]:
    """The costs of one pair from what the caller gave, with its label codes."""
    costs = EngineCosts(delete=node_costs(delete, t1.labels, "delete"),
                        insert=node_costs(insert, t2.labels, "insert"))
    if isinstance(rename, LabelClasses):
        (codes1,), (codes2,) = label_codes(t1.labels), label_codes(t2.labels)
        costs.rename_by_label = rename.label_table(list(dict.fromkeys(t1.labels)), list(dict.fromkeys(t2.labels)))
    elif rename is None or not callable(rename):
        codes1, codes2 = label_codes(t1.labels, t2.labels)
        if rename is not None:
            costs.rename_by_node = checked_array(rename, "rename", (len(t1), len(t2)))
    else:
        (codes1,), (codes2,) = label_codes(t1.labels), label_codes(t2.labels)
        costs.rename_by_label = label_table(rename, list(dict.fromkeys(t1.labels)),
                                            list(dict.fromkeys(t2.labels)))
    return costs, codes1, codes2


def whole_cost(costs: npt.NDArray[Any] | None, count: int) -> float:
    """Deleting (or inserting) every node: the sum of the costs, or the count."""
    if costs is None:
        return float(count)
    return float(costs.sum()) if costs.size else 0.0


METRIC_NEEDS_FINITE_COSTS = ('normalize="metric" needs finite delete and insert costs: a tree with a node that '
                             'can never be deleted or inserted has no whole-tree cost to scale by; use "max"')


def check_metric_costs(delete: npt.NDArray[Any] | None, insert: npt.NDArray[Any] | None) -> None:
    """Refuses the metric normalisation where deleting the first trees or
    inserting the second ones costs inf (costs of the nodes or labels concerned)."""
    for costs in (delete, insert):
        if costs is not None and costs.size and np.isinf(costs).any():
            raise ValueError(METRIC_NEEDS_FINITE_COSTS)


def corpus_costs(labels: Sequence[str], rename: Callable[[str, str], Number] | LabelClasses | None,
                 delete: NodeCost, insert: NodeCost, largest1: int, largest2: int) -> EngineCosts:
    """The engine's costs for a batch over trees whose distinct labels are
    `labels` (in code order) and whose largest trees have largest1 and
    largest2 nodes: a rename table (between labels, or between their
    classes), and delete and insert costs per label."""
    if rename is not None and not callable(rename) and not isinstance(rename, LabelClasses):
        raise TypeError("rename must be None, a callable (label1, label2) -> number or grix.LabelClasses "
                        "for many trees; a per-node matrix fits only one pair (grix.distance)")
    for costs, name in ((delete, "delete"), (insert, "insert")):
        if costs is not None and not callable(costs) and not (
                isinstance(costs, numbers.Real) and not isinstance(costs, bool)):
            raise TypeError(f"{name} must be None, a number or a callable label -> number for many "
                            "trees; per-node costs fit only one pair (grix.distance)")
    form = class_weight_costs(rename, delete, insert)
    tables = form.table(labels, labels) if form else None
    if tables is not None:  # from the labels' classes and weights, by the engine
        engine = EngineCosts(rename_by_label=tables[0], delete=tables[1], insert=tables[2])
    else:
        engine = EngineCosts(delete=node_costs(delete, labels, "delete"),
                             insert=node_costs(insert, labels, "insert"))
        if isinstance(rename, LabelClasses):
            engine.label_class, classes = rename.class_codes(labels)
            engine.rename_by_label = rename.class_table(classes)
            engine.same_label = rename.same_cost()
        elif rename is not None:
            engine.rename_by_label = label_table(rename, labels, labels)
    lowest = float(engine.rename_by_label.min()) if engine.rename_by_label is not None and \
        engine.rename_by_label.size else 0.0
    if engine.label_class is not None:
        lowest = min(lowest, float(engine.same_label))

    def most(array: npt.NDArray[Any] | None) -> float:
        return 1.0 if array is None else float(array.max()) if array.size else 0.0

    total = most(engine.delete) * largest1 + most(engine.insert) * largest2
    return choose_number_type(engine, total, lowest, min(largest1, largest2) + 1)
