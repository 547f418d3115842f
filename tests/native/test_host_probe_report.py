"""GPU backend probe and capability report of velkora.native.host_probe.

The framework's registry is stood in for by a module placed in sys.modules, nvidia-smi by a script
first on PATH; spawns are observed through the interpreter's audit events.
"""

import enum
import os
import subprocess
import sys
import time
import types

import pytest

from velkora.native import host_probe as hp

REGISTRY = "velkora.gpu.accel_registry"
DEFAULTS = {"has_gpu": False, "gpu_count": 0, "gpu_memory_mb": 0, "cuda_available": False,
            "rocm_available": False, "oneapi_available": False, "active_backend": "cpu",
            "backend_version": ""}
REPORT_KEYS = ["physical_cores", "numa_nodes", *DEFAULTS, "python_version", "subinterpreter_support",
               "platform", "detected_at", "detector", "detection_time_ms"]
SMI_ARGS = ["nvidia-smi", "--query-gpu=name", "--format=csv,noheader"]
SPAWNED = []
sys.addaudithook(lambda event, args: SPAWNED.append(args) if event == "subprocess.Popen"
                 and os.path.basename(os.fsdecode(args[0])) == "nvidia-smi" else None)


class Kind(enum.Enum):
    CUDA, ROCm, oneAPI, CPU = "cuda", "rocm", "oneapi", "cpu"


def record(count, gib):
    return types.SimpleNamespace(device_count=count, memory_gb=gib)


def best(kind, version="12.4"):
    return types.SimpleNamespace(info=types.SimpleNamespace(kind=kind, version=version))


def failing(exc):
    def probe():
        raise exc
    return probe


@pytest.fixture(autouse=True)
def clean(monkeypatch, tmp_path):
    """No registry and an empty PATH unless a test provides them."""
    SPAWNED.clear()
    monkeypatch.setitem(sys.modules, REGISTRY, None)
    (tmp_path / "empty").mkdir()
    monkeypatch.setenv("PATH", str(tmp_path / "empty"))


@pytest.fixture
def registry(monkeypatch):
    def install(backends, best_backend):
        class GPUAccelRegistry:
            detect_available_backends = staticmethod(lambda: backends)
            get_best_available = staticmethod(failing(best_backend) if isinstance(best_backend, BaseException)
                                              else lambda: best_backend)
        mod = types.ModuleType(REGISTRY)
        mod.GPUAccelRegistry, mod.GPUBackendKind = GPUAccelRegistry, Kind
        monkeypatch.setitem(sys.modules, REGISTRY, mod)
    return install


@pytest.fixture
def smi(monkeypatch, tmp_path):
    """Puts an executable nvidia-smi with the given shell body first on PATH; returns its folder."""
    def install(body):
        (tmp_path / "bin").mkdir()
        script = tmp_path / "bin" / "nvidia-smi"
        script.write_text("#!/bin/sh\n" + body + "\n")
        script.chmod(0o755)
        monkeypatch.setenv("PATH", os.pathsep.join([str(tmp_path / "bin"), "/usr/bin", "/bin"]))
        return tmp_path / "bin"
    return install


# ---- detect_gpu_backends ------------------------------------------------------------------------

def test_defaults_without_registry_or_tool_spawn_nothing():
    info = hp.detect_gpu_backends()
    assert info == DEFAULTS and list(info) == list(DEFAULTS) and SPAWNED == []


@pytest.mark.parametrize("body, has_gpu, count", [
    (r"printf 'NVIDIA H100\nNVIDIA A100\n'", True, 2),
    (r"printf 'GPU A\n\n   \nGPU B'", True, 2),
    (r"printf '\n  \n\n'", True, 0),                    # only blank lines
    (r"printf '\377\376GPU A\n\302\240\n'", True, 1),   # undecodable bytes dropped; NBSP is blank
    (r"printf 'GPU A\n'; exit 3", False, 0),           # a nonzero exit
    ("exit 0", False, 0),                               # nothing printed
    ("exec sleep 5", False, 0),                         # killed by the time-out
    ("not a command ((", False, 0),                     # present but broken
])
def test_nvidia_smi_fallback(smi, body, has_gpu, count):
    smi(body)
    assert hp.detect_gpu_backends() == dict(DEFAULTS, has_gpu=has_gpu, gpu_count=count)
    assert len(SPAWNED) == 1


def test_nvidia_smi_command_line_and_relative_search_entry(smi, monkeypatch, tmp_path):
    monkeypatch.chdir(smi(f"printf '%s\\n' \"$@\" > {tmp_path}/argv; echo GPU"))
    monkeypatch.setenv("PATH", os.pathsep.join(["/nonexistent", ""]))  # "" is the working directory
    assert hp.detect_gpu_backends()["gpu_count"] == 1
    assert (tmp_path / "argv").read_text().splitlines() == SMI_ARGS[1:]


@pytest.mark.parametrize("what", ["run", "Popen", "_execute_child"])
def test_replaced_subprocess_parts_are_called(monkeypatch, what):
    seen, script = [], [sys.executable, "-c", "print('A'); print('B')"]

    def fake_run(*args, **kwargs):
        seen.append((args, kwargs))
        return subprocess.CompletedProcess(args[0], 0, stdout=b"GPU A\nGPU B\n", stderr=b"")

    class FakePopen(subprocess.Popen):
        def __init__(self, args, **kwargs):
            super().__init__(script, **kwargs)

    def fake_execute_child(self, args, executable, *rest):
        return spawn(self, script, sys.executable, *rest)

    spawn = subprocess.Popen._execute_child
    target, fake = {"run": (subprocess, fake_run), "Popen": (subprocess, FakePopen),
                    "_execute_child": (subprocess.Popen, fake_execute_child)}[what]
    monkeypatch.setattr(target, what, fake)
    assert hp.detect_gpu_backends() == dict(DEFAULTS, has_gpu=True, gpu_count=2)
    assert seen == ([((SMI_ARGS,), {"capture_output": True, "timeout": 0.5, "check": False})]
                    if what == "run" else [])


CUDA_ROCM = {Kind.CUDA: record(2, 23.5), Kind.ROCm: record(1, 16.0)}


@pytest.mark.parametrize("backends, best_backend, expected", [
    (CUDA_ROCM, best(Kind.CUDA), dict(has_gpu=True, gpu_count=2, gpu_memory_mb=24064, cuda_available=True,
                                      rocm_available=True, active_backend="cuda", backend_version="12.4")),
    ({Kind.CPU: record(4, 64.0), Kind.CUDA: record(1, 8.0)}, best(Kind.CPU, "n/a"),
     dict(cuda_available=True, backend_version="n/a")),
    ({Kind.ROCm: record(3, 0.0009)}, best(Kind.ROCm, "6.0"),
     dict(has_gpu=True, gpu_count=3, rocm_available=True, active_backend="rocm", backend_version="6.0")),
    ({Kind.oneAPI: record("one", 1.9999)}, best(Kind.oneAPI, "24"),   # copied as is; toward zero
     dict(has_gpu=True, gpu_count="one", gpu_memory_mb=2047, oneapi_available=True, active_backend="oneapi",
          backend_version="24")),
    ({Kind.CUDA: record(1, 8.0)}, best(Kind.ROCm, "6.0"),             # best kind not listed
     dict(has_gpu=True, cuda_available=True, active_backend="rocm", backend_version="6.0")),
])
def test_registry_answers(registry, smi, backends, best_backend, expected):
    registry(backends, best_backend)
    smi("echo GPU; echo GPU; echo GPU")  # present, but the registry answered
    info = hp.detect_gpu_backends()
    assert info == dict(DEFAULTS, **expected) and list(info) == list(DEFAULTS) and SPAWNED == []


class Listing(dict):
    def __contains__(self, kind):  # fails for ROCm, after CUDA was answered
        if kind is Kind.ROCm:
            raise RuntimeError("registry failed")
        return super().__contains__(kind)


class BadRecord:
    device_count = property(failing(RuntimeError("driver gone")))


WRITTEN = dict(has_gpu=True, cuda_available=True, active_backend="cuda", backend_version="12.4")


@pytest.mark.parametrize("backends, best_backend, kept", [
    (CUDA_ROCM, None, dict(cuda_available=True, rocm_available=True)),             # no .info
    (CUDA_ROCM, RuntimeError("no best"), dict(cuda_available=True, rocm_available=True)),
    (Listing(CUDA_ROCM), best(Kind.CUDA), dict(cuda_available=True)),
    ({Kind.CUDA: BadRecord()}, best(Kind.CUDA), WRITTEN),
    ({Kind.CUDA: record(1, float("nan"))}, best(Kind.CUDA), dict(WRITTEN, gpu_count=1)),
])
@pytest.mark.parametrize("tool", [None, "echo GPU"])
def test_registry_failure_keeps_written_keys_then_falls_back(registry, smi, backends, best_backend, kept, tool):
    registry(backends, best_backend)
    if tool:
        smi(tool)
    extra = dict(has_gpu=True, gpu_count=1) if tool else {}
    assert hp.detect_gpu_backends() == dict(DEFAULTS, **{**kept, **extra})
    assert len(SPAWNED) == (1 if tool else 0)


@pytest.mark.parametrize("where", ["registry", "subprocess"])
def test_gpu_probe_lets_base_exceptions_through(registry, monkeypatch, where):
    if where == "registry":
        registry(CUDA_ROCM, KeyboardInterrupt())
    else:
        monkeypatch.setattr(subprocess, "run", lambda *a, **k: failing(KeyboardInterrupt())())
    with pytest.raises(KeyboardInterrupt):
        hp.detect_gpu_backends()


# ---- detect_capabilities ------------------------------------------------------------------------

def test_report_on_this_host():
    before = time.time()
    caps = hp.detect_capabilities()
    assert list(caps) == REPORT_KEYS and caps["detector"] == "native"
    assert caps == dict(DEFAULTS, physical_cores=len(os.sched_getaffinity(0)), numa_nodes=hp.detect_numa_nodes(),
                        python_version=hp.detect_python_version()[0],
                        subinterpreter_support=hp.detect_python_version()[1], platform=sys.platform,
                        detected_at=caps["detected_at"], detector="native",
                        detection_time_ms=caps["detection_time_ms"])
    assert type(caps["detected_at"]) is float and before <= caps["detected_at"] <= time.time()
    assert type(caps["detection_time_ms"]) is float and caps["detection_time_ms"] >= 0.0


def test_report_uses_the_module_attributes(monkeypatch):
    view = type("BackendView", (), {"__getitem__": lambda self, key: "gpu:" + key})  # subscription only
    for name, probe in [("detect_physical_cores", lambda: "cores"), ("detect_numa_nodes", lambda: "nodes"),
                        ("detect_gpu_backends", view), ("detect_python_version", lambda: ["9.9", "sub"]),
                        ("sys", types.SimpleNamespace(platform="plan9"))]:
        monkeypatch.setattr(hp, name, probe)
    caps = hp.detect_capabilities()
    assert list(caps) == REPORT_KEYS
    assert caps == dict(caps, physical_cores="cores", numa_nodes="nodes", python_version="9.9",
                        subinterpreter_support="sub", platform="plan9", **{k: "gpu:" + k for k in DEFAULTS})


@pytest.mark.parametrize("name, replacement, error", [
    ("detect_numa_nodes", failing(ValueError("x")), "x"),
    ("detect_physical_cores", failing(OSError(5, "io")), "[Errno 5] io"),
    ("detect_gpu_backends", lambda: {"has_gpu": True, "gpu_count": 1, "gpu_memory_mb": 0}, "'cuda_available'"),
    ("detect_python_version", lambda: ("3.14.0", False, "x"), "too many values to unpack (expected 2)"),
    ("detect_python_version", lambda: ("3.14.0",), "not enough values to unpack (expected 2, got 1)"),
    ("detect_python_version", lambda: None, "cannot unpack non-iterable NoneType object"),
    ("detect_numa_nodes", None, "name 'detect_numa_nodes' is not defined"),
])
def test_fallback_report(monkeypatch, name, replacement, error):
    if replacement is None:
        monkeypatch.delattr(hp, name)
    else:
        monkeypatch.setattr(hp, name, replacement)
    caps = hp.detect_capabilities()
    assert list(caps) == REPORT_KEYS[:-1] + ["error", "detection_time_ms"]
    v = sys.version_info
    assert caps == dict(DEFAULTS, physical_cores=os.cpu_count() or 1, numa_nodes=1,
                        python_version=f"{v.major}.{v.minor}", subinterpreter_support=False,
                        platform=sys.platform, detected_at=caps["detected_at"], detector="native_fallback",
                        error=error, detection_time_ms=caps["detection_time_ms"])
    assert caps["detection_time_ms"] >= 0.0


@pytest.mark.parametrize("numa, cpu_count, ticks, elapsed", [
    (lambda: 2, 4, [10.0, 10.25], 250.0),
    (failing(RuntimeError("no")), None, [2, 2.5], 500.0),   # fallback: same start, no count gives 1
    (lambda: 2, 4, [0.1, 0.3], (0.3 - 0.1) * 1000),
])
def test_detection_time_from_one_start(monkeypatch, numa, cpu_count, ticks, elapsed):
    monkeypatch.setattr(hp, "time", types.SimpleNamespace(perf_counter=lambda: ticks.pop(0), time=lambda: 1234.5))
    monkeypatch.setattr(hp, "os", types.SimpleNamespace(cpu_count=lambda: cpu_count))
    monkeypatch.setattr(hp, "detect_numa_nodes", numa)
    caps = hp.detect_capabilities()
    assert (caps["detection_time_ms"], caps["detected_at"], ticks) == (elapsed, 1234.5, [])
    assert caps["physical_cores"] == (cpu_count or 1)


def test_fallback_runs_as_an_except_block(monkeypatch):
    outer, seen = ValueError("outer"), []
    monkeypatch.setattr(hp, "detect_physical_cores", failing(outer))
    monkeypatch.setattr(hp, "os", types.SimpleNamespace(cpu_count=lambda: seen.append(sys.exc_info()[1]) or 3))
    assert hp.detect_capabilities()["physical_cores"] == 3 and seen == [outer]
    assert sys.exc_info() == (None, None, None)
    monkeypatch.setattr(hp, "os", types.SimpleNamespace(cpu_count=failing(LookupError("inner"))))
    with pytest.raises(LookupError) as info:  # a failure of the fallback itself propagates
        hp.detect_capabilities()
    assert info.value.__context__ is outer


@pytest.mark.parametrize("name", ["detect_physical_cores", "detect_numa_nodes", "detect_gpu_backends",
                                  "detect_python_version"])
def test_report_lets_base_exceptions_through(monkeypatch, name):
    monkeypatch.setattr(hp, name, failing(KeyboardInterrupt()))
    with pytest.raises(KeyboardInterrupt):
        hp.detect_capabilities()


def test_references_are_balanced(registry, monkeypatch):
    rec, version, cores, error = record(2, 23.5), "12.4-refs", object(), ValueError("refs")
    registry({Kind.CUDA: rec, Kind.ROCm: record(1, 1.0)}, best(Kind.CUDA, version))
    monkeypatch.setattr(hp, "detect_physical_cores", lambda: cores)
    numa, broken = hp.detect_numa_nodes, failing(error)
    monkeypatch.setattr(hp, "detect_numa_nodes", numa)  # restored whatever happens

    def run_all():
        for probe in [numa, broken]:
            hp.detect_numa_nodes = probe
            for _ in range(50):
                hp.detect_gpu_backends(), hp.detect_capabilities()

    watched = [rec, version, cores, error, Kind.CUDA, Kind.ROCm, Kind.oneAPI]
    run_all()  # caches settle
    before = [sys.getrefcount(o) for o in watched]
    run_all()
    assert [sys.getrefcount(o) for o in watched] == before
