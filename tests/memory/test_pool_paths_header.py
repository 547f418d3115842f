"""FastSlabHeaderOps: bitmap rules, the 16-byte form and its CRC-16, corruption handling; module frame."""

import copy
import logging
import pickle
import struct

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from velkora.memory import pool_paths
from velkora.memory.pool_paths import FastBucketAllocator, FastSlabHeaderOps, FastStatsCollector

LOGGER = "velkora.memory.pool_paths"


def crc16_modbus(data: bytes) -> int:
    """Bitwise reference, independent of the native table."""
    crc = 0xFFFF
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return crc


def reference_bytes(sci, flags, epoch, bitmap):
    crc = crc16_modbus(struct.pack("<BBL", sci, flags, epoch))
    return struct.pack("<BBLHQ", sci, flags, epoch, crc, bitmap)


def fields(data):
    return struct.unpack("<BBLHQ", data)


def test_reference_crc_check_value():
    assert crc16_modbus(b"123456789") == 0x4B37


def test_worked_examples_and_release():
    h = FastSlabHeaderOps(3, 8)
    assert h.pack_header() == bytes.fromhex("03 00 00000000 0028 FF00000000000000")
    h.py_allocate_object_at(0)
    assert (h.py_find_free_object(), h.py_is_object_free(0)) == (1, False)
    assert h.pack_header() == bytes.fromhex("03 10 01000000 C017 FE00000000000000")
    h.py_deallocate_object_at(0)
    assert fields(h.pack_header())[:3] == (3, 0, 2) and fields(h.pack_header())[4] == 0xFF


@pytest.mark.parametrize(
    "sci, n, bitmap, first",
    [(0, 0, 0, -1), (0, 64, 2**64 - 1, 0), (0, 100, 2**64 - 1, 0), (0, -5, 0, -1),
     (300, 8, 0xFF, 0), (-1, 1, 1, 0), (2.9, 1, 1, 0)],
)
def test_construction(sci, n, bitmap, first):
    h = FastSlabHeaderOps(sci, n)
    assert fields(h.pack_header()) == fields(reference_bytes(int(sci) & 0xFF, 0, 0, bitmap))
    assert h.py_find_free_object() == first
    assert h.py_is_object_free(0) is (bitmap & 1 == 1)


ops = st.lists(st.tuples(st.sampled_from("ad"), st.integers(-3, 70)), max_size=40)


@settings(max_examples=200)
@given(sci=st.integers(0, 255), n=st.integers(-2, 80), ops=ops)
def test_operations_against_model(sci, n, ops):
    mask = 0 if n <= 0 else (1 << min(n, 64)) - 1
    flags, epoch, bitmap = 0, 0, mask
    h = FastSlabHeaderOps(sci, n)
    for kind, i in ops:
        if i >= 0:  # a negative index changes nothing
            bit = (1 << i) if i < 64 else 0
            epoch += 1
            if kind == "a":
                bitmap &= ~bit
                flags |= 0x10
            else:
                bitmap |= bit
                if bitmap == mask:
                    flags &= ~0x10
        (h.py_allocate_object_at if kind == "a" else h.py_deallocate_object_at)(i)
        assert h.py_is_object_free(i) is bool(0 <= i < 64 and bitmap >> i & 1)
        low = (bitmap & -bitmap).bit_length() - 1
        assert h.py_find_free_object() == low
    assert h.pack_header() == reference_bytes(sci, flags, epoch, bitmap)


@settings(max_examples=200, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(sci=st.integers(0, 255), flags=st.integers(0, 255), epoch=st.integers(0, 2**32 - 1),
       bitmap=st.integers(0, 2**64 - 1), crc_error=st.sampled_from([0, 0, 1, 0x8000, 0xFFFF]))
def test_round_trip_and_corruption_against_reference(sci, flags, epoch, bitmap, crc_error, caplog):
    data = bytearray(reference_bytes(sci, flags, epoch, bitmap))
    data[6:8] = (fields(data)[3] ^ crc_error).to_bytes(2, "little")
    h = FastSlabHeaderOps(0, 20)
    caplog.clear()  # once per example
    with caplog.at_level(logging.DEBUG, logger=LOGGER):
        h.unpack_header(bytes(data))
    if not crc_error:
        assert h.pack_header() == data and not caplog.records
    else:
        stored, computed = fields(data)[3], crc16_modbus(data[:6])
        assert h.pack_header() == reference_bytes(sci, flags | 0x80, epoch, bitmap)
        assert [(r.levelno, r.getMessage()) for r in caplog.records] == [(logging.WARNING,
            f"Header corruption detected: stored={stored:04x}, computed={computed:04x}")]


@pytest.mark.parametrize("pos, corrupt", [(0, True), (1, True), (5, True), (8, False), (15, False)])
def test_corruption_detection_by_byte(pos, corrupt, caplog):
    good = FastSlabHeaderOps(3, 8).pack_header()
    bad = bytearray(good)
    bad[pos] ^= 0x01
    h = FastSlabHeaderOps(3, 8)
    with caplog.at_level(logging.WARNING, logger=LOGGER):
        h.unpack_header(bytes(bad))
    assert len(caplog.records) == int(corrupt)
    assert bool(fields(h.pack_header())[1] & 0x80) is corrupt


def test_epoch_wraps_modulo_2_32():
    h = FastSlabHeaderOps(0, 8)
    h.unpack_header(reference_bytes(0, 0, 2**32 - 1, 0xFF))
    h.py_allocate_object_at(1)
    assert fields(h.pack_header())[2] == 0


class BytesSub(bytes):
    pass


@pytest.mark.parametrize(
    "data, exc, text",
    [(None, TypeError, "NoneType' has no len()"), (bytearray(16), TypeError, "bytearray"),
     (BytesSub(16), TypeError, "BytesSub"), (memoryview(bytes(16)), TypeError, "memoryview"),
     ("x" * 16, TypeError, "str"), (bytes(15), ValueError, "16"), (bytes(17), ValueError, "16"),
     (b"", ValueError, "16")],
)
def test_unpack_rejects_and_leaves_header(data, exc, text):
    h = FastSlabHeaderOps(3, 8)
    h.py_allocate_object_at(2)
    before = h.pack_header()
    with pytest.raises(exc, match=text.replace("(", r"\(").replace(")", r"\)")):
        h.unpack_header(data)
    assert h.pack_header() == before


@pytest.mark.parametrize("make", [lambda: FastSlabHeaderOps(1, 8), FastBucketAllocator,
                                  FastStatsCollector])
@pytest.mark.parametrize("op", [pickle.dumps, copy.copy, copy.deepcopy])
def test_pickling_and_copying_refused(make, op):
    with pytest.raises(TypeError):
        op(make())


def test_subclass_and_namespace():
    class Sub(FastSlabHeaderOps):
        pass

    assert Sub(3, 8).pack_header() == FastSlabHeaderOps(3, 8).pack_header()
    public = {k for k in vars(pool_paths) if not k.startswith("__")}
    assert public == {"FastSlabHeaderOps", "FastBucketAllocator", "FastStatsCollector", "threading",
                      "logging", "logger", "fast_align_size", "fast_get_bucket_size",
                      "fast_bitmap_operations", "fast_can_fit_aligned"}
    assert pool_paths.logger.name == LOGGER
    assert FastSlabHeaderOps.__module__ == "velkora.memory.pool_paths"


def test_load_line_logged_once_at_import(run_python):
    proc = run_python(
        "import logging; logging.basicConfig(level=logging.INFO, format='%(name)s|%(levelname)s|%(message)s')\n"
        "import velkora.memory.pool_paths"
    )
    lines = [l for l in proc.stderr.splitlines() if l.startswith(LOGGER + "|")]
    assert len(lines) == 1 and lines[0].startswith(LOGGER + "|INFO|") and "1.8-3x" in lines[0]
