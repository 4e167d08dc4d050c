"""Flags z-score outliers in a seeded synthetic column of a million rows.

    python examples/demo.py
"""

import time

import numpy as np

import vantorix_core as vc


def best_of_three(call):
    times = []
    for _ in range(3):
        start = time.perf_counter()
        result = call()
        times.append(time.perf_counter() - start)
    return result, min(times)


def main():
    rng = np.random.default_rng(42)
    rows = 1_000_000
    latency_ms = rng.lognormal(mean=3.0, sigma=0.25, size=rows)
    planted = rng.choice(rows, size=250, replace=False)
    latency_ms[planted] *= 8  # a quarter of a thousand slow requests

    threshold = 4.0
    flags, ours = best_of_three(lambda: vc.detect_continuous_outliers(latency_ms, threshold))
    expected, numpy_time = best_of_three(
        lambda: (np.abs((latency_ms - latency_ms.mean()) / latency_ms.std()) > threshold).astype(
            np.int32
        )
    )

    found = np.flatnonzero(flags)
    print(f"rows: {rows:,}   |z| > {threshold}")
    print(f"flagged: {found.size:,} rows, {np.isin(planted, found).sum()} of {planted.size} planted")
    print(f"vantorix_core: {ours * 1e3:7.2f} ms")
    print(f"numpy:         {numpy_time * 1e3:7.2f} ms   (same flags: {np.array_equal(flags, expected)})")


if __name__ == "__main__":
    main()
