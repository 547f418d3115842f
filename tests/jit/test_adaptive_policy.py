"""The compile driver's pure decisions."""

import math

import numpy as np
import pytest

from velkora.jit.adaptive_policy import (DriverPolicy, State, cached_decision, failure_reason, held_until,
                                         keep_compiled, next_check_count, same_result,
                                         should_ask_gate, worth_compiling)


@pytest.mark.parametrize("calls, threshold, expected", [
    (0, 100, 100), (150, 100, 151), (99, 100, 100), (5, 0, 6), (5, -1, 2**64 - 1),
])
def test_gate_is_asked_only_where_it_could_say_yes(calls, threshold, expected):
    assert next_check_count(calls, threshold) == expected


@pytest.mark.parametrize("state, calls, at, expected", [
    (State.INTERPRETED, 100, 100, True), (State.INTERPRETED, 99, 100, False),
    (State.COMPILED, 200, 100, True), (State.FAILED, 10**6, 1, False),
    (State.REVERTED, 10**6, 1, False), (State.COMPILING, 10**6, 1, False),
])
def test_should_ask_gate(state, calls, at, expected):
    assert should_ask_gate(state, calls, at) is expected


@pytest.mark.parametrize("spent_ns, expected", [(3e9, True), (0.25e9, True), (0.2e9, False)])
def test_a_handful_of_long_calls_is_worth_a_compilation(spent_ns, expected):
    assert worth_compiling(spent_ns, compile_cost_s=0.25, worth_factor=1.0) is expected


@pytest.mark.parametrize("loaded, elsewhere, cost", [(False, False, 0.65), (False, True, 0.4), (True, True, 0.0),
                                                   (True, False, 0.25)])
def test_the_program_is_charged_compiling_only_when_it_compiles_itself(loaded, elsewhere, cost):
    from velkora.jit.adaptive_policy import expected_compile_cost

    assert expected_compile_cost(DriverPolicy(), None, loaded, elsewhere) == pytest.approx(cost)


@pytest.mark.parametrize("calls, spent, expected", [
    (3000, 1e7, (3001, 2e7 + 1)), (0, 0.0, (1, 1.0)), (2**63, 1e7, (2**63 - 1, 2e7 + 1)),
    (None, 1e7, None), (True, 1e7, None), (-1, 1e7, None), (3000, math.nan, None), (3000, "1", None),
])
def test_a_run_that_ended_unanswered_holds_the_next_until_it_goes_further(calls, spent, expected):
    assert held_until(calls, spent) == expected


@pytest.mark.parametrize("s, keep", [(1.0, True), (0.99, False), (40.0, True)])
def test_slower_compiled_versions_are_not_kept(s, keep):
    assert keep_compiled(s, 1.0) is keep


@pytest.mark.parametrize("a, b, same", [
    (15511210043330985984000000, 7034535277573963776, False),  # 25! wrapped in 64 bits
    (120, 120, True), (120, np.int64(120), True), (1.0, 1.0 + 1e-12, True), (1.0, 1.1, False),
    (math.nan, math.nan, True), (math.nan, 1.0, False), (3, 3.0, False), (True, 1, True),
    ((1, 2.0), (1, 2.0), True), ((1, 2.0), (1,), False), (None, None, True), (None, 0, False),
    (np.arange(3.0), np.arange(3.0), True), (np.arange(3.0), np.arange(4.0), False),
    (np.array([1, 2]), np.array([1, 3]), False), (np.array([np.nan]), np.array([np.nan]), True),
])
def test_same_result(a, b, same):
    assert same_result(a, b, 1e-9) is same


def test_failure_reason_is_one_bounded_line_without_colour():
    line = failure_reason("\x1b[1mUntyped global name 'object'\x1b[0m\n\n  File x\n" + "y" * 1000)
    assert "\n" not in line and "\x1b" not in line and len(line) <= 300
    assert line.startswith("Untyped global name 'object' | File x")


@pytest.mark.parametrize("entry, hit", [
    ({"source_hash": "h", "compiler": "c", "state": "compiled", "signatures": ["(int64,)"]}, True),
    ({"source_hash": "other", "compiler": "c", "state": "compiled"}, False),
    ({"source_hash": "h", "compiler": "c2", "state": "compiled"}, False),
    ({"source_hash": "h", "compiler": "c", "state": "bogus"}, False),
    ({"source_hash": "h", "compiler": "c", "state": "failed", "signatures": "x"}, False),
    (["not", "a", "dict"], False), (None, False),
])
def test_cache_entry_applies_only_to_the_same_source_and_compiler(entry, hit):
    assert (cached_decision(entry, "h", "c") is not None) is hit


@pytest.mark.parametrize("field, value", [("compile_cost_s", -1.0), ("min_speedup", math.nan),
                                          ("check_calls", -1), ("check_calls", 1.5)])
def test_policy_validation_names_the_field(field, value):
    with pytest.raises(ValueError, match=field):
        DriverPolicy(**{field: value})
