"""A measured run: what velkora.monitoring.call_trace counted, sorted into the program's own functions
and time spent in libraries, per top-level package.

The session is plain data (`Session`), kept apart from how it is shown: `velkora.cli.run_report` renders
it as text, JSON, Markdown or HTML.
"""

from __future__ import annotations

import logging
import os
import sys
import sysconfig
from collections.abc import Callable
from dataclasses import dataclass, field
from types import CodeType, ModuleType
from typing import Any

logger = logging.getLogger(__name__)

# Markers of a project's root directory, looked for upwards from the script's directory.
PROJECT_MARKERS = ("pyproject.toml", "setup.py", "setup.cfg", ".git")


@dataclass
class FunctionStat:
    """One function of the program's own files: exact calls; times in seconds (total counts the
    outermost call of a recursion only; own leaves out the calls it made)."""
    name: str
    file: str
    line: int
    calls: int
    total: float
    own: float
    mean: float = 0.0
    std: float = 0.0
    min: float = 0.0
    max: float = 0.0
    loops: bool = True       # its code (or a comprehension in it) loops; True where not known
    recursive: bool = False  # it reads its own name as a global: calls itself


def code_shape(code: CodeType) -> tuple[bool, bool]:
    """(loops, recursive) of a function's code: a backward jump in it or in a comprehension it holds;
    its own name among the globals it reads. Costs one walk over its bytecode."""
    import dis

    def loops(c: CodeType) -> bool:
        # (3.11 also jumps back conditionally; awaiting and `yield from` jump back without a loop.)
        if any("JUMP_BACKWARD" in ins.opname and "NO_INTERRUPT" not in ins.opname
               for ins in dis.get_instructions(c)):
            return True
        return any(isinstance(k, CodeType) and k.co_name.startswith("<") and loops(k) for k in c.co_consts)

    return loops(code), code.co_name in code.co_names


@dataclass
class PackageStat:
    """Time spent in one library (a top-level package, `builtins` for the interpreter's own); calls
    None where they were not counted (sampled times count the program's own calls only)."""
    name: str
    calls: int | None
    own: float
    native: bool            # all its measured time was in native code


@dataclass
class Session:
    """Everything one measured run found; times in seconds."""
    program: str
    argv: list[str]
    root: str
    wall: float
    status: int
    mechanism: str
    threads: int
    timing: str = "exact"            # "sampled": times from stack samples, no per-call spread
    functions: list[FunctionStat] = field(default_factory=list)
    packages: list[PackageStat] = field(default_factory=list)
    ended: str = "returned"          # returned, sys.exit, exception, interrupted, os._exit
    accelerated: bool = False
    outcomes: dict[str, dict[str, Any]] = field(default_factory=dict)   # per function: the driver's verdict
    python: str = field(default_factory=lambda: sys.version.split()[0])

    @property
    def measured(self) -> float:
        """Own time of everything measured (the program's functions and the libraries)."""
        return sum(f.own for f in self.functions) + sum(p.own for p in self.packages)


def module_root(path: str, name: str) -> str:
    """The directory of the top-level package of module `name`, whose file is `path` (the file's
    own directory for a top-level module)."""
    d = os.path.dirname(os.path.abspath(path))
    depth = name.count(".") + (1 if os.path.basename(path) == "__init__.py" else 0)
    for _ in range(depth - 1 if depth else 0):
        d = os.path.dirname(d)
    return d


def project_root(script_dir: str) -> str:
    """The nearest directory at or above `script_dir` holding a project marker, else `script_dir`.
    A few stat calls per level."""
    d = os.path.abspath(script_dir)
    while True:
        if any(os.path.exists(os.path.join(d, m)) for m in PROJECT_MARKERS):
            return d
        parent = os.path.dirname(d)
        if parent == d:
            return os.path.abspath(script_dir)
        d = parent


def _library_dirs() -> list[str]:
    dirs = set()
    for key in ("stdlib", "platstdlib", "purelib", "platlib"):
        try:
            dirs.add(os.path.abspath(sysconfig.get_paths()[key]))
        except KeyError:
            pass
    for p in sys.path:
        if p and ("site-packages" in p or "dist-packages" in p):
            dirs.add(os.path.abspath(p))
    return sorted(dirs, key=len, reverse=True)


class Classifier:
    """Sorts measured code into the program's own files (under `root`, outside installed libraries)
    and libraries named by top-level package. Caches per file name."""

    def __init__(self, root: str, modules: dict[str, ModuleType] | None = None) -> None:
        self.root = os.path.abspath(root) + os.sep
        self.libs = [d + os.sep for d in _library_dirs()]
        self._by_file: dict[str, str | None] = {}
        self._module_of: dict[str, str] = {}
        for name, mod in list((modules if modules is not None else sys.modules).items()):
            path = getattr(mod, "__file__", None)
            if isinstance(path, str) and name != "__main__":
                self._module_of.setdefault(os.path.abspath(path), name.split(".")[0])

    def package(self, filename: str) -> str | None:
        """None for the program's own file; else the library it belongs to."""
        if filename in self._by_file:
            return self._by_file[filename]
        result = self._classify(filename)
        self._by_file[filename] = result
        return result

    def _classify(self, filename: str) -> str | None:
        if filename.startswith("<"):
            # <frozen importlib._bootstrap>, <string>: the interpreter's own machinery, or code made
            # at run time, which has no file to be its owner.
            return filename.strip("<>").split()[-1].split(".")[0] if filename.startswith("<frozen") else "<string>"
        path = os.path.abspath(filename)
        lib = next((d for d in self.libs if path.startswith(d)), None)
        # Own: under the root, unless an installed library lies between the root and the file (a
        # virtual environment inside the project).
        if path.startswith(self.root) and (lib is None or self.root.startswith(lib)):
            return None
        if path in self._module_of:
            return self._module_of[path]
        if lib is not None:
            rest = path[len(lib):].split(os.sep)
            head = rest[0]
            if len(rest) == 1:
                head = os.path.splitext(head)[0]
            return head or "stdlib"
        return os.path.splitext(os.path.basename(path))[0]


def _owner_package(owner: object) -> str:
    if isinstance(owner, str):
        return owner.split(".")[0] or "builtins"
    if isinstance(owner, ModuleType):
        return owner.__name__.split(".")[0]
    if isinstance(owner, type):
        return str(getattr(owner, "__module__", "builtins") or "builtins").split(".")[0]
    return "builtins"


def sort_rows(rows: list[tuple[Any, ...]], classifier: Classifier,
              skip_packages: frozenset[str] = frozenset({"velkora"}),
              skip_file: Callable[[str], bool] = lambda name: False) -> tuple[list[FunctionStat], list[PackageStat]]:
    """The program's own functions (by own time, highest first) and the libraries (likewise) from
    call_trace.snapshot() rows. `skip_packages`, `skip_file`: the measuring machinery itself.
    Linear in the rows."""
    own: list[FunctionStat] = []
    packages: dict[str, list[Any]] = {}
    for label, calls, total, own_time, mean, std, lo, hi in rows:
        if isinstance(label, CodeType):
            if skip_file(label.co_filename):
                continue
            pkg = classifier.package(label.co_filename)
            if pkg is None:
                name = getattr(label, "co_qualname", label.co_name)
                own.append(FunctionStat(name, label.co_filename, label.co_firstlineno, calls or 0, total, own_time,
                                        mean, std, lo, hi, *code_shape(label)))
                continue
            native = False
        else:
            pkg = _owner_package(label[0])
            native = True
        if pkg in skip_packages:
            continue
        entry = packages.setdefault(pkg, [0, 0.0, True])
        entry[0] = None if calls is None or entry[0] is None else entry[0] + calls
        entry[1] += own_time
        entry[2] = entry[2] and native
    own.sort(key=lambda f: -f.own)
    libs = [PackageStat(name, c, t, n) for name, (c, t, n) in packages.items()]
    libs.sort(key=lambda p: -p.own)
    return own, libs
