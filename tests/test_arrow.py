"""Objects that export the Arrow PyCapsule interface (pyarrow, polars, pandas of any dtype backend,
DuckDB, nanoarrow) give, bit for bit, the results of the same data as a NumPy array: the values
NumPy's conversion gives, a null as NaN in data and as the code -1 (outside every range) in codes.
Each producer's tests skip where it is not installed."""

import gc
import importlib
import itertools
import sys

import numpy as np
import pytest

import vantorix_core as vc

from conftest import assert_same


def need(name):
    try:
        return importlib.import_module(name)
    except ImportError:
        pytest.skip(f"{name} is not installed for this interpreter")


N = 5000
CUTS = (1234, 4100)  # chunk boundaries within and across the kernels' blocks of 4096
INTEGERS = ("int8", "int16", "int32", "int64", "uint8", "uint16", "uint32", "uint64")
FLOATS = ("float16", "float32", "float64")


def values(dtype, seed=0):
    rng = np.random.default_rng(seed)
    if dtype == "bool":
        return rng.random(N) < 0.1
    if dtype in FLOATS:
        x = rng.normal(scale=10.0, size=N).astype(dtype)
        x[[5, 77]] = [np.inf, -0.0]
        return x
    low = -2 if np.dtype(dtype).kind == "i" else 0
    x = rng.integers(low, 9, N).astype(dtype)
    x[11] = np.iinfo(dtype).max  # its low 32 bits as the code, as NumPy's cast keeps them
    return x


def nulls(kind):
    mask = np.zeros(N, bool)
    if kind == "nulls":
        mask[[0, 3, 4097, N - 1]] = True
        mask[2000:2100] = True
    return mask


def chunked(x, mask, chunks):
    """Equal slices of x and mask: one, or three cut at CUTS."""
    edges = (0, N) if chunks == 1 else (0, *CUTS, N)
    return [(x[a:b], mask[a:b]) for a, b in zip(edges, edges[1:])]


def by_pyarrow(x, mask, chunks):
    pa = need("pyarrow")
    parts = [pa.array(p, mask=m if m.any() else None) for p, m in chunked(x, mask, chunks)]
    return parts[0] if chunks == 1 else pa.chunked_array(parts)


def by_pyarrow_sliced(x, mask, chunks):
    """Arrays whose offset is not 0 (nor a multiple of 8, for the bitmaps)."""
    pa = need("pyarrow")
    pad = np.zeros(3, x.dtype)
    parts = [
        pa.array(np.concatenate([pad, p]), mask=np.concatenate([[True] * 3, m])).slice(3)
        for p, m in chunked(x, mask, chunks)
    ]
    return pa.chunked_array(parts)


def by_polars(x, mask, chunks):
    pl = need("polars")
    parts = [pl.Series(p).scatter(np.flatnonzero(m), None) for p, m in chunked(x, mask, chunks)]
    out = pl.concat(parts, rechunk=False)
    assert out.n_chunks() == chunks
    return out


def by_pandas_arrow(x, mask, chunks):
    pd = need("pandas")
    return pd.Series(by_pyarrow(x, mask, chunks), dtype=pd.ArrowDtype(by_pyarrow(x, mask, 1).type))


def by_pandas_masked(x, mask, chunks):
    pd = need("pandas")
    if chunks > 1 or x.dtype == np.float16:
        pytest.skip("pandas' masked arrays are one chunk, and have no float16")
    name = {"b": "boolean", "i": "Int", "u": "UInt", "f": "Float"}[x.dtype.kind]
    out = pd.array(x, dtype=name if x.dtype == bool else f"{name}{x.dtype.itemsize * 8}")
    out[mask] = pd.NA
    return pd.Series(out)


def by_nanoarrow(x, mask, chunks):
    na = need("nanoarrow")
    return na.Array(by_pyarrow(x, mask, chunks))


PRODUCERS = {
    "pyarrow": by_pyarrow,
    "pyarrow-sliced": by_pyarrow_sliced,
    "polars": by_polars,
    "pandas-arrow": by_pandas_arrow,
    "pandas-masked": by_pandas_masked,
    "nanoarrow": by_nanoarrow,
}


def build(producer, x, mask, chunks):
    try:
        return PRODUCERS[producer](x, mask, chunks)
    except (TypeError, ValueError, NotImplementedError) as e:
        if x.dtype == np.float16:
            pytest.skip(f"{producer} has no float16 columns: {e}")
        raise


def with_nulls(x, mask, null):
    """The NumPy array the kernels see for x with the masked elements null."""
    out = x.astype(np.float64 if null is np.nan else np.int64)
    out[mask] = null
    return out


@pytest.mark.parametrize("chunks", [1, 3])
@pytest.mark.parametrize("kind", ["dense", "nulls"])
@pytest.mark.parametrize("dtype", [*INTEGERS, "bool"])
@pytest.mark.parametrize("producer", list(PRODUCERS))
def test_codes(producer, dtype, kind, chunks):
    x, mask = values(dtype), nulls(kind)
    obj = build(producer, x, mask, chunks)
    codes = with_nulls(x, mask, -1) if mask.any() else x
    other = values("int8", seed=1) % 5
    assert_same(
        vc.detect_categorical_outliers(obj, 7, 0.05), vc.detect_categorical_outliers(codes, 7, 0.05)
    )
    assert_same(
        vc.calculate_cramers_v(obj, other, 7, 5), vc.calculate_cramers_v(codes, other, 7, 5)
    )
    assert_same(
        vc.calculate_cramers_v(other, obj, 5, 7), vc.calculate_cramers_v(other, codes, 5, 7)
    )


@pytest.mark.parametrize("chunks", [1, 3])
@pytest.mark.parametrize("kind", ["dense", "nulls"])
@pytest.mark.parametrize("dtype", [*FLOATS, *INTEGERS, "bool"])
@pytest.mark.parametrize("producer", list(PRODUCERS))
def test_data(producer, dtype, kind, chunks):
    x, mask = values(dtype), nulls(kind)
    obj = build(producer, x, mask, chunks)
    data = with_nulls(x, mask, np.nan) if mask.any() else x
    for threshold in (1.0, 0.0):
        assert_same(
            vc.detect_continuous_outliers(obj, threshold),
            vc.detect_continuous_outliers(data, threshold),
        )
    if not mask.any() and hasattr(type(obj), "__array__"):  # NumPy's own conversion of it
        assert_same(
            vc.detect_continuous_outliers(obj, 1.0),
            vc.detect_continuous_outliers(np.asarray(obj).astype(np.float64), 1.0),
        )


def test_a_null_is_the_positive_quiet_nan():
    pa = need("pyarrow")
    x = pa.array([1.0, None, -1.0, 2.0])
    flags = vc.detect_continuous_outliers(x, 0.5)
    assert_same(flags, np.zeros(4, np.int32))  # any NaN makes the variance NaN: no flag
    stats = vc.calculate_summary_stats(pa.table({"a": x}))
    assert stats["mean"].view(np.uint64)[0] == 0x7FF8000000000000


def dictionary_cases():
    """(object, its codes as NumPy gives them or as positions in its dictionary)."""
    cases = {}
    pa = pytest.importorskip("pyarrow")
    labels = np.array(["b", "a", "c", "a", "b", "b"] * 300)
    arr = pa.array(labels).dictionary_encode()
    cases["pyarrow text"] = (arr, arr.indices.to_numpy())
    ints = pa.DictionaryArray.from_arrays(pa.array([0, 2, 1, None, 2] * 300), pa.array([70, 3, 5]))
    cases["pyarrow integers, a null"] = (ints, np.tile([70, 5, 3, -1, 5], 300))
    # Chunks with dictionaries of their own: one numbering, the first's order extended.
    chunks = pa.chunked_array(
        [
            pa.DictionaryArray.from_arrays(pa.array([0, 1, 0], pa.int8()), pa.array(["x", "y"])),
            pa.DictionaryArray.from_arrays(
                pa.array([0, 1, 2], pa.int8()), pa.array(["z", "x", "w"])
            ),
            pa.DictionaryArray.from_arrays(pa.array([1, None], pa.int8()), pa.array(["w", "y"])),
        ]
    )
    cases["pyarrow chunks, dictionaries differ"] = (chunks, np.array([0, 1, 0, 2, 0, 3, 1, -1]))
    cases["pyarrow sliced"] = (arr.slice(5), arr.indices.to_numpy()[5:])
    # An index outside its dictionary (invalid, but pyarrow makes it on request) reads as null,
    # and must not become a code of the kernel's range where indices are read in place.
    outside = pa.array([0, 1, 2, 1] * 1500, pa.int32())
    past = pa.array(np.tile(np.array([0, 2**31 + 5, 1], np.uint32), 2000))
    cases["pyarrow uint32 indices, one past 2^31"] = (
        pa.DictionaryArray.from_arrays(past, pa.array(["a", "b"]), safe=False),
        np.tile([0, -1, 1], 2000),
    )
    cases["pyarrow text, an index outside"] = (
        pa.DictionaryArray.from_arrays(outside, pa.array(["a", "b"]), safe=False),
        np.tile([0, 1, -1, 1], 1500),
    )
    try:
        import pandas as pd

        cat = pd.Series(pd.Categorical(labels, categories=["c", "b", "a"]))
        cases["pandas categorical"] = (cat, cat.cat.codes.to_numpy())
        withna = pd.Series(pd.Categorical(["a", None, "b"] * 100))
        cases["pandas categorical, NaN"] = (withna, withna.cat.codes.to_numpy())
        numbers = pd.Series(pd.Categorical([10, 3, 10, 4] * 100))
        cases["pandas categorical of integers"] = (numbers, np.asarray(numbers).astype(np.int64))
    except ImportError:
        pass
    try:
        import polars as pl

        enum = pl.Series(["lo", "hi", "mid", "hi"] * 200, dtype=pl.Enum(["hi", "mid", "lo"]))
        cases["polars enum"] = (enum, enum.to_physical().to_numpy())
        cat = pl.Series(list(labels), dtype=pl.Categorical)
        # The codes a categorical holds are its own; what is checked is one numbering per
        # category, in the dictionary's order.
        positions = {v: i for i, v in enumerate(dict.fromkeys(labels))}
        cases["polars categorical"] = (cat, np.array([positions[v] for v in labels]))
    except ImportError:
        pass
    return cases


@pytest.mark.parametrize("name", list(dictionary_cases()))
def test_dictionaries(name):
    obj, codes = dictionary_cases()[name]
    codes = np.asarray(codes, np.int64)
    assert_same(
        vc.detect_categorical_outliers(obj, 3, 0.2), vc.detect_categorical_outliers(codes, 3, 0.2)
    )
    k = int(codes.max()) + 1
    assert_same(
        vc.calculate_cramers_v(obj, codes, k, k), vc.calculate_cramers_v(codes, codes, k, k)
    )


@pytest.mark.parametrize("offset", [0, 3])
@pytest.mark.parametrize(
    "where", [[], [0], [4095, 4096], [64, 127, 4200, 9000, 19_999], list(range(8190, 8210))]
)
def test_runs_between_nulls(where, offset):
    """Runs of valid elements longer than a block, read where they lie, between nulls."""
    pa = need("pyarrow")
    n = 20_000
    codes = np.random.default_rng(1).integers(0, 7, n + offset).astype(np.int32)
    mask = np.zeros(n + offset, bool)
    mask[:offset] = True
    mask[np.asarray(where, int) + offset] = True
    ints = pa.array(codes, mask=mask)
    text = pa.DictionaryArray.from_arrays(ints, list("abcdefg"))
    objects = [ints.slice(offset), text.slice(offset)]
    expected = np.where(mask, -1, codes)[offset:]
    # 9 categories, more than the dictionary has: its indices are checked against its end.
    for obj, k in itertools.product(objects, [7, 9]):
        assert_same(
            vc.detect_categorical_outliers(obj, k, 0.143),
            vc.detect_categorical_outliers(expected, k, 0.143),
        )
        assert_same(
            vc.calculate_cramers_v(expected[::-1].copy(), obj, k, k),
            vc.calculate_cramers_v(expected[::-1].copy(), expected, k, k),
        )
    data = pa.array(codes.astype(np.float64), mask=mask).slice(offset)
    assert_same(
        vc.calculate_summary_stats(pa.table({"x": data}))["max"],
        vc.calculate_summary_stats(np.where(mask, np.nan, codes)[offset:, None])["max"],
    )


def table_cases():
    rng = np.random.default_rng(5)
    m = rng.normal(size=(N, 6))
    m[[0, 9], 2] = [np.nan, -0.0]
    cols = {f"c{i}": m[:, i] for i in range(6)}
    cases = {}
    pa = pytest.importorskip("pyarrow")
    t = pa.table(cols)
    cases["pyarrow table, 3 batches"] = (pa.Table.from_batches(t.to_batches(max_chunksize=2000)), m)
    cases["pyarrow record batch, sliced"] = (t.to_batches()[0].slice(7), m[7:])
    ints = pa.table({"i": pa.array(np.arange(N) % 13, pa.int16()), "f": m[:, 0].astype(np.float32)})
    cases["pyarrow integers and float32"] = (ints, np.asarray(ints).astype(np.float64))
    withnull = pa.table({"a": pa.array([1.0, None, 3.0]), "b": pa.array([1, 2, None])})
    cases["pyarrow nulls"] = (withnull, np.array([[1.0, 1], [np.nan, 2], [3, np.nan]]))
    try:
        import polars as pl

        df = pl.concat([pl.DataFrame(cols)[:3000], pl.DataFrame(cols)[3000:]], rechunk=False)
        cases["polars, 2 chunks"] = (df, m)
    except ImportError:
        pass
    try:
        import pandas as pd

        # NumPy's dtypes keep NumPy's path: its NaN in row 0 keeps its sign in min and max,
        # where pandas' Arrow export would make it a null.
        signed = m.copy()
        signed[0, 1] = -np.nan
        cases["pandas float64, a negative NaN"] = (pd.DataFrame(signed), signed)
        cases["pandas double[pyarrow]"] = (pd.DataFrame(cols, dtype="double[pyarrow]"), m)
        cases["pandas Float64"] = (pd.DataFrame(cols).astype("Float64"), m)
        indexed = pd.DataFrame(cols, index=np.arange(N) * 2).astype("Float64")
        cases["pandas Float64, an index"] = (indexed, m)
        nullable = pd.DataFrame({"f": m[:, 0], "i": np.arange(N) % 7}).astype(
            {"f": "Float32", "i": "Int16"}
        )
        nullable.iloc[[0, 4099], 0] = pd.NA
        nullable.iloc[[5, 4999], 1] = pd.NA
        expected = nullable.astype("float64").to_numpy()
        cases["pandas Float32 and Int16, NA"] = (nullable, expected)
        # Every other row: values that are not contiguous take pandas' Arrow export.
        cases["pandas Float32 and Int16, strided"] = (nullable.iloc[::2], expected[::2])
        # Columns chunked apart, read where pandas keeps them, batch by batch all the same.
        arrow = pd.arrays.ArrowExtensionArray
        mixed = pd.DataFrame(
            {
                "a": arrow(pa.chunked_array([m[: CUTS[0], 0], m[CUTS[0] :, 0]])),
                "b": arrow(pa.chunked_array([m[: CUTS[1], 1], m[CUTS[1] :, 1]])),
                "c": nullable["i"],
                "d": arrow(pa.array(np.arange(N) % 5, pa.int8(), mask=np.arange(N) % 9 == 4)),
                # Bits cut at another column's chunks.
                "e": arrow(pa.array(np.arange(N) % 3 == 0)),
            }
        )
        cases["pandas ArrowDtype and Int16, chunks differ"] = (
            mixed,
            np.column_stack(
                [
                    m[:, :2],
                    expected[:, 1],
                    np.where(np.arange(N) % 9 == 4, np.nan, np.arange(N) % 5),
                    np.arange(N) % 3 == 0,
                ]
            ),
        )
        cases["pandas double[pyarrow], no rows"] = (mixed.iloc[:0, :2], np.empty((0, 2)))
    except ImportError:
        pass
    try:
        import duckdb

        rel = duckdb.sql("select range::double / 7 as a, range % 5 as b from range(5000)")
        cases["duckdb relation"] = (rel, rel.fetchnumpy())
    except ImportError:
        pass
    return cases


@pytest.mark.parametrize("name", list(table_cases()))
def test_tables(name):
    obj, expected = table_cases()[name]
    if isinstance(expected, dict):
        expected = np.column_stack([np.asarray(v, np.float64) for v in expected.values()])
    got = vc.calculate_summary_stats(obj)
    want = vc.calculate_summary_stats(np.asarray(expected, np.float64))
    assert list(got) == list(want)
    for key in want:
        assert_same(got[key], want[key])


def test_table_with_text_names_the_column():
    pa = need("pyarrow")
    with pytest.raises(TypeError, match="Column 'name' is not numeric"):
        vc.calculate_summary_stats(pa.table({"x": [1.0], "name": ["a"]}))


@pytest.mark.parametrize(
    "call, message",
    [
        (
            lambda t: vc.detect_continuous_outliers(t, 1.0),
            "Input data vector must be one-dimensional.",
        ),
        (lambda t: vc.calculate_cramers_v(t, t, 2, 2), "Input vectors must be one-dimensional."),
    ],
)
def test_tables_where_vectors_go(call, message):
    pa = need("pyarrow")
    with pytest.raises(RuntimeError, match=message):
        call(pa.table({"a": [1.0, 2.0]}))


def test_column_where_a_matrix_goes():
    pa = need("pyarrow")
    with pytest.raises(RuntimeError, match="Matrix must be two-dimensional."):
        vc.calculate_summary_stats(pa.array([1.0, 2.0]))


def test_other_types_go_to_numpy():
    """A column the kernels do not read (floats as codes, text) is NumPy's conversion's, as ever."""
    pa = need("pyarrow")
    x = pa.array([0.9, 1.5, 2.0])
    assert_same(
        vc.detect_categorical_outliers(x, 3, 0.0),
        vc.detect_categorical_outliers(np.asarray(x), 3, 0.0),
    )
    with pytest.raises(TypeError):
        vc.detect_continuous_outliers(pa.array(["a", "b"]), 1.0)


def test_lengths_differ():
    pa = need("pyarrow")
    with pytest.raises(RuntimeError, match="Input vectors must have identical lengths."):
        vc.calculate_cramers_v(pa.array([0, 1]), pa.chunked_array([[0], [1], [1]]), 2, 2)


def test_capsules_released_and_arguments_kept():
    """Every imported stream and array is released (pyarrow's memory pool returns to where it
    was) and the arguments' reference counts are unchanged, on success and on failure."""
    pa = need("pyarrow")
    x = pa.chunked_array([np.arange(1000.0), np.arange(500.0)])
    codes = pa.array(np.arange(1500) % 7).dictionary_encode()
    table = pa.table({"a": np.arange(1000.0), "s": ["t"] * 1000})
    gc.collect()
    before = pa.total_allocated_bytes()
    counts = [sys.getrefcount(o) for o in (x, codes, table)]
    for _ in range(200):
        vc.detect_continuous_outliers(x, 1.0)
        vc.detect_categorical_outliers(codes, 7, 0.1)
        vc.calculate_cramers_v(codes, x.cast(pa.int64()), 7, 1000)
        with pytest.raises(TypeError):
            vc.calculate_summary_stats(table)
    gc.collect()
    assert pa.total_allocated_bytes() == before
    assert [sys.getrefcount(o) for o in (x, codes, table)] == counts


def test_pandas_nullable_arrays_kept():
    """pandas' nullable arrays are read where they lie: their values and masks are held for
    the call alone, on success and on failure."""
    pd = need("pandas")
    s = pd.Series(np.arange(3000) % 7, dtype="Int64")
    s[3] = pd.NA
    frame = pd.DataFrame({"a": s, "b": s.astype("Float64")})
    held = [s.array._data, s.array._mask, frame["b"].array._data, frame["b"].array._mask]
    counts = [sys.getrefcount(o) for o in held]
    for _ in range(100):
        vc.detect_categorical_outliers(s, 7, 0.1)
        vc.calculate_summary_stats(frame)
        with pytest.raises(RuntimeError):
            vc.detect_continuous_outliers(frame, 1.0)
    assert [sys.getrefcount(o) for o in held] == counts


class Exporter:
    """A producer of its own, which counts the releases of the streams it hands out."""

    def __init__(self, obj):
        self.obj = obj

    def __arrow_c_stream__(self, requested_schema=None):
        return self.obj.__arrow_c_stream__(requested_schema)


def test_a_producer_of_its_own():
    pa = need("pyarrow")
    x = pa.chunked_array([[1.0, 2.0], [30.0]])
    assert_same(
        vc.detect_continuous_outliers(Exporter(x), 1.0),
        vc.detect_continuous_outliers(np.array([1.0, 2.0, 30.0]), 1.0),
    )
