import numpy as np
import pytest

import vantorix_core as vc

import reference
from conftest import layouts

N31 = 2**31


def same_float(actual, expected):
    assert type(actual) is float
    assert actual == expected or (actual != actual and expected != expected)
    assert np.signbit(actual) == np.signbit(expected)


@pytest.mark.parametrize(
    "x, y, kx, ky, expected",
    [
        ([0, 1, 0, 1], [0, 1, 0, 1], 2, 2, 1.0),
        ([0, 0, 1, 1], [0, 1, 0, 1], 2, 2, 0.0),
        ([0, 0, 1, 2], [1, 0, 1, 1], 3, 2, 0.5773502691896257),
        ([0, 1, 0, 1], [0, 1, 0, 1], 3, 3, 0.7071067811865476),
        ([0, 1, 0, 1], [0, 1, 0, 1], 2, 3, 1.0),
        # A skipped pair still counts in n: the result can exceed 1.
        ([0, 1, 0, 1, 5], [0, 1, 0, 1, 0], 2, 2, 1.019803902718557),
        ([0, 1, 0, 1, -1], [0, 1, 0, 1, 0], 2, 2, 1.019803902718557),
        ([0, 1, 0, 1, 0], [0, 1, 0, 1, 2], 2, 2, 1.019803902718557),
        ([0, 1, 0, 1, 0], [0, 1, 0, 1, -7], 2, 2, 1.019803902718557),
        ([5, 6, -1], [0, 1, 0], 2, 2, 0.0),  # nothing tallied
        ([0, 1, 0, 1], [0, 1, 0, 1], 1, 5, 0.0),  # k < 2
        ([0, 1, 0, 1], [0, 1, 0, 1], 5, 0, 0.0),
        ([0, 1, 0, 1], [0, 1, 0, 1], 0, 0, 0.0),
        ([], [], 0, 0, 0.0),
        ([], [], 3, 4, 0.0),
        ([0, 0, 0], [1, 1, 1], 2, 2, 0.0),
    ],
)
def test_worked_values(x, y, kx, ky, expected):
    same_float(vc.calculate_cramers_v(x, y, kx, ky), expected)


@pytest.mark.parametrize(
    "x, y, kx, ky, error, message",
    [
        (np.zeros((2, 2)), [0, 1, 0], 2, 2, RuntimeError, "Input vectors must be one-dimensional."),
        ([0, 1], np.zeros((2, 1)), 2, 2, RuntimeError, "Input vectors must be one-dimensional."),
        (3, [0], 2, 2, RuntimeError, "Input vectors must be one-dimensional."),
        ([0, 1, 2], [0, 1, 2, 3], 2, 2, RuntimeError, "Input vectors must have identical lengths."),
        (
            [0, 1, 2],
            [0, 1, 2, 3],
            -1,
            2,
            RuntimeError,
            "Input vectors must have identical lengths.",
        ),
        ([0, 1], [0, 1], -1, 2, ValueError, "vector too long"),
        ([0, 1], [0, 1], 2, -1, ValueError, "vector too long"),
        ([0, 1], [0, 1], -1, -1, ValueError, "vector too long"),
        ([], [], -3, 2, ValueError, "vector too long"),
        ([], [], 0, -1, ValueError, "vector too long"),
    ],
)
def test_failures_in_order(x, y, kx, ky, error, message):
    with pytest.raises(error) as info:
        vc.calculate_cramers_v(x, y, kx, ky)
    assert str(info.value) == message


def random_codes(rng, n, k):
    """Codes in 0..k-1 with a few outside on either side, and skewed frequencies."""
    codes = (rng.power(0.5, size=n) * k).astype(np.int32)
    bad = rng.random(n) < 0.05
    codes[bad] = rng.choice([-1, -(2**31), k, k + 3, 2**31 - 1], size=bad.sum())
    return codes


@pytest.mark.parametrize("seed", range(40))
def test_matches_reference_in_every_layout(rng, seed):
    n = int(rng.integers(0, 400))
    kx, ky = (int(k) for k in rng.integers(0, 12, size=2))
    x, y = random_codes(rng, n, max(kx, 1)), random_codes(rng, n, max(ky, 1))
    expected = reference.calculate_cramers_v(x, y, kx, ky)
    for (_, vx), (_, vy) in zip(layouts(x).items(), reversed(list(layouts(y).items()))):
        same_float(vc.calculate_cramers_v(vx, vy, kx, ky), expected)


@pytest.mark.parametrize(
    "n, kx, ky", [(5000, 3, 4), (5000, 64, 63), (5000, 64, 64), (300, 40, 40), (2, 3, 3)]
)
def test_small_and_large_tables(rng, n, kx, ky):
    # Tables smaller and larger than the data, and with or without extra tally lanes.
    x, y = random_codes(rng, n, kx), random_codes(rng, n, ky)
    expected = reference.calculate_cramers_v(x, y, kx, ky)
    for vx, vy in zip(layouts(x).values(), layouts(y).values()):
        same_float(vc.calculate_cramers_v(vx, vy, kx, ky), expected)


def test_relabelling_codes_does_not_change_the_table_but_may_change_the_sum_order(rng):
    # Swapping the roles of x and y transposes the table: chi-square is the same sum in another
    # order, equal up to rounding. The kernel must keep its own order: row by row.
    x, y = random_codes(rng, 500, 7), random_codes(rng, 500, 9)
    same_float(vc.calculate_cramers_v(y, x, 9, 7), reference.calculate_cramers_v(y, x, 9, 7))
    assert vc.calculate_cramers_v(x, y, 7, 9) == pytest.approx(vc.calculate_cramers_v(y, x, 9, 7))


@pytest.mark.slow
def test_vectors_longer_than_2_31():
    n = N31 + 3
    x = np.broadcast_to(np.int32(1), (n,))
    y = np.broadcast_to(np.int32(0), (n,))
    same_float(vc.calculate_cramers_v(x, y, 2, 2), 0.0)
    with pytest.raises(RuntimeError, match="identical lengths"):
        vc.calculate_cramers_v(x, y[:-1], 2, 2)
