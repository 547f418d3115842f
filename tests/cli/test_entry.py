"""The command's entry points and how it ends: --version, the console script, usage errors that used to
be tracebacks, Ctrl-C and a reader that stops reading."""

import os
import signal
import subprocess
import sys
import tomllib
from importlib import import_module
from pathlib import Path

import pytest

import velkora
from velkora import cli
from velkora.cli import runner

PYPROJECT = tomllib.loads((Path(__file__).resolve().parents[2] / "pyproject.toml").read_text())


def console_script():
    module, _, name = PYPROJECT["project"]["scripts"]["velkora"].partition(":")
    return getattr(import_module(module), name)


def test_the_console_script_is_the_command(monkeypatch, capsys):
    assert PYPROJECT["project"]["version"] == velkora.__version__
    monkeypatch.setattr(sys, "argv", ["velkora", "--version"])
    with pytest.raises(SystemExit) as exit_:
        console_script()()                     # as the installed wrapper calls it
    assert exit_.value.code == 0
    assert capsys.readouterr().out == f"velkora {velkora.__version__}\n"
    monkeypatch.setattr(sys, "argv", ["velkora", "analyze"])
    with pytest.raises(SystemExit):
        console_script()()
    assert capsys.readouterr().err.startswith("usage: velkora analyze")


def test_python_m_velkora_names_itself_and_has_a_version():
    proc = subprocess.run([sys.executable, "-m", "velkora", "--version"], capture_output=True, text=True,
                          timeout=60)
    assert (proc.returncode, proc.stdout) == (0, f"velkora {velkora.__version__}\n")
    proc = subprocess.run([sys.executable, "-m", "velkora", "frobnicate"], capture_output=True, text=True,
                          timeout=60)
    assert proc.returncode == 2 and proc.stderr.startswith("usage: python -m velkora ")


@pytest.mark.parametrize("value", ["2147483648.0", "99999999999999999999", "0" * 5000 + "1" * 11, "abc", "8.x",
                                   "8.", ".6", "", "-1.0", " 8.6", "８.６", "7"])
def test_a_bad_compute_capability_is_a_usage_error(value, capsys):
    with pytest.raises(SystemExit) as exit_:
        cli.main(["analyze", "--gpu", "--compute-capability", value, "x.py"])
    assert exit_.value.code == 2
    err = capsys.readouterr().err
    assert "argument --compute-capability" in err and "Traceback" not in err


@pytest.mark.parametrize("value", ["8.6", "2147483647.0", "00000000000008.0"])
def test_compute_capabilities_the_scorer_takes(value, tmp_path, capsys):
    (tmp_path / "k.py").write_text("def k(a):\n    return a @ a.T\n")
    assert cli.main(["analyze", "--gpu", "--compute-capability", value, str(tmp_path)]) == 0
    assert " k " in capsys.readouterr().out


def test_ctrl_c_ends_quietly_with_130(tmp_path, monkeypatch, capsys):
    (tmp_path / "a.py").write_text("def a(): pass\n")

    def interrupted(*args):
        raise KeyboardInterrupt

    monkeypatch.setattr(runner, "analyze_source", interrupted)
    assert cli.main(["analyze", "--no-gpu", str(tmp_path)]) == 130
    assert capsys.readouterr() == ("", "")


def test_a_real_sigint_exits_130_without_a_traceback(tmp_path):
    (tmp_path / "a.py").write_text("def a(): pass\n")
    # The analysis delivers SIGINT to its own process: the interpreter's handler raises KeyboardInterrupt
    # inside the run, as a Ctrl-C in the terminal would.
    code = ("import os, signal, sys\nfrom velkora import cli\nfrom velkora.cli import runner\n"
            "runner.analyze_source = lambda *a: os.kill(os.getpid(), signal.SIGINT) or []\n"
            f"sys.exit(cli.main(['analyze', '--no-gpu', {str(tmp_path)!r}]))\n")
    # SIGINT must not be inherited as ignored (background jobs of a shell have it ignored).
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60,
                          preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    assert (proc.returncode, proc.stdout, proc.stderr) == (130, "", "")


@pytest.mark.parametrize("fmt", [[], ["--json"]], ids=["table", "json"])
def test_a_closed_pipe_ends_quietly(tmp_path, fmt):
    # Far more output than a pipe buffers, so the writer is still writing when the reader leaves.
    (tmp_path / "many.py").write_text("".join(f"def f{i}(x):\n    return x\n" for i in range(3000)))
    proc = subprocess.Popen([sys.executable, "-m", "velkora", "analyze", "--no-gpu", *fmt, str(tmp_path)],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    proc.stdout.readline()
    proc.stdout.close()                         # what `| head -1` does
    err = proc.stderr.read().decode()
    assert proc.wait(timeout=60) == 141
    assert err == ""


def close_fd(fd):
    return lambda: os.close(fd)


@pytest.mark.parametrize("args, stdout, preexec, message", [
    (["analyze", "--no-gpu", "{dir}"], "/dev/full", None, "cannot write the output: No space left on device"),
    (["probe"], "/dev/full", None, "cannot write the output: No space left on device"),
    (["analyze", "--no-gpu", "{dir}"], None, close_fd(1), "standard output is closed"),
    (["analyze", "--no-gpu", "-"], None, close_fd(0), "standard input (-) is closed"),
], ids=["full-disk", "probe-full-disk", "stdout-closed", "stdin-closed"])
def test_a_stream_that_fails_is_one_line_and_a_failed_status(tmp_path, args, stdout, preexec, message):
    (tmp_path / "a.py").write_text("def a(xs):\n    return [x + 1 for x in xs]\n")
    with open(stdout or os.devnull, "w") as out:
        proc = subprocess.run([sys.executable, "-m", "velkora", *(a.format(dir=tmp_path) for a in args)],
                              stdout=out, stderr=subprocess.PIPE, text=True, timeout=60, preexec_fn=preexec)
    assert proc.returncode not in (0, None) and "Traceback" not in proc.stderr
    assert proc.stderr.splitlines()[-1].endswith(f"error: {message}")
    assert len([line for line in proc.stderr.splitlines() if "error" in line]) == 1


@pytest.mark.parametrize("fmt", ["--format=text", "--csv", "--markdown", "--wide"])
def test_a_name_the_output_encoding_cannot_show_is_escaped(tmp_path, fmt):
    (tmp_path / "数据.py").write_text("def good(xs):\n    return sum(x * x for x in xs)\n")
    proc = subprocess.run([sys.executable, "-m", "velkora", "analyze", "--no-gpu", fmt, str(tmp_path)],
                          capture_output=True, timeout=60, env={**os.environ, "PYTHONIOENCODING": "latin-1"})
    assert proc.returncode == 0 and b"Traceback" not in proc.stderr
    assert b"\\u6570\\u636e.py" in proc.stdout and b"good" in proc.stdout
