"""Shared pieces of the grix tests: trees from the random generators, an
independent check that a mapping is a valid ordered edit mapping, and the CPU
time a call spends after it is asked to stop."""

import random
import sys
import sysconfig
import threading
import time
from pathlib import Path

import grix
from tree_helpers import random_tree, subtree_ends

STDLIB = Path(sysconfig.get_paths()["stdlib"])


def random_grix_tree(rng, n, alphabet="abc"):
    return grix.Tree.from_parents(*random_tree(rng, n, alphabet))


def as_lists(tree):
    return list(tree.labels), tree.parents.tolist()


def syntax_trees(count, seed=0, min_nodes=5, max_nodes=400):
    """Function-level syntax trees of standard-library modules, seeded."""
    import ast

    rng = random.Random(seed)
    files = sorted(STDLIB.glob("*.py"))
    found = []
    for path in rng.sample(files, len(files)):
        try:
            module = ast.parse(path.read_text(encoding="utf-8"))
        except (SyntaxError, UnicodeDecodeError, ValueError):
            continue
        for node in ast.walk(module):
            if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
                tree = grix.Tree.from_ast(node)
                if min_nodes <= len(tree) <= max_nodes:
                    found.append(tree)
                    if len(found) == count:
                        return found
    return found


def check_valid_mapping(t1, t2, pairs):
    """One-to-one, and for any two pairs: ancestry and pre-order agree on both
    sides (together they keep ancestor order and left-to-right order)."""
    firsts = [i for i, _ in pairs]
    seconds = [j for _, j in pairs]
    assert len(set(firsts)) == len(firsts) and len(set(seconds)) == len(seconds)
    assert all(0 <= i < len(t1) for i in firsts) and all(0 <= j < len(t2) for j in seconds)
    end1, end2 = subtree_ends(t1.parents.tolist()), subtree_ends(t2.parents.tolist())
    for a, (i1, j1) in enumerate(pairs):
        for i2, j2 in pairs[a + 1:]:
            assert (i1 < i2) == (j1 < j2)
            assert (i1 < i2 < end1[i1]) == (j1 < j2 < end2[j1])
            assert (i2 < i1 < end1[i2]) == (j2 < j1 < end2[j2])


def mapping_cost(m, cost):
    return len(m.deleted) + len(m.inserted) + sum(cost(i, j) for i, j in m.pairs)


def python_version_pair(name):
    """The same standard-library module in this Python and in another one on
    the machine, when both are there."""
    here = STDLIB / name
    for other in sorted(Path(sys.base_prefix).parent.glob("3.1[01]*/lib/python3.1[01]")) + \
            [Path("/usr/lib/python3.11")]:
        if (other / name).exists() and here.exists():
            return here, other / name
    return None


class CpuAfter:
    """The CPU time of this process, all its threads, from `seconds` after the
    block is entered (by the clock: when a timeout of that many seconds runs
    out) until the block ends: the work a call does after it is asked to stop.
    A loaded machine stretches the wall time of a stop, not this work; a stop
    that is not honoured keeps the workers computing, and this grows with
    them. Zero when the block ends before the timer thread has run."""

    def __init__(self, seconds):
        self.seconds = 0.0
        self.asked = None
        self.timer = threading.Timer(seconds, self.ask)

    def ask(self):
        self.asked = time.process_time()

    def __enter__(self):
        self.timer.start()
        return self

    def __exit__(self, *error):
        now = time.process_time()
        self.timer.cancel()
        self.timer.join()
        if self.asked is not None:
            self.seconds = max(0.0, now - self.asked)
        return False
