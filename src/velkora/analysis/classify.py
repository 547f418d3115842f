"""Workload analysis of Python source: every function and method of a file, scored and labelled.

Kept apart from the command line (velkora.cli), which decides what to read and how to report it:
this module takes source text and returns one FunctionReport per function.
"""

from __future__ import annotations

import ast
import logging
from dataclasses import dataclass, field
from enum import StrEnum
from typing import TypedDict

from velkora.analysis.advice import advise
from velkora.analysis.evidence import Unit
from velkora.analysis.patterns import NO_CODE
from velkora.analysis.patterns import WorkloadPattern as P
from velkora.analysis.units import collect_units

logger = logging.getLogger(__name__)

# Default decision thresholds of the analysis (the framework learns its own; these are starting points).
DEFAULT_THRESHOLDS = {
    "cpu_threshold": 0.25,
    "memory_threshold": 0.3,
    "gpu_threshold": 0.5,
    "numpy_threshold": 0.1,
    "pandas_threshold": 0.15,
    "sklearn_threshold": 0.1,
}
# Chunking potential credited to a function whose loops carry no state (its iterations can be split), and
# the part of it credited when each item does little (two or three operations, a call of a helper): such
# items are worth spreading only in great numbers, so they rank below items with plenty of work.
LOOP_CHUNKING_POTENTIAL = 0.5
LIGHT_ITEMS_POTENTIAL = 0.25


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
    advice: str = ""                # what to do about it (velkora.analysis.advice)
    actionable: bool = True         # whether following the advice can gain anything


class Word(StrEnum):
    """The indicator words the analysis hands the scorer, one per measured fact. The scorer matches words in
    text; it gets the words for what the syntax tree shows, so that prose and identifiers cannot add to a
    count. Each is a word of the scorer's lists (code_scoring.INDICATOR_WORDS), which the tests check."""

    # loops and the computation inside them
    FOR = "for"
    WHILE = "while"
    RANGE = "range"
    CALCULATION = "calculation"
    COMPUTE = "compute"
    MATH = "math"
    ALGORITHM = "algorithm"
    SUM = "sum"
    # containers built, grown, filled and copied
    LIST = "list"
    DICT = "dict"
    BUFFER = "buffer"
    APPEND = "append"
    EXTEND = "extend"
    ALLOCATE = "allocate"
    CACHE = "cache"
    ARRAY = "array"
    # worker APIs and independent per-item work
    PARALLEL = "parallel"
    WORKER = "worker"
    POOL = "pool"
    CONCURRENT = "concurrent"
    MAP = "map"
    # state carried between iterations, globals, locks
    SEQUENTIAL = "sequential"
    DEPENDENCIES = "dependencies"
    ORDERED = "ordered"
    GLOBAL = "global"
    NONLOCAL = "nonlocal"
    LOCK = "lock"
    SYNCHRONIZED = "synchronized"
    # array work: the operations by the name of their call (SUM and ARRAY above as well), their operators
    LINALG = "linalg"
    RESHAPE = "reshape"
    MATMUL = "matmul"
    DOT = "dot"
    TENSORDOT = "tensordot"
    FFT = "fft"
    IFFT = "ifft"
    RFFT = "rfft"
    CONVOLVE = "convolve"
    CORRELATE = "correlate"
    MEAN = "mean"
    STD = "std"
    VAR = "var"
    SIN = "sin"
    COS = "cos"
    EXP = "exp"
    LOG = "log"
    SQRT = "sqrt"
    POWER = "power"
    ADD = "add"
    SUBTRACT = "subtract"
    MULTIPLY = "multiply"
    DIVIDE = "divide"
    ASARRAY = "asarray"
    ZEROS = "zeros"
    ONES = "ones"
    EMPTY = "empty"
    FULL = "full"
    PLUS = "+"
    MINUS = "-"
    TIMES = "*"
    DIVIDED = "/"
    RAISED = "**"
    MATRIX_PRODUCT = "@"


# Array calls that are GPU work, by the name the call has (the word for each is its name).
GPU_OPS = frozenset({
    Word.MATMUL, Word.DOT, Word.TENSORDOT, Word.FFT, Word.IFFT, Word.RFFT, Word.CONVOLVE, Word.CORRELATE,
    Word.SUM, Word.MEAN, Word.STD, Word.VAR, Word.SIN, Word.COS, Word.EXP, Word.LOG, Word.SQRT, Word.POWER,
    Word.ADD, Word.SUBTRACT, Word.MULTIPLY, Word.DIVIDE, Word.ARRAY, Word.ASARRAY, Word.ZEROS, Word.ONES,
    Word.EMPTY, Word.FULL,
})
ARITH_WORDS = {ast.Add: Word.PLUS, ast.Sub: Word.MINUS, ast.Mult: Word.TIMES, ast.Div: Word.DIVIDED,
               ast.Pow: Word.RAISED, ast.MatMult: Word.MATRIX_PRODUCT}
# The words that open the framework text, by the framework whose calls dominate; the names of the calls
# found follow them. Each is a word of that framework's list in code_scoring.FRAMEWORK_WORDS.
FRAMEWORK_WORDS = {"sklearn": ("sklearn", "fit"), "pandas": ("pandas", "pd.", "dataframe"),
                   "numpy": ("numpy", "np.", "ndarray")}


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
    words: list[Word] = []
    reasons: list[str] = []
    # A loop that sleeps, polls or reads and writes pipes spends its time waiting: what it computes or
    # stores meanwhile is no workload, unless it also does array or math work.
    waiting = bool(u.waits_in_loop) and not (u.array_ops or u.math_calls or u.frame_ops)
    if waiting:
        reasons.append(f"its loops wait: {u.waits_in_loop} sleep, poll, pipe, queue or liveness call(s)")
    _work_words(u, words, reasons, waiting)
    _state_words(u, words, reasons, framework)
    return " ".join(words), *_framework_text(u, framework, reasons)


def large_data(u: Unit) -> bool:
    """Whether the unit's containers hold data of the input's size (see Unit's size fields)."""
    return bool(u.sized_growth or u.whole_copies or u.whole_reads or u.explicit_sizes or u.array_ops
                or u.frame_ops or u.array_alloc_in_loop)


def _work_words(u: Unit, words: list[Word], reasons: list[str], waiting: bool) -> None:
    """The CPU, memory and parallel words (and their reasons) of a unit."""
    if u.for_loops + u.while_loops:
        reasons.append(f"{u.for_loops + u.while_loops} loop(s), nesting {u.max_depth}, "
                       f"{u.loop_arith} arithmetic op(s) inside")
    if waiting:
        return
    # CPU: loops and the computation inside them.
    if u.for_loops:
        words.append(Word.FOR)
    if u.while_loops:
        words.append(Word.WHILE)
    if u.range_loops:
        words.append(Word.RANGE)
    if u.max_depth >= 2 and (u.for_loops + u.while_loops):
        words.append(Word.CALCULATION)
    work_arith = u.loop_arith - u.index_arith       # index arithmetic picks items; it computes nothing
    if work_arith >= 4:
        words.append(Word.COMPUTE)
    if work_arith >= 2 or u.math_calls >= 2:
        words.append(Word.MATH)
    if u.max_depth >= 3:
        words.append(Word.ALGORITHM)
    if u.reductions and (u.for_loops or u.independent_maps):
        words.append(Word.SUM)
    # Memory: containers materialised, grown or filled in loops, copies, array allocations.
    built = u.containers + u.comprehension_containers + u.slice_copies
    grown = u.growth_in_loop + u.aug_growth
    mem: list[Word] = []
    if built or (grown and not u.carried):
        mem.append(Word.LIST)
    if built >= 2 or u.keyed_growth:
        mem.append(Word.DICT)          # several containers, or a container of containers
    if built >= 5 or u.fills_in_loop:
        mem.append(Word.BUFFER)        # stored into by key or index on every iteration
    # Growth of a container the loop reads back is the loop's state, reported as such, not as memory.
    if grown and not u.carried:
        mem.append(Word.APPEND)
    if grown >= 2 and not u.carried:
        mem.append(Word.EXTEND)
    if u.copies or built >= 6 or u.built_in_loop or u.array_alloc_in_loop:
        mem.append(Word.ALLOCATE)      # a new object on every iteration, or a copy
    if u.copies >= 2 or u.copies_in_loop or (u.copies and grown) or u.keyed_growth:
        mem.append(Word.CACHE)         # kept copies, or values kept by key
    if u.array_alloc >= 2:
        mem.append(Word.ARRAY)
    # Containers are memory work when they are large: grown per item of the caller's data, copies or reads
    # of a whole input, explicit sizes, arrays or frames. A handful of options, headers or fields built
    # along the way is not, however many such containers there are.
    small = len(mem) > 2 and not large_data(u)
    if small:
        del mem[2:]
    words += mem
    if mem:
        reasons.append(f"{built} container(s) built, {grown} growth(s) and {u.fills_in_loop} store(s) "
                       f"in loops, {u.copies} cop(ies)")
    if small:
        reasons.append("the containers are small: none grows per item of the caller's data, and nothing "
                       "whole is copied or read")


def _state_words(u: Unit, words: list[Word], reasons: list[str], framework: str | None) -> None:
    """The parallel, sequential and array words (and their reasons) of a unit."""
    # Parallel: explicit worker APIs, and independent per-item work with no carried state.
    if u.parallel_api:
        words += [Word.PARALLEL, Word.WORKER, Word.POOL, Word.CONCURRENT]
        reasons.append(f"{u.parallel_api} parallel API use(s)")
    # A coroutine that awaits spends its time waiting on I/O, which the event loop already overlaps:
    # its per-item work is coordination, not computation to spread over processes.
    independent = 0 if u.awaits else u.independent_maps + u.independent_loops
    # Independent items are worth spreading only when each costs something; formatting, copying or
    # filing away a few values per item costs less than handing the item to a worker.
    costly = min(independent, u.costly_items)
    if not u.carried and not u.global_stmts and (u.parallel_api or costly):
        words.append(Word.MAP)
        reasons.append(f"{costly} independent per-item computation(s), no state carried")
    elif independent > costly and not u.carried:
        reasons.append(f"{independent - costly} independent per-item step(s) with nothing costly per item "
                       "(no arithmetic, math or array call, nor a call of a function that loops)")
    if u.reduced and not u.carried:
        reasons.append("associative reduction of " + ", ".join(sorted(u.reduced)[:4])
                       + " over independent items: parallel with a reduction")
    # Sequential: state carried from one iteration to the next, globals, locks.
    if u.carried:
        words += [Word.SEQUENTIAL, Word.DEPENDENCIES, Word.ORDERED]
        reasons.append("state carried between iterations: " + ", ".join(sorted(u.carried)[:4]))
    if u.global_stmts:
        words += [Word.GLOBAL, Word.NONLOCAL]
        reasons.append("global/nonlocal state")
    if u.locks:
        words += [Word.LOCK, Word.SYNCHRONIZED]
        reasons.append("runs under a lock")
    # GPU evidence: array operations only; a unit with none gets no GPU estimate.
    if u.array_ops:
        words += sorted(Word(k) for k in u.array_kinds if k in GPU_OPS)
        if u.linalg_ops:
            words.append(Word.LINALG)
        words += sorted({ARITH_WORDS[k] for k in u.arith_kinds if k in ARITH_WORDS})
        if u.reshape_ops:
            words.append(Word.RESHAPE)


def _framework_text(u: Unit, framework: str | None, reasons: list[str]) -> tuple[str, list[str]]:
    """The framework text of a unit, and its reasons with the framework's put first."""
    fw = ""
    if framework == "sklearn":
        fw = " ".join(FRAMEWORK_WORDS["sklearn"])
        if u.role_why:
            reasons.insert(0, u.role_why)
        else:
            reasons.insert(0, f"{u.sk_fit_calls} fit and {u.sk_infer_calls} inference call(s) on "
                              "scikit-learn objects")
    elif framework == "pandas":
        fw = " ".join(FRAMEWORK_WORDS["pandas"]) + " " + " ".join(sorted(u.frame_kinds))
        reasons.insert(0, f"{u.frame_ops} pandas operation(s) ({', '.join(sorted(u.frame_kinds)[:5])})")
    elif framework == "numpy":
        fw = " ".join(FRAMEWORK_WORDS["numpy"]) + " " + " ".join(sorted(u.array_kinds))
        reasons.insert(0, f"{u.array_ops} array operation(s), {u.linalg_ops} linear algebra "
                          f"({', '.join(sorted(u.array_kinds)[:5])})")
    return fw, reasons


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


def analyze_unit(u: Unit, gpu_available: bool, compute_capability: str | None,
                 thresholds: dict[str, float] | None = None) -> tuple[int, Scores, list[str]]:
    from velkora.plugins.analyzer import code_scoring as cs

    framework = _dominant_framework(u)
    text, fw_text, reasons = _evidence_text(u, framework)
    # The name is no evidence: a function called `apply_map` does not map anything by being called so.
    cpu, mem, par, gpu_op, large, emb, seq = cs.score_indicators(text, None)
    cpu_n, mem_n, par_n, gpu_n, large_n = cs.normalize_scores(cpu, mem, par, gpu_op, large)
    numpy_s, pandas_s, sklearn_s = cs.score_framework_patterns(fw_text)
    if framework != "sklearn":
        # The scorer matches words inside names (`goodness_of_fit`, `scoreatpercentile`); scikit-learn
        # evidence is scikit-learn's calls or estimators, which only the sklearn framework text holds.
        sklearn_s = 0.0
    chunkable = (u.for_loops or u.independent_maps) and not u.carried
    chunking = LOOP_CHUNKING_POTENTIAL if chunkable else 0.0
    if chunkable and u.costly_items and not u.strong_items and not u.parallel_api:
        chunking = LIGHT_ITEMS_POTENTIAL
    potential = cs.calculate_parallelization_potential(par_n, emb, seq, chunking)
    suitability = cs.calculate_gpu_suitability(gpu_n, large_n, cpu_n, gpu_available, compute_capability)
    # A unit without array operations has nothing a GPU would run: no estimate, whatever its words.
    speedup = cs.estimate_gpu_speedup(gpu_n, large_n, gpu_available) if u.array_ops else 1.0
    t = {**DEFAULT_THRESHOLDS, **thresholds} if thresholds else DEFAULT_THRESHOLDS
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
    if _usable_compute_capability(first):
        return first
    if first and first not in _UNUSABLE_SAID:           # said once, however often the host is asked
        _UNUSABLE_SAID.add(first)
        logger.warning("nvidia-smi reported the compute capability %r, which cannot be used: analysing "
                       "without one", first[:40])
    return None


_UNUSABLE_SAID: set[str] = set()


def _usable_compute_capability(text: str) -> bool:
    """MAJOR.MINOR in ASCII digits with the major within the scorer's 32-bit range, as
    --compute-capability requires."""
    major, dot, minor = text.partition(".")
    return (bool(dot) and all(part.isascii() and part.isdigit() for part in (major, minor))
            and len(major.lstrip("0")) <= 10 and int(major) < 2**31)


def analyze_source(text: str, filename: str, gpu_available: bool,
                   compute_capability: str | None, namespace: dict[str, str] | None = None,
                   thresholds: dict[str, float] | None = None) -> list[FunctionReport]:
    """Every function and method of one file (qualified names), and `<module>` code, in line order.

    `namespace` carries import names from one piece of source to the next that runs after it in the same
    namespace (a notebook's cells, top to bottom): what earlier pieces imported is seen here, and what
    this one imports at module level is added. Imports of a package the file is in (a directory of
    `filename`) are the package's own code. `thresholds` replaces some of DEFAULT_THRESHOLDS. Costs
    one parse and one walk of the source.

    Whatever the parser raises propagates (SyntaxError, ValueError for null bytes on 3.11, RecursionError
    or MemoryError for deeply nested expressions): the caller decides how to report a file.
    """
    tree = ast.parse(text, filename=filename)
    # The directories the file is in name the packages whose imports are the file's own code.
    *dirs, base = filename.replace("\\", "/").split("/")
    tests = base.startswith("test_") or base.endswith("_test.py") or "tests" in dirs or "test" in dirs
    units, _ = collect_units(tree, namespace, frozenset(dirs), tests)
    reports = []
    for u in units:
        if u.no_code:
            reports.append(FunctionReport(file=filename, line=u.line, function=u.qualname, pattern=NO_CODE,
                                          pattern_code=None, reasons=["no code to run"], **_NO_CODE_SCORES,
                                          advice=advise(NO_CODE, u).text, actionable=False))
            continue
        code, scores, reasons = analyze_unit(u, gpu_available, compute_capability, thresholds)
        advice = advise(P(code).name, u, scores["memory_intensity"])
        reports.append(FunctionReport(file=filename, line=u.line, function=u.qualname,
                                      pattern=P(code).name, pattern_code=int(code), reasons=reasons,
                                      **scores, advice=advice.text, actionable=advice.actionable))
    reports.sort(key=lambda r: r.line)
    return reports
