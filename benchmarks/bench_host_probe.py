from benchlib import Baseline, Case

# Every case runs as on a host without the GPU registry and without nvidia-smi: the registry is
# not installed (its import searches the package and fails) and PATH keeps only the directories
# that hold no nvidia-smi, so the report takes the warm no-GPU path with its real costs.
PROBE = """
import importlib.util, os, sys
if importlib.util.find_spec("velkora.gpu.accel_registry") is not None:
    sys.modules["velkora.gpu.accel_registry"] = None
os.environ["PATH"] = os.pathsep.join(
    d for d in os.get_exec_path() if not os.path.exists(os.path.join(d, "nvidia-smi")))
from velkora.native import host_probe as hp
"""

# The same steps in Python, for the three host probes (their cost is the system calls they make).
PURE = PROBE + """
def py_physical_cores():
    try:
        if hasattr(os, "sched_getaffinity"):
            cores = len(os.sched_getaffinity(0))
        else:
            cores = os.cpu_count() or 1
        return cores if cores > 0 else 1
    except Exception:
        return os.cpu_count() or 1

def py_numa_nodes():
    try:
        if sys.platform == "linux":
            node_path = "/sys/devices/system/node"
            if os.path.exists(node_path):
                nodes = [d for d in os.listdir(node_path) if d.startswith("node") and d[4:].isdigit()]
                return len(nodes) or 1
            return 1
        return 1
    except Exception:
        return 1

def py_python_version():
    version = f"{sys.version_info.major}.{sys.version_info.minor}.{sys.version_info.micro}"
    has_subinterpreters = False
    if sys.version_info >= (3, 12):
        try:
            import _xxsubinterpreters
            has_subinterpreters = True
        except ImportError:
            pass
    return version, has_subinterpreters
"""

# A busy wait of exactly one millisecond: the report must not cost more.
ONE_MS = Baseline(
    "busy wait of 1 ms",
    "spin(0.001)",
    """
from time import perf_counter
def spin(seconds):
    end = perf_counter() + seconds
    while perf_counter() < end:
        pass
""",
)

# detection_time_ms against the measured time of the same call: each of 1000 warm calls is timed
# around it and divided by what it reported (preemption inside the call stretches both alike), and
# the median ratio is shown as the ratio of two busy waits, which the runner times faithfully. The
# two cases bound measured / reported to [0.8, 1.2].
AGREEMENT = PROBE + """
from time import perf_counter
def spin(seconds):
    end = perf_counter() + seconds
    while perf_counter() < end:
        pass
for _ in range(100):
    hp.detect_capabilities()
ratios = []
for _ in range(1000):
    t0 = perf_counter()
    reported_ms = hp.detect_capabilities()["detection_time_ms"]
    ratios.append((perf_counter() - t0) * 1000.0 / reported_ms)
ratio = sorted(ratios)[len(ratios) // 2]
unit = 0.01
"""
UNIT_WAIT = Baseline("busy wait of 10 ms", "spin(unit)", AGREEMENT)

CASES = [
    Case("detect_physical_cores() vs the same steps in Python", "hp.detect_physical_cores()", PROBE,
         Baseline("pure-Python physical cores", "py_physical_cores()", PURE), max_ratio=1.3,
         number=100_000),
    Case("detect_numa_nodes() vs the same steps in Python", "hp.detect_numa_nodes()", PROBE,
         Baseline("pure-Python NUMA nodes", "py_numa_nodes()", PURE), max_ratio=1.3, number=10_000),
    Case("detect_python_version() vs the same steps in Python", "hp.detect_python_version()", PROBE,
         Baseline("pure-Python version", "py_python_version()", PURE), max_ratio=1.3,
         number=20_000),
    Case("detect_capabilities(), no GPU, warm", "hp.detect_capabilities()", PROBE, ONE_MS,
         max_ratio=1.0, number=100),
    Case("detect_capabilities(): measured / reported", "spin(unit * ratio)", AGREEMENT, UNIT_WAIT,
         max_ratio=1.2, number=10),
    Case("detect_capabilities(): reported / measured", "spin(unit / ratio)", AGREEMENT, UNIT_WAIT,
         max_ratio=1.25, number=10),
]
