"""backend="dask": the same map on a dask.distributed cluster, large arguments sent once.

The cluster is a Client the caller passes, or the scheduler named by VELKORA_DASK_SCHEDULER
(tcp://host:8786), connected once per address. Items go out in chunks (one task each, sized like a
process map); large arrays in the items or the function's bound arguments are scattered once and
referred to by every task. Errors come back as from worker processes: the item's exception with the
worker's traceback; a worker lost for good (KilledWorker) raises WorkerDied.
"""

from __future__ import annotations

import logging
import math
import os
import threading
from collections.abc import Callable, Sequence
from concurrent.futures import Future
from typing import Any

from velkora.parallel._worker import run_items
from velkora.parallel.backends import WorkerDied, reraise
from velkora.parallel.decision import CHUNKS_PER_WORKER

logger = logging.getLogger(__name__)

SCHEDULER_ENV = "VELKORA_DASK_SCHEDULER"
SCATTER_BYTES = 1 << 20          # arguments pickling larger than this are scattered, not inlined

_clients: dict[str, Any] = {}
_clients_lock = threading.Lock()


def get_client(client: Any = None) -> Any:
    """`client`, or a Client connected to $VELKORA_DASK_SCHEDULER (kept per address). Raises
    ValueError naming the variable when neither is there, ImportError when distributed is missing."""
    if client is not None:
        return client
    address = os.environ.get(SCHEDULER_ENV, "").strip()
    if not address:
        raise ValueError(f"backend='dask' needs client=distributed.Client(...) or {SCHEDULER_ENV}="
                         "tcp://host:port naming a running scheduler")
    try:
        from distributed import Client
    except ImportError as exc:
        raise ImportError("backend='dask' needs dask.distributed: pip install 'velkora[dask]'") from exc
    with _clients_lock:
        found = _clients.get(address)
        if found is None or found.status in ("closed", "closing"):
            found = _clients[address] = Client(address)
        return found


def close_clients() -> None:
    """Closes the clients opened from VELKORA_DASK_SCHEDULER (never one the caller passed)."""
    with _clients_lock:
        while _clients:
            _, c = _clients.popitem()
            c.close()


def _chunk_runner(func: Callable[[Any], Any], start: int, chunk: Sequence[Any]) -> Any:
    return run_items(func, start, chunk)


def _large(obj: Any) -> bool:
    import pickle

    try:
        return len(pickle.dumps(obj, protocol=pickle.HIGHEST_PROTOCOL)) > SCATTER_BYTES
    except Exception:
        return False


def run(func: Callable[[Any], Any], items: Sequence[Any], *, client: Any = None,
        chunksize: int | None = None, timeout: float | None = None) -> list[Any]:
    """The map on the cluster, results in input order. Costs a scheduler round trip per chunk, plus
    one scatter per large argument."""
    from distributed import KilledWorker, wait

    from velkora.parallel.sharing import may_hold_arrays, substitute

    c = get_client(client)
    n = len(items)
    if n == 0:
        return []
    workers = max(1, sum(c.nthreads().values()))
    size = chunksize or max(1, math.ceil(n / (workers * CHUNKS_PER_WORKER)))
    # Sent once, referred to by every task: the function when it is large (a partial over an array),
    # and every large array inside the items.
    remote_func: Any = c.scatter(func, broadcast=True, hash=False) if _large(func) else func
    if items and may_hold_arrays(items[0]):
        memo: dict[int, Any] = {}
        sent = [substitute(x, lambda a: c.scatter(a, broadcast=True, hash=False), memo) for x in items]
    else:
        sent = list(items)
    futures = [c.submit(_chunk_runner, remote_func, s, sent[s:s + size], pure=False)
               for s in range(0, n, size)]
    out: list[Any] = [None] * n
    try:
        done, pending = wait(futures, timeout=timeout, return_when="ALL_COMPLETED")
        failures = []
        for s, f in zip(range(0, n, size), futures):
            try:
                results, failure = f.result()
            except KilledWorker as exc:
                raise WorkerDied(f"a Dask worker died running the map's items from {s} on: {exc}") from exc
            out[s:s + len(results)] = results
            if failure is not None:
                failures.append(failure)
                break
        if failures:
            raise reraise(min(failures, key=lambda e: e[0]), "a Dask worker")
    except BaseException:
        c.cancel(futures)
        raise
    return out


def submit(call: Callable[[], Any], client: Any = None) -> Future[Any]:
    """One call on the cluster, as a concurrent.futures.Future."""
    c = get_client(client)
    remote = c.submit(call, pure=False)
    outer: Future[Any] = Future()

    def done(f: Any) -> None:
        try:
            outer.set_result(f.result())
        except BaseException as exc:
            outer.set_exception(exc)

    remote.add_done_callback(done)
    return outer
