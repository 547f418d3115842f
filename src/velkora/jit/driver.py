"""The compile driver: `adaptive` makes hot functions compiled and leaves cold ones alone.

    from velkora.jit import adaptive

    @adaptive
    def kernel(a, n): ...

A decorated function is a native `Dispatcher` (velkora.jit.dispatch) that counts each call and
times a sample of them. When the count reaches the gate's threshold (`CompileGate.should_compile`),
or the time spent interpreted outweighs what a compilation costs, the next call's arguments are
recorded and the function is compiled in nopython mode on a background thread; calls go on
interpreted meanwhile. The compiled version is run on copies of the recorded arguments, checked
against the interpreter's result and timed; it is installed only when it agrees and is faster. The
first calls after that are checked against the interpreter too. Outcomes (and the compiled code,
through the compiler's own cache) are kept on disk, so a second run skips the warm-up.

The compiler (numba) is imported on the background thread at the first compilation, never by
`import velkora`.
"""

from __future__ import annotations

import copy
import functools
import hashlib
import inspect
import json
import logging
import os
import pickle
import queue
import sys
import threading
import time
import weakref
from pathlib import Path
from typing import Any, Callable, Optional, TypeVar, Union, overload

from velkora.jit.adaptive_policy import (DriverPolicy, State, cached_decision, expected_compile_cost,
                                         failure_reason,
                                         keep_compiled, next_check_count, same_result, speedup,
                                         time_trigger_ns, worth_compiling)
from velkora.jit.compile_gate import CompileGate, FunctionMetrics, get_compile_gate
from velkora.jit.dispatch import Dispatcher, Ledger

logger = logging.getLogger(__name__)

F = TypeVar("F", bound=Callable[..., Any])

_LEDGER = Ledger()  # the process-wide ledger of dispatchers' counters
_NO_MATCH = "No matching definition"  # the compiler's TypeError for argument types it has no version for


def process_ledger() -> Ledger:
    """The process-wide ledger that decorated functions without a ledger of their own report to."""
    return _LEDGER


# ---- the compiler, loaded on the worker thread -----------------------------------------------------

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
                _compiler, _compiler_state = numba, "ready"
        return _compiler


def compiler_available() -> Optional[bool]:
    """True/False once the compiler was looked for, None before (looking would import it)."""
    return {"ready": True, "unavailable": False}.get(_compiler_state)


# ---- the disk cache -----------------------------------------------------------------------------------

def cache_dir() -> Optional[Path]:
    """Where outcomes and compiled code are kept: $VELKORA_CACHE_DIR, else the user cache directory;
    None when VELKORA_JIT_CACHE=0 turns the cache off."""
    if os.environ.get("VELKORA_JIT_CACHE", "1").strip().lower() in ("0", "off", "false", "no"):
        return None
    root = os.environ.get("VELKORA_CACHE_DIR")
    if root:
        return Path(root)
    base = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    return Path(base) / "velkora"


@functools.lru_cache(maxsize=1)
def _compiler_version() -> str:
    # Read without importing the compiler: the cache key must be known at decoration time.
    try:
        from importlib.metadata import version
        return "numba-" + version("numba")
    except Exception:
        return "numba-unknown"


def _source_hash(func: Callable[..., Any]) -> Optional[str]:
    try:
        source = inspect.getsource(func)
    except (OSError, TypeError):
        return None  # defined where its source cannot be read: no cache
    code = getattr(func, "__code__", None)
    extra = repr(getattr(code, "co_consts", ())) if code is not None else ""
    return hashlib.sha256((source + "\0" + extra).encode()).hexdigest()


class _CacheEntry:
    """One function's record on disk: a JSON file of outcomes and a pickle of compiled signatures."""

    def __init__(self, root: Path, func_id: str, source_hash: str) -> None:
        safe = "".join(c if c.isalnum() or c in "._-" else "_" for c in func_id)[:120]
        self.dir = root / "jit"
        self.path = self.dir / f"{safe}-{source_hash[:16]}.json"
        self.func_id, self.source_hash = func_id, source_hash
        self.numba_dir = root / "jit" / "numba"

    def load(self) -> Optional[dict[str, Any]]:
        try:
            entry = json.loads(self.path.read_text())
        except (OSError, ValueError, UnicodeDecodeError):
            return None  # missing or corrupt: a clean miss
        return cached_decision(entry, self.source_hash, _compiler_version())

    def store(self, state: State, reason: str, signatures: list[Any], threshold: int,
              measured: float) -> None:
        try:
            sig_blob = pickle.dumps(signatures).hex()
        except Exception:
            sig_blob = ""
        entry = {"func_id": self.func_id, "source_hash": self.source_hash,
                 "compiler": _compiler_version(), "state": state.value, "reason": reason,
                 "signatures": [str(s) for s in signatures], "signature_blob": sig_blob,
                 "threshold": threshold, "speedup": measured}
        try:
            self.dir.mkdir(parents=True, exist_ok=True)
            tmp = self.path.with_suffix(f".{os.getpid()}.{threading.get_ident()}.tmp")
            tmp.write_text(json.dumps(entry))
            os.replace(tmp, self.path)  # readers see the old file or the new one, never half of one
        except OSError as exc:
            logger.debug("velkora.jit: cache entry for %s not written: %s", self.func_id, exc)
            try:
                tmp.unlink()
            except (OSError, UnboundLocalError):
                pass


# ---- the worker thread ----------------------------------------------------------------------------------

class _Worker:
    """One daemon thread running compile jobs in order; started with the first job."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._jobs: "queue.SimpleQueue[Callable[[], None]]" = queue.SimpleQueue()
        self._thread: Optional[threading.Thread] = None

    def submit(self, job: Callable[[], None]) -> None:
        with self._lock:
            if self._thread is None or not self._thread.is_alive():
                self._thread = threading.Thread(target=self._run, name="velkora-jit", daemon=True)
                self._thread.start()
        self._jobs.put(job)

    def _run(self) -> None:
        while True:
            job = self._jobs.get()
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
                if self._jobs.empty():
                    sys.setswitchinterval(interval)

    def reset_after_fork(self) -> None:
        # The thread did not survive the fork; jobs it had queued are the parent's.
        self._lock = threading.Lock()
        self._jobs = queue.SimpleQueue()
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
_DRIVERS: "weakref.WeakSet[_Driver]" = weakref.WeakSet()
_numba_config_lock = threading.Lock()


def _after_fork_in_child() -> None:
    global _compiler_lock, _numba_config_lock
    # The worker may have held these at the fork; it does not exist in the child.
    _compiler_lock, _numba_config_lock = threading.Lock(), threading.Lock()
    _WORKER.reset_after_fork()
    for driver in list(_DRIVERS):
        driver._after_fork()


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_after_fork_in_child)


# ---- copies of arguments, for checks --------------------------------------------------------------------

def _copy(value: Any) -> Any:
    if type(value) in (int, float, complex, bool, str, bytes, type(None)):
        return value
    if hasattr(value, "copy") and hasattr(value, "dtype"):
        return value.copy()  # an array: a copy of its data, same dtype and layout
    try:
        return copy.deepcopy(value)
    except Exception:
        return value


def _copy_args(args: tuple[Any, ...]) -> tuple[Any, ...]:
    return tuple(_copy(a) for a in args)


def _args_agree(a: tuple[Any, ...], b: tuple[Any, ...], rel_tol: float) -> bool:
    """Whether the arguments were left alike (arrays a function writes into)."""
    return all(same_result(x, y, rel_tol) for x, y in zip(a, b)
               if hasattr(x, "dtype") or isinstance(x, (list, dict)))


class _Sample:
    """A recorded interpreted call: the arguments before it, their state after it, its result."""

    def __init__(self, before: tuple[Any, ...], after: tuple[Any, ...], result: Any,
                 elapsed_ns: int) -> None:
        self.before, self.after, self.result, self.elapsed_ns = before, after, result, elapsed_ns


# ---- the driver of one function ---------------------------------------------------------------------

class _Driver:
    """The state machine of one decorated function (reachable as `f.adaptive`)."""

    def __init__(self, func: Callable[..., Any], disp: Dispatcher, func_id: str,
                 gate: Optional[CompileGate], ledger: Any, policy: DriverPolicy, check: bool,
                 cache: bool) -> None:
        self.func, self.disp, self.func_id = func, disp, func_id
        self._gate, self._user_ledger = gate, ledger
        self.policy, self.check = policy, check
        self.state = State.INTERPRETED
        self.reason = ""
        self.speedup: Optional[float] = None
        self.compile_seconds: Optional[float] = None
        self.signatures: list[Any] = []
        self._lock = threading.Lock()
        self._idle = threading.Event()
        self._idle.set()
        self._jitted: Any = None
        self._checks_left = 0
        self._new_types = 0
        self._first_call = True
        self._record_new = False
        self._flushed_calls = 0
        self._flushed_ns = 0.0
        self._signature = inspect.signature(func)
        self._positional_only = all(
            p.kind in (p.POSITIONAL_ONLY, p.POSITIONAL_OR_KEYWORD) for p in self._signature.parameters.values())
        self._cache: Optional[_CacheEntry] = None
        root = cache_dir() if cache else None
        source_hash = _source_hash(func) if root is not None else None
        if root is not None and source_hash is not None:
            self._cache = _CacheEntry(root, func_id, source_hash)

    # -- inspection --

    @property
    def gate(self) -> CompileGate:
        """The gate consulted: the user's, or the process-wide one of this moment."""
        return self._gate if self._gate is not None else get_compile_gate()

    @property
    def ledger(self) -> Any:
        """The ledger the gate reads: the user's, or the process-wide native one."""
        return self._user_ledger if self._user_ledger is not None else _LEDGER

    def metrics(self) -> FunctionMetrics:
        """The function's metrics as the gate sees them (flushed to a user's ledger first)."""
        self._flush()
        m: FunctionMetrics = self.ledger.get_metrics(self.func_id)
        return m

    def wait(self, timeout: Optional[float] = None) -> bool:
        """Blocks until no compilation of this function is in flight; False on timeout."""
        return self._idle.wait(timeout)

    def __repr__(self) -> str:
        extra = f": {self.reason}" if self.reason else ""
        return f"<adaptive {self.func_id} {self.state.value}{extra}>"

    # -- the cycle --

    def _cost(self) -> float:
        return expected_compile_cost(self.policy, _COMPILE_COSTS.mean(), _compiler_state == "ready")

    def _flush(self) -> None:
        ledger = self._user_ledger
        if ledger is None or isinstance(ledger, Ledger):
            return
        calls, spent = self.disp.calls, self.disp.spent_ns
        delta, delta_ms = calls - self._flushed_calls, (spent - self._flushed_ns) / 1e6
        if delta <= 0:
            return
        self._flushed_calls, self._flushed_ns = calls, spent
        try:
            ledger.record_call(self.func_id, delta_ms, calls=delta)
        except TypeError:  # a ledger counting one call at a time
            for i in range(delta):
                ledger.record_call(self.func_id, delta_ms if i == 0 else 0.0)

    def _arm(self) -> None:
        """Arms the dispatcher at the count the gate could next answer True to, and at the time
        that would make the function worth compiling on time alone."""
        calls = self.disp.calls
        threshold = self.gate.get_threshold(self.func_id)
        trigger = (time_trigger_ns(self._cost(), self.policy.worth_factor, self.disp.spent_ns)
                   if self.state is State.INTERPRETED else -1.0)
        self.disp.arm(min(next_check_count(calls, threshold), 2**63 - 1), trigger)

    def on_hot(self, disp: Dispatcher, args: tuple[Any, ...], kwargs: Optional[dict[str, Any]]) -> None:
        if not self._lock.acquire(blocking=False):
            disp.arm(disp.calls + 1)  # another thread is deciding; look again at the next call
            return
        try:
            self._decide(disp)
        finally:
            self._lock.release()

    def _decide(self, disp: Dispatcher) -> None:
        if self.state not in (State.INTERPRETED, State.COMPILED) or compiler_available() is False:
            return  # disarmed for good
        if self._first_call:
            # The first call is recorded: if it alone outweighs a compilation (a kernel called a
            # handful of times for long), its arguments are the sample and no second call is lost.
            self._first_call = False
            disp.impl = self._recorder(disp.impl, first=True)
            return
        if self.state is State.COMPILED and not self._new_types:
            return
        self._flush()
        gate_says = self.gate.should_compile(self.func_id, self.ledger)
        by_time = self.state is State.INTERPRETED and worth_compiling(
            disp.spent_ns, self._cost(), self.policy.worth_factor)
        if not (gate_says or by_time):
            calls = disp.calls
            if calls >= self.gate.get_threshold(self.func_id):
                # At the threshold but refused (a recompilation too soon): ask again later.
                disp.arm(calls * 2, -1.0 if self.state is State.COMPILED else
                         time_trigger_ns(self._cost(), self.policy.worth_factor, disp.spent_ns))
            else:
                self._arm()
            return
        if self.state is State.COMPILED:
            self._record_new = True  # the next call of argument types without a version is recorded
            return
        self.state = State.COMPILING
        self._idle.clear()
        disp.impl = self._recorder(disp.impl, first=False)

    def _recorder(self, previous: Callable[..., Any], first: bool) -> Callable[..., Any]:
        """An implementation for one call: runs it interpreted, keeping copies of its arguments,
        their state after it and its result, then hands them to the worker (after a first call, only
        when that call alone made the function worth compiling)."""
        taken = threading.Lock()

        def record(*args: Any, **kwargs: Any) -> Any:
            if not taken.acquire(blocking=False):  # another thread's call is the one recorded
                return previous(*args, **kwargs)
            if self.disp.impl is record:
                self.disp.impl = previous
            return self._record_call(args, kwargs, first)

        return record

    def _record_call(self, args: tuple[Any, ...], kwargs: dict[str, Any], first: bool) -> Any:
        func = self.func
        positional = self._bind(args, kwargs)
        if positional is None:  # keyword-only parameters, *args: not for the compiler
            with self._lock:
                self.state, self.reason = State.FAILED, "parameters the compiler cannot take (keyword-only or variadic)"
                self.disp.arm(-1, -1.0)
                self._idle.set()
            return func(*args, **kwargs)
        before = _copy_args(positional)
        t0 = time.perf_counter_ns()
        try:
            result = func(*args, **kwargs)
        except BaseException:
            if not first:
                with self._lock:
                    self.state = State.COMPILED if self.signatures else State.INTERPRETED
                    self._idle.set()
                    self._arm()
            raise
        elapsed = time.perf_counter_ns() - t0
        if first:
            if not worth_compiling(float(elapsed), self._cost(), self.policy.worth_factor):
                with self._lock:
                    self._arm()
                return result
            with self._lock:
                if self.state is not State.INTERPRETED:
                    return result
                self.state = State.COMPILING
                self._idle.clear()
        sample = _Sample(before, _copy_args(positional), _copy(result), elapsed)
        _WORKER.submit(lambda: self._compile(sample))
        return result

    def _bind(self, args: tuple[Any, ...], kwargs: dict[str, Any]) -> Optional[tuple[Any, ...]]:
        if not self._positional_only:
            return None
        if not kwargs:
            if len(args) == len(self._signature.parameters):
                return args
        bound = self._signature.bind(*args, **kwargs)
        bound.apply_defaults()
        return tuple(bound.args)

    def _finish(self, state: State, reason: str = "") -> None:
        with self._lock:
            self.state, self.reason = state, reason
            self._idle.set()

    def _make_jitted(self, nb: Any) -> Any:
        if self._jitted is None:
            options = {"nogil": True, "cache": self._cache is not None}
            with _numba_config_lock:
                # The compiler's cache goes under ours; its locator reads the setting when the
                # dispatcher is made.
                saved = nb.config.CACHE_DIR
                if self._cache is not None:
                    nb.config.CACHE_DIR = str(self._cache.numba_dir)
                try:
                    try:
                        self._jitted = nb.njit(**options)(self.func)
                    except RuntimeError:  # no cache locator for where it was defined
                        self._jitted = nb.njit(nogil=True)(self.func)
                finally:
                    nb.config.CACHE_DIR = saved
            _compilable(self._jitted, False)  # the caller's path never compiles
        return self._jitted

    def _compile(self, sample: _Sample) -> None:
        """Worker thread: compile for the sample's types, check and time against the interpreter,
        then install, or mark failed/reverted."""
        nb = _load_compiler()
        if nb is None:
            self._finish(State.INTERPRETED)
            return
        try:
            jitted = self._make_jitted(nb)
            sig = tuple(nb.typeof(a) for a in sample.before)
        except Exception as exc:
            self._fail(f"argument types the compiler does not know: {failure_reason(str(exc))}")
            return
        if sig in self.signatures:  # types another call had compiled meanwhile
            self._finish(State.COMPILED)
            return
        t0 = time.perf_counter()
        _compilable(jitted, True)
        try:
            jitted.compile(sig)
        except Exception as exc:
            _compilable(jitted, False)
            self._fail(failure_reason(str(exc)), sig)
            return
        _compilable(jitted, False)
        self.compile_seconds = time.perf_counter() - t0
        _COMPILE_COSTS.add(self.compile_seconds)
        self._verify_and_install(jitted, sig, sample)

    def _fail(self, reason: str, sig: Any = None) -> None:
        logger.info("velkora.jit: %s%s stays interpreted: the compiler refused it: %s",
                    self.func_id, "" if sig is None else f"{sig}", reason)
        with self._lock:
            compiled = bool(self.signatures)
            self.state = State.COMPILED if compiled else State.FAILED
            self.reason = "" if compiled else reason
            self._new_types = 0
        if not compiled and self._cache is not None:
            self._cache.store(State.FAILED, reason, [], self.gate.get_threshold(self.func_id), 0.0)
        self._idle.set()  # last: a waiter may end the process, and the cache entry must be there

    def _verify_and_install(self, jitted: Any, sig: Any, sample: _Sample) -> None:
        pol = self.policy
        long_call = sample.elapsed_ns >= pol.long_call_s * 1e9
        reps = 1 if long_call else 5
        compiled_ns = float("inf")
        result: Any = None
        after: tuple[Any, ...] = ()
        try:
            for _ in range(reps):
                args = _copy_args(sample.before)
                t0 = time.perf_counter_ns()
                result = jitted(*args)
                compiled_ns = min(compiled_ns, time.perf_counter_ns() - t0)
                after = args
        except Exception as exc:
            self._revert(f"the compiled version raised {type(exc).__name__}: {failure_reason(str(exc))}")
            return
        if self.check and not (same_result(sample.result, result, pol.rel_tol)
                               and _args_agree(sample.after, after, pol.rel_tol)):
            self._revert(f"compiled result {_short(result)} differs from the interpreter's "
                         f"{_short(sample.result)} for argument types {sig}", warn=True)
            return
        interp_ns = float(sample.elapsed_ns)
        if not long_call:  # cheap to repeat: a steadier figure than one call
            for _ in range(reps):
                args = _copy_args(sample.before)
                t0 = time.perf_counter_ns()
                self.func(*args)
                interp_ns = min(interp_ns, float(time.perf_counter_ns() - t0))
        measured = speedup(interp_ns, compiled_ns)
        self.ledger.record_compilation(self.func_id, measured)
        self.gate.update(self.func_id, self.ledger)
        if not keep_compiled(measured, pol.min_speedup):
            self._revert(f"compiled version measured slower ({measured:.2f}x the interpreter's speed)")
            return
        self._install(jitted, sig, measured, check_calls=0 if long_call or not self.check else pol.check_calls)

    def _install(self, jitted: Any, sig: Any, measured: float, check_calls: int) -> None:
        with self._lock:
            self.signatures.append(sig)
            self.speedup = measured
            self.state, self.reason = State.COMPILED, ""
            self._new_types = 0
            self._checks_left = check_calls
            self.disp.on_error = self._on_error
            self.disp.impl = self._checked if check_calls else jitted
            self.disp.arm(-1, -1.0)
        logger.debug("velkora.jit: %s compiled for %s (%.1fx)", self.func_id, sig, measured)
        if self._cache is not None:
            self._cache.store(State.COMPILED, "", self.signatures, self.gate.get_threshold(self.func_id),
                              measured)
        self._idle.set()

    def _revert(self, reason: str, warn: bool = False) -> None:
        (logger.warning if warn else logger.info)("velkora.jit: %s reverted to the interpreter: %s",
                                                  self.func_id, reason)
        with self._lock:
            self.disp.impl = self.func
            self.disp.on_error = None
            self.state, self.reason = State.REVERTED, reason
            self.disp.arm(-1, -1.0)
        if self._cache is not None:
            self._cache.store(State.REVERTED, reason, [], self.gate.get_threshold(self.func_id), 0.0)
        self._idle.set()

    def _checked(self, *args: Any, **kwargs: Any) -> Any:
        """The first calls after a compilation: the interpreter runs on the caller's arguments and its
        result is what the caller gets; the compiled version runs on copies and must agree."""
        positional = self._bind(args, kwargs) or args
        copies = _copy_args(positional)
        expected = self.func(*args, **kwargs)
        try:
            got = self._jitted(*copies)
        except TypeError as exc:
            if _NO_MATCH not in str(exc):
                self._revert(f"the compiled version raised TypeError: {failure_reason(str(exc))}", warn=True)
                return expected
            self._new_types += 1
            if self._new_types == 1:
                self._arm_for_new_types()
            return expected
        except Exception as exc:
            self._revert(f"the compiled version raised {type(exc).__name__} where the interpreter did not: "
                         f"{failure_reason(str(exc))}", warn=True)
            return expected
        if not (same_result(expected, got, self.policy.rel_tol)
                and _args_agree(positional, copies, self.policy.rel_tol)):
            self._revert(f"compiled result {_short(got)} differs from the interpreter's "
                         f"{_short(expected)} for arguments {_short(positional)}", warn=True)
            return expected
        with self._lock:
            self._checks_left -= 1
            if self._checks_left <= 0 and self.state is State.COMPILED:
                self.disp.impl = self._jitted
        return expected

    def _on_error(self, disp: Dispatcher, exc: BaseException, args: tuple[Any, ...],
                  kwargs: Optional[dict[str, Any]]) -> Any:
        """A TypeError from compiled code: argument types it has no version for run interpreted (and
        count toward a recompilation); any other TypeError is the function's own."""
        if _NO_MATCH not in str(exc):
            raise exc
        kwargs = kwargs or {}
        if self._record_new and self.state is State.COMPILED:
            with self._lock:
                take = self._record_new and self.state is State.COMPILED
                if take:
                    self._record_new = False
                    self.state = State.COMPILING
                    self._idle.clear()
            if take:
                return self._record_call(args, kwargs, first=False)
        self._new_types += 1
        if self._new_types == 1:
            self._arm_for_new_types()
        return self.func(*args, **kwargs)

    def _arm_for_new_types(self) -> None:
        self.disp.arm(next_check_count(self.disp.calls, self.gate.get_threshold(self.func_id)), -1.0)

    # -- warm start and fork --

    def warm_start(self) -> bool:
        """Applies a cached outcome: compiled code is loaded in the background, a refusal or a revert
        stands. True when the cache decided."""
        if self._cache is None:
            return False
        entry = self._cache.load()
        if entry is None:
            return False
        state = State(entry["state"])
        if state in (State.FAILED, State.REVERTED):
            self.state, self.reason = state, f"{entry.get('reason', '')} (remembered)"
            return True
        blob = entry.get("signature_blob")
        if state is not State.COMPILED or not isinstance(blob, str) or not blob:
            return False
        self.state = State.COMPILING
        self._idle.clear()
        if self.policy.load_cached_at_decoration:
            # Loading beside a busy caller shares the interpreter lock with it and took seconds;
            # here, before the program calls the function, it takes what eager compilation's
            # import does, and the first call is already compiled.
            self._load_cached(blob, entry.get("speedup"))
        else:
            _WORKER.submit(lambda: self._load_cached(blob, entry.get("speedup")))
        return True

    def _load_cached(self, blob: str, speedup_entry: Any) -> None:
        nb = _load_compiler()
        if nb is None:
            self._finish(State.INTERPRETED)
            return
        try:
            measured = float(speedup_entry)
            sigs = pickle.loads(bytes.fromhex(blob))
            if not isinstance(sigs, list):
                raise ValueError("signatures are not a list")
            jitted = self._make_jitted(nb)
            _compilable(jitted, True)
            try:
                for sig in sigs:
                    jitted.compile(sig)  # from the compiler's cache when it is warm
            finally:
                _compilable(jitted, False)
        except Exception as exc:
            logger.debug("velkora.jit: cached code for %s not usable (%s); starting over", self.func_id, exc)
            with self._lock:
                self.state = State.INTERPRETED
                self._idle.set()
                self._arm()
            return
        with self._lock:
            self.signatures = list(sigs)
            self.speedup = measured
            self.state = State.COMPILED
            self.disp.on_error = self._on_error
            self.disp.impl = jitted
            self._idle.set()

    def _after_fork(self) -> None:
        self._lock = threading.Lock()
        if self.state is State.COMPILING:  # its job was the parent's
            self.disp.impl = self.func
            self.state = State.INTERPRETED if not self.signatures else State.COMPILED
            if self.signatures and self._jitted is not None:
                self.disp.impl = self._jitted
            self._idle.set()
            self._arm()


def _compilable(jitted: Any, flag: bool) -> None:
    # The compiler's own switch (its disable_compile() refuses a dispatcher with no version yet). Off,
    # a call with argument types it has no version for raises TypeError instead of compiling on the
    # caller's path; the worker turns it on only around its own compile().
    jitted._can_compile = flag


def _short(value: Any, limit: int = 80) -> str:
    text = repr(value)
    return text if len(text) <= limit else text[: limit - 3] + "..."


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
        driver = _Driver(f, disp, func_id, gate, ledger, pol, bool(check), bool(cache))
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
