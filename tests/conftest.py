import os
import sys
import zlib
from pathlib import Path

import numpy as np
import pytest
from hypothesis import HealthCheck, settings

# CI runs a fixed, bounded set of generated inputs; `--hypothesis-profile=long` (or the
# HYPOTHESIS_PROFILE variable) searches far more widely and remembers what it found.
settings.register_profile(
    "ci",
    max_examples=300,
    derandomize=True,
    database=None,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow],
)
settings.register_profile("long", max_examples=20_000, deadline=None)
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "ci"))


# What a build of the module can change is the bits it gives (the golden digests, in every dtype)
# and how its surface behaves: conversions, errors, layouts, lanes, leaks, threads, limits and
# the loops dispatched. The modules named here (by the start of their file names) test none of
# that: the profiler, the examples of the README and docs/, and the references and binding model
# searched by hypothesis and the fuzzer, whose outcome is the same whichever build runs them. CI
# runs them once per platform, and every other configuration with --build-checks, which leaves
# them out (and the references' own digests, marked golden_reference).
BUILD_INDEPENDENT = ("test_profiler_", "test_docs.py", "test_properties.py", "test_fuzz.py")


def pytest_addoption(parser):
    parser.addoption(
        "--build-checks",
        action="store_true",
        help="only the tests whose outcome depends on how the module was built",
    )
    parser.addoption(
        "--fuzz-count",
        type=int,
        default=int(os.environ.get("VANTORIX_FUZZ_COUNT", "10000")),
        help="number of fuzzed calls (env VANTORIX_FUZZ_COUNT)",
    )
    parser.addoption(
        "--fuzz-seed",
        type=int,
        default=int(os.environ.get("VANTORIX_FUZZ_SEED", "0")),
        help="seed of the fuzzed calls (env VANTORIX_FUZZ_SEED)",
    )


def pytest_ignore_collect(collection_path, config):
    # Not even imported: under an emulator, importing hypothesis and the profiler takes a while.
    if config.getoption("build_checks") and collection_path.name.startswith(BUILD_INDEPENDENT):
        return True
    return None


def pytest_collection_modifyitems(config, items):
    if config.getoption("build_checks"):
        left_out = [item for item in items if item.get_closest_marker("golden_reference")]
        if left_out:
            config.hook.pytest_deselected(items=left_out)
            items[:] = [item for item in items if not item.get_closest_marker("golden_reference")]


def assert_same(actual, expected):
    """Equal dtype, shape and bytes: NaN sign and payload and the sign of zero included."""
    actual = np.asarray(actual)
    expected = np.asarray(expected)
    assert actual.dtype == expected.dtype
    assert actual.shape == expected.shape
    if actual.dtype.kind == "f":
        bits = f"u{actual.dtype.itemsize}"
        np.testing.assert_array_equal(actual.view(bits), expected.view(bits))
    else:
        np.testing.assert_array_equal(actual, expected)


def unaligned(a):
    """A copy of `a` whose data pointer is not aligned to its item size."""
    buf = np.empty(a.nbytes + 1, dtype=np.uint8)
    out = np.frombuffer(buf.data, dtype=a.dtype, count=a.size, offset=1).reshape(a.shape)
    out[...] = a
    return out


def layouts(a):
    """Arrays with the logical contents of `a` in different memory layouts, none of them copies
    made by the caller's conversion: every one already has `a`'s dtype."""
    a = np.ascontiguousarray(a)
    out = {"C": a.copy()}
    readonly = a.copy()
    readonly.flags.writeable = False
    out["readonly"] = readonly
    if a.ndim == 1:
        wide = np.zeros(2 * a.size + 1, dtype=a.dtype)
        wide[1::2] = a
        out["step 2"] = wide[1::2]
        out["negative"] = a[::-1].copy()[::-1]
    else:
        out["F"] = np.asfortranarray(a)
        out["transposed"] = np.ascontiguousarray(a.T).T
        wide = np.zeros((2 * a.shape[0] + 1, 3 * a.shape[1] + 2), dtype=a.dtype)
        wide[1::2, 2::3] = a
        out["sliced"] = wide[1::2, 2::3]
        out["negative"] = a[::-1, ::-1].copy()[::-1, ::-1]
        out["negative F"] = np.asfortranarray(a[::-1, ::-1])[::-1, ::-1]
        with np.errstate(invalid="ignore", over="ignore"):
            out["column of 3-D"] = np.stack([a, a + 1, a + 2], axis=-1)[..., 0]
    out["unaligned"] = unaligned(a)
    return out


@pytest.fixture
def rng(request):
    """A generator seeded from the test's name, so every test is reproducible on its own."""
    return np.random.default_rng(zlib.crc32(request.node.nodeid.encode()))


def outcome(function, *args):
    """What a call gives: ("value", result) or ("raises", exception type, message)."""
    try:
        return ("value", function(*args))
    except Exception as e:
        return ("raises", type(e), str(e))


def tables_may_run_out(size):
    """Whether a count table of `size` categories is too large to be sure of getting."""
    return size > 2**28


def cells_may_run_out(kx, ky):
    """Whether calculate_cramers_v's declared counts ask for a table too large to be sure of
    getting: only two negative counts still make a table of their product's cells."""
    return kx < 0 and ky < 0 and tables_may_run_out(kx * ky)


def assert_same_outcome(actual, expected, may_run_out=False):
    """The same bits, types and shapes, or the same exception with the same message. With
    `may_run_out`, a MemoryError may stand for a result or a ValueError: a working table that
    large may not be had, and the tables are made before anything is computed."""
    if (
        may_run_out
        and actual[0] == "raises"
        and actual[1] is MemoryError
        and (expected[0] == "value" or expected[1] is ValueError)
    ):
        return
    assert actual[0] == expected[0], (actual, expected)
    if actual[0] == "raises":
        assert actual[1:] == expected[1:]
        return
    a, e = actual[1], expected[1]
    if isinstance(e, dict):
        assert type(a) is dict and list(a) == list(e)
        for key in e:
            assert_same(a[key], e[key])
    elif isinstance(e, float):
        assert type(a) is float
        assert_same(np.float64(a), np.float64(e))
    else:
        assert type(a) is np.ndarray
        assert a.flags.c_contiguous and a.flags.writeable and a.flags.owndata
        assert_same(a, e)


# The demo profiler's package, for its tests (tests/test_profiler_*.py).
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "examples"))
