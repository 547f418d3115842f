"""The compile driver's contact with the compiler: loading numba once, on the worker thread, and the one
daemon thread that runs compile jobs in order.

numba is imported at the first compilation, never by `import velkora`.
"""

from __future__ import annotations

import logging
import sys
import threading
from typing import TYPE_CHECKING, Any, Callable, Optional

if TYPE_CHECKING:
    import queue

logger = logging.getLogger(__name__)

_compiler_lock = threading.Lock()
_compiler: Any = None
_compiler_state = "unloaded"  # "unloaded", "ready", "unavailable"


def _load_compiler() -> Any:
    """numba, imported once (about 0.3 s, on the worker thread); None, said once at INFO, without it."""
    global _compiler, _compiler_state
    with _compiler_lock:
        if _compiler_state == "unloaded":
            try:
                import numba
            except Exception as exc:  # ImportError, or a broken install
                _compiler_state = "unavailable"
                logger.info("velkora.jit: compilation unavailable (numba could not be imported: %s); "
                            "decorated functions run interpreted", exc)
            else:
                _teach_types()
                _compiler, _compiler_state = numba, "ready"
        return _compiler


# How a version reverted for speed alone is described (the driver's words).
SLOWER = "compiled version measured slower"


def _teach_types() -> None:
    # A decorated function read as a global by a function being compiled (its own recursion, or a
    # call to another decorated function) stands for its compiled dispatcher: without this the
    # compiler cannot type it and refuses every recursive function.
    try:
        from numba.core import types
        from numba.extending import typeof_impl

        from velkora.jit.dispatch import Dispatcher

        @typeof_impl.register(Dispatcher)
        def _typeof_dispatcher(val: Any, c: Any) -> Any:
            # A version that is kept, the one being compiled (recursion), or one reverted only for
            # being slower called from the interpreter (inside compiled code a call costs nothing);
            # never one reverted for a wrong result.
            driver = getattr(val, "adaptive", None)
            jitted = getattr(driver, "_jitted", None)
            state = getattr(getattr(driver, "state", None), "value", None)
            slower = state == "reverted" and str(getattr(driver, "reason", "")).startswith(SLOWER)
            if slower and driver is not None:
                # Reverted, it is called from compiled code only: compiling it for its caller's
                # types (inside the caller's compilation, off the program's path) is safe.
                if jitted is None:
                    import numba

                    jitted = driver._make_jitted(numba)
                _compilable(jitted, True)
            if jitted is None or not (state in ("compiled", "compiling") or slower):
                return None
            return types.Dispatcher(jitted)
    except Exception as exc:  # an older compiler without this hook: recursion stays interpreted
        logger.debug("velkora.jit: the compiler cannot be taught the driver's functions: %s", exc)


_loading_prepared = False


def _prepare_loading(nb: Any) -> None:
    """Readies this process to load compiled code from the compiler's cache: its first load fills the
    compiler's registries, importing what they need (about as long as importing the compiler). Done
    while the compile process compiles, it is off the path from its answer to the installed code."""
    global _loading_prepared
    if _loading_prepared:
        return
    _loading_prepared = True
    try:
        from numba.core.compiler_lock import global_compiler_lock
        from numba.core.registry import cpu_target

        with global_compiler_lock:  # the lock the compiler's own refreshes run under
            cpu_target.target_context.refresh()
    except Exception as exc:  # the load itself will say what is wrong
        logger.debug("velkora.jit: preparing the compiler's loader failed: %s", exc)


def compiler_available() -> Optional[bool]:
    """True/False once the compiler was looked for, None before (looking would import it)."""
    return {"ready": True, "unavailable": False}.get(_compiler_state)


# ---- the worker thread ----------------------------------------------------------------------------------

class _Worker:
    """One daemon thread running compile jobs in order; started with the first job."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._jobs: "Optional[queue.SimpleQueue[Callable[[], None]]]" = None  # made with the first job
        self._thread: Optional[threading.Thread] = None

    def submit(self, job: Callable[[], None]) -> None:
        with self._lock:
            if self._jobs is None:
                import queue  # most programs never compile: not imported at decoration

                self._jobs = queue.SimpleQueue()
            jobs = self._jobs
            if self._thread is None or not self._thread.is_alive():
                self._thread = threading.Thread(target=self._run, name="velkora-jit", daemon=True)
                self._thread.start()
        jobs.put(job)

    def _run(self) -> None:
        jobs = self._jobs
        assert jobs is not None
        while True:
            job = jobs.get()
            # The compiler gives up the interpreter lock around each of its thousands of calls into
            # LLVM, and a caller running interpreted code then keeps it for a whole switch interval
            # (5 ms) before the compiler gets it back: compiling beside a busy caller took seconds.
            # A short interval while the job runs hands it back within a fraction of a millisecond.
            interval = sys.getswitchinterval()
            sys.setswitchinterval(min(interval, _JOB_SWITCH_INTERVAL))
            try:
                job()
            except Exception:  # a driver fault must not end the worker
                logger.exception("velkora.jit: compile job failed")
            finally:
                if jobs.empty():
                    sys.setswitchinterval(interval)

    def reset_after_fork(self) -> None:
        # The thread did not survive the fork; jobs it had queued are the parent's.
        self._lock = threading.Lock()
        self._jobs = None
        self._thread = None


class _CompileCosts:
    """Compile times measured in this process, for the expected cost of the next compilation."""

    def __init__(self) -> None:
        self.total, self.count = 0.0, 0

    def add(self, seconds: float) -> None:
        self.total += seconds
        self.count += 1

    def mean(self) -> Optional[float]:
        return self.total / self.count if self.count else None


_COMPILE_COSTS = _CompileCosts()
_JOB_SWITCH_INTERVAL = 1e-4
_WORKER = _Worker()
_numba_config_lock = threading.Lock()


def _after_fork_in_child() -> None:
    global _compiler_lock, _numba_config_lock
    # The worker may have held these at the fork; it does not exist in the child.
    _compiler_lock, _numba_config_lock = threading.Lock(), threading.Lock()
    _WORKER.reset_after_fork()


def _compilable(jitted: Any, flag: bool) -> None:
    # The compiler's own switch (its disable_compile() refuses a dispatcher with no version yet). Off,
    # a call with argument types it has no version for raises TypeError instead of compiling on the
    # caller's path; the worker turns it on only around its own compile().
    jitted._can_compile = flag

