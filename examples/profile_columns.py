"""Profiles the columns of a table with vantorix_core and times the same profile in pandas/SciPy.

    python3 examples/profile_columns.py                  # a built-in table of a million rows
    python3 examples/profile_columns.py data.csv         # a CSV file of yours (separator sniffed)
    python3 examples/profile_columns.py --plot v.png     # also draw the Cramér's V matrix

Numeric columns get count, missing values, mean, std, min, max and z-score outliers; numeric
columns that count rows or hold dates are named as such instead. Categorical columns (text,
booleans, and any column named with --categorical) get their number of categories, missing
values and rare values, and every pair of them gets Cramér's V over the rows where both have a
value. A column with too many categories for its rows (an ID-like one among them) is named as
such and left out of the rare values and of Cramér's V.
"""

from __future__ import annotations

import argparse
import csv
import itertools
import math
import re
import statistics
import sys
import textwrap
import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, Any, ParamSpec, TypeVar

import numpy as np
import pandas as pd
from numpy.typing import NDArray

import vantorix_core as vc

if TYPE_CHECKING:
    from matplotlib.figure import Figure

Floats = NDArray[np.float64]
Data = NDArray[np.floating[Any]]  # a numeric column as the frame holds it: float16, 32 or 64
Codes = NDArray[np.signedinteger[Any]]  # pd.factorize's: 0 … k − 1, −1 for a missing value
Flags = NDArray[np.int32]
Stats = dict[str, Floats]
P = ParamSpec("P")
T = TypeVar("T")

# A Cramér's V table has one cell per pair of categories: columns with more categories than
# this (free text, say) are profiled but left out of the matrix.
MAX_V_CATEGORIES = 1000
# With fewer than this many values per category on average, a column's counts say nothing:
# nearly every category is "rare", and a contingency table with it is too sparse for χ² (the
# usual rule wants expected counts of 5 or more), so its Cramér's V is inflated towards 1.
# Such a column is left out of the rare values and of Cramér's V, and so is a V whose pair's
# table has fewer rows than 5 per cell.
MIN_PER_CELL = 5
# Among those, a column with at least this share of its values distinct is named ID-like.
ID_SHARE = 0.9
ID_MIN_VALUES = 20
# A V computed on fewer than this share of the rows (the rest miss a value in either column)
# is shown with the number of rows it used.
FEW_ROWS_SHARE = 0.5
# The default rare-category fraction, raised on small tables to 2 / rows so that a category
# seen once is rare there too (with 0.01 alone nothing could be rare below 100 rows).
RARE_SHARE = 0.01
# A numeric column of integers that go up by the same step from row to row in at least this
# share of the rows counts rows (a row number, an ID, a year): it is not a measurement.
COUNTER_SHARE = 0.9
YEAR_NAME = re.compile(r"(?<![a-z])year(?![a-z])", re.IGNORECASE)
ID_NAME = re.compile(r"(?<![a-z])(id|identifier|index|obs)(?![a-z])", re.IGNORECASE)
SEPARATORS = ",;\t|"  # sniffed, and refused in the name of a table's only column
SNIFF_CHARS = 1 << 16
MAX_ROWS = 10_000_000  # of the built-in table: some 4 GB of memory, and a minute
WIDTH = 100  # of every line of text output
NAME_WIDTH = 20  # longer column names are shortened in tables
STATS = ("mean", "std", "min", "max")
RUNS = 3  # of each profile, for the median time


@dataclass(frozen=True)
class Kernels:
    """The four computations a profile is made of; the profile runs once with each set."""

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
    series = pd.Series(codes)
    counts = series.value_counts()
    rare = counts.index[counts < codes.size * threshold]
    out_of_range = (codes < 0) | (codes >= n_categories)
    return (out_of_range | series.isin(rare).to_numpy()).astype(np.int32)


def cramers_v_numpy(x: Codes, y: Codes, kx: int, ky: int) -> float:
    # The profile hands over complete pairs only, so every code is in range here.
    cells = x.astype(np.int64, copy=False) * ky + y
    table = np.bincount(cells, minlength=kx * ky).reshape(kx, ky)
    expected = np.outer(table.sum(axis=1), table.sum(axis=0)) / x.size
    used = expected > 0
    chi2 = float((((table - expected) ** 2)[used] / expected[used]).sum())
    return float(np.sqrt(chi2 / ((min(kx, ky) - 1) * x.size))) if min(kx, ky) > 1 else 0.0


def cramers_v_pandas(x: Codes, y: Codes, kx: int, ky: int) -> float:
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


def timed(kernels: Kernels, clock: list[float]) -> Kernels:
    """The same kernels, each call adding the time it took to clock[0]."""

    def wrap(fn: Callable[P, T]) -> Callable[P, T]:
        def call(*args: P.args, **kwargs: P.kwargs) -> T:
            start = time.perf_counter()
            try:
                return fn(*args, **kwargs)
            finally:
                clock[0] += time.perf_counter() - start

        return call

    return Kernels(
        kernels.name,
        wrap(kernels.summary),
        wrap(kernels.z_flags),
        wrap(kernels.rare_flags),
        wrap(kernels.cramers_v),
    )


@dataclass
class Categorical:
    """A column as pd.factorize encodes it: the categories that occur, in order of appearance."""

    codes: Codes
    labels: list[str]
    missing: int

    @property
    def values(self) -> int:
        return self.codes.size - self.missing

    def too_many(self) -> str:
        """Why the column's categories are too many for its values to count ('' if not)."""
        k = len(self.labels)
        if k >= 2 and self.values >= ID_MIN_VALUES and k >= ID_SHARE * self.values:
            return "ID-like"
        if k >= 2 and self.values < MIN_PER_CELL * k:
            return "too many categories for their rows"
        return ""

    def left_out(self) -> str:
        """Why the column gets no Cramér's V ('' if it gets one); with one category or fewer
        or too many for the rows, it gets no rare values either."""
        if len(self.labels) < 2:
            return "one category only" if self.labels else "no values"
        if self.too_many() or len(self.labels) <= MAX_V_CATEGORIES:
            return self.too_many()
        return f"more than {MAX_V_CATEGORIES:,} categories"

    def counted(self) -> bool:
        """Whether the column gets rare values."""
        return len(self.labels) >= 2 and not self.too_many()


@dataclass
class Table:
    """A frame encoded for the kernels: numeric columns as they are held (float16, float32 or
    float64; integers as float64), one matrix per dtype, and categorical columns as
    pd.factorize's codes."""

    name: str
    rows: int
    numeric: list[str]
    columns: list[Data]  # numeric column j, a view into its block
    blocks: list[tuple[list[int], Data]]  # positions in numeric, and the matrix of one dtype
    categorical: dict[str, Categorical]
    not_measured: dict[str, str]  # numeric columns that count rows or hold dates: what they hold

    def v_columns(self) -> list[str]:
        """The categorical columns that get a Cramér's V with each other."""
        return [name for name, column in self.categorical.items() if not column.left_out()]


def float_type(dtype: Any) -> np.dtype[Any]:
    """The NumPy type a numeric column is handed over in: its own if it is a float type
    (pandas' nullable and pyarrow types name their NumPy twin), else float64."""
    own = np.dtype(getattr(dtype, "numpy_dtype", dtype))
    return own if own.kind == "f" else np.dtype(np.float64)


def not_measurement(name: str, values: Floats) -> str:
    """What a numeric column holds if it is not a measurement, else ''."""
    values = values[~np.isnan(values)]
    if values.size < 3 or not np.isfinite(values).all() or (values != np.round(values)).any():
        return ""
    low, high = float(values.min()), float(values.max())
    if YEAR_NAME.search(name) and 1000 <= low and high <= 2999:
        return f"years, {low:.0f} to {high:.0f}"
    if 1000_01_01 <= low and high <= 9999_12_31:
        text = pd.Series(values.astype(np.int64)).astype(str)
        dates = pd.to_datetime(text, format="%Y%m%d", errors="coerce")
        if not dates.isna().any():
            return f"dates written YYYYMMDD, {dates.min():%Y-%m-%d} to {dates.max():%Y-%m-%d}"
    steps = np.diff(values)
    step = float(np.median(steps))
    same = int(np.count_nonzero(steps == step))
    if step > 0 and same >= COUNTER_SHARE * steps.size:
        where = "" if same == steps.size else f" (in {same / steps.size:.0%} of the rows)"
        return f"counts up by {step:g} from row to row{where}, {low:g} to {high:g}"
    if ID_NAME.search(name) and np.unique(values).size == values.size:
        return f"distinct integers, named as an ID, {low:g} to {high:g}"
    return ""


def encode(frame: pd.DataFrame, categorical: Sequence[str] = (), name: str = "data") -> Table:
    numeric: list[str] = []
    types: list[np.dtype[Any]] = []
    codes: dict[str, Categorical] = {}
    not_measured: dict[str, str] = {}
    for column in frame.columns:
        series, label = frame[column], str(column)
        dtype = series.dtype
        if column in categorical:
            pass
        elif pd.api.types.is_datetime64_any_dtype(dtype):
            present = series.dropna()
            not_measured[label] = (
                f"dates, {present.min()} to {present.max()}" if len(present) else "dates, none"
            )
            continue
        elif pd.api.types.is_numeric_dtype(dtype) and not pd.api.types.is_bool_dtype(dtype):
            what = not_measurement(label, series.to_numpy(dtype=np.float64, na_value=np.nan))
            if what:
                not_measured[label] = what
            else:
                numeric.append(column)
                types.append(float_type(dtype))
            continue
        # pd.factorize lists only the categories that occur, in order of appearance; its
        # codes go to the kernels as they are (int64).
        column_codes, labels = pd.factorize(series)
        missing = int(np.count_nonzero(column_codes < 0))
        codes[label] = Categorical(column_codes, [str(v) for v in labels], missing)
    blocks: list[tuple[list[int], Data]] = []
    columns: list[Data] = [np.empty(0)] * len(numeric)
    for dtype in dict.fromkeys(types):
        positions = [j for j, t in enumerate(types) if t == dtype]
        matrix = frame[[numeric[j] for j in positions]].to_numpy(dtype=dtype, na_value=np.nan)
        blocks.append((positions, matrix))
        for p, j in enumerate(positions):
            columns[j] = matrix[:, p]
    numeric_names = [str(column) for column in numeric]
    return Table(name, len(frame), numeric_names, columns, blocks, codes, not_measured)


def without_rows(
    codes: Codes, k: int, keep: NDArray[np.bool_], gone: NDArray[np.intp]
) -> tuple[Codes, int]:
    """The codes of the rows kept (keep is False at the rows gone), recoded to the categories
    left there, and their number."""
    kept: Codes = codes[keep]
    dropped = codes[gone]
    # Only a category seen in a dropped row can be gone; it is not if the kept rows show it,
    # which their first few thousand rows mostly do.
    doubt = np.bincount(dropped[dropped >= 0], minlength=k) > 0
    start, step = 0, 1 << 16
    while doubt.any() and start < kept.size:
        doubt &= np.bincount(kept[start : start + step], minlength=k) == 0
        start, step = start + step, step * 4
    if not doubt.any():  # every category is still there: the codes stay as they are
        return kept, k
    recoded: Codes = (np.cumsum(~doubt) - 1)[kept]
    return recoded, k - int(np.count_nonzero(doubt))


@dataclass
class Profile:
    stats: Stats  # per numeric column, over all rows
    missing: NDArray[np.intp]  # NaNs per numeric column
    z_flags: list[Flags]  # per numeric column, over all rows
    present: dict[int, tuple[Stats, Flags]]  # the same over the non-missing values
    rare_flags: dict[str, Flags]  # per categorical column that gets rare values
    v_columns: list[str]
    # Cramér's V of each pair of v_columns, NaN where it is undefined: a column with fewer
    # than two categories in the rows where both have a value.
    cramers_v: Floats
    pair_rows: NDArray[np.intp]  # [i, j]: rows where both have a value ([i, i]: column i's)
    pair_categories: NDArray[np.intp]  # [i, j]: categories of column i in those rows


def run_profile(table: Table, kernels: Kernels, z: float, rare: float) -> Profile:
    m = len(table.numeric)
    stats = {key: np.empty(m) for key in STATS}
    for positions, block in table.blocks:
        for key, values in kernels.summary(block).items():
            stats[key][positions] = values
    missing = np.zeros(m, dtype=np.intp)
    z_flags, present = [], {}
    for j, column in enumerate(table.columns):
        z_flags.append(kernels.z_flags(column, z))
        # A NaN makes the mean NaN (so do +inf and -inf together): other columns have none.
        if math.isnan(stats["mean"][j]):
            nan = np.isnan(column)
            missing[j] = np.count_nonzero(nan)
            if 0 < missing[j] < table.rows:
                kept = column[~nan]
                present[j] = (kernels.summary(kept[:, np.newaxis]), kernels.z_flags(kept, z))
    rare_flags = {
        name: kernels.rare_flags(column.codes, len(column.labels), rare)
        for name, column in table.categorical.items()
        if column.counted()
    }
    names = table.v_columns()
    v, pair_rows, pair_categories = cramers_v_matrix(
        [table.categorical[name] for name in names], kernels
    )
    return Profile(
        stats, missing, z_flags, present, rare_flags, names, v, pair_rows, pair_categories
    )


def cramers_v_matrix(
    columns: list[Categorical], kernels: Kernels
) -> tuple[Floats, NDArray[np.intp], NDArray[np.intp]]:
    """Cramér's V of each pair of columns over the rows where both have a value, with the
    number of those rows and of each column's categories there."""
    m = len(columns)
    v = np.full((m, m), np.nan)
    rows = np.zeros((m, m), dtype=np.intp)
    categories = np.zeros((m, m), dtype=np.intp)
    # Rows with a missing value are dropped from a pair: calculate_cramers_v would skip them
    # but still count them in n, which is not what a profile means by "association". Only
    # the pairs of a column with missing values are copied.
    gaps = {i: np.flatnonzero(c.codes < 0) for i, c in enumerate(columns) if c.missing}
    drops: dict[tuple[int, ...], tuple[NDArray[np.bool_], NDArray[np.intp]]] = {}
    alone: dict[int, tuple[Codes, int]] = {}  # a column without its own missing rows

    def without(i: int, missing_in: tuple[int, ...]) -> tuple[Codes, int]:
        """Column i without the rows where the columns missing_in miss a value."""
        if missing_in == (i,) and i in alone:
            return alone[i]
        if missing_in not in drops:
            gone = np.unique(np.concatenate([gaps[g] for g in missing_in]))
            keep = np.ones(columns[i].codes.size, dtype=bool)
            keep[gone] = False
            drops[missing_in] = keep, gone
        pair = without_rows(columns[i].codes, len(columns[i].labels), *drops[missing_in])
        if missing_in == (i,):
            alone[i] = pair
        return pair

    for i, j in itertools.combinations_with_replacement(range(m), 2):
        x, y = columns[i], columns[j]
        if i == j:
            rows[i, i], categories[i, i], v[i, i] = x.values, len(x.labels), 1.0
            continue
        (cx, kx), (cy, ky) = (x.codes, len(x.labels)), (y.codes, len(y.labels))
        missing_in = tuple(k for k in (i, j) if k in gaps)
        if missing_in:
            (cx, kx), (cy, ky) = without(i, missing_in), without(j, missing_in)
        rows[i, j] = rows[j, i] = cx.size
        categories[i, j], categories[j, i] = kx, ky
        # With one category (or none) on either side, V is 0 / 0: the module returns 0.0,
        # which would read as "independent".
        if min(kx, ky) >= 2:
            v[i, j] = v[j, i] = kernels.cramers_v(cx, cy, kx, ky)
    return v, rows, categories


def reported(profile: Profile, j: int) -> tuple[dict[str, float], Flags]:
    """Column j's statistics and z flags over its non-missing values."""
    stats, flags = profile.present.get(j, (profile.stats, profile.z_flags[j]))
    column = 0 if j in profile.present else j
    return {key: float(stats[key][column]) for key in STATS}, flags


# One planted outlier or missing value in so many rows of the built-in table.
SLOW_EVERY, UNRECORDED_EVERY, STUCK_EVERY = 4000, 1000, 25000


def builtin_frame(rows: int, seed: int = 2026) -> pd.DataFrame:
    """A seeded table of web shop sessions with planted outliers, rare categories, missing
    values, two associated pairs of categorical columns and one independent column."""
    rng = np.random.default_rng(seed)

    def planted(count: int) -> NDArray[np.intp]:
        return rng.choice(rows, size=count, replace=False)

    def categorical(labels: list[str], codes: NDArray[np.intp]) -> pd.Categorical[str]:
        return pd.Categorical.from_codes(codes, pd.Index(labels))

    def depending(parent: NDArray[np.intp], chances: list[list[float]]) -> NDArray[np.intp]:
        """A column whose category follows each parent category with its own chances."""
        cumulative = np.cumsum(np.array(chances), axis=1)
        cumulative /= cumulative[:, -1:]
        draw = rng.random(rows)[:, np.newaxis]
        chosen: NDArray[np.intp] = (draw > cumulative[parent]).sum(axis=1)
        return chosen

    latency = rng.lognormal(3.0, 0.25, rows)
    latency[planted(rows // SLOW_EVERY)] *= 8  # slow requests
    basket = rng.gamma(2.0, 20.0, rows).round(2)
    basket[planted(rows // UNRECORDED_EVERY)] = np.nan  # not recorded
    temperature = rng.normal(21.0, 2.5, rows)
    temperature[planted(rows // STUCK_EVERY)] = 85.0  # a stuck sensor

    countries = ["US", "DE", "FR", "GB", "ES", "IT", "NL", "PL", "SE", "BR", "JP", "IN", "IS", "LU"]
    weights = np.append(1 / np.arange(1, 13), [0.0012, 0.0012])  # Iceland and Luxembourg: rare
    country = rng.choice(len(countries), rows, p=weights / weights.sum())
    plans = ["free", "pro", "team", "enterprise"]
    plan = depending(country, rng.dirichlet([4.0, 2.0, 1.0, 0.5], len(countries)).tolist())
    device = rng.choice(3, rows, p=[0.6, 0.35, 0.05])
    systems = ["Android", "iOS", "Windows", "macOS", "Linux", "iPadOS", "HarmonyOS"]
    system = depending(
        device,
        [
            [0.55, 0.449, 0, 0, 0, 0, 0.001],  # phone
            [0, 0, 0.7, 0.25, 0.05, 0, 0],  # desktop
            [0.3, 0, 0, 0, 0, 0.7, 0],  # tablet
        ],
    )
    system[planted(rows * 3 // 1000)] = -1  # not reported by the browser
    channels = ["search", "ads", "social", "email", "referral"]
    channel = rng.choice(len(channels), rows, p=[0.4, 0.25, 0.15, 0.1, 0.1])

    return pd.DataFrame(
        {
            "latency_ms": latency,
            "basket_eur": basket,
            "temperature_c": temperature,
            "items": rng.poisson(3.0, rows),
            "country": categorical(countries, country),
            "plan": categorical(plans, plan),
            "device": categorical(["phone", "desktop", "tablet"], device),
            "os": categorical(systems, system),
            "channel": categorical(channels, channel),
        }
    )


def builtin_note(frame: pd.DataFrame) -> str:
    """What was planted in the built-in table, as far as its size has room for it."""
    rows = len(frame)
    planted = []
    if rows // SLOW_EVERY:
        planted.append(f"{count(rows // SLOW_EVERY, 'slow request')} in latency_ms")
    if rows // STUCK_EVERY:
        planted.append(
            f"{count(rows // STUCK_EVERY, 'stuck sensor reading')} of 85 in temperature_c"
        )
    gaps = [
        f"{int(frame[c].isna().sum()):,} in {c}"
        for c in ("basket_eur", "os")
        if frame[c].isna().any()
    ]
    if gaps:
        planted.append("missing values, " + " and ".join(gaps))
    rare = []
    for column, labels in (("country", ["IS", "LU"]), ("os", ["HarmonyOS"])):
        seen = [
            f"{label} ({n:,})" for label in labels if (n := int((frame[column] == label).sum()))
        ]
        if seen:
            rare.append(f"{' and '.join(seen)} in {column}")
    if rare:
        planted.append("the rare categories " + ", ".join(rare))
    if planted:
        text = "Planted: " + "; ".join(planted) + "."
    else:
        text = (
            f"Planted outliers, missing values and rare categories: none in {count(rows, 'row')}."
        )
    return text + " By design os depends on device, plan on country, and channel on nothing."


def best_of(runs: int, fn: Callable[[], T]) -> tuple[float, T]:
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - start)
    return min(times), result


def profile_time(
    table: Table, kernels: Kernels, z: float, rare: float
) -> tuple[float, float, Profile]:
    """The median time of the profile and of the kernel calls in it, and the profile."""
    clock = [0.0]
    counted = timed(kernels, clock)
    totals, inside = [], []
    for _ in range(RUNS):
        clock[0] = 0.0
        start = time.perf_counter()
        profile = run_profile(table, counted, z, rare)
        totals.append(time.perf_counter() - start)
        inside.append(clock[0])
    return statistics.median(totals), statistics.median(inside), profile


def count(n: int, word: str, plural: str = "") -> str:
    return f"{n:,} {word if n == 1 else plural or word + 's'}"


def short(name: str, width: int = NAME_WIDTH) -> str:
    """The name, or its start and end around an ellipsis: names often differ at the end."""
    if len(name) <= width:
        return name
    head = (width - 1) // 2
    return name[:head] + "…" + name[head + 1 - width :]


def wrapped(text: str, indent: str = "  ", first: str = "") -> str:
    return textwrap.fill(
        text, WIDTH, initial_indent=first, subsequent_indent=indent, break_on_hyphens=False
    )


def listing(start: str, items: list[str], indent: str = "    ") -> str:
    """start, then the items separated by commas, wrapped between items, not inside one."""
    lines = wrapped(start, indent).split("\n")
    for k, item in enumerate(items):
        item += "," if k < len(items) - 1 else ""
        if len(lines[-1]) + 1 + len(item) > WIDTH:
            lines.append(indent + item)
        else:
            lines[-1] += " " + item
    return "\n".join(lines)


def ms(seconds: float) -> str:
    value = seconds * 1e3
    return f"{value:,.0f} ms" if value >= 100 else f"{value:.3g} ms"


def same(a: float, b: float) -> bool:
    return a == b or (math.isnan(a) and math.isnan(b))


def not_measured_section(table: Table) -> list[str]:
    if not table.not_measured:
        return []
    width = max(len(short(name)) for name in table.not_measured) + 2
    lines = ["", "Not profiled as measurements: row numbers, IDs, years and dates"]
    for name, what in table.not_measured.items():
        lines.append(wrapped(f"  {short(name):<{width}}{what}", " " * (width + 2)))
    return lines


def numeric_section(table: Table, profile: Profile, z: float) -> list[str]:
    if not table.numeric:
        return []
    width = max(len(short(name)) for name in table.numeric + ["column"]) + 2
    lines = [
        "",
        f"Numeric columns ({len(table.numeric):,}): population mean and std; outliers have"
        f" |z| > {z:g}",
        f"{'column':<{width}}{'count':>11}{'missing':>9}"
        + "".join(f"{s:>12}" for s in STATS)
        + f"{'outliers':>10}",
    ]

    def row(label: str, count: int, missing: str, stats: dict[str, float], flags: Flags) -> str:
        return (
            f"{label:<{width}}{count:>11,}{missing:>9}"
            + "".join(f"{stats[key]:>12.6g}" for key in STATS)
            + f"{int(flags.sum()):>10,}"
        )

    all_rows, infinite = False, []
    for j, name in enumerate(table.numeric):
        missing = int(profile.missing[j])
        stats, flags = reported(profile, j)
        if missing == table.rows:
            lines.append(f"{short(name):<{width}}{0:>11}{missing:>9,}   no values")
            continue
        lines.append(row(short(name), table.rows - missing, f"{missing:,}", stats, flags))
        if not math.isfinite(stats["mean"]) and missing < table.rows:
            infinite.append(name)
        if j in profile.present:
            every = {key: float(profile.stats[key][j]) for key in STATS}
            # Over all rows, the mean is NaN and the std 0; min and max differ only when row 0
            # is missing.
            if not (same(every["min"], stats["min"]) and same(every["max"], stats["max"])):
                lines.append(row("  all rows", table.rows, "", every, profile.z_flags[j]))
                all_rows = True
    if profile.missing.any():
        note = (
            "missing: NaN. A column's line holds the statistics of its values present; over all"
            " its rows, NaN included, calculate_summary_stats gives it mean nan and std 0, and"
            " detect_continuous_outliers flags nothing"
        )
        if all_rows:
            note += (
                '; min and max pass over a NaN unless it is in the first row (the "all rows" lines)'
            )
        lines.append(wrapped(note + "."))
    if infinite:
        lines.append(
            listing(
                "not finite: an infinity (or a sum past the float range) makes the mean ±inf or"
                " nan and the std 0, so that nothing is flagged, in",
                infinite,
            )
        )
    return lines


def times(n: int) -> str:
    return {1: "once", 2: "twice"}.get(n, f"{n:,} times")


def categorical_section(table: Table, profile: Profile, rare: float) -> list[str]:
    if not table.categorical:
        return []
    heading = f"Categorical columns ({len(table.categorical):,})"
    if profile.rare_flags:
        # The module compares each count with the product, rounded once.
        most = math.ceil(table.rows * rare) - 1
        share = f"{rare * 100:.3g}% of the {count(table.rows, 'row')}"
        if most >= 1:
            heading += f": rare = seen fewer than {share}, at most {times(most)}"
        else:
            heading += f": no category can be rare, {share} is one or less"
    width = max(len(short(name)) for name in list(table.categorical) + ["column"]) + 2
    lines = [
        "",
        wrapped(heading),
        f"{'column':<{width}}{'categories':>11}{'missing':>9}{'rare':>9}   rare categories",
    ]
    room = WIDTH - width - 32  # what the four columns before the rare categories leave
    too_many = missing_counted = False
    for name, column in table.categorical.items():
        k = len(column.labels)
        start = f"{short(name):<{width}}{k:>11,}{column.missing:>9,}"
        if name not in profile.rare_flags:
            why = column.too_many()
            if why == "ID-like":
                why = f"ID-like: {k:,} distinct in {count(column.values, 'value')}"
            elif why:
                values = count(column.values, "value")
                why = f"too many for {values}: {column.values / k:.3g} a category"
            else:
                why = column.left_out()
            too_many = too_many or bool(column.too_many())
            lines.append(f"{start}{'-':>9}   {why}")
            continue
        missing_counted = missing_counted or column.missing > 0
        flags = profile.rare_flags[name]
        counts = np.bincount(column.codes[column.codes >= 0], minlength=k)
        rare_codes = np.unique(column.codes[(flags == 1) & (column.codes >= 0)])
        rare_codes = rare_codes[np.argsort(counts[rare_codes], kind="stable")]  # rarest first
        listed = ""
        for shown, code in enumerate(rare_codes):
            item = f"{', ' if listed else ''}{short(column.labels[code])} ({counts[code]:,})"
            # Unless this is the last one, room is kept for saying how many are not listed.
            left = rare_codes.size - shown - 1
            if len(listed + item) + (len(f" and {left:,} more") if left else 0) > room:
                listed += f" and {rare_codes.size - shown:,} more"
                break
            listed += item
        lines.append(f"{start}{int(flags.sum()) - column.missing:>9,}   {listed}".rstrip())
    if too_many:
        lines.append(
            wrapped(
                f"-: fewer than {MIN_PER_CELL} values per category on average (ID-like:"
                f" {ID_SHARE:.0%} or more of them distinct) are too few to tell rare categories"
                " from the others, or to fill a table of pairs for χ²: no rare values and no"
                " Cramér's V"
            )
        )
    if missing_counted:
        lines.append(
            wrapped(
                "missing: pd.factorize's code -1, flagged by detect_categorical_outliers as out of"
                " range: counted here as missing, not as rare"
            )
        )
    return lines


def v_cell(text: str, width: int) -> str:
    # A mark after a value takes the place of the space between the columns.
    return f"{text:>{width}}" if text.endswith("*") else f"{text:>{width - 1}} "


def cramers_v_section(table: Table, profile: Profile) -> list[str]:
    if len(table.categorical) < 2:
        return []
    lines = [""]
    reasons: dict[str, list[str]] = {}
    for name, column in table.categorical.items():
        if column.left_out():
            reasons.setdefault(column.left_out(), []).append(name)
    for why, left in reasons.items():
        lines.append(listing(f"Left out of Cramér's V, {why}:", left))
    names = profile.v_columns
    if len(names) < 2:
        return lines
    v, rows, categories = profile.cramers_v, profile.pair_rows, profile.pair_categories
    sparse = rows < MIN_PER_CELL * categories * categories.T
    few = rows < FEW_ROWS_SHARE * table.rows
    cells = [
        [
            "1.000"
            if i == j
            else "n/a"
            if math.isnan(v[i, j])
            else "sparse"
            if sparse[i, j]
            else f"{v[i, j]:.3f}" + ("*" if few[i, j] else "")
            for j in range(len(names))
        ]
        for i in range(len(names))
    ]
    shown = any(cells[i][j][0].isdigit() for i, j in itertools.permutations(range(len(names)), 2))
    if shown:
        lines += [
            *([""] if reasons else []),
            "Cramér's V of the categorical columns over the rows where both have a value",
            "(0: independent, 1: one determines the other)",
        ]
        # Full names as headers when they fit, else numbers, with the matrix in parts if need be.
        width = max(len(name) for name in names + ["sparse"]) + 2
        if width * (len(names) + 1) <= WIDTH:
            labels, headers, cell = names, names, width
        else:
            digits = len(str(len(names)))
            labels = [f"{i + 1:>{digits}} {short(name)}" for i, name in enumerate(names)]
            headers = [str(i + 1) for i in range(len(names))]
            width, cell = max(len(label) for label in labels) + 2, 8
        per_part = (WIDTH - width) // cell
        for first in range(0, len(names), per_part):
            part = range(first, min(first + per_part, len(names)))
            lines.append(" " * width + "".join(f"{headers[j]:>{cell - 1}} " for j in part))
            for i, label in enumerate(labels):
                lines.append(f"{label:<{width}}" + "".join(v_cell(cells[i][j], cell) for j in part))
    else:
        lines.append("Cramér's V: none to show")

    pairs = list(itertools.combinations(range(len(names)), 2))
    for i, j in pairs:
        if cells[i][j] == "n/a":
            if rows[i, j] == 0:
                why = "no row has a value in both"
            else:
                lone = names[i] if categories[i, j] < 2 else names[j]
                why = f"{lone} has one category in the {count(rows[i, j], 'row')} with both"
            lines.append(wrapped(f"n/a: {names[i]} with {names[j]}: {why}"))
    too_sparse = [
        f"{short(names[i])} with {short(names[j])} ({rows[i, j]:,} in"
        f" {categories[i, j]} × {categories[j, i]})"
        for i, j in pairs
        if cells[i][j] == "sparse"
    ]
    if too_sparse:
        lines.append(
            listing(
                f"sparse: fewer rows than {MIN_PER_CELL} per cell of the pair's table, too few"
                " for χ² (rows in categories × categories):",
                too_sparse,
            )
        )
    if any(cell.endswith("*") for row in cells for cell in row):
        lines.append(f"*: computed on fewer than {FEW_ROWS_SHARE:.0%} of the {table.rows:,} rows:")
        for i, name in enumerate(names):
            # Each pair is listed once, under the column with fewer values.
            partners = [
                f"{short(names[j])} {rows[i, j]:,}"
                for j in range(len(names))
                if cells[i][j].endswith("*") and (rows[i, i], i) < (rows[j, j], j)
            ]
            if partners:
                lines.append(
                    listing(f"  {short(name)} ({count(rows[i, i], 'value')}) with", partners)
                )
    if shown and any(table.categorical[name].missing for name in names):
        lines.append(
            wrapped(
                "Each V is computed over the rows where both columns have a value:"
                " calculate_cramers_v would skip a pair with a missing code (-1) but count it in n."
            )
        )
    return lines


def agreement(ours: Profile, theirs: Profile, table: Table) -> list[str]:
    """How far the two profiles are apart, in what both computed: rounding, or more than
    rounding (where the one-pass variance loses digits, or where NumPy's rules for infinities
    differ)."""
    rounding, apart = 0.0, []
    measured = [j for j in range(len(table.numeric)) if ours.missing[j] < table.rows]
    for j in measured:
        name = table.numeric[j]
        (a, _), (b, _) = reported(ours, j), reported(theirs, j)
        for key in STATS:
            x, y = a[key], b[key]
            if same(x, y):
                continue
            if abs(x - y) <= 1e-9 * max(abs(x), abs(y)):
                rounding = max(rounding, abs(x - y) / max(abs(x), abs(y)))
            else:
                apart.append(f"{name} {key} {x:.6g} vs {y:.6g}")
    pairs = [reported(ours, j)[1] != reported(theirs, j)[1] for j in measured]
    pairs += [ours.rare_flags[name] != theirs.rare_flags[name] for name in ours.rare_flags]
    parts = []
    if pairs:
        differ, flags = sum(int(p.sum()) for p in pairs), sum(p.size for p in pairs)
        parts.append(f"flags: {differ:,} of {flags:,} differ")
    off_diagonal = ~np.eye(len(ours.v_columns), dtype=bool)
    if not np.isnan(ours.cramers_v[off_diagonal]).all():
        # Which V are undefined follows from the data alone: the same NaN in both.
        v = float(np.nan_to_num(np.abs(ours.cramers_v - theirs.cramers_v)).max())
        parts.append(f"Cramér's V: within {v:.1e}")
    if measured:
        parts.append(f"statistics: within {rounding:.1e} (relative)")
    if not parts:
        return []
    lines = [wrapped("Same results? " + "; ".join(parts))]
    lines += [f"  but not within 1e-9: {item}" for item in apart]
    if rounding or apart:
        lines.append(
            wrapped(
                "(NumPy adds pairwise and takes the variance in two passes; vantorix_core adds in"
                " row order and takes mean of squares - squared mean: see the README, section"
                " Exactness)",
                indent="   ",
                first="  ",
            )
        )
    return lines


def timing_section(
    encode_s: float, ours: tuple[float, float], theirs: tuple[float, float], name: str
) -> list[str]:
    width = max(len(VANTORIX.name), len(name)) + 4
    lines = [
        "",
        f"Time for the profile, median of {RUNS} (encoding, {ms(encode_s)}, not included):",
        f"{'':<{width}}{'total':>11}{'in the four functions':>24}{'around them':>14}",
    ]
    for label, (total, inside) in ((VANTORIX.name, ours), (name, theirs)):
        lines.append(
            f"  {label:<{width - 2}}{ms(total):>11}{ms(inside):>24}{ms(total - inside):>14}"
        )
    lines[-1] += f"   {theirs[0] / ours[0]:.1f}x the time"
    return lines


def cramers_v_figure(table: Table, profile: Profile) -> Figure:
    # Drawn without pyplot, so no display or GUI backend is involved.
    from matplotlib import colormaps
    from matplotlib.figure import Figure

    names, rows, categories = profile.v_columns, profile.pair_rows, profile.pair_categories
    sparse = rows < MIN_PER_CELL * categories * categories.T
    np.fill_diagonal(sparse, False)
    v = np.where(sparse, np.nan, profile.cramers_v)
    size = 2.5 + 0.9 * len(names)
    fig = Figure(figsize=(size + 1.5, size + 0.5), layout="constrained")
    ax = fig.add_subplot()
    cmap = colormaps["viridis"].with_extremes(bad="lightgrey")  # undefined or not shown
    image = ax.imshow(v, vmin=0.0, vmax=1.0, cmap=cmap)
    ax.set_xticks(range(len(names)), names, rotation=45, ha="right")
    ax.set_yticks(range(len(names)), names)
    notes = set()
    for (i, j), value in np.ndenumerate(v):
        if sparse[i, j]:
            text, color = "sparse", "black"
            notes.add(f"sparse: fewer rows than {MIN_PER_CELL} per cell of the pair's table")
        elif math.isnan(value):
            text, color = "n/a", "black"
            notes.add(
                "n/a: undefined, a column has one category in the rows where both have a value"
            )
        else:
            text, color = f"{value:.2f}", "black" if value > 0.6 else "white"
            if i != j and rows[i, j] < FEW_ROWS_SHARE * table.rows:
                text += f"\nn={rows[i, j]:,}"
                notes.add(
                    f"n=: rows where both have a value, where fewer than {FEW_ROWS_SHARE:.0%}"
                )
        ax.text(j, i, text, ha="center", va="center", color=color, fontsize=9)
    fig.colorbar(image, ax=ax, label="Cramér's V")
    ax.set_title(f"Cramér's V of the categorical columns\n{table.name}, {count(table.rows, 'row')}")
    if notes:
        fig.supxlabel("\n".join(sorted(notes)), fontsize=8)
    return fig


class TableError(Exception):
    """A file that is not read as a table, with the reason."""


WHITESPACE = r"\s+"  # pandas' separator for runs of spaces and tabs
SEPARATOR_NAMES = {
    ",": "",
    ";": "semicolon-separated",
    "\t": "tab-separated",
    "|": "separated by |",
    WHITESPACE: "whitespace-separated",
}


def sniffed(sample: str, separator: str | None) -> tuple[str, str]:
    """The separator and quote character of delimited text: the separator given, or one of
    , ; tab |, else runs of whitespace; a comma and " where the sample shows neither."""
    if separator:
        tries = [(separator, " " if separator == WHITESPACE else separator)]
    else:
        tries = [("", SEPARATORS), (WHITESPACE, " ")]
    for fixed, candidates in tries:
        try:
            dialect = csv.Sniffer().sniff(sample, delimiters=candidates)
        except csv.Error:
            continue
        return fixed or dialect.delimiter, dialect.quotechar or '"'
    return separator or ",", '"'


def read_table(path: str, separator: str | None, backend: str | None) -> tuple[pd.DataFrame, str]:
    """The CSV file as a frame, and its separator."""
    try:
        with open(path, encoding="utf-8-sig", errors="replace", newline="") as file:
            sample = file.read(SNIFF_CHARS)
        if len(sample) == SNIFF_CHARS and "\n" in sample:  # whole lines only
            sample = sample[: sample.rindex("\n") + 1]
        separator, quote = sniffed(sample, separator)
        if backend == "pyarrow":
            frame = pd.read_csv(path, sep=separator, quotechar=quote, dtype_backend="pyarrow")
        elif backend == "numpy_nullable":
            frame = pd.read_csv(
                path, sep=separator, quotechar=quote, dtype_backend="numpy_nullable"
            )
        else:
            frame = pd.read_csv(path, sep=separator, quotechar=quote, low_memory=False)
    except (OSError, ValueError, ImportError) as error:
        raise TableError(f"cannot read {path}: {error}") from None
    only = str(frame.columns[0])
    if frame.shape[1] == 1 and any(c in only for c in SEPARATORS):
        raise TableError(
            f"{Path(path).name} reads as a single column named {short(repr(only), 40)}:"
            " give its separator with --sep"
        )
    return frame, separator


def positive_rows(text: str) -> int:
    try:
        rows = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if not 1 <= rows <= MAX_ROWS:
        raise argparse.ArgumentTypeError(f"give 1 to {MAX_ROWS:,} rows, not {rows:,}")
    return rows


def positive_number(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not (math.isfinite(value) and value > 0):
        raise argparse.ArgumentTypeError(f"give a finite number above 0, not {text}")
    return value


def fraction(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not 0 < value < 1:
        raise argparse.ArgumentTypeError(
            f"give a fraction of the rows above 0 and below 1, not {text}"
        )
    return value


def separator_argument(text: str) -> str:
    named = {"\\t": "\t", "tab": "\t", "\\s+": WHITESPACE, "whitespace": WHITESPACE}
    if text.lower() in named:
        return named[text.lower()]
    if len(text) != 1 or text in "\r\n\"'":
        raise argparse.ArgumentTypeError(
            f"give one character, tab or whitespace (runs of spaces and tabs), not {text!r}"
        )
    return text


def parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        description="Profiles the columns of a table with vantorix_core and times the same "
        "profile in pandas and SciPy."
    )
    parser.add_argument("csv", nargs="?", help="CSV file to profile (default: a built-in table)")
    parser.add_argument(
        "--sep",
        type=separator_argument,
        help="the file's column separator: one character, tab or whitespace (default: sniffed "
        "from its first lines among , ; tab | and whitespace)",
    )
    parser.add_argument(
        "--dtype-backend",
        choices=["numpy_nullable", "pyarrow"],
        help="read the columns into pandas' nullable or pyarrow types",
    )
    parser.add_argument("--plot", metavar="FILE.png", help="draw the Cramér's V matrix there")
    parser.add_argument(
        "--rows",
        type=positive_rows,
        help=f"rows of the built-in table, 1 to {MAX_ROWS:,} (default 1,000,000)",
    )
    parser.add_argument(
        "--z", type=positive_number, default=4.0, help="z-score threshold (default 4)"
    )
    parser.add_argument(
        "--rare",
        type=fraction,
        help=f"rare-category fraction of the rows (default {RARE_SHARE:g}, or 2 / rows where "
        "that is larger, so that a category seen once is rare in small tables too)",
    )
    parser.add_argument(
        "--categorical",
        metavar="COLUMN",
        action="append",
        default=[],
        help="treat this numeric column as categorical (repeatable)",
    )
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    arguments = parser()
    args = arguments.parse_args(argv)
    if args.plot:
        try:
            from matplotlib.backend_bases import FigureCanvasBase
        except ImportError:
            arguments.error('--plot needs matplotlib: python3 -m pip install ".[plot]"')
        kinds = FigureCanvasBase.get_supported_filetypes()
        plot = Path(args.plot)
        if plot.suffix[1:].lower() not in kinds:
            arguments.error(f"--plot: name a file ending in .{', .'.join(sorted(kinds))}")
        if not plot.parent.is_dir():
            arguments.error(f"--plot: no folder {plot.parent}")

    if args.csv:
        if args.rows is not None:
            arguments.error("--rows is for the built-in table, not a CSV file")
        try:
            frame, separator = read_table(args.csv, args.sep, args.dtype_backend)
        except TableError as error:
            arguments.error(str(error))
        source = Path(args.csv).name
    else:
        if args.sep is not None:
            arguments.error("--sep is for a CSV file, not the built-in table")
        frame, separator = builtin_frame(args.rows or 1_000_000), ","
        if args.dtype_backend:
            try:
                frame = frame.convert_dtypes(dtype_backend=args.dtype_backend)
            except ImportError as error:
                arguments.error(f"--dtype-backend {args.dtype_backend}: {error}")
        source = "the built-in table (seed 2026)"
    if len(frame) == 0:
        arguments.error(f"{source} has no rows")
    unknown = set(args.categorical) - {str(column) for column in frame.columns}
    if unknown:
        arguments.error(f"no such column: {', '.join(sorted(unknown))}")
    rare = max(RARE_SHARE, 2 / len(frame)) if args.rare is None else args.rare

    encode_s, table = best_of(1, lambda: encode(frame, args.categorical, source))
    ours_s, ours_in, ours = profile_time(table, VANTORIX, args.z, rare)
    baseline = baseline_kernels()
    with np.errstate(all="ignore"):  # NumPy warns where a std is 0 or a value infinite
        theirs_s, theirs_in, theirs = profile_time(table, baseline, args.z, rare)

    kind = SEPARATOR_NAMES.get(separator, f"separated by {separator!r}")
    lines = [
        wrapped(
            f"Profile of {source}{f' ({kind})' if kind else ''}: {count(table.rows, 'row')},"
            f" {count(frame.shape[1], 'column')}"
        )
    ]
    if not args.csv:
        lines.append(wrapped(builtin_note(frame), indent=""))
    lines += not_measured_section(table)
    lines += numeric_section(table, ours, args.z)
    lines += categorical_section(table, ours, rare)
    lines += cramers_v_section(table, ours)
    if table.numeric or ours.rare_flags or len(ours.v_columns) > 1:
        lines += timing_section(encode_s, (ours_s, ours_in), (theirs_s, theirs_in), baseline.name)
        lines += agreement(ours, theirs, table)
    else:
        lines += ["", "Nothing to profile: no measurement, and no categorical column to count."]
    print("\n".join(line.rstrip() for text in lines for line in text.split("\n")))

    if args.plot:
        if len(ours.v_columns) < 2:
            print(f"\nNo plot: {args.plot} needs two categorical columns or more.")
        else:
            try:
                cramers_v_figure(table, ours).savefig(args.plot, dpi=120)
            except OSError as error:
                arguments.error(f"cannot write {args.plot}: {error}")
            print(f"\nCramér's V matrix drawn to {args.plot}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
