"""Many calls, succeeding and failing along every error path, leave the process's memory
flat, the reference counts of the arguments unchanged and the inputs unwritten.

Python objects a call leaks show in tracemalloc (NumPy traces its array data there too); a
leaked working table shows in the process's mapped memory (committed memory on Windows), since
every table here is megabytes.
Under AddressSanitizer freed blocks wait in quarantine, so mapped memory says nothing, and
LeakSanitizer checks the module's own heap instead.
"""

import ctypes
import gc
import os
import signal
import sys
import tracemalloc

import numpy as np
import pandas as pd
import pytest

import vantorix_core as vc

ROUNDS = 64
N31 = 2**31
UNDER_ASAN = sys.platform != "win32" and hasattr(ctypes.CDLL(None), "__asan_init")


def frozen(a, dtype):
    a = np.array(a, dtype=dtype)
    a.flags.writeable = False
    return a


codes = frozen(np.arange(3000) % 1000, np.int32)
spread = frozen(np.arange(3000) * 331 % 10**6, np.int32)  # on every page of a 4 MB table
cast_codes = frozen(np.arange(3000) % 7, ">i8")[::-1]
narrow_codes = frozen(np.arange(3000) % 7, np.int8)
wide_codes = frozen(np.arange(3000) % 1000 + (np.arange(3000) % 3 << 32), np.int64)[::-1]
matrix = frozen(np.arange(20000.0).reshape(2000, 10), np.float64)
values = frozen(np.sin(np.arange(5000.0)), np.float64)
# A signalling NaN, which NumPy's cast is then asked to meet (see test_dtypes).
signalling = np.sin(np.arange(5000.0, dtype=np.float32))
signalling.view(np.uint32)[7] = 0x7F800001
signalling.flags.writeable = False
# Results (and a cast copy) beyond any address space, whatever the overcommit policy.
huge = {d: np.broadcast_to(np.zeros(1, d), (2**56,)) for d in ("i1", "f4", ">f4", "f8")}


def cast_raises(a, **errstate):
    """Whether NumPy's cast of `a` to float64 raises under `errstate`: NumPy 1.24 and later
    report a signalling NaN, 1.23 does not."""
    with np.errstate(**errstate):
        try:
            np.asarray(a, np.float64)
        except FloatingPointError:
            return True
    return False


def under(function, **errstate):
    def call(*args):
        with np.errstate(**errstate):
            return function(*args)

    return call


class Interrupted(Exception):
    pass


def interrupted(function):
    """`function` under a timer that fires during the call, whose handler raises Interrupted:
    the kernel stops at its next look for signals."""

    def stop(signum, frame):
        raise Interrupted

    def call(*args):
        previous = signal.signal(signal.SIGALRM, stop)
        signal.setitimer(signal.ITIMER_REAL, 0.001)
        try:
            return function(*args)
        finally:
            signal.setitimer(signal.ITIMER_REAL, 0)
            signal.signal(signal.SIGALRM, previous)

    return call


# Calls of seconds, stopped after a millisecond (no timer signals on Windows).
ids = frozen(np.arange(30_000), np.int32)
INTERRUPTED_V = {}
INTERRUPTED_STATS = {}
if hasattr(signal, "setitimer"):
    INTERRUPTED_V["V interrupted"] = (
        interrupted(vc.calculate_cramers_v),
        (ids, ids[::-1], N31 - 1, N31 - 1),
        {},
        Interrupted,
    )
    INTERRUPTED_STATS["stats interrupted"] = (
        interrupted(vc.calculate_summary_stats),
        (np.broadcast_to(1.0, (N31, 4)),),
        {},
        Interrupted,
    )


class Index:
    def __index__(self):
        return 3


# name: (function, positional arguments, keyword arguments, exception or None). Each error
# path is a different place where a call gives up: argument matching, the conversion of each
# kind of argument, each check of a kernel, each working table and each result.
CASES = {
    "V": (vc.calculate_cramers_v, (codes, codes, 1000, 1000), {}, None),  # 4 MB table
    "V cast": (vc.calculate_cramers_v, (cast_codes, list(range(3000)), Index(), 7), {}, None),
    "V in place": (vc.calculate_cramers_v, (narrow_codes, wide_codes, 7, 1000), {}, None),
    "V pandas": (vc.calculate_cramers_v, (pd.Series(narrow_codes), codes, 7, 1000), {}, None),
    "V arity": (vc.calculate_cramers_v, (codes, codes, 2), {}, TypeError),
    "V keyword": (vc.calculate_cramers_v, (codes, codes, 2), {"arg3": 2}, TypeError),
    "V x refused": (vc.calculate_cramers_v, ("abc", codes, 2, 2), {}, TypeError),
    # A copy made for the first argument is dropped when the second is refused.
    "V y refused": (vc.calculate_cramers_v, (cast_codes, [[1], [1, 2]], 2, 2), {}, TypeError),
    "V count float": (vc.calculate_cramers_v, (codes, codes, 2.0, 2), {}, TypeError),
    "V count range": (vc.calculate_cramers_v, (codes, codes, 2, N31), {}, TypeError),
    "V x dims": (vc.calculate_cramers_v, (matrix, codes, 2, 2), {}, RuntimeError),
    "V y dims": (vc.calculate_cramers_v, (codes, 5, 2, 2), {}, RuntimeError),
    "V lengths": (vc.calculate_cramers_v, (codes, codes[1:], 2, 2), {}, RuntimeError),
    "V table negative": (vc.calculate_cramers_v, (codes, codes, -1, 2), {}, ValueError),
    "V rows negative": (vc.calculate_cramers_v, (codes, codes, -2000, -2000), {}, ValueError),
    "V columns negative": (vc.calculate_cramers_v, (codes, codes, 0, -1), {}, ValueError),
    # Two negative counts: a table of their product's cells is asked for, and given back.
    "V product positive": (vc.calculate_cramers_v, (codes, codes, -N31, -N31), {}, MemoryError),
    "V sparse table": (vc.calculate_cramers_v, (codes, codes, N31 - 1, N31 - 1), {}, None),
    **INTERRUPTED_V,
    "stats": (vc.calculate_summary_stats, (matrix,), {}, None),
    "stats cast": (vc.calculate_summary_stats, (matrix.astype(">f4").T,), {}, None),
    "stats in place": (vc.calculate_summary_stats, (matrix.astype("f4").T,), {}, None),
    "stats signalling": (
        under(vc.calculate_summary_stats, invalid="ignore"),
        (signalling.reshape(-1, 10),),
        {},
        None,
    ),
    "stats arity": (vc.calculate_summary_stats, (matrix, matrix), {}, TypeError),
    "stats refused": (vc.calculate_summary_stats, ({"a": 1},), {}, TypeError),
    "stats dims": (vc.calculate_summary_stats, (values,), {}, RuntimeError),
    "stats results": (vc.calculate_summary_stats, (huge["f8"][None, :],), {}, MemoryError),
    "z": (vc.detect_continuous_outliers, (values, 1.5), {}, None),
    "z cast": (vc.detect_continuous_outliers, (values.tolist(), Index()), {}, None),
    "z float16": (vc.detect_continuous_outliers, (values.astype("f2"), Index()), {}, None),
    "z signalling": (
        under(vc.detect_continuous_outliers, invalid="raise"),
        (signalling, 1.0),
        {},
        TypeError if cast_raises(signalling, invalid="raise") else None,
    ),
    "z arity": (vc.detect_continuous_outliers, (values,), {}, TypeError),
    "z data refused": (vc.detect_continuous_outliers, (object(), 1.0), {}, TypeError),
    "z threshold refused": (vc.detect_continuous_outliers, (codes, "1"), {}, TypeError),
    "z dims": (vc.detect_continuous_outliers, (matrix, 1.0), {}, RuntimeError),
    "z result": (vc.detect_continuous_outliers, (huge["f8"], 1.0), {}, MemoryError),
    # A dtype read in place needs no copy, so only the result can fail; another is cast first.
    "z in place": (vc.detect_continuous_outliers, (huge["f4"], 1.0), {}, MemoryError),
    "z cast copy": (vc.detect_continuous_outliers, (huge[">f4"], 1.0), {}, TypeError),
    "codes": (vc.detect_categorical_outliers, (spread, 10**6, 0.1), {}, None),  # 4 MB table
    "codes keyword": (vc.detect_categorical_outliers, (codes, 3), {"threshold": 0.1}, TypeError),
    "codes data refused": (vc.detect_categorical_outliers, ([None], 3, 0.1), {}, TypeError),
    "codes count refused": (vc.detect_categorical_outliers, ([1, 2], None, 0.1), {}, TypeError),
    "codes threshold refused": (vc.detect_categorical_outliers, (codes, 3, 10**400), {}, TypeError),
    "codes dims": (vc.detect_categorical_outliers, (matrix, 3, 0.1), {}, RuntimeError),
    # The result is made before the count is looked at, and dropped.
    "codes negative count": (vc.detect_categorical_outliers, (codes, -1, 0.1), {}, ValueError),
    "codes result": (vc.detect_categorical_outliers, (huge["i1"], 3, 0.1), {}, MemoryError),
    "codes scattered": (vc.detect_categorical_outliers, (spread, N31 - 1, 0.1), {}, None),
    **INTERRUPTED_STATS,
}


if sys.platform == "win32":
    from ctypes import wintypes

    class MemoryBasicInformation(ctypes.Structure):
        _fields_ = [
            ("BaseAddress", ctypes.c_void_p),
            ("AllocationBase", ctypes.c_void_p),
            ("AllocationProtect", wintypes.DWORD),
            ("PartitionId", wintypes.WORD),
            ("RegionSize", ctypes.c_size_t),
            ("State", wintypes.DWORD),
            ("Protect", wintypes.DWORD),
            ("Type", wintypes.DWORD),
        ]

    def mapped_bytes():
        """Committed memory, summed over the regions of the address space: a leaked table
        counts whether it was written or not."""
        query = ctypes.WinDLL("kernel32").VirtualQuery
        query.argtypes = [ctypes.c_void_p, ctypes.POINTER(MemoryBasicInformation), ctypes.c_size_t]
        query.restype = ctypes.c_size_t
        region, address, total = MemoryBasicInformation(), 0, 0
        while query(address, ctypes.byref(region), ctypes.sizeof(region)):
            if region.State == 0x1000:  # MEM_COMMIT
                total += region.RegionSize
            address = (region.BaseAddress or 0) + region.RegionSize
        return np.array([total], dtype=np.int64)

else:

    def mapped_bytes():
        """Virtual and resident size: a leaked table that was never written shows only in the
        first."""
        with open("/proc/self/statm") as f:
            return np.array(f.read().split()[:2], dtype=np.int64) * os.sysconf("SC_PAGE_SIZE")


def call(function, args, kwargs, error):
    try:
        function(*args, **kwargs)
    except Exception as e:
        if not isinstance(e, error):
            raise
    else:
        assert error is None


def shared(a):
    """Objects whose reference counts the rest of the interpreter moves too."""
    return a is None or isinstance(a, str) or (isinstance(a, int) and -5 <= a <= 256)


@pytest.mark.parametrize("name", CASES)
def test_calls_leave_memory_refcounts_and_inputs_as_they_were(name):
    function, args, kwargs, error = CASES[name]
    watched = [a for a in [*args, *kwargs.values()] if not shared(a)]
    watched += [np.dtype(np.int32), np.dtype(np.float64)]
    small = [a for a in watched if isinstance(a, np.ndarray) and a.nbytes < 1 << 20]
    call(function, args, kwargs, error)  # first-call caches
    # Collected garbage that held a dtype would move its count between the two readings.
    gc.collect()
    refcounts = [sys.getrefcount(a) for a in watched]
    contents = [a.tobytes() for a in small]
    # CPython keeps up to 2,000 freed tuples of each small size for reuse, and tracemalloc
    # counts them as allocated: NumPy's array repr in a TypeError message leaves one more there
    # each call. Filled here (twice over, should a version keep more), that free list no
    # longer grows. A leaked small tuple comes from it unseen, as it would from whatever it
    # held before; one that holds an argument still shows in the reference counts below.
    filled = [tuple(range(size)) for size in range(1, 21) for _ in range(4000)]
    del filled
    # Rounds of calls until the traced memory stops growing: a cache fills once and stays; a
    # leak grows with every round. The smallest object is 16 bytes, so one leaked per call is
    # 1 KB a round of 64 calls.
    tracemalloc.start()
    try:
        traced = None
        for _ in range(80):
            for _ in range(ROUNDS):
                call(function, args, kwargs, error)
            last, traced = traced, tracemalloc.get_traced_memory()[0]
            if last is None:
                mapped = mapped_bytes()
            elif traced - last < 1024:
                break
    finally:
        tracemalloc.stop()
    assert traced - last < 1024, f"{traced - last} bytes more after {ROUNDS} calls"
    if not UNDER_ASAN:  # a table per call would be GBs
        assert all(mapped_bytes() - mapped < 64 << 20)
    gc.collect()
    assert [sys.getrefcount(a) for a in watched] == refcounts
    assert [a.tobytes() for a in small] == contents


@pytest.mark.parametrize("name", ["V", "stats", "z", "codes"])
def test_results_are_owned_by_the_caller_alone(name):
    function, args, _, _ = CASES[name]
    result = function(*args)
    # One reference in `result`, one in getrefcount's argument; none kept by the module.
    if isinstance(result, dict):
        assert sys.getrefcount(result) == 2
        assert all(sys.getrefcount(result[key]) == 2 for key in result)
    else:
        assert sys.getrefcount(result) == 2
