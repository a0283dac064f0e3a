"""The module as Python callers meet it: argument conversion, signatures,
module contents, import behaviour and the translation of engine errors."""

import os
import pathlib
import shutil
import subprocess
import sys
import textwrap

import pytest

import GRIX_CPU
from conftest import not_under_asan

uniform = GRIX_CPU.compute_tree_edit_distance_uniform
general = GRIX_CPU.compute_tree_edit_distance

A = (["a", "b", "c", "d", "e"], [-1, 0, 0, 2, 2])
B = (["a", "c", "d", "e"], [-1, 0, 1, 1])


class TestConversionsAccepted:
    def test_tuples_and_lists_agree(self):
        assert uniform(tuple(A[0]), tuple(A[1]), tuple(B[0]), tuple(B[1]), 1) == 1

    def test_generator_consumed_in_order(self):
        consumed = []

        def parents():
            for p in A[1]:
                consumed.append(p)
                yield p

        assert uniform(A[0], parents(), *B, 1) == 1
        assert consumed == A[1]

    def test_set_range_dict_views_map_and_zip(self):
        # A path of three nodes: parents -1, 0, 1.
        labels = {"x": None}.keys()
        assert uniform(labels, [-1], ["x"], [-1], 1) == 0
        assert uniform(["a", "b", "c"], range(-1, 2), ["a", "b", "c"], map(int, "-1 0 1".split()), 1) == 0
        assert uniform({"a"}, {-1}, ["a"], {0: -1}.values(), 1) == 0
        # dict_items and zip yield tuples, which are rows of a cost matrix.
        assert general(["a"], [-1], ["b", "c"], [-1, 0], {0: 0}.items(), 1) == 1
        assert general(["a"], [-1], ["b", "c"], [-1, 0], zip([0], [0]), 1) == 1

    def test_bool_is_an_int(self):
        assert uniform(["a", "b"], [-1, False], ["a", "b"], [-1, 0], True) == 0

    def test_int_bounds(self):
        assert uniform(["a"], [-2**31], ["a"], [-1], -2**31) == 0

    def test_index_objects_convert(self):
        class Index:
            def __index__(self):
                return -1

        assert uniform(["a"], [Index()], ["a"], [-1], 1) == 0

    def test_bytes_bytearray_and_str_with_the_same_utf8_are_equal(self):
        for left in ("é", "é".encode(), bytearray("é".encode())):
            for right in ("é", "é".encode(), bytearray("é".encode())):
                assert uniform([left], [-1], [right], [-1], 1) == 0
        assert uniform(["é"], [-1], ["e"], [-1], 1) == 1
        # No Unicode normalisation: the composed and decomposed é differ.
        assert uniform(["\u00e9"], [-1], ["e\u0301"], [-1], 1) == 1


class TestConversionsRejected:
    @pytest.mark.parametrize("args", [
        ("ab", [-1, 0], ["a"], [-1], 1),                # a lone str is not a label list
        ({"a": 1}, [-1], ["a"], [-1], 1),                # nor is a dict
        (["a"], [-1.0], ["a"], [-1], 1),                 # floats never convert
        (["a"], [-1], ["a"], [-1], 1.0),
        (["a"], [2**31], ["a"], [-1], 1),                # outside the 32-bit range
        (["a"], [-1], ["a"], [-1], -2**31 - 1),
        (["\ud800"], [-1], ["a"], [-1], 1),              # no UTF-8 encoding
        (["a"], ["-1"], ["a"], [-1], 1),                 # strings are not parsed
        ([None], [-1], ["a"], [-1], 1),
        (["a"], [-1], ["a"], [-1]),                      # too few arguments
        (["a"], [-1], ["a"], [-1], 1, 1),                # too many
    ])
    def test_type_error(self, args):
        with pytest.raises(TypeError, match="incompatible function arguments"):
            uniform(*args)

    def test_cost_matrix_entries(self):
        with pytest.raises(TypeError):
            general(["a"], [-1], ["a"], [-1], [[0.0]], 1)
        with pytest.raises(TypeError):
            general(["a"], [-1], ["a"], [-1], [0], 1)

    @pytest.mark.parametrize("keyword", ["arg4", "num_threads", "x"])
    def test_keywords_are_rejected(self, keyword):
        with pytest.raises(TypeError):
            uniform(["a"], [-1], ["a"], [-1], **{keyword: 1})

    def test_error_raised_while_reading_an_argument_passes_unchanged(self):
        def failing():
            yield -1
            raise KeyError("from the generator")

        with pytest.raises(KeyError, match="from the generator"):
            uniform(["a", "b"], failing(), ["a"], [-1], 1)


INT = "typing.SupportsInt | typing.SupportsIndex"
SEQ = "collections.abc.Sequence"


class TestModuleObject:
    def test_docstrings_are_the_generated_signatures(self):
        assert general.__doc__ == (
            f"compute_tree_edit_distance(arg0: {SEQ}[str], arg1: {SEQ}[{INT}], arg2: {SEQ}[str], "
            f"arg3: {SEQ}[{INT}], arg4: {SEQ}[{SEQ}[{INT}]], arg5: {INT}) -> int\n")
        assert uniform.__doc__ == (
            f"compute_tree_edit_distance_uniform(arg0: {SEQ}[str], arg1: {SEQ}[{INT}], "
            f"arg2: {SEQ}[str], arg3: {SEQ}[{INT}], arg4: {INT}) -> int\n")

    def test_attributes(self):
        public = [name for name in dir(GRIX_CPU) if not name.startswith("__")]
        assert public == ["compute_tree_edit_distance", "compute_tree_edit_distance_uniform"]
        assert GRIX_CPU.__doc__ is None

    def test_reimport_gives_the_same_module_object(self):
        saved = sys.modules.pop("GRIX_CPU")
        try:
            import GRIX_CPU as again
            assert again is saved
        finally:
            sys.modules["GRIX_CPU"] = saved


def run_python(executable, code, **kwargs):
    return subprocess.run([executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=120, **kwargs)


def find_other_python():
    """An interpreter of another supported minor version than this one."""
    root = os.environ.get("PYENV_ROOT", os.path.expanduser("~/.pyenv"))
    for minor in (13, 12, 11, 10):
        if minor == sys.version_info[1]:
            continue
        candidates = [shutil.which(f"python3.{minor}")]
        candidates += sorted(str(p) for p in pathlib.Path(root, "versions").glob(f"3.{minor}*/bin/python3.{minor}"))
        for candidate in candidates:
            check = f"import sys; assert sys.version_info[:2] == (3, {minor})"
            if candidate and run_python(candidate, check).returncode == 0:
                return candidate
    return None


class TestImport:
    @not_under_asan
    def test_other_interpreter_version_is_refused(self, tmp_path):
        other = find_other_python()
        if other is None:
            pytest.skip("no Python of another version on this machine")
        # A build for one version does not link against another eagerly; lazy
        # binding lets the init function run far enough to check the version.
        shutil.copy(GRIX_CPU.__file__, tmp_path / "GRIX_CPU.so")
        result = run_python(other, f"""
            import os, sys
            sys.path.insert(0, {str(tmp_path)!r})
            sys.setdlopenflags(os.RTLD_LAZY)
            try:
                import GRIX_CPU
            except ImportError as error:
                print(error)
                print(sys.version)
        """)
        message, version = result.stdout.split("\n", 1)
        here = "%d.%d" % sys.version_info[:2]
        assert message == (f"Python version mismatch: module was compiled for Python {here}, but the "
                           f"interpreter version is incompatible: {version.strip()}.")

    @pytest.mark.skipif(sys.version_info[:2] != (3, 12), reason="the subinterpreter module of Python 3.12")
    def test_isolated_subinterpreter_is_refused(self):
        result = run_python(sys.executable, """
            import _xxsubinterpreters as interpreters
            import GRIX_CPU
            isolated = interpreters.create(isolated=True)
            try:
                interpreters.run_string(isolated, "import GRIX_CPU")
            except interpreters.RunFailedError as error:
                print(error)
        """, env={**os.environ, "PYTHONPATH": str(pathlib.Path(GRIX_CPU.__file__).parent)})
        assert "ImportError" in result.stdout, result.stderr
        assert "does not support loading in subinterpreters" in result.stdout


class TestEngineErrors:
    @pytest.mark.parametrize("args, message", [
        ((["a", "b"], [-1], *A, 1), "labels1 has 2 entries but parents1 has 1"),
        ((*A, ["a", "b"], [-1, 1], 1), r"parents2\[1\] = 1 is not a valid parent"),
        ((["a", "b"], [1, 0], *A, 1), r"parents1\[0\] = 1 is not a valid parent: node 0 must be the root"),
        ((["a", "b", "c"], [-1, 0, 9], *A, 1), r"parents1\[2\] = 9"),
    ])
    def test_malformed_trees_raise_value_error(self, args, message):
        with pytest.raises(ValueError, match=message):
            uniform(*args)

    def test_short_or_overflowing_cost_matrix_raises_value_error(self):
        with pytest.raises(ValueError, match=r"cost_matrix has 1 rows but labels1 has 5 entries"):
            general(*A, *A, [[0] * 5], 1)
        with pytest.raises(ValueError, match=r"cost_matrix\[4\] has 3 entries"):
            general(*A, *A, [[0] * 5] * 4 + [[0] * 3], 1)
        with pytest.raises(ValueError, match=r"cost_matrix\[0\]\[0\] = -2147483648 is too negative"):
            general(["a"], [-1], ["a"], [-1], [[-2**31]], 1)

    def test_overflow_guard_accepts_exactly_the_lowest_safe_cost(self):
        # Two single nodes allow 2 renames: 2 * -2**30 is INT32_MIN itself, one less is not.
        assert general(["a"], [-1], ["b"], [-1], [[-2**30]], 1) == -2**30
        with pytest.raises(ValueError, match=r"cost_matrix\[0\]\[0\] = -1073741825 is too negative"):
            general(["a"], [-1], ["b"], [-1], [[-2**30 - 1]], 1)

    def test_trees_too_wide_for_the_pair_numbering_raise_value_error(self):
        star = (["s"] * 50001, [-1] + [0] * 50000)
        with pytest.raises(ValueError, match=r"^the trees have 50000 and 50000 leaves, 2500000000 keyroot "
                                             r"pairs: trees this wide are beyond the 32-bit pair numbering"):
            uniform(*star, *star, 1)

    def test_empty_trees(self):
        assert uniform([], [], [], [], 1) == 0
        assert uniform([], [], *A, 1) == 5
        assert general(*B, [], [], [[]] * 4, 1) == 4

    def test_module_stays_usable_after_errors(self):
        with pytest.raises(ValueError):
            uniform(["a"], [0], ["a"], [-1], 1)
        assert uniform(*A, *B, 1) == 1
