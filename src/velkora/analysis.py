"""Workload analysis of Python source: every function and method of a file, scored and labelled.

Kept apart from the command line (velkora.cli), which decides what to read and how to report it:
this module takes source text and returns one FunctionReport per function.
"""

from __future__ import annotations

import ast
import io
from dataclasses import dataclass

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
    """Every function and method of one file, in line order.

    Whatever the parser raises propagates (SyntaxError, ValueError for null bytes on 3.11, RecursionError
    or MemoryError for deeply nested expressions): the caller decides how to report a file.
    """
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
