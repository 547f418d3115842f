"""The arena's pure decisions: growth, giving segments back, slab layouts."""

import pytest

from velkora.memory.arena_policy import (
    GROWTH_MAX,
    GROWTH_MIN,
    MIB,
    SPARSE_OBJECTS,
    PoolState,
    plan_give_back,
    plan_growth,
    plan_slab_layout,
)


def state(live, reserved, free=None, largest=None, capacity=None):
    free = reserved - live if free is None else free
    return PoolState(live, reserved, free, free if largest is None else largest, capacity)


@pytest.mark.parametrize("request_bytes, first, want", [(100, 16 * MIB, 16 * MIB), (40 * MIB, 16 * MIB, 40 * MIB),
                                                        (40 * MIB + 1, MIB, 40 * MIB + 4096)])
def test_first_segment_has_the_configured_size_or_the_request(request_bytes, first, want):
    d = plan_growth(request_bytes, state(0, 0), first)
    assert (d.action, d.size, d.reason) == ("grow", want, "first segment")


def test_growth_step_rises_with_pressure_and_never_falls_below_the_request():
    calm = plan_growth(4096, state(10 * MIB, 100 * MIB, largest=90 * MIB), MIB)
    tight = plan_growth(4096, state(99 * MIB, 100 * MIB), MIB)
    assert GROWTH_MIN * 100 * MIB <= calm.size < tight.size <= GROWTH_MAX * 100 * MIB + 4096
    assert tight.reason == "memory pressure" and tight.urgency > calm.urgency
    huge = plan_growth(500 * MIB, state(99 * MIB, 100 * MIB), MIB)
    assert huge.size == 500 * MIB


def test_fragmented_free_space_grows_by_the_request_only():
    d = plan_growth(3 * MIB, state(50 * MIB, 100 * MIB, free=50 * MIB, largest=2 * MIB), MIB)
    assert (d.size, d.reason) == (3 * MIB, "fragmented free space")


def test_capacity_caps_growth_and_refuses_what_cannot_fit():
    capped = plan_growth(MIB, state(90 * MIB, 96 * MIB, capacity=100 * MIB), MIB)
    assert capped.action == "grow" and capped.size == 4 * MIB
    refused = plan_growth(5 * MIB, state(90 * MIB, 96 * MIB, capacity=100 * MIB), MIB)
    assert refused.action == "refuse" and "4194304 left" in refused.reason


@pytest.mark.parametrize("live, sizes, segments, want", [
    (0, [MIB, 4 * MIB], 2, [0]),                # one segment always stays
    (0, [4 * MIB, MIB, 2 * MIB], 5, [0, 1, 2]),
    (9 * MIB, [MIB, 2 * MIB], 3, [0]),          # 9 of 12 MiB after the first: 0.75, no pressure
    (9 * MIB, [2 * MIB], 2, []),                 # 9 of 11 MiB would be pressure
])
def test_give_back_keeps_enough_to_avoid_pressure(live, sizes, segments, want):
    reserved = 13 * MIB if live else sum(sizes) + MIB
    assert plan_give_back(state(live, reserved), sizes, segments) == want


@pytest.mark.parametrize("slabs, live, capacity, objects, want", [
    (1, 1, 64, 64, 64),           # one slab: nothing to learn
    (4, 10, 256, 64, SPARSE_OBJECTS),  # mostly empty slabs: sparse layout
    (4, 250, 256, 4, 64),         # well used again: back to the default
    (4, 200, 256, 4, 4),          # in between: unchanged
])
def test_slab_layout_follows_fragmentation(slabs, live, capacity, objects, want):
    assert plan_slab_layout(slabs, live, capacity, objects, 64) == want
