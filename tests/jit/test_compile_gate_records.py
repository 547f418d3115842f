"""PolicyConfig, FunctionMetrics, their factories and the compile_gate module frame."""

import copy
import inspect
import math
import pickle

import pytest

from doubles import IntLike
from velkora.jit.compile_gate import (FunctionMetrics, PolicyConfig, create_function_metrics,
                                      create_policy_config)

NAN = float("nan")


def policy(c):
    return (c.initial_threshold, c.min_threshold, c.max_threshold, c.learning_rate, c.target_speedup)


def metrics(m):
    return (m.call_count, m.compile_count, m.avg_speedup, m.total_execution_time_ms, m.last_compiled)


def test_namespace_in_import_order_and_load_line(run_python):
    proc = run_python(
        "import logging, threading, time, typing\n"
        "logging.basicConfig(level=logging.DEBUG, format='%(name)s|%(levelname)s|%(message)s')\n"
        "import velkora.jit.compile_gate as m\n"
        "assert (m.time, m.logging, m.threading, m.Dict, m.Optional) == (time, logging, threading, typing.Dict,"
        " typing.Optional)\n"
        "assert m.logger.name == 'velkora.jit.compile_gate' and type(m._policy_lock) is type(threading.Lock())\n"
        "print(' '.join(n for n in vars(m) if not n.startswith('__')))")
    assert proc.stdout.split() == [
        "PolicyConfig", "FunctionMetrics", "CompileGate", "time", "logging", "threading", "Dict", "Optional",
        "logger", "_policy_lock", "get_compile_gate", "reset_compile_gate", "create_function_metrics",
        "create_policy_config"]
    lines = [l for l in proc.stderr.splitlines() if l.startswith("velkora.jit.compile_gate|")]
    assert len(lines) == 1 and lines[0].startswith("velkora.jit.compile_gate|INFO|")


def test_defaults():
    assert policy(PolicyConfig()) == policy(create_policy_config()) == (100, 10, 10000, 0.1, 2.0)
    assert policy(PolicyConfig.__new__(PolicyConfig)) == (100, 10, 10000, 0.1, 2.0)
    assert metrics(FunctionMetrics()) == metrics(create_function_metrics()) == (0, 0, 1.0, 0.0, 0.0)


@pytest.mark.parametrize(
    "kwargs, message",
    [  # the first failed test wins even where later ones fail too
        (dict(min_threshold=0, learning_rate=5.0, initial_threshold=-3), "min_threshold must be positive"),
        (dict(min_threshold=10, max_threshold=10), "max_threshold must be greater than min_threshold"),
        (dict(max_threshold=5, learning_rate=0.0), "max_threshold must be greater than min_threshold"),
        (dict(learning_rate=0.0, target_speedup=0.0), r"learning_rate must be in \(0, 1\]"),
        (dict(learning_rate=1.5), r"learning_rate must be in \(0, 1\]"),
        (dict(target_speedup=0.0, initial_threshold=5), "target_speedup must be positive"),
        (dict(initial_threshold=5), "initial_threshold must be within bounds"),
        (dict(initial_threshold=10001), "initial_threshold must be within bounds"),
    ],
)
def test_validation_order_and_messages(kwargs, message):
    for make in (PolicyConfig, create_policy_config):
        with pytest.raises(ValueError, match=f"^{message}$"):
            make(**kwargs)


@pytest.mark.parametrize("kwargs", [dict(learning_rate=1.0), dict(initial_threshold=10), dict(initial_threshold=10000),
                                    dict(learning_rate=NAN, target_speedup=NAN)])
def test_accepted_boundaries(kwargs):
    c = PolicyConfig(**kwargs)
    assert all(getattr(c, n) == v or math.isnan(v) and math.isnan(getattr(c, n)) for n, v in kwargs.items())


@pytest.mark.parametrize(
    "make, kwargs, exc",
    [(PolicyConfig, dict(initial_threshold=2**31), OverflowError), (PolicyConfig, dict(min_threshold="5"), TypeError),
     (PolicyConfig, dict(learning_rate="0.1"), TypeError), (PolicyConfig, dict(initial_threshold=NAN), ValueError),
     (FunctionMetrics, dict(compile_count=-1), OverflowError), (FunctionMetrics, dict(compile_count=2**32), OverflowError),
     (FunctionMetrics, dict(call_count=-1), OverflowError), (FunctionMetrics, dict(avg_speedup="x"), TypeError),
     (create_policy_config, dict(max_threshold=2**40), OverflowError)],
)
def test_conversion_errors(make, kwargs, exc):
    with pytest.raises(exc):
        make(**kwargs)


def test_conversions_truncate_and_take_int_like():
    c = PolicyConfig(initial_threshold=40.9, min_threshold=True, max_threshold=IntLike(), learning_rate=1,
                     target_speedup=True)
    assert policy(c) == (40, 1, 42, 1.0, 1.0) and type(c.learning_rate) is float
    m = FunctionMetrics(call_count=2**64 - 1, compile_count=2**32 - 1.5, avg_speedup=-2)
    assert metrics(m)[:3] == (2**64 - 1, 2**32 - 2, -2.0)


def test_assignment_converts_without_validation():
    c, m = PolicyConfig(), FunctionMetrics(5, 2)
    c.min_threshold, c.learning_rate, c.initial_threshold = 20000, 7, -1.9
    assert policy(c) == (-1, 20000, 10000, 7.0, 2.0)
    for obj, name, value, exc in [(c, "max_threshold", 2**31, OverflowError), (c, "target_speedup", "x", TypeError),
                                  (m, "call_count", -1, OverflowError), (m, "compile_count", None, TypeError)]:
        with pytest.raises(exc):
            setattr(obj, name, value)
    assert policy(c) == (-1, 20000, 10000, 7.0, 2.0) and metrics(m) == (5, 2, 1.0, 0.0, 0.0)


@pytest.mark.parametrize("obj, name", [(PolicyConfig(), "learning_rate"), (PolicyConfig(), "min_threshold"),
                                       (FunctionMetrics(), "last_compile_time"), (FunctionMetrics(), "call_count")])
def test_delete_raises_not_implemented(obj, name):
    before = getattr(obj, name)
    with pytest.raises(NotImplementedError):
        delattr(obj, name)
    assert getattr(obj, name) == before


@pytest.mark.parametrize(
    "kwargs, stored",
    [(dict(last_compile_time=5.0, last_compiled=7.0), 7.0), (dict(last_compile_time=5.0, last_compiled=-1.0), 5.0),
     (dict(last_compile_time=5.0, last_compiled=-0.0), -0.0), (dict(last_compile_time=5.0, last_compiled=NAN), NAN),
     (dict(last_compile_time=-3.0), -3.0), (dict(last_compiled=8.0), 8.0)],
)
def test_last_compiled_choice(kwargs, stored):
    m = FunctionMetrics(**kwargs)
    assert math.isnan(stored) and math.isnan(m.last_compile_time) or (
        m.last_compiled == m.last_compile_time == stored and math.copysign(1, m.last_compiled) == math.copysign(1, stored))


@pytest.mark.parametrize("name", ["last_compiled", "last_compile_time"])
def test_both_names_are_one_field(name):
    m = FunctionMetrics(1, 2, 3.0, 4.0, 5.0, 6.0)
    setattr(m, name, 3.5)
    assert m.last_compiled == m.last_compile_time == 3.5


@pytest.mark.parametrize(
    "func, names, defaults, annotations",
    [(create_policy_config, ["initial_threshold", "min_threshold", "max_threshold", "learning_rate", "target_speedup"],
      (100, 10, 10000, 0.1, 2.0), ["int", "int", "int", "float", "float", "PolicyConfig"]),
     (create_function_metrics,
      ["call_count", "compile_count", "avg_speedup", "total_execution_time_ms", "last_compile_time"],
      (0, 0, 1.0, 0.0, 0.0), ["int", "int", "float", "float", "float", "FunctionMetrics"])],
)
def test_factory_introspection(func, names, defaults, annotations):
    assert func.__defaults__ == defaults and list(inspect.signature(func).parameters) == names
    assert func.__annotations__ == dict(zip(names + ["return"], annotations))
    assert func.__module__ == "velkora.jit.compile_gate" and func.__qualname__ == func.__name__


@pytest.mark.parametrize("value, expected", [(150.7, 150), (True, 1), (IntLike(), 42), (1.99, 1)])
def test_factory_int_parameters_truncate(value, expected):
    assert create_policy_config(initial_threshold=value, min_threshold=True).initial_threshold == expected
    assert create_function_metrics(value, value).compile_count == expected


@pytest.mark.parametrize("value", ["150", b"1", None, 1j])
def test_factory_int_parameters_refuse_non_numbers(value):
    with pytest.raises(TypeError, match="'initial_threshold' must be int"):
        create_policy_config(initial_threshold=value)
    with pytest.raises(TypeError, match="'call_count' must be int"):
        create_function_metrics(call_count=value)


def test_metrics_factory_stores_last_compile_time():
    assert metrics(create_function_metrics(3, 1.9, 2, 4.5, -7)) == (3, 1, 2.0, 4.5, -7.0)
    with pytest.raises(TypeError):
        create_function_metrics(last_compiled=1.0)


@pytest.mark.parametrize("obj", [PolicyConfig(), FunctionMetrics()], ids=["policy", "metrics"])
def test_refuses_pickling_and_copying(obj):
    for action in (pickle.dumps, copy.copy, copy.deepcopy):
        with pytest.raises(TypeError):
            action(obj)


def test_subclasses_keep_native_fields_and_types_are_immutable():
    class Tuned(PolicyConfig):
        def __init__(self):
            super().__init__(initial_threshold=30)
            self.note = "x"

    assert policy(Tuned()) == (30, 10, 10000, 0.1, 2.0) and Tuned().note == "x"
    assert metrics(type("Counted", (FunctionMetrics,), {})(1, 2)) == (1, 2, 1.0, 0.0, 0.0)
    with pytest.raises(TypeError):
        PolicyConfig.initial_threshold = 5
