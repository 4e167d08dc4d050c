"""The profile of a table already in memory (pandas, polars or pyarrow), as the report's text,
and the report's lines that a file's profile prints too."""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

from .baselines import VANTORIX
from .encoding import Table, encode
from .format import count, wrapped
from .profile import Profile, run_profile
from .report import categorical_section, cramers_v_section, numeric_section, other_section
from .threads import default_threads


def report_lines(
    name: str,
    kind: str,
    table: Table,
    profile: Profile,
    z: float,
    share: float | None,
    note: str = "",
) -> list[str]:
    """The report up to its times: every line a profile of this table prints."""
    lines = [
        wrapped(
            f"Profile of {name}{f' ({kind})' if kind else ''}: {count(table.rows, 'row')},"
            f" {count(table.columns, 'column')}"
        )
    ]
    if note:
        lines.append(wrapped(note, indent=""))
    lines += other_section(table)
    lines += numeric_section(table, profile, z)
    lines += categorical_section(table, profile, share)
    lines += cramers_v_section(table, profile)
    return lines


def printed(lines: list[str]) -> str:
    """The lines as one text, each without spaces at its end."""
    return "\n".join(line.rstrip() for text in lines for line in text.split("\n"))


def profile_table(
    data: Any,
    *,
    categorical: Sequence[str] = (),
    z: float = 4.0,
    rare: float | None = None,
    name: str = "the table",
) -> str:
    """The report of a pandas, polars or pyarrow table as the command prints it for a file,
    without its times: categorical names columns to take as categories whatever they hold,
    z is the z-score threshold of the outliers, rare the rare share (None: the default rule)."""
    table = encode(data, categorical, name)
    missing = set(categorical) - {*table.measurements, *table.categorical, *table.other}
    if missing:
        raise KeyError(f"no such column: {', '.join(sorted(missing))}")
    profile = run_profile(table, VANTORIX, z, rare, default_threads(), keep_flags=False)
    return printed(report_lines(name, "", table, profile, z, rare))
