"""Slow, obviously-correct pure-Python versions of the four kernels.

Each follows the documented algorithm step by step with Python floats (IEEE doubles), in
the same order of operations, so results can be compared bit for bit. Inputs are NumPy
arrays that already have the kernel's dtype; failures raise the exception type and message
that the module raises.
"""

import math

import numpy as np


def _moments(total, total_sq, n):
    mean = total / n
    if mean != mean:
        mean = math.nan  # the one positive quiet NaN, whatever NaN the additions made
    meansq = total_sq / n
    variance = meansq - mean * mean
    if not variance > 0:
        variance = 0.0
    return mean, math.sqrt(variance)


def _moments_of(values):
    total = 0.0
    total_sq = 0.0
    for v in values:
        total = total + v
        total_sq = total_sq + v * v
    return _moments(total, total_sq, len(values))


def abs_z_scores(data):
    """|z| of every element of a float64 vector, as the flag pass forms it before comparing."""
    mean, std = _moments_of(data.tolist())
    with np.errstate(all="ignore"):
        return np.abs((data - mean) / std)


def detect_continuous_outliers(data, threshold):
    if data.ndim != 1:
        raise RuntimeError("Input data vector must be one-dimensional.")
    values = data.tolist()
    n = len(values)
    threshold = float(threshold)
    if n == 0:
        return np.zeros(0, dtype=np.int32)
    mean, std = _moments_of(values)
    if std == 0:
        return np.zeros(n, dtype=np.int32)
    return np.array([1 if abs((v - mean) / std) > threshold else 0 for v in values], np.int32)


def calculate_summary_stats(matrix):
    if matrix.ndim != 2:
        raise RuntimeError("Matrix must be two-dimensional.")
    rows, cols = matrix.shape
    out = {key: [] for key in ("mean", "std", "min", "max")}
    values = matrix.tolist()
    for c in range(cols):
        if rows == 0:
            stats = (0.0, 0.0, 0.0, 0.0)
        else:
            total = 0.0
            total_sq = 0.0
            lo = hi = values[0][c]
            for r in range(rows):
                x = values[r][c]
                total = total + x
                total_sq = total_sq + x * x
                if x < lo:
                    lo = x
                if x > hi:
                    hi = x
            mean, std = _moments(total, total_sq, rows)
            stats = (mean, std, lo, hi)
        for key, value in zip(out, stats):
            out[key].append(value)
    return {key: np.array(v, dtype=np.float64).reshape(cols) for key, v in out.items()}


def calculate_cramers_v(x, y, n_categories_x, n_categories_y):
    if x.ndim != 1 or y.ndim != 1:
        raise RuntimeError("Input vectors must be one-dimensional.")
    n = x.shape[0]
    if y.shape[0] != n:
        raise RuntimeError("Input vectors must have identical lengths.")
    kx, ky = n_categories_x, n_categories_y
    # The working tables are made in the order table, row totals, column totals. Two negative
    # counts make a positive number of cells: a table of more bytes than any address space
    # holds is refused before the row totals fail (smaller ones may be refused too, see
    # cells_may_run_out).
    if kx < 0 and ky < 0 and kx * ky * 8 >= 2**63:
        raise MemoryError("std::bad_alloc")
    if kx < 0 or ky < 0:
        raise ValueError("vector too long")
    table = {}
    row_totals = {}
    col_totals = {}
    for r, c in zip(x.tolist(), y.tolist()):
        if 0 <= r < kx and 0 <= c < ky:
            table[r, c] = table.get((r, c), 0.0) + 1.0
            row_totals[r] = row_totals.get(r, 0.0) + 1.0
            col_totals[c] = col_totals.get(c, 0.0) + 1.0
    # Row by row, each row from its first column. A row or column without tallied pairs has
    # expected count 0 in every cell, which adds nothing: only occupied ones are visited.
    chi2 = 0.0
    for r in sorted(row_totals):
        for c in sorted(col_totals):
            expected = (row_totals[r] * col_totals[c]) / n
            if expected > 0:
                d = table.get((r, c), 0.0) - expected
                chi2 = chi2 + (d * d) / expected
    k = min(kx, ky)
    if k < 2 or n == 0:
        return 0.0
    phi2 = chi2 / float((k - 1) * n)
    return math.sqrt(phi2) if phi2 > 0 else 0.0


def detect_categorical_outliers(data, n_categories, threshold):
    if data.ndim != 1:
        raise RuntimeError("Input data vector must be one-dimensional.")
    codes = data.tolist()
    n = len(codes)
    if n == 0:
        return np.zeros(0, dtype=np.int32)
    if n_categories < 0:
        raise ValueError("vector too long")
    counts = {}
    for c in codes:
        if 0 <= c < n_categories:
            counts[c] = counts.get(c, 0) + 1
    limit = float(n) * float(threshold)
    flags = [1 if not 0 <= c < n_categories else int(limit > float(counts[c])) for c in codes]
    return np.array(flags, dtype=np.int32)
