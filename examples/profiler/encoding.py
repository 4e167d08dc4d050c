"""A frame typed column by column and encoded once for the kernels: measurements as float
arrays, categories as small integer codes with their counts, and the rest (dates, identifiers,
calendar fields, row counters) named for what they hold."""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import pandas as pd
from numpy.typing import NDArray

from . import rules
from .format import count, label, percent

Data = NDArray[np.floating[Any]]  # a measurement as the frame holds it: float16, 32 or 64
Codes = NDArray[np.signedinteger[Any]]  # 0 … k − 1, −1 for a missing value

# A Cramér's V table has one cell per pair of categories: columns with more categories than
# this (free text, say) get rare values but are left out of the matrix.
MAX_V_CATEGORIES = 1000
# With fewer than this many values per category on average, a column's counts say nothing:
# no category is common enough for another to stand out as rare, and a contingency table
# with it is too sparse for χ² (the usual rule wants expected counts of 5 or more). Such a
# column gets no rare values and no Cramér's V, nor does a pair whose table has fewer rows
# than this per cell.
MIN_PER_CELL = 5


@dataclass
class Categorical:
    """A column's categories in order of appearance, their codes and counts."""

    codes: Codes
    labels: list[str]
    counts: NDArray[np.int64]
    missing: int

    @property
    def values(self) -> int:
        return self.codes.size - self.missing

    def too_many(self) -> bool:
        """Whether the column has too few values per category for its counts to say much."""
        return len(self.labels) >= 2 and self.values < MIN_PER_CELL * len(self.labels)

    def left_out(self) -> str:
        """Why the column gets no Cramér's V ('' if it gets one)."""
        k = len(self.labels)
        if k < 2:
            return "one category only" if k else "no values"
        if self.too_many():
            return "too many categories for their rows"
        return f"more than {MAX_V_CATEGORIES:,} categories" if k > MAX_V_CATEGORIES else ""

    def counted(self) -> bool:
        """Whether the column gets rare values."""
        return len(self.labels) >= 2 and not self.too_many()


@dataclass
class Measurement:
    values: Data  # NaN where a value is missing
    missing: int
    marker: str | None = None  # the text that stood for a missing value, if it was text


@dataclass
class Other:
    """A column that is neither a measurement nor a set of categories: what it holds."""

    kind: str  # "dates", "times", "identifier", "code", "row counter", or a calendar unit
    missing: int
    what: str


@dataclass
class Table:
    name: str
    rows: int
    columns: int
    measurements: dict[str, Measurement] = field(default_factory=dict)
    categorical: dict[str, Categorical] = field(default_factory=dict)
    other: dict[str, Other] = field(default_factory=dict)

    def v_columns(self) -> list[str]:
        """The categorical columns that get a Cramér's V with each other."""
        return [name for name, column in self.categorical.items() if not column.left_out()]


def float_type(dtype: Any) -> np.dtype[Any]:
    """The NumPy type a numeric column is handed over in: its own if it is a float type
    (pandas' nullable and pyarrow types name their NumPy twin), else float64."""
    own = np.dtype(getattr(dtype, "numpy_dtype", dtype))
    return own if own.kind == "f" else np.dtype(np.float64)


def small_codes(codes: NDArray[np.intp], k: int) -> Codes:
    """The codes in the narrowest signed type that holds them: the kernels read int8 and
    int16 in place, and every copy of them is cheaper."""
    for dtype in (np.int8, np.int16, np.int32):
        if k <= np.iinfo(dtype).max:
            narrow: Codes = codes.astype(dtype)
            return narrow
    return codes


def categories(series: pd.Series[Any]) -> Categorical:
    # pd.factorize lists only the categories that occur, in order of appearance.
    codes, values = pd.factorize(series)
    labels = list(map(str, values.tolist()))
    small = small_codes(codes, len(labels))
    counts = np.bincount(small + 1, minlength=len(labels) + 1)  # the narrow type holds k
    return Categorical(small, labels, counts[1:], int(counts[0]))


def numeric_kind(
    name: str, values: Data, missing: int, integers: bool, others: Sequence[str] = ()
) -> Other | None:
    """What a numeric column holds if it is no measurement, else None; integers says that
    its type holds whole numbers only, others names the table's other columns."""
    # Most measurements show a fraction in their first values: no copy of them is made then.
    if missing == values.size or not (integers or rules.whole_numbers(values)):
        return None
    present = values[~np.isnan(values)] if missing else values
    unit = rules.calendar_unit(name, present, others)
    # Years read best without a thousands separator.
    low, high = (f"{x:{'' if unit == 'year' else ','}.0f}" for x in (present.min(), present.max()))
    span = low if low == high else f"{low} to {high}"
    distinct = f"{np.unique(present).size:,} distinct"
    if rules.named_as_id(name):
        return Other("identifier", missing, f"{distinct}, {span}")
    if unit:
        return Other(unit, missing, f"{unit}s {span}")
    for dates, how in (
        (rules.yyyymmdd_dates(present), "YYYYMMDD"),
        (rules.epoch_dates(name, present), "seconds since 1970"),
    ):
        if dates is not None:
            return Other("dates", missing, f"{how}, {rules.date_range(dates)}")
    coded = rules.coded_by(name, others)
    if coded or rules.named_as_code(name):
        named = f", named in {coded}" if coded else ""
        return Other("code", missing, f"{distinct}, {span}{named}")
    ones, steps = rules.counter_steps(present)
    if steps:
        every = f"{ones:,} of {steps:,} steps ({percent(ones, steps)})"
        every = "every step" if ones == steps else every
        return Other("row counter", missing, f"{span}, up by 1 at {every}")
    if rules.row_names(name) and np.unique(present).size == present.size:
        return Other("identifier", missing, f"{distinct}, {span}, as row names")
    return None


def text_kind(name: str, column: Categorical) -> Other | None:
    """What a text column holds if it is no set of categories, else None."""
    read = rules.parse_dates(column.labels, column.counts)
    if read is not None:
        what = rules.date_range(read.dates)
        if read.unreadable_rows:
            bad = count(read.unreadable_rows, "row")
            what += f"; {bad} not a date (such as {label(read.example)})"
        return Other("dates", column.missing, what)
    times = rules.times_of_day(column.labels)
    if times:
        return Other("times", column.missing, f"times of day, {times}")
    k = len(column.labels)
    unique = "each once" if k == column.values else f"in {column.values:,} values"
    if rules.row_names(name) and k == column.values:
        return Other("identifier", column.missing, f"{k:,} distinct, as row names")
    if rules.id_by_content(column.counts) or rules.id_by_name(name, column.counts):
        return Other("identifier", column.missing, f"{k:,} distinct {unique}")
    return None


def marked_numbers(column: Categorical) -> tuple[Data, str] | None:
    """A text column of numbers and one missing-value marker as floats, NaN where the value
    was missing or the marker, with the marker; else None."""
    marked = rules.numbers_with_marker(column.labels)
    if marked is None:
        return None
    marker, numbers = marked
    # Code -1, a missing value, takes the NaN put after the labels' numbers.
    values: Data = np.append(numbers, np.nan)[column.codes]
    return values, marker


def encode(frame: pd.DataFrame, categorical: Sequence[str] = (), name: str = "data") -> Table:
    """The frame typed and encoded; the columns named in categorical are taken as categories
    whatever they hold."""
    table = Table(name, len(frame), frame.shape[1])
    names = [str(column) for column in frame.columns]
    for column in frame.columns:
        series, label = frame[column], str(column)
        dtype = series.dtype
        if label in categorical:
            table.categorical[label] = categories(series)
        elif pd.api.types.is_datetime64_any_dtype(dtype):
            dates = pd.DatetimeIndex(series)
            missing = int(np.count_nonzero(dates.isna()))
            table.other[label] = Other("dates", missing, rules.date_range(dates))
        elif pd.api.types.is_numeric_dtype(dtype) and not pd.api.types.is_bool_dtype(dtype):
            values = series.to_numpy(dtype=float_type(dtype), na_value=np.nan)
            missing = int(np.count_nonzero(np.isnan(values)))
            integers = pd.api.types.is_integer_dtype(dtype)
            other = numeric_kind(label, values, missing, integers, names)
            if other:
                table.other[label] = other
            else:
                table.measurements[label] = Measurement(values, missing)
        else:
            encoded = categories(series)
            numbers = marked_numbers(encoded)
            if numbers is not None:
                values, marker = numbers
                missing = int(np.count_nonzero(np.isnan(values)))
                other = numeric_kind(label, values, missing, False, names)
                if other:
                    table.other[label] = other
                else:
                    table.measurements[label] = Measurement(values, missing, marker)
                continue
            other = text_kind(label, encoded)
            if other:
                table.other[label] = other
            else:
                table.categorical[label] = encoded
    return table
