"""Processor, NUMA and interpreter probes of velkora.native.host_probe, on this host and through fakes."""

import collections
import importlib.util
import os
import re
import sys
import types

import pytest

from velkora.native import host_probe as hp

PROBES = ["detect_physical_cores", "detect_numa_nodes", "detect_gpu_backends", "detect_python_version",
          "detect_capabilities"]
NODE_DIR = "/sys/devices/system/node"
VersionInfo = collections.namedtuple("VersionInfo", "major minor micro releaselevel serial")


def fake_os(calls, *, affinity=None, cpu_count=None, entries=None, exists=True):
    """An `os` with what the probes use; results that are exceptions are raised. No affinity: None."""
    def fn(name, result):
        def f(*args):
            calls.append((name, *args))
            if isinstance(result, BaseException):
                raise result
            return result(*args) if callable(result) else result
        return f
    ns = types.SimpleNamespace(cpu_count=fn("cpu_count", cpu_count), listdir=fn("listdir", entries),
                               path=types.SimpleNamespace(exists=fn("exists", exists)))
    if affinity is not None:
        ns.sched_getaffinity = fn("sched_getaffinity", affinity)
    return ns


def fake_sys(platform="linux", version=(3, 14, 0)):
    return types.SimpleNamespace(platform=platform, version_info=VersionInfo(*version, "final", 0))


def test_namespace_holds_modules_then_probes():
    assert [n for n in vars(hp) if not n.startswith("__")] == ["sys", "os", "time"] + PROBES
    assert (hp.sys, hp.os, hp.time) == (sys, os, __import__("time"))


def test_import_logs_nothing(run_python):
    proc = run_python("import logging; logging.basicConfig(level=logging.DEBUG)\n"
                      "import velkora.native.host_probe as hp; assert not hasattr(hp, 'logger')")
    assert proc.stderr == proc.stdout == ""


@pytest.mark.parametrize("name", PROBES)
@pytest.mark.parametrize("args, kwargs", [((1,), {}), ((), {"x": 1})])
def test_probes_take_no_arguments(name, args, kwargs):
    with pytest.raises(TypeError):
        getattr(hp, name)(*args, **kwargs)


# ---- detect_physical_cores ----------------------------------------------------------------------

def test_physical_cores_on_this_host():
    assert hp.detect_physical_cores() == len(os.sched_getaffinity(0))


class Huge:
    def __len__(self):
        return 2**31


@pytest.mark.parametrize("affinity, cpu_count, expected", [
    ({0, 2, 3}, 64, 3),                  # the affinity mask wins over the machine's count
    (set(), 8, 1),                        # an empty mask still answers 1
    (OSError("no affinity"), 5, 5),       # a failing query falls back to the count ...
    (OSError("no affinity"), None, 1),    # ... or 1
    (OSError("no affinity"), -2, -2),     # the fallback converts but does not bound
    (lambda pid: Huge(), 6, 6),           # beyond a signed 32-bit count
    (None, None, 1),                      # no affinity query at all
    (None, 0, 1),
    (None, 6.9, 6),                       # converted through __int__
])
def test_physical_cores_through_fakes(monkeypatch, affinity, cpu_count, expected):
    calls = []
    monkeypatch.setattr(hp, "os", fake_os(calls, affinity=affinity, cpu_count=cpu_count))
    result = hp.detect_physical_cores()
    assert type(result) is int and result == expected
    assert calls[0] == (("sched_getaffinity", 0) if affinity is not None else ("cpu_count",))


def test_physical_cores_count_without_integer_conversion_propagates(monkeypatch):
    # A truthy count that is no integer fails in the probe, then again in its fallback.
    monkeypatch.setattr(hp, "os", fake_os([], cpu_count="4"))
    with pytest.raises(TypeError) as info:
        hp.detect_physical_cores()
    assert isinstance(info.value.__context__, TypeError)


@pytest.mark.parametrize("probe", ["detect_physical_cores", "detect_numa_nodes"])
def test_base_exceptions_propagate(monkeypatch, probe):
    monkeypatch.setattr(hp, "os", fake_os([], affinity=KeyboardInterrupt(), entries=KeyboardInterrupt()))
    monkeypatch.setattr(hp, "sys", fake_sys("linux"))
    with pytest.raises(KeyboardInterrupt):
        getattr(hp, probe)()


# ---- detect_numa_nodes --------------------------------------------------------------------------

def test_numa_nodes_on_this_host():
    found = os.listdir(NODE_DIR) if os.path.exists(NODE_DIR) else []
    assert hp.detect_numa_nodes() == (sum(1 for d in found if re.fullmatch(r"node\d+", d)) or 1)


@pytest.mark.parametrize("entries, exists, expected", [
    (["node0", "node1", "possible", "online", "has_cpu", "power"], True, 2),
    (["possible", "online"], True, 1),
    (["node0", "node1", "node01", "node-1", "possible", "online"], True, 3),
    (["node", "nodeX", "Node0", " node0", "node0 ", "node1a"], True, 1),
    (["node\u0661", "node\u00b2", "node\u0661x"], True, 2),   # the interpreter's digits, not only ASCII
    (("node3", "node4"), True, 2),                              # any iterable listing
    (["node0", b"node1"], True, 1),                             # a bytes name errs: safe minimum
    (PermissionError("denied"), True, 1),
    (["node0", "node1"], False, 1),                             # no directory: no listing
    (["node0", "node1"], OSError("unreadable"), 1),
])
def test_numa_nodes_from_listing(monkeypatch, entries, exists, expected):
    calls = []
    monkeypatch.setattr(hp, "os", fake_os(calls, entries=entries, exists=exists))
    monkeypatch.setattr(hp, "sys", fake_sys("linux"))
    result = hp.detect_numa_nodes()
    assert type(result) is int and result == expected
    assert calls == [("exists", NODE_DIR)] + ([("listdir", NODE_DIR)] if exists is True else [])


@pytest.mark.parametrize("platform", ["darwin", "freebsd14", "cygwin"])
def test_numa_nodes_elsewhere_touch_nothing(monkeypatch, platform):
    calls = []
    monkeypatch.setattr(hp, "os", fake_os(calls, entries=["node0", "node1"]))
    monkeypatch.setattr(hp, "sys", fake_sys(platform))
    assert hp.detect_numa_nodes() == 1 and calls == []


def make_ctypes(calls, result, highest, dll_error):
    """A stand-in for ctypes with the pieces the Windows branch uses."""
    class ForeignFunction:
        def __call__(self, ref):
            ref.value = highest
            return result

    def WinDLL(name, **kwargs):
        calls.append(("WinDLL", name, kwargs))
        if dll_error:
            raise dll_error
        return types.SimpleNamespace(GetNumaHighestNodeNumber=mod.fn)

    mod = types.ModuleType("ctypes")
    vars(mod).update(WinDLL=WinDLL, fn=ForeignFunction(), c_ulong=type("c_ulong", (), {"value": 0}),
                     POINTER=lambda t: ("pointer", t), byref=lambda obj: obj,
                     wintypes=types.SimpleNamespace(BOOL="BOOL"))
    return mod


@pytest.mark.parametrize("result, highest, dll_error, expected", [
    (1, 3, None, 4),
    (1, 0, None, 1),
    (0, 3, None, 1),                       # the call reports failure
    (1, 2**31 - 1, None, 1),               # beyond a signed 32-bit count
    (1, 3, OSError("no kernel32"), 1),
    (None, None, None, 1),                 # no ctypes at all
])
def test_numa_nodes_windows(monkeypatch, result, highest, dll_error, expected):
    calls = []
    ctypes = make_ctypes(calls, result, highest, dll_error) if result is not None else None
    monkeypatch.setitem(sys.modules, "ctypes", ctypes)
    monkeypatch.setattr(hp, "sys", fake_sys("win32"))
    assert hp.detect_numa_nodes() == expected
    if ctypes is not None:
        assert calls == [("WinDLL", "kernel32", {"use_last_error": True})]
    if ctypes is not None and not dll_error:
        assert (ctypes.fn.restype, ctypes.fn.argtypes) == ("BOOL", [("pointer", ctypes.c_ulong)])


# ---- detect_python_version ----------------------------------------------------------------------

SUBINTERPRETER_MODULES = ("_xxsubinterpreters", "_interpreters", "concurrent.interpreters")


def test_python_version_on_this_interpreter():
    v = sys.version_info
    expected = v >= (3, 12) and any(importlib.util.find_spec(n) is not None for n in SUBINTERPRETER_MODULES)
    assert hp.detect_python_version() == (f"{v.major}.{v.minor}.{v.micro}", expected)


class ImportWatch:
    """A meta-path finder recording requests for the sub-interpreter modules; raises `outcomes[name]`."""

    def __init__(self, outcomes):
        self.outcomes, self.seen = outcomes, []

    def find_spec(self, name, path=None, target=None):
        if name in SUBINTERPRETER_MODULES:
            self.seen.append(name)
            if name in self.outcomes:
                raise self.outcomes[name]


GONE = {n: ModuleNotFoundError("gone") for n in SUBINTERPRETER_MODULES}
MUST_NOT = {n: RuntimeError("must not import") for n in SUBINTERPRETER_MODULES}


@pytest.mark.parametrize("version, present, outcomes, expected, imports", [
    ((3, 11, 9), (), MUST_NOT, ("3.11.9", False), []),
    ((2, 7, 18), (), MUST_NOT, ("2.7.18", False), []),
    ((3, 14, 0), ("_xxsubinterpreters",), MUST_NOT, ("3.14.0", True), []),
    # 3.13 renamed the private module, 3.14 made it public: each is found once the older names fail.
    ((3, 13, 0), ("_interpreters",), GONE, ("3.13.0", True), ["_xxsubinterpreters"]),
    ((3, 14, 0), ("concurrent.interpreters",), GONE, ("3.14.0", True), ["_xxsubinterpreters", "_interpreters"]),
    ((3, 14, 0), (), GONE, ("3.14.0", False), list(SUBINTERPRETER_MODULES)),
    ((3, 12, 0), (), {n: ImportError("gone") for n in SUBINTERPRETER_MODULES}, ("3.12.0", False),
     list(SUBINTERPRETER_MODULES)),
    ((3, 12, 1), (), {"_xxsubinterpreters": RuntimeError("broken import")}, RuntimeError,
     ["_xxsubinterpreters"]),   # propagates, before the later names are tried
    ((3, 13, 1), (), {**GONE, "_interpreters": RuntimeError("broken import")}, RuntimeError,
     ["_xxsubinterpreters", "_interpreters"]),
])
def test_python_version_through_fakes(monkeypatch, version, present, outcomes, expected, imports):
    for name in SUBINTERPRETER_MODULES:
        monkeypatch.delitem(sys.modules, name, raising=False)
    for name in present:
        monkeypatch.setitem(sys.modules, name, types.ModuleType(name))
    watch = ImportWatch(outcomes)
    monkeypatch.setattr(sys, "meta_path", [watch] + sys.meta_path)
    monkeypatch.setattr(hp, "sys", fake_sys(version=version))
    if expected is RuntimeError:
        with pytest.raises(RuntimeError, match="broken import"):
            hp.detect_python_version()
    else:
        assert hp.detect_python_version() == expected
    assert watch.seen == imports
