"""Readers and writers on several threads: the odd-counter path and a bounded stress run."""

import random
import threading
import time

import pytest

from velkora.memory import block_index
from velkora.memory.block_index import FastRedBlackTree


class SlowEq:
    """A block whose comparison keeps a delete inside its write section for a while."""

    def __init__(self, started, delay):
        self.started, self.delay = started, delay

    def __eq__(self, other):
        self.started.set()
        time.sleep(self.delay)
        return False


@pytest.mark.parametrize("probe", ["nothing equal", object()])  # rich comparison from the start, or
@pytest.mark.parametrize("search, missing", [                   # after identity comparisons
    (lambda t: t.find_best_fit(1), None),
    (lambda t: t.find_all_exact(64), []),
])
def test_reader_gives_up_while_a_writer_is_inside(monkeypatch, search, missing, probe):
    t = FastRedBlackTree()
    started = threading.Event()
    t.insert(64, object())
    t.insert(64, SlowEq(started, 1.0))  # second in the chain
    sleeps = []
    real_sleep = time.sleep

    class Clock:  # the module global `time`, as the reader sees it
        @staticmethod
        def sleep(seconds):
            sleeps.append(seconds)
            real_sleep(seconds)

    writer = threading.Thread(target=t.delete, args=(64, probe))
    writer.start()
    assert started.wait(5)
    monkeypatch.setattr(block_index, "time", Clock)
    before = t.get_stats()["total_searches"]
    assert search(t) == missing
    monkeypatch.setattr(block_index, "time", time)
    assert sleeps == [0.0001] * 100
    assert t.get_stats()["total_searches"] == before
    writer.join()
    assert search(t) is not None and t.get_stats()["total_searches"] == before + 1


def test_writer_waits_for_a_delete_in_another_thread():
    events = []

    class Logged(SlowEq):
        def __eq__(self, other):
            r = super().__eq__(other)
            events.append("compared")
            return r

    t = FastRedBlackTree()
    started = threading.Event()
    t.insert(8, Logged(started, 0.2))
    writer = threading.Thread(target=t.delete, args=(8, "x"))
    writer.start()
    assert started.wait(5)
    t.insert(9, "y")  # blocks on write_lock until the delete has left its section
    events.append("inserted")
    writer.join()
    assert events == ["compared", "inserted"]
    assert sorted(t.get_size_distribution().items()) == [(8, 1), (9, 1)]


def test_stress_writers_and_readers():
    t = FastRedBlackTree(sample_rate=7)
    stop = time.monotonic() + 2.0
    errors = []
    inserted = [0] * 3
    removed = [0] * 3

    def writer(k):
        rng = random.Random(k)
        mine = []
        try:
            while time.monotonic() < stop:
                op = rng.random()
                if op < 0.5 or not mine:
                    b = (k, rng.random())
                    s = rng.randrange(200)
                    t.insert(s, b)
                    mine.append((s, b))
                    inserted[k] += 1
                elif op < 0.8:
                    s, b = mine.pop(rng.randrange(len(mine)))
                    if t.delete(s, b):  # False only when another writer's remove_ge took it
                        removed[k] += 1
                else:
                    got = t.remove_ge(rng.randrange(200))
                    if got[0] is not None:
                        removed[k] += 1
                        if got[1][0] == k:
                            # Not in `mine` when this writer's delete missed it while another
                            # writer held it, and that writer has since handed it back.
                            if got in mine:
                                mine.remove(got)
                        else:  # another writer's block: hand it back
                            t.insert(*got)
                            inserted[k] += 1
        except Exception as e:  # pragma: no cover - reported below
            errors.append(e)

    def reader(k):
        rng = random.Random(100 + k)
        try:
            while time.monotonic() < stop:
                s = rng.randrange(220)
                b = t.find_best_fit(s)
                assert b is None or isinstance(b, tuple)
                for blk in t.find_all_exact(s):
                    assert isinstance(blk, tuple)
                t.get_stats()
                if rng.random() < 0.01:
                    t.get_size_distribution()
        except Exception as e:  # pragma: no cover
            errors.append(e)

    threads = [threading.Thread(target=writer, args=(k,)) for k in range(3)]
    threads += [threading.Thread(target=reader, args=(k,)) for k in range(2)]
    for th in threads:
        th.start()
    for th in threads:
        th.join(30)
    assert not errors and not any(th.is_alive() for th in threads)
    dist = t.get_size_distribution()
    stats = t.get_stats()
    assert t.size() == sum(inserted) - sum(removed) == sum(dist.values())
    assert stats["node_count"] == stats["total_blocks"] == t.size()
    assert stats["total_insertions"] == sum(inserted)
    assert stats["height"] <= 2 * (len(dist) + 1).bit_length()
