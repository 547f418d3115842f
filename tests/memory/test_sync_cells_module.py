"""The module frame around the cells: order, pickling, subclassing and injected locks."""

import copy
import pickle
import types

import pytest

from velkora.memory import sync_cells
from velkora.memory.sync_cells import AtomicPointer, LockFreeStack, LockFreeStatistics, PerformanceTimer

CELLS = [AtomicPointer, LockFreeStack, LockFreeStatistics, PerformanceTimer]


def test_namespace_order():
    assert [n for n in vars(sync_cells) if not n.startswith("__")] == [
        "AtomicCounter", "AtomicPointer", "LockFreeStack", "LockFreeStatistics", "PerformanceTimer",
        "threading", "time", "Optional", "TypeVar", "Generic", "AtomicCounterWrapper", "logging", "logger",
        "NATIVE_ATOMICS_AVAILABLE",
    ]


@pytest.mark.parametrize("cls", CELLS)
@pytest.mark.parametrize("action", [pickle.dumps, copy.copy, copy.deepcopy, lambda o: o.__setstate__({})])
def test_refuses_pickling_and_copying(cls, action):
    with pytest.raises(TypeError):
        action(cls())


@pytest.mark.parametrize("call_base_init", [True, False])
def test_subclasses_work_with_or_without_the_base_init(call_base_init):
    def init(self, a, b=0):
        if call_base_init:
            pointer = isinstance(self, AtomicPointer)  # the others ignore their arguments
            super(type(self), self).__init__(*((a,) if pointer else (a, b)), **({} if pointer else {"x": 1}))
        self.tag = a

    p, s, st, t = (type(c.__name__, (c,), {"__init__": init})("arg") for c in CELLS)
    assert p.load() == ("arg" if call_base_init else None) and p.get_version() == 0
    p.store(1)
    s.push(2)
    st.record_allocation(5)
    t.start()
    assert (p.load(), s.pop(), st.get_snapshot()["bytes_allocated"], t.tag) == (1, 2, 5, "arg")


class CountingLock:
    made = []

    def __init__(self):
        self.events, self.fail = [], None
        CountingLock.made.append(self)

    def __enter__(self):
        if self.fail == "enter":
            raise RuntimeError("enter")
        self.events.append("enter")

    def __exit__(self, *exc):
        self.events.append("exit")
        if self.fail == "exit":
            raise RuntimeError("exit")


@pytest.fixture
def locks(monkeypatch):
    CountingLock.made = []
    monkeypatch.setattr(sync_cells, "threading", types.SimpleNamespace(Lock=CountingLock))
    return CountingLock.made


def test_injected_lock_sees_every_section(locks):
    p, s, st = AtomicPointer(), LockFreeStack(), LockFreeStatistics()
    p.load(), p.store(1), p.compare_and_swap(1, 2), p.compare_and_swap(1, 3), p.get_version()
    s.push(1), s.pop(), s.pop(), s.is_empty(), s.size()
    st.record_allocation(1), st.record_deallocation(1), st.get_snapshot(), st.reset()
    assert [lock.events for lock in locks] == [["enter", "exit"] * 5, ["enter", "exit"] * 4, ["enter", "exit"]]


@pytest.mark.parametrize("fail", ["enter", "exit"])
def test_failing_injected_lock(locks, fail):
    x = object()
    p, s, st = AtomicPointer("kept"), LockFreeStack(), LockFreeStatistics()
    st.record_allocation(3)
    for lock in locks:
        lock.fail = fail
    for call in (lambda: p.store(x), lambda: s.push(x), st.reset):
        with pytest.raises(RuntimeError, match=fail):
            call()
    for lock in locks:
        lock.fail = None
    changed = fail == "exit"  # an error on leaving comes after the change
    assert (p.load() is x, s.size(), st.total_allocations.load()) == (changed, int(changed), 1 - changed)


def test_reset_leaves_the_lock_when_a_counter_fails(locks):
    st = LockFreeStatistics()
    st.bytes_reserved = object()
    with pytest.raises(AttributeError):
        st.reset()
    assert locks[0].events == ["enter", "exit"] and st.total_allocations.load() == 0
