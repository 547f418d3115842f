"""When a shared arena grows, gives a segment back, or changes a slab layout.

Pure functions over plain values (no shared memory, no processes), so every decision can be tested
cheaply and exhaustively; :mod:`velkora.memory.arena` calls them and carries them out. The scores
come from the pool-adaptation module: memory pressure (live bytes over reserved bytes), the
fragmentation threshold and the adaptation urgency.
"""

from __future__ import annotations

from dataclasses import dataclass

from velkora.plugins.analyzer import pool_adaptation as _pa

PAGE = 4096
MIB = 1 << 20

# Fraction of the reserved bytes a new segment adds at the lowest and the highest urgency: small
# steps keep reserved memory close to what is live, larger ones spare allocations repeated growth.
GROWTH_MIN = 0.0625
GROWTH_MAX = 0.25
# A slab layout changes when this share of the slab bytes of a size class is free objects.
FRAGMENTATION_THRESHOLD = 0.3
# Objects per slab of a class: the default (about 64 KiB per slab) and the sparse layout used
# while a class's slabs are mostly empty.
SPARSE_OBJECTS = 4


@dataclass(frozen=True, slots=True)
class PoolState:
    """What the decisions read: byte counts of one arena at one moment."""

    live_bytes: int  # bytes of blocks and slabs in use
    segment_bytes: int  # bytes of all segments
    free_bytes: int  # bytes in free large blocks
    largest_free: int  # the largest free block
    capacity: int | None  # the arena's limit; None for no limit

    @property
    def fragmentation(self) -> float:
        """Share of the free bytes outside the largest free block (0.0 when nothing is free)."""
        if self.free_bytes <= 0:
            return 0.0
        return 1.0 - self.largest_free / self.free_bytes


@dataclass(frozen=True, slots=True)
class Decision:
    """One decision, as stats() lists it and the DEBUG log line states it."""

    action: str  # "grow", "give_back", "slab_layout", "refuse"
    size: int  # segment bytes, or objects per slab for "slab_layout"
    reason: str
    urgency: float = 0.0


def round_to_page(n: int) -> int:
    """``n`` rounded up to whole pages (segments are mapped in pages)."""
    return -(-n // PAGE) * PAGE


def plan_growth(request: int, state: PoolState, first_segment: int, tail_free: int = 0) -> Decision:
    """How many bytes to add so that a request of ``request`` bytes fits.

    The first segment has the configured size (or the request's, when larger). Later growth adds
    a share of the reserved bytes that rises with the urgency (memory pressure and fragmentation
    scored by pool_adaptation), never less than the request needs, and never beyond the capacity:
    a request that cannot fit even then gets a "refuse" decision. ``tail_free`` is the free space
    at the end of the segment that grows in place, which the new bytes extend. O(1).
    """
    need = round_to_page(max(request - tail_free, 1))
    room = None if state.capacity is None else state.capacity - state.segment_bytes
    if room is not None and need > room:
        return Decision("refuse", need, f"{need} bytes needed, {max(room, 0)} left of the capacity")
    if state.segment_bytes == 0:
        size = max(need, round_to_page(first_segment))
        reason = "first segment"
        urgency = 0.0
    else:
        pressure = state.live_bytes / state.segment_bytes
        urgency = _pa.calculate_adaptation_urgency(0.0, pressure, state.fragmentation, False)
        share = GROWTH_MIN + (GROWTH_MAX - GROWTH_MIN) * urgency
        step = round_to_page(int(state.segment_bytes * share))
        if (_pa.detect_fragmentation_threshold(state.fragmentation)
                and state.free_bytes - tail_free >= request):
            # The space exists but in pieces: add what the request needs, not a share more.
            size, reason = need, "fragmented free space"
        else:
            size = max(need, step)
            reason = "memory pressure" if _pa.detect_memory_pressure(
                state.live_bytes, state.segment_bytes) else "no free block large enough"
    if room is not None:
        size = min(size, room)
    return Decision("grow", size, reason, urgency)


def plan_give_back(state: PoolState, empty_segments: list[int], segments: int) -> list[int]:
    """Which of the empty segments (given by their sizes) to hand back to the system, as indices
    into ``empty_segments``; ``segments`` is the arena's segment count.

    An empty segment goes back unless the arena would then be under memory pressure (live bytes
    above 0.8 of what stays reserved), since the next allocations would grow again at once; one
    segment always stays. Smaller segments go first. O(n log n) in the number of empty segments.
    """
    order = sorted(range(len(empty_segments)), key=lambda i: empty_segments[i])
    keep = state.segment_bytes
    left = segments
    out: list[int] = []
    for i in order:
        after = keep - empty_segments[i]
        if left <= 1 or _pa.detect_memory_pressure(state.live_bytes, after):
            continue
        keep = after
        left -= 1
        out.append(i)
    return sorted(out)


def plan_trim(state: PoolState, segment_size: int, tail_free: int) -> int | None:
    """The size to shrink a segment to whose last ``tail_free`` bytes are free, or None to keep it.

    The free tail goes back to the system but for a growth step's headroom (GROWTH_MIN of what
    stays), and only when what stays is not under memory pressure. O(1).
    """
    after = state.segment_bytes - tail_free
    keep = round_to_page(int(after * GROWTH_MIN))
    give = (tail_free - keep) // PAGE * PAGE
    if give < 4 * PAGE or give >= segment_size:
        return None
    if _pa.detect_memory_pressure(state.live_bytes, state.segment_bytes - give):
        return None
    return segment_size - give


def plan_slab_layout(slabs: int, live: int, capacity: int, objects: int, default: int) -> int:
    """Objects per new slab of one size class, given its slabs, live objects and object capacity.

    When the free objects of a class's slabs pass the fragmentation threshold over several slabs,
    its new slabs get the sparse layout, so that a few long-lived objects no longer hold whole
    large slabs; once the slabs are well used again, the default layout returns. O(1).
    """
    if slabs < 2 or capacity <= 0:
        return objects
    free_share = (capacity - live) / capacity
    if _pa.detect_fragmentation_threshold(free_share, FRAGMENTATION_THRESHOLD):
        return min(SPARSE_OBJECTS, default)
    if free_share < FRAGMENTATION_THRESHOLD * 0.5:
        return default
    return objects
