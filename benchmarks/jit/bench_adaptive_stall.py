"""What a background compilation costs the calls that run meanwhile: per-call time of a hot function
before, during and after its compilation (median and worst), and the wall time the compilation
took, in one fresh process.

    PYTHONPATH=src python3 benchmarks/jit/bench_adaptive_stall.py
"""

from __future__ import annotations

import os
import statistics
import time

os.environ.setdefault("VELKORA_JIT_CACHE", "0")

from velkora.jit import adaptive  # noqa: E402
from velkora.jit.driver import State  # noqa: E402


@adaptive
def kernel(n):
    s = 0.0
    for i in range(n):
        s += (i % 13) * 0.25
    return s


def main() -> None:
    phases: dict[State, list[float]] = {State.INTERPRETED: [], State.COMPILING: [], State.COMPILED: []}
    t_start = None
    t_done = None
    deadline = time.perf_counter() + 30
    after = 0
    while time.perf_counter() < deadline and after < 2000:
        state = kernel.adaptive.state
        t0 = time.perf_counter()
        kernel(2000)
        dt = time.perf_counter() - t0
        if state is State.COMPILING and t_start is None:
            t_start = t0
        if state is State.COMPILED:
            if t_done is None:
                t_done = t0
            after += 1
        phases.setdefault(state, []).append(dt)
    print(f"{'phase':12} {'calls':>6} {'median us':>10} {'worst us':>10}")
    for state, times in phases.items():
        if times:
            print(f"{state.value:12} {len(times):6d} {statistics.median(times) * 1e6:10.1f} "
                  f"{max(times) * 1e6:10.1f}")
    if t_start is not None and t_done is not None:
        during = phases[State.COMPILING]
        base = statistics.median(phases[State.INTERPRETED])
        print(f"compilation (numba import included) took {t_done - t_start:.3f} s of wall time; calls "
              f"meanwhile ran {statistics.median(during) / base:.2f}x slower than before (median), "
              f"{kernel.adaptive.compile_seconds:.3f} s inside numba's compile(); speedup "
              f"{kernel.adaptive.speedup:.1f}x")


if __name__ == "__main__":
    main()
