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
        ("PID", False),  # glued to id, a word needs 5 letters or more
        ("grid", False),
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
    "name, column, identifier",
    [
        ("test_id", counts(7000, 8524), False),  # two groups
        ("user_id", counts(*[3] * 19), False),
        ("user_id", counts(*[3] * 20), True),
        ("users", counts(*[3] * 20), False),
    ],
)
def test_text_named_as_id_needs_the_values_of_one(name, column, identifier):
    assert rules.id_by_name(name, column) is identifier


@pytest.mark.parametrize(
    "labels, rows, shown",
    [
        (
            ["2013-01-01 05:00:00", "2013-12-31 23:59:00"],
            None,
            "2013-01-01 05:00 to 2013-12-31 23:59",
        ),
        (
            ["2013-01-01T10:00:00Z", "2013-01-02T04:00:00Z"],
            None,
            "2013-01-01 10:00 to 2013-01-02 04:00 (UTC)",
        ),
        (["1990-01-01", "1990-02-01", "2000-12-01"], None, "1990-01-01 to 2000-12-01"),
        (["2007-11", "2009-12"], None, "2007-11-01 to 2009-12-01"),
        (["03/29/1958", "12/01/1960"], None, "1958-03-29 to 1960-12-01"),
        (["Jan 1 2000", "Mar 1 2010"], None, "2000-01-01 to 2010-03-01"),
        (["2001-05-06 10:00:01"], None, "2001-05-06 10:00:01"),
        (["9/30/1990 0:00:00", "10/1/1990 13:30:00"], None, "1990-09-30 00:00 to 1990-10-01 13:30"),
        (["1939 Jan", "1940 Feb"], None, "1939-01-01 to 1940-02-01"),
        (["January 1939", "March 1940"], None, "1939-01-01 to 1940-03-01"),
        (["1.5", "2.0", "10.2"], None, None),  # version numbers
        (["2013-01-01", "soon"], None, None),
        (["2013-01-01", "2013-02-30"], None, None),
        (["A-1", "B-2"], None, None),
        # A few unreadable rows, counted: 4 in 1,004 (under 1%), then 11 in 1,011 (over).
        (["2013-01-01", "2013-02-30", "n.d."], [1000, 3, 1], "2013-01-01; 4 unreadable"),
        (["2013-01-01", "2013-02-30", "n.d."], [1000, 3, 8], None),
    ],
)
def test_text_is_dates_if_one_format_reads_nearly_every_row(labels, rows, shown):
    read = rules.parse_dates(labels, None if rows is None else counts(*rows))
    if read is not None:
        assert read.unreadable_rows == sum(rows or []) - (rows or [0])[0]
        assert read.example in ("", *labels)
        unreadable = f"; {read.unreadable_rows} unreadable" if read.unreadable_rows else ""
    assert (None if read is None else rules.date_range(read.dates) + unreadable) == shown


@pytest.mark.parametrize(
    "labels, shown",
    [
        (["11:38:36", "01:02:03", "23:59:59"], "01:02:03 to 23:59:59"),
        (["9:30", "17:00"], "09:30 to 17:00"),
        (["11:38", "noon"], ""),
        (["25:00:00"], ""),
    ],
)
def test_times_of_day(labels, shown):
    assert rules.times_of_day(labels) == shown


def test_timezone_yyyymmdd_and_seconds_since_1970():
    assert rules.date_range(pd.DatetimeIndex(["2013-01-01 10:00"], tz="UTC")) == (
        "2013-01-01 10:00 (UTC)"
    )
    dates = rules.yyyymmdd_dates(np.array([19580329.0, 19580405]))
    assert dates is not None and rules.date_range(dates) == "1958-03-29 to 1958-04-05"
    assert rules.yyyymmdd_dates(np.array([20001399.0, 20001401])) is None  # month 13
    seconds = np.array([1129640000.0, 1129643600.0])
    for name, values in [("timestamp", seconds), ("created_ts", seconds * 1000)]:
        dates = rules.epoch_dates(name, values)
        assert dates is not None and rules.date_range(dates) == (
            "2005-10-18 12:53:20 to 2005-10-18 13:53:20"
        )
    assert rules.epoch_dates("population", seconds) is None
    assert rules.epoch_dates("timestamp", np.array([3.0, 60.0])) is None


DATED = ("year", "value")  # a table that holds the rest of the date


@pytest.mark.parametrize(
    "name, values, others, unit",
    [
        ("year", [2013] * 3, (), "year"),
        ("Model Year", [1970, 1982], (), "year"),
        ("year_built", [1890, 2010], (), "year"),
        ("month", list(range(1, 13)), DATED, "month"),
        ("month", list(range(1, 13)), ("value",), ""),  # no date beside it: months of a span?
        ("dep_hour", [0, 5, 23], ("dep_date",), "hour"),
        ("day", [1, 31], DATED, "day"),
        ("day_of_month", [1, 31], (), "day"),  # the name says it alone
        ("DayOfWeek", [1, 7], (), "day"),
        ("hour of day", [0, 23], (), "hour"),
        ("arrival_date_week_number", [1, 53], DATED, "week"),
        ("stays_in_week_nights", [0, 50], DATED, ""),  # a unit word inside an amount's name
        ("BL.Cig.Day", [1, 30], ("BL.Drks.Day", "age"), ""),
        ("week", [0, 50], ("event", "arm"), ""),
        ("years_married", [2007, 2008], (), ""),  # an amount, not a date
        ("hours", [1, 8, 12], DATED, ""),
        ("month", [1, 13], DATED, ""),  # out of the unit's range
        ("Model Year", [70, 82], (), ""),
    ],
)
def test_calendar_fields_are_named_placed_and_in_range(name, values, others, unit):
    assert rules.calendar_unit(name, np.array(values, dtype=float), others) == unit


@pytest.mark.parametrize(
    "labels, marker",
    [
        (["1.5", ".", "23.39", "-2e3"], "."),
        (["17", "-", "4"], "-"),
        (["17", "?"], "?"),
        (["3.1", "n/a", "4"], "n/a"),
        (["3.1", "Missing", "4"], "Missing"),
        (["3.1", "4"], None),  # no marker: read as numbers already
        (["3.1", ".", "-", "4"], None),  # two markers
        (["3.1", "high", "4"], None),  # a word is no marker
        (["007", "012", "-"], None),  # leading zeros: codes
        (["inf", "1", "."], None),
        (["a", "b", "."], None),
    ],
)
def test_numbers_with_one_missing_value_marker(labels, marker):
    marked = rules.numbers_with_marker(labels)
    assert (None if marked is None else marked[0]) == marker
    if marked is not None:
        expected = [np.nan if x == marker else float(x) for x in labels]
        np.testing.assert_array_equal(marked[1], expected)


@pytest.mark.parametrize(
    "name, others, coded",
    [
        ("target", ("target_name", "x"), "target_name"),
        ("species", ("Species Label",), "Species Label"),
        ("state_code", ("state", "pop"), "state"),
        ("target", ("target_count",), ""),
        ("state_pop", ("state",), ""),
        ("zip", (), "-"),
        ("county_FIPS", (), "-"),
        ("ZipCode", (), "-"),
        ("postcode", (), "-"),
        ("zipper_size", (), ""),
        ("policePrecinct", (), ""),  # not caught: a code column need not be named so
    ],
)
def test_codes_by_name_or_by_the_column_that_names_them(name, others, coded):
    found = rules.coded_by(name, others) or ("-" if rules.named_as_code(name) else "")
    assert found == coded


@pytest.mark.parametrize(
    "name, row_names",
    [
        ("Unnamed: 0", True),
        ("rownames", True),
        ("row.names", True),
        ("Row_Names", True),
        ("...1", True),
        ("index", True),
        ("X", False),
        ("indexes", False),
        ("price index", False),
    ],
)
def test_the_names_row_names_get(name, row_names):
    assert rules.row_names(name) is row_names


@pytest.mark.parametrize(
    "column, limit, tail",
    [
        (counts(*[1] * 165, 500, 400), 10.0, True),  # 165 of 167 categories
        (counts(*[1] * 11, *[50] * 10), 2.0, True),
        (counts(*[1] * 10, *[50] * 5), 2.0, False),  # 10 only: listed
        (counts(*[1] * 20, *[50] * 20), 2.0, False),  # half, not most
        (counts(64, 8, 7, 1), 2.0, False),
    ],
)
def test_most_categories_under_the_limit_make_a_long_tail(column, limit, tail):
    assert rules.long_tail(column, limit) is tail


@pytest.mark.parametrize(
    "x, y, same",
    [
        ([0, 1, 2, 0, 1, 2], [2, 0, 1, 2, 0, 1], True),
        ([0, 1, 2, 0, 1, 2], [0, 0, 1, 0, 0, 1], False),  # x determines y, not back
        ([0, 0, 1, 1], [0, 1, 0, 1], False),
        ([0, 1], [1, 0], True),
    ],
)
def test_one_to_one_pairs(x, y, same):
    x, y = np.array(x, np.int8), np.array(y, np.int16)
    assert rules.one_to_one(x, y, int(x.max()) + 1, int(y.max()) + 1) is same
    assert rules.one_to_one(y, x, int(y.max()) + 1, int(x.max()) + 1) is same


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
