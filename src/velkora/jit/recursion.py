"""A module-level function that calls itself by its global name, run interpreted under the driver.

Bound under that name, the dispatcher would stand between every level of the recursion: each level
would count as a call and run through native code, which on 3.12 and later spends the interpreter's
fixed native recursion budget (about 750 levels where plain Python goes as deep as the recursion
limit allows). The driver runs a copy instead whose own calls go straight to the copy: the same code
under another global name, which the copy is bound to in the module. Only the outermost call is then
seen (and timed) by the dispatcher.
"""

from __future__ import annotations

import dis
import types
from typing import Any, Callable

_PREFIX = "_velkora_self_"


def _self_loads(code: types.CodeType, name: str) -> bool | None:
    """True when `code` (or code nested in it) reads global `name`, False when it does not, None when
    the name is also used otherwise (an attribute, a store, an import): renaming would change that."""
    found = False
    for ins in dis.get_instructions(code):
        if ins.opcode in dis.hasname and ins.argval == name:
            if ins.opname != "LOAD_GLOBAL":
                return None
            found = True
    for const in code.co_consts:
        if isinstance(const, types.CodeType) and name not in const.co_varnames + const.co_cellvars:
            inner = _self_loads(const, name)
            if inner is None:
                return None
            found = found or inner
    return found


def _renamed(code: types.CodeType, name: str, alias: str) -> types.CodeType:
    consts = tuple(_renamed(c, name, alias) if isinstance(c, types.CodeType) else c for c in code.co_consts)
    names = tuple(alias if n == name else n for n in code.co_names)
    return code.replace(co_names=names, co_consts=consts)


def direct_self_calls(func: Callable[..., Any]) -> Callable[..., Any]:
    """The function the driver calls when `func` runs interpreted: `func` itself, or for a module-level
    function that reads its own name as a global (and uses that name for nothing else), a copy whose
    recursion calls the copy. The copy is bound in `func`'s module as `_velkora_self_<name>`; it
    behaves as `func` while the module's `<name>` is `func` or its dispatcher (a later rebinding of
    that name to something else is not followed). Costs one bytecode walk at decoration."""
    if not isinstance(func, types.FunctionType) or func.__qualname__ != func.__name__:
        return func  # a method or nested function does not find itself among the module's globals
    name, code = func.__name__, func.__code__
    if name in code.co_varnames + code.co_cellvars + code.co_freevars or not _self_loads(code, name):
        return func
    alias = _PREFIX + name
    copy = types.FunctionType(_renamed(code, name, alias), func.__globals__, name, func.__defaults__,
                              func.__closure__)
    copy.__kwdefaults__ = func.__kwdefaults__
    copy.__qualname__, copy.__module__, copy.__doc__ = func.__qualname__, func.__module__, func.__doc__
    copy.__annotations__ = func.__annotations__
    copy.__dict__.update(func.__dict__)
    func.__globals__[alias] = copy
    return copy
