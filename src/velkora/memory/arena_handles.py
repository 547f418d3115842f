"""Arena memory files, the arrays they may hold, and how those reach other processes (handles, reducers).

Part of :mod:`velkora.memory.arena` (which re-exports the public names here). A receiving process
attaches a segment by opening the owner's descriptor through ``/proc/<pid>/fd/<n>``, checked
against the file's inode; it attaches each segment once (again only after the segment grew) and
keeps the mapping cached (see :func:`attached_segments`). Pinning and lifetime are described in
:mod:`velkora.memory.arena`.
"""

from __future__ import annotations

import logging
import operator
import os
import pickle
import sys
import threading
import weakref
from collections.abc import Iterable
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

from velkora.memory import arena_heap as _native

if TYPE_CHECKING:
    import numpy as np

    from velkora.memory.arena import SharedArena

logger = logging.getLogger(__name__)

__all__ = [
    "ArrayHandle",
    "attached_segments",
    "reduce_array",
    "register_reducers",
]

_Block = _native.Block

_arenas: weakref.WeakValueDictionary[int, SharedArena] = weakref.WeakValueDictionary()
# id(heap) -> arena, while open (SharedArena adds and removes itself)


# ---- segments ----------------------------------------------------------------------------------


@dataclass(frozen=True, slots=True)
class _SegmentFile:
    """One memory file of an arena: its descriptor in the owner and its identity."""

    fd: int
    size: int
    inode: int
    device: int


def _new_memory_file(name: str, size: int) -> _SegmentFile:
    fd = os.memfd_create(name, os.MFD_CLOEXEC)
    try:
        os.ftruncate(fd, size)
        st = os.fstat(fd)
    except BaseException:
        os.close(fd)
        raise
    return _SegmentFile(fd, size, st.st_ino, st.st_dev)


def _close_files(heap: Any, files: dict[int, _SegmentFile], pins: list[_SegmentFile]) -> None:
    """Ends an arena's allocation and closes its descriptors (the finalizer; idempotent)."""
    try:
        heap.close()
    except RuntimeError:  # a forked child's copy: the parent owns the segments
        pass
    for f in list(files.values()) + pins:
        try:
            os.close(f.fd)
        except OSError:
            pass
    files.clear()
    pins.clear()


# ---- handles and receivers -----------------------------------------------------------------------


@dataclass(frozen=True, slots=True)
class ArrayHandle:
    """What travels to another process instead of an arena array's bytes.

    Picklable by any pickler; :meth:`open` in the receiving process (or the owner) returns a NumPy
    array over the same memory. Each handle made by :meth:`SharedArena.handle` pins its block until
    it has been opened (see velkora.memory.arena's notes), so make one per transfer.
    """

    pid: int
    fd: int
    inode: int
    size: int  # the segment's bytes
    offset: int  # first byte of the array's span in the segment
    span: int  # bytes from the lowest to past the highest byte of the array
    pins_fd: int
    pins_inode: int
    pins_size: int
    slot: int
    generation: int
    dtype: Any
    shape: tuple[int, ...]
    strides: tuple[int, ...]
    start: int  # offset of element 0 within the span
    writeable: bool = True

    def open(self) -> np.ndarray:
        """The array over the handle's memory, attaching the segment on first use. O(1) after the
        first attach of a segment (one open and one mmap then)."""
        import numpy as np

        data = _attach(self.pid, self.fd, self.inode, self.size)
        pins = _attach(self.pid, self.pins_fd, self.pins_inode, self.pins_size)
        view = _native.View(data, self.offset, self.span, pins, self.slot, self.generation)
        out = np.ndarray(self.shape, self.dtype, view, self.start,  # type: ignore[arg-type]
                         self.strides)
        if not self.writeable:
            out.flags.writeable = False
        return out


_attached: dict[tuple[int, int], tuple[Any, int]] = {}  # (pid, inode) -> (Mapping, owner's fd)
_attach_lock = threading.Lock()


def _attach(pid: int, fd: int, inode: int, size: int) -> Any:
    hit = _attached.get((pid, inode))
    if hit is not None and hit[0].size >= size:
        return hit[0]
    with _attach_lock:
        hit = _attached.get((pid, inode))
        if hit is not None and hit[0].size >= size:
            return hit[0]
        # New, or grown in place since it was attached: (re)map it at its present size; views of
        # the older mapping keep that one alive.
        _prune_attached()
        path = f"/proc/{pid}/fd/{fd}"
        try:
            local = os.open(path, os.O_RDWR)
        except OSError as e:
            raise ValueError(
                f"cannot attach arena segment {fd} of process {pid}: its owner closed the arena "
                f"or exited ({e.strerror})"
            ) from None
        try:
            if os.fstat(local).st_ino != inode:
                raise ValueError(
                    f"cannot attach arena segment {fd} of process {pid}: the descriptor now names "
                    "another file (the owner closed the arena)"
                )
            m = _native.Mapping(local, size)
        finally:
            os.close(local)  # the mapping keeps the memory
        _attached[(pid, inode)] = (m, fd)
        return m


def _prune_attached() -> None:
    """Drops cached mappings of segments their owner has given back (checked on a new attach, so
    a long-lived worker does not keep every segment it ever saw)."""
    for (pid, inode), (_, fd) in list(_attached.items()):
        try:
            alive = os.stat(f"/proc/{pid}/fd/{fd}").st_ino == inode
        except OSError:
            alive = False
        if not alive:
            del _attached[(pid, inode)]


def attached_segments() -> int:
    """How many segments of other arenas (or this process's own, through handles) this process has
    mapped. Each is mapped once and kept until its owner gives it back."""
    return len(_attached)


def _rebuild(handle: ArrayHandle) -> np.ndarray:
    return handle.open()


def _byte_bounds(arr: np.ndarray) -> tuple[int, int]:
    low = high = arr.__array_interface__["data"][0]
    if arr.size == 0:
        return low, low
    for n, s in zip(arr.shape, arr.strides):
        if s < 0:
            low += s * (n - 1)
        else:
            high += s * (n - 1)
    return low, high + arr.itemsize


def _block_of(arr: Any) -> Any:
    """The Block under an array (through its chain of array bases), or None."""
    import numpy as np

    base = arr.base
    while type(base) is not _Block:
        if not isinstance(base, np.ndarray):
            return None
        base = base.base
    return base


def reduce_array(arr: np.ndarray) -> Any:
    """The reduction of an array for a pickler that carries it to another process of this machine:
    a handle for an arena array of an open arena (pinning its block, see velkora.memory.arena), NumPy's
    own reduction for any other array. Register it in a pickler's dispatch table for numpy.ndarray
    (register_reducers does so for multiprocessing and loky). O(ndim)."""
    block = _block_of(arr)
    arena = _arenas.get(id(block.heap)) if block is not None else None
    if arena is None or arena._closed:
        return arr.__reduce_ex__(pickle.DEFAULT_PROTOCOL)
    return _rebuild, (arena._make_handle(arr, block),)


_registered: set[str] = set()


def register_reducers() -> None:
    """Makes process transports send arena arrays as handles: multiprocessing's pickler (every
    start method, concurrent.futures.ProcessPoolExecutor, multiprocessing.Pool) and loky's (also as
    vendored by joblib) when they are imported. Called by every SharedArena; call it again after
    importing loky or joblib later. Other arrays pickle as before. Idempotent, O(1)."""
    import numpy as np

    if "multiprocessing" not in _registered:
        from multiprocessing.reduction import ForkingPickler

        ForkingPickler.register(np.ndarray, reduce_array)
        _registered.add("multiprocessing")
    for pkg, mod in (("loky", "loky.backend.reduction"),
                     ("joblib", "joblib.externals.loky.backend.reduction")):
        if mod in _registered or pkg not in sys.modules:
            continue
        try:
            reduction = __import__(mod, fromlist=["register"])
        except ImportError:
            continue
        reduction.register(np.ndarray, reduce_array)
        _registered.add(mod)


# ---- array arguments (checked by the heap through SharedArena's configure call) ----------------


def _resolve_dtype(dtype: Any) -> tuple[Any, int]:
    """numpy's dtype for an argument of empty(), refused when it holds Python objects."""
    import numpy as np

    if dtype is None:
        dtype = np.float64
    try:
        dt = np.dtype(dtype)
    except TypeError as e:
        raise TypeError(f"unknown dtype {dtype!r}: {e}") from None
    if dt.hasobject:
        raise TypeError(f"dtype {dt} holds Python objects, which cannot live in shared memory")
    return dt, dt.itemsize


def _shape_of(shape: Any) -> tuple[int, ...]:
    if isinstance(shape, Iterable) and not isinstance(shape, (str, bytes)):
        items = tuple(shape)
    else:
        items = (shape,)
    dims = []
    for d in items:
        if isinstance(d, float) or isinstance(d, (str, bytes)):
            raise TypeError(f"shape entries must be integers, not {type(d).__name__} ({d!r})")
        try:
            dims.append(operator.index(d))
        except TypeError:
            raise TypeError(
                f"shape must be an integer or a sequence of integers, not {shape!r}"
            ) from None
    for d in dims:
        if d < 0:
            raise ValueError(f"negative dimension {d} in shape {tuple(dims)}")
    return tuple(dims)
