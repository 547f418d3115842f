"""Running a program as `python SCRIPT ARGS` (or `python -m MODULE ARGS`) would, with its calls measured.

The program gets `sys.argv`, `sys.path[0]`, a `__main__` module of its own, the standard streams and the
exit status of `sys.exit` as under the plain interpreter; an uncaught exception prints its traceback and
gives status 1. A program that ends with `os._exit` still has its measurement handed over first, and a
forked child is left unmeasured (its parent's report covers the parent only).
"""

from __future__ import annotations

import builtins
import importlib.util
import logging
import os
import sys
import threading
import time
import traceback
import types
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Any

logger = logging.getLogger(__name__)


class UsageError(Exception):
    """The program cannot be started (missing, unreadable, does not compile): a one-line reason."""


@dataclass
class Target:
    """What to run: a script (path and source) or a module (name), and its arguments."""
    kind: str                       # "script" or "module"
    name: str                       # the path as given, or the module name
    path: str                       # absolute path of the file that runs as __main__
    args: list[str] = field(default_factory=list)
    source: bytes = b""

    @property
    def directory(self) -> str:
        """sys.path[0] for the program: the script's directory, or the current one for -m."""
        return os.path.dirname(self.path) if self.kind == "script" else os.getcwd()


def script_target(path: str, args: list[str]) -> Target:
    """The script at `path`, read and compiled once to refuse what cannot run; UsageError otherwise."""
    if not os.path.exists(path):
        raise UsageError(f"no such file: {path}")
    if os.path.isdir(path):
        main = os.path.join(path, "__main__.py")
        if not os.path.isfile(main):
            raise UsageError(f"{path} is a directory without __main__.py")
        path = main
    try:
        with open(path, "rb") as f:
            source = f.read()
    except OSError as exc:
        raise UsageError(f"cannot read {path}: {exc.strerror or exc}") from None
    try:
        compile(source, path, "exec", dont_inherit=True)
    except (SyntaxError, ValueError) as exc:
        where = f" (line {exc.lineno})" if isinstance(exc, SyntaxError) and exc.lineno else ""
        msg = exc.msg if isinstance(exc, SyntaxError) else str(exc)
        raise UsageError(f"{path} does not compile: {msg}{where}") from None
    return Target("script", path, os.path.abspath(path), list(args), source)


def module_target(name: str, args: list[str]) -> Target:
    """The module `name` as `-m` finds it (from the current directory first); UsageError when it
    cannot be found or is a package without __main__."""
    sys.path.insert(0, os.getcwd())
    try:
        spec = importlib.util.find_spec(name)
        if spec is not None and spec.submodule_search_locations is not None:
            spec = importlib.util.find_spec(name + ".__main__")
    except (ImportError, ValueError) as exc:
        raise UsageError(f"no module named {name}: {exc}") from None
    finally:
        sys.path.pop(0)
    if spec is None:
        raise UsageError(f"no module named {name}")
    origin = spec.origin if spec.origin and os.path.isfile(spec.origin) else os.getcwd()
    return Target("module", name, os.path.abspath(origin), list(args))


@dataclass
class Ending:
    """How the program ended: exit status and the kind (returned, sys.exit, exception, interrupted,
    os._exit) and the wall time in seconds."""
    status: int
    kind: str
    wall: float


def exit_status(code: object) -> int:
    """The process status `sys.exit(code)` gives: None 0, an int itself, anything else printed and 1."""
    if code is None:
        return 0
    if isinstance(code, int):
        return code
    try:
        print(code, file=sys.stderr)
    except Exception:       # a stream the program closed: the status still stands
        pass
    return 1


def _print_traceback(exc: BaseException) -> None:
    # The launcher's own frames come first in the traceback; the program's start below them.
    tb = exc.__traceback__
    here = {__file__, getattr(importlib.util, "__file__", "")}
    while tb is not None and (tb.tb_frame.f_code.co_filename in here
                              or tb.tb_frame.f_code.co_filename.endswith(("runpy.py",))):
        tb = tb.tb_next
    sys.stderr.flush()
    traceback.print_exception(type(exc), exc, tb)


def _run_main(target: Target, code: Any) -> None:
    if target.kind == "module":
        import runpy

        runpy.run_module(target.name, run_name="__main__", alter_sys=True)
        return
    main = types.ModuleType("__main__")
    main.__dict__.update(__file__=target.path, __builtins__=builtins, __cached__=None, __spec__=None,
                         __loader__=None, __package__=None)
    sys.modules["__main__"] = main
    exec(code, main.__dict__)


class Run:
    """One run of `target` in this process. `on_hard_exit(ending)` is called when the program calls
    os._exit, before the process goes; `hooks` may wrap what is measured (start, stop)."""

    def __init__(self, target: Target, start: Callable[[], None], stop: Callable[[], None],
                 on_hard_exit: Callable[[Ending], None], code: Any = None) -> None:
        self.target, self.start, self.stop = target, start, stop
        self.on_hard_exit = on_hard_exit
        self.code = code if code is not None or target.kind == "module" else compile(
            target.source, target.path, "exec", dont_inherit=True)
        self.pid = os.getpid()
        self.t0 = 0.0
        self.stopped = False

    def _stop_once(self) -> None:
        if not self.stopped:
            self.stopped = True
            self.stop()

    def _hard_exit(self, real: Callable[[int], Any]) -> Callable[[int], Any]:
        def _exit(status: int) -> Any:
            if os.getpid() == self.pid:
                try:
                    self._stop_once()
                    self.on_hard_exit(Ending(int(status), "os._exit", time.perf_counter() - self.t0))
                except BaseException:       # the exit itself must happen whatever the report did
                    pass
            real(status)
        _exit.__wrapped__ = real  # type: ignore[attr-defined]
        return _exit

    def _child(self) -> None:
        # A forked child carries on with the program; its calls are not the parent's to report.
        self.stopped = True
        try:
            self.stop()
        except Exception:
            pass

    def execute(self) -> Ending:
        """Runs the program to its end; the measurement covers it and the threads it started."""
        target = self.target
        saved_argv, saved_path0 = sys.argv, sys.path[0] if sys.path else None
        saved_main = sys.modules.get("__main__")
        sys.argv = [target.path if target.kind == "module" else target.name, *target.args]
        if sys.path:
            sys.path[0] = target.directory
        else:
            sys.path.append(target.directory)
        real_exit = os._exit
        os._exit = self._hard_exit(real_exit)  # type: ignore[assignment]
        if hasattr(os, "register_at_fork"):
            os.register_at_fork(after_in_child=self._child)
        before = set(threading.enumerate())
        status, kind = 0, "returned"
        self.t0 = time.perf_counter()
        self.start()
        try:
            try:
                _run_main(target, self.code)
            finally:
                # The interpreter waits for non-daemon threads before it exits; so does the
                # measurement, which covers them.
                for t in threading.enumerate():
                    if t not in before and not t.daemon and t is not threading.current_thread():
                        t.join()
        except SystemExit as exc:
            status, kind = exit_status(exc.code), "sys.exit"
        except KeyboardInterrupt as exc:
            _print_traceback(exc)
            status, kind = 130, "interrupted"
        except BaseException as exc:
            _print_traceback(exc)
            status, kind = 1, "exception"
        finally:
            wall = time.perf_counter() - self.t0
            self._stop_once()
            os._exit = real_exit
            sys.argv = saved_argv
            if saved_path0 is not None and sys.path:
                sys.path[0] = saved_path0
            try:
                sys.stdout.flush()
            except (OSError, ValueError):
                pass
        # __main__ stays the program's: its atexit handlers and objects may still need it.
        del saved_main
        return Ending(status, kind, wall)
