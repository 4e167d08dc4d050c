"""How the report writes things: lines of at most WIDTH characters, numbers, percentages,
times, names shortened without two alike, labels that cannot be misread, and tables whose
columns never run together."""

from __future__ import annotations

import math
import textwrap
from collections.abc import Iterable, Sequence

WIDTH = 100  # of every line of text output
NAME_WIDTH = 20  # longer column names are shortened in tables
GAP = 2  # spaces between the columns of a table, at least


def count(n: int, word: str, plural: str = "") -> str:
    return f"{n:,} {word if n == 1 else plural or word + 's'}"


def percent(part: int, whole: int) -> str:
    """part / whole as a percentage that is never rounded to 0% or 100% unless it is."""
    if part == whole or part == 0:
        return "100%" if part else "0%"
    share = 100 * part / whole
    for digits in range(0, 10):
        text = f"{share:.{digits}f}"
        if 0 < float(text) < 100:
            return text + "%"
    return f"{share:g}%"


def number(x: float, digits: int = 6) -> str:
    """A statistic with `digits` significant digits; whole numbers in full up to 10^digits."""
    if math.isnan(x) or math.isinf(x):
        return str(x)
    if x == int(x) and abs(x) < 10**digits:
        return str(int(x))
    return f"{x:.{digits}g}"


def mean_text(mean: float, std: float, digits: int = 6) -> str:
    """A mean, or 0 where it is smaller than the last digit printed of its std (a centred
    column's mean is rounding noise, 1e-18 or so)."""
    if math.isfinite(mean) and math.isfinite(std) and std > 0:
        last_digit = 10 ** (math.floor(math.log10(std)) - digits + 1)
        if abs(mean) < last_digit / 2:
            return "0"
    return number(mean, digits)


def ms(seconds: float) -> str:
    """A time in ms, three digits or more; in seconds from one second up."""
    value = seconds * 1e3
    if value >= 1000:
        return f"{seconds:,.3g} s" if seconds < 1000 else f"{seconds:,.0f} s"
    return f"{value:.0f} ms" if value >= 100 else f"{value:.3g} ms"


def shorten(name: str, width: int = NAME_WIDTH, head: int | None = None) -> str:
    """The name, or its start and end around an ellipsis: names often differ at the end."""
    if len(name) <= width:
        return name
    head = (width - 1) // 2 if head is None else head
    return name[:head] + "…" + name[len(name) - (width - 1 - head) :]


def short_names(names: Iterable[str], width: int = NAME_WIDTH) -> dict[str, str]:
    """Each name shortened to width, no two alike: where the usual cut makes long names the
    same, the ellipsis moves until they differ, and failing that a number ends each."""
    names = list(dict.fromkeys(names))
    shown = {name: shorten(name, width) for name in names}
    groups: dict[str, list[str]] = {}
    for name in names:
        groups.setdefault(shown[name], []).append(name)
    for cut, group in groups.items():
        if len(group) == 1:
            continue
        others = set(shown.values()) - {cut}
        for head in range(width - 2, 0, -1):
            tries = {name: shorten(name, width, head) for name in group}
            if len(set(tries.values())) == len(group) and not others & set(tries.values()):
                break
        else:
            tries = {
                name: name[: width - 2 - len(str(k))] + f"…#{k}" for k, name in enumerate(group, 1)
            }
        shown.update(tries)
    return shown


UNSAFE = set(',()"') | {"…"}


def label(text: str, width: int = 30) -> str:
    """A category as a list shows it: in quotes where it holds a list's punctuation, is empty
    or has spaces at an end, so that "brown, grey" reads as one category."""
    short = shorten(text, width)
    if not text or text != text.strip() or UNSAFE & set(text) or text.startswith("and "):
        return '"' + short.replace('"', '\\"') + '"'
    return short


def wrapped(text: str, indent: str = "  ", first: str = "") -> str:
    return textwrap.fill(
        text, WIDTH, initial_indent=first, subsequent_indent=indent, break_on_hyphens=False
    )


# A list runs to at most this many lines; the items past them are counted, not listed.
LIST_LINES = 6


def listing(
    start: str, items: Sequence[str], indent: str = "    ", max_lines: int = LIST_LINES
) -> str:
    """start, then the items separated by commas, wrapped between items, not inside one; past
    max_lines, the rest counted: "and 80 more"."""
    lines = wrapped(start, indent).split("\n")
    for k, item in enumerate(items):
        item += "," if k < len(items) - 1 else ""
        left = len(items) - k - 1
        more = f" and {left:,} more" if left else ""
        if len(lines[-1]) + 1 + len(item) + len(more) > WIDTH and len(lines) == max_lines:
            return "\n".join(lines) + f" and {len(items) - k:,} more"
        if len(lines[-1]) + 1 + len(item) > WIDTH:
            lines.append(indent + item)
        else:
            lines[-1] += " " + item
    return "\n".join(lines)


def table(rows: Sequence[Sequence[str]], right: Sequence[bool]) -> list[str]:
    """Rows of cells as lines: each column as wide as its widest cell, GAP spaces between,
    right-aligned where right says so; a last cell beyond them (free text) is wrapped within
    WIDTH, its next lines under its start."""
    widths = [max(len(row[c]) for row in rows if c < len(row)) for c in range(len(right))]
    lines = []
    for row in rows:
        cells = [
            f"{cell:>{widths[c]}}" if right[c] else f"{cell:<{widths[c]}}"
            for c, cell in enumerate(row[: len(right)])
        ]
        start = (" " * GAP).join(cells)
        extra = " ".join(row[len(right) :]).strip()
        if not extra:
            lines.append(start.rstrip())
            continue
        # Where the cells leave too little room, the text goes under them instead.
        indent = len(start) + GAP if len(start) + GAP <= WIDTH - 30 else 4
        text = textwrap.wrap(extra, WIDTH - indent, break_on_hyphens=False) or [""]
        if indent == len(start) + GAP:
            lines.append(start + " " * GAP + text[0])
            text = text[1:]
        else:
            lines.append(start.rstrip())
        lines += [" " * indent + part for part in text]
    return lines
