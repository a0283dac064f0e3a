"""A second version of a Python file at a known tree edit distance: k string
constants renamed to fresh values and k fresh constants added as the last
positional argument of a call, each on a line of its own. Every edit
changes one node of the syntax tree and gives it a label found nowhere
else, so the distance is exactly 2k.

    python bench/edited_source.py IN.py OUT.py [K]
"""

import ast
import random
import sys


def edited_source(text: str, k: int, seed: int = 1) -> str:
    module = ast.parse(text)
    strings, calls = {}, {}
    for node in ast.walk(module):
        if isinstance(node, ast.Constant) and isinstance(node.value, str) and node.lineno == node.end_lineno:
            strings.setdefault(node.lineno, node)
        elif isinstance(node, ast.Call) and node.args and node.lineno == node.end_lineno:
            calls.setdefault(node.lineno, node)
    rng = random.Random(seed)
    renamed = rng.sample(sorted(strings), k)
    added = rng.sample(sorted(set(calls) - set(renamed)), k)
    lines = text.splitlines(keepends=True)

    def splice(line: int, start: int, end: int, new: str) -> None:
        # ast offsets count UTF-8 bytes.
        raw = lines[line - 1].encode()
        lines[line - 1] = (raw[:start] + new.encode() + raw[end:]).decode()

    for number, line in enumerate(renamed):
        node = strings[line]
        splice(line, node.col_offset, node.end_col_offset, repr(f"fresh string {number}"))
    for number, line in enumerate(added):
        last = calls[line].args[-1]
        splice(line, last.end_col_offset, last.end_col_offset, f", 'new argument {number}'")
    return "".join(lines)


if __name__ == "__main__":
    source, target = sys.argv[1], sys.argv[2]
    k = int(sys.argv[3]) if len(sys.argv) > 3 else 50
    with open(source, encoding="utf-8") as f:
        text = f.read()
    with open(target, "w", encoding="utf-8") as f:
        f.write(edited_source(text, k))
