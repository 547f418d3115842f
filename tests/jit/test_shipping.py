"""What of a function travels to the compile process, decided without a process or a compiler."""

import math
import sys
import types

import numpy as np
import pytest

from velkora.jit.adaptive_policy import DriverPolicy, load_compiler_early, ship_before_the_call
from velkora.jit.compile_process import ship_arguments
from velkora.jit.compile_worker import _arguments
from velkora.jit.shipping import Unshippable, describe, installed_module, process_allowed, rebuild

SCALE = 3
TABLE = np.arange(4.0)


def uses_module(x):
    return math.floor(x) + SCALE


def uses_attr(x):
    return np.sqrt(x) + TABLE[1]


def with_default(x, y=2.5):
    return x * y


def make_closure(k):
    def inner(n):
        return n + k
    return inner


def import_by_name(name):
    __import__(name)
    return sys.modules[name]


@pytest.mark.parametrize("func, args", [
    (uses_module, (2.5,)), (uses_attr, (4.0,)), (with_default, (2.0,)), (make_closure(7), (1,)),
])
def test_a_rebuilt_function_is_the_same_code_under_the_same_name(func, args):
    # The compiler's disk cache keys on file, qualified name, first line, bytecode and closure.
    spec = describe(func)
    again = rebuild(spec, import_by_name, lambda f, options: f)
    code, code2 = func.__code__, again.__code__
    assert (code2.co_code, code2.co_filename, code2.co_firstlineno) == (code.co_code, code.co_filename,
                                                                        code.co_firstlineno)
    assert again.__qualname__ == func.__qualname__ and again(*args) == func(*args)


def test_what_cannot_travel_is_named():
    local = types.ModuleType("users_own")
    local.__file__ = __file__  # the user's code: importing it elsewhere would run its top level
    sys.modules["users_own"] = local
    try:
        def reads_module(x):
            return users_own.f(x)  # noqa: F821

        reads_module.__globals__["users_own"] = local
        cases = [(reads_module, "users_own"), (make_closure(object()), "closure variable 'k'")]
        ns = {}
        exec("def nowhere(x):\n    return x\n", ns)
        cases.append((ns["nowhere"], "no source file"))
        for func, words in cases:
            with pytest.raises(Unshippable, match=words):
                describe(func)
    finally:
        del sys.modules["users_own"]
        uses_module.__globals__.pop("users_own", None)
    assert installed_module(math) and installed_module(np) and not installed_module(local)


@pytest.mark.parametrize("env, platform, executable, frozen, expected", [
    ({}, "linux", "/usr/bin/python3", False, True),
    ({"VELKORA_JIT_PROCESS": "0"}, "linux", "/usr/bin/python3", False, False),
    ({}, "emscripten", "/usr/bin/python3", False, False),
    ({}, "linux", "", False, False),
    ({}, "linux", "/app/frozen", True, False),
])
def test_the_process_is_used_only_where_it_can_start(env, platform, executable, frozen, expected):
    assert process_allowed(env, platform, executable, frozen) is expected


def test_arrays_travel_small_with_what_the_compiler_types_them_by():
    base = np.zeros((6, 6))
    ro = np.ones(5)
    ro.setflags(write=False)
    args = (base, base[::2, ::2], np.asfortranarray(base), ro, [1, 2])
    back = _arguments(__import__("pickle").loads(ship_arguments(args, whole=False)))
    layout = [("C" if a.flags.c_contiguous else "F" if a.flags.f_contiguous else "A") for a in back[:3]]
    assert layout == ["C", "A", "F"] and not back[3].flags.writeable and back[4] == [1, 2]
    assert all(a.size <= 4 and a.dtype == base.dtype for a in back[:3])
    whole = _arguments(__import__("pickle").loads(ship_arguments(args, whole=True)))
    assert np.array_equal(whole[1], base[::2, ::2]) and whole[1].shape == (3, 3)
    assert ship_arguments((lambda: 0,), whole=True) is None


@pytest.mark.parametrize("call_ns, trial_there, expected", [
    (1e6, True, True), (100.0, True, False), (100.0, False, True),
])
def test_the_compiler_is_loaded_early_only_where_it_will_likely_be_needed(call_ns, trial_there, expected):
    assert load_compiler_early(call_ns, DriverPolicy(), trial_there) is expected


@pytest.mark.parametrize("mean_call_ns, expected", [(2e6, True), (1e6, True), (5e5, False)])
def test_long_calls_are_shipped_before_the_recorded_call(mean_call_ns, expected):
    assert ship_before_the_call(mean_call_ns, DriverPolicy(long_call_s=1e-3)) is expected


def test_a_profiled_thread_leaves_the_compiler_import_to_the_worker_thread():
    from velkora.jit.function_driver import _watched

    unwatched = sys.gettrace() is None and sys.getprofile() is None
    sys.setprofile(lambda *a: None)
    try:
        assert _watched()
    finally:
        sys.setprofile(None)
    assert _watched() is not unwatched or sys.gettrace() is not None
