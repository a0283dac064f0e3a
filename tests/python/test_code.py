"""Code in many languages through tree-sitter: conversion, distances,
mappings, diffs, files and the command line, and TSED against the `tsed`
package. Everything skips without the bindings (the `code` extra); each
language skips without its grammar."""

import gzip
import json
import pickle
import subprocess
import sys
import types
from pathlib import Path

import numpy as np
import pytest

import grix
from grix import cli
from grix.readers import treesitter
from grix_helpers import check_valid_mapping, mapping_cost
from tree_helpers import apted_distance

tree_sitter = pytest.importorskip("tree_sitter")

DATA = Path(__file__).parent.parent / "data" / "code"

# One small program per language and an edit of it: the variable `total`
# becomes `sum` and the literal 1 becomes 2, both on the program's third line.
PROGRAMS = {
    "python": ("def add(xs):\n    total = 0\n    for x in xs: total += x * 1\n    return total\n", ".py"),
    "javascript": ("function add(xs) {\n  let total = 0;\n  for (const x of xs) total += x * 1;\n"
                   "  return total;\n}\n", ".js"),
    "typescript": ("function add(xs: number[]): number {\n  let total = 0;\n"
                   "  for (const x of xs) total += x * 1;\n  return total;\n}\n", ".ts"),
    "tsx": ("function Add(xs: number[]) {\n  let total = 0;\n  for (const x of xs) total += x * 1;\n"
            "  return <b>{total}</b>;\n}\n", ".tsx"),
    "java": ("class A {\n  int add(int[] xs) { int total = 0;\n    for (int x : xs) total += x * 1;\n"
             "    return total; }\n}\n", ".java"),
    "c": ("int add(int *xs, int n) {\n  int total = 0;\n  for (int i = 0; i < n; i++) total += xs[i] * 1;\n"
          "  return total;\n}\n", ".c"),
    "cpp": ("int add(std::vector<int> xs) {\n  int total = 0;\n  for (int x : xs) total += x * 1;\n"
            "  return total;\n}\n", ".cpp"),
    "c_sharp": ("class A {\n  int Add(int[] xs) { int total = 0;\n    foreach (var x in xs) total += x * 1;\n"
                "    return total; }\n}\n", ".cs"),
    "go": ("func add(xs []int) int {\n\ttotal := 0\n\tfor _, x := range xs { total += x * 1 }\n"
           "\treturn total\n}\n", ".go"),
    "rust": ("fn add(xs: &[i32]) -> i32 {\n    let mut total = 0;\n    for x in xs { total += x * 1; }\n"
             "    total\n}\n", ".rs"),
    "ruby": ("def add(xs)\n  total = 0\n  xs.each { |x| total += x * 1 }\n  total\nend\n", ".rb"),
    "php": ("<?php\nfunction add($xs) { $total = 0;\n  foreach ($xs as $x) { $total += $x * 1; }\n"
            "  return $total; }\n", ".php"),
    "kotlin": ("fun add(xs: List<Int>): Int {\n    var total = 0\n    for (x in xs) total += x * 1\n"
               "    return total\n}\n", ".kt"),
    "swift": ("func add(xs: [Int]) -> Int {\n    var total = 0\n    for x in xs { total += x * 1 }\n"
              "    return total\n}\n", ".swift"),
    "scala": ("def add(xs: List[Int]): Int = {\n  var total = 0\n  for (x <- xs) total += x * 1\n"
              "  total\n}\n", ".scala"),
    "lua": ("function add(xs)\n  local total = 0\n  for _, x in ipairs(xs) do total = total + x * 1 end\n"
            "  return total\nend\n", ".lua"),
    "bash": ("add() {\n  total=0\n  for x in \"$@\"; do total=$((total + x * 1)); done\n"
             "  echo $total\n}\n", ".sh"),
}
LANGUAGES = sorted(PROGRAMS)


def edited(program):
    lines = program.split("\n")
    lines[2] = lines[2].replace("total", "sum").replace("* 1", "* 2")
    return "\n".join(lines)


def grammar(language):
    module, _, package = treesitter.GRAMMARS[language]
    pytest.importorskip(module, reason=f"{package} is not installed")


def recursive_reading(node, anonymous=False, text=True):
    """The tree as the documentation describes it, read through node.children."""
    labels, parents = [], []

    def visit(node, parent):
        if not (anonymous or node.is_named or node.is_missing):
            for child in node.children:
                visit(child, parent)
            return
        if node.is_missing:
            label = f"MISSING:{node.type}"
        elif node.is_named and not node.children and text and not node.is_extra:
            label = treesitter.label_with_text(node.type, node.text.decode())
        else:
            label = node.type
        index = len(labels)
        labels.append(label)
        parents.append(parent)
        for child in node.children:
            visit(child, index)

    visit(node, -1)
    return labels, parents


def parse(language, text):
    return tree_sitter.Parser(treesitter.load_language(language)).parse(text.encode())


@pytest.mark.parametrize("language", LANGUAGES)
def test_language_converts_compares_maps_and_diffs(language, tmp_path):
    grammar(language)
    before, suffix = PROGRAMS[language]
    after = edited(before)
    t1 = grix.Tree.from_tree_sitter(before, language)
    t2 = grix.Tree.from_tree_sitter(after, language)
    assert not t1.has_errors and not t2.has_errors
    # The cursor walk against a plain recursive reading of the same parse.
    assert (list(t1.labels), t1.parents.tolist()) == recursive_reading(parse(language, before).root_node)
    assert any(label.endswith(":total") for label in t1.labels)
    found = treesitter.function_nodes(before, language)
    assert [treesitter.function_name(node).lower() for node in found] == ["add"]
    assert grix.Tree.from_tree_sitter(found[0]).labels == t1.labels[t1.labels.index(found[0].type):][:len(
        grix.Tree.from_tree_sitter(found[0]))]
    changed = [(a, b) for a, b in zip(t1.labels, t2.labels) if a != b]
    assert changed and all(b.endswith((":sum", ":2", "sum", "2")) for _, b in changed)

    d = grix.distance(t1, t2)
    as_lists = [(list(t.labels), t.parents.tolist()) for t in (t1, t2)]
    assert d == apted_distance(*as_lists, lambda i, j: int(t1.labels[i] != t2.labels[j]))
    m = grix.mapping(t1, t2)
    check_valid_mapping(t1, t2, m.pairs)
    assert mapping_cost(m, lambda i, j: int(t1.labels[i] != t2.labels[j])) == m.distance == d

    text = grix.diff.render_text(m)
    renamed = [line for line in text.splitlines() if line.lstrip().startswith("~ ")]
    assert renamed and all(line.endswith("(line 3)") for line in renamed)
    assert 3 in grix.diff.mapping_to_json(m)["lines2"]

    # The same through files, chosen by suffix, and through the command line.
    first, second = tmp_path / f"a{suffix}", tmp_path / f"b{suffix}"
    first.write_text(before)
    second.write_text(after)
    read = grix.load(first, format="tree-sitter" if suffix == ".py" else None)
    assert read == t1 and isinstance(read.source[0], treesitter.CodeSpan)
    page = tmp_path / "diff.html"
    args = ["diff", str(first), str(second), "--html", str(page)]
    if suffix == ".py":
        args += ["--format", "tree-sitter"]
    assert cli.main(args) == 0
    assert "(line 3)" in page.read_text() or '"lines2"' in page.read_text()


@pytest.mark.parametrize("language", ["javascript", "python", "c"])
def test_real_files_read_as_their_s_expressions(language):
    """On every sample file: the cursor walk equals the recursive reading,
    and the default tree has the nodes TSED counts."""
    grammar(language)
    for path in sorted((DATA / language).iterdir()):
        text = path.read_text()
        tree = grix.Tree.from_tree_sitter(text, language)
        root = parse(language, text).root_node
        assert (list(tree.labels), tree.parents.tolist()) == recursive_reading(root), path.name
        assert len(tree) == treesitter.read_tsed(text, language)[1] == len(grix.tsed_tree(text, language))
        assert tree.has_errors == root.has_error
        anonymous = grix.Tree.from_tree_sitter(root, anonymous=True, text=False)
        assert (list(anonymous.labels), anonymous.parents.tolist()) == recursive_reading(
            root, anonymous=True, text=False)


def test_python_files_keep_the_ast_reader(tmp_path):
    grammar("python")
    path = tmp_path / "a.py"
    path.write_text("x = 1\n")
    assert grix.load(path).labels[0] == "Module"
    assert grix.load(path, format="tree-sitter").labels[0] == "module"
    assert grix.load(path, format="tree-sitter", language="python").labels[0] == "module"


@pytest.mark.parametrize("options, wanted, unwanted", [
    ({}, {"identifier:f", "comment", "number:1"}, {"(", "return", "comment:// note"}),
    ({"anonymous": True}, {"(", "return", ";", "identifier:f"}, set()),
    ({"text": False}, {"identifier", "number"}, {"identifier:f"}),
    ({"comments": True}, {"comment:// note"}, {"comment"}),
])
def test_label_options(options, wanted, unwanted):
    grammar("javascript")
    source = "function f(a) { return a + 1; } // note\n"
    tree = grix.Tree.from_tree_sitter(source, "javascript", **options)
    assert wanted <= set(tree.labels) and not unwanted & set(tree.labels)
    if options.get("anonymous"):
        assert (list(tree.labels), tree.parents.tolist()) == recursive_reading(
            parse("javascript", source).root_node, anonymous=True)


def test_long_text_and_sources():
    grammar("javascript")
    name = "x" * 60
    tree = grix.Tree.from_tree_sitter(f"let {name} = 1;\nlet y{name} = 2;\n".encode(), "js")
    long = [label for label in tree.labels if label.startswith("identifier:")]
    assert long[0] == treesitter.label_with_text("identifier", name) and len(long[0]) < 80
    assert long[0] != long[1]
    span = tree.source[tree.labels.index(long[1])]
    assert (span.lineno, span.start_point, span.end_byte - span.start_byte) == (2, (1, 4), 61)
    again = pickle.loads(pickle.dumps(tree))
    assert again == tree and again.source == tree.source


def test_tree_sitter_objects_and_parsers():
    grammar("c")
    parsed = parse("c", "int f(void) { return 1; }\n")
    by_tree = grix.Tree.from_tree_sitter(parsed)
    assert grix.Tree.from_tree_sitter(parsed.root_node) == by_tree
    body = parsed.root_node.children[0].child_by_field_name("body")
    assert grix.Tree.from_tree_sitter(body).labels == ("compound_statement", "return_statement", "number_literal:1")
    language = treesitter.load_language("c")
    assert grix.Tree.from_tree_sitter("int f(void) { return 1; }\n", language) == by_tree
    assert grix.Tree.from_tree_sitter("int f(void) { return 1; }\n", tree_sitter.Parser(language)) == by_tree


def test_syntax_errors_convert_and_strict_refuses():
    grammar("javascript")
    broken = "let a = 1;\nfunction f( { return a + ; }\n"
    tree = grix.Tree.from_tree_sitter(broken, "javascript")
    assert tree.has_errors and ("ERROR" in tree.labels or any(s.startswith("MISSING") for s in tree.labels))
    with pytest.raises(ValueError, match=r"syntax error at line 2, column \d+"):
        grix.Tree.from_tree_sitter(broken, "javascript", strict=True)
    assert not grix.Tree.from_bracket("{a}").has_errors
    missing = grix.Tree.from_tree_sitter("f(a + );", "javascript")
    assert "MISSING:identifier" in missing.labels and missing.has_errors


@pytest.mark.parametrize("call, error, message", [
    (lambda: grix.Tree.from_tree_sitter(b"int\0main", "c"), ValueError, "binary, not source text .*offset 3"),
    (lambda: grix.Tree.from_tree_sitter(b"int \xff;", "c"), ValueError, "not UTF-8 text .*0xff at offset 4"),
    (lambda: grix.Tree.from_tree_sitter("x", "cobol"), ValueError, "no tree-sitter grammar is known for 'cobol'"),
    (lambda: grix.Tree.from_tree_sitter("x"), TypeError, "needs language="),
    (lambda: grix.Tree.from_tree_sitter(3, "c"), TypeError, "not int"),
    (lambda: grix.Tree.from_tree_sitter("x", 3), TypeError, "language must be"),
])
def test_bad_input_is_one_line(call, error, message):
    grammar("c")
    with pytest.raises(error, match=message) as caught:
        call()
    assert "\n" not in str(caught.value)


def test_missing_grammar_names_the_package(monkeypatch, tmp_path):
    real_import = treesitter.importlib.import_module

    def no_go(name, *args):
        if name == "tree_sitter_go":
            raise ImportError(name)
        return real_import(name, *args)

    monkeypatch.setattr(treesitter.importlib, "import_module", no_go)
    treesitter.load_language.cache_clear()
    try:
        with pytest.raises(treesitter.MissingGrammarError, match="pip install tree-sitter-go"):
            grix.Tree.from_tree_sitter("package main", "go")
        path = tmp_path / "main.go"
        path.write_text("package main\n")
        with pytest.raises(ImportError, match="tree-sitter-go"):
            grix.load(path)
        assert cli.main(["distance", str(path), str(path)]) == 1
    finally:
        treesitter.load_language.cache_clear()


@pytest.mark.parametrize("content, args, status, message", [
    (b"int\0x;", [], 1, "binary, not source text"),
    (b"int \xfe;", [], 1, "not UTF-8"),
    (b"int x;", ["--language", "cobol"], 1, "no tree-sitter grammar is known for 'cobol'"),
    (b"int x;", ["--language", "c", "--format", "json"], 2, "does not go with --format json"),
])
def test_command_line_errors(tmp_path, capsys, content, args, status, message):
    grammar("c")
    path = tmp_path / "a.c"
    path.write_bytes(content)
    if status == 2:
        with pytest.raises(SystemExit) as stopped:
            cli.main(["distance", str(path), str(path), *args])
        assert stopped.value.code == 2
    else:
        assert cli.main(["distance", str(path), str(path), *args]) == status
    err = capsys.readouterr().err.strip()
    if status == 2:  # argparse puts its usage line first
        err = err.splitlines()[-1]
    assert message in err and "\n" not in err


def test_command_line_unknown_suffix_and_language(tmp_path, capsys):
    grammar("c")
    path = tmp_path / "a.txt"
    path.write_text("int x;\n")
    assert cli.main(["distance", str(path), str(path), "--format", "tree-sitter"]) == 1
    assert "selects no tree-sitter language" in capsys.readouterr().err
    assert cli.main(["distance", str(path), str(path), "--language", "c"]) == 0
    assert capsys.readouterr().out.strip() == "0"


# -- TSED ---------------------------------------------------------------------

def tsed_package():
    """The `tsed` package's module, with the grammar wheels as its parsers
    (it asks tree_sitter_language_pack for them)."""
    pytest.importorskip("apted")
    pack = types.ModuleType("tree_sitter_language_pack")
    pack.get_parser = lambda name: tree_sitter.Parser(treesitter.load_language(name))
    pack.SupportedLanguage = str
    if "TSED" not in sys.modules:
        sys.modules.setdefault("tree_sitter_language_pack", pack)
    tsed = pytest.importorskip("TSED")
    return tsed, pack.get_parser


def test_the_reference_script_runs_the_package_beside_grix():
    # scripts/tsed_reference.py is how the README tells users to run the
    # package offline; it must run and agree with grix.
    tsed_package()
    a, b = sorted((DATA / "javascript").iterdir())[:2]
    script = Path(__file__).parents[2] / "scripts" / "tsed_reference.py"
    run = subprocess.run([sys.executable, str(script), str(a), str(b), "--language", "javascript"],
                         capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stderr
    reference, ours = (float(line.split(":")[1]) for line in run.stdout.splitlines())
    assert reference == pytest.approx(ours, abs=1e-12) and 0 < ours < 1


def fixture():
    with gzip.open(DATA / "tsed_fixture.json.gz", "rt", encoding="utf-8") as document:
        return json.load(document)


def test_tsed_matches_the_package_figures_on_real_files():
    """331 pairs of real files (JavaScript, Python, C) scored by the package
    (see make_tsed_fixture.py), on the S-expressions it read."""
    data = fixture()
    assert len(data["pairs"]) >= 100 and {p[0] for p in data["pairs"]} == {"javascript", "python", "c"}
    trees = {name: treesitter._tsed_preorder(sexp) for name, sexp in data["sexp"].items()}
    counts = {name: sexp.count(")") for name, sexp in data["sexp"].items()}
    built = {name: grix.Tree._of(tree) for name, tree in trees.items()}
    pairs = data["pairs"]
    firsts = [grix.tsed_tree(built[a]) for _, a, _, _ in pairs]
    seconds = [built[b] for _, _, b, _ in pairs]
    d = grix.paired(firsts, seconds, delete=1.0, insert=0.8, workers=2)
    for (language, a, b, expected), distance in zip(pairs, d):
        largest = max(counts[a], counts[b])
        got = 0.0 if distance > largest else (largest - distance) / largest
        assert got == pytest.approx(expected, abs=1e-12), (a, b)
    assert any(0 < p[3] < 1 for p in pairs)


def test_tsed_trees_match_the_package_reader():
    """The package's own S-expression reader on every fixture file and on
    texts whose parentheses do not balance."""
    tsed, _ = tsed_package()

    def as_lists(node):
        labels, parents, todo = [], [], [(node, -1)]
        while todo:
            node, parent = todo.pop()
            parents.append(parent)
            labels.append(node.name)
            todo += [(kid, len(labels) - 1) for kid in reversed(node.children)]
        return labels, parents

    texts = list(fixture()["sexp"].values()) + [
        '(a (MISSING ")") (b))', '(a (MISSING "(") (b))', "(a) (b (c))", "x (a (b)) y", "(a (b (c)",
        "(a))) (b)", "(a (UNEXPECTED '(') (b name: (c)))", "()",
    ]
    for text in texts:
        labels, parents, _ = treesitter._tsed_preorder(text)
        assert (labels, parents) == as_lists(tsed.parse_tree_string(text)), text


def test_tsed_live_against_the_package():
    """The package itself, end to end, on small real files of three
    languages and on snippets with syntax errors."""
    tsed, _ = tsed_package()
    cases = []
    for language in ("javascript", "python", "c"):
        grammar(language)
        paths = sorted((DATA / language).iterdir(), key=lambda p: p.stat().st_size)[:3]
        texts = [p.read_text() for p in paths]
        cases += [(language, texts[i], texts[j]) for i in range(3) for j in range(3) if i != j]
    cases += [("c", "int f( { return (; }", "int f(void) { return 0; }"),
              ("javascript", "f(a + );", "f(a + b);")]
    for language, a, b in cases:
        expected = tsed.Calculate(language, a, b, 1.0, 0.8, 1.0)
        assert grix.tsed(a, b, language=language) == pytest.approx(expected, abs=1e-12)
    language, a, b = cases[0]
    assert grix.tsed(a, b, language=language, delete=0.5, insert=1.5, rename=2.0) == pytest.approx(
        tsed.Calculate(language, a, b, 0.5, 1.5, 2.0), abs=1e-12)


def test_tsed_batches_agree_with_pairs():
    grammar("javascript")
    codes = [p.read_text() for p in sorted((DATA / "javascript").iterdir())[:5]]
    one = [[grix.tsed(a, b, language="javascript") for b in codes] for a in codes]
    square = grix.tsed_cdist(codes, codes, language="js", workers=2)
    assert square == pytest.approx(np.array(one), abs=1e-12)
    assert square.diagonal().tolist() == [1.0] * 5
    assert not (square == square.T).all()  # inserts cost less than deletes
    condensed = grix.tsed_pdist(codes, language="javascript", workers=1)
    first, second = zip(*[(i, j) for i in range(5) for j in range(i + 1, 5)])
    assert condensed == pytest.approx(square[first, second], abs=1e-12)
    # The square form keeps both directions and a program's similarity to itself.
    assert grix.tsed_pdist(codes, language="javascript", square=True) == pytest.approx(square, abs=1e-12)
    trees = [grix.tsed_tree(code, "javascript") for code in codes]
    assert grix.tsed_paired(trees, codes[::-1], language="javascript") == pytest.approx(
        [one[i][4 - i] for i in range(5)], abs=1e-12)
    assert grix.tsed("", "", language="javascript") == 1.0
    with pytest.raises(TypeError, match="sequence of programs"):
        grix.tsed_pdist("function f() {}", language="javascript")


def test_clone_finder_finds_the_copies_among_the_samples(capsys):
    for language in ("javascript", "python", "c"):
        grammar(language)
    path = Path(__file__).parent.parent.parent / "examples" / "clone_finder.py"
    namespace = {"__name__": "clone_finder", "__file__": str(path)}
    exec(compile(path.read_text(), str(path), "exec"), namespace)
    namespace["main"]([str(DATA), "--threshold", "0", "--top", "50"])
    out = capsys.readouterr().out
    assert "javascript" in out and "python" in out and " c" in out
    # email's four message_from_* readers are one function with four names.
    listed = [line for line in out.splitlines() if "email____init__.py" in line]
    assert {name for line in listed for name in line.split() if name.startswith("message_from_")} == {
        "message_from_string", "message_from_bytes", "message_from_file", "message_from_binary_file"}
    assert "8 pairs within 0 edits" in out
