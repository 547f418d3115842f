"""FastRedBlackTree against the same behaviour in pure Python on sortedcontainers.SortedDict.

Timing cases run through benchmarks/run.py; each timed statement makes 1000 calls through map(), so
the ns/op column is per 1000 calls and the ratios are per call. Running this file directly prints
the native memory per stored block:  python benchmarks/bench_block_index.py
"""

from __future__ import annotations

import itertools
import random
import threading

from benchlib import Baseline, Case

BLOCKS = 100_000
SIZES = 10_000


class PyFreeBlockTree:
    """Size -> list of blocks in chain order (head first, a new block second), with the statistics
    dict, a writer lock and the sampled operation counter."""

    def __init__(self, sample_rate=100):
        from sortedcontainers import SortedDict

        from velkora.memory.sync_cells import AtomicCounter

        self._sizes = SortedDict()
        self._count = 0
        self._lock = threading.Lock()
        self._sample_rate = sample_rate
        self._operation_counter = AtomicCounter(0)
        self._sampled_counter = AtomicCounter(0)
        self._stats = dict.fromkeys(("total_blocks", "total_insertions", "total_deletions", "total_searches",
                                     "bucket_hits", "tree_hits", "operation_count"), 0)

    @staticmethod
    def _sanitize_size(size):
        if size < 0:
            raise ValueError(f"Invalid size: {size}")
        return size

    def insert(self, size, block):
        size = self._sanitize_size(size)
        count = self._operation_counter.increment()
        sampled = self._sample_rate != 0 and count % self._sample_rate == 0
        with self._lock:
            chain = self._sizes.get(size)
            if chain is None:
                self._sizes[size] = [block]
            else:
                chain.insert(1, block)
            self._count += 1
            stats = self._stats
            stats["total_blocks"] += 1
            stats["total_insertions"] += 1
            stats["operation_count"] += 1
            if sampled:
                self._sampled_counter.increment()
        return True

    def delete(self, size, block):
        if size < 0:
            return False
        with self._lock:
            chain = self._sizes.get(size)
            if chain is None:
                return False
            try:
                i = chain.index(block)
            except ValueError:
                return False
            if len(chain) == 1:
                del self._sizes[size]
            else:
                del chain[i]
            self._count -= 1
            self._stats["total_blocks"] -= 1
            self._stats["total_deletions"] += 1
        return True

    def remove_ge(self, size):
        if size < 0:
            return None, None
        with self._lock:
            sizes = self._sizes
            i = sizes.bisect_left(size)
            if i == len(sizes):
                return None, None
            key, chain = sizes.peekitem(i)
            block = chain.pop(0)
            if not chain:
                del sizes[key]
            self._count -= 1
            self._stats["total_blocks"] -= 1
            self._stats["total_deletions"] += 1
        return key, block

    def find_best_fit(self, size, alignment=1):
        if size < 0:
            return None
        sizes = self._sizes
        i = sizes.bisect_left(size)
        result = sizes.peekitem(i)[1][0] if i < len(sizes) else None
        self._stats["total_searches"] += 1
        return result

    def find_all_exact(self, size):
        if size < 0:
            return []
        chain = self._sizes.get(size)
        self._stats["total_searches"] += 1
        return list(chain) if chain else []

    def size(self):
        return self._count


def native_tree():
    from velkora.memory.block_index import FastRedBlackTree

    return FastRedBlackTree()


def filled(make, blocks=BLOCKS, sizes=SIZES, seed=1):
    """A tree with `blocks` BlockRecords over `sizes` distinct sizes, and the stored pairs shuffled."""
    from velkora.memory.block_record import BlockRecord

    rng = random.Random(seed)
    keys = rng.sample(range(64, 64 + sizes * 97), sizes)
    tree = make()
    pairs = []
    for i in range(blocks):
        s = keys[i % sizes]
        b = BlockRecord(i * 4096, s)
        tree.insert(s, b)
        pairs.append((s, b))
    rng.shuffle(pairs)
    queries = [rng.randrange(1, 64 + sizes * 97) for _ in range(10_007)]
    return tree, pairs, keys, itertools.cycle(queries)


BATCH = 1000  # calls per timed statement: map() drives them, so no interpreter loop is timed


def batches(tree, pairs, keys, q, batch=BATCH):
    """Argument batches for each operation: sizes to insert, stored pairs to delete, queries."""
    from velkora.memory.block_record import BlockRecord

    cyc = itertools.cycle(keys)
    ins = [[next(cyc) for _ in range(batch)] for _ in range(64)]
    dels = [([s for s, _ in pairs[i:i + batch]], [b for _, b in pairs[i:i + batch]])
            for i in range(0, len(pairs) - batch + 1, batch)]
    queries = [[next(q) for _ in range(batch)] for _ in range(16)]
    exact = [[next(cyc) for _ in range(batch)] for _ in range(16)]
    blocks = [BlockRecord(0, 1)] * batch
    return iter(ins), iter(dels), itertools.cycle(queries), itertools.cycle(exact), blocks


def _setup(make, blocks=BLOCKS, sizes=SIZES):
    return (f"from bench_block_index import filled, batches, native_tree, PyFreeBlockTree\n"
            f"from collections import deque\n"
            f"t, pairs, keys, q = filled({make}, {blocks}, {sizes})\n"
            f"ins, dels, queries, exact, blks = batches(t, pairs, keys, q)\n"
            f"del pairs\n")


NATIVE, PY = _setup("native_tree"), _setup("PyFreeBlockTree")

OPS = [  # name, statement (one batch of calls), batches per timed loop
    ("insert(size, block)", "deque(map(t.insert, next(ins), blks), 0)", 20),
    ("delete(size, block)", "deque(map(t.delete, *next(dels)), 0)", 20),
    ("remove_ge(size)", "deque(map(t.remove_ge, next(queries)), 0)", 20),
    ("find_best_fit(size)", "deque(map(t.find_best_fit, next(queries)), 0)", 200),
    ("find_all_exact(size)", "deque(map(t.find_all_exact, next(exact)), 0)", 200),
]

CASES = [
    Case(f"FastRedBlackTree.{name} x{BATCH}, {BLOCKS} blocks", stmt, NATIVE,
         Baseline(f"SortedDict in Python: {name.split('(')[0]}", stmt, PY), min_speedup=3.0, number=n)
    for name, stmt, n in OPS
]

# Logarithmic cost: the same operations on 1000 and on 1000000 stored blocks (ten per size). The
# pairs run call by call so the tree keeps its size (a block taken is given back).
GROWTH = [
    ("find_best_fit(size)", "deque(map(t.find_best_fit, next(queries)), 0)", 200),
    ("insert + delete", "for s in next(exact): ins(s, blk); dl(s, blk)", 100),
    ("remove_ge + insert", "for s in next(queries): k, b = rg(s); k is None or ins(k, b)", 100),
]
_BIND = "ins, dl, rg, blk = t.insert, t.delete, t.remove_ge, blks[0]\n"
CASES += [
    Case(f"FastRedBlackTree.{name} x{BATCH}, 10**6 vs 10**3 blocks", stmt,
         _setup("native_tree", 1_000_000, 100_000) + _BIND,
         Baseline(f"same on 10**3 blocks: {name}", stmt, _setup("native_tree", 1_000, 100) + _BIND),
         max_ratio=2.5, number=n)
    for name, stmt, n in GROWTH
]


def memory_per_block(n=1_000_000, sizes=100_000):
    """Native bytes per stored block: traced allocations, and resident-set growth."""
    import gc
    import tracemalloc

    from velkora.memory.block_index import FastRedBlackTree

    blk = object()  # one block object, so only the tree's own memory grows
    keys = list(range(64, 64 + sizes))

    def rss():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * 4096

    gc.collect()
    before = rss()
    t = FastRedBlackTree()
    for i in range(n):
        t.insert(keys[i % sizes], blk)
    grown = rss() - before
    del t
    tracemalloc.start()
    t = FastRedBlackTree()
    base = tracemalloc.get_traced_memory()[0]
    for i in range(n):
        t.insert(keys[i % sizes], blk)
    traced = tracemalloc.get_traced_memory()[0] - base
    tracemalloc.stop()
    return traced / n, grown / n


if __name__ == "__main__":
    import sys

    sys.path.insert(0, str(__import__("pathlib").Path(__file__).resolve().parents[1] / "src"))
    traced, resident = memory_per_block()
    print(f"native memory per stored block (10**6 blocks, 10**5 sizes): traced {traced:.1f} B, "
          f"resident growth {resident:.1f} B (target <= 80 B)")
