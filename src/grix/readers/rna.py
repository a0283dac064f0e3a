"""RNA secondary structures in dot-bracket notation, as the trees that RNA
structure comparison uses: full, HIT, coarse and weighted coarse.

Each tree is built node for node as ViennaRNA's ``RNAdistance -D f``, ``h``,
``c`` and ``w`` build theirs (its ``expand_Full``, ``b2HIT``,
``expand_Shapiro(b2C(...))`` and ``b2Shapiro``), so that the same costs give
the same distances. A label is the node's class letter, followed in the
weighted representations by its weight, exactly as ViennaRNA writes the node
in its tree strings (``P3`` is a helix of three pairs):

- ``R`` the root, ``U`` unpaired bases, ``P`` base pairs (a helix in HIT),
- ``S`` a stem (helix), and the loop it closes: ``H`` hairpin, ``B`` bulge,
  ``I`` interior loop, ``M`` multiloop; ``E`` the exterior loop.

A *helix* is a maximal run of stacked pairs (i, j), (i+1, j-1), ...; its
outermost pair opens it and its innermost pair closes a loop. The source of
every node is the half-open span ``(start, stop)`` of the positions (from 0)
it covers: a base, a pair with what it encloses, a run of unpaired bases, a
helix, or the loop its innermost pair closes; the root's span is the whole
structure.

Positions in error messages count from 1, as nucleotides are numbered.
"""

from __future__ import annotations

import os
import warnings
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Literal

from .common import Preorder, read_text_file

Representation = Literal["full", "hit", "coarse", "weighted"]
#: The tree representations, in ViennaRNA's ``RNAdistance -D`` letters f, h, c and w.
REPRESENTATIONS: tuple[str, ...] = ("full", "hit", "coarse", "weighted")
Pseudoknots = Literal["refuse", "unpaired"]
PSEUDOKNOT_BRACKETS = "[]{}<>"
Span = tuple[int, int]


def check_representation(representation: object) -> str:
    if representation not in REPRESENTATIONS:
        raise ValueError(f"representation must be one of {', '.join(map(repr, REPRESENTATIONS))}, "
                         f"not {representation!r}")
    return str(representation)


def pair_table(structure: str, *, pseudoknots: Pseudoknots = "refuse") -> list[int]:
    """The partner of every position (from 0), or -1 for an unpaired base.

    ``.`` is unpaired, ``(`` and ``)`` pair. The pseudoknot brackets ``[]{}<>``
    are refused unless ``pseudoknots="unpaired"``, which reads them as
    unpaired bases (the nested structure of the ``()`` pairs is what the trees
    hold). Raises TypeError for a non-str and ValueError, one line naming the
    position, for an unknown character or unbalanced brackets. Costs O(n).
    """
    if not isinstance(structure, str):
        raise TypeError(f"a dot-bracket structure must be a str, not {type(structure).__name__}")
    if pseudoknots not in ("refuse", "unpaired"):
        raise ValueError(f'pseudoknots must be "refuse" or "unpaired", not {pseudoknots!r}')
    partner = [-1] * len(structure)
    opened: list[int] = []
    for position, char in enumerate(structure):
        if char == "(":
            opened.append(position)
        elif char == ")":
            if not opened:
                raise ValueError(f"dot-bracket: ')' at position {position + 1} closes no '('")
            start = opened.pop()
            partner[start], partner[position] = position, start
        elif char == ".":
            continue
        elif char in PSEUDOKNOT_BRACKETS:
            if pseudoknots == "refuse":
                raise ValueError(f"dot-bracket: pseudoknot bracket {char!r} at position {position + 1}; "
                                 'pass pseudoknots="unpaired" to read such brackets as unpaired bases')
        else:
            raise ValueError(f"dot-bracket: unknown character {char!r} at position {position + 1}; "
                             "a structure holds '.', '(' and ')'")
    if opened:
        raise ValueError(f"dot-bracket: '(' at position {opened[-1] + 1} is never closed")
    return partner


def read_dot_bracket(structure: str, representation: Representation = "full", *,
                     pseudoknots: Pseudoknots = "refuse") -> Preorder[Span]:
    """The tree of a dot-bracket structure in one of :data:`REPRESENTATIONS`
    (see the module's description). Surrounding whitespace is ignored:
    positions and spans count from the first character of the structure.

    Raises TypeError or ValueError (one line naming the position) for a bad
    structure. Costs O(n) in the length.
    """
    representation = check_representation(representation)  # type: ignore[assignment]
    if isinstance(structure, str):
        structure = structure.strip()
    partner = pair_table(structure, pseudoknots=pseudoknots)
    build = {"full": full_tree, "hit": hit_tree, "coarse": coarse_tree, "weighted": weighted_tree}
    return build[representation](partner)


def helix_length(partner: Sequence[int], start: int) -> int:
    """The pairs stacked from the pair opened at `start` inwards."""
    stop, length = partner[start], 1
    while start + length < stop - length and partner[start + length] == stop - length:
        length += 1
    return length


def opens_helix(partner: Sequence[int], position: int) -> bool:
    """Whether the pair opened at `position` is the outermost of its helix:
    it does not stack on a pair right outside it."""
    return position == 0 or partner[position - 1] != partner[position] + 1


def full_tree(partner: Sequence[int]) -> Preorder[Span]:
    """A ``U`` leaf per unpaired base and a ``P`` node per pair, under ``R``."""
    n = len(partner)
    labels, parents, source = ["R"], [-1], [(0, n)]
    open_nodes = [0]
    for position, other in enumerate(partner):
        if other < 0:
            labels.append("U")
            parents.append(open_nodes[-1])
            source.append((position, position + 1))
        elif other > position:
            parents.append(open_nodes[-1])
            open_nodes.append(len(labels))
            labels.append("P")
            source.append((position, other + 1))
        else:
            open_nodes.pop()
    return labels, parents, source


def hit_tree(partner: Sequence[int]) -> Preorder[Span]:
    """A ``U``\\ *k* leaf per run of k unpaired bases and a ``P``\\ *k* node per
    helix of k pairs, holding what its innermost pair encloses, under ``R``."""
    n = len(partner)
    labels, parents, source = ["R"], [-1], [(0, n)]
    open_nodes = [0]
    position = 0
    while position < n:
        other = partner[position]
        if other < 0:
            stop = position
            while stop < n and partner[stop] < 0:
                stop += 1
            labels.append(f"U{stop - position}")
            parents.append(open_nodes[-1])
            source.append((position, stop))
            position = stop
            continue
        if other > position:
            if opens_helix(partner, position):
                parents.append(open_nodes[-1])
                open_nodes.append(len(labels))
                labels.append(f"P{helix_length(partner, position)}")
                source.append((position, other + 1))
        elif opens_helix(partner, other):
            open_nodes.pop()
        position += 1
    return labels, parents, source


@dataclass
class _Loop:
    """A loop being read: its node, the helix that closes it, and what the
    classification needs once it is complete."""

    node: int
    first: int            # the position of its closing pair's opening
    last: int             # ... and closing bracket
    helix: int            # the closing helix's number of pairs
    children: int = 0     # helices directly inside
    unpaired: int = 0
    bulge: bool = False   # a side with no unpaired base


def loop_trees(partner: Sequence[int], weighted: bool) -> Preorder[Span]:
    """The coarse trees: an ``S`` node per helix holding the loop its
    innermost pair closes (``H``, ``B``, ``I`` or ``M``), which holds the
    ``S`` nodes of the helices inside it.

    weighted=False follows ViennaRNA's ``b2C`` and ``expand_Shapiro``: every
    weight is 1. A loop with one helix inside and no unpaired base on one side
    is a bulge, but ``b2C`` sees the empty 5' side only when the closing helix
    has more than one pair (it looks for an inner ``(`` before the inner
    helix); that case stays an interior loop here too.

    weighted=True follows ``b2Shapiro``: ``S`` weighs the helix's pairs, a
    loop its unpaired bases (0 for a multiloop without any), and when the
    exterior loop has unpaired bases, an ``E`` node weighing them sits between
    the root and the top-level stems.
    """
    n = len(partner)
    labels, parents, source = ["R"], [-1], [(0, n)]
    exterior_unpaired = count_exterior_unpaired(partner)
    top = 0
    if weighted and exterior_unpaired:
        labels.append(f"E{exterior_unpaired}")
        parents.append(0)
        source.append((0, n))
        top = 1
    loops: list[_Loop] = []
    position = 0
    while position < n:
        other = partner[position]
        if other < 0:
            if loops:
                loops[-1].unpaired += 1
            position += 1
            continue
        if other < position:
            # The innermost pair of a helix closes; its outermost one closes
            # at the end of the helix's run of ')'.
            loop = loops.pop()
            if partner[position - 1] >= 0 and partner[position - 1] < position - 1:
                # A helix ends right before this loop closes: no unpaired base
                # on the 3' side.
                loop.bulge = True
            labels[loop.node] = loop_label(loop, weighted)
            position = loop.last + loop.helix  # past the helix's closing brackets
            continue
        length = helix_length(partner, position)
        innermost = position + length - 1
        if loops:
            enclosing = loops[-1]
            enclosing.children += 1
            if position == enclosing.first + 1 and (weighted or enclosing.helix > 1):
                enclosing.bulge = True
        stem = len(labels)
        labels.append(f"S{length}" if weighted else "S")
        parents.append(loops[-1].node if loops else top)
        source.append((position, other + 1))
        labels.append("")  # the loop's class is known once it is read
        parents.append(stem)
        source.append((innermost, partner[innermost] + 1))
        loops.append(_Loop(stem + 1, innermost, partner[innermost], length))
        position = innermost + 1
    return labels, parents, source


def count_exterior_unpaired(partner: Sequence[int]) -> int:
    count, position = 0, 0
    while position < len(partner):
        if partner[position] < 0:
            count += 1
            position += 1
        else:
            position = partner[position] + 1
    return count


def loop_label(loop: _Loop, weighted: bool) -> str:
    if loop.children == 0:
        kind = "H"
    elif loop.children == 1:
        kind = "B" if loop.bulge else "I"
    else:
        kind = "M"
    return f"{kind}{loop.unpaired}" if weighted else kind


def coarse_tree(partner: Sequence[int]) -> Preorder[Span]:
    return loop_trees(partner, weighted=False)


def weighted_tree(partner: Sequence[int]) -> Preorder[Span]:
    return loop_trees(partner, weighted=True)


# --- files --------------------------------------------------------------------

@dataclass(frozen=True)
class DotBracketRecord:
    """One structure of a dot-bracket file: its name (the last ``>`` line
    before it, without the ``>``) and sequence where the file gives them, the
    structure, and the line it is on (from 1)."""

    name: str | None
    sequence: str | None
    structure: str
    line: int


def parse_dot_bracket_records(text: str, *, pseudoknots: Pseudoknots = "refuse",
                              where: str = "dot-bracket") -> list[DotBracketRecord]:
    """The structures of dot-bracket text, in order.

    A line starting with ``>`` names the structures after it; a line starting
    with a letter is (part of) their sequence, which every structure until
    the next name must match in length; a line starting with ``.``, ``(`` or
    ``)`` (or a pseudoknot bracket) is a structure, whose first word is read
    and the rest (such as RNAfold's energy) ignored. So one sequence may be
    followed by several structures, as RNAsubopt writes them. Blank lines and
    lines starting with ``#`` are skipped.

    Raises ValueError, one line naming the line and position, for a bad
    structure or a structure whose length differs from its sequence's.
    """
    records: list[DotBracketRecord] = []
    name: str | None = None
    sequence: list[str] = []
    sequence_done = False
    for number, raw in enumerate(text.splitlines(), 1):
        line = raw.strip()
        if not line or line.startswith("#"):
            continue
        if line.startswith(">"):
            name, sequence, sequence_done = line[1:].strip(), [], False
            continue
        if line[0].isalpha():
            if sequence_done:
                sequence, sequence_done = [], False
            sequence.append(line.split()[0])
            continue
        structure = line.split()[0]
        try:
            pair_table(structure, pseudoknots=pseudoknots)
        except ValueError as error:
            raise ValueError(f"{where} line {number}: {str(error).removeprefix('dot-bracket: ')}") from None
        whole = "".join(sequence) if sequence else None
        if whole is not None and len(whole) != len(structure):
            shorter = min(len(whole), len(structure))
            raise ValueError(f"{where} line {number}: the structure has {len(structure)} positions but "
                             f"the sequence has {len(whole)}; they part at position {shorter + 1}")
        sequence_done = True
        records.append(DotBracketRecord(name, whole, structure, number))
    return records


def read_dot_bracket_records(path: str | os.PathLike[str], *,
                             pseudoknots: Pseudoknots = "refuse") -> list[DotBracketRecord]:
    """Every structure of a dot-bracket file (``.db``, ``.dbn``; see
    :func:`parse_dot_bracket_records`). Raises FileNotFoundError and the like
    for a bad path, ValueError for bad content or a file without structures."""
    text = read_text_file(path)
    records = parse_dot_bracket_records(text, pseudoknots=pseudoknots, where="dot-bracket")
    if not records:
        raise ValueError("dot-bracket: no structure in the file (a structure line starts with '.', "
                         "'(' or ')')")
    return records


def read_dot_bracket_file(path: str | os.PathLike[str], representation: Representation = "full", *,
                          pseudoknots: Pseudoknots = "refuse") -> Preorder[Span]:
    """The tree of the first structure of a dot-bracket file. A file holding
    more gives a UserWarning that says how many and where to read them all
    (``grix.rna.load_structures``)."""
    check_representation(representation)
    records = read_dot_bracket_records(path, pseudoknots=pseudoknots)
    if len(records) > 1:
        warnings.warn(f"{os.fspath(path)} holds {len(records)} structures; this is the first "
                      "(grix.rna.load_structures reads them all)", UserWarning, stacklevel=4)
    return read_dot_bracket(records[0].structure, representation, pseudoknots=pseudoknots)
