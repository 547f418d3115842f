"""Copies of a call's arguments and results, for checking compiled code against the interpreter."""

from __future__ import annotations

import copy
import time
from typing import Any, Callable, NamedTuple

from velkora.jit.adaptive_policy import failure_reason, same_result, speedup

_NO_MATCH = "No matching definition"  # the compiler's TypeError for argument types it has no version for


def _copy(value: Any) -> Any:
    if type(value) in (int, float, complex, bool, str, bytes, type(None)):
        return value
    if hasattr(value, "copy") and hasattr(value, "dtype"):
        return value.copy()  # an array: a copy of its data, same dtype and layout
    try:
        return copy.deepcopy(value)
    except Exception:
        return value


def _copy_args(args: tuple[Any, ...]) -> tuple[Any, ...]:
    return tuple(_copy(a) for a in args)


def _args_agree(a: tuple[Any, ...], b: tuple[Any, ...], rel_tol: float) -> bool:
    """Whether the arguments were left alike (arrays a function writes into)."""
    return all(same_result(x, y, rel_tol) for x, y in zip(a, b)
               if hasattr(x, "dtype") or isinstance(x, (list, dict)))


class _Sample:
    """A recorded interpreted call: the arguments before it, their state after it, its result."""

    def __init__(self, before: tuple[Any, ...], after: tuple[Any, ...], result: Any,
                 elapsed_ns: int) -> None:
        self.before, self.after, self.result, self.elapsed_ns = before, after, result, elapsed_ns


def _short(value: Any, limit: int = 80) -> str:
    text = repr(value)
    return text if len(text) <= limit else text[: limit - 3] + "..."



class Trial(NamedTuple):
    """A compiled version tried on a recorded call: `kind` "raised" (detail: the exception), "differs"
    (detail: its result) or "measured" (speedup over the interpreter)."""

    kind: str
    detail: str
    speedup: float


def run_trial(compiled: Callable[..., Any], interpreted: Callable[..., Any], sample: _Sample,
              long_call_s: float, rel_tol: float, check: bool) -> Trial:
    """Runs the compiled version on copies of the sample's arguments, compares what it returns and
    leaves with what the interpreter did (when `check`), and times both: the best of five runs each,
    or the one compiled run against the recorded call for a call at least `long_call_s` long. Costs
    those runs."""
    long_call = sample.elapsed_ns >= long_call_s * 1e9
    reps = 1 if long_call else 5
    compiled_ns = float("inf")
    result: Any = None
    after: tuple[Any, ...] = ()
    try:
        for _ in range(reps):
            args = _copy_args(sample.before)
            t0 = time.perf_counter_ns()
            result = compiled(*args)
            compiled_ns = min(compiled_ns, float(time.perf_counter_ns() - t0))
            after = args
    except Exception as exc:
        return Trial("raised", f"{type(exc).__name__}: {failure_reason(str(exc))}", 0.0)
    if check and not (same_result(sample.result, result, rel_tol) and _args_agree(sample.after, after, rel_tol)):
        return Trial("differs", _short(result), 0.0)
    interp_ns = float(sample.elapsed_ns)
    if not long_call:  # cheap to repeat: a steadier figure than one call
        for _ in range(reps):
            args = _copy_args(sample.before)
            t0 = time.perf_counter_ns()
            interpreted(*args)
            interp_ns = min(interp_ns, float(time.perf_counter_ns() - t0))
    return Trial("measured", "", speedup(interp_ns, compiled_ns))
