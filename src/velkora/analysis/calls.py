"""What one call is: array, frame, estimator, parallel, math or container work, or plumbing; counted into
the unit being measured.

The walk over a unit's statements and expressions (velkora.analysis.evidence) hands every call here, so
that what a call means is decided in one place, apart from how the tree is traversed. Names are resolved
through the imports the unit sees; a method call on an unresolved object counts by its name only in a file
that imports the matching library.
"""

from __future__ import annotations

import ast
from typing import TYPE_CHECKING

from velkora.analysis.vocabulary import (AGGREGATES, ARRAY_ALLOC, ARRAY_MAKERS, ARRAY_METHODS, ARRAY_MODULES,
                                         COLLECTION_TYPES, CONTAINER_CALLS, COPY_CALLS, DEVICE_MODULES,
                                         FIT_NAMES, FRAME_METHODS, GROUPING, GROWTH_METHODS, INFER_NAMES,
                                         COSTLY_MODULES, LINALG_CALLS, MAP_CALLS, MUTATING_METHODS, MATH_MODULES, NOT_WORK, PARALLEL_CALLS,
                                         PARALLEL_MODULES, PLUMBING, TARGET_STARTERS, TASK_WAITS, THREAD_MODULES, WAIT_CALLS,
                                         WORKER_STARTERS, HAND_OFF_CALLS)

from velkora.analysis.shapes import ARITH, is_text_op

if TYPE_CHECKING:
    from velkora.analysis.evidence import Aliases, Unit


def dotted(node: ast.AST) -> list[str] | None:
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


def does_work(exprs: list[ast.expr]) -> bool:
    """Whether an element expression computes: arithmetic, or a call that is not plumbing."""
    for e in exprs:
        for n in ast.walk(e):
            if isinstance(n, ast.BinOp):
                return True
            if isinstance(n, ast.Call):
                parts = dotted(n.func)
                if not parts or parts[-1] not in PLUMBING:
                    return True
    return False


class CallCounter:
    """Counts the calls of one unit by what they are. Costs a dictionary look-up or two per call."""

    def __init__(self, unit: Unit, aliases: Aliases, file_flags: frozenset[str],
                 class_info: dict[str, bool] | None) -> None:
        self.u = unit
        self.aliases = aliases
        self.has_array = "array" in file_flags
        self.has_frame = "frame" in file_flags
        self.has_sklearn = "sklearn" in file_flags
        self.has_parallel = "parallel" in file_flags
        self.params: set[str] = set()       # the unit's arguments: a function among them is the caller's
        self.class_info = class_info
        # map() calls that any()/all() read until an item decides: a check of each item, not work to spread
        self.checks: set[int] = set()

    def resolve(self, node: ast.AST) -> list[str] | None:
        """The dotted name `node` stands for through the imports, e.g. ['numpy', 'linalg', 'inv']."""
        parts = dotted(node)
        if not parts:
            return None
        origin = self.aliases.get(parts[0])
        if origin is None:
            return None
        return origin.split(".") + parts[1:]

    def count(self, node: ast.Call, depth: int) -> None:
        """Counts call `node`, made `depth` loops deep, into the unit."""
        u = self.u
        u.calls += 1
        func = node.func
        resolved = self.resolve(func)
        parts = resolved or dotted(func)
        last = parts[-1] if parts else (func.attr if isinstance(func, ast.Attribute) else "")
        if last not in NOT_WORK:
            u.work_calls += 1
        root = resolved[0] if resolved else None
        if depth and last in WAIT_CALLS and root not in ARRAY_MODULES and (
                resolved or isinstance(func, ast.Attribute)):
            u.waits_in_loop += 1
        self._hand_off(node, func, last, root)
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
        elif (root in PARALLEL_MODULES and (root not in THREAD_MODULES or (
                last in WORKER_STARTERS and (last != "wait" or root in TASK_WAITS)))) or (
                root is None and last in PARALLEL_CALLS and self._parallel_name(last)):
            u.parallel_api += 1
        elif root in MATH_MODULES:
            u.math_calls += 1
        elif resolved is None and isinstance(func, ast.Attribute):
            self._method_call(func, last, node, depth)
        if root == "copy" or (resolved is None and last in COPY_CALLS):
            u.copies += 1
            if depth:
                u.copies_in_loop += 1
        if isinstance(func, ast.Name) and resolved is None:
            name = func.id
            if name in CONTAINER_CALLS:
                u.containers += 1
                if depth and node.args:
                    u.built_in_loop += 1
            elif name in ("sum", "min", "max") and node.args and not self.has_array:
                u.reductions += 1
            if name in MAP_CALLS and len(node.args) >= 2 and id(node) not in self.checks:
                self._map(node.args[0])
        elif resolved and resolved[-1] in COLLECTION_TYPES:
            u.containers += 1
        elif resolved and resolved[-1] in ("starmap", "map") and node.args:
            self._map(node.args[0])
        if last in MAP_CALLS and isinstance(func, ast.Attribute) and resolved is None:
            # executor.map / pool.map: the items go to workers
            owner = dotted(func.value)
            if owner and any(w in owner[-1].lower() for w in ("executor", "pool")):
                u.parallel_api += 1
                u.independent_maps += 1

    def _hand_off(self, node: ast.Call, func: ast.expr, last: str, root: str | None) -> None:
        """Notes the function a call hands to workers (`pool.submit(f, x)`, `Thread(target=f)`), so that
        the file knows which of its functions already run as a worker's task."""
        fn: ast.expr | None = None
        if last in TARGET_STARTERS:
            fn = next((k.value for k in node.keywords if k.arg == "target"), None)
        elif isinstance(func, ast.Attribute) and last in HAND_OFF_CALLS and (
                self.has_parallel or last not in MAP_CALLS):
            at = HAND_OFF_CALLS[last]
            fn = node.args[at] if len(node.args) > at else None
        if isinstance(fn, ast.Call) and fn.args:
            parts = dotted(fn.func)
            if parts and parts[-1] == "partial":
                fn = fn.args[0]
        if fn is not None:
            parts = dotted(fn)
            if parts:
                self.u.handed_to_workers.add(parts[-1])

    def _map(self, fn: ast.expr) -> None:
        """map(fn, items): independent work per item, unless `fn` is a method that changes its object
        (map(window.append, it) slides a window): then that object is state carried from item to item."""
        if isinstance(fn, ast.Attribute) and isinstance(fn.value, ast.Name) and (
                fn.attr in GROWTH_METHODS or fn.attr in MUTATING_METHODS):
            self.u.carried.add(fn.value.id)
        elif self._maps_work(fn):
            self.u.independent_maps += 1
            self._map_cost(fn)

    def _map_cost(self, fn: ast.expr) -> None:
        """Files map(fn, items) by what `fn` costs per item, as Measurer._item_cost files loops: arithmetic
        in a lambda, a math, operator, random or array function, a function handed in; a function of
        the file is weighed once the file is read; a method of some object counts as cheap."""
        u = self.u
        if isinstance(fn, ast.Lambda):
            ops = sum(isinstance(n, ast.BinOp) and isinstance(n.op, ARITH) and not is_text_op(n)
                      for n in ast.walk(fn.body))
            if ops:
                u.costly_items += 1
                u.strong_items += ops >= 4
            return
        resolved = self.resolve(fn)
        if resolved:
            if resolved[0] in MATH_MODULES or resolved[0] in ARRAY_MODULES or resolved[0] in COSTLY_MODULES:
                u.costly_items += 1
                u.strong_items += 1
            return
        if isinstance(fn, ast.Name):
            if fn.id in self.params:
                u.costly_items += 1
                u.strong_items += 1
            else:
                u.pending_items.append(frozenset({fn.id}))
        elif isinstance(fn, ast.Attribute) and isinstance(fn.value, ast.Name) and fn.value.id in ("self", "cls"):
            u.pending_items.append(frozenset({fn.attr}))

    def _parallel_name(self, last: str) -> bool:
        origin = self.aliases.get(last, "")
        return origin.split(".")[0] in PARALLEL_MODULES or origin.startswith("numba")

    def _maps_work(self, fn: ast.AST) -> bool:
        if isinstance(fn, ast.Lambda):
            return does_work([fn.body])
        parts = self.resolve(fn) or dotted(fn)
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
        if self.has_frame and last in ("agg", "aggregate"):
            u.aggregate_ops += 1
        if self.has_frame and (last in ("iterrows", "itertuples") or (last == "apply" and _across_columns(node))):
            u.rowwise += 1


def _across_columns(node: ast.Call) -> bool:
    """apply(..., axis=1) or axis="columns": a function called once per row."""
    return any(k.arg == "axis" and isinstance(k.value, ast.Constant) and k.value.value in (1, "columns")
               for k in node.keywords)

