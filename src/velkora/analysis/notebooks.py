"""Jupyter notebooks (`.ipynb`) as Python source, cell by cell.

    cells = code_cells(Path("explore.ipynb").read_bytes())
    for cell in cells:
        for report in analyze_source(cell.source, ...):
            print(location("explore.ipynb", cell.number, report.line))   # explore.ipynb:cell 3:2

Only code cells are returned. IPython syntax that is not Python (line and cell magics, shell escapes, help
requests) is blanked line for line, so a line number in `Cell.source` is the line the user sees in that cell.
Cells are numbered as they appear in the notebook, counting every cell (markdown and raw cells too): the
third cell from the top is cell 3, whatever its kind, as a reader counts down the page and as editors that
number cells (VS Code's "Cell 3 of 10") count. Execution counts (`In [7]`) change with every run and are not
used.

Each cell is best analysed on its own, so that a syntax error in one cell does not hide the others. For tools
that want the notebook as one script, `script()` joins the cells and `cell_at()` maps a line of that script
back to its cell; `Cell.first_line` is where a cell starts in it.

No dependency beyond the standard library: nbformat 4 (`cells`) and nbformat 3 (`worksheets`, `input`) are
read directly from the JSON.
"""

from __future__ import annotations

import bisect
import io
import json
import re
from collections.abc import Iterator
from dataclasses import dataclass
from typing import Any

__all__ = ["Cell", "code_cells", "location", "script", "cell_at", "blank_ipython"]


@dataclass(frozen=True)
class Cell:
    """One code cell: its number in the notebook (1-based, all cells counted), its Python source with
    IPython syntax blanked (same lines as in the notebook), and the line it starts at in `script()`."""

    number: int
    source: str
    first_line: int


def location(path: str, cell: int | Cell, line: int) -> str:
    """`path:cell N:line`, the place of a line of a cell as reports show it."""
    number = cell.number if isinstance(cell, Cell) else cell
    return f"{path}:cell {number}:{line}"


# ---- reading the notebook ----------------------------------------------------------------------------

def code_cells(data: bytes | str) -> list[Cell]:
    """The code cells of a notebook given as its file's bytes (UTF-8, as nbformat writes) or text.

    Raises ValueError, with a one-line message, for anything that is not a readable notebook: bytes that are
    not UTF-8, malformed JSON, a structure that is not nbformat 3 or 4, a cell whose source is neither a
    string nor a list of strings, a notebook whose kernel is not Python.
    """
    if isinstance(data, (bytes, bytearray, memoryview)):
        try:
            data = bytes(data).decode("utf-8-sig")
        except UnicodeDecodeError as exc:
            raise ValueError(f"not a notebook: not UTF-8 (byte {exc.start})") from None
    try:
        nb = json.loads(data)
    except json.JSONDecodeError as exc:
        raise ValueError(f"not a notebook: invalid JSON at line {exc.lineno} column {exc.colno}: "
                         f"{exc.msg}") from None
    except RecursionError:
        # json recurses once per nested array or object.
        raise ValueError("not a notebook: JSON nested too deeply") from None
    except ValueError as exc:   # e.g. an integer over the interpreter's digit limit
        raise ValueError(f"not a notebook: {_one_line(str(exc))}") from None
    if not isinstance(nb, dict):
        raise ValueError(f"not a notebook: the top level is a JSON {_json_kind(nb)}, not an object")
    _check_language(nb)
    cells = []
    last_line = 1
    for number, cell, source_key in _all_cells(nb):
        if not isinstance(cell, dict):
            raise ValueError(f"cell {number}: a JSON {_json_kind(cell)}, not an object")
        if cell.get("cell_type") != "code" or not _is_python_cell(cell):
            continue
        source = blank_ipython(_cell_source(cell.get(source_key, ""), number))
        cells.append(Cell(number, source, last_line))
        last_line += _line_count(source)
    return cells


def _all_cells(nb: dict[str, Any]) -> Iterator[tuple[int, Any, str]]:
    """(number, cell, key of its source) for every cell, numbered from 1 across worksheets."""
    if "cells" in nb:
        groups, key = [nb["cells"]], "source"
    elif "worksheets" in nb:       # nbformat 3
        worksheets = nb["worksheets"]
        if not isinstance(worksheets, list) or not all(isinstance(w, dict) for w in worksheets):
            raise ValueError("not a notebook: 'worksheets' is not a list of objects")
        groups, key = [w.get("cells", []) for w in worksheets], "input"
    else:
        raise ValueError("not a notebook: no 'cells' list")
    number = 0
    for group in groups:
        if not isinstance(group, list):
            raise ValueError(f"not a notebook: 'cells' is a JSON {_json_kind(group)}, not an array")
        for cell in group:
            number += 1
            yield number, cell, key


def _cell_source(source: object, number: int) -> str:
    # nbformat writes a list of lines (each keeping its newline); a single string is as valid.
    if isinstance(source, str):
        return source
    if isinstance(source, list) and all(isinstance(part, str) for part in source):
        return "".join(source)
    raise ValueError(f"cell {number}: source is a JSON {_json_kind(source)}, "
                     "not a string or an array of strings")


def _check_language(nb: dict[str, Any]) -> None:
    # An R or Julia notebook would fail to parse cell after cell: say once what it is instead.
    meta = nb.get("metadata")
    if not isinstance(meta, dict):
        return
    info, kernel = meta.get("language_info"), meta.get("kernelspec")
    language = ((info.get("name") if isinstance(info, dict) else None)
                or (kernel.get("language") if isinstance(kernel, dict) else None))
    if isinstance(language, str) and language.strip() and not _python(language):
        raise ValueError(f"not a Python notebook (language {_one_line(language)!r})")


def _is_python_cell(cell: dict[str, Any]) -> bool:
    language = cell.get("language")       # nbformat 3 code cells name their language
    return not isinstance(language, str) or not language.strip() or _python(language)


def _python(language: str) -> bool:
    return language.strip().lower().startswith(("python", "ipython"))


def _json_kind(value: object) -> str:
    kinds = {dict: "object", list: "array", str: "string", bool: "boolean", type(None): "null"}
    return kinds.get(type(value), "number")


def _one_line(text: str) -> str:
    return " ".join(text.split())


# ---- the notebook as one script ----------------------------------------------------------------------

def _line_count(source: str) -> int:
    # Lines as the parser counts them: \n, \r\n and \r end a line; nothing else does.
    return len(_split_lines(source))


def script(cells: list[Cell]) -> str:
    """The cells joined into one script, each cell starting on its own line at `Cell.first_line`."""
    parts = []
    for cell in cells:
        parts.append(cell.source)
        if cell.source and not cell.source.endswith(("\n", "\r")):
            parts.append("\n")
    return "".join(parts)


def cell_at(cells: list[Cell], line: int) -> tuple[Cell, int]:
    """The cell holding line `line` of `script(cells)`, and that line's number within the cell."""
    filled = [c for c in cells if c.source]     # an empty cell holds no line
    i = bisect.bisect_right([c.first_line for c in filled], line) - 1
    if i < 0 or line - filled[i].first_line >= _line_count(filled[i].source):
        raise ValueError(f"line {line} is in no cell")
    return filled[i], line - filled[i].first_line + 1


# ---- IPython syntax ----------------------------------------------------------------------------------

# Cell magics whose body is Python run by IPython (timed, profiled, captured): only their first line is
# blanked and the body is analysed. The body of any other cell magic (%%bash, %%html, %%writefile, ...)
# is not Python, and the whole cell is blanked.
PYTHON_CELL_MAGICS = frozenset({"time", "timeit", "prun", "capture", "debug", "python", "python3"})

# A logical line starting with one of these is IPython's: a magic (%), a shell escape (!), a help request
# (?), or an auto-call (, ; /). None of them can start a Python statement.
_ESCAPES = ("%", "!", "?", ",", ";", "/")
_CELL_MAGIC = re.compile(r"\s*%%(\w*)")


def _split_lines(text: str) -> list[tuple[str, str]]:
    """(body, line ending) pairs; the last line may have no ending."""
    lines = []
    for raw in io.StringIO(text, newline="").readlines():
        cut = len(raw) - (2 if raw.endswith("\r\n") else 1 if raw.endswith(("\n", "\r")) else 0)
        lines.append((raw[:cut], raw[cut:]))
    return lines


def blank_ipython(source: str) -> str:
    """`source` with IPython-only lines blanked, as many lines as before.

    A blanked line becomes empty, or `pass` at its indentation when indented (so that a block whose only
    statement was `%time f()` stays a block). Lines continued with a backslash are blanked with the line
    they continue. A cell magic blanks its first line, and the whole cell unless its body is Python.
    """
    lines = _split_lines(source)
    bodies = [body for body, _ in lines]
    first = next((i for i, body in enumerate(bodies) if body.strip()), None)
    if first is None:
        return source
    magic = _CELL_MAGIC.match(bodies[first])
    if magic:
        if magic.group(1) not in PYTHON_CELL_MAGICS:
            return "".join(end for _, end in lines)
        bodies[first] = ""
        first = next((i for i in range(first + 1, len(bodies)) if bodies[i].strip()), len(bodies))
    _dedent_leading(bodies, first)
    i = first
    while i < len(bodies):
        body = bodies[i]
        stripped = body.lstrip()
        if not stripped or stripped.startswith("#"):
            i += 1
            continue
        if stripped.startswith(_ESCAPES):
            last, ipython = _continued(bodies, i), True
        else:
            last, ipython = _scan_statement(bodies, i)
        if ipython:
            indent = body[:len(body) - len(stripped)]
            bodies[i] = indent + "pass" if indent else ""
            for j in range(i + 1, last + 1):
                bodies[j] = ""
        i = last + 1
    return "".join(body + end for body, (_, end) in zip(bodies, lines))


def _dedent_leading(bodies: list[str], first: int) -> None:
    # IPython runs a cell whose first line is indented (pasted from inside a block) after removing that
    # indentation from every line that has it; do the same so that the cell parses.
    if first >= len(bodies):
        return
    line = bodies[first]
    indent = line[:len(line) - len(line.lstrip(" \t"))]
    if indent:
        for i in range(first, len(bodies)):
            if bodies[i].startswith(indent):
                bodies[i] = bodies[i][len(indent):]


def _continued(bodies: list[str], i: int) -> int:
    """The last line of a shell or magic command starting at line i (backslash continuation)."""
    while bodies[i].endswith("\\") and i + 1 < len(bodies):
        i += 1
    return i


def _scan_statement(bodies: list[str], i: int) -> tuple[int, bool]:
    """(last line, is IPython) of the logical line starting at line i.

    Follows strings, brackets, comments and backslash continuations as the tokenizer does, watching for
    what Python never allows outside a string: `?` (a help request such as `obj?`), `!` not starting `!=`,
    and an assignment from a shell command or magic (`files = !ls`, `t = %timeit -o f()`).
    """
    depth, quote, ipython = 0, "", False
    while True:
        line, n, k, comment = bodies[i], len(bodies[i]), 0, False
        while k < n:
            c = line[k]
            if quote:
                if c == "\\":
                    k += 2
                    continue
                if line.startswith(quote, k):
                    k += len(quote)
                    quote = ""
                    continue
                k += 1
                continue
            if c == "#":
                comment = True
                break
            if c in "'\"":
                quote = c * 3 if line.startswith(c * 3, k) else c
                k += len(quote)
                continue
            if c in "([{":
                depth += 1
            elif c in ")]}":
                depth = max(depth - 1, 0)
            elif c == "?":
                ipython = True
            elif c == "!" and not line.startswith("!=", k):
                ipython = True
            elif (c == "=" and depth == 0 and not line.startswith("==", k)
                  and (k == 0 or line[k - 1] not in "=!<>+-*/%&|^@:~")):
                rest = line[k + 1:].lstrip()
                if rest.startswith(("!", "%")):
                    # The rest is a command, not Python: quotes in it must not open a string.
                    return _continued(bodies, i), True
            k += 1
        continued = line.endswith("\\") and not comment
        if len(quote) == 1 and not line.endswith("\\"):
            quote = ""               # an unterminated string: the parser will say so
        if i + 1 >= len(bodies) or not (quote or depth or continued):
            return i, ipython
        i += 1
