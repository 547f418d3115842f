"""LockFreeStatistics: recording steps, snapshots, replaced counters and the older interface."""

import gc

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from velkora.memory.sync_cells import AtomicCounter, LockFreeStatistics

COUNTERS = [
    "total_allocations", "total_deallocations", "current_allocations", "bytes_allocated",
    "bytes_reserved", "peak_allocations", "peak_bytes_allocated", "bucketed_allocations",
    "fallback_allocations", "alignment_padding_bytes", "total_allocation_time_ns",
    "total_deallocation_time_ns",
]
KEYS = COUNTERS[:9] + ["bucketed_allocation_ratio", "alignment_padding_bytes", "average_allocation_time_ns",
                       "average_deallocation_time_ns", "allocation_mode"]
STEPS = ["total_allocations", "current_allocations", "bytes_allocated", "bucketed_allocations"]  # first steps


class Spy:
    """A counter with the same methods that logs each call as (attribute, method, args)."""

    def __init__(self, name, log):
        self.name, self.log, self.value = name, log, 0

    def load(self):
        self.log.append((self.name, "load", ()))
        return self.value

    def store(self, value):
        self.log.append((self.name, "store", (value,)))
        self.value = value

    def increment(self, *args):
        self.log.append((self.name, "increment", args))
        self.value += args[0] if args else 1

    def decrement(self, *args):
        self.log.append((self.name, "decrement", args))
        self.value -= args[0] if args else 1

    def compare_and_swap(self, expected, new_value):
        self.log.append((self.name, "compare_and_swap", (expected, new_value)))
        swapped = self.value == expected
        if swapped:
            self.value = new_value
        return swapped


def spied():
    s, log = LockFreeStatistics(), []
    for name in COUNTERS:
        setattr(s, name, Spy(name, log))
    return s, log


def test_documented_sequence():
    s = LockFreeStatistics(1, x=2)
    d = s.get_snapshot()
    assert list(d) == KEYS and d["allocation_mode"] == "lock-free C11 atomics"
    assert d["bucketed_allocation_ratio"] == "0.0%" and d["average_deallocation_time_ns"] == 0.0
    assert s.record_allocation(100) is None
    s.record_allocation(50, False, 8, 200)
    s.record_allocation(10, is_bucketed=None, padding=-5, time_ns=0)  # fallback; nothing to padding or time
    d = s.get_snapshot()
    assert [d[k] for k in KEYS[:9]] == [3, 0, 3, 160, 0, 3, 160, 1, 2]
    assert (d["alignment_padding_bytes"], d["average_allocation_time_ns"]) == (8, 200 / 3)
    assert d["bucketed_allocation_ratio"] == "33.3%"
    assert s.record_deallocation(60, 30) is None
    d = s.get_snapshot()
    assert [d[k] for k in KEYS[:4]] == [3, 1, 2, 100] and d["average_deallocation_time_ns"] == 30.0
    assert (d["peak_allocations"], d["peak_bytes_allocated"]) == (3, 160)
    assert s._update_peaks(5, 10) is None
    s._update_peaks(current_allocs=3, current_bytes=200.7)
    assert (s.peak_allocations.load(), s.peak_bytes_allocated.load()) == (5, 200)
    s.reset()
    d = s.get_snapshot()
    assert all(d[k] == 0 for k in KEYS[:9]) and d["average_allocation_time_ns"] == 0.0
    s.bytes_reserved = AtomicCounter(4096)
    assert s.get_snapshot()["bytes_reserved"] == 4096


def test_steps_call_the_counters_in_order():
    class Falsy:
        def __bool__(self):
            raise RuntimeError("no truth")

    s, log = spied()
    for call in (lambda: s.record_allocation(1, Falsy()), lambda: s.py_record_allocation(1, Falsy())):
        with pytest.raises(RuntimeError):
            call()
    assert log == []  # the truth test comes before the first counter call
    s.record_allocation(100, False, 8, 200)
    s.record_deallocation(40, 7)
    s.reset()
    assert log == [
        ("total_allocations", "increment", ()), ("current_allocations", "increment", ()),
        ("bytes_allocated", "increment", (100,)), ("fallback_allocations", "increment", ()),
        ("alignment_padding_bytes", "increment", (8,)), ("total_allocation_time_ns", "increment", (200,)),
        ("current_allocations", "load", ()), ("bytes_allocated", "load", ()),
        ("peak_allocations", "load", ()), ("peak_allocations", "compare_and_swap", (0, 1)),
        ("peak_bytes_allocated", "load", ()), ("peak_bytes_allocated", "compare_and_swap", (0, 100)),
        ("total_deallocations", "increment", ()), ("current_allocations", "decrement", ()),
        ("bytes_allocated", "decrement", (40,)), ("total_deallocation_time_ns", "increment", (7,)),
    ] + [(name, "store", (0,)) for name in COUNTERS]


def test_peak_loop_reloads_after_a_lost_exchange():
    class Racing(Spy):
        def compare_and_swap(self, expected, new_value):
            if self.value < 2:  # another thread raises the peak first, twice
                self.value += 1
            return super().compare_and_swap(expected, new_value)

    s, log = spied()
    s.peak_allocations = Racing("peak_allocations", log)
    s._update_peaks(5, 0)
    assert s.peak_allocations.value == 5
    assert [m for n, m, _ in log if n == "peak_allocations"] == ["load", "compare_and_swap"] * 3


@pytest.mark.parametrize(
    "missing, call, done",
    [
        ("total_allocations", lambda s: s.record_allocation(10), []),
        ("fallback_allocations", lambda s: s.record_allocation(10, False), STEPS[:3]),
        ("peak_allocations", lambda s: s.record_allocation(10), STEPS),
        ("bytes_allocated", lambda s: s.record_deallocation(10), ["total_deallocations", "current_allocations"]),
    ],
)
@pytest.mark.parametrize("delete", [True, False])
def test_missing_method_fails_at_its_step_and_keeps_earlier_ones(missing, call, done, delete):
    s = LockFreeStatistics()
    if delete:
        delattr(s, missing)
        assert getattr(s, missing) is None
    else:
        setattr(s, missing, object())
    with pytest.raises(AttributeError):
        call(s)
    assert {n for n in COUNTERS if n != missing and getattr(s, n).load() != 0} == set(done)


@pytest.mark.parametrize(
    "kwargs, done",
    [({"size": 2**63}, 2), ({"size": 1, "padding": 2**63}, 4), ({"size": 1, "time_ns": 2**64}, 4)],
)
@pytest.mark.parametrize("subclass", [False, True])
def test_out_of_range_fails_at_the_counter_call(kwargs, done, subclass):
    s = LockFreeStatistics()
    if subclass:  # the method call instead of the native update, same outcome
        for name in COUNTERS:
            setattr(s, name, type("Sub", (AtomicCounter,), {})())
    with pytest.raises(OverflowError, match="out of range"):
        s.record_allocation(**kwargs)
    changed = [n for n in COUNTERS if getattr(s, n).load() != 0]
    assert changed == STEPS[:done]


@pytest.mark.parametrize(
    "call",
    [lambda s: s.py_record_allocation(2**63, True), lambda s: s.py_record_allocation(1, True, padding=-(2**63) - 1),
     lambda s: s.py_record_allocation(1, True, time_ns=2**64), lambda s: s.py_record_deallocation(1, time_ns=2**63),
     lambda s: s.py_record_allocation(10)],
)
def test_older_interface_checks_arguments_before_any_change(call):
    s, log = spied()
    with pytest.raises((OverflowError, TypeError)):
        call(s)
    assert log == []
    s.py_record_allocation(10, True, 4, 9)
    s.py_record_deallocation(2.7, time_ns=3)  # only the three totals change
    assert {n for n, _, _ in log} == set(COUNTERS[:4]) and s.bytes_allocated.value == 8


def reference_snapshot(values):
    v = dict(zip(COUNTERS, values))
    total, deallocs = v["total_allocations"], v["total_deallocations"]
    ratio = v["bucketed_allocations"] / total * 100.0 if total > 0 else 0.0
    return {**{k: v[k] for k in KEYS[:9]}, "bucketed_allocation_ratio": format(ratio, ".1f") + "%",
            "alignment_padding_bytes": v["alignment_padding_bytes"],
            "average_allocation_time_ns": v["total_allocation_time_ns"] / total if total > 0 else 0.0,
            "average_deallocation_time_ns": v["total_deallocation_time_ns"] / deallocs if deallocs > 0 else 0.0,
            "allocation_mode": "lock-free C11 atomics"}


values = st.one_of(st.integers(-(2**63), 2**63 - 1), st.integers(-(2**54), 2**54), st.integers(0, 1000))


@settings(max_examples=200, deadline=None)
@given(st.lists(values, min_size=12, max_size=12))
def test_snapshot_arithmetic_matches_python(vals):
    s = LockFreeStatistics()
    for name, v in zip(COUNTERS, vals):
        getattr(s, name).store(v)
    assert s.get_snapshot() == reference_snapshot(vals)


@pytest.mark.parametrize("bucketed, total, text", [(23, 80, "28.7%"), (49, 80, "61.3%"), (2, 3, "66.7%"), (5, 0, "0.0%")])
@pytest.mark.parametrize("replaced", [False, True])
def test_ratio_divides_before_multiplying(bucketed, total, text, replaced):
    s = spied()[0] if replaced else LockFreeStatistics()
    for name, v in (("bucketed_allocations", bucketed), ("total_allocations", total)):
        getattr(s, name).store(v)
    assert s.get_snapshot()["bucketed_allocation_ratio"] == text


def test_snapshot_of_replaced_counters_with_other_numbers():
    s, _ = spied()
    vals = [3.0, 2, 0, 2**70, 0, 0, 0, 2**69 + 1, 0, 0, 3**50, 5.5]
    for name, v in zip(COUNTERS, vals):
        getattr(s, name).value = v
    assert s.get_snapshot() == reference_snapshot(vals)


ops = st.lists(st.one_of(
    st.tuples(st.just("record_allocation"), st.integers(-(2**64), 2**64), st.booleans(), st.integers(-5, 2**63),
              st.integers(-5, 50)),
    st.tuples(st.just("record_deallocation"), st.integers(-(2**40), 2**40), st.integers(-5, 50)),
    st.tuples(st.just("py_record_allocation"), st.integers(-(2**63), 2**63 + 5), st.booleans()),
    st.tuples(st.just("_update_peaks"), st.integers(-100, 100), st.integers(-(2**65), 2**65)),
    st.tuples(st.just("reset")),
), max_size=25)


@settings(max_examples=200, deadline=None)
@given(ops)
def test_native_updates_equal_method_calls(ops):
    class Sub(AtomicCounter):
        pass

    class Stats(LockFreeStatistics):
        pass

    native, looked_up = LockFreeStatistics(), Stats()
    for name in COUNTERS:
        setattr(looked_up, name, Sub())
    for name, *args in ops:
        outcomes = []
        for s in (native, looked_up):
            try:
                outcomes.append(getattr(s, name)(*args))
            except OverflowError:
                outcomes.append("overflow")
        assert outcomes[0] == outcomes[1] and native.get_snapshot() == looked_up.get_snapshot()


def test_subclass_update_peaks_override_is_used():
    calls = []

    class Stats(LockFreeStatistics):
        def _update_peaks(self, current_allocs, current_bytes):
            calls.append((current_allocs, current_bytes))

    s = Stats()
    s.record_allocation(30)
    s.record_allocation(12)
    assert calls == [(1, 30), (2, 42)] and s.peak_allocations.load() == 0


def test_cycle_through_a_counter_attribute_is_collected():
    freed = []

    class Holder:
        def __del__(self):
            freed.append(True)

    s, h = LockFreeStatistics(), Holder()
    s.bytes_reserved, h.stats = h, s
    del s, h
    gc.collect()
    assert freed == [True]
