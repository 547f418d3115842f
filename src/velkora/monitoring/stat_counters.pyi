import threading as threading
from typing import TypedDict, type_check_only

from typing_extensions import disjoint_base

@type_check_only
class CounterStats(TypedDict):
    count: int
    mean: float
    variance: float
    std: float
    min: float
    max: float

@disjoint_base
class CounterAggregator:
    def __init__(self, num_counters: int = 1000) -> None: ...
    def update(self, counter_id: int, value: float) -> None: ...
    def get_stats(self, counter_id: int) -> CounterStats: ...
    def reset(self, counter_id: int) -> None: ...
    def reset_all(self) -> None: ...
    def get_all_stats(self) -> list[tuple[int, CounterStats]]: ...

def create_aggregator(num_counters: int = 1000) -> CounterAggregator: ...
