"""velkora.parallel.map end to end: real threads and worker processes, few and bounded in time."""

import functools
import os
import subprocess
import sys
import textwrap
import threading
import warnings

import pytest

import parallel_workloads as w
from velkora import parallel
from velkora.parallel import api, probe
from velkora.parallel.decision import Profile

# A profile that makes "auto" pick processes without timing anything.
HEAVY = Profile(item_seconds=0.05, cpu_fraction=1.0, thread_gain=1.0, picklable=True, probed_items=3)
LIMIT = 60          # no map here may hang: each fails after this long instead


@pytest.fixture
def two_cores(monkeypatch):
    monkeypatch.setattr(api, "_cores", 2)


@pytest.mark.parametrize("backend", ["serial", "threads", "processes", "auto"])
@pytest.mark.parametrize("chunksize", [None, 3])
def test_results_in_input_order(backend, chunksize):
    items = (x for x in range(103))
    assert parallel.map(w.square, items, backend=backend, chunksize=chunksize,
                        timeout=LIMIT) == [x * x for x in range(103)]


@pytest.mark.parametrize("backend", ["serial", "threads", "processes"])
def test_an_item_error_arrives_as_its_own_type_naming_the_item(backend):
    with pytest.raises(ValueError, match="bad item 7") as info:
        parallel.map(w.fail_at, range(20), backend=backend, chunksize=2, timeout=LIMIT)
    assert any("item 7" in note for note in info.value.__notes__)
    if backend == "processes":
        assert isinstance(info.value.__cause__, parallel.RemoteTraceback)
        assert "fail_at" in str(info.value.__cause__) and "parallel_workloads.py" in str(info.value.__cause__)


@pytest.mark.parametrize("func, word", [(w.die_at, "exit"), (w.killed_at, "SIGKILL")],
                         ids=["os._exit", "SIGKILL"])
def test_a_dying_worker_raises_and_the_next_map_works(func, word):
    with pytest.raises(parallel.WorkerDied, match="died") as info:
        parallel.map(func, range(12), backend="processes", chunksize=1, timeout=LIMIT)
    assert word in str(info.value) or word in str(info.value.__cause__)
    assert parallel.map(w.square, range(10), backend="processes", timeout=LIMIT) == [x * x for x in range(10)]


def test_each_item_runs_once_and_the_probe_results_are_kept(monkeypatch):
    calls = []
    lock = threading.Lock()

    def record(x):
        with lock:
            calls.append(x)
        return -x

    parallel.ledger.forget(record)
    assert parallel.map(record, range(500)) == [-x for x in range(500)]
    assert sorted(calls) == list(range(500))
    assert parallel.ledger.get(record) is not None
    # Known now: a second map does not measure again.
    monkeypatch.setattr(probe, "measure", lambda *a, **k: pytest.fail("probed twice"))
    assert parallel.map(record, range(5)) == [0, -1, -2, -3, -4]


def test_calls_that_share_state_are_not_split(two_cores):
    w.COUNTER = 0
    parallel.ledger.forget(w.bump)
    d = parallel.explain(w.bump, range(10_000))
    assert d.backend == "serial" and "global COUNTER" in str(d)
    assert parallel.map(w.bump, range(5)) == [0, 1, 3, 6, 10]


def test_an_unpicklable_function_falls_back_to_threads_once(two_cores):
    guard = threading.Lock()

    def locked_square(x):
        with guard:
            return x * x

    parallel.ledger.put(locked_square, HEAVY)
    assert parallel.explain(locked_square, range(40)).backend == "processes"
    with pytest.warns(RuntimeWarning, match="cannot be pickled"):
        assert parallel.map(locked_square, range(40), timeout=LIMIT) == [x * x for x in range(40)]
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert parallel.map(locked_square, range(40), timeout=LIMIT) == [x * x for x in range(40)]
    with pytest.raises(TypeError, match="cannot be sent to a worker process.*lock"):
        parallel.map(locked_square, range(4), backend="processes")


def test_large_arrays_travel_once_through_shared_memory(two_cores, monkeypatch):
    np = pytest.importorskip("numpy")
    from velkora.parallel import sharing

    big = np.arange(300_000, dtype=np.float64)          # 2.3 MiB
    opened = []
    real = sharing.open_sharing

    def spy(total):
        s = real(total)
        share = s.share
        s.share = lambda a: opened.append(a.nbytes) or share(a)
        return s

    monkeypatch.setattr(sharing, "open_sharing", spy)
    before = set(os.listdir("/dev/shm")) if os.path.isdir("/dev/shm") else set()
    func = functools.partial(w.shared_view, big)
    out = parallel.map(func, range(0, 300_000, 10_000), backend="processes", chunksize=2, timeout=LIMIT)
    assert [v for _, v, _ in out] == [float(i) for i in range(0, 300_000, 10_000)]
    assert not any(owns for owns, _, _ in out)       # views, not unpickled copies
    assert opened == [big.nbytes]                    # copied once for the whole map
    after = set(os.listdir("/dev/shm")) if os.path.isdir("/dev/shm") else set()
    assert after - before == set()                   # and freed with it
    # Arrays inside the items are shared the same way, once per distinct array.
    opened.clear()
    out = parallel.map(functools.partial(w.shared_view, i=3), [big] * 6, backend="processes", chunksize=1,
                       timeout=LIMIT)
    assert out[0][:2] == (False, 3.0) and opened == [big.nbytes]
    # An array already in an arena travels as its handle: nothing is copied.
    arena = pytest.importorskip("velkora.memory.arena")
    opened.clear()
    with arena.SharedArena() as mine:
        shared = mine.asarray(big)
        for func, items in [(functools.partial(w.shared_view, shared), [5, 6]),
                            (functools.partial(w.shared_view, i=5), [shared, shared])]:
            out = parallel.map(func, items, backend="processes", chunksize=1, timeout=LIMIT)
            assert out[0][:2] == (False, 5.0) and opened == []


def test_interrupt_cancels_and_stops_the_workers(tmp_path):
    script = tmp_path / "interrupted.py"
    script.write_text(textwrap.dedent(f"""
        import os, signal, sys, threading, time
        sys.path.insert(0, {os.path.dirname(w.__file__)!r})
        import parallel_workloads as w
        from velkora import parallel
        pids = set(parallel.map(w.pid, range(40), backend="processes", workers=2, chunksize=1))
        threading.Timer(1.0, os.kill, (os.getpid(), signal.SIGINT)).start()
        t0 = time.monotonic()
        try:
            parallel.map(time.sleep, [0.5] * 40, backend="processes", workers=2, chunksize=1)
        except KeyboardInterrupt:
            print("interrupted after", round(time.monotonic() - t0, 1))
        deadline = time.monotonic() + 10
        alive = pids
        while alive and time.monotonic() < deadline:
            alive = {{p for p in alive if os.path.exists(f"/proc/{{p}}")
                      and open(f"/proc/{{p}}/stat").read().rsplit(")", 1)[1].split()[0] != "Z"}}
            time.sleep(0.05)
        print("alive", sorted(alive))
    """))
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    proc = subprocess.run([sys.executable, str(script)], capture_output=True, text=True, timeout=LIMIT,
                          env=env)
    assert "interrupted after" in proc.stdout, proc.stderr
    assert "alive []" in proc.stdout, proc.stdout + proc.stderr


@pytest.mark.parametrize("kwargs, error", [
    ({"backend": "gpus"}, ValueError), ({"chunksize": 0, "backend": "threads"}, ValueError),
    ({"workers": -1, "backend": "processes"}, ValueError),
])
def test_bad_arguments_are_named(kwargs, error):
    with pytest.raises(error, match=next(iter(k for k in kwargs if k != "backend"), "backend")):
        parallel.map(w.square, range(3), **kwargs)
    with pytest.raises(TypeError, match="callable"):
        parallel.map(3, range(3))


def test_without_the_arena_each_large_array_gets_a_segment_freed_after(two_cores, monkeypatch):
    np = pytest.importorskip("numpy")
    from velkora.parallel import sharing

    def unavailable(total):
        raise ImportError("no arena here")

    monkeypatch.setattr(sharing, "ArenaSharing", unavailable)
    big = np.arange(300_000, dtype=np.float64)
    before = set(os.listdir("/dev/shm"))
    out = parallel.map(functools.partial(w.shared_view, big), [7, 8, 9], backend="processes", chunksize=1,
                       timeout=LIMIT)
    assert [(owns, v) for owns, v, _ in out] == [(False, 7.0), (False, 8.0), (False, 9.0)]
    assert set(os.listdir("/dev/shm")) - before == set()


def test_a_large_function_goes_to_the_workers_once(monkeypatch):
    from velkora.parallel import _worker

    made = []
    real = _worker.SharedPayload.create.__func__

    monkeypatch.setattr(_worker.SharedPayload, "create",
                        classmethod(lambda cls, data: made.append(len(data)) or real(cls, data)))
    blob = b"x" * (2 << 20)
    before = set(os.listdir("/dev/shm"))
    out = parallel.map(functools.partial(w.sized, blob), range(8), backend="processes", chunksize=1,
                       timeout=LIMIT)
    assert out == [len(blob) + i for i in range(8)]
    assert len(made) == 1 and made[0] > len(blob)       # one segment for the 8 chunks
    assert set(os.listdir("/dev/shm")) - before == set()


def test_an_array_deep_in_a_closure_is_still_sent():
    np = pytest.importorskip("numpy")
    big = np.arange(300_000, dtype=np.float64)

    def pick(i):
        return float(big[i])

    assert parallel.map(pick, [3, 4, 5], backend="processes", chunksize=1, timeout=LIMIT) == [3.0, 4.0, 5.0]
