"""A chain of a million objects, each holding the next through one of our native types, is freed
without exhausting the C stack. Every way a user can make one of our objects hold an arbitrary
object is a way to build such a chain: stored items, replaced attributes, configuration objects, and
the lock a replaced `threading` module hands out. Each chain runs in its own interpreter, so a crash
fails the test instead of killing the run."""

import subprocess
import sys

import pytest

LEVELS = 1_000_000

# Each case defines `link(inner)`: a new object that holds `inner` (and nothing else that grows).
SYNC = "from velkora.memory.sync_cells import *\n"
STATS_NAMES = (
    "total_allocations total_deallocations current_allocations bytes_allocated bytes_reserved "
    "peak_allocations peak_bytes_allocated bucketed_allocations fallback_allocations "
    "alignment_padding_bytes total_allocation_time_ns total_deallocation_time_ns").split()


def _lock_factory(module: str, make: str) -> str:
    """`link` through the lock a replaced `threading` module hands to the new object."""
    return f"""
import types
import {module} as mod
handed = None
mod.threading = types.SimpleNamespace(Lock=lambda: handed)
def link(inner):
    global handed
    handed = inner
    obj = {make}
    handed = None
    return obj
"""


# A LockFreeStatistics makes twelve counters of its own; they are dropped, so a level costs one object.
DROP_COUNTERS = f"""
NAMES = {STATS_NAMES!r}
def bare(stats):
    for name in NAMES:
        setattr(stats, name, None)
    return stats
"""

CASES = {
    "AtomicPointer stored object": SYNC + "def link(inner):\n    return AtomicPointer(inner)\n",
    "LockFreeStack item": SYNC + (
        "def link(inner):\n"
        "    s = LockFreeStack()\n"
        "    s.push(inner)\n"
        "    return s\n"),
    "LockFreeStatistics counter attribute": SYNC + DROP_COUNTERS + (
        "def link(inner):\n"
        "    s = bare(LockFreeStatistics())\n"
        "    s.peak_bytes_allocated = inner\n"
        "    return s\n"),
    "LockFreeStatistics lock": DROP_COUNTERS + _lock_factory("velkora.memory.sync_cells",
                                                             "bare(mod.LockFreeStatistics())"),
    # A Python-level class: its instances pass the interpreter's own guard.
    "AtomicCounterWrapper counter": SYNC + (
        "def link(inner):\n"
        "    w = AtomicCounterWrapper.__new__(AtomicCounterWrapper)\n"
        "    w._counter = inner\n"
        "    return w\n"),
    "FastBucketAllocator lock": _lock_factory("velkora.memory.pool_paths", "mod.FastBucketAllocator(8, 8, 8)"),
    "FastStatsCollector lock": _lock_factory("velkora.memory.pool_paths", "mod.FastStatsCollector()"),
    "CompileGate config": (
        "from velkora.jit.compile_gate import CompileGate, PolicyConfig\n"
        "class Config(PolicyConfig):\n"
        "    __slots__ = ('inner',)\n"
        "def link(inner):\n"
        "    c = Config()\n"
        "    c.inner = inner\n"
        "    return CompileGate(c)\n"),
    "CompileGate lock": _lock_factory("velkora.jit.compile_gate", "mod.CompileGate()"),
    "CounterAggregator lock": _lock_factory("velkora.monitoring.stat_counters", "mod.CounterAggregator(0)"),
    "FastRedBlackTree stored block": (
        "from velkora.memory.block_index import FastRedBlackTree\n"
        "def link(inner):\n"
        "    t = FastRedBlackTree()\n"
        "    t.insert(1, inner)\n"
        "    return t\n"),
}

# The innermost object reports its release: the whole chain must have been freed, not leaked.
DRIVER = """
class Bottom:
    def __del__(self):
        print("bottom freed", flush=True)

head = Bottom()
for _ in range({levels}):
    head = link(head)
print("built", flush=True)
del head
print("deleted", flush=True)
"""


@pytest.mark.parametrize("name", list(CASES))
def test_million_level_chain_is_freed(name):
    code = CASES[name] + DRIVER.format(levels=LEVELS)
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, f"exit {proc.returncode}\n{proc.stdout}\n{proc.stderr[-3000:]}"
    assert proc.stdout.split() == "built bottom freed deleted".split()
