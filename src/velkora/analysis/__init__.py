"""Static workload analysis of Python source: every function and method of a file, scored and labelled.

    from velkora.analysis import analyze_source
    reports = analyze_source(text, "app.py", gpu_available=False, compute_capability=None)

`classify` turns a function's measured facts into the native scorer's words and a pattern; `units` finds a
file's functions, `evidence` measures each on the syntax tree, `calls` says what a call is, by the word sets of
`vocabulary`; `patterns` names the codes and the report's labels. `sources`, `gitignore` and `notebooks` choose
and read the files: which ones a walk takes in, how their bytes become source text, the code cells of a notebook.
"""

from velkora.analysis.classify import DEFAULT_THRESHOLDS, FunctionReport, analyze_source, detect_gpu
from velkora.analysis.patterns import NO_CODE, WorkloadPattern

__all__ = ["DEFAULT_THRESHOLDS", "NO_CODE", "FunctionReport", "WorkloadPattern", "analyze_source", "detect_gpu"]
