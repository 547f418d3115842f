"""Workload analysis of Python source: every function and method of a file, scored and labelled.

Kept apart from the command line (velkora.cli), which decides what to read and how to report it:
this module takes source text and returns one FunctionReport per function.
"""

from __future__ import annotations

import ast
import io
from dataclasses import dataclass, field
from typing import TypedDict

from velkora.analysis.evidence import Unit, collect_units
from velkora.analysis.patterns import WorkloadPattern as P

# Names of the workload pattern codes, indexed by code.
PATTERN_NAMES = tuple(p.name for p in P)

# Default decision thresholds of the analysis (the framework learns its own; these are starting points).
DEFAULT_THRESHOLDS = {
    "cpu_threshold": 0.25,
    "memory_threshold": 0.3,
    "gpu_threshold": 0.5,
    "numpy_threshold": 0.1,
    "pandas_threshold": 0.15,
    "sklearn_threshold": 0.1,
}
# Chunking potential credited to a function whose loops carry no state (its iterations can be split).
LOOP_CHUNKING_POTENTIAL = 0.5


# The scorer's figures for one unit, under FunctionReport's field names (passed to it as keywords).
Scores = TypedDict("Scores", {
    "cpu_intensity": float, "memory_intensity": float, "parallelization_potential": float,
    "gpu_operation_score": float, "gpu_suitability": float, "gpu_speedup": float, "numpy_score": float,
    "pandas_score": float, "sklearn_score": float, "sequential_count": int, "embarrassing_count": int})


@dataclass
class FunctionReport:
    file: str
    line: int
    function: str                   # qualified: Class.method, outer.inner, or <module>
    pattern: str
    pattern_code: int | None        # None for NO_CODE
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
    reasons: list[str] = field(default_factory=list)
    cell: int | None = None         # the notebook cell the unit is in (its line counts within the cell)


NO_CODE = "NO_CODE"

# Vocabulary the scorer counts, one word per measured fact. The scorer matches words in text; we hand it
# the words for what the syntax tree shows, so that prose and identifiers cannot add to a count.
_SKLEARN_WORDS = "sklearn fit"
_PANDAS_WORDS = "pandas pd. dataframe"
_NUMPY_WORDS = "numpy np. ndarray"
_GPU_OP_WORDS = {
    "matmul": "matmul", "dot": "dot", "tensordot": "tensordot", "fft": "fft", "ifft": "ifft",
    "rfft": "rfft", "convolve": "convolve", "correlate": "correlate", "sum": "sum", "mean": "mean",
    "std": "std", "var": "var", "sin": "sin", "cos": "cos", "exp": "exp", "log": "log", "sqrt": "sqrt",
    "power": "power", "add": "add", "subtract": "subtract", "multiply": "multiply", "divide": "divide",
    "array": "array", "asarray": "asarray", "zeros": "zeros", "ones": "ones", "empty": "empty",
    "full": "full",
}


_ARITH_WORDS = {ast.Add: "+", ast.Sub: "-", ast.Mult: "*", ast.Div: "/", ast.Pow: "**",
                ast.MatMult: "@"}


def _dominant_framework(u: Unit) -> str | None:
    """Which framework's calls make up the unit's work, if any.

    Framework calls dominate when there are at least two of them and Python loops around them do
    little else: a loop whose statements mostly do plain Python work is the workload, not the calls.
    """
    if u.role:
        return "sklearn"
    if u.sk_uses and (u.sk_fit_calls or u.sk_infer_calls):
        return "sklearn"
    if u.parallel_api:
        return None         # the work is handed to workers: that is the fact to report
    plain_loops = (u.loop_plain >= 2 and 2 * u.loop_plain > u.loop_stmts) or (
        u.while_loops and u.loop_plain >= 1)
    # Grouping in a loop over columns is still frame work: the grouping is what costs.
    if plain_loops and not (u.grouping_ops and u.frame_ops >= 2):
        return None
    loops = u.for_loops + u.while_loops
    # A loop-free unit whose calls are mostly framework calls is framework work even with one call.
    if u.frame_ops >= 2 or (not loops and u.frame_ops and 2 * u.frame_ops >= u.work_calls):
        if u.frame_ops >= u.array_ops / 2:
            return "pandas"
    if 2 * u.device_ops >= u.array_ops > 0:
        return None         # device arrays (CuPy, PyTorch, JAX): the GPU rules decide
    if u.array_ops >= 2 and (u.array_compute >= 1 or u.array_ops >= 3):
        return "numpy"
    if not loops and u.array_compute and 3 * u.array_ops >= u.work_calls:
        return "numpy"
    return None


def _evidence_text(u: Unit, framework: str | None) -> tuple[str, str, list[str]]:
    """(indicator text, framework text, reasons) for one measured unit."""
    words: list[str] = []
    reasons: list[str] = []
    # CPU: loops and the computation inside them.
    if u.for_loops:
        words.append("for")
    if u.while_loops:
        words.append("while")
    if u.range_loops:
        words.append("range")
    if u.max_depth >= 2 and (u.for_loops + u.while_loops):
        words.append("calculation")
    work_arith = u.loop_arith - u.index_arith       # index arithmetic picks items; it computes nothing
    if work_arith >= 4:
        words.append("compute")
    if work_arith >= 2 or u.math_calls >= 2:
        words.append("math")
    if u.max_depth >= 3:
        words.append("algorithm")
    if u.reductions and (u.for_loops or u.independent_maps):
        words.append("sum")
    if u.for_loops + u.while_loops:
        reasons.append(f"{u.for_loops + u.while_loops} loop(s), nesting {u.max_depth}, "
                       f"{u.loop_arith} arithmetic op(s) inside")
    # Memory: containers materialised, grown or filled in loops, copies, array allocations.
    built = u.containers + u.comprehension_containers + u.slice_copies
    grown = u.growth_in_loop + u.aug_growth
    mem = []
    if built or (grown and not u.carried):
        mem.append("list")
    if built >= 2 or u.keyed_growth:
        mem.append("dict")          # several containers, or a container of containers
    if built >= 5 or u.fills_in_loop:
        mem.append("buffer")        # stored into by key or index on every iteration
    # Growth of a container the loop reads back is the loop's state, reported as such, not as memory.
    if grown and not u.carried:
        mem.append("append")
    if grown >= 2 and not u.carried:
        mem.append("extend")
    if u.copies or built >= 6 or u.built_in_loop or u.array_alloc_in_loop:
        mem.append("allocate")      # a new object on every iteration, or a copy
    if u.copies >= 2 or u.copies_in_loop or (u.copies and grown) or u.keyed_growth:
        mem.append("cache")         # kept copies, or values kept by key
    if u.array_alloc >= 2:
        mem.append("array")
    words += mem
    if mem:
        reasons.append(f"{built} container(s) built, {grown} growth(s) and {u.fills_in_loop} store(s) "
                       f"in loops, {u.copies} cop(ies)")
    # Parallel: explicit worker APIs, and independent per-item work with no carried state.
    if u.parallel_api:
        words += ["parallel", "worker", "pool", "concurrent"]
        reasons.append(f"{u.parallel_api} parallel API use(s)")
    independent = u.independent_maps + u.independent_loops
    if not u.carried and not u.global_stmts and (u.parallel_api or independent):
        words.append("map")
        reasons.append(f"{independent} independent per-item computation(s), no state carried")
    # Sequential: state carried from one iteration to the next, globals, locks.
    if u.carried:
        words += ["sequential", "dependencies", "ordered"]
        reasons.append("state carried between iterations: " + ", ".join(sorted(u.carried)[:4]))
    if u.global_stmts:
        words += ["global", "nonlocal"]
        reasons.append("global/nonlocal state")
    if u.locks:
        words += ["lock", "synchronized"]
        reasons.append("runs under a lock")
    # GPU evidence: array operations only; a unit with none gets no GPU estimate.
    if u.array_ops:
        words += sorted({_GPU_OP_WORDS[k] for k in u.array_kinds if k in _GPU_OP_WORDS})
        if u.linalg_ops:
            words.append("linalg")
        words += sorted({_ARITH_WORDS[k] for k in u.arith_kinds if k in _ARITH_WORDS})
        if u.reshape_ops:
            words.append("reshape")
    fw = ""
    if framework == "sklearn":
        fw = _SKLEARN_WORDS
        if u.role_why:
            reasons.insert(0, u.role_why)
        else:
            reasons.insert(0, f"{u.sk_fit_calls} fit and {u.sk_infer_calls} inference call(s) on "
                              "scikit-learn objects")
    elif framework == "pandas":
        fw = _PANDAS_WORDS + " " + " ".join(sorted(u.frame_kinds))
        reasons.insert(0, f"{u.frame_ops} pandas operation(s) ({', '.join(sorted(u.frame_kinds)[:5])})")
    elif framework == "numpy":
        fw = _NUMPY_WORDS + " " + " ".join(sorted(u.array_kinds))
        reasons.insert(0, f"{u.array_ops} array operation(s), {u.linalg_ops} linear algebra "
                          f"({', '.join(sorted(u.array_kinds)[:5])})")
    return " ".join(words), fw, reasons


def _refine(code: int, u: Unit) -> tuple[int, str | None]:
    """Gives the three codes the classifier leaves to its caller their meaning."""
    if code == P.NUMPY_VECTORIZED and u.linalg_ops and 2 * u.linalg_ops >= u.array_compute:
        return P.NUMPY_LINALG, "linear algebra dominates the array work"
    if code == P.PANDAS_DATAFRAME and u.grouping_ops and 4 * (u.grouping_ops + u.aggregate_ops) >= u.frame_ops:
        return P.PANDAS_GROUPBY, "grouping and aggregation dominate the frame work"
    if code == P.SKLEARN_TRAINING and (
            u.role == "infer" or (u.role is None and u.sk_infer_calls and not u.sk_fit_calls)):
        return P.SKLEARN_INFERENCE, "predict/transform/score side of an estimator"
    return code, None


def analyze_unit(u: Unit, gpu_available: bool, compute_capability: str | None) -> tuple[int, Scores, list[str]]:
    from velkora.plugins.analyzer import code_scoring as cs

    framework = _dominant_framework(u)
    text, fw_text, reasons = _evidence_text(u, framework)
    # The name is no evidence: a function called `apply_map` does not map anything by being called so.
    cpu, mem, par, gpu_op, large, emb, seq = cs.score_indicators(text, None)
    cpu_n, mem_n, par_n, gpu_n, large_n = cs.normalize_scores(cpu, mem, par, gpu_op, large)
    numpy_s, pandas_s, sklearn_s = cs.score_framework_patterns(fw_text)
    chunkable = (u.for_loops or u.independent_maps) and not u.carried
    potential = cs.calculate_parallelization_potential(
        par_n, emb, seq, LOOP_CHUNKING_POTENTIAL if chunkable else 0.0)
    suitability = cs.calculate_gpu_suitability(gpu_n, large_n, cpu_n, gpu_available, compute_capability)
    speedup = cs.estimate_gpu_speedup(gpu_n, large_n, gpu_available)
    t = DEFAULT_THRESHOLDS
    code = cs.determine_workload_pattern(
        cpu_n, mem_n, potential, suitability, gpu_n, numpy_s, pandas_s, sklearn_s, seq, emb,
        t["cpu_threshold"], t["memory_threshold"], t["gpu_threshold"], t["numpy_threshold"],
        t["pandas_threshold"], t["sklearn_threshold"], gpu_available)
    code, why = _refine(code, u)
    if why:
        reasons.insert(0, why)
    if not reasons:
        reasons.append("no loops, array, frame or estimator work")
    scores: Scores = {
        "cpu_intensity": cpu_n, "memory_intensity": mem_n, "parallelization_potential": potential,
        "gpu_operation_score": gpu_n, "gpu_suitability": suitability, "gpu_speedup": speedup,
        "numpy_score": numpy_s, "pandas_score": pandas_s, "sklearn_score": sklearn_s,
        "sequential_count": seq, "embarrassing_count": emb,
    }
    return code, scores, reasons


_NO_CODE_SCORES: Scores = {
    "cpu_intensity": 0.0, "memory_intensity": 0.0, "parallelization_potential": 0.0,
    "gpu_operation_score": 0.0, "gpu_suitability": 0.0, "gpu_speedup": 1.0, "numpy_score": 0.0,
    "pandas_score": 0.0, "sklearn_score": 0.0, "sequential_count": 0, "embarrassing_count": 0,
}


def detect_gpu() -> tuple[bool, str | None]:
    """(GPU present, compute capability "MAJOR.MINOR" or None), asked of the host.

    The host probe decides whether there is a GPU; only for an NVIDIA one is `nvidia-smi` asked for the
    compute capability, and only when the tool is on PATH (no process is started otherwise).
    """
    from velkora.native import host_probe

    backends = host_probe.detect_gpu_backends()
    if not backends.get("has_gpu"):
        return False, None
    if not backends.get("cuda_available"):
        return True, None
    return True, _nvidia_compute_capability()


def _nvidia_compute_capability() -> str | None:
    import shutil
    import subprocess

    tool = shutil.which("nvidia-smi")
    if tool is None:
        return None
    try:
        out = subprocess.run([tool, "--query-gpu=compute_cap", "--format=csv,noheader"],
                             capture_output=True, text=True, timeout=10, check=False).stdout
    except (OSError, subprocess.SubprocessError):
        return None
    first = out.strip().splitlines()[0].strip() if out.strip() else ""
    major, dot, minor = first.partition(".")
    return first if dot and major.isdigit() and minor.isdigit() else None


def source_segment(lines: list[str], node: ast.stmt | ast.expr) -> str:
    """What ast.get_source_segment(text, node) returns, from the file's lines split once.

    ast.get_source_segment splits the whole text again on every call, which makes a file with many
    functions quadratic; columns are UTF-8 byte offsets, as there.
    """
    first, last = node.lineno - 1, (node.end_lineno or node.lineno) - 1
    if first == last:
        return lines[first].encode()[node.col_offset:node.end_col_offset].decode()
    head = lines[first].encode()[node.col_offset:].decode()
    tail = lines[last].encode()[:node.end_col_offset].decode()
    return "".join([head, *lines[first + 1:last], tail])


def analyze_source(text: str, filename: str, gpu_available: bool,
                   compute_capability: str | None) -> list[FunctionReport]:
    """Every function and method of one file (qualified names), and `<module>` code, in line order.

    Whatever the parser raises propagates (SyntaxError, ValueError for null bytes on 3.11, RecursionError
    or MemoryError for deeply nested expressions): the caller decides how to report a file.
    """
    tree = ast.parse(text, filename=filename)
    units, _ = collect_units(tree)
    reports = []
    for u in units:
        if u.no_code:
            reports.append(FunctionReport(file=filename, line=u.line, function=u.qualname, pattern=NO_CODE,
                                          pattern_code=None, reasons=["no code to run"], **_NO_CODE_SCORES))
            continue
        code, scores, reasons = analyze_unit(u, gpu_available, compute_capability)
        reports.append(FunctionReport(file=filename, line=u.line, function=u.qualname,
                                      pattern=P(code).name, pattern_code=int(code), reasons=reasons,
                                      **scores))
    reports.sort(key=lambda r: r.line)
    return reports
