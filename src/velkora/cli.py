"""velkora's command line: host probe and static workload analysis.

    python -m velkora                      probe summary, then the analysis of a bundled sample workload
    python -m velkora probe [--json]       the host capability report
    python -m velkora analyze PATH... [--json] [--gpu | --no-gpu] [--compute-capability X.Y]

Exit status: 0 on success, 2 on usage errors, 1 when nothing could be analysed.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
from dataclasses import asdict
from pathlib import Path

from velkora import __version__
from velkora.analysis import DEFAULT_THRESHOLDS, FunctionReport, analyze_source
from velkora.analysis import source_segment  # noqa: F401  (imported from here before the split)

SAMPLE = Path(__file__).with_name("sample_workload.py")


# ---- probe -------------------------------------------------------------------------------------

def probe_report() -> dict:
    from velkora.native import host_probe

    return host_probe.detect_capabilities()


def format_probe(caps: dict) -> str:
    if caps.get("has_gpu"):
        gpu = (f"{caps.get('gpu_count', 0)} x {caps.get('active_backend')} "
               f"{caps.get('backend_version') or ''}".rstrip())
        if caps.get("gpu_memory_mb"):
            gpu += f", {caps['gpu_memory_mb']} MiB"
    else:
        gpu = "none (CPU only)"
    lines = [
        f"velkora {__version__}: host capabilities ({caps.get('detector')}, "
        f"{caps.get('detection_time_ms', 0.0):.2f} ms)",
        f"  physical cores        {caps.get('physical_cores')}",
        f"  NUMA nodes            {caps.get('numa_nodes')}",
        f"  GPU                   {gpu}",
        f"  interpreter           Python {caps.get('python_version')} on {caps.get('platform')}",
        f"  sub-interpreters      {'supported' if caps.get('subinterpreter_support') else 'not supported'}",
    ]
    if "error" in caps:
        lines.append(f"  probe error           {caps['error']}")
    return "\n".join(lines)


# ---- files -------------------------------------------------------------------------------------

def iter_python_files(paths: list[str]):
    for p in paths:
        path = Path(p)
        if path.is_dir():
            for root, dirs, files in os.walk(path):
                dirs[:] = sorted(d for d in dirs if not d.startswith("."))
                for f in sorted(files):
                    if f.endswith(".py"):
                        yield Path(root, f)
        else:
            yield path


def analyze_paths(paths: list[str], gpu_available: bool, compute_capability: str | None):
    """(reports, problems): problems are (file, message) for files that could not be analysed."""
    reports, problems = [], []
    for path in iter_python_files(paths):
        try:
            text = path.read_text(encoding="utf-8")
            reports.extend(analyze_source(text, str(path), gpu_available, compute_capability))
        except SyntaxError as exc:
            problems.append((str(path), f"syntax error at line {exc.lineno}: {exc.msg}"))
        except (OSError, UnicodeDecodeError, ValueError) as exc:
            problems.append((str(path), f"{type(exc).__name__}: {exc}"))
    return reports, problems


def format_reports(reports: list[FunctionReport]) -> str:
    header = (f"{'location':32s} {'function':24s} {'pattern':22s} {'cpu':>5s} {'mem':>5s} "
              f"{'par':>5s} {'gpu':>5s} {'speedup':>8s}")
    rows = [header, "-" * len(header)]
    for r in reports:
        loc = f"{r.file}:{r.line}"
        if len(loc) > 32:
            loc = "..." + loc[-29:]
        rows.append(f"{loc:32s} {r.function[:24]:24s} {r.pattern:22s} {r.cpu_intensity:5.2f} "
                    f"{r.memory_intensity:5.2f} {r.parallelization_potential:5.2f} "
                    f"{r.gpu_suitability:5.2f} {r.gpu_speedup:7.1f}x")
    return "\n".join(rows)


# ---- entry point -------------------------------------------------------------------------------

def _parser() -> argparse.ArgumentParser:
    ap = argparse.ArgumentParser(prog="python -m velkora", description="velkora: host probe and workload analysis")
    ap.add_argument("--version", action="version", version=f"velkora {__version__}")
    sub = ap.add_subparsers(dest="command")
    p = sub.add_parser("probe", help="report the host's capabilities")
    p.add_argument("--json", action="store_true", help="print the report as JSON")
    a = sub.add_parser("analyze", help="classify the workload of every function in Python files")
    a.add_argument("paths", nargs="+", metavar="PATH", help="Python files or directories (walked for *.py)")
    a.add_argument("--json", action="store_true", help="print the results as JSON")
    g = a.add_mutually_exclusive_group()
    g.add_argument("--gpu", dest="gpu", action="store_true", default=None, help="assume a GPU is available")
    g.add_argument("--no-gpu", dest="gpu", action="store_false", help="assume no GPU")
    a.add_argument("--compute-capability", metavar="X.Y", default=None,
                   help="GPU compute capability to score against (default: none given)")
    return ap


def _gpu_available(flag: bool | None) -> bool:
    if flag is not None:
        return flag
    from velkora.native import host_probe

    return bool(host_probe.detect_gpu_backends()["has_gpu"])


def _run_analysis(paths, gpu, cc, as_json, out) -> int:
    reports, problems = analyze_paths(paths, gpu, cc)
    if as_json:
        json.dump({"gpu_available": gpu, "compute_capability": cc, "thresholds": DEFAULT_THRESHOLDS,
                   "functions": [asdict(r) for r in reports],
                   "skipped": [{"file": f, "reason": m} for f, m in problems]}, out, indent=2)
        out.write("\n")
    else:
        if reports:
            print(format_reports(reports), file=out)
        for f, m in problems:
            print(f"skipped {f}: {m}", file=sys.stderr)
        if not reports:
            print("no functions analysed", file=sys.stderr)
    return 0 if reports else 1


def main(argv: list[str] | None = None) -> int:
    ap = _parser()
    args = ap.parse_args(argv)
    if args.command is None:
        caps = probe_report()
        print(format_probe(caps))
        print(f"\nWorkload analysis of the bundled sample ({SAMPLE.name}); "
              f"run `python -m velkora analyze PATH` on your own code:\n")
        return _run_analysis([str(SAMPLE)], bool(caps.get("has_gpu")), None, False, sys.stdout)
    if args.command == "probe":
        caps = probe_report()
        print(json.dumps(caps, indent=2) if args.json else format_probe(caps))
        return 0
    for p in args.paths:
        if not os.path.exists(p):
            ap.error(f"no such file or directory: {p}")
        if not os.access(p, os.R_OK):
            ap.error(f"cannot read: {p}")
    return _run_analysis(args.paths, _gpu_available(args.gpu), args.compute_capability, args.json, sys.stdout)
