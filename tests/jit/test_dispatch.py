"""The native dispatcher and the ledger over its counters (no compiler needed)."""

import functools
import gc
import inspect
import pickle
import sys
import weakref

import pytest

from velkora.jit.compile_gate import CompileGate, FunctionMetrics, PolicyConfig
from velkora.jit.dispatch import Dispatcher, Ledger


def add(a, b=2):
    """Adds."""
    return a + b


def wrapped(f, func_id="t.add"):
    d = Dispatcher(f, func_id)
    functools.update_wrapper(d, f)
    return d


def test_calls_through_counting_every_call_and_keeps_the_function_face():
    d = wrapped(add)
    assert [d(1), d(1, b=5), d(a=3)] == [3, 6, 5]
    assert d.calls == 3 and d.timed_calls >= 1  # the first call is always timed
    assert (d.__name__, d.__doc__, d.__wrapped__) == ("add", "Adds.", add)
    assert str(inspect.signature(d)) == "(a, b=2)"
    with pytest.raises(TypeError):
        d(1, 2, 3)
    assert d.calls == 4  # a failing call counts too


def test_armed_callback_fires_once_at_the_count_with_the_call_arguments():
    d, hits = wrapped(add), []
    d.on_hot = lambda disp, args, kwargs: hits.append((disp, args, kwargs))
    d.arm(3)
    for i in range(6):
        d(i, b=i)
    assert hits == [(d, (2,), {"b": 2})]
    assert d.next_check == -1  # disarmed until armed again


def test_time_trigger_and_a_raising_callback_does_not_break_the_call(monkeypatch):
    d = wrapped(add)
    unraisable = []
    monkeypatch.setattr(sys, "unraisablehook", unraisable.append)
    d.on_hot = lambda *a: 1 / 0
    d(1)  # one timed call puts spent_ns above 0
    d.arm(-1, 0.5)
    assert d(1) == 3
    assert len(unraisable) == 1 and unraisable[0].exc_type is ZeroDivisionError


def test_callback_may_install_the_implementation_the_same_call_uses():
    d = wrapped(add)
    d.on_hot = lambda disp, args, kwargs: setattr(disp, "impl", lambda a, b=2: -a)
    d.arm(2)
    assert [d(5), d(5), d(5)] == [7, -5, -5]


@pytest.mark.parametrize("message, handled", [("No matching definition for x", True), ("other", False)])
def test_type_error_of_a_replaced_impl_goes_to_on_error(message, handled):
    def impl(*a, **k):
        raise TypeError(message)

    d = wrapped(add)
    d.impl = impl
    d.on_error = lambda disp, exc, args, kwargs: (add(*args) if "No matching" in str(exc) else (_ for _ in ()).throw(exc))
    if handled:
        assert d(1) == 3
    else:
        with pytest.raises(TypeError, match="other"):
            d(1)


def test_bad_arguments_are_refused():
    with pytest.raises(TypeError, match="callable"):
        Dispatcher(5)
    with pytest.raises(TypeError):
        Dispatcher(add, 5)
    d = wrapped(add)
    with pytest.raises(TypeError, match="callable"):
        d.impl = 3
    with pytest.raises(ValueError, match="power of two"):
        d.set_sampling(3)
    assert d.impl is add


def test_binds_as_a_method_and_pickles_by_name():
    class C:
        m = Dispatcher(lambda self, x: (self, x))

    c = C()
    assert c.m(1) == (c, 1)
    d = wrapped(add)
    d.__module__, d.__qualname__ = __name__, "PICKLED"
    globals()["PICKLED"] = d
    try:
        assert pickle.loads(pickle.dumps(d)) is d
    finally:
        del globals()["PICKLED"]


def test_releases_what_it_holds():
    def f(x):
        return x

    d = Dispatcher(f, "t.f")
    d.on_hot = lambda *a: d  # a cycle through the callback
    ref = weakref.ref(d)
    before = sys.getrefcount(f)
    del d
    gc.collect()
    assert ref() is None and sys.getrefcount(f) == before - 2  # func and impl


def test_ledger_feeds_a_gate_and_averages_speedups():
    ledger, d = Ledger(), wrapped(add, "t.g")
    ledger.register(d)
    gate = CompileGate(PolicyConfig(initial_threshold=10, min_threshold=5))
    for _ in range(9):
        d(1)
    assert gate.should_compile("t.g", ledger) is False
    d(1)
    assert gate.should_compile("t.g", ledger) is True
    ledger.record_compilation("t.g", 3.0, timestamp=5.0)
    ledger.record_compilation("t.g", 1.0, timestamp=6.0)
    ledger.record_call("t.g", 2.0, calls=5)
    m = ledger.get_metrics("t.g")
    assert type(m) is FunctionMetrics
    assert (m.call_count, m.compile_count, m.avg_speedup, m.last_compiled) == (15, 2, 2.0, 6.0)
    assert m.total_execution_time_ms >= 2.0
    assert ledger.get_metrics("unknown").call_count == 0
    with pytest.raises(KeyError):
        ledger.record_compilation("unknown", 2.0)
    with pytest.raises(TypeError):
        ledger.register(add)
    assert ledger.dispatchers() == [d]
