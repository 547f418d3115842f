"""SharedArena: allocation and release of a 4 KB array against numpy.empty, a shared-memory segment
per array, and the same best-fit bookkeeping written in Python. The other figures (recorded
allocation traces replayed, arrays sent to a worker process) come from benchmarks/arena_figures.py.
"""

from benchlib import Baseline, Case

ARENA = """
import numpy as np
from velkora.memory.arena import SharedArena
arena = SharedArena()
f8 = np.float64
n = 512  # 4 KB of float64
"""

NUMPY = "import numpy as np; f8 = np.float64; n = 512"

SEGMENT_PER_ARRAY = """
import numpy as np
from multiprocessing import shared_memory
f8 = np.float64

def segment_array(n):
    shm = shared_memory.SharedMemory(create=True, size=n * 8)
    a = np.ndarray((n,), f8, shm.buf)
    return shm, a

def release(shm, a):
    del a
    shm.close()
    shm.unlink()
"""

# Best fit over free blocks kept sorted by (size, offset), split on allocation, joined with free
# neighbours on release (found through start and end maps), 64-byte alignment: the large-block
# bookkeeping of the arena, written in Python. Release when the last view goes needs a finalizer.
PY_BEST_FIT = """
import bisect, mmap, weakref
import numpy as np

class PyBestFit:
    def __init__(self, size):
        self.mm = mmap.mmap(-1, size)
        self.view = memoryview(self.mm)
        self.free = [(size, 0)]
        self.by_start = {0: size}
        self.by_end = {size: 0}

    def _take(self, size, off):
        self.free.pop(bisect.bisect_left(self.free, (size, off)))
        del self.by_start[off]
        del self.by_end[off + size]

    def _put(self, size, off):
        bisect.insort(self.free, (size, off))
        self.by_start[off] = size
        self.by_end[off + size] = off

    def alloc(self, nbytes):
        need = (nbytes + 63) & ~63
        i = bisect.bisect_left(self.free, (need, -1))
        if i == len(self.free):
            raise MemoryError(nbytes)
        size, off = self.free[i]
        self._take(size, off)
        if size > need:
            self._put(size - need, off + need)
        return off, need

    def release(self, off, size):
        prev = self.by_end.get(off)
        if prev is not None:
            psize = self.by_start[prev]
            self._take(psize, prev)
            off, size = prev, size + psize
        nsize = self.by_start.get(off + size)
        if nsize is not None:
            self._take(nsize, off + size)
            size += nsize
        self._put(size, off)

    def empty(self, n, dtype):
        dt = np.dtype(dtype)
        off, size = self.alloc(n * dt.itemsize)
        a = np.ndarray((n,), dt, self.view[off:off + n * dt.itemsize])
        weakref.finalize(a, self.release, off, size)
        return a

py = PyBestFit(16 << 20)
keep = [py.empty(n, np.float64) for n in (100, 3000, 7, 20000)]  # a few blocks in the index
f8 = np.float64
n = 512
"""

ALLOC_RELEASE = "a = arena.empty(n, f8); del a"

CASES = [
    Case("SharedArena.empty(4 KB) + release", ALLOC_RELEASE, ARENA,
         Baseline("numpy.empty(4 KB) + release", "a = np.empty(n, f8); del a", NUMPY),
         max_ratio=5.0),
    Case("SharedArena.empty(4 KB) + release vs segment", ALLOC_RELEASE, ARENA,
         Baseline("shared_memory segment per 4 KB array", "release(*segment_array(512))",
                  SEGMENT_PER_ARRAY),
         min_speedup=20.0, number=2000),
    Case("SharedArena.empty(4 KB) + release vs Python", ALLOC_RELEASE, ARENA,
         Baseline("best fit in Python + finalizer", "a = py.empty(n, f8); del a", PY_BEST_FIT),
         min_speedup=3.0, number=50_000),
    Case("SharedArena.empty(1 MB) + release", "a = arena.empty(131072, f8); del a", ARENA,
         Baseline("best fit in Python + finalizer, 1 MB", "a = py.empty(131072, f8); del a",
                  PY_BEST_FIT),
         min_speedup=3.0, number=50_000),
]
