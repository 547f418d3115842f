"""Per-call cost of the compile driver's native dispatcher: over a direct call of the function when it
runs interpreted, and over the compiler's own dispatcher once compiled."""

import importlib.util

from benchlib import Baseline, Case

PLAIN = """
from velkora.jit.dispatch import Dispatcher
def f(x):
    return x
d = Dispatcher(f, "bench.f")
"""

CASES = [
    Case("Dispatcher call, interpreted impl", "d(1)", PLAIN,
         Baseline("direct call of the Python function", "f(1)", PLAIN), max_ratio=3.0,
         number=500_000),
]

if importlib.util.find_spec("numba") is not None:
    COMPILED = """
import numba
from velkora.jit.dispatch import Dispatcher
def f(x):
    return x + 1
nf = numba.njit(f)
nf(1)
d = Dispatcher(f, "bench.g")
d.impl = nf
"""
    CASES.append(Case("Dispatcher call, compiled impl", "d(1)", COMPILED,
                      Baseline("the compiler's own dispatcher", "nf(1)", COMPILED), max_ratio=1.6,
                      number=500_000))
