"""Times velkora's native operations against baselines run in the same process.

    python benchmarks/run.py [--json FILE] [--quick] [--check] [FILTER ...]

Every `bench_*.py` beside this file defines `CASES`, a list of `Case`. Each case is timed with its
baseline interleaved (best of several repeats of a loop of calls) and reported as a ratio against it:
`max_ratio` cases must cost at most that multiple of the baseline, `min_speedup` cases must be at least
that many times faster. FILTER words select cases whose name or file contains one of them.
"""

from __future__ import annotations

import argparse
import importlib.util
import json
import pathlib
import platform
import sys
import timeit

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from benchlib import Case  # noqa: E402


def load_cases(filters):
    cases = []
    for path in sorted(HERE.glob("bench_*.py")):
        spec = importlib.util.spec_from_file_location(path.stem, path)
        mod = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(mod)
        for case in getattr(mod, "CASES", ()):  # scripts of their own (bench_labels, bench_cli_tree) have none
            if not filters or any(f in case.name or f in path.stem for f in filters):
                cases.append((path.stem, case))
    return cases


def best_ns(timer: timeit.Timer, number: int) -> float:
    return min(timer.repeat(repeat=1, number=number)) / number * 1e9


def measure(case: Case, repeats: int, scale: float) -> tuple[float, float]:
    number = max(1, int(case.number * scale))
    op = timeit.Timer(case.stmt, case.setup)
    base = timeit.Timer(case.baseline.stmt, case.baseline.setup)
    op.timeit(number=max(1, number // 10))  # warm up both
    base.timeit(number=max(1, number // 10))
    op_ns, base_ns = float("inf"), float("inf")
    for _ in range(repeats):  # interleaved, so drift affects both alike
        op_ns = min(op_ns, best_ns(op, number))
        base_ns = min(base_ns, best_ns(base, number))
    return op_ns, base_ns


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("filters", nargs="*", help="select cases by name or file")
    ap.add_argument("--json", metavar="FILE", help="write the results as JSON")
    ap.add_argument("--quick", action="store_true", help="short loops (smoke test, figures unreliable)")
    ap.add_argument("--check", action="store_true", help="exit 1 when a target is not met")
    ap.add_argument("--repeats", type=int, default=7)
    args = ap.parse_args(argv)

    scale, repeats = (0.02, 2) if args.quick else (1.0, args.repeats)
    rows = []
    print(f"{'operation':52s} {'ns/op':>9s} {'baseline':34s} {'base ns':>9s} {'ratio':>7s} {'target':>10s}  met")
    for group, case in load_cases(args.filters):
        op_ns, base_ns = measure(case, repeats, scale)
        ratio = op_ns / base_ns
        if case.max_ratio is not None:
            target, met = f"<= {case.max_ratio:g}x", ratio <= case.max_ratio
        elif case.min_speedup is not None:
            target, met = f">= {case.min_speedup:g}x", base_ns / op_ns >= case.min_speedup
        else:
            target, met = "-", True
        shown = ratio if case.max_ratio is not None or case.min_speedup is None else base_ns / op_ns
        print(f"{case.name:52s} {op_ns:9.1f} {case.baseline.name:34s} {base_ns:9.1f} "
              f"{shown:6.2f}x {target:>10s}  {'yes' if met else 'NO'}")
        rows.append({
            "group": group, "operation": case.name, "ns_per_op": op_ns,
            "baseline": case.baseline.name, "baseline_ns": base_ns, "ratio": ratio,
            "speedup": base_ns / op_ns, "target": target, "met": met,
        })
    if args.json:
        meta = {"python": sys.version, "machine": platform.machine(), "quick": args.quick}
        pathlib.Path(args.json).write_text(json.dumps({"meta": meta, "results": rows}, indent=2))
    unmet = [r["operation"] for r in rows if not r["met"]]
    if unmet:
        print(f"\n{len(unmet)} target(s) not met: " + ", ".join(unmet))
    return 1 if (args.check and unmet) else 0


if __name__ == "__main__":
    sys.exit(main())
