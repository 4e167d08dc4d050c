"""The profiler from its command line: files, options, the built-in table, the plot."""

import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

pytest.importorskip("pyarrow", reason="the profiler reads its tables with pyarrow")

from profiler import cli  # noqa: E402
from profiler.encoding import encode  # noqa: E402
from profiler.plot import cramers_v_figure  # noqa: E402
from profiler.profile import run_profile  # noqa: E402
from test_profiler_profile import awkward_frame  # noqa: E402

import vantorix_core as vc  # noqa: E402

SCRIPT = Path(__file__).resolve().parents[1] / "examples" / "profile_columns.py"

# 40 rows: price misses row 1 and has an outlier, city a rare Lima and two missing values,
# paid one missing value.
PRICES = [100.0 if i == 5 else None if i == 1 else 1.5 + i % 7 for i in range(40)]
CITIES = ["Oslo", "Rome"] * 18 + ["Lima", None, "Rome", None]
CSV = "price,city,paid,score\n" + "".join(
    f"{'' if price is None else price},{city or ''},{'' if i == 3 else i % 2 == 0},{10 + i % 3}\n"
    for i, (price, city) in enumerate(zip(PRICES, CITIES))
)


def report(capsys, *args):
    assert cli.main([str(a) for a in args]) == 0
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
    # city: 3 categories, 2 missing, Lima rare (1 < 38 * 0.05); paid: 1 missing.
    assert line(out, "city") == ["city", "3", "2", "2", "1", "1", "Lima", "(1)"]
    assert line(out, "paid")[:6] == ["paid", "2", "1", "2", "0", "0"]
    assert line(out, "score")[:6] == ["score", "3", "0", "2", "0", "0"]
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
    # A thread per core where the GIL is off (a free-threaded build), otherwise one.
    cores = 1 if getattr(sys, "_is_gil_enabled", lambda: True)() else os.cpu_count() or 1
    how = "1 thread" if cores == 1 else f"{cores} threads, free-threaded Python"
    assert f"Time for the profile, median of 3 ({how}):" in out


def test_no_compare_leaves_the_baseline_out(capsys):
    out = report(capsys, "--rows", 1000, "--no-compare")
    assert "vantorix_core" in out and "pandas" not in out and "Same results?" not in out


def test_a_pool_of_threads_where_the_gil_is_off(monkeypatch, capsys):
    plain = report(capsys, "--rows", 3000, "--no-compare")
    monkeypatch.setattr(cli, "default_threads", lambda: 2)
    pooled = report(capsys, "--rows", 3000, "--no-compare")
    assert "Time for the profile, median of 1 (2 threads, free-threaded Python):" in pooled
    assert timing_free(pooled) == timing_free(plain)


def test_one_row_gives_a_report_without_a_matrix(capsys):
    out = report(capsys, "--rows", 1)
    assert out.startswith("Profile of the built-in table (seed 2026): 1 row, 9 columns\n")
    assert "Planted outliers, missing values and rare categories: none in 1 row." in out
    assert "Left out of Cramér's V, one category only: country, plan, device, os, channel" in out
    assert "Cramér's V of" not in out and "n/a" not in out and "missing:" not in out
    assert "Same results? flags: 0 of 4 differ; statistics: the same as printed" in out


def run(*args, cwd):
    # Under the sanitizers LeakSanitizer's tracer crashes at the exit of a process that has
    # imported matplotlib, which makes its status 1; the module's own leaks are checked in
    # process by test_leaks, so the command's run here leaves leak checking out.
    env = dict(os.environ)
    if "ASAN_OPTIONS" in env:
        env["ASAN_OPTIONS"] += ":detect_leaks=0"
    return subprocess.run(
        [sys.executable, str(SCRIPT), *map(str, args)],
        cwd=cwd,
        env=env,
        capture_output=True,
        text=True,
        timeout=300,
    )


def test_plot_writes_a_png_of_the_matrix(tmp_path):
    pytest.importorskip("matplotlib")
    proc = run("--rows", 5_000, "--plot", "v.png", "--no-compare", cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    assert "Cramér's V matrix drawn to v.png" in proc.stdout
    png = (tmp_path / "v.png").read_bytes()
    assert png.startswith(b"\x89PNG\r\n\x1a\n") and len(png) > 10_000


def test_heatmap_names_the_data_and_the_undefined():
    pytest.importorskip("matplotlib")
    table = encode(awkward_frame(), name="awkward.csv")
    fig = cramers_v_figure(table, run_profile(table, cli.VANTORIX, 4))
    assert fig.axes[0].get_title() == "Cramér's V of the categorical columns\nawkward.csv, 80 rows"
    texts = [text.get_text() for text in fig.axes[0].texts]
    assert texts.count("n/a") == 2 and texts.count("sparse") == 4 and "0.10\nn=20" in texts


def test_the_plot_hint_names_this_interpreter(monkeypatch, capsys):
    monkeypatch.setitem(sys.modules, "matplotlib.backend_bases", None)  # as if not installed
    with pytest.raises(SystemExit):
        cli.main(["--plot", "v.png"])
    assert f'{cli.interpreter()} -m pip install ".[plot]"' in capsys.readouterr().err


def test_help_lists_every_option(capsys):
    with pytest.raises(SystemExit) as exit:
        cli.main(["--help"])
    out = capsys.readouterr().out
    assert exit.value.code == 0 and "10% of a typical category's count" in out
    assert all(option in out for option in ("--rows", "--rare", "--no-compare", "--plot"))


@pytest.mark.parametrize(
    "args, message",
    [
        (["missing.csv"], "cannot read missing.csv"),
        (["TMP/t.parquet"], "t.parquet is not Parquet as its name says: it starts with a,b"),
        (["TMP/t.csv"], "t.csv is not delimited text as its name says: it starts with PAR1"),
        (["TMP/t.bin"], "t.bin is not a table file this reads: delimited text"),
        (["TMP/t.pq", "--sep", ";"], "--sep is for delimited text, not a Parquet file"),
        (["TMP/t.txt"], "cannot read TMP/t.txt: Empty CSV file"),
        (["--categorical", "nope", "--rows", "100"], "no such column: nope"),
        (["--rare", "-1"], "argument --rare: give a fraction above 0 and below 1, not -1"),
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
    ],
)
def test_bad_options_exit_with_argparse_errors(tmp_path, capsys, args, message):
    (tmp_path / "tab.txt").write_text("a\tb\n1\t2\n3\t4\n")
    (tmp_path / "t.parquet").write_text("a,b\n1,2\n")
    (tmp_path / "t.csv").write_bytes(b"PAR1" + bytes(20))
    (tmp_path / "t.pq").write_bytes(b"PAR1" + bytes(20))
    (tmp_path / "t.bin").write_bytes(b"\x89PNG\r\n\x1a\n\0\0")
    (tmp_path / "t.txt").write_text("")
    with pytest.raises(SystemExit) as exit:
        cli.main([str(a).replace("TMP", str(tmp_path)) for a in args])
    err = capsys.readouterr().err
    message = message.replace("TMP", str(tmp_path))
    assert exit.value.code == 2 and message in err and "Traceback" not in err


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


def timing_free(out):
    """The report up to its times, which differ from run to run (and are last, without the
    comparison)."""
    lines = out.splitlines()
    return lines[: next(i for i, row in enumerate(lines) if row.startswith("Time to"))]
