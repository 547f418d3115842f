"""The analysis as one self-contained HTML page: pattern chart, sortable and filterable table, top candidates.

    html_report.write("report.html", doc)       # doc: the document `velkora analyze --json` prints

The page needs nothing beyond itself (no network, no other file): styles, script and chart are inline, and
the data travels in a `<script type="application/json" id="velkora-data">` element that the page's script
renders. The header, the settings, the top candidates and the skipped files are plain HTML and readable
without scripts.

The page's state lives in its URL fragment, so a view can be bookmarked or shared:
`report.html#sort=gpu_speedup:desc&pattern=GPU_SUITABLE&q=train`.

The document is read tolerantly: missing keys are left out, unknown keys ignored, a function's file may be
under `path` or `file`, its name under `name` or `function`, its pattern under `pattern` or `pattern_code`.
"""

from __future__ import annotations

import functools
import html
import json
import math
import os
from importlib import resources
from typing import Any

from velkora.analysis.patterns import DISPLAY_ORDER, NAMES, NO_CODE

__all__ = ["render", "write", "page_data", "COLUMNS"]

# One hue per label (velkora.analysis.patterns.DISPLAY_ORDER), alike within a family, so that the chart and
# the table's pattern chips read together.
COLOURS = {
    "SKLEARN_TRAINING": "#7b4fc9", "SKLEARN_INFERENCE": "#a584e0",
    "PANDAS_DATAFRAME": "#128a7e", "PANDAS_GROUPBY": "#4cb5a9",
    "NUMPY_VECTORIZED": "#2266c4", "NUMPY_LINALG": "#6c9be0",
    "GPU_COMPUTE_INTENSIVE": "#c2410c", "GPU_MEMORY_BOUND": "#e8772e", "GPU_SUITABLE": "#f0a24a",
    "PARALLEL_FRIENDLY": "#3f8f2f", "CPU_INTENSIVE": "#b8860b", "MEMORY_INTENSIVE": "#b23a6b",
    "SEQUENTIAL": "#6b7280", "MIXED": "#8b95a5", NO_CODE: "#c4c9d1",
}
OTHER_COLOUR = "#9aa1ab"

# (key, heading, numeric): the table's columns, also the names the fragment's `sort=` takes.
COLUMNS = (
    ("location", "Location", False), ("name", "Function", False), ("pattern", "Pattern", False),
    ("cpu_intensity", "CPU", True), ("memory_intensity", "Memory", True),
    ("parallelization_potential", "Parallel", True), ("gpu_suitability", "GPU fit", True),
    ("gpu_speedup", "GPU class", True),
)
_SCORES = [key for key, _, numeric in COLUMNS if numeric]
TOP_PER_PATTERN = 5
_GPU_FAMILY = ("GPU_", "NUMPY_", "PANDAS_", "SKLEARN_")


# ---- reading the document ----------------------------------------------------------------------------

def _list(doc: dict[str, Any], key: str) -> list[Any]:
    value = doc.get(key)
    return value if isinstance(value, list) else []


def _dict(doc: dict[str, Any], key: str) -> dict[str, Any]:
    value = doc.get(key)
    return value if isinstance(value, dict) else {}


def _text(value: object) -> str:
    """A document string fit for one table cell: control characters and lone surrogates (undecodable
    bytes of file names) escaped, as the text output prints them."""
    text = value if isinstance(value, str) else "" if value is None else str(value)
    if text.isprintable():
        return text
    return "".join(c if c.isprintable() and not 0xD800 <= ord(c) < 0xE000 else ascii(c)[1:-1] for c in text)


def _number(value: object) -> float | None:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        return None
    value = float(value)
    return value if math.isfinite(value) else None


def _pattern(entry: dict[str, Any]) -> str:
    pattern = entry.get("pattern")
    if isinstance(pattern, str) and pattern:
        return _text(pattern)
    code = entry.get("pattern_code")
    if isinstance(code, int) and not isinstance(code, bool) and 0 <= code < len(NAMES):
        return NAMES[code]
    return "UNKNOWN"


def _location(entry: dict[str, Any]) -> str:
    path = _text(entry.get("path", entry.get("file", "")))
    if isinstance(entry.get("location"), str):
        return _text(entry["location"])
    line = entry.get("line")
    if isinstance(line, str):         # a notebook's "cell N:line", or the whole location
        line = _text(line)
        return line if not path or line.startswith(path) else f"{path}:{line}"
    if isinstance(line, int) and not isinstance(line, bool):
        return f"{path}:{line}"
    return path


def _row(entry: object) -> list[Any] | None:
    if not isinstance(entry, dict):
        return None
    name = next((entry[k] for k in ("qualname", "name", "function") if isinstance(entry.get(k), str)), "?")
    return [_location(entry), _text(name), _pattern(entry), *(_number(entry.get(k)) for k in _SCORES)]


def _card_row(entry: object) -> list[Any] | None:
    row = _row(entry)
    if row is None or not isinstance(entry, dict):
        return row
    reasons = entry.get("reasons")
    return [*row, _text(entry.get("advice") or ""),
            _text("; ".join(map(str, reasons)) if isinstance(reasons, list) else "")]


def _candidate_key(row: list[Any]) -> tuple[float, float, float, float]:
    # GPU-family patterns are candidates for a GPU first; the others for parallel processes.
    cpu, mem, par, fit, speedup = (v if v is not None else -1.0 for v in row[3:8])
    if row[2].startswith(_GPU_FAMILY):
        return (speedup, fit, par, cpu)
    return (par, cpu, speedup, fit)


def _pattern_order(counts: dict[str, Any]) -> list[Any]:
    known = {p: i for i, p in enumerate(DISPLAY_ORDER)}
    return sorted(counts, key=lambda p: (-counts[p], known.get(p, len(known)), p))


def _top_candidates(summary: dict[str, Any], rows: list[Any], functions: list[Any], order: list[Any]) -> list[Any]:
    """[[pattern, [row, ...]], ...]: the document's own choice where it has one (its best per pattern, else
    its overall top candidates), else the best rows. A row from the document ends with its advice and
    reasons, for the card."""
    per_pattern = summary.get("top_by_pattern")
    given = per_pattern if isinstance(per_pattern, dict) and per_pattern else summary.get("top_candidates")
    groups: dict[str, list[Any]] = {}
    if isinstance(given, dict):               # {pattern: [function, ...]}
        for pattern, entries in given.items():
            if isinstance(entries, list):
                groups[_text(pattern)] = [r for r in map(_card_row, entries) if r]
    elif isinstance(given, list) and given:   # [function, ...] or indexes into `functions`
        for entry in given:
            if isinstance(entry, int) and not isinstance(entry, bool) and 0 <= entry < len(functions):
                entry = functions[entry]
            row = _card_row(entry)
            if row:
                groups.setdefault(row[2], []).append(row)
    else:
        for row in rows:
            if row[2] != NO_CODE:
                groups.setdefault(row[2], []).append(row)
        for pattern, members in groups.items():
            members.sort(key=_candidate_key, reverse=True)
            del members[TOP_PER_PATTERN:]
    # In the chart's order (most functions first), patterns the chart lacks after it.
    rank = {p: i for i, p in enumerate(order)}
    return [[p, groups[p]] for p in sorted(groups, key=lambda p: (rank.get(p, len(rank)), p)) if groups[p]]


def page_data(doc: dict[str, Any]) -> dict[str, Any]:
    """What the page embeds and its script renders: columns, one row per function, counts per pattern,
    colours; every string already made printable. Also drives the static parts of the page."""
    doc = doc if isinstance(doc, dict) else {}
    functions = _list(doc, "functions")
    rows = [r for r in map(_row, functions) if r]
    # Beside each row, [advice, reasons]: the table shows them under the function's name.
    why = [r[-2:] for r in map(_card_row, functions) if r]
    summary = _dict(doc, "summary")
    by_pattern = summary.get("by_pattern")
    if isinstance(by_pattern, dict) and by_pattern:
        counts = {_text(p): int(n) for p, n in by_pattern.items()
                  if isinstance(n, int) and not isinstance(n, bool) and n > 0}
    else:
        counts = {}
        for row in rows:
            counts[row[2]] = counts.get(row[2], 0) + 1
    order = _pattern_order(counts)
    return {
        "columns": [{"key": k, "label": label, "numeric": numeric} for k, label, numeric in COLUMNS],
        "rows": rows,
        "why": why,
        "patterns": [[p, counts[p]] for p in order],
        # In the chart's order, then the table's: the same document gives the same page, byte for byte.
        "colours": {p: COLOURS.get(p, OTHER_COLOUR) for p in dict.fromkeys([*order, *(r[2] for r in rows)])},
        "top": _top_candidates(summary, rows, functions, order),
    }


# ---- the page ----------------------------------------------------------------------------------------

@functools.cache
def _asset(kind: str) -> str:
    """The page's template (html), style sheet (css) or script (js): package data files beside this module,
    so that editors and linters read them as what they are. The template's `{name}` fields are filled by
    render(); the sheet and the script go in unchanged."""
    return resources.files(__package__).joinpath(f"html_report.{kind}").read_text(encoding="utf-8")


def _json_for_script(data: object) -> str:
    # Inside <script> the HTML parser ends the element at "</script" and treats "<!--" specially; with
    # <, > and & as JSON escapes neither can occur, and JSON.parse reads the same text.
    text = json.dumps(data, ensure_ascii=False, separators=(",", ":"), allow_nan=False)
    return text.replace("<", "\\u003c").replace(">", "\\u003e").replace("&", "\\u0026")


def _e(value: object) -> str:
    return html.escape(_text(value), quote=True)


def _fmt(value: float | None, digits: int = 2) -> str:
    return "–" if value is None else f"{value:.{digits}f}"


def _settings_html(doc: dict[str, Any]) -> str:
    settings = doc.get("settings")
    if not isinstance(settings, dict):      # earlier documents kept these at the top level
        settings = {k: doc[k] for k in ("gpu_available", "compute_capability", "thresholds") if k in doc}
    items = []
    for key, value in settings.items():
        if isinstance(value, dict):
            value = ", ".join(f"{_text(k).replace('_', ' ')} {_text(v)}" for k, v in value.items())
        elif isinstance(value, list):
            value = ", ".join(map(_text, value))
        elif value is None:
            value = "–"
        elif isinstance(value, bool):
            value = "yes" if value else "no"
        items.append(f"<div><dt>{_e(str(key).replace('_', ' '))}</dt><dd>{_e(value)}</dd></div>")
    return f'<dl class="settings">{"".join(items)}</dl>' if items else ""


def _chip(pattern: str) -> str:
    colour = COLOURS.get(pattern, OTHER_COLOUR)
    return f'<span class="chip" style="--c:{colour}">{_e(pattern)}</span>'


def _top_html(top: list[Any]) -> str:
    if not top:
        return '<p class="muted">No functions analysed.</p>'
    cards = []
    for pattern, rows in top:
        items = []
        for row in rows:
            loc, name, _, cpu, _, par, _, speedup = row[:8]
            advice, why = (row[8], row[9]) if len(row) >= 10 else ("", "")
            figure = (f"GPU class {speedup:.1f}×" if pattern.startswith(_GPU_FAMILY) and speedup is not None
                      else f"par {_fmt(par)} · cpu {_fmt(cpu)}")
            said = "".join(f'<span class="loc" title="{_e(why)}">{_e(text)}</span>'
                           for text in (advice,) if text)
            items.append(f'<li><div class="head"><span class="fn">{_e(name)}</span>'
                         f'<span class="fig">{_e(figure)}</span></div><span class="loc">{_e(loc)}</span>'
                         f'{said}</li>')
        cards.append(f'<div class="card">{_chip(pattern)}<ol>{"".join(items)}</ol></div>')
    return f'<div class="cards">{"".join(cards)}</div>'


def _skipped_html(doc: dict[str, Any]) -> str:
    skipped = _list(doc, "skipped")
    entries = [s for s in skipped if isinstance(s, dict)]
    if not entries:
        return ""
    rows = "".join(f'<tr><td class="loc">{_e(s.get("path", s.get("file", "")))}</td>'
                   f'<td>{_e(s.get("reason", ""))}</td></tr>' for s in entries)
    return (f'<section><details><summary><h2>Skipped ({len(entries)})</h2></summary>'
            f'<table class="plain"><thead><tr><th>Path</th><th>Reason</th></tr></thead>'
            f'<tbody>{rows}</tbody></table></details></section>')


def render(doc: dict[str, Any]) -> str:
    """The page for `doc` (the analysis document), as one string of HTML."""
    data = page_data(doc)
    doc = doc if isinstance(doc, dict) else {}
    rows = data["rows"]
    functions = _list(doc, "functions")
    # The files analysed, as the summary counts them (files without a function too); else those shown.
    counted = _dict(doc, "summary").get("files")
    files = counted if isinstance(counted, int) and not isinstance(counted, bool) else len(
        {_text(f.get("path", f.get("file", ""))) for f in functions if isinstance(f, dict)})
    speedups = [r[7] for r in rows if r[7] is not None]
    skipped = _list(doc, "skipped")
    about = " · ".join(part for part in (
        f"velkora {_e(doc['version'])}" if doc.get("version") else "",
        f"schema {_e(doc['schema_version'])}" if doc.get("schema_version") is not None else "") if part)
    stats = [("functions", len(rows)), ("files", files), ("patterns", len(data["patterns"])),
             ("best GPU class", f"{max(speedups):.1f}×" if speedups else "–"), ("skipped", len(skipped))]
    stats_html = "".join(f'<div class="stat"><b>{_e(v)}</b><span>{_e(k)}</span></div>' for k, v in stats)
    return _asset("html").format(
        about=about,
        stats=stats_html,
        settings=_settings_html(doc),
        top=_top_html(data["top"]),
        skipped=_skipped_html(doc),
        data=_json_for_script(data),
        style=_asset("css"),
        script=_asset("js"),
    )


def write(path: str | os.PathLike[str], doc: dict[str, Any]) -> None:
    """Writes the page for `doc` to `path` (UTF-8), raising OSError when it cannot.

    The page goes to a new file beside `path` that is then renamed over it, so that a failed write (a full
    disk, a file-size limit) leaves any earlier page whole and no part of the new one. A `path` that exists
    and is no regular file (/dev/stdout, a FIFO) is written in place: renaming over it would replace it.
    """
    import secrets

    page = render(doc).encode("utf-8")
    target = os.fspath(path)
    try:
        in_place = not os.path.isfile(target) and os.path.exists(target)
    except (OSError, ValueError):
        in_place = False
    if in_place:
        with open(target, "wb") as f:
            f.write(page)
        return
    directory, name = os.path.split(target)
    temporary = os.path.join(directory, f".{name}.{secrets.token_hex(4)}.tmp")
    # O_EXCL: never through a link someone placed under that name; 0o666 less the umask, as for any file.
    fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
    try:
        with open(fd, "wb") as f:
            f.write(page)
        os.replace(temporary, target)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise
