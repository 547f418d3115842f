"""`velkora run`: the program behaves as under `python`, and the report says what was measured."""

import json
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import velkora

# Where the imported package lies (src/ in the edit loop, site-packages when installed), for subprocesses.
PACKAGE_DIR = str(Path(velkora.__file__).resolve().parent.parent)


def velkora_run(tmp_path, source, *args, stdin=None, options=()):
    script = tmp_path / "prog.py"
    script.write_text(textwrap.dedent(source))
    env = {**os.environ, "PYTHONPATH": PACKAGE_DIR, "VELKORA_JIT_CACHE": "0"}
    return subprocess.run([sys.executable, "-m", "velkora", "run", *options, str(script), *args],
                          input=stdin, capture_output=True, text=True, timeout=60, cwd=tmp_path, env=env)


PROGRAM = """
    import sys, os, threading
    def fib(n): return n if n < 2 else fib(n - 1) + fib(n - 2)
    def main():
        data = sys.stdin.read()
        t = threading.Thread(target=fib, args=(12,)); t.start(); t.join()
        print(sys.argv[1:], __name__, os.path.basename(sys.path[0]), data.strip(), fib(10))
    main()
"""


def test_the_program_sees_what_python_gives_it_and_the_report_goes_to_stderr(tmp_path):
    proc = velkora_run(tmp_path, PROGRAM, "a", "--b", stdin="in", options=["--json"])
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == f"['a', '--b'] __main__ {tmp_path.name} in 55\n"
    doc = json.loads(proc.stderr)
    fib = next(r for r in doc["functions"] if r["function"] == "fib")
    assert fib["calls"] == 177 + 465           # fib(10) here, fib(12) in the thread: exact counts
    assert doc["threads"] >= 2 and doc["status"] == 0


@pytest.mark.parametrize("body, status, ended, stderr_has", [
    ("import sys; sys.exit(7)", 7, "sys.exit", ""),
    ("import sys; sys.exit('bad thing')", 1, "sys.exit", "bad thing"),
    ("def f(): raise ValueError('boom')\nf()", 1, "exception", "ValueError: boom"),
    ("raise KeyboardInterrupt", 130, "interrupted", "KeyboardInterrupt"),
    ("import os, sys; print('x', flush=True); os._exit(5)", 5, "os._exit", ""),
])
def test_exit_status_and_ending_are_the_programs(tmp_path, body, status, ended, stderr_has):
    out = tmp_path / "report.json"
    proc = velkora_run(tmp_path, body, options=["--json", "--output", str(out)])
    assert proc.returncode == status
    assert stderr_has in proc.stderr
    assert "velkora" not in proc.stderr.split("Traceback")[0]  # the report went to the file
    doc = json.loads(out.read_text())
    assert (doc["status"], doc["ended"]) == (status, ended)


def test_traceback_shows_the_program_not_the_launcher(tmp_path):
    proc = velkora_run(tmp_path, "def f():\n    1 / 0\nf()\n")
    assert proc.returncode == 1
    tb = proc.stderr.split("velkora run:")[0]
    assert "launch.py" not in tb and "prog.py" in tb and "ZeroDivisionError" in tb


@pytest.mark.parametrize("source", [None, "def f(:\n"])
def test_missing_or_broken_script_is_a_one_line_usage_error(tmp_path, source):
    if source is None:
        proc = subprocess.run([sys.executable, "-m", "velkora", "run", str(tmp_path / "nope.py")],
                              capture_output=True, text=True, timeout=60,
                              env={**os.environ, "PYTHONPATH": PACKAGE_DIR})
    else:
        proc = velkora_run(tmp_path, source)
    assert proc.returncode == 2
    assert len(proc.stderr.strip().splitlines()) == 1 and "error" in proc.stderr


def test_fork_child_does_not_report_or_hang(tmp_path):
    proc = velkora_run(tmp_path, """
        import os
        pid = os.fork()
        if pid == 0:
            print("child")
        else:
            os.waitpid(pid, 0)
            print("parent")
    """)
    assert proc.returncode == 0
    assert sorted(proc.stdout.split()) == ["child", "parent"]
    assert proc.stderr.count("velkora run:") == 1


def test_module_form_and_markdown(tmp_path):
    (tmp_path / "pkgx").mkdir()
    (tmp_path / "pkgx" / "__init__.py").write_text("")
    (tmp_path / "pkgx" / "__main__.py").write_text("import sys\ndef f(): return 3\nprint(f(), sys.argv[1:])\n")
    env = {**os.environ, "PYTHONPATH": PACKAGE_DIR}
    page = tmp_path / "r.html"
    proc = subprocess.run([sys.executable, "-m", "velkora", "run", "--markdown", "--html", str(page),
                           "-m", "pkgx", "<z>"], capture_output=True, text=True, timeout=60, cwd=tmp_path, env=env)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == "3 ['<z>']\n"
    assert "| share |" in proc.stderr and "`f`" in proc.stderr
    assert "<code>f</code>" in page.read_text()


def test_accelerate_wraps_own_functions_as_they_load_and_says_what_became_of_each(tmp_path):
    pytest.importorskip("numba")
    (tmp_path / "helper.py").write_text(textwrap.dedent("""
        def scale(x):
            total = 0.0
            for i in range(10):
                total += x * i
            return total
        def numbers():
            yield 1
    """))
    proc = velkora_run(tmp_path, """
        import helper
        def main():
            print(helper.scale(2.0), list(helper.numbers()), type(helper.scale).__name__)
        main()
    """, options=["--accelerate", "--json"])
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == "90.0 [1] Dispatcher\n"        # the program's files are not changed, only loaded wrapped
    rows = {r["function"]: r for r in json.loads(proc.stderr)["functions"]}
    assert rows["numbers"]["accelerate"] == "left alone: a generator or coroutine"
    assert rows["main"]["accelerate"].startswith("interpreted")


def test_compare_runs_plain_then_accelerated_and_reports_both_wall_times(tmp_path):
    proc = velkora_run(tmp_path, "print('hi')\n", options=["--compare"])
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == "hi\nhi\n"
    assert "plain " in proc.stderr and "accelerated " in proc.stderr and "same output" in proc.stderr


def test_the_bundled_sample_is_the_program_wherever_velkora_is_installed(tmp_path):
    # Installed, the sample lies in site-packages, outside any program's root: it is still the program
    # that --accelerate (and the main job) puts under the driver, and velkora's other modules are not.
    from velkora.monitoring.accelerate import _OwnFinder

    finder = _OwnFinder(str(tmp_path))
    assert finder.find_spec("velkora.sample_program", list(velkora.__path__)) is not None
    assert finder.find_spec("velkora.cli.run", [str(Path(velkora.__file__).parent / "cli")]) is None


@pytest.mark.parametrize("options, timing", [([], "sampled" if hasattr(sys, "monitoring") else "exact"),
                                             (["--exact-times"], "exact")])
def test_times_are_sampled_unless_exact_times_are_asked_for(tmp_path, options, timing):
    proc = velkora_run(tmp_path, PROGRAM, stdin="", options=["--json", "--no-dry-run", *options])
    assert proc.returncode == 0, proc.stderr
    doc = json.loads(proc.stderr)
    fib = next(f for f in doc["functions"] if f["function"] == "fib")
    assert doc["timing"] == timing and fib["calls"] == 177 + 465
    assert (fib["std_s"] is None) == (timing == "sampled")


@pytest.mark.parametrize("program_sets", [None, 0.002])
def test_the_switch_interval_lowered_for_sampling_is_the_programs_again_after(program_sets):
    from velkora.cli.run import _SwitchInterval

    before = sys.getswitchinterval()
    switch = _SwitchInterval(before / 10)
    try:
        switch.lower()
        assert sys.getswitchinterval() < before
        if program_sets:
            sys.setswitchinterval(program_sets)
        switch.restore()
        assert sys.getswitchinterval() == pytest.approx(program_sets or before)
    finally:
        sys.setswitchinterval(before)
