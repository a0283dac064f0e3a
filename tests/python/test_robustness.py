"""Nothing a caller passes may crash the interpreter, and very deep or wide
trees work without recursion limits."""

import subprocess
import sys
import textwrap

import pytest

import GRIX_CPU

uniform = GRIX_CPU.compute_tree_edit_distance_uniform

# Runs in a child interpreter, so that a crash fails the test instead of
# ending the test run. Every call must return an int or raise an Exception.
PROBE = textwrap.dedent("""
    import sys
    from hypothesis import HealthCheck, given, settings, strategies as st
    import GRIX_CPU

    class RaisingIndex:
        def __index__(self):
            raise OverflowError("index refused")

    class HugeIndex:
        def __index__(self):
            return 2**80

    class IntOnly:
        def __int__(self):
            return -1

    def raising_generator(items):
        yield from items
        raise RuntimeError("generator failed")

    scalars = (st.integers() | st.integers(-3, 12) | st.floats() | st.text(max_size=4)
               | st.binary(max_size=4) | st.none() | st.booleans()
               | st.sampled_from([RaisingIndex(), HugeIndex(), IntOnly(), 2**31, -2**31 - 1, 2**64]))
    anything = st.recursive(
        scalars,
        lambda inner: (st.lists(inner, max_size=6) | st.tuples(inner, inner)
                       | st.lists(inner, max_size=6).map(raising_generator)
                       | st.lists(inner, max_size=6).map(iter)),
        max_leaves=20)

    @st.composite
    def near_valid(draw):
        # Right types, values that may be wrong: reaches the engine's checks.
        n1, n2 = draw(st.integers(0, 8)), draw(st.integers(0, 8))
        labels = lambda n: draw(st.lists(st.sampled_from(["a", "b", b"a", "\\u00e9"]), min_size=n, max_size=n + 1))
        parents = lambda n: draw(st.lists(st.integers(-3, n + 2) | st.sampled_from([-2**31, 2**31 - 1]),
                                          min_size=max(n - 1, 0), max_size=n + 1))
        costs = draw(st.lists(st.lists(st.integers(-2**31, 2**31 - 1) | st.integers(-3, 3),
                                       max_size=n2 + 1), max_size=n1 + 1))
        return [labels(n1), parents(n1), labels(n2), parents(n2), costs, draw(st.integers(-2, 3))]

    @settings(max_examples=int(sys.argv[1]), deadline=None, database=None, derandomize=True,
              suppress_health_check=list(HealthCheck))
    @given(st.lists(anything, max_size=7) | near_valid(), st.booleans())
    def probe(args, uniform):
        if uniform and len(args) == 6:
            del args[4]
        function = GRIX_CPU.compute_tree_edit_distance_uniform if uniform else GRIX_CPU.compute_tree_edit_distance
        try:
            assert isinstance(function(*args), int)
        except Exception:
            pass

    probe()
    print("survived")
""")


def test_random_python_objects_never_crash_the_interpreter():
    result = subprocess.run([sys.executable, "-c", PROBE, "3000"], capture_output=True, text=True,
                            timeout=900)
    assert result.returncode == 0 and result.stdout.strip() == "survived", (
        f"exit code {result.returncode}\n{result.stdout[-3000:]}\n{result.stderr[-3000:]}")


def path(n, label="a"):
    return [label] * n, list(range(-1, n - 1))


def star(leaves):
    return ["r"] + ["l"] * leaves, [-1] + [0] * leaves


class TestDeepAndWideTrees:
    def test_long_path_against_a_small_tree(self):
        assert uniform(*path(100_000), *path(10), 1) == 99_990
        assert uniform(*path(10), *path(100_000), 2) == 99_990

    def test_wide_star_against_a_small_tree(self):
        assert uniform(*star(99_999), *star(3), 1) == 99_996
        assert uniform(*star(3), *star(99_999), 2) == 99_996

    @pytest.mark.parametrize("threads", [1, 2])
    def test_two_long_paths(self, threads):
        alternating = (["a", "b"] * 1000, list(range(-1, 1999)))
        assert uniform(*path(2000), *alternating, threads) == 1000
