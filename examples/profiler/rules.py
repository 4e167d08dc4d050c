"""The judgements a profile makes about a column: what is rare, what holds dates, what names
an identifier, what counts rows. Each rule is one function, its thresholds beside it."""

from __future__ import annotations

import math
import re
from collections.abc import Collection, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import numpy as np
from numpy.typing import NDArray

if TYPE_CHECKING:  # pandas is imported where dates are read: a profile without any skips it
    import pandas as pd

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


# When more than LONG_TAIL_SHARE of a column's categories, and more than LONG_TAIL_MIN, fall
# under its limit, the column has a long tail of small categories rather than a few rare ones:
# the report says so instead of listing them.
LONG_TAIL_SHARE = 0.5
LONG_TAIL_MIN = 10


def rare_categories(counts: Counts, limit: float) -> int:
    """How many categories are seen fewer times than the limit."""
    return int(np.count_nonzero(counts < limit))


def long_tail(counts: Counts, limit: float) -> bool:
    """Whether most of the column's categories fall under its rare limit."""
    rare = rare_categories(counts, limit)
    return rare > LONG_TAIL_MIN and rare > LONG_TAIL_SHARE * counts.size


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


# The names row names get in a CSV file: R's write.csv leaves the column unnamed (pandas
# reads "Unnamed: 0", R's read.csv "X", readr "...1"); others write "rownames",
# "row.names" or "row_names"; pandas' reset_index() names it "index".
ROW_NAMES = re.compile(r"Unnamed: \d+|\.\.\.1|rownames|row[._ ]names|index", re.IGNORECASE)


def row_names(name: str) -> bool:
    """Whether the name is one that row names get when a table is written with them."""
    return ROW_NAMES.fullmatch(name.strip()) is not None


def id_by_content(counts: Counts) -> bool:
    """Whether a text column's values, by their counts, make it an identifier."""
    present, k = int(counts.sum()), counts.size
    return k >= 2 and present >= ID_MIN_VALUES and k >= ID_SHARE * present


def id_by_name(name: str, counts: Counts) -> bool:
    """Whether a text column named as an identifier holds enough distinct values to be one:
    with fewer than ID_MIN_VALUES (a test_id of 2 values), it names groups, categories."""
    return named_as_id(name) and counts.size >= ID_MIN_VALUES


# --- codes -----------------------------------------------------------------------------------
# Whole numbers that stand for something else: a column whose name has one of these words
# (zip, FIPS, postcode ...), or one beside a text column that names its values: "target"
# beside "target_name", "state_code" beside "state".
CODE_WORDS = frozenset({"code", "codes", "zip", "zipcode", "postcode", "fips", "postal"})
NAME_WORDS = frozenset({"name", "names", "label", "labels", "desc", "description", "title"})
CODE_SUFFIXES = frozenset({"code", "cd", "key"})


def named_as_code(name: str) -> bool:
    """Whether a word of the name says the numbers are codes (zip_code, FIPS, postcode)."""
    return any(
        word in CODE_WORDS or (word.endswith("code") and word.isalpha())
        for word in name_words(name)
    )


def coded_by(name: str, others: Collection[str]) -> str:
    """The other column that names this column's codes ('' if none): one whose name is this
    one's and a naming word (target and target_name), or this one's without a code word at
    its end (state_code and state)."""
    words = name_words(name)
    for other in others:
        theirs = name_words(other)
        if other == name or not theirs:
            continue
        if theirs[:-1] == words and theirs[-1] in NAME_WORDS:
            return other
        if words[:-1] == theirs and words[-1] in CODE_SUFFIXES:
            return other
    return ""


# --- dates -----------------------------------------------------------------------------------
# Text is tried as dates when nearly every value has a date's shape: digits with - / . between
# them, a month name beside a day or a year (Mar 29 1958, 1939 Jan). Then one format must read
# all but at most UNREADABLE_SHARE of the rows: ISO 8601 first (2013-01-01, 2013-01-01
# 05:00:00, 2013-01-01T10:00:00Z, 2013-01), then the common others, with or without a time of
# day. The rows no format reads are counted and named, not hidden: a few malformed rows do not
# make a date column something else.
MONTH = (
    r"(?i:jan(uary)?|feb(ruary)?|mar(ch)?|apr(il)?|may|june?|july?|aug(ust)?|sept?(ember)?"
    r"|oct(ober)?|nov(ember)?|dec(ember)?)\.?"
)
DATE_SHAPE = re.compile(rf"\s*(\d{{1,4}}[-/.]\d{{1,2}}|{MONTH} \d{{1,4}}\b|\d{{1,4}} {MONTH})")
DAY_FORMATS = ("%m/%d/%Y", "%d/%m/%Y", "%Y/%m/%d", "%d.%m.%Y", "%m-%d-%Y", "%d-%m-%Y")
DATE_FORMATS = (
    "ISO8601",
    *(day + time for day in DAY_FORMATS for time in ("", " %H:%M", " %H:%M:%S")),
    *("%b %d %Y", "%B %d %Y", "%b %d, %Y", "%B %d, %Y", "%d %b %Y", "%d %B %Y"),
    *("%Y %b", "%Y %B", "%b %Y", "%B %Y"),
)
UNREADABLE_SHARE = 0.01
# Times of day alone, 11:38 or 11:38:36, are read as such, shown without a date.
TIME_SHAPE = re.compile(r"\s*\d{1,2}:\d{2}(:\d{2}(\.\d+)?)?\s*$")
# Seconds (or milliseconds) since 1970 in a column named by one of these words, from 1973
# (10^8 seconds) to 2100, read as the dates they count to.
EPOCH_WORDS = frozenset({"timestamp", "epoch", "unixtime", "unix", "ts"})
EPOCH_SECONDS = (1e8, 4.1e9)
YYYYMMDD = (1000_01_01, 9999_12_31)  # whole numbers read as dates


@dataclass
class ReadDates:
    """Text read as dates: the dates of the rows read, and those that no format reads."""

    dates: pd.DatetimeIndex  # one per label read
    unreadable_rows: int
    example: str  # one of the labels not read ('' if every one is)


def parse_dates(labels: Sequence[str], counts: Counts | None = None) -> ReadDates | None:
    """The labels as dates, if one format reads all but at most UNREADABLE_SHARE of the rows
    (counts: the rows of each label, 1 each if None); else None."""
    if not labels:
        return None
    rows = np.ones(len(labels), np.int64) if counts is None else counts
    allowed = UNREADABLE_SHARE * int(rows.sum())
    shaped = np.ones(len(labels), bool)
    unshaped_rows = 0
    for k, label in enumerate(labels):
        if DATE_SHAPE.match(label) is None:
            shaped[k] = False
            unshaped_rows += int(rows[k])
            # Text that is no dates fails here, on its first labels.
            if unshaped_rows > allowed:
                return None
    candidates = [label for label, ok in zip(labels, shaped) if ok]
    import pandas as pd

    for date_format in DATE_FORMATS:
        # A format that misreads most of the first labels is no better on all of them.
        if not readable(candidates[:DATE_SAMPLE], date_format):
            continue
        try:
            dates = pd.DatetimeIndex(
                pd.to_datetime(candidates, format=date_format, errors="coerce")
            )
        except (ValueError, TypeError, OverflowError):
            continue
        read = np.zeros(len(labels), bool)
        read[np.flatnonzero(shaped)] = ~np.asarray(dates.isna())
        bad = int(rows[~read].sum())
        if read.any() and bad <= allowed:
            example = next((label for label, ok in zip(labels, read) if not ok), "")
            return ReadDates(dates.dropna(), bad, example)
    return None


DATE_SAMPLE = 64


def readable(labels: list[str], date_format: str) -> bool:
    """Whether the format reads at least half of the labels."""
    import pandas as pd

    try:
        dates = pd.to_datetime(labels, format=date_format, errors="coerce")
    except (ValueError, TypeError, OverflowError):
        return False
    return 2 * int(np.count_nonzero(~np.asarray(pd.isna(dates)))) >= len(labels)


def times_of_day(labels: Sequence[str]) -> str:
    """The first and last of labels that are all times of day ('' if they are not)."""
    if not labels or not all(TIME_SHAPE.match(label) for label in labels):
        return ""
    import pandas as pd

    for time_format in ("%H:%M:%S", "%H:%M", "%H:%M:%S.%f"):
        try:
            times = pd.to_datetime(list(labels), format=time_format)
        except (ValueError, TypeError):
            continue
        unit = "%H:%M" if time_format == "%H:%M" else "%H:%M:%S"
        first, last = times.min().strftime(unit), times.max().strftime(unit)
        return first if first == last else f"{first} to {last}"
    return ""


def epoch_dates(name: str, values: Values) -> pd.DatetimeIndex | None:
    """Whole numbers of seconds or milliseconds since 1970 in a column named as a timestamp,
    as dates; else None."""
    if values.size == 0 or not EPOCH_WORDS & set(name_words(name)):
        return None
    import pandas as pd

    low, high = float(values.min()), float(values.max())
    for scale in (1.0, 1e3):  # seconds, then milliseconds
        if EPOCH_SECONDS[0] * scale <= low and high <= EPOCH_SECONDS[1] * scale:
            seconds = np.unique(values).astype(np.int64) // int(scale)
            return pd.DatetimeIndex(pd.to_datetime(seconds, unit="s"))
    return None


def yyyymmdd_dates(values: Values) -> pd.DatetimeIndex | None:
    """Whole numbers that all read as YYYYMMDD dates, as dates; else None."""
    if values.size == 0 or values.min() < YYYYMMDD[0] or values.max() > YYYYMMDD[1]:
        return None
    import pandas as pd

    text = pd.Series(np.unique(values).astype(np.int64)).astype(str)
    dates = pd.to_datetime(text, format="%Y%m%d", errors="coerce")
    return None if dates.isna().any() else pd.DatetimeIndex(dates)


def date_range(dates: pd.DatetimeIndex) -> str:
    """First to last date, to the precision the dates have."""
    import pandas as pd

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
# A whole-number column is a calendar field, whose mean is no measurement, when its name says a
# place in the calendar and its values lie in that place's range. A year is the word `year`
# anywhere in the name (Model Year, year_built): no amount in years reaches 1000. A smaller
# unit must end the name (month, dep_hour), alone or before a word of numbering (week_number),
# or be followed by "of" and a larger unit (day_of_month, hour of day); and, unless it is
# such a "day of month", the table must hold the rest of the date beside it: another column
# named by a larger calendar unit (a year beside a month) or as a date or time. A unit word
# inside a longer name (stays_in_week_nights) or a unit of a table with no date (a week of
# weeks to an event, cigarettes a Day) is an amount. A plural, "years" or "hours", names an
# amount too.
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
NUMBERING_WORDS = frozenset({"number", "num", "no", "nr"})
DATE_WORDS = frozenset({"date", "datetime", "time", "timestamp"})


def unit_in_name(name: str) -> tuple[str, bool]:
    """The calendar unit the name places its values in ('' if none), and whether the name
    alone says so (a year, or "day of month"), without a date beside it."""
    words = name_words(name)
    if "year" in words:
        return "year", True
    for k, word in enumerate(words):
        rest = words[k + 1 :]
        if word not in CALENDAR_UNITS:
            continue
        if len(rest) == 2 and rest[0] == "of" and rest[1] in CALENDAR_UNITS:
            return word, True
        if not rest or (len(rest) == 1 and rest[0] in NUMBERING_WORDS):
            return word, False
    return "", False


def calendar_unit(name: str, values: Values, others: Collection[str] = ()) -> str:
    """The calendar unit the column holds ('' if none); values are whole numbers, others the
    names of the table's other columns."""
    unit, alone = unit_in_name(name)
    if not unit or not values.size:
        return ""
    low, high = CALENDAR_UNITS[unit]
    if not (low <= values.min() and values.max() <= high):
        return ""
    order = list(CALENDAR_UNITS)
    dated = any(
        DATE_WORDS & set(name_words(other))
        or order.index(unit_in_name(other)[0] or unit) < order.index(unit)
        for other in others
        if other != name
    )
    return unit if alone or dated else ""


# --- numbers with a missing-value marker -----------------------------------------------------
# Text whose values are all numbers but one, a marker that SAS, Stata or a spreadsheet writes
# for a missing value, is a measurement with that marker as missing. A marker is one of
# these, in any case, or any text without a letter or a digit (".", "-", "?", "*"). Numbers
# with a leading zero ("007") are codes, not amounts: such a column stays text.
MISSING_MARKERS = frozenset({"na", "n/a", "n.a.", "nan", "null", "none", "missing", "nil"})
NUMBER = re.compile(r"\s*[+-]?(\d+\.?\d*|\.\d+)([eE][+-]?\d+)?\s*")
LEADING_ZERO = re.compile(r"\s*[+-]?0\d")


def missing_marker(label: str) -> bool:
    return label.strip().lower() in MISSING_MARKERS or not any(c.isalnum() for c in label)


def numbers_with_marker(labels: Sequence[str]) -> tuple[str, Values] | None:
    """The marker and each label's number (NaN for the marker), if every label is a number
    but one that is a missing-value marker; else None."""
    # Text of words fails on its first labels, before the whole column is parsed.
    if len(labels) < 2 or sum(NUMBER.fullmatch(label) is None for label in labels[:3]) > 1:
        return None
    numbers = NUMBER.fullmatch
    others = [k for k, label in enumerate(labels) if numbers(label) is None]
    if len(others) != 1 or not missing_marker(labels[others[0]]):
        return None
    if any(LEADING_ZERO.match(label) for label in labels):
        return None
    values = np.array([np.nan if k == others[0] else float(x) for k, x in enumerate(labels)])
    return labels[others[0]], values


# A row counter: whole numbers from 0 or 1 that go up by exactly 1 from row to row in at
# least COUNTER_SHARE of the steps (a row number, or one that starts again per group).
COUNTER_SHARE = 0.9


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


# --- pairs of categorical columns ------------------------------------------------------------
def one_to_one(x: NDArray[np.integer[Any]], y: NDArray[np.integer[Any]], kx: int, ky: int) -> bool:
    """Whether two columns' codes (0 … k − 1, rows where both have a value) code the same
    thing: each category of one meets a single category of the other, both ways."""
    if kx != ky or x.size == 0:
        return False
    # The category of y each category of x last meets: x determines y if every row agrees,
    # and then y determines x too if no two categories of x meet the same one.
    meets = np.zeros(kx, np.int64)
    meets[x] = y
    return bool((meets[x] == y).all()) and int(np.unique(meets).size) == kx
