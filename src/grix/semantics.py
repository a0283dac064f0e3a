"""The ``semantics=`` option of the batch, join and mapping calls: which
distance they compute. A module of its own so that those modules can read it
without importing the JSON distance (which imports them)."""

from __future__ import annotations

from typing import Literal

#: "ordered": the tree edit distance; "json": the JSON edit distance
#: (grix.json_distance), objects unordered.
Semantics = Literal["ordered", "json"]
SEMANTICS = ("ordered", "json")


def wants_json(semantics: object, **options: object) -> bool:
    """True for ``semantics="json"``, whose calls take the trees (or JSON
    documents) and no costs; ValueError for any other value than "ordered"
    and for cost or normalisation options given with "json"."""
    if semantics not in SEMANTICS:
        raise ValueError(f'semantics must be "ordered" or "json", not {semantics!r}')
    if semantics == "ordered":
        return False
    given = sorted(name for name, value in options.items() if value is not None)
    if given:
        raise ValueError(f'semantics="json" has unit costs and takes no {", ".join(given)}')
    return True
