"""The profile as text: computed first, written here, section by section."""

from __future__ import annotations

import itertools
import math

import numpy as np

from . import rules
from .encoding import MIN_PER_CELL, Table
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
from .profile import STATS, Numeric, Profile

# A V computed on fewer than this share of the rows (the rest miss a value in either column)
# is shown with the number of rows it used.
FEW_ROWS_SHARE = 0.5
V_DECIMALS = 3


def other_section(data: Table) -> list[str]:
    if not data.other:
        return []
    short = short_names(data.other)
    rows = [["column", "holds", "missing", ""]]
    rows += [[short[n], o.kind, f"{o.missing:,}", o.what] for n, o in data.other.items()]
    return [
        "",
        "Neither measurements nor categories: dates, identifiers, calendar fields, row counters",
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
            rows.append(start + stats_cells(column, digits) + [f"{int(column.flags.sum()):,}"])
    return table(rows, [False] + [True] * 7)


def numeric_section(data: Table, profile: Profile, z: float) -> list[str]:
    if not profile.numeric:
        return []
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
        lines.append(
            wrapped(
                "missing: NaN. Over all its rows, NaN included, calculate_summary_stats would give"
                " a column mean nan and std 0, and detect_continuous_outliers would flag nothing:"
                " each line is of the values present."
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
        f" {rules.RARE_VS_TYPICAL:.0%} of the count of its typical category if less"
    )


def categorical_section(data: Table, profile: Profile, share: float | None) -> list[str]:
    if not data.categorical:
        return []
    short = short_names(data.categorical)
    rows = [["column", "categories", "missing", "rare if <", "rare", "rare categories (count)"]]
    rare_codes = {}
    notes = set()
    for name, column in data.categorical.items():
        k = len(column.labels)
        start = [short[name], f"{k:,}", f"{column.missing:,}"]
        rare = profile.rare.get(name)
        if rare is None:
            if column.too_many():
                why = f"too many for {count(column.values, 'value')}:"
                why += f" {column.values / k:.3g} a category"
                notes.add("too many")
            else:
                why = column.left_out()
            rows.append(start + ["-", "-", why])
            continue
        if column.missing:
            notes.add("missing")
        flagged = 0
        if rare.flags is not None:
            rows_flagged = (rare.flags == 1) & (column.codes >= 0)
            codes = np.unique(column.codes[rows_flagged])
            rare_codes[len(rows)] = column, codes[np.argsort(column.counts[codes], kind="stable")]
            flagged = int(rows_flagged.sum())
        rows.append(start + [f"{math.ceil(rare.limit):,}", f"{flagged:,}", ""])
    # The rare categories get the room that the cells before them leave.
    room = WIDTH - sum(max(len(row[c]) for row in rows) + GAP for c in range(5))
    for r, (column, codes) in rare_codes.items():
        labels = [column.labels[c] for c in codes]
        rows[r][5] = rare_list(labels, [int(column.counts[c]) for c in codes], room)
    lines = [
        "",
        wrapped(f"Categorical columns ({len(data.categorical):,}): {rare_rule(share)}"),
        *table(rows, [False, True, True, True, True]),
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
        lines.append(
            wrapped(
                "missing: pd.factorize's code -1, flagged by detect_categorical_outliers as out of"
                " range: counted here as missing, not as rare"
            )
        )
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
    cells = [
        [
            "1.000"
            if i == j
            else "n/a"
            if math.isnan(v[i, j])
            else "sparse"
            if sparse[i, j]
            else f"{v[i, j]:.{V_DECIMALS}f}" + ("*" if few[i, j] else "")
            for j in range(len(names))
        ]
        for i in range(len(names))
    ]
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
    if any(cell.endswith("*") for row in cells for cell in row):
        lines.append(f"*: computed on fewer than {FEW_ROWS_SHARE:.0%} of the {data.rows:,} rows:")
        for i, name in enumerate(names):
            # Each pair is listed once, under the column with fewer values.
            partners = [
                f"{short[names[j]]} {rows[i, j]:,}"
                for j in range(len(names))
                if cells[i][j].endswith("*") and (rows[i, i], i) < (rows[j, j], j)
            ]
            if partners:
                lines.append(
                    listing(f"  {short[name]} ({count(rows[i, i], 'value')}) with", partners)
                )
    if shown and any(data.categorical[name].missing for name in names):
        lines.append(
            wrapped(
                "Each V is computed over the rows where both columns have a value:"
                " calculate_cramers_v would skip a pair with a missing code (-1) but count it in n."
            )
        )
    return lines
