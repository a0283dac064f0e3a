"""Write tsed_fixture.json.gz: the `tsed` package's scores of every pair of
files of one language in this folder, with the S-expression of each file.

The test compares grix's TSED with these figures on the S-expressions kept
here, so it does not depend on the grammar versions installed when it runs;
a second test runs the package live on a few small pairs. `tsed` reaches its
parsers through tree_sitter_language_pack; here the pack is replaced by the
per-language grammar wheels grix uses, so both score the same trees. Its
pure-Python APTED takes about 10 minutes for the 135 pairs. Run from the
repository root, with tsed (`pip install --no-deps tsed==0.1.0`), apted,
tree-sitter and the grammars installed:

    python tests/data/code/make_tsed_fixture.py
"""

from __future__ import annotations

import gzip
import itertools
import json
import sys
import types
from importlib.metadata import version
from pathlib import Path

import tree_sitter

from grix.readers.treesitter import GRAMMARS, load_language

HERE = Path(__file__).parent
LANGUAGES = ("javascript", "python", "c")
COSTS = (1.0, 0.8, 1.0)
SMALLEST = 10


def tsed_module() -> types.ModuleType:
    """The package's module, its parsers taken from the grammar wheels."""
    pack = types.ModuleType("tree_sitter_language_pack")
    pack.get_parser = lambda name: tree_sitter.Parser(load_language(name))  # type: ignore[attr-defined]
    pack.SupportedLanguage = str  # type: ignore[attr-defined]
    sys.modules.setdefault("tree_sitter_language_pack", pack)
    import TSED
    TSED.get_parser = pack.get_parser  # type: ignore[attr-defined]
    return TSED


def main() -> None:
    tsed = tsed_module()
    files: dict[str, str] = {}
    pairs: list[list[object]] = []
    for language in LANGUAGES:
        # The smallest files: the package's pure-Python APTED takes seconds
        # a pair already at a hundred nodes.
        paths = sorted((HERE / language).iterdir(), key=lambda p: (p.stat().st_size, p.name))[:SMALLEST]
        texts = {f"{language}/{p.name}": p.read_text(encoding="utf-8") for p in paths}
        parser = tree_sitter.Parser(load_language(language))
        for name, text in texts.items():
            files[name] = str(parser.parse(text.encode()).root_node)
        for a, b in itertools.permutations(texts, 2):
            if a > b:  # one direction per pair, but both orders appear across pairs
                continue
            first, second = (a, b) if len(pairs) % 2 else (b, a)
            score = tsed.Calculate(language, texts[first], texts[second], *COSTS)
            pairs.append([language, first, second, score])
            print(len(pairs), first, second, score, flush=True)
    made_with = {name: version(name) for name in ("tsed", "apted", "tree-sitter")}
    made_with.update({GRAMMARS[lang][2]: version(GRAMMARS[lang][2]) for lang in LANGUAGES})
    document = {"made_with": made_with, "costs": COSTS, "sexp": files, "pairs": pairs}
    with gzip.open(HERE / "tsed_fixture.json.gz", "wt", encoding="utf-8") as out:
        json.dump(document, out, separators=(",", ":"))


if __name__ == "__main__":
    main()
