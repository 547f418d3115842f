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
