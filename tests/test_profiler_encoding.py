"""The profiler's typing and encoding of a frame: what each column is taken for, and codes."""

import numpy as np
import pandas as pd
import pytest
from profiler.encoding import encode

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
        ("month", np.arange(ROWS) % 12 + 1, "month"),
        ("month", np.sort(np.arange(ROWS) % 12 + 1), "month"),  # sorted: not a counter
        ("hours", np.arange(ROWS) * 7 % 12 + 1, "measurement"),
        ("year", np.full(ROWS, 2013), "year"),
        ("date", np.full(ROWS, 20130101), "dates"),
        ("when", pd.date_range("2020-01-01", periods=ROWS, freq="h"), "dates"),
        ("when", pd.date_range("2020-01-01", periods=ROWS).astype(str), "dates"),
        ("city", ["Oslo", "Rome"] * (ROWS // 2), "categorical"),
        ("name", [f"person {i}" for i in range(ROWS)], "identifier"),
        ("user_id", ["u1", "u2"] * (ROWS // 2), "identifier"),
        ("paid", [True, False] * (ROWS // 2), "categorical"),
    ],
)
def test_each_column_is_taken_for_what_it_holds(name, values, kind):
    assert kinds(pd.DataFrame({name: values})) == {name: kind}


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
