"""velkora's command line: host probe and static workload analysis.

    python -m velkora                      probe summary, then the analysis of a bundled sample workload
    python -m velkora probe [--json]       the host capability report
    python -m velkora analyze PATH... [--json] [--gpu | --no-gpu] [--compute-capability X.Y]

Exit status: 0 on success, 2 on usage errors, 1 when nothing could be analysed.
"""

from __future__ import annotations

import argparse
import ast
import io
import json
import os
import sys
from dataclasses import asdict, dataclass
from pathlib import Path

from velkora import __version__

# Names of the workload pattern codes returned by determine_workload_pattern.
PATTERN_NAMES = (
    "MIXED", "CPU_INTENSIVE", "MEMORY_INTENSIVE", "PARALLEL_FRIENDLY", "SEQUENTIAL", "GPU_SUITABLE",
    "GPU_COMPUTE_INTENSIVE", "GPU_MEMORY_BOUND", "NUMPY_VECTORIZED", "NUMPY_LINALG", "PANDAS_DATAFRAME",
    "PANDAS_GROUPBY", "SKLEARN_TRAINING", "SKLEARN_INFERENCE",
)

# Default decision thresholds of the analysis (the framework learns its own; these are starting points).
DEFAULT_THRESHOLDS = {
    "cpu_threshold": 0.25,
    "memory_threshold": 0.3,
    "gpu_threshold": 0.5,
    "numpy_threshold": 0.3,
    "pandas_threshold": 0.15,
    "sklearn_threshold": 0.15,
}
# Chunking potential credited to a function that loops (its iterations are candidates for splitting).
LOOP_CHUNKING_POTENTIAL = 0.5

SAMPLE = Path(__file__).with_name("sample_workload.py")


@dataclass
class FunctionReport:
    file: str
    line: int
    function: str
    pattern: str
    pattern_code: int
    cpu_intensity: float
    memory_intensity: float
    parallelization_potential: float
    gpu_operation_score: float
    gpu_suitability: float
    gpu_speedup: float
    numpy_score: float
    pandas_score: float
    sklearn_score: float
    sequential_count: int
    embarrassing_count: int


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


# ---- analysis ----------------------------------------------------------------------------------

def _has_loop(node: ast.AST) -> bool:
    return any(isinstance(n, (ast.For, ast.AsyncFor, ast.While, ast.comprehension)) for n in ast.walk(node))


def analyze_function(source: str, name: str, loops: bool, gpu_available: bool,
                     compute_capability: str | None) -> tuple[int, dict]:
    from velkora.plugins.analyzer import code_scoring as cs

    cpu, mem, par, gpu_op, large, emb, seq = cs.score_indicators(source, name)
    cpu_n, mem_n, par_n, gpu_n, large_n = cs.normalize_scores(cpu, mem, par, gpu_op, large)
    numpy_s, pandas_s, sklearn_s = cs.score_framework_patterns(source)
    potential = cs.calculate_parallelization_potential(
        par_n, emb, seq, LOOP_CHUNKING_POTENTIAL if loops else 0.0)
    suitability = cs.calculate_gpu_suitability(gpu_n, large_n, cpu_n, gpu_available, compute_capability)
    speedup = cs.estimate_gpu_speedup(gpu_n, large_n, gpu_available)
    t = DEFAULT_THRESHOLDS
    code = cs.determine_workload_pattern(
        cpu_n, mem_n, potential, suitability, gpu_n, numpy_s, pandas_s, sklearn_s, seq, emb,
        t["cpu_threshold"], t["memory_threshold"], t["gpu_threshold"], t["numpy_threshold"],
        t["pandas_threshold"], t["sklearn_threshold"], gpu_available)
    scores = {
        "cpu_intensity": cpu_n, "memory_intensity": mem_n, "parallelization_potential": potential,
        "gpu_operation_score": gpu_n, "gpu_suitability": suitability, "gpu_speedup": speedup,
        "numpy_score": numpy_s, "pandas_score": pandas_s, "sklearn_score": sklearn_s,
        "sequential_count": seq, "embarrassing_count": emb,
    }
    return code, scores


def source_segment(lines: list[str], node: ast.AST) -> str:
    """What ast.get_source_segment(text, node) returns, from the file's lines split once.

    ast.get_source_segment splits the whole text again on every call, which makes a file with many
    functions quadratic; columns are UTF-8 byte offsets, as there.
    """
    first, last = node.lineno - 1, node.end_lineno - 1
    if first == last:
        return lines[first].encode()[node.col_offset:node.end_col_offset].decode()
    head = lines[first].encode()[node.col_offset:].decode()
    tail = lines[last].encode()[:node.end_col_offset].decode()
    return "".join([head, *lines[first + 1:last], tail])


def analyze_source(text: str, filename: str, gpu_available: bool,
                   compute_capability: str | None) -> list[FunctionReport]:
    """Every function and method of one file; SyntaxError/ValueError propagate."""
    tree = ast.parse(text, filename=filename)
    # Split on \r\n, \r and \n only, keeping the endings, as ast.get_source_segment does.
    lines = io.StringIO(text, newline="").readlines()
    reports = []
    for node in ast.walk(tree):
        if not isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
            continue
        segment = source_segment(lines, node)
        code, scores = analyze_function(segment, node.name, _has_loop(node), gpu_available, compute_capability)
        reports.append(FunctionReport(file=filename, line=node.lineno, function=node.name,
                                      pattern=PATTERN_NAMES[code], pattern_code=code, **scores))
    reports.sort(key=lambda r: r.line)
    return reports


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
