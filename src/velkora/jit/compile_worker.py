"""The compile process's side: started by velkora.jit.compile_process with the caller's import path,
it imports the compiler once, then compiles the functions it is sent into the compiler's on-disk
cache, where the caller loads them from. It never imports the caller's modules.

Jobs arrive on stdin and answers leave on stdout, each a 4-byte length and a pickle. The end of stdin
(the program exited, or was killed) ends it at once, a compilation in progress included.
"""

from __future__ import annotations

import _thread
import glob
import importlib
import os
import pickle
import queue
import shutil
import struct
import sys
import threading
import time
from typing import IO, Any, Optional

_HEADER = struct.Struct("<I")


def _read_exactly(stream: IO[bytes], size: int) -> bytes:
    chunks, left = [], size
    while left:
        chunk = stream.read(left)  # a raw pipe returns what has arrived
        if not chunk:
            break
        chunks.append(chunk)
        left -= len(chunk)
    return b"".join(chunks)


def read_message(stream: IO[bytes]) -> Optional[Any]:
    """The next framed pickle on `stream`; None at its end (a cut-off message counts as the end)."""
    head = _read_exactly(stream, _HEADER.size)
    if len(head) < _HEADER.size:
        return None
    (size,) = _HEADER.unpack(head)
    body = _read_exactly(stream, size)
    if len(body) < size:
        return None
    return pickle.loads(body)


def frame_message(message: Any) -> bytes:
    """`message` as one framed pickle (raises what pickling raises)."""
    body = pickle.dumps(message, protocol=pickle.HIGHEST_PROTOCOL)
    return _HEADER.pack(len(body)) + body


def write_message(stream: IO[bytes], message: Any) -> None:
    """Writes `message` as one framed pickle and flushes it."""
    write_frame(stream, frame_message(message))


def write_frame(stream: IO[bytes], frame: bytes) -> None:
    """Writes a frame made by `frame_message` and flushes it."""
    view = memoryview(frame)
    while view:
        written = stream.write(view)  # a raw pipe may take part of it
        view = view[written if written is not None else 0:]
    stream.flush()


def _arguments(shipped: list[tuple[Any, ...]]) -> tuple[Any, ...]:
    args = []
    for kind, value, *extra in shipped:
        if kind == "array":
            layout, readonly = extra
            if layout == "A" and value.ndim:  # a strided view, as the caller had it
                import numpy as np

                base = np.empty(tuple(2 * n for n in value.shape), dtype=value.dtype)
                view = base[tuple(slice(None, None, 2) for _ in value.shape)]
                view[...] = value
                value = view
            elif layout == "F":
                value = value.copy(order="F")
            if readonly:
                value.setflags(write=False)  # the compiler types read-only arrays apart
        args.append(value)
    return tuple(args)


def _run(job: dict[str, Any], nb: Any) -> dict[str, Any]:
    from velkora.jit.checks import _Sample, run_trial
    from velkora.jit.shipping import rebuild

    answer: dict[str, Any] = {"id": job["id"]}
    try:
        func = rebuild(job["func"], importlib.import_module, lambda f, options: nb.jit(**options)(f))
        args = _arguments(pickle.loads(job["args"]))
        trial = pickle.loads(job["trial"]) if job.get("trial") is not None else None
        nb.config.CACHE_DIR = job["cache_dir"]  # the locator reads it when the dispatcher is made
        jitted = nb.njit(**job["options"])(func)
    except Exception as exc:  # RuntimeError: no cache locator for its file
        return {**answer, "kind": "unshippable", "reason": f"{type(exc).__name__}: {exc}"}
    try:
        sig = tuple(nb.typeof(a) for a in args)
    except Exception as exc:
        return {**answer, "kind": "types", "reason": str(exc)}
    t0 = time.perf_counter()
    try:
        jitted.compile(sig)
    except Exception as exc:
        return {**answer, "kind": "refused", "reason": str(exc), "sig_text": str(sig)}
    answer.update(kind="compiled", sig=pickle.dumps(sig), sig_text=str(sig), seconds=time.perf_counter() - t0)
    if trial is not None:
        # Tried here, beside the compiler: the caller loads the compiler only for code it keeps.
        jitted.disable_compile()
        sample = _Sample(args, trial["after"], trial["result"], trial["elapsed_ns"])
        answer["trial"] = tuple(run_trial(jitted, func, sample, trial["long_call_s"], trial["rel_tol"],
                                          trial["check"]))
    return answer


def main(scratch: str) -> None:
    """Serves compile jobs until stdin ends; removes `scratch` (the caller's temporary compiler
    cache, "" for none) and any half-written cache file of an interrupted job on the way out."""
    out = os.fdopen(os.dup(1), "wb")
    os.dup2(2, 1)  # a stray print must not corrupt the answers
    inp = os.fdopen(0, "rb")
    jobs: "queue.SimpleQueue[Optional[dict[str, Any]]]" = queue.SimpleQueue()
    busy = threading.Event()

    def read_jobs() -> None:
        while (job := read_message(inp)) is not None:
            jobs.put(job)
        jobs.put(None)
        if busy.is_set():  # the program is gone: its compilation is of no use to anyone
            _thread.interrupt_main()

    threading.Thread(target=read_jobs, name="velkora-jit-jobs", daemon=True).start()
    cache_dirs: set[str] = set()
    try:
        busy.set()
        import warnings

        import numba

        warnings.simplefilter("ignore")  # the caller reports what matters; the rest is noise here
        busy.clear()
        while (job := jobs.get()) is not None:
            cache_dirs.add(job["cache_dir"])
            busy.set()
            try:
                answer = _run(job, numba)
            finally:
                busy.clear()
            write_message(out, answer)
    except (KeyboardInterrupt, BrokenPipeError):
        # Interrupted mid-job: the compiler writes its cache files under a temporary name and
        # renames them; one it was writing is removed here.
        for root in cache_dirs:
            for tmp in glob.glob(os.path.join(glob.escape(root), "*", "*.tmp.*")):
                try:
                    os.unlink(tmp)
                except OSError:
                    pass
    finally:
        if scratch:
            shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "")
