"""The command line, run as users run it: in a subprocess."""

import json
import os
import random
import signal
import subprocess
import sys
import time

import numpy as np
import pytest

import grix

from grix_helpers import STDLIB
from tree_helpers import random_tree


def grix_cli(*args, cwd=None):
    return subprocess.run([sys.executable, "-m", "grix", *map(str, args)], capture_output=True,
                          text=True, timeout=120, cwd=cwd)


@pytest.fixture
def files(tmp_path):
    made = {
        "a.py": "def f(x):\n    return x + 1\n",
        "b.py": "def f(x, y):\n    return x + y\n",
        "a.json": '{"name": "grix", "tags": ["a", "b"]}',
        "b.json": '{"name": "grix", "tags": ["a"]}',
        "a.xml": "<r><a/><b><c/></b></r>",
        "b.xml": "<r><b><c/></b></r>",
        "a.html": "<html><body><p>one<br>two<p>three</body></html>",
        "b.html": "<html><body><p>one</p></body></html>",
        "t.txt": "{a{b}{c}}",
        "bad.json": '{"a": [1, 2}',
        "bad.txt": "{a{b}",
        "app.conf": "<config><port>80</port></config>",
        "c.html": "<html><body><h1>Search</h1><p>Use bisection\nhere.</p></body></html>",
        "d.html": '<html><body><h1>Search</h1><p class="new">Use binary search here.</p></body></html>',
    }
    for name, text in made.items():
        (tmp_path / name).write_text(text)
    return tmp_path


class TestDistance:
    def test_bracket_strings(self):
        result = grix_cli("distance", "{a{b}{c}}", "{a{c}}")
        assert (result.returncode, result.stdout) == (0, "1\n")

    @pytest.mark.parametrize("suffix, expected", [("py", 2), ("json", 1), ("xml", 1), ("html", 4)])
    def test_files_by_suffix(self, files, suffix, expected):
        result = grix_cli("distance", files / f"a.{suffix}", files / f"b.{suffix}", "--json")
        assert result.returncode == 0, result.stderr
        assert json.loads(result.stdout)["distance"] == expected

    def test_format_option_and_workers(self, files):
        result = grix_cli("distance", files / "t.txt", "{a{b}}", "--format", "bracket", "--workers", "2")
        assert (result.returncode, result.stdout) == (0, "1\n")
        conf = grix_cli("distance", files / "app.conf", "{config{port{80}}}", "--format", "xml")
        assert (conf.returncode, conf.stdout) == (0, "0\n")
        for algorithm in ("keyroot", "strategy"):
            forced = grix_cli("distance", "{a{b}{c{d}}}", "{a{c}}", "--algorithm", algorithm)
            assert (forced.returncode, forced.stdout) == (0, "2\n")
        wrong = grix_cli("distance", "{a}", "{a}", "--algorithm", "fast")
        assert wrong.returncode == 2 and "invalid choice: 'fast'" in wrong.stderr

    @pytest.mark.parametrize("options, expected", [
        ((), 1), (("--no-text",), 0), (("--attributes",), 2), (("--no-text", "--attributes"), 1),
        (("--text", "--no-attributes", "--context"), 1)])
    def test_markup_options(self, files, options, expected):
        result = grix_cli("distance", files / "c.html", files / "d.html", *options)
        assert (result.returncode, result.stdout) == (0, f"{expected}\n"), result.stderr

    def test_python_contexts_on_request(self, files):
        plain = grix_cli("distance", files / "a.py", files / "b.py", "--json")
        kept = grix_cli("distance", files / "a.py", files / "b.py", "--json", "--context")
        assert json.loads(kept.stdout)["nodes1"] == json.loads(plain.stdout)["nodes1"] + 1  # x is read

    @pytest.mark.parametrize("args, words", [
        (("missing.py", "{a}"), "grix: missing.py: no such file\n"),
        (("bad.json", "{a}"), "grix: bad.json: Expecting ',' delimiter: line 1 column 12 (char 11)\n"),
        (("bad.txt", "{a}"), "grix: bad.txt: bracket text: unclosed '{' opened at offset 0\n"),
        (("{a}}", "{a}"), "grix: {a}}: bracket text: text after the tree at offset 3\n"),
        (("", ""), "grix: '': expected a file, or bracket text such as '{a{b}}'\n"),
        ((".", "{a}"), "grix: .: is a directory\n"),
        (("app.conf", "{a}"), "grix: app.conf: the suffix '.conf' selects no reader and the text is not "
         "bracket text (it does not start with '{'); choose a reader with --format "
         + "|".join(grix.readers.FORMATS) + "\n"),
    ])
    def test_bad_input_is_one_line_naming_it_once_and_status_1(self, files, args, words):
        result = grix_cli("distance", *args, cwd=files)
        assert (result.returncode, result.stderr) == (1, words)

    @pytest.mark.parametrize("args", [
        (), ("distance", "{a}"), ("distanc", "{a}", "{b}"), ("distance", "{a}", "{b}", "--workers", "x"),
        ("distance", "{a}", "{b}", "--workers", "0"), ("distance", "{a}", "{b}", "--threads", "2"),
        ("diff", "{a}", "{b}", "--fold", "-1"), ("distance", "{a}", "{b}", "--timeout", "-1"),
        ("pdist", "{a}", "{b}", "--out", "m.txt"), ("pdist", "{a}", "{b}", "--threshold", "-1"),
        ("pdist", "{a}", "{b}", "--threshold", "1", "--out", "m.npy"),
    ])
    def test_usage_errors_are_status_2(self, args, tmp_path):
        result = grix_cli(*args, cwd=tmp_path)
        assert result.returncode == 2 and "usage:" in result.stderr
        assert not list(tmp_path.iterdir())  # refused before any output

    def test_interrupt_is_status_130(self, tmp_path):
        rng = random.Random(5)
        for name in ("a.tree", "b.tree"):  # about 3.5 s of CPU time on a quiet machine
            tree = grix.Tree.from_parents(*random_tree(rng, 12000, "abcd"))
            (tmp_path / name).write_text(tree.to_bracket())
        run = subprocess.Popen([sys.executable, "-m", "grix", "distance", "a.tree", "b.tree"], cwd=tmp_path,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        # Interrupt by CPU time spent, not by the clock: a loaded machine slows the wait and the work alike,
        # so the signal lands inside the distance with seconds to spare either way.
        while run.poll() is None and cpu_seconds(run.pid) < 1.2:
            time.sleep(0.02)
        if run.poll() is not None:
            pytest.skip("the distance was done before the interrupt")
        run.send_signal(signal.SIGINT)
        out, err = run.communicate(timeout=60)
        assert (run.returncode, out, err) == (130, "", "grix: interrupted\n")


def cpu_seconds(pid):
    """User and system time of a running process, from /proc."""
    try:
        with open(f"/proc/{pid}/stat") as stat:
            fields = stat.read().rsplit(")", 1)[1].split()
    except FileNotFoundError:
        return 0.0
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def test_diff_text_json_and_html(files, tmp_path):
    page = tmp_path / "out.html"
    text = grix_cli("diff", files / "a.py", files / "b.py", "--html", page)
    assert text.returncode == 0, text.stderr
    assert "+ " in text.stdout and "~ " in text.stdout
    assert page.read_text().lstrip().lower().startswith("<!doctype html")
    assert "(line 1)" in text.stdout and "(line 2)" in text.stdout
    data = json.loads(grix_cli("diff", files / "a.py", files / "b.py", "--json").stdout)
    assert data["distance"] == 2 and len(data["inserted"]) + len(data["deleted"]) + len(data["renamed"]) == 2
    assert data["lines1"][:2] == [None, 1] and len(data["lines2"]) == data["nodes2"]


def test_diff_of_json_gives_the_lines_of_the_changes(tmp_path):
    (tmp_path / "a.json").write_text('{\n "name": "x",\n "items": [1, 2, 3],\n "on": true\n}\n')
    (tmp_path / "b.json").write_text('{\n "name": "y",\n "items": [1, 3],\n "on": false,\n "new": null\n}\n')
    text = grix_cli("diff", tmp_path / "a.json", tmp_path / "b.json").stdout
    assert '~ "x" → "y"  (line 2)' in text and "- 2  (line 3)" in text and "+ new  (line 5)" in text
    data = json.loads(grix_cli("diff", tmp_path / "a.json", tmp_path / "b.json", "--json").stdout)
    assert data["lines1"] == [1, 3, 3, 3, 3, 3, 2, 2, 4, 4]


def test_diff_of_html_shows_the_changed_text(files):
    result = grix_cli("diff", files / "c.html", files / "d.html")
    assert "~ Use bisection here. → Use binary search here." in result.stdout
    assert grix_cli("diff", files / "c.html", files / "d.html", "--no-text").stdout.count("~") == 0


@pytest.mark.parametrize("command", ["diff", "distance"])
def test_a_closed_pipe_ends_quietly(files, command):
    # The reader is gone before the first line, as when `| head` has exited.
    read_end, write_end = os.pipe()
    os.close(read_end)
    with open(write_end, "wb") as stdout:
        run = subprocess.run([sys.executable, "-m", "grix", command, "a.py", "b.py"], cwd=files,
                             stdout=stdout, stderr=subprocess.PIPE, timeout=120)
    assert (run.returncode, run.stderr) == (141, b"")


class TestPdist:
    def test_matrix_as_npz_npy_and_csv_with_the_file_order(self, files, tmp_path):
        names = [str(files / name) for name in ("a.py", "b.py", "t.txt")]
        assert grix_cli("pdist", *names, "--out", tmp_path / "m.npz", "--workers", "2").returncode == 0
        saved = np.load(tmp_path / "m.npz")
        matrix = saved["matrix"]
        assert saved["files"].tolist() == names
        assert matrix.shape == (3, 3) and matrix[0, 1] == 2 and (matrix == matrix.T).all()
        result = grix_cli("pairwise", *names, "--out", tmp_path / "m.npy")
        assert (np.load(tmp_path / "m.npy") == matrix).all() and "m.files.txt" in result.stderr
        assert (tmp_path / "m.files.txt").read_text().splitlines() == names
        csv = grix_cli("pdist", *names).stdout.splitlines()
        assert len(csv) == 4 and csv[1].split(",")[1:] == [str(v) for v in matrix[0]]

    def test_threshold_lists_the_close_pairs(self, files):
        names = [files / "a.xml", files / "b.xml", files / "t.txt"]
        result = grix_cli("pdist", *names, "--threshold", "1")
        assert result.returncode == 0
        assert result.stdout.splitlines() == ["file1,file2,distance", f"{files / 'a.xml'},{files / 'b.xml'},1"]
        assert "pruned" in result.stderr
        assert grix_cli("pdist", *names, "--threshold", "1", "--out", files / "close.npz").returncode == 0
        saved = np.load(files / "close.npz")
        assert saved["pairs"].tolist() == [[0, 1, 1]] and saved["files"].tolist() == list(map(str, names))

    def test_a_bad_file_stops_with_status_1(self, files):
        result = grix_cli("pdist", files / "a.py", files / "bad.json")
        assert result.returncode == 1 and result.stderr.count("bad.json") == 1


def test_diff_page_title_tells_two_versions_of_one_file_apart(files, tmp_path):
    for version in ("3.11", "3.12"):
        (tmp_path / version).mkdir()
    (tmp_path / "3.11" / "argparse.py").write_text("x = 1\n")
    (tmp_path / "3.12" / "argparse.py").write_text("x = 2\n")
    page = tmp_path / "out.html"
    run = grix_cli("diff", "3.11/argparse.py", "3.12/argparse.py", "--html", page, cwd=tmp_path)
    assert run.returncode == 0, run.stderr
    assert "<title>grix diff 3.11/argparse.py → 3.12/argparse.py</title>" in page.read_text()
    from grix.cli.tree_commands import distinct_names
    assert distinct_names("/a/x/f.py", "/b/y/g.py") == ("f.py", "g.py")
    assert distinct_names("/same/f.py", "/same/f.py") == ("f.py", "f.py")
    assert distinct_names("f.py", "/x/y/f.py") == ("f.py", "y/f.py")


def test_nearest_with_the_corpus_first_says_how_to_separate_the_query(files):
    run = grix_cli("nearest", "--corpus", files / "a.py", files / "b.py", files / "a.py")
    assert run.returncode == 2 and "end the corpus with --" in run.stderr
    run = grix_cli("nearest", "--corpus", files / "a.py", files / "b.py", "--", files / "a.py")
    assert run.returncode == 0, run.stderr
    assert run.stdout.splitlines()[1].split(",")[1:] == ["1", str(files / "a.py"), "0"]


@pytest.mark.parametrize("command", ["distance", "diff", "pdist", "nearest"])
def test_help_states_each_markup_format_default(command):
    text = " ".join(grix_cli(command, "--help").stdout.split())
    assert "yes for XML, no for HTML" in text
