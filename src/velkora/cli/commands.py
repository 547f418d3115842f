"""The `velkora` command: its table of subcommands, the default run, and how the process ends.

Exit status: 0 on success, 2 on usage errors, 1 when nothing could be analysed or the output could not
be written, 3 when a function trips --fail-on/--min-score, 130 when interrupted, 141 when the output pipe
closed early.
"""

from __future__ import annotations

import argparse
import importlib
import io
import os
import sys
from typing import Protocol

from velkora import __version__
from velkora.cli.output import OutputError, Stopped, write_out

RUN_SAMPLE = "velkora.sample_program"


class Command(Protocol):
    """A subcommand: a module of this package with these two functions."""

    def add_parser(self, sub: argparse._SubParsersAction[argparse.ArgumentParser]) -> None: ...

    def run(self, args: argparse.Namespace, ap: argparse.ArgumentParser) -> int: ...


# The subcommands by name, each a module of this package, imported when the command line is parsed
# (so that `velkora run`, dispatched before parsing since everything after the program's name is the
# program's, starts without the analysis). `run` is listed in the help only.
COMMANDS: tuple[str, ...] = ("probe", "analyze")


def command(name: str) -> Command:
    """The module of subcommand `name` (imported on first use)."""
    module: Command = importlib.import_module(f"velkora.cli.{name}")
    return module


def parser(prog: str = "velkora") -> argparse.ArgumentParser:
    """The command line: `--version` and the subcommands of COMMANDS."""
    ap = argparse.ArgumentParser(prog=prog, description="velkora: host probe and workload analysis")
    ap.add_argument("--version", action="version", version=f"velkora {__version__}")
    sub = ap.add_subparsers(dest="command")
    sub.add_parser("run", help="run a Python program measured, and report what to do about its hot functions "
                              "(see `run --help`)", add_help=False)
    for name in COMMANDS:
        command(name).add_parser(sub)
    return ap


def _command(argv: list[str] | None, prog: str) -> int:
    words = sys.argv[1:] if argv is None else argv
    if words[:1] == ["run"]:
        # Everything after the program's name is the program's: argparse must not see it.
        from velkora.cli import run

        return run.main(words[1:], prog=f"{prog} run")
    ap = parser(prog)
    args = ap.parse_args(argv)
    if args.command is None:
        # The main job: the bundled sample program run plain and accelerated, measured both times.
        from velkora.cli import probe, run

        write_out(probe.format_probe(probe.probe_report()) + "\n")
        write_out(f"\nRunning the bundled sample program ({RUN_SAMPLE}) plain, then accelerated; "
                  f"`{prog} run --compare SCRIPT` does the same for your program:\n\n")
        sys.stdout.flush()
        return run.main(["--compare", "--output", "-", "-m", RUN_SAMPLE], prog=f"{prog} run")
    return command(args.command).run(args, ap)


def _silence_stdout() -> None:
    # The interpreter flushes stdout again at exit; point it at /dev/null so that flush cannot fail too.
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    except (OSError, ValueError):
        pass


def main(argv: list[str] | None = None, prog: str = "velkora") -> int:
    """The `velkora` command (`python -m velkora` passes its own name); returns the exit status."""
    if sys.stdout is None:      # started with standard output closed: whatever we printed would be lost
        print(f"{prog}: error: standard output is closed", file=sys.stderr)
        return 1
    # A file name the output encoding cannot show (PYTHONIOENCODING=latin-1) is escaped, as control
    # characters are, rather than ending the run.
    if isinstance(sys.stdout, io.TextIOWrapper) and sys.stdout.errors == "strict":
        sys.stdout.reconfigure(errors="backslashreplace")
    try:
        status = _command(argv, prog)
        try:
            sys.stdout.flush()  # a closed pipe or a full disk shows here, not in the interpreter's final flush
        except BrokenPipeError:
            raise
        except OSError as exc:
            raise OutputError(exc) from None
        return status
    except OutputError as exc:
        print(f"{prog}: error: {exc}", file=sys.stderr)
        _silence_stdout()
        return 1
    except KeyboardInterrupt:
        return 130              # 128 + SIGINT, what shells report for an interrupted command
    except Stopped as exc:      # the workers are gone; now end as the signal would have ended us
        import signal

        signal.signal(exc.signum, signal.SIG_DFL)
        os.kill(os.getpid(), exc.signum)
        return 128 + exc.signum
    except BrokenPipeError:     # the reader went away (`| head`): nothing more to say
        _silence_stdout()
        return 141              # 128 + SIGPIPE, as for a command the signal ended
