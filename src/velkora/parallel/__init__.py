"""The executor: `map` and `Executor` run work serially, on threads, on worker processes or on a Dask
cluster, chosen from what the work is (`explain` says why).

The decision (velkora.parallel.decision) is pure; the measurements (probe), the mechanics (backends,
sharing, dask_backend) and the public calls (api, executor) are kept apart from it.
"""

from velkora.parallel.api import explain, ledger, map, shutdown
from velkora.parallel.backends import RemoteTraceback, WorkerDied
from velkora.parallel.decision import BACKENDS, Decision, Profile
from velkora.parallel.executor import Executor

__all__ = ["BACKENDS", "Decision", "Executor", "Profile", "RemoteTraceback", "WorkerDied", "explain",
           "ledger", "map", "shutdown"]
