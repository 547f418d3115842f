"""The advice for one measured function, from its figures and static pattern."""

import pytest

from velkora.monitoring.advice import Facts, advise, estimated_saving


def facts(**kw):
    base = dict(calls=400_000, own=2.0, share=0.6, pattern="CPU_INTENSIVE", cores=2)
    base.update(kw)
    return Facts(**base)


@pytest.mark.parametrize("kw, action, call, words", [
    ({}, "compile", "velkora.jit.adaptive", "called 400,000 times, loops on numbers, expected 30-100x"),
    ({"compiler": "refuses: untyped global"}, "compile", "velkora.jit.adaptive", "the compiler refuses"),
    ({"share": 0.01}, "leave", None, "cold"),
    ({"calls": 1, "own": 0.05}, "leave", None, "called once only"),
    ({"calls": 1, "own": 3.0}, "compile", "velkora.jit.adaptive", "called once,"),
    ({"pattern": "PARALLEL_FRIENDLY"}, "map", "velkora.parallel.map", "loop carries no state, 2 cores"),
    ({"pattern": "PARALLEL_FRIENDLY", "compiler": "accepts it (dry run)"}, "compile", "velkora.jit.adaptive",
     "expected 30-100x, then map over items on 2 cores"),
    ({"pattern": "PARALLEL_FRIENDLY", "cores": 1}, "compile", "velkora.jit.adaptive", "loops on numbers"),
    ({"pattern": "NUMPY_VECTORIZED", "calls": 10}, "vectorize", None, "vectorize"),
    ({"pattern": "NUMPY_VECTORIZED", "calls": 100_000, "own": 1.0}, "compile", "velkora.jit.adaptive", "small arrays"),
    ({"pattern": "GPU_COMPUTE_INTENSIVE", "gpu": True, "gpu_speedup": 12.0}, "gpu", "velkora.jit.adaptive", "GPU candidate"),
    ({"pattern": "GPU_COMPUTE_INTENSIVE", "gpu": False, "gpu_speedup": 12.0}, "leave", None, "no pattern"),
    ({"native_share": 0.9}, "native", None, "already in native code: nothing to gain"),
    ({"pattern": "PANDAS_GROUPBY"}, "leave", None, "library"),
    ({"pattern": None}, "leave", None, "no pattern"),
    ({"pattern": "MIXED", "loops": False}, "vectorize", None, "no loop: the call costs more than its body"),
    ({"loops": False, "recursive": True}, "compile", "velkora.jit.adaptive", "recursive on numbers, expected 30-100x"),
])
def test_advice_names_the_action_the_call_and_the_estimate(kw, action, call, words):
    a = advise(facts(**kw))
    assert (a.action, a.call) == (action, call)
    assert words in a.text


def test_estimated_saving_is_bounded_by_the_time_spent():
    low, high = estimated_saving(10.0, 30, 100)
    assert 0 < low < high < 10.0
    assert estimated_saving(1.0, 0.5, 1.0) == (0.0, 0.0)
