"""AtomicCounter, AtomicCounterWrapper and the module frame; also exercises the shared binding layer."""

import copy
import pickle
import threading

import pytest

from doubles import IntLike
from velkora.memory import sync_cells
from velkora.memory.sync_cells import AtomicCounter, AtomicCounterWrapper

I64_MIN, I64_MAX = -(2**63), 2**63 - 1


class IndexOnly:
    def __index__(self):
        return 7


class BadInt:
    def __int__(self):
        raise RuntimeError("boom")


class WrongInt:
    def __int__(self):
        return "x"


def test_namespace_and_flags():
    for name in ("threading", "time", "logging"):
        assert getattr(sync_cells, name).__name__ == name
    import typing

    assert sync_cells.Optional is typing.Optional
    assert sync_cells.TypeVar is typing.TypeVar and sync_cells.Generic is typing.Generic
    assert sync_cells.logger.name == "velkora.memory.sync_cells"
    assert sync_cells.NATIVE_ATOMICS_AVAILABLE is True
    assert AtomicCounterWrapper.__module__ == "velkora.memory.sync_cells"
    assert AtomicCounterWrapper.__qualname__ == "AtomicCounterWrapper"
    assert "backward compatibility" in AtomicCounterWrapper.__doc__


def test_load_line_logged_at_import(run_python):
    proc = run_python(
        "import logging; logging.basicConfig(level=logging.INFO, format='%(name)s|%(levelname)s|%(message)s')\n"
        "import velkora.memory.sync_cells"
    )
    lines = [l for l in proc.stderr.splitlines() if l.startswith("velkora.memory.sync_cells|")]
    assert len(lines) == 1
    assert lines[0].startswith("velkora.memory.sync_cells|INFO|")
    assert "10-20x" in lines[0]


@pytest.mark.parametrize("alias", ["load", "store", "increment", "decrement", "compare_and_swap", "fetch_and_add"])
def test_py_aliases_are_the_same_objects(alias):
    assert getattr(AtomicCounter, "py_" + alias) is getattr(AtomicCounter, alias)


def test_documented_sequence():
    c = AtomicCounter(5)
    assert [c.increment(), c.increment(3), c.decrement(), c.decrement(delta=10), c.fetch_and_add(4), c.load()] == [
        6, 9, 8, -2, -2, 2
    ]
    assert c.compare_and_swap(2, 7) is True and c.load() == 7
    assert c.compare_and_swap(2, 9) is False and c.load() == 7
    assert c.compare_and_swap(expected=7, new_value=1) is True and c.load() == 1
    assert c.store(3) is None and c.load() == 3


@pytest.mark.parametrize(
    "start, op, arg, result, after",
    [
        (I64_MAX, "increment", 1, I64_MIN, I64_MIN),
        (I64_MIN, "decrement", 1, I64_MAX, I64_MAX),
        (I64_MAX, "fetch_and_add", 1, I64_MAX, I64_MIN),
        (I64_MIN, "decrement", I64_MIN, 0, 0),
        (0, "increment", I64_MIN, I64_MIN, I64_MIN),
        (-1, "decrement", I64_MAX, I64_MIN, I64_MIN),
    ],
)
def test_wraps_modulo_2_64(start, op, arg, result, after):
    c = AtomicCounter(start)
    assert getattr(c, op)(arg) == result
    assert c.load() == after


@pytest.mark.parametrize(
    "value, expected",
    [(0, 0), (True, 1), (False, 0), (2.9, 2), (-2.9, -2), (IntLike(11), 11), (IndexOnly(), 7),
     (I64_MIN, I64_MIN), (I64_MAX, I64_MAX)],
)
def test_integer_conversions(value, expected):
    assert AtomicCounter(value).load() == expected
    c = AtomicCounter()
    c.store(value)
    assert c.load() == expected


@pytest.mark.parametrize(
    "value, exc",
    [(None, TypeError), ("1", TypeError), (b"1", TypeError), ([1], TypeError), (2**63, OverflowError),
     (-(2**63) - 1, OverflowError), (2**100, OverflowError), (float("inf"), OverflowError),
     (float("nan"), ValueError), (BadInt(), RuntimeError), (WrongInt(), TypeError), (IntLike(2**64), OverflowError)],
)
@pytest.mark.parametrize("call", ["init", "store", "increment", "decrement", "fetch_and_add", "cas"])
def test_bad_values_leave_counter_unchanged(value, exc, call):
    c = AtomicCounter(42)
    with pytest.raises(exc):
        if call == "init":
            AtomicCounter(value)
        elif call == "cas":
            c.compare_and_swap(42, value)
        else:
            getattr(c, call)(value)
    assert c.load() == 42


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda c: c.fetch_and_add(), "fetch_and_add() missing required argument 'delta' (pos 1)"),
        (lambda c: c.compare_and_swap(1), "compare_and_swap() missing required argument 'new_value' (pos 2)"),
        (lambda c: c.compare_and_swap(new_value=1), "compare_and_swap() missing required argument 'expected' (pos 1)"),
        (lambda c: c.increment(1, 2), "increment() takes at most 1 argument (2 given)"),
        (lambda c: c.compare_and_swap(1, 2, 3), "compare_and_swap() takes exactly 2 arguments (3 given)"),
        (lambda c: c.increment(1, delta=2), "increment() got multiple values for argument 'delta'"),
        (lambda c: c.store(x=1), "store() got an unexpected keyword argument 'x'"),
        (lambda c: c.store(1, x=1), "store() got an unexpected keyword argument 'x'"),
        (lambda c: AtomicCounter(1, 2), "AtomicCounter() takes at most 1 argument (2 given)"),
        (lambda c: AtomicCounter(initial_value=1, x=2), "AtomicCounter() got an unexpected keyword argument 'x'"),
        (lambda c: c.load(1), "takes no arguments"),
        (lambda c: c.load(x=1), "takes no keyword arguments"),
        (lambda c: c.store(None), "store() argument 'value' must be int, not NoneType"),
    ],
)
def test_binding_errors(call, message):
    c = AtomicCounter(3)
    with pytest.raises(TypeError) as info:
        call(c)
    assert message in str(info.value)
    assert c.load() == 3


def test_keyword_arguments_bind_by_name():
    c = AtomicCounter(initial_value=-3)
    assert c.load() == -3
    assert c.increment(delta=4) == 1
    assert c.fetch_and_add(delta=2) == 1
    assert c.compare_and_swap(new_value=9, expected=3) is True
    assert c.load() == 9
    assert c.increment(**{"delta": 1}) == 10


def test_refuses_pickling_and_copying():
    c = AtomicCounter(1)
    for action in (pickle.dumps, copy.copy, copy.deepcopy, lambda o: o.__reduce__(), lambda o: o.__setstate__({})):
        with pytest.raises(TypeError):
            action(c)
    with pytest.raises(TypeError):
        pickle.dumps(AtomicCounterWrapper(1))


def test_subclass_keeps_native_behaviour():
    class Tracked(AtomicCounter):
        def __init__(self, start):
            super().__init__(start * 2)
            self.note = "x"

        def increment(self, delta=1):
            return super().increment(delta) + 1000

    t = Tracked(4)
    assert t.load() == 8 and t.note == "x"
    assert t.increment() == 1009
    assert t.py_increment() == 10  # the alias is the native method, not the override


def test_eight_threads_exact_and_distinct():
    c = AtomicCounter()
    n, per = 8, 100_000
    seen = [None] * n
    barrier = threading.Barrier(n)

    def work(i):
        barrier.wait()
        inc = c.increment
        seen[i] = [inc() for _ in range(per)]

    threads = [threading.Thread(target=work, args=(i,)) for i in range(n)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert c.load() == n * per
    values = [v for chunk in seen for v in chunk]
    assert len(set(values)) == n * per and min(values) == 1 and max(values) == n * per


class TestWrapper:
    def test_forwards_to_counter(self):
        w = AtomicCounterWrapper()
        assert w.load() == 0
        assert w.increment() == 1 and w.increment(3) == 4 and w.decrement() == 3
        assert w.fetch_and_add(2) == 3 and w.load() == 5
        assert w.compare_and_swap(5, 1) is True and w.load() == 1
        assert w.store(8) is None and w.load() == 8
        assert type(w._counter) is AtomicCounter

    @pytest.mark.parametrize("value, expected", [(2.7, 2), (True, 1), (IntLike(4), 4)])
    def test_python_int_parameters(self, value, expected):
        assert AtomicCounterWrapper(value).load() == expected
        w = AtomicCounterWrapper()
        assert w.increment(value) == expected

    @pytest.mark.parametrize("value", ["a", None, b"1", [1]])
    def test_non_numbers_raise_type_error(self, value):
        with pytest.raises(TypeError):
            AtomicCounterWrapper(value)

    def test_replaced_counter_redirects_and_results_pass_through_int(self):
        class Fake:
            def py_load(self):
                return 3.9

            def py_increment(self, d):
                return "nope"

        w = AtomicCounterWrapper()
        w._counter = Fake()
        assert w.load() == 3 and type(w.load()) is int
        with pytest.raises(TypeError):
            w.increment()
