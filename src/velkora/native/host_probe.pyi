import os as os
import sys as sys
import time as time
from typing import TypedDict, type_check_only

from typing_extensions import NotRequired

@type_check_only
class GpuBackends(TypedDict):
    has_gpu: bool
    gpu_count: int
    gpu_memory_mb: int
    cuda_available: bool
    rocm_available: bool
    oneapi_available: bool
    active_backend: str
    backend_version: str

@type_check_only
class Capabilities(GpuBackends):
    physical_cores: int
    numa_nodes: int
    python_version: str
    subinterpreter_support: bool
    platform: str
    detected_at: float
    detector: str
    detection_time_ms: float
    error: NotRequired[str]  # only when detection failed and the fallback answered

def detect_physical_cores() -> int: ...
def detect_numa_nodes() -> int: ...
def detect_gpu_backends() -> GpuBackends: ...
def detect_python_version() -> tuple[str, bool]: ...
def detect_capabilities() -> Capabilities: ...
