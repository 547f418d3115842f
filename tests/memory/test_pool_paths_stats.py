"""FastStatsCollector: counters, wrapping, the ratio text, argument errors, threads and its lock."""

import threading

import pytest

from doubles import FakeThreading
from velkora.memory import pool_paths
from velkora.memory.pool_paths import FastStatsCollector

EMPTY = {"total_allocations": 0, "total_deallocations": 0, "bucketed_allocations": 0,
         "fallback_allocations": 0, "bucketed_allocation_ratio": "0.0%", "alignment_padding_bytes": 0}


def test_new_and_reset_collector():
    c = FastStatsCollector(1, x=2)  # constructor arguments are ignored
    assert list(c.get_stats().items()) == list(EMPTY.items())
    c.py_record_allocation(64, 8, True), c.py_record_deallocation()
    assert c.reset_stats() is None
    assert list(c.get_stats().items()) == list(EMPTY.items())
    assert c.get_stats() is not c.get_stats()


def test_documented_mix():
    c = FastStatsCollector()
    c.py_record_allocation(64, 0, True)
    c.py_record_allocation(64, 8, True)
    c.py_record_allocation(5000, 0, False)
    c.py_record_deallocation(), c.py_record_deallocation()
    assert c.get_stats() == {"total_allocations": 3, "total_deallocations": 2,
                             "bucketed_allocations": 2, "fallback_allocations": 1,
                             "bucketed_allocation_ratio": "66.7%", "alignment_padding_bytes": 8}


@pytest.mark.parametrize("bucketed, fallback, text", [(1, 0, "100.0%"), (0, 1, "0.0%"), (1, 2, "33.3%"),
                                                      (1, 7, "12.5%"), (1, 15, "6.2%"), (3, 13, "18.8%")])
def test_ratio_text(bucketed, fallback, text):
    c = FastStatsCollector()
    for flag, n in ((True, bucketed), (False, fallback)):
        for _ in range(n):
            c.py_record_allocation(8, 0, flag)
    assert c.get_stats()["bucketed_allocation_ratio"] == text
    assert text == format(bucketed / (bucketed + fallback) * 100, ".1f") + "%"


class Truthy:
    def __bool__(self):
        return True


@pytest.mark.parametrize("flag, bucketed", [(0, False), ([1], True), (None, False), (Truthy(), True)])
def test_is_bucketed_by_truth_value(flag, bucketed):
    c = FastStatsCollector()
    c.py_record_allocation(64, 4, flag)
    s = c.get_stats()
    assert (s["bucketed_allocations"], s["fallback_allocations"]) == (int(bucketed), int(not bucketed))


def test_padding_wraps_in_twos_complement():
    c = FastStatsCollector()
    c.py_record_allocation(64, -1, True)
    assert c.get_stats()["alignment_padding_bytes"] == 2**64 - 1
    c.py_record_allocation(64, 3, True)
    assert c.get_stats()["alignment_padding_bytes"] == 2
    c.py_record_allocation(size=0, padding=-(2**31), is_bucketed=False)
    assert c.get_stats()["alignment_padding_bytes"] == 2 - 2**31 + 2**64


class BadBool:
    def __bool__(self):
        raise RuntimeError("no truth")


@pytest.mark.parametrize(
    "args, exc",
    [((2**31, 0, True), OverflowError), ((0, -(2**31) - 1, True), OverflowError),
     ((0, "1", True), TypeError), ((0, 0, BadBool()), RuntimeError)],
)
def test_rejected_arguments_count_nothing(args, exc):
    c = FastStatsCollector()
    with pytest.raises(exc):
        c.py_record_allocation(*args)
    assert c.get_stats() == EMPTY


def test_eight_threads_lose_nothing():
    c = FastStatsCollector()
    start = threading.Barrier(8)

    def work(i):
        start.wait()
        for _ in range(10000):
            c.py_record_allocation(64, 1, i % 2 == 0)
            if i == 0:
                c.get_stats()
        c.py_record_deallocation()

    threads = [threading.Thread(target=work, args=(i,)) for i in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=60)
    s = c.get_stats()
    assert (s["total_allocations"], s["bucketed_allocations"], s["fallback_allocations"]) == (
        80000, 40000, 40000)
    assert (s["alignment_padding_bytes"], s["total_deallocations"]) == (80000, 8)


class RecordingLock:
    def __init__(self, log):
        self.log = log

    def __enter__(self):
        self.log.append("enter")

    def __exit__(self, *exc):
        self.log.append("exit")


def test_injected_lock_is_entered_by_every_method(monkeypatch):
    log = []
    monkeypatch.setattr(pool_paths, "threading", FakeThreading(lambda: RecordingLock(log)))
    c = FastStatsCollector()
    c.py_record_allocation(1, 1, True), c.py_record_deallocation(), c.get_stats(), c.reset_stats()
    assert log == ["enter", "exit"] * 4


def test_lock_factory_is_looked_up_at_construction(monkeypatch):
    monkeypatch.delattr(pool_paths, "threading")
    with pytest.raises(NameError, match="threading"):
        FastStatsCollector()
