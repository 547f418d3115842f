"""Notebooks and the HTML page, as the command line uses them."""

import json
import pathlib

import pytest

from velkora import cli


def notebook(*cells):
    return json.dumps({"nbformat": 4, "nbformat_minor": 5, "metadata": {"kernelspec": {"language": "python"}},
                       "cells": [{"cell_type": kind, "source": src, "metadata": {}, "outputs": [],
                                  "execution_count": None} if kind == "code" else
                                 {"cell_type": kind, "source": src, "metadata": {}} for kind, src in cells]})


def run_json(capsys, *args):
    code = cli.main(["analyze", "--json", "--no-config", "-j", "1", *map(str, args)])
    out, err = capsys.readouterr()
    return code, json.loads(out), err


def test_notebook_cells_are_analysed_on_their_own(tmp_path, capsys):
    nb = tmp_path / "study.ipynb"
    nb.write_text(notebook(
        ("markdown", "# A study\n"),
        ("code", "%matplotlib inline\nimport numpy as np\n"),
        ("code", ["def broken(:\n"]),  # does not parse: the other cells still count
        ("code", ["def grow(n):\n", "    out = []\n", "    for i in range(n):\n", "        out.append(i * i)\n",
                  "    return out\n"]),
    ))
    code, doc, err = run_json(capsys, tmp_path)
    assert code == 0 and "study.ipynb: error: cell 3:" in err
    rows = [f for f in doc["functions"] if f["name"] == "grow"]
    assert len(rows) == 1 and rows[0]["cell"] == 4 and rows[0]["line"] == 1
    assert rows[0]["location"].endswith("study.ipynb:cell 4:1")


@pytest.mark.parametrize("cells, name, pattern", [
    ([("code", "import pandas as pd\n"), ("code", "def summary(df):\n    return df.groupby('k').agg('mean')\n")],
     "summary", "PANDAS_GROUPBY"),
    ([("code", "import numpy as np\n"), ("markdown", "# then\n"),
      ("code", "def gram(X):\n    return np.dot(X, X.T) + np.linalg.inv(np.dot(X.T, X))\n")], "gram", "NUMPY_LINALG"),
], ids=["pandas", "numpy"])
def test_a_notebook_is_one_namespace_top_to_bottom(tmp_path, capsys, cells, name, pattern):
    (tmp_path / "nb.ipynb").write_text(notebook(*cells))
    code, doc, err = run_json(capsys, tmp_path)
    assert code == 0 and [(f["name"], f["pattern"]) for f in doc["functions"]] == [(name, pattern)]


@pytest.mark.parametrize("text", ["{not json", json.dumps({"cells": "nope"})])
def test_a_malformed_notebook_is_reported_and_skipped(tmp_path, capsys, text):
    (tmp_path / "bad.ipynb").write_text(text)
    (tmp_path / "good.py").write_text("def f(xs):\n    return [x * 2 for x in xs]\n")
    code, doc, err = run_json(capsys, tmp_path)
    assert code == 0 and [f["name"] for f in doc["functions"]] == ["f"]
    assert len(doc["skipped"]) == 1 and "bad.ipynb: error:" in err


def test_html_page_is_written_beside_the_normal_output(tmp_path, capsys):
    (tmp_path / "k.py").write_text("def k(xs):\n    return [x + 1 for x in xs]\n")
    page = tmp_path / "out" / "report.html"
    page.parent.mkdir()
    assert cli.main(["analyze", "--no-config", "--html", str(page), str(tmp_path / "k.py")]) == 0
    out, err = capsys.readouterr()
    assert " k" in out and "wrote" in err
    html = page.read_text()
    assert html.lstrip().lower().startswith("<!doctype html") and "velkora-data" in html


def test_html_page_that_cannot_be_written_fails_the_run(tmp_path, capsys):
    (tmp_path / "k.py").write_text("def k():\n    return 1\n")
    target = pathlib.Path(tmp_path / "missing-dir" / "r.html")
    assert cli.main(["analyze", "--no-config", "--html", str(target), str(tmp_path / "k.py")]) == 1
    assert "cannot write the HTML report" in capsys.readouterr().err


def test_a_failed_html_write_leaves_the_earlier_page_whole(tmp_path):
    import resource
    import signal
    import subprocess
    import sys

    (tmp_path / "k.py").write_text("def k():\n    return 1\n")
    page = tmp_path / "r.html"
    page.write_text("<!doctype html>the earlier page")

    def small_files():          # the page is larger than this: its write fails with EFBIG
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (4096, 4096))

    proc = subprocess.run([sys.executable, "-m", "velkora", "analyze", "--no-config", "--no-gpu", "--html",
                           str(page), str(tmp_path / "k.py")], capture_output=True, text=True, timeout=60,
                          preexec_fn=small_files)
    assert proc.returncode == 1 and "Traceback" not in proc.stderr
    assert "cannot write the HTML report" in proc.stderr
    assert page.read_text() == "<!doctype html>the earlier page"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["k.py", "r.html"]
