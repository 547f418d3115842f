"""Case and baseline declarations shared by the benchmark files."""

from __future__ import annotations

from dataclasses import dataclass


@dataclass(frozen=True)
class Baseline:
    name: str
    stmt: str
    setup: str = ""


@dataclass(frozen=True)
class Case:
    name: str
    stmt: str
    setup: str
    baseline: Baseline
    max_ratio: float | None = None    # op time at most this multiple of the baseline's
    min_speedup: float | None = None  # op at least this many times faster than the baseline
    number: int = 200_000             # calls per timed loop


# Call floors: trivial C builtins with the same number of arguments. Nothing can be much faster.
FLOOR0 = Baseline("call floor, 0 args: (5).bit_length()", "n.bit_length()", "n = 5")
FLOOR1 = Baseline("call floor, 1 arg: math.fabs(x)", "math.fabs(x)", "import math; x = 3.0")
FLOOR2 = Baseline("call floor, 2 args: math.copysign(x, y)", "math.copysign(x, y)",
                  "import math; x = 3.0; y = 2.0")
FLOOR3 = Baseline("call floor, 3 args: max(a, b, c)", "max(a, b, c)", "a = 1; b = 2; c = 3")
