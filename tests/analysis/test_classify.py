"""The workload analysis on small sources: evidence from code only, imports followed, units and codes."""

import textwrap

import pytest

from velkora import analysis
from velkora.analysis import advice, patterns
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


@pytest.mark.parametrize("src, expected", [
    ("import threading\nclass A:\n    def f(self):\n        self.lock = threading.Lock()\n"
     "        self.local = threading.local()\n        self.n = 0\n", {"MIXED", "SEQUENTIAL"}),
    ("from multiprocessing import cpu_count, RLock\ndef f():\n    return cpu_count(), RLock()\n",
     {"MIXED", "SEQUENTIAL"}),
    ("import threading\ndef f(jobs):\n    ts = [threading.Thread(target=j) for j in jobs]\n"
     "    for t in ts:\n        t.start()\n", {"PARALLEL_FRIENDLY"}),
    ("import asyncio\nasync def f(servers):\n    await asyncio.gather(*(s.close() for s in servers))\n",
     {"PARALLEL_FRIENDLY"}),
    ("import asyncio\nasync def f():\n    e = asyncio.Event()\n    await e.wait()\n", {"MIXED", "SEQUENTIAL"}),
], ids=["lock-and-local", "cpu-count-and-rlock", "threads", "asyncio-gather", "asyncio-event"])
def test_only_starting_workers_is_parallel_work(src, expected):
    r = next(r for name, r in labels(src).items() if name.endswith("f"))
    assert r.pattern in expected, r.reasons


MODEL = """
{imports}
import numpy as np
class Model:
    def fit(self):
        self.params = np.dot(np.linalg.pinv(self.exog), self.endog)
        return self
    def predict(self, exog):
        return np.dot(exog, self.params)
"""


@pytest.mark.parametrize("src, name, expected", [
    ("from scipy import stats\ndef f(d):\n    return stats.goodness_of_fit(stats.norm, d), "
     "stats.scoreatpercentile(d, 50)\n", "f", {"NUMPY_VECTORIZED", "MIXED"}),
    (MODEL.format(imports=""), "Model.fit", {"NUMPY_LINALG"}),
    (MODEL.format(imports="from sklearn.utils import check_array"), "Model.fit", {"SKLEARN_TRAINING"}),
], ids=["fit-in-a-scipy-name", "fit-and-predict-without-sklearn", "fit-and-predict-with-sklearn"])
def test_scikit_learn_evidence_needs_scikit_learn(src, name, expected):
    r = labels(src)[name]
    assert r.pattern in expected, r.reasons
    if "SKLEARN_TRAINING" not in expected:
        assert r.sklearn_score == 0.0


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
    assert patterns.NAMES[r.pattern_code] == expected


@pytest.mark.parametrize("src,expected", [
    ("def f(xs, ys):\n    return [x * y + 1 for x, y in zip(xs, ys)]\n", "PARALLEL_FRIENDLY"),
    ("def f(xs):\n    acc = 0\n    for x in xs:\n        acc = acc * 31 + x\n    return acc\n", "SEQUENTIAL"),
    ("def f(rows):\n    index = {}\n    for r in rows:\n        index.setdefault(r.k, []).append(r)\n"
     "    return dict(index), list(index), sorted(index)\n", "MEMORY_INTENSIVE"),
    ("def f(a):\n    return a + 1\n", "MIXED"),
])
def test_plain_python_patterns(src, expected):
    assert pattern(src) == expected


LOOP_REDUCTION = "total = 0\nfor i in range(n):\n    total += i * i\n"
LOOP_RECURRENCE = "x = 0.5\nfor _ in range(n):\n    x = 3.7 * x * (1.0 - x)\n"


@pytest.mark.parametrize("body, expected", [
    (LOOP_REDUCTION, "PARALLEL_FRIENDLY"),
    (LOOP_RECURRENCE, "SEQUENTIAL"),
    ("total = 0\nout = []\nfor x in xs:\n    total += x * 2\n    out.append(total)\n", "SEQUENTIAL"),
], ids=["reduction", "recurrence", "running-total-read-back"])
@pytest.mark.parametrize("where", ["function", "module"])
def test_carried_state_is_decided_the_same_everywhere(body, expected, where):
    if where == "function":
        src, name = "def f(n, xs=()):\n" + textwrap.indent(body, "    "), "f"
    else:
        src, name = "n = 10\nxs = []\n" + body + "print(n)\n", "<module>"
    assert labels(src)[name].pattern == expected


@pytest.mark.parametrize("src, parallel", [
    # calls made only for their effect: closing handles, killing processes, callbacks
    ("import os\ndef f(procs, handles):\n    for p in procs:\n        os.kill(p.pid, 9)\n"
     "    for h in handles:\n        h.close()\n", False),
    # every item awaited: the event loop already overlaps the waits
    ("async def f(client, keys):\n    for k in keys:\n        v = await client.get(k)\n"
     "        client.cache[k] = v\n", False),
    # a loop whose items each give a value is still work to map
    ("import math\ndef f(xs, out):\n    for i, x in enumerate(xs):\n        out[i] = math.sqrt(x)\n", True),
    # a retry loop that stops at the first success takes its items in order
    ("def f(make, names):\n    for n in names:\n        try:\n            r = make(n)\n"
     "        except OSError:\n            pass\n        else:\n            break\n    return r\n", False),
    # a coroutine building its requests item by item still waits on them
    ("async def f(client, keys):\n    msgs = [client.encode(k) for k in keys]\n"
     "    return await client.send(msgs)\n", False),
], ids=["effect-only", "awaits", "values", "retry-until-break", "coroutine-map"])
def test_a_loop_of_effects_or_waits_is_not_work_to_map(src, parallel):
    r = labels(src)["f"]
    assert (r.pattern == "PARALLEL_FRIENDLY") == parallel, r.reasons


@pytest.mark.parametrize("src", [
    # the cache grown and cleared through bound-method aliases, and read back
    "def f(it, pred):\n    cache = []\n    push = cache.append\n    drop = cache.clear\n    for x in it:\n"
    "        if pred(x):\n            push(x)\n        else:\n            yield from cache\n            drop()\n",
    # map() of a bound method slides a window
    "from collections import deque\ndef f(it, n):\n    w = deque(maxlen=n)\n"
    "    for _ in map(w.append, it):\n        yield tuple(w)\n",
], ids=["bound-method-aliases", "map-of-append"])
def test_mutation_through_a_bound_method_is_carried_state(src):
    r = labels(src)["f"]
    assert r.pattern != "PARALLEL_FRIENDLY" and "state carried" in " ".join(r.reasons), r.reasons


def test_a_loop_over_two_items_is_not_work():
    r = labels("def f(a, b):\n    out = 0\n    for x in (a, b):\n        out = out * 3 + len(str(x))\n"
               "    return out\n")["f"]
    assert r.pattern == "MIXED" and not any("loop(s)" in why for why in r.reasons), r.reasons


ARRAY_LOOP = """
import numpy as np
def f(A, b, x, n):
    r = b - A @ x
    p = r.copy()
    for _ in range(n):
        Ap = A @ p
        alpha = np.dot(r, r) / np.dot(p, Ap)
        x += alpha * p
        r -= alpha * Ap
        p = r + alpha * p
    return x
"""


@pytest.mark.parametrize("src, expected", [
    (ARRAY_LOOP, {"NUMPY_LINALG", "NUMPY_VECTORIZED"}),
    (ARRAY_LOOP.replace("import numpy as np\n", ""), {"CPU_INTENSIVE", "SEQUENTIAL", "MIXED"}),
], ids=["arrays", "no-array-module"])
def test_arithmetic_on_arrays_in_a_loop_is_array_work(src, expected):
    r = labels(src)["f"]
    assert r.pattern in expected, r.reasons


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

    from velkora.analysis.units import collect_units
    units, _ = collect_units(ast.parse(textwrap.dedent(src)))
    return next(u for u in units if u.qualname == name)


@pytest.mark.parametrize("src,facts", [
    # `+=` on a number is a reduction, not growth (nor carried state unless the loop reads it back)
    ("def f(xs):\n    acc = 0\n    for x in xs:\n        acc += x * x\n    return acc\n",
     {"aug_growth": 0, "carried": set(), "reduced": {"acc"}}),
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


@pytest.mark.parametrize("output", ["99999999999999999999.9\n", "2147483648.0\n", "\uff18.\uff16\n", "8.\n",
                                    "1" * 5000 + ".0\n"],
                         ids=["huge", "over-32-bits", "full-width-digits", "no-minor", "5000-digits"])
def test_an_unusable_compute_capability_is_none_and_said_once(monkeypatch, caplog, output):
    import shutil
    import subprocess

    from velkora.native import host_probe

    monkeypatch.setattr(host_probe, "detect_gpu_backends", lambda: {"has_gpu": True, "cuda_available": True})
    monkeypatch.setattr(shutil, "which", lambda name: "/usr/bin/nvidia-smi")
    monkeypatch.setattr(subprocess, "run", lambda cmd, **kw: subprocess.CompletedProcess(cmd, 0, output, ""))
    from velkora.analysis import classify

    monkeypatch.setattr(classify, "_UNUSABLE_SAID", set())
    assert [analysis.detect_gpu(), analysis.detect_gpu()] == [(True, None)] * 2
    [record] = [r for r in caplog.records if "compute capability" in r.getMessage()]
    assert record.levelname == "WARNING"
    assert analyze_source(CPU_FN, "f.py", *analysis.detect_gpu())          # scores without one


def test_detect_gpu_without_a_gpu_asks_nothing_more(monkeypatch):
    import shutil

    from velkora.native import host_probe

    monkeypatch.setattr(host_probe, "detect_gpu_backends", lambda: {"has_gpu": False})
    monkeypatch.setattr(shutil, "which", lambda name: pytest.fail("looked for nvidia-smi"))
    assert analysis.detect_gpu() == (False, None)


@pytest.mark.parametrize("src, name, expected", [
    ("def f(w, h):\n    out = []\n    for y in range(h):\n        for x in range(w):\n"
     "            v = 0.0\n            for k in range(9):\n                v = v * 0.5 + x * y - k\n"
     "            out.append(v)\n    return out\n", "f", advice.COMPILE),
    (LOOP_REDUCTION.replace("total = 0", "def f(n):\n    total = 0").replace("\n    total +=", "\n        total +=")
     .replace("\nfor", "\n    for"), "f", advice.MAP_REDUCE.format(names="result of total")),
    ("from concurrent.futures import ThreadPoolExecutor\ndef f(xs, g):\n"
     "    with ThreadPoolExecutor() as pool:\n        return list(pool.map(g, xs))\n", "f", advice.ALREADY_PARALLEL),
    ("import numpy as np\ndef f(rows):\n    out = []\n    for r in rows:\n"
     "        out.append(np.linalg.norm(np.asarray(r) - np.mean(r)))\n    return out\n", "f", advice.BATCH),
    ("import pandas as pd\ndef f(df):\n    total = 0\n    for _, row in df.iterrows():\n"
     "        total += row['a'] * row['b']\n    return total\n", "f", advice.ROWWISE),
    ("import pandas as pd\ndef f(df, g):\n    return df.apply(g, axis=1)\n", "f", advice.ROWWISE),
    ("def f(a):\n    return a + 1\n", "f", advice.NOTHING),
    ("def f(encoded):\n    out = ''\n    for line in encoded:\n        i = 0\n        while i < len(line):\n"
     "            if line[i] != '=':\n                out += line[i]\n                i += 1\n"
     "            else:\n                out += chr(int(line[i + 1:i + 3], 16) * 2 - 1)\n                i += 3\n"
     "    return out\n", "f", advice.TEXT_LOOP),
    ("def f(leaves, root):\n    results = {}\n    for leaf in leaves:\n        node, state = leaf, root\n"
     "        while node:\n            for child in node.children:\n                if child.kind in state.table:\n"
     "                    state = state.table[child.kind]\n            node = node.parent\n"
     "        results[leaf] = state\n    return results\n", "f", advice.NO_ARITHMETIC),
], ids=["compile", "map-reduce", "already-parallel", "batch", "iterrows", "apply-axis-1", "nothing", "text-loop",
        "no-arithmetic"])
def test_every_row_carries_advice(src, name, expected):
    r = labels(src)[name]
    assert r.advice == expected, (r.pattern, r.reasons)
    assert r.actionable is not r.advice.startswith("nothing")


@pytest.mark.parametrize("src", ["def f(x):\n    return sum(abs(a) for a in x)\n",
                                 "def f(xs):\n    return [x * x + 1 for x in xs]\n"])
def test_no_gpu_estimate_without_array_operations(src):
    assert labels(src, gpu=True, cc="8.6")["f"].gpu_speedup == 1.0


@pytest.mark.parametrize("src, parallel", [
    # formatting, splitting or wrapping each item costs less than handing it to a worker
    ("def f(codes):\n    return '{' + ', '.join([f'{name(c)}({c})' for c in codes]) + '}'\n"
     "def name(c):\n    return 'SIG' if c < 0 else 'OK'\n", False),
    ("def f(lines):\n    return [l.split(',')[1] for l in lines if l]\n", False),
    # arithmetic, a math call, a function handed in, a helper of the file that computes
    ("def f(xs, start, step):\n    return [start + x * step for x in xs]\n", True),
    ("import math\ndef f(xs):\n    return [math.log(x) for x in xs]\n", True),
    ("def f(fn, chunk):\n    return [fn(*args) for args in chunk]\n", True),
    ("def f(pairs):\n    return [dist(a, b) for a, b in pairs]\n"
     "def dist(a, b):\n    s = 0.0\n    for x, y in zip(a, b):\n        s += (x - y) * (x - y)\n    return s\n", True),
    # a literal handful of items is no workload, whatever each costs
    ("import math\ndef f(a, b, c):\n    return [math.sqrt(v) for v in (a, b, c)]\n", False),
    # the caller's words, each normalised by a chain of calls, counted by key
    ("def f(words):\n    counts = {}\n    for w in words:\n        k = w.lower().strip('.,')\n"
     "        counts[k] = counts.get(k, 0) + 1\n    return counts\n", True),
    # checks of invariants compute nothing to go on with; a search returns at its first hit
    ("def f(xs):\n    for i in range(1, len(xs)):\n        assert xs[i - 1] * 2 <= xs[i] * 3 + 1\n", False),
    ("def f(fn, xs):\n    for x in xs:\n        if fn(x * 2 + 1):\n            return x\n", False),
    # any()/all() asking a predicate handed in, or a math check, stop at the first item that decides
    ("def f(recur, parts):\n    return any(recur(p) for p in parts)\n", False),
    ("import math\ndef f(xs):\n    return any(math.isnan(x) for x in xs)\n", False),
    ("import operator\ndef f(xs, ys):\n    return all(map(operator.eq, xs, ys))\n", False),
], ids=["format", "split", "arithmetic", "math", "handed-in", "looping-helper", "literal-handful", "words",
        "asserts", "search", "any-predicate", "any-check", "all-map"])
def test_independent_items_are_parallel_work_only_when_each_costs(src, parallel):
    r = labels(src)["f"]
    assert (r.pattern == "PARALLEL_FRIENDLY") == parallel, r.reasons


@pytest.mark.parametrize("src", [
    # data flowing along the edges of a graph: each block reads what its predecessors wrote
    "def f(order, succ, dct):\n    for b in order:\n        for s in succ[b]:\n            dct[s] |= dct[b]\n",
    # a ladder of buckets, each fed from the one before
    "class C:\n    def f(self):\n        for i in range(len(self.parts) - 1):\n"
    "            for k, v in self.parts[i].items():\n                self.parts[i + 1][k] += v * 0.5\n",
], ids=["dataflow", "attribute-ladder"])
def test_a_container_read_at_one_key_and_written_at_another_is_carried(src):
    r = [r for r in labels(src).values() if r.function.endswith("f")][0]
    assert r.pattern != "PARALLEL_FRIENDLY" and "state carried" in " ".join(r.reasons), r.reasons


@pytest.mark.parametrize("src, expected", [
    # polling for children with a sleep between looks
    ("import time\ndef f(procs):\n    n = 0\n    for p in procs:\n        while p.is_alive():\n"
     "            time.sleep(0.01)\n            n = n + 1 * 2\n    return n\n", "waits"),
    # reading commands from a pipe, one line at a time
    ("def f(fd, cache):\n    with open(fd, 'rb') as pipe:\n        for line in pipe:\n"
     "            cmd, name = line.split()\n            cache[cmd] = [name] + list(cache.get(cmd, []))\n", "waits"),
    # a generator whose consumer answers each suggestion
    ("def f(tasks):\n    for t in tasks:\n        choice = yield ('drop', t.key * 2 + 1)\n"
     "        if choice is None:\n            t.keep = t.size * 2 + 1\n", "not-parallel"),
], ids=["poll", "pipe", "answered-yields"])
def test_waiting_and_talking_loops_are_no_work_to_spread(src, expected):
    r = labels(src)["f"]
    assert r.pattern != "PARALLEL_FRIENDLY" and not r.actionable, (r.pattern, r.reasons, r.advice)
    if expected == "waits":
        assert "wait" in " ".join(r.reasons)


def test_a_function_handed_to_a_pool_is_a_workers_task():
    src = ("from concurrent.futures import ProcessPoolExecutor\nfrom functools import partial\n"
           "def chunk(fn, items):\n    return [fn(*a) for a in items]\n"
           "def run(fn, chunks):\n    with ProcessPoolExecutor() as ex:\n"
           "        return list(ex.map(partial(chunk, fn), chunks))\n")
    r = labels(src)["chunk"]
    assert r.pattern == "PARALLEL_FRIENDLY" and r.advice == advice.WORKER_BODY and not r.actionable


@pytest.mark.parametrize("filename, own_code", [("numba/core/passes.py", True), ("app/passes.py", False)])
def test_a_packages_imports_of_itself_are_its_own_code(filename, own_code):
    src = "from numba.core import ir\ndef f(blocks):\n    return [ir.Del(b) for b in blocks]\n"
    r = {r.function: r for r in analyze_source(src, filename, False, None)}["f"]
    assert ("array operation" in " ".join(r.reasons)) is not own_code, r.reasons


@pytest.mark.parametrize("filename, test", [("pkg/tests/test_io.py", True), ("pkg/io.py", False)])
def test_test_functions_have_nothing_to_gain(filename, test):
    src = "import math\ndef test_logs(xs):\n    return [math.log(x) for x in xs]\n"
    r = {r.function: r for r in analyze_source(src, filename, False, None)}["test_logs"]
    assert (r.advice == advice.TEST) is test and r.actionable is not test


@pytest.mark.parametrize("src, actionable", [
    # two small lists filled once per call: too little evidence to rank as a candidate
    ("def f(pairs):\n    a = []\n    b = []\n    for x, y in pairs:\n        if x is not None:\n"
     "            a.append(x)\n            b.append(y)\n    return a, b\n", False),
    # a new container for every item: allocation per item is worth the advice
    ("def f(rows):\n    out = {}\n    for r in rows:\n        out.setdefault(r[0], []).append(list(r[1:]))\n"
     "        out[r[0]].extend(sorted(r))\n    return out\n", True),
], ids=["few-containers", "per-item"])
def test_memory_advice_needs_more_than_a_few_containers(src, actionable):
    r = labels(src)["f"]
    assert r.pattern == "MEMORY_INTENSIVE" and r.actionable is actionable, (r.reasons, r.advice)


def test_waiting_on_pipes_is_not_parallel_work():
    src = ("from multiprocessing.connection import wait\ndef f(readers, timeout):\n"
           "    ready = wait(readers, timeout)\n    return [r.recv() for r in ready]\n")
    assert labels(src)["f"].pattern != "PARALLEL_FRIENDLY"


# The same bookkeeping (a list and a dict filled, a sorted copy returned) over iterables of different sizes.
_BOOKKEEPING = """
def f({args}):
    out = []
    seen = {{}}
    for x in {items}:
        if x not in seen:
            seen[x] = len(out)
            out.append(x)
            out.append(str(x))
    return sorted(out), dict(seen)
"""


@pytest.mark.parametrize("args, items", [
    ("line", "line.split(',')"),                          # the words of one line
    ("path", "os.listdir(path)"),                         # a directory's entries
    ("cmd", "subprocess.check_output(cmd).splitlines()"),  # a subprocess's output lines
    ("**options", "options"),                             # options written out at the call
    ("a, b", "(a, b, 'c', 'd')"),                         # a handful written out
    ("obj", "dir(obj)"),                                  # the attribute names of one object
], ids=["split", "listdir", "subprocess", "options", "literal", "attributes"])
def test_a_handful_of_containers_is_not_memory_work(args, items):
    r = labels("import os, subprocess\n" + _BOOKKEEPING.format(args=args, items=items))["f"]
    assert r.pattern != "MEMORY_INTENSIVE" and not r.actionable, r.reasons
    assert "small" in " ".join(r.reasons)


@pytest.mark.parametrize("src", [
    _BOOKKEEPING.format(args="rows", items="rows"),                 # one entry per item of the input
    _BOOKKEEPING.format(args="table", items="table.values()"),
    # a worklist fed by what it takes out
    "def f(root):\n    todo = [root.first]\n    seen = {}\n    while todo:\n        n = todo.pop()\n"
    "        seen[n] = list(n.children)\n        todo.extend(n.children)\n    return sorted(seen)\n",
    # a whole file read, a deep copy, a list as long as a size says
    "def f(path):\n    with open(path) as fh:\n        text = fh.read()\n    counts = {}\n    for w in ('a', 'b', 'c'):\n"
    "        counts[w] = text.count(w)\n    return list(counts), dict(counts), sorted(counts)\n",
    "import copy\ndef f(self):\n    v = copy.deepcopy(self.state)\n    return list(v), dict(v), sorted(v), set(v)\n",
    "def f(n):\n    return [None] * n, list(), dict(), sorted([]), set(), tuple()\n",
    # an object's container that another method grows
    "class C:\n    def add(self, x):\n        self.items.append(x)\n    def f(self):\n        out = []\n"
    "        for x in self.items:\n            out.append(x)\n            out.append(str(x))\n"
    "        return sorted(out), dict.fromkeys(out), list(out)\n",
], ids=["input", "input-values", "worklist", "whole-read", "deepcopy", "explicit-size", "object-grown"])
def test_containers_that_grow_with_the_input_are_memory_work(src):
    r = [r for r in labels(src).values() if r.function.endswith("f")][0]
    assert r.pattern == "MEMORY_INTENSIVE", r.reasons


@pytest.mark.parametrize("line", ["indent + '  %s = %s' % (k, v)", "fmt % (k, v)", "k[:-3] + v + k + '.so'",
                                  "k, v, len(k) * 2 + 1"], ids=["joined", "template", "chain", "columns"])
def test_formatting_text_for_each_item_is_not_parallel_work(line):
    src = ("def f(opts, indent=''):\n    fmt = '%s=%s'\n    for name in opts:\n"
           f"        for k, v in opts[name].items():\n            print({line})\n")
    r = labels(src)["f"]
    assert r.pattern in ("MIXED", "SEQUENTIAL"), r.reasons


def test_counting_along_a_list_is_not_computation():
    # configuration: sections read by name, a cursor stepped by one through the known names
    src = ("def f(config, existing):\n    for name in sorted(config):\n        section = config[name]\n"
           "        for key in section:\n            section[key] = section[key].strip()\n"
           "        i = existing.index(name) + 1\n        while i < len(existing):\n"
           "            if existing[i].startswith(name + '.'):\n                section['parent'] = name\n"
           "            i += 1\n")
    assert labels(src)["f"].pattern == "SEQUENTIAL"


def test_an_exception_name_is_no_state_between_iterations():
    # Python unbinds `e` when its handler ends: the second loop does not read what the first one bound
    src = ("def f(pairs, more, report):\n    for a, b in pairs:\n        try:\n            hash(a)\n"
           "        except TypeError as e:\n            report(a, e)\n    for a in more:\n        try:\n"
           "            hash(a)\n        except TypeError as e:\n            report(a, e)\n")
    assert "state carried" not in " ".join(labels(src)["f"].reasons)
