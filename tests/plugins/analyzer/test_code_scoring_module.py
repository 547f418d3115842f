"""The module frame: namespace, pattern compilation at import, the load line."""

import re
import sys

import pytest

from velkora.plugins.analyzer import code_scoring as cs

NAME = "velkora.plugins.analyzer.code_scoring"
FUNCTIONS = ("quick_framework_score", "score_indicators", "normalize_scores",
             "score_framework_patterns", "determine_workload_pattern",
             "calculate_parallelization_potential", "estimate_gpu_speedup",
             "calculate_gpu_suitability", "update_adaptive_threshold")


def test_namespace():
    public = {k for k in vars(cs) if not k.startswith("__")}
    assert public == set(FUNCTIONS) | {"re", "logging", "logger", "INDICATOR_WORDS", "FRAMEWORK_WORDS"}
    assert cs.re is re and cs.logger.name == NAME


def test_import_compiles_patterns_in_order_and_logs(run_python):
    proc = run_python(f"""
import logging, re
logging.basicConfig(level=logging.INFO, format="%(name)s|%(levelname)s|%(message)s")
calls = []
real = re.compile
re.compile = lambda p, f=0: (calls.append((p, f)), real(p, f))[1]
import {NAME}
assert [f for _, f in calls] == [re.IGNORECASE] * 3, calls
print([p.split("|")[0][3:] for p, _ in calls])
""")
    assert proc.stdout.strip() == "['numpy', 'pandas', 'sklearn']"
    lines = proc.stderr.strip().splitlines()
    assert len(lines) == 1 and lines[0].startswith(f"{NAME}|INFO|")


def test_failed_compile_aborts_import(run_python):
    proc = run_python(f"""
import re
def fail(*a):
    raise re.error("broken")
re.compile = fail
try:
    import {NAME}
except re.error as e:
    print("aborted", e)
""")
    assert proc.stdout.strip() == "aborted broken"


def test_results_hold_no_stray_references():
    code = "import numpy as np\nnp.array(x) " * 20
    before = sys.getrefcount(code)
    for _ in range(100):
        cs.quick_framework_score(code, "numpy")
        cs.score_indicators(code, code)
        cs.score_framework_patterns(code)
    assert sys.getrefcount(code) == before


@pytest.mark.parametrize("text", ["\u0130" * 3, "\u00e9t\u00e9", "\U0001f600sum"])
def test_wide_and_one_byte_texts_do_not_leak_lowered_copies(text):
    before = sys.getrefcount(text)
    cs.score_indicators(text, text)
    assert sys.getrefcount(text) == before
