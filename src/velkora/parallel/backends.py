"""The mechanics of a map: the caller's thread, a pooled set of threads, pooled worker processes.

Each runner fills `out[start:]` with func(items[i]) in input order, or raises the error of the
lowest-indexed failing item it saw (the item's own exception type, the worker's traceback as its
cause, a note naming the item). Worker processes are loky's reusable executor: started without
`fork` (so threads alive in the caller are no hazard), kept between maps, replaced after a crash.
"""

from __future__ import annotations

import collections
import itertools
import operator
import sys
import logging
import os
import threading
import time
from collections.abc import Callable, Sequence
from concurrent.futures import FIRST_COMPLETED, Future, ThreadPoolExecutor, wait
from concurrent.futures.process import BrokenProcessPool
from typing import Any

from velkora.parallel._worker import Failure, Outcome, SharedPayload, run_chunk
from velkora.parallel.decision import MAX_WAITING_THREADS
from velkora.parallel.probe import WORKER_ENV

logger = logging.getLogger(__name__)

IDLE_SECONDS = 300.0            # worker processes left idle this long exit on their own
SHARED_PAYLOAD_BYTES = 1 << 20  # a pickled function this large goes to the workers once, through
                                # shared memory, instead of with every chunk


class WorkerDied(BrokenProcessPool):
    """A worker process died (os._exit, a crash, a kill by the out-of-memory killer) during a map."""


class RemoteTraceback(Exception):
    """The traceback of an exception raised in a worker, attached as its cause."""

    def __init__(self, text: str) -> None:
        super().__init__(text)
        self.text = text

    def __str__(self) -> str:
        return "\n" + self.text


def reraise(failure: Failure, where: str, of_map: bool = True) -> BaseException:
    """The item's own exception, with the worker's traceback as its cause and a note naming the
    item (for a map) and the worker."""
    index, exc, text, pid = failure
    exc.__cause__ = RemoteTraceback(text)
    exc.add_note(f"raised by item {index} of the map, in {where} (pid {pid})" if of_map
                 else f"raised in {where} (pid {pid})")
    return exc


# ---- serial --------------------------------------------------------------------------------------

def run_serial(func: Callable[[Any], Any], items: Sequence[Any], start: int, out: list[Any]) -> None:
    """Runs the items here, in order; an exception gets a note naming its item."""
    it = iter(items)
    if start:
        collections.deque(itertools.islice(it, start), maxlen=0)
    try:
        # A comprehension is the fastest loop there is; the iterator says where it stopped.
        out[start:] = [func(x) for x in it]
    except Exception as exc:
        exc.add_note(f"raised by item {len(items) - operator.length_hint(it) - 1} of the map")
        raise


# ---- threads -------------------------------------------------------------------------------------

_thread_pool: ThreadPoolExecutor | None = None
_thread_pool_lock = threading.Lock()


def thread_pool() -> ThreadPoolExecutor:
    """The shared thread pool (threads are started as maps need them, up to MAX_WAITING_THREADS)."""
    global _thread_pool
    with _thread_pool_lock:
        if _thread_pool is None:
            _thread_pool = ThreadPoolExecutor(MAX_WAITING_THREADS, thread_name_prefix="velkora-parallel")
        return _thread_pool


def run_threads(func: Callable[[Any], Any], items: Sequence[Any], start: int, out: list[Any],
                workers: int, chunksize: int, timeout: float | None = None) -> None:
    """`workers` loops on the shared pool, each taking the next chunk until none is left or an item
    failed; an interrupt stops them after the items they are running."""
    chunks = iter(range(start, len(items), chunksize))
    take = threading.Lock()
    stop = threading.Event()
    errors: list[tuple[int, BaseException]] = []

    def loop() -> None:
        while not stop.is_set():
            with take:
                s = next(chunks, None)
            if s is None:
                return
            for i in range(s, min(s + chunksize, len(items))):
                try:
                    out[i] = func(items[i])
                except BaseException as exc:
                    errors.append((i, exc))
                    stop.set()
                    return

    pool = thread_pool()
    futures = [pool.submit(loop) for _ in range(max(1, workers))]
    try:
        done, pending = wait(futures, timeout=timeout)
        if pending:
            raise TimeoutError(f"map did not finish within {timeout} s")
    except BaseException:
        stop.set()
        raise
    if errors:
        index, exc = min(errors, key=lambda e: e[0])
        if isinstance(exc, Exception):
            exc.add_note(f"raised by item {index} of the map, on a thread")
        raise exc


# ---- processes -----------------------------------------------------------------------------------

_last_process_use = 0.0
_tokens = itertools.count()


def new_token() -> bytes:
    """A key unique to one map (or one submitted call) under which workers cache its function."""
    return f"{os.getpid()}:{next(_tokens)}".encode()


def pool_warm() -> bool:
    """Whether worker processes were used recently enough to be still running."""
    return time.monotonic() - _last_process_use < IDLE_SECONDS * 0.9 if _last_process_use else False


_executor: Any = None


def process_pool(workers: int) -> Any:
    """loky's reusable executor with `workers` processes (started, resized or replaced as needed)."""
    global _executor
    import loky

    _executor = loky.get_reusable_executor(max_workers=workers, timeout=int(IDLE_SECONDS),
                                           env={WORKER_ENV: "1"})
    arena = sys.modules.get("velkora.memory.arena")
    if arena is not None:
        arena.register_reducers()   # arena arrays travel as handles through loky's pickler too
    return _executor


_skipping_pickler: Any = None


def pickle_function(func: Callable[[Any], Any], skip_large: bool = False) -> tuple[bytes, bool]:
    """(the function as cloudpickle sends it, whether large arrays were left out). Functions of
    __main__ and lambdas go by value. With `skip_large`, large arrays inside it are written as
    references only: the bytes then serve as a check that everything else pickles (cheap however
    much array data the function holds), not to be loaded. Raises whatever pickling raises."""
    global _skipping_pickler
    import io

    import cloudpickle

    if not skip_large:
        return cloudpickle.dumps(func), False
    if _skipping_pickler is None:
        from velkora.parallel.probe import is_large_array

        class Skipping(cloudpickle.Pickler):      # type: ignore[misc]
            skipped = False

            def persistent_id(self, obj: object) -> Any:
                if is_large_array(obj):
                    self.skipped = True
                    return id(obj)
                return None

        _skipping_pickler = Skipping
    buf = io.BytesIO()
    p = _skipping_pickler(buf)
    p.dump(func)
    return buf.getvalue(), bool(p.skipped)


def _died(exc: BaseException, first: int, processes: dict[int, Any]) -> WorkerDied:
    text = str(exc).strip().splitlines()
    cause = " ".join(line.strip() for line in text[:3]) if text else type(exc).__name__
    dead = []
    for pid, process in processes.items():
        code = getattr(process, "exitcode", None)
        if code is not None:
            dead.append(f"pid {pid} " + (f"killed by signal {-code}" if code < 0 else f"exit code {code}"))
    if dead:
        cause = f"worker {', '.join(dead)}; {cause}"
    if "SIGKILL" in cause or "-9" in cause:
        cause += " (killed: SIGKILL is also what the out-of-memory killer sends)"
    return WorkerDied(f"a worker process died while running the map's items from {first} on: {cause}. "
                      "Its pool was discarded; the next map starts fresh workers.")


def shutdown_processes() -> None:
    """Stops the worker processes now (the next map starts new ones)."""
    global _last_process_use, _executor
    if _executor is not None:
        _executor.shutdown(wait=True, kill_workers=True)
        _executor = None
    _last_process_use = 0.0


def run_processes(payload: bytes | SharedPayload | Callable[[Any], Any], items: Sequence[Any], start: int, out: list[Any], workers: int,
                  chunksize: int, timeout: float | None = None) -> None:
    """Sends the items in chunks to the worker processes and gathers the results in order. A dead
    worker raises WorkerDied at once (loky watches every worker's exit); an interrupt cancels what is
    pending and stops the workers, so none outlives it. `payload` is the pickled function, loaded
    once per worker, or the function itself, pickled with every chunk (so that arena arrays bound to
    it travel as a fresh handle each time)."""
    if isinstance(payload, bytes) and len(payload) >= SHARED_PAYLOAD_BYTES:
        shared = SharedPayload.create(payload)
        try:
            run_processes(shared, items, start, out, workers, chunksize, timeout)
        finally:
            shared.unlink()
        return
    global _last_process_use
    token = new_token()
    executor = process_pool(workers)
    _last_process_use = time.monotonic()
    futures: dict[Future[Outcome], int] = {}
    # The workers as they were when the map began, to name the one that dies (loky's table of its
    # processes is internal; without it the error still names the exit status).
    processes: dict[int, Any] = {}
    try:
        for s in range(start, len(items), chunksize):
            futures[executor.submit(run_chunk, token, payload, s, items[s:s + chunksize])] = s
        processes = dict(getattr(executor, "_processes", None) or {})
        pending = set(futures)
        deadline = None if timeout is None else time.monotonic() + timeout
        while pending:
            left = None if deadline is None else max(0.0, deadline - time.monotonic())
            done, pending = wait(pending, timeout=left, return_when=FIRST_COMPLETED)
            if not done:
                raise TimeoutError(f"map did not finish within {timeout} s")
            failures = []
            for f in done:
                try:
                    results, failure = f.result()
                except BrokenProcessPool as exc:
                    raise _died(exc, min(futures[g] for g in pending | done), processes) from exc
                s = futures[f]
                out[s:s + len(results)] = results
                if failure is not None:
                    failures.append(failure)
            if failures:
                raise reraise(min(failures, key=lambda e: e[0]), "a worker process")
    except BaseException as exc:
        for f in futures:
            f.cancel()
        if isinstance(exc, (KeyboardInterrupt, SystemExit)):
            # Items already running would go on after the caller gave up: stop their workers.
            executor.shutdown(wait=True, kill_workers=True)
            _last_process_use = 0.0
        raise
    finally:
        _last_process_use = time.monotonic() if _last_process_use else 0.0

