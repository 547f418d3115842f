"""The minimal CallLedger, alone and driving a CompileGate through its cycle."""

import threading

import pytest

from velkora.jit import compile_gate
from velkora.jit.call_ledger import CallLedger
from velkora.jit.compile_gate import CompileGate, FunctionMetrics


def fields(m):
    return (m.call_count, m.compile_count, m.avg_speedup, m.total_execution_time_ms, m.last_compiled)


def test_unseen_function_gets_a_fresh_zero_record():
    ledger = CallLedger()
    first, second = ledger.get_metrics("f"), ledger.get_metrics("f")
    assert type(first) is FunctionMetrics and first is not second
    assert fields(first) == (0, 0, 1.0, 0.0, 0.0)


def test_records_calls_and_compilations():
    ledger = CallLedger()
    for ms in (1.5, 2.5, 1):
        ledger.record_call("f", ms)
    ledger.record_call(None)
    ledger.record_compilation("f", 3.0, timestamp=50.0)
    ledger.record_compilation("f", 1.0, timestamp=60)
    assert fields(ledger.get_metrics("f")) == (3, 2, 2.0, 5.0, 60.0)
    assert fields(ledger.get_metrics(None)) == (1, 0, 1.0, 0.0, 0.0)


def test_mean_speedup_and_snapshots():
    ledger = CallLedger()
    for s in (1.0, 2.0, 6.0):
        ledger.record_compilation("f", s, timestamp=1.0)
    snap = ledger.get_metrics("f")
    assert snap.avg_speedup == pytest.approx(3.0)
    ledger.record_call("f")
    snap.call_count = 99
    assert ledger.get_metrics("f").call_count == 1  # a snapshot, not the stored record


def test_drives_the_gate_through_its_cycle(monkeypatch):
    class Clock:
        now = 10_000.0

        def time(self):
            return self.now

    clock = Clock()
    monkeypatch.setattr(compile_gate, "time", clock)
    gate, ledger = CompileGate(), CallLedger()
    for _ in range(99):
        ledger.record_call("f")
    assert gate.should_compile("f", ledger) is False
    ledger.record_call("f")
    assert gate.should_compile("f", ledger) is True
    ledger.record_compilation("f", 3.0, timestamp=clock.now)
    gate.update("f", ledger)
    assert gate.get_threshold("f") == 91
    assert gate.should_compile("f", ledger) is False  # compiled just now
    clock.now += 600
    assert gate.should_compile("f", ledger) is True


def test_concurrent_calls_are_all_counted():
    ledger, n, per = CallLedger(), 4, 2000
    barrier = threading.Barrier(n)

    def work():
        barrier.wait()
        for _ in range(per):
            ledger.record_call("f", 1.0)

    threads = [threading.Thread(target=work) for _ in range(n)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    m = ledger.get_metrics("f")
    assert (m.call_count, m.total_execution_time_ms) == (n * per, float(n * per))
