"""The workload analysis on small sources: evidence from code only, imports followed, units and codes."""

import textwrap

import pytest

from velkora import analysis
from velkora.analysis.classify import analyze_source


def labels(src, gpu=False, cc=None):
    return {r.function: r for r in analyze_source(textwrap.dedent(src), "t.py", gpu, cc)}


def pattern(src, name="f", **kw):
    return labels(src, **kw)[name].pattern


NUMPY_FN = """
import numpy as np
def f(a, b):
    c = np.asarray(a) - np.mean(a)
    return np.sqrt(c * c) + np.exp(b)
"""

CPU_FN = """
def f(n):
    out = 0.0
    for i in range(n):
        for j in range(n):
            out = out + (i * j) % 7 - i / (j + 1)
    return out
"""


@pytest.mark.parametrize("prose", [
    '"""Uses pandas DataFrame groupby, sklearn fit and numpy linalg in parallel with a lock."""',
    '# parallel map over a pandas dataframe with sklearn fit and np.linalg',
    'note = "numpy matmul pandas groupby sklearn predict multiprocessing global lock"',
])
@pytest.mark.parametrize("src,expected", [(NUMPY_FN, "NUMPY_VECTORIZED"), (CPU_FN, "CPU_INTENSIVE")])
def test_docstrings_comments_and_strings_do_not_change_the_label(prose, src, expected):
    assert pattern(src) == expected
    lines = src.splitlines()
    at = next(i for i, l in enumerate(lines) if l.startswith("def f")) + 1
    assert pattern("\n".join(lines[:at] + ["    " + prose] + lines[at:])) == expected


@pytest.mark.parametrize("imports,call", [
    ("import numpy as xp", "xp"),
    ("import numpy", "numpy"),
    ("from numpy import linalg as la", "la"),
])
def test_numpy_is_recognised_through_any_alias(imports, call):
    src = f"""
    {imports}
    def f(a, b):
        return {call}.dot(a, b) + {call}.dot(b, a)
    """
    if call == "la":
        src = src.replace("la.dot", "la.solve")
    assert pattern(src) == "NUMPY_LINALG"


def test_an_unimported_name_is_not_numpy():
    # `np` here is a parameter, not the module; nothing array-like is imported.
    assert pattern("def f(np, a, b):\n    return np.dot(a, b) + np.dot(b, a)\n") == "MIXED"


@pytest.mark.parametrize("imports,ctor", [
    ("from sklearn.linear_model import Ridge", "Ridge"),
    ("import sklearn.linear_model as lm", "lm.Ridge"),
])
def test_sklearn_fit_through_imported_estimators(imports, ctor):
    src = f"""
    {imports}
    def train(x, y):
        model = {ctor}(alpha=1.0)
        model.fit(x, y)
        return model
    def infer(x):
        model = {ctor}()
        return model.predict(x)
    """
    got = labels(src)
    assert got["train"].pattern == "SKLEARN_TRAINING"
    assert got["infer"].pattern == "SKLEARN_INFERENCE"


@pytest.mark.parametrize("method,expected", [
    ("fit", "SKLEARN_TRAINING"), ("partial_fit", "SKLEARN_TRAINING"), ("predict", "SKLEARN_INFERENCE"),
    ("transform", "SKLEARN_INFERENCE"), ("score_samples", "SKLEARN_INFERENCE"),
])
def test_estimator_methods_by_protocol_side(method, expected):
    src = f"""
    from sklearn.base import BaseEstimator
    class Scaler(BaseEstimator):
        def {method}(self, x):
            self.mean_ = x.mean(axis=0)
            return self
    """
    assert pattern(src, f"Scaler.{method}") == expected


def test_predict_of_a_class_that_is_no_estimator_is_judged_by_its_body():
    src = """
    import numpy as np
    class Tracker:
        def predict(self):
            self.x = np.dot(self.F, self.x)
            self.P = np.dot(np.dot(self.F, self.P), self.F.T) + self.Q
    """
    assert pattern(src, "Tracker.predict") == "NUMPY_LINALG"


@pytest.mark.parametrize("body", [
    "...",
    "pass",
    '"""Only a docstring."""',
    "raise NotImplementedError",
    'raise NotImplementedError("subclasses do this")',
])
def test_bodies_with_no_code(body):
    r = labels(f"def f(x):\n    {body}\n")["f"]
    assert (r.pattern, r.pattern_code) == ("NO_CODE", None)


@pytest.mark.parametrize("decorator,module", [
    ("overload", "typing"), ("abstractmethod", "abc"),
])
def test_overload_and_abstract_declarations_have_no_code(decorator, module):
    src = f"""
    from {module} import {decorator}
    class A:
        @{decorator}
        def f(self, x: int) -> int:
            return [i * x for i in range(x)]
    """
    assert pattern(src, "A.f") == "NO_CODE"


def test_nested_functions_are_analysed_on_their_own_and_named_by_path():
    src = """
    import pandas as pd
    class Outer:
        def method(self, frame):
            def inner(df):
                return df.groupby("k").agg({"v": "sum"})
            return inner(frame)
        class Inner:
            def deep(self, n):
                total = 0
                while n:
                    total, n = total + n % 10, n // 10
                return total
    """
    got = labels(src)
    assert set(got) == {"Outer.method", "Outer.method.inner", "Outer.Inner.deep"}
    assert got["Outer.method.inner"].pattern == "PANDAS_GROUPBY"
    assert got["Outer.method"].pattern == "MIXED"       # the grouping belongs to inner, not to method
    assert got["Outer.Inner.deep"].pattern == "SEQUENTIAL"


def test_groupby_of_itertools_is_not_pandas():
    src = """
    from itertools import groupby
    def f(items):
        return [(k, len(list(g))) for k, g in groupby(items)]
    """
    assert pattern(src) not in ("PANDAS_GROUPBY", "PANDAS_DATAFRAME")


@pytest.mark.parametrize("src,expected", [
    ("import pandas as pd\ndef f(df):\n    return df.groupby('a').agg('sum').reset_index()\n", "PANDAS_GROUPBY"),
    ("import pandas as pd\ndef f(df):\n    return df.dropna().rename(columns={'a': 'b'}).reset_index()\n",
     "PANDAS_DATAFRAME"),
    ("import numpy as np\ndef f(a, b):\n    return np.linalg.solve(a.T @ a, a.T @ b)\n", "NUMPY_LINALG"),
    ("import numpy as np\ndef f(a):\n    return np.cumsum(np.abs(a)) / np.max(a)\n", "NUMPY_VECTORIZED"),
])
def test_refined_codes(src, expected):
    r = labels(src)["f"]
    assert r.pattern == expected
    assert analysis.PATTERN_NAMES[r.pattern_code] == expected


@pytest.mark.parametrize("src,expected", [
    ("def f(xs, ys):\n    return [x * y + 1 for x, y in zip(xs, ys)]\n", "PARALLEL_FRIENDLY"),
    ("def f(xs):\n    acc = 0\n    for x in xs:\n        acc = acc * 31 + x\n    return acc\n", "SEQUENTIAL"),
    ("def f(rows):\n    index = {}\n    for r in rows:\n        index.setdefault(r.k, []).append(r)\n"
     "    return dict(index), list(index), sorted(index)\n", "MEMORY_INTENSIVE"),
    ("def f(a):\n    return a + 1\n", "MIXED"),
])
def test_plain_python_patterns(src, expected):
    assert pattern(src) == expected


# Memory work the analysis must see: growth through keys and attributes, stores by key in loops,
# `+=` on lists and strings, slices of sequences copied per iteration, copies in loops.
MEMORY_SOURCES = {
    "keyed growth": """
        from collections import defaultdict
        def f(items, key):
            groups = defaultdict(list)
            for item in items:
                groups[key(item)].append(item)
            return groups
    """,
    "cache on self": """
        class C:
            def f(self, items):
                for item in items:
                    self._cache[item.kind].append(item)
                    self._seen.setdefault(item.kind, []).append(item.id)
    """,
    "stores by key": """
        def f(rows):
            out = {}
            for r in rows:
                out[r.id] = list(r.values)
            return out
    """,
    "list and string +=": """
        def f(groups):
            out = []
            text = ""
            for g in groups:
                out += list(g)
                text += ",".join(g)
            return out, text
    """,
    "slices per iteration": """
        def f(seq, n):
            seq = tuple(seq)
            for i in range(len(seq) - n + 1):
                yield seq[:i], seq[i:i + n], seq[i + n:]
    """,
    "copies in a loop": """
        import copy
        def f(states):
            saved = []
            for s in states:
                saved.append(copy.deepcopy(s))
            return saved
    """,
}


@pytest.mark.parametrize("name", sorted(MEMORY_SOURCES))
def test_memory_work_is_memory_intensive(name):
    r = labels(MEMORY_SOURCES[name])
    got = r.get("f") or r["C.f"]
    assert got.pattern == "MEMORY_INTENSIVE", got.reasons
    assert got.memory_intensity > 0.3


def _unit(src, name="f"):
    import ast

    from velkora.analysis.evidence import collect_units
    units, _ = collect_units(ast.parse(textwrap.dedent(src)))
    return next(u for u in units if u.qualname == name)


@pytest.mark.parametrize("src,facts", [
    # `+=` on a number is carried state, not growth
    ("def f(xs):\n    acc = 0\n    for x in xs:\n        acc += x * x\n    return acc\n",
     {"aug_growth": 0, "carried": {"acc"}}),
    # formatting text is not arithmetic
    ("def f(n):\n    out = []\n    for i in range(n):\n        out.append('%d-' % i + 'x')\n    return out\n",
     {"loop_arith": 0, "growth_in_loop": 1}),
    # index arithmetic picks items: counted apart from work
    ("def f(a, n):\n    for i in range(n):\n        yield a[i + 1] * 2\n",
     {"index_arith": 1, "loop_arith": 2}),
    # the iterable is evaluated once, before the loop
    ("def f(xs):\n    for x in sorted(list(xs)):\n        print(x)\n", {"built_in_loop": 0, "containers": 2}),
    # a list made and grown within one iteration carries nothing to the next
    ("def f(rows, out):\n    for r in rows:\n        row = []\n        row.append(r)\n"
     "        out.append(len(row))\n",
     {"carried": set()}),
    # rotating a container the loop reads is state carried to the next iteration
    ("def f(buf, n):\n    for _ in range(n):\n        buf.rotate(1)\n        yield tuple(buf)\n",
     {"carried": {"buf"}, "independent_loops": 0}),
    # deleting from a container in a loop is not independent per-item work
    ("def f(d):\n    for k in list(d):\n        if k.startswith('_'):\n            del d[k]\n",
     {"resized_in_loop": 1, "independent_loops": 0}),
], ids=["number +=", "text formatting", "index arithmetic", "iterable once", "local list", "rotate", "del"])
def test_memory_and_state_evidence(src, facts):
    u = _unit(src)
    assert {k: getattr(u, k) for k in facts} == facts


def test_a_rotating_buffer_is_not_parallel_friendly():
    src = """
    from collections import deque
    def f(iterable, n):
        buf = deque(iterable)
        for _ in range(n):
            buf.rotate(1)
            yield tuple(buf)
    """
    assert pattern(src) in ("MEMORY_INTENSIVE", "SEQUENTIAL")


@pytest.mark.parametrize("src", [
    "def f(a, b):\n    return a + b\n",                          # two strings joined
    "def f(xs):\n    return [x.upper() for x in xs]\n",
])
def test_no_gpu_speedup_without_array_work(src):
    r = labels(src, gpu=True, cc="8.6")["f"]
    assert r.gpu_speedup == 1.0 and r.gpu_operation_score == 0.0
    assert not r.pattern.startswith("GPU")


def test_array_work_gets_a_gpu_estimate_only_with_a_gpu():
    assert labels(NUMPY_FN, gpu=True, cc="8.6")["f"].gpu_speedup > 1.0
    assert labels(NUMPY_FN, gpu=False)["f"].gpu_speedup == 1.0


@pytest.mark.parametrize("src,has_module", [
    ('"""Doc."""\nimport os\nLIMIT = 10\nNAMES = ("a", "b")\ndef f():\n    return 1\n', False),
    ("import sys\nfor arg in sys.argv[1:]:\n    print(arg.upper())\n", True),
    ('def main():\n    return 1\nif __name__ == "__main__":\n    for i in range(3):\n        main()\n', True),
    ('if __name__ == "__main__":\n    import sys\n', False),
])
def test_module_level_code_is_one_unit_when_it_works(src, has_module):
    got = labels(src)
    assert ("<module>" in got) == has_module


def test_reasons_name_the_evidence():
    r = labels(CPU_FN)["f"]
    assert r.reasons and any("loop" in why for why in r.reasons)


def test_detect_gpu_starts_no_process_without_nvidia_smi(monkeypatch):
    import shutil
    import subprocess

    from velkora.native import host_probe

    monkeypatch.setattr(host_probe, "detect_gpu_backends", lambda: {"has_gpu": True, "cuda_available": True})
    monkeypatch.setattr(shutil, "which", lambda name: None)
    monkeypatch.setattr(subprocess, "run", lambda *a, **k: pytest.fail("a process was started"))
    assert analysis.detect_gpu() == (True, None)


@pytest.mark.parametrize("output,expected", [("8.6\n", "8.6"), ("9.0\n8.6\n", "9.0"), ("", None),
                                             ("[N/A]\n", None)])
def test_detect_gpu_reads_the_compute_capability(monkeypatch, output, expected):
    import shutil
    import subprocess

    from velkora.native import host_probe

    calls = []
    monkeypatch.setattr(host_probe, "detect_gpu_backends", lambda: {"has_gpu": True, "cuda_available": True})
    monkeypatch.setattr(shutil, "which", lambda name: "/usr/bin/nvidia-smi")

    def run(cmd, **kw):
        calls.append(cmd)
        return subprocess.CompletedProcess(cmd, 0, stdout=output, stderr="")

    monkeypatch.setattr(subprocess, "run", run)
    assert analysis.detect_gpu() == (True, expected)
    assert calls == [["/usr/bin/nvidia-smi", "--query-gpu=compute_cap", "--format=csv,noheader"]]


def test_detect_gpu_without_a_gpu_asks_nothing_more(monkeypatch):
    import shutil

    from velkora.native import host_probe

    monkeypatch.setattr(host_probe, "detect_gpu_backends", lambda: {"has_gpu": False})
    monkeypatch.setattr(shutil, "which", lambda name: pytest.fail("looked for nvidia-smi"))
    assert analysis.detect_gpu() == (False, None)
