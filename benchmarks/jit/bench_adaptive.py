"""Whole-program wall time of small programs run three ways: plain interpreter, eager compilation
(numba.njit on every function that compiles, falling back to the interpreter where it refuses), and
velkora.jit.adaptive on every function. Fresh process per run, min of N runs, compile included; then
again with warm caches (numba's cache=True for eager, velkora's cache for adaptive).

    PYTHONPATH=src python3 benchmarks/jit/bench_adaptive.py [--runs 5] [--json FILE] [WORKLOAD ...]

A script of its own (no CASES): the benchmark runner times operations, this times programs.
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time

import numpy as np

MODE = os.environ.get("BENCH_MODE", "plain")


def _decorate(f=None, *, compiles=True):
    if f is None:
        return lambda g: _decorate(g, compiles=compiles)
    if MODE == "plain" or (MODE == "eager" and not compiles):
        return f  # eager compiles every function that compiles; the one it refuses stays plain
    if MODE == "eager":
        import numba

        return numba.njit(cache=os.environ.get("BENCH_EAGER_CACHE") == "1")(f)
    from velkora.jit import adaptive

    return adaptive(f)


# ---- the programs' functions -------------------------------------------------------------------------


@_decorate
def scalar_loop(n):
    s = 0.0
    for i in range(n):
        s += (i % 13) * 0.25 - s * 1e-6
    return s


@_decorate
def array_loop(a, b):
    s = 0.0
    for i in range(a.shape[0]):
        s += a[i] * b[i] + 0.5 * a[i]
    return s


@_decorate
def long_kernel(n):
    s = 0
    for i in range(n):
        s += (i * 7) % 11
    return s


@_decorate
def tiny(x):
    return x * 2 + 1


def _make_few(k):
    def few(n):
        s = k
        for i in range(n):
            s += i % (k + 2)
        return s

    few.__name__ = few.__qualname__ = f"few_{k}"
    return few


FEW = [_decorate(_make_few(k)) for k in range(8)]


@_decorate(compiles=False)
def refused(words):
    counts = {}
    for w in words:
        counts[w] = counts.get(w, 0) + 1
    return sorted(counts.items(), key=lambda kv: -kv[1])[0][0]


@_decorate
def list_peek(xs):
    return xs[0] + xs[-1]


@_decorate
def factorial(n):
    r = 1
    for i in range(2, n + 1):
        r *= i
    return r


# ---- the programs -------------------------------------------------------------------------------------


def w_scalar():
    return sum(scalar_loop(3000) for _ in range(8000))


def w_array():
    a, b = np.linspace(0, 1, 2000), np.linspace(1, 2, 2000)
    return sum(array_loop(a, b) for _ in range(2500))


def w_long():
    return sum(long_kernel(8_000_000) for _ in range(5))


def w_tiny():
    t = 0
    for i in range(1_000_000):
        t = tiny(i & 1023)
    return t


def w_few():
    return sum(f(200) for f in FEW for _ in range(3))


def w_refused():
    words = ["alpha", "beta", "gamma", "beta", "delta", "beta"] * 20
    return [refused(words) for _ in range(3000)][-1]


def w_slower():
    xs = list(range(300))
    return sum(list_peek(xs) for _ in range(100_000))


def w_overflow():
    return sum(factorial(25) % 1000 for _ in range(100_000))


def w_mixed():
    # A program that does a bit of everything, each part smaller.
    a, b = np.linspace(0, 1, 2000), np.linspace(1, 2, 2000)
    r = sum(scalar_loop(3000) for _ in range(2500))
    r += sum(array_loop(a, b) for _ in range(800))
    r += sum(long_kernel(8_000_000) for _ in range(2))
    for i in range(300_000):
        r += tiny(i & 1023)
    r += sum(f(200) for f in FEW for _ in range(3))
    words = ["alpha", "beta", "gamma", "beta"] * 20
    r += len([refused(words) for _ in range(1000)])
    xs = list(range(300))
    r += sum(list_peek(xs) for _ in range(30_000))
    r += sum(factorial(25) % 1000 for _ in range(30_000))
    return r


WORKLOADS = {
    "hot_scalar_loop": w_scalar, "hot_array_loop": w_array, "long_kernel_5_calls": w_long,
    "million_tiny_calls": w_tiny, "few_calls": w_few, "compiler_refuses": w_refused,
    "compiled_slower": w_slower, "int_overflow": w_overflow, "mixed": w_mixed,
}


def child(workload: str) -> None:
    t0 = time.perf_counter()
    result = WORKLOADS[workload]()
    print(json.dumps({"seconds": time.perf_counter() - t0, "result": repr(result)[:60]}))


def run_once(workload: str, mode: str, env: dict[str, str]) -> tuple[float, str]:
    t0 = time.perf_counter()
    out = subprocess.run([sys.executable, __file__, "--child", workload],
                         env={**os.environ, **env, "BENCH_MODE": mode}, capture_output=True, text=True,
                         timeout=600)
    wall = time.perf_counter() - t0  # the whole process: imports and compilation included
    if out.returncode != 0:
        raise RuntimeError(f"{workload}/{mode} failed:\n{out.stderr[-2000:]}")
    return wall, json.loads(out.stdout.strip().splitlines()[-1])["result"]


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--child")
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--json")
    ap.add_argument("workloads", nargs="*")
    args = ap.parse_args()
    if args.child:
        child(args.child)
        return
    names = args.workloads or list(WORKLOADS)
    rows = []
    print(f"{'workload':22} {'plain':>7} {'eager':>7} {'velkora':>7} {'ratio':>6} | warm: {'eager':>7} "
          f"{'velkora':>7} {'ratio':>6}  (min of {args.runs}, s)")
    for name in names:
        with tempfile.TemporaryDirectory() as tmp:
            best: dict[str, float] = {}
            results: dict[str, str] = {}
            cold = {"VELKORA_JIT_CACHE": "0", "NUMBA_CACHE_DIR": os.path.join(tmp, "cold")}
            for mode in ("plain", "eager", "velkora"):
                times = []
                for _ in range(args.runs):
                    t, results[mode] = run_once(name, mode, cold)
                    times.append(t)
                best[mode] = min(times)
            warm_eager = {"BENCH_EAGER_CACHE": "1", "NUMBA_CACHE_DIR": os.path.join(tmp, "numba")}
            warm_velkora = {"VELKORA_CACHE_DIR": os.path.join(tmp, "velkora")}
            run_once(name, "eager", warm_eager)  # fill the caches
            run_once(name, "velkora", warm_velkora)
            for mode, env in (("eager", warm_eager), ("velkora", warm_velkora)):
                best["warm_" + mode] = min(run_once(name, mode, env)[0] for _ in range(args.runs))
        ratio = best["velkora"] / min(best["plain"], best["eager"])
        warm_ratio = best["warm_velkora"] / min(best["plain"], best["warm_eager"])
        note = "" if results["velkora"] == results["plain"] else "  (velkora result differs!)"
        if results["eager"] != results["plain"]:
            note += "  (eager result wrong)"
        print(f"{name:22} {best['plain']:7.3f} {best['eager']:7.3f} {best['velkora']:7.3f} {ratio:5.2f}x |"
              f"        {best['warm_eager']:7.3f} {best['warm_velkora']:7.3f} {warm_ratio:5.2f}x{note}",
              flush=True)
        rows.append({"workload": name, **best, "ratio": ratio, "warm_ratio": warm_ratio,
                     "eager_correct": results["eager"] == results["plain"],
                     "velkora_correct": results["velkora"] == results["plain"]})
    if args.json:
        with open(args.json, "w") as fh:
            json.dump(rows, fh, indent=1)


if __name__ == "__main__":
    main()
