"""The build, the package and the interpreter agree on what the native modules are and how they load."""

import pathlib
import re
import sys

import pytest

import velkora

ROOT = pathlib.Path(__file__).resolve().parent.parent


def cmake_modules():
    text = (ROOT / "CMakeLists.txt").read_text()
    entries = re.search(r"foreach\(entry IN ITEMS(.*?)\)", text, re.S).group(1).split()
    return [f"velkora.{d.replace('/', '.')}.{n}" for n, d in (e.split(":") for e in entries)]


@pytest.mark.skipif(not (ROOT / "CMakeLists.txt").exists(), reason="installed without the source tree")
def test_build_list_is_the_package_list():
    assert sorted(cmake_modules()) == sorted(velkora.NATIVE_MODULES)


@pytest.mark.parametrize("name", velkora.NATIVE_MODULES)
def test_module_imports_with_its_stub(name):
    mod = __import__(name, fromlist=["_"])
    assert pathlib.Path(mod.__file__).with_name(name.rsplit(".", 1)[1] + ".pyi").exists()


def _subinterpreters():
    for modname in ("_interpreters", "_xxsubinterpreters"):
        try:
            return __import__(modname)
        except ImportError:
            pass
    return None


@pytest.mark.skipif(sys.version_info < (3, 12) or _subinterpreters() is None,
                    reason="isolated subinterpreters need CPython 3.12+")
def test_every_module_loads_in_an_isolated_subinterpreter(run_python):
    # An interpreter with its own GIL refuses modules that do not declare support for it.
    code = (
        "import sys, velkora\n"
        "try:\n    import _interpreters as si\nexcept ImportError:\n    import _xxsubinterpreters as si\n"
        "interp = si.create()\n"
        "src = 'import sys\\nsys.path[:0] = %r\\n' % (sys.path,)\n"
        "for name in velkora.NATIVE_MODULES:\n"
        "    src += f'import {name}\\n'\n"
        "src += 'from velkora.memory.block_index import FastRedBlackTree\\n'\n"
        "src += 't = FastRedBlackTree(); t.insert(8, object()); assert t.remove_ge(1)[0] == 8\\n'\n"
        "r = si.run_string(interp, src)\n"
        "assert r is None, r\n"
        "si.destroy(interp)\n"
        "print('ok')\n"
    )
    assert run_python(code).stdout.strip() == "ok"
