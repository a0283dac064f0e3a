"""The command line, run as users run it: in a subprocess."""

import json
import subprocess
import sys

import numpy as np
import pytest

from grix_helpers import STDLIB


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
    }
    for name, text in made.items():
        (tmp_path / name).write_text(text)
    return tmp_path


class TestDistance:
    def test_bracket_strings(self):
        result = grix_cli("distance", "{a{b}{c}}", "{a{c}}")
        assert (result.returncode, result.stdout) == (0, "1\n")

    @pytest.mark.parametrize("suffix, expected", [("py", 3), ("json", 1), ("xml", 1), ("html", 2)])
    def test_files_by_suffix(self, files, suffix, expected):
        result = grix_cli("distance", files / f"a.{suffix}", files / f"b.{suffix}", "--json")
        assert result.returncode == 0, result.stderr
        assert json.loads(result.stdout)["distance"] == expected

    def test_format_option_and_threads(self, files):
        result = grix_cli("distance", files / "t.txt", "{a{b}}", "--format", "bracket", "--threads", "2")
        assert (result.returncode, result.stdout) == (0, "1\n")

    @pytest.mark.parametrize("args, words", [
        (("missing.py", "{a}"), "missing.py: no such file"),
        (("bad.json", "{a}"), "bad.json"),
        (("bad.txt", "{a}"), "offset"),
        (("{a}}", "{a}"), "offset"),
    ])
    def test_bad_input_is_one_line_and_status_1(self, files, args, words):
        result = grix_cli("distance", *args, cwd=files)
        assert result.returncode == 1
        assert words in result.stderr and result.stderr.count("\n") == 1
        assert "Traceback" not in result.stderr

    @pytest.mark.parametrize("args", [(), ("distance", "{a}"), ("distanc", "{a}", "{b}"),
                                      ("distance", "{a}", "{b}", "--threads", "x")])
    def test_usage_errors_are_status_2(self, args):
        assert grix_cli(*args).returncode == 2


def test_diff_text_json_and_html(files, tmp_path):
    page = tmp_path / "out.html"
    text = grix_cli("diff", files / "a.py", files / "b.py", "--html", page)
    assert text.returncode == 0, text.stderr
    assert "+ " in text.stdout and "~ " in text.stdout
    assert page.read_text().lstrip().lower().startswith("<!doctype html")
    data = json.loads(grix_cli("diff", files / "a.py", files / "b.py", "--json").stdout)
    assert data["distance"] == 3 and len(data["inserted"]) + len(data["deleted"]) + len(data["renamed"]) == 3


def test_diff_of_two_python_versions_folds_unchanged_code():
    result = grix_cli("diff", STDLIB / "colorsys.py", STDLIB / "colorsys.py")
    assert result.returncode == 0
    assert len(result.stdout.splitlines()) < 10 and "unchanged" in result.stdout


class TestPairwise:
    def test_matrix_as_npy_and_csv(self, files, tmp_path):
        names = [files / "a.py", files / "b.py", files / "t.txt"]
        assert grix_cli("pairwise", *names, "--out", tmp_path / "m.npy", "--workers", "2").returncode == 0
        matrix = np.load(tmp_path / "m.npy")
        assert matrix.shape == (3, 3) and matrix[0, 1] == 3 and (matrix == matrix.T).all()
        csv = grix_cli("pairwise", *names).stdout.splitlines()
        assert len(csv) == 4 and csv[1].split(",")[1:] == [str(v) for v in matrix[0]]

    def test_threshold_lists_the_close_pairs(self, files):
        result = grix_cli("pairwise", files / "a.xml", files / "b.xml", files / "t.txt", "--threshold", "1")
        assert result.returncode == 0
        assert result.stdout.splitlines() == ["file1,file2,distance", f"{files / 'a.xml'},{files / 'b.xml'},1"]
        assert "pruned" in result.stderr

    def test_a_bad_file_stops_with_status_1(self, files):
        result = grix_cli("pairwise", files / "a.py", files / "bad.json")
        assert result.returncode == 1 and "bad.json" in result.stderr
