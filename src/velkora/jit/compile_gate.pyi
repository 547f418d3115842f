import logging as logging
import threading as threading
import time as time
from typing import Any, Dict, Optional, Protocol

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

class _Ledger(Protocol):
    def get_metrics(self, func_id: Optional[str], /) -> Any: ...

@disjoint_base
class CompileGate:
    @property
    def config(self) -> PolicyConfig: ...
    def __init__(self, config: Any = None) -> None: ...
    def should_compile(self, func_id: Optional[str], call_ledger: _Ledger) -> "bool": ...
    def get_threshold(self, func_id: Optional[str]) -> "int": ...
    def update(self, func_id: Optional[str], call_ledger: _Ledger) -> None: ...
    def get_statistics(self) -> "Dict": ...

def get_compile_gate() -> "CompileGate": ...
def reset_compile_gate() -> None: ...
def create_policy_config(initial_threshold: "int" = 100, min_threshold: "int" = 10,
                         max_threshold: "int" = 10000, learning_rate: "float" = 0.1,
                         target_speedup: "float" = 2.0) -> "PolicyConfig": ...
def create_function_metrics(call_count: "int" = 0, compile_count: "int" = 0,
                            avg_speedup: "float" = 1.0, total_execution_time_ms: "float" = 0.0,
                            last_compile_time: "float" = 0.0) -> "FunctionMetrics": ...
