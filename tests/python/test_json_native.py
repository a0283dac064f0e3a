"""The native JSON reader (grix._core.read_json) against the Python reader
(json.loads and a walk, read_json_python): labels, parents and paths must
be equal on every text, and where the native reader steps aside, the result
and the error must be Python's."""

from __future__ import annotations

import json
import pickle
from pathlib import Path

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

import grix
from grix import Tree, _core
from grix.readers.json_data import _kinds, json_text, read_json, read_json_python

ROOT = Path(__file__).resolve().parents[2]
DATA_FILES = sorted([*ROOT.glob("tests/**/*.json"), *ROOT.glob("data/**/*.json")])


def assert_same(text, key_order="sorted", native=True):
    """Both readers give one tree; `native` says whether the native reader
    must have read it (rather than stepping aside for Python's json)."""
    sort_keys = key_order == "sorted"
    assert (_core.read_json(json_text(text), sort_keys) is not None) == native
    labels, parents, paths = read_json(text, key_order=key_order)
    want_labels, want_parents, want_paths = read_json_python(text, key_order=key_order)
    assert list(labels) == want_labels
    assert np.asarray(parents).tolist() == want_parents
    assert [tuple(p) for p in paths] == [tuple(p) for p in want_paths]


@pytest.mark.parametrize("path", DATA_FILES, ids=lambda p: p.name)
@pytest.mark.parametrize("key_order", ["sorted", "given"])
def test_every_json_file_of_the_test_data(path, key_order):
    assert_same(path.read_bytes(), key_order)


def test_the_test_data_has_json_files():
    assert len(DATA_FILES) >= 5


# -- generated text ----------------------------------------------------------

WHITESPACE = st.sampled_from(["", " ", "\n", "\t", "\r\n  "])
# Every character but lone surrogates, control characters and astral ones included.
CHARACTERS = st.characters(exclude_categories=["Cs"])
STRINGS = st.builds(lambda s, ascii: json.dumps(s, ensure_ascii=ascii), st.text(CHARACTERS, max_size=8),
                    st.booleans())
# Few distinct keys, some written two ways ("a" and "\u0061"), so objects repeat keys.
KEYS = st.one_of(STRINGS, st.sampled_from(['"a"', '"\\u0061"', '"b"', '"B"', '"aa"', '""', '"é"', '"\\u00e9"',
                                           '"😀"', '"\\ud83d\\ude00"', '"\\n"', '"\\u0000"', '"ﬀ"']))
NUMBERS = st.one_of(
    st.from_regex(r"-?(0|[1-9][0-9]{0,25})(\.[0-9]{1,20})?([eE][-+]?[0-9]{1,2})?", fullmatch=True),
    st.integers().map(str),
    st.integers(min_value=-10**300, max_value=10**300).map(str),
    st.floats(allow_nan=False, allow_infinity=False).map(repr),  # subnormals, -0.0, the largest
    st.sampled_from(["-0", "-0.0", "0e0", "1E16", "1e2", "0.00001", "1e-5", "1e15", "123456789012345678",
                     "5e-324", "2.2250738585072014e-308", "1.7976931348623157e308", "NaN", "Infinity",
                     "-Infinity", "9" * 640, "-" + "9" * 640]),
)
SCALARS = st.one_of(st.sampled_from(["null", "true", "false"]), NUMBERS, STRINGS)


def spaced(piece):
    return st.builds(lambda before, text, after: before + text + after, WHITESPACE, piece, WHITESPACE)


def containers(inner):
    member = st.builds(lambda k, v: f"{k}:{v}", spaced(KEYS), inner)
    return st.one_of(st.lists(inner, max_size=5).map(lambda xs: "[" + ",".join(xs) + "]"),
                     st.lists(member, max_size=6).map(lambda ms: "{" + ",".join(ms) + "}"))


TEXTS = spaced(st.recursive(spaced(SCALARS), lambda inner: spaced(containers(inner)), max_leaves=25))


@given(TEXTS, st.sampled_from(["sorted", "given"]))
def test_generated_text(text, key_order):
    assert_same(text, key_order)


@given(TEXTS, st.sampled_from(["utf-8", "utf-8-sig", "utf-16", "utf-32-be"]))
def test_generated_bytes_in_every_encoding(text, encoding):
    assert_same(text.encode(encoding), "given")


# Objects of more members than a scan looks through, with repeated keys.
@given(st.lists(st.tuples(st.sampled_from([f'"k{i}"' for i in range(30)]), SCALARS), min_size=17, max_size=60),
       st.sampled_from(["sorted", "given"]))
def test_wide_objects_with_repeated_keys(members, key_order):
    assert_same("{" + ",".join(f"{k}:{v}" for k, v in members) + "}", key_order)


def test_the_last_value_of_a_repeated_key_wins_at_the_first_place():
    tree = Tree.from_json('{"b": 1, "a": 2, "b": 3}', key_order="given")
    assert tree.labels == ("{}", "b", "3", "a", "2")


@pytest.mark.parametrize("text, label", [
    ("1e2", "100.0"), ("1E16", "1e+16"), ("0.00001", "1e-05"), ("0.0001", "0.0001"), ("-0", "0"),
    ("-0.0", "-0.0"), ("1.5e300", "1.5e+300"), ("123456789012345678.0", "1.2345678901234568e+17"),
    ("5e-324", "5e-324"), ("NaN", "NaN"), ("-Infinity", "-Infinity"), ('"a\\u0001\\/\\"\x7f"', '"a\\u0001/\\"\x7f"'),
])
def test_scalar_labels(text, label):
    assert _core.read_json(text, True)[0] == (label,)
    assert_same(text)


# -- where Python reads instead ------------------------------------------------

@pytest.mark.parametrize("text", [
    "1e999", "-1e999", "1e-999", "[1e400, 2]", '"\\ud800"', '{"\\udfff": 1}', "\"\ud800\"", "1" * 641,
    "nan", "inf", "-nan", "Infinity1",
])
def test_python_reads_what_the_native_reader_cannot_read_as_it(text):
    try:
        python = read_json_python(text)
    except ValueError as error:
        with pytest.raises(type(error)) as raised:
            read_json(text)
        assert str(raised.value) == str(error)
        return
    assert_same(text, native=False)


@pytest.mark.parametrize("text", [
    "", "   ", "\ufeff", "{", "[1,]", '{"a" 1}', "{'a': 1}", "01", "1.", ".5", "+1", "[1] [2]", "tru",
    '"\x01"', '"\\x"', "\ufeff\ufeff{}", "[" * 100 + "]" * 99, b"\xff\xfe\x00", b"{\"a\": \"\xc3\"}",
    b"\xef\xbb\xbf", "// c\n1", "[1,\n2", "\u00a0",
])
def test_bad_text_raises_as_before(text):
    with pytest.raises(ValueError) as python:
        read_json_python(text)
    with pytest.raises(type(python.value)) as native:
        Tree.from_json(text)
    assert str(native.value) == str(python.value)


@pytest.mark.parametrize("text", ["{}", " [ ] ", "\ufeff{\"a\": 1}", b"\xef\xbb\xbf[1]", "\t\n\r 1 \n",
                                  "[" * 5000 + "]" * 5000, '{"a":' * 3000 + "1" + "}" * 3000])
def test_edge_texts(text):
    assert_same(text)


# -- trees with paths made on first use ----------------------------------------

def test_a_tree_read_from_text_keeps_its_paths_through_pickling_and_equality():
    text = '{"x": [1, {"y": null}], "a": "b"}'
    tree = Tree.from_json(text)
    python = Tree._of(read_json_python(text))
    assert tree == python and hash(tree) == hash(python) and repr(tree) == repr(python)
    copy = pickle.loads(pickle.dumps(tree))
    assert copy == tree and copy.source == python.source
    assert tree.source == python.source and tree.source[5] == ("x", 0)
    assert pickle.loads(pickle.dumps(tree)).source == python.source  # pickled after the paths are built
    mirrored, _ = tree.mirror()
    assert mirrored.source[6] == ("x", 0) and mirrored.labels[6] == "1"
    assert not tree.has_errors


# -- the distance functions read text straight into arrays ---------------------

@given(st.lists(TEXTS, min_size=2, max_size=5))
def test_distances_of_text_equal_those_of_trees(texts):
    trees = [Tree._of(read_json_python(t)) for t in texts]
    mixed = [t if k % 2 else trees[k] for k, t in enumerate(texts)]  # text and trees share one numbering
    assert grix.json_pdist(mixed).tolist() == grix.json_pdist(trees).tolist()
    assert grix.json_distance(texts[0], texts[1]) == grix.json_distance(trees[0], trees[1])


def test_the_join_finds_the_same_pairs_from_text():
    texts = [json.dumps({"id": k % 7, "tags": ["a"] * (k % 3), "v": k % 5}) for k in range(60)]
    trees = [Tree._of(read_json_python(t)) for t in texts]
    a, b = grix.json_join(texts, 2), grix.json_join(trees, 2)
    assert a.matches == b.matches and len(a) > 0


# -- lines of the text -----------------------------------------------------------

@given(TEXTS, st.sampled_from(["sorted", "given"]))
def test_every_node_knows_its_line_in_indented_text(text, key_order):
    # One member or element a line, so each line opens with its node's text:
    # a key, or an element's label (a container's first character).
    text = json.dumps(json.loads(text), indent=1, ensure_ascii=False)
    tree = Tree.from_json(text, key_order=key_order)
    kinds = _kinds(tree.labels, list(tree.parents)).tolist()
    rows = text.split("\n")
    for v, (label, path) in enumerate(zip(tree.labels, tree.source)):
        row, p = rows[path.lineno - 1].lstrip(), tree.parents[v]
        if kinds[v] == 2:  # a key
            assert row.startswith(json.dumps(label, ensure_ascii=False) + ":"), (v, row)
        elif p < 0 or kinds[p] == 1:  # the top value, or an element
            assert row.startswith(label if label not in ("{}", "[]") else label[0]), (v, row)
        else:  # a member's value: its key's line
            assert path.lineno == tree.source[p].lineno


@given(TEXTS)
def test_node_kinds_from_labels_equal_the_native_readers(text):
    read = _core.read_json(json_text(text), True)
    if read is not None:
        labels, parents, kinds = read
        assert _kinds(labels, parents.tolist()).tolist() == kinds.tolist()


@pytest.mark.parametrize("text", ['{\n"a": [NaN,\n "\\ud800"],\n"b": 1e999}', "[\n" * 3000 + "1" + "]" * 3000])
def test_lines_of_text_python_reads(text):
    lines = [path.lineno for path in Tree.from_json(text).source]
    assert lines == ([1, 2, 2, 2, 3, 4, 4] if text[0] == "{" else list(range(1, 3001)) + [3001])


def test_repeated_keys_take_the_line_of_the_last():
    tree = Tree.from_json('{"a": 1,\n"a":\n[2]}', key_order="given")
    assert [path.lineno for path in tree.source] == [1, 2, 2, 3]
