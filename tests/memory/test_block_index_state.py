"""FastRedBlackTree against a dict-of-chains model, step by step."""

import math

from hypothesis import settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, rule

from velkora.memory.block_index import FastRedBlackTree

SIZES = st.integers(min_value=0, max_value=40) | st.sampled_from([2**63, 2**64 - 1])


class Blk:
    """Equal by tag, so distinct objects can match; checks it is never freed twice."""

    alive = set()

    def __init__(self, tag):
        self.tag = tag
        self.ident = id(self)
        Blk.alive.add(self.ident)

    def __eq__(self, other):
        return isinstance(other, Blk) and other.tag == self.tag

    __hash__ = None

    def __del__(self):
        assert self.ident in Blk.alive, "block released twice"
        Blk.alive.discard(self.ident)


class TreeMachine(RuleBasedStateMachine):
    @initialize(rate=st.sampled_from([0, 1, 3, 100]))
    def setup(self, rate):
        self.tree = FastRedBlackTree(rate)
        self.rate = rate
        self.model = {}  # size -> blocks in chain order
        self.inserted = 0
        self.deleted = 0
        self.searches = 0

    @rule(size=SIZES, tag=st.integers(0, 5))
    def insert(self, size, tag):
        b = Blk(tag)
        assert self.tree.insert(size, b) is True
        chain = self.model.setdefault(size, [])
        chain.insert(1 if chain else 0, b)
        self.inserted += 1

    @rule(size=SIZES, tag=st.integers(0, 5))
    def delete(self, size, tag):
        probe = Blk(tag)  # equal to stored blocks of that tag, never identical
        chain = self.model.get(size, [])
        idx = next((i for i, b in enumerate(chain) if b == probe), None)
        assert self.tree.delete(size, probe) is (idx is not None)
        if idx is not None:
            del chain[idx]
            if not chain:
                del self.model[size]
            self.deleted += 1

    @rule(size=SIZES)
    def remove_ge(self, size):
        fits = [s for s in self.model if s >= size]
        got = self.tree.remove_ge(size)
        if not fits:
            assert got == (None, None)
            return
        best = min(fits)
        head = self.model[best].pop(0)
        if not self.model[best]:
            del self.model[best]
        assert got[0] == best and got[1] is head
        self.deleted += 1

    @rule(size=SIZES)
    def find_best_fit(self, size):
        fits = [s for s in self.model if s >= size]
        expected = self.model[min(fits)][0] if fits else None
        assert self.tree.find_best_fit(size) is expected
        self.searches += 1

    @rule(size=SIZES)
    def find_all_exact(self, size):
        got = self.tree.find_all_exact(size)
        assert [id(b) for b in got] == [id(b) for b in self.model.get(size, [])]
        self.searches += 1

    @rule()
    def clear(self):
        self.tree.clear()
        self.model.clear()
        self.inserted = self.deleted = self.searches = 0

    @invariant()
    def consistent(self):
        if not hasattr(self, "tree"):
            return
        n = sum(len(c) for c in self.model.values())
        assert self.tree.size() == n == len(self.tree)
        dist = self.tree.get_size_distribution()
        assert dist == {s: len(c) for s, c in self.model.items()}
        stats = self.tree.get_stats()
        distinct = len(self.model)
        assert stats["height"] <= 2 * math.log2(distinct + 1)
        assert (distinct == 0) == (stats["height"] == 0)
        if dist:  # pre-order: the first key is the root, and the root splits the others
            root = next(iter(dist))
            assert stats["height"] >= math.ceil(math.log2(distinct + 1))
            assert root in self.model
        assert stats["node_count"] == stats["total_blocks"] == n
        assert stats["total_insertions"] == stats["operation_count"] == self.inserted
        assert stats["total_deletions"] == self.deleted
        assert stats["total_searches"] == self.searches
        expected = self.inserted // self.rate if self.rate else 0
        assert stats["sampled_operations"] == expected


TreeMachine.TestCase.settings = settings(max_examples=200, stateful_step_count=40, deadline=None)
test_tree_against_model = TreeMachine.TestCase
