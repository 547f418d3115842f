"""The words the analysis knows: modules, calls, methods and attributes that mark array, frame, estimator,
parallel and container work, by what they mean.

The walk (velkora.analysis.evidence) and the classification of calls (velkora.analysis.calls) read these
sets; they hold no logic. A word counts only where the file's imports make it a real use (see evidence).
"""

from __future__ import annotations

ARRAY_MODULES = frozenset({"numpy", "scipy", "cupy", "jax", "numba", "torch"})
DEVICE_MODULES = frozenset({"cupy", "jax", "torch"})     # their arrays already live on a GPU
PARALLEL_MODULES = frozenset({"multiprocessing", "concurrent", "joblib", "threading", "dask", "ray", "asyncio"})
# In these, only starting workers (threads, processes, tasks run together) is parallel work; a lock, a
# thread-local, an event, a module logger or cpu_count() is not.
THREAD_MODULES = frozenset({"threading", "multiprocessing", "asyncio", "concurrent"})
WORKER_STARTERS = frozenset({"Thread", "Timer", "Process", "Pool", "ThreadPool", "gather", "create_task",
                             "ensure_future", "wait", "as_completed", "TaskGroup", "to_thread",
                             "ProcessPoolExecutor", "ThreadPoolExecutor", "InterpreterPoolExecutor"})

# Calls of an array module that are linear algebra (the last component of the resolved name).
LINALG_CALLS = frozenset({
    "dot", "vdot", "matmul", "inner", "outer", "tensordot", "einsum", "kron", "inv", "pinv", "solve",
    "lstsq", "cholesky", "cho_factor", "cho_solve", "svd", "eig", "eigh", "eigvals", "eigvalsh", "qr",
    "lu", "lu_factor", "lu_solve", "det", "slogdet", "norm", "expm", "logm", "sqrtm", "matrix_power",
    "solve_triangular", "multi_dot", "trace", "cdist", "pdist",
})
# Calls that only make or reshape an array; they are array work but not computation.
ARRAY_MAKERS = frozenset({
    "array", "asarray", "asanyarray", "ascontiguousarray", "atleast_1d", "atleast_2d", "atleast_3d",
    "zeros", "ones", "empty", "full", "zeros_like", "ones_like", "empty_like", "full_like", "eye",
    "identity", "arange", "linspace", "copy", "shape", "ndim", "isscalar", "reshape", "squeeze",
    "expand_dims", "ravel", "flatten", "astype", "transpose",
})
# Methods that, in a file importing an array module, act on arrays.
ARRAY_METHODS = frozenset({
    "reshape", "ravel", "flatten", "astype", "dot", "sum", "mean", "std", "var", "min", "max", "argmin",
    "argmax", "cumsum", "cumprod", "prod", "transpose", "squeeze", "fill", "clip", "round", "all", "any",
    "nonzero", "item", "tolist", "conj", "trace", "diagonal", "searchsorted", "argsort",
})
ARRAY_ALLOC = frozenset({"zeros", "ones", "empty", "full", "array", "concatenate", "stack", "vstack",
                         "hstack", "tile", "repeat", "copy", "zeros_like", "ones_like", "empty_like"})

# Methods of data frames and series, counted in a file that imports pandas.
FRAME_METHODS = frozenset({
    "groupby", "agg", "aggregate", "merge", "join", "pivot", "pivot_table", "melt", "reindex",
    "set_index", "reset_index", "fillna", "dropna", "drop", "rename", "assign", "concat", "shift",
    "stack", "unstack", "to_frame", "value_counts", "isin", "query", "sort_values", "sort_index",
    "describe", "droplevel", "bfill", "ffill", "rolling", "resample", "expanding", "iterrows",
    "itertuples", "to_numpy", "nunique", "duplicated", "drop_duplicates", "get_dummies", "crosstab",
    "rename_axis", "explode", "applymap", "map", "apply", "astype", "squeeze", "insert", "cumsum",
})
# Attributes of data frames that mark frame work (`index` and `values` are too common elsewhere to count).
FRAME_ATTRS = frozenset({"loc", "iloc", "at", "iat", "columns", "dtypes", "cat", "str", "dt"})
GROUPING = frozenset({"groupby", "pivot_table", "resample", "crosstab", "rolling", "expanding"})
AGGREGATES = frozenset({"agg", "aggregate", "sum", "mean", "count", "size", "median", "min", "max",
                        "std", "var", "first", "last", "nunique", "quantile", "apply", "transform"})

# Estimator methods: which side of the fit/predict protocol a method is on.
FIT_NAMES = frozenset({"fit", "partial_fit", "fit_transform", "fit_predict", "fit_resample"})
INFER_NAMES = frozenset({"predict", "predict_proba", "predict_log_proba", "decision_function",
                         "transform", "inverse_transform", "score", "score_samples", "kneighbors"})
ESTIMATOR_BASE_SUFFIXES = ("Estimator", "Encoder", "Detector", "Sampler", "Transformer", "Classifier",
                           "Regressor", "Clusterer")
ESTIMATOR_MIXINS = ("Transformer", "Classifier", "Regressor", "Cluster", "Outlier", "Sampler",
                    "Density", "Estimator")

# Builtins and constructors that move or wrap data without computing on it.
PLUMBING = frozenset({
    "list", "tuple", "set", "frozenset", "dict", "iter", "next", "len", "zip", "enumerate", "range",
    "reversed", "sorted", "filter", "isinstance", "issubclass", "getattr", "setattr", "hasattr", "type",
    "str", "int", "float", "bool", "repr", "print", "super", "id", "vars", "callable", "object",
    "itemgetter", "attrgetter", "repeat", "islice", "chain", "tee", "count", "cycle", "deque",
    "from_iterable", "format", "join", "warn",
})
CONTAINER_CALLS = frozenset({"list", "tuple", "set", "frozenset", "dict", "sorted", "deque", "Counter",
                             "defaultdict", "OrderedDict", "bytearray"})
GROWTH_METHODS = frozenset({"append", "extend", "add", "update", "appendleft", "extendleft",
                            "setdefault", "insert"})
# Methods that change a container in place: the next iteration sees the change.
MUTATING_METHODS = frozenset({"pop", "popleft", "popitem", "remove", "discard", "clear", "rotate", "sort",
                              "reverse"})
COPY_CALLS = frozenset({"deepcopy", "copy"})
MAP_CALLS = frozenset({"map", "starmap", "imap", "imap_unordered", "map_async", "starmap_async"})
PARALLEL_CALLS = frozenset({"Parallel", "delayed", "ProcessPoolExecutor", "ThreadPoolExecutor", "Pool",
                            "prange", "submit"})

MATH_MODULES = frozenset({"math", "cmath", "operator"})
# Modules, besides MATH_MODULES and the array modules, whose functions compute a value from each item.
COSTLY_MODULES = frozenset({"random", "statistics", "hashlib", "zlib", "bisect", "heapq", "fractions",
                            "decimal"})
# Methods of strings: a loop making them works on text, which a numeric compiler does not speed up.
TEXT_METHODS = frozenset({"strip", "lstrip", "rstrip", "split", "rsplit", "splitlines", "join", "replace",
                          "startswith", "endswith", "find", "rfind", "encode", "decode", "lower", "upper",
                          "format", "translate", "partition", "rpartition", "isdigit", "isalpha", "isspace"})
# Calls that wait: on a clock, a pipe, a socket, a queue or another process. A loop making them spends its
# time waiting, which neither compiling, workers nor fewer containers shorten.
WAIT_CALLS = frozenset({"sleep", "wait", "wait_for", "poll", "select", "recv", "recv_bytes", "recvfrom",
                        "read", "readline", "readlines", "readinto", "send", "send_bytes", "sendall", "write",
                        "flush", "is_alive", "acquire", "put", "put_nowait", "get_nowait"})
# The modules whose wait() waits for tasks started together; multiprocessing's waits on pipes and sentinels.
TASK_WAITS = frozenset({"asyncio", "concurrent"})
# Methods that hand a function to workers (pools, executors, event loops), by the position of the function.
HAND_OFF_CALLS = {"submit": 0, "apply_async": 0, "run_in_executor": 1, "map": 0, "starmap": 0, "imap": 0,
                  "imap_unordered": 0, "map_async": 0, "starmap_async": 0}
# Constructors that run a function given as `target=` in a new thread or process.
TARGET_STARTERS = frozenset({"Thread", "Process", "Timer"})
# Calls that compute nothing: plumbing, container growth and construction, copies.
NOT_WORK = PLUMBING | GROWTH_METHODS | CONTAINER_CALLS | COPY_CALLS
# collections' containers, by the last component of their resolved name.
COLLECTION_TYPES = frozenset({"Counter", "defaultdict", "deque", "OrderedDict"})
# Calls whose result is small whatever they are given: the pieces of one string, a directory's entries,
# a subprocess's output, the attribute names of one object. Iterating over them walks a handful of items,
# not the caller's data.
SMALL_RESULTS = TEXT_METHODS | frozenset({"str", "repr", "listdir", "scandir", "iterdir", "glob", "iglob",
                                          "check_output", "getoutput", "communicate", "finditer", "findall",
                                          "dir", "vars"})
# Methods that read a whole file or stream into memory when called without a size.
WHOLE_READS = frozenset({"read", "readlines", "read_text", "read_bytes", "readall"})
# Methods that write or log what they are given: the arithmetic in their arguments lays out output.
OUTPUT_CALLS = frozenset({"write", "writelines", "debug", "info", "warning", "error", "critical", "exception",
                          "log", "announce"})
