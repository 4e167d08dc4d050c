"""The four kernels against their references on generated inputs.

Inputs come in every dtype the binding casts from, in every memory layout, with the edge values
of doubles and of codes, and with counts and thresholds on and past every boundary. The module
must do what the reference does to the same converted input: the same bits, or the same
exception with the same message. Inputs are read-only and must come back unchanged.
"""

import numpy as np
from hypothesis import given
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import vantorix_core as vc

import reference
from conftest import assert_same_outcome, cells_may_run_out, layouts, outcome

nan, inf = float("nan"), float("inf")
INT32_MIN, INT32_MAX = -(2**31), 2**31 - 1

# What a column may hold, native and byte-swapped; the binding casts all of it.
INTEGER_DTYPES = ["bool", "i1", "i2", "i4", "i8", "u1", "u2", "u4", "u8", ">i4", ">i8", ">u2"]
FLOAT_DTYPES = ["f2", "f4", "f8", ">f4", ">f8"]
EDGE_FLOATS = [
    0.0,
    -0.0,
    5e-324,
    -5e-324,
    2.2250738585072014e-308,
    1.7976931348623157e308,
    -1.7976931348623157e308,
    1e160,
    -1e160,
    nan,
    inf,
    -inf,
]

# Mostly counts that tables are made of; sometimes negative ones and the int32 extremes.
COUNTS = (
    st.integers(-2, 14)
    | st.integers(2, 10)
    | st.sampled_from([0, 1, INT32_MIN, -46341, 46341, 10**5, INT32_MAX])
)
THRESHOLDS = (
    st.floats()
    | st.floats(-0.5, 3.0)
    | st.sampled_from([0.0, -0.0, 5e-324, 1.7976931348623157e308, nan, inf, -inf])
    | st.integers(-3, 3)
)
TARGET = {
    "calculate_cramers_v": np.int32,
    "calculate_summary_stats": np.float64,
    "detect_continuous_outliers": np.float64,
    "detect_categorical_outliers": np.int32,
}


def elements(dtype, low, high):
    """Values of `dtype`: for some arrays only values in low..high, where counting and
    z-scores are ordinary; for others, mixed with the dtype's extremes and special values."""
    dtype = np.dtype(dtype)
    if dtype.kind == "b":
        return st.just(hnp.from_dtype(dtype))
    if dtype.kind == "f":
        with np.errstate(all="ignore"):
            edges = [v for v in EDGE_FLOATS if v != v or float(dtype.type(v)) == v]
        near = st.integers(low, high).map(float) | st.floats(low, high, width=8 * dtype.itemsize)
        extreme = st.sampled_from(edges) | hnp.from_dtype(dtype)
    else:
        info = np.iinfo(dtype)
        near = st.integers(max(low, info.min), min(high, info.max))
        extreme = hnp.from_dtype(dtype)
    return st.sampled_from([near, near | near | extreme])


def arrays(dtypes, shapes, low, high):
    return st.sampled_from(dtypes).flatmap(
        lambda dtype: elements(dtype, low, high).flatmap(
            lambda values: hnp.arrays(dtype, shapes, elements=values)
        )
    )


def codes(shapes):
    return arrays(INTEGER_DTYPES + FLOAT_DTYPES, shapes, -1, 10)


def values(shapes):
    return arrays(FLOAT_DTYPES + INTEGER_DTYPES, shapes, -20, 20)


def shapes(ndim, side):
    """Mostly `ndim` dimensions; sometimes 0 to 3, which the dimension checks refuse."""
    return st.sampled_from([ndim] * 8 + [0, 1, 2, 3]).flatmap(
        lambda d: hnp.array_shapes(
            min_dims=d, max_dims=d, min_side=0, max_side=side if d == ndim else 3
        )
    )


def variants(a):
    """`a` in every layout, zero strides too, all read-only."""
    if a.ndim in (1, 2):
        out = list(layouts(a).values())
        if a.size:
            out.append(np.broadcast_to(a[:1], a.shape))
            if a.ndim == 2:
                out.append(np.broadcast_to(a[:, :1], a.shape))
    else:
        out = [a.copy(), np.asfortranarray(a)]
    for v in out:
        v.flags.writeable = False
    return out


def agree(name, arrays, scalars=(), large_tables=False):
    """Module and reference agree on `arrays` in every layout (variants of several arrays are
    paired in different orders). Layouts do not depend on the table sizes, and a huge table
    costs a second under ASan: with large tables one layout suffices."""
    target = TARGET[name]
    kinds = [variants(a)[: 1 if large_tables else None] for a in arrays]
    for i in range(max(map(len, kinds))):
        args = [vs[(i * (j + 1)) % len(vs)] for j, vs in enumerate(kinds)]
        before = [a.tobytes() for a in args]
        with np.errstate(all="ignore"):  # NaN and overflowing casts to int32 warn
            expected = outcome(
                getattr(reference, name), *[np.asarray(a, target) for a in args], *scalars
            )
            actual = outcome(getattr(vc, name), *args, *scalars)
        assert_same_outcome(actual, expected, large_tables)
        assert [a.tobytes() for a in args] == before


def same_length_or_not(n):
    return st.integers(0, 9).flatmap(lambda r: st.just((n,)) if r else shapes(1, 40))


@given(st.data())
def test_cramers_v(data):
    n = data.draw(st.integers(0, 30))
    x = data.draw(codes(same_length_or_not(n)))
    y = data.draw(codes(same_length_or_not(n)))
    kx, ky = (data.draw(st.integers(2, 10) | COUNTS) for _ in range(2))
    agree("calculate_cramers_v", [x, y], [kx, ky], cells_may_run_out(kx, ky))


@given(values(shapes(2, 12)))
def test_summary_stats(matrix):
    agree("calculate_summary_stats", [matrix])


def on_a_z_score(x):
    """A threshold equal to some element's |z|, or one ulp below: a flag flips if the
    kernel's mean or standard deviation is off by a single bit."""
    with np.errstate(all="ignore"):
        v = np.asarray(x, np.float64)
        if v.ndim != 1 or v.size == 0:
            return THRESHOLDS
        z = reference.abs_z_scores(v)
    z = z[np.isfinite(z)]
    if not z.size:
        return THRESHOLDS
    return st.sampled_from(z.tolist() + np.nextafter(z, -inf).tolist())


@given(st.data())
def test_continuous_outliers(data):
    x = data.draw(values(shapes(1, 40)))
    threshold = data.draw(on_a_z_score(x) | on_a_z_score(x) | THRESHOLDS)
    agree("detect_continuous_outliers", [x], [threshold])


@given(st.data())
def test_categorical_outliers(data):
    codes_ = data.draw(codes(shapes(1, 40)))
    k = data.draw(COUNTS)
    n = max(codes_.size, 1)
    # A limit n * threshold landing exactly on a count, or just above it.
    on_a_count = st.integers(0, n).flatmap(
        lambda c: st.sampled_from([c / n, np.nextafter(c / n, inf)])
    )
    threshold = data.draw(THRESHOLDS | on_a_count)
    agree("detect_categorical_outliers", [codes_], [k, threshold])
