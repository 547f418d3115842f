"""The units of a file: every function and method (qualified names), and `<module>` for a script's top-level
code; the imports each one sees; which classes follow the estimator protocol; what has no code at all.

Each unit's code is then measured by velkora.analysis.evidence.
"""

from __future__ import annotations

import ast
from typing import TypeGuard

from velkora.analysis.calls import dotted
from velkora.analysis.evidence import Aliases, Measurer, Unit
from velkora.analysis.vocabulary import (ARRAY_MODULES, ESTIMATOR_BASE_SUFFIXES, ESTIMATOR_MIXINS, FIT_NAMES,
                                         INFER_NAMES, PARALLEL_MODULES)

_Def = ast.FunctionDef | ast.AsyncFunctionDef | ast.ClassDef


def imports_of(body: list[ast.stmt], into: Aliases) -> None:
    """Adds the imports among `body` (not inside nested definitions) to the alias map `into`."""
    stack = list(body)
    while stack:
        node = stack.pop()
        if isinstance(node, ast.Import):
            for a in node.names:
                if a.asname:
                    into[a.asname] = a.name
                else:
                    head = a.name.partition(".")[0]
                    into[head] = head
        elif isinstance(node, ast.ImportFrom):
            if node.level or not node.module:
                continue        # relative imports name the project's own code
            for a in node.names:
                if a.name != "*":
                    into[a.asname or a.name] = f"{node.module}.{a.name}"
        elif isinstance(node, (ast.If, ast.Try, ast.TryStar, ast.With)):
            for name in ("body", "orelse", "finalbody"):
                stack.extend(getattr(node, name, ()) or ())
            for h in getattr(node, "handlers", ()) or ():
                stack.extend(h.body)


def _is_docstring(stmt: ast.stmt) -> bool:
    return isinstance(stmt, ast.Expr) and isinstance(stmt.value, ast.Constant) and isinstance(
        stmt.value.value, str)


def _decorator_names(node: _Def) -> set[str]:
    names = set()
    for d in node.decorator_list:
        target = d.func if isinstance(d, ast.Call) else d
        parts = dotted(target)
        if parts:
            names.add(parts[-1])
    return names


def has_no_code(node: ast.FunctionDef | ast.AsyncFunctionDef) -> bool:
    """`...`, `pass`, a docstring alone, `raise NotImplementedError`, `@overload`, `@abstractmethod`."""
    if _decorator_names(node) & {"overload", "abstractmethod", "abstractproperty"}:
        return True
    for stmt in node.body:
        if isinstance(stmt, ast.Pass) or _is_docstring(stmt):
            continue
        if isinstance(stmt, ast.Expr) and isinstance(stmt.value, ast.Constant) and stmt.value.value is ...:
            continue
        if isinstance(stmt, ast.Raise) and stmt.exc is not None:
            exc = stmt.exc.func if isinstance(stmt.exc, ast.Call) else stmt.exc
            parts = dotted(exc)
            if parts and parts[-1] == "NotImplementedError":
                continue
        return False
    return True


def _is_constant_expr(node: ast.AST) -> bool:
    if isinstance(node, ast.Constant):
        return True
    if isinstance(node, (ast.Tuple, ast.List, ast.Set)):
        return all(_is_constant_expr(e) for e in node.elts)
    if isinstance(node, ast.Dict):
        return all(k is None or _is_constant_expr(k) for k in node.keys) and all(
            _is_constant_expr(v) for v in node.values)
    if isinstance(node, ast.UnaryOp):
        return _is_constant_expr(node.operand)
    if isinstance(node, ast.BinOp):
        return _is_constant_expr(node.left) and _is_constant_expr(node.right)
    return isinstance(node, ast.Name)


def _is_main_guard(stmt: ast.stmt) -> TypeGuard[ast.If]:
    t = stmt.test if isinstance(stmt, ast.If) else None
    return (isinstance(t, ast.Compare) and isinstance(t.left, ast.Name) and t.left.id == "__name__"
            and len(t.comparators) == 1 and isinstance(t.comparators[0], ast.Constant)
            and t.comparators[0].value == "__main__")


def module_code(tree: ast.Module) -> list[ast.stmt]:
    """A script's module-level statements that run: not imports, docstring, definitions or constants.

    The body of an `if __name__ == "__main__":` guard counts as module code.
    """
    out: list[ast.stmt] = []
    for i, stmt in enumerate(tree.body):
        if _is_main_guard(stmt):
            out.extend(s for s in stmt.body if not isinstance(s, (ast.Import, ast.ImportFrom)))
            continue
        if isinstance(stmt, (ast.Import, ast.ImportFrom, ast.FunctionDef, ast.AsyncFunctionDef,
                             ast.ClassDef, ast.Pass)):
            continue
        if i == 0 and _is_docstring(stmt):
            continue
        if isinstance(stmt, (ast.Assign, ast.AnnAssign)) and (stmt.value is None
                                                               or _is_constant_expr(stmt.value)):
            continue
        if isinstance(stmt, ast.Expr) and isinstance(stmt.value, ast.Constant):
            continue
        out.append(stmt)
    return out


def _file_flags(aliases: Aliases) -> frozenset[str]:
    roots = {origin.partition(".")[0] for origin in aliases.values()}
    flags = set()
    if roots & ARRAY_MODULES:
        flags.add("array")
    if "pandas" in roots:
        flags.add("frame")
    if "sklearn" in roots:
        flags.add("sklearn")
    if roots & PARALLEL_MODULES:
        flags.add("parallel")
    return frozenset(flags)


def _estimator_class(cls: ast.ClassDef, aliases: Aliases, known: dict[str, str | None]) -> str | None:
    """Why `cls` follows the estimator protocol, or None."""
    for base in cls.bases:
        parts = dotted(base)
        if not parts:
            continue
        origin = aliases.get(parts[0], "")
        if origin.startswith("sklearn"):
            return f"derives from {'.'.join(parts)} (scikit-learn)"
        if known.get(parts[-1]):
            return f"derives from estimator {parts[-1]}"
        name = parts[-1]
        if name.endswith(ESTIMATOR_BASE_SUFFIXES) or (
                name.endswith("Mixin") and any(w in name for w in ESTIMATOR_MIXINS)):
            return f"derives from {name}"
    # Methods named fit and predict are the protocol only where scikit-learn is in play: a statistics
    # model's own fit/score/predict (least squares, a likelihood's gradient) is judged by its body.
    if not any(origin.partition(".")[0] == "sklearn" for origin in aliases.values()):
        return None
    methods = {n.name for n in cls.body if isinstance(n, (ast.FunctionDef, ast.AsyncFunctionDef))}
    fits = {m for m in methods if m.lstrip("_") in FIT_NAMES}
    infers = {m for m in methods if m.lstrip("_") in INFER_NAMES}
    if fits and infers:
        return f"defines {min(fits)} and {min(infers)}"
    return None


def method_role(name: str) -> str | None:
    """The side of the estimator protocol a method of an estimator is on: protocol names only.

    Helpers such as `_fit_column_map` are judged by their own bodies.
    """
    bare = name.lstrip("_")
    if bare in FIT_NAMES:
        return "train"
    if bare in INFER_NAMES:
        return "infer"
    return None


def collect_units(tree: ast.Module, namespace: Aliases | None = None,
                  own: frozenset[str] = frozenset(), tests: bool = False) -> tuple[list[Unit], Aliases]:
    """Every function and method (qualified names), plus `<module>` when a script's top level works.

    `namespace` holds the import names that code run before this tree bound (a notebook's earlier cells);
    this tree's module-level imports are added to it. The second value is the module's import names.
    `own` names the packages the file belongs to (the directories it is in): a package's imports of
    itself are its own Python code, not the array, frame or worker library its name stands for when
    others import it; for array, frame and estimator libraries only their `core` counts so. `tests` says the file holds tests: its functions named test* are marked as such.
    """
    module_aliases: Aliases = namespace if namespace is not None else {}
    imports_of(tree.body, module_aliases)
    _drop_own(module_aliases, own)
    units: list[Unit] = []
    estimators: dict[str, str | None] = {}

    # The flags of an alias map are computed once and handed down to the functions that import nothing.
    def visit(body: list[ast.stmt], prefix: str, aliases: Aliases, cls_why: str | None,
              flags: frozenset[str], outer: frozenset[str] = frozenset()) -> None:
        for node in body:
            if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
                qual = prefix + node.name
                unit = Unit(qualname=qual, node=node, line=node.lineno,
                            test=tests and node.name.startswith("test"))
                local = dict(aliases)
                extra: Aliases = {}
                imports_of(node.body, extra)
                local_flags = flags
                if extra:       # the module's own names were dropped once, for the whole file
                    local.update(extra)
                    for name in _drop_own(extra, own):
                        del local[name]
                    local_flags = _file_flags(local)
                inner = outer
                if has_no_code(node):
                    unit.no_code = True
                else:
                    if cls_why is not None:
                        unit.role = method_role(node.name)
                        if unit.role:
                            unit.role_why = f"{'fit' if unit.role == 'train' else 'inference'} method of an " \
                                            f"estimator class that {cls_why}"
                    m = Measurer(unit, local, local_flags, {"estimator": True} if cls_why else None, outer)
                    m.measure(node.body, node.args)
                    inner = outer | m.bound.keys()
                unit.aliases = local
                units.append(unit)
                visit(node.body, qual + ".", local, None, local_flags, inner)
            elif isinstance(node, ast.ClassDef):
                why = _estimator_class(node, aliases, estimators)
                estimators[node.name] = why
                visit(node.body, prefix + node.name + ".", aliases, why, flags, outer)
            elif isinstance(node, (ast.If, ast.Try, ast.TryStar, ast.With, ast.For, ast.While)):
                for name in ("body", "orelse", "finalbody"):
                    visit(getattr(node, name, None) or [], prefix, aliases, cls_why, flags, outer)
                for h in getattr(node, "handlers", ()) or ():
                    visit(h.body, prefix, aliases, cls_why, flags, outer)

    module_flags = _file_flags(module_aliases)
    visit(tree.body, "", module_aliases, None, module_flags)
    code = module_code(tree)
    if code:
        unit = Unit(qualname="<module>", node=tree, line=code[0].lineno, test=tests)
        m = Measurer(unit, module_aliases, module_flags, None)
        # The constant assignments module_code leaves out still bind their names where they stand, so
        # that `x = 0.5` then `for ...: x = f(x)` is the same recurrence it is in a function.
        for stmt in tree.body:
            if isinstance(stmt, (ast.Assign, ast.AnnAssign)):
                targets = stmt.targets if isinstance(stmt, ast.Assign) else [stmt.target]
                for n in (n for t in targets for n in ast.walk(t) if isinstance(n, ast.Name)):
                    m.bound.setdefault(n.id, stmt.lineno)
        m.measure(code, None)
        if unit.max_depth or unit.calls >= 2:
            unit.aliases = module_aliases
            units.append(unit)
    link_units(units)
    return units, module_aliases


def _drop_own(aliases: Aliases, own: frozenset[str]) -> list[str]:
    # A worker library's calls of itself are its own machinery; an array, frame or estimator library's
    # modules stay that library's work inside it (its special functions called by its statistics), but
    # its `core` is its plumbing (a compiler's intermediate representation, not array work).
    dropped = [n for n, origin in aliases.items() if origin.partition(".")[0] in own and _internal(origin)]
    for name in dropped:
        del aliases[name]
    return dropped


def _internal(origin: str) -> bool:
    root, _, rest = origin.partition(".")
    return root in PARALLEL_MODULES or "core" in rest.split(".")


def link_units(units: list[Unit]) -> None:
    """What the units of one file tell about each other, by the names they call each other by: an item
    whose only work is a call to a function of the file costs what that function does, which counts when
    it computes; a function the file hands to a pool or a thread already runs as a worker's task; and a
    container of the object or the module is as large as the data when some function of the file grows it.
    Linear in the number of units and of the calls noted."""
    # A function costs per call when its own items cost, or it computes: arithmetic in loops or a good
    # deal of it, math or array calls, loops in loops. One that files a few values in a loop does not.
    loopers = {u.qualname.rpartition(".")[2] for u in units
               if (u.costly_items or u.loop_arith >= 2 or u.arith >= 4 or u.math_calls or u.array_ops
                   or u.max_depth >= 2) and not u.waits_in_loop}
    handed: set[str] = set()
    grown: set[str] = set()
    for u in units:
        handed |= u.handed_to_workers
        grown |= u.grows
    for u in units:
        own = u.qualname.rpartition(".")[2]
        for callees in u.pending_items:
            # A call of the function itself is a walk down a nested structure, not work per item.
            if any(c in loopers for c in callees if c != own):
                u.costly_items += 1
        u.worker_body = own in handed
        # A container of the object or module that the file grows somewhere is as large as what fed it.
        if u.sized_if_grown & grown:
            u.sized_growth += 1
