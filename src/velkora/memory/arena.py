"""Shared-memory arenas: NumPy arrays allocated fast and handed to worker processes without a copy.

>>> with SharedArena() as arena:                                    # doctest: +SKIP
...     a = arena.zeros((1000, 1000))
...     with ProcessPoolExecutor() as pool:
...         pool.submit(np.sum, a).result()      # the worker reads the same memory

Segments. An arena maps a few large memory files (``memfd_create``) and allocates arrays inside
them: large blocks at best fit from a free-block tree, split on allocation and joined with free
neighbours on release; requests up to 4 KiB from slabs by 64-byte size class, each slab with a
checksummed header inside the segment. The first segment has ``segment_size`` bytes; growth then
extends the newest segment in place (address space is reserved for it, nothing committed) or adds
another, up to ``capacity``, sized by :mod:`velkora.memory.arena_policy`, which also decides when
empty segments and free segment tails go back to the system and when a slab layout changes.

Memory files vanish with their last descriptor and mapping, so nothing is ever left behind: not on
``close()``, not at interpreter exit, not when the owner is killed with SIGKILL (the kernel closes
its descriptors), and nothing appears in ``/dev/shm`` at all (nor counts against a small
``/dev/shm`` mount). A receiving process attaches a segment by opening the owner's descriptor
through ``/proc/<pid>/fd/<n>``, checked against the file's inode, which works for every start
method (fork, spawn, forkserver, loky's); it attaches each segment once (again only after the
segment grew) and keeps the mapping cached (see :func:`attached_segments`).

Ownership and lifetime.

- The owner is the process that created the arena. A block belongs to the arrays over it in the
  owner: it returns to the arena when the last of them (array, view, slice) is released, from
  native code, with no Python finalizer involved.
- An arena array pickled by a process transport (multiprocessing and so
  ``concurrent.futures.ProcessPoolExecutor``, loky/joblib; see :func:`register_reducers`) travels
  as a handle and arrives as a view of the same memory: writes on either side are seen by the other.
  Pickling it with plain :mod:`pickle` (to a file, say) copies the data as usual; so does sending
  on an array a process received (only the owner hands out handles). Other transports can register
  :func:`reduce_array` or send :meth:`SharedArena.handle` objects.
- A received view stays valid as long as the receiver holds it, even after the owner released its
  arrays or closed the arena: a block handed to another process is *pinned*. When the owner's last
  array of it goes, the block is not reused while any handle to it is still in flight (pickled, not
  yet unpickled) or any received view of it is alive; it is reused once they are all gone. So a
  worker holding a view can never corrupt a later allocation. The counts live in a small shared pin
  table; a handle unpickled after its block was reused (a stale copy) is refused with ValueError.
- Costs of that guarantee: a handle that is pickled but never unpickled, or a receiver killed while
  holding a view, keeps its block out of use until the arena is closed (``stats()["pinned_bytes"]``).
- ``close()`` ends allocation and hands back every segment nothing uses; memory of arrays still
  alive stays valid until they go. A process created by ``fork`` cannot allocate from or release
  into its parent's arena (RuntimeError): it gets the parent's arrays as they are.

Thread safety: allocation and release run in native code under the interpreter lock without
releasing it, so any number of threads may allocate and release concurrently; growth takes a lock.
"""

from __future__ import annotations

import atexit
import collections
import dataclasses
import logging
import operator
import os
import threading
import weakref
from collections.abc import Iterator
from types import TracebackType
from typing import TYPE_CHECKING, Any

from velkora.memory import arena_heap as _native
from velkora.memory import arena_policy as _policy
# Memory files, array arguments, handles and reducers live in arena_handles (public names re-exported).
from velkora.memory.arena_handles import (ArrayHandle, _arenas, _block_of, _byte_bounds, _close_files,
                                          _new_memory_file, _resolve_dtype, _SegmentFile, _shape_of,
                                          attached_segments, reduce_array, register_reducers)

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt

logger = logging.getLogger(__name__)

__all__ = [
    "ArrayHandle",
    "SharedArena",
    "attached_segments",
    "reduce_array",
    "register_reducers",
]

DEFAULT_SEGMENT_SIZE = 16 << 20  # bytes of the first segment
RESERVE = 1 << 36  # address space a segment may grow into in place (nothing is committed)
PIN_SLOTS = 65536  # blocks that may be held by other processes at once (1 MiB, mapped lazily)
_MAX_DECISIONS = 64

_next_arena_id = 0
_ids_lock = threading.Lock()


# ---- the arena ---------------------------------------------------------------------------------


def _grower(ref: weakref.ref[SharedArena]) -> Any:
    # The heap calls this when no segment has room; a weak reference, so that the heap does not
    # keep its arena alive.
    def grow(nbytes: int) -> Any:
        arena = ref()
        if arena is None:
            raise ValueError("the arena is closed")
        return arena._grow_and_alloc(nbytes)

    return grow


class SharedArena:
    """An arena of shared memory from which NumPy arrays are allocated (see the module notes).

    ``capacity``: the most segment bytes the arena may hold (None: no limit but the system's).
    ``segment_size``: bytes of the first segment. ``first_fit``: place large blocks at the first
    free block in address order instead of the best fit (for comparison).
    """

    def __init__(
        self,
        capacity: int | None = None,
        *,
        segment_size: int = DEFAULT_SEGMENT_SIZE,
        first_fit: bool = False,
    ) -> None:
        if capacity is not None:
            capacity = operator.index(capacity)
            if capacity <= 0:
                raise ValueError(f"capacity must be positive, not {capacity}")
        segment_size = operator.index(segment_size)
        if segment_size <= 0:
            raise ValueError(f"segment_size must be positive, not {segment_size}")
        global _next_arena_id
        with _ids_lock:
            _next_arena_id += 1
            self._id = _next_arena_id
        self._capacity = capacity
        self._segment_size = (
            min(segment_size, capacity) if capacity is not None else segment_size
        )
        self._pid = os.getpid()
        self._heap = _native.Heap(first_fit)
        self._alloc = self._heap.alloc
        self._files: dict[int, _SegmentFile] = {}
        self._pins: list[_SegmentFile] = []
        self._grow_lock = threading.Lock()
        self._closed = False
        self._peak_segment_bytes = 0
        self._newest = -1  # the segment that grows in place
        self._decisions: collections.deque[_policy.Decision] = collections.deque(
            maxlen=_MAX_DECISIONS)
        self._decision_counts: collections.Counter[str] = collections.Counter()
        import numpy as np

        self._ndarray = np.ndarray
        pins = _new_memory_file(f"velkora-arena-{self._pid}-{self._id}-pins",
                                PIN_SLOTS * _native.PIN_SLOT_BYTES)
        self._pins.append(pins)
        try:
            self._heap.set_pin_table(pins.fd, PIN_SLOTS)
        except BaseException:
            _close_files(self._heap, self._files, self._pins)
            raise
        self._heap.configure(np.ndarray, _resolve_dtype, _shape_of, _grower(weakref.ref(self)))
        self._empty = self._heap.empty
        self._finalizer = weakref.finalize(self, _close_files, self._heap, self._files, self._pins)
        _arenas[id(self._heap)] = self
        register_reducers()

    # ---- allocation ----------------------------------------------------------------------------

    def empty(self, shape: Any, dtype: npt.DTypeLike | None = None, order: str | None = None) -> np.ndarray:
        """A new uninitialised array of the arena (numpy.empty's arguments). About as fast as
        numpy.empty for small arrays (a slab object, placed in native code); O(log n) in the number
        of free blocks for large ones, plus a new segment (a memory file and its mapping) when none
        has room."""
        return self._empty(shape, dtype, order)  # type: ignore[no-any-return]

    def zeros(self, shape: Any, dtype: npt.DTypeLike | None = None, order: str | None = None) -> np.ndarray:
        """A new array of zeros in the arena; ``empty`` plus one pass over the bytes."""
        out = self.empty(shape, dtype, order)
        out.fill(0)
        return out

    def asarray(self, obj: Any, dtype: npt.DTypeLike | None = None) -> np.ndarray:
        """A copy of ``obj`` (anything numpy.asarray takes) in the arena, always a new array even
        when ``obj`` already lives here. One pass over the data."""
        import numpy as np

        src = np.asarray(obj, dtype=dtype)
        if src.dtype.hasobject:
            raise TypeError("arrays of Python objects cannot be placed in shared memory")
        out = self.empty(src.shape, src.dtype)
        np.copyto(out, src, casting="no")
        return out

    def _state(self, raw: _native.HeapStats) -> _policy.PoolState:
        return _policy.PoolState(
            live_bytes=raw["segment_bytes"] - raw["free_bytes"],
            segment_bytes=raw["segment_bytes"],
            free_bytes=raw["free_bytes"],
            largest_free=raw["largest_free_block"],
            capacity=self._capacity,
        )

    def _decide(self, d: _policy.Decision) -> None:
        self._decisions.append(d)
        self._decision_counts[d.action] += 1
        logger.debug("arena %d: %s %d (%s, urgency %.2f)", self._id, d.action, d.size, d.reason,
                     d.urgency)

    def _grow_and_alloc(self, nbytes: int) -> Any:
        with self._grow_lock:
            block = self._alloc(nbytes)  # another thread grew
            if block is not None:
                return block
            self._heap.sweep()
            block = self._alloc(nbytes)
            if block is not None:
                return block
            self._give_back_empty()
            self._adapt_layouts()
            raw = self._heap.stats()
            # A small request needs a slab; the alignment of a large one is at most 63 bytes.
            request = max(nbytes, 1)
            request = request + _native.ALIGNMENT + (
                70000 if request <= _native.SMALL_MAX else 0)
            state = self._state(raw)
            grown = False
            if self._newest in self._files:  # grow the newest segment in place, past its free tail
                tail = self._heap.tail_free(self._newest)
                d = _policy.plan_growth(request, state, self._segment_size, tail)
                if d.action == "grow":
                    grown = self._extend(self._newest, d.size)
                    if grown:
                        self._decide(d)
            if not grown:
                d = _policy.plan_growth(request, state, self._segment_size)
                self._decide(d)
                if d.action == "refuse":
                    raise MemoryError(
                        f"cannot allocate {nbytes} bytes in the shared arena: it holds "
                        f"{raw['segment_bytes']} bytes in {raw['segments']} segments with "
                        f"{raw['largest_free_block']} in its largest free block, and its "
                        f"capacity is {self._capacity} bytes"
                    )
                self._add_segment(d.size)
            block = self._alloc(nbytes)
            if block is None:  # unreachable: the new segment fits the request
                raise MemoryError(f"cannot allocate {nbytes} bytes in the shared arena")
            return block

    def _add_segment(self, size: int) -> None:
        f = _new_memory_file(f"velkora-arena-{self._pid}-{self._id}", size)
        reserve = RESERVE if self._capacity is None else min(RESERVE, self._capacity)
        try:
            index = self._heap.add_segment(f.fd, size, max(reserve, size))
        except BaseException:
            os.close(f.fd)
            raise
        self._files[index] = f
        self._newest = index
        self._note_peak()

    def _extend(self, index: int, add: int) -> bool:
        f = self._files[index]
        new = f.size + add
        os.ftruncate(f.fd, new)
        try:
            ok = self._heap.extend_segment(index, f.fd, new)
        except BaseException:
            os.ftruncate(f.fd, f.size)
            raise
        if not ok:  # beyond the address space reserved for it
            os.ftruncate(f.fd, f.size)
            return False
        self._files[index] = dataclasses.replace(f, size=new)
        self._note_peak()
        return True

    def _note_peak(self) -> None:
        total = sum(x.size for x in self._files.values())
        self._peak_segment_bytes = max(self._peak_segment_bytes, total)

    def _trim_tails(self) -> None:
        for index, f in list(self._files.items()):
            tail = self._heap.tail_free(index)
            new = _policy.plan_trim(self._state(self._heap.stats()), f.size, tail)
            if new is not None and self._heap.shrink_segment(index, new):
                os.ftruncate(f.fd, new)
                self._files[index] = dataclasses.replace(f, size=new)
                self._decide(_policy.Decision("give_back", f.size - new, "free tail of a segment"))

    def _give_back_empty(self) -> None:
        empty = self._heap.empty_segments()
        if not empty:
            return
        raw = self._heap.stats()
        sizes = [self._files[i].size for i in empty]
        for j in _policy.plan_give_back(self._state(raw), sizes, raw["segments"]):
            i = empty[j]
            if self._heap.remove_segment(i):
                f = self._files.pop(i)
                os.close(f.fd)
                self._decide(_policy.Decision("give_back", f.size, "segment empty"))

    def _adapt_layouts(self) -> None:
        for cls in range(_native.SMALL_MAX // _native.ALIGNMENT):
            slabs, live, cap, objects = self._heap.class_usage(cls)
            if slabs < 2:
                continue
            default = max(8, min(64, 65536 // ((cls + 1) * _native.ALIGNMENT)))
            new = _policy.plan_slab_layout(slabs, live, cap, objects, default)
            if new != objects:
                self._heap.set_objects_per_slab(cls, new)
                self._decide(_policy.Decision(
                    "slab_layout", new, f"size class {(cls + 1) * _native.ALIGNMENT} bytes: "
                    f"{live} of {cap} objects live in {slabs} slabs"))

    def trim(self) -> int:
        """Hands empty segments and free segment tails back to the system where the policy allows
        (growth does the former by itself); returns how many segments remain. O(number of
        blocks)."""
        self._check_open()
        with self._grow_lock:
            self._heap.sweep()
            self._give_back_empty()
            self._trim_tails()
            return len(self._files)

    # ---- handles -----------------------------------------------------------------------------

    def owns(self, arr: Any) -> bool:
        """Whether ``arr`` (or the array it views) lives in this arena. O(length of its base chain)."""
        block = _block_of(arr) if hasattr(arr, "base") else None
        return block is not None and block.heap is self._heap

    def handle(self, arr: np.ndarray) -> ArrayHandle:
        """A picklable handle to ``arr``'s memory for another process (one per transfer; see
        ArrayHandle). ValueError for an array of another arena or of no arena."""
        self._check_open()
        block = _block_of(arr) if hasattr(arr, "base") else None
        if block is None:
            raise ValueError("the array does not live in a shared arena")
        if block.heap is not self._heap:
            raise ValueError("the array belongs to another shared arena")
        return self._make_handle(arr, block)

    def _make_handle(self, arr: np.ndarray, block: Any) -> ArrayHandle:
        low, high = _byte_bounds(arr)
        start = arr.__array_interface__["data"][0] - low
        seg, seg_offset, slot, gen = block.export()
        f = self._files[seg]
        pins = self._pins[0]
        return ArrayHandle(
            pid=self._pid, fd=f.fd, inode=f.inode, size=f.size,
            offset=seg_offset + (low - block.address), span=high - low,
            pins_fd=pins.fd, pins_inode=pins.inode, pins_size=pins.size,
            slot=slot, generation=gen, dtype=arr.dtype, shape=arr.shape,
            strides=arr.strides, start=start, writeable=bool(arr.flags.writeable),
        )

    # ---- statistics and lifetime ----------------------------------------------------------------

    def stats(self) -> dict[str, Any]:
        """Counters and usage of the arena: segments and bytes, live arrays, free space and its
        fragmentation, slabs and quarantined slabs, pinned blocks, the allocation statistics in
        the shapes of pool_paths' FastStatsCollector ("collector") and sync_cells'
        LockFreeStatistics ("allocation"), and the adaptation decisions taken (the last 64 under
        "decisions", totals under "decision_counts"). O(number of blocks)."""
        if not self._closed:
            self._heap.sweep()
            self._heap.verify()
        raw = self._heap.stats()
        state = self._state(raw)
        total = raw["total_allocations"]
        from velkora.memory.sync_cells import LockFreeStatistics

        lfs = LockFreeStatistics()
        for key in ("total_allocations", "total_deallocations", "current_allocations",
                    "bytes_allocated", "peak_allocations", "peak_bytes_allocated",
                    "bucketed_allocations", "fallback_allocations", "alignment_padding_bytes"):
            getattr(lfs, key).store(raw[key])
        lfs.bytes_reserved.store(raw["segment_bytes"])
        ratio = raw["bucketed_allocations"] / total * 100 if total > 0 else 0
        return {
            "capacity": self._capacity,
            "segments": raw["segments"],
            "segment_bytes": raw["segment_bytes"],
            "peak_segment_bytes": self._peak_segment_bytes,
            "live_arrays": raw["current_allocations"],
            "live_bytes": raw["bytes_allocated"],
            "requested_bytes": raw["bytes_requested"],
            "free_bytes": raw["free_bytes"],
            "largest_free_block": raw["largest_free_block"],
            "free_blocks": raw["free_blocks"],
            "fragmentation": state.fragmentation,
            "slabs": raw["slabs"],
            "slab_bytes": raw["slab_bytes"],
            "slab_free_bytes": raw["slab_free_bytes"],
            "quarantined_slabs": raw["quarantined_slabs"],
            "pinned_blocks": raw["pinned_blocks"],
            "pinned_bytes": raw["pinned_bytes"],
            "tree_height": raw["tree_height"],
            "collector": {
                "total_allocations": total,
                "total_deallocations": raw["total_deallocations"],
                "bucketed_allocations": raw["bucketed_allocations"],
                "fallback_allocations": raw["fallback_allocations"],
                "bucketed_allocation_ratio": format(ratio, ".1f") + "%",
                "alignment_padding_bytes": raw["alignment_padding_bytes"],
            },
            "allocation": lfs.get_snapshot(),
            "decisions": [
                {"action": d.action, "size": d.size, "reason": d.reason, "urgency": d.urgency}
                for d in self._decisions
            ],
            "decision_counts": dict(self._decision_counts),
            "closed": self._closed,
        }

    def _check_open(self) -> None:
        if self._closed:
            raise ValueError("the arena is closed")

    @property
    def closed(self) -> bool:
        """Whether close() was called."""
        return self._closed

    def close(self) -> None:
        """Ends allocation and hands back the segments; memory of arrays still alive stays valid
        until they go, and receivers keep theirs. Idempotent. O(number of segments)."""
        if self._closed:
            return
        self._closed = True
        _arenas.pop(id(self._heap), None)
        self._finalizer()

    def __enter__(self) -> SharedArena:
        self._check_open()
        return self

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
    ) -> None:
        self.close()

    def __repr__(self) -> str:
        state = "closed" if self._closed else f"{len(self._files)} segments"
        return f"<SharedArena {self._id}: {state}, capacity {self._capacity}>"

    def __reduce__(self) -> Any:
        raise TypeError("a SharedArena cannot be pickled; send its arrays instead")


def _iter_open() -> Iterator[SharedArena]:
    return iter(list(_arenas.values()))


@atexit.register
def _close_all() -> None:
    for a in _iter_open():
        a.close()
