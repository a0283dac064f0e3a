"""A pair of tables made ready for the engine, shared by the scores, the
page matching and the command: the options checked against the definition,
both tables found and walked, the rename costs between their distinct labels,
and a chunk of pairs computed on the engine's threads and turned into scores.
"""

from __future__ import annotations

import sys
import time
from collections.abc import Sequence
from dataclasses import dataclass
from itertools import repeat
from typing import TYPE_CHECKING, Any, Literal

import numpy as np
import numpy.typing as npt

from ..batch import paired_label_tables
from ..tree import Tree
from .cells import BadSpan, Table, TagCodes, Unparsable, find_table, table_tree
from .definitions import DEFAULT_RULES, DEFINITIONS, Rules

if TYPE_CHECKING:
    from typing import TypeAlias

__all__ = ["Denominator", "Pair", "TableInput", "check_options", "compute", "prepare", "prepare_pair",
           "progress_bar", "rename_table", "time_left"]

#: A table: HTML text (str or bytes), or an lxml element or element tree.
TableInput: TypeAlias = "str | bytes | Any"
Denominator = Literal["elements", "tree"]

# Pairs go to the engine in chunks whose rename tables hold about this many
# costs (32 MiB): many pairs for the engine's threads, little memory.
CHUNK_ENTRIES = 1 << 22
# Cell pairs from which the Levenshtein distances of a pair run on threads.
PARALLEL_CDIST = 20_000
# About a few seconds of work: fewer pairs get no bar by default.
PAIRS_WORTH_A_BAR = 2000


def check_options(structure_only: object, ignore_nodes: object, denominator: object,
                  definition: object) -> tuple[tuple[str, ...], Rules, str]:
    """The tag names to strip, the definition's rules and its denominator."""
    if not isinstance(structure_only, bool):
        raise TypeError(f"structure_only must be a bool, not {type(structure_only).__name__}")
    if definition is None:
        rules = DEFAULT_RULES
    elif isinstance(definition, str) and definition in DEFINITIONS:
        rules = DEFINITIONS[definition]
    else:
        raise ValueError(f"definition must be None or one of {', '.join(map(repr, DEFINITIONS))}, "
                         f"not {definition!r}")
    if denominator is not None and denominator not in ("elements", "tree"):
        raise ValueError(f"denominator must be 'elements' or 'tree', not {denominator!r}")
    if rules.denominator is not None and denominator not in (None, rules.denominator):
        raise ValueError(f"definition {definition!r} divides by {rules.denominator!r}; "
                         f"denominator={denominator!r} would not reproduce it")
    chosen = str(rules.denominator or denominator or "elements")
    if ignore_nodes is None:
        return (), rules, chosen
    names = (ignore_nodes,) if isinstance(ignore_nodes, str) else tuple(ignore_nodes)  # type: ignore[arg-type]
    for name in names:
        if not isinstance(name, str):
            raise TypeError(f"ignore_nodes must hold tag names (str), not {type(name).__name__}")
    return names, rules, chosen


def prepare(pred: Any, true: Any, structure_only: bool, ignore_nodes: tuple[str, ...],
            rules: Rules = DEFAULT_RULES) -> tuple[Table, Table] | None:
    """Both tables of a pair as trees, or None when either has no table."""
    table1, table2 = find_table(pred, ignore_nodes, rules), find_table(true, ignore_nodes, rules)
    if table1 is None or table2 is None:
        return None
    codes = TagCodes()
    return (table_tree(table1, structure_only, codes, rules),
            table_tree(table2, structure_only, codes, rules))


def rename_table(pred: Table, true: Table, workers: int = 1,
                 rename: str = "levenshtein") -> npt.NDArray[np.float64]:
    """Rename costs between the distinct labels of the two tables, each in
    first-appearance order: 1 between different tags or spans, else the
    normalized Levenshtein distance of the contents, which is 0 between
    other tags (their content is empty here) and between empty cells; or,
    with ``rename="exact"``, 1 between different labels."""
    from rapidfuzz.distance import Levenshtein
    from rapidfuzz.process import cdist

    distinct1, distinct2 = list(dict.fromkeys(pred.labels)), list(dict.fromkeys(true.labels))
    if rename == "emptiness":
        # ParseBench's struct-bool: 1 between different heads, and between a
        # cell with content and one without.
        heads1, _, content1 = zip(*map(str.partition, distinct1, repeat("\n")))
        heads2, _, content2 = zip(*map(str.partition, distinct2, repeat("\n")))
        code = {head: number for number, head in enumerate(dict.fromkeys(heads1 + heads2))}
        codes1 = np.fromiter(map(code.__getitem__, heads1), dtype=np.int32, count=len(heads1))
        codes2 = np.fromiter(map(code.__getitem__, heads2), dtype=np.int32, count=len(heads2))
        filled1 = np.fromiter(map(bool, content1), dtype=bool, count=len(content1))
        filled2 = np.fromiter(map(bool, content2), dtype=bool, count=len(content2))
        differ: npt.NDArray[np.bool_] = ((codes1[:, None] != codes2[None, :])
                                         | (filled1[:, None] != filled2[None, :]))
        return differ.astype(np.float64)
    if rename == "exact":
        code = {label: number for number, label in enumerate(dict.fromkeys(distinct1 + distinct2))}
        labels1 = np.fromiter(map(code.__getitem__, distinct1), dtype=np.int64, count=len(distinct1))
        labels2 = np.fromiter(map(code.__getitem__, distinct2), dtype=np.int64, count=len(distinct2))
        unequal: npt.NDArray[np.float64] = (labels1[:, None] != labels2[None, :]).astype(np.float64)
        return unequal
    heads1, _, content1 = zip(*map(str.partition, distinct1, repeat("\n")))
    heads2, _, content2 = zip(*map(str.partition, distinct2, repeat("\n")))
    code = {head: number for number, head in enumerate(dict.fromkeys(heads1 + heads2))}
    codes1 = np.fromiter(map(code.__getitem__, heads1), dtype=np.int32, count=len(heads1))
    codes2 = np.fromiter(map(code.__getitem__, heads2), dtype=np.int32, count=len(heads2))
    different: npt.NDArray[np.bool_] = codes1[:, None] != codes2[None, :]
    if not (any(content1) or any(content2)):
        return different.astype(np.float64)
    # rapidfuzz's threads pay off on large tables only.
    threads = workers if len(content1) * len(content2) >= PARALLEL_CDIST else 1
    table: npt.NDArray[np.float64] = cdist(content1, content2, scorer=Levenshtein.normalized_distance,
                                           dtype=np.float64, workers=threads)
    table[different] = 1.0
    return table


@dataclass
class Pair:
    """A pair ready for the engine: both trees, the rename costs between
    their distinct labels, and both denominators."""

    tree1: Tree
    tree2: Tree
    costs: npt.NDArray[np.float64]
    elements: int
    nodes: int
    complex: bool = False

    def node_costs(self) -> npt.NDArray[np.float64]:
        """The rename costs node by node, for one call of grix.distance,
        which computes a small pair on the calling thread."""
        rows, columns = (label_indices(tree.labels) for tree in (self.tree1, self.tree2))
        return self.costs[np.ix_(rows, columns)]

    def score(self, edit_distance: float, denominator: str, rules: Rules = DEFAULT_RULES) -> float:
        size = (self.nodes if denominator == "tree" else self.elements) + rules.root_counted
        if size == 0:  # two tables without elements below them: identical
            return rules.empty_pair
        value = 1.0 - edit_distance / size
        if rules.clip:
            value = max(0.0, value)
        return value if rules.digits is None else round(value, rules.digits)


def label_indices(labels: Sequence[str]) -> npt.NDArray[np.intp]:
    """Each node's label as its place among the distinct labels in order of
    first appearance."""
    place = {label: number for number, label in enumerate(dict.fromkeys(labels))}
    return np.fromiter(map(place.__getitem__, labels), dtype=np.intp, count=len(labels))


def prepare_pair(pred: Any, true: Any, structure_only: bool, ignore_nodes: tuple[str, ...],
                 workers: int = 1, rules: Rules = DEFAULT_RULES) -> Pair | float:
    """The pair ready for the engine, or its score when the definition
    settles it without one (no table: 0.0; text the source cannot read)."""
    try:
        prepared = prepare(pred, true, structure_only, ignore_nodes, rules)
    except Unparsable as error:
        if rules.unparsable is None:
            raise ValueError(f"lxml cannot parse a table: {error}") from None
        return rules.unparsable
    except BadSpan:
        if rules.failure is None:
            raise
        return rules.failure
    if prepared is None:
        return 0.0
    first, second = prepared
    return Pair(first.tree(), second.tree(), rename_table(first, second, workers, rules.rename),
                max(first.elements, second.elements), max(len(first.labels), len(second.labels)))


def progress_bar(progress: bool | None, pairs: int) -> Any:
    """A tqdm bar over pairs, or None: always with True, never with False,
    and with None on a terminal for runs of more than a few seconds."""
    if progress is False or pairs == 0:
        return None
    if progress is None and (pairs < PAIRS_WORTH_A_BAR or not sys.stderr.isatty()):
        return None
    from tqdm.auto import tqdm

    return tqdm(total=pairs, unit="pair", dynamic_ncols=True)


def time_left(deadline: float | None, seconds: float | None) -> float | None:
    if deadline is None:
        return None
    left = deadline - time.monotonic()
    if left <= 0:
        raise TimeoutError(f"the computation did not finish within {seconds} s")
    return left


def compute(chunk: list[tuple[int, Pair]], scores: npt.NDArray[np.float64], denominators: list[str],
            rules: list[Rules], threads: int, deadline: float | None, seconds: float | None) -> None:
    """Distances of a chunk of pairs on the engine's threads, written as
    scores at the pairs' places, every pair under the first denominator and
    rules of the lists given."""
    try:
        distances = paired_label_tables(
            [pair.tree1 for _, pair in chunk], [pair.tree2 for _, pair in chunk],
            [pair.costs for _, pair in chunk], workers=threads, progress=False,
            timeout=time_left(deadline, seconds))
    except TimeoutError:
        raise TimeoutError(f"the computation did not finish within {seconds} s") from None
    for (number, pair), value in zip(chunk, distances.tolist()):
        scores[number] = pair.score(value, denominators[0], rules[0])
