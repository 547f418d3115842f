"""GPU memory planning: estimates, safe limits, strategy, chunking, pressure and OOM heuristics."""

import math
import os
import subprocess
import sys
from fractions import Fraction

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from doubles import IntLike
from velkora.gpu import device_memplan as dm

MAX_SAFE = 2**63 - 1
U64_MAX = 2**64 - 1
I32_MAX = 2**31 - 1
I64_MAX = 2**63 - 1
NAN, INF = float("nan"), float("inf")


def fma(a, b, c):
    """a * b + c rounded once."""
    return float(Fraction(a) * Fraction(b) + Fraction(c))

FUNCTIONS = (
    "estimate_allocation_bytes", "calculate_safe_limit", "decide_allocation_strategy",
    "calculate_optimal_chunks", "compute_chunk_shapes", "calculate_memory_pressure",
    "recommend_headroom", "score_gpu_suitability", "is_chunkable_operation", "is_oom_error",
)


class BadBool:
    def __bool__(self):
        raise RuntimeError("no truth")


def test_namespace_is_exactly_the_public_api():
    public = [k for k in vars(dm) if not k.startswith("_")]
    assert public == [*FUNCTIONS, "logging", "logger"]
    assert dm.logger.name == "velkora.gpu.device_memplan"


def test_one_info_line_at_import(run_python):
    proc = run_python(
        "import logging; logging.basicConfig(level=logging.DEBUG, format='%(name)s|%(levelname)s')\n"
        "import velkora.gpu.device_memplan"
    )
    assert proc.stderr.splitlines() == ["velkora.gpu.device_memplan|INFO"]


# ---- estimate_allocation_bytes ------------------------------------------------------------------

@pytest.mark.parametrize("args, expected", [
    (((1000, 1000), 8), 8_000_000),
    (((1000, 1000), 8, 1.5), 12_000_000),
    (((10,), 8, 0.5), 80),                            # overhead never shrinks
    (((), 4), 4),
    (((), 4, 2.5), 10),                               # scalar with overhead
    (((10, 0), 8), 0),
    (((10, -3), 8), 0),
    (((I32_MAX,) * 3, 8), MAX_SAFE),                  # element product saturates
    (((I32_MAX,) * 3, 8, 4.0), MAX_SAFE),             # saturated: no overhead
    (((I32_MAX, I32_MAX), 2), 2 * I32_MAX**2),        # just below the byte bound
    (((I32_MAX, I32_MAX), 4), MAX_SAFE),              # just above it
    (((I32_MAX, I32_MAX), 4, 3.0), MAX_SAFE),
    (((3,), 0), 0),
    (((3,), 0, INF), 0),                              # 0 * inf is no byte count
    (((3,), -8), 0),                                  # a negative element size has no bytes
    (((), -8, 2.0), 0),
    (((4,), 8, NAN), 32),                             # NaN is not > 1.0
    (((4,), 8, INF), U64_MAX),                        # overhead product saturates
    (((I32_MAX, I32_MAX), 2, 1.5), int(2 * I32_MAX**2 * 1.5)),  # beyond 2**63 yet below 2**64
    (((I32_MAX, I32_MAX), 2, 2.5), U64_MAX),
    (((2.9, IntLike(3), True), 2), 12),               # items through __int__, floats truncate
    (((0, "not read"), 8), 0),                        # items are converted when read
    (((3 * 10**9,), 4, 1.0), 12 * 10**9),             # dimensions and sizes are 64-bit
    (((4,), 2**31), 2**33),
    (((I64_MAX,), 1), MAX_SAFE),
    (((I64_MAX, 2), 1), MAX_SAFE),                    # saturates, as the docstring says
    (((2,), I64_MAX), MAX_SAFE),
])
def test_estimate(args, expected):
    r = dm.estimate_allocation_bytes(*args)
    assert type(r) is int and r == expected


@pytest.mark.parametrize("args, exc", [
    ((None, 8), TypeError),
    (([10], 8), TypeError),
    ((type("T", (tuple,), {})((10,)), 8), TypeError),
    ((("x", 0), 8), TypeError),                       # read before the 0 ends the loop
    (((2**63,), 8), OverflowError),
    (((4,), 2**63), OverflowError),
    (((4,), 8, "1.5"), TypeError),
])
def test_estimate_errors(args, exc):
    with pytest.raises(exc):
        dm.estimate_allocation_bytes(*args)


# ---- calculate_safe_limit -----------------------------------------------------------------------

@pytest.mark.parametrize("available, headroom, expected", [
    (1000, 0.2, 800),
    (1000, 1.5, 10),
    (1000, -1.0, 1000),
    (8589934592, 0.25, 6442450944),
    (0, 0.0, 0),
    (1000, INF, 10),
    (1000, -INF, 1000),
    (1000, NAN, 0),                                    # unknown headroom: nothing usable
    (U64_MAX, 0.0, U64_MAX),                           # 2**64 as a double saturates
    (U64_MAX, -5.0, U64_MAX),
    (2**63, 0.5, 2**62),
])
def test_safe_limit(available, headroom, expected):
    r = dm.calculate_safe_limit(available, headroom)
    assert type(r) is int and r == expected


@pytest.mark.parametrize("available", [-1, 2**64, None, "10"])
def test_safe_limit_rejects_bad_bytes(available):
    with pytest.raises((OverflowError, TypeError)):
        dm.calculate_safe_limit(available, 0.2)


# ---- decide_allocation_strategy -----------------------------------------------------------------

FITS = (0, 0, 1, "Allocation fits in GPU memory")
NO_GPU = (2, 0, 1, "No GPU memory available")
NOT_CHUNKABLE = (2, 0, 1, "Operation not chunkable, falling back to CPU")


@pytest.mark.parametrize("args, expected", [
    ((800, 1000, 0.2, False), FITS),
    ((801, 1000, 0.2, False), NOT_CHUNKABLE),
    ((801, 1000, 0.2, True), (1, 800, 2, "Chunking into 2 GPU passes")),
    ((2500, 1000, 0.2, True), (1, 800, 4, "Chunking into 4 GPU passes")),
    ((0, 0, 0.2, True), NO_GPU),
    ((0, 1000, NAN, True), NO_GPU),
    ((0, 1000, 0.2, 0), FITS),
    ((5000, 1000, 0.2, []), NOT_CHUNKABLE),           # flags by truth value
    ((U64_MAX, 1, 0.0, True), (1, 1, U64_MAX, f"Chunking into {U64_MAX} GPU passes")),
])
def test_decide(args, expected):
    r = dm.decide_allocation_strategy(*args)
    assert r == expected
    assert [type(x) for x in r] == [int, int, int, str]


def test_fixed_strategy_tuples_are_shared():
    for args in [(0, 0, 0.2, True), (1, 1000, 0.2, True), (5000, 1000, 0.2, False)]:
        assert dm.decide_allocation_strategy(*args) is dm.decide_allocation_strategy(*args)
    chunked = [dm.decide_allocation_strategy(2500, 1000, 0.2, True) for _ in range(2)]
    assert chunked[0] == chunked[1] and chunked[0] is not chunked[1]


def test_decide_converts_every_argument_first():
    with pytest.raises(RuntimeError, match="no truth"):
        dm.decide_allocation_strategy(0, 0, 0.2, BadBool())
    with pytest.raises(OverflowError):
        dm.decide_allocation_strategy(-1, 0, 0.2, True)


# ---- calculate_optimal_chunks -------------------------------------------------------------------

@pytest.mark.parametrize("args, expected", [
    ((2500, 1000, 0.2), 4),
    ((0, 1000, 0.2), 1),
    ((10**12, 1000, 0.2), 1000),
    ((2500, 0, 0.2), 1000),
    ((2500, 0, 0.2, 1, 7), 7),
    ((100, 1000, 0.2, 5, 3), 5),                      # lower bound tested first
    ((10**4, 1000, 0.2, 5, 3), 3),
    ((U64_MAX, 1, 0.0, 1, I32_MAX), I32_MAX),
    ((U64_MAX, 1, 0.0, 1, I64_MAX), I64_MAX),         # quotient beyond int64 saturates
    ((3 * 10**9, 1, 0.0, 1, 2**40), 3 * 10**9),       # counts are 64-bit
    ((U64_MAX, 1, 0.0, -5, -1), -1),
    ((1, 1000, NAN), 1000),
])
def test_optimal_chunks(args, expected):
    r = dm.calculate_optimal_chunks(*args)
    assert type(r) is int and r == expected


def test_optimal_chunks_keywords():
    assert dm.calculate_optimal_chunks(total_bytes=2500, available_bytes=1000, headroom_ratio=0.2,
                                       max_chunks=3) == 3
    with pytest.raises(OverflowError):
        dm.calculate_optimal_chunks(1, 1, 0.0, 1, 2**63)


# ---- compute_chunk_shapes -----------------------------------------------------------------------

@pytest.mark.parametrize("args, expected", [
    (((10, 4), 8, 100), [(3, 4), (3, 4), (3, 4), (1, 4)]),
    (((5,), 4, 8), [(2,), (2,), (1,)]),
    (((3, 100), 8, 10), [(1, 100), (1, 100), (1, 100)]),
    (((0, 3), 8, 8), []),
    (((-4, 3), 8, 8), []),
    (((10,), 1, 8589934592), [(10,)]),
    (((6, 2), 4, 16), [(2, 2), (2, 2), (2, 2)]),      # exact multiple: no short last chunk
    (((7, 0), 8, 8), [(7, 0)]),                       # empty slices: all rows in one chunk
    (((3, 2**40, 2**40, 0), 1, 8), [(3, 2**40, 2**40, 0)]),
    (((4, 2**32, 2**32), 1, U64_MAX), [(1, 2**32, 2**32)] * 4),  # 2**64 saturates, not wraps
    (((2, 2**32, 2**31), 2, U64_MAX), [(1, 2**32, 2**31)] * 2),
    (((I32_MAX,), 1, U64_MAX), [(I32_MAX,)]),
    (((3 * 10**9,), 4, 2**32), [(2**30,), (2**30,), (3 * 10**9 - 2**31,)]),  # 64-bit dimensions
    (((5, 3), 2**40, 2**43), [(2, 3), (2, 3), (1, 3)]),  # a 64-bit element size
])
def test_chunk_shapes(args, expected):
    r = dm.compute_chunk_shapes(*args)
    assert type(r) is list and r == expected
    assert all(type(c) is tuple for c in r)


def test_chunk_shapes_reuse_the_objects():
    trailing = (10**6 + 1, 10**6 + 2)
    shape = (5,) + trailing
    for chunk in dm.compute_chunk_shapes(shape, 1, 2 * (10**6 + 1) * (10**6 + 2)):
        assert chunk[1] is trailing[0] and chunk[2] is trailing[1]
    empty = ()
    assert dm.compute_chunk_shapes(empty, 8, 8)[0] is empty


@pytest.mark.parametrize("args, exc, text", [
    (((5,), 0, 8), ValueError, "element_size must be positive"),
    (((5,), -1, 0), ValueError, "element_size must be positive"),
    ((None, 0, 0), ValueError, "element_size must be positive"),
    (((5,), 4, 0), ValueError, "max_chunk_bytes must be positive"),
    ((None, 4, 8), TypeError, "has no len"),
    (([5], 4, 8), TypeError, "tuple or None"),
    (((5, -1), 4, 8), OverflowError, None),             # trailing dimensions are bytes
    (((2**63, 1), 4, 8), OverflowError, None),
    ((("a", 1), 4, 8), TypeError, None),
    (((5,), 4, -8), OverflowError, None),
])
def test_chunk_shapes_errors(args, exc, text):
    with pytest.raises(exc, match=text):
        dm.compute_chunk_shapes(*args)


@pytest.mark.parametrize("shape, element_size, max_chunk_bytes, count", [
    ((2**40,), 1, 1, 2**40),                          # beyond any machine's memory
    ((2**62, 3), 1, 1, 2**62),                        # beyond what a list can index
])
def test_chunk_shapes_refuses_what_cannot_be_built(shape, element_size, max_chunk_bytes, count):
    with pytest.raises(MemoryError, match=f"^compute_chunk_shapes: {count} chunks would need"):
        dm.compute_chunk_shapes(shape, element_size, max_chunk_bytes)


@pytest.mark.skipif(sys.platform == "win32" or os.environ.get("VELKORA_SANITIZED") == "1",
                    reason="POSIX memory limits; the sanitizer's shadow memory does not fit under one")
def test_chunk_shapes_bound_follows_the_process_limit():
    # 10**9 one-row chunks need about 64 GB: refused at once under a 2 GiB limit, however large the
    # machine, while a list well within the limit is still built.
    script = (
        "import resource\n"
        "resource.setrlimit(resource.RLIMIT_DATA, (2**31, resource.getrlimit(resource.RLIMIT_DATA)[1]))\n"
        "from velkora.gpu import device_memplan as dm\n"
        "assert len(dm.compute_chunk_shapes((2 * 10**6, 512), 4, 1)) == 2 * 10**6\n"
        "try:\n"
        "    dm.compute_chunk_shapes((10**9, 512), 4, 1)\n"
        "except MemoryError as e:\n"
        "    print(e)\n"
    )
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60,
                         env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
    assert out.returncode == 0, out.stderr
    assert out.stdout.startswith("compute_chunk_shapes: 1000000000 chunks would need about")
    assert "more than the 2147483648 this process can obtain" in out.stdout


@settings(max_examples=200, deadline=None)
@given(
    first=st.integers(-2, 300),
    trailing=st.lists(st.integers(0, 40), max_size=3),
    element_size=st.integers(1, 16),
    limit=st.integers(1, 4000),
)
def test_chunk_shapes_cover_and_fit(first, trailing, element_size, limit):
    shape = (first, *trailing)
    chunks = dm.compute_chunk_shapes(shape, element_size, limit)
    rows = [c[0] for c in chunks]
    assert sum(rows) == max(first, 0)
    assert all(r >= 1 for r in rows)
    assert all(c[1:] == tuple(trailing) for c in chunks)
    assert len(set(rows[:-1])) <= 1 and (len(rows) < 2 or rows[-1] <= rows[0])
    row_size = element_size * math.prod(trailing)
    for r in rows:
        assert r * row_size <= limit or (r == 1 and row_size > limit)
    if row_size and chunks:  # as few chunks as the limit allows
        assert rows[0] == (1 if row_size > limit else min(limit // row_size, first))


# ---- pressure, headroom, suitability ------------------------------------------------------------

@pytest.mark.parametrize("used, total, expected", [
    (3, 4, 0.75), (5, 4, 1.0), (5, 0, 1.0), (0, 0, 1.0), (0, 4, 0.0), (U64_MAX, U64_MAX, 1.0),
])
def test_memory_pressure(used, total, expected):
    r = dm.calculate_memory_pressure(used, total)
    assert type(r) is float and r == expected


@pytest.mark.parametrize("args, expected", [
    ((0.9,), 0.8), ((0.8,), 0.65), ((0.7,), 0.6), ((0.6,), 0.5), ((0.5,), 0.5),
    ((0.3,), 0.4), ((0.2,), 0.4),
    ((0.2, 0.4), 0.3), ((0.2, 0.45), 0.35), ((0.5, 0.1), 0.3), ((0.5, 0.95), 0.8),
    ((0.75, 0.5), fma(0.25, 0.5, 0.5)),
    ((0.61, 0.1), 0.3),
    ((0.7000000000000001, 0.33), fma(0.7000000000000001 - 0.5, 0.5, 0.33)),
    ((NAN,), 0.5),                                     # no rule applies: the base
    ((0.5, NAN), 0.8),                                 # unknown base: the widest headroom
    ((0.9, NAN), 0.8),
    ((-INF, 0.5), 0.4),
])
def test_recommend_headroom(args, expected):
    r = dm.recommend_headroom(*args)
    assert type(r) is float and r == expected


@pytest.mark.parametrize("args, expected", [
    ((800, "zeros", 1000, 0.2), 0.9),
    ((400, "matmul", 1000, 0.2), 0.4375),
    ((1600, "reshape", 1000, 0.2), 0.25),
    ((1600, None, 1000, 0.2), 0.25),
    ((800, "zeros", 0, 0.2), 0.0),
    ((0, "zeros", 1000, 0.2), 0.0),
    ((U64_MAX, "svd", U64_MAX, 0.0), 0.7),
    ((100, "linspace", 1000, 0.2), 100 * 1.25 / 800 * 0.9),
])
def test_suitability(args, expected):
    r = dm.score_gpu_suitability(*args)
    assert type(r) is float and r == expected


@pytest.mark.parametrize("op, expected", [
    ("random.standard_normal", True), ("zeros", True), ("linspace", True),
    ("matmul", False), ("randn", False), ("Zeros", False), ("ZEROS", False), (None, False),
    ("", False), ("zeros ", False), ("zéros", False),
])
def test_is_chunkable(op, expected):
    assert dm.is_chunkable_operation(op) is expected


def test_operation_text_must_be_exact_str():
    class S(str):
        pass

    for call in (lambda v: dm.is_chunkable_operation(v),
                 lambda v: dm.score_gpu_suitability(1, v, 1, 0.0),
                 lambda v: dm.is_oom_error(v, "E")):
        with pytest.raises(TypeError):
            call(S("zeros"))
        with pytest.raises(TypeError):
            call(b"zeros")


@pytest.mark.parametrize("message, type_name, expected", [
    ("CUDA error: out of memory", "RuntimeError", True),
    ("x", "OutOfMemoryError", True),
    ("x", "cupy.cuda.memory.OutOfMemoryError", True),
    ("cudaMalloc failed: memory", "E", True),
    ("Allocation failed", "E", True),
    ("Insufficient Memory", "E", True),
    ("GPU memory exhausted", "E", True),
    ("allocation error", "MemoryError", False),
    ("", "", False),
    ("@[`{ OUT OF MEMORZ", "E", False),               # letter bounds of the case folding
    ("ZYX@[ CUDA ` { MEMORY", "E", True),
    ("out of memor", "OutOfMemory", False),
    ("failed allocat", "E", True),                     # words in any order
    ("memory", "OUT OF MEMORY", False),                # only the type name's test reads the type
    ("GPU-Speicher: MEMORY voll ä", "E", True),        # non-ASCII text, interpreter lower-casing
    ("Ünknown CUDA MEMORY fault", "É", True),
    ("x", "ÖutOfMemoryError", False),
    ("ALLOCAT" + "x" * 1000 + "FAILED", "E", True),    # longer than any stack buffer
    ("ALLOCAT" + "x" * 1000 + "FAILE", "E", False),
    ("ä" + "x" * 300 + "GPU MEMOR", "E", False),
    ("\u20ac" + "x" * 300 + "gpu MEMORY", "E", True),   # two-byte text
    ("x", "ÜOUTOFMEMORYERROR", True),
])
def test_is_oom_error(message, type_name, expected):
    assert dm.is_oom_error(message, type_name) is expected


@pytest.mark.parametrize("args", [(None, "E"), ("out of memory", None), (None, None)])
def test_is_oom_error_none_fails_in_lowercasing(args):
    with pytest.raises(TypeError, match="lower"):
        dm.is_oom_error(*args)


# ---- binding --------------------------------------------------------------------------------------

@pytest.mark.parametrize("name, min_args, max_args", [
    ("estimate_allocation_bytes", 2, 3), ("calculate_safe_limit", 2, 2),
    ("decide_allocation_strategy", 4, 4), ("calculate_optimal_chunks", 3, 5),
    ("compute_chunk_shapes", 3, 3), ("calculate_memory_pressure", 2, 2),
    ("recommend_headroom", 1, 2), ("score_gpu_suitability", 4, 4),
    ("is_chunkable_operation", 1, 1), ("is_oom_error", 2, 2),
])
def test_argument_counts(name, min_args, max_args):
    f = getattr(dm, name)
    with pytest.raises(TypeError, match="missing required argument"):
        f(*[1] * (min_args - 1))
    with pytest.raises(TypeError, match=f"at most {max_args}|exactly {max_args}"):
        f(*[1] * (max_args + 1))
    with pytest.raises(TypeError, match="unexpected keyword"):
        f(bogus=1)


def test_keyword_binding():
    assert dm.compute_chunk_shapes(max_chunk_bytes=8, element_size=4, shape=(5,)) == [(2,), (2,), (1,)]
    assert dm.recommend_headroom(0.2, base_headroom=0.45) == 0.35
    with pytest.raises(TypeError, match="multiple values"):
        dm.is_oom_error("x", error_message="y")


def reference_is_oom(message, type_name):
    m, t = message.lower(), type_name.lower()
    return ("out of memory" in m or "outofmemoryerror" in t
            or ("cuda" in m and "memory" in m) or ("allocat" in m and "failed" in m)
            or ("memory" in m and "insufficient" in m) or ("gpu" in m and "memory" in m))


PIECES = ["out of memory", "OUT OF", " MEMORY", "memory", "Cuda", "gpu", "GPU", "allocat",
          "ALLOCATION", "failed", "FAILED", "insufficient", "OutOfMemoryError", "x", " ", "é",
          "\u212a", "\u0130", "\u20ac", "\U0001f600", "Error"]
texts = st.lists(st.sampled_from(PIECES), max_size=8).map("".join)


@settings(max_examples=300, deadline=None)
@given(texts, texts)
def test_is_oom_error_matches_reference(message, type_name):
    assert dm.is_oom_error(message, type_name) is reference_is_oom(message, type_name)
