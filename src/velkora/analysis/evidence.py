"""What a function's code does, measured on its syntax tree: the evidence behind a workload label.

Only code counts. Docstrings, comments and string literals never reach a measurement, and names of
modules are resolved through the imports of the file and of the function (`import numpy as xp`,
`from sklearn.linear_model import Ridge`), so a word in prose or an unrelated `groupby` changes nothing.

One `Unit` per function or method (nested ones measured on their own bodies) and one for a script's
module-level code (velkora.analysis.units finds them). Each unit is walked once, without entering nested
definitions, which keeps the whole file linear in its size. The walk here follows statements, loops and
expressions; what each call means is velkora.analysis.calls' to say, what a node's shape is
velkora.analysis.shapes', and the words they go by are in velkora.analysis.vocabulary.
"""

from __future__ import annotations

import ast
import builtins
from collections.abc import Iterable
from dataclasses import dataclass, field

from velkora.analysis.calls import CallCounter, does_work, dotted
from velkora.analysis.shapes import (ARITH, ASSOCIATIVE, COMPREHENSIONS, at_most_twice, breaks, few_items,
                                     is_sequence, is_text, is_text_op, returns)
from velkora.analysis.vocabulary import (ARRAY_MODULES, COPY_CALLS, FRAME_ATTRS, GROWTH_METHODS, MUTATING_METHODS,
                                         NOT_WORK, OUTPUT_CALLS, SMALL_RESULTS, TEXT_METHODS, WAIT_CALLS,
                                         WHOLE_READS)

_BUILTINS = frozenset(dir(builtins))
Aliases = dict[str, str]            # local name -> the dotted module or object it was imported as
# What a value's size follows: "" the caller's data (an argument, its parts and items), "self.x" or a
# module name the object's or module's container of that name, None nothing known to grow (a handful).
SizeKey = str | None
LoopInfo = dict[str, set[str]]      # what one loop stores, loads, grows... by kind


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
    # size: evidence that the containers are large or grow with the input, against a handful built along
    # the way (a few options, headers, fields, the words of one line, a directory listing)
    sized_growth: int = 0               # containers grown per item of the caller's data or of a worklist
    whole_copies: int = 0               # copies of a whole input: copy(xs), list(xs), xs.copy(), deepcopy
    whole_reads: int = 0                # a whole file or stream read into memory: f.read(), readlines()
    explicit_sizes: int = 0             # [None] * n, bytearray(n): as many items as a size says
    # The object's or module's containers (`self.tasks`, a registry) the unit's loops grow per item of:
    # as large as the data when some function of the file grows them too (decided once the file is read).
    sized_if_grown: set[str] = field(default_factory=set)
    grows: set[str] = field(default_factory=set)    # the object's or module's containers the unit grows
    # parallel and sequential
    independent_maps: int = 0           # map()/comprehensions whose element does work
    independent_loops: int = 0          # for loops carrying no state whose body does work
    # Of the independent maps and loops, those whose every item costs: arithmetic, a math or array call,
    # a call of a function handed in, or (decided once the file is read) of a function of the file that
    # loops. The others format, copy or file away a few values each: nothing to spread over workers.
    costly_items: int = 0
    strong_items: int = 0               # of those, items with plenty of work: native calls, 4+ operations
    pending_items: list[frozenset[str]] = field(default_factory=list)   # the file's functions each calls
    waits_in_loop: int = 0              # calls in loops that wait: sleeps, polls, pipe and queue traffic
    handed_to_workers: set[str] = field(default_factory=set)    # functions it gives to a pool or thread
    worker_body: bool = False           # the file gives this function to a pool, a process or a thread
    test: bool = False                  # a test function (test_* in a test file): it exercises other code
    parallel_api: int = 0               # joblib, executors, pools, prange
    carried: set[str] = field(default_factory=set)
    reduced: set[str] = field(default_factory=set)   # total += f(x): associative reductions, not carried
    array_in_loop: int = 0              # array operations in statements inside Python loops
    rowwise: int = 0                    # DataFrame.iterrows/itertuples, apply(..., axis=1): a frame row by row
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
    effect_calls: int = 0               # of those, in loops, made only for their effect (result dropped)
    awaits: int = 0                     # await expressions: waiting on I/O, not computing
    text_in_loop: int = 0               # text work in loops: string methods, text compared, joined, formatted
    yields: int = 0                     # yield expressions: items handed to a consumer one at a time
    answered_yields: int = 0            # of those, the ones whose value is used: `x = yield item`
    stmts: int = 0
    aliases: Aliases = field(default_factory=dict)   # the import names the unit sees


def _key(node: ast.expr) -> str:
    """A subscript's key as written: names, constants, `i + 1`, `(i, j)` spelt out, anything else by its tree."""
    if isinstance(node, ast.Name):
        return node.id
    if isinstance(node, ast.Constant):
        return repr(node.value)
    if isinstance(node, ast.BinOp):
        return f"({_key(node.left)} {type(node.op).__name__} {_key(node.right)})"
    if isinstance(node, ast.Tuple):
        return "(" + ", ".join(map(_key, node.elts)) + ")"
    return ast.dump(node)


def _crossed(loads: set[str], stores: set[str]) -> set[str]:
    """The containers, of cells `root\0key` (Measurer._cell), read at one key and stored at another."""
    keys: dict[str, set[str]] = {}
    for c in stores:
        root, _, key = c.partition("\0")
        keys.setdefault(root, set()).add(key)
    read = {c.partition("\0")[0] for c in loads if c.partition("\0")[0] in keys}
    for c in loads:
        root, _, key = c.partition("\0")
        if root in keys:
            keys[root].add(key)
    return {root for root in read if len(keys[root]) > 1}


def _opens(node: ast.AST) -> bool:
    """open(...), os.fdopen(...), io.open(...), x.makefile(...): a file, pipe or socket stream."""
    if not isinstance(node, ast.Call):
        return False
    parts = dotted(node.func)
    if not parts or parts[-1] not in ("open", "fdopen", "makefile"):
        return False
    return len(parts) == 1 or parts[0] in ("os", "io", "gzip", "bz2", "lzma", "codecs") or parts[-1] == "makefile"


# Calls that copy or size what they are given: list(xs) copies the caller's data, bytearray(n) allocates n.
_WHOLE_CALLS = frozenset({"list", "dict", "set", "tuple", "sorted", "deepcopy", "bytearray"})


# Calls whose result is one number or flag, whatever they are given.
_SCALAR_CALLS = frozenset({"len", "index", "count", "int", "float", "bool", "abs", "hash", "id", "ord",
                           "isinstance", "issubclass", "hasattr", "callable", "getint", "getfloat", "getboolean"})


def _writes(node: ast.expr) -> bool:
    """print(...), out.write(...), log.info(...): output, whose arguments are formatted, not computed."""
    if not isinstance(node, ast.Call):
        return False
    f = node.func
    return (isinstance(f, ast.Name) and f.id == "print") or (isinstance(f, ast.Attribute) and f.attr in OUTPUT_CALLS)


def _named(key: ast.expr) -> bool:
    """A key written out as a string: the name of a field or a section, not an item of the data."""
    return isinstance(key, ast.Constant) and isinstance(key.value, str)


def _counted(node: ast.expr) -> ast.expr:
    """`xs` of `len(xs)`: what a length counts; any other expression as it is."""
    if isinstance(node, ast.Call) and isinstance(node.func, ast.Name) and node.func.id == "len" and node.args:
        return node.args[0]
    return node


def _largest(keys: Iterable[SizeKey]) -> SizeKey:
    """The size of a value made of parts of these sizes: the caller's data before an object's container."""
    found: SizeKey = None
    for k in keys:
        if k == "":
            return k
        if found is None:
            found = k
    return found


def _sized_by(node: ast.BinOp) -> bool:
    """`[None] * n`, `b"\\0" * size`: a list or bytes of as many items as a size that is not written out."""
    for seq, n in ((node.left, node.right), (node.right, node.left)):
        if (isinstance(seq, (ast.List, ast.Tuple)) or (isinstance(seq, ast.Constant) and isinstance(
                seq.value, bytes))) and not isinstance(n, ast.Constant):
            return True
    return False


def _root_name(node: ast.AST) -> str | None:
    """The name an expression of attributes, calls and items starts from (`w` of `w.lower().strip`)."""
    while isinstance(node, (ast.Attribute, ast.Call, ast.Subscript)):
        node = node.func if isinstance(node, ast.Call) else node.value
    return node.id if isinstance(node, ast.Name) else None


# Operators whose result is no container (a % on text is text): the size of an expression stops there.
_NUMBER_OPS = (ast.Div, ast.FloorDiv, ast.Pow, ast.Mod, ast.MatMult, ast.LShift, ast.RShift)


class Measurer:
    """Walks one unit's statements once and fills its counters: loops, state carried between iterations,
    arithmetic, containers grown and copied. What each call is, it leaves to a CallCounter."""

    _DEFS = (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)

    def __init__(self, unit: Unit, aliases: Aliases, file_flags: frozenset[str],
                 class_info: dict[str, bool] | None, enclosing: frozenset[str] = frozenset()) -> None:
        self.u = unit
        self.calls = CallCounter(unit, aliases, file_flags, class_info)
        self.has_array = "array" in file_flags
        self.has_frame = "frame" in file_flags
        self.bound: dict[str, int] = {}     # first line where each local name is bound
        self.sequences: set[str] = set()     # names assigned a list, tuple or string: `+=` grows them
        self.arrays: set[str] = set()        # names assigned an array: arithmetic on them is array work
        # `append = cache.append`: calling the alias grows or changes `cache`.
        self.method_aliases: dict[str, tuple[str, str]] = {}
        self.callees: list[str] = []        # the file's own functions called in loops, by name, in order
        self.param_calls = 0                # calls in loops of a function handed in as an argument
        self.texts: set[str] = set()        # names assigned a string
        self.sets: set[str] = set()          # names assigned a set: `-` on them is a set difference
        # Generators that any()/all() read until an item decides: a predicate handed in, or a math check
        # (isnan), asked of each item is a test, not work to spread.
        self.searches: set[int] = set()
        self.bare_yield: ast.AST | None = None     # the yield of the statement `yield x` being walked
        self.items: set[str] = set()        # the names of the items of the loops and comprehensions around
        self.item_calls = 0                 # calls of methods of those items: w.lower().strip()
        self.ops = 0                        # arithmetic in loops, bitwise operations left out
        self.streams: set[str] = set()      # names of opened files and pipes: a loop over one reads it
        self.sized: dict[str, str] = {}     # names holding data whose size follows a SizeKey (not None)
        # `except E as e`: Python unbinds `e` when the handler ends, so no iteration sees another's
        self.handler_names: set[str] = set()
        self.text_ops: set[int] = set()     # `+` nodes inside text being joined
        # The names of the function a nested one is defined in: what it reads of them is that function's data.
        self.enclosing = enclosing
        self.script = False                 # module code: its loops walk what the script reads

    def measure(self, body: list[ast.stmt], args: ast.arguments | None) -> None:
        if args is not None:
            for a in (*args.posonlyargs, *args.args, *args.kwonlyargs, args.vararg, args.kwarg):
                if a is not None:
                    self.bound[a.arg] = 0
                    self.calls.params.add(a.arg)
            # The caller's data: the arguments; `**options` are a handful written out at the call.
            for a in (*args.posonlyargs, *args.args, *args.kwonlyargs, args.vararg):
                if a is not None and a.arg not in ("self", "cls"):
                    self.sized[a.arg] = ""
            # An argument whose default is a string is text: `indent + "..."` formats, computes nothing.
            positional = (*args.posonlyargs, *args.args)
            for a, d in (*zip(positional[len(positional) - len(args.defaults):], args.defaults),
                         *zip(args.kwonlyargs, args.kw_defaults)):
                if d is not None and is_text(d):
                    self.texts.add(a.arg)
        else:
            self.script = True
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
        before, arrays_before = u.array_ops + u.frame_ops, u.array_ops
        if isinstance(stmt, ast.Assign):
            self._expr(stmt.value, depth, loop)
            for target in stmt.targets:
                self._target(target, stmt.lineno, depth, loop)
            # (An item stored into, `a[i] = ...`, binds no name: its size is never asked.)
            targets = stmt.targets
            key = None if len(targets) == 1 and type(targets[0]) is ast.Subscript else self._size_key(stmt.value)
            self._note_size(stmt.targets, key)
            if key == "":
                # An object's container set from the caller's data is as large as that data.
                for t in stmt.targets:
                    if isinstance(t, ast.Attribute) and isinstance(t.value, ast.Name) and t.value.id == "self":
                        u.grows.add("self." + t.attr)
            if type(stmt.targets[0]) is ast.Name and is_sequence(stmt.value):
                self.sequences.add(stmt.targets[0].id)
                if is_text(stmt.value):
                    self.texts.add(stmt.targets[0].id)
            if type(stmt.targets[0]) is ast.Name:
                if self._is_set(stmt.value):
                    self.sets.add(stmt.targets[0].id)
                elif type(stmt.value) is ast.Call and _opens(stmt.value):
                    self.streams.add(stmt.targets[0].id)
            if self.has_array and self._is_array(stmt.value):
                self.arrays.update(t.id for t in stmt.targets if type(t) is ast.Name)
            v = stmt.value
            if isinstance(v, ast.Attribute) and isinstance(v.value, ast.Name) and (
                    v.attr in GROWTH_METHODS or v.attr in MUTATING_METHODS):
                for t in stmt.targets:
                    if type(t) is ast.Name:
                        self.method_aliases[t.id] = (v.value.id, v.attr)
        elif isinstance(stmt, ast.AugAssign):
            self._expr(stmt.value, depth, loop)
            tgt = stmt.target
            # `lst += [...]` and `s += "..."` grow (and copy) a container, as append does: no arithmetic
            grows = type(tgt) is ast.Name and isinstance(stmt.op, ast.Add) and (
                tgt.id in self.sequences or is_sequence(stmt.value))
            if not grows and self.has_array and (self._is_array(tgt) or self._is_array(stmt.value)):
                self._array_arith(stmt.op, depth)          # `x += alpha * p` on arrays: one array operation
            elif not grows and not (type(tgt) is ast.Name and tgt.id in self.sets):
                if depth and isinstance(stmt.op, ARITH):
                    u.loop_arith += 1
                    self._count_op(stmt.op)
                    if isinstance(stmt.op, (ast.Add, ast.Sub)) and type(stmt.value) is ast.Constant and (
                            stmt.value.value == 1):
                        u.index_arith += 1      # `i += 1` counts or steps along; it computes nothing
                u.arith += 1
            if isinstance(tgt, ast.Name):
                if grows:
                    if depth:
                        u.aug_growth += 1
                        if tgt.id in self.texts or is_text(stmt.value):
                            u.text_in_loop += 1     # s += c: a string built piece by piece
                    if loop is not None:
                        loop["grown"].add(tgt.id)
                elif loop is not None:
                    self._aug(tgt.id, stmt.op, loop)
            elif isinstance(tgt, ast.Attribute):
                if type(stmt.op) is ast.BitOr or (isinstance(stmt.op, ast.Add) and is_sequence(stmt.value)):
                    self._note_grows(tgt)
                self._expr(tgt.value, depth, loop)
                if loop is not None and isinstance(tgt.value, ast.Name) and tgt.value.id == "self":
                    self._aug("self." + tgt.attr, stmt.op, loop)
            else:
                if isinstance(tgt, ast.Subscript):
                    self._note_grows(tgt.value)
                if loop is not None and isinstance(tgt, ast.Subscript):
                    self._cell(tgt, loop["cell_store"])
                self._expr(tgt, depth, loop)
        elif isinstance(stmt, ast.AnnAssign):
            if stmt.value is not None:
                self._expr(stmt.value, depth, loop)
            self._target(stmt.target, stmt.lineno, depth, loop)
        elif isinstance(stmt, ast.Global) or isinstance(stmt, ast.Nonlocal):
            u.global_stmts += 1
        elif isinstance(stmt, ast.With) or isinstance(stmt, ast.AsyncWith):
            for item in stmt.items:
                parts = dotted(item.context_expr)
                if parts and "lock" in parts[-1].lower():
                    u.locks += 1
                if type(item.optional_vars) is ast.Name and _opens(item.context_expr):
                    self.streams.add(item.optional_vars.id)
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
                    self.handler_names.add(h.name)
                # What a handler calls runs when an item fails: no cost of the items that succeed.
                callees = len(self.callees)
                self._block(h.body, depth, loop)
                del self.callees[callees:]
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
        elif isinstance(stmt, ast.Assert):
            # A check computes nothing the function goes on with: no work to map, compile or keep.
            kept = (u.independent_maps, u.costly_items, u.strong_items, len(u.pending_items), self.ops,
                    len(self.callees), u.work_calls)
            for node in ast.iter_child_nodes(stmt):
                self._expr(node, depth, loop)
            u.independent_maps, u.costly_items, u.strong_items, pending, self.ops, callees, calls = kept
            del u.pending_items[pending:]
            del self.callees[callees:]
            if depth:
                u.effect_calls += u.work_calls - calls
        else:   # Expr, Return, Raise
            calls_before, callees_before, params_before = u.work_calls, len(self.callees), self.param_calls
            arith_before = u.loop_arith
            if isinstance(stmt, ast.Expr):
                self.bare_yield = stmt.value
            for node in ast.iter_child_nodes(stmt):
                self._expr(node, depth, loop)
            if depth and isinstance(stmt, ast.Expr) and _writes(stmt.value):
                u.index_arith += u.loop_arith - arith_before    # columns and offsets of what is printed
            # `p.kill()`, `h.close()`, `cb(self)` alone on a line: done for an effect, whose order may
            # matter and which yields no item to map, whatever the call costs.
            if depth and isinstance(stmt, ast.Expr):
                u.effect_calls += u.work_calls - calls_before
                del self.callees[callees_before:]
                self.param_calls = params_before
        if depth and u.array_ops + u.frame_ops == before:
            u.loop_plain += 1
        elif depth:
            u.array_in_loop += u.array_ops - arrays_before

    @staticmethod
    def _aug(name: str, op: ast.operator, loop: LoopInfo) -> None:
        # `total += f(x)` folds independent items with an associative operator: a reduction, which the
        # loop carries only if it also reads the running value (decided when the loop ends).
        if isinstance(op, ASSOCIATIVE):
            loop["reduce"].add(name)
        else:
            loop["aug"].add(name)
            loop["load"].add(name)

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
            if isinstance(target, ast.Subscript):
                self._note_grows(target.value)
                if depth:
                    self.u.fills_in_loop += 1
            if loop is not None and isinstance(target, ast.Subscript):
                self._cell(target, loop["cell_store"])
            if loop is not None and isinstance(target, ast.Subscript) and isinstance(target.value, ast.Name):
                loop["sub_store"].add(target.value.id)
                self._expr(target.slice, depth, loop)
                return
            self._expr(target, depth, loop)

    def _loop(self, stmt: ast.For | ast.AsyncFor | ast.While, depth: int, outer: LoopInfo | None) -> None:
        u = self.u
        if not isinstance(stmt, ast.While) and at_most_twice(stmt.iter):
            # `for x in (a, b):` is two statements written once: no loop to speed up or split.
            self._expr(stmt.iter, depth, outer)
            self._target(stmt.target, stmt.lineno, depth, outer)
            self._block(stmt.body, depth, outer)
            self._block(stmt.orelse, depth, outer)
            return
        depth += 1
        u.max_depth = max(u.max_depth, depth)
        info: LoopInfo = {"store": set(), "load": set(), "aug": set(), "targets": set(), "grown": set(),
                "sub_store": set(), "sub_shift": set(), "reduce": set(), "cell_store": set(),
                "cell_load": set()}
        key: SizeKey = None
        if isinstance(stmt, ast.While):
            u.while_loops += 1
            self._expr(stmt.test, depth, info)
            key = self._size_key(stmt.test)
        else:
            u.for_loops += 1
            it = stmt.iter
            key = "" if self.script else None if few_items(it) else self._size_key(it)
            self._note_size([stmt.target], key)
            if (type(it) is ast.Name and it.id in self.streams) or _opens(it):
                u.waits_in_loop += 1        # `for line in f`: each item is a read
            if isinstance(it, ast.Call) and isinstance(it.func, ast.Name) and it.func.id in (
                    "range", "prange"):
                u.range_loops += 1
                if it.func.id == "prange":
                    u.parallel_api += 1
            self._expr(it, depth - 1, outer)     # the iterable is evaluated once, before the loop
            names = [n.id for n in ast.walk(stmt.target) if isinstance(n, ast.Name)]
            info["targets"].update(names)
            added = set(names) - self.items
            for n in names:
                self.bound.setdefault(n, stmt.lineno)
        calls_before, arith_before = u.work_calls - u.effect_calls, u.loop_arith - u.index_arith
        awaits_before, waits_before, yields_before = u.awaits, u.waits_in_loop, u.yields
        answered_before = u.answered_yields
        item = self._item_start()
        growth_before = u.growth_in_loop + u.aug_growth + u.resized_in_loop
        fills_before = u.fills_in_loop
        built_before = self._built(u)
        text_before = u.text_in_loop
        if not isinstance(stmt, ast.While):
            self.items |= added
        self._block(stmt.body, depth, info)
        self._block(stmt.orelse, depth, info)
        if not isinstance(stmt, ast.While):
            self.items -= added
        # A reduction whose running value the loop also reads or rebinds is state like any other.
        reduced = info["reduce"] - info["load"] - info["store"]
        # State carried to the next iteration: a name bound before the loop, read and rebound in it.
        carried = {n for n in (info["store"] & info["load"]) | info["aug"] | (info["reduce"] - reduced)
                   if n not in info["targets"] and self.bound.get(n, 1 << 30) < stmt.lineno
                   and n not in self.handler_names}
        u.reduced |= reduced - carried
        # A loop that reads the container it grows, or an element its earlier iterations wrote
        # (a[i + 1] after a[i]), depends on those iterations too.
        carried |= {n for n in info["grown"] & info["load"] if self.bound.get(n, 1 << 30) < stmt.lineno}
        carried |= info["sub_store"] & info["sub_shift"]
        # So does one that reads a container at one key and stores into it at another (d[succ] |= d[node]):
        # what it reads, other iterations wrote. Keys compare as written.
        carried |= _crossed(info["cell_load"], info["cell_store"])
        u.carried |= carried
        self._sized_loop(stmt, key, info, self._built(u) - built_before, u.text_in_loop > text_before)
        if outer is not None:
            for key in ("store", "load", "aug", "grown", "sub_store", "sub_shift", "reduce", "cell_store",
                        "cell_load"):
                outer[key] |= info[key]
        # Index arithmetic (seq[i:i + n]) picks the items; it is not work done on them. A loop that
        # awaits waits on I/O, which the event loop already overlaps.
        # A loop that breaks stops at the first item that succeeds (a search, a retry): its items are
        # taken in order.
        # A loop that waits (sleeps, polls, reads a pipe) spends its items waiting. A generator's loop
        # whose yields are answered (`choice = yield s`), or that keeps count of what it yields, talks
        # with its consumer item by item, in order.
        talks = u.answered_yields > answered_before or (u.yields > yields_before and bool(info["reduce"]))
        if not isinstance(stmt, ast.While) and not carried and u.awaits == awaits_before and (
                u.waits_in_loop == waits_before) and not talks and (
                u.growth_in_loop + u.aug_growth + u.resized_in_loop == growth_before) and (
                u.work_calls - u.effect_calls > calls_before or u.loop_arith - u.index_arith > arith_before) and (
                not breaks(stmt.body)) and not (u.yields == yields_before and returns(stmt.body)):
            u.independent_loops += 1
            # Calls on each of the caller's items count when the loop files its results by key.
            self._item_cost(item, few_items(stmt.iter),
                            self._of_input(stmt.iter) and u.fills_in_loop > fills_before)

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
            t = type(n)
            if t is ast.Await:
                u.awaits += 1
            elif t is ast.Yield or t is ast.YieldFrom:
                u.yields += 1
                if n is not self.bare_yield:
                    u.answered_yields += 1
            if type(n) is ast.Call:
                self.calls.count(n, depth)
                f = n.func
                if type(f) is ast.Name:
                    if f.id in _WHOLE_CALLS and n.args:
                        self._note_copy(n.args[0], f.id)
                    if (f.id == "any" or f.id == "all") and n.args and type(n.args[0]) is ast.GeneratorExp:
                        self.searches.add(id(n.args[0]))
                    elif (f.id == "any" or f.id == "all") and n.args and type(n.args[0]) is ast.Call:
                        self.calls.checks.add(id(n.args[0]))        # all(map(eq, a, b)): a check
                    if depth:
                        self._note_name_callee(f.id)
                elif depth and type(f) is ast.Attribute:
                    attr = f.attr
                    if type(f.value) is ast.Name and f.value.id in ("self", "cls"):
                        self.callees.append(attr)
                    if attr in TEXT_METHODS:
                        u.text_in_loop += 1
                    if attr not in NOT_WORK and attr not in WAIT_CALLS and self.items and (
                            _root_name(f.value) in self.items):
                        self.item_calls += 1
                stack.extend(n.args)
                stack.extend(k.value for k in n.keywords)
                f = n.func
                if isinstance(f, ast.Name) and f.id in self.method_aliases:
                    owner, method = self.method_aliases[f.id]
                    if loop is not None:
                        loop["grown"].add(owner)
                    if depth and method in GROWTH_METHODS:
                        u.growth_in_loop += 1
                    continue
                if isinstance(f, ast.Attribute):
                    if f.attr in GROWTH_METHODS:
                        self._note_grows(f.value)
                        if type(f.value) is ast.Subscript:
                            # d[k].append(v) into a table of the object or module: it keeps one entry
                            # per key it is ever given, as large as everything that fed it
                            k = self._size_key(f.value.value)
                            if k:
                                u.sized_if_grown.add(k)
                    elif f.attr in WHOLE_READS and not n.args and not n.keywords:
                        u.whole_reads += 1
                    if f.attr in COPY_CALLS or (type(f.value) is ast.Name and f.value.id == "copy"):
                        self._note_copy(n.args[0] if n.args else f.value, f.attr)
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
            if depth and type(n) is ast.Compare and any(map(is_text, (n.left, *n.comparators))):
                u.text_in_loop += 1
            if isinstance(n, ast.BinOp):
                if type(n.op) is ast.Mult and _sized_by(n):
                    u.explicit_sizes += 1
                if self.has_array and not isinstance(n.op, ast.MatMult) and (
                        self._is_array(n.left) or self._is_array(n.right)):
                    self._array_arith(n.op, depth)
                elif id(n) in self.text_ops or is_text_op(n) or (type(n.op) is ast.Add and (
                        _root_name(n.left) in self.texts or _root_name(n.right) in self.texts)) or (
                        type(n.op) is ast.Mod and type(n.left) is ast.Name and n.left.id in self.texts):
                    if depth:
                        u.text_in_loop += 1
                    # `path + suffix + ".so"`: every piece joined into text is text
                    for c in (n.left, n.right):
                        if type(c) is ast.BinOp and type(c.op) is ast.Add:
                            self.text_ops.add(id(c))
                elif not (isinstance(n.op, ast.Sub) and self._is_set(n.left)):
                    # "%d" % x and "a" + s format text, a - b of sets files values: they compute nothing
                    if isinstance(n.op, ast.MatMult):
                        u.array_ops += 1
                        u.linalg_ops += 1
                        u.array_compute += 1
                        u.array_kinds.add("matmul")
                    u.arith += 1
                    u.arith_kinds.add(type(n.op))
                    if depth:
                        u.loop_arith += 1
                        self._count_op(n.op)
            elif isinstance(n, ast.Attribute):
                if n.attr == "T" and self.has_array:        # a transpose
                    u.array_ops += 1
                elif n.attr in FRAME_ATTRS and self.has_frame:
                    u.frame_ops += 1
                    u.frame_kinds.add(n.attr)
                if loop is not None and isinstance(n.value, ast.Name) and n.value.id == "self":
                    loop["load"].add("self." + n.attr)
            elif isinstance(n, COMPREHENSIONS):
                self._comprehension(n, depth, loop)
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

    @staticmethod
    def _built(u: Unit) -> int:
        return (u.growth_in_loop + u.aug_growth + u.fills_in_loop + u.built_in_loop + u.copies_in_loop
                + u.comprehension_containers)

    def _sized_loop(self, stmt: ast.For | ast.AsyncFor | ast.While, key: SizeKey, info: LoopInfo, built: int,
                    text: bool) -> None:
        """Files the containers a loop built, `built` of them, by the size its items follow (`key`)."""
        if not built:
            return
        if isinstance(stmt, ast.While):
            # A worklist (`while todo: ... todo.append(...)`) runs as long as the data feeds it; a while
            # loop over the characters of one string (slices, string methods) parses a line.
            tested = {n.id for n in ast.walk(stmt.test) if isinstance(n, ast.Name)}
            if tested & info["grown"]:
                key = ""
            if text:
                return
        if key == "":
            self.u.sized_growth += built
        elif key is not None:
            self.u.sized_if_grown.add(key)

    def _size_key(self, node: ast.AST) -> SizeKey:
        """What the size of a value follows (see SizeKey): the arguments, their parts and items, and what
        is computed from them, follow the caller's data; a string's pieces, a directory's entries, a
        literal handful follow nothing. Looks at the expression's names and calls only."""
        first: str | None = None
        while True:
            if isinstance(node, ast.Name):
                name = node.id
                if name in self.sized:
                    return self.sized[name]
                if name == "self" or name == "cls":
                    return None if first is None else "self." + first
                if name in self.bound or name in _BUILTINS or name in self.calls.aliases:
                    return None
                if name in self.enclosing:
                    return ""       # the enclosing function's data
                return name         # the module's container
            if isinstance(node, ast.Constant):
                return None
            if isinstance(node, ast.Attribute):
                first = node.attr
                node = node.value
            elif isinstance(node, ast.Call):
                f = node.func
                last = f.id if isinstance(f, ast.Name) else f.attr if isinstance(f, ast.Attribute) else ""
                if last in SMALL_RESULTS or last in _SCALAR_CALLS or (last == "get" and node.args and _named(
                        node.args[0])):
                    return None
                if last == "range":
                    # range(len(xs)) is as long as xs; len(xs) itself is one number
                    return _largest(self._size_key(_counted(a)) for a in node.args)
                if last == "deepcopy":
                    return ""
                parts = list(node.args)
                if isinstance(f, ast.Attribute):
                    parts.append(f.value)
                return _largest(map(self._size_key, parts))
            elif isinstance(node, ast.Subscript):
                if _named(node.slice):
                    return None     # config["handlers"]: a named field, as a record or a configuration has
                node = node.value
            elif isinstance(node, ast.Starred):
                node = node.value
            elif isinstance(node, ast.BinOp):
                if isinstance(node.op, _NUMBER_OPS):
                    return None     # a quotient, power or remainder is a number (or text, for %)
                return _largest(map(self._size_key, (node.left, node.right)))
            elif isinstance(node, ast.BoolOp):
                return _largest(map(self._size_key, node.values))
            elif isinstance(node, ast.Compare):
                # `while len(todo) > limit`: runs as long as `todo` is long
                return _largest(self._size_key(_counted(x)) for x in (node.left, *node.comparators))
            elif isinstance(node, ast.IfExp):
                return _largest(map(self._size_key, (node.body, node.orelse)))
            elif isinstance(node, COMPREHENSIONS):
                node = node.generators[0].iter
            else:
                return None

    def _note_size(self, targets: list[ast.expr], key: SizeKey) -> None:
        """Binds the names of `targets` (names, tuples and lists of them, starred) to a value whose size
        follows `key`; attributes and items stored into bind no name."""
        for t in targets:
            if isinstance(t, ast.Name):
                if key is None:
                    self.sized.pop(t.id, None)
                else:
                    self.sized[t.id] = key
            elif isinstance(t, (ast.Tuple, ast.List)):
                self._note_size(t.elts, key)
            elif isinstance(t, ast.Starred):
                self._note_size([t.value], key)

    def _note_grows(self, node: ast.AST) -> None:
        """Notes a container of the object or the module (`self.tasks`, a module registry) grown here."""
        first = None
        while isinstance(node, (ast.Attribute, ast.Subscript)):
            if isinstance(node, ast.Attribute):
                first = node.attr
            node = node.value
        if isinstance(node, ast.Name):
            if node.id in ("self", "cls"):
                if first is not None:
                    self.u.grows.add("self." + first)
            elif node.id not in self.bound and node.id not in _BUILTINS and node.id not in self.calls.aliases:
                self.u.grows.add(node.id)

    def _note_copy(self, node: ast.AST, how: str) -> None:
        """A copy of `node` made by `how` (copy(x), list(x), x.copy(), deepcopy(x), bytearray(n)): a copy
        of a whole input, or of everything an object reaches, is large; so is a list of range(a, b)."""
        if how in ("list", "tuple", "set") and isinstance(node, ast.Call) and isinstance(
                node.func, ast.Name) and node.func.id == "range" and not all(
                isinstance(a, ast.Constant) for a in node.args):
            self.u.explicit_sizes += 1
            return
        key = "" if how == "deepcopy" or (how == "bytearray" and not isinstance(node, ast.Constant)) else (
            self._size_key(node))
        if key == "":
            self.u.whole_copies += 1
        elif key is not None:
            self.u.sized_if_grown.add(key)

    def _is_array(self, node: ast.AST, depth: int = 2) -> bool:
        """Whether `node` is an array value, as far as `depth` levels of the expression show: a name
        assigned one, an array module's call, a matrix product, a method, attribute or item of an array."""
        if isinstance(node, ast.Name):
            return node.id in self.arrays
        if depth == 0:
            return False
        if isinstance(node, ast.Call):
            resolved = self.calls.resolve(node.func)
            if resolved:
                return resolved[0] in ARRAY_MODULES
            return isinstance(node.func, ast.Attribute) and self._is_array(node.func.value, depth - 1)
        if isinstance(node, ast.BinOp):
            return isinstance(node.op, ast.MatMult) or self._is_array(node.left, depth - 1) or self._is_array(
                node.right, depth - 1)
        if isinstance(node, ast.UnaryOp):
            return self._is_array(node.operand, depth - 1)
        if isinstance(node, (ast.Attribute, ast.Subscript)):
            return self._is_array(node.value, depth - 1)
        return False

    def _array_arith(self, op: ast.operator, depth: int) -> None:
        # Arithmetic on arrays runs in the array library, whole arrays at a time: array work (a statement
        # of it is no plain Python statement), and still arithmetic, which is what a GPU would take over.
        u = self.u
        u.array_ops += 1
        u.arith += 1
        u.arith_kinds.add(type(op))
        if depth:
            u.loop_arith += 1

    def _note_name_callee(self, name: str) -> None:
        # `fn(x)` of an argument `fn` runs whatever the caller gave, which is the work a map exists for;
        # `helper(x)` and `self.helper(x)` cost what the file's `helper` does, known once the file is read.
        if self.bound.get(name) == 0:
            self.param_calls += 1
        elif name not in _BUILTINS and name not in self.calls.aliases:
            self.callees.append(name)

    def _is_set(self, node: ast.AST) -> bool:
        """A set value: a literal or comprehension, set(...), a name assigned one, or `a | b`, `a & b`,
        `a ^ b` (bit operations on integers are read as sets too: either way nothing is computed)."""
        if isinstance(node, (ast.Set, ast.SetComp)):
            return True
        if isinstance(node, ast.Name):
            return node.id in self.sets
        if isinstance(node, ast.Call) and isinstance(node.func, ast.Name):
            return node.func.id in ("set", "frozenset")
        if isinstance(node, ast.BinOp):
            return isinstance(node.op, (ast.BitOr, ast.BitAnd, ast.BitXor)) or (
                isinstance(node.op, ast.Sub) and self._is_set(node.left))
        return False

    def _of_input(self, it: ast.expr) -> bool:
        """Whether an iterable is the caller's data: an argument, its items, keys or values, or either
        of those enumerated, zipped, sorted or reversed. Its size is the caller's, not a handful."""
        while isinstance(it, ast.Call):
            if isinstance(it.func, ast.Name) and it.func.id in ("enumerate", "zip", "sorted", "reversed", "iter",
                                                                  "list") and it.args:
                it = it.args[0]
            elif isinstance(it.func, ast.Attribute) and it.func.attr in ("items", "values", "keys") and not it.args:
                it = it.func.value
            else:
                return False
        return isinstance(it, ast.Name) and it.id in self.calls.params and it.id not in ("self", "cls")

    def _count_op(self, op: ast.operator) -> None:
        if isinstance(op, ARITH):
            self.ops += 1

    def _item_start(self) -> tuple[int, int, int, int, int]:
        return self.ops - self.u.index_arith, self._native(), self.param_calls, len(self.callees), self.item_calls

    def _native(self) -> int:
        u = self.u
        return u.math_calls + u.array_ops + u.frame_ops + u.sk_fit_calls + u.sk_infer_calls

    def _item_cost(self, start: tuple[int, int, int, int, int], few: bool, of_input: bool) -> None:
        """Files one independent map or loop, begun at `start` (_item_start), by what each item costs:
        two arithmetic operations (`start + i` is an offset, `c / 2` a rescaling: neither is work), a math,
        array, frame or estimator call, a call of a function handed in, two or more calls on each item of
        the caller's data (`w.lower().strip()` for every word given), or the file's own functions it
        calls, which velkora.analysis.units weighs once the whole file is read."""
        u = self.u
        ops, native, params, callees, item_calls = start
        if few:
            return          # a handful of items, written out: nothing to gain from spreading them
        ops = self.ops - u.index_arith - ops
        strong = ops >= 4 or self._native() > native or self.param_calls > params or (
            of_input and self.item_calls - item_calls >= 2)
        if strong or ops >= 2:
            u.costly_items += 1
            u.strong_items += strong
        elif len(self.callees) > callees:
            u.pending_items.append(frozenset(self.callees[callees:]))

    @staticmethod
    def _cell(n: ast.Subscript, into: set[str]) -> None:
        """Adds the container and key `n` reaches (`d[k]` of `d[k][j]`, `self.c[i]`) to `into`, as one
        string; nothing when the container is no name or attribute of self."""
        while isinstance(n.value, ast.Subscript):
            n = n.value
        v = n.value
        if isinstance(v, ast.Name):
            root = v.id
        elif isinstance(v, ast.Attribute) and isinstance(v.value, ast.Name) and v.value.id == "self":
            root = "self." + v.attr
        else:
            return
        into.add(root + "\0" + _key(n.slice))

    def _subscript_in_loop(self, n: ast.Subscript, loop: LoopInfo | None) -> None:
        u = self.u
        sl = n.slice
        if loop is not None and isinstance(n.ctx, ast.Load) and not isinstance(n.value, ast.Subscript):
            self._cell(n, loop["cell_load"])
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
                       depth: int, loop: LoopInfo | None = None) -> None:
        u = self.u
        u.max_depth = max(u.max_depth, depth + len(node.generators))
        calls, arith = u.calls, u.arith
        item = self._item_start()
        elts = [node.key, node.value] if isinstance(node, ast.DictComp) else [node.elt]
        added = {n.id for g in node.generators for n in ast.walk(g.target) if isinstance(n, ast.Name)} - self.items
        self.items |= added
        # The items of the comprehension follow the size of what they are drawn from, for its own body.
        outside = {n: self.sized.get(n) for n in added}
        key = None
        for g in node.generators:
            k = None if few_items(g.iter) else self._size_key(g.iter)
            key = k if key is None else key
            self._note_size([g.target], k)
        for e in elts:
            self._expr(e, depth + 1, None)
        work = (u.calls - calls) + (u.arith - arith)
        worked = work > 0 and does_work(elts)
        for i, g in enumerate(node.generators):
            # The first iterable is read once, in the enclosing loop's iteration; the others per item.
            self._expr(g.iter, depth, loop if i == 0 else None)
            for cond in g.ifs:
                self._expr(cond, depth + 1, None)
        self.items -= added
        for n, k in outside.items():
            if k is None:
                self.sized.pop(n, None)
            else:
                self.sized[n] = k
        if not isinstance(node, ast.GeneratorExp) and key is not None:
            if key == "":
                u.sized_growth += 1     # a container of one entry per item of the caller's data
            else:
                u.sized_if_grown.add(key)
        if worked:
            u.independent_maps += 1
            if id(node) in self.searches:
                self.param_calls = item[2]
                item = (item[0], self._native(), *item[2:])
            self._item_cost(item, any(few_items(g.iter) for g in node.generators), False)
        elif not isinstance(node, ast.GeneratorExp):
            u.comprehension_containers += 1
