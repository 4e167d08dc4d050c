"""The profile of an encoded table: statistics and z-score outliers of the measurements, rare
categories, and Cramér's V of each pair of categorical columns over the rows where both have
a value. Every kernel call is independent of the others, so they may run on threads."""

from __future__ import annotations

import itertools
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

import numpy as np
from numpy.typing import NDArray

from . import rules
from .baselines import Flags, Floats, Kernels
from .encoding import MIN_PER_CELL, Categorical, Codes, Data, Measurement, Table, blocks
from .threads import run_all

STATS = ("mean", "std", "min", "max")


@dataclass
class Numeric:
    """A measurement over its present values (NaN is missing)."""

    missing: int
    stats: dict[str, float]
    flags: Flags  # empty where the profile keeps counts only
    outliers: int


@dataclass
class Rare:
    limit: float  # a category seen fewer times than this is rare
    # 1 for a rare category or a missing value; None where no category is rare, which the
    # counts show without a call, or where the profile keeps counts only.
    flags: Flags | None
    codes: Codes  # the rare categories, rarest first
    flagged: int  # rows of a rare category


@dataclass
class Profile:
    numeric: dict[str, Numeric]
    rare: dict[str, Rare]  # per categorical column that gets rare values
    v_columns: list[str]
    # Cramér's V of each pair of v_columns, NaN where it is undefined: a column with fewer
    # than two categories in the rows where both have a value.
    cramers_v: Floats
    pair_rows: NDArray[np.intp]  # [i, j]: rows where both have a value ([i, i]: column i's)
    pair_categories: NDArray[np.intp]  # [i, j]: categories of column i in those rows
    threads: int
    # [i, j]: a pair too sparse for its V whose columns code the same thing (never [i, i]).
    one_to_one: NDArray[np.bool_]

    def sparse_pairs(self) -> NDArray[np.bool_]:
        """[i, j]: too few rows for the cells of the pair's table (never [i, i])."""
        categories = self.pair_categories
        sparse = self.pair_rows < MIN_PER_CELL * categories * categories.T
        np.fill_diagonal(sparse, False)
        return sparse


NO_FLAGS = np.zeros(0, np.int32)


def present_values(column: Measurement, in_place: bool = False) -> Data:
    """The values present (a NaN makes the mean NaN and the std 0, and flags nothing: the
    profile is of the values present). in_place moves them to the front of the column's own
    array, block by block, for a column let go once measured: no second column in memory."""
    values = column.values
    if not column.missing:
        return values
    if not (in_place and values.flags.writeable):
        present: Data = values[~np.isnan(values)]
        return present
    end = 0
    for rows in blocks(values.size):
        block = values[rows]
        kept = block[~np.isnan(block)]
        values[end : end + kept.size] = kept
        end += kept.size
    return values[:end]


def measure(kernels: Kernels, column: Measurement, z: float, keep_flags: bool = True) -> Numeric:
    """Statistics and outliers of a measurement; keep_flags keeps a flag per row (to compare
    them), else only their count is kept."""
    return measure_present(kernels, present_values(column), column.missing, z, keep_flags)


def measure_present(
    kernels: Kernels, present: Data, missing: int, z: float, keep_flags: bool = True
) -> Numeric:
    """measure() of the values present, the measurement's own let go."""
    if present.size == 0:
        return Numeric(missing, {key: np.nan for key in STATS}, NO_FLAGS, 0)
    stats = kernels.summary(present[:, np.newaxis])
    flags = kernels.z_flags(present, z)
    outliers = int(np.count_nonzero(flags))
    return Numeric(
        missing,
        {key: float(stats[key][0]) for key in STATS},
        flags if keep_flags else NO_FLAGS,
        outliers,
    )


def rare(
    kernels: Kernels, column: Categorical, share: float | None, keep_flags: bool = True
) -> Rare:
    limit = rules.rare_limit(column.counts, share)
    if column.counts.min() >= limit:
        return Rare(limit, None, column.codes[:0], 0)
    threshold = rules.kernel_threshold(limit, column.codes.size)
    flags = kernels.rare_flags(column.codes, len(column.labels), threshold)
    # A missing value is flagged as out of range: counted as missing, not as rare.
    rows = (flags == 1) & (column.codes >= 0)
    codes = np.unique(column.codes[rows])
    codes = codes[np.argsort(column.counts[codes], kind="stable")]
    return Rare(limit, flags if keep_flags else None, codes, int(np.count_nonzero(rows)))


class CompletePairs:
    """The codes of two columns over the rows where both have a value, without a mask and a
    copy of every row per pair: the rows where some column misses a value are moved, once per
    column, behind the others (row order does not change a contingency table), so that a
    pair takes the rows before them as they are and picks its own among the few after."""

    def __init__(self, columns: list[Categorical]) -> None:
        self.columns = columns
        self.rows = columns[0].codes.size if columns else 0
        gaps = np.zeros(self.rows, dtype=bool)
        for column in columns:
            if column.missing:
                gaps |= column.codes < 0
        self.gaps = np.flatnonzero(gaps)
        self.complete = self.rows - self.gaps.size
        # Complete rows from the end fill the places of the gaps before them.
        holes = self.gaps[self.gaps < self.complete]
        later = np.ones(self.rows - self.complete, dtype=bool)
        later[self.gaps[self.gaps >= self.complete] - self.complete] = False
        fillers = self.complete + np.flatnonzero(later)
        self.head: list[Codes] = []
        self.tail: list[Codes] = []
        for column in columns if self.gaps.size else []:
            head = column.codes[: self.complete].copy()
            head[holes] = column.codes[fillers]
            self.head.append(head)
            self.tail.append(column.codes[self.gaps])

    def codes(self, i: int, j: int) -> tuple[tuple[Codes, int], tuple[Codes, int]]:
        """The codes of columns i and j where both have a value, each recoded to the
        categories that occur there, and their number."""
        x, y = self.columns[i], self.columns[j]
        if not (x.missing or y.missing):
            return (x.codes, len(x.labels)), (y.codes, len(y.labels))
        both = (self.tail[i] >= 0) & (self.tail[j] >= 0)
        return self._kept(i, both), self._kept(j, both)

    def _kept(self, i: int, both: NDArray[np.bool_]) -> tuple[Codes, int]:
        column, tail = self.columns[i], self.tail[i]
        codes: Codes = np.concatenate((self.head[i], tail[both]))
        dropped = tail[~both]
        # Only a category seen in a dropped row can be gone from the pair's rows.
        left = column.counts - np.bincount(dropped[dropped >= 0], minlength=len(column.labels))
        if left.all():
            return codes, len(column.labels)
        recoded: Codes = (np.cumsum(left > 0) - 1).astype(codes.dtype)[codes]
        return recoded, int(np.count_nonzero(left))


def run_profile(
    table: Table,
    kernels: Kernels,
    z: float,
    share: float | None = None,
    threads: int = 1,
    *,
    measured: dict[str, Numeric] | None = None,
    keep_flags: bool = True,
    done: Callable[[], object] | None = None,
) -> Profile:
    """The profile; share is the rare share of a column's present values (None: the default
    rule), threads the number of threads that run the kernel calls. measured holds the
    measurements profiled already, as their columns were read; keep_flags keeps a flag per row
    (to compare profiles), else only counts; done is called after each kernel call."""
    measured = measured or {}
    names = table.v_columns()
    columns = [table.categorical[name] for name in names]
    pairs = CompletePairs(columns)
    counted = [name for name, column in table.categorical.items() if column.counted()]

    def cramers_v(i: int, j: int) -> tuple[float, int, int, int, bool]:
        (cx, kx), (cy, ky) = pairs.codes(i, j)
        # With one category (or none) on either side, V is 0 / 0: the module returns 0.0,
        # which would read as "independent". A table too sparse for χ² gets no V either, as
        # the report shows none; whether its columns code the same thing is seen directly.
        if min(kx, ky) < 2:
            return np.nan, cx.size, kx, ky, False
        if cx.size < MIN_PER_CELL * kx * ky:
            return np.nan, cx.size, kx, ky, rules.one_to_one(cx, cy, kx, ky)
        return kernels.cramers_v(cx, cy, kx, ky), cx.size, kx, ky, False

    def call(fn: Callable[..., Any], *args: Any) -> Callable[[], Any]:
        def run() -> Any:
            result = fn(*args)
            if done is not None:
                done()
            return result

        return run

    pair_list = list(itertools.combinations(range(len(names)), 2))
    to_measure = [name for name in table.measurements if name not in measured]
    calls = [call(measure, kernels, table.measurements[n], z, keep_flags) for n in to_measure]
    calls += [call(rare, kernels, table.categorical[n], share, keep_flags) for n in counted]
    calls += [call(cramers_v, i, j) for i, j in pair_list]
    results = iter(run_all(calls, threads))

    fresh = {name: next(results) for name in to_measure}
    numeric = {name: measured.get(name) or fresh[name] for name in table.measurements}
    rare_flags = {name: next(results) for name in counted}
    m = len(names)
    v = np.full((m, m), np.nan)
    rows = np.zeros((m, m), dtype=np.intp)
    categories = np.zeros((m, m), dtype=np.intp)
    same = np.zeros((m, m), dtype=bool)
    for i, column in enumerate(columns):
        v[i, i], rows[i, i], categories[i, i] = 1.0, column.values, len(column.labels)
    for (i, j), (vij, n, kx, ky, one) in zip(pair_list, results):
        v[i, j] = v[j, i] = vij
        rows[i, j] = rows[j, i] = n
        categories[i, j], categories[j, i] = kx, ky
        same[i, j] = same[j, i] = one
    return Profile(numeric, rare_flags, names, v, rows, categories, threads, same)
