"""SharedArena in one process: arrays, release, slabs and their headers, bad input, threads."""

import ctypes
import gc
import logging
import pickle
import threading
from multiprocessing.reduction import ForkingPickler

import pytest

np = pytest.importorskip("numpy")

from velkora.memory.arena import SharedArena  # noqa: E402
from velkora.memory.arena_heap import View  # noqa: E402

MIB = 1 << 20


@pytest.fixture
def arena():
    with SharedArena(segment_size=MIB) as a:
        yield a


def shares_memory(arr):
    return type(arr.base) is View


def roundtrip(arr):
    return pickle.loads(ForkingPickler.dumps(arr))


@pytest.mark.parametrize("shape, dtype", [(7, np.int8), ((3, 4), np.float32), ((2, 3, 5), "complex128"),
                                          (0, float), ((10_000,), np.float64), ((), np.int64)])
def test_empty_zeros_asarray_are_plain_arrays_of_the_arena(arena, shape, dtype):
    z = arena.zeros(shape, dtype)
    assert type(z) is np.ndarray and z.dtype == np.dtype(dtype) and z.shape == np.empty(shape).shape
    assert not z.any() and z.flags.c_contiguous and z.ctypes.data % 64 == 0
    assert arena.owns(z) and arena.owns(z.reshape(-1)[::-1])
    src = np.arange(z.size, dtype=dtype).reshape(z.shape)
    c = arena.asarray(src)
    assert arena.owns(c) and np.array_equal(c, src) and c.ctypes.data != src.ctypes.data


def test_fortran_order_and_dtype_cache(arena):
    a = arena.empty((3, 4), "f4", order="F")
    assert a.flags.f_contiguous and a.dtype == np.float32
    b = arena.empty((3, 4), "f4")
    assert b.flags.c_contiguous


def test_memory_returns_when_the_last_view_goes(arena):
    a = arena.empty(100_000)
    v = a[10:20]
    del a
    gc.collect()
    assert arena.stats()["live_arrays"] == 1  # the view keeps the block
    del v
    s = arena.stats()
    assert s["live_arrays"] == 0 and s["live_bytes"] == 0
    assert s["free_bytes"] == s["segment_bytes"] - s["slab_bytes"]


def test_large_blocks_split_and_coalesce(arena):
    blocks = [arena.empty(20_000, np.uint8) for _ in range(10)]
    addrs = [b.ctypes.data for b in blocks]
    assert len(set(addrs)) == 10
    for i in (1, 3, 2):  # the middle one joins both neighbours
        blocks[i] = None
    big = arena.empty(60_000, np.uint8)  # fits only the joined 3 x 20_032 bytes
    assert big.ctypes.data == addrs[1]
    assert arena.stats()["segments"] == 1


def test_best_fit_prefers_the_smallest_hole():
    with SharedArena(segment_size=MIB) as best, SharedArena(segment_size=MIB, first_fit=True) as first:
        for ar in (best, first):
            xs = [ar.empty(n, np.uint8) for n in (50_000, 5000, 20_000, 5000)]
            hole_big, hole_small = xs[0].ctypes.data, xs[2].ctypes.data
            xs[0] = xs[2] = None
            got = ar.empty(10_000, np.uint8).ctypes.data
            assert got == (hole_small if ar is best else hole_big)


def test_segments_grow_in_place_and_hand_their_free_tail_back(arena):
    small = arena.zeros(1000)
    seen = roundtrip(small)  # the segment is attached at its first size
    big = arena.zeros(3 * MIB // 8)
    grown = arena.stats()
    assert grown["segments"] == 1 and grown["segment_bytes"] >= 3 * MIB
    assert [d["action"] for d in grown["decisions"]] == ["grow", "grow"]
    far = roundtrip(big)  # re-attached at the grown size
    far[-1] = 5.0
    assert big[-1] == 5.0 and seen[0] == 0.0
    del big, far
    arena.trim()
    trimmed = arena.stats()
    assert trimmed["segment_bytes"] < grown["segment_bytes"] and trimmed["segments"] == 1
    assert trimmed["decisions"][-1]["reason"] == "free tail of a segment"
    assert arena.zeros(3 * MIB // 8).sum() == 0.0  # grows again


def test_small_arrays_come_from_slabs(arena):
    xs = [arena.empty(100, np.uint8) for _ in range(64)]
    s = arena.stats()
    assert s["collector"]["bucketed_allocations"] == 64 and s["slabs"] == 1
    assert s["collector"]["bucketed_allocation_ratio"] == "100.0%"
    assert s["allocation"]["current_allocations"] == 64
    assert {x.ctypes.data % 128 for x in xs} == {0}
    del xs
    assert arena.stats()["allocation"]["current_allocations"] == 0


def test_overrun_into_a_slab_header_quarantines_it(arena, caplog):
    xs = [arena.empty(8, np.float64) for _ in range(64)]  # one full slab of 64-byte objects
    last = max(xs, key=lambda x: x.ctypes.data)
    ctypes.memset(last.ctypes.data + 64, 0xAB, 8)  # past the end of the last object
    with caplog.at_level(logging.WARNING, logger="velkora.memory.pool_paths"):
        xs.pop(0)  # released into the damaged slab
        fresh = arena.empty(8, np.float64)
    assert "Header corruption detected: stored=" in caplog.text
    s = arena.stats()
    assert s["quarantined_slabs"] == 1 and s["slabs"] == 2
    slab_lo = min(x.ctypes.data for x in xs)
    assert not slab_lo <= fresh.ctypes.data <= last.ctypes.data  # never reused
    xs.clear()
    assert arena.stats()["quarantined_slabs"] == 1


def test_handles_arrive_as_views_of_the_same_memory(arena):
    a = arena.zeros((20, 30))
    for view in (a, a[::2, 5:], a[::-1], a.T, a[3:3]):
        r = roundtrip(view)
        assert shares_memory(r) and r.shape == view.shape and r.strides == view.strides
        if r.size:
            r.flat[0] = 7.5
            assert view.flat[0] == 7.5
    ro = a[:2]
    ro.flags.writeable = False
    assert not roundtrip(ro).flags.writeable
    plain = np.arange(5)
    assert not shares_memory(pickle.loads(ForkingPickler.dumps(plain)))  # others copy as before
    assert not shares_memory(pickle.loads(pickle.dumps(a)))  # plain pickle copies arena arrays


def test_a_released_block_is_not_reused_while_a_view_of_it_lives(arena):
    a = arena.empty(50_000, np.uint8)
    addr = a.ctypes.data
    r = roundtrip(a)
    del a
    b = arena.empty(50_000, np.uint8)
    assert b.ctypes.data != addr and arena.stats()["pinned_blocks"] == 1
    del r, b
    c = arena.empty(50_000, np.uint8)
    arena.stats()  # sweeps
    assert arena.stats()["pinned_blocks"] == 0
    del c
    assert arena.empty(50_000, np.uint8).ctypes.data == addr


def test_a_handle_in_flight_pins_its_block_and_a_stale_copy_is_refused(arena):
    a = arena.empty(50_000, np.uint8)
    data = ForkingPickler.dumps(a)
    del a
    assert arena.stats()["pinned_blocks"] == 1  # pickled, not yet received
    r = pickle.loads(data)
    del r
    assert arena.stats()["pinned_blocks"] == 0
    arena.empty(50_000, np.uint8)  # takes the block again
    with pytest.raises(ValueError, match="stale handle"):
        pickle.loads(data)


@pytest.mark.parametrize("shape, err, text", [
    (-1, ValueError, "negative dimension -1"),
    ((2, -3), ValueError, "negative dimension -3"),
    (2.5, TypeError, "float"),
    ((2, "3"), TypeError, "str"),
    (None, TypeError, "shape must be"),
])
def test_bad_shapes_change_nothing(arena, shape, err, text):
    before = arena.stats()
    with pytest.raises(err, match=text):
        arena.empty(shape)
    after = arena.stats()
    assert after["collector"] == before["collector"] and after["segments"] == before["segments"]


@pytest.mark.parametrize("dtype, text", [("no-such-type", "unknown dtype"), (object, "Python objects"),
                                         ([("a", "O")], "Python objects")])
def test_bad_dtypes(arena, dtype, text):
    with pytest.raises(TypeError, match=text):
        arena.empty(4, dtype)
    with pytest.raises(TypeError):
        arena.asarray([object()])


def test_capacity_is_a_hard_limit_with_sizes_named():
    with SharedArena(4 * MIB, segment_size=MIB) as ar:
        keep = [ar.empty(MIB // 2, np.uint8) for _ in range(6)]
        before = ar.stats()
        with pytest.raises(MemoryError, match=r"cannot allocate 3145728 bytes.*capacity is 4194304"):
            ar.empty(3 * MIB, np.uint8)
        assert ar.stats()["segment_bytes"] == before["segment_bytes"] <= 4 * MIB
        assert len(keep) == 6
    with pytest.raises(ValueError, match="capacity must be positive"):
        SharedArena(0)


def test_arrays_of_another_arena_and_use_after_close(arena):
    with SharedArena(segment_size=MIB) as other:
        theirs = other.empty(10)
        with pytest.raises(ValueError, match="another shared arena"):
            arena.handle(theirs)
        with pytest.raises(ValueError, match="does not live in a shared arena"):
            arena.handle(np.zeros(3))
        assert not arena.owns(theirs)
    kept = arena.zeros(1000)
    arena.close()
    arena.close()  # idempotent
    for call in (lambda: arena.empty(3), lambda: arena.zeros(3), lambda: arena.asarray([1]),
                 lambda: arena.handle(kept), arena.__enter__):
        with pytest.raises(ValueError, match="closed"):
            call()
    kept[:] = 1.0  # memory of live arrays stays valid
    assert kept.sum() == 1000.0
    assert not shares_memory(pickle.loads(ForkingPickler.dumps(kept)))  # a closed arena's copy


def test_concurrent_allocation_and_release_from_threads():
    with SharedArena(segment_size=MIB) as ar:
        errors = []

        def work(seed):
            rng = np.random.default_rng(seed)
            try:
                held = []
                for _ in range(400):
                    n = int(rng.choice([8, 100, 600, 5000, 40_000]))
                    a = ar.empty(n, np.uint8)
                    a[:] = seed
                    held.append(a)
                    if len(held) > 20:
                        b = held.pop(int(rng.integers(len(held))))
                        assert (b == seed).all()
            except Exception as e:  # reported below
                errors.append(e)

        ts = [threading.Thread(target=work, args=(i,)) for i in range(4)]
        for t in ts:
            t.start()
        for t in ts:
            t.join(60)
        assert not errors
        s = ar.stats()
        assert s["live_arrays"] == 0 and s["quarantined_slabs"] == 0
        assert s["collector"]["total_allocations"] == s["collector"]["total_deallocations"] == 1600


def test_adaptation_decisions_are_logged_and_listed(arena, caplog):
    with caplog.at_level(logging.DEBUG, logger="velkora.memory.arena"):
        # Eight slabs of 64-byte objects, each left holding one live object: fragmented.
        xs = [arena.empty(8) for _ in range(64 * 8)]
        keep = xs[::64]
        del xs
        big = arena.empty(2 * MIB, np.uint8)  # growth: the decisions run
    actions = [d["action"] for d in arena.stats()["decisions"]]
    assert actions.count("grow") >= 2 and "slab_layout" in actions
    assert "grow" in caplog.text and "slab_layout" in caplog.text
    assert arena._heap.class_usage(0)[3] == 4  # new slabs of the class are sparse now
    assert arena.stats()["decision_counts"]["slab_layout"] == 1
    assert len(keep) == 8 and big.nbytes == 2 * MIB
