"""velkora's command line: host probe, static workload analysis, and programs run measured.

    velkora                        probe summary, then the bundled sample program run plain and accelerated
    velkora run [options] SCRIPT|-m MODULE [ARGS...]   see velkora.cli.run
    velkora probe [--json]         the host capability report
    velkora analyze PATH... [options]     see `velkora analyze --help` and the README

`python -m velkora` is the same command. The analysis itself lives in velkora.analysis.classify, the choice of files
in velkora.analysis.sources, the report formats in velkora.cli.report.
Exit status: 0 on success, 2 on usage errors, 1 when nothing could be analysed, 130 when interrupted,
141 when the output pipe closed early.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import sys
import time
from collections.abc import Callable, Iterator
from dataclasses import asdict, dataclass  # noqa: F401  (asdict: imported from here by callers)
from pathlib import Path
from typing import IO, TYPE_CHECKING, Any

from velkora import __version__
from velkora.analysis import notebooks
from velkora.cli import config, html_report, report
from velkora.analysis.classify import DEFAULT_THRESHOLDS, FunctionReport, analyze_source, detect_gpu
from velkora.analysis.classify import source_segment  # noqa: F401  (imported from here before the split)
from velkora.analysis.patterns import WorkloadPattern
from velkora.analysis.sources import (DEFAULT_MAX_FILE_SIZE, FILE_ERRORS, STDIN, Item, Skip, WalkOptions,  # noqa: F401
                             collect, describe, display_path, printable, read_bytes, read_source,
                             read_stdin, read_stdin_bytes)

SAMPLE = Path(__file__).parent.parent / "sample_workload.py"
RUN_SAMPLE = "velkora.sample_program"
FORMATS = ("text", "json", "csv", "markdown")
COLOR_MODES = ("auto", "always", "never")

# Older names, kept for callers of this module.
_printable, _describe = printable, describe


if TYPE_CHECKING:
    from concurrent.futures import Future

    from velkora.analysis.gitignore import RuleSet
    from velkora.native.host_probe import Capabilities

# (reports, None), (None, reason), or for a notebook analysed in part (reports, reason)
FileResult = tuple[list[FunctionReport] | None, str | None]
ItemResult = tuple[Item, list[FunctionReport] | None, str | None]


# ---- probe -------------------------------------------------------------------------------------

def probe_report() -> Capabilities:
    from velkora.native import host_probe

    return host_probe.detect_capabilities()


def format_probe(caps: Capabilities) -> str:
    if caps.get("has_gpu"):
        gpu = (f"{caps.get('gpu_count', 0)} x {caps.get('active_backend')} "
               f"{caps.get('backend_version') or ''}".rstrip())
        if caps.get("gpu_memory_mb"):
            gpu += f", {caps['gpu_memory_mb']} MiB"
    else:
        gpu = "none (CPU only)"
    lines = [
        f"velkora {__version__}: host capabilities ({caps.get('detector')}, "
        f"{caps.get('detection_time_ms', 0.0):.2f} ms)",
        f"  physical cores        {caps.get('physical_cores')}",
        f"  NUMA nodes            {caps.get('numa_nodes')}",
        f"  GPU                   {gpu}",
        f"  interpreter           Python {caps.get('python_version')} on {caps.get('platform')}",
        f"  sub-interpreters      {'supported' if caps.get('subinterpreter_support') else 'not supported'}",
    ]
    if "error" in caps:
        lines.append(f"  probe error           {caps['error']}")
    return "\n".join(lines)


# ---- analysis of files, in this process or in worker processes ----------------------------------

# Below this much source, starting worker processes costs more than they save (the analysis reads about
# 3 MB of source a second per process; starting a pool by fork takes some 20 ms).
POOL_MIN_BYTES = 256 * 1024
# A chunk sent to a worker: at most this many files, about this much source, so that workers stay evenly
# busy to the end and a result in flight is small.
CHUNK_FILES = 32
CHUNK_BYTES = 256 * 1024
# Worker pools started again after one died, before the rest is analysed here instead.
MAX_POOL_RESTARTS = 8
DIED = "the analysis process ended abruptly (killed, or crashed in native code)"


@dataclass(frozen=True)
class Analysis:
    """What every file is analysed with."""
    gpu_available: bool
    compute_capability: str | None
    max_size: int = DEFAULT_MAX_FILE_SIZE


def _analyze_notebook(data: bytes, display: str, analysis: Analysis) -> FileResult:
    """(reports, problem) for a notebook: each code cell on its own, so that a cell that does not parse
    is reported (the first such cell) without hiding the others; lines count within the cell."""
    reports: list[FunctionReport] = []
    problem: str | None = None
    for cell in notebooks.code_cells(data):
        try:
            found = analyze_source(cell.source, display, analysis.gpu_available, analysis.compute_capability)
        except FILE_ERRORS as exc:
            problem = problem or f"cell {cell.number}: {describe(exc)}"
            continue
        for r in found:
            r.cell = cell.number
            reports.append(r)
    return reports, problem


def _analyze_file(path: str, display: str, analysis: Analysis) -> FileResult:
    """(reports, None) or (None, reason) for one file, or (reports, reason) for a notebook analysed in
    part; `display` is the name it is reported under."""
    try:
        if display.endswith(".ipynb"):
            if path == STDIN:
                data = read_stdin_bytes(sys.stdin.buffer, analysis.max_size)
            else:
                data = read_bytes(path, analysis.max_size)
            return _analyze_notebook(data, display, analysis)
        if path == STDIN:
            text = read_stdin(sys.stdin.buffer, analysis.max_size)
        else:
            text = read_source(path, analysis.max_size)
        return analyze_source(text, display, analysis.gpu_available, analysis.compute_capability), None
    except FILE_ERRORS as exc:
        return None, describe(exc)


def _analyze_chunk(chunk: list[tuple[str, str]], analysis: Analysis) -> list[FileResult]:
    """A worker's task: the results of a few files, small records only (no source text)."""
    return [_analyze_file(path, display, analysis) for path, display in chunk]


def _worker_init(parent: int) -> None:
    import signal
    import threading

    # Ctrl-C reaches every process of the terminal's foreground group; the parent alone handles it (and
    # stops the workers), so a worker never prints a traceback of its own. SIGTERM and SIGHUP simply end
    # a worker (the parent's handlers, inherited by fork, are for the parent).
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    signal.signal(signal.SIGTERM, signal.SIG_DFL)
    signal.signal(signal.SIGHUP, signal.SIG_DFL)

    # A parent killed outright (SIGKILL) cannot stop its workers, and they would wait for tasks forever,
    # holding the output pipe open: leave when the parent is gone.
    def watch() -> None:
        while os.getppid() == parent:
            time.sleep(0.5)
        os._exit(1)

    threading.Thread(target=watch, daemon=True).start()


class Stopped(BaseException):
    """SIGTERM or SIGHUP arrived while worker processes ran: raised to stop them, then the signal's default
    action is taken."""

    def __init__(self, signum: int):
        super().__init__(signum)
        self.signum = signum


_PARENT = os.getpid()


def _stop(signum: int, frame: object) -> None:
    if os.getpid() != _PARENT:
        # A worker forked a moment ago, before its initializer reset the handler: end as by default.
        import signal

        signal.signal(signum, signal.SIG_DFL)
        os.kill(os.getpid(), signum)
    raise Stopped(signum)


class _Workers:
    """A process pool that can be stopped at once (Ctrl-C, a closed pipe) and started again after a worker
    died."""

    def __init__(self, jobs: int):
        import multiprocessing
        import threading
        from concurrent.futures import ProcessPoolExecutor

        # fork starts in milliseconds and needs nothing importable; it is unsafe only when threads run.
        methods = multiprocessing.get_all_start_methods()
        method = "fork" if "fork" in methods and threading.active_count() == 1 else "spawn"
        sys.stdout.flush()              # a forked child must not inherit (and write out) buffered output
        sys.stderr.flush()
        self._executor = ProcessPoolExecutor(jobs, multiprocessing.get_context(method), _worker_init,
                                             (os.getpid(),))
        self.jobs = jobs

    def submit(self, chunk: list[Item], analysis: Analysis) -> Future[list[FileResult]]:
        return self._executor.submit(_analyze_chunk, [(i.path, i.display) for i in chunk], analysis)

    def close(self, stop: bool = False) -> None:
        if stop:
            terminate = getattr(self._executor, "terminate_workers", None)      # Python 3.14
            if terminate is not None:
                terminate()
            else:
                for process in list((getattr(self._executor, "_processes", None) or {}).values()):
                    process.terminate()
        self._executor.shutdown(wait=True, cancel_futures=True)


def _start_workers(jobs: int) -> _Workers | None:
    """A pool, or None where processes cannot be had (a sandbox, no /dev/shm): then the analysis runs here."""
    try:
        return _Workers(jobs)
    except (OSError, ImportError, NotImplementedError):
        return None


def _chunks(items: list[Item], jobs: int) -> Iterator[list[Item]]:
    """Consecutive files grouped for the workers; an item to report or to read here (stdin) on its own."""
    total = sum(i.size for i in items)
    target = min(CHUNK_BYTES, max(32 * 1024, total // (jobs * 16)))
    chunk: list[Item] = []
    size = 0
    for item in items:
        if item.error is not None or item.path == STDIN:
            if chunk:
                yield chunk
                chunk, size = [], 0
            yield [item]
            continue
        chunk.append(item)
        size += item.size
        if len(chunk) >= CHUNK_FILES or size >= target:
            yield chunk
            chunk, size = [], 0
    if chunk:
        yield chunk


def _here(item: Item, analysis: Analysis) -> ItemResult:
    if item.error is not None:
        return item, None, item.error
    return (item, *_analyze_file(item.path, item.display, analysis))


def analyze_items(items: list[Item], analysis: Analysis, jobs: int = 1,
                  wait_tick: Callable[[], object] | None = None) -> Iterator[ItemResult]:
    """(item, reports, error) for each item, in the order given, whatever `jobs`.

    With jobs > 1 and enough source, files are analysed in worker processes, a few chunks ahead of the
    one reported next; nothing but file names goes out and small records come back. `wait_tick()` is
    called about four times a second while waiting for a worker.
    """
    files = [i for i in items if i.error is None and i.path != STDIN]
    if jobs <= 1 or len(files) < 2 or sum(i.size for i in files) < POOL_MIN_BYTES:
        for item in items:
            yield _here(item, analysis)
        return
    yield from _pooled(items, min(jobs, len(files)), analysis, wait_tick or (lambda: None))


def _pooled(items: list[Item], jobs: int, analysis: Analysis,
            wait_tick: Callable[[], object]) -> Iterator[ItemResult]:
    import signal
    import threading
    from collections import deque
    from concurrent.futures import wait
    from concurrent.futures.process import BrokenProcessPool

    # Entries are (chunk, solo). A solo chunk (one file, after a worker died) runs alone in the pool,
    # so that if the pool breaks again, that file is the cause.
    pending = deque((chunk, False) for chunk in _chunks(items, jobs))
    inflight: deque[tuple[list[Item], Future[list[FileResult]] | None, bool]] = deque()
    global _PARENT
    _PARENT, handlers = os.getpid(), {}
    if threading.current_thread() is threading.main_thread():
        # Stopped by a signal whose default action would leave the workers behind: stop them first.
        handlers = {sig: signal.signal(sig, _stop) for sig in (signal.SIGTERM, signal.SIGHUP)}
    workers, restarts, finished = _start_workers(jobs), 0, False
    try:
        while pending or inflight:
            while pending and len(inflight) < 3 * jobs and not (
                    inflight and (pending[0][1] or inflight[-1][2])):
                chunk, solo = pending.popleft()
                future = None
                if workers is not None and chunk[0].error is None and chunk[0].path != STDIN:
                    try:
                        future = workers.submit(chunk, analysis)
                    except OSError:             # processes are started here: fork can fail (EAGAIN)
                        workers.close(stop=True)
                        workers = None
                        inflight = deque((c, None, s) for c, _, s in inflight)     # all done here now
                inflight.append((chunk, future, solo))
            chunk, future, solo = inflight.popleft()
            if future is None:
                for item in chunk:
                    yield _here(item, analysis)
                continue
            while not future.done():
                wait([future], timeout=0.25)
                wait_tick()
            try:
                results = future.result()
            except BrokenProcessPool:
                # A worker died (a signal, the out-of-memory killer) and every chunk in flight is lost with
                # it. Run them again, the one being waited for file by file and each alone, so that the
                # file that kills a worker is found and reported and the others are analysed.
                if workers is not None:
                    workers.close(stop=True)
                restarts += 1
                again = [(c, False) for c, _, _ in inflight]
                inflight.clear()
                if solo:
                    yield chunk[0], None, DIED
                else:
                    again[:0] = [([item], True) for item in chunk]
                pending.extendleft(reversed(again))
                workers = _start_workers(jobs) if restarts <= MAX_POOL_RESTARTS else None
                continue
            for item, (found, error) in zip(chunk, results):
                yield item, found, error
        finished = True
    finally:
        if workers is not None:
            workers.close(stop=not finished)
        for sig, handler in handlers.items():
            signal.signal(sig, handler)


# ---- progress -----------------------------------------------------------------------------------

class Progress:
    """`velkora: 120/566 files, 2.3 s` on one line of a terminal, redrawn in place, for runs that take
    longer than DELAY seconds; nothing when disabled."""

    DELAY = 1.0
    INTERVAL = 0.1

    def __init__(self, stream: IO[str], enabled: bool, clock: Callable[[], float] = time.monotonic) -> None:
        self.stream, self.enabled, self.clock = stream, enabled, clock
        self.started = clock()
        self.total: int | None = None
        self.done, self.found = 0, 0
        self._drawn, self._last = 0, -math.inf

    def finding(self, found: int) -> None:
        self.found = found
        self.refresh()

    def begin(self, total: int) -> None:
        self.total, self.done = total, 0

    def advance(self) -> None:
        self.done += 1
        self.refresh()

    def refresh(self) -> None:
        if not self.enabled:
            return
        now = self.clock()
        if now - self.started < self.DELAY or now - self._last < self.INTERVAL:
            return
        self._last = now
        elapsed = now - self.started
        if self.total is None:
            text = f"velkora: finding files, {self.found} so far, {elapsed:.1f} s"
        else:
            text = f"velkora: {self.done}/{self.total} files, {elapsed:.1f} s"
        self._write("\r" + text.ljust(self._drawn))
        self._drawn = len(text)

    def clear(self) -> None:
        if self._drawn:
            self._write("\r" + " " * self._drawn + "\r")
            self._drawn = 0

    def message(self, line: str) -> None:
        """A line of its own on the stream, the progress line (if shown) redrawn after it."""
        self.clear()
        self._write(line + "\n")
        self._last = -math.inf

    def _write(self, text: str) -> None:
        self.stream.write(text)
        self.stream.flush()


# ---- settings: command line over [tool.velkora] over defaults -------------------------------------

def default_jobs() -> int:
    try:
        return max(1, len(os.sched_getaffinity(0)))
    except (AttributeError, OSError):
        return os.cpu_count() or 1


DEFAULTS = {
    "format": "text", "wide": False, "sort": "path", "top": None, "pattern": [], "min_speedup": None,
    "exclude": [], "hidden": False, "respect_gitignore": True, "jobs": None, "max_file_size":
    DEFAULT_MAX_FILE_SIZE, "gpu": None, "compute_capability": None, "color": "auto", "quiet": False,
}


def _pattern_names() -> tuple[str, ...]:
    return (*(p.name for p in WorkloadPattern), report.NO_CODE)


def _patterns(text: str) -> list[str]:
    """NAME[,NAME...]: pattern names, in any case, `-` or `_` between words."""
    names = []
    for part in text.split(","):
        try:
            name = WorkloadPattern.parse(part).name
        except KeyError:
            name = part.strip().upper().replace("-", "_")
            if name != report.NO_CODE:  # a label of the report, not a scorer code
                raise argparse.ArgumentTypeError(f"unknown pattern {part.strip()!r} (choose from "
                                                 f"{', '.join(_pattern_names())})") from None
        names.append(name)
    return names


def _globs(text: str) -> list[str]:
    globs = [g.strip() for g in text.split(",") if g.strip()]
    if not globs:
        raise argparse.ArgumentTypeError("empty pattern")
    return globs


def _positive_int(text: str) -> int:
    if not (text.isascii() and text.isdigit()) or len(text) > 9 or int(text) == 0:
        raise argparse.ArgumentTypeError(f"invalid value {text!r}: expected a positive whole number")
    return int(text)


def _speedup(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not (math.isfinite(value) and value >= 0) or not text.isascii():
        raise argparse.ArgumentTypeError(f"invalid speedup {text!r}: expected a number, e.g. 1.5")
    return value


_CHOICES = {"format": FORMATS, "sort": report.SORTS, "color": COLOR_MODES}


def _config_value(dest: str, value: Any) -> object:
    """A [tool.velkora] value (of a type velkora.cli.config has checked) read as its option's argument."""
    if dest in _CHOICES:
        if value not in _CHOICES[dest]:
            raise argparse.ArgumentTypeError(f"invalid choice {value!r} (choose from {', '.join(_CHOICES[dest])})")
        return value
    if dest in ("pattern", "exclude"):
        parse = _patterns if dest == "pattern" else _globs
        return [v for text in (value if isinstance(value, list) else [value]) for v in parse(text)]
    convert: Callable[[str], object] | None = {
        "top": _positive_int, "jobs": _positive_int, "min_speedup": _speedup, "max_file_size": _size,
        "compute_capability": _compute_capability}.get(dest)
    return convert(str(value)) if convert is not None else value


# ---- the run ------------------------------------------------------------------------------------

def _isatty(stream: IO[str]) -> bool:
    try:
        return bool(stream.isatty())
    except (AttributeError, ValueError):
        return False


def use_color(mode: str, stream: IO[str]) -> bool:
    """--color always/never decide; otherwise NO_COLOR (any value) turns colour off, FORCE_COLOR (other than
    0 or false) turns it on, and without either a terminal gets colour and a pipe or file does not."""
    if mode != "auto":
        return mode == "always"
    if os.environ.get("NO_COLOR"):
        return False
    if os.environ.get("FORCE_COLOR", "") not in ("", "0", "false"):
        return True
    return _isatty(stream) and os.environ.get("TERM") != "dumb"


def _width(stream: IO[str]) -> int:
    if not _isatty(stream):
        return 80
    import shutil

    return max(60, shutil.get_terminal_size().columns)


def _exclusions(globs: list[str], base: str | None) -> RuleSet | None:
    if not globs:
        return None
    from velkora.analysis import gitignore

    return gitignore.RuleSet(base or os.sep, gitignore.parse_lines(globs), anywhere=True)


def run_analysis(paths: list[str], settings: dict[str, Any], analysis: Analysis, out: IO[str] | None = None,
                 config: str | None = None,
                 stdin_name: str | None = None, html_path: str | None = None) -> int:
    """Analyse `paths` and write the report to `out` (default stdout); returns the exit status."""
    out = out or sys.stdout
    err = sys.stderr
    progress = Progress(err, enabled=not settings["quiet"] and _isatty(err))
    options = WalkOptions(settings["hidden"], settings["respect_gitignore"],
                          _exclusions(settings["exclude"], settings.get("exclude_base")))
    items = collect(paths, options, analysis.max_size, progress.finding, stdin_name)
    progress.begin(len(items))
    reports, skipped, files = [], [], 0
    try:
        for item, found, error in analyze_items(items, analysis, settings["jobs"] or default_jobs(),
                                                progress.refresh):
            if found is not None:
                files += 1
                reports.extend(found)
            if error is not None:
                # One line per problem on stderr, whatever the output format, as compilers and linters do.
                skipped.append((item.display, error))
                progress.message(f"{printable(item.display)}: error: {printable(error)}")
            progress.advance()
    finally:
        progress.clear()
    doc = report.document(reports, skipped, files, {
        "gpu_available": analysis.gpu_available, "compute_capability": analysis.compute_capability,
        "thresholds": DEFAULT_THRESHOLDS, "sort": settings["sort"], "top": settings["top"],
        "patterns": settings["pattern"], "min_speedup": settings["min_speedup"],
        "exclude": settings["exclude"], "hidden": settings["hidden"],
        "respect_gitignore": settings["respect_gitignore"], "max_file_size": analysis.max_size,
        "config": display_path(config, _cwd()) if config else None,
    })
    if html_path is not None:
        try:
            html_report.write(html_path, doc)
        except OSError as exc:
            print(f"{printable(html_path)}: error: cannot write the HTML report: {exc.strerror or exc}",
                  file=err)
            return 1
        if not settings["quiet"]:
            print(f"wrote {printable(html_path)}", file=err)
    fmt = settings["format"]
    if fmt == "json":
        text = report.render_json(doc)
    elif fmt == "csv":
        text = report.render_csv(doc)
    elif fmt == "markdown":
        text = report.render_markdown(doc, wide=settings["wide"])
    else:
        text = report.render_text(doc, _width(out), use_color(settings["color"], out), settings["wide"],
                                  with_summary=not settings["quiet"])
    # In pieces: a single write of a few hundred kilobytes to a pipe whose reader leaves part-way through
    # can return without the BrokenPipeError that a piecewise write reports.
    for start in range(0, len(text), 1 << 15):
        out.write(text[start:start + (1 << 15)])
    if not reports:
        print("no functions analysed", file=err)
    return 0 if reports else 1


def _cwd() -> str | None:
    try:
        return os.getcwd()
    except OSError:
        return None


def analyze_paths(paths: list[str], gpu_available: bool, compute_capability: str | None,
                  max_size: int = DEFAULT_MAX_FILE_SIZE) -> tuple[list[FunctionReport], list[tuple[str, str]]]:
    """(reports, problems) for `paths` with the default walk, in this process; problems are (path, reason).

    One bad file never stops the run: whatever reading or parsing it raises is reported and it is skipped.
    """
    reports: list[FunctionReport] = []
    problems: list[tuple[str, str]] = []
    items = collect(paths, WalkOptions(), max_size)
    for item, found, error in analyze_items(items, Analysis(gpu_available, compute_capability, max_size)):
        if found is not None:
            reports.extend(found)
        if error is not None:
            problems.append((item.display, error))
    return reports, problems


def format_reports(reports: list[FunctionReport]) -> str:
    """The text table of `reports`, without the summary."""
    doc = report.document(reports, [], 0, {"sort": "path"})
    return report.render_text(doc, with_summary=False).rstrip("\n")


# ---- entry point -------------------------------------------------------------------------------

def _parser(prog: str = "velkora") -> argparse.ArgumentParser:
    ap = argparse.ArgumentParser(prog=prog, description="velkora: host probe and workload analysis")
    ap.add_argument("--version", action="version", version=f"velkora {__version__}")
    sub = ap.add_subparsers(dest="command")
    sub.add_parser("run", help="run a Python program measured, and report what to do about its hot functions "
                              "(see `run --help`)", add_help=False)
    p = sub.add_parser("probe", help="report the host's capabilities")
    p.add_argument("--json", action="store_true", help="print the report as JSON")
    a = sub.add_parser(
        "analyze", help="classify the workload of every function in Python files",
        description="Classify the workload of every function in Python files. Options not given are taken "
                    "from [tool.velkora] in the nearest pyproject.toml, if any.")
    a.add_argument("paths", nargs="+", metavar="PATH",
                   help="Python files or directories (walked for *.py); - reads one file from stdin")

    o = a.add_argument_group("output")
    fmt = o.add_mutually_exclusive_group()
    fmt.add_argument("--json", dest="format", action="store_const", const="json",
                     help="the result document as JSON (fields: see the README)")
    fmt.add_argument("--csv", dest="format", action="store_const", const="csv", help="one CSV line per function")
    fmt.add_argument("--markdown", dest="format", action="store_const", const="markdown",
                     help="a Markdown table and summary")
    fmt.add_argument("--format", choices=FORMATS, help="the same by name (default: text)")
    o.add_argument("--html", metavar="FILE",
                   help="also write a self-contained HTML page (chart, sortable table, top candidates)")
    o.add_argument("--wide", action=argparse.BooleanOptionalAction, default=None,
                   help="every score in its own column, one line per function, whatever the width")
    o.add_argument("--color", choices=COLOR_MODES, default=None,
                   help="colour the text table: auto (default: on a terminal, unless NO_COLOR is set)")
    o.add_argument("-q", "--quiet", action="store_true", default=None, help="no progress line, no summary")

    s = a.add_argument_group("choosing what to see")
    s.add_argument("--sort", choices=report.SORTS,
                   help="path (default: by file, then line), speedup (estimated GPU speedup, highest first) or "
                        "score (the evidence for the function's pattern, highest first)")
    s.add_argument("--top", metavar="N", type=_positive_int, help="show only the first N functions")
    s.add_argument("--pattern", metavar="NAME[,NAME...]", type=_patterns, action="extend",
                   help="show only functions with these patterns (repeatable)")
    s.add_argument("--min-speedup", metavar="X", type=_speedup,
                   help="show only functions with an estimated GPU speedup of at least X")

    f = a.add_argument_group("choosing files")
    f.add_argument("--exclude", metavar="GLOB[,GLOB...]", type=_globs, action="extend",
                   help="leave out walked files and directories that match (gitignore syntax; repeatable)")
    f.add_argument("--hidden", action=argparse.BooleanOptionalAction, default=None,
                   help="also walk hidden files and directories (names starting with a dot)")
    f.add_argument("--no-ignore", dest="respect_gitignore", action="store_false", default=None,
                   help="walk what .gitignore files exclude too")
    f.add_argument("--respect-gitignore", dest="respect_gitignore", action="store_true", default=None,
                   help="leave out what .gitignore files exclude (the default)")
    f.add_argument("--max-file-size", metavar="SIZE", type=_size, default=None,
                   help="skip (and report) files larger than this: bytes, or a number with K, M or G "
                        f"(default: {DEFAULT_MAX_FILE_SIZE >> 20}M)")
    f.add_argument("--stdin-filename", metavar="NAME", help="the name to report standard input (-) under")
    c = f.add_mutually_exclusive_group()
    c.add_argument("--config", metavar="FILE", help="read [tool.velkora] from this file instead")
    c.add_argument("--no-config", action="store_true", help="read no pyproject.toml")

    r = a.add_argument_group("analysis")
    r.add_argument("-j", "--jobs", metavar="N", type=_positive_int, default=None,
                   help=f"analyse in N processes (default: the cores this process may use, {default_jobs()})")
    g = r.add_mutually_exclusive_group()
    g.add_argument("--gpu", dest="gpu", action="store_true", default=None, help="assume a GPU is available")
    g.add_argument("--no-gpu", dest="gpu", action="store_false", help="assume no GPU")
    r.add_argument("--compute-capability", metavar="X.Y", type=_compute_capability, default=None,
                   help="GPU compute capability to score against (default: none given)")
    return ap


def _size(text: str) -> int:
    """A byte count for --max-file-size: 4096, 512K, 4M, 1G (powers of 1024)."""
    number, unit = text[:-1], text[-1:].upper()
    if unit not in ("K", "M", "G"):
        number, unit = text, ""
    if not (number.isascii() and number.isdigit()) or len(number) > 18 or int(number) == 0:
        raise argparse.ArgumentTypeError(f"invalid size {text!r}: expected a positive number of bytes, "
                                         "optionally with K, M or G")
    return int(number) << {"": 0, "K": 10, "M": 20, "G": 30}[unit]


def _compute_capability(text: str) -> str:
    """MAJOR.MINOR in ASCII digits, the major within the scorer's 32-bit range."""
    major, dot, minor = text.partition(".")
    if not (dot and all(part.isascii() and part.isdigit() for part in (major, minor))):
        raise argparse.ArgumentTypeError(f"invalid compute capability {text!r}: expected MAJOR.MINOR, e.g. 8.6")
    if len(major.lstrip("0")) > 10 or int(major) >= 2**31:
        raise argparse.ArgumentTypeError(f"compute capability {text!r} out of range")
    return text


def _gpu_available(flag: bool | None, cc: str | None) -> tuple[bool, str | None]:
    """The GPU flag and compute capability to analyse with: as given, or asked of the host."""
    if flag is not None:
        return flag, cc
    gpu, probed = detect_gpu()
    return gpu, cc or probed


def _settings(args: argparse.Namespace, ap: argparse.ArgumentParser) -> tuple[dict[str, Any], str | None]:
    """Each analyze option from the command line, else from [tool.velkora], else its default; and the
    configuration file read, if any."""
    cwd = _cwd() or os.sep
    path = None
    try:
        if args.config is not None:
            if not os.path.isfile(args.config):
                ap.error(f"no such configuration file: {args.config}")
            path = args.config
        elif not args.no_config:
            path = config.find(cwd)
        from_config = config.read(path, _config_value) if path else {}
    except config.ConfigError as exc:
        ap.error(str(exc))
    settings = {}
    for key, default in DEFAULTS.items():
        given = getattr(args, key, None)
        settings[key] = given if given is not None else from_config.get(key, default)
    # --exclude patterns are relative to where they were written: the current directory, or the
    # directory of the configuration file.
    settings["exclude_base"] = cwd if args.exclude is not None or not path else (
        os.path.dirname(os.path.abspath(path)))
    return settings, path


def _command(argv: list[str] | None, prog: str) -> int:
    words = sys.argv[1:] if argv is None else argv
    if words[:1] == ["run"]:
        # Everything after the program's name is the program's: argparse must not see it.
        from velkora.cli import run

        return run.main(words[1:], prog=f"{prog} run")
    ap = _parser(prog)
    args = ap.parse_args(argv)
    if args.command is None:
        # The main job: the bundled sample program run plain and accelerated, measured both times.
        from velkora.cli import run

        print(format_probe(probe_report()))
        print(f"\nRunning the bundled sample program ({RUN_SAMPLE}) plain, then accelerated; "
              f"`{prog} run --compare SCRIPT` does the same for your program:\n", flush=True)
        return run.main(["--compare", "--output", "-", "-m", RUN_SAMPLE], prog=f"{prog} run")
    if args.command == "probe":
        caps = probe_report()
        print(json.dumps(caps, indent=2) if args.json else format_probe(caps))
        return 0
    if args.paths.count(STDIN) > 1:
        ap.error("standard input (-) can be read once only")
    for p in args.paths:
        if p == STDIN:
            continue
        if not os.path.exists(p):
            ap.error(f"no such file or directory: {p}")
        if not os.access(p, os.R_OK):
            ap.error(f"cannot read: {p}")
    settings, path = _settings(args, ap)
    gpu, cc = _gpu_available(settings["gpu"], settings["compute_capability"])
    return run_analysis(args.paths, settings, Analysis(gpu, cc, settings["max_file_size"]),
                        config=path, stdin_name=args.stdin_filename, html_path=args.html)


def _silence_stdout() -> None:
    # The interpreter flushes stdout again at exit; point it at /dev/null so that flush cannot fail too.
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    except (OSError, ValueError):
        pass


def main(argv: list[str] | None = None, prog: str = "velkora") -> int:
    """The `velkora` command (`python -m velkora` passes its own name); returns the exit status."""
    try:
        status = _command(argv, prog)
        sys.stdout.flush()      # a closed pipe shows here, not in the interpreter's final flush
        return status
    except KeyboardInterrupt:
        return 130              # 128 + SIGINT, what shells report for an interrupted command
    except Stopped as exc:      # the workers are gone; now end as the signal would have ended us
        import signal

        signal.signal(exc.signum, signal.SIG_DFL)
        os.kill(os.getpid(), exc.signum)
        return 128 + exc.signum
    except BrokenPipeError:     # the reader went away (`| head`): nothing more to say
        _silence_stdout()
        return 141              # 128 + SIGPIPE, as for a command the signal ended
