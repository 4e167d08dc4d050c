"""Table files read with pyarrow: delimited text (separator and quotes sniffed), Parquet,
Feather / Arrow IPC and newline-delimited JSON, told apart by their name and checked by their
first bytes. Parquet and Feather files are read a column at a time, so that a profile holds
one column and the small codes of the categorical ones, never the whole table."""

from __future__ import annotations

import csv
import os
import time
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import pyarrow as pa

from .format import shorten
from .progress import Bar, CountedFile

SEPARATORS = ",;\t|"  # sniffed, and refused in the name of a table's only column
SNIFF_CHARS = 1 << 16


class TableError(Exception):
    """A file that is not read as a table, with the reason."""


WHITESPACE = r"\s+"  # runs of spaces and tabs
SEPARATOR_NAMES = {
    ",": "",
    ";": "semicolon-separated",
    "\t": "tab-separated",
    "|": "separated by |",
    WHITESPACE: "whitespace-separated",
}

DELIMITED, PARQUET, FEATHER, NDJSON = "delimited text", "Parquet", "Feather", "NDJSON"
EXTENSIONS = {
    **dict.fromkeys((".csv", ".tsv", ".tab", ".txt", ".dat", ".psv"), DELIMITED),
    **dict.fromkeys((".parquet", ".pq", ".parq"), PARQUET),
    **dict.fromkeys((".feather", ".arrow", ".ipc", ".fea"), FEATHER),
    **dict.fromkeys((".ndjson", ".jsonl", ".json"), NDJSON),
}
KIND_NAMES = {
    PARQUET: "Parquet",
    FEATHER: "Feather",
    NDJSON: "newline-delimited JSON",
}
READS = "delimited text (CSV, TSV …), Parquet, Feather / Arrow IPC or newline-delimited JSON"
# The values read as missing and as booleans: those of pandas' read_csv, so that a file reads
# as it always has.
NULL_VALUES = [
    *("", "#N/A", "#N/A N/A", "#NA", "-1.#IND", "-1.#QNAN", "-NaN", "-nan", "1.#IND"),
    *("1.#QNAN", "<NA>", "N/A", "NA", "NULL", "NaN", "None", "n/a", "nan", "null"),
]
TRUE_VALUES, FALSE_VALUES = ["True", "TRUE", "true"], ["False", "FALSE", "false"]
# Text columns with up to this many distinct values in a block of the file come from the
# reader as codes and a dictionary; wider ones as text, encoded afterwards.
READER_DICTIONARY = 4096


def content_kind(head: bytes) -> str | None:
    """The kind of table file these first bytes start, None for binary data of another kind."""
    if head.startswith(b"PAR1"):
        return PARQUET
    if head.startswith((b"ARROW1", b"FEA1")):
        return FEATHER
    if b"\0" in head:
        return None
    text = head.lstrip(b"\xef\xbb\xbf \t\r\n")
    return NDJSON if text.startswith(b"{") else DELIMITED


def file_kind(path: str) -> str:
    """The kind of table the file holds: its extension's, checked against its first bytes."""
    name = Path(path).name
    try:
        with open(path, "rb") as file:
            head = file.read(SNIFF_CHARS)
    except OSError as error:
        raise TableError(f"cannot read {path}: {error}") from None
    by_name = EXTENSIONS.get(Path(path).suffix.lower())
    by_content = content_kind(head)
    if by_content is None:
        raise TableError(f"{name} is not a table file this reads: {READS}")
    if by_name is None:
        return by_content
    # JSON lines read as text too; text never passes for a binary format.
    if by_name == by_content or (by_name, by_content) == (DELIMITED, NDJSON):
        return by_name
    start = shorten(repr(head[:8])[2:-1], 12)
    raise TableError(f"{name} is not {by_name} as its name says: it starts with {start}")


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


def column_names(names: list[str]) -> list[str]:
    """The names as the profile shows them: a column without a name is "Unnamed: i" (as R's
    row names read in pandas), and a repeated name gets .1, .2 … as pandas gives it."""
    named = [name or f"Unnamed: {i}" for i, name in enumerate(names)]
    seen: set[str] = set()
    unique = []
    for name in named:
        new, k = name, 0
        while new in seen:
            k += 1
            new = f"{name}.{k}"
        seen.add(new)
        unique.append(new)
    return unique


@dataclass
class Pieces:
    """A column read in pieces (a Parquet file's row groups), each piece read when it is
    needed and let go once used: a measurement's floats are made of it without the whole
    column in Arrow's memory beside them."""

    type: Any
    length: int
    pieces: Callable[[], Iterator[Any]]  # the pieces, pyarrow Arrays, in row order

    def whole(self) -> Any:
        """The column as one ChunkedArray."""
        chunks = list(self.pieces())
        return pa.chunked_array(chunks) if chunks else pa.chunked_array([], self.type)


def use_returning_pool() -> None:
    """Arrow's memory given back to the system as soon as it is freed: jemalloc without decay,
    else the system's allocator. Arrow's default allocator (mimalloc) keeps what a column freed,
    so that a profile reading a column at a time would hold several at its peak, and it makes
    the parallel CSV reader two to three times slower on this job."""
    try:
        pool = pa.jemalloc_memory_pool()
        pa.jemalloc_set_decay_ms(0)
    except (NotImplementedError, pa.ArrowException):  # a build without jemalloc
        pool = pa.system_memory_pool()
    pa.set_memory_pool(pool)


class Source:
    """A table's columns, one at a time, and the seconds spent reading them."""

    def __init__(self, name: str, kind: str, rows: int, names: list[str]) -> None:
        self.name, self.kind, self.rows, self.names = name, kind, rows, names
        self.read_s = 0.0

    def read(self, i: int) -> Any:
        """Column i's values, a pyarrow ChunkedArray, timed."""
        start = time.perf_counter()
        try:
            column = self.column(i)
        except (OSError, ValueError, pa.ArrowException) as error:
            name = self.names[i]
            raise TableError(f"cannot read column {name} of {self.name}: {error}") from None
        self.read_s += time.perf_counter() - start
        return column

    def columns(self) -> Iterator[tuple[str, Any]]:
        """Each column's name and values, in the table's order."""
        for i, name in enumerate(self.names):
            yield name, self.read(i)

    def column(self, i: int) -> Any:
        raise NotImplementedError


class TableSource(Source):
    """A table read or made whole: each column handed over once and let go."""

    def __init__(self, name: str, kind: str, table: Any) -> None:
        super().__init__(
            name, kind, table.num_rows, column_names(list(map(str, table.column_names)))
        )
        self._columns: list[Any] = list(table.columns)

    def column(self, i: int) -> Any:
        column, self._columns[i] = self._columns[i], None
        return column


class ParquetSource(Source):
    """A Parquet file, a column at a time; text columns come with the file's dictionaries, as
    codes that need no hashing."""

    def __init__(self, path: str) -> None:
        import pyarrow.parquet as pq

        schema = pq.read_schema(path)
        text = [field.name for field in schema if is_text(field.type)]
        self.file = pq.ParquetFile(path, read_dictionary=text)
        rows = self.file.metadata.num_rows
        super().__init__(Path(path).name, KIND_NAMES[PARQUET], rows, column_names(schema.names))
        self.file_names = schema.names

    def column(self, i: int) -> Any:
        name, groups = self.file_names[i], self.file.metadata.num_row_groups
        kind = self.file.schema_arrow.field(i).type  # for a file without rows

        # As many row groups at a time as there are cores, read side by side.
        step = os.cpu_count() or 1

        def pieces() -> Iterator[Any]:
            for first in range(0, groups, step):
                start = time.perf_counter()
                some = list(range(first, min(first + step, groups)))
                try:
                    read = self.file.read_row_groups(some, columns=[name], use_threads=True)
                except (OSError, ValueError, pa.ArrowException) as error:
                    raise TableError(f"cannot read column {name} of {self.name}: {error}") from None
                self.read_s += time.perf_counter() - start
                yield from read.column(0).chunks

        return Pieces(kind, self.rows, pieces)


class FeatherSource(Source):
    """A Feather file (Arrow IPC), a column at a time."""

    def __init__(self, path: str) -> None:
        import pyarrow.feather as feather

        self.path, self.read_table = path, feather.read_table
        names = pa.ipc.open_file(path).schema.names
        # The file's footer does not count rows: its first column does.
        self.first = (
            self.read_table(path, columns=[0], memory_map=False).column(0) if names else None
        )
        rows = len(self.first) if self.first is not None else 0
        super().__init__(Path(path).name, KIND_NAMES[FEATHER], rows, column_names(names))

    def column(self, i: int) -> Any:
        if i == 0 and self.first is not None:
            column, self.first = self.first, None
            return column
        return self.read_table(self.path, columns=[i], memory_map=False).column(0)


def is_text(kind: Any) -> bool:
    return bool(
        pa.types.is_string(kind)
        or pa.types.is_large_string(kind)
        or pa.types.is_binary(kind)
        or pa.types.is_large_binary(kind)
    )


@contextmanager
def counted(path: str) -> Iterator[Any]:
    """The file to read: its path, or an open file that moves a bar of its bytes where
    progress is shown."""
    with Bar(Path(path).stat().st_size, f"reading {Path(path).name}", unit="B") as bar:
        if not bar.active:
            yield path
            return
        with open(path, "rb") as file:
            yield CountedFile(file, bar)


def read_delimited(path: str, separator: str | None) -> tuple[Any, str]:
    """The file as an Arrow table, parsed on all cores, its text columns as codes where the
    reader can, and its separator."""
    import pyarrow.csv as pv

    with open(path, encoding="utf-8-sig", errors="replace", newline="") as file:
        sample = file.read(SNIFF_CHARS)
    if len(sample) == SNIFF_CHARS and "\n" in sample:  # whole lines only
        sample = sample[: sample.rindex("\n") + 1]
    separator, quote = sniffed(sample, separator)
    if separator == WHITESPACE:
        return read_whitespace(path, quote), separator
    with counted(path) as data:
        table = pv.read_csv(
            data,
            read_options=pv.ReadOptions(use_threads=True),
            parse_options=pv.ParseOptions(delimiter=separator, quote_char=quote),
            convert_options=pv.ConvertOptions(
                null_values=NULL_VALUES,
                true_values=TRUE_VALUES,
                false_values=FALSE_VALUES,
                strings_can_be_null=True,
                auto_dict_encode=True,
                auto_dict_max_cardinality=READER_DICTIONARY,
            ),
        )
    return table, separator


def read_whitespace(path: str, quote: str) -> Any:
    """Columns separated by runs of spaces and tabs, which Arrow's reader does not split:
    pandas parses them, Arrow takes its columns over."""
    import pandas as pd

    from .encoding import from_pandas

    return from_pandas(pd.read_csv(path, sep=WHITESPACE, quotechar=quote, low_memory=False))


def open_source(path: str, separator: str | None = None) -> tuple[Source, str | None]:
    """The file's columns to read, and its separator (None if it is not delimited text)."""
    kind = file_kind(path)
    use_returning_pool()  # before the file is opened: its reader takes the pool there is then
    name = Path(path).name
    if separator is not None and kind != DELIMITED:
        raise TableError(f"--sep is for delimited text, not a {KIND_NAMES[kind]} file")
    try:
        if kind == PARQUET:
            return ParquetSource(path), None
        if kind == FEATHER:
            with open(path, "rb") as file:
                first_format = file.read(4) == b"FEA1"  # read whole: it has no IPC footer
            if not first_format:
                return FeatherSource(path), None
        start = time.perf_counter()
        if kind == FEATHER:
            import pyarrow.feather as feather

            table, separator = feather.read_table(path, memory_map=False), None
        elif kind == NDJSON:
            import pyarrow.json as pj

            with counted(path) as data:
                table, separator = pj.read_json(data), None
        else:
            table, separator = read_delimited(path, separator)
        source: Source = TableSource(name, KIND_NAMES.get(kind, ""), table)
        source.read_s = time.perf_counter() - start
    except (OSError, ValueError, pa.ArrowException) as error:
        raise TableError(f"cannot read {path}: {error}") from None
    if separator is not None:
        source.kind = SEPARATOR_NAMES.get(separator, f"separated by {separator!r}")
        only = source.names[0]
        if len(source.names) == 1 and any(c in only for c in SEPARATORS):
            raise TableError(
                f"{name} reads as a single column named {shorten(repr(only), 40)}:"
                " give its separator with --sep"
            )
    return source, separator
