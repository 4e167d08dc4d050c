#pragma once

#include <pybind11/numpy.h>

#include <cstdint>

namespace vantorix {

namespace py = pybind11;

// Per-column population mean, standard deviation, minimum and maximum of a 2-D float64
// matrix, as a dict of four float64 arrays of length cols, keys "mean", "std", "min", "max".
// Each column: one running sum and sum of squares in row order, variance = sumsq/rows -
// mean^2 (0 unless positive); min/max seeded with row 0 and replaced only on a strict
// comparison, so a NaN in row 0 sticks and later NaNs are passed over. rows = 0 gives 0.0.
py::dict calculate_summary_stats(py::array_t<double> matrix);

// One int32 flag per element of a 1-D float64 vector: 1 where |x - mean| / std > threshold.
// mean and std (population) come from one running sum and one running sum of squares added
// in element order; a standard deviation of exactly 0, and any NaN or infinity in the data
// (which makes the variance NaN), gives all zeros. Comparisons with a NaN are false.
py::array_t<std::int32_t> detect_continuous_outliers(py::array_t<double> data, double threshold);

}  // namespace vantorix
