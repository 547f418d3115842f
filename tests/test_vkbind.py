"""The shared calling-convention layer, seen through the modules that use it.

Positional calls take a fast route (exact floats, one-word ints, bools and exact str/None read in
place); keyword calls bind through the general route. Both must accept, convert and refuse exactly
the same arguments, with the same messages.
"""

import builtins
import threading
import weakref

import pytest

from doubles import FakeThreading
from velkora.jit import compile_gate
from velkora.memory import block_index, pool_paths, sync_cells
from velkora.monitoring import stat_counters
from velkora.plugins.analyzer import code_scoring


class Index:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


class Floaty:
    def __float__(self):
        return 2.5


class BadInt:
    def __int__(self):
        return "seven"


class Truthy:
    def __init__(self, v):
        self.v = v

    def __bool__(self):
        if self.v is None:
            raise ValueError("no truth")
        return self.v


class IntSub(int):
    pass


class FloatSub(float):
    pass


def outcome(call):
    try:
        return ("ok", call())
    except Exception as exc:  # the type and message are what must agree
        return (type(exc), str(exc))


I32_EDGES = [0, 1, -1, 2**30 - 1, 2**30, -2**30, -2**30 - 1, 2**31 - 1, -2**31, 2**31, -2**31 - 1,
             2**62, 2**63, 2**64, -2**70, True, False, IntSub(12), 7.9, -7.9, Index(40), None, "5",
             b"5", 1e300, float("nan"), BadInt()]


@pytest.mark.parametrize("size", I32_EDGES, ids=repr)
def test_native_int_positional_and_keyword_binding_agree(size):
    positional = outcome(lambda: pool_paths.fast_align_size(size, 8))
    keyword = outcome(lambda: pool_paths.fast_align_size(size=size, alignment=8))
    assert positional == keyword


@pytest.mark.parametrize("value, expected", [
    (2**31 - 1, 2**31 - 1), (-2**31, -2**31), (2**30, 2**30), (True, 1), (IntSub(12), 12),
    (7.9, 7), (-7.9, -7), (Index(40), 40),
])
def test_native_int_accepts(value, expected):
    assert pool_paths.fast_align_size(value, 1) == expected


@pytest.mark.parametrize("value, error", [
    (2**31, OverflowError), (-2**31 - 1, OverflowError), (2**64, OverflowError),
    (None, TypeError), ("5", TypeError), (b"5", TypeError), (float("nan"), ValueError),
    (1e300, OverflowError), (BadInt(), TypeError),
])
def test_native_int_refuses(value, error):
    with pytest.raises(error):
        pool_paths.fast_align_size(value, 1)


@pytest.mark.parametrize("bitmap", [0, 1, 2**63, 2**64 - 1, 2**64, -1, -2**63, True, 3.5, None],
                         ids=repr)
def test_unsigned_64_bit_binding_agrees(bitmap):
    positional = outcome(lambda: pool_paths.fast_bitmap_operations(bitmap, 0, "is_set"))
    keyword = outcome(lambda: pool_paths.fast_bitmap_operations(
        bitmap=bitmap, index=0, operation="is_set"))
    assert positional == keyword
    if bitmap in (-1, -2**63, 2**64):
        assert positional[0] is OverflowError


@pytest.mark.parametrize("op", ["is_set", None, 5, b"is_set", type("S", (str,), {})("is_set")],
                         ids=repr)
def test_exact_str_or_none_binding_agrees(op):
    positional = outcome(lambda: pool_paths.fast_bitmap_operations(1, 0, op))
    keyword = outcome(lambda: pool_paths.fast_bitmap_operations(1, 0, operation=op))
    assert positional == keyword
    if not (op is None or type(op) is str):
        assert positional == (TypeError, "fast_bitmap_operations() argument 'operation' must be "
                                         f"str or None, not {type(op).__name__}")


SCORES = [0.25, 1, True, FloatSub(0.5), Floaty(), Index(1), 2**70, None, "0.5", float("inf")]
FLAGS = [True, False, 0, 1, "", "x", None, [], Truthy(True), Truthy(False), Truthy(None)]


@pytest.mark.parametrize("score", SCORES, ids=repr)
@pytest.mark.parametrize("flag", FLAGS, ids=repr)
def test_double_and_flag_binding_agree(score, flag):
    positional = outcome(lambda: code_scoring.estimate_gpu_speedup(score, 0.5, flag))
    keyword = outcome(lambda: code_scoring.estimate_gpu_speedup(
        gpu_available=flag, gpu_data_size_score=0.5, gpu_operation_score=score))
    assert positional == keyword


def test_flag_truth_errors_propagate():
    with pytest.raises(ValueError, match="no truth"):
        code_scoring.estimate_gpu_speedup(0.5, 0.5, Truthy(None))


def test_conversions_stop_at_the_first_failure():
    seen = []

    class Watch:
        def __float__(self):
            seen.append("float")
            return 1.0

    with pytest.raises(TypeError, match="'gpu_operation_score' must be a real number"):
        code_scoring.estimate_gpu_speedup(None, Watch(), True)
    assert seen == []


@pytest.mark.parametrize("args, kwargs, message", [
    ((), {}, "estimate_gpu_speedup() missing required argument 'gpu_operation_score' (pos 1)"),
    ((1.0, 2.0), {}, "estimate_gpu_speedup() missing required argument 'gpu_available' (pos 3)"),
    ((1.0, 2.0, True, 4), {}, "estimate_gpu_speedup() takes exactly 3 arguments (4 given)"),
    ((1.0, 2.0), {"gpu_available": True, "x": 1},
     "estimate_gpu_speedup() got an unexpected keyword argument 'x'"),
    ((1.0, 2.0, True), {"gpu_available": True},
     "estimate_gpu_speedup() got multiple values for argument 'gpu_available'"),
    ((1.0, 2.0, True, 4), {"gpu_available": True},
     "estimate_gpu_speedup() takes exactly 3 arguments (5 given)"),
    ((1.0,), {"gpu_operation_score": 1.0, "gpu_data_size_score": 1.0, "gpu_available": 1},
     "estimate_gpu_speedup() got multiple values for argument 'gpu_operation_score'"),
])
def test_count_and_keyword_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        code_scoring.estimate_gpu_speedup(*args, **kwargs)
    assert str(info.value) == message


def test_optional_parameters_keep_their_defaults():
    assert pool_paths.fast_get_bucket_size(13) == pool_paths.fast_get_bucket_size(13, 8)
    assert pool_paths.fast_get_bucket_size(13, step=4) == pool_paths.fast_get_bucket_size(13, 4)


@pytest.mark.parametrize("data", [bytearray(16), memoryview(bytes(16)),
                                  type("B", (bytes,), {})(16), "x" * 16])
def test_exact_bytes_or_none(data):
    slab = pool_paths.FastSlabHeaderOps(0, 8)
    with pytest.raises(TypeError, match=r"unpack_header\(\) argument 'data' must be bytes or "
                                        rf"None, not {type(data).__name__}"):
        slab.unpack_header(data)
    slab.unpack_header(slab.pack_header())


@pytest.mark.parametrize("method", ["get_snapshot", "reset"])
def test_methods_without_parameters_refuse_arguments(method):
    stats = sync_cells.LockFreeStatistics()
    with pytest.raises(TypeError, match=rf"{method}\(\) takes no arguments \(1 given\)"):
        getattr(stats, method)(1)
    with pytest.raises(TypeError, match=rf"{method}\(\) takes no keyword arguments"):
        getattr(stats, method)(x=1)


# ---- locks made through the module global `threading` ----------------------------------------

MAKERS = {
    "pool_paths": (pool_paths, lambda: pool_paths.FastBucketAllocator()),
    "stat_counters": (stat_counters, lambda: stat_counters.CounterAggregator(2)),
    "compile_gate": (compile_gate, lambda: compile_gate.CompileGate()),
    "sync_cells": (sync_cells, lambda: sync_cells.AtomicPointer()),
    "block_index": (block_index, lambda: block_index.FastRedBlackTree()),
}


@pytest.mark.parametrize("name", MAKERS)
def test_a_deleted_threading_global_is_a_name_error(name, monkeypatch):
    module, make = MAKERS[name]
    monkeypatch.delattr(module, "threading")
    with pytest.raises(NameError, match="name 'threading' is not defined"):
        make()


@pytest.mark.parametrize("name", MAKERS)
def test_the_threading_global_falls_back_to_builtins(name, monkeypatch):
    module, make = MAKERS[name]
    fake = FakeThreading(threading.Lock)
    monkeypatch.delattr(module, "threading")
    monkeypatch.setattr(builtins, "threading", fake, raising=False)
    make()
    assert fake.locks  # every lock of the object came from the builtins' `threading`


class ReplacingLock:
    """An injected lock whose __enter__ re-initialises its owner, dropping the owner's reference."""

    def __init__(self):
        self.inner = threading.Lock()
        self.reinit = None

    def __enter__(self):
        self.inner.acquire()
        reinit, self.reinit = self.reinit, None
        if reinit is not None:
            reinit()  # a fresh lock replaces this one
        return self

    def __exit__(self, *exc):
        self.inner.release()
        return False


REPLACING = {
    "stat_counters": (stat_counters, lambda: stat_counters.CounterAggregator(2),
                      lambda o: o.__init__(2), lambda o: o.update(0, 1.0)),
    "pool_paths": (pool_paths, lambda: pool_paths.FastBucketAllocator(),
                   lambda o: o.__init__(), lambda o: o.add_to_bucket(0, 64)),
}


@pytest.mark.parametrize("name", REPLACING)
def test_a_lock_replaced_inside_its_own_enter_stays_alive(name, monkeypatch):
    module, make, reinit, operate = REPLACING[name]
    fake = FakeThreading(ReplacingLock)
    monkeypatch.setattr(module, "threading", fake)
    owner = make()
    first = fake.locks.pop()
    first.reinit = lambda: reinit(owner)
    ref = weakref.ref(first)
    del first, fake.locks[:]
    operate(owner)           # entered on the first lock, which the owner no longer holds
    assert ref() is None     # left and released once the section ended
    operate(owner)           # the replacement lock works as usual


@pytest.mark.parametrize("kind", ["genuine", "injected"])
def test_compile_gate_sections_leave_the_lock_on_errors(kind, monkeypatch):
    """A section that fails inside (a ledger raising) leaves its lock free, error intact."""
    fake = None
    if kind == "injected":
        class CountingLock:
            def __init__(self):
                self.inner = threading.Lock()

            def __enter__(self):
                self.inner.acquire()

            def __exit__(self, *exc):
                self.inner.release()

            def locked(self):
                return self.inner.locked()

        fake = FakeThreading(CountingLock)
        monkeypatch.setattr(compile_gate, "threading", fake)
    gate = compile_gate.CompileGate()

    class Ledger:
        def get_metrics(self, func_id):
            raise KeyError(func_id)

    for _ in range(3):
        with pytest.raises(KeyError):
            gate.update("f", Ledger())
    lock = fake.locks[0].inner if fake else None
    assert lock is None or not lock.locked()
    assert gate.get_threshold("f") > 0
