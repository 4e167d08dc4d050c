"""The command line: options checked, the table read, typed and profiled, the report printed."""

from __future__ import annotations

import argparse
import math
import shlex
import statistics
import sys
import time
from collections.abc import Callable, Sequence
from functools import partial
from pathlib import Path
from typing import TypeVar

import numpy as np

from . import rules
from .baselines import VANTORIX, Clock, Kernels, baseline_kernels, per_call_seconds, timed
from .comparison import Timing, agreement, timing_section
from .encoding import Measurement, Table, add, arrow_table, encode_column
from .profile import Numeric, Profile, measure_present, present_values, run_profile
from .progress import Bar
from .reading import (
    WHITESPACE,
    Source,
    TableError,
    TableSource,
    open_source,
)
from .table import printed, report_lines
from .threads import default_threads

T = TypeVar("T")
MAX_ROWS = 10_000_000  # of the built-in table: some 4 GB of memory, and a minute
RUNS = 3  # of each profile, ours and the baseline alike, for the median time
FEW_ROWS = 16  # the table cut to this many rows times what the calls cost whatever the work


def positive_rows(text: str) -> int:
    try:
        rows = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if not 1 <= rows <= MAX_ROWS:
        raise argparse.ArgumentTypeError(f"give 1 to {MAX_ROWS:,} rows, not {rows:,}")
    return rows


def number(text: str) -> float:
    try:
        return float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None


def positive_number(text: str) -> float:
    value = number(text)
    if not (math.isfinite(value) and value > 0):
        raise argparse.ArgumentTypeError(f"give a finite number above 0, not {text}")
    return value


def fraction(text: str) -> float:
    value = number(text)
    if not 0 < value < 1:
        raise argparse.ArgumentTypeError(f"give a fraction above 0 and below 1, not {text}")
    return value


def separator_argument(text: str) -> str:
    named = {"\\t": "\t", "tab": "\t", "\\s+": WHITESPACE, "whitespace": WHITESPACE}
    if text.lower() in named:
        return named[text.lower()]
    if len(text) != 1 or text in "\r\n\"'":
        raise argparse.ArgumentTypeError(
            f"give one character, tab or whitespace (runs of spaces and tabs), not {text!r}"
        )
    return text


def parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        description="Profiles the columns of a table with vantorix_core and times the same "
        "profile in pandas and SciPy."
    )
    parser.add_argument(
        "file",
        nargs="?",
        help="table to profile: delimited text (CSV, TSV …), Parquet, Feather / Arrow IPC or"
        " newline-delimited JSON, told by its extension (default: a built-in table)",
    )
    parser.add_argument(
        "--sep",
        type=separator_argument,
        help="the file's column separator: one character, tab or whitespace (default: sniffed "
        "from its first lines among , ; tab | and whitespace)",
    )
    parser.add_argument("--plot", metavar="FILE.png", help="draw the Cramér's V matrix there")
    parser.add_argument(
        "--rows",
        type=positive_rows,
        help=f"rows of the built-in table, 1 to {MAX_ROWS:,} (default 1,000,000)",
    )
    parser.add_argument(
        "--z", type=positive_number, default=4.0, help="z-score threshold (default 4)"
    )
    parser.add_argument(
        "--rare",
        type=fraction,
        help="rare share of a column's values present (default"
        f" {rules.RARE_SHARE:g}, and at least {rules.RARE_SMALL_COUNT} values, so that a category"
        " seen once is rare in small columns too); a category is rare only below"
        # argparse formats help with %: the second sign makes the first print as it is.
        f" {rules.RARE_VS_TYPICAL:.0%}% of a typical category's count as well",
    )
    parser.add_argument(
        "--categorical",
        metavar="COLUMN",
        action="append",
        default=[],
        help="treat this column as categorical, whatever it holds (repeatable)",
    )
    parser.add_argument(
        "--no-compare",
        dest="compare",
        action="store_false",
        help="skip the same profile in pandas and SciPy (its time and the check that both agree);"
        " the profile then runs once, on each column as it is read, and Parquet and Feather"
        " files are read a column at a time",
    )
    return parser


def interpreter() -> str:
    """This Python as the user would type it: relative to the current folder if inside it."""
    path = Path(sys.executable)
    try:
        text = str(path.relative_to(Path.cwd()))
    except ValueError:
        text = str(path)
    return shlex.quote(text)


def timed_profile(
    data: Table, kernels: Kernels, z: float, share: float | None, threads: int
) -> tuple[Timing, Profile]:
    """The profile, with the median of its times and of the time in the four functions."""
    clock = Clock()
    counted = timed(kernels, clock)
    totals, inside = [], []
    # One run first, untimed: the first calls of either pay for what is loaded and cached once.
    run_profile(data, kernels, z, share, threads)
    for _ in range(RUNS):
        clock.reset()
        start = time.perf_counter()
        profile = run_profile(data, counted, z, share, threads)
        totals.append(time.perf_counter() - start)
        inside.append(clock.seconds)
    per_call = per_call_seconds(clock.calls, FEW_ROWS)
    runs, total, inside_s = len(totals), statistics.median(totals), statistics.median(inside)
    timing = Timing(kernels.name, runs, total, inside_s, per_call, (min(inside), max(inside)))
    return timing, profile


def seconds(fn: Callable[[], T]) -> tuple[float, T]:
    start = time.perf_counter()
    result = fn()
    return time.perf_counter() - start, result


def profile_calls(table: Table, measured: dict[str, Numeric]) -> int:
    """The kernel calls a profile of the table makes, besides the measurements done."""
    m = len(table.v_columns())
    counted = sum(column.counted() for column in table.categorical.values())
    return len(table.measurements) - len(measured) + counted + m * (m - 1) // 2


def read_and_profile(
    source: Source, categorical: Sequence[str], z: float, share: float | None, threads: int
) -> tuple[Table, float, Timing, Profile]:
    """Each column read, typed and encoded, and profiled as soon as it is read where the
    profile does not need it again: a measurement is let go once measured, and only the codes
    of the categorical columns are kept for the pairs. The time to type and encode, the
    profile's time, and the profile."""
    table = Table(source.name, source.rows, len(source.names))
    measured: dict[str, Numeric] = {}
    clock = Clock(keep_calls=False)
    kernels = timed(VANTORIX, clock)
    encode_s = profile_s = 0.0
    with Bar(len(source.names), f"profiling {source.name}") as bar:
        for i, name in enumerate(source.names):
            start, read_s = time.perf_counter(), source.read_s
            # Read inside: the Arrow column is let go once encoded.
            column = encode_column(name, partial(source.read, i), name in categorical, source.names)
            encode_s += time.perf_counter() - start - (source.read_s - read_s)
            add(table, name, column)
            if isinstance(column, Measurement):
                start = time.perf_counter()
                present, missing = present_values(column, in_place=True), column.missing
                empty = Measurement(np.zeros(0, column.values.dtype), missing, column.marker)
                table.measurements[name] = empty
                del column  # the values present are all the kernels need
                measured[name] = measure_present(kernels, present, missing, z, keep_flags=False)
                del present
                profile_s += time.perf_counter() - start
            bar.step()
    with Bar(profile_calls(table, measured), "Cramér's V and rare categories", "call") as bar:
        start = time.perf_counter()
        profile = run_profile(
            table, kernels, z, share, threads, measured=measured, keep_flags=False, done=bar.step
        )
        profile_s += time.perf_counter() - start
    return table, encode_s, Timing(VANTORIX.name, 1, profile_s, clock.seconds, 0.0), profile


def encode_all(source: Source, categorical: Sequence[str]) -> tuple[Table, float]:
    """Every column read, typed and encoded and kept, to profile more than once; the time to
    type and encode."""
    table = Table(source.name, source.rows, len(source.names))
    encode_s = 0.0
    with Bar(len(source.names), f"reading {source.name}") as bar:
        for name, values in source.columns():
            start = time.perf_counter()
            add(table, name, encode_column(name, values, name in categorical, source.names))
            encode_s += time.perf_counter() - start
            bar.step()
    return table, encode_s


def main(argv: Sequence[str] | None = None) -> int:
    arguments = parser()
    args = arguments.parse_args(argv)
    if args.plot:
        try:
            from matplotlib.backend_bases import FigureCanvasBase
        except ImportError:
            arguments.error(f'--plot needs matplotlib: {interpreter()} -m pip install ".[plot]"')
        kinds = FigureCanvasBase.get_supported_filetypes()
        plot = Path(args.plot)
        if plot.suffix[1:].lower() not in kinds:
            arguments.error(f"--plot: name a file ending in .{', .'.join(sorted(kinds))}")
        if not plot.parent.is_dir():
            arguments.error(f"--plot: no folder {plot.parent}")

    note = ""
    if args.file:
        if args.rows is not None:
            arguments.error("--rows is for the built-in table, not a file")
        try:
            source, _ = open_source(args.file, args.sep)
        except TableError as error:
            arguments.error(str(error))
    else:
        if args.sep is not None:
            arguments.error("--sep is for a CSV file, not the built-in table")
        from .builtin import builtin_frame, builtin_note

        frame = builtin_frame(args.rows or 1_000_000)
        note = builtin_note(frame)
        source = TableSource("the built-in table (seed 2026)", "", arrow_table(frame))
        del frame
    if source.rows == 0:
        arguments.error(f"{source.name} has no rows")
    unknown = set(args.categorical) - set(source.names)
    if unknown:
        arguments.error(f"no such column: {', '.join(sorted(unknown))}")

    threads = default_threads()
    try:
        if args.compare:
            data, encode_s = encode_all(source, args.categorical)
            ours_time, ours = timed_profile(data, VANTORIX, args.z, args.rare, threads)
        else:
            data, encode_s, ours_time, ours = read_and_profile(
                source, args.categorical, args.z, args.rare, threads
            )
    except TableError as error:
        arguments.error(str(error))
    timings = [ours_time]
    theirs = None
    if args.compare:
        with np.errstate(all="ignore"):  # NumPy warns where a std is 0 or a value infinite
            their_time, theirs = timed_profile(data, baseline_kernels(), args.z, args.rare, threads)
        timings.append(their_time)

    lines = report_lines(source.name, source.kind, data, ours, args.z, args.rare, note)
    read_s = source.read_s if args.file else None
    if ours.numeric or ours.rare or len(ours.v_columns) > 1:
        lines += timing_section(read_s, encode_s, threads, timings)
        lines += agreement(ours, theirs) if theirs else []
    else:
        lines += ["", "Nothing to profile: no measurement, and no categorical column to count."]
    print(printed(lines))

    if args.plot:
        if len(ours.v_columns) < 2:
            print(f"\nNo plot: {args.plot} needs two categorical columns or more.")
        else:
            from .plot import cramers_v_figure

            try:
                cramers_v_figure(data, ours).savefig(args.plot, dpi=120)
            except OSError as error:
                arguments.error(f"cannot write {args.plot}: {error}")
            print(f"\nCramér's V matrix drawn to {args.plot}")
    return 0
