"""FastBucketAllocator against a dict-of-lists model; the size, alignment and bitmap helpers."""

import gc
import weakref

import pytest
from hypothesis import settings, strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, rule

from doubles import FakeThreading
from velkora.memory import pool_paths
from velkora.memory.pool_paths import (FastBucketAllocator, fast_align_size, fast_bitmap_operations,
                                       fast_can_fit_aligned, fast_get_bucket_size)

I32_MIN, I32_MAX = -(2**31), 2**31 - 1


def tdiv(a, b):
    """Integer division truncating toward zero, as the native code divides."""
    q = abs(a) // abs(b)
    return q if (a >= 0) == (b > 0) else -q


class Model:
    """The allocator as a dict of lists, exactly as its behaviour is defined."""

    def __init__(self, step=8, small=256, medium=4096):
        self.step, self.small, self.medium = step, small, medium
        self.lists = {}
        self.init_buckets()

    def init_buckets(self):
        for size in range(self.step, self.small + 1, self.step):
            self.lists[size] = []
        for size in range(self.small + self.step, self.medium + 1, self.step):
            self.lists[size] = []

    def bucket(self, size):
        if size <= self.small or size <= self.medium:
            return tdiv(size + self.step - 1, self.step) * self.step
        return -1

    def add(self, offset, size):
        b = self.bucket(size)
        if b <= 0 or b != size or b not in self.lists:
            return False
        self.lists[b].append(offset)
        return True

    def remove(self, size):
        b = self.bucket(size)
        if b <= 0 or not self.lists.get(b):
            return None
        return self.lists[b].pop()

    def best_fit(self, size, alignment):
        b = self.bucket(size)
        if b <= 0:
            return None
        fits = lambda o, block: ((o + alignment - 1) & -alignment) + size <= o + block
        for key in [b] + [k for k in sorted(self.lists) if k > b]:
            if self.lists.get(key) and fits(self.lists[key][-1], key):
                return self.lists[key].pop()
        return None


# Defaults, off-grid medium ranges, negative limits and steps, no keys at all, many small buckets.
CONFIGS = st.sampled_from([(8, 256, 4096), (8, 250, 600), (16, 64, 256), (1, 20, 40), (5, 0, 60),
                           (8, -16, 100), (7, 300, 100), (-8, 256, 100), (3, -5, 50), (64, 8, 32),
                           (1, 150, 700)])
OFFSETS = st.one_of(st.integers(0, 64).map(lambda k: k * 4), st.integers(0, 5000),
                    st.integers(I32_MIN, I32_MAX))
ALIGNMENTS = st.sampled_from([1, 2, 8, 16, 64, 4096, 2**30, 3, 6, 0, -8])


class AllocatorMachine(RuleBasedStateMachine):
    @initialize(config=CONFIGS)
    def build(self, config):
        self.model = Model(*config)
        self.real = FastBucketAllocator(*config)
        step = abs(config[0])
        # Mostly a few small bucket sizes, so that offsets meet again.
        self.sizes = st.one_of(st.integers(1, 4).map(lambda k: k * step),
                               st.integers(-3, 600).map(lambda k: k * step), st.integers(-20, 5000),
                               st.sampled_from([I32_MIN, I32_MAX]))

    @rule(data=st.data(), offset=OFFSETS)
    def add(self, data, offset):
        size = data.draw(self.sizes)
        assert self.real.add_to_bucket(offset, size) is self.model.add(offset, size)

    @rule(data=st.data())
    def remove(self, data):
        size = data.draw(self.sizes)
        assert self.real.remove_from_bucket(size) == self.model.remove(size)

    @rule(data=st.data(), alignment=ALIGNMENTS)
    def best_fit(self, data, alignment):
        size = data.draw(self.sizes)
        assert self.real.find_best_fit_bucket(size, alignment) == self.model.best_fit(size, alignment)

    @rule()
    def init_buckets(self):
        self.real._init_buckets()
        self.model.init_buckets()

    @rule(data=st.data())
    def drain(self, data):
        keys = sorted(self.model.lists) or [8]
        key = data.draw(st.sampled_from(keys))
        popped = []
        while (o := self.real.remove_from_bucket(key)) is not None:
            popped.append(o)
        expected = []
        while (o := self.model.remove(key)) is not None:
            expected.append(o)
        assert popped == expected


AllocatorMachine.TestCase.settings = settings(max_examples=200, stateful_step_count=40,
                                              deadline=None)
TestAllocatorAgainstModel = AllocatorMachine.TestCase


def test_documented_bucket_cases():
    a = FastBucketAllocator()
    assert a.add_to_bucket(1000, 64) is True
    assert (a.remove_from_bucket(60), a.remove_from_bucket(60)) == (1000, None)
    assert [a.add_to_bucket(0, 10), a.add_to_bucket(0, 5000)] == [False, False]
    assert a.remove_from_bucket(5000) is None and a.remove_from_bucket(0) is None
    a.add_to_bucket(100, 32), a.add_to_bucket(200, 32)
    assert [a.remove_from_bucket(32), a.remove_from_bucket(32)] == [200, 100]
    a.add_to_bucket(4, 32)
    assert a.find_best_fit_bucket(32, 16) is None
    a.add_to_bucket(100, 64)
    assert a.find_best_fit_bucket(32, 16) == 100
    assert a.remove_from_bucket(32) == 4
    a.add_to_bucket(0, 4096)
    assert a.find_best_fit_bucket(24, 8) == 0


def test_best_fit_tests_the_current_top_entry():
    a = FastBucketAllocator()
    a.add_to_bucket(4, 32), a.add_to_bucket(0, 32), a.add_to_bucket(0, 64)
    assert a.remove_from_bucket(32) == 0
    assert a.find_best_fit_bucket(32, 16) == 0  # 4 is on top of bucket 32 and cannot hold it
    assert a.remove_from_bucket(32) == 4


def test_best_fit_scans_across_bitmap_words():
    a = FastBucketAllocator()
    for size, offset in [(8, 1), (800, 3), (2400, 5), (4096, 7)]:  # bucket indices 1, 100, 300, 512
        a.add_to_bucket(offset, size)
    # Aligned to 4096, one byte only fits the 4096 block: every smaller top entry is tried and kept.
    assert a.find_best_fit_bucket(1, 4096) == 7
    assert a.find_best_fit_bucket(1, 4096) is None
    assert a.find_best_fit_bucket(1, 16) == 3  # ascending: the first larger block that fits
    assert a.remove_from_bucket(2400) == 5
    assert a.find_best_fit_bucket(1, 16) is None  # buckets 100, 300 and 512 are empty again
    assert a.remove_from_bucket(8) == 1


def test_offsets_near_2_31_use_64_bit_arithmetic():
    a = FastBucketAllocator()
    a.add_to_bucket(I32_MAX, 4096)
    assert a.find_best_fit_bucket(8, 8) == I32_MAX  # aligned 2**31 + 8 <= 2**31 - 1 + 4096


def test_init_buckets_drops_offsets_and_step_zero():
    a = FastBucketAllocator()
    a.add_to_bucket(5, 8)
    assert a._init_buckets() is None and a.remove_from_bucket(8) is None
    with pytest.raises(ValueError, match="must not be zero"):
        FastBucketAllocator(0)


def test_constructor_calls_overridden_init_buckets():
    calls = []

    class NoBuckets(FastBucketAllocator):
        def _init_buckets(self):
            calls.append(self)

    a = NoBuckets(0)  # step 0 is accepted when the override skips the ranges
    assert calls == [a]
    assert (a.add_to_bucket(0, 8), a.remove_from_bucket(8), a.find_best_fit_bucket(8, 8)) == (
        False, None, None)

    b = NoBuckets()
    assert b.add_to_bucket(0, 8) is False  # no keys exist
    FastBucketAllocator._init_buckets(b)
    assert b.add_to_bucket(0, 8) is True


class CountingLock:
    def __init__(self, log):
        self.log, self.owner = log, None

    def __enter__(self):
        self.log.append("enter")

    def __exit__(self, *exc):
        self.log.append("exit")


def test_injected_lock_sees_every_public_call(monkeypatch):
    log = []
    fake = FakeThreading(lambda: CountingLock(log))
    monkeypatch.setattr(pool_paths, "threading", fake)
    a = FastBucketAllocator()
    assert log == []  # the constructor and _init_buckets take no lock
    a.add_to_bucket(0, 8), a.add_to_bucket(0, 10), a.remove_from_bucket(8)
    a.find_best_fit_bucket(8, 8), a.remove_from_bucket(0)
    # Rejected sizes return before the lock, as the rules order it.
    assert log == ["enter", "exit"] * 3


def test_lock_cycle_is_collected(monkeypatch):
    fake = FakeThreading(lambda: CountingLock([]))
    monkeypatch.setattr(pool_paths, "threading", fake)
    a = FastBucketAllocator()
    lock = fake.locks[0]
    lock.owner = a  # allocator -> lock -> allocator
    ref = weakref.ref(lock)
    del a, lock
    fake.locks.clear()
    gc.collect()
    assert ref() is None


@pytest.mark.parametrize("args, expected", [((13, 8), 16), ((16, 8), 16), ((0, 8), 0), ((-5, 8), 0),
                                            ((I32_MAX, 8), 2**31), ((5, 1), 5)])
def test_align_size(args, expected):
    assert fast_align_size(*args) == expected


@pytest.mark.parametrize("alignment", [6, 0, -8, 3])
def test_align_size_rejects_alignment(alignment):
    with pytest.raises(ValueError, match="^Alignment must be a power of 2$"):
        fast_align_size(13, alignment)


@pytest.mark.parametrize("args, expected", [((1,), 8), ((13, 5), 15), ((-10,), 0), ((-15,), -8),
                                            ((I32_MAX,), 2**31), ((I32_MIN, -1), I32_MIN - 2)])
def test_get_bucket_size(args, expected):
    assert fast_get_bucket_size(*args) == expected


def test_get_bucket_size_step_zero():
    with pytest.raises(ValueError):
        fast_get_bucket_size(5, step=0)


@pytest.mark.parametrize(
    "args, expected",
    [((0b1010, 1, "is_set"), True), ((0b1010, 0, "set"), 11), ((0b1010, 3, "clear"), 2),
     ((0b1010, 0, "find_first"), 1), ((0, 0, "find_first"), -1), ((5, 64, "set"), 5),
     ((5, 64, "is_set"), False), ((2**64 - 1, 63, "clear"), 2**63 - 1), ((2**63, -1, "find_first"), 63),
     ((0, 63, "set"), 2**63), ((1, 0, "".join(["is", "_set"])), True)],
)
def test_bitmap_operations(args, expected):
    result = fast_bitmap_operations(*args)
    assert result == expected and type(result) is type(expected)


class StrSub(str):
    pass


@pytest.mark.parametrize(
    "args, exc, text",
    [((0, 0, "flip"), ValueError, "^Unknown operation: flip$"),
     ((0, 0, None), ValueError, "^Unknown operation: None$"),
     ((0, -1, "set"), ValueError, "negative"), ((0, -1, "is_set"), ValueError, "negative"),
     ((0, 0, StrSub("set")), TypeError, "str or None"), ((-1, 0, "set"), OverflowError, None)],
)
def test_bitmap_operations_errors(args, exc, text):
    with pytest.raises(exc, match=text):
        fast_bitmap_operations(*args)


@pytest.mark.parametrize("args, expected", [((0, 64, 64, 8), False), ((0, 64, 63, 8), True),
                                            ((4, 64, 56, 8), True), ((4, 64, 60, 8), False),
                                            ((I32_MAX - 7, 16, 1, 8), True)])
def test_can_fit_aligned(args, expected):
    assert fast_can_fit_aligned(*args) is expected
