"""Static workload analysis of Python source: every function and method of a file, scored and labelled.

    from velkora.analysis import analyze_source
    reports = analyze_source(text, "app.py", gpu_available=False, compute_capability=None)

`classify` turns a function's measured facts into the native scorer's words and a pattern; `evidence` measures
them on the syntax tree; `patterns` names the codes. `sources`, `gitignore` and `notebooks` choose and read the
files: which ones a walk takes in, how their bytes become source text, the code cells of a notebook.
"""

from velkora.analysis.classify import (DEFAULT_THRESHOLDS, PATTERN_NAMES, FunctionReport, analyze_source,
                                       detect_gpu)
from velkora.analysis.patterns import WorkloadPattern

__all__ = ["DEFAULT_THRESHOLDS", "PATTERN_NAMES", "FunctionReport", "WorkloadPattern", "analyze_source",
           "detect_gpu"]
