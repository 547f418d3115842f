from benchlib import FLOOR0, FLOOR1, FLOOR2, Baseline, Case

COUNTER = "from velkora.memory.sync_cells import AtomicCounter; c = AtomicCounter(5)"

LOCKED_COUNTER = Baseline(
    "pure-Python counter with threading.Lock",
    "p.increment()",
    """
import threading
class LockedCounter:
    def __init__(self):
        self._lock = threading.Lock()
        self._value = 0
    def increment(self, delta=1):
        with self._lock:
            self._value += delta
            return self._value
p = LockedCounter()
""",
)

CASES = [
    Case("AtomicCounter.load()", "c.load()", COUNTER, FLOOR0, max_ratio=2.5),
    Case("AtomicCounter.increment()", "c.increment()", COUNTER, FLOOR0, max_ratio=2.5),
    Case("AtomicCounter.increment(3)", "c.increment(3)", COUNTER, FLOOR1, max_ratio=2.5),
    Case("AtomicCounter.compare_and_swap(a, b)", "c.compare_and_swap(5, 5)", COUNTER, FLOOR2,
         max_ratio=2.5),
    Case("AtomicCounter.increment() vs locked counter", "c.increment()", COUNTER, LOCKED_COUNTER,
         min_speedup=8.0),
]

# ---- LockFreeStatistics, AtomicPointer, LockFreeStack, PerformanceTimer ---------------------------

STATS = "from velkora.memory.sync_cells import LockFreeStatistics; s = LockFreeStatistics()"

PURE_STATS = Baseline(
    "pure-Python statistics, Python counters",
    "p.record_allocation(100)",
    """
class PyCounter:
    def __init__(self, value=0):
        self._value = value
    def load(self):
        return self._value
    def store(self, value):
        self._value = value
    def increment(self, delta=1):
        self._value += delta
        return self._value
    def decrement(self, delta=1):
        self._value -= delta
        return self._value
    def compare_and_swap(self, expected, new_value):
        if self._value == expected:
            self._value = new_value
            return True
        return False

class PyStatistics:
    def __init__(self):
        for name in ("total_allocations", "current_allocations", "bytes_allocated",
                     "peak_allocations", "peak_bytes_allocated", "bucketed_allocations",
                     "fallback_allocations", "alignment_padding_bytes", "total_allocation_time_ns"):
            setattr(self, name, PyCounter())
    def record_allocation(self, size, is_bucketed=True, padding=0, time_ns=0):
        self.total_allocations.increment()
        self.current_allocations.increment()
        self.bytes_allocated.increment(size)
        if is_bucketed:
            self.bucketed_allocations.increment()
        else:
            self.fallback_allocations.increment()
        if padding > 0:
            self.alignment_padding_bytes.increment(padding)
        if time_ns > 0:
            self.total_allocation_time_ns.increment(time_ns)
        self._update_peaks(self.current_allocations.load(), self.bytes_allocated.load())
    def _update_peaks(self, current_allocs, current_bytes):
        while True:
            peak = self.peak_allocations.load()
            if current_allocs <= peak or self.peak_allocations.compare_and_swap(peak, current_allocs):
                break
        while True:
            peak = self.peak_bytes_allocated.load()
            if current_bytes <= peak or self.peak_bytes_allocated.compare_and_swap(peak, current_bytes):
                break
p = PyStatistics()
""",
)

# A pair of calls with the arities of push(x) + pop().
FLOOR_PAIR = Baseline("call floor pair: math.fabs(x); n.bit_length()", "math.fabs(x); n.bit_length()",
                      "import math; x = 3.0; n = 5")

POINTER = "from velkora.memory.sync_cells import AtomicPointer; x = object(); a = AtomicPointer(x)"
STACK = "from velkora.memory.sync_cells import LockFreeStack; x = object(); s = LockFreeStack(); s.push(x)"

CASES += [
    Case("LockFreeStatistics.record_allocation(100) vs pure Python", "s.record_allocation(100)", STATS,
         PURE_STATS, min_speedup=5.0),
    # Absolute targets (200 ns per recording, 1.5 us per snapshot) are read from the ns/op column;
    # the ratios restate them against a call floor of about 20 ns, which travels between machines.
    Case("LockFreeStatistics.record_allocation(100)", "s.record_allocation(100)", STATS, FLOOR1,
         max_ratio=10.0),
    Case("LockFreeStatistics.get_snapshot()", "s.get_snapshot()", STATS + "; s.record_allocation(100)",
         FLOOR0, max_ratio=75.0, number=50_000),
    Case("LockFreeStack.push(x) + pop()", "s.push(x); s.pop()", STACK, FLOOR_PAIR, max_ratio=2.5),
    Case("LockFreeStack.size()", "s.size()", STACK, FLOOR0, max_ratio=2.0),
    Case("AtomicPointer.load()", "a.load()", POINTER, FLOOR0, max_ratio=2.0),
    Case("AtomicPointer.store(x)", "a.store(x)", POINTER, FLOOR1, max_ratio=2.0),
]
