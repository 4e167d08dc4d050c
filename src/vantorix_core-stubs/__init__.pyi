# Type information for the extension module vantorix_core, shipped as the stub-only package
# vantorix_core-stubs. The module takes positional arguments only (hence the "/"); the names
# below are for readers and editors, the module itself has none. Annotations are the ones the
# module's own signature lines give, with the dict result spelled out.
from typing import SupportsFloat, SupportsIndex, SupportsInt

import numpy as np
from numpy.typing import ArrayLike, NDArray

def calculate_cramers_v(
    x: ArrayLike,
    y: ArrayLike,
    n_categories_x: SupportsInt | SupportsIndex,
    n_categories_y: SupportsInt | SupportsIndex,
    /,
) -> float:
    """Cramér's V of two int32 code vectors of equal length with the declared category counts."""

def calculate_summary_stats(matrix: ArrayLike, /) -> dict[str, NDArray[np.float64]]:
    """Population "mean", "std", "min" and "max" of every column of a 2-D float64 matrix."""

def detect_continuous_outliers(
    data: ArrayLike, threshold: SupportsFloat | SupportsIndex, /
) -> NDArray[np.int32]:
    """int32 flags, 1 where the absolute z-score of a float64 vector's element exceeds threshold."""

def detect_categorical_outliers(
    data: ArrayLike,
    n_categories: SupportsInt | SupportsIndex,
    threshold: SupportsFloat | SupportsIndex,
    /,
) -> NDArray[np.int32]:
    """int32 flags, 1 for a code outside 0 … n_categories − 1 or seen < n × threshold times."""
