"""map and explain: measure (once per function), decide, run, on the backend the evidence favours."""

from __future__ import annotations

import logging
import sys
import time
import warnings
from collections.abc import Callable, Iterable, Sequence
from dataclasses import replace
from typing import Any, TypeVar

from velkora.parallel import backends, probe
from velkora.parallel.decision import BACKENDS, Decision, Host, Profile, decide
from velkora.parallel.probe import in_arena, is_large_array

logger = logging.getLogger(__name__)

T = TypeVar("T")
R = TypeVar("R")

ledger = probe.Ledger()
_cores: int | None = None


def host() -> Host:
    """The host as the decision sees it (cores asked of the host probe once per process)."""
    global _cores
    if _cores is None:
        try:
            from velkora.native import host_probe

            _cores = max(1, host_probe.detect_physical_cores())
        except ImportError:
            import os

            _cores = max(1, len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity")
                         else os.cpu_count() or 1)
    return Host(cores=_cores, pool_warm=backends.pool_warm(), in_worker=probe.in_worker())


def _name(func: Callable[..., Any]) -> str:
    target = probe.target_of(func)
    return f"{getattr(target, '__module__', '?')}.{getattr(target, '__qualname__', repr(target))}"


def _check(func: object, backend: str) -> None:
    if not callable(func):
        raise TypeError(f"func must be callable; got {type(func).__name__}")
    if backend not in BACKENDS:
        raise ValueError(f"backend must be one of {', '.join(BACKENDS)}; got {backend!r}")


def _profile(func: Callable[[Any], Any], items: Sequence[Any], h: Host) -> tuple[Profile, list[Any]]:
    """The function's profile from the ledger, or measured now on its first items (whose results
    are returned with it)."""
    known = ledger.get(func)
    if known is not None:
        return known, []
    static = probe.static_evidence(func)
    if static[1]:
        profile = Profile(static[0], True, static[2])
        ledger.put(func, profile)
        return profile, []
    measured = probe.measure(func, items, h, static, try_pickle=True)
    ledger.put(func, measured.profile)
    return measured.profile, measured.results


def plan(func: Callable[[Any], Any], items: Sequence[Any], *, backend: str = "auto",
         chunksize: int | None = None, workers: int | None = None,
         explain: bool = True) -> tuple[Decision, list[Any]]:
    """(decision, results of the items already run while measuring) for mapping func over items."""
    h = host()
    if backend == "auto":
        profile, done = _profile(func, items, h)
    else:
        profile, done = ledger.get(func) or Profile(), []
    shared = _shared_bytes(items, func) if backend in ("auto", "processes") else 0
    decision = decide(profile, h, len(items) - len(done), backend=backend, chunksize=chunksize,
                      workers=workers, shared_bytes=shared, explain=explain)
    return decision, done


def _shared_bytes(items: Sequence[Any], func: Callable[..., Any]) -> int:
    if "numpy" not in sys.modules:
        return 0
    from velkora.parallel.sharing import arrays_in, may_hold_arrays

    found = {id(a): a for a in arrays_in(func) if is_large_array(a)} if may_hold_arrays(func) else {}
    if items and may_hold_arrays(items[0]):
        for item in items:
            found.update((id(a), a) for a in arrays_in(item) if is_large_array(a))
    return sum(int(a.nbytes) for a in found.values())


def explain(func: Callable[[Any], Any], items: Iterable[Any], *, backend: str = "auto",
            chunksize: int | None = None, workers: int | None = None) -> Decision:
    """How `map(func, items)` would run and why. For a function not yet in the ledger this runs its
    first items to time them (a few milliseconds of its work; the results are dropped) and remembers
    what it measured, as map does."""
    _check(func, backend)
    seq = items if isinstance(items, (list, tuple)) else list(items)
    if backend == "dask":
        return decide(ledger.get(func) or Profile(), host(), len(seq), backend="dask",
                      chunksize=chunksize, workers=workers)
    return plan(func, seq, backend=backend, chunksize=chunksize, workers=workers)[0]


def map(func: Callable[[T], R], iterable: Iterable[T], *, backend: str = "auto",
        chunksize: int | None = None, workers: int | None = None, client: Any = None,
        timeout: float | None = None) -> list[R]:
    """[func(x) for x in iterable], run serially, on threads, on worker processes or on a Dask cluster.

    `backend="auto"` measures the function on its first items (once; the ledger remembers it),
    consults its source and the host, and picks the fastest plan (see `explain`); the other values
    force a backend. `chunksize` and `workers` override the sizes chosen. `client` is a
    dask.distributed Client for backend="dask" (else VELKORA_DASK_SCHEDULER names the scheduler).
    An item's exception is raised here as its own type with a note naming the item (and the worker's
    traceback as its cause); a worker process that dies raises WorkerDied. Costs, once the function
    is known, some microseconds beyond the chosen backend's own work.
    """
    _check(func, backend)
    items: Sequence[Any] = iterable if isinstance(iterable, (list, tuple)) else list(iterable)
    n = len(items)
    if backend == "serial":
        out: list[Any] = [None] * n
        backends.run_serial(func, items, 0, out)
        return out
    if backend == "dask":
        from velkora.parallel import dask_backend

        return dask_backend.run(func, items, client=client, chunksize=chunksize, timeout=timeout)
    debug = logger.isEnabledFor(logging.DEBUG)
    t0 = time.perf_counter()
    decision, done = plan(func, items, backend=backend, chunksize=chunksize, workers=workers, explain=debug)
    out = done + [None] * (n - len(done)) if done else [None] * n
    start = len(done)
    if decision.backend == "processes":
        payload = _payload(func, decision, backend)
        if payload is None:
            decision = decide(replace(ledger.get(func) or Profile(), picklable=False), host(), n - start,
                              chunksize=chunksize, workers=workers, explain=debug)
    if debug:
        logger.debug("map %s over %d item(s), decided in %.0f us: %s", _name(func), n,
                     (time.perf_counter() - t0) * 1e6, decision)
    if start >= n:
        return out
    if decision.backend == "serial":
        backends.run_serial(func, items, start, out)
    elif decision.backend == "threads":
        backends.run_threads(func, items, start, out, decision.workers, decision.chunksize, timeout)
    else:
        assert payload is not None
        _run_processes(func, items, start, out, decision, payload, timeout)
    return out


def _payload(func: Callable[[Any], Any], decision: Decision, backend: str) -> tuple[bytes, bool] | None:
    """(the pickled function, whether large arrays were left out of it), or None (after one
    warning) when it cannot be pickled under "auto"; under "processes" the reason is raised."""
    try:
        return backends.pickle_function(func, skip_large=True)
    except Exception as exc:
        if backend == "processes":
            raise TypeError(f"backend='processes': {_name(func)} cannot be sent to a worker process "
                            f"({type(exc).__name__}: {exc})") from exc
        profile = ledger.get(func)
        if profile is not None:
            ledger.put(func, replace(profile, picklable=False))
        warnings.warn(f"{_name(func)} cannot be pickled ({type(exc).__name__}: {exc}); "
                      "velkora.parallel runs it on threads instead of processes", RuntimeWarning,
                      stacklevel=3)
        return None


def _run_processes(func: Callable[[Any], Any], items: Sequence[Any], start: int, out: list[Any],
                   decision: Decision, payload: tuple[bytes, bool], timeout: float | None) -> None:
    """Large arrays bound to the function or inside the items are copied into shared memory once
    for the map (arena arrays as they are); a function holding arena arrays goes with every chunk
    rather than pickled once, so that each chunk carries handles of its own."""
    from velkora.parallel.sharing import arrays_in, may_hold_arrays, open_sharing, substitute

    share_items = bool(items) and may_hold_arrays(items[start])
    bound = list(arrays_in(func)) if may_hold_arrays(func) else []
    sizes = {id(a): a for a in bound if is_large_array(a)}
    if share_items:
        for item in items[start:]:
            sizes.update((id(a), a) for a in arrays_in(item) if is_large_array(a))
    data, skipped = payload
    if skipped and not any(is_large_array(a) for a in bound):
        # Its arrays sit deeper than bound arguments (a closure, a global): they go pickled, once.
        data = backends.pickle_function(func)[0]
    send: bytes | Callable[[Any], Any] = data
    if not sizes:
        if any(in_arena(a) for a in bound):
            send = func
        backends.run_processes(send, items, start, out, decision.workers, decision.chunksize, timeout)
        return
    sharing = open_sharing(sum(int(a.nbytes) for a in sizes.values()))
    try:
        memo: dict[int, Any] = {}
        if bound:
            send = substitute(func, sharing.share, memo)
        todo = items
        if share_items:
            todo = [None] * start + [substitute(item, sharing.share, memo) for item in items[start:]]
        backends.run_processes(send, todo, start, out, decision.workers, decision.chunksize, timeout)
    finally:
        sharing.close()


def shutdown() -> None:
    """Stops the worker processes now (they also stop by themselves after five idle minutes and at
    exit) and closes the Dask clients opened from VELKORA_DASK_SCHEDULER; the next map starts anew."""
    backends.shutdown_processes()
    dask = sys.modules.get("velkora.parallel.dask_backend")
    if dask is not None:
        dask.close_clients()
