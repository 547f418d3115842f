from benchlib import FLOOR2, Baseline, Case

# A function's source, repeated and cut to the sizes the analyzer typically sees.
SOURCE = '''
from velkora.plugins.analyzer import code_scoring as cs
FUNC = """
def process_batch(records, weights, threshold=0.5):
    \\"\\"\\"Scores each record against the weights and keeps the ones above the threshold.\\"\\"\\"
    results = []
    total = 0.0
    for index, record in enumerate(records):
        if not record:
            continue
        score = 0.0
        for key, value in record.items():
            weight = weights.get(key, 1.0)
            score += value * weight / (1 + abs(value))
        if score > threshold:
            results.append((index, score))
            total += score
    mean = total / len(results) if results else 0.0
    spread = [abs(s - mean) for _, s in results]
    return {"kept": results, "mean": mean, "spread": max(spread, default=0.0)}
"""
text = (FUNC * 200)[:SIZE]
'''


def source(size):
    return SOURCE.replace("SIZE", str(size))


PY_SCORE_INDICATORS = '''
LISTS = [
    ["for", "while", "range", "numpy", "scipy", "math", "calculation", "compute", "algorithm",
     "sum", "prod", "dot", "matmul", "fft", "linalg"],
    ["array", "list", "dict", "pandas", "dataframe", "allocate", "buffer", "cache", "append",
     "extend"],
    ["multiprocessing", "threading", "concurrent", "async", "parallel", "pool", "worker", "chunk",
     "batch", "processpoolexecutor", "threadpoolexecutor"],
    ["matmul", "dot", "tensordot", "@", "fft", "ifft", "rfft", "convolve", "correlate", "sum",
     "mean", "std", "var", "sin", "cos", "exp", "log", "sqrt", "power", "**", "add", "subtract",
     "multiply", "divide", "/", "*", "+", "-", "linalg", "linear_algebra", "array", "asarray",
     "zeros", "ones", "empty", "full"],
    ["reshape", "resize", "huge", "large", "gigabyte", "gb", "million", "billion", "1e6", "1e9",
     "1024", "megabyte", "mb"],
    ["workload", "benchmark", "intensive", "chunk_workload", "map", "apply", "vectorize",
     "broadcast"],
    ["global", "nonlocal", "lock", "mutex", "synchronized", "sequential", "ordered",
     "dependencies"],
]
def py_score_indicators(code, function_name):
    code_lower = code.lower()
    func_lower = function_name.lower() if function_name else ""
    scores = []
    for i, words in enumerate(LISTS):
        by_name = i == 3 or i == 5
        n = 0
        for w in words:
            if w in code_lower or (by_name and w in func_lower):
                n += 1
        scores.append(n)
    return tuple(scores)
'''

PY_WORKLOAD = '''
def py_pattern(cpu_intensity, memory_intensity, parallelization_potential, gpu_suitability,
               gpu_operation_score, numpy_score, pandas_score, sklearn_score, sequential_count,
               embarrassing_count, cpu_threshold, memory_threshold, gpu_threshold, numpy_threshold,
               pandas_threshold, sklearn_threshold, gpu_available):
    if sklearn_score > sklearn_threshold:
        return 12
    if pandas_score > pandas_threshold:
        return 10
    if numpy_score > numpy_threshold:
        return 8
    if gpu_available and gpu_suitability > gpu_threshold:
        if gpu_operation_score > 0.7 and cpu_intensity > 0.6:
            return 6
        if memory_intensity > 0.5:
            return 7
        return 5
    if embarrassing_count > 0 or parallelization_potential > 0.6:
        return 3
    if cpu_intensity > cpu_threshold:
        return 1
    if memory_intensity > memory_threshold:
        return 2
    if sequential_count > 2:
        return 4
    return 0
'''
# Falls through every rule: the longest path.
WORKLOAD_ARGS = "(0.3, 0.3, 0.3, 0.3, 0.3, 0.1, 0.1, 0.1, 3, 0, 0.5, 0.5, 0.5, 0.5, 0.5, 0.5, True)"

PY_FRAMEWORKS = '''
FW = [
    "numpy np. ndarray array matrix vectorize broadcast ufunc dot matmul linalg fft sum mean std "
    "var min max argmax argmin reshape transpose concatenate stack split".split(),
    "pandas pd. dataframe series groupby apply agg transform merge join concat pivot melt query "
    "eval rolling resample sort_values".split(),
    "sklearn fit predict transform score cross_val gridsearchcv randomizedsearchcv pipeline "
    "featureunion train_test_split classification regression clustering preprocessing "
    "model_selection metrics ensemble".split(),
]
def py_frameworks(code):
    code_lower = code.lower()
    n = [sum(1 for w in words if w in code_lower) for words in FW]
    return (min(max(n[0] * 0.04, 0.0), 1.0), min(max(n[1] * (1 / 18), 0.0), 1.0),
            min(max(n[2] * (1 / 18), 0.0), 1.0))
'''

CASES = [
    Case("score_indicators, 2 KB source", "cs.score_indicators(text, 'process_batch')",
         source(2048),
         Baseline("pure Python, 2 KB", "py_score_indicators(text, 'process_batch')",
                  source(2048) + PY_SCORE_INDICATORS),
         min_speedup=4.0, number=5_000),
    Case("score_indicators, 20 KB source", "cs.score_indicators(text, 'process_batch')",
         source(20480),
         Baseline("pure Python, 20 KB", "py_score_indicators(text, 'process_batch')",
                  source(20480) + PY_SCORE_INDICATORS),
         min_speedup=4.0, number=500),
    Case("score_framework_patterns, 2 KB source", "cs.score_framework_patterns(text)",
         source(2048),
         Baseline("pure Python, 2 KB", "py_frameworks(text)", source(2048) + PY_FRAMEWORKS),
         min_speedup=4.0, number=5_000),
    Case("quick_framework_score, 2 KB source", "cs.quick_framework_score(text, 'numpy')",
         source(2048),
         Baseline("len(pattern.findall(code))", "len(pattern.findall(text))",
                  source(2048) + "import re\npattern = re.compile(r'\\b(numpy|np\\.|ndarray|"
                  "array|vectorize|matmul|linalg)\\b', re.IGNORECASE)"),
         max_ratio=1.2, number=5_000),
    Case("determine_workload_pattern, 17 args", f"cs.determine_workload_pattern{WORKLOAD_ARGS}",
         source(0),
         Baseline("pure-Python equivalent", f"py_pattern{WORKLOAD_ARGS}", PY_WORKLOAD),
         min_speedup=5.0),
    Case("normalize_scores(5 counts)", "cs.normalize_scores(3, 3, 5, 7, 7)", source(0), FLOOR2,
         max_ratio=2.0),
    Case("calculate_gpu_suitability(.., '8.6')",
         "cs.calculate_gpu_suitability(0.5, 0.5, 0.2, True, '8.6')", source(0), FLOOR2,
         max_ratio=2.0),
    Case("estimate_gpu_speedup(3 args)", "cs.estimate_gpu_speedup(0.9, 1.0, True)", source(0),
         FLOOR2, max_ratio=2.0),
    Case("calculate_parallelization_potential(4 args)",
         "cs.calculate_parallelization_potential(0.5, 1.0, 0.5, 0.5)", source(0), FLOOR2,
         max_ratio=2.0),
    Case("update_adaptive_threshold(5 args)",
         "cs.update_adaptive_threshold(0.5, 0.9, 0.05, 0.1, 0.9)", source(0), FLOOR2,
         max_ratio=2.0),
]
