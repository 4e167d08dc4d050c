"""The four computations a profile is made of: vantorix_core's, and what a NumPy/pandas user
would write instead, to time and check them against."""

from __future__ import annotations

import threading
import time
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any, ParamSpec, TypeVar

import numpy as np
from numpy.typing import NDArray

import vantorix_core as vc

from .encoding import Codes, Data

Floats = NDArray[np.float64]
Flags = NDArray[np.int32]
Stats = dict[str, Floats]
P = ParamSpec("P")
T = TypeVar("T")


@dataclass(frozen=True)
class Kernels:
    """The four computations; the profile runs once with each set."""

    name: str
    summary: Callable[[Data], Stats]
    z_flags: Callable[[Data, float], Flags]
    rare_flags: Callable[[Codes, int, float], Flags]
    cramers_v: Callable[[Codes, Codes, int, int], float]


VANTORIX = Kernels(
    "vantorix_core",
    vc.calculate_summary_stats,
    vc.detect_continuous_outliers,
    vc.detect_categorical_outliers,
    vc.calculate_cramers_v,
)


def summary_numpy(matrix: Data) -> Stats:
    # In double precision whatever the column's type, as vantorix_core adds.
    return {
        "mean": matrix.mean(axis=0, dtype=np.float64),
        "std": matrix.std(axis=0, dtype=np.float64),
        "min": matrix.min(axis=0).astype(np.float64),
        "max": matrix.max(axis=0).astype(np.float64),
    }


def z_flags_numpy(data: Data, threshold: float) -> Flags:
    x = data.astype(np.float64, copy=False)
    flags: Flags = (np.abs((x - x.mean()) / x.std()) > threshold).astype(np.int32)
    return flags


def rare_flags_pandas(codes: Codes, n_categories: int, threshold: float) -> Flags:
    import pandas as pd

    series = pd.Series(codes)
    counts = series.value_counts()
    rare = counts.index[counts < codes.size * threshold]
    out_of_range = (codes < 0) | (codes >= n_categories)
    return (out_of_range | series.isin(rare).to_numpy()).astype(np.int32)


def cramers_v_numpy(x: Codes, y: Codes, kx: int, ky: int) -> float:
    # The profile hands over complete pairs only, so every code is in range here.
    cells = x.astype(np.int64) * ky + y
    table = np.bincount(cells, minlength=kx * ky).reshape(kx, ky)
    expected = np.outer(table.sum(axis=1), table.sum(axis=0)) / x.size
    used = expected > 0
    chi2 = float((((table - expected) ** 2)[used] / expected[used]).sum())
    return float(np.sqrt(chi2 / ((min(kx, ky) - 1) * x.size))) if min(kx, ky) > 1 else 0.0


def cramers_v_pandas(x: Codes, y: Codes, kx: int, ky: int) -> float:
    import pandas as pd
    from scipy.stats.contingency import association

    table = pd.crosstab(x, y).to_numpy()
    return float(association(table, method="cramer")) if min(table.shape) > 1 else 0.0


def baseline_kernels() -> Kernels:
    """What a NumPy/pandas user would write; pd.crosstab and SciPy's association when SciPy
    is installed (the demo extra installs it)."""
    try:
        import scipy.stats.contingency  # noqa: F401

        name, cramers_v = "pandas + SciPy", cramers_v_pandas
    except ImportError:
        name, cramers_v = "NumPy/pandas", cramers_v_numpy
    return Kernels(name, summary_numpy, z_flags_numpy, rare_flags_pandas, cramers_v)


class Clock:
    """Seconds spent in the calls of timed kernels, added up across threads, and the calls
    made, to be made again on a few rows."""

    def __init__(self, keep_calls: bool = True) -> None:
        # The calls hold their arrays: a profile that reads a column at a time keeps none.
        self.keep_calls = keep_calls
        self.seconds = 0.0
        self.calls: list[tuple[Callable[..., Any], tuple[Any, ...]]] = []
        self._lock = threading.Lock()

    def add(self, seconds: float, fn: Callable[..., Any], args: tuple[Any, ...]) -> None:
        with self._lock:
            self.seconds += seconds
            if self.keep_calls:
                self.calls.append((fn, args))

    def reset(self) -> None:
        self.seconds, self.calls = 0.0, []


# Of a wide table's many calls, this many spread over them stand for all.
SAMPLED_CALLS = 100


def per_call_seconds(calls: list[tuple[Callable[..., Any], tuple[Any, ...]]], rows: int) -> float:
    """The time of the same calls with every array cut to its first rows: what the calls cost
    whatever the work."""
    sample = calls[:: max(1, len(calls) // SAMPLED_CALLS)]
    start = time.perf_counter()
    for fn, args in sample:
        fn(*(a[:rows] if isinstance(a, np.ndarray) else a for a in args))
    return (time.perf_counter() - start) * len(calls) / max(1, len(sample))


def timed(kernels: Kernels, clock: Clock) -> Kernels:
    """The same kernels, each call adding the time it took to the clock."""

    def wrap(fn: Callable[P, T]) -> Callable[P, T]:
        def call(*args: P.args, **kwargs: P.kwargs) -> T:
            start = time.perf_counter()
            try:
                return fn(*args, **kwargs)
            finally:
                clock.add(time.perf_counter() - start, fn, args)

        return call

    return Kernels(
        kernels.name,
        wrap(kernels.summary),
        wrap(kernels.z_flags),
        wrap(kernels.rare_flags),
        wrap(kernels.cramers_v),
    )
