#pragma once

#include <pybind11/numpy.h>

#include <cstdint>

#include "input_array.h"

namespace vantorix {

namespace py = pybind11;

// Codes are read as int32 and data as float64, whatever integer or float dtype the caller's
// array has (see InputArray): each element is the value NumPy's cast would give it.
//
// Every kernel looks for pending signals between blocks of its loops (check_signals), and a
// signal handler's exception (KeyboardInterrupt for Ctrl-C) ends the call as error_already_set.

// Cramer's V of two 1-D code vectors of equal length n, with n_categories_x and
// n_categories_y declared categories. Pairs with a code outside 0..k-1 on either side are
// skipped but still count in n, so the result can exceed 1 when pairs were skipped. The
// chi-square is one accumulator over the cells row by row, each cell's expected count
// (row total * column total) / n used only when positive. k = min(counts) < 2 or n = 0 gives
// 0.0. A negative count raises length_error("vector too long"), a table that cannot be had
// bad_alloc; two negative counts first ask for a table of their (positive) product's cells,
// and give bad_alloc when it cannot be had.
double calculate_cramers_v(InputArray<std::int32_t> x, InputArray<std::int32_t> y,
                           int n_categories_x, int n_categories_y);

// Per-column population mean, standard deviation, minimum and maximum of a 2-D matrix, as a
// dict of four float64 arrays of length cols, keys "mean", "std", "min", "max". Each column:
// one running sum and sum of squares in row order, variance = sumsq/rows - mean^2 (0 unless
// positive); min/max seeded with row 0 and replaced only on a strict comparison, so a NaN in
// row 0 sticks and later NaNs are passed over. rows = 0 gives 0.0.
py::dict calculate_summary_stats(InputArray<double> matrix);

// One int32 flag per element of a 1-D data vector: 1 where |x - mean| / std > threshold.
// mean and std (population) come from one running sum and one running sum of squares added
// in element order; a standard deviation of exactly 0, and any NaN or infinity in the data
// (which makes the variance NaN), gives all zeros. Comparisons with a NaN are false.
py::array_t<std::int32_t> detect_continuous_outliers(InputArray<double> data, double threshold);

// One int32 flag per code of a 1-D code vector: 1 for a code outside 0..n_categories-1, and
// for a valid code whose count c satisfies n * threshold > c (strictly; a NaN threshold flags
// no valid code). An empty vector gives an empty result whatever the other arguments; a
// negative n_categories with non-empty data raises length_error("vector too long").
py::array_t<std::int32_t> detect_categorical_outliers(InputArray<std::int32_t> data,
                                                      int n_categories, double threshold);

}  // namespace vantorix
