"""Workload classification, GPU suitability and speedup, parallelisation and threshold learning."""

from fractions import Fraction

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from velkora.plugins.analyzer import code_scoring as cs

PARAMS = ("cpu_intensity memory_intensity parallelization_potential gpu_suitability "
          "gpu_operation_score numpy_score pandas_score sklearn_score sequential_count "
          "embarrassing_count cpu_threshold memory_threshold gpu_threshold numpy_threshold "
          "pandas_threshold sklearn_threshold gpu_available").split()
QUIET = dict.fromkeys(PARAMS, 0.0) | {"sequential_count": 0, "embarrassing_count": 0,
                                      "gpu_available": False} | {
    k: 0.5 for k in PARAMS if k.endswith("_threshold")}

# Each rule's trigger, in priority order, with the code it selects.
RULES = [
    ({"sklearn_score": 0.6}, 12),
    ({"pandas_score": 0.6}, 10),
    ({"numpy_score": 0.6}, 8),
    ({"gpu_available": True, "gpu_suitability": 0.6, "gpu_operation_score": 0.8,
      "cpu_intensity": 0.7}, 6),
    ({"gpu_available": True, "gpu_suitability": 0.6, "memory_intensity": 0.6}, 7),
    ({"gpu_available": True, "gpu_suitability": 0.6}, 5),
    ({"embarrassing_count": 1}, 3),
    ({"parallelization_potential": 0.61}, 3),
    ({"cpu_threshold": 0.2, "cpu_intensity": 0.3}, 1),        # below the GPU cut-offs
    ({"memory_threshold": 0.2, "memory_intensity": 0.3}, 2),
    ({"sequential_count": 3}, 4),
]


def pattern(**changes):
    return cs.determine_workload_pattern(**(QUIET | changes))


@pytest.mark.parametrize("i", range(len(RULES)))
def test_each_rule_beats_the_ones_after_it(i):
    trigger, code = RULES[i]
    args = {}
    for later, _ in reversed(RULES[i:]):
        args |= later
    assert pattern(**trigger) == code
    assert pattern(**args) == code


@pytest.mark.parametrize("changes, expected", [
    ({}, 0),
    ({"sequential_count": 2}, 0),
    ({"numpy_score": 0.5}, 0),                       # equal to its threshold: falls through
    ({"sklearn_threshold": -1.0}, 12),
    ({"gpu_available": True, "gpu_suitability": 0.5}, 0),
    ({"gpu_available": True, "gpu_suitability": 0.9, "gpu_operation_score": 0.8,
      "cpu_intensity": 0.6, "memory_intensity": 0.6}, 7),
    ({"gpu_available": True, "gpu_suitability": 0.9, "gpu_operation_score": 0.8,
      "cpu_intensity": 0.6}, 5),
    ({"gpu_available": 0, "gpu_suitability": 0.9, "gpu_operation_score": 0.8,
      "cpu_intensity": 0.6, "memory_intensity": 0.6}, 1),
    ({"gpu_available": True, "gpu_suitability": 0.9, "embarrassing_count": 5,
      "sequential_count": 9}, 5),
    ({"embarrassing_count": 1, "cpu_intensity": 0.9}, 3),
    ({"parallelization_potential": 0.6, "sequential_count": 3}, 4),
    ({"embarrassing_count": -1, "sequential_count": 3.7}, 4),
])
def test_workload_pattern_cases(changes, expected):
    assert pattern(**changes) == expected


def test_workload_pattern_arguments():
    positional = [QUIET[k] for k in PARAMS]
    assert cs.determine_workload_pattern(*positional) == 0
    with pytest.raises(TypeError):
        cs.determine_workload_pattern(*positional[:-1])
    with pytest.raises(OverflowError):
        pattern(sequential_count=2**31)
    with pytest.raises(TypeError, match="cpu_intensity"):  # first bad argument decides
        pattern(cpu_intensity="x", embarrassing_count=None)


@pytest.mark.parametrize("capability, expected", [
    ("8.0", 0.6), ("10.2", 0.6), ("7.5", 0.55), ("6.1", 0.5), ("", 0.5), (None, 0.5),
    ("sm_80", 0.5), ("3.0", 0.4), ("-1.0", 0.4), (".5", 0.5), ("abc", 0.5), ("7", 0.55),
    (" 7 .5", 0.55), ("+8", 0.6), ("0_7.0", 0.55), ("1_0", 0.6), ("7_.0", 0.5), ("_7", 0.5),
    ("7__0", 0.5), ("\u0668.0", 0.6), ("\u00a07\u3000", 0.55), ("0x8", 0.5),
    ("2147483647.0", 0.6), ("-2147483648", 0.4), ("9" * 5000, 0.5),  # too many digits: ValueError
    ("0000000000000000000000007", 0.55),
])
def test_gpu_suitability_capability(capability, expected):
    assert cs.calculate_gpu_suitability(0.5, 0.5, 0.0, True, capability) == expected


@pytest.mark.parametrize("capability", [
    "2147483648.0", "-2147483649", "99999999999999999999", " 1_000_000_000_000 ", "\u0669" * 12])
def test_gpu_suitability_capability_overflow(capability):
    with pytest.raises(OverflowError):
        cs.calculate_gpu_suitability(0.5, 0.5, 0.0, True, capability)
    assert cs.calculate_gpu_suitability(0.5, 0.5, 0.0, False, capability) == 0.0


@pytest.mark.parametrize("args, expected", [
    ((0.5, 0.5, 0.0, False, "8.0"), 0.0),
    ((0.0, 0.0, 2.0, True, None), 0.3),
    ((0.0, 0.0, -2.0, True, None), 0.0),
    ((1.0, 1.0, 1.0, True, "7.0"), 1.0),
    ((-1.0, 0.0, 0.0, True, "9.0"), 0.0),
    ((0.94, 0.54, 0.38, True, None), 0.8939999999999999),  # not fused: that would give 0.894
])
def test_gpu_suitability_values(args, expected):
    assert cs.calculate_gpu_suitability(*args) == expected


def test_gpu_suitability_converts_everything_first():
    with pytest.raises(TypeError):
        cs.calculate_gpu_suitability(0.5, 0.5, 0.0, False, b"8.0")
    with pytest.raises(TypeError, match="gpu_data_size_score"):
        cs.calculate_gpu_suitability(0.5, None, "x", True, 1)

    class Falsy:
        def __bool__(self):
            raise ZeroDivisionError

    with pytest.raises(ZeroDivisionError):
        cs.calculate_gpu_suitability(0.5, 0.5, 0.0, Falsy(), None)


@pytest.mark.parametrize("args, expected", [
    ((0.9, 1.0, True), 22.5), ((0.7, 0.0, True), 8.0), ((0.5, 1.0, True), 6.0),
    ((0.3, 0.0, True), 2.0), ((-0.5, 0.0, True), 2.0), ((0.0, 1.0, True), 1.0),
    ((0.9, 4.0, True), 45.0), ((0.9, 1.0, False), 1.0), ((0.8, -4.0, 1), -8.0),
    ((0.61, 0.0, "yes"), 8.0), ((0.81, 0.0, []), 1.0),
])
def test_estimate_gpu_speedup(args, expected):
    assert cs.estimate_gpu_speedup(*args) == expected


def fused(a, b, c):
    return float(Fraction(a) * Fraction(b) + Fraction(c))


@pytest.mark.parametrize("args, expected", [
    ((0.5, 0.0, 0.0, 0.5), 0.7), ((0.5, 1.0, 0.0, 0.0), 0.8), ((0.5, 0.0, 1.0, 0.0), 0.3),
    ((0.9, 3.0, 0.0, 0.0), 1.0), ((0.0, 0.0, 10.0, 0.0), 0.0), ((0.1, -5.0, -5.0, 0.0), 0.1),
    ((0.2, 0.0, 0.0, 0.7), 0.48), ((0.0, 3.0, 0.0, 0.0), 0.7),   # bonus capped at 0.7
    ((1.0, 0.0, 5.0, 0.0), 0.5),                                 # penalty capped at 0.5
])
def test_parallelization_potential(args, expected):
    assert cs.calculate_parallelization_potential(*args) == expected


@settings(max_examples=200)
@given(st.floats(0, 1), st.floats(0, 1))
def test_parallelization_potential_is_fused(base, chunking):
    expected = min(max(fused(chunking, 0.4, base), 0.0), 1.0)
    assert cs.calculate_parallelization_potential(base, 0.0, 0.0, chunking) == expected


@pytest.mark.parametrize("args, expected", [
    ((0.5, 0.9, 0.1, 0.1, 0.55), 0.55), ((0.05, 0.5, 0.1, 0.1, 0.9), 0.1),
    ((0.5, 0.8, 0.1, 0.1, 0.9), 0.5), ((0.5, 0.4, 0.1, 0.1, 0.9), 0.5),
    ((0.5, 0.81, 0.1, 0.1, 0.9), 0.6), ((0.5, 0.39, 0.1, 0.1, 0.9), 0.4),
    ((0.5, 0.5, 0.1, 0.6, 0.2), 0.6),   # bounds crossed: lower bound tested first
    ((0.7, 0.5, 0.1, 0.6, 0.2), 0.2),
])
def test_update_adaptive_threshold(args, expected):
    assert cs.update_adaptive_threshold(*args) == expected


def model_factor(capability):
    if not capability:
        return 1.0
    try:
        major = int(capability.split(".")[0])
    except (ValueError, IndexError):
        return 1.0
    if not -(2**31) <= major < 2**31:
        raise OverflowError
    return 1.2 if major > 7 else 1.1 if major == 7 else 1.0 if major == 6 else 0.8


@settings(max_examples=300)
@given(st.text(st.sampled_from("0123456789_+- .\t\u0663\u00a0x"), max_size=14))
def test_capability_parsing_agrees_with_int(capability):
    try:
        factor = model_factor(capability)
    except OverflowError:
        with pytest.raises(OverflowError):
            cs.calculate_gpu_suitability(0.5, 0.5, 0.0, True, capability)
        return
    assert cs.calculate_gpu_suitability(0.5, 0.5, 0.0, True, capability) == min(0.5 * factor, 1.0)
