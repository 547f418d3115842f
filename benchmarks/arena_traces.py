"""Records the array allocations of real programs, for replay against SharedArena.

    python benchmarks/arena_traces.py            # records every program into benchmarks/traces/

The hook is NumPy's own data-memory handler (PyDataMem_SetHandler, NumPy >= 1.22): while a program
runs, every allocation, reallocation and release of array data in this thread's context goes
through a handler installed here, which passes it on to the C library and notes the event. A trace
is stored compactly as three arrays (operation, block number, size) in a compressed .npz file.
"""

from __future__ import annotations

import ctypes
import pathlib
import sys
from collections.abc import Callable

import numpy as np

HERE = pathlib.Path(__file__).resolve().parent
TRACES = HERE / "traces"

ALLOC, FREE = 0, 1

# The handler is a few lines of C compiled on first use: it must run no Python code (NumPy frees
# memory with an exception pending, which a Python callback would clear).
_C_SOURCE = r"""
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
typedef struct { void *ctx; void *(*malloc)(void *, size_t); void *(*calloc)(void *, size_t, size_t);
                 void *(*realloc)(void *, void *, size_t); void (*free)(void *, void *, size_t); } A;
typedef struct { char name[127]; uint8_t version; A allocator; } H;
static int64_t *ev; static int64_t n, cap; static int on;
static void note(int64_t op, void *p, size_t size) {
    if (!on || !p || n >= cap) return;
    int64_t k = __atomic_fetch_add(&n, 1, __ATOMIC_RELAXED);
    if (k >= cap) return;
    ev[3 * k] = op; ev[3 * k + 1] = (int64_t)(uintptr_t)p; ev[3 * k + 2] = (int64_t)size;
}
static void *m(void *c, size_t s) { void *p = malloc(s); note(0, p, s); return p; }
static void *cl(void *c, size_t a, size_t b) { void *p = calloc(a, b); note(0, p, a * b); return p; }
static void *r(void *c, void *q, size_t s) { note(1, q, 0); void *p = realloc(q, s); note(0, p, s); return p; }
static void f(void *c, void *p, size_t s) { note(1, p, 0); free(p); }
H handler = {"velkora_trace", 1, {0, m, cl, r, f}};
int start(int64_t capacity) { ev = malloc(sizeof(int64_t) * 3 * capacity); cap = capacity; n = 0; on = ev != 0; return on; }
void stop(void) { on = 0; }
int64_t count(void) { return n < cap ? n : cap; }
int64_t *events(void) { return ev; }
"""


def _compile() -> ctypes.CDLL:
    import subprocess
    import tempfile

    d = pathlib.Path(tempfile.mkdtemp(prefix="velkora-trace-"))
    (d / "h.c").write_text(_C_SOURCE)
    subprocess.run(["cc", "-O2", "-shared", "-fPIC", "-o", str(d / "h.so"), str(d / "h.c")],
                   check=True)
    lib = ctypes.CDLL(str(d / "h.so"))
    lib.start.argtypes = [ctypes.c_int64]
    lib.count.restype = ctypes.c_int64
    lib.events.restype = ctypes.POINTER(ctypes.c_int64)
    return lib


class Recorder:
    """Notes (operation, address, size) for every array data event while installed; arrays made
    while recording keep freeing through the handler, so the library stays loaded."""

    def __init__(self, capacity: int = 20_000_000) -> None:
        self.lib = _compile()
        self.capacity = capacity
        _KEEP.append(self.lib)

    def run(self, program: Callable[[], object]) -> None:
        set_handler = _array_api(304, ctypes.py_object, [ctypes.py_object])
        capsule = ctypes.pythonapi.PyCapsule_New
        capsule.restype = ctypes.py_object
        capsule.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
        handler = ctypes.c_void_p.in_dll(self.lib, "handler")
        mine = capsule(ctypes.addressof(handler), b"mem_handler", None)
        if not self.lib.start(self.capacity):
            raise MemoryError("no room for the trace")
        old = set_handler(mine)
        try:
            program()
        finally:
            set_handler(old)
            self.lib.stop()
        n = self.lib.count()
        raw = np.ctypeslib.as_array(self.lib.events(), shape=(n * 3,)).reshape(n, 3).copy()
        self.events = _numbered(raw)

    def save(self, path: pathlib.Path) -> None:
        ev = self.events
        np.savez_compressed(path, op=ev[:, 0].astype(np.int8), block=ev[:, 1].astype(np.int32),
                            size=ev[:, 2])


def _numbered(raw: np.ndarray) -> np.ndarray:
    """Addresses replaced by block numbers; releases of blocks allocated before the recording
    started are dropped."""
    live: dict[int, int] = {}
    out = []
    for op, addr, size in raw.tolist():
        if op == ALLOC:
            live[addr] = len(live) + len(out)
            out.append((ALLOC, live[addr], size))
        else:
            k = live.pop(addr, None)
            if k is not None:
                out.append((FREE, k, 0))
    # Renumber densely in order of allocation.
    ids: dict[int, int] = {}
    dense = []
    for op, k, size in out:
        if op == ALLOC:
            ids[k] = len(ids)
        dense.append((op, ids[k], size))
    return np.array(dense, dtype=np.int64).reshape(-1, 3)


_KEEP: list[object] = []


def _array_api(index: int, restype: object, argtypes: list[object]) -> Callable[..., object]:
    from numpy._core import _multiarray_umath as mu  # NumPy 2; 1.x has numpy.core

    get = ctypes.pythonapi.PyCapsule_GetPointer
    get.restype = ctypes.c_void_p
    get.argtypes = [ctypes.py_object, ctypes.c_char_p]
    table = ctypes.cast(get(mu._ARRAY_API, None), ctypes.POINTER(ctypes.c_void_p))
    return ctypes.PYFUNCTYPE(restype, *argtypes)(table[index])


def load(path: pathlib.Path) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """(operation, block, size) arrays of a stored trace."""
    with np.load(path) as z:
        return z["op"], z["block"], z["size"]


# ---- the programs ------------------------------------------------------------------------------


def sklearn_fit() -> None:
    """Scaling, a logistic regression, k-means and a random forest on 20 000 x 40 samples."""
    from sklearn.cluster import KMeans
    from sklearn.datasets import make_classification
    from sklearn.ensemble import RandomForestClassifier
    from sklearn.linear_model import LogisticRegression
    from sklearn.pipeline import make_pipeline
    from sklearn.preprocessing import StandardScaler

    X, y = make_classification(20_000, 40, n_informative=10, random_state=0)
    make_pipeline(StandardScaler(), LogisticRegression(max_iter=200)).fit(X, y).score(X, y)
    KMeans(8, n_init=2, random_state=0).fit(X)
    RandomForestClassifier(10, max_depth=8, random_state=0, n_jobs=1).fit(X, y).predict(X)


def pandas_groupby() -> None:
    """A group-by pipeline over 300 000 rows: derived columns, filter, group-by, merge, pivot."""
    import pandas as pd

    rng = np.random.default_rng(0)
    n = 300_000
    df = pd.DataFrame({"store": rng.integers(0, 50, n), "item": rng.integers(0, 400, n),
                       "qty": rng.integers(1, 10, n), "price": rng.random(n) * 20,
                       "day": rng.integers(0, 365, n)})
    for _ in range(3):
        df["revenue"] = df["qty"] * df["price"]
        week = df.assign(week=df["day"] // 7)
        big = week[week["revenue"] > 5.0]
        per = big.groupby(["store", "week"])["revenue"].agg(["sum", "mean", "count"]).reset_index()
        items = df.groupby("item").agg(total=("qty", "sum"), avg=("price", "mean")).reset_index()
        merged = df.merge(items, on="item", how="left")
        merged["share"] = merged["qty"] / merged["total"]
        pivot = per.pivot_table(index="store", columns="week", values="sum", fill_value=0)
        pivot.to_numpy().sum()


def image_loop() -> None:
    """Forty frames of 512 x 512: blur, gradients, threshold, morphology, labels, histogram."""
    from scipy import ndimage

    rng = np.random.default_rng(0)
    yy, xx = np.mgrid[0:512, 0:512]
    for t in range(40):
        frame = np.sin(xx / 17.0 + t) * np.cos(yy / 23.0) + rng.normal(0, 0.3, (512, 512))
        smooth = ndimage.gaussian_filter(frame, 2.0)
        gx, gy = ndimage.sobel(smooth, 0), ndimage.sobel(smooth, 1)
        mag = np.hypot(gx, gy)
        mask = mag > np.percentile(mag, 90)
        mask = ndimage.binary_opening(mask, iterations=2)
        labels, count = ndimage.label(mask)
        if count:
            ndimage.sum_labels(mag, labels, range(1, count + 1))
        np.histogram(smooth, bins=64)
        (smooth - smooth.mean()) / (smooth.std() + 1e-9)


PROGRAMS = {"sklearn_fit": sklearn_fit, "pandas_groupby": pandas_groupby, "image_loop": image_loop}


def main(argv: list[str]) -> int:
    TRACES.mkdir(exist_ok=True)
    for name, program in PROGRAMS.items():
        if argv and name not in argv:
            continue
        rec = Recorder()
        rec.run(program)
        rec.save(TRACES / f"{name}.npz")
        allocs = int((rec.events[:, 0] == ALLOC).sum())
        print(f"{name}: {allocs} allocations, {len(rec.events)} events")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
