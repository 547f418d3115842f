"""The compile driver: `adaptive` makes hot functions compiled and leaves cold ones alone.

    from velkora.jit import adaptive

    @adaptive
    def kernel(a, n): ...

A decorated function is a native `Dispatcher` (velkora.jit.dispatch) that counts each call and
times a sample of them. When the count reaches the gate's threshold (`CompileGate.should_compile`),
or the time spent interpreted outweighs what a compilation costs, the next call's arguments are
recorded and the function is compiled in nopython mode off the caller's path: in the program's one
compile process (velkora.jit.compile_process) where the function can be rebuilt there, else on a
background thread; calls go on interpreted meanwhile. The compiled version is run on copies of the
recorded arguments (in the compile process, when they are small enough to send), checked against
the interpreter's result and timed; it is installed only when it agrees and is faster, loaded from
the compiler's disk cache that the compile process filled. The first calls after that are checked
against the interpreter too. Outcomes (and the compiled code, through the compiler's own cache) are
kept on disk, so a second run skips the warm-up.

The compiler (numba) is imported at the first compilation that needs it here, never by
`import velkora`; a version the compile process found wrong or slower needs none.
"""

from __future__ import annotations

import atexit
import functools
import inspect
import os
import sys
import weakref
from typing import Any, Callable, Optional, TypeVar, Union, overload

from velkora.jit import compiler
from velkora.jit.adaptive_policy import DriverPolicy, State
from velkora.jit.cache import cache_dir
from velkora.jit.compile_gate import CompileGate
# _WORKER stays reachable here: velkora.monitoring.accelerate hands the compile thread a job through it.
from velkora.jit.compiler import _WORKER, compiler_available  # noqa: F401
from velkora.jit.dispatch import Dispatcher, Ledger
from velkora.jit.recursion import direct_self_calls
from velkora.jit.function_driver import _LEDGER, _Driver

__all__ = ["AdaptiveTarget", "DriverPolicy", "State", "adaptive", "cache_dir", "compiler_available",
           "process_ledger", "state_of"]

F = TypeVar("F", bound=Callable[..., Any])


def process_ledger() -> Ledger:
    """The process-wide ledger that decorated functions without a ledger of their own report to."""
    return _LEDGER


_DRIVERS: "weakref.WeakSet[_Driver]" = weakref.WeakSet()


def _after_fork_in_child() -> None:
    compiler._after_fork_in_child()
    process = sys.modules.get("velkora.jit.compile_process")
    if process is not None:
        process.PROCESS.reset_after_fork()
    for driver in list(_DRIVERS):
        driver._after_fork()


def _at_exit() -> None:
    for driver in list(_DRIVERS):
        try:
            driver.at_exit()
        except Exception:  # the program is ending: a record not written is a warm-up next time
            pass


atexit.register(_at_exit)

if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_after_fork_in_child)


# ---- the decorator -----------------------------------------------------------------------------------------

@overload
def adaptive(func: F, /) -> F: ...
@overload
def adaptive(func: None = None, /, *, gate: Optional[CompileGate] = None, ledger: Any = None,
             check: bool = True, cache: bool = True,
             policy: Optional[DriverPolicy] = None) -> Callable[[F], F]: ...


def adaptive(func: Optional[Callable[..., Any]] = None, /, *, gate: Optional[CompileGate] = None,
             ledger: Any = None, check: bool = True, cache: bool = True,
             policy: Optional[DriverPolicy] = None) -> Any:
    """Compiles `func` when measurement says it pays, runs it interpreted otherwise.

    Used bare (`@adaptive`), with options (`@adaptive(gate=..., check=False)`) or as a function
    (`adaptive(f)`). `gate`: a CompileGate of the caller's (default: `get_compile_gate()`); `ledger`:
    a call ledger with `record_call`, `record_compilation` and `get_metrics` (default: the
    process-wide native ledger); `check`: compare the first compiled calls against the interpreter
    on copies of the arguments; `cache`: keep outcomes and compiled code on disk (also off with
    VELKORA_JIT_CACHE=0); `policy`: the driver's DriverPolicy. The result is a native Dispatcher
    carrying the function's name, docstring, signature and `__wrapped__`; `result.adaptive` is its
    driver (`state`, `reason`, `speedup`, `metrics()`, `wait()`). Decorating costs tens of
    microseconds (plus reading the source once, for the cache key); a call costs tens of nanoseconds
    over the function's own.
    """
    if gate is not None and not isinstance(gate, CompileGate):
        raise TypeError(f"adaptive() gate must be a CompileGate, not {type(gate).__name__}")
    if ledger is not None and not all(hasattr(ledger, m) for m in ("get_metrics", "record_call",
                                                                      "record_compilation")):
        raise TypeError("adaptive() ledger must have get_metrics, record_call and record_compilation")
    pol = policy if policy is not None else DriverPolicy()
    if not isinstance(pol, DriverPolicy):
        raise TypeError(f"adaptive() policy must be a DriverPolicy, not {type(pol).__name__}")

    def decorate(f: Callable[..., Any]) -> Any:
        if isinstance(f, staticmethod):
            return staticmethod(decorate(f.__func__))
        if isinstance(f, Dispatcher):
            return f  # decorated already
        if not inspect.isfunction(f):
            raise TypeError(f"adaptive() needs a Python function, not {type(f).__name__}")
        func_id = f"{f.__module__}.{f.__qualname__}"
        disp = Dispatcher(f, func_id)
        functools.update_wrapper(disp, f)
        interpreted = direct_self_calls(f)
        if interpreted is not f:
            disp.impl = interpreted
        driver = _Driver(f, disp, func_id, gate, ledger, pol, bool(check), bool(cache), interpreted)
        disp.adaptive = driver  # type: ignore[attr-defined]
        if ledger is None or isinstance(ledger, Ledger):
            (ledger if ledger is not None else _LEDGER).register(disp)
        disp.set_sampling(64, pol.long_call_s * 1e9)
        disp.on_hot = driver.on_hot
        _DRIVERS.add(driver)
        if not driver.warm_start():
            disp.arm(1, -1.0)  # the first call is looked at (see _Driver._decide)
        return disp

    if func is None:
        return decorate
    return decorate(func)


def state_of(func: Callable[..., Any]) -> State:
    """The state of a function decorated with `adaptive`."""
    driver = getattr(func, "adaptive", None)
    if not isinstance(driver, _Driver):
        raise TypeError(f"{func!r} is not decorated with velkora.jit.adaptive")
    return driver.state


AdaptiveTarget = Union[Callable[..., Any], staticmethod]  # type: ignore[type-arg]
