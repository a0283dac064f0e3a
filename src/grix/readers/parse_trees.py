"""Parse trees of sentences: constituency trees (nltk trees and Penn
Treebank bracket text) and dependency trees (CoNLL-U and spaCy).

None of these readers needs nltk, conllu or spaCy: objects of those
libraries are read through the attributes they expose, and the two text
formats are parsed here. Each reader keeps, as a node's source, what points
back to the token or constituent it came from.

A dependency tree is rooted at a virtual root labelled ``""`` (the word 0 of
CoNLL-U that HEAD 0 names), whose children are the words that have no head
in the sentence: so a sentence with several roots, or a document of several
sentences, is still one tree.

Files of several sentences give one tree per sentence (:func:`read_ptb_file`,
:func:`read_conllu_file`). Where one tree is wanted (``grix.load``, the
command line) :func:`pick_sentence` takes a file of one sentence as it is,
refuses a file of several unless ``sentence`` says which one, or ``"all"``
for all of them under one more virtual root.

The two families share that choice of sentence, the virtual root and the
positions of the source, so they stay in one module.
"""

from __future__ import annotations

import os
import re
from bisect import bisect_right
from collections.abc import Callable, Iterable, Mapping, Sequence
from pathlib import Path
from typing import Any, NamedTuple, Union

from .common import Preorder, decode_text, read_text_file, short, walk

#: The label of the virtual root of a dependency tree and of a document.
VIRTUAL_ROOT = ""

#: Which sentence of a text or file to read: None (the text must hold
#: exactly one), a number counted from 1, or "all".
Sentence = Union[int, str, None]


# -------------------------------------------------------------- selection


def pick_sentence(trees: Sequence[Preorder[Any]], sentence: Sentence, what: str) -> Preorder[Any]:
    """One tree out of a text's or file's trees, as ``sentence`` says.

    None takes the only tree (the empty tree when there is none) and
    refuses several; a number from 1 takes that one; ``"all"`` joins them
    under a virtual root labelled ``""`` whose source is None. Raises
    ValueError naming ``what`` and the number of sentences, TypeError for a
    ``sentence`` of another type.
    """
    if sentence == "all":
        return join_under_root(trees)
    index = sentence_index(len(trees), sentence, what)
    return ([], [], []) if index is None else trees[index]


class SeveralSentencesError(ValueError):
    """A file of several sentences read where one tree is wanted, with no
    sentence chosen. ``what`` names the file and its format, ``count`` is the
    number of sentences; the message gives the Python way to choose, and the
    command line words its own."""

    def __init__(self, what: str, count: int) -> None:
        self.what, self.count = what, count
        super().__init__(f"{what}: {count} sentences; pass sentence=N (from 1) for one, sentence='all' "
                         "for all under one root, or read each with grix.load_all")


def sentence_index(count: int, sentence: Sentence, what: str) -> int | None:
    """The index (from 0) of the sentence that ``sentence`` (None or a
    number from 1) picks among ``count``; None when there are none."""
    if sentence is None:
        if count <= 1:
            return count - 1 if count else None
        raise SeveralSentencesError(what, count)
    if isinstance(sentence, bool) or not isinstance(sentence, int):
        raise TypeError(f"sentence must be a number from 1, 'all' or None, not {short(sentence)}")
    if not 1 <= sentence <= count:
        raise ValueError(f"{what}: sentence={sentence}, but there {_count(count)}")
    return sentence - 1


def _count(n: int) -> str:
    return "is 1 sentence" if n == 1 else f"are {n} sentences"


def join_under_root(trees: Iterable[Preorder[Any]]) -> Preorder[Any]:
    """Trees as the children of a new root labelled ``""`` (source None)."""
    labels: list[str] = [VIRTUAL_ROOT]
    parents: list[int] = [-1]
    source: list[Any] = [None]
    for tree_labels, tree_parents, tree_source in trees:
        start = len(labels)
        labels.extend(tree_labels)
        parents.extend(0 if p < 0 else p + start for p in tree_parents)
        source.extend(tree_source)
    return labels, parents, source


def _text_of(text: Any, what: str) -> str:
    if isinstance(text, (bytes, bytearray)):
        return decode_text(text)
    if isinstance(text, str):
        return text[1:] if text.startswith("\ufeff") else text  # as utf-8-sig reads a file
    raise TypeError(f"{what} must be text (str or bytes), not {type(text).__name__}")


class _Lines:
    """Line numbers (from 1) of offsets into one text, by bisection."""

    def __init__(self, text: str) -> None:
        self._starts = [0] + [m.end() for m in re.finditer("\n", text)]

    def __call__(self, offset: int) -> int:
        return bisect_right(self._starts, offset)


# -------------------------------------------------------------- nltk


def _is_nltk_tree(obj: object) -> bool:
    # nltk.Tree is a list with a label() method; so are its subclasses
    # (ParentedTree, ProbabilisticTree), and nltk itself tests it this way.
    return isinstance(obj, list) and callable(getattr(obj, "label", None))


def _leaf_text(leaf: object) -> str:
    if type(leaf) is str:
        return leaf
    if isinstance(leaf, tuple) and all(isinstance(part, str) for part in leaf):
        return "/".join(leaf)  # a tagged word (word, tag), written as nltk prints it
    return str(leaf)


def read_nltk(tree: Any, *, words: bool = True) -> Preorder[tuple[int, ...]]:
    """An ``nltk.Tree`` (see ``Tree.from_nltk``); a node's source is its
    tree position, so ``tree[position]`` is the subtree or the word."""
    if not _is_nltk_tree(tree):
        raise TypeError(f"from_nltk takes an nltk.Tree, not {type(tree).__name__}")

    def expand(item: tuple[Any, tuple[int, ...]]) -> tuple[str, object, Sequence[Any], object]:
        node, position = item
        if not _is_nltk_tree(node):
            return _leaf_text(node), position, (), None
        kids = [(kid, position + (i,)) for i, kid in enumerate(node) if words or _is_nltk_tree(kid)]
        label = node.label()
        return label if type(label) is str else str(label), position, kids, node

    return walk((tree, ()), expand, "nltk tree")


# -------------------------------------------------------------- Penn Treebank


class TreebankPosition(NamedTuple):
    """Where a node of Penn Treebank text starts: its line (from 1), the
    offset of its ``(`` or word in the text, and for a word its index among
    the sentence's words (from 0; None for a constituent)."""

    lineno: int
    offset: int
    word: int | None


_PTB_TOKEN = re.compile(r"[()]|[^\s()]+")


def read_ptb_trees(text: str | bytes | bytearray, *, words: bool = True) -> list[Preorder[TreebankPosition]]:
    """Every tree of Penn Treebank bracket text, in order.

    A tree is ``(LABEL children)``, a child being a tree or a word; a
    preterminal is ``(DT the)``. The unlabelled bracket that treebank files
    put around each sentence, ``( (S ...) )``, is dropped, as nltk's corpus
    reader drops it. ``words=False`` leaves the words out, so the
    preterminals are the leaves. Raises ValueError naming the sentence and
    the line of the first syntax error, TypeError for input that is not
    text. Costs O(len(text)).
    """
    text = _text_of(text, "Penn Treebank text")
    line_of = _Lines(text)
    trees: list[Preorder[TreebankPosition]] = []
    labels: list[str] = []
    parents: list[int] = []
    source: list[TreebankPosition] = []
    open_nodes: list[int] = []
    expect_label = False
    word_count = 0

    def error(offset: int, what: str) -> ValueError:
        return ValueError(f"Penn Treebank text: sentence {len(trees) + 1}, line {line_of(offset)}: {what}")

    for token in _PTB_TOKEN.finditer(text):
        value, offset = token.group(), token.start()
        if value == "(":
            if not open_nodes:
                labels, parents, source, word_count = [], [], [], 0
            parents.append(open_nodes[-1] if open_nodes else -1)
            open_nodes.append(len(labels))
            labels.append("")
            source.append(TreebankPosition(line_of(offset), offset, None))
            expect_label = True
            continue
        if value == ")":
            if not open_nodes:
                raise ValueError(f"Penn Treebank text: after sentence {len(trees)}, line "
                                 f"{line_of(offset)}: unexpected ')'")
            if expect_label:
                raise error(offset, "empty brackets '()'")
            open_nodes.pop()
            if not open_nodes:
                trees.append(_drop_wrapper(labels, parents, source))
        elif not open_nodes:
            raise error(offset, f"{short(value)} outside the brackets; a tree starts with '('")
        elif expect_label:
            labels[-1] = value
        else:
            if words:
                parents.append(open_nodes[-1])
                labels.append(value)
                source.append(TreebankPosition(line_of(offset), offset, word_count))
            word_count += 1
        expect_label = False
    if open_nodes:
        opened = source[open_nodes[0]].offset
        raise error(opened, f"the '(' at line {line_of(opened)} is never closed")
    return trees


def _drop_wrapper(labels: list[str], parents: list[int], source: list[TreebankPosition]) -> Preorder[TreebankPosition]:
    # The wrapper has no label and one child, which is a constituent.
    if labels[0] == "" and len(labels) > 1 and source[1].word is None and parents.count(0) == 1:
        return labels[1:], [p - 1 for p in parents[1:]], source[1:]
    return labels, parents, source


def read_ptb(text: str | bytes, *, words: bool = True, sentence: Sentence = None) -> Preorder[TreebankPosition]:
    """One tree of Penn Treebank text (see ``Tree.from_ptb``)."""
    return pick_sentence(read_ptb_trees(text, words=words), sentence, "Penn Treebank text")


def read_ptb_file(path: str | os.PathLike[str], *, words: bool = True) -> list[Preorder[TreebankPosition]]:
    """Every tree of a Penn Treebank file (UTF-8), in order; see
    :func:`read_ptb_trees`. Offsets count characters of the file's text."""
    return read_ptb_trees(read_text_file(path), words=words)


# -------------------------------------------------------------- CoNLL-U

#: The ten columns of a CoNLL-U word line, in order.
CONLLU_COLUMNS = ("id", "form", "lemma", "upos", "xpos", "feats", "head", "deprel", "deps", "misc")


class ConlluToken(NamedTuple):
    """One line of a CoNLL-U sentence: the ten columns as written (``_``
    for an empty field), except ``head``, a number (None where it is
    ``_``), and the line's number in the text (from 1)."""

    id: str
    form: str
    lemma: str
    upos: str
    xpos: str
    feats: str
    head: int | None
    deprel: str
    deps: str
    misc: str
    lineno: int


class ConlluSentence(NamedTuple):
    """A CoNLL-U sentence: its words (the nodes of its tree), its
    multi-word tokens (``1-2``: the surface tokens, which are no nodes: the
    words they span are) and empty nodes (``5.1``: part of the enhanced
    graph only, so no nodes either), its comments as ``key = value``
    metadata (a comment without ``=`` maps to ``""``), and its first line."""

    words: tuple[ConlluToken, ...]
    multiword_tokens: tuple[ConlluToken, ...]
    empty_nodes: tuple[ConlluToken, ...]
    metadata: dict[str, str]
    lineno: int


_WORD_ID = re.compile(r"[1-9][0-9]*")
_RANGE_ID = re.compile(r"[1-9][0-9]*-[1-9][0-9]*")
_EMPTY_ID = re.compile(r"(?:0|[1-9][0-9]*)\.[1-9][0-9]*")
_HEAD = re.compile(r"0|[1-9][0-9]*")


def parse_conllu(text: str | bytes | bytearray) -> list[ConlluSentence]:
    """The sentences of CoNLL-U text: comment lines, then one line per word,
    multi-word token or empty node, ten columns separated by tabs; a blank
    line ends a sentence.

    Checks each line's form: ten columns, an ID of a word (``3``), a
    multi-word token (``3-4``) or an empty node (``3.1``), and a HEAD that
    is a number (or ``_`` on the lines that are no words). Whether the
    heads make a tree is checked when a tree is built. Raises ValueError
    naming the sentence and the line, TypeError for input that is not text.
    Costs O(len(text)).
    """
    text = _text_of(text, "CoNLL-U text")
    sentences: list[ConlluSentence] = []
    words: list[ConlluToken] = []
    ranges: list[ConlluToken] = []
    empty: list[ConlluToken] = []
    metadata: dict[str, str] = {}
    first = 0

    def error(lineno: int, what: str) -> ValueError:
        return ValueError(f"CoNLL-U: {_sentence_name(len(sentences) + 1, metadata)}, line {lineno}: {what}")

    lines = text.split("\n")
    for lineno, line in enumerate(lines, 1):
        line = line.rstrip("\r")
        if not line.strip():
            if words or ranges or empty:
                sentences.append(ConlluSentence(tuple(words), tuple(ranges), tuple(empty), metadata, first))
            elif metadata:
                raise error(lineno, "the sentence ends before its first word")
            words, ranges, empty, metadata, first = [], [], [], {}, 0
            continue
        first = first or lineno
        if line.startswith("#"):
            if words or ranges or empty:
                raise error(lineno, "a comment among the words; comments come before a sentence's first word")
            key, _, value = line[1:].partition("=")
            metadata[key.strip()] = value.strip()
            continue
        fields = line.split("\t")
        if len(fields) != 10:
            raise error(lineno, f"{len(fields)} columns; a word line has 10, separated by tabs")
        head_text = fields[6]
        if _WORD_ID.fullmatch(fields[0]):
            kind = words
            if not _HEAD.fullmatch(head_text):
                raise error(lineno, f"HEAD {short(head_text)} of word {fields[0]} is not a number")
        elif _RANGE_ID.fullmatch(fields[0]) or _EMPTY_ID.fullmatch(fields[0]):
            kind = ranges if "-" in fields[0] else empty
            if head_text != "_" and not _HEAD.fullmatch(head_text):
                raise error(lineno, f"HEAD {short(head_text)} is not a number or '_'")
        else:
            raise error(lineno, f"ID {short(fields[0])} is not a word (3), a multi-word token (3-4) "
                        "or an empty node (3.1)")
        head = None if head_text == "_" else int(head_text)
        word_id, form, lemma, upos, xpos, feats, _, deprel, deps, misc = fields
        kind.append(ConlluToken(word_id, form, lemma, upos, xpos, feats, head, deprel, deps, misc, lineno))
    if words or ranges or empty:
        sentences.append(ConlluSentence(tuple(words), tuple(ranges), tuple(empty), metadata, first))
    elif metadata:
        raise error(len(lines), "the text ends before the sentence's first word")
    return sentences


def _sentence_name(number: int, metadata: Mapping[str, Any] | None) -> str:
    sent_id = metadata.get("sent_id") if metadata else None
    return f"sentence {number} ({sent_id})" if sent_id else f"sentence {number}"


def _field(token: Any, column: str) -> Any:
    # Our ConlluToken has attributes; the conllu package's tokens are dicts.
    return token.get(column) if isinstance(token, Mapping) else getattr(token, column)


def _conllu_text(value: Any) -> str:
    """A field as CoNLL-U writes it, also for the conllu package's parsed
    fields: None is ``_``, a dict of features is ``k=v|k=v``, enhanced
    dependencies ``head:relation|...``."""
    if type(value) is str:
        return value
    if value is None:
        return "_"
    if isinstance(value, Mapping):
        return "|".join(f"{k}={_conllu_text(v)}" for k, v in value.items()) or "_"
    if isinstance(value, list) and all(isinstance(arc, tuple) and len(arc) == 2 for arc in value):
        # Enhanced dependencies, parsed as (relation, head) pairs.
        return "|".join(f"{_conllu_text(head)}:{relation}" for relation, head in value) or "_"
    return str(value)


def _word_label(label: str | Callable[[Any], object]) -> Callable[[Any], str]:
    if callable(label):
        def call(token: Any) -> str:
            text = label(token)
            return text if type(text) is str else str(text)
        return call
    if label not in CONLLU_COLUMNS:
        raise ValueError(f"label must be a CoNLL-U column ({', '.join(CONLLU_COLUMNS)}) or a callable, "
                         f"not {short(label)}")
    return lambda token: _conllu_text(_field(token, label))


def read_conllu(
    src: Any,
    *,
    label: str | Callable[[Any], object] = "deprel",
    sentence: Sentence = None,
) -> Preorder[Any]:
    """A CoNLL-U sentence's dependency tree (see ``Tree.from_conllu``):
    from text, a :class:`ConlluSentence`, or a sentence of the conllu
    package (a ``TokenList``)."""
    if isinstance(src, (str, bytes, bytearray)):
        sentences = parse_conllu(src)
        if sentence == "all":
            return join_under_root(conllu_tree(s, label=label, number=k) for k, s in enumerate(sentences, 1))
        index = sentence_index(len(sentences), sentence, "CoNLL-U text")
        if index is None:
            return [], [], []
        return conllu_tree(sentences[index], label=label, number=index + 1)
    if sentence is not None:
        raise TypeError("sentence= selects a sentence of text; pass one sentence object without it")
    return conllu_tree(src, label=label)


def conllu_tree(
    sentence: Any,
    *,
    label: str | Callable[[Any], object] = "deprel",
    number: int = 1,
) -> Preorder[Any]:
    """The dependency tree of one parsed sentence: a :class:`ConlluSentence`
    or a conllu ``TokenList``. Words are the tokens whose ID is a number;
    multi-word tokens and empty nodes are skipped, as the basic tree has
    neither. The root's source is the sentence, each word's its token.

    Raises ValueError naming the sentence (``number``, and its ``sent_id``)
    and the word's line (or ID, for tokens without lines) when IDs do not
    run 1, 2, 3, ..., a HEAD names no word of the sentence, or the heads
    form a cycle. Costs O(words).
    """
    get_label = _word_label(label)
    if isinstance(sentence, ConlluSentence):
        words: Sequence[Any] = sentence.words
        metadata: Mapping[str, Any] | None = sentence.metadata
    elif isinstance(sentence, (list, tuple)) and all(isinstance(t, Mapping) for t in sentence):
        words = [t for t in sentence if type(t.get("id")) is int]
        metadata = getattr(sentence, "metadata", None)
    else:
        raise TypeError(f"from_conllu takes CoNLL-U text, a ConlluSentence or a conllu TokenList, "
                        f"not {type(sentence).__name__}")

    def error(token: Any, what: str) -> ValueError:
        line = getattr(token, "lineno", None)
        where = f"line {line}" if line else f"word {_conllu_text(_field(token, 'id'))}"
        return ValueError(f"CoNLL-U: {_sentence_name(number, metadata)}, {where}: {what}")

    dependents: list[list[int]] = [[] for _ in range(len(words) + 1)]
    for i, token in enumerate(words, 1):
        word_id, head = _field(token, "id"), _field(token, "head")
        if str(word_id) != str(i):
            raise error(token, f"word ID {word_id} where {i} was due; word IDs run 1, 2, 3, ...")
        if type(head) is not int or not 0 <= head <= len(words):
            raise error(token, f"HEAD {_conllu_text(head)} is not 0 or a word of the sentence "
                        f"(1 to {len(words)})")
        dependents[head].append(i)

    def expand(i: int) -> tuple[str, object, Sequence[int], object]:
        if i == 0:
            return VIRTUAL_ROOT, sentence, dependents[0], None
        token = words[i - 1]
        return get_label(token), token, dependents[i], None

    tree = walk(0, expand, "CoNLL-U sentence")
    if len(tree[0]) <= len(words):
        reached = set(map(id, tree[2]))
        stray = next(t for t in words if id(t) not in reached)
        raise error(stray, f"word {_conllu_text(_field(stray, 'id'))} is not below the root: "
                    "its heads form a cycle")
    return tree


def read_conllu_file(
    path: str | os.PathLike[str],
    *,
    label: str | Callable[[Any], object] = "deprel",
) -> list[Preorder[Any]]:
    """The dependency tree of every sentence of a CoNLL-U file (UTF-8), in
    order; see :func:`parse_conllu` and :func:`conllu_tree`."""
    sentences = parse_conllu(read_text_file(path))
    return [conllu_tree(s, label=label, number=k) for k, s in enumerate(sentences, 1)]


# -------------------------------------------------------------- spaCy

#: Label names for spaCy tokens: the CoNLL-U column names and spaCy's own.
SPACY_LABELS = {
    "deprel": "dep_", "dep": "dep_", "upos": "pos_", "pos": "pos_", "xpos": "tag_", "tag": "tag_",
    "form": "text", "text": "text", "lemma": "lemma_",
}


def read_spacy(doc_or_span: Any, *, label: str | Callable[[Any], object] = "deprel") -> Preorder[Any]:
    """The dependency tree of a spaCy ``Doc`` or ``Span`` (see
    ``Tree.from_spacy``); the root's source is the Doc or Span, each other
    node's its ``Token``."""
    if callable(label):
        get_label = _word_label(label)
    elif label in SPACY_LABELS:
        attribute = SPACY_LABELS[label]
        get_label = lambda token: str(getattr(token, attribute))  # noqa: E731
    else:
        raise ValueError(f"label must be one of {', '.join(SPACY_LABELS)} or a callable, not {short(label)}")
    kind = type(doc_or_span).__name__
    has_annotation = getattr(getattr(doc_or_span, "doc", doc_or_span), "has_annotation", None)
    if callable(has_annotation) and len(doc_or_span) and not has_annotation("DEP"):
        raise ValueError(f"spaCy {kind}: no dependency parse; parse it with a pipeline that has a parser")
    try:
        tokens = list(doc_or_span)
        position = {token.i: k for k, token in enumerate(tokens, 1)}
        heads = [token.head.i for token in tokens]
    except (TypeError, AttributeError):
        raise TypeError(f"from_spacy takes a spaCy Doc or Span, not {kind}") from None
    dependents: list[list[int]] = [[] for _ in range(len(tokens) + 1)]
    for k, head in enumerate(heads, 1):
        # A root is its own head; in a Span, so is a word whose head is outside.
        parent = position.get(head, 0)
        dependents[0 if parent == k else parent].append(k)

    def expand(k: int) -> tuple[str, object, Sequence[int], object]:
        if k == 0:
            return VIRTUAL_ROOT, doc_or_span, dependents[0], None
        return get_label(tokens[k - 1]), tokens[k - 1], dependents[k], None

    tree = walk(0, expand, "spaCy parse")
    if len(tree[0]) <= len(tokens):
        reached = {id(s) for s in tree[2]}
        stray = next(t for t in tokens if id(t) not in reached)
        raise ValueError(f"spaCy {kind}: token {stray.i} ({short(str(stray))}) is not below a root: "
                         "its heads form a cycle")
    return tree


# -------------------------------------------------------------- files

#: How each format of several sentences reads all the trees of a file.
SENTENCE_FILE_READERS: dict[str, Callable[..., list[Preorder[Any]]]] = {
    "ptb": read_ptb_file,
    "conllu": read_conllu_file,
}


def read_ptb_document(path: Path, *, sentence: Sentence = None, **options: Any) -> Preorder[TreebankPosition]:
    """One tree of a Penn Treebank file, picked by :func:`pick_sentence`."""
    return pick_sentence(read_ptb_file(path, **options), sentence, "Penn Treebank")


def read_conllu_document(path: Path, *, sentence: Sentence = None, **options: Any) -> Preorder[Any]:
    """One tree of a CoNLL-U file, picked by :func:`pick_sentence`."""
    return pick_sentence(read_conllu_file(path, **options), sentence, "CoNLL-U")
