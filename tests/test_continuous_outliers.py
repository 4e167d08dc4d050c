import numpy as np
import pytest

import vantorix_core as vc

import reference
from conftest import assert_same, layouts

nan, inf = float("nan"), float("inf")


@pytest.mark.parametrize(
    "data, threshold, expected",
    [
        ([], 1.0, []),
        ([], nan, []),
        ([7.5], -1.0, [0]),
        ([1.0] * 5, -1.0, [0] * 5),
        ([1.0] * 5, nan, [0] * 5),
        ([0.1] * 10, 0.0, [1] * 10),  # std is about 2.28e-9, not 0: no tolerance
        ([0.1] * 10, 1e-8, [0] * 10),
        ([1, 2, 3, 4, 5], 1.4, [1, 0, 0, 0, 1]),
        ([1, 3], 1.0, [0, 0]),  # |z| == threshold is not an outlier
        ([1, 3], 0.5, [1, 1]),
        ([1, nan, 3], -1.0, [0, 0, 0]),
        ([1, inf, 3], -1.0, [0, 0, 0]),
        ([1, -inf, 3], -1.0, [0, 0, 0]),
        ([1e160, -1e160], -0.5, [1, 1]),  # squares overflow: infinite std, z-scores 0
        ([1e160, -1e160], 0.0, [0, 0]),
        ([1, 2, 3, 100], -inf, [1, 1, 1, 1]),
        ([1, 2, 3, 100], nan, [0, 0, 0, 0]),
        ([1, 2, 3, 100], inf, [0, 0, 0, 0]),
        ([-0.0, 0.0, -0.0], -1.0, [0, 0, 0]),
    ],
)
def test_edge_cases(data, threshold, expected):
    out = vc.detect_continuous_outliers(np.array(data, dtype=np.float64), threshold)
    assert_same(out, np.array(expected, dtype=np.int32))


def random_vector(rng, n):
    kind = rng.integers(5)
    if kind == 0:
        x = rng.normal(size=n)
    elif kind == 1:
        x = rng.standard_cauchy(size=n) * 10.0 ** rng.integers(-300, 300)
    elif kind == 2:
        x = rng.choice([0.0, -0.0, 5e-324, -5e-324, 1.0, 1e308, -1e308], size=n)
    elif kind == 3:
        x = np.round(rng.normal(size=n), 1)
    else:
        x = rng.normal(size=n)
        x[rng.integers(n)] = rng.choice([nan, inf, -inf])
    return x


@pytest.mark.parametrize("seed", range(40))
def test_matches_reference_in_every_layout(rng, seed):
    n = int(rng.integers(1, 300))
    x = random_vector(rng, n)
    thresholds = [0.0, 1.5, -1.0, nan]
    # A threshold on an element's own |z| (and one ulp below) flips that flag if the kernel's
    # mean or standard deviation is off by a single bit, e.g. from a fused multiply-add.
    z = reference.abs_z_scores(x)
    if np.isfinite(z).any():
        edge = float(rng.choice(z[np.isfinite(z)]))
        thresholds += [edge, np.nextafter(edge, -inf)]
    variants = layouts(x)
    for threshold in thresholds:
        expected = reference.detect_continuous_outliers(x, threshold)
        for variant in variants.values():
            assert_same(vc.detect_continuous_outliers(variant, threshold), expected)


@pytest.mark.parametrize("value", [3.0, -0.0, nan])
def test_zero_stride_input(value):
    x = np.broadcast_to(np.float64(value), (1000,))
    assert_same(vc.detect_continuous_outliers(x, -1.0), np.zeros(1000, np.int32))
