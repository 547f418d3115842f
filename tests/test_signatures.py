"""Every public callable's signature, three ways: what introspection reports at run time (for native
callables, the text signature generated from the parameter declaration), the binding's own view of
its first required parameter, and the `.pyi` stub beside the module. Names, order, kinds and
defaults must agree."""

import ast
import importlib
import inspect
import pathlib

import pytest

import velkora

P = inspect.Parameter
STUB_KINDS = {"posonlyargs": P.POSITIONAL_ONLY, "args": P.POSITIONAL_OR_KEYWORD, "kwonlyargs": P.KEYWORD_ONLY}
NO_DEFAULT = object()  # a stub default of `...`: present, value not stated


def stub_params(fn: ast.FunctionDef, drop_self: bool):
    a = fn.args
    positional = a.posonlyargs + a.args
    defaults = [NO_DEFAULT] * (len(positional) - len(a.defaults)) + list(a.defaults)
    out = []
    for i, arg in enumerate(positional):
        kind = P.POSITIONAL_ONLY if i < len(a.posonlyargs) else P.POSITIONAL_OR_KEYWORD
        out.append((arg.arg, kind, defaults[i]))
    if a.vararg:
        out.append((a.vararg.arg, P.VAR_POSITIONAL, NO_DEFAULT))
    out += [(k.arg, P.KEYWORD_ONLY, d if d is not None else NO_DEFAULT) for k, d in zip(a.kwonlyargs, a.kw_defaults)]
    if a.kwarg:
        out.append((a.kwarg.arg, P.VAR_KEYWORD, NO_DEFAULT))
    out = [(n, k, NO_DEFAULT if d is NO_DEFAULT else d) for n, k, d in out]
    if drop_self:
        out = out[1:]
    return [(n, k, d if d is NO_DEFAULT or not isinstance(d, ast.expr) else literal(d)) for n, k, d in out]


def literal(node):
    if isinstance(node, ast.Constant) and node.value is Ellipsis:
        return Ellipsis
    return ast.literal_eval(node)


def runtime_params(obj, drop_self=False):
    params = list(inspect.signature(obj).parameters.values())[1 if drop_self else 0 :]
    return [(p.name, p.kind, NO_DEFAULT if p.default is P.empty else p.default) for p in params]


def type_check_only(node: ast.ClassDef) -> bool:
    # Result dictionaries' TypedDicts exist for the type checker only.
    return any(isinstance(d, ast.Name) and d.id == "type_check_only" for d in node.decorator_list)


def stubs(module_name):
    mod = importlib.import_module(module_name)
    path = pathlib.Path(mod.__file__).parent / (module_name.rsplit(".", 1)[1] + ".pyi")
    tree = ast.parse(path.read_text())
    found = []
    for node in tree.body:
        if isinstance(node, ast.FunctionDef) and not node.name.startswith("_"):
            found.append((node.name, getattr(mod, node.name), node, False))
        elif isinstance(node, ast.ClassDef) and not node.name.startswith("_") and not type_check_only(node):
            cls = getattr(mod, node.name)
            for item in node.body:
                if not isinstance(item, ast.FunctionDef) or any(
                    isinstance(d, ast.Name) and d.id == "property" for d in item.decorator_list
                ):
                    continue
                if item.name == "__init__":
                    found.append((node.name, cls, item, True))
                elif not item.name.startswith("_") or item.name == "_update_peaks":
                    found.append((f"{node.name}.{item.name}", getattr(cls, item.name), item, "method"))
    return mod, found


CASES = [(m, name, obj, node, drop) for m in velkora.NATIVE_MODULES for name, obj, node, drop in stubs(m)[1]]


def same_default(a, b):
    if a is Ellipsis or b is Ellipsis:
        return a is b or a is NO_DEFAULT or b is NO_DEFAULT
    return a is b or (type(a) is type(b) and a == b)


@pytest.mark.parametrize("module, name, obj, node, drop_self", CASES, ids=[f"{c[0].rsplit('.', 1)[1]}.{c[1]}" for c in CASES])
def test_runtime_signature_matches_stub(module, name, obj, node, drop_self):
    if inspect.isbuiltin(obj) or inspect.ismethoddescriptor(obj):
        assert obj.__text_signature__ is not None, f"{name}: the docstring has no text signature"
    got = runtime_params(obj, drop_self == "method")
    want = stub_params(node, drop_self)
    assert [(n, k) for n, k, _ in got] == [(n, k) for n, k, _ in want]
    for (n, _, g), (_, _, w) in zip(got, want):
        assert same_default(g, w), f"{name}({n}): runtime default {g!r}, stub {w!r}"


def test_every_public_callable_has_a_stub():
    for module in velkora.NATIVE_MODULES:
        mod, found = stubs(module)
        listed = {name.split(".")[0] for name, *_ in found}
        for name, obj in vars(mod).items():
            if name.startswith("_") or inspect.ismodule(obj) or not callable(obj):
                continue
            if getattr(obj, "__module__", None) != module:
                continue  # re-exported interpreter names (typing, threading)
            assert name in listed, f"{module}.{name} has no stub"


def first_required(obj):
    try:
        params = runtime_params(obj, inspect.ismethoddescriptor(obj))
    except ValueError:
        return None  # reported by test_runtime_signature_matches_stub
    return next((n for n, k, d in params if d is NO_DEFAULT and k == P.POSITIONAL_OR_KEYWORD), None)


NATIVE_REQUIRED = [
    (f"{c[0].rsplit('.', 1)[1]}.{c[1]}", c[2], first_required(c[2]))
    for c in CASES
    if (inspect.isbuiltin(c[2]) or inspect.ismethoddescriptor(c[2])) and first_required(c[2])
]


@pytest.mark.parametrize("name, func, first", NATIVE_REQUIRED, ids=[n for n, *_ in NATIVE_REQUIRED])
def test_binding_names_the_declared_parameter(name, func, first):
    # The binding reports its first missing parameter by the name it was declared with; the call
    # fails before any state is read.
    call = func
    if inspect.ismethoddescriptor(func):
        owner = func.__objclass__
        call = lambda: func(owner.__new__(owner))  # noqa: E731
    with pytest.raises(TypeError, match=f"missing required argument '{first}' \\(pos 1\\)"):
        call()


def stub_aliases():
    for module_name in velkora.NATIVE_MODULES:
        mod = importlib.import_module(module_name)
        tree = ast.parse((pathlib.Path(mod.__file__).parent / (module_name.rsplit(".", 1)[1] + ".pyi")).read_text())
        for node in tree.body:
            if isinstance(node, ast.ClassDef):
                for item in node.body:
                    if isinstance(item, ast.Assign) and isinstance(item.value, ast.Name):
                        for target in item.targets:
                            yield f"{module_name}.{node.name}", target.id, item.value.id


ALIASES = list(stub_aliases())


def test_the_stubs_declare_the_counter_aliases():
    assert {a for _, a, _ in ALIASES} >= {"py_load", "py_store", "py_fetch_and_add"}


@pytest.mark.parametrize("qualname, alias, name", ALIASES)
def test_a_stub_alias_is_the_same_runtime_object(qualname, alias, name):
    # `py_load = load` in a stub promises one object under two names, so one signature for both.
    module_name, cls_name = qualname.rsplit(".", 1)
    cls = getattr(importlib.import_module(module_name), cls_name)
    assert cls.__dict__[alias] is cls.__dict__[name]
