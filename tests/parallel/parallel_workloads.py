"""Functions the parallel tests send to worker processes (importable there by name)."""

import os
import signal
import time

CALLS = []


def square(x):
    return x * x


def fail_at(x):
    if x == 7:
        raise ValueError(f"bad item {x}")
    return x


def die_at(x):
    if x == 5:
        os._exit(3)
    time.sleep(0.01)
    return x


def killed_at(x):
    if x == 5:
        os.kill(os.getpid(), signal.SIGKILL)
    time.sleep(0.01)
    return x


def pid(_):
    time.sleep(0.005)
    return os.getpid()


def shared_view(array, i):
    # What the worker received: a view of shared memory (no data of its own), and a value from it.
    return (array.flags.owndata, float(array[i]), os.getpid())


def counted(x):
    CALLS.append(x)
    return x + 1


def slow_counted(x):
    time.sleep(0.001)
    CALLS.append(x)
    return x + 1


COUNTER = 0


def bump(x):
    global COUNTER
    COUNTER += x
    return COUNTER


def in_worker(_):
    from velkora.parallel import probe

    return probe.in_worker()


def sized(blob, i):
    return len(blob) + i
