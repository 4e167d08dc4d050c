"""The profiler's report, section by section, on small tables made here."""

import copy

import numpy as np
import pandas as pd
import pytest

pytest.importorskip("pyarrow", reason="the profiler reads its tables with pyarrow")

from profiler import comparison, report  # noqa: E402
from profiler.baselines import VANTORIX  # noqa: E402
from profiler.encoding import encode  # noqa: E402
from profiler.profile import run_profile  # noqa: E402
from test_profiler_profile import awkward_frame  # noqa: E402


def sections(frame, share=None, z=4.0):
    table = encode(frame)
    profile = run_profile(table, VANTORIX, z, share)
    text = report.other_section(table) + report.numeric_section(table, profile, z)
    text += report.categorical_section(table, profile, share)
    text += report.cramers_v_section(table, profile)
    return "\n".join(text).splitlines()


def line(lines, first_word, which=0):
    return [row.split() for row in lines if row.split()[:1] == [first_word]][which]


@pytest.mark.parametrize("columns", [3, 12, 40])
@pytest.mark.parametrize("name_length", [4, 60])
def test_text_stays_within_100_columns(columns, name_length):
    rng = np.random.default_rng(columns)
    frame = pd.DataFrame(
        {
            f"{k:02d}".ljust(name_length, "x"): rng.choice(["a" * name_length, "b", "c", None], 40)
            for k in range(columns)
        }
        | {"y" * name_length: rng.normal(size=40) * 1e-300, "z" * name_length: -rng.random(40)}
    )
    lines = sections(frame, share=0.3)
    assert max(map(len, lines)) <= 100 and all(row == row.rstrip() for row in lines)


def test_v_matrix_says_what_it_cannot_compute():
    lines = sections(awkward_frame())
    assert line(lines, "id")[1:] == ["identifier", "0", "80", "distinct", "each", "once"]
    assert " ".join(line(lines, "group")[3:]) == "- - - too many: 4 values a category"
    # Seen once in 80 rows is rare by default.
    assert line(lines, "country")[1:] == ["4", "0", "2", "1", "1", "FM", "(1)"]
    assert line(lines, "state", 1)[1:] == ["n/a", "1.000", "sparse", "1.000"]
    assert line(lines, "sparse", 1)[1:] == ["sparse", "sparse", "1.000", "0.105*"]
    for expected in [
        "Left out of Cramér's V, one category only: one",
        "Left out of Cramér's V, too many categories for their rows: group",
        "n/a: country with state: country has one category in the 64 rows with both",
        "    categories): country with sparse (20 in 3 × 2), state with sparse (16 in 3 × 2)",
        "*: computed on fewer than 50% of the 80 rows:",
        "  sparse (20 values) with plan 20",
    ]:
        assert expected in lines


def test_rare_lists_read_back_as_the_categories():
    hair = ["black"] * 300 + ["brown, grey", "red (1)", 'a "b"']
    listed = " ".join(line(sections(pd.DataFrame({"hair": hair})), "hair")[6:])
    assert listed == '"brown, grey" (1), "red (1)" (1), "a \\"b\\"" (1)'


@pytest.mark.parametrize(
    "columns, present, absent",
    [
        ({"x": np.linspace(0, 1, 30)}, [], ["missing:", "not finite"]),
        ({"x": np.r_[np.nan, np.linspace(0, 1, 29)]}, ["missing: empty or NaN"], ['"."']),
        ({"x": ["."] + [str(i / 7) for i in range(29)]}, ['".": text that stands'], []),
        ({"x": [1.0, np.inf, 2.0, 3.0]}, ["not finite: an infinity"], ["missing:"]),
        ({"x": [np.nan] * 4, "y": [1.5, 2.5, 3.0, 4.0]}, ["x", "no values"], []),
        ({"c": ["a", "b", None] * 10}, ["missing: empty cells, counted apart"], ["too many"]),
        # 0.1 of a typical count of 8 is under 1: no category can be rare.
        (
            {"c": [f"c{i % 30}" for i in range(240)]},
            ["none: its limit, 0.8, is under one row"],
            [],
        ),
        (
            {"c": ["big"] * 2000 + [f"c{i}" for i in range(30)] + ["b"] * 1000},
            ["a long tail: 30 of 32 categories, not listed"],
            ["c29"],
        ),
        ({"c": [str(i) + "x" for i in range(10)] * 3}, ["-: fewer than 5 values"], []),
        ({"year": [2013] * 5, "x": [1.5, 2, 3, 4, 5]}, ["years 2013"], []),
    ],
)
def test_notes_only_where_they_apply(columns, present, absent):
    text = "\n".join(sections(pd.DataFrame(columns)))
    assert all(part in text for part in present) and not any(part in text for part in absent)


def test_pairs_that_code_the_same_thing_are_named_however_sparse():
    operators = [f"op{i % 30}" for i in range(180)]
    frame = pd.DataFrame(
        {"operator_code": operators, "operator": [o.upper() + " Ltd" for o in operators]}
    )
    frame["region"] = [["north", "south"][i % 2] for i in range(180)]
    lines = sections(frame, share=0.3)
    assert line(lines, "operator_code", 2)[1:] == ["1.000", "1:1", "sparse"]
    assert "    same thing (V = 1, however sparse): operator_code with operator" in lines


def test_a_long_list_of_pairs_on_few_rows_is_folded():
    rng = np.random.default_rng(5)
    frame = pd.DataFrame({f"c{k}": rng.choice(["a", "b"], 400) for k in range(30)})
    for k in range(20):
        frame.loc[rng.random(400) < 0.6 + k / 100, f"c{k}"] = None
    lines = sections(frame)
    folded = [row for row in lines if row.startswith("*: computed on fewer than 50%")]
    assert folded and len(lines[lines.index(folded[0]) :]) <= 4
    assert "values:\n    c19 (75 values), c17 (86 values)" in "\n".join(lines)


def test_agreement_is_judged_at_the_printed_precision():
    table = encode(pd.DataFrame({"date": np.linspace(0, 15.5, 40), "c": ["a", "b"] * 20}))
    ours = run_profile(table, VANTORIX, 4.0)
    theirs = copy.deepcopy(ours)
    theirs.numeric["date"].stats["std"] *= 1 + 1e-12  # far below the digits printed
    assert comparison.agreement(ours, theirs)[0].startswith(
        "Same results? flags: 0 of 40 differ; statistics: the same as printed"
    )
    theirs.numeric["date"].stats["std"] *= 1.0001
    lines = comparison.agreement(ours, theirs)
    assert "statistics: 1 differ as printed" in lines[0]
    assert "  differs as printed: date std 4.58776 vs 4.58822" in lines


@pytest.mark.parametrize(
    "per_call, spread, says",
    [
        (0.001, None, "shows, pandas + SciPy took 10x the time of\n  vantorix_core."),
        (0.001, (0.0950, 0.104), "pandas + SciPy took 10x the time"),
        (0.001, (0.08, 0.16), "pandas + SciPy took 8.0x to 16x the time"),
        (0.001, (0.05, 0.3), "No ratio: from run to run, pandas + SciPy's time in the four"),
        (0.08, None, "No ratio: pandas + SciPy's time here is mostly the cost of each call"),
    ],
)
def test_a_ratio_only_where_it_measures_work_to_the_digits_the_runs_support(per_call, spread, says):
    timings = [
        comparison.Timing("vantorix_core", 3, 0.02, 0.01, 0.0),
        comparison.Timing("pandas + SciPy", 3, 0.11, 0.1, per_call, spread),
    ]
    lines = comparison.timing_section(0.5, 0.05, 1, timings)
    assert lines[1:5] == [
        "Time to read the file: 500 ms",
        "Time to type and encode the columns: 50 ms",
        "Time for the profile, median of 3 (1 thread):",
        "                   total  in the four functions  around them",
    ]
    assert says in lines[-1]
    threaded = comparison.timing_section(None, 0.05, 4, timings)
    assert threaded[2] == "Time for the profile, median of 3 (4 threads, free-threaded Python):"
    assert "(the time in the four functions is added up over the threads)" in threaded
