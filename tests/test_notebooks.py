"""Notebooks read cell by cell: code cells only, IPython syntax blanked without moving a line, malformed
files refused with one ValueError line."""

import ast
import json

import pytest

from velkora.analysis.notebooks import Cell, blank_ipython, cell_at, code_cells, location, script


def notebook(*cells, nbformat=4, **metadata):
    return json.dumps({"nbformat": nbformat, "nbformat_minor": 5, "metadata": metadata,
                       "cells": [{"cell_type": kind, "metadata": {}, "source": source}
                                 for kind, source in cells]})


@pytest.mark.parametrize("source, expected", [
    ("%time f()\nx = 1\n", "\nx = 1\n"),
    ("%load_ext autoreload\n%autoreload 2\nx = 1", "\n\nx = 1"),
    ("!ls -la\nx = !ls\nd['k'] = !ls\nt = %timeit -o f()\n", "\n\n\n\n"),
    ("obj?\n??obj\nnp.dot??\n", "\n\n\n"),
    (",f a b\n;f a b\n/f a\n", "\n\n\n"),
    # A shell command's quotes are not Python's: an odd one must not open a string to the end of the cell.
    ("!echo it's\nx = 1\n", "\nx = 1\n"),
    ("files = !grep \"it's\" *.py\nx = 1\n", "\nx = 1\n"),
    ("!ls \\\n  -la\nx = 1\n", "\n\nx = 1\n"),
    # The only statement of a block stays a statement.
    ("for i in range(3):\n    %time f(i)\n", "for i in range(3):\n    pass\n"),
    # Python that merely looks like IPython is kept.
    ("s = '''is it\nok?\n!really\n'''\n", None),
    ("print('what?')  # or %time?\nx = a != b\ny = 7 % 3\nz = (7\n     % 2)\n", None),
    ("x = (1 +\n     2)\n%time x\n", "x = (1 +\n     2)\n\n"),
    ("x = 1\r\n%time y\r\nz = 2", "x = 1\r\n\r\nz = 2"),
], ids=["line-magic", "load-ext", "shell-assign", "help", "autocall", "shell-quote", "assign-quote",
        "shell-continued", "in-block", "in-string", "python-lookalikes", "after-brackets", "crlf"])
def test_ipython_lines_are_blanked_in_place(source, expected):
    out = blank_ipython(source)
    assert out == (source if expected is None else expected)
    ast.parse(out)


@pytest.mark.parametrize("magic, body_kept", [
    ("%%timeit -n 3", True), ("%%time", True), ("%%capture out", True),
    ("%%bash", False), ("%%writefile x.py", False), ("%%html", False),
])
def test_cell_magics(magic, body_kept):
    source = f"\n{magic}\nfor i in range(9):\n    !echo {{i}}\n"
    out = blank_ipython(source)
    assert out.count("\n") == source.count("\n")
    assert out == ("\n\nfor i in range(9):\n    pass\n" if body_kept else "\n\n\n\n")


def test_a_pasted_indented_cell_is_dedented_as_ipython_runs_it():
    out = blank_ipython("\n    x = 1\n    if x:\n        y = 2\n")
    assert out == "\nx = 1\nif x:\n    y = 2\n"


@pytest.mark.parametrize("as_list", [True, False], ids=["list-source", "str-source"])
def test_code_cells_are_numbered_among_all_cells(as_list):
    src = ["import numpy as np\n", "%matplotlib inline\n", "def f(x):\n", "    return np.sum(x)\n"]
    data = notebook(("markdown", "# Title"), ("code", src if as_list else "".join(src)),
                    ("raw", "not python"), ("code", "x = 1"))
    cells = code_cells(data.encode())
    assert cells == [Cell(2, "import numpy as np\n\ndef f(x):\n    return np.sum(x)\n", 1), Cell(4, "x = 1", 5)]
    # Line 3 of cell 2 is where `def f` is, in the notebook and in the parsed cell alike.
    assert ast.parse(cells[0].source).body[1].lineno == 3
    assert location("nb.ipynb", cells[0], 3) == location("nb.ipynb", 2, 3) == "nb.ipynb:cell 2:3"


def test_script_and_cell_at_map_lines_back_to_cells():
    cells = code_cells(notebook(("code", "a = 1\nb = 2"), ("code", ""), ("markdown", "m"),
                                ("code", "def f():\n    pass\n")))
    text = script(cells)
    assert text == "a = 1\nb = 2\ndef f():\n    pass\n"
    assert [(c.number, n) for c, n in map(lambda line: cell_at(cells, line), range(1, 5))] == \
        [(1, 1), (1, 2), (4, 1), (4, 2)]
    with pytest.raises(ValueError):
        cell_at(cells, 5)


def test_nbformat_3_worksheets():
    data = json.dumps({"nbformat": 3, "worksheets": [
        {"cells": [{"cell_type": "heading", "source": "T"}, {"cell_type": "code", "input": ["x = 1\n"]}]},
        {"cells": [{"cell_type": "code", "language": "python", "input": "%pylab\ny = 2"},
                   {"cell_type": "code", "language": "julia", "input": "z = [1 2]"}]}]})
    assert code_cells(data) == [Cell(2, "x = 1\n", 1), Cell(3, "\ny = 2", 2)]


def test_a_utf8_bom_is_accepted():
    assert code_cells(b"\xef\xbb\xbf" + notebook(("code", "x = 'é'")).encode())[0].source == "x = 'é'"


@pytest.mark.parametrize("data, message", [
    (b"{\xff}", "not UTF-8"),
    ("", "invalid JSON"),
    ('{"cells": [', "invalid JSON at line 1"),
    ("[" * 100_000 + "]" * 100_000, "nested too deeply"),
    ("[]", "top level is a JSON array"),
    ("{}", "no 'cells'"),
    ('{"cells": {}}', "'cells' is a JSON object"),
    ('{"cells": [7]}', "cell 1: a JSON number"),
    ('{"cells": [{"cell_type": "code", "source": ["a", 1]}]}', "cell 1: source is a JSON array"),
    ('{"cells": [{"cell_type": "code", "source": null}]}', "cell 1: source is a JSON null"),
    ('{"worksheets": 3}', "'worksheets' is not a list"),
    (notebook(("code", "x <- 1"), language_info={"name": "R"}), "not a Python notebook"),
], ids=["not-utf8", "empty", "truncated", "deep", "array", "no-cells", "cells-object", "cell-number",
        "source-mixed", "source-null", "worksheets", "r-kernel"])
def test_malformed_notebooks_raise_one_line_value_errors(data, message):
    with pytest.raises(ValueError) as info:
        code_cells(data)
    assert message in str(info.value) and "\n" not in str(info.value)
