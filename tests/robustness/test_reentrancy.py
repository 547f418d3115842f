"""Hostile collaborators: finalizers, comparisons, subclass overrides and replaced attributes that call back
into the object being worked on, or that empty the container being read. Each must end in a defined
result or an ordinary exception, with the object still valid and usable, never a crash or a deadlock.
"""

from __future__ import annotations

import copy
import gc
import math
import os
import pickle
import threading

import pytest

from velkora.jit import compile_gate as cg
from velkora.memory import block_index as bi
from velkora.memory import pool_paths as pp
from velkora.memory import sync_cells as sc
from velkora.monitoring import stat_counters as st
from velkora.plugins.analyzer import pool_adaptation as pa

from fuzz_registry import FACTORIES


def finishes(fn, seconds=20.0):
    """Runs fn in a daemon thread: a deadlock fails the test instead of hanging the suite."""
    result = {}

    def run():
        try:
            result["value"] = fn()
        except BaseException as exc:  # noqa: BLE001 - handed back below
            result["error"] = exc

    t = threading.Thread(target=run, daemon=True)
    t.start()
    t.join(seconds)
    assert not t.is_alive(), "deadlocked"
    if "error" in result:
        raise result["error"]
    return result.get("value")


# --- finalizers calling back into the container ---------------------------------------------------

class CallsBackOnDel:
    """Re-enters the container from its finalizer; a lock still held there would deadlock."""

    def __init__(self, action):
        self.action = action

    def __del__(self):
        self.action()


@pytest.mark.parametrize("how", ["clear", "remove_ge", "delete", "destroy_other"])
def test_tree_block_finalizer_reenters_tree(how):
    tree = bi.FastRedBlackTree()
    other = bi.FastRedBlackTree()

    def act():
        tree.insert(999, "from finalizer")
        tree.find_all_exact(999)

    def scenario():
        for _ in range(4):
            tree.insert(8, CallsBackOnDel(act))
        if how == "clear":
            tree.clear()
        elif how == "remove_ge":
            for _ in range(4):
                tree.remove_ge(1)
        elif how == "delete":
            for block in tree.find_all_exact(8):
                assert tree.delete(8, block)
        else:
            other.insert(8, CallsBackOnDel(act))

    finishes(scenario)
    if how == "destroy_other":
        del other
        gc.collect()
        assert len(tree.find_all_exact(999)) == 1
    assert tree.get_stats()["is_valid"] is True
    assert len(tree) == len(tree.find_all_exact(999)) + len(tree.find_all_exact(8))


def test_pointer_old_value_finalizer_reenters_slot():
    ptr = sc.AtomicPointer()

    def act():
        ptr.store("from finalizer")

    def scenario():
        ptr.store(CallsBackOnDel(act))
        ptr.store(1)  # drops the old value: its finalizer stores again
        return ptr.load(), ptr.get_version()

    value, version = finishes(scenario)
    assert value == "from finalizer" and version == 3


def test_stack_item_finalizer_reenters_stack():
    stack = sc.LockFreeStack()

    def scenario():
        stack.push(CallsBackOnDel(lambda: stack.push("from finalizer")))
        stack.pop()  # the caller drops the popped item at once
        gc.collect()
        return stack.size()

    assert finishes(scenario) == 1
    assert stack.pop() == "from finalizer" and stack.is_empty()


# --- comparisons and overrides --------------------------------------------------------------------

def test_tree_block_comparison_reads_tree_during_delete():
    tree = bi.FastRedBlackTree()
    seen = []

    class Block:
        def __eq__(self, other):
            # Readers during a writer's comparison must not block and must not see a torn tree.
            seen.append((len(tree), tree.find_all_exact(8), tree.find_best_fit(8)))
            return False

        __hash__ = object.__hash__

    blocks = [Block() for _ in range(3)]
    for b in blocks:
        tree.insert(8, b)
    assert finishes(lambda: tree.delete(8, object())) is False
    assert seen and all(n == 3 for n, _, _ in seen)
    assert tree.get_stats()["is_valid"] is True


@pytest.mark.parametrize("result", [-1, 2**64, "x", None, 1.5, math.nan, 2**100, [8]])
def test_tree_subclass_sanitize_size_returning_junk(result):
    class Tree(bi.FastRedBlackTree):
        def _sanitize_size(self, size):
            return result

    tree = Tree()
    for call in (lambda: tree.insert(5, "a"), lambda: tree.delete(5, "a"), lambda: tree.remove_ge(5),
                 lambda: tree.find_best_fit(5), lambda: tree.find_all_exact(5)):
        try:
            call()
        except (TypeError, ValueError, OverflowError):
            pass
    stats = tree.get_stats()
    assert stats["is_valid"] is True and stats["node_count"] == len(tree)


def test_tree_subclass_sanitize_size_reenters_insert():
    class Tree(bi.FastRedBlackTree):
        depth = 0

        def _sanitize_size(self, size):
            if Tree.depth < 3:
                Tree.depth += 1
                bi.FastRedBlackTree.insert(self, size + 1, "inner")
                Tree.depth -= 1
            return size

    tree = Tree()
    finishes(lambda: tree.insert(4, "outer"))
    assert len(tree) == 4 and tree.get_stats()["is_valid"] is True


@pytest.mark.parametrize("value", ["x", None, [1]])
def test_timer_subclass_elapsed_ns_of_wrong_type(value):
    class Timer(sc.PerformanceTimer):
        def elapsed_ns(self):
            return value

    with pytest.raises(TypeError):
        Timer().elapsed_us()
    with pytest.raises(TypeError):
        Timer().elapsed_ms()


@pytest.mark.parametrize("value", [2**100, -(2**100), math.nan, math.inf, 1.5, True])
def test_timer_subclass_elapsed_ns_of_odd_numbers(value):
    class Timer(sc.PerformanceTimer):
        def elapsed_ns(self):
            return value

    us = Timer().elapsed_us()
    assert isinstance(us, float)
    assert us == pytest.approx(float(value) * 0.001, nan_ok=True)


class HostileCounter:
    def __init__(self, load_value=0, fail=None):
        self.load_value, self.fail = load_value, fail

    def _maybe_fail(self, *args):
        if self.fail is not None:
            raise self.fail
        return 0

    increment = decrement = store = _maybe_fail

    def compare_and_swap(self, expected, new_value):
        # A swap that always failed would keep the peak loop retrying forever, by design.
        self._maybe_fail()
        return True

    def load(self):
        self._maybe_fail()
        return self.load_value


COUNTERS = ["total_allocations", "total_deallocations", "current_allocations", "bytes_allocated",
            "peak_allocations", "peak_bytes_allocated", "bucketed_allocations", "fallback_allocations",
            "alignment_padding_bytes", "total_allocation_time_ns", "total_deallocation_time_ns"]


@pytest.mark.parametrize("attr", COUNTERS)
@pytest.mark.parametrize("replacement", [None, 5, HostileCounter(fail=KeyError("boom")), HostileCounter("str"),
                                         HostileCounter(2**100), HostileCounter(math.nan)],
                         ids=["none", "int", "raises", "str", "huge", "nan"])
def test_statistics_with_replaced_counter(attr, replacement):
    stats = sc.LockFreeStatistics()
    setattr(stats, attr, replacement)
    for call in (lambda: stats.record_allocation(10, True, 3, 4), lambda: stats.record_deallocation(5, 1),
                 lambda: stats.py_record_allocation(1, False), lambda: stats.py_record_deallocation(1),
                 stats.get_snapshot, stats.reset):
        try:
            call()
        except (AttributeError, TypeError, KeyError, ValueError, OverflowError):
            pass
    stats.total_allocations = sc.AtomicCounter(0)
    setattr(stats, attr, sc.AtomicCounter(0))
    stats.reset()
    stats.record_allocation(10)
    assert stats.get_snapshot()["total_allocations"] == 1


def test_statistics_subclass_update_peaks_raising_keeps_object_usable():
    class Stats(sc.LockFreeStatistics):
        def _update_peaks(self, allocs, nbytes):
            self.reset()
            raise ValueError("peaks")

    stats = Stats()
    with pytest.raises(ValueError):
        stats.record_allocation(5)
    assert stats.get_snapshot()["total_allocations"] == 0


def test_allocator_subclass_init_buckets_raising_creates_nothing():
    class Raising(pp.FastBucketAllocator):
        def _init_buckets(self):
            raise ValueError("no buckets")

    with pytest.raises(ValueError):
        Raising()

    class Skipping(pp.FastBucketAllocator):
        def _init_buckets(self):
            pass

    alloc = Skipping()
    assert alloc.add_to_bucket(0, 8) is False
    assert alloc.remove_from_bucket(8) is None and alloc.find_best_fit_bucket(8, 8) is None


@pytest.mark.parametrize("args", [(-8, 256, 4096), (8, -1, -1), (8, 4096, 256), (3, 7, 11), (1, 1, 1)])
def test_allocator_with_odd_geometry_stays_sound(args):
    alloc = pp.FastBucketAllocator(*args)
    for size in (-(2**31), -5, 0, 1, 7, 8, 255, 256, 2**31 - 1):
        alloc.add_to_bucket(64, size)
        for alignment in (-(2**31), -1, 0, 1, 8, 2**30):
            alloc.find_best_fit_bucket(size, alignment)
        alloc.remove_from_bucket(size)


def test_aggregator_failed_reinit_keeps_a_valid_object():
    agg = st.CounterAggregator(4)
    agg.update(1, 2.0)
    with pytest.raises(MemoryError):
        agg.__init__(-1)
    # Whatever state it kept, it stays self-consistent and usable.
    stats = agg.get_all_stats()
    for cid, s in stats:
        assert s == agg.get_stats(cid)
    try:
        agg.update(0, 1.0)
    except IndexError:
        pass


def test_aggregator_subclass_get_stats_override_propagates():
    class Agg(st.CounterAggregator):
        def get_stats(self, counter_id):
            raise RuntimeError("override")

    agg = Agg(2)
    agg.update(0, 1.0)
    try:
        agg.get_all_stats()
    except RuntimeError:
        pass
    assert st.CounterAggregator.get_stats(agg, 0)["count"] == 1


# --- containers emptied while being read ----------------------------------------------------------

class Emptier:
    """A number whose conversion empties the list it came from and runs the collector."""

    def __init__(self, victim):
        self.victim = victim

    def __float__(self):
        self.victim.clear()
        gc.collect()
        return 1.0

    def __index__(self):
        return int(self.__float__())


def _pair_entries(lst, kind):
    if kind == "tuple":
        return [(float(i), Emptier(lst)) for i in range(20)]
    if kind == "list":
        return [[Emptier(lst), 2.0] for _ in range(20)]

    class Iterable:
        def __iter__(self):
            lst.clear()
            gc.collect()
            return iter((1.0, 2.0))

    return [Iterable() for _ in range(20)]


@pytest.mark.parametrize("kind", ["tuple", "list", "iterable"])
@pytest.mark.parametrize("call", [
    lambda h: pa.detect_performance_degradation(h, 1.0, 0.1, 0.0),
    lambda h: pa.calculate_performance_trend(h, 0.0),
    lambda h: pa.predict_resource_requirements(h, 5.0),
], ids=["degradation", "trend", "predict"])
def test_history_emptied_mid_read(call, kind):
    for _ in range(20):
        history = []
        history.extend(_pair_entries(history, kind))
        try:
            call(history)
        except (TypeError, ValueError, IndexError):
            pass


def test_pattern_history_emptied_mid_read():
    keys = ("parallelization_potential", "cpu_intensity", "memory_intensity")
    for _ in range(20):
        history = []
        history.extend({k: Emptier(history) for k in keys} for _ in range(12))
        entry = {}
        entry.update({k: Emptier(entry) for k in keys})
        for h in (history, [entry] * 12):
            try:
                pa.detect_workload_characteristics_change(h, 0.1)
            except (TypeError, KeyError):
                pass


def test_patterns_refuse_str_subclasses_with_their_own_comparison():
    patterns = []

    class Name(str):
        def __eq__(self, other):
            patterns.clear()
            return False

        __hash__ = str.__hash__

    patterns.extend([Name("a"), Name("b")] * 10)
    with pytest.raises(TypeError):
        pa.detect_dominant_pattern(patterns, 20)
    assert len(patterns) == 20


def test_gate_ledger_record_with_raising_attributes_releases_the_lock():
    gate = cg.CompileGate()

    class Record:
        call_count = 500
        compile_count = 2

        @property
        def avg_speedup(self):
            raise LookupError("gone")

    class Ledger:
        def get_metrics(self, func_id):
            return Record()

    for call in (gate.should_compile, gate.update):
        with pytest.raises(LookupError):
            finishes(lambda: call("f", Ledger()))
    # The lock was released: the next call goes through.
    assert finishes(gate.get_statistics)["tracked_functions"] == 0


# --- objects made by __new__ without __init__ -----------------------------------------------------

UNINITIALISED_CALLS = {
    sc.AtomicCounter: [("load", ()), ("store", (1,)), ("increment", ()), ("compare_and_swap", (0, 1))],
    sc.AtomicPointer: [("load", ()), ("store", (1,)), ("compare_and_swap", (None, 1)), ("get_version", ())],
    sc.LockFreeStack: [("push", (1,)), ("pop", ()), ("is_empty", ()), ("size", ())],
    sc.LockFreeStatistics: [("record_allocation", (1,)), ("py_record_allocation", (1, True)),
                            ("py_record_deallocation", (1,)), ("get_snapshot", ()), ("reset", ())],
    sc.PerformanceTimer: [("start", ()), ("elapsed_ns", ()), ("elapsed_us", ())],
    pp.FastSlabHeaderOps: [("pack_header", ()), ("unpack_header", (b"\0" * 16,)), ("py_is_object_free", (1,)),
                           ("py_allocate_object_at", (1,)), ("py_find_free_object", ())],
    pp.FastBucketAllocator: [("_init_buckets", ()), ("add_to_bucket", (0, 8)), ("remove_from_bucket", (8,)),
                             ("find_best_fit_bucket", (8, 8))],
    pp.FastStatsCollector: [("py_record_allocation", (1, 1, True)), ("get_stats", ()), ("reset_stats", ())],
    bi.FastRedBlackTree: [("insert", (8, "a")), ("delete", (8, "a")), ("remove_ge", (1,)), ("clear", ()),
                          ("size", ()), ("find_best_fit", (8,)), ("find_all_exact", (8,)), ("get_stats", ()),
                          ("get_statistics", ()), ("get_size_distribution", ())],
    cg.PolicyConfig: [],
    cg.FunctionMetrics: [],
    cg.CompileGate: [("should_compile", ("f", None)), ("get_threshold", ("f",)), ("get_statistics", ())],
    st.CounterAggregator: [("update", (0, 1.0)), ("get_stats", (0,)), ("reset_all", ()), ("get_all_stats", ())],
}


@pytest.mark.parametrize("subclass", [False, True], ids=["exact", "subclass"])
@pytest.mark.parametrize("cls", list(UNINITIALISED_CALLS), ids=lambda c: c.__name__)
def test_uninitialised_objects_fail_cleanly(cls, subclass):
    if subclass:
        cls = type("Sub", (cls,), {})
    obj = cls.__new__(cls)
    gc.get_referents(obj)
    for attr in dir(obj):
        if not attr.startswith("__"):
            try:
                getattr(obj, attr)
            except (AttributeError, RuntimeError, TypeError):
                pass
    for name, args in UNINITIALISED_CALLS[type(obj).__mro__[1 if subclass else 0]]:
        try:
            getattr(obj, name)(*args)
        except (RuntimeError, ValueError, IndexError, TypeError, AttributeError):
            pass
    for probe in (repr, bool):
        probe(obj)
    del obj
    gc.collect()


# --- pickling and copying -------------------------------------------------------------------------

@pytest.mark.parametrize("qual", sorted(FACTORIES))
def test_pickling_and_copying_refused(qual):
    obj = FACTORIES[qual]()
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        with pytest.raises(TypeError):
            pickle.dumps(obj, protocol)
    with pytest.raises(TypeError):
        copy.deepcopy(obj)
    if qual.endswith(".AtomicCounterWrapper"):
        # A plain Python class: a shallow copy is a second wrapper around the same counter.
        twin = copy.copy(obj)
        twin.increment()
        assert obj.load() == twin.load()
    else:
        with pytest.raises(TypeError):
            copy.copy(obj)


# --- module instances -----------------------------------------------------------------------------

REIMPORT = """
import gc, importlib, sys
sys.path.insert(0, {here!r})
import velkora
import fuzz_registry
objs = {{q: f() for q, f in fuzz_registry.FACTORIES.items()}}
del fuzz_registry
for name in velkora.NATIVE_MODULES:
    del sys.modules[name]
    parent, _, leaf = name.rpartition(".")
    delattr(sys.modules[parent], leaf)
gc.collect()
for name in velkora.NATIVE_MODULES:
    importlib.import_module(name)
gc.collect()
# Objects of the first module instances keep their module state alive and stay fully usable.
for qual, obj in objs.items():
    for attr in dir(obj):
        if not attr.startswith("_") and callable(getattr(obj, attr)):
            try:
                getattr(obj, attr)()
            except TypeError:
                pass
print("ok")
"""

SUBINTERPRETERS = """
try:
    import _interpreters as interpreters
except ImportError:
    import _xxsubinterpreters as interpreters
code = '''
import importlib, gc, velkora
for name in velkora.NATIVE_MODULES:
    try:
        mod = importlib.import_module(name)
    except ImportError:
        continue  # a module may decline sub-interpreters; it must say so cleanly
gc.collect()
'''
for _ in range(3):
    interp = interpreters.create()
    interpreters.run_string(interp, code)
    interpreters.destroy(interp)
print("ok")
"""


@pytest.mark.parametrize("source", [REIMPORT, SUBINTERPRETERS], ids=["reimport", "subinterpreters"])
def test_module_instances_come_and_go_cleanly(run_python, source):
    proc = run_python(source.format(here=os.path.dirname(__file__)) if source is REIMPORT else source)
    assert proc.stdout.strip().endswith("ok")
