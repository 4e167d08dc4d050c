"""The column profiler in examples/: what it reports, and that its NumPy/pandas twin agrees."""

import subprocess
import sys
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

import vantorix_core as vc

SCRIPT = Path(__file__).resolve().parents[1] / "examples" / "profile_columns.py"
sys.path.insert(0, str(SCRIPT.parent))
import profile_columns as profiler  # noqa: E402

# 40 rows: price misses row 1 and has an outlier, city a rare Lima and two missing values,
# paid one missing value.
PRICES = [100.0 if i == 5 else None if i == 1 else 1.5 + i % 7 for i in range(40)]
CITIES = ["Oslo", "Rome"] * 18 + ["Lima", None, "Rome", None]
CSV = "price,city,paid,score\n" + "".join(
    f"{'' if price is None else price},{city or ''},{'' if i == 3 else i % 2 == 0},{10 + i % 3}\n"
    for i, (price, city) in enumerate(zip(PRICES, CITIES))
)


def report(capsys, *args):
    assert profiler.main([str(a) for a in args]) == 0
    out = capsys.readouterr().out
    assert all(len(row) <= 100 and row == row.rstrip() for row in out.splitlines())
    return out


def line(out, first_word, which=0):
    return [row.split() for row in out.splitlines() if row.split()[:1] == [first_word]][which]


def test_csv_with_missing_values_reports_them(tmp_path, capsys):
    path = tmp_path / "table.csv"
    path.write_text(CSV)
    out = report(capsys, path, "--z", "1", "--rare", "0.05", "--categorical", "score")

    price = np.array([p for p in PRICES if p is not None])
    stats = vc.calculate_summary_stats(price[:, None])
    expected = [f"{stats[k][0]:.6g}" for k in ("mean", "std", "min", "max")]
    outliers = str(vc.detect_continuous_outliers(price, 1.0).sum())
    assert line(out, "price") == ["price", "39", "1", *expected, outliers]
    # Over all rows mean and std are NaN and 0, as the note says; min and max skip the NaN
    # (not in row 0), so no "all rows" line repeats them.
    assert "  all rows" not in out and "missing: NaN." in out
    # city: 3 categories, 2 missing, Lima rare (1 < 40 * 0.05); paid: 1 missing.
    assert line(out, "city") == ["city", "3", "2", "1", "Lima", "(1)"]
    assert line(out, "paid")[:4] == ["paid", "2", "1", "0"]
    assert line(out, "score")[:4] == ["score", "3", "0", "0"]
    assert "Same results? flags: 0 of " in out


def test_builtin_table_shows_what_was_planted(capsys):
    out = report(capsys, "--rows", 20_000)
    assert line(out, "basket_eur")[1:3] == ["19,980", "20"]
    assert line(out, "os")[1:3] == ["7", "60"]
    assert int(line(out, "latency_ms")[-1]) >= 5 and int(line(out, "temperature_c")[-1]) >= 1
    assert {"IS", "LU"} <= set(line(out, "country")) and "HarmonyOS" in line(out, "os")
    v = {
        row[0]: [float(x) for x in row[1:]]
        for row in map(str.split, out.splitlines())
        if len(row) == 6 and row[0] in ("device", "channel")
    }
    assert v["device"][3] > 0.8 and max(v["channel"][:4]) < 0.1
    assert "Same results? flags: 0 of " in out


def awkward_frame():
    """80 rows: an identifier, a constant, 20 groups of 4 rows, a state known only where the
    country is one, and a column with values in 20 rows only."""
    rows = 80
    return pd.DataFrame(
        {
            "id": [f"r{i}" for i in range(rows)],
            "one": ["x"] * rows,
            "group": [f"g{i % 20}" for i in range(rows)],
            "country": ["US"] * 64 + ["TH"] * 8 + ["PW"] * 7 + ["FM"],
            "state": [["CA", "NY", "TX"][i % 3] for i in range(64)] + [None] * 16,
            "sparse": [["a", "b"][i % 8 // 4] if i % 4 == 0 else None for i in range(rows)],
            "plan": [["free", "pro"][i % 3 % 2] for i in range(rows)],
        }
    )


def test_v_matrix_says_what_it_cannot_compute(tmp_path, capsys):
    path = tmp_path / "awkward.csv"
    awkward_frame().to_csv(path, index=False)
    out = report(capsys, path)
    assert line(out, "id")[1:] == [
        "80",
        "0",
        "-",
        "ID-like:",
        "80",
        "distinct",
        "in",
        "80",
        "values",
    ]
    assert line(out, "group")[3:] == [
        "-",
        "too",
        "many",
        "for",
        "80",
        "values:",
        "4",
        "a",
        "category",
    ]
    # Seen once in 80 rows is rare by default.
    assert line(out, "country")[1:] == ["4", "0", "1", "FM", "(1)"]
    assert line(out, "state", 1)[1:] == ["n/a", "1.000", "sparse", "1.000"]
    assert line(out, "sparse", 1)[1:] == ["sparse", "sparse", "1.000", "0.105*"]
    for expected in [
        "Left out of Cramér's V, ID-like: id",
        "Left out of Cramér's V, one category only: one",
        "Left out of Cramér's V, too many categories for their rows: group",
        "n/a: country with state: country has one category in the 64 rows with both",
        "    categories): country with sparse (20 in 3 × 2), state with sparse (16 in 3 × 2)",
        "*: computed on fewer than 50% of the 80 rows:",
        "  sparse (20 values) with plan 20",
    ]:
        assert expected in out.splitlines()


@pytest.mark.parametrize("columns", [3, 12, 40])
@pytest.mark.parametrize("name_length", [4, 60])
def test_text_stays_within_100_columns(capsys, columns, name_length):
    rng = np.random.default_rng(columns)
    frame = pd.DataFrame(
        {
            f"{k:02d}".ljust(name_length, "x"): rng.choice(["a" * name_length, "b", "c", None], 40)
            for k in range(columns)
        }
        | {"y" * name_length: rng.normal(size=40)}
    )
    table = profiler.encode(frame)
    profile = profiler.run_profile(table, profiler.VANTORIX, 1.0, 0.3)
    text = profiler.numeric_section(table, profile, 1.0)
    text += profiler.categorical_section(table, profile, 0.3)
    text += profiler.cramers_v_section(table, profile)
    lines = "\n".join(text).splitlines()
    assert max(map(len, lines)) <= 100 and all(row == row.rstrip() for row in lines)


def test_heatmap_names_the_data_and_the_undefined(tmp_path):
    pytest.importorskip("matplotlib")
    table = profiler.encode(awkward_frame(), name="awkward.csv")
    fig = profiler.cramers_v_figure(table, profiler.run_profile(table, profiler.VANTORIX, 4, 0.1))
    assert fig.axes[0].get_title() == "Cramér's V of the categorical columns\nawkward.csv, 80 rows"
    texts = [text.get_text() for text in fig.axes[0].texts]
    assert texts.count("n/a") == 2 and texts.count("sparse") == 4 and "0.10\nn=20" in texts


@pytest.mark.parametrize("frame", ["builtin", "awkward"])
@pytest.mark.parametrize("cramers_v", ["cramers_v_numpy", "cramers_v_pandas"])
def test_numpy_and_pandas_profile_agrees_with_ours(cramers_v, frame):
    if cramers_v == "cramers_v_pandas":
        pytest.importorskip("scipy")
    data = profiler.builtin_frame(5_000) if frame == "builtin" else awkward_frame()
    table = profiler.encode(data)
    baseline = profiler.Kernels(
        "baseline",
        profiler.summary_numpy,
        profiler.z_flags_numpy,
        profiler.rare_flags_pandas,
        getattr(profiler, cramers_v),
    )
    ours = profiler.run_profile(table, profiler.VANTORIX, 3.0, 0.01)
    theirs = profiler.run_profile(table, baseline, 3.0, 0.01)
    for j in range(len(table.numeric)):
        (a, a_flags), (b, b_flags) = profiler.reported(ours, j), profiler.reported(theirs, j)
        assert a == pytest.approx(b, rel=1e-12)
        np.testing.assert_array_equal(a_flags, b_flags)
    for name in ours.rare_flags:
        np.testing.assert_array_equal(ours.rare_flags[name], theirs.rare_flags[name])
    np.testing.assert_allclose(ours.cramers_v, theirs.cramers_v, rtol=0, atol=1e-12)


def run(*args, cwd):
    return subprocess.run(
        [sys.executable, str(SCRIPT), *map(str, args)],
        cwd=cwd,
        capture_output=True,
        text=True,
        timeout=300,
    )


def test_plot_writes_a_png_of_the_matrix(tmp_path):
    pytest.importorskip("matplotlib")
    proc = run("--rows", 5_000, "--plot", "v.png", cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    assert "Cramér's V matrix drawn to v.png" in proc.stdout
    png = (tmp_path / "v.png").read_bytes()
    assert png.startswith(b"\x89PNG\r\n\x1a\n") and len(png) > 10_000


@pytest.mark.parametrize(
    "args, message",
    [
        (["missing.csv"], "cannot read missing.csv"),
        (["--categorical", "nope", "--rows", "100"], "no such column: nope"),
    ],
)
def test_bad_arguments_are_refused_with_a_message(tmp_path, args, message):
    proc = run(*args, cwd=tmp_path)
    assert proc.returncode == 2 and message in proc.stderr


@pytest.mark.parametrize(
    "args, message",
    [
        (["--rare", "-1"], "argument --rare: give a fraction of the rows above 0 and below 1"),
        (["--rare", "1"], "argument --rare: give a fraction"),
        (["--z", "nan"], "argument --z: give a finite number above 0, not nan"),
        (["--z", "0"], "argument --z: give a finite number above 0"),
        (["--rows", "-5"], "argument --rows: give 1 to 10,000,000 rows, not -5"),
        (["--rows", "2.5"], "argument --rows: not a whole number: '2.5'"),
        (["--sep", "ab"], "argument --sep: give one character, tab or whitespace"),
        (["--sep", ";"], "--sep is for a CSV file, not the built-in table"),
        (["TMP/tab.txt", "--rows", "5"], "--rows is for the built-in table"),
        (["TMP/tab.txt", "--sep", ","], "tab.txt reads as a single column named 'a\\tb'"),
        (["--plot", "TMP/v.xyz"], "--plot: name a file ending in"),
        (["--plot", "TMP/nowhere/v.png"], "--plot: no folder"),
        (["--dtype-backend", "arrow"], "argument --dtype-backend: invalid choice"),
    ],
)
def test_bad_options_exit_with_argparse_errors(tmp_path, capsys, args, message):
    (tmp_path / "tab.txt").write_text("a\tb\n1\t2\n3\t4\n")
    with pytest.raises(SystemExit) as exit:
        profiler.main([str(a).replace("TMP", str(tmp_path)) for a in args])
    err = capsys.readouterr().err
    assert exit.value.code == 2 and message in err and "Traceback" not in err


def test_one_row_gives_a_report_without_a_matrix(capsys):
    out = report(capsys, "--rows", 1)
    assert out.startswith("Profile of the built-in table (seed 2026): 1 row, 9 columns\n")
    assert "Planted outliers, missing values and rare categories: none in 1 row." in out
    assert "Left out of Cramér's V, one category only: country, plan, device, os, channel" in out
    assert "Cramér's V of" not in out and "n/a" not in out and "missing:" not in out
    assert "Same results? flags: 0 of 4 differ; statistics: within 0.0e+00 (relative)" in out


@pytest.mark.parametrize(
    "sep, quote, named",
    [
        (",", '"', ""),
        (";", '"', " (semicolon-separated)"),
        ("\t", "'", " (tab-separated)"),
        ("|", '"', " (separated by |)"),
        (" ", "'", " (whitespace-separated)"),
    ],
)
def test_separator_and_quotes_are_sniffed(tmp_path, capsys, sep, quote, named):
    frame = pd.DataFrame({"size": np.arange(30.0) % 7, "colour": ["red", "blue", "green"] * 10})
    path = tmp_path / "t.txt"
    frame.to_csv(path, sep=sep, quotechar=quote, quoting=2, index=False)  # quote the text
    out = report(capsys, path)
    assert out.startswith(f"Profile of t.txt{named}: 30 rows, 2 columns\n")
    assert line(out, "size")[:3] == ["size", "30", "0"] and line(out, "colour")[1] == "3"


@pytest.mark.parametrize("sep", [";", "tab", "\\t", "whitespace"])
def test_sep_names_the_separator(tmp_path, capsys, sep):
    between = {";": ";", "whitespace": "  "}.get(sep, "\t")
    last = "z" if sep == "whitespace" else "x y"  # a space inside a value, where it may be
    text = between.join(["a", "b\n3.5", "x\n1", "y\n2", "x\n7", last + "\n"])
    (tmp_path / "t.txt").write_text(text)
    out = report(capsys, tmp_path / "t.txt", "--sep", sep)
    assert line(out, "a")[:3] == ["a", "4", "0"] and line(out, "b")[1:3] == ["3", "0"]


@pytest.mark.parametrize(
    "categories, rows, left_out",
    [
        (190, 344, "too many for 344 values: 1.81 a category"),  # penguins-raw's Individual ID
        (311, 406, "too many for 406 values: 1.31 a category"),  # cars' Name
        (380, 406, "ID-like: 380 distinct in 406 values"),
        (123, 560, "too many for 560 values: 4.55 a category"),  # the stocks table's date
        (16, 16, "too many for 16 values: 1 a category"),  # burtin's Bacteria, under 20 rows
        (10, 49, "too many for 49 values: 4.9 a category"),
        (10, 50, ""),  # 5 values per category: counted
    ],
)
def test_columns_with_too_many_categories_get_no_rare_values_nor_v(categories, rows, left_out):
    labels = [f"c{i % categories}" for i in range(rows)]
    frame = pd.DataFrame({"many": labels, "two": ["x", "y"] * (rows // 2) + ["x"] * (rows % 2)})
    table = profiler.encode(frame)
    profile = profiler.run_profile(table, profiler.VANTORIX, 4.0, 0.01)
    text = "\n".join(profiler.categorical_section(table, profile, 0.01))
    text += "\n".join(profiler.cramers_v_section(table, profile))
    if left_out:
        assert " ".join(line(text, "many")[3:]) == f"- {left_out}"
        assert "many" not in profile.rare_flags and profile.v_columns == ["two"]
        assert "Cramér's V of" not in text
    else:
        assert "many" in profile.rare_flags and profile.v_columns == ["many", "two"]


SAMPLE_NUMBER = np.r_[1:153, 1:69, 1:125].astype(float)  # penguins-raw: 1 up, once per study


@pytest.mark.parametrize(
    "name, values, what",
    [
        (
            "Sample Number",
            SAMPLE_NUMBER,
            "counts up by 1 from row to row (in 99% of the rows), 1 to 152",
        ),
        ("date", [19580329.0, 19580405, 19580412, np.nan], "dates written YYYYMMDD, 1958-03-29 to"),
        ("year", [2007, 2008, 2007, 2009], "years, 2007 to 2009"),
        ("Model Year", [1970, 1970, 1982], "years, 1970 to 1982"),
        ("wheat", np.arange(1565, 1825, 5), "counts up by 5 from row to row, 1565 to 1820"),
        ("identifier", [4, 17, 9029, 55, 230], "distinct integers, named as an ID, 4 to 9029"),
        ("years_married", [2007, 2008, 2007, 2009], ""),  # not named like a year
        ("GNP", [234289, 259426, 258054, 284599], ""),  # distinct, but not counting rows
        ("code", [20001399, 20001401, 20001402], ""),  # YYYYMMDD-like, but month 13
        ("price", [1.0, 2.0, 3.5, 4.0], ""),
        ("id", [1.0, 2.0, 2.0, 5.0], ""),  # not distinct
        ("n", [1.0, np.inf, 3.0], ""),
    ],
)
def test_numeric_columns_that_count_rows_or_hold_dates_are_named(name, values, what):
    table = profiler.encode(pd.DataFrame({name: values, "x": np.linspace(0, 1, len(values))}))
    assert table.not_measured.get(name, "").startswith(what) and bool(what) != (
        name in table.numeric
    )


def timing_free(out):
    """The report without its lines of times, which differ from run to run."""
    lines = out.splitlines()
    start = next(i for i, row in enumerate(lines) if row.startswith("Time for the profile"))
    return lines[:start] + lines[start + 4 :]


@pytest.mark.parametrize("backend", ["numpy_nullable", "pyarrow"])
def test_nullable_and_pyarrow_columns_give_the_same_report(tmp_path, capsys, backend):
    if backend == "pyarrow":
        pytest.importorskip("pyarrow")
    path = tmp_path / "table.csv"
    path.write_text(CSV)
    plain = report(capsys, path, "--z", "1", "--rare", "0.05", "--categorical", "score")
    other = report(
        capsys,
        path,
        "--z",
        "1",
        "--rare",
        "0.05",
        "--categorical",
        "score",
        "--dtype-backend",
        backend,
    )
    assert timing_free(other) == timing_free(plain)


def bits(profile):
    """Every result of a profile, as bytes."""
    arrays = [*profile.stats.values(), *profile.z_flags, *profile.rare_flags.values()]
    arrays += [a for stats, flags in profile.present.values() for a in [*stats.values(), flags]]
    return [a.tobytes() for a in arrays] + [profile.cramers_v.tobytes()]


def test_float32_columns_and_int64_codes_go_in_as_they_are():
    frame = profiler.builtin_frame(5_000)
    frame["latency_ms"] = frame["latency_ms"].astype(np.float32)
    table = profiler.encode(frame)
    assert [block.dtype for _, block in table.blocks] == [np.float32, np.float64]
    assert all(c.codes.dtype == np.int64 for c in table.categorical.values())
    # The same values cast up front, as the profiler did before: the module's results are
    # the same bits, since it converts as NumPy's cast does.
    cast = profiler.encode(frame.astype({"latency_ms": np.float64}))
    for column in cast.categorical.values():
        column.codes = column.codes.astype(np.int32)
    run = profiler.run_profile
    assert bits(run(table, profiler.VANTORIX, 4.0, 0.01)) == bits(
        run(cast, profiler.VANTORIX, 4.0, 0.01)
    )


def masked(x, y):
    """The rows where both have a value, recoded with boolean masks, the obvious way."""
    keep = (x >= 0) & (y >= 0)
    recoded = []
    for codes in (x[keep], y[keep]):
        used = np.bincount(codes) > 0
        recoded.append(((np.cumsum(used) - 1)[codes], int(used.sum())))
    return recoded


@pytest.mark.parametrize(
    "case",
    [
        "one column misses values",
        "both do",
        "a category only where the other misses",
        "its last row past the first 64K kept",
    ],
)
def test_dropping_missing_rows_as_masks_would(case):
    rng = np.random.default_rng(7)
    n = 200_000
    x, y = rng.integers(0, 5, n), rng.integers(0, 4, n)
    y[rng.choice(n, 500, replace=False)] = -1
    if case == "both do":
        x[rng.choice(n, 300, replace=False)] = -1
    if case == "a category only where the other misses":
        x[y < 0] = 5
    if case == "its last row past the first 64K kept":
        x[x == 4] = 0
        x[y < 0] = 4
        x[n - 1], y[n - 1] = 4, 0
    # As from pd.factorize: every category 0 … k - 1 occurs somewhere in its column.
    columns = [
        profiler.Categorical(c, [str(i) for i in range(c.max() + 1)], int((c < 0).sum()))
        for c in (x, y)
    ]
    v, rows, categories = profiler.cramers_v_matrix(columns, profiler.VANTORIX)
    (cx, kx), (cy, ky) = masked(x, y)
    assert (rows[0, 1], categories[0, 1], categories[1, 0]) == (cx.size, kx, ky)
    assert v[0, 1] == vc.calculate_cramers_v(cx, cy, kx, ky)


NO_MISSING = {"x": np.linspace(0, 1, 30), "c": ["a", "b", "c"] * 10, "d": ["u", "v"] * 15}


@pytest.mark.parametrize(
    "columns, present, absent",
    [
        (NO_MISSING, ["Cramér's V: within"], ["missing:", "all rows", "Each V is computed"]),
        # A NaN in row 0 makes min and max NaN over all rows: there the "all rows" line shows.
        (
            NO_MISSING | {"x": np.r_[np.nan, np.linspace(0, 1, 29)]},
            ["  all rows", "missing: NaN."],
            [],
        ),
        (
            NO_MISSING | {"x": np.r_[1, np.nan, np.linspace(0, 1, 28)]},
            ["missing: NaN."],
            ["all rows"],
        ),
        (
            {"x": np.linspace(0, 1, 30), "c": ["a"] * 30},
            ["flags: 0 of 30 differ; statistics"],
            ["Cramér's V:", "Cramér's V of", "rare ="],
        ),
        ({"c": ["a", "b", "c"] * 10}, ["flags: 0 of 30 differ"], ["statistics", "NumPy adds"]),
        ({"x": [1.0, np.inf, 2.0, 3.0]}, ["not finite: an infinity"], ["missing:"]),
        ({"x": [np.nan] * 4, "y": [1.5, 2.5, 3.0, 4.0]}, ["x", "no values"], ["vs nan"]),
    ],
)
def test_notes_only_where_they_apply(tmp_path, capsys, columns, present, absent):
    path = tmp_path / "t.csv"
    pd.DataFrame(columns).to_csv(path, index=False)
    out = report(capsys, path)
    assert all(text in out for text in present) and not any(text in out for text in absent)
