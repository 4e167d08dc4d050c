"""The profiler's typing and encoding of a frame: what each column is taken for, and codes."""

import numpy as np
import pandas as pd
import pytest

pytest.importorskip("pyarrow", reason="the profiler reads its tables with pyarrow")

from profiler.encoding import encode  # noqa: E402

ROWS = 40


def kinds(frame, **options):
    table = encode(frame, **options)
    kind = {name: "measurement" for name in table.measurements}
    kind |= {name: "categorical" for name in table.categorical}
    return kind | {name: other.kind for name, other in table.other.items()}


@pytest.mark.parametrize(
    "name, values, kind",
    [
        ("price", np.linspace(1, 9, ROWS), "measurement"),
        ("count", np.arange(ROWS) % 7, "measurement"),
        ("movieId", np.arange(ROWS) % 5 * 1000, "identifier"),  # repeated: still an identifier
        ("id", np.linspace(0.5, 9, ROWS), "measurement"),  # not whole numbers
        ("Unnamed: 0", np.arange(1, ROWS + 1), "row counter"),
        ("Unnamed: 0", np.arange(ROWS) * 7 % 41, "identifier"),  # row names kept from a subset
        ("Unnamed: 0", np.arange(ROWS) % 7, "measurement"),
        ("gnp", np.arange(ROWS) * 7 % 41, "measurement"),
        ("day_of_month", np.arange(ROWS) % 31 + 1, "day"),
        ("month", np.arange(ROWS) * 7 % 12 + 1, "measurement"),  # no date beside it
        ("target", np.arange(ROWS) % 3, "measurement"),
        ("zip", np.arange(ROWS) * 37 % 1000 + 10000, "code"),
        ("rownames", np.arange(ROWS) * 7 % 41, "identifier"),
        ("timestamp", np.arange(ROWS) * 3600 + 1_129_640_000, "dates"),
        ("hours", np.arange(ROWS) * 7 % 12 + 1, "measurement"),
        ("year", np.full(ROWS, 2013), "year"),
        ("date", np.full(ROWS, 20130101), "dates"),
        ("when", pd.date_range("2020-01-01", periods=ROWS, freq="h"), "dates"),
        ("when", pd.date_range("2020-01-01", periods=ROWS).astype(str), "dates"),
        ("city", ["Oslo", "Rome"] * (ROWS // 2), "categorical"),
        ("name", [f"person {i}" for i in range(ROWS)], "identifier"),
        ("user_id", [f"u{i % 20}" for i in range(ROWS)], "identifier"),
        ("test_id", ["u1", "u2"] * (ROWS // 2), "categorical"),  # two groups
        ("lab", [".", "1.5", "17.25", "3"] * (ROWS // 4), "measurement"),
        ("lab", [".", "1", "17", "3"] * (ROWS // 4), "measurement"),
        ("lab", [".", "1.5", "high", "3"] * (ROWS // 4), "categorical"),
        ("clock", [f"{i % 24}:{i % 60:02d}" for i in range(ROWS)], "times"),
        ("rownames", [f"car {i % 15}" for i in range(15)] + [None] * (ROWS - 15), "identifier"),
        ("paid", [True, False] * (ROWS // 2), "categorical"),
    ],
)
def test_each_column_is_taken_for_what_it_holds(name, values, kind):
    assert kinds(pd.DataFrame({name: values})) == {name: kind}


@pytest.mark.parametrize(
    "columns, kind",
    [
        ({"year": [2013] * ROWS, "month": np.arange(ROWS) * 7 % 12 + 1}, "month"),
        ({"flight_date": ["2013-01-01"] * ROWS, "hour": np.arange(ROWS) * 7 % 24}, "hour"),
        ({"arm": ["a"] * ROWS, "week": np.arange(ROWS) * 7 % 50}, "measurement"),
        ({"target_name": ["x", "y"] * (ROWS // 2), "target": [0, 1] * (ROWS // 2)}, "code"),
    ],
)
def test_the_columns_beside_one_say_what_it_holds(columns, kind):
    assert kinds(pd.DataFrame(columns))[list(columns)[1]] == kind


def test_numbers_with_a_marker_are_measured_with_the_marker_missing():
    table = encode(pd.DataFrame({"alb": ["4.1", ".", "3.9", None] * 10}))
    alb = table.measurements["alb"]
    assert (alb.marker, alb.missing) == (".", 20)
    np.testing.assert_array_equal(alb.values[:4], [4.1, np.nan, 3.9, np.nan])


def test_dates_with_a_few_unreadable_rows_are_dates():
    when = [str(d.date()) for d in pd.date_range("2001-01-01", periods=500)] + ["2001-02-30"]
    other = encode(pd.DataFrame({"when": when})).other["when"]
    assert other.what == "2001-01-01 to 2002-05-15; 1 row not a date (such as 2001-02-30)"


def test_named_columns_are_categorical_whatever_they_hold():
    frame = pd.DataFrame({"score": np.arange(ROWS) % 3, "year": np.full(ROWS, 2013)})
    assert kinds(frame, categorical=["score", "year"]) == {
        "score": "categorical",
        "year": "categorical",
    }


def test_codes_are_small_and_counted_once():
    labels = [f"c{i % 300}" for i in range(3000)]
    labels[5] = None
    table = encode(pd.DataFrame({"few": ["a", None, "b"] * 1000, "many": labels}))
    few, many = table.categorical["few"], table.categorical["many"]
    assert (few.codes.dtype, many.codes.dtype) == (np.int8, np.int16)
    assert few.labels == ["a", "b"] and few.counts.tolist() == [1000, 1000] and few.missing == 1000
    assert (few.codes[:3] == [0, -1, 1]).all()
    assert many.counts.sum() == 2999 and many.missing == 1 and len(many.labels) == 300


def test_measurements_keep_their_float_type():
    frame = pd.DataFrame(
        {"a": np.ones(ROWS, np.float32) / 3, "b": pd.array([0.5] * ROWS, "Float64")}
    )
    frame.loc[3, "b"] = None
    table = encode(frame)
    assert table.measurements["a"].values.dtype == np.float32
    assert table.measurements["b"].missing == 1 and np.isnan(table.measurements["b"].values[3])


@pytest.mark.parametrize("k, dtype", [(127, np.int8), (128, np.int16), (32_767, np.int16)])
def test_counts_at_the_edge_of_the_narrow_type(k, dtype):
    labels = [f"c{i}" for i in range(k)] * 2 + [None]
    column = encode(pd.DataFrame({"c": labels}), categorical=["c"]).categorical["c"]
    assert column.codes.dtype == dtype and column.codes.max() == k - 1
    assert column.counts.tolist() == [2] * k and column.missing == 1
