import logging as logging
import threading as threading
import time as time
from typing import Optional, Protocol, TypedDict, type_check_only

from typing_extensions import disjoint_base

logger: logging.Logger
_policy_lock: threading.Lock

@disjoint_base
class PolicyConfig:
    initial_threshold: int
    min_threshold: int
    max_threshold: int
    learning_rate: float
    target_speedup: float
    def __init__(self, initial_threshold: int = 100, min_threshold: int = 10,
                 max_threshold: int = 10000, learning_rate: float = 0.1,
                 target_speedup: float = 2.0) -> None: ...

@disjoint_base
class FunctionMetrics:
    call_count: int
    compile_count: int
    avg_speedup: float
    total_execution_time_ms: float
    last_compiled: float
    last_compile_time: float
    def __init__(self, call_count: int = 0, compile_count: int = 0, avg_speedup: float = 1.0,
                 total_execution_time_ms: float = 0.0, last_compile_time: float = 0.0,
                 last_compiled: float = -1.0) -> None: ...

@type_check_only
class GateStatistics(TypedDict):
    tracked_functions: int
    avg_threshold: float  # an int while no function has a learned threshold
    min_threshold: int
    max_threshold: int

# What the gate reads from a ledger's records: FunctionMetrics, or any object with these attributes.
class _Metrics(Protocol):
    @property
    def call_count(self) -> int: ...
    @property
    def compile_count(self) -> int: ...
    @property
    def avg_speedup(self) -> float: ...
    @property
    def last_compiled(self) -> float: ...

class _Ledger(Protocol):
    def get_metrics(self, func_id: Optional[str], /) -> _Metrics: ...

@disjoint_base
class CompileGate:
    @property
    def config(self) -> PolicyConfig: ...
    # Any object: its PolicyConfig attributes are copied, a missing one taking its default.
    def __init__(self, config: object = None) -> None: ...
    def should_compile(self, func_id: Optional[str], call_ledger: _Ledger) -> bool: ...
    def get_threshold(self, func_id: Optional[str]) -> int: ...
    def update(self, func_id: Optional[str], call_ledger: _Ledger) -> None: ...
    def get_statistics(self) -> GateStatistics: ...

def get_compile_gate() -> CompileGate: ...
def reset_compile_gate() -> None: ...
def create_policy_config(initial_threshold: int = 100, min_threshold: int = 10,
                         max_threshold: int = 10000, learning_rate: float = 0.1,
                         target_speedup: float = 2.0) -> PolicyConfig: ...
def create_function_metrics(call_count: int = 0, compile_count: int = 0,
                            avg_speedup: float = 1.0, total_execution_time_ms: float = 0.0,
                            last_compile_time: float = 0.0) -> FunctionMetrics: ...
