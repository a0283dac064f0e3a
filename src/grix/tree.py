"""The tree type: an immutable ordered labelled tree in pre-order.

The readers of every format live in :mod:`grix.readers`; the ``from_*``
constructors here wrap them, and :func:`load` reads a file.

One module, longer than most, because it is one class: the constructors are
a few lines each over their readers, and most of their length is the
docstrings users read through ``help(grix.Tree)``.
"""

from __future__ import annotations

import ast
import operator
import os
from collections.abc import Callable, Hashable, Iterable, Iterator, Sequence
from typing import TYPE_CHECKING, Any, Generic, TypeVar

import numpy as np

from . import readers
from .readers import JSONPath, Preorder
from .readers.common import LazySources, short

__all__ = ["Tree", "load", "load_all"]

_T = TypeVar("_T")
if TYPE_CHECKING:
    import typing_extensions

    # A bare ``Tree`` means Tree[object]; Tree[ast.AST] is one too.
    S = typing_extensions.TypeVar("S", covariant=True, default=object)
else:
    S = TypeVar("S", covariant=True)


def _escape(label: str) -> str:
    return label.replace("\\", "\\\\").replace("{", "\\{").replace("}", "\\}")


def _readonly(values: Any) -> np.ndarray:
    array = np.array(values, dtype=np.int32)
    array.flags.writeable = False
    return array


class Tree(Generic[S]):
    """An immutable ordered labelled tree, its nodes numbered in pre-order.

    Node 0 is the root; ``parents[i]`` is the parent of node ``i`` (``-1``
    for the root), ``labels[i]`` its label (always ``str``) and ``source[i]``
    the object or position it was built from (``None`` where there is none).
    The type parameter is the type of the sources: ``Tree[ast.AST]`` from
    :meth:`from_ast`, ``Tree[int]`` from :meth:`from_bracket`, and so on.
    Siblings keep their order: a child with a smaller id comes first.

    Build one with a constructor: :meth:`from_parents`, :meth:`from_nested`,
    :meth:`from_bracket`, :meth:`from_ast`, :meth:`from_xml`,
    :meth:`from_html`, :meth:`from_json`, :meth:`from_networkx` or
    :meth:`from_tree_sitter`. All of
    them are iterative, so trees nested hundreds of thousands of levels deep
    convert. Two trees are equal when their labels and parents are equal;
    ``source`` does not take part.
    """

    __slots__ = ("_labels", "_parents", "_source", "_children", "_sizes", "_depths", "_hash")

    _labels: tuple[str, ...]
    _parents: np.ndarray
    _source: tuple[S, ...] | LazySources[S]
    _children: tuple[tuple[int, ...], ...] | None
    _sizes: np.ndarray | None
    _depths: list[int] | None
    _hash: int | None

    def __init__(self) -> None:
        """Not for direct use: raises TypeError. Use a ``from_*`` constructor."""
        raise TypeError(
            "build a Tree with a constructor: Tree.from_parents, from_nested, from_bracket, "
            "from_ast, from_xml, from_html, from_json or from_networkx"
        )

    @staticmethod
    def _from_preorder(
        labels: Sequence[str],
        parents: Sequence[int] | np.ndarray,
        source: Sequence[_T] | None = None,
    ) -> Tree[_T]:
        """Wrap labels and parents that are already in valid pre-order.

        Nothing is checked: callers guarantee ``parents[0] == -1`` and that
        each other parent is the previous node or one of its ancestors.
        """
        tree: Tree[Any] = object.__new__(Tree)
        tree._labels = tuple(labels)
        tree._parents = _readonly(parents)
        if source is None:
            tree._source = (None,) * len(tree._labels)
        else:
            # Sources made on first use stay so until `source` is read.
            tree._source = source if isinstance(source, LazySources) else tuple(source)
        tree._children = tree._sizes = tree._depths = tree._hash = None
        return tree

    @staticmethod
    def _of(preorder: Preorder[_T]) -> Tree[_T]:
        return Tree._from_preorder(*preorder)

    # -- constructors -----------------------------------------------------

    @classmethod
    def from_parents(
        cls,
        labels: Iterable[object],
        parents: Iterable[int | None] | np.ndarray,
        *,
        forest: bool = False,
        forest_label: str = "",
    ) -> Tree[int | None]:
        """Build a tree from labels and parent indices given in any node order.

        ``parents[i]`` is the index of node ``i``'s parent; ``-1``, any
        negative number or ``None`` marks the root. Lists, tuples and numpy
        integer arrays are accepted. Children are ordered by their original
        index, the nodes are renumbered in pre-order, and ``source[k]`` is the
        original index of node ``k``. Labels are converted with ``str()``.

        With ``forest=True`` the roots (however many, even one) become the
        children of a new node 0 labelled ``forest_label``, whose source is
        ``None``. That virtual root is a real node: compared with another
        forest it is matched with the other virtual root at no cost, but
        against a plain tree it counts like any other node.

        Raises TypeError if a parent is not an integer or None, and
        ValueError if the lengths differ, a parent index is out of range, a
        node is its own parent, the parents form a cycle, or there is more
        than one root and ``forest`` is false. Costs O(n).
        """
        if isinstance(labels, (str, bytes)):
            raise TypeError("labels must be a sequence of labels, not a single str or bytes")
        label_list = [label if type(label) is str else str(label) for label in labels]
        n = len(label_list)
        par = _parent_array(parents, n)
        if len(par) != n:
            raise ValueError(f"labels has {n} items but parents has {len(par)}; give one parent per label")
        if n == 0 and not forest:
            return Tree._from_preorder((), ())
        own = np.flatnonzero(par == np.arange(n))
        if own.size:
            raise ValueError(f"parents: node {own[0]} is its own parent; use -1 for the root")
        roots = np.flatnonzero(par < 0)
        if len(roots) > 1 and not forest:
            shown = ", ".join(map(str, roots[:-1][:5])) + (", ..." if len(roots) > 6 else "")
            raise ValueError(
                f"parents: {len(roots)} roots (nodes {shown} and {roots[-1]}); "
                "pass forest=True to join them under a virtual root"
            )
        # Children grouped by parent, each group in original index order.
        has_parent = np.flatnonzero(par >= 0)
        by_parent = has_parent[np.argsort(par[has_parent], kind="stable")].tolist()
        starts = np.concatenate(([0], np.cumsum(np.bincount(par[has_parent], minlength=n)))).tolist()
        order: list[int] = []
        stack = roots[::-1].tolist()
        while stack:
            v = stack.pop()
            order.append(v)
            stack.extend(reversed(by_parent[starts[v]:starts[v + 1]]))
        if len(order) < n:
            raise ValueError(_cycle_message(par, order))
        new_parents = _renumber(par, order)
        new_labels = [label_list[i] for i in order]
        source: list[int | None] = list(order)
        if forest:
            new_parents = np.concatenate(([-1], new_parents + 1))
            new_labels.insert(0, str(forest_label))
            source.insert(0, None)
        return Tree._from_preorder(new_labels, new_parents, source)

    @classmethod
    def from_nested(
        cls,
        obj: object,
        children: str | Callable[[Any], Iterable[Any]] | None = None,
        label: str | Callable[[Any], object] | None = None,
    ) -> Tree[Any]:
        """Build a tree from nested Python objects.

        ``children`` and ``label`` are attribute names or callables taking a
        node object (like the get_children and get_label callbacks of other
        tree edit distance libraries). Without them, each object is read
        this way:

        - a ``(label, children)`` tuple or list whose second item is a list
          or tuple: that label and those children;
        - an object with a ``children`` attribute and a ``label`` (or else
          ``name``) attribute: those;
        - anything else: a leaf labelled ``str(obj)``.

        Labels are converted with ``str()``; ``source[k]`` is the object of
        node ``k``. Raises TypeError if a node's children are not iterable,
        ValueError if an object contains itself. Costs O(n) calls of the
        accessors.
        """
        return Tree._of(readers.read_nested(obj, children, label))

    @classmethod
    def from_bracket(cls, text: str) -> Tree[int]:
        """Parse bracket notation such as ``{a{b}{c}}``.

        Each node is ``{`` label children ``}``. In labels ``\\{``, ``\\}``
        and ``\\\\`` stand for ``{``, ``}`` and ``\\``; a backslash before any
        other character is kept as it is. Whitespace around the tree is
        ignored, inside a label it is part of the label, and whitespace
        between sibling nodes is ignored. Empty text gives the empty tree.
        ``source[k]`` is the offset of node ``k``'s ``{`` in ``text``, and
        ``Tree.from_bracket(t.to_bracket()) == t`` for every tree.

        Raises TypeError for non-str input and ValueError naming the offset
        of the first syntax error. Costs O(len(text)).
        """
        return Tree._of(readers.read_bracket(text))

    @classmethod
    def from_ast(
        cls,
        node_or_source: ast.AST | str | bytes,
        label: Callable[[ast.AST], object] | None = None,
        *,
        context: bool = False,
    ) -> Tree[ast.AST]:
        """Build a tree from a Python syntax tree, or from source text.

        Text (str or bytes) is parsed with :func:`ast.parse` first (syntax
        warnings are silenced). Children come from
        :func:`ast.iter_child_nodes`, in order, except the expression
        contexts ``Load``, ``Store`` and ``Del`` (a third of all nodes, and
        noise in a diff); ``context=True`` keeps them. The default label
        (:func:`grix.readers.ast_label`) is the node's type name, followed
        by ``:`` and the name or value it carries: its ``id``, ``name``,
        ``arg``, ``attr`` or ``module`` field, or for a constant its
        ``repr``; a ``repr`` longer than 40 characters is cut and followed
        by a digest of the whole, so any change of a constant is a rename.
        ``label`` may be a callable taking the node. ``source[k]`` is the AST
        node of node ``k``.

        Raises TypeError for other input and ValueError (from the
        SyntaxError) for source that does not parse. Costs O(n).
        """
        return Tree._of(readers.read_python(node_or_source, label, context=context))

    @classmethod
    def from_xml(cls, src: Any, *, text: bool = True, attributes: bool = True) -> Tree[Any]:
        """Build a tree from an XML document.

        ``src`` is XML text (a ``str`` or ``bytes`` starting with ``<``
        after whitespace), a file (an ``os.PathLike``, such as a
        :class:`pathlib.Path`; a ``str`` is never a path: use
        :func:`grix.load` for file names), or an element or element tree of
        :mod:`xml.etree.ElementTree` or lxml. Text is parsed with lxml when
        it is installed (its elements know their line), else with the
        standard library, which also takes documents nested deeper than
        lxml allows. Labels are the tags, namespaced ones as ``{uri}tag``;
        comments and processing instructions are skipped.

        By default the tree holds everything a reader of the document sees
        change: each attribute is a leaf labelled ``@name=value`` before the
        element's children, and each text or tail that is not only
        whitespace is a leaf labelled with the stripped text, in document
        order (text on both sides of a skipped comment is one leaf).
        ``text=False`` and ``attributes=False`` leave them out, to compare
        the element structure alone. ``source`` holds the element, or
        ``(element, "text")``, ``(element, "tail")`` and
        ``(element, "@name")`` for those leaves.

        Raises FileNotFoundError for a missing file, ValueError for empty
        text, text that does not start with ``<`` or that is not well-formed
        (with line and column), and TypeError for other input. Costs O(size
        of the document).
        """
        return Tree._of(readers.read_xml(src, text=text, attributes=attributes))

    @classmethod
    def from_html(cls, src: Any, *, text: bool = True, attributes: bool = False) -> Tree[Any]:
        """Build a tree from an HTML document.

        ``src`` and the options are as for :meth:`from_xml`, with other
        defaults: the tree holds the elements and their text, so a changed
        word shows, and leaves out the attributes, which are mostly
        presentation (classes, styles, roles) and would add half as many
        nodes again to a typical page; ``attributes=True`` adds them, to see
        a changed link. A run of whitespace in text is one space, as a
        browser shows it, so reflowing a paragraph changes nothing. Tag
        names are lower case.

        The document is parsed with :mod:`lxml.html` when lxml is installed
        (its elements know their line), else with a builder over
        :class:`html.parser.HTMLParser` that knows void elements, closes
        open elements when an outer one ends, ignores stray end tags and
        closes ``p``, ``li``, ``dt``, ``dd``, ``tr``, ``td``, ``th`` and
        ``option`` where the next one starts. Both give the same tree for
        well-formed documents, and both place a fragment in ``html`` and
        ``body``. Documents nested deeper than lxml allows are parsed with
        the builder.

        Raises FileNotFoundError for a missing file, ValueError for empty
        text, text that does not start with ``<`` or has no element at all,
        and TypeError for other input. Costs O(size of the document).
        """
        return Tree._of(readers.read_html(src, text=text, attributes=attributes))

    @classmethod
    def from_json(cls, obj_or_text: Any, *, key_order: str = "sorted") -> Tree[JSONPath]:
        """Build a tree from JSON text (str or bytes) or decoded JSON data.

        A str is always read as text: pass a decoded string as
        ``json.dumps(value)``, and a file through :func:`grix.load`.

        An object is a node labelled ``{}`` with one child per member,
        labelled with the key; the member's only child is its value. JSON
        objects are unordered, so by default the members come sorted by key
        (code point order, as ``json.dumps(sort_keys=True)`` writes them):
        documents that differ only in key order give equal trees, at
        distance 0. ``key_order="given"`` keeps the order of the text or
        dict instead. Keys of a Python dict that are not str are converted
        as :func:`json.dumps` converts them (``1``, ``true``, ``null``) and
        sorted by that text, so ``from_json(d) == from_json(json.dumps(d))``;
        two keys that convert to the same text (``1`` and ``"1"``) keep
        their given order. An
        array is a node labelled ``[]`` with one child per element. A scalar
        is a leaf labelled with its JSON text: ``1``, ``2.5``, ``true``,
        ``null``, and strings in double quotes (``"x"``), so the string
        ``"1"`` and the number ``1`` differ. ``source[k]`` is the path of
        node ``k``, a :class:`grix.readers.JSONPath` equal to the tuple of
        keys and indices (e.g. ``("a", 0, "b")``; ``tuple(path)`` copies it
        out); a member's node and its value's node share the path. Read
        from text, each path also knows the line its node starts on
        (``path.lineno``; a member's value takes its key's), which
        :mod:`grix.diff` shows. Text is read by a native reader
        (docs/json-reading.md); its paths and lines are built the first
        time ``source`` is read, a pass over the text in Python, and the
        tree keeps the text until then.

        Text nested deeper than :func:`json.loads` can go is parsed by an
        iterative parser with the same results. Raises
        :class:`json.JSONDecodeError` (a ValueError) with the offset for bad
        text, TypeError for data that JSON cannot hold, ValueError for data
        that contains itself, ValueError for an unknown ``key_order``.
        Costs O(size), plus O(m log m) to sort an object of m members.
        """
        return Tree._of(readers.read_json(obj_or_text, key_order=key_order))

    @classmethod
    def from_networkx(cls, graph: Any, root: Hashable, *, label: str | None = "label") -> Tree[Hashable]:
        """Build a tree from a networkx graph, starting at ``root``.

        In a directed graph, edges point from parent to child; in an
        undirected one, every neighbour other than the parent is a child.
        Children come in the order the graph yields successors or neighbours
        (insertion order for networkx graphs). Each label is the node
        attribute named ``label`` when the node has it, else ``str(node)``
        (``label=None`` always uses ``str(node)``). ``source[k]`` is the
        graph node.

        Raises ValueError if ``root`` is not in the graph, a node is reached
        twice (a cycle, or two parents), or some nodes are not reachable
        from ``root``; TypeError if ``graph`` is not a graph. Costs
        O(nodes + edges).
        """
        return Tree._of(readers.read_networkx(graph, root, label))

    @classmethod
    def from_nltk(cls, tree: Any, *, words: bool = True) -> Tree[tuple[int, ...]]:
        """Build a tree from an ``nltk.Tree`` (a constituency parse).

        Each subtree is a node labelled with its label, each word a leaf
        labelled with the word (a tagged word ``(word, tag)`` as
        ``word/tag``); ``words=False`` drops the words, to compare the
        structure alone (the part-of-speech tags are then the leaves).
        ``source[k]`` is node ``k``'s tree position, so ``tree[position]``
        is the subtree or the word. nltk itself is never imported.

        Raises TypeError for other input, ValueError for a tree that
        contains itself. Costs O(n · depth) for the positions.
        """
        return Tree._of(readers.read_nltk(tree, words=words))

    @classmethod
    def from_ptb(cls, text: str | bytes, *, words: bool = True,
                 sentence: int | str | None = None) -> Tree[readers.TreebankPosition]:
        """Build a tree from Penn Treebank bracket text, ``(S (NP (DT the)
        (NN dog)) (VP (VBZ barks)))``, without nltk.

        Labels and words are as for :meth:`from_nltk`; the unlabelled
        bracket treebank files put around each sentence, ``( (S ...) )``,
        is dropped. Text of several trees needs ``sentence``: a number from
        1 picks one, ``"all"`` puts all of them under a root labelled
        ``""``; text of one tree takes it as it is, and empty text gives the
        empty tree. ``source[k]`` is a
        :class:`grix.readers.TreebankPosition`: the line, the offset, and
        for a word its index in the sentence.

        Raises ValueError naming the sentence and the line of a syntax
        error, or the number of trees when ``sentence`` is needed; TypeError
        for input that is not text. Costs O(len(text)).
        """
        return Tree._of(readers.read_ptb(text, words=words, sentence=sentence))

    @classmethod
    def from_conllu(cls, src: Any, *, label: str | Callable[[Any], object] = "deprel",
                    sentence: int | str | None = None) -> Tree[Any]:
        """Build a dependency tree from a CoNLL-U sentence.

        ``src`` is CoNLL-U text (str or bytes; ``sentence`` picks one of
        several as for :meth:`from_ptb`), a
        :class:`grix.readers.ConlluSentence`, or a sentence (``TokenList``)
        parsed by the conllu package. The root is a virtual node labelled
        ``""`` (the word 0 that HEAD 0 names), whose children are the words
        with HEAD 0; below it each word's dependents come in word order.
        Each word is labelled with its ``label`` column (``"deprel"``,
        ``"upos"``, ``"form"``, ``"lemma"``, any of the ten) or with what a
        callable returns for its token. Multi-word tokens (``1-2``) and
        empty nodes (``5.1``) are no nodes: the basic tree has the words
        they stand for, and neither of them. ``source`` holds the sentence
        for the root and the token for each word (a
        :class:`grix.readers.ConlluToken`, with its line).

        Raises ValueError naming the sentence and the line when a line is
        malformed, word IDs do not run 1, 2, 3, ..., a HEAD names no word,
        or the heads form a cycle; TypeError for other input. Costs O(size).
        """
        return Tree._of(readers.read_conllu(src, label=label, sentence=sentence))

    @classmethod
    def from_spacy(cls, doc_or_span: Any, *, label: str | Callable[[Any], object] = "deprel") -> Tree[Any]:
        """Build a dependency tree from a parsed spaCy ``Doc`` or ``Span``.

        As :meth:`from_conllu`: a virtual root labelled ``""`` whose
        children are the roots (one per sentence of a Doc; in a Span, also
        each word whose head lies outside it), then dependents in word
        order. ``label`` is ``"deprel"`` (``dep_``), ``"upos"``
        (``pos_``), ``"xpos"`` (``tag_``), ``"form"`` (``text``),
        ``"lemma"`` (``lemma_``), spaCy's names ``dep``, ``pos``, ``tag``,
        ``text``, or a callable taking the token. ``source`` holds the Doc
        or Span for the root and the ``Token`` for each word. spaCy itself
        is never imported.

        Raises ValueError for a Doc without a dependency parse, TypeError
        for other input. Costs O(tokens).
        """
        return Tree._of(readers.read_spacy(doc_or_span, label=label))

    @classmethod
    def from_tree_sitter(
        cls,
        tree_or_node_or_source: Any,
        language: Any = None,
        *,
        anonymous: bool = False,
        text: bool = True,
        comments: bool = False,
        strict: bool = False,
    ) -> Tree[readers.CodeSpan]:
        """Build a tree from a tree-sitter syntax tree, for code in any language.

        Takes a ``tree_sitter.Tree`` or ``Node``, or source text (``str``, or
        UTF-8 ``bytes``) parsed with ``language``: a name (``"javascript"``,
        ``"c"``, ``"rust"``, ...: the keys of
        :data:`grix.readers.treesitter.GRAMMARS` and common aliases), a
        ``tree_sitter.Language`` or a ``tree_sitter.Parser``. The grammars
        of the named languages come from their ``tree-sitter-<language>``
        wheels (``pip install grix[code]`` installs them all).

        The nodes are tree-sitter's named nodes, labelled by their type; a
        named leaf (an identifier, a number, a piece of a string) is
        labelled ``type:text``, with the long-text rule of :meth:`from_ast`
        (40 characters, then a digest of the whole), so renaming a variable
        is a rename. ``text=False`` keeps the types alone. Comments are
        labelled by their type only unless ``comments=True``. Anonymous
        tokens (punctuation and keywords) are left out unless
        ``anonymous=True``, which keeps each as a node labelled with the
        token; the default tree has the nodes of tree-sitter's S-expression,
        those TSED counts. A token the parser had to assume is a node
        ``MISSING:<type>``. ``source[k]`` is a
        :class:`grix.readers.CodeSpan` (type, bytes, start and end points,
        ``lineno``), so diffs show lines.

        Code with syntax errors still converts, with ``ERROR`` nodes where
        tree-sitter recovered, and :attr:`has_errors` is true;
        ``strict=True`` refuses it instead, with a ValueError naming the
        line and column of the first error.

        Raises TypeError for other input, ValueError for bytes that are
        binary or not UTF-8 and for an unknown language name, and
        :class:`grix.readers.MissingGrammarError` (an ImportError) naming
        the package to install. Costs O(n) after tree-sitter's parse.
        """
        return Tree._of(readers.read_tree_sitter(tree_or_node_or_source, language, anonymous=anonymous,
                                                 text=text, comments=comments, strict=strict))

    @classmethod
    def from_dot_bracket(cls, structure: str, representation: str = "full", *,
                         pseudoknots: str = "refuse") -> Tree[tuple[int, int]]:
        """Build the tree of an RNA secondary structure in dot-bracket
        notation, such as ``.((..))..``, as ViennaRNA builds it.

        ``representation``: "full" (a ``U`` leaf per unpaired base, a ``P``
        node per pair, under a root ``R``), "hit" (``U``\\ *k* per run of k
        unpaired bases, ``P``\\ *k* per helix of k stacked pairs), "coarse"
        (an ``S`` node per helix holding the loop it closes: ``H``, ``B``,
        ``I`` or ``M``) or "weighted" (coarse with weights: ``S``\\ *k* for k
        pairs, a loop with its unpaired bases, and ``E``\\ *k* for the
        exterior loop's): ``RNAdistance -D f, h, c, w``. The weight is part of
        the label, which :func:`grix.rna.costs` reads. ``source[k]`` is the
        span ``(start, stop)`` of positions (from 0) that node ``k`` covers.
        Pseudoknot brackets ``[]{}<>`` are refused unless
        ``pseudoknots="unpaired"``, which reads them as unpaired bases.

        Raises TypeError for a non-str and ValueError, one line naming the
        position (counted from 1), for an unknown character or unbalanced
        brackets. Costs O(length). Many structures, or a ``.db`` file of
        them: :func:`grix.rna.trees` and :func:`grix.rna.load_structures`.
        """
        return Tree._of(readers.read_dot_bracket(structure, representation,  # type: ignore[arg-type]
                                                 pseudoknots=pseudoknots))  # type: ignore[arg-type]

    # -- properties -------------------------------------------------------

    @property
    def labels(self) -> tuple[str, ...]:
        """The node labels in pre-order."""
        return self._labels

    @property
    def parents(self) -> np.ndarray:
        """Read-only int32 array of parent ids; ``parents[0] == -1``."""
        return self._parents

    @property
    def source(self) -> tuple[S, ...]:
        """For each node, the object or position it was built from, or None."""
        if isinstance(self._source, LazySources):
            self._source = self._source.built()
        return self._source

    @property
    def has_errors(self) -> bool:
        """True when the tree was read by tree-sitter from code with syntax
        errors (see :meth:`from_tree_sitter`); False for every other tree.
        O(1)."""
        source = self._source  # sources made on first use are never code spans
        return isinstance(source, tuple) and bool(source) and isinstance(source[0], readers.CodeSpan) \
            and source[0].has_error

    @property
    def size(self) -> int:
        """The number of nodes (0 for the empty tree)."""
        return len(self._labels)

    def __len__(self) -> int:
        """The number of nodes."""
        return len(self._labels)

    @property
    def subtree_sizes(self) -> np.ndarray:
        """Read-only int32 array: the number of nodes in each node's subtree.

        Computed in O(n) on first use, then cached.
        """
        if self._sizes is None:
            sizes = [1] * len(self._labels)
            parents = self._parents.tolist()
            for v in range(len(sizes) - 1, 0, -1):
                sizes[parents[v]] += sizes[v]
            self._sizes = _readonly(sizes)
        return self._sizes

    @property
    def depth(self) -> int:
        """The largest node depth (the root has depth 0); -1 for the empty tree."""
        return max(self._node_depths(), default=-1)

    def children(self, i: int) -> tuple[int, ...]:
        """The ids of node ``i``'s children, in order.

        Raises IndexError if ``i`` is not a node id. The child lists of all
        nodes are built in O(n) on the first call, so later calls are O(1).
        """
        if self._children is None:
            lists: list[list[int]] = [[] for _ in self._labels]
            for v, p in enumerate(self._parents.tolist()[1:], 1):
                lists[p].append(v)
            self._children = tuple(map(tuple, lists))
        i = operator.index(i)
        if not 0 <= i < len(self._labels):
            raise IndexError(f"node {i} is not in a tree of {len(self._labels)} nodes")
        return self._children[i]

    def _node_depths(self) -> list[int]:
        if self._depths is None:
            depths = [0] * len(self._labels)
            parents = self._parents.tolist()
            for v in range(1, len(depths)):
                depths[v] = depths[parents[v]] + 1
            self._depths = depths
        return self._depths

    # -- derived trees and text -------------------------------------------

    def mirror(self) -> tuple[Tree[S], np.ndarray]:
        """The tree with every node's children in reverse order.

        Returns ``(mirrored, back)``: ``mirrored`` is numbered in its own
        pre-order, and ``back`` is an int32 array where ``back[k]`` is the id
        in this tree of node ``k`` of ``mirrored``. Labels and sources follow
        their nodes; mirroring twice gives an equal tree. Costs O(n).
        """
        n = len(self._labels)
        order: list[int] = []
        stack = [0] if n else []
        while stack:
            v = stack.pop()
            order.append(v)
            # Children pushed in order pop last-first: the mirrored pre-order.
            stack.extend(self.children(v))
        source = self.source
        mirrored = Tree._from_preorder(
            [self._labels[v] for v in order],
            _renumber(self._parents, order),
            [source[v] for v in order],
        )
        return mirrored, _readonly(order)

    def _bracket_pieces(self) -> Iterator[str]:
        depths = self._node_depths()
        last = len(depths) - 1
        for v, label in enumerate(self._labels):
            # Close this node and every ancestor that the next node leaves.
            closing = depths[v] + 1 - (depths[v + 1] if v < last else 0)
            yield "{" + _escape(label) + "}" * closing

    def to_bracket(self) -> str:
        """The tree in bracket notation, e.g. ``{a{b}{c}}``; ``""`` when empty.

        ``{``, ``}`` and ``\\`` in labels are escaped with a backslash, so
        :meth:`from_bracket` reads the text back into an equal tree.
        Costs O(n + total label length).
        """
        return "".join(self._bracket_pieces())

    # -- comparison and display -------------------------------------------

    def __eq__(self, other: object) -> bool:
        """True when labels and parents are equal (source is ignored); O(n)."""
        if not isinstance(other, Tree):
            return NotImplemented
        return self._labels == other._labels and np.array_equal(self._parents, other._parents)

    def __hash__(self) -> int:
        """A hash of labels and parents, computed once in O(n)."""
        if self._hash is None:
            self._hash = hash((self._labels, self._parents.tobytes()))
        return self._hash

    def __repr__(self) -> str:
        """The node count and the start of the bracket text."""
        text = ""
        for piece in self._bracket_pieces():
            text += piece
            if len(text) > 40:
                text = text[:40] + "..."
                break
        return f"Tree({len(self)} node{'s' if len(self) != 1 else ''}: {text})"

    def __reduce__(self) -> tuple[Any, ...]:
        return (Tree._from_preorder, (self._labels, self._parents, self._source))


def _renumber(parents: np.ndarray, order: list[int]) -> np.ndarray:
    """The parents of the nodes listed in ``order``, as positions in ``order``."""
    back = np.asarray(order, dtype=np.int64)
    new_id = np.empty(len(parents), dtype=np.int64)
    new_id[back] = np.arange(len(back))
    old = parents[back]
    return np.where(old < 0, -1, new_id[np.maximum(old, 0)])


def _parent_array(parents: Iterable[Any] | np.ndarray, n: int) -> np.ndarray:
    """Parents as int64 with every root written as -1, checked for type and range."""
    if isinstance(parents, np.ndarray) and parents.dtype.kind in "iu":
        if parents.ndim != 1:
            raise TypeError(f"parents must be one-dimensional, not of shape {parents.shape}")
        too_big = np.flatnonzero(parents >= n)
        if too_big.size:
            i = too_big[0]
            raise ValueError(f"parents[{i}] = {parents[i]} is out of range for {n} nodes")
        values = parents.astype(np.int64)
        values[values < 0] = -1
        return values
    if isinstance(parents, np.ndarray) and parents.dtype.kind != "O":
        raise TypeError(f"parents must hold integers (or None for the root), not {parents.dtype}")
    if isinstance(parents, (str, bytes)):
        raise TypeError("parents must be a sequence of integers, not a str or bytes")
    checked = list(parents)
    for i, p in enumerate(checked):
        if p is None:
            checked[i] = -1
            continue
        if isinstance(p, (bool, np.bool_)) or not hasattr(p, "__index__"):
            raise TypeError(
                f"parents must hold integers (or None for the root); parents[{i}] is {short(p)}"
            )
        p = operator.index(p)
        if p >= n:
            raise ValueError(f"parents[{i}] = {p} is out of range for {n} nodes")
        checked[i] = p if p >= 0 else -1
    return np.array(checked, dtype=np.int64)


def _cycle_message(par: np.ndarray, reached: list[int]) -> str:
    """Describe a cycle among the nodes that no root reaches."""
    seen = np.zeros(len(par), dtype=bool)
    seen[reached] = True
    v = int(np.flatnonzero(~seen)[0])
    # Every unreached node leads up into a cycle; walk until a node repeats.
    steps: dict[int, int] = {}
    walk: list[int] = []
    while v not in steps:
        steps[v] = len(walk)
        walk.append(v)
        v = int(par[v])
    cycle = walk[steps[v]:] + [v]
    shown = " -> ".join(map(str, cycle)) if len(cycle) <= 6 else f"{cycle[0]} -> {cycle[1]} -> ... -> {v}"
    return (
        f"parents: nodes {shown} form a cycle of {len(cycle) - 1}; "
        "every node must lead up to a root"
    )


def load(path: str | os.PathLike[str], format: str | None = None, **options: Any) -> Tree:
    """Read a tree from a file: a ``str`` or ``os.PathLike`` is always a path.

    The reader follows the suffix: ``.py``/``.pyi`` as :meth:`Tree.from_ast`,
    ``.xml`` as :meth:`Tree.from_xml`, ``.html``/``.htm`` as
    :meth:`Tree.from_html`, ``.json`` as :meth:`Tree.from_json`, and
    ``.tree``/``.bracket`` as bracket text, and code in other languages
    (``.js``, ``.ts``, ``.java``, ``.c``, ``.go``, ``.rs``, ... : see
    :data:`grix.readers.treesitter.SUFFIX_LANGUAGES`) as
    :meth:`Tree.from_tree_sitter` in the suffix's language; format
    ``"tree-sitter"`` reads a ``.py`` file that way too, and ``language=``
    overrides the suffix. A file with any other suffix is
    read as bracket text when it starts with ``{``, and refused otherwise
    (:class:`grix.readers.UnknownFormatError`, a ValueError that asks for
    the format). ``format`` ("python", "xml", "html", "json", "bracket" or
    "tree-sitter")
    overrides the suffix; ``options`` go to the reader (e.g. ``text=False``
    for markup, ``context=True`` for Python).
    :meth:`Tree.from_html`, ``.json`` as :meth:`Tree.from_json`,
    ``.db``/``.dbn`` as :meth:`Tree.from_dot_bracket` (the first structure,
    with a UserWarning when the file holds more: :func:`grix.rna.load_structures`
    reads them all), and ``.tree``/``.bracket`` as bracket text. A file with any other suffix is
    read as bracket text when it starts with ``{``, and refused otherwise
    (:class:`grix.readers.UnknownFormatError`, a ValueError that asks for
    the format). ``format`` ("python", "xml", "html", "json" or "bracket")
    overrides the suffix ("dot-bracket" too); ``options`` go to the reader
    (e.g. ``text=False`` for markup, ``context=True`` for Python,
    ``representation="hit"`` for dot-bracket).

    Penn Treebank files (``.mrg``/``.ptb``, as :meth:`Tree.from_ptb`) and
    CoNLL-U files (``.conllu``, as :meth:`Tree.from_conllu`) hold a tree per
    sentence: a file of one is read as it is, a file of several needs
    ``sentence=N`` (from 1) or ``sentence="all"``; :func:`load_all` reads
    each.

    Raises FileNotFoundError or IsADirectoryError for a bad path,
    ValueError for an unknown format or for content the reader rejects (the
    message starts with the path).
    """
    try:
        return Tree._of(readers.read_file(path, format, **options))
    except readers.UnknownFormatError:
        raise
    except ValueError as exc:
        raise ValueError(f"{os.fspath(path)}: {exc}") from exc


def load_all(path: str | os.PathLike[str], format: str | None = None, **options: Any) -> list[Tree]:
    """Every tree of a file: one per sentence of a Penn Treebank
    (``.mrg``/``.ptb``) or CoNLL-U (``.conllu``) file, in order; for the
    other formats a list of the one tree :func:`load` reads. Arguments and
    errors are as for :func:`load`.
    """
    reader = readers.parse_trees.SENTENCE_FILE_READERS.get(format or readers.format_of(path) or "")
    if reader is None:
        return [load(path, format, **options)]
    try:
        return [Tree._of(tree) for tree in reader(path, **options)]
    except ValueError as exc:
        raise ValueError(f"{os.fspath(path)}: {exc}") from exc
