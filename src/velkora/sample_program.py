"""A small numeric program that `python -m velkora` runs, plain and accelerated, to show what velkora
measures and does: two hot kernels (numbers in loops), cold helpers, and items processed independently.

Run it yourself: `python -m velkora run -m velkora.sample_program` (add --accelerate, or --compare).
"""

import sys

import numpy as np


def make_items(count: int, size: int, seed: int) -> list[np.ndarray]:
    """Cold helper: the input, one array per item."""
    rng = np.random.default_rng(seed)
    return [rng.random(size) for _ in range(count)]


def pair_energy(xs: np.ndarray) -> float:
    """Hot kernel: a soft interaction summed over every pair of points."""
    n = xs.shape[0]
    energy = 0.0
    for i in range(n):
        for j in range(i + 1, n):
            d = xs[i] - xs[j]
            energy += 1.0 / (1.0 + d * d)
    return energy


def running_peak(xs: np.ndarray) -> float:
    """Hot kernel with a loop-carried state: the sum of the running maximum."""
    peak = 0.0
    total = 0.0
    for i in range(xs.shape[0]):
        if xs[i] > peak:
            peak = xs[i]
        total += peak
    return total


def process(item: np.ndarray) -> tuple[float, float]:
    """One item's work; items do not depend on each other."""
    return pair_energy(item), running_peak(item)


def describe(results: list[tuple[float, float]]) -> str:
    """Cold helper: the summary line printed."""
    energy = sum(r[0] for r in results)
    peak = sum(r[1] for r in results)
    return f"{len(results)} items: energy {energy:.6f}, peaks {peak:.6f}"


def main(argv: list[str]) -> int:
    count = int(argv[1]) if len(argv) > 1 else 400
    items = make_items(count, 200, seed=7)
    results = [process(item) for item in items]
    print(describe(results))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
