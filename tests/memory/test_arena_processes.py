"""SharedArena across real processes: executors of every start method, views that outlive the
owner's arrays, fork children, and nothing left behind on exit or SIGKILL."""

import multiprocessing as mp
import os
import signal
import subprocess
import sys
import textwrap
import time
from concurrent.futures import ProcessPoolExecutor

import pytest

np = pytest.importorskip("numpy")

import velkora  # noqa: E402
from velkora.memory.arena import ArrayHandle, SharedArena, attached_segments  # noqa: E402

MIB = 1 << 20
# Where the imported package lies (src/ in the edit loop, site-packages when installed), for subprocesses.
SRC = os.path.dirname(os.path.dirname(velkora.__file__))


def shm_entries():
    # Other programs of the machine use /dev/shm too: only names an arena could have made count.
    names = os.listdir("/dev/shm") if os.path.isdir("/dev/shm") else []
    return {n for n in names if "velkora" in n or n.startswith("psm_")}


@pytest.fixture(autouse=True)
def nothing_left_in_dev_shm():
    before = shm_entries()
    yield
    assert shm_entries() <= before


def write_and_sum(a, value):
    a[0] = value
    return float(a.sum()), attached_segments(), os.getpid()


_held = []


def hold(a):
    _held.append(a)
    return a.ctypes.data != 0


def drop_held():
    _held.clear()
    return True


@pytest.mark.parametrize("method", ["fork", "spawn", "forkserver"])
def test_workers_see_the_same_memory_and_attach_each_segment_once(method):
    with SharedArena(segment_size=MIB) as arena, ProcessPoolExecutor(
            1, mp_context=mp.get_context(method)) as pool:
        a = arena.zeros(10_000)
        b = arena.zeros(10)  # a slab object of the same segment
        total, attached, pid = pool.submit(write_and_sum, a, 5.0).result(timeout=60)
        assert (total, a[0]) == (5.0, 5.0) and pid != os.getpid()
        total, attached_again, _ = pool.submit(write_and_sum, b[3:], 2.0).result(timeout=60)
        assert b[3] == 2.0
        assert attached_again == attached  # the data segment and the pin table, mapped once


def test_a_worker_view_outlives_the_owner_array_and_blocks_reuse_until_dropped():
    with SharedArena(segment_size=MIB) as arena, ProcessPoolExecutor(
            1, mp_context=mp.get_context("spawn")) as pool:
        a = arena.empty(100_000, np.uint8)
        addr = a.ctypes.data
        assert pool.submit(hold, a).result(timeout=60)
        del a
        b = arena.empty(100_000, np.uint8)
        assert b.ctypes.data != addr  # the worker still holds the old block
        assert arena.stats()["pinned_blocks"] == 1
        assert pool.submit(drop_held).result(timeout=60)
        del b
        deadline = time.monotonic() + 10
        while arena.stats()["pinned_blocks"] and time.monotonic() < deadline:
            time.sleep(0.01)
        assert arena.stats()["pinned_blocks"] == 0
        assert arena.empty(100_000, np.uint8).ctypes.data == addr


def test_loky_workers_receive_views():
    loky = pytest.importorskip("loky")
    from velkora.memory.arena import register_reducers

    register_reducers()
    with SharedArena(segment_size=MIB) as arena:
        pool = loky.get_reusable_executor(max_workers=1)
        try:
            a = arena.zeros(1000)
            assert pool.submit(write_and_sum, a, 3.0).result(timeout=60)[0] == 3.0
            assert a[0] == 3.0
        finally:
            pool.shutdown(wait=True)


def test_a_fork_child_neither_allocates_from_nor_releases_into_the_parent_arena():
    ctx = mp.get_context("fork")
    with SharedArena(segment_size=MIB) as arena:
        xs = [arena.zeros(8) for _ in range(10)]
        before = arena.stats()["collector"]
        q = ctx.SimpleQueue()

        def child():
            try:
                arena.empty(3)
                q.put("allocated")
            except RuntimeError as e:
                q.put(str(e))
            xs.clear()  # the child's releases must not touch the parent's slab headers

        p = ctx.Process(target=child)
        p.start()
        p.join(30)
        assert "belongs to the parent process" in q.get()
        assert arena.stats()["collector"] == before
        assert arena._heap.verify() == 0
        del xs


def run_owner(body, *args):
    code = textwrap.dedent("""
        import os, sys, time, pickle
        sys.path.insert(0, %r)
        import numpy as np
        from velkora.memory.arena import SharedArena
    """ % SRC) + textwrap.dedent(body)
    return subprocess.Popen([sys.executable, "-c", code, *args], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)


def test_exit_without_close_leaves_nothing_and_reports_nothing():
    p = run_owner("""
        arena = SharedArena(segment_size=1 << 20)
        keep = [arena.zeros(1000), arena.zeros(5)]
        print("ok")
    """)
    out, err = p.communicate(timeout=60)
    assert (p.returncode, out.strip(), err) == (0, "ok", "")


def test_sigkilled_owner_leaves_nothing_and_its_handles_fail_cleanly():
    p = run_owner("""
        arena = SharedArena(segment_size=1 << 20)
        a = arena.zeros(1000)
        sys.stdout.write(pickle.dumps(arena.handle(a)).hex() + "\\n")
        sys.stdout.flush()
        time.sleep(60)
    """)
    import pickle

    handle = pickle.loads(bytes.fromhex(p.stdout.readline().strip()))
    assert isinstance(handle, ArrayHandle)
    fd_path = f"/proc/{handle.pid}/fd/{handle.fd}"
    assert os.path.exists(fd_path)
    p.send_signal(signal.SIGKILL)
    p.wait(30)
    p.stdout.close()
    p.stderr.close()
    assert not os.path.exists(fd_path)  # the kernel closed the memory file: its memory is gone
    with pytest.raises(ValueError, match="owner closed the arena or exited"):
        handle.open()


def test_a_handle_after_close_is_refused():
    with SharedArena(segment_size=MIB) as arena:
        h = arena.handle(arena.zeros(100))
    with pytest.raises(ValueError, match="owner closed the arena"):
        h.open()


@pytest.mark.skipif(os.environ.get("VELKORA_SANITIZED") == "1",
                    reason="the sanitizer's shadow memory needs more address space than the cap leaves")
def test_a_capped_address_space_still_gets_an_arena():
    # No room to reserve address space for growth in place: segments are then added instead.
    p = run_owner("""
        import resource
        resource.setrlimit(resource.RLIMIT_AS, (4 << 30, 4 << 30))
        with SharedArena(segment_size=1 << 20) as arena:
            xs = [arena.zeros(1 << 17) for _ in range(8)]
            assert sum(x.sum() for x in xs) == 0.0
            print(arena.stats()["segments"])
    """)
    out, err = p.communicate(timeout=60)
    assert p.returncode == 0, err
    assert int(out) >= 2
