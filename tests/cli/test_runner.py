"""`velkora analyze --jobs N`: the same output as one process, in the same order; a worker that dies costs
one file; Ctrl-C and SIGTERM leave no process behind; the progress line only on a terminal."""

import io
import os
import pty
import signal
import subprocess
import sys
import textwrap
import time

import pytest

from velkora import cli
from velkora.analysis.sources import WalkOptions, collect
from velkora.cli import runner

BODIES = [
    "    total = 0\n    for x in xs:\n        total += x * x\n    return total\n",
    "    import numpy as np\n    return np.dot(np.asarray(xs), np.asarray(xs).T)\n",
    "    out = {}\n    for x in xs:\n        out.setdefault(x, []).append(x)\n    return out\n",
    "    return [f(x) for x in xs]\n",
]


def make_tree(root, files=48):
    # Enough source (about 400 KB) that --jobs starts worker processes.
    for i in range(files):
        sub = root / f"pkg{i % 5}"
        sub.mkdir(exist_ok=True)
        text = "".join(f"def f{i}_{j}(xs, f=None):\n{BODIES[(i + j) % 4]}\n\n" for j in range(70))
        (sub / f"m{i:02d}.py").write_text(text)
    for k in range(5):
        (root / f"pkg{k}" / f"m{k}_broken.py").write_text("def oops(:\n" if k % 2 else "x = (" * 300 + "\n")


@pytest.fixture
def counted_pools(monkeypatch):
    started = []

    class Workers(runner._Workers):
        def __init__(self, jobs):
            super().__init__(jobs)
            started.append(jobs)

    monkeypatch.setattr(runner, "_Workers", Workers)
    return started


@pytest.mark.parametrize("fmt", [[], ["--json"], ["--csv"], ["--sort", "score", "--markdown"]],
                         ids=["text", "json", "csv", "markdown"])
def test_jobs_change_nothing_in_the_output(tmp_path, capsys, counted_pools, fmt):
    make_tree(tmp_path)
    outputs = []
    for jobs in ("1", "2", "3"):
        assert cli.main(["analyze", "--no-gpu", "--no-config", "--jobs", jobs, *fmt, str(tmp_path)]) == 0
        outputs.append(capsys.readouterr())
    assert outputs[0] == outputs[1] == outputs[2]
    assert outputs[0].err.count(": error: ") == 5          # reported in walk order, whatever the jobs
    assert counted_pools == [2, 3]


def test_results_come_in_the_order_of_the_inputs(tmp_path, counted_pools):
    make_tree(tmp_path)
    items = collect([str(tmp_path)], WalkOptions(), 1 << 20)
    analysis = runner.Analysis(False, None)

    def results(jobs):
        return [(item.display, error, [r.function for r in found or ()])
                for item, found, error in runner.analyze_items(items, analysis, jobs)]

    assert results(2) == results(1)
    assert [display for display, _, _ in results(1)] == [item.display for item in items]
    assert counted_pools == [2]


@pytest.mark.parametrize("fail_at", [0, 2], ids=["no-pool", "fork-fails-later"])
def test_without_processes_the_work_is_done_here(tmp_path, monkeypatch, fail_at):
    make_tree(tmp_path)
    items = collect([str(tmp_path)], WalkOptions(), 1 << 20)
    analysis = runner.Analysis(False, None)
    calls = []

    class Workers(runner._Workers):
        def __init__(self, jobs):
            if fail_at == 0:
                raise OSError(38, "Function not implemented")
            super().__init__(jobs)

        def submit(self, chunk, analysis):
            calls.append(len(chunk))
            if len(calls) > fail_at:
                raise OSError(11, "Resource temporarily unavailable")
            return super().submit(chunk, analysis)

    expected = [(i.display, e, found) for i, found, e in runner.analyze_items(items, analysis, 1)]
    monkeypatch.setattr(runner, "_Workers", Workers)
    assert [(i.display, e, found) for i, found, e in runner.analyze_items(items, analysis, 2)] == expected


@pytest.mark.parametrize("files, expected", [(48, 8), (5, 5)])
def test_jobs_are_clamped_to_the_cores_and_the_files(tmp_path, monkeypatch, files, expected):
    make_tree(tmp_path, files)
    items = [i for i in collect([str(tmp_path)], WalkOptions(), 1 << 20) if "broken" not in i.path]
    asked = []

    class Workers(runner._Workers):
        def __init__(self, jobs):
            asked.append(jobs)
            raise OSError(38, "Function not implemented")           # then the work is done here

    monkeypatch.setattr(runner, "_Workers", Workers)
    monkeypatch.setattr(runner, "default_jobs", lambda: 2)
    monkeypatch.setattr(runner, "POOL_MIN_BYTES", 0)
    assert len(list(runner.analyze_items(items, runner.Analysis(False, None), 999_999_999))) == len(items)
    assert asked == [expected]


def test_no_processes_for_little_work(tmp_path, capsys, counted_pools):
    (tmp_path / "a.py").write_text("def a():\n    return 1\n")
    (tmp_path / "b.py").write_text("def b():\n    return 2\n")
    assert cli.main(["analyze", "--no-gpu", "--jobs", "4", str(tmp_path)]) == 0
    assert counted_pools == []


def test_the_bare_command_starts_no_process_machinery(run_python):
    proc = run_python("import sys, contextlib, io\nfrom velkora import cli\n"
                      "with contextlib.redirect_stdout(io.StringIO()):\n    assert cli.main([]) == 0\n"
                      "print(sorted(m for m in ('multiprocessing', 'concurrent.futures') if m in sys.modules))")
    assert proc.stdout.strip() == "[]"


def script(tree, body, *args):
    """A run with the analysis patched (workers are forked, so they see the patch)."""
    return ("import os, sys, time\nfrom velkora import cli\nfrom velkora.cli import runner\n"
            "real = runner.analyze_source\nrunner.POOL_MIN_BYTES = 0\n"
            f"def patched(text, name, *rest):\n{textwrap.indent(body, '    ')}\n"
            "    return real(text, name, *rest)\nrunner.analyze_source = patched\n"
            f"sys.exit(cli.main(['analyze', '--no-gpu', '--no-config', '--jobs', '2', *{list(args)!r}, "
            f"{str(tree)!r}]))\n")


def test_a_worker_that_dies_costs_only_its_file(tmp_path):
    for i in range(12):
        (tmp_path / f"m{i:02d}.py").write_text(f"def f{i}():\n    return {i}\n")
    (tmp_path / "m05boom.py").write_text("def boom():\n    pass\n")
    code = script(tmp_path, "if 'boom' in name:\n    os._exit(3)", "--csv")
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0
    names = [line.split(",")[4] for line in proc.stdout.splitlines()[1:]]
    assert names == [f"f{i}" for i in range(12)]
    assert proc.stderr == f"{tmp_path}/m05boom.py: error: {runner.DIED}\n"


@pytest.mark.parametrize("how, status", [("group-sigint", 130), ("sigterm", -signal.SIGTERM)])
def test_stopping_a_parallel_run_leaves_no_process_behind(tmp_path, how, status):
    for i in range(8):
        (tmp_path / f"m{i}.py").write_text(f"def f{i}():\n    return {i}\n")
    started = tmp_path / "started"
    code = script(tmp_path, f"open({str(started)!r}, 'a').close()\ntime.sleep(30)")
    proc = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            start_new_session=True,
                            preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    try:
        for _ in range(600):
            if started.exists():
                break
            time.sleep(0.05)
        assert started.exists()
        if how == "group-sigint":
            os.killpg(proc.pid, signal.SIGINT)             # what Ctrl-C in a terminal does
        else:
            proc.send_signal(signal.SIGTERM)
        out, err = proc.communicate(timeout=60)            # the workers held the pipes: they are gone
        assert (proc.returncode, out, err) == (status, b"", b"")
    finally:
        try:
            os.killpg(proc.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass


class Clock:
    def __init__(self):
        self.now = 0.0

    def __call__(self):
        return self.now


class Terminal(io.StringIO):
    def isatty(self):
        return True


def test_progress_appears_after_a_second_and_is_erased():
    clock, stream = Clock(), Terminal()
    progress = runner.Progress(stream, enabled=True, clock=clock)
    progress.begin(10)
    progress.advance()
    assert stream.getvalue() == ""                          # a quick run shows nothing
    clock.now = 1.5
    progress.advance()
    assert stream.getvalue() == "\rvelkora: 2/10 files, 1.5 s"
    progress.message("x.py: error: oops")                  # an error line stays; the progress line is redrawn
    clock.now = 1.55
    progress.advance()
    assert stream.getvalue().endswith("\r" + " " * 26 + "\rx.py: error: oops\n\rvelkora: 3/10 files, 1.6 s")
    progress.clear()
    assert stream.getvalue().endswith("\r" + " " * 26 + "\r")
    quiet = Terminal()
    silent = runner.Progress(quiet, enabled=False, clock=clock)
    silent.begin(3)
    clock.now = 5.0
    silent.advance()
    assert quiet.getvalue() == ""


@pytest.mark.parametrize("args, terminal, shown", [([], True, True), (["--quiet"], True, False),
                                                   ([], False, False)], ids=["terminal", "quiet", "pipe"])
def test_progress_only_on_a_terminal_and_without_quiet(tmp_path, args, terminal, shown):
    for i in range(6):
        (tmp_path / f"m{i}.py").write_text(f"def f{i}():\n    return {i}\n")
    code = script(tmp_path, "time.sleep(0.25)", *args)      # about 1.5 s in all, over the one-second mark
    master, slave = pty.openpty() if terminal else os.pipe()
    try:
        proc = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.DEVNULL, stderr=slave)
        os.close(slave)
        err = b""
        while chunk := _read(master):
            err += chunk
        assert proc.wait(timeout=60) == 0
    finally:
        os.close(master)
    assert (b"velkora: " in err) is shown and (b"/6 files" in err) is shown
    if shown:
        assert err.endswith(b"\r")                          # erased at the end


def _read(fd):
    try:
        return os.read(fd, 4096)
    except OSError:                                         # a pty's reader sees EIO once the writer is gone
        return b""
