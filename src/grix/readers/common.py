"""What every reader shares: the pre-order walk, the check that refuses an
object found inside itself, the long-label rule, and source positions.

A reader returns a tree in pre-order as a :data:`Preorder` triple: labels,
parents, and the object each node came from.
"""

from __future__ import annotations

import codecs
import hashlib
import io
import os
import tokenize
from collections.abc import Callable, Sequence
from itertools import repeat
from pathlib import Path
from typing import Any, TypeVar

_T = TypeVar("_T")
_S = TypeVar("_S")

#: A tree in pre-order: labels, parent ids (-1 for the root, every other
#: parent is the previous node or one of its ancestors) and sources. The
#: native JSON reader gives a tuple of labels, an int32 array of parents and
#: LazySources: sequences all the same.
Preorder = tuple[list[str], list[int], list[_S]]

# A value whose text is longer than this is shown cut, with a digest of the
# whole text, so that labels stay short yet differ whenever the values do.
CONSTANT_SHOWN = 40


# Byte-order marks and the encodings they announce; UTF-32's marks start
# with UTF-16's, so they are tried first.
_BYTE_ORDER_MARKS = ((codecs.BOM_UTF32_LE, "utf-32"), (codecs.BOM_UTF32_BE, "utf-32"),
                     (codecs.BOM_UTF8, "utf-8-sig"), (codecs.BOM_UTF16_LE, "utf-16"),
                     (codecs.BOM_UTF16_BE, "utf-16"))


def not_text(what: str, encoding: str, data: bytes, error: UnicodeDecodeError) -> ValueError:
    """The one-line error for bytes that are not text in `encoding`."""
    name = {"utf-8": "UTF-8", "utf-8-sig": "UTF-8", "utf-16": "UTF-16", "utf-32": "UTF-32"}.get(
        encoding.lower().replace("_", "-"), encoding)
    return ValueError(f"{what} is not {name} text (byte 0x{data[error.start]:02x} at offset {error.start})")


def decode_text(data: bytes | bytearray, what: str = "the text") -> str:
    """Bytes of a text format as str: UTF-8, or UTF-16 or UTF-32 where a
    byte-order mark says so; the mark itself is dropped. Bytes that are not
    text in that encoding raise ValueError in one line naming `what`, the
    first bad byte and its offset."""
    data = bytes(data)
    encoding = next((name for mark, name in _BYTE_ORDER_MARKS if data.startswith(mark)), "utf-8")
    try:
        return data.decode(encoding)
    except UnicodeDecodeError as error:
        raise not_text(what, encoding, data, error) from None


def read_text_file(path: str | os.PathLike[str]) -> str:
    """A text file's contents, decoded as :func:`decode_text` decodes."""
    return decode_text(Path(path).read_bytes(), "the file")


def decode_python(data: bytes, what: str = "the source") -> str:
    """Python source bytes as str, in the encoding its byte-order mark or
    coding declaration names (UTF-8 by default), with the one-line error of
    :func:`decode_text` where the bytes do not fit it."""
    try:
        encoding, _ = tokenize.detect_encoding(io.BytesIO(data).readline)
    except SyntaxError as error:
        # Either a declaration of an unknown encoding, or a first or second
        # line that is not UTF-8: then say where, as for any other bytes.
        encoding = "utf-8"
        if "unknown encoding" in str(error):
            raise ValueError(f"{what} declares an {error}") from None
    try:
        return data.decode(encoding)
    except UnicodeDecodeError as error:
        raise not_text(what, encoding, data, error) from None


def short(obj: object, limit: int = 40) -> str:
    """``repr(obj)``, cut to ``limit`` characters for messages."""
    text = repr(obj)
    return text if len(text) <= limit else text[: limit - 3] + "..."


class AncestorPath:
    """The objects on the path from the root to the node being expanded in a
    pre-order walk, to refuse an object found inside itself: the tree would
    be infinite. The path is trimmed back to each node's parent, which
    pre-order makes O(1) amortised. Only nodes with children need to enter.
    """

    __slots__ = ("_what", "_path", "_on_path")

    def __init__(self, what: str) -> None:
        self._what = what
        self._path: list[tuple[int, object]] = []
        self._on_path: dict[int, int] = {}

    def enter(self, obj: object, node: int, parent: int) -> None:
        """Record that node ``node`` (child of ``parent``) is ``obj``; None
        is never checked. Raises ValueError if ``obj`` is an ancestor."""
        path, on_path = self._path, self._on_path
        while path and path[-1][0] != parent:
            on_path.pop(id(path.pop()[1]), None)
        if obj is not None:
            if id(obj) in on_path:
                raise ValueError(
                    f"{self._what}: node {node} is the same object as its ancestor node "
                    f"{on_path[id(obj)]}, so the tree would be infinite"
                )
            on_path[id(obj)] = node
        path.append((node, obj))


class LazySources(Sequence[_S]):
    """A reader's sources, made on first use by ``build(*args)`` (a tuple):
    where labels and parents come much faster than an object per node, a
    tree need not pay for sources nobody reads. Pickles unbuilt, so ``build``
    must be a module-level function."""

    __slots__ = ("_build", "_args", "_built")

    def __init__(self, build: Callable[..., tuple[_S, ...]], *args: Any) -> None:
        self._build = build
        self._args: tuple[Any, ...] | None = args
        self._built: tuple[_S, ...] | None = None

    def built(self) -> tuple[_S, ...]:
        if self._built is None:
            self._built = self._build(*self._args)  # type: ignore[misc]
            self._args = None
        return self._built

    def __len__(self) -> int:
        return len(self.built())

    def __getitem__(self, index: Any) -> Any:
        return self.built()[index]

    def __reduce__(self) -> tuple[Any, ...]:
        if self._built is not None:
            return tuple, (self._built,)
        return LazySources, (self._build, *self._args)  # type: ignore[misc]


def walk(root: _T, expand: Callable[[_T], tuple[str, Any, Sequence[_T], object]], what: str) -> Preorder[Any]:
    """Depth-first walk from ``root``: ``expand(item)`` gives the node's
    label, source, child items and an identity (or None).

    An identity met again among a node's ancestors would make the tree
    infinite, so it raises ValueError (see AncestorPath).
    """
    labels: list[str] = []
    parents: list[int] = []
    source: list[Any] = []
    stack: list[tuple[_T, int]] = [(root, -1)]
    ancestors = AncestorPath(what)
    while stack:
        item, parent = stack.pop()
        label, src, kids, ident = expand(item)
        node = len(labels)
        labels.append(label)
        parents.append(parent)
        source.append(src)
        if not kids:
            continue
        ancestors.enter(ident, node, parent)
        stack.extend(zip(reversed(kids), repeat(node)))
    return labels, parents, source


def label_with_text(name: str, whole: str, shown: str | None = None) -> str:
    """``name:whole``, or for a ``whole`` longer than 40 characters its first
    39 and ``…`` followed by ``#`` and 16 hexadecimal digits of a digest of
    the whole: two such labels are equal exactly when the texts are (but for
    a 1 in 2**64 chance). ``shown`` replaces the cut text where the caller
    has a better summary of a text too long to show."""
    if shown is None:
        if len(whole) <= CONSTANT_SHOWN:
            return f"{name}:{whole}"
        shown = whole[: CONSTANT_SHOWN - 1] + "…"
    digest = hashlib.blake2b(whole.encode("utf-8", "surrogatepass"), digest_size=8).hexdigest()
    return f"{name}:{shown} #{digest}"


def source_line(source: object) -> int | None:
    """The line a node's source starts on, where its reader knows it: syntax
    tree nodes, lxml elements, text and attribute leaves of lxml elements
    (the element's line), and the paths of JSON read from text. None
    elsewhere."""
    if type(source) is tuple and len(source) == 2 and isinstance(source[1], str):
        source = source[0]
    line = getattr(source, "lineno", None)
    if line is None:
        line = getattr(source, "sourceline", None)
    return line if type(line) is int and line > 0 else None
