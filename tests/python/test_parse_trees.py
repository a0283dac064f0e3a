"""Parse trees: nltk trees, Penn Treebank text, CoNLL-U and spaCy.

Random parses are written out as text and read back, against nltk's own
reader, the conllu package and spaCy where installed, and against trees
built independently with Tree.from_parents from the heads.
"""

import pathlib
import random
import subprocess
import sys

import pytest

import grix
from grix import Tree, load, load_all
from grix.readers import ConlluToken, TreebankPosition, parse_conllu, read_ptb_trees

PHRASES = ["S", "NP", "VP", "PP", "SBAR", "-NONE-"]
TAGS = ["DT", "NN", "VBZ", "IN", "-LRB-"]
WORDS = ["the", "dog", "barks", "at", "-LRB-", "*T*-1", "naïve", "a"]
DEPRELS = ["nsubj", "obj", "det", "amod", "punct", "root", "advmod"]
UPOS = ["NOUN", "VERB", "DET", "ADJ", "PUNCT"]


def random_ptb(rng, budget):
    """Text of a random constituency tree, with its labels in pre-order."""
    if budget <= 1 or rng.random() < 0.3:
        tag, word = rng.choice(TAGS), rng.choice(WORDS)
        return f"({tag} {word})", [tag, word]
    label = rng.choice(PHRASES)
    parts, labels = [], [label]
    for _ in range(rng.randint(1, 3)):
        text, kid_labels = random_ptb(rng, budget // 2)
        parts.append(text)
        labels += kid_labels
    space = rng.choice([" ", "\n  ", "\t"])
    return f"({label}{space}{space.join(parts)})", labels


def random_heads(rng, n, roots=1):
    """Heads (0 for a root) of a random dependency tree over words 1..n."""
    order = list(range(1, n + 1))
    rng.shuffle(order)
    heads = [0] * (n + 1)
    for k, word in enumerate(order):
        heads[word] = 0 if k < roots else rng.choice(order[:k])
    return heads[1:]


def conllu_text(rng, heads, sent_id, with_extras=True):
    """A CoNLL-U sentence with those heads; random multi-word tokens and
    empty nodes, which must change nothing."""
    lines = [f"# sent_id = {sent_id}", "# text = whatever"]
    n = len(heads)
    for i, head in enumerate(heads, 1):
        if with_extras and i < n and rng.random() < 0.2:
            lines.append(f"{i}-{i + 1}\tdu\t_\t_\t_\t_\t_\t_\t_\t_")
        form = rng.choice(WORDS)
        lines.append(f"{i}\t{form}\t{form.upper()}\t{rng.choice(UPOS)}\tX\tA=1|B=2\t{head}\t"
                     f"{rng.choice(DEPRELS)}\t{head}:{rng.choice(DEPRELS)}\tSpaceAfter=No")
        if with_extras and rng.random() < 0.1:
            lines.append(f"{i}.1\tgap\t_\tNOUN\t_\t_\t_\t_\t{i}:orphan\t_")
    return "\n".join(lines) + "\n\n"


def dependency_reference(labels, heads):
    """The tree the heads describe, built without the readers: a virtual root
    with the words as nodes 1..n, children in word order."""
    return Tree.from_parents(["", *labels], [-1, *heads])


# ---------------------------------------------------------------- Penn Treebank


class TestPennTreebank:
    text = "( (S (NP-SBJ (DT the) (NN dog))\n    (VP (VBZ barks))) )\n(FRAG (NN dog))\n"

    def test_known_trees_and_sources(self):
        first, second = read_ptb_trees(self.text)
        tree = Tree.from_ptb(self.text, sentence=1)
        assert tree.to_bracket() == "{S{NP-SBJ{DT{the}}{NN{dog}}}{VP{VBZ{barks}}}}"  # the wrapper is gone
        assert Tree.from_ptb(self.text, sentence=2).to_bracket() == "{FRAG{NN{dog}}}"
        assert Tree.from_ptb(self.text, sentence=1, words=False).to_bracket() == "{S{NP-SBJ{DT}{NN}}{VP{VBZ}}}"
        words = [(s.word, s.lineno, self.text[s.offset:s.offset + len(label)])
                 for label, s in zip(tree.labels, tree.source) if s.word is not None]
        assert words == [(0, 1, "the"), (1, 1, "dog"), (2, 2, "barks")]
        assert tree.source[0] == TreebankPosition(1, 2, None) and first[2][0].offset == 2
        assert second[2][0].lineno == 3
        # A bracket around more than one child, or a labelled one, is kept.
        assert Tree.from_ptb("( (A x) (B y) )").labels[0] == "" and Tree.from_ptb("(ROOT (S x))").labels[0] == "ROOT"
        assert len(Tree.from_ptb(" \n")) == 0

    @pytest.mark.parametrize("text, message", [
        ("(S (NP x)", r"sentence 1, line 1: the '\(' at line 1 is never closed"),
        ("(A x)\n(B y))", r"after sentence 2, line 2: unexpected '\)'"),
        ("(A x)\n\n(B ())", r"sentence 2, line 3: empty brackets"),
        ("(A x) word", r"sentence 2, line 1: 'word' outside the brackets"),
    ])
    def test_errors_name_the_sentence_and_line(self, text, message):
        with pytest.raises(ValueError, match="^Penn Treebank text: " + message):
            Tree.from_ptb(text, sentence="all")

    def test_sentence_choice(self):
        with pytest.raises(ValueError, match="2 sentences; pass sentence=N"):
            Tree.from_ptb(self.text)
        with pytest.raises(ValueError, match="sentence=3, but there are 2 sentences"):
            Tree.from_ptb(self.text, sentence=3)
        with pytest.raises(TypeError, match="sentence must be"):
            Tree.from_ptb(self.text, sentence=True)
        everything = Tree.from_ptb(self.text, sentence="all")
        assert everything.labels[0] == "" and everything.children(0) == (1, 10)

    def test_random_trees_against_nltk(self):
        nltk = pytest.importorskip("nltk")
        rng = random.Random(7)
        for _ in range(300):
            text, labels = random_ptb(rng, rng.randint(1, 40))
            ours = Tree.from_ptb(text)
            expected = nltk.Tree.fromstring(text)
            assert ours.labels == tuple(labels)
            assert Tree.from_nltk(expected) == ours
            assert Tree.from_nltk(expected, words=False) == Tree.from_ptb(text, words=False)
            # Positions lead back to the subtree or word of each node.
            via_nltk = Tree.from_nltk(expected)
            for label, position in zip(via_nltk.labels, via_nltk.source):
                node = expected[position]
                assert (node.label() if isinstance(node, nltk.Tree) else node) == label
            assert [ours.labels[k] for k, s in enumerate(ours.source) if s.word is not None] == expected.leaves()


class TestNltk:
    nltk = pytest.importorskip("nltk")

    def test_leaves_and_bad_input(self):
        nltk = self.nltk
        chunked = nltk.Tree("S", [nltk.Tree("NP", [("the", "DT"), ("dog", "NN")]), ("barks", "VBZ")])
        assert Tree.from_nltk(chunked).to_bracket() == "{S{NP{the/DT}{dog/NN}}{barks/VBZ}}"
        assert Tree.from_nltk(chunked, words=False).to_bracket() == "{S{NP}}"
        parented = nltk.ParentedTree.fromstring("(S (NP (DT a)) (VP (VB go)))")
        assert Tree.from_nltk(parented) == Tree.from_ptb("(S (NP (DT a)) (VP (VB go)))")
        with pytest.raises(TypeError, match="from_nltk takes an nltk.Tree, not str"):
            Tree.from_nltk("(S x)")


# ---------------------------------------------------------------- CoNLL-U

SAMPLE = """\
# sent_id = s1
# text = I haven't seen it.
1\tI\tI\tPRON\tPRP\tCase=Nom\t4\tnsubj\t_\t_
2-3\thaven't\t_\t_\t_\t_\t_\t_\t_\t_
2\thave\thave\tAUX\tVBP\t_\t4\taux\t_\t_
3\tn't\tnot\tPART\tRB\t_\t4\tadvmod\t_\t_
4\tseen\tsee\tVERB\tVBN\t_\t0\troot\t_\t_
4.1\tseen\tsee\tVERB\t_\t_\t_\t_\t0:root\t_
5\tit\tit\tPRON\tPRP\t_\t4\tobj\t_\tSpaceAfter=No
6\t.\t.\tPUNCT\t.\t_\t4\tpunct\t_\t_

# sent_id = s2
1\tGo\tgo\tVERB\tVB\t_\t0\troot\t_\t_
2\t!\t!\tPUNCT\t.\t_\t1\tpunct\t_\t_
"""


class TestConllu:
    def test_sample(self):
        tree = Tree.from_conllu(SAMPLE, sentence=1)
        assert tree.to_bracket() == "{{root{nsubj}{aux}{advmod}{obj}{punct}}}"
        assert Tree.from_conllu(SAMPLE, sentence=1, label="form").to_bracket() == "{{seen{I}{have}{n't}{it}{.}}}"
        assert Tree.from_conllu(SAMPLE, sentence=2, label="upos").to_bracket() == "{{VERB{PUNCT}}}"
        assert Tree.from_conllu(SAMPLE, sentence=1, label=lambda t: t.lemma + "/" + t.feats).labels[2] == "I/Case=Nom"
        first = parse_conllu(SAMPLE)[0]
        assert [w.id for w in first.words] == ["1", "2", "3", "4", "5", "6"]
        assert [t.id for t in first.multiword_tokens] == ["2-3"] and [t.id for t in first.empty_nodes] == ["4.1"]
        assert first.metadata == {"sent_id": "s1", "text": "I haven't seen it."} and first.lineno == 1
        assert tree.source[0] == first and tree.source[1] == first.words[3]
        assert isinstance(tree.source[2], ConlluToken) and tree.source[2].lineno == 3 and tree.source[2].form == "I"
        assert Tree.from_conllu(("\ufeff" + SAMPLE.replace("\n", "\r\n")).encode(), sentence=1) == tree
        both = Tree.from_conllu(SAMPLE, sentence="all")
        assert both.children(0) == (1, 8) and both.labels[:2] == ("", "")

    @pytest.mark.parametrize("line, replacement, message", [
        ("1\tI\tI\tPRON", "1\tI\tI PRON", r"sentence 1 \(s1\), line 3: 9 columns"),
        ("5\tit\t", "5x\tit\t", r"sentence 1 \(s1\), line 9: ID '5x' is not a word"),
        ("\t4\tobj", "\tfour\tobj", r"sentence 1 \(s1\), line 9: HEAD 'four' of word 5"),
        ("\t4\tobj", "\t9\tobj", r"sentence 1 \(s1\), line 9: HEAD 9 is not 0 or a word .*\(1 to 6\)"),
        ("\t4\tnsubj", "\t5\tnsubj", None),  # a valid tree still
        ("\t0\troot\t_\t_\n4.1", "\t5\troot\t_\t_\n4.1",
         r"sentence 1 \(s1\), line 3: word 1 is not below the root: its heads form a cycle"),
        ("6\t.\t.", "7\t.\t.", r"sentence 1 \(s1\), line 10: word ID 7 where 6 was due"),
        ("2\t!\t!", "# late\n2\t!\t!", r"sentence 2 \(s2\), line 14: a comment among the words"),
        ("# sent_id = s2\n", "# sent_id = s2\n\n", r"sentence 2 \(s2\), line 13: the sentence ends before"),
    ])
    def test_errors_name_the_sentence_and_line(self, line, replacement, message):
        assert line in SAMPLE
        text = SAMPLE.replace(line, replacement, 1)
        if message is None:
            Tree.from_conllu(text, sentence="all")
            return
        with pytest.raises(ValueError, match="^CoNLL-U: " + message):
            Tree.from_conllu(text, sentence="all")

    def test_bad_arguments(self):
        with pytest.raises(ValueError, match="label must be a CoNLL-U column"):
            Tree.from_conllu(SAMPLE, sentence=1, label="dep")
        with pytest.raises(TypeError, match="from_conllu takes CoNLL-U text"):
            Tree.from_conllu(42)
        with pytest.raises(ValueError, match="2 sentences; pass sentence=N"):
            Tree.from_conllu(SAMPLE)

    def test_random_sentences_against_the_heads(self):
        rng = random.Random(11)
        for k in range(200):
            heads = random_heads(rng, rng.randint(1, 25), roots=rng.choice([1, 1, 2]))
            text = conllu_text(rng, heads, f"r{k}")
            (sentence,) = parse_conllu(text)
            for column in ("deprel", "form", "upos"):
                labels = [getattr(w, column) for w in sentence.words]
                assert Tree.from_conllu(text, label=column) == dependency_reference(labels, heads)

    def test_random_sentences_against_the_conllu_package(self):
        conllu = pytest.importorskip("conllu")
        rng = random.Random(12)
        texts = [conllu_text(rng, random_heads(rng, rng.randint(1, 25)), f"c{k}") for k in range(100)]
        document = "".join(texts)
        parsed = conllu.parse(document)
        assert len(parsed) == 100
        for k, (text, token_list) in enumerate(zip(texts, parsed), 1):
            for column in ("deprel", "lemma", "feats", "deps", "misc"):
                theirs = Tree.from_conllu(token_list, label=column)
                assert theirs == Tree.from_conllu(text, label=column)
            assert theirs.source[0] is token_list
        assert Tree.from_conllu(document, sentence="all") == Tree._from_preorder(
            *grix.readers.parse_trees.join_under_root(
                grix.readers.conllu_tree(sentence) for sentence in parsed))
        broken = parsed[0]
        broken[0]["head"] = 99
        with pytest.raises(ValueError, match=r"^CoNLL-U: sentence 1 \(c0\), word 1: HEAD 99"):
            Tree.from_conllu(broken)


# ---------------------------------------------------------------- spaCy


class StandInToken:
    """What the reader uses of a spaCy Token."""

    def __init__(self, i, text, dep, pos):
        self.i, self.text, self.dep_, self.pos_, self.tag_, self.lemma_ = i, text, dep, pos, pos, text.lower()
        self.head = self

    def __str__(self):
        return self.text


class StandInDoc(list):
    """What the reader uses of a spaCy Doc: its tokens and has_annotation."""

    def __init__(self, words, heads, deps, pos):
        super().__init__(StandInToken(i, w, d, p) for i, (w, d, p) in enumerate(zip(words, deps, pos)))
        for token, head in zip(self, heads):
            token.head = self[head]
        self.parsed = True

    def has_annotation(self, what):
        return self.parsed


def random_parse(rng, n):
    heads = random_heads(rng, n, roots=rng.choice([1, 2]))
    words = [rng.choice(WORDS) for _ in heads]
    deps = [rng.choice(DEPRELS) for _ in heads]
    pos = [rng.choice(UPOS) for _ in heads]
    # spaCy marks a root as its own head; positions count from 0.
    absolute = [i if h == 0 else h - 1 for i, h in enumerate(heads)]
    return heads, words, deps, pos, absolute


class TestSpacy:
    def test_stand_in(self):
        rng = random.Random(13)
        for _ in range(150):
            heads, words, deps, pos, absolute = random_parse(rng, rng.randint(1, 20))
            doc = StandInDoc(words, absolute, deps, pos)
            assert Tree.from_spacy(doc) == dependency_reference(deps, heads)
            assert Tree.from_spacy(doc, label="form") == dependency_reference(words, heads)
            assert Tree.from_spacy(doc, label="pos") == dependency_reference(pos, heads)
            tree = Tree.from_spacy(doc)
            assert tree.source[0] is doc and sorted(t.i for t in tree.source[1:]) == list(range(len(words)))

    def test_span_and_errors(self):
        doc = StandInDoc(["I", "saw", "it", "go"], [1, 1, 3, 1], ["nsubj", "ROOT", "nsubj", "ccomp"], ["P"] * 4)
        # In a span, a word whose head lies outside is a root.
        assert Tree.from_spacy(doc[2:4]).to_bracket() == "{{ccomp{nsubj}}}"
        assert Tree.from_spacy(doc[0:1], label="text").to_bracket() == "{{I}}"
        doc[1].head, doc[3].head = doc[3], doc[1]
        with pytest.raises(ValueError, match=r"spaCy StandInDoc: token 0 \('I'\) is not below a root"):
            Tree.from_spacy(doc)
        doc.parsed = False
        with pytest.raises(ValueError, match="no dependency parse"):
            Tree.from_spacy(doc)
        with pytest.raises(ValueError, match="label must be one of"):
            Tree.from_spacy(doc, label="head")
        with pytest.raises(TypeError, match="from_spacy takes a spaCy Doc or Span, not int"):
            Tree.from_spacy(3)

    def test_real_spacy(self):
        pytest.importorskip("spacy")
        from spacy.tokens import Doc
        from spacy.vocab import Vocab

        rng = random.Random(14)
        vocab = Vocab()
        for _ in range(50):
            heads, words, deps, pos, absolute = random_parse(rng, rng.randint(1, 20))
            doc = Doc(vocab, words=words, heads=absolute, deps=deps, pos=pos)
            assert Tree.from_spacy(doc) == dependency_reference(deps, heads) == Tree.from_spacy(
                StandInDoc(words, absolute, deps, pos))
            assert Tree.from_spacy(doc, label="upos") == dependency_reference(pos, heads)
            start = rng.randrange(len(words))
            span = doc[start:]
            assert Tree.from_spacy(span) == Tree.from_spacy(StandInDoc(words, absolute, deps, pos)[start:])
        with pytest.raises(ValueError, match="spaCy Doc: no dependency parse"):
            Tree.from_spacy(Doc(vocab, words=["a", "b"]))


# ---------------------------------------------------------------- files and command line


@pytest.fixture
def parse_files(tmp_path):
    (tmp_path / "two.mrg").write_text(TestPennTreebank.text)
    (tmp_path / "one.ptb").write_text("(S (NP (NN dogs)) (VP (VBP bark)))")
    (tmp_path / "two.conllu").write_text(SAMPLE)
    (tmp_path / "bad.conllu").write_text(SAMPLE.replace("\t4\tobj", "\t9\tobj"))
    return tmp_path


def test_load_and_load_all(parse_files):
    assert load(parse_files / "one.ptb").labels[0] == "S"
    assert load(parse_files / "two.mrg", sentence=2) == Tree.from_ptb("(FRAG (NN dog))")
    with pytest.raises(ValueError, match=r"two\.mrg: Penn Treebank: 2 sentences; pass sentence=N"):
        load(parse_files / "two.mrg")
    assert load_all(parse_files / "two.mrg") == [Tree.from_ptb(TestPennTreebank.text, sentence=k) for k in (1, 2)]
    assert load_all(parse_files / "two.conllu", label="upos")[1].to_bracket() == "{{VERB{PUNCT}}}"
    assert load(parse_files / "two.conllu", sentence="all") == Tree.from_conllu(SAMPLE, sentence="all")
    assert load_all(parse_files / "one.ptb") == [load(parse_files / "one.ptb")]
    with pytest.raises(ValueError, match=r"bad\.conllu: CoNLL-U: sentence 1 \(s1\), line 9: HEAD 9"):
        load_all(parse_files / "bad.conllu")


@pytest.mark.parametrize("args, code, out, err", [
    (("one.ptb", "two.mrg", "--sentence", "1"), 0, "6\n", ""),
    (("two.conllu", "two.conllu", "--sentence", "all"), 0, "0\n", ""),
    (("two.conllu", "two.mrg", "--sentence", "2", "--label", "form"), 0, "3\n", ""),
    (("two.mrg", "one.ptb"), 1, "", "grix: two.mrg: Penn Treebank: 2 sentences; pass --sentence N (from 1)"),
    (("one.ptb", "two.conllu"), 1, "", "grix: two.conllu: CoNLL-U: 2 sentences; pass --sentence N (from 1) "
     "for one, or --sentence all"),
    (("bad.conllu", "one.ptb", "--sentence", "1"), 1, "",
     "grix: bad.conllu: CoNLL-U: sentence 1 (s1), line 9: HEAD 9 is not 0 or a word"),
    (("one.ptb", "one.ptb", "--sentence", "0"), 2, "", "argument --sentence: '0' is not a sentence number"),
])
def test_command_line(parse_files, args, code, out, err):
    run = subprocess.run([sys.executable, "-m", "grix", "distance", *args], capture_output=True, text=True,
                         cwd=parse_files, timeout=120)
    assert run.returncode == code and run.stdout == out
    assert err in run.stderr and (code != 1 or run.stderr.count("\n") == 1)


def test_example_runs():
    example = pathlib.Path(__file__).parents[2] / "examples" / "parse_trees.py"
    run = subprocess.run([sys.executable, str(example)], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    table = [line.split() for line in run.stdout.splitlines()[1:4]]
    assert table == [["telescope", "2", "3", "1", "1"], ["arrow", "3", "3", "6", "4"], ["know", "0", "1", "1", "1"]]
    assert "'man' (word 4, line 5 of a.conllu)" in run.stdout
