"""What joins and nearest-neighbour searches return, and the checks of
their thresholds: shared by the ordered join (:mod:`grix.join`) and the JSON
join (:mod:`grix.json_distance`)."""

from __future__ import annotations

import math
import numbers
from collections.abc import Iterator
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

from .costs import INT32_MAX, INT32_MIN

Ints = npt.NDArray[np.int32]

#: The stages of a join, in the order they decide a pair. Every pair is
#: counted once, by one of the entries up to ``verified``;
#: ``failed_verification`` counts the verified pairs above the threshold.
#: ``exact_by_bounds``: the greedy mapping costs as much as a lower bound, so
#: its cost is the distance.
STAGES = ("pruned_by_size", "pruned_by_labels", "pruned_by_preorder", "pruned_by_postorder",
          "accepted_by_upper_bound", "exact_by_bounds", "verified", "failed_verification")


def check_threshold(threshold: object, name: str = "threshold") -> int:
    if isinstance(threshold, bool) or not isinstance(threshold, (int, np.integer)):
        raise TypeError(f"{name} must be an int, not {type(threshold).__name__}")
    return max(INT32_MIN // 2, min(int(threshold), INT32_MAX))


def check_number_threshold(threshold: object) -> int | float:
    """A join's threshold: any real number but NaN."""
    if isinstance(threshold, bool) or not isinstance(threshold, numbers.Real):
        raise TypeError(f"threshold must be a number, not {type(threshold).__name__}")
    if isinstance(threshold, (int, np.integer)):
        return int(threshold)
    if math.isnan(threshold):
        raise ValueError("threshold must be a number, not nan")
    return float(threshold)


def integer_threshold(threshold: int | float) -> int:
    """The int threshold that integer distances meet exactly when they meet
    `threshold`: its floor, within the range the engine takes."""
    if isinstance(threshold, float):
        if math.isinf(threshold):
            return INT32_MAX if threshold > 0 else INT32_MIN // 2
        threshold = math.floor(threshold)
    return max(INT32_MIN // 2, min(int(threshold), INT32_MAX))


@dataclass(frozen=True, repr=False)
class JoinResult:
    """The pairs ``(i[m], j[m])``, i < j, at ``distance[m]`` <= threshold,
    sorted by (i, j), and how many of all pairs each stage decided
    (``counts``, keyed by :data:`STAGES`, plus ``pairs``, their total).

    ``distance`` is -1 for pairs accepted by the upper bound without
    computing their distance (``distances=False`` only). Iterating yields
    ``(i, j, distance)`` triples of Python ints.
    """

    i: Ints
    j: Ints
    distance: npt.NDArray[Any]
    threshold: float
    counts: dict[str, int]

    def __len__(self) -> int:
        return len(self.i)

    def __iter__(self) -> Iterator[tuple[int, int, int]]:
        return zip(self.i.tolist(), self.j.tolist(), self.distance.tolist())

    @property
    def matches(self) -> list[tuple[int, int, int]]:
        """The (i, j, distance) triples as a list."""
        return list(self)

    @property
    def pruned_by_size(self) -> int:
        return self.counts["pruned_by_size"]

    @property
    def pruned_by_labels(self) -> int:
        return self.counts["pruned_by_labels"]

    @property
    def computed(self) -> int:
        """Pairs whose distance was computed (bounded or in full)."""
        return self.counts["verified"]

    def __repr__(self) -> str:
        pruned = sum(self.counts[stage] for stage in STAGES[:4])
        decided = self.counts["accepted_by_upper_bound"] + self.counts["exact_by_bounds"]
        noun = "pair" if len(self) == 1 else "pairs"
        return (f"JoinResult({len(self)} {noun} within {self.threshold}; of {self.counts['pairs']:,} pairs "
                f"{pruned:,} ruled out by bounds, {decided:,} decided by them, "
                f"{self.counts['verified']:,} computed)")


@dataclass(frozen=True, repr=False)
class NearestResult:
    """For query q, ``index[q]`` holds its k nearest corpus trees in order of
    (distance, corpus index) and ``distance[q]`` their exact distances, both
    int32 arrays of shape (len(queries), k), where k is at most the number of
    corpus trees (1 for an empty corpus). Where fewer than k corpus trees lie
    within ``max_distance``, the rest of the row is -1 in both."""

    index: Ints
    distance: Ints
    counts: dict[str, int]

    def __len__(self) -> int:
        return len(self.index)

    def __repr__(self) -> str:
        queries, k = self.index.shape
        found = int((self.index >= 0).sum())
        return (f"NearestResult({queries} queries, k={k}: {found} neighbours found; "
                f"{self.counts['verified']:,} of {self.counts['pairs']:,} pairs computed)")
