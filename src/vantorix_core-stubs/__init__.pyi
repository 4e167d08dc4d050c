# Type information for the extension module vantorix_core, shipped as the stub-only package
# vantorix_core-stubs. The module takes positional arguments only (hence the "/"); the names
# below are for readers and editors, the module itself has none. Annotations are the ones the
# module's own signature lines give, with the dict result spelled out.
from typing import Protocol, SupportsFloat, SupportsIndex, SupportsInt

import numpy as np
from numpy.typing import ArrayLike, NDArray

# Any array argument may also be an object that exports the Arrow PyCapsule interface (a pyarrow
# Array, ChunkedArray, RecordBatch or Table, a polars Series or DataFrame, a pandas Series or
# DataFrame, a DuckDB relation, a nanoarrow array), read in place.
class _ArrowStream(Protocol):
    def __arrow_c_stream__(self, requested_schema: object | None = None, /) -> object: ...

class _ArrowArray(Protocol):
    def __arrow_c_array__(
        self, requested_schema: object | None = None, /
    ) -> tuple[object, object]: ...

_Array = ArrayLike | _ArrowStream | _ArrowArray

def calculate_cramers_v(
    x: _Array,
    y: _Array,
    n_categories_x: SupportsInt | SupportsIndex,
    n_categories_y: SupportsInt | SupportsIndex,
    /,
) -> float:
    """Cramér's V of two int32 code vectors of equal length with the declared category counts."""

def calculate_summary_stats(matrix: _Array, /) -> dict[str, NDArray[np.float64]]:
    """Population "mean", "std", "min" and "max" of every column of a 2-D float64 matrix."""

def detect_continuous_outliers(
    data: _Array, threshold: SupportsFloat | SupportsIndex, /
) -> NDArray[np.int32]:
    """int32 flags, 1 where the absolute z-score of a float64 vector's element exceeds threshold."""

def detect_categorical_outliers(
    data: _Array,
    n_categories: SupportsInt | SupportsIndex,
    threshold: SupportsFloat | SupportsIndex,
    /,
) -> NDArray[np.int32]:
    """int32 flags, 1 for a code outside 0 … n_categories − 1 or seen < n × threshold times."""
