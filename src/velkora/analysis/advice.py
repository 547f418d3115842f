"""What to do about a function, from its pattern and the facts measured on its code: the `advice` of every
row, and whether following it can gain anything (`actionable`), which ranks the candidates.

A pure decision, a few comparisons per function. The first rule that applies wins: row-by-row frame work,
work that already runs in parallel or as a worker's task, array calls made one per iteration of a Python loop, then the pattern's
own advice.
"""

from __future__ import annotations

from typing import NamedTuple

from velkora.analysis.evidence import Unit
from velkora.analysis.patterns import NO_CODE

COMPILE = "compile the numeric loop: velkora.jit.adaptive"
TEXT_LOOP = "nothing to gain from compiling: the loop works on text (string methods, characters, slices)"
MAP = "map the independent items: velkora.parallel.map"
MAP_REDUCE = "map the independent items with velkora.parallel.map and combine the partial {names}"
BATCH = "batch or vectorise the array calls of the Python loop: one call over all items, not one per iteration"
ROWWISE = ("replace the row-by-row frame work (DataFrame.iterrows/itertuples, apply(..., axis=1)) with "
           "column operations")
MEMORY = "build fewer containers and copies per iteration: preallocate, reuse, or keep views"
TO_GPU = "run the array work on a GPU array library (CuPy, JAX)"
ALREADY_PARALLEL = "nothing to gain: it already runs a pool or threads"
WORKER_BODY = "nothing to gain: it already runs as a worker's task (this file hands it to a pool or thread)"
WAITING = "nothing to gain: its loops wait (sleeps, polls, pipes, queues), which neither workers nor compiling shorten"
ALREADY_ON_GPU = "nothing to gain: its arrays already live on a GPU"
ARRAY_RECURRENCE = ("nothing to gain from compiling the loop: its time is in the array calls, and each iteration "
                    "needs the one before ({names})")
NATIVE = "nothing to gain: the work already runs in native code ({library})"
SEQUENTIAL = "nothing to gain from parallel work: each iteration needs the one before ({names})"
SHARED_STATE = "nothing to gain from parallel work: it updates shared state (globals, or under a lock)"
NOTHING = "nothing to gain: no loop, array or framework work worth changing"
FEW_CONTAINERS = ("nothing to gain shown: containers built or grown, but nothing allocated anew for each item; "
                  "reuse them only where a profile points here")
NO_ARITHMETIC = ("nothing to gain from compiling: its loops do no arithmetic; their time is in calls and object "
                 "handling")
# Memory intensity up to which the evidence is a few containers built once per call (three of the memory
# facts, no more): too little to rank the function as a candidate.
WEAK_MEMORY = 0.35
TEST = "nothing to gain: a test, whose time is the code it exercises"
NO_CODE = "nothing to run"

_LIBRARY = {"NUMPY": "the array library", "PANDAS": "pandas", "SKLEARN": "scikit-learn"}


class Advice(NamedTuple):
    text: str
    actionable: bool        # whether following it can make the function faster


def advise(pattern: str, u: Unit, memory: float = 1.0) -> Advice:
    """The advice for a unit labelled `pattern` (a WorkloadPattern name or NO_CODE), whose memory intensity
    is `memory`."""
    family = pattern.split("_", 1)[0]
    if pattern == NO_CODE:
        return Advice(NO_CODE, False)
    if u.test:
        return Advice(TEST, False)
    if u.rowwise:
        return Advice(ROWWISE, True)
    if u.parallel_api and family in ("PARALLEL", "CPU", "MIXED", "MEMORY", "SEQUENTIAL"):
        return Advice(ALREADY_PARALLEL, False)
    if u.worker_body and family in ("PARALLEL", "CPU", "MEMORY"):
        # Mapping or compiling inside a worker's task competes with the pool running it.
        return Advice(WORKER_BODY, False)
    if u.device_ops and 2 * u.device_ops >= u.array_ops:
        return Advice(ALREADY_ON_GPU, False)
    if family in ("NUMPY", "GPU", "CPU") and u.array_in_loop and u.for_loops + u.while_loops:
        # Iterations that need the last cannot be batched; their array calls already run natively.
        if u.carried:
            return Advice(ARRAY_RECURRENCE.format(names=_names(u.carried)), False)
        return Advice(BATCH, True)
    if family == "GPU":
        return Advice(TO_GPU, True)
    if family in _LIBRARY:
        return Advice(NATIVE.format(library=_LIBRARY[family]), False)
    if u.waits_in_loop and pattern in ("CPU_INTENSIVE", "MEMORY_INTENSIVE", "PARALLEL_FRIENDLY", "MIXED") and not (
            u.carried and pattern != "MIXED"):
        return Advice(WAITING, False)
    if pattern == "CPU_INTENSIVE":
        if u.text_in_loop >= 2 and not (u.math_calls or u.array_ops):
            return Advice(TEXT_LOOP, False)
        if u.loop_arith - u.index_arith < 2 and not (u.math_calls or u.array_ops):
            return Advice(NO_ARITHMETIC, False)
        return Advice(COMPILE, True)
    if pattern == "PARALLEL_FRIENDLY":
        if u.reduced:
            plural = "s" if len(u.reduced) > 1 else ""
            return Advice(MAP_REDUCE.format(names=f"result{plural} of {_names(u.reduced)}"), True)
        return Advice(MAP, True)
    if pattern == "MEMORY_INTENSIVE":
        # Building the containers a function returns is its job; the advice helps where a container or
        # copy is made anew for every item.
        per_item = u.built_in_loop or u.copies_in_loop or u.keyed_growth or u.array_alloc_in_loop
        if memory < WEAK_MEMORY or not per_item:
            return Advice(FEW_CONTAINERS, False)
        return Advice(MEMORY, True)
    if pattern == "SEQUENTIAL":
        return Advice(SEQUENTIAL.format(names=_names(u.carried)) if u.carried else SHARED_STATE, False)
    return Advice(NOTHING, False)


def _names(names: set[str]) -> str:
    return ", ".join(sorted(names)[:3]) + (", ..." if len(names) > 3 else "")
