"""The report's last part: the times of the profile with vantorix_core and with the
baseline, and whether the two agree to the digits printed."""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np

from .format import ms, table, wrapped
from .profile import STATS, Profile
from .report import V_DECIMALS, stats_cells


@dataclass
class Timing:
    """Seconds: the median profile, and the part of it inside the four functions."""

    name: str
    runs: int
    total: float
    inside: float
    # The same calls on a table of a few rows: what the calls cost whatever the work.
    per_call: float
    # The fastest and slowest run's time inside the functions (none given: the median's).
    spread: tuple[float, float] | None = None

    def inside_range(self) -> tuple[float, float]:
        return self.spread or (self.inside, self.inside)


# A ratio whose runs put it further than this either way is given as the range they span;
# one whose runs span more than RATIO_NOISE times over is not given.
RATIO_SPREAD = 0.1
RATIO_NOISE = 2.0


def significant(x: float, digits: int = 2) -> str:
    """x to two significant digits, in full: 1,600, 16, 1.6."""
    if x <= 0 or not math.isfinite(x):
        return f"{x:g}"
    rounded = round(x, digits - 1 - math.floor(math.log10(x)))
    decimals = max(0, digits - 1 - math.floor(math.log10(rounded)))  # 9.96 rounds to 10
    return f"{rounded:,.{decimals}f}"


def ratio_text(ours: Timing, theirs: Timing) -> str:
    """How many times ours the baseline's time inside the functions took, to the digits the
    runs support: one value where every pairing of runs is within RATIO_SPREAD of it, else the
    range the runs give."""
    ratio = theirs.inside / ours.inside
    (our_low, our_high), (their_low, their_high) = ours.inside_range(), theirs.inside_range()
    low, high = their_low / our_high, their_high / our_low
    if (1 - RATIO_SPREAD) * ratio <= low and high <= (1 + RATIO_SPREAD) * ratio:
        return f"{significant(ratio)}x"
    return f"{significant(low)}x to {significant(high)}x"


def timing_section(
    read_s: float | None, encode_s: float, threads: int, timings: list[Timing]
) -> list[str]:
    how = "1 thread" if threads == 1 else f"{threads} threads, free-threaded Python"
    lines = [""]
    if read_s is not None:
        lines.append(f"Time to read the file: {ms(read_s)}")
    lines += [
        f"Time to type and encode the columns: {ms(encode_s)}",
        f"Time for the profile, median of {timings[0].runs} ({how}):",
    ]
    rows = [["", "total", "in the four functions", "around them"]]
    rows += [
        ["  " + t.name, ms(t.total), ms(t.inside), ms(max(t.total - t.inside, 0.0))]
        for t in timings
    ]
    lines += table(rows, [False, True, True, True])
    if threads > 1:
        lines.append("(the time in the four functions is added up over the threads)")
    if len(timings) == 2:
        ours, theirs = timings
        (our_low, our_high), (their_low, their_high) = ours.inside_range(), theirs.inside_range()
        low, high = their_low / our_high, their_high / our_low
        if high > RATIO_NOISE * low:
            lines.append(
                wrapped(
                    f"No ratio: from run to run, {theirs.name}'s time in the four functions went"
                    f" from {significant(low)}x to {significant(high)}x that of {ours.name}, too"
                    " spread to give one."
                )
            )
        elif theirs.per_call < theirs.inside / 2:
            lines.append(
                wrapped(
                    f"In the four functions, on the work the report shows, {theirs.name} took"
                    f" {ratio_text(ours, theirs)} the time of {ours.name}."
                )
            )
        else:
            lines.append(
                wrapped(
                    f"No ratio: {theirs.name}'s time here is mostly the cost of each call (the"
                    f" same calls on a few rows take {ms(theirs.per_call)}), not work."
                )
            )
    return lines


def agreement(ours: Profile, theirs: Profile) -> list[str]:
    """Whether the two profiles say the same to the digits printed, and how far apart their
    numbers are (NumPy adds pairwise and takes the variance in two passes)."""
    parts, apart, largest = [], [], 0.0
    for name, a in ours.numeric.items():
        b = theirs.numeric[name]
        # Relative to the column's largest magnitude: a mean of 1e-17 in a column of ±1 is
        # zero to within rounding, and a gap between two such means is no relative error.
        scale = max(abs(a.stats["min"]), abs(a.stats["max"]))
        for key, x, y in zip(STATS, stats_cells(a, 6), stats_cells(b, 6)):
            if x != y:
                apart.append(f"{name} {key} {x} vs {y}")
            p, q = a.stats[key], b.stats[key]
            if math.isfinite(p) and math.isfinite(q) and p != q and math.isfinite(scale):
                largest = max(largest, abs(p - q) / scale)
    flags = [(ours.numeric[n].flags, theirs.numeric[n].flags) for n in ours.numeric]
    rare = [(ours.rare[n].flags, theirs.rare[n].flags) for n in ours.rare]
    flags += [(x, y) for x, y in rare if x is not None and y is not None]
    if flags:
        differ = sum(int((a != b).sum()) for a, b in flags)
        parts.append(f"flags: {differ:,} of {sum(a.size for a, _ in flags):,} differ")
    off_diagonal = ~np.eye(len(ours.v_columns), dtype=bool)
    if not np.isnan(ours.cramers_v[off_diagonal]).all():
        # Which V are undefined follows from the data alone: the same NaN in both.
        gap = np.nan_to_num(np.abs(ours.cramers_v - theirs.cramers_v))
        printed = np.round(ours.cramers_v, V_DECIMALS) == np.round(theirs.cramers_v, V_DECIMALS)
        same = "the same" if (printed | np.isnan(ours.cramers_v)).all() else "not the same"
        parts.append(f"Cramér's V: {same} to {V_DECIMALS} decimals (apart by {gap.max():.1e})")
    if ours.numeric:
        same = "the same" if not apart else f"{len(apart):,} differ"
        parts.append(
            f"statistics: {same} as printed (apart by {largest:.1e} of the column's largest value)"
        )
    if not parts:
        return []
    lines = [wrapped("Same results? " + "; ".join(parts))]
    lines += [f"  differs as printed: {item}" for item in apart]
    if largest:
        lines.append(
            wrapped(
                "(NumPy adds pairwise and takes the variance in two passes; vantorix_core adds in"
                " row order and takes mean of squares - squared mean: see docs/exactness.md)",
                indent="   ",
                first="  ",
            )
        )
    return lines
