"""The measurements behind "auto": source evidence, the first items, the ledger."""

import ast
import functools

import pytest

import parallel_workloads as w
from velkora.parallel import probe
from velkora.parallel.decision import Host, Profile


@pytest.mark.parametrize("source, why", [
    ("def f(x):\n    s = 0\n    for i in range(x):\n        s += i\n    return s\n", ""),   # own loop state
    ("def f(x, out):\n    out.append(x)\n", ""),                 # its argument: the caller's business
    ("def f(x):\n    seen = set()\n    seen.add(x)\n    d = {}\n    d[x] = 1\n", ""),
    ("def f(x):\n    import json\n    return json.dumps(x)\n", ""),
    ("def f(x):\n    def g():\n        nonlocal x\n    return x\n", ""),       # nested: its own body
    ("def f(x):\n    global total\n    total += x\n", "global total"),
    ("def f(x):\n    results.append(x)\n", "changes results"),
    ("def f(x):\n    cache[x] = x * x\n", "changes cache"),
    ("def f(x):\n    state.count = x\n", "changes state"),
    ("def f(x):\n    del registry[x]\n", "changes registry"),
])
def test_shared_state(source, why):
    found = probe.shared_state(ast.parse(source))
    assert (why in found) if why else found == ""


def test_static_evidence_reads_the_source_through_partials_and_methods():
    pattern, carries, why = probe.static_evidence(functools.partial(w.bump))
    assert carries and "global COUNTER" in why and pattern != "UNKNOWN"
    assert probe.static_evidence(w.square)[1] is False
    assert probe.static_evidence(len) == ("UNKNOWN", False, "no source")
    assert probe.static_evidence(lambda x: x)[2] == "a lambda"

    class Job:
        def __call__(self, x):
            return x

        def method(self, x):
            return x

    assert probe.target_of(Job()) is Job.__call__
    assert probe.target_of(Job().method) is Job.method


def test_ledger_remembers_a_function_by_its_code():
    ledger = probe.Ledger()
    make = [lambda x: x + k for k in range(2)]      # two closures, one code object
    ledger.put(make[0], Profile(item_seconds=1.0))
    assert ledger.get(make[1]).item_seconds == 1.0
    assert ledger.get(functools.partial(make[1], 3)).item_seconds == 1.0
    ledger.put(len, Profile(item_seconds=2.0))      # a builtin: keyed by itself
    assert ledger.get(len).item_seconds == 2.0
    ledger.forget(make[0])
    assert ledger.get(make[1]) is None and ledger.get(len) is not None
    ledger.forget()
    assert ledger.get(len) is None


def test_measure_runs_the_first_items_once_in_order():
    w.CALLS.clear()
    items = list(range(200))            # a millisecond each: timed alone, then on two threads
    result = probe.measure(w.slow_counted, items, Host(cores=2), ("MIXED", False, ""), try_pickle=True)
    done = len(result.results)
    assert 0 < done < len(items) and result.results == [x + 1 for x in range(done)]
    assert sorted(w.CALLS) == list(range(done))
    p = result.profile
    assert p.item_seconds > 0 and p.thread_gain is not None and p.picklable and p.arg_bytes > 0


def test_measure_reports_an_error_of_the_first_items_with_its_index():
    with pytest.raises(ValueError) as info:
        probe.measure(w.fail_at, list(range(4, 100)), Host(cores=2), ("MIXED", False, ""), try_pickle=False)
    assert "raised by item 3 of the map" in info.value.__notes__


def test_transfer_cost_counts_large_arrays_as_handles():
    np = pytest.importorskip("numpy")
    big = np.zeros(probe.LARGE_ARRAY_BYTES // 8 + 1)
    _, size, ok = probe.transfer_cost([(big, 1)], [0])
    assert ok and size < 1000
    assert probe.transfer_cost([threading_lock()], [0])[2] is False


def threading_lock():
    import threading

    return threading.Lock()


def test_worker_processes_know_they_are_workers():
    from velkora import parallel

    assert not probe.in_worker()
    assert parallel.map(w.in_worker, range(2), backend="processes", timeout=60) == [True, True]
