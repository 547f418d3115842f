"""Adaptation decision scoring, the binding of its arguments, and the module frame."""

import inspect
from fractions import Fraction

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from velkora.plugins.analyzer import pool_adaptation as pa

FUNCTIONS = ["detect_performance_degradation", "calculate_performance_trend",
             "detect_workload_characteristics_change", "detect_dominant_pattern", "is_adaptation_beneficial",
             "should_skip_adaptation", "detect_memory_pressure", "detect_fragmentation_threshold",
             "calculate_adaptation_urgency", "score_pool_recommendation", "predict_resource_requirements"]


def fma(a, b, c):
    return float(Fraction(a) * Fraction(b) + Fraction(c))  # exact, then rounded once


def clamp(x):
    return min(max(x, 0.0), 1.0)


@pytest.mark.parametrize("args, expected", [
    (("a", "a", 0.9, 0.9, 0.5, 1), False), (("a", "b", 0.9, 0.5, 0.5, 1), False),
    (("a", "b", 0.55, 0.9, 0.5, 0), True), (("a", "b", 0.55, 0.9, 0.5, 1), False),
    (("a", "b", 0.56, 0.9, 0.5, 1), True), (("a", "b", 0.61, 0.9, 0.0, 2), True),
    (("a", "b", 0.6, 0.6, 0.0, 2), False), ((None, None, 0.9, 0.9, 0.5, 0), False),
    ((None, "a", 0.9, 0.9, 0.5, 0), True), (("ab", "".join(["a", "b"]), 0.9, 0.9, 0.5, 0), False),
    (("a", "b", 0.9, 0.9, 0.5, 1.9), True),  # trigger 1.9 truncates to 1: 0.9 > 0.55
    (("a", "b", 0.56, 0.9, 0.5, 1, 1.2), False), (("a", "b", 0.9, 0.5, 0.5, 0, 1.1, 0.5), True)])
def test_is_adaptation_beneficial(args, expected):
    assert pa.is_adaptation_beneficial(*args) is expected


@pytest.mark.parametrize("func, args, expected", [
    (pa.should_skip_adaptation, (100.0, 130.0, 60.0), True),
    (pa.should_skip_adaptation, (100.0, 160.0, 60.0), False),
    (pa.should_skip_adaptation, (100.0, 100.0, 0.0), False),
    (pa.should_skip_adaptation, (100.0, 90.0, 0.0), True),
    (pa.should_skip_adaptation, (100.0, 90.0, -20.0), False),
    (pa.detect_memory_pressure, (80.0, 100.0), False), (pa.detect_memory_pressure, (81.0, 100.0), True),
    (pa.detect_memory_pressure, (5.0, 0.0), False), (pa.detect_memory_pressure, (5.0, -1.0, -9.0), False),
    (pa.detect_memory_pressure, (-1.0, 100.0, -9.0), False), (pa.detect_memory_pressure, (50, 100, 0.4), True),
    (pa.detect_fragmentation_threshold, (0.3,), False), (pa.detect_fragmentation_threshold, (0.31,), True),
    (pa.detect_fragmentation_threshold, (-0.1, -1.0), False),
    (pa.detect_fragmentation_threshold, (0.0, -1.0), True)])
def test_threshold_tests(func, args, expected):
    assert func(*args) is expected


@pytest.mark.parametrize("args, expected", [
    ((0.5, 0.0, 0.0, False), 0.2), ((0.0, 0.0, 0.0, True), 0.15), ((2.0, -1.0, 0.0, False), 0.4),
    ((1.0, 1.0, 1.0, False), 0.85), ((1.0, 1.0, 1.0, True), 1.0), ((0.0, 0.0, 0.0, []), 0.0)])
def test_urgency(args, expected):
    assert pa.calculate_adaptation_urgency(*args) == expected


@pytest.mark.parametrize("args, expected", [
    ((1.0, 0.0, 0.0, 0.0), 0.35), ((0.0, 1.0, 0.0, 0.0), 0.3), ((0.0, 0.0, 1.0, 0.0), 0.2),
    ((0.0, 0.0, 0.0, 1.0), 0.15), ((5.0, -5.0, 0.0, 0.0), 0.35), ((9.0, 9.0, 9.0, 9.0), 0.9999999999999999)])  # the weights sum just below 1
def test_recommendation(args, expected):
    assert pa.score_pool_recommendation(*args) == expected


unit = st.floats(-0.5, 1.5)


@given(unit, unit, unit, unit)
@settings(max_examples=200)
def test_scores_use_fused_multiply_adds_in_order(a, b, c, d):
    u = fma(clamp(c), 0.15, fma(clamp(a), 0.4, clamp(b) * 0.3))
    assert pa.calculate_adaptation_urgency(a, b, c, False) == min(u, 1.0)
    assert pa.calculate_adaptation_urgency(a, b, c, True) == min(u + 0.15, 1.0)
    s = fma(clamp(d), 0.15, fma(clamp(c), 0.2, fma(clamp(a), 0.35, clamp(b) * 0.3)))
    assert pa.score_pool_recommendation(a, b, c, d) == min(s, 1.0)


def test_keywords_and_defaults():
    assert pa.is_adaptation_beneficial(current_pool="a", recommended_pool="b", recommendation_score=0.56,
                                       recommendation_confidence=0.6, current_performance_estimate=0.5,
                                       trigger_code=1, min_confidence=0.7) is False
    assert pa.detect_memory_pressure(90.0, 100.0, pressure_threshold=0.95) is False
    assert pa.detect_workload_characteristics_change(pattern_history=[]) == (False, 0.0, 0.0, 0.0)
    params = {n: inspect.signature(getattr(pa, n)).parameters for n in FUNCTIONS}
    assert params["is_adaptation_beneficial"]["min_improvement_ratio"].default == 1.1
    assert params["detect_dominant_pattern"]["window_size"].default == 5


class BadBool:
    def __bool__(self):
        raise RuntimeError("no truth")


@pytest.mark.parametrize("call, error", [
    (lambda: pa.is_adaptation_beneficial("a", "b", 0.9, 0.9, 0.5), TypeError),
    (lambda: pa.is_adaptation_beneficial("a", "b", 0.9, 0.9, 0.5, 1, 1.1, 0.6, 0), TypeError),
    (lambda: pa.is_adaptation_beneficial("a", "b", 0.9, 0.9, 0.5, 2**31), OverflowError),
    (lambda: pa.is_adaptation_beneficial("a", "b", 0.9, 0.9, 0.5, "1"), TypeError),
    (lambda: pa.is_adaptation_beneficial(1, "b", 0.9, 0.9, 0.5, 1), TypeError),
    (lambda: pa.is_adaptation_beneficial(type("S", (str,), {})("a"), "b", 0.9, 0.9, 0.5, 1), TypeError),
    (lambda: pa.should_skip_adaptation(1.0, 2.0), TypeError),
    (lambda: pa.should_skip_adaptation(1.0, 2.0, "3"), TypeError),
    (lambda: pa.detect_fragmentation_threshold(0.1, 0.2, 0.3), TypeError),
    (lambda: pa.detect_fragmentation_threshold(0.1, limit=0.2), TypeError),
    (lambda: pa.detect_memory_pressure(1.0, 2.0, current_usage=1.0), TypeError),
    (lambda: pa.calculate_adaptation_urgency(0.1, 0.2, 0.3, BadBool()), RuntimeError),
    (lambda: pa.detect_dominant_pattern(["a"], 2**40), OverflowError),
    (lambda: pa.predict_resource_requirements([]), TypeError)])
def test_argument_errors(call, error):
    with pytest.raises(error):
        call()


def test_module_namespace():
    names = [n for n in vars(pa) if not n.startswith("__")]
    assert names == FUNCTIONS + ["logging", "logger"]
    assert pa.logger.name == "velkora.plugins.analyzer.pool_adaptation" and pa.logging.__name__ == "logging"


def test_load_line_logged_at_import(run_python):
    proc = run_python(
        "import logging; logging.basicConfig(level=logging.DEBUG, format='%(name)s|%(levelname)s|%(message)s')\n"
        "import velkora.plugins.analyzer.pool_adaptation as pa\n"
        "pa.calculate_performance_trend([(0, 1.0), (1, 2.0), (2, 3.0)], 0.0)")
    lines = [l for l in proc.stderr.splitlines() if "pool_adaptation" in l]
    assert len(lines) == 1 and lines[0].startswith("velkora.plugins.analyzer.pool_adaptation|INFO|")
