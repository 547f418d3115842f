"""Copies of a call's arguments and results, for checking compiled code against the interpreter."""

from __future__ import annotations

import copy
from typing import Any

from velkora.jit.adaptive_policy import same_result

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

