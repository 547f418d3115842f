"""A small mixed workload that `python -m velkora` analyses to show what the analysis reports.

velkora never imports or runs this file; its functions only need to look like real code.
"""

import threading
from typing import Any

# The data these functions take are frames, arrays and models of libraries that need not be installed:
# Any is their honest type here.
_results: list[object] = []
_results_lock = threading.Lock()


def train_classifier(features: Any, labels: Any) -> tuple[Any, float]:
    from sklearn.ensemble import RandomForestClassifier
    from sklearn.model_selection import train_test_split

    x_train, x_test, y_train, y_test = train_test_split(features, labels)
    model = RandomForestClassifier().fit(x_train, y_train)
    return model.predict(x_test), model.score(x_test, y_test)


def revenue_by_region(df: Any) -> Any:
    import pandas as pd

    totals = df.groupby("region").agg({"revenue": "sum"})
    return pd.merge(totals, df, on="region").sort_values("revenue")


def clean_orders(orders: Any) -> Any:
    import pandas as pd

    orders = orders.dropna(subset=["customer"]).rename(columns={"amt": "amount"})
    orders["day"] = pd.to_datetime(orders["timestamp"]).dt.date
    return orders.drop_duplicates().reset_index(drop=True)


def score_holdout(model: Any, features: Any, labels: Any) -> tuple[float, Any]:
    from sklearn.metrics import accuracy_score

    return accuracy_score(labels, model.predict(features)), model.predict_proba(features)


def least_squares(design: Any, target: Any, ridge: float) -> tuple[Any, float]:
    import numpy as np

    gram = design.T @ design + ridge * np.eye(design.shape[1])
    return np.linalg.solve(gram, design.T @ target), np.linalg.cond(gram)


def standardize(matrix: Any) -> Any:
    import numpy as np

    arr = np.asarray(matrix).reshape(-1, matrix.shape[-1])
    centered = arr - arr.mean(axis=0)
    scaled = centered / arr.std(axis=0)
    return np.concatenate([scaled, np.dot(scaled, scaled.T)]).transpose()


def count_primes(limit: int) -> int:
    """Compute the sum of the primes below limit."""
    import math

    total = 0
    for n in range(2, limit):
        if all(n % k for k in range(2, math.isqrt(n) + 1)):
            total += n
    return total


def escape_time(width: int, height: int, max_iter: int) -> list[int]:
    """Iterations before each point of a grid leaves the Mandelbrot set."""
    counts = []
    for py in range(height):
        for px in range(width):
            x0 = px / width * 3.5 - 2.5
            y0 = py / height * 2.0 - 1.0
            x = y = 0.0
            n = 0
            while x * x + y * y < 4.0 and n < max_iter:
                x, y = x * x - y * y + x0, 2 * x * y + y0
                n += 1
            counts.append(n)
    return counts


def build_index(records: Any) -> tuple[dict[Any, list[Any]], list[Any]]:
    cache: dict[Any, list[Any]] = {}
    for rec in records:
        cache.setdefault(rec.key, []).append(rec)
    return dict(cache), list(cache)


def render_thumbnails(images: Any, worker_pool: Any) -> Any:
    batches = [images[i:i + 64] for i in range(0, len(images), 64)]
    return worker_pool.map(render_batch, batches)


def render_batch(batch: Any) -> list[Any]:
    return [image.thumbnail() for image in batch]


def record_result(value: object) -> int:
    """Keep results in arrival order: callers rely on the ordered log."""
    global _results
    with _results_lock:
        _results = _results + [value]
    return len(_results)


def describe(name: str) -> str:
    return "hello " + name


def simulate_wave(field: Any, kernel: Any, steps: int, dt: float) -> Any:
    """Advance a large 1024 x 1024 wave field (about 8 MB a frame) on the device."""
    import cupy as cp

    u = cp.zeros(field.shape) + cp.ones(field.shape) * field
    for _ in range(steps):
        lap = cp.convolve(u, kernel) - 4.0 * u
        u = u + dt ** 2 * lap - cp.exp(-u) / cp.sqrt(cp.power(u, 2) + 1.0)
        u = cp.add(cp.multiply(cp.sin(u), cp.cos(u)), cp.subtract(u, cp.log(cp.full(u.shape, 2.0))))
    return cp.divide(u, cp.empty(u.shape).fill(steps))
