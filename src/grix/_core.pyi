"""The engine behind grix. Use the functions of the grix package instead."""

from collections.abc import Callable, Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

_Ints = npt.NDArray[np.int32]
_Costs = npt.NDArray[np.int32] | npt.NDArray[np.float64]
_Progress = Callable[[int], None]

def distance(parents1: _Ints, codes1: _Ints, parents2: _Ints, codes2: _Ints, *,
             rename_by_node: _Costs | None = None, rename_by_label: _Costs | None = None,
             delete: _Costs | None = None, insert: _Costs | None = None, floating: bool = False,
             workers: int = 1, timeout: float | None = None,
             progress: _Progress | None = None, algorithm: str = "auto") -> int | float: ...
def distance_of_labels(parents1: _Ints, labels1: Sequence[str], parents2: _Ints, labels2: Sequence[str],
                       workers: int = 1, timeout: float | None = None, algorithm: str = "auto") -> int: ...
def number_label_lists(label_lists: Sequence[Sequence[str]]) -> tuple[list[_Ints], list[str]]: ...
def price(parents1: _Ints, parents2: _Ints, algorithm: str = "auto") -> dict[str, Any]: ...
def mapping(parents1: _Ints, codes1: _Ints, parents2: _Ints, codes2: _Ints, *,
            rename_by_node: _Costs | None = None, rename_by_label: _Costs | None = None,
            delete: _Costs | None = None, insert: _Costs | None = None, floating: bool = False,
            workers: int = 1, timeout: float | None = None,
            progress: _Progress | None = None, algorithm: str = "auto") -> tuple[int | float, _Ints, _Ints, _Ints]: ...
def cell_factors(parents: _Ints) -> tuple[int, int]: ...

class Corpus:
    def __init__(self, parents: list[_Ints], codes: list[_Ints]) -> None: ...
    def __len__(self) -> int: ...

def batch(a: Corpus, b: Corpus | None = None, first: _Ints | None = None, second: _Ints | None = None, *,
          rename: _Costs | None = None, delete: _Costs | None = None, insert: _Costs | None = None,
          pair_rename: list[npt.NDArray[np.float64]] | None = None, label_class: _Ints | None = None,
          same_label: float = 0.0, floating: bool = False,
          workers: int = 1, timeout: float | None = None,
          progress: _Progress | None = None) -> _Costs: ...
def batch_cells(a: Corpus, b: Corpus | None = None, first: _Ints | None = None,
                second: _Ints | None = None) -> float: ...
class JoinIndex:
    def __init__(self, parents: list[_Ints], codes: list[_Ints], threshold: int,
                 label_costs: _Ints | None = None, workers: int = 1, label_class: _Ints | None = None,
                 same_label: int = 0) -> None: ...
    def __len__(self) -> int: ...

def join(index: JoinIndex, begin: int = 0, end: int | None = None, distances: bool = True,
         workers: int = 1, timeout: float | None = None,
         progress: Callable[[int], None] | None = None) -> tuple[_Ints, _Ints, _Ints, dict[str, int]]: ...
def nearest(query_parents: list[_Ints], query_codes: list[_Ints], corpus_parents: list[_Ints],
            corpus_codes: list[_Ints], k: int, max_distance: int = -1, workers: int = 1,
            timeout: float | None = None,
            progress: Callable[[int], None] | None = None) -> tuple[_Ints, _Ints, dict[str, int]]: ...
def set_memory_limit(bytes: float) -> None: ...
def memory_limit() -> float: ...

# The JSON edit distance (json_bindings.cpp); kinds: 0 object, 1 array, 2 key, 3 literal.
def json_distance(parents1: _Ints, kinds1: _Ints, labels1: _Ints, parents2: _Ints, kinds2: _Ints,
                  labels2: _Ints, timeout: float | None = None) -> int: ...
def json_mapping(parents1: _Ints, kinds1: _Ints, labels1: _Ints, parents2: _Ints, kinds2: _Ints,
                 labels2: _Ints, timeout: float | None = None) -> tuple[int, _Ints]: ...
def json_bounds(parents1: _Ints, kinds1: _Ints, labels1: _Ints, parents2: _Ints, kinds2: _Ints,
                labels2: _Ints) -> tuple[int, int]: ...
def json_batch(parents_a: list[_Ints], kinds_a: list[_Ints], labels_a: list[_Ints],
               parents_b: list[_Ints] | None = None, kinds_b: list[_Ints] | None = None,
               labels_b: list[_Ints] | None = None, first: _Ints | None = None, second: _Ints | None = None,
               workers: int = 1, timeout: float | None = None,
               progress: Callable[[int], None] | None = None) -> _Ints: ...
def json_join(parents: list[_Ints], kinds: list[_Ints], labels: list[_Ints], threshold: int,
              distances: bool = True, workers: int = 1, timeout: float | None = None,
              progress: Callable[[int], None] | None = None) -> tuple[_Ints, _Ints, _Ints, dict[str, int]]: ...
