"""Every width and layout of the vectorised loops against the reference, bit for bit.

Summary statistics hold one column per lane in blocks of 2, 4 and 8 lanes (16 lanes in
registers at most, wide rows through memory); the widths below put every column at every
position of a block and of the columns left over, and the values that decide the extremes'
exact rules (a NaN in row 0, later NaNs, zeros of both signs, infinities) in every lane.
"""

import numpy as np
import pytest

import vantorix_core as vc

import reference
from conftest import assert_same, layouts

nan, inf = float("nan"), float("inf")

# One column each: the values that a lane must treat exactly as the sequential scan does.
COLUMNS = [
    [nan, 1.0, -2.0, 3.0, 0.5],  # NaN in row 0 sticks in min and max
    [1.0, nan, -2.0, nan, 3.0],  # later NaNs never replace a number
    [-0.0, 0.0, 1.0, 0.0, -0.0],  # of equal zeros the first wins
    [0.0, -0.0, -0.0, 2.0, 0.0],
    [2.0, 0.0, -0.0, 5.0, 0.0],  # the first zero met is the minimum
    [1.0, inf, -inf, 4.0, 2.0],  # inf - inf: NaN mean, std 0
    [1e200, -1e200, 3.0, 1e-300, 5e-324],  # squares overflow and underflow
    [0.1, 0.2, 0.3, 0.4, 0.5],
]


def adversarial(rows, cols, shift):
    """Column c holds COLUMNS[(c + shift) % len(COLUMNS)], repeated down `rows` rows."""
    out = np.empty((rows, cols))
    for c in range(cols):
        values = COLUMNS[(c + shift) % len(COLUMNS)]
        out[:, c] = np.resize(values, rows)
        if rows > len(values):
            out[len(values) :, c] *= np.arange(1, rows - len(values) + 1)
    return out


WIDTHS = [1, 2, 3, 4, 5, 7, 8, 9, 15, 16, 17, 23, 24, 25, 31, 33, 80, 255, 256, 257, 300]


@pytest.mark.parametrize("rows", [1, 2, 5, 19])
@pytest.mark.parametrize("cols", WIDTHS)
def test_summary_stats_lanes(rows, cols):
    for shift in range(0, len(COLUMNS), 3):
        m = adversarial(rows, cols, shift)
        expected = reference.calculate_summary_stats(m)
        for variant in layouts(m).values():
            out = vc.calculate_summary_stats(variant)
            for key in expected:
                assert_same(out[key], expected[key])


@pytest.mark.parametrize("cols", [3, 16, 80, 257])
def test_summary_stats_many_rows(rng, cols):
    # Rows beyond the chunks of the narrow path and a NaN or zero at a random place.
    m = rng.normal(size=(2100, cols))
    m[rng.integers(0, 2100, size=cols), np.arange(cols)] = rng.choice([nan, 0.0, -0.0], cols)
    expected = reference.calculate_summary_stats(m)
    for order in "CF":
        out = vc.calculate_summary_stats(np.asarray(m, order=order))
        for key in expected:
            assert_same(out[key], expected[key])


# Few columns take their minima and maxima over several interleaved chains of rows (up to 16
# lanes and chains, and a chain for the rows left over) and merge them at the end of a tile.
CHAINS = 16


def signed_columns(n, cols):
    """Distinct values, positive in even columns and negative in odd ones, so that a zero is
    the minimum of the first and the maximum of the second."""
    m = np.arange(1.0, n * cols + 1).reshape(n, cols)
    m[:, 1::2] *= -1
    return m


def check_orders(m, keys=("min", "max")):
    expected = reference.calculate_summary_stats(m)
    for order in "CF":
        out = vc.calculate_summary_stats(np.asarray(m, order=order))
        for key in keys:
            assert_same(out[key], expected[key])


@pytest.mark.parametrize("cols", [1, 2, 3])
@pytest.mark.parametrize("n", [*range(1, CHAINS + 3), 2 * CHAINS + 3])
def test_extremes_merged_from_chains(n, cols):
    base = signed_columns(n, cols)
    # +0.0 and -0.0 at every pair of rows, in both orders: the first in row order wins,
    # whichever chains or lanes they fall in.
    for i in range(n):
        for j in range(n):
            if i != j:
                m = base.copy()
                m[i], m[j] = 0.0, -0.0
                check_orders(m)
    # A NaN in row 0 sticks, a later one never enters; infinities anywhere.
    for k in range(n):
        for special in (nan, inf, -inf):
            m = base.copy()
            m[k] = special
            check_orders(m, keys=("mean", "min", "max"))


@pytest.mark.parametrize("dtype", [np.float64, np.float32])
@pytest.mark.parametrize("cols", [1, 2, 3])
@pytest.mark.parametrize("rows", [(10, 8500), (8500, 10), (2729, 2730), (4095, 4096), (4096, 4095)])
def test_zero_ties_across_tiles(dtype, cols, rows):
    # Tiles of a few thousand rows: the extremes of one are the seed of the next.
    m = signed_columns(9000, cols) % 1000 + 1
    m[:, 1::2] *= -1
    m[rows[0]], m[rows[1]] = 0.0, -0.0
    expected = reference.calculate_summary_stats(m.astype(dtype).astype(np.float64))
    for order in "CF":
        out = vc.calculate_summary_stats(np.asarray(m.astype(dtype), order=order))
        for key in ("min", "max"):
            assert_same(out[key], expected[key])


def boundary_thresholds(z, rng):
    """Thresholds exactly at computed |z| values and one ulp to either side, where a margin
    test that is off by a rounding would flip a flag; and thresholds at the edges of the range
    where the margin test applies."""
    out = [0.0, -0.0, -1.0, nan, inf, 5e-324, 1e-310, 2.0**-1000, 1e300, 2.0**1000]
    finite = z[np.isfinite(z)]
    for edge in rng.choice(finite, size=min(6, finite.size), replace=False).tolist():
        out += [edge, np.nextafter(edge, -inf), np.nextafter(edge, inf)]
    return out


@pytest.mark.parametrize("n", [1, 2, 7, 8, 9, 15, 16, 17, 31, 33, 64, 65, 1000])
@pytest.mark.parametrize("scale", [1.0, 1e-300, 1e300, 1e-160])
def test_z_flags_at_the_threshold(rng, n, scale):
    x = rng.normal(size=n) * scale
    x[rng.integers(n)] *= 4
    z = reference.abs_z_scores(x)
    for threshold in boundary_thresholds(z, rng):
        expected = reference.detect_continuous_outliers(x, threshold)
        assert_same(vc.detect_continuous_outliers(x, threshold), expected)


@pytest.mark.parametrize("n", [16, 17, 100])
def test_z_flags_with_every_element_on_the_threshold(n):
    # Two values only: every |z| is the same computed number, and the threshold sits on it,
    # so every block needs the division.
    x = np.tile([0.1, 0.7], n)[:n]
    edge = float(reference.abs_z_scores(x)[0])
    for threshold in [edge, np.nextafter(edge, -inf), np.nextafter(edge, inf)]:
        assert_same(
            vc.detect_continuous_outliers(x, threshold),
            reference.detect_continuous_outliers(x, threshold),
        )


@pytest.mark.parametrize("n", [1, 7, 8, 9, 16, 17, 100])
@pytest.mark.parametrize("k", [1, 3, 1000])
def test_rare_flags_lookup_lanes(rng, n, k):
    # Codes at and beyond both ends of the range in every lane of a gather.
    codes = rng.integers(-2, k + 2, size=n, dtype=np.int32)
    codes[rng.integers(n)] = np.iinfo(np.int32).min
    codes[rng.integers(n)] = np.iinfo(np.int32).max
    for threshold in [0.0, 0.2, 1.0, nan]:
        assert_same(
            vc.detect_categorical_outliers(codes, k, threshold),
            reference.detect_categorical_outliers(codes, k, threshold),
        )
