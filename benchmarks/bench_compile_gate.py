from benchlib import FLOOR1, FLOOR2, Baseline, Case

# A gate with a learned threshold for "f", and a stand-in ledger whose get_metrics returns a stored
# FunctionMetrics (the framework's ledger is outside velkora). DEBUG stays disabled.
GATE = """
from velkora.jit.compile_gate import CompileGate, FunctionMetrics
class Ledger:
    def __init__(self, record):
        self.record = record
    def get_metrics(self, func_id):
        return self.record
g = CompileGate()
ledger = Ledger(FunctionMetrics(500, 1, 3.0, 0.0, 1.0))
g.update("f", ledger)
"""

PY_GATE = Baseline(
    "pure-Python gate (dict, threading.Lock)",
    "p.should_compile('f', ledger)",
    GATE + """
import threading, time
class PyGate:
    def __init__(self):
        self._thresholds = {"f": 91}
        self._initial_threshold = 100
        self._lock = threading.Lock()
        self._recompile_interval = 600.0
    def should_compile(self, func_id, call_ledger):
        if func_id is not None and type(func_id) is not str:
            raise TypeError("func_id must be str or None")
        current_time = time.time()
        with self._lock:
            threshold = self._thresholds.get(func_id, self._initial_threshold)
            metrics = call_ledger.get_metrics(func_id)
            call_count = metrics.call_count
            compile_count = metrics.compile_count
            avg_speedup = metrics.avg_speedup
            last_compiled = getattr(metrics, "last_compiled", 0.0)
        if call_count < threshold:
            return False
        if compile_count == 0:
            return True
        return self._recompile_interval <= current_time - last_compiled
p = PyGate()
""",
)

# Absolute targets (80 ns, 1 us, 1.5 us) expressed against the call floors of a machine where
# math.fabs(x) takes about 20 ns and math.copysign(x, y) about 22 ns.
CASES = [
    Case("CompileGate.get_threshold(f)", "g.get_threshold('f')", GATE, FLOOR1, max_ratio=4.0),
    Case("CompileGate.should_compile(f, ledger)", "g.should_compile('f', ledger)", GATE, FLOOR2,
         max_ratio=45.0),
    Case("CompileGate.update(f, ledger), DEBUG off", "g.update('f', ledger)", GATE, FLOOR2,
         max_ratio=68.0),
    Case("CompileGate.get_statistics()", "g.get_statistics()", GATE, FLOOR1),
    Case("CompileGate.should_compile vs pure-Python gate", "g.should_compile('f', ledger)", GATE,
         PY_GATE, min_speedup=5.0),
]
