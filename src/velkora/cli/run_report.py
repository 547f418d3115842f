"""The report of `velkora run`: the measured session joined with the static analysis and the advice into
one document (plain data), and that document rendered as text, JSON, Markdown or HTML.
"""

from __future__ import annotations

import html
import json
import os
from collections.abc import Callable
from dataclasses import replace
from typing import Any

from velkora.monitoring.advice import Facts, advise
from velkora.monitoring.profile import Session

# Functions shown in the text and Markdown tables (all are in JSON).
DEFAULT_TOP = 15


def _static(files: set[str], gpu: bool) -> dict[tuple[str, str], Any]:
    from velkora.analysis import analyze_source

    out: dict[tuple[str, str], Any] = {}
    for path in files:
        try:
            with open(path, encoding="utf-8", errors="replace") as f:
                text = f.read()
            for r in analyze_source(text, path, gpu, None):
                out[(path, r.function)] = r
        except (OSError, SyntaxError, ValueError, RecursionError, MemoryError):
            continue
    return out


def _verdict(outcome: dict[str, Any] | None) -> str | None:
    if not outcome:
        return None
    state = outcome.get("state")
    if state == "compiled":
        sp = outcome.get("speedup")
        return "accepts it" + (f" (measured {sp:.1f}x)" if isinstance(sp, (int, float)) else "")
    if state in ("failed", "reverted"):
        return f"{'refuses' if state == 'failed' else 'was reverted'}: {outcome.get('reason') or 'no reason given'}"
    return None


def describe_outcome(outcome: dict[str, Any]) -> str:
    """One line on what the driver did with a function."""
    state = str(outcome.get("state"))
    reason = str(outcome.get("reason") or "")
    if len(reason) > 120:
        reason = reason[:117] + "..."
    calls = outcome.get("calls")
    if state == "compiled":
        sp = outcome.get("speedup")
        text = "compiled"
        if calls is not None:
            text += f" after {calls:,} calls" if calls else ""
        if isinstance(sp, (int, float)):
            text += f", measured {sp:.1f}x"
        return text
    if state == "failed":
        return f"refused: {reason}" if reason else "refused by the compiler"
    if state == "reverted":
        return f"reverted: {reason}" if reason else "reverted"
    if state == "left alone":
        return f"left alone: {reason}"
    if state == "interpreted":
        return f"interpreted: {reason}" if reason else "interpreted (not hot enough to compile)"
    return state


def readvise(row: dict[str, Any], host: dict[str, Any], compiler: str | None) -> None:
    """Advise `row` (a function of a document) again, now knowing what the compiler made of it in another
    run (`--compare`'s accelerated run): a numeric loop the compiler takes is advised to be compiled."""
    facts = Facts(calls=int(row["calls"]), own=float(row["own_s"]), share=float(row["share"]),
                  pattern=row["pattern"], embarrassing_loops=int(row.get("independent_loops") or 0),
                  gpu_speedup=float(row.get("gpu_speedup") or 0.0), cores=int(host.get("cores") or 1),
                  gpu=bool(host.get("gpu")), compiler=compiler, loops=bool(row.get("loops", True)),
                  recursive=bool(row.get("recursive", False)))
    a = advise(facts)
    row.update(advice=a.text, action=a.action, velkora_call=a.call, compiler=compiler)


# Hot functions the compiler is tried on in a dry run, at most.
DRY_RUNS = 3


def document(session: Session, host: dict[str, Any], top: int = DEFAULT_TOP,
             check: Callable[[str], str | None] | None = None) -> dict[str, Any]:
    """The report document of `session` (plain data: what every renderer shows). `check(key)`, where
    given, is the compiler's dry run of a function ("file:qualname"), asked for the hottest
    functions the advice would compile."""
    measured = session.measured or 1e-12
    gpu = bool(host.get("gpu"))
    static = _static({f.file for f in session.functions}, gpu)
    by_name: dict[str, dict[str, Any]] = {}
    for key, verdict in session.outcomes.items():
        by_name.setdefault(key, verdict)
    rows = []
    dry_runs = 0

    def spread(value: float) -> float | None:
        return None if session.timing == "sampled" else value
    for f in session.functions:
        rep = static.get((f.file, f.name))
        outcome: dict[str, Any] | None = by_name.get(f"{f.file}:{f.name}")
        facts = Facts(calls=f.calls, own=f.own, share=f.own / measured,
                      pattern=rep.pattern if rep else None,
                      embarrassing_loops=rep.embarrassing_count if rep else 0,
                      gpu_speedup=rep.gpu_speedup if rep else 0.0, cores=int(host.get("cores") or 1),
                      gpu=gpu, compiler=_verdict(outcome), loops=f.loops, recursive=f.recursive)
        a = advise(facts)
        if a.action == "compile" and check is not None and facts.compiler is None and dry_runs < DRY_RUNS:
            dry_runs += 1
            tried = check(f"{f.file}:{f.name}")
            if tried is not None:
                facts = replace(facts, compiler=tried)
                a = advise(facts)
        rows.append({
            "function": f.name, "file": f.file, "line": f.line, "calls": f.calls, "total_s": f.total,
            "own_s": f.own, "share": facts.share, "mean_s": f.mean,
            # Sampled times have no single call's duration to spread over.
            "std_s": spread(f.std), "min_s": spread(f.min), "max_s": spread(f.max), "pattern": facts.pattern, "reasons": list(rep.reasons) if rep else [],
            "advice": a.text, "action": a.action, "velkora_call": a.call,
            "accelerate": describe_outcome(outcome) if outcome else None,
            "compiler": facts.compiler, "independent_loops": facts.embarrassing_loops,
            "loops": f.loops, "recursive": f.recursive,
            "gpu_speedup": facts.gpu_speedup,
        })
    libs = [{"package": p.name, "calls": p.calls, "own_s": p.own, "share": p.own / measured,
             "native": p.native,
             "advice": "already in native code: nothing to gain" if p.native else "library Python code"}
            for p in session.packages]
    return {
        "program": session.program, "argv": session.argv, "root": session.root, "python": session.python,
        "status": session.status, "ended": session.ended, "wall_s": session.wall,
        "measured_s": session.measured, "mechanism": session.mechanism, "timing": session.timing,
        "threads": session.threads,
        "accelerated": session.accelerated, "host": host, "top": top,
        "functions": rows, "libraries": libs,
        # Every function the driver handled, measured or not (one loaded compiled from the cache runs
        # natively from its first call and never shows among the measured functions).
        "outcomes": {key: {"accelerate": describe_outcome(v), "compiler": _verdict(v)}
                     for key, v in by_name.items()},
    }


def _location(row: dict[str, Any], root: str) -> str:
    try:
        rel = os.path.relpath(row["file"], root)
    except ValueError:
        rel = row["file"]
    return f"{rel}:{row['line']}"


def _count(calls: int | None) -> str:
    return "-" if calls is None else f"{calls:,}"


def _secs(s: float) -> str:
    return f"{s:.3f}" if s < 10 else f"{s:.1f}"


def render_text(doc: dict[str, Any], compare: dict[str, Any] | None = None) -> str:
    """The report for a terminal: headline, hot functions, libraries, and the comparison if any."""
    lines = [f"velkora run: {doc['program']} ended ({doc['ended']}) with status {doc['status']} after "
             f"{_secs(doc['wall_s'])} s; {doc['mechanism']}, {doc['threads']} thread(s), "
             f"Python {doc['python']}" + (", accelerated" if doc["accelerated"] else "")]
    rows = doc["functions"][: doc["top"]]
    if rows:
        lines.append("")
        lines.append(f"{'share':>6} {'own s':>8} {'total s':>8} {'calls':>11}  function")
        for r in rows:
            lines.append(f"{r['share']:6.1%} {_secs(r['own_s']):>8} {_secs(r['total_s']):>8} {r['calls']:>11,}  "
                         f"{r['function']} ({_location(r, doc['root'])}) [{r['pattern'] or 'not analysed'}]")
            lines.append(f"{'':38}-> {r['advice']}" + (f"  [{r['velkora_call']}]" if r["velkora_call"] else ""))
            if r["accelerate"]:
                lines.append(f"{'':38}   accelerate: {r['accelerate']}")
        hidden = len(doc["functions"]) - len(rows)
        if hidden > 0:
            lines.append(f"{'':38}({hidden} more functions: --json lists all)")
    else:
        lines.append("no function of the program's own files ran while measured")
    libs = [p for p in doc["libraries"] if p["share"] >= 0.005][:8]
    if libs:
        lines.append("")
        lines.append("time in libraries:")
        for p in libs:
            lines.append(f"{p['share']:6.1%} {_secs(p['own_s']):>8} {_count(p['calls']):>20}  {p['package']}: {p['advice']}")
    if compare is not None:
        lines.append("")
        lines.extend(compare_lines(compare))
    return "\n".join(lines) + "\n"


def compare_lines(compare: dict[str, Any]) -> list[str]:
    """Plain and accelerated wall times and the time saved."""
    plain, fast = compare["plain_wall_s"], compare["accelerated_wall_s"]
    saved = plain - fast
    ratio = plain / fast if fast > 0 else float("inf")
    same = "same output" if compare.get("same_output") else "OUTPUT DIFFERS"
    return [f"plain {_secs(plain)} s, accelerated {_secs(fast)} s: saved {_secs(saved)} s ({ratio:.2f}x); {same}"]


def render_json(doc: dict[str, Any], compare: dict[str, Any] | None = None) -> str:
    """The document as JSON (times in seconds)."""
    return json.dumps({**doc, "compare": compare}, indent=2, default=str) + "\n"


def _md(text: object) -> str:
    return str(text).replace("|", "\\|").replace("\n", " ")


def render_markdown(doc: dict[str, Any], compare: dict[str, Any] | None = None) -> str:
    """A Markdown table of the hot functions, then libraries and the comparison."""
    out = [f"**velkora run** `{_md(doc['program'])}`: status {doc['status']} ({doc['ended']}), "
           f"{_secs(doc['wall_s'])} s, {doc['mechanism']}, {doc['threads']} thread(s)", "",
           "| share | own s | total s | calls | function | pattern | advice | accelerate |",
           "|---:|---:|---:|---:|---|---|---|---|"]
    for r in doc["functions"][: doc["top"]]:
        out.append(f"| {r['share']:.1%} | {_secs(r['own_s'])} | {_secs(r['total_s'])} | {r['calls']:,} | "
                   f"`{_md(r['function'])}` {_md(_location(r, doc['root']))} | {_md(r['pattern'] or '')} | "
                   f"{_md(r['advice'])} | {_md(r['accelerate'] or '')} |")
    if doc["libraries"]:
        out += ["", "| library | share | own s | calls |", "|---|---:|---:|---:|"]
        out += [f"| {_md(p['package'])} | {p['share']:.1%} | {_secs(p['own_s'])} | {_count(p['calls'])} |"
                for p in doc["libraries"][:8]]
    if compare is not None:
        out += ["", *compare_lines(compare)]
    return "\n".join(out) + "\n"


def render_html(doc: dict[str, Any], compare: dict[str, Any] | None = None) -> str:
    """A self-contained page: the same tables, escaped."""
    e = html.escape
    rows = "".join(
        f"<tr><td>{r['share']:.1%}</td><td>{_secs(r['own_s'])}</td><td>{_secs(r['total_s'])}</td>"
        f"<td>{r['calls']:,}</td><td><code>{e(r['function'])}</code> {e(_location(r, doc['root']))}</td>"
        f"<td>{e(r['pattern'] or '')}</td><td>{e(r['advice'])}</td><td>{e(r['accelerate'] or '')}</td></tr>"
        for r in doc["functions"])
    libs = "".join(f"<tr><td>{e(p['package'])}</td><td>{p['share']:.1%}</td><td>{_secs(p['own_s'])}</td>"
                   f"<td>{_count(p['calls'])}</td></tr>" for p in doc["libraries"])
    cmp = f"<p>{e(compare_lines(compare)[0])}</p>" if compare is not None else ""
    return ("<!DOCTYPE html><html><head><meta charset='utf-8'><title>velkora run</title>"
            "<style>body{font-family:sans-serif}td,th{padding:2px 8px;text-align:left}</style></head><body>"
            f"<h1>velkora run: {e(doc['program'])}</h1><p>status {doc['status']} ({e(doc['ended'])}), "
            f"{_secs(doc['wall_s'])} s, {e(doc['mechanism'])}, {doc['threads']} thread(s)</p>{cmp}"
            "<table><tr><th>share</th><th>own s</th><th>total s</th><th>calls</th><th>function</th>"
            f"<th>pattern</th><th>advice</th><th>accelerate</th></tr>{rows}</table>"
            f"<h2>libraries</h2><table><tr><th>package</th><th>share</th><th>own s</th><th>calls</th></tr>{libs}"
            "</table></body></html>\n")
