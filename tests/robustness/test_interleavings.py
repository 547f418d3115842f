"""Every class with a lock under hostile thread interleavings (the scenarios live in interleavings.py).

Each scenario runs in a fresh interpreter, so that a crash or a deadlock fails its own test instead of
ending the whole run. VELKORA_INTERLEAVING_SECONDS sets how long the threads of each scenario run;
tools/stress_interleavings.py repeats them for longer.
"""

from __future__ import annotations

import _thread
import gc
import os
import random
import threading
import types

import pytest

import interleavings

SECONDS = float(os.environ.get("VELKORA_INTERLEAVING_SECONDS", "1.5"))


@pytest.mark.stress
@pytest.mark.parametrize("name", sorted(interleavings.SCENARIOS))
def test_scenario_keeps_its_invariants(name):
    outcome = interleavings.run_in_subprocess(name, SECONDS, random.randrange(2**32))
    assert outcome.status == "ok", outcome.report()


class NativeExitLock(_thread.RLock):
    """An injected lock whose leaving runs no Python code; its holder entering it again raises (a
    genuine lock would deadlock there)."""

    def __enter__(self):
        if self._is_owned():
            raise RuntimeError("entered again by the thread that holds it")
        self.acquire()
        return self


# Not tested with a lock whose __exit__ is Python code: the collector may run as that code starts,
# before it releases, and a finalizer entering the same lock then waits for it exactly as it would
# around a `with lock:` block in Python.
@pytest.mark.parametrize("lock", [NativeExitLock])
def test_tree_finalizer_as_a_failed_delete_leaves_its_lock(monkeypatch, lock):
    """A single-thread reduction of a deadlock tree_mixed_injected_lock found: delete gives up after its
    comparisons kept changing the tree, and the collector runs as the pending error is instantiated (3.11
    does that lazily). A finalizer that inserts into the same tree then must not wait for the lock its
    own thread still holds: the error is instantiated while the section is still open."""
    from velkora.memory import block_index as bi

    monkeypatch.setattr(bi, "threading", types.SimpleNamespace(Lock=lock))
    tree = bi.FastRedBlackTree()
    monkeypatch.setattr(bi, "threading", threading)
    problems = []

    class Finalized:
        def __del__(self):
            try:
                tree.insert(1, "from a finalizer")
            except RuntimeError as exc:
                problems.append(str(exc))

    class Changer:
        def __eq__(self, other):
            tree.insert(2, "x")  # a nested write: delete starts its walk again
            garbage = Finalized()
            garbage.cycle = garbage  # only the collector frees it
            return False

        __hash__ = object.__hash__

    tree.insert(8, Changer())
    gc.collect()
    old = gc.get_threshold()
    gc.set_threshold(1, 1000, 1000)
    try:
        with pytest.raises(RuntimeError, match="changed during delete"):
            tree.delete(8, object())
    finally:
        gc.set_threshold(*old)
    gc.collect()
    assert not problems, ("insert() from a finalizer that ran while delete was leaving its lock waited "
                          f"for that lock, held by its own thread: a deadlock ({len(problems)} times)")
