"""The compile driver's disk cache: one record per function (its outcome and compiled signatures), keyed
by its source and the compiler's version, so that a second run skips the warm-up."""

from __future__ import annotations

import functools
import importlib.util
import json
import linecache
import logging
import os
import pickle
import threading
import types
from pathlib import Path
from typing import Any, Callable, Optional

from velkora.jit.adaptive_policy import State, cached_decision

logger = logging.getLogger(__name__)


def cache_dir() -> Optional[Path]:
    """Where outcomes and compiled code are kept: $VELKORA_CACHE_DIR, else the user cache directory;
    None when VELKORA_JIT_CACHE=0 turns the cache off."""
    if os.environ.get("VELKORA_JIT_CACHE", "1").strip().lower() in ("0", "off", "false", "no"):
        return None
    root = os.environ.get("VELKORA_CACHE_DIR")
    if root:
        return Path(root)
    base = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    return Path(base) / "velkora"


@functools.lru_cache(maxsize=1)
def _compiler_version() -> str:
    # Read without importing the compiler (the cache key is needed at decoration time) and, where
    # the installed package's record lies beside it, without importlib.metadata, whose import and
    # search of every path entry cost about 15 ms at a program's first decoration.
    try:
        spec = importlib.util.find_spec("numba")
    except (ImportError, ValueError):
        spec = None
    if spec is None:
        return "numba-unknown"
    if spec.origin:
        site = os.path.dirname(os.path.dirname(spec.origin))
        try:
            names = os.listdir(site)
        except OSError:
            names = []
        found = [n[len("numba-"):-len(".dist-info")] for n in names
                 if n.startswith("numba-") and n.endswith(".dist-info")]
        if len(found) == 1:
            return "numba-" + found[0]
    try:
        from importlib.metadata import version
        return "numba-" + version("numba")
    except Exception:
        return "numba-unknown"


def _sha256() -> Any:
    # The interpreter's own SHA-256 module loads in a fraction of a millisecond; hashlib's loads
    # OpenSSL (a few milliseconds at every program's first decoration). Same digests either way.
    for name in ("_sha256", "_sha2"):
        try:
            return __import__(name).sha256
        except (ImportError, AttributeError):
            continue
    import hashlib

    return hashlib.sha256


def _consts_text(code: types.CodeType) -> str:
    # A nested function's or comprehension's code object stands for its own constants: its repr
    # holds its address, which would give the key of a function with a lambda in it a new value at
    # every run.
    return "(" + ", ".join(_consts_text(c) if isinstance(c, types.CodeType) else repr(c)
                           for c in code.co_consts) + ")"


def _source_text(code: types.CodeType, module_globals: dict[str, Any]) -> Optional[str]:
    # The function's own lines, from its first line (decorators included) to the last its code,
    # nested code included, ends on: what inspect.getsource finds, without the tokenizer it runs
    # (a few milliseconds at the first decoration, a tenth of one for each after).
    linecache.checkcache(code.co_filename)
    lines = linecache.getlines(code.co_filename, module_globals)
    last, stack = code.co_firstlineno, [code]
    while stack:
        c = stack.pop()
        for _, end, _, _ in c.co_positions():
            if end is not None and end > last:
                last = end
        stack.extend(k for k in c.co_consts if isinstance(k, types.CodeType))
    if not lines or last > len(lines):
        return None  # no file, or not the one it was compiled from
    return "".join(lines[code.co_firstlineno - 1:last])


def _source_hash(func: Callable[..., Any]) -> Optional[str]:
    """The cache key of a function: a digest of its source lines and constants; None where its
    source cannot be read (no cache then). Costs a tenth of a millisecond for a small function."""
    code = getattr(func, "__code__", None)
    if not isinstance(code, types.CodeType):
        return None
    source = _source_text(code, getattr(func, "__globals__", {}))
    if source is None:
        return None  # defined where its source cannot be read: no cache
    digest: str = _sha256()((source + "\0" + _consts_text(code)).encode()).hexdigest()
    return digest


class _CacheEntry:
    """One function's record on disk: a JSON file of outcomes and a pickle of compiled signatures."""

    def __init__(self, root: Path, func_id: str, source_hash: str) -> None:
        safe = "".join(c if c.isalnum() or c in "._-" else "_" for c in func_id)[:120]
        self.dir = root / "jit"
        self.path = self.dir / f"{safe}-{source_hash[:16]}.json"
        self.func_id, self.source_hash = func_id, source_hash
        self.numba_dir = root / "jit" / "numba"

    def load(self) -> Optional[dict[str, Any]]:
        try:
            entry = json.loads(self.path.read_text())
        except (OSError, ValueError, UnicodeDecodeError):
            return None  # missing or corrupt: a clean miss
        return cached_decision(entry, self.source_hash, _compiler_version())

    def store(self, state: State, reason: str, signatures: list[Any], threshold: int,
              measured: float, **extra: Any) -> None:
        """Writes the record; `extra`: what the last run measured (see `_Driver._at_exit`)."""
        try:
            sig_blob = pickle.dumps(signatures).hex()
        except Exception:
            sig_blob = ""
        entry = {"func_id": self.func_id, "source_hash": self.source_hash,
                 "compiler": _compiler_version(), "state": state.value, "reason": reason,
                 "signatures": [str(s) for s in signatures], "signature_blob": sig_blob,
                 "threshold": threshold, "speedup": measured, **extra}
        self.write(entry)

    def write(self, entry: dict[str, Any]) -> None:
        """Replaces the record on disk with `entry`, atomically; a failure leaves the old one."""
        tmp: Optional[Path] = None
        try:
            self.dir.mkdir(parents=True, exist_ok=True)
            tmp = self.path.with_suffix(f".{os.getpid()}.{threading.get_ident()}.tmp")
            tmp.write_text(json.dumps(entry))
            os.replace(tmp, self.path)  # readers see the old file or the new one, never half of one
        except OSError as exc:
            logger.debug("velkora.jit: cache entry for %s not written: %s", self.func_id, exc)
            if tmp is not None:
                try:
                    tmp.unlink()
                except OSError:
                    pass

