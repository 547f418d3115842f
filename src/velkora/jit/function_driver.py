"""The state machine of one function under the compile driver (`velkora.jit.adaptive`): counting and
sampling through its native Dispatcher, recording a call, compiling on the worker thread, checking and
timing against the interpreter, installing or reverting, and starting warm from the disk cache."""

from __future__ import annotations

import importlib.util
import inspect
import logging
import os
import pickle
import sys
import threading
import time
from typing import Any, Callable, Optional

from velkora.jit import compiler
from velkora.jit.adaptive_policy import (DriverPolicy, State, expected_compile_cost, failure_reason,
                                         held_until, load_compiler_early, ship_before_the_call,
                                         keep_compiled, next_check_count, same_result, speedup,
                                         time_trigger_ns, worth_compiling)
from velkora.jit.cache import _CacheEntry, _source_hash, cache_dir
from velkora.jit.checks import _NO_MATCH, _args_agree, _copy, _copy_args, _Sample, _short, Trial, run_trial
from velkora.jit.compile_gate import CompileGate, FunctionMetrics, get_compile_gate
from velkora.jit.compiler import (_COMPILE_COSTS, _WORKER, _compilable, _load_compiler,
                                  compiler_available)
from velkora.jit.dispatch import Dispatcher, Ledger

logger = logging.getLogger(__name__)

_LEDGER = Ledger()  # the process-wide ledger of dispatchers' counters

# In the compiler's refusal when a global it cannot type is a decorated function (one with no version
# it may use yet); such a refusal is asked again a few times before it counts.
_CALLEE_NOT_READY = "velkora.jit.dispatch.Dispatcher"


_MAY_COMPILE_ELSEWHERE: Optional[bool] = None


def _process_may_compile() -> bool:
    """Whether compilations can go to the compile process (another core): then the program pays only
    for loading the compiled code. Looked up once per process."""
    global _MAY_COMPILE_ELSEWHERE
    if _MAY_COMPILE_ELSEWHERE is None:
        from velkora.jit.shipping import process_allowed

        _MAY_COMPILE_ELSEWHERE = (os.cpu_count() or 1) > 1 and process_allowed(
            dict(os.environ), sys.platform, sys.executable, bool(getattr(sys, "frozen", False)))
    return _MAY_COMPILE_ELSEWHERE
_CALLEE_WAITS = 4


def _watched() -> bool:
    """Whether this thread's calls are profiled or traced (a profiler, a debugger, velkora's own
    measurement): the compiler's import would run under it here, several times slower, and is left
    to the worker thread, which such tools leave alone."""
    if sys.getprofile() is not None or sys.gettrace() is not None:
        return True
    monitoring = getattr(sys, "monitoring", None)
    if monitoring is None:
        return False
    tools = [t for t in (monitoring.get_tool(i) for i in range(6)) if t is not None]
    if tools == ["velkora"]:
        # velkora's own measurement with sampled times sees library code once, at its first call:
        # the import costs little more here than unmeasured, and half what it costs on the worker
        # thread beside a busy caller.
        from velkora.monitoring import call_trace

        return not (call_trace.running() and call_trace.timing() == "sampled")
    return bool(tools)


class _Meeting:
    """Where the answer to a compilation shipped before its recorded call meets that call's sample:
    whichever comes second hands both on."""

    _CANCELLED = _Sample((), (), None, 0)

    def __init__(self, on_both: Callable[[Optional[dict[str, Any]], _Sample], None]) -> None:
        self._lock = threading.Lock()
        self._on_both = on_both
        self._reply: Optional[dict[str, Any]] = None
        self._replied = False
        self._sample: Optional[_Sample] = None

    def reply(self, reply: Optional[dict[str, Any]]) -> None:
        with self._lock:
            self._reply, self._replied, sample = reply, True, self._sample
        if sample is not None and sample is not self._CANCELLED:
            self._on_both(reply, sample)

    def sample(self, sample: _Sample) -> None:
        with self._lock:
            self._sample, replied, reply = sample, self._replied, self._reply
        if replied:
            self._on_both(reply, sample)

    def cancel(self) -> None:
        with self._lock:
            self._sample = self._CANCELLED


class _Driver:
    """The state machine of one decorated function (reachable as `f.adaptive`)."""

    def __init__(self, func: Callable[..., Any], disp: Dispatcher, func_id: str,
                 gate: Optional[CompileGate], ledger: Any, policy: DriverPolicy, check: bool,
                 cache: bool, interpreted: Optional[Callable[..., Any]] = None) -> None:
        # `func` is what the compiler gets; `interpreted` (func unless recursion.direct_self_calls
        # made a copy) is what runs interpreted.
        self.func = interpreted if interpreted is not None else func
        self.source, self.disp, self.func_id = func, disp, func_id
        self._gate, self._user_ledger = gate, ledger
        self.policy, self.check = policy, check
        self.state = State.INTERPRETED
        self.reason = ""
        self.speedup: Optional[float] = None
        self.compiled_after: Optional[int] = None  # calls made before the compiled code took over
        self.compile_seconds: Optional[float] = None
        self.signatures: list[Any] = []
        self._lock = threading.Lock()
        self._idle = threading.Event()
        self._idle.set()
        self._jitted: Any = None
        self._checks_left = 0
        self._new_types = 0
        self._callee_waits = 0
        self._first_call = True
        self._record_new = False
        self._flushed_calls = 0
        self._flushed_ns = 0.0
        self._signature = inspect.signature(func)
        self._positional_only = all(
            p.kind in (p.POSITIONAL_ONLY, p.POSITIONAL_OR_KEYWORD) for p in self._signature.parameters.values())
        self._cache: Optional[_CacheEntry] = None
        self._remote: Optional[bool] = None  # compiled in the compile process; None: not tried yet
        self._spec: Optional[dict[str, Any]] = None
        self._jitted_dir: Optional[str] = None
        self._outcome_on_disk = False  # the cache holds a real outcome (not only how far a run got)
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
        return expected_compile_cost(self.policy, _COMPILE_COSTS.mean(), compiler_available() is True,
                                     elsewhere=self._remote is not False and _process_may_compile())

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
        # A try that waited for a callee is made again at the count it was armed for, whatever the
        # gate's pause between compilations says (nothing was compiled).
        gate_says = (self.state is State.INTERPRETED and self._callee_waits > 0) or \
            self.gate.should_compile(self.func_id, self.ledger)
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
        meeting: Optional[_Meeting] = None
        if not first and self.disp.calls and ship_before_the_call(self.disp.spent_ns / self.disp.calls, self.policy):
            # A long call: its types are all the compilation needs, so it starts now, beside this
            # call, rather than after it.
            meeting = _Meeting(lambda reply, sample: _WORKER.submit(lambda: self._compiled_there(reply, sample)))
            if not self._ship_safely(before, None, meeting.reply):
                meeting = None
        t0 = time.perf_counter_ns()
        try:
            result = func(*args, **kwargs)
        except BaseException:
            if meeting is not None:
                meeting.cancel()  # its answer, when it comes, is dropped
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
        if meeting is not None:
            meeting.sample(sample)
            return result
        if not self._ship_safely(sample.before, sample,
                                 lambda reply: _WORKER.submit(lambda: self._compiled_there(reply, sample))):
            _WORKER.submit(lambda: self._compile_here(sample))
        return result

    def _ship_safely(self, before: tuple[Any, ...], sample: Optional[_Sample],
                     on_reply: Callable[[Optional[dict[str, Any]]], None]) -> bool:
        """Caller's thread: `_ship`, where a fault of ours must not fail the caller's call (the
        function is compiled here instead)."""
        try:
            return self._ship(before, sample, on_reply)
        except Exception:
            logger.debug("velkora.jit: shipping %s failed", self.func_id, exc_info=True)
            return False

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

    def _numba_dir(self) -> Optional[str]:
        """Where this function's compiled code is kept on disk: under our cache, else (compiled in
        the compile process, which hands it over through the compiler's cache) in the program's
        scratch cache; None for no disk cache."""
        if self._cache is not None:
            return str(self._cache.numba_dir)
        if not self._remote:
            return None
        from velkora.jit.compile_process import PROCESS

        return PROCESS.scratch_dir()

    def _make_jitted(self, nb: Any) -> Any:
        if self._jitted is None:
            where = self._numba_dir()
            # The compile process makes its dispatcher with these same options: the compiler's
            # cache key does not include them.
            options = {"nogil": True, "cache": where is not None}
            with compiler._numba_config_lock:
                # The compiler's cache goes under ours; its locator reads the setting when the
                # dispatcher is made.
                saved = nb.config.CACHE_DIR
                if where is not None:
                    nb.config.CACHE_DIR = where
                try:
                    try:
                        self._jitted = nb.njit(**options)(self.source)
                        self._jitted_dir = where
                    except RuntimeError:  # no cache locator for where it was defined
                        self._jitted = nb.njit(nogil=True)(self.source)
                        self._remote = False
                finally:
                    nb.config.CACHE_DIR = saved
            _compilable(self._jitted, False)  # the caller's path never compiles
        return self._jitted

    # -- compiling in the compile process --

    def _ship(self, before: tuple[Any, ...], sample: Optional[_Sample],
              on_reply: Callable[[Optional[dict[str, Any]]], None]) -> bool:
        """Hands the compilation for the types of `before` to the compile process (with the
        recorded call's `sample`, when there is one and it is small enough, for a trial there) and
        loads the compiler here meanwhile; False when the function cannot go there (it is compiled
        here then)."""
        # Imported at the first compilation: subprocess and the bytecode walk cost milliseconds.
        from velkora.jit.compile_process import PROCESS as proc, ship_arguments, travels_whole
        from velkora.jit.shipping import Unshippable, describe

        if self._remote is False or not proc.available():
            return False
        if self._jitted is not None and self._jitted_dir is None:
            return False  # made without a disk cache, it has nothing to load from
        if compiler.compiler_available() is None and importlib.util.find_spec("numba") is None:
            return False  # no compiler here to load the code with: found out and said on this thread
        if self._spec is None:
            try:
                self._spec = describe(self.source)  # type: ignore[arg-type]
            except Unshippable as exc:
                logger.debug("velkora.jit: %s is compiled in this process: %s", self.func_id, exc)
                self._remote = False
                return False
        whole = sample is not None and travels_whole(before)
        args = ship_arguments(before, whole)
        trial = None
        if whole and sample is not None:
            try:
                trial = pickle.dumps({"after": sample.after, "result": sample.result,
                                      "elapsed_ns": sample.elapsed_ns, "long_call_s": self.policy.long_call_s,
                                      "rel_tol": self.policy.rel_tol, "check": self.check})
            except Exception:
                trial = None  # tried here then
        if args is None:
            return False
        self._remote = True
        job = {"func": self._spec, "args": args, "trial": trial, "cache_dir": self._numba_dir(),
               "options": {"nogil": True, "cache": True}}
        if not proc.submit(job, on_reply):
            if self._jitted is None:
                self._remote = None  # undecided again: compiled here without the scratch cache
            return False
        call_ns = float(sample.elapsed_ns) if sample is not None else float("inf")
        if load_compiler_early(call_ns, self.policy, trial is not None):
            # Loading the compiler here (mostly interpreted import work) overlaps the compilation
            # there; otherwise it waits for the verdict (code that is not kept needs none).
            if self.policy.load_early_on_caller and not _watched():
                self._prepare_here()
            else:
                _WORKER.submit(self._prepare_here)
        return True

    def _prepare_here(self) -> Any:
        nb = _load_compiler()
        if nb is not None:
            compiler._prepare_loading(nb)
        return nb

    def _compiled_there(self, reply: Optional[dict[str, Any]], sample: _Sample) -> None:
        """Worker thread: the compile process's answer. A version it tried and found wrong or slower
        is reverted without the compiler here; one to keep is loaded from the compiler's cache
        (compiling here when the process could not)."""
        reply = reply or {}
        kind = reply.get("kind")
        if kind == "types":
            self._fail(f"argument types the compiler does not know: {failure_reason(reply['reason'])}")
            return
        if kind == "refused":
            self._fail(failure_reason(reply["reason"]), reply["sig_text"])
            return
        trial = Trial(*reply["trial"]) if kind == "compiled" and reply.get("trial") else None
        if trial is not None:
            self.compile_seconds = float(reply["seconds"])
            _COMPILE_COSTS.add(self.compile_seconds)
            if not self._conclude(trial, sample, reply["sig_text"]):
                return
        nb = self._prepare_here()
        if nb is None:
            self._finish(State.INTERPRETED)
            return
        if kind != "compiled":
            logger.debug("velkora.jit: %s compiled in this process: %s", self.func_id,
                         reply.get("reason", "the compile process ended"))
            self._compile_here(sample)
            return
        try:
            jitted = self._make_jitted(nb)
            sig = pickle.loads(reply["sig"])
            own = tuple(nb.typeof(a) for a in sample.before)
        except Exception:
            self._compile_here(sample)
            return
        if own != sig:  # types that did not travel alike: compiled here for the real ones
            self._compile_here(sample)
            return
        if sig in self.signatures:
            self._finish(State.COMPILED)
            return
        _compilable(jitted, True)
        try:
            jitted.compile(sig)  # from the compiler's cache; a miss compiles here
        except Exception as exc:
            _compilable(jitted, False)
            self._fail(failure_reason(str(exc)), sig)
            return
        _compilable(jitted, False)
        if not jitted.stats.cache_hits.get(sig):
            logger.debug("velkora.jit: %s%s was not in the compiler's cache; compiled here", self.func_id, sig)
        if trial is not None:
            self._install(jitted, sig, trial.speedup, self._check_calls(sample))
            return
        self.compile_seconds = float(reply["seconds"])
        _COMPILE_COSTS.add(self.compile_seconds)
        self._verify_and_install(jitted, sig, sample)

    def _compile_here(self, sample: _Sample) -> None:
        """Worker thread: compile for the sample's types in this process, check and time against
        the interpreter, then install, or mark failed/reverted."""
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
        if not self.signatures and _CALLEE_NOT_READY in reason and self._callee_waits < _CALLEE_WAITS:
            # A decorated function it calls has no version to call yet (the callee gets hot later,
            # or compiles in the meantime): asked again after twice the calls and time so far.
            self._callee_waits += 1
            logger.debug("velkora.jit: %s waits for a decorated function it calls: %s", self.func_id, reason)
            with self._lock:
                self.state, self.reason = State.INTERPRETED, "waits for a decorated function it calls to be compiled"
                self._jitted = None  # the compiler's dispatcher keeps its refusal: the next try gets a new one
                self.disp.arm(2 * self.disp.calls + 1, 2 * self.disp.spent_ns + 1.0)
            self._idle.set()
            return
        logger.info("velkora.jit: %s%s stays interpreted: the compiler refused it: %s",
                    self.func_id, "" if sig is None else f"{sig}", reason)
        with self._lock:
            compiled = bool(self.signatures)
            self.state = State.COMPILED if compiled else State.FAILED
            self.reason = "" if compiled else reason
            self._new_types = 0
        if not compiled and self._cache is not None:
            self._outcome_on_disk = True
            self._cache.store(State.FAILED, reason, [], self.gate.get_threshold(self.func_id), 0.0)
        self._idle.set()  # last: a waiter may end the process, and the cache entry must be there

    def _verify_and_install(self, jitted: Any, sig: Any, sample: _Sample) -> None:
        pol = self.policy
        trial = run_trial(jitted, self.func, sample, pol.long_call_s, pol.rel_tol, self.check)
        if self._conclude(trial, sample, sig):
            self._install(jitted, sig, trial.speedup, self._check_calls(sample))

    def _check_calls(self, sample: _Sample) -> int:
        long_call = sample.elapsed_ns >= self.policy.long_call_s * 1e9
        return 0 if long_call or not self.check else self.policy.check_calls

    def _conclude(self, trial: Trial, sample: _Sample, sig: Any) -> bool:
        """Applies what a trial found: reverts a version that raised, disagreed or is slower, and
        says whether the compiled version is to be installed."""
        if trial.kind == "raised":
            self._revert(f"the compiled version raised {trial.detail}")
            return False
        if trial.kind == "differs":
            self._revert(f"compiled result {trial.detail} differs from the interpreter's "
                         f"{_short(sample.result)} for argument types {sig}", warn=True)
            return False
        self.ledger.record_compilation(self.func_id, trial.speedup)
        self.gate.update(self.func_id, self.ledger)
        if not keep_compiled(trial.speedup, self.policy.min_speedup):
            self._revert(f"{compiler.SLOWER} ({trial.speedup:.2f}x the interpreter's speed)")
            return False
        return True

    def _install(self, jitted: Any, sig: Any, measured: float, check_calls: int) -> None:
        calls = int(self.metrics().call_count)
        with self._lock:
            if self.compiled_after is None:
                self.compiled_after = calls
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
            self._outcome_on_disk = True
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
            self._outcome_on_disk = True
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
        stands, and a function whose last run ended before its compilation was answered waits until
        this run has gone further than that one. True when the cache decided."""
        if self._cache is None:
            return False
        entry = self._cache.load()
        if entry is None:
            return False
        state = State(entry["state"])
        if state is State.INTERPRETED:
            held = held_until(entry.get("run_calls"), entry.get("run_spent_ns"))
            if held is None:
                return False
            # A program that ends sooner than an answer comes gains nothing from asking: starting
            # the compile process and sharing the machine with it only slows it down.
            self._first_call = False
            self.disp.arm(*held)
            return True
        self._outcome_on_disk = True
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

    def at_exit(self) -> None:
        """The program is ending: a compilation still unanswered leaves a record of how far this run
        got (calls, time), so that the next run does not ask before it has gone further. A real
        outcome on disk is never replaced. Costs one small file write, only for such a function."""
        if self._cache is None or self._outcome_on_disk:
            return
        # Under the lock: an outcome concluded meanwhile is stored after this record, over it. A
        # thread of ours that holds it for long is not waited for: the exit does not wait.
        if not self._lock.acquire(timeout=0.1):
            return
        try:
            if self.state is not State.COMPILING or self.signatures:
                return
            self._cache.store(State.INTERPRETED, "the program ended before its compilation was answered", [],
                              self.gate.get_threshold(self.func_id), 0.0, run_calls=int(self.disp.calls),
                              run_spent_ns=float(self.disp.spent_ns))
        finally:
            self._lock.release()

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
            self.compiled_after = int(self.disp.calls)
            self.state = State.COMPILED
            self.disp.on_error = self._on_error
            self.disp.impl = jitted
            self._idle.set()

    def _after_fork(self) -> None:
        self._lock = threading.Lock()
        if self._jitted is not None and self._jitted_dir is not None and self._cache is None:
            # Its cache was the parent's scratch cache, which goes with the parent.
            from numba.core.caching import NullCache

            self._jitted._cache = NullCache()
            self._jitted_dir, self._remote = None, False
        if self.state is State.COMPILING:  # its job was the parent's
            self.disp.impl = self.func
            self.state = State.INTERPRETED if not self.signatures else State.COMPILED
            if self.signatures and self._jitted is not None:
                self.disp.impl = self._jitted
            self._idle.set()
            self._arm()

