"""The analysis speaks the scorer's language, and keeps the promises the README makes about its decisions.

Every word the analysis hands the native scorer is one the scorer counts (a misspelt word would count for
nothing, silently), and each documented boundary holds on both of its sides.
"""

import ast
import re
from pathlib import Path

import pytest

import velkora
from velkora.analysis import analyze_source, classify
from velkora.analysis.classify import ARITH_WORDS, FRAMEWORK_WORDS, GPU_OPS, Word
from velkora.analysis.evidence import Unit
from velkora.analysis.patterns import WorkloadPattern as P
from velkora.plugins.analyzer import code_scoring as cs

README = (Path(__file__).resolve().parents[2] / "README.md").read_text(encoding="utf-8")
SAMPLE = Path(velkora.__file__).with_name("sample_workload.py")


def test_every_indicator_word_is_one_the_scorer_counts():
    counted = {w for words in cs.INDICATOR_WORDS.values() for w in words}
    assert {str(w) for w in Word} - counted == set()
    # GPU evidence goes to the GPU-operation list in particular.
    assert {str(w) for w in (*GPU_OPS, *ARITH_WORDS.values())} <= set(cs.INDICATOR_WORDS["gpu_op"])


@pytest.mark.parametrize("framework", sorted(FRAMEWORK_WORDS))
def test_framework_words_are_that_frameworks_own(framework):
    assert set(FRAMEWORK_WORDS[framework]) <= set(cs.FRAMEWORK_WORDS[framework])


def test_the_indicator_text_holds_nothing_but_the_vocabulary(monkeypatch):
    texts = []
    real = cs.score_indicators
    monkeypatch.setattr(cs, "score_indicators", lambda text, name: texts.append(text) or real(text, name))
    analyze_source(SAMPLE.read_text(encoding="utf-8"), str(SAMPLE), True, "8.6")
    words = {w for text in texts for w in text.split()}
    assert words and words <= {str(w) for w in Word}


def unit(**facts):
    return Unit(qualname="f", node=ast.Pass(), line=1, **facts)


@pytest.mark.parametrize("code, facts, expected", [
    # NUMPY_LINALG: linear-algebra calls at least half of the computing array calls.
    (P.NUMPY_VECTORIZED, dict(linalg_ops=1, array_compute=2), P.NUMPY_LINALG),
    (P.NUMPY_VECTORIZED, dict(linalg_ops=1, array_compute=3), P.NUMPY_VECTORIZED),
    (P.NUMPY_VECTORIZED, dict(linalg_ops=3, array_compute=6), P.NUMPY_LINALG),
    (P.NUMPY_VECTORIZED, dict(linalg_ops=3, array_compute=7), P.NUMPY_VECTORIZED),
    # PANDAS_GROUPBY: grouping, and grouping plus aggregation at least a quarter of the frame operations.
    (P.PANDAS_DATAFRAME, dict(grouping_ops=1, frame_ops=4), P.PANDAS_GROUPBY),
    (P.PANDAS_DATAFRAME, dict(grouping_ops=1, frame_ops=5), P.PANDAS_DATAFRAME),
    (P.PANDAS_DATAFRAME, dict(grouping_ops=1, aggregate_ops=1, frame_ops=8), P.PANDAS_GROUPBY),
    (P.PANDAS_DATAFRAME, dict(grouping_ops=1, aggregate_ops=1, frame_ops=9), P.PANDAS_DATAFRAME),
    (P.PANDAS_DATAFRAME, dict(aggregate_ops=4, frame_ops=4), P.PANDAS_DATAFRAME),
    # SKLEARN_INFERENCE: the inference side of an estimator, or inference calls without a fit.
    (P.SKLEARN_TRAINING, dict(sk_infer_calls=1), P.SKLEARN_INFERENCE),
    (P.SKLEARN_TRAINING, dict(sk_infer_calls=1, sk_fit_calls=1), P.SKLEARN_TRAINING),
    (P.SKLEARN_TRAINING, dict(role="infer", sk_fit_calls=1), P.SKLEARN_INFERENCE),
])
def test_refined_codes_on_both_sides_of_their_boundaries(code, facts, expected):
    assert classify._refine(code, unit(**facts))[0] == expected


@pytest.mark.parametrize("facts, expected", [
    # Framework calls decide when there are at least two ...
    (dict(frame_ops=2, work_calls=9, for_loops=1), "pandas"),
    (dict(frame_ops=1, work_calls=9, for_loops=1), None),
    # ... or at least half the calls of a loop-free function ...
    (dict(frame_ops=1, work_calls=2), "pandas"),
    (dict(frame_ops=1, work_calls=3), None),
    # ... and no Python loop around them does mostly plain work.
    (dict(frame_ops=2, for_loops=1, loop_plain=2, loop_stmts=4), "pandas"),
    (dict(frame_ops=2, for_loops=1, loop_plain=2, loop_stmts=3), None),
])
def test_frameworks_decide_when_their_calls_dominate(facts, expected):
    assert classify._dominant_framework(unit(**facts)) == expected


def test_the_documented_defaults_are_the_ones_used():
    listed = re.search(r"The default thresholds are (.*?)\s+\(`velkora\.analysis\.DEFAULT_THRESHOLDS`\)",
                       README, re.S)
    assert listed, "the README no longer states the default thresholds"
    documented = {f"{name}_threshold": float(value)
                  for name, value in re.findall(r"(\w+) (\d+\.\d+)", listed.group(1))}
    assert documented == classify.DEFAULT_THRESHOLDS
    chunking = re.search(r"credited a chunking potential of\s+(\d+\.\d+)", README)
    assert chunking and float(chunking.group(1)) == classify.LOOP_CHUNKING_POTENTIAL
