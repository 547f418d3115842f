"""The compile driver's disk cache: one record per function (its outcome and compiled signatures), keyed
by its source and the compiler's version, so that a second run skips the warm-up."""

from __future__ import annotations

import functools
import hashlib
import inspect
import json
import logging
import os
import pickle
import threading
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
    # Read without importing the compiler: the cache key must be known at decoration time.
    try:
        from importlib.metadata import version
        return "numba-" + version("numba")
    except Exception:
        return "numba-unknown"


def _source_hash(func: Callable[..., Any]) -> Optional[str]:
    try:
        source = inspect.getsource(func)
    except (OSError, TypeError):
        return None  # defined where its source cannot be read: no cache
    code = getattr(func, "__code__", None)
    extra = repr(getattr(code, "co_consts", ())) if code is not None else ""
    return hashlib.sha256((source + "\0" + extra).encode()).hexdigest()


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
              measured: float) -> None:
        try:
            sig_blob = pickle.dumps(signatures).hex()
        except Exception:
            sig_blob = ""
        entry = {"func_id": self.func_id, "source_hash": self.source_hash,
                 "compiler": _compiler_version(), "state": state.value, "reason": reason,
                 "signatures": [str(s) for s in signatures], "signature_blob": sig_blob,
                 "threshold": threshold, "speedup": measured}
        try:
            self.dir.mkdir(parents=True, exist_ok=True)
            tmp = self.path.with_suffix(f".{os.getpid()}.{threading.get_ident()}.tmp")
            tmp.write_text(json.dumps(entry))
            os.replace(tmp, self.path)  # readers see the old file or the new one, never half of one
        except OSError as exc:
            logger.debug("velkora.jit: cache entry for %s not written: %s", self.func_id, exc)
            try:
                tmp.unlink()
            except (OSError, UnboundLocalError):
                pass

