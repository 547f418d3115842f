"""AtomicPointer: identity swaps, versions and reference ownership."""

import gc
import sys
import weakref

from velkora.memory.sync_cells import AtomicPointer


class Obj:
    pass


def test_versions_and_identity_swaps():
    p, x, a, b = AtomicPointer(), Obj(), [1], Obj()
    assert p.load() is None and p.get_version() == 0
    p.store(x)
    assert p.load() is x and p.get_version() == 1
    p.store(None)
    p.store(None)  # every store counts, an empty one too
    assert p.load() is None and p.get_version() == 3
    assert p.compare_and_swap(None, a) is True and p.get_version() == 4
    assert p.compare_and_swap([1], b) is False and p.load() is a and p.get_version() == 4  # equal is not enough
    assert p.compare_and_swap(expected=a, new_value=b) is True and p.load() is b and p.get_version() == 5
    assert p.compare_and_swap(None, a) is False and AtomicPointer(initial_value=0).load() == 0


def test_reference_counts_through_store_swap_and_destruction():
    x, y = Obj(), Obj()
    bx, by = sys.getrefcount(x), sys.getrefcount(y)
    p = AtomicPointer(x)
    for _ in range(3):
        assert p.load() is x
    assert sys.getrefcount(x) == bx + 1
    assert p.compare_and_swap(x, x) is True and p.get_version() == 1
    assert sys.getrefcount(x) == bx + 1  # an object swapped for itself: no net change
    assert p.compare_and_swap(y, x) is False and (sys.getrefcount(x), sys.getrefcount(y)) == (bx + 1, by)
    p.store(y)
    p.store(y)
    assert (sys.getrefcount(x), sys.getrefcount(y)) == (bx, by + 1)
    del p
    assert (sys.getrefcount(x), sys.getrefcount(y)) == (bx, by)


def test_stored_object_lifetime_and_cycles():
    x = Obj()
    ref, p = weakref.ref(x), AtomicPointer(x)
    del x
    gc.collect()
    assert p.load() is ref()
    del p
    assert ref() is None
    x = Obj()
    x.slot, ref = AtomicPointer(x), weakref.ref(x)
    del x
    gc.collect()
    assert ref() is None  # the cycle through the stored object is seen by the collector


def test_finalizer_of_the_replaced_object_runs_after_the_swap():
    seen = []

    class Reentrant:
        def __del__(self):
            seen.append((p.load(), p.get_version()))
            p.store("from finalizer")

    p = AtomicPointer(Reentrant())
    p.store("new")
    assert seen == [("new", 1)] and p.load() == "from finalizer" and p.get_version() == 2


def test_long_chain_is_destroyed_without_recursion():
    head = AtomicPointer()
    for _ in range(200_000):
        head = AtomicPointer(head)
    del head
