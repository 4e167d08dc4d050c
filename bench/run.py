"""Times each vantorix_core function against the NumPy/SciPy/pandas code a user would write.

    python bench/run.py [--quick] [--json FILE] [--only TEXT ...]

Each case runs ours and its baselines in turn (A B A B ...) in the same process, checks that
they agree, and reports medians: time per call, ns per element, the ratio baseline/ours, and
the peak memory one call allocates through NumPy (tracemalloc; working tables that the
kernels take from the C allocator are not included).
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


def case(name, elements, calls=1):
    """Registers a setup(n, rng) -> (ours, [(baseline name, baseline, agree or None), ...]).
    `calls` > 1 marks a loop of that many calls, timed as one and reported per call."""

    def register(setup):
        CASES.append((name, elements, calls, setup))
        return setup

    return register


def z_flags_numpy(x, t):
    return (np.abs((x - x.mean()) / x.std()) > t).astype(np.int32)


def summary_numpy(a):
    return {
        "mean": a.mean(axis=0),
        "std": a.std(axis=0),
        "min": a.min(axis=0),
        "max": a.max(axis=0),
    }


def summary_agrees(ours, base):
    # NumPy sums pairwise and computes the variance in two passes; we add in row order and
    # take the mean of squares minus the squared mean: equal up to rounding, not bit for bit.
    return all(np.allclose(ours[k], base[k], rtol=1e-9, atol=1e-12) for k in ours)


def rare_flags_numpy(codes, k, threshold):
    valid = (codes >= 0) & (codes < k)
    counts = np.bincount(codes[valid], minlength=k)
    out = np.ones(codes.size, dtype=np.int32)
    out[valid] = counts[codes[valid]] < codes.size * threshold
    return out


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


def close(ours, base):
    return abs(ours - base) < 1e-9


def have(*modules):
    try:
        for module in modules:
            __import__(module)
    except ImportError:
        return False
    return True


def summary_case(order):
    def setup(n, rng):
        a = np.asarray(rng.normal(size=(n // 16, 16)), order=order)
        return lambda: vc.calculate_summary_stats(a), [
            ("numpy mean/std/min/max", lambda: summary_numpy(a), summary_agrees),
            ("a.sum() (one read)", lambda: a.sum(), None),
        ]

    return setup


case("summary_stats 1e6x16 C", 16_000_000)(summary_case("C"))
case("summary_stats 1e6x16 F", 16_000_000)(summary_case("F"))


@case("continuous_outliers 1e7", 10_000_000)
def _(n, rng):
    x = rng.normal(size=n)
    x[::1000] *= 10
    return lambda: vc.detect_continuous_outliers(x, 3.0), [
        ("numpy expression", lambda: z_flags_numpy(x, 3.0), np.array_equal),
    ]


@case("categorical_outliers 1e7, k=1000", 10_000_000)
def _(n, rng):
    codes = np.minimum(rng.zipf(1.3, size=n) - 1, 1100).astype(np.int32)  # skewed, some >= k
    return lambda: vc.detect_categorical_outliers(codes, 1000, 0.001), [
        ("numpy bincount + lookup", lambda: rare_flags_numpy(codes, 1000, 0.001), np.array_equal),
    ]


@case("cramers_v 1e7 pairs, 20x30", 10_000_000)
def _(n, rng):
    x = rng.integers(0, 20, size=n, dtype=np.int32)
    y = ((x * 3 + rng.integers(0, 10, size=n)) % 30).astype(np.int32)
    baselines = [("numpy bincount + chi2", lambda: cramers_v_numpy(x, y, 20, 30), close)]
    if have("pandas", "scipy"):
        baselines.append(("pandas.crosstab + scipy", lambda: cramers_v_pandas(x, y), close))
    return lambda: vc.calculate_cramers_v(x, y, 20, 30), baselines


def per_call(ours, base):
    def loop(fn):
        def run():
            for _ in range(1000):
                fn()

        return run

    return loop(ours), [("numpy, same 16 elements", loop(base), None)]


@case("per call, 16: summary_stats", 16, calls=1000)
def _(n, rng):
    a = rng.normal(size=(4, 4))
    return per_call(lambda: vc.calculate_summary_stats(a), lambda: summary_numpy(a))


@case("per call, 16: continuous_outliers", 16, calls=1000)
def _(n, rng):
    x = rng.normal(size=16)
    return per_call(lambda: vc.detect_continuous_outliers(x, 1.0), lambda: z_flags_numpy(x, 1.0))


@case("per call, 16: categorical_outliers", 16, calls=1000)
def _(n, rng):
    c = rng.integers(0, 4, size=16, dtype=np.int32)
    return per_call(
        lambda: vc.detect_categorical_outliers(c, 4, 0.1), lambda: rare_flags_numpy(c, 4, 0.1)
    )


@case("per call, 16: cramers_v", 16, calls=1000)
def _(n, rng):
    x, y = (rng.integers(0, 4, size=16, dtype=np.int32) for _ in range(2))
    return per_call(lambda: vc.calculate_cramers_v(x, y, 4, 4), lambda: cramers_v_numpy(x, y, 4, 4))


def peak_bytes(fn):
    tracemalloc.start()
    try:
        fn()
        return tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()


def seconds(fn):
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def run_case(name, elements, calls, setup, scale, repeats, rng):
    n = elements if calls > 1 else max(16, int(elements * scale))
    ours, baselines = setup(n, rng)
    result = ours()
    for base_name, base, agree in baselines:
        if agree is not None and not agree(result, base()):
            raise AssertionError(f"{name}: results differ from {base_name}")
    functions = [ours] + [base for _, base, _ in baselines]
    times = [[] for _ in functions]
    for _ in range(repeats):
        for t, fn in zip(times, functions):
            t.append(seconds(fn) / calls)
    ours_s = statistics.median(times[0])
    ours_peak = peak_bytes(ours) / calls
    return [
        {
            "case": name,
            "elements": n,
            "baseline": base_name,
            "ours_ms": ours_s * 1e3,
            "baseline_ms": statistics.median(t) * 1e3,
            "ours_ns_per_element": ours_s * 1e9 / n,
            "baseline_ns_per_element": statistics.median(t) * 1e9 / n,
            "ratio": statistics.median(t) / ours_s,
            "ours_peak_mb": ours_peak / 2**20,
            "baseline_peak_mb": peak_bytes(base) / calls / 2**20,
        }
        for (base_name, base, _), t in zip(baselines, times[1:])
    ]


def machine():
    model = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as f:
            model = next(
                line.split(":", 1)[1].strip() for line in f if line.startswith("model name")
            )
    except (OSError, StopIteration):
        pass
    return {"cpu": model, "python": platform.python_version(), "numpy": np.__version__}


def show_time(ms):
    return f"{ms:8.2f} ms" if ms >= 0.1 else f"{ms * 1e3:8.2f} us"


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument(
        "--quick", action="store_true", help="inputs a tenth the size, fewer repeats"
    )
    parser.add_argument("--json", metavar="FILE", help="also write the results as JSON")
    parser.add_argument("--only", nargs="+", default=[], help="cases whose name contains TEXT")
    args = parser.parse_args(argv)
    scale, repeats = (0.1, 5) if args.quick else (1.0, 15)
    info = machine()
    print(f"{info['cpu']} | Python {info['python']} | NumPy {info['numpy']} | medians of {repeats}")
    print(
        f"{'case':36} {'ours':>11} {'ns/elem':>8}  {'baseline':26} {'time':>11} {'ns/elem':>8} "
        f"{'ratio':>7} {'MB ours':>8} {'MB base':>8}"
    )
    rows = []
    for name, elements, calls, setup in CASES:
        if args.only and not any(text in name for text in args.only):
            continue
        for row in run_case(name, elements, calls, setup, scale, repeats, np.random.default_rng(0)):
            rows.append(row)
            print(
                f"{name:36} {show_time(row['ours_ms'])} {row['ours_ns_per_element']:8.3f}  "
                f"{row['baseline']:26} {show_time(row['baseline_ms'])} "
                f"{row['baseline_ns_per_element']:8.3f} {row['ratio']:6.1f}x "
                f"{row['ours_peak_mb']:8.1f} {row['baseline_peak_mb']:8.1f}",
                flush=True,
            )
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"machine": info, "quick": args.quick, "results": rows}, f, indent=2)
    return 0


if __name__ == "__main__":
    sys.exit(main())
