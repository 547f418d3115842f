"""backend="dask" against a real local cluster (in this process: threads, not processes)."""

import functools

import pytest

distributed = pytest.importorskip("distributed")

import parallel_workloads as w  # noqa: E402
from velkora import parallel  # noqa: E402
from velkora.parallel import dask_backend  # noqa: E402

LIMIT = 60


@pytest.fixture(scope="module")
def client():
    cluster = distributed.LocalCluster(n_workers=1, threads_per_worker=2, processes=False,
                                       dashboard_address=None)
    c = distributed.Client(cluster)
    yield c
    dask_backend.close_clients()
    c.close()
    cluster.close()


def test_map_in_order_and_errors(client):
    assert parallel.map(w.square, range(50), backend="dask", client=client, timeout=LIMIT) == [
        x * x for x in range(50)]
    with pytest.raises(ValueError, match="bad item 7") as info:
        parallel.map(w.fail_at, range(20), backend="dask", client=client, chunksize=3)
    assert any("item 7" in note and "Dask worker" in note for note in info.value.__notes__)
    assert "fail_at" in str(info.value.__cause__)
    with parallel.Executor("dask", client=client) as ex:
        assert ex.submit(w.square, 9).result(timeout=LIMIT) == 81


def test_large_arguments_are_scattered_once(client, monkeypatch):
    np = pytest.importorskip("numpy")
    big = np.arange(300_000, dtype=np.float64)
    scattered = []
    real = client.scatter

    def counting(data, **kwargs):
        scattered.append(type(data).__name__)
        return real(data, **kwargs)

    monkeypatch.setattr(client, "scatter", counting)
    out = parallel.map(functools.partial(w.shared_view, big), range(0, 300_000, 30_000), backend="dask",
                       client=client, chunksize=1)
    assert [v for _, v, _ in out] == [float(i) for i in range(0, 300_000, 30_000)]
    assert scattered == ["partial"]
    scattered.clear()
    out = parallel.map(functools.partial(w.shared_view, i=2), [big] * 5, backend="dask", client=client,
                       chunksize=1)
    assert [v for _, v, _ in out] == [2.0] * 5 and scattered == ["ndarray"]


def test_the_scheduler_named_by_the_environment(client, monkeypatch):
    monkeypatch.setenv(dask_backend.SCHEDULER_ENV, client.scheduler.address)
    assert parallel.map(w.square, [3, 4], backend="dask") == [9, 16]
    monkeypatch.delenv(dask_backend.SCHEDULER_ENV)
    with pytest.raises(ValueError, match=dask_backend.SCHEDULER_ENV):
        parallel.map(w.square, [3], backend="dask")
