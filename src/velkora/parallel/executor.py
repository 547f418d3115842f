"""velkora.parallel.Executor: a concurrent.futures.Executor over the same backends as map."""

from __future__ import annotations

import functools
import threading
from collections.abc import Callable, Iterable, Iterator
from concurrent.futures import Future
from concurrent.futures import Executor as _BaseExecutor
from typing import Any, TypeVar

from velkora.parallel import api, backends
from velkora.parallel._worker import Outcome, run_chunk
from velkora.parallel.decision import BACKENDS, route_single

T = TypeVar("T")


def _star(func: Callable[..., Any], args: tuple[Any, ...]) -> Any:
    return func(*args)


def _call(func: Callable[..., Any], args: tuple[Any, ...], kwargs: dict[str, Any], _item: Any = None) -> Any:
    return func(*args, **kwargs)


class Executor(_BaseExecutor):
    """submit/map/shutdown over "auto", "serial", "threads", "processes" or "dask".

    `map` is velkora.parallel.map (measured, batched, results in order; computed when called, so an
    item's error is raised by the call). `submit` under "auto" sends a call to the worker processes
    only for a function the ledger knows to hold the interpreter lock over long items, to threads
    otherwise. Worker processes are shared with map and outlive `shutdown` (velkora.parallel.shutdown
    stops them); the executor's own threads stop with it.
    """

    def __init__(self, backend: str = "auto", *, max_workers: int | None = None, client: Any = None) -> None:
        if backend not in BACKENDS:
            raise ValueError(f"backend must be one of {', '.join(BACKENDS)}; got {backend!r}")
        if max_workers is not None and max_workers < 1:
            raise ValueError(f"max_workers must be at least 1; got {max_workers}")
        self.backend = backend
        self._max_workers = max_workers
        self._client = client
        self._threads: Any = None
        self._lock = threading.Lock()
        self._closed = False

    def _thread_pool(self) -> Any:
        from concurrent.futures import ThreadPoolExecutor

        if self._threads is None:
            self._threads = ThreadPoolExecutor(self._max_workers or api.host().cores,
                                               thread_name_prefix="velkora-executor")
        return self._threads

    def submit(self, fn: Callable[..., T], /, *args: Any, **kwargs: Any) -> Future[T]:
        """Schedules fn(*args, **kwargs); its Future raises what the call raised (a worker's
        exception with the worker's traceback as its cause). Costs one task of the backend."""
        with self._lock:
            if self._closed:
                raise RuntimeError("cannot schedule new futures after shutdown")
            backend = self.backend
            if backend == "auto":
                backend = route_single(api.ledger.get(fn), api.host())
            if backend == "serial":
                future: Future[T] = Future()
                try:
                    future.set_result(fn(*args, **kwargs))
                except Exception as exc:
                    future.set_exception(exc)
                return future
            if backend == "threads":
                threaded: Future[T] = self._thread_pool().submit(fn, *args, **kwargs)
                return threaded
            call = functools.partial(_call, fn, args, kwargs)
            if backend == "dask":
                from velkora.parallel import dask_backend

                return dask_backend.submit(call, self._client)
            payload = backends.pickle_function(call)[0]
            inner = backends.process_pool(self._max_workers or api.host().cores).submit(
                run_chunk, backends.new_token(), payload, 0, [None])
            return _translate(inner)

    def map(self, fn: Callable[..., T], *iterables: Iterable[Any], timeout: float | None = None,
            chunksize: int = 1) -> Iterator[T]:
        """Like concurrent.futures' map, run by velkora.parallel.map on this executor's backend
        (a `chunksize` above 1 overrides the chosen batch size). Costs what that map costs."""
        if self._closed:
            raise RuntimeError("cannot schedule new futures after shutdown")
        if len(iterables) == 1:
            func: Callable[[Any], T] = fn
            items: list[Any] = list(iterables[0])
        else:
            func = functools.partial(_star, fn)
            items = list(zip(*iterables))
        return iter(api.map(func, items, backend=self.backend, chunksize=chunksize if chunksize > 1 else None,
                            workers=self._max_workers, client=self._client, timeout=timeout))

    def shutdown(self, wait: bool = True, *, cancel_futures: bool = False) -> None:
        """Stops accepting work and stops this executor's threads (waiting for them if `wait`)."""
        with self._lock:
            self._closed = True
            if self._threads is not None:
                self._threads.shutdown(wait=wait, cancel_futures=cancel_futures)


def _translate(inner: Future[Outcome]) -> Future[Any]:
    """A Future that resolves as `inner`'s single-item outcome: its result, or its exception."""
    outer: Future[Any] = Future()

    def done(f: Future[Outcome]) -> None:
        if f.cancelled():
            outer.cancel()
            outer.set_running_or_notify_cancel()
            return
        try:
            results, failure = f.result()
        except BaseException as exc:
            outer.set_exception(exc)
            return
        if failure is not None:
            outer.set_exception(backends.reraise(failure, "a worker process", of_map=False))
        else:
            outer.set_result(results[0])

    inner.add_done_callback(done)
    return outer
