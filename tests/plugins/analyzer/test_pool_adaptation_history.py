"""Trend and change detection over the orchestrator's histories: values, neutral results, entry
reading and type rules, and lists changed by callbacks while they are read."""

import sys
from fractions import Fraction

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from velkora.plugins.analyzer import pool_adaptation as pa

KEYS = ("parallelization_potential", "cpu_intensity", "memory_intensity")


def hist(metric, n=10):
    return [(float(i), metric) for i in range(n)]


def chars(parallel, n=6):
    return [dict(zip(KEYS, (p, 0.2, 0.4))) for p in parallel][-n:]


def model_trend(history, start):
    recent = [(float(t), float(m)) for t, m in history if float(t) >= start]
    if len(recent) < 3:
        return 0.0
    t0, n = recent[0][0], float(len(recent))
    sx = sy = sxx = sxy = 0.0
    for t, m in recent:
        x = t - t0
        sx, sy, sxx, sxy = sx + x, sy + m, sxx + x * x, sxy + x * m
    mx = sx / n
    den = sxx - n * mx * mx
    my = sy / n
    if abs(den) < 1e-10 or abs(my) < 1e-10:
        return 0.0
    t = (sxy - n * mx * my) / (my * den)
    return -1.0 if t <= -1.0 else min(t, 1.0)


@pytest.mark.parametrize("metric, start, expected", [
    (100.0, 0.0, False), (80.0, 0.0, True), (85.0, 0.0, False), (80.0, 6.0, False),
    (80.0, 5.0, True), (120.0, 0.0, False)])
def test_degradation(metric, start, expected):
    assert pa.detect_performance_degradation(hist(metric), 100.0, 0.15, start) is expected


@pytest.mark.parametrize("history, baseline", [
    (None, 100.0), ([], 100.0), ([1, 2, 3, 4], 100.0), (hist(1.0), 0.0), (hist(1.0), -5.0)])
def test_degradation_neutral_without_reading(history, baseline):
    # Short histories are not read at all: the malformed four entries raise nothing.
    assert pa.detect_performance_degradation(history, baseline, 0.1, 0.0) is False


@pytest.mark.parametrize("history, start, expected", [
    ([(0, 1.0), (1, 5.0), (2, 9.0)], 0.0, 0.8),
    ([(0, 9.0), (1, 5.0), (2, 1.0)], 0.0, -0.8),
    ([(0, 10.0), (1, 11.0), (2, 12.0)], 0.0, 0.09090909090909091),
    ([(5, 1.0), (5, 2.0), (5, 3.0)], 0.0, 0.0),
    ([(0, -1.0), (1, 0.0), (2, 1.0)], 0.0, 0.0),
    ([(0, 1.0), (1, 100.0), (2, 1000.0)], 0.0, 1.0),
    ([(0, 1000.0), (1, 100.0), (2, 1.0)], 0.0, -1.0),
    ([(0, 1.0), (1, 5.0), (2, 9.0), (3, 9.0)], 1.0, 0.2608695652173913),
    ([(0, 1.0), (1, 5.0), (2, 9.0)], 1.0, 0.0),
    (None, 0.0, 0.0)])
def test_trend(history, start, expected):
    assert pa.calculate_performance_trend(history, start) == expected


@given(st.lists(st.tuples(st.floats(-1e3, 1e3), st.floats(-1e6, 1e6)), max_size=30),
       st.floats(-1e3, 1e3))
@settings(max_examples=200)
def test_trend_matches_model_bit_for_bit(history, start):
    assert pa.calculate_performance_trend(history, start) == model_trend(history, start)


@pytest.mark.parametrize("parallel, kwargs, expected", [
    ([0.0] * 3 + [0.5] * 3, {}, (True, 0.5, 0.0, 0.0)),
    ([0.0] * 3 + [0.5] * 3, {"change_threshold": 0.5}, (False, 0.5, 0.0, 0.0)),
    ([0.5] * 3 + [0.0] * 3, {}, (True, 0.5, 0.0, 0.0)),
    ([1, 1, 1, 0, 0, 1], {}, (True, 0.6666666666666666, 0.0, 0.0)),
    ([Fraction(1, 2)] * 3 + [0] * 3, {}, (True, 0.5, 0.0, 0.0))])
def test_characteristics_change(parallel, kwargs, expected):
    result = pa.detect_workload_characteristics_change(chars(parallel), **kwargs)
    assert result == expected and type(result[1]) is float


def test_characteristics_no_change_and_history_depth():
    no_change = pa.detect_workload_characteristics_change([])
    assert no_change == (False, 0.0, 0.0, 0.0)
    assert pa.detect_workload_characteristics_change(chars([0.0] * 5)) is no_change
    broken = chars([0.0] * 6)
    del broken[2]["cpu_intensity"]
    assert pa.detect_workload_characteristics_change(broken) is no_change
    # A missing key ends the check before a later non-dict entry is looked at.
    assert pa.detect_workload_characteristics_change(broken[:5] + [42]) is no_change
    deep = [{}, None] + chars([0.0] * 3 + [0.9] * 3)
    assert pa.detect_workload_characteristics_change(deep)[0] is True


@pytest.mark.parametrize("bad", [None, 42, type("D", (dict,), {})(zip(KEYS, (0, 0, 0)))])
def test_characteristics_entries_must_be_exact_dicts(bad):
    with pytest.raises(TypeError):
        pa.detect_workload_characteristics_change(chars([0.0] * 6)[:5] + [bad])


@pytest.mark.parametrize("patterns, kwargs, expected", [
    (["a", "b", "b", "a"], {}, "a"), (["x", "x", "x", "a", "b", "b", "a", "c"], {}, "a"),
    (["a", "b", "c"], {"window_size": 2}, "b"), ([], {}, "mixed"), (["a"], {"window_size": 0}, "mixed"),
    (["a"], {"window_size": -3}, "mixed"), ([None, "a", None], {}, None),
    ([f"p{i % 40}" for i in range(1000)] + ["p7"], {"window_size": 1000}, "p7")])
def test_dominant_pattern(patterns, kwargs, expected):
    assert pa.detect_dominant_pattern(patterns, **kwargs) == expected


def test_dominant_pattern_returns_the_entry_itself():
    first, second = "".join(["ab", "c"]), "".join(["a", "bc"])
    assert first is not second
    assert pa.detect_dominant_pattern(["z", first, second]) is first
    assert pa.detect_dominant_pattern([]) is pa.detect_dominant_pattern(["q"], 0)


@given(st.lists(st.sampled_from(["a", "b", "c", "d", None, "é", "\U0001f600"]), max_size=40),
       st.integers(-2, 45))
@settings(max_examples=200)
def test_dominant_pattern_matches_model(patterns, window):
    counts = {}
    for p in patterns[max(0, len(patterns) - window):] if window > 0 else []:
        counts[p] = counts.get(p, 0) + 1
    best, best_count = "mixed", 0
    for p, c in counts.items():
        if c > best_count:
            best, best_count = p, c
    assert pa.detect_dominant_pattern(patterns, window) == best


@pytest.mark.parametrize("bad", [1, b"a", type("S", (str,), {})("a")])
def test_dominant_pattern_entry_types(bad):
    with pytest.raises(TypeError):
        pa.detect_dominant_pattern(["a", bad])


@pytest.mark.parametrize("history, horizon, expected", [
    (hist(1000.0), 18.0, (20, 20000, 0.08)), (hist(1000.0, 9), 18.0, (0, 0, 0.0)),
    ([(3.0, 1.0)] * 10, 18.0, (0, 0, 0.0)), (hist(1000.0, 150), 10.0, (10, 10000, 0.8)),
    (hist(1000.0, 99), 98.0, (98, 98000, 0.792)),  # 98.99999999999999 truncates
    (hist(1e9), 1e10, (2**31 - 1, 2**31 - 1, 0.08)), (hist(1e9), -1e12, (-(2**31), -(2**31), 0.08)),
    (hist(1.0), float("nan"), (0, 0, 0.08)), ([[i, 10] for i in range(10)], 9.0, (10, 100, 0.08))])
def test_prediction(history, horizon, expected):
    assert pa.predict_resource_requirements(history, horizon) == expected


@given(st.lists(st.tuples(st.floats(0, 1e4), st.floats(0, 1e7)), min_size=10, max_size=120),
       st.floats(-1e6, 1e6))
@settings(max_examples=200)
def test_prediction_matches_model(history, horizon):
    def sat(v):
        return 0 if v != v else int(max(-(2**31), min(2**31 - 1, v)))

    n, duration, total = len(history), history[-1][0] - history[0][0], 0.0
    for _, size in history:
        total += size
    expected = (0, 0, 0.0)
    if duration > 0.0:
        allocations = sat(n / duration * horizon)
        expected = (allocations, sat(total / n * allocations), n * 0.008 if n < 100 else 0.8)
    assert pa.predict_resource_requirements(history, horizon) == expected


def test_prediction_no_change_is_shared_and_short_history_unread():
    assert pa.predict_resource_requirements([None] * 9, 1.0) is pa.predict_resource_requirements([], 1.0)


@pytest.mark.parametrize("make, error", [
    (lambda: (1.0, 2.0, 3.0), ValueError), (lambda: (1.0,), ValueError), (list, ValueError),
    (lambda: iter([1.0]), ValueError), (lambda: iter([1.0, 2.0, 3.0]), ValueError),
    (lambda: {1.0: 0, 2.0: 0, 3.0: 0}, ValueError), (lambda: 5.0, TypeError),
    (lambda: (1.0, "x"), TypeError), (lambda: (None, 1.0), TypeError)])
@pytest.mark.parametrize("call", [
    lambda h: pa.detect_performance_degradation(h, 100.0, 0.1, 1e9),  # outside the window, still read
    lambda h: pa.calculate_performance_trend(h, 0.0),
    lambda h: pa.predict_resource_requirements(h, 1.0)])
def test_entry_unpacking_errors(call, make, error):
    with pytest.raises(error, match="unpack|real number|must be"):
        call(hist(1.0)[:9] + [make()] + [(99.0, 1.0)])


class Num:
    def __init__(self, v):
        self.v = v

    def __float__(self):
        return self.v


@pytest.mark.parametrize("form", [list, iter, lambda p: (Num(p[0]), Num(p[1])), lambda p: (int(p[0]), int(p[1]))])
def test_entry_forms_read_alike(form):
    plain = [(float(i), float(i * i + 1)) for i in range(12)]
    other = [form(p) for p in plain]
    assert pa.calculate_performance_trend(other, 2.0) == pa.calculate_performance_trend(plain, 2.0)
    other = plain[:1] + [form(p) for p in plain[1:-1]] + plain[-1:]  # ends are indexed
    assert pa.predict_resource_requirements(other, 30.0) == pa.predict_resource_requirements(plain, 30.0)


@pytest.mark.parametrize("call", [
    lambda h: pa.detect_performance_degradation(h, 1.0, 0.1, 0.0),
    lambda h: pa.calculate_performance_trend(h, 0.0), pa.detect_workload_characteristics_change,
    pa.detect_dominant_pattern, lambda h: pa.predict_resource_requirements(h, 1.0)])
@pytest.mark.parametrize("history", [(), type("L", (list,), {})(), {}])
def test_histories_must_be_exact_lists(call, history):
    with pytest.raises(TypeError):
        call(history)


@pytest.mark.parametrize("call", [pa.detect_workload_characteristics_change, pa.detect_dominant_pattern,
                                  lambda h: pa.predict_resource_requirements(h, 1.0)])
def test_none_history_has_no_length(call):
    with pytest.raises(TypeError, match="has no len"):
        call(None)


class Mutator:
    """A value whose conversion changes the history being read."""

    def __init__(self, history, action, value=1.0):
        self.history, self.action, self.value = history, action, value

    def __float__(self):
        self.action(self.history)
        return self.value


@pytest.mark.parametrize("action", [list.clear, lambda h: h.append((50.0, 1.0)), lambda h: h.pop(),
                                    lambda h: h.__delitem__(slice(0, 5)), lambda h: h[-1].clear()])
@pytest.mark.parametrize("call", [
    lambda h: pa.detect_performance_degradation(h, 1.0, 0.1, 0.0),
    lambda h: pa.calculate_performance_trend(h, 0.0), lambda h: pa.predict_resource_requirements(h, 1.0)])
def test_history_mutated_while_read(call, action):
    history = [[float(i), float(i)] for i in range(12)]
    history[0] = [0.0, Mutator(history, action)]
    history[-1] = [11.0, Mutator(history, action)]
    try:
        call(history)
    except (ValueError, IndexError):
        pass  # a shortened entry or list may fail to unpack; it must not crash


def test_characteristics_values_mutating_history():
    history = chars([0.0] * 6)

    class Sneaky(float):
        def __radd__(self, other):
            history.clear()
            return other + float(self)

    history[-1]["parallelization_potential"] = Sneaky(0.9)
    assert pa.detect_workload_characteristics_change(history, 0.2) == (True, abs(0.9 * 0.3333333333333333), 0.0, 0.0)


def test_histories_left_untouched_and_no_references_kept():
    history = [(float(i), float(i)) for i in range(20)]
    snapshot, counts = list(history), [sys.getrefcount(e) for e in history]
    for _ in range(100):
        pa.detect_performance_degradation(history, 50.0, 0.1, 0.0)
        pa.calculate_performance_trend(history, 0.0)
        pa.predict_resource_requirements(history, 5.0)
        pa.detect_dominant_pattern(["a"] * 20, 20)
    assert history == snapshot and [sys.getrefcount(e) for e in history] == counts
