"""Errors that several layers raise. This module imports nothing of grix, so
a reader, an operation and a command can all raise the same error without
importing one another."""

from __future__ import annotations


class InputError(Exception):
    """A file or text that cannot be made into a tree; the message names it.
    The command line prints its message as one line and exits with status 1."""
