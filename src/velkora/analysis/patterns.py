"""The fourteen workload pattern codes by name.

`velkora.plugins.analyzer.code_scoring.determine_workload_pattern` returns a plain `int`; wrap it to
read it: ``WorkloadPattern(code).name``. The classifier itself returns ten of the codes;
NUMPY_LINALG, PANDAS_GROUPBY and SKLEARN_INFERENCE refine NUMPY_VECTORIZED, PANDAS_DATAFRAME and
SKLEARN_TRAINING, and are given by its caller (`velkora analyze` gives them).
"""

from __future__ import annotations

from enum import IntEnum

__all__ = ["WorkloadPattern", "REFINED_BY_CALLER"]


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
