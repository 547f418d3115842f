import timeit

from benchlib import FLOOR2, Baseline, Case

DATA = """
import random
rng = random.Random(8)
perf = [(float(i), 100.0 + rng.random()) for i in range(1000)]
alloc = [(float(i), float(rng.randint(1, 4096))) for i in range(1000)]
names = ["sequential", "parallel_cpu", "parallel_io", "gpu_compute", "memory_bound", "mixed_io",
         "vectorized", "recursive", "streaming", "batch", "numpy_heavy", "pandas_heavy",
         "sklearn_heavy", "mixed"]
patterns = [rng.choice(names) for _ in range(1000)]
"""

NATIVE = DATA + "from velkora.plugins.analyzer import pool_adaptation as pa\n"

# Straightforward pure-Python versions of the same rules.
PYTHON = DATA + '''
def degradation(history, baseline, threshold, window_start):
    if not history or baseline <= 0.0 or len(history) < 5:
        return False
    total, count = 0.0, 0
    for ts, metric in history:
        ts, metric = float(ts), float(metric)
        if ts >= window_start:
            total += metric
            count += 1
    if count < 5:
        return False
    return (baseline - total / count) / baseline > threshold

def trend(history, window_start):
    if not history or len(history) < 3:
        return 0.0
    recent = [(float(t), float(m)) for t, m in history if float(t) >= window_start]
    if len(recent) < 3:
        return 0.0
    t0, n = recent[0][0], float(len(recent))
    sx = sy = sxx = sxy = 0.0
    for t, m in recent:
        x = t - t0
        sx += x; sy += m; sxx += x * x; sxy += x * m
    mx = sx / n
    den = sxx - n * mx * mx
    if abs(den) < 1e-10:
        return 0.0
    my = sy / n
    if abs(my) < 1e-10:
        return 0.0
    t = (sxy - n * mx * my) / (my * den)
    return -1.0 if t <= -1.0 else min(t, 1.0)

def predict(history, horizon):
    n = len(history)
    if n < 10:
        return (0, 0, 0.0)
    duration = float(history[-1][0]) - float(history[0][0])
    if duration <= 0.0:
        return (0, 0, 0.0)
    total = 0.0
    for ts, size in history:
        ts, size = float(ts), float(size)
        total += size
    allocations = int(n / duration * horizon)
    return (allocations, int(total / n * allocations), n * 0.008 if n < 100 else 0.8)

def dominant(patterns, window_size=5):
    n = len(patterns)
    if n == 0:
        return "mixed"
    counts = {}
    for p in patterns[max(0, n - window_size):]:
        counts[p] = counts.get(p, 0) + 1
    best, best_count = "mixed", 0
    for p, c in counts.items():
        if c > best_count:
            best, best_count = p, c
    return best
'''


def _floor2_ns() -> float:
    timer = timeit.Timer(FLOOR2.stmt, FLOOR2.setup)
    return min(timer.repeat(repeat=5, number=100_000)) / 100_000 * 1e9


_FLOOR2_NS = _floor2_ns()


def scalar(name: str, stmt: str, nargs: int) -> Case:
    """At most twice the two-argument floor plus 15 ns per argument beyond two."""
    ratio = 2.0 + 15.0 * max(0, nargs - 2) / _FLOOR2_NS
    return Case(f"{name} ({nargs} args)", stmt, NATIVE, FLOOR2, max_ratio=round(ratio, 2))


def history(name: str, stmt: str, baseline_stmt: str, speedup: float) -> Case:
    return Case(f"{name}, 1000 entries", stmt, NATIVE,
                Baseline("pure-Python version", baseline_stmt, PYTHON), min_speedup=speedup,
                number=2_000)


CASES = [
    history("detect_performance_degradation", "pa.detect_performance_degradation(perf, 101.0, 0.1, 0.0)",
            "degradation(perf, 101.0, 0.1, 0.0)", 8.0),
    history("calculate_performance_trend", "pa.calculate_performance_trend(perf, 0.0)",
            "trend(perf, 0.0)", 8.0),
    history("predict_resource_requirements", "pa.predict_resource_requirements(alloc, 60.0)",
            "predict(alloc, 60.0)", 8.0),
    history("detect_dominant_pattern (window 1000)", "pa.detect_dominant_pattern(patterns, 1000)",
            "dominant(patterns, 1000)", 3.0),
    history("detect_dominant_pattern (window 5)", "pa.detect_dominant_pattern(patterns)",
            "dominant(patterns)", 3.0),
    scalar("is_adaptation_beneficial", "pa.is_adaptation_beneficial('a', 'b', 0.56, 0.9, 0.5, 1)", 6),
    scalar("is_adaptation_beneficial",
           "pa.is_adaptation_beneficial('a', 'b', 0.56, 0.9, 0.5, 1, 1.1, 0.6)", 8),
    scalar("should_skip_adaptation", "pa.should_skip_adaptation(100.0, 130.0, 60.0)", 3),
    scalar("detect_memory_pressure", "pa.detect_memory_pressure(81.0, 100.0)", 2),
    scalar("detect_memory_pressure", "pa.detect_memory_pressure(81.0, 100.0, 0.8)", 3),
    scalar("detect_fragmentation_threshold", "pa.detect_fragmentation_threshold(0.31)", 1),
    scalar("detect_fragmentation_threshold", "pa.detect_fragmentation_threshold(0.31, 0.3)", 2),
    scalar("calculate_adaptation_urgency", "pa.calculate_adaptation_urgency(0.5, 0.2, 0.1, True)", 4),
    scalar("score_pool_recommendation", "pa.score_pool_recommendation(0.5, 0.2, 0.1, 0.9)", 4),
]
