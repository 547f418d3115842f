"""What a function's code does, measured on its syntax tree: the evidence behind a workload label.

Only code counts. Docstrings, comments and string literals never reach a measurement, and names of
modules are resolved through the imports of the file and of the function (`import numpy as xp`,
`from sklearn.linear_model import Ridge`), so a word in prose or an unrelated `groupby` changes nothing.

One `Unit` per function or method (nested ones measured on their own bodies) and one for a script's
module-level code. Each unit is walked once, without entering nested definitions, which keeps the
whole file linear in its size.
"""

from __future__ import annotations

import ast
from dataclasses import dataclass, field
from typing import TypeGuard

Aliases = dict[str, str]            # local name -> the dotted module or object it was imported as
LoopInfo = dict[str, set[str]]      # what one loop stores, loads, grows... by kind
_Def = ast.FunctionDef | ast.AsyncFunctionDef | ast.ClassDef

# ---- vocabularies of real uses -------------------------------------------------------------------

ARRAY_MODULES = frozenset({"numpy", "scipy", "cupy", "jax", "numba", "torch"})
DEVICE_MODULES = frozenset({"cupy", "jax", "torch"})     # their arrays already live on a GPU
PARALLEL_MODULES = frozenset({"multiprocessing", "concurrent", "joblib", "threading", "dask", "ray"})

# Calls of an array module that are linear algebra (the last component of the resolved name).
LINALG_CALLS = frozenset({
    "dot", "vdot", "matmul", "inner", "outer", "tensordot", "einsum", "kron", "inv", "pinv", "solve",
    "lstsq", "cholesky", "cho_factor", "cho_solve", "svd", "eig", "eigh", "eigvals", "eigvalsh", "qr",
    "lu", "lu_factor", "lu_solve", "det", "slogdet", "norm", "expm", "logm", "sqrtm", "matrix_power",
    "solve_triangular", "multi_dot", "trace", "cdist", "pdist",
})
# Calls that only make or reshape an array; they are array work but not computation.
ARRAY_MAKERS = frozenset({
    "array", "asarray", "asanyarray", "ascontiguousarray", "atleast_1d", "atleast_2d", "atleast_3d",
    "zeros", "ones", "empty", "full", "zeros_like", "ones_like", "empty_like", "full_like", "eye",
    "identity", "arange", "linspace", "copy", "shape", "ndim", "isscalar", "reshape", "squeeze",
    "expand_dims", "ravel", "flatten", "astype", "transpose",
})
# Methods that, in a file importing an array module, act on arrays.
ARRAY_METHODS = frozenset({
    "reshape", "ravel", "flatten", "astype", "dot", "sum", "mean", "std", "var", "min", "max", "argmin",
    "argmax", "cumsum", "cumprod", "prod", "transpose", "squeeze", "fill", "clip", "round", "all", "any",
    "nonzero", "item", "tolist", "conj", "trace", "diagonal", "searchsorted", "argsort",
})
ARRAY_ATTRS = frozenset({"T", "shape", "ndim", "dtype", "size"})
ARRAY_ALLOC = frozenset({"zeros", "ones", "empty", "full", "array", "concatenate", "stack", "vstack",
                         "hstack", "tile", "repeat", "copy", "zeros_like", "ones_like", "empty_like"})

# Methods of data frames and series, counted in a file that imports pandas.
FRAME_METHODS = frozenset({
    "groupby", "agg", "aggregate", "merge", "join", "pivot", "pivot_table", "melt", "reindex",
    "set_index", "reset_index", "fillna", "dropna", "drop", "rename", "assign", "concat", "shift",
    "stack", "unstack", "to_frame", "value_counts", "isin", "query", "sort_values", "sort_index",
    "describe", "droplevel", "bfill", "ffill", "rolling", "resample", "expanding", "iterrows",
    "itertuples", "to_numpy", "nunique", "duplicated", "drop_duplicates", "get_dummies", "crosstab",
    "rename_axis", "explode", "applymap", "map", "apply", "astype", "squeeze", "insert", "cumsum",
})
FRAME_ATTRS = frozenset({"loc", "iloc", "at", "iat", "columns", "index", "dtypes", "cat", "str", "dt",
                         "values"})
GROUPING = frozenset({"groupby", "pivot_table", "resample", "crosstab", "rolling", "expanding"})
AGGREGATES = frozenset({"agg", "aggregate", "sum", "mean", "count", "size", "median", "min", "max",
                        "std", "var", "first", "last", "nunique", "quantile", "apply", "transform"})

# Estimator methods: which side of the fit/predict protocol a method is on.
FIT_NAMES = frozenset({"fit", "partial_fit", "fit_transform", "fit_predict", "fit_resample"})
INFER_NAMES = frozenset({"predict", "predict_proba", "predict_log_proba", "decision_function",
                         "transform", "inverse_transform", "score", "score_samples", "kneighbors"})
ESTIMATOR_BASE_SUFFIXES = ("Estimator", "Encoder", "Detector", "Sampler", "Transformer", "Classifier",
                           "Regressor", "Clusterer")
ESTIMATOR_MIXINS = ("Transformer", "Classifier", "Regressor", "Cluster", "Outlier", "Sampler",
                    "Density", "Estimator")

# Builtins and constructors that move or wrap data without computing on it.
PLUMBING = frozenset({
    "list", "tuple", "set", "frozenset", "dict", "iter", "next", "len", "zip", "enumerate", "range",
    "reversed", "sorted", "filter", "isinstance", "issubclass", "getattr", "setattr", "hasattr", "type",
    "str", "int", "float", "bool", "repr", "print", "super", "id", "vars", "callable", "object",
    "itemgetter", "attrgetter", "repeat", "islice", "chain", "tee", "count", "cycle", "deque",
    "from_iterable", "format", "join", "warn",
})
CONTAINER_CALLS = frozenset({"list", "tuple", "set", "frozenset", "dict", "sorted", "deque", "Counter",
                             "defaultdict", "OrderedDict", "bytearray"})
GROWTH_METHODS = frozenset({"append", "extend", "add", "update", "appendleft", "extendleft",
                            "setdefault", "insert"})
# Methods that change a container in place: the next iteration sees the change.
MUTATING_METHODS = frozenset({"pop", "popleft", "popitem", "remove", "discard", "clear", "rotate", "sort",
                              "reverse"})
COPY_CALLS = frozenset({"deepcopy", "copy"})
MAP_CALLS = frozenset({"map", "starmap", "imap", "imap_unordered", "map_async", "starmap_async"})
PARALLEL_CALLS = frozenset({"Parallel", "delayed", "ProcessPoolExecutor", "ThreadPoolExecutor", "Pool",
                            "prange", "submit"})


@dataclass
class Unit:
    """One function, method or module body and what its code was measured to do."""

    qualname: str
    node: ast.AST
    line: int
    no_code: bool = False
    role: str | None = None             # "train" or "infer" for estimator methods
    role_why: str = ""
    # loops and computation
    for_loops: int = 0
    while_loops: int = 0
    range_loops: int = 0
    max_depth: int = 0
    loop_arith: int = 0                 # arithmetic operations inside Python loops
    loop_stmts: int = 0                 # statements inside Python loops
    loop_plain: int = 0                 # of those, statements with no array or frame operation
    arith: int = 0
    math_calls: int = 0
    reductions: int = 0                 # sum()/prod()/min()/max() of plain Python iterables
    # memory
    containers: int = 0                 # list()/dict()/sorted()... materialisations
    growth_in_loop: int = 0             # append/extend/add/update inside loops
    copies: int = 0                     # copy/deepcopy
    copies_in_loop: int = 0
    comprehension_containers: int = 0
    keyed_growth: int = 0               # growth of a container reached by key: d[k].append(v) in loops
    fills_in_loop: int = 0              # out[key] = ... stores inside loops
    aug_growth: int = 0                 # lst += [...] / s += "..." inside loops
    built_in_loop: int = 0              # list(x), tuple(x), slices of sequences, made on every iteration
    resized_in_loop: int = 0            # del c[k] inside loops
    slice_copies: int = 0               # seq[a:b] of lists, tuples, strings inside loops
    index_arith: int = 0                # arithmetic inside subscripts in loops (which items, not work)
    array_alloc_in_loop: int = 0
    # parallel and sequential
    independent_maps: int = 0           # map()/comprehensions whose element does work
    independent_loops: int = 0          # for loops carrying no state whose body does work
    parallel_api: int = 0               # joblib, executors, pools, prange
    carried: set[str] = field(default_factory=set)
    global_stmts: int = 0
    locks: int = 0
    # frameworks
    array_ops: int = 0
    array_compute: int = 0              # array ops that compute (not makers)
    linalg_ops: int = 0
    array_alloc: int = 0
    array_kinds: set[str] = field(default_factory=set)
    device_ops: int = 0
    arith_kinds: set[type[ast.operator]] = field(default_factory=set)
    reshape_ops: int = 0
    frame_ops: int = 0
    grouping_ops: int = 0
    aggregate_ops: int = 0
    frame_kinds: set[str] = field(default_factory=set)
    sk_fit_calls: int = 0
    sk_infer_calls: int = 0
    sk_uses: int = 0
    calls: int = 0
    work_calls: int = 0                 # calls that compute: not plumbing, not container growth
    stmts: int = 0
    aliases: Aliases = field(default_factory=dict)   # the import names the unit sees


def _dotted(node: ast.AST) -> list[str] | None:
    """['np', 'linalg', 'inv'] for np.linalg.inv; None when the chain does not start at a name."""
    parts = []
    while isinstance(node, ast.Attribute):
        parts.append(node.attr)
        node = node.value
    if isinstance(node, ast.Name):
        parts.append(node.id)
        parts.reverse()
        return parts
    return None


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
        elif isinstance(node, (ast.If, ast.Try, ast.With)) or type(node).__name__ == "TryStar":
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
        parts = _dotted(target)
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
            parts = _dotted(exc)
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


class Measurer:
    """Walks one unit's statements once and fills its counters."""

    _DEFS = (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)

    def __init__(self, unit: Unit, aliases: Aliases, file_flags: frozenset[str],
                 class_info: dict[str, bool] | None) -> None:
        self.u = unit
        self.aliases = aliases
        self.has_array = "array" in file_flags
        self.has_frame = "frame" in file_flags
        self.has_sklearn = "sklearn" in file_flags
        self.bound: dict[str, int] = {}     # first line where each local name is bound
        self.sequences: set[str] = set()     # names assigned a list, tuple or string: `+=` grows them
        self.class_info = class_info

    # -- name resolution --
    def resolve(self, node: ast.AST) -> list[str] | None:
        parts = _dotted(node)
        if not parts:
            return None
        origin = self.aliases.get(parts[0])
        if origin is None:
            return None
        return origin.split(".") + parts[1:]

    def measure(self, body: list[ast.stmt], args: ast.arguments | None) -> None:
        if args is not None:
            for a in (*args.posonlyargs, *args.args, *args.kwonlyargs, args.vararg, args.kwarg):
                if a is not None:
                    self.bound[a.arg] = 0
        self._block(body, 0, None)

    # -- statements --
    def _block(self, stmts: list[ast.stmt], depth: int, loop: LoopInfo | None) -> None:
        for stmt in stmts:
            self._stmt(stmt, depth, loop)

    def _stmt(self, stmt: ast.stmt, depth: int, loop: LoopInfo | None) -> None:
        u = self.u
        if isinstance(stmt, self._DEFS):
            for d in stmt.decorator_list:
                self._expr(d, depth, loop)
            self._bind(stmt.name, stmt.lineno, loop)
            return
        u.stmts += 1
        if depth:
            u.loop_stmts += 1
        if isinstance(stmt, ast.For) or isinstance(stmt, ast.AsyncFor) or isinstance(stmt, ast.While):
            self._loop(stmt, depth, loop)
            return
        before = u.array_ops + u.frame_ops
        if isinstance(stmt, ast.Assign):
            self._expr(stmt.value, depth, loop)
            for target in stmt.targets:
                self._target(target, stmt.lineno, depth, loop)
            if type(stmt.targets[0]) is ast.Name and _is_sequence(stmt.value):
                self.sequences.add(stmt.targets[0].id)
        elif isinstance(stmt, ast.AugAssign):
            self._expr(stmt.value, depth, loop)
            tgt = stmt.target
            # `lst += [...]` and `s += "..."` grow (and copy) a container, as append does: no arithmetic
            grows = type(tgt) is ast.Name and isinstance(stmt.op, ast.Add) and (
                tgt.id in self.sequences or _is_sequence(stmt.value))
            if not grows:
                if depth and isinstance(stmt.op, _ARITH):
                    u.loop_arith += 1
                u.arith += 1
            if isinstance(tgt, ast.Name):
                if grows:
                    if depth:
                        u.aug_growth += 1
                    if loop is not None:
                        loop["grown"].add(tgt.id)
                elif loop is not None:
                    loop["aug"].add(tgt.id)
                    loop["load"].add(tgt.id)
            elif isinstance(tgt, ast.Attribute):
                self._expr(tgt.value, depth, loop)
                if loop is not None and isinstance(tgt.value, ast.Name) and tgt.value.id == "self":
                    loop["aug"].add("self." + tgt.attr)
            else:
                self._expr(tgt, depth, loop)
        elif isinstance(stmt, ast.AnnAssign):
            if stmt.value is not None:
                self._expr(stmt.value, depth, loop)
            self._target(stmt.target, stmt.lineno, depth, loop)
        elif isinstance(stmt, ast.Global) or isinstance(stmt, ast.Nonlocal):
            u.global_stmts += 1
        elif isinstance(stmt, ast.With) or isinstance(stmt, ast.AsyncWith):
            for item in stmt.items:
                parts = _dotted(item.context_expr)
                if parts and "lock" in parts[-1].lower():
                    u.locks += 1
                self._expr(item.context_expr, depth, loop)
                if item.optional_vars is not None:
                    self._target(item.optional_vars, stmt.lineno, depth, loop)
            self._block(stmt.body, depth, loop)
            return
        elif isinstance(stmt, ast.If):
            self._expr(stmt.test, depth, loop)
            self._block(stmt.body, depth, loop)
            self._block(stmt.orelse, depth, loop)
            return
        elif isinstance(stmt, ast.Try) or isinstance(stmt, ast.TryStar):
            self._block(stmt.body, depth, loop)
            for h in stmt.handlers:
                if h.name:
                    self._bind(h.name, h.lineno, loop)
                self._block(h.body, depth, loop)
            self._block(stmt.orelse, depth, loop)
            self._block(stmt.finalbody, depth, loop)
            return
        elif isinstance(stmt, ast.Match):
            self._expr(stmt.subject, depth, loop)
            for case in stmt.cases:
                self._block(case.body, depth, loop)
            return
        elif isinstance(stmt, (ast.Import, ast.ImportFrom, ast.Pass, ast.Break, ast.Continue)):
            return
        elif isinstance(stmt, ast.Delete):
            for child in stmt.targets:
                self._expr(child, depth, loop)
                if depth and isinstance(child, ast.Subscript):
                    u.resized_in_loop += 1
        else:   # Expr, Return, Raise, Assert
            for node in ast.iter_child_nodes(stmt):
                self._expr(node, depth, loop)
        if depth and u.array_ops + u.frame_ops == before:
            u.loop_plain += 1

    def _bind(self, name: str, line: int, loop: LoopInfo | None) -> None:
        self.bound.setdefault(name, line)
        if loop is not None:
            loop["store"].add(name)

    def _target(self, target: ast.AST, line: int, depth: int, loop: LoopInfo | None) -> None:
        if isinstance(target, ast.Name):
            self._bind(target.id, line, loop)
        elif isinstance(target, (ast.Tuple, ast.List)):
            for e in target.elts:
                self._target(e, line, depth, loop)
        elif isinstance(target, ast.Starred):
            self._target(target.value, line, depth, loop)
        else:   # attribute or subscript store: its parts are loads
            if depth and isinstance(target, ast.Subscript):
                self.u.fills_in_loop += 1
            if loop is not None and isinstance(target, ast.Subscript) and isinstance(target.value, ast.Name):
                loop["sub_store"].add(target.value.id)
                self._expr(target.slice, depth, loop)
                return
            self._expr(target, depth, loop)

    def _loop(self, stmt: ast.For | ast.AsyncFor | ast.While, depth: int, outer: LoopInfo | None) -> None:
        u = self.u
        depth += 1
        u.max_depth = max(u.max_depth, depth)
        info: LoopInfo = {"store": set(), "load": set(), "aug": set(), "targets": set(), "grown": set(),
                "sub_store": set(), "sub_shift": set()}
        if isinstance(stmt, ast.While):
            u.while_loops += 1
            self._expr(stmt.test, depth, info)
        else:
            u.for_loops += 1
            it = stmt.iter
            if isinstance(it, ast.Call) and isinstance(it.func, ast.Name) and it.func.id in (
                    "range", "prange"):
                u.range_loops += 1
                if it.func.id == "prange":
                    u.parallel_api += 1
            self._expr(it, depth - 1, outer)     # the iterable is evaluated once, before the loop
            names = [n.id for n in ast.walk(stmt.target) if isinstance(n, ast.Name)]
            info["targets"].update(names)
            for n in names:
                self.bound.setdefault(n, stmt.lineno)
        calls_before, arith_before = u.work_calls, u.loop_arith - u.index_arith
        growth_before = u.growth_in_loop + u.aug_growth + u.resized_in_loop
        self._block(stmt.body, depth, info)
        self._block(stmt.orelse, depth, info)
        # State carried to the next iteration: a name bound before the loop, read and rebound in it.
        carried = {n for n in (info["store"] & info["load"]) | info["aug"]
                   if n not in info["targets"] and self.bound.get(n, 1 << 30) < stmt.lineno}
        # A loop that reads the container it grows, or an element its earlier iterations wrote
        # (a[i + 1] after a[i]), depends on those iterations too.
        carried |= {n for n in info["grown"] & info["load"] if self.bound.get(n, 1 << 30) < stmt.lineno}
        carried |= info["sub_store"] & info["sub_shift"]
        u.carried |= carried
        if outer is not None:
            for key in ("store", "load", "aug", "grown", "sub_store", "sub_shift"):
                outer[key] |= info[key]
        # Index arithmetic (seq[i:i + n]) picks the items; it is not work done on them.
        if not isinstance(stmt, ast.While) and not carried and (
                u.growth_in_loop + u.aug_growth + u.resized_in_loop == growth_before) and (
                u.work_calls > calls_before or u.loop_arith - u.index_arith > arith_before):
            u.independent_loops += 1

    # -- expressions --
    def _expr(self, node: ast.AST, depth: int, loop: LoopInfo | None) -> None:
        u = self.u
        stack = [node]
        while stack:
            n = stack.pop()
            if isinstance(n, ast.Name):
                if loop is not None and isinstance(n.ctx, ast.Load):
                    loop["load"].add(n.id)
                continue
            if isinstance(n, ast.Constant):
                continue
            if isinstance(n, ast.Call):
                self._call(n, depth)
                stack.extend(n.args)
                stack.extend(k.value for k in n.keywords)
                f = n.func
                if isinstance(f, ast.Attribute):
                    if loop is not None and isinstance(f.value, ast.Name):
                        if f.attr in GROWTH_METHODS:
                            loop["grown"].add(f.value.id)     # growing is not reading
                            continue
                        if f.attr in MUTATING_METHODS:
                            loop["grown"].add(f.value.id)
                    stack.append(f.value)
                else:
                    stack.append(f)
                continue
            if isinstance(n, ast.Subscript) and depth:
                self._subscript_in_loop(n, loop)
            if isinstance(n, ast.BinOp) and _is_text_op(n):
                pass    # "%d" % x and "a" + s format text; they compute nothing
            elif isinstance(n, ast.BinOp):
                if isinstance(n.op, ast.MatMult):
                    u.array_ops += 1
                    u.linalg_ops += 1
                    u.array_compute += 1
                    u.array_kinds.add("matmul")
                u.arith += 1
                u.arith_kinds.add(type(n.op))
                if depth:
                    u.loop_arith += 1
            elif isinstance(n, ast.Attribute):
                if n.attr in ARRAY_ATTRS and self.has_array and n.attr == "T":
                    u.array_ops += 1
                elif n.attr in FRAME_ATTRS and self.has_frame and n.attr not in ("index", "values"):
                    u.frame_ops += 1
                    u.frame_kinds.add(n.attr)
                if loop is not None and isinstance(n.value, ast.Name) and n.value.id == "self":
                    loop["load"].add("self." + n.attr)
            elif isinstance(n, _COMPREHENSIONS):
                self._comprehension(n, depth)
                continue
            elif isinstance(n, ast.Lambda):
                continue        # its body runs where it is called
            elif isinstance(n, ast.NamedExpr):
                if loop is not None:
                    loop["store"].add(n.target.id)
                    loop["aug"].add(n.target.id)
                stack.append(n.value)
                continue
            stack.extend(ast.iter_child_nodes(n))

    def _subscript_in_loop(self, n: ast.Subscript, loop: LoopInfo | None) -> None:
        u = self.u
        sl = n.slice
        if type(sl) is ast.Constant or type(sl) is ast.Name:
            return
        shifted = False
        for x in ast.walk(sl):
            if type(x) is ast.BinOp:
                u.index_arith += 1
                shifted = True
        if loop is not None and shifted and isinstance(n.value, ast.Name) and isinstance(n.ctx, ast.Load):
            loop["sub_shift"].add(n.value.id)
        # A slice of a list, tuple or string copies it; a slice of an array is a view.
        if type(sl) is ast.Slice and not self.has_array and isinstance(n.ctx, ast.Load):
            u.built_in_loop += 1
            u.slice_copies += 1

    def _comprehension(self, node: ast.ListComp | ast.SetComp | ast.DictComp | ast.GeneratorExp,
                       depth: int) -> None:
        u = self.u
        u.max_depth = max(u.max_depth, depth + len(node.generators))
        calls, arith = u.calls, u.arith
        elts = [node.key, node.value] if isinstance(node, ast.DictComp) else [node.elt]
        for e in elts:
            self._expr(e, depth + 1, None)
        work = (u.calls - calls) + (u.arith - arith)
        worked = work > 0 and self._does_work(elts)
        for g in node.generators:
            self._expr(g.iter, depth, None)
            for cond in g.ifs:
                self._expr(cond, depth + 1, None)
        if worked:
            u.independent_maps += 1
        elif not isinstance(node, ast.GeneratorExp):
            u.comprehension_containers += 1

    def _does_work(self, exprs: list[ast.expr]) -> bool:
        """Whether an element expression computes: arithmetic, or a call that is not plumbing."""
        for e in exprs:
            for n in ast.walk(e):
                if isinstance(n, ast.BinOp):
                    return True
                if isinstance(n, ast.Call):
                    parts = _dotted(n.func)
                    if not parts or parts[-1] not in PLUMBING:
                        return True
        return False

    def _call(self, node: ast.Call, depth: int) -> None:
        u = self.u
        u.calls += 1
        func = node.func
        resolved = self.resolve(func)
        parts = resolved or _dotted(func)
        last = parts[-1] if parts else (func.attr if isinstance(func, ast.Attribute) else "")
        if last not in PLUMBING and last not in GROWTH_METHODS and last not in CONTAINER_CALLS and \
                last not in COPY_CALLS:
            u.work_calls += 1
        root = resolved[0] if resolved else None
        if resolved and root in ARRAY_MODULES:
            self._array_call(last, resolved)
            if depth and last in ARRAY_ALLOC:
                u.array_alloc_in_loop += 1
            if root in DEVICE_MODULES:
                u.device_ops += 1
        elif root == "pandas":
            u.frame_ops += 1
            u.frame_kinds.add(last)
            if last in GROUPING:
                u.grouping_ops += 1
        elif root == "sklearn":
            u.sk_uses += 1
        elif root in PARALLEL_MODULES or (root is None and last in PARALLEL_CALLS and self._parallel_name(last)):
            u.parallel_api += 1
        elif root == "math" or root == "cmath" or root == "operator":
            u.math_calls += 1
        elif resolved is None and isinstance(func, ast.Attribute):
            self._method_call(func, last, node, depth)
        if root in ("copy",) or (resolved is None and last in COPY_CALLS):
            u.copies += 1
            if depth:
                u.copies_in_loop += 1
        if isinstance(func, ast.Name) and resolved is None:
            name = func.id
            if name in CONTAINER_CALLS or (root is None and name in ("Counter", "defaultdict")):
                u.containers += 1
                if depth and node.args:
                    u.built_in_loop += 1
            elif name in ("sum", "min", "max") and node.args and not self.has_array:
                u.reductions += 1
            if name in MAP_CALLS and len(node.args) >= 2 and self._maps_work(node.args[0]):
                u.independent_maps += 1
        elif resolved and resolved[-1] in ("Counter", "defaultdict", "deque", "OrderedDict"):
            u.containers += 1
        elif resolved and resolved[-1] in ("starmap", "map") and node.args and self._maps_work(node.args[0]):
            u.independent_maps += 1
        elif resolved and resolved[-1] in ("deepcopy", "copy"):
            pass
        if last in MAP_CALLS and isinstance(func, ast.Attribute) and resolved is None:
            # executor.map / pool.map: the items go to workers
            owner = _dotted(func.value)
            if owner and any(w in owner[-1].lower() for w in ("executor", "pool")):
                u.parallel_api += 1
                u.independent_maps += 1

    def _parallel_name(self, last: str) -> bool:
        origin = self.aliases.get(last, "")
        return origin.split(".")[0] in PARALLEL_MODULES or origin.startswith("numba")

    def _maps_work(self, fn: ast.AST) -> bool:
        if isinstance(fn, ast.Lambda):
            return self._does_work([fn.body])
        parts = self.resolve(fn) or _dotted(fn)
        if not parts:
            return True
        if parts[0] == "operator":
            return parts[-1] not in ("itemgetter", "attrgetter", "is_not", "not_", "truth")
        if parts[0] == "itertools" or parts[-1] in PLUMBING:
            return False
        return True

    def _array_call(self, last: str, resolved: list[str]) -> None:
        u = self.u
        u.array_ops += 1
        u.array_kinds.add(last)
        if last in LINALG_CALLS or "linalg" in resolved:
            u.linalg_ops += 1
            u.array_compute += 1
        elif last not in ARRAY_MAKERS:
            u.array_compute += 1
        if last in ARRAY_ALLOC:
            u.array_alloc += 1
        if last in ("reshape", "resize"):
            u.reshape_ops += 1

    def _method_call(self, func: ast.Attribute, last: str, node: ast.Call, depth: int) -> None:
        u = self.u
        if last in GROWTH_METHODS and depth:
            u.growth_in_loop += 1
            if type(func.value) is ast.Subscript or type(func.value) is ast.Call:
                u.keyed_growth += 1     # d[k].append(v), d.setdefault(k, []).append(v)
        if last in FIT_NAMES and (self.has_sklearn or self.class_info):
            u.sk_fit_calls += 1
        elif last in INFER_NAMES and last != "transform" and (self.has_sklearn or self.class_info):
            u.sk_infer_calls += 1
        if self.has_frame and last in FRAME_METHODS:
            u.frame_ops += 1
            u.frame_kinds.add(last)
            if last in GROUPING:
                u.grouping_ops += 1
        elif self.has_frame and last in AGGREGATES and u.grouping_ops:
            u.frame_ops += 1
            u.aggregate_ops += 1
        elif self.has_array and (last in ARRAY_METHODS or last in LINALG_CALLS):
            u.array_ops += 1
            u.array_kinds.add(last)
            if last in LINALG_CALLS:
                u.linalg_ops += 1
                u.array_compute += 1
            elif last not in ARRAY_MAKERS:
                u.array_compute += 1
            if last == "reshape":
                u.reshape_ops += 1
        if self.has_frame and last in AGGREGATES and last in ("agg", "aggregate"):
            u.aggregate_ops += 1


_ARITH = (ast.Add, ast.Sub, ast.Mult, ast.Div, ast.FloorDiv, ast.Mod, ast.Pow, ast.MatMult)
_SEQUENCE_NODES = (ast.List, ast.ListComp, ast.Tuple, ast.JoinedStr)


def _is_text(node: ast.AST) -> bool:
    return isinstance(node, ast.JoinedStr) or (isinstance(node, ast.Constant) and isinstance(node.value, (str, bytes)))


def _is_text_op(node: ast.BinOp) -> bool:
    """`"%d" % x`, `"a" + s`: formatting or joining text, not arithmetic."""
    op = type(node.op)
    if op is ast.Mod:
        return _is_text(node.left)
    return op is ast.Add and (_is_text(node.left) or _is_text(node.right))


def _is_sequence(node: ast.AST) -> bool:
    """A list, tuple or string value: `[...]`, `list(x)`, `"..."`, f-strings, `[x] * n`."""
    if isinstance(node, _SEQUENCE_NODES) or _is_text(node):
        return True
    if isinstance(node, ast.Call) and isinstance(node.func, ast.Name):
        return node.func.id in ("list", "tuple", "sorted", "str")
    if isinstance(node, ast.BinOp) and isinstance(node.op, (ast.Mult, ast.Add)):
        return _is_sequence(node.left) or _is_sequence(node.right)
    return False


_COMPREHENSIONS = (ast.ListComp, ast.SetComp, ast.DictComp, ast.GeneratorExp)


# ---- files -------------------------------------------------------------------------------------

def _file_flags(aliases: Aliases) -> frozenset[str]:
    roots = {origin.partition(".")[0] for origin in aliases.values()}
    flags = set()
    if roots & ARRAY_MODULES:
        flags.add("array")
    if "pandas" in roots:
        flags.add("frame")
    if "sklearn" in roots:
        flags.add("sklearn")
    return frozenset(flags)


def _estimator_class(cls: ast.ClassDef, aliases: Aliases, known: dict[str, str | None]) -> str | None:
    """Why `cls` follows the estimator protocol, or None."""
    for base in cls.bases:
        parts = _dotted(base)
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
    methods = {n.name for n in cls.body if isinstance(n, (ast.FunctionDef, ast.AsyncFunctionDef))}
    fits = {m for m in methods if m.lstrip("_") in FIT_NAMES or m in ("_fit",)}
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
    if bare in INFER_NAMES or bare in ("predict_proba", "predict_log_proba"):
        return "infer"
    return None


def collect_units(tree: ast.Module) -> tuple[list[Unit], Aliases]:
    """Every function and method (qualified names), plus `<module>` when a script's top level works."""
    module_aliases: Aliases = {}
    imports_of(tree.body, module_aliases)
    units: list[Unit] = []
    estimators: dict[str, str | None] = {}

    def visit(body: list[ast.stmt], prefix: str, aliases: Aliases, cls_why: str | None) -> None:
        for node in body:
            if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
                qual = prefix + node.name
                unit = Unit(qualname=qual, node=node, line=node.lineno)
                local = dict(aliases)
                imports_of(node.body, local)
                if has_no_code(node):
                    unit.no_code = True
                else:
                    if cls_why is not None:
                        unit.role = method_role(node.name)
                        if unit.role:
                            unit.role_why = f"{'fit' if unit.role == 'train' else 'inference'} method of an " \
                                            f"estimator class that {cls_why}"
                    m = Measurer(unit, local, _file_flags(local), {"estimator": True} if cls_why else None)
                    m.measure(node.body, node.args)
                unit.aliases = local
                units.append(unit)
                visit(node.body, qual + ".", local, None)
            elif isinstance(node, ast.ClassDef):
                why = _estimator_class(node, aliases, estimators)
                estimators[node.name] = why
                visit(node.body, prefix + node.name + ".", aliases, why)
            elif isinstance(node, (ast.If, ast.Try, ast.With, ast.For, ast.While)) or \
                    type(node).__name__ == "TryStar":
                for name in ("body", "orelse", "finalbody"):
                    visit(getattr(node, name, None) or [], prefix, aliases, cls_why)
                for h in getattr(node, "handlers", ()) or ():
                    visit(h.body, prefix, aliases, cls_why)

    visit(tree.body, "", module_aliases, None)
    code = module_code(tree)
    if code:
        unit = Unit(qualname="<module>", node=tree, line=code[0].lineno)
        Measurer(unit, module_aliases, _file_flags(module_aliases), None).measure(code, None)
        if unit.max_depth or unit.calls >= 2:
            unit.aliases = module_aliases
            units.append(unit)
    return units, module_aliases
