"""Inputs at and past the size limits: huge declared counts, results that cannot be had, and
inputs of 2^31 elements and more (zero strides, so they cost no memory)."""

import subprocess
import sys

import numpy as np
import pytest

import vantorix_core as vc

import reference
from conftest import assert_same, assert_same_outcome, cells_may_run_out, outcome

N31 = 2**31
codes = np.array([0, 1, 0, 1, 3, -1, 2], np.int32)


@pytest.mark.parametrize(
    "kx, ky",
    [
        # Two negative counts: a table of their product's cells is asked for before the row
        # totals fail; 17 GB and 32 GB may or may not be had, 8 EiB and 32 EiB never are.
        (-2, -3),
        (-46341, -46341),
        (-2, -N31),
        (-(2**30), -(2**30)),
        (-N31, -N31),
        (-1, N31 - 1),
        (0, N31 - 1),
        (-N31, 0),
        (0, -N31),
        (46341, 46341),
        (65536, 32768),
        (100_000, 100_000),
        (N31 - 1, N31 - 1),
        (N31 - 1, 2),
        (2, N31 - 1),
    ],
)
def test_huge_declared_counts_give_the_answer_or_a_documented_error(kx, ky):
    assert_same_outcome(
        outcome(vc.calculate_cramers_v, codes, codes, kx, ky),
        outcome(reference.calculate_cramers_v, codes, codes, kx, ky),
        cells_may_run_out(kx, ky),
    )


def test_huge_declared_counts_cost_only_what_the_data_needs():
    # Only the categories that occur take memory. In a process of its own, so that its peak
    # is these calls' alone.
    pytest.importorskip("resource")
    script = """
import resource, numpy as np, vantorix_core as vc
x = np.array([0, 1, 0, 1], np.int32)
# Codes spread over the whole range: with a count per category, each touched a page of its own.
scattered = np.arange(0, 2**31 - 1, 2**31 // 50_000, dtype=np.int32)
vc.calculate_cramers_v(x, x, 2, 2)
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
for k in [(2, 2**31 - 1), (2**31 - 1, 2), (2**31 - 1, 2**31 - 1), (0, 2**31 - 1)]:
    vc.calculate_cramers_v(x, x, *k)
vc.detect_categorical_outliers(scattered, 2**31 - 1, 0.5)
print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before)
"""
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True)
    assert int(run.stdout.split()[-1]) < 32 * 1024  # KiB


def test_results_of_an_empty_matrix_with_too_many_columns_cannot_be_had():
    # 0 rows but 2^59 columns: four results of 4 EiB each.
    empty = np.empty((0, 2**59))
    with pytest.raises(MemoryError):
        vc.calculate_summary_stats(empty)


@pytest.mark.slow
@pytest.mark.parametrize("shape", [(N31 + 1, 3), (2**16, 2**15 + 1)])
def test_summary_stats_of_2_31_elements_and_more(shape):
    # Constant columns whose sums stay exact, so the answer is known: the mean is the value
    # (+0.0 for -0.0, since the sum starts at +0.0) and every variance is 0 or NaN, hence 0.
    column = np.resize([3.0, -0.0, np.nan, 0.5, np.inf, -2.0, 1.0], shape[1])
    out = vc.calculate_summary_stats(np.broadcast_to(column, shape))
    assert_same(out["mean"], column + 0.0)
    assert_same(out["std"], np.zeros(shape[1]))
    assert_same(out["min"], column)
    assert_same(out["max"], column)
