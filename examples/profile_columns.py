"""Profiles the columns of a table with vantorix_core and times the same profile in NumPy/pandas.

    python3 examples/profile_columns.py                  # a built-in table of a million rows
    python3 examples/profile_columns.py data.csv         # a CSV file of yours
    python3 examples/profile_columns.py --plot v.png     # also draw the Cramér's V matrix

Numeric columns get count, missing values, mean, std, min, max and z-score outliers.
Categorical columns (text, booleans, and any column named with --categorical) get their number
of categories, missing values and rare values, and every pair of them gets Cramér's V over the
rows where both have a value. ID-like columns (nearly every value distinct) are named as such
and left out of the rare values and of Cramér's V.
"""

from __future__ import annotations

import argparse
import itertools
import math
import sys
import textwrap
import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, TypeVar

import numpy as np
import pandas as pd
from numpy.typing import NDArray

import vantorix_core as vc

if TYPE_CHECKING:
    from matplotlib.figure import Figure

Floats = NDArray[np.float64]
Codes = NDArray[np.int32]
Stats = dict[str, Floats]
T = TypeVar("T")

# A Cramér's V table has one cell per pair of categories: columns with more categories than
# this (free text, say) are profiled but left out of the matrix.
MAX_V_CATEGORIES = 1000
# A column whose distinct values number at least this share of its values is taken for an
# identifier: each of its categories is rare and it "determines" every other column, so it is
# named as ID-like instead of flooding the rare values and Cramér's V. Small columns are exempt.
ID_SHARE = 0.9
ID_MIN_VALUES = 20
# A V computed on fewer than this share of the rows (the rest miss a value in either column)
# is shown with the number of rows it used.
FEW_ROWS_SHARE = 0.5
# The default rare-category fraction, raised on small tables to 2 / rows so that a category
# seen once is rare there too (with 0.01 alone nothing could be rare below 100 rows).
RARE_SHARE = 0.01
WIDTH = 100  # of every line of text output
NAME_WIDTH = 20  # longer column names are shortened in tables
STATS = ("mean", "std", "min", "max")


@dataclass(frozen=True)
class Kernels:
    """The four computations a profile is made of; the profile runs once with each set."""

    name: str
    summary: Callable[[Floats], Stats]
    z_flags: Callable[[Floats, float], Codes]
    rare_flags: Callable[[Codes, int, float], Codes]
    cramers_v: Callable[[Codes, Codes, int, int], float]


VANTORIX = Kernels(
    "vantorix_core",
    vc.calculate_summary_stats,
    vc.detect_continuous_outliers,
    vc.detect_categorical_outliers,
    vc.calculate_cramers_v,
)


def summary_numpy(matrix: Floats) -> Stats:
    return {
        "mean": matrix.mean(axis=0),
        "std": matrix.std(axis=0),
        "min": matrix.min(axis=0),
        "max": matrix.max(axis=0),
    }


def z_flags_numpy(x: Floats, threshold: float) -> Codes:
    flags: Codes = (np.abs((x - x.mean()) / x.std()) > threshold).astype(np.int32)
    return flags


def rare_flags_pandas(codes: Codes, n_categories: int, threshold: float) -> Codes:
    series = pd.Series(codes)
    counts = series.value_counts()
    rare = counts.index[counts < codes.size * threshold]
    out_of_range = (codes < 0) | (codes >= n_categories)
    return (out_of_range | series.isin(rare).to_numpy()).astype(np.int32)


def cramers_v_numpy(x: Codes, y: Codes, kx: int, ky: int) -> float:
    # The profile hands over complete pairs only, so every code is in range here.
    table = np.bincount(x.astype(np.int64) * ky + y, minlength=kx * ky).reshape(kx, ky)
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
    is installed."""
    try:
        import scipy.stats.contingency  # noqa: F401

        name, cramers_v = "pandas + SciPy", cramers_v_pandas
    except ImportError:
        name, cramers_v = "NumPy/pandas", cramers_v_numpy
    return Kernels(name, summary_numpy, z_flags_numpy, rare_flags_pandas, cramers_v)


@dataclass
class Table:
    """A frame encoded for the kernels: numeric columns as one float64 matrix, categorical
    columns as int32 codes 0 … k − 1 (−1 for a missing value) with their category labels."""

    name: str
    rows: int
    numeric: list[str]
    matrix: Floats
    categorical: dict[str, tuple[Codes, list[str]]]

    def id_like(self, name: str) -> bool:
        codes, labels = self.categorical[name]
        values = int((codes >= 0).sum())
        return values >= ID_MIN_VALUES and len(labels) >= ID_SHARE * values

    def v_columns(self) -> list[str]:
        """The categorical columns that get a Cramér's V with each other."""
        return [
            name
            for name, (_, labels) in self.categorical.items()
            if len(labels) <= MAX_V_CATEGORIES and not self.id_like(name)
        ]


def encode(frame: pd.DataFrame, categorical: Sequence[str] = (), name: str = "data") -> Table:
    numeric = [
        name
        for name in frame.columns
        if name not in categorical
        and pd.api.types.is_numeric_dtype(frame[name])
        and not pd.api.types.is_bool_dtype(frame[name])
    ]
    codes = {}
    for column in frame.columns:
        if column not in numeric:
            # pd.factorize lists only the categories that occur, in order of appearance.
            column_codes, labels = pd.factorize(frame[column])
            codes[str(column)] = (column_codes.astype(np.int32), [str(v) for v in labels])
    matrix = frame[numeric].to_numpy(dtype=np.float64)
    return Table(name, len(frame), [str(column) for column in numeric], matrix, codes)


def complete_pairs(x: Codes, y: Codes) -> tuple[Codes, int, Codes, int]:
    """The rows where both columns have a value, each recoded to the categories that occur
    there, with their counts: Cramér's V of these rows, as pd.crosstab would tabulate them."""
    complete = (x >= 0) & (y >= 0)
    x, y = x[complete], y[complete]
    recoded = []
    for codes in (x, y):
        used = np.bincount(codes) > 0
        recode = (np.cumsum(used) - 1).astype(np.int32)
        recoded.append((recode[codes], int(used.sum())))
    (x, kx), (y, ky) = recoded
    return x, kx, y, ky


@dataclass
class Profile:
    missing: NDArray[np.intp]  # NaNs per numeric column
    stats: Stats  # per numeric column, over all rows
    z_flags: list[Codes]  # per numeric column, over all rows
    present: dict[int, tuple[Stats, Codes]]  # the same over the non-missing values
    rare_flags: list[Codes]  # per categorical column
    v_columns: list[str]
    # Cramér's V of each pair of v_columns, NaN where it is undefined: a column with fewer
    # than two categories in the rows where both have a value.
    cramers_v: Floats
    pair_rows: NDArray[np.intp]  # [i, j]: rows where both have a value ([i, i]: column i's)
    pair_categories: NDArray[np.intp]  # [i, j]: categories of column i in those rows


def run_profile(table: Table, kernels: Kernels, z: float, rare: float) -> Profile:
    missing = np.isnan(table.matrix).sum(axis=0)
    z_flags, present = [], {}
    for j in range(len(table.numeric)):
        column = table.matrix[:, j]
        z_flags.append(kernels.z_flags(column, z))
        if 0 < missing[j] < table.rows:
            kept = column[~np.isnan(column)]
            present[j] = (kernels.summary(kept[:, np.newaxis]), kernels.z_flags(kept, z))
    categorical = table.categorical
    v_columns = table.v_columns()
    m = len(v_columns)
    v = np.full((m, m), np.nan)
    pair_rows = np.zeros((m, m), dtype=np.intp)
    pair_categories = np.zeros((m, m), dtype=np.intp)
    for i, j in itertools.combinations_with_replacement(range(m), 2):
        (x, x_labels), (y, y_labels) = categorical[v_columns[i]], categorical[v_columns[j]]
        kx, ky = len(x_labels), len(y_labels)
        # Pairs with a missing value are left out here: calculate_cramers_v would skip them
        # but still count them in n, which is not what a profile means by "association".
        # Without one, every category occurs (pd.factorize), so the codes stay as they are.
        if x.min(initial=0) < 0 or y.min(initial=0) < 0:
            x, kx, y, ky = complete_pairs(x, y)
        pair_rows[i, j] = pair_rows[j, i] = x.size
        pair_categories[i, j], pair_categories[j, i] = kx, ky
        # With one category (or none) on either side, V is 0 / 0: the module returns 0.0,
        # which would read as "independent".
        if min(kx, ky) >= 2:
            v[i, j] = v[j, i] = 1.0 if i == j else kernels.cramers_v(x, y, kx, ky)
    return Profile(
        missing,
        kernels.summary(table.matrix),
        z_flags,
        present,
        [kernels.rare_flags(codes, len(labels), rare) for codes, labels in categorical.values()],
        v_columns,
        v,
        pair_rows,
        pair_categories,
    )


def reported(profile: Profile, j: int) -> tuple[dict[str, float], Codes]:
    """Column j's statistics and z flags over its non-missing values."""
    stats, flags = profile.present.get(j, (profile.stats, profile.z_flags[j]))
    column = 0 if j in profile.present else j
    return {key: float(stats[key][column]) for key in STATS}, flags


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
    latency[planted(rows // 4000)] *= 8  # slow requests
    basket = rng.gamma(2.0, 20.0, rows).round(2)
    basket[planted(rows // 1000)] = np.nan  # not recorded
    temperature = rng.normal(21.0, 2.5, rows)
    temperature[planted(rows // 25000)] = 85.0  # a stuck sensor

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


def best_of(runs: int, fn: Callable[[], T]) -> tuple[float, T]:
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - start)
    return min(times), result


def short(name: str, width: int = NAME_WIDTH) -> str:
    return name if len(name) <= width else name[: width - 1] + "…"


def wrapped(text: str, indent: str = "  ") -> str:
    return textwrap.fill(text, WIDTH, subsequent_indent=indent, break_on_hyphens=False)


def listing(start: str, items: list[str], indent: str = "    ") -> str:
    """start, then the items separated by commas, wrapped between items, not inside one."""
    lines = [start]
    for k, item in enumerate(items):
        item += "," if k < len(items) - 1 else ""
        if len(lines[-1]) + 1 + len(item) > WIDTH:
            lines.append(indent + item)
        else:
            lines[-1] += " " + item
    return "\n".join(lines)


def print_numeric(table: Table, profile: Profile, z: float) -> None:
    if not table.numeric:
        return
    width = max(len(short(name)) for name in table.numeric + ["column"]) + 2
    print(f"\nNumeric columns: population mean and std; outliers have |z| > {z:g}")
    print(
        f"{'column':<{width}}{'count':>11}{'missing':>9}"
        + "".join(f"{s:>12}" for s in STATS)
        + f"{'outliers':>10}"
    )

    def row(label: str, count: int, missing: str, stats: dict[str, float], flags: Codes) -> str:
        return (
            f"{label:<{width}}{count:>11,}{missing:>9}"
            + "".join(f"{stats[key]:>12.6g}" for key in STATS)
            + f"{int(flags.sum()):>10,}"
        )

    for j, name in enumerate(table.numeric):
        missing = int(profile.missing[j])
        print(row(short(name), table.rows - missing, f"{missing:,}", *reported(profile, j)))
        if j in profile.present:
            all_rows = {key: float(profile.stats[key][j]) for key in STATS}
            print(row("  all rows", table.rows, "", all_rows, profile.z_flags[j]))


def print_categorical(table: Table, profile: Profile, rare: float) -> None:
    if not table.categorical:
        return
    width = max(len(short(name)) for name in list(table.categorical) + ["column"]) + 2
    limit = f"{table.rows * rare:,.2f}".rstrip("0").rstrip(".")
    print(f"\nCategorical columns: rare = seen fewer than {limit} times ({rare:.3g} of the rows)")
    print(f"{'column':<{width}}{'categories':>11}{'missing':>9}{'rare':>9}   rare categories")
    room = WIDTH - width - 32  # what the four columns before the rare categories leave
    for (name, (codes, labels)), flags in zip(table.categorical.items(), profile.rare_flags):
        missing = int((codes < 0).sum())
        start = f"{short(name):<{width}}{len(labels):>11,}{missing:>9,}"
        if table.id_like(name):
            print(
                f"{start}{'-':>9}   ID-like ({len(labels):,} distinct in {codes.size - missing:,})"
            )
            continue
        counts = np.bincount(codes[codes >= 0], minlength=len(labels))
        rare_codes = np.unique(codes[(flags == 1) & (codes >= 0)])
        rare_codes = rare_codes[np.argsort(counts[rare_codes], kind="stable")]  # rarest first
        listed = ""
        for shown, code in enumerate(rare_codes):
            item = f"{', ' if listed else ''}{short(labels[code])} ({counts[code]:,})"
            # Unless this is the last one, room is kept for saying how many are not listed.
            left = rare_codes.size - shown - 1
            if len(listed + item) + (len(f" and {left:,} more") if left else 0) > room:
                listed += f" and {rare_codes.size - shown:,} more"
                break
            listed += item
        print(f"{start}{int(flags.sum()) - missing:>9,}   {listed}")


def v_cell(value: float, few_rows: bool, width: int) -> str:
    if math.isnan(value):
        return f"{'n/a':>{width - 1}} "
    return f"{value:>{width - 1}.3f}" + ("*" if few_rows else " ")


def print_cramers_v(table: Table, profile: Profile) -> None:
    names = profile.v_columns
    id_like = [name for name in table.categorical if table.id_like(name)]
    many = [name for name in table.categorical if name not in names and name not in id_like]
    if id_like or many:
        print()
    if id_like:
        print(listing("Left out of Cramér's V, ID-like:", id_like))
    if many:
        print(listing(f"Left out of Cramér's V, more than {MAX_V_CATEGORIES:,} categories:", many))
    if len(names) < 2:
        return
    v, rows = profile.cramers_v, profile.pair_rows
    # Only defined values off the diagonal are marked.
    few = (rows < FEW_ROWS_SHARE * table.rows) & ~np.isnan(v)
    np.fill_diagonal(few, False)
    print(
        "\nCramér's V of the categorical columns over the rows where both have a value"
        "\n(0: independent, 1: one determines the other)"
    )
    # Full names as headers when they fit, else numbers, with the matrix in parts if need be.
    width = max(len(name) for name in names + ["1.000"]) + 2
    if width * (len(names) + 1) <= WIDTH:
        labels, headers, cell = names, names, width
    else:
        digits = len(str(len(names)))
        labels = [f"{i + 1:>{digits}} {short(name)}" for i, name in enumerate(names)]
        headers = [str(i + 1) for i in range(len(names))]
        width, cell = max(len(label) for label in labels) + 2, 7
    per_part = (WIDTH - width) // cell
    for first in range(0, len(names), per_part):
        part = range(first, min(first + per_part, len(names)))
        print(" " * width + "".join(f"{headers[j]:>{cell - 1}} " for j in part))
        for i, label in enumerate(labels):
            print(f"{label:<{width}}" + "".join(v_cell(v[i, j], few[i, j], cell) for j in part))

    categories = profile.pair_categories
    single = [name for i, name in enumerate(names) if categories[i, i] < 2]
    if single:
        print(listing("n/a: one category only, in", single))
    for i, j in itertools.combinations(range(len(names)), 2):
        if math.isnan(v[i, j]) and categories[i, i] >= 2 and categories[j, j] >= 2:
            if rows[i, j] == 0:
                why = "no row has a value in both"
            else:
                lone = names[i] if categories[i, j] < 2 else names[j]
                why = f"{lone} has one category in the {rows[i, j]:,} rows with both"
            print(wrapped(f"n/a: {names[i]} with {names[j]}: {why}"))
    if few.any():
        print(f"*: computed on fewer than {FEW_ROWS_SHARE:.0%} of the {table.rows:,} rows:")
        for i, name in enumerate(names):
            # Each pair is listed once, under the column with fewer values.
            partners = [
                f"{names[j]} {rows[i, j]:,}"
                for j in range(len(names))
                if j != i and few[i, j] and (rows[i, i], i) < (rows[j, j], j)
            ]
            if partners:
                print(listing(f"  {short(name)} ({rows[i, i]:,} values) with", partners))


BUILTIN_NOTE = """\
Planted: slow requests in latency_ms, stuck sensor readings of 85 in temperature_c, missing
values in basket_eur and os, the rare countries IS and LU and the rare os HarmonyOS; os
depends on device, plan on country, and channel on nothing."""

MISSING_NOTE = """
Missing values are reported, never dropped silently:
  numeric      A NaN makes calculate_summary_stats give its column mean NaN and std 0 (min and
               max pass over it unless it is in the first row), and makes every z-score flag
               of detect_continuous_outliers 0; an infinity does the same to mean, std and
               flags. The "all rows" line shows that result; the column's own line holds the
               statistics of its non-missing values, passed to the same functions on their own.
  categorical  pd.factorize gives a missing value the code -1, outside 0 ... k-1:
               detect_categorical_outliers flags it (counted as missing, not as rare), and
               calculate_cramers_v would skip its pairs but count them in n, so each V above
               is computed over the rows where both columns have a value."""


def agreement(ours: Profile, theirs: Profile, table: Table) -> str:
    """How far the two profiles are apart: rounding, or more than rounding (where the one-pass
    variance loses digits, or where NumPy's rules for infinities differ)."""
    rounding, apart = 0.0, []
    for j, name in enumerate(table.numeric):
        (a, _), (b, _) = reported(ours, j), reported(theirs, j)
        for key in STATS:
            x, y = a[key], b[key]
            if x == y or (math.isnan(x) and math.isnan(y)):
                continue
            if abs(x - y) <= 1e-9 * max(abs(x), abs(y)):
                rounding = max(rounding, abs(x - y) / max(abs(x), abs(y)))
            else:
                apart.append(f"{name} {key} {x:.6g} vs {y:.6g}")
    pairs = [reported(ours, j)[1] != reported(theirs, j)[1] for j in range(len(table.numeric))]
    pairs += [a != b for a, b in zip(ours.rare_flags, theirs.rare_flags)]
    flags = sum(int(p.sum()) for p in pairs), sum(p.size for p in pairs)
    # Which V are undefined follows from the data alone: the same NaN in both.
    v = float(np.nan_to_num(np.abs(ours.cramers_v - theirs.cramers_v)).max(initial=0.0))
    return (
        f"  same results? flags: {flags[0]:,} of {flags[1]:,} differ; Cramér's V: within"
        f" {v:.1e};\n  statistics: within {rounding:.1e} (relative)"
        + "".join(f"\n    but not within 1e-9: {item}" for item in apart)
    )


def cramers_v_figure(table: Table, profile: Profile) -> Figure:
    # Drawn without pyplot, so no display or GUI backend is involved.
    from matplotlib import colormaps
    from matplotlib.figure import Figure

    names, v, rows = profile.v_columns, profile.cramers_v, profile.pair_rows
    size = 2.5 + 0.9 * len(names)
    fig = Figure(figsize=(size + 1.5, size + 0.5), layout="constrained")
    ax = fig.add_subplot()
    cmap = colormaps["viridis"].with_extremes(bad="lightgrey")  # undefined V
    image = ax.imshow(v, vmin=0.0, vmax=1.0, cmap=cmap)
    ax.set_xticks(range(len(names)), names, rotation=45, ha="right")
    ax.set_yticks(range(len(names)), names)
    notes = set()
    for (i, j), value in np.ndenumerate(v):
        if math.isnan(value):
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
    ax.set_title(f"Cramér's V of the categorical columns\n{table.name}, {table.rows:,} rows")
    if notes:
        fig.supxlabel("\n".join(sorted(notes)), fontsize=8)
    return fig


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        description="Profiles the columns of a table with vantorix_core and times the same "
        "profile in NumPy/pandas."
    )
    parser.add_argument("csv", nargs="?", help="CSV file to profile (default: a built-in table)")
    parser.add_argument("--plot", metavar="FILE.png", help="draw the Cramér's V matrix there")
    parser.add_argument("--rows", type=int, default=1_000_000, help="rows of the built-in table")
    parser.add_argument("--z", type=float, default=4.0, help="z-score threshold (default 4)")
    parser.add_argument(
        "--rare",
        type=float,
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
    args = parser.parse_args(argv)
    if args.plot:
        try:
            import matplotlib  # noqa: F401
        except ImportError:
            parser.error('--plot needs matplotlib: python3 -m pip install ".[plot]"')

    if args.csv:
        try:
            frame = pd.read_csv(args.csv)
        except (OSError, ValueError) as error:
            parser.error(f"cannot read {args.csv}: {error}")
        source = Path(args.csv).name
    else:
        frame = builtin_frame(args.rows)
        source = "the built-in table (seed 2026)"
    if len(frame) == 0:
        parser.error(f"{source} has no rows")
    unknown = set(args.categorical) - set(frame.columns)
    if unknown:
        parser.error(f"no such column: {', '.join(sorted(unknown))}")
    rare = max(RARE_SHARE, 2 / len(frame)) if args.rare is None else args.rare

    encode_s, table = best_of(1, lambda: encode(frame, args.categorical, source))
    ours_s, ours = best_of(3, lambda: run_profile(table, VANTORIX, args.z, rare))
    baseline = baseline_kernels()
    with np.errstate(all="ignore"):  # NumPy warns where a std is 0 or a value infinite
        theirs_s, theirs = best_of(3, lambda: run_profile(table, baseline, args.z, rare))

    print(
        wrapped(
            f"Profile of {source}: {table.rows:,} rows, {len(table.numeric)} numeric and "
            f"{len(table.categorical)} categorical columns"
        )
    )
    if not args.csv:
        print(BUILTIN_NOTE)
    print_numeric(table, ours, args.z)
    print_categorical(table, ours, rare)
    print_cramers_v(table, ours)
    print(MISSING_NOTE)
    print(
        "\nTime for the profile (best of 3; encoding with pd.factorize, "
        f"{encode_s * 1e3:.0f} ms, not included)"
    )
    print(f"  {VANTORIX.name:<16}{ours_s * 1e3:9.1f} ms")
    print(f"  {baseline.name:<16}{theirs_s * 1e3:9.1f} ms   ({theirs_s / ours_s:.1f}x the time)")
    print(agreement(ours, theirs, table))
    print(
        "  (NumPy adds pairwise and takes the variance in two passes; vantorix_core adds in row"
        "\n  order and takes mean of squares - squared mean: see the README, section Exactness)"
    )

    if args.plot:
        if len(ours.v_columns) < 2:
            print(f"\nNo plot: {args.plot} needs two categorical columns or more.")
        else:
            cramers_v_figure(table, ours).savefig(args.plot, dpi=120)
            print(f"\nCramér's V matrix drawn to {args.plot}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
