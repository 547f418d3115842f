"""What runs in a worker (a process of ours or a Dask worker): one chunk of items, errors caught per item.

Kept import-light: a worker imports this module, not the decision or the probes.
"""

from __future__ import annotations

import os
import pickle
import traceback
from collections import OrderedDict
from collections.abc import Callable, Sequence
from typing import Any

# A chunk's outcome: its results, or (index, exception, worker traceback text, worker pid).
Failure = tuple[int, BaseException, str, int]
Outcome = tuple[list[Any], Failure | None]

# Functions of recent maps, loaded once per worker rather than once per chunk.
_functions: OrderedDict[bytes, Callable[[Any], Any]] = OrderedDict()


def _sendable(exc: BaseException) -> BaseException:
    """`exc` if it survives pickling, else a RuntimeError carrying its type and text."""
    try:
        pickle.loads(pickle.dumps(exc))
        return exc
    except Exception:
        return RuntimeError(f"{type(exc).__module__}.{type(exc).__qualname__}: {exc}")


def run_items(func: Callable[[Any], Any], start: int, chunk: Sequence[Any]) -> Outcome:
    """func over `chunk` (items start, start+1, ...); stops at the first item that raises."""
    results = []
    for k, item in enumerate(chunk):
        try:
            results.append(func(item))
        except Exception as exc:
            text = "".join(traceback.format_exception(type(exc), exc, exc.__traceback__))
            return results, (start + k, _sendable(exc), text, os.getpid())
    return results, None


def run_chunk(token: bytes, payload: bytes | Callable[[Any], Any], start: int,
              chunk: Sequence[Any]) -> Outcome:
    """In a worker process: loads the map's function once (cached by `token`) and runs the chunk;
    a function sent as itself (not as bytes) is used as it came."""
    if not isinstance(payload, bytes):
        return run_items(payload, start, chunk)
    func = _functions.get(token)
    if func is None:
        func = pickle.loads(payload)
        _functions[token] = func
        while len(_functions) > 8:
            _functions.popitem(last=False)
    return run_items(func, start, chunk)
