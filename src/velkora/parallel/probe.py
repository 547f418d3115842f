"""Measuring a function for the decision: its source, its first items, two threads, its arguments.

Everything here runs the user's items in the caller, in input order, and keeps their results: an item
is never run twice, so probing costs only the difference between running those items here and
running them elsewhere.
"""

from __future__ import annotations

import ast
import functools
import inspect
import io
import logging
import os
import pickle
import sys
import textwrap
import threading
import time
import weakref
from collections.abc import Callable, Sequence
from dataclasses import dataclass, replace
from typing import Any

from velkora.parallel.decision import MIN_PARALLEL_SECONDS, Host, Profile

logger = logging.getLogger(__name__)

PROBE_SECONDS = 0.005           # time the first items for at least this long
PROBE_FRACTION = 0.05           # but run no more than this share of the items here
THREAD_PROBE_SECONDS = 0.010    # each of the two probe threads works this long
LARGE_ARRAY_BYTES = 1 << 20     # arrays this large travel through shared memory, not pickles
WORKER_ENV = "VELKORA_PARALLEL_WORKER"

# Methods that change the object they are called on: called on a name the function does not own,
# they change state another call will see.
_MUTATORS = frozenset({"append", "extend", "insert", "add", "update", "setdefault", "pop", "popitem",
                       "remove", "discard", "clear", "appendleft", "extendleft", "put", "put_nowait",
                       "write", "send", "__setitem__"})


def target_of(func: Callable[..., Any]) -> Any:
    """The code a callable runs: through partials, bound methods and callable instances."""
    while isinstance(func, functools.partial):
        func = func.func
    inner = getattr(func, "__func__", None)         # a bound method
    if inner is not None:
        return inner
    if not inspect.isfunction(func) and not inspect.isbuiltin(func) and hasattr(type(func), "__call__"):
        call = getattr(type(func), "__call__")
        if inspect.isfunction(call):
            return call
    return func


def ledger_key(func: Callable[..., Any]) -> Any:
    """What the ledger remembers a function by: its code object, so that a closure or lambda made
    afresh for each map is still the same function; a builtin or other callable by itself."""
    target = target_of(func)
    return getattr(target, "__code__", target)


# ---- static evidence ---------------------------------------------------------------------------

def _analysis_pattern(text: str, filename: str) -> str:
    """The workload pattern the analysis gives the first function of `text` (the one adapter to
    velkora.analysis: if that module moves, only this function changes)."""
    from velkora import analysis

    reports = analysis.analyze_source(text, filename, False, None)
    return reports[0].pattern if reports else "UNKNOWN"


def shared_state(tree: ast.Module) -> str:
    """Why calls of the first function in `tree` would see each other's effects, or "" if they
    would not: global/nonlocal statements, or a name it does not own changed in place (an item or
    attribute stored, a mutating method called)."""
    fn = next((n for n in tree.body if isinstance(n, (ast.FunctionDef, ast.AsyncFunctionDef))), None)
    if fn is None:
        return ""
    args = fn.args
    owned = {a.arg for a in (*args.posonlyargs, *args.args, *args.kwonlyargs)}
    owned |= {a.arg for a in (args.vararg, args.kwarg) if a is not None}
    nodes: list[ast.AST] = []
    stack: list[ast.AST] = list(fn.body)
    while stack:                        # the body, without nested definitions
        node = stack.pop()
        nodes.append(node)
        if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef, ast.Lambda)):
            continue
        stack.extend(ast.iter_child_nodes(node))
    for node in nodes:
        if isinstance(node, (ast.Global, ast.Nonlocal)):
            return f"{type(node).__name__.lower()} {', '.join(node.names)}"
        if isinstance(node, ast.Name) and isinstance(node.ctx, ast.Store):
            owned.add(node.id)
        elif isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)):
            owned.add(node.name)
        elif isinstance(node, ast.alias):
            owned.add((node.asname or node.name).split(".")[0])
    for node in nodes:
        base: ast.expr | None = None
        if isinstance(node, (ast.Subscript, ast.Attribute)) and isinstance(node.ctx, (ast.Store, ast.Del)):
            base = node.value
        elif (isinstance(node, ast.Call) and isinstance(node.func, ast.Attribute)
              and node.func.attr in _MUTATORS):
            base = node.func.value
        if isinstance(base, ast.Name) and base.id not in owned:
            return f"changes {base.id}, which it does not own"
    return ""


def static_evidence(func: Callable[..., Any]) -> tuple[str, bool, str]:
    """(pattern name, calls share state, why) from the function's source; ("UNKNOWN", False, ...)
    where there is no source to read (a builtin, a lambda, code typed at a prompt). Costs one parse of
    the function's source, about a millisecond."""
    target = target_of(func)
    if getattr(target, "__name__", "") == "<lambda>":
        return "UNKNOWN", False, "a lambda"
    try:
        text = textwrap.dedent(inspect.getsource(target))
        tree = ast.parse(text)
    except (OSError, TypeError, SyntaxError, ValueError):
        return "UNKNOWN", False, "no source"
    why = shared_state(tree)
    try:
        pattern = _analysis_pattern(text, getattr(target, "__qualname__", "<function>"))
    except Exception as exc:        # the analysis is evidence, never a reason to fail a map
        logger.debug("workload analysis failed for %r: %s", target, exc)
        pattern = "UNKNOWN"
    return pattern, bool(why), why


# ---- arguments ------------------------------------------------------------------------------------

def in_arena(array: Any) -> bool:
    """Whether `array` (or what it views) lives in a shared-memory arena: it travels as a handle
    already. O(length of its base chain)."""
    heap = sys.modules.get("velkora.memory.arena_heap")
    if heap is None:
        return False
    base = array
    while base is not None:
        if isinstance(base, heap.Block):
            return True
        base = getattr(base, "base", None)
    return False


def is_large_array(obj: object) -> bool:
    """A NumPy array worth sharing instead of pickling, not in an arena yet (never imports NumPy)."""
    np = sys.modules.get("numpy")
    return (np is not None and isinstance(obj, np.ndarray) and obj.nbytes >= LARGE_ARRAY_BYTES
            and not in_arena(obj))


class _SizingPickler(pickle.Pickler):
    """Pickles like the process backend will send: large arrays as a token, counted apart."""

    def __init__(self, file: io.BytesIO) -> None:
        super().__init__(file, protocol=pickle.HIGHEST_PROTOCOL)
        self.shared: dict[int, int] = {}

    def persistent_id(self, obj: object) -> Any:
        if is_large_array(obj):
            self.shared[id(obj)] = int(obj.nbytes)  # type: ignore[attr-defined]
            return id(obj)
        return None


def transfer_cost(args: Sequence[Any], results: Sequence[Any]) -> tuple[float, int, bool]:
    """(seconds per item to pickle and load an argument and its result, bytes of one pickled
    argument, picklable), from a sample of items pickled as one list, as a chunk travels. Large arrays
    count as the handles they travel as."""
    k = max(1, len(args))
    sizing = "numpy" in sys.modules
    start = time.perf_counter()
    try:
        sizes = []
        for objs in (list(args), list(results)):
            if sizing:
                buf = io.BytesIO()
                p = _SizingPickler(buf)
                p.dump(objs)
                data = buf.getvalue()
                if not p.shared:
                    pickle.loads(data)
            else:
                data = pickle.dumps(objs, protocol=pickle.HIGHEST_PROTOCOL)
                pickle.loads(data)
            sizes.append(len(data))
    except Exception:
        return 0.0, 0, False
    return (time.perf_counter() - start) / k, sizes[0] // k, True


# ---- running the first items -------------------------------------------------------------------

@dataclass
class Probe:
    """The results of the items run while probing (items[0:len(results)]) and the profile."""

    results: list[Any]
    profile: Profile


def call_item(func: Callable[[Any], Any], items: Sequence[Any], index: int) -> Any:
    """func(items[index]); an exception gets a note naming the item's index."""
    try:
        return func(items[index])
    except BaseException as exc:
        if isinstance(exc, Exception):
            exc.add_note(f"raised by item {index} of the map")
        raise


def _two_threads(func: Callable[[Any], Any], items: Sequence[Any], start: int, per_thread: int,
                 out: list[Any]) -> tuple[float, float]:
    """Runs items[start:start + 2*per_thread] on two threads at once, results into `out`; (wall
    time, process CPU time). The first error is re-raised after both threads stop."""
    results: list[Any] = [None] * (2 * per_thread)
    errors: list[tuple[int, BaseException]] = []
    barrier = threading.Barrier(3)

    def work(offset: int) -> None:
        barrier.wait()
        for k in range(offset, offset + per_thread):
            try:
                results[k] = call_item(func, items, start + k)
            except BaseException as exc:
                errors.append((start + k, exc))
                return

    threads = [threading.Thread(target=work, args=(o,), daemon=True) for o in (0, per_thread)]
    for t in threads:
        t.start()
    c0 = time.process_time()
    barrier.wait()
    t0 = time.perf_counter()
    for t in threads:
        t.join()
    wall = time.perf_counter() - t0
    cpu = time.process_time() - c0
    if errors:
        raise min(errors, key=lambda e: e[0])[1]
    out.extend(results)
    return wall, cpu


def measure(func: Callable[[Any], Any], items: Sequence[Any], host: Host, static: tuple[str, bool, str],
            try_pickle: bool) -> Probe:
    """Runs the first items here to measure them: one by one, then in doubling batches until
    PROBE_SECONDS have passed (at most PROBE_FRACTION of the items); then, if the rest is long enough
    to be worth spreading, a batch on two threads at once. Costs about 25 ms of the map's own work
    (fewer items: less), run here rather than in parallel."""
    pattern, carries, why = static
    n = len(items)
    out: list[Any] = []
    if n == 0:
        return Probe(out, Profile(pattern, carries, why))
    limit = max(1, int(n * PROBE_FRACTION))
    wall = cpu = 0.0
    batch = 1
    while len(out) < limit:
        count = min(batch, limit - len(out))
        w0, c0 = time.perf_counter(), time.thread_time()
        base = len(out)
        for i in range(base, base + count):
            out.append(call_item(func, items, i))
        wall += time.perf_counter() - w0
        cpu += time.thread_time() - c0
        if wall >= PROBE_SECONDS or carries:
            break
        batch *= 2
    item_s = wall / len(out)
    profile = Profile(pattern, carries, why, item_seconds=item_s,
                      cpu_fraction=min(1.0, cpu / wall) if wall > 0 else 1.0, probed_items=len(out))
    rest = n - len(out)
    if try_pickle:
        sample = min(len(out), 1000)
        seconds, size, ok = transfer_cost(items[:sample], out[:sample])
        profile = replace(profile, transfer_seconds=seconds, arg_bytes=size, picklable=ok)
    if not carries and host.cores > 1 and rest >= 4 and rest * item_s >= MIN_PARALLEL_SECONDS:
        per_thread = max(1, min(rest // 4, limit, int(THREAD_PROBE_SECONDS / item_s) if item_s > 0 else 1))
        start = len(out)
        two, cpu = _two_threads(func, items, start, per_thread, out)
        if two > 0:
            profile = replace(profile, thread_gain=2 * per_thread * item_s / two, thread_cpu=cpu / two,
                              probed_items=len(out))
    return Probe(out, profile)


# ---- the ledger ------------------------------------------------------------------------------------

class Ledger:
    """Profiles by function (ledger_key), so that a second map of a function skips the probing.

    Weakly keyed where the key allows it, so a ledger entry never keeps a function's code alive.
    """

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._weak: weakref.WeakKeyDictionary[Any, Profile] = weakref.WeakKeyDictionary()
        self._strong: dict[Any, Profile] = {}

    def get(self, func: Callable[..., Any]) -> Profile | None:
        """The remembered profile of `func`, or None. A dictionary lookup."""
        key = ledger_key(func)
        try:
            return self._weak.get(key)
        except TypeError:
            return self._strong.get(key)

    def put(self, func: Callable[..., Any], profile: Profile) -> None:
        """Remembers `profile` for `func` (replacing what was there)."""
        key = ledger_key(func)
        with self._lock:
            try:
                self._weak[key] = profile
            except TypeError:
                self._strong[key] = profile

    def forget(self, func: Callable[..., Any] | None = None) -> None:
        """Forgets `func`, or every function when None."""
        with self._lock:
            if func is None:
                self._weak.clear()
                self._strong.clear()
                return
            key = ledger_key(func)
            try:
                self._weak.pop(key, None)
            except TypeError:
                self._strong.pop(key, None)


_in_worker: bool | None = None


def in_worker() -> bool:
    """Whether this process is one of our worker processes (set when it starts, read once)."""
    global _in_worker
    if _in_worker is None:
        _in_worker = os.environ.get(WORKER_ENV) == "1"
    return _in_worker
