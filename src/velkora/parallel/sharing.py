"""Large NumPy arrays sent to worker processes once, through shared memory, instead of in every task.

One interface, `open_sharing(total_bytes)`, returns an object with `share(array) -> array` (a copy in
shared memory that pickles as a small handle and arrives in a worker as a view) and `close()` (frees
what it made). It is backed by the shared-memory arena where that is available, and otherwise by one
`multiprocessing.shared_memory` segment per array.
"""

from __future__ import annotations

import functools
import logging
import os
import sys
import threading
from collections.abc import Callable, Iterator
from typing import Any, Protocol

from velkora.parallel.probe import in_arena, is_large_array

logger = logging.getLogger(__name__)


class Sharing(Protocol):
    def share(self, array: Any) -> Any:
        """A copy of `array` in shared memory that pickles as a handle."""

    def close(self) -> None:
        """Frees everything shared; views already in workers stay valid until dropped."""


class _Handle:
    """Stands for one array in a segment; pickles as (segment name, dtype, shape) only."""

    def __init__(self, name: str, dtype: str, shape: tuple[int, ...]) -> None:
        self.name, self.dtype, self.shape = name, dtype, shape

    def __reduce__(self) -> tuple[Callable[..., Any], tuple[str, str, tuple[int, ...]]]:
        return attach, (self.name, self.dtype, self.shape)


# Segments a worker has attached, by name; one map's worth is kept (views into them must stay valid
# while the map's tasks run), earlier ones closed as soon as nothing refers to them.
_attached: dict[str, Any] = {}
_attached_lock = threading.Lock()


def attach(name: str, dtype: str, shape: tuple[int, ...]) -> Any:
    """In a worker: a read-write view of the array `name` holds. Costs one mmap per segment."""
    import numpy as np
    from multiprocessing import shared_memory

    with _attached_lock:
        seg = _attached.get(name)
        if seg is None:
            # Attaching registers the name with the resource tracker, which the workers share with
            # the process that made the segment: the maker's unlink unregisters it once for all.
            seg = shared_memory.SharedMemory(name=name)
            for old in [k for k in _attached if k != name]:
                try:
                    _attached.pop(old).close()
                except BufferError:     # a view is still alive: keep it mapped
                    pass
            _attached[name] = seg
    return np.ndarray(shape, dtype=np.dtype(dtype), buffer=seg.buf)


class SegmentSharing:
    """One shared-memory segment per array, unlinked on close()."""

    def __init__(self) -> None:
        self._segments: list[Any] = []
        self._pid = os.getpid()

    def share(self, array: Any) -> Any:
        """Copies `array` into a new segment and returns its handle (costs one copy of the array)."""
        import numpy as np
        from multiprocessing import shared_memory

        seg = shared_memory.SharedMemory(create=True, size=max(1, array.nbytes))
        self._segments.append(seg)
        np.ndarray(array.shape, dtype=array.dtype, buffer=seg.buf)[...] = array
        return _Handle(seg.name, array.dtype.str, tuple(array.shape))

    def close(self) -> None:
        """Closes and unlinks every segment made here."""
        if os.getpid() != self._pid:
            return
        while self._segments:
            seg = self._segments.pop()
            try:
                seg.close()
            except BufferError:
                pass
            try:
                seg.unlink()
            except FileNotFoundError:
                pass

    def __enter__(self) -> SegmentSharing:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


class ArenaSharing:
    """Arrays copied into one shared-memory arena sized for the map; closed with the map. Its arrays
    pickle as handles through the process pool's pickler (a fresh handle per task)."""

    def __init__(self, total_bytes: int) -> None:
        from velkora.memory.arena import SharedArena, register_reducers

        # One segment with room for every array plus the arena's own rounding, in whole MiB (the
        # arena takes segment sizes in whole pages).
        size = (total_bytes + (4 << 20) + (1 << 20) - 1) & ~((1 << 20) - 1)
        self._arena = SharedArena(capacity=size, segment_size=size)
        register_reducers()         # loky may have been imported after the arena module

    def share(self, array: Any) -> Any:
        """Copies `array` into the arena (one copy); the result pickles as a handle."""
        return self._arena.asarray(array)

    def close(self) -> None:
        """Closes the arena."""
        self._arena.close()


def open_sharing(total_bytes: int) -> Sharing:
    """The shared-memory arena when it is available (its native part built, memory files supported),
    else one segment per array."""
    try:
        return ArenaSharing(total_bytes)
    except (ImportError, OSError, AttributeError) as exc:
        logger.debug("shared-memory arena unavailable (%s); one segment per array", exc)
        return SegmentSharing()


def substitute(obj: Any, share: Callable[[Any], Any], memo: dict[int, Any], depth: int = 0) -> Any:
    """`obj` with every large array in it (at the top or inside tuples, lists, dicts and partials,
    three levels deep) replaced by its shared copy; one copy per distinct array, kept in `memo`."""
    if is_large_array(obj):
        key = id(obj)
        if key not in memo:
            memo[key] = (share(obj), obj)       # the original is kept so its id stays unique
        return memo[key][0]
    if depth >= 3:
        return obj
    t = type(obj)
    if t is tuple:
        return tuple(substitute(x, share, memo, depth + 1) for x in obj)
    if t is list:
        return [substitute(x, share, memo, depth + 1) for x in obj]
    if t is dict:
        return {k: substitute(v, share, memo, depth + 1) for k, v in obj.items()}
    if t is functools.partial:
        return functools.partial(substitute(obj.func, share, memo, depth + 1),
                                 *(substitute(a, share, memo, depth + 1) for a in obj.args),
                                 **{k: substitute(v, share, memo, depth + 1) for k, v in obj.keywords.items()})
    return obj


def arrays_in(obj: Any, depth: int = 0) -> Iterator[Any]:
    """The NumPy arrays where `substitute` looks for them (none unless NumPy is loaded)."""
    np = sys.modules.get("numpy")
    if np is None:
        return
    if isinstance(obj, np.ndarray):
        yield obj
        return
    if depth >= 3:
        return
    t = type(obj)
    if t is tuple or t is list:
        for x in obj:
            yield from arrays_in(x, depth + 1)
    elif t is dict:
        for x in obj.values():
            yield from arrays_in(x, depth + 1)
    elif t is functools.partial:
        yield from arrays_in(obj.func, depth + 1)
        for x in (*obj.args, *obj.keywords.values()):
            yield from arrays_in(x, depth + 1)


def may_hold_arrays(obj: Any) -> bool:
    """Whether items like `obj` are worth scanning for arrays (NumPy loaded, and an array or a
    container): a map of plain numbers skips the scan."""
    return "numpy" in sys.modules and (type(obj) in (tuple, list, dict, functools.partial)
                                       or is_large_array(obj))
