"""Thread interleavings for every velkora class that has a lock, one scenario per run of this script:

    python3 tests/robustness/interleavings.py SCENARIO [--seconds S] [--seed N]

Three or four threads share one object for a bounded time while the interpreter switches threads every
microsecond, and collaborators run Python code at the awkward moments: block comparisons that sleep or
call back into the tree, finalizers and weak-reference callbacks that use the object that has just let
go of them, garbage cycles collected at arbitrary allocations, replaced counters, slow ledgers, injected
Python locks, re-initialisation from another thread. Afterwards the counts must add up exactly; where
clear() or re-initialisation makes exact counts impossible, nothing may be handed out twice and every
stored object must be released exactly once.

Exit status: 0 when every invariant holds, 1 when one is broken (printed) or when the run hung (then
faulthandler prints "Timeout" and every thread's stack); a crash shows as death by a signal.
test_interleavings.py and tools/stress_interleavings.py run each scenario in a fresh interpreter
through run_in_subprocess(). The velkora modules are imported inside the scenarios, so the launchers
need not import them.
"""

from __future__ import annotations

import _thread
import argparse
import faulthandler
import functools
import gc
import itertools
import json
import math
import os
import random
import signal
import subprocess
import sys
import threading
import time
import traceback
import types
import weakref
from collections import Counter
from dataclasses import dataclass

HERE = os.path.abspath(__file__)
SCENARIOS = {}
_RealLock = threading.Lock

OK, BROKEN = 0, 1


def scenario(fn):
    SCENARIOS[fn.__name__] = fn
    return fn


def switch(p=0.5):
    """With probability p, lets other threads run now (sleep(0) releases the interpreter lock)."""
    if random.random() < p:
        time.sleep(0)


def no_duplicates(what, items):
    twice = sorted(k for k, c in Counter(items).items() if c > 1)
    assert not twice, f"{what} more than once: {twice[:10]}"


# ---- the harness ---------------------------------------------------------------------------------

class Run:
    """A scenario's shared state: its duration and seed, the errors its threads and callbacks hit, a stop
    flag, and per-thread tallies."""

    def __init__(self, seconds, seed):
        self.seconds = seconds
        self.seed = seed
        self.errors = []
        self.stop = threading.Event()
        self.quiet = False  # set before the final checks: callbacks stop calling into the objects
        self.local = threading.local()
        self._tallies = []

    def rng(self, i):
        return random.Random(self.seed * 1_000_003 + i)

    def running(self, deadline):
        return not self.stop.is_set() and time.monotonic() < deadline

    def note_error(self, where):
        self.errors.append(f"{where}:\n{traceback.format_exc()}")
        self.stop.set()

    def count(self, key, n=1):
        # One dict per thread and callback depth: a finalizer that runs in the middle of this
        # read-modify-write (the collector can start after any call) counts into its own dict.
        depth = getattr(self.local, "depth", 0)
        mine = getattr(self.local, "tallies", None)
        if mine is None:
            mine = self.local.tallies = {}
        d = mine.get(depth)
        if d is None:
            d = mine[depth] = {}
            self._tallies.append(d)
        d[key] = d.get(key, 0) + n

    def total(self):
        out = Counter()
        for d in self._tallies:
            out.update(d)  # update() keeps negative sums
        return out

    def callback(self, fn, *args):
        """Runs fn(*args) on behalf of a finalizer, weak-reference callback or comparison: not once the
        scenario is quiet, at most two deep, errors recorded instead of lost."""
        if self.quiet or getattr(_IN_LOCK_CODE, "busy", False) or _inside_lock_exit():
            return
        depth = getattr(self.local, "depth", 0)
        if depth >= 2:
            return
        self.local.depth = depth + 1
        try:
            fn(*args)
        except BaseException:  # noqa: BLE001 - reported at the end
            called_from = "".join(traceback.format_stack(sys._getframe(1), limit=8))
            self.note_error(f"callback {getattr(fn, '__name__', fn)}, called from\n{called_from}")
        finally:
            self.local.depth = depth

    def threads(self, workers):
        """Runs worker(rng, deadline) on one thread each, all started together; returns when all ended."""
        deadline = time.monotonic() + self.seconds
        barrier = threading.Barrier(len(workers))

        def wrap(i, fn):
            try:
                barrier.wait()
                fn(self.rng(i), deadline)
            except BaseException:  # noqa: BLE001 - reported at the end
                self.note_error(f"thread {i} ({fn.__name__})")

        threads = [threading.Thread(target=wrap, args=(i, fn), name=f"{fn.__name__}-{i}")
                   for i, fn in enumerate(workers)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()  # a hang is ended by the faulthandler timer of main()
        self.raise_errors()

    def raise_errors(self):
        if self.errors:
            raise AssertionError(f"{len(self.errors)} error(s); the first:\n{self.errors[0]}")

    def settle(self):
        """Ends the concurrent part: callbacks go quiet and pending garbage is collected."""
        self.quiet = True
        gc.collect()
        gc.collect()
        self.raise_errors()


class Releases:
    """Follows tracked objects to their end through weak references: each must be released exactly once,
    and not while it is still stored. `then(key)` runs afterwards as a callback (see Run.callback)."""

    def __init__(self, run, then=None):
        self.run = run
        self.then = then
        self.refs = {}
        self.released = []

    def track(self, obj, key):
        self.refs[key] = weakref.ref(obj, functools.partial(self._gone, key))
        return obj

    def _gone(self, key, _ref):
        self.released.append(key)
        self.refs.pop(key, None)
        if self.then is not None:
            self.run.callback(self.then, key)

    def check(self, created, alive=()):
        no_duplicates("released", self.released)
        released, alive = set(self.released), set(alive)
        early = sorted(released & alive)
        assert not early, f"released while still stored: {early[:10]}"
        missing = sorted(set(created) - alive - released)
        assert not missing, f"never released (a reference leaked): {len(missing)}, e.g. {missing[:10]}"
        unknown = sorted(released - set(created))
        assert not unknown, f"released but never created: {unknown[:10]}"


SWITCHING_LOCKS = []
_IN_LOCK_CODE = threading.local()


def _inside_lock_exit():
    """True when the collector runs this callback from the injected lock's own __exit__, as it starts
    and before it releases: a `with lock:` block in Python code meets the same wait there."""
    f = sys._getframe(2)
    while f is not None:
        if f.f_code is SwitchingLock.__exit__.__code__:
            return True
        f = f.f_back
    return False


class SwitchingLock(_thread.RLock):
    """An injected lock (the module global `threading` replaced): not a genuine threading.Lock, so every
    section must enter and leave it for real, and entering runs Python code that switches threads.

    Entering a lock the thread already holds would deadlock: it raises instead, with the stack of the
    re-entry. While the entering code holds the inner lock, callbacks stay out of the objects (the
    collector may run there, and what it runs is this lock's business, not the module's). Leaving
    allocates nothing, so the collector cannot start there (RLock's own __exit__ builds an argument
    tuple).
    """

    on_enter = None  # a scenario's hook, run before acquiring

    def __init__(self):
        self.enters = 0
        SWITCHING_LOCKS.append(self)

    def __enter__(self):
        if self._is_owned():
            raise AssertionError("an injected lock entered again by the thread that holds it (a deadlock)")
        hook = SwitchingLock.on_enter
        if hook is not None:
            hook()
        time.sleep(0)
        _IN_LOCK_CODE.busy = True
        self.acquire()
        self.enters += 1
        if random.random() < 0.3:
            time.sleep(0)  # holding it while others run
        _IN_LOCK_CODE.busy = False
        return self

    def __exit__(self, exc_type, exc, tb):
        self.release()
        return False

    def held(self):
        """Held by some thread (asked when no thread should be inside)."""
        if self._is_owned() or not self.acquire(blocking=False):
            return True
        self.release()
        return False


SHIM = types.SimpleNamespace(Lock=SwitchingLock)


def check_switching_locks():
    held = [i for i, lock in enumerate(SWITCHING_LOCKS) if lock.held()]
    assert not held, f"injected locks left held: {held}"


class SlowValue:
    """A flag or number whose truth test or float conversion runs Python code and switches threads."""

    def __init__(self, value):
        self.value = value

    def __bool__(self):
        time.sleep(0)
        return bool(self.value)

    def __float__(self):
        time.sleep(0)
        return float(self.value)


# ---- FastRedBlackTree ----------------------------------------------------------------------------

TREE_SIZES = (64, 64, 64, 128, 128, 256, 4096)  # long chains at 64 and 128
MAX_OWN_BLOCKS = 60  # per writer: keeps chains, and so Python comparisons per delete, bounded
MAX_TREE = 400  # no more insertions from callbacks beyond this


def _tree(run, *, pylock, clearing):
    from velkora.memory import block_index as bi
    from velkora.memory.block_record import BlockRecord

    if pylock:
        bi.threading = SHIM
    tree = bi.FastRedBlackTree(sample_rate=3)
    bi.threading = threading
    sizes = TREE_SIZES
    keys = itertools.count(1)
    allocated = set()  # keys of blocks made, added before they are inserted
    inserted, deleted, missed, taken, gave_up = [], [], [], [], []  # keys; appends are atomic

    class Record(BlockRecord):
        """Identity equality like BlockRecord; its cycle leaves its end to the garbage collector."""

        __slots__ = ("cycle",)

    @dataclass
    class Data:
        """Generated __eq__ (Python code, allocates tuples); its finalizer calls into the tree."""

        offset: int
        size: int

        def __del__(self):
            if random.random() < 0.5:
                run.callback(poke)

    class Slow:
        """Equal only to itself, but the comparison lets other threads run."""

        __slots__ = ("offset", "size", "__weakref__")

        def __init__(self, offset, size):
            self.offset, self.size = offset, size

        def __eq__(self, other):
            time.sleep(0)
            return self is other

        __hash__ = object.__hash__

    class Reentrant(Slow):
        """Its comparison and its finalizer call into the tree on the comparing thread."""

        __slots__ = ()

        def __eq__(self, other):
            if random.random() < 0.2:
                run.callback(poke)
            return self is other

        __hash__ = object.__hash__

        def __del__(self):
            run.callback(poke)

    kinds = (BlockRecord, Record, Data, Slow, Reentrant)

    def make(kind, key, size):
        block = kinds[kind](key, size)
        if kind == 1:
            block.cycle = block
        return block

    def insert_new(kind, size):
        key = next(keys)
        allocated.add(key)
        block = releases.track(make(kind, key, size), key)
        assert tree.insert(size, block) is True
        inserted.append(key)
        return block

    def take(size):
        got, block = tree.remove_ge(size)
        if block is None:
            assert got is None, got
            return
        assert type(block) in kinds and got == block.size >= size, (size, got, block)
        taken.append(block.offset)

    def check_found(block, size):
        assert block is None or (type(block) in kinds and block.offset in allocated
                                 and block.size >= size), (size, block)

    def check_exact(blocks, size):
        assert all(type(b) in kinds and b.offset in allocated and b.size == size for b in blocks), size

    def check_distribution(dist):
        assert set(dist) <= set(sizes) and all(type(n) is int and n >= 1 for n in dist.values()), dist

    def check_stats(stats):
        # Consistent at every point another thread can see: the counts change together.
        assert stats["is_valid"] is True
        assert stats["total_blocks"] == stats["node_count"], stats
        assert stats["total_insertions"] - stats["total_deletions"] == stats["total_blocks"], stats
        assert stats["operation_count"] == stats["total_insertions"], stats

    def look(rng):
        size = rng.choice(sizes)
        r = rng.random()
        if r < 0.3:
            check_found(tree.find_best_fit(size, rng.choice((1, 64))), size)
        elif r < 0.55:
            check_exact(tree.find_all_exact(size), size)
        elif r < 0.7:
            check_stats(tree.get_stats())
        elif r < 0.85:
            check_distribution(tree.get_size_distribution())
        else:
            assert len(tree) >= 0 and bool(tree) in (True, False) and repr(tree).startswith("FastRed")

    def poke():
        """What comparisons and finalizers do to the tree (on whatever thread they run)."""
        r = random.random()
        size = random.choice(sizes)
        if r < 0.8:
            look(random)
        elif r < 0.9 and len(tree) < MAX_TREE:
            insert_new(random.choice((0, 1, 2)), size)
        elif r < 0.998 or not clearing:
            take(size)
        elif random.random() < 0.5:
            tree.clear()
        else:
            tree.__init__(sample_rate=3)

    def on_release(_key):
        if random.random() < 0.2:
            poke()

    releases = Releases(run, then=on_release)

    def writer(rng, deadline):
        mine = []
        while run.running(deadline):
            r = rng.random()
            if not mine or (r < 0.45 and len(mine) < MAX_OWN_BLOCKS):
                kind = rng.choices(range(5), weights=(4, 2, 2, 2, 1))[0]
                mine.append(insert_new(kind, rng.choice(sizes)))
            elif r < 0.75:
                block = mine.pop(rng.randrange(len(mine)))
                key = block.offset
                try:
                    # False only when a remove_ge (or a clear) took it first.
                    (deleted if tree.delete(block.size, block) else missed).append(key)
                except RuntimeError as exc:
                    # Comparisons that keep changing the tree make delete give up (by design).
                    assert str(exc) == "FastRedBlackTree changed during delete", exc
                    gave_up.append(key)
                    mine.append(block)
                del block  # its finalizer may run here
            elif r < 0.88:
                take(rng.choice(sizes))
            else:
                poke()

    def reader(rng, deadline):
        while run.running(deadline):
            look(rng)

    def clearer(rng, deadline):
        while run.running(deadline):
            pause = time.monotonic() + rng.uniform(0.005, 0.05)  # lets the tree fill up again
            while time.monotonic() < pause and run.running(deadline):
                look(rng)
            if rng.random() < 0.5:
                tree.clear()
            else:
                tree.__init__(sample_rate=rng.choice((0, 1, 3, 100)))

    if clearing:
        run.threads([writer, writer, reader, clearer])
    else:
        run.threads([writer, writer, writer, reader])
    run.settle()

    stored = []  # (size, key)
    for size in sorted(set(sizes)):
        blocks = tree.find_all_exact(size)
        check_exact(blocks, size)
        stored += [(size, b.offset) for b in blocks]
        del blocks
    stored_keys = [k for _, k in stored]
    dist = tree.get_size_distribution()
    stats = tree.get_stats()
    for what, items in (("inserted", inserted), ("deleted", deleted), ("taken by remove_ge", taken),
                        ("stored", stored_keys)):
        no_duplicates(what, items)
    sets = {"deleted": set(deleted), "taken": set(taken), "stored": set(stored_keys)}
    for a, b in itertools.combinations(sets, 2):
        both = sorted(sets[a] & sets[b])
        assert not both, f"both {a} and {b}: {both[:10]}"
    check_stats(stats)
    assert dist == Counter(s for s, _ in stored), (dist, Counter(s for s, _ in stored))
    assert stats["total_blocks"] == len(tree) == tree.size() == len(stored), (stats, len(tree), len(stored))
    assert stats["height"] <= 2 * math.log2(len(dist) + 1), (stats["height"], len(dist))
    if clearing:
        assert set().union(*sets.values()) <= set(inserted), "a block came out that never went in"
    else:
        assert set().union(*sets.values()) == set(inserted), "a block was lost"
        assert set(missed) <= sets["taken"], "a delete missed a block nobody took"
        assert stats["total_insertions"] == len(inserted), (stats, len(inserted))
        assert stats["total_deletions"] == len(deleted) + len(taken), (stats, len(deleted), len(taken))
        assert stats["sampled_operations"] == len(inserted) // 3, (stats, len(inserted))
    releases.check(inserted, alive=stored_keys)
    tree.clear()
    gc.collect()
    releases.check(inserted)
    if pylock:
        check_switching_locks()
    return {"inserted": len(inserted), "deleted": len(deleted), "missed": len(missed),
            "taken": len(taken), "stored": len(stored), "deletes given up": len(gave_up)}


@scenario
def tree_mixed(run):
    """Identity, dataclass, sleeping and re-entrant blocks in shared chains; exact accounting."""
    return _tree(run, pylock=False, clearing=False)


@scenario
def tree_mixed_injected_lock(run):
    """The same with a Python lock injected for write_lock and stats_lock."""
    return _tree(run, pylock=True, clearing=False)


@scenario
def tree_clear_reinit(run):
    """The same with clear() and __init__() from another thread and from comparisons and finalizers."""
    return _tree(run, pylock=False, clearing=True)


# ---- LockFreeStatistics --------------------------------------------------------------------------

STAT_ATTRS = ("total_allocations", "total_deallocations", "current_allocations", "bytes_allocated",
              "bytes_reserved", "peak_allocations", "peak_bytes_allocated", "bucketed_allocations",
              "fallback_allocations", "alignment_padding_bytes", "total_allocation_time_ns",
              "total_deallocation_time_ns")


class ResetOrder:
    """reset() stores 0 into the twelve counters in order while holding its lock: the stores of two
    resets must never interleave."""

    def __init__(self):
        self._lock = _RealLock()
        self.owner = None
        self.next = 0
        self.violations = []

    def step(self, index):
        me = threading.get_ident()
        with self._lock:
            if self.owner is None and index == 0:
                self.owner, self.next = me, 1
            elif self.owner == me and index == self.next:
                self.next += 1
            else:
                self.violations.append((index, self.next, self.owner == me))
            if self.next == len(STAT_ATTRS):
                self.owner, self.next = None, 0


class PyCounter:
    """A replacement counter attribute: Python methods that switch threads. `adds` totals every delta
    ever applied (store does not reset it); `bad_cas` counts compare-and-swaps that could not raise."""

    def __init__(self, index, order=None):
        self.index = index
        self.order = order
        self._lock = _RealLock()
        self.value = 0
        self.adds = 0
        self.stores = 0
        self.bad_cas = 0

    def _add(self, delta):
        switch(0.3)
        with self._lock:
            self.value += delta
            self.adds += delta
            value = self.value
        switch(0.3)
        return value

    def increment(self, delta=1):
        return self._add(delta)

    def decrement(self, delta=1):
        return self._add(-delta)

    def load(self):
        switch(0.3)
        return self.value

    def store(self, value):
        if self.order is not None:
            self.order.step(self.index)
        switch(0.5)
        with self._lock:
            self.value = value
            self.stores += 1

    def compare_and_swap(self, expected, new_value):
        switch(0.3)
        with self._lock:
            if not new_value > expected:
                self.bad_cas += 1
            if self.value == expected:
                self.value = new_value
                return True
            return False


def _record(run, stats, rng):
    """One random recording call with the counts it must leave on each counter."""
    size = rng.randrange(1, 5000)
    t = rng.choice((0, 0, 7))
    r = rng.random()
    if r < 0.3:
        bucketed = rng.random() < 0.5
        padding = rng.choice((0, 0, 16))
        flag = SlowValue(bucketed) if rng.random() < 0.3 else bucketed
        stats.record_allocation(size, flag, padding, t)
        run.count("total_allocations")
        run.count("current_allocations")
        run.count("bytes_allocated", size)
        run.count("bucketed_allocations" if bucketed else "fallback_allocations")
        run.count("alignment_padding_bytes", padding)
        run.count("total_allocation_time_ns", t)
    elif r < 0.55:
        stats.record_deallocation(size, t)
        run.count("total_deallocations")
        run.count("current_allocations", -1)
        run.count("bytes_allocated", -size)
        run.count("total_deallocation_time_ns", t)
    elif r < 0.75:
        stats.py_record_allocation(size, SlowValue(True) if rng.random() < 0.3 else False, 8, t)
        run.count("total_allocations")
        run.count("current_allocations")
        run.count("bytes_allocated", size)
    elif r < 0.95:
        stats.py_record_deallocation(size, t)
        run.count("total_deallocations")
        run.count("current_allocations", -1)
        run.count("bytes_allocated", -size)
    else:
        snap = stats.get_snapshot()
        assert len(snap) == 14 and snap["bucketed_allocation_ratio"].endswith("%"), snap


@scenario
def statistics_counters(run):
    """Counter attributes replaced by Python objects (swapped while in use) and by AtomicCounter
    subclasses, a Python _update_peaks; every count must arrive exactly once."""
    from velkora.memory.sync_cells import AtomicCounter, LockFreeStatistics

    class SubCounter(AtomicCounter):
        """Not the exact type: reached through its methods, which release the interpreter lock."""

    class Stats(LockFreeStatistics):
        def _update_peaks(self, current_allocs, current_bytes):
            switch(0.5)
            super()._update_peaks(current_allocs, current_bytes)

    stats = Stats()
    swapped = ("total_allocations", "bytes_allocated", "peak_allocations")
    installed = {a: [] for a in swapped}

    def install(attr):
        counter = PyCounter(STAT_ATTRS.index(attr))
        installed[attr].append(counter)  # before it can receive calls
        setattr(stats, attr, counter)

    for attr in swapped:
        install(attr)
    for attr in ("current_allocations", "bucketed_allocations", "total_deallocation_time_ns"):
        setattr(stats, attr, SubCounter(0))

    def recorder(rng, deadline):
        while run.running(deadline):
            _record(run, stats, rng)

    def swapper(rng, deadline):
        while run.running(deadline):
            install(rng.choice(swapped))
            for _ in range(rng.randrange(1, 20)):
                _record(run, stats, rng)

    run.threads([recorder, recorder, recorder, swapper])
    run.settle()
    want = run.total()
    for attr in STAT_ATTRS:
        if attr.startswith("peak_"):
            continue  # raised by compare-and-swap, not counted
        got = sum(c.adds for c in installed[attr]) if attr in installed else getattr(stats, attr).load()
        assert got == want.get(attr, 0), (attr, got, want.get(attr, 0))
    peaks = installed["peak_allocations"]
    assert sum(c.bad_cas for c in peaks) == 0, "a compare-and-swap that does not raise the peak"
    assert all(0 <= c.value <= want["total_allocations"] for c in peaks)
    assert 0 <= stats.peak_bytes_allocated.load()
    return {"allocations": want["total_allocations"], "deallocations": want["total_deallocations"],
            "counters installed": sum(len(v) for v in installed.values())}


@scenario
def statistics_reset(run):
    """All twelve counters in Python, concurrent reset() calls whose stores switch threads: resets never
    interleave, every store and every count arrives exactly once."""
    from velkora.memory.sync_cells import LockFreeStatistics

    order = ResetOrder()
    stats = LockFreeStatistics()
    installed = {a: [] for a in STAT_ATTRS}

    def install(attr):
        counter = PyCounter(STAT_ATTRS.index(attr), order)
        installed[attr].append(counter)
        setattr(stats, attr, counter)

    for attr in STAT_ATTRS:
        install(attr)

    def recorder(rng, deadline):
        while run.running(deadline):
            _record(run, stats, rng)

    def resetter(rng, deadline):
        while run.running(deadline):
            if rng.random() < 0.3:
                install(rng.choice(STAT_ATTRS))
            stats.reset()
            run.count("resets")
            _record(run, stats, rng)

    run.threads([recorder, recorder, resetter, resetter])
    run.settle()
    assert not order.violations, f"resets interleaved: {order.violations[:5]}"
    want = run.total()
    for attr in STAT_ATTRS:
        counters = installed[attr]
        assert sum(c.adds for c in counters) == want.get(attr, 0), (attr, want.get(attr, 0))
        assert sum(c.stores for c in counters) == want["resets"], (attr, want["resets"])
        assert sum(c.bad_cas for c in counters) == 0, attr
    return {"resets": want["resets"], "allocations": want["total_allocations"]}


# ---- FastBucketAllocator and FastStatsCollector --------------------------------------------------

BUCKET_SIZES = (8, 16, 64, 256, 264, 1024, 4096)


def _aligned_fit(offset, block, size, alignment):
    return ((offset + alignment - 1) & -alignment) + size <= offset + block


@scenario
def buckets_injected_lock(run):
    """Bucket allocator and statistics collector with an injected Python lock: each offset comes out
    once and none is lost, every call enters the lock exactly once, the collector loses no count."""
    from velkora.memory import pool_paths as pp

    pp.threading = SHIM
    first = len(SWITCHING_LOCKS)
    alloc = pp.FastBucketAllocator()
    coll = pp.FastStatsCollector()
    alloc_lock, coll_lock = SWITCHING_LOCKS[first:]
    pp.threading = threading
    numbers = itertools.count(1)
    added = {}  # offset -> size
    came_out = []

    def worker(rng, deadline):
        while run.running(deadline):
            r = rng.random()
            if r < 0.4:
                offset = next(numbers) * 8 + rng.choice((0, 0, 1, 4))
                size = rng.choice(BUCKET_SIZES)
                added[offset] = size
                assert alloc.add_to_bucket(offset, size) is True
            elif r < 0.6:
                want = rng.randrange(1, 4097)
                got = alloc.remove_from_bucket(want)
                if got is not None:
                    came_out.append(got)
                    assert added[got] == -(-want // 8) * 8, (want, got, added[got])
            else:
                want, alignment = rng.randrange(1, 4097), rng.choice((1, 8, 64))
                got = alloc.find_best_fit_bucket(want, alignment)
                if got is not None:
                    came_out.append(got)
                    assert _aligned_fit(got, added[got], want, alignment), (want, alignment, got)
            run.count("bucket calls")
            r = rng.random()
            if r < 0.5:
                bucketed = rng.random() < 0.6
                coll.py_record_allocation(64, 3, SlowValue(bucketed) if r < 0.1 else bucketed)
                run.count("bucketed" if bucketed else "fallback")
            elif r < 0.8:
                coll.py_record_deallocation()
                run.count("released")
            else:
                s = coll.get_stats()
                assert s["bucketed_allocations"] + s["fallback_allocations"] == s["total_allocations"], s
            run.count("collector calls")

    run.threads([worker] * 4)
    run.settle()
    want = run.total()
    assert alloc_lock.enters == want["bucket calls"], (alloc_lock.enters, want["bucket calls"])
    assert coll_lock.enters == want["collector calls"], (coll_lock.enters, want["collector calls"])
    check_switching_locks()
    for size in sorted(set(added.values())):
        while (got := alloc.remove_from_bucket(size)) is not None:
            came_out.append(got)
    no_duplicates("handed out", came_out)
    assert set(came_out) == set(added), "an offset was lost"
    s = coll.get_stats()
    assert (s["bucketed_allocations"], s["fallback_allocations"], s["total_deallocations"]) == \
        (want["bucketed"], want["fallback"], want["released"]), (s, want)
    assert s["total_allocations"] == want["bucketed"] + want["fallback"]
    return {"offsets": len(added), "handed out": len(came_out), "collector calls": want["collector calls"]}


@scenario
def buckets_reinit(run):
    """Re-initialisation with other geometries, _init_buckets() and reset_stats() from other threads and
    from inside an injected lock's __enter__, locks alternating between genuine and injected: no offset
    comes out twice or without having gone in, and the collector's snapshots stay consistent."""
    from velkora.memory import pool_paths as pp

    geometries = ((8, 256, 4096), (16, 256, 4096), (8, 128, 2048), (4, 64, 1024))

    class SlowBuckets(pp.FastBucketAllocator):
        def _init_buckets(self):
            switch(0.5)
            super()._init_buckets()

    pp.threading = SHIM
    alloc = SlowBuckets()
    coll = pp.FastStatsCollector()
    numbers = itertools.count(1)
    added = set()
    came_out = []

    def reinit(rng):
        pp.threading = SHIM if rng.random() < 0.5 else threading
        r = rng.random()
        if r < 0.4:
            alloc.__init__(*rng.choice(geometries))
        elif r < 0.6:
            alloc._init_buckets()
        elif r < 0.8:
            coll.__init__()
        else:
            coll.reset_stats()

    def on_enter():
        if random.random() < 0.002:
            reinit(random)

    def check_stats(s):
        assert s["bucketed_allocations"] + s["fallback_allocations"] == s["total_allocations"], s
        assert min(v for v in s.values() if type(v) is int) >= 0, s

    def worker(rng, deadline):
        while run.running(deadline):
            r = rng.random()
            if r < 0.45:
                offset = next(numbers) * 8 + rng.choice((0, 4))
                added.add(offset)
                alloc.add_to_bucket(offset, rng.choice(BUCKET_SIZES))  # False: not a bucket any more
            elif r < 0.7:
                got = alloc.remove_from_bucket(rng.randrange(1, 4097))
                if got is not None:
                    came_out.append(got)
            else:
                got = alloc.find_best_fit_bucket(rng.randrange(1, 4097), rng.choice((1, 8, 64)))
                if got is not None:
                    came_out.append(got)
            if rng.random() < 0.5:
                coll.py_record_allocation(64, 3, SlowValue(True) if rng.random() < 0.1 else False)
            else:
                check_stats(coll.get_stats())

    def mutator(rng, deadline):
        while run.running(deadline):
            for _ in range(rng.randrange(1, 100)):
                if rng.random() < 0.5:
                    check_stats(coll.get_stats())
                else:
                    coll.py_record_deallocation()
            reinit(rng)

    SwitchingLock.on_enter = on_enter
    try:
        run.threads([worker, worker, worker, mutator])
    finally:
        SwitchingLock.on_enter = None
        pp.threading = threading
    run.settle()
    check_switching_locks()
    for size in range(1, 4097):  # every bucket of every geometry
        while (got := alloc.remove_from_bucket(size)) is not None:
            came_out.append(got)
    no_duplicates("handed out", came_out)
    strangers = set(came_out) - added
    assert not strangers, f"offsets that never went in: {sorted(strangers)[:10]}"
    check_stats(coll.get_stats())
    return {"offsets": len(added), "handed out": len(came_out), "locks": len(SWITCHING_LOCKS)}


# ---- CounterAggregator ---------------------------------------------------------------------------

AGG_KEYS = ["count", "mean", "variance", "std", "min", "max"]


def _check_series(cid, d):
    """Every value fed to series cid is cid + 1, so any half-applied or misplaced update shows."""
    assert list(d) == AGG_KEYS, d
    if d["count"] == 0:
        assert d == {"count": 0, "mean": 0.0, "variance": 0.0, "std": 0.0, "min": math.inf,
                     "max": -math.inf}, (cid, d)
    else:
        v = float(cid + 1)
        assert d["mean"] == d["min"] == d["max"] == v and d["variance"] == 0.0 == d["std"], (cid, d)


def _out_of_range(exc, cid=None):
    text = str(exc)
    ok = text.startswith("Counter ID ") and text.endswith(" out of range")
    return ok and int(text.split()[2]) >= 8 and (cid is None or int(text.split()[2]) == cid)


@scenario
def aggregator(run):
    """Updates (some with a float conversion that switches threads), readers, reset/reset_all and
    re-__init__ with 8, 16 or 32 counters from another thread, a subclass whose get_stats switches
    threads (get_all_stats calls it between its steps), locks alternating between genuine and injected;
    a second aggregator with an injected lock and no resets must count exactly."""
    from velkora.monitoring import stat_counters as st

    class SlowAggregator(st.CounterAggregator):
        def get_stats(self, counter_id):
            switch(0.5)
            return super().get_stats(counter_id)

    agg = SlowAggregator(16)
    st.threading = SHIM
    steady = st.CounterAggregator(8)
    st.threading = threading

    def check_all(listing):
        ids = [cid for cid, _ in listing]
        assert ids == sorted(set(ids)), ids
        for cid, d in listing:
            _check_series(cid, d)

    def updater(rng, deadline):
        while run.running(deadline):
            cid = rng.randrange(32)
            value = float(cid + 1)
            try:
                agg.update(cid, SlowValue(value) if rng.random() < 0.2 else value)
            except IndexError as exc:
                assert _out_of_range(exc, cid), exc  # 8 counters or more at any time
            k = rng.randrange(8)
            steady.update(k, float(k + 1))
            run.count(k)

    def reader(rng, deadline):
        while run.running(deadline):
            r = rng.random()
            if r < 0.5:
                cid = rng.randrange(32)
                try:
                    _check_series(cid, agg.get_stats(cid))
                except IndexError as exc:
                    assert _out_of_range(exc, cid), exc
            elif r < 0.7:
                try:
                    check_all(agg.get_all_stats())
                except IndexError as exc:  # the override, after a re-init shrank the aggregator
                    assert _out_of_range(exc), exc
            elif r < 0.9:
                cid = rng.randrange(8)
                _check_series(cid, steady.get_stats(cid))
            else:
                check_all(steady.get_all_stats())

    def mutator(rng, deadline):
        while run.running(deadline):
            for _ in range(rng.randrange(1, 50)):
                check_all(steady.get_all_stats())
            r = rng.random()
            if r < 0.4:
                agg.reset(rng.randrange(8))
            elif r < 0.6:
                agg.reset_all()
            else:
                st.threading = SHIM if rng.random() < 0.5 else threading
                agg.__init__(rng.choice((8, 16, 32)))
                st.threading = threading

    run.threads([updater, updater, reader, mutator])
    run.settle()
    want = run.total()
    for k in range(8):
        d = steady.get_stats(k)
        _check_series(k, d)
        assert d["count"] == want.get(k, 0), (k, d, want.get(k, 0))
    check_all(agg.get_all_stats())
    check_switching_locks()
    return {"steady updates": sum(want.values())}


# ---- CompileGate ---------------------------------------------------------------------------------

GATE_CONFIG = (40, 5, 400, 0.2, 2.0)  # initial, min, max, learning rate, target speedup
SPEEDUPS = (0.5, 1.0, 2.0, 3.0, 6.0)


def _gate_kit(run):
    from velkora.jit import compile_gate as cg
    from velkora.jit.call_ledger import CallLedger

    class SlowConfig(cg.PolicyConfig):
        """get_threshold must read initial_threshold through Python code for a subclass."""

        @property
        def initial_threshold(self):
            switch(0.5)
            return GATE_CONFIG[0]

    class View:
        """A metrics record of another type: every attribute read runs Python code."""

        __slots__ = ("_m",)

        def __init__(self, m):
            self._m = m

        def __getattr__(self, name):
            switch(0.3)
            return getattr(self._m, name)

    class Ledger(CallLedger):
        """The framework's ledger, slower: its reads switch threads while the gate's lock is held."""

        def get_metrics(self, func_id):
            switch(0.5)
            m = super().get_metrics(func_id)
            log = getattr(run.local, "log", None)
            if log is not None:
                log.append(m)
            return View(m) if random.random() < 0.3 else m

    return cg, SlowConfig, Ledger


def _check_gate_statistics(s, low, high):
    assert list(s) == ["tracked_functions", "avg_threshold", "min_threshold", "max_threshold"], s
    if s["tracked_functions"]:
        assert low <= s["min_threshold"] <= s["avg_threshold"] <= s["max_threshold"] <= high, s


@scenario
def gate_ledger(run):
    """Two gates (exact and subclassed configuration) driven through a slow ledger by three threads, each
    owning its functions, while a reader samples thresholds and statistics. Afterwards every decision and
    every learned threshold is replayed on a fresh gate from the metrics the ledger handed out."""
    cg, SlowConfig, Ledger = _gate_kit(run)
    gates = [cg.CompileGate(cg.PolicyConfig(*GATE_CONFIG)), cg.CompileGate(SlowConfig(*GATE_CONFIG))]
    ledger = Ledger()
    history = {}  # (gate, function) -> [(op, metrics, result)]; each key has one writer
    samples = []
    funcs = [f"d{i}.f{k}" for i in range(3) for k in range(3)]

    def driver_of(i):
        def driver(rng, deadline):
            drive(rng, deadline, [f for f in funcs if f.startswith(f"d{i}.")])
        return driver

    def drive(rng, deadline, mine):
        while run.running(deadline):
            gi = rng.randrange(2)
            gate, f = gates[gi], rng.choice(mine)
            ops = history.setdefault((gi, f), [])
            ledger.record_call(f, 0.25)
            run.local.log = []
            decision = gate.should_compile(f, ledger)
            (m,) = run.local.log
            ops.append(("should_compile", m, decision))
            if decision or rng.random() < 0.3:
                if decision or rng.random() < 0.5:
                    ledger.record_compilation(f, rng.choice(SPEEDUPS))
                run.local.log = []
                gate.update(f, ledger)
                (m,) = run.local.log
                ops.append(("update", m, gate.get_threshold(f)))
            run.local.log = None

    def reader(rng, deadline):
        tracked = [0, 0]
        while run.running(deadline):
            gi = rng.randrange(2)
            if rng.random() < 0.7:
                f = rng.choice(funcs)
                if len(samples) < 100_000:
                    samples.append((gi, f, gates[gi].get_threshold(f)))
            else:
                s = gates[gi].get_statistics()
                _check_gate_statistics(s, GATE_CONFIG[1], GATE_CONFIG[2])
                assert tracked[gi] <= s["tracked_functions"] <= len(funcs), (tracked, s)
                tracked[gi] = s["tracked_functions"]

    run.threads([driver_of(0), driver_of(1), driver_of(2), reader])
    run.settle()

    class Replay:
        def __init__(self, m):
            self.m = m

        def get_metrics(self, func_id):
            return self.m

    seen = {}
    learned = [0, 0]
    for (gi, f), ops in sorted(history.items()):
        fresh = cg.CompileGate(cg.PolicyConfig(*GATE_CONFIG))
        seen[gi, f] = {GATE_CONFIG[0]}
        for n, (op, m, result) in enumerate(ops):
            if op == "should_compile":
                assert fresh.should_compile(f, Replay(m)) == result, (gi, f, n, m, result)
            else:
                fresh.update(f, Replay(m))
                assert fresh.get_threshold(f) == result, (gi, f, n, m, result)
                seen[gi, f].add(result)
        assert gates[gi].get_threshold(f) == fresh.get_threshold(f), (gi, f)
        learned[gi] += fresh.get_statistics()["tracked_functions"]
    for gi, f, value in samples:
        assert value in seen.get((gi, f), {GATE_CONFIG[0]}), (gi, f, value, seen.get((gi, f)))
    for gi, gate in enumerate(gates):
        s = gate.get_statistics()
        _check_gate_statistics(s, GATE_CONFIG[1], GATE_CONFIG[2])
        assert s["tracked_functions"] == learned[gi], (gi, s, learned[gi])
    return {"operations": sum(len(ops) for ops in history.values()), "samples": len(samples)}


@scenario
def gate_reinit(run):
    """A gate re-initialised with other configurations and the process-wide gate reset, from another
    thread, while drivers and readers use both; gate locks and _policy_lock alternate between genuine
    and injected. Thresholds stay within the bounds, statistics stay consistent."""
    cg, SlowConfig, Ledger = _gate_kit(run)
    configs = [cg.PolicyConfig(*GATE_CONFIG), SlowConfig(*GATE_CONFIG),
               cg.PolicyConfig(100, 10, 300, 0.5, 1.5)]
    low, high = 5, 400
    gate = cg.CompileGate(configs[0])
    ledger = Ledger()
    funcs = [f"f{k}" for k in range(6)]

    def driver(rng, deadline):
        while run.running(deadline):
            g = gate if rng.random() < 0.7 else cg.get_compile_gate()
            f = rng.choice(funcs)
            ledger.record_call(f, 0.25)
            decision = g.should_compile(f, ledger)
            assert type(decision) is bool
            if decision or rng.random() < 0.3:
                ledger.record_compilation(f, rng.choice(SPEEDUPS))
                g.update(f, ledger)
            bound = high if g is gate else 10000
            assert low <= g.get_threshold(f) <= bound

    def mutator(rng, deadline):
        while run.running(deadline):
            for _ in range(rng.randrange(1, 50)):
                _check_gate_statistics(gate.get_statistics(), low, high)
                assert low <= gate.get_threshold(rng.choice(funcs)) <= high
            r = rng.random()
            if r < 0.5:
                cg.threading = SHIM if rng.random() < 0.5 else threading
                gate.__init__(rng.choice(configs))
                cg.threading = threading
            elif r < 0.8:
                cg.reset_compile_gate()
            else:
                cg._policy_lock = SwitchingLock() if rng.random() < 0.5 else _RealLock()

    run.threads([driver, driver, driver, mutator])
    run.settle()
    _check_gate_statistics(gate.get_statistics(), low, high)
    check_switching_locks()
    return {"locks injected": len(SWITCHING_LOCKS)}


# ---- AtomicPointer and LockFreeStack -------------------------------------------------------------

def _cells(run, cls):
    """Two instances of cls, the second built with an injected lock, and items whose finalizers (some
    only reachable by the garbage collector) call back into the instance they were made for."""
    from velkora.memory import sync_cells as sc

    cells = [cls()]
    sc.threading = SHIM
    cells.append(cls())
    sc.threading = threading
    keys = itertools.count(1)
    made = []
    allocated = set()
    releases = Releases(run)

    class Item:
        __slots__ = ("key", "home", "cycle", "__weakref__")

        def __init__(self, key, home):
            self.key, self.home = key, home

        def __del__(self):
            run.callback(Item.poke, self.home)

    def new_item(home, cyclic=False):
        key = next(keys)
        allocated.add(key)
        item = releases.track(Item(key, home), key)
        made.append(key)
        if cyclic:
            item.cycle = item
        return item

    def check_item(item):
        assert item is None or (type(item) is Item and item.key in allocated), item

    return cells, Item, new_item, check_item, made, releases


@scenario
def pointer_finalizers(run):
    """AtomicPointer (genuine and injected lock): stores and compare-and-swaps from several threads and
    from the finalizers of replaced objects; the version counts every success exactly, every object is
    released exactly once."""
    from velkora.memory.sync_cells import AtomicPointer

    slots, Item, new_item, check_item, made, releases = _cells(run, AtomicPointer)
    never_stored = object()

    def poke(home):
        slot = slots[home]
        r = random.random()
        if r < 0.3:
            check_item(slot.load())
        elif r < 0.45:
            slot.get_version()
        elif r < 0.7:
            slot.store(new_item(home))
            run.count(home)
        else:
            cur = slot.load()
            if slot.compare_and_swap(cur, new_item(home)):
                run.count(home)

    Item.poke = poke

    def worker(rng, deadline):
        last = [0, 0]
        while run.running(deadline):
            home = rng.randrange(2)
            slot = slots[home]
            r = rng.random()
            if r < 0.25:
                slot.store(new_item(home, rng.random() < 0.3))
                run.count(home)
            elif r < 0.5:
                cur = slot.load()
                if slot.compare_and_swap(cur, new_item(home, rng.random() < 0.3)):
                    run.count(home)
            elif r < 0.6:
                cur = slot.load()
                if slot.compare_and_swap(cur, cur):  # swapped for itself: still a new version
                    run.count(home)
            elif r < 0.7:
                assert slot.compare_and_swap(never_stored, new_item(home)) is False
            elif r < 0.85:
                v = slot.get_version()
                assert v >= last[home], (v, last[home])
                last[home] = v
            else:
                check_item(slot.load())
            cur = None

    run.threads([worker] * 4)
    run.settle()
    want = run.total()
    for home, slot in enumerate(slots):
        assert slot.get_version() == want.get(home, 0), (home, slot.get_version(), want.get(home, 0))
    alive = [slot.load().key for slot in slots if slot.load() is not None]
    releases.check(made, alive)
    for slot in slots:
        slot.store(None)
    gc.collect()
    releases.check(made)
    check_switching_locks()
    return {"objects": len(made), "versions": [s.get_version() for s in slots]}


@scenario
def stack_finalizers(run):
    """LockFreeStack (genuine and injected lock): pushes and pops from several threads and from the
    finalizers of popped items; nothing is lost or popped twice, every item is released exactly once."""
    from velkora.memory.sync_cells import LockFreeStack

    stacks, Item, new_item, check_item, made, releases = _cells(run, LockFreeStack)
    pushed, popped = [], []

    def push(home, cyclic=False):
        item = new_item(home, cyclic)
        stacks[home].push(item)
        pushed.append(item.key)

    def pop(home):
        item = stacks[home].pop()
        check_item(item)
        if item is not None:
            popped.append(item.key)

    def poke(home):
        r = random.random()
        if r < 0.4:
            push(home)
        elif r < 0.7:
            pop(home)
        else:
            assert stacks[home].size() >= 0 and stacks[home].is_empty() in (True, False)

    Item.poke = poke

    def worker(rng, deadline):
        while run.running(deadline):
            home = rng.randrange(2)
            r = rng.random()
            if r < 0.45:
                push(home, rng.random() < 0.3)
            elif r < 0.9:
                pop(home)
            else:
                assert stacks[home].size() >= 0 and stacks[home].is_empty() in (True, False)

    run.threads([worker] * 4)
    run.settle()
    rest = []
    for stack in stacks:
        while not stack.is_empty():
            rest.append(stack.pop().key)
        assert stack.size() == 0 and stack.pop() is None
    no_duplicates("popped", popped + rest)
    assert set(popped + rest) == set(pushed), "an item was lost"
    gc.collect()
    releases.check(made)
    check_switching_locks()
    return {"pushed": len(pushed), "left at the end": len(rest)}


# ---- running ---------------------------------------------------------------------------------------

def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("scenario", choices=sorted(SCENARIOS))
    ap.add_argument("--seconds", type=float, default=2.0, help="how long the threads run")
    ap.add_argument("--seed", type=int, default=None, help="seed of the threads' random choices")
    args = ap.parse_args(argv)
    seed = args.seed if args.seed is not None else int.from_bytes(os.urandom(4), "little")
    import velkora

    print(f"scenario {args.scenario}, seed {seed}, {args.seconds} s, Python {sys.version.split()[0]}, "
          f"velkora from {os.path.dirname(velkora.__file__)}", file=sys.stderr, flush=True)
    faulthandler.enable()  # a crash prints every thread's Python stack
    # A hang prints every thread's stack and ends the process, from a C thread: this works even when
    # a thread loops in native code with the interpreter lock held. Sanitizer builds run much slower.
    faulthandler.dump_traceback_later(args.seconds * 4 + 60, exit=True)
    run = Run(args.seconds, seed)

    def unraisable(u):
        run.errors.append(f"unraisable exception in {u.err_msg or 'callback'}: "
                          f"{u.exc_type.__name__}: {u.exc_value}")
        run.stop.set()

    sys.unraisablehook = unraisable
    sys.setswitchinterval(1e-6)
    gc.set_threshold(100, 5, 5)  # collections, and so finalizers, at many more allocation points
    summary = SCENARIOS[args.scenario](run)
    run.raise_errors()  # also what the final checks let loose (a finalizer's unraisable error)
    faulthandler.cancel_dump_traceback_later()
    print(json.dumps({"scenario": args.scenario, "seed": seed, **(summary or {})}), flush=True)
    return OK


@dataclass
class Outcome:
    scenario: str
    seed: int
    seconds_asked: float
    status: str  # "ok", "broken", "hung", "crashed (SIGSEGV)", "crashed (AddressSanitizer)", "exit N"
    returncode: int | None
    seconds: float  # as it took
    stdout: str
    stderr: str

    def report(self, lines=60):
        """The verdict, how to rerun it, and the telling part of the output: a sanitizer's report
        from its start, otherwise the end (the broken invariant, or every thread's stack)."""
        err = self.stderr.rstrip().splitlines()
        first = next((i for i, line in enumerate(err) if "ERROR: AddressSanitizer" in line
                      or "runtime error:" in line), None)
        shown = err[first:first + lines] if first is not None else err[-lines:]
        rerun = (f"python3 {os.path.relpath(HERE)} {self.scenario} --seconds {self.seconds_asked} "
                 f"--seed {self.seed}")
        return "\n".join([f"{self.scenario}: {self.status} after {self.seconds:.1f} s (rerun: {rerun})",
                          *shown, self.stdout.strip()])


def _text(data):
    if data is None:
        return ""
    return data.decode(errors="replace") if isinstance(data, bytes) else data


def run_in_subprocess(name, seconds, seed, timeout=None, env=None):
    """Runs one scenario in a fresh interpreter (the same one as this process, with its environment)."""
    cmd = [sys.executable, HERE, name, "--seconds", str(seconds), "--seed", str(seed)]
    start = time.monotonic()
    try:
        proc = subprocess.run(cmd, capture_output=True, text=True, env=env,
                              timeout=timeout or seconds * 4 + 120)
    except subprocess.TimeoutExpired as exc:
        return Outcome(name, seed, seconds, "hung", None, time.monotonic() - start, _text(exc.stdout),
                       _text(exc.stderr))
    rc = proc.returncode
    if rc != OK and "ERROR: AddressSanitizer" in proc.stderr:
        status = "crashed (AddressSanitizer)"
    elif rc != OK and ": runtime error: " in proc.stderr:
        status = "crashed (UndefinedBehaviorSanitizer)"
    elif rc == OK:
        status = "ok"
    elif rc == BROKEN:
        status = "hung" if "Timeout (" in proc.stderr else "broken"
    elif rc < 0:
        try:
            status = f"crashed ({signal.Signals(-rc).name})"
        except ValueError:
            status = f"crashed (signal {-rc})"
    else:
        status = f"exit {rc}"
    return Outcome(name, seed, seconds, status, rc, time.monotonic() - start, proc.stdout, proc.stderr)


if __name__ == "__main__":
    sys.exit(main())
