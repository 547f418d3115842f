"""`velkora run [options] SCRIPT [ARGS...]` and `velkora run [options] -m MODULE [ARGS...]`: the program runs
as under `python`, its calls are measured, and a report says where the time went and what to do about it.

Exit status: the program's own; 2 for a usage error (the program is missing or does not compile).
"""

from __future__ import annotations

import argparse
import logging
import os
import sys
from typing import IO, Any

from velkora.monitoring.launch import Ending, Run, Target, UsageError, module_target, script_target

logger = logging.getLogger(__name__)

UNFINISHED = ("velkora run: the program ended before its report could be written "
              "(killed by a signal, or the interpreter crashed)\n")


def parser(prog: str = "velkora run") -> argparse.ArgumentParser:
    """The options of `velkora run` (the program and its arguments are split off before parsing)."""
    ap = argparse.ArgumentParser(
        prog=prog, usage=f"{prog} [options] SCRIPT [ARGS...] | {prog} [options] -m MODULE [ARGS...]",
        description="Run a Python program as `python` would, measure every call of its own functions "
                    "(exact counts; total and own time from stack samples, or timed at every call "
                    "with --exact-times; library time per package) and report the hot functions with "
                    "what to do about them. The report goes to standard error.")
    fmt = ap.add_mutually_exclusive_group()
    fmt.add_argument("--json", dest="format", action="store_const", const="json", help="the report as JSON")
    fmt.add_argument("--markdown", dest="format", action="store_const", const="markdown",
                     help="the report as Markdown")
    ap.add_argument("--html", metavar="FILE", help="also write the report as an HTML page")
    ap.add_argument("-o", "--output", metavar="FILE", help="write the report to FILE instead of standard error (- for standard output)")
    ap.add_argument("--top", metavar="N", type=int, default=15, help="functions shown in the table (default 15)")
    ap.add_argument("--accelerate", action="store_true",
                    help="put the program's own functions under the compile driver (velkora.jit.adaptive) "
                         "as their modules load, and report what became of each")
    ap.add_argument("--compare", action="store_true",
                    help="run the program twice, plain and accelerated, and report both wall times; "
                         "only for programs that are safe to run twice (its output appears twice)")
    ap.add_argument("--no-dry-run", action="store_true",
                    help="do not try the compiler on the hot functions after the run (it compiles them on "
                         "their first call's argument types, running nothing again; a second or so each)")
    ap.add_argument("--exact-times", action="store_true",
                    help="time every call (its spread too) instead of sampling the stacks; costs about "
                         "twice as much on programs of many small calls (on Python 3.11 every call is "
                         "timed anyway)")
    ap.add_argument("-m", dest="module", metavar="MODULE", help="run a module as `python -m` does")
    return ap


# Options that take a value, for splitting the command line at the program.
_VALUED = {"--html", "-o", "--output", "--top"}


def split_argv(argv: list[str]) -> tuple[list[str], list[str]]:
    """(velkora's options, [program, args...]): the program starts at the first word that is not an
    option, or right after -m MODULE / `--`."""
    i = 0
    while i < len(argv):
        a = argv[i]
        if a == "--":
            return argv[:i], argv[i + 1:]
        if a == "-m":
            return argv[:i + 2], argv[i + 2:]
        if a.startswith("-m") and len(a) > 2 and not a.startswith("--"):
            return [*argv[:i], "-m", a[2:]], argv[i + 1:]
        if not a.startswith("-") or a == "-":
            return argv[:i], argv[i:]
        i += 2 if a in _VALUED else 1
    return argv, []


def host_summary() -> dict[str, Any]:
    """Cores this process may use, the GPU, the interpreter; a few milliseconds."""
    try:
        cores = len(os.sched_getaffinity(0))
    except (AttributeError, OSError):
        cores = os.cpu_count() or 1
    gpu = False
    try:
        from velkora.native import host_probe

        caps = host_probe.detect_capabilities()
        gpu = bool(caps.get("has_gpu"))
        cores = min(cores, int(caps.get("physical_cores") or cores)) or cores
    except Exception:  # the probe is optional here: the report stands without it
        pass
    return {"cores": cores, "gpu": gpu, "python": sys.version.split()[0]}


class Reporter:
    """Renders and writes the report once, wherever it was asked to go."""

    def __init__(self, fmt: str | None, output: str | None, html_path: str | None) -> None:
        self.fmt, self.output, self.html_path = fmt, output, html_path
        self.done = False
        if output and output != "-":
            # Replaced by the report; what a reader finds when the process died first.
            with open(output, "w", encoding="utf-8") as f:
                f.write(UNFINISHED)

    def write(self, doc: dict[str, Any], compare: dict[str, Any] | None = None) -> None:
        from velkora.cli import run_report

        if self.done:
            return
        self.done = True
        render = {"json": run_report.render_json, "markdown": run_report.render_markdown}.get(
            self.fmt or "", run_report.render_text)
        text = render(doc, compare)
        if self.html_path:
            _write_file(self.html_path, run_report.render_html(doc, compare))
        if self.output == "-":
            _emit(sys.stdout, text)
        elif self.output:
            _write_file(self.output, text)
        else:
            _emit(sys.stderr, text)


def _write_file(path: str, text: str) -> None:
    tmp = f"{path}.{os.getpid()}.tmp"
    with open(tmp, "w", encoding="utf-8") as f:
        f.write(text)
    os.replace(tmp, path)


def _emit(stream: IO[str], text: str) -> None:
    try:
        stream.flush()
        stream.write(text)
        stream.flush()
    except (OSError, ValueError):
        pass


def measure(target: Target, accelerate: bool, on_end: Any, dry_run: bool = True,
            exact_times: bool = False) -> tuple[Ending, Any, Any]:
    """Runs `target` measured in this process; (ending, session, first calls). `on_end(ending,
    session)` is what a hard exit (os._exit) reports through before the process goes. With
    `dry_run` (and no `accelerate`), the first call of each own function is kept for the compiler's
    dry run. Calls are counted exactly; times come from sampling every thread's stack each
    millisecond or so, or from timing every call with `exact_times` (about twice the cost on small
    calls)."""
    from velkora.monitoring import call_trace, launch, profile
    from velkora.monitoring.profile import Classifier, Session, module_root, project_root, sort_rows

    if target.kind == "script":
        root = project_root(os.path.dirname(target.path))
    else:
        root = module_root(target.path, target.name)
    # velkora's own code is the measuring machinery, unless it is the program itself (the sample).
    package_dir = os.path.dirname(os.path.dirname(os.path.abspath(__file__))) + os.sep
    # (The accelerator's file by name: importing it costs milliseconds a plain measurement need not pay.)
    machinery = frozenset({launch.__file__, os.path.join(os.path.dirname(profile.__file__), "accelerate.py"),
                           profile.__file__, __file__})

    def ours(filename: str) -> bool:
        return filename in machinery or (filename.startswith(package_dir) and filename != target.path)
    accel = None
    first_calls = None
    code = None
    if accelerate or dry_run:
        from velkora.monitoring.accelerate import CAPTURE, Accelerator, FirstCalls, compile_accelerated
    if accelerate:
        accel = Accelerator(root)
        accel.install()
        if target.kind == "script":
            code = compile_accelerated(target.source, target.path)
    elif dry_run:
        first_calls = FirstCalls()
        first_calls.install(root)
        if target.kind == "script":
            code = compile_accelerated(target.source, target.path, CAPTURE)

    def session(ending: Ending) -> Session:
        own, libs = sort_rows(call_trace.snapshot(), Classifier(root), skip_file=ours)
        return Session(program=target.name, argv=list(target.args), root=root, wall=ending.wall,
                       status=ending.status, mechanism=mechanism(), timing=call_trace.timing(),
                       threads=call_trace.threads(),
                       functions=own, packages=libs, ended=ending.kind, accelerated=accelerate,
                       outcomes=accel.outcomes() if accel is not None else {})


    def mechanism() -> str:
        if call_trace.timing() == "sampled":
            return f"{call_trace.mechanism()}, times from {call_trace.samples()} stack samples"
        return call_trace.mechanism()

    def start() -> None:
        # Sampled, the calls of library code (and of velkora's) are counted at its first call only:
        # its time is still sampled, and its entries cost nothing after that.
        own = Classifier(root)
        call_trace.start(sampled=not exact_times,
                         counted=lambda code: own.package(code.co_filename) is None and not ours(code.co_filename))
        if accel is not None and accel.driver.available:
            accel.driver.leave_unmeasured()
        if call_trace.timing() == "sampled":
            switch.lower()

    def stop() -> None:
        call_trace.stop()
        switch.restore()

    switch = _SwitchInterval(SAMPLE_SWITCH_S)
    run = Run(target, start, stop,
              on_hard_exit=lambda ending: on_end(ending, session(ending)), code=code)
    try:
        ending = run.execute()
    finally:
        if accel is not None:
            accel.remove()
        if first_calls is not None:
            first_calls.remove()
    return ending, session(ending), first_calls


# The sampler takes the interpreter lock for each stack it samples, and a busy thread lets it go only
# after the switch interval (5 ms by default): about 170 samples a second where 1000 are asked for.
# Half a millisecond while measuring gives three to four times as many for about 1% more run time.
SAMPLE_SWITCH_S = 0.0005


class _SwitchInterval:
    """Lowers the interpreter's switch interval for the measurement and puts the program's back,
    unless the program set one of its own meanwhile."""

    def __init__(self, seconds: float) -> None:
        self.seconds = seconds
        self.saved: float | None = None
        self.set: float | None = None

    def lower(self) -> None:
        saved = self.saved = sys.getswitchinterval()
        if self.seconds < saved:
            sys.setswitchinterval(self.seconds)
            self.set = sys.getswitchinterval()

    def restore(self) -> None:
        if self.set is not None and self.saved is not None and sys.getswitchinterval() == self.set:
            sys.setswitchinterval(self.saved)
        self.set = None


def _pass_on(data: bytes) -> None:
    """The program's output bytes to our standard output, whatever stands in for it."""
    sys.stdout.flush()
    buffer = getattr(sys.stdout, "buffer", None)
    if buffer is not None:
        buffer.write(data)
        buffer.flush()
    else:
        sys.stdout.write(data.decode(sys.stdout.encoding or "utf-8", "replace"))
    sys.stdout.flush()


def _compare(opts: argparse.Namespace, program: list[str], prog_module: str | None) -> tuple[dict[str, Any], dict[str, Any]]:
    """Runs the program twice in fresh interpreters, plain then accelerated; (accelerated report
    document, comparison)."""
    import json
    import subprocess
    import tempfile

    docs = []
    outputs = []
    with tempfile.TemporaryDirectory(prefix="velkora-run-") as tmp:
        for i, accel in enumerate((False, True)):
            out = os.path.join(tmp, f"{i}.json")
            # The accelerated run tries the compiler for real: the plain run needs no dry run.
            cmd = [sys.executable, "-m", "velkora", "run", "--json", "--output", out, "--top", str(opts.top),
                   "--no-dry-run"]
            if accel:
                cmd.append("--accelerate")
            cmd += (["-m", prog_module] if prog_module else ["--"]) + program
            proc = subprocess.run(cmd, stdout=subprocess.PIPE)
            outputs.append(proc.stdout)
            _pass_on(proc.stdout)
            try:
                with open(out, encoding="utf-8") as f:
                    docs.append(json.load(f))
            except (OSError, ValueError):
                raise UsageError(f"the {'accelerated' if accel else 'plain'} run left no report "
                                 f"(status {proc.returncode})") from None
    from velkora.cli import run_report

    plain, fast = docs
    # The table is the plain run's measurement, with what the accelerated run made of each function.
    done = {(r["file"], r["function"]): r for r in fast["functions"]}
    outcomes = fast.get("outcomes") or {}
    for r in plain["functions"]:
        f = outcomes.get(f'{r["file"]}:{r["function"]}') or done.get((r["file"], r["function"]), {})
        r["accelerate"] = f.get("accelerate")
        if f.get("compiler") and not r.get("compiler"):
            run_report.readvise(r, plain.get("host") or {}, f["compiler"])
    plain["accelerated"] = True
    compare = {"plain_wall_s": plain["wall_s"], "accelerated_wall_s": fast["wall_s"],
               "plain_status": plain["status"], "accelerated_status": fast["status"],
               "same_output": outputs[0] == outputs[1]}
    plain.pop("compare", None)
    return plain, compare


def main(argv: list[str], prog: str = "velkora run") -> int:
    """The `velkora run` command; returns the exit status (the program's)."""
    own_args, program = split_argv(argv)
    ap = parser(prog)
    opts = ap.parse_args(own_args)
    if opts.module is None and not program:
        ap.error("a SCRIPT or -m MODULE to run is required")
    try:
        if opts.module is not None:
            target = module_target(opts.module, program)
        else:
            target = script_target(program[0], program[1:])
    except UsageError as exc:
        print(f"{prog}: error: {exc}", file=sys.stderr)
        return 2
    from velkora.cli import run_report

    host = host_summary()
    try:
        reporter = Reporter(opts.format, opts.output, opts.html)
    except OSError as exc:
        print(f"{prog}: error: cannot write the report to {opts.output}: {exc.strerror or exc}", file=sys.stderr)
        return 2
    if opts.compare:
        try:
            doc, compare = _compare(opts, program, opts.module)
        except UsageError as exc:
            print(f"{prog}: error: {exc}", file=sys.stderr)
            return 1
        reporter.write(doc, compare)
        return int(compare["accelerated_status"])

    def on_end(ending: Ending, session: Any) -> None:
        reporter.write(run_report.document(session, host, opts.top))

    pid = os.getpid()
    ending, session, first_calls = measure(target, opts.accelerate, on_end, dry_run=not opts.no_dry_run,
                                             exact_times=opts.exact_times)
    if os.getpid() != pid:
        return ending.status        # a forked child that returned: the parent reports
    try:
        check = first_calls.dry_run if first_calls is not None else None
        reporter.write(run_report.document(session, host, opts.top, check))
    except Exception as exc:    # the program's status stands whatever became of the report
        logger.debug("report failed", exc_info=True)
        print(f"{prog}: error: cannot write the report: {exc}", file=sys.stderr)
    return ending.status
