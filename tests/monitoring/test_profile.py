"""Sorting measured code into the program's own functions and libraries."""

import os
import types

import pytest

from velkora.monitoring.profile import Classifier, module_root, project_root, sort_rows


def code_at(path, name="f"):
    return compile(f"def {name}(): pass", path, "exec").co_consts[0]


def test_own_files_libraries_and_native_code_are_told_apart(tmp_path):
    own = str(tmp_path / "app" / "main.py")
    venv = str(tmp_path / "app" / ".venv" / "lib" / "site-packages" / "lib1" / "x.py")
    fake = types.ModuleType("lib1")
    fake.__file__ = venv
    c = Classifier(str(tmp_path / "app"), {"lib1": fake})
    c.libs.append(str(tmp_path / "app" / ".venv" / "lib" / "site-packages") + os.sep)
    rows = [
        (code_at(own, "hot"), 10, 2.0, 1.5, 0.2, 0.0, 0.1, 0.3),
        (code_at(own, "cold"), 1, 0.1, 0.1, 0.1, 0.0, 0.1, 0.1),
        (code_at(venv), 5, 1.0, 0.4, 0.2, 0.0, 0.1, 0.3),           # a library inside the project
        (("numpy.core", "dot"), 7, 0.5, 0.5, 0.1, 0.0, 0.0, 0.1),
        ((int, "bit_length"), 3, 0.1, 0.1, 0.0, 0.0, 0.0, 0.0),
        ((None, "velkora_helper"), 1, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0),
    ]
    functions, libs = sort_rows(rows, c)
    assert [f.name for f in functions] == ["hot", "cold"]
    by = {p.name: p for p in libs}
    assert by["numpy"].native and by["numpy"].calls == 7
    assert not by["lib1"].native and by["lib1"].own == 0.4
    assert by["builtins"].calls == 4


def test_roots(tmp_path):
    (tmp_path / "proj" / "src" / "pkg" / "sub").mkdir(parents=True)
    (tmp_path / "proj" / "pyproject.toml").write_text("")
    assert project_root(str(tmp_path / "proj" / "src" / "pkg")) == str(tmp_path / "proj")
    mod = str(tmp_path / "proj" / "src" / "pkg" / "sub" / "m.py")
    assert module_root(mod, "pkg.sub.m") == str(tmp_path / "proj" / "src" / "pkg")
    assert module_root(str(tmp_path / "m.py"), "m") == str(tmp_path)


def _loop(n):
    while n:
        n -= 1


def _comprehension(xs):
    return [x * 2 for x in xs]


def _flat(a, b):
    return a * b + 1


def _rec(n):
    return n if n < 2 else _rec(n - 1)


@pytest.mark.parametrize("func, shape", [(_loop, (True, False)), (_comprehension, (True, False)),
                                         (_flat, (False, False)), (_rec, (False, True))])
def test_code_shape_tells_loops_and_recursion_apart(func, shape):
    from velkora.monitoring.profile import code_shape

    assert code_shape(func.__code__) == shape
