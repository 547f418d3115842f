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

import html
import json
import math
import os
from pathlib import Path
from typing import Any

from velkora.analysis.patterns import WorkloadPattern

__all__ = ["render", "write", "page_data", "COLUMNS"]

PATTERNS = (
    "SKLEARN_TRAINING", "SKLEARN_INFERENCE", "PANDAS_DATAFRAME", "PANDAS_GROUPBY", "NUMPY_VECTORIZED",
    "NUMPY_LINALG", "GPU_COMPUTE_INTENSIVE", "GPU_MEMORY_BOUND", "GPU_SUITABLE", "PARALLEL_FRIENDLY",
    "CPU_INTENSIVE", "MEMORY_INTENSIVE", "SEQUENTIAL", "MIXED", "NO_CODE",
)
# Names by the scorer's codes, for documents that give only a code.
_BY_CODE = tuple(p.name for p in WorkloadPattern)
# One hue per family, so that the chart and the table's pattern chips read together.
COLOURS = {
    "SKLEARN_TRAINING": "#7b4fc9", "SKLEARN_INFERENCE": "#a584e0",
    "PANDAS_DATAFRAME": "#128a7e", "PANDAS_GROUPBY": "#4cb5a9",
    "NUMPY_VECTORIZED": "#2266c4", "NUMPY_LINALG": "#6c9be0",
    "GPU_COMPUTE_INTENSIVE": "#c2410c", "GPU_MEMORY_BOUND": "#e8772e", "GPU_SUITABLE": "#f0a24a",
    "PARALLEL_FRIENDLY": "#3f8f2f", "CPU_INTENSIVE": "#b8860b", "MEMORY_INTENSIVE": "#b23a6b",
    "SEQUENTIAL": "#6b7280", "MIXED": "#8b95a5", "NO_CODE": "#c4c9d1",
}
OTHER_COLOUR = "#9aa1ab"

# (key, heading, numeric): the table's columns, also the names the fragment's `sort=` takes.
COLUMNS = (
    ("location", "Location", False), ("name", "Function", False), ("pattern", "Pattern", False),
    ("cpu_intensity", "CPU", True), ("memory_intensity", "Memory", True),
    ("parallelization_potential", "Parallel", True), ("gpu_suitability", "GPU fit", True),
    ("gpu_speedup", "GPU speedup", True),
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
    if isinstance(code, int) and not isinstance(code, bool) and 0 <= code < len(_BY_CODE):
        return _BY_CODE[code]
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


def _candidate_key(row: list[Any]) -> tuple[float, float, float, float]:
    # GPU-family patterns are candidates for a GPU first; the others for parallel processes.
    cpu, mem, par, fit, speedup = (v if v is not None else -1.0 for v in row[3:])
    if row[2].startswith(_GPU_FAMILY):
        return (speedup, fit, par, cpu)
    return (par, cpu, speedup, fit)


def _pattern_order(counts: dict[str, Any]) -> list[Any]:
    known = {p: i for i, p in enumerate(PATTERNS)}
    return sorted(counts, key=lambda p: (-counts[p], known.get(p, len(known)), p))


def _top_candidates(summary: dict[str, Any], rows: list[Any], functions: list[Any], order: list[Any]) -> list[Any]:
    """[[pattern, [row, ...]], ...]: the document's own choice where it has one, else the best rows."""
    given = summary.get("top_candidates")
    groups: dict[str, list[Any]] = {}
    if isinstance(given, dict):               # {pattern: [function, ...]}
        for pattern, entries in given.items():
            if isinstance(entries, list):
                groups[_text(pattern)] = [r for r in map(_row, entries) if r]
    elif isinstance(given, list) and given:   # [function, ...] or indexes into `functions`
        for entry in given:
            if isinstance(entry, int) and not isinstance(entry, bool) and 0 <= entry < len(functions):
                entry = functions[entry]
            row = _row(entry)
            if row:
                groups.setdefault(row[2], []).append(row)
    else:
        for row in rows:
            if row[2] != "NO_CODE":
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
        "patterns": [[p, counts[p]] for p in order],
        "colours": {p: COLOURS.get(p, OTHER_COLOUR) for p in set(order) | {r[2] for r in rows}},
        "top": _top_candidates(summary, rows, functions, order),
    }


# ---- the page ----------------------------------------------------------------------------------------

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
            loc, name, _, cpu, _, par, _, speedup = row
            figure = (f"{speedup:.1f}× on GPU" if pattern.startswith(_GPU_FAMILY) and speedup is not None
                      else f"par {_fmt(par)} · cpu {_fmt(cpu)}")
            items.append(f'<li><div class="head"><span class="fn">{_e(name)}</span>'
                         f'<span class="fig">{_e(figure)}</span></div><span class="loc">{_e(loc)}</span></li>')
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
    files = len({_text(f.get("path", f.get("file", ""))) for f in functions if isinstance(f, dict)})
    speedups = [r[7] for r in rows if r[7] is not None]
    skipped = _list(doc, "skipped")
    about = " · ".join(part for part in (
        f"velkora {_e(doc['version'])}" if doc.get("version") else "",
        f"schema {_e(doc['schema_version'])}" if doc.get("schema_version") is not None else "") if part)
    stats = [("functions", len(rows)), ("files", files), ("patterns", len(data["patterns"])),
             ("best GPU speedup", f"{max(speedups):.1f}×" if speedups else "–"), ("skipped", len(skipped))]
    stats_html = "".join(f'<div class="stat"><b>{_e(v)}</b><span>{_e(k)}</span></div>' for k, v in stats)
    return _PAGE.format(
        about=about,
        stats=stats_html,
        settings=_settings_html(doc),
        top=_top_html(data["top"]),
        skipped=_skipped_html(doc),
        data=_json_for_script(data),
        style=_STYLE,
        script=_SCRIPT,
    )


def write(path: str | os.PathLike[str], doc: dict[str, Any]) -> None:
    """Writes the page for `doc` to `path` (UTF-8); the page is built first, so a failure leaves no half
    page behind."""
    page = render(doc)
    Path(path).write_text(page, encoding="utf-8", newline="\n")


_STYLE = """
:root { --fg:#1f2430; --muted:#5d6675; --bg:#f6f7f9; --panel:#fff; --line:#e2e5ea; --accent:#2266c4;
        --bar:rgba(34,102,196,.08); --meter:rgba(34,102,196,.45); color-scheme: light dark; }
@media (prefers-color-scheme: dark) {
  :root { --fg:#e6e8ec; --muted:#a0a8b5; --bg:#15181d; --panel:#1e2229; --line:#313742; --accent:#7aa7ec;
          --bar:rgba(122,167,236,.10); --meter:rgba(122,167,236,.55); }
}
* { box-sizing: border-box; }
body { margin:0; background:var(--bg); color:var(--fg); font:14px/1.45 system-ui, -apple-system,
       "Segoe UI", Roboto, "Helvetica Neue", Arial, sans-serif; }
main { max-width:1240px; margin:0 auto; padding:24px 28px 48px; }
header { display:flex; align-items:baseline; gap:14px; flex-wrap:wrap; }
h1 { font-size:22px; margin:0; }
h2 { font-size:16px; margin:0 0 12px; display:inline-block; }
.muted, header small { color:var(--muted); }
section { background:var(--panel); border:1px solid var(--line); border-radius:8px; padding:18px 20px;
          margin-top:18px; }
.stats { display:flex; gap:12px; flex-wrap:wrap; margin-top:16px; }
.stat { background:var(--panel); border:1px solid var(--line); border-radius:8px; padding:10px 16px;
        min-width:130px; }
.stat b { display:block; font-size:20px; font-variant-numeric:tabular-nums; }
.stat span { color:var(--muted); font-size:12px; text-transform:uppercase; letter-spacing:.04em; }
.settings { display:flex; flex-wrap:wrap; gap:4px 22px; margin:14px 0 0; font-size:12.5px; }
.settings div { display:flex; gap:6px; } .settings dt { color:var(--muted); } .settings dd { margin:0; }
.split { display:grid; grid-template-columns:minmax(0,5fr) minmax(0,6fr); gap:18px; }
.split > section { margin-top:18px; }
@media (max-width: 900px) { .split { grid-template-columns:1fr; } }
#chart { width:100%; height:auto; display:block; }
#chart text { fill:var(--fg); font-size:12.5px; }
#chart .count { fill:var(--muted); }
#chart .bar { cursor:pointer; }
#chart g:hover .bar, #chart g.active .bar { stroke:var(--fg); stroke-width:1.5; }
.cards { display:grid; grid-template-columns:repeat(auto-fill, minmax(260px, 1fr)); gap:12px;
         max-height:430px; overflow:auto; }
.card { border:1px solid var(--line); border-radius:6px; padding:10px 12px; }
.card ol { margin:8px 0 0; padding-left:20px; }
.card li { margin-bottom:6px; }
.card .head { display:flex; flex-wrap:wrap; justify-content:space-between; gap:0 8px; align-items:baseline; }
.fn { font-weight:600; overflow-wrap:break-word; min-width:0; }
.fig { color:var(--muted); font-size:12px; white-space:nowrap; font-variant-numeric:tabular-nums; }
.loc { font-family:ui-monospace, SFMono-Regular, Menlo, Consolas, monospace; font-size:12px;
       color:var(--muted); overflow-wrap:anywhere; }
.chip { display:inline-block; padding:0 7px; border-radius:10px; font-size:11.5px; font-weight:600;
        border:1px solid var(--c); background:color-mix(in srgb, var(--c) 16%, transparent);
        white-space:nowrap; letter-spacing:.02em; }
.controls { display:flex; gap:10px; align-items:center; flex-wrap:wrap; margin-bottom:10px; }
.controls input, .controls select { font:inherit; padding:5px 9px; border:1px solid var(--line);
        border-radius:6px; background:var(--panel); color:var(--fg); }
.controls input { width:320px; }
#shown { color:var(--muted); margin-left:auto; }
.scroll { overflow-x:auto; }
table { border-collapse:collapse; width:100%; }
th, td { padding:6px 8px; border-bottom:1px solid var(--line); text-align:left; vertical-align:top; }
#functions th { position:sticky; top:0; background:var(--panel); cursor:pointer; user-select:none;
                white-space:nowrap; }
#functions th:hover { color:var(--accent); }
#functions th[aria-sort]::after { content:" \\25B2"; font-size:10px; color:var(--accent); }
#functions th[aria-sort=descending]::after { content:" \\25BC"; }
#functions td.num, #functions th.num { text-align:right; font-variant-numeric:tabular-nums; }
#functions td.loc { max-width:380px; }
#functions td.meter { background-repeat:no-repeat; background-position:right bottom 3px;
                      background-size:calc(100% - 8px) 3px; }
#functions td.name { overflow-wrap:anywhere; max-width:260px; }
#functions tbody tr:hover { background:var(--bar); }
#more { margin-top:10px; font:inherit; padding:5px 12px; border-radius:6px; border:1px solid var(--line);
        background:var(--panel); color:var(--fg); cursor:pointer; }
details summary { cursor:pointer; } details summary h2 { margin:0; }
table.plain td { font-size:13px; }
"""

_SCRIPT = r"""
(function () {
  "use strict";
  var data = JSON.parse(document.getElementById("velkora-data").textContent);
  var cols = data.columns, LIMIT = 1000;
  var rows = data.rows.map(function (v, i) { return {v: v, i: i}; });
  var colIndex = {};
  cols.forEach(function (c, i) { colIndex[c.key] = i; });
  var state = {sort: null, desc: false, pattern: "", q: "", all: false};
  var collator = new Intl.Collator(undefined, {numeric: true, sensitivity: "base"});
  var $ = function (id) { return document.getElementById(id); };
  var colour = function (p) { return data.colours[p] || "#9aa1ab"; };

  function readHash() {
    state.sort = null; state.desc = false; state.pattern = ""; state.q = "";
    (location.hash || "").replace(/^#/, "").split("&").forEach(function (part) {
      var eq = part.indexOf("="), key, value;
      if (eq < 0) return;
      key = part.slice(0, eq);
      try { value = decodeURIComponent(part.slice(eq + 1).replace(/\+/g, " ")); } catch (e) { return; }
      if (key === "sort") {
        var bits = value.split(":");
        if (bits[0] in colIndex) { state.sort = bits[0]; state.desc = bits[1] === "desc"; }
      } else if (key === "pattern") { state.pattern = value; }
      else if (key === "q") { state.q = value; }
    });
  }

  function writeHash() {
    var parts = [];
    if (state.sort) parts.push("sort=" + state.sort + ":" + (state.desc ? "desc" : "asc"));
    if (state.pattern) parts.push("pattern=" + encodeURIComponent(state.pattern));
    if (state.q) parts.push("q=" + encodeURIComponent(state.q));
    try { history.replaceState(null, "", parts.length ? "#" + parts.join("&") : location.pathname + location.search); }
    catch (e) { /* some browsers refuse history changes for file: pages; the view still works */ }
  }

  function compare(a, b) {
    var k = colIndex[state.sort], x = a.v[k], y = b.v[k], r;
    if (x === null || y === null) {       // missing values last, whichever the direction
      r = (x === null) - (y === null);
      return r || a.i - b.i;
    }
    r = cols[k].numeric ? x - y : collator.compare(x, y);
    if (state.desc) r = -r;
    return r || a.i - b.i;
  }

  function visible() {
    var q = state.q.toLowerCase();
    var out = rows.filter(function (r) {
      if (state.pattern && r.v[2] !== state.pattern) return false;
      return !q || r.v[0].toLowerCase().indexOf(q) >= 0 || r.v[1].toLowerCase().indexOf(q) >= 0;
    });
    if (state.sort) out.sort(compare);
    return out;
  }

  function cell(tr, text, cls) {
    var td = document.createElement("td");
    td.textContent = text;
    if (cls) td.className = cls;
    tr.appendChild(td);
    return td;
  }

  function renderTable() {
    var list = visible(), body = $("rows"), frag = document.createDocumentFragment();
    var shown = state.all ? list : list.slice(0, LIMIT);
    shown.forEach(function (r) {
      var v = r.v, tr = document.createElement("tr");
      cell(tr, v[0], "loc");
      cell(tr, v[1], "name");
      var chip = document.createElement("span");
      chip.className = "chip";
      chip.style.setProperty("--c", colour(v[2]));
      chip.textContent = v[2];
      cell(tr, "", "pattern").appendChild(chip);
      for (var k = 3; k < cols.length; k++) {
        var x = v[k], td;
        if (cols[k].key === "gpu_speedup") {
          td = cell(tr, x === null ? "\u2013" : x.toFixed(1) + "\u00d7", "num");
        } else {
          td = cell(tr, x === null ? "\u2013" : x.toFixed(2), "num");
          if (x !== null && x > 0) {     // a thin meter under the figure, growing from the right
            var from = (1 - Math.min(1, x)) * 100;
            td.className = "num meter";
            td.style.backgroundImage = "linear-gradient(90deg, transparent " + from + "%, var(--meter) " +
                                       from + "%)";
          }
        }
      }
      frag.appendChild(tr);
    });
    body.replaceChildren(frag);
    $("shown").textContent = "showing " + shown.length + " of " + rows.length + " functions" +
      (list.length !== rows.length ? " (" + list.length + " match)" : "");
    $("more").hidden = shown.length === list.length;
    $("more").textContent = "show all " + list.length;
    Array.prototype.forEach.call(document.querySelectorAll("#functions th"), function (th) {
      if (th.dataset.key === state.sort) th.setAttribute("aria-sort", state.desc ? "descending" : "ascending");
      else th.removeAttribute("aria-sort");
    });
    Array.prototype.forEach.call(document.querySelectorAll("#chart g[data-pattern]"), function (g) {
      g.classList.toggle("active", g.getAttribute("data-pattern") === state.pattern);
    });
  }

  function update() { writeHash(); renderTable(); }

  function renderHead() {
    var tr = document.createElement("tr");
    cols.forEach(function (c) {
      var th = document.createElement("th");
      th.textContent = c.label;
      th.dataset.key = c.key;
      th.scope = "col";
      th.title = "sort by " + c.key.replace(/_/g, " ");
      if (c.numeric) th.className = "num";
      th.addEventListener("click", function () { sortBy(c.key); });
      tr.appendChild(th);
    });
    $("head").replaceChildren(tr);
  }

  function sortBy(key, desc) {
    if (desc === undefined) desc = state.sort === key ? !state.desc : cols[colIndex[key]].numeric;
    state.sort = key;
    state.desc = desc;
    update();
  }

  function renderChart() {
    var svg = $("chart"), ns = svg.namespaceURI, list = data.patterns;
    // Drawn at the size it is shown (one unit a pixel), so that the labels keep the page's text size.
    var width = Math.max(360, Math.round(svg.getBoundingClientRect().width) || 560);
    var labelW = 178, barW = width - labelW - 56, rowH = 28, top = 6;
    var max = list.reduce(function (m, p) { return Math.max(m, p[1]); }, 1);
    var h = top * 2 + Math.max(list.length, 1) * rowH;
    svg.setAttribute("viewBox", "0 0 " + width + " " + h);
    var el = function (name, attrs, parent) {
      var e = document.createElementNS(ns, name);
      for (var a in attrs) e.setAttribute(a, attrs[a]);
      parent.appendChild(e);
      return e;
    };
    if (!list.length) {
      el("text", {x: 0, y: 20}, svg).textContent = "no functions";
      return;
    }
    list.forEach(function (p, i) {
      var y = top + i * rowH, w = Math.max(2, Math.round(barW * p[1] / max));
      var g = el("g", {"data-pattern": p[0]}, svg);
      el("title", {}, g).textContent = p[0] + ": " + p[1] + " function" + (p[1] === 1 ? "" : "s");
      el("text", {x: labelW - 8, y: y + 18, "text-anchor": "end"}, g).textContent = p[0];
      el("rect", {"class": "bar", x: labelW, y: y + 4, width: w, height: rowH - 8, rx: 3,
                  fill: colour(p[0]), "data-count": p[1]}, g);
      el("text", {"class": "count", x: labelW + w + 6, y: y + 18}, g).textContent = String(p[1]);
      g.addEventListener("click", function () {
        state.pattern = state.pattern === p[0] ? "" : p[0];
        $("pattern-filter").value = state.pattern;
        update();
      });
    });
  }

  function showState() {
    var select = $("pattern-filter");
    select.value = state.pattern;
    if (select.value !== state.pattern) state.pattern = "";
    $("filter").value = state.q;
  }

  function renderControls() {
    var select = $("pattern-filter");
    data.patterns.forEach(function (p) {
      var o = document.createElement("option");
      o.value = p[0];
      o.textContent = p[0] + " (" + p[1] + ")";
      select.appendChild(o);
    });
    showState();
    select.addEventListener("change", function () { state.pattern = select.value; update(); });
    $("filter").addEventListener("input", function () { state.q = $("filter").value; update(); });
    $("more").addEventListener("click", function () { state.all = true; renderTable(); });
  }

  readHash();
  renderHead();
  renderChart();
  renderControls();
  renderTable();
  window.addEventListener("hashchange", function () { readHash(); showState(); renderTable(); });
  window.velkoraReport = {sortBy: sortBy, state: state};
})();
"""

_PAGE = """<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>velkora analysis report</title>
<style>{style}</style>
</head>
<body>
<main>
<header><h1>velkora analysis report</h1><small>{about}</small></header>
<div class="stats">{stats}</div>
{settings}
<div class="split">
<section><h2>Functions per pattern</h2><svg id="chart" role="img" aria-label="functions per pattern"></svg>
<noscript><p class="muted">The chart and the table need JavaScript; the data is in this page's
velkora-data element.</p></noscript></section>
<section><h2>Top candidates per pattern</h2>{top}</section>
</div>
<section>
<h2>Functions</h2>
<div class="controls">
<input id="filter" type="search" placeholder="filter by path or name" aria-label="filter by path or name">
<select id="pattern-filter" aria-label="pattern"><option value="">all patterns</option></select>
<span id="shown"></span>
</div>
<div class="scroll"><table id="functions"><thead id="head"></thead><tbody id="rows"></tbody></table></div>
<button id="more" type="button" hidden></button>
</section>
{skipped}
</main>
<script type="application/json" id="velkora-data">{data}</script>
<script>{script}</script>
</body>
</html>
"""
