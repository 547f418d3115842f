"""FastRedBlackTree: module frame, operations, argument handling, statistics and sampling."""

import copy
import pickle
import threading

import pytest

from doubles import IntLike
from velkora.memory import block_index
from velkora.memory.block_index import FastRedBlackTree
from velkora.memory.block_record import BlockRecord
from velkora.memory.sync_cells import AtomicCounter

STAT_KEYS = ["total_blocks", "total_insertions", "total_deletions", "total_searches", "bucket_hits",
             "tree_hits", "operation_count"]
TAIL_KEYS = ["node_count", "height", "sampled_operations", "is_valid"]


class Eq:
    """Equal to every Eq with the same tag; never identical."""

    def __init__(self, tag):
        self.tag = tag

    def __eq__(self, other):
        return isinstance(other, Eq) and other.tag == self.tag

    __hash__ = None


def test_namespace():
    import math
    import time
    import typing

    assert block_index.threading is threading and block_index.time is time and block_index.math is math
    for name in ("Dict", "List", "Optional", "Tuple", "Any"):
        assert getattr(block_index, name) is getattr(typing, name)
    assert block_index.BlockRecord is BlockRecord
    assert block_index.AtomicCounter is AtomicCounter
    assert block_index.ATOMIC_AVAILABLE is True
    assert not hasattr(block_index, "logger")
    assert FastRedBlackTree.__module__ == "velkora.memory.block_index"


def test_new_tree():
    t = FastRedBlackTree()
    assert (t.size(), len(t), bool(t)) == (0, 0, False)
    assert repr(t) == "FastRedBlackTree(blocks=0, native=True)"
    assert t.get_stats() == dict.fromkeys(STAT_KEYS + TAIL_KEYS[:-1], 0) | {"is_valid": True}
    assert list(t.get_stats()) == STAT_KEYS + TAIL_KEYS
    assert t.get_statistics() == {}


def test_chain_order_promotion_and_equal_blocks():
    t = FastRedBlackTree()
    a, b, c = Eq("a"), Eq("b"), Eq("c")
    for blk in (a, b, c):
        assert t.insert(64, blk) is True
    assert t.size() == 3 and repr(t) == "FastRedBlackTree(blocks=3, native=True)"
    assert t.find_all_exact(64) == [a, c, b]
    assert [x is y for x, y in zip(t.find_all_exact(64), [a, c, b])] == [True] * 3
    assert t.find_best_fit(64) is a and t.find_all_exact(65) == []
    assert t.delete(64, a) is True
    assert [id(x) for x in t.find_all_exact(64)] == [id(c), id(b)] and t.size() == 2
    assert t.delete(64, a) is False and t.delete(32, a) is False and t.size() == 2
    # An equal but distinct object removes the stored one.
    assert t.delete(64, Eq("b")) is True
    assert t.find_all_exact(64)[0] is c and t.size() == 1
    assert list(t.get_size_distribution().items()) == [(64, 1)]


def test_delete_removes_first_equal_only():
    t = FastRedBlackTree()
    x1, x2, x3 = Eq("x"), Eq("x"), Eq("x")
    for blk in (x1, x2, x3):
        t.insert(8, blk)
    assert t.delete(8, Eq("x"))  # chain x1, x3, x2: the head goes
    assert [id(v) for v in t.find_all_exact(8)] == [id(x3), id(x2)]


def test_best_fit_and_remove_ge():
    t = FastRedBlackTree()
    blocks = {s: BlockRecord(0, s) for s in (64, 128, 256)}
    for s, blk in blocks.items():
        t.insert(s, blk)
    assert t.find_best_fit(100) is blocks[128] and t.size() == 3
    assert t.find_best_fit(64) is blocks[64] and t.find_best_fit(257) is None
    assert t.find_best_fit(100, alignment=4096) is blocks[128]
    assert t.remove_ge(100) == (128, blocks[128])
    assert t.remove_ge(100) == (256, blocks[256])
    assert t.remove_ge(100) == (None, None)
    assert t.remove_ge(0) == (64, blocks[64])
    assert t.size() == 0 and not t


def test_remove_ge_hands_out_head_then_newest_first():
    t = FastRedBlackTree()
    for name in "abcd":
        t.insert(32, name)
    assert [t.remove_ge(1)[1] for _ in range(4)] == ["a", "d", "c", "b"]
    assert t.get_stats()["height"] == 0


@pytest.mark.parametrize("arg, stored_as", [(8.9, 8), (True, 1), (IntLike(12), 12), (2**64 - 1, 2**64 - 1)])
def test_size_conversion(arg, stored_as):
    t = FastRedBlackTree()
    t.insert(arg, "blk")
    assert t.get_size_distribution() == {stored_as: 1}
    assert t.find_all_exact(arg) == ["blk"] and t.remove_ge(arg) == (stored_as, "blk")


@pytest.mark.parametrize("bad, exc", [("8", TypeError), (None, TypeError), (b"8", TypeError),
                                      (2**64, OverflowError), (-(2**70), ValueError)])
def test_insert_bad_sizes_change_nothing(bad, exc):
    t = FastRedBlackTree()
    with pytest.raises(exc):
        t.insert(bad, "blk")
    assert t.size() == 0 and t.get_stats()["total_insertions"] == 0
    assert t.get_stats()["operation_count"] == 0


def test_negative_sizes():
    t = FastRedBlackTree()
    t.insert(5, "x")
    with pytest.raises(ValueError) as info:
        t.insert(-1, "a")
    assert str(info.value) == "Invalid size: -1"
    assert t.delete(-1, "x") is False and t.remove_ge(-1) == (None, None)
    assert t.find_best_fit(-1) is None and t.find_all_exact(-1) == []
    assert t.get_stats()["total_searches"] == 0 and t.size() == 1


@pytest.mark.parametrize("call", [
    lambda t: t.find_best_fit(2**64), lambda t: t.find_all_exact(2**64), lambda t: t.delete(2**64, 1),
    lambda t: t.remove_ge(2**64)])
def test_oversized_queries_overflow(call):
    with pytest.raises(OverflowError):
        call(FastRedBlackTree())


@pytest.mark.parametrize("call", [
    lambda t: t.insert(1), lambda t: t.insert(1, 2, 3), lambda t: t.delete(size=1),
    lambda t: t.remove_ge(1, size=1), lambda t: t.find_best_fit(1, alignment="x"),
    lambda t: t.find_best_fit(1, align=4), lambda t: t.size(1), lambda t: t.clear(None),
    lambda t: FastRedBlackTree(None), lambda t: FastRedBlackTree(1, 2)])
def test_argument_errors(call):
    with pytest.raises(TypeError):
        call(FastRedBlackTree())


def test_keywords_accepted():
    t = FastRedBlackTree(sample_rate=3)
    assert t.insert(size=4, block="b") and t.find_best_fit(size=1, alignment=8) == "b"
    assert t.find_all_exact(size=4) == ["b"] and t.delete(block="b", size=4)


@pytest.mark.parametrize("rate, exc", [(-1, OverflowError), (2**32, OverflowError), ("1", TypeError)])
def test_sample_rate_range(rate, exc):
    with pytest.raises(exc):
        FastRedBlackTree(rate)


@pytest.mark.parametrize("rate, expected", [(100, 2), (1, 250), (0, 0), (2.9, 125), (7, 35)])
def test_sampling(rate, expected):
    t = FastRedBlackTree(rate)
    for i in range(250):
        t.insert(i % 17, i)
    s = t.get_stats()
    assert (s["sampled_operations"], s["operation_count"], s["total_insertions"]) == (expected, 250, 250)


def test_circuit_breaker_and_clear():
    t = FastRedBlackTree()
    for i in range(5):
        t.insert(i, i)
    t.delete(3, 3)
    t.find_best_fit(0)
    t.reset_circuit_breaker()
    s = t.get_stats()
    assert list(s) == STAT_KEYS + ["circuit_breaker_trips"] + TAIL_KEYS
    assert s["circuit_breaker_trips"] == 0 and s["operation_count"] == 0
    assert (s["total_insertions"], s["total_deletions"], s["total_searches"], s["total_blocks"]) == (5, 1, 1, 4)
    assert t.clear() is None
    s = t.get_stats()
    assert list(s) == STAT_KEYS + TAIL_KEYS and set(s.values()) == {0, True}
    assert t.size() == 0 and t.find_best_fit(0) is None
    for i in range(150):  # counters start again after clear
        t.insert(1, i)
    assert t.get_stats()["sampled_operations"] == 1
    assert t.get_statistics() == {}


def test_size_distribution_is_preorder():
    t = FastRedBlackTree()
    for s in (20, 10, 30, 10):
        t.insert(s, s)
    d = t.get_size_distribution()
    assert list(d.items()) == [(20, 1), (10, 2), (30, 1)]
    assert t.get_stats()["height"] == 2


def test_height_bound_ascending_then_half_deleted():
    t = FastRedBlackTree()
    for s in range(1000):
        t.insert(s, s)
    assert t.get_stats()["height"] <= 19
    for s in range(0, 1000, 2):
        assert t.delete(s, s)
    assert t.get_stats()["height"] <= 17  # 2*log2(501)
    assert list(t.get_size_distribution())[0] not in range(0, 1000, 2)


@pytest.mark.parametrize("op", [pickle.dumps, copy.copy, copy.deepcopy, lambda t: t.__reduce__(),
                                lambda t: t.__setstate__({})])
def test_pickling_refused(op):
    with pytest.raises(TypeError):
        op(FastRedBlackTree())


def test_type_is_closed_and_subclassable():
    with pytest.raises(TypeError):
        FastRedBlackTree._sanitize_size = staticmethod(lambda size: 0)
    assert FastRedBlackTree._sanitize_size(5) == 5 and FastRedBlackTree._sanitize_size(3.7) == 3
    with pytest.raises(ValueError, match=r"^Invalid size: -3$"):
        FastRedBlackTree._sanitize_size(-3)

    class Tree(FastRedBlackTree):
        pass

    t = Tree(sample_rate=1)
    t.insert(8, "a")
    assert repr(t) == "FastRedBlackTree(blocks=1, native=True)" and len(t) == 1 and t


def test_subclass_overrides_are_honoured():
    calls = []

    class Clamped(FastRedBlackTree):
        @staticmethod
        def _sanitize_size(size):
            calls.append(size)
            if size < 0:
                raise ValueError("negative")
            return min(size, 100)

        def size(self):
            return 7

    t = Clamped()
    t.insert(1000, "big")
    assert t.find_all_exact(5000) == ["big"] and t.find_best_fit(-5) is None
    assert t.remove_ge(-1) == (None, None) and t.delete(-1, "big") is False
    assert calls == [1000, 5000, -5, -1, -1]
    assert len(t) == 7 and bool(t) is True
    assert repr(t) == "FastRedBlackTree(blocks=1, native=True)"

    class Odd(FastRedBlackTree):
        def _sanitize_size(self, size):  # a plain method: the instance is passed along
            return size + 1

        def size(self):
            return -1

    o = Odd()
    o.insert(1, "x")
    assert o.get_size_distribution() == {2: 1} and bool(o) is False
    with pytest.raises(ValueError):
        len(o)


def test_reinit_clears_and_uninitialised_is_refused():
    t = FastRedBlackTree()
    t.insert(1, "a")
    t.__init__(sample_rate=1)
    assert t.size() == 0 and t.get_stats()["total_insertions"] == 0
    t.insert(2, "b")
    assert t.get_stats()["sampled_operations"] == 1
    bare = FastRedBlackTree.__new__(FastRedBlackTree)
    assert bare.size() == 0
    # Readers say what writers say; a negative size is still answered before the check.
    assert bare.find_best_fit(-1) is None and bare.find_all_exact(-1) == []
    for call in (lambda: bare.insert(1, 2), lambda: bare.clear(), lambda: bare.get_stats(),
                 lambda: bare.find_best_fit(1), lambda: bare.find_all_exact(1)):
        with pytest.raises(RuntimeError, match=r"__init__\(\) has not been called"):
            call()


def test_missing_sync_cells_disables_sampling(run_python):
    run_python(
        "import sys\n"
        "sys.modules['velkora.memory.sync_cells'] = None\n"
        "from velkora.memory import block_index as bi\n"
        "assert bi.ATOMIC_AVAILABLE is False and bi.AtomicCounter is None\n"
        "t = bi.FastRedBlackTree(sample_rate=1)\n"
        "for i in range(1000): t.insert(i % 10, i)\n"
        "s = t.get_stats()\n"
        "assert s['sampled_operations'] == 0 and s['total_insertions'] == 1000, s\n"
        "assert t.remove_ge(3) == (3, 3) and t.size() == 999\n"
        "t.clear(); assert t.size() == 0\n"
    )


def test_missing_block_record_fails_import(run_python):
    proc = run_python(
        "import sys\n"
        "sys.modules['velkora.memory.block_record'] = None\n"
        "import velkora.memory.block_index\n", check=False)
    assert proc.returncode != 0 and "ModuleNotFoundError" in proc.stderr


def test_no_logging_at_import(run_python):
    proc = run_python(
        "import logging; logging.basicConfig(level=logging.DEBUG)\n"
        "import velkora.memory.sync_cells\n"
        "import velkora.memory.block_index\n")
    assert "block_index" not in proc.stderr


def test_globals_are_read_at_construction(monkeypatch):
    made = []

    class Counter:
        def __init__(self, v):
            self.v = v
            made.append(self)

        def increment(self):
            self.v += 1
            return float(self.v)  # any number works with the modulo test

        def load(self):
            return self.v

    monkeypatch.setattr(block_index, "AtomicCounter", Counter)
    t = FastRedBlackTree(sample_rate=2)
    for i in range(5):
        t.insert(i, i)
    assert [c.v for c in made] == [5, 2] and t.get_stats()["sampled_operations"] == 2
    monkeypatch.setattr(block_index, "ATOMIC_AVAILABLE", False)
    assert FastRedBlackTree().get_stats()["sampled_operations"] == 0 and len(made) == 2


def test_injected_locks_see_every_section(monkeypatch):
    log = []

    class RecordingLock:
        def __init__(self):
            self.name = "write" if not any(isinstance(x, RecordingLock) for x in made) else "stats"
            made.append(self)

        def __enter__(self):
            log.append(("enter", self.name))

        def __exit__(self, *exc):
            log.append(("exit", self.name, exc[0]))
            return False

    made = []
    fake_threading = type("threading", (), {"Lock": RecordingLock})
    monkeypatch.setattr(block_index, "threading", fake_threading)
    t = FastRedBlackTree()
    monkeypatch.undo()
    assert [lk.name for lk in made] == ["write", "stats"]
    t.insert(8, "a")
    t.delete(8, "zz")
    t.remove_ge(1)
    t.find_best_fit(1)  # readers take no lock
    t.get_size_distribution()
    t.get_stats()
    t.reset_circuit_breaker()
    t.clear()
    with pytest.raises(ValueError):
        t.insert(-1, "x")  # rejected before any lock
    w = [("enter", "write"), ("exit", "write", None)]
    s = [("enter", "stats"), ("exit", "stats", None)]
    assert log == w * 4 + s * 2 + w

    class Boom:
        def __eq__(self, other):
            raise KeyError("cmp")

    log.clear()
    t.insert(4, Boom())
    with pytest.raises(KeyError):
        t.delete(4, "x")
    assert log[-1] == ("exit", "write", KeyError)  # the error went through __exit__
