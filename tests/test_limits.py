"""Inputs at and past the size limits: working tables of huge declared counts, results that
cannot be had, and inputs of 2^31 elements and more (zero strides, so they cost no memory)."""

import numpy as np
import pytest

import vantorix_core as vc

import reference
from conftest import assert_same, assert_same_outcome, outcome

N31 = 2**31
codes = np.array([0, 1, 0, 1, 3, -1, 2], np.int32)


@pytest.mark.parametrize(
    "kx, ky",
    [
        (-46341, -46341),  # a table of 2^31 cells is made, then the row totals fail
        (-2, -N31),  # 2^32 cells, the same
        (0, N31 - 1),  # no table, 2^31 column totals
        (-N31, 0),
        (0, -N31),
        (46341, 46341),
        (65536, 32768),
    ],
)
def test_huge_declared_counts_give_the_answer_or_a_documented_error(kx, ky):
    # Cells are only backed by memory once written: a table that can be had costs what the
    # codes touch. One that cannot is a MemoryError, never a crash or the OOM killer.
    assert_same_outcome(
        outcome(vc.calculate_cramers_v, codes, codes, kx, ky),
        outcome(reference.calculate_cramers_v, codes, codes, kx, ky),
        may_run_out=True,
    )


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
