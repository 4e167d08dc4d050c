"""Times each vantorix_core function against the NumPy/SciPy/pandas code a user would write.

    python bench/run.py [--quick] [--json FILE] [--only NAME ...]

Each case runs ours and the baseline alternately (A B A B ...), checks that they agree, and
reports medians: ms per call, ns per element, the ratio baseline/ours, and the peak memory
that one call allocates beyond its inputs (NumPy's allocations, seen through tracemalloc).
"""

import argparse
import json
import platform
import statistics
import sys
import time
import tracemalloc

import numpy as np

import vantorix_core as vc

CASES = []


def case(name, elements):
    def register(setup):
        CASES.append((name, elements, setup))
        return setup

    return register


def z_flags_numpy(x, t):
    return (np.abs((x - x.mean()) / x.std()) > t).astype(np.int32)


@case("detect_continuous_outliers, 1e7", 10_000_000)
def _(n, rng):
    x = rng.normal(size=n)
    x[::1000] *= 10
    return lambda: vc.detect_continuous_outliers(x, 3.0), [
        ("numpy expression", lambda: z_flags_numpy(x, 3.0), np.array_equal),
    ]


def summary_numpy(a):
    return {
        "mean": a.mean(axis=0),
        "std": a.std(axis=0),
        "min": a.min(axis=0),
        "max": a.max(axis=0),
    }


def summary_agrees(ours, base):
    # NumPy adds pairwise, we add in row order: equal up to rounding, not bit for bit.
    return all(np.allclose(ours[k], base[k], rtol=1e-9, atol=1e-12) for k in ours)


def summary_case(order):
    def setup(n, rng):
        a = np.asarray(rng.normal(size=(n // 16, 16)), order=order)
        return lambda: vc.calculate_summary_stats(a), [
            ("numpy mean/std/min/max", lambda: summary_numpy(a), summary_agrees),
            ("a.sum() (one read)", lambda: a.sum(), None),
        ]

    return setup


case("calculate_summary_stats, 1e6 x 16, C", 16_000_000)(summary_case("C"))
case("calculate_summary_stats, 1e6 x 16, F", 16_000_000)(summary_case("F"))


def cramers_v_numpy(x, y, kx, ky):
    valid = (x >= 0) & (x < kx) & (y >= 0) & (y < ky)
    table = np.bincount(x[valid] * ky + y[valid], minlength=kx * ky).reshape(kx, ky)
    n = x.size
    expected = np.outer(table.sum(axis=1), table.sum(axis=0)) / n
    cells = expected > 0
    chi2 = (((table - expected) ** 2)[cells] / expected[cells]).sum()
    return float(np.sqrt(chi2 / ((min(kx, ky) - 1) * n)))


def cramers_v_pandas(x, y):
    import pandas as pd
    from scipy.stats.contingency import association

    return association(pd.crosstab(x, y).to_numpy(), method="cramer")


@case("calculate_cramers_v, 1e7 pairs, 20 x 30", 10_000_000)
def _(n, rng):
    x = rng.integers(0, 20, size=n, dtype=np.int32)
    y = ((x * 3 + rng.integers(0, 10, size=n)) % 30).astype(np.int32)
    close = lambda ours, base: abs(ours - base) < 1e-9  # noqa: E731
    baselines = [("numpy bincount + chi2", lambda: cramers_v_numpy(x, y, 20, 30), close)]
    try:
        import pandas  # noqa: F401
        import scipy  # noqa: F401

        baselines.append(("pandas.crosstab + scipy", lambda: cramers_v_pandas(x, y), close))
    except ImportError:
        pass
    return lambda: vc.calculate_cramers_v(x, y, 20, 30), baselines


def rare_flags_numpy(codes, k, threshold):
    valid = (codes >= 0) & (codes < k)
    counts = np.bincount(codes[valid], minlength=k)
    rare = counts < codes.size * threshold
    out = np.ones(codes.size, dtype=np.int32)
    out[valid] = rare[codes[valid]]
    return out


@case("detect_categorical_outliers, 1e7, k=1000", 10_000_000)
def _(n, rng):
    codes = np.minimum(rng.zipf(1.3, size=n) - 1, 1100).astype(np.int32)  # skewed, some >= k
    return lambda: vc.detect_categorical_outliers(codes, 1000, 0.001), [
        ("numpy bincount + lookup", lambda: rare_flags_numpy(codes, 1000, 0.001), np.array_equal),
    ]


def peak_bytes(fn):
    tracemalloc.start()
    try:
        fn()
        return tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()


def measure(fn):
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def run_case(name, elements, setup, scale, repeats, rng):
    n = max(16, int(elements * scale))
    ours, baselines = setup(n, rng)
    result = ours()
    for base_name, base, agree in baselines:
        if agree is not None and not agree(result, base()):
            raise AssertionError(f"{name}: results differ from {base_name}")
    times = [[] for _ in range(1 + len(baselines))]
    for _ in range(repeats):
        for t, fn in zip(times, [ours] + [b[1] for b in baselines]):
            t.append(measure(fn))
    ours_s = statistics.median(times[0])
    ours_peak = peak_bytes(ours) / 2**20
    rows = []
    for (base_name, base, _), t in zip(baselines, times[1:]):
        base_s = statistics.median(t)
        rows.append(
            {
                "case": name,
                "elements": n,
                "baseline": base_name,
                "ours_ms": ours_s * 1e3,
                "baseline_ms": base_s * 1e3,
                "ours_ns_per_element": ours_s * 1e9 / n,
                "baseline_ns_per_element": base_s * 1e9 / n,
                "ratio": base_s / ours_s,
                "ours_peak_mb": ours_peak,
                "baseline_peak_mb": peak_bytes(base) / 2**20,
            }
        )
    return rows


def machine():
    model = platform.processor()
    try:
        with open("/proc/cpuinfo") as f:
            model = next(line.split(":", 1)[1].strip() for line in f if line.startswith("model name"))
    except (OSError, StopIteration):
        pass
    return {"cpu": model, "python": platform.python_version(), "numpy": np.__version__}


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="smaller inputs, fewer repeats")
    parser.add_argument("--json", metavar="FILE", help="also write the results as JSON")
    parser.add_argument("--only", nargs="*", default=[], help="run cases whose name contains this")
    args = parser.parse_args(argv)
    scale, repeats = (0.1, 5) if args.quick else (1.0, 15)
    rng = np.random.default_rng(0)
    info = machine()
    print(f"{info['cpu']} | Python {info['python']} | NumPy {info['numpy']}")
    header = f"{'case':42} {'ours ms':>9} {'ns/elem':>8} {'baseline':>28} {'ms':>9} {'ns/elem':>8} {'ratio':>7} {'peak MB':>8}"
    print(header)
    rows = []
    for name, elements, setup in CASES:
        if args.only and not any(part in name for part in args.only):
            continue
        for row in run_case(name, elements, setup, scale, repeats, rng):
            rows.append(row)
            print(
                f"{name:42} {row['ours_ms']:9.3f} {row['ours_ns_per_element']:8.3f} "
                f"{row['baseline']:>28} {row['baseline_ms']:9.3f} "
                f"{row['baseline_ns_per_element']:8.3f} {row['ratio']:6.1f}x {row['ours_peak_mb']:8.1f}",
                flush=True,
            )
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"machine": info, "quick": args.quick, "results": rows}, f, indent=2)
    return 0


if __name__ == "__main__":
    sys.exit(main())
