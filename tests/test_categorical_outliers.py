import numpy as np
import pytest

import vantorix_core as vc

import reference
from conftest import assert_same, layouts

nan, inf = float("nan"), float("inf")


def flags(values):
    return np.array(values, dtype=np.int32)


def counts_of(counts):
    """A code vector of length sum(counts) holding code i counts[i] times."""
    return np.repeat(np.arange(len(counts), dtype=np.int32), counts)


@pytest.mark.parametrize(
    "data, k, threshold, expected",
    [
        ([0, 0, 0, 1], 2, 0.3, [0, 0, 0, 1]),
        ([0, 1, 1, 2, 2, 2], 3, 0.5, [1, 1, 1, 0, 0, 0]),  # count == limit is not rare
        ([0, 1, 2, -1, 5], 3, 0.0, [0, 0, 0, 1, 1]),
        ([0, 1, 2, -1, 5], 3, nan, [0, 0, 0, 1, 1]),
        ([0, 1, 2, -1, 5], 3, -inf, [0, 0, 0, 1, 1]),
        ([0, 1, 2, -1, 5], 3, inf, [1, 1, 1, 1, 1]),
        ([4, 4, 4], 5, 1.0, [0, 0, 0]),
        ([4, 4, 3], 5, 1.0, [1, 1, 1]),
        ([4, 4, 4], 5, 1.0000001, [1, 1, 1]),
        ([0, 1, 2], 0, 0.0, [1, 1, 1]),
        ([0, -(2**31), 2**31 - 1], 2**31 - 1, 0.0, [0, 1, 1]),
        ([], 3, 0.5, []),
        ([], 0, nan, []),
        ([], -5, 0.5, []),
    ],
)
def test_worked_cases(data, k, threshold, expected):
    assert_same(vc.detect_categorical_outliers(data, k, threshold), flags(expected))


def test_limit_is_the_rounded_product_not_a_quotient():
    # n = 100: codes 0..3 occur 4, 5, 7 and 84 times.
    data = counts_of([4, 5, 7, 84])
    out = vc.detect_categorical_outliers(data, 4, 0.05)  # limit exactly 5.0
    assert_same(out, flags([1] * 4 + [0] * 96))
    out = vc.detect_categorical_outliers(data, 4, 0.07)  # limit 7.000000000000001
    assert_same(out, flags([1] * 16 + [0] * 84))


@pytest.mark.parametrize("k", [-1, -(2**31)])
def test_negative_count_with_data_is_refused(k):
    with pytest.raises(ValueError, match="^vector too long$"):
        vc.detect_categorical_outliers([0, 1], k, 0.5)


@pytest.mark.parametrize("data", [np.zeros((2, 2), np.int32), 3, np.zeros((0, 1), np.int32)])
def test_non_vectors_are_refused(data):
    with pytest.raises(RuntimeError, match=r"^Input data vector must be one-dimensional\.$"):
        vc.detect_categorical_outliers(data, -1, 0.5)


@pytest.mark.parametrize("k", [2**31 - 1, 2**30, 44, 43])
def test_far_more_categories_than_elements(rng, k):
    # Counted from the sorted codes that occur rather than a table of k counts (k > 4n), or
    # the table (k <= 4n), with codes at both ends of the range and runs of one code.
    data = rng.choice(np.array([0, 1, 2, k - 2, k - 1, k, -1, 2**31 - 1], np.int32), size=10)
    for threshold in [0.0, 0.15, 0.25, 1.0]:
        expected = reference.detect_categorical_outliers(data, k, threshold)
        for variant in layouts(data).values():
            assert_same(vc.detect_categorical_outliers(variant, k, threshold), expected)


@pytest.mark.parametrize("seed", range(40))
def test_matches_reference_in_every_layout(rng, seed):
    n = int(rng.integers(1, 500))
    k = int(rng.integers(0, 30))
    data = (rng.power(0.4, size=n) * (k + 2)).astype(np.int32) - rng.integers(0, 2)
    threshold = float(rng.choice([0.0, 0.01, 0.05, 0.1, 0.5, 1.0, 1.5, -1.0, nan, inf]))
    if rng.random() < 0.3:  # a limit that lands exactly on some count
        threshold = float(rng.integers(0, n)) / n
    expected = reference.detect_categorical_outliers(data, k, threshold)
    for variant in layouts(data).values():
        assert_same(vc.detect_categorical_outliers(variant, k, threshold), expected)


@pytest.mark.parametrize(
    "n, k", [(3, 5), (100, 5000), (20_000, 5000), (20_000, 3), (9, 4095), (5000, 4096)]
)
def test_few_and_many_categories(rng, n, k):
    # More categories than elements, and tables small or large enough for extra lanes.
    data = rng.integers(-2, k + 3, size=n, dtype=np.int32)
    data[: n // 2] = rng.integers(0, min(k, 7), size=n // 2)
    for threshold in [0.0, 1.0 / n, 3.0 / n, 0.5]:
        expected = reference.detect_categorical_outliers(data, k, threshold)
        for variant in layouts(data).values():
            assert_same(vc.detect_categorical_outliers(variant, k, threshold), expected)


def test_zero_stride_input():
    data = np.broadcast_to(np.int32(2), (50,))
    assert_same(vc.detect_categorical_outliers(data, 3, 1.0), flags([0] * 50))
    assert_same(vc.detect_categorical_outliers(data, 2, 0.0), flags([1] * 50))


def test_float_codes_truncate_toward_zero():
    # [0.9, 1.5, -0.5] reaches the kernel as 0, 1, 0.
    out = vc.detect_categorical_outliers([0.9, 1.5, -0.5], 2, 0.5)
    assert_same(out, flags([0, 1, 0]))
