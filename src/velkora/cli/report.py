"""What `velkora analyze` reports: the result document (the --json output, also what the other formats and
the HTML page are made from) and its text, CSV and Markdown renderings.

The document's fields are documented in the README's user guide; scripts depend on them. A change that
removes or renames a field, or changes its meaning, raises SCHEMA_VERSION.
"""

from __future__ import annotations

import io
import json
import re
import textwrap
from collections import Counter
from collections.abc import Callable
from dataclasses import dataclass, fields
from typing import Any

from velkora import __version__
from velkora.analysis.advice import TEST
from velkora.analysis.classify import FunctionReport
from velkora.analysis.patterns import NO_CODE, NOT_CANDIDATES, display
from velkora.analysis.sources import printable

SCHEMA_VERSION = 1
SORTS = ("path", "speedup", "score", "benefit")
TOP_CANDIDATES = 5
TOP_PER_PATTERN = 3

# Which score is the evidence for a pattern, by the pattern's family (its name's first word).
_EVIDENCE = {
    "SKLEARN": "sklearn_score", "PANDAS": "pandas_score", "NUMPY": "numpy_score", "GPU": "gpu_suitability",
    "PARALLEL": "parallelization_potential", "CPU": "cpu_intensity", "MEMORY": "memory_intensity",
}

# Columns of the wide text view and the Markdown table with --wide: (heading, row key).
WIDE_SCORES = (("cpu", "cpu_intensity"), ("mem", "memory_intensity"), ("par", "parallelization_potential"),
               ("gpu_op", "gpu_operation_score"), ("gpu_fit", "gpu_suitability"), ("numpy", "numpy_score"),
               ("pandas", "pandas_score"), ("sklearn", "sklearn_score"), ("seq", "sequential_count"),
               ("emb", "embarrassing_count"))


def location(path: str, line: int, cell: int | None = None) -> str:
    """Where a unit starts, as reported everywhere: `path:line`, or `path:cell N:line` in a notebook."""
    return f"{path}:{line}" if cell is None else f"{path}:cell {cell}:{line}"


def score(row: dict[str, Any]) -> float:
    """The evidence for the pattern a function got, from 0 to 1: the score its decision rests on.

    The framework score for SKLEARN_*, PANDAS_* and NUMPY_*, GPU suitability for GPU_*, parallelisation
    potential for PARALLEL_FRIENDLY, CPU or memory intensity for CPU_ and MEMORY_INTENSIVE; for SEQUENTIAL
    one minus the parallelisation potential; for MIXED the largest of CPU intensity, memory intensity and
    parallelisation potential (all of them below their thresholds); 0 for a unit without code.
    """
    pattern = row["pattern"]
    family = pattern.split("_", 1)[0]
    if family in _EVIDENCE:
        value = row[_EVIDENCE[family]]
    elif pattern == "SEQUENTIAL":
        value = 1.0 - row["parallelization_potential"]
    elif pattern == NO_CODE:
        value = 0.0
    else:
        value = max(row["cpu_intensity"], row["memory_intensity"], row["parallelization_potential"])
    return min(1.0, max(0.0, float(value)))


_HEAD = ("file", "function", "line", "cell", "pattern", "pattern_code")
_REST: dict[type, tuple[str, ...]] = {}                        # FunctionReport class: its other fields, in declaration order


def function_row(report: FunctionReport) -> dict[str, Any]:
    """One entry of the document's `functions`."""
    rest = _REST.get(type(report))
    if rest is None:
        rest = _REST[type(report)] = tuple(f.name for f in fields(report) if f.name not in _HEAD)
    path, name, line = report.file, report.function, report.line
    cell = getattr(report, "cell", None)
    row = {"path": path, "line": line, "cell": cell, "location": location(path, line, cell), "name": name,
           "pattern": report.pattern, "pattern_code": report.pattern_code}
    for key in rest:
        row[key] = getattr(report, key)
    row["score"] = score(row)
    row["benefit"] = benefit(row)
    row["file"], row["function"] = path, name          # the names of these two before schema 1
    return row


def benefit(row: dict[str, Any]) -> float:
    """The expected benefit of acting on a function's advice, which ranks the candidates: the evidence for
    its pattern, times the GPU speedup class where a GPU would run it; 0 where there is nothing to gain
    (MIXED, SEQUENTIAL, no code, work already native or parallel)."""
    if row["pattern"] in NOT_CANDIDATES or not row.get("actionable", True):
        return 0.0
    return float(row["score"]) * max(1.0, float(row["gpu_speedup"]))


def _path_key(row: dict[str, Any]) -> tuple[tuple[str, ...], int, int]:
    # Component by component, which is the order of the walk (a directory's entries in name order).
    return tuple(row["path"].split("/")), -1 if row["cell"] is None else row["cell"], row["line"]


def _tests_last(row: dict[str, Any]) -> int:
    # A test's time is the code it exercises: of the rows with as much to gain, the code's own come first.
    return 1 if row.get("advice") == TEST else 0


SORT_KEYS = {
    "path": _path_key,
    # Without a GPU every speedup is 1.0: the expected benefit then decides, so that nothing with nothing
    # to gain comes before a candidate.
    "speedup": lambda r: (-r["gpu_speedup"], -r["benefit"], _tests_last(r), -r["score"], _path_key(r)),
    "score": lambda r: (-r["score"], -r["gpu_speedup"], _path_key(r)),
    "benefit": lambda r: (-r["benefit"], _tests_last(r), -r["score"], _path_key(r)),
}
NO_GPU_NOTE = ("no GPU: every speedup is 1.0x, and candidates are ranked by the expected benefit of their "
               "advice on the CPU (--gpu scores as if one were present)")

def trips_gate(row: dict[str, Any], fail_on: list[str] | None, min_score: float | None) -> bool:
    """Whether a function fails a CI run: its pattern is one of `fail_on` (without it: it has something
    to gain), and its score is at least `min_score` where given. Nothing trips a gate not asked for."""
    if not fail_on and min_score is None:
        return False
    if not (row["pattern"] in fail_on if fail_on else row["benefit"] > 0):
        return False
    return min_score is None or row["score"] >= min_score


def summary(rows: list[dict[str, Any]], shown: int, files: int, analysed: int, skipped: int,
            gpu_available: bool = True, gate: list[str] | None = None) -> dict[str, Any]:
    """Counts per pattern and the top candidates (by expected benefit), over `rows` (the functions the
    filters let through); `notes` says what the reader must know to read them (no GPU); `gate` lists the
    locations of the functions that trip --fail-on/--min-score."""
    counts = Counter(r["pattern"] for r in rows)
    by_pattern = dict(sorted(counts.items(), key=lambda kv: (-kv[1], kv[0])))
    ranked = sorted((r for r in rows if r["benefit"] > 0), key=SORT_KEYS["benefit"])
    top_by_pattern: dict[str, list[dict[str, Any]]] = {}
    for r in ranked:
        group = top_by_pattern.setdefault(r["pattern"], [])
        if len(group) < TOP_PER_PATTERN:
            group.append(dict(r))
    return {
        "files": files, "analysed": analysed, "selected": len(rows), "shown": shown, "skipped": skipped,
        "by_pattern": by_pattern,
        "top_candidates": [dict(r) for r in ranked[:TOP_CANDIDATES]],
        "top_by_pattern": {p: top_by_pattern[p] for p in by_pattern if p in top_by_pattern},
        "notes": [] if gpu_available else [NO_GPU_NOTE],
        "gate": gate or [],
    }


def document(reports: list[FunctionReport], skipped: list[tuple[str, str]], files: int, settings: dict[str, Any]) -> dict[str, Any]:
    """The result of a run. `settings` holds at least sort, top, patterns and min_speedup, which select
    and order the functions; all of it is reported as the document's `settings`."""
    rows = [function_row(r) for r in reports]
    analysed = len(rows)
    if settings.get("patterns"):
        wanted = set(settings["patterns"])
        rows = [r for r in rows if r["pattern"] in wanted]
    if settings.get("min_speedup") is not None:
        rows = [r for r in rows if r["gpu_speedup"] >= settings["min_speedup"]]
    rows.sort(key=SORT_KEYS[settings.get("sort") or "path"])
    shown = rows[:settings["top"]] if settings.get("top") else rows
    return {
        "tool": "velkora", "version": __version__, "schema_version": SCHEMA_VERSION,
        "settings": settings,
        "functions": shown,
        "summary": summary(rows, len(shown), files, analysed, len(skipped), settings.get("gpu_available", True),
                           [r["location"] for r in rows
                            if trips_gate(r, settings.get("fail_on"), settings.get("min_score"))]),
        "skipped": [{"path": p, "reason": m, "file": p} for p, m in skipped],
    }


# ---- renderings ---------------------------------------------------------------------------------

def render_json(doc: dict[str, Any]) -> str:
    return json.dumps(doc, indent=2) + "\n"


def csv_fields() -> list[str]:
    skip = {"file", "function", "line", "pattern", "pattern_code"}
    return (["path", "line", "cell", "location", "name", "pattern", "pattern_code", "score"]
            + [f.name for f in fields(FunctionReport) if f.name not in skip and f.name != "cell"])


def render_csv(doc: dict[str, Any]) -> str:
    """One header line, then one line per function; every score, at full precision."""
    import csv

    names = csv_fields()
    for row in doc["functions"][:1]:
        names += [k for k in row if k not in names and k not in ("file", "function")]
    buffer = io.StringIO()
    writer = csv.DictWriter(buffer, names, extrasaction="ignore", lineterminator="\n")
    writer.writeheader()
    for row in doc["functions"]:
        writer.writerow({**{k: "; ".join(map(str, v)) if isinstance(v, list) else v for k, v in row.items()},
                         "path": printable(row["path"]), "location": printable(row["location"])})
    return buffer.getvalue()


def _plural(n: int, word: str) -> str:
    return f"{n} {word}{'' if n == 1 else 's'}"


def _pattern_label(row: dict[str, Any]) -> str:
    return display(row["pattern"])


def _numbers(row: dict[str, Any]) -> tuple[str, str]:
    if row["pattern"] == NO_CODE:
        return "-", "-"
    return f"{row['score']:.2f}", f"{row['gpu_speedup']:.1f}x"


def _headline(s: dict[str, Any]) -> str:
    text = f"{_plural(s['selected'], 'function')} in {_plural(s['files'], 'file')}"
    if s["selected"] != s["analysed"]:
        text += f" (of {s['analysed']} analysed)"
    if s["skipped"]:
        text += f", {s['skipped']} skipped"
    if s["shown"] < s["selected"]:
        text += f"; the table shows the first {s['shown']} (--top)"
    return text


# ANSI styles. Colour marks the pattern's family, so a column of labels reads at a glance.
_RESET = "\033[0m"
_STYLES = {"GPU": "35", "PARALLEL": "32", "CPU": "33", "MEMORY": "36", "NUMPY": "34", "PANDAS": "34",
           "SKLEARN": "34", "SEQUENTIAL": "2", "MIXED": "2", "NO": "2"}


class _Paint:
    def __init__(self, enabled: bool):
        self.enabled = enabled

    def __call__(self, text: str, style: str | None) -> str:
        return f"\033[{style}m{text}{_RESET}" if self.enabled and style and text.strip() else text

    def pattern(self, text: str, pattern: str) -> str:
        return self(text, _STYLES.get(pattern.split("_", 1)[0]))

    def speedup(self, text: str, row: dict[str, Any]) -> str:
        return self(text, "1;32" if row["pattern"] != NO_CODE and row["gpu_speedup"] > 1.0 else None)


def render_text(doc: dict[str, Any], width: int = 80, color: bool = False, wide: bool = False,
                with_summary: bool = True, why: bool = False) -> str:
    """The table, then the summary. Rows are grouped under their file's path; a name too long for its
    column gets a line of its own, so nothing is cut and a line stays within `width` where it can. With
    `why`, each function's reasons and advice follow its line."""
    paint = _Paint(color)
    rows = doc["functions"]
    lines = _wide_table(rows, paint, width if why else 0) if wide else _table(rows, width, paint, why)
    if with_summary:
        if lines:
            lines.append("")
        lines += _text_summary(doc["summary"], width, paint)
    return "\n".join(lines) + "\n" if lines else ""


def _label(row: dict[str, Any]) -> str:
    return str(row["line"]) if row["cell"] is None else f"cell {row['cell']}:{row['line']}"


def _why(row: dict[str, Any], width: int, indent: str) -> list[str]:
    """A function's reasons, then its advice, wrapped to `width` under its line."""
    out = []
    for label, text in (("why", "; ".join(row["reasons"])), ("advice", row.get("advice") or "")):
        if text:
            out += textwrap.wrap(f"{label}: {printable(text)}", max(40, width), initial_indent=indent,
                                 subsequent_indent=indent + "  ", break_on_hyphens=False)
    return out


def _table(rows: list[dict[str, Any]], width: int, paint: _Paint, why: bool = False) -> list[str]:
    if not rows:
        return []
    lw = max(4, *(len(_label(r)) for r in rows))
    pw = max(7, *(len(_pattern_label(r)) for r in rows))
    nw = max(12, width - (lw + pw + 24))

    def line(label: str, name: str, pattern: str, score_: str, speedup: str) -> str:
        return f"  {label:>{lw}}  {name:<{nw}}  {pattern}  {score_:>5}  {speedup:>9}".rstrip()

    out = [paint(line("line", "function", f"{'pattern':<{pw}}", "score", "gpu class"), "1")]
    current = None
    for r in rows:
        if r["path"] != current:
            current = r["path"]
            out.append(paint(printable(current), "1"))
        name = printable(r["name"])
        if len(name) > nw:
            out.append(f"  {'':>{lw}}  {name}")
            name = ""
        score_, speedup = _numbers(r)
        pattern = paint.pattern(f"{_pattern_label(r):<{pw}}", r["pattern"])
        out.append(line(_label(r), name, pattern, score_, paint.speedup(f"{speedup:>9}", r)))
        if why:
            out += _why(r, width, " " * (lw + 4))
    return out


def _wide_table(rows: list[dict[str, Any]], paint: _Paint, why_width: int = 0) -> list[str]:
    if not rows:
        return []
    locs = [printable(r["location"]) for r in rows]
    names = [printable(r["name"]) for r in rows]
    lw, nw = max(8, *map(len, locs)), max(8, *map(len, names))
    pw = max(7, *(len(_pattern_label(r)) for r in rows))
    heads = [h for h, _ in WIDE_SCORES]
    out = [paint(f"{'location':<{lw}}  {'function':<{nw}}  {'pattern':<{pw}}  {'score':>5}  "
                 + "  ".join(f"{h:>7}" for h in heads) + f"  {'gpu class':>9}", "1")]
    for r, loc, name in zip(rows, locs, names):
        score_, speedup = _numbers(r)
        cells = [f"{r[k]:>7}" if isinstance(r[k], int) else f"{r[k]:>7.2f}" for _, k in WIDE_SCORES]
        out.append(f"{loc:<{lw}}  {name:<{nw}}  {paint.pattern(f'{_pattern_label(r):<{pw}}', r['pattern'])}  "
                   f"{score_:>5}  " + "  ".join(cells) + f"  {paint.speedup(f'{speedup:>9}', r)}")
        if why_width:
            out += _why(r, why_width, "    ")
    return out


def _text_summary(s: dict[str, Any], width: int, paint: _Paint) -> list[str]:
    out = [paint(_headline(s), "1")]
    if not s["by_pattern"]:
        if s["analysed"]:
            out.append("no function passes the filters (--pattern, --min-speedup)")
        return out
    pw = max(len(p) for p in s["by_pattern"])
    out.append("functions per pattern:")
    for pattern, count in s["by_pattern"].items():
        label = display(pattern)
        out.append(f"  {paint.pattern(f'{label:<{pw}}', pattern)}  {count:>6}")
    out.append("top candidates (expected benefit of acting on them):")
    if not s["top_candidates"]:
        out.append("  none: nothing to gain (MIXED, SEQUENTIAL, no code, native or parallel)")
    for i, c in enumerate(s["top_candidates"], 1):
        parts = [(printable(c["name"]), None), (c["pattern"], c["pattern"]), (f"score {c['score']:.2f}", None),
                 (f"gpu class {c['gpu_speedup']:.1f}x", None)]
        out += _wrap(f"  {i}. ", parts, width, paint)
        out.append(f"     {printable(c['location'])}")
        if c.get("advice"):
            out += textwrap.wrap(c["advice"], width, initial_indent="     ", subsequent_indent="     ")
    for note in s.get("notes", ()):
        out += textwrap.wrap(f"note: {note}", width, subsequent_indent="  ")
    return out


def _wrap(first: str, parts: list[tuple[str, str | None]], width: int, paint: _Paint) -> list[str]:
    """`parts` joined by two spaces, on as many lines (indented like the first) as `width` needs; a part
    is never split."""
    lines, line, used = [], first, len(first)
    indent = " " * len(first)
    for text, pattern in parts:
        if used > len(indent) and used + 2 + len(text) > width:
            lines.append(line)
            line, used = indent, len(indent)
        elif used > len(indent):
            line, used = line + "  ", used + 2
        line += paint.pattern(text, pattern) if pattern else text
        used += len(text)
    return lines + [line]


def _md(text: str) -> str:
    """`text` as a code span that survives a Markdown table cell."""
    text = printable(text).replace("|", "\\|")
    if "`" not in text:
        return f"`{text}`"
    # A span ends at the first run of exactly as many backticks as opened it: open with one more than the
    # longest run inside, and pad with spaces (which the renderer strips) so a backtick at either end
    # cannot join the fence.
    fence = "`" * (1 + max(len(run) for run in re.findall("`+", text)))
    return f"{fence} {text} {fence}"


def _md_text(text: str) -> str:
    """Plain text as Markdown that renders as the same text: the characters that could start markup
    (emphasis, code, links, HTML, entities, table cells) escaped."""
    return re.sub(r"([\\`*_\[\]<>|~&])", r"\\\1", printable(text))


def render_markdown(doc: dict[str, Any], wide: bool = False, why: bool = False) -> str:
    """A Markdown table of the functions, then the summary; with `why`, a column of reasons and advice."""
    rows, s = doc["functions"], doc["summary"]
    heads = ["Location", "Function", "Pattern", "Score"] + ([h for h, _ in WIDE_SCORES] if wide else [])
    heads.append("GPU class")
    if why:
        heads.append("Why")
    numbers = len(heads) - 3 - (1 if why else 0)
    out = ["| " + " | ".join(heads) + " |", "|" + "---|" * 3 + "--:|" * numbers + ("---|" if why else "")]
    for r in rows:
        score_, speedup = _numbers(r)
        cells = [_md(r["location"]), _md(r["name"]), _pattern_label(r), score_]
        if wide:
            cells += [str(r[k]) if isinstance(r[k], int) else f"{r[k]:.2f}" for _, k in WIDE_SCORES]
        cells.append(speedup)
        if why:
            text = "; ".join(r["reasons"]) + (f". Advice: {r['advice']}" if r.get("advice") else "")
            cells.append(_md_text(text))
        out.append("| " + " | ".join(cells) + " |")
    out += ["", f"**{_headline(s)}**", ""]
    if s["by_pattern"]:
        out += ["| Pattern | Functions |", "|---|--:|"]
        out += [f"| {display(p)} | {n} |" for p, n in s["by_pattern"].items()]
        out += ["", "Top candidates (expected benefit of acting on them):", ""]
        out += [f"{i}. {_md(c['name'])} ({c['pattern']}, score {c['score']:.2f}, "
                f"GPU class {c['gpu_speedup']:.1f}x) at {_md(c['location'])}"
                + (f": {_md_text(c['advice'])}" if c.get("advice") else "")
                for i, c in enumerate(s["top_candidates"], 1)] or ["None."]
        out += [f"\n*Note: {_md_text(note)}*" for note in s.get("notes", ())]
    return "\n".join(out) + "\n"


# ---- by format name -----------------------------------------------------------------------------

@dataclass(frozen=True)
class View:
    """How a rendering is laid out, for the formats that use it: the line width and colour of the text table,
    every score in its own column (text, Markdown), the summary under the text table."""
    width: int = 80
    color: bool = False
    wide: bool = False
    summary: bool = True
    why: bool = False           # each function's reasons and advice under it (text)


Renderer = Callable[[dict[str, Any], View], str]

# --format's choices, the default first.
RENDERERS: dict[str, Renderer] = {
    "text": lambda doc, view: render_text(doc, view.width, view.color, view.wide, view.summary, view.why),
    "json": lambda doc, view: render_json(doc),
    "csv": lambda doc, view: render_csv(doc),
    "markdown": lambda doc, view: render_markdown(doc, view.wide, view.why),
    "sarif": lambda doc, view: _sarif(doc),
}


def _sarif(doc: dict[str, Any]) -> str:
    from velkora.cli import sarif

    return sarif.render(doc)
FORMATS = tuple(RENDERERS)
COLOR_MODES = ("auto", "always", "never")
