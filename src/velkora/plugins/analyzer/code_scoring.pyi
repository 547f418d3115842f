import logging as logging
import re as re
from typing import SupportsFloat, SupportsIndex, SupportsInt

logger: logging.Logger

_Real = SupportsFloat | SupportsIndex
_Count = SupportsInt | SupportsIndex

def quick_framework_score(code: str, framework: str | None) -> float: ...
def score_indicators(code: str, function_name: str | None) -> tuple[int, int, int, int, int, int, int]: ...
def normalize_scores(
    cpu_score: _Count, memory_score: _Count, parallel_score: _Count, gpu_op_score: _Count,
    large_data_score: _Count,
) -> tuple[float, float, float, float, float]: ...
def score_framework_patterns(code: str) -> tuple[float, float, float]: ...
def determine_workload_pattern(
    cpu_intensity: _Real, memory_intensity: _Real, parallelization_potential: _Real,
    gpu_suitability: _Real, gpu_operation_score: _Real, numpy_score: _Real, pandas_score: _Real,
    sklearn_score: _Real, sequential_count: _Count, embarrassing_count: _Count,
    cpu_threshold: _Real, memory_threshold: _Real, gpu_threshold: _Real, numpy_threshold: _Real,
    pandas_threshold: _Real, sklearn_threshold: _Real, gpu_available: object,
) -> int:
    """The workload pattern code, 0 to 13; `velkora.analysis.patterns.WorkloadPattern` names them."""

def calculate_parallelization_potential(
    base_parallel_score: _Real, embarrassing_bonus: _Real, sequential_penalty: _Real,
    loop_chunking_potential: _Real,
) -> float: ...
def estimate_gpu_speedup(gpu_operation_score: _Real, gpu_data_size_score: _Real, gpu_available: object) -> float: ...
def calculate_gpu_suitability(
    gpu_operation_score: _Real, gpu_data_size_score: _Real, cpu_intensity: _Real,
    gpu_available: object, compute_capability: str | None,
) -> float: ...
def update_adaptive_threshold(
    current_threshold: _Real, success_rate: _Real, learning_rate: _Real, min_threshold: _Real,
    max_threshold: _Real,
) -> float: ...
