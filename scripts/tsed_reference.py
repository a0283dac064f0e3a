"""Run the `tsed` package (TSED's reference) beside grix on two source files.

The package asks `tree_sitter_language_pack` for its parsers, and that
pack either weighs 184 MB (0.13) or fetches its grammars from the network
on first use (1.x). This script hands it the grammar wheels of grix's
``code`` extra instead, so the reference runs offline::

    pip install ".[code]" apted
    pip install --no-deps tsed==0.1.0     # without the language pack it asks for
    python scripts/tsed_reference.py a.js b.js --language javascript

It prints the package's score and grix's, which agree to 1e-12. The tests
use :func:`reference_module` the same way.
"""

from __future__ import annotations

import argparse
import sys
import types
from pathlib import Path
from typing import Any

import tree_sitter

import grix
from grix.readers import treesitter


def reference_module() -> Any:
    """The `TSED` module, with grix's grammar wheels as its parsers."""
    if "TSED" not in sys.modules:
        pack = types.ModuleType("tree_sitter_language_pack")
        pack.get_parser = lambda name: tree_sitter.Parser(treesitter.load_language(name))  # type: ignore[attr-defined]
        pack.SupportedLanguage = str  # type: ignore[attr-defined]
        sys.modules.setdefault("tree_sitter_language_pack", pack)
    import TSED

    return TSED


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description="TSED of two files by the tsed package and by grix")
    parser.add_argument("a", type=Path)
    parser.add_argument("b", type=Path)
    parser.add_argument("--language", required=True, help="a grammar name, e.g. javascript, python, c")
    args = parser.parse_args(argv)
    a, b = args.a.read_text(encoding="utf-8"), args.b.read_text(encoding="utf-8")
    reference = reference_module().Calculate(args.language, a, b, 1.0, 0.8, 1.0)
    print(f"tsed package: {reference:.12f}")
    print(f"grix:         {grix.tsed(a, b, language=args.language):.12f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
