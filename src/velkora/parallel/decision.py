"""Which backend runs a map, with how many workers and in what batches: pure functions of plain values.

The mechanics (velkora.parallel.probe, .backends) measure a function and the host and hand the figures
here; nothing in this module starts a thread or a process, reads a clock or imports anything heavy, so
every rule is tested on made-up evidence in microseconds.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import NamedTuple

BACKENDS = ("auto", "serial", "threads", "processes", "dask")

# Costs of the mechanics, measured on the development machine (2 cores) and kept round: they only
# need to be right within a factor of two, since a parallel plan must win by MIN_GAIN to be chosen.
PROCESS_START_SECONDS = 0.25        # starting a pool of worker processes (spawn, import velkora)
PROCESS_TASK_SECONDS = 400e-6       # one chunk's round trip to a warm worker, beyond its items
THREAD_TASK_SECONDS = 40e-6         # one chunk handed to a pooled thread
SHARE_SECONDS_PER_BYTE = 2e-9       # copying a large array into fresh shared memory once per map
                                    # (first touch of its pages dominates)
TARGET_PROCESS_CHUNK_SECONDS = 0.02  # long enough to hide a task's round trip, short enough to balance
TARGET_THREAD_CHUNK_SECONDS = 0.002
CHUNKS_PER_WORKER = 4               # at least this many chunks per worker, where items allow, to balance
MIN_GAIN = 1.1                      # a parallel plan must be estimated this much faster than serial
PROCESS_OVER_THREADS = 1.2          # and processes this much faster than threads (results come back
                                    # pickled, memory is doubled, a crash costs a worker)
GIL_FREE_GAIN = 1.4                 # two threads this much faster than one: the items release the GIL
WAITING_CPU_FRACTION = 0.5          # items using less CPU than this share of their wall time wait
WAITING_THREADS_CPU = 0.25          # ...and two of them together keep less than this much CPU busy
MAX_WAITING_THREADS = 64            # waiting items: threads beyond the cores, up to this many
MIN_PARALLEL_SECONDS = 0.005        # a map estimated shorter than this runs where it is


@dataclass(frozen=True)
class Profile:
    """What was measured about one function; kept in the ledger so a second map skips the probing.

    `item_seconds` and `cpu_fraction` come from timing the first items; `thread_gain` from running
    items on two threads at once (about 1.0 when they hold the interpreter lock, 2.0 when they release
    it; None when not measured) and `thread_cpu` from the process's CPU time meanwhile (at most about
    1.0 when they hold the lock, whatever else the machine runs, near 2.0 when they release it, near
    0.0 when they wait); `transfer_seconds` from pickling an item's argument and result and
    loading them again, per item (both ends of the pipe); `arg_bytes` is that argument's pickled size.
    """

    pattern: str = "UNKNOWN"
    carries_state: bool = False
    state_reason: str = ""
    item_seconds: float = 0.0
    cpu_fraction: float = 1.0
    thread_gain: float | None = None
    thread_cpu: float | None = None     # CPU seconds per wall second while the two threads ran
    transfer_seconds: float = 0.0
    arg_bytes: int = 0
    picklable: bool | None = None   # None: not tried yet
    probed_items: int = 0


class Host(NamedTuple):
    """The machine as the decision sees it: cores from the host probe, whether worker processes are
    already running, and whether this process is itself one of our workers (no nested pools)."""

    cores: int = 1
    pool_warm: bool = False
    in_worker: bool = False


class Decision(NamedTuple):
    """The plan for one map, with the estimates and reasons behind it (``str()`` gives one line)."""

    backend: str
    workers: int
    chunksize: int
    serial_seconds: float
    estimated_seconds: float
    reasons: tuple[str, ...] = ()

    def __str__(self) -> str:
        return (f"{self.backend} x{self.workers}, chunks of {self.chunksize}: "
                + "; ".join(self.reasons))


def _duration(seconds: float) -> str:
    if seconds >= 1.0:
        return f"{seconds:.2f} s"
    if seconds >= 1e-3:
        return f"{seconds * 1e3:.1f} ms"
    return f"{seconds * 1e6:.1f} us"


def chunk_size(n_items: int, item_seconds: float, workers: int, target_seconds: float) -> int:
    """Items per task: enough to last `target_seconds`, but at most what gives every worker
    CHUNKS_PER_WORKER tasks, so the last chunk does not leave the others idle. At least 1."""
    if n_items <= 0:
        return 1
    per_target = math.ceil(target_seconds / item_seconds) if item_seconds > 0 else n_items
    balanced = math.ceil(n_items / max(1, workers * CHUNKS_PER_WORKER))
    return max(1, min(per_target, balanced))


def waits(profile: Profile) -> bool:
    """Whether the items mostly wait (sleep, I/O) rather than compute: little CPU time for their wall
    time, and, where two threads were tried, they ran side by side without using the CPU for it. (On a
    busy machine a computing item also gets less CPU than wall time; two threads that take twice as
    long, or keep a CPU busy, show it computes.)"""
    if profile.cpu_fraction >= WAITING_CPU_FRACTION:
        return False
    if profile.thread_gain is not None and profile.thread_gain < GIL_FREE_GAIN:
        return False
    # Two waiting threads keep no CPU busy; a starved single-thread timing can fake the rest.
    return profile.thread_cpu is None or profile.thread_cpu < WAITING_THREADS_CPU


def releases_gil(profile: Profile) -> bool:
    """Whether two threads were measured to compute at once: clearly more CPU busy while they ran
    than one thread alone got (items holding the interpreter lock never keep more than one busy)."""
    if profile.thread_cpu is not None:
        # Against the CPU one thread got alone: on a busy machine neither reaches a full core.
        return profile.thread_cpu >= GIL_FREE_GAIN * max(0.25, min(1.0, profile.cpu_fraction))
    return profile.thread_gain is not None and profile.thread_gain >= GIL_FREE_GAIN


def thread_plan(profile: Profile, host: Host, n_items: int) -> tuple[int, int, float]:
    """(workers, chunksize, estimated seconds) on a thread pool."""
    work = n_items * profile.item_seconds
    if waits(profile):
        workers = max(1, min(n_items, MAX_WAITING_THREADS))
    else:
        workers = max(1, min(n_items, host.cores))
    chunk = chunk_size(n_items, profile.item_seconds, workers, TARGET_THREAD_CHUNK_SECONDS)
    if waits(profile):
        cpu = work * profile.cpu_fraction
    else:
        cpu = work
    wait = work - cpu
    if releases_gil(profile) and not waits(profile):
        # Two threads measured; more cores scale in proportion to that measurement.
        measured = profile.thread_cpu if profile.thread_cpu is not None else profile.thread_gain
        assert measured is not None
        cpu_speed = max(1.0, min(workers, host.cores * measured / 2.0))
    else:
        cpu_speed = 1.0
    estimate = cpu / cpu_speed + wait / workers + math.ceil(n_items / chunk) * THREAD_TASK_SECONDS / workers
    return workers, chunk, estimate


def process_plan(profile: Profile, host: Host, n_items: int, shared_bytes: int) -> tuple[int, int, float]:
    """(workers, chunksize, estimated seconds) on the worker processes: the items' work divided over
    the cores; pickling, half of it in the caller (arguments out, results in: serial), half in the
    workers; the tasks' round trips; copying large arrays into shared memory; and, when the pool is
    cold, starting it."""
    workers = max(1, min(n_items, host.cores))
    chunk = chunk_size(n_items, profile.item_seconds + profile.transfer_seconds, workers,
                       TARGET_PROCESS_CHUNK_SECONDS)
    chunks = math.ceil(n_items / chunk)
    estimate = (n_items * profile.item_seconds / workers
                + n_items * profile.transfer_seconds * (0.5 + 0.5 / workers)
                + chunks * PROCESS_TASK_SECONDS / workers + shared_bytes * SHARE_SECONDS_PER_BYTE
                + (0.0 if host.pool_warm else PROCESS_START_SECONDS))
    return workers, chunk, estimate


def _fixed(backend: str, profile: Profile, host: Host, n_items: int, shared_bytes: int,
           serial: float, reasons: list[str]) -> Decision:
    if backend == "serial":
        return Decision("serial", 1, max(1, n_items), serial, serial, tuple(reasons))
    if backend == "threads":
        workers, chunk, est = thread_plan(profile, host, n_items)
    else:       # processes, and dask, whose workers are sized like a pool of ours
        workers, chunk, est = process_plan(profile, host, n_items, shared_bytes)
    return Decision(backend, workers, chunk, serial, est, tuple(reasons))


def decide(profile: Profile, host: Host, n_items: int, *, backend: str = "auto",
           chunksize: int | None = None, workers: int | None = None, shared_bytes: int = 0,
           explain: bool = True) -> Decision:
    """The plan for mapping a function over `n_items` items (those not already run by the probe).

    A backend other than "auto" is obeyed; only its workers and chunks are sized here. Under "auto":
    state shared between calls, a single item, a worker process of our own or a map too short to pay
    for threads keeps the work serial; otherwise serial, threads and processes are estimated from the
    measured profile and the fastest wins, a parallel plan only when it beats serial by MIN_GAIN.
    Explicit `chunksize`/`workers` override the sizes chosen. With `explain` false the reasons are
    left out (only the verdict's own is kept). Costs nothing but arithmetic: about a microsecond, a few
    more to write the reasons.
    """
    if backend not in BACKENDS:
        raise ValueError(f"backend must be one of {', '.join(BACKENDS)}; got {backend!r}")
    if chunksize is not None and chunksize < 1:
        raise ValueError(f"chunksize must be at least 1; got {chunksize}")
    if workers is not None and workers < 1:
        raise ValueError(f"workers must be at least 1; got {workers}")
    if workers is not None:
        host = host._replace(cores=workers)
    serial = n_items * profile.item_seconds
    reasons = _evidence(profile, host, n_items, shared_bytes) if explain else []
    if backend != "auto":
        reasons.append(f"{backend} as asked")
        decision = _fixed(backend, profile, host, n_items, shared_bytes, serial, reasons)
    else:
        decision = _auto(profile, host, n_items, shared_bytes, serial, reasons)
    if chunksize is not None and decision.backend != "serial":
        decision = decision._replace(chunksize=chunksize)
    if workers is not None and decision.backend != "serial":
        decision = decision._replace(workers=workers)
    return decision


def _evidence(profile: Profile, host: Host, n_items: int, shared_bytes: int) -> list[str]:
    reasons = [f"pattern {profile.pattern}"]
    if profile.probed_items:
        reasons.append(f"{profile.probed_items} item(s) timed: {_duration(profile.item_seconds)} each, "
                       f"CPU {profile.cpu_fraction:.0%} of wall")
    if profile.thread_gain is not None:
        held = ("waits" if waits(profile) else "releases the interpreter lock" if releases_gil(profile)
                else "holds the interpreter lock")
        cpu = f", {profile.thread_cpu:.2f} CPUs busy" if profile.thread_cpu is not None else ""
        reasons.append(f"two threads {profile.thread_gain:.2f}x one{cpu} ({held})")
    reasons.append(f"{host.cores} core(s)")
    reasons.append(f"argument {profile.arg_bytes} B pickled, {_duration(profile.transfer_seconds)} "
                   "to send and return")
    if shared_bytes:
        reasons.append(f"{shared_bytes / 2**20:.1f} MiB of arrays shared, not pickled")
    reasons.append(f"{n_items} item(s) to run")
    return reasons


def _auto(profile: Profile, host: Host, n_items: int, shared_bytes: int, serial: float,
          reasons: list[str]) -> Decision:
    def stay(why: str) -> Decision:
        reasons.append(why)
        return Decision("serial", 1, max(1, n_items), serial, serial, tuple(reasons))

    if profile.carries_state:
        return stay(f"serial: calls share state ({profile.state_reason}), so they are not split")
    if n_items <= 1:
        return stay("serial: nothing to split")
    if host.in_worker:
        return stay("serial: already inside a worker process")
    if serial < MIN_PARALLEL_SECONDS:
        return stay(f"serial: the rest takes about {_duration(serial)}, less than handing it out costs")
    plans: dict[str, tuple[int, int, float]] = {}
    if host.cores > 1 or waits(profile):
        plans["threads"] = thread_plan(profile, host, n_items)
    if host.cores > 1 and profile.picklable is not False:
        plans["processes"] = process_plan(profile, host, n_items, shared_bytes)
    elif profile.picklable is False:
        reasons.append("the function or its items cannot be pickled: no processes")
    if not plans:
        return stay("serial: one core and the items compute")
    best = min(plans, key=lambda name: plans[name][2] * (PROCESS_OVER_THREADS if name == "processes" else 1))
    workers, chunk, est = plans[best]
    if reasons:
        estimates = ", ".join(f"{name} {_duration(p[2])}" for name, p in plans.items())
        reasons.append(f"estimates: serial {_duration(serial)}, {estimates}")
    if serial < MIN_GAIN * est:
        return stay(f"serial: no plan beats it by {MIN_GAIN}x")
    reasons.append(f"{best}: {workers} worker(s), chunks of {chunk}")
    return Decision(best, workers, chunk, serial, est, tuple(reasons))


def route_single(profile: Profile | None, host: Host) -> str:
    """Where Executor.submit under "auto" sends one call: to processes only for a function measured
    to hold the interpreter lock over items long enough to pay for a round trip; to threads
    otherwise (the safe choice for a function not yet measured)."""
    if profile is None or profile.carries_state or host.in_worker or host.cores < 2:
        return "threads"
    if (profile.picklable is not False and not releases_gil(profile) and not waits(profile)
            and profile.item_seconds > 20 * (PROCESS_TASK_SECONDS + profile.transfer_seconds)):
        return "processes"
    return "threads"
