import tracemalloc

import numpy as np
import pytest

import vantorix_core as vc

import reference
from conftest import assert_same, layouts

nan, inf = float("nan"), float("inf")
KEYS = ["mean", "std", "min", "max"]


def check(matrix, expected):
    out = vc.calculate_summary_stats(matrix)
    assert type(out) is dict and list(out) == KEYS
    for key in KEYS:
        assert_same(out[key], np.asarray(expected[key], dtype=np.float64))


def column(values):
    return np.array(values, dtype=np.float64).reshape(-1, 1)


@pytest.mark.parametrize(
    "matrix, expected",
    [
        (
            [[1, 10], [2, 20], [3, 30], [4, 40]],
            dict(
                mean=[2.5, 25.0],
                std=[1.118033988749895, 11.180339887498949],
                min=[1.0, 10.0],
                max=[4.0, 40.0],
            ),
        ),
        (column([2, 4, 4, 4, 5, 5, 7, 9]), dict(mean=[5.0], std=[2.0], min=[2.0], max=[9.0])),
        (np.zeros((0, 3)), dict(mean=[0.0] * 3, std=[0.0] * 3, min=[0.0] * 3, max=[0.0] * 3)),
        (np.zeros((4, 0)), dict(mean=[], std=[], min=[], max=[])),
        (np.zeros((0, 0)), dict(mean=[], std=[], min=[], max=[])),
        (
            [[3.5, -0.0, nan]],
            dict(mean=[3.5, 0.0, nan], std=[0.0] * 3, min=[3.5, -0.0, nan], max=[3.5, -0.0, nan]),
        ),
        (column([nan, 1, 2]), dict(mean=[nan], std=[0.0], min=[nan], max=[nan])),
        (column([1, nan, 5, -2]), dict(mean=[nan], std=[0.0], min=[-2.0], max=[5.0])),
        (column([1, inf, 3]), dict(mean=[inf], std=[0.0], min=[1.0], max=[inf])),
        (column([1, inf, -inf]), dict(mean=[nan], std=[0.0], min=[-inf], max=[inf])),
        (column([0.0, -0.0]), dict(mean=[0.0], std=[0.0], min=[0.0], max=[0.0])),
        (column([-0.0, 0.0]), dict(mean=[0.0], std=[0.0], min=[-0.0], max=[-0.0])),
        (column([-0.0, -0.0]), dict(mean=[0.0], std=[0.0], min=[-0.0], max=[-0.0])),
        (
            column([0.1] * 10),
            dict(mean=[0.09999999999999999], std=[2.2812650937430355e-09], min=[0.1], max=[0.1]),
        ),
        (column([1e200, -1e200]), dict(mean=[0.0], std=[inf], min=[-1e200], max=[1e200])),
    ],
)
def test_edge_cases(matrix, expected):
    check(np.asarray(matrix, dtype=np.float64), expected)


@pytest.mark.parametrize(
    "matrix", [np.zeros(3), np.zeros(1), np.zeros((2, 2, 2)), np.float64(1.0), 1.0, []]
)
def test_non_matrices_are_refused(matrix):
    with pytest.raises(RuntimeError, match=r"^Matrix must be two-dimensional\.$"):
        vc.calculate_summary_stats(matrix)


def random_matrix(rng, rows, cols):
    m = rng.normal(size=(rows, cols)) * 10.0 ** rng.integers(-5, 5, size=cols)
    specials = np.array([nan, inf, -inf, 0.0, -0.0, 5e-324, 1.7976931348623157e308])
    mask = rng.random((rows, cols)) < rng.choice([0.0, 0.02, 0.3])
    m[mask] = rng.choice(specials, size=mask.sum())
    return m


@pytest.mark.parametrize("seed", range(30))
def test_matches_reference_in_every_layout(rng, seed):
    shape = tuple(int(v) for v in rng.integers(1, 40, size=2))
    m = random_matrix(rng, *shape)
    expected = reference.calculate_summary_stats(m)
    for variant in layouts(m).values():
        check(variant, expected)


@pytest.mark.parametrize("shape", [(1, 7), (7, 1), (1, 1), (0, 5), (5, 0)])
def test_degenerate_shapes_in_every_layout(rng, shape):
    m = random_matrix(rng, *shape)
    expected = reference.calculate_summary_stats(m)
    for variant in layouts(m).values():
        check(variant, expected)


@pytest.mark.parametrize("shape", [(1001, 1), (777, 2), (1000, 3), (601, 5), (300, 16), (129, 17)])
def test_long_matrices_in_every_layout(rng, shape):
    # Long enough that row-major input is taken in several chunks of rows, and every mix of
    # four-, two- and one-column blocks occurs.
    m = random_matrix(rng, *shape)
    expected = reference.calculate_summary_stats(m)
    for variant in layouts(m).values():
        check(variant, expected)


def test_zero_strides():
    row = np.array([1.5, -0.0, nan, 0.1])
    rows = np.broadcast_to(row, (10, 4))
    check(rows, reference.calculate_summary_stats(np.ascontiguousarray(rows)))
    cols = np.broadcast_to(row[:, None], (4, 10))
    check(cols, reference.calculate_summary_stats(np.ascontiguousarray(cols)))


def test_results_are_new_arrays():
    m = np.ones((3, 2))
    out = vc.calculate_summary_stats(m)
    for key in KEYS:
        a = out[key]
        assert a.flags.c_contiguous and a.flags.writeable and a.flags.owndata
        assert not np.shares_memory(a, m)


@pytest.mark.parametrize("order", ["C", "F"])
def test_input_is_not_copied(order):
    m = np.asarray(np.random.default_rng(1).normal(size=(200_000, 8)), order=order)
    tracemalloc.start()
    try:
        vc.calculate_summary_stats(m)
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert peak < 100_000  # the four results are 256 bytes; the input is 12.8 MB


def bits_to_float(bits):
    return np.array([bits], dtype=np.uint64).view(np.float64)[0]


QUIET_NAN = 0x7FF8000000000000
# NaNs the additions may make or meet: the default NaN of x86-64 and of aarch64, a payload of
# each sign, and a signalling one.
NANS = [
    bits_to_float(b)
    for b in (
        0xFFF8000000000000,
        QUIET_NAN,
        0x7FF800000000DEAD,
        0xFFF80000BEEF0000,
        0x7FF0000000000001,
    )
]


@pytest.mark.parametrize(
    "values",
    [[inf, -inf], [-inf, inf], [1.0, inf, 2.0, -inf]]
    + [[a, b] for a in NANS for b in NANS]
    + [[2.0, a, b, 3.0] for a in NANS[2:] for b in NANS[2:]],
)
def test_computed_nans_are_canonical_and_copied_nans_keep_their_bits(values):
    # Each column at every position within a block of lanes: the other columns hold numbers.
    rows = len(values)
    for cols, position in [(1, 0), (3, 1), (5, 4), (9, 8), (18, 17)]:
        m = np.arange(rows * cols, dtype=np.float64).reshape(rows, cols)
        m[:, position] = values
        expected = reference.calculate_summary_stats(m)
        assert expected["mean"].view(np.uint64)[position] == QUIET_NAN
        for variant in layouts(m).values():
            check(variant, expected)
