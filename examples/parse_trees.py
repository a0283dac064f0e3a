"""Two parsers' outputs on the same sentences, compared tree by tree.

    python examples/parse_trees.py

Three English sentences, each parsed by two (made-up) parsers: dependency
parses as CoNLL-U, constituency parses as Penn Treebank bracket text. No
package ships a small treebank sample that installs without a download, so
the parses are written out here; the files go to a temporary folder and are
read back as users read theirs, with grix.load_all (one tree per sentence).

For dependency trees, labelling words by their form compares attachments
alone (the words are the same, so only moved words cost), and labelling by
deprel counts relabelled arcs as well. For constituency trees, words=False
compares the bracketing and tags without the words.
"""

import pathlib
import tempfile

import grix

# "I saw the man with a telescope": A attaches the telescope to the seeing,
# B to the man. "Time flies like an arrow": A has flies as the verb, B like.
# "They don't know": one multi-word token (2-3), labelled alike but for n't.
PARSER_A = """\
# sent_id = telescope
1\tI\tI\tPRON\tPRP\t_\t2\tnsubj\t_\t_
2\tsaw\tsee\tVERB\tVBD\t_\t0\troot\t_\t_
3\tthe\tthe\tDET\tDT\t_\t4\tdet\t_\t_
4\tman\tman\tNOUN\tNN\t_\t2\tobj\t_\t_
5\twith\twith\tADP\tIN\t_\t7\tcase\t_\t_
6\ta\ta\tDET\tDT\t_\t7\tdet\t_\t_
7\ttelescope\ttelescope\tNOUN\tNN\t_\t2\tobl\t_\t_
8\t.\t.\tPUNCT\t.\t_\t2\tpunct\t_\t_

# sent_id = arrow
1\tTime\ttime\tNOUN\tNN\t_\t2\tnsubj\t_\t_
2\tflies\tfly\tVERB\tVBZ\t_\t0\troot\t_\t_
3\tlike\tlike\tADP\tIN\t_\t5\tcase\t_\t_
4\tan\ta\tDET\tDT\t_\t5\tdet\t_\t_
5\tarrow\tarrow\tNOUN\tNN\t_\t2\tobl\t_\t_
6\t.\t.\tPUNCT\t.\t_\t2\tpunct\t_\t_

# sent_id = know
1\tThey\tthey\tPRON\tPRP\t_\t4\tnsubj\t_\t_
2-3\tdon't\t_\t_\t_\t_\t_\t_\t_\t_
2\tdo\tdo\tAUX\tVBP\t_\t4\taux\t_\t_
3\tn't\tnot\tPART\tRB\t_\t4\tadvmod\t_\t_
4\tknow\tknow\tVERB\tVB\t_\t0\troot\t_\t_
5\t.\t.\tPUNCT\t.\t_\t4\tpunct\t_\t_
"""

PARSER_B = (PARSER_A
            .replace("7\ttelescope\ttelescope\tNOUN\tNN\t_\t2\tobl", "7\ttelescope\ttelescope\tNOUN\tNN\t_\t4\tnmod")
            .replace("1\tTime\ttime\tNOUN\tNN\t_\t2\tnsubj", "1\tTime\ttime\tNOUN\tNN\t_\t2\tcompound")
            .replace("2\tflies\tfly\tVERB\tVBZ\t_\t0\troot", "2\tflies\tfly\tNOUN\tNNS\t_\t3\tnsubj")
            .replace("3\tlike\tlike\tADP\tIN\t_\t5\tcase", "3\tlike\tlike\tVERB\tVBP\t_\t0\troot")
            .replace("5\tarrow\tarrow\tNOUN\tNN\t_\t2\tobl", "5\tarrow\tarrow\tNOUN\tNN\t_\t3\tobj")
            .replace("6\t.\t.\tPUNCT\t.\t_\t2\tpunct", "6\t.\t.\tPUNCT\t.\t_\t3\tpunct")
            .replace("n't\tnot\tPART\tRB\t_\t4\tadvmod", "n't\tnot\tPART\tRB\t_\t4\tneg"))

CONSTITUENCY_A = """\
( (S (NP (PRP I)) (VP (VBD saw) (NP (DT the) (NN man))
        (PP (IN with) (NP (DT a) (NN telescope)))) (. .)) )
( (S (NP (NN Time)) (VP (VBZ flies) (PP (IN like) (NP (DT an) (NN arrow)))) (. .)) )
( (S (NP (PRP They)) (VP (VBP do) (RB n't) (VP (VB know))) (. .)) )
"""

CONSTITUENCY_B = """\
( (S (NP (PRP I)) (VP (VBD saw) (NP (NP (DT the) (NN man))
        (PP (IN with) (NP (DT a) (NN telescope))))) (. .)) )
( (S (NP (NN Time) (NNS flies)) (VP (VBP like) (NP (DT an) (NN arrow))) (. .)) )
( (S (NP (PRP They)) (VP (VBP do) (RB n't) (VB know)) (. .)) )
"""


def main() -> None:
    with tempfile.TemporaryDirectory() as folder:
        files = {}
        for name, text in [("a.conllu", PARSER_A), ("b.conllu", PARSER_B),
                           ("a.mrg", CONSTITUENCY_A), ("b.mrg", CONSTITUENCY_B)]:
            files[name] = pathlib.Path(folder, name)
            files[name].write_text(text, encoding="utf-8")

        sentences = [s.metadata["sent_id"] for s in grix.readers.parse_conllu(PARSER_A)]
        # One tree per sentence; the same files read with different labels.
        by_form = [grix.load_all(files[name], label="form") for name in ("a.conllu", "b.conllu")]
        by_deprel = [grix.load_all(files[name], label="deprel") for name in ("a.conllu", "b.conllu")]
        with_words = [grix.load_all(files[name]) for name in ("a.mrg", "b.mrg")]
        bracketing = [grix.load_all(files[name], words=False) for name in ("a.mrg", "b.mrg")]

        columns = {
            "attachment": grix.paired(*by_form),
            "attach.+deprel": grix.paired(*by_deprel),
            "constituents": grix.paired(*with_words),
            "no words": grix.paired(*bracketing),
        }
        print(f"{'sentence':<10}" + "".join(f"{name:>16}" for name in columns))
        for k, sentence in enumerate(sentences):
            print(f"{sentence:<10}" + "".join(f"{int(values[k]):>16}" for values in columns.values()))

        # The mapping points back to the tokens: which words does B attach otherwise?
        first_a, first_b = by_form[0][0], by_form[1][0]
        moved = grix.mapping(first_a, first_b)
        tokens = [first_a.source[i] for i in moved.deleted]
        print(f"\n{sentences[0]}: {moved.distance} edits; A's words that B attaches otherwise: "
              + ", ".join(f"{t.form!r} (word {t.id}, line {t.lineno} of a.conllu)" for t in tokens))
        print(grix.diff.render_text(moved), end="")

    try:
        import nltk
    except ImportError:
        return
    # nltk's trees convert as the bracket text does.
    tree = nltk.Tree.fromstring("(S (NP (NN Time) (NNS flies)) (VP (VBP like) (NP (DT an) (NN arrow))) (. .))")
    assert grix.Tree.from_nltk(tree) == with_words[1][1]
    print(f"\nnltk: {tree.label()} read with Tree.from_nltk is B's second tree")


if __name__ == "__main__":
    main()
