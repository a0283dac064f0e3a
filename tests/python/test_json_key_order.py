"""JSON objects are unordered: members come sorted by key unless
key_order="given" asks for the order of the text."""

import json
import random
import subprocess
import sys

import pytest
from hypothesis import given, settings, strategies as st

import grix
from grix import Tree, load

fixed = settings(derandomize=True, database=None, deadline=None, max_examples=150)

json_values = st.recursive(
    st.none() | st.booleans() | st.integers() | st.text(max_size=3),
    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(st.text(max_size=3), inner, max_size=5),
    max_leaves=25,
)


def shuffled(value, rng):
    """The same document with every object's members in a random order."""
    if isinstance(value, dict):
        items = list(value.items())
        rng.shuffle(items)
        return {key: shuffled(member, rng) for key, member in items}
    if isinstance(value, list):
        return [shuffled(item, rng) for item in value]
    return value


def test_reordered_keys_are_the_same_document():
    a, b = Tree.from_json('{"a": 1, "b": 2}'), Tree.from_json('{"b": 2, "a": 1}')
    assert a == b and grix.distance(a, b) == 0
    given_a = Tree.from_json('{"a": 1, "b": 2}', key_order="given")
    given_b = Tree.from_json('{"b": 2, "a": 1}', key_order="given")
    assert grix.distance(given_a, given_b) == 4


@fixed
@given(json_values, st.integers(0, 2**32 - 1))
def test_sorted_as_json_dumps_sorts(data, seed):
    # The reference: the text json.dumps writes with sort_keys, read as given.
    # (Wrapped in a list, as a str argument would be read as JSON text.)
    data = [data]
    reference = Tree.from_json(json.dumps(data, sort_keys=True), key_order="given")
    reordered = shuffled(data, random.Random(seed))
    assert Tree.from_json(reordered) == reference
    assert Tree.from_json(json.dumps(reordered)) == reference
    # Paths still name each member's own key after sorting.
    tree = Tree.from_json(reordered)
    for k, path in enumerate(tree.source):
        if tree.labels[k] not in ("{}", "[]") and tree.parents[k] >= 0 and tree.labels[tree.parents[k]] == "{}":
            assert path[-1] == tree.labels[k]


@pytest.mark.parametrize("data, keys", [
    # Python keys that are not str sort by the text json.dumps gives them,
    # as the document written and read back would: "10" before "9".
    ({9: 0, 10: 0, "a": 0, True: 0, None: 0, 2.5: 0}, ["10", "2.5", "9", "a", "null", "true"]),
    # Code point order, as Python compares str (not UTF-16 code units).
    ({"\U0001f600": 0, "\uffff": 0, "B": 0, "a": 0, "": 0}, ["", "B", "a", "\uffff", "\U0001f600"]),
    # Two keys that write as one text keep their given order.
    ({1: 0, "1": 1, "0": 2}, ["0", "1", "1"]),
])
def test_key_text_order(data, keys):
    tree = Tree.from_json(data)
    members = [tree.labels[k] for k in tree.children(0)]
    assert members == keys
    if len(set(keys)) == len(keys):
        assert tree == Tree.from_json(json.dumps(data))


def test_given_order_and_bad_option(tmp_path):
    assert Tree.from_json({"b": 1, "a": 2}, key_order="given").labels[1::2] == ("b", "a")
    with pytest.raises(ValueError, match="key_order must be 'sorted' or 'given', not 'sort'"):
        Tree.from_json("{}", key_order="sort")
    (tmp_path / "x.json").write_text('{"b": [{"d": 1, "c": 2}], "a": null}')
    (tmp_path / "y.json").write_text('{"a": null, "b": [{"c": 2, "d": 1}]}')
    assert load(tmp_path / "x.json") == load(tmp_path / "y.json")
    assert load(tmp_path / "x.json", key_order="given") != load(tmp_path / "y.json", key_order="given")
    assert grix.readers.read_file(tmp_path / "x.json")[0][1] == "a"


def test_command_line(tmp_path):
    (tmp_path / "x.json").write_text('{"b": 2, "a": 1}')
    (tmp_path / "y.json").write_text('{"a": 1, "b": 2}')

    def distance(*options):
        run = subprocess.run([sys.executable, "-m", "grix", "distance", "x.json", "y.json", *options],
                             capture_output=True, text=True, cwd=tmp_path, timeout=120)
        return run.returncode, run.stdout.strip(), run.stderr.strip()

    assert distance() == (0, "0", "")
    assert distance("--key-order", "sorted") == (0, "0", "")
    assert distance("--key-order", "given") == (0, "4", "")
    code, _, message = distance("--key-order", "none")
    assert code == 2 and "invalid choice: 'none'" in message
