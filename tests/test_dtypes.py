"""Arrays of the dtypes read in place (codes of every integer width and bool, float16, float32
and float64 data) give exactly what NumPy's cast to int32 or float64 gives, in every layout,
without a copy; a signalling NaN meets NumPy's cast as it always did."""

import tracemalloc
import warnings

import numpy as np
import pytest

import vantorix_core as vc

from conftest import assert_same_outcome, layouts, outcome

pd = pytest.importorskip("pandas")

CODE_DTYPES = ["i1", "i2", "i4", "i8", "u1", "u2", "u4", "u8", "?"]
DATA_DTYPES = ["f2", "f4", "f8"]
# Around the 4096-element blocks and 4096-double tiles that converted inputs pass through.
LENGTHS = [0, 1, 7, 4095, 4096, 4097, 9000]
SHAPES = [(0, 3), (1, 1), (5, 3), (9000, 1), (700, 7), (300, 17), (7, 600), (3, 1500)]
# Bit patterns worth a lane each: wrapping codes, and the floats whose conversion is easy to get
# wrong (quiet NaNs with a payload, infinities, zeros of both signs, subnormals, the largest).
WRAPPING = [-(2**63), -(2**32) - 1, -(2**31) - 1, -(2**31), -129, -1, 2**31 - 1, 2**31, 2**32 + 1]
SPECIAL = {
    "f2": [0x7E01, 0xFE00, 0x7C00, 0xFC00, 0x8000, 0x0001, 0x83FF, 0x7BFF],
    "f4": [0x7FC00001, 0xFFC12345, 0x7F800000, 0xFF800000, 0x80000000, 0x00000001, 0x7F7FFFFF],
}


def codes(rng, dtype, n):
    """Codes around 0 .. 9 and, one in five, values that wrap to other int32 codes."""
    dtype = np.dtype(dtype)
    if dtype.kind == "b":
        return rng.integers(0, 256, n).astype(np.uint8).view(bool)  # any nonzero byte is True
    values = rng.integers(-2, 10, n)
    wide = rng.random(n) < 0.2
    values[wide] = rng.choice(WRAPPING, wide.sum())
    # The low bytes of the two's complement: what the dtype's own wrap-around makes of them.
    return values.view(np.uint64).astype(f"u{dtype.itemsize}").view(dtype)


def floats(rng, dtype, shape):
    """Normal values with NaNs, infinities, zeros and subnormals scattered in, or none of them."""
    values = (rng.normal(size=shape) * 3).astype(dtype)
    if dtype in SPECIAL and values.size and rng.random() < 0.5:
        bits = values.reshape(-1).view(f"u{values.itemsize}")
        where = rng.random(bits.size) < 0.1
        bits[where] = rng.choice(SPECIAL[dtype], where.sum())
    return values


def code_calls(a, other):
    k = 10
    return [
        (vc.calculate_cramers_v, (a, other, k, 7)),
        (vc.calculate_cramers_v, (other, a, 7, k)),
        (vc.detect_categorical_outliers, (a, k, 0.1)),
    ]


@pytest.mark.parametrize("n", LENGTHS)
@pytest.mark.parametrize("dtype", CODE_DTYPES)
def test_codes_read_in_place_give_the_cast_bits(rng, dtype, n):
    a = codes(rng, dtype, n)
    other = codes(rng, "i8", n)  # another dtype beside it
    for name, v in layouts(a).items():
        for (function, args), (_, cast) in zip(code_calls(v, other), code_calls(v, other)):
            cast = tuple(np.asarray(x, np.int32) if isinstance(x, np.ndarray) else x for x in cast)
            assert_same_outcome(outcome(function, *args), outcome(function, *cast)), name


@pytest.mark.parametrize("dtype", DATA_DTYPES)
def test_data_read_in_place_give_the_cast_bits(rng, dtype):
    for shape in SHAPES:
        m = floats(rng, dtype, shape)
        for v in [*layouts(m).values(), np.broadcast_to(m[:1], m.shape)]:
            cast = v.astype(np.float64)
            expected = outcome(vc.calculate_summary_stats, cast)
            assert_same_outcome(outcome(vc.calculate_summary_stats, v), expected)
    for n in LENGTHS:
        x = floats(rng, dtype, n)
        for v in layouts(x).values():
            cast = v.astype(np.float64)
            for t in (0.5, 1.5, np.nan):
                expected = outcome(vc.detect_continuous_outliers, cast, t)
                assert_same_outcome(outcome(vc.detect_continuous_outliers, v, t), expected)


class Sub(np.ndarray):
    pass


@pytest.mark.parametrize(
    "wrap",
    [
        lambda a: a.view(Sub),
        lambda a: np.ma.masked_array(a, mask=np.ones(a.shape, bool)),
        pd.Series,
        pd.Index,
        lambda a: pd.Series(a, dtype="category"),  # an extension dtype: NumPy's conversion
        lambda a: pd.Series(a).convert_dtypes(),
    ],
    ids=["subclass", "masked", "Series", "Index", "categorical", "nullable"],
)
@pytest.mark.parametrize("dtype", ["i1", "i8", "f4"])
def test_subclasses_and_pandas_give_what_numpy_makes_of_them(rng, wrap, dtype):
    a = codes(rng, dtype, 50) if dtype[0] == "i" else floats(rng, dtype, 50)
    obj = wrap(a)
    if dtype[0] == "i":
        calls = [(f, args) for f, args in code_calls(obj, a)]
        target = np.int32
    else:
        calls = [(vc.detect_continuous_outliers, (obj, 1.0))]
        target = np.float64
    for function, args in calls:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            cast = tuple(np.asarray(x, target) if x is obj else x for x in args)
        assert_same_outcome(outcome(function, *args), outcome(function, *cast))


# Where NumPy's cast meets a signalling NaN it raises its "invalid" floating-point error: what
# that does depends on np.errstate and the warning filters, and the call must show the same.
MODES = {
    "warn": ({}, "default"),
    "ignore": ({"invalid": "ignore"}, "default"),
    "raise": ({"invalid": "raise"}, "default"),
    "warning filter": ({}, "error"),
}


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize(
    "dtype, nan", [("f4", 0x7F800001), ("f4", 0xFFA00000), ("f2", 0x7C01), ("f2", 0xFD00)]
)
@pytest.mark.parametrize("where", [0, 5000])
@pytest.mark.parametrize("function", [vc.detect_continuous_outliers, vc.calculate_summary_stats])
def test_a_signalling_nan_meets_numpys_cast(dtype, nan, where, mode, function):
    x = np.arange(6000, dtype=dtype)
    x.view(f"u{x.itemsize}")[where] = nan
    data, extra = (x, (1.0,)) if function is vc.detect_continuous_outliers else (x[:, None], ())
    errstate, action = MODES[mode]

    def call(cast):
        with np.errstate(**errstate), warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter(action)
            try:
                result = outcome(function, np.asarray(data, np.float64) if cast else data, *extra)
            except Exception:
                result = ("raises", TypeError)  # the binding's conversion would have failed
        return result, [(w.category, str(w.message)) for w in caught]

    (ours, our_warnings), (cast, cast_warnings) = call(False), call(True)
    if cast == ("raises", TypeError):
        assert ours[:2] == cast
        assert ours[2].startswith(f"{function.__name__}(): incompatible function arguments.")
    else:
        assert_same_outcome(ours, cast)
    assert our_warnings == cast_warnings


@pytest.mark.parametrize("dtype", CODE_DTYPES + DATA_DTYPES)
def test_no_copy_of_the_input(rng, dtype):
    n = 1 << 20
    if dtype in DATA_DTYPES:
        a = floats(rng, dtype, n)
        calls = [(vc.detect_continuous_outliers, (x, 2.0), 4 * n) for x in (a, pd.Series(a))]
        matrices = (a.reshape(-1, 16), a.reshape(16, -1).T)
        calls += [(vc.calculate_summary_stats, (m,), 0) for m in matrices]
    else:
        a = codes(rng, dtype, n)
        calls = [(vc.calculate_cramers_v, (a, a[::-1], 10, 10), 0)]
        calls += [(vc.detect_categorical_outliers, (x, 10, 0.1), 4 * n) for x in (a, pd.Index(a))]
    for function, args, result_bytes in calls:
        tracemalloc.start()
        try:
            function(*args)
            _, peak = tracemalloc.get_traced_memory()
        finally:
            tracemalloc.stop()
        assert peak - result_bytes <= 0.02 * a.nbytes, function.__name__
