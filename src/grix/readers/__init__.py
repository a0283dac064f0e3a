"""The readers: every format grix reads, as plain functions.

One module per family of formats: :mod:`.python_syntax` (Python's own
syntax trees), :mod:`.markup` (XML and HTML), :mod:`.json_data`,
:mod:`.bracket` (bracket text), :mod:`.nested` (nested Python objects and
networkx graphs), :mod:`.tables` (the table formats of table-recognition
benchmarks, as HTML for TEDS), :mod:`.treesitter` (code in any language
tree-sitter parses), :mod:`.parse_trees` (sentences: nltk trees, Penn
Treebank text, CoNLL-U, spaCy), and :mod:`.files` (choosing a reader by a
file's suffix).
What they share, the pre-order walk and source positions, is in
:mod:`.common`; HTML parsed by lxml for the table readers and TEDS, in
:mod:`.html_parsing`. RNA secondary structures in dot-bracket notation: :mod:`.rna`.

Each reader walks its input with an explicit stack (nesting depth is limited
by memory, not by the interpreter's recursion limit) and returns the nodes in
pre-order as a :data:`Preorder` triple: labels, parents, and the object each
node came from. ``grix.Tree``'s constructors and :func:`grix.load` wrap them;
the readers know nothing of the tree type, so the arrow points one way.

Text or path: ``str`` and ``bytes`` are always the document itself, and only
an ``os.PathLike`` is read from a file (:func:`read_file` and ``grix.load``
take ``str`` paths too). Markup text must start with ``<`` after whitespace.
"""

from .bracket import read_bracket
from .common import Preorder, source_line
from .files import FORMATS, UnknownFormatError, format_of, read_file
from .json_data import JSONPath, parse_json, read_json
from .markup import HTMLTreeBuilder, read_html, read_xml
from .nested import read_nested, read_networkx
from .python_syntax import ast_label, read_python
from .json_data import KEY_ORDERS
from .parse_trees import (ConlluSentence, ConlluToken, SeveralSentencesError, TreebankPosition, conllu_tree, parse_conllu,
                          read_conllu, read_conllu_file, read_nltk, read_ptb, read_ptb_file, read_ptb_trees,
                          read_spacy)
from .tables import html_tables, markdown_table, markdown_tables, otsl_table, pubtabnet_table
from .treesitter import CodeSpan, MissingGrammarError, read_tree_sitter, read_tsed
from .rna import read_dot_bracket

__all__ = ["FORMATS", "HTMLTreeBuilder", "JSONPath", "Preorder", "UnknownFormatError", "ast_label",
           "format_of", "parse_json", "read_bracket", "read_file", "read_html", "read_json", "read_nested",
           "read_networkx", "read_python", "read_xml", "source_line"]
# Sentences (nltk trees, Penn Treebank text, CoNLL-U, spaCy): .parse_trees.
__all__ += ["KEY_ORDERS", "ConlluSentence", "ConlluToken", "SeveralSentencesError", "TreebankPosition", "conllu_tree", "parse_conllu", "read_conllu",
            "read_conllu_file", "read_nltk", "read_ptb", "read_ptb_file", "read_ptb_trees", "read_spacy"]
__all__ += ["html_tables", "markdown_table", "markdown_tables", "otsl_table", "pubtabnet_table"]
__all__ += ["CodeSpan", "MissingGrammarError", "read_tree_sitter", "read_tsed"]
__all__ += ["read_dot_bracket"]
