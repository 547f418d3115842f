"""The fourteen workload pattern codes by name, and the labels a report gives functions.

`velkora.plugins.analyzer.code_scoring.determine_workload_pattern` returns a plain `int`; wrap it to
read it: ``WorkloadPattern(code).name``. The classifier itself returns ten of the codes;
NUMPY_LINALG, PANDAS_GROUPBY and SKLEARN_INFERENCE refine NUMPY_VECTORIZED, PANDAS_DATAFRAME and
SKLEARN_TRAINING, and are given by its caller (`velkora analyze` gives them).

A report labels each function with a code's name or NO_CODE (nothing to run, never classified); the
order reports list the labels in, and the ones that name nothing to accelerate, are kept here too, so that
every rendering agrees.
"""

from __future__ import annotations

from enum import IntEnum

__all__ = ["WorkloadPattern", "REFINED_BY_CALLER", "NAMES", "NO_CODE", "LABELS", "DISPLAY_ORDER",
           "NOT_CANDIDATES", "parse_label", "display"]


class WorkloadPattern(IntEnum):
    """A workload pattern code of the scorer; compares equal to the plain `int`."""

    MIXED = 0
    CPU_INTENSIVE = 1
    MEMORY_INTENSIVE = 2
    PARALLEL_FRIENDLY = 3
    SEQUENTIAL = 4
    GPU_SUITABLE = 5
    GPU_COMPUTE_INTENSIVE = 6
    GPU_MEMORY_BOUND = 7
    NUMPY_VECTORIZED = 8
    NUMPY_LINALG = 9
    PANDAS_DATAFRAME = 10
    PANDAS_GROUPBY = 11
    SKLEARN_TRAINING = 12
    SKLEARN_INFERENCE = 13

    @classmethod
    def parse(cls, text: str) -> WorkloadPattern:
        """A pattern by name, in any case, with `-` or `_` between words; KeyError when unknown."""
        return cls[text.strip().upper().replace("-", "_")]


# The codes the classifier leaves to its caller, by the code it returns in their place.
REFINED_BY_CALLER: dict[WorkloadPattern, WorkloadPattern] = {
    WorkloadPattern.NUMPY_VECTORIZED: WorkloadPattern.NUMPY_LINALG,
    WorkloadPattern.PANDAS_DATAFRAME: WorkloadPattern.PANDAS_GROUPBY,
    WorkloadPattern.SKLEARN_TRAINING: WorkloadPattern.SKLEARN_INFERENCE,
}


# The names by code.
NAMES = tuple(p.name for p in WorkloadPattern)
# The label of a function with nothing to run: not a scorer code (its `pattern_code` is None).
NO_CODE = "NO_CODE"
# Every label a report can give, in code order, NO_CODE last.
LABELS = (*NAMES, NO_CODE)
# The order in which pages list labels of equal weight: framework work first, then the GPU, parallel, CPU and
# memory patterns, and last the ones with nothing to accelerate.
DISPLAY_ORDER = (
    "SKLEARN_TRAINING", "SKLEARN_INFERENCE", "PANDAS_DATAFRAME", "PANDAS_GROUPBY", "NUMPY_VECTORIZED",
    "NUMPY_LINALG", "GPU_COMPUTE_INTENSIVE", "GPU_MEMORY_BOUND", "GPU_SUITABLE", "PARALLEL_FRIENDLY",
    "CPU_INTENSIVE", "MEMORY_INTENSIVE", "SEQUENTIAL", "MIXED", NO_CODE,
)
# Labels that name nothing to accelerate: never top candidates.
NOT_CANDIDATES = frozenset({"MIXED", "SEQUENTIAL", NO_CODE})


def parse_label(text: str) -> str:
    """A label by name, in any case, with `-` or `_` between words (`gpu-suitable`, `no_code`); KeyError
    when it is none of LABELS."""
    name = text.strip().upper().replace("-", "_")
    if name == NO_CODE:
        return name
    return WorkloadPattern[name].name


def display(label: str) -> str:
    """A label as tables print it: the name, `no code` for NO_CODE."""
    return "no code" if label == NO_CODE else label
