"""What of a function the compile process can rebuild: a description of it in plain, picklable values.

The compile process must not import the user's modules (their top level may do anything), so a
function travels as its code object (marshalled: the very bytecode, file name, first line and
qualified name the compiler's on-disk cache keys on) plus the globals it reads, each as a value
(numbers, strings, arrays), a module of an installed package by name, an attribute of such a
module by name, or another compiler-decorated function described the same way. Anything else makes
the function unshippable and it is compiled in the caller's process, as before.

Nothing here starts a process or imports the compiler.
"""

from __future__ import annotations

import dis
import marshal
import os
import site
import sys
import sysconfig
import types
from typing import Any, Optional

_VALUE_TYPES = (int, float, complex, bool, str, bytes, type(None))
_GLOBAL_OPS = frozenset({"LOAD_GLOBAL", "STORE_GLOBAL", "DELETE_GLOBAL"})


class Unshippable(Exception):
    """The function reads something the compile process cannot rebuild (the message says what)."""


def process_allowed(env: dict[str, str], platform: str, executable: Optional[str], frozen: bool) -> bool:
    """Whether compiling in a separate process is possible and wanted here: an interpreter to start
    (not a frozen application, not a platform without processes) and VELKORA_JIT_PROCESS not 0.
    Costs nothing."""
    if env.get("VELKORA_JIT_PROCESS", "1").strip().lower() in ("0", "off", "false", "no"):
        return False
    return bool(executable) and not frozen and platform not in ("emscripten", "wasi", "ios", "android")


def _install_roots() -> tuple[str, ...]:
    paths = sysconfig.get_paths()
    roots = [paths.get(k, "") for k in ("stdlib", "platstdlib", "purelib", "platlib")]
    try:
        roots += site.getsitepackages() + [site.getusersitepackages()]
    except AttributeError:  # a virtual environment's trimmed site module
        pass
    roots.append(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))  # velkora's own
    return tuple(os.path.join(os.path.realpath(r), "") for r in roots if r)


def installed_module(module: types.ModuleType, roots: Optional[tuple[str, ...]] = None) -> bool:
    """Whether importing `module` by name elsewhere is harmless: built in, or a file of the standard
    library or an installed package (not the user's own code, whose top level may have effects).
    Costs a few path operations."""
    name = getattr(module, "__name__", None)
    if not isinstance(name, str) or sys.modules.get(name) is not module or name == "__main__":
        return False
    if name in sys.builtin_module_names:
        return True
    path = getattr(module, "__file__", None)
    if not isinstance(path, str):
        return False
    real = os.path.realpath(path)
    return any(real.startswith(root) for root in (roots if roots is not None else _install_roots()))


def _global_names(code: types.CodeType) -> set[str]:
    names = {ins.argval for ins in dis.get_instructions(code) if ins.opname in _GLOBAL_OPS}
    for const in code.co_consts:
        if isinstance(const, types.CodeType):
            names |= _global_names(const)
    return names


def _is_value(obj: Any) -> bool:
    if type(obj) in _VALUE_TYPES:
        return True
    if type(obj) is tuple:
        return all(_is_value(x) for x in obj)
    # arrays and their scalars (the compiler freezes them as constants), not numpy's functions
    return type(obj).__module__ == "numpy" and hasattr(obj, "dtype") and hasattr(obj, "item")


def _describe_object(obj: Any, what: str, roots: tuple[str, ...], depth: int) -> tuple[Any, ...]:
    if _is_value(obj):
        return ("value", obj)
    if isinstance(obj, types.ModuleType):
        if installed_module(obj, roots):
            return ("module", obj.__name__)
        raise Unshippable(f"{what} is the module {obj.__name__}, not one of an installed package")
    py_func = getattr(obj, "py_func", None)
    if type(obj).__module__.startswith("numba") and isinstance(py_func, types.FunctionType):
        options = {k: v for k, v in dict(getattr(obj, "targetoptions", {})).items()
                   if k != "cache" and _is_value(v)}  # no cache writes beside the user's code
        return ("jit", describe(py_func, roots, depth + 1), options)
    mod_name, name = getattr(obj, "__module__", None), getattr(obj, "__qualname__", None) or \
        getattr(obj, "__name__", None)
    module = sys.modules.get(mod_name) if isinstance(mod_name, str) else None
    if module is not None and isinstance(name, str) and installed_module(module, roots):
        target: Any = module
        for part in name.split("."):
            target = getattr(target, part, None)
        if target is obj:
            return ("attr", mod_name, name)
    raise Unshippable(f"{what} is a {type(obj).__name__} the compile process cannot rebuild")


def inspect_function(obj: Any) -> bool:
    """Whether `obj` is a plain Python function (not a builtin, a method or a callable object)."""
    return isinstance(obj, types.FunctionType)


def describe(func: types.FunctionType, roots: Optional[tuple[str, ...]] = None, depth: int = 0) -> dict[str, Any]:
    """`func` as plain values the compile process rebuilds it from (see the module's docstring);
    raises Unshippable naming what cannot travel. Costs a walk over its bytecode and globals
    (tens of microseconds for a small function)."""
    if depth > 8:
        raise Unshippable("compiler-decorated functions nest too deeply")
    if not inspect_function(func):
        raise Unshippable(f"{func!r} is not a Python function")
    roots = roots if roots is not None else _install_roots()
    code = func.__code__
    if not os.path.isfile(code.co_filename):
        raise Unshippable(f"{func.__qualname__} has no source file for the compiler's cache to key on")
    if func.__kwdefaults__:
        raise Unshippable(f"{func.__qualname__} has keyword-only defaults")
    glb = func.__globals__
    names = {}
    for name in sorted(_global_names(code)):
        if name in glb:
            names[name] = _describe_object(glb[name], f"global {name!r}", roots, depth)
    defaults = None if func.__defaults__ is None else tuple(
        _describe_object(d, f"a default of {func.__qualname__}", roots, depth) for d in func.__defaults__)
    closure = None
    if func.__closure__ is not None:
        try:
            cells = [c.cell_contents for c in func.__closure__]
        except ValueError:
            raise Unshippable(f"{func.__qualname__} reads a variable not yet bound") from None
        closure = tuple(_describe_object(v, f"closure variable {n!r}", roots, depth)
                        for n, v in zip(code.co_freevars, cells))
    return {"code": marshal.dumps(code), "name": func.__name__, "qualname": func.__qualname__,
            "module": glb.get("__name__", func.__module__), "globals": names, "defaults": defaults,
            "closure": closure}


def rebuild(spec: dict[str, Any], load_module: Any, jit: Any) -> types.FunctionType:
    """The function a `describe` result stands for, in this process: `load_module(name)` imports a
    module, `jit(func, options)` decorates a nested compiler function. Costs unmarshalling its code
    and importing its modules (once each)."""
    def obj(ref: tuple[Any, ...]) -> Any:
        kind = ref[0]
        if kind == "value":
            return ref[1]
        if kind == "module":
            return load_module(ref[1])
        if kind == "attr":
            target = load_module(ref[1])
            for part in ref[2].split("."):
                target = getattr(target, part)
            return target
        if kind == "jit":
            return jit(rebuild(ref[1], load_module, jit), ref[2])
        raise ValueError(f"unknown reference kind {kind!r}")

    code = marshal.loads(spec["code"])
    glb: dict[str, Any] = {"__name__": spec["module"], "__builtins__": __builtins__}
    glb.update({name: obj(ref) for name, ref in spec["globals"].items()})
    defaults = None if spec["defaults"] is None else tuple(obj(r) for r in spec["defaults"])
    closure = None if spec["closure"] is None else tuple(types.CellType(obj(r)) for r in spec["closure"])
    func = types.FunctionType(code, glb, spec["name"], defaults, closure)
    func.__qualname__ = spec["qualname"]
    return func
