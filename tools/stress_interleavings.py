#!/usr/bin/env python3
"""Runs the thread-interleaving scenarios of tests/robustness/interleavings.py again and again, each
run in a fresh interpreter, and reports every run that crashed (by the signal that ended it), hung or
broke an invariant.

    python3 tools/stress_interleavings.py --seconds 20 --runs 20 [--scenario tree_mixed ...]

The in-place build under src/ (tools/dev_build.sh) is used when there is one, otherwise whatever
velkora the interpreter imports. Exit status 0 only when every run passed.
"""

from __future__ import annotations

import argparse
import os
import random
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "robustness"))

import interleavings  # noqa: E402


def child_env(use_src):
    env = dict(os.environ)
    src = os.path.join(ROOT, "src")
    built = os.path.isdir(os.path.join(src, "velkora", "memory")) and any(
        f.startswith("block_index.") and f.endswith(".so")
        for f in os.listdir(os.path.join(src, "velkora", "memory")))
    if use_src and built:
        env["PYTHONPATH"] = os.pathsep.join(p for p in (src, env.get("PYTHONPATH")) if p)
    return env


def main(argv=None):
    names = sorted(interleavings.SCENARIOS)
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--seconds", type=float, default=20.0, help="how long each run's threads run")
    ap.add_argument("--runs", type=int, default=20, help="consecutive runs of each scenario")
    ap.add_argument("--scenario", action="append", choices=names, metavar="NAME",
                    help="a scenario to run (repeatable; default: all). One of: " + ", ".join(names))
    ap.add_argument("--seed", type=int, default=None, help="seed of the first run (the next ones follow)")
    ap.add_argument("--stop-on-failure", action="store_true", help="stop at the first failed run")
    ap.add_argument("--log-dir", help="keep the full output of every failed run here")
    ap.add_argument("--installed", action="store_true",
                    help="use the velkora the interpreter imports, not the in-place build under src/")
    args = ap.parse_args(argv)
    selected = args.scenario or names
    env = child_env(not args.installed)
    probe = "import os, velkora; print(os.path.dirname(velkora.__file__))"
    where = subprocess.run([sys.executable, "-c", probe], capture_output=True, text=True, env=env)
    print(f"Python {sys.version.split()[0]}; velkora from {where.stdout.strip() or where.stderr.strip()}")
    print(f"{len(selected)} scenario(s) x {args.runs} run(s) x {args.seconds:g} s\n", flush=True)
    if args.log_dir:
        os.makedirs(args.log_dir, exist_ok=True)

    seed = args.seed if args.seed is not None else random.randrange(2**32)
    results = {name: [] for name in selected}
    failed = False
    for name in selected:
        for run in range(1, args.runs + 1):
            outcome = interleavings.run_in_subprocess(name, args.seconds, seed, env=env)
            seed = (seed + 1) % 2**32
            results[name].append(outcome.status == "ok")
            print(f"[{run:>3}/{args.runs}] {name:<26} {outcome.status:<22} {outcome.seconds:6.1f} s  "
                  f"seed {outcome.seed}", flush=True)
            if outcome.status != "ok":
                failed = True
                print("    " + outcome.report(lines=40).replace("\n", "\n    "), flush=True)
                if args.log_dir:
                    path = os.path.join(args.log_dir, f"{name}-{outcome.seed}.log")
                    with open(path, "w") as f:
                        f.write(f"{outcome.status}\n--- stdout\n{outcome.stdout}\n"
                                f"--- stderr\n{outcome.stderr}")
                if args.stop_on_failure:
                    break
        if failed and args.stop_on_failure:
            break

    print("\nscenario                    passed  longest run of consecutive passes")
    for name, oks in results.items():
        streak = best = 0
        for ok in oks:
            streak = streak + 1 if ok else 0
            best = max(best, streak)
        print(f"{name:<26} {sum(oks):>4}/{len(oks):<4} {best}")
    return 1 if failed else 0


if __name__ == "__main__":
    start = time.monotonic()
    status = main()
    print(f"\n{time.monotonic() - start:.0f} s in all")
    sys.exit(status)
