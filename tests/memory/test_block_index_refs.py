"""Reference ownership of stored blocks, and blocks whose code calls back into the tree."""

import gc
import sys
import weakref

import pytest

from velkora.memory.block_index import FastRedBlackTree


class Block:
    """A block that counts its deallocations (a double release shows up as a count of 2)."""

    freed = 0

    def __del__(self):
        Block.freed += 1


def rc(obj):
    return sys.getrefcount(obj)


@pytest.mark.parametrize("remove", [
    lambda t, b: t.delete(8, b),
    lambda t, b: t.remove_ge(8),
    lambda t, b: t.remove_ge(0),
    lambda t, b: t.clear(),
])
def test_single_block_round_trip(remove):
    t = FastRedBlackTree()
    b = Block()
    start = rc(b)
    t.insert(8, b)
    assert rc(b) == start + 1
    result = remove(t, b)
    del result
    assert rc(b) == start and t.size() == 0


def test_promotion_keeps_counts():
    t = FastRedBlackTree()
    a, b, c = Block(), Block(), Block()
    starts = [rc(x) for x in (a, b, c)]
    for x in (a, b, c):
        t.insert(64, x)
    del x
    t.delete(64, a)  # c is promoted into the tree node
    assert [rc(x) for x in (a, b, c)] == [starts[0], starts[1] + 1, starts[2] + 1]
    out = t.remove_ge(64)  # c leaves through the tuple, b is promoted
    assert out[1] is c
    del out
    t.delete(64, b)
    assert [rc(x) for x in (a, b, c)] == starts and t.size() == 0


def test_same_block_twice_holds_two_references():
    t = FastRedBlackTree()
    b = Block()
    start = rc(b)
    t.insert(16, b)
    t.insert(16, b)
    t.insert(99, b)
    assert rc(b) == start + 3
    assert t.delete(16, b) and rc(b) == start + 2
    assert t.find_all_exact(16) == [b]
    t.clear()
    assert rc(b) == start


@pytest.mark.parametrize("n_sizes, per_size", [(1, 2000), (500, 3), (3000, 1)])
def test_destruction_releases_every_block_once(n_sizes, per_size):
    gc.collect()
    Block.freed = 0
    t = FastRedBlackTree()
    refs = []
    for s in range(n_sizes):
        for _ in range(per_size):
            b = Block()
            refs.append(weakref.ref(b))
            t.insert(s, b)
            del b
    assert Block.freed == 0
    del t
    gc.collect()
    assert Block.freed == n_sizes * per_size
    assert all(r() is None for r in refs)


def test_failed_comparison_leaves_tree_unchanged():
    class Boom:
        def __eq__(self, other):
            raise KeyError("cmp")

    t = FastRedBlackTree()
    a, b = Boom(), Boom()
    t.insert(4, a)
    t.insert(4, b)
    start = rc(a)
    with pytest.raises(KeyError):
        t.delete(4, object())
    assert t.find_all_exact(4) == [a, b] or [id(x) for x in t.find_all_exact(4)] == [id(a), id(b)]
    assert rc(a) == start and t.size() == 2
    # The lock was left: writers still work.
    assert t.insert(5, "x") and t.remove_ge(5) == (5, "x")


class CallsBack:
    """Uses the tree from its finalizer: the tree must be usable then."""

    log = []

    def __init__(self, tree, tag):
        self.tree, self.tag = tree, tag

    def __del__(self):
        t = self.tree
        t.insert(1000 + self.tag, "reinserted")
        CallsBack.log.append((self.tag, t.size(), t.find_best_fit(1000 + self.tag)))
        t.delete(1000 + self.tag, "reinserted")


@pytest.mark.parametrize("remove", [
    lambda t, size: t.delete(size, next(x for x in t.find_all_exact(size))),
    lambda t, size: t.remove_ge(size),
    lambda t, size: t.clear(),
])
def test_finalizer_calling_back_neither_deadlocks_nor_crashes(remove):
    CallsBack.log = []
    t = FastRedBlackTree()
    t.insert(10, CallsBack(t, 1))
    t.insert(20, "other")
    remove(t, 10)
    gc.collect()
    assert [entry[0] for entry in CallsBack.log] == [1]
    assert CallsBack.log[0][2] == "reinserted"
    assert t.find_all_exact(1001) == []


def test_destruction_with_finalizer_using_another_tree():
    other = FastRedBlackTree()
    t = FastRedBlackTree()
    for i in range(50):
        t.insert(i % 5, CallsBack(other, i))
    del t
    gc.collect()
    assert other.size() == 0 and len(CallsBack.log) >= 50


def test_reentrant_writes_from_comparison():
    """__eq__ that writes to the same tree runs as a nested write; delete compares again."""
    t = FastRedBlackTree()

    class Meddler:
        armed = True

        def __eq__(self, other):
            if Meddler.armed:
                Meddler.armed = False
                t.insert(64, "late")  # becomes the chain's second member
                assert t.find_best_fit(64) is self  # reads work on the writer's own thread
                assert t.get_size_distribution() == {64: 4}
            return False

    m = Meddler()
    t.insert(64, m)
    t.insert(64, "target")
    t.insert(64, "x")
    assert t.delete(64, "target") is True
    assert t.find_all_exact(64)[1:] == ["late", "x"] and t.size() == 3
    s = t.get_stats()
    assert (s["total_insertions"], s["total_deletions"], s["total_blocks"]) == (4, 1, 3)


def test_comparison_that_removes_the_compared_block():
    t = FastRedBlackTree()

    class SelfRemover:
        busy = False

        def __eq__(self, other):
            if SelfRemover.busy:
                return other is self
            SelfRemover.busy = True
            try:
                assert t.delete(8, self)  # the nested delete drops the tree's reference
            finally:
                SelfRemover.busy = False
            return False

    r = SelfRemover()
    gone = weakref.ref(r)
    t.insert(8, r)
    del r  # the tree holds the only reference
    t.insert(8, "keep")
    assert t.delete(8, "keep") is True
    assert t.size() == 0 and gone() is None


def test_comparison_that_always_writes_gives_up():
    t = FastRedBlackTree()

    class Busy:
        def __eq__(self, other):
            t.insert(1, "spam")
            return False

    t.insert(2, Busy())
    with pytest.raises(RuntimeError, match="changed during delete"):
        t.delete(2, "x")
    assert t.insert(3, "y") and t.find_all_exact(3) == ["y"]  # lock and counter left cleanly



class PoolRecord:
    """A block that knows its pool (the normal shape of a pool); its finalizer still uses the pool."""

    freed = []

    def __init__(self, tree):
        self.tree = tree

    def __del__(self):
        PoolRecord.freed.append(self.tree.find_best_fit(0) is not None)


@pytest.mark.parametrize("n_sizes, per_size", [(1, 1), (1, 40), (300, 3)])
def test_cycle_through_stored_blocks_is_collected(n_sizes, per_size):
    PoolRecord.freed = []
    tree = FastRedBlackTree()
    records = [PoolRecord(tree) for _ in range(n_sizes * per_size)]
    for i, r in enumerate(records):
        tree.insert(i % n_sizes, r)
    referents = gc.get_referents(tree)
    assert all(any(x is r for x in referents) for r in records)
    refs = [weakref.ref(r) for r in records]
    del records, r, tree, referents
    gc.collect()
    assert all(w() is None for w in refs)
    # Each block finalized once, while the tree still held it (finalizers run before the clear).
    assert PoolRecord.freed == [True] * len(refs)
