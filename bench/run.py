"""Times each vantorix_core function against the NumPy/SciPy/pandas code a user would write.

    python bench/run.py [--quick] [--json FILE] [--only TEXT ...]

Each case runs ours and its baselines in turn (A B A B ...) in the same process, checks that
they agree, and reports medians: time per call, ns per element, the ratio baseline/ours, and
the peak memory one call allocates through NumPy (tracemalloc; working tables that the
kernels take from the C allocator are not included).

Most cases also time a floor, the least work that the kernel's fixed order of operations
allows on that input, and report ours/floor beside the goal for it. The floor of one column
or vector is "serial sums": a minimal C loop that adds the values and their squares into two
running sums in element order; that of a pair of code vectors a C loop that reads both. Both are
built with the project's floating-point flags by the system C compiler when the benchmark starts
(those rows are left out when there is no compiler).
"""

import argparse
import ctypes
import json
import os
import platform
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import tracemalloc
from concurrent.futures import ThreadPoolExecutor

import numpy as np

import vantorix_core as vc

# Every row times one thread, polars included, unless the caller says otherwise.
os.environ.setdefault("POLARS_MAX_THREADS", "1")

CASES = []

SERIAL_SUMS_C = """
void serial_sums(const double *x, long n, double *out) {
    double sum = 0.0, sumsq = 0.0;
    for (long i = 0; i < n; ++i) {
        sum += x[i];
        sumsq += x[i] * x[i];
    }
    out[0] = sum;
    out[1] = sumsq;
}

/* A read of both code vectors, as fast as the hardware streams them: the least any tally of
   the pairs can do. */
long read_both(const int *x, const int *y, long n) {
    long s = 0;
    for (long i = 0; i < n; ++i) {
        s += x[i] ^ y[i];
    }
    return s;
}
"""


def build_floors():
    """The floor loops compiled as the extension is (-O3, no contraction into FMA, the
    baseline instruction set), or None without a C compiler."""
    cc = os.environ.get("CC") or shutil.which("cc") or shutil.which("gcc")
    if cc is None:
        return None
    with tempfile.TemporaryDirectory() as tmp:
        source = os.path.join(tmp, "floor.c")
        lib = os.path.join(tmp, "floor.so")
        with open(source, "w") as f:
            f.write(SERIAL_SUMS_C)
        flags = ["-O3", "-ffp-contract=off", "-shared", "-fPIC"]
        try:
            subprocess.run([cc, *flags, source, "-o", lib], check=True, capture_output=True)
            # The loaded library stays mapped after its file is gone.
            floors = ctypes.CDLL(lib)
        except (OSError, subprocess.CalledProcessError):
            return None
    floors.serial_sums.restype = None
    floors.serial_sums.argtypes = [ctypes.c_void_p, ctypes.c_long, ctypes.c_void_p]
    floors.read_both.restype = ctypes.c_long
    floors.read_both.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_long]
    return floors


_floors = build_floors()


def serial_sums(x):
    """A callable that runs the serial-sums floor over the contiguous float64 vector x."""
    if _floors is None:
        return None
    out = np.empty(2)
    return lambda: _floors.serial_sums(x.ctypes.data, x.size, out.ctypes.data)


def read_both(x, y):
    """A callable that reads the contiguous int32 vectors x and y once, side by side."""
    if _floors is None:
        return None
    return lambda: _floors.read_both(x.ctypes.data, y.ctypes.data, x.size)


def case(name, elements, calls=1):
    """Registers a setup(n, rng) -> (ours, [(baseline name, baseline, agree or None), ...],
    (floor name, floor or None, goal or None), ...). `calls` > 1 marks a loop of that many
    calls, timed as one and reported per call. `name` may hold "{n}" or "{rows}", filled in with
    the size really run."""

    def register(setup):
        CASES.append((name, elements, calls, setup))
        return setup

    return register


def size(x):
    """1000000 -> "1e6", 200000 -> "2e5", 160000 -> "1.6e5", 3 -> "3"."""
    if x < 1000:
        return str(x)
    mantissa, exponent = f"{x:.2e}".split("e")
    return f"{float(mantissa):g}e{int(exponent)}"


def z_flags_numpy(x, t):
    return (np.abs((x - x.mean()) / x.std()) > t).astype(np.int32)


def summary_numpy(a):
    return {
        "mean": a.mean(axis=0),
        "std": a.std(axis=0),
        "min": a.min(axis=0),
        "max": a.max(axis=0),
    }


def summary_agrees(ours, base):
    # NumPy sums pairwise and computes the variance in two passes; we add in row order and
    # take the mean of squares minus the squared mean: equal up to rounding, not bit for bit.
    return all(np.allclose(ours[k], base[k], rtol=1e-9, atol=1e-12) for k in ours)


def rare_flags_numpy(codes, k, threshold):
    valid = (codes >= 0) & (codes < k)
    counts = np.bincount(codes[valid], minlength=k)
    out = np.ones(codes.size, dtype=np.int32)
    out[valid] = counts[codes[valid]] < codes.size * threshold
    return out


def cramers_v_numpy(x, y, kx, ky):
    valid = (x >= 0) & (x < kx) & (y >= 0) & (y < ky)
    table = np.bincount(x[valid] * ky + y[valid], minlength=kx * ky).reshape(kx, ky)
    n = x.size
    expected = np.outer(table.sum(axis=1), table.sum(axis=0)) / n
    cells = expected > 0
    chi2 = (((table - expected) ** 2)[cells] / expected[cells]).sum()
    return float(np.sqrt(chi2 / ((min(kx, ky) - 1) * n)))


def cramers_v_pandas(x, y):
    import pandas as pd
    from scipy.stats.contingency import association

    return association(pd.crosstab(x, y).to_numpy(), method="cramer")


def close(ours, base):
    return abs(ours - base) < 1e-9


def have(*modules):
    try:
        for module in modules:
            __import__(module)
    except ImportError:
        return False
    return True


def summary_case(order, cols, goal=1.2):
    def setup(n, rng):
        a = np.asarray(rng.normal(size=(n // cols, cols)), order=order)
        baselines = [("numpy mean/std/min/max", lambda: summary_numpy(a), summary_agrees)]
        if cols == 1:
            return (
                lambda: vc.calculate_summary_stats(a),
                baselines,
                (
                    "serial sums in C",
                    serial_sums(a.reshape(-1)),
                    goal,
                ),
            )
        floors = [("a.sum() (one read)", a.sum, goal)]
        if order == "F" and cols % 2:
            # An odd column out has no partner for a register: its own serial chain bounds it.
            floors.append(("serial sums, one column", serial_sums(a[:, -1]), None))
        return lambda: vc.calculate_summary_stats(a), baselines, *floors

    return setup


for _order, _cols, _elements in [
    ("C", 16, 16_000_000),
    ("C", 80, 16_000_000),
    ("C", 160, 16_000_000),
    ("F", 16, 16_000_000),
    ("F", 3, 15_000_000),
    ("C", 1, 10_000_000),
]:
    case(f"summary_stats {{rows}}x{_cols} {_order}", _elements)(summary_case(_order, _cols))


@case("continuous_outliers {n}", 10_000_000)
def _(n, rng):
    x = rng.normal(size=n)
    x[::1000] *= 10
    sums = serial_sums(x)

    def two_passes():
        sums()
        x.astype(np.int32)

    return (
        lambda: vc.detect_continuous_outliers(x, 3.0),
        [("numpy expression", lambda: z_flags_numpy(x, 3.0), np.array_equal)],
        ("serial sums in C", sums, 1.67),
        # The sums, then a read of the data and a write of as many fresh int32 flags.
        ("serial sums; x.astype(int32)", two_passes if sums else None, 1.1),
    )


@case("categorical_outliers {n}, k=1000", 10_000_000)
def _(n, rng):
    codes = np.minimum(rng.zipf(1.3, size=n) - 1, 1100).astype(np.int32)  # skewed, some >= k

    def two_passes():
        codes.max()
        codes.copy()

    return (
        lambda: vc.detect_categorical_outliers(codes, 1000, 0.001),
        [("numpy bincount + lookup", lambda: rare_flags_numpy(codes, 1000, 0.001), np.array_equal)],
        ("c.copy() (read, write)", codes.copy, 2.2),
        # The tally reads the codes, the flag pass reads them again and writes the result.
        ("c.max(); c.copy() (two passes)", two_passes, 1.5),
    )


@case("cramers_v {n} pairs, 20x30", 10_000_000)
def _(n, rng):
    x = rng.integers(0, 20, size=n, dtype=np.int32)
    y = ((x * 3 + rng.integers(0, 10, size=n)) % 30).astype(np.int32)
    baselines = [("numpy bincount + chi2", lambda: cramers_v_numpy(x, y, 20, 30), close)]
    # The pandas + SciPy row needs both installed; without them it is left out.
    if have("pandas", "scipy"):
        baselines.append(("pandas.crosstab + scipy", lambda: cramers_v_pandas(x, y), close))

    return (
        lambda: vc.calculate_cramers_v(x, y, 20, 30),
        baselines,
        ("C loop reading x and y", read_both(x, y), 2.0),
    )


# --- the pandas path: the dtypes pandas hands over, read in place ------------------------------
# Codes from pd.factorize are int64 and those of a categorical column int8 (int16 past 127
# categories); frames often hold float32. Each row times ours and NumPy on that dtype, and ours
# on a cast to int32 or float64 of the same values, against which the goal is set: the same
# speed, give or take the bytes that a wider or narrower dtype makes the kernel read.
GOALS = {1: 1.18, 2: 1.18, 4: 1.18, 8: 1.33}


def same_values(dtype):
    """What ours on `dtype` is measured against: ours on the same values cast to int32 or
    float64, and the goal for the ratio."""
    dtype = np.dtype(dtype)
    native = np.float64 if dtype.kind == "f" else np.int32
    return f"ours on {np.dtype(native).name}, same values", GOALS[dtype.itemsize]


def pandas_codes(how, values, k):
    import pandas as pd

    if how == "factorize":
        codes, uniques = pd.factorize(values, sort=True)
        assert len(uniques) == k
        return codes
    return pd.Series(pd.Categorical(values, categories=range(k))).cat.codes.to_numpy()


def pandas_cramers_case(how):
    def setup(n, rng):
        x32 = rng.integers(0, 20, size=n, dtype=np.int32)
        y32 = ((x32 * 3 + rng.integers(0, 10, size=n)) % 30).astype(np.int32)
        x, y = pandas_codes(how, x32, 20), pandas_codes(how, y32, 30)
        name, goal = same_values(x.dtype)
        # bincount needs the cell index in a wide type: int8 codes times 30 overflow.
        wide = (x.astype(np.intp), y.astype(np.intp)) if x.itemsize < 4 else (x, y)
        return (
            lambda: vc.calculate_cramers_v(x, y, 20, 30),
            [(f"numpy bincount + chi2, {x.dtype}", lambda: cramers_v_numpy(*wide, 20, 30), close)],
            (name, lambda: vc.calculate_cramers_v(x32, y32, 20, 30), goal),
        )

    return setup


def pandas_rare_case(how):
    def setup(n, rng):
        values = np.minimum(rng.zipf(1.3, size=n) - 1, 999).astype(np.int32)
        codes = pandas_codes(how, values, 1000)
        name, goal = same_values(codes.dtype)
        return (
            lambda: vc.detect_categorical_outliers(codes, 1000, 0.001),
            [
                (
                    f"numpy bincount + lookup, {codes.dtype}",
                    lambda: rare_flags_numpy(codes, 1000, 0.001),
                    np.array_equal,
                )
            ],
            (name, lambda: vc.detect_categorical_outliers(values, 1000, 0.001), goal),
        )

    return setup


if have("pandas"):
    for _how, _dtype in [("factorize", "int64"), ("cat.codes", "int8")]:
        case(f"cramers_v {{n}} pairs, 20x30, {_how} {_dtype}", 10_000_000)(
            pandas_cramers_case(_how)
        )
    for _how, _dtype in [("factorize", "int64"), ("cat.codes", "int16")]:
        case(f"categorical_outliers {{n}}, {_how} {_dtype}", 10_000_000)(pandas_rare_case(_how))


@case("continuous_outliers {n}, float32", 10_000_000)
def _(n, rng):
    x64 = rng.normal(size=n).astype(np.float32).astype(np.float64)
    x64[::1000] *= 10
    x = x64.astype(np.float32)
    name, goal = same_values(x.dtype)
    # NumPy computes in float32 there: its flags may differ where |z| is near the threshold.
    return (
        lambda: vc.detect_continuous_outliers(x, 3.0),
        [("numpy expression, float32", lambda: z_flags_numpy(x, 3.0), None)],
        (name, lambda: vc.detect_continuous_outliers(x64, 3.0), goal),
    )


def float32_frame(n, rng):
    import pandas as pd

    frame = pd.DataFrame({f"c{j}": rng.normal(size=n // 16).astype(np.float32) for j in range(16)})
    a = frame.to_numpy()  # float32, in Fortran order
    a64 = a.astype(np.float64, order="F")
    name, goal = same_values(a.dtype)
    return (
        lambda: vc.calculate_summary_stats(a),
        [("numpy mean/std/min/max, float32", lambda: summary_numpy(a), None)],
        (name, lambda: vc.calculate_summary_stats(a64), goal),
    )


if have("pandas"):
    case("summary_stats {rows}x16, float32 frame", 16_000_000)(float32_frame)


@case("cramers_v {n} pairs, 2000x2000", 200_000)
def _(n, rng):
    x = rng.integers(0, 2000, size=n, dtype=np.int32)
    y = ((x + rng.integers(0, 50, size=n)) % 2000).astype(np.int32)
    cells = np.zeros(2000 * 2000)
    return (
        lambda: vc.calculate_cramers_v(x, y, 2000, 2000),
        [("numpy bincount + chi2", lambda: cramers_v_numpy(x, y, 2000, 2000), close)],
        # Chi-square adds one term per cell into one accumulator, in cell order: one addition's
        # latency per cell, whatever is computed beside it.
        ("serial sums over the 4e6 cells", serial_sums(cells), 1.5),
    )


# --- Arrow: columns and tables read in place through the Arrow PyCapsule interface ------------
# Each row times ours on a producer's object against ours on the same data as a NumPy array, in
# the same run: the goal is the same speed, the producer's export included (what the producer
# does to export, pandas' conversion of a masked or categorical column or DuckDB's query, is
# part of the call). A null is NaN in data and the code -1 in codes, on both sides.
ARROW_GOAL = 1.1
TABLE_GOAL = 1.2


def arrow_case(name, elements, producers, goal=ARROW_GOAL):
    """Registers the case when `producers` are installed: setup(n, rng) -> (the object's
    call, the NumPy array's call)."""

    def register(setup):
        if not have(*producers):
            return setup

        def run(n, rng):
            ours, same = setup(n, rng)
            return ours, [], ("ours on NumPy, same data", same, goal)

        return case(name, elements)(run)

    return register


def table_16(n, rng):
    m = np.asfortranarray(rng.normal(size=(n // 16, 16)))
    return m, {f"c{i}": m[:, i] for i in range(16)}


def summary_on(make, producers):
    def setup(n, rng):
        m, cols = table_16(n, rng)
        obj = make(cols)
        return lambda: vc.calculate_summary_stats(obj), lambda: vc.calculate_summary_stats(m)

    return setup


for _label, _producers, _make in [
    ("polars DataFrame", ("polars",), lambda c: __import__("polars").DataFrame(c)),
    ("pyarrow Table", ("pyarrow",), lambda c: __import__("pyarrow").table(c)),
    (
        "pandas double[pyarrow]",
        ("pandas", "pyarrow"),
        lambda c: __import__("pandas").DataFrame(c, dtype="double[pyarrow]"),
    ),
    (
        "pandas Float64, no NA",
        ("pandas", "pyarrow"),
        lambda c: __import__("pandas").DataFrame(c).astype("Float64"),
    ),
    (
        "DuckDB relation",
        ("duckdb", "pyarrow"),
        lambda c: __import__("duckdb").from_arrow(__import__("pyarrow").table(c)),
    ),
]:
    arrow_case(f"summary_stats {{rows}}x16, {_label}", 16_000_000, _producers, TABLE_GOAL)(
        summary_on(_make, _producers)
    )


@arrow_case("continuous_outliers {n}, polars Series, 2 nulls", 1_000_000, ("polars",))
def _(n, rng):
    import polars as pl

    x = rng.normal(size=n)
    s = pl.Series(x).scatter([10, n // 2], None)
    same = s.to_numpy()
    return lambda: vc.detect_continuous_outliers(s, 3.0), lambda: vc.detect_continuous_outliers(
        same, 3.0
    )


@arrow_case("continuous_outliers {n}, pyarrow 2 chunks", 1_000_000, ("pyarrow",))
def _(n, rng):
    import pyarrow as pa

    x = rng.normal(size=n)
    c = pa.chunked_array([x[: n // 2], x[n // 2 :]])
    return lambda: vc.detect_continuous_outliers(c, 3.0), lambda: vc.detect_continuous_outliers(
        x, 3.0
    )


def codes_on(make, dtype):
    """The object's call beside the call on its codes as NumPy holds them: of its own integer
    type (`dtype`, what to_numpy() or .cat.codes gives), the null as -1."""

    def setup(n, rng):
        codes = rng.integers(0, 20, n).astype(np.int32)
        codes[7] = -1  # the null
        obj = make(codes)
        same = codes.astype(dtype)
        return lambda: vc.detect_categorical_outliers(
            obj, 20, 0.01
        ), lambda: vc.detect_categorical_outliers(same, 20, 0.01)

    return setup


def with_null(series):
    series[7] = None
    return series


def labelled(codes):
    return np.array([f"v{i}" for i in range(20)] + [None], dtype=object)[codes]


for _label, _producers, _dtype, _make in [
    (
        "pandas Int64, one NA",
        ("pandas", "pyarrow"),
        np.int64,
        lambda c: with_null(__import__("pandas").Series(c, dtype="Int64")),
    ),
    (
        "polars Int32, a null",
        ("polars",),
        np.int32,
        lambda c: __import__("polars").Series(c).scatter([7], None),
    ),
    (
        "pandas Categorical",
        ("pandas",),
        np.int8,
        lambda c: __import__("pandas").Series(
            __import__("pandas").Categorical.from_codes(c, [f"v{i}" for i in range(20)])
        ),
    ),
    (
        "polars Categorical",
        ("polars",),
        np.uint32,
        lambda c: __import__("polars").Series(labelled(c), dtype=__import__("polars").Categorical),
    ),
    (
        "pyarrow DictionaryArray",
        ("pyarrow",),
        np.int32,
        lambda c: __import__("pyarrow").DictionaryArray.from_arrays(
            __import__("pyarrow").array(c, mask=c < 0), [f"v{i}" for i in range(20)]
        ),
    ),
]:
    arrow_case(f"categorical_outliers {{n}}, {_label}", 1_000_000, _producers)(
        codes_on(_make, _dtype)
    )


# --- the profiler's whole job against the same job in polars -------------------------------
# The demo profiler on a table of 8 float and 6 string columns with missing values: type and
# encode, then per measurement statistics and |z| > 4 counts, per categorical column its rare
# categories, and Cramér's V of every pair over the rows where both have a value. Both run on
# one thread (polars as POLARS_MAX_THREADS says, above). polars runs twice: on the text columns
# as they are, and on categorical codes it makes of them first, which is faster.
# Two reference rows split ours: its kernel calls replayed alone (the time inside the four
# functions), and the job with each call answered from those replies (the time around them).


def job_frame(n, rng):
    import pandas as pd

    columns = {}
    for j in range(8):
        x = rng.normal(size=n) * (j + 1)
        if j % 3 == 0:
            x[rng.choice(n, n // 1000 * (j + 1), replace=False)] = np.nan
        columns[f"x{j}"] = x
    for j, k in enumerate([3, 5, 12, 40, 200, 1000]):
        weights = 1 / np.arange(1, k + 1)
        labels = np.array([f"c{j}_{i}" for i in range(k)], dtype=object)[
            rng.choice(k, n, p=weights / weights.sum())
        ]
        if j % 2 == 0:
            labels[rng.choice(n, n // 200, replace=False)] = None
        columns[f"c{j}"] = labels
    return pd.DataFrame(columns).astype({f"c{j}": "str" for j in range(6)})


def profiler_job_case(n, rng):
    import polars as pl
    from polars_profile import polars_job

    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples"))
    from profiler.baselines import VANTORIX, Clock, Kernels, timed
    from profiler.encoding import encode
    from profiler.profile import run_profile

    frame = job_frame(n, rng)
    polars_frame = pl.from_pandas(frame)
    measurements = [c for c in frame.columns if c.startswith("x")]
    categorical = [c for c in frame.columns if c.startswith("c")]

    def ours():
        table = encode(frame)
        return table, run_profile(table, VANTORIX, 4.0)

    clock = Clock()
    run_profile(encode(frame), timed(VANTORIX, clock), 4.0)
    calls = clock.calls
    replies = [fn(*args) for fn, args in calls]

    def kernels_alone():
        for fn, args in calls:
            fn(*args)

    def around_them():
        # One thread: the calls come in the same order every time.
        answers = iter(replies)
        reply = lambda *args: next(answers)  # noqa: E731
        run_profile(encode(frame), Kernels("replies", reply, reply, reply, reply), 4.0)

    def agree(result, theirs):
        table, profile = result
        v = profile.cramers_v[np.triu_indices(len(categorical), 1)]
        rare = {
            c: int(np.count_nonzero(table.categorical[c].counts < profile.rare[c].limit))
            for c in categorical
        }
        same_v = np.allclose(v, list(theirs["v"].values()), rtol=1e-9, atol=1e-12, equal_nan=True)
        return same_v and rare == theirs["rare"]

    threads = f"polars, {pl.thread_pool_size()} thread{'s' if pl.thread_pool_size() > 1 else ''}"
    return (
        ours,
        [
            (
                f"{threads}, codes",
                lambda: polars_job(polars_frame, measurements, categorical),
                agree,
            ),
            (
                f"{threads}, text",
                lambda: polars_job(polars_frame, measurements, categorical, codes=False),
                agree,
            ),
        ],
        ("ours: in the four functions", kernels_alone, None),
        ("ours: around them", around_them, None),
    )


if have("pandas", "polars", "pyarrow"):
    case("profiler job {n} rows, 8 float + 6 text", 1_000_000)(profiler_job_case)


# --- the profile command on a file against the same job in polars, both as processes -------
# The built-in table written as CSV (by pandas) and as Parquet; `profile_columns.py FILE
# --no-compare` from its start to its last line against bench/polars_profile.py on the same
# file, polars on its default threads (all cores) and pyarrow reading on all cores too. The
# reference rows split ours in process: reading the file, reading with typing and encoding,
# the profile of the encoded table, the report, and the interpreter's start with the imports.
EXAMPLES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples")
COMMAND = os.path.join(EXAMPLES, "profile_columns.py")
POLARS_SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "polars_profile.py")
WRITTEN = {}  # rows -> the folder with the files, written once per run


def builtin_files(n):
    if n not in WRITTEN:
        sys.path.insert(0, EXAMPLES)
        import pyarrow as pa
        import pyarrow.parquet as pq
        from profiler.builtin import builtin_frame

        folder = tempfile.TemporaryDirectory(prefix="vantorix-bench-")
        frame = builtin_frame(n)
        frame.to_csv(os.path.join(folder.name, "table.csv"), index=False)
        table = pa.Table.from_pandas(frame, preserve_index=False)
        plain = [pa.string() if pa.types.is_dictionary(f.type) else f.type for f in table.schema]
        table = table.cast(pa.schema(list(zip(table.column_names, plain))))
        pq.write_table(table, os.path.join(folder.name, "table.parquet"))
        WRITTEN[n] = folder
    return WRITTEN[n].name


def printed_v(text):
    """Cramér's V of each pair as the command prints it (three decimals)."""
    lines = text.splitlines()
    start = next(i for i, line in enumerate(lines) if line.startswith("Cramér's V of"))
    names = lines[start + 2].split()
    v = {}
    for line in lines[start + 3 : start + 3 + len(names)]:
        row, *cells = line.split()
        v |= {(row, col): cell for col, cell in zip(names, cells)}
    return v


def command_case(kind):
    def setup(n, rng):
        sys.path.insert(0, EXAMPLES)
        import polars_profile
        from profiler.baselines import VANTORIX
        from profiler.encoding import MIN_PER_CELL, Table, add, encode_column
        from profiler.profile import run_profile
        from profiler.reading import open_source
        from profiler.table import report_lines

        assert polars_profile.MIN_PER_CELL == MIN_PER_CELL
        path = os.path.join(builtin_files(n), f"table.{kind}")
        polars_env = {k: v for k, v in os.environ.items() if k != "POLARS_MAX_THREADS"}

        def run(*args, env=None):
            return subprocess.run(
                [sys.executable, *args], check=True, capture_output=True, text=True, env=env
            ).stdout

        def ours():
            return run(COMMAND, path, "--no-compare")

        def polars():
            return run(POLARS_SCRIPT, path, env=polars_env)

        def agree(text, theirs):
            v = json.loads(theirs)["v"]
            ours_v = printed_v(text)
            # polars leaves out the pairs too sparse for χ², as the report does.
            return all(ours_v[tuple(pair.split())] == f"{x:.3f}" for pair, x in v.items() if x == x)

        def read():
            # A Parquet column comes as pieces read when used: read them all here.
            columns = open_source(path)[0].columns()
            return [c.whole() if hasattr(c, "pieces") else c for _, c in columns]

        def read_and_encode():
            source = open_source(path)[0]
            table = Table(source.name, source.rows, len(source.names))
            for name, column in source.columns():
                add(table, name, encode_column(name, column, False, source.names))
            return source, table

        source, table = read_and_encode()
        profile = run_profile(table, VANTORIX, 4.0, keep_flags=False)
        start = "import sys; sys.path.insert(0, sys.argv[1]); import profiler.cli"
        polars_threads = run(
            "-c", "import polars; print(polars.thread_pool_size())", env=polars_env
        )
        return (
            ours,
            [(f"polars script, {polars_threads.strip()} threads", polars, agree)],
            ("ours: read the file", read, None),
            ("ours: read, type and encode", read_and_encode, None),
            (
                "ours: profile of the encoded table",
                lambda: run_profile(table, VANTORIX, 4.0, keep_flags=False),
                None,
            ),
            (
                "ours: report",
                lambda: report_lines(source.name, source.kind, table, profile, 4.0, None),
                None,
            ),
            ("ours: start and imports", lambda: run("-c", start, EXAMPLES), None),
        )

    return setup


if have("pandas", "polars", "pyarrow"):
    for kind in ("csv", "parquet"):
        case(f"profile command {{n}} rows, from {kind}", 2_000_000)(command_case(kind))


if have("polars"):

    @case("summary_stats {n}x1, one long column", 10_000_000)
    def _(n, rng):
        import polars as pl

        a = rng.normal(size=n)
        frame = pl.DataFrame({"x": a})
        x = pl.col("x")

        def polars_stats():
            stats = [x.mean(), x.std(ddof=0), x.min(), x.max()]
            return frame.select(s.alias(str(i)) for i, s in enumerate(stats)).row(0)

        def agree(ours, base):
            return np.allclose([ours[k][0] for k in ("mean", "std", "min", "max")], base)

        return (
            lambda: vc.calculate_summary_stats(a[:, None]),
            [(f"polars, {pl.thread_pool_size()} thread(s)", polars_stats, agree)],
        )


THREADS = max(2, os.cpu_count() or 1)


@case(f"{THREADS} threads, a column each, {{n}} in all", 4_000_000)
def _(n, rng):
    # Each thread profiles a column of its own: summary statistics and z-score flags. A
    # free-threaded build runs them side by side; a build with the GIL one after another. The
    # threads are a pool made once, as a program would keep one: threads started anew for
    # calls this short (milliseconds) lost most of the gain to their start-up.
    columns = [rng.normal(size=n // THREADS) for _ in range(THREADS)]
    pool = ThreadPoolExecutor(max_workers=THREADS)

    def profile(column):
        vc.calculate_summary_stats(column[:, None])
        vc.detect_continuous_outliers(column, 3.0)

    def threads():
        list(pool.map(profile, columns))

    def one_thread():
        for c in columns:
            profile(c)

    return threads, [("one thread, the same calls", one_thread, None)]


def per_call(ours, base):
    def loop(fn):
        def run():
            for _ in range(1000):
                fn()

        return run

    return loop(ours), [("numpy, same 16 elements", loop(base), None)]


@case("per call, 16: summary_stats", 16, calls=1000)
def _(n, rng):
    a = rng.normal(size=(4, 4))
    return per_call(lambda: vc.calculate_summary_stats(a), lambda: summary_numpy(a))


@case("per call, 16: continuous_outliers", 16, calls=1000)
def _(n, rng):
    x = rng.normal(size=16)
    return per_call(lambda: vc.detect_continuous_outliers(x, 1.0), lambda: z_flags_numpy(x, 1.0))


@case("per call, 16: categorical_outliers", 16, calls=1000)
def _(n, rng):
    c = rng.integers(0, 4, size=16, dtype=np.int32)
    return per_call(
        lambda: vc.detect_categorical_outliers(c, 4, 0.1), lambda: rare_flags_numpy(c, 4, 0.1)
    )


@case("per call, 16: cramers_v", 16, calls=1000)
def _(n, rng):
    x, y = (rng.integers(0, 4, size=16, dtype=np.int32) for _ in range(2))
    return per_call(lambda: vc.calculate_cramers_v(x, y, 4, 4), lambda: cramers_v_numpy(x, y, 4, 4))


def peak_bytes(fn):
    tracemalloc.start()
    try:
        fn()
        return tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()


def seconds(fn):
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def sized(name, elements, calls, scale):
    """The number of elements a case runs at this scale, and its name with that size."""
    n = elements if calls > 1 else max(16, int(elements * scale))
    cols = re.search(r"\}x(\d+)", name)
    rows = n // int(cols.group(1)) if cols else n
    return n, name.format(n=size(n), rows=size(rows))


def run_case(name, n, calls, setup, repeats, rng):
    ours, baselines, *floors = setup(n, rng)
    floors = [f for f in floors if f[1] is not None]
    result = ours()
    for base_name, base, agree in baselines:
        if agree is not None and not agree(result, base()):
            raise AssertionError(f"{name}: results differ from {base_name}")
    functions = [ours] + [base for _, base, _ in baselines] + [fn for _, fn, _ in floors]
    times = [[] for _ in functions]
    for _ in range(repeats):
        for t, fn in zip(times, functions):
            t.append(seconds(fn) / calls)
    ours_s = statistics.median(times[0])
    ours_peak = peak_bytes(ours) / calls
    results = [
        {
            "case": name,
            "elements": n,
            "baseline": base_name,
            "ours_ms": ours_s * 1e3,
            "baseline_ms": statistics.median(t) * 1e3,
            "ours_ns_per_element": ours_s * 1e9 / n,
            "baseline_ns_per_element": statistics.median(t) * 1e9 / n,
            "ratio": statistics.median(t) / ours_s,
            "ours_peak_mb": ours_peak / 2**20,
            "baseline_peak_mb": peak_bytes(base) / calls / 2**20,
        }
        for (base_name, base, _), t in zip(baselines, times[1:])
    ]
    for (floor_name, _, goal), t in zip(floors, times[1 + len(baselines) :]):
        floor_s = statistics.median(t)
        results.append(
            {
                "case": name,
                "elements": n,
                "floor": floor_name,
                "ours_ms": ours_s * 1e3,
                "floor_ms": floor_s * 1e3,
                "ours_ns_per_element": ours_s * 1e9 / n,
                "floor_ns_per_element": floor_s * 1e9 / n,
                "ours_over_floor": ours_s / floor_s,
                "goal": goal,
            }
        )
    return results


def machine():
    model = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as f:
            model = next(
                line.split(":", 1)[1].strip() for line in f if line.startswith("model name")
            )
    except (OSError, StopIteration):
        pass
    return {"cpu": model, "python": platform.python_version(), "numpy": np.__version__}


def show_time(ms):
    return f"{ms:8.2f} ms" if ms >= 0.1 else f"{ms * 1e3:8.2f} us"


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument(
        "--quick", action="store_true", help="inputs a tenth the size, fewer repeats"
    )
    parser.add_argument("--json", metavar="FILE", help="also write the results as JSON")
    parser.add_argument("--only", nargs="+", default=[], help="cases whose name contains TEXT")
    args = parser.parse_args(argv)
    scale, repeats = (0.1, 5) if args.quick else (1.0, 15)
    info = machine()
    print(f"{info['cpu']} | Python {info['python']} | NumPy {info['numpy']} | medians of {repeats}")
    print(
        f"{'case':44} {'ours':>11} {'ns/elem':>8}  {'baseline':30} {'time':>11} {'ns/elem':>8} "
        f"{'ratio':>7} {'MB ours':>8} {'MB base':>8}"
    )
    rows = []
    for name, elements, calls, setup in CASES:
        n, name = sized(name, elements, calls, scale)
        if args.only and not any(text in name for text in args.only):
            continue
        for row in run_case(name, n, calls, setup, repeats, np.random.default_rng(0)):
            rows.append(row)
            ours = f"{show_time(row['ours_ms'])} {row['ours_ns_per_element']:8.3f}"
            start = f"{row['case']:44} {ours}  "
            if "floor" in row:
                goal = row["goal"]
                if goal is None:
                    verdict = "(for reference)"
                else:
                    met = "met" if row["ours_over_floor"] <= goal else "not met"
                    verdict = f"(goal <= {goal:.2f}x, {met})"
                # "ours on int32, same values" is a reference of its own, not a floor.
                same = row["floor"].startswith("ours")
                label = row["floor"] if same else "floor: " + row["floor"]
                print(
                    f"{start}{label:30} {show_time(row['floor_ms'])} "
                    f"{row['floor_ns_per_element']:8.3f} "
                    f"{'this/that' if same else 'ours/floor'} {row['ours_over_floor']:.2f}x "
                    f"{verdict}",
                    flush=True,
                )
                continue
            print(
                f"{start}{row['baseline']:30} {show_time(row['baseline_ms'])} "
                f"{row['baseline_ns_per_element']:8.3f} {row['ratio']:6.1f}x "
                f"{row['ours_peak_mb']:8.1f} {row['baseline_peak_mb']:8.1f}",
                flush=True,
            )
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"machine": info, "quick": args.quick, "results": rows}, f, indent=2)
    return 0


if __name__ == "__main__":
    sys.exit(main())
