"""CompileGate: the decision, threshold learning, statistics, locking and the process-wide gate."""

import logging
import math
import pickle
import sys
import threading
import time
import types
from fractions import Fraction

import pytest
from hypothesis import settings, strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, rule

from velkora.jit import compile_gate
from velkora.jit.compile_gate import CompileGate, FunctionMetrics, PolicyConfig

NOW = 1_700_000_000.0
M = FunctionMetrics


class Ledger:
    """Stand-in call ledger returning one record for every function and noting each read."""

    def __init__(self, record):
        self.record, self.reads = record, []

    def get_metrics(self, func_id):
        self.reads.append(func_id)
        if isinstance(self.record, Exception):
            raise self.record
        return self.record


class Record:
    """A metrics record that is not a FunctionMetrics: read through its attributes."""

    def __init__(self, call_count=0, compile_count=0, avg_speedup=1.0, **extra):
        self.call_count, self.compile_count, self.avg_speedup = call_count, compile_count, avg_speedup
        self.__dict__.update(extra)


class Clock:
    def __init__(self):
        self.now = NOW

    def time(self):
        return self.now


class RecordingLock:
    """An injected lock noting every enter and exit, and the exception passed to exit."""

    def __init__(self):
        self.inner, self.depth, self.events = threading.Lock(), 0, []

    def __enter__(self):
        self.inner.acquire()
        self.depth += 1
        self.events.append("enter")

    def __exit__(self, exc_type, exc, tb):
        self.depth -= 1
        self.events.append("exit" if exc_type is None else f"exit:{exc_type.__name__}")
        self.inner.release()


@pytest.fixture
def clock(monkeypatch):
    c = Clock()
    monkeypatch.setattr(compile_gate, "time", c)
    return c


def fma(a, b, c):
    if not all(math.isfinite(v) for v in (a, b, c)):
        return a * b + c
    return float(Fraction(a) * Fraction(b) + Fraction(c))  # one correct rounding


def model_next(cur, compile_count, speedup, cfg):
    """Reference threshold update."""
    ratio = speedup / cfg.target_speedup if cfg.target_speedup > 0 else speedup
    step = cfg.learning_rate * cur
    adjustment = -step if ratio > 1.0 else step
    value = float(cur)
    if compile_count <= 10:
        value = fma(adjustment, fma(-float(compile_count), 0.1, 1.0), float(cur))
    if value < cfg.min_threshold:
        return cfg.min_threshold
    return int(value) if value <= cfg.max_threshold else cfg.max_threshold


def learned(compile_count, speedup, **policy):
    gate = CompileGate()
    for name, value in policy.items():  # assignments are not validated
        setattr(gate.config, name, value)
    gate.update("f", Ledger(M(1, compile_count, speedup)))
    return gate.get_threshold("f")


@pytest.mark.parametrize(
    "record, expected",
    [(M(99, 0), False), (M(100, 0), True), (M(2**64 - 1, 0), True),
     (M(500, 1, last_compiled=NOW - 599), False), (M(500, 1, last_compiled=NOW - 600), True),
     (M(500, 1, last_compiled=NOW - 599.9999), False), (M(500, 7, last_compiled=NOW + 10), False),
     (M(500, 1, last_compiled=math.nan), False), (M(99, 1), False),
     (Record(500, 1, last_compiled=NOW - 599), False), (Record(500, 1, last_compiled=NOW - 600), True),
     (Record(500, 1), True), (Record(True, 0.0), False), (Record(100.9, 0), True)],
)
def test_should_compile(clock, record, expected):
    ledger = Ledger(record)
    assert CompileGate().should_compile("f", ledger) is expected
    assert ledger.reads == ["f"]


@pytest.mark.parametrize("initial, calls, expected",
                         [(-1, 2**64 - 2, False), (-1, 2**64 - 1, True), (-(2**31), 2**63, False), (0, 0, True)])
def test_threshold_sign_extended_and_compared_unsigned(clock, initial, calls, expected):
    gate = CompileGate()
    gate.config.initial_threshold = initial
    assert gate.should_compile(None, Ledger(M(calls, 0))) is expected


@pytest.mark.parametrize("now, exc", [(5, None), (Fraction(NOW), None), ("now", TypeError)])
def test_clock_is_read_before_the_ledger(clock, now, exc):
    clock.now, ledger = now, Ledger(M(500, 0))
    if exc is None:
        assert CompileGate().should_compile("f", ledger) is True
    else:
        with pytest.raises(exc):
            CompileGate().should_compile("f", ledger)
        assert ledger.reads == []


def test_patched_time_function_is_seen(monkeypatch):
    gate, ledger = CompileGate(), Ledger(M(500, 1, last_compiled=time.time() - 700))
    assert gate.should_compile("f", ledger) is True
    monkeypatch.setattr(time, "time", lambda: 0.0)  # the real module's function, not the global
    assert gate.should_compile("f", ledger) is False


@pytest.mark.parametrize(
    "compile_count, speedup, expected",
    [(1, 3.0, 91), (1, 2.0, 109), (1, 1.0, 109), (2, 1.0, 108), (3, 3.0, 93), (5, 3.0, 95), (9, 1.0, 101),
     (10, 3.0, 100), (11, 0.0, 100), (2**32 - 1, 9.0, 100), (1, math.nan, 109), (1, 2.0000000000000004, 91)],
)
def test_worked_values(compile_count, speedup, expected):
    assert learned(compile_count, speedup) == expected


@pytest.mark.parametrize(
    "speedup, policy, expected",
    [(3.0, dict(initial_threshold=15), 13), (3.0, dict(initial_threshold=10), 10),
     (1.0, dict(initial_threshold=10000), 10000), (1.0, dict(initial_threshold=9000), 9810),
     (3.0, dict(learning_rate=math.nan), 10000), (3.0, dict(learning_rate=20.0), 10),
     (3.0, dict(target_speedup=0.0), 91), (2.5, dict(target_speedup=3.0), 109),
     (3.0, dict(min_threshold=20000), 20000), (1.0, dict(min_threshold=20000, initial_threshold=20000), 10000)],
)
def test_clamping_and_reconfigured_policies(speedup, policy, expected):
    assert learned(1, speedup, **policy) == expected


@pytest.mark.parametrize(
    "compile_count, speedup, policy, expected",  # separate roundings would give 19, 509, 55, 223
    [(1, 3.0, dict(learning_rate=0.9), 18), (6, 1.0, dict(learning_rate=0.9, initial_threshold=375), 510),
     (2, 3.0, dict(learning_rate=0.7, initial_threshold=125), 54),
     (6, 1.0, dict(learning_rate=0.7, initial_threshold=175), 224)],
)
def test_fused_steps_round_once(compile_count, speedup, policy, expected):
    assert learned(compile_count, speedup, **policy) == expected


def test_zero_compile_count_and_statistics(caplog):
    gate = CompileGate()
    empty = {"tracked_functions": 0, "avg_threshold": 100, "min_threshold": 10, "max_threshold": 10000}
    with caplog.at_level(logging.DEBUG, logger="velkora.jit.compile_gate"):
        assert gate.update("f", Ledger(M(500, 0, 9.0))) is None
        assert gate.update("g", Ledger(Record(500, 0.0, "unused"))) is None
    assert caplog.records == [] and gate.get_statistics() == empty
    gate.update("f", Ledger(M(1, 1, 3.0)))
    stats = gate.get_statistics()
    assert stats == {"tracked_functions": 1, "avg_threshold": 91.0, "min_threshold": 91, "max_threshold": 91}
    assert list(stats) == list(empty) and type(stats["avg_threshold"]) is float
    gate.update(None, Ledger(M(1, 1, 1.0)))
    assert gate.get_statistics() == {"tracked_functions": 2, "avg_threshold": 100.0, "min_threshold": 91,
                                     "max_threshold": 109}
    assert gate.get_threshold(None) == 109 and gate.get_threshold("None") == 100


def test_entries_made_without_learning_shadow_the_configuration():
    gate = CompileGate()
    gate.update("f", Ledger(M(1, 11, 3.0)))
    gate.config.initial_threshold = 500
    assert (gate.get_threshold("f"), gate.get_threshold("g")) == (100, 500)


@pytest.mark.parametrize(
    "record, exc",
    [(LookupError("f"), LookupError), (None, AttributeError), (Record(1, 1, "fast"), TypeError),
     (Record(1, 2**32, 2.0), OverflowError), (types.SimpleNamespace(compile_count=1), AttributeError)],
)
@pytest.mark.parametrize("method", ["should_compile", "update"])
def test_bad_records_raise_and_leave_the_gate_usable(clock, record, exc, method):
    gate = CompileGate()
    with pytest.raises(exc):
        getattr(gate, method)("f", Ledger(record))
    assert gate.get_statistics()["tracked_functions"] == 0
    done = []  # the genuine lock was released: another thread gets through
    t = threading.Thread(target=lambda: done.append(gate.update("f", Ledger(M(1, 1, 3.0)))))
    t.start()
    t.join(10)
    assert done == [None] and gate.get_threshold("f") == 91


@pytest.mark.parametrize(
    "func_id, speedup, text",
    [("f", 3.0, "Updated threshold for f: 100 -> 91 (speedup: 3.00x)"),
     (None, 1.0, "Updated threshold for None: 100 -> 109 (speedup: 1.00x)"),
     ("ünï%s", 2.345, "Updated threshold for ünï%s: 100 -> 91 (speedup: 2.35x)"),
     ("f", -0.001, "Updated threshold for f: 100 -> 109 (speedup: -0.00x)")],
)
def test_debug_line(caplog, func_id, speedup, text):
    with caplog.at_level(logging.DEBUG, logger="velkora.jit.compile_gate"):
        CompileGate().update(func_id, Ledger(M(1, 1, speedup)))
    assert [(r.name, r.levelno, r.getMessage()) for r in caplog.records] == [
        ("velkora.jit.compile_gate", logging.DEBUG, text)]


def test_logger_looked_up_at_call_and_line_built_only_when_enabled(monkeypatch):
    calls = []
    quiet = types.SimpleNamespace(isEnabledFor=lambda level: calls.append(level) or False, debug=calls.append)
    monkeypatch.setattr(compile_gate, "logger", quiet)
    CompileGate().update("f", Ledger(M(1, 1, 3.0)))
    assert calls == [logging.DEBUG]
    monkeypatch.setattr(compile_gate, "logger", types.SimpleNamespace(debug=calls.append))
    CompileGate().update("f", Ledger(M(1, 1, 3.0)))
    assert calls[-1] == "Updated threshold for f: 100 -> 91 (speedup: 3.00x)"


class Str(str):
    pass


@pytest.mark.parametrize("bad", [5, b"f", Str("f")])
@pytest.mark.parametrize("method", ["should_compile", "update", "get_threshold"])
def test_non_str_identifier_raises_before_the_ledger(bad, method):
    gate, ledger = CompileGate(), Ledger(M(500, 1, 3.0))
    with pytest.raises(TypeError, match="must be str or None"):
        getattr(gate, method)(*((bad,) if method == "get_threshold" else (bad, ledger)))
    assert ledger.reads == []


def test_constructor_forms_and_config():
    cfg = PolicyConfig(initial_threshold=20)
    assert CompileGate(cfg).config is cfg and CompileGate(config=cfg).config is cfg
    assert CompileGate().config.initial_threshold == 100
    built = CompileGate(types.SimpleNamespace(initial_threshold=50)).config
    assert (built.initial_threshold, built.min_threshold, built.max_threshold, built.learning_rate,
            built.target_speedup) == (50, 10, 10000, 0.1, 2.0)
    assert CompileGate({"initial_threshold": 50}).config.initial_threshold == 100  # keys are not attributes
    with pytest.raises(ValueError, match="initial_threshold must be within bounds"):
        CompileGate(types.SimpleNamespace(initial_threshold=5))
    gate = CompileGate()
    with pytest.raises(AttributeError):
        gate.config = cfg
    gate.config.initial_threshold = 200
    assert gate.get_threshold("unseen") == 200
    with pytest.raises(TypeError):
        pickle.dumps(gate)


def test_config_attributes_read_in_order_and_errors_propagate():
    seen = []

    class Source:
        def __getattr__(self, name):
            seen.append(name)
            raise AttributeError(name) if name != "learning_rate" else KeyError(name)

    with pytest.raises(KeyError):
        CompileGate(Source())
    assert seen == ["initial_threshold", "min_threshold", "max_threshold", "learning_rate"]


def test_subclassed_config_attribute_read_by_get_threshold():
    class Tuned(PolicyConfig):
        initial_threshold = property(lambda self: 77.9)

    assert CompileGate(Tuned()).get_threshold("f") == 77


def test_uninitialised_and_reinitialised_gates():
    with pytest.raises(RuntimeError):
        CompileGate.__new__(CompileGate).get_threshold("f")
    gate = CompileGate()
    gate.update("f", Ledger(M(1, 1, 3.0)))
    gate.__init__(PolicyConfig(initial_threshold=40))
    assert gate.get_threshold("f") == 40 and gate.get_statistics()["tracked_functions"] == 0


def test_injected_lock_sees_every_section(monkeypatch, clock):
    lock = RecordingLock()
    monkeypatch.setattr(compile_gate, "threading", types.SimpleNamespace(Lock=lambda: lock))
    gate, depths = CompileGate(), []

    class Watching:
        def get_metrics(self, func_id):
            depths.append(lock.depth)
            return M(500, 1, 3.0)

    gate.should_compile("f", Watching())
    gate.update("f", Watching())
    gate.get_threshold("f")
    gate.get_statistics()
    with pytest.raises(AttributeError):
        gate.update("f", Ledger(None))
    assert depths == [1, 1]  # the ledger is read with the lock held
    assert lock.events == ["enter", "exit"] * 4 + ["enter", "exit:AttributeError"]


def test_readers_wait_for_a_paused_ledger():
    gate, inside, resume, results = CompileGate(), threading.Event(), threading.Event(), []

    class Slow:
        def get_metrics(self, func_id):
            inside.set()
            resume.wait(10)
            return M(1, 1, 3.0)

    writer = threading.Thread(target=gate.update, args=("f", Slow()))
    writer.start()
    assert inside.wait(10)
    reader = threading.Thread(target=lambda: results.append(gate.get_threshold("f")))
    reader.start()
    reader.join(0.2)
    assert reader.is_alive()  # blocked on the held lock instead of reading mid-update
    resume.set()
    writer.join(10)
    reader.join(10)
    assert results == [91]


def test_threads_lose_no_update():
    gate = CompileGate(PolicyConfig(max_threshold=2**31 - 1))
    n_threads, per_thread = 4, 40
    barrier = threading.Barrier(n_threads)

    class Yielding:
        def get_metrics(self, func_id):
            time.sleep(0)  # let other threads run while the gate's lock is held
            return M(1, 1, 1.0)

    def work():
        barrier.wait()
        for _ in range(per_thread):
            gate.update("f", Yielding())
            gate.should_compile("f", Yielding())

    threads = [threading.Thread(target=work) for _ in range(n_threads)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    expected = 100
    for _ in range(n_threads * per_thread):
        expected = model_next(expected, 1, 1.0, gate.config)
    assert gate.get_threshold("f") == expected


def test_process_wide_gate(monkeypatch):
    compile_gate.reset_compile_gate()
    barrier, got = threading.Barrier(4), []
    threads = [threading.Thread(target=lambda: (barrier.wait(), got.append(compile_gate.get_compile_gate())))
               for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(10)
    first = got[0]
    assert len(got) == 4 and all(g is first for g in got) and compile_gate.get_compile_gate() is first
    first.update("f", Ledger(M(1, 1, 3.0)))
    assert compile_gate.reset_compile_gate() is None
    second = compile_gate.get_compile_gate()
    assert second is not first and second.get_statistics()["tracked_functions"] == 0
    assert first.get_threshold("f") == 91  # old holders keep a working gate
    with pytest.raises(TypeError):
        compile_gate.get_compile_gate(1)
    lock = RecordingLock()
    monkeypatch.setattr(compile_gate, "_policy_lock", lock)  # looked up by name at each call
    compile_gate.reset_compile_gate()
    compile_gate.get_compile_gate()
    assert lock.events == ["enter", "exit"] * 2
    compile_gate.reset_compile_gate()


def test_references_are_not_leaked(clock):
    gate, record, key = CompileGate(), M(500, 1, 3.0), "leak-check"
    ledger = types.SimpleNamespace(get_metrics=lambda func_id: record)
    gate.update(key, ledger)
    before = (sys.getrefcount(record), sys.getrefcount(ledger), sys.getrefcount(key))
    for _ in range(1000):
        gate.should_compile(key, ledger)
        gate.update(key, ledger)
        gate.get_threshold(key)
    assert (sys.getrefcount(record), sys.getrefcount(ledger), sys.getrefcount(key)) == before


class GateMachine(RuleBasedStateMachine):
    """The gate against a dictionary model, with the configuration changing underneath."""

    ids = st.sampled_from(["a", "b", None])

    @initialize()
    def setup(self):
        self.gate, self.model = CompileGate(), {}
        self.saved_time, compile_gate.time = compile_gate.time, Clock()

    def teardown(self):
        compile_gate.time = self.saved_time

    def threshold(self, func_id):
        return self.model.get(func_id, self.gate.config.initial_threshold)

    @rule(func_id=ids, compile_count=st.integers(0, 12), speedup=st.sampled_from([0.5, 1.0, 2.0, 2.5, 4.0]))
    def update(self, func_id, compile_count, speedup):
        self.gate.update(func_id, Ledger(M(1, compile_count, speedup)))
        if compile_count:
            self.model[func_id] = model_next(self.threshold(func_id), compile_count, speedup, self.gate.config)

    @rule(func_id=ids, calls=st.integers(0, 20000), compiles=st.integers(0, 3), age=st.sampled_from([0, 599, 600]))
    def should_compile(self, func_id, calls, compiles, age):
        expected = calls >= self.threshold(func_id) and (compiles == 0 or age >= 600)
        assert self.gate.should_compile(func_id, Ledger(M(calls, compiles, last_compiled=NOW - age))) is expected

    @rule(value=st.integers(10, 10000))
    def reconfigure(self, value):
        self.gate.config.initial_threshold = value

    @invariant()
    def tables_agree(self):
        assert [self.gate.get_threshold(f) for f in ("a", "b", None)] == [self.threshold(f) for f in ("a", "b", None)]
        values, stats = list(self.model.values()), self.gate.get_statistics()
        assert stats["tracked_functions"] == len(values)
        if values:
            assert (stats["avg_threshold"], stats["min_threshold"], stats["max_threshold"]) == (
                sum(values) / len(values), min(values), max(values))


TestGateMachine = GateMachine.TestCase
TestGateMachine.settings = settings(max_examples=50, stateful_step_count=30, deadline=None)
