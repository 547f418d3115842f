import logging as logging
from typing import Any, Iterable, SupportsFloat, SupportsIndex, TypeVar

logger: logging.Logger

_Real = SupportsFloat | SupportsIndex
# A history entry is any iterable of exactly two numbers: (timestamp, value). The histories are
# typed through a variable so that a caller's list[tuple[float, float]] is accepted as it is
# (a list of a wider entry type would not be, lists being invariant).
_Pair = TypeVar("_Pair", bound=Iterable[_Real])
_Name = TypeVar("_Name", bound=str | None)

def detect_performance_degradation(
    performance_history: list[_Pair] | None, baseline_performance: _Real, threshold: _Real, window_start_time: _Real
) -> bool: ...
def calculate_performance_trend(performance_history: list[_Pair] | None, window_start_time: _Real) -> float: ...
def detect_workload_characteristics_change(
    pattern_history: list[dict[str, Any]], change_threshold: _Real = 0.3
) -> tuple[bool, float, float, float]:
    """(changed, parallel_change, cpu_change, memory_change) over the entries'
    'parallelization_potential', 'cpu_intensity' and 'memory_intensity' values."""

def detect_dominant_pattern(patterns: list[_Name], window_size: int = 5) -> _Name | str:
    """The most frequent entry of the window; 'mixed' for an empty window."""

def is_adaptation_beneficial(
    current_pool: str | None,
    recommended_pool: str | None,
    recommendation_score: _Real,
    recommendation_confidence: _Real,
    current_performance_estimate: _Real,
    trigger_code: int,
    min_improvement_ratio: _Real = 1.1,
    min_confidence: _Real = 0.6,
) -> bool: ...
def should_skip_adaptation(last_adaptation_time: _Real, current_time: _Real, min_interval: _Real) -> bool: ...
def detect_memory_pressure(current_usage: _Real, peak_usage: _Real, pressure_threshold: _Real = 0.8) -> bool: ...
def detect_fragmentation_threshold(fragmentation_ratio: _Real, threshold: _Real = 0.3) -> bool: ...
def calculate_adaptation_urgency(
    performance_degradation: _Real, memory_pressure: _Real, fragmentation_ratio: _Real, workload_changed: object
) -> float: ...
def score_pool_recommendation(
    workload_fit: _Real, memory_fit: _Real, thread_count_fit: _Real, historical_success_rate: _Real
) -> float: ...
def predict_resource_requirements(
    allocation_history: list[_Pair], prediction_horizon_seconds: _Real
) -> tuple[int, int, float]: ...
