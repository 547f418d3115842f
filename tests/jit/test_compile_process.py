"""The compile process end to end: real interpreters, the real compiler, its real disk cache."""

import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest

import velkora

SRC = os.path.dirname(os.path.dirname(velkora.__file__))
pytestmark = [
    pytest.mark.skipif(os.environ.get("VELKORA_SANITIZED") == "1",
                       reason="the compiler's native code is not usable under the sanitizer"),
    pytest.mark.skipif(not hasattr(os, "fork"), reason="the test programs are stopped with signals"),
]

PROGRAM = textwrap.dedent("""
    import os, sys, time
    from velkora.jit import adaptive
    from velkora.jit.compile_gate import CompileGate, PolicyConfig
    from velkora.jit.compile_process import PROCESS

    gate = CompileGate(PolicyConfig(initial_threshold=10, min_threshold=5))

    @adaptive(gate=gate)
    def kernel(n):
        s = 0
        for i in range(n):
            s += i % 7
        return s

    @adaptive(gate=gate)
    def factorial(n):
        r = 1
        for i in range(2, n + 1):
            r *= i
        return r

    MODE = sys.argv[1]
    if MODE == "revert":
        assert [factorial(25) for _ in range(12)] == [15511210043330985984000000] * 12
        factorial.adaptive.wait(60)
        print(factorial.adaptive.state.value, "numba" in sys.modules, PROCESS.pid is not None)
    elif MODE in ("compile", "long"):
        n = 1000 if MODE == "compile" else 200_000  # calls over a millisecond ship before they run
        assert [kernel(n) for _ in range(12)] == [kernel.__wrapped__(n)] * 12
        kernel.adaptive.wait(60)
        jitted = kernel.adaptive._jitted
        sig = kernel.adaptive.signatures[0]
        print(kernel.adaptive.state.value, jitted.stats.cache_hits[sig], PROCESS.pid is not None)
    elif MODE in ("crash", "unstartable"):
        if MODE == "unstartable":
            sys.executable = os.path.join(os.path.dirname(sys.executable), "no-such-python")
        [kernel(1000) for _ in range(12)]
        if MODE == "crash":
            os.kill(PROCESS.pid, signal.SIGKILL)  # before it answers: compiled here instead
        kernel.adaptive.wait(60)
        print(kernel.adaptive.state.value, kernel(1000) == kernel.__wrapped__(1000))
    elif MODE in ("short", "longer"):  # ends before an answer can come, or goes further
        [kernel(1000) for _ in range(12 if MODE == "short" else 40)]
        if MODE == "longer":
            kernel.adaptive.wait(60)
        print(kernel.adaptive.state.value, "numba" in sys.modules, PROCESS.pid is not None)
    else:  # "exit", "kill": report the process, then exit or wait to be killed mid-compilation
        [kernel(1000) for _ in range(12)]
        print(PROCESS.pid, PROCESS._scratch, flush=True)
        if MODE == "kill":
            time.sleep(60)
""").replace("import os, sys, time", "import os, signal, sys, time")


def start(tmp_path, mode, env=None):
    script = tmp_path / "prog.py"
    script.write_text(PROGRAM)
    return subprocess.Popen([sys.executable, str(script), mode], stdout=subprocess.PIPE, text=True,
                            env={**os.environ, "PYTHONPATH": SRC, "VELKORA_CACHE_DIR": str(tmp_path / "c"),
                                 **(env or {})})


def run(tmp_path, mode, env=None):
    proc = start(tmp_path, mode, env)
    out, _ = proc.communicate(timeout=120)
    assert proc.returncode == 0
    return out.split()


def gone(pid, timeout=15.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            os.kill(pid, 0)
        except ProcessLookupError:
            return True
        time.sleep(0.05)
    return False


@pytest.fixture(autouse=True)
def numba_present():
    pytest.importorskip("numba")


@pytest.mark.parametrize("mode, env", [("compile", {}), ("compile", {"VELKORA_JIT_CACHE": "0"}),
                                       ("long", {"VELKORA_JIT_CACHE": "0"})])
def test_compiled_there_and_loaded_here_from_the_compilers_cache(tmp_path, mode, env):
    # One hit: the caller's own dispatcher found the entry the process wrote (same key), so it
    # compiled nothing itself.
    assert run(tmp_path, mode, env) == ["compiled", "1", "True"]


def test_a_version_reverted_there_costs_the_caller_no_compiler(tmp_path):
    assert run(tmp_path, "revert", {"VELKORA_JIT_CACHE": "0"}) == ["reverted", "False", "True"]


@pytest.mark.parametrize("mode", ["crash", "unstartable"])
def test_a_process_that_dies_or_never_starts_leaves_the_compilation_to_the_caller(tmp_path, mode):
    assert run(tmp_path, mode, {"VELKORA_JIT_CACHE": "0"}) == ["compiled", "True"]


@pytest.mark.parametrize("mode", ["exit", "kill"])
def test_the_process_and_its_scratch_cache_go_with_the_program(tmp_path, mode):
    proc = start(tmp_path, mode, {"VELKORA_JIT_CACHE": "0"})
    pid, scratch = proc.stdout.readline().split()
    if mode == "kill":
        proc.send_signal(signal.SIGKILL)
    proc.wait(60)
    assert gone(int(pid)), "the compile process outlived the program"
    assert not os.path.exists(scratch)


def test_no_process_where_it_is_turned_off(tmp_path):
    # Compiled on the driver's thread, as without a process.
    assert run(tmp_path, "compile", {"VELKORA_JIT_PROCESS": "0"})[::2] == ["compiled", "False"]


def test_a_run_that_ends_before_the_answer_makes_the_next_one_wait_as_long(tmp_path):
    # Asked again at the same point, the second run would only pay for the process again.
    assert run(tmp_path, "short") == ["compiling", "False", "True"]
    assert run(tmp_path, "short") == ["interpreted", "False", "False"]
    assert run(tmp_path, "longer") == ["compiled", "True", "True"]
