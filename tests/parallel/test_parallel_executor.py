"""velkora.parallel.Executor as a concurrent.futures.Executor, on each local backend."""

import operator

import pytest

import parallel_workloads as w
from velkora import parallel
from velkora.parallel import api

LIMIT = 60


@pytest.mark.parametrize("backend", ["auto", "serial", "threads", "processes"])
def test_submit_map_and_errors(backend):
    with parallel.Executor(backend, max_workers=2) as ex:
        assert ex.submit(w.square, 7).result(timeout=LIMIT) == 49
        assert ex.submit(divmod, 7, 2).result(timeout=LIMIT) == (3, 1)
        assert list(ex.map(operator.add, range(5), range(10, 15), timeout=LIMIT)) == [10, 12, 14, 16, 18]
        assert list(ex.map(w.square, range(30), chunksize=4)) == [x * x for x in range(30)]
        failed = ex.submit(w.fail_at, 7)
        with pytest.raises(ValueError, match="bad item 7") as info:
            failed.result(timeout=LIMIT)
        if backend == "processes":
            assert "fail_at" in str(info.value.__cause__)
    with pytest.raises(RuntimeError, match="shutdown"):
        ex.submit(w.square, 1)


def test_submit_under_auto_follows_the_ledger(monkeypatch):
    monkeypatch.setattr(api, "_cores", 2)
    from velkora.parallel.decision import Profile

    parallel.ledger.put(w.pid, Profile(item_seconds=0.5, cpu_fraction=1.0, thread_gain=1.0, picklable=True))
    import os

    with parallel.Executor() as ex:
        assert ex.submit(w.pid, 0).result(timeout=LIMIT) != os.getpid()      # a worker process
        parallel.ledger.forget(w.pid)
        assert ex.submit(w.pid, 0).result(timeout=LIMIT) == os.getpid()      # unknown: a thread


def test_bad_arguments():
    with pytest.raises(ValueError, match="backend"):
        parallel.Executor("cluster")
    with pytest.raises(ValueError, match="max_workers"):
        parallel.Executor("threads", max_workers=0)
