import math as math
import threading as threading
import time as time
from types import GenericAlias
from typing import Any, Generic, TypedDict, type_check_only

from typing_extensions import TypeVar, disjoint_base

from .block_record import BlockRecord as BlockRecord
from .sync_cells import AtomicCounter as AtomicCounter

ATOMIC_AVAILABLE: bool

# The blocks a tree holds are the caller's own objects, handed back as they went in: annotate a
# tree as FastRedBlackTree[BlockRecord] and its searches return BlockRecord (the class is
# subscriptable at run time too). An unannotated tree holds Any.
_Block = TypeVar("_Block", default=Any)

@type_check_only
class TreeStats(TypedDict):
    total_blocks: int
    total_insertions: int
    total_deletions: int
    total_searches: int
    bucket_hits: int
    tree_hits: int
    operation_count: int
    node_count: int
    height: int
    sampled_operations: int
    is_valid: bool

@disjoint_base
class FastRedBlackTree(Generic[_Block]):
    def __class_getitem__(cls, item: Any, /) -> GenericAlias: ...
    def __init__(self, sample_rate: int = 100) -> None: ...
    @staticmethod
    def _sanitize_size(size: int) -> int: ...
    def insert(self, size: int, block: _Block) -> bool: ...
    def delete(self, size: int, block: _Block) -> bool: ...
    def remove_ge(self, size: int) -> tuple[int | None, _Block | None]:
        """(size, block) of the smallest size >= size, removed; (None, None) when there is none."""

    def clear(self) -> None: ...
    def size(self) -> int: ...
    def find_best_fit(self, size: int, alignment: int = 1) -> _Block | None: ...
    def find_all_exact(self, size: int) -> list[_Block]: ...
    def get_stats(self) -> TreeStats: ...
    def get_statistics(self) -> dict[str, object]:
        """Always an empty dict."""

    def get_size_distribution(self) -> dict[int, int]: ...
    def reset_circuit_breaker(self) -> None: ...
    def __len__(self) -> int: ...
    def __bool__(self) -> bool: ...
