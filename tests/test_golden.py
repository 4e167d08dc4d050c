"""The fixed corpus of tests/golden.py gives the committed digests: the same inputs on this NumPy
and CPU, the same result bits from the module, and the same from the slow references."""

import numpy as np
import pytest

import vantorix_core as vc

import golden
import reference

COMMITTED = golden.committed()


def test_inputs_are_the_committed_ones():
    calls = golden.corpus()
    assert golden.call_counts(calls) == COMMITTED["calls"]
    assert golden.input_digest(calls) == COMMITTED["inputs"], (
        "this NumPy or CPU builds other input bytes: every result digest would differ"
    )


# The references take about a second here and fifteen under an emulator: configurations that
# only change how the module is built may leave them out with -m "not golden_reference".
@pytest.mark.parametrize(
    "source",
    [vc, pytest.param(reference, marks=pytest.mark.golden_reference)],
    ids=["module", "reference"],
)
@pytest.mark.parametrize("name", golden.FUNCTIONS)
def test_results_are_the_committed_ones(source, name):
    calls = golden.corpus()
    digest = golden.result_digest(calls, name, getattr(source, name))
    if digest != COMMITTED["results"][name]:
        pytest.fail(
            f"{name}: the {source.__name__} gives results digest {digest}, not the committed "
            f"{COMMITTED['results'][name]}; {golden.first_difference(calls, name, vc, reference)}"
        )


# --- the corpus in the other dtypes that are read in place ------------------------------------

CODE_DTYPES = ["i1", "i2", "i8", "u1", "u2", "u4", "u8", "?"]
DATA_DTYPES = ["f2", "f4"]
CODES = {"calculate_cramers_v", "detect_categorical_outliers"}


def relaid(layout, values):
    """`values` (C order, another dtype) in the layout of the array `layout`: the same strides
    counted in elements, the same zero strides, and the same misalignment."""
    size = values.itemsize
    steps = [s // layout.itemsize for s in layout.strides]
    low = sum(min(0, s * (n - 1)) for s, n in zip(steps, layout.shape) if n)
    high = sum(max(0, s * (n - 1)) for s, n in zip(steps, layout.shape) if n)
    skew = 1 if layout.ctypes.data % layout.itemsize else 0
    buffer = np.zeros((high - low + 2) * size + skew, np.uint8)
    out = np.ndarray(
        values.shape, values.dtype, buffer, -low * size + skew, [s * size for s in steps]
    )
    out[...] = values
    out.flags.writeable = layout.flags.writeable
    return out


def narrowed(a, dtype):
    """`a` in `dtype` where that holds the same values after NumPy's cast to a's dtype, or None.
    Codes in int64, uint32 and uint64 are moved by multiples of 2**32 where the dtype has room,
    so that the kernels must keep exactly their low 32 bits."""
    dtype = np.dtype(dtype)
    if a.dtype.kind == "f":
        with np.errstate(all="ignore"):
            values = a.copy().astype(dtype)
        same = values.astype(np.float64).view(np.uint64) == a.copy().view(np.uint64)
        return values if same.all() else None
    codes = a.copy().astype(np.int64)
    if dtype.itemsize == 8:
        lift = np.arange(codes.size).reshape(codes.shape) % 5 - 2
        return (codes + lift * 2**32).view(dtype)
    if dtype == np.uint32:
        return (codes % 2**32).astype(dtype)
    if dtype.kind == "b":
        return codes.astype(np.uint8).view(bool) if ((codes == 0) | (codes == 1)).all() else None
    info = np.iinfo(dtype)
    return codes.astype(dtype) if ((codes >= info.min) & (codes <= info.max)).all() else None


def replayed(call, dtypes):
    """The call with its i-th array argument in dtypes[i % len(dtypes)] wherever that fits."""
    args = list(call.args)
    arrays = [i for i, a in enumerate(args) if isinstance(a, np.ndarray)]
    for j, i in enumerate(arrays):
        values = narrowed(args[i], dtypes[j % len(dtypes)])
        if values is not None:
            args[i] = relaid(args[i], values)
    return golden.Call(call.function, tuple(args), call.label)


@pytest.mark.parametrize(
    "dtypes",
    [[d] for d in CODE_DTYPES + DATA_DTYPES] + [["i1", "i8"], ["u8", "i2"], ["?", "u4"]],
    ids=lambda d: "/".join(d),
)
def test_results_are_the_committed_ones_in_every_dtype_read_in_place(dtypes):
    codes = dtypes[0] not in DATA_DTYPES
    names = [n for n in golden.FUNCTIONS if (n in CODES) == codes]
    calls = [replayed(c, dtypes) for c in golden.corpus() if c.function in names]
    assert any(c.args[0].dtype == dtypes[0] for c in calls if isinstance(c.args[0], np.ndarray))
    for name in names:
        assert golden.result_digest(calls, name, getattr(vc, name)) == COMMITTED["results"][name]
