"""Putting a program's own functions under the compile driver as their modules load, without editing them.

The script's and own modules' syntax trees get, after each module-level `def`, a rebinding of the name to
`__velkora_accelerate__(name)`; own modules are loaded through a finder that applies it (and writes no
bytecode cache, which would keep the rebinding). Which functions are handed to the driver is decided from
the static analysis (numeric work in loops); the others are left alone with the reason. All contact with
the driver goes through `Driver`, one small adapter.
"""

from __future__ import annotations

import ast
import importlib.abc
import importlib.machinery
import inspect
import logging
import os
import sys
import types
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from typing import Any

logger = logging.getLogger(__name__)

HOOK = "__velkora_accelerate__"
_PACKAGE_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__))) + os.sep
# Static patterns whose functions the compiler may take (numbers in loops, array arithmetic).
COMPILABLE_PATTERNS = frozenset({"CPU_INTENSIVE", "PARALLEL_FRIENDLY", "SEQUENTIAL", "GPU_SUITABLE",
                                 "GPU_COMPUTE_INTENSIVE", "MIXED", "NUMPY_VECTORIZED"})


def transform(tree: ast.Module) -> ast.Module:
    """`tree` with `name = __velkora_accelerate__(name)` after every module-level plain `def`."""
    body: list[ast.stmt] = []
    for stmt in tree.body:
        body.append(stmt)
        if isinstance(stmt, ast.FunctionDef):
            call = ast.Call(ast.Name(HOOK, ast.Load()), [ast.Name(stmt.name, ast.Load())], [])
            assign = ast.Assign([ast.Name(stmt.name, ast.Store())], call)
            body.append(ast.copy_location(assign, stmt))
    tree.body = body
    return ast.fix_missing_locations(tree)


def compile_accelerated(source: bytes | str, path: str, hook: str = HOOK) -> types.CodeType:
    """The module code of `source` with the rebinding to `hook` applied."""
    tree = ast.parse(source, path)
    return compile(transform(tree) if hook == HOOK else transform_with(tree, hook), path, "exec",
                   dont_inherit=True)


# ---- the adapter to the compile driver ------------------------------------------------------------

class Driver:
    """What velkora needs of the compile driver: wrapping a function, and reading back what became of
    it. `available` is False (with `missing` saying why) where the driver cannot be loaded."""

    def __init__(self) -> None:
        self.missing = ""
        self._adaptive: Callable[[Any], Any] | None = None
        try:
            from velkora import jit

            self._adaptive = getattr(jit, "adaptive")
        except (ImportError, AttributeError) as exc:
            self.missing = f"the compile driver (velkora.jit.adaptive) is unavailable: {exc}"

    @property
    def available(self) -> bool:
        return self._adaptive is not None

    def leave_unmeasured(self) -> None:
        """Has the driver's compile thread leave itself out of the running measurement: compiling
        is velkora's work, not the program's, and measuring it would slow it several times over."""
        from velkora.monitoring import call_trace

        try:
            from velkora.jit import driver
        except ImportError:
            return
        worker = getattr(driver, "_WORKER", None)
        if worker is not None and hasattr(worker, "submit"):
            worker.submit(call_trace.ignore_thread)

    def wrap(self, func: Any) -> Any:
        """The driver's stand-in for `func` (func itself when the driver refuses it)."""
        assert self._adaptive is not None
        return self._adaptive(func)

    @staticmethod
    def outcome(wrapped: Any, wait: float = 5.0) -> dict[str, Any]:
        """{state, reason, speedup, calls} of a wrapped function; a compilation in flight is waited
        for up to `wait` seconds."""
        d = getattr(wrapped, "adaptive", None)
        if d is None:
            return {"state": "interpreted", "reason": "not taken by the driver", "speedup": None, "calls": None}
        try:
            d.wait(wait)
        except Exception:
            pass
        state = getattr(d, "state", "interpreted")
        calls = None
        try:
            calls = int(d.metrics().call_count)
        except Exception:
            pass
        # "compiled after N calls": the count when the compiled code took over, not at the end.
        after = getattr(d, "compiled_after", None)
        return {"state": str(getattr(state, "value", state)), "reason": str(getattr(d, "reason", "") or ""),
                "speedup": getattr(d, "speedup", None), "calls": after if after is not None else calls,
                "total_calls": calls}


# ---- deciding and wrapping ------------------------------------------------------------------------

def _static_patterns(path: str) -> dict[str, str]:
    """{function name: static pattern} of one file; empty when it cannot be analysed."""
    from velkora.analysis import analyze_source

    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            text = f.read()
        return {r.function: r.pattern for r in analyze_source(text, path, False, None)}
    except (OSError, SyntaxError, ValueError, RecursionError, MemoryError):
        return {}


def leave_alone_reason(func: Any, pattern: str | None) -> str | None:
    """Why `func` is not handed to the compiler, or None to hand it over."""
    if not inspect.isfunction(func):
        return "not a plain function"
    flags = func.__code__.co_flags
    if flags & (inspect.CO_GENERATOR | inspect.CO_COROUTINE | inspect.CO_ASYNC_GENERATOR):
        return "a generator or coroutine"
    if func.__code__.co_freevars:
        return "a closure"
    if pattern is not None and pattern not in COMPILABLE_PATTERNS:
        return f"static pattern {pattern}: not numeric work the compiler takes"
    return None


@dataclass
class Accelerator:
    """Wraps the program's functions as their modules load and remembers what became of each."""
    root: str
    driver: Driver = field(default_factory=Driver)
    wrapped: dict[str, Any] = field(default_factory=dict)         # "file:qualname" -> stand-in
    left: dict[str, str] = field(default_factory=dict)            # "file:qualname" -> reason
    _patterns: dict[str, dict[str, str]] = field(default_factory=dict)
    _finder: Any = None

    def hook(self, func: Any) -> Any:
        """`__velkora_accelerate__`: the driver's stand-in for `func`, or func left alone."""
        code = getattr(func, "__code__", None)
        if code is None:
            return func
        key = f"{code.co_filename}:{func.__qualname__}"
        if not self.driver.available:
            self.left[key] = self.driver.missing
            return func
        patterns = self._patterns.get(code.co_filename)
        if patterns is None:
            patterns = self._patterns[code.co_filename] = _static_patterns(code.co_filename)
        reason = leave_alone_reason(func, patterns.get(func.__qualname__))
        if reason is not None:
            self.left[key] = reason
            return func
        try:
            stand_in = self.driver.wrap(func)
        except Exception as exc:          # the driver refused it outright
            self.left[key] = f"refused: {exc}"
            return func
        self.wrapped[key] = stand_in
        return stand_in

    def install(self) -> None:
        """Makes the hook a builtin (so every transformed module finds it) and own modules load
        transformed."""
        import builtins

        if self.driver.available and not hasattr(sys, "monitoring"):
            # Under a profile function (before 3.12) the compiler would load on the driver's thread,
            # sharing the interpreter lock with the measured program for a second or more just when
            # the first function gets hot: it is loaded before the program starts. With
            # sys.monitoring that costs no more than loading it up front, and a program where
            # nothing gets hot never pays for it.
            try:
                import numba  # noqa: F401
            except ImportError:
                pass
        setattr(builtins, HOOK, self.hook)
        self._finder = _OwnFinder(self.root)
        sys.meta_path.insert(0, self._finder)

    def remove(self) -> None:
        """Takes the finder out; the builtin stays for functions already wrapped that refer to it."""
        if self._finder in sys.meta_path:
            sys.meta_path.remove(self._finder)

    def outcomes(self) -> dict[str, dict[str, Any]]:
        """Per "file:qualname": {state, reason, speedup, calls}; left-alone functions too."""
        out = {key: Driver.outcome(f) for key, f in self.wrapped.items()}
        for key, reason in self.left.items():
            out[key] = {"state": "left alone", "reason": reason, "speedup": None, "calls": None}
        return out


class _Loader(importlib.machinery.SourceFileLoader):
    hook = HOOK

    def source_to_code(self, data: Any, path: Any, *, _optimize: int = -1) -> types.CodeType:  # type: ignore[override]
        return compile_accelerated(data, str(path), self.hook)

    def get_code(self, fullname: str) -> types.CodeType:
        # Straight from the source: a cached bytecode file holds the code without the rebinding.
        path = self.get_filename(fullname)
        return self.source_to_code(self.get_data(path), path)


class _OwnFinder(importlib.abc.MetaPathFinder):
    """Finds modules under the program's root (outside installed libraries) for `_Loader`."""

    def __init__(self, root: str, hook: str = HOOK) -> None:
        self.root = os.path.abspath(root) + os.sep
        self.hook = hook

    def find_spec(self, fullname: str, path: Sequence[str] | None, target: types.ModuleType | None = None,
                  ) -> importlib.machinery.ModuleSpec | None:
        spec = importlib.machinery.PathFinder.find_spec(fullname, path)
        if spec is None or not spec.origin or not spec.origin.endswith(".py"):
            return None
        origin = os.path.abspath(spec.origin)
        # The bundled sample program is the program wherever velkora is installed (site-packages too);
        # velkora's other modules are the machinery.
        sample = fullname == "velkora.sample_program"
        if not sample and (not origin.startswith(self.root) or "site-packages" in origin):
            return None
        if origin.startswith(_PACKAGE_DIR) and not sample:
            return None
        loader = _Loader(fullname, origin)
        loader.hook = self.hook
        spec.loader = loader
        return spec


# ---- the compiler's dry run -------------------------------------------------------------------------

CAPTURE = "__velkora_first_call__"


class FirstCalls:
    """Keeps the arguments of each own function's first call, so that the compiler can be tried on
    their types after the run without running anything again. The stand-in puts the function back in
    its module on that first call: later calls by name cost nothing; a reference taken earlier keeps
    the stand-in, which then only passes calls on."""

    def __init__(self) -> None:
        self.first: dict[str, tuple[Any, tuple[Any, ...], dict[str, Any]]] = {}

    def hook(self, func: Any) -> Any:
        """`__velkora_first_call__`: a stand-in for `func` that records its first call."""
        if leave_alone_reason(func, None) is not None:
            return func
        import functools

        key = f"{func.__code__.co_filename}:{func.__qualname__}"
        first = self.first
        namespace = func.__globals__
        name = func.__name__

        @functools.wraps(func)
        def stand_in(*args: Any, **kwargs: Any) -> Any:
            if key not in first:
                first[key] = (func, args, kwargs)
                if namespace.get(name) is stand_in:
                    namespace[name] = func
            return func(*args, **kwargs)

        return stand_in

    _finder: Any = None

    def install(self, root: str) -> None:
        """Makes the hook a builtin and own modules under `root` load with it."""
        import builtins

        setattr(builtins, CAPTURE, self.hook)
        self._finder = _OwnFinder(root, CAPTURE)
        sys.meta_path.insert(0, self._finder)

    def remove(self) -> None:
        """Takes the finder out (the builtin stays, for modules loaded with it)."""
        if self._finder in sys.meta_path:
            sys.meta_path.remove(self._finder)

    def dry_run(self, key: str) -> str | None:
        """What the compiler makes of the function `key` on its first call's argument types, without
        running it: 'accepts it (dry run)', 'refuses it: reason', or None when there is nothing to
        try (never called, keyword arguments, no compiler). Costs a compilation (a second or so)."""
        entry = self.first.get(key)
        if entry is None or entry[2]:
            return None
        func, args, _ = entry
        try:
            import numba
        except ImportError:
            return None
        try:
            signature = tuple(numba.typeof(a) for a in args)  # type: ignore[no-untyped-call]
        except (ValueError, TypeError) as exc:
            return f"refuses it: an argument has no compiled type ({str(exc).splitlines()[0][:100]})"
        try:
            numba.njit(func).compile(signature)
        except Exception as exc:      # the compiler's own errors are many; each is a refusal
            lines = [l.strip() for l in str(exc).splitlines() if l.strip()]
            detail = next((l for l in lines if "Untyped" in l or "Unknown" in l or "Cannot" in l), lines[0] if lines else "")
            return f"refuses it (dry run): {detail[:120]}"
        return "accepts it (dry run)"


def transform_with(tree: ast.Module, hook: str) -> ast.Module:
    """`transform`, calling `hook` instead of the accelerator."""
    for stmt in transform(tree).body:
        if isinstance(stmt, ast.Assign) and isinstance(stmt.value, ast.Call) and \
                isinstance(stmt.value.func, ast.Name) and stmt.value.func.id == HOOK:
            stmt.value.func.id = hook
    return tree
