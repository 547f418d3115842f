"""A user's script under `mypy --strict`: every module, with the types the stubs promise pinned by
`assert_type` (a no-op at run time, so the script also runs as it stands)."""

from __future__ import annotations

import threading
from typing import assert_type

from velkora.gpu.device_memplan import (compute_chunk_shapes, decide_allocation_strategy,
                                        estimate_allocation_bytes, is_chunkable_operation)
from velkora.jit.call_ledger import CallLedger
from velkora.jit.compile_gate import CompileGate, create_policy_config
from velkora.memory.block_index import FastRedBlackTree
from velkora.memory.block_record import BlockRecord
from velkora.memory.pool_paths import FastBucketAllocator, FastStatsCollector, fast_bitmap_operations
from velkora.memory.sync_cells import AtomicCounter, AtomicPointer, LockFreeStack, LockFreeStatistics
from velkora.monitoring.stat_counters import create_aggregator
from velkora.native.host_probe import detect_capabilities
from velkora.analysis.patterns import WorkloadPattern
from velkora.plugins.analyzer.code_scoring import (determine_workload_pattern, normalize_scores,
                                                   score_framework_patterns, score_indicators)
from velkora.plugins.analyzer.pool_adaptation import detect_dominant_pattern, predict_resource_requirements


def free_blocks() -> BlockRecord | None:
    tree: FastRedBlackTree[BlockRecord] = FastRedBlackTree()
    for offset, length in [(0, 256), (256, 64)]:
        tree.insert(length, BlockRecord(offset, length))
    size, taken = tree.remove_ge(60)
    if taken is not None:
        assert_type(taken, BlockRecord)
        assert size == taken.size == 64
    assert_type(tree.find_all_exact(256), list[BlockRecord])
    assert tree.get_stats()["total_blocks"] == 1
    return tree.find_best_fit(100)


def cells() -> int:
    hits = AtomicCounter()
    worker = threading.Thread(target=hits.increment)
    worker.start()
    worker.join()
    stats = LockFreeStatistics()
    stats.record_allocation(4096, is_bucketed=True)
    ratio: str = stats.get_snapshot()["bucketed_allocation_ratio"]
    slot = AtomicPointer({"epoch": 1})
    assert_type(slot.load(), dict[str, int] | None)
    jobs: LockFreeStack[str] = LockFreeStack()
    jobs.push("a")
    assert_type(jobs.pop(), str | None)
    return hits.load() + len(ratio)


def pools() -> int:
    buckets = FastBucketAllocator()
    buckets.add_to_bucket(0x1000, 64)
    offset = buckets.find_best_fit_bucket(48, 16)
    collector = FastStatsCollector()
    collector.py_record_allocation(128, 0, True)
    assert_type(fast_bitmap_operations(0b10, 1, "is_set"), bool)
    assert_type(fast_bitmap_operations(0b10, 0, "set"), int)
    return (offset or 0) + collector.get_stats()["bucketed_allocations"]


def gate() -> int:
    compile_gate = CompileGate(create_policy_config(initial_threshold=20))
    ledger = CallLedger()
    ledger.record_call("app.kernel", execution_time_ms=0.4)
    if compile_gate.should_compile("app.kernel", ledger):
        compile_gate.update("app.kernel", ledger)
    return compile_gate.get_statistics()["tracked_functions"]


def classify(source: str) -> WorkloadPattern:
    cpu, mem, par, gpu, large, embarrassing, sequential = score_indicators(source, "total")
    cpu_n, mem_n, par_n, gpu_n, _ = normalize_scores(cpu, mem, par, gpu, large)
    numpy_s, pandas_s, sklearn_s = score_framework_patterns(source)
    code = determine_workload_pattern(cpu_n, mem_n, par_n, 0.0, gpu_n, numpy_s, pandas_s, sklearn_s,
                                      sequential, embarrassing, 0.1, 0.3, 0.5, 0.3, 0.15, 0.15, False)
    assert_type(code, int)
    return WorkloadPattern(code)


def plan(free_bytes: int) -> list[tuple[int, ...]]:
    shape = (100_000, 512)
    need = estimate_allocation_bytes(shape, 4, 1.2)
    strategy, chunk_size, chunks, why = decide_allocation_strategy(need, free_bytes, 0.2,
                                                                   is_chunkable_operation("add"))
    if strategy == 1:
        return compute_chunk_shapes(shape, 4, int(chunk_size / 1.2))
    return [shape]


def adapt() -> str:
    history = [(float(t), 100.0 - t) for t in range(10)]     # a list of tuples, passed as it is
    needed, peak, growth = predict_resource_requirements(history, 60.0)
    assert_type(growth, float)
    names = ["gpu", "cpu", "gpu"]
    assert_type(detect_dominant_pattern(names), str)
    maybe: list[str | None] = ["cpu", None]            # a tie goes to the first
    dominant = detect_dominant_pattern(maybe)
    return dominant if dominant is not None else str(needed + peak)


def main() -> None:
    block = free_blocks()
    assert block is not None and block.size == 256
    assert cells() > 0 and pools() > 0 and gate() == 0
    assert classify("def total(xs):\n    return sum(x * x for x in range(len(xs)))\n") is WorkloadPattern.CPU_INTENSIVE
    assert sum(rows for rows, *_ in plan(100 * 2**20)) == 100_000
    caps = detect_capabilities()
    assert caps["physical_cores"] >= 1 and isinstance(caps["detection_time_ms"], float)
    latency = create_aggregator(16)
    latency.update(3, 2.0)
    assert latency.get_stats(3)["mean"] == 2.0
    assert adapt() == "cpu"


if __name__ == "__main__":
    main()
