"""Exact tree edit distance between two ordered, labelled trees.

A tree is a list of labels and a list of parent indices in pre-order: node 0 is
the root (parent -1), and every other node's parent is the node before it or one
of that node's ancestors. Deleting or inserting a node costs 1. Labels are str
(compared as UTF-8), bytes or bytearray, compared byte for byte.
"""

import collections.abc
import typing

_Int = typing.SupportsInt | typing.SupportsIndex
_Label = str | bytes | bytearray

def compute_tree_edit_distance(
    labels1: collections.abc.Sequence[_Label],
    parents1: collections.abc.Sequence[_Int],
    labels2: collections.abc.Sequence[_Label],
    parents2: collections.abc.Sequence[_Int],
    cost_matrix: collections.abc.Sequence[collections.abc.Sequence[_Int]],
    num_threads: _Int,
    /,
) -> int:
    """Distance with renaming node i of tree 1 into node j of tree 2 costing cost_matrix[i][j].

    Raises:
        TypeError: an argument that does not convert: a label that is not
            str, bytes or bytearray or a str with no UTF-8 encoding, a value
            that is not an int in the 32-bit range, keyword arguments, or a
            wrong number of arguments.
        ValueError: a malformed tree (labels and parents of different
            lengths, a parent that does not fit pre-order), a cost matrix with
            too few rows or entries, a rename cost so negative that a distance
            could leave the 32-bit range, or trees so wide that their keyroot
            pairs are beyond the 32-bit pair numbering.
        MemoryError: the call needs more memory than the process can still
            take (the message says how much it needs and how much there is),
            or an allocation failed.
        RuntimeError: a worker thread could not be started.
        Any exception raised while an argument is read (by its iterator or
        its __index__) passes through unchanged.
    """

def compute_tree_edit_distance_uniform(
    labels1: collections.abc.Sequence[_Label],
    parents1: collections.abc.Sequence[_Int],
    labels2: collections.abc.Sequence[_Label],
    parents2: collections.abc.Sequence[_Int],
    num_threads: _Int,
    /,
) -> int:
    """Distance with renaming costing 0 for byte-equal labels and 1 otherwise.

    Raises:
        TypeError: an argument that does not convert: a label that is not
            str, bytes or bytearray or a str with no UTF-8 encoding, a value
            that is not an int in the 32-bit range, keyword arguments, or a
            wrong number of arguments.
        ValueError: a malformed tree (labels and parents of different
            lengths, a parent that does not fit pre-order), or trees so wide
            that their keyroot pairs are beyond the 32-bit pair numbering.
        MemoryError: the call needs more memory than the process can still
            take (the message says how much it needs and how much there is),
            or an allocation failed.
        RuntimeError: a worker thread could not be started.
        Any exception raised while an argument is read (by its iterator or
        its __index__) passes through unchanged.
    """
