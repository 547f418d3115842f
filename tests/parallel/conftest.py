import os
import time

import pytest


def live_children():
    """Processes whose parent is this one, other than the resource trackers, multiprocessing's fork
    server and the compile driver's compile process (started by other tests of the session; they only
    serve or clean up after us and exit when we do)."""
    me = str(os.getpid())
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
            with open(f"/proc/{entry}/cmdline", "rb") as f:
                cmd = f.read().replace(b"\0", b" ").decode(errors="replace")
        except OSError:
            continue
        if fields[1] == me and fields[0] != "Z" and "resource_tracker" not in cmd \
                and "multiprocessing.forkserver" not in cmd and "velkora.jit.compile_worker" not in cmd:
            found.append((int(entry), cmd))
    return found


@pytest.fixture(scope="module", autouse=True)
def no_stray_processes():
    yield
    from velkora import parallel

    parallel.shutdown()
    deadline = time.monotonic() + 10
    while live_children() and time.monotonic() < deadline:
        time.sleep(0.05)
    assert live_children() == []
