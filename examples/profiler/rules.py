"""The judgements a profile makes about a column: what is rare, what holds dates, what names
an identifier, what counts rows. Each rule is one function, its thresholds beside it."""

from __future__ import annotations

import math
import re
from collections.abc import Sequence
from typing import Any

import numpy as np
import pandas as pd
from numpy.typing import NDArray

Counts = NDArray[np.int64]
Values = NDArray[np.floating[Any]]  # a numeric column, NaN where a value is missing

# --- rare categories -------------------------------------------------------------------------
# A category is rare when it is seen in fewer than RARE_SHARE of the column's present values
# (missing ones do not count) and fewer than RARE_VS_TYPICAL times as often as a typical
# category. Typical is the count of the category that the median value belongs to, so a
# column of many equally small categories (142 countries of 12 rows each) has none rare.
RARE_SHARE = 0.01
RARE_VS_TYPICAL = 0.1
# By default a category seen once is rare in a column of fewer than 200 values, where 1%
# alone would make nothing rare.
RARE_SMALL_COUNT = 2


def typical_count(counts: Counts) -> float:
    """The count of the category that the median present value belongs to (0 if none)."""
    if counts.sum() == 0:
        return 0.0
    ordered = np.sort(counts)
    middle = np.searchsorted(np.cumsum(ordered), ordered.sum() / 2)
    return float(ordered[min(int(middle), ordered.size - 1)])


def rare_limit(counts: Counts, share: float | None = None) -> float:
    """The count below which a category of this column is rare; share of the present values
    (default RARE_SHARE, and at least a count of RARE_SMALL_COUNT)."""
    present = int(counts.sum())
    if share is None:
        by_share = max(RARE_SHARE * present, float(RARE_SMALL_COUNT))
    else:
        by_share = share * present
    return min(by_share, RARE_VS_TYPICAL * typical_count(counts))


def kernel_threshold(limit: float, rows: int) -> float:
    """The fraction that makes detect_categorical_outliers, which compares a count with
    rows × fraction, flag exactly the counts below limit: counts are whole, so a fraction
    that lands half-way between two whole numbers is safe from rounding."""
    return (math.ceil(limit) - 0.5) / rows if rows else 0.0


# --- identifiers -----------------------------------------------------------------------------
ID_WORDS = frozenset({"id", "ids", "uid", "identifier", "identifiers", "uuid", "guid"})
# Words glued to "id" (schoolid, movieid) name an identifier unless they are words of their own:
# those ending in -oid (android, steroid) or -aid (medicaid, afraid), and these.
NOT_ID_ENDINGS = ("oid", "aid")
NOT_ID_WORDS = frozenset(
    "valid invalid solid liquid fluid rapid humid vivid timid rigid lucid lipid hybrid covid"
    " pyramid squid stupid candid cupid david madrid orchid placid florid morbid horrid torrid"
    " tepid insipid intrepid druid squalid splendid sordid languid limpid pallid putrid rancid"
    " turbid euclid".split()
)
# A text column is an identifier by content when nearly all its values differ: ID_SHARE of
# them or more, of ID_MIN_VALUES values or more (a code, a name, a title).
ID_SHARE = 0.9
ID_MIN_VALUES = 20


def name_words(name: str) -> list[str]:
    """The words of a column name in lower case, whatever its case and separators:
    "movieId", "subject_id", "Individual ID", "schoolid1" -> [..., "id"] or [..., "schoolid"]."""
    spaced = re.sub(r"(?<=[a-z])(?=[A-Z])|(?<=[A-Z])(?=[A-Z][a-z])", " ", name)
    spaced = re.sub(r"(?<=[A-Za-z])(?=\d)|(?<=\d)(?=[A-Za-z])", " ", spaced)
    return [word.lower() for word in re.split(r"[^A-Za-z0-9]+", spaced) if word]


def named_as_id(name: str) -> bool:
    """Whether the name says identifier: a word id (ids, identifier, uuid, guid) in any case
    and with any separator, or a word that ends in id glued to another (schoolid)."""
    return any(
        word in ID_WORDS
        or (
            word.endswith("id")
            and len(word) >= 5
            and word.isalpha()
            and not word.endswith(NOT_ID_ENDINGS)
            and word not in NOT_ID_WORDS
        )
        for word in name_words(name)
    )


# pandas names a column with no name in the file "Unnamed: 0" (R writes its row names so).
UNNAMED = re.compile(r"Unnamed: \d+")


def unnamed(name: str) -> bool:
    """Whether the file gave the column no name."""
    return UNNAMED.fullmatch(name) is not None


def id_by_content(counts: Counts) -> bool:
    """Whether a text column's values, by their counts, make it an identifier."""
    present, k = int(counts.sum()), counts.size
    return k >= 2 and present >= ID_MIN_VALUES and k >= ID_SHARE * present


# --- dates -----------------------------------------------------------------------------------
# Text is tried as dates only when every value has a date's shape: digits with - / . between
# them, or a month name beside a day. Then one format must read every value: ISO 8601 first
# (2013-01-01, 2013-01-01 05:00:00, 2013-01-01T10:00:00Z, 2013-01), then the common others.
DATE_SHAPE = re.compile(r"\s*(\d{1,4}[-/.]\d{1,2}|[A-Za-z]{3,9}\.? \d{1,2}\b|\d{1,2} [A-Za-z]{3})")
DATE_FORMATS = ("ISO8601", "%m/%d/%Y", "%d/%m/%Y", "%Y/%m/%d", "%d.%m.%Y", "%b %d %Y", "%d %b %Y")
# YYYYMMDD numbers
YYYYMMDD = (1000_01_01, 9999_12_31)


def parse_dates(labels: Sequence[str]) -> pd.DatetimeIndex | None:
    """The values as dates, if one format reads all of them; else None."""
    if not labels or not all(DATE_SHAPE.match(label) for label in labels):
        return None
    for date_format in DATE_FORMATS:
        try:
            return pd.DatetimeIndex(pd.to_datetime(list(labels), format=date_format))
        except (ValueError, TypeError, OverflowError):
            continue
    return None


def yyyymmdd_dates(values: Values) -> pd.DatetimeIndex | None:
    """Whole numbers that all read as YYYYMMDD dates, as dates; else None."""
    if values.size == 0 or values.min() < YYYYMMDD[0] or values.max() > YYYYMMDD[1]:
        return None
    text = pd.Series(np.unique(values).astype(np.int64)).astype(str)
    dates = pd.to_datetime(text, format="%Y%m%d", errors="coerce")
    return None if dates.isna().any() else pd.DatetimeIndex(dates)


def date_range(dates: pd.DatetimeIndex) -> str:
    """First to last date, to the precision the dates have."""
    present = dates.dropna()
    if present.empty:
        return "no dates"
    times = present - present.normalize()
    if (times == pd.Timedelta(0)).all():
        unit = "%Y-%m-%d"
    elif (present.second == 0).all() and (present.microsecond == 0).all():
        unit = "%Y-%m-%d %H:%M"
    else:
        unit = "%Y-%m-%d %H:%M:%S"
    zone = f" ({present.tz})" if present.tz is not None else ""
    first, last = present.min().strftime(unit), present.max().strftime(unit)
    return (first if first == last else f"{first} to {last}") + zone


# --- calendar fields and row counters --------------------------------------------------------
# A whole-number column named by a singular calendar unit, with values in that unit's range,
# is a calendar field: its mean is no measurement. (A plural, "years" or "hours", names an
# amount and stays a measurement.)
CALENDAR_UNITS = {
    "year": (1000, 2999),
    "quarter": (1, 4),
    "month": (1, 12),
    "week": (0, 53),
    "weekday": (0, 7),
    "day": (1, 31),
    "hour": (0, 24),
    "minute": (0, 59),
}
# A row counter: whole numbers from 0 or 1 that go up by exactly 1 from row to row in at
# least COUNTER_SHARE of the steps (a row number, or one that starts again per group).
COUNTER_SHARE = 0.9


def calendar_unit(name: str, values: Values) -> str:
    """The calendar unit the column holds ('' if none); values are whole numbers."""
    for word in reversed(name_words(name)):
        if word in CALENDAR_UNITS:
            low, high = CALENDAR_UNITS[word]
            inside = values.size and low <= values.min() and values.max() <= high
            return word if inside else ""
    return ""


def counter_steps(values: Values) -> tuple[int, int]:
    """Of the steps from row to row, how many go up by exactly 1, and how many there are, if
    the values count rows (start at 0 or 1, go up by 1 in COUNTER_SHARE of the steps);
    (0, 0) if they do not."""
    if values.size < 3 or values.min() not in (0, 1):
        return 0, 0
    ones = int(np.count_nonzero(np.diff(values) == 1))
    steps = values.size - 1
    return (ones, steps) if ones >= COUNTER_SHARE * steps else (0, 0)


def whole_numbers(values: Values) -> bool:
    """Whether every value present is a finite whole number (NaN is missing); a look at the
    first values settles most measurement columns before the whole column is read."""
    for part in (values[:1000], values):
        present = part[~np.isnan(part)]
        if not np.isfinite(present).all() or (present != np.floor(present)).any():
            return False
    return True
