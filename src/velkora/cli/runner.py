"""Runs the analysis over the files a walk chose: in this process, or in worker processes a few files at a time.

The command (velkora.cli.analyze) decides what to read and how to report it; this module reads and analyses,
and owns the worker pool, the signals that stop it and the progress line on the terminal. Results come back
in the order of the items, whatever the number of processes.
"""

from __future__ import annotations

import math
import os
import sys
import time
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from typing import IO, TYPE_CHECKING

from velkora.analysis import notebooks
from velkora.analysis.classify import FunctionReport, analyze_source
from velkora.analysis.sources import (DEFAULT_MAX_FILE_SIZE, FILE_ERRORS, STDIN, Item, Skip, describe,
                                      read_bytes, read_source, read_stdin, read_stdin_bytes)
from velkora.cli.config import default_jobs
from velkora.cli.output import OutputError, Stopped, write_out  # noqa: F401  (re-exported)

if TYPE_CHECKING:
    from concurrent.futures import Future

# (reports, None), (None, reason), or for a notebook analysed in part (reports, reason)
FileResult = tuple[list[FunctionReport] | None, str | None]
ItemResult = tuple[Item, list[FunctionReport] | None, str | None]

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
# --jobs is clamped to this many processes per core this process may use.
MAX_JOBS_PER_CORE = 4


@dataclass(frozen=True)
class Analysis:
    """What every file is analysed with."""
    gpu_available: bool
    compute_capability: str | None
    max_size: int = DEFAULT_MAX_FILE_SIZE
    thresholds: tuple[tuple[str, float], ...] = ()     # analysis thresholds set over the defaults


def _analyze_notebook(data: bytes, display: str, analysis: Analysis) -> FileResult:
    """(reports, problem) for a notebook: each code cell on its own, so that a cell that does not parse
    is reported (the first such cell) without hiding the others; lines count within the cell. The cells
    share one namespace, top to bottom: what an earlier cell imports, a later one sees."""
    reports: list[FunctionReport] = []
    problem: str | None = None
    namespace: dict[str, str] = {}
    for cell in notebooks.code_cells(data):
        try:
            found = analyze_source(cell.source, display, analysis.gpu_available, analysis.compute_capability,
                                   namespace, dict(analysis.thresholds) or None)
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
        if path == STDIN and sys.stdin is None:         # started with standard input closed
            raise Skip("cannot read: standard input is closed")
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
        if analysis.thresholds:
            return analyze_source(text, display, analysis.gpu_available, analysis.compute_capability,
                                  thresholds=dict(analysis.thresholds)), None
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
                processes = list((getattr(self._executor, "_processes", None) or {}).values())
                for process in processes:
                    process.terminate()
                # A worker that outlives SIGTERM (caught mid-start with a handler not yet reset) would
                # keep shutdown waiting for ever: kill what is still there after a grace period.
                for process in processes:
                    process.join(2.0)
                    if process.is_alive():
                        process.kill()
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
    # More processes than files, or than a few per core, only cost memory and start-up time.
    jobs = min(jobs, len(files), MAX_JOBS_PER_CORE * default_jobs())
    yield from _pooled(items, jobs, analysis, wait_tick or (lambda: None))


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

