"""How the profiler's report writes numbers, names, labels and tables."""

import pytest
from profiler import format


@pytest.mark.parametrize(
    "part, whole, text",
    [
        (531, 533, "99.6%"),
        (1, 100_000, "0.001%"),
        (99_999, 100_000, "99.999%"),
        (0, 7, "0%"),
        (7, 7, "100%"),
        (1, 3, "33%"),
        (1, 2, "50%"),
    ],
)
def test_percentages_are_never_rounded_to_0_or_100(part, whole, text):
    assert format.percent(part, whole) == text


@pytest.mark.parametrize(
    "mean, std, text",
    [
        (-1.44429e-18, 1.0, "0"),  # a centred column: rounding noise
        (-1.11815e-08, 442.0, "0"),
        (6e-6, 1.0, "6e-06"),  # past half the std's last printed digit: shown
        (12.5, 0.0, "12.5"),
        (float("nan"), 0.0, "nan"),
        (1349.1137, 488.281, "1349.11"),
    ],
)
def test_a_mean_zero_within_its_std_prints_as_zero(mean, std, text):
    assert format.mean_text(mean, std) == text


@pytest.mark.parametrize(
    "x, text",
    [
        (1301.0, "1301"),
        (-43.0, "-43"),
        (2e8, "2e+08"),
        (0.0797442, "0.0797442"),
        (float("inf"), "inf"),
    ],
)
def test_numbers(x, text):
    assert format.number(x) == text


@pytest.mark.parametrize(
    "names",
    [
        ["Desktop Computer Medical Record", "Desktop Clinical Medical Record"],
        ["a" * 30 + "1", "a" * 30 + "2", "a" * 30 + "3"],  # differ only at the very end
        ["x" * 10 + "1" + "x" * 20, "x" * 10 + "2" + "x" * 20],  # only in the middle
        ["short", "a much longer column name that needs cutting"],
    ],
)
def test_shortened_names_never_collide(names):
    shown = format.short_names(names)
    assert len(set(shown.values())) == len(names)
    assert all(len(text) <= format.NAME_WIDTH for text in shown.values())
    assert all(shown[n] == n for n in names if len(n) <= format.NAME_WIDTH)


@pytest.mark.parametrize(
    "label, text",
    [
        ("PG", "PG"),
        ("brown, grey", '"brown, grey"'),
        ("", '""'),
        (" x", '" x"'),
        ('say "hi"', '"say \\"hi\\""'),
        ("grey (1)", '"grey (1)"'),
        ("and 3 more", '"and 3 more"'),
    ],
)
def test_labels_that_a_list_could_misread_are_quoted(label, text):
    assert format.label(label) == text


def test_table_columns_never_run_together():
    rows = [["column", "count", "mean"], ["a", "2,683", "-1.11815e-08"], ["bb", "442", "17"]]
    lines = format.table(rows, [False, True, True])
    assert lines == [
        "column  count          mean",
        "a       2,683  -1.11815e-08",
        "bb        442            17",
    ]


@pytest.mark.parametrize(
    "seconds, text",
    [(0.0000421, "0.0421 ms"), (0.0194, "19.4 ms"), (0.703, "703 ms"), (9.779, "9.78 s"),
     (1234.5, "1,234 s")],
)  # fmt: skip
def test_times(seconds, text):
    assert format.ms(seconds) == text


@pytest.mark.parametrize("first", [8, 60, 80])
def test_free_text_after_the_cells_wraps_within_the_width(first):
    words = " ".join(f"word{i}" for i in range(40))
    lines = format.table([["x" * first, "1", words]], [False, True])
    assert max(map(len, lines)) <= format.WIDTH and all(line == line.rstrip() for line in lines)
    assert " ".join(" ".join(lines).split()[2:]) == words
    # Under the start of the text where there is room for it, else indented.
    start = lines[0].index("word0") if "word0" in lines[0] else 4
    assert all(line[:start].isspace() and line[start] != " " for line in lines[1:])


@pytest.mark.parametrize("items, lines", [(5, 1), (60, 6), (200, 6)])
def test_lists_are_cut_at_six_lines_with_the_rest_counted(items, lines):
    names = [f"column_{i}" for i in range(items)]
    text = format.listing("Left out:", names).split("\n")
    assert len(text) == lines and max(map(len, text)) <= format.WIDTH
    shown = sum(name.rstrip(",") in names for line in text for name in line.split())
    assert text[-1].endswith(f"and {items - shown} more" if shown < items else "column_4")
