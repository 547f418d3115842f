"""Every garbage-collected type reports what it owns, and a cycle through one of its objects is freed."""

import gc
import threading

import pytest

from velkora.jit import compile_gate as cg
from velkora.memory import block_index, pool_paths, sync_cells
from velkora.monitoring import stat_counters

LOCK_TYPE = type(threading.Lock())


class Marker:
    """Records its finalisation, so a test can see that a cycle was really collected."""

    freed = set()

    def __init__(self, name):
        self.name = name

    def __del__(self):
        Marker.freed.add(self.name)


def _stack_with(item):
    s = sync_cells.LockFreeStack()
    s.push(item)
    return s


def _tree_with(item):
    t = block_index.FastRedBlackTree()
    t.insert(64, item)
    return t


def _stats_counters(s):
    return [getattr(s, n) for n in ("total_allocations", "bytes_allocated", "peak_bytes_allocated")]


# (factory, what its referents must include besides its type and a lock)
OWNERS = {
    "AtomicPointer": (lambda item: sync_cells.AtomicPointer(item), lambda o, item: [item]),
    "LockFreeStack": (_stack_with, lambda o, item: [item]),
    "LockFreeStatistics": (lambda item: sync_cells.LockFreeStatistics(), lambda o, item: _stats_counters(o)),
    "FastRedBlackTree": (_tree_with, lambda o, item: [item]),
    "FastBucketAllocator": (lambda item: pool_paths.FastBucketAllocator(), lambda o, item: []),
    "FastStatsCollector": (lambda item: pool_paths.FastStatsCollector(), lambda o, item: []),
    "CounterAggregator": (lambda item: stat_counters.CounterAggregator(4), lambda o, item: []),
    "CompileGate": (lambda item: cg.CompileGate(), lambda o, item: [o.config]),
}


@pytest.mark.parametrize("name", sorted(OWNERS))
def test_referents_are_what_the_object_owns(name):
    make, expected = OWNERS[name]
    item = object()
    obj = make(item)
    referents = gc.get_referents(obj)
    assert type(obj) in referents
    for owned in expected(obj, item):
        assert any(r is owned for r in referents), owned
    # LockFreeStatistics keeps one lock among many counters; every other type keeps its lock.
    assert any(isinstance(r, LOCK_TYPE) for r in referents)


@pytest.mark.parametrize("name", ["AtomicPointer", "LockFreeStack", "FastRedBlackTree"])
def test_cycle_through_a_stored_object_is_collected(name):
    make, _ = OWNERS[name]
    marker = Marker(name)
    obj = make(marker)
    marker.back = obj  # obj -> marker -> obj
    del obj, marker
    gc.collect()
    assert name in Marker.freed


def test_cycle_through_a_gate_configuration_is_collected():
    class Config(cg.PolicyConfig):
        pass

    config = Config()
    gate = cg.CompileGate(config)
    config.gate = gate  # gate -> config -> gate
    config.marker = Marker("CompileGate")
    del gate, config
    gc.collect()
    assert "CompileGate" in Marker.freed


@pytest.mark.parametrize("name", sorted(OWNERS))
def test_clear_then_free_leaves_nothing_behind(name):
    # tp_clear runs first when the collector breaks a cycle; the object must then free cleanly.
    make, _ = OWNERS[name]
    obj = make(object())
    holder = [obj]
    holder.append(holder)
    del obj, holder
    assert gc.collect() >= 0
