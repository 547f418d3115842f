from collections.abc import Callable
from typing import Any, TypedDict, final, type_check_only

from typing_extensions import disjoint_base

SMALL_MAX: int
ALIGNMENT: int
PIN_SLOT_BYTES: int

@type_check_only
class HeapStats(TypedDict):
    total_allocations: int
    total_deallocations: int
    bucketed_allocations: int
    fallback_allocations: int
    alignment_padding_bytes: int
    current_allocations: int
    bytes_allocated: int
    peak_allocations: int
    peak_bytes_allocated: int
    bytes_requested: int
    segments: int
    empty_segments: int
    segment_bytes: int
    free_bytes: int
    largest_free_block: int
    free_blocks: int
    slabs: int
    slab_bytes: int
    slab_free_bytes: int
    quarantined_slabs: int
    splits: int
    pinned_blocks: int
    pinned_bytes: int
    pinned_in_use: int
    tree_height: int
    closed: bool

@final
@disjoint_base
class Heap:
    def __init__(self, first_fit: bool = False) -> None: ...
    def configure(
        self,
        ndarray: Callable[..., Any],
        resolve_dtype: Callable[[Any], tuple[Any, int]],
        shape_of: Callable[[Any], tuple[int, ...]],
        grow: Callable[[int], Block],
    ) -> None: ...
    def empty(self, shape: Any, dtype: Any = None, order: Any = None) -> Any: ...
    def add_segment(self, fd: int, size: int) -> int: ...
    def remove_segment(self, index: int) -> bool: ...
    def set_pin_table(self, fd: int, slots: int) -> None: ...
    def alloc(self, nbytes: int) -> Block | None: ...
    def sweep(self) -> int: ...
    def verify(self) -> int: ...
    def close(self) -> None: ...
    def set_objects_per_slab(self, size_class: int, objects: int) -> None: ...
    def stats(self) -> HeapStats: ...
    def class_usage(self, size_class: int) -> tuple[int, int, int, int]: ...
    def empty_segments(self) -> list[int]: ...

@final
@disjoint_base
class Block:
    def export(self) -> tuple[int, int, int, int]: ...
    @property
    def address(self) -> int: ...
    @property
    def nbytes(self) -> int: ...
    @property
    def capacity(self) -> int: ...
    @property
    def segment(self) -> int: ...
    @property
    def offset(self) -> int: ...
    @property
    def heap(self) -> Heap: ...
    @property
    def from_slab(self) -> bool: ...

@final
@disjoint_base
class Mapping:
    def __init__(self, fd: int, size: int) -> None: ...
    @property
    def size(self) -> int: ...

@final
@disjoint_base
class View:
    def __init__(
        self, mapping: Mapping, offset: int, nbytes: int, pins: Mapping | None = None, slot: int = -1,
        generation: int = 0,
    ) -> None: ...
    @property
    def nbytes(self) -> int: ...
