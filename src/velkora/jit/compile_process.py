"""The compile driver's compile process: one long-lived interpreter per program, started with the first
job, that compiles shipped functions into the compiler's on-disk cache while the program's own
threads go on running interpreted at full speed (a compile thread in this process would share the
interpreter lock with them: numba's compiler is mostly Python).

It dies with the program: its stdin is a pipe only this process holds, and its end (an exit, a
kill, a crash) ends it, a compilation in progress included. Where no process can be started, or
after it died, jobs are refused and compiled on the driver's thread as before.
"""

from __future__ import annotations

import atexit
import logging
import os
import pickle
import shutil
import subprocess
import sys
import tempfile
import threading
from typing import Any, Callable, Optional

from velkora.jit.compile_worker import frame_message, read_message, write_frame
from velkora.jit.shipping import process_allowed

logger = logging.getLogger(__name__)

Reply = Optional[dict[str, Any]]
_BOOT = ("import sys; sys.path[:] = sys.argv[2:]; from velkora.jit.compile_worker import main; "
         "main(sys.argv[1])")
_FULL_BYTES = 16 << 20  # arguments up to this size travel whole, for a trial there


def _is_array(value: Any) -> bool:
    return type(value).__name__ == "ndarray" and type(value).__module__ == "numpy"


def _layout(a: Any) -> str:
    return "C" if a.flags.c_contiguous else "F" if a.flags.f_contiguous else "A"


def ship_arguments(args: tuple[Any, ...], whole: bool) -> Optional[bytes]:
    """The arguments of a recorded call, pickled for the compile process. `whole`: as they are (for
    a trial there); otherwise arrays shrink to two elements a side, keeping what the compiler types
    them by (element type, dimensions, layout, writability). None when something cannot be pickled.
    Costs a pickle of what travels."""
    shipped: list[tuple[Any, ...]] = []
    for a in args:
        if _is_array(a):
            small = a if whole else a[tuple(slice(0, 2) for _ in range(a.ndim))]
            shipped.append(("array", small, _layout(a), not a.flags.writeable))
        else:
            shipped.append(("value", a))
    try:
        return pickle.dumps(shipped, protocol=pickle.HIGHEST_PROTOCOL)
    except Exception:
        return None


def travels_whole(args: tuple[Any, ...]) -> bool:
    """Whether a call's arrays are small enough to ship whole. Costs nothing."""
    return bool(sum(a.nbytes for a in args if _is_array(a)) <= _FULL_BYTES)


class CompileProcess:
    """The program's one compile process (module global PROCESS)."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._proc: Optional[subprocess.Popen[bytes]] = None
        self._ended: Optional[str] = None  # why it cannot be used any more
        self._pending: dict[int, Callable[[Reply], None]] = {}
        self._next_id = 0
        self._scratch: Optional[str] = None
        self._atexit = False
        self._starting: Optional[threading.Event] = None  # set once a start in progress is over
        self._backlog: list[bytes] = []  # jobs sent while the process starts

    def available(self) -> bool:
        """Whether jobs can be sent (a process is running or may be started). Costs nothing."""
        return self._ended is None and process_allowed(dict(os.environ), sys.platform, sys.executable,
                                                       bool(getattr(sys, "frozen", False)))

    @property
    def pid(self) -> Optional[int]:
        """The process's id while it runs (waiting, at most a few seconds, for a start in progress)."""
        starting = self._starting
        if starting is not None:
            starting.wait(10)
        proc = self._proc
        return proc.pid if proc is not None and proc.returncode is None else None

    def scratch_dir(self) -> str:
        """A compiler cache private to this program (for functions whose disk cache is off),
        removed at exit, or by the compile process when the program is killed. Created once."""
        with self._lock:
            if self._scratch is None:
                self._scratch = tempfile.mkdtemp(prefix="velkora-jit-")
                self._register_exit()
            return self._scratch

    def submit(self, job: dict[str, Any], on_reply: Callable[[Reply], None]) -> bool:
        """Sends a job; `on_reply` gets the answer on the reply thread, or None when the process
        ended (or could not be started) before answering. The first job starts the process on that
        thread, so the caller does not wait for it. False when no process can be had or the job
        cannot be pickled: the caller compiles the function itself. Costs a pickle and a pipe write."""
        with self._lock:
            if self._ended is not None or (self._proc is None and self._starting is None
                                           and not self.available()):
                return False
            job_id = self._next_id
            try:
                frame = frame_message({**job, "id": job_id})
            except Exception:  # something in it does not pickle
                return False
            self._next_id += 1
            self._pending[job_id] = on_reply
            if self._proc is None:
                self._backlog.append(frame)
                if self._starting is None:
                    self._begin_start_locked()
                return True
            assert self._proc.stdin is not None
            try:
                write_frame(self._proc.stdin, frame)
            except (OSError, ValueError) as exc:
                self._pending.pop(job_id, None)
                self._ended = f"the compile process stopped reading ({exc})"
                return False
        return True

    def _register_exit(self) -> None:
        if not self._atexit:
            self._atexit = True
            atexit.register(self.close)

    def _begin_start_locked(self) -> None:
        # Starting an interpreter costs the starting thread several milliseconds (more on a busy
        # machine); the reply thread does it, and the caller's call goes on meanwhile.
        if self._scratch is None:  # made now so that the process knows to remove it if we are killed
            self._scratch = tempfile.mkdtemp(prefix="velkora-jit-")
        self._register_exit()
        self._starting = threading.Event()
        threading.Thread(target=self._start_and_read, args=(self._scratch, self._starting),
                         name="velkora-jit-replies", daemon=True).start()

    def _start_and_read(self, scratch: str, starting: threading.Event) -> None:
        proc: Optional[subprocess.Popen[bytes]] = None
        try:
            proc = subprocess.Popen(
                [sys.executable, "-c", _BOOT, scratch, *[p for p in sys.path if isinstance(p, str)]],
                stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                # Unbuffered: a buffered pipe object carries a lock the reply thread holds while it
                # waits, which a forked child could never take to close its copy.
                bufsize=0, close_fds=True,
                start_new_session=True)  # no terminal signals: it ends with its stdin
        except OSError as exc:
            reason = f"the compile process could not be started ({exc})"
        with self._lock:
            if proc is None:
                self._ended = self._ended or reason
                logger.debug("velkora.jit: %s; compiling in this process", reason)
                if self._scratch == scratch:
                    shutil.rmtree(scratch, ignore_errors=True)
                    self._scratch = None
                pending, self._pending, self._backlog = self._pending, {}, []
            elif self._ended is not None:  # closed while it started: it ends with its stdin
                pending = {}
                _close_pipes(proc)
                proc = None
            else:
                self._proc, pending = proc, {}
                backlog, self._backlog = self._backlog, []
                assert proc.stdin is not None
                try:
                    for frame in backlog:
                        write_frame(proc.stdin, frame)
                except (OSError, ValueError) as exc:
                    self._ended = f"the compile process stopped reading ({exc})"
            self._starting = None
        starting.set()
        for callback in pending.values():
            callback(None)  # compiled in this process instead
        if proc is not None:
            self._read_replies(proc)

    def _read_replies(self, proc: "subprocess.Popen[bytes]") -> None:
        assert proc.stdout is not None
        while True:
            try:
                reply = read_message(proc.stdout)
            except (OSError, ValueError, pickle.UnpicklingError, EOFError):
                reply = None
            if reply is None:
                break
            with self._lock:
                callback = self._pending.pop(reply.get("id"), None)
            if callback is not None:
                callback(reply)
        with self._lock:
            if self._proc is proc and self._ended is None:
                self._ended = "the compile process ended"
                logger.debug("velkora.jit: the compile process ended (exit status %s); compiling in "
                             "this process from now on", proc.poll())
            pending, self._pending = self._pending, {}
        for callback in pending.values():
            callback(None)

    def close(self) -> None:
        """Ends the process (the end of its stdin ends it: it removes the scratch cache and any
        half-written cache file itself, so the program does not wait for it) and removes the
        scratch cache here too; idempotent. Runs at interpreter exit."""
        with self._lock:
            proc, self._proc = self._proc, None
            self._ended = self._ended or "closed"
            scratch, self._scratch = self._scratch, None
            self._pending, self._backlog = {}, []  # the program is ending: unanswered jobs are not compiled elsewhere
        if proc is not None:
            _close_pipes(proc)  # not waited for: it stops at once, mid-compilation too, and cleans up
        if scratch is not None:
            shutil.rmtree(scratch, ignore_errors=True)

    def reset_after_fork(self) -> None:
        # The child owns neither the process nor the scratch cache: its copies of the pipes are
        # closed (the process must see the end of stdin when the parent goes), and a job of its
        # own starts a process of its own.
        proc = self._proc
        self._lock = threading.Lock()
        self._proc, self._ended, self._pending, self._scratch = None, None, {}, None
        self._starting, self._backlog = None, []  # a start in progress was the parent's thread
        if proc is not None:
            # The descriptors now lead nowhere, so that the pipe objects close harmlessly whenever
            # they are collected (closing the numbers outright could close a reused one later).
            devnull = os.open(os.devnull, os.O_RDWR)
            try:
                for stream in (proc.stdin, proc.stdout):
                    if stream is not None:
                        try:
                            os.dup2(devnull, stream.fileno(), inheritable=False)
                        except (OSError, ValueError):
                            pass
            finally:
                os.close(devnull)
            proc.returncode = 0  # not ours to wait for


def _close_pipes(proc: "subprocess.Popen[bytes]") -> None:
    for stream in (proc.stdin, proc.stdout):
        try:
            if stream is not None:
                stream.close()
        except OSError:
            pass


PROCESS = CompileProcess()
