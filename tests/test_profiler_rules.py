"""The profiler's judgements: rare, dates, identifiers, calendar fields and row counters."""

import numpy as np
import pandas as pd
import pytest
from profiler import rules

import vantorix_core as vc


def counts(*values):
    return np.array(values, dtype=np.int64)


@pytest.mark.parametrize(
    "column, share, rare",
    [
        # 142 categories of 12 values each: none stands out, whatever 1% of the rows is.
        (counts(*[12] * 142), None, []),
        # Mostly missing: PG is 10.7% of the rated films, NC-17 0.3%.
        (counts(3377, 1003, 528, 16), None, [16]),
        # A category seen once in 80 values is rare; seen 7 times it is not.
        (counts(64, 8, 7, 1), None, [1]),
        # Seen once, among categories seen at most twice: nothing stands out.
        (counts(*[2] * 30, *[1] * 10), None, []),
        # Thousands of small categories of a long column: a tenth of the typical one.
        (counts(*[100] * 3000, *[9] * 50, *[10] * 50), None, [9] * 50),
        (counts(500, 400, 40, 30), 0.1, [40, 30]),
        (counts(500, 400, 40, 30), 0.035, [30]),
        (counts(), None, []),
    ],
)
def test_rare_is_relative_to_the_columns_categories(column, share, rare):
    limit = rules.rare_limit(column, share)
    assert sorted(column[column < limit].tolist(), reverse=True) == rare


@pytest.mark.parametrize("limit", [0.5, 1.0, 1.9, 2.0, 6.4, 7.000000000000001, 3342.88])
@pytest.mark.parametrize("rows", [40, 100, 336_776])
def test_kernel_threshold_flags_exactly_the_counts_below_the_limit(limit, rows):
    k = 40
    codes = np.arange(rows) % k
    codes[rows // 2 :] = 0  # counts from 1 up, and one big category
    tally = np.bincount(codes, minlength=k)
    flags = vc.detect_categorical_outliers(codes, k, rules.kernel_threshold(limit, rows))
    np.testing.assert_array_equal(flags, (tally < limit)[codes])


@pytest.mark.parametrize(
    "name, identifier",
    [
        ("id", True),
        ("ID", True),
        ("movieId", True),
        ("subject_id", True),
        ("Individual ID", True),
        ("schoolid1", True),
        ("userID", True),
        ("PatientIDNumber", True),
        ("order-uuid", True),
        ("valid", False),
        ("paid", False),
        ("humidity", False),
        ("idle_time", False),
        ("Solid fuel", False),
        ("medicaid", False),
        ("Android version", False),
        ("uid", True),
        ("width", False),
    ],
)
def test_identifiers_are_named_in_any_case_and_separator(name, identifier):
    assert rules.named_as_id(name) is identifier


@pytest.mark.parametrize(
    "column, identifier",
    [
        (counts(*[1] * 20), True),
        (counts(*[1] * 16, 2, 2), True),  # 18 distinct in 20
        (counts(*[1] * 16, 4), False),
        (counts(*[1] * 10), False),  # too few values to say
    ],
)
def test_text_that_is_distinct_in_nearly_every_row_is_an_identifier(column, identifier):
    assert rules.id_by_content(column) is identifier


@pytest.mark.parametrize(
    "labels, shown",
    [
        (["2013-01-01 05:00:00", "2013-12-31 23:59:00"], "2013-01-01 05:00 to 2013-12-31 23:59"),
        (
            ["2013-01-01T10:00:00Z", "2013-01-02T04:00:00Z"],
            "2013-01-01 10:00 to 2013-01-02 04:00 (UTC)",
        ),
        (["1990-01-01", "1990-02-01", "2000-12-01"], "1990-01-01 to 2000-12-01"),
        (["2007-11", "2009-12"], "2007-11-01 to 2009-12-01"),
        (["03/29/1958", "12/01/1960"], "1958-03-29 to 1960-12-01"),
        (["Jan 1 2000", "Mar 1 2010"], "2000-01-01 to 2010-03-01"),
        (["2001-05-06 10:00:01"], "2001-05-06 10:00:01"),
        (["1.5", "2.0", "10.2"], None),  # version numbers
        (["2013-01-01", "soon"], None),
        (["2013-01-01", "2013-02-30"], None),
        (["A-1", "B-2"], None),
    ],
)
def test_text_is_dates_only_if_every_value_parses(labels, shown):
    dates = rules.parse_dates(labels)
    assert (None if dates is None else rules.date_range(dates)) == shown


def test_timezone_and_yyyymmdd():
    assert rules.date_range(pd.DatetimeIndex(["2013-01-01 10:00"], tz="UTC")) == (
        "2013-01-01 10:00 (UTC)"
    )
    dates = rules.yyyymmdd_dates(np.array([19580329.0, 19580405]))
    assert dates is not None and rules.date_range(dates) == "1958-03-29 to 1958-04-05"
    assert rules.yyyymmdd_dates(np.array([20001399.0, 20001401])) is None  # month 13


@pytest.mark.parametrize(
    "name, values, unit",
    [
        ("year", [2013] * 3, "year"),
        ("Model Year", [1970, 1982], "year"),
        ("month", list(range(1, 13)), "month"),
        ("dep_hour", [0, 5, 23], "hour"),
        ("day", [1, 31], "day"),
        ("years_married", [2007, 2008], ""),  # an amount, not a date
        ("hours", [1, 8, 12], ""),
        ("month", [1, 13], ""),  # out of the unit's range
        ("Model Year", [70, 82], ""),
    ],
)
def test_calendar_fields_by_singular_unit_and_range(name, values, unit):
    assert rules.calendar_unit(name, np.array(values, dtype=float)) == unit


@pytest.mark.parametrize(
    "values, steps",
    [
        (np.arange(1, 101), (99, 99)),
        (np.arange(0, 10), (9, 9)),
        (np.r_[1:153, 1:69, 1:125], (341, 343)),  # one count per study, restarted
        (np.arange(5, 100), (0, 0)),  # does not start at 0 or 1
        (np.arange(1565, 1825, 5), (0, 0)),
        (np.r_[1:6, 20:25, 40:45], (0, 0)),  # 12 of 14 steps: under 90%
        (np.array([1, 2]), (0, 0)),
    ],
)
def test_row_counters_count_rows(values, steps):
    assert rules.counter_steps(values.astype(float)) == steps


@pytest.mark.parametrize(
    "values, whole",
    [
        ([1.0, 2.0, np.nan], True),
        ([1.0, 2.5], False),
        ([1.0, np.inf], False),
        ([1.0] * 1000 + [0.5], False),  # past the first look
    ],
)
def test_whole_numbers(values, whole):
    assert rules.whole_numbers(np.array(values)) is whole
