import zlib

import numpy as np
import pytest


def assert_same(actual, expected):
    """Equal dtype, shape and bits; NaNs match any NaN (payloads are not part of the result)."""
    actual = np.asarray(actual)
    expected = np.asarray(expected)
    assert actual.dtype == expected.dtype
    assert actual.shape == expected.shape
    if actual.dtype.kind == "f":
        nan = np.isnan(actual)
        np.testing.assert_array_equal(nan, np.isnan(expected))
        a_bits = actual.view(np.uint64)[~nan]
        e_bits = expected.view(np.uint64)[~nan]
        np.testing.assert_array_equal(a_bits, e_bits)
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
        out["column of 3-D"] = np.stack([a, a + 1, a + 2], axis=-1)[..., 0]
    out["unaligned"] = unaligned(a)
    return out


@pytest.fixture
def rng(request):
    """A generator seeded from the test's name, so every test is reproducible on its own."""
    return np.random.default_rng(zlib.crc32(request.node.nodeid.encode()))
