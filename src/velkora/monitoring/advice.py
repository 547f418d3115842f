"""What to do about one measured function: measured figures and its static pattern in, one piece of
advice with an estimate and the velkora call that does it out. Pure functions over plain values.
"""

from __future__ import annotations

from dataclasses import dataclass

# Below this share of the measured time a function is not worth changing, whatever its pattern.
MIN_SHARE = 0.02
# Calls from which compiling pays for its cost (a compilation takes a fraction of a second).
MIN_COMPILE_CALLS = 20
# A function of this much own time is worth compiling even when called a few times (a long loop).
MIN_COMPILE_SECONDS = 0.2

NUMERIC_LOOP = frozenset({"CPU_INTENSIVE", "SEQUENTIAL", "MIXED"})
INDEPENDENT = frozenset({"PARALLEL_FRIENDLY"})
ARRAYS = frozenset({"NUMPY_VECTORIZED", "NUMPY_LINALG"})
GPU = frozenset({"GPU_SUITABLE", "GPU_COMPUTE_INTENSIVE", "GPU_MEMORY_BOUND"})
LIBRARY_BOUND = frozenset({"PANDAS_DATAFRAME", "PANDAS_GROUPBY", "SKLEARN_TRAINING", "SKLEARN_INFERENCE"})


@dataclass(frozen=True)
class Facts:
    """What advice is decided from."""
    calls: int
    own: float                  # seconds
    share: float                # own time / everything measured
    pattern: str | None         # static pattern, None when the source could not be analysed
    embarrassing_loops: int = 0  # loops that carry no state from one iteration to the next
    gpu_speedup: float = 0.0    # the static estimate
    cores: int = 1
    gpu: bool = False
    native_share: float = 0.0   # share of its total time spent in native callees
    compiler: str | None = None  # what the driver made of it: compiled, failed..., None when not tried
    loops: bool = True          # its code loops (False: a small body, hot by its call count alone)
    recursive: bool = False     # it calls itself


@dataclass(frozen=True)
class Advice:
    action: str                 # compile, map, vectorize, gpu, native, leave
    text: str                   # one line, with the estimate
    call: str | None = None     # the velkora call that does it


def _count(n: int) -> str:
    return "once" if n == 1 else f"{n:,} times"


def advise(f: Facts) -> Advice:
    """The one thing most worth doing for a function with facts `f`."""
    if f.share < MIN_SHARE:
        return Advice("leave", f"cold: {f.share:.1%} of the time, nothing worth changing")
    if f.native_share >= 0.8:
        return Advice("native", "already in native code: nothing to gain")
    if f.pattern in LIBRARY_BOUND:
        return Advice("leave", "time is in the library's own native code: nothing to gain here")
    verdict = ""
    if f.compiler is not None:
        verdict = f"; the compiler {f.compiler}"
    if f.gpu and f.pattern in GPU and f.gpu_speedup >= 2.0:
        return Advice("gpu", f"GPU candidate: expected {f.gpu_speedup:.0f}x on the device", "velkora.jit.adaptive")
    # Independent items of numbers the compiler takes: compiling gains far more than the cores would.
    compiles = f.compiler is not None and f.compiler.startswith("accepts")
    hot = f.calls >= MIN_COMPILE_CALLS or f.own >= MIN_COMPILE_SECONDS
    if f.pattern in INDEPENDENT and compiles and hot:
        then = f", then map over items on {f.cores} cores" if f.cores > 1 else ""
        return Advice("compile", f"compile: called {_count(f.calls)}, loops on numbers, "
                                 f"expected 30-100x{then}{verdict}", "velkora.jit.adaptive")
    if f.pattern in INDEPENDENT or (f.embarrassing_loops > 0 and f.pattern not in NUMERIC_LOOP):
        if f.cores > 1:
            return Advice("map", f"map over items: loop carries no state, {f.cores} cores "
                                 f"(expected up to {f.cores}x)", "velkora.parallel.map")
    if f.pattern in NUMERIC_LOOP or f.pattern in INDEPENDENT:
        if hot and not f.loops and not f.recursive:
            # Compiled on its own, a small body still pays a call from the interpreter each time.
            return Advice("vectorize", f"called {_count(f.calls)}, no loop: the call costs more than its "
                                       f"body; compiling it alone gains little, fold it into its caller "
                                       f"(compile or vectorize the loop that calls it){verdict}")
        if hot:
            shape = "loops on numbers" if f.loops else "recursive on numbers"
            return Advice("compile", f"compile: called {_count(f.calls)}, {shape}, "
                                     f"expected 30-100x{verdict}", "velkora.jit.adaptive")
        return Advice("leave", f"called {_count(f.calls)} only: compiling would cost more than it saves")
    if f.pattern in ARRAYS:
        if f.calls >= MIN_COMPILE_CALLS and f.own / max(f.calls, 1) < 50e-6:
            return Advice("compile", f"compile: called {_count(f.calls)} on small arrays, the "
                                     f"interpreter's overhead dominates, expected 2-10x{verdict}",
                          "velkora.jit.adaptive")
        return Advice("vectorize", "vectorize: already array code; fuse the remaining Python-level loops")
    if f.pattern == "MEMORY_INTENSIVE":
        return Advice("vectorize", "vectorize: memory-bound; work on whole arrays instead of items")
    return Advice("leave", "no pattern velkora can speed up")


def estimated_saving(own: float, low: float, high: float) -> tuple[float, float]:
    """Seconds saved when `own` seconds run `low` to `high` times faster."""
    return own - own / max(low, 1.0), own - own / max(high, 1.0)
