"""What the hostile-input fuzzer knows about each public callable of the native modules.

COVERED     every callable the fuzzer accounts for (a public one missing here fails the suite)
FACTORIES   a fresh, non-empty instance of each native class
SNAPSHOTS   the observable state of an instance, compared before and after a call that failed converting
SNAPSHOT_EXEMPT  callable -> exception types after which state may legitimately have changed
RAISES      callable -> the exception types it may end with on hostile input (module default otherwise)
GUARDS      callable -> predicate(positional, keywords) rejecting arguments that are valid but would
            exhaust the machine (a billion chunks, a gigabyte of buckets): not faults, just too big
SKIP_CALL   callables that are covered elsewhere rather than fuzzed here, with the reason
PARAMS      parameter names of callables without a text signature, read from the type stubs
"""

from __future__ import annotations

import ast
import importlib
import pathlib

import velkora
from velkora.jit import compile_gate as cg
from velkora.jit import dispatch as dp
try:  # the tree module may be mid-build in a development checkout; CI always has it
    from velkora.memory import block_index as bi
except ImportError:
    bi = None
from velkora.memory import arena_heap as ah
from velkora.memory import pool_paths as pp
from velkora.memory import sync_cells as sc
from velkora.monitoring import stat_counters as st


class HostileError(Exception):
    """Raised by the hostile dunders of the fuzzer's argument pool."""


SYNC = "velkora.memory.sync_cells"
POOL = "velkora.memory.pool_paths"
TREE = "velkora.memory.block_index"
HEAP = "velkora.memory.arena_heap"
GATE = "velkora.jit.compile_gate"
DISP = "velkora.jit.dispatch"
PROBE = "velkora.native.host_probe"
SCORE = "velkora.plugins.analyzer.code_scoring"
PLAN = "velkora.gpu.device_memplan"
ADAPT = "velkora.plugins.analyzer.pool_adaptation"
AGG = "velkora.monitoring.stat_counters"
TRACE = "velkora.monitoring.call_trace"
TRACE_FUNCTIONS = ("start", "stop", "running", "threads", "mechanism", "snapshot", "ignore_thread", "timing",
                   "samples")


# --- instances -------------------------------------------------------------------------------------

def _tree():
    t = bi.FastRedBlackTree(sample_rate=1)
    for size, block in ((8, "a"), (16, "b"), (16, "c"), (4096, "d"), (2**63, "e")):
        t.insert(size, block)
    return t


def _stack():
    s = sc.LockFreeStack()
    for item in ("x", 1, None):
        s.push(item)
    return s


def _stats():
    s = sc.LockFreeStatistics()
    s.record_allocation(64, True, 8, 100)
    s.record_allocation(32, False)
    s.record_deallocation(32, 5)
    return s


def _header():
    h = pp.FastSlabHeaderOps(3, 64)
    h.py_allocate_object_at(5)
    return h


def _allocator():
    a = pp.FastBucketAllocator()
    a.add_to_bucket(0, 64)
    a.add_to_bucket(128, 200)
    return a


def _collector():
    c = pp.FastStatsCollector()
    c.py_record_allocation(64, 8, True)
    return c


def _aggregator():
    a = st.CounterAggregator(8)
    for i, v in ((0, 1.0), (0, 3.0), (5, -2.5)):
        a.update(i, v)
    return a


def _gate():
    g = cg.CompileGate()
    ledger = _Ledger(cg.FunctionMetrics(call_count=500, compile_count=2, avg_speedup=3.0))
    g.update("f", ledger)
    return g


class _Ledger:
    def __init__(self, metrics):
        self.metrics = metrics

    def get_metrics(self, func_id):
        return self.metrics


def _memory_file(size=1 << 20):
    import os

    fd = os.memfd_create("velkora-fuzz", os.MFD_CLOEXEC)
    os.ftruncate(fd, size)
    return fd


def _heap():
    """A heap with one segment, a pin table, empty()'s helpers and a history of blocks."""
    import os

    h = ah.Heap()
    for fd, call in ((_memory_file(), lambda fd: h.add_segment(fd, 1 << 20)),
                     (_memory_file(1 << 16), lambda fd: h.set_pin_table(fd, 4096))):
        call(fd)
        os.close(fd)  # the mapping keeps the memory

    def resolve(dtype):
        if dtype is None or dtype == "f8":
            return (dtype, 8)
        raise TypeError(f"unknown dtype {dtype!r}")

    def shape_of(shape):
        raise TypeError("shape must be an int or a tuple of ints")

    def grow(nbytes):
        raise MemoryError(f"cannot allocate {nbytes} bytes")

    h.configure(lambda shape, dtype, block, *rest: block, resolve, shape_of, grow)
    kept = h.alloc(100), h.alloc(10_000)  # a slab and a split segment, both free again
    del kept
    return h


def _block():
    return _heap().alloc(64)


def _mapping():
    import os

    fd = _memory_file(1 << 16)
    try:
        return ah.Mapping(fd, 1 << 16)
    finally:
        os.close(fd)


def _callee(*args, **kwargs):
    return args


def _dispatcher():
    d = dp.Dispatcher(_callee, "f")
    d(1)
    d.arm(10, 1e9)
    return d


def _disp_ledger():
    ledger = dp.Ledger()
    ledger.register(_dispatcher())
    ledger.record_compilation("f", 2.0, 5.0)
    return ledger


FACTORIES = {
    f"{HEAP}.Heap": _heap,
    f"{HEAP}.Block": _block,
    f"{HEAP}.Mapping": _mapping,
    f"{HEAP}.View": lambda: ah.View(_mapping(), 0, 64),
    f"{SYNC}.AtomicCounter": lambda: sc.AtomicCounter(41),
    f"{SYNC}.AtomicCounterWrapper": lambda: sc.AtomicCounterWrapper(41),
    f"{SYNC}.AtomicPointer": lambda: sc.AtomicPointer("start"),
    f"{SYNC}.LockFreeStack": _stack,
    f"{SYNC}.LockFreeStatistics": _stats,
    f"{SYNC}.PerformanceTimer": sc.PerformanceTimer,
    f"{POOL}.FastSlabHeaderOps": _header,
    f"{POOL}.FastBucketAllocator": _allocator,
    f"{POOL}.FastStatsCollector": _collector,
    **({f"{TREE}.FastRedBlackTree": _tree} if bi is not None else {}),
    f"{GATE}.PolicyConfig": lambda: cg.PolicyConfig(50, 5, 500, 0.2, 1.5),
    f"{GATE}.FunctionMetrics": lambda: cg.FunctionMetrics(7, 2, 1.5, 3.0, 4.0),
    f"{GATE}.CompileGate": _gate,
    f"{DISP}.Dispatcher": _dispatcher,
    f"{DISP}.Ledger": _disp_ledger,
    f"{AGG}.CounterAggregator": _aggregator,
}


def _fields(*names):
    return lambda obj: tuple(getattr(obj, n) for n in names)


SNAPSHOTS = {
    f"{HEAP}.Heap": lambda h: h.stats(),
    f"{HEAP}.Block": _fields("address", "nbytes", "capacity", "segment", "offset"),
    f"{HEAP}.Mapping": lambda m: m.size,
    f"{HEAP}.View": lambda v: v.nbytes,
    f"{SYNC}.AtomicCounter": lambda c: c.load(),
    f"{SYNC}.AtomicCounterWrapper": lambda w: w.load(),
    f"{SYNC}.AtomicPointer": lambda p: (p.load(), p.get_version()),
    f"{SYNC}.LockFreeStack": lambda s: s.size(),
    f"{SYNC}.LockFreeStatistics": lambda s: s.get_snapshot(),
    f"{POOL}.FastSlabHeaderOps": lambda h: h.pack_header(),
    f"{POOL}.FastStatsCollector": lambda c: c.get_stats(),
    f"{TREE}.FastRedBlackTree": lambda t: (t.size(), t.get_size_distribution(), t.find_all_exact(16)),
    f"{GATE}.PolicyConfig": _fields("initial_threshold", "min_threshold", "max_threshold",
                                    "learning_rate", "target_speedup"),
    f"{GATE}.FunctionMetrics": _fields("call_count", "compile_count", "avg_speedup",
                                       "total_execution_time_ms", "last_compiled", "last_compile_time"),
    f"{GATE}.CompileGate": lambda g: (g.get_statistics(), g.get_threshold("f")),
    f"{DISP}.Dispatcher": lambda d: (d.calls, d.next_check, d.impl, d.on_hot, d.on_error, d.func_id,
                                     _fields("call_count", "compile_count", "avg_speedup",
                                             "last_compiled")(d.metrics())),
    f"{DISP}.Ledger": lambda l: (len(l.dispatchers()), _fields("call_count", "compile_count", "avg_speedup",
                                                               "last_compiled")(l.get_metrics("f"))),
    f"{AGG}.CounterAggregator": lambda a: a.get_all_stats(),
}

# Recordings made of separate atomic steps: an out-of-range value met at a later step leaves the
# earlier steps done.
_ALL = (BaseException,)
SNAPSHOT_EXEMPT = {
    f"{SYNC}.LockFreeStatistics.record_allocation": (OverflowError, ValueError, HostileError, TypeError),
    f"{SYNC}.LockFreeStatistics.record_deallocation": (OverflowError, ValueError, HostileError, TypeError),
    # Re-running the constructor is a reset by design, whatever it is given.
    **{f"{cls}.__init__": _ALL for cls in FACTORIES},
    # Installing an implementation or a callback is what these attributes are for.
    **{f"{DISP}.Dispatcher.{name}": _ALL for name in ("impl", "on_hot", "on_error")},
    # Attribute replacement is the documented way to swap a counter out.
    **{f"{SYNC}.LockFreeStatistics.{name}": _ALL for name in (
        "total_allocations", "total_deallocations", "current_allocations", "bytes_allocated",
        "bytes_reserved", "peak_allocations", "peak_bytes_allocated", "bucketed_allocations",
        "fallback_allocations", "alignment_padding_bytes", "total_allocation_time_ns",
        "total_deallocation_time_ns")},
}

# --- allowed exceptions ----------------------------------------------------------------------------

# Conversion errors: a native integer parameter converts a float through int(), so NaN raises the
# interpreter's ValueError and infinities its OverflowError.
_CONV = (TypeError, OverflowError, ValueError, HostileError)
MODULE_RAISES = {
    # The heap maps memory (OSError for a descriptor that cannot be mapped) and refuses work in a
    # forked child or before set-up (RuntimeError); its helpers' MemoryError passes through.
    # Its attributes are read-only (AttributeError on assignment).
    HEAP: _CONV + (OSError, RuntimeError, MemoryError, BufferError, AttributeError),
    SYNC: _CONV,
    POOL: _CONV,
    TREE: _CONV,
    GATE: _CONV + (AttributeError, NotImplementedError),
    DISP: _CONV + (KeyError, AttributeError),
    PROBE: (TypeError,),
    SCORE: _CONV,
    PLAN: _CONV,
    ADAPT: _CONV + (KeyError, IndexError),
    AGG: _CONV + (IndexError,),
}

RAISES = {
    f"{SYNC}.AtomicPointer.store": (TypeError,),
    f"{SYNC}.AtomicPointer.compare_and_swap": (TypeError,),
    f"{SYNC}.AtomicPointer.load": (TypeError,),
    f"{SYNC}.AtomicPointer.get_version": (TypeError,),
    f"{SYNC}.LockFreeStack.push": (TypeError,),
    f"{SYNC}.LockFreeStack.pop": (TypeError,),
    # A replaced counter lacking the method fails its lookup.
    f"{SYNC}.LockFreeStatistics.get_snapshot": (TypeError, AttributeError),
    f"{AGG}.CounterAggregator": _CONV + (MemoryError,),
    f"{AGG}.CounterAggregator.__init__": _CONV + (MemoryError,),
    f"{AGG}.create_aggregator": _CONV + (MemoryError,),
    f"{TREE}.FastRedBlackTree.insert": _CONV + (MemoryError,),
}


def allowed(qual: str, module: str) -> tuple:
    return RAISES.get(qual, MODULE_RAISES[module])


# --- resource guards -------------------------------------------------------------------------------

def _big_int(v, limit=1 << 16):
    return isinstance(v, int) and abs(v) >= limit


def _any_big(positional, keywords, limit=1 << 16):
    values = list(positional) + list(keywords.values())
    return any(_big_int(v, limit) for v in values)


def _huge_first_dim(positional, keywords):
    shape = positional[0] if positional else keywords.get("shape")
    return isinstance(shape, tuple) and shape and _big_int(shape[0], 1 << 20)


GUARDS = {
    # Bucket count is medium_block_max / bucket_size_step: (2**31 - 1) buckets is valid but enormous.
    # (test_storage_that_cannot_be_obtained_is_a_memory_error makes such requests with memory capped.)
    f"{POOL}.FastBucketAllocator": _any_big,
    f"{POOL}.FastBucketAllocator.__init__": _any_big,
    # The record table is allocated at once; a valid 2**31 - 1 counters asks for ~80 GiB.
    f"{AGG}.CounterAggregator": _any_big,
    f"{AGG}.CounterAggregator.__init__": _any_big,
    f"{AGG}.create_aggregator": _any_big,
    # One tuple per chunk.
    f"{PLAN}.compute_chunk_shapes": _huge_first_dim,
}

# --- parameter names from the stubs ----------------------------------------------------------------

def _stub_params():
    names = {}
    for modname in velkora.NATIVE_MODULES:
        mod = importlib.import_module(modname)  # every module is built: a missing one is a failure
        stub = pathlib.Path(mod.__file__).parent / (modname.rsplit(".", 1)[1] + ".pyi")
        tree = ast.parse(stub.read_text())
        for node in tree.body:
            if isinstance(node, ast.FunctionDef):
                names[f"{modname}.{node.name}"] = _arg_names(node)
            elif isinstance(node, ast.ClassDef):
                for item in node.body:
                    if isinstance(item, ast.FunctionDef):
                        qual = f"{modname}.{node.name}.{item.name}"
                        names[qual] = _arg_names(item)
                        if item.name == "__init__":
                            names[f"{modname}.{node.name}"] = names[qual]
    return names


def _arg_names(fn):
    args = [a.arg for a in fn.args.posonlyargs + fn.args.args + fn.args.kwonlyargs]
    return [a for a in args if a not in ("self", "cls")]


PARAMS = _stub_params()

# Tallies for the closing summary (conftest.py prints them).
TALLY = {"calls": 0, "callables": set()}

# --- coverage --------------------------------------------------------------------------------------

# Internal methods and dunders the fuzzer also drives: re-running __init__ on a live object and
# restoring state are classic ways to corrupt native state.
EXTRA = [f"{cls}.{m}" for cls in FACTORIES for m in ("__init__", "__setstate__", "__reduce_ex__")
         if cls != f"{SYNC}.AtomicCounterWrapper"] + [f"{SYNC}.AtomicCounterWrapper.__init__",
    f"{POOL}.FastBucketAllocator._init_buckets",
    f"{SYNC}.LockFreeStatistics._update_peaks",
    f"{TREE}.FastRedBlackTree._sanitize_size",
]

SKIP_CALL = {
    # Map whatever descriptor they are given and later write slab headers and pin counts into it:
    # fuzzed descriptors would be the test run's own files. Driven with memory files by
    # tests/memory/test_arena_heap_model.py.
    f"{HEAP}.Heap.add_segment": "maps and writes into the descriptor given",
    f"{HEAP}.Heap.set_pin_table": "maps and writes into the descriptor given",
    f"{HEAP}.Heap.extend_segment": "maps and writes into the descriptor given",
    # Probe the host (sysfs, nvidia-smi, registry import); they take no arguments, so the fuzzer
    # can only check the argument-count error, which test_no_argument_callables_refuse_arguments does.
    f"{PROBE}.detect_physical_cores": "no parameters",
    f"{PROBE}.detect_numa_nodes": "no parameters",
    f"{PROBE}.detect_gpu_backends": "no parameters",
    f"{PROBE}.detect_python_version": "no parameters",
    f"{PROBE}.detect_capabilities": "no parameters",
    # Replaces the process-wide gate other tests may hold; fuzzed through test_singleton_functions.
    f"{GATE}.reset_compile_gate": "process-wide singleton",
    # Few parameters, and start/stop switch the process-wide measurement on and off under the fuzzer
    # itself: tests/monitoring/test_call_trace.py covers them.
    **{f"{TRACE}.{n}": "no parameters; process-wide measurement" for n in TRACE_FUNCTIONS},
}

# Written out so that a callable added to a module without a fuzz entry fails the coverage test.
COVERED = frozenset({
    *(f"{HEAP}.{n}" for n in ("Heap", "Block", "Mapping", "View")),
    *(f"{HEAP}.Heap.{m}" for m in ("add_segment", "remove_segment", "set_pin_table", "alloc", "sweep",
                                  "verify", "close", "set_objects_per_slab", "stats", "class_usage",
                                  "empty_segments", "configure", "empty", "extend_segment",
                                  "shrink_segment", "tail_free")),
    *(f"{HEAP}.Block.{m}" for m in ("address", "nbytes", "capacity", "segment", "offset", "heap",
                                   "from_slab", "export")),
    f"{HEAP}.Mapping.size",
    f"{HEAP}.View.nbytes",
    *(f"{SYNC}.{n}" for n in ("AtomicCounter", "AtomicCounterWrapper", "AtomicPointer", "LockFreeStack",
                              "LockFreeStatistics", "PerformanceTimer")),
    *(f"{SYNC}.AtomicCounter.{m}" for m in (
        "load", "store", "increment", "decrement", "compare_and_swap", "fetch_and_add", "py_load",
        "py_store", "py_increment", "py_decrement", "py_compare_and_swap", "py_fetch_and_add")),
    *(f"{SYNC}.AtomicCounterWrapper.{m}" for m in (
        "load", "store", "increment", "decrement", "compare_and_swap", "fetch_and_add")),
    *(f"{SYNC}.AtomicPointer.{m}" for m in ("load", "store", "compare_and_swap", "get_version")),
    *(f"{SYNC}.LockFreeStack.{m}" for m in ("push", "pop", "is_empty", "size")),
    *(f"{SYNC}.LockFreeStatistics.{m}" for m in (
        "record_allocation", "record_deallocation", "py_record_allocation", "py_record_deallocation",
        "get_snapshot", "reset", "total_allocations", "total_deallocations", "current_allocations",
        "bytes_allocated", "bytes_reserved", "peak_allocations", "peak_bytes_allocated",
        "bucketed_allocations", "fallback_allocations", "alignment_padding_bytes",
        "total_allocation_time_ns", "total_deallocation_time_ns")),
    *(f"{SYNC}.PerformanceTimer.{m}" for m in ("start", "elapsed_ns", "elapsed_us", "elapsed_ms")),
    *(f"{POOL}.{n}" for n in ("FastSlabHeaderOps", "FastBucketAllocator", "FastStatsCollector",
                              "fast_align_size", "fast_get_bucket_size", "fast_bitmap_operations",
                              "fast_can_fit_aligned")),
    *(f"{POOL}.FastSlabHeaderOps.{m}" for m in (
        "pack_header", "unpack_header", "py_is_object_free", "py_allocate_object_at",
        "py_deallocate_object_at", "py_find_free_object")),
    *(f"{POOL}.FastBucketAllocator.{m}" for m in ("add_to_bucket", "remove_from_bucket",
                                                  "find_best_fit_bucket")),
    *(f"{POOL}.FastStatsCollector.{m}" for m in ("py_record_allocation", "py_record_deallocation",
                                                 "get_stats", "reset_stats")),
    f"{TREE}.FastRedBlackTree",
    *(f"{TREE}.FastRedBlackTree.{m}" for m in (
        "insert", "delete", "remove_ge", "clear", "size", "find_best_fit", "find_all_exact", "get_stats",
        "get_statistics", "get_size_distribution", "reset_circuit_breaker")),
    *(f"{GATE}.{n}" for n in ("PolicyConfig", "FunctionMetrics", "CompileGate", "get_compile_gate",
                              "reset_compile_gate", "create_function_metrics", "create_policy_config")),
    *(f"{GATE}.PolicyConfig.{a}" for a in ("initial_threshold", "min_threshold", "max_threshold",
                                           "learning_rate", "target_speedup")),
    *(f"{GATE}.FunctionMetrics.{a}" for a in ("call_count", "compile_count", "avg_speedup",
                                              "total_execution_time_ms", "last_compiled",
                                              "last_compile_time")),
    *(f"{GATE}.CompileGate.{m}" for m in ("should_compile", "get_threshold", "update", "get_statistics",
                                          "config")),
    *(f"{PROBE}.{n}" for n in ("detect_physical_cores", "detect_numa_nodes", "detect_gpu_backends",
                               "detect_python_version", "detect_capabilities")),
    *(f"{SCORE}.{n}" for n in ("quick_framework_score", "score_indicators", "normalize_scores",
                               "score_framework_patterns", "determine_workload_pattern",
                               "calculate_parallelization_potential", "estimate_gpu_speedup",
                               "calculate_gpu_suitability", "update_adaptive_threshold")),
    *(f"{PLAN}.{n}" for n in ("estimate_allocation_bytes", "calculate_safe_limit",
                              "decide_allocation_strategy", "calculate_optimal_chunks",
                              "compute_chunk_shapes", "calculate_memory_pressure", "recommend_headroom",
                              "score_gpu_suitability", "is_chunkable_operation", "is_oom_error")),
    *(f"{ADAPT}.{n}" for n in ("detect_performance_degradation", "calculate_performance_trend",
                               "detect_workload_characteristics_change", "detect_dominant_pattern",
                               "is_adaptation_beneficial", "should_skip_adaptation",
                               "detect_memory_pressure", "detect_fragmentation_threshold",
                               "calculate_adaptation_urgency", "score_pool_recommendation",
                               "predict_resource_requirements")),
    *(f"{DISP}.{n}" for n in ("Dispatcher", "Ledger")),
    *(f"{DISP}.Dispatcher.{m}" for m in ("arm", "set_sampling", "record_compilation", "metrics", "calls",
                                         "spent_ns", "timed_calls", "next_check", "func", "impl",
                                         "func_id", "on_hot", "on_error")),
    *(f"{DISP}.Ledger.{m}" for m in ("register", "get_metrics", "record_compilation", "record_call",
                                     "dispatchers")),
    f"{AGG}.CounterAggregator",
    *(f"{AGG}.CounterAggregator.{m}" for m in ("update", "get_stats", "reset", "reset_all",
                                               "get_all_stats")),
    f"{AGG}.create_aggregator",
    *(f"{TRACE}.{n}" for n in TRACE_FUNCTIONS),
    *EXTRA,
})
