"""What a loop or an expression looks like on the syntax tree: the shape tests velkora.analysis.evidence
asks while it walks a unit. Pure functions of one node each; none keeps state.
"""

from __future__ import annotations

import ast

ARITH = (ast.Add, ast.Sub, ast.Mult, ast.Div, ast.FloorDiv, ast.Mod, ast.Pow, ast.MatMult)
# Operators whose running value over independent items can be split and combined (a - b - c is a - (b + c)).
ASSOCIATIVE = (ast.Add, ast.Sub, ast.Mult, ast.BitOr, ast.BitAnd, ast.BitXor)
SEQUENCE_NODES = (ast.List, ast.ListComp, ast.Tuple, ast.JoinedStr)
COMPREHENSIONS = (ast.ListComp, ast.SetComp, ast.DictComp, ast.GeneratorExp)


def breaks(body: list[ast.stmt]) -> bool:
    """Whether a `break` in these statements leaves the loop they belong to (not one nested in them).
    Walks the statements once, without entering expressions, nested loops' bodies or definitions."""
    stack: list[ast.AST] = list(body)
    while stack:
        n = stack.pop()
        if isinstance(n, ast.Break):
            return True
        if not isinstance(n, (ast.For, ast.AsyncFor, ast.While, ast.FunctionDef, ast.AsyncFunctionDef,
                              ast.ClassDef, ast.expr)):
            stack.extend(ast.iter_child_nodes(n))
        elif isinstance(n, (ast.For, ast.AsyncFor, ast.While)):
            stack.extend(n.orelse)      # a break in a nested loop's else leaves this one
    return False


def returns(body: list[ast.stmt]) -> bool:
    """Whether a `return` in these statements (nested loops included, definitions not) leaves the
    function from inside the loop they belong to: a search that stops at the first hit."""
    stack: list[ast.AST] = list(body)
    while stack:
        n = stack.pop()
        if isinstance(n, ast.Return):
            return True
        if not isinstance(n, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef, ast.expr)):
            stack.extend(ast.iter_child_nodes(n))
    return False


def at_most_twice(it: ast.expr) -> bool:
    """An iterable of at most two items: a literal tuple, list or set, or range() of small constants."""
    if isinstance(it, (ast.Tuple, ast.List, ast.Set)):
        return len(it.elts) <= 2 and not any(isinstance(e, ast.Starred) for e in it.elts)
    if isinstance(it, ast.Call) and isinstance(it.func, ast.Name) and it.func.id == "range" and not it.keywords:
        bounds = [a.value for a in it.args if isinstance(a, ast.Constant) and type(a.value) is int]
        if len(bounds) == len(it.args) == 1:
            return bounds[0] <= 2
        if len(bounds) == len(it.args) == 2:
            return bounds[1] - bounds[0] <= 2
    return False


def few_items(it: ast.expr) -> bool:
    """An iterable written out item by item (a literal tuple, list or set without `*`), or range() of
    constants under 16: a handful of items, however much each costs."""
    if isinstance(it, (ast.Tuple, ast.List, ast.Set)):
        return not any(isinstance(e, ast.Starred) for e in it.elts)
    if isinstance(it, ast.Call) and isinstance(it.func, ast.Name) and it.func.id == "range" and not it.keywords:
        bounds = [a.value for a in it.args if isinstance(a, ast.Constant) and type(a.value) is int]
        if len(bounds) == len(it.args) == 1:
            return bounds[0] < 16
        if len(bounds) == len(it.args) >= 2:
            return bounds[1] - bounds[0] < 16
    return False


def is_text(node: ast.AST) -> bool:
    """A string or bytes literal, or an f-string. Constant time."""
    return isinstance(node, ast.JoinedStr) or (isinstance(node, ast.Constant) and isinstance(node.value, (str, bytes)))


def is_text_op(node: ast.BinOp) -> bool:
    """`"%d" % x`, `"a" + s`, `"-" * 80`, `s + "%d" % x`: formatting, joining or repeating text, not
    arithmetic. Linear in the depth of the operations on text."""
    op = type(node.op)
    if op is ast.Mod:
        return is_text(node.left)
    return (op is ast.Add or op is ast.Mult) and (_texty(node.left) or _texty(node.right))


def _texty(node: ast.AST) -> bool:
    # `indent + "%s" % name`: text joined to formatted text is text too
    return is_text(node) or (isinstance(node, ast.BinOp) and is_text_op(node))


def is_sequence(node: ast.AST) -> bool:
    """A list, tuple or string value: `[...]`, `list(x)`, `"..."`, f-strings, `[x] * n`."""
    if isinstance(node, SEQUENCE_NODES) or is_text(node):
        return True
    if isinstance(node, ast.Call) and isinstance(node.func, ast.Name):
        return node.func.id in ("list", "tuple", "sorted", "str")
    if isinstance(node, ast.BinOp) and isinstance(node.op, (ast.Mult, ast.Add)):
        return is_sequence(node.left) or is_sequence(node.right)
    return False

