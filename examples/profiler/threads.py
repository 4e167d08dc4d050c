"""The independent kernel calls of a profile, run on a pool of threads where the interpreter
lets threads run at once (a free-threaded build), one after the other where it does not."""

from __future__ import annotations

import os
import sys
from collections.abc import Callable, Sequence
from concurrent.futures import ThreadPoolExecutor
from typing import TypeVar

T = TypeVar("T")


def free_threaded() -> bool:
    """Whether this interpreter runs Python threads in parallel (no GIL)."""
    gil_enabled = getattr(sys, "_is_gil_enabled", None)
    return gil_enabled is not None and not gil_enabled()


def default_threads() -> int:
    """One thread per core on a free-threaded build; with the GIL more threads only wait."""
    return (os.cpu_count() or 1) if free_threaded() else 1


def run_all(calls: Sequence[Callable[[], T]], threads: int) -> list[T]:
    """Each call's result, in the order of the calls; the first exception raised is raised."""
    if threads <= 1 or len(calls) <= 1:
        return [call() for call in calls]
    with ThreadPoolExecutor(max_workers=min(threads, len(calls))) as pool:
        return list(pool.map(lambda call: call(), calls))
