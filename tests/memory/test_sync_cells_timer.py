"""PerformanceTimer: the clock it reads, the unit scaling and subclass overrides."""

import time

import pytest

from velkora.memory.sync_cells import PerformanceTimer


@pytest.fixture
def clock(monkeypatch):
    def install(*values):
        def fake():
            v = values.pop(0)
            if isinstance(v, BaseException):
                raise v
            return v

        values = list(values)
        monkeypatch.setattr(time, "perf_counter_ns", fake)  # looked up at each call

    return install


def test_real_clock():
    t = PerformanceTimer(x=1)
    lo, raw, hi = time.perf_counter_ns(), t.elapsed_ns(), time.perf_counter_ns()
    assert type(raw) is int and lo <= raw <= hi  # before start(): the raw counter
    t.start()
    time.sleep(0.01)
    ms, us = t.elapsed_ms(), t.elapsed_us()
    assert type(ms) is float and type(us) is float and 10.0 <= ms and 1000 * ms <= us < 1000 * ms + 50_000


@pytest.mark.parametrize("method, factor, divisor", [("elapsed_us", 0.001, 1000.0), ("elapsed_ms", 1e-6, 1e6)])
def test_scaling_multiplies_by_the_reciprocal(clock, method, factor, divisor):
    n = next(n for n in range(1, 100_000) if n * factor != n / divisor)  # where the two differ
    clock(1000, 1000 + n)
    t = PerformanceTimer()
    t.start()
    assert getattr(t, method)() == n * factor


def test_differences_beyond_64_bits_stay_exact(clock):
    clock(-(2**63), 2**63 - 1, 2**63 - 1)
    t = PerformanceTimer()
    t.start()
    assert t.elapsed_ns() == 2**64 - 1 and t.elapsed_us() == float(2**64 - 1) * 0.001


@pytest.mark.parametrize("bad, exc", [(RuntimeError("clock"), RuntimeError), (2**63, OverflowError), (1.5, TypeError)])
def test_failing_clock_propagates_and_keeps_the_start(clock, bad, exc):
    clock(100, bad, 250)
    t = PerformanceTimer()
    t.start()
    with pytest.raises(exc):
        t.start()
    assert t.elapsed_ns() == 150


@pytest.mark.parametrize("result", [2500, True, 2.5, 2**80])
def test_subclass_elapsed_ns_is_used(result):
    class Fixed(PerformanceTimer):
        def elapsed_ns(self):
            return result

    us, ms = Fixed().elapsed_us(), Fixed().elapsed_ms()
    assert type(us) is float and us == float(result) * 0.001 and ms == float(result) * 1e-6


def test_other_result_types_go_through_true_division():
    divisors = []

    class Odd:
        def __truediv__(self, other):
            divisors.append(other)
            return "divided"

    class Custom(PerformanceTimer):
        def elapsed_ns(self):
            return Odd()

    assert Custom().elapsed_us() == "divided" and Custom().elapsed_ms() == "divided"
    assert divisors == [1000.0, 1e6] and all(type(d) is float for d in divisors)
