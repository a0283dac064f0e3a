"""Syntax trees of tree-sitter, for code in any language it has a grammar for.

The grammars come from the per-language wheels of the package index
(``tree-sitter-javascript``, ``tree-sitter-c``, ...), each holding one
compiled grammar for every Python version, and loaded here by name. That
choice, over one wheel of all languages, is made because the language pack
either weighs 184 MB (``tree-sitter-language-pack`` 0.13) or fetches its
grammars from the network on first use (its 1.x), which fails offline; a
per-language wheel is a few megabytes and works wherever it is installed. ``pip install grix[code]`` brings the
bindings and the grammars of :data:`GRAMMARS`; any other grammar works too,
passed as a ``tree_sitter.Language`` or ``tree_sitter.Parser``.

Two trees can be read from one parse:

- :func:`read_tree_sitter`, the tree for diffs and distances: named nodes,
  labelled by their type, the named leaves (identifiers, literals) with
  their text as well;
- :func:`read_tsed`, the tree the TSED code-similarity score is defined on:
  the nodes of tree-sitter's S-expression, as the ``tsed`` package reads
  them.
"""

from __future__ import annotations

import importlib
import os
from functools import lru_cache
from pathlib import Path
from typing import Any, NamedTuple

from .common import Preorder, label_with_text

#: Each language: the module of its grammar wheel, the function in it that
#: returns the grammar, and the package to install.
GRAMMARS: dict[str, tuple[str, str, str]] = {
    "python": ("tree_sitter_python", "language", "tree-sitter-python"),
    "javascript": ("tree_sitter_javascript", "language", "tree-sitter-javascript"),
    "typescript": ("tree_sitter_typescript", "language_typescript", "tree-sitter-typescript"),
    "tsx": ("tree_sitter_typescript", "language_tsx", "tree-sitter-typescript"),
    "java": ("tree_sitter_java", "language", "tree-sitter-java"),
    "c": ("tree_sitter_c", "language", "tree-sitter-c"),
    "cpp": ("tree_sitter_cpp", "language", "tree-sitter-cpp"),
    "c_sharp": ("tree_sitter_c_sharp", "language", "tree-sitter-c-sharp"),
    "go": ("tree_sitter_go", "language", "tree-sitter-go"),
    "rust": ("tree_sitter_rust", "language", "tree-sitter-rust"),
    "ruby": ("tree_sitter_ruby", "language", "tree-sitter-ruby"),
    "php": ("tree_sitter_php", "language_php", "tree-sitter-php"),
    "kotlin": ("tree_sitter_kotlin", "language", "tree-sitter-kotlin"),
    "swift": ("tree_sitter_swift", "language", "tree-sitter-swift"),
    "scala": ("tree_sitter_scala", "language", "tree-sitter-scala"),
    "lua": ("tree_sitter_lua", "language", "tree-sitter-lua"),
    "bash": ("tree_sitter_bash", "language", "tree-sitter-bash"),
}

#: Other names people use for the languages of :data:`GRAMMARS`.
LANGUAGE_ALIASES: dict[str, str] = {
    "js": "javascript", "jsx": "javascript", "ts": "typescript", "c++": "cpp", "cxx": "cpp",
    "csharp": "c_sharp", "c#": "c_sharp", "cs": "c_sharp", "c-sharp": "c_sharp", "golang": "go",
    "rs": "rust", "rb": "ruby", "kt": "kotlin", "sh": "bash", "shell": "bash", "py": "python",
}

#: The language each file suffix selects.
SUFFIX_LANGUAGES: dict[str, str] = {
    ".py": "python", ".pyi": "python",
    ".js": "javascript", ".mjs": "javascript", ".cjs": "javascript", ".jsx": "javascript",
    ".ts": "typescript", ".mts": "typescript", ".cts": "typescript", ".tsx": "tsx",
    ".java": "java", ".c": "c", ".h": "c",
    ".cpp": "cpp", ".cc": "cpp", ".cxx": "cpp", ".hpp": "cpp", ".hh": "cpp", ".hxx": "cpp",
    ".cs": "c_sharp", ".go": "go", ".rs": "rust", ".rb": "ruby", ".php": "php",
    ".kt": "kotlin", ".kts": "kotlin", ".swift": "swift", ".scala": "scala", ".sc": "scala",
    ".lua": "lua", ".sh": "bash", ".bash": "bash",
}


class MissingGrammarError(ImportError):
    """The tree-sitter bindings or a language's grammar are not installed;
    the message names the package to install."""


class CodeSpan(NamedTuple):
    """Where a node of a tree-sitter tree stands in its source: the source
    of each node of :meth:`grix.Tree.from_tree_sitter`.

    Points are ``(row, column)``, both from 0, columns in bytes, as
    tree-sitter gives them; :attr:`lineno` is the line from 1. ``has_error``
    is true when the node's subtree holds a syntax error. Unlike tree-sitter's
    nodes, spans pickle and keep no parse tree alive.
    """

    type: str
    start_byte: int
    end_byte: int
    start_point: tuple[int, int]
    end_point: tuple[int, int]
    has_error: bool

    @property
    def lineno(self) -> int:
        """The line the node starts on, from 1 (what diffs show)."""
        return self.start_point[0] + 1


def language_name(language: str) -> str:
    """The name in :data:`GRAMMARS` of ``language`` or one of its aliases;
    raises ValueError for a language without a known grammar."""
    key = language.strip().lower()
    key = LANGUAGE_ALIASES.get(key, key)
    if key not in GRAMMARS:
        raise ValueError(
            f"no tree-sitter grammar is known for {language!r}; use one of {', '.join(GRAMMARS)}, "
            "or pass a tree_sitter.Language"
        )
    return key


def language_of_path(path: str | os.PathLike[str]) -> str:
    """The language a file's suffix selects; ValueError for another suffix."""
    suffix = Path(path).suffix.lower()
    if suffix not in SUFFIX_LANGUAGES:
        named = f"the suffix {suffix!r}" if suffix else "a name without a suffix"
        raise ValueError(
            f"{named} selects no tree-sitter language; known: {' '.join(SUFFIX_LANGUAGES)}"
        )
    return SUFFIX_LANGUAGES[suffix]


def _bindings() -> Any:
    try:
        import tree_sitter
    except ImportError:
        raise MissingGrammarError(
            "the tree-sitter bindings are not installed: pip install 'grix[code]' (or tree-sitter)"
        ) from None
    return tree_sitter


@lru_cache(maxsize=None)
def load_language(language: str) -> Any:
    """The ``tree_sitter.Language`` of a language name (see :data:`GRAMMARS`),
    loaded once from its wheel. Raises ValueError for an unknown name and
    :class:`MissingGrammarError` naming the package to install when the
    bindings or the grammar are missing. Never touches the network."""
    name = language_name(language)
    tree_sitter = _bindings()
    module_name, function, package = GRAMMARS[name]
    try:
        module = importlib.import_module(module_name)
    except ImportError:
        raise MissingGrammarError(
            f"the tree-sitter grammar for {name} is not installed: pip install {package} "
            "(or 'grix[code]')"
        ) from None
    try:
        return tree_sitter.Language(getattr(module, function)())
    except ValueError as error:  # a grammar built for another version of the bindings
        raise MissingGrammarError(
            f"the installed {package} does not fit tree-sitter {getattr(tree_sitter, '__version__', '')}"
            f" ({error}); pip install -U tree-sitter {package}"
        ) from None


def _parser(language: Any) -> Any:
    """A fresh parser (parsers are not shared between threads)."""
    tree_sitter = _bindings()
    if isinstance(language, tree_sitter.Parser):
        return language
    if isinstance(language, str):
        language = load_language(language)
    if not isinstance(language, tree_sitter.Language):
        raise TypeError(
            f"language must be a name, a tree_sitter.Language or a tree_sitter.Parser, "
            f"not {type(language).__name__}"
        )
    return tree_sitter.Parser(language)


def check_code_bytes(data: bytes, what: str = "source") -> None:
    """Refuse bytes that are no source text: a NUL byte (a binary file) or
    bytes that are not UTF-8, each with the offset, in one line."""
    nul = data.find(b"\0")
    if nul >= 0:
        raise ValueError(f"{what} is binary, not source text (a NUL byte at offset {nul})")
    try:
        data.decode("utf-8")
    except UnicodeDecodeError as error:
        raise ValueError(
            f"{what} is not UTF-8 text (byte 0x{data[error.start]:02x} at offset {error.start})"
        ) from None


def syntax_tree(obj: Any, language: Any = None) -> tuple[Any, str]:
    """The tree-sitter node to read and a name for its language in messages.

    ``obj`` is a ``tree_sitter.Tree`` or ``Node`` (``language`` is not
    needed), or source text as ``str`` or ``bytes`` (UTF-8), parsed with
    ``language``: a name, a ``tree_sitter.Language`` or a ``Parser``.
    """
    tree_sitter = _bindings()
    if isinstance(obj, tree_sitter.Tree):
        return obj.root_node, getattr(obj.language, "name", None) or "code"
    if isinstance(obj, tree_sitter.Node):
        return obj, "code"
    if isinstance(obj, (str, bytes, bytearray, memoryview)):
        if language is None:
            raise TypeError("source text needs language=, e.g. language='javascript'")
        data = obj.encode("utf-8", "surrogatepass") if isinstance(obj, str) else bytes(obj)
        if not isinstance(obj, str):
            check_code_bytes(data)
        parser = _parser(language)
        name = language if isinstance(language, str) else getattr(parser.language, "name", None) or "code"
        return parser.parse(data).root_node, name
    raise TypeError(
        f"expected a tree_sitter Tree or Node, or source text (str or bytes), not {type(obj).__name__}"
    )


def first_error(root: Any) -> Any | None:
    """The first node, in pre-order, that is an error or a missing token."""
    if not root.has_error:
        return None
    cursor = root.walk()
    while True:
        node = cursor.node
        if node.is_error or node.is_missing:
            return node
        # Only subtrees that hold an error are entered.
        if node.has_error and cursor.goto_first_child():
            continue
        while not cursor.goto_next_sibling():
            if not cursor.goto_parent():
                return None


def _span(node: Any) -> CodeSpan:
    start, end = node.start_point, node.end_point
    return CodeSpan(node.type, node.start_byte, node.end_byte, (start[0], start[1]), (end[0], end[1]),
                    node.has_error)


def read_tree_sitter(
    obj: Any,
    language: Any = None,
    *,
    anonymous: bool = False,
    text: bool = True,
    comments: bool = False,
    strict: bool = False,
) -> Preorder[CodeSpan]:
    """A tree-sitter syntax tree (see ``Tree.from_tree_sitter``); sources
    are :class:`CodeSpan` s."""
    root, name = syntax_tree(obj, language)
    if strict:
        bad = first_error(root)
        if bad is not None:
            row, column = bad.start_point
            what = f"the missing {bad.type!r}" if bad.is_missing else "an error"
            raise ValueError(f"{name} source has a syntax error at line {row + 1}, column {column + 1} "
                             f"({what}); strict=False converts it anyway")
    labels: list[str] = []
    parents: list[int] = []
    source: list[CodeSpan] = []
    cursor = root.walk()
    # The id of the kept node at each depth of the cursor above the current one.
    above: list[int] = [-1]
    while True:
        node = cursor.node
        kind = node.type
        keep = anonymous or node.is_named or node.is_missing
        if keep:
            index = len(labels)
            if node.is_missing:
                label = f"MISSING:{kind}"
            elif node.is_named and node.child_count == 0 and text and (comments or not node.is_extra):
                label = label_with_text(kind, node.text.decode("utf-8", "replace"))
            else:
                label = kind
            labels.append(label)
            parents.append(above[-1])
            source.append(_span(node))
            if cursor.goto_first_child():
                above.append(index)
                continue
        elif cursor.goto_first_child():
            # Nodes left out are mostly tokens without children; whatever
            # one holds hangs from the nearest node kept, as the
            # S-expression shows it.
            above.append(above[-1])
            continue
        while not cursor.goto_next_sibling():
            if not cursor.goto_parent():
                return labels, parents, source
            above.pop()


def _tsed_preorder(sexp: str) -> Preorder[None]:
    """The tree the ``tsed`` package reads from an S-expression, node for node.

    Its reader splits the text at parentheses and blanks; each word renames
    the node whose parenthesis is open, so a node's label is its type, or
    the last field name (``name:``, ``body:``) written before one of its
    children. A node joins its parent when its parenthesis closes, a
    parenthesis closing past the root is ignored, and the tree is the node
    open at the end: only text whose parentheses do not balance (a token
    that is a parenthesis, such as a missing ``")"``) makes that other than
    the root. Simulated here as it runs, then numbered in pre-order.
    """
    names: list[str] = []
    kids: list[list[int]] = []
    stack: list[int] = []
    current = -1
    for token in sexp.replace("(", " ( ").replace(")", " ) ").split():
        if token == "(":
            if current >= 0:
                stack.append(current)
            current = len(names)
            names.append("")
            kids.append([])
        elif token == ")":
            if stack:
                parent = stack.pop()
                kids[parent].append(current)
                current = parent
        else:
            if current < 0:
                current = len(names)
                names.append("")
                kids.append([])
            names[current] = token
    labels: list[str] = []
    parents: list[int] = []
    todo = [(current, -1)] if current >= 0 else []
    while todo:
        node, parent = todo.pop()
        parents.append(parent)
        index = len(labels)
        labels.append(names[node])
        todo += [(kid, index) for kid in reversed(kids[node])]
    return labels, parents, [None] * len(labels)


def read_tsed(obj: Any, language: Any = None) -> tuple[Preorder[None], int]:
    """The tree TSED compares, and the node count its score divides by.

    The tree is built from the node's S-expression (``str(node)``) as the
    ``tsed`` package builds it (see :func:`_tsed_preorder`); the count is the
    number of ``)`` in that text, as the package counts it, which equals the
    number of nodes for every S-expression tree-sitter writes but for tokens
    that are parentheses themselves. Costs O(size of the S-expression).
    """
    root, _ = syntax_tree(obj, language)
    sexp = str(root)
    return _tsed_preorder(sexp), sexp.count(")")


def read_code_file(path: str | os.PathLike[str], language: Any = None, **options: Any) -> Preorder[CodeSpan]:
    """A source file as :func:`read_tree_sitter` reads it, in the language
    its suffix selects unless ``language`` is given. Raises ValueError for
    an unknown suffix and for a file that is binary or not UTF-8, before
    loading any grammar."""
    if language is None:
        language = language_of_path(path)
    data = Path(path).read_bytes()
    check_code_bytes(data, "the file")
    return read_tree_sitter(data, language, **options)


#: The node types of function definitions (methods, lambdas with bodies,
#: closures) in each language of :data:`GRAMMARS`: the units a clone finder
#: compares.
FUNCTION_TYPES: dict[str, frozenset[str]] = {
    "python": frozenset({"function_definition"}),
    "javascript": frozenset({"function_declaration", "function_expression", "arrow_function",
                             "method_definition", "generator_function_declaration", "generator_function"}),
    "java": frozenset({"method_declaration", "constructor_declaration", "lambda_expression"}),
    "c": frozenset({"function_definition"}),
    "cpp": frozenset({"function_definition", "lambda_expression"}),
    "c_sharp": frozenset({"method_declaration", "constructor_declaration", "local_function_statement",
                          "lambda_expression"}),
    "go": frozenset({"function_declaration", "method_declaration", "func_literal"}),
    "rust": frozenset({"function_item", "closure_expression"}),
    "ruby": frozenset({"method", "singleton_method", "lambda"}),
    "php": frozenset({"function_definition", "method_declaration", "anonymous_function"}),
    "kotlin": frozenset({"function_declaration", "anonymous_function", "lambda_literal"}),
    "swift": frozenset({"function_declaration", "init_declaration", "lambda_literal"}),
    "scala": frozenset({"function_definition", "lambda_expression"}),
    "lua": frozenset({"function_declaration", "function_definition"}),
    "bash": frozenset({"function_definition"}),
}
FUNCTION_TYPES["typescript"] = FUNCTION_TYPES["tsx"] = FUNCTION_TYPES["javascript"]


def function_nodes(obj: Any, language: Any = None, *, types: frozenset[str] | None = None) -> list[Any]:
    """The function definitions in a tree-sitter tree, node or source text,
    outer ones before the functions nested in them, in source order.

    ``language`` names the language (as for :func:`read_tree_sitter`), which
    also chooses the node types of :data:`FUNCTION_TYPES`; ``types``
    overrides them (and is needed for a grammar passed as an object). Each
    result is a ``tree_sitter.Node``: ``Tree.from_tree_sitter(node)``
    converts it, ``node.start_point`` says where it is. Costs O(n).
    """
    root, _ = syntax_tree(obj, language)
    if types is None:
        if not isinstance(language, str):
            raise TypeError("function_nodes needs a language name, or types=")
        types = FUNCTION_TYPES[language_name(language)]
    found: list[Any] = []
    cursor = root.walk()
    while True:
        if cursor.node.type in types:
            found.append(cursor.node)
        if cursor.goto_first_child():
            continue
        while not cursor.goto_next_sibling():
            if not cursor.goto_parent():
                return found


def function_name(node: Any) -> str:
    """The name a function definition declares (following C's declarators),
    or ``"<anonymous>"``."""
    while node is not None:
        name = node.child_by_field_name("name")
        if name is not None and name.child_count == 0:
            return name.text.decode("utf-8", "replace")
        if node.type in ("identifier", "field_identifier", "qualified_identifier", "destructor_name",
                         "operator_name", "simple_identifier"):
            return node.text.decode("utf-8", "replace")
        below = name if name is not None else node.child_by_field_name("declarator")
        if below is None and node.type.endswith("declaration"):
            # Grammars without a name field: the first identifier child.
            below = next((kid for kid in node.named_children if "identifier" in kid.type), None)
        node = below
    return "<anonymous>"
