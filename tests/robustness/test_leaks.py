"""Leak checks: every stateful class in a loop of 10^5 operations (success and error paths) with the growth
of the process's memory and of tracemalloc bounded, and weak references proving that stored objects are
released by removal, clearing and destruction, cycles through native containers included.
"""

from __future__ import annotations

import gc
import math
import os
import sys
import tracemalloc
import weakref

import pytest

from velkora.gpu import device_memplan as dm
from velkora.jit import compile_gate as cg
from velkora.memory import block_index as bi
from velkora.memory import pool_paths as pp
from velkora.memory import sync_cells as sc
from velkora.monitoring import stat_counters as st
from velkora.plugins.analyzer import code_scoring as cs
from velkora.plugins.analyzer import pool_adaptation as pa

OPS = 10**5
PAGE = os.sysconf("SC_PAGE_SIZE")


def _asan_slack():
    # The address sanitizer quarantines freed memory (256 MiB by default), so RSS grows without a leak;
    # tracemalloc still bounds the interpreter-allocator side there.
    return 512 * 1024 * 1024 if os.environ.get("VELKORA_SANITIZED") else 0


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


class Item:
    """A stored object that can be weakly referenced."""


class BadEq:
    def __eq__(self, other):
        raise RuntimeError("no comparison")

    __hash__ = object.__hash__


class Ledger:
    def __init__(self, metrics):
        self.metrics = metrics

    def get_metrics(self, func_id):
        if self.metrics is None:
            raise RuntimeError("ledger down")
        return self.metrics


def _swallow(fn, *args):
    try:
        fn(*args)
    except (TypeError, ValueError, OverflowError, IndexError, KeyError, AttributeError, RuntimeError):
        pass


# Each workload returns a step(i) doing one operation; the object lives across all steps.
def tree_workload():
    tree = bi.FastRedBlackTree(sample_rate=3)
    held = [Item() for _ in range(64)]

    def step(i):
        k = i % 8
        if k == 0:
            tree.insert(64 + i % 640, held[i % 64])
        elif k == 1:
            tree.delete(64 + (i - 1) % 640, held[(i - 1) % 64])
        elif k == 2:
            tree.find_best_fit(i % 700, 8)
        elif k == 3:
            tree.find_all_exact(64 + i % 640)
        elif k == 4:
            _swallow(tree.insert, -i, held[0])
        elif k == 5:
            tree.insert(5, BadEq())
            _swallow(tree.delete, 5, Item())
            tree.remove_ge(5)
        elif k == 6:
            tree.get_stats() if i % 64 == 6 else tree.size()
        else:
            _swallow(tree.find_best_fit, "x")
            if i % 4096 == 7:
                tree.clear()
                tree.get_size_distribution()
    return step


def stack_workload():
    stack = sc.LockFreeStack()

    def step(i):
        if i % 2:
            stack.pop()
        else:
            stack.push((i, "payload"))
    return step


def pointer_workload():
    ptr = sc.AtomicPointer()

    def step(i):
        if i % 3 == 0:
            ptr.store([i])
        elif i % 3 == 1:
            ptr.compare_and_swap(ptr.load(), {"i": i})
        else:
            ptr.compare_and_swap(object(), object())
    return step


def counter_workload():
    counter = sc.AtomicCounter()
    wrapper = sc.AtomicCounterWrapper()

    def step(i):
        counter.increment(i)
        wrapper.fetch_and_add(1)
        _swallow(counter.store, 2**64)
        counter.compare_and_swap(i, i + 1)
    return step


def statistics_workload():
    stats = sc.LockFreeStatistics()

    def step(i):
        if i % 4 == 0:
            stats.record_allocation(64, i % 8 == 0, 8, 100)
        elif i % 4 == 1:
            stats.py_record_deallocation(64, 5)
        elif i % 4 == 2:
            _swallow(stats.record_allocation, 2**70)
        else:
            stats.get_snapshot() if i % 64 == 3 else stats.py_record_allocation(64, True)
        if i % 8192 == 0:
            stats.reset()
    return step


def timer_workload():
    timer = sc.PerformanceTimer()

    def step(i):
        timer.start()
        timer.elapsed_us()
    return step


def header_workload():
    header = pp.FastSlabHeaderOps(2, 64)

    def step(i):
        idx = i % 64
        header.py_allocate_object_at(idx)
        header.py_is_object_free(idx)
        header.py_deallocate_object_at(idx)
        if i % 16 == 0:
            header.unpack_header(header.pack_header())
            _swallow(header.unpack_header, b"short")
    return step


def allocator_workload():
    alloc = pp.FastBucketAllocator()

    def step(i):
        if i % 3 == 0:
            alloc.add_to_bucket(i % 100000 * 8, 8 * (1 + i % 512))
        elif i % 3 == 1:
            alloc.remove_from_bucket(8 * (1 + i % 512))
        else:
            alloc.find_best_fit_bucket(8 * (1 + i % 512), 8)
    return step


def collector_workload():
    coll = pp.FastStatsCollector()

    def step(i):
        coll.py_record_allocation(64, 8, i % 2)
        if i % 16 == 0:
            coll.get_stats()
            _swallow(coll.py_record_allocation, 2**40, 0, True)
    return step


def aggregator_workload():
    agg = st.CounterAggregator(64)

    def step(i):
        agg.update(i % 64, float(i))
        if i % 8 == 0:
            agg.get_stats(i % 64)
            _swallow(agg.update, 64, 1.0)
        if i % 1024 == 0:
            agg.get_all_stats()
            agg.reset(i % 64)
    return step


def gate_workload():
    gate = cg.CompileGate()
    ledgers = [Ledger(cg.FunctionMetrics(call_count=500, compile_count=1 + k, avg_speedup=0.5 + k))
               for k in range(4)] + [Ledger(None), Ledger(object())]

    def step(i):
        ledger = ledgers[i % len(ledgers)]
        fid = f"f{i % 50}"
        _swallow(gate.update, fid, ledger)
        _swallow(gate.should_compile, fid, ledger)
        if i % 32 == 0:
            gate.get_statistics()
            _swallow(gate.get_threshold, 5)
    return step


def config_workload():
    config = cg.PolicyConfig()
    metrics = cg.FunctionMetrics()

    def step(i):
        config.learning_rate = 0.1 + (i % 5) * 0.01
        metrics.call_count = i
        metrics.avg_speedup = 1.5
        _swallow(setattr, config, "min_threshold", 2**40)
        _swallow(cg.PolicyConfig, 10, 100)
    return step


WORKLOADS = {
    "FastRedBlackTree": tree_workload,
    "LockFreeStack": stack_workload,
    "AtomicPointer": pointer_workload,
    "AtomicCounter": counter_workload,
    "LockFreeStatistics": statistics_workload,
    "PerformanceTimer": timer_workload,
    "FastSlabHeaderOps": header_workload,
    "FastBucketAllocator": allocator_workload,
    "FastStatsCollector": collector_workload,
    "CounterAggregator": aggregator_workload,
    "CompileGate": gate_workload,
    "PolicyConfig": config_workload,
}


def measure(step, ops):
    """Growth of RSS and of tracemalloc over `ops` steps, after a warm-up that fills caches and free lists."""
    for i in range(ops // 10):
        step(i)
    gc.collect()
    tracemalloc.start()
    try:
        rss0 = rss_bytes()
        traced0 = tracemalloc.get_traced_memory()[0]
        for i in range(ops):
            step(i)
        gc.collect()
        traced = tracemalloc.get_traced_memory()[0] - traced0
        rss = rss_bytes() - rss0
    finally:
        tracemalloc.stop()
    return rss, traced


@pytest.mark.parametrize("name", sorted(WORKLOADS))
def test_stateful_class_does_not_grow(name):
    rss, traced = measure(WORKLOADS[name](), OPS)
    # Steady state shows no growth at all; a leak of 8 bytes per operation would show as 800 kB.
    assert traced < 64 * 1024, f"{name}: tracemalloc grew by {traced} bytes over {OPS} operations"
    assert rss < 1024 * 1024 + _asan_slack(), f"{name}: RSS grew by {rss} bytes over {OPS} operations"


def _history(n):
    return [(float(t), 100.0 - t * 0.5) for t in range(n)]


def functions_step(i):
    _swallow(cs.score_indicators, "for i in range(10): x = np.dot(a, b)\n" * 3, "f")
    _swallow(cs.quick_framework_score, "import torch", "torch")
    _swallow(cs.normalize_scores, 10, 5, 3, 2, 1)
    _swallow(cs.calculate_gpu_suitability, 0.9, 0.5, 0.2, True, "8.6")
    _swallow(cs.calculate_gpu_suitability, 0.9, 0.5, 0.2, True, "x.y")
    _swallow(dm.compute_chunk_shapes, (100, 3), 4, 64)
    _swallow(dm.compute_chunk_shapes, (5,), 0, 8)
    _swallow(dm.estimate_allocation_bytes, (2**40, 2**40), 8)
    _swallow(dm.is_oom_error, "CUDA out of memory", "RuntimeError")
    _swallow(pa.calculate_performance_trend, _history(12), 0.0)
    _swallow(pa.calculate_performance_trend, [(1.0, 2.0), (1.0,)], 0.0)
    _swallow(pa.detect_workload_characteristics_change, [{"cpu_intensity": 1.0}] * 8)
    _swallow(pa.detect_dominant_pattern, ["a", "b", "a", None, "a"])
    _swallow(pa.predict_resource_requirements, _history(10), 5.0)


def test_module_functions_do_not_grow():
    rss, traced = measure(functions_step, OPS // 10)
    assert traced < 64 * 1024, f"tracemalloc grew by {traced} bytes"
    assert rss < 1024 * 1024 + _asan_slack(), f"RSS grew by {rss} bytes"


# --- release of stored objects ---------------------------------------------------------------------

def _dead(ref):
    gc.collect()
    return ref() is None


@pytest.mark.parametrize("how", ["delete", "remove_ge", "clear", "destroy"])
def test_tree_releases_blocks(how):
    tree = bi.FastRedBlackTree()
    block = Item()
    ref = weakref.ref(block)
    tree.insert(32, block)
    tree.insert(32, Item())
    del block
    assert not _dead(ref)
    if how == "delete":
        assert tree.delete(32, ref())
    elif how == "remove_ge":
        got = [tree.remove_ge(1)[1], tree.remove_ge(1)[1]]
        assert any(g is ref() for g in got)
        del got
    elif how == "clear":
        tree.clear()
    else:
        del tree
    assert _dead(ref)


@pytest.mark.parametrize("how", ["pop", "destroy"])
def test_stack_releases_items(how):
    stack = sc.LockFreeStack()
    item = Item()
    ref = weakref.ref(item)
    stack.push(item)
    stack.push(Item())
    del item
    assert not _dead(ref)
    if how == "pop":
        stack.pop()
        stack.pop()
    else:
        del stack
    assert _dead(ref)


@pytest.mark.parametrize("how", ["store", "compare_and_swap", "destroy"])
def test_pointer_releases_value(how):
    item = Item()
    ref = weakref.ref(item)
    ptr = sc.AtomicPointer(item)
    del item
    assert not _dead(ref)
    if how == "store":
        ptr.store(None)
    elif how == "compare_and_swap":
        assert ptr.compare_and_swap(ref(), 5)
    else:
        del ptr
    assert _dead(ref)


def test_pointer_failed_swap_keeps_no_reference():
    keep, offered = Item(), Item()
    ptr = sc.AtomicPointer(keep)
    ref = weakref.ref(offered)
    assert not ptr.compare_and_swap(Item(), offered)
    del offered
    assert _dead(ref)


class CounterSub(sc.AtomicCounter):
    pass


def test_statistics_release_replaced_counters():
    stats = sc.LockFreeStatistics()
    stats.total_allocations = CounterSub()
    old = weakref.ref(stats.total_allocations)
    stats.total_allocations = CounterSub()
    assert _dead(old)
    stats.bytes_allocated = CounterSub()
    current = weakref.ref(stats.bytes_allocated)
    del stats.bytes_allocated  # deleting an attribute sets it to None
    assert _dead(current)
    stats.bytes_allocated = CounterSub()
    current = weakref.ref(stats.bytes_allocated)
    del stats
    assert _dead(current)


def test_gate_keeps_neither_ledger_nor_metrics():
    gate = cg.CompileGate()
    metrics = cg.FunctionMetrics(call_count=500, compile_count=2, avg_speedup=3.0)
    ledger = Ledger(metrics)
    refs = [weakref.ref(ledger)]
    gate.update("f", ledger)
    gate.should_compile("f", ledger)
    del ledger, metrics
    assert all(_dead(r) for r in refs)
    config = cg.PolicyConfig()
    before = sys.getrefcount(config)
    gate2 = cg.CompileGate(config)
    assert gate2.config is config
    del gate2
    gc.collect()
    assert sys.getrefcount(config) == before


class TreeSub(bi.FastRedBlackTree):
    pass


class StackSub(sc.LockFreeStack):
    pass


class PointerSub(sc.AtomicPointer):
    pass


class AllocatorSub(pp.FastBucketAllocator):
    pass


def _cycle_tree():
    # Blocks are not reported to the collector while stored; clearing the tree breaks the cycle.
    t = TreeSub()
    t.insert(8, t)
    t.insert(9, [t])
    t.clear()
    return t


def _cycle_stack():
    s = StackSub()
    s.push([s])
    return s


def _cycle_pointer():
    p = PointerSub()
    p.store(p)
    return p


def _cycle_allocator():
    a = AllocatorSub()
    a.me = a
    return a


@pytest.mark.parametrize("make", [_cycle_tree, _cycle_stack, _cycle_pointer, _cycle_allocator],
                         ids=["tree", "stack", "pointer", "allocator"])
def test_reference_cycles_through_native_objects_are_collected(make):
    obj = make()
    ref = weakref.ref(obj)
    del obj
    assert _dead(ref)


@pytest.mark.parametrize("value", [math.nan, 2**80, "x"])
def test_failed_conversions_keep_no_reference(value):
    before = sys.getrefcount(value)
    for _ in range(1000):
        _swallow(bi.FastRedBlackTree().insert, value, value)
        _swallow(sc.AtomicCounter().store, value)
        _swallow(st.CounterAggregator(2).update, 0, value)
    assert sys.getrefcount(value) == before
