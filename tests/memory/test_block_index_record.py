"""BlockRecord, the block class the free-block tree is annotated with, as the tree stores it."""

import weakref

import pytest

from velkora.memory.block_index import FastRedBlackTree
from velkora.memory.block_record import BlockRecord


def test_adjacency_and_place():
    a = BlockRecord(0, 64)
    b = BlockRecord(offset=64, size=32, arena_id=0)
    c = BlockRecord(96, 16, arena_id=1)  # adjacent bytes, another arena
    assert a.end == 64
    assert a.precedes(b) and not b.precedes(a) and not b.precedes(c)
    assert a.same_place(BlockRecord(0, 64)) and not a.same_place(c)
    assert weakref.ref(a)() is a  # a pool may track its records weakly


@pytest.mark.parametrize("offset, size", [(-1, 8), (0, -8)])
def test_negative_coordinates_rejected(offset, size):
    with pytest.raises(ValueError):
        BlockRecord(offset, size)


def test_equality_is_identity_in_the_tree():
    t = FastRedBlackTree()
    a, twin = BlockRecord(0, 64), BlockRecord(0, 64)
    assert a != twin and a == a and len({a, twin}) == 2
    t.insert(a.size, a)
    assert t.delete(64, twin) is False
    assert t.delete(64, a) is True and t.size() == 0
