"""The native call accounting: exact counts, total versus own time, recursion, generators, native
callees, threads, and the one-measurement-at-a-time rule."""

import threading
import time

import pytest

from velkora.monitoring import call_trace


def rows_by_name():
    out = {}
    for label, *figures in call_trace.snapshot():
        name = getattr(label, "co_qualname", None) or (label[1] if isinstance(label, tuple) else label)
        out[name] = figures
    return out


def measured(fn, *args):
    call_trace.start()
    try:
        fn(*args)
    finally:
        call_trace.stop()
    return rows_by_name()


def fib(n):
    return n if n < 2 else fib(n - 1) + fib(n - 2)


def gen(n):
    for i in range(n):
        yield i


def sleeper():
    time.sleep(0.02)


def outer():
    sleeper()
    fib(10)
    return sum(gen(7))


def test_counts_are_exact_and_recursion_counts_its_outermost_call_once():
    rows = measured(outer)
    calls, total, own, mean, std, lo, hi = rows["fib"]
    assert calls == 177                       # fib(10) makes 177 calls
    assert 0 < own <= total + 1e-9
    assert lo <= mean <= hi
    assert rows["gen"][0] == 1                # resumptions of a generator are not calls
    assert rows["outer"][0] == 1
    # outer's total covers its callees; its own time leaves them out (sleep is native: time.sleep)
    assert rows["outer"][1] >= rows["sleeper"][1] >= 0.02
    assert rows["outer"][2] < rows["outer"][1] - 0.015
    assert rows["sleep"][0] == 1 and rows["sleep"][2] >= 0.015


def test_threads_started_while_measuring_are_measured():
    def work():
        fib(8)

    def run():
        ts = [threading.Thread(target=work) for _ in range(2)]
        for t in ts:
            t.start()
        for t in ts:
            t.join()

    rows = measured(run)
    assert rows["fib"][0] == 2 * 67
    assert call_trace.threads() >= 3


def test_frames_open_at_stop_end_there_and_spreads_survive_large_values():
    call_trace.start()
    time.sleep(0.001)
    call_trace.stop()
    assert not call_trace.running()
    # A second measurement starts afresh.
    rows = measured(fib, 3)
    assert rows["fib"][0] == 5
    # The spread is fed relative to the first duration: never negative, never NaN.
    for figures in rows.values():
        assert figures[4] >= 0.0


def test_one_measurement_at_a_time_and_reading_needs_a_stop():
    call_trace.start()
    try:
        with pytest.raises(RuntimeError, match="already running"):
            call_trace.start()
        with pytest.raises(RuntimeError, match="stop"):
            call_trace.snapshot()
    finally:
        call_trace.stop()
    call_trace.stop()                         # stopping twice is harmless


def test_an_ignored_thread_is_left_out():
    def helper():
        call_trace.ignore_thread()
        fib(6)

    def run():
        t = threading.Thread(target=helper)
        t.start()
        t.join()
        fib(4)

    rows = measured(run)
    assert rows["fib"][0] == 9                # fib(4) only; fib(6) ran in the ignored thread
