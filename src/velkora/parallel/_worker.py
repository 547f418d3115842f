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


class SharedPayload:
    """A pickled function in a shared-memory segment: what travels is its name; each worker reads
    and loads it once per map. The segment is made and unlinked by the caller."""

    def __init__(self, name: str, size: int) -> None:
        self.name, self.size = name, size
        self._segment: Any = None

    @classmethod
    def create(cls, data: bytes) -> SharedPayload:
        """Copies `data` into a new segment (one copy)."""
        from multiprocessing import shared_memory

        seg = shared_memory.SharedMemory(create=True, size=max(1, len(data)))
        buf = seg.buf
        assert buf is not None
        buf[:len(data)] = data
        made = cls(seg.name, len(data))
        made._segment = seg
        return made

    def read(self) -> bytes:
        """The bytes (in a worker: attaches, copies them out, detaches)."""
        from multiprocessing import shared_memory

        # Attaching registers the name with the resource tracker the workers share with the
        # caller; the caller's unlink unregisters it.
        seg = shared_memory.SharedMemory(name=self.name)
        try:
            buf = seg.buf
            assert buf is not None
            return bytes(buf[:self.size])
        finally:
            seg.close()

    def unlink(self) -> None:
        """Frees the segment (the caller, once the map is over)."""
        if self._segment is not None:
            self._segment.close()
            self._segment.unlink()
            self._segment = None

    def __getstate__(self) -> tuple[str, int]:
        return self.name, self.size

    def __setstate__(self, state: tuple[str, int]) -> None:
        self.name, self.size = state
        self._segment = None


def run_chunk(token: bytes, payload: bytes | SharedPayload | Callable[[Any], Any], start: int,
              chunk: Sequence[Any]) -> Outcome:
    """In a worker process: loads the map's function once (cached by `token`) and runs the chunk;
    a function sent as itself (not as bytes) is used as it came."""
    if not isinstance(payload, (bytes, SharedPayload)):
        return run_items(payload, start, chunk)
    func = _functions.get(token)
    if func is None:
        func = pickle.loads(payload.read() if isinstance(payload, SharedPayload) else payload)
        _functions[token] = func
        while len(_functions) > 8:
            _functions.popitem(last=False)
    return run_items(func, start, chunk)
