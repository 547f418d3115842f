"""velkora.analysis.patterns names the scorer's codes: the names and numbers must be the native module's."""

import pathlib
import re

import pytest

from velkora import analysis, cli
from velkora.cli import report
from velkora.analysis.patterns import REFINED_BY_CALLER, WorkloadPattern
from velkora.plugins.analyzer import code_scoring as cs

ROOT = pathlib.Path(__file__).resolve().parents[1]
CORE = ROOT / "src/velkora/plugins/analyzer/code_scoring_core.hpp"


def native_codes():
    """The scorer's own enumeration, kCpuIntensive = 1 read as CPU_INTENSIVE = 1."""
    body = re.search(r"enum Pattern\b[^{]*\{(.*?)\};", CORE.read_text(), re.S)
    assert body, "code_scoring_core.hpp has no enum Pattern"
    return {re.sub(r"(?<!^)(?=[A-Z])", "_", name).upper(): int(value)
            for name, value in re.findall(r"\bk(\w+)\s*=\s*(\d+)", body.group(1))}


@pytest.mark.skipif(not CORE.exists(), reason="needs the source tree")
def test_codes_the_classifier_returns_are_the_native_ones():
    native = native_codes()
    assert native == {p.name: p.value for p in WorkloadPattern if p not in REFINED_BY_CALLER.values()}


def test_fourteen_consecutive_codes_and_the_analysis_names():
    assert [p.value for p in WorkloadPattern] == list(range(14))
    assert analysis.PATTERN_NAMES == tuple(p.name for p in WorkloadPattern)
    # Each refinement sits right after the code it refines.
    assert all(fine == base + 1 for base, fine in REFINED_BY_CALLER.items())


# One trigger per family the classifier decides (everything else quiet), with the name it must get.
QUIET = dict(cpu_intensity=0.0, memory_intensity=0.0, parallelization_potential=0.0, gpu_suitability=0.0,
             gpu_operation_score=0.0, numpy_score=0.0, pandas_score=0.0, sklearn_score=0.0,
             sequential_count=0, embarrassing_count=0, cpu_threshold=0.5, memory_threshold=0.5,
             gpu_threshold=0.5, numpy_threshold=0.5, pandas_threshold=0.5, sklearn_threshold=0.5,
             gpu_available=False)


@pytest.mark.parametrize("trigger, name", [
    ({}, "MIXED"),
    ({"sklearn_score": 0.6}, "SKLEARN_TRAINING"),
    ({"pandas_score": 0.6}, "PANDAS_DATAFRAME"),
    ({"numpy_score": 0.6}, "NUMPY_VECTORIZED"),
    ({"gpu_available": True, "gpu_suitability": 0.6}, "GPU_SUITABLE"),
    ({"embarrassing_count": 1}, "PARALLEL_FRIENDLY"),
    ({"cpu_threshold": 0.2, "cpu_intensity": 0.3}, "CPU_INTENSIVE"),
    ({"sequential_count": 3}, "SEQUENTIAL"),
])
def test_native_result_reads_as_the_named_pattern(trigger, name):
    code = cs.determine_workload_pattern(**(QUIET | trigger))
    assert type(code) is int                     # the native function keeps returning a plain int
    assert WorkloadPattern(code).name == name and WorkloadPattern[name] == code


@pytest.mark.parametrize("text, name", [
    ("cpu-intensive", "CPU_INTENSIVE"), (" Numpy_Linalg ", "NUMPY_LINALG"), ("no-code", report.NO_CODE),
])
def test_command_line_pattern_names(text, name):
    assert cli._patterns(text) == [name]


def test_command_line_lists_every_pattern_on_an_unknown_name():
    import argparse

    with pytest.raises(argparse.ArgumentTypeError) as err:
        cli._patterns("GPU")
    assert all(p.name in str(err.value) for p in WorkloadPattern) and report.NO_CODE in str(err.value)


def test_the_guide_lists_every_code():
    readme = (ROOT / "README.md").read_text()
    listed = {name: int(code) for code, name in re.findall(r"\| (\d+) \| `([A-Z_]+)`", readme)}
    assert listed == {p.name: p.value for p in WorkloadPattern}
