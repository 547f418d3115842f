"""The compile driver's decisions, over plain values: when to consult the gate, whether a function has
earned a compilation, whether a compiled version is kept, and when two results agree.

Nothing here imports a compiler, touches a thread or reads a clock; the driver in `adaptive` calls
these with what it measured.
"""

from __future__ import annotations

import math
import re
from dataclasses import dataclass
from enum import Enum
from typing import Optional


class State(str, Enum):
    """Where a decorated function stands."""

    INTERPRETED = "interpreted"
    COMPILING = "compiling"
    COMPILED = "compiled"
    FAILED = "failed"
    REVERTED = "reverted"


@dataclass(frozen=True)
class DriverPolicy:
    """Tuning of the driver, apart from the gate's thresholds.

    compile_cost_s: what one compilation is expected to cost before one has been measured.
    import_cost_s: what loading the compiler costs, added for the first compilation of a process.
    worth_factor: interpreted time must reach this multiple of the compile cost for a function to be
        compiled on time alone (a handful of long calls), whatever its call count.
    min_speedup: a compiled version measured slower than this multiple of the interpreter is reverted.
    long_call_s: calls at least this long are timed every time (timing them costs nothing in
        comparison) and replayed only once for the check.
    check_calls: calls after a compilation that are checked against the interpreter.
    rel_tol: relative tolerance for floating-point results of the check.
    load_cached_at_decoration: code the disk cache holds for a function is loaded when it is
        decorated (loading the compiler then), rather than on the worker thread beside the calls.
    early_load_call_s: a function compiled in the compile process whose recorded call took at
        least this long has the compiler loaded here while it compiles there, a bet that it will
        be kept (calls with that much work in them are where compiled code pays most); a shorter
        one waits for the verdict, and a version refused or reverted there costs this process no
        compiler at all.
    load_early_on_caller: that early load runs on the calling thread right after the recorded
        call (that one call takes what eager compilation's import does, and the other core
        compiles meanwhile), rather than on the worker thread beside the calls, where it shares
        the interpreter lock with them and takes about twice as long.
    """

    compile_cost_s: float = 0.25
    import_cost_s: float = 0.4
    worth_factor: float = 1.0
    min_speedup: float = 1.0
    long_call_s: float = 1e-3
    check_calls: int = 3
    rel_tol: float = 1e-9
    load_cached_at_decoration: bool = True
    early_load_call_s: float = 1e-4
    load_early_on_caller: bool = True

    def __post_init__(self) -> None:
        for name in ("compile_cost_s", "import_cost_s", "worth_factor", "min_speedup", "long_call_s", "rel_tol",
                     "early_load_call_s"):
            value = getattr(self, name)
            if not (isinstance(value, (int, float)) and math.isfinite(value) and value >= 0):
                raise ValueError(f"DriverPolicy.{name} must be a finite number >= 0, got {value!r}")
        if not isinstance(self.check_calls, int) or self.check_calls < 0:
            raise ValueError(f"DriverPolicy.check_calls must be an int >= 0, got {self.check_calls!r}")


def next_check_count(calls: int, threshold: int) -> int:
    """The call count at which the gate is next asked: its threshold, or the next call when the count
    is already there (a gate below its threshold answers False, so asking earlier is wasted).
    Costs nothing."""
    if threshold <= 0:
        return calls + 1 if threshold == 0 else 2**64 - 1  # a negative threshold admits nothing
    return max(threshold, calls + 1)


def expected_compile_cost(policy: DriverPolicy, measured_mean_s: Optional[float],
                          compiler_loaded: bool, elsewhere: bool = False) -> float:
    """Seconds a compilation is expected to cost the program: the mean of those measured in this
    process, else the policy's guess, plus loading the compiler while it is not loaded yet. Compiled
    `elsewhere` (the compile process, on another core), only the loading is the program's."""
    cost = 0.0 if elsewhere else policy.compile_cost_s if measured_mean_s is None else measured_mean_s
    return cost + (0.0 if compiler_loaded else policy.import_cost_s)


def time_trigger_ns(compile_cost_s: float, worth_factor: float, spent_ns: float) -> float:
    """Interpreted time (ns, cumulative) at which a function is worth compiling on time alone."""
    return max(spent_ns + 1.0, compile_cost_s * worth_factor * 1e9)


def worth_compiling(interpreted_ns: float, compile_cost_s: float, worth_factor: float) -> bool:
    """True when the time spent interpreted so far pays for a compilation: a handful of one-second
    calls qualifies whatever the call count. Costs nothing."""
    return interpreted_ns >= compile_cost_s * worth_factor * 1e9


def load_compiler_early(call_ns: float, policy: DriverPolicy, trial_there: bool) -> bool:
    """Whether to load the compiler in this process while the compile process compiles: always when
    the version is tried here (it will be needed), else when the recorded call was long enough to
    gain from compiled code. Costs nothing."""
    return not trial_there or call_ns >= policy.early_load_call_s * 1e9


def ship_before_the_call(mean_call_ns: float, policy: DriverPolicy) -> bool:
    """Whether the compilation goes to the compile process as the recorded call starts (its types
    are all a compilation needs) rather than after it: for calls of at least `long_call_s`, which
    are checked here, once, after it. Costs nothing."""
    return mean_call_ns >= policy.long_call_s * 1e9


def held_until(run_calls: object, run_spent_ns: object) -> Optional[tuple[int, float]]:
    """Where a function whose last run ended before its compilation was answered is next looked at:
    the call past that run's count, or twice that run's time (timings vary from run to run; a run
    doing as many calls of twice the work is another program), whichever comes first; None for a
    record that says neither (an older or damaged one: the usual warm-up). Costs nothing."""
    if isinstance(run_calls, bool) or not isinstance(run_calls, int) or run_calls < 0:
        return None
    if isinstance(run_spent_ns, bool) or not isinstance(run_spent_ns, (int, float)) \
            or not math.isfinite(run_spent_ns) or run_spent_ns < 0:
        return None
    return min(run_calls + 1, 2**63 - 1), 2.0 * float(run_spent_ns) + 1.0


def speedup(interpreted_ns: float, compiled_ns: float) -> float:
    """Measured speedup of compiled over interpreted calls on the same arguments; a compiled call
    that took no measurable time counts as 1 ns."""
    return interpreted_ns / max(compiled_ns, 1.0)


def keep_compiled(measured_speedup: float, min_speedup: float) -> bool:
    """Whether a compiled version stays: it must be measured at least `min_speedup` times faster."""
    return measured_speedup >= min_speedup


def should_ask_gate(state: State, calls: int, next_check: int) -> bool:
    """The gate is asked only for a function still interpreted (or compiled, for new argument
    types) whose count reached the point where it could answer True."""
    return state in (State.INTERPRETED, State.COMPILED) and calls >= next_check


def same_result(interpreted: object, compiled: object, rel_tol: float) -> bool:
    """Whether a compiled result stands for the interpreter's: equal ints exactly (a machine integer
    that wrapped differs), floats within `rel_tol` (NaN equals NaN), tuples/lists element by element,
    arrays by shape, dtype kind and values. Costs one pass over the values."""
    if isinstance(interpreted, bool) or isinstance(compiled, bool):
        return bool(interpreted == compiled)
    if isinstance(interpreted, (tuple, list)):
        if not isinstance(compiled, (tuple, list)) or len(compiled) != len(interpreted):
            return False
        return all(same_result(a, b, rel_tol) for a, b in zip(interpreted, compiled))
    shape = getattr(interpreted, "shape", None)
    if shape is not None and hasattr(interpreted, "dtype"):
        return _same_array(interpreted, compiled, rel_tol)
    if isinstance(interpreted, int) and not isinstance(interpreted, bool):
        try:
            return int(compiled) == interpreted and _is_integral(compiled)  # type: ignore[call-overload]
        except (TypeError, ValueError, OverflowError):
            return False
    if isinstance(interpreted, (float, complex)):
        try:
            a, b = complex(interpreted), complex(compiled)  # type: ignore[call-overload]
        except (TypeError, ValueError):
            return False
        return _close(a.real, b.real, rel_tol) and _close(a.imag, b.imag, rel_tol)
    if interpreted is None:
        return compiled is None
    try:
        return bool(interpreted == compiled)
    except Exception:
        return False


def _is_integral(x: object) -> bool:
    if isinstance(x, int):
        return True
    kind = getattr(getattr(x, "dtype", None), "kind", None)
    return kind in ("i", "u", "b")


def _close(a: float, b: float, rel_tol: float) -> bool:
    if math.isnan(a) or math.isnan(b):
        return math.isnan(a) and math.isnan(b)
    return a == b or math.isclose(a, b, rel_tol=rel_tol, abs_tol=0.0)


def _same_array(a: object, b: object, rel_tol: float) -> bool:
    import numpy as np  # only reached with arrays, so numpy is there

    x, y = np.asarray(a), np.asarray(b)
    if x.shape != y.shape:
        return False
    if x.dtype.kind in "fc" or y.dtype.kind in "fc":
        if x.dtype.kind not in "fciub" or y.dtype.kind not in "fciub":
            return False
        return bool(np.allclose(x, y, rtol=rel_tol, atol=0.0, equal_nan=True))
    return bool(np.array_equal(x, y))


def failure_reason(message: str, limit: int = 300) -> str:
    """The compiler's refusal as one log line: its first meaningful lines joined, cut to `limit`."""
    message = re.sub(r"\x1b\[[0-9;]*m", "", message)  # the compiler colours its messages
    lines = [ln.strip() for ln in message.splitlines() if ln.strip()]
    text = " | ".join(lines[:4]) if lines else "unknown reason"
    return text if len(text) <= limit else text[: limit - 3] + "..."


def cached_decision(entry: Optional[dict[str, object]], source_hash: str,
                    compiler_version: str) -> Optional[dict[str, object]]:
    """A disk-cache entry when it still applies (same source and compiler), else None: a changed
    source or compiler, or a malformed entry, is a clean miss."""
    if not isinstance(entry, dict):
        return None
    if entry.get("source_hash") != source_hash or entry.get("compiler") != compiler_version:
        return None
    if entry.get("state") not in {s.value for s in State}:
        return None
    sigs = entry.get("signatures", [])
    if not isinstance(sigs, list) or not all(isinstance(s, str) for s in sigs):
        return None
    return entry
