"""The profiler's files and tables in memory: one table as CSV, TSV, Parquet, Feather and
NDJSON gives one report, and so does the table in pandas, polars or pyarrow; categories come in
order of first appearance whatever the reader's dictionary; progress only on a terminal."""

import datetime
import decimal
import io
import json
import sys

import numpy as np
import pandas as pd
import pytest

pa = pytest.importorskip("pyarrow", reason="the profiler reads its tables with pyarrow")

import pyarrow.csv as pv  # noqa: E402
import pyarrow.feather as feather  # noqa: E402
import pyarrow.parquet as pq  # noqa: E402
from profiler import cli, profile_table, progress  # noqa: E402
from profiler.encoding import categories, encode  # noqa: E402
from test_profiler_cli import timing_free  # noqa: E402

ROWS = 300


def small_table(rows=ROWS, seed=3):
    """Measurements with missing values, an integer one, categories with a rare one and
    missing values, booleans, dates and an identifier."""
    rng = np.random.default_rng(seed)
    price = rng.gamma(2.0, 3.0, rows).round(2)
    price[rng.choice(rows, 7, replace=False)] = np.nan
    price[5] = 80.0
    city = rng.choice(["Oslo", "Rome", "Lima", "Pune"], rows, p=[0.5, 0.3, 0.19, 0.01]).tolist()
    for i in rng.choice(rows, 11, replace=False):
        city[i] = None
    paid = [None if i % 37 == 3 else bool(i % 3) for i in range(rows)]
    day = [
        datetime.date(2024, 1, 1) + datetime.timedelta(days=int(d))
        for d in rng.integers(0, 90, rows)
    ]
    return pa.table(
        {
            "price": price,
            "items": rng.poisson(3.0, rows),
            "city": pa.array(city, pa.string()),
            "paid": pa.array(paid, pa.bool_()),
            "day": pa.array(day, pa.date32()),
            "order_id": [f"o{i:05d}" for i in range(rows)],
            "plan": rng.choice(["free", "pro"], rows).tolist(),
        }
    )


def write(table, path):
    kind = path.suffix
    if kind in (".csv", ".tsv", ".txt"):
        options = pv.WriteOptions(delimiter="\t" if kind == ".tsv" else ",")
        pv.write_csv(table, path, write_options=options)
    elif kind == ".parquet":
        pq.write_table(table, path, row_group_size=100)  # chunks, each with its dictionary
    elif kind in (".feather", ".arrow"):
        feather.write_feather(table, path, chunksize=128)
    elif kind == ".ndjson":
        rows = table.to_pylist()
        path.write_text("".join(json.dumps(row, default=str) + "\n" for row in rows))


def report(capsys, *args):
    assert cli.main([str(a) for a in args]) == 0
    return capsys.readouterr()


@pytest.mark.parametrize("compare", [[], ["--no-compare"]])
def test_one_table_gives_one_report_from_every_kind_of_file(tmp_path, capsys, compare):
    table = small_table()
    reports = {}
    for kind in (".csv", ".tsv", ".parquet", ".feather", ".arrow", ".ndjson"):
        path = tmp_path / f"t{kind}"
        write(table, path)
        out = report(capsys, path, "--rare", "0.03", *compare).out
        first, *rest = timing_free(out)
        reports[kind] = rest
        assert first.startswith(f"Profile of t{kind}") and first.endswith(": 300 rows, 7 columns")
    assert all(text == reports[".csv"] for text in reports.values())
    text = "\n".join(reports[".csv"])
    for expected in ["price", "items", "city", "paid", "plan", "2024-01-01 to 2024-03-3"]:
        assert expected in text
    # The same lines as the table's profile in memory, up to the blank line before the times.
    assert reports[".csv"] == profile_table(table, rare=0.03).splitlines()[1:] + [""]


@pytest.mark.parametrize("make", ["pandas", "polars", "pyarrow", "record batch"])
def test_tables_in_memory_give_the_report_of_their_file(tmp_path, capsys, make):
    table = small_table()
    write(table, tmp_path / "t.parquet")
    from_file = timing_free(report(capsys, tmp_path / "t.parquet", "--no-compare").out)[1:]
    if make == "pandas":
        data = table.to_pandas()
    elif make == "polars":
        data = pytest.importorskip("polars").from_arrow(table)
    elif make == "record batch":
        data = table.combine_chunks().to_batches()[0]
    else:
        data = table
    text = profile_table(data, name="orders").splitlines()
    assert text[0] == "Profile of orders: 300 rows, 7 columns"
    assert text[1:] + [""] == from_file


def test_a_profile_of_anything_else_says_what_it_takes():
    with pytest.raises(TypeError, match="give a pandas, polars or pyarrow one"):
        profile_table([1, 2, 3])
    with pytest.raises(KeyError, match="no such column: nope"):
        profile_table(small_table(), categorical=["nope"])


def reference_categories(values):
    """Codes in order of first appearance, -1 where missing: the obvious way."""
    order = {}
    codes = [-1 if v is None else order.setdefault(v, len(order)) for v in values]
    counts = [0] * len(order)
    for code in codes:
        if code >= 0:
            counts[code] += 1
    return codes, [str(v) for v in order], counts


@pytest.mark.parametrize("k", [3, 130, 1000])
@pytest.mark.parametrize(
    "layout", ["text", "dictionary in chunks", "shuffled dictionary", "parquet", "csv"]
)
def test_codes_follow_first_appearance_whatever_the_dictionary(tmp_path, k, layout):
    rng = np.random.default_rng(k)
    rows = 5000 if k < 1000 else 80_000  # late first appearances past the rows looked at first
    drawn = rng.zipf(1.3, rows) % k
    values = [None if rng.random() < 0.05 else f"c{x}" for x in drawn]
    column = pa.chunked_array([pa.array(values[i : i + 1500]) for i in range(0, rows, 1500)])
    if layout == "dictionary in chunks":
        column = pa.chunked_array([chunk.dictionary_encode() for chunk in column.chunks])
    elif layout == "shuffled dictionary":
        labels = sorted({v for v in values if v is not None}, reverse=True)
        index = {label: i for i, label in enumerate(labels)}
        indices = pa.array([None if v is None else index[v] for v in values], pa.int32())
        column = pa.chunked_array([pa.DictionaryArray.from_arrays(indices, labels + ["unused"])])
    elif layout == "parquet":
        pq.write_table(pa.table({"c": column}), tmp_path / "c.parquet", row_group_size=2000)
        read = pq.ParquetFile(tmp_path / "c.parquet", read_dictionary=["c"]).read()
        column = read.column(0)
        assert pa.types.is_dictionary(column.type)
    elif layout == "csv":
        # A second column: a line with an empty value alone would read as a blank line.
        pv.write_csv(pa.table({"c": column, "n": range(rows)}), tmp_path / "c.csv")
        options = pv.ConvertOptions(
            auto_dict_encode=True, auto_dict_max_cardinality=k, strings_can_be_null=True
        )
        read_options = pv.ReadOptions(block_size=1 << 14)
        column = pv.read_csv(
            tmp_path / "c.csv", convert_options=options, read_options=read_options
        ).column(0)
    encoded = categories(column)
    codes, labels, counts = reference_categories(values)
    assert encoded.labels == labels and encoded.counts.tolist() == counts
    assert encoded.codes.tolist() == codes and encoded.missing == codes.count(-1)
    assert encoded.codes.dtype == (np.int8 if len(labels) < 127 else np.int16)


@pytest.mark.parametrize("chunks", [[5], [2, 0, 3], [1, 1, 1, 1, 1]])
@pytest.mark.parametrize("kind", ["float64", "float32", "int64", "int8", "uint16", "null"])
def test_measurements_take_missing_values_from_the_validity_bitmaps(chunks, kind):
    values = [1.5, None, 7.0, 2.0, None] if kind.startswith("float") else [1, None, 7, 2, None]
    if kind == "null":
        values = [None] * 5
    arrays, start = [], 0
    for size in chunks:
        # A slice: its offset into the buffers counts.
        first = None if kind == "null" else 0
        array = pa.array([first, *values[start : start + size]], kind).slice(1)
        arrays.append(array)
        start += size
    table = encode(pa.table({"x": pa.chunked_array(arrays, kind)}))
    column = table.measurements["x"]
    expected = np.array([np.nan if v is None else v for v in values])
    np.testing.assert_array_equal(column.values, expected)
    assert column.missing == sum(v is None for v in values)
    assert column.values.dtype == (np.float32 if kind == "float32" else np.float64)


def test_one_float_chunk_without_missing_values_is_not_copied():
    array = pa.array(np.linspace(0.5, 9, 1000))
    values = encode(pa.table({"x": array})).measurements["x"].values
    assert np.shares_memory(values, np.frombuffer(array.buffers()[1], np.float64))


def test_nan_in_a_file_is_missing_too(tmp_path, capsys):
    x = pa.array([1.0, float("nan"), None, 4.0, 2.0] * 20)
    pq.write_table(pa.table({"x": x}), tmp_path / "n.parquet")
    out = report(capsys, tmp_path / "n.parquet", "--no-compare").out
    assert [row.split() for row in out.splitlines() if row.startswith("x ")][0][1:3] == ["60", "40"]


@pytest.mark.parametrize(
    "text, kind",
    [
        ("2024-03-01\n2024-01-05\n\n", "2024-01-05 to 2024-03-01"),
        ("2024-03-01 10:30:00\n2024-01-05 08:00:00\n", "2024-01-05 08:00 to 2024-03-01 10:30"),
        ("2024-03-01T10:30:05Z\n2024-01-05T08:00:00Z\n", "to 2024-03-01 10:30:05 (UTC)"),
    ],
)
def test_dates_typed_by_arrow_read_as_the_same_dates_as_text(tmp_path, capsys, text, kind):
    text = "when\n" + text * 10
    (tmp_path / "d.csv").write_text(text)
    as_text = profile_table(pd.read_csv(io.StringIO(text), dtype=str))
    typed = report(capsys, tmp_path / "d.csv").out.splitlines()
    assert kind in "\n".join(typed) and typed[1:-2] == as_text.splitlines()[1:]


def test_names_as_pandas_gives_them(tmp_path, capsys):
    (tmp_path / "r.csv").write_text(
        ",a,a,b\n" + "".join(f"{i},{i % 3},x{i % 2},{i}.5\n" for i in range(40))
    )
    out = report(capsys, tmp_path / "r.csv", "--no-compare").out
    assert "Unnamed: 0  row counter" in out and "a.1" in out


def test_progress_only_on_a_terminal(tmp_path, capsys, monkeypatch):
    write(small_table(), tmp_path / "t.parquet")
    err = report(capsys, tmp_path / "t.parquet", "--no-compare").err
    assert err == "" and not progress.Bar(10, "x").active
    monkeypatch.setattr(sys, "stderr", io.StringIO())
    monkeypatch.setattr(sys.stderr, "isatty", lambda: True)
    pytest.importorskip("tqdm")
    bar = progress.Bar(10, "reading")
    assert bar.active
    bar.step(10)
    bar.close()


@pytest.mark.parametrize("kind", [".parquet", ".feather"])
def test_columns_read_in_pieces_keep_their_missing_values(tmp_path, capsys, kind):
    decimals = pa.array([decimal.Decimal("1.5"), None] * 25, pa.decimal128(5, 2))
    table = pa.table({"n": pa.nulls(50), "d": decimals, "k": [None, 3, 4, 5, 6] * 10})
    write(table, tmp_path / f"n{kind}")
    out = report(capsys, tmp_path / f"n{kind}", "--no-compare").out
    lines = {
        row.split()[0]: row.split()[1:] for row in out.splitlines() if row[:2] in ("n ", "d ", "k ")
    }
    assert lines["n"] == ["0", "50", "no", "values"] and lines["d"][:5] == [
        "25",
        "25",
        "1.5",
        "0",
        "1.5",
    ]
    assert lines["k"][:3] == ["40", "10", "4.5"]
    assert profile_table(table.slice(0, 0)).startswith("Profile of the table: 0 rows, 3 columns")
