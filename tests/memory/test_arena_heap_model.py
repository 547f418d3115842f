"""The native heap against a model of its placements: live blocks never overlap, stay inside their
segment and add up in the counters; releasing everything joins the free space again."""

import os

import pytest
from hypothesis import settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, precondition, rule

from velkora.memory.arena_heap import Heap

SEGMENT = 1 << 20


class HeapMachine(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.heap = Heap()
        self.fd = os.memfd_create("velkora-test")
        os.ftruncate(self.fd, SEGMENT)
        assert self.heap.add_segment(self.fd, SEGMENT, 4 * SEGMENT) == 0
        self.size = SEGMENT
        self.live = {}  # id -> (block, nbytes)
        self.next = 0

    def teardown(self):
        self.live.clear()
        self.heap.close()
        os.close(self.fd)

    @rule(nbytes=st.one_of(st.integers(0, 4096), st.integers(4097, 200_000)))
    def alloc(self, nbytes):
        b = self.heap.alloc(nbytes)
        if b is None:  # full: only when the request cannot fit
            self.heap.empty_segments()
            free = self.heap.stats()["largest_free_block"]
            assert nbytes > 4096 or free < 70_000
            assert nbytes <= 4096 or free < nbytes
            return
        assert b.nbytes == max(nbytes, 1) and b.capacity >= b.nbytes and b.offset % 64 == 0
        assert b.from_slab == (nbytes <= 4096)
        memoryview(b)[:] = b"\xa5" * b.nbytes  # the memory is writable, end to end
        self.live[self.next] = (b, nbytes)
        self.next += 1

    @rule(pages=st.integers(1, 200))
    def grow_in_place(self, pages):
        new = self.size + pages * 4096
        os.ftruncate(self.fd, max(new, self.size))
        grown = self.heap.extend_segment(0, self.fd, new)
        assert grown == (new <= 4 * SEGMENT)
        if grown:
            self.size = new

    @rule(pages=st.integers(1, 200))
    def shrink_tail(self, pages):
        new = self.size - pages * 4096
        tail = self.heap.tail_free(0)
        if new <= 0:
            return
        self.heap.empty_segments()  # cached empty slabs back first, as shrinking does
        tail = self.heap.tail_free(0)
        assert self.heap.shrink_segment(0, new) == (self.size - new <= tail)
        if self.size - new <= tail:
            self.size = new

    @precondition(lambda self: self.live)
    @rule(data=st.data())
    def release(self, data):
        key = data.draw(st.sampled_from(sorted(self.live)))
        del self.live[key]

    @invariant()
    def placements_are_disjoint_and_counted(self):
        spans = sorted((b.offset, b.offset + b.capacity) for b, _ in self.live.values())
        for (_, end), (start, _) in zip(spans, spans[1:]):
            assert end <= start
        assert all(end <= self.size for _, end in spans)
        s = self.heap.stats()
        assert s["current_allocations"] == len(self.live)
        assert s["bytes_allocated"] == sum(b.capacity for b, _ in self.live.values())
        assert s["bytes_requested"] == sum(max(n, 1) for _, n in self.live.values())
        assert s["free_bytes"] + s["slab_bytes"] + sum(
            b.capacity for b, n in self.live.values() if n > 4096) == self.size == s["segment_bytes"]

    @invariant()
    def releasing_everything_joins_the_space(self):
        if not self.live:
            self.heap.empty_segments()  # hands cached empty slabs back first
            s = self.heap.stats()
            assert s["free_blocks"] == 1 and s["free_bytes"] == self.size


TestHeap = HeapMachine.TestCase
TestHeap.settings = settings(max_examples=60, stateful_step_count=40, deadline=None)


def test_segment_arguments_are_checked():
    h = Heap()
    with pytest.raises(ValueError, match="multiple of the page size"):
        h.add_segment(0, 100)
    with pytest.raises(OverflowError):
        h.alloc(-1)
    assert h.remove_segment(5) is False
