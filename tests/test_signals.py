"""A signal that arrives during a long call ends it with its handler's exception, and the runs
of work between which the kernels look for signals change no bit of any result."""

import signal
import subprocess
import sys
import textwrap
import time

import numpy as np
import pytest

import vantorix_core as vc

from conftest import assert_same_outcome, outcome

CHILD = """
    import signal, sys, time
    import numpy as np
    import vantorix_core as vc

    class Stop(Exception):
        pass

    def stop(signum, frame):
        raise Stop("stopped")

    kernel, handler = sys.argv[1:]
    if handler == "own":
        signal.signal(signal.SIGINT, stop)
    ids = np.arange(200_000, dtype=np.int32)
    ones = np.broadcast_to(np.int32(1), (2**33,))
    calls = {
        # Two identifier-like columns: every row sweeps every column, 4e10 cells.
        "cramers_v sparse": lambda: vc.calculate_cramers_v(ids, ids[::-1], 2**31 - 1, 2**31 - 1),
        "cramers_v dense": lambda: vc.calculate_cramers_v(ones, ones, 2, 2),
        "summary_stats": lambda: vc.calculate_summary_stats(np.broadcast_to(1.0, (2**33, 2))),
    }
    print("calling", flush=True)
    try:
        calls[kernel]()
        print("returned")
    except BaseException as e:
        print(f"{type(e).__name__}: {e}")
        print(time.time())
    print(vc.calculate_cramers_v([0, 1, 0, 1], [0, 1, 0, 1], 2, 2))
"""


@pytest.mark.alone
@pytest.mark.skipif(sys.platform == "win32", reason="Windows has no SIGINT for another process")
@pytest.mark.parametrize(
    "kernel, handler, raised",
    [
        ("cramers_v sparse", "default", "KeyboardInterrupt: "),
        ("cramers_v sparse", "own", "Stop: stopped"),
        ("cramers_v dense", "default", "KeyboardInterrupt: "),
        ("summary_stats", "default", "KeyboardInterrupt: "),
    ],
)
def test_a_signal_ends_a_long_call_with_its_handlers_exception(kernel, handler, raised):
    child = subprocess.Popen(
        [sys.executable, "-c", textwrap.dedent(CHILD), kernel, handler],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    try:
        assert child.stdout.readline() == "calling\n"
        time.sleep(0.3)
        sent = time.time()
        child.send_signal(signal.SIGINT)
        # All the rest by communicate(), which never sees what a readline() has buffered.
        out, errors = child.communicate(timeout=60)
    finally:
        child.kill()
    lines = out.splitlines()
    assert lines[::2] == [raised, "1.0"], errors
    assert float(lines[1]) - sent < 1.0  # when the child caught it


def strided(a):
    """`a` with every other element of a buffer twice its size: never read in place."""
    wide = np.zeros(2 * a.size, a.dtype)
    wide[::2] = a
    return wide[::2]


def codes(rng, n, k):
    return rng.integers(-1, k + 1, size=n, dtype=np.int32)


N = 2_200_003  # more elements than a kernel works between two looks for signals


@pytest.mark.parametrize(
    "function, make",
    [
        (vc.calculate_cramers_v, lambda rng: (codes(rng, N, 7), codes(rng, N, 5), 7, 5)),
        (
            vc.calculate_cramers_v,
            lambda rng: (codes(rng, N, 3000), codes(rng, N, 3000), 3000, 3000),
        ),
        (vc.detect_categorical_outliers, lambda rng: (codes(rng, N, 900), 900, 1e-3)),
        (vc.detect_continuous_outliers, lambda rng: (rng.standard_cauchy(N), 3.0)),
    ],
)
def test_long_vectors_give_the_same_bits_read_in_place_or_converted(rng, function, make):
    # In place, a vector is worked in runs of some millions of elements; converted, in blocks.
    args = make(rng)
    converted = [strided(a) if isinstance(a, np.ndarray) else a for a in args]
    assert_same_outcome(outcome(function, *args), outcome(function, *converted))


def test_a_table_swept_in_bands_gives_the_sum_of_the_cells_that_occur(rng):
    # 1_100_001 x 2 cells, no more than pairs: the whole table, in bands of rows. One more row
    # makes more cells than pairs: only the rows and columns that occur, in one sum.
    x, y = codes(rng, N, 1_100_000), codes(rng, N, 2)
    dense = vc.calculate_cramers_v(x, y, 1_100_001, 2)
    assert_same_outcome(("value", dense), ("value", vc.calculate_cramers_v(x, y, 1_100_002, 2)))


def test_many_categories_decided_in_runs(rng):
    k = 2_000_000
    data = codes(rng, N, k)
    data[: N // 2] = data[N // 2 : 2 * (N // 2)]  # codes that occur 1, 2, 3, 4 times
    valid = (data >= 0) & (data < k)
    counts = np.bincount(data[valid], minlength=k)
    expected = np.ones(N, np.int32)
    threshold = 2.5 / N  # codes that occur once or twice are rare
    expected[valid] = float(N) * threshold > counts[data[valid]].astype(np.float64)
    assert 0 < expected.sum() < N
    assert_same_outcome(
        outcome(vc.detect_categorical_outliers, data, k, threshold), ("value", expected)
    )


@pytest.mark.parametrize("shape", [(N, 1), (1_000_003, 5), (1100, 5000)])
def test_long_matrices_give_the_same_bits_in_either_order(rng, shape):
    # Column-major matrices are swept in tiles of some millions of elements, row-major ones in
    # bands of rows.
    a = rng.standard_cauchy(shape)
    a[rng.integers(0, shape[0], 9), rng.integers(0, shape[1], 9)] = [np.nan, 0.0, -0.0] * 3
    assert_same_outcome(
        outcome(vc.calculate_summary_stats, np.asfortranarray(a)),
        outcome(vc.calculate_summary_stats, np.ascontiguousarray(a)),
    )
