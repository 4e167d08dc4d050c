"""The profile as text: computed first, written here, section by section."""

from __future__ import annotations

import itertools
import math

import numpy as np
from numpy.typing import NDArray

from . import rules
from .encoding import MIN_PER_CELL, Categorical, Table
from .format import (
    GAP,
    WIDTH,
    count,
    label,
    listing,
    mean_text,
    number,
    short_names,
    table,
    wrapped,
)
from .profile import STATS, Numeric, Profile, Rare

# A V computed on fewer than this share of the rows (the rest miss a value in either column)
# is shown with the number of rows it used.
FEW_ROWS_SHARE = 0.5
V_DECIMALS = 3


# The kinds of column that are neither measurements nor categories, as the report names them.
KIND_NAMES = {"dates": "dates", "times": "times of day", "identifier": "identifiers"}
KIND_NAMES |= {"code": "codes", "row counter": "row counters"}


def other_section(data: Table) -> list[str]:
    if not data.other:
        return []
    short = short_names(data.other)
    rows = [["column", "holds", "missing", ""]]
    rows += [[short[n], o.kind, f"{o.missing:,}", o.what] for n, o in data.other.items()]
    kinds = [KIND_NAMES.get(o.kind, "calendar fields") for o in data.other.values()]
    return [
        "",
        wrapped(f"Neither measurements nor categories: {', '.join(dict.fromkeys(kinds))}"),
        *table(rows, [False, False, True]),
    ]


def stats_cells(column: Numeric, digits: int) -> list[str]:
    stats = column.stats
    return [
        mean_text(stats["mean"], stats["std"], digits),
        *(number(stats[key], digits) for key in STATS[1:]),
    ]


def numeric_lines(data: Table, profile: Profile, digits: int) -> list[str]:
    short = short_names(data.measurements)
    rows = [["column", "count", "missing", *STATS, "outliers"]]
    for name, column in profile.numeric.items():
        start = [short[name], f"{data.rows - column.missing:,}", f"{column.missing:,}"]
        if column.missing == data.rows:
            rows.append(start + ["no values"])
        else:
            rows.append(start + stats_cells(column, digits) + [f"{column.outliers:,}"])
    return table(rows, [False] + [True] * 7)


def numeric_section(data: Table, profile: Profile, z: float) -> list[str]:
    if not profile.numeric:
        return []
    short = short_names(data.measurements)
    # Fewer digits only where six would not fit the width.
    digits = next(
        d for d in (6, 5, 4, 3) if max(map(len, numeric_lines(data, profile, d))) <= WIDTH or d == 3
    )
    lines = [
        "",
        f"Measurements ({len(profile.numeric):,}): population mean and std of the values"
        f" present; outliers have |z| > {z:g}",
        *numeric_lines(data, profile, digits),
    ]
    if any(column.missing for column in profile.numeric.values()):
        lines.append("missing: empty or NaN; each line is of the values present.")
    markers: dict[str, list[str]] = {}
    for name, measurement in data.measurements.items():
        if measurement.marker is not None:
            markers.setdefault(measurement.marker, []).append(short[name])
    for marker, names in markers.items():
        lines.append(
            listing(
                f'"{marker}": text that stands for a missing value in columns of numbers,'
                " counted as missing in",
                names,
            )
        )
    infinite = [
        name
        for name, column in profile.numeric.items()
        if column.missing < data.rows and not math.isfinite(column.stats["mean"])
    ]
    if infinite:
        lines.append(
            listing(
                "not finite: an infinity (or a sum past the float range) makes the mean ±inf or"
                " nan and the std 0, so that nothing is flagged, in",
                infinite,
            )
        )
    return lines


def rare_list(labels: list[str], counts: list[int], room: int) -> str:
    """Rare categories, rarest first, as many as fit in room, then how many more."""
    listed = ""
    for shown, (text, n) in enumerate(zip(labels, counts)):
        item = f"{', ' if listed else ''}{label(text)} ({n:,})"
        left = len(labels) - shown - 1
        # Unless this is the last one, room is kept for saying how many are not listed.
        if len(listed + item) + (len(f" and {left:,} more") if left else 0) > room:
            return listed + f" and {len(labels) - shown:,} more" if listed else f"{len(labels):,}"
        listed += item
    return listed


def rare_rule(share: float | None) -> str:
    if share is None:
        by_share = f"{rules.RARE_SHARE:.0%} of the column's values present (at least"
        by_share += f" {rules.RARE_SMALL_COUNT})"
    else:
        by_share = f"{share:.3g} of the column's values present"
    return (
        f"a category is rare if seen fewer times than 'rare if <': {by_share}, or"
        f" {rules.RARE_VS_TYPICAL:.0%} of the count of its typical category if less. 'rare'"
        " counts the rare categories, 'rows' the rows they hold"
    )


def rare_cells(column: Categorical, rare: Rare) -> tuple[list[str], NDArray[np.intp]]:
    """The cells 'rare if <', 'rare', 'in rows' and the text after them of a column that gets
    rare values, and the codes of its rare categories to list, rarest first."""
    none = np.zeros(0, np.intp)
    if math.ceil(rare.limit) <= 1:
        return ["-", "-", "-", f"none: its limit, {rare.limit:.2g}, is under one row"], none
    limit = f"{math.ceil(rare.limit):,}"
    codes, rows = rare.codes.astype(np.intp), f"{rare.flagged:,}"
    if codes.size and rules.long_tail(column.counts, rare.limit):
        tail = f"a long tail: {codes.size:,} of {len(column.labels):,} categories, not listed"
        return [limit, f"{codes.size:,}", rows, tail], none
    return [limit, f"{codes.size:,}", rows, ""], codes


def categorical_section(data: Table, profile: Profile, share: float | None) -> list[str]:
    if not data.categorical:
        return []
    short = short_names(data.categorical)
    header = ["column", "categories", "missing", "rare if <", "rare", "rows"]
    rows = [header + ["rare categories (rows each)"]]
    rare_codes = {}
    notes = set()
    for name, column in data.categorical.items():
        k = len(column.labels)
        start = [short[name], f"{k:,}", f"{column.missing:,}"]
        if column.missing:
            notes.add("missing")
        rare = profile.rare.get(name)
        if rare is None:
            if column.too_many():
                why = f"too many: {column.values / k:.3g} values a category"
                notes.add("too many")
            else:
                why = column.left_out()
            rows.append(start + ["-", "-", "-", why])
            continue
        cells, codes = rare_cells(column, rare)
        if codes.size:
            rare_codes[len(rows)] = column, codes
        rows.append(start + cells)
    # The rare categories get the room that the cells before them leave.
    room = WIDTH - sum(max(len(row[c]) for row in rows) + GAP for c in range(len(header)))
    for r, (column, codes) in rare_codes.items():
        labels = [column.labels[c] for c in codes]
        rows[r][-1] = rare_list(labels, [int(column.counts[c]) for c in codes], room)
    lines = [
        "",
        wrapped(f"Categorical columns ({len(data.categorical):,}): {rare_rule(share)}"),
        *table(rows, [False] + [True] * (len(header) - 1)),
    ]
    if "too many" in notes:
        lines.append(
            wrapped(
                f"-: fewer than {MIN_PER_CELL} values per category on average are too few to tell"
                " rare categories from the others, or to fill a table of pairs for χ²: no rare"
                " values and no Cramér's V"
            )
        )
    if "missing" in notes:
        lines.append("missing: empty cells, counted apart: a missing value is never a category.")
    return lines


def v_cell(text: str, width: int) -> str:
    # A mark after a value takes the place of the space between the columns.
    return f"{text:>{width}}" if text.endswith("*") else f"{text:>{width - 1}} "


def cramers_v_section(data: Table, profile: Profile) -> list[str]:
    if len(data.categorical) < 2:
        return []
    lines = [""]
    reasons: dict[str, list[str]] = {}
    for name, column in data.categorical.items():
        if column.left_out():
            reasons.setdefault(column.left_out(), []).append(name)
    for why, left in reasons.items():
        lines.append(listing(f"Left out of Cramér's V, {why}:", left))
    names = profile.v_columns
    if len(names) < 2:
        return lines
    short = short_names(names)
    v, rows, categories = profile.cramers_v, profile.pair_rows, profile.pair_categories
    sparse = profile.sparse_pairs()
    few = rows < FEW_ROWS_SHARE * data.rows
    same = profile.one_to_one

    def shown_as(i: int, j: int) -> str:
        if i == j:
            return "1.000"
        if min(categories[i, j], categories[j, i]) < 2:
            return "n/a"
        if same[i, j]:
            return "1:1"
        if sparse[i, j]:
            return "sparse"
        return f"{v[i, j]:.{V_DECIMALS}f}" + ("*" if few[i, j] else "")

    cells = [[shown_as(i, j) for j in range(len(names))] for i in range(len(names))]
    shown = any(cells[i][j][0].isdigit() for i, j in itertools.permutations(range(len(names)), 2))
    if shown:
        lines += [
            *([""] if reasons else []),
            "Cramér's V of the categorical columns over the rows where both have a value",
            "(0: independent, 1: one determines the other)",
        ]
        # Full names as headers when they fit, else numbers, with the matrix in parts if need be.
        width = max(len(name) for name in names + ["sparse"]) + 2
        if width * (len(names) + 1) <= WIDTH:
            labels, headers, cell = names, names, width
        else:
            digits = len(str(len(names)))
            labels = [f"{i + 1:>{digits}} {short[name]}" for i, name in enumerate(names)]
            headers = [str(i + 1) for i in range(len(names))]
            width, cell = max(len(text) for text in labels) + 2, 8
        per_part = (WIDTH - width) // cell
        for first in range(0, len(names), per_part):
            part = range(first, min(first + per_part, len(names)))
            lines.append(" " * width + "".join(f"{headers[j]:>{cell - 1}} " for j in part))
            for i, text in enumerate(labels):
                lines.append(f"{text:<{width}}" + "".join(v_cell(cells[i][j], cell) for j in part))
    else:
        lines.append("Cramér's V: none to show")

    pairs = list(itertools.combinations(range(len(names)), 2))
    for i, j in pairs:
        if cells[i][j] == "n/a":
            if rows[i, j] == 0:
                why = "no row has a value in both"
            else:
                lone = names[i] if categories[i, j] < 2 else names[j]
                why = f"{lone} has one category in the {count(rows[i, j], 'row')} with both"
            lines.append(wrapped(f"n/a: {names[i]} with {names[j]}: {why}"))
    too_sparse = [
        f"{short[names[i]]} with {short[names[j]]} ({rows[i, j]:,} in"
        f" {categories[i, j]} × {categories[j, i]})"
        for i, j in pairs
        if cells[i][j] == "sparse"
    ]
    if too_sparse:
        lines.append(
            listing(
                f"sparse: fewer rows than {MIN_PER_CELL} per cell of the pair's table, too few"
                " for χ² (rows in categories × categories):",
                too_sparse,
            )
        )
    one_to_one = [f"{short[names[i]]} with {short[names[j]]}" for i, j in pairs if same[i, j]]
    if one_to_one:
        lines.append(
            listing(
                "1:1: each category of one column meets a single category of the other, both"
                " ways: the two code the same thing (V = 1, however sparse):",
                one_to_one,
            )
        )
    lines += few_rows_notes(data, profile, cells)
    return lines


# A longer list of the pairs computed on few rows is folded into one line per column.
FEW_ROWS_LINES = 8
FEW_ROWS_COLUMNS = 12


def few_rows_notes(data: Table, profile: Profile, cells: list[list[str]]) -> list[str]:
    names, rows = profile.v_columns, profile.pair_rows
    short = short_names(names)
    partners: dict[int, list[int]] = {}
    for i, j in itertools.permutations(range(len(names)), 2):
        # Each pair is listed once, under the column with fewer values.
        if cells[i][j].endswith("*") and (rows[i, i], i) < (rows[j, j], j):
            partners.setdefault(i, []).append(j)
    if not partners:
        return []
    start = f"*: computed on fewer than {FEW_ROWS_SHARE:.0%} of the {data.rows:,} rows"
    lines = [
        listing(
            f"  {short[names[i]]} ({count(rows[i, i], 'value')}) with",
            [f"{short[names[j]]} {rows[i, j]:,}" for j in js],
        )
        for i, js in partners.items()
    ]
    if sum(text.count("\n") + 1 for text in lines) <= FEW_ROWS_LINES:
        return [start + ":", *lines]
    pairs = sum(map(len, partners.values()))
    fewest = sorted(partners, key=lambda i: (rows[i, i], i))
    items = [f"{short[names[i]]} ({rows[i, i]:,} values)" for i in fewest[:FEW_ROWS_COLUMNS]]
    if len(fewest) > FEW_ROWS_COLUMNS:
        items.append(f"and {len(fewest) - FEW_ROWS_COLUMNS:,} more")
    return [listing(f"{start}: {count(pairs, 'pair')}, with the columns of fewest values:", items)]
