"""The record of one block of a memory pool's arena, as the pool stores it in its free-block index."""

from __future__ import annotations

from dataclasses import dataclass


@dataclass(slots=True, weakref_slot=True, eq=False)
class BlockRecord:
    """A contiguous block ``[offset, offset + size)`` of arena ``arena_id``.

    A record stands for one particular block, so equality is identity: the free-block index removes
    exactly the record it is given, and two records with the same coordinates never both exist in
    a well-behaved pool. ``same_place`` compares coordinates when that is what is wanted.
    """

    offset: int
    size: int
    arena_id: int = 0

    def __post_init__(self) -> None:
        if self.offset < 0 or self.size < 0:
            raise ValueError(f"negative block coordinates: offset={self.offset}, size={self.size}")

    @property
    def end(self) -> int:
        """The first offset past the block."""
        return self.offset + self.size

    def same_place(self, other: BlockRecord) -> bool:
        """Whether both records describe the same bytes of the same arena."""
        return (self.arena_id, self.offset, self.size) == (other.arena_id, other.offset, other.size)

    def precedes(self, other: BlockRecord) -> bool:
        """Whether ``other`` starts right where this block ends (the two could be merged)."""
        return self.arena_id == other.arena_id and self.end == other.offset
