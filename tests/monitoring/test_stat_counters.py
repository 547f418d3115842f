"""CounterAggregator: running statistics per identifier, locking, subclassing and lifetime."""

import copy
import gc
import math
import os
import pickle
import threading
import weakref
from fractions import Fraction

import pytest
from hypothesis import settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, rule

from doubles import FakeThreading
from velkora.monitoring import stat_counters
from velkora.monitoring.stat_counters import CounterAggregator, create_aggregator

INF = float("inf")
NAN = float("nan")
KEYS = ["count", "mean", "variance", "std", "min", "max"]
ZERO = {"count": 0, "mean": 0.0, "variance": 0.0, "std": 0.0, "min": INF, "max": -INF}
# AddressSanitizer's allocator aborts on a request it cannot meet unless told to return NULL.
ALLOCATOR_ABORTS = ("asan" in os.environ.get("LD_PRELOAD", "") and
                    "allocator_may_return_null=1" not in os.environ.get("ASAN_OPTIONS", ""))


def same(a, b):
    """Equal, NaN equal to NaN, and of the same type."""
    if type(a) is not type(b):
        return False
    if isinstance(a, float) and math.isnan(a):
        return math.isnan(b)
    return a == b


def assert_stats(d, expected):
    assert type(d) is dict and list(d) == KEYS
    for k in KEYS:
        assert same(d[k], expected[k]), (k, d[k], expected[k])


def test_namespace_and_silent_import(run_python):
    public = [k for k in vars(stat_counters) if not k.startswith("_")]
    assert public == ["threading", "CounterAggregator", "create_aggregator"]
    assert stat_counters.threading is threading
    proc = run_python(
        "import logging; logging.basicConfig(level=logging.DEBUG)\n"
        "import velkora.monitoring.stat_counters"
    )
    assert proc.stderr == ""


def test_fresh_series_and_default_size():
    agg = create_aggregator()
    for i in (0, 999):
        assert_stats(agg.get_stats(i), ZERO)
        agg.update(i, 1.0)
    assert [i for i, _ in agg.get_all_stats()] == [0, 999]


@pytest.mark.parametrize("call", ["update({}, 1.0)", "get_stats({})", "reset({})"])
@pytest.mark.parametrize("num, bad", [(1000, 1000), (1000, -1), (0, 0), (3, 3), (3, -2**31)])
def test_identifier_bounds(call, num, bad):
    agg = CounterAggregator(num)
    with pytest.raises(IndexError) as info:
        eval("agg." + call.format(bad))
    assert str(info.value) == f"Counter ID {bad} out of range"
    assert agg.get_all_stats() == []


def test_known_moments():
    agg = CounterAggregator()
    for v in (2.0, 4.0, 6.0):
        agg.update(3, v)
    s = agg.get_stats(3)
    assert_stats(s, {"count": 3, "mean": 4.0, "variance": 2.666666666666668,
                     "std": math.sqrt(2.666666666666668), "min": 2.0, "max": 6.0})
    assert s["std"] == pytest.approx(1.63299316)
    all_stats = agg.get_all_stats()
    assert len(all_stats) == 1 and type(all_stats[0]) is tuple and all_stats[0][0] == 3
    assert all_stats[0][1] == s and all_stats[0][1] is not s


def test_rounded_negative_variance_has_zero_std():
    agg = CounterAggregator(1)
    for _ in range(3):
        agg.update(0, 0.1)
    s = agg.get_stats(0)
    assert s["variance"] < 0 and s["variance"] == pytest.approx(-1.94e-18, rel=1e-2)
    assert type(s["std"]) is float and s["std"] == 0.0


@pytest.mark.parametrize("values, lo, hi", [
    ([NAN], NAN, NAN),
    ([NAN, 1.0], 1.0, 1.0),                 # the next value replaces a NaN extreme
    ([3.0, NAN, 2.0], 2.0, 2.0),
    ([INF], INF, INF),                      # the first value takes both extremes
    ([-INF], -INF, -INF),
])
def test_extremes(values, lo, hi):
    agg = CounterAggregator(1)
    for v in values:
        agg.update(0, v)
    s = agg.get_stats(0)
    assert same(s["min"], lo) and same(s["max"], hi)


class FloatLike:
    def __float__(self):
        return 2.5


class IndexLike:
    def __index__(self):
        return 4


@pytest.mark.parametrize("value, stored", [(5, 5.0), (True, 1.0), (FloatLike(), 2.5),
                                           (IndexLike(), 4.0)])
def test_value_conversion(value, stored):
    agg = CounterAggregator(1)
    agg.update(0, value)
    assert same(agg.get_stats(0)["min"], stored)


@pytest.mark.parametrize("args, exc", [
    ((0, "5"), TypeError), ((0, None), TypeError), ((1000, "5"), TypeError),  # conversion first
    ((2**31, 1.0), OverflowError), ((-2**31 - 1, 1.0), OverflowError), (("0", 1.0), TypeError),
    ((0,), TypeError), ((0, 1.0, 2.0), TypeError),
])
def test_update_argument_errors_change_nothing(args, exc):
    agg = CounterAggregator(1)
    with pytest.raises(exc):
        agg.update(*args)
    assert agg.get_all_stats() == []


def test_keywords_and_no_argument_methods():
    agg = CounterAggregator(num_counters=2)
    agg.update(value=3.0, counter_id=1)
    assert agg.get_stats(counter_id=1)["count"] == 1
    for name in ("reset_all", "get_all_stats"):
        with pytest.raises(TypeError):
            getattr(agg, name)(1)
    with pytest.raises(TypeError, match="unexpected keyword"):
        agg.reset(id=1)


@pytest.mark.parametrize("num", [-1, -2**31])
def test_negative_count_is_a_memory_error(num):
    with pytest.raises(MemoryError, match="^Failed to allocate counter storage$"):
        CounterAggregator(num)
    with pytest.raises(MemoryError, match="^Failed to allocate counter storage$"):
        create_aggregator(num)


@pytest.mark.parametrize("arg, exc", [(2**31, OverflowError), ("10", TypeError), (None, TypeError)])
def test_count_conversion_errors(arg, exc):
    with pytest.raises(exc):
        CounterAggregator(arg)


HUGE_BYTES = (2**31 - 1) * 40


def _kernel_refuses_huge_block():
    """Heuristic overcommit (the default) refuses one allocation larger than RAM and swap together."""
    try:
        with open("/proc/sys/vm/overcommit_memory") as f:
            mode = int(f.read())
        with open("/proc/meminfo") as f:
            info = {line.split(":")[0]: int(line.split()[1]) * 1024 for line in f}
    except (OSError, ValueError, IndexError):
        return False
    return mode == 0 and info["MemTotal"] + info.get("SwapTotal", 0) < HUGE_BYTES


# The cap sits 1 GiB above what the process already maps: under the sanitizer that is terabytes of
# shadow reservations, which a fixed cap would fall below.
RELATIVE_CAP = (
    "mapped = int(open('/proc/self/statm').read().split()[0]) * resource.getpagesize()\n"
    "resource.setrlimit(resource.RLIMIT_AS, (mapped + (1 << 30), resource.getrlimit(resource.RLIMIT_AS)[1]))\n"
)


@pytest.mark.skipif(ALLOCATOR_ABORTS, reason="the sanitizer's allocator aborts instead of failing")
@pytest.mark.parametrize("limit", [
    pytest.param(RELATIVE_CAP, id="address-space-limit"),
    pytest.param("", marks=pytest.mark.skipif(not _kernel_refuses_huge_block(),
                                              reason="the kernel may grant ~80 GiB here"),
                 id="beyond-the-machine"),
])
def test_huge_count_that_cannot_be_obtained(run_python, limit):
    proc = run_python(
        "import resource\n"
        "from velkora.monitoring.stat_counters import CounterAggregator\n"
        + limit +
        "try:\n"
        "    CounterAggregator(2**31 - 1)\n"
        "except MemoryError as e:\n"
        "    print(repr(str(e)))\n"
        "else:\n"
        "    print('allocated')\n"
    )
    assert proc.stdout.strip() == "'Failed to allocate counter storage'"


# Around the size from which the records are one private mapping (1 MiB, 40-byte records).
@pytest.mark.parametrize("num", [0, 1, 1000, 26_214, 26_215, 300_000])
def test_reset_all_empties_every_series(num):
    agg = CounterAggregator(num)
    fed = sorted({0, num // 2, num - 1}) if num else []
    for i in fed:
        agg.update(i, 2.0)
        agg.update(i, -1.0)
    agg.reset_all()
    assert agg.get_all_stats() == []
    for i in fed:
        assert_stats(agg.get_stats(i), ZERO)
        agg.update(i, 3.0)
    assert [(i, d["count"], d["max"]) for i, d in agg.get_all_stats()] == [(i, 1, 3.0) for i in fed]
    agg.reset_all()
    agg.reset_all()
    assert agg.get_all_stats() == []


def test_reinitialising_between_block_kinds():
    agg = CounterAggregator(300_000)
    agg.update(299_999, 1.0)
    for n in (10, 300_000, 0, 26_215, 5):
        agg.__init__(n)  # the old block, of either kind, is released
        assert agg.get_all_stats() == []
        if n:
            agg.update(n - 1, 4.0)
            assert [i for i, _ in agg.get_all_stats()] == [n - 1]


def test_reset_all_leaves_unfed_pages_alone(run_python):
    """50 million records are ~1.9 GiB; emptying a few fed ones must not commit the rest."""
    proc = run_python(
        "import os\n"
        "from velkora.monitoring.stat_counters import CounterAggregator\n"
        "def resident():\n"
        "    with open('/proc/self/statm') as f:\n"
        "        return int(f.read().split()[1]) * os.sysconf('SC_PAGE_SIZE')\n"
        "n = 50_000_000\n"
        "agg = CounterAggregator(n)\n"
        "ids = [0, 1, 12_345_678, n - 1]\n"
        "for i in ids:\n"
        "    agg.update(i, 2.5)\n"
        "before = resident()\n"
        "agg.reset_all()\n"
        "assert agg.get_all_stats() == []\n"
        "assert all(agg.get_stats(i)['count'] == 0 for i in ids)\n"
        "agg.update(n - 1, 1.0)\n"
        "assert [(i, s['mean']) for i, s in agg.get_all_stats()] == [(n - 1, 1.0)]\n"
        "print(resident() - before)\n"
    )
    assert int(proc.stdout) < 100 * 2**20


def test_create_aggregator_passes_the_object_on():
    assert create_aggregator(num_counters=3).get_all_stats() == []
    agg = create_aggregator(2.9)  # through the class's own integer conversion
    agg.update(1, 1.0)
    with pytest.raises(IndexError):
        agg.update(2, 1.0)
    with pytest.raises(TypeError):
        create_aggregator("3")


def test_get_all_stats_uses_a_subclass_override():
    calls = []

    class Tagged(CounterAggregator):
        def get_stats(self, counter_id):
            calls.append(counter_id)
            return {"tag": counter_id, **super().get_stats(counter_id)}

    agg = Tagged(5)
    for i in (4, 0, 2):
        agg.update(i, 1.5)
    result = agg.get_all_stats()
    assert calls == [0, 2, 4]
    assert [(i, d["tag"], d["count"]) for i, d in result] == [(0, 0, 1), (2, 2, 1), (4, 4, 1)]


def test_override_that_resets_and_reinitialises_during_the_walk():
    class Shrinking(CounterAggregator):
        def get_stats(self, counter_id):
            stats = super().get_stats(counter_id)
            self.reset(counter_id + 1)        # the next fed series disappears
            if counter_id == 4:
                self.__init__(2)              # the block is replaced mid-walk
            return stats

    agg = Shrinking(10)
    for i in range(10):
        agg.update(i, 1.0)
    assert [i for i, _ in agg.get_all_stats()] == [0, 2, 4]
    assert agg.get_all_stats() == []
    agg.update(1, 2.0)
    with pytest.raises(IndexError):
        agg.update(2, 1.0)


def test_subclass_with_its_own_signature_and_without_init():
    class Named(CounterAggregator):
        def __init__(self, name, n):
            super().__init__(n)
            self.name = name

    agg = Named("x", 2)
    agg.update(1, 1.0)
    assert agg.name == "x" and agg.get_stats(1)["count"] == 1

    class Lazy(CounterAggregator):
        def __init__(self):
            pass

    lazy = Lazy()  # never initialised: no identifiers at all
    with pytest.raises(IndexError):
        lazy.update(0, 1.0)
    lazy.reset_all()
    assert lazy.get_all_stats() == []


def test_pickling_and_copying_refused():
    agg = CounterAggregator(1)
    for action in (pickle.dumps, copy.copy, copy.deepcopy, lambda a: a.__reduce__(),
                   lambda a: a.__reduce_ex__(2), lambda a: a.__setstate__({})):
        with pytest.raises(TypeError):
            action(agg)


def test_collected_through_a_cycle():
    class Cyclic(CounterAggregator):
        pass

    agg = Cyclic(3)
    agg.me = agg
    agg.update(0, 1.0)
    ref = weakref.ref(agg)
    del agg
    gc.collect()
    assert ref() is None


class CountingLock:
    def __init__(self):
        self.inner = threading.Lock()
        self.enters = self.exits = 0

    def __enter__(self):
        self.inner.acquire()
        self.enters += 1
        return self

    def __exit__(self, *exc):
        self.exits += 1
        self.inner.release()
        return False


class FailingLock:
    def __enter__(self):
        raise RuntimeError("cannot lock")

    def __exit__(self, *exc):
        return False


@pytest.fixture
def injected_lock(monkeypatch):
    """Replaces the module's `threading` so that new aggregators get the given lock class."""

    def install(lock_class):
        fake = FakeThreading(lock_class)
        monkeypatch.setattr(stat_counters, "threading", fake)
        return fake.locks

    return install


def test_an_injected_lock_sees_every_access(injected_lock):
    made = injected_lock(CountingLock)
    agg = CounterAggregator(4)
    (lock,) = made
    agg.update(1, 1.0)
    agg.update(2, 2.0)
    agg.get_stats(1)
    agg.reset(2)
    agg.get_all_stats()      # one get_stats per fed series
    agg.reset_all()
    with pytest.raises(IndexError):
        agg.update(4, 1.0)   # refused before the lock
    assert lock.enters == lock.exits == 6


def test_a_failing_lock_changes_nothing(injected_lock):
    injected_lock(FailingLock)
    agg = CounterAggregator(2)
    for call in (lambda: agg.update(0, 1.0), lambda: agg.get_stats(0), lambda: agg.reset(0),
                 agg.reset_all):
        with pytest.raises(RuntimeError, match="cannot lock"):
            call()
    assert agg.get_all_stats() == []


def test_four_threads_feed_one_series():
    agg = CounterAggregator(2)
    per_thread, start = 5000, threading.Barrier(4)

    def feed():
        start.wait(timeout=10)
        for _ in range(per_thread):
            agg.update(1, 0.5)

    threads = [threading.Thread(target=feed) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=30)
    s = agg.get_stats(1)
    assert s["count"] == 4 * per_thread and s["mean"] == 0.5
    assert s["count"] * s["mean"] == 10000.0  # every 0.5 is exact in the running sum


# ---- model-based ---------------------------------------------------------------------------------

def fma(a, b, c):
    if all(math.isfinite(x) for x in (a, b, c)):
        return float(Fraction(a) * Fraction(b) + Fraction(c))
    return a * b + c  # specials: no rounding for the fusion to save


def model_stats(rec):
    if not rec:
        return dict(ZERO)
    n, total, sq, lo, hi = len(rec), 0.0, 0.0, INF, -INF
    for v in rec:
        total += v
        sq += v * v
        if not v >= lo:
            lo = v
        if not v <= hi:
            hi = v
    mean = total / n
    var = fma(-mean, mean, sq / n)
    return {"count": n, "mean": mean, "variance": var,
            "std": 0.0 if var < 0 else math.sqrt(var), "min": lo, "max": hi}


values = st.floats(min_value=-1e100, max_value=1e100) | st.sampled_from([NAN, INF, -INF, 0.1])


class AggregatorMachine(RuleBasedStateMachine):
    N = 6

    def __init__(self):
        super().__init__()
        self.agg = CounterAggregator(self.N)
        self.model = [[] for _ in range(self.N)]

    @rule(i=st.integers(0, N - 1), v=values)
    def update(self, i, v):
        self.agg.update(i, v)
        self.model[i].append(v)

    @rule(i=st.integers(0, N - 1))
    def reset(self, i):
        self.agg.reset(i)
        self.model[i] = []

    @rule()
    def reset_all(self):
        self.agg.reset_all()
        self.model = [[] for _ in range(self.N)]

    @rule(i=st.integers(0, N - 1))
    def get_stats(self, i):
        assert_stats(self.agg.get_stats(i), model_stats(self.model[i]))

    @invariant()
    def all_stats(self):
        got = self.agg.get_all_stats()
        assert [i for i, _ in got] == [i for i, rec in enumerate(self.model) if rec]
        for i, d in got:
            assert_stats(d, model_stats(self.model[i]))


AggregatorMachine.TestCase.settings = settings(max_examples=100, stateful_step_count=30,
                                               deadline=None)
TestAggregatorModel = AggregatorMachine.TestCase
