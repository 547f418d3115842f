"""Per-function call and compilation records: the ledger a compile gate reads its metrics from."""

from __future__ import annotations

import threading
import time
from typing import Dict, Optional

from velkora.jit.compile_gate import FunctionMetrics


class CallLedger:
    """Thread-safe call ledger: counts calls, records compilations and their measured speedups.

    `get_metrics` returns a snapshot `FunctionMetrics` (a fresh zero record for an unseen function), so
    a reader never sees a record change under it.
    """

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._records: Dict[Optional[str], FunctionMetrics] = {}

    def _record(self, func_id: Optional[str]) -> FunctionMetrics:
        record = self._records.get(func_id)
        if record is None:
            record = self._records[func_id] = FunctionMetrics()
        return record

    def record_call(self, func_id: Optional[str], execution_time_ms: float = 0.0,
                    calls: int = 1) -> None:
        """Counts `calls` calls of the function (one by default), adding their execution time."""
        execution_time_ms = float(execution_time_ms)
        if not isinstance(calls, int) or calls < 0:
            raise ValueError(f"record_call() calls must be an int >= 0, got {calls!r}")
        with self._lock:
            record = self._record(func_id)
            record.call_count += calls
            record.total_execution_time_ms += execution_time_ms

    def record_compilation(self, func_id: Optional[str], speedup: float,
                           timestamp: Optional[float] = None) -> None:
        """Records a compilation with its measured speedup; `timestamp` defaults to time.time()."""
        speedup = float(speedup)
        when = time.time() if timestamp is None else float(timestamp)
        with self._lock:
            record = self._record(func_id)
            count = record.compile_count + 1
            # Running mean of the measured speedups.
            record.avg_speedup = speedup if count == 1 else (
                record.avg_speedup + (speedup - record.avg_speedup) / count)
            record.compile_count = count
            record.last_compiled = when

    def get_metrics(self, func_id: Optional[str]) -> FunctionMetrics:
        """A snapshot of the function's record."""
        with self._lock:
            r = self._records.get(func_id)
            if r is None:
                return FunctionMetrics()
            return FunctionMetrics(r.call_count, r.compile_count, r.avg_speedup,
                                   r.total_execution_time_ms, r.last_compiled)
