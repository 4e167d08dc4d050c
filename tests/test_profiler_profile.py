"""The profile: the same results as the NumPy/pandas baselines, complete pairs as masks would
give them, and the same bits whatever the number of threads."""

import numpy as np
import pandas as pd
import pytest

pytest.importorskip("pyarrow", reason="the profiler reads its tables with pyarrow")

from profiler import baselines, threads  # noqa: E402
from profiler.builtin import builtin_frame  # noqa: E402
from profiler.encoding import Categorical, encode  # noqa: E402
from profiler.profile import CompletePairs, run_profile  # noqa: E402

import vantorix_core as vc  # noqa: E402


def awkward_frame():
    """80 rows: an identifier, a constant, 20 groups of 4 rows, a state known only where the
    country is one, and a column with values in 20 rows only."""
    rows = 80
    return pd.DataFrame(
        {
            "id": [f"r{i}" for i in range(rows)],
            "one": ["x"] * rows,
            "group": [f"g{i % 20}" for i in range(rows)],
            "country": ["US"] * 64 + ["TH"] * 8 + ["PW"] * 7 + ["FM"],
            "state": [["CA", "NY", "TX"][i % 3] for i in range(64)] + [None] * 16,
            "sparse": [["a", "b"][i % 8 // 4] if i % 4 == 0 else None for i in range(rows)],
            "plan": [["free", "pro"][i % 3 % 2] for i in range(rows)],
        }
    )


def bits(profile):
    arrays = [np.array(list(n.stats.values())) for n in profile.numeric.values()]
    arrays += [n.flags for n in profile.numeric.values()]
    arrays += [r.flags for r in profile.rare.values() if r.flags is not None]
    return [a.tobytes() for a in arrays] + [profile.cramers_v.tobytes()]


@pytest.mark.parametrize("frame", ["builtin", "awkward"])
@pytest.mark.parametrize("cramers_v", ["cramers_v_numpy", "cramers_v_pandas"])
def test_numpy_and_pandas_profile_agrees_with_ours(cramers_v, frame):
    if cramers_v == "cramers_v_pandas":
        pytest.importorskip("scipy")
    table = encode(builtin_frame(5_000) if frame == "builtin" else awkward_frame())
    theirs = baselines.Kernels(
        "baseline",
        baselines.summary_numpy,
        baselines.z_flags_numpy,
        baselines.rare_flags_pandas,
        getattr(baselines, cramers_v),
    )
    ours = run_profile(table, baselines.VANTORIX, 3.0)
    other = run_profile(table, theirs, 3.0)
    for name, column in ours.numeric.items():
        assert column.stats == pytest.approx(other.numeric[name].stats, rel=1e-12)
        np.testing.assert_array_equal(column.flags, other.numeric[name].flags)
    for name in ours.rare:
        assert (ours.rare[name].flags is None) == (other.rare[name].flags is None)
        if ours.rare[name].flags is not None:
            np.testing.assert_array_equal(ours.rare[name].flags, other.rare[name].flags)
    np.testing.assert_allclose(ours.cramers_v, other.cramers_v, rtol=0, atol=1e-12)


def test_no_v_is_computed_for_a_pair_the_report_shows_without_one():
    calls = []

    def counted(x, y, kx, ky):
        calls.append((kx, ky, x.size))
        return baselines.cramers_v_numpy(x, y, kx, ky)

    numpy = baselines.baseline_kernels()
    kernels = baselines.Kernels("counted", numpy.summary, numpy.z_flags, numpy.rare_flags, counted)
    profile = run_profile(encode(awkward_frame()), kernels, 3.0)
    shown = (
        ~profile.sparse_pairs() & (profile.pair_categories >= 2) & (profile.pair_categories.T >= 2)
    )
    np.fill_diagonal(shown, False)
    assert len(calls) == shown.sum() // 2 and all(n >= 5 * kx * ky for kx, ky, n in calls)
    assert np.isnan(profile.cramers_v[~shown & ~np.eye(len(shown), dtype=bool)]).all()


def masked(x, y):
    """The rows where both have a value, recoded with boolean masks, the obvious way."""
    keep = (x >= 0) & (y >= 0)
    recoded = []
    for codes in (x[keep], y[keep]):
        used = np.bincount(codes) > 0
        recoded.append(((np.cumsum(used) - 1)[codes], int(used.sum())))
    return recoded


@pytest.mark.parametrize(
    "case",
    [
        "one column misses values",
        "both do",
        "a category only where the other misses",
        "a gap in the last row",
        "a third column's gaps",
    ],
)
def test_complete_pairs_are_the_rows_masks_would_keep(case):
    rng = np.random.default_rng(7)
    n = 20_000
    x, y, z = rng.integers(0, 5, n), rng.integers(0, 4, n), rng.integers(0, 3, n)
    y[rng.choice(n, 500, replace=False)] = -1
    if case == "both do":
        x[rng.choice(n, 300, replace=False)] = -1
    if case == "a category only where the other misses":
        x[y < 0] = 5
    if case == "a gap in the last row":
        x[n - 1] = -1
    if case == "a third column's gaps":
        z[:700] = -1
    columns = [
        Categorical(
            c.astype(np.int8),
            [str(i) for i in range(c.max() + 1)],
            np.bincount(c[c >= 0]),
            int((c < 0).sum()),
        )
        for c in (x, y, z)
    ]
    pairs = CompletePairs(columns)
    (cx, kx), (cy, ky) = pairs.codes(0, 1)
    (mx, mkx), (my, mky) = masked(x, y)
    assert (cx.size, kx, ky) == (mx.size, mkx, mky)
    assert vc.calculate_cramers_v(cx, cy, kx, ky) == vc.calculate_cramers_v(mx, my, kx, ky)
    # Row order aside, the same pairs.
    assert sorted(zip(cx, cy)) == sorted(zip(mx, my))


def test_threads_give_the_same_bits():
    table = encode(builtin_frame(20_000))
    one = run_profile(table, baselines.VANTORIX, 4.0, threads=1)
    four = run_profile(table, baselines.VANTORIX, 4.0, threads=4)
    assert bits(one) == bits(four) and four.threads == 4


def test_the_pool_keeps_order_and_raises():
    calls = [lambda k=k: k * k for k in range(50)]
    assert threads.run_all(calls, 4) == [k * k for k in range(50)]

    def fails():
        raise ValueError("no")

    with pytest.raises(ValueError, match="no"):
        threads.run_all([*calls, fails], 4)


def test_threads_only_where_the_gil_is_off(monkeypatch):
    monkeypatch.setattr("sys._is_gil_enabled", lambda: True, raising=False)
    assert threads.default_threads() == 1
    monkeypatch.setattr("sys._is_gil_enabled", lambda: False, raising=False)
    monkeypatch.setattr("os.cpu_count", lambda: 6)
    assert threads.default_threads() == 6


@pytest.mark.parametrize(
    "values, called", [(["a", "b"] * 150, False), (["a", "b"] * 150 + ["c"], True)]
)
def test_no_rare_call_where_the_counts_show_none(values, called):
    profile = run_profile(encode(pd.DataFrame({"c": values})), baselines.VANTORIX, 4.0)
    assert (profile.rare["c"].flags is not None) is called
