"""GPU memory planning: each scalar function against a call floor; chunk shapes per chunk.

Targets: a function of up to two arguments costs at most 2x the floor of its arity; one of k > 2
arguments at most 2x the two-argument floor plus 15 ns per further argument; compute_chunk_shapes
at most 80 ns per produced chunk beyond the call. The absolute allowances are turned into ratios
against the two-argument floor, measured once here on the same interpreter.
"""

import timeit

from benchlib import FLOOR1, FLOOR2, Case

SETUP = "from velkora.gpu import device_memplan as d"


def _floor2_ns() -> float:
    """The two-argument floor in the quietest of many short windows (shared machines are noisy)."""
    t = timeit.Timer(FLOOR2.stmt, FLOOR2.setup)
    t.timeit(20_000)
    return min(t.repeat(repeat=60, number=20_000)) / 20_000 * 1e9


F2 = _floor2_ns()


def _wide(k: int) -> float:
    """Allowed ratio against FLOOR2 for k > 2 arguments."""
    return (2 * F2 + 15 * (k - 2)) / F2


def _per_chunk(chunks: int, k: int = 3) -> float:
    return (_wide(k) * F2 + 80 * chunks) / F2


CASES = [
    Case("d.estimate_allocation_bytes((1000, 1000), 8)", "d.estimate_allocation_bytes(s, 8)",
         SETUP + "; s = (1000, 1000)", FLOOR2, max_ratio=2.0),
    Case("d.estimate_allocation_bytes(s, 8, 1.5)", "d.estimate_allocation_bytes(s, 8, 1.5)",
         SETUP + "; s = (1000, 1000)", FLOOR2, max_ratio=_wide(3)),
    Case("d.calculate_safe_limit(a, h)", "d.calculate_safe_limit(8589934592, 0.25)", SETUP, FLOOR2,
         max_ratio=2.0),
    Case("decide_allocation_strategy (fits)", "d.decide_allocation_strategy(800, 1000, 0.2, False)",
         SETUP, FLOOR2, max_ratio=_wide(4)),
    Case("decide_allocation_strategy (chunked)",
         "d.decide_allocation_strategy(2500, 1000, 0.2, True)", SETUP, FLOOR2, max_ratio=_wide(4)),
    Case("d.calculate_optimal_chunks(t, a, h)", "d.calculate_optimal_chunks(2500, 1000, 0.2)", SETUP,
         FLOOR2, max_ratio=_wide(3)),
    Case("d.calculate_optimal_chunks(t, a, h, lo, hi)",
         "d.calculate_optimal_chunks(2500, 1000, 0.2, 1, 1000)", SETUP, FLOOR2, max_ratio=_wide(5)),
    Case("d.calculate_memory_pressure(u, t)", "d.calculate_memory_pressure(3, 4)", SETUP, FLOOR2,
         max_ratio=2.0),
    Case("d.recommend_headroom(p)", "d.recommend_headroom(0.8)", SETUP, FLOOR1, max_ratio=2.0),
    Case("d.recommend_headroom(p, b)", "d.recommend_headroom(0.8, 0.45)", SETUP, FLOOR2, max_ratio=2.0),
    Case("d.score_gpu_suitability(d, op, a, h)", "d.score_gpu_suitability(400, 'matmul', 1000, 0.2)",
         SETUP, FLOOR2, max_ratio=_wide(4)),
    Case("d.is_chunkable_operation(op)", "d.is_chunkable_operation('random.standard_normal')", SETUP,
         FLOOR1, max_ratio=2.0),
    Case("d.is_oom_error(msg, type)", "d.is_oom_error('CUDA error: out of memory', 'RuntimeError')",
         SETUP, FLOOR2, max_ratio=2.0),
    Case("is_oom_error (no match)", "d.is_oom_error('index 5 is out of bounds', 'IndexError')",
         SETUP, FLOOR2, max_ratio=2.0),
    Case("compute_chunk_shapes, 4 chunks", "d.compute_chunk_shapes(s, 8, 100)",
         SETUP + "; s = (10, 4)", FLOOR2, max_ratio=_per_chunk(4)),
    Case("compute_chunk_shapes, 1000 chunks", "d.compute_chunk_shapes(s, 8, 64)",
         SETUP + "; s = (1000, 4, 2)", FLOOR2, max_ratio=_per_chunk(1000), number=2_000),
]
