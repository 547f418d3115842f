"""What `velkora run` costs and what `--accelerate` saves, against the plain interpreter in the same run.

    python benchmarks/bench_run.py [--repeat N] [--python EXE] [--json FILE]

Whole programs are timed as processes (best of N, the variants interleaved), so interpreter start-up is
in every figure:
- overhead of `velkora run` (no --accelerate; times sampled, and with --exact-times) on a recursive
  call-heavy script and on the bundled sample, next to cProfile and pyinstrument on the same scripts
  (pyinstrument where installed);
- `velkora run --accelerate` on a program whose time is in one numeric kernel, with its output compared
  to the plain run's.
A script of its own (no CASES): run by hand, not by benchmarks/run.py.
"""

from __future__ import annotations

import argparse
import json
import os
import pathlib
import subprocess
import sys
import tempfile
import textwrap
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent

CALL_HEAVY = """
import sys
def fib(n):
    return n if n < 2 else fib(n - 1) + fib(n - 2)
def walk(depth):
    if depth == 0:
        return 1
    return walk(depth - 1) + walk(depth - 1) + 1
print(fib(int(sys.argv[1]) if len(sys.argv) > 1 else 30), walk(17))
"""

ONE_KERNEL = """
import sys
import numpy as np
def kernel(xs):
    total = 0.0
    for i in range(xs.shape[0]):
        x = xs[i]
        total += x * x / (1.0 + x)
    return total
def main():
    rng = np.random.default_rng(1)
    data = rng.random(4000)
    print(round(sum(kernel(data) for _ in range(int(sys.argv[1]) if len(sys.argv) > 1 else 3000)), 6))
main()
"""


def timed(cmd: list[str], env: dict[str, str]) -> tuple[float, bytes]:
    t0 = time.perf_counter()
    proc = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=env)
    wall = time.perf_counter() - t0
    if proc.returncode != 0:
        raise SystemExit(f"failed ({proc.returncode}): {' '.join(cmd)}")
    return wall, proc.stdout


def best(variants: dict[str, list[str]], repeat: int, env: dict[str, str]) -> tuple[dict[str, float], dict[str, bytes]]:
    times = {k: float("inf") for k in variants}
    outputs: dict[str, bytes] = {}
    for _ in range(repeat):
        for name, cmd in variants.items():
            wall, out = timed(cmd, env)
            times[name] = min(times[name], wall)
            outputs[name] = out
    return times, outputs


def has(py: str, module: str) -> bool:
    return subprocess.run([py, "-c", f"import {module}"], capture_output=True).returncode == 0


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--python", default=sys.executable)
    ap.add_argument("--json", metavar="FILE")
    ap.add_argument("--no-kernel", action="store_true", help="only the overhead figures")
    args = ap.parse_args()
    py = args.python
    env = {**os.environ, "PYTHONPATH": str(ROOT / "src") + os.pathsep + os.environ.get("PYTHONPATH", ""),
           "VELKORA_JIT_CACHE": "0"}
    # Byte code compiled ahead, as an installed package has it (PYTHONDONTWRITEBYTECODE would otherwise
    # make every run compile velkora's sources again).
    subprocess.run([py, "-m", "compileall", "-q", str(ROOT / "src" / "velkora")], check=True)
    results: dict[str, object] = {"python": subprocess.run([py, "-c", "import sys; print(sys.version.split()[0])"],
                                                           capture_output=True, text=True).stdout.strip()}
    with tempfile.TemporaryDirectory() as tmp:
        heavy = os.path.join(tmp, "call_heavy.py")
        kernel = os.path.join(tmp, "one_kernel.py")
        pathlib.Path(heavy).write_text(textwrap.dedent(CALL_HEAVY))
        pathlib.Path(kernel).write_text(textwrap.dedent(ONE_KERNEL))
        report = os.path.join(tmp, "report.json")
        pyinstrument = has(py, "pyinstrument")
        numpy = has(py, "numpy")

        def overhead(label: str, target: list[str]) -> None:
            variants = {
                "plain": [py, *target],
                "velkora run": [py, "-m", "velkora", "run", "--no-dry-run", "--json", "--output", report, *target],
                "velkora run --exact-times": [py, "-m", "velkora", "run", "--no-dry-run", "--exact-times", "--json",
                                              "--output", report, *target],
                # The compiler's dry run of the hot functions, after the program: loading the compiler
                # and compiling costs a second or more, once per run, whatever the program's length.
                "velkora run + dry run": [py, "-m", "velkora", "run", "--json", "--output", report, *target],
                "cProfile": [py, "-m", "cProfile", "-o", os.path.join(tmp, "prof.out"), *target],
            }
            if pyinstrument:
                variants["pyinstrument"] = [py, "-m", "pyinstrument", "-o", os.path.join(tmp, "pi.txt"), *target]
            times, _ = best(variants, args.repeat, env)
            ratios = {k: times[k] / times["plain"] for k in times if k != "plain"}
            results[label] = {"plain_s": times["plain"], "ratios": ratios}
            print(f"{label}: plain {times['plain']:.3f} s; " +
                  ", ".join(f"{k} {v:.2f}x" for k, v in ratios.items()))

        overhead("call-heavy script", [heavy])
        if numpy:
            sample = str(ROOT / "src" / "velkora" / "sample_program.py")
            overhead("bundled sample", [sample])
        if numpy and not args.no_kernel:
            times, outs = best({"plain": [py, kernel],
                                "velkora run --accelerate": [py, "-m", "velkora", "run", "--accelerate", "--json",
                                                             "--output", report, kernel]}, args.repeat, env)
            speedup = times["plain"] / times["velkora run --accelerate"]
            same = outs["plain"] == outs["velkora run --accelerate"]
            results["one numeric kernel"] = {"plain_s": times["plain"], "speedup": speedup, "same_output": same}
            print(f"one numeric kernel: plain {times['plain']:.3f} s, accelerated "
                  f"{times['velkora run --accelerate']:.3f} s: {speedup:.2f}x faster; "
                  f"{'same output' if same else 'OUTPUT DIFFERS'}")
        if not numpy:
            print("numpy is not installed for this interpreter: the sample and kernel figures are skipped")
    if args.json:
        pathlib.Path(args.json).write_text(json.dumps(results, indent=2))
    return 0


if __name__ == "__main__":
    sys.exit(main())
