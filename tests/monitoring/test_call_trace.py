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


def spin(seconds):
    end = time.perf_counter() + seconds
    n = 0
    while time.perf_counter() < end:
        n += 1
    return n


def sampled_outer():
    spin(0.15)
    fib(12)
    t = threading.Thread(target=spin, args=(0.1,))
    t.start()
    t.join()


sampling = pytest.mark.skipif(not hasattr(__import__("sys"), "monitoring"),
                              reason="sampled times need sys.monitoring; the profile function times every call")


@pytest.mark.parametrize("sampled", [False, pytest.param(True, marks=sampling)])
def test_another_thread_entering_the_code_last_counted_is_told_apart(sampled):
    def helper(ignore):
        if ignore:
            call_trace.ignore_thread()
        fib(6)

    call_trace.start(sampled=sampled)
    try:
        fib(4)
        for ignore in (True, False):
            t = threading.Thread(target=helper, args=(ignore,))
            t.start()
            t.join()
        fib(4)
    finally:
        call_trace.stop()
    assert rows_by_name()["fib"][0] == 9 + 25 + 9   # the ignored thread's fib(6) left out
    assert call_trace.threads() >= 2


@sampling
def test_sampled_times_count_calls_exactly_and_find_where_time_goes():
    call_trace.start(sampled=True, interval=0.001)
    try:
        sampled_outer()
    finally:
        call_trace.stop()
    assert call_trace.timing() == "sampled" and call_trace.samples() > 10
    rows = rows_by_name()
    assert rows["fib"][0] == 465 and rows["spin"][0] == 2 and rows["sampled_outer"][0] == 1
    calls, total, own, mean, std, lo, hi = rows["spin"]
    # Both threads' spinning is found (0.25 s in all), and the caller's total covers its callees.
    assert 0.15 < own <= total < 0.5
    assert rows["sampled_outer"][1] >= 0.12 and rows["sampled_outer"][2] < 0.05
    assert std == lo == hi == 0.0 and mean == pytest.approx(total / calls)
    assert call_trace.threads() >= 2


@sampling
@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")
def test_a_fork_while_sampling_leaves_the_child_able_to_stop():
    import os

    call_trace.start(sampled=True)
    try:
        pid = os.fork()
        if pid == 0:                     # the child has no sampler thread: stop must not wait for one
            call_trace.stop()
            os._exit(0 if not call_trace.running() else 1)
        _, status = os.waitpid(pid, 0)
    finally:
        call_trace.stop()
    assert os.waitstatus_to_exitcode(status) == 0


@pytest.mark.parametrize("interval", [0.0, -1.0, 5.0, float("nan")])
def test_a_sampling_interval_out_of_range_is_refused(interval):
    with pytest.raises(ValueError, match="interval"):
        call_trace.start(sampled=True, interval=interval)
    assert not call_trace.running()


def test_without_sys_monitoring_a_sampled_request_times_every_call():
    call_trace.start(sampled=True)
    call_trace.stop()
    sys = __import__("sys")
    assert call_trace.timing() == ("sampled" if hasattr(sys, "monitoring") else "exact")


@sampling
def test_code_left_uncounted_is_asked_about_once_and_still_sampled():
    asked = []

    def counted(code):
        asked.append(code.co_name)
        if code.co_name == "boom":
            raise RuntimeError("a failing question counts the code")
        return code.co_name != "spin"

    def boom():
        return 1

    def run():
        for _ in range(3):
            spin(0.04)
            boom()
        fib(5)

    call_trace.start(sampled=True, counted=counted)
    try:
        run()
    finally:
        call_trace.stop()
    rows = {name.rsplit(".", 1)[-1]: figures for name, figures in rows_by_name().items()}
    assert rows["spin"][0] is None and rows["spin"][2] > 0.06   # not counted, its time still sampled
    assert rows["boom"][0] == 3 and rows["fib"][0] == 15
    assert sorted(asked) == sorted(set(asked)) and {"spin", "boom", "fib", "run"} <= set(asked)
    with pytest.raises(TypeError, match="counted"):
        call_trace.start(sampled=True, counted=3)
