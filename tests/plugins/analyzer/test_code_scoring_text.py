"""Text scoring: framework pattern counts, indicator counts and their normalisation."""

import re

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from velkora.plugins.analyzer import code_scoring as cs

# An independent model: the lists as plain Python data, tested one substring at a time.
INDICATORS = [
    "for while range numpy scipy math calculation compute algorithm sum prod dot matmul fft linalg",
    "array list dict pandas dataframe allocate buffer cache append extend",
    "multiprocessing threading concurrent async parallel pool worker chunk batch "
    "processpoolexecutor threadpoolexecutor",
    "matmul dot tensordot @ fft ifft rfft convolve correlate sum mean std var sin cos exp log sqrt "
    "power ** add subtract multiply divide / * + - linalg linear_algebra array asarray zeros ones "
    "empty full",
    "reshape resize huge large gigabyte gb million billion 1e6 1e9 1024 megabyte mb",
    "workload benchmark intensive chunk_workload map apply vectorize broadcast",
    "global nonlocal lock mutex synchronized sequential ordered dependencies",
]
FRAMEWORKS = [
    "numpy np. ndarray array matrix vectorize broadcast ufunc dot matmul linalg fft sum mean std "
    "var min max argmax argmin reshape transpose concatenate stack split",
    "pandas pd. dataframe series groupby apply agg transform merge join concat pivot melt query "
    "eval rolling resample sort_values",
    "sklearn fit predict transform score cross_val gridsearchcv randomizedsearchcv pipeline "
    "featureunion train_test_split classification regression clustering preprocessing "
    "model_selection metrics ensemble",
]
INDICATORS = [s.split() for s in INDICATORS]
FRAMEWORKS = [s.split() for s in FRAMEWORKS]
PATTERNS = {
    "numpy": r"\b(numpy|np\.|ndarray|array|vectorize|matmul|linalg)\b",
    "pandas": r"\b(pandas|pd\.|DataFrame|Series|groupby|merge|pivot)\b",
    "sklearn": r"\b(sklearn|fit|predict|transform|GridSearchCV|RandomForest)\b",
}


def model_indicators(code, name):
    lc, ln = code.lower(), (name or "").lower()
    by_name = {3, 5}
    return tuple(sum(w in lc or (i in by_name and w in ln) for w in words)
                 for i, words in enumerate(INDICATORS))


def model_frameworks(code):
    lc = code.lower()
    counts = [sum(w in lc for w in words) for words in FRAMEWORKS]
    return tuple(min(max(c * k, 0.0), 1.0) for c, k in zip(counts, (0.04, 1 / 18, 1 / 18)))


# Texts made of indicator words (in mixed case), their fragments, separators and characters whose
# lower-casing is special: dotted capital I (two code points), Kelvin sign (to ASCII "k"), sigma.
WORDS = sorted({w for ws in INDICATORS + FRAMEWORKS for w in ws})
PIECES = WORDS + [w[: len(w) // 2] for w in WORDS] + [w[len(w) // 2:] for w in WORDS] + [
    " ", "\n", ".", "(", "_", "\u0130", "\u212a", "\u03a3", "\u00df", "\u00e9", "\u00c0",
    "\u00b5", "\U0001f600", "NP.", "PD.", "Np.Array"]
pieces = st.sampled_from(PIECES).flatmap(
    lambda p: st.sampled_from([p, p.upper(), p.title(), p.swapcase()]))
texts = st.lists(pieces, max_size=40).map("".join)


@pytest.mark.parametrize("code, framework, expected", [
    ("import numpy as np\nx = np.array([1, 2])\n", "numpy", 0.30000000000000004),
    ("import numpy as np\nx = np.array([1, 2])\n", "NumPy", 0.0),
    ("import numpy as np", None, 0.0),
    ("import numpy as np", "", 0.0),
    ("np. x np.(x) np.", "numpy", 0.0),          # "np." needs a word character after the dot
    ("ARRAY Array array", "numpy", 0.30000000000000004),
    (" ".join(["fit"] * 10), "sklearn", 1.0),
    (" ".join(["fit"] * 11), "sklearn", 1.0),
    (" ".join(["merge"] * 7), "pandas", 0.7000000000000001),
    ("arrays fitted", "numpy", 0.0),
    ("", "pandas", 0.0),
])
def test_quick_framework_score(code, framework, expected):
    assert cs.quick_framework_score(code, framework) == expected


@settings(max_examples=200)
@given(texts, st.sampled_from(sorted(PATTERNS)))
def test_quick_framework_score_agrees_with_re(text, framework):
    n = len(re.compile(PATTERNS[framework], re.IGNORECASE).findall(text))
    assert cs.quick_framework_score(text, framework) == (1.0 if n > 10 else n * 0.1)


@pytest.mark.parametrize("code, name, expected", [
    ("def f(x):\n    return lambda y: y + 1\n", None, (0, 0, 0, 1, 1, 0, 0)),
    ("pass", "benchmark_matmul", (0, 0, 0, 1, 0, 1, 0)),
    ("sum sum SUM", "sum", (1, 0, 0, 1, 0, 0, 0)),        # present many times, and in the name
    ("pass", "threading_global", (0, 0, 0, 0, 0, 0, 0)),  # the name feeds two lists only
    ("", None, (0, 0, 0, 0, 0, 0, 0)),
    ("", "", (0, 0, 0, 0, 0, 0, 0)),
    ("a ** b", None, (0, 0, 0, 2, 0, 0, 0)),               # "**" and "*" overlap
    ("processpoolexecutor", None, (0, 0, 2, 0, 0, 0, 0)),  # "pool" inside it
    ("L\u0130ST", None, (0, 0, 0, 0, 0, 0, 0)),   # lowers to "li\u0307st": the dot splits "list"
    ("FF\u0130T FFT", None, (1, 0, 0, 1, 0, 0, 0)),  # the combining dot separates "ff" and "t"
    ("\u212aMB CHUN\u212a", None, (0, 0, 1, 0, 1, 0, 0)),  # Kelvin sign lowers to ASCII "k"
    ("\u00c0\u00b5MAP", None, (0, 0, 0, 0, 0, 1, 0)),  # one-byte text with non-ASCII letters
])
def test_score_indicators_cases(code, name, expected):
    assert cs.score_indicators(code, name) == expected
    assert model_indicators(code, name) == expected


@settings(max_examples=200)
@given(texts, st.one_of(st.none(), texts))
def test_score_indicators_agrees_with_substring_model(code, name):
    assert cs.score_indicators(code, name) == model_indicators(code, name)


@settings(max_examples=200)
@given(texts)
def test_score_framework_patterns_agrees_with_substring_model(code):
    assert cs.score_framework_patterns(code) == model_frameworks(code)


@pytest.mark.parametrize("code, expected", [
    ("import pandas as pd\ndf.groupby('a').agg(sum)", (0.04, 0.16666666666666666, 0.0)),
    ("", (0.0, 0.0, 0.0)),
    (" ".join(FRAMEWORKS[0] + FRAMEWORKS[1] + FRAMEWORKS[2]), (1.0, 1.0, 1.0)),
    ("transform", (0.0, 0.05555555555555555, 0.05555555555555555)),  # in two lists
])
def test_score_framework_patterns(code, expected):
    assert cs.score_framework_patterns(code) == expected


def test_long_text_matches_model():
    code = "x = 1\n" * 5000 + "Threading.Lock()\u0130" * 3 + "\U0001f600 RFFT"
    assert cs.score_indicators(code, "apply") == model_indicators(code, "apply")
    assert cs.score_framework_patterns(code) == model_frameworks(code)


@pytest.mark.parametrize("args, expected", [
    ((3, 3, 5, 7, 7), (0.2, 0.30000000000000004, 0.4545454545454546, 0.19444444444444442,
                       0.5384615384615385)),
    ((-1, 99, 0, 0, 0), (0.0, 1.0, 0.0, 0.0, 0.0)),
    ((15, 10, 11, 36, 13), (1.0, 1.0, 1.0, 1.0, 1.0)),
    ((3.9, True, -0.5, 0, 2**31 - 1), (0.2, 0.1, 0.0, 0.0, 1.0)),  # truncation toward zero
])
def test_normalize_scores(args, expected):
    assert cs.normalize_scores(*args) == expected


class Str(str):
    pass


@pytest.mark.parametrize("call, exc", [
    (lambda: cs.normalize_scores(2**31, 0, 0, 0, 0), OverflowError),
    (lambda: cs.normalize_scores(0, 0, 0, 0, -(2**31) - 1), OverflowError),
    (lambda: cs.normalize_scores("3", 0, 0, 0, 0), TypeError),
    (lambda: cs.normalize_scores(0, 0, 0, 0), TypeError),
    (lambda: cs.score_indicators(b"for", None), TypeError),
    (lambda: cs.score_indicators("for", Str("x")), TypeError),
    (lambda: cs.score_indicators(None, None), TypeError),
    (lambda: cs.score_framework_patterns(None), TypeError),
    (lambda: cs.score_framework_patterns(code="x", extra=1), TypeError),
    (lambda: cs.quick_framework_score(None, "numpy"), TypeError),
    (lambda: cs.quick_framework_score(Str("np.x"), None), TypeError),
    (lambda: cs.quick_framework_score("x", framework=1), TypeError),
    (lambda: cs.quick_framework_score("x", "numpy", code="y"), TypeError),
])
def test_argument_errors(call, exc):
    with pytest.raises(exc):
        call()


def test_keywords_and_unknown_framework_with_none_code():
    assert cs.score_indicators(function_name="fft", code="") == (0, 0, 0, 1, 0, 0, 0)
    assert cs.quick_framework_score(framework="tensorflow", code=None) == 0.0
    assert cs.normalize_scores(large_data_score=13, gpu_op_score=0, parallel_score=0,
                               memory_score=0, cpu_score=0) == (0.0, 0.0, 0.0, 0.0, 1.0)


def test_the_exported_word_lists_are_the_ones_counted():
    assert [list(words) for words in cs.INDICATOR_WORDS.values()] == INDICATORS
    assert [list(words) for words in cs.FRAMEWORK_WORDS.values()] == FRAMEWORKS
    # Each list's words, and only those, make up its own count in full.
    for i, words in enumerate(cs.INDICATOR_WORDS.values()):
        assert cs.score_indicators(" ".join(words), None)[i] == len(words)
    for i, words in enumerate(cs.FRAMEWORK_WORDS.values()):
        assert cs.score_framework_patterns(" ".join(words))[i] == 1.0
    with pytest.raises(TypeError):
        cs.INDICATOR_WORDS["cpu"] = ("anything",)


def test_every_literal_alone_and_behind_its_own_prefix():
    # A prefix of the same literal in front forces the matcher through its fallback transitions.
    for word in WORDS:
        for text in (word, word.upper(), word[:-1] + word, word[0] + "\u00e9" + word[1:]):
            assert cs.score_indicators(text, None) == model_indicators(text, None), text
            assert cs.score_framework_patterns(text) == model_frameworks(text), text
