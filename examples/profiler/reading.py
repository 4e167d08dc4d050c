"""A delimited text file read as a frame, its separator and quotes sniffed."""

from __future__ import annotations

import csv
from pathlib import Path

import pandas as pd

from .format import shorten

SEPARATORS = ",;\t|"  # sniffed, and refused in the name of a table's only column
SNIFF_CHARS = 1 << 16


class TableError(Exception):
    """A file that is not read as a table, with the reason."""


WHITESPACE = r"\s+"  # pandas' separator for runs of spaces and tabs
SEPARATOR_NAMES = {
    ",": "",
    ";": "semicolon-separated",
    "\t": "tab-separated",
    "|": "separated by |",
    WHITESPACE: "whitespace-separated",
}


def sniffed(sample: str, separator: str | None) -> tuple[str, str]:
    """The separator and quote character of delimited text: the separator given, or one of
    , ; tab |, else runs of whitespace; a comma and " where the sample shows neither."""
    if separator:
        tries = [(separator, " " if separator == WHITESPACE else separator)]
    else:
        tries = [("", SEPARATORS), (WHITESPACE, " ")]
    for fixed, candidates in tries:
        try:
            dialect = csv.Sniffer().sniff(sample, delimiters=candidates)
        except csv.Error:
            continue
        return fixed or dialect.delimiter, dialect.quotechar or '"'
    return separator or ",", '"'


def read_table(path: str, separator: str | None, backend: str | None) -> tuple[pd.DataFrame, str]:
    """The CSV file as a frame, and its separator."""
    try:
        with open(path, encoding="utf-8-sig", errors="replace", newline="") as file:
            sample = file.read(SNIFF_CHARS)
        if len(sample) == SNIFF_CHARS and "\n" in sample:  # whole lines only
            sample = sample[: sample.rindex("\n") + 1]
        separator, quote = sniffed(sample, separator)
        if backend == "pyarrow":
            frame = pd.read_csv(path, sep=separator, quotechar=quote, dtype_backend="pyarrow")
        elif backend == "numpy_nullable":
            frame = pd.read_csv(
                path, sep=separator, quotechar=quote, dtype_backend="numpy_nullable"
            )
        else:
            frame = pd.read_csv(path, sep=separator, quotechar=quote, low_memory=False)
    except (OSError, ValueError, ImportError) as error:
        raise TableError(f"cannot read {path}: {error}") from None
    only = str(frame.columns[0])
    if frame.shape[1] == 1 and any(c in only for c in SEPARATORS):
        raise TableError(
            f"{Path(path).name} reads as a single column named {shorten(repr(only), 40)}:"
            " give its separator with --sep"
        )
    return frame, separator
