"""Demonstration: tree edit distance between the syntax trees of two versions
of a Python source file, and a few small hand-checked pairs.

Run with `make demo`.
"""

import ast
import inspect
import textwrap
import time

import GRIX_CPU


def ast_to_tree(node):
    """Pre-order labels and parent indices of a Python syntax tree.

    A node's label is its type name, plus the identifier or constant it
    carries, so renaming a variable counts as one rename.
    """
    labels, parents = [], []
    stack = [(node, -1)]
    while stack:
        current, parent = stack.pop()
        index = len(labels)
        label = type(current).__name__
        for field in ("id", "name", "arg", "attr"):
            value = getattr(current, field, None)
            if isinstance(value, str):
                label += ":" + value
        if isinstance(current, ast.Constant):
            label += ":" + repr(current.value)[:40]
        labels.append(label)
        parents.append(parent)
        # Push children in reverse so that the first child is numbered first.
        for child in reversed(list(ast.iter_child_nodes(current))):
            stack.append((child, index))
    return labels, parents


def edited_source(source):
    """A second version of the source, as a commit might make it: a renamed
    variable and a changed default."""
    return source.replace("width", "line_width").replace("70", "72")


def main():
    uniform = GRIX_CPU.compute_tree_edit_distance_uniform

    print("Small trees (labels; parents in pre-order):")
    a = (["a", "b", "c", "d", "e"], [-1, 0, 0, 2, 2])
    b = (["a", "c", "d", "e"], [-1, 0, 1, 1])
    c = (["a", "b", "c", "d", "x"], [-1, 0, 0, 2, 2])
    print(f"  a(b, c(d, e)) vs a(c(d, e))     -> {uniform(*a, *b, 1)}  (delete b)")
    print(f"  a(b, c(d, e)) vs a(b, c(d, x))  -> {uniform(*a, *c, 1)}  (rename e to x)")
    costs = [[0 if x == y else 3 for y in c[0]] for x in a[0]]
    print(f"  same pair, rename cost 3        -> "
          f"{GRIX_CPU.compute_tree_edit_distance(*a, *c, costs, 1)}  (delete e, insert x)")

    source = inspect.getsource(textwrap)
    before = ast_to_tree(ast.parse(source))
    after = ast_to_tree(ast.parse(edited_source(source)))
    print(f"\nSyntax trees of textwrap.py before and after an edit: "
          f"{len(before[0])} and {len(after[0])} nodes")
    for threads in (1, 2):
        start = time.perf_counter()
        distance = uniform(*before, *after, threads)
        elapsed = time.perf_counter() - start
        print(f"  {threads} thread(s): distance {distance} in {elapsed:.2f} s")

    print("\nBad input gets a clear error, not a crash:")
    try:
        uniform(["a", "b"], [-1, 5], ["a"], [-1], 1)
    except ValueError as error:
        print(f"  ValueError: {error}")


if __name__ == "__main__":
    main()
