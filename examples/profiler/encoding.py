"""A table typed column by column and encoded once for the kernels: measurements as float
arrays (NumPy views of the Arrow buffers where no copy is needed), categories as small integer
codes with their counts (from the dictionaries the reader made, where it made them), and the
rest (dates, identifiers, calendar fields, row counters) named for what they hold. Columns come
as pyarrow arrays, from a file or from a pandas, polars or pyarrow table in memory."""

from __future__ import annotations

import sys
from collections.abc import Iterator, Sequence
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import pyarrow as pa
from numpy.typing import NDArray

from . import rules
from .format import count, label, percent

Data = NDArray[np.floating[Any]]  # a measurement as the frame holds it: float16, 32 or 64
Codes = NDArray[np.signedinteger[Any]]  # 0 … k − 1, −1 for a missing value

# A Cramér's V table has one cell per pair of categories: columns with more categories than
# this (free text, say) get rare values but are left out of the matrix.
MAX_V_CATEGORIES = 1000
# With fewer than this many values per category on average, a column's counts say nothing:
# no category is common enough for another to stand out as rare, and a contingency table
# with it is too sparse for χ² (the usual rule wants expected counts of 5 or more). Such a
# column gets no rare values and no Cramér's V, nor does a pair whose table has fewer rows
# than this per cell.
MIN_PER_CELL = 5


@dataclass
class Categorical:
    """A column's categories in order of appearance, their codes and counts."""

    codes: Codes
    labels: list[str]
    counts: NDArray[np.int64]
    missing: int

    @property
    def values(self) -> int:
        return self.codes.size - self.missing

    def too_many(self) -> bool:
        """Whether the column has too few values per category for its counts to say much."""
        return len(self.labels) >= 2 and self.values < MIN_PER_CELL * len(self.labels)

    def left_out(self) -> str:
        """Why the column gets no Cramér's V ('' if it gets one)."""
        k = len(self.labels)
        if k < 2:
            return "one category only" if k else "no values"
        if self.too_many():
            return "too many categories for their rows"
        return f"more than {MAX_V_CATEGORIES:,} categories" if k > MAX_V_CATEGORIES else ""

    def counted(self) -> bool:
        """Whether the column gets rare values."""
        return len(self.labels) >= 2 and not self.too_many()


@dataclass
class Measurement:
    values: Data  # NaN where a value is missing
    missing: int
    marker: str | None = None  # the text that stood for a missing value, if it was text


@dataclass
class Other:
    """A column that is neither a measurement nor a set of categories: what it holds."""

    kind: str  # "dates", "times", "identifier", "code", "row counter", or a calendar unit
    missing: int
    what: str


@dataclass
class Table:
    name: str
    rows: int
    columns: int
    measurements: dict[str, Measurement] = field(default_factory=dict)
    categorical: dict[str, Categorical] = field(default_factory=dict)
    other: dict[str, Other] = field(default_factory=dict)

    def v_columns(self) -> list[str]:
        """The categorical columns that get a Cramér's V with each other."""
        return [name for name, column in self.categorical.items() if not column.left_out()]


def code_type(k: int) -> np.dtype[Any]:
    """The narrowest signed type that holds codes of k categories, and k itself (counts are
    taken of the codes + 1): the kernels read int8 and int16 in place, and every copy of
    them is cheaper."""
    for dtype in (np.int8, np.int16, np.int32):
        if k <= np.iinfo(dtype).max:
            return np.dtype(dtype)
    return np.dtype(np.int64)


def small_codes(codes: NDArray[np.signedinteger[Any]], k: int) -> Codes:
    narrow: Codes = codes.astype(code_type(k), copy=False)
    return narrow


# The first rows searched for the order in which the categories first appear; only when some
# category is first seen later is the whole column hashed for it.
FIRST_ROWS = 1 << 16


def appearance(codes: Codes, counts: NDArray[np.int64]) -> NDArray[np.intp]:
    """The codes present, in the order of their first row."""
    present = int(np.count_nonzero(counts))
    head = codes[:FIRST_ROWS]
    seen, first = np.unique(head[head >= 0], return_index=True)
    if seen.size < present:
        import pyarrow.compute as pc

        order = view(pc.unique(pa.array(codes)))
        order = order[order >= 0]
    else:
        positions = np.flatnonzero(head >= 0)[first]
        order = seen[np.argsort(positions, kind="stable")]
    return order.astype(np.intp)


def view(array: Any) -> NDArray[Any]:
    """The values of an Arrow array of numbers without missing values, as a NumPy array over
    its buffer (read-only, no copy)."""
    dtype = np.dtype(array.type.to_pandas_dtype())
    if len(array) == 0:
        return np.zeros(0, dtype)
    offset = array.offset * dtype.itemsize
    return np.frombuffer(array.buffers()[1], dtype=dtype, count=len(array), offset=offset)


def present(array: Any) -> NDArray[np.bool_]:
    """Where an Arrow array has a value, from its validity bitmap."""
    bits = np.frombuffer(array.buffers()[0], dtype=np.uint8)
    start = array.offset
    return np.unpackbits(bits, count=start + len(array), bitorder="little")[start:].view(bool)


# Whole-column work on codes goes in blocks of this many rows: NumPy counts and indexes in
# 8-byte integers, and a temporary of the whole column in them would outweigh its int8 codes.
BLOCK = 1 << 16


def blocks(n: int) -> Iterator[slice]:
    return (slice(start, start + BLOCK) for start in range(0, n, BLOCK))


def counted(codes: Codes, k: int) -> NDArray[np.int64]:
    """[0]: the missing values (code −1), [1 + c]: the rows of code c."""
    counts = np.zeros(k + 1, np.int64)
    for rows in blocks(codes.size):
        counts += np.bincount(codes[rows] + 1, minlength=k + 1)  # the narrow type holds k
    return counts


def recode(codes: Codes, lookup: Codes) -> None:
    """Each code c made lookup[c + 1] in place (lookup[0] for a missing value)."""
    for rows in blocks(codes.size):
        codes[rows] = lookup[codes[rows] + 1]


def dictionary_codes(column: Any) -> tuple[Codes, list[Any]]:
    """The codes of a dictionary column as one array (−1 where a value is missing) and its
    dictionary's values; the chunks' dictionaries are unified first."""
    column = column.unify_dictionaries()
    dictionary = column.chunk(0).dictionary if column.num_chunks else pa.array([])
    k = len(dictionary)
    codes = np.empty(len(column), dtype=code_type(k))
    start = 0
    for chunk in column.chunks:
        indices, part = chunk.indices, codes[start : start + len(chunk)]
        part[:] = view(indices)
        if indices.null_count:
            part[~present(indices)] = -1
        start += len(chunk)
    values = dictionary.to_pylist()
    if dictionary.null_count:  # a missing value kept in the dictionary itself
        lookup = [-1] + [-1 if v is None else c for c, v in enumerate(values)]
        recode(codes, np.array(lookup, codes.dtype))
    return codes, values


def categories(column: Any) -> Categorical:
    """A column's categories in order of first appearance, whatever order the dictionary of
    the reader (or of a pandas Categorical) has, with codes of the narrowest type."""
    if not pa.types.is_dictionary(column.type):
        import pyarrow.compute as pc

        try:
            column = pc.dictionary_encode(column)
        except pa.ArrowNotImplementedError:  # nested values (JSON objects, lists): as text
            text = [None if v is None else str(v) for v in column.to_pylist()]
            column = pc.dictionary_encode(pa.chunked_array([pa.array(text, pa.string())]))
    codes, values = dictionary_codes(column)
    del column
    k = len(values)
    counts = counted(codes, k)
    order = appearance(codes, counts[1:])
    if order.size < k or (order != np.arange(k)).any():
        lookup = np.full(k + 1, -1, dtype=codes.dtype)
        lookup[order + 1] = np.arange(order.size)
        recode(codes, lookup)
        codes = small_codes(codes, order.size)
        counts = np.append(counts[:1], counts[1:][order])
        values = [values[c] for c in order]
    labels = [text_label(value) for value in values]
    return Categorical(codes, labels, counts[1:], int(counts[0]))


def text_label(value: Any) -> str:
    """A category as the report names it: text as it is, bytes decoded, others as str()."""
    if isinstance(value, bytes):
        return value.decode("utf-8", errors="replace")
    return str(value)


def numeric_kind(
    name: str, values: Data, missing: int, integers: bool, others: Sequence[str] = ()
) -> Other | None:
    """What a numeric column holds if it is no measurement, else None; integers says that
    its type holds whole numbers only, others names the table's other columns."""
    # Most measurements show a fraction in their first values: no copy of them is made then.
    if missing == values.size or not (integers or rules.whole_numbers(values)):
        return None
    present = values[~np.isnan(values)] if missing else values
    unit = rules.calendar_unit(name, present, others)
    # Years read best without a thousands separator.
    low, high = (f"{x:{'' if unit == 'year' else ','}.0f}" for x in (present.min(), present.max()))
    span = low if low == high else f"{low} to {high}"

    def distinct() -> str:  # a sort of the column: only for the kinds that show it
        return f"{np.unique(present).size:,} distinct"

    if rules.named_as_id(name):
        return Other("identifier", missing, f"{distinct()}, {span}")
    if unit:
        return Other(unit, missing, f"{unit}s {span}")
    for dates, how in (
        (rules.yyyymmdd_dates(present), "YYYYMMDD"),
        (rules.epoch_dates(name, present), "seconds since 1970"),
    ):
        if dates is not None:
            return Other("dates", missing, f"{how}, {rules.date_range(dates)}")
    coded = rules.coded_by(name, others)
    if coded or rules.named_as_code(name):
        named = f", named in {coded}" if coded else ""
        return Other("code", missing, f"{distinct()}, {span}{named}")
    ones, steps = rules.counter_steps(present)
    if steps:
        every = f"{ones:,} of {steps:,} steps ({percent(ones, steps)})"
        every = "every step" if ones == steps else every
        return Other("row counter", missing, f"{span}, up by 1 at {every}")
    if rules.row_names(name) and np.unique(present).size == present.size:
        return Other("identifier", missing, f"{distinct()}, {span}, as row names")
    return None


def text_kind(name: str, column: Categorical) -> Other | None:
    """What a text column holds if it is no set of categories, else None."""
    read = rules.parse_dates(column.labels, column.counts)
    if read is not None:
        what = rules.date_range(read.dates)
        if read.unreadable_rows:
            bad = count(read.unreadable_rows, "row")
            what += f"; {bad} not a date (such as {label(read.example)})"
        return Other("dates", column.missing, what)
    times = rules.times_of_day(column.labels)
    if times:
        return Other("times", column.missing, f"times of day, {times}")
    k = len(column.labels)
    unique = "each once" if k == column.values else f"in {column.values:,} values"
    if rules.row_names(name) and k == column.values:
        return Other("identifier", column.missing, f"{k:,} distinct, as row names")
    if rules.id_by_content(column.counts) or rules.id_by_name(name, column.counts):
        return Other("identifier", column.missing, f"{k:,} distinct {unique}")
    return None


def marked_numbers(column: Categorical) -> tuple[Data, str] | None:
    """A text column of numbers and one missing-value marker as floats, NaN where the value
    was missing or the marker, with the marker; else None."""
    marked = rules.numbers_with_marker(column.labels)
    if marked is None:
        return None
    marker, numbers = marked
    # Code -1, a missing value, takes the NaN put after the labels' numbers.
    values: Data = np.append(numbers, np.nan)[column.codes]
    return values, marker


Column = Measurement | Categorical | Other


def is_pieces(column: Any) -> bool:
    return hasattr(column, "pieces")


def float_values(column: Any) -> tuple[Data, int, bool]:
    """A numeric column (a ChunkedArray, or pieces read one at a time) as floats, NaN where a
    value is missing: a view of the Arrow buffer where it is one chunk of floats without a
    missing value, else one copy; the number of missing values; and whether its type holds
    whole numbers only."""
    kind, length = column.type, column.length if is_pieces(column) else len(column)
    integers = pa.types.is_integer(kind)
    if pa.types.is_null(kind):
        return np.full(length, np.nan), length, False
    # Arrow computes nothing in half precision; decimals become doubles.
    wanted = pa.float32() if pa.types.is_float16(kind) else None
    if not (integers or pa.types.is_floating(kind)):
        wanted = pa.float64()
    dtype = np.dtype(np.float64 if integers else (wanted or kind).to_pandas_dtype())
    if is_pieces(column):
        chunks = column.pieces()
    else:
        if column.num_chunks == 1 and column.null_count == 0 and not (integers or wanted):
            values: Data = view(column.chunk(0))
            return values, int(np.count_nonzero(np.isnan(values))), False
        chunks = iter(column.chunks)
    # The chunks side by side as floats, missing values as NaN: the one copy the kernels need.
    values = np.empty(length, dtype=dtype)
    start = nulls = 0
    chunk = None
    for chunk in chunks:
        if wanted is not None:
            chunk = chunk.cast(wanted)
        part = values[start : start + len(chunk)]
        part[:] = view(chunk)
        if chunk.null_count:
            part[~present(chunk)] = np.nan
            nulls += chunk.null_count
        start += len(chunk)
    del chunk
    if integers:
        return values, nulls, True
    return values, int(np.count_nonzero(np.isnan(values))), False


def dates(column: Any) -> Other:
    """A column Arrow typed as dates or times of day with a date: its range."""
    import pandas as pd
    import pyarrow.compute as pc

    present = pc.unique(column.drop_null())
    if pa.types.is_date(present.type):
        present = present.cast(pa.timestamp("s"))
    index = pd.DatetimeIndex(present.to_pandas())
    return Other("dates", column.null_count, rules.date_range(index))


def plain(column: Any) -> Any:
    """Text and binary views as the types every compute function takes."""
    kind = column.type
    if pa.types.is_string_view(kind):
        return column.cast(pa.large_string())
    if pa.types.is_binary_view(kind):
        return column.cast(pa.large_binary())
    if pa.types.is_dictionary(kind) and pa.types.is_string_view(kind.value_type):
        return column.cast(pa.dictionary(kind.index_type, pa.large_string()))
    return column


def numeric(kind: Any) -> bool:
    return bool(
        pa.types.is_integer(kind)
        or pa.types.is_floating(kind)
        or pa.types.is_decimal(kind)
        or pa.types.is_null(kind)
    )


def encode_column(
    name: str, column: Any, categorical: bool = False, others: Sequence[str] = ()
) -> Column:
    """One column typed and encoded; categorical takes it as categories whatever it holds,
    others names the table's columns. The column is an Arrow array, or a function that reads
    one: then the Arrow column is let go as soon as a measurement's floats are made of it, so
    that a column read from a file is not held twice."""
    column = column() if callable(column) else column
    if is_pieces(column):
        if numeric(column.type) and not categorical:
            values, missing, integers = float_values(column)
            del column
            other = numeric_kind(name, values, missing, integers, others)
            return other or Measurement(values, missing)
        column = column.whole()
    column = plain(column)
    kind = column.type
    if categorical:
        return categories(column)
    if pa.types.is_timestamp(kind) or pa.types.is_date(kind):
        return dates(column)
    if numeric(kind):
        values, missing, integers = float_values(column)
        del column
        other = numeric_kind(name, values, missing, integers, others)
        return other or Measurement(values, missing)
    encoded = categories(column)
    numbers = marked_numbers(encoded)
    if numbers is not None:
        values, marker = numbers
        missing = int(np.count_nonzero(np.isnan(values)))
        return numeric_kind(name, values, missing, False, others) or Measurement(
            values, missing, marker
        )
    return text_kind(name, encoded) or encoded


def add(table: Table, name: str, column: Column) -> None:
    if isinstance(column, Measurement):
        table.measurements[name] = column
    elif isinstance(column, Categorical):
        table.categorical[name] = column
    else:
        table.other[name] = column


def arrow_table(data: Any) -> Any:
    """A pandas, polars or pyarrow table (or anything that gives an Arrow stream) as a pyarrow
    Table, without copying what Arrow can take as it is."""
    if isinstance(data, pa.Table):
        return data
    if isinstance(data, pa.RecordBatch):
        return pa.Table.from_batches([data])
    pandas = sys.modules.get("pandas")
    if pandas is not None and isinstance(data, pandas.DataFrame):
        return from_pandas(data)
    if hasattr(data, "__arrow_c_stream__"):  # polars, DuckDB, nanoarrow …
        return pa.table(data)
    if hasattr(data, "to_arrow"):
        return data.to_arrow()
    raise TypeError(f"not a table: {type(data).__name__} (give a pandas, polars or pyarrow one)")


def from_pandas(frame: Any) -> Any:
    """A pandas frame as Arrow columns: NaN becomes missing, and a column of mixed objects
    that Arrow has no type for becomes its values' text."""
    arrays, names = [], []
    for position in range(frame.shape[1]):
        series = frame.iloc[:, position]
        try:
            array = pa.array(series, from_pandas=True)
        except (pa.ArrowInvalid, pa.ArrowTypeError, pa.ArrowNotImplementedError):
            missing = series.isna().to_numpy()
            text = [None if gone else str(value) for value, gone in zip(series, missing)]
            array = pa.array(text, pa.string())
        arrays.append(array)
        names.append(str(frame.columns[position]))
    return pa.Table.from_arrays(arrays, names=names)


def encode(data: Any, categorical: Sequence[str] = (), name: str = "data") -> Table:
    """A pandas, polars or pyarrow table typed and encoded; the columns named in categorical
    are taken as categories whatever they hold."""
    from .reading import column_names

    arrow = arrow_table(data)
    table = Table(name, arrow.num_rows, arrow.num_columns)
    names = column_names([str(n) for n in arrow.column_names])
    for title, column in zip(names, arrow.columns):
        add(table, title, encode_column(title, column, title in categorical, names))
    return table
