"""Exact tree edit distance between two ordered, labelled trees.

A tree is a list of labels and a list of parent indices in pre-order: node 0 is
the root (parent -1), and every other node's parent is the node before it or one
of that node's ancestors. Deleting or inserting a node costs 1.
"""

import collections.abc
import typing

_Int = typing.SupportsInt | typing.SupportsIndex

def compute_tree_edit_distance(
    labels1: collections.abc.Sequence[str],
    parents1: collections.abc.Sequence[_Int],
    labels2: collections.abc.Sequence[str],
    parents2: collections.abc.Sequence[_Int],
    cost_matrix: collections.abc.Sequence[collections.abc.Sequence[_Int]],
    num_threads: _Int,
    /,
) -> int:
    """Distance with renaming node i of tree 1 into node j of tree 2 costing cost_matrix[i][j].

    Raises ValueError for malformed trees or a short cost matrix, MemoryError
    when the matrices do not fit in memory.
    """

def compute_tree_edit_distance_uniform(
    labels1: collections.abc.Sequence[str],
    parents1: collections.abc.Sequence[_Int],
    labels2: collections.abc.Sequence[str],
    parents2: collections.abc.Sequence[_Int],
    num_threads: _Int,
    /,
) -> int:
    """Distance with renaming costing 0 for equal labels and 1 otherwise."""
