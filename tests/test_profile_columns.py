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

CSV = """price,city,paid,score
1.5,Oslo,true,10
,Rome,false,10
3.0,,true,12
100.0,Oslo,,10
2.0,Lima,true,11
"""


def report(capsys, *args):
    assert profiler.main([str(a) for a in args]) == 0
    return capsys.readouterr().out


def line(out, first_word, which=0):
    return [row.split() for row in out.splitlines() if row.split()[:1] == [first_word]][which]


def test_csv_with_missing_values_reports_them(tmp_path, capsys):
    path = tmp_path / "table.csv"
    path.write_text(CSV)
    out = report(capsys, path, "--z", "1", "--rare", "0.3", "--categorical", "score")

    price = np.array([1.5, 3.0, 100.0, 2.0])
    stats = vc.calculate_summary_stats(price[:, None])
    expected = [f"{stats[k][0]:.6g}" for k in ("mean", "std", "min", "max")]
    outliers = str(vc.detect_continuous_outliers(price, 1.0).sum())
    assert line(out, "price") == ["price", "4", "1", *expected, outliers]
    # Over all rows the NaN shows: mean NaN, std 0, no outliers; min and max skip it.
    assert line(out, "all") == ["all", "rows", "5", "nan", "0", "1.5", "100", "0"]
    # city: 3 categories, 1 missing, Rome and Lima rare (1 < 5 * 0.3); paid: 1 missing.
    assert line(out, "city") == ["city", "3", "1", "2", "Rome", "(1),", "Lima", "(1)"]
    assert line(out, "paid")[:4] == ["paid", "2", "1", "1"]
    assert line(out, "score")[:4] == ["score", "3", "0", "2"]
    assert "Missing values are reported, never dropped silently" in out
    assert "flags: 0 of " in out


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
    assert "flags: 0 of " in out


def awkward_frame():
    """30 rows: an identifier, a constant, a state known only where the country is one, and
    a column with values in 10 rows only."""
    countries = ["US"] * 24 + ["TH", "PW", "FM", "MP", "GU", "AS"]
    return pd.DataFrame(
        {
            "id": [f"r{i}" for i in range(30)],
            "one": ["x"] * 30,
            "state": [["CA", "NY", "TX"][i % 3] for i in range(24)] + [None] * 6,
            "country": countries,
            "sparse": [["a", "b"][i % 8 // 4] if i % 4 == 0 else None for i in range(30)],
            "plan": [["free", "pro"][i % 3 % 2] for i in range(30)],
        }
    )


def test_v_matrix_says_what_it_cannot_compute(tmp_path, capsys):
    path = tmp_path / "awkward.csv"
    awkward_frame().to_csv(path, index=False)
    out = report(capsys, path)
    assert line(out, "id")[1:] == ["30", "0", "-", "ID-like", "(30", "distinct", "in", "30)"]
    # Seen once in 30 rows is rare by default: each foreign country is.
    assert line(out, "country")[3:6] == ["6", "TH", "(1),"]
    assert line(out, "one", -1)[1:] == ["n/a"] * 5
    assert line(out, "state", 1)[1:] == ["n/a", "1.000", "n/a", "0.000*", "1.000"]
    assert line(out, "sparse", 1)[1:] == ["n/a", "0.000*", "0.500*", "1.000", "0.258*"]
    for expected in [
        "Left out of Cramér's V, ID-like: id",
        "n/a: one category only, in one",
        "n/a: state with country: country has one category in the 24 rows with both",
        "*: computed on fewer than 50% of the 30 rows:",
        "  sparse (8 values) with state 6, country 8, plan 8",
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
    profiler.print_numeric(table, profile, 1.0)
    profiler.print_categorical(table, profile, 0.3)
    profiler.print_cramers_v(table, profile)
    assert max(map(len, capsys.readouterr().out.splitlines())) <= 100


def test_heatmap_names_the_data_and_the_undefined(tmp_path):
    pytest.importorskip("matplotlib")
    table = profiler.encode(awkward_frame(), name="awkward.csv")
    fig = profiler.cramers_v_figure(table, profiler.run_profile(table, profiler.VANTORIX, 4, 0.1))
    assert fig.axes[0].get_title() == "Cramér's V of the categorical columns\nawkward.csv, 30 rows"
    texts = [text.get_text() for text in fig.axes[0].texts]
    assert texts.count("n/a") == 11 and "0.50\nn=8" in texts


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
    for a, b in zip(ours.rare_flags, theirs.rare_flags):
        np.testing.assert_array_equal(a, b)
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
