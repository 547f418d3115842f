"""LockFreeStack: order, size, reference ownership, destruction and threads."""

import gc
import sys
import threading
import weakref

from hypothesis import settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, rule

from velkora.memory.sync_cells import LockFreeStack


class Item:
    live, twice = 0, []

    def __init__(self):
        self.alive = True
        Item.live += 1

    def __del__(self):
        if not self.alive:
            Item.twice.append(self)  # finalized twice: a reference was dropped once too often
        self.alive = False
        Item.live -= 1


def test_order_size_and_pushed_none():
    s = LockFreeStack(5)
    trace = [(s.size(), s.is_empty())]
    for v in (1, None, 3):
        assert s.push(v) is None
        trace.append((s.size(), s.is_empty()))
    assert [s.pop(), s.pop()] == [3, None] and s.is_empty() is False  # a pushed None is still an item
    assert s.pop() == 1 and s.pop() is None and s.size() == 0
    assert trace == [(0, True), (1, False), (2, False), (3, False)] and s.is_empty() is True


def test_reference_counts_through_push_pop_and_destruction():
    x = Item()
    base = sys.getrefcount(x)
    s = LockFreeStack()
    for _ in range(3):
        s.push(item=x)
    assert sys.getrefcount(x) == base + 3
    assert s.pop() is x
    assert sys.getrefcount(x) == base + 2  # the node's reference went to the caller, who dropped it
    del s
    assert sys.getrefcount(x) == base


def test_million_items_created_and_dropped():
    x, s = Item(), LockFreeStack()
    base, push = sys.getrefcount(x), s.push
    for _ in range(1_000_000):
        push(x)
    assert s.size() == 1_000_000 and sys.getrefcount(x) == base + 1_000_000
    gc.collect()  # the collector walks every node
    del s, push
    assert sys.getrefcount(x) == base and not Item.twice


def test_nested_stacks_are_destroyed_without_recursion():
    s = LockFreeStack()
    for _ in range(200_000):
        outer = LockFreeStack()
        outer.push(s)
        s = outer
    del s, outer


def test_cycles_through_items_are_collected():
    class Pusher(Item):
        def __del__(self):
            self.stack.push(Item())  # pushes while the collector tears the cycle down
            super().__del__()

    before = Item.live
    x, p, s = Item(), Pusher(), LockFreeStack()
    x.stack = p.stack = s
    s.push(x)
    s.push(p)
    ref = weakref.ref(x)
    del x, p, s
    gc.collect()
    assert ref() is None and Item.live == before and not Item.twice


def test_threads_pushing_and_popping_account_for_every_item():
    s, n, per = LockFreeStack(), 4, 20_000
    popped = [[] for _ in range(n)]
    barrier = threading.Barrier(n)

    def work(k):
        barrier.wait()
        for i in range(per):
            s.push((k, i))
            if i % 3 == 0:
                popped[k].append(s.pop())
            s.size()

    threads = [threading.Thread(target=work, args=(k,)) for k in range(n)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    rest = []
    while not s.is_empty():
        rest.append(s.pop())
    seen = [v for chunk in popped for v in chunk] + rest
    assert len(seen) == n * per and set(seen) == {(k, i) for k in range(n) for i in range(per)}
    assert s.size() == 0


class StackModel(RuleBasedStateMachine):
    """The stack against a Python list, compared after every step."""

    def __init__(self):
        super().__init__()
        self.stack, self.model = LockFreeStack(), []

    @rule(none=st.booleans())
    def push(self, none):
        item = None if none else Item()
        self.stack.push(item)
        self.model.append(item)

    @rule()
    def pop(self):
        assert self.stack.pop() is (self.model.pop() if self.model else None)

    @rule()
    def rebuild(self):
        self.stack = LockFreeStack()
        for item in self.model:
            self.stack.push(item)

    @invariant()
    def agrees(self):
        assert self.stack.size() == len(self.model) and self.stack.is_empty() is (not self.model)
        assert not Item.twice


StackModel.TestCase.settings = settings(max_examples=200, stateful_step_count=30, deadline=None)
TestStackModel = StackModel.TestCase
