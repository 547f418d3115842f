"""Hostile-input fuzzing of every public callable of the native modules.

Each callable is called with positional and keyword arguments drawn from a pool of hostile values. A call
must either succeed or raise one of the exception types allowed for it: never crash, never SystemError
(which is what a native function returning a result with an error set, or no result without one, turns
into). Where every argument error is raised before any state is touched, the object must be unchanged
after a call that failed converting its arguments. Valid requests too big to meet are made in a child with
a capped address space, and must end in MemoryError.
"""

from __future__ import annotations

import gc
import importlib
import inspect
import math
import os
import re
import sys

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import velkora

from fuzz_registry import (COVERED, EXTRA, FACTORIES, GUARDS, PARAMS, SKIP_CALL, SNAPSHOT_EXEMPT, SNAPSHOTS,
                           TALLY, HostileError, allowed)

# VELKORA_FUZZ_EXAMPLES raises the count for a long hunting run.
EXAMPLES = int(os.environ.get("VELKORA_FUZZ_EXAMPLES", 20 if os.environ.get("VELKORA_SANITIZED") else 60))


class StrSub(str):
    pass


ARMED = [False]  # hostile comparisons only fire inside the call under test, not in hypothesis itself


class EvilStr(str):
    """A str subclass whose comparisons fail: entries compared by value must propagate the error."""

    def __eq__(self, other):
        if ARMED[0]:
            raise HostileError("hostile eq")
        return str.__eq__(self, other)

    def __hash__(self):
        if ARMED[0]:
            raise HostileError("hostile hash")
        return str.__hash__(self)


class ListSub(list):
    pass


class TupleSub(tuple):
    pass


class DictSub(dict):
    pass


class IntSub(int):
    pass


class FloatSub(float):
    pass


def _raiser(*_a, **_k):
    raise HostileError("hostile dunder")


class RaisesInt:
    __int__ = _raiser
    __index__ = _raiser


class RaisesFloat:
    __float__ = _raiser


class RaisesBool:
    __bool__ = _raiser


class RaisesEq:
    def __eq__(self, other):
        if ARMED[0]:
            raise HostileError("hostile eq")
        return self is other

    def __hash__(self):
        if ARMED[0]:
            raise HostileError("hostile hash")
        return id(self) >> 4


class RaisesLen:
    __len__ = _raiser

    def __iter__(self):
        raise HostileError("hostile iter")


class WrongInt:
    def __int__(self):
        return "not an int"

    def __index__(self):
        return 1.5


class WrongFloat:
    def __float__(self):
        return "not a float"


class WrongBool:
    def __bool__(self):
        return 2


class BigInt:
    def __int__(self):
        return 2**100


class Mutator:
    """A number that empties the containers it was read from, mid-read."""

    victims: list = []

    def __float__(self):
        for v in Mutator.victims:
            v.clear()
        return 1.0

    def __int__(self):
        return int(self.__float__())

    __index__ = __int__

    def __bool__(self):
        return bool(self.__float__())


def _mutating_list():
    lst = [(Mutator(), Mutator()) for _ in range(8)] + [[Mutator(), 2.0], Mutator(), Mutator()]
    Mutator.victims.append(lst)
    return lst


_PATTERN_KEYS = ("parallelization_potential", "cpu_intensity", "memory_intensity")


def _mutating_dicts():
    entries = [{k: Mutator() for k in _PATTERN_KEYS} for _ in range(6)]
    Mutator.victims.extend(entries)
    outer = list(entries)
    Mutator.victims.append(outer)
    return outer


class HostileLedger:
    """A call ledger whose get_metrics misbehaves in one of several ways."""

    def __init__(self, mode):
        self.mode = mode

    def get_metrics(self, func_id):
        if self.mode == "raise":
            raise HostileError("hostile ledger")
        if self.mode == "none":
            return None
        return self.mode

    def __repr__(self):
        return f"HostileLedger({self.mode!r})"


class Record:
    def __init__(self, call_count, compile_count, avg_speedup):
        self.call_count = call_count
        self.compile_count = compile_count
        self.avg_speedup = avg_speedup


INTS = [0, 1, -1, 7, 2**31 - 1, 2**31, -(2**31), -(2**31) - 1, 2**32 - 1, 2**32, 2**63 - 1, 2**63,
        -(2**63), -(2**63) - 1, 2**64 - 1, 2**64, 2**100, -(2**100), True, False, IntSub(7)]
FLOATS = [0.0, -0.0, 0.5, 1.5, -1.5, math.nan, math.inf, -math.inf, 1e308, -1e308, 5e-324, 1e19, -1e19,
          FloatSub(2.5)]
STRS = ["", "abc", "8.0", "numpy", "torch", "matmul", "mixed", "out of memory", "\ud800", "é" * 40,
        "import numpy as np\nfor i in range(10):\n    x = np.dot(a, b)\n" * 3, StrSub("x"), EvilStr("x")]
OTHERS = [None, b"bytes", b"\x00" * 16, bytearray(b"ba"), [], [1, 2], [(1.0, 2.0)] * 3,
          [(i, float(i)) for i in range(12)], ListSub([1]), (), (1, 2), (3, 4, 5), TupleSub((1, 2)), {},
          {"a": 1}, DictSub(a=1), {k: 0.5 for k in _PATTERN_KEYS}, [{k: 0.5 for k in _PATTERN_KEYS}] * 4,
          [{"cpu_intensity": 1.0}], ["numpy", "mixed", None, StrSub("numpy"), EvilStr("numpy")], object(),
          RaisesInt(), RaisesFloat(), RaisesBool(), RaisesEq(), RaisesLen(), WrongInt(), WrongFloat(),
          WrongBool(), BigInt(), Mutator(), HostileLedger("raise"), HostileLedger("none"),
          HostileLedger(Record(-1, 1, 2.0)), HostileLedger(Record(10**6, 2**32, 2.0)),
          HostileLedger(Record(10**6, 3, "fast")), HostileLedger(Record(10**6, 3, math.nan)),
          HostileLedger(Record(RaisesInt(), 1, 1.0)), HostileLedger(object())]
HOSTILE = INTS + FLOATS + STRS + OTHERS

_scalars = st.sampled_from(INTS + FLOATS + [None, "x", RaisesInt(), Mutator()])
hostile_values = st.one_of(
    st.sampled_from(HOSTILE),
    st.builds(_mutating_list),
    st.builds(_mutating_dicts),
    st.lists(_scalars, max_size=6),
    st.lists(st.tuples(_scalars, _scalars), max_size=6),
    st.lists(_scalars, max_size=6).map(tuple),
)


def _public_module_names(mod):
    for name, obj in vars(mod).items():
        if name.startswith("_") or inspect.ismodule(obj):
            continue
        if getattr(obj, "__module__", None) != mod.__name__:
            continue  # re-exported interpreter names (typing, logging objects)
        if callable(obj):
            yield name, obj


def _is_attribute(member):
    return inspect.isgetsetdescriptor(member) or inspect.ismemberdescriptor(member) or isinstance(
        member, property)


def discover():
    """Every public callable: module functions, constructors, methods and attribute setters."""
    found = {}
    for modname in velkora.NATIVE_MODULES:
        try:
            mod = importlib.import_module(modname)
        except ImportError:
            MISSING.append(modname)
            continue
        for name, obj in _public_module_names(mod):
            qual = f"{modname}.{name}"
            found[qual] = ("func", modname, obj, None)
            if isinstance(obj, type):
                for attr, member in vars(obj).items():
                    if attr.startswith("_"):
                        continue
                    if _is_attribute(member):
                        found[f"{qual}.{attr}"] = ("attr", modname, obj, attr)
                    elif callable(member) or isinstance(member, (staticmethod, classmethod)):
                        found[f"{qual}.{attr}"] = ("method", modname, obj, attr)
    for qual in EXTRA:
        cls_qual, attr = qual.rsplit(".", 1)
        modname, clsname = cls_qual.rsplit(".", 1)
        if modname in MISSING:
            continue
        found[qual] = ("method", modname, getattr(importlib.import_module(modname), clsname), attr)
    return found


MISSING: list = []  # modules not built in this checkout
CALLABLES = discover()
FUZZED = sorted(q for q in CALLABLES if q not in SKIP_CALL)


def test_every_public_callable_is_covered():
    missing = sorted(set(CALLABLES) - set(COVERED))
    assert not missing, f"public callables missing from the fuzz registry: {missing}"
    if os.environ.get("CI") or os.environ.get("VELKORA_SANITIZED"):
        assert not MISSING, f"native modules not built: {MISSING}"
    stale = sorted(q for q in set(COVERED) - set(CALLABLES) if not any(q.startswith(m + ".") for m in MISSING))
    assert not stale, f"fuzz registry names callables that no longer exist: {stale}"


def test_no_argument_callables_refuse_arguments():
    from velkora.native import host_probe

    for name in ("detect_physical_cores", "detect_numa_nodes", "detect_gpu_backends", "detect_python_version",
                 "detect_capabilities"):
        fn = getattr(host_probe, name)
        for args, kwargs in (((1,), {}), ((), {"x": 1}), ((None, None), {})):
            with pytest.raises(TypeError):
                fn(*args, **kwargs)


def test_singleton_functions():
    from velkora.jit import compile_gate

    gate = compile_gate.get_compile_gate()
    for args, kwargs in (((1,), {}), ((), {"x": 1})):
        with pytest.raises(TypeError):
            compile_gate.reset_compile_gate(*args, **kwargs)
        with pytest.raises(TypeError):
            compile_gate.get_compile_gate(*args, **kwargs)
    assert compile_gate.get_compile_gate() is gate


def _param_names(qual, target):
    try:
        sig = inspect.signature(target)
    except (TypeError, ValueError):
        return PARAMS.get(qual, [])
    names = [p.name for p in sig.parameters.values()
             if p.kind in (p.POSITIONAL_OR_KEYWORD, p.KEYWORD_ONLY) and p.name not in ("self", "cls")]
    return names or PARAMS.get(qual, [])


def _target(kind, cls, attr):
    if kind == "func":
        return cls
    return getattr(cls, attr)


def _call(qual, kind, cls, attr, positional, keywords):
    if kind == "func":
        return cls(*positional, **keywords)
    cls_qual = f"{cls.__module__}.{cls.__name__}"
    instance = FACTORIES[cls_qual]()
    snapshot = SNAPSHOTS.get(cls_qual)
    before = snapshot(instance) if snapshot else None
    try:
        if kind == "attr":
            if positional and positional[0] is Ellipsis:
                delattr(instance, attr)
            else:
                setattr(instance, attr, positional[0] if positional else None)
        else:
            getattr(instance, attr)(*positional, **keywords)
    except BaseException as exc:
        exempt = SNAPSHOT_EXEMPT.get(qual, ())
        if snapshot and isinstance(exc, (TypeError, OverflowError, ValueError, HostileError)) and not isinstance(exc, exempt):
            ARMED[0] = False
            Mutator.victims.clear()
            after = snapshot(instance)
            assert _same(after, before), f"{qual} changed state before raising {exc!r}: {before!r} -> {after!r}"
        raise


def _same(a, b):
    """Equality that treats NaN as equal to itself (snapshots may hold NaN fields)."""
    if isinstance(a, float) and isinstance(b, float):
        return a == b or (math.isnan(a) and math.isnan(b))
    if isinstance(a, (tuple, list)) and isinstance(b, (tuple, list)):
        return type(a) is type(b) and len(a) == len(b) and all(_same(x, y) for x, y in zip(a, b))
    if isinstance(a, dict) and isinstance(b, dict):
        return list(a) == list(b) and all(_same(a[k], b[k]) for k in a)
    return a == b


@pytest.mark.parametrize("qual", FUZZED)
@settings(max_examples=EXAMPLES, deadline=None, suppress_health_check=list(HealthCheck), database=None)
@given(data=st.data())
def test_hostile_calls(qual, data):
    kind, modname, cls, attr = CALLABLES[qual]
    if kind == "attr":
        positional = [data.draw(st.one_of(hostile_values, st.just(Ellipsis)), label="value")]
        keywords = {}
    else:
        names = _param_names(qual, _target(kind, cls, attr))
        npos = data.draw(st.integers(0, len(names) + 1), label="positional count")
        positional = [data.draw(hostile_values) for _ in range(npos)]
        keywords = {}
        for name in names[npos:]:
            if data.draw(st.booleans()):
                keywords[name] = data.draw(hostile_values)
        if data.draw(st.integers(0, 9)) == 0:
            keywords[data.draw(st.sampled_from(["bogus", *(names or ["x"])]))] = 1
    guard = GUARDS.get(qual)
    if guard and guard(positional, keywords):
        return
    permitted = allowed(qual, modname)
    TALLY["calls"] += 1
    TALLY["callables"].add(qual)
    ARMED[0] = True
    try:
        _call(qual, kind, cls, attr, positional, keywords)
    except SystemError as exc:  # pragma: no cover - the failure being hunted
        pytest.fail(f"{qual} raised SystemError: {exc!r}")
    except permitted:
        pass
    except BaseException as exc:
        pytest.fail(f"{qual}{tuple(positional)!r} {keywords!r} raised {exc!r}, allowed {permitted}")
    finally:
        ARMED[0] = False
        Mutator.victims.clear()
    assert sys.exc_info() == (None, None, None)


class Sentinel:
    """Converts to every kind of parameter, so calls get past conversion and into the work."""

    def __int__(self):
        return 8

    __index__ = __int__

    def __float__(self):
        return 8.0

    def get_metrics(self, func_id):
        return None


def _sentinels():
    return [Sentinel(), 12345.5, 2**40 + 7, "sentinel text", [(1.0, 2.0), (2.0, 1.0)] * 3, (3, 4), object()]


@pytest.mark.parametrize("qual", [q for q in FUZZED if CALLABLES[q][0] != "attr"])
def test_arguments_are_not_leaked(qual):
    """Every reference a call takes to an argument is given back, on success and on every error path."""
    kind, modname, cls, attr = CALLABLES[qual]
    names = _param_names(qual, _target(kind, cls, attr))
    guard = GUARDS.get(qual)
    # One collection for all the sentinels: with a large heap (the compiler loaded by other tests) each
    # collection costs a good part of a second.
    values = _sentinels()
    before = [sys.getrefcount(v) for v in values]
    for value in values:
        for n in range(len(names) + 2):
            positional = [value] * n
            if not (guard and guard(positional, {})):
                for _ in range(3):
                    try:
                        _call(qual, kind, cls, attr, positional, {})
                    except BaseException:  # noqa: BLE001 - only the reference count matters here
                        pass
            del positional
    gc.collect()
    for i in range(len(values)):  # (zip and enumerate would hold each item in their reused result tuple)
        value = values[i]
        assert sys.getrefcount(value) == before[i], f"{qual} leaked references to {value!r}"


def _allocator_aborts():
    """AddressSanitizer's allocator aborts on a request it cannot meet unless told to return NULL."""
    if not (os.environ.get("VELKORA_SANITIZED") or "asan" in os.environ.get("LD_PRELOAD", "")):
        return False
    pairs = re.split(r"[:,\s]+", os.environ.get("ASAN_OPTIONS", ""))
    options = dict(p.split("=", 1) for p in pairs if "=" in p)
    return options.get("allocator_may_return_null", "0").lower() not in ("1", "true")


# The child caps its address space 1 GiB above what it already maps, so a request for tens of
# gigabytes fails on any machine and however the storage is obtained (the fuzzer's guards keep such
# valid-but-huge sizes out of the random calls, where they might succeed).
_CAPPED = """
import resource
with open("/proc/self/statm") as f:
    mapped = int(f.read().split()[0]) * resource.getpagesize()
resource.setrlimit(resource.RLIMIT_AS, (mapped + (1 << 30), resource.getrlimit(resource.RLIMIT_AS)[1]))
from velkora.memory.pool_paths import FastBucketAllocator
from velkora.monitoring.stat_counters import CounterAggregator, create_aggregator
"""

# call -> (set-up, the request, what must still work after its MemoryError)
HUGE_REQUESTS = {
    "CounterAggregator": ("", "CounterAggregator(2**31 - 1)", ""),
    "create_aggregator": ("", "create_aggregator(num_counters=2**31 - 1)", ""),
    "CounterAggregator.__init__": (
        "obj = CounterAggregator(4); obj.update(1, 2.0)", "obj.__init__(2**31 - 1)",
        "assert all(s == obj.get_stats(cid) for cid, s in obj.get_all_stats())"),
    "FastBucketAllocator": ("", "FastBucketAllocator(1, 0, 2**31 - 1)", ""),  # 2**31 one-byte steps
    "FastBucketAllocator.__init__": (
        "obj = FastBucketAllocator()", "obj.__init__(1, 0, 2**31 - 1)",
        "obj.add_to_bucket(0, 64); obj.find_best_fit_bucket(8, 8); obj.remove_from_bucket(64)"),
}


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc/self/statm")
@pytest.mark.skipif(_allocator_aborts(), reason="the sanitizer's allocator aborts instead of failing "
                                                "(set allocator_may_return_null=1 in ASAN_OPTIONS)")
@pytest.mark.parametrize("call", list(HUGE_REQUESTS))
def test_storage_that_cannot_be_obtained_is_a_memory_error(run_python, call):
    setup, request, after = HUGE_REQUESTS[call]
    proc = run_python(f"{_CAPPED}{setup}\n"
                      f"try:\n    {request}\nexcept MemoryError:\n    print('MemoryError')\n{after}\n")
    assert proc.stdout.strip() == "MemoryError"
