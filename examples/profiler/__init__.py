"""A column profiler built on vantorix_core: reading, typing and encoding, the profile, its
baselines, the report, the plot and the command line, each in a module of its own.

    >>> from profiler import profile_table
    >>> print(profile_table(frame))  # a pandas, polars or pyarrow table  # doctest: +SKIP
"""

from typing import Any


def __getattr__(name: str) -> Any:
    # Imported on first use: the package's rules and formats need no pyarrow.
    if name == "profile_table":
        from .table import profile_table

        return profile_table
    raise AttributeError(f"module 'profiler' has no attribute {name!r}")
