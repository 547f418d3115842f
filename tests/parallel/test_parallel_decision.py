"""The backend decision on made-up evidence: no clock, no thread, no process."""

import pytest

from velkora.parallel.decision import (
    MAX_WAITING_THREADS, Host, Profile, chunk_size, decide, route_single)

TWO = Host(cores=2, pool_warm=True)
PURE = dict(cpu_fraction=1.0, thread_gain=1.0, thread_cpu=1.0, transfer_seconds=2e-6, picklable=True, probed_items=5)
NUMPY = dict(cpu_fraction=1.0, thread_gain=1.9, thread_cpu=1.9, transfer_seconds=2e-6, picklable=True, probed_items=5)
WAITING = dict(cpu_fraction=0.02, thread_gain=2.0, thread_cpu=0.03, transfer_seconds=2e-6, picklable=True, probed_items=5)


@pytest.mark.parametrize("profile, host, n, backend", [
    # A million microsecond pure-Python items: splitting costs more than it saves... unless cheap to send.
    (Profile(item_seconds=1e-7, **PURE), TWO, 1_000_000, "serial"),
    # Heavy pure-Python items hold the lock: processes, even when the pool still has to start.
    (Profile(item_seconds=0.05, **PURE), TWO, 36, "processes"),
    (Profile(item_seconds=0.05, **PURE), Host(cores=2, pool_warm=False), 36, "processes"),
    # ... but not when the whole map is shorter than starting the pool.
    (Profile(item_seconds=0.01, **PURE), Host(cores=2, pool_warm=False), 10, "serial"),
    # Items that release the lock: threads (no pickling, no start).
    (Profile(item_seconds=0.01, **NUMPY), TWO, 40, "threads"),
    # Waiting items: threads, even on one core.
    (Profile(item_seconds=0.01, **WAITING), TWO, 100, "threads"),
    (Profile(item_seconds=0.01, **WAITING), Host(cores=1), 100, "threads"),
    # One core and computing items: nothing to gain.
    (Profile(item_seconds=0.05, **PURE), Host(cores=1), 36, "serial"),
    # Sending the argument costs more than computing on it.
    (Profile(item_seconds=1e-3, **{**PURE, "transfer_seconds": 5e-3}), TWO, 200, "serial"),
    # A function that cannot be pickled never goes to processes.
    (Profile(item_seconds=0.05, **{**PURE, "picklable": False}), TWO, 36, "serial"),
    (Profile(item_seconds=0.05, **{**NUMPY, "picklable": False}), TWO, 36, "threads"),
    # Shared state, a single item, nested in a worker: serial whatever the costs.
    (Profile(item_seconds=0.05, carries_state=True, state_reason="global n", **PURE), TWO, 36, "serial"),
    (Profile(item_seconds=5.0, **PURE), TWO, 1, "serial"),
    (Profile(item_seconds=0.05, **PURE), Host(cores=8, pool_warm=True, in_worker=True), 36, "serial"),
    (Profile(item_seconds=0.05, **PURE), TWO, 0, "serial"),
])
def test_auto_backend(profile, host, n, backend):
    d = decide(profile, host, n)
    assert d.backend == backend, str(d)
    assert d.reasons and d.reasons[-1].startswith(backend)


@pytest.mark.parametrize("measured", [
    # A loaded machine gives a computing item less CPU than wall time; two threads held to 1x
    # show it computes, so many threads would gain nothing.
    dict(cpu_fraction=0.4, thread_gain=1.05, thread_cpu=0.4),
    # Two threads timed faster than one by chance, but never more than one CPU busy: the lock is held.
    dict(cpu_fraction=0.9, thread_gain=1.6, thread_cpu=0.95),
    # The single thread was starved while timed (19% CPU), so two looked 2.9x faster; but they kept
    # a CPU busy, which waiting threads never do.
    dict(cpu_fraction=0.19, thread_gain=2.88, thread_cpu=0.64),
])
def test_a_busy_machine_does_not_make_lock_holding_items_look_free(measured):
    busy = Profile(item_seconds=1e-4, transfer_seconds=1e-4, picklable=True, **measured)
    assert decide(busy, TWO, 1000).backend == "serial"


def test_waiting_items_get_many_threads_and_computing_ones_one_per_core():
    waiting = decide(Profile(item_seconds=0.01, **WAITING), TWO, 500)
    assert waiting.workers == MAX_WAITING_THREADS and waiting.chunksize == 1
    assert decide(Profile(item_seconds=0.01, **WAITING), TWO, 10).workers == 10
    numpy = decide(Profile(item_seconds=0.01, **NUMPY), Host(cores=4, pool_warm=True), 400)
    assert numpy.workers == 4


@pytest.mark.parametrize("n, item, workers, target, expected", [
    (1_000_000, 1e-6, 2, 0.02, 20_000),       # batches last the target...
    (100, 1e-6, 2, 0.02, 13),                 # ...but every worker gets CHUNKS_PER_WORKER of them
    (36, 0.05, 2, 0.02, 1),                   # long items one by one
    (10, 0.0, 2, 0.02, 2),                    # unmeasured: balance only
    (0, 1e-6, 2, 0.02, 1),
])
def test_chunk_size(n, item, workers, target, expected):
    assert chunk_size(n, item, workers, target) == expected


def test_a_million_microsecond_items_are_not_a_million_tasks():
    cheap = Profile(item_seconds=1e-6, cpu_fraction=1.0, thread_gain=1.0, transfer_seconds=1e-8,
                    picklable=True)
    d = decide(cheap, TWO, 1_000_000)
    assert d.backend == "processes"
    assert 1_000_000 / d.chunksize <= 100


@pytest.mark.parametrize("backend", ["serial", "threads", "processes", "dask"])
def test_a_named_backend_is_obeyed(backend):
    d = decide(Profile(carries_state=True, item_seconds=1e-7), TWO, 50, backend=backend)
    assert d.backend == backend and "as asked" in d.reasons[-1]


def test_overrides_and_bad_values():
    d = decide(Profile(item_seconds=0.05, **PURE), TWO, 36, chunksize=5, workers=3)
    assert (d.chunksize, d.workers) == (5, 3)
    for kwargs, word in [({"backend": "gpu"}, "backend"), ({"chunksize": 0}, "chunksize"),
                         ({"workers": 0}, "workers")]:
        with pytest.raises(ValueError, match=word):
            decide(Profile(), TWO, 3, **kwargs)


def test_reasons_name_the_evidence():
    text = str(decide(Profile(pattern="CPU_INTENSIVE", item_seconds=0.05, arg_bytes=20, **PURE), TWO, 36))
    for part in ("CPU_INTENSIVE", "50.0 ms each", "holds the interpreter lock", "2 core(s)", "20 B",
                 "estimates: serial"):
        assert part in text


@pytest.mark.parametrize("profile, host, expected", [
    (None, TWO, "threads"),
    (Profile(item_seconds=0.05, **PURE), TWO, "processes"),
    (Profile(item_seconds=0.05, **NUMPY), TWO, "threads"),
    (Profile(item_seconds=1e-5, **PURE), TWO, "threads"),
    (Profile(item_seconds=0.05, **PURE), Host(cores=1), "threads"),
])
def test_route_single(profile, host, expected):
    assert route_single(profile, host) == expected
