"""The compile driver end to end, with the real compiler (a few tiny functions, compiled once each)."""

import inspect
import logging
import os
import subprocess
import sys
import textwrap
import threading

import pytest

from velkora.jit import adaptive
import velkora
from velkora.jit.call_ledger import CallLedger
from velkora.jit.compile_gate import CompileGate, PolicyConfig
from velkora.jit.driver import DriverPolicy, State, state_of

# Where the imported package lies (src/ in the edit loop, site-packages when installed), for subprocesses.
SRC = os.path.dirname(os.path.dirname(velkora.__file__))
needs_compiler = pytest.mark.skipif(os.environ.get("VELKORA_SANITIZED") == "1",
                                    reason="the compiler's native code is not usable under the sanitizer")


def small_gate():
    return CompileGate(PolicyConfig(initial_threshold=10, min_threshold=5))


def hot_loop(n):
    s = 0.0
    for i in range(n):
        s += i * 0.5
    return s


def factorial(n):
    r = 1
    for i in range(2, n + 1):
        r *= i
    return r


def refused(xs):
    return len([object() for _ in xs])


def drive(f, *args, times=12):
    results = [f(*args) for _ in range(times)]
    assert f.adaptive.wait(60)
    return results


@pytest.fixture(scope="module")
def compiled():
    pytest.importorskip("numba")
    if os.environ.get("VELKORA_SANITIZED") == "1":
        pytest.skip("the compiler's native code is not usable under the sanitizer")
    gate = small_gate()
    fns = {name: adaptive(gate=gate, cache=False)(f) for name, f in
           [("hot", hot_loop), ("fact", factorial), ("refused", refused)]}
    return gate, fns


def test_keeps_the_face_of_the_function_in_every_form():
    def nested(a, b=3):
        """Nested."""
        return a * b

    class K:
        @adaptive
        @staticmethod
        def s(x):
            return x + 1

        @staticmethod
        @adaptive(check=False)
        def t(x):
            return x + 2

    for f in (adaptive(nested), adaptive(cache=False)(nested)):
        assert (f.__name__, f.__doc__, f.__wrapped__) == ("nested", "Nested.", nested)
        assert str(inspect.signature(f)) == "(a, b=3)" and f(2) == 6 and f(2, b=1) == 2
        assert state_of(f) is State.INTERPRETED
    assert K.s(1) == 2 and K().t(1) == 3
    with pytest.raises(TypeError, match="CompileGate"):
        adaptive(gate=object())
    with pytest.raises(TypeError, match="Python function"):
        adaptive(len)


def test_user_ledger_sees_the_calls():
    ledger = CallLedger()
    f = adaptive(ledger=ledger, gate=CompileGate(PolicyConfig(initial_threshold=10000)), cache=False)(hot_loop)
    for _ in range(7):
        f(3)
    assert f.adaptive.metrics().call_count == 7 and ledger.get_metrics(f.adaptive.func_id).call_count == 7


def test_decorating_and_calling_from_several_threads():
    errors = []

    def work(k):
        try:
            def g(x):
                return x + k
            f = adaptive(cache=False)(g)
            assert [f(i) for i in range(50)] == [i + k for i in range(50)]
        except BaseException as exc:  # reported below
            errors.append(exc)

    threads = [threading.Thread(target=work, args=(k,)) for k in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(30)
    assert not errors


@needs_compiler
def test_hot_function_compiles_in_the_background_and_the_gate_learns(compiled):
    gate, fns = compiled
    f = fns["hot"]
    results = []

    def caller():
        results.extend(f(100) for _ in range(30))

    threads = [threading.Thread(target=caller) for _ in range(3)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    assert f.adaptive.wait(60)
    assert results == [hot_loop(100)] * 90  # calls made during the compilation are right too
    assert f.adaptive.state is State.COMPILED and f.adaptive.speedup > 1.0
    assert f.adaptive.metrics().compile_count == 1
    assert 1 <= f.adaptive.compiled_after <= 90       # the count when the compiled code took over
    assert gate.get_threshold(f.adaptive.func_id) != 10  # learned from the measured speedup
    assert [f(1000) for _ in range(5)] == [hot_loop(1000)] * 5


@needs_compiler
def test_overflowing_machine_integers_revert_with_one_warning(compiled, caplog):
    f = compiled[1]["fact"]
    with caplog.at_level(logging.WARNING, logger="velkora.jit"):
        assert drive(f, 25) == [factorial(25)] * 12
    assert f.adaptive.state is State.REVERTED and "differs" in f.adaptive.reason
    lines = [r for r in caplog.records if r.levelno == logging.WARNING]
    assert len(lines) == 1 and "reverted" in lines[0].getMessage()
    assert f(25) == 15511210043330985984000000 and f.impl is factorial


@needs_compiler
def test_first_calls_after_compilation_are_checked(compiled, caplog):
    # Kept whatever its measured speed (a tiny body on a busy machine can measure slower): the check is
    # what is tested here.
    f = adaptive(gate=small_gate(), cache=False, policy=DriverPolicy(min_speedup=0.0))(factorial)
    drive(f, 5)  # compiled on factorial(5), which fits in 64 bits
    assert f.adaptive.state is State.COMPILED
    with caplog.at_level(logging.WARNING, logger="velkora.jit"):
        assert f(25) == 15511210043330985984000000  # the interpreter's answer, not the wrapped one
    assert f.adaptive.state is State.REVERTED and len(caplog.records) == 1
    assert f(25) == factorial(25)


@needs_compiler
def test_refused_function_is_marked_failed_once_with_the_reason(compiled, caplog):
    f = compiled[1]["refused"]
    with caplog.at_level(logging.INFO, logger="velkora.jit"):
        assert drive(f, [1, 2], times=40) == [2] * 40
    assert f.adaptive.state is State.FAILED and "object" in f.adaptive.reason
    assert len([r for r in caplog.records if "refused" in r.getMessage()]) == 1
    assert f.next_check == -1  # never asks again


@needs_compiler
def test_a_few_long_calls_count_as_hot_and_check_can_be_off(compiled):
    never_by_count = CompileGate(PolicyConfig(initial_threshold=10000))
    f = adaptive(gate=never_by_count, cache=False, check=False,
                 policy=DriverPolicy(worth_factor=0.0, min_speedup=0.0))(factorial)
    drive(f, 25, times=2)
    assert f.adaptive.state is State.COMPILED  # the check is off: nothing saw the overflow
    assert f(5) == 120


@needs_compiler
def test_fork_after_compilation(compiled):
    f = compiled[1]["hot"]
    drive(f, 100)
    pid = os.fork()
    if pid == 0:  # pragma: no cover - the child
        os._exit(0 if f(100) == hot_loop(100) and f.adaptive.state is State.COMPILED else 1)
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0


PROGRAM = textwrap.dedent("""
    import sys
    from velkora.jit import adaptive
    from velkora.jit.compile_gate import CompileGate, PolicyConfig

    @adaptive(gate=CompileGate(PolicyConfig(initial_threshold=10, min_threshold=5)))
    def kernel(n):
        s = 0
        for i in range(n):
            s += i
        return s

    kernel(10)
    kernel.adaptive.wait(60)
    warm = kernel.adaptive.state.value
    for _ in range(12):
        kernel(10)
    kernel.adaptive.wait(60)
    print(warm, kernel.adaptive.state.value, kernel.adaptive.compile_seconds is None, "numba" in sys.modules)
""")


def run(tmp_path, env, code=PROGRAM):
    script = tmp_path / "prog.py"
    script.write_text(code)
    out = subprocess.run([sys.executable, str(script)], env={**os.environ, "PYTHONPATH": SRC, **env},
                         capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    return out


@needs_compiler
def test_second_run_loads_from_the_cache_and_a_corrupt_cache_is_a_miss(tmp_path):
    pytest.importorskip("numba")
    env = {"VELKORA_CACHE_DIR": str(tmp_path / "cache")}
    assert run(tmp_path, env).stdout.split() == ["interpreted", "compiled", "False", "True"]
    # Warm: compiled after the first call already, without compiling.
    assert run(tmp_path, env).stdout.split() == ["compiled", "compiled", "True", "True"]
    for entry in (tmp_path / "cache" / "jit").glob("*.json"):
        entry.write_text("{not json")
    assert run(tmp_path, env).stdout.split()[:2] == ["interpreted", "compiled"]


def test_without_the_compiler_it_records_calls_and_says_so_once(tmp_path):
    code = "import sys\nsys.modules['numba'] = None\nimport logging\nlogging.basicConfig(level=logging.INFO)\n" + \
        PROGRAM.replace("warm = ", "kernel.adaptive.wait(60); warm = ")
    out = run(tmp_path, {"VELKORA_JIT_CACHE": "0"}, code)
    assert out.stdout.split() == ["interpreted", "interpreted", "True", "True"]
    assert out.stderr.count("compilation unavailable") == 1


def test_import_does_not_load_the_compiler(tmp_path):
    code = ("import sys, velkora, velkora.jit\nfrom velkora.jit import adaptive\n"
            "f = adaptive(lambda x: x)\nf(1)\nprint('numba' in sys.modules)\n")
    assert run(tmp_path, {}, code).stdout.strip() == "False"


@adaptive
def _countdown(n):
    return 0 if n == 0 else 1 + _countdown(n - 1)


def test_recursion_runs_as_deep_as_plain_python_and_counts_outer_calls():
    # Through the dispatcher every level would spend the interpreter's native recursion budget
    # (about 750 levels on 3.12).
    limit = sys.getrecursionlimit()
    sys.setrecursionlimit(max(limit, 10_000))
    try:
        assert _countdown(4000) == 4000
    finally:
        sys.setrecursionlimit(limit)
    assert _countdown.calls == 1
    assert _countdown.__wrapped__.__code__.co_names == ("_countdown",)  # the original is untouched


def _uses_name_as_attribute(x):
    return x._uses_name_as_attribute if x else _uses_name_as_attribute(1)


def _rebinds_itself(n):
    global _rebinds_itself
    return n


def _nested():
    def inner(n):
        return n and inner(n - 1)
    return inner


@pytest.mark.parametrize("func", [_uses_name_as_attribute, _rebinds_itself, _nested(), lambda n: n])
def test_functions_whose_name_means_more_than_themselves_run_as_they_are(func):
    from velkora.jit.recursion import direct_self_calls

    assert direct_self_calls(func) is func


@adaptive(gate=small_gate(), cache=False)
def _fib(n):
    return n if n < 2 else _fib(n - 1) + _fib(n - 2)


@needs_compiler
def test_a_recursive_function_compiles(compiled):
    assert drive(_fib, 18) == [2584] * 12
    assert _fib.adaptive.state is State.COMPILED, _fib.adaptive.reason
    assert _fib(25) == 75025


@adaptive(gate=small_gate(), cache=False, policy=DriverPolicy(min_speedup=1e9))
def _slow_callee(x):
    return x * x + 1.0


@adaptive(gate=small_gate(), cache=False)
def _caller(n):
    s = 0.0
    for i in range(n):
        s += _slow_callee(i * 0.5)
    return s


@needs_compiler
def test_a_caller_compiles_around_a_callee_reverted_only_for_speed(compiled):
    drive(_slow_callee, 2.0)
    assert _slow_callee.adaptive.state is State.REVERTED
    assert drive(_caller, 100) == [sum((i * 0.5) ** 2 + 1.0 for i in range(100))] * 12
    assert _caller.adaptive.state is State.COMPILED, _caller.adaptive.reason


@pytest.mark.skipif(not hasattr(sys, "monitoring"), reason="sampled measurement needs sys.monitoring")
@pytest.mark.parametrize("sampled", [True, False])
def test_the_compiler_loads_on_the_callers_thread_only_under_a_sampled_measurement(sampled):
    from velkora.jit.function_driver import _watched
    from velkora.monitoring import call_trace

    assert not _watched()
    call_trace.start(sampled=sampled)
    try:
        assert _watched() is not sampled   # every call timed: the import would be timed call by call
    finally:
        call_trace.stop()


@adaptive(gate=CompileGate(PolicyConfig(initial_threshold=500, min_threshold=500)), cache=False)
def _late_callee(x):
    return x * 3.0 - 1.0


@adaptive(gate=small_gate(), cache=False)
def _early_caller(n):
    s = 0.0
    for i in range(n):
        s += _late_callee(float(i))
    return s


@needs_compiler
def test_a_caller_tried_before_its_callee_has_a_version_is_tried_again(compiled):
    expected = [_early_caller.__wrapped__(10)] * 12
    assert drive(_early_caller, 10) == expected
    assert _early_caller.adaptive.state is State.INTERPRETED      # waiting, not failed for good
    drive(_late_callee, 2.0, times=600)
    assert _late_callee.adaptive.state in (State.COMPILED, State.REVERTED)
    assert drive(_early_caller, 10, times=40) == [expected[0]] * 40
    assert _early_caller.adaptive.state is State.COMPILED, _early_caller.adaptive.reason
