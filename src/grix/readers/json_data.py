"""JSON text and decoded JSON data."""

from __future__ import annotations

import bisect
import json
import re
from collections.abc import Iterator, Sequence
from typing import Any

import numpy as np

from .. import _core
from .common import LazySources, Preorder, not_text, short, walk

_JSON_SPACE = re.compile(r"[ \t\n\r]*")

#: Where :func:`parse_json` found a value: its offset, its key's offset (-1
#: outside objects), and the value itself if it is a non-empty container.
ValueStart = list[Any]


def parse_json(text: str | bytes, positions: dict[tuple[int, Any], ValueStart] | None = None) -> Any:
    """Decode JSON text like :func:`json.loads`, without recursion.

    Used for text nested too deeply for the standard decoder; scalars still
    go through :meth:`json.JSONDecoder.raw_decode`, so both decode alike.
    Raises :class:`json.JSONDecodeError` with the offset of the error.

    Given a dict as ``positions``, it also notes where each value starts:
    ``positions[id(container), key or index]`` is a :data:`ValueStart` (the
    top value's is at ``(0, None)``). A repeated key keeps its last value,
    as in the result.
    """
    s = text if isinstance(text, str) else text.decode(json.detect_encoding(text), "surrogatepass")
    decoder = json.JSONDecoder()
    Error = json.JSONDecodeError
    containers: list[Any] = []  # open lists and dicts
    keys: list[str | None] = []  # pending key of each open dict
    key_start = -1  # offset of the pending key of the innermost dict
    every_container: list[Any] = []  # kept alive while their ids are keys of `positions`

    def skip(i: int) -> int:
        return _JSON_SPACE.match(s, i).end()  # type: ignore[union-attr]

    def key_at(i: int) -> tuple[str, int]:
        nonlocal key_start
        key_start = i
        if s[i:i + 1] != '"':
            raise Error("Expecting property name enclosed in double quotes", s, i)
        key, i = decoder.raw_decode(s, i)
        i = skip(i)
        if s[i:i + 1] != ":":
            raise Error("Expecting ':' delimiter", s, i)
        return key, skip(i + 1)

    if s.startswith("\ufeff"):
        raise Error("Unexpected UTF-8 BOM (decode using utf-8-sig)", s, 0)
    i = skip(0)
    while True:
        # Read one value at i; containers are opened rather than recursed into.
        char = s[i:i + 1]
        start: list[Any] | None = None
        if positions is not None:
            if not containers:
                where: tuple[int, Any] = (0, None)
            elif keys[-1] is None:
                where = (id(containers[-1]), len(containers[-1]))
            else:
                where = (id(containers[-1]), keys[-1])
            start = positions[where] = [i, -1 if keys[-1:] in ([], [None]) else key_start, None]
        if char in ("[", "{"):
            j = skip(i + 1)
            if s[j:j + 1] == ("]" if char == "[" else "}"):
                value: Any = [] if char == "[" else {}
                i = j + 1
            else:
                opened: Any = [] if char == "[" else {}
                if start is not None:
                    start[2] = opened
                    every_container.append(opened)
                containers.append(opened)
                if char == "[":
                    keys.append(None)
                    i = j
                else:
                    key, i = key_at(j)
                    keys.append(key)
                continue
        else:
            value, i = decoder.raw_decode(s, i)
        # Store the value, closing every container that ends here.
        while True:
            if not containers:
                i = skip(i)
                if i != len(s):
                    raise Error("Extra data", s, i)
                return value
            top = containers[-1]
            if keys[-1] is None:
                top.append(value)
            else:
                top[keys[-1]] = value
            i = skip(i)
            char = s[i:i + 1]
            if char == ",":
                i = skip(i + 1)
                if keys[-1] is not None:
                    keys[-1], i = key_at(i)
                break
            if char != ("]" if keys[-1] is None else "}"):
                raise Error("Expecting ',' delimiter", s, i)
            value = containers.pop()
            keys.pop()
            i += 1


class JSONPath(Sequence[str | int]):
    """The keys and indices leading to a JSON value, e.g. ``("a", 0, "b")``.

    It behaves as that tuple (equality and hash included) but shares its
    prefix with the parent's path, so a deeply nested document needs O(1)
    memory per node rather than O(depth). ``tuple(path)`` copies it out.
    """

    __slots__ = ("_len", "key", "lineno", "parent")

    def __init__(self, parent: JSONPath | None = None, key: str | int | None = None) -> None:
        self.parent = parent
        self.key = key
        #: The line its node starts on, where the tree was read from text.
        self.lineno: int | None = None
        self._len = 0 if parent is None else len(parent) + 1

    def __len__(self) -> int:
        return self._len

    def __iter__(self) -> Iterator[str | int]:
        keys: list[str | int] = []
        path: JSONPath | None = self
        while path is not None and path.parent is not None:
            keys.append(path.key)  # type: ignore[arg-type]
            path = path.parent
        return reversed(keys)

    def __getitem__(self, index: Any) -> Any:
        return tuple(self)[index]

    def __eq__(self, other: object) -> bool:
        if isinstance(other, (JSONPath, tuple)):
            return len(self) == len(other) and tuple(self) == tuple(other)
        return NotImplemented

    def __hash__(self) -> int:
        return hash(tuple(self))

    def __repr__(self) -> str:
        if len(self) <= 8:
            return repr(tuple(self))
        keys = list(self)
        return f"({', '.join(map(repr, keys[:3]))}, ... {len(self) - 6} more ..., {', '.join(map(repr, keys[-3:]))})"


#: The orders :func:`read_json` can give an object's members in.
KEY_ORDERS = ("sorted", "given")

#: Node kinds of a JSON tree, as grix._core numbers them.
OBJECT, ARRAY, KEY, LITERAL = 0, 1, 2, 3


def json_paths(labels: Sequence[str], parents: Any, kinds: Any) -> tuple[JSONPath, ...]:
    """The path of every node of a JSON tree from its labels, parents and
    kinds: a member's key extends its object's path, and the member's value
    shares it; an element extends its array's path by its index."""
    paths: list[JSONPath] = []
    kind_of = kinds.tolist()
    elements = [0] * len(labels)  # elements of each array met so far
    for v, p in enumerate(parents.tolist()):
        if p < 0:
            paths.append(JSONPath())
        elif kind_of[p] == KEY:
            paths.append(paths[p])
        elif kind_of[p] == OBJECT:
            paths.append(JSONPath(paths[p], labels[v]))
        else:
            paths.append(JSONPath(paths[p], elements[p]))
            elements[p] += 1
    return tuple(paths)


def json_sources(labels: Sequence[str], parents: Any, kinds: Any, text: str) -> tuple[JSONPath, ...]:
    """:func:`json_paths`, each path knowing the line of ``text`` its node
    starts on (``lineno``; a member's node and its value's share the key's
    line)."""
    paths = json_paths(labels, parents, kinds)
    for path, line in zip(paths, json_lines(text, labels, parents, kinds)):
        if path.lineno is None:
            path.lineno = line
    return paths


def json_lines(text: str, labels: Sequence[str], parents: Any, kinds: Any) -> list[int | None]:
    """The line each node of the JSON tree read from ``text`` starts on: a
    key's line for a member, the value's first character's for a value."""
    positions: dict[tuple[int, Any], ValueStart] = {}
    parse_json(text, positions)
    newlines = [match.start() for match in re.finditer("\n", text)]
    kind_of = kinds.tolist()
    starts: list[ValueStart | None] = []
    elements = [0] * len(labels)  # elements of each array met so far
    lines: list[int | None] = []
    for v, p in enumerate(parents.tolist()):
        if p < 0:
            start = positions.get((0, None))
        elif kind_of[p] == KEY:
            start = starts[p]
        else:
            container = starts[p][2] if starts[p] is not None else None  # type: ignore[index]
            key: Any = labels[v] if kind_of[p] == OBJECT else elements[p]
            elements[p] += kind_of[p] == ARRAY
            start = positions.get((id(container), key))
        starts.append(start)
        if start is None:
            lines.append(None)
        else:
            offset = start[1] if kind_of[v] == KEY else start[0]
            lines.append(bisect.bisect_left(newlines, offset) + 1)
    return lines


def read_json(obj_or_text: Any, *, key_order: str = "sorted") -> Preorder[JSONPath]:
    """JSON text (str or bytes) or decoded data (see ``Tree.from_json``).

    ``key_order="sorted"`` gives each object's members sorted by key, as
    ``json.dumps(sort_keys=True)`` writes them, so that documents equal as
    JSON give equal trees; ``"given"`` keeps the order of the text or dict.

    Text is read by grix._core's reader, which gives the labels this module
    gives (those of json.loads and json.dumps) and leaves the paths to be
    built on first use; text it cannot read exactly so (numbers Python reads
    as infinite, lone surrogates, errors) is read here in Python.
    """
    sort_keys = _sort_keys(key_order)
    data = json_text(obj_or_text)
    if isinstance(data, str):
        read = _core.read_json(data, sort_keys)
        if read is not None:
            labels, parents, kinds = read
            return labels, parents, LazySources(json_sources, labels, parents, kinds, data)  # type: ignore[return-value]
        decoded = _read_decoded(data, sort_keys)
        labels_read, parents_read = decoded[0], decoded[1]
        kinds_read = _kinds(labels_read, parents_read)
        return labels_read, parents_read, list(json_sources(labels_read, np.asarray(parents_read), kinds_read, data))
    return _read_decoded(data, sort_keys)


def _kinds(labels: Sequence[str], parents: Any) -> Any:
    """The node kinds of a JSON tree from its labels: a value labelled {} is
    an object and its children are keys, whose children are values."""
    kinds: list[int] = []
    for v, p in enumerate(parents):
        if p >= 0 and kinds[p] == OBJECT:
            kinds.append(KEY)
        else:
            kinds.append({"{}": OBJECT, "[]": ARRAY}.get(labels[v], LITERAL))
    return np.array(kinds, dtype=np.int8)


def read_json_python(obj_or_text: Any, *, key_order: str = "sorted") -> Preorder[JSONPath]:
    """:func:`read_json` without the native reader: json.loads and a walk in
    Python, which the native reader must match label for label."""
    return _read_decoded(json_text(obj_or_text), _sort_keys(key_order))


def _sort_keys(key_order: str) -> bool:
    if key_order not in KEY_ORDERS:
        raise ValueError(f"key_order must be 'sorted' or 'given', not {short(key_order)}")
    return key_order == "sorted"


def json_text(obj_or_text: Any) -> Any:
    """JSON text as str, without a byte-order mark (bytes decoded as
    json.loads decodes them); decoded data as it is. Raises ValueError for
    bytes that are not text and for text with no value."""
    data = obj_or_text
    if isinstance(data, (bytes, bytearray)):
        # JSON text in UTF-8, UTF-16 or UTF-32, with or without a byte-order
        # mark, as json.loads finds it; decoded here for the one-line error.
        raw = bytes(data)
        encoding = json.detect_encoding(raw)
        try:
            data = raw.decode(encoding)
        except UnicodeDecodeError as error:
            raise not_text("the JSON text", encoding, raw, error) from None
    if isinstance(data, str):
        if data.startswith("\ufeff"):  # a byte-order mark decoded with the text
            data = data[1:]
        if not data or data.isspace():  # as `not data.strip()`, without copying the text
            raise ValueError("JSON text is empty; expected a value such as {} or []")
    return data


def _read_decoded(data: Any, sort_keys: bool) -> Preorder[JSONPath]:
    if isinstance(data, str):
        try:
            data = json.loads(data)
        except RecursionError:
            data = parse_json(data)

    def expand(item: tuple[Any, ...]) -> tuple[str, object, Sequence[Any], object]:
        if item[0] == "member":
            _, key, value, path = item
            return key, path, [("value", value, path)], None
        _, value, path = item
        if isinstance(value, dict):
            members = [("member", _json_key(k, path), v, JSONPath(path, k)) for k, v in value.items()]
            if sort_keys:
                # By the key as it is written (a str, or a Python key converted
                # as json.dumps converts it), in code point order as Python
                # compares str. The sort is stable, so two keys that convert
                # to one text (1 and "1") keep their given order.
                members.sort(key=_member_key)
            return "{}", path, members, value
        if isinstance(value, (list, tuple)):
            return "[]", path, [("value", v, JSONPath(path, i)) for i, v in enumerate(value)], value
        if value is None or isinstance(value, (str, int, float)):
            return json.dumps(value, ensure_ascii=False), path, (), None
        raise TypeError(
            f"JSON data at path {short(path)} is {type(value).__name__}; "
            "JSON holds only dict, list, tuple, str, int, float, bool and None"
        )

    return walk(("value", data, JSONPath()), expand, "JSON data")


def _member_key(member: tuple[Any, ...]) -> str:
    return member[1]  # type: ignore[no-any-return]


def _json_key(key: Any, path: JSONPath) -> str:
    if isinstance(key, str):
        return key
    if key is None or isinstance(key, (int, float)):
        return json.dumps(key)  # as json.dumps would write it: 1, true, null
    raise TypeError(f"JSON data at path {short(path)} has a {type(key).__name__} key; keys must be str")
